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
  with the prompt ``$ `` and no history file, ready at its prompt; it keeps
  50,000 lines of history.
- ``tmux_pane_factory``: makes more panes on that server, each the pane of a
  session of its own: ``tmux_pane_factory("zsh", width=120, height=40,
  history_limit=100_000, environment={"LANG": "C.UTF-8"})``. ``"bash"``,
  ``"zsh"`` and ``"dash"`` start with no start-up files, the prompt ``$ `` and
  no history file, ready at their prompt (the test is skipped when the shell
  is not installed); any other text is a command run as the pane's program.
- ``tmux_isolated_env``: the private folder itself (the environment above
  without a server), for tests that start tmux some other way.
- ``screen_snapshot``: syrupy's snapshot for styled screens, stored as SVG
  pictures and compared cell by cell (``termloom_pytest.snapshot``; needs
  syrupy).
"""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import tempfile
import time
from collections.abc import Callable, Iterator, Mapping
from typing import TYPE_CHECKING

import pytest

import termloom

if TYPE_CHECKING:
    from termloom import Pane, Session

from termloom_pytest.snapshot import screen_snapshot

__all__ = ["PROMPT", "PANE_COMMAND", "SHELLS", "HISTORY_LIMIT", "TmuxPaneFactory",
           "tmux_isolated_env", "tmux_server", "tmux_session", "tmux_pane", "tmux_pane_factory",
           "screen_snapshot"]

PROMPT = "$ "
# No start-up files, no history file, a fixed prompt; nothing from the
# caller's shell set-up that would change what the screen shows.
PANE_COMMAND = ("env -u PROMPT_COMMAND -u BASH_ENV -u ENV PS1='$ ' PS2='> ' HISTFILE=/dev/null"
                " bash --norc --noprofile")
# The shells the factory starts the same way, by the program's name.
SHELLS = {
    "bash": PANE_COMMAND,
    "zsh": ("env -u ZDOTDIR PS1='$ ' PS2='> ' PROMPT_EOL_MARK='' HISTFILE=/dev/null"
            " zsh --no-rcs"),
    "dash": "env -u ENV PS1='$ ' PS2='> ' dash",
}
# Lines of history of every pane the fixtures make: what agent harnesses use,
# where tmux's default of 2,000 fills with one long output.
HISTORY_LIMIT = 50_000
WIDTH, HEIGHT = 80, 24
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


def _process_table() -> dict[int, tuple[int, int, int, str]]:
    """pid -> (parent pid, process group, session, start time) of every live
    process."""
    table = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        fields = _read(f"/proc/{entry}/stat").rsplit(b")", 1)[-1].split()
        if len(fields) < 20 or fields[0] == b"Z":
            continue
        table[int(entry)] = (int(fields[1]), int(fields[2]), int(fields[3]), fields[19].decode())
    return table


def _server_pids(tmux: str, sockets: list[str]) -> set[int]:
    """The pid of the server on each socket that has one."""
    pids = set()
    for socket in sockets:
        done = subprocess.run([tmux, "-S", socket, "display-message", "-p", "#{pid}"],
                              capture_output=True, text=True, stdin=subprocess.DEVNULL)
        if done.returncode == 0 and done.stdout.strip().isdigit():
            pids.add(int(done.stdout.strip()))
    return pids


def _tmux_processes(folder: str, known: Mapping[int, str | None]) -> dict[int, str]:
    """pid -> start time of each tmux process run under `folder` and of
    everything they started: the process trees of the `known` processes
    (still running when their start time matches, or None) and of the tmux
    processes run under `folder`, every process of the sessions and process
    groups in them (which keep their members when a parent ends first), and
    whatever carries a pane's TMUX."""
    table = _process_table()
    in_pane = f"TMUX={folder}/".encode()
    tmpdir = f"TMUX_TMPDIR={folder}".encode()
    roots = {pid for pid, started in known.items()
             if pid in table and started in (None, table[pid][3])}
    for pid in table:
        environ = _read(f"/proc/{pid}/environ").split(b"\0")
        is_tmux = _read(f"/proc/{pid}/comm").startswith(b"tmux")
        if any(v.startswith(in_pane) for v in environ) or (is_tmux and tmpdir in environ):
            roots.add(pid)
    children: dict[int, list[int]] = {}
    for pid, (parent, _, _, _) in table.items():
        children.setdefault(parent, []).append(pid)
    found: set[int] = set()
    todo = list(roots)
    while todo:
        pid = todo.pop()
        if pid not in found:
            found.add(pid)
            todo.extend(children.get(pid, []))
    # A session or group id is the pid of its leader, which the kernel does
    # not hand out again while the id is in use.
    found |= {pid for pid, (_, group, session, _) in table.items() if group in found or session in found}
    found.discard(os.getpid())
    return {pid: table[pid][3] for pid in found}


# Per private folder: what its servers were running when a fixture was about
# to kill one (the processes a killed pane leaves behind are no one's child).
_noted: dict[str, dict[int, str]] = {}


def _note_processes(tmux: str, folder: str) -> dict[int, str]:
    """The tmux processes of `folder` and what they started, added to what
    was noted before; every server is asked for its pid first."""
    noted = _noted.setdefault(folder, {})
    known: dict[int, str | None] = dict(noted)
    known.update(dict.fromkeys(_server_pids(tmux, _sockets(folder))))
    noted.update(_tmux_processes(folder, known))
    return noted


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
    their processes outlive that. Skipped when tmux is not installed."""
    tmux = _tmux_program()  # found before the test changes PATH
    # Unix socket paths hold about 100 bytes: /tmp, not a long temporary folder.
    folder = tempfile.mkdtemp(prefix="tl", dir="/tmp")
    monkeypatch.setenv("TMUX_TMPDIR", folder)
    monkeypatch.setenv("HOME", folder)
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.delenv("TMUX", raising=False)
    try:
        yield folder
    finally:
        running = _note_processes(tmux, folder)
        for socket in _sockets(folder):
            subprocess.run([tmux, "-S", socket, "kill-server"], capture_output=True,
                           stdin=subprocess.DEVNULL)
        running = _note_processes(tmux, folder)
        del _noted[folder]

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
    tmux = _tmux_program()
    server = termloom.Server(os.path.join(tmux_isolated_env, SOCKET_NAME))
    yield server
    _note_processes(tmux, tmux_isolated_env)
    server.kill()


def _new_session(server: termloom.Server, name: str, command: str, width: int, height: int,
                 history_limit: int, environment: Mapping[str, str] | None) -> Session:
    """A session on `server`, started with no configuration file when no
    server runs yet."""
    started = False
    if not server.is_running:
        # No configuration file, not even the system's: every test sees tmux's
        # defaults (sizes, base index, shell). Kept running without a session
        # only until the first one exists.
        done = subprocess.run(
            [_tmux_program(), "-f", "/dev/null", "-S", str(server.current_socket), "start-server",
             ";", "set-option", "-s", "exit-empty", "off"],
            capture_output=True, text=True, stdin=subprocess.DEVNULL)
        if done.returncode != 0:
            pytest.fail(f"tmux could not start a server: {done.stderr.strip()}")
        started = True
    try:
        return server.new_session(name, width=width, height=height, command=command,
                                  environment=environment, history_limit=history_limit)
    except (RuntimeError, ValueError) as error:
        failure = f"tmux could not start session {name!r}: {error}"
    finally:
        if started and server.is_running:
            server.set_option("exit-empty", "on")
    pytest.fail(failure, pytrace=False)


def _ready(pane: Pane, shell: str) -> Pane:
    """The pane, once its shell shows its whole prompt alone on the screen."""
    def at_prompt() -> bool:
        screen = pane.screen()
        return (screen.text.rstrip("\n"), screen.cursor_x, screen.cursor_y) == (
            PROMPT.rstrip(), len(PROMPT), 0)

    if not _wait_for(at_prompt, READY_TIMEOUT):
        pytest.fail(f"{shell} showed no prompt within {READY_TIMEOUT:.0f} s: {pane.capture()!r}")
    return pane


@pytest.fixture
def tmux_session(tmux_server: termloom.Server) -> Session:
    """Session "test" on tmux_server, 80x24, its pane running PANE_COMMAND
    with HISTORY_LIMIT lines of history."""
    return _new_session(tmux_server, SESSION_NAME, PANE_COMMAND, WIDTH, HEIGHT, HISTORY_LIMIT, None)


@pytest.fixture
def tmux_pane(tmux_session: Session) -> Pane:
    """The pane of tmux_session: bash at its prompt."""
    return _ready(tmux_session.windows[0].panes[0], "bash")


class TmuxPaneFactory:
    """Makes panes on the test's server, each the pane of a new session
    ("pane-1", "pane-2", ...), killed with the server after the test."""

    def __init__(self, server: termloom.Server) -> None:
        self.server = server
        self._made = 0

    def __call__(self, shell: str = "bash", *, width: int = WIDTH, height: int = HEIGHT,
                 history_limit: int = HISTORY_LIMIT,
                 environment: Mapping[str, str] | None = None) -> Pane:
        """A pane of `width` x `height` keeping `history_limit` lines, with
        `environment` added to its program's. `shell` is "bash", "zsh" or
        "dash", started as SHELLS says and ready at its prompt (the test is
        skipped when it is not installed), or a command run as the pane's
        program, not waited for. `environment` needs tmux 3.2 or later."""
        if shell in SHELLS and shutil.which(shell) is None:
            pytest.skip(f"{shell} is not installed")
        self._made += 1
        session = _new_session(self.server, f"pane-{self._made}", SHELLS.get(shell, shell), width,
                               height, history_limit, environment)
        pane = session.windows[0].panes[0]
        return _ready(pane, shell) if shell in SHELLS else pane


@pytest.fixture
def tmux_pane_factory(tmux_server: termloom.Server) -> TmuxPaneFactory:
    """Makes panes running bash, zsh, dash or any command on tmux_server:
    ``tmux_pane_factory("dash", width=100, history_limit=10_000)``."""
    return TmuxPaneFactory(tmux_server)
