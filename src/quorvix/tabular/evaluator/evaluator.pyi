"""Type information for the native module quorvix.tabular.evaluator.evaluator."""

import time as time
from typing import Any as Any
from typing import Dict as Dict
from typing import List as List
from typing import Optional as Optional
from typing import Union as Union

import numpy as np
import pandas as pd

from quorvix.tabular.evaluator.report import ComparisonResult, EvaluationReport, MetricResult

__all__: List[str]

class TabularEvaluator:
    DEFAULT_METRICS: List[str]
    PRIVACY_METRICS: List[str]

    metrics: List[str]
    n_jobs: int
    random_seed: Optional[int]
    compute_privacy: bool
    compute_alpha_beta: bool
    compute_compliance: bool
    compute_bootstrap_ci: bool
    n_bootstrap: int
    _metric_cache: Dict[Any, Any]

    def __init__(
        self,
        metrics: Optional[List[str]] = None,
        n_jobs: int = 1,
        random_seed: Optional[int] = None,
        compute_privacy: bool = True,
        compute_alpha_beta: bool = True,
        compute_compliance: bool = True,
        compute_bootstrap_ci: bool = False,
        n_bootstrap: int = 500,
    ) -> None: ...
    def evaluate(
        self,
        real_data: pd.DataFrame,
        synthetic_data: Optional[pd.DataFrame] = None,
        generator: Any = None,
        n_samples: Optional[int] = None,
        metrics: Optional[List[str]] = None,
        **kwargs: Any,
    ) -> EvaluationReport: ...
    def _run_privacy_metric(
        self, name: str, real: pd.DataFrame, synthetic: pd.DataFrame
    ) -> MetricResult: ...
    def _attach_bootstrap_cis(
        self, report: EvaluationReport, real_data: pd.DataFrame, synthetic_data: pd.DataFrame
    ) -> None: ...
    def compare(self, reports: List[EvaluationReport]) -> ComparisonResult: ...
    def to_html(
        self,
        report: Optional[EvaluationReport] = None,
        output_path: Optional[str] = None,
        real_df: Optional[pd.DataFrame] = None,
        synthetic_df: Optional[pd.DataFrame] = None,
    ) -> str: ...
    @staticmethod
    def _generate_plot_html(
        real_df: pd.DataFrame, synthetic_df: pd.DataFrame
    ) -> tuple[str, str]: ...
