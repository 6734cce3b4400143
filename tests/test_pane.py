"""Pane: the handle, Window.panes, and the layout operations."""
import os

import pytest

from conftest import wait_for

LIST = "#{pane_index}|#{pane_id}|#{pane_title}"


def pane_ids(real_tmux, target="=s:0"):
    return real_tmux.tmux("list-panes", "-t", target, "-F", "#{pane_id}").split()


class TestAgainstRealTmux:
    def test_panes_split_select_and_kill(self, real_tmux):
        window = real_tmux.server.new_session("s").windows[0]
        (first,) = window.panes
        assert (first.session_name, first.window_index, first.pane_index) == ("s", 0, 0)
        assert first.pane_id == pane_ids(real_tmux)[0] and first.socket == real_tmux.socket
        second = first.split(horizontal=True)
        third = second.split()
        assert [p.pane_id for p in window.panes] == pane_ids(real_tmux) == [
            first.pane_id, second.pane_id, third.pane_id]
        assert [p.pane_index for p in window.panes] == [0, 1, 2]
        assert (third.session_name, third.window_index, third.socket) == ("s", 0, real_tmux.socket)
        assert first.select is True
        assert real_tmux.tmux("display-message", "-p", "-t", "=s:", "#{pane_id}").strip() == first.pane_id
        assert second.kill() is True
        assert pane_ids(real_tmux) == [first.pane_id, third.pane_id]
        with pytest.raises(RuntimeError) as error:
            second.kill()
        assert str(error.value) == f"tmux kill-pane failed: can't find pane: {second.pane_id}"
        with pytest.raises(RuntimeError, match="^select pane failed: can't find pane"):
            second.select

    def test_split_with_a_command(self, real_tmux, tmp_path):
        pane = real_tmux.server.new_session("s").windows[0].panes[0]
        out = tmp_path / "out"
        done = pane.split(command=f"echo it\\'s > {out}", keep=False)
        wait_for(lambda: out.exists() and out.read_text() == "it's\n")
        wait_for(lambda: done.pane_id not in pane_ids(real_tmux))  # not kept: the pane closed

    @pytest.mark.parametrize("command", ["sleep 0.1 &", "true;", "true # comment", "echo \"it's\""])
    def test_split_keeps_the_pane(self, real_tmux, command):
        """The shell that follows the command is reached whatever the command ends with."""
        pane = real_tmux.server.new_session("s").windows[0].panes[0]
        # The shell the kept pane ends in, by name. Not read from a pane: just
        # after it starts, a pane's command can still be tmux's own child,
        # before that runs the shell.
        shell = os.path.basename(real_tmux.tmux("show-options", "-gv", "default-shell").strip())
        wait_for(lambda: pane.current_command == shell)
        kept = pane.split(command=command)
        wait_for(lambda: kept.current_command == shell, timeout=30)
        assert kept.pane_id in pane_ids(real_tmux)
        assert kept.is_alive is True

    def test_resize(self, real_tmux):
        real_tmux.tmux("new-session", "-d", "-s", "s", "-x", "100", "-y", "30")
        left = real_tmux.server.sessions[0].windows[0].panes[0]
        right = left.split(horizontal=True)
        width = lambda: int(real_tmux.tmux("display-message", "-p", "-t", left.pane_id, "#{pane_width}"))
        before = width()
        assert right.resize("left", 5) is True and width() == before - 5
        assert left.resize("right", 2) is True and width() == before - 3
        with pytest.raises(RuntimeError, match="^tmux resize-pane failed: adjustment too small$"):
            left.resize("up", 0)

    def test_title(self, real_tmux):
        window = real_tmux.server.new_session("s").windows[0]
        pane = window.panes[0]
        for title in ["a|b", "#{pane_id} x", "-t;", " lead", "trail  "]:
            pane.title = title
            assert pane.title == title
            assert real_tmux.tmux("display-message", "-p", "-t", pane.pane_id, "#{pane_title}") == title + "\n"
            assert window.panes[0].title == title

    # tmux keeps the old title, reporting success, for text it will not show.
    @pytest.mark.parametrize("title", ["a\tb", "two\nlines", "cr\r", "\x1b[1m", "del\x7f", "nul\0",
                                       "c1\x85", "csi\x9b", "line\u2028sep", "para\u2029"])
    def test_a_title_tmux_refuses_raises(self, real_tmux, title):
        pane = real_tmux.server.new_session("s").windows[0].panes[0]
        pane.title = "old"
        with pytest.raises(ValueError, match="^tmux (3.3a )?keeps no pane title holding "):
            pane.title = title
        assert pane.title == "old"
        assert real_tmux.tmux("display-message", "-p", "-t", pane.pane_id, "#{pane_title}") == "old\n"

    def test_a_title_is_stored_or_refused(self, real_tmux):
        """Whatever the character: read back exactly, or ValueError (and
        tmux keeps the old title); never a title that did not change."""
        pane = real_tmux.server.new_session("s").windows[0].panes[0]
        characters = ["é", "😀", "\u00a0", "\u200b", "\u0301", "\ufeff", "\ue000", "\U000e0001", "\u0378",
                      "\U00050000", "\U0001fae8", "\U00031350", "\ufffd"] + [chr(c) for c in range(0x80, 0xa1)]
        refused = []
        for c in characters:
            pane.title = "old"
            try:
                pane.title = f"a{c}b"
            except ValueError:
                refused.append(c)
                expected = "old"
            else:
                expected = f"a{c}b"
            shown = real_tmux.tmux("-u", "display-message", "-p", "-t", pane.pane_id, "#{pane_title}")
            assert shown == expected + "\n", repr(c)
        assert set(refused) >= {chr(c) for c in range(0x80, 0xa0)}
        assert not {"é", "😀", "\u00a0", "\u0301"} & set(refused)

    def test_respawn_and_bash_shell(self, real_tmux):
        pane = real_tmux.server.new_session("s").windows[0].panes[0]
        assert pane.respawn(command="sleep 30", kill=True) is True
        wait_for(lambda: pane.current_command == "sleep")
        with pytest.raises(RuntimeError, match="^tmux respawn-pane failed: "):
            pane.respawn()  # still running, and no -k
        assert pane.bash_shell(respawn=True) is True
        wait_for(lambda: pane.current_command == "bash")
        assert pane.bash_shell() is True  # types "exec bash" into that bash
        assert pane.is_alive is True

    def test_panes_of_missing_window(self, real_tmux, Window):
        assert Window("s", 0, real_tmux.socket, "").panes == []
        real_tmux.server.new_session("s")
        assert Window("s", 3, real_tmux.socket, "").panes == []


class TestArgumentVectors:
    def test_commands(self, fake_tmux, Pane):
        fake_tmux.always(code=0)
        pane = Pane("s", 1, 2, "%7", "t", "/x")
        pane.kill()
        pane.select
        pane.resize("left", 0)
        pane.resize("down", 4294967295)
        pane.respawn()
        pane.respawn(command="-c;", kill=True)
        pane.bash_shell()
        pane.bash_shell(respawn=True)
        pane.title = "-#t;"
        tmux = ["tmux", "-S", "/x"]
        assert fake_tmux.calls == [tmux + args for args in [
            ["kill-pane", "-t", "%7"],
            ["select-pane", "-t", "%7"],
            ["resize-pane", "-L", "-t", "%7", "0"],
            ["resize-pane", "-D", "-t", "%7", "4294967295"],
            ["respawn-pane", "-t", "%7"],
            ["respawn-pane", "-t", "%7", "-k", "--", "-c\\;"],
            ["send-keys", "-t", "%7", "exec bash", "Enter"],
            ["respawn-pane", "-k", "-t", "%7", "bash"],
            ["select-pane", "-T", "-##t\\;", "-t", "%7"],
        ]]

    @pytest.mark.parametrize("kwargs, last", [
        ({}, []),
        ({"keep": False}, []),
        ({"horizontal": True}, []),
        ({"command": "top", "keep": False}, ["top"]),
        ({"command": "-x;", "keep": False}, ["--", "-x\\;"]),
        ({"command": "top"}, ["sh -lc 'top\nexec \"$SHELL\"'"]),
        ({"command": "echo it's; ls #x"}, ["sh -lc 'echo it'\\''s; ls #x\nexec \"$SHELL\"'"]),
    ])
    def test_split_vectors(self, fake_tmux, Pane, kwargs, last):
        fake_tmux.respond(stdout="3|%9|new\n")
        new = Pane("s", 1, 0, "%7", "t", None).split(**kwargs)
        flag = "-h" if kwargs.get("horizontal") else "-v"
        assert fake_tmux.calls == [["tmux", "split-window", flag, "-t", "%7", "-P", "-F", LIST] + last]
        assert repr(new) == 'Pane(session_name="s", window_index=1, pane_index=3, pane_id="%9", title="new", socket=None)'

    @pytest.mark.parametrize("stdout, title", [
        ("3|%9|\n", ""), ("3|%9|a|b  \n", "a|b  "), ("  +3|%9| x\n", " x"), ("3|%9|\t\n", "\t"),
    ])
    def test_split_reads_the_title_whole(self, fake_tmux, Pane, stdout, title):
        fake_tmux.respond(stdout=stdout)
        new = Pane("s", 1, 0, "%7", "t", "/x").split()
        assert (new.pane_index, new.pane_id, new.title, new.socket) == (3, "%9", title, "/x")

    @pytest.mark.parametrize("stdout, message", [
        ("3|%9\n", 'unexpected split-window output: "3|%9"'),
        ("", 'unexpected split-window output: ""'),
        ("x|%9|t\n", 'bad pane_index "x": invalid digit found in string'),
        ("|%9|t\n", 'bad pane_index "": cannot parse integer from empty string'),
        ("4294967296|%9|t\n", 'bad pane_index "4294967296": number too large to fit in target type'),
    ])
    def test_split_bad_output(self, fake_tmux, Pane, stdout, message):
        fake_tmux.respond(stdout=stdout)
        with pytest.raises(RuntimeError) as error:
            Pane("s", 1, 0, "%7", "t", None).split()
        assert str(error.value) == message

    @pytest.mark.parametrize("call, prefix", [
        (lambda p: p.kill(), "tmux kill-pane failed: "),
        (lambda p: p.select, "select pane failed: "),
        (lambda p: p.resize("up", 1), "tmux resize-pane failed: "),
        (lambda p: p.split(), "tmux split-window failed: "),
        (lambda p: p.respawn(), "tmux respawn-pane failed: "),
        (lambda p: p.bash_shell(), "tmux change shell failed: "),
        (lambda p: p.bash_shell(respawn=True), "tmux change shell failed: "),
        (lambda p: setattr(p, "title", "x"), "tmux select-pane -T failed: "),
    ])
    def test_failures_raise_with_trimmed_stderr(self, fake_tmux, Pane, call, prefix):
        fake_tmux.respond(stdout="ignored", stderr=" \tno pane\n\n", code=1)
        pane = Pane("s", 0, 0, "%1", "old", None)
        with pytest.raises(RuntimeError) as error:
            call(pane)
        assert str(error.value) == prefix + "no pane"
        assert pane.title == "old"

    @pytest.mark.parametrize("direction", ["Left", " left", "left ", "", "l", "UP"])
    def test_resize_refuses_other_directions(self, fake_tmux, Pane, direction):
        with pytest.raises(RuntimeError, match="^direction must be one of: left, right, up, down$"):
            Pane("s", 0, 0, "%1", "t", None).resize(direction, 1)
        assert fake_tmux.calls == []

    def test_window_panes(self, fake_tmux, Window):
        fake_tmux.respond(stdout="0|%1|a\n 1|%2|b|c  \nx|%3|t\n2|%4\n\n3|%5|\n")
        panes = Window("s", 4, "/x", "n").panes
        assert [(p.session_name, p.window_index, p.pane_index, p.pane_id, p.title, p.socket) for p in panes] == [
            ("s", 4, 0, "%1", "a", "/x"), ("s", 4, 1, "%2", "b|c  ", "/x"), ("s", 4, 3, "%5", "", "/x")]

    def test_window_panes_empty_on_failure(self, fake_tmux, Window):
        fake_tmux.respond(stdout="0|%1|a\n", code=1)
        assert Window("s", 0, None, "n").panes == []

    def test_no_tmux(self, no_tmux, Pane):
        pane = Pane("s", 0, 0, "%1", "t", None)
        for call in [pane.kill, lambda: pane.select, pane.split, lambda: pane.resize("up", 1)]:
            with pytest.raises(RuntimeError, match=r"^failed to run tmux: No such file or directory \(os error 2\)$"):
                call()


@pytest.mark.parametrize("args, text", [
    (("work", 1, 0, "%4", "vim", None),
     'Pane(session_name="work", window_index=1, pane_index=0, pane_id="%4", title="vim", socket=None)'),
    (("w", 0, 4294967295, '%"1', "a\nb", "/tmp/tmux-dev"),
     'Pane(session_name="w", window_index=0, pane_index=4294967295, pane_id="%\\"1", title="a\\nb", '
     'socket=Some("/tmp/tmux-dev"))'),
])
def test_repr(Pane, args, text):
    pane = Pane(*args)
    assert repr(pane) == str(pane) == text
    assert (pane.session_name, pane.window_index, pane.pane_index, pane.pane_id, pane.title, pane.socket) == args
