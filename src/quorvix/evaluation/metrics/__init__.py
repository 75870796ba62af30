"""Similarity and utility metrics over pairs of tables."""
