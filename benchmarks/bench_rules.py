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


# ---------------------------------------------------------------------------
# A realistic mix: float, int and text columns with 1 % missing values, and 20
# rules of the kinds data-quality checks use.

STATUSES = np.array(["open", "closed", "pending", "void"], dtype=object)
COUNTRIES = np.array(["DE", "FR", "US", "JP", "XX", "BR"], dtype=object)
SEGMENTS = np.array(["retail", "wholesale", "online"], dtype=object)


def realistic_table(n, seed=0):
    rng = np.random.default_rng(seed)
    cols = {}
    for i in range(12):
        v = rng.normal(size=n)
        v[rng.random(n) < 0.01] = np.nan
        cols[f"f{i}"] = v
    for i in range(4):
        cols[f"i{i}"] = rng.integers(-1000, 1000, n)
    for name, values, weights in (
        ("status", STATUSES, [0.4, 0.4, 0.195, 0.005]),
        ("country", COUNTRIES, [0.3, 0.2, 0.3, 0.1, 0.002, 0.098]),
        ("segment", SEGMENTS, [0.5, 0.3, 0.2]),
        ("channel", SEGMENTS, [0.2, 0.3, 0.5]),
    ):
        v = values[rng.choice(len(values), n, p=weights)]
        v[rng.random(n) < 0.01] = None
        cols[name] = pd.Series(v)  # pandas' default text dtype (object on 2.x, str on 3.x)
    return pd.DataFrame(cols)


REALISTIC_RULES = [
    # 8 simple comparisons
    "f0 > -2.3", "f1 < 2.3", "f2 >= -2.5", "f3 <= 2.5", "i0 > -990", "i1 < 990", "f4 > -2.8", "f5 > -3",
    # 4 with arithmetic
    "f6 + f7 < 4", "f8 * 2 - f9 > -7", "abs(f10) < 2.8", "i2 - i3 >= -1900",
    # 3 conditionals, one on a text column
    "if f11 > 1 then f0 > -2", "if segment == 'retail' then f1 <= 2.2", "if i0 > 900 then f2 < 2",
    # 2 and / or / not combinations
    "f3 > -2.3 and f4 < 2.3", "not (f5 < -2.5) | i1 == 0",
    # membership and inequality on text columns, an integer remainder
    "status in ['open', 'closed', 'pending']", "country != 'XX'", "i3 % 7 != 3",
]


def numpy_validate(df):
    """The same rules written by hand as one vectorised pass (the floor).

    Numeric columns are read as numpy arrays; a comparison with a missing value
    is false, as in pandas. Text tests use the columns' own vectorised isin / !=.
    """
    c = {k: df[k].to_numpy() for k in df.columns if k[0] in "fi"}
    f, i = c, c
    status, country, segment = df["status"], df["country"], df["segment"]
    masks = [
        ~(f["f0"] > -2.3), ~(f["f1"] < 2.3), ~(f["f2"] >= -2.5), ~(f["f3"] <= 2.5),
        ~(i["i0"] > -990), ~(i["i1"] < 990), ~(f["f4"] > -2.8), ~(f["f5"] > -3),
        ~(f["f6"] + f["f7"] < 4), ~(f["f8"] * 2 - f["f9"] > -7), ~(np.abs(f["f10"]) < 2.8),
        ~(i["i2"] - i["i3"] >= -1900),
        (f["f11"] > 1) & ~(f["f0"] > -2),
        segment.isin(["retail"]).to_numpy() & ~(f["f1"] <= 2.2),
        (i["i0"] > 900) & ~(f["f2"] < 2),
        ~((f["f3"] > -2.3) & (f["f4"] < 2.3)),
        ~(~(f["f5"] < -2.5) | (i["i1"] == 0)),
        ~status.isin(["open", "closed", "pending"]).to_numpy(),
        country.isin(["XX"]).to_numpy(),
        ~(i["i3"] % 7 != 3),
    ]
    violations = {rule: int(np.count_nonzero(m)) for rule, m in zip(REALISTIC_RULES, masks)}
    any_bad = np.logical_or.reduce(masks)
    index = df.index[any_bad]
    return violations, index, len(index) / len(df) if len(df) else 0.0


def _realistic_case(n):
    def setup():
        from quorvix.tabular.rulix import Rulix

        df = realistic_table(n)
        engine = Rulix()
        for r in REALISTIC_RULES:
            engine.add_rule(r)
        return {"df": df, "rules": REALISTIC_RULES, "engine": engine}

    def check(state):
        report = state["engine"].validate(state["df"])
        violations, index, rate = baseline_validate(state["df"], state["rules"])
        assert report.violations == violations
        assert all(v > 0 for v in violations.values())
        pd.testing.assert_index_equal(report.violating_rows, index)
        assert report.violation_rate == rate
        floor_violations, floor_index, floor_rate = numpy_validate(state["df"])
        assert floor_violations == violations
        assert floor_index.tolist() == index.tolist() and floor_rate == rate

    return {
        "name": "validate realistic rules" + (" (large)" if n > 100_000 else ""),
        "size": f"{n:,} x 20",
        "what": "20 rules: 8 cmp, 4 arith, 3 if (1 text), 2 bool, text in/!=, int %",
        "setup": setup,
        "check": check,
        "ours": lambda s: s["engine"].validate(s["df"]),
        "baseline": lambda s: baseline_validate(s["df"], s["rules"]),
        "floor": lambda s: numpy_validate(s["df"]),
        **({"repeat": 3} if n >= 1_000_000 else {}),
    }


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
    yield _realistic_case(10_000)
    yield _realistic_case(big)
