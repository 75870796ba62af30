"""Rule validation cases for benchmarks/run.py.

The baseline is the straightforward pandas code for the same semantics: one
DataFrame.eval per rule (two for a conditional), the same mask operations, the
violating labels collected in a set and sorted into an Index.
"""

from __future__ import annotations

import numpy as np
import pandas as pd


def baseline_validate(df, rules):
    violations, labels = {}, set()
    for rule in rules:
        if rule.startswith("if "):
            cond, cons = rule[3:].split(" then ")
            mask = df.eval(cond) & ~df.eval(cons)
        else:
            mask = ~df.eval(rule).astype(bool)
        violations[rule] = int(mask.sum())
        labels.update(df.index[mask].tolist())
    index = pd.Index(sorted(labels))
    return violations, index, len(index) / len(df) if len(df) else 0.0


def _table(n, n_cols, seed=0):
    rng = np.random.default_rng(seed)
    cols = {}
    for i in range(n_cols):
        if i % 4 == 3:
            cols[f"c{i}"] = rng.integers(-1000, 1000, n)
        else:
            cols[f"c{i}"] = rng.normal(size=n)
            cols[f"c{i}"][rng.random(n) < 0.01] = np.nan
    return pd.DataFrame(cols)


def simple_rules(n_rules):
    # column OP number, about 1-2 % of rows violating each
    ops = [">", ">=", "<", "<="]
    rules = []
    for i in range(n_rules):
        op = ops[i % 4]
        if i % 4 == 3:
            rules.append(f"c{i} {op} 980")
        else:
            rules.append(f"c{i} {op} {'-' if op.startswith('>') else ''}2.3")
    return rules


def mixed_rules(n_rules):
    shapes = [
        "c{i} > -2.3 and c{j} < 2.3",
        "c{i} <= c{j} or c{i} > -1",
        "if c{i} > 1 then c{j} > -2",
        "not (c{i} < -2.5) | c{j} == 0",
    ]
    return [shapes[k % 4].format(i=k % 20, j=(k + 1) % 20) for k in range(n_rules)]


def _case(name, n, n_rules, rule_maker, what):
    def setup():
        from quorvix.tabular.rulix import Rulix

        df = _table(n, 20)
        rules = rule_maker(n_rules)
        engine = Rulix()
        for r in rules:
            engine.add_rule(r)
        return {"df": df, "rules": rules, "engine": engine}

    def check(state):
        report = state["engine"].validate(state["df"])
        violations, index, rate = baseline_validate(state["df"], state["rules"])
        assert report.violations == violations
        pd.testing.assert_index_equal(report.violating_rows, index)
        assert report.violation_rate == rate

    return {
        "name": name,
        "size": f"{n:,} x 20",
        "what": what,
        "setup": setup,
        "check": check,
        "ours": lambda s: s["engine"].validate(s["df"]),
        "baseline": lambda s: baseline_validate(s["df"], s["rules"]),
        **({"repeat": 3} if n >= 1_000_000 else {}),
    }


def cases(quick=False):
    big = 200_000 if quick else 1_000_000
    yield _case("validate simple rules", 10_000, 20, simple_rules, "20 rules: column OP number")
    yield _case("validate simple rules", big, 20, simple_rules, "20 rules: column OP number") | {"name": "validate simple rules (large)"}
    yield _case("validate mixed rules", 10_000, 20, mixed_rules, "20 rules: and/or/not, col OP col, if-then")
    yield _case("validate mixed rules (large)", big, 20, mixed_rules, "20 rules: and/or/not, col OP col, if-then")
