"""The fault-injection battery (support.battery), run in child interpreters.

Each group of entry points runs in a child that announces every run before
making it. A child killed by a signal is a crash: it is recorded with the run
it died in, and a new child carries on with the next run. The figures of the
group (entry points, runs, injected faults, outcomes, crashes) are printed.
"""

import json
import sys

import pytest

from support.child import crashed, describe_exit, run_child


def run_group(group, timeout=600):
    crashes, summaries, start = [], [], 0
    while True:
        proc = run_child(
            f"import sys; from support.battery import run; run({group!r}, {start})",
            timeout=timeout,
        )
        lines = proc.stdout.splitlines()
        done = [line for line in lines if line.startswith("SUMMARY ")]
        if done and proc.returncode == 0:
            summaries.append(json.loads(done[-1][len("SUMMARY "):]))
            return crashes, summaries
        started = [line for line in lines if line.startswith("RUN ")]
        if not started:
            raise AssertionError(f"battery child failed before its first run ({describe_exit(proc)}):\n{proc.stderr[-4000:]}")
        last = started[-1]
        crashes.append(f"{last[4:]}: {describe_exit(proc)}\n{proc.stderr[-2000:]}")
        start = int(last.split()[1]) + 1


@pytest.mark.parametrize("group", ["privex", "rulix", "evaluator"])
def test_no_input_crashes_the_interpreter(group):
    crashes, summaries = run_group(group)
    runs = sum(s["runs"] for s in summaries) + len(crashes)
    faults = sum(s["faults"] for s in summaries)
    outcomes = {}
    for s in summaries:
        for key, n in s["outcomes"].items():
            outcomes[key] = outcomes.get(key, 0) + n
    problems = [p for s in summaries for p in s["problems"]]
    print(
        f"\n{group}: {summaries[0]['entry_points']} entry points, {runs} runs, "
        f"{faults} injected faults, {len(crashes)} crashes; outcomes {outcomes}",
        file=sys.stderr,
    )
    assert crashes == [], "\n".join(crashes)
    assert problems == [], "\n".join(problems)
    # The battery reaches the code: faults fire, and both injected errors and
    # ordinary results come back.
    assert faults > runs // 2
    assert outcomes.get("injected", 0) > 0 and outcomes.get("result", 0) > 0


def test_a_crashing_child_is_reported_as_such():
    proc = run_child("import ctypes; ctypes.string_at(0)")
    assert crashed(proc)
    assert describe_exit(proc) == "killed by SIGSEGV" or "SEGV" in describe_exit(proc)
