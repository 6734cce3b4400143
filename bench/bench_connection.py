"""A connection (Server.connect) against one tmux run per call.

Three measurements on a private server:

  query     one call, in interleaved rounds: termloom through a connection,
            termloom running tmux once per call, and the C floor of one
            tmux run (spawn_floor.c running the same display-message).
            Goals: through a connection a median of at most 0.4 ms, and at
            least 4 times faster than the floor.
  threads   4 threads sharing the connection: calls per second (goal 2,000).
  wait      how long wait_for takes to return after the text it waits for
            reached the pane (written to the pane's terminal by this
            process), through a connection and once per call: p50 (goal
            2 ms through a connection).

    python bench/bench_connection.py [--rounds 40] [--calls 50]
"""

from __future__ import annotations

import argparse
import shutil
import statistics
import sys
import tempfile
import threading
import time

from common import (PrivateTmux, add_round_options, calls_per_second, check_round_options, compile_floor,
                    import_termloom_and_tmux, percentile, run_floor, run_main)

QUERY_FORMAT = "#{session_name}"


def ms(ns: float) -> str:
    return f"{ns / 1e6:8.3f}"


def query(termloom, tmux: PrivateTmux, floor: str, rounds: int, calls: int, warmup: int) -> bool:
    server = termloom.Server(tmux.socket)
    session = server.sessions[0]
    samples = {"connection": [], "per call": [], "floor": []}

    def time_calls(into: list[int]) -> None:
        for _ in range(warmup):
            session.metadata()
        for _ in range(calls):
            start = time.perf_counter_ns()
            session.metadata()
            into.append(time.perf_counter_ns() - start)

    argv = [tmux.tmux, "-S", tmux.socket, "list-sessions", "-F", QUERY_FORMAT]
    for r in range(rounds):
        order = ["connection", "per call", "floor"]
        order = order[r % 3:] + order[:r % 3]
        for name in order:
            if name == "connection":
                with server.connect():
                    time_calls(samples[name])
            elif name == "per call":
                time_calls(samples[name])
            else:
                samples[name] += run_floor(floor, argv, calls, warmup=warmup)[0]
    print(f"{'query (Session.metadata)':<26} {'median ms':>9} {'p10':>8} {'p90':>8}")
    for name, values in samples.items():
        values.sort()
        print(f"{name:<26} {ms(statistics.median(values))} {ms(percentile(values, 0.1))} "
              f"{ms(percentile(values, 0.9))}")
    through = statistics.median(samples["connection"])
    speedup = statistics.median(samples["floor"]) / through
    ok = through <= 0.4e6 and speedup >= 4
    print(f"through a connection: {through / 1e6:.3f} ms, {speedup:.1f}x faster than the floor of one "
          f"tmux run: {'PASS' if ok else 'FAIL'} (goals 0.4 ms, 4x)")
    return ok


def threads(termloom, tmux: PrivateTmux, count: int, seconds: float) -> bool:
    server = termloom.Server(tmux.socket)
    with server.connect():
        session = server.sessions[0]

        def call() -> None:
            if session.metadata().name != "bench":
                raise RuntimeError("wrong answer")

        rate = calls_per_second([call] * count, seconds)
    ok = rate >= 2000
    print(f"{count} threads through one connection: {rate:,.0f} calls/s: {'PASS' if ok else 'FAIL'} "
          "(goal 2,000)")
    return ok


def wait_latency(termloom, tmux: PrivateTmux, rounds: int) -> bool:
    server = termloom.Server(tmux.socket)
    pane = server.sessions[0].windows[0].panes[0]
    tty = tmux.run("display-message", "-p", "-t", pane.pane_id, "#{pane_tty}").strip()
    results = {}
    for name in ("connection", "per call"):
        connection = server.connect() if name == "connection" else None
        latencies = []
        for i in range(rounds):
            token = f"tok{name[0]}{i}x"
            wrote = []

            def write_later() -> None:
                time.sleep(0.03)
                with open(tty, "w") as out:
                    wrote.append(time.perf_counter_ns())
                    out.write(f"\r{token}\r\n")
            writer = threading.Thread(target=write_later)
            writer.start()
            pane.wait_for(token, timeout=10)
            ended = time.perf_counter_ns()
            writer.join()
            latencies.append(ended - wrote[0])
            tmux.run("clear-history", "-t", pane.pane_id)
            tmux.run("send-keys", "-t", pane.pane_id, "-R")
        if connection:
            connection.close()
        latencies.sort()
        results[name] = latencies
        print(f"wait_for after the output arrived, {name:<10}: p50 {ms(percentile(latencies, 0.5))} ms, "
              f"p90 {ms(percentile(latencies, 0.9))} ms")
    ok = percentile(results["connection"], 0.5) <= 2e6
    print(f"wait latency through a connection: {'PASS' if ok else 'FAIL'} (goal p50 2 ms)")
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    add_round_options(parser, rounds=40, calls=50, warmup=5, what="method")
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=3.0)
    parser.add_argument("--waits", type=int, default=40)
    args = parser.parse_args()
    check_round_options(parser, args)
    termloom, real_tmux = import_termloom_and_tmux()
    tmux = PrivateTmux(real_tmux)
    work = tempfile.mkdtemp(prefix="tlb", dir="/tmp")
    try:
        tmux.start()
        print(tmux.version())
        floor = compile_floor(work)
        ok = query(termloom, tmux, floor, args.rounds, args.calls, args.warmup)
        ok &= threads(termloom, tmux, args.threads, args.seconds)
        ok &= wait_latency(termloom, tmux, args.waits)
    finally:
        tmux.close()
        shutil.rmtree(work, ignore_errors=True)
    print("all goals met" if ok else "some goals not met")
    return 0


if __name__ == "__main__":
    run_main(main)
