"""LastCommand: reading and re-running the last command of the shell in a pane."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import termloom
from conftest import BASH, wait_for

QUERY = "printf '__TERMLOOM__%s\\n' \"$(fc -ln -1)\""


def test_query_line_is_the_documented_one():
    assert len(QUERY) == 40


class TestAgainstRealTmux:
    def test_read_and_run(self, bash_pane, tmp_path):
        counter = tmp_path / "count"
        command = f"echo x >> {counter}"
        bash_pane.send_keys(command + "   ", enter=True)
        wait_for(counter.exists)
        last = bash_pane.last_command
        assert last.run() is True
        wait_for(lambda: counter.read_text() == "x\nx\n")
        assert last.read() == command  # bash keeps the re-run command, not "fc -s"

    def test_each_read_answers_its_own_query(self, bash_pane):
        """A read never returns the answer an earlier read left on the screen,
        even when the shell is slow to take the keys."""
        for word in ["first", "second", "third"]:
            bash_pane.send_keys(f"sleep 0.2; echo {word}", enter=True)
            assert bash_pane.last_command.read() == f"sleep 0.2; echo {word}"
        # With nothing typed in between, the last command is the previous query itself.
        assert bash_pane.last_command.read() == QUERY

    def test_read_in_a_narrow_pane_is_whole(self, bash_pane):
        narrow = bash_pane.split(horizontal=True, command=BASH, keep=False)
        bash_pane.split(horizontal=True)
        wait_for(lambda: (narrow.capture() or "").startswith("$\n"))
        command = "echo " + " ".join(f"word{i}" for i in range(12))
        narrow.send_keys(command, enter=True)
        assert narrow.last_command.read() == command

    def test_read_waits_for_a_busy_shell(self, bash_pane):
        bash_pane.send_keys("sleep 0.5", enter=True)
        wait_for(lambda: bash_pane.current_command == "sleep")
        assert bash_pane.last_command.read() == "sleep 0.5"

    def test_no_answer(self, real_tmux):
        real_tmux.tmux("new-session", "-d", "-s", "s", "cat")  # echoes the query, never answers
        pane = real_tmux.server.sessions[0].windows[0].panes[0]
        started = time.monotonic()
        with pytest.raises(RuntimeError, match="^could not read last command$"):
            pane.last_command.read()
        assert time.monotonic() - started < 10

    def test_unknown_pane(self, real_tmux, LastCommand, Pane):
        real_tmux.server.new_session("s")
        last = Pane("s", 0, 0, "%77", "", real_tmux.socket).last_command
        for call in [last.read, last.run]:
            with pytest.raises(RuntimeError) as error:
                call()
            assert str(error.value) == "tmux command failed: can't find pane: %77"


CAPTURE = ["capture-pane", "-p", "-J", "-S", "-", "-t", "%5"]


@pytest.mark.parametrize("before, screens, answer", [
    ("$\n", ["$ ls\n$ " + QUERY + "\n__TERMLOOM__     ls -l  \n$\n"], "ls -l"),
    ("", ["  \t__TERMLOOM____TERMLOOM__ x \n"], "x"),                  # indented, repeated marker
    ("", ["__TERMLOOM__\n"], ""),
    ("", ["x __TERMLOOM__no\n", "__TERMLOOM__yes\n"], "yes"),          # not at the start: keep waiting
    # The answer an earlier query left is no answer to this one: wait for a new one.
    ("$ " + QUERY + "\n__TERMLOOM__old\n$\n",
     ["$ " + QUERY + "\n__TERMLOOM__old\n$\n",
      "$ " + QUERY + "\n__TERMLOOM__old\n$ " + QUERY + "\n",
      "$ " + QUERY + "\n__TERMLOOM__old\n$ " + QUERY + "\n__TERMLOOM__new\n$\n"], "new"),
    # Two answers on the screen before, one more now: the lowest is ours.
    ("__TERMLOOM__a\n__TERMLOOM__b\n", ["__TERMLOOM__a\n__TERMLOOM__b\n__TERMLOOM__c\n"], "c"),
    # The listing of a query is an answer, not an echo.
    ("", ["$ " + QUERY + "\n__TERMLOOM__" + QUERY + "\n$\n"], QUERY),
])
def test_read_parsing(fake_tmux, Pane, before, screens, answer):
    fake_tmux.respond(stdout=before)  # the keys, and the pane as it was before them
    for screen in screens:
        fake_tmux.respond(stdout=screen)
    assert Pane("s", 0, 0, "%5", "", "/x").last_command.read() == answer
    tmux = ["tmux", "-S", "/x"]
    assert fake_tmux.calls == [tmux + ["send-keys", "-t", "%5", QUERY, "Enter", ";"] + CAPTURE] + \
        [tmux + CAPTURE] * len(screens)


def test_read_gives_up(fake_tmux, Pane):
    fake_tmux.always(stdout="$ " + QUERY + "\n__TERMLOOM__old\n")
    started = time.monotonic()
    with pytest.raises(RuntimeError, match="^could not read last command$"):
        Pane("s", 0, 0, "%5", "", None).last_command.read()
    assert 1.5 < time.monotonic() - started < 10


@pytest.mark.parametrize("failing", [0, 1])
def test_read_failures(fake_tmux, Pane, failing):
    responses = [dict(), dict(stdout="__TERMLOOM__x\n")]
    responses[failing] = dict(stdout="__TERMLOOM__x\n", stderr="  boom \n", code=1)
    for response in responses:
        fake_tmux.respond(**response)
    with pytest.raises(RuntimeError) as error:
        Pane("s", 0, 0, "%5", "", None).last_command.read()
    assert str(error.value) == "tmux command failed: boom"
    assert len(fake_tmux.calls) == failing + 1


def test_run(fake_tmux, Pane):
    fake_tmux.respond().respond(stderr="no\n", code=1)
    assert Pane("s", 0, 0, "-5;", "", None).last_command.run() is True
    assert fake_tmux.calls == [["tmux", "send-keys", "-t", "-5\\;", "fc -s", "Enter"]]
    with pytest.raises(RuntimeError, match="^tmux command failed: no$"):
        Pane("s", 0, 0, "%5", "", None).last_command.run()


def test_last_command_runs_nothing(fake_tmux, Pane, LastCommand):
    pane = Pane("s", 0, 0, "%5", "", "/x")
    first, second = pane.last_command, pane.last_command
    assert first is not second and isinstance(first, LastCommand)
    assert (first.pane_id, first.socket) == (second.pane_id, second.socket) == ("%5", "/x")
    assert fake_tmux.calls == []


@pytest.mark.parametrize("socket, text", [
    (None, 'LastCommand(pane_id="%5", socket=None)'),
    ('/t"mp', 'LastCommand(pane_id="%5", socket=Some("/t\\"mp"))'),
])
def test_repr(Pane, socket, text):
    last = Pane("s", 0, 0, "%5", "", socket).last_command
    assert repr(last) == str(last) == text


WAITING = textwrap.dedent("""
    import os, subprocess, sys, time
    import termloom
    server = termloom.Server()
    session = server.new_session("s")
    pane = server.target_pane("x")
    print("ready", flush=True)
    started = time.monotonic()
    try:
        pane.last_command.read()
    except KeyboardInterrupt:
        kids = subprocess.run(["ps", "-o", "pid=", "--ppid", str(os.getpid())],
                              capture_output=True, text=True).stdout.split()
        print("interrupted", round(time.monotonic() - started, 1), "children:", len(kids) - 1, flush=True)
""")


def test_ctrl_c_ends_the_wait(fake_tmux):
    fake_tmux.respond()  # new-session
    fake_tmux.respond(stdout="s\t0\t0\t%1\t\n")  # target_pane
    fake_tmux.respond()  # send-keys
    fake_tmux.always(stdout="$\n")  # no answer ever
    child = subprocess.Popen([sys.executable, "-c", WAITING], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        wait_for(lambda: len(fake_tmux.calls) >= 5)  # polling the screen by now
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=10)
    finally:
        child.kill()
    assert out.startswith("interrupted 0.") and out.endswith("children: 0\n"), out
