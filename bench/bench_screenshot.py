"""Time and size of a styled screen and its SVG picture.

One private tmux server; for each pane size (80x24 and 240x60) and each
fill, a program paints the screen and waits, and the script times

  screen()             the plain snapshot, for comparison
  screen(styles=True)  the same tmux run with -e, parsed into cells
  svg()                the picture of that screen
  cells                Screen.cells, the Python rows of Cell records

and reports the capture's and the picture's size (and the picture gzipped).

Fills: "cells", every cell its own 256-colour foreground and background
(nothing to merge: the worst case); "runs", rows of 8-cell runs of one
colour with bold and underlined words between (what a colourful program
shows). No targets: it prints numbers and exits 0.

    python bench/bench_screenshot.py [--calls N]
"""

from __future__ import annotations

import argparse
import gzip
import os
import statistics
import sys
import time

from common import PrivateTmux, import_termloom_and_tmux, percentile, run_main

SIZES = [(80, 24), (240, 60)]


def painting(fill: str, width: int, height: int) -> bytes:
    out = bytearray()
    for y in range(height - 1):
        for x in range(width):
            if fill == "cells":
                n = (x + y * width) % 216
                out += b"\x1b[38;5;%d;48;5;%dm%c" % (16 + n, 16 + (n * 7) % 216, 33 + (x * 7 + y) % 94)
            else:
                run = x // 8
                style = b"1;4;" if run % 3 == 0 else b""
                out += b"\x1b[0;%s38;5;%d;48;5;%dm%c" % (style, 16 + (run * 11 + y) % 216,
                                                      16 + (run + y * 3) % 216, 97 + (x + y) % 26)
        out += b"\x1b[0m\r\n"
    return bytes(out) + b"END"


def timed(call, calls: int) -> list[float]:
    samples = []
    for _ in range(calls):
        start = time.perf_counter_ns()
        call()
        samples.append((time.perf_counter_ns() - start) / 1e6)
    return sorted(samples)


def summary(samples: list[float]) -> str:
    return (f"median {statistics.median(samples):7.2f} ms  p10 {percentile(samples, 0.1):7.2f}  "
            f"p90 {percentile(samples, 0.9):7.2f}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=30, help="timed calls of each (default 30)")
    args = parser.parse_args()
    if args.calls < 1:
        parser.error("--calls must be at least 1")
    termloom, real_tmux = import_termloom_and_tmux()
    tmux = PrivateTmux(real_tmux)
    try:
        print(f"{tmux.version()}, Python {sys.version.split()[0]}, {args.calls} calls each")
        server = termloom.Server(tmux.socket)
        for fill in ("cells", "runs"):
            for width, height in SIZES:
                name = f"{fill}{width}"
                picture = os.path.join(tmux.dir, name)
                with open(picture, "wb") as f:
                    f.write(painting(fill, width, height))
                tmux.run("new-session", "-d", "-s", name, "-x", str(width), "-y", str(height),
                         f"cat {picture}; exec sleep 1000000")
                pane = server.target_pane(f"={name}:0.0")
                pane.wait_for("END", timeout=30)
                screen = pane.screen(styles=True)
                svg = screen.svg()
                capture = tmux.run("capture-pane", "-p", "-e", "-N", "-t", pane.pane_id)
                print(f"\n{fill}, {width}x{height}: capture {len(capture.encode()):,} bytes, "
                      f"SVG {len(svg.encode()):,} bytes ({len(gzip.compress(svg.encode(), 9)):,} gzipped)")
                print(f"  screen()             {summary(timed(pane.screen, args.calls))}")
                print(f"  screen(styles=True)  {summary(timed(lambda: pane.screen(styles=True), args.calls))}")
                print(f"  svg()                {summary(timed(screen.svg, args.calls))}")
                print(f"  cells                {summary(timed(lambda: screen.cells, args.calls))}")
    finally:
        tmux.close()
    return 0


if __name__ == "__main__":
    run_main(main)
