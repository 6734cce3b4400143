"""The bounds every tool keeps: how much text goes back, and how long a wait lasts."""

from __future__ import annotations

from dataclasses import dataclass

DEFAULT_MAX_OUTPUT = 64 * 1024  # bytes of UTF-8 in one returned text
DEFAULT_WAIT_TIMEOUT = 10.0  # seconds, wait_for
DEFAULT_RUN_TIMEOUT = 120.0  # seconds, run
DEFAULT_MAX_TIMEOUT = 600.0  # seconds, the largest timeout a call may ask for


@dataclass(frozen=True)
class Cut:
    """A text cut to a limit, keeping its end."""

    text: str
    truncated: bool
    dropped_bytes: int  # UTF-8 bytes left out at the start
    dropped_lines: int  # line ends in the part left out


def keep_end(text: str, limit: int) -> Cut:
    """The end of `text` within `limit` UTF-8 bytes.

    The kept part starts at the beginning of a line when one starts in the
    first quarter of the kept window, so the first line shown is whole;
    otherwise it is cut between characters.
    """
    data = text.encode("utf-8", "surrogatepass")
    if len(data) <= limit:
        return Cut(text, False, 0, 0)
    start = len(data) - limit
    line_end = data.find(b"\n", start - 1, start + limit // 4)  # at start-1: start begins a line
    if line_end != -1 and line_end + 1 < len(data):
        start = line_end + 1
    else:
        while start < len(data) and (data[start] & 0xC0) == 0x80:
            start += 1  # not inside a character
    return Cut(data[start:].decode("utf-8", "surrogatepass"), True, start,
               data.count(b"\n", 0, start))
