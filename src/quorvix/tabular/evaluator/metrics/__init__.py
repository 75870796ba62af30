"""Metrics used by the evaluator."""
