"""Evaluation helpers shared by the evaluator."""
