"""termloom's text is UTF-8 whatever the caller's locale: tmux is told so
("-u") when the environment would not tell it, and reads come back whole."""
import pytest

LOCALE_VARIABLES = ("TMUX", "LC_ALL", "LC_CTYPE", "LANG")


def set_environment(monkeypatch, values):
    for name in LOCALE_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    for name, value in values.items():
        monkeypatch.setenv(name, value)


@pytest.mark.parametrize("values, utf8", [
    ({"LANG": "C.UTF-8"}, True),
    ({"LANG": "en_US.utf8"}, True),
    ({"LC_CTYPE": "C.Utf-8", "LANG": "C"}, True),
    ({"LC_ALL": "", "LC_CTYPE": "", "LANG": "de_DE.UTF-8"}, True),
    ({"LC_ALL": "C", "TMUX": "/tmp/x/default,1,0"}, True),
    ({"LC_ALL": "C"}, False),
    ({"LC_ALL": "C", "LANG": "C.UTF-8"}, False),  # the first one set decides
    ({"LC_CTYPE": "POSIX", "LANG": "C.UTF-8"}, False),
    ({"LANG": ""}, False),
    ({}, False),
])
def test_u_flag_only_where_tmux_would_not_see_utf8(fake_tmux, Pane, monkeypatch, values, utf8):
    set_environment(monkeypatch, values)
    assert Pane("s", 0, 0, "%3", "t", "/sock").send_text("x") is True
    (argv,) = fake_tmux.calls
    assert argv == ["tmux"] + ([] if utf8 else ["-u"]) + ["-S", "/sock", "send-keys", "-t", "%3",
                                                          "-l", "x"]


@pytest.fixture
def c_locale(real_tmux, monkeypatch):
    """A caller under LC_ALL=C, on the private server."""
    set_environment(monkeypatch, {"LC_ALL": "C"})
    return real_tmux


def test_names_and_metadata(c_locale):
    server = c_locale.server
    session = server.new_session("é")
    assert session.name == "é" and [s.name for s in server.sessions] == ["é"]
    window = session.new_window(name="fenêtre")
    assert window.name == "fenêtre"
    assert [w.name for w in session.windows] == [session.windows[0].name, "fenêtre"]
    assert window.metadata.name == "fenêtre" and session.metadata().name == "é"
    pane = window.panes[0]
    pane.title = "titré"
    for records in (server.pane_metadata(), session.pane_metadata(), window.pane_metadata()):
        assert records and {r.session_name for r in records} == {"é"}
    assert [(r.window_name, r.title) for r in window.pane_metadata()] == [("fenêtre", "titré")]
    assert pane.metadata().title == "titré"


@pytest.mark.parametrize("value", ["é", "a\tb", "ü\tß €"])
def test_options_and_environment(c_locale, value):
    server = c_locale.server
    session = server.new_session("s")
    pane = session.windows[0].panes[0]
    for target in (server, session, session.windows[0], pane):
        assert target.set_option("@mine", value) is True
        assert target.show_option("@mine") == value
    for target in (server, session):
        assert target.set_environment("MINE", value) is True
        assert target.show_environment("MINE") == value
