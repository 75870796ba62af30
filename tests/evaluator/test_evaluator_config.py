"""The evaluator module as a whole: its body, the class, the constructor."""

import inspect
import json
import subprocess
import sys
import textwrap

import pytest

DEFAULT_METRICS = [
    "ks_complement", "wasserstein", "total_variation", "hellinger", "jensen_shannon",
    "pearson_correl_diff", "spearman_correl_diff", "correlation_matrix_distance", "mmd",
    "tstr_normalized", "prediction_agreement", "alpha_precision", "beta_recall",
    "likelihood_leak", "membership_inference_auc", "distance_to_closest_record",
]
PRIVACY_METRICS = ["membership_inference_auc", "nn_adversarial_accuracy",
                   "distance_to_closest_record", "nnd_ratio"]


def test_module_body(evaluator_module):
    import time
    import typing

    import numpy as np
    import pandas as pd

    m = evaluator_module
    assert m.__doc__ == (
        "quorvix.tabular.evaluator.evaluator\n" + "~" * 36 + "\n\n"
        "TabularEvaluator: main evaluation entry point.\n"
        "Runs all metrics and produces an EvaluationReport.\n")
    own = [k for k in vars(m) if k not in {"__name__", "__doc__", "__package__", "__loader__",
                                           "__spec__", "__file__", "__builtins__"}]
    assert own == ["time", "Any", "Dict", "List", "Optional", "Union", "np", "pd", "__all__",
                   "TabularEvaluator"]
    assert m.time is time and m.np is np and m.pd is pd
    assert (m.Any, m.Dict, m.List, m.Optional, m.Union) == (
        typing.Any, typing.Dict, typing.List, typing.Optional, typing.Union)
    assert m.__all__ == ["TabularEvaluator"]
    assert not hasattr(m, "logging")


def test_package_reexports_the_class(TabularEvaluator):
    from quorvix.tabular.evaluator import TabularEvaluator as reexported

    assert reexported is TabularEvaluator


def test_import_loads_no_outside_module():
    code = textwrap.dedent("""
        import json, sys
        import quorvix.tabular.evaluator.evaluator as m
        from quorvix.tabular.evaluator import TabularEvaluator
        TabularEvaluator()
        loaded = [n for n in sys.modules
                  if n.startswith(("quorvix.tabular.evaluator.report",
                                   "quorvix.tabular.evaluator.metrics",
                                   "quorvix.evaluation", "quorvix.utils",
                                   "matplotlib"))]
        print(json.dumps(loaded))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    assert json.loads(out.stdout) == []


def test_class_identity_and_lists(TabularEvaluator):
    E = TabularEvaluator
    assert E.__bases__ == (object,)
    assert E.__module__ == "quorvix.tabular.evaluator.evaluator"
    assert E.__qualname__ == E.__name__ == "TabularEvaluator"
    assert E.DEFAULT_METRICS == DEFAULT_METRICS and type(E.DEFAULT_METRICS) is list
    assert E.PRIVACY_METRICS == PRIVACY_METRICS and type(E.PRIVACY_METRICS) is list
    methods = [k for k in vars(E) if not k.startswith("__") or k == "__init__"]
    assert methods == ["DEFAULT_METRICS", "PRIVACY_METRICS", "__init__", "evaluate",
                       "_run_privacy_metric", "_attach_bootstrap_cis", "compare", "to_html",
                       "_generate_plot_html"]
    assert isinstance(vars(E)["_generate_plot_html"], staticmethod)


def test_class_docstring(TabularEvaluator):
    doc = TabularEvaluator.__doc__
    for text in ("Specific metric names to compute. If None, runs the full default suite.",
                 "Number of parallel workers for column-level metrics.",
                 "RNG seed for stochastic metrics.",
                 "Whether to run privacy metrics (MIA, NNAA, etc.).",
                 "Whether to compute α-Precision / β-Recall",
                 "from quorvix.tabular.evaluator import TabularEvaluator",
                 "evaluator.evaluate(real_df, synthetic_df)", "report.summary()",
                 '["ks_complement", "alpha_precision"]', "report.to_json()"):
        assert text in doc


ANNOTATIONS = {
    "__init__": {"metrics": "Optional[List[str]]", "n_jobs": "int",
                 "random_seed": "Optional[int]", "compute_privacy": "bool",
                 "compute_alpha_beta": "bool", "compute_compliance": "bool",
                 "compute_bootstrap_ci": "bool", "n_bootstrap": "int"},
    "evaluate": {"real_data": "pd.DataFrame", "synthetic_data": "Optional[pd.DataFrame]",
                 "n_samples": "Optional[int]", "metrics": "Optional[List[str]]",
                 "return": "'EvaluationReport'"},
    "_run_privacy_metric": {"name": "str", "real": "pd.DataFrame",
                            "synthetic": "pd.DataFrame"},
    "_attach_bootstrap_cis": {"report": "'EvaluationReport'", "real_data": "pd.DataFrame",
                              "synthetic_data": "pd.DataFrame", "return": "None"},
    "compare": {"reports": "list", "return": "'ComparisonResult'"},
    "to_html": {"report": "'EvaluationReport'", "output_path": "str",
                "real_df": "pd.DataFrame", "synthetic_df": "pd.DataFrame", "return": "str"},
    "_generate_plot_html": {"real_df": "pd.DataFrame", "synthetic_df": "pd.DataFrame",
                            "return": "tuple"},
}

SIGNATURES = {
    "__init__": "(self, metrics: 'Optional[List[str]]' = None, n_jobs: 'int' = 1, "
                "random_seed: 'Optional[int]' = None, compute_privacy: 'bool' = True, "
                "compute_alpha_beta: 'bool' = True, compute_compliance: 'bool' = True, "
                "compute_bootstrap_ci: 'bool' = False, n_bootstrap: 'int' = 500)",
    "evaluate": "(self, real_data: 'pd.DataFrame', synthetic_data: 'Optional[pd.DataFrame]'"
                " = None, generator=None, n_samples: 'Optional[int]' = None, "
                "metrics: 'Optional[List[str]]' = None, **kwargs) -> \"'EvaluationReport'\"",
    "_run_privacy_metric": "(self, name: 'str', real: 'pd.DataFrame', "
                           "synthetic: 'pd.DataFrame')",
    "_attach_bootstrap_cis": "(self, report: \"'EvaluationReport'\", real_data: "
                             "'pd.DataFrame', synthetic_data: 'pd.DataFrame') -> 'None'",
    "compare": "(self, reports: 'list') -> \"'ComparisonResult'\"",
    "to_html": "(self, report: \"'EvaluationReport'\" = None, output_path: 'str' = None, "
               "real_df: 'pd.DataFrame' = None, synthetic_df: 'pd.DataFrame' = None) -> 'str'",
    "_generate_plot_html": "(real_df: 'pd.DataFrame', synthetic_df: 'pd.DataFrame') "
                           "-> 'tuple'",
}

DOCS = {
    "evaluate": "Run evaluation suite on real vs synthetic data.",
    "_run_privacy_metric": "Run a single privacy metric by name.",
    "compare": "Compare multiple EvaluationReport objects from the same evaluator.",
}


@pytest.mark.parametrize("name", list(ANNOTATIONS))
def test_method_annotations_signatures_and_docs(TabularEvaluator, name):
    fn = getattr(TabularEvaluator, name)
    assert fn.__annotations__ == ANNOTATIONS[name]
    assert str(inspect.signature(fn)) == SIGNATURES[name]
    assert fn.__qualname__ == f"TabularEvaluator.{name}"
    assert fn.__module__ == "quorvix.tabular.evaluator.evaluator"
    if name in DOCS:
        assert fn.__doc__ == DOCS[name]
    elif name != "__init__":
        assert fn.__doc__ and fn.__doc__.strip()
    # Native code, not a Python function.
    assert not inspect.isfunction(fn)


def test_defaults(TabularEvaluator):
    e = TabularEvaluator()
    assert vars(e) == {
        "metrics": DEFAULT_METRICS, "n_jobs": 1, "random_seed": None, "compute_privacy": True,
        "compute_alpha_beta": True, "compute_compliance": True,
        "compute_bootstrap_ci": False, "n_bootstrap": 500, "_metric_cache": {}}
    assert list(vars(e)) == ["metrics", "n_jobs", "random_seed", "compute_privacy",
                             "compute_alpha_beta", "compute_compliance",
                             "compute_bootstrap_ci", "n_bootstrap", "_metric_cache"]
    assert e.metrics is TabularEvaluator.DEFAULT_METRICS
    other = TabularEvaluator(metrics=[])
    assert other.metrics is e.metrics is TabularEvaluator.DEFAULT_METRICS
    assert other.PRIVACY_METRICS is e.PRIVACY_METRICS
    assert other._metric_cache is not e._metric_cache


def test_positional_arguments_and_caller_list(TabularEvaluator):
    e = TabularEvaluator(None, 4, 7, False, False, False, True, 100)
    assert (e.n_jobs, e.random_seed, e.compute_privacy, e.compute_alpha_beta,
            e.compute_compliance, e.compute_bootstrap_ci, e.n_bootstrap) == (
        4, 7, False, False, False, True, 100)
    mine = ["ks_complement"]
    assert TabularEvaluator(mine).metrics is mine


def test_subclass_default_list_is_its_own(TabularEvaluator):
    class Narrow(TabularEvaluator):
        DEFAULT_METRICS = ["ks_complement"]

    assert Narrow().metrics is Narrow.DEFAULT_METRICS


@pytest.mark.parametrize("kwargs, attr, expected", [
    ({"n_jobs": 2.9}, "n_jobs", 2),
    ({"n_jobs": True}, "n_jobs", 1),
    ({"random_seed": 7.5}, "random_seed", 7),
    ({"random_seed": None}, "random_seed", None),
    ({"n_bootstrap": 12.0}, "n_bootstrap", 12),
    ({"compute_privacy": 0}, "compute_privacy", False),
    ({"compute_privacy": "no"}, "compute_privacy", True),
    ({"compute_alpha_beta": []}, "compute_alpha_beta", False),
    ({"compute_compliance": None}, "compute_compliance", False),
    ({"compute_bootstrap_ci": 3}, "compute_bootstrap_ci", True),
])
def test_conversions(TabularEvaluator, kwargs, attr, expected):
    value = getattr(TabularEvaluator(**kwargs), attr)
    assert value == expected and type(value) is type(expected)


@pytest.mark.parametrize("kwargs, message", [
    ({"metrics": ("ks_complement",)},
     "Argument 'metrics' has incorrect type (expected list, got tuple)"),
    ({"metrics": "ks_complement"},
     "Argument 'metrics' has incorrect type (expected list, got str)"),
    ({"n_jobs": "2"}, "Argument 'n_jobs' has incorrect type (expected int, got str)"),
    ({"random_seed": "7"}, "Argument 'random_seed' has incorrect type (expected int, got str)"),
    ({"n_bootstrap": None}, "Argument 'n_bootstrap' has incorrect type (expected int, got NoneType)"),
    # Several bad arguments: conversions first (n_jobs, random_seed, ..., n_bootstrap),
    # the list check of metrics last.
    ({"metrics": (), "n_bootstrap": "x"},
     "Argument 'n_bootstrap' has incorrect type (expected int, got str)"),
    ({"metrics": (), "random_seed": "x", "n_jobs": "y"},
     "Argument 'n_jobs' has incorrect type (expected int, got str)"),
])
def test_typed_argument_errors(TabularEvaluator, kwargs, message):
    with pytest.raises(TypeError) as info:
        TabularEvaluator(**kwargs)
    assert str(info.value) == message


def test_list_subclass_is_refused_with_a_note(TabularEvaluator):
    class Names(list):
        pass

    with pytest.raises(TypeError, match=r"expected list, got Names") as info:
        TabularEvaluator(metrics=Names(["ks_complement"]))
    assert any("Subclasses of built-in types are not accepted" in n
               for n in info.value.__notes__)


def test_arity_and_unknown_keyword(TabularEvaluator):
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 9 positional arguments "
                                        r"\(10 given\)$"):
        TabularEvaluator(None, 1, None, True, True, True, False, 500, "extra")
    with pytest.raises(TypeError, match=r"^__init__\(\) got an unexpected keyword argument "
                                        r"'foo'$"):
        TabularEvaluator(foo=1)


def test_failed_check_stores_nothing(TabularEvaluator):
    e = TabularEvaluator.__new__(TabularEvaluator)
    with pytest.raises(TypeError):
        e.__init__(n_jobs=1, n_bootstrap="many")
    assert vars(e) == {}
