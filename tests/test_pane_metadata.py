"""PaneMetadata from Pane.metadata() and the pane_metadata() listings."""
import os
import shlex
import shutil
import subprocess

import pytest

from conftest import PANE_METADATA_LINE, real_tmux_before, wait_for, wait_for_prompt

# The tmux variable behind each field, in the order of the listing line.
VARIABLES = {
    "session_name": "session_name", "window_index": "window_index", "window_name": "window_name",
    "pane_index": "pane_index", "pane_id": "pane_id", "title": "pane_title", "active": "pane_active",
    "width": "pane_width", "height": "pane_height", "cursor_x": "cursor_x", "cursor_y": "cursor_y",
    "pid": "pane_pid", "current_command": "pane_current_command", "current_path": "pane_current_path",
    "dead": "pane_dead", "dead_status": "pane_dead_status", "in_mode": "pane_in_mode",
    "history_size": "history_size", "tty": "pane_tty", "session_id": "session_id", "window_id": "window_id",
}
FREE_TEXT = {"session_name", "window_name", "pane_title", "pane_current_command", "pane_current_path"}
ESCAPED = "#{s/\\\\/\\\\\\\\/;s/\t/\\\\t/;s/\n/\\\\n/;s/\r/\\\\r/:%s}"
FORMAT = "\t".join(ESCAPED % v if v in FREE_TEXT else "#{%s}" % v for v in VARIABLES.values())

# Text that a listing could mistake for its own structure or escapes.
AWKWARD = {
    "pipe": "a|b", "tab": "a\tb", "backslash": "back\\slash", "escapes": "\\t\\n\\\\r\\",
    "quote": 'quo"te', "line feed": "line\nfeed", "carriage return": "cr\rx", "non-ascii": "é中🙂",
    "edges": " edges ", "format": "#{pane_id}",
}


def displayed(real_tmux, pane_id, variable):
    """What tmux prints for one variable of the pane, without the line end."""
    out = subprocess.run(["tmux", "-S", real_tmux.socket, "display-message", "-p", "-t", pane_id,
                          "#{%s}" % variable], capture_output=True, check=True).stdout.decode()
    return out[:-1] if out.endswith("\n") else out  # bytes: a carriage return stays one


def as_tmux_prints(value):
    if value is None:
        return ""
    if isinstance(value, bool):
        return "1" if value else "0"
    return str(value)


def same_pane_everywhere(server, session, window, pane):
    """The pane's record from each of the four readers, as repr texts."""
    listings = [window.pane_metadata(), session.pane_metadata(), server.pane_metadata()]
    found = [[r for r in listing if r.pane_id == pane.pane_id] for listing in listings]
    assert all(len(f) == 1 for f in found)
    return {repr(pane.metadata()), *(repr(f[0]) for f in found)}


class TestAgainstRealTmux:
    @pytest.mark.parametrize("text", AWKWARD.values(), ids=AWKWARD.keys())
    def test_free_text_reads_back_whole(self, real_tmux, text):
        session = real_tmux.server.new_session("s" + text)
        folder = os.path.join(real_tmux.folder, "d" + text)
        os.mkdir(folder)
        window = session.new_window(name=text, command="exec cat", directory=folder)
        pane = window.panes[0]
        if text.isprintable():
            pane.title = text
        else:
            with pytest.raises(ValueError):  # tmux would keep the old title
                pane.title = text
        # Until cat runs, the pane's command is the shell that starts it: every reader below
        # must see the same record.
        record = wait_for(lambda: next((r for r in window.pane_metadata()
                                        if r.current_path and r.current_command == "cat"), None))
        # From 3.5, #{window_name} prints a carriage return as "\r" (so does new-window -P, which
        # names the handle); the name kept, which the metadata reads escaped, holds the character.
        printed_otherwise = "\r" in text and not real_tmux_before(3, 5)
        assert (record.window_name, record.current_path) == (text if printed_otherwise else window.name, folder)
        assert window.name == displayed(real_tmux, pane.pane_id, "window_name")
        assert record.session_name == session.name
        # What tmux keeps comes back.
        assert record.title == displayed(real_tmux, pane.pane_id, "pane_title")
        if text.isprintable():
            assert (record.title, window.name) == (text, text)
        assert len(same_pane_everywhere(real_tmux.server, session, window, pane)) == 1

    @pytest.mark.parametrize("name", ["s|l\\e\tp", "a\nb", "é \\n"])
    def test_command_names_read_back_whole(self, real_tmux, name):
        program = os.path.join(real_tmux.folder, name)
        shutil.copy("/bin/sleep", program)
        session = real_tmux.server.new_session("s")
        window = session.new_window(command=f"exec {shlex.quote(program)} 60")
        pane = window.panes[0]
        # tmux shortens some names in its own way; whatever it keeps comes back.
        # Until the program runs, tmux shows what starts it (its own forked
        # child, then the shell): wait until the pane's process is the program.
        pid = int(displayed(real_tmux, pane.pane_id, "pane_pid"))

        def started():
            try:
                return os.readlink(f"/proc/{pid}/exe") == program
            except OSError:
                return False

        wait_for(started)
        assert pane.metadata().current_command == displayed(real_tmux, pane.pane_id, "pane_current_command")

    def test_every_field_is_what_tmux_reports(self, bash_pane, real_tmux):
        # A name given by hand: tmux would rename the window after its active pane's program
        # a moment after the split, between the record and tmux's own answer.
        real_tmux.tmux("rename-window", "-t", bash_pane.pane_id, "w")
        real_tmux.tmux("split-window", "-t", bash_pane.pane_id, "-h", "cat")
        bash_pane.send_keys("seq 1 60; printf 'xyz'", enter=True)
        # The whole prompt after xyz: nothing moves any more.
        wait_for_prompt(bash_pane, prefix="xyz")
        record = bash_pane.metadata()
        for field, variable in VARIABLES.items():
            assert as_tmux_prints(getattr(record, field)) == displayed(real_tmux, bash_pane.pane_id,
                                                                         variable), field
        assert (record.active, record.dead, record.in_mode) == (False, False, False)
        assert record.cursor_x > 0 and record.pid > 0 and record.tty.startswith("/dev/")

    def test_dead_and_in_mode(self, real_tmux):
        session = real_tmux.server.new_session("s")
        real_tmux.server.set_option("remain-on-exit", "on")
        dying = session.new_window(command="sh -c 'sleep 0.3; exit 3'").panes[0]
        wait_for(lambda: dying.metadata().dead)
        # Now and then tmux marks a pane dead and never learns its status.
        try:
            wait_for(lambda: dying.metadata().dead_status is not None, timeout=3)
        except AssertionError:
            pass
        record = dying.metadata()
        assert as_tmux_prints(record.dead_status) == displayed(real_tmux, dying.pane_id, "pane_dead_status")
        assert record.dead_status in (3, None)
        alive = session.windows[0].panes[0]
        assert (alive.metadata().dead, alive.metadata().dead_status) == (False, None)
        real_tmux.tmux("copy-mode", "-t", alive.pane_id)
        assert alive.metadata().in_mode is True

    def test_listings_cover_their_scope_exactly(self, real_tmux):
        ab = real_tmux.server.new_session("ab")
        ab.new_window()
        a = real_tmux.server.new_session("a")
        windows = ab.windows
        windows[1].panes[0].split()
        assert [(r.window_index, r.pane_index) for r in ab.pane_metadata()] == [(0, 0), (1, 0), (1, 1)]
        assert {r.session_name for r in ab.pane_metadata()} == {"ab"}
        assert [r.pane_index for r in windows[1].pane_metadata()] == [0, 1]
        assert [r.session_name for r in a.pane_metadata()] == ["a"]
        assert sorted(r.session_name for r in real_tmux.server.pane_metadata()) == ["a", "ab", "ab", "ab"]

    def test_pane_handle_addresses_the_pane(self, real_tmux):
        session = real_tmux.server.new_session("s")
        record = session.pane_metadata()[0]
        pane = record.pane
        assert (pane.session_name, pane.window_index, pane.pane_index, pane.pane_id, pane.title,
                pane.socket) == (record.session_name, record.window_index, record.pane_index,
                                 record.pane_id, record.title, real_tmux.socket)
        assert pane.metadata().pane_id == record.pane_id
        assert record.pane is not pane  # a new handle on each read

    def test_missing_objects(self, real_tmux, Session, Window):
        session = real_tmux.server.new_session("s")
        pane = session.new_window().panes[0]
        assert pane.kill() is True
        with pytest.raises(RuntimeError) as error:
            pane.metadata()
        assert str(error.value) == f"tmux failed: can't find pane: {pane.pane_id}"
        assert Window("s", 1, real_tmux.socket, "x").pane_metadata() == []
        assert Session("nope", real_tmux.socket).pane_metadata() == []
        real_tmux.tmux("kill-server")
        assert real_tmux.server.pane_metadata() == [] and session.pane_metadata() == []


SESSION_S = "#{==:#{session_name},s}"
WINDOW_2 = "#{&&:#{==:#{session_name},s},#{==:#{window_index},2}}"


class TestArgumentVectors:
    def test_commands(self, fake_tmux, Session, Window, Pane):
        fake_tmux.always(stdout=PANE_METADATA_LINE)
        Pane("s", 0, 1, "%7", "t", "/x").metadata()
        Window("s", 2, "/x", "n").pane_metadata()
        Session("s", "/x").pane_metadata()
        Session("s").pane_metadata()[0].pane.session_name  # the record's pane runs nothing
        assert fake_tmux.calls == [
            ["tmux", "-S", "/x", "has-session", "-t", "%7", ";", "display-message", "-p", "-t", "%7", FORMAT],
            ["tmux", "-S", "/x", "list-panes", "-t", "=s:2", "-f", WINDOW_2, "-F", FORMAT],
            ["tmux", "-S", "/x", "list-panes", "-s", "-t", "=s", "-f", SESSION_S, "-F", FORMAT],
            ["tmux", "list-panes", "-s", "-t", "=s", "-f", SESSION_S, "-F", FORMAT],
        ]

    def test_a_name_read_as_an_id_is_looked_for_among_all(self, fake_tmux, Session, Window):
        fake_tmux.always(stdout="")
        assert Session("$1").pane_metadata() == [] and Window("$1", 2, None, "n").pane_metadata() == []
        assert [call[1:4] for call in fake_tmux.calls] == [["list-panes", "-a", "-f"]] * 2

    def test_server_listing_and_unaddressable_names(self, fake_tmux, Session, Window):
        import termloom
        fake_tmux.always(stdout=PANE_METADATA_LINE)
        assert len(termloom.Server("/x").pane_metadata()) == 1
        assert Session("a:b").pane_metadata() == [] and Window("a.b", 0, None, "n").pane_metadata() == []
        assert fake_tmux.calls == [["tmux", "-S", "/x", "list-panes", "-a", "-F", FORMAT]]


def line(**changes):
    """The scripted listing line with some fields replaced."""
    fields = dict(zip(VARIABLES, PANE_METADATA_LINE.rstrip("\n").split("\t")))
    fields.update(changes)
    return "\t".join(fields.values()) + "\n"


class TestParsing:
    @pytest.mark.parametrize("stdout, expected", [
        (PANE_METADATA_LINE,
         'PaneMetadata(session_name="work", window_index=0, window_name="name", pane_index=0, pane_id="%0", '
         'title="title", active=true, width=80, height=24, cursor_x=0, cursor_y=0, pid=Some(123), '
         'current_command="bash", current_path="/tmp", dead=false, dead_status=None, in_mode=false, '
         'history_size=0, tty="/dev/pts/1", session_id="$0", window_id="@0")'),
        (line(title="a\\\\tb\\tc\\nd\\re\\\\", pid="", active="01", dead="1", dead_status="2", in_mode="1"),
         'PaneMetadata(session_name="work", window_index=0, window_name="name", pane_index=0, pane_id="%0", '
         'title="a\\\\tb\\tc\\nd\\re\\\\", active=false, width=80, height=24, cursor_x=0, cursor_y=0, pid=None, '
         'current_command="bash", current_path="/tmp", dead=true, dead_status=Some(2), in_mode=true, '
         'history_size=0, tty="/dev/pts/1", session_id="$0", window_id="@0")'),
        (line(dead="0", dead_status="7", current_path="|é|"),
         'PaneMetadata(session_name="work", window_index=0, window_name="name", pane_index=0, pane_id="%0", '
         'title="title", active=true, width=80, height=24, cursor_x=0, cursor_y=0, pid=Some(123), '
         'current_command="bash", current_path="|é|", dead=false, dead_status=None, in_mode=false, '
         'history_size=0, tty="/dev/pts/1", session_id="$0", window_id="@0")'),
    ], ids=["plain", "escapes and flags", "status of a live pane"])
    def test_records(self, fake_tmux, Pane, stdout, expected):
        fake_tmux.always(stdout=stdout)
        record = Pane("s", 0, 0, "%0", "t", None).metadata()
        assert repr(record) == str(record) == expected

    @pytest.mark.parametrize("stdout, message", [
        ("", 'unexpected tmux pane metadata output: ""'),
        (PANE_METADATA_LINE.replace("\tname\t", "\tna\tme\t"), "unexpected tmux pane metadata output: "),
        (line(window_index="x"), 'bad window_index "x": invalid digit found in string'),
        (line(width=""), 'bad pane_width "": cannot parse integer from empty string'),
        (line(pid="-1"), 'bad pane_pid "-1": invalid digit found in string'),
        (line(history_size="4294967296"), 'bad history_size "4294967296": number too large to fit in target type'),
        (line(title="a\\x"), 'bad pane_title "a\\\\x": unknown escape'),
        (line(current_path="a\\"), 'bad pane_current_path "a\\\\": unknown escape'),
    ])
    def test_unusable_output(self, fake_tmux, Pane, Window, stdout, message):
        fake_tmux.always(stdout=stdout)
        with pytest.raises(RuntimeError) as error:
            Pane("s", 0, 0, "%0", "t", None).metadata()
        assert str(error.value).startswith(message)
        # A listing fails too, whatever other lines it holds: a list short of
        # a pane would describe another window.
        fake_tmux.always(stdout=stdout.removesuffix("\n") + "\n" + PANE_METADATA_LINE)
        with pytest.raises(RuntimeError) as error:
            Window("s", 0, None, "n").pane_metadata()
        assert str(error.value).startswith(message)

    def test_failure_messages(self, no_tmux, Pane, Window):
        with pytest.raises(RuntimeError, match="^failed to run tmux: "):
            Pane("s", 0, 0, "%0", "t", None).metadata()
        assert Window("s", 0, None, "n").pane_metadata() == []
