"""The privex demonstration, as a command::

    python -m quorvix.core_generator.privex_demo

It perturbs a small random table with the "minimal" method and prints it before
and after, then the processor's privacy settings. The demonstration itself is
part of the native module ``quorvix.core_generator.privex``; importing that
module suppresses warnings and configures logging at INFO, so its log lines
appear on standard error.
"""

from quorvix.core_generator import privex


def main() -> None:
    """Run the demonstration of ``quorvix.core_generator.privex``."""
    privex._demo()


if __name__ == "__main__":
    main()
