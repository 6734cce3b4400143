"""What `import termloom` adds to a bare interpreter's start.

Runs `python -c pass` and `python -c "import termloom"` alternately (the
order flipping every pair, so drift hits both alike), timing each whole run
from the parent, and reports the medians and their difference. Then takes
termloom's own line from `-X importtime` over a few runs.

    python bench/bench_import.py [--runs N] [--python PATH]
"""

from __future__ import annotations

import argparse
import re
import statistics
import subprocess
import sys
import time

BARE = "pass"
IMPORT = "import termloom"
IMPORTTIME_LINE = re.compile(r"import time:\s+(\d+)\s+\|\s+(\d+)\s+\|\s+termloom\s*$")


def percentile(sorted_values: list[int], fraction: float) -> float:
    pos = fraction * (len(sorted_values) - 1)
    lo = int(pos)
    hi = min(lo + 1, len(sorted_values) - 1)
    return sorted_values[lo] + (sorted_values[hi] - sorted_values[lo]) * (pos - lo)


def time_run(python: str, code: str) -> int:
    start = time.perf_counter_ns()
    rc = subprocess.run([python, "-c", code], stdin=subprocess.DEVNULL).returncode
    elapsed = time.perf_counter_ns() - start
    if rc != 0:
        raise RuntimeError(f"{python} -c {code!r} exited {rc}")
    return elapsed


def importtime(python: str) -> tuple[int, int] | None:
    """termloom's (self, cumulative) microseconds as -X importtime reports them."""
    done = subprocess.run([python, "-X", "importtime", "-c", IMPORT],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)
    for line in done.stderr.splitlines():
        m = IMPORTTIME_LINE.search(line)
        if m:
            return int(m.group(1)), int(m.group(2))
    return None


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=200,
                        help="runs of each command (default 200)")
    parser.add_argument("--importtime-runs", type=int, default=30,
                        help="runs with -X importtime (default 30)")
    parser.add_argument("--python", default=sys.executable,
                        help="interpreter to measure (default: this one)")
    args = parser.parse_args()
    if args.runs < 1 or args.importtime_runs < 0:
        parser.error("--runs must be at least 1")

    check = subprocess.run([args.python, "-c", "import termloom; print(termloom.__file__)"],
                           stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if check.returncode != 0:
        sys.exit(f"{args.python} cannot import termloom; install it first, e.g. pip install .\n"
                 + check.stderr)
    print(f"python {args.python}")
    print(f"termloom {check.stdout.strip()}")

    # Untimed: get the interpreter and the module into the page cache.
    for _ in range(5):
        time_run(args.python, BARE)
        time_run(args.python, IMPORT)

    bare: list[int] = []
    loaded: list[int] = []
    for i in range(args.runs):
        pair = ((BARE, bare), (IMPORT, loaded))
        for code, out in pair if i % 2 == 0 else reversed(pair):
            out.append(time_run(args.python, code))

    print()
    print(f"{'per run (ms)':<22}{'median':>8}{'p10':>8}{'p90':>8}")
    for label, values in ((f"-c {BARE!r}", bare), (f"-c {IMPORT!r}", loaded)):
        ordered = sorted(values)
        print(f"{label:<22}{statistics.median(ordered) / 1e6:8.2f}"
              f"{percentile(ordered, 0.1) / 1e6:8.2f}{percentile(ordered, 0.9) / 1e6:8.2f}")
    # Each pair ran back to back, so its difference is the cleanest estimate.
    paired = sorted(l - b for b, l in zip(bare, loaded))
    diff = statistics.median(loaded) - statistics.median(bare)
    print()
    print(f"import termloom adds {diff / 1e6:+.2f} ms (difference of medians); "
          f"median of paired differences {statistics.median(paired) / 1e6:+.2f} ms")

    if args.importtime_runs:
        found = [r for r in (importtime(args.python) for _ in range(args.importtime_runs)) if r]
        if found:
            self_us = statistics.median(r[0] for r in found)
            cumulative_us = statistics.median(r[1] for r in found)
            print(f"-X importtime, termloom line (median of {len(found)}): "
                  f"self {self_us:.0f} us, cumulative {cumulative_us:.0f} us")
        else:
            print("-X importtime printed no termloom line")
    return 0


if __name__ == "__main__":
    sys.exit(main())
