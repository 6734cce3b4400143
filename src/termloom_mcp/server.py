"""The tools: each is a few termloom calls on objects found by id.

Annotations are evaluated where each tool is defined (no postponed
annotations in this module): the limits in them come from the settings.
"""

import functools
import inspect
import logging
import time
from collections.abc import Awaitable, Callable
from importlib import metadata
from typing import TYPE_CHECKING, Annotated, Any, TypeVar

from mcp.server.mcpserver import Context, MCPServer
from mcp.server.mcpserver.exceptions import ToolError
from mcp.types import ToolAnnotations
from pydantic import Field

from . import echo, objects
from .blocking import PROGRESS_EVERY, Progress, call, run_interruptibly
from .keys import check_keys
from .limits import DEFAULT_RUN_TIMEOUT, DEFAULT_WAIT_TIMEOUT, keep_end
from .models import Killed, PaneInfo, PaneList, RunResult, ScreenView, Sent, TmuxOutput
from .terminals import Terminals

if TYPE_CHECKING:
    import termloom

log = logging.getLogger("termloom_mcp")
F = TypeVar("F", bound=Callable[..., Awaitable[Any]])

INSTRUCTIONS = """\
Terminals in tmux, driven exactly. Panes are named %N, windows @N, sessions $N \
(list_panes shows them all). To run a shell command and get its exit status and \
output, use run. To drive an interactive program, type with send_text (literal \
text) or send_keys (key names such as C-c, Escape, Up), then wait_for what it \
prints, passing the mark that send_text or send_keys returned so that the echo of \
what you typed and text already on the screen never match. Read a pane with \
screen. Long outputs keep their end; a stuck command stops with send_keys ["C-c"]."""

_ERRORS = (RuntimeError, ValueError, TimeoutError, OSError, LookupError)

PaneId = Annotated[str, Field(description="a pane id, %N, as list_panes shows it")]


# How termloom's timeout messages go on after what was waited for: the last
# screen's lines, or what was written since a mark.
_TAILS = ("; last screen:", "; the screen is blank", "; output since the mark:",
          "; nothing was written since the mark")


def _split_tail(text: str) -> tuple[str, str]:
    """A message's own words, and the lines it ends with ("" when none)."""
    found = [at for at in (text.find(tail) for tail in _TAILS) if at >= 0]
    return (text[:min(found)], text[min(found):]) if found else (text, "")


def _failure(error: BaseException, hint: str = "") -> ToolError:
    """The tool error for what termloom or tmux raised, in their words; a hint
    goes before the screen lines a timeout ends with."""
    text = str(error).strip() or repr(error)
    said, tail = _split_tail(text)
    return ToolError(f"{type(error).__name__}: {said}{hint}{tail}")


def _tool_errors(fn: F) -> F:
    """Every failure as a tool error in its own words: what termloom and tmux
    raise, and (logged with its traceback) anything else."""
    @functools.wraps(fn)
    async def wrapper(*args: Any, **kwargs: Any) -> Any:
        try:
            return await fn(*args, **kwargs)
        except ToolError:
            raise
        except _ERRORS as error:
            raise _failure(error) from error
        except Exception as error:
            log.exception("tool %s failed", fn.__name__)
            raise _failure(error) from error

    return wrapper  # type: ignore[return-value]


def build(terminals: Terminals) -> MCPServer:
    """The MCP server with the tools these settings offer."""
    settings = terminals.settings
    most = settings.max_timeout
    wait_default = min(DEFAULT_WAIT_TIMEOUT, most)
    run_default = min(DEFAULT_RUN_TIMEOUT, most)
    mcp = MCPServer("termloom", version=metadata.version("termloom"), instructions=INSTRUCTIONS)
    reading = ToolAnnotations(read_only_hint=True, destructive_hint=False, idempotent_hint=True,
                              open_world_hint=False)
    acting = ToolAnnotations(read_only_hint=False, destructive_hint=False, open_world_hint=False)
    destroying = ToolAnnotations(read_only_hint=False, destructive_hint=True, open_world_hint=False)
    commanding = ToolAnnotations(read_only_hint=False, destructive_hint=True, open_world_hint=True)

    def tool(annotations: ToolAnnotations, *, changes: bool = True) -> Callable[[F], F]:
        def register(fn: F) -> F:
            if not (changes and settings.read_only):
                mcp.add_tool(_tool_errors(fn), description=inspect.cleandoc(fn.__doc__ or ""),
                             annotations=annotations, structured_output=True)
            return fn

        return register

    @tool(reading, changes=False)
    async def list_panes(
        session: Annotated[str | None, Field(
            description="only this session's panes: its id ($N) or its exact name")] = None,
    ) -> PaneList:
        """Every pane of the tmux server with its state, read in one tmux run: its
        id (%N, what the other tools take), its window (@N) and session ($N and
        name), size, cursor, the program in the foreground (current_command),
        its directory, whether it died (dead, dead_status) or is in copy mode.
        Past the output limit the last panes are left out (truncated says so)."""
        def read() -> "list[termloom.PaneMetadata]":
            try:
                return terminals.server.pane_metadata()
            except RuntimeError:
                if terminals.server.is_running:
                    raise
                return []  # no server: no panes

        records = await call(read)
        if session is not None:
            chosen = await call(objects.session, terminals.server, session)
            records = [r for r in records if r.session_name == chosen.name]
        panes, size = [], 0
        for record in records:
            info = PaneInfo.of(record)
            size += len(info.model_dump_json()) + 1
            if size > settings.max_output:
                break
            panes.append(info)
        return PaneList(panes=panes, truncated=len(panes) < len(records),
                        dropped_panes=len(records) - len(panes))

    @tool(acting)
    async def new_session(
        name: Annotated[str | None, Field(
            description="its name, kept exactly; by default s1, s2, ... (the first free)")] = None,
    ) -> PaneInfo:
        """Start a session (the user's shell in one window, 80x24 unless tmux is
        told otherwise) and return its pane, with the session's id and name."""
        def make() -> "termloom.Session":
            if name is not None:
                return terminals.server.new_session(name)
            number = 1
            while terminals.server.has_session(f"s{number}"):
                number += 1
            return terminals.server.new_session(f"s{number}")

        session = await call(make)
        return PaneInfo.of((await call(session.pane_metadata))[0])

    @tool(acting)
    async def new_window(
        session: Annotated[str, Field(description="the session's id ($N) or exact name")],
        name: Annotated[str | None, Field(
            description="the window's name; by default tmux names it after its program")] = None,
        command: Annotated[str | None, Field(
            description="a shell command to run instead of the shell; the window closes "
            "when it ends")] = None,
        directory: Annotated[str | None, Field(description="its start directory")] = None,
    ) -> PaneInfo:
        """Open a window in a session, at the next free index, without making it
        current, and return its pane."""
        chosen = await call(objects.session, terminals.server, session)
        window = await call(chosen.new_window, name=name, command=command, directory=directory)
        return PaneInfo.of((await call(window.pane_metadata))[0])

    @tool(acting)
    async def split_pane(
        pane: PaneId,
        horizontal: Annotated[bool, Field(
            description="true: the new pane beside this one; false: below it")] = False,
        command: Annotated[str | None, Field(
            description="a shell command to run first; the user's shell follows it, so the "
            "pane stays")] = None,
    ) -> PaneInfo:
        """Split a pane in two and return the new one."""
        found = await terminals.pane(pane)
        made = await call(found.split, horizontal=horizontal, command=command, keep=True)
        return await terminals.pane_info(made)

    @tool(destroying)
    async def kill(
        id: Annotated[str, Field(  # noqa: A002 - the name the client sees
            description="a session ($N), window (@N) or pane (%N) id; nothing else is taken")],
    ) -> Killed:
        """Kill exactly the session, window or pane with this id, and what runs
        in it. Names, indexes and other tmux targets are refused."""
        kind = objects.kind_of(id)

        def kill_it() -> bool:
            if kind == "pane":
                return objects.pane(terminals.server, id).kill()
            if kind == "window":
                return objects.window(terminals.server, id).kill()
            return objects.session(terminals.server, id).kill()

        if not await call(kill_it):
            raise RuntimeError(f"tmux did not kill {kind} {id}")
        return Killed(killed=id, kind=kind)

    @tool(acting)
    async def send_text(
        pane: PaneId,
        text: Annotated[str, Field(description="typed literally, any characters; a line feed "
                                   "arrives as Enter")],
        enter: Annotated[bool, Field(description="press Enter after the text")] = False,
    ) -> Sent:
        """Type text into a pane, literally: no word of it is read as a key name
        (use send_keys for keys). Returns a mark: pass it to wait_for to see
        only what the program writes after this input, never its echo."""
        return await terminals.input_to(pane, lambda p: p.send_text(text, enter=enter),
                                        text + ("\n" if enter else ""))

    @tool(acting)
    async def send_keys(
        pane: PaneId,
        keys: Annotated[list[str], Field(
            description="key names, pressed in order: C-c, C-d, Escape, Enter, Tab, BSpace, Up, "
            "Down, Left, Right, Home, End, PageUp, PageDown, F1..F12, M-x (Alt), S-Up, or one "
            "character", min_length=1)],
    ) -> Sent:
        """Press keys in a pane, by name, in order: ["C-c"] interrupts the program
        in the foreground, ["Escape"] leaves an editor's insert mode, ["Up",
        "Enter"] runs a shell's previous command. Every name is checked before
        any key is pressed, so nothing is typed as text by mistake (type text
        with send_text). Returns a mark for wait_for; keys are not typed text,
        so what a program shows for them (^C for C-c) is not skipped."""
        check_keys(keys)

        def press(p: "termloom.Pane") -> None:
            for key in keys:
                p.send_keys(key)

        return await terminals.input_to(pane, press, None)

    @tool(acting)
    async def paste(
        pane: PaneId,
        text: Annotated[str, Field(description="the text, any size and characters; line feeds "
                                   "arrive as Enter")],
        bracketed: Annotated[bool, Field(
            description="mark it as pasted for programs that ask (shells, editors, Python's "
            "REPL), so they do not indent or run it line by line")] = True,
    ) -> Sent:
        """Paste text into a pane through a private tmux buffer, deleted
        afterwards: for blocks of code or long text. Returns a mark for
        wait_for, which skips the echo of the pasted text."""
        return await terminals.input_to(pane, lambda p: p.paste(text, bracketed=bracketed), text)

    @tool(reading, changes=False)
    async def screen(
        pane: PaneId,
        history: Annotated[int, Field(
            description="also this many lines of the history above the screen", ge=0,
            le=100_000)] = 0,
    ) -> ScreenView:
        """Read a pane's visible screen: its text, the cursor, the size, whether a
        full-screen program's alternate screen is shown, and optionally lines of
        history above it. Within the output limit the bottom is kept (truncated
        and dropped_bytes say what was cut). Returns a mark of this screen for
        wait_for."""
        found = await terminals.pane(pane)
        shown, above = await terminals.screen_with_history(found, history)
        return terminals.view(found.pane_id, shown, above)

    @tool(reading)
    async def wait_for(
        ctx: Context,
        pane: PaneId,
        pattern: Annotated[str, Field(description="the text to wait for")],
        regex: Annotated[bool, Field(
            description="pattern is a Python regular expression (re.search; ^ and $ match at "
            "every line)")] = False,
        mark: Annotated[str | None, Field(
            description="a mark from send_text, send_keys, paste, screen or wait_for: only "
            "output written after it is matched (the server keeps the last 1000)")] = None,
        skip_echo: Annotated[bool, Field(
            description="with a mark: match only after the echo of the text typed since it "
            "(false: the echo is matched too)")] = True,
        timeout: Annotated[float, Field(description="seconds", gt=0, le=most)] = wait_default,
    ) -> ScreenView:
        """Wait until the pane shows the pattern and return that screen (with a
        new mark of it).

        What is matched: without a mark, the whole visible screen as written
        (blanks at line ends included, so "$ " finds a prompt). With a mark,
        only what the program wrote after the mark's screen was taken, in the
        history as on the screen, so text that was already there never
        matches. The text typed through this server since the mark (send_text,
        paste) is echoed by most programs: the pattern must then match after
        that echo, which is where the typed characters appear in order (line
        breaks and terminal control sequences allowed between them; Enter, Tab
        and other control characters are not looked for). Until the whole echo
        has appeared nothing matches; real output is never dropped to skip it.
        With several texts typed since the mark, the pattern must match after
        the last one's echo: wait with the mark of the input whose result you
        want. A program that shows no echo (a password prompt) never matches:
        wait with skip_echo false then. Text typed while a shell is still
        busy, before its prompt, may be shown twice (by the terminal, then by
        the shell): only the first showing is skipped.

        Progress notifications come while it waits. At the timeout the error
        shows the last lines of the screen."""
        marked = terminals.marks.get(mark, pane) if mark is not None else None
        typed = list(marked.typed) if marked is not None and skip_echo else []
        wanted = echo.after_echo(pattern, regex, typed)
        after = marked.screen if marked is not None else None
        found = await terminals.pane(pane)
        progress = Progress(ctx, found, timeout)
        deadline = progress.started + timeout
        while True:
            left = deadline - time.monotonic()
            try:
                matched = await call(found.wait_for, wanted,
                                     timeout=max(0.0, min(left, PROGRESS_EVERY)), after=after)
                break
            except TimeoutError as error:
                if left > PROGRESS_EVERY:
                    await progress.report()
                    continue
                raise await _wait_timeout(found, pattern, typed, after, timeout, error) from error
        return terminals.view(found.pane_id, matched)

    async def _wait_timeout(found: "termloom.Pane", pattern: str, typed: list[str],
                            after: "termloom.Screen | None", timeout: float,
                            error: TimeoutError) -> ToolError:
        """The error at a wait's end: what was waited for, in the caller's
        words, whether the echo ever came, and the last lines of the screen."""
        said = f"no match for {pattern!r} within {timeout:g} s"
        if echo.echo_pieces(typed):
            said += " after the echo of the text typed since the mark"
            try:
                await call(found.wait_for, echo.after_echo("", False, typed), timeout=0.0,
                           after=after)
            except TimeoutError:
                said += (" (that echo never appeared: if the program shows none, wait with "
                         "skip_echo false)")
        tail = _split_tail(str(error))[1] or "; the screen is blank"
        return ToolError(f"TimeoutError: {said}{tail}")

    @tool(acting)
    async def run(
        ctx: Context,
        pane: PaneId,
        command: Annotated[str, Field(description="a shell command line, or several lines")],
        timeout: Annotated[float, Field(description="seconds", gt=0, le=most)] = run_default,
    ) -> RunResult:
        """Run a shell command in a pane's shell, which must be at its prompt, and
        wait for its end: its exit status and what it printed (without the
        command line or prompts), exactly. cd and variables persist between
        runs. Output beyond the output limit keeps its end; truncated,
        dropped_bytes and dropped_lines say what was cut. Progress
        notifications (seconds so far, the screen's last line) come while it
        runs. At the timeout the command goes on running and the error says
        so: stop it with send_keys ["C-c"]. Cancelling the call presses C-c
        in the pane."""
        found = await terminals.pane(pane)
        try:
            result = await run_interruptibly(found, lambda: found.run(command, timeout=timeout),
                                             Progress(ctx, found, timeout))
        except TimeoutError as error:
            raise _failure(error, f"; the command goes on running in pane {found.pane_id}: "
                           "stop it with send_keys [\"C-c\"]") from error
        output = keep_end(result.output, settings.max_output)
        return RunResult(pane_id=found.pane_id, status=result.status, output=output.text,
                         truncated=output.truncated, dropped_bytes=output.dropped_bytes,
                         dropped_lines=output.dropped_lines)

    if settings.allow_raw and not settings.read_only:
        @tool(commanding)
        async def tmux(
            args: Annotated[list[str], Field(
                description="the arguments after tmux -S SOCKET, such as [\"list-buffers\"]; "
                "they are tmux syntax: \";\" separates commands, #{...} is expanded",
                min_length=1)],
        ) -> TmuxOutput:
            """Run any tmux command on this server and return what it printed
            (offered because the server was started with --allow-raw). Its
            arguments are tmux syntax, not text: prefer the other tools."""
            out = keep_end(await call(terminals.server.command, *args), settings.max_output)
            return TmuxOutput(stdout=out.text, truncated=out.truncated,
                              dropped_bytes=out.dropped_bytes, dropped_lines=out.dropped_lines)

    return mcp
