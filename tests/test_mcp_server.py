"""termloom-mcp, driven by the MCP SDK's own client over stdio (and HTTP once),
against the server's private tmux server or one a fixture started."""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import pytest

if "libasan" in os.environ.get("LD_PRELOAD", ""):
    # The SDK's own extension modules (pydantic_core, cryptography's bindings) leave
    # memory behind at exit, which the sanitizer run's leak check reports.
    pytest.skip("the MCP SDK is not imported under the sanitizers", allow_module_level=True)
mcp = pytest.importorskip("mcp", reason="the MCP Python SDK is not installed (pip install mcp)")
anyio = pytest.importorskip("anyio")
from anyio.from_thread import start_blocking_portal  # noqa: E402
from mcp import Client  # noqa: E402
from mcp.client.stdio import StdioServerParameters  # noqa: E402
from mcp.types.version import LATEST_HANDSHAKE_VERSION, LATEST_PROTOCOL_VERSION  # noqa: E402

CURRENT, LEGACY = LATEST_PROTOCOL_VERSION, "legacy"
PROMPT = re.compile(r"[$#] *$", re.M)  # a shell prompt; before tmux 3.4 lines are padded, or cut at blanks
TOOLS = {"list_panes", "new_session", "new_window", "split_pane", "kill", "send_text", "send_keys",
         "screen", "wait_for", "run", "paste"}
SLOW = 30.0  # seconds: a bound for what should take a moment, on a loaded machine


def server_environment(home):
    """What a client would hand the server, and nothing of the caller's shell set-up."""
    env = {"PATH": os.environ["PATH"], "HOME": home, "SHELL": shutil.which("bash"),
           "TERM": "xterm", "LANG": "C.UTF-8"}
    return env


class Connection:
    """A client session to one termloom-mcp process, used from test code."""

    def __init__(self, portal, client):
        self.portal, self.client = portal, client

    def call(self, tool, progress=None, **arguments):
        async def progressed(done, total, message):
            progress.append((done, total, message))

        return self.portal.call(lambda: self.client.call_tool(
            tool, arguments, progress_callback=progressed if progress is not None else None))

    def ok(self, tool, **arguments):
        """The structured result of a call that must succeed."""
        result = self.call(tool, **arguments)
        assert not result.is_error, result.content[0].text
        return result.structured_content

    def error(self, tool, **arguments):
        """The text of a call that must fail as a tool error."""
        result = self.call(tool, **arguments)
        assert result.is_error, result.structured_content
        return result.content[0].text

    def until(self, predicate, what):
        deadline = time.monotonic() + SLOW
        while not predicate():
            assert time.monotonic() < deadline, f"not within {SLOW:g} s: {what}"
            time.sleep(0.05)

    def command_of(self, pane):
        panes = self.ok("list_panes")["panes"]
        return next(p["current_command"] for p in panes if p["pane_id"] == pane)


def connect(*args, mode=CURRENT, home):
    """(portal, connection) context: termloom-mcp with these arguments."""
    params = StdioServerParameters(command=sys.executable, args=["-m", "termloom_mcp", *args],
                                   env=server_environment(home))
    portal_cm = start_blocking_portal()
    portal = portal_cm.__enter__()
    client_cm = portal.wrap_async_context_manager(Client(params, mode=mode))
    try:
        client = client_cm.__enter__()
    except BaseException:
        portal_cm.__exit__(*sys.exc_info())
        raise

    class Opened:
        connection = Connection(portal, client)

        def close(self):
            try:
                client_cm.__exit__(None, None, None)
            finally:
                portal_cm.__exit__(None, None, None)

    return Opened()


@pytest.fixture(scope="module")
def home():
    folder = tempfile.mkdtemp(prefix="tl", dir="/tmp")
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def tmux_server_pid(conn):
    return int(conn.ok("tmux", args=["display-message", "-p", "#{pid}"])["stdout"].strip())


def gone(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] == "Z"
    except OSError:
        return True


def closed_and_cleaned(opened):
    """Close the client (EOF on the server's stdin); the server's private tmux
    server must be gone with it."""
    conn = opened.connection
    pid = tmux_server_pid(conn)
    socket = conn.ok("tmux", args=["display-message", "-p", "#{socket_path}"])["stdout"].strip()
    opened.close()
    deadline = time.monotonic() + SLOW
    while not gone(pid):
        assert time.monotonic() < deadline, "the private tmux server outlived termloom-mcp"
        time.sleep(0.05)
    assert not os.path.exists(os.path.dirname(socket))


@pytest.fixture(scope="module")
def current(home):
    opened = connect("--allow-raw", home=home)
    opened.connection.mode = CURRENT
    yield opened.connection
    closed_and_cleaned(opened)


@pytest.fixture(scope="module")
def legacy(home):
    opened = connect("--allow-raw", mode=LEGACY, home=home)
    opened.connection.mode = LEGACY
    yield opened.connection
    closed_and_cleaned(opened)


@pytest.fixture(params=[CURRENT, LEGACY], ids=["current protocol", "legacy handshake"])
def conn(request):
    """Both protocol revisions the SDK speaks: the current one, and the
    initialize handshake of the earlier ones."""
    return request.getfixturevalue("current" if request.param == CURRENT else "legacy")


@pytest.fixture
def pane(current, request):
    """A fresh session's pane on the shared server, its shell at its prompt."""
    name = re.sub(r"\W", "_", request.node.name)[:40]
    made = current.ok("new_session", name=name)
    current.ok("wait_for", pane=made["pane_id"], pattern=PROMPT.pattern, regex=True, timeout=SLOW)
    yield made["pane_id"]
    current.ok("kill", id=made["session_id"])


def test_tools_listed_with_schemas(conn):
    tools = {tool.name: tool for tool in conn.portal.call(conn.client.list_tools).tools}
    assert set(tools) == TOOLS | {"tmux"}
    for tool in tools.values():
        assert tool.description and tool.output_schema["type"] == "object", tool.name
    run = tools["run"]
    assert run.input_schema["required"] == ["pane", "command"]
    assert run.input_schema["properties"]["timeout"]["maximum"] == 600
    assert set(run.output_schema["properties"]) >= {"status", "output", "truncated", "dropped_bytes"}
    assert tools["screen"].annotations.read_only_hint and tools["kill"].annotations.destructive_hint
    assert conn.client.protocol_version == (CURRENT if conn.mode == CURRENT else
                                            LATEST_HANDSHAKE_VERSION)


def test_run_gives_status_and_output(conn):
    pane = conn.ok("new_session")["pane_id"]
    result = conn.ok("run", pane=pane, command="printf hi; (exit 3)")
    assert (result["status"], result["output"], result["truncated"]) == (3, "hi", False)
    text = conn.call("run", pane=pane, command="printf 'é中🙂\\n'").content[0].text
    assert '"output": "é中🙂"' in text or '"output":"é中🙂"' in text  # unstructured JSON too


def test_run_reports_progress(conn):
    pane = conn.ok("new_session")["pane_id"]
    progress = []
    result = conn.call("run", progress=progress, pane=pane, command="sleep 1; echo slept")
    assert not result.is_error, result.content
    assert result.structured_content["output"] == "slept"
    assert progress, "no progress notification during a 1 s run"
    assert all(total == 120 and isinstance(message, str) for _, total, message in progress)
    seconds = [done for done, _, _ in progress]
    assert seconds == sorted(seconds) and seconds[0] > 0


def test_wait_after_mark_never_matches_the_echo(current, pane):
    mark = current.ok("send_text", pane=pane, text="sleep 0.5; echo REA''DY", enter=True)["mark"]
    # The echo holds REA (as REA''DY): when the wait matches, the output line must be there.
    screen = current.ok("wait_for", pane=pane, pattern="REA", mark=mark, timeout=SLOW)
    assert "READY" in screen["text"].splitlines()
    # The prompt too, before more is typed: typed ahead of it, a line is shown twice.
    current.ok("wait_for", pane=pane, pattern=r"^READY *\n.*[$#] *$", regex=True, mark=mark, timeout=SLOW)
    # A pattern that only the echo holds matches with skip_echo false...
    mark = current.ok("send_text", pane=pane, text="true ECHOED_ONLY", enter=True)["mark"]
    current.ok("wait_for", pane=pane, pattern="ECHOED_ONLY", mark=mark, skip_echo=False, timeout=SLOW)
    # ...and else never, with an error that says what was waited for.
    message = current.error("wait_for", pane=pane, pattern="ECHOED_ONLY", mark=mark, timeout=1)
    assert message.startswith("Error executing tool wait_for: TimeoutError: no match for "
                              "'ECHOED_ONLY' within 1 s after the echo of the text typed since "
                              "the mark; output since the mark:")
    # A later mark sees none of that.
    later = current.ok("screen", pane=pane)["mark"]
    assert current.call("wait_for", pane=pane, pattern="ECHOED_ONLY", mark=later, timeout=0.5).is_error


def test_wait_without_echo_says_so(current, pane):
    mark = current.ok("send_text", pane=pane, text="stty -echo; echo NO''ECHO; read -r x; stty echo",
                      enter=True)["mark"]
    # Once NOECHO is printed, the terminal echoes nothing: what is typed now shows nowhere.
    current.ok("wait_for", pane=pane, pattern="NOECHO", mark=mark, timeout=SLOW)
    mark = current.ok("send_text", pane=pane, text="secret", enter=True)["mark"]
    message = current.error("wait_for", pane=pane, pattern="x", mark=mark, timeout=0.5)
    assert "(that echo never appeared: if the program shows none, wait with skip_echo false)" in message


def test_send_keys_interrupts_a_command(current, pane):
    current.ok("send_text", pane=pane, text="sleep 100", enter=True)
    current.until(lambda: current.command_of(pane) == "sleep", "sleep in the foreground")
    mark = current.ok("send_keys", pane=pane, keys=["C-c"])["mark"]
    current.ok("wait_for", pane=pane, pattern=PROMPT.pattern, regex=True, mark=mark, timeout=SLOW)
    current.until(lambda: current.command_of(pane) == "bash", "bash back in the foreground")
    assert current.ok("run", pane=pane, command="echo back")["output"] == "back"


def test_cancelling_run_presses_ctrl_c(current, pane):
    async def cancelled_after_first_progress():
        with anyio.CancelScope() as scope:
            async def progressed(done, total, message):
                scope.cancel()

            await current.client.call_tool("run", {"pane": pane, "command": "sleep 100"},
                                           progress_callback=progressed)
        return scope.cancelled_caught

    assert current.portal.call(cancelled_after_first_progress)
    current.until(lambda: current.command_of(pane) == "bash", "sleep interrupted")


def test_closing_mid_run_cleans_up(home):
    """The client closes while a command runs: the server presses C-c and exits,
    killing its private tmux server (a server slower than the client's grace
    would be killed, and the tmux server would outlive it)."""
    opened = connect("--allow-raw", home=home)
    conn = opened.connection
    pane = conn.ok("list_panes")["panes"][0]["pane_id"]
    running = conn.portal.start_task_soon(conn.client.call_tool, "run",
                                          {"pane": pane, "command": "sleep 100"})
    conn.until(lambda: conn.command_of(pane) == "sleep", "sleep in the foreground")
    closed_and_cleaned(opened)
    assert running.done()


@pytest.mark.parametrize("tool, arguments, message", [
    ("run", {"pane": "%999", "command": "true"}, "RuntimeError: pane target not found: "
     "can't find pane: %999"),
    ("kill", {"id": "@999"}, "RuntimeError: window target not found: can't find window: @999"),
    ("kill", {"id": "main"}, "ValueError: not an id: 'main'"),
    ("screen", {"pane": "main:0.0"}, "ValueError: not an id: 'main:0.0'"),
    ("send_keys", {"pane": "%0", "keys": ["C-c", "hello"]}, "ValueError: not a key name: 'hello'"),
    ("new_window", {"session": "no such"}, "RuntimeError: no session named 'no such'"),
    ("wait_for", {"pane": "%0", "pattern": "(", "regex": True}, "ValueError: not a regular expression"),
    ("wait_for", {"pane": "%0", "pattern": "x", "mark": "m999999"}, "ValueError: no mark 'm999999'"),
    ("tmux", {"args": ["no-such-command"]}, "RuntimeError: tmux command failed: unknown "
     "command: no-such-command"),
])
def test_errors_carry_the_message(conn, tool, arguments, message):
    text = conn.error(tool, **arguments)
    assert text.startswith(f"Error executing tool {tool}: {message}")


def test_read_only_offers_only_reading(home):
    opened = connect("--read-only", home=home)
    try:
        conn = opened.connection
        tools = conn.portal.call(conn.client.list_tools).tools
        assert {tool.name for tool in tools} == {"list_panes", "screen"}
        pane = conn.ok("list_panes")["panes"][0]["pane_id"]
        assert conn.error("send_text", pane=pane, text="x") == "Unknown tool: send_text"
        assert conn.ok("screen", pane=pane)["pane_id"] == pane
    finally:
        opened.close()


def test_long_output_keeps_its_end(current, pane):
    # 25,000 lines of 40 bytes: 1,000,000 bytes.
    expected = "\n".join(f"{n:039d}" for n in range(1, 25001))
    result = current.ok("run", pane=pane, command="seq -f '%039g' 1 25000")
    kept = result["output"]
    assert result["truncated"] and 60_000 < len(kept) <= 64 * 1024
    assert expected.endswith("\n" + kept)
    assert result["dropped_bytes"] == len(expected) - len(kept)
    assert result["dropped_lines"] == expected[:result["dropped_bytes"]].count("\n")


def test_a_small_output_limit_cuts_every_result(home):
    opened = connect("--max-output", "2000", home=home)
    try:
        conn = opened.connection
        for _ in range(5):
            conn.ok("new_session")
        listed = conn.ok("list_panes")
        assert listed["truncated"] and listed["panes"]
        assert listed["dropped_panes"] == 6 - len(listed["panes"])  # main and five more
        pane = listed["panes"][0]["pane_id"]
        ran = conn.ok("run", pane=pane, command="seq 1 1000")
        assert len(ran["output"]) <= 2000 and ran["output"].endswith("\n999\n1000")
        screen = conn.ok("screen", pane=pane, history=1000)
        kept = screen["history"] + "\n" + screen["text"]
        assert screen["truncated"] and len(kept.encode()) <= 2000 and "1000" in kept
        assert screen["dropped_lines"] > 0
    finally:
        opened.close()


def test_screen_and_its_history(current, pane):
    current.ok("run", pane=pane, command="seq 1 100")
    screen = current.ok("screen", pane=pane, history=200)
    lines = (screen["history"] + "\n" + screen["text"]).splitlines()
    numbers = [int(line) for line in lines if line.isdigit()]
    assert numbers == list(range(1, 101))
    assert (screen["width"], screen["height"], screen["alternate"]) == (80, 24, False)
    assert screen["history_size"] >= 100 - 24 and not screen["truncated"]


def test_objects_made_and_killed_by_id(current):
    made = current.ok("new_session", name="tree")
    window = current.ok("new_window", session=made["session_id"], name="second")
    split = current.ok("split_pane", pane=window["pane_id"], horizontal=True)
    assert (window["session_name"], window["window_name"], split["window_id"]) == \
        ("tree", "second", window["window_id"])
    panes = current.ok("list_panes", session="tree")["panes"]
    assert sorted(p["pane_id"] for p in panes) == sorted({made["pane_id"], window["pane_id"],
                                                          split["pane_id"]})
    assert current.ok("kill", id=split["pane_id"]) == {"killed": split["pane_id"], "kind": "pane"}
    assert current.ok("kill", id=window["window_id"])["kind"] == "window"
    assert [p["pane_id"] for p in current.ok("list_panes", session="tree")["panes"]] == \
        [made["pane_id"]]
    assert current.ok("kill", id=made["session_id"])["kind"] == "session"
    assert "no session named 'tree'" in current.error("list_panes", session="tree")


def test_paste_runs_lines_and_keys_by_name(current, pane):
    mark = current.ok("paste", pane=pane, text="echo one\necho two\n", bracketed=False)["mark"]
    screen = current.ok("wait_for", pane=pane, pattern=r"^two$", regex=True, mark=mark, timeout=SLOW)
    assert "one" in screen["text"].splitlines()
    current.ok("send_text", pane=pane, text="echo up-arrow")
    mark = current.ok("send_keys", pane=pane, keys=["C-u", "Up", "Enter"])["mark"]
    current.ok("wait_for", pane=pane, pattern=r"^two$", regex=True, mark=mark, timeout=SLOW)


def test_address_drives_an_existing_server(tmux_server, tmux_session, home):
    opened = connect("--address", tmux_server.current_socket, home=home)
    try:
        panes = opened.connection.ok("list_panes")["panes"]
        assert [(p["session_name"], p["pane_id"]) for p in panes] == \
            [("test", tmux_session.windows[0].panes[0].pane_id)]
    finally:
        opened.close()
    assert tmux_server.is_running  # not the server's to kill


def test_http_transport_and_sigterm(home):
    server = subprocess.Popen([sys.executable, "-m", "termloom_mcp", "--http", "127.0.0.1:0",
                               "--allow-raw"], env=server_environment(home),
                              stdin=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        url = None
        for line in server.stderr:  # the address, after any warnings
            url = re.search(r"listening on (http://127\.0\.0\.1:\d+/mcp)", line)
            if url:
                break
        assert url, "no address on standard error"

        async def use():
            async with Client(url.group(1)) as client:
                panes = (await client.call_tool("list_panes", {})).structured_content["panes"]
                ran = await client.call_tool("run", {"pane": panes[0]["pane_id"],
                                                     "command": "echo over http"})
                pid = await client.call_tool("tmux", {"args": ["display-message", "-p", "#{pid}"]})
                return ran.structured_content["output"], int(pid.structured_content["stdout"])

        with start_blocking_portal() as portal:
            output, tmux_pid = portal.call(use)
        assert output == "over http"
        server.send_signal(signal.SIGTERM)
        server.wait(timeout=SLOW)
        assert gone(tmux_pid)
    finally:
        if server.poll() is None:
            server.kill()
            server.wait()
        server.stderr.close()
