"""A typed program as a user writes one: mypy --strict accepts it with the stub.

It is only type-checked, never run.
"""
from __future__ import annotations

from typing import TYPE_CHECKING

import termloom

if TYPE_CHECKING:
    from termloom import LastCommand, Pane, Session, SessionMetadata, Window, WindowMetadata


def first_pane(session: Session) -> Pane | None:
    for window in session.windows:
        for pane in window.panes:
            return pane
    return None


def screen_lines(pane: Pane) -> list[str]:
    screen = pane.capture(trim=True, scroll_back=100)
    return screen.splitlines() if screen is not None else []


def prefix_session_names(server: termloom.Server, prefix: str) -> int:
    sessions = server.sessions
    for session in sessions:
        session.name = prefix + session.name
    return len(sessions)


def neighbours(window: Window) -> tuple[Window | None, Window | None]:
    return window.next, window.previous


def size(metadata: SessionMetadata | WindowMetadata) -> tuple[int, int] | None:
    if metadata.width is None or metadata.height is None:
        return None
    return metadata.width, metadata.height


def rerun(pane: Pane) -> bool:
    last: LastCommand = pane.last_command
    print(last.read(), last.pane_id, last.socket)
    return last.run()


def main() -> None:
    server = termloom.Server("/tmp/termloom-example.sock")
    if not server.is_running:
        server.start()
    session = server.new_session("work")
    created: int = session.metadata().created
    pane = server.target_pane("work:0.0")
    pane.title = "editor"
    pane.send_keys("ls", enter=True)
    right = pane.split(horizontal=True, command=None, keep=True)
    right.resize("left", 10)
    window = server.target_window("work:0")
    window.name = "main"
    print(created, screen_lines(right), size(window.metadata), neighbours(window), server.current_socket)
    print(first_pane(session), rerun(pane), prefix_session_names(server, "x-"), window.index)
    server.kill()


if __name__ == "__main__":
    main()
