"""Marks: screens the server keeps for the client, which cannot hold one.

A mark names a termloom Screen taken just before an input (or by `screen`,
or the screen a wait matched); `wait_for(mark=...)` then matches only what
was written after it. Each mark also keeps the texts typed into its pane
through this server since it was taken, whose echo the wait skips. The table
is bounded: the oldest marks expire first.
"""

from __future__ import annotations

from collections import OrderedDict
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from termloom import Screen

DEFAULT_MAX_MARKS = 1000
# Inputs one mark follows; a mark with more is spent (its wait would have to
# skip that many echoes).
MAX_INPUTS_PER_MARK = 64


@dataclass
class Mark:
    pane_id: str
    screen: Screen
    typed: list[str] = field(default_factory=list)
    inputs: int = 0


class Marks:
    """The marks, by id ("m1", "m2", ...). Used from the event loop only."""

    def __init__(self, limit: int = DEFAULT_MAX_MARKS) -> None:
        self._limit = limit
        self._marks: OrderedDict[str, Mark] = OrderedDict()
        self._issued = 0

    def add(self, pane_id: str, screen: Screen) -> str:
        self._issued += 1
        mark_id = f"m{self._issued}"
        self._marks[mark_id] = Mark(pane_id, screen)
        while len(self._marks) > self._limit:
            self._marks.popitem(last=False)
        return mark_id

    def input_sent(self, pane_id: str, text: str | None) -> None:
        """Note an input to the pane on each of its marks: typed text (whose
        echo a wait skips), or None for keys."""
        for mark in self._marks.values():
            if mark.pane_id == pane_id:
                mark.inputs += 1
                if text is not None:
                    mark.typed.append(text)

    def get(self, mark_id: str, pane_id: str) -> Mark:
        mark = self._marks.get(mark_id)
        if mark is None:
            number = mark_id[1:]
            if mark_id.startswith("m") and number.isdigit() and 0 < int(number) <= self._issued:
                raise ValueError(f"mark {mark_id} has expired: this server keeps its last "
                                 f"{self._limit} marks; take a new one with screen")
            raise ValueError(f"no mark {mark_id!r}: marks come from screen, send_text, "
                             "send_keys, paste and wait_for")
        if mark.pane_id != pane_id:
            raise ValueError(f"mark {mark_id} is a screen of pane {mark.pane_id}, not {pane_id}")
        if mark.inputs > MAX_INPUTS_PER_MARK:
            raise ValueError(f"mark {mark_id} is followed by more than {MAX_INPUTS_PER_MARK} "
                             "inputs; wait with the mark of a later one")
        return mark
