"""What the tools share: the tmux server, the marks and the output limit,
and the steps several tools take."""

from __future__ import annotations

from collections import OrderedDict
from collections.abc import Callable
from typing import TYPE_CHECKING

from . import objects
from .blocking import call
from .limits import keep_end
from .marks import Marks
from .models import PaneInfo, ScreenView, Sent

if TYPE_CHECKING:
    import termloom

    from .settings import Settings

# How many times screen reads the screen and its history again when the pane
# changed between the two reads.
HISTORY_TRIES = 3
# Pane handles kept, the most recently used.
KNOWN_PANES = 4096


class Terminals:
    """What the tools share: the tmux server, the marks and the limits."""

    def __init__(self, server: termloom.Server, settings: Settings) -> None:
        self.server = server
        self.settings = settings
        self.marks = Marks()
        self._panes: OrderedDict[str, termloom.Pane] = OrderedDict()

    async def pane(self, pane_id: str) -> termloom.Pane:
        """The handle of the pane with this id. A pane's handle acts on its id
        alone, and tmux never gives an id again while its server runs, so a
        handle looked up once serves every later call (one tmux run less);
        a pane that has gone fails in the call that acts, in tmux's words."""
        objects.kind_of(pane_id)  # ValueError for anything but an id
        handle = self._panes.get(pane_id)
        if handle is None:
            handle = await call(objects.pane, self.server, pane_id)
            self._panes[pane_id] = handle
            while len(self._panes) > KNOWN_PANES:
                self._panes.popitem(last=False)
        else:
            self._panes.move_to_end(pane_id)
        return handle

    async def pane_info(self, pane: termloom.Pane) -> PaneInfo:
        return PaneInfo.of(await call(pane.metadata))

    def view(self, pane_id: str, screen: termloom.Screen, history: str = "") -> ScreenView:
        """The screen (and history above it) within the output limit, keeping
        the bottom: the screen's end first, then what the budget leaves of
        the history."""
        limit = self.settings.max_output
        text = keep_end(screen.text, limit)
        room = limit - len(text.text.encode("utf-8", "surrogatepass")) - 1  # the line end between
        above = keep_end(history, max(room, 0)) if history and not text.truncated else None
        dropped_bytes = text.dropped_bytes
        dropped_lines = text.dropped_lines
        if history and above is None:
            dropped_bytes += len(history.encode("utf-8", "surrogatepass")) + 1
            dropped_lines += history.count("\n") + 1
        elif above is not None:
            dropped_bytes += above.dropped_bytes
            dropped_lines += above.dropped_lines
        return ScreenView(
            pane_id=pane_id, text=text.text, cursor_x=screen.cursor_x, cursor_y=screen.cursor_y,
            width=screen.width, height=screen.height, alternate=screen.alternate,
            history_size=screen.history_size, history=above.text if above else "",
            truncated=dropped_bytes > 0, dropped_bytes=dropped_bytes, dropped_lines=dropped_lines,
            mark=self.marks.add(pane_id, screen))

    async def screen_with_history(self, pane: termloom.Pane,
                                  lines: int) -> tuple[termloom.Screen, str]:
        """A screen and up to `lines` lines of history above it. They come from
        two tmux runs, so the screen is read again when the screen rows of
        the second differ from the first."""
        for _ in range(HISTORY_TRIES):
            screen = await call(pane.screen)
            if lines == 0:
                return screen, ""
            captured = await call(pane.capture, scroll_back=lines) or ""
            rows = captured.split("\n")
            if rows and rows[-1] == "":
                rows.pop()
            shown = [row.rstrip() for row in rows[-screen.height:]]
            expected = [row.rstrip() for row in screen.text.split("\n")]
            expected += [""] * (screen.height - len(expected))
            if shown == expected:
                return screen, "\n".join(rows[:-screen.height])
        raise RuntimeError(f"pane {pane.pane_id} kept changing while its history was read "
                           f"({HISTORY_TRIES} tries); read it again, or without history")

    async def input_to(self, pane_id: str, send: Callable[[termloom.Pane], object],
                       typed: str | None) -> Sent:
        """Take the mark, then send; the mark then follows the input."""
        pane = await self.pane(pane_id)
        mark = self.marks.add(pane.pane_id, await call(pane.screen))
        await call(send, pane)
        self.marks.input_sent(pane.pane_id, typed)
        return Sent(pane_id=pane.pane_id, mark=mark)
