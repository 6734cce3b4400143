"""termloom's calls block until tmux answers, or until a wait ends: they run in
worker threads, so the server goes on answering (progress, cancellation,
other calls) meanwhile."""

from __future__ import annotations

import asyncio
import contextlib
import functools
import logging
import threading
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeVar

import anyio

if TYPE_CHECKING:
    from mcp.server.mcpserver import Context
    from termloom import Pane

T = TypeVar("T")
log = logging.getLogger("termloom_mcp")

PROGRESS_EVERY = 0.5  # seconds between progress notifications
INTERRUPT_GRACE = 1.0  # seconds a cancelled run gets to end after C-c (a closing client
# kills its server after 2)
_MESSAGE_LIMIT = 200  # characters of the screen line a progress message shows


async def call(fn: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """`fn(*args, **kwargs)` in a worker thread. A cancelled caller stops
    waiting for it; the call itself ends when tmux answers."""
    return await anyio.to_thread.run_sync(functools.partial(fn, *args, **kwargs),
                                          abandon_on_cancel=True)


class Progress:
    """Progress notifications for a call on a pane: the seconds so far, and
    the last line of the pane's screen that is not blank."""

    def __init__(self, ctx: Context, pane: Pane, total: float | None) -> None:
        self._ctx, self._pane, self._total = ctx, pane, total
        self.started = time.monotonic()

    async def report(self) -> None:
        # A plain capture: a Screen would take a mark, which touches the
        # pane's output stream that the call is reading.
        try:
            text = await call(self._pane.capture)
        except (RuntimeError, OSError):
            message = None  # the call that is waiting says what happened
        else:
            lines = [line for line in (text or "").splitlines() if line.strip()]
            message = lines[-1][-_MESSAGE_LIMIT:] if lines else ""
        await self._ctx.report_progress(round(time.monotonic() - self.started, 3), self._total,
                                        message)


async def run_interruptibly(pane: Pane, work: Callable[[], T], progress: Progress) -> T:
    """`work()` (a command running in `pane`) in a thread of its own, with
    progress every PROGRESS_EVERY seconds. When the tool call is cancelled
    (by the client, or because its connection closed), C-c goes to the pane
    and the call waits a moment for the command to end.

    The thread is a daemon: a command still running when the server exits
    keeps no one waiting. The server runs on asyncio (the SDK's servers do).
    """
    loop = asyncio.get_running_loop()
    finished: asyncio.Future[None] = loop.create_future()
    outcome: dict[str, Any] = {}

    def target() -> None:
        try:
            outcome["value"] = work()
        except BaseException as error:  # handed to the caller below
            outcome["error"] = error
        finally:
            with contextlib.suppress(RuntimeError):  # the loop has closed: no one waits
                loop.call_soon_threadsafe(_settle, finished)

    threading.Thread(target=target, name=f"termloom-mcp {pane.pane_id}", daemon=True).start()
    try:
        while not finished.done():
            with anyio.move_on_after(PROGRESS_EVERY):
                await asyncio.shield(finished)
            if not finished.done():
                await progress.report()
    except anyio.get_cancelled_exc_class():
        with anyio.CancelScope(shield=True):
            log.warning("call cancelled: pressing C-c in pane %s", pane.pane_id)
            try:
                await call(pane.send_keys, "C-c")
            except (RuntimeError, OSError) as error:
                log.warning("C-c to pane %s failed: %s", pane.pane_id, error)
            with anyio.move_on_after(INTERRUPT_GRACE):
                await asyncio.shield(finished)
            log.warning("pane %s: the command %s", pane.pane_id, "ended" if finished.done()
                        else f"is still waited for after {INTERRUPT_GRACE:g} s")
        raise
    if "error" in outcome:
        raise outcome["error"]
    value: T = outcome["value"]
    return value


def _settle(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)
