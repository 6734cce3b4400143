"""termloom-mcp: the MCP server on stdio, or on streamable HTTP with --http."""

from __future__ import annotations

import logging
import signal
import socket
import sys
from types import FrameType
from typing import TYPE_CHECKING

import anyio

from .settings import Settings, is_loopback, parse
from .tmux_server import tmux_server

if TYPE_CHECKING:
    from mcp.server.mcpserver import MCPServer
    from mcp.server.transport_security import TransportSecuritySettings

log = logging.getLogger("termloom_mcp")


def _exit_on_signal(signum: int, frame: FrameType | None) -> None:
    # Unwinds like an exception, so the private tmux server is killed on the way out.
    raise SystemExit(128 + signum)


def _transport_security(host: str) -> TransportSecuritySettings | None:
    """None on loopback, where the SDK checks Host and Origin headers itself
    (DNS rebinding protection); for another host the same checks, for that
    host's name as well."""
    if is_loopback(host):
        return None
    from mcp.server.transport_security import TransportSecuritySettings

    named = f"[{host}]" if ":" in host else host
    return TransportSecuritySettings(
        enable_dns_rebinding_protection=True,
        allowed_hosts=[f"{named}:*", "127.0.0.1:*", "localhost:*", "[::1]:*"],
        allowed_origins=[f"http://{named}:*", "http://127.0.0.1:*", "http://localhost:*",
                         "http://[::1]:*"],
    )


async def _serve_http(mcp: MCPServer, host: str, port: int) -> None:
    import uvicorn

    if not is_loopback(host):
        log.warning("serving on %s, which is not a loopback address: anyone who reaches it "
                    "can run commands in your terminals", host)
    app = mcp.streamable_http_app(host=host, transport_security=_transport_security(host))
    listener = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind((host, port))
    shown = f"[{host}]" if ":" in host else host
    log.warning("listening on http://%s:%d/mcp", shown, listener.getsockname()[1])
    server = uvicorn.Server(uvicorn.Config(app, log_level="warning", lifespan="on"))
    await server.serve(sockets=[listener])


def serve(settings: Settings) -> None:
    from .server import build
    from .terminals import Terminals

    with tmux_server(settings.address, settings.history_limit) as tmux:
        mcp = build(Terminals(tmux, settings))
        if settings.http is None:
            mcp.run("stdio")
        else:
            anyio.run(_serve_http, mcp, *settings.http)


def main(argv: list[str] | None = None) -> int:
    settings = parse(argv)
    try:
        import mcp  # noqa: F401
    except ImportError:
        print('termloom-mcp needs the MCP Python SDK: pip install "termloom[mcp]"',
              file=sys.stderr)
        return 2
    logging.basicConfig(stream=sys.stderr, level=logging.WARNING,
                        format="termloom-mcp: %(message)s")
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _exit_on_signal)
    try:
        serve(settings)
    except KeyboardInterrupt:
        return 130
    except (RuntimeError, OSError) as error:  # no tmux, a socket that cannot be made...
        print(f"termloom-mcp: {error}".rstrip(), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
