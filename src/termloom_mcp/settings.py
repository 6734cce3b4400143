"""The command line of termloom-mcp."""

from __future__ import annotations

import argparse
import ipaddress
from collections.abc import Callable
from dataclasses import dataclass

from .limits import DEFAULT_MAX_OUTPUT, DEFAULT_MAX_TIMEOUT

DEFAULT_HISTORY_LIMIT = 50_000  # lines each pane of the private server keeps
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "::1")


@dataclass(frozen=True)
class Settings:
    address: str | None = None  # None: a private tmux server of our own
    http: tuple[str, int] | None = None  # host and port; None: stdio
    read_only: bool = False
    allow_raw: bool = False
    max_output: int = DEFAULT_MAX_OUTPUT
    max_timeout: float = DEFAULT_MAX_TIMEOUT
    history_limit: int = DEFAULT_HISTORY_LIMIT


def is_loopback(host: str) -> bool:
    if host in LOOPBACK_NAMES:
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _http_address(text: str) -> tuple[str, int]:
    """HOST:PORT, [IPv6]:PORT or PORT (on 127.0.0.1)."""
    host, colon, port = text.rpartition(":")
    if not colon:
        host, port = "127.0.0.1", text
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not host or not port.isdigit() or int(port) > 65535:
        raise argparse.ArgumentTypeError(f"not HOST:PORT: {text!r}")
    return host, int(port)


def _positive(kind: Callable[[str], float]) -> Callable[[str], float]:
    def parse(text: str) -> float:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
        if not value > 0:
            raise argparse.ArgumentTypeError(f"must be above 0: {text!r}")
        return value

    return parse


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="termloom-mcp",
        description="An MCP server that gives agents terminals: tmux panes driven through "
        "termloom. Speaks MCP on standard input and output, or with --http on the "
        "streamable HTTP transport.",
    )
    p.add_argument("--address", metavar="ADDR",
                   help="the tmux server to drive (a socket path); by default a private "
                   "server of its own, killed when this server exits")
    p.add_argument("--http", metavar="HOST:PORT", type=_http_address,
                   help="serve streamable HTTP at http://HOST:PORT/mcp instead of stdio "
                   "(PORT alone: on 127.0.0.1; port 0 picks a free one, printed on stderr)")
    p.add_argument("--read-only", action="store_true",
                   help="offer only list_panes and screen")
    p.add_argument("--allow-raw", action="store_true",
                   help="offer the tool tmux, which runs any tmux command")
    p.add_argument("--max-output", metavar="BYTES", type=_positive(int),
                   default=DEFAULT_MAX_OUTPUT,
                   help=f"the most text one result carries; longer output keeps its end "
                   f"(default {DEFAULT_MAX_OUTPUT})")
    p.add_argument("--max-timeout", metavar="SECONDS", type=_positive(float),
                   default=DEFAULT_MAX_TIMEOUT,
                   help=f"the longest timeout a wait or run may ask for "
                   f"(default {DEFAULT_MAX_TIMEOUT:g})")
    p.add_argument("--history-limit", metavar="LINES", type=_positive(int),
                   default=DEFAULT_HISTORY_LIMIT,
                   help=f"history lines of each pane of the private server "
                   f"(default {DEFAULT_HISTORY_LIMIT})")
    return p


def parse(argv: list[str] | None = None) -> Settings:
    p = parser()
    args = p.parse_args(argv)
    if args.read_only and args.allow_raw:
        p.error("--allow-raw offers a tool that changes anything; it cannot go with --read-only")
    return Settings(address=args.address, http=args.http, read_only=args.read_only,
                    allow_raw=args.allow_raw, max_output=args.max_output,
                    max_timeout=args.max_timeout, history_limit=args.history_limit)
