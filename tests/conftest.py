import base64
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

import termloom
import termloom_pytest

# The test sshd and container (tests/remote_hosts.py).
pytest_plugins = ["remote_hosts"]

# A UTF-8 locale whatever the machine's: termloom adds "-u" to tmux's command
# line under any other, and the exact command lines below are without it.
os.environ["LANG"] = "C.UTF-8"
for _variable in ("LC_ALL", "LC_CTYPE"):
    os.environ.pop(_variable, None)

HERE = os.path.dirname(os.path.abspath(__file__))
# The checkout's tools (ELF reading, the generated files) serve the tests too.
sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tools"))
# Looked up before any test changes PATH, and handed down to the Pythons the
# tests start, whose PATH may already begin with a scripted tmux.
REAL_TMUX = os.environ.get("TERMLOOM_TEST_REAL_TMUX") or shutil.which("tmux")
if REAL_TMUX:
    os.environ["TERMLOOM_TEST_REAL_TMUX"] = REAL_TMUX


def release_of(program):
    """The release of a tmux program as (major, minor), from `tmux -V`; a
    build from the development tree ("master") is newer than any."""
    line = subprocess.run([program, "-V"], capture_output=True, text=True).stdout
    found = re.search(r"(\d+)\.(\d+)", line)
    return (int(found.group(1)), int(found.group(2))) if found else (999, 0)


REAL_TMUX_RELEASE = release_of(REAL_TMUX) if REAL_TMUX else None


def real_tmux_before(major, minor):
    """True when the real tmux of the tests is older than release major.minor."""
    return REAL_TMUX_RELEASE is not None and REAL_TMUX_RELEASE < (major, minor)


def short_temp_dir():
    # Unix socket paths are limited to about 100 bytes: keep them short.
    return tempfile.mkdtemp(prefix="tl", dir="/tmp")


# TERMLOOM_TEST_ADDRESS_SCHEME=ssh or docker: the fixtures' servers run on
# the test sshd or in the test container (tests/remote_hosts.py), and only
# the real-tmux tests of REMOTE_FILES run, less those marked local_only (and,
# in the container, shared_files: they need a file system shared with it).
ADDRESS_SCHEME = os.environ.get("TERMLOOM_TEST_ADDRESS_SCHEME") or None
REMOTE_FILES = {
    "ssh": {"test_driving_exactly.py", "test_building.py", "test_exact_objects.py",
            "test_everyday.py", "test_pane_run.py", "test_pane_driving.py", "test_remote.py",
            "test_connection.py"},
    "docker": {"test_driving_exactly.py", "test_building.py", "test_pane_run.py", "test_remote.py",
               "test_connection.py"},
}


@pytest.fixture(scope="session")
def tmux_address(request):
    """The plugin's servers on the test sshd or in the test container."""
    if ADDRESS_SCHEME == "ssh":
        return request.getfixturevalue("sshd").address
    if ADDRESS_SCHEME == "docker":
        return request.getfixturevalue("docker_box").address
    return None


def host_path(address):
    """The socket path in a remote address: "ssh://box/tmp/x/s" -> "/tmp/x/s"."""
    rest = address.split("://", 1)[1]
    return rest[rest.index("/"):]


class RealTmux:
    """A private tmux server on its own socket, killed at teardown. `socket`
    is the server's address (a path here), `path` its socket on its host."""

    def __init__(self, folder, server, host):
        self.folder = folder
        self.server = server
        self.socket = server.current_socket
        self.host = host
        self.path = host_path(self.socket) if host.remote else self.socket

    def tmux(self, *args, check=True):
        """Runs tmux against this server on its host, bypassing termloom."""
        done = self.host.run("tmux", "-S", self.path, *args)
        result = subprocess.CompletedProcess(done.args, done.returncode,
                                             done.stdout.decode(errors="replace"),
                                             done.stderr.decode(errors="replace"))
        if check and result.returncode != 0:
            raise AssertionError(f"tmux {args} failed: {result.stderr}")
        return result.stdout

    def session_names(self):
        out = self.tmux("list-sessions", "-F", "#{session_name}", check=False)
        return out.removesuffix("\n").split("\n") if out else []  # a name may hold U+0085


# A suite started with SIGINT ignored (under nohup, or as a background job
# of a non-interactive shell) would have every Ctrl-C test fail or wait for
# ever: the tests, and the programs they start, take it again.
if signal.getsignal(signal.SIGINT) == signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)


# TERMLOOM_TEST_CONNECTION=1: every test's private server is reached through
# a connection (Server.connect), so the same tests check its answers.
THROUGH_CONNECTION = os.environ.get("TERMLOOM_TEST_CONNECTION") == "1"


@pytest.fixture
def tmux_server(tmux_server):
    """The plugin's private server; with TERMLOOM_TEST_CONNECTION=1, connected."""
    if not THROUGH_CONNECTION:
        yield tmux_server
        return
    with tmux_server.connect():
        yield tmux_server


@pytest.fixture
def isolated_env(tmux_isolated_env):
    """A short private TMUX_TMPDIR, and no TMUX from an enclosing session.

    HOME points there too, so no personal tmux or shell set-up (a base-index,
    a slow shell start-up file) changes what the tests see. Any server a test
    starts in there is killed afterwards (termloom's own pytest fixture).
    """
    return tmux_isolated_env


@pytest.fixture
def real_tmux(tmux_server, isolated_env, tmux_host):
    """The plugin's private server, with a way to run tmux on it directly."""
    return RealTmux(isolated_env, tmux_server, tmux_host)

# Puts the terminal in raw mode, says "ready" and appends every byte it reads
# to the file named by its argument.
RAW_READER = (
    "import os, sys, tty\n"
    "tty.setraw(0)\n"
    "out = os.open(sys.argv[1], os.O_WRONLY | os.O_CREAT | os.O_APPEND)\n"
    "os.write(1, b'ready')\n"
    "while True:\n"
    "    os.write(out, os.read(0, 65536))\n"
)


@pytest.fixture
def raw_pane(real_tmux):
    """A pane whose program logs the bytes it receives; (pane, log path)."""
    script, log = os.path.join(real_tmux.folder, "reader.py"), os.path.join(real_tmux.folder, "log")
    with open(script, "w") as f:
        f.write(RAW_READER)
    open(log, "wb").close()
    real_tmux.tmux("new-session", "-d", "-s", "raw", f"{sys.executable} {script} {log}")
    pane = real_tmux.server.target_pane("=raw:0.0")
    pane.wait_for("ready")
    return pane, log


def logged(log):
    with open(log, "rb") as f:
        return f.read()



class FakeProgram:
    """Scripted responses for one fake program, and the argv of every run."""

    def __init__(self, folder, name):
        self.folder = folder
        self.state = os.path.join(folder, "state-" + name)
        os.makedirs(self.state, exist_ok=True)
        path = self.path = os.path.join(folder, name)
        with open(os.path.join(HERE, "fake_tmux.py")) as f:
            body = f.read()
        with open(path, "w") as f:
            f.write(f"#!{sys.executable} -S\n{body}")  # -S: start fast
        os.chmod(path, 0o755)
        self._queue = []
        self._default = self._response()
        self._save()

    @staticmethod
    def _response(stdout=b"", stderr=b"", code=0, sleep=None):
        as_bytes = lambda v: v.encode() if isinstance(v, str) else v
        return {
            "stdout": base64.b64encode(as_bytes(stdout)).decode(),
            "stderr": base64.b64encode(as_bytes(stderr)).decode(),
            "code": code,
            "sleep": sleep,
        }

    def _save(self):
        with open(os.path.join(self.state, "script.json"), "w") as f:
            json.dump({"queue": self._queue, "default": self._default}, f)

    def respond(self, stdout=b"", stderr=b"", code=0, sleep=None):
        """Queues the answer to the next run not yet answered."""
        self._queue.append(self._response(stdout, stderr, code, sleep))
        self._save()
        return self

    def version(self, line):
        """What `-V` prints from now on (a line such as "tmux 3.1c")."""
        with open(os.path.join(self.state, "version"), "w") as f:
            f.write(line + "\n")
        # termloom asks each program file once: a new modification time
        # makes it a program not asked yet.
        stat = os.stat(self.path)
        os.utime(self.path, ns=(stat.st_atime_ns, stat.st_mtime_ns + 1))
        return self

    def always(self, stdout=b"", stderr=b"", code=0, sleep=None):
        """The answer once the queue is used up."""
        self._default = self._response(stdout, stderr, code, sleep)
        self._save()
        return self

    @property
    def versions_asked(self):
        """How many times `-V` ran."""
        try:
            with open(os.path.join(self.state, "versions-asked")) as f:
                return len(f.readlines())
        except FileNotFoundError:
            return 0

    @property
    def calls(self):
        try:
            with open(os.path.join(self.state, "calls.jsonl")) as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []


@pytest.fixture
def fake_bin(isolated_env, monkeypatch):
    """A folder first on PATH; `fake_bin.program("tmux")` scripts a program."""
    folder = os.path.join(isolated_env, "bin")
    os.makedirs(folder)
    monkeypatch.setenv("PATH", folder + os.pathsep + os.environ.get("PATH", ""))

    class Bin:
        path = folder

        @staticmethod
        def program(name):
            return FakeProgram(folder, name)

    return Bin()


@pytest.fixture
def fake_tmux(fake_bin):
    return fake_bin.program("tmux")


@pytest.fixture
def no_tmux(isolated_env, monkeypatch):
    """A PATH on which no tmux can be found."""
    empty = os.path.join(isolated_env, "empty")
    os.makedirs(empty)
    monkeypatch.setenv("PATH", empty)


def unpublished_classes():
    """The classes the module does not publish, by name.

    They are reached through handles, made once with a throw-away scripted
    tmux so that no real server is involved.
    """
    global _classes
    if _classes is None:
        folder = short_temp_dir()
        old_path = os.environ["PATH"]
        try:
            fake = FakeProgram(folder, "tmux")
            fake.respond(stdout="work\n")  # new-session
            fake.respond(stdout="$0|work|100|1|80|24|3\n")  # list-sessions
            fake.respond(stdout="work\t0\t0\t%0\ttitle\n")  # target_pane
            fake.respond(stdout="work\t0\tname\n")  # target_window
            fake.respond(stdout="$0\n0|name|1|L|80|24|*\n")  # window metadata: session id, window
            fake.respond(stdout="0|||/x\n$\n0 0 80 1 0 0 1 0 2000 /dev/null\n")  # screen: pipe, capture, state
            fake.respond(stdout=PANE_METADATA_LINE)  # pane metadata
            fake.respond(stdout="x\n0 0 1 1 0 0 1 1\ndefault\ndefault\n")  # styled screen
            os.environ["PATH"] = folder
            server = termloom.Server()
            session = server.new_session("work")
            made = [session, session.metadata(), server.target_pane("x"), server.target_window("x")]
            made += [made[3].metadata, made[2].last_command, made[2].screen(), made[2].metadata()]
            made.append(made[2].screen(styles=True).cells[0][0])
            # Last: its try at a control client may run the scripted tmux.
            connection = termloom.Server(os.path.join(folder, "none")).connect()
            connection.close()
            made.append(connection)
            _classes = {type(obj).__name__: type(obj) for obj in made}
        finally:
            os.environ["PATH"] = old_path
            shutil.rmtree(folder, ignore_errors=True)
        result, expectation = _command_result()
        _classes["CommandResult"], _classes["Expectation"] = type(result), type(expectation)
    return _classes


def _command_result():
    """A CommandResult and an Expectation: only a real shell's run and expect make them."""
    folder = short_temp_dir()
    socket = os.path.join(folder, "s")
    old_path = os.environ["PATH"]
    try:
        # The real tmux first, whatever scripted one the calling test put there.
        os.environ["PATH"] = os.path.dirname(REAL_TMUX or "/usr/bin/tmux") + os.pathsep + old_path
        subprocess.run([REAL_TMUX or "tmux", "-S", socket, "-f", "/dev/null", "new-session", "-d",
                        "-s", "r", "env -i PATH=/usr/bin:/bin PS1='$ ' sh"], check=True)
        pane = termloom.Server(socket).target_pane("=r:0.0")
        pane.wait_for("$")
        return pane.run("true"), pane.expect("$")
    finally:
        os.environ["PATH"] = old_path
        subprocess.run([REAL_TMUX or "tmux", "-S", socket, "kill-server"], capture_output=True)
        shutil.rmtree(folder, ignore_errors=True)


_classes = None
# What tmux prints for one pane in a pane metadata listing (tab-separated).
PANE_METADATA_LINE = "work\t0\tname\t0\t%0\ttitle\t1\t80\t24\t0\t0\t123\tbash\t/tmp\t0\t\t0\t0\t/dev/pts/1\t$0\t@0\n"


def class_fixture(name):
    """A fixture giving the unpublished class `name`; tests take it by that name."""
    def fixture():
        return unpublished_classes()[name]
    fixture.__name__ = name
    return pytest.fixture(fixture)


for _name in ["Session", "SessionMetadata", "Window", "WindowMetadata", "Pane", "LastCommand", "Screen",
              "CommandResult", "Expectation", "PaneMetadata", "Cell"]:
    globals()[_name] = class_fixture(_name)


@pytest.fixture
def fake_tmux_free_session(Session):
    """A Session handle for "work" with no socket, made without running tmux."""
    return Session("work")


# A bash that reads no start-up files, keeps its history in memory only and
# shows a short prompt, so that screens and histories are predictable.
BASH = "env -i PATH=/usr/bin:/bin HOME=/tmp TERM=screen PS1='$ ' HISTFILE=/dev/null bash --norc --noprofile"


def wait_for(predicate, timeout=10.0, interval=0.02):
    """Polls until predicate() is true; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting")
        time.sleep(interval)


def process_ended(pid):
    """Whether process `pid` has exited: gone, or a zombie (a daemon's is
    reaped by init, which may take its time)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:  # gone, also between a look and a read
        return True


def wait_for_prompt(pane, prefix="", above=None, prompt="$ "):
    """Waits until the shell's whole prompt is on the cursor's line, after
    `prefix` (output without a line end) and below a line `above`, with the
    cursor after it: nothing more is coming. Returns that Screen."""
    def ready():
        screen = pane.screen()
        lines = screen.text.split("\n")
        y = screen.cursor_y
        whole = (y < len(lines) and lines[y] == (prefix + prompt).rstrip()
                 and screen.cursor_x == len(prefix + prompt)
                 and (above is None or (y > 0 and lines[y - 1] == above)))
        return screen if whole else None

    return wait_for(ready)


@pytest.fixture
def bash_pane(real_tmux):
    """The pane of session "sh": an interactive bash at its prompt, 120x30."""
    real_tmux.tmux("new-session", "-d", "-s", "sh", "-x", "120", "-y", "30", BASH)
    pane = real_tmux.server.target_pane("=sh:0.0")
    wait_for_prompt(pane)
    return pane


def interrupt_child(argv, started):
    """Starts argv (a Python that prints "ready" first), sends it SIGINT once
    `started()` holds, and returns the next line it prints and the seconds
    from the signal to that line."""
    child = subprocess.Popen(argv, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        wait_for(started)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        report = child.stdout.readline()
        took = time.monotonic() - sent
        child.communicate(timeout=10)
    finally:
        child.kill()
    return report, took


# The scripted stand-ins: a test that takes one of them, and no real server,
# gives the same answers on every tmux release.
SCRIPTED_FIXTURES = {"fake_tmux", "fake_bin", "no_tmux"}
REAL_FIXTURES = {"real_tmux", "tmux_server", "tmux_session", "tmux_pane", "bash_pane"}


def pytest_addoption(parser):
    parser.addoption("--real-tmux-only", action="store_true",
                     help="leave out the tests that run only a scripted tmux (for another tmux release)")
    parser.addoption("--no-real-tmux", action="store_true",
                     help="leave out the tests that drive a real tmux (for another CPython of the same wheel)")


def pytest_configure(config):
    config.addinivalue_line("markers", "local_only: a test of this machine's own tmux (skipped on remote hosts)")
    config.addinivalue_line("markers", "shared_files: the pane reads or writes this machine's files")
    config.addinivalue_line("markers", "remote: runs on remote hosts though it takes no real-tmux fixture")


def _runs_remotely(item):
    if os.path.basename(str(item.fspath)) not in REMOTE_FILES[ADDRESS_SCHEME]:
        return False
    if item.get_closest_marker("local_only") or SCRIPTED_FIXTURES & set(item.fixturenames):
        return False
    if ADDRESS_SCHEME == "docker" and item.get_closest_marker("shared_files"):
        return False
    return bool(REAL_FIXTURES & set(item.fixturenames)) or item.get_closest_marker("remote") is not None


def pytest_collection_modifyitems(config, items):
    if ADDRESS_SCHEME:
        left_out = [item for item in items if not _runs_remotely(item)]
    elif config.getoption("--real-tmux-only"):
        left_out = [item for item in items
                    if SCRIPTED_FIXTURES & set(item.fixturenames) and not REAL_FIXTURES & set(item.fixturenames)]
    elif config.getoption("--no-real-tmux"):
        left_out = [item for item in items if REAL_FIXTURES & set(item.fixturenames)]
    else:
        return
    if left_out:
        config.hook.pytest_deselected(items=left_out)
        kept = set(map(id, items)) - set(map(id, left_out))
        items[:] = [item for item in items if id(item) in kept]
