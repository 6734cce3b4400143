"""Argument binding, value conversion, properties and the access guard."""
import signal

import pytest

import termloom


@pytest.mark.parametrize("call, message", [
    (lambda S, Ses: S("a", "b"),
     "Server.__new__() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda S, Ses: S(sock="x"), "Server.__new__() got an unexpected keyword argument 'sock'"),
    (lambda S, Ses: S("a", socket="b"), "Server.__new__() got multiple values for argument 'socket'"),
    (lambda S, Ses: Ses(), "Session.__new__() missing 1 required positional argument: 'name'"),
    (lambda S, Ses: Ses(socket=None), "Session.__new__() missing 1 required positional argument: 'name'"),
    (lambda S, Ses: Ses("a", None, "c"),
     "Session.__new__() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda S, Ses: S().has_session(), "Server.has_session() missing 1 required positional argument: 'name'"),
    (lambda S, Ses: S().has_session("a", "b"),
     "Server.has_session() takes 1 positional arguments but 2 were given"),
    (lambda S, Ses: S().new_session("a", name="b"),
     "Server.new_session() got multiple values for argument 'name'"),
    (lambda S, Ses: S().new_session(nam="b"), "Server.new_session() got an unexpected keyword argument 'nam'"),
    (lambda S, Ses: S(1), "argument 'socket': 'int' object cannot be cast as 'str'"),
    (lambda S, Ses: S(b"/s"), "argument 'socket': 'bytes' object cannot be cast as 'str'"),
    (lambda S, Ses: Ses(1), "argument 'name': 'int' object cannot be cast as 'str'"),
    (lambda S, Ses: Ses("a", 2.5), "argument 'socket': 'float' object cannot be cast as 'str'"),
    (lambda S, Ses: S().has_session(name=None), "argument 'name': 'NoneType' object cannot be cast as 'str'"),
])
def test_binding_errors(fake_tmux, Session, call, message):
    before = len(fake_tmux.calls)
    with pytest.raises(TypeError) as error:
        call(termloom.Server, Session)
    assert str(error.value) == message
    assert len(fake_tmux.calls) == before  # refused before tmux ran


def test_methods_without_parameters_refuse_arguments(fake_tmux):
    with pytest.raises(TypeError):
        termloom.Server().kill(1)
    with pytest.raises(TypeError):
        termloom.Server().start(force=True)
    assert fake_tmux.calls == []


def test_binding_error_comes_before_conversion(fake_tmux):
    # Both arguments are wrong; the binding failure is the one reported.
    with pytest.raises(TypeError, match="takes 1 positional arguments but 2 were given"):
        termloom.Server().has_session(1, 2)


def test_keywords_and_positions_both_bind(fake_tmux):
    fake_tmux.always(code=0)
    assert termloom.Server(socket="/k").has_session(name="a") is True
    assert termloom.Server("/p").has_session("b") is True
    assert [c[1:3] for c in fake_tmux.calls] == [["-S", "/k"], ["-S", "/p"]]


class Text(str):
    pass


@pytest.mark.parametrize("value, stored", [
    ("", ""), ("a\0b", "a\0b"), (Text("sub"), "sub"), ("ünï 中 🎉", "ünï 中 🎉"),
])
def test_text_arguments(Session, value, stored):
    session = Session(value, value)
    assert session.name == stored and type(session.name) is str
    assert session.socket == stored


def test_lone_surrogate_is_the_interpreters_error(Session):
    with pytest.raises(UnicodeEncodeError):
        Session("\udc80")


def test_socket_defaults_to_absent(Session):
    assert Session("s").socket is None
    assert Session("s", None).socket is None
    assert repr(Session("s")) == 'Session(name="s", socket=None)'


def test_cast_error_names_the_qualified_type(Session):
    class Weird:
        pass
    with pytest.raises(TypeError) as error:
        Session(Weird())
    assert str(error.value) == (
        "argument 'name': 'test_cast_error_names_the_qualified_type.<locals>.Weird'"
        " object cannot be cast as 'str'")


class TestSettableName:
    def test_delete_is_refused_without_running_tmux(self, fake_tmux, Session):
        before = len(fake_tmux.calls)
        with pytest.raises(AttributeError, match="^can't delete attribute$"):
            del Session("x").name
        assert len(fake_tmux.calls) == before

    def test_wrong_type_names_the_setter_parameter(self, fake_tmux, Session):
        with pytest.raises(TypeError, match="^argument 'new_name': 'int' object cannot be cast as 'str'$"):
            Session("x").name = 5

    def test_failed_rename_keeps_the_old_name(self, fake_tmux, Session):
        session = Session("old")
        fake_tmux.respond(stderr="can't find session: old\n", code=1)
        with pytest.raises(RuntimeError) as error:
            session.name = "new"
        assert str(error.value) == "rename session failed: can't find session: old\n"
        assert session.name == "old"

    def test_successful_rename_stores_the_callers_text(self, fake_tmux, Session):
        session = Session("old", "/s")
        fake_tmux.respond()
        session.name = "a#b"
        assert session.name == "a#b"
        assert fake_tmux.calls[-1] == ["tmux", "-S", "/s", "rename-session", "-t", "=old", "a##b"]


def test_repr_and_str_agree(Session):
    session = Session('we"ird\\\n\t', "")
    assert repr(session) == str(session) == 'Session(name="we\\"ird\\\\\\n\\t", socket=Some(""))'


def test_access_guard_refuses_reentry_from_a_signal_handler(fake_tmux, Session):
    """A handler that renames the session while one of its calls waits for tmux."""
    session = Session("s")
    fake_tmux.respond(sleep=5)  # list-sessions of metadata(): hangs until interrupted
    seen = []

    def rename_during_call(signum, frame):
        try:
            session.name = "other"
        except RuntimeError as error:
            seen.append(str(error))
            raise

    previous = signal.signal(signal.SIGALRM, rename_during_call)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            session.metadata()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert seen == ["Already borrowed"]
    assert session.name == "s"
