"""House rules of the native sources, checked as a test so they cannot drift.

- Module logic holds Python references through nanobind handles; raw reference
  counting is allowed only in the runtime layer's type slots and caches.
- Native modules never execute Python source text of their own (pandas'
  DataFrame.eval of a checked rule text is the rule engine's job, not ours).
"""

import re
from pathlib import Path

import pytest

CPP = Path(__file__).resolve().parents[2] / "src" / "cpp"
RAW_REFCOUNT_ALLOWED = {"runtime/function.cpp", "runtime/binder.cpp"}
SOURCES = sorted(p for p in CPP.rglob("*") if p.suffix in {".cpp", ".h"})


@pytest.mark.parametrize("path", SOURCES, ids=lambda p: str(p.relative_to(CPP)))
def test_source_rules(path):
    rel = str(path.relative_to(CPP))
    problems = []
    for n, line in enumerate(path.read_text().splitlines(), 1):
        if "lint: allow" in line:
            continue
        if rel not in RAW_REFCOUNT_ALLOWED and re.search(r"\bPy_(X?DECREF|X?INCREF|CLEAR|SETREF)\(", line):
            problems.append(f"{rel}:{n}: raw reference counting outside the runtime's type slots")
        if re.search(r"\bPyRun_|\bPy_CompileString|\bPyEval_EvalCode|builtins.*\"(exec|eval|compile)\"", line):
            problems.append(f"{rel}:{n}: executes Python source text")
    assert not problems, "\n".join(problems)
