"""Session and SessionMetadata."""
import pytest

import termloom

FORMAT = ("#{session_id}|#{session_name}|#{session_created}|#{session_attached}|"
          "#{session_width}|#{session_height}|#{session_windows}")


class TestAgainstRealTmux:
    def test_metadata(self, real_tmux):
        session = real_tmux.server.new_session("meta")
        meta = session.metadata()
        expected = real_tmux.tmux("list-sessions", "-F", FORMAT).strip().split("|")
        assert meta.id == expected[0] and meta.id.startswith("$")
        assert meta.name == "meta"
        assert meta.created == int(expected[2])
        assert meta.attached is False
        assert meta.windows == 1
        assert repr(meta) == str(meta)

    def test_metadata_picks_its_own_line(self, real_tmux):
        real_tmux.server.new_session("ab")
        real_tmux.tmux("new-window", "-t", "=ab")
        a = real_tmux.server.new_session("a")
        assert (a.metadata().name, a.metadata().windows) == ("a", 1)

    def test_rename_then_operations_use_the_new_name(self, real_tmux):
        session = real_tmux.server.new_session("before")
        session.name = "after"
        assert real_tmux.session_names() == ["after"]
        assert session.metadata().name == "after"
        assert session.kill() is True
        assert real_tmux.session_names() == []

    def test_rename_refused(self, real_tmux):
        session = real_tmux.server.new_session("one")
        real_tmux.server.new_session("two")
        with pytest.raises(RuntimeError) as error:
            session.name = "two"
        assert str(error.value) == "rename session failed: duplicate session: two\n"
        assert session.name == "one"

    def test_vanished_session(self, real_tmux):
        session = real_tmux.server.new_session("gone")
        real_tmux.server.new_session("stay")
        other = type(session)("gone", real_tmux.socket)
        other.name = "moved"
        assert session.kill() is False
        with pytest.raises(RuntimeError, match=r'^session "gone" not found$'):
            session.metadata()

    def test_metadata_without_server(self, real_tmux):
        session = type(real_tmux.server.new_session("x"))("x", real_tmux.socket)
        real_tmux.server.kill()
        with pytest.raises(RuntimeError) as error:
            session.metadata()
        message = str(error.value)
        assert message.startswith("tmux failed: ") and message.endswith("\n")


def metadata_from(fake_tmux, stdout, name="work", stderr="", code=0):
    fake_tmux.respond(stdout=name + "\n")  # new-session prints the name it stored
    session = termloom.Server().new_session(name)
    fake_tmux.respond(stdout=stdout, stderr=stderr, code=code)
    return session.metadata()


@pytest.mark.parametrize("line, expected", [
    ("$0|work|100|1|80|24|3",
     'SessionMetadata(id="$0", name="work", created=100, attached=true, width=Some(80), height=Some(24), windows=3)'),
    ("$1|work|18446744073709551615|0|||+0",
     'SessionMetadata(id="$1", name="work", created=18446744073709551615, attached=false, width=None, height=None, windows=0)'),
    ("  $2|work|7|2| 80 |x|4  ",
     'SessionMetadata(id="$2", name="work", created=7, attached=true, width=Some(80), height=None, windows=4)'),
    ("$3|work|7||-1|4294967296|1",
     'SessionMetadata(id="$3", name="work", created=7, attached=true, width=None, height=None, windows=1)'),
])
def test_metadata_parsing(fake_tmux, line, expected):
    meta = metadata_from(fake_tmux, "$9|other|1|1|1|1|1\n" + line + "\n")
    assert repr(meta) == str(meta) == expected
    assert fake_tmux.calls[-1] == ["tmux", "list-sessions", "-F", FORMAT]


@pytest.mark.parametrize("line, message", [
    ("$0|work|-1|0|80|24|1", 'bad session_created "-1": invalid digit found in string'),
    ("$0|work|18446744073709551616|0|80|24|1", 'bad session_created "18446744073709551616": number too large to fit in target type'),
    ("$0|work||0|80|24|1", 'bad session_created "": cannot parse integer from empty string'),
    ("$0|work|1|0|80|24| 1", 'bad session_windows " 1": invalid digit found in string'),
    ("$0|work|x|0|80|24|y", 'bad session_created "x": invalid digit found in string'),
    ("$0|work|1|0|80|24|4294967296", 'bad session_windows "4294967296": number too large to fit in target type'),
    ("$0|wor|1|0|80|24|1", 'session "work" not found'),
    ("$0|work|1|0|80|24", 'session "work" not found'),
    ("$0|work|1|0|80|24|1|extra", 'session "work" not found'),
])
def test_metadata_failures(fake_tmux, line, message):
    with pytest.raises(RuntimeError) as error:
        metadata_from(fake_tmux, line + "\n")
    assert str(error.value) == message


@pytest.mark.parametrize("name", ["a|b", "|", "a||b|", "|1|0|80|24|1"])
def test_name_with_bars_is_read_whole(fake_tmux, name):
    meta = metadata_from(fake_tmux, f"$0|a|1|0|80|24|1\n$1|{name}|5|0|80|24|2\n", name=name)
    assert (meta.id, meta.name, meta.created, meta.windows) == ("$1", name, 5, 2)


def test_metadata_tmux_failure_keeps_stderr_whole(fake_tmux):
    with pytest.raises(RuntimeError) as error:
        metadata_from(fake_tmux, "", stderr=" no server running on /x\n", code=1)
    assert str(error.value) == "tmux failed:  no server running on /x\n"


def lookup(name, socket="/s"):
    return ["tmux", "-S", socket, "list-sessions", "-f", "#{==:#{session_name}," + name + "}",
            "-F", "#{session_id}"]


def test_kill_and_rename_vectors(fake_tmux, Session):
    session = Session("work", "/s")
    fake_tmux.respond(stdout="$4\n").respond()  # look-up, kill
    assert session.kill() is True
    fake_tmux.respond(stdout="$4\n").respond(stdout="new\n")  # look-up, rename and read back
    session.name = "new"
    assert fake_tmux.calls == [
        lookup("work"), ["tmux", "-S", "/s", "kill-session", "-t", "$4"],
        lookup("work"), ["tmux", "-S", "/s", "rename-session", "-t", "$4", "new", ";",
                         "list-sessions", "-f", "#{==:#{session_id},$4}", "-F", "#{session_name}"],
    ]
    fake_tmux.respond(stdout="$4\n").respond(code=1)
    assert session.kill() is False


@pytest.mark.parametrize("response", [dict(), dict(stdout="\n"), dict(stderr="no server\n", code=1)])
def test_a_session_the_look_up_misses_is_not_touched(fake_tmux, Session, response):
    fake_tmux.always(**response)
    session = Session("work", "/s")
    assert session.kill() is False
    with pytest.raises(RuntimeError) as error:
        session.name = "new"
    assert str(error.value) == "rename session failed: " + (response.get("stderr") or "can't find session: work\n")
    assert session.name == "work"
    assert fake_tmux.calls == [lookup("work")] * 2


def test_repr_quotes_name_and_socket(fake_tmux_free_session):
    Session = type(fake_tmux_free_session)
    assert repr(Session("tab\there\0", "/a\u200bb")) == \
        'Session(name="tab\\there\\0", socket=Some("/a\\u{200b}b"))'
