"""House rules of the native sources, checked as a test so they cannot drift.

- Module logic holds Python references through nanobind handles; raw reference
  counting is allowed only in the runtime layer's type slots and caches.
- Native modules never execute Python source text of their own (pandas'
  DataFrame.eval of a checked rule text is the rule engine's job, not ours).
- No lazy nanobind accessors: `o.attr("x")` and `o[key]` on a Python object
  look the value up only when it is first used, and used as an argument of a
  call, tuple, list or keyword argument a lookup that raises there aborts the
  process. Module code uses the eager helpers of the runtime layer (get, item,
  set_attr, set_item) instead.
- No range-for over an nb::list or nb::dict: nanobind walks a list through a
  raw pointer into its storage and a dict through borrowed references, so a
  callback in the loop body that changes the container leaves the loop reading
  freed memory. Loops go through qrt::each(), the iterator protocol.
"""

import re
from pathlib import Path

import pytest

CPP = Path(__file__).resolve().parents[2] / "src" / "cpp"
RAW_REFCOUNT_ALLOWED = {"runtime/function.cpp", "runtime/binder.cpp"}
SOURCES = sorted(p for p in CPP.rglob("*") if p.suffix in {".cpp", ".h"})

# Declarations of nanobind handle types: `nb::object a = ..., b = ...`, parameters
# `nb::handle df`, range-for variables. An array of handles (`nb::object x[2]`)
# is a C++ array and indexing it is fine.
NB_DECL = re.compile(
    r"\bnb::(?:object|handle|dict|list|tuple|str|module_|iterable|iterator|sequence|"
    r"mapping|int_|float_|bool_|slice|callable|type_object|capsule|bytes|set)\s*&?\s*"
    r"(\w+)\b(?!\s*\[)"
)
STRING = re.compile(r'"(?:[^"\\]|\\.)*"' + r"|'(?:[^'\\]|\\.)*'")


def code_of(line):
    """The line without the contents of string literals and without comments."""
    line = STRING.sub('""', line)
    return line.split("//", 1)[0]


def accessor_problems(rel, lines):
    """Lazy accessors in C++ source lines. Names of handles are tracked per
    top-level block (a function or class), which is enough for this code base."""
    names = set()
    containers = set()
    problems = []
    for n, line in enumerate(lines, 1):
        if line.startswith("}"):
            names = set()
            containers = set()
        code = code_of(line)
        containers.update(re.findall(r"\bnb::(?:list|dict)\s*&?\s*(\w+)\b(?!\s*\[)", code))
        for m in NB_DECL.finditer(code):
            names.add(m.group(1))
            # Further declarators of the same declaration: `nb::handle a = x, b = y`.
            rest = code[m.end():].split(";", 1)[0]
            names.update(re.findall(r",\s*(\w+)\s*=", rest))
        if "lint: allow" in line:
            continue
        loop = re.search(r"\bfor\s*\([^;]*?:\s*(\w+)\s*\)", code)
        if loop and loop.group(1) in containers:
            problems.append(f"{rel}:{n}: range-for over an nb::list/nb::dict; use qrt::each()")
        if re.search(r"\.attr\s*\(", code):
            problems.append(f"{rel}:{n}: lazy attribute accessor .attr(...); use get()/set_attr()")
        if re.search(r'\[\s*""', code) or re.search(r"\)\s*\[", code):
            problems.append(f"{rel}:{n}: lazy item accessor; use item()/set_item()")
        elif any(re.search(r"(?<![\w.>:#])" + re.escape(name) + r"\s*\[", code) for name in names):
            problems.append(f"{rel}:{n}: lazy item accessor on a Python object; use item()/set_item()")
    return problems


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
    problems += accessor_problems(rel, path.read_text().splitlines())
    assert not problems, "\n".join(problems)


@pytest.mark.parametrize(
    "snippet",
    [
        'nb::object x = df.attr("columns");',
        'f(df.attr("values"));',
        'nb::object v = parsed["type"];',
        'd["k"] = v;',
        "nb::handle df = c[1];\nnb::object col = df[key];",
        "nb::object a = x, b = y;\nuse(b[0]);",
        "nb::object s = get(df, \"iloc\")[pos];",
        "nb::list cols;\nfor (nb::handle c : cols) use(c);",
        "void f(nb::dict &d) {\n    for (auto [k, v] : d) use(k);",
    ],
)
def test_accessor_rule_catches(snippet):
    assert accessor_problems("x.cpp", snippet.splitlines())


@pytest.mark.parametrize(
    "snippet",
    [
        'nb::object x = get(df, "columns");  // not df.attr("columns")',
        "nb::object items[2];\nitems[0] = y;",
        "std::vector<double> v;\nv[0] = 1.0;",
        "nb::list cols;\nfor (nb::handle c : qrt::each(cols)) use(c);",
        'qrt::raise(PyExc_TypeError, "a[\\"b\\"] is .attr(x)");',
    ],
)
def test_accessor_rule_allows(snippet):
    assert not accessor_problems("x.cpp", snippet.splitlines())
