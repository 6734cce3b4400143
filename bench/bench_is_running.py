"""Per-call cost of Server(sock).is_running against the cheapest possible run.

Three ways of running the same `tmux -S <sock> list-sessions`, interleaved
round by round so machine noise lands on all of them alike:

  termloom    Server(sock).is_running, timed per call with perf_counter_ns
  floor       spawn_floor.c: posix_spawnp + waitpid in a C loop, timed inside
              the loop, so its own startup is not counted
  subprocess  subprocess.run(argv, stdout=DEVNULL, stderr=DEVNULL)

The goal: termloom's median within 3% of the floor's. Prints PASS or FAIL
and exits 0 either way; a noisy machine shouldn't break anyone's run.

--stub-tmux puts a `tmux` that is /bin/true first on PATH for the timed
calls, so only the cost of launching and reaping a child is left: it shows
termloom's own overhead in microseconds, which the real call's noise hides.

    python bench/bench_is_running.py [--rounds R] [--calls C] [--stub-tmux]
"""

from __future__ import annotations

import argparse
import gc
import itertools
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
GOAL_PERCENT = 3.0
METHODS = ("termloom", "floor", "subprocess")


def percentile(sorted_values: list[int], fraction: float) -> float:
    """Linear interpolation between the closest ranks."""
    if not sorted_values:
        return float("nan")
    pos = fraction * (len(sorted_values) - 1)
    lo = int(pos)
    hi = min(lo + 1, len(sorted_values) - 1)
    return sorted_values[lo] + (sorted_values[hi] - sorted_values[lo]) * (pos - lo)


def compile_floor(workdir: str) -> str:
    exe = os.path.join(workdir, "spawn_floor")
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-O2", "-o", exe, str(HERE / "spawn_floor.c")], check=True)
    return exe


class PrivateTmux:
    """A tmux server on its own socket in a short temp folder, never the user's."""

    def __init__(self, tmux: str) -> None:
        self.tmux = tmux
        self.dir = tempfile.mkdtemp(prefix="tlb", dir="/tmp")
        self.socket = os.path.join(self.dir, "s")
        # termloom's children inherit our environment, so fix it here rather
        # than per call: a stray TMUX would point tmux at the user's server.
        os.environ["TMUX_TMPDIR"] = self.dir
        os.environ.pop("TMUX", None)

    def start(self) -> None:
        # -f /dev/null keeps the user's config out; `cat` idles on the pane.
        subprocess.run(
            [self.tmux, "-f", "/dev/null", "-S", self.socket,
             "new-session", "-d", "-s", "bench", "cat"],
            check=True, stdin=subprocess.DEVNULL,
        )

    def close(self) -> None:
        if os.path.exists(self.socket):
            subprocess.run(
                [self.tmux, "-S", self.socket, "kill-server"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
        shutil.rmtree(self.dir, ignore_errors=True)


def time_termloom(termloom, sock: str, calls: int) -> list[int]:
    server_cls = termloom.Server
    clock = time.perf_counter_ns
    out = []
    for _ in range(calls):
        start = clock()
        ok = server_cls(sock).is_running
        out.append(clock() - start)
        if not ok:
            raise RuntimeError("is_running returned False mid-benchmark")
    return out


def time_floor(exe: str, argv: list[str], calls: int) -> list[int]:
    done = subprocess.run(
        [exe, "-w", "2", str(calls), *argv], stdout=subprocess.PIPE, text=True
    )
    if done.returncode != 0:
        raise RuntimeError(f"spawn_floor failed (exit {done.returncode})")
    samples = [int(line) for line in done.stdout.split()]
    if len(samples) != calls:
        raise RuntimeError(f"spawn_floor printed {len(samples)} samples, wanted {calls}")
    return samples


def time_subprocess(argv: list[str], calls: int) -> list[int]:
    run = subprocess.run
    devnull = subprocess.DEVNULL
    clock = time.perf_counter_ns
    out = []
    for _ in range(calls):
        start = clock()
        rc = run(argv, stdout=devnull, stderr=devnull).returncode
        out.append(clock() - start)
        if rc != 0:
            raise RuntimeError(f"subprocess run exited {rc}")
    return out


def fmt_us(ns: float) -> str:
    return f"{ns / 1000:9.1f}"


def overhead_percent(rounds_a: list[list[int]], rounds_b: list[list[int]]) -> float:
    a = statistics.median(itertools.chain.from_iterable(rounds_a))
    b = statistics.median(itertools.chain.from_iterable(rounds_b))
    return 100.0 * (a - b) / b


def bootstrap_interval(rounds_a, rounds_b, resamples: int, level: float = 0.90):
    """Resamples whole rounds, keeping each round's pairing and drift intact."""
    rng = random.Random(12345)
    n = len(rounds_a)
    estimates = []
    for _ in range(resamples):
        picks = [rng.randrange(n) for _ in range(n)]
        estimates.append(overhead_percent([rounds_a[i] for i in picks],
                                          [rounds_b[i] for i in picks]))
    estimates.sort()
    tail = (1.0 - level) / 2
    return percentile(estimates, tail), percentile(estimates, 1.0 - tail)


def install_stub(workdir: str) -> None:
    stub_dir = os.path.join(workdir, "stub")
    os.mkdir(stub_dir)
    true = shutil.which("true") or "/bin/true"
    os.symlink(true, os.path.join(stub_dir, "tmux"))
    # termloom, the floor and subprocess all look tmux up on this PATH.
    os.environ["PATH"] = stub_dir + os.pathsep + os.environ.get("PATH", "")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=150,
                        help="interleaved rounds (default 150)")
    parser.add_argument("--calls", type=int, default=20,
                        help="calls per method per round (default 20)")
    parser.add_argument("--warmup", type=int, default=20,
                        help="untimed calls of each method first (default 20)")
    parser.add_argument("--resamples", type=int, default=400,
                        help="bootstrap resamples for the interval (default 400)")
    parser.add_argument("--stub-tmux", action="store_true",
                        help="time launching /bin/true as tmux: launch cost only")
    args = parser.parse_args()
    if args.rounds < 1 or args.calls < 1 or args.warmup < 0 or args.resamples < 0:
        parser.error("--rounds and --calls must be at least 1, the rest at least 0")

    try:
        import termloom
    except ImportError as exc:
        sys.exit(f"cannot import termloom ({exc}); install it first, e.g. pip install .")
    real_tmux = shutil.which("tmux")
    if real_tmux is None:
        sys.exit("tmux is not on PATH")

    # Ctrl-C already raises; make a plain kill unwind through `finally` too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))

    tmux = PrivateTmux(real_tmux)
    try:
        exe = compile_floor(tmux.dir)
        tmux.start()
        argv = ["tmux", "-S", tmux.socket, "list-sessions"]
        if not termloom.Server(tmux.socket).is_running:
            raise RuntimeError("the private tmux server isn't answering list-sessions")
        version = subprocess.run([real_tmux, "-V"], capture_output=True,
                                 text=True).stdout.strip()
        if args.stub_tmux:
            install_stub(tmux.dir)

        runners = {
            "termloom": lambda n: time_termloom(termloom, tmux.socket, n),
            "floor": lambda n: time_floor(exe, argv, n),
            "subprocess": lambda n: time_subprocess(argv, n),
        }
        for run in runners.values():
            run(args.warmup)

        print(f"termloom {termloom.__file__}")
        child = "stub tmux (/bin/true)" if args.stub_tmux else version
        print(f"child: {child}; {os.cpu_count()} CPUs; "
              f"{args.rounds} rounds x {args.calls} calls per method")

        per_round: dict[str, list[list[int]]] = {m: [] for m in METHODS}
        # Every order in turn, so no method always follows the same one.
        orders = itertools.cycle(itertools.permutations(METHODS))
        started = time.monotonic()
        # A collection landing in one method's block would be charged to it alone.
        gc.disable()
        try:
            for _ in range(args.rounds):
                for method in next(orders):
                    per_round[method].append(runners[method](args.calls))
        finally:
            gc.enable()
        wall = time.monotonic() - started
    finally:
        tmux.close()

    print()
    print(f"{'per call (us)':<14}{'median':>9}{'p10':>10}{'p90':>10}")
    medians = {}
    for method in METHODS:
        ordered = sorted(itertools.chain.from_iterable(per_round[method]))
        medians[method] = statistics.median(ordered)
        print(f"{method:<14}{fmt_us(medians[method])} {fmt_us(percentile(ordered, 0.1))} "
              f"{fmt_us(percentile(ordered, 0.9))}")

    floor = medians["floor"]
    overhead = overhead_percent(per_round["termloom"], per_round["floor"])
    sub_overhead = overhead_percent(per_round["subprocess"], per_round["floor"])
    print()
    line = (f"termloom over floor:   {overhead:+.1f}% "
            f"({(medians['termloom'] - floor) / 1000:+.1f} us per call")
    if args.resamples and args.rounds > 1:
        lo, hi = bootstrap_interval(per_round["termloom"], per_round["floor"], args.resamples)
        line += f"; 90% interval {lo:+.1f}% .. {hi:+.1f}%"
    print(line + ")")
    print(f"subprocess over floor: {sub_overhead:+.1f}% "
          f"({(medians['subprocess'] - floor) / 1000:+.1f} us per call)")
    print(f"measured in {wall:.1f} s")
    if args.stub_tmux:
        print("(stub child: the goal is about the real call, no verdict)")
        return 0
    verdict = "PASS" if overhead <= GOAL_PERCENT else "FAIL"
    print(f"{verdict}: termloom within {GOAL_PERCENT:g}% of the floor "
          f"(got {overhead:+.1f}%)")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        # The server and folder are already gone: main's `finally` ran.
        print("interrupted", file=sys.stderr)
        sys.exit(130)
