"""Import-time effects, module-level names, docstrings and annotations, and the
demonstration (as a command and as the module run as the main program)."""

import importlib.util
import inspect
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import privex_reference as ref

MODULE = "quorvix.core_generator.privex"


def run_python(code: str) -> subprocess.CompletedProcess:
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        check=False,
        timeout=300,
    )


def test_import_effects_happen_in_order_after_the_imports():
    proc = run_python(
        """
        import logging, sys, warnings
        events = []
        real_filter, real_basic, real_get = warnings.filterwarnings, logging.basicConfig, logging.getLogger

        def filterwarnings(*a, **k):
            if a != ("ignore",) or k:  # libraries add filters of their own while importing
                return real_filter(*a, **k)
            loaded = all(m in sys.modules for m in ("pandas", "numpy", "sklearn.preprocessing", "scipy.stats"))
            events.append(("filterwarnings", a, k, loaded))
            return real_filter(*a, **k)

        def basicConfig(**k):
            events.append(("basicConfig", k))
            return real_basic(**k)

        def getLogger(name=None):
            if name == "quorvix.core_generator.privex":
                events.append(("getLogger", name))
            return real_get(name)

        warnings.filterwarnings, logging.basicConfig, logging.getLogger = filterwarnings, basicConfig, getLogger
        import quorvix.core_generator.privex as m
        for e in events:
            print(e)
        root = logging.getLogger()
        print(root.level == logging.INFO, len(root.handlers))
        print(m.logger is real_get("quorvix.core_generator.privex"))
        print(warnings.filters[0])
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.splitlines() == [
        "('filterwarnings', ('ignore',), {}, True)",
        "('basicConfig', {'level': 20})",
        "('getLogger', 'quorvix.core_generator.privex')",
        "True 1",
        "True",
        "('ignore', None, <class 'Warning'>, None, 0)",
    ]


def test_warnings_are_silenced_process_wide_after_import():
    proc = run_python(
        """
        import warnings
        import quorvix.core_generator.privex
        warnings.warn("should not be shown", UserWarning)
        warnings.warn("nor this", DeprecationWarning)
        print("done")
        """
    )
    assert proc.returncode == 0
    assert proc.stdout == "done\n"
    assert proc.stderr == ""


def test_module_level_names(privex):
    import logging
    import typing
    import warnings

    import scipy.stats
    import sklearn.preprocessing

    expected = {
        "pd": pd,
        "np": np,
        "Dict": typing.Dict,
        "List": typing.List,
        "Optional": typing.Optional,
        "Union": typing.Union,
        "Tuple": typing.Tuple,
        "warnings": warnings,
        "StandardScaler": sklearn.preprocessing.StandardScaler,
        "MinMaxScaler": sklearn.preprocessing.MinMaxScaler,
        "laplace": scipy.stats.laplace,
        "gaussian_kde": scipy.stats.gaussian_kde,
        "logging": logging,
        "logger": logging.getLogger(MODULE),
    }
    for name, obj in expected.items():
        assert getattr(privex, name) is obj, name
    assert isinstance(privex.PrivexProcessor, type)
    assert privex.PrivexProcessor.__bases__ == (object,)
    assert privex.PrivexProcessor.__module__ == MODULE
    assert privex.apply_privex.__module__ == MODULE
    assert privex.logger.name == MODULE


INIT_DOC_LINES = [
    "Initialize the differential privacy processor.",
    "epsilon: Privacy budget (lower = more private, default: 1.0)",
    "delta: Privacy parameter (default: 1e-5)",
    "noise_scale: Scale factor for noise addition (default: 0.1)",
    "categorical_noise_prob: Probability of flipping categorical values (default: 0.05)",
    "numerical_noise_std: Standard deviation for numerical noise (default: 0.01)",
    "random_state: Random seed for reproducibility",
]
APPLY_DOC_LINES = [
    "df: Input DataFrame (should be preprocessed)",
    'method: DP method ("minimal", "laplace", "gaussian")',
    "preserve_columns: Columns to preserve without modification",
    "Returns:",
    "DataFrame with differential privacy applied",
]


def test_class_docstring(privex):
    assert privex.PrivexProcessor.__doc__ == (
        "\n    Minimal differential privacy processor for preprocessed DataFrames.\n\n"
        "    Applies differential privacy with minimal noise addition while preserving\n"
        "    data utility for synthetic data generation.\n    "
    )


@pytest.mark.parametrize(
    "name, lines",
    [
        ("__init__", INIT_DOC_LINES),
        ("apply_dp", ["Apply differential privacy to the DataFrame.", *APPLY_DOC_LINES]),
    ],
)
def test_method_docstrings_hold_their_lines(privex, name, lines):
    doc = inspect.cleandoc(getattr(privex.PrivexProcessor, name).__doc__)
    doc_lines = [line.strip() for line in doc.splitlines()]
    for line in lines:
        assert line in doc_lines


def test_apply_privex_docstring(privex):
    doc_lines = [line.strip() for line in inspect.cleandoc(privex.apply_privex.__doc__).splitlines()]
    assert doc_lines[0] == "Quick function to apply differential privacy to a DataFrame."
    for line in ["epsilon: Privacy budget (default: 1.0)", "random_state: Random seed for reproducibility", *APPLY_DOC_LINES]:
        assert line in doc_lines


@pytest.mark.parametrize(
    "name, doc",
    [
        ("_detect_column_types", "Detect numerical and categorical columns."),
        ("get_privacy_info", "Get information about the applied privacy parameters."),
        ("_add_laplace_noise", "Add Laplace noise for differential privacy."),
        ("_add_gaussian_noise", "Add Gaussian noise for differential privacy."),
        ("_apply_minimal_noise", "Apply minimal noise addition for very conservative privacy."),
    ],
)
def test_one_line_docstrings(privex, name, doc):
    assert getattr(privex.PrivexProcessor, name).__doc__ == doc


@pytest.mark.parametrize(
    "name, annotations",
    [
        (
            "__init__",
            {
                "epsilon": "float",
                "delta": "float",
                "noise_scale": "float",
                "categorical_noise_prob": "float",
                "numerical_noise_std": "float",
                "random_state": "Optional[int]",
            },
        ),
        ("_detect_column_types", {"df": "pd.DataFrame", "return": "Tuple[List[str], List[str]]"}),
        ("get_privacy_info", {"return": "Dict"}),
        ("_add_laplace_noise", {"data": "np.ndarray", "sensitivity": "float", "return": "np.ndarray"}),
        ("_add_gaussian_noise", {"data": "np.ndarray", "sensitivity": "float", "return": "np.ndarray"}),
        ("_apply_numerical_dp", {"df": "pd.DataFrame", "numerical_cols": "List[str]", "return": "pd.DataFrame"}),
        ("_apply_categorical_dp", {"df": "pd.DataFrame", "categorical_cols": "List[str]", "return": "pd.DataFrame"}),
        ("_apply_minimal_noise", {"df": "pd.DataFrame", "return": "pd.DataFrame"}),
        (
            "apply_dp",
            {"df": "pd.DataFrame", "method": "str", "preserve_columns": "Optional[List[str]]", "return": "pd.DataFrame"},
        ),
    ],
)
def test_method_annotations(privex, name, annotations):
    assert getattr(privex.PrivexProcessor, name).__annotations__ == annotations


def test_signatures_and_defaults(privex):
    assert str(inspect.signature(privex.PrivexProcessor.__init__)) == (
        "(self, epsilon: 'float' = 1.0, delta: 'float' = 1e-05, noise_scale: 'float' = 0.1, "
        "categorical_noise_prob: 'float' = 0.05, numerical_noise_std: 'float' = 0.01, "
        "random_state: 'Optional[int]' = None)"
    )
    assert str(inspect.signature(privex.PrivexProcessor.apply_dp)) == (
        "(self, df: 'pd.DataFrame', method: 'str' = 'minimal', "
        "preserve_columns: 'Optional[List[str]]' = None) -> 'pd.DataFrame'"
    )
    assert privex.apply_privex.__annotations__ == {
        "df": "pd.DataFrame",
        "epsilon": "float",
        "method": "str",
        "preserve_columns": "Optional[List[str]]",
        "random_state": "Optional[int]",
        "return": "pd.DataFrame",
    }
    assert privex.apply_privex.__defaults__ == (1.0, "minimal", None, None)


# ---------------------------------------------------------------------------
# Demonstration


def expected_demo_output(privex) -> str:
    """What the demonstration prints, rebuilt from its documented steps."""
    np.random.seed(42)
    n = 1000
    df_sample = pd.DataFrame(
        {
            "feature_1": np.random.normal(0, 1, n),
            "feature_2": np.random.normal(0, 1, n),
            "feature_3": np.random.choice([0, 1], n),
            "category_1": np.random.choice(["A", "B", "C"], n),
            "category_2": np.random.choice(["X", "Y"], n),
            "target": np.random.choice([0, 1], n),
        }
    )
    df_dp = ref.minimal_pass(df_sample)
    df_dp["target"] = df_sample["target"]
    return (
        f"Original DataFrame:\n{df_sample.head()}\nShape: (1000, 6)\n"
        f"\nAfter applying differential privacy:\n{df_dp.head()}\nShape: (1000, 6)\n"
        "\nPrivacy Information:\n"
        "  epsilon: 1.0\n  delta: 1e-05\n  noise_scale: 0.1\n"
        "  categorical_noise_prob: 0.05\n  numerical_noise_std: 0.01\n"
    )


DEMO_LOG = [
    "INFO:quorvix.core_generator.privex:Initialized DP processor with epsilon=1.0, delta=1e-05",
    "INFO:quorvix.core_generator.privex:Applying minimal differential privacy to DataFrame of shape (1000, 6)",
    "INFO:quorvix.core_generator.privex:Applied DP with method 'minimal'. Output shape: (1000, 6)",
] * 2


def test_demo_command_prints_the_demonstration(privex):
    proc = subprocess.run(
        [sys.executable, "-m", "quorvix.core_generator.privex_demo"],
        capture_output=True,
        text=True,
        check=False,
        timeout=300,
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout == expected_demo_output(privex)
    assert proc.stderr.splitlines() == DEMO_LOG


def test_module_run_as_main_program_runs_the_demonstration(privex):
    origin = importlib.util.find_spec(MODULE).origin
    proc = run_python(
        f"""
        import importlib.util, sys
        spec = importlib.util.spec_from_file_location("__main__", {origin!r})
        module = importlib.util.module_from_spec(spec)
        sys.modules["__main__"] = module
        spec.loader.exec_module(module)
        g = vars(module)
        print(sorted(k for k in ("n_samples", "df_sample", "df_dp", "processor", "privacy_info", "key", "value") if k in g))
        print(g["n_samples"], g["df_dp"].shape, g["key"], type(g["processor"]).__name__)
        """
    )
    assert proc.returncode == 0, proc.stderr
    demo, _, tail = proc.stdout.rpartition("['df_dp'")
    assert demo == expected_demo_output(privex)
    assert ("['df_dp'" + tail).splitlines() == [
        "['df_dp', 'df_sample', 'key', 'n_samples', 'privacy_info', 'processor', 'value']",
        "1000 (1000, 6) original_stats PrivexProcessor",
    ]
    # Run as the main program, the module logs under its own name, "__main__".
    assert proc.stderr.splitlines() == [line.replace(MODULE, "__main__") for line in DEMO_LOG]


def test_importing_the_package_does_not_import_privex():
    proc = run_python(
        """
        import sys, warnings
        import quorvix.core_generator
        print("quorvix.core_generator.privex" in sys.modules, len(warnings.filters) > 0 and warnings.filters[0][0])
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split()[0] == "False"
