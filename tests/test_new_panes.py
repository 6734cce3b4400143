"""What new_session, new_window and split give a new pane: its size, start
directory, command, environment and history-limit."""
import collections
import os
import sys
import types

import pytest

import termloom
from conftest import BASH, interrupt_child, real_tmux_before, wait_for

LIST = "#{window_index}|#{window_name}"
PANE_LIST = "#{pane_index}|#{pane_id}|#{pane_title}"
NEEDS_NEW_SESSION_E = pytest.mark.skipif(real_tmux_before(3, 2), reason="new-session -e is tmux 3.2's")

# Values as callers write them: tmux syntax and shell syntax stay text.
ODD_VALUES = {"TL_SEMI": "x y;", "TL_ESCAPED": "a\\;", "TL_FORMAT": "#{session_name}", "TL_DASH": "-e",
              "TL_EMPTY": "", "TL_LINES": "one\ntwo", "TL_QUOTES": "it's \"$HOME\" `x`", "TL_WIDE": "é 表"}


def pane_format(real_tmux, pane_id, fmt):
    return real_tmux.tmux("display-message", "-p", "-t", pane_id, fmt).removesuffix("\n")


def global_history_limit(real_tmux):
    return real_tmux.tmux("show-options", "-gv", "history-limit").strip()


def local_history_limit(real_tmux, session):
    """The session's own value, "" when it takes the global one."""
    return real_tmux.tmux("show-options", "-t", f"={session}:", "history-limit").strip()


def environment_of(folder, name):
    """The environment a pane's program started with, as its command wrote
    it (see recording_environment)."""
    path = os.path.join(folder, name)
    wait_for(lambda: os.path.exists(path))
    with open(path, "rb") as f:
        entries = f.read().split(b"\0")
    return dict(e.decode().split("=", 1) for e in entries if e)


def recording_environment(folder, name):
    """A command that writes its shell's environment to a file, whole, then stays."""
    path = os.path.join(folder, name)
    return f"cat /proc/$$/environ > {path}.part && mv {path}.part {path}; exec cat"


def current_path(real_tmux, pane_id):
    return wait_for(lambda: pane_format(real_tmux, pane_id, "#{pane_current_path}"))


class TestNewSession:
    @NEEDS_NEW_SESSION_E
    def test_every_keyword_shows_in_tmux(self, real_tmux):
        folder = os.path.join(real_tmux.folder, "start #{x} -")
        os.mkdir(folder)
        session = real_tmux.server.new_session(
            "k", width=100, height=30, directory=folder, command=recording_environment(real_tmux.folder, "env"),
            environment=ODD_VALUES, history_limit=50000)
        pane = session.windows[0].panes[0]
        assert pane_format(real_tmux, pane.pane_id, "#{window_width}x#{window_height} #{history_limit}") == \
            "100x30 50000"
        assert current_path(real_tmux, pane.pane_id) == folder
        seen = environment_of(real_tmux.folder, "env")
        assert {name: seen.get(name) for name in ODD_VALUES} == ODD_VALUES
        for name, value in ODD_VALUES.items():
            assert session.show_environment(name) == value  # the session's, for its later panes too
        assert global_history_limit(real_tmux) == "2000"

    def test_every_keyword_but_environment(self, real_tmux):
        folder = os.path.join(real_tmux.folder, "start")
        os.mkdir(folder)
        real_tmux.server.new_session("first")  # a running server
        real_tmux.tmux("set-option", "-g", "history-limit", "1234")
        session = real_tmux.server.new_session("k", width=90, height=20, directory=folder, command="exec cat",
                                               history_limit=3000)
        pane = session.windows[0].panes[0]
        assert pane_format(real_tmux, pane.pane_id, "#{window_width}x#{window_height} #{history_limit}") == \
            "90x20 3000"
        assert current_path(real_tmux, pane.pane_id) == folder
        assert pane.current_command == "cat"
        assert global_history_limit(real_tmux) == "1234"
        assert pane_format(real_tmux, real_tmux.server.new_session("after").windows[0].panes[0].pane_id,
                           "#{history_limit}") == "1234"

    @pytest.mark.skipif(not real_tmux_before(3, 2), reason="only tmux before 3.2 lacks new-session -e")
    def test_environment_before_3_2_is_refused_before_anything_runs(self, real_tmux):
        with pytest.raises(RuntimeError, match=r"^new session failed: environment needs tmux 3\.2 or later "
                                               r"\(tmux 3\.1c has no new-session -e\)"):
            real_tmux.server.new_session("k", environment={"A": "1"}, history_limit=50000)
        assert not real_tmux.server.is_running

    def test_a_long_output_comes_back_whole(self, real_tmux):
        session = real_tmux.server.new_session("big", command=BASH, history_limit=50000)
        pane = session.windows[0].panes[0]
        pane.wait_for("$ ")
        result = pane.run("seq 1 20000")
        assert (result.status, result.output.split("\n")) == (0, [str(n) for n in range(1, 20001)])
        assert global_history_limit(real_tmux) == "2000"

    def test_without_history_limit_the_default_holds(self, real_tmux):
        # run reads the output stream: a short history cuts nothing of it.
        pane = real_tmux.server.new_session("small", command=BASH).windows[0].panes[0]
        pane.wait_for("$ ")
        assert pane_format(real_tmux, pane.pane_id, "#{history_limit}") == "2000"
        assert pane.run("seq 1 5000").output.split("\n")[-1] == "5000"

    def test_the_configuration_value_is_put_back_when_no_server_ran(self, real_tmux):
        # The value before is unknown until the run that starts the server
        # has read the configuration.
        with open(os.path.join(os.environ["HOME"], ".tmux.conf"), "w") as f:
            f.write("set-option -g history-limit 7777\n")
        session = real_tmux.server.new_session("k", history_limit=50000)
        assert pane_format(real_tmux, session.windows[0].panes[0].pane_id, "#{history_limit}") == "50000"
        assert global_history_limit(real_tmux) == "7777"

    def test_a_failed_creation_puts_the_value_back(self, real_tmux):
        real_tmux.server.new_session("dup")
        real_tmux.tmux("set-option", "-g", "history-limit", "4321")
        with pytest.raises(RuntimeError, match="^new session failed: duplicate session: dup\n$"):
            real_tmux.server.new_session("dup", history_limit=50000)
        assert global_history_limit(real_tmux) == "4321"
        assert real_tmux.session_names() == ["dup"]

    def test_a_failed_creation_without_a_server_leaves_none(self, real_tmux):
        with pytest.raises(RuntimeError, match="^new session failed: width too small\n$"):
            real_tmux.server.new_session("k", width=0, history_limit=50000)
        wait_for(lambda: not real_tmux.server.is_running)  # a server with no session ends

    def test_a_refused_limit_changes_nothing(self, real_tmux):
        real_tmux.server.new_session("first")
        with pytest.raises(RuntimeError, match="^new session failed: value is too large: 4294967295\n$"):
            real_tmux.server.new_session("k", history_limit=2**32 - 1)
        assert real_tmux.session_names() == ["first"] and global_history_limit(real_tmux) == "2000"

    def test_a_missing_directory_is_refused_before_tmux_runs(self, fake_tmux):
        with pytest.raises(ValueError, match='^no such directory: "/no/such/folder"$'):
            termloom.Server("/x").new_session("k", directory="/no/such/folder", history_limit=5)
        assert fake_tmux.calls == []


class TestNewSessionVectors:
    def test_keywords_follow_the_plain_vector(self, fake_tmux):
        fake_tmux.respond(stdout="k\n")
        folder = os.path.join(fake_tmux.folder, "d#")
        os.mkdir(folder)
        termloom.Server("/x").new_session("k", width=100, height=30, directory=folder, command="-c",
                                          environment={"B": "2;", "A": "x y"})
        assert fake_tmux.calls == [[
            "tmux", "-S", "/x", "new-session", "-d", "-s", "k", "-P", "-F", "#{session_name}", "-x", "100",
            "-y", "30", "-c", folder.replace("#", "##"), "-e", "B=2\\;", "-e", "A=x y", "--", "-c"]]

    def test_history_limit_is_set_and_put_back_in_the_run_that_creates(self, fake_tmux):
        fake_tmux.respond(stdout="history-limit 2000\n").respond(stdout="history-limit 2000\nk\n")
        session = termloom.Server("/x").new_session("k", history_limit=50000)
        assert session.name == "k"
        create = ["new-session", "-d", "-s", "k", "-P", "-F", "#{session_name}"]
        assert fake_tmux.calls == [
            ["tmux", "-S", "/x", "show-options", "-g", "history-limit"],
            ["tmux", "-S", "/x", "show-options", "-g", "history-limit", ";",
             "set-option", "-g", "history-limit", "50000", ";", *create, ";",
             "set-option", "-g", "history-limit", "2000"]]

    @pytest.mark.parametrize("read, shown", [
        ({"code": 1, "stderr": "no server running on /x\n"}, "9999"),  # no server: tmux's default was a guess
        ({"stdout": "history-limit 2000\n"}, "3000"),                    # changed between the two runs
    ])
    def test_a_value_the_run_found_otherwise_is_put_back_after(self, fake_tmux, read, shown):
        fake_tmux.respond(**read).respond(stdout=f"history-limit {shown}\nk\n").respond()
        termloom.Server("/x").new_session("k", history_limit=50000)
        assert fake_tmux.calls[1][-1] == "2000"
        assert fake_tmux.calls[2] == ["tmux", "-S", "/x", "set-option", "-g", "history-limit", shown]
        assert len(fake_tmux.calls) == 3

    def test_a_failed_creation_is_put_back_by_another_run(self, fake_tmux):
        (fake_tmux.respond(stdout="history-limit 2000\n")
         .respond(stdout="history-limit 2500\n", stderr="duplicate session: k\n", code=1).respond())
        with pytest.raises(RuntimeError, match="^new session failed: duplicate session: k\n$"):
            termloom.Server("/x").new_session("k", history_limit=50000)
        assert fake_tmux.calls[2] == ["tmux", "-S", "/x", "set-option", "-g", "history-limit", "2500"]

    def test_a_value_that_cannot_be_put_back_is_reported(self, fake_tmux):
        (fake_tmux.respond(stdout="history-limit 2000\n")
         .respond(stdout="history-limit 2000\n", stderr="duplicate session: k\n", code=1)
         .respond(stderr="server busy\n", code=1).respond(stdout="k: 1 windows\n"))
        with pytest.raises(RuntimeError) as error:
            termloom.Server("/x").new_session("k", history_limit=50000)
        assert str(error.value) == ("new session failed: duplicate session: k; and the global history-limit "
                                    "could not be put back to 2000: server busy")
        assert fake_tmux.calls[3] == ["tmux", "-S", "/x", "list-sessions"]

    def test_a_made_session_whose_value_cannot_be_put_back_is_reported(self, fake_tmux):
        (fake_tmux.respond(code=1).respond(stdout="history-limit 9999\nk\n")
         .respond(stderr="server busy\n", code=1).respond(stdout="k: 1 windows\n"))
        with pytest.raises(RuntimeError) as error:
            termloom.Server("/x").new_session("k", history_limit=50000)
        assert str(error.value) == ("the new pane was made, but the global history-limit could not be put "
                                    "back to 9999: server busy")

    def test_environment_on_3_1c_runs_nothing(self, fake_tmux):
        fake_tmux.version("tmux 3.1c")
        with pytest.raises(RuntimeError, match=r"^new session failed: environment needs tmux 3\.2 or later"):
            termloom.Server("/x").new_session("k", environment={})
        assert fake_tmux.calls == []


class TestNewWindow:
    @pytest.mark.parametrize("own", [None, "1111"])
    def test_environment_and_history_limit(self, real_tmux, own):
        session = real_tmux.server.new_session("s")
        if own:
            real_tmux.tmux("set-option", "-t", "=s:", "history-limit", own)
        window = session.new_window(command=recording_environment(real_tmux.folder, "env"),
                                    environment=ODD_VALUES, history_limit=30000)
        pane_id = window.panes[0].pane_id
        assert pane_format(real_tmux, pane_id, "#{history_limit}") == "30000"
        seen = environment_of(real_tmux.folder, "env")
        assert {name: seen.get(name) for name in ODD_VALUES} == ODD_VALUES
        assert session.show_environment("TL_SEMI") is None  # the pane's only
        assert local_history_limit(real_tmux, "s") == ("" if own is None else f"history-limit {own}")
        assert global_history_limit(real_tmux) == "2000"

    def test_a_refused_limit_changes_nothing(self, real_tmux):
        session = real_tmux.server.new_session("s")
        with pytest.raises(RuntimeError, match="^tmux new-window failed: value is too large: 4294967295$"):
            session.new_window(command="exec cat", directory=real_tmux.folder, name="x",
                               history_limit=2**32 - 1)
        assert local_history_limit(real_tmux, "s") == "" and len(session.windows) == 1

    def test_vectors(self, fake_tmux, Session):
        fake_tmux.respond(stdout="$2\n").respond(stdout="3|x\n")
        Session("s", "/x").new_window(environment=types.MappingProxyType({"Z": "1", "A": "2"}))
        assert fake_tmux.calls[1] == ["tmux", "-S", "/x", "new-window", "-d", "-t", "$2:", "-P", "-F", LIST,
                                      "-e", "Z=1", "-e", "A=2"]
        fake_tmux.respond(stdout="$2\n").respond(stdout="").respond(stdout="3|x\n")
        window = Session("s", "/x").new_window(history_limit=10)
        assert window.index == 3
        assert fake_tmux.calls[2:] == [
            ["tmux", "-S", "/x", "list-sessions", "-f", "#{==:#{session_name},s}", "-F", "#{session_id}"],
            ["tmux", "-S", "/x", "show-options", "-t", "$2:", "history-limit"],
            ["tmux", "-S", "/x", "show-options", "-t", "$2:", "history-limit", ";",
             "set-option", "-t", "$2:", "history-limit", "10", ";",
             "new-window", "-d", "-t", "$2:", "-P", "-F", LIST, ";",
             "set-option", "-u", "-t", "$2:", "history-limit"]]


class TestSplit:
    @pytest.mark.parametrize("horizontal, keywords, size", [
        (False, {"size": 5}, ("pane_height", 5)),
        (True, {"size": 30}, ("pane_width", 30)),
        (False, {"percent": 50}, ("pane_height", 12)),
        (True, {"percent": 25}, ("pane_width", 20)),
    ])
    def test_size(self, real_tmux, horizontal, keywords, size):
        pane = real_tmux.server.new_session("s", width=80, height=24).windows[0].panes[0]
        new = pane.split(horizontal=horizontal, **keywords)
        assert int(pane_format(real_tmux, new.pane_id, f"#{{{size[0]}}}")) == size[1]

    def test_directory_environment_and_history_limit(self, real_tmux):
        folder = os.path.join(real_tmux.folder, "here ;")
        os.mkdir(folder)
        session = real_tmux.server.new_session("s")
        real_tmux.tmux("set-option", "-t", "=s:", "history-limit", "1111")
        pane = session.windows[0].panes[0]
        new = pane.split(command=recording_environment(real_tmux.folder, "env"), keep=False, directory=folder,
                         environment=ODD_VALUES, history_limit=40000)
        assert pane_format(real_tmux, new.pane_id, "#{history_limit}") == "40000"
        assert current_path(real_tmux, new.pane_id) == folder
        seen = environment_of(real_tmux.folder, "env")
        assert {name: seen.get(name) for name in ODD_VALUES} == ODD_VALUES
        assert local_history_limit(real_tmux, "s") == "history-limit 1111"
        assert pane_format(real_tmux, pane.split().pane_id, "#{history_limit}") == "1111"

    def test_a_kept_command_runs_under_a_shell_that_stays(self, real_tmux):
        window = real_tmux.server.new_session("s", command=BASH).windows[0]
        window.set_option("remain-on-exit", "on")
        pane = window.panes[0]
        own = pane.split(command="true", keep=False)
        kept = pane.split(command="true")
        # The command was the pane's program: its end is the pane's (tmux 3.3a
        # now and then records no status, and then says None).
        assert own.wait_exit(timeout=10) in (0, None)
        # The shell after the command: tmux's default-shell, which tmux gives panes as SHELL.
        shell = os.path.basename(real_tmux.tmux("show-options", "-gv", "default-shell").strip())
        wait_for(lambda: kept.current_command == shell)
        with pytest.raises(TimeoutError):
            kept.wait_exit(timeout=0.5)

    def test_a_failed_split_puts_the_value_back(self, real_tmux):
        session = real_tmux.server.new_session("s", width=20, height=3)
        real_tmux.tmux("set-option", "-t", "=s:", "history-limit", "1111")
        pane = session.windows[0].panes[0]
        pane.split()
        with pytest.raises(RuntimeError, match="^tmux split-window failed: no space for new pane$"):
            pane.split(history_limit=7)
        assert local_history_limit(real_tmux, "s") == "history-limit 1111"

    @pytest.mark.parametrize("keywords, message", [
        ({"size": 5, "percent": 5}, "split: give size or percent, not both"),
        ({"size": 0}, "split: size must be at least 1 cell"),
        ({"percent": 0}, "split: percent must be 1 to 100, not 0"),
        ({"percent": 101}, "split: percent must be 1 to 100, not 101"),
        ({"directory": "/no/such/folder"}, 'no such directory: "/no/such/folder"'),
    ])
    def test_refused_before_tmux_runs(self, fake_tmux, Pane, keywords, message):
        with pytest.raises(ValueError) as error:
            Pane("s", 1, 0, "%7", "t", None).split(**keywords)
        assert str(error.value) == message and fake_tmux.calls == []

    @pytest.mark.parametrize("keywords, flags", [
        ({"size": 7}, ["-l", "7"]),
        ({"percent": 30}, ["-l", "30%"]),
        ({"directory": "/", "environment": {"A": "-x"}}, ["-c", "/", "-e", "A=-x"]),
    ])
    def test_vectors(self, fake_tmux, Pane, keywords, flags):
        fake_tmux.respond(stdout="3|%9|new\n")
        Pane("s", 1, 0, "%7", "t", None).split(command="top", keep=False, **keywords)
        assert fake_tmux.calls == [["tmux", "split-window", "-v", "-t", "%7", "-P", "-F", PANE_LIST,
                                    *flags, "top"]]


class Variables(collections.abc.Mapping):
    """A mapping that is not a dict."""

    def __init__(self, items):
        self._items = dict(items)

    def __getitem__(self, key):
        return self._items[key]

    def __iter__(self):
        return iter(self._items)

    def __len__(self):
        return len(self._items)


class TestEnvironmentArgument:
    @pytest.mark.parametrize("environment", [
        {"B": "1", "A": "é;"}, Variables({"B": "1", "A": "é;"}), collections.OrderedDict(B="1", A="é;"),
        types.MappingProxyType({"B": "1", "A": "é;"}),
    ])
    def test_any_mapping_in_its_order(self, fake_tmux, Pane, environment):
        fake_tmux.respond(stdout="3|%9|new\n")
        Pane("s", 1, 0, "%7", "t", None).split(environment=environment)
        assert fake_tmux.calls[0][8:] == ["-e", "B=1", "-e", "A=é\\;"]

    @pytest.mark.parametrize("environment, error, message", [
        ({1: "x"}, TypeError, "argument 'environment': a variable name must be str, not 'int'"),
        ({"A": 1}, TypeError, "argument 'environment': the value of \"A\" must be str, not 'int'"),
        ({"A": b"x"}, TypeError, "argument 'environment': the value of \"A\" must be str, not 'bytes'"),
        ([("A", "x")], TypeError,
         "argument 'environment': 'list' object cannot be cast as 'collections.abc.Mapping[str, str]'"),
        ("A=x", TypeError,
         "argument 'environment': 'str' object cannot be cast as 'collections.abc.Mapping[str, str]'"),
        ({"A=B": "x"}, ValueError,
         'invalid environment variable name: "A=B" (a name is not empty and holds neither "=" nor NUL)'),
        ({"": "x"}, ValueError,
         'invalid environment variable name: "" (a name is not empty and holds neither "=" nor NUL)'),
        ({"A\0": "x"}, ValueError,
         'invalid environment variable name: "A\\0" (a name is not empty and holds neither "=" nor NUL)'),
        ({"A": "x\0y"}, ValueError,
         'the value of environment variable "A" holds NUL, which no environment can carry'),
    ])
    def test_refused_before_tmux_runs(self, fake_tmux, Pane, Session, environment, error, message):
        calls = [lambda: termloom.Server("/x").new_session("k", environment=environment),
                 lambda: Session("s", "/x").new_window(environment=environment),
                 lambda: Pane("s", 1, 0, "%7", "t", None).split(environment=environment)]
        for call in calls:
            with pytest.raises(error) as raised:
                call()
            assert str(raised.value) == message
        assert fake_tmux.calls == []

    def test_a_lone_surrogate_is_the_interpreters_error(self, fake_tmux, Pane):
        for environment in ({"\udc80": "x"}, {"A": "\udc80"}):
            with pytest.raises(UnicodeEncodeError):
                Pane("s", 1, 0, "%7", "t", None).split(environment=environment)
        assert fake_tmux.calls == []


@pytest.mark.parametrize("call, message", [
    (lambda S, P: S().new_session("a", 80), "Server.new_session() takes 1 positional arguments but 2 were given"),
    (lambda S, P: P("s", 0, 0, "%1", "t", None).split(False, None, True, 5),
     "Pane.split() takes from 0 to 3 positional arguments but 4 were given"),
    (lambda S, P: S().new_session("a", widht=80), "Server.new_session() got an unexpected keyword argument 'widht'"),
    (lambda S, P: S().new_session(width=80), "Server.new_session() missing 1 required positional argument: 'name'"),
    (lambda S, P: S().new_session("a", width="80"), "argument 'width': 'str' object cannot be interpreted as an "
                                                    "integer"),
])
def test_keyword_only_binding(fake_tmux, Pane, call, message):
    with pytest.raises(TypeError) as error:
        call(termloom.Server, Pane)
    assert str(error.value) == message
    assert fake_tmux.calls == []


INTERRUPTED = """
import termloom
print("ready", flush=True)
try:
    termloom.Server("/x").new_session("k", history_limit=50000)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


def test_ctrl_c_during_the_creation_still_puts_the_value_back(fake_tmux):
    # The run that creates hangs: how far tmux got is not known, so the value is put back.
    fake_tmux.respond(stdout="history-limit 2000\n").respond(sleep=30).respond()
    report, _ = interrupt_child([sys.executable, "-c", INTERRUPTED], lambda: len(fake_tmux.calls) >= 2)
    assert report == "interrupted\n"
    assert fake_tmux.calls[2] == ["tmux", "-S", "/x", "set-option", "-g", "history-limit", "2000"]


def test_the_fixture_pane_keeps_its_long_output(tmux_pane, tmux_server):
    result = tmux_pane.run("seq 1 20000")
    assert (result.status, result.output.split("\n")) == (0, [str(n) for n in range(1, 20001)])
    shown = tmux_server.command("display-message", "-p", "-t", tmux_pane.pane_id, "#{history_limit}")
    assert (shown, tmux_server.show_option("history-limit")) == ("50000\n", "2000")
