"""Generators' helpers. privex is imported explicitly: it configures logging and warnings on import."""
