"""Repeated-run checks that an entry point leaks neither memory nor references.

Each call runs a few warm-up rounds, then measured rounds with a full garbage
collection in between, and fails only when *every* measured round grew: one
round of growth is noise (caches, interning), steady growth is a leak.
"""

import gc
import sys


def _blocks():
    gc.collect()
    gc.collect()
    return sys.getallocatedblocks()


def assert_no_leak(fn, *, warmup=3, rounds=6, calls=30):
    for _ in range(warmup):
        for _ in range(calls):
            fn()
    deltas = []
    for _ in range(rounds):
        before = _blocks()
        for _ in range(calls):
            fn()
        deltas.append(_blocks() - before)
    assert not all(d >= 1 for d in deltas), f"allocated blocks grew in every round: {deltas}"


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
