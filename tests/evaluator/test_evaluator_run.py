"""evaluate: the order of the steps and metric blocks, their arguments, which
failures are logged, dropped or passed on."""

import logging
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

EXPECTED_DEFAULT_RUN = [
    ("ks_complement_age", "aggregate"), ("ks_complement_income", "aggregate"),
    ("ks_complement_city", "aggregate"),
    ("wasserstein_a", "aggregate"), ("wasserstein_b", "aggregate"),
    ("total_variation_a", "aggregate"), ("total_variation_b", "aggregate"),
    ("hellinger_a", "aggregate"), ("hellinger_b", "aggregate"),
    ("jensen_shannon_a", "aggregate"), ("jensen_shannon_b", "aggregate"),
    ("pearson_correl_diff", "aggregate"), ("spearman_correl_diff", "aggregate"),
    ("correlation_matrix_distance", "aggregate"), ("mmd_rbf", "aggregate"),
    ("prediction_agreement", "aggregate"),
    ("alpha_precision", "aggregate"), ("beta_recall", "aggregate"),
    ("likelihood_leak", "aggregate"),
    ("membership_inference_auc", "privacy"), ("distance_to_closest_record", "privacy"),
    ("tstr_normalized", "aggregate"),
]


def test_default_run_order_arguments_and_results(suite, TabularEvaluator, tables):
    real, synth = tables
    e = TabularEvaluator(random_seed=11)
    report = e.evaluate(real, synth)

    assert isinstance(report, suite.Report)
    assert report.init_kwargs == {"real_data_n_rows": 6, "synthetic_data_n_rows": 4,
                                  "n_columns": 3, "generator_name": "NoneType"}
    assert list(report.init_kwargs) == ["real_data_n_rows", "synthetic_data_n_rows",
                                        "n_columns", "generator_name"]
    assert report.names() == EXPECTED_DEFAULT_RUN
    assert [kw for _, kw in report.added] == [
        {"scope": "privacy"} if scope == "privacy" else {} for _, scope in EXPECTED_DEFAULT_RUN]

    assert suite.keys() == [
        "KSComplementMetric()", "KSComplementMetric.compute",
        "UnivariateSimilarityMetrics()", "UnivariateSimilarityMetrics.wasserstein_distance_metric",
        "UnivariateSimilarityMetrics()", "UnivariateSimilarityMetrics.total_variation_distance",
        "UnivariateSimilarityMetrics()", "UnivariateSimilarityMetrics.hellinger_distance",
        "UnivariateSimilarityMetrics()", "UnivariateSimilarityMetrics.jensen_shannon_divergence",
        "CorrelationSimilarityMetrics()", "CorrelationSimilarityMetrics.pearson_correlation_difference",
        "CorrelationSimilarityMetrics()", "CorrelationSimilarityMetrics.spearman_correlation_difference",
        "MultivariateSimilarityMetrics()", "MultivariateSimilarityMetrics.correlation_matrix_distance",
        "MultivariateSimilarityMetrics()", "MultivariateSimilarityMetrics.mmd_rbf",
        "PredictionAgreementMetrics()", "PredictionAgreementMetrics.prediction_agreement_percentage",
        "AlphaPrecisionMetric()", "AlphaPrecisionMetric.compute",
        "BetaRecallMetric()", "BetaRecallMetric.compute",
        "LikelihoodLeakMetric()", "LikelihoodLeakMetric.compute",
        "MembershipInferenceMetric()", "MembershipInferenceMetric.compute",
        "DTCRMetric()", "DTCRMetric.compute",
        "TSTRNormalizedMetric()", "TSTRNormalizedMetric.compute",
    ]

    def same(args, expected):
        return len(args) == len(expected) and all(a is b for a, b in zip(args, expected))

    for key, args, kwargs in suite.log:
        cls, _, method = key.partition(".")
        if key == "KSComplementMetric.compute":
            assert same(args, (real, synth)) and kwargs == {"columns": ["age", "income", "city"]}
        elif cls in ("UnivariateSimilarityMetrics()", "CorrelationSimilarityMetrics()",
                     "MultivariateSimilarityMetrics()"):
            assert same(args, (real, synth)) and kwargs == {}
        elif key == "PredictionAgreementMetrics()":
            assert same(args[:2], (real, synth)) and args[2:] == ("age",) and kwargs == {}
        elif key in ("LikelihoodLeakMetric()", "TSTRNormalizedMetric()"):
            assert args == () and kwargs == {"random_seed": 11}
        elif key.endswith("()"):
            assert args == () and kwargs == {}
        elif key.endswith(".compute"):
            assert same(args, (real, synth)) and kwargs == {}
        else:
            assert args == () and kwargs == {}

    # Results built by the loop blocks: five keywords, values passed through untouched.
    by_name = {r.name: r for r, _ in report.added}
    assert by_name["ks_complement_age"].kwargs == {
        "name": "ks_complement_age", "value": 0.8, "category": "statistical",
        "higher_is_better": True, "description": "1 - KS statistic. Higher = better fidelity."}
    assert list(by_name["mmd_rbf"].kwargs) == ["name", "value", "category", "higher_is_better",
                                               "description"]
    assert by_name["prediction_agreement"].kwargs == {
        "name": "prediction_agreement", "value": 0.75, "category": "utility",
        "higher_is_better": True,
        "description": "Agreement between models trained on real vs synthetic. Higher = better."}
    assert "mmd" not in by_name
    # Post-loop results are added as the metric class returned them.
    assert by_name["alpha_precision"].kwargs == {"name": "alpha_precision", "value": 0.9,
                                                 "category": "fidelity"}
    assert isinstance(report.evaluation_time_seconds, float)
    assert report.evaluation_time_seconds >= 0.0


@pytest.mark.parametrize("metric, name, value, description", [
    ("wasserstein", "wasserstein_a", 0.91,
     "Normalised Wasserstein distance. Higher = better fidelity."),
    ("total_variation", "total_variation_a", 0.91,
     "1 - Total Variation distance. Higher = better fidelity."),
    ("hellinger", "hellinger_a", 0.91, "1 - Hellinger distance. Higher = better fidelity."),
    ("jensen_shannon", "jensen_shannon_a", 0.91,
     "1 - sqrt(Jensen-Shannon divergence). Higher = better fidelity."),
    ("pearson_correl_diff", "pearson_correl_diff", 0.71,
     "1 - avg |Pearson(r_real) - Pearson(r_synth)|. Higher = better."),
    ("spearman_correl_diff", "spearman_correl_diff", 0.72,
     "1 - avg |Spearman(r_real) - Spearman(r_synth)|. Higher = better."),
    ("correlation_matrix_distance", "correlation_matrix_distance", 0.73,
     "Frobenius similarity of correlation matrices. Higher = better."),
    ("mmd", "mmd_rbf", 0.74, "MMD with RBF kernel. Higher = better fidelity."),
])
def test_loop_metric_results(suite, TabularEvaluator, tables, metric, name, value, description):
    report = TabularEvaluator().evaluate(*tables, metrics=[metric])
    first, kwargs = report.added[0]
    assert kwargs == {}
    assert first.kwargs == {"name": name, "value": value, "category": "statistical",
                            "higher_is_better": True, "description": description}


def test_values_are_not_converted(suite, TabularEvaluator, tables):
    odd = object()
    suite.outcomes["UnivariateSimilarityMetrics.hellinger_distance"] = {("x", 1): odd}
    suite.outcomes["MultivariateSimilarityMetrics.mmd_rbf"] = np.float32(0.5)
    report = TabularEvaluator().evaluate(*tables, metrics=["hellinger", "mmd"])
    (h, _), (m, _) = report.added
    assert h.name == ("x", 1) and h.value is odd
    assert type(m.value) is np.float32


def test_common_columns_follow_the_real_table(suite, TabularEvaluator):
    # Many string labels: an order taken from a set would almost never match.
    labels = [f"col_{c}" for c in "qwertyuiopasdfgh"]
    real = pd.DataFrame({c: [1, 2] for c in labels + ["only_real"]})
    synth = pd.DataFrame({c: [1, 2] for c in ["only_synth"] + labels[::-1]})
    report = TabularEvaluator().evaluate(real, synth, metrics=["ks_complement"])
    (_, kwargs), = suite.calls("KSComplementMetric.compute")
    assert kwargs["columns"] == labels
    assert [r.name for r, _ in report.added] == [f"ks_complement_{c}" for c in labels]


def test_common_columns_same_in_every_process(tmp_path):
    # The list handed to the KS metric (and so the report and the HTML page) is
    # the same whatever the interpreter's string hashing does.
    code = textwrap.dedent("""
        import sys, types
        import pandas as pd
        seen = []
        class KSComplementMetric:
            def compute(self, real, synth, columns):
                seen.append(list(columns))
                return {}
        class Report:
            def __init__(self, **kw): pass
            def add_metric(self, *a, **kw): pass
        for name, attrs in {
            "quorvix.tabular.evaluator.report": {"EvaluationReport": Report},
            "quorvix.tabular.evaluator.metrics.statistical.ks_complement":
                {"KSComplementMetric": KSComplementMetric},
        }.items():
            m = types.ModuleType(name); m.__dict__.update(attrs); sys.modules[name] = m
        from quorvix.tabular.evaluator import TabularEvaluator
        cols = ["delta", "alpha", "kappa", "beta", "omega", "gamma", "sigma", "zeta"]
        real = pd.DataFrame({c: [1.0] for c in cols})
        synth = pd.DataFrame({c: [1.0] for c in sorted(cols)})
        TabularEvaluator().evaluate(real, synth, metrics=["ks_complement"])
        print(seen[0])
    """)
    outputs = set()
    for seed in ("1", "2", "3", "4"):
        env = {"PYTHONHASHSEED": seed, "PATH": ""}
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             check=True, env=env)
        outputs.add(out.stdout.strip())
    assert outputs == {"['delta', 'alpha', 'kappa', 'beta', 'omega', 'gamma', 'sigma', 'zeta']"}


@pytest.mark.parametrize("real_cols, synth_cols, expected", [
    ({3: [1.0], "b": [2.0]}, {"b": [1.0], 3: [1.0]}, ["ks_complement_3", "ks_complement_b"]),
    ({"a": [1.0]}, {"z": [1.0]}, []),
])
def test_ks_names_and_tables_without_common_columns(suite, TabularEvaluator, real_cols,
                                                    synth_cols, expected):
    report = TabularEvaluator().evaluate(pd.DataFrame(real_cols), pd.DataFrame(synth_cols),
                                         metrics=["ks_complement"])
    assert [r.name for r, _ in report.added] == expected
    (_, kwargs), = suite.calls("KSComplementMetric.compute")
    assert kwargs["columns"] == [c for c in real_cols if c in synth_cols]


def test_duplicate_column_labels_are_passed_once(suite, TabularEvaluator):
    real = pd.DataFrame([[1, 2, 3]], columns=["a", "b", "a"])
    synth = pd.DataFrame([[1, 2]], columns=["a", "b"])
    TabularEvaluator().evaluate(real, synth, metrics=["ks_complement"])
    (_, kwargs), = suite.calls("KSComplementMetric.compute")
    assert kwargs["columns"] == ["a", "b"]


def test_empty_mapping_adds_nothing(suite, TabularEvaluator, tables):
    suite.outcomes["UnivariateSimilarityMetrics.wasserstein_distance_metric"] = {}
    report = TabularEvaluator().evaluate(*tables, metrics=["wasserstein"])
    assert report.added == []


def test_repeated_names(suite, TabularEvaluator, tables):
    report = TabularEvaluator().evaluate(
        *tables, metrics=["ks_complement", "alpha_precision", "ks_complement",
                          "alpha_precision", "tstr_normalized", "tstr_normalized"])
    assert [n for n, _ in report.names()] == [
        "ks_complement_age", "ks_complement_income", "ks_complement_city",
        "ks_complement_age", "ks_complement_income", "ks_complement_city",
        "alpha_precision", "tstr_normalized"]


@pytest.mark.parametrize("metrics", [["nn_adversarial_accuracy"], ["unknown"], ["nnd_ratio"]])
def test_names_outside_the_suite_do_nothing(suite, TabularEvaluator, tables, metrics):
    report = TabularEvaluator().evaluate(*tables, metrics=metrics, foo=1, bar=object())
    assert report.added == [] and suite.log == []
    assert isinstance(report.evaluation_time_seconds, float)


def test_run_list_comes_from_call_or_configuration(suite, TabularEvaluator, tables):
    e = TabularEvaluator(metrics=["mmd"])
    assert e.evaluate(*tables).names() == [("mmd_rbf", "aggregate")]
    assert e.evaluate(*tables, metrics=[]).names() == [("mmd_rbf", "aggregate")]
    assert e.evaluate(*tables, metrics=["pearson_correl_diff"]).names() == [
        ("pearson_correl_diff", "aggregate")]


# Guarded blocks: (metric name, fake call made to fail, whether a warning is logged).
GUARDED = [
    ("wasserstein", "UnivariateSimilarityMetrics.wasserstein_distance_metric", None),
    ("total_variation", "UnivariateSimilarityMetrics()", None),
    ("hellinger", "UnivariateSimilarityMetrics.hellinger_distance", None),
    ("jensen_shannon", "UnivariateSimilarityMetrics.jensen_shannon_divergence", None),
    ("pearson_correl_diff", "CorrelationSimilarityMetrics.pearson_correlation_difference", None),
    ("spearman_correl_diff", "CorrelationSimilarityMetrics()", None),
    ("correlation_matrix_distance", "MultivariateSimilarityMetrics.correlation_matrix_distance",
     None),
    ("mmd", "MultivariateSimilarityMetrics.mmd_rbf", None),
    ("prediction_agreement", "PredictionAgreementMetrics.prediction_agreement_percentage", None),
    ("tstr_normalized", "TSTRNormalizedMetric.compute", None),
    ("membership_inference_auc", "MembershipInferenceMetric.compute", None),
    ("distance_to_closest_record", "DTCRMetric()", None),
    ("alpha_precision", "AlphaPrecisionMetric.compute", "alpha_precision failed: %s"),
    ("beta_recall", "BetaRecallMetric()", "beta_recall failed: %s"),
    ("likelihood_leak", "LikelihoodLeakMetric.compute", "likelihood_leak failed: %s"),
]


@pytest.mark.parametrize("metric, failing, message", GUARDED)
def test_guarded_block_failure(suite, TabularEvaluator, tables, caplog, metric, failing,
                               message):
    error = RuntimeError(f"{metric} broke")
    suite.outcomes[failing] = error
    with caplog.at_level(logging.DEBUG):
        report = TabularEvaluator().evaluate(*tables, metrics=[metric, "mmd", "ks_complement"])
    # The failing block added nothing and the run went on.
    assert [n for n, _ in report.names()] == ["mmd_rbf"] * (metric != "mmd") + [
        "ks_complement_age", "ks_complement_income", "ks_complement_city"]
    if message is None:
        assert caplog.records == []
    else:
        record, = caplog.records
        assert (record.name, record.levelno, record.msg) == (
            "tabular.evaluator", logging.WARNING, message)
        assert record.args == (error,) and record.args[0] is error
        assert record.getMessage() == message % error


@pytest.mark.parametrize("metric, failing", [(m, f) for m, f, _ in GUARDED])
def test_guards_let_interrupts_through(suite, TabularEvaluator, tables, metric, failing):
    suite.outcomes[failing] = KeyboardInterrupt
    with pytest.raises(KeyboardInterrupt):
        TabularEvaluator().evaluate(*tables, metrics=[metric])


def test_missing_outside_module_is_dropped_silently(suite, TabularEvaluator, tables,
                                                     monkeypatch, caplog):
    monkeypatch.setitem(sys.modules, "quorvix.evaluation.metrics.similarity", None)
    report = TabularEvaluator().evaluate(*tables, metrics=["wasserstein", "mmd", "ks_complement"])
    assert [n for n, _ in report.names()] == [
        "ks_complement_age", "ks_complement_income", "ks_complement_city"]
    assert caplog.records == []


def test_results_added_before_a_failure_stay(suite, TabularEvaluator, tables, monkeypatch):
    calls = []

    def flaky_add(self, result, **kwargs):
        calls.append(result.name)
        if result.name == "hellinger_b":
            raise ValueError("full")
        self.added.append((result, kwargs))

    monkeypatch.setattr(suite.Report, "add_metric", flaky_add)
    report = TabularEvaluator().evaluate(*tables, metrics=["hellinger", "mmd"])
    assert calls == ["hellinger_a", "hellinger_b", "mmd_rbf"]
    assert [r.name for r, _ in report.added] == ["hellinger_a", "mmd_rbf"]


@pytest.mark.parametrize("failing", ["KSComplementMetric()", "KSComplementMetric.compute"])
def test_ks_complement_failure_ends_the_run(suite, TabularEvaluator, tables, failing):
    suite.outcomes[failing] = ValueError("no columns to compare")
    with pytest.raises(ValueError, match="no columns to compare"):
        TabularEvaluator().evaluate(*tables, metrics=["mmd", "ks_complement", "hellinger"])
    assert "UnivariateSimilarityMetrics()" not in suite.keys()


def test_ks_complement_import_failure_ends_the_run(suite, TabularEvaluator, tables,
                                                    monkeypatch):
    monkeypatch.delattr(sys.modules[
        "quorvix.tabular.evaluator.metrics.statistical.ks_complement"], "KSComplementMetric")
    with pytest.raises(ImportError, match=r"cannot import name 'KSComplementMetric' from "
                                          r"'quorvix\.tabular\.evaluator\.metrics\.statistical"
                                          r"\.ks_complement'"):
        TabularEvaluator().evaluate(*tables, metrics=["ks_complement"])


def test_unguarded_report_steps(suite, TabularEvaluator, tables, monkeypatch):
    monkeypatch.setitem(sys.modules, "quorvix.tabular.evaluator.report", None)
    with pytest.raises(ImportError):
        TabularEvaluator().evaluate(*tables)
    assert suite.log == []


def test_alpha_beta_gate(suite, TabularEvaluator, tables, caplog):
    e = TabularEvaluator(compute_alpha_beta=False)
    report = e.evaluate(*tables, metrics=["alpha_precision", "beta_recall", "likelihood_leak",
                                          "tstr_normalized"])
    assert [n for n, _ in report.names()] == ["likelihood_leak", "tstr_normalized"]
    assert caplog.records == []


def test_privacy_gate_and_order(suite, TabularEvaluator, tables):
    e = TabularEvaluator(compute_privacy=False)
    assert e.evaluate(*tables, metrics=["membership_inference_auc"]).added == []
    assert suite.log == []

    # The privacy names run in the order of PRIVACY_METRICS, not of the run list.
    report = TabularEvaluator().evaluate(
        *tables, metrics=["distance_to_closest_record", "nnd_ratio",
                          "membership_inference_auc", "nn_adversarial_accuracy"])
    assert report.names() == [("membership_inference_auc", "privacy"),
                              ("distance_to_closest_record", "privacy")]


def test_privacy_step_calls_the_method_on_the_instance(suite, TabularEvaluator, tables):
    seen = []

    class Custom(TabularEvaluator):
        PRIVACY_METRICS = ["distance_to_closest_record", "nnd_ratio", "membership_inference_auc"]

        def _run_privacy_metric(self, name, real, synthetic):
            seen.append((name, real, synthetic))
            if name == "distance_to_closest_record":
                raise LookupError("dropped silently")
            return suite.MetricResult(name=name, value=1.0, category="privacy")

    real, synth = tables
    report = Custom().evaluate(real, synth, metrics=Custom.DEFAULT_METRICS + ["nnd_ratio"])
    assert [n for n, *_ in seen] == ["distance_to_closest_record", "membership_inference_auc"]
    assert all(r is real and s is synth for _, r, s in seen)
    assert ("membership_inference_auc", "privacy") in report.names()
    assert ("distance_to_closest_record", "privacy") not in report.names()


class Generator:
    def __init__(self, table):
        self.table = table
        self.calls = []

    def generate(self, **kwargs):
        self.calls.append(kwargs)
        return self.table


@pytest.mark.parametrize("n_samples, expected", [(None, 6), (5, 5), (0, 0), (5.9, 5),
                                                 (np.int64(3), 3)])
def test_generator_call(suite, TabularEvaluator, tables, n_samples, expected):
    real, synth = tables
    gen = Generator(synth)
    report = TabularEvaluator(random_seed=3).evaluate(real, generator=gen, n_samples=n_samples,
                                                      metrics=["ks_complement"])
    assert gen.calls == [{"n_samples": expected, "seed": 3}]
    assert type(gen.calls[0]["n_samples"]) is int
    assert report.init_kwargs["generator_name"] == "Generator"
    assert report.init_kwargs["synthetic_data_n_rows"] == 4
    (args, _), = suite.calls("KSComplementMetric.compute")
    assert args[1] is synth


def test_given_table_wins_over_generator(suite, TabularEvaluator, tables):
    real, synth = tables
    gen = Generator(None)
    report = TabularEvaluator().evaluate(real, synth, gen, 99, metrics=["mmd"])
    assert gen.calls == []
    assert report.init_kwargs["generator_name"] == "Generator"


def test_neither_table_nor_generator(suite, TabularEvaluator, tables):
    with pytest.raises(ValueError) as info:
        TabularEvaluator().evaluate(tables[0])
    assert str(info.value) == "Either synthetic_data or generator must be provided."
    assert suite.log == []


@pytest.mark.parametrize("kwargs, message", [
    ({"n_samples": "5"}, "Argument 'n_samples' has incorrect type (expected int, got str)"),
    ({"metrics": ("mmd",)}, "Argument 'metrics' has incorrect type (expected list, got tuple)"),
])
def test_evaluate_typed_arguments(suite, TabularEvaluator, tables, kwargs, message):
    with pytest.raises(TypeError) as info:
        TabularEvaluator().evaluate(*tables, **kwargs)
    assert str(info.value) == message


def test_evaluate_arity(TabularEvaluator, tables):
    e = TabularEvaluator()
    with pytest.raises(TypeError, match=r"^evaluate\(\) takes at least 2 positional arguments "
                                        r"\(1 given\)$"):
        e.evaluate()
    with pytest.raises(TypeError, match=r"^evaluate\(\) takes at most 6 positional arguments "
                                        r"\(7 given\)$"):
        e.evaluate(*tables, None, None, None, None)


@pytest.mark.parametrize("real, expected_target", [
    # The first column with two distinct non-missing values, even if a later one suits better.
    (pd.DataFrame({"const": [1, 1, 1], "flag": [np.nan, 0, 1], "y": [0, 1, 2]}), "flag"),
    (pd.DataFrame({"a": ["x", "y", "x"], "b": [0, 1, 0]}), "a"),
    (pd.DataFrame({"const": [1, 1, 1], "empty": [np.nan] * 3}), None),
    # A first qualifying column with a falsy label: no target, no result.
    (pd.DataFrame({0: [1, 2, 3], 1: [3, 4, 5]}), None),
    (pd.DataFrame({"": [1, 2, 3], "b": [3, 4, 5]}), None),
])
def test_prediction_agreement_target(suite, TabularEvaluator, real, expected_target):
    report = TabularEvaluator().evaluate(real, real.copy(), metrics=["prediction_agreement"])
    constructed = suite.calls("PredictionAgreementMetrics()")
    if expected_target is None:
        assert constructed == [] and report.added == []
    else:
        (args, _), = constructed
        assert args[2] == expected_target
        assert report.names() == [("prediction_agreement", "aggregate")]


def test_elapsed_time_and_bootstrap_step(suite, TabularEvaluator, tables, evaluator_module,
                                         monkeypatch):
    clock = iter([100.0, 102.5])
    monkeypatch.setattr(evaluator_module, "time",
                        type("Clock", (), {"time": staticmethod(lambda: next(clock))}))
    seen = []

    class WithCI(TabularEvaluator):
        def _attach_bootstrap_cis(self, report, real_data, synthetic_data):
            seen.append((report.evaluation_time_seconds, real_data, synthetic_data))
            report.bootstrapped = True

    real, synth = tables
    report = WithCI(compute_bootstrap_ci=True).evaluate(real, synth, metrics=["mmd"])
    assert report.evaluation_time_seconds == 2.5
    assert seen == [(2.5, real, synth)] and report.bootstrapped
    # Without the flag the step does not run.
    clock = iter([0.0, 1.0])
    assert not hasattr(WithCI().evaluate(real, synth, metrics=["mmd"]), "bootstrapped")


def test_bootstrap_failure_outside_its_guard_ends_the_run(suite, TabularEvaluator, tables):
    class Broken(TabularEvaluator):
        def _attach_bootstrap_cis(self, report, real_data, synthetic_data):
            raise ImportError("No module named 'scipy'")

    with pytest.raises(ImportError, match="scipy"):
        Broken(compute_bootstrap_ci=True).evaluate(*tables, metrics=["mmd"])


def test_evaluator_keeps_no_state(suite, TabularEvaluator, tables):
    e = TabularEvaluator(metrics=["mmd", "ks_complement"])
    before = dict(vars(e))
    first = e.evaluate(*tables)
    second = e.evaluate(*tables)
    assert first is not second and first.names() == second.names()
    assert vars(e) == before and e._metric_cache == {}


def test_no_reference_leaks(suite, TabularEvaluator, tables):
    from support.leaks import assert_refcounts_unchanged

    real, synth = tables
    e = TabularEvaluator(compute_bootstrap_ci=True, random_seed=5)
    # A class, so that each failure is a new exception (a re-raised instance keeps
    # every earlier traceback, and with it the tables).
    suite.outcomes["UnivariateSimilarityMetrics.hellinger_distance"] = ValueError
    suite.outcomes["BetaRecallMetric.compute"] = ValueError

    def run():
        report = e.evaluate(real, synth, foo=1)
        suite.log.clear()
        assert len(report.added) == len(EXPECTED_DEFAULT_RUN) - 3
        with pytest.raises(ValueError):
            e.evaluate(real)

    logging.disable(logging.WARNING)
    try:
        assert_refcounts_unchanged(run, real, synth, e, e.metrics, e.random_seed)
    finally:
        logging.disable(logging.NOTSET)
