"""Server: probing, starting and stopping, sessions, socket path."""
import os

import pytest

import termloom
from conftest import wait_for


def servers_under(folder):
    """The tmux processes whose TMUX_TMPDIR is `folder`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/comm", "rb") as comm, open(f"/proc/{pid}/environ", "rb") as env:
                if comm.read().startswith(b"tmux") and f"TMUX_TMPDIR={folder}".encode() in env.read().split(b"\0"):
                    found.append(int(pid))
        except OSError:
            pass  # gone meanwhile
    return found


class TestAgainstRealTmux:
    def test_lifecycle(self, real_tmux):
        server = real_tmux.server
        assert server.is_running is False and server.sessions == [] and server.kill() is False
        work = server.new_session("work")
        assert repr(work) == f'Session(name="work", socket=Some("{real_tmux.socket}"))'
        server.new_session("play")
        assert server.is_running is True
        assert sorted(s.name for s in server.sessions) == ["play", "work"]
        assert all(s.socket == real_tmux.socket for s in server.sessions)
        assert server.has_session("work") is True
        assert server.kill() is True
        assert server.is_running is False and server.sessions == []

    def test_start_leaves_a_server_running(self, real_tmux):
        # tmux ends a server that has no session at once, unless exit-empty is off.
        server = real_tmux.server
        assert server.start() is True and server.is_running is True
        assert server.set_option("escape-time", "7") is True
        assert server.show_option("escape-time") == "7" and server.show_option("exit-empty") == "off"
        assert server.start() is True  # started already: still True
        assert servers_under(real_tmux.folder)  # tmux 3.1c has no target for "#{pid}" here
        assert server.kill() is True and server.is_running is False
        wait_for(lambda: not servers_under(real_tmux.folder))

    def test_start_changes_nothing_on_a_server_with_sessions(self, real_tmux):
        real_tmux.tmux("-f", "/dev/null", "new-session", "-d", "-s", "mine")
        options = [real_tmux.tmux("show-options", scope) for scope in ("-s", "-g", "-w", "-gw")]
        assert real_tmux.server.start() is True
        assert [real_tmux.tmux("show-options", scope) for scope in ("-s", "-g", "-w", "-gw")] == options
        assert "exit-empty on\n" in options[0]

    def test_current_socket_is_the_given_path(self, real_tmux):
        assert real_tmux.server.current_socket == real_tmux.socket

    def test_current_socket_of_the_default_server(self, real_tmux, isolated_env):
        default = termloom.Server()
        assert default.current_socket is None  # no default server runs in this TMUX_TMPDIR
        default.new_session("dflt")
        try:
            path = default.current_socket
            assert path.startswith(isolated_env) and path.endswith("/default")
            assert [s.name for s in default.sessions] == ["dflt"]
            assert default.sessions[0].socket is None
        finally:
            default.kill()

    def test_new_session_refused_by_tmux(self, real_tmux):
        real_tmux.server.new_session("dup")
        with pytest.raises(RuntimeError) as error:
            real_tmux.server.new_session("dup")
        assert str(error.value) == "new session failed: duplicate session: dup\n"

    @pytest.mark.parametrize("name", ["", ":", "no:such:thing"])
    def test_has_session_with_odd_names_is_false(self, real_tmux, name):
        real_tmux.server.new_session("present")
        assert real_tmux.server.has_session(name) is False


class TestArgumentVectors:
    def test_commands(self, fake_tmux, tmp_path):
        fake_tmux.always(stdout="w\n")
        socket = str(tmp_path / "s")
        server = termloom.Server(socket)
        server.sessions
        server.has_session("w")
        server.new_session("w")
        server.start()
        assert fake_tmux.calls == [
            ["tmux", "-S", socket, "list-sessions", "-F", "#{session_name}"],
            ["tmux", "-S", socket, "list-sessions", "-f", "#{==:#{session_name},w}", "-F", "#{session_id}"],
            ["tmux", "-S", socket, "new-session", "-d", "-s", "w", "-P", "-F", "#{session_name}"],
            ["tmux", "-S", socket, "start-server", ";", "if-shell", "-F", "#{?session_id,0,1}",
             "set-option -s exit-empty off"],
        ]

    @pytest.mark.parametrize("stdout, found", [("$3\n", True), ("", False), ("\n", False)])
    def test_has_session_is_what_the_look_up_found(self, fake_tmux, stdout, found):
        fake_tmux.respond(stdout=stdout)
        assert termloom.Server().has_session("w") is found

    @pytest.mark.parametrize("socket, killed", [
        (None, ["display-message", "-p", "#{socket_path}", ";", "kill-server"]),
        ("/no/such/s", ["-S", "/no/such/s", "kill-server"]),
    ])
    def test_kill_vector(self, fake_tmux, socket, killed):
        fake_tmux.respond(stdout="/no/such/default\n")
        assert termloom.Server(socket).kill() is True
        assert fake_tmux.calls == [["tmux"] + killed]

    def test_current_socket_never_carries_a_socket(self, fake_tmux):
        fake_tmux.respond(stdout="  /tmp/tmux-0/default \n")
        assert termloom.Server().current_socket == "/tmp/tmux-0/default"
        assert termloom.Server("").current_socket == ""  # present though empty: no tmux run
        assert fake_tmux.calls == [["tmux", "display-message", "-p", "#{socket_path}"]]

    @pytest.mark.parametrize("stdout, code", [(" \n", 0), ("/x\n", 1)])
    def test_current_socket_none(self, fake_tmux, stdout, code):
        fake_tmux.respond(stdout=stdout, code=code)
        assert termloom.Server().current_socket is None

    def test_sessions_keep_names_exactly(self, fake_tmux):
        """ " build" and "build" are two sessions; trimming would make both "build"."""
        fake_tmux.respond(stdout="  a  \n\n \t\nb\n")
        sessions = termloom.Server("/s").sessions
        assert [(s.name, s.socket) for s in sessions] == [("  a  ", "/s"), (" \t", "/s"), ("b", "/s")]

    def test_sessions_empty_on_failure(self, fake_tmux):
        fake_tmux.respond(stdout="a\n", code=1)
        assert termloom.Server().sessions == []

    def test_new_session_error_is_not_trimmed(self, fake_tmux):
        fake_tmux.respond(stdout="ignored", stderr=b"  bad \xff\n", code=1)
        with pytest.raises(RuntimeError) as error:
            termloom.Server().new_session("x")
        assert str(error.value) == "new session failed:   bad \ufffd\n"

    # tmux's client says so when it reached a server on its way out (its last
    # session just gone): nothing was made, and the next run starts a server.
    @pytest.mark.parametrize("history_limit", [None, 9000])
    def test_new_session_runs_again_when_the_server_it_reached_was_ending(self, fake_tmux, history_limit):
        ended = dict(stderr="server exited unexpectedly\n", code=1)
        if history_limit:
            fake_tmux.respond(stdout="history-limit 2000\n")  # the value to put back
        made = "history-limit 2000\nwork\n" if history_limit else "work\n"
        fake_tmux.respond(**ended).respond(**ended).respond(stdout=made)
        session = termloom.Server("/no/such/s").new_session("work", history_limit=history_limit)
        assert session.name == "work"
        runs = fake_tmux.calls[-3:]
        assert runs[0] == runs[1] == runs[2] and "new-session" in runs[0]
        # Any other failure is the answer.
        fake_tmux.respond(stderr="server exited unexpectedly\nmore\n", code=1)
        with pytest.raises(RuntimeError, match="^new session failed: server exited unexpectedly\nmore"):
            termloom.Server("/no/such/s").new_session("work")

    def test_new_session_takes_the_name_tmux_printed(self, fake_tmux):
        fake_tmux.respond(stdout="work_x\n")
        session = termloom.Server("/no/such/s").new_session("work.x")
        assert (session.name, session.socket) == ("work_x", "/no/such/s")
        assert repr(session) == 'Session(name="work_x", socket=Some("/no/such/s"))'
