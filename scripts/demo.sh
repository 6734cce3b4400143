#!/usr/bin/env bash
# Sets everything up and runs the demo: a private tmux server driven from Python.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_tmux
wheel=$(build_wheel)
make_venv "$ROOT/.venv" "$(base_python)" "$wheel"
say "running examples/demo.py"
exec "$ROOT/.venv/bin/python" "$ROOT/examples/demo.py"
