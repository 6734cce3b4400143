"""set_option/show_option at every level, and the global and session environment."""
import pytest

import termloom
from conftest import wait_for


# What tmux's four listings look like, server, session, window and pane
# options cut by "=" lines: values, an array, an empty array, inherited ones.
LISTINGS = ("escape-time 500\ncommand-alias[0] split-pane=split-window\n=\n"
            "status on\nstatus-format[0] x\n=\n@user 1\nmode-keys emacs\npane-colours\n"
            "remain-on-exit off\n=\nremain-on-exit* off\npane-colours*\n")


@pytest.fixture
def levels(real_tmux):
    """One handle per option level, on a server with session "s"."""
    session = real_tmux.server.new_session("s")
    window = session.windows[0]
    return {"server": real_tmux.server, "session": session, "window": window, "pane": window.panes[0]}


class TestOptions:
    @pytest.mark.parametrize("level", ["server", "session", "window", "pane"])
    def test_a_user_option_is_set_at_its_level_only(self, levels, level):
        assert levels[level].set_option("@tl", "here") is True
        assert {name: handle.show_option("@tl") for name, handle in levels.items()} == {
            name: ("here" if name == level else None) for name in levels}

    @pytest.mark.parametrize("level, name, value", [
        ("server", "exit-empty", "off"),  # a server option
        ("server", "history-limit", "50000"),
        ("session", "status", "off"),
        ("session", "default-size", "120x40"),
        ("window", "pane-border-status", "top"),
        ("pane", "remain-on-exit", "on"),
    ])
    def test_tmux_options(self, levels, real_tmux, level, name, value):
        assert levels[level].show_option(name) != value
        assert levels[level].set_option(name, value) is True
        assert levels[level].show_option(name) == value
        flags = {"server": ["-g"], "session": ["-t", "=s:"], "window": ["-w", "-t", "=s:0"],
                 "pane": ["-p", "-t", levels["pane"].pane_id]}[level]
        assert real_tmux.tmux("show-options", *flags, "-v", name) == value + "\n"

    @pytest.mark.parametrize("value", ["", "a b", "end;", "-x", "#{session_name}", "é\ttab", "two\nlines", " "])
    def test_values_read_back_exactly(self, levels, value):
        session = levels["session"]
        assert session.set_option("@v", value) is True
        assert session.show_option("@v") == value

    def test_unknown_option(self, levels):
        with pytest.raises(RuntimeError, match="^tmux show-options failed: invalid option: nosuch$"):
            levels["server"].show_option("nosuch")
        with pytest.raises(RuntimeError, match="^tmux set-option failed: invalid option: nosuch$"):
            levels["server"].set_option("nosuch", "1")

    # tmux takes a unique prefix for the whole name: "escape" would set escape-time.
    @pytest.mark.parametrize("level", ["session", "window", "pane"])
    @pytest.mark.parametrize("name", ["nosuch", "escape", "", "-x"])
    def test_unknown_option_at_an_object(self, levels, real_tmux, level, name):
        before = real_tmux.tmux("show-options", "-s", "-v", "escape-time")
        with pytest.raises(RuntimeError, match=r'^tmux show-options failed: invalid option: %s$' % name):
            levels[level].show_option(name)
        with pytest.raises(RuntimeError, match=r'^tmux set-option failed: invalid option: %s$' % name):
            levels[level].set_option(name, "1")
        assert real_tmux.tmux("show-options", "-s", "-v", "escape-time") == before

    # Each names a tmux option that tmux would set and show on another object:
    # refused, and nothing changes anywhere.
    @pytest.mark.parametrize("level, name, table", [
        ("session", "escape-time", "a server option"),
        ("window", "escape-time", "a server option"),
        ("pane", "escape-time", "a server option"),
        ("window", "history-limit", "a session option"),
        ("pane", "status", "a session option"),
        ("session", "mode-keys", "a window option"),
        ("pane", "mode-keys", "a window option"),
        ("pane", "window-size", "a window option"),
        ("session", "remain-on-exit", "a window or pane option"),
    ])
    def test_an_option_of_another_level_is_refused(self, levels, real_tmux, level, name, table):
        everything = lambda: [real_tmux.tmux("show-options", *flags) for flags in
                              (["-s"], ["-g"], ["-gw"], ["-t", "=s:"], ["-w", "-t", "=s:0"],
                               ["-p", "-t", levels["pane"].pane_id])]
        before = everything()
        for call in (lambda: levels[level].set_option(name, "1"), lambda: levels[level].show_option(name)):
            with pytest.raises(ValueError) as error:
                call()
            assert str(error.value) == f'"{name}" is {table}, not a {level} option'
        assert everything() == before

    def test_each_level_reads_its_own(self, levels, real_tmux):
        session, window, pane = levels["session"], levels["window"], levels["pane"]
        other = window.panes[0].split()
        assert window.set_option("mode-keys", "vi") and window.show_option("mode-keys") == "vi"
        assert pane.set_option("remain-on-exit", "on") is True
        assert (pane.show_option("remain-on-exit"), other.show_option("remain-on-exit")) == ("on", None)
        assert window.show_option("remain-on-exit") is None
        assert session.set_option("history-limit", "123") and session.show_option("history-limit") == "123"
        assert session.set_option("status-format[1]", "x") and session.show_option("status-format[1]") == "x"
        assert real_tmux.tmux("show-options", "-gv", "history-limit") != "123\n"

    def test_missing_objects(self, levels, real_tmux, Session, Window, Pane):
        gone = levels["session"].new_window().panes[0]
        gone.kill()
        missing = [Session("nope", real_tmux.socket), Window("s", 7, real_tmux.socket, "x"), gone,
                   Session("a:b", real_tmux.socket)]
        for handle in missing:
            with pytest.raises(RuntimeError, match="^tmux show-options failed: "):
                handle.show_option("@x")  # not None: there is nothing to ask
            with pytest.raises(RuntimeError, match="^tmux set-option failed: "):
                handle.set_option("@x", "1")
        real_tmux.tmux("kill-server")
        with pytest.raises(RuntimeError, match="^tmux show-options failed: "):
            real_tmux.server.show_option("@x")

    def test_commands(self, fake_tmux, Session, Window, Pane):
        S = ["tmux", "-S", "/x"]
        session_lookup = S + ["list-sessions", "-f", "#{==:#{session_name},s}", "-F", "#{session_id}"]
        window_lookup = session_lookup + [";", "list-windows", "-a", "-f",
                                          "#{&&:#{==:#{session_name},s},#{==:#{window_index},1}}",
                                          "-F", "#{window_id}"]
        # Each handle with its answers (the look-ups find $3 and @8) and the runs it makes.
        cases = [
            (termloom.Server("/x"), [], [], ["-g"]),
            (Session("s", "/x"), ["$3\n"], [session_lookup], ["-t", "$3:"]),
            (Window("s", 1, "/x", "n"), ["$3\n@8\n"], [window_lookup], ["-w", "-t", "@8"]),
            (Pane("s", 0, 0, "%4", "t", "/x"), [], [], ["-p", "-t", "%4"]),
        ]
        expected = []
        for handle, answers, lookups, level in cases:
            for answer in answers:
                fake_tmux.respond(stdout=answer)
            fake_tmux.respond()
            for answer in answers:
                fake_tmux.respond(stdout=answer)
            fake_tmux.respond(stdout="v\n")
            handle.set_option("@o", "-v;")
            assert handle.show_option("@o") == "v"
            expected += lookups + [S + ["set-option", *level, "@o", "-v\\;"]]
            expected += lookups + [S + ["show-options", *level, "-v", "@o"]]
        assert fake_tmux.calls == expected

    @pytest.mark.parametrize("stdout, expected", [("", None), ("\n", ""), ("a\n\n", "a\n"), ("x", "x")])
    def test_output(self, fake_tmux, Session, stdout, expected):
        # The look-up, the option listings, then show-options.
        fake_tmux.respond(stdout="$0\n").respond(stdout=LISTINGS).always(stdout=stdout)
        assert Session("s").show_option("status") == expected

    def test_the_listings_decide(self, fake_tmux, Pane):
        pane = Pane("s", 0, 0, "%4", "t", "/x")
        fake_tmux.respond(stdout=LISTINGS).respond(stdout="on\n").respond(stdout=LISTINGS)
        assert pane.show_option("remain-on-exit") == "on"
        with pytest.raises(ValueError, match='^"mode-keys" is a window option, not a pane option$'):
            pane.set_option("mode-keys", "vi")
        listings = ["tmux", "-S", "/x", "show-options", "-s", ";", "display-message", "-p", "=", ";",
                    "show-options", "-gH", ";", "display-message", "-p", "=", ";",
                    "show-options", "-gwH", ";", "display-message", "-p", "=", ";",
                    "show-options", "-pAH", "-t", "%4"]
        assert fake_tmux.calls == [
            listings, ["tmux", "-S", "/x", "show-options", "-p", "-t", "%4", "-v", "remain-on-exit"],
            listings]

    @pytest.mark.parametrize("stdout, message", [
        ("", "unexpected option listings"), ("=\n=\n", "unexpected option listings"),
        (LISTINGS + "=\n", "unexpected option listings"),
    ])
    def test_unreadable_listings(self, fake_tmux, Pane, stdout, message):
        fake_tmux.always(stdout=stdout)
        with pytest.raises(RuntimeError, match="^tmux show-options failed: " + message):
            Pane("s", 0, 0, "%4", "t", "/x").show_option("remain-on-exit")
        fake_tmux.always(stderr="can't find pane: %4\n", code=1)
        with pytest.raises(RuntimeError, match="^tmux set-option failed: can't find pane: %4$"):
            Pane("s", 0, 0, "%4", "t", "/x").set_option("remain-on-exit", "on")


class TestEnvironment:
    def test_global_and_session_scopes(self, levels):
        server, session = levels["server"], levels["session"]
        other = server.new_session("other")
        assert server.set_environment("TL_G", "global") is True
        assert session.set_environment("TL_S", "session") is True
        assert (server.show_environment("TL_G"), server.show_environment("TL_S")) == ("global", None)
        assert (session.show_environment("TL_S"), session.show_environment("TL_G")) == ("session", None)
        assert other.show_environment("TL_S") is None
        assert server.show_environment("TL_NEVER") is None

    @pytest.mark.parametrize("value", ["", "a=b", "two\nlines=x", " é ", "end;", "-x", "$HOME"])
    def test_values_read_back_exactly(self, levels, value):
        for handle in (levels["server"], levels["session"]):
            assert handle.set_environment("TL_V", value) is True
            assert handle.show_environment("TL_V") == value

    def test_a_removed_variable_is_none(self, levels, real_tmux):
        real_tmux.tmux("set-environment", "-g", "-r", "TL_R")
        assert real_tmux.tmux("show-environment", "-g", "TL_R") == "-TL_R\n"
        assert levels["server"].show_environment("TL_R") is None

    def test_new_programs_see_it(self, levels):
        server, session = levels["server"], levels["session"]
        server.set_environment("TL_G", "g1")
        session.set_environment("TL_S", "s1")
        show = "printf '[%s|%s]\\n' \"$TL_G\" \"$TL_S\"; exec cat"
        window = session.new_window(command=show)
        split = window.panes[0].split(command=show, keep=False)
        respawned = session.new_window(command="exec cat").panes[0]
        respawned.respawn(command=show, kill=True)
        for pane in (window.panes[0], split, respawned):
            wait_for(lambda: "[g1|s1]" in (pane.capture() or ""))

    @pytest.mark.parametrize("name", ["", "A=B", "="])
    def test_bad_names_run_nothing(self, fake_tmux, Session, name):
        for handle in (termloom.Server(), Session("s")):
            with pytest.raises(ValueError) as error:
                handle.set_environment(name, "v")
            assert str(error.value) == f'invalid environment variable name: "{name}"'
            with pytest.raises(ValueError):
                handle.show_environment(name)
        assert fake_tmux.calls == []

    def test_missing_session_and_server(self, levels, real_tmux, Session):
        for handle in (Session("nope", real_tmux.socket), Session("a.b", real_tmux.socket)):
            with pytest.raises(RuntimeError, match="^tmux show-environment failed: "):
                handle.show_environment("X")
            with pytest.raises(RuntimeError, match="^tmux set-environment failed: "):
                handle.set_environment("X", "1")
        real_tmux.tmux("kill-server")
        with pytest.raises(RuntimeError, match="^tmux set-environment failed: "):
            real_tmux.server.set_environment("X", "1")

    def test_commands(self, fake_tmux, Session):
        fake_tmux.respond().respond(stdout="-x=v\n")  # the server's set and show
        fake_tmux.respond(stdout="$3\n").respond().respond(stdout="$3\n").respond(stdout="-x=v\n")
        for handle in (termloom.Server("/x"), Session("s", "/x")):
            handle.set_environment("-x", "v;")
            assert handle.show_environment("-x") == "v"
        S = ["tmux", "-S", "/x"]
        lookup = S + ["list-sessions", "-f", "#{==:#{session_name},s}", "-F", "#{session_id}"]
        assert fake_tmux.calls == [
            S + ["set-environment", "-g", "--", "-x", "v\\;"], S + ["show-environment", "-g", "--", "-x"],
            lookup, S + ["set-environment", "-t", "$3", "--", "-x", "v\\;"],
            lookup, S + ["show-environment", "-t", "$3", "--", "-x"],
        ]

    @pytest.mark.parametrize("stdout", ["", "X\n", "XY=1\n", "Y=1\n"])
    def test_unexpected_output(self, fake_tmux, stdout):
        fake_tmux.always(stdout=stdout)
        with pytest.raises(RuntimeError, match="^unexpected tmux show-environment output: "):
            termloom.Server().show_environment("X")
