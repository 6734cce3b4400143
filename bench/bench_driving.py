"""Latency and cost of the waits: Pane.wait_for, an unchanged screen, Pane.run.

One private tmux server; the measurements run one after the other:

  wait_for latency  a program in the pane prints a line at a random moment
                    20-200 ms after the wait began (so the wait has slowed
                    its looking down); the time from that program's write,
                    read from the same monotonic clock, to wait_for's return
  unchanged screen  CPU of this process, its tmux children and the tmux
                    server while wait_for waits 10 s on a screen that does
                    not change, as % of one core
  run completion    run("date +%s%N"): from the time the command printed
                    (the end of the command, to a few µs) to run's return
  run("true")       end to end, against what a user writes today: two
                    send_keys (the command, then an echo of a marker whose
                    typed form differs) and capture() every 10 ms until the
                    marker line appears once more; interleaved

Targets: wait_for p50 <= 10 ms, p95 <= 30 ms; unchanged screen <= 5% of a
core; run completion p50 <= 10 ms. Prints PASS or FAIL per target, exits 0.

    python bench/bench_driving.py [--waits N] [--runs N] [--quiet-seconds S]
"""

from __future__ import annotations

import argparse
import os
import random
import re
import resource
import sys
import threading
import time

from common import PrivateTmux, import_termloom_and_tmux, percentile, run_main

BASH = "env -i PATH=/usr/bin:/bin HOME=/tmp TERM=screen PS1='$ ' HISTFILE=/dev/null bash --norc --noprofile"

# The screen just after `clear`: the prompt alone on the first line.
PRINTED_PROMPT_ONLY = re.compile(r"\A\$ ?\n\n")

# Reads a line from the pipe and prints it with the time it prints it.
PRINTER = (
    "import os, sys, time\n"
    "print('ready', flush=True)\n"
    "fifo = open(sys.argv[1])\n"
    "for line in fifo:\n"
    "    sys.stdout.write(f'{line.strip()} {time.monotonic_ns()}\\n'); sys.stdout.flush()\n"
)


def cpu_seconds_of(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def own_cpu_seconds() -> float:
    mine = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return mine.ru_utime + mine.ru_stime + children.ru_utime + children.ru_stime


def wait_for_latency(termloom, tmux: PrivateTmux, waits: int) -> list[float]:
    fifo = os.path.join(tmux.dir, "fifo")
    script = os.path.join(tmux.dir, "printer.py")
    os.mkfifo(fifo)
    with open(script, "w") as f:
        f.write(PRINTER)
    tmux.run("new-session", "-d", "-s", "printer", f"{sys.executable} {script} {fifo}")
    pane = termloom.Server(tmux.socket).target_pane("=printer:0.0")
    pane.wait_for("ready")
    writer = open(fifo, "w")
    rng = random.Random(7)
    samples = []
    try:
        for i in range(waits):
            token = f"line{i:04d}x"
            timer = threading.Timer(rng.uniform(0.02, 0.2), lambda t=token: (writer.write(t + "\n"),
                                                                             writer.flush()))
            timer.start()
            screen = pane.wait_for(token, timeout=10)
            returned = time.monotonic_ns()
            timer.join()
            line = next(l for l in screen.text.split("\n") if l.startswith(token + " "))
            samples.append((returned - int(line.split()[1])) / 1e6)
    finally:
        writer.close()
    return samples


def unchanged_cpu(termloom, tmux: PrivateTmux, seconds: float, server_pid: int) -> float:
    tmux.run("new-session", "-d", "-s", "still", "cat")
    pane = termloom.Server(tmux.socket).target_pane("=still:0.0")
    before_own, before_server = own_cpu_seconds(), cpu_seconds_of(server_pid)
    started = time.monotonic()
    try:
        pane.wait_for("never shown", timeout=seconds)
    except TimeoutError:
        pass
    elapsed = time.monotonic() - started
    used = own_cpu_seconds() - before_own + cpu_seconds_of(server_pid) - before_server
    return 100.0 * used / elapsed


def run_latencies(termloom, tmux: PrivateTmux, runs: int):
    tmux.run("new-session", "-d", "-s", "shell", "-x", "120", "-y", "30", BASH)
    pane = termloom.Server(tmux.socket).target_pane("=shell:0.0")
    pane.wait_for("$")
    completion, ours, theirs = [], [], []
    marker_count = lambda: (pane.capture() or "").split("\n").count("END2")
    for _ in range(runs):
        result = pane.run("date +%s%N")
        returned = time.time_ns()
        completion.append((returned - int(result.output)) / 1e6)
        # Interleaved: ours, then the hand-written way.
        start = time.perf_counter()
        pane.run("true")
        ours.append((time.perf_counter() - start) * 1e3)
        pane.send_keys("clear", enter=True)  # keeps the marker count on one screen
        pane.wait_for(PRINTED_PROMPT_ONLY)
        start = time.perf_counter()
        before = marker_count()
        pane.send_keys("true", enter=True)
        pane.send_keys("echo END$((1+1))", enter=True)
        while marker_count() <= before:
            time.sleep(0.01)
        theirs.append((time.perf_counter() - start) * 1e3)
    return completion, ours, theirs




def report(name: str, samples: list[float], p50_goal: float | None = None,
           p95_goal: float | None = None) -> None:
    s = sorted(samples)
    p50, p95 = percentile(s, 0.5), percentile(s, 0.95)
    verdict = ""
    if p50_goal is not None:
        ok = p50 <= p50_goal and (p95_goal is None or p95 <= p95_goal)
        verdict = "PASS" if ok else "FAIL"
    print(f"{name:34} n={len(s):4}  p50 {p50:7.2f} ms  p95 {p95:7.2f} ms  max {s[-1]:7.2f} ms  {verdict}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--waits", type=int, default=200)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--quiet-seconds", type=float, default=10.0)
    args = parser.parse_args()
    termloom, real_tmux = import_termloom_and_tmux()
    tmux = PrivateTmux(real_tmux)
    try:
        tmux.start()
        server_pid = int(tmux.run("display-message", "-p", "#{pid}").strip())
        print(f"{tmux.version()}, {os.cpu_count()} CPUs, load {os.getloadavg()[0]:.2f}")
        report("wait_for latency", wait_for_latency(termloom, tmux, args.waits), 10.0, 30.0)
        cpu = unchanged_cpu(termloom, tmux, args.quiet_seconds, server_pid)
        print(f"{'unchanged screen, ' + format(args.quiet_seconds, 'g') + ' s':34} "
              f"CPU {cpu:5.2f}% of a core  {'PASS' if cpu <= 5.0 else 'FAIL'}")
        completion, ours, theirs = run_latencies(termloom, tmux, args.runs)
        report("run completion (after the end)", completion, 10.0)
        report('run("true") end to end', ours)
        report("send_keys x2 + capture every 10 ms", theirs)
    finally:
        tmux.close()
    return 0


if __name__ == "__main__":
    run_main(main)
