"""What other threads get while termloom waits for tmux.

Three measurements:

  scaling   N threads, each driving its own private tmux server with
            Session.windows calls, against one thread: calls per second.
            With the interpreter lock released while tmux runs, throughput
            grows with the cores.
  ticks     a pure-Python thread counting in a loop, alone and while the main
            thread captures a 100,000-line pane over and over: the share of
            its idle rate that it keeps.
  signals   Ctrl-C latency: SIGINT sent to a child interpreter whose main
            thread (a) waits for a tmux that never exits, (b) reads a tmux
            that keeps writing, (c) sleeps in Python while a worker thread
            waits for a tmux that never exits; from the signal to the
            KeyboardInterrupt, as the child reports it.

    python bench/bench_threads.py [--threads 1,2,4] [--seconds 3] [--signals 10]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time

from common import PrivateTmux, calls_per_second, import_termloom_and_tmux, percentile, run_main


def scaling(termloom, real_tmux, counts: list[int], seconds: float) -> None:
    servers = [PrivateTmux(real_tmux) for _ in range(max(counts))]
    try:
        for server in servers:
            server.start()
        sessions = [termloom.Server(s.socket).sessions[0] for s in servers]
        print(f"{'threads':>8} {'calls/s':>9} {'vs 1 thread':>12}")
        base = None
        for n in counts:
            def lister(session):
                def call() -> None:
                    if not session.windows:
                        raise RuntimeError("no windows listed")
                return call

            rate = calls_per_second([lister(sessions[i]) for i in range(n)], seconds)
            base = base or rate
            print(f"{n:>8} {rate:>9.0f} {rate / base:>11.2f}x")
    finally:
        for server in servers:
            server.close()


def count_for(seconds: float, busy) -> int:
    """Loop iterations a pure-Python thread makes while `busy` runs."""
    stop = threading.Event()
    ticks = [0]

    def tick() -> None:
        n = 0
        while not stop.is_set():
            n += 1
        ticks[0] = n

    ticker = threading.Thread(target=tick)
    ticker.start()
    busy(seconds)
    stop.set()
    ticker.join()
    return ticks[0]


def ticks(termloom, real_tmux, seconds: float) -> None:
    tmux = PrivateTmux(real_tmux)
    try:
        tmux.start()
        tmux.run("set-option", "-g", "history-limit", "110000")
        tmux.run("new-window", "-d", "-t", "=bench", "seq 1 100000; exec cat")
        pane = termloom.Server(tmux.socket).target_pane("=bench:1.0")
        while "100000" not in (pane.capture(trim=True) or ""):
            time.sleep(0.05)
        captures = [0]

        def capturing(duration: float) -> None:
            stop = time.monotonic() + duration
            while time.monotonic() < stop:
                pane.capture(full=True)
                captures[0] += 1

        idle = count_for(seconds, time.sleep)
        busy = count_for(seconds, capturing)
        print(f"pure-Python thread, {seconds:g} s each: {idle:,} ticks idle, {busy:,} ticks during "
              f"{captures[0]} full captures of 100,000 lines = {100 * busy / idle:.0f}% of idle")
    finally:
        tmux.close()


CHILD = textwrap.dedent("""
    import os, sys, threading, time
    import termloom
    case = sys.argv[1]
    if case == "worker":
        threading.Thread(target=lambda: termloom.Server().is_running, daemon=True).start()
    print("ready", flush=True)
    sys.stdin.readline()  # the fake tmux runs by now
    try:
        if case == "worker":
            while True:
                time.sleep(0.01)
        elif case == "streaming":
            termloom.Server().sessions
        else:
            termloom.Server().is_running
    except KeyboardInterrupt:
        print(time.monotonic_ns(), flush=True)
""")

FAKE = {
    "hung": "#!/bin/sh\nexec sleep 60\n",
    "streaming": "#!/bin/sh\nexec yes 0123456789abcdef\n",
}


def signal_latency(runs: int) -> None:
    folder = tempfile.mkdtemp(prefix="tlb", dir="/tmp")
    try:
        measure_signal_latency(folder, runs)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def measure_signal_latency(folder: str, runs: int) -> None:
    env = dict(os.environ, PATH=folder + os.pathsep + os.environ["PATH"])
    print(f"{'Ctrl-C while':<42}{'median':>9}{'p90':>9}{'max':>9}  (ms, {runs} runs)")
    for label, case, fake in [("the main thread waits for a hung tmux", "main", "hung"),
                              ("the main thread reads a streaming tmux", "streaming", "streaming"),
                              ("a worker thread waits for a hung tmux", "worker", "hung")]:
        with open(os.path.join(folder, "tmux"), "w") as f:
            f.write(FAKE[fake])
        os.chmod(os.path.join(folder, "tmux"), 0o755)
        latencies = []
        for _ in range(runs):
            child = subprocess.Popen([sys.executable, "-c", CHILD, case], env=env, text=True,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            try:
                assert child.stdout.readline() == "ready\n"
                child.stdin.write("go\n")
                child.stdin.flush()
                time.sleep(0.3)
                sent = time.monotonic_ns()
                child.send_signal(2)
                seen = int(child.stdout.readline())
                latencies.append((seen - sent) / 1e6)
                child.wait(timeout=10)
            finally:
                child.kill()  # its hung tmux went with the Ctrl-C, or at its exit
        latencies.sort()
        print(f"{label:<42}{statistics.median(latencies):9.1f}{percentile(latencies, 0.9):9.1f}"
              f"{latencies[-1]:9.1f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--threads", default="1,2,4", help="thread counts (default 1,2,4)")
    parser.add_argument("--seconds", type=float, default=3.0,
                        help="length of each timed block (default 3)")
    parser.add_argument("--signals", type=int, default=10, help="Ctrl-C runs per case (default 10)")
    args = parser.parse_args()
    counts = [int(n) for n in args.threads.split(",")]
    if min(counts) < 1 or args.seconds <= 0 or args.signals < 1:
        parser.error("thread counts and --signals must be at least 1, --seconds above 0")

    termloom, real_tmux = import_termloom_and_tmux()
    print(f"termloom {termloom.__file__}; {os.cpu_count()} CPUs; Python {sys.version.split()[0]}")
    print()
    scaling(termloom, real_tmux, counts, args.seconds)
    print()
    ticks(termloom, real_tmux, args.seconds)
    print()
    signal_latency(args.signals)
    return 0


if __name__ == "__main__":
    run_main(main)
