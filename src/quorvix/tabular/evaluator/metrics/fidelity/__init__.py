"""Fidelity metrics."""
