"""Window, Session.windows and WindowMetadata."""
import pytest

import termloom

LIST = "#{window_index}|#{window_name}"
METADATA = ("#{window_index}|#{window_name}|#{window_active}|#{window_layout}|"
            "#{window_width}|#{window_height}|#{window_flags}")


def windows_of(real_tmux, session="s"):
    out = real_tmux.tmux("list-windows", "-t", "=" + session, "-F", LIST)
    return [tuple(line.split("|", 1)) for line in out.splitlines()]


class TestAgainstRealTmux:
    def test_windows_kill_select_and_rename(self, real_tmux):
        session = real_tmux.server.new_session("s")
        real_tmux.tmux("new-window", "-t", "=s", "-n", "two")
        first, second = session.windows
        assert (first.session_name, first.index, second.index, second.name) == ("s", 0, 1, "two")
        assert first.socket == second.socket == real_tmux.socket
        assert first.select is True
        assert real_tmux.tmux("display-message", "-p", "-t", "=s:", "#{window_index}") == "0\n"
        second.name = "renamed #x"
        assert second.name == "renamed #x"
        assert windows_of(real_tmux)[1] == ("1", "renamed #x")
        assert second.kill() is True
        assert [w.index for w in session.windows] == [0]
        assert second.kill() is False and second.select is False

    def test_rename_of_a_vanished_window(self, real_tmux, Window):
        real_tmux.server.new_session("s")
        gone = Window("s", 5, real_tmux.socket, "old")
        with pytest.raises(ValueError) as error:
            gone.name = "new"
        assert str(error.value) == "failed to rename window to 'new'"
        assert gone.name == "old"

    def test_next_and_previous_move_from_the_current_window(self, real_tmux):
        session = real_tmux.server.new_session("s")
        real_tmux.tmux("new-window", "-t", "=s", "-n", "b|c ")
        real_tmux.tmux("new-window", "-t", "=s", "-n", "d")
        first = session.windows[0]  # window 2 is current
        before = repr(first)
        assert (first.next.index, first.next.index, first.next.index) == (0, 1, 2)
        back = first.previous
        assert (back.index, back.name, back.session_name, back.socket) == (1, "b|c ", "s", real_tmux.socket)
        assert repr(first) == before  # a new handle; this one is unchanged

    def test_next_with_a_single_window_is_none(self, real_tmux):
        window = real_tmux.server.new_session("s").windows[0]
        assert window.next is None and window.previous is None

    def test_names_are_read_whole(self, real_tmux):
        session = real_tmux.server.new_session("s")
        for name in ["a|b", " lead", "trail  ", "|"]:
            real_tmux.tmux("new-window", "-t", "=s", "-n", name)
        assert [w.name for w in session.windows][1:] == ["a|b", " lead", "trail  ", "|"]

    def test_metadata(self, real_tmux):
        real_tmux.tmux("new-session", "-d", "-s", "s", "-x", "90", "-y", "20")
        real_tmux.tmux("new-window", "-t", "=s", "-n", "x|y")
        first, second = real_tmux.server.sessions[0].windows
        meta = second.metadata
        expected = real_tmux.tmux("display-message", "-p", "-t", "=s:1", METADATA).rstrip("\n")
        assert expected.startswith("1|x|y|1|")
        assert (meta.index, meta.name, meta.active, meta.width, meta.height) == (1, "x|y", True, 90, 20)
        assert "|".join([str(meta.index), meta.name, "1", meta.layout, "90", "20", meta.flags]) == expected
        assert first.metadata.active is False
        assert repr(meta) == str(meta) == (
            f'WindowMetadata(index=1, name="x|y", active=true, layout="{meta.layout}", '
            f'width=Some(90), height=Some(20), flags="{meta.flags}")')

    def test_metadata_of_a_missing_window_fails(self, real_tmux, Window):
        """display-message alone would describe window 0 instead."""
        real_tmux.server.new_session("s")
        with pytest.raises(RuntimeError) as error:
            Window("s", 7, real_tmux.socket, "x").metadata
        assert str(error.value) == "tmux failed: can't find window: 7"

    @pytest.mark.parametrize("ghost", ["a", "a*", "a:0"])
    def test_window_targets_match_the_session_exactly(self, real_tmux, Window, ghost):
        real_tmux.server.new_session("ab")
        real_tmux.tmux("rename-window", "-t", "=ab:0", "w")  # no rename after its program meanwhile
        listed = windows_of(real_tmux, "ab")
        window = Window(ghost, 0, real_tmux.socket, "x")
        assert window.kill() is False and window.select is False
        assert window.panes == [] and window.next is None and window.previous is None
        with pytest.raises(ValueError):
            window.name = "y"
        with pytest.raises(RuntimeError, match="^tmux failed: can't find session"):
            window.metadata
        assert windows_of(real_tmux, "ab") == listed
        assert real_tmux.session_names() == ["ab"]

    def test_windows_of_missing_session_or_server(self, real_tmux, Session):
        assert Session("nope", real_tmux.socket).windows == []  # no server
        real_tmux.server.new_session("s")
        assert Session("nope", real_tmux.socket).windows == []


SESSION_LOOKUP = ["list-sessions", "-f", "#{==:#{session_name},s}", "-F", "#{session_id}"]
WINDOW_3 = "#{&&:#{==:#{session_name},s},#{==:#{window_index},3}}"
WINDOW_LOOKUP = SESSION_LOOKUP + [";", "list-windows", "-a", "-f", WINDOW_3, "-F", "#{window_id}"]


class TestArgumentVectors:
    def test_commands(self, fake_tmux, Window):
        fake_tmux.always(stdout="$1\n@6\n")  # every look-up finds the window
        window = Window("s", 3, "/x", "n")
        window.kill()
        window.select
        window.name = "-#n;"
        window.panes
        x = ["tmux", "-S", "/x"]
        assert fake_tmux.calls == [
            x + WINDOW_LOOKUP, x + ["kill-window", "-t", "@6"],
            x + WINDOW_LOOKUP, x + ["select-window", "-t", "@6"],
            x + WINDOW_LOOKUP, x + ["rename-window", "-t", "@6", "--", "-##n\\;"],
            x + ["list-panes", "-t", "=s:3", "-f", WINDOW_3, "-F", "#{pane_index}|#{pane_id}|#{pane_title}"],
        ]

    @pytest.mark.parametrize("name, scope, session_scope", [
        ("s", ["-t", "=s:3"], ["-t", "=s"]), ("$s", ["-a"], ["-a"]), ("-x", ["-t", "=-x:3"], ["-t", "=-x"])])
    def test_listings_look_where_the_filter_can_still_hold(self, fake_tmux, Window, Session, name, scope,
                                                           session_scope):
        """tmux reads "=$..." as an id: such a name is looked for among all."""
        Window(name, 3, None, "n").panes
        Session(name).windows
        window_filter = "#{&&:#{==:#{session_name}," + name + "},#{==:#{window_index},3}}"
        assert fake_tmux.calls == [
            ["tmux", "list-panes", *scope, "-f", window_filter, "-F", "#{pane_index}|#{pane_id}|#{pane_title}"],
            ["tmux", "list-windows", *session_scope, "-f",
             "#{==:#{session_name}," + name + "}", "-F", LIST],
        ]

    @pytest.mark.parametrize("found", ["", "\n", "$1\n", "$1\n\n"])
    def test_a_window_the_look_up_misses_is_not_touched(self, fake_tmux, Window, found):
        fake_tmux.always(stdout=found)
        window = Window("s", 3, None, "n")
        assert (window.kill(), window.select) == (False, False)
        with pytest.raises(ValueError):
            window.name = "x"
        assert fake_tmux.calls == [["tmux"] + WINDOW_LOOKUP] * 3

    def test_next_and_previous(self, fake_tmux, Window):
        fake_tmux.respond(stdout="$1\n").respond(stdout="4|four\n")
        fake_tmux.respond(stdout="$1\n").respond(stdout="2|two\n")
        window = Window("s", 3, None, "n")
        assert repr(window.next) == 'Window(session_name="s", index=4, name="four", socket=None)'
        assert window.previous.index == 2
        query = [";", "display-message", "-p", "-t", "$1:", LIST]
        assert fake_tmux.calls == [
            ["tmux"] + SESSION_LOOKUP, ["tmux", "next-window", "-t", "$1"] + query,
            ["tmux"] + SESSION_LOOKUP, ["tmux", "previous-window", "-t", "$1"] + query,
        ]

    @pytest.mark.parametrize("responses", [
        [dict()],                                    # no such session: nothing moves
        [dict(code=1)],                              # the look-up failed
        [dict(stdout="$1\n"), dict(code=1)],         # the move failed
        [dict(stdout="$1\n"), dict(stdout="x|name\n")],  # index not a number
        [dict(stdout="$1\n"), dict(stdout="4\n")],       # one field
        [dict(stdout="$1\n"), dict(stdout="")],
    ])
    def test_next_is_none_on_failure(self, fake_tmux, Window, responses):
        for response in responses:
            fake_tmux.respond(**response)
        assert Window("s", 0, None, "n").next is None
        assert len(fake_tmux.calls) == len(responses)

    def test_metadata_vector(self, fake_tmux, Window):
        fake_tmux.respond(stdout="$1\n3|bash|1|L|80|24|\n")
        Window("s", 3, None, "n").metadata
        assert fake_tmux.calls == [["tmux"] + SESSION_LOOKUP + [
            ";", "list-windows", "-a", "-f", WINDOW_3, "-F", METADATA]]

    def test_session_windows(self, fake_tmux, Session):
        fake_tmux.respond(stdout="0|a\n  1|b|c  \nx|bad\n2\n3|\n\n4294967296|big\n+5| lead\n")
        windows = Session("s;", "/x").windows
        assert [(w.index, w.name, w.session_name, w.socket) for w in windows] == [
            (0, "a", "s;", "/x"), (1, "b|c  ", "s;", "/x"), (3, "", "s;", "/x"), (5, " lead", "s;", "/x")]
        assert fake_tmux.calls == [["tmux", "-S", "/x", "list-windows", "-t", "=s\\;", "-f",
                                    "#{==:#{session_name},s;}", "-F", LIST]]

    def test_session_windows_empty_on_failure(self, fake_tmux, Session):
        fake_tmux.respond(stdout="0|a\n", code=1)
        assert Session("s").windows == []

    def test_failed_rename_keeps_the_name(self, fake_tmux, Window):
        fake_tmux.respond(stdout="$1\n@2\n").respond(code=1)
        window = Window("s", 0, None, "old")
        with pytest.raises(ValueError, match=r"^failed to rename window to 'a\'b'$"):
            window.name = "a'b"
        assert window.name == "old"

    def test_no_tmux(self, no_tmux, Window):
        window = Window("s", 0, None, "old")
        assert (window.kill(), window.select, window.panes, window.next) == (False, False, [], None)
        with pytest.raises(ValueError):
            window.name = "new"
        with pytest.raises(RuntimeError, match=r"^failed to run tmux: No such file or directory \(os error 2\)$"):
            window.metadata

    @pytest.mark.parametrize("name", ["a:b", "a.b", ":", "."])
    def test_session_names_with_separators_run_nothing(self, fake_tmux, Window, Session, name):
        window = Window(name, 0, None, "n")
        assert (window.kill(), window.select, window.panes, window.next, window.previous) == (
            False, False, [], None, None)
        with pytest.raises(ValueError, match="^failed to rename window to 'x'$"):
            window.name = "x"
        with pytest.raises(RuntimeError) as error:
            window.metadata
        assert str(error.value) == f"tmux failed: can't find session: {name}"
        assert Session(name).windows == []
        assert fake_tmux.calls == []


def metadata_of(fake_tmux, stdout, Window, stderr="", code=0):
    """The metadata of window 1 of "s" when tmux prints `stdout` for it
    (after the session's id)."""
    fake_tmux.respond(stdout="$0\n" + stdout, stderr=stderr, code=code)
    return Window("s", 1, None, "n").metadata


@pytest.mark.parametrize("stdout, expected", [
    ("1|bash|1|L|80|24|\n",
     'WindowMetadata(index=1, name="bash", active=true, layout="L", width=Some(80), height=Some(24), flags="")'),
    ("  +3| na me |0|c0,80x24|||*Z  \n",
     'WindowMetadata(index=3, name=" na me ", active=false, layout="c0,80x24", width=None, height=None, flags="*Z")'),
    ("0|x|| 1| 80 |\t|-\n",
     'WindowMetadata(index=0, name="x", active=false, layout=" 1", width=Some(80), height=None, flags="-")'),
    ("0|a|b||1|true|L|1|2|\n",
     'WindowMetadata(index=0, name="a|b||1", active=false, layout="L", width=Some(1), height=Some(2), flags="")'),
    ("0|x| 1|L|4294967295|0|F\n",
     'WindowMetadata(index=0, name="x", active=false, layout="L", width=Some(4294967295), height=Some(0), flags="F")'),
])
def test_metadata_parsing(fake_tmux, Window, stdout, expected):
    meta = metadata_of(fake_tmux, stdout, Window)
    assert repr(meta) == str(meta) == expected


@pytest.mark.parametrize("stdout, message", [
    ("1|bash|1|L|80|24\n", 'unexpected tmux window metadata output: "1|bash|1|L|80|24"'),
    ("  \n", 'unexpected tmux window metadata output: ""'),
    ("|x|1|L|80|24|\n", 'bad window_index "": cannot parse integer from empty string'),
    ("-1|x|1|L|80|24|\n", 'bad window_index "-1": invalid digit found in string'),
    ("4294967296|x|1|L|80|24|\n", 'bad window_index "4294967296": number too large to fit in target type'),
    ("1|x|1|L|8x|24|\n", 'bad window_width "8x": invalid digit found in string'),
    ("1|x|1|L| 8x |y|\n", 'bad window_width " 8x ": invalid digit found in string'),
    ("1|x|1|L|80|+|\n", 'bad window_height "+": invalid digit found in string'),
    ("x|x|1|L|y|z|\n", 'bad window_index "x": invalid digit found in string'),
])
def test_metadata_failures(fake_tmux, Window, stdout, message):
    with pytest.raises(RuntimeError) as error:
        metadata_of(fake_tmux, stdout, Window)
    assert str(error.value) == message


@pytest.mark.parametrize("stdout, message", [
    ("", "tmux failed: can't find session: s"),     # not even the session's id
    ("$0\n", "tmux failed: can't find window: 1"),  # the session's id only
    ("$0", "tmux failed: can't find window: 1"),
])
def test_metadata_of_a_missing_object(fake_tmux, Window, stdout, message):
    fake_tmux.respond(stdout=stdout)
    with pytest.raises(RuntimeError) as error:
        Window("s", 1, None, "n").metadata
    assert str(error.value) == message


def test_metadata_tmux_failure_is_trimmed(fake_tmux, Window):
    with pytest.raises(RuntimeError) as error:
        metadata_of(fake_tmux, "", Window, stderr="  can't find window: 1\n", code=1)
    assert str(error.value) == "tmux failed: can't find window: 1"


@pytest.mark.parametrize("args, text", [
    (("s", 0, None, "x"), 'Window(session_name="s", index=0, name="x", socket=None)'),
    (('a"b\\', 4294967295, "/t", "\t"),
     'Window(session_name="a\\"b\\\\", index=4294967295, name="\\t", socket=Some("/t"))'),
])
def test_repr(Window, args, text):
    window = Window(*args)
    assert repr(window) == str(window) == text
