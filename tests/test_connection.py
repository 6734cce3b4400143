"""Connections (Server.connect): one tmux control-mode client per server
address that every handle of that address sends its commands through, with
the same answers as one tmux run per call. The rest of the real-tmux suite
runs through a connection too with TERMLOOM_TEST_CONNECTION=1; these run on
the remote hosts too (TERMLOOM_TEST_ADDRESS_SCHEME)."""

import os
import signal
import subprocess
import sys
import threading
import time

import pytest

import termloom

from conftest import logged, process_ended, wait_for

# Every character the command parser treats specially, alone and where it
# means most (first, last, doubled), and text that argv reading changes.
HOSTILE = [
    "", " ", "a b", "'", "''", '"', "\\", "\\\\", ";", "a;", "a\\;", "\\;", ";a", "a ; b",
    "#", "##", "#{session_name}", "#[fg=red]", "$HOME", "${HOME}", "~", "~/x", "{", "}", "{ a }",
    "%if 1", "%hidden x=1", "x=y", "-", "--", "-t", "\n", "a\nb", "\t", "\r", "\x1b[31m",
    "é\u0085\u2028✓", "'\"\\\n;#{$~}", "a'b\"c\\d",
    "".join(chr(c) for c in range(1, 128)),
]


def option_of(real_tmux, name):
    return real_tmux.tmux("show-options", "-gv", name)


def signal_server(real_tmux, pid, *names):
    """Sends the tmux server (its pid on its host) these signals in turn."""
    for name in names:
        done = real_tmux.host.run("kill", f"-{name}", pid)
        assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("text", HOSTILE, ids=range(len(HOSTILE)))
def test_text_stays_text_through_the_parser(real_tmux, text):
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "s")
    server.set_option("@once", text)  # one tmux run
    with server.connect() as connection:
        server.set_option("@through", text)
        assert connection.client_pid is not None
        assert server.show_option("@through") == server.show_option("@once")
    assert option_of(real_tmux, "@through") == option_of(real_tmux, "@once")


def test_the_same_answers_as_one_run_per_call(real_tmux, tmp_path):
    server = real_tmux.server
    # A window named by hand keeps its name (tmux renames one after its
    # program, which is tmux itself until the shell has started).
    real_tmux.tmux("new-session", "-d", "-s", "s", "-n", "first", "-x", "90", "-y", "20")
    name = "w #{x}; '\"\\ é"
    server.sessions[0].new_window(name=name, command="printf '\\033[1;31mred\\033[0m\\tx\\n'; sleep 60")

    def answers():
        session = server.sessions[0]
        window = session.windows[1]
        pane = window.panes[0]
        pane.wait_for("x")
        out = [server.has_session("s"), server.has_session("nope"), session.metadata(),
               [w.name for w in session.windows], pane.capture(), pane.screen(),
               window.show_option("@nothing"), server.show_environment("NOPE")]
        for missing in (lambda: server.target_pane("nope:9.9"), lambda: session.windows[0].rename("")):
            try:
                missing()
                out.append(None)
            except Exception as error:  # the same exception and words
                out.append((type(error), str(error)))
        return [repr(item) for item in out]

    once = answers()
    with server.connect() as connection:
        through = answers()
        assert connection.client_pid is not None
    assert through == once


def test_the_client_changes_no_size_or_attached_flag(real_tmux):
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "s", "-x", "123", "-y", "31")
    size = "#{window_width}x#{window_height} #{session_attached}"
    with server.connect() as connection:
        assert server.sessions[0].metadata().attached is False
        # tmux itself counts it, and lists it as a control-mode client.
        assert real_tmux.tmux("display-message", "-p", "-t", "s", size) == "123x31 1\n"
        clients = real_tmux.tmux("list-clients", "-F", "#{client_pid} #{client_control_mode}")
        # (On a remote host the pid here is its ssh's or engine's.)
        client = connection.client_pid if not real_tmux.host.remote else clients.split()[0]
        assert clients == f"{client} 1\n"
        if not real_tmux.host.remote:
            # A client of a user's own makes the session attached, as ever.
            user = subprocess.Popen(["tmux", "-S", real_tmux.socket, "-C", "attach", "-t", "s"],
                                    stdin=subprocess.PIPE, stdout=subprocess.DEVNULL)
            try:
                wait_for(lambda: server.sessions[0].metadata().attached)
            finally:
                user.stdin.close()
                user.wait()
    assert real_tmux.tmux("display-message", "-p", "-t", "s", size) == "123x31 0\n"


@pytest.mark.shared_files
def test_standard_input_of_any_size(raw_pane, real_tmux):
    # paste's load-buffer reads standard input: that command runs once, the
    # rest of the paste through the connection.
    pane, log = raw_pane
    text = "".join(chr(c) for c in range(0x20, 0x800)) * 60
    with real_tmux.server.connect() as connection:
        assert connection.client_pid is not None
        pane.paste(text, bracketed=False)
        wait_for(lambda: len(logged(log)) >= len(text.encode()))
    assert len(text.encode()) > 200_000
    assert logged(log) == text.encode()


def current_path(real_tmux, pane):
    """The pane's current directory; "" while its shell is still starting."""
    return real_tmux.tmux("display-message", "-p", "-t", pane.pane_id, "#{pane_current_path}").rstrip("\n")


def test_new_panes_start_where_one_run_starts_them(real_tmux):
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "s", "-c", "/")

    def paths():
        window = server.sessions[0].new_window()
        panes = [window.panes[0], window.panes[0].split()]
        return [wait_for(lambda: current_path(real_tmux, p)) for p in panes]

    once = paths()
    with server.connect() as connection:
        assert connection.client_pid is not None
        assert paths() == once


@pytest.mark.local_only
def test_new_windows_start_where_one_run_would(real_tmux, tmp_path, monkeypatch):
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "s", "-c", "/")
    here = tmp_path / "dir #x;"
    here.mkdir()
    monkeypatch.chdir(here)
    with server.connect():
        session = server.sessions[0]
        windows = [session.new_window(), session.new_window(directory="/tmp")]
        panes = [w.panes[0] for w in windows] + [windows[0].panes[0].split()]
        paths = [wait_for(lambda: current_path(real_tmux, p)) for p in panes]
    assert paths == [str(here), "/tmp", str(here)]


def test_threads_share_one_client(real_tmux):
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "s")
    failures = []

    def work(n):
        try:
            for i in range(150):
                server.set_option(f"@t{n}", f"{n}:{i}")
                assert server.show_option(f"@t{n}") == f"{n}:{i}"
                assert server.has_session("s") and not server.has_session(f"s{n}")
        except Exception as error:  # reported below
            failures.append(error)

    with server.connect() as connection:
        pid = connection.client_pid
        threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert connection.client_pid == pid
    assert failures == []


def test_a_fork_child_never_uses_the_parents_client(real_tmux):
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "s")
    with server.connect() as connection:
        assert server.has_session("s")
        read, write = os.pipe()
        child = os.fork()
        if child == 0:
            ok = not connection.is_open and connection.client_pid is None and server.has_session("s")
            os.write(write, b"1" if ok else b"0")
            os._exit(0)
        os.close(write)
        assert os.read(read, 1) == b"1"
        os.close(read)
        os.waitpid(child, 0)
        assert connection.client_pid is not None and server.has_session("s")


def test_closing_leaves_no_process(real_tmux):
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "s")
    first = server.connect()
    second = server.connect()  # shares the client
    pid = first.client_pid
    assert pid is not None and second.client_pid == pid
    assert first.close() is True and first.close() is False
    assert second.client_pid == pid and server.has_session("s")
    with second:
        pass
    assert not second.is_open and second.client_pid is None
    with pytest.raises(ChildProcessError):
        os.waitpid(pid, os.WNOHANG)  # reaped already
    assert not os.path.exists(f"/proc/{pid}")
    if real_tmux.host.remote:
        # The tmux client on the host left before close returned: killing
        # the transport's child alone leaves it to the host to notice, and
        # the server would wait for it as it ends.
        assert real_tmux.tmux("list-clients") == ""
    else:
        wait_for(lambda: real_tmux.tmux("list-clients") == "")


def test_its_session_closed_a_new_client_takes_over(real_tmux):
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "a")
    real_tmux.tmux("new-session", "-d", "-s", "b")
    with server.connect() as connection:
        pid = connection.client_pid
        attached = real_tmux.tmux("list-clients", "-F", "#{session_name}").strip()
        real_tmux.tmux("kill-session", "-t", attached)
        wait_for(lambda: process_ended(pid))
        # A call made before the reader saw the end runs once; the next
        # after it has a new client.
        left = [n for n in "ab" if n != attached]
        wait_for(lambda: [s.name for s in server.sessions] == left and connection.client_pid not in (None, pid))


def test_the_server_killed_fails_what_is_in_flight_then_runs_once(real_tmux):
    """An action in flight cannot be known to have run or not; a read is
    asked again, once, and answers what is there now."""
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "s")
    tmux_pid = real_tmux.tmux("display-message", "-p", "#{pid}").strip()
    with server.connect() as connection:
        pane = server.sessions[0].windows[0].panes[0]
        signal_server(real_tmux, tmux_pid, "STOP")  # a command now waits for its answer
        outcome = {}

        def in_flight(name, call):
            try:
                outcome[name] = call()
            except RuntimeError as error:
                outcome[name] = str(error)
        threads = [threading.Thread(target=in_flight, args=("read", lambda: server.has_session("s"))),
                   threading.Thread(target=in_flight, args=("action", lambda: pane.send_keys("x")))]
        for thread in threads:
            thread.start()
        time.sleep(0.2)
        signal_server(real_tmux, tmux_pid, "KILL", "CONT")
        for thread in threads:
            thread.join(10)
        assert outcome["read"] is False  # no server is what it finds now
        assert "ended while tmux ran a command" in outcome["action"]
        assert "whether the command took effect is unknown" in outcome["action"]
        assert server.has_session("s") is False
        assert connection.client_pid is None


def test_a_kill_beside_the_client_never_runs_a_command_twice(real_tmux):
    """A client whose session a kill just closed may still hand tmux the next
    command and never answer it: that command must not run again."""
    server = real_tmux.server
    with server.connect():
        for i in range(150):
            session = server.new_session(f"n{i}")
            assert session.kill() is True
        assert real_tmux.session_names() == []


def test_ctrl_c_ends_a_call_waiting_on_the_client(real_tmux):
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "s")
    tmux_pid = real_tmux.tmux("display-message", "-p", "#{pid}").strip()
    with server.connect():
        assert server.has_session("s")
        signal_server(real_tmux, tmux_pid, "STOP")
        timer = threading.Timer(0.3, lambda: os.kill(os.getpid(), signal.SIGINT))
        try:
            timer.start()
            started = time.monotonic()
            with pytest.raises(KeyboardInterrupt):
                server.has_session("s")
            assert time.monotonic() - started < 5
        finally:
            timer.cancel()
            signal_server(real_tmux, tmux_pid, "CONT")
        # The abandoned answer is read and dropped: the next one is its own.
        assert server.has_session("s") and not server.has_session("t")


@pytest.mark.parametrize("panes", [1, 6])
def test_commands_answer_during_a_burst_of_output(real_tmux, panes):
    # 50 MB from each pane while commands go through the connection: the
    # client takes no pane output, so nothing of it queues up for it.
    server = real_tmux.server
    burst = "head -c 50000000 /dev/zero | tr '\\0' x; echo; echo done-$((1+1)); sleep 60"
    real_tmux.tmux("new-session", "-d", "-s", "s", "-x", "200", "-y", "50", burst)
    for _ in range(panes - 1):
        real_tmux.tmux("split-window", "-t", "s", burst)
        real_tmux.tmux("select-layout", "-t", "s", "tiled")
    with server.connect() as connection:
        shown = server.sessions[0].windows[0].panes
        for i in range(200):
            server.set_option("@n", str(i))
            assert server.show_option("@n") == str(i)
        for pane in shown:
            pane.wait_for("done-2", timeout=120)
        assert connection.client_pid is not None


@pytest.mark.local_only
def test_a_pane_that_prints_the_end_of_an_answer_cannot_cut_it(real_tmux, tmp_path):
    # tmux numbers its commands in order: a program can print the line
    # that ends the answer to a later capture ("%end TIME NUMBER 1").
    server = real_tmux.server
    real_tmux.tmux("new-session", "-d", "-s", "s", "-x", "80", "-y", "10")
    real_tmux.tmux("set-option", "-g", "history-limit", "20000")
    probe = subprocess.run(["tmux", "-S", real_tmux.socket, "-C", "attach", "-t", "s"],
                           input="display-message -p x\n", capture_output=True, text=True)
    _, now, number, _ = probe.stdout.split("\n", 1)[0].split()
    lines = [f"%end {t} {n} 1" for t in range(int(now), int(now) + 4)
             for n in range(int(number), int(number) + 2000)]
    forged = tmp_path / "forged"
    forged.write_text("\n".join(lines) + "\n")
    real_tmux.tmux("new-window", "-t", "s:", f"cat {forged}; echo done; sleep 60")
    pane = server.target_pane("=s:1.0")
    pane.wait_for("done")
    whole = pane.capture(full=True)
    assert lines[-1] in whole
    with server.connect() as connection:
        assert connection.client_pid is not None
        with pytest.raises(RuntimeError, match="reads as the end of tmux's answer"):
            pane.capture(full=True)
        # The next call has a new client.
        assert server.has_session("s") and connection.is_open
    assert pane.capture(full=True) == whole
