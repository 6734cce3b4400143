"""Server.target_pane and Server.target_window."""
import pytest

import termloom

PANE = "#{session_name}\t#{window_index}\t#{pane_index}\t#{pane_id}\t#{pane_title}"
WINDOW = "#{session_name}\t#{window_index}\t#{window_name}"


class TestAgainstRealTmux:
    def test_resolves_panes_and_windows(self, real_tmux):
        server = real_tmux.server
        first = server.new_session("mysess").windows[0].panes[0]
        second = first.split()
        second.title = " a|b "
        pane = server.target_pane("mysess:0.1")
        assert (pane.session_name, pane.window_index, pane.pane_index) == ("mysess", 0, 1)
        assert (pane.pane_id, pane.title, pane.socket) == (second.pane_id, " a|b ", real_tmux.socket)
        assert server.target_pane(second.pane_id).pane_index == 1
        real_tmux.tmux("rename-window", "-t", "=mysess:0", "w")  # not renamed after its program meanwhile
        window = server.target_window("mysess:0")
        assert (window.session_name, window.index, window.socket) == ("mysess", 0, real_tmux.socket)
        assert window.name == real_tmux.tmux("display-message", "-p", "-t", "=mysess:0", "#{window_name}")[:-1]
        assert pane.split().session_name == "mysess"  # the handle addresses the same server

    @pytest.mark.parametrize("call, message", [
        (lambda s: s.target_pane("mysess:0.7"), "pane target not found: can't find pane: 7\n"),
        (lambda s: s.target_pane("%99"), "pane target not found: can't find pane: %99\n"),
        (lambda s: s.target_pane("nosuch:0.0"), "pane target not found: can't find session: nosuch\n"),
        (lambda s: s.target_window("mysess:7"), "window target not found: can't find window: 7\n"),
    ])
    def test_missing_targets_fail(self, real_tmux, call, message):
        """display-message alone would describe pane 0, window 0, or nothing."""
        real_tmux.server.new_session("mysess")
        with pytest.raises(RuntimeError) as error:
            call(real_tmux.server)
        assert str(error.value) == message

    def test_session_names_with_odd_characters(self, real_tmux):
        real_tmux.server.new_session(" lead")
        real_tmux.server.new_session("a|b")
        assert real_tmux.server.target_pane("= lead:0.0").session_name == " lead"
        assert real_tmux.server.target_window("=a|b:0").session_name == "a|b"


class TestFakeTmux:
    def test_vectors(self, fake_tmux):
        fake_tmux.always(stdout="s\t1\t2\t%3\tt\n")
        server = termloom.Server("/x")
        server.target_pane("-s:1;")
        server.target_window("s:1")
        assert fake_tmux.calls == [
            ["tmux", "-S", "/x", "has-session", "-t", "-s:1\\;", ";",
             "display-message", "-p", "-t", "-s:1\\;", PANE],
            ["tmux", "-S", "/x", "has-session", "-t", "s:1", ";", "display-message", "-p", "-t", "s:1", WINDOW],
        ]

    @pytest.mark.parametrize("stdout, fields", [
        ("s\t1\t2\t%3\ttitle\n", ("s", 1, 2, "%3", "title")),
        ("s\t1\t2\t%3\n", ("s", 1, 2, "%3", "")),
        ("s\t1\t2\t%3\t\n", ("s", 1, 2, "%3", "")),
        ("s\t+01\t2\t%3\ta\tb  \n", ("s", 1, 2, "%3", "a\tb  ")),
        (" s \t1\t2\t%3\t x", (" s ", 1, 2, "%3", " x")),
    ])
    def test_target_pane_fields(self, fake_tmux, stdout, fields):
        fake_tmux.respond(stdout=stdout)
        pane = termloom.Server().target_pane("t")
        assert (pane.session_name, pane.window_index, pane.pane_index, pane.pane_id, pane.title) == fields
        assert pane.socket is None

    @pytest.mark.parametrize("stdout, message", [
        ("", "missing session_name from tmux output"),
        ("\n", "missing session_name from tmux output"),
        ("\t1\t2\t%3\tt\n", "missing session_name from tmux output"),
        ("s\n", "missing window_index from tmux output"),
        ("s\tx\t2\t%3\n", "invalid window_index: invalid digit found in string"),
        ("s\t\t2\t%3\n", "invalid window_index: cannot parse integer from empty string"),
        ("s\t 1\t2\t%3\n", "invalid window_index: invalid digit found in string"),
        ("s\t1\n", "missing pane_index from tmux output"),
        ("s\t1\t4294967296\t%3\n", "invalid pane_index: number too large to fit in target type"),
        ("s\t1\t2\n", "missing pane_id from tmux output"),
        ("s\t1\t2\t\tt\n", "missing pane_id from tmux output"),
    ])
    def test_target_pane_bad_output(self, fake_tmux, stdout, message):
        fake_tmux.respond(stdout=stdout)
        with pytest.raises(RuntimeError) as error:
            termloom.Server().target_pane("t")
        assert str(error.value) == message

    @pytest.mark.parametrize("stdout, fields", [
        ("s\t1\tname\n", ("s", 1, "name")),
        ("s\t1\n", ("s", 1, "")),
        ("s\t1\ta\tb \n", ("s", 1, "a\tb ")),
    ])
    def test_target_window_fields(self, fake_tmux, stdout, fields):
        fake_tmux.respond(stdout=stdout)
        window = termloom.Server("/x").target_window("t")
        assert (window.session_name, window.index, window.name, window.socket) == fields + ("/x",)

    @pytest.mark.parametrize("stdout, message", [
        ("", "missing session_name from tmux output"),
        ("s\n", "missing window_index from tmux output"),
        ("s\t-1\tn\n", "invalid window_index: invalid digit found in string"),
    ])
    def test_target_window_bad_output(self, fake_tmux, stdout, message):
        fake_tmux.respond(stdout=stdout)
        with pytest.raises(RuntimeError) as error:
            termloom.Server().target_window("t")
        assert str(error.value) == message

    @pytest.mark.parametrize("method, prefix", [("target_pane", "pane"), ("target_window", "window")])
    def test_tmux_failure_keeps_stderr_whole(self, fake_tmux, method, prefix):
        fake_tmux.respond(stdout="s\t1\t2\t%3\n", stderr=" no such thing \n", code=1)
        with pytest.raises(RuntimeError) as error:
            getattr(termloom.Server(), method)("t")
        assert str(error.value) == f"{prefix} target not found:  no such thing \n"

    @pytest.mark.parametrize("method", ["target_pane", "target_window"])
    def test_no_tmux(self, no_tmux, method):
        with pytest.raises(RuntimeError, match=r"^Failed to run tmux: No such file or directory \(os error 2\)$"):
            getattr(termloom.Server(), method)("t")
