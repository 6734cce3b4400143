"""Per-call cost of building and inspecting against the C floor.

Three operations, each timed against spawn_floor.c running the same tmux
argument vector with the same streams collected, interleaved round by round
as in bench_operations.py (whose argument check, timing loops and report
this script reuses):

  the 10-pane table    Window.pane_metadata() of a window with 10 panes:
                       every pane's state in one list-panes run
  Session.new_window   a window running `cat`; the windows a block made are
                       killed between blocks (untimed), so every block makes
                       the same indexes (101 on)
  Pane.metadata()      has-session ; display-message of one pane

Goals: the table within 5% of the floor, the other two within 3%. Then,
for scale, the same table read the way it had to be read before, one tmux
run per property (no floor, no goal). Prints PASS or FAIL per operation and
exits 0 either way.

    python bench/bench_inspecting.py [--rounds R] [--calls C]
"""

from __future__ import annotations

import argparse
import os
import statistics
import time

from bench_operations import (ArgvLog, Operation, report_timing, time_floor, time_rounds, time_termloom,
                              verify)
from common import (PrivateTmux, add_round_options, check_round_options, compile_floor, fmt_us,
                    import_termloom_and_tmux, percentile, pooled, run_main)

TABLE_GOAL_PERCENT = 5.0
SMALL_GOAL_PERCENT = 3.0
TABLE_PANES = 10
WINDOW_FORMAT = "#{window_index}|#{window_name}"

# The listing line of PaneMetadata: its variables in order, free text escaped.
VARIABLES = ["session_name", "window_index", "window_name", "pane_index", "pane_id", "pane_title",
             "pane_active", "pane_width", "pane_height", "cursor_x", "cursor_y", "pane_pid",
             "pane_current_command", "pane_current_path", "pane_dead", "pane_dead_status",
             "pane_in_mode", "history_size", "pane_tty"]
FIELDS = ["session_name", "window_index", "window_name", "pane_index", "pane_id", "title", "active",
          "width", "height", "cursor_x", "cursor_y", "pid", "current_command", "current_path", "dead",
          "dead_status", "in_mode", "history_size", "tty"]
FREE_TEXT = {"session_name", "window_name", "pane_title", "pane_current_command", "pane_current_path"}
ESCAPED = "#{s/\\\\/\\\\\\\\/;s/\t/\\\\t/;s/\n/\\\\n/;s/\r/\\\\r/:%s}"
PANE_FORMAT = "\t".join(ESCAPED % v if v in FREE_TEXT else "#{%s}" % v for v in VARIABLES)


def printed(value, free_text: bool) -> str:
    """A field as the listing prints it."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "1" if value else "0"
    if free_text:
        for raw, escape in (("\\", "\\\\"), ("\t", "\\t"), ("\n", "\\n"), ("\r", "\\r")):
            value = value.replace(raw, escape)
    return str(value)


def listing_bytes(records) -> int:
    """The size of the listing that these records were read from."""
    return sum(len("\t".join(printed(getattr(r, f), v in FREE_TEXT)
                             for f, v in zip(FIELDS, VARIABLES)).encode()) + 1 for r in records)


def prepare(tmux: PrivateTmux) -> None:
    tmux.run("new-session", "-d", "-s", "table", "-x", "200", "-y", "60", "cat")
    for _ in range(TABLE_PANES - 1):
        tmux.run("split-window", "-d", "-t", "=table:0", "cat")
        tmux.run("select-layout", "-t", "=table:0", "tiled")
    tmux.run("new-session", "-d", "-s", "build", "cat")
    # New windows from 101 on: every index of a block has the same length, so
    # the floor's last run prints as many bytes as any of termloom's.
    tmux.run("set-option", "-t", "=build:", "base-index", "100")
    tmux.run("move-window", "-s", "=build:0", "-t", "=build:100")


def kill_new_windows(tmux: PrivateTmux) -> None:
    tmux.run("kill-window", "-a", "-t", "=build:100")


def operations(termloom, tmux: PrivateTmux) -> tuple[list[Operation], dict]:
    server = termloom.Server(tmux.socket)
    tmux_s = ["tmux", "-S", tmux.socket]
    table = server.target_window("=table:0")
    build = next(s for s in server.sessions if s.name == "build")
    build_id = build.metadata().id
    pane = server.target_pane("=table:0.0")
    ops = [
        Operation(f"{TABLE_PANES}-pane table", table.pane_metadata,
                  tmux_s + ["list-panes", "-t", "=table:0", "-f",
                            "#{&&:#{==:#{session_name},table},#{==:#{window_index},0}}",
                            "-F", PANE_FORMAT],
                  "stdout", lambda records: (listing_bytes(records),), TABLE_GOAL_PERCENT),
        Operation("Session.new_window", lambda: build.new_window(command="cat"),
                  tmux_s + ["new-window", "-d", "-t", f"{build_id}:", "-P", "-F", WINDOW_FORMAT, "cat"],
                  "both", lambda w: (len(f"{w.index}|{w.name}\n".encode()), 0), SMALL_GOAL_PERCENT,
                  lookup=tmux_s + ["list-sessions", "-f", "#{==:#{session_name},build}",
                                   "-F", "#{session_id}"]),
        Operation("Pane.metadata()", pane.metadata,
                  tmux_s + ["has-session", "-t", pane.pane_id, ";", "display-message", "-p", "-t",
                            pane.pane_id, PANE_FORMAT],
                  "both", lambda record: (listing_bytes([record]), 0), SMALL_GOAL_PERCENT),
    ]
    # What runs before every block of an operation, untimed.
    resets = {"Session.new_window": lambda: kill_new_windows(tmux)}
    return ops, resets


def table_a_run_per_property(window):
    """The pane table the way it was read before: a run for each property."""
    layout = window.metadata.layout
    paths = window.pane_metadata()  # stands in for a list-panes of the working directories
    return [(p.pane_index, p.pane_id, p.current_command, p.is_alive) for p in window.panes], layout, paths


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_round_options(parser, rounds=60, calls=10, warmup=5, what="operation and method")
    args = parser.parse_args()
    check_round_options(parser, args)

    termloom, real_tmux = import_termloom_and_tmux()
    tmux = PrivateTmux(real_tmux)
    try:
        exe = compile_floor(tmux.dir)
        argv_log = ArgvLog(tmux.dir, real_tmux)
        prepare(tmux)
        ops, resets = operations(termloom, tmux)
        reset_of = lambda op: resets.get(op.name, lambda: None)
        for op in ops:
            verify(op, exe, argv_log, reset_of(op))
        table = termloom.Server(tmux.socket).target_window("=table:0")
        old_way_runs = len(argv_log.argvs_of(lambda: table_a_run_per_property(table)))

        print(f"termloom {termloom.__file__}")
        print(f"child: {tmux.version()}; {os.cpu_count()} CPUs; load {os.getloadavg()[0]:.2f}; "
              f"{args.rounds} rounds x {args.calls} calls per operation and method")
        for op in ops:
            reset_of(op)()
            time_termloom(op, args.warmup)
            reset_of(op)()
            time_floor(op, exe, args.warmup)

        old_way = []

        def time_the_old_way():
            clock = time.perf_counter_ns()
            table_a_run_per_property(table)
            old_way.append(time.perf_counter_ns() - clock)

        started = time.monotonic()
        per_round = time_rounds(ops, exe, args.rounds, args.calls, resets, time_the_old_way)
        wall = time.monotonic() - started
        load_after = os.getloadavg()[0]
    finally:
        tmux.close()

    print()
    report_timing(ops, per_round, args.resamples)
    print(f"measured in {wall:.1f} s; load average at the end {load_after:.2f}")
    ordered = sorted(old_way)
    one_run = statistics.median(pooled(per_round[ops[0].name]["termloom"]))
    print(f"\nthe same table, a tmux run per property ({old_way_runs} runs): median "
          f"{fmt_us(statistics.median(ordered)).strip()} us (p10 {fmt_us(percentile(ordered, 0.1)).strip()}, "
          f"p90 {fmt_us(percentile(ordered, 0.9)).strip()}) = "
          f"{statistics.median(ordered) / one_run:.1f}x the one-run table")
    return 0


if __name__ == "__main__":
    run_main(main)
