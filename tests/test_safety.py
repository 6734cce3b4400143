"""No Python code can crash the interpreter or lose an exception's context."""
import os
import subprocess
import sys
import textwrap
import unittest.mock

import pytest

import termloom
from conftest import unpublished_classes

# Every public member of every class, with arguments that would be valid.
MEMBERS = {
    "Server": {"sessions": (), "is_running": (), "current_socket": (), "new_session": ("x",),
               "has_session": ("x",), "kill": (), "start": (), "target_pane": ("x",), "target_window": ("x",)},
    "Session": {"name": (), "socket": (), "windows": (), "metadata": (), "kill": ()},
    "SessionMetadata": {n: () for n in ["id", "name", "created", "attached", "width", "height", "windows"]},
    "Window": {n: () for n in ["session_name", "index", "socket", "name", "select", "panes", "metadata", "next",
                               "previous", "kill"]},
    "WindowMetadata": {n: () for n in ["index", "name", "active", "layout", "width", "height", "flags"]},
    "Pane": {**{n: () for n in ["session_name", "window_index", "pane_index", "pane_id", "title", "socket",
                                "select", "clear", "is_alive", "current_command", "current_commandline",
                                "last_command", "kill", "bash_shell", "respawn", "split", "capture"]},
             "send_keys": ("x",), "resize": ("up", 1)},
    "LastCommand": {"pane_id": (), "socket": (), "read": (), "run": ()},
    "PaneMetadata": {n: () for n in ["session_name", "window_index", "window_name", "pane_index", "pane_id",
                                     "title", "active", "width", "height", "cursor_x", "cursor_y", "pid",
                                     "current_command", "current_path", "dead", "dead_status", "in_mode",
                                     "history_size", "tty", "session_id", "window_id", "pane"]},
}
# The members for building and inspecting, on the classes that have them.
for _name, _members in {
    "Server": {"set_option": ("x", "y"), "show_option": ("x",), "set_environment": ("x", "y"),
               "show_environment": ("x",), "pane_metadata": ()},
    "Session": {"new_window": (), "set_option": ("x", "y"), "show_option": ("x",),
                "set_environment": ("x", "y"), "show_environment": ("x",), "pane_metadata": ()},
    "Window": {"resize": (80, 24), "select_layout": ("tiled",), "set_option": ("x", "y"),
               "show_option": ("x",), "pane_metadata": ()},
    "Pane": {"metadata": (), "set_option": ("x", "y"), "show_option": ("x",)},
}.items():
    MEMBERS[_name].update(_members)
SETTABLE = {"Session": "name", "Window": "name", "Pane": "title"}

UNBUILT = textwrap.dedent("""
    import sys
    import termloom
    sys.path.insert(0, {tests!r})
    from conftest import unpublished_classes
    cls = termloom.Server if {name!r} == "Server" else unpublished_classes()[{name!r}]
    cls.__new__ = staticmethod(lambda c, *a, **k: object.__new__(c))
    obj = cls("s", 0, 0, "%1", "t", None) if {name!r} == "Pane" else cls()
    failures = []
    for member, args in {members!r}.items():
        try:
            value = getattr(obj, member)
            if callable(value):
                value(*args)
            failures.append(member)
        except TypeError as error:
            if "was not made by its class" not in str(error):
                failures.append((member, str(error)))
    attempts = [] if cls is termloom.Server else [repr, str]  # Server's are the interpreter's
    if {settable!r}:
        attempts.append(lambda o: setattr(o, {settable!r}, "y"))
    for attempt in attempts:
        try:
            attempt(obj)
            failures.append(attempt)
        except TypeError:
            pass
    del obj  # deallocating an object without a value
    print("failures:", failures)
""")


@pytest.mark.parametrize("name", MEMBERS)
def test_an_object_a_replaced_new_made_is_refused(fake_tmux, name):
    """object.__new__ behind a replaced __new__ makes an object with no value."""
    code = UNBUILT.format(tests=os.path.dirname(__file__), name=name, members=MEMBERS[name],
                          settable=SETTABLE.get(name))
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "failures: []\n"
    assert fake_tmux.calls == []  # nothing reached tmux


def test_types_stay_patchable():
    with unittest.mock.patch.object(termloom.Server, "is_running", new=property(lambda self: "patched")):
        assert termloom.Server().is_running == "patched"
    assert isinstance(termloom.Server.is_running, type(termloom.Server.sessions))


@pytest.mark.parametrize("source, target", [("Session", "LastCommand"), ("Window", "Pane"),
                                            ("Session", "Window")])
def test_class_assignment_across_classes_is_refused(source, target):
    classes = unpublished_classes()
    obj = classes[source]("s", 0, None, "n") if source == "Window" else classes[source]("s")
    with pytest.raises(TypeError):
        obj.__class__ = classes[target]
    assert type(obj) is classes[source] and repr(obj).startswith(source)


@pytest.mark.parametrize("call", [
    lambda S: S(1),
    lambda S: termloom.Server(socket=5),
    lambda S: termloom.Server().has_session(None),
])
def test_argument_errors_keep_the_exception_being_handled(Session, call):
    try:
        raise KeyError("handled")
    except KeyError as caught:
        handled = caught
        with pytest.raises(TypeError) as error:
            call(Session)
    assert error.value.__context__ is handled
    assert error.value.__suppress_context__ is False and error.value.__cause__ is None
