"""A tour of termloom on a private tmux server.

Starts a tmux server on a socket in a temporary folder (never your own
server), creates two sessions, shows them with their metadata, renames one,
and shuts everything down again.
"""
import os
import shutil
import sys
import tempfile
import time
from datetime import datetime

import termloom

BOLD, DIM, GREEN, CYAN, RESET = "\033[1m", "\033[2m", "\033[32m", "\033[36m", "\033[0m"
if not sys.stdout.isatty():
    BOLD = DIM = GREEN = CYAN = RESET = ""


def step(text):
    print(f"\n{BOLD}▸ {text}{RESET}")


def show_sessions(server):
    sessions = server.sessions
    if not sessions:
        print(f"  {DIM}(no sessions){RESET}")
        return
    print(f"  {DIM}{'id':<5} {'name':<12} {'windows':>7}  {'attached':<9} created{RESET}")
    for session in sessions:
        meta = session.metadata()
        created = datetime.fromtimestamp(meta.created).strftime("%H:%M:%S")
        attached = "yes" if meta.attached else "no"
        print(f"  {meta.id:<5} {CYAN}{meta.name:<12}{RESET} {meta.windows:>7}  {attached:<9} {created}")


def main():
    folder = tempfile.mkdtemp(prefix="termloom-demo-", dir="/tmp")
    os.environ["TMUX_TMPDIR"] = folder  # anything tmux creates stays in here
    os.environ.pop("TMUX", None)  # even when run from inside tmux
    server = termloom.Server(os.path.join(folder, "demo.sock"))
    try:
        print(f"{BOLD}termloom demo{RESET} {DIM}— a private tmux server at {server.current_socket}{RESET}")

        step("Is a server running there yet?")
        print(f"  is_running → {server.is_running}")

        step("Creating two sessions")
        for name in ("editor", "builds"):
            started = time.perf_counter()
            session = server.new_session(name)
            took = (time.perf_counter() - started) * 1000
            print(f"  {GREEN}+{RESET} {session!r}  {DIM}({took:.1f} ms){RESET}")
        print(f"  is_running → {server.is_running}")
        print(f"  has_session('editor') → {server.has_session('editor')}")
        print(f"  has_session('edit') → {server.has_session('edit')}  {DIM}(names match exactly){RESET}")

        step("Sessions and their metadata")
        show_sessions(server)

        step("Renaming 'builds' to 'ci'")
        builds = next(s for s in server.sessions if s.name == "builds")
        builds.name = "ci"
        print(f"  now {builds!r}")
        show_sessions(server)

        step("Killing the server")
        print(f"  kill() → {server.kill()}")
        print(f"  is_running → {server.is_running}")
        print(f"  sessions → {server.sessions}")
    finally:
        server.kill()
        shutil.rmtree(folder, ignore_errors=True)
    print(f"\n{GREEN}done{RESET}")


if __name__ == "__main__":
    main()
