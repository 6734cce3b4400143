"""Driving a pane whose programs redraw: run's answers come from the shell
and the pane's output stream, never from the screen; waits after a mark,
expect and recordings read the same stream."""
import json
import os
import re
import shutil
import subprocess
import sys
import threading
import time

import pytest

from conftest import BASH, real_tmux_before, wait_for, wait_for_prompt
from test_pane_run import SHELLS, start_shell

# Commands that draw outside their own lines, and what they printed.
REDRAWS = [
    ("printf '\\033[5A'; echo up", "up"),
    ("tput cup 0 0; echo top", "top"),
    ("printf '\\033[1;3r'; seq 1 5; printf '\\033[r'", "1\n2\n3\n4\n5"),
    ("clear; echo after", "after"),
    ("printf 'one\\ntwo\\n\\033[2Aone!\\n'", "one!\ntwo"),         # up within its own lines
    ("printf '10%%\\r50%%\\r100%%\\n'", "100%"),                     # a progress bar on one line
    ("printf 'a\\nb\\033[1A\\r\\033[Kc\\n'", "c\nb"),                 # a line redrawn above
]


@pytest.mark.parametrize("command, output", REDRAWS)
def test_output_of_commands_that_redraw(bash_pane, command, output):
    result = bash_pane.run(command, timeout=30)
    assert (result.status, result.output) == (0, output)
    assert bash_pane.run("echo next", timeout=30).output == "next"


def test_leaving_an_alternate_screen_entered_before(bash_pane):
    bash_pane.run("printf '\\033[?1049h'; echo on the alternate screen")
    result = bash_pane.run("printf '\\033[?1049l'; echo back", timeout=30)
    assert (result.status, result.output) == (0, "back")


PROMPTS = {
    "PROMPT_COMMAND=clear": ("PROMPT_COMMAND=clear", 30),
    "a PS1 that clears": ("PS1=$'\\e[2J\\e[H$ '", 30),
    "PROMPT_COMMAND='seq 30'": ("PROMPT_COMMAND='seq 30'", 30),
    "a 3-line PS1 in 3 rows": ("PS1=$'one\\ntwo\\n$ '", 3),
    "one row": ("true", 1),
}


@pytest.mark.parametrize("setting, rows", PROMPTS.values(), ids=list(PROMPTS))
def test_prompts_that_redraw_change_nothing(real_tmux, setting, rows):
    real_tmux.tmux("new-session", "-d", "-s", "p", "-x", "80", "-y", str(rows), BASH)
    pane = real_tmux.server.target_pane("=p:0.0")
    pane.wait_for("$")
    pane.run(setting, timeout=30)
    for command, output in [("echo hi", "hi"), ("seq 1 3", "1\n2\n3"), ("(exit 4)", "")]:
        result = pane.run(command, timeout=30)
        assert (result.output, result.status) == (output, 4 if "exit" in command else 0)


@pytest.mark.parametrize("shell", list(SHELLS))
def test_status_before_the_run_is_its_dollar_question(real_tmux, shell):
    pane = start_shell(real_tmux, shell, SHELLS[shell])
    assert pane.run("false").status == 1
    assert pane.run("echo $?").output == "1"
    assert pane.run("(exit 7)").status == 7
    # Typed by hand at the prompt, after a run: the shell has the run's status.
    pane.send_text("echo status=$?", enter=True)
    pane.expect("status=7")
    pane.send_text("(exit 5)", enter=True)
    pane.expect("(exit 5)")
    assert pane.run("echo $?").output == "5"


def children_named(pid, name):
    """The processes named `name` whose parent is `pid`, from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as f:
                stat = f.read()
        except (OSError, ValueError):
            continue
        comm = stat[stat.index("(") + 1:stat.rindex(")")]
        ppid = int(stat[stat.rindex(")") + 2:].split()[1])
        if comm == name and ppid == pid:
            found.append(int(entry))
    return found


def interrupted_run(pane, command):
    """Runs `command` in a thread, types Ctrl-C once its sleep runs (again
    while the run goes on), and returns the run's result."""
    shell = pane.metadata().pid
    result = {}
    runner = threading.Thread(target=lambda: result.update(r=pane.run(command, timeout=60)))
    runner.start()
    wait_for(lambda: children_named(shell, "sleep") or not runner.is_alive())
    # While the run goes on 5 s after a Ctrl-C, another is typed, as a user
    # would: on a loaded machine one was seen to leave a loop of short
    # sleeps running.
    for _ in range(6):
        pane.send_keys("C-c")
        runner.join(5)
        if not runner.is_alive():
            break
    assert not runner.is_alive()
    return result["r"]


@pytest.mark.parametrize("shell", list(SHELLS))
def test_sigint_ends_the_command_and_completion_is_told(real_tmux, shell):
    pane = start_shell(real_tmux, shell, SHELLS[shell])
    assert pane.run("sh -c 'kill -INT $$'", timeout=30).status == 130
    # Ctrl-C typed while a command runs: its run ends with 130.
    assert interrupted_run(pane, "/bin/sleep 100").status == 130
    assert pane.run("echo after", timeout=30).output == "after"


def test_ctrl_c_ends_a_shell_loop(bash_pane):
    assert interrupted_run(bash_pane, "while :; do /bin/sleep 0.05; done").status == 130


def test_a_run_that_timed_out_keeps_the_pane(bash_pane):
    with pytest.raises(TimeoutError, match=r"^\"read v\" did not finish within 0.5 seconds; it goes on in pane %"):
        bash_pane.run("read v", timeout=0.5)
    # What a second run typed would be the input of `read`.
    with pytest.raises(RuntimeError, match="is still running the command of an earlier run"):
        bash_pane.run("echo typed", timeout=10)
    bash_pane.send_text("the answer", enter=True)

    def after_the_read():
        try:
            return bash_pane.run("echo \"$v\"", timeout=10).output
        except RuntimeError as e:  # until the shell has told tmux that the read ended
            assert "is still running the command of an earlier run" in str(e)
            return None
    assert wait_for(after_the_read) == "the answer"


def test_nothing_of_ours_on_the_screen_or_in_the_history(bash_pane):
    bash_pane.run("echo one; echo two")
    bash_pane.run("printf 'x\\ny\\n'")
    wait_for_prompt(bash_pane, above="y")  # the prompt comes after run has returned
    shown = bash_pane.capture(full=True)
    assert "$ echo one; echo two\none\ntwo\n$ printf 'x\\ny\\n'\nx\ny\n$" in shown
    for ours in ("termloom", "\\command", "__tl", "tl"):
        assert ours not in shown


def test_a_wrapper_the_shell_cannot_see_is_an_error_at_once(real_tmux):
    # The shell gets a /tmp of its own: the wrapper written there is not in it.
    if subprocess.run(["unshare", "--mount", "true"], capture_output=True).returncode != 0:
        pytest.skip("unshare --mount is not allowed here")
    real_tmux.tmux("new-session", "-d", "-s", "ns", "unshare --mount sh -c 'mount -t tmpfs none /tmp && "
                   "exec env -i PATH=/usr/bin:/bin PS1=\"$ \" dash'")
    pane = real_tmux.server.target_pane("=ns:0.0")
    pane.wait_for("$")
    started = time.monotonic()
    for _ in range(2):  # the pane is not left marked as running a command
        with pytest.raises(RuntimeError, match=r"could not read .* \(does it see another file system\?\)"):
            pane.run("echo hi", timeout=60)
    assert time.monotonic() - started < 30


class TestWaitAfterAMark:
    def test_text_that_was_there_never_matches(self, bash_pane):
        bash_pane.run("echo old")
        mark = bash_pane.screen()
        with pytest.raises(TimeoutError, match="^no match for 'old' within 0.3 seconds; "):
            bash_pane.wait_for("old", timeout=0.3, after=mark)
        bash_pane.send_text("echo new", enter=True)
        assert "\nnew\n" in bash_pane.wait_for(re.compile(r"^new$", re.M), after=mark).text

    @pytest.mark.parametrize("redraw", [
        "printf 'old\\n\\033[5A'",            # the cursor went up above old text
        "tput cup 0 0",                         # and to the top
    ])
    def test_old_text_below_the_cursor_does_not_match(self, bash_pane, redraw):
        bash_pane.run("echo old; " + redraw)
        mark = bash_pane.screen()
        with pytest.raises(TimeoutError):
            bash_pane.wait_for("old", timeout=0.3, after=mark)

    def test_trimmed_history_and_rewrapped_lines(self, real_tmux):
        real_tmux.tmux("new-session", "-d", "-s", "keep", ";", "set-option", "-g", "history-limit", "50",
                       ";", "new-session", "-d", "-s", "h", "-x", "80", "-y", "10", BASH)
        pane = real_tmux.server.target_pane("=h:0.0")
        pane.wait_for("$")
        pane.run("seq -f 'old%g' 1 55; printf 'x%.0s' $(seq 1 150); echo")
        mark = pane.screen()
        pane.run("seq 1 60")           # the history drops a tenth of its lines
        real_tmux.tmux("resize-window", "-t", "h", "-x", "40")  # long lines wrap again
        with pytest.raises(TimeoutError):
            pane.wait_for(re.compile("old|xxx"), timeout=0.3, after=mark)
        assert "60" in pane.wait_for("60\n", after=mark, timeout=10).text

    def test_the_returned_screen_marks_the_next_wait(self, bash_pane):
        mark = bash_pane.screen()
        bash_pane.send_text("echo first", enter=True)
        first = bash_pane.wait_for(re.compile(r"^first$", re.M), after=mark)
        with pytest.raises(TimeoutError):
            bash_pane.wait_for("first", timeout=0.3, after=first)

    def test_a_line_number_in_a_full_history_is_refused(self, real_tmux):
        real_tmux.tmux("new-session", "-d", "-s", "keep", ";", "set-option", "-g", "history-limit", "20",
                       ";", "new-session", "-d", "-s", "h", BASH)
        pane = real_tmux.server.target_pane("=h:0.0")
        pane.wait_for("$")
        pane.run("seq 1 100")
        with pytest.raises(RuntimeError, match="lines may have been dropped"):
            pane.wait_for("x", after=pane.screen().history_size, timeout=1)

    def test_screens_taken_one_after_another_all_mark(self, tmux_pane):
        # Each look reopens the pipe; the one before's end must not read as
        # someone else's pipe.
        for round in range(30):
            mark = tmux_pane.screen()
            tmux_pane.send_text(f"echo m{round}x", enter=True)
            tmux_pane.wait_for(f"m{round}x\n", after=mark, timeout=10)


class TestExpect:
    def test_each_match_starts_after_the_last(self, bash_pane):
        bash_pane.screen()
        bash_pane.send_text("printf 'a1 b2 a3\\n'", enter=True)
        first = bash_pane.expect(re.compile(r"a(\d)"))
        assert (first.text, first.groups) == ("a1", ["1"])
        second = bash_pane.expect(re.compile(r"a(\d)"))
        assert (second.before, second.text, second.groups) == (" b2 ", "a3", ["3"])

    def test_escape_sequences_are_left_out(self, bash_pane):
        mark = bash_pane.screen()
        bash_pane.send_text("printf '\\033[31mred\\033[0m \\033]0;title\\007end\\n'", enter=True)
        found = bash_pane.expect("red end\n", after=mark)
        assert "\x1b" not in found.before

    def test_timeout_shows_what_came(self, bash_pane):
        mark = bash_pane.screen()
        bash_pane.send_text("echo something", enter=True)
        bash_pane.expect("something\n", after=mark)
        with pytest.raises(TimeoutError, match="output since the previous expect:\n"):
            bash_pane.expect("never", timeout=0.5)

    def test_a_line_number_is_no_mark(self, bash_pane):
        with pytest.raises(ValueError, match="after must be a Screen"):
            bash_pane.expect("x", after=3)


class TestRecording:
    @staticmethod
    def events(path):
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        return json.loads(lines[0]), "".join(json.loads(line)[2] for line in lines[1:])

    def test_a_second_recording_is_refused_at_once(self, tmux_pane, isolated_env):
        first, second = (os.path.join(isolated_env, n) for n in ("a.cast", "b.cast"))
        results = []
        threads = [threading.Thread(target=lambda p=p: results.append(self.try_record(tmux_pane, p)))
                   for p in (first, second)]
        for t in threads:
            t.start()
        for t in threads:
            t.join(30)
        assert sorted(r[0] for r in results) == [False, True]
        winner = next(r[1] for r in results if r[0])
        tmux_pane.run("echo recorded")
        assert tmux_pane.stop_recording() is True
        assert "recorded" in self.events(winner)[1]

    @staticmethod
    def try_record(pane, path):
        try:
            return pane.record(path), path
        except RuntimeError as e:
            assert "is already recording to" in str(e)
            return False, path

    def test_run_leaves_nothing_of_ours_in_a_recording(self, tmux_pane, isolated_env):
        path = os.path.join(isolated_env, "r.cast")
        tmux_pane.record(path)
        tmux_pane.run("echo visible")
        tmux_pane.stop_recording()
        header, output = self.events(path)
        assert header["version"] == 2
        assert "echo visible\r\nvisible\r\n" in output  # the command as if typed, then its output
        assert "6973" not in output and "__tl" not in output and "termloom" not in output

    def test_a_full_disk_is_an_error(self, tmux_pane):
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full")
        with pytest.raises(RuntimeError, match="record failed: cannot write \"/dev/full\": No space left"):
            tmux_pane.record("/dev/full")
        assert tmux_pane.stop_recording() is False

    def test_a_killed_pipe_is_an_error_at_stop(self, tmux_pane, tmux_server, isolated_env):
        # Several rounds: the closed pipe's end races the stop's own look.
        for round in range(4):
            path = os.path.join(isolated_env, f"k{round}.cast")
            tmux_pane.record(path)
            tmux_pane.run(f"echo before{round}")
            tmux_server.command("pipe-pane", "-t", tmux_pane.pane_id)  # somebody closes our pipe
            started = time.monotonic()
            with pytest.raises(RuntimeError, match="output stream ended while recording"):
                tmux_pane.stop_recording()
            assert time.monotonic() - started < 5  # not after waiting for a writer that never comes
            assert f"before{round}" in self.events(path)[1]

    @pytest.mark.parametrize("keep", [True, False])
    def test_stop_after_the_program_ended(self, tmux_session, tmux_server, isolated_env, keep):
        if keep:
            tmux_server.command("set-option", "-g", "remain-on-exit", "on")
        pane = tmux_session.windows[0].panes[0].split(command="sh -c 'sleep 0.5; echo last words'", keep=False)
        path = os.path.join(isolated_env, "e.cast")
        pane.record(path)
        window = tmux_session.windows[0]
        pane.wait_exit(timeout=10) if keep else wait_for(lambda: len(window.panes) == 1, timeout=10)
        started = time.monotonic()
        assert pane.stop_recording() is True
        # A kept dead pane's pipe stays open (tmux 3.3 on refuses to touch
        # it): the stop must not wait out its time limit for an end.
        assert time.monotonic() - started < 5
        assert "last words" in self.events(path)[1]
        if keep:
            assert tmux_server.command("show-options", "-p", "-t", pane.pane_id).count("@termloom-recording") == 0
            if real_tmux_before(3, 3):  # its tmux pipes a dead pane
                assert pane.record(path) is True and pane.stop_recording() is True
            else:
                with pytest.raises(RuntimeError, match=r"record failed: pane %\d+'s program has ended"):
                    pane.record(path)

    @staticmethod
    def our_pipes(server):
        """The pipe-pane processes of `server` writing into a termloom stream's FIFO."""
        tmux = int(server.command("display-message", "-p", "#{pid}"))

        def parent(pid):
            with open(f"/proc/{pid}/stat") as f:
                return int(f.read().rsplit(")", 1)[1].split()[1])
        found = []
        for entry in os.listdir("/proc"):
            try:
                target = os.readlink(f"/proc/{entry}/fd/1")
                # The pipe's shell is tmux's child, and the copy the shell's.
                if "/termloom-" in target and "/stream-" in target and tmux in (
                        parent(entry), parent(parent(entry))):
                    found.append(entry)
            except (OSError, ValueError):
                continue
        return found

    @pytest.mark.shared_files  # the user's pipe writes a file of this machine
    def test_a_pipe_of_the_users_is_never_touched(self, tmux_pane, tmux_server, isolated_env):
        theirs = os.path.join(isolated_env, "theirs.log")
        tmux_pane.screen()  # ours first: the user's pipe-pane then replaces it
        # Its shell execs cat a moment after tmux started it.
        assert wait_for(lambda: self.our_pipes(tmux_server))
        tmux_server.command("pipe-pane", "-t", tmux_pane.pane_id, f"cat >> {theirs}")
        # Replaced at the very moment termloom takes a mark, it could still
        # take the pane back: once tmux has closed our pipe, it never does.
        wait_for(lambda: not self.our_pipes(tmux_server) and tmux_server.command(
            "display-message", "-p", "-t", tmux_pane.pane_id, "#{@termloom-pipe}") == "\n")
        assert tmux_pane.stop_recording() is False
        with pytest.raises(RuntimeError, match="piped elsewhere"):
            tmux_pane.record(os.path.join(isolated_env, "x.cast"))
        with pytest.raises(RuntimeError, match="piped elsewhere"):
            tmux_pane.run("true")
        tmux_pane.send_text("echo still theirs", enter=True)
        wait_for(lambda: os.path.exists(theirs) and b"still theirs" in open(theirs, "rb").read())


class TestMarksWhileThePanePrints:
    """tmux drops what it still holds for a pipe it closes, and a mark
    reopens the pane's pipe: screens taken in another thread all along cost
    a run or a recording nothing."""

    LINES = 20000
    COMMAND = f"for i in $(seq 1 {LINES}); do echo L$i; done"
    RUNS = 300  # each run's start is a chance for a mark to fall on its first bytes

    @pytest.mark.parametrize("reader", ["run", "recording"])
    def test_screens_meanwhile_cost_a_reader_nothing(self, bash_pane, isolated_env, reader):
        path = os.path.join(isolated_env, "r.cast")
        looking = threading.Event()
        looks = []

        def look():
            while not looking.is_set():
                looks.append(bash_pane.screen())
        if reader == "recording":
            bash_pane.record(path)
        looker = threading.Thread(target=look)
        looker.start()
        try:
            if reader == "run":
                outputs = [bash_pane.run("seq 1 2000", timeout=60).output for _ in range(self.RUNS)]
            else:
                bash_pane.send_text(self.COMMAND + "; echo DO''NE", enter=True)
                bash_pane.wait_for(re.compile(r"^DONE", re.M), timeout=120)
        finally:
            looking.set()
            looker.join(60)
        assert looks
        if reader == "run":
            whole = "\n".join(str(n) for n in range(1, 2001))
            assert [i for i, output in enumerate(outputs) if output != whole] == []
        else:
            assert bash_pane.stop_recording() is True
            text = TestRecording.events(path)[1]
            assert [int(n) for n in re.findall(r"\bL(\d+)\b", text)] == list(range(1, self.LINES + 1))

    def test_no_mark_while_a_run_reads_and_marks_again_after(self, bash_pane):
        results = []
        running = threading.Thread(target=lambda: results.append(bash_pane.run("echo START''ED; sleep 2")))
        running.start()
        try:
            bash_pane.wait_for("STARTED\n", timeout=30)  # printed by the run: it reads the stream
            during = bash_pane.screen()
            with pytest.raises(RuntimeError, match="holds no place in the pane's output stream"):
                bash_pane.wait_for("x", after=during, timeout=1)
        finally:
            running.join(60)
        assert [r.output for r in results] == ["STARTED"]
        mark = bash_pane.screen()
        bash_pane.send_text("echo MA''RK", enter=True)
        assert "MARK" in bash_pane.wait_for("MARK\n", after=mark, timeout=10).text


class TestTwoProcesses:
    """A pane's stream belongs to one process at a time: the one that asks
    last, unless another records it."""

    PROGRAM = ("import sys, termloom\n"
               "pane = termloom.Server(sys.argv[1]).target_pane(sys.argv[2])\n"
               "try:\n    print(pane.run('echo from the other'))\n"
               "except RuntimeError as e:\n    print('RuntimeError:', e)\n")

    def other_process_runs(self, real_tmux, pane):
        return subprocess.run([sys.executable, "-c", self.PROGRAM, real_tmux.socket, pane.pane_id],
                              capture_output=True, text=True, timeout=60).stdout

    def test_the_last_to_ask_takes_the_stream(self, bash_pane, real_tmux):
        mark = bash_pane.screen()  # this process reads the pane's stream
        assert "output=\"from the other\"" in self.other_process_runs(real_tmux, bash_pane)
        with pytest.raises(RuntimeError, match="output stream ended"):
            bash_pane.wait_for("never", after=mark, timeout=5)
        assert bash_pane.run("echo mine again").output == "mine again"

    def test_a_recording_keeps_its_stream(self, bash_pane, real_tmux, isolated_env):
        path = os.path.join(isolated_env, "kept.cast")
        bash_pane.record(path)
        assert "recorded by another termloom process" in self.other_process_runs(real_tmux, bash_pane)
        bash_pane.run("echo still recorded")
        assert bash_pane.stop_recording() is True
        assert "still recorded" in TestRecording.events(path)[1]
        assert "output=\"from the other\"" in self.other_process_runs(real_tmux, bash_pane)
