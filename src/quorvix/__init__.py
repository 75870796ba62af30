"""quorvix: produce and check synthetic tabular data.

Importing the package is cheap and has no side effects. The native modules are
imported on their own:

- ``quorvix.tabular.rulix``: constraint rules, validation and repair;
- ``quorvix.core_generator.privex``: calibrated noise for privacy;
- ``quorvix.tabular.evaluator``: scoring a synthetic table against the real one.
"""

__version__ = "0.1.0"
