"""The public shape of the seven classes: members, docstrings, signatures."""
import gc
import inspect
import weakref

import pytest

import termloom
from conftest import unpublished_classes

F, S, C, M = "field", "settable", "computed", "method"

# Every member of every class in declaration order: kind, text signature of a
# method, and docstring. Property docstrings carry no signature.
INTERFACE = {
    "Server": ("(socket=None)", [
        ("sessions", C, None, "list sessions in this server\n\nReturns:\n    A list of Session in this server"),
        ("is_running", C, None, "check if a tmux server is running\n\nReturns:\n    True if running, False if not"),
        ("current_socket", C, None, "get the tmux socket path for this server\nif a socket was explicitly "
         "provided, that is returned.\notherwise, the default tmux socket path is returned.\n\nReturns:\n    str"),
        ("new_session", M, "($self, name)", "create a new session\n\nReturns:\n    Session"),
        ("has_session", M, "($self, name)", "check if the server contains a session using a session name\n\n"
         "Returns:\n    True if the session name provided exists, False if not"),
        ("kill", M, "($self)", "kill a tmux server"),
        ("start", M, "($self)", "start a tmux server if none is running\n"),
        ("target_pane", M, "($self, target)",
         'get a Pane object directly from a pane target like "mysess:0.1"\n\nReturns:\n    Pane'),
        ("target_window", M, "($self, target)",
         'get a Window object directly from a window target like "mysess:0"\n\nReturns:\n    Window'),
    ]),
    "Session": ("(name, socket=None)", [
        ("name", S, None, ""),
        ("socket", F, None, ""),
        ("windows", C, None, "get a list of all windows in a session\n\nReturns:\n    Window"),
        ("metadata", M, "($self)",
         "get session metadata\n\nReturns:\n    SessionMetadata\n\nRaises: RuntimeError on failure"),
        ("kill", M, "($self)", "kill this session\n\nReturns:\n    True if the operation is successful"),
    ]),
    "Window": ("(session_name, index, socket, name)", [
        ("session_name", F, None, ""),
        ("index", F, None, ""),
        ("socket", F, None, ""),
        ("name", S, None, ""),
        ("select", C, None, "select a window if not selected\n\nReturns:\n    True if selected, False if the "
         "operation failed"),
        ("panes", C, None, "list panes in a window\n\nReturns:\n    a list of panes available in this window"),
        ("metadata", C, None, "get window metadata\n\nReturns:\n    WindowMetadata"),
        ("next", C, None, "Move to the next tmux window in this session and return it.\n\nReturns:\n    "
         "The newly selected Window, or None if the operation fails."),
        ("previous", C, None, "Move to the previous tmux window in this session and return it.\n\nReturns:\n    "
         "The newly selected Window, or None if the operation fails."),
        ("kill", M, "($self)",
         "kill this window\n\nReturns:\n    True if killed successfully, False if the operation failed"),
    ]),
    "Pane": ("(session_name, window_index, pane_index, pane_id, title, socket)", [
        ("session_name", F, None, ""),
        ("window_index", F, None, ""),
        ("pane_index", F, None, ""),
        ("pane_id", F, None, ""),
        ("title", S, None, ""),
        ("socket", F, None, ""),
        ("select", C, None, "select this pane"),
        ("clear", C, None, "clear a panes history"),
        ("is_alive", C, None, "Whether the pane is alive."),
        ("current_command", C, None, "get this shells current command/program\nwill be the shell name if no "
         "program is active\n\nReturns:\n    a string of the current program running on the pane. e.g. "
         "`ping -q example.com` will only return `ping`"),
        ("current_commandline", C, None, "get this panes current running command with its arguments\n\n"
         "Returns:\n    the program ran in the pane with the arguments used. e.g. `ping -q example.com`"),
        ("last_command", C, None, "get the last command used in this pane\n\nReturns:\n    LastCommand"),
        ("send_keys", M, "($self, keys, enter=False, clear_first=False)",
         "send keys to a pane\n\nArgs:\n    keys: the keys/commands to send to the pane\n    enter: whether "
         "to send enter command and run the command sent\n    clear_first: first clear the screen before "
         "running the command\n\nReturns:\n    True if successfully sent keys\n"),
        ("capture", M, "($self, trim=False, scroll_back=None, full=False)",
         "capture a panes content\n\nArgs:\n    trim: remove trailing whitespaces from the capture output\n"
         "    scroll_back: scroll back this number of lines\n    full: capture full pane output\n\nReturns:\n"
         "    a string of the pane content. any character visible in the pane will ne returned"),
        ("kill", M, "($self)", "Kill this pane."),
        ("resize", M, "($self, direction, amount)",
         'Resize the pane.\n\nArgs:\n    direction: One of "left", "right", "up", or "down".\n    amount: '
         "Number of cells to resize by.\n"),
        ("split", M, "($self, horizontal=False, command=None, keep=True)",
         "Split this pane and return the new pane.\n\nArgs:\n    horizontal: Split horizontally if True, "
         "vertically otherwise.\n    command: Optional command to run in the new pane.\n    keep: keep the "
         "split running after execution is complete, defaults to true\n"),
        ("respawn", M, "($self, command=None, kill=False)",
         "Respawn the pane.\n\nArgs:\n    command: Optional command to run after respawning.\n    kill: Kill "
         "the existing pane process first."),
        ("bash_shell", M, "($self, respawn=False)",
         "Change this pane to bash.\n\nArgs:\n    respawn: If True, kill the current pane process and respawn "
         "it as bash.\n             If False, run `exec bash` inside the pane.\n"),
    ]),
    "LastCommand": (None, [
        ("pane_id", F, None, ""),
        ("socket", F, None, ""),
        ("read", M, "($self)", "Read the last bash command from this pane.\n\nReturns:\n    The last command "
         "as a string.\n\nWARNING: using this function might mess up your pane history"),
        ("run", M, "($self)", "Run the last bash command from this pane.\n\nReturns:\n    True on success."),
    ]),
    "WindowMetadata": (None, [(name, F, None, "") for name in
                              ["index", "name", "active", "layout", "width", "height", "flags"]]),
    "SessionMetadata": (None, [(name, F, None, "") for name in
                               ["id", "name", "created", "attached", "width", "height", "windows"]]),
}


def cls_of(name):
    return termloom.Server if name == "Server" else unpublished_classes()[name]


@pytest.mark.parametrize("name", INTERFACE)
def test_members_and_docstrings(name):
    cls = cls_of(name)
    signature, members = INTERFACE[name]
    own = [n for n in vars(cls) if not n.startswith("__")]
    assert sorted(own) == sorted(m[0] for m in members)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    for member, kind, text_signature, doc in members:
        attribute = vars(cls)[member]
        assert attribute.__doc__ == (doc if kind != F else ""), member
        if kind == M:
            assert attribute.__text_signature__ == text_signature, member
        else:
            assert type(attribute).__name__ == "getset_descriptor", member
    assert ("__repr__" in vars(cls)) == (name != "Server")
    assert ("__str__" in vars(cls)) == (name != "Server")


@pytest.mark.parametrize("name", INTERFACE)
def test_constructors(name):
    cls = cls_of(name)
    signature = INTERFACE[name][0]
    if signature is None:
        assert cls.__doc__ is None
        with pytest.raises(TypeError):
            cls()
    else:
        assert cls.__doc__ == "" and cls.__text_signature__ == signature
        assert str(inspect.signature(cls)) == signature


@pytest.mark.parametrize("name, member, expected", [
    ("Pane", "capture", "(self, /, trim=False, scroll_back=None, full=False)"),
    ("Pane", "split", "(self, /, horizontal=False, command=None, keep=True)"),
    ("Server", "target_pane", "(self, /, target)"),
])
def test_inspect_signatures(name, member, expected):
    assert str(inspect.signature(getattr(cls_of(name), member))) == expected


INSTANCES = {
    "Server": lambda: termloom.Server("/s"),
    "Session": lambda: cls_of("Session")("x"),
    "Window": lambda: cls_of("Window")("s", 0, None, "n"),
    "Pane": lambda: cls_of("Pane")("s", 0, 0, "%1", "t", None),
    "LastCommand": lambda: cls_of("Pane")("s", 0, 0, "%1", "t", None).last_command,
}


@pytest.mark.parametrize("name", INSTANCES)
def test_instances_are_plain_values(name):
    a, b = INSTANCES[name](), INSTANCES[name]()
    assert a != b and a == a and hash(a) != hash(b)
    with pytest.raises(AttributeError):
        a.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(a)
    assert not gc.is_tracked(a)
    with pytest.raises(TypeError):
        type("Sub", (type(a),), {})


@pytest.mark.parametrize("cls, member, value", [
    ("Pane", "pane_id", "x"), ("Pane", "session_name", "x"), ("Window", "index", 1),
    ("LastCommand", "pane_id", "x"), ("Pane", "select", True), ("Window", "panes", []),
])
def test_read_only_members_refuse_assignment(fake_tmux, cls, member, value):
    obj = INSTANCES[cls]()
    with pytest.raises(AttributeError):
        setattr(obj, member, value)
    assert fake_tmux.calls == []


@pytest.mark.parametrize("cls, member", [("Pane", "title"), ("Window", "name"), ("Session", "name")])
def test_settable_deletion_runs_nothing(fake_tmux, cls, member):
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(INSTANCES[cls](), member)
    assert fake_tmux.calls == []
