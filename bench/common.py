"""Helpers the timing scripts share: percentiles, the bootstrap interval over
rounds, the private tmux server, and compiling and running spawn_floor.c.

Imported by the scripts in this folder (their folder is first on sys.path).
"""

from __future__ import annotations

import itertools
import os
import random
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path
from typing import Callable

HERE = Path(__file__).resolve().parent

# What spawn_floor's -c accepts, and which streams each one collects.
CAPTURE_STREAMS = {"none": (), "stdout": ("stdout",), "stderr": ("stderr",),
                   "both": ("stdout", "stderr")}


def percentile(sorted_values: list[int] | list[float], fraction: float) -> float:
    """Linear interpolation between the closest ranks."""
    if not sorted_values:
        return float("nan")
    pos = fraction * (len(sorted_values) - 1)
    lo = int(pos)
    hi = min(lo + 1, len(sorted_values) - 1)
    return sorted_values[lo] + (sorted_values[hi] - sorted_values[lo]) * (pos - lo)


def pooled(rounds: list[list[int]]) -> list[int]:
    """Every sample of every round, sorted."""
    return sorted(itertools.chain.from_iterable(rounds))


def overhead_percent(rounds_a: list[list[int]], rounds_b: list[list[int]]) -> float:
    """How much slower a is than b, from the medians of the pooled samples."""
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


def calls_per_second(calls: list[Callable[[], None]], seconds: float) -> float:
    """Each call over and over on a thread of its own for `seconds`: the
    calls per second of all the threads together."""
    done = [0] * len(calls)
    stop = time.monotonic() + seconds

    def drive(i: int) -> None:
        while time.monotonic() < stop:
            calls[i]()
            done[i] += 1

    threads = [threading.Thread(target=drive, args=(i,)) for i in range(len(calls))]
    started = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(done) / (time.monotonic() - started)


def fmt_us(ns: float) -> str:
    return f"{ns / 1000:9.1f}"


def compile_floor(workdir: str) -> str:
    exe = os.path.join(workdir, "spawn_floor")
    cc = os.environ.get("CC", "cc")
    subprocess.run([cc, "-O2", "-o", exe, str(HERE / "spawn_floor.c")], check=True)
    return exe


def run_floor(exe: str, argv: list[str], calls: int, capture: str = "none",
              warmup: int = 2) -> tuple[list[int], tuple[int, ...]]:
    """Times `calls` runs of argv in spawn_floor.

    Returns the nanoseconds of each run and, when a stream is collected, the
    byte count of each collected stream (stdout first) in the last run.
    """
    streams = CAPTURE_STREAMS[capture]
    options = ["-w", str(warmup)]
    if streams:
        options += ["-c", capture, "-b"]
    done = subprocess.run([exe, *options, str(calls), *argv],
                          stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"spawn_floor failed (exit {done.returncode}) running {argv}")
    lines = done.stdout.splitlines()
    sizes: tuple[int, ...] = ()
    if streams:
        if not lines or not lines[-1].startswith("bytes "):
            raise RuntimeError("spawn_floor printed no byte count")
        sizes = tuple(int(word) for word in lines.pop().split()[1:])
        if len(sizes) != len(streams):
            raise RuntimeError(f"spawn_floor printed {len(sizes)} byte counts, wanted {len(streams)}")
    samples = [int(line) for line in lines]
    if len(samples) != calls:
        raise RuntimeError(f"spawn_floor printed {len(samples)} samples, wanted {calls}")
    return samples, sizes


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

    def run(self, *args: str) -> str:
        """One tmux command against this server; its standard output."""
        done = subprocess.run([self.tmux, "-f", "/dev/null", "-S", self.socket, *args],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError(f"tmux {' '.join(args)} failed: {done.stderr.strip()}")
        return done.stdout

    def start(self) -> None:
        # -f /dev/null keeps the user's config out; `cat` idles on the pane.
        self.run("new-session", "-d", "-s", "bench", "cat")

    def version(self) -> str:
        return subprocess.run([self.tmux, "-V"], capture_output=True, text=True).stdout.strip()

    def close(self) -> None:
        if os.path.exists(self.socket):
            subprocess.run(
                [self.tmux, "-S", self.socket, "kill-server"],
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
        shutil.rmtree(self.dir, ignore_errors=True)


def add_round_options(parser, rounds: int, calls: int, warmup: int, what: str) -> None:
    """--rounds, --calls, --warmup and --resamples; `what` names a timed block."""
    parser.add_argument("--rounds", type=int, default=rounds,
                        help=f"interleaved rounds (default {rounds})")
    parser.add_argument("--calls", type=int, default=calls,
                        help=f"calls per {what} per round (default {calls})")
    parser.add_argument("--warmup", type=int, default=warmup,
                        help=f"untimed calls of each {what} first (default {warmup})")
    parser.add_argument("--resamples", type=int, default=400,
                        help="bootstrap resamples for the interval (default 400)")


def check_round_options(parser, args, *others: int) -> None:
    """--rounds and --calls at least 1; the rest, and `others`, at least 0."""
    if args.rounds < 1 or args.calls < 1 or min(args.warmup, args.resamples, *others) < 0:
        parser.error("--rounds and --calls must be at least 1, the rest at least 0")


def import_termloom_and_tmux():
    """The termloom module and the path of the real tmux, or exit saying why."""
    try:
        import termloom
    except ImportError as exc:
        sys.exit(f"cannot import termloom ({exc}); install it first, e.g. pip install .")
    real_tmux = shutil.which("tmux")
    if real_tmux is None:
        sys.exit("tmux is not on PATH")
    # Ctrl-C already raises; make a plain kill unwind through `finally` too.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    return termloom, real_tmux


def run_main(main) -> None:
    """sys.exit(main()), with Ctrl-C reported once the cleanup has run."""
    try:
        sys.exit(main())
    except KeyboardInterrupt:
        # The server and folder are already gone: main's `finally` ran.
        print("interrupted", file=sys.stderr)
        sys.exit(130)
