"""The type stubs of the native modules check a typical program with mypy."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def test_usage_type_checks():
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-version", "3.13", "--no-incremental", "--ignore-missing-imports",
         "--follow-imports=silent", "--check-untyped-defs", str(Path(__file__).with_name("usage.py"))],
        capture_output=True, text=True, env=env, cwd=ROOT,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_a_type_error_is_caught(tmp_path):
    pytest.importorskip("mypy")
    bad = tmp_path / "bad.py"
    bad.write_text("from quorvix.tabular.rulix import Rulix\nRulix().add_rule(3)\n")
    env = dict(os.environ, MYPYPATH=str(ROOT / "src"))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--python-version", "3.13", "--no-incremental", "--ignore-missing-imports",
         "--follow-imports=silent", str(bad)],
        capture_output=True, text=True, env=env, cwd=ROOT,
    )
    assert proc.returncode == 1 and 'Argument 1 to "add_rule" of "Rulix" has incompatible type "int"' in proc.stdout


@pytest.mark.parametrize("stub", ["tabular/rulix.pyi", "core_generator/privex.pyi", "tabular/evaluator/evaluator.pyi"])
def test_stubs_ship_with_the_package(stub):
    assert (ROOT / "src" / "quorvix" / stub).is_file()
    assert (ROOT / "src" / "quorvix" / "py.typed").is_file()
