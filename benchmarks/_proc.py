"""Helpers the benchmark scripts share: a process's memory figures from
/proc (Linux) and the plain-text tables they print."""

from __future__ import annotations


def status_kib(field: str) -> int:
    """A field of /proc/self/status in KiB (``VmRSS``, ``VmHWM``), 0 when absent."""
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return 0


def reset_peak() -> bool:
    """Reset the process's peak resident size (VmHWM) to the current one;
    False where the system does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as fh:
            fh.write("5")
        return True
    except OSError:
        return False


def print_table(header, rows) -> None:
    """Columns padded to their widest cell, a rule under the header."""
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = "  ".join(str(h).ljust(w) for h, w in zip(header, widths))
    print(line)
    print("-" * len(line))
    for row in rows:
        print("  ".join(str(x).ljust(w) for x, w in zip(row, widths)))
