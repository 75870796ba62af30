"""A small program using the public API; type-checked with mypy by the suite."""

import pandas as pd

from quorvix.core_generator.privex import PrivexProcessor, apply_privex
from quorvix.tabular.evaluator import TabularEvaluator
from quorvix.tabular.rulix import ConstraintViolationReport, Rulix


def check(df: pd.DataFrame) -> float:
    engine: Rulix = Rulix().add_rule("age > 0").add_rule("if age < 18 then income == 0")
    report: ConstraintViolationReport = engine.validate(df)
    summary: str = report.summary()
    fixed: pd.DataFrame = report.fix(df, strategy="clip")
    assert summary and len(fixed) >= 0
    return report.violation_rate + report.total_violations


def perturb(df: pd.DataFrame) -> pd.DataFrame:
    processor = PrivexProcessor(epsilon=2.0, random_state=1)
    info = processor.get_privacy_info()
    assert info
    out: pd.DataFrame = processor.apply_dp(df, method="laplace", preserve_columns=["id"])
    return apply_privex(out, epsilon=1.0, method="gaussian", random_state=3)


def evaluate(real: pd.DataFrame, synthetic: pd.DataFrame) -> str:
    evaluator = TabularEvaluator(metrics=["ks_complement"], random_seed=0, compute_privacy=False)
    report = evaluator.evaluate(real, synthetic)
    html: str = evaluator.to_html(report, None, real, synthetic)
    return html
