"""pytest fixtures for tests that drive tmux with termloom.

Installed with termloom and found by pytest on its own (entry point
``pytest11``):

- ``tmux_server``: a ``termloom.Server`` on a socket in a short private
  folder. ``TMUX_TMPDIR`` and ``HOME`` point into that folder for the test
  and ``TMUX`` is unset, so neither the user's server nor their tmux or shell
  set-up is involved. The server is killed after the test, and the test fails
  if any of its tmux processes (or what runs in its panes) outlive that.
- ``tmux_session``: a session "test" on that server, 80 columns by 24 lines.
- ``tmux_pane``: that session's pane, running ``bash --norc --noprofile``
  with the prompt ``$ `` and no history file, ready at its prompt.
- ``tmux_isolated_env``: the private folder itself (the environment above
  without a server), for tests that start tmux some other way.
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import tempfile
import time
from collections.abc import Callable, Iterator
from typing import TYPE_CHECKING

import pytest

import termloom

if TYPE_CHECKING:
    from termloom import Pane, Session

__all__ = ["PROMPT", "PANE_COMMAND", "tmux_isolated_env", "tmux_server", "tmux_session",
           "tmux_pane"]

PROMPT = "$ "
# No start-up files, no history file, a fixed prompt; nothing from the
# caller's shell set-up that would change what the screen shows.
PANE_COMMAND = ("env -u PROMPT_COMMAND -u BASH_ENV -u ENV PS1='$ ' PS2='> ' HISTFILE=/dev/null"
                " bash --norc --noprofile")
SESSION_NAME = "test"
SOCKET_NAME = "s"
# Bounds on waits for tmux: generous, for loaded machines.
READY_TIMEOUT = 30.0
EXIT_TIMEOUT = 10.0


def _wait_for(predicate: Callable[[], bool], timeout: float) -> bool:
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def _read(path: str) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:  # gone, or not ours to read
        return b""


def _start_time(pid: int) -> str | None:
    """The process's start time (None once it is gone or a zombie): a pid
    reused by another process is not mistaken for it."""
    fields = _read(f"/proc/{pid}/stat").rsplit(b")", 1)[-1].split()
    if len(fields) < 20 or fields[0] == b"Z":
        return None
    return fields[19].decode()


def _command_line(pid: int) -> str:
    return _read(f"/proc/{pid}/cmdline").replace(b"\0", b" ").decode(errors="replace").strip()


def _tmux_processes(folder: str) -> dict[int, str]:
    """pid -> start time of each tmux process run under `folder`, and of
    each process in one of its panes."""
    in_pane = f"TMUX={folder}/".encode()
    tmpdir = f"TMUX_TMPDIR={folder}".encode()
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        environ = _read(f"/proc/{entry}/environ").split(b"\0")
        is_tmux = _read(f"/proc/{entry}/comm").startswith(b"tmux")
        if any(v.startswith(in_pane) for v in environ) or (is_tmux and tmpdir in environ):
            started = _start_time(int(entry))
            if started is not None:
                found[int(entry)] = started
    return found


def _sockets(folder: str) -> list[str]:
    """The private socket and every default one under TMUX_TMPDIR."""
    found = [os.path.join(folder, SOCKET_NAME)]
    for name in os.listdir(folder):
        if name.startswith("tmux-"):
            sockets = os.path.join(folder, name)
            found += [os.path.join(sockets, s) for s in os.listdir(sockets)]
    return found


def _tmux_program() -> str:
    program = shutil.which("tmux")
    if program is None:
        pytest.skip("tmux is not installed")
    return program


@pytest.fixture
def tmux_isolated_env(monkeypatch: pytest.MonkeyPatch) -> Iterator[str]:
    """A short private folder as TMUX_TMPDIR and HOME, TMUX unset; every tmux
    server started under it is killed after the test, which fails if any of
    their processes outlive that."""
    tmux = shutil.which("tmux")  # found before the test changes PATH
    # Unix socket paths hold about 100 bytes: /tmp, not a long temporary folder.
    folder = tempfile.mkdtemp(prefix="tl", dir="/tmp")
    monkeypatch.setenv("TMUX_TMPDIR", folder)
    monkeypatch.setenv("HOME", folder)
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.delenv("TMUX", raising=False)
    try:
        yield folder
    finally:
        running = _tmux_processes(folder)
        # Without tmux no server can have started.
        for socket in _sockets(folder) if tmux is not None else []:
            subprocess.run([str(tmux), "-S", socket, "kill-server"], capture_output=True,
                           stdin=subprocess.DEVNULL)
        running.update(_tmux_processes(folder))

        def alive() -> list[int]:
            return [pid for pid, started in running.items() if _start_time(pid) == started]

        _wait_for(lambda: not alive(), EXIT_TIMEOUT)
        left = {pid: _command_line(pid) for pid in alive()}
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        shutil.rmtree(folder, ignore_errors=True)
    if left:
        pytest.fail("tmux processes outlived the test (now killed): "
                    + ", ".join(f"{pid} ({command})" for pid, command in sorted(left.items())),
                    pytrace=False)


@pytest.fixture
def tmux_server(tmux_isolated_env: str) -> Iterator[termloom.Server]:
    """A Server on a private socket; killed after the test."""
    _tmux_program()
    server = termloom.Server(os.path.join(tmux_isolated_env, SOCKET_NAME))
    yield server
    server.kill()


@pytest.fixture
def tmux_session(tmux_server: termloom.Server) -> Session:
    """Session "test" on tmux_server, 80x24, its pane running PANE_COMMAND."""
    socket = os.path.join(os.environ["TMUX_TMPDIR"], SOCKET_NAME)
    # No configuration file, not even the system's: every test sees tmux's
    # defaults (sizes, base index, shell).
    done = subprocess.run(
        [_tmux_program(), "-f", "/dev/null", "-S", socket, "new-session", "-d", "-s",
         SESSION_NAME, "-x", "80", "-y", "24", PANE_COMMAND],
        capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        pytest.fail(f"tmux could not start session {SESSION_NAME!r}: {done.stderr.strip()}")
    for session in tmux_server.sessions:
        if session.name == SESSION_NAME:
            return session
    pytest.fail(f"session {SESSION_NAME!r} is not listed by its server")


@pytest.fixture
def tmux_pane(tmux_session: Session) -> Pane:
    """The pane of tmux_session: bash at its prompt."""
    pane = tmux_session.windows[0].panes[0]
    # capture() leaves out the blank end of each line, the prompt's space too.
    if not _wait_for(lambda: (pane.capture() or "").startswith(PROMPT.rstrip() + "\n"),
                     READY_TIMEOUT):
        pytest.fail(f"bash showed no prompt within {READY_TIMEOUT:.0f} s: {pane.capture()!r}")
    return pane
