"""Finding sessions, windows and panes by id, exactly.

Panes are named %N, windows @N, sessions $N or their name: ids tmux gives
once and never reuses while its server runs. tmux's own target syntax
(prefixes, indexes, "mysess:1.2") is not taken, so an id never reaches
another object.
"""

from __future__ import annotations

import re
from typing import TYPE_CHECKING, Literal

if TYPE_CHECKING:
    import termloom
    from termloom import Pane, Session, Window

_IDS = {"%": "pane", "@": "window", "$": "session"}
_ID = re.compile(r"([%@$])\d+")

Kind = Literal["session", "window", "pane"]


def kind_of(object_id: str) -> Kind:
    """What `object_id` names; ValueError for anything that is not an id."""
    match = _ID.fullmatch(object_id)
    if not match:
        raise ValueError(f"not an id: {object_id!r} (a pane is %N, a window @N, a session $N, "
                         "as list_panes shows them)")
    return _IDS[match.group(1)]  # type: ignore[return-value]


def _checked(object_id: str, kind: Kind) -> str:
    if kind_of(object_id) != kind:
        raise ValueError(f"{object_id!r} is a {kind_of(object_id)} id, not a {kind} id")
    return object_id


def pane(server: termloom.Server, pane_id: str) -> Pane:
    return server.target_pane(_checked(pane_id, "pane"))


def window(server: termloom.Server, window_id: str) -> Window:
    return server.target_window(_checked(window_id, "window"))


def session(server: termloom.Server, session: str) -> Session:
    """The session with id `session` ($N) or else with exactly that name."""
    if _ID.fullmatch(session) and session.startswith("$"):
        names = {r.session_name for r in server.pane_metadata() if r.session_id == session}
        if not names:
            raise RuntimeError(f"no session {session}")
        (name,) = names
    else:
        name = session
    for found in server.sessions:
        if found.name == name:
            return found
    raise RuntimeError(f"no session named {name!r}")
