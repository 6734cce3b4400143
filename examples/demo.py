"""A tour of termloom on a private tmux server.

Starts a tmux server on a socket in a temporary folder (never your own
server), lays out a session with two windows of a fixed size and split
panes, runs a command in a shell pane to its end and reads its output, status
and the shell's last command back, drives a Python prompt,
resizes and retitles a pane, shows every window and pane with its metadata,
and shuts everything down again. It runs unattended in a few seconds.
"""
import os
import re
import shutil
import sys
import tempfile
import time

import termloom

BOLD, DIM, GREEN, CYAN, RESET = "\033[1m", "\033[2m", "\033[32m", "\033[36m", "\033[0m"
if not sys.stdout.isatty():
    BOLD = DIM = GREEN = CYAN = RESET = ""


def step(text):
    print(f"\n{BOLD}▸ {text}{RESET}")


# bash's own prompt ends in "$ " or, for root, "# " (the screen drops the space).
PROMPT = re.compile(r"[$#]$", re.M)


def screen_lines(pane):
    return (pane.capture(trim=True) or "").splitlines()


def table(headers, rows):
    rows = [[("" if cell is None else str(cell)) for cell in row] for row in rows]
    widths = [max(map(len, column)) for column in zip(headers, *rows)]
    line = lambda cells: "  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip()
    print(f"  {DIM}{line(headers)}{RESET}")
    for row in rows:
        print(f"  {line(row)}")


def show_windows_and_panes(session):
    windows = session.windows
    metadata = [w.metadata for w in windows]
    table(["window", "name", "active", "size", "flags", "panes"],
          [(m.index, m.name, "yes" if m.active else "no", f"{m.width}x{m.height}", m.flags, len(w.panes))
           for w, m in zip(windows, metadata)])
    print()
    # Every pane's state from one tmux run.
    table(["pane", "id", "title", "size", "alive", "running", "directory"],
          [(f"{p.window_index}.{p.pane_index}", p.pane_id, p.title, f"{p.width}x{p.height}",
            "no" if p.dead else "yes", p.current_command, p.current_path)
           for p in session.pane_metadata()])


def main():
    folder = tempfile.mkdtemp(prefix="termloom-demo-", dir="/tmp")
    os.environ["TMUX_TMPDIR"] = folder  # anything tmux creates stays in here
    os.environ.pop("TMUX", None)        # even when run from inside tmux
    # A home of its own: no personal tmux or shell set-up changes what the demo
    # shows, and its shells leave no history behind.
    os.environ["HOME"] = folder
    os.environ.pop("XDG_CONFIG_HOME", None)
    server = termloom.Server(os.path.join(folder, "demo.sock"))
    try:
        print(f"{BOLD}termloom demo{RESET} {DIM}— a private tmux server at {server.current_socket}{RESET}")
        print(f"  is_running → {server.is_running}")

        step("A session with two windows")
        work = server.new_session("work")
        editor = work.windows[0]
        editor.name = "editor"
        shell = editor.panes[0]
        shell.bash_shell(respawn=True)  # a bash, whatever the default shell is
        shell.wait_for(PROMPT)
        logs = work.new_window(name="logs", command="seq 1 3; exec cat")
        print(f"  {GREEN}+{RESET} {work!r}")
        for window in work.windows:
            print(f"    {window!r}")

        step("Sizing the windows")
        for window in work.windows:
            print(f"  {window.name}: resize(100, 30) → {window.resize(100, 30)}")
        print(f"  {work.metadata()!r}")

        step("Splitting the editor window into panes")
        clock = shell.split(horizontal=True, command="while sleep 1; do date +%T; done")
        spare = shell.split()
        for pane in editor.panes:
            print(f"    {pane!r}")

        step("Running a command in a pane to its end")
        shell.send_keys("clear", enter=True)
        shell.wait_quiet(0.2)
        started = time.perf_counter()
        result = shell.run("printf '%s\\n' gamma alpha beta | sort")
        took = (time.perf_counter() - started) * 1000
        print(f"  run(...) → status {result.status} {DIM}(finished and read back in {took:.0f} ms){RESET}")
        for line in result.output.splitlines():
            print(f"  {CYAN}│{RESET} {line}")
        print(f"  run('cd /tmp; false').status → {shell.run('cd /tmp; false').status}"
              f"   run('pwd').output → {shell.run('pwd').output!r}")

        step("The shell's last command")
        last = shell.last_command
        print(f"  {last!r}")
        print(f"  run() → {last.run()}  {DIM}(bash runs it again){RESET}")
        shell.wait_for(re.compile(r"^/tmp$(?:.|\n)*^/tmp$", re.M))
        print(f"  read() → {last.read()!r}")
        print(f"  current_command → {shell.current_command!r}")
        print(f"  {clock.pane_id} current_commandline → {clock.current_commandline!r}")

        step("A Python prompt in the pane")
        shell.send_text("python3 -q", enter=True)
        shell.wait_for(">>>")
        shell.send_text("6*7", enter=True)
        screen = shell.wait_for(re.compile(r"^42$", re.M))
        print(f"  send_text('6*7', enter=True), wait_for(re.compile('^42$', re.M))"
              f" → cursor at line {screen.cursor_y}")
        shell.send_keys("C-d")
        shell.wait_quiet(0.3)  # python has gone and bash shows its prompt again
        print(f"  current_command → {shell.current_command!r}")

        step("Resizing and retitling a pane")
        layout = editor.metadata.layout
        print(f"  {clock.pane_id}: resize('left', 10) → {clock.resize('left', 10)}")
        clock.title = "clock"
        spare.title = "spare #2"
        print(f"  titles → {[p.title for p in editor.panes]}")
        print(f"  window layout {layout}\n             → {editor.metadata.layout}")
        print(f"  target_pane('work:0.1') → {server.target_pane('work:0.1')!r}")

        step("Every window and pane")
        show_windows_and_panes(work)
        print(f"\n  {DIM}logs window shows:{RESET} {screen_lines(logs.panes[0])}")

        step("Cleaning up")
        print(f"  spare.kill() → {spare.kill()}   logs.kill() → {logs.kill()}")
        print(f"  panes left → {[p.pane_id for w in work.windows for p in w.panes]}")
        print(f"  server.kill() → {server.kill()}   is_running → {server.is_running}")
    finally:
        server.kill()
        shutil.rmtree(folder, ignore_errors=True)
    print(f"\n{GREEN}done{RESET}")


if __name__ == "__main__":
    main()
