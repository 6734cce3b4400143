"""The public shape of the seven classes: members, docstrings, signatures."""
import gc
import inspect
import weakref
from collections import namedtuple

import pytest

import termloom
from conftest import unpublished_classes

F, S, C, M = "field", "settable", "computed", "method"
ANY = "typing.Any"  # what the interface records write for optionals and lists

# A parameter: its name, its annotation, the Python source of its default, and
# whether it follows the "*" (keyword only).
Param = namedtuple("Param", "name annotation default keyword_only", defaults=[None, False])
# A member: its kind, the annotation of its result in the interface records and
# its precise type (the same unless the records write typing.Any), its
# parameters (for a settable, the setter's one parameter), and its docstring.
# Property docstrings carry no signature.
Member = namedtuple("Member", "name kind returns result params doc")
# A class: the parameters of its constructor (None: it has none), its members.
Class = namedtuple("Class", "new members")


def field(name, returns, result=None):
    return Member(name, F, returns, result or returns, (), "")


def settable(name, setter_param):
    return Member(name, S, "str", "str", (Param(setter_param, "str"),), "")


def computed(name, returns, doc, result=None):
    return Member(name, C, returns, result or returns, (), doc)


def method(name, params, returns, doc, result=None):
    return Member(name, M, returns, result or returns, tuple(params), doc)


NAME, TARGET = Param("name", "str"), Param("target", "str")
MAPPING = "collections.abc.Mapping[str, str] | None"


def keywords(*params):
    """Keyword-only parameters, each with the default None."""
    return [Param(name, annotation, "None", True) for name, annotation in params]


HISTORY_LIMIT = ("history_limit", "int | None")
TIMEOUT = Param("timeout", "float | None", "10.0")
WAIT_RETURNS = ("Returns:\n    Screen\n\nRaises:\n    TimeoutError at the timeout; RuntimeError at once when the "
                "pane\n    is gone or its process has ended")
SOCKET, OPTIONAL_SOCKET = Param("socket", "str | None"), Param("socket", "str | None", "None")

VALUE, OPTIONAL_TEXT = Param("value", "str"), "str | None"
# The members each class gains for building and inspecting, at the end of its table.
SET_OPTION_DOC = "set an option on this {}\n\nReturns:\n    True"
SHOW_OPTION_DOC = ("the value of an option set on this {}, as tmux prints it\n\nReturns:\n"
                   "    str, or None where none is set")


# A session, window or pane has the options of its own level only.
OWN_LEVEL_RAISES = ("\n\nRaises:\n    ValueError for an option that tmux keeps at another level (any\n"
                    "    \"@name\" is an option of every level); RuntimeError for an unknown one")


def options(level):
    return [method("set_option", [NAME, VALUE], "bool", SET_OPTION_DOC.format(level) + OWN_LEVEL_RAISES),
            method("show_option", [NAME], ANY, SHOW_OPTION_DOC.format(level) + OWN_LEVEL_RAISES,
                   OPTIONAL_TEXT)]


def environment(which):
    return [method("set_environment", [NAME, VALUE], "bool",
                   f"set a variable in the {which} environment, for programs started afterwards\n\n"
                   "Returns:\n    True"),
            method("show_environment", [NAME], ANY,
                   f"a variable of the {which} environment\n\nReturns:\n    str, or None when it is not set",
                   OPTIONAL_TEXT)]


def context_manager(of):
    """__enter__ and __exit__ of a handle that `with` kills at the end of the block."""
    exit_params = [Param("exc_type", "type[BaseException] | None"), Param("exc", "BaseException | None"),
                   Param("traceback", "types.TracebackType | None")]
    return [method("__enter__", [], of, f"Return this {of.lower()}, to be killed at the end of the with block."),
            method("__exit__", exit_params, ANY, f"Kill the {of.lower()}, whether the block ended by an exception "
                   "or not.\n\nReturns:\n    None: an exception of the block propagates", "None")]


def pane_metadata(of):
    return method("pane_metadata", [], ANY, f"every pane of {of} with its state, from one tmux run\n\n"
                  "Returns:\n    list[PaneMetadata]", "list[PaneMetadata]")


# Every member of every class in declaration order.
INTERFACE = {
    "Server": Class([OPTIONAL_SOCKET], [
        computed("sessions", ANY, "list sessions in this server\n\nReturns:\n    A list of Session in this server",
                 "list[Session]"),
        computed("is_running", "bool",
                 "check if a tmux server is running\n\nReturns:\n    True if running, False if not"),
        computed("current_socket", ANY, "get the tmux socket path for this server\nif a socket was explicitly "
                 "provided, that is returned.\notherwise, the default tmux socket path is returned.\n\nReturns:\n"
                 "    str", "str | None"),
        method("new_session", [NAME, *keywords(("width", "int | None"), ("height", "int | None"),
                                               ("directory", "str | None"), ("command", "str | None"),
                                               ("environment", MAPPING), HISTORY_LIMIT)], "Session",
               "create a new session\n\nReturns:\n    Session"),
        method("has_session", [NAME], "bool", "check if the server contains a session using a session name\n\n"
               "Returns:\n    True if the session name provided exists, False if not"),
        method("kill", [], "bool", "kill a tmux server"),
        method("start", [], "bool", "start a tmux server if none is running\n"),
        method("target_pane", [TARGET], "Pane",
               'get a Pane object directly from a pane target like "mysess:0.1"\n\nReturns:\n    Pane'),
        method("target_window", [TARGET], "Window",
               'get a Window object directly from a window target like "mysess:0"\n\nReturns:\n    Window'),
        method("set_option", [NAME, VALUE], "bool", "set a global or server option\n\nReturns:\n    True"),
        method("show_option", [NAME], ANY, "the value of a global or server option, as tmux prints it\n\n"
               "Returns:\n    str, or None where none is set", OPTIONAL_TEXT),
        *environment("global"),
        pane_metadata("the server"),
        method("command", [Param("*args", "str")], "str",
               "Run a tmux command on this server's socket, with the arguments exactly\nas given: they are tmux "
               "syntax, not text to escape.\n\nExample: server.command(\"list-buffers\", \"-F\", "
               "\"#{buffer_name}\")\n\nReturns:\n    str: its standard output\n\nRaises:\n    RuntimeError "
               "with tmux's message when it fails"),
        method("connect", [], "Connection",
               "Open this process's connection to the server: one tmux control-mode\nclient (tmux -C) that every "
               "handle of this server's socket sends its\ncommands through while it is open, instead of running "
               "tmux once per call.\nThe answers stay the same; see the README's \"Connections\" for what the\n"
               "client shows to the server's sessions. Use it as `with server.connect():`\nor close() it; a second "
               "connect() shares the one open.\n\nReturns:\n    Connection"),
        *context_manager("Server"),
    ]),
    "Session": Class([NAME, OPTIONAL_SOCKET], [
        settable("name", "new_name"),
        field("socket", ANY, "str | None"),
        computed("windows", ANY, "get a list of all windows in a session\n\nReturns:\n    Window", "list[Window]"),
        method("metadata", [], "SessionMetadata",
               "get session metadata\n\nReturns:\n    SessionMetadata\n\nRaises: RuntimeError on failure"),
        method("kill", [], "bool", "kill this session\n\nReturns:\n    True if the operation is successful"),
        method("new_window", [Param("name", OPTIONAL_TEXT, "None"), Param("command", OPTIONAL_TEXT, "None"),
                              Param("directory", OPTIONAL_TEXT, "None"),
                              *keywords(("environment", MAPPING), HISTORY_LIMIT)], "Window",
               "create a window at the next free index, not made current\n\nArgs:\n    name: its name; tmux "
               "names it after its program when None\n    command: run instead of the default shell\n    "
               "directory: its start directory; ValueError when it is missing\n\nReturns:\n    Window"),
        *options("session"),
        *environment("session's"),
        pane_metadata("the session"),
        *context_manager("Session"),
    ]),
    "Window": Class([Param("session_name", "str"), Param("index", "int"), SOCKET, NAME], [
        field("session_name", "str"),
        field("index", "int"),
        field("socket", ANY, "str | None"),
        settable("name", "new_name"),
        computed("select", "bool",
                 "select a window if not selected\n\nReturns:\n    True if selected, False if the operation failed"),
        computed("panes", ANY, "list panes in a window\n\nReturns:\n    a list of panes available in this window",
                 "list[Pane]"),
        computed("metadata", "WindowMetadata", "get window metadata\n\nReturns:\n    WindowMetadata"),
        computed("next", ANY, "Move to the next tmux window in this session and return it.\n\nReturns:\n    "
                 "The newly selected Window, or None if the operation fails.", "Window | None"),
        computed("previous", ANY, "Move to the previous tmux window in this session and return it.\n\nReturns:\n"
                 "    The newly selected Window, or None if the operation fails.", "Window | None"),
        method("kill", [], "bool",
               "kill this window\n\nReturns:\n    True if killed successfully, False if the operation failed"),
        method("resize", [Param("width", "int"), Param("height", "int")], "bool",
               "set the window's size in cells; it stays so\n\nReturns:\n    True"),
        method("select_layout", [Param("layout", "str")], "bool",
               "arrange the panes: even-horizontal, even-vertical, main-horizontal, main-vertical, tiled, or a "
               "layout string as WindowMetadata.layout gives it\n\nReturns:\n    True\n\n"
               "Raises:\n    ValueError for any other text, before tmux runs"),
        *options("window"),
        pane_metadata("the window"),
    ]),
    "Pane": Class([Param("session_name", "str"), Param("window_index", "int"), Param("pane_index", "int"),
                   Param("pane_id", "str"), Param("title", "str"), SOCKET], [
        field("session_name", "str"),
        field("window_index", "int"),
        field("pane_index", "int"),
        field("pane_id", "str"),
        settable("title", "title"),
        field("socket", ANY, "str | None"),
        computed("select", "bool", "select this pane"),
        computed("clear", "bool", "clear a panes history"),
        computed("is_alive", "bool", "Whether the pane is alive."),
        computed("current_command", ANY, "get this shells current command/program\nwill be the shell name if no "
                 "program is active\n\nReturns:\n    a string of the current program running on the pane. e.g. "
                 "`ping -q example.com` will only return `ping`", "str | None"),
        computed("current_commandline", ANY, "get this panes current running command with its arguments\n\n"
                 "Returns:\n    the program ran in the pane with the arguments used. e.g. `ping -q example.com`",
                 "str | None"),
        computed("last_command", "LastCommand",
                 "get the last command used in this pane\n\nReturns:\n    LastCommand"),
        method("send_keys", [Param("keys", "str"), Param("enter", "bool", "False"),
                             Param("clear_first", "bool", "False")], "bool",
               "send keys to a pane\n\nArgs:\n    keys: the keys/commands to send to the pane\n    enter: whether "
               "to send enter command and run the command sent\n    clear_first: first clear the screen before "
               "running the command\n\nReturns:\n    True if successfully sent keys\n"),
        method("capture", [Param("trim", "bool", "False"), Param("scroll_back", "int | None", "None"),
                           Param("full", "bool", "False")], ANY,
               "capture a panes content\n\nArgs:\n    trim: remove trailing whitespaces from the capture output\n"
               "    scroll_back: scroll back this number of lines\n    full: capture full pane output\n\nReturns:\n"
               "    a string of the pane content. any character visible in the pane will ne returned", "str | None"),
        method("kill", [], "bool", "Kill this pane."),
        method("resize", [Param("direction", "str"), Param("amount", "int")], "bool",
               'Resize the pane.\n\nArgs:\n    direction: One of "left", "right", "up", or "down".\n    amount: '
               "Number of cells to resize by.\n"),
        method("split", [Param("horizontal", "bool", "False"), Param("command", "str | None", "None"),
                         Param("keep", "bool", "True"),
                         *keywords(("size", "int | None"), ("percent", "int | None"), ("directory", "str | None"),
                                   ("environment", MAPPING), HISTORY_LIMIT)], "Pane",
               "Split this pane and return the new pane.\n\nArgs:\n    horizontal: Split horizontally if True, "
               "vertically otherwise.\n    command: Optional command to run in the new pane.\n    keep: keep the "
               "split running after execution is complete, defaults to true\n"),
        method("respawn", [Param("command", "str | None", "None"), Param("kill", "bool", "False")], "bool",
               "Respawn the pane.\n\nArgs:\n    command: Optional command to run after respawning.\n    kill: Kill "
               "the existing pane process first."),
        method("bash_shell", [Param("respawn", "bool", "False")], "bool",
               "Change this pane to bash.\n\nArgs:\n    respawn: If True, kill the current pane process and respawn "
               "it as bash.\n             If False, run `exec bash` inside the pane.\n"),
        method("send_text", [Param("text", "str"), Param("enter", "bool", "False")], "bool",
               "Type text literally: no word in it is read as a key name.\n\nArgs:\n    text: the text; a line "
               "feed arrives as the Enter key does\n    enter: press Enter after it\n\nReturns:\n    True"),
        method("screen", [Param("escapes", "bool", "False"), Param("styles", "bool", "False")], "Screen",
               "One snapshot of the visible screen.\n\nArgs:\n    escapes: keep the colour and attribute escape "
               "sequences\n    styles: also read every cell's character, width, colours and\n        attributes "
               "(Screen.cells, Screen.svg), in the same tmux run\n\nReturns:\n    Screen"),
        method("screenshot", [Param("path", "str"), Param("title", "str | None", "None")], "Screen",
               "Write a picture of the visible screen as an SVG document.\n\nArgs:\n    path: the file, created "
               "or replaced\n    title: a title drawn above the screen, or None\n\nReturns:\n    Screen: the "
               "styled screen pictured\n\nRaises:\n    RuntimeError when the file cannot be written (naming it "
               "and why)\n    or the screen's cells cannot be known for sure; ValueError for a\n    title with "
               "control characters"),
        method("wait_for", [Param("pattern", "str | re.Pattern[str]"), TIMEOUT,
                            Param("after", "Screen | int | None", "None")], "Screen",
               "Wait until the visible screen matches and return that snapshot.\n\nThe pattern sees the screen as "
               "written, trailing blanks included, so\n\">>> \" finds a prompt; the Screen returned has them cut as "
               "usual.\n\nArgs:\n    pattern: a str the "
               "screen must contain, or a compiled pattern that\n        must find something in it (pattern.search)\n"
               "    timeout: seconds, or None for no limit\n    after: a Screen taken before the action: the "
               "pattern then sees\n        only what the pane's programs wrote after it, as text (see\n        "
               "expect); or a line counted from the top of the history\n        (screen.history_size + "
               "screen.cursor_y); None: all of it\n\n" + WAIT_RETURNS
               + ", or when after is a line and the\n    history is full, or a Screen that holds no moment (see "
               "screen),\n    so new output cannot be told from old"),
        method("wait_exit", [Param("timeout", "float | None", "None")], ANY,
               "Wait until the pane's program has ended.\n\nIts status is known while the pane stays "
               "(remain-on-exit on).\n\nArgs:\n    timeout: seconds, or None for no limit\n\nReturns:\n    int: its "
               "exit status, 128+N after signal N; None when tmux does\n    not know it (the pane is gone)\n\n"
               "Raises:\n    TimeoutError at the timeout", "int | None"),
        method("paste", [Param("text", "str"), Param("bracketed", "bool", "True")], "bool",
               "Paste text into the pane through a private tmux buffer, deleted\nafterwards even when pasting "
               "fails. Any size, any characters; line\nfeeds arrive as Enter.\n\nArgs:\n    text: the text\n    bracketed: mark it as "
               "pasted for programs that ask for it, so a\n        REPL does not indent pasted code again\n\n"
               "Returns:\n    True"),
        method("record", [Param("path", "str")], "bool",
               "Record everything the pane's program writes from now on, with\ntimestamps, as an asciicast v2 file "
               "(asciinema plays it).\n\nArgs:\n    path: the file, created or replaced\n\nReturns:\n    True\n\n"
               "Raises:\n    RuntimeError when the pane records already, its output is piped\n    elsewhere "
               "(pipe-pane), or the file cannot be written"),
        method("stop_recording", [], "bool",
               "Stop recording; the file is complete when this returns.\n\nReturns:\n    True; False when the "
               "pane was not recording\n\nRaises:\n    RuntimeError when the recording lost output (a write "
               "failed, or the\n    pane's pipe was closed while it recorded)"),
        method("wait_quiet", [Param("quiet", "float", "0.5"), TIMEOUT], "Screen",
               "Wait until the screen (text and cursor) has not changed for `quiet`\nseconds and return it.\n\n"
               "Args:\n    quiet: seconds without a change\n    timeout: seconds, or None for no limit\n\n"
               + WAIT_RETURNS),
        method("expect", [Param("pattern", "str | re.Pattern[str]"), TIMEOUT,
                          Param("after", "Screen | int | None", "None")], "Expectation",
               "Wait for the next match in what the pane's programs write, as text.\n\nThe text is everything "
               "written since the previous expect on this pane\n(or since `after`), with the terminal's escape "
               "sequences left out and\nline ends as \"\\n\"; the next expect starts after this match.\n\nArgs:\n"
               "    pattern: a str to find, or a compiled pattern that must find\n        something in it "
               "(pattern.search)\n    timeout: seconds, or None for no limit\n    after: a Screen: start from "
               "the moment it was taken instead\n\nReturns:\n    Expectation: the text before the match, the "
               "match, its groups\n\nRaises:\n    TimeoutError at the timeout; RuntimeError at once when the "
               "pane\n    is gone, or when its output is piped elsewhere (pipe-pane)"),
        method("run", [Param("command", "str"), Param("timeout", "float | None", "None")], "CommandResult",
               "Run a command in the shell at the pane's prompt and wait for its end.\n\nThe shell is the pane's "
               "own (POSIX: bash, dash, zsh, ksh), so cd and\nvariables persist. The command may be anything typed "
               "at a prompt.\n\nArgs:\n    command: the command line, or several lines\n    timeout: seconds, or "
               "None for no limit; at the timeout the command\n        is left running\n\nReturns:\n    "
               "CommandResult: the command, its exit status and its output as\n    the pane shows it\n\nRaises:\n"
               "    TimeoutError at the timeout; RuntimeError at once when the shell\n    exits, when an earlier "
               "run's command still goes on, or when the\n    pane's output is piped elsewhere (pipe-pane)"),
        method("metadata", [], "PaneMetadata", "this pane's state, from one tmux run\n\nReturns:\n    PaneMetadata"),
        *options("pane"),
    ]),
    "LastCommand": Class(None, [
        field("pane_id", "str"),
        field("socket", ANY, "str | None"),
        method("read", [], "str", "Read the last bash command from this pane.\n\nReturns:\n    The last command "
               "as a string.\n\nWARNING: using this function might mess up your pane history"),
        method("run", [], "bool", "Run the last bash command from this pane.\n\nReturns:\n    True on success."),
    ]),
    "WindowMetadata": Class(None, [
        field("index", "int"), field("name", "str"), field("active", "bool"), field("layout", "str"),
        field("width", ANY, "int | None"), field("height", ANY, "int | None"), field("flags", "str"),
    ]),
    "SessionMetadata": Class(None, [
        field("id", "str"), field("name", "str"), field("created", "int"), field("attached", "bool"),
        field("width", ANY, "int | None"), field("height", ANY, "int | None"), field("windows", "int"),
    ]),
    "Screen": Class(None, [
        field("text", "str"), field("cursor_x", "int"), field("cursor_y", "int"), field("width", "int"),
        field("height", "int"), field("alternate", "bool"), field("history_size", "int"),
        computed("cells", ANY, "The cells of a screen taken with styles=True: a list of rows, each a\nlist of one "
                 "Cell per column; None otherwise. Built on each read.", "list[list[Cell]] | None"),
        method("svg", [Param("title", "str | None", "None")], "str",
               "A picture of the screen as an SVG 1.1 document: the same screen\ngives the same text.\n\nArgs:\n"
               "    title: a title drawn above the screen, or None\n\nReturns:\n    str\n\nRaises:\n"
               "    RuntimeError for a screen taken without styles=True; ValueError\n    for a title with control "
               "characters"),
    ]),
    "Cell": Class(None, [
        field("char", "str"), field("width", "int"), field("fg", "str"), field("bg", "str"),
        field("underline", "str"), field("underline_colour", ANY, "str | None"), field("bold", "bool"),
        field("dim", "bool"), field("italic", "bool"), field("blink", "bool"), field("reverse", "bool"),
        field("hidden", "bool"), field("strike", "bool"), field("overline", "bool"),
    ]),
    "CommandResult": Class(None, [field("command", "str"), field("status", "int"), field("output", "str")]),
    "Expectation": Class(None, [field("before", "str"), field("text", "str"),
                                field("groups", ANY, "list[str | None]")]),
    "Connection": Class(None, [
        field("socket", ANY, "str | None"),
        computed("is_open", "bool", "whether this connection is open (not closed yet)\n\nReturns:\n    bool"),
        computed("client_pid", ANY, "the process id of the tmux control client serving this server now\n\n"
                 "Returns:\n    int, or None while there is none (the server has no session yet,\n    or the "
                 "connection is closed)", "int | None"),
        method("close", [], "bool", "Close this connection. The control client ends (killed and reaped) when\n"
               "the last open connection of its server is closed; then every call runs\ntmux once again.\n\n"
               "Returns:\n    True, or False when it was closed already"),
        method("__enter__", [], "Connection", "Return this connection, to be closed at the end of the with block."),
        method("__exit__", [Param("exc_type", "type[BaseException] | None"), Param("exc", "BaseException | None"),
                            Param("traceback", "types.TracebackType | None")], ANY,
               "Close the connection, whether the block ended by an exception or not.\n\n"
               "Returns:\n    None: an exception of the block propagates", "None"),
    ]),
    "PaneMetadata": Class(None, [
        field("session_name", "str"), field("window_index", "int"), field("window_name", "str"),
        field("pane_index", "int"), field("pane_id", "str"), field("title", "str"), field("active", "bool"),
        field("width", "int"), field("height", "int"), field("cursor_x", "int"), field("cursor_y", "int"),
        field("pid", ANY, "int | None"), field("current_command", "str"), field("current_path", "str"),
        field("dead", "bool"), field("dead_status", ANY, "int | None"), field("in_mode", "bool"),
        field("history_size", "int"), field("tty", "str"), field("session_id", "str"),
        field("window_id", "str"),
        computed("pane", "Pane", "the Pane this record describes (runs no tmux)"),
    ]),
}

# __repr__ and __str__ are one function, in every class but Server.
REPRESENTED = [name for name in INTERFACE if name != "Server"]


# A function of a class's interface: the constructor, a property's getter or
# setter, a method or a slot, with its first parameter, the rest, the
# annotation of its result in the records, its precise result and decorators.
Function = namedtuple("Function", "name first params returns result decorators")
SLOTS = ("__repr__", "__str__")


def functions_of(class_name):
    cls = INTERFACE[class_name]
    if cls.new is not None:
        yield Function("__new__", "cls", cls.new, "None", class_name, ())
    for m in cls.members:
        if m.kind in (F, S, C):
            yield Function(m.name, "self", (), m.returns, m.result, ("property",))
        if m.kind == S:
            yield Function(m.name, "self", m.params, ANY, "None", (f"{m.name}.setter",))
        if m.kind == M:
            yield Function(m.name, "self", m.params, m.returns, m.result, ())
    if class_name in REPRESENTED:
        for slot in SLOTS:
            yield Function(slot, "self", (), "str", "str", ())


def parameter_list(params):
    """The parameters as a text signature writes them: "keys, enter=False",
    "name, *, width=None"."""
    written = []
    for p in params:
        if p.keyword_only and "*" not in written:
            written.append("*")
        written.append(p.name if p.default is None else f"{p.name}={p.default}")
    return ", ".join(written)


def text_signature(member):
    return f"($self{', ' if member.params else ''}{parameter_list(member.params)})"


def cls_of(name):
    return termloom.Server if name == "Server" else unpublished_classes()[name]


@pytest.mark.parametrize("name", INTERFACE)
def test_members_and_docstrings(name):
    cls = cls_of(name)
    members = INTERFACE[name].members
    own = [n for n in vars(cls) if not n.startswith("__") or n in ("__enter__", "__exit__")]
    assert sorted(own) == sorted(m.name for m in members)
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "builtins")
    for member in members:
        attribute = vars(cls)[member.name]
        assert attribute.__doc__ == member.doc, member.name
        if member.kind == M:
            assert attribute.__text_signature__ == text_signature(member), member.name
        else:
            assert type(attribute).__name__ == "getset_descriptor", member.name
    assert ("__repr__" in vars(cls)) == (name in REPRESENTED)
    assert ("__str__" in vars(cls)) == (name in REPRESENTED)


@pytest.mark.parametrize("name", INTERFACE)
def test_constructors(name):
    cls = cls_of(name)
    params = INTERFACE[name].new
    if params is None:
        assert cls.__doc__ is None
        with pytest.raises(TypeError):
            cls()
    else:
        signature = f"({parameter_list(params)})"
        assert cls.__doc__ == "" and cls.__text_signature__ == signature
        assert str(inspect.signature(cls)) == signature


@pytest.mark.parametrize("name, member, expected", [
    ("Pane", "capture", "(self, /, trim=False, scroll_back=None, full=False)"),
    ("Pane", "split", "(self, /, horizontal=False, command=None, keep=True, *, size=None, percent=None, "
                      "directory=None, environment=None, history_limit=None)"),
    ("Server", "target_pane", "(self, /, target)"),
    ("Server", "new_session", "(self, /, name, *, width=None, height=None, directory=None, command=None, "
                              "environment=None, history_limit=None)"),
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
