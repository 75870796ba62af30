"""Running hostile code in a child interpreter, so that a crash shows as the
signal that ended the child instead of taking the test run down with it."""

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

TESTS = Path(__file__).resolve().parents[1]


def run_child(code, timeout=300):
    """Run `code` in a fresh interpreter; returns the CompletedProcess."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(TESTS), env.get("PYTHONPATH")]))
    env.setdefault("PYTHONFAULTHANDLER", "1")
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
    )


SANITIZER_REPORT = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error: ")


def crashed(proc):
    """Killed by a signal, or stopped by a sanitizer (a sanitizer build reports
    a memory error and exits with a status instead of the signal)."""
    return proc.returncode < 0 or (
        proc.returncode != 0 and any(s in proc.stderr for s in SANITIZER_REPORT)
    )


def describe_exit(proc):
    if proc.returncode > 0 and crashed(proc):
        report = next(line for line in proc.stderr.splitlines() if any(s in line for s in SANITIZER_REPORT))
        return f"stopped by the sanitizer: {report.strip()}"
    if proc.returncode < 0:
        try:
            name = signal.Signals(-proc.returncode).name
        except ValueError:
            name = f"signal {-proc.returncode}"
        return f"killed by {name}"
    return f"exit status {proc.returncode}"


def assert_child_ok(proc, expected_stdout=None):
    """The child ended normally (no signal, status 0) and printed what was expected."""
    detail = f"child {describe_exit(proc)}\n--- stdout\n{proc.stdout}\n--- stderr\n{proc.stderr[-4000:]}"
    assert proc.returncode == 0, detail
    if expected_stdout is not None:
        assert proc.stdout.strip().splitlines() == expected_stdout, detail
