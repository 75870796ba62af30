"""Exceptions raised by quorvix.

Every error that quorvix raises on purpose derives from :class:`QuorvixError`,
so ``except QuorvixError`` catches them all. Input errors also derive from
:class:`ValueError`, so code that already catches ``ValueError`` keeps working.
"""

__all__ = ["QuorvixError", "QuorvixInputError"]


class QuorvixError(Exception):
    """Base class of the errors quorvix raises on purpose."""


class QuorvixInputError(QuorvixError, ValueError):
    """An input table, column or argument value that quorvix cannot work with."""
