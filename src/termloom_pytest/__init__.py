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
- ``tmux_address``: where the fixtures' servers run: None for this machine,
  or a remote address (``ssh://host``, ``docker://container``,
  ``podman://container``) given by the option ``--tmux-address`` or the
  environment variable ``TERMLOOM_PYTEST_ADDRESS``. Then each server is on a
  socket in a private folder made on that host, which goes after the test;
  processes are checked for leftovers only where that host shares this
  machine's processes.
- ``tmux_host``: runs a program on the host of the fixtures' servers, for
  tests that look there directly (``tmux_host.run("ls", "/tmp")``).
- ``screen_snapshot``: syrupy's snapshot for styled screens, stored as SVG
  pictures and compared cell by cell (``termloom_pytest.snapshot``; needs
  syrupy).
"""

from __future__ import annotations

import os
import re
import shlex
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

__all__ = ["PROMPT", "PANE_COMMAND", "SHELLS", "HISTORY_LIMIT", "TmuxHost", "TmuxPaneFactory",
           "tmux_address", "tmux_host", "tmux_isolated_env", "tmux_server", "tmux_session", "tmux_pane",
           "tmux_pane_factory", "screen_snapshot"]

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
# A tmux server still ending (busy panes, a loaded machine) gets this long in all.
SERVER_EXIT_TIMEOUT = 30.0


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


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--tmux-address", default=None,
                     help="run the tmux fixtures' servers there: ssh://host, docker://container "
                          "or podman://container (also TERMLOOM_PYTEST_ADDRESS)")


_REMOTE = re.compile(r"^(ssh|docker|podman)://([^/]+)(/.*)?$")


class TmuxHost:
    """Runs programs on the host of a tmux address, as termloom reaches it:
    this machine; ssh (TERMLOOM_SSH_COMMAND's ssh and options, through a
    connection of its own); or a container engine's ``exec -i``."""

    def __init__(self, address: str | None):
        self.address = address
        self.base_address = ""  # the address without its path
        self.folder: str = ""  # where private folders go there ("" for /tmp)
        self._control: str | None = None
        self._prefix: list[str] = []
        if address is None:
            return
        found = _REMOTE.match(address)
        if not found:
            raise pytest.UsageError(f"not a remote tmux address: {address!r}")
        scheme, where, self.folder = found.group(1), found.group(2), found.group(3) or ""
        self.base_address = f"{scheme}://{where}"
        if scheme != "ssh":
            self._prefix = [scheme, "exec", "-i", where]
            return
        words = shlex.split(os.environ.get("TERMLOOM_SSH_COMMAND") or "ssh")
        user, _, host = where.rpartition("@")
        port = ""
        if host.startswith("["):
            host, _, rest = host[1:].partition("]")
            port = rest.removeprefix(":")
        elif ":" in host:
            host, _, port = host.partition(":")
        self._control = tempfile.mkdtemp(prefix="tlpt", dir="/tmp")
        self._prefix = words + ["-o", "BatchMode=yes", "-o", "ControlMaster=auto", "-o",
                                f"ControlPath={self._control}/m", "-o", "ControlPersist=30", "-T"]
        self._prefix += (["-l", user] if user else []) + (["-p", port] if port else []) + ["--", host]

    @property
    def remote(self) -> bool:
        return self.address is not None

    def run(self, *argv: str, input: bytes | None = None) -> subprocess.CompletedProcess[bytes]:
        """argv on the host; its exit status, output and errors (bytes)."""
        if not self.remote:
            command = list(argv)
        elif self._control is not None:
            command = self._prefix + [" ".join(shlex.quote(a) for a in argv)]
        else:
            command = self._prefix + list(argv)
        return subprocess.run(command, input=input, capture_output=True,
                              stdin=None if input is not None else subprocess.DEVNULL)

    def check(self, *argv: str) -> str:
        """argv on the host, which must succeed; its output as text."""
        done = self.run(*argv)
        if done.returncode != 0:
            raise AssertionError(f"{argv} on {self.address}: {done.stderr.decode(errors='replace')}")
        out: bytes = done.stdout
        return out.decode(errors="replace")

    def same_processes(self) -> bool:
        """Whether the host's processes are this machine's (same boot, same
        pid namespace): then what the fixtures left behind can be seen here."""
        if not self.remote:
            return True
        done = self.run("sh", "-c", "cat /proc/sys/kernel/random/boot_id; readlink /proc/self/ns/pid")
        here = _read("/proc/sys/kernel/random/boot_id").decode() + os.readlink("/proc/self/ns/pid") + "\n"
        return done.returncode == 0 and done.stdout.decode() == here

    def close(self) -> None:
        if self._control is None:
            return
        subprocess.run(self._prefix[:-2] + ["-O", "exit"] + self._prefix[-2:],
                       capture_output=True, stdin=subprocess.DEVNULL)
        shutil.rmtree(self._control, ignore_errors=True)
        self._control = None


@pytest.fixture(scope="session")
def tmux_address(pytestconfig: pytest.Config) -> str | None:
    """The remote address the fixtures' servers run at; None for this machine."""
    return pytestconfig.getoption("--tmux-address") or os.environ.get("TERMLOOM_PYTEST_ADDRESS") or None


@pytest.fixture(scope="session")
def tmux_host(tmux_address: str | None) -> Iterator[TmuxHost]:
    """Runs programs where the fixtures' servers run."""
    host = TmuxHost(tmux_address)
    yield host
    host.close()


@pytest.fixture
def tmux_isolated_env(monkeypatch: pytest.MonkeyPatch, tmux_host: TmuxHost) -> Iterator[str]:
    """A short private folder as TMUX_TMPDIR and HOME, TMUX unset; every tmux
    server started under it is killed after the test, which fails if any of
    their processes outlive that. Skipped when tmux is not installed (here,
    unless the fixtures' servers run on another host)."""
    tmux = shutil.which("tmux") if tmux_host.remote else _tmux_program()  # before PATH changes
    # Unix socket paths hold about 100 bytes: /tmp, not a long temporary folder.
    folder = tempfile.mkdtemp(prefix="tl", dir="/tmp")
    monkeypatch.setenv("TMUX_TMPDIR", folder)
    monkeypatch.setenv("HOME", folder)
    monkeypatch.delenv("XDG_CONFIG_HOME", raising=False)
    monkeypatch.delenv("TMUX", raising=False)
    if tmux is None:
        yield folder
        shutil.rmtree(folder, ignore_errors=True)
        return
    try:
        yield folder
    finally:
        running = _note_processes(tmux, folder)
        for socket in _sockets(folder):
            subprocess.run([tmux, "-S", socket, "kill-server"], capture_output=True,
                           stdin=subprocess.DEVNULL)
        running = _note_processes(tmux, folder)
        del _noted[folder]
        left = _leftovers(running)
        shutil.rmtree(folder, ignore_errors=True)
    if left:
        pytest.fail(f"tmux processes outlived the test (now killed): {left}", pytrace=False)


@pytest.fixture
def tmux_server(tmux_isolated_env: str, tmux_host: TmuxHost) -> Iterator[termloom.Server]:
    """A Server on a private socket; killed after the test."""
    if not tmux_host.remote:
        tmux = _tmux_program()
        server = termloom.Server(os.path.join(tmux_isolated_env, SOCKET_NAME))
        yield server
        _note_processes(tmux, tmux_isolated_env)
        server.kill()
        return
    # A private folder on the tmux host, for the socket.
    base = tmux_host.folder or "/tmp"
    folder = tmux_host.check("sh", "-c", f"umask 077; exec mktemp -d {shlex.quote(base)}/tlXXXXXX").strip()
    server = termloom.Server(f"{tmux_host.base_address}{folder}/{SOCKET_NAME}")
    watched = tmux_host.same_processes()
    try:
        yield server
    finally:
        running: dict[int, str] = {}
        if watched:
            running = _remote_processes(server, folder)
        server.kill()
        tmux_host.run("rm", "-rf", "--", folder)
        if watched:
            running.update(_remote_processes(server, folder, running))
            left = _leftovers(running)
            if left:
                pytest.fail("tmux processes outlived the test (now killed): " + left, pytrace=False)


def _remote_processes(server: termloom.Server, folder: str,
                      noted: Mapping[int, str] | None = None) -> dict[int, str]:
    """The processes of a server on a host that shares this machine's
    processes: its own, what runs in its panes, and what they started."""
    known: dict[int, str | None] = dict(noted or {})
    try:
        pid = server.command("display-message", "-p", "#{pid}").strip()
    except RuntimeError:
        pid = ""
    if pid.isdigit():
        known[int(pid)] = None
    return _tmux_processes(folder, known)


def _leftovers(running: Mapping[int, str]) -> str:
    """Waits for the processes to end; kills and names those that do not."""
    def alive() -> list[int]:
        return [pid for pid, started in running.items() if _start_time(pid) == started]

    _wait_for(lambda: not alive(), EXIT_TIMEOUT)
    if all(os.path.basename(_command_line(pid).split(" ", 1)[0]) == "tmux" for pid in alive()):
        _wait_for(lambda: not alive(), SERVER_EXIT_TIMEOUT - EXIT_TIMEOUT)
    left = {pid: _command_line(pid) for pid in alive()}
    for pid in left:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    return ", ".join(f"{pid} ({command})" for pid, command in sorted(left.items()))


def _new_session(server: termloom.Server, name: str, command: str, width: int, height: int,
                 history_limit: int, environment: Mapping[str, str] | None) -> Session:
    """A session on `server`, started with no configuration file when no
    server runs yet."""
    started = False
    if not server.is_running:
        # No configuration file, not even the system's: every test sees tmux's
        # defaults (sizes, base index, shell). Kept running without a session
        # only until the first one exists.
        words = ["-f", "/dev/null", "start-server", ";", "set-option", "-s", "exit-empty", "off"]
        address = str(server.current_socket)
        if "://" in address:
            try:
                server.command(*words)
            except RuntimeError as error:
                pytest.fail(f"tmux could not start a server: {error}")
        else:
            done = subprocess.run([_tmux_program(), "-S", address, *words],
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
