"""Argument binding, value conversion, properties and the access guard."""
import signal

import pytest

import termloom
from conftest import unpublished_classes


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
    fake_tmux.always(stdout="$0\n")
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
        fake_tmux.respond(stdout="$0\n")  # the look-up
        fake_tmux.respond(stderr="can't find session: old\n", code=1)
        with pytest.raises(RuntimeError) as error:
            session.name = "new"
        assert str(error.value) == "rename session failed: can't find session: old\n"
        assert session.name == "old"

    def test_successful_rename_stores_the_callers_text(self, fake_tmux, Session):
        session = Session("old", "/s")
        fake_tmux.respond(stdout="$0\n").respond()  # look-up, rename (nothing read back)
        session.name = "a#b"
        assert session.name == "a#b"
        assert fake_tmux.calls[-1][:7] == ["tmux", "-S", "/s", "rename-session", "-t", "$0", "a##b"]


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


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def numpy_like_bool(value, with_bool=True):
    """A stand-in for numpy.bool_: accepted by its type's name and module."""
    body = {"__module__": "numpy"}
    if with_bool:
        body["__bool__"] = lambda self: value
    return type("bool_", (), body)()


@pytest.mark.parametrize("value, stored", [
    (0, 0), (4294967295, 4294967295), (True, 1), (False, 0), (Index(7), 7),
])
def test_unsigned_arguments(Pane, value, stored):
    assert Pane("s", value, 0, "%1", "t", None).window_index == stored


@pytest.mark.parametrize("value, error, message", [
    (4294967296, OverflowError, "out of range integral type conversion attempted"),
    (2 ** 64, OverflowError, None),
    (-1, OverflowError, None),
    (1.0, TypeError, "argument 'window_index': 'float' object cannot be interpreted as an integer"),
    ("1", TypeError, "argument 'window_index': 'str' object cannot be interpreted as an integer"),
    (None, TypeError, "argument 'window_index': 'NoneType' object cannot be interpreted as an integer"),
    (Index(-2), OverflowError, None),
])
def test_unsigned_argument_errors(Pane, value, error, message):
    with pytest.raises(error) as raised:
        Pane("s", value, 0, "%1", "t", None)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    if error is OverflowError:
        assert "window_index" not in str(raised.value)


@pytest.mark.parametrize("scroll_back, extra", [(None, []), (3, ["-S", "-3"]), (Index(0), ["-S", "-0"])])
def test_optional_unsigned_argument(fake_tmux, Pane, scroll_back, extra):
    Pane("s", 0, 0, "%1", "t", None).capture(scroll_back=scroll_back)
    assert fake_tmux.calls == [["tmux", "capture-pane", "-p", "-t", "%1"] + extra]


@pytest.mark.parametrize("scroll_back, error", [(-1, OverflowError), (2 ** 32, OverflowError), ("5", TypeError)])
def test_optional_unsigned_argument_errors(fake_tmux, Pane, scroll_back, error):
    with pytest.raises(error):
        Pane("s", 0, 0, "%1", "t", None).capture(scroll_back=scroll_back)
    assert fake_tmux.calls == []


@pytest.mark.parametrize("flag, sent", [
    (True, True), (False, False), (numpy_like_bool(True), True), (numpy_like_bool(False), False),
])
def test_flag_arguments(fake_tmux, Pane, flag, sent):
    Pane("s", 0, 0, "%1", "t", None).send_keys("x", enter=flag)
    assert fake_tmux.calls[-1][-1] == ("Enter" if sent else "x")


@pytest.mark.parametrize("flag, message", [
    (1, "argument 'enter': 'int' object cannot be cast as 'bool'"),
    (0, "argument 'enter': 'int' object cannot be cast as 'bool'"),
    (None, "argument 'enter': 'NoneType' object cannot be cast as 'bool'"),
    ("yes", "argument 'enter': 'str' object cannot be cast as 'bool'"),
    (numpy_like_bool(True, with_bool=False),
     "argument 'enter': object of type 'bool_' does not define a '__bool__' conversion"),
    (numpy_like_bool(1), "argument 'enter': 'int' object cannot be cast as 'bool'"),
])
def test_flag_argument_errors(fake_tmux, Pane, flag, message):
    with pytest.raises(TypeError) as error:
        Pane("s", 0, 0, "%1", "t", None).send_keys("x", enter=flag)
    assert str(error.value) == message
    assert fake_tmux.calls == []


@pytest.mark.parametrize("call, message", [
    (lambda P, W: P("s", 0, 0, "%1", "t"), "Pane.__new__() missing 1 required positional argument: 'socket'"),
    (lambda P, W: W("s"),
     "Window.__new__() missing 3 required positional arguments: 'index', 'socket', and 'name'"),
    (lambda P, W: W(session_name="s", socket=None),
     "Window.__new__() missing 2 required positional arguments: 'index' and 'name'"),
    (lambda P, W: P(1, 0, 0, "%1", "t", None), "argument 'session_name': 'int' object cannot be cast as 'str'"),
    (lambda P, W: P("s", 0, 0, "%1", "t", None).resize("up"),
     "Pane.resize() missing 1 required positional argument: 'amount'"),
    (lambda P, W: P("s", 0, 0, "%1", "t", None).capture(False, None, False, 1),
     "Pane.capture() takes from 0 to 3 positional arguments but 4 were given"),
    (lambda P, W: P("s", 0, 0, "%1", "t", None).split(cmd="x"),
     "Pane.split() got an unexpected keyword argument 'cmd'"),
    (lambda P, W: P("s", 0, 0, "%1", "t", None).send_keys("a", keys="b"),
     "Pane.send_keys() got multiple values for argument 'keys'"),
    (lambda P, W: P("s", 0, 0, "%1", "t", None).bash_shell(1),
     "argument 'respawn': 'int' object cannot be cast as 'bool'"),
    (lambda P, W: P("s", 0, 0, "%1", "t", None).kill(True), None),
])
def test_binding_errors_of_windows_and_panes(fake_tmux, Pane, Window, call, message):
    with pytest.raises(TypeError) as error:
        call(Pane, Window)
    if message is not None:
        assert str(error.value) == message
    assert fake_tmux.calls == []


@pytest.mark.parametrize("cls, member, argument", [("Pane", "title", "title"), ("Window", "name", "new_name")])
def test_setter_conversion_names_its_parameter(fake_tmux, cls, member, argument):
    obj = {"Pane": lambda P: P("s", 0, 0, "%1", "t", None),
           "Window": lambda W: W("s", 0, None, "n")}[cls](unpublished_classes()[cls])
    with pytest.raises(TypeError) as error:
        setattr(obj, member, 5)
    assert str(error.value) == f"argument '{argument}': 'int' object cannot be cast as 'str'"
    assert fake_tmux.calls == []
