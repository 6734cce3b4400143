"""Key names as tmux reads them: a name that is none would be typed as text."""

from __future__ import annotations

import re

# tmux's names (KEY BINDINGS in tmux(1)), matched without regard to case as
# tmux does, and the keypad's.
_NAMES = (
    "Up", "Down", "Left", "Right", "BSpace", "BTab", "DC", "Delete", "End", "Enter", "Escape",
    "Home", "IC", "Insert", "NPage", "PageDown", "PgDn", "PPage", "PageUp", "PgUp", "Space", "Tab",
    *(f"F{n}" for n in range(1, 13)),
    *(f"KP{k}" for k in (*"0123456789", "/", "*", "-", "+", ".", "Enter")),
)
_KEY = re.compile(
    r"(?:[CMS]-)*(?:" + "|".join(re.escape(name) for name in _NAMES) + r"|.)"
    r"|\^.",
    re.IGNORECASE | re.DOTALL,
)


def check_keys(keys: list[str]) -> list[str]:
    """`keys` when every one is a key name; ValueError naming the first that is not."""
    if not keys:
        raise ValueError("no keys given")
    for key in keys:
        if not _KEY.fullmatch(key):
            raise ValueError(f"not a key name: {key!r} (names such as C-c, Escape, Enter, Up, "
                             "F5 or one character; type text with send_text)")
    return keys
