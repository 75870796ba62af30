"""Rulix: rule-based constraint validation and fixing (native module)."""

import re as re
from dataclasses import dataclass as dataclass, field as field
from typing import Any as Any, Dict as Dict, List as List, Literal, Optional as Optional

import numpy as np
import pandas as pd

__all__ = ["Rulix", "ConstraintViolationReport"]

class ConstraintViolationReport:
    """Report of constraint violations in a DataFrame."""

    violations: Dict[str, int]
    total_violations: int
    violation_rate: float
    violating_rows: pd.Index
    def __init__(
        self,
        violations: Dict[str, int] = ...,
        total_violations: int = 0,
        violation_rate: float = 0.0,
        violating_rows: pd.Index = ...,
    ) -> None: ...
    def summary(self) -> str: ...
    def fix(
        self, df: pd.DataFrame, strategy: Literal["drop", "resample", "clip"] | str = "resample"
    ) -> pd.DataFrame: ...

class Rulix:
    """Parse and validate rule-based constraints on DataFrames."""

    _rules: List[str]
    _parsed_rules: List[Dict[str, Any]]
    def __init__(self) -> None: ...
    def add_rule(self, rule: str) -> Rulix: ...
    def _parse_rule(self, rule: str) -> Dict[str, Any]: ...
    def validate(self, df: pd.DataFrame) -> ConstraintViolationReport: ...
