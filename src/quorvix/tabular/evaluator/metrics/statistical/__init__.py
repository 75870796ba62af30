"""Statistical metrics."""
