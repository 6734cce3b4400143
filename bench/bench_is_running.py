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
import shutil
import statistics
import subprocess
import time

from common import (PrivateTmux, add_round_options, bootstrap_interval, check_round_options,
                    compile_floor, fmt_us, import_termloom_and_tmux, overhead_percent,
                    percentile, pooled, run_floor, run_main)

GOAL_PERCENT = 3.0
METHODS = ("termloom", "floor", "subprocess")


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


def install_stub(workdir: str) -> None:
    stub_dir = os.path.join(workdir, "stub")
    os.mkdir(stub_dir)
    true = shutil.which("true") or "/bin/true"
    os.symlink(true, os.path.join(stub_dir, "tmux"))
    # termloom, the floor and subprocess all look tmux up on this PATH.
    os.environ["PATH"] = stub_dir + os.pathsep + os.environ.get("PATH", "")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_round_options(parser, rounds=150, calls=20, warmup=20, what="method")
    parser.add_argument("--stub-tmux", action="store_true",
                        help="time launching /bin/true as tmux: launch cost only")
    args = parser.parse_args()
    check_round_options(parser, args)

    termloom, real_tmux = import_termloom_and_tmux()
    tmux = PrivateTmux(real_tmux)
    try:
        exe = compile_floor(tmux.dir)
        tmux.start()
        argv = ["tmux", "-S", tmux.socket, "list-sessions"]
        if not termloom.Server(tmux.socket).is_running:
            raise RuntimeError("the private tmux server isn't answering list-sessions")
        version = tmux.version()
        if args.stub_tmux:
            install_stub(tmux.dir)

        runners = {
            "termloom": lambda n: time_termloom(termloom, tmux.socket, n),
            "floor": lambda n: run_floor(exe, argv, n)[0],
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
        ordered = pooled(per_round[method])
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
    run_main(main)
