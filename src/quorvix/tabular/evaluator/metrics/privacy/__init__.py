"""Privacy metrics."""
