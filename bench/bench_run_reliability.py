"""Reliability of Pane.run: many consecutive runs of a hostile mix of
commands, on bash, dash, zsh, ksh93, mksh, busybox sh and posh, under prompts
that clear the screen and span lines, while two busy processes load the
machine; counts wrong results and hangs, and times run("true") end to end,
the completion after the command ends, and the tmux runs per run.

Each command's output and status are known by construction: statuses 0 to
255, outputs of 0 to 2,000 lines, a 300-character line, output without a
final line feed, output that looks like the bookkeeping lines, non-ASCII
text, blank lines, several lines of command, a here-document, a comment,
cd, a clear of the screen and history, the cursor moved above the command's
first line and to the top of the screen, a progress bar redrawing its lines,
a scrolling region, a full-screen program entered and left, commands of 5 KB
and 50 KB, half-typed text left on the command line, and two threads running
on the one pane. Each shell's prompt is three lines that clear the screen
(bash: also a PROMPT_COMMAND that prints). A result is wrong when its output
or status differs, or when run raised; a hang is a run that reached its 60 s
limit.

With --costs only the costs are measured, without the hostile prompts: that
part also runs against an older termloom (run it with that one's Python).

    python bench/bench_run_reliability.py [--runs N] [--shells bash,dash,...] [--seed S] [--costs]
"""

from __future__ import annotations

import argparse
import concurrent.futures
import os
import random
import re
import shutil
import subprocess
import sys
import time

from common import PrivateTmux, import_termloom_and_tmux, percentile, run_main

ENV = "env -i PATH=/usr/bin:/bin HOME=/tmp TERM=screen PS1='$ '"
SHELLS = {
    "bash": f"{ENV} bash --norc --noprofile",
    "dash": f"{ENV} dash",
    "zsh": f"{ENV} LANG=C.UTF-8 zsh -f",
    "ksh": f"{ENV} ksh",
    "mksh": f"{ENV} mksh",
    "busybox": f"{ENV} busybox sh",
    "posh": f"{ENV} posh",
}
# Three lines, the screen cleared first: the end of a run is never read off it.
HOSTILE_PS1 = """PS1="$(printf '\\033[2J\\033[Hline one\\nline two\\n$ ')" """
HOSTILE_BASH = "PROMPT_COMMAND='seq 3'"
KINDS = 25
COMPLETION_RUNS = 200
TRUE_RUNS = 100
HISTORY_LIMIT = 5000  # more than the longest output, its lines and the screen


def lines(*items: str) -> str:
    return "\n".join(items)


def command_for(rng: random.Random) -> tuple[str, str, int]:
    """A command, the output and the status it must give."""
    kind = rng.randrange(KINDS)
    if kind == 0:
        n = rng.randrange(256)
        return f"(exit {n})", "", n
    if kind == 1:
        k = rng.choice([0, 1, 2, rng.randrange(3, 100), rng.randrange(100, 2001), 2000])
        return f"seq 1 {k}", lines(*(str(i) for i in range(1, k + 1))), 0
    if kind == 2:
        return "printf '%0300d\\n' 0", "0" * 300, 0
    if kind == 3:
        word = rng.choice(["abc", "x", "no final line feed", "é"])
        return f"printf '%s' '{word}'", word, 0
    if kind == 4:
        token = "".join(rng.choice("0123456789abcdef") for _ in range(16))
        return (f"printf 'tl%s+\\ntl%s=0\\n' {token} {token}; echo '$ '",
                lines(f"tl{token}+", f"tl{token}=0", "$ "), 0)
    if kind == 5:
        return "echo 'é€😀 ü ß 漢字'", "é€😀 ü ß 漢字", 0
    if kind == 6:
        n = rng.randrange(1, 6)
        return f"for i in $(seq 1 {n})\ndo\n  echo \"n=$i\"\ndone", lines(*(f"n={i}" for i in range(1, n + 1))), 0
    if kind == 7:
        where = rng.choice(["/tmp", "/", "/usr"])
        return f"cd {where} && pwd", where, 0
    if kind == 8:
        n = rng.randrange(1, 256)
        return f"echo out; (exit {n})", "out", n
    if kind == 9:
        return "cat <<'EOF'\na $b `c`\nEOF", "a $b `c`", 0
    if kind == 10:
        return "echo x # y; echo z", "x", 0
    if kind == 11:
        return "echo 'a;b' \"c&&d\" | cat", "a;b c&&d", 0
    if kind == 12:
        return ":", "", 0
    if kind == 14:
        return "clear; echo cleared", "cleared", 0
    if kind == 15:
        return "tput cup 0 0; echo top", "top", 0
    if kind == 16:
        size = rng.choice([5_000, 50_000])
        return "echo " + "k" * size, "k" * size, 0
    if kind == 17:
        body = [f"{i} " + "h" * 70 for i in range(rng.randrange(1, 300))]
        return "cat <<'EOF'\n" + "\n".join(body) + "\nEOF", "\n".join(body), 0
    if kind == 18:
        return "HALF-TYPED", "half", 0
    if kind == 19:
        return "TWO-THREADS", "", 0
    if kind == 20:
        return "printf 'a\\nb\\nc\\n\\033[2A\\rB\\n\\n'", "a\nB\nc", 0  # a progress bar redraws
    if kind == 21:
        return "printf '\\033[1;3r'; seq 1 5; printf '\\033[r'", "1\n2\n3\n4\n5", 0
    if kind == 22:
        return "printf '\\033[5A'; echo up", "up", 0
    if kind == 23:
        return "printf '\\033[?1049h\\033[2J\\033[Hdrawn\\033[?1049l'; echo back", "back", 0
    if kind == 24:
        return "printf '\\033[?1049h'; sleep 0.01; printf '\\033[?1049l'; (exit 3)", "", 3
    return "printf '\\n\\nx\\n\\n'", "\n\nx\n", 0


def special(pane, command: str):
    """Runs the cases that need more than one call; returns (output, status)."""
    if command == "HALF-TYPED":
        pane.send_text("ec")
        pane.wait_for("ec")
        result = pane.run("echo half", timeout=60)
        return result.output, result.status
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        got = list(pool.map(lambda i: pane.run(f"echo t{i}", timeout=60).output, range(4)))
    return ("" if got == [f"t{i}" for i in range(4)] else repr(got)), 0


def start_pane(termloom, tmux: PrivateTmux, shell: str, hostile: bool):
    name = f"{shell}-{'h' if hostile else 'p'}"
    tmux.run("new-session", "-d", "-s", name, "-x", "120", "-y", "30", SHELLS[shell])
    pane = termloom.Server(tmux.socket).target_pane(f"={name}:0.0")
    pane.wait_for(re.compile(r"^[$#]", re.M))  # mksh keeps its own prompt for root
    if hostile:
        pane.run(HOSTILE_PS1 + (f"; {HOSTILE_BASH}" if shell == "bash" else ""), timeout=60)
    return pane


def reliability(termloom, tmux: PrivateTmux, shell: str, runs: int, rng: random.Random):
    pane = start_pane(termloom, tmux, shell, hostile=True)
    wrong = []
    hangs = 0
    started = time.monotonic()
    for i in range(runs):
        command, output, status = command_for(rng)
        try:
            if command in ("HALF-TYPED", "TWO-THREADS"):
                got = special(pane, command)
            else:
                result = pane.run(command, timeout=60)
                got = (result.output, result.status)
        except TimeoutError as exc:
            hangs += 1
            got = (f"TimeoutError: {exc}", None)
        except Exception as exc:  # noqa: BLE001 - every failure counts as a wrong result
            got = (f"{type(exc).__name__}: {exc}", None)
        if got != (output, status):
            wrong.append((i, command, (output or "", status), got))
    return wrong, hangs, time.monotonic() - started


def costs(termloom, tmux: PrivateTmux, shell: str, counted: str):
    """run("true") end to end (p50), the completion after the command ends
    (p50, p95: from the time it printed to run's return), and the tmux runs
    of one run("true")."""
    pane = start_pane(termloom, tmux, shell, hostile=False)
    times = []
    for _ in range(TRUE_RUNS):
        begin = time.perf_counter()
        pane.run("true")
        times.append((time.perf_counter() - begin) * 1e3)
    completion = []
    for _ in range(COMPLETION_RUNS):
        result = pane.run("date +%s%N")
        returned = time.time_ns()
        completion.append((returned - int(result.output)) / 1e6)
    open(counted, "w").close()
    for _ in range(20):
        pane.run("true")
    with open(counted) as f:
        per_run = len(f.readlines()) / 20
    times.sort()
    completion.sort()
    return percentile(times, 0.5), percentile(completion, 0.5), percentile(completion, 0.95), per_run


def counting_tmux(folder: str, real: str) -> tuple[str, str]:
    """A tmux first on PATH that notes every run, then runs the real one."""
    os.makedirs(os.path.join(folder, "bin"), exist_ok=True)
    log = os.path.join(folder, "tmux-runs")
    wrapper = os.path.join(folder, "bin", "tmux")
    with open(wrapper, "w") as f:
        f.write(f"#!/bin/sh\necho x >> {log}\nexec {real} \"$@\"\n")
    os.chmod(wrapper, 0o755)
    return os.path.join(folder, "bin"), log


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=1000)
    parser.add_argument("--shells", default=",".join(SHELLS))
    parser.add_argument("--seed", type=int, default=10)
    parser.add_argument("--costs", action="store_true", help="only the costs, no hostile mix")
    args = parser.parse_args()
    termloom, real_tmux = import_termloom_and_tmux()
    tmux = PrivateTmux(real_tmux)
    bin_folder, counted = counting_tmux(tmux.dir, real_tmux)
    os.environ["PATH"] = bin_folder + os.pathsep + os.environ["PATH"]
    busy = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(2)]
    try:
        tmux.run("new-session", "-d", "-s", "keep", ";", "set-option", "-g", "history-limit",
                 str(HISTORY_LIMIT))
        print(f"{tmux.version()}, two busy processes, {args.runs} runs per shell")
        for shell in args.shells.split(","):
            if shutil.which(shell) is None:
                print(f"{shell:7} not installed")
                continue
            true_p50, done_p50, done_p95, per_run = costs(termloom, tmux, shell, counted)
            line = (f'{shell:7} run("true") p50 {true_p50:.2f} ms; completion p50 {done_p50:.2f} '
                    f"ms, p95 {done_p95:.2f} ms; {per_run:.1f} tmux runs per run")
            if args.costs:
                print(line)
                continue
            wrong, hangs, took = reliability(termloom, tmux, shell, args.runs, random.Random(args.seed))
            print(f"{line}\n{'':7} {len(wrong)} wrong ({hangs} hangs) of {args.runs} in {took:.1f} s")
            for i, command, want, got in wrong[:5]:
                print(f"   run {i}: {command[:80]!r}: wanted status {want[1]} and {len(want[0])} characters, "
                      f"got status {got[1]} and {str(got[0])[:300]!r}")
    finally:
        for process in busy:
            process.kill()
            process.wait()
        tmux.close()
    return 0


if __name__ == "__main__":
    run_main(main)
