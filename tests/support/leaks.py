"""Repeated-run checks that an entry point leaks neither memory nor references.

A leak shows as growth in proportion to the number of calls. pandas and numpy
keep bounded caches of their own (reference tracking of views, engine caches),
which grow and shrink in steps, so one round of growth is noise. The check
therefore runs warm-up rounds, then measured rounds of many calls with a full
garbage collection in between, and fails only when *every* measured round grew
by at least half a memory block per call. Give the entry point fresh input
tables per call where it can: pandas tracks the views of a long-lived table.
"""

import gc
import sys


def _blocks():
    gc.collect()
    gc.collect()
    return sys.getallocatedblocks()


def assert_no_leak(fn, *, warmup=2, rounds=4, calls=200):
    for _ in range(warmup):
        for _ in range(calls):
            fn()
    deltas = []
    for _ in range(rounds):
        before = _blocks()
        for _ in range(calls):
            fn()
        deltas.append(_blocks() - before)
    assert not all(d >= calls // 2 for d in deltas), f"allocated blocks grew in every round of {calls} calls: {deltas}"


def assert_refcounts_unchanged(fn, *objects):
    """Call fn() repeatedly and check the reference counts of `objects`."""
    fn()
    gc.collect()
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(50):
        fn()
    gc.collect()
    after = [sys.getrefcount(o) for o in objects]
    assert after == before
