"""The metrics rank cases with a known answer as their meaning demands.

Runs the harness of benchmarks/validity.py (which see for the candidates and
the required orderings) on every shipped table: a verbatim copy, a fresh
sample of the same population, a near-copy, shuffled columns and uniform
noise, scored with the evaluator's default suite and the privacy verdict.
About ten seconds per seed on two cores.
"""

import importlib.util
from pathlib import Path

import pytest

HARNESS = Path(__file__).resolve().parents[2] / "benchmarks" / "validity.py"


@pytest.fixture(scope="module")
def validity():
    spec = importlib.util.spec_from_file_location("quorvix_validity", HARNESS)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.validity
@pytest.mark.parametrize("seed", [0, 1])
@pytest.mark.parametrize("table", ["wine", "breast_cancer", "diabetes", "penguins"])
def test_metrics_rank_known_cases(validity, table, seed):
    figures, verdicts, failed = validity.run_table(table, seed)
    assert failed == [], "\n" + validity.format_table(table, 0, figures, verdicts) + "\n" + "\n".join(failed)
    # the verdict of the near-copy is no better than MODERATE, random data is LOW
    assert verdicts["near-copy"] in ("MODERATE", "HIGH")
    assert verdicts["random"] == "LOW"


def test_harness_flags_a_wrong_ordering(validity):
    """The check itself can fail: swap two candidates' figures."""
    figures, verdicts, failed = validity.run_table("wine", 0)
    assert failed == []
    figures["copy"], figures["fresh"] = figures["fresh"], figures["copy"]
    failed = validity.check(figures, {"copy": "LOW", "fresh": "HIGH"})
    assert any("membership_inference_auc: copy > fresh fails" in f for f in failed)
    assert any("privacy verdict: copy should be HIGH" in f for f in failed)
    del figures["random"]["mmd_rbf"]
    assert "mmd_rbf: no value for random" in validity.check(figures, verdicts)
