"""The tmux server the tools drive: one the user names, or a private one that
lives as long as this process."""

from __future__ import annotations

import contextlib
import logging
import os
import shutil
import tempfile
from collections.abc import Iterator

import termloom

log = logging.getLogger("termloom_mcp")

FIRST_SESSION = "main"


@contextlib.contextmanager
def private_server(history_limit: int) -> Iterator[termloom.Server]:
    """A tmux server on a socket in a fresh short folder, with a session
    "main" ready; killed, and the folder removed, when the block ends.

    Options are global, so they reach the panes made after they are set: a
    first session starts the server, the options are set, "main" is made and
    the first session goes. exit-empty off keeps the server (and its
    options) when the client kills every session.
    """
    folder = tempfile.mkdtemp(prefix="tl", dir="/tmp")
    server = termloom.Server(os.path.join(folder, "tmux.sock"))
    try:
        starter = server.new_session("termloom-mcp-start")
        server.set_option("exit-empty", "off")
        server.set_option("history-limit", str(history_limit))
        server.new_session(FIRST_SESSION)
        starter.kill()
        yield server
    finally:
        try:
            server.kill()
        except RuntimeError as error:
            log.warning("killing the private tmux server failed: %s", error)
        shutil.rmtree(folder, ignore_errors=True)


@contextlib.contextmanager
def tmux_server(address: str | None, history_limit: int) -> Iterator[termloom.Server]:
    """The server at `address`, left running at the end; or a private one."""
    if address is None:
        with private_server(history_limit) as server:
            yield server
    else:
        yield termloom.Server(address)
