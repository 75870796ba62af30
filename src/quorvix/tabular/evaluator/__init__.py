"""Scoring a synthetic table against the real one it imitates.

``TabularEvaluator`` lives in the native module
``quorvix.tabular.evaluator.evaluator`` and is re-exported here. The re-export
is resolved on first access, so importing the report or metric modules of this
package does not load the native module.
"""

__all__ = ["TabularEvaluator"]


def __getattr__(name):
    if name == "TabularEvaluator":
        from quorvix.tabular.evaluator.evaluator import TabularEvaluator

        return TabularEvaluator
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__():
    return sorted(list(globals()) + ["TabularEvaluator"])
