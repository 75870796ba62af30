"""Tabular data: the rule engine and the evaluator."""
