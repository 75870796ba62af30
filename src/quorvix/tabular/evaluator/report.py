"""Evaluation reports: metric results, the report of one run, and comparisons.

``MetricResult`` holds one number with its name, category and direction.
``EvaluationReport`` collects the results of one evaluation run in two ordered
mappings, ``aggregate_metrics`` and ``privacy_metrics``, and can be printed
(``summary``), serialised (``to_dict`` / ``to_json``) and loaded again
(``from_dict`` / ``from_json``). ``privacy_verdict`` sums the privacy metrics
up as a risk level (see ``PrivacyVerdict``). ``compare`` lines several reports
up metric by metric and ranks them.

JSON output is always strict JSON: NaN and infinite numbers are written as
``null`` (and read back as NaN).
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from datetime import datetime, timezone
from typing import Any, Dict, List, Mapping, Optional, Tuple

__all__ = ["PRIVACY_LEVELS", "ComparisonResult", "EvaluationReport", "MetricResult",
           "PrivacyVerdict", "compare"]

_SCOPES = ("aggregate", "privacy")


def _to_number(value: Any) -> Any:
    """A plain Python number for numpy scalars; other values unchanged."""
    if isinstance(value, bool):
        return value
    item = getattr(value, "item", None)
    if callable(item) and getattr(value, "shape", None) == ():
        try:
            return item()
        except (TypeError, ValueError):
            return value
    return value


def _jsonable(value: Any) -> Any:
    """Turn ``value`` into something ``json.dumps(allow_nan=False)`` accepts."""
    value = _to_number(value)
    if value is None or isinstance(value, (bool, str, int)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, Mapping):
        return {str(k): _jsonable(v) for k, v in value.items()}
    if isinstance(value, (list, tuple, set, frozenset)):
        return [_jsonable(v) for v in value]
    tolist = getattr(value, "tolist", None)
    if callable(tolist):  # numpy arrays, pandas objects
        return _jsonable(tolist())
    if isinstance(value, (int, float)):  # number subclasses
        return _jsonable(float(value))
    return str(value)


def _float_or_nan(value: Any) -> float:
    if value is None:
        return float("nan")
    return float(value)


def _format_value(value: Any) -> str:
    try:
        return f"{float(value):.4f}"
    except (TypeError, ValueError):
        return str(value)


@dataclass
class MetricResult:
    """One metric value.

    ``category`` is a free label such as "statistical", "fidelity", "utility"
    or "privacy". ``higher_is_better`` gives the direction used when reports
    are compared. ``confidence_interval`` is ``None`` or a ``(lower, upper)``
    pair, set by the bootstrap step of an evaluation.
    """

    name: str
    value: Any
    category: str
    higher_is_better: bool = True
    description: str = ""
    details: Dict[str, Any] = field(default_factory=dict)
    confidence_interval: Optional[Tuple[float, float]] = None

    def to_dict(self) -> Dict[str, Any]:
        """Plain-Python form; numpy scalars become Python numbers."""
        ci = self.confidence_interval
        return {
            "name": self.name,
            "value": _to_number(self.value),
            "category": self.category,
            "higher_is_better": bool(self.higher_is_better),
            "description": self.description,
            "details": dict(self.details) if self.details is not None else {},
            "confidence_interval": (None if ci is None
                                    else [_to_number(ci[0]), _to_number(ci[1])]),
        }

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> "MetricResult":
        """Rebuild a result written by ``to_dict`` (or read back from JSON)."""
        ci = data.get("confidence_interval")
        if ci is not None:
            if len(ci) != 2:
                raise ValueError(f"confidence_interval must have two bounds, got {ci!r}")
            ci = (_float_or_nan(ci[0]), _float_or_nan(ci[1]))
        return cls(
            name=str(data["name"]),
            value=_float_or_nan(data.get("value")),
            category=str(data.get("category", "")),
            higher_is_better=bool(data.get("higher_is_better", True)),
            description=str(data.get("description", "")),
            details=dict(data.get("details") or {}),
            confidence_interval=ci,
        )


def _utc_now_iso() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="seconds")


class EvaluationReport:
    """The results of one evaluation of a synthetic table against a real one.

    Build it with keywords: ``real_data_n_rows``, ``synthetic_data_n_rows``,
    ``n_columns`` and ``generator_name`` are required; ``dataset_name``
    (default "dataset") and ``timestamp`` (default: creation time, ISO-8601 in
    UTC) are optional. Metrics are added with ``add_metric`` and kept in
    insertion order; adding a metric under a name already present replaces the
    earlier result and keeps its position.
    """

    def __init__(self, *, real_data_n_rows: int, synthetic_data_n_rows: int,
                 n_columns: int, generator_name: str,
                 dataset_name: str = "dataset", timestamp: Optional[str] = None,
                 evaluation_time_seconds: float = 0.0) -> None:
        self.real_data_n_rows = int(real_data_n_rows)
        self.synthetic_data_n_rows = int(synthetic_data_n_rows)
        self.n_columns = int(n_columns)
        self.generator_name = str(generator_name)
        self.dataset_name = str(dataset_name)
        self.timestamp = _utc_now_iso() if timestamp is None else str(timestamp)
        self.evaluation_time_seconds = float(evaluation_time_seconds)
        self.aggregate_metrics: Dict[str, MetricResult] = {}
        self.privacy_metrics: Dict[str, MetricResult] = {}

    def __repr__(self) -> str:
        return (f"EvaluationReport(generator_name={self.generator_name!r}, "
                f"dataset_name={self.dataset_name!r}, "
                f"metrics={len(self.aggregate_metrics) + len(self.privacy_metrics)})")

    def add_metric(self, result: MetricResult, scope: str = "aggregate") -> None:
        """File ``result`` under ``aggregate_metrics`` or, with scope "privacy",
        under ``privacy_metrics``. Any other scope raises ``ValueError``."""
        if scope not in _SCOPES:
            raise ValueError(
                f"unknown metric scope {scope!r}; expected 'aggregate' or 'privacy'")
        for attr in ("name", "value"):
            if not hasattr(result, attr):
                raise TypeError(
                    f"add_metric expects a MetricResult, got {type(result).__name__} "
                    f"without a {attr!r} attribute")
        target = self.privacy_metrics if scope == "privacy" else self.aggregate_metrics
        target[str(result.name)] = result

    @property
    def all_metrics(self) -> Dict[str, MetricResult]:
        """Aggregate metrics followed by privacy metrics, in one new dict."""
        merged = dict(self.aggregate_metrics)
        merged.update(self.privacy_metrics)
        return merged

    def overall_score(self) -> float:
        """Mean value of the higher-is-better metrics with a finite value
        (NaN when there is none)."""
        vals = []
        for m in self.all_metrics.values():
            if m.higher_is_better:
                try:
                    v = float(m.value)
                except (TypeError, ValueError):
                    continue
                if math.isfinite(v):
                    vals.append(v)
        return sum(vals) / len(vals) if vals else float("nan")

    # -- text ---------------------------------------------------------------

    def summary(self) -> str:
        """A readable multi-line table of the report."""
        lines = [
            f"Evaluation report: {self.generator_name} on {self.dataset_name}",
            f"Generated: {self.timestamp}",
            (f"Real rows: {self.real_data_n_rows:,} | Synthetic rows: "
             f"{self.synthetic_data_n_rows:,} | Columns: {self.n_columns} | "
             f"Time: {self.evaluation_time_seconds:.2f} s"),
        ]
        sections = (("Aggregate metrics", self.aggregate_metrics),
                    ("Privacy metrics", self.privacy_metrics))
        width = max([len(str(n)) for _, ms in sections for n in ms] + [6])
        for title, metrics in sections:
            lines.append("")
            lines.append(f"{title} ({len(metrics)})")
            if not metrics:
                lines.append("  (none)")
                continue
            lines.append(f"  {'metric':<{width}}  {'value':>10}  {'better':<6}  "
                         f"{'category':<12}  CI")
            for name, m in metrics.items():
                ci = getattr(m, "confidence_interval", None)
                ci_text = "" if ci is None else (
                    f"[{_format_value(ci[0])}, {_format_value(ci[1])}]")
                direction = "higher" if m.higher_is_better else "lower"
                lines.append(
                    f"  {str(name):<{width}}  {_format_value(m.value):>10}  "
                    f"{direction:<6}  {str(getattr(m, 'category', '')):<12}  {ci_text}"
                    .rstrip())
        score = self.overall_score()
        lines.append("")
        lines.append("Overall score (mean of higher-is-better metrics): "
                     + ("n/a" if math.isnan(score) else f"{score:.4f}"))
        lines.append(self.privacy_verdict().line())
        return "\n".join(lines)

    def __str__(self) -> str:
        return self.summary()

    def privacy_verdict(self) -> "PrivacyVerdict":
        """The privacy risk level of the synthetic table with its reason and
        the figures it rests on (see ``PrivacyVerdict``)."""
        return privacy_verdict(self)

    # -- serialisation --------------------------------------------------------

    def to_dict(self) -> Dict[str, Any]:
        """Plain-Python form of the report (metrics keep their order)."""
        def dump(metrics: Mapping[str, Any]) -> Dict[str, Any]:
            out = {}
            for name, m in metrics.items():
                if isinstance(m, MetricResult):
                    out[name] = m.to_dict()
                else:  # a foreign result object accepted by add_metric
                    out[name] = MetricResult(
                        name=str(m.name), value=m.value,
                        category=str(getattr(m, "category", "")),
                        higher_is_better=bool(getattr(m, "higher_is_better", True)),
                        description=str(getattr(m, "description", "")),
                        details=dict(getattr(m, "details", None) or {}),
                        confidence_interval=getattr(m, "confidence_interval", None),
                    ).to_dict()
            return out

        return {
            "generator_name": self.generator_name,
            "dataset_name": self.dataset_name,
            "timestamp": self.timestamp,
            "real_data_n_rows": self.real_data_n_rows,
            "synthetic_data_n_rows": self.synthetic_data_n_rows,
            "n_columns": self.n_columns,
            "evaluation_time_seconds": self.evaluation_time_seconds,
            "aggregate_metrics": dump(self.aggregate_metrics),
            "privacy_metrics": dump(self.privacy_metrics),
        }

    def to_json(self, indent: Optional[int] = 2) -> str:
        """Strict JSON text of ``to_dict``; NaN and infinities become null."""
        return json.dumps(_jsonable(self.to_dict()), indent=indent, allow_nan=False)

    @classmethod
    def from_dict(cls, data: Mapping[str, Any]) -> "EvaluationReport":
        """Rebuild a report written by ``to_dict``."""
        missing = [k for k in ("real_data_n_rows", "synthetic_data_n_rows",
                               "n_columns", "generator_name") if k not in data]
        if missing:
            raise ValueError(f"report data lacks the fields {missing}")
        report = cls(
            real_data_n_rows=data["real_data_n_rows"],
            synthetic_data_n_rows=data["synthetic_data_n_rows"],
            n_columns=data["n_columns"],
            generator_name=data["generator_name"],
            dataset_name=data.get("dataset_name", "dataset"),
            timestamp=data.get("timestamp"),
            evaluation_time_seconds=_float_or_nan(
                data.get("evaluation_time_seconds", 0.0)),
        )
        for scope, key in (("aggregate", "aggregate_metrics"),
                           ("privacy", "privacy_metrics")):
            entries = data.get(key) or {}
            if isinstance(entries, Mapping):
                entries = [dict(v, name=v.get("name", k)) for k, v in entries.items()]
            for entry in entries:
                report.add_metric(MetricResult.from_dict(entry), scope=scope)
        return report

    @classmethod
    def from_json(cls, text: str) -> "EvaluationReport":
        """Rebuild a report from ``to_json`` output."""
        try:
            data = json.loads(text)
        except json.JSONDecodeError as exc:
            raise ValueError(f"not a valid report JSON document: {exc}") from exc
        if not isinstance(data, dict):
            raise ValueError("a report JSON document must hold an object")
        return cls.from_dict(data)


# ---------------------------------------------------------------------------
# Privacy verdict
# ---------------------------------------------------------------------------

#: The privacy risk levels, from the safest to the worst.
PRIVACY_LEVELS = ("LOW", "MODERATE", "HIGH")

# Thresholds of the verdict. They were calibrated on synthetic candidates with
# a known answer, built from real tables that packages ship (a verbatim copy,
# a fresh sample of the same population, the copy with 5 % noise, shuffled
# columns, uniform noise; benchmarks/validity.py prints them): the copy scores
# a DCR of 0 and the near-copy 0.10-0.14, both with a membership risk above
# 0.97; the fresh sample, the shuffled columns and the noise score a DCR of
# 0.96-1 and a membership risk below 0.05.
DCR_HIGH = 0.35       # DCR score at or below this: HIGH
DCR_LOW = 0.65        # DCR score below this (the report's pass mark): at least MODERATE
MEMBERSHIP_HIGH = 0.5  # membership risk at or above this: HIGH
MEMBERSHIP_LOW = 0.2   # membership risk at or above this: at least MODERATE
LEAK_HIGH = 0.5       # likelihood_leak at or below this: at least MODERATE
COPY_DCR = 0.1        # DCR score at or below this reads as copied rows


@dataclass(frozen=True)
class PrivacyVerdict:
    """The privacy risk of a synthetic table, summed up from a report.

    ``level`` is "LOW", "MODERATE" or "HIGH" (risk), or ``None`` when the
    report holds no privacy metric to judge by. The figures it rests on are
    the membership risk (``membership_inference_auc``, 0 = no signal,
    1 = copies), the DCR score (``distance_to_closest_record``, 1 = as far
    from the real records as a fresh sample, 0 = copies) and
    ``likelihood_leak`` (1 = no leak); NaN when the report lacks one.

    - HIGH: DCR score <= 0.35 or membership risk >= 0.5: synthetic records
      sit on (or right beside) real ones;
    - MODERATE: DCR score < 0.65 (the report's pass mark), membership
      risk >= 0.2 or likelihood_leak <= 0.5: some synthetic records lie
      closer to real ones than a fresh sample of the population would;
    - LOW: otherwise.
    """

    level: Optional[str]
    reason: str
    membership_risk: float = float("nan")
    dcr_score: float = float("nan")
    likelihood_leak: float = float("nan")

    def worse_than(self, level: str) -> bool:
        """True when this verdict is a higher risk than ``level``; a verdict
        without a level counts as worse than any level."""
        if level not in PRIVACY_LEVELS:
            raise ValueError(f"unknown privacy level {level!r}; expected one of {PRIVACY_LEVELS}")
        if self.level is None:
            return True
        return PRIVACY_LEVELS.index(self.level) > PRIVACY_LEVELS.index(level)

    def figures(self) -> str:
        parts = []
        for label, value in (("membership risk", self.membership_risk),
                             ("DCR score", self.dcr_score),
                             ("likelihood leak", self.likelihood_leak)):
            if not math.isnan(value):
                parts.append(f"{label} {value:.2f}")
        return ", ".join(parts)

    def line(self) -> str:
        """One line starting with "Privacy:"."""
        if self.level is None:
            return f"Privacy: not assessed ({self.reason})"
        figures = self.figures()
        return f"Privacy: {self.level} risk ({figures}): {self.reason}" if figures \
            else f"Privacy: {self.level} risk: {self.reason}"

    def __str__(self) -> str:
        return self.line()


def _metric_value(metrics: Mapping[str, Any], name: str) -> float:
    m = metrics.get(name)
    return float("nan") if m is None else _finite_or_nan(getattr(m, "value", None))


def privacy_verdict(report: "EvaluationReport") -> PrivacyVerdict:
    """The ``PrivacyVerdict`` of a report (see there for the levels)."""
    risk = _metric_value(report.privacy_metrics, "membership_inference_auc")
    dcr = _metric_value(report.privacy_metrics, "distance_to_closest_record")
    leak = _metric_value({**report.aggregate_metrics, **report.privacy_metrics}, "likelihood_leak")
    figures = dict(membership_risk=risk, dcr_score=dcr, likelihood_leak=leak)
    if math.isnan(risk) and math.isnan(dcr):
        return PrivacyVerdict(None, "no privacy metric in the report", **figures)

    def le(v, t):
        return not math.isnan(v) and v <= t

    def ge(v, t):
        return not math.isnan(v) and v >= t

    if le(dcr, COPY_DCR) or ge(risk, 0.9):
        return PrivacyVerdict("HIGH", "synthetic rows copy real rows", **figures)
    if le(dcr, DCR_HIGH):
        return PrivacyVerdict("HIGH", "synthetic rows lie much closer to real rows than "
                                      "a fresh sample would", **figures)
    if ge(risk, MEMBERSHIP_HIGH):
        return PrivacyVerdict("HIGH", "a membership attack tells real records apart", **figures)
    reasons = []
    if dcr < DCR_LOW:
        reasons.append("some synthetic rows lie closer to real rows than a fresh sample would")
    if ge(risk, MEMBERSHIP_LOW):
        reasons.append("a membership attack has some signal")
    if le(leak, LEAK_HIGH):
        reasons.append("synthetic rows are likelier than unseen real rows")
    if reasons:
        return PrivacyVerdict("MODERATE", "; ".join(reasons), **figures)
    missing = [n for n, v in (("membership_inference_auc", risk),
                              ("distance_to_closest_record", dcr)) if math.isnan(v)]
    reason = "synthetic rows lie no closer to real rows than a fresh sample would"
    if missing:
        reason += f" (judged without {', '.join(missing)})"
    return PrivacyVerdict("LOW", reason, **figures)


# ---------------------------------------------------------------------------
# Comparison
# ---------------------------------------------------------------------------


@dataclass
class ComparisonResult:
    """Several reports side by side.

    - ``labels``: one label per report, in the order given (the generator
      name, with " (2)", " (3)", ... appended to repeated names);
    - ``metric_names``: every metric found in any report, in order of first
      appearance (aggregate before privacy within a report);
    - ``values[metric][label]``: the metric's value in that report, NaN when
      the report lacks it or its value is not a finite number;
    - ``higher_is_better[metric]``: the direction, from the first report that
      has the metric;
    - ``best[metric]``: label of the best report for the metric, or ``None``
      when no report has a finite value (ties go to the earlier report);
    - ``mean_ranks[label]``: the report's rank per metric (1 = best, ties share
      the mean rank, only reports with a finite value are ranked) averaged over
      the metrics it has; NaN for a report with no ranked metric;
    - ``ranking``: the labels ordered by mean rank, best first (reports with
      no ranked metric last; ties keep the given order);
    - ``quality[label]``: the report's overall score (``overall_score``);
    - ``privacy[label]``: the report's ``PrivacyVerdict``.
    """

    labels: List[str] = field(default_factory=list)
    metric_names: List[str] = field(default_factory=list)
    values: Dict[str, Dict[str, float]] = field(default_factory=dict)
    higher_is_better: Dict[str, bool] = field(default_factory=dict)
    best: Dict[str, Optional[str]] = field(default_factory=dict)
    mean_ranks: Dict[str, float] = field(default_factory=dict)
    ranking: List[str] = field(default_factory=list)
    quality: Dict[str, float] = field(default_factory=dict)
    privacy: Dict[str, PrivacyVerdict] = field(default_factory=dict)

    def __len__(self) -> int:
        return len(self.labels)

    def to_dataframe(self):
        """One row per metric: a column per report, then ``higher_is_better``
        and ``best``."""
        import pandas as pd

        columns = list(self.labels) + ["higher_is_better", "best"]
        rows = []
        for m in self.metric_names:
            row = [self.values[m].get(lbl, float("nan")) for lbl in self.labels]
            rows.append(row + [self.higher_is_better[m], self.best[m]])
        df = pd.DataFrame(rows, index=pd.Index(self.metric_names, name="metric"),
                          columns=columns)
        for lbl in self.labels:
            df[lbl] = df[lbl].astype("float64")
        return df

    def to_dict(self) -> Dict[str, Any]:
        return {
            "labels": list(self.labels),
            "metric_names": list(self.metric_names),
            "values": {m: dict(v) for m, v in self.values.items()},
            "higher_is_better": dict(self.higher_is_better),
            "best": dict(self.best),
            "mean_ranks": dict(self.mean_ranks),
            "ranking": list(self.ranking),
            "quality": dict(self.quality),
            "privacy": {lbl: {"level": v.level, "reason": v.reason,
                              "membership_risk": v.membership_risk,
                              "dcr_score": v.dcr_score,
                              "likelihood_leak": v.likelihood_leak}
                        for lbl, v in self.privacy.items()},
        }

    def summary(self) -> str:
        """Text form: the ranking followed by the metric table."""
        if not self.labels:
            return "No reports to compare."
        lines = ["Ranking (mean rank over metrics, 1 = best):"]
        for pos, lbl in enumerate(self.ranking, 1):
            mr = self.mean_ranks.get(lbl, float("nan"))
            lines.append(f"  {pos}. {lbl}  ({'n/a' if math.isnan(mr) else f'{mr:.2f}'})")
        if self.quality or self.privacy:
            lines.append("")
            lines.append("Quality and privacy:")
            lbl_w = max(len(lbl) for lbl in self.labels)
            for lbl in self.labels:
                q = self.quality.get(lbl, float("nan"))
                verdict = self.privacy.get(lbl)
                lines.append(f"  {lbl:<{lbl_w}}  quality {'n/a' if math.isnan(q) else f'{q:.4f}'}  "
                             + (verdict.line() if verdict is not None else "Privacy: not assessed"))
        if self.metric_names:
            width = max(len(m) for m in self.metric_names)
            col_w = max(10, *(len(lbl) for lbl in self.labels))
            lines.append("")
            lines.append(f"  {'metric':<{width}}  "
                         + "  ".join(f"{lbl:>{col_w}}" for lbl in self.labels)
                         + "  best")
            for m in self.metric_names:
                cells = []
                for lbl in self.labels:
                    v = self.values[m][lbl]
                    cells.append(f"{'-' if math.isnan(v) else f'{v:.4f}':>{col_w}}")
                lines.append(f"  {m:<{width}}  " + "  ".join(cells)
                             + f"  {self.best[m] or '-'}")
        return "\n".join(lines)


def _finite_or_nan(value: Any) -> float:
    try:
        v = float(value)
    except (TypeError, ValueError):
        return float("nan")
    return v if math.isfinite(v) else float("nan")


def compare(reports: List[EvaluationReport]) -> ComparisonResult:
    """Line up ``reports`` metric by metric and rank them (see
    ``ComparisonResult``). An empty list gives an empty comparison."""
    reports = list(reports)
    for r in reports:
        if not (hasattr(r, "aggregate_metrics") and hasattr(r, "privacy_metrics")):
            raise TypeError(
                f"compare expects EvaluationReport objects, got {type(r).__name__}")

    labels: List[str] = []
    seen: Dict[str, int] = {}
    for r in reports:
        base = str(getattr(r, "generator_name", "report"))
        seen[base] = seen.get(base, 0) + 1
        label = base if seen[base] == 1 else f"{base} ({seen[base]})"
        while label in labels:  # a generator literally named "x (2)"
            seen[base] += 1
            label = f"{base} ({seen[base]})"
        labels.append(label)

    metric_names: List[str] = []
    values: Dict[str, Dict[str, float]] = {}
    direction: Dict[str, bool] = {}
    for label, r in zip(labels, reports):
        for metrics in (r.aggregate_metrics, r.privacy_metrics):
            for name, m in metrics.items():
                name = str(name)
                if name not in values:
                    metric_names.append(name)
                    values[name] = {lbl: float("nan") for lbl in labels}
                    direction[name] = bool(getattr(m, "higher_is_better", True))
                values[name][label] = _finite_or_nan(getattr(m, "value", None))

    best: Dict[str, Optional[str]] = {}
    rank_sums = {lbl: 0.0 for lbl in labels}
    rank_counts = {lbl: 0 for lbl in labels}
    for name in metric_names:
        sign = 1.0 if direction[name] else -1.0
        scored = [(lbl, sign * v) for lbl, v in values[name].items() if not math.isnan(v)]
        if not scored:
            best[name] = None
            continue
        top = max(s for _, s in scored)
        best[name] = next(lbl for lbl, s in scored if s == top)
        for lbl, s in scored:
            better = sum(1 for _, o in scored if o > s)
            equal = sum(1 for _, o in scored if o == s)
            rank_sums[lbl] += better + (equal + 1) / 2.0
            rank_counts[lbl] += 1

    mean_ranks = {lbl: (rank_sums[lbl] / rank_counts[lbl] if rank_counts[lbl]
                        else float("nan")) for lbl in labels}
    order = sorted(range(len(labels)),
                   key=lambda i: (math.isnan(mean_ranks[labels[i]]),
                                  0.0 if math.isnan(mean_ranks[labels[i]])
                                  else mean_ranks[labels[i]], i))
    return ComparisonResult(
        labels=labels,
        metric_names=metric_names,
        values=values,
        higher_is_better=direction,
        best=best,
        mean_ranks=mean_ranks,
        ranking=[labels[i] for i in order],
        quality={lbl: _report_quality(r) for lbl, r in zip(labels, reports)},
        privacy={lbl: privacy_verdict(r) for lbl, r in zip(labels, reports)},
    )


def _report_quality(report: Any) -> float:
    score = getattr(report, "overall_score", None)
    if callable(score):
        return _finite_or_nan(score())
    return float("nan")
