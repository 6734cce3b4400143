"""An MCP server that gives agents terminals: tmux panes driven through termloom.

Start it with ``termloom-mcp`` (or ``python -m termloom_mcp``); ``--help``
lists its options. It needs the MCP Python SDK: ``pip install "termloom[mcp]"``.
"""

from __future__ import annotations

__all__ = ["main"]


def main(argv: list[str] | None = None) -> int:
    """Run the server with these command-line arguments (sys.argv's by default)."""
    from .__main__ import main as run

    return run(argv)
