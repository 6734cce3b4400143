"""LastCommand: reading and re-running the last command of the shell in a pane."""
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import termloom
from conftest import BASH, real_tmux_before, wait_for, wait_for_prompt

QUERY = ("__termloom_c=$(fc -ln -1); read -r __termloom_n __termloom_r <<<\"$(history 1)\"; "
         "[[ $__termloom_r == *__termloom_c=* ]] && history -d \"$__termloom_n\"; "
         "printf '__TERMLOOM__%s__TERMLOOM_END__\\n' \"$__termloom_c\"; "
         "unset __termloom_c __termloom_n __termloom_r")
END = "__TERMLOOM_END__"


def history_of(pane):
    """The shell's history listing, read with termloom's help only for typing."""
    pane.send_keys("clear", enter=True)
    # Cleared, with the whole prompt alone at the top: a line typed before
    # that is echoed by the terminal while clear runs, then again by the shell.
    wait_for(lambda: alone_at_the_top(pane.screen()))
    pane.clear
    pane.send_keys("history; echo ==done", enter=True)
    wait_for_prompt(pane, above="==done")
    return pane.capture().split("$ history; echo ==done\n", 1)[1].split("\n==done\n")[0]


def alone_at_the_top(screen):
    return (screen.text.rstrip("\n"), screen.cursor_x, screen.cursor_y) == ("$", 2, 0)


PADDED_CAPTURE = ("tmux before 3.2 pads the lines of capture-pane -J with spaces: "
                  "typed trailing spaces cannot be told from the padding")


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
        # A read leaves the last command as it was: the query is not it.
        assert bash_pane.last_command.read() == "sleep 0.2; echo third"

    def test_read_leaves_the_history_as_it_was(self, bash_pane, tmp_path):
        counter = tmp_path / "count"
        command = f"echo x >> {counter}"
        bash_pane.send_keys(command, enter=True)
        wait_for(counter.exists)
        last = bash_pane.last_command
        assert [last.read(), last.read()] == [command, command]
        # run() re-runs the caller's command, not the query.
        assert last.run() is True
        wait_for(lambda: counter.read_text() == "x\nx\n")
        listing = history_of(bash_pane)
        assert "__termloom" not in listing and listing.count(command) == 2

    def test_history_off_loses_nothing(self, bash_pane):
        """With no history recorded, the query's entry is not there to take out,
        and the entry before it stays."""
        bash_pane.send_keys("echo kept", enter=True)
        bash_pane.send_keys("set +o history", enter=True)  # recorded, then no more
        assert bash_pane.last_command.read() == "set +o history"
        assert bash_pane.last_command.read() == "set +o history"

    @pytest.mark.parametrize("keys, command", [
        (['echo "first', 'second"'], 'echo "first\nsecond"'),
        pytest.param(["cat <<EOF", "  one  ", "two", "EOF"], "cat <<EOF\n  one  \ntwo\nEOF",
                     marks=pytest.mark.skipif(real_tmux_before(3, 2), reason=PADDED_CAPTURE)),
    ])
    def test_a_command_of_several_lines_is_read_whole(self, bash_pane, keys, command):
        for line in keys:
            bash_pane.send_keys(line, enter=True)
        assert bash_pane.last_command.read() == command

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
    ("$\n", ["$ ls\n$ " + QUERY + "\n__TERMLOOM__     ls -l  " + END + "  \n$\n"], "ls -l"),
    ("", ["  \t__TERMLOOM____TERMLOOM__ x " + END + "\n"], "x"),      # indented, repeated marker
    ("", ["__TERMLOOM__" + END + "\n"], ""),
    ("", ["x __TERMLOOM__no" + END + "\n", "__TERMLOOM__yes" + END + "\n"], "yes"),  # not at the start
    # The answer an earlier query left is no answer to this one: wait for a new one.
    ("$ " + QUERY + "\n__TERMLOOM__old" + END + "\n$\n",
     ["$ " + QUERY + "\n__TERMLOOM__old" + END + "\n$\n",
      "$ " + QUERY + "\n__TERMLOOM__old" + END + "\n$ " + QUERY + "\n",
      "$ " + QUERY + "\n__TERMLOOM__old" + END + "\n$ " + QUERY + "\n__TERMLOOM__new" + END + "\n$\n"],
     "new"),
    # Two answers on the screen before, one more now: the lowest is ours.
    ("__TERMLOOM__a" + END + "\n__TERMLOOM__b" + END + "\n",
     ["__TERMLOOM__a" + END + "\n__TERMLOOM__b" + END + "\n__TERMLOOM__c" + END + "\n"], "c"),
    # The listing of a query is an answer, not an echo.
    ("", ["$ " + QUERY + "\n__TERMLOOM__" + QUERY + END + "\n$\n"], QUERY),
    # Several lines, read whole; lines inside keep their blanks.
    ("", ['__TERMLOOM__\t echo "a\n  b  \n\nc"' + END + "\n$\n"], 'echo "a\n  b  \n\nc"'),
    # An answer whose end is not (yet) on the screen is no answer.
    ("", ['__TERMLOOM__ echo "a\n', '__TERMLOOM__ echo "a\nb"' + END + "\n"], 'echo "a\nb"'),
    # One cut short by the next answer doesn't count; the next one does.
    ("", ["__TERMLOOM__cut\n__TERMLOOM__whole" + END + "\n"], "whole"),
])
def test_read_parsing(fake_tmux, Pane, before, screens, answer):
    fake_tmux.respond(stdout=before)  # the keys, and the pane as it was before them
    for screen in screens:
        fake_tmux.respond(stdout=screen)
    assert Pane("s", 0, 0, "%5", "", "/x").last_command.read() == answer
    tmux = ["tmux", "-S", "/x"]
    assert fake_tmux.calls == [tmux + ["send-keys", "-t", "%5", QUERY, "Enter", ";"] + CAPTURE] + \
        [tmux + CAPTURE] * len(screens)


@pytest.mark.parametrize("screen", [
    "$ " + QUERY + "\n__TERMLOOM__old" + END + "\n",
    '$ ' + QUERY + '\n__TERMLOOM__ echo "first\n',  # an answer never finished: not a part of it
])
def test_read_gives_up(fake_tmux, Pane, screen):
    fake_tmux.always(stdout=screen)
    started = time.monotonic()
    with pytest.raises(RuntimeError, match="^could not read last command$"):
        Pane("s", 0, 0, "%5", "", None).last_command.read()
    # It looked for about 2 s before it gave up; each look runs the scripted
    # tmux (a Python program), slow on a loaded machine: no tight upper bound.
    assert 1.5 < time.monotonic() - started < 60


@pytest.mark.parametrize("failing", [0, 1])
def test_read_failures(fake_tmux, Pane, failing):
    responses = [dict(), dict(stdout="__TERMLOOM__x" + END + "\n")]
    responses[failing] = dict(stdout="__TERMLOOM__x" + END + "\n", stderr="  boom \n", code=1)
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
    import os, subprocess
    import termloom
    server = termloom.Server()
    session = server.new_session("s")
    pane = server.target_pane("x")
    print("ready", flush=True)
    try:
        pane.last_command.read()
    except KeyboardInterrupt:
        kids = subprocess.run(["ps", "-o", "pid=", "--ppid", str(os.getpid())],
                              capture_output=True, text=True).stdout.split()
        print("interrupted, children:", len(kids) - 1, flush=True)
""")


def test_ctrl_c_ends_the_wait(fake_tmux):
    fake_tmux.respond(stdout="s\n")  # new-session
    fake_tmux.respond(stdout="s\t0\t0\t%1\t\n")  # target_pane
    fake_tmux.respond()  # send-keys
    fake_tmux.always(stdout="$\n")  # no answer ever
    child = subprocess.Popen([sys.executable, "-c", WAITING], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        wait_for(lambda: len(fake_tmux.calls) >= 5)  # polling the screen by now
        polls = len(fake_tmux.calls)
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=10)
    finally:
        child.kill()
    assert out == "interrupted, children: 0\n"
    # Ended by the signal, not by the read's own limit after 2 s of polling
    # (about 40 more runs): at most the run under way and one just starting.
    assert len(fake_tmux.calls) <= polls + 2, fake_tmux.calls[polls:]
