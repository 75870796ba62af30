"""Differential privacy noise for preprocessed DataFrames (native module)."""

import logging
import warnings as warnings
from typing import Dict as Dict, List as List, Optional as Optional, Tuple as Tuple, Union as Union

import numpy as np
import pandas as pd
from scipy.stats import gaussian_kde as gaussian_kde, laplace as laplace
from sklearn.preprocessing import MinMaxScaler as MinMaxScaler, StandardScaler as StandardScaler

logger: logging.Logger

class PrivexProcessor:
    """
    Minimal differential privacy processor for preprocessed DataFrames.

    Applies differential privacy with minimal noise addition while preserving
    data utility for synthetic data generation.
    """

    epsilon: float
    delta: float
    noise_scale: float
    categorical_noise_prob: float
    numerical_noise_std: float
    random_state: Optional[int]
    original_stats: Dict
    scalers: Dict

    def __init__(
        self,
        epsilon: float = 1.0,
        delta: float = 1e-5,
        noise_scale: float = 0.1,
        categorical_noise_prob: float = 0.05,
        numerical_noise_std: float = 0.01,
        random_state: Optional[int] = None,
    ) -> None: ...
    def _detect_column_types(self, df: pd.DataFrame) -> Tuple[List[str], List[str]]: ...
    def get_privacy_info(self) -> Dict: ...
    def _add_laplace_noise(self, data: np.ndarray, sensitivity: float) -> np.ndarray: ...
    def _add_gaussian_noise(self, data: np.ndarray, sensitivity: float) -> np.ndarray: ...
    def _apply_numerical_dp(self, df: pd.DataFrame, numerical_cols: List[str]) -> pd.DataFrame: ...
    def _apply_categorical_dp(self, df: pd.DataFrame, categorical_cols: List[str]) -> pd.DataFrame: ...
    def _apply_minimal_noise(self, df: pd.DataFrame) -> pd.DataFrame: ...
    def apply_dp(
        self,
        df: pd.DataFrame,
        method: str = "minimal",
        preserve_columns: Optional[List[str]] = None,
    ) -> pd.DataFrame: ...

def apply_privex(
    df: pd.DataFrame,
    epsilon: float = 1.0,
    method: str = "minimal",
    preserve_columns: Optional[List[str]] = None,
    random_state: Optional[int] = None,
) -> pd.DataFrame: ...
def _demo() -> None: ...
