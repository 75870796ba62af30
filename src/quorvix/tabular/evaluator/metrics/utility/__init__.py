"""Utility metrics."""
