"""The minimal pass: fixed normal noise on numeric columns and a small share of
categorical cells replaced by the column's own distinct values."""

import numpy as np
import pandas as pd
import pytest

import privex_reference as ref
from privex_reference import frames_identical


@pytest.fixture
def table():
    rng = np.random.default_rng(11)
    n = 300
    text = rng.choice(["red", "green", "blue"], n).astype(object)
    text[::10] = None
    return pd.DataFrame(
        {
            "x": rng.normal(size=n),
            "n": rng.integers(0, 5, n),
            "flag": rng.integers(0, 2, n),
            "text": text,
            "b": rng.random(n) < 0.5,
            "cat": pd.Categorical(rng.choice(["lo", "hi"], n)),
            "s": pd.array(rng.choice(["p", "q"], n), dtype="string"),
            "one": ["same"] * n,
            "t": pd.date_range("2021-01-01", periods=n, freq="h"),
        }
    )


@pytest.mark.parametrize("std, prob", [(0.01, 0.05), (2.0, 0.5), (0.0, 1.0)])
def test_matches_the_step_by_step_pass_draw_for_draw(privex, table, std, prob):
    before = table.copy()
    p = privex.PrivexProcessor(numerical_noise_std=std, categorical_noise_prob=prob)
    expected, state = ref.seeded(3, ref.minimal_pass, table, std, prob)
    out, out_state = ref.seeded(3, p._apply_minimal_noise, table)
    frames_identical(out, expected)
    assert out_state == state
    frames_identical(table, before)


def test_zero_std_keeps_values_but_makes_integers_float(privex, table):
    out = privex.PrivexProcessor(numerical_noise_std=0.0, random_state=1)._apply_minimal_noise(table)
    assert out["n"].dtype == np.float64 and (out["n"] == table["n"]).all()
    assert (out["x"] == table["x"]).all()
    frames_identical(out[["t"]], table[["t"]])


def test_probability_zero_changes_no_categorical_cell(privex, table):
    out = privex.PrivexProcessor(categorical_noise_prob=0.0, random_state=2)._apply_minimal_noise(table)
    cats = ["text", "b", "cat", "s", "one"]
    frames_identical(out[cats], table[cats])


def test_probability_one_redraws_every_cell_of_multi_valued_columns(privex, table):
    out = privex.PrivexProcessor(categorical_noise_prob=1.0, random_state=3)._apply_minimal_noise(table)
    assert out["text"].notna().all() and set(out["text"]) == {"red", "green", "blue"}
    assert out["b"].dtype == bool
    assert set(out["s"]) == {"p", "q"}
    assert set(out["cat"]) == {"lo", "hi"}
    assert (out["one"] == "same").all()  # a single distinct value is never changed
    # the low-cardinality numeric column is noised as a number, not redrawn as a category
    assert out["flag"].dtype == np.float64 and not out["flag"].isin([0, 1]).all()


def test_integer_nullable_column_keeps_missing_cells(privex):
    df = pd.DataFrame({"i": pd.array([1, None, 3], dtype="Int64")})
    out = privex.PrivexProcessor(random_state=4)._apply_minimal_noise(df)
    assert out["i"].isna().tolist() == [False, True, False]


def test_errors_propagate(privex, table):
    with pytest.raises(ValueError, match="scale < 0"):
        privex.PrivexProcessor(numerical_noise_std=-1.0)._apply_minimal_noise(table)
    with pytest.raises(TypeError, match="takes exactly 2 positional arguments"):
        privex.PrivexProcessor()._apply_minimal_noise(table, ["x"])
