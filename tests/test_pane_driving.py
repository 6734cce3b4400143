"""Driving a pane: send_text, screen, wait_for and wait_quiet against real tmux,
and their exact command lines against the scripted tmux."""
import os
import re
import sys
import threading
import time

import pytest

from conftest import ADDRESS_SCHEME, interrupt_child, logged, wait_for


class TestSendText:
    @pytest.mark.parametrize("text", [
        "Enter", "C-c", "Up", "F1", "Space", "M-x", "a;", "-n", "\\;", ";", "#{x}", "a\tb", "éß€😀", "",
    ])
    @pytest.mark.parametrize("enter", [False, True])
    def test_bytes_arrive_as_typed(self, raw_pane, text, enter):
        pane, log = raw_pane
        assert pane.send_text(text, enter=enter) is True
        expected = text.encode() + (b"\r" if enter else b"")
        pane.send_text("|")  # a visible end, also when nothing was typed
        wait_for(lambda: logged(log).endswith(b"|"))
        assert logged(log) == expected + b"|"

    def test_line_feed_is_the_enter_key(self, raw_pane):
        pane, log = raw_pane
        pane.send_text("one\ntwo\n|")
        wait_for(lambda: logged(log).endswith(b"|"))
        assert logged(log) == b"one\rtwo\r|"

    @pytest.mark.parametrize("text", [
        # Lines as typed: a leading "-", tabs, ";" and "#", two- and four-byte characters.
        "".join(f"-{i}\tcd é;#{{x}} 😀 ß€\n" for i in range(5000)),
        # Every character one that tmux or a terminal could take specially at
        # the edge of a run: ESC, a carriage return, "-", ";" and multi-byte ones.
        "\x1b-é\r😀;" * 12000,
    ], ids=["lines", "edges"])
    def test_long_text_arrives_whole_and_in_order(self, raw_pane, text):
        # tmux refuses a command of more than 16 KB: the text goes in several runs.
        pane, log = raw_pane
        assert len(text.encode()) > 100_000
        assert pane.send_text(text, enter=True) is True
        expected = text.replace("\n", "\r").encode() + b"\r"
        wait_for(lambda: len(logged(log)) >= len(expected), timeout=30)
        assert logged(log) == expected

    def test_a_failure_part_way_says_how_much_was_typed(self, fake_tmux, Pane):
        fake_tmux.respond().respond(stderr="can't find pane: %3\n", code=1)
        text = "é" * 30_000
        with pytest.raises(RuntimeError) as error:
            Pane("s", 0, 0, "%3", "t", None).send_text(text, enter=True)
        first, second = fake_tmux.calls
        typed = first[first.index("-l") + 1]
        assert str(error.value) == (f"send text failed: {len(typed)} of 30000 characters were typed, "
                                    "then: can't find pane: %3")
        assert 0 < len(typed) < 30_000 and second[second.index("-l") + 1].startswith("é")
        assert all(sum(len(word.encode()) + 1 for word in call[1:]) <= 16364 for call in (first, second))

    def test_argv(self, fake_tmux, Pane):
        assert Pane("s", 0, 0, "%3", "t", "/sock").send_text("-x;", enter=True) is True
        assert fake_tmux.calls == [["tmux", "-S", "/sock", "send-keys", "-t", "%3", "-l", "--", "-x\\;",
                                    ";", "send-keys", "-t", "%3", "Enter"]]

    @pytest.mark.parametrize("text", ["\0", "a\0b", "x\n\0"])
    def test_nul_is_refused_before_tmux_runs(self, fake_tmux, Pane, text):
        with pytest.raises(ValueError, match=r"NUL .* cannot be typed"):
            Pane("s", 0, 0, "%3", "t", None).send_text(text, enter=True)
        assert fake_tmux.calls == []

    def test_failure(self, fake_tmux, Pane):
        fake_tmux.respond(stderr="can't find pane: %3\n", code=1)
        with pytest.raises(RuntimeError, match=r"^send text failed: can't find pane: %3$"):
            Pane("s", 0, 0, "%3", "t", None).send_text("x")


class TestScreen:
    def test_fields(self, bash_pane, real_tmux):
        bash_pane.send_text("printf '\\033[31mred\\033[0m\\n'", enter=True)
        bash_pane.wait_for("\nred\n")
        bash_pane.send_text("abc")
        screen = bash_pane.wait_for(re.compile(r"^\$ abc$", re.M))
        lines = screen.text.split("\n")
        state = real_tmux.tmux("display-message", "-p", "-t", bash_pane.pane_id,
                               "#{cursor_x} #{cursor_y} #{pane_width} #{pane_height}").split()
        assert [screen.cursor_x, screen.cursor_y, screen.width, screen.height] == [int(v) for v in state]
        assert len(lines) == screen.height and lines[screen.cursor_y] == "$ abc" and screen.cursor_x == 5
        assert "red" in screen.text and "\x1b" not in screen.text and screen.alternate is False
        coloured = bash_pane.screen(escapes=True)
        assert "\x1b[31mred" in coloured.text
        assert repr(screen).startswith('Screen(text="$ printf') and repr(screen).endswith(
            f"cursor_x=5, cursor_y={screen.cursor_y}, width=120, height=30, alternate=false, history_size=0)")
        assert screen.history_size == 0

    def test_alternate_screen(self, bash_pane):
        bash_pane.send_text("printf '\\033[?1049h'; echo full; sleep 30", enter=True)
        assert bash_pane.wait_for(re.compile(r"^full$", re.M)).alternate is True
        bash_pane.send_keys("C-c")
        bash_pane.send_text("printf '\\033[?1049l'", enter=True)
        wait_for(lambda: bash_pane.screen().alternate is False)

    def test_gone(self, bash_pane, real_tmux):
        real_tmux.tmux("new-session", "-d", "-s", "other")  # the server stays
        bash_pane.kill()
        with pytest.raises(RuntimeError, match=r"^screen failed: can't find pane"):
            bash_pane.screen()


class TestWaitFor:
    @pytest.mark.parametrize("pattern", ["hello 42", re.compile(r"^hello \d+$", re.M)])
    def test_returns_the_matching_screen(self, bash_pane, pattern):
        bash_pane.send_text("sleep 0.3; echo hello $((6*7))", enter=True)
        screen = bash_pane.wait_for(pattern)
        assert "\nhello 42\n" in screen.text

    def test_timeout_message(self, bash_pane):
        bash_pane.send_text("seq 1 25", enter=True)
        # The whole prompt too, for the message shows the screen; before 3.4
        # tmux pads the lines as written with blanks.
        bash_pane.wait_for(re.compile(r"^25 *\n\$ ", re.M))
        for pattern, shown in [("nope", "'nope'"), (re.compile("^nope$", re.M), "re.compile('^nope$', re.MULTILINE)")]:
            with pytest.raises(TimeoutError) as caught:
                bash_pane.wait_for(pattern, timeout=0.2)
            head, lines = str(caught.value).split("\n", 1)
            assert head == f"no match for {shown} within 0.2 seconds; last screen:"
            assert lines.split("\n") == [str(n) for n in range(7, 26)] + ["$"]

    @pytest.mark.parametrize("end", ["kill", "exit"])
    def test_pane_ending_is_an_error_at_once(self, bash_pane, real_tmux, end):
        if end == "exit":
            real_tmux.tmux("set-option", "-t", bash_pane.pane_id, "-p", "remain-on-exit", "on")
            threading.Timer(0.3, bash_pane.send_text, ["exit", True]).start()
            message = "died: its process has exited"
        else:
            real_tmux.tmux("new-session", "-d", "-s", "other")  # the server stays
            threading.Timer(0.3, bash_pane.kill).start()
            message = "is gone: can't find pane"
        with pytest.raises(RuntimeError, match=f"^pane {bash_pane.pane_id} {message}"):
            bash_pane.wait_for("never shown", timeout=60)

    @pytest.mark.parametrize("kwargs, error, message", [
        ({"pattern": b"x"}, TypeError, "argument 'pattern': 'bytes' object cannot be cast as 'str | re.Pattern[str]'"),
        ({"pattern": re.compile(b"x")}, TypeError, "cannot be cast as 'str | re.Pattern\\[str\\]'"),
        ({"pattern": "x", "timeout": -1}, ValueError, "seconds must be zero or more, not -1.0"),
        ({"pattern": "x", "timeout": float("nan")}, ValueError, "not nan"),
        ({"pattern": "x", "timeout": "1"}, TypeError, "argument 'timeout': 'str' object cannot be cast as 'float'"),
        ({"pattern": "x", "timeout": 10**400}, OverflowError, "too large"),
    ])
    def test_bad_arguments_run_nothing(self, fake_tmux, Pane, kwargs, error, message):
        with pytest.raises(error, match=message):
            Pane("s", 0, 0, "%1", "t", None).wait_for(**kwargs)
        assert fake_tmux.calls == []

    def test_a_match_gone_at_the_second_look_counts_when_it_is_back(self, real_tmux):
        # The wait's second look, which opens the pane's stream, finds the
        # screen just reset (by a hook on that pipe-pane, which also types a
        # key); the program then draws again the very text the first look
        # matched, before any other look can see the screen blank.
        real_tmux.tmux("new-session", "-d", "-s", "w", "-x", "80", "-y", "24",
                       "stty -icanon -echo; while :; do printf '\\rready'; head -c1 >/dev/null; done")
        wait_for(lambda: real_tmux.tmux("capture-pane", "-p", "-t", "=w:0.0").startswith("ready"))
        real_tmux.tmux("set-hook", "-g", "after-pipe-pane",
                       "send-keys -R -t =w:0.0 ; send-keys -t =w:0.0 x ; set-hook -gu after-pipe-pane")
        assert real_tmux.server.target_pane("=w:0.0").wait_for("ready", timeout=10).text.startswith("ready")
        assert "send-keys -R" not in real_tmux.tmux("show-hooks", "-g")  # the hook ran

    def test_defaults_and_int_seconds(self, bash_pane):
        assert bash_pane.wait_for("$").text.startswith("$")
        assert bash_pane.wait_for("$", 1).text.startswith("$")
        assert bash_pane.wait_for("$", None).text.startswith("$")

    @pytest.mark.parametrize("wait", ["wait_for('never', timeout=None)", "wait_quiet(30, timeout=None)",
                                      "run('sleep 30')"])
    def test_ctrl_c_ends_the_wait(self, bash_pane, real_tmux, wait):
        program = (f"import termloom\npane = termloom.Server({real_tmux.socket!r}).target_pane('=sh:0.0')\n"
                   "print('ready', flush=True)\n"
                   f"try:\n    pane.{wait}\n"
                   "except KeyboardInterrupt:\n    print('interrupted', flush=True)\n")
        marker = f"waits-{os.getpid()}-{time.monotonic_ns()}"

        def waiting():
            # A screen wait watches the terminal (on a remote host, the pane's
            # output stream); a run has typed its command.
            if wait.startswith("run"):
                return bash_pane.current_command == "sleep"
            return waits_for_writes(marker)

        report, _ = interrupt_child([sys.executable, "-c", program, marker], waiting)
        assert report == "interrupted\n"


def waits_for_writes(marker):
    """True once the process whose arguments hold `marker` holds what a wait
    of termloom's watches: an inotify instance here, the eventfd of a
    stream's watch on a remote host."""
    watched = "anon_inode:[eventfd]" if ADDRESS_SCHEME else "anon_inode:inotify"
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if marker.encode() not in f.read().split(b"\0"):
                    continue
            fds = os.listdir(f"/proc/{pid}/fd")
        except OSError:  # gone meanwhile
            continue
        for fd in fds:
            try:
                if os.readlink(f"/proc/{pid}/fd/{fd}") == watched:
                    return True
            except OSError:
                pass
    return False


def test_waits_keep_no_descriptor_per_call(bash_pane):
    # A thread keeps one watch instance for all its waits, and the pane's
    # stream one FIFO (a fresh one for each mark, the old one closed once it
    # is read to its end); nothing else stays.
    bash_pane.wait_for("$")
    count = lambda: len(os.listdir("/proc/self/fd"))
    before = count()
    for _ in range(5):
        bash_pane.wait_for("$")
        bash_pane.wait_quiet(0.05)
        bash_pane.run("true")
    wait_for(lambda: count() <= before)


class TestWaitQuiet:
    def test_returns_once_the_output_stops(self, bash_pane):
        bash_pane.send_text("for i in 1 2 3 4 5; do echo tick$i; sleep 0.05; done", enter=True)
        bash_pane.wait_for("tick1\n")  # started: the pauses are short beside the quiet period
        screen = bash_pane.wait_quiet(1.0)
        assert "\ntick5\n$\n" in screen.text

    def test_timeout(self, bash_pane):
        # Without a pause of its own, and no program to start: the screen never rests.
        bash_pane.send_text("while :; do echo $((i += 1)); done", enter=True)
        with pytest.raises(TimeoutError, match=r"^the screen did not stay unchanged for 0.5 seconds within "
                                               r"1.0 seconds; last screen:\n"):
            bash_pane.wait_quiet(0.5, timeout=1)
        bash_pane.send_keys("C-c")
