"""Everyday members against real tmux: the raw command, paste, recording,
the context managers, waits after a mark and for the program's end."""
import gc
import inspect
import json
import os
import re
import subprocess
import sys
import textwrap
import time

import pytest

import termloom
from conftest import interrupt_child, logged, real_tmux_before, wait_for
from test_runner import install_script

PYTHON313 = "/root/.pyenv/versions/3.13.0/bin/python3"


def buffers(server):
    return server.command("list-buffers", "-F", "#{buffer_name}").splitlines()


class TestCommand:
    def test_words_are_tmux_syntax(self, tmux_session, tmux_server):
        assert tmux_server.command("list-sessions", "-F", "#{session_name}") == "test\n"
        # ";" separates two commands: the caller's text is not escaped.
        assert tmux_server.command("display-message", "-p", "one", ";", "display-message", "-p", "two") == \
            "one\ntwo\n"

    def test_failure_is_tmux_message(self, tmux_session, tmux_server):
        with pytest.raises(RuntimeError, match=r"^tmux command failed: unknown command: no-such$"):
            tmux_server.command("no-such")
        with pytest.raises(RuntimeError, match="can't find session"):
            tmux_server.command("kill-session", "-t", "=missing")

    def test_exact_argument_vector(self, fake_tmux):
        fake_tmux.respond(stdout="out\n")
        assert termloom.Server("/x").command("a;", "-b", "#{c}", "") == "out\n"
        assert fake_tmux.calls == [["tmux", "-S", "/x", "a;", "-b", "#{c}", ""]]

    def test_silent_failure_names_the_status(self, fake_tmux):
        fake_tmux.respond(code=3)
        with pytest.raises(RuntimeError, match=r"^tmux command failed: exit status 3$"):
            termloom.Server("/x").command("x")

    def test_a_path_that_is_no_socket_runs_nothing(self, fake_tmux, tmp_path):
        # The command may start a server, which would delete the file.
        path = tmp_path / "plain"
        path.write_text("keep")
        with pytest.raises(RuntimeError, match="exists and is not a socket"):
            termloom.Server(str(path)).command("new-session", "-d")
        assert fake_tmux.calls == [] and path.read_text() == "keep"

    def test_args_are_positional_only(self, fake_tmux):
        with pytest.raises(TypeError, match="unexpected keyword argument 'args'"):
            termloom.Server("/x").command(args="x")
        assert fake_tmux.calls == []

    @pytest.mark.parametrize("args", [(1,), ("a", None)])
    def test_each_word_is_a_str(self, fake_tmux, args):
        with pytest.raises(TypeError, match="cannot be cast as 'str'"):
            termloom.Server("/x").command(*args)
        assert fake_tmux.calls == []


class TestContextManagers:
    def test_server_is_killed_at_the_end(self, isolated_env):
        with termloom.Server(os.path.join(isolated_env, "own")) as server:
            server.new_session("a")
            assert server.is_running
        assert not server.is_running

    def test_server_is_killed_after_an_exception(self, isolated_env):
        server = termloom.Server(os.path.join(isolated_env, "own"))
        with pytest.raises(KeyError):
            with server as entered:
                assert entered is server
                server.new_session("a")
                raise KeyError("x")
        assert not server.is_running

    @pytest.mark.parametrize("fail", [False, True])
    def test_session_is_killed_and_only_it(self, tmux_session, tmux_server, fail):
        try:
            with tmux_server.new_session("x") as session:
                assert tmux_server.has_session("x")
                if fail:
                    raise ValueError("in the block")
        except ValueError:
            assert fail
        assert not tmux_server.has_session("x") and tmux_server.has_session("test")
        assert session.name == "x"

    def test_a_session_killed_in_the_block_is_no_error(self, tmux_session, tmux_server):
        with tmux_server.new_session("x") as session:
            session.kill()
        assert tmux_server.has_session("test")

    def test_no_cleanup_at_garbage_collection(self, tmux_session, tmux_server):
        session = tmux_server.new_session("kept")
        del session
        gc.collect()
        assert tmux_server.has_session("kept")


class TestPaste:
    @pytest.mark.parametrize("text", ["a;", "-n", "#{pane_id} ##", "\\;", "é😀\t", "x" * 5000])
    def test_bytes_arrive_exactly(self, raw_pane, real_tmux, text):
        pane, log = raw_pane
        assert pane.paste(text + "|", bracketed=False) is True
        wait_for(lambda: logged(log).endswith(b"|"))
        assert logged(log) == (text + "|").encode()
        assert buffers(real_tmux.server) == []

    def test_one_megabyte_leaves_no_buffer(self, raw_pane, real_tmux):
        pane, log = raw_pane
        text = "".join(f"{i:07d}" + "y" * 92 for i in range(10_000)) + "|"  # 1 MB, one line
        assert pane.paste(text, bracketed=False) is True
        wait_for(lambda: logged(log).endswith(b"|"), timeout=30)
        assert logged(log) == text.encode()
        assert buffers(real_tmux.server) == []

    def test_line_feeds_arrive_as_enter_and_bracketed_marks_it(self, raw_pane):
        pane, log = raw_pane
        pane.send_text("")  # the reader never asked for bracketed paste: none is marked
        pane.paste("one\ntwo|", bracketed=True)
        wait_for(lambda: logged(log).endswith(b"|"))
        assert logged(log) == b"one\rtwo|"

    def test_failure_leaves_no_buffer(self, tmux_pane, tmux_server):
        tmux_server.new_session("other")
        tmux_pane.kill()
        with pytest.raises(RuntimeError, match="^paste failed: "):
            tmux_pane.paste("text")
        assert buffers(tmux_server) == []

    @pytest.mark.parametrize("bracketed", [True, False])
    def test_a_dead_pane_is_refused_and_the_server_lives(self, tmux_session, tmux_server, bracketed):
        # tmux 3.1c and 3.3a end the whole server when paste-buffer writes to a dead pane.
        tmux_server.command("set-option", "-g", "remain-on-exit", "on")
        pane = tmux_session.new_window(command="exit 3").panes[0]
        wait_for(lambda: pane.metadata().dead)
        with pytest.raises(RuntimeError) as error:
            pane.paste("echo pasted\n", bracketed=bracketed)
        assert str(error.value) == f"paste failed: pane {pane.pane_id} is dead: its process has exited"
        assert tmux_server.has_session("test") and buffers(tmux_server) == []

    @pytest.mark.parametrize("before, index", [("", 0), ("echo é😀; ", 9), ("x\n" * 3, 6)],
                             ids=["at-start", "after-multi-byte", "after-lines"])
    def test_end_of_paste_inside_the_text_is_refused(self, raw_pane, before, index):
        # In bracketed-paste mode a program takes "\x1b[201~" as the end of the
        # paste, and a shell runs whatever follows it as typed commands.
        pane, log = raw_pane
        text = before + "\x1b[201~touch /tmp/pwned\n"
        with pytest.raises(ValueError) as error:
            pane.paste(text)
        assert str(error.value) == ('paste: the text holds the end-of-paste sequence "\\x1b[201~" '
                                    f"(ESC [ 2 0 1 ~) at index {index}: a program would take what "
                                    "follows it as typed")
        pane.send_text("|")
        wait_for(lambda: logged(log).endswith(b"|"))
        assert logged(log) == b"|"  # nothing of the text arrived
        assert pane.paste(text + "|", bracketed=False) is True  # unbracketed: pasted as it is
        wait_for(lambda: logged(log).endswith(b"\n|".replace(b"\n", b"\r")))
        assert logged(log) == b"|" + (text + "|").replace("\n", "\r").encode()

    @pytest.mark.skipif(not os.path.exists(PYTHON313), reason="needs Python 3.13")
    def test_python_313_repl_takes_a_function(self, tmux_session):
        pane = tmux_session.new_window(command=f"env TERM=screen {PYTHON313} -q").panes[0]
        before = pane.wait_for(">>> ")
        code = "def f(n):\n    if n:\n        return n * 2\n    return -1\n"
        assert pane.paste(code) is True
        pane.send_text("", enter=True)  # the REPL runs a pasted block at the next Enter
        before = pane.wait_for(">>> ", after=before)
        pane.send_text("print(f(21), f(0))", enter=True)
        assert "42 -1" in pane.wait_for("42 -1", after=before).text
        assert "Error" not in pane.screen().text


# A tmux that answers target_pane, then for load-buffer either never reads
# its standard input ("hang") or exits at once without reading it ("refuse").
FEEDING_TMUX = """
    #!{python} -S
    import os, sys, time
    if "load-buffer" not in sys.argv:
        sys.stdout.write("work\\t0\\t0\\t%0\\ttitle\\n")
    elif {echo}:
        # Everything read goes straight back, on standard error.
        while chunk := os.read(0, 65536):
            os.write(2, chunk)
        sys.exit(1)
    elif {hang}:
        open({started!r}, "w").close()
        time.sleep(30)
    else:
        sys.stderr.write("refused\\n")
        sys.exit(1)
"""

PASTER = textwrap.dedent("""
    import signal, termloom
    # The default action: a write to a closed pipe would end this process.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    pane = termloom.Server("/x").target_pane("work:0.0")
    print("ready", flush=True)
    try:
        pane.paste("x" * 1_000_000)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    except RuntimeError as error:
        print("error:", error, flush=True)
""")


class TestFeedingStandardInput:
    def test_ctrl_c_ends_a_paste_that_tmux_never_reads(self, fake_bin, tmp_path):
        started = tmp_path / "started"
        install_script(fake_bin, FEEDING_TMUX.format(python=sys.executable, echo=False, hang=True, started=str(started)))
        report, took = interrupt_child([sys.executable, "-c", PASTER], started.exists)
        assert report == "interrupted\n" and took < 5  # tmux never reads: only Ctrl-C ends it

    def test_a_tmux_that_exits_without_reading_gives_its_error(self, fake_bin, tmp_path):
        # Its message, not a hang on the full pipe nor the end of this process.
        install_script(fake_bin, FEEDING_TMUX.format(python=sys.executable, echo=False, hang=False, started=""))
        done = subprocess.run([sys.executable, "-c", PASTER], capture_output=True, text=True, timeout=30)
        assert (done.returncode, done.stdout) == (0, "ready\nerror: paste failed: refused\n")


    def test_input_and_output_flow_together(self, fake_bin):
        # A child that answers as it reads fills the output pipe long before
        # it has read 1 MB: written one after the other, both would stall.
        install_script(fake_bin, FEEDING_TMUX.format(python=sys.executable, echo=True, hang=False, started=""))
        pane = termloom.Server("/x").target_pane("work:0.0")
        with pytest.raises(RuntimeError) as error:
            pane.paste("z" * 1_000_000)
        assert str(error.value) == "paste failed: " + "z" * 1_000_000


class TestRecord:
    def read_cast(self, path):
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
        header = json.loads(lines[0])
        events = [json.loads(line) for line in lines[1:]]
        return header, events

    def test_asciicast_holds_the_output_in_order(self, tmux_pane, isolated_env):
        path = os.path.join(isolated_env, "it's #1.cast")  # a quote and a format in the path
        assert tmux_pane.record(path) is True
        # é cut in two writes, read apart by the recorder.
        tmux_pane.send_text("printf 'one\\n\\303'; sleep 0.3; printf '\\251two\\n'", enter=True)
        tmux_pane.wait_for("étwo\n")
        tmux_pane.send_text("printf 'last\\n'", enter=True)
        tmux_pane.wait_for("last\n")
        assert tmux_pane.stop_recording() is True
        header, events = self.read_cast(path)
        assert header["version"] == 2 and (header["width"], header["height"]) == (80, 24)
        assert abs(header["timestamp"] - time.time()) < 60
        assert all(len(e) == 3 and e[1] == "o" and isinstance(e[2], str) for e in events)
        times = [e[0] for e in events]
        assert times == sorted(times) and times[0] >= 0
        output = "".join(e[2] for e in events)
        assert "\ufffd" not in output
        assert output.index("one\r\n") < output.index("étwo\r\n") < output.rindex("last\r\n")

    def test_stopping_flushes_what_was_just_written(self, tmux_pane, tmux_server, isolated_env):
        path = os.path.join(isolated_env, "quick.cast")
        tmux_pane.record(path)
        tmux_pane.send_text("seq 1 3000 | tr -d '\\n'; echo END", enter=True)
        tmux_pane.wait_for("3000END")
        tmux_pane.stop_recording()
        output = "".join(e[2] for e in self.read_cast(path)[1])
        assert "29993000END" in output

    def test_refusals(self, tmux_pane, isolated_env):
        with pytest.raises(RuntimeError, match="^record failed: cannot write .*no-folder"):
            tmux_pane.record(os.path.join(isolated_env, "no-folder", "x.cast"))
        path = os.path.join(isolated_env, "a.cast")
        tmux_pane.record(path)
        with pytest.raises(RuntimeError, match=f"is already recording to \"{re.escape(path)}\""):
            tmux_pane.record(path + "2")
        assert tmux_pane.stop_recording() is True
        assert tmux_pane.stop_recording() is False  # nothing left to stop

    def test_a_gone_pane(self, tmux_session, tmux_pane, isolated_env):
        tmux_session.new_window()  # the session outlives the pane
        tmux_pane.kill()
        with pytest.raises(RuntimeError, match=r"^record failed: can't find pane: %\d+$"):
            tmux_pane.record(os.path.join(isolated_env, "x.cast"))
        assert tmux_pane.stop_recording() is False


class TestWaitFor:
    def test_trailing_blanks_of_the_prompt_match(self, tmux_pane):
        screen = tmux_pane.wait_for("$ ", timeout=5)
        assert screen.text.startswith("$\n")  # Screen.text keeps its documented form

    def test_old_output_does_not_match_after_a_screen(self, tmux_pane):
        tmux_pane.send_text("echo hello", enter=True)
        tmux_pane.wait_for(re.compile(r"^hello$", re.M))
        before = tmux_pane.screen()
        with pytest.raises(TimeoutError):
            tmux_pane.wait_for("hello", after=before, timeout=0.5)
        tmux_pane.send_text("echo hel''lo", enter=True)
        screen = tmux_pane.wait_for(re.compile(r"^hello$", re.M), after=before)
        assert screen.text.count("hello") >= 2

    def test_the_prompt_already_there_does_not_match(self, tmux_pane):
        before = tmux_pane.wait_for("$ ")
        with pytest.raises(TimeoutError):
            tmux_pane.wait_for("$ ", after=before, timeout=0.5)
        tmux_pane.send_text("true", enter=True)
        tmux_pane.wait_for("$ ", after=before)

    def test_wide_characters_before_the_cursor(self, tmux_pane):
        # The cursor's column counts cells: the new text on its line is what
        # differs from the line's old text, whatever the characters' widths.
        tmux_pane.send_text("printf '日本語> '; read x", enter=True)
        before = tmux_pane.wait_for("日本語> ")
        with pytest.raises(TimeoutError):
            tmux_pane.wait_for("> ", after=before, timeout=0.3)
        tmux_pane.send_text("ab")
        assert "日本語> ab" in tmux_pane.wait_for("ab", after=before, timeout=5).text

    def test_output_scrolled_into_history_still_counts(self, tmux_pane):
        tmux_pane.send_text("seq -f old%g 100", enter=True)
        tmux_pane.wait_for("old100\n")
        before = tmux_pane.screen()
        assert before.history_size > 0
        tmux_pane.send_text("echo NEW; seq -f later%g 100", enter=True)
        tmux_pane.wait_for("later100\n", after=before)
        screen = tmux_pane.wait_for(re.compile(r"^NEW$", re.M), after=before)
        assert "NEW" not in screen.text  # scrolled off the visible screen
        with pytest.raises(TimeoutError):
            tmux_pane.wait_for("old50\n", after=before, timeout=0.3)
        line = before.history_size + before.cursor_y
        tmux_pane.wait_for(re.compile(r"^NEW$", re.M), after=line)

    def test_clear_leaves_only_the_new_output(self, tmux_pane):
        tmux_pane.send_text("seq -f old%g 100", enter=True)
        before = tmux_pane.wait_for("old100\n")
        tmux_pane.send_text("clear; echo fresh", enter=True)
        tmux_pane.wait_for(re.compile(r"^fresh$", re.M), after=before)

    def test_full_history_is_a_clear_error_for_a_line_mark(self, tmux_session, tmux_server):
        # Lines dropped from a full history shift every line's number; a
        # Screen marks the output stream, which no history limit touches.
        tmux_server.command("set-option", "-g", "history-limit", "10")
        pane = tmux_session.new_window(command="seq 100; exec cat").panes[0]
        before = pane.wait_for("100\n")
        with pytest.raises(RuntimeError, match=r"history is full \(history-limit 10\)"):
            pane.wait_for("never", after=before.history_size + before.cursor_y, timeout=2)
        with pytest.raises(TimeoutError):
            pane.wait_for("99", after=before, timeout=0.5)
        pane.send_text("typed", enter=True)
        assert pane.wait_for("typed", after=before).history_size == 10

    def test_on_the_alternate_screen_unchanged_rows_are_old(self, tmux_pane):
        tmux_pane.send_text("printf '\\033[?1049h\\033[Hkept\\n'; read x; printf 'fresh\\n'; sleep 30",
                            enter=True)
        before = tmux_pane.wait_for(re.compile(r"^kept$", re.M))
        assert before.alternate
        with pytest.raises(TimeoutError):
            tmux_pane.wait_for("kept", after=before, timeout=0.5)
        tmux_pane.send_text("", enter=True)
        assert "kept" in tmux_pane.wait_for("fresh", after=before).text
        with pytest.raises(RuntimeError, match="alternate screen: a line count cannot tell"):
            tmux_pane.wait_for("fresh", after=0, timeout=1)

    def test_mark_must_be_a_screen_or_a_line(self, tmux_pane):
        with pytest.raises(TypeError, match="argument 'after'"):
            tmux_pane.wait_for("x", after="0")
        with pytest.raises(OverflowError):
            tmux_pane.wait_for("x", after=-1)


# A program that closes its terminal and then exits: tmux 3.1c and 3.3a
# (built with libutempter) now and then miss the exit of such a program, and
# know its status only once another child of theirs ends.
CLOSES_TERMINAL = "trap '' HUP; exec </dev/null >/dev/null 2>&1; "


class TestWaitExit:
    @pytest.mark.parametrize("command, status, tries", [
        ("exit 7", 7, 8),
        ("exit 0", 0, 2),
        (CLOSES_TERMINAL + "exit 2", 2, 20),  # a status lost about one time in five before
        (CLOSES_TERMINAL + "sleep 1; exit 5", 5, 1),  # the pane is dead a second before the end
    ], ids=["exit-7", "exit-0", "closes-terminal", "closes-terminal-runs-on"])
    def test_status_of_a_kept_pane(self, tmux_session, tmux_server, command, status, tries):
        tmux_server.command("set-option", "-g", "remain-on-exit", "on")
        found = [tmux_session.new_window(command=command).panes[0].wait_exit(timeout=10)
                 for _ in range(tries)]
        assert found == [status] * tries

    def test_signal_is_128_plus_n_from_tmux_3_3(self, tmux_session, tmux_server):
        tmux_server.command("set-option", "-g", "remain-on-exit", "on")
        pane = tmux_session.new_window(command="sleep 0.3; kill -TERM $$").panes[0]
        # tmux before 3.3 keeps no signal of a dead pane: it does not know.
        assert pane.wait_exit(timeout=10) == (None if real_tmux_before(3, 3) else 143)

    def test_gone_pane_is_none_and_running_times_out(self, tmux_session):
        pane = tmux_session.new_window(command="sleep 30").panes[0]
        with pytest.raises(TimeoutError, match="did not end within 0.3 seconds"):
            pane.wait_exit(timeout=0.3)
        pane.kill()
        assert pane.wait_exit(timeout=5) is None


class TestActingProperties:
    def test_getmembers_reads_them_and_acts(self, tmux_session, tmux_pane):
        # Reading every attribute reads select and clear too: the pane is
        # selected and its history cleared. This is why the README warns.
        other = tmux_pane.split()
        other_id = other.pane_id
        tmux_pane.send_text("seq 100", enter=True)
        tmux_pane.wait_for(re.compile(r"^100 *$", re.M))  # the output's last line, not the typed one
        assert tmux_pane.metadata().history_size > 0
        assert [p.pane_id for p in tmux_session.pane_metadata() if p.active] == [other_id]
        names = [name for name, _ in inspect.getmembers(tmux_pane)]
        assert "select" in names and "clear" in names
        assert [p.pane_id for p in tmux_session.pane_metadata() if p.active] == [tmux_pane.pane_id]
        assert tmux_pane.metadata().history_size == 0
