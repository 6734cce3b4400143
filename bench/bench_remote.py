"""tmux on another host, over OpenSSH: what a call costs, what the first one
costs, how calls from threads add up, and what a wait costs while idle.

The host is a real sshd on 127.0.0.1 started here (tests/remote_hosts.py's,
with a throw-away key and a home of its own), so the numbers are ssh's and
termloom's, not a network's.

  per call     Server("ssh://box/SOCK").is_running, against spawn_floor.c
               running the very same ssh argument vector through the same
               ControlMaster (goal: termloom's median within 5% of it)
  connection   the same call with server.connect() open (one tmux -C over
               the same master), interleaved with one run per call
               (goal: median <= 1 ms), and 4 threads through it
  first call   a fresh Python's first is_running (it makes the connection),
               and its second
  threads      4 threads x 4 servers (one sshd, four sockets): calls per
               second, and the same on this machine for comparison
  idle wait    wait_for on a pane that prints nothing: the tmux runs it makes
               in its first second and per second after (counted by an ssh that
               logs each start)
  latency      from a pane printing a line (its own clock) to wait_for
               returning, median of several

    python bench/bench_remote.py [--rounds R] [--calls C]
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

from common import (add_round_options, bootstrap_interval, check_round_options, compile_floor,
                    fmt_us, import_termloom_and_tmux, overhead_percent, percentile, pooled,
                    run_floor, run_main)

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from remote_hosts import Sshd  # noqa: E402

GOAL_PERCENT = 5.0
CONNECTION_GOAL_NS = 1_000_000


def master_control_path(config: str) -> str:
    """The ControlPath of the master termloom made for the sshd of `config`."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            words = Path(f"/proc/{entry}/cmdline").read_bytes().split(b"\0")
        except OSError:
            continue
        words = [w.decode() for w in words if w]
        if config in words and "ControlMaster=yes" in words and os.getppid() != int(entry):
            for word in words:
                if word.startswith("ControlPath="):
                    return word.split("=", 1)[1]
    raise RuntimeError("no ControlMaster of termloom's found")


def time_calls(server, calls: int) -> list[int]:
    clock = time.perf_counter_ns
    out = []
    for _ in range(calls):
        start = clock()
        ok = server.is_running
        out.append(clock() - start)
        if not ok:
            raise RuntimeError("is_running returned False mid-benchmark")
    return out


def threaded_rate(termloom, addresses: list[str], threads: int, calls: int) -> float:
    barrier = threading.Barrier(threads + 1)

    def work(address):
        server = termloom.Server(address)
        barrier.wait()
        for _ in range(calls):
            server.is_running

    workers = [threading.Thread(target=work, args=(addresses[i % len(addresses)],)) for i in range(threads)]
    for worker in workers:
        worker.start()
    barrier.wait()
    start = time.perf_counter()
    for worker in workers:
        worker.join()
    return threads * calls / (time.perf_counter() - start)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    add_round_options(parser, rounds=10, calls=50, warmup=5, what="method")
    parser.add_argument("--idle-seconds", type=float, default=5.0, help="length of the idle wait")
    args = parser.parse_args()
    check_round_options(parser, args)
    termloom, tmux = import_termloom_and_tmux()
    if shutil.which("sshd") is None and not os.path.exists("/usr/sbin/sshd"):
        sys.exit("sshd is not installed (apt-get install openssh-server)")
    work = tempfile.mkdtemp(prefix="tlbr", dir="/tmp")
    os.makedirs(os.path.join(work, "sshd"))
    sshd = Sshd(os.path.join(work, "sshd"), tmux)
    sockets = [os.path.join(work, f"s{i}") for i in range(4)]
    try:
        sshd.start()
        os.environ["TERMLOOM_SSH_COMMAND"] = sshd.command
        for socket in sockets:
            subprocess.run([tmux, "-f", "/dev/null", "-S", socket, "new-session", "-d", "-s", "bench",
                            "-x", "80", "-y", "24", "cat"], check=True)
        addresses = [f"ssh://box{socket}" for socket in sockets]
        floor = compile_floor(work)
        print(f"{subprocess.run([tmux, '-V'], capture_output=True, text=True).stdout.strip()}, "
              f"{subprocess.run(['ssh', '-V'], capture_output=True, text=True).stderr.strip()}")

        # Per call, against the same ssh argument vector through the same master.
        server = termloom.Server(addresses[0])
        server.is_running
        control = master_control_path(sshd.config)
        argv = ["ssh", "-F", sshd.config, "-o", "BatchMode=yes", "-o", "ControlMaster=no", "-o",
                f"ControlPath={control}", "-o", "RemoteCommand=none", "-T", "--", "box",
                f"printf '\\036tl\\036';exec 'tmux' '-u' '-S' '{sockets[0]}' 'list-sessions'"]
        rounds_t, rounds_f = [], []
        for _ in range(args.rounds):
            time_calls(server, args.warmup)
            rounds_t.append(time_calls(server, args.calls))
            rounds_f.append(run_floor(floor, argv, args.calls, capture="both", warmup=args.warmup)[0])
        t, f = pooled(rounds_t), pooled(rounds_f)
        over = overhead_percent(rounds_t, rounds_f)
        low, high = bootstrap_interval(rounds_t, rounds_f, args.resamples)
        print(f"\nper call, {args.rounds} rounds x {args.calls} (microseconds)")
        print(f"  {'':10} {'median':>9} {'p10':>9} {'p90':>9}")
        for name, values in (("termloom", t), ("floor", f)):
            print(f"  {name:10} {fmt_us(statistics.median(values))} {fmt_us(percentile(values, 0.1))} "
                  f"{fmt_us(percentile(values, 0.9))}")
        verdict = "PASS" if over <= GOAL_PERCENT else "FAIL"
        print(f"  termloom vs floor: {over:+.1f}% (90% interval {low:+.1f}% .. {high:+.1f}%), "
              f"goal <= {GOAL_PERCENT:.0f}%: {verdict}")

        # Through a connection (one control-mode client over the same
        # master), interleaved with one ssh run per call.
        through, once = [], []
        for _ in range(args.rounds):
            with server.connect() as connection:
                if connection.client_pid is None:
                    raise RuntimeError("the connection's client did not start")
                time_calls(server, args.warmup)
                through.extend(time_calls(server, args.calls))
                connected_rate = threaded_rate(termloom, addresses[:1], 4, args.calls)
            once.extend(time_calls(server, args.calls))
        median = statistics.median(through)
        verdict = "PASS" if median <= CONNECTION_GOAL_NS else "FAIL"
        print(f"\nthrough a connection: median {median / 1e6:.3f} ms (p90 {percentile(sorted(through), 0.9) / 1e6:.3f}), "
              f"one ssh run per call {statistics.median(once) / 1e6:.2f} ms: "
              f"{statistics.median(once) / median:.1f}x; goal <= 1 ms: {verdict}")
        print(f"  4 threads through it: {connected_rate:.0f} calls/s (the last round)")

        # The first call of a fresh program, which makes the connection.
        program = textwrap.dedent(f"""
            import time, termloom
            server = termloom.Server({addresses[1]!r})
            a = time.perf_counter(); server.is_running; b = time.perf_counter(); server.is_running
            print((b - a) * 1e3, (time.perf_counter() - b) * 1e3)
        """)
        firsts, seconds = [], []
        for _ in range(5):
            out = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True,
                                 check=True).stdout.split()
            firsts.append(float(out[0]))
            seconds.append(float(out[1]))
        print(f"\nfirst call (connection made): median {statistics.median(firsts):.1f} ms; "
              f"the second: {statistics.median(seconds):.1f} ms (5 fresh programs)")

        # Threads.
        remote = threaded_rate(termloom, addresses, 4, args.calls * 2)
        local = threaded_rate(termloom, sockets, 4, args.calls * 2)
        single = 1e9 / statistics.median(t)
        print(f"\n4 threads x 4 servers: {remote:.0f} calls/s over ssh ({single:.0f}/s from one thread), "
              f"{local:.0f} calls/s on this machine")

        # An idle wait: the runs it makes, counted by an ssh that logs each start.
        counter = os.path.join(work, "count")
        wrapper = os.path.join(work, "ssh-counting")
        Path(wrapper).write_text(f"#!/bin/sh\ndate +%s.%N >>{counter}\nexec ssh \"$@\"\n")
        os.chmod(wrapper, 0o755)
        os.environ["TERMLOOM_SSH_COMMAND"] = f"{wrapper} -F {sshd.config}"
        pane = termloom.Server(addresses[2]).target_pane("=bench:0.0")
        pane.screen()  # the connection and the stream, before counting
        Path(counter).write_text("")
        start = time.perf_counter()
        try:
            pane.wait_for("never printed", timeout=args.idle_seconds)
        except TimeoutError:
            pass
        took = time.perf_counter() - start
        stamps = [float(line) for line in Path(counter).read_text().split()]
        later = [t for t in stamps if t - stamps[0] >= 1.0]
        steady = len(later) / (stamps[-1] - later[0]) if len(later) > 1 else float("nan")
        print(f"\nidle wait_for over {took:.1f} s: {len(stamps)} runs through ssh, "
              f"{len(stamps) - len(later)} in its first second (the schedule starts fast), "
              f"then {steady:.1f} per second")

        # Latency: the pane prints its clock; the wait returns.
        os.environ["TERMLOOM_SSH_COMMAND"] = sshd.command
        pane = termloom.Server(addresses[3]).target_pane("=bench:0.0")
        subprocess.run([tmux, "-S", sockets[3], "respawn-pane", "-k", "-t", "=bench:0.0",
                        "env -i PATH=/usr/bin:/bin PS1='$ ' bash --norc --noprofile"], check=True)
        pane.wait_for("$")
        latencies = []
        for i in range(8):
            mark = pane.screen()
            pane.send_keys(f"sleep 0.3; printf 'at%s\\n' $(date +%s.%N)", enter=True)
            found = pane.wait_for(re.compile(r"at([0-9.]+)\n"), after=mark, timeout=10)
            returned = time.time()
            printed = float(re.findall(r"at([0-9.]+)", found.text)[-1])
            latencies.append((returned - printed) * 1e3)
        print(f"wait latency (printed to returned): median {statistics.median(latencies):.1f} ms, "
              f"max {max(latencies):.1f} ms (8 waits)")
    finally:
        for socket in sockets:
            subprocess.run([tmux, "-S", socket, "kill-server"], capture_output=True)
        sshd.stop()
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    run_main(main)
