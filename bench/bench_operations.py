"""Per-call cost of termloom's everyday operations against the C floor.

Each operation is timed two ways, interleaved round by round so that machine
noise lands on both alike:

  termloom  the call on a handle made beforehand, timed with perf_counter_ns
  floor     spawn_floor.c running the same tmux argument vector with the same
            streams collected (-c), timed inside its C loop

Before timing, every operation runs once with a logging stand-in for tmux
first on PATH (it records its arguments, then runs the real tmux), to check
that termloom and the floor run exactly the command line given here; then the
floor's byte counts are checked against what termloom returned, in every round.

Goals: termloom's median at most 3% above the floor's where the output is
small, at most 5% for the two full captures. Prints PASS or FAIL per
operation and exits 0 either way.

Then the peak memory of one full capture of the 100,000-line pane, in a fresh
interpreter, against the size of the text; and the same for
subprocess.run(argv, capture_output=True).stdout.decode().

    python bench/bench_operations.py [--rounds R] [--calls C] [--memory-runs M]
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import statistics
import subprocess
import sys
import time
from dataclasses import dataclass
from typing import Callable

from common import (PrivateTmux, add_round_options, bootstrap_interval, check_round_options,
                    compile_floor, fmt_us, import_termloom_and_tmux, overhead_percent,
                    percentile, pooled, run_floor, run_main)

SMALL_GOAL_PERCENT = 3.0
CAPTURE_GOAL_PERCENT = 5.0
HISTORY_LINES = (20_000, 100_000)
MANY = 30
# A capture this many times the text's size or more is worth a remark.
MEMORY_REMARK_FACTOR = 3.0

WINDOW_FORMAT = "#{window_index}|#{window_name}"
PANE_FORMAT = "#{pane_index}|#{pane_id}|#{pane_title}"
TARGET_PANE_FORMAT = "#{session_name}\t#{window_index}\t#{pane_index}\t#{pane_id}\t#{pane_title}"


@dataclass
class Operation:
    name: str
    call: Callable[[], object]
    argv: list[str]  # what termloom runs; "tmux" is looked up on PATH
    capture: str  # spawn_floor's -c: the streams termloom collects
    sizes: Callable[[object], tuple[int, ...]]  # collected byte counts, from the result
    goal_percent: float
    shape: object = None  # a cheap summary of the result, checked after every call
    collected: tuple[int, ...] = ()  # the byte counts the floor must see every time
    # A look-up that termloom runs before argv (an action acts on the id it
    # found): the floor runs it too, and a call's time is the two together.
    lookup: list[str] | None = None


def shape_of(result) -> object:
    if isinstance(result, (list, str)):
        return len(result)
    if isinstance(result, bool):
        return result
    return getattr(result, "pane_id", None)


def encoded_lines(lines) -> int:
    return sum(len(line.encode()) + 1 for line in lines)


def window_sizes(windows) -> tuple[int]:
    return (encoded_lines(f"{w.index}|{w.name}" for w in windows),)


def pane_sizes(panes) -> tuple[int]:
    return (encoded_lines(f"{p.pane_index}|{p.pane_id}|{p.title}" for p in panes),)


def target_pane_sizes(pane) -> tuple[int, int]:
    line = "\t".join((pane.session_name, str(pane.window_index), str(pane.pane_index),
                      pane.pane_id, pane.title))
    return encoded_lines([line]), 0


def wait_for_history(tmux: PrivateTmux, target: str, lines: int, timeout: float = 120.0):
    """Until the pane has printed all its lines: history plus cursor row."""
    deadline = time.monotonic() + timeout
    while True:
        size, row = tmux.run("display-message", "-p", "-t", target,
                             "#{history_size} #{cursor_y}").split()
        if int(size) + int(row) >= lines:
            return
        if time.monotonic() > deadline:
            raise RuntimeError(f"{target} printed {size}+{row} of {lines} lines in {timeout:g} s")
        time.sleep(0.1)


def prepare(tmux: PrivateTmux) -> None:
    """The sessions, windows and panes the operations run against."""
    tmux.start()  # session "bench": one window, one pane
    tmux.run("new-session", "-d", "-s", "windows30", "cat")
    for _ in range(MANY - 1):
        tmux.run("new-window", "-d", "-t", "=windows30", "cat")
    tmux.run("new-session", "-d", "-s", "panes30", "-x", "250", "-y", "200", "cat")
    for _ in range(MANY - 1):
        tmux.run("split-window", "-d", "-t", "=panes30:0", "cat")
        tmux.run("select-layout", "-t", "=panes30:0", "tiled")
    # Keys sent here go nowhere and change nothing on the screen.
    tmux.run("new-session", "-d", "-s", "keys", "stty raw -echo; exec cat >/dev/null")
    # Only panes made after this keep that much history.
    tmux.run("set-option", "-g", "history-limit", str(max(HISTORY_LINES) + 10_000))
    for lines in HISTORY_LINES:
        tmux.run("new-session", "-d", "-s", f"history{lines}", "-x", "80", "-y", "24",
                 f"seq 1 {lines}; exec cat")
    for lines in HISTORY_LINES:
        wait_for_history(tmux, f"=history{lines}:0.0", lines)


def capture_name(lines: int) -> str:
    return f"Pane.capture ({lines // 1000}k lines)"


def session_filter(name: str) -> str:
    """The filter termloom gives tmux for the session with exactly this name
    (plain names only: no "#", "," or "}")."""
    return "#{==:#{session_name}," + name + "}"


def window_filter(name: str, index: int) -> str:
    return "#{&&:" + session_filter(name) + ",#{==:#{window_index}," + str(index) + "}}"


def operations(termloom, sock: str) -> list[Operation]:
    server = termloom.Server(sock)
    sessions = {s.name: s for s in server.sessions}
    tmux_s = ["tmux", "-S", sock]
    ops = []
    for name, label in (("bench", "1 window"), ("windows30", f"{MANY} windows")):
        ops.append(Operation(f"Session.windows ({label})", lambda s=sessions[name]: s.windows,
                             tmux_s + ["list-windows", "-t", f"={name}", "-f", session_filter(name),
                                       "-F", WINDOW_FORMAT],
                             "stdout", window_sizes, SMALL_GOAL_PERCENT))
    for name, label in (("bench", "1 pane"), ("panes30", f"{MANY} panes")):
        window = server.target_window(f"={name}:0")
        ops.append(Operation(f"Window.panes ({label})", lambda w=window: w.panes,
                             tmux_s + ["list-panes", "-t", f"={name}:0", "-f", window_filter(name, 0),
                                       "-F", PANE_FORMAT],
                             "stdout", pane_sizes, SMALL_GOAL_PERCENT))
    for lines in HISTORY_LINES:
        pane = server.target_pane(f"=history{lines}:0.0")
        ops.append(Operation(capture_name(lines),
                             lambda p=pane: p.capture(full=True),
                             tmux_s + ["capture-pane", "-p", "-t", pane.pane_id, "-S", "-"],
                             "stdout", lambda text: (len(text.encode()),),
                             CAPTURE_GOAL_PERCENT))
    keys = server.target_pane("=keys:0.0")
    ops.append(Operation("Pane.send_keys", lambda p=keys: p.send_keys("x"),
                         tmux_s + ["send-keys", "-t", keys.pane_id, "x"],
                         "stderr", lambda _: (0,), SMALL_GOAL_PERCENT))
    target = "=bench:0.0"
    ops.append(Operation("Server.target_pane", lambda: server.target_pane(target),
                         tmux_s + ["has-session", "-t", target, ";", "display-message", "-p",
                                   "-t", target, TARGET_PANE_FORMAT],
                         "both", target_pane_sizes, SMALL_GOAL_PERCENT))
    return ops


class ArgvLog:
    """A `tmux` first on PATH that records its arguments and runs the real one.

    termloom asks each tmux program its release (`tmux -V`) once, on its
    first run: that query is not one of an operation's runs and is not logged.
    """

    def __init__(self, workdir: str, real_tmux: str) -> None:
        self.dir = os.path.join(workdir, "logging")
        os.mkdir(self.dir)
        self.log = os.path.join(self.dir, "argv.jsonl")
        script = os.path.join(self.dir, "tmux")
        with open(script, "w") as f:
            f.write(f"#!{sys.executable}\n"
                    "import json, os, sys\n"
                    "if sys.argv[1:] != ['-V']:\n"
                    f"    with open({self.log!r}, 'a') as log:\n"
                    "        log.write(json.dumps(sys.argv[1:]) + '\\n')\n"
                    f"os.execv({real_tmux!r}, ['tmux'] + sys.argv[1:])\n")
        os.chmod(script, 0o755)

    def argvs_of(self, action: Callable[[], object]) -> list[list[str]]:
        """The argument vectors (without the program) of the tmux runs `action` made."""
        open(self.log, "w").close()
        path = os.environ.get("PATH", "")
        os.environ["PATH"] = self.dir + os.pathsep + path
        try:
            action()
        finally:
            os.environ["PATH"] = path
        with open(self.log) as f:
            return [json.loads(line) for line in f]


def verify(op: Operation, exe: str, argv_log: ArgvLog, reset: Callable[[], None] = lambda: None) -> None:
    """termloom and the floor run op.argv, and collect the same byte counts.

    `reset` runs before each run, for an operation that changes what the next
    one prints.
    """
    wanted = ([op.lookup[1:]] if op.lookup else []) + [op.argv[1:]]

    def floor_once():
        if op.lookup:
            run_floor(exe, op.lookup, 1, "stdout", warmup=0)
        run_floor(exe, op.argv, 1, op.capture, warmup=0)

    for who, action in (("termloom", op.call), ("the floor", floor_once)):
        reset()
        seen = argv_log.argvs_of(action)
        if seen != wanted:
            raise RuntimeError(f"{op.name}: {who} ran {seen}, expected {wanted}")
    reset()
    result = op.call()
    op.shape = shape_of(result)
    op.collected = op.sizes(result)
    reset()
    time_floor(op, exe, 1)


def time_termloom(op: Operation, calls: int) -> list[int]:
    call = op.call
    clock = time.perf_counter_ns
    out = []
    for _ in range(calls):
        start = clock()
        result = call()
        out.append(clock() - start)
        if shape_of(result) != op.shape:
            raise RuntimeError(f"{op.name} returned {result!r} mid-benchmark")
        result = None  # freed here, not inside the next timed call
    return out


def time_floor(op: Operation, exe: str, calls: int) -> list[int]:
    samples, sizes = run_floor(exe, op.argv, calls, op.capture)
    if sizes != op.collected:
        raise RuntimeError(f"{op.name}: the floor collected {sizes} bytes, "
                           f"termloom's result implies {op.collected}")
    if op.lookup:
        looked, _ = run_floor(exe, op.lookup, calls, "stdout")
        samples = [a + b for a, b in zip(samples, looked)]
    return samples


def time_rounds(ops: list[Operation], exe: str, rounds: int, calls: int,
                resets: dict[str, Callable[[], None]] | None = None,
                after_round: Callable[[], None] = lambda: None) -> dict:
    """The samples of each operation and method, round by round:
    {name: {"termloom": [[ns, ...], ...], "floor": [...]}}.

    `resets` runs before each block of the operation it names (untimed);
    `after_round` at the end of every round.
    """
    resets = resets or {}
    per_round = {op.name: {"termloom": [], "floor": []} for op in ops}
    # A collection landing in one method's block would be charged to it alone.
    gc.disable()
    try:
        for r in range(rounds):
            # Rotate the operations and alternate which method goes first,
            # so that neither always follows the same neighbour.
            for k in range(len(ops)):
                op = ops[(r + k) % len(ops)]
                blocks = [("termloom", lambda: time_termloom(op, calls)),
                          ("floor", lambda: time_floor(op, exe, calls))]
                if (r + k) % 2:
                    blocks.reverse()
                for method, block in blocks:
                    resets.get(op.name, lambda: None)()
                    per_round[op.name][method].append(block())
            after_round()
    finally:
        gc.enable()
    return per_round


# Each probe prints ru_maxrss (KiB) and the kernel's exact VmHWM (KiB) before
# and after the capture, then the text's size in bytes.
PEAKS = """
import resource
def peaks():
    with open("/proc/self/status") as status:
        hwm = next(int(line.split()[1]) for line in status if line.startswith("VmHWM:"))
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss, hwm
"""

TERMLOOM_PEAK = PEAKS + """
import sys, termloom
pane = termloom.Server(sys.argv[1]).target_pane(sys.argv[2])
pane.capture()  # warm-up: the visible screen only
before = peaks()
text = pane.capture(full=True)
after = peaks()
print(*before, *after, len(text.encode()))
"""

SUBPROCESS_PEAK = PEAKS + """
import json, subprocess, sys
argv = json.loads(sys.argv[1])
subprocess.run(argv[:-2], capture_output=True).stdout.decode()  # warm-up: the visible screen
before = peaks()
text = subprocess.run(argv, capture_output=True).stdout.decode()
after = peaks()
print(*before, *after, len(text.encode()))
"""

# A process starts with the ru_maxrss of the image it was exec'd from: a
# child of this script would start at this script's size and hide the
# capture under it. A shell that forks first gives the probe a small start.
VIA_SMALL_PARENT = ["sh", "-c", '"$@"; exit $?', "sh"]


def peak_increase(code: str, *args: str) -> tuple[int, int, int]:
    """(ru_maxrss increase, VmHWM increase, text size), all in bytes, from a
    fresh interpreter."""
    done = subprocess.run([*VIA_SMALL_PARENT, sys.executable, "-c", code, *args],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"memory probe failed: {done.stderr.strip()}")
    rss0, hwm0, rss1, hwm1, size = (int(word) for word in done.stdout.split())
    return (rss1 - rss0) * 1024, (hwm1 - hwm0) * 1024, size


def measure_memory(sock: str, target: str, argv: list[str],
                   runs: int) -> dict[str, list[tuple[int, int, int]]]:
    """Each way's (increase, text bytes) in `runs` fresh processes, alternating."""
    probes = {"termloom": (TERMLOOM_PEAK, sock, target),
              "subprocess": (SUBPROCESS_PEAK, json.dumps(argv))}
    results: dict[str, list[tuple[int, int, int]]] = {name: [] for name in probes}
    for _ in range(runs):
        for name, (code, *args) in probes.items():
            results[name].append(peak_increase(code, *args))
    return results


def report_timing(ops: list[Operation], per_round, resamples: int) -> None:
    print(f"{'per call (us)':<30}{'method':<10}{'median':>9}{'p10':>10}{'p90':>10}")
    for op in ops:
        for method in ("floor", "termloom"):
            ordered = pooled(per_round[op.name][method])
            label = op.name if method == "floor" else ""
            print(f"{label:<30}{method:<10}{fmt_us(statistics.median(ordered))} "
                  f"{fmt_us(percentile(ordered, 0.1))} {fmt_us(percentile(ordered, 0.9))}")
    print()
    print(f"{'termloom over floor':<30}{'overhead':>9}{'per call':>12}"
          f"{'90% interval':>22}{'goal':>8}  verdict")
    for op in ops:
        rounds = per_round[op.name]
        overhead = overhead_percent(rounds["termloom"], rounds["floor"])
        delta = (statistics.median(pooled(rounds["termloom"]))
                 - statistics.median(pooled(rounds["floor"])))
        interval = ""
        if resamples and len(rounds["floor"]) > 1:
            lo, hi = bootstrap_interval(rounds["termloom"], rounds["floor"], resamples)
            interval = f"{lo:+.1f}% .. {hi:+.1f}%"
        verdict = "PASS" if overhead <= op.goal_percent else "FAIL"
        print(f"{op.name:<30}{overhead:+8.1f}%{delta / 1000:+9.1f} us{interval:>22}"
              f"{'+' + format(op.goal_percent, 'g') + '%':>8}  {verdict}")


def report_memory(results: dict[str, list[tuple[int, int, int]]]) -> None:
    runs = len(results["termloom"])
    print()
    print(f"peak memory of one full capture: a fresh process each, median (min .. max) of {runs}")
    print(f"{'':<12}{'text bytes':>11}   {'ru_maxrss increase':<32}{'VmHWM increase'}")
    for name, samples in results.items():
        size = samples[0][2]
        if any(s != size for _, _, s in samples):
            raise RuntimeError(f"{name}: the text's size changed between runs")
        line = f"{name:<12}{size:>11}   "
        factors = []
        for column in (0, 1):
            values = sorted(sample[column] for sample in samples)
            factors.append(statistics.median(values) / size)
            line += (f"{statistics.median(values):>8.0f} = {factors[-1]:.2f}x "
                     f"({values[0] / size:.2f} .. {values[-1] / size:.2f})").ljust(32)
        print(line.rstrip())
        if factors[0] > MEMORY_REMARK_FACTOR:
            print(f"  note: {name} peaks above {MEMORY_REMARK_FACTOR:g}x the text's size")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_round_options(parser, rounds=100, calls=10, warmup=5, what="operation and method")
    parser.add_argument("--memory-runs", type=int, default=5,
                        help="fresh processes per way of capturing (default 5; 0 skips)")
    args = parser.parse_args()
    check_round_options(parser, args, args.memory_runs)

    termloom, real_tmux = import_termloom_and_tmux()
    tmux = PrivateTmux(real_tmux)
    try:
        exe = compile_floor(tmux.dir)
        argv_log = ArgvLog(tmux.dir, real_tmux)
        prepare(tmux)
        ops = operations(termloom, tmux.socket)
        for op in ops:
            verify(op, exe, argv_log)

        print(f"termloom {termloom.__file__}")
        print(f"child: {tmux.version()}; {os.cpu_count()} CPUs; load {os.getloadavg()[0]:.2f}; "
              f"{args.rounds} rounds x {args.calls} calls per operation and method")
        for op in ops:
            time_termloom(op, args.warmup)
            time_floor(op, exe, args.warmup)

        started = time.monotonic()
        per_round = time_rounds(ops, exe, args.rounds, args.calls)
        wall = time.monotonic() - started
        load_after = os.getloadavg()[0]

        memory = {}
        if args.memory_runs:
            lines = max(HISTORY_LINES)
            capture = next(op for op in ops if op.name == capture_name(lines))
            memory = measure_memory(tmux.socket, f"=history{lines}:0.0", capture.argv,
                                    args.memory_runs)
    finally:
        tmux.close()

    print()
    report_timing(ops, per_round, args.resamples)
    print(f"measured in {wall:.1f} s; load average at the end {load_after:.2f}")
    if memory:
        report_memory(memory)
    return 0


if __name__ == "__main__":
    run_main(main)
