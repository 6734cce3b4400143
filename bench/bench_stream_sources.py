"""Where a pane's output stream can come from: a pipe-pane into a FIFO, or a
control-mode client's %output, side by side on the same pane.

The pane's program prints the time (ns) whenever it is asked to; each
source's reader notes when the line reaches it. Reported per tmux release:
the latency from the write to each reader (p50, p95), what each source
shows in the user's session (#{session_attached}), and how often each one
gets the last line of a program that ends right after printing it (the
pane kept dead by remain-on-exit, or closed), and how often closing a pipe
while the pane prints loses what tmux had read for it.

    python bench/bench_stream_sources.py [--samples N] [--endings N] [--closes N] [--tmux PATH ...]
"""

from __future__ import annotations

import argparse
import os
import re
import select
import subprocess
import sys
import tempfile
import time

from common import percentile, run_main

PRINTER = ("import os, sys, time\n"
           "fifo = sys.argv[1]\n"
           "while True:\n"
           "    with open(fifo) as f:\n"
           "        f.read()\n"
           "    sys.stdout.write('t%d\\n' % time.time_ns()); sys.stdout.flush()\n")
STAMP = re.compile(rb"t(\d{19})")


def tmux_runner(tmux: str, socket: str):
    """Runs tmux on the socket; its standard output."""
    return lambda *a: subprocess.run([tmux, "-S", socket, *a], capture_output=True, text=True,
                                     check=True).stdout


def attach_control_client(tmux: str, socket: str) -> subprocess.Popen:
    """A control-mode client attached to session "s", given a moment to attach."""
    control = subprocess.Popen([tmux, "-S", socket, "-C", "attach", "-t", "s"], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE)
    time.sleep(0.3)
    return control


def end_control_client(control: subprocess.Popen) -> None:
    control.stdin.close()
    control.kill()
    control.wait()


def measure(tmux: str, samples: int) -> str:
    folder = tempfile.mkdtemp(prefix="tlb", dir="/tmp")
    socket, trigger, piped = (os.path.join(folder, n) for n in ("s", "trigger", "piped"))
    os.mkfifo(trigger)
    os.mkfifo(piped)
    run = tmux_runner(tmux, socket)
    try:
        run("-f", "/dev/null", "new-session", "-d", "-s", "s", "-x", "80", "-y", "24",
            f"{sys.executable} -c \"{PRINTER}\" {trigger}")
        pipe_fd = os.open(piped, os.O_RDONLY | os.O_NONBLOCK)
        run("pipe-pane", "-O", "-t", "s", f"exec cat >{piped}")
        control = attach_control_client(tmux, socket)
        attached = run("display-message", "-p", "-t", "s", "#{session_attached}").strip()
        lat = {"pipe-pane": [], "control mode": []}
        os.set_blocking(control.stdout.fileno(), False)
        buffers = {pipe_fd: b"", control.stdout.fileno(): b""}
        names = {pipe_fd: "pipe-pane", control.stdout.fileno(): "control mode"}
        for _ in range(samples):
            with open(trigger, "w") as f:
                f.write("x")
            got = set()
            deadline = time.monotonic() + 5
            while len(got) < 2 and time.monotonic() < deadline:
                ready, _, _ = select.select(list(buffers), [], [], 1)
                now = time.time_ns()
                for fd in ready:
                    chunk = os.read(fd, 65536)
                    buffers[fd] += chunk
                    found = STAMP.search(buffers[fd])
                    if found and fd not in got:
                        lat[names[fd]].append((now - int(found.group(1))) / 1e6)
                        got.add(fd)
                        buffers[fd] = buffers[fd][found.end():]
            time.sleep(0.005)
        end_control_client(control)
        os.close(pipe_fd)
        version = subprocess.run([tmux, "-V"], capture_output=True, text=True).stdout.strip()
        lines = [f"{version}: session_attached with the control client: {attached} (0 without)"]
        for name, values in lat.items():
            values.sort()
            lines.append(f"  {name:13} p50 {percentile(values, 0.5):.3f} ms, p95 {percentile(values, 0.95):.3f} ms "
                         f"({len(values)} samples)")
        return "\n".join(lines)
    finally:
        subprocess.run([tmux, "-S", socket, "kill-server"], capture_output=True)


def last_words(tmux: str, rounds: int, keep: bool) -> str:
    """How many of `rounds` programs' last lines each source got."""
    got = {"pipe-pane": 0, "control mode": 0}
    for _ in range(rounds):
        folder = tempfile.mkdtemp(prefix="tlb", dir="/tmp")
        socket, piped = os.path.join(folder, "s"), os.path.join(folder, "piped")
        run = tmux_runner(tmux, socket)
        try:
            run("-f", "/dev/null", "new-session", "-d", "-s", "s", "-x", "80", "-y", "24")
            run("set-option", "-g", "remain-on-exit", "on" if keep else "off")
            control = attach_control_client(tmux, socket)
            pane = run("split-window", "-P", "-F", "#{pane_id}", "-t", "s",
                       "sleep 0.3; echo last words").strip()
            run("pipe-pane", "-O", "-t", pane, f"exec cat >{piped}")
            time.sleep(1.0)
            os.set_blocking(control.stdout.fileno(), False)
            got["control mode"] += f"%output {pane} last words".encode() in (control.stdout.read() or b"")
            with open(piped, "rb") as f:
                got["pipe-pane"] += b"last words" in f.read()
            end_control_client(control)
        finally:
            subprocess.run([tmux, "-S", socket, "kill-server"], capture_output=True)
    how = "kept dead" if keep else "closed"
    return f"  last line of an ending program ({how}): " + ", ".join(
        f"{name} {count} of {rounds}" for name, count in got.items())


def closes(tmux: str, rounds: int) -> str:
    """How many of `rounds` pipe closes lost output: a pane prints a counter
    without pause, and a pipe is closed in the same tmux run as a capture;
    the pipe got everything when its last line is the screen's."""
    folder = tempfile.mkdtemp(prefix="tlb", dir="/tmp")
    socket = os.path.join(folder, "s")
    run = tmux_runner(tmux, socket)
    lost = 0
    try:
        run("-f", "/dev/null", "new-session", "-d", "-s", "s", "-x", "80", "-y", "24",
            "sleep 0.3; i=0; while :; do i=$((i+1)); echo $i; done")
        pane = run("display-message", "-p", "-t", "s", "#{pane_id}").strip()
        for number in range(rounds):
            piped = os.path.join(folder, f"piped{number}")
            run("pipe-pane", "-O", "-t", pane, f"exec cat >{piped}")
            time.sleep(0.05)
            screen = run("pipe-pane", "-t", pane, ";", "capture-pane", "-p", "-t", pane)
            time.sleep(0.2)  # the pipe's cat writes what it got and ends
            with open(piped, "rb") as f:
                written = f.read().replace(b"\r", b"").split()
            lost += not written or written[-1].decode() != screen.split()[-1]
    finally:
        subprocess.run([tmux, "-S", socket, "kill-server"], capture_output=True)
    return f"  pipe closes that lost what tmux had read: {lost} of {rounds}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--samples", type=int, default=200)
    parser.add_argument("--endings", type=int, default=20)
    parser.add_argument("--closes", type=int, default=20)
    parser.add_argument("--tmux", nargs="*", default=["tmux"])
    args = parser.parse_args()
    for tmux in args.tmux:
        print(measure(tmux, args.samples))
        for keep in (True, False):
            print(last_words(tmux, args.endings, keep))
        print(closes(tmux, args.closes))
    return 0


if __name__ == "__main__":
    run_main(main)
