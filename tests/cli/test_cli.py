import io
import json
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from quorvix.cli import main


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = main(list(map(str, argv)), out, err)
    return code, out.getvalue(), err.getvalue()


@pytest.fixture
def people(tmp_path):
    path = tmp_path / "people.csv"
    pd.DataFrame({"age": [34, -1, 15, 51], "income": [52000.0, 0.0, 1200.0, 61000.0]}).to_csv(path, index=False)
    return path


@pytest.fixture
def tables(tmp_path):
    rng = np.random.default_rng(0)
    n = 300
    real = pd.DataFrame({
        "a": rng.normal(size=n),
        "b": rng.integers(0, 50, n),
        "c": rng.choice(["x", "y", "z"], n),
    })
    synth = real.assign(a=real["a"] + rng.normal(scale=0.3, size=n))
    r, s = tmp_path / "real.csv", tmp_path / "synth.csv"
    real.to_csv(r, index=False)
    synth.to_csv(s, index=False)
    return r, s


# --- rules check -------------------------------------------------------------------------


def test_rules_check_reports_and_exits_1_on_violations(people):
    code, out, err = run("rules", "check", people, "--rule", "age > 0", "--rule", "if age < 18 then income == 0")
    assert code == 1
    assert "Rule 'age > 0': 1 violations" in out
    assert "Rule 'if age < 18 then income == 0': 1 violations" in out
    assert "2 of 4 rows break at least one rule" in out


def test_rules_check_clean_table_exits_0(people, tmp_path):
    rules = tmp_path / "rules.txt"
    rules.write_text("# bounds\nincome >= 0\n\n")
    code, out, _ = run("rules", "check", people, "--rules-file", rules)
    assert code == 0 and "Rule 'income >= 0': 0 violations" in out


@pytest.mark.parametrize("strategy, rows", [("drop", 3), ("clip", 4), ("resample", 4)])
def test_rules_check_fix_writes_the_repaired_table(people, tmp_path, strategy, rows):
    target = tmp_path / "fixed.csv"
    code, out, _ = run("rules", "check", people, "--rule", "age > 0", "--fix", strategy, "--output", target, "--seed", 1)
    assert code == 0
    fixed = pd.read_csv(target)
    assert len(fixed) == rows and (fixed["age"] > 0).all()
    assert f"repaired with '{strategy}'" in out


def test_refused_rules_fail_the_check(people):
    code, out, err = run("rules", "check", people, "--rule", "agee > 0")
    assert code == 2
    assert "error: rule 'agee > 0' was refused: unknown name 'agee'" in err
    assert "did you mean 'age'?" in err
    assert "Rule 'agee > 0': NOT CHECKED" in out


@pytest.mark.parametrize(
    "argv, message",
    [
        (["rules", "check", "missing.csv", "--rule", "a > 0"], "cannot read 'missing.csv': no such file"),
        (["rules", "check", "{people}", "--rule", "a > 0", "--fix", "drop"], "--fix needs --output FILE"),
        (["rules", "check", "{people}", "--rules-file", "nope.txt"], "cannot read 'nope.txt'"),
        (["rules", "check", "{people}", "--rule", "age > 0", "--fix", "drop", "--output", "no/such/dir/x.csv"],
         "directory 'no/such/dir' does not exist"),
        (["rules", "check", "{bad}", "--rule", "a > 0"], "cannot read '{bad}'"),
    ],
)
def test_errors_are_one_line_with_status_2(argv, message, people, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    bad = tmp_path / "bad.csv"
    bad.write_text('a,b\n1,"unterminated\n')
    argv = [a.format(people=people, bad=bad) for a in argv]
    code, out, err = run(*argv)
    assert code == 2
    assert err.count("\n") == 1 and err.startswith("quorvix rules check: error: ")
    assert message.format(bad=bad) in err
    assert "Traceback" not in err


def test_failed_write_leaves_existing_output_untouched(people, tmp_path, monkeypatch):
    target = tmp_path / "out.csv"
    target.write_text("precious")

    def broken(self, *a, **k):
        raise OSError("disk full")

    monkeypatch.setattr(pd.DataFrame, "to_csv", broken)
    code, _, err = run("rules", "check", people, "--rule", "age > 0", "--fix", "drop", "--output", target)
    assert code == 2 and "disk full" in err
    assert target.read_text() == "precious"
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["out.csv", "people.csv"])


def test_debug_shows_the_traceback(tmp_path):
    with pytest.raises(Exception, match="no such file"):
        main(["--debug", "rules", "check", str(tmp_path / "x.csv"), "--rule", "a > 0"])


@pytest.mark.parametrize(
    "argv",
    [["nonsense"], ["privatize", "a.csv", "b.csv", "--epsilon", "0"], ["privatize", "a", "b", "--method", "fancy"],
     ["evaluate", "a.csv"], ["rules", "check", "d.csv"], ["evaluate", "a", "b", "--bootstrap", "-1"]],
)
def test_bad_options_are_usage_errors(argv, capsys):
    with pytest.raises(SystemExit) as info:
        main(argv)
    assert info.value.code == 2
    assert "usage:" in capsys.readouterr().err


# --- privatize, evaluate, compare ---------------------------------------------------------


def test_privatize_is_reproducible_and_preserves_columns(tables, tmp_path):
    real, _ = tables
    a, b = tmp_path / "a.csv", tmp_path / "b.parquet"
    for target in (a, b):
        code, out, _ = run("privatize", real, target, "--method", "laplace", "--epsilon", "2", "--preserve", "c", "--seed", 7)
        assert code == 0 and "perturbed with 'laplace'" in out
    df_a, df_b, original = pd.read_csv(a), pd.read_parquet(b), pd.read_csv(real)
    pd.testing.assert_frame_equal(df_a, df_b, check_dtype=False)
    assert df_a["c"].tolist() == original["c"].tolist()
    assert not np.allclose(df_a["a"], original["a"])


def test_privatize_unknown_preserved_column(tables, tmp_path):
    real, _ = tables
    code, _, err = run("privatize", real, tmp_path / "o.csv", "--preserve", "nope")
    assert code == 2 and "--preserve: no column 'nope'" in err
    assert not (tmp_path / "o.csv").exists()


def test_evaluate_writes_reports_and_compare_reads_them(tables, tmp_path):
    real, synth = tables
    html, js = tmp_path / "r.html", tmp_path / "r.json"
    code, out, err = run("evaluate", real, synth, "--metrics", "ks_complement", "wasserstein", "--no-privacy",
                         "--seed", 3, "--html", html, "--json", js)
    assert code == 0, err
    assert "ks_complement_a" in out
    assert "[3/5] evaluating ... done" in err
    assert html.read_text().startswith("<!DOCTYPE html>") or "<html" in html.read_text()
    saved = json.loads(js.read_text())
    assert "ks_complement_a" in json.dumps(saved)
    assert saved["dataset_name"] == "real.csv" and saved["generator_name"] == "synth.csv"
    assert "Evaluation Report — synth.csv" in html.read_text()

    js2 = tmp_path / "r2.json"
    assert run("evaluate", real, real, "--metrics", "ks_complement", "--no-privacy", "--json", js2)[0] == 0
    code, out, _ = run("compare", js, js2)
    assert code == 0 and "ks_complement_a" in out


def test_evaluate_rejects_unknown_metric(tables):
    real, synth = tables
    code, _, err = run("evaluate", real, synth, "--metrics", "ks_compliment")
    assert code == 2 and "--metrics: unknown metric 'ks_compliment'" in err


def test_compare_rejects_a_file_that_is_not_a_report(tmp_path):
    bogus = tmp_path / "x.json"
    bogus.write_text("[1, 2")
    code, _, err = run("compare", bogus)
    assert code == 2 and f"'{bogus}' is not a saved evaluation report" in err


# --- the demos ----------------------------------------------------------------------------


def test_demo_produces_both_reports(tmp_path):
    code, out, err = run("demo", "--out", tmp_path)
    assert code == 0, err
    assert (tmp_path / "report.html").stat().st_size > 10_000
    report = json.loads((tmp_path / "report.json").read_text())
    assert report
    assert f"HTML report: {(tmp_path / 'report.html').resolve()}" in out
    assert "[5/5]" in err


def test_privex_demo_runs_as_a_program():
    proc = subprocess.run([sys.executable, "-m", "quorvix", "privex-demo"], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "Original DataFrame:" in proc.stdout and "Privacy Information:" in proc.stdout


def test_module_entry_point():
    proc = subprocess.run([sys.executable, "-m", "quorvix", "--help"], capture_output=True, text=True, check=True)
    assert "demo" in proc.stdout and "rules" in proc.stdout
