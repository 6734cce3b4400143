"""Every handle reaches only its own object: sessions by their exact name,
windows by their exact index, whatever tmux would make of a target."""
import os
import socket
import stat
import subprocess

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import termloom
from conftest import REAL_TMUX, host_path, real_tmux_before, wait_for


def windows_by_session(real_tmux):
    # A name tmux gives after the window's program ("tmux" until the shell has
    # started) reads as "auto": a rename turns that off and shows its name.
    out = real_tmux.tmux("list-windows", "-a", "-F",
                         "#{session_name}|#{window_index}|#{?#{automatic-rename},auto,#{window_name}}")
    return sorted(out.splitlines())


class TestSessionNamedLikeAnId:
    """tmux reads "=$0" as the session whose id is $0."""

    def test_each_member_reaches_the_named_session(self, real_tmux):
        server = real_tmux.server
        first = server.new_session("first")  # id $0
        real_tmux.tmux("new-window", "-t", "=first", "-n", "second-window")
        named = server.new_session("$0")     # id $1
        assert named.name == "$0"
        assert len(named.windows) == 1  # "first" has two
        assert named.metadata().id == "$1"
        window = named.windows[0]
        assert [p.pane_id for p in window.panes] == [real_tmux.tmux(
            "list-panes", "-t", "$1:0", "-F", "#{pane_id}").strip()]
        assert window.metadata.index == 0
        named.name = "$5"
        assert sorted(real_tmux.session_names()) == ["$5", "first"]
        assert named.kill() is True
        assert real_tmux.session_names() == ["first"] and len(first.windows) == 2

    @pytest.mark.parametrize("ghost", ["$0", "$1"])
    def test_a_name_no_session_has_reaches_no_session(self, real_tmux, Session, Window, ghost):
        real_tmux.server.new_session("first")
        real_tmux.server.new_session("other")
        before = windows_by_session(real_tmux)
        assert real_tmux.server.has_session(ghost) is False
        handle = Session(ghost, real_tmux.socket)
        assert handle.windows == []
        assert handle.kill() is False
        with pytest.raises(RuntimeError, match=r"^rename session failed: can't find session: \$"):
            handle.name = "renamed"
        window = Window(ghost, 0, real_tmux.socket, "x")
        assert (window.kill(), window.select, window.panes, window.next) == (False, False, [], None)
        assert windows_by_session(real_tmux) == before


@pytest.fixture
def attached_client(real_tmux):
    """A client attached to session "victim", on a terminal of an outer server."""
    real_tmux.server.new_session("victim")
    outer = os.path.join(real_tmux.folder, "outer")
    subprocess.run([REAL_TMUX, "-S", outer, "-f", "/dev/null", "new-session", "-d", "-x", "80", "-y", "24",
                    f"env -u TMUX {REAL_TMUX} -S {real_tmux.path} attach -t =victim"], check=True)
    try:
        name = wait_for(lambda: real_tmux.tmux("list-clients", "-F", "#{client_name}").strip())
        yield name
    finally:
        subprocess.run([REAL_TMUX, "-S", outer, "kill-server"], capture_output=True)


@pytest.mark.shared_files  # the client is attached from this machine
class TestSessionNamedLikeAClient:
    """tmux reads "=pts/1" as the session of the client on /dev/pts/1 when
    no session has that name."""

    @pytest.mark.parametrize("strip", [False, True])
    def test_the_clients_session_is_not_reached(self, real_tmux, attached_client, Session, Window, strip):
        name = attached_client.removeprefix("/dev/") if strip else attached_client
        before = windows_by_session(real_tmux)
        assert real_tmux.server.has_session(name) is False
        handle = Session(name, real_tmux.socket)
        assert handle.windows == []
        assert handle.kill() is False
        with pytest.raises(RuntimeError, match="^rename session failed: can't find session: "):
            handle.name = "renamed"
        window = Window(name, 0, real_tmux.socket, "x")
        assert (window.kill(), window.select, window.panes, window.next, window.previous) == (
            False, False, [], None, None)
        with pytest.raises(ValueError):
            window.name = "renamed"
        with pytest.raises(RuntimeError, match="^tmux failed: can't find session: "):
            window.metadata
        assert windows_by_session(real_tmux) == before
        assert real_tmux.session_names() == ["victim"]


class TestStaleWindowIndex:
    """tmux falls back to window names when no window has the index."""

    def test_a_stale_handle_reaches_no_other_window(self, real_tmux):
        session = real_tmux.server.new_session("work")
        real_tmux.tmux("new-window", "-t", "=work")
        real_tmux.tmux("new-window", "-t", "=work", "-n", "1-important")
        stale = session.windows[1]
        real_tmux.tmux("kill-window", "-t", "=work:1")
        real_tmux.tmux("select-window", "-t", "=work:0")
        before = windows_by_session(real_tmux)
        with pytest.raises(RuntimeError) as error:
            stale.metadata
        assert str(error.value) == "tmux failed: can't find window: 1"
        assert stale.panes == []
        assert stale.select is False
        with pytest.raises(ValueError):
            stale.name = "renamed"
        assert stale.kill() is False
        assert windows_by_session(real_tmux) == before
        assert real_tmux.tmux("display-message", "-p", "-t", "=work:", "#{window_index}") == "0\n"


# Characters tmux may store otherwise: tmux 3.3a writes an octal escape for
# the control character U+0085, the non-character U+FFFE, an unassigned code
# point and an emoji newer than its tables (3.5a keeps them). Before 3.2,
# tmux stores session names as given.
REWRITTEN = ["\u0085", "a\ufffeb", "\U000e0080", "\U0001fae8"]


@pytest.mark.parametrize("name", REWRITTEN)
def test_new_session_names_the_session_tmux_stored(real_tmux, name):
    created = real_tmux.server.new_session(name)
    assert real_tmux.session_names() == [created.name]
    if real_tmux_before(3, 2):
        assert created.name == name
    elif real_tmux_before(3, 4):
        assert created.name != name
    assert real_tmux.server.has_session(created.name) is True
    assert created.metadata().name == created.name
    assert len(created.windows) == 1
    created.name = name  # a rename is read back too
    assert real_tmux.session_names() == [created.name]
    assert created.kill() is True
    assert real_tmux.session_names() == []


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(name=st.text(alphabet="#[],{}$a b=?(", min_size=1, max_size=8))
def test_look_ups_match_any_stored_name_exactly(real_tmux, name):
    """The filters compare a name as a format literal; only its own session matches."""
    server = real_tmux.server
    if not server.has_session("anchor"):
        server.new_session("anchor")
    created = server.new_session(name) if not server.has_session(name) else None
    if created is None:
        return
    assert server.has_session(created.name) is True
    assert [w.session_name for w in created.windows] == [created.name]
    assert len(created.windows[0].panes) == 1
    assert created.kill() is True
    assert real_tmux.session_names() == ["anchor"]


def test_new_session_fails_when_tmux_could_not_create_its_socket(isolated_env):
    path = os.path.join(isolated_env, "missing", "s")
    with pytest.raises(RuntimeError) as error:
        termloom.Server(path).new_session("z")
    assert str(error.value).startswith(f"new session failed: error creating {path}")


def make_fifo(path):
    os.mkfifo(path)


def make_file(path):
    with open(path, "w") as f:
        f.write("kept")


def make_dangling_link(path):
    os.symlink(path + "-nowhere", path)


@pytest.mark.parametrize("make", [make_file, make_fifo, os.mkdir, make_dangling_link])
@pytest.mark.parametrize("call", ["new_session('z')", "start()"])
def test_a_path_that_is_not_a_socket_is_refused(fake_tmux, isolated_env, make, call):
    path = os.path.join(isolated_env, "sock")
    make(path)
    before = os.lstat(path)
    with pytest.raises(RuntimeError) as error:
        eval("server." + call, {"server": termloom.Server(path)})
    assert str(error.value) == f'refusing to start a tmux server: "{path}" exists and is not a socket'
    assert fake_tmux.calls == []
    after = os.lstat(path)
    assert (stat.S_IFMT(after.st_mode), after.st_ino) == (stat.S_IFMT(before.st_mode), before.st_ino)


def test_a_path_that_is_not_a_socket_survives_real_tmux(real_tmux):
    # On the tmux host, which may be another.
    real_tmux.host.check("sh", "-c", 'printf kept >"$1"', "sh", real_tmux.path)
    for call in [lambda: real_tmux.server.new_session("z"), real_tmux.server.start,
                 lambda: real_tmux.server.command("new-session", "-d")]:
        with pytest.raises(RuntimeError) as error:
            call()
        assert "exists and is not a socket" in str(error.value)
    assert real_tmux.host.check("cat", real_tmux.path) == "kept"


def refuses_connections(path):
    probe = socket.socket(socket.AF_UNIX)
    try:
        probe.connect(path)
    except (ConnectionRefusedError, FileNotFoundError):
        return True
    finally:
        probe.close()
    return False


@pytest.mark.shared_files  # the socket is probed from this machine
@pytest.mark.parametrize("default", [False, True])
def test_kill_returns_once_the_server_is_gone(real_tmux, default):
    # The default server of the tmux host: here, or the one of the remote
    # host (whose TMUX_TMPDIR is the test sshd's).
    server = termloom.Server(real_tmux.host.base_address or None) if default else real_tmux.server
    for _ in range(10):
        server.new_session("x")
        path = server.current_socket
        path = host_path(path) if real_tmux.host.remote else path
        assert refuses_connections(path) is False
        assert server.kill() is True
        assert refuses_connections(path) is True
