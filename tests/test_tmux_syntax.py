"""Caller text reaches tmux as exactly that text, never as tmux syntax."""
import os

import pytest

import termloom
from conftest import real_tmux_before, wait_for

# tmux itself rewrites ':' and '.' and vis-encodes backslashes and control
# characters in session names, so those are left out here.
ODD_NAMES = ["semi;", "x;;", "-x", "--", "-", "x#{session_id}y", "##", "#(true)", "-#;", "plain",
             "#[fg=red]x", "?###[", "a##[b#[c"]


@pytest.mark.parametrize("name", ODD_NAMES)
def test_new_session_stores_the_exact_name(real_tmux, name):
    server = real_tmux.server
    session = server.new_session(name)
    assert real_tmux.session_names() == [name]
    assert session.name == name
    assert server.has_session(name) is True
    assert session.metadata().name == name
    assert session.kill() is True
    assert real_tmux.session_names() == []


@pytest.mark.parametrize("new_name", ODD_NAMES)
def test_rename_stores_the_exact_name(real_tmux, new_name):
    session = real_tmux.server.new_session("start")
    session.name = new_name
    assert real_tmux.session_names() == [new_name]
    assert session.metadata().name == new_name


def test_trailing_semicolon_does_not_start_a_second_command(real_tmux):
    real_tmux.server.new_session("keep")
    assert real_tmux.server.has_session("keep;") is False
    session = type(real_tmux.server.new_session("other"))("x;", real_tmux.socket)
    session.kill()
    assert real_tmux.server.is_running is True
    assert sorted(real_tmux.session_names()) == ["keep", "other"]


def test_format_in_a_name_runs_nothing(real_tmux, tmp_path):
    marker = tmp_path / "ran"
    name = f"x#(touch {marker})y"
    real_tmux.server.new_session(name)
    assert real_tmux.session_names() == [name]
    assert not marker.exists()


@pytest.mark.parametrize("missing", ["a", "ab*", "a?", "[a]"])
def test_session_names_match_exactly(real_tmux, missing):
    """Prefixes and patterns never reach another session."""
    real_tmux.server.new_session("abc")
    ghost = type(real_tmux.server.new_session("zz"))(missing, real_tmux.socket)
    assert real_tmux.server.has_session(missing) is False
    assert ghost.kill() is False
    with pytest.raises(RuntimeError, match="^rename session failed: can't find session"):
        ghost.name = "renamed"
    assert sorted(real_tmux.session_names()) == ["abc", "zz"]


@pytest.mark.parametrize("name", ["abc:", "abc:0", "abc.0", ":", ".", "abc:0.0"])
def test_names_with_target_separators_reach_no_session(real_tmux, name):
    """tmux reads ':' and '.' as window and pane parts, and no session name has them."""
    real_tmux.server.new_session("abc")
    ghost = type(real_tmux.server.new_session("zz"))(name, real_tmux.socket)
    assert real_tmux.server.has_session(name) is False
    assert ghost.kill() is False
    with pytest.raises(RuntimeError) as error:
        ghost.name = "renamed"
    assert str(error.value) == f"rename session failed: can't find session: {name}\n"
    assert sorted(real_tmux.session_names()) == ["abc", "zz"]


RENAME_READ_BACK = ["list-sessions", "-f", "#{==:#{session_id},$2}", "-F", "#{session_name}"]


@pytest.mark.parametrize("name, written", [
    ("plain", ["plain"]),
    ("semi;", ["semi\\;"]),
    (";", ["\\;"]),
    ("mid;dle", ["mid;dle"]),
    ("-x", ["--", "-x"]),
    ("a-", ["a-"]),
    ("#x#", ["##x##"]),
    ("-#;", ["--", "-##\\;"]),
])
def test_rename_vectors(fake_tmux, Session, name, written):
    fake_tmux.respond(stdout="$2\n")  # the look-up
    fake_tmux.respond(stdout=name + "\n")
    session = Session("s")
    session.name = name
    assert fake_tmux.calls[-1] == ["tmux", "rename-session", "-t", "$2"] + written + [";"] + RENAME_READ_BACK
    assert session.name == name


@pytest.mark.parametrize("name, stored", [
    ("a\\;", "a\\\\;"),
    ("x.y", "x_y"),
    ("\u0085", "\\302\\205"),
])
def test_rename_takes_the_name_tmux_stored(fake_tmux, Session, name, stored):
    fake_tmux.respond(stdout="$2\n")
    fake_tmux.respond(stdout=f"{stored}\n")
    session = Session("s")
    session.name = name
    assert session.name == stored


# From 3.2 on, tmux's format expansion keeps a run of "#" before "[" as it
# is; 3.1c halves it as any other. Only such a run makes tmux -V run.
@pytest.mark.parametrize("name, written, written_3_1c", [
    ("-x", "-x", "-x"),          # an option's value may start with "-"
    ("x;", "x\\;", "x\\;"),
    ("x#y", "x##y", "x##y"),
    ("a##[b#", "a##[b##", "a####[b##"),
])
def test_new_session_vectors(fake_tmux, name, written, written_3_1c):
    for release, form in [("3.3a", written), ("3.1c", written_3_1c)]:
        fake_tmux.version("tmux " + release).respond(stdout=name + "\n")
        termloom.Server().new_session(name)
        assert fake_tmux.calls[-1] == ["tmux", "new-session", "-d", "-s", form, "-P", "-F", "#{session_name}"]
    assert fake_tmux.versions_asked == (2 if "#[" in name else 0)


@pytest.mark.parametrize("name, literal, literal_3_1c", [
    ("x;", "x;", "x;"), ("#x", "##x", "##x"), ("-x", "-x", "-x"), ("a,b}", "a#,b#}", "a#,b#}"),
    ("#[x", "#[x", "##[x"), ("x##[", "x##[", "x####["), ("#a#[", "##a#[", "##a##["), ("$1", "$1", "$1"),
])
def test_look_ups_write_the_name_as_a_format_literal(fake_tmux, name, literal, literal_3_1c):
    termloom.Server().has_session(name)
    fake_tmux.version("tmux 3.1c")
    termloom.Server().has_session(name)
    assert fake_tmux.calls == [
        ["tmux", "list-sessions", "-f", "#{==:#{session_name}," + literal + "}", "-F", "#{session_id}"],
        ["tmux", "list-sessions", "-F", "#{?#{==:#{session_name}," + literal_3_1c + "},#{session_id},}"]]


@pytest.mark.shared_files  # the folder is this machine's
@pytest.mark.parametrize("text", ["#[fg=red]x", "a##[b", "?###[#"])
def test_hashes_before_a_bracket_reach_tmux_as_given(real_tmux, text):
    """Window names, titles and start directories are format-expanded too."""
    session = real_tmux.server.new_session("s")
    folder = os.path.join(real_tmux.folder, text)
    os.mkdir(folder)
    window = session.new_window(name=text, directory=folder)
    named = session.new_window()
    named.name = text
    pane = window.panes[0]
    pane.title = text

    def shown(index):
        line = real_tmux.tmux("display-message", "-p", "-t", f"=s:{index}",
                              "#{window_name}|#{pane_title}|#{pane_current_path}")
        return line.rstrip("\n")

    wait_for(lambda: shown(window.index) == f"{text}|{text}|{folder}")
    assert shown(named.index).startswith(f"{text}|")
    assert (window.name, named.name, pane.title) == (text, text, text)
    assert [w.name for w in session.windows if w.index in (window.index, named.index)] == [text, text]


def test_socket_path_is_not_escaped(fake_tmux):
    termloom.Server("/tmp/a;").has_session("s")
    assert fake_tmux.calls == [["tmux", "-S", "/tmp/a;", "list-sessions", "-f", "#{==:#{session_name},s}",
                                "-F", "#{session_id}"]]


# Before 3.2, tmux refuses names with ":" or "." and stores the others as given.
@pytest.mark.parametrize("name, stored, stored_before_3_2", [
    ("x.y", "x_y", None), ("a:b", "a_b", None), ("back\\slash", "back\\\\slash", "back\\slash"),
    ("tab\there", "tab\\there", "tab\there")])
def test_handles_name_the_session_tmux_stored(real_tmux, name, stored, stored_before_3_2):
    """tmux rewrites some names; a handle with the caller's text would name nothing."""
    if real_tmux_before(3, 2):
        stored = stored_before_3_2
        if stored is None:
            with pytest.raises(RuntimeError, match=f"^new session failed: bad session name: {name}$"):
                real_tmux.server.new_session(name)
            assert real_tmux.session_names() == []
            return
    created = real_tmux.server.new_session(name)
    assert created.name == stored and real_tmux.session_names() == [stored]
    assert created.metadata().name == stored
    created.name = "plain"
    created.name = name
    assert created.name == stored and real_tmux.session_names() == [stored]
    assert created.kill() is True
    assert real_tmux.session_names() == []


def test_listed_names_are_exact(real_tmux):
    """With "build" and " build", kill() on the second must not reach the first."""
    for name in ["build", " build", "build "]:
        real_tmux.server.new_session(name)
    listed = {s.name: s for s in real_tmux.server.sessions}
    assert sorted(listed) == [" build", "build", "build "]
    assert listed[" build"].kill() is True
    assert sorted(real_tmux.session_names()) == ["build", "build "]
