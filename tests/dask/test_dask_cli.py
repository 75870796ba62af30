"""The command line on a folder of Parquet files, end to end."""

import io
import json

import numpy as np
import pandas as pd
import pytest

from quorvix.cli import main
from quorvix.tabular.evaluator.evaluator import TabularEvaluator
from quorvix.tabular.rulix import Rulix

SIZES = [300, 0, 151, 49]


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = main(list(map(str, argv)), out, err)
    return code, out.getvalue(), err.getvalue()


@pytest.fixture
def folders(tmp_path):
    rng = np.random.default_rng(0)
    real_dir, synth_dir = tmp_path / "real", tmp_path / "synth"
    real_dir.mkdir()
    synth_dir.mkdir()
    parts = []
    for i, n in enumerate(SIZES):
        df = pd.DataFrame({"age": rng.integers(-5, 90, n), "income": rng.normal(5e4, 2e4, n),
                           "city": rng.choice(["a", "b", "c"], n)})
        df.to_parquet(real_dir / f"part-{i}.parquet", index=False)
        df.assign(income=df["income"] + rng.normal(0, 5000, n)).to_parquet(
            synth_dir / f"part-{i}.parquet", index=False)
        parts.append(df)
    whole = pd.concat(parts, ignore_index=True)
    return real_dir, synth_dir, whole


def test_rules_check_on_a_folder(folders, tmp_path):
    real_dir, _, whole = folders
    code, out, err = run("rules", "check", real_dir, "--rule", "age > 0", "--rule", "income >= 0")
    report = Rulix().add_rule("age > 0").add_rule("income >= 0").validate(whole)
    assert code == 1
    assert out.splitlines()[:2] == report.summary().splitlines()
    assert f"{len(report.violating_rows)} of {len(whole)} rows break at least one rule" in out
    # progress per partition on stderr
    assert "validate: 4/4 partitions" in err and "validate: 1/4 partitions" in err


def test_rules_check_fix_writes_a_folder(folders, tmp_path):
    real_dir, _, whole = folders
    fixed_dir = tmp_path / "fixed"
    code, out, err = run("rules", "check", str(real_dir / "*.parquet"), "--rule", "age > 0",
                         "--fix", "drop", "--output", fixed_dir)
    assert code == 0, err
    written = pd.read_parquet(fixed_dir)
    want = Rulix().add_rule("age > 0").validate(whole).fix(whole, "drop")
    # (Dask reads text as its Arrow-backed string dtype)
    pd.testing.assert_frame_equal(written.reset_index(drop=True).astype({"city": object}),
                                  want.astype({"city": object}))
    assert f"{len(want)} rows written to {fixed_dir}, 0 violations left" in out


def test_refused_rule_fails_the_check(folders):
    real_dir, _, _ = folders
    code, out, err = run("rules", "check", real_dir, "--rule", "agee > 0")
    assert code == 2
    assert "NOT CHECKED" in out and "did you mean 'age'" in err


def test_privatize_and_evaluate_a_folder(folders, tmp_path):
    real_dir, synth_dir, whole = folders
    noisy_dir = tmp_path / "noisy"
    code, out, err = run("privatize", real_dir, noisy_dir, "--seed", "3", "--preserve", "city")
    assert code == 0, err
    noisy = pd.read_parquet(noisy_dir)
    assert len(noisy) == len(whole)
    assert noisy["city"].tolist() == whole["city"].tolist()
    assert not np.allclose(noisy["income"], whole["income"])
    assert "privatize: facts: 4/4 partitions" in err

    report_path = tmp_path / "r.json"
    metrics = ["ks_complement", "total_variation", "pearson_correl_diff"]
    code, out, err = run("evaluate", real_dir, synth_dir, "--metrics", *metrics,
                         "--json", report_path, "--html", tmp_path / "r.html")
    assert code == 0, err
    saved = json.loads(report_path.read_text())
    synth = pd.read_parquet(synth_dir)
    want = TabularEvaluator(metrics=metrics).evaluate(whole, synth)
    got = saved["aggregate_metrics"]
    assert list(got) == list(want.aggregate_metrics)
    for name, result in want.aggregate_metrics.items():
        assert got[name]["value"] == pytest.approx(result.value, abs=1e-9)
    assert (tmp_path / "r.html").read_text().startswith("<!DOCTYPE html>")


def test_scheduler_address(folders, cluster_client):
    real_dir, _, whole = folders
    address = cluster_client.scheduler.address
    code, out, err = run("rules", "check", real_dir, "--rule", "age > 0", "--scheduler", address)
    report = Rulix().add_rule("age > 0").validate(whole)
    assert code == 1
    assert out.splitlines()[0] == report.summary()


@pytest.mark.parametrize("setup,message", [
    ("mixed", "both Parquet and CSV"),
    ("empty", "no .parquet, .pq or .csv file"),
    ("glob", "no file matches"),
])
def test_folder_errors(tmp_path, setup, message):
    folder = tmp_path / "in"
    folder.mkdir()
    target = str(folder)
    if setup == "mixed":
        pd.DataFrame({"a": [1]}).to_parquet(folder / "x.parquet")
        pd.DataFrame({"a": [1]}).to_csv(folder / "y.csv")
    elif setup == "glob":
        target = str(folder / "*.parquet")
    code, out, err = run("rules", "check", target, "--rule", "a > 0")
    assert code == 2 and message in err


def test_output_must_be_a_new_folder(folders, tmp_path):
    real_dir, _, _ = folders
    code, _, err = run("privatize", real_dir, tmp_path / "out.parquet")
    assert code == 2 and "folder of Parquet files" in err
    code, _, err = run("privatize", real_dir, real_dir)
    assert code == 2 and "not an empty directory" in err


def test_csv_folder(tmp_path):
    folder = tmp_path / "csv"
    folder.mkdir()
    for i, values in enumerate([[1, -2, 3], [4, -5]]):
        pd.DataFrame({"a": values}).to_csv(folder / f"p{i}.csv", index=False)
    code, out, err = run("rules", "check", folder, "--rule", "a > 0")
    assert code == 1
    assert "Rule 'a > 0': 2 violations" in out
