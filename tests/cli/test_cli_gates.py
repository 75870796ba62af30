"""End-to-end checks of the command line's gates and messages: exit codes,
refused rules, metrics that give no value, the privacy gate, output files."""

import io
import json
import os
import re
import stat
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from quorvix import cli
from quorvix.cli import main


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    code = main(list(map(str, argv)), out, err)
    return code, out.getvalue(), err.getvalue()


def population(n, seed):
    rng = np.random.default_rng(seed)
    x = rng.normal(size=n)
    return pd.DataFrame({
        "alcohol": 12 + x,
        "acid": 2 + 0.5 * x + rng.normal(scale=0.5, size=n),
        "colour": rng.gamma(3.0, 1.5, size=n),
        "target": (x > 0).astype(int) + (x > 1).astype(int),
        "grape": np.where(x + rng.normal(scale=0.5, size=n) > 0, "red", "white"),
    })


@pytest.fixture
def files(tmp_path):
    """real.csv, a fresh sample of the same population and a copy."""
    paths = {}
    for name, df in (("real", population(300, 0)), ("fresh", population(300, 1)),
                     ("copy", population(300, 0))):
        paths[name] = tmp_path / f"{name}.csv"
        df.to_csv(paths[name], index=False)
    return paths


# --- rules check: a rule that was not checked fails the gate ------------------------------


@pytest.mark.parametrize(
    "rule, reason, hint",
    [
        ("alcohl > 0", "was refused: unknown name 'alcohl'", "did you mean 'alcohol'?"),
        ("target = 1", "was refused: character '=' is not allowed", "compare with '=='"),
        ("if alcohol > 12", "was refused: unknown name 'if'", "'if CONDITION then CONSEQUENCE'"),
        ("alcohol > 12 then target == 1", "was refused: unknown name 'then'", "'if CONDITION then CONSEQUENCE'"),
        ("alcohol between 11 and 15", "was refused: unknown name 'between'", "COLUMN >= LOW and COLUMN <= HIGH"),
        ("grape > 'red' + 1", "could not be evaluated: TypeError", None),
        ("1 > 0", "refers to no column", None),
    ],
)
def test_rules_check_exits_2_when_a_rule_was_not_checked(files, tmp_path, rule, reason, hint):
    fixed = tmp_path / "fixed.csv"
    code, out, err = run("rules", "check", files["real"], "--rule", rule, "--rule", "alcohol > 0",
                         "--fix", "drop", "--output", fixed)
    assert code == 2
    line = next(ln for ln in err.splitlines() if ln.startswith("error: rule"))
    assert f"error: rule {rule!r} {reason}" in line
    if hint:
        assert "hint: " in line and hint in line
    assert "1 of 2 rules were not checked; nothing was repaired" in err
    assert f"Rule '{rule}': NOT CHECKED" in out and "Rule 'alcohol > 0': 0 violations" in out
    assert not fixed.exists()


def test_unknown_name_without_a_close_match_lists_the_columns(files):
    code, _, err = run("rules", "check", files["real"], "--rule", "zzz > 1")
    assert code == 2 and "the columns are: alcohol, acid, colour, target, grape" in err


def test_conditional_without_a_consequence(files):
    code, _, err = run("rules", "check", files["real"], "--rule", "if alcohol > 1 then")
    assert code == 2
    assert "error: rule 'if alcohol > 1 then' was refused" in err
    assert "'if CONDITION then CONSEQUENCE'" in err


# --- evaluate: metric names, metrics without a value ---------------------------------------


def test_evaluate_lists_metrics_that_gave_no_value(files, monkeypatch):
    from quorvix.evaluation.metrics import similarity

    def broken(self):
        raise RuntimeError("kernel exploded")

    monkeypatch.setattr(similarity.MultivariateSimilarityMetrics, "mmd_rbf", broken)
    code, out, err = run("evaluate", files["real"], files["fresh"], "--metrics", "ks_complement",
                         "mmd_rbf", "nn_adversarial_accuracy,nnd_ratio", "--no-privacy")
    assert code == 0, err
    line = next(ln for ln in out.splitlines() if ln.startswith("Not computed:"))
    assert "mmd (failed: RuntimeError: kernel exploded)" in line
    assert "nn_adversarial_accuracy (listed but not computed by this evaluator)" in line
    assert "nnd_ratio (listed but not computed by this evaluator)" in line
    assert "ks_complement" not in line
    assert "ks_complement_alcohol" in out


def test_evaluate_names_the_privacy_metrics_skipped_by_no_privacy(files):
    code, out, _ = run("evaluate", files["real"], files["fresh"], "--metrics", "ks_complement",
                       "distance_to_closest_record", "--no-privacy")
    assert code == 0
    assert "Not computed: distance_to_closest_record (skipped (--no-privacy))" in out


def test_evaluate_full_suite_computes_everything_it_lists(files):
    code, out, _ = run("evaluate", files["real"], files["fresh"])
    assert code == 0
    assert "Not computed" not in out
    assert re.search(r"^Privacy: (LOW|MODERATE|HIGH) risk \(", out, re.M)


def test_evaluate_accepts_report_names_and_rejects_unknown_ones(files):
    code, out, _ = run("evaluate", files["real"], files["fresh"], "--metrics", "mmd_rbf", "--no-privacy")
    assert code == 0 and "mmd_rbf" in out and "Not computed" not in out
    code, _, err = run("evaluate", files["real"], files["fresh"], "--metrics", "ks_compliment")
    assert code == 2
    assert "--metrics: unknown metric 'ks_compliment' (did you mean 'ks_complement'?)" in err
    assert "valid names: ks_complement, wasserstein" in err and "mmd_rbf (= mmd)" in err


def test_metrics_before_the_file_names(files):
    code, out, err = run("evaluate", "--metrics", "ks_complement", files["real"], files["fresh"], "--no-privacy")
    assert code == 0, err
    assert "ks_complement_alcohol" in out


def test_evaluate_help_lists_the_metric_names(capsys):
    with pytest.raises(SystemExit) as info:
        main(["evaluate", "--help"])
    assert info.value.code == 0
    text = " ".join(capsys.readouterr().out.split())
    for name in ("ks_complement", "mmd", "mmd_rbf", "tstr_normalized", "distance_to_closest_record",
                 "--max-privacy-risk"):
        assert name in text


def test_evaluate_warns_about_columns_only_one_table_has(files, tmp_path):
    other = tmp_path / "other.csv"
    pd.read_csv(files["fresh"]).drop(columns=["colour"]).assign(extra=1).to_csv(other, index=False)
    code, _, err = run("evaluate", files["real"], other, "--metrics", "ks_complement", "--no-privacy")
    assert code == 0
    assert f"warning: columns only in {files['real']} (not evaluated): colour" in err
    assert f"warning: columns only in {other} (not evaluated): extra" in err


@pytest.mark.parametrize("kind, message", [("disjoint", "share no column"), ("empty", "has no rows")])
def test_evaluate_stops_on_tables_it_cannot_compare(files, tmp_path, kind, message):
    bad = tmp_path / "bad.csv"
    df = pd.DataFrame({"zz": [1, 2, 3]}) if kind == "disjoint" else pd.read_csv(files["fresh"]).head(0)
    df.to_csv(bad, index=False)
    code, out, err = run("evaluate", files["real"], bad)
    assert code == 2 and message in err and out == ""


def test_evaluate_checks_output_folders_before_the_work(files, tmp_path):
    code, _, err = run("evaluate", files["real"], files["fresh"], "--html", tmp_path / "nope" / "r.html")
    assert code == 2
    assert "directory" in err and "does not exist" in err
    assert "[1/" not in err  # nothing was read or evaluated


# --- evaluate: the privacy gate -----------------------------------------------------------


@pytest.mark.parametrize(
    "synthetic, level, code",
    [("copy", "MODERATE", 1), ("copy", "LOW", 1), ("copy", "HIGH", 0), ("fresh", "low", 0)],
)
def test_max_privacy_risk_gate(files, synthetic, level, code):
    got, out, err = run("evaluate", files["real"], files[synthetic], "--max-privacy-risk", level)
    assert got == code, err
    verdict = next(ln for ln in out.splitlines() if ln.startswith("Privacy:"))
    if synthetic == "copy":
        assert verdict.startswith("Privacy: HIGH risk (membership risk")
        assert "synthetic rows copy real rows" in verdict
    else:
        assert verdict.startswith("Privacy: LOW risk")
    if code == 1:
        assert f"privacy risk HIGH is above the allowed {level.upper()}" in err


def test_privacy_gate_without_a_verdict_fails(files, monkeypatch):
    from quorvix.tabular.evaluator.metrics.privacy import distance_to_closest_record, membership_inference

    def broken(self, real, synthetic):
        raise RuntimeError("no distances")

    monkeypatch.setattr(membership_inference.MembershipInferenceMetric, "compute", broken)
    monkeypatch.setattr(distance_to_closest_record.DTCRMetric, "compute", broken)
    code, out, err = run("evaluate", files["real"], files["copy"], "--max-privacy-risk", "HIGH")
    assert code == 2
    assert "Privacy: not assessed" in out
    assert "membership_inference_auc (failed: RuntimeError: no distances)" in out
    assert "--max-privacy-risk: no privacy verdict" in err


@pytest.mark.parametrize(
    "extra, message",
    [(["--no-privacy"], "drop --no-privacy"),
     (["--metrics", "ks_complement"], "needs membership_inference_auc or distance_to_closest_record")],
)
def test_privacy_gate_refuses_runs_without_privacy_metrics(files, extra, message):
    code, _, err = run("evaluate", files["real"], files["copy"], "--max-privacy-risk", "LOW", *extra)
    assert code == 2 and message in err


def test_compare_shows_each_reports_quality_and_privacy(files, tmp_path):
    a, b = tmp_path / "a.json", tmp_path / "b.json"
    assert run("evaluate", files["real"], files["copy"], "--json", a)[0] == 0
    assert run("evaluate", files["real"], files["fresh"], "--json", b)[0] == 0
    code, out, _ = run("compare", a, b)
    assert code == 0
    lines = out.splitlines()
    copy_line = next(ln for ln in lines if ln.lstrip().startswith("copy.csv ") and "Privacy:" in ln)
    fresh_line = next(ln for ln in lines if ln.lstrip().startswith("fresh.csv ") and "Privacy:" in ln)
    assert re.search(r"quality \d\.\d{4}  Privacy: HIGH risk", copy_line)
    assert re.search(r"quality \d\.\d{4}  Privacy: LOW risk", fresh_line)


# --- privatize ------------------------------------------------------------------------------


def test_privatize_defaults_to_laplace_and_names_the_categories(files, tmp_path):
    target = tmp_path / "noisy.csv"
    code, out, _ = run("privatize", files["real"], target, "--seed", 3)
    assert code == 0
    assert "perturbed with 'laplace' (epsilon 1)" in out
    assert "resampled as categories from noisy frequencies: grape, target" in out
    assert "numeric columns with at most 10 distinct values count as categories: target" in out


def test_privatize_epsilon_changes_the_default_method(files, tmp_path):
    a, b = tmp_path / "a.csv", tmp_path / "b.csv"
    assert run("privatize", files["real"], a, "--epsilon", "0.01", "--seed", 1)[0] == 0
    assert run("privatize", files["real"], b, "--epsilon", "100", "--seed", 1)[0] == 0
    assert a.read_bytes() != b.read_bytes()
    real = pd.read_csv(files["real"])
    # more budget, less noise
    assert (pd.read_csv(b)["alcohol"] - real["alcohol"]).abs().mean() < \
        (pd.read_csv(a)["alcohol"] - real["alcohol"]).abs().mean()


def test_privatize_minimal_says_it_is_not_differential_privacy(files, tmp_path):
    code, out, err = run("privatize", files["real"], tmp_path / "m.csv", "--method", "minimal", "--epsilon", "5")
    assert code == 0
    assert "is not differential privacy" in out and "ignores --epsilon" in out
    assert "(epsilon" not in out
    assert "warning: --epsilon has no effect with --method minimal" in err


def test_preserve_does_not_swallow_the_file_names(files, tmp_path):
    target = tmp_path / "p.csv"
    code, out, err = run("privatize", "--preserve", "alcohol,acid", "--preserve", "grape",
                         files["real"], target, "--seed", 2)
    assert code == 0, err
    real, noisy = pd.read_csv(files["real"]), pd.read_csv(target)
    assert noisy["grape"].tolist() == real["grape"].tolist()
    for col in ("alcohol", "acid"):  # unchanged up to the CSV parser's last bit
        np.testing.assert_allclose(noisy[col], real[col], rtol=1e-14, atol=0)
    assert not np.allclose(noisy["colour"], real["colour"])
    assert "left unchanged: alcohol, acid, grape" in out


@pytest.mark.parametrize("name", ["out.xlsx", "out.json", "out"])
def test_table_outputs_need_a_table_extension(files, tmp_path, name):
    code, _, err = run("privatize", files["real"], tmp_path / name)
    assert code == 2 and "the file name must end in .csv, .parquet, .pq" in err
    assert not (tmp_path / name).exists()
    code, _, err = run("rules", "check", files["real"], "--rule", "alcohol > 12", "--fix", "drop",
                       "--output", tmp_path / name)
    assert code == 2 and "--output: cannot write a table" in err


def test_written_files_get_the_umask_permissions(files, tmp_path):
    old = os.umask(0o022)
    try:
        csv, html, js = tmp_path / "n.csv", tmp_path / "r.html", tmp_path / "r.json"
        assert run("privatize", files["real"], csv)[0] == 0
        assert run("evaluate", files["real"], files["fresh"], "--metrics", "ks_complement", "--no-privacy",
                   "--html", html, "--json", js)[0] == 0
        for path in (csv, html, js):
            assert stat.S_IMODE(path.stat().st_mode) == 0o644, path
        os.umask(0o077)
        fresh = tmp_path / "private.csv"
        assert run("privatize", files["real"], fresh)[0] == 0
        assert stat.S_IMODE(fresh.stat().st_mode) == 0o600
        # a replaced file keeps its own mode
        csv.chmod(0o640)
        assert run("privatize", files["real"], csv)[0] == 0
        assert stat.S_IMODE(csv.stat().st_mode) == 0o640
    finally:
        os.umask(old)


# --- the parser -------------------------------------------------------------------------------


def test_version(capsys):
    with pytest.raises(SystemExit) as info:
        main(["--version"])
    assert info.value.code == 0
    assert re.fullmatch(r"quorvix \d+\.\d+\.\d+\S*\n", capsys.readouterr().out)


def _parsers(parser):
    yield parser
    for action in parser._actions:
        for sub in (getattr(action, "choices", None) or {}).values() if hasattr(action, "_name_parser_map") else ():
            yield from _parsers(sub)


def test_every_option_has_help_with_its_default():
    checked = 0
    for parser in _parsers(cli.build_parser()):
        for action in parser._actions:
            if not action.option_strings or action.dest in ("help", "version"):
                continue
            checked += 1
            assert action.help, (parser.prog, action.dest)
            if action.required or action.dest in ("rule", "rules_file"):
                continue
            assert "default" in action.help, (parser.prog, action.dest)
    assert checked > 15


# --- progress and the noise module's log records --------------------------------------------


def test_progress_lines_are_not_broken_by_log_records(tmp_path):
    proc = subprocess.run([sys.executable, "-m", "quorvix", "demo", "--out", str(tmp_path)],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stderr.splitlines()
    assert len([ln for ln in lines if ln.startswith("[")]) == 5
    for line in lines:
        assert re.fullmatch(r"\[\d/5\] .* \.\.\. done \(\d+\.\ds\)|warning: .*", line), line
