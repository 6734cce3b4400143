"""What termloom does differently on the tmux releases users run (3.1c on).

The scripted tmux reports a release. Before 3.2 the list commands take no
-f filter, so the filter moves into the format, which prints an empty line
for every other object.
"""
import os
import sys
import threading

import pytest

import termloom
from conftest import PANE_METADATA_LINE, interrupt_child
from test_last_command import END
from test_pane_metadata import FORMAT as PANE_FORMAT
from test_window import LIST, METADATA

SESSION_S = "#{==:#{session_name},s}"
WINDOW_3 = "#{&&:" + SESSION_S + ",#{==:#{window_index},3}}"
ESCAPED_NAME = "#{s/\\\\/\\\\\\\\/;s/\t/\\\\t/;s/\n/\\\\n/;s/\r/\\\\r/:session_name}"


def only(condition, format):
    return "#{?" + condition + "," + format + ",}"


SESSION_LOOKUP = ["list-sessions", "-F", only(SESSION_S, "#{session_id}")]
WINDOW_LOOKUP = SESSION_LOOKUP + [";", "list-windows", "-a", "-F", only(WINDOW_3, "#{window_id}")]


@pytest.fixture
def tmux_31c(fake_tmux):
    return fake_tmux.version("tmux 3.1c")


class TestBefore32:
    def test_look_ups(self, tmux_31c, Window):
        tmux_31c.respond(stdout="\n$1\n\n")  # has_session: other sessions print empty lines
        tmux_31c.always(stdout="\n$1\n\n@6\n\n")
        assert termloom.Server("/x").has_session("s") is True
        window = Window("s", 3, "/x", "n")
        assert window.kill() is True
        x = ["tmux", "-S", "/x"]
        assert tmux_31c.calls == [x + SESSION_LOOKUP, x + WINDOW_LOOKUP, x + ["kill-window", "-t", "@6"]]

    @pytest.mark.parametrize("printed, session, window", [
        ("", False, False), ("\n\n", False, False), ("\n$1\n\n", True, False), ("$1\n\n\n@6\n", True, True)])
    def test_empty_lines_are_other_objects(self, tmux_31c, Window, printed, session, window):
        tmux_31c.always(stdout=printed)
        assert termloom.Server().has_session("s") is session
        assert Window("s", 3, None, "n").select is window
        if not window:
            with pytest.raises(RuntimeError, match="^tmux failed: can't find " + ("window: 3" if session else "session: s")):
                Window("s", 3, None, "n").metadata

    def test_listings(self, tmux_31c, Window, Session):
        tmux_31c.respond(stdout="\n3|a|b\n\n")  # Session.windows
        tmux_31c.respond(stdout="\n\n0|%1|t|x\n")  # Window.panes
        tmux_31c.respond(stdout="\n" + PANE_METADATA_LINE + "\n")  # Window.pane_metadata
        tmux_31c.respond(stdout="\n" + PANE_METADATA_LINE)  # Session.pane_metadata
        windows = Session("s").windows
        panes = Window("s", 3, None, "n").panes
        assert [(w.index, w.name) for w in windows] == [(3, "a|b")]
        assert [(p.pane_index, p.pane_id, p.title) for p in panes] == [(0, "%1", "t|x")]
        assert len(Window("s", 3, None, "n").pane_metadata()) == 1
        assert len(Session("s").pane_metadata()) == 1
        assert tmux_31c.calls == [
            ["tmux", "list-windows", "-t", "=s", "-F", only(SESSION_S, LIST)],
            ["tmux", "list-panes", "-t", "=s:3", "-F", only(WINDOW_3, "#{pane_index}|#{pane_id}|#{pane_title}")],
            ["tmux", "list-panes", "-t", "=s:3", "-F", only(WINDOW_3, PANE_FORMAT)],
            ["tmux", "list-panes", "-s", "-t", "=s", "-F", only(SESSION_S, PANE_FORMAT)],
        ]

    def test_window_metadata(self, tmux_31c, Window):
        tmux_31c.respond(stdout="\n$1\n\n\n3|w|1|b25f,80x24,0,0,1|80|24|*\n\n")
        metadata = Window("s", 3, None, "n").metadata
        assert (metadata.index, metadata.name, metadata.width, metadata.flags) == (3, "w", 80, "*")
        assert tmux_31c.calls == [["tmux"] + SESSION_LOOKUP + [
            ";", "list-windows", "-a", "-F", only(WINDOW_3, METADATA)]]

    @pytest.mark.parametrize("printed, stored", [
        ("\n" + "back\\\\slash\\ttab\\n" + "\n\n", "back\\slash\ttab\n"),
        ("\n\n", "new"),  # gone right after the rename: the name given
    ])
    def test_rename_reads_back_the_escaped_name(self, tmux_31c, Session, printed, stored):
        tmux_31c.respond(stdout="$2\n")
        tmux_31c.respond(stdout=printed)
        session = Session("s")
        session.name = "new"
        assert session.name == stored
        assert tmux_31c.calls[-1] == ["tmux", "rename-session", "-t", "$2", "new", ";", "list-sessions", "-F",
                                      only("#{==:#{session_id},$2}", ESCAPED_NAME)]

    @pytest.mark.parametrize("version, answer", [("tmux 3.1c", 'echo "a\nb"'), ("tmux 3.3a", 'echo "a  \nb"')])
    def test_joined_captures_lose_their_padding(self, fake_tmux, Pane, version, answer):
        """Before 3.2 capture-pane -J pads each line with spaces."""
        fake_tmux.version(version)
        fake_tmux.respond(stdout="$   \n")
        fake_tmux.respond(stdout='__TERMLOOM__echo "a  \nb"' + END + "   \n$   \n")
        assert Pane("s", 0, 0, "%5", "", None).last_command.read() == answer

    def test_default_server_kill_asks_its_path_first(self, tmux_31c, isolated_env):
        tmux_31c.respond(stdout=os.path.join(isolated_env, "gone") + "\n")
        assert termloom.Server().kill() is True
        assert tmux_31c.calls == [["tmux", "display-message", "-p", "#{socket_path}"], ["tmux", "kill-server"]]

    def test_a_silent_new_session_failure_is_named(self, tmux_31c, isolated_env):
        path = os.path.join(isolated_env, "missing", "s")
        with pytest.raises(RuntimeError) as error:
            termloom.Server(path).new_session("z")
        assert str(error.value) == f"new session failed: error creating {path}: " \
                                   "tmux 3.1c exited with 0 but made no session"


@pytest.mark.parametrize("version, filters", [
    ("tmux 3.1c", False), ("tmux 3.0a", False), ("tmux 2.9", False), ("tmux 3.2", True), ("tmux 3.2a", True),
    ("tmux 3.5a", True), ("tmux 10.0", True), ("tmux next-3.6", True), ("tmux master", True),
    ("tmux openbsd-7.5", True), ("", True)])
def test_the_release_picks_the_listing(fake_tmux, version, filters):
    fake_tmux.version(version)
    termloom.Server().has_session("s")
    listing = ["-f", SESSION_S, "-F", "#{session_id}"] if filters else SESSION_LOOKUP[1:]
    assert fake_tmux.calls == [["tmux", "list-sessions", *listing]]


class TestReleaseIsAskedOnce:
    def test_per_program(self, fake_bin, monkeypatch):
        first = fake_bin.program("tmux")
        for _ in range(3):
            termloom.Server().has_session("s")
        assert first.versions_asked == 1 and len(first.calls) == 3
        # Another tmux first on PATH is another program: asked too.
        other = os.path.join(fake_bin.path, "other")
        os.makedirs(other)
        monkeypatch.setenv("PATH", other + os.pathsep + os.environ["PATH"])
        second = type(first)(other, "tmux").version("tmux 3.1c")
        termloom.Server().has_session("s")
        assert second.versions_asked == 1 and second.calls == [["tmux"] + SESSION_LOOKUP]
        # The same file, replaced: asked again.
        first.version("tmux 3.1c")
        monkeypatch.setenv("PATH", fake_bin.path)
        termloom.Server().has_session("s")
        assert first.versions_asked == 2 and first.calls[-1] == ["tmux"] + SESSION_LOOKUP

    def test_by_threads_at_once(self, tmux_31c):
        tmux_31c.always(stdout="\n$1\n")
        results = []
        threads = [threading.Thread(target=lambda: results.append(termloom.Server().has_session("s")))
                   for _ in range(8)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert results == [True] * 8
        assert all(call == ["tmux"] + SESSION_LOOKUP for call in tmux_31c.calls) and len(tmux_31c.calls) == 8
        assert 1 <= tmux_31c.versions_asked <= 8

    def test_in_a_forked_child(self, tmux_31c):
        tmux_31c.always(stdout="$1\n")
        assert termloom.Server().has_session("s") is True
        pid = os.fork()
        if pid == 0:
            os._exit(0 if termloom.Server().has_session("s") is True else 1)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        assert tmux_31c.versions_asked == 1 and tmux_31c.calls == [["tmux"] + SESSION_LOOKUP] * 2


# A tmux that never answers -V; its process id is written where the test sees it.
HANGING_TMUX = "#!/bin/sh\necho $$ > \"$0.pid\"\nexec sleep 30\n"
ASKING = """
import os, termloom
print("ready", flush=True)
try:
    termloom.Server().has_session("s")
    print("answered", flush=True)
except KeyboardInterrupt:
    try:
        os.waitpid(-1, os.WNOHANG)
        left = "a child left"
    except ChildProcessError:
        left = "no child left"
    print("interrupted,", left, flush=True)
"""


def test_ctrl_c_ends_a_hanging_version_query(fake_bin):
    hanging = os.path.join(fake_bin.path, "tmux")
    with open(hanging, "w") as f:
        f.write(HANGING_TMUX)
    os.chmod(hanging, 0o755)
    report, took = interrupt_child([sys.executable, "-c", ASKING], lambda: os.path.exists(hanging + ".pid"))
    assert report == "interrupted, no child left\n" and took < 5
    with open(hanging + ".pid") as f:
        pid = int(f.read())
    with pytest.raises(ProcessLookupError):
        os.kill(pid, 0)
