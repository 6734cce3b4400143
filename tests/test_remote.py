"""tmux on other hosts: the addresses, the exact text and argument vectors
over ssh and in containers, and the faults of the way there, against the
test sshd and container of remote_hosts.py."""
import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import termloom
from conftest import REAL_TMUX, interrupt_child, logged, process_ended, wait_for

MARKER = "\x1etl\x1e"


class TestAddresses:
    @pytest.mark.parametrize("address", ["http://x/s", "ftp://h", "sftp://box/tmp/s", "SSH://box", "x+y://z"])
    def test_an_unknown_scheme_is_a_value_error_naming_the_schemes(self, address, Session, Pane, Window):
        for make in [lambda: termloom.Server(address), lambda: Session("s", address),
                     lambda: Window("s", 0, address, "w"), lambda: Pane("s", 0, 0, "%0", "t", address)]:
            with pytest.raises(ValueError, match=r"ssh://, docker:// and podman://"):
                make()

    @pytest.mark.parametrize("address, why", [
        ("ssh://", "no host"), ("ssh://-oProxyCommand=x/s", "the host may hold only"),
        ("ssh://a b/s", "the host may hold only"), ("ssh://box:0/s", "the port is not"),
        ("ssh://box:70000", "the port is not"), ("ssh://box:/s", "no port"),
        ("ssh://-l@box/s", "the user name"), ("ssh://box/", "the socket path after the host is empty"),
        ("ssh://[::1/s", "no \"]\""), ("docker://-v/s", "the container may hold only"),
        ("docker://", "no container"), ("podman://a;b", "the container may hold only"),
    ])
    def test_a_malformed_address_is_refused_at_once(self, address, why):
        with pytest.raises(ValueError, match="bad tmux server address") as error:
            termloom.Server(address)
        assert why in str(error.value)

    @pytest.mark.parametrize("text", ["/tmp/a://b", "rel://x", "./ssh://box", "", "a b"])
    def test_a_path_stays_a_path(self, fake_tmux, text):
        # No scheme first ("rel" is one): the text is a socket path as before.
        if text == "rel://x":
            with pytest.raises(ValueError):
                termloom.Server(text)
            return
        fake_tmux.respond()
        assert termloom.Server(text).is_running is True
        assert fake_tmux.calls == [["tmux", "-S", text, "list-sessions"]]

    @pytest.mark.parametrize("address", ["ssh://u@box:2222/tmp/x/s", "docker://web", "podman://c1/s"])
    def test_handles_keep_the_address(self, address, Session):
        session = Session("s", address)
        assert session.socket == address
        assert f'socket=Some("{address}")' in repr(session)


class TestContainerArgv:
    """`ENGINE exec -i CONTAINER sh -c SCRIPT sh ARGV...`: the words as they
    are, after a marker that tells the engine's failures from tmux's."""

    @pytest.mark.parametrize("engine", ["docker", "podman"])
    def test_exact_argument_vector(self, fake_bin, engine):
        fake = fake_bin.program(engine)
        fake.respond(stdout=MARKER + "out\n")
        words = ["a;", "$HOME", "'q\"", "back\\slash", "line\nfeed", "-x", ""]
        assert termloom.Server(f"{engine}://box/s").command(*words) == "out\n"
        assert fake.calls == [[engine, "exec", "-i", "box", "sh", "-c",
                               "printf '\\036tl\\036';if [ -L \"$1\" ]||[ -e \"$1\" ];then [ -S \"$1\" ]||"
                               "{ printf refused;exit 0;};fi;shift;exec \"$@\"",
                               "sh", "/s", "tmux", "-u", "-S", "/s", *words]]

    def test_a_status_run_of_the_default_server(self, fake_bin):
        fake = fake_bin.program("docker")
        fake.respond(stdout=MARKER, code=1)
        assert termloom.Server("docker://box").is_running is False
        assert fake.calls == [["docker", "exec", "-i", "box", "sh", "-c", "printf '\\036tl\\036';exec \"$@\"",
                               "sh", "tmux", "-u", "list-sessions"]]

    @pytest.mark.parametrize("stdout, code, said", [
        ("", 1, "Cannot connect to the Docker daemon"),       # the engine, not tmux, exits 1
        ("", 125, "Error: no such container"),
        (MARKER, 127, "sh: exec: tmux: not found"),
    ])
    def test_the_engines_failures_are_errors_not_answers(self, fake_bin, stdout, code, said):
        fake = fake_bin.program("docker")
        fake.always(stdout=stdout, stderr=said + "\n", code=code)
        server = termloom.Server("docker://box/s")
        for member in [lambda: server.is_running, lambda: server.has_session("x"), lambda: server.sessions]:
            with pytest.raises(RuntimeError) as error:
                member()
            assert 'docker container "box"' in str(error.value) and said in str(error.value)


@pytest.fixture
def remote_server(sshd, tmux_host, isolated_env):
    """A server on the test sshd at a private socket (this machine's folder:
    the host is this machine), killed afterwards."""
    server = termloom.Server(f"ssh://box{isolated_env}/r")
    yield server
    server.kill()


def ssh_masters(config, host=None):
    """pid -> command line of the ControlMasters made for the test sshd (to
    `host` only, if given)."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                words = f.read().split(b"\0")
        except OSError:
            continue
        words = [w.decode() for w in words if w]
        if config in words and "ControlMaster=yes" in words and host in (None, words[-1]):
            found[int(entry)] = words
    return found


class TestSshFaults:
    """ssh's failures are errors naming the host and ssh's words: never a
    False, a None or an empty list that means "no such session"."""

    @pytest.mark.parametrize("host, said", [
        ("stranger", "Host key verification failed"),
        ("notmux", 'cannot run "tmux" on ssh host "notmux"'),
        ("banner", "printed \"Welcome to the test host\\n\" before running the command"),
        ("127.0.0.1:1", "Connection refused"),
    ])
    @pytest.mark.parametrize("connected", [False, True], ids=["per call", "connected"])
    def test_a_failed_way_is_an_error(self, sshd, isolated_env, host, said, connected):
        # With a connection open, its client cannot start: each call runs
        # once and says the same.
        server = termloom.Server(f"ssh://{host}{isolated_env}/s")
        connection = server.connect() if connected else None
        for member in [lambda: server.is_running, lambda: server.has_session("x"),
                       lambda: server.sessions, lambda: server.new_session("x")]:
            with pytest.raises(RuntimeError) as error:
                member()
            assert said in str(error.value), str(error.value)
            assert "ssh host" in str(error.value)
        if connection:
            assert connection.client_pid is None
            connection.close()

    def test_the_master_socket_removed(self, sshd, remote_server):
        remote_server.new_session("m")
        (pid, words), = ssh_masters(sshd.config, "box").items()
        control = next(w.split("=", 1)[1] for w in words if w.startswith("ControlPath="))
        os.unlink(control)
        # The next call makes a new connection, and ends the old one, which
        # takes its own path away as it goes: the new one has a path of its own.
        assert [s.name for s in remote_server.sessions] == ["m"]
        wait_for(lambda: process_ended(pid))
        (_, words), = ssh_masters(sshd.config, "box").items()
        path = next(w.split("=", 1)[1] for w in words if w.startswith("ControlPath="))
        assert path != control and os.path.exists(path)
        assert [s.name for s in remote_server.sessions] == ["m"]
        assert len(ssh_masters(sshd.config, "box")) == 1  # that call went through it

    def test_sshd_killed_mid_call(self, sshd, remote_server):
        pane = remote_server.new_session("k").windows[0].panes[0]
        pane.wait_for(re.compile(r"[$#] "))
        errors = []

        def wait():
            try:
                pane.run("sleep 5", timeout=30)
            except Exception as error:  # noqa: BLE001 - what the run raised is the result
                errors.append(error)

        waiter = threading.Thread(target=wait)
        waiter.start()
        wait_for(lambda: "sleep 5" in pane.capture())
        for pid in sshd.session_processes():
            os.kill(pid, signal.SIGKILL)
        waiter.join(30)
        assert not waiter.is_alive()
        (error,) = errors
        assert isinstance(error, RuntimeError) and 'ssh host "box"' in str(error), repr(error)
        # The server itself lives on; a new connection reaches it.
        assert [s.name for s in remote_server.sessions] == ["k"]

    def test_ctrl_c_ends_a_remote_wait(self, sshd, remote_server):
        pane = remote_server.new_session("c").windows[0].panes[0]
        before = set(ssh_masters(sshd.config))
        program = textwrap.dedent(f"""
            import termloom
            pane = termloom.Server({remote_server.current_socket!r}).target_pane("=c:0.0")
            pane.screen()
            print("ready", flush=True)
            try:
                pane.wait_for("never printed", timeout=60)
            except KeyboardInterrupt:
                print("interrupted", flush=True)
        """)
        report, took = interrupt_child([sys.executable, "-c", program], lambda: time.sleep(0.5) or True)
        assert report == "interrupted\n"
        # The child's connection went with it (its master ends at the
        # child's exit); the pane goes on. (A master of this process may end
        # meanwhile at its persist time.)
        wait_for(lambda: set(ssh_masters(sshd.config)) <= before)
        assert pane.is_alive

    @pytest.mark.parametrize("connected", [False, True], ids=["per call", "connected"])
    def test_no_ssh_process_outlives_the_program(self, sshd, remote_server, connected):
        remote_server.new_session("p")
        before = set(ssh_masters(sshd.config))
        program = textwrap.dedent(f"""
            import os, sys, termloom
            server = termloom.Server({remote_server.current_socket!r})
            if {connected}:
                connection = server.connect()  # left open: the exit ends it
                assert connection.client_pid is not None
            assert [s.name for s in server.sessions] == ["p"]
            pane = server.target_pane("=p:0.0")
            pane.screen()  # a stream: a reader that stays
            if os.fork() == 0:
                assert server.is_running  # the parent's connection
                sys.exit(0)               # atexit runs: it must leave the parent's alone
            os.wait()
            assert server.is_running
            print(len(pane.screen().text) > 0)
        """)
        done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=60)
        assert done.stdout == "True\n", done.stderr
        # Its connection was told to end as it exited: it ends at once.
        wait_for(lambda: set(ssh_masters(sshd.config)) <= before)
        left = lambda: [p for p in _processes_with(sshd.config) if p not in before]  # noqa: E731
        try:
            wait_for(lambda: not left())
        except AssertionError:
            raise AssertionError("left running: " + "; ".join(_describe(p) for p in left())) from None
        wait_for(lambda: remote_server.command("list-clients") == "")  # its control client too

    def test_a_killed_program_leaves_its_master_for_its_persist_time(self, sshd, isolated_env, monkeypatch):
        # A persist time long enough that a loaded machine still finds the
        # master after the child's call, short enough to wait out.
        monkeypatch.setenv("TERMLOOM_SSH_COMMAND", sshd.command + " -o ControlPersist=5")
        address = f"ssh://box{isolated_env}/q"
        child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(f"""
            import time, termloom
            termloom.Server({address!r}).is_running
            print("ready", flush=True)
            time.sleep(60)
        """)], stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "ready\n"
        mine = [pid for pid, words in ssh_masters(sshd.config).items() if "ControlPersist=5" in words]
        assert len(mine) == 1
        child.kill()
        child.wait()
        # Nobody closed it: it ends once idle for its persist time.
        wait_for(lambda: process_ended(mine[0]), timeout=30)


def _describe(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f"{pid}: " + f.read().replace(b"\0", b" ").decode(errors="replace")
    except OSError:
        return f"{pid}: gone"


def _processes_with(text):
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/cmdline", "rb") as f:
                    if text.encode() in f.read():
                        found.append(int(entry))
            except OSError:
                pass
    return found


class TestExactText:
    """Caller text reaches tmux exactly, whatever a remote shell would make of it."""

    TEXTS = ["a;", "; kill-server", "$HOME `id`", "'\"", "back\\slash\\", "line\nfeed", "-n",
             "#{session_name}", "tab\there", "é ✓"]

    @pytest.mark.remote
    def test_option_values_round_trip(self, real_tmux):
        real_tmux.server.new_session("t")
        for text in self.TEXTS:
            real_tmux.server.set_option("@x", text)
            assert real_tmux.tmux("show-options", "-gv", "@x") == text + "\n"
            assert real_tmux.server.show_option("@x") == text

    def test_the_remote_line_quotes_every_word(self, sshd, isolated_env, tmp_path, monkeypatch):
        log = tmp_path / "argv"
        wrapper = tmp_path / "ssh"
        wrapper.write_text(f"#!/bin/sh\nfor a; do printf '%s\\0' \"$a\"; done >>{log}\nprintf '\\n' >>{log}\n"
                           "exec ssh \"$@\"\n")
        wrapper.chmod(0o755)
        monkeypatch.setenv("TERMLOOM_SSH_COMMAND", f"{wrapper} -F {sshd.config}")
        server = termloom.Server(f"ssh://box{isolated_env}/w")
        server.new_session("w")
        assert server.command("display-message", "-p", "a;'b\"$c\\d") == "a;'b\"$c\\d\n"
        runs = [line.split("\0") for line in log.read_text().split("\0\n") if line]
        last = runs[-1]
        assert last[:3] == ["-F", sshd.config, "-o"] and "ControlMaster=no" in last and "BatchMode=yes" in last
        assert last[-3:-1] == ["--", "box"]
        # A command may start a server: the socket path is looked at first.
        assert last[-1] == ("printf '\\036tl\\036';exec sh -c 'if [ -L \"$1\" ]||[ -e \"$1\" ];then "
                            "[ -S \"$1\" ]||{ printf refused;exit 0;};fi;shift;exec \"$@\"' sh "
                            f"'{isolated_env}/w' 'tmux' '-u' '-S' '{isolated_env}/w' "
                            "'display-message' '-p' 'a;'\\''b\"$c\\d'")
        assert server.is_running
        last = [line.split("\0") for line in log.read_text().split("\0\n") if line][-1]
        assert last[-1] == f"printf '\\036tl\\036';exec 'tmux' '-u' '-S' '{isolated_env}/w' 'list-sessions'"
        server.kill()


class TestPastesOverSsh:
    @pytest.mark.shared_files
    # Line feeds arrive as Enter (CR): the binary text has none.
    @pytest.mark.parametrize("text", ["x" * 9999 + "|",
                                      "".join(chr(c) for c in range(1, 0x250) if c != 10) + "|"])
    def test_large_and_binary_pastes_arrive_exactly(self, sshd, raw_pane, text, real_tmux):
        pane, log = raw_pane
        if "://" not in (pane.socket or ""):
            pane = type(pane)(pane.session_name, pane.window_index, pane.pane_index, pane.pane_id, pane.title,
                              f"ssh://box{pane.socket}")
        assert pane.paste(text, bracketed=False) is True
        wait_for(lambda: logged(log).endswith(b"|"))
        assert logged(log) == text.encode()


class TestRemoteMembers:
    """What used this machine's /proc, files or pids, on another host."""

    @pytest.mark.remote
    def test_run_and_its_files_on_the_host(self, tmux_pane, tmux_host):
        result = tmux_pane.run("printf 'a\\tb\\n'; ls -d /tmp/termloom-* | wc -l; (exit 4)")
        assert (result.status, result.output.splitlines()[0]) == (4, "a       b")
        assert tmux_pane.run("true").status == 0

    @pytest.mark.remote
    def test_current_commandline_and_socket(self, tmux_pane, tmux_server):
        assert tmux_pane.current_commandline.startswith("bash")
        assert tmux_server.current_socket == tmux_server.current_socket

    def test_the_remote_default_server_names_its_address(self, sshd, tmux_host):
        server = termloom.Server("ssh://box")
        try:
            server.new_session("d")
            assert server.current_socket.startswith("ssh://box" + sshd.path("tmux-tmpdir"))
        finally:
            server.kill()


REMOTE_FIXTURES = """
import time

def test_on_the_host(tmux_pane, tmux_server, tmux_host):
    assert tmux_server.current_socket.startswith("ssh://box/tmp/tl")
    assert tmux_host.check("tmux", "-S", tmux_server.current_socket[len("ssh://box"):],
                           "list-sessions", "-F", "#{session_name}") == "test\\n"
    assert tmux_pane.run("echo $((6 * 7))").output == "42"

def test_a_leftover_is_found(tmux_pane):
    tmux_pane.send_keys("setsid sleep 300 & echo started", enter=True)
    tmux_pane.wait_for("started\\n")
"""


def test_the_fixtures_run_on_a_remote_host(sshd, tmp_path):
    from test_pytest_plugin import run_pytest
    folder = tmp_path / "elsewhere"
    folder.mkdir()
    (folder / "pytest.ini").write_text("[pytest]\n")
    (folder / "test_remote_fixtures.py").write_text(REMOTE_FIXTURES)
    done = run_pytest(folder, "--tmux-address", "ssh://box")
    # The host shares this machine's processes: what the pane left is seen, and killed.
    assert "2 passed, 1 error" in done.stdout and "tmux processes outlived the test" in done.stdout, done.stdout
    assert "sleep 300" in done.stdout
