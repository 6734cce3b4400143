"""The pattern a wait after a mark hands to termloom, built so that the echo of
text typed since the mark never satisfies it.

termloom's wait_for(after=screen) matches only what was written after the
screen was taken, and that includes the echo of what was typed since. The
pattern built here requires the caller's pattern to match after that echo:
the typed text is split into pieces at its control characters (Enter, Tab,
Escape: what a program shows for those is its own business), and each piece
must be found, in order, before the caller's pattern may start. A piece is
found where its characters appear one after another, with line breaks (a
wrapped line), backspaces and terminal control sequences allowed between
them. Each piece is found at its first place after the previous one and
kept there (an atomic group), so a failing search costs one pass, never a
search over every way to place the pieces.
"""

from __future__ import annotations

import re
import sys
from collections.abc import Sequence

# What may stand between two echoed characters: a line break, with the blank
# tmux pads a row with before it, a backspace, or a CSI control sequence.
_BETWEEN = r"(?:\x20?[\r\n]|\x08|\x1b\[[0-?]*[ -/]*[@-~])*"
_CONTROL = re.compile(r"[\x00-\x1f\x7f]+")
_LEADING_FLAGS = re.compile(r"\(\?[aiLmsux]+\)")
_ATOMIC = sys.version_info >= (3, 11)
_NUMBERED_REFERENCE = re.compile(r"\\[1-9]|\(\?\(\d")

# The most characters of typed text a wait looks for, and of one piece: a
# longer piece is found by its end, and of many pieces the last are looked
# for. The pattern must still match after the end of the last; what is left
# out only lies before it. (Compiling costs some 90 µs a character.)
MAX_ECHO_CHARACTERS = 4096
MAX_PIECE_CHARACTERS = 256


def echo_pieces(typed: Sequence[str]) -> list[str]:
    """The printable runs of the texts typed, in order, blanks at their ends
    cut, each within MAX_PIECE_CHARACTERS and all within MAX_ECHO_CHARACTERS
    (the last ones)."""
    pieces = [piece.strip()[-MAX_PIECE_CHARACTERS:] for text in typed
              for piece in _CONTROL.split(text)]
    pieces = [piece for piece in pieces if piece]
    kept, total = [], 0
    for piece in reversed(pieces):
        if total + len(piece) > MAX_ECHO_CHARACTERS:
            piece = piece[len(piece) - (MAX_ECHO_CHARACTERS - total):]
        if piece:
            kept.append(piece)
            total += len(piece)
        if total >= MAX_ECHO_CHARACTERS:
            break
    return kept[::-1]


def _piece_pattern(piece: str) -> str:
    return _BETWEEN.join(re.escape(character) for character in piece)


def _found_and_kept(index: int, pattern: str) -> str:
    """`pattern` at its first place from here on, never tried elsewhere."""
    if _ATOMIC:
        return f"(?>{pattern})"
    # A lookahead is atomic too: what it matched is then consumed by reference.
    return f"(?=(?P<_tl_echo{index}>{pattern}))(?P=_tl_echo{index})"


def caller_pattern(pattern: str, regex: bool) -> re.Pattern[str] | str:
    """The caller's pattern as termloom takes it: a str to find, or a compiled
    regular expression in which ^ and $ match at every line."""
    if not regex:
        return pattern
    try:
        return re.compile(pattern, re.MULTILINE)
    except re.error as error:
        raise ValueError(f"not a regular expression: {pattern!r}: {error}") from None


def after_echo(pattern: str, regex: bool, typed: Sequence[str]) -> re.Pattern[str] | str:
    """The pattern that matches what `pattern` matches, only after the echo of
    `typed`; `pattern` itself when nothing printable was typed."""
    wanted = caller_pattern(pattern, regex)
    pieces = echo_pieces(typed)
    if not pieces:
        return wanted
    if isinstance(wanted, str):
        body, flags = re.escape(wanted), 0
    else:
        body, flags = wanted.pattern, wanted.flags
        while match := _LEADING_FLAGS.match(body):
            body = body[match.end():]  # kept in flags: inline flags must lead the pattern
        if not _ATOMIC and _NUMBERED_REFERENCE.search(body):
            raise ValueError("on Python 3.10 a pattern matched after an echo cannot refer to "
                             "groups by number: name them, (?P<name>...) and (?P=name)")
    echo = "".join(_found_and_kept(i, r"(?s:.*?)" + _piece_pattern(piece))
                   for i, piece in enumerate(pieces))
    return re.compile(r"\A" + echo + r"(?s:.*?)(?:" + body + ")", flags)
