#!/usr/bin/env bash
# Sets everything up on a fresh machine and runs the demonstration:
#   bash scripts/demo.sh [DIRECTORY] [QUERY]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/setup.sh" >&2
exec "$VENV/bin/python" "$ROOT/examples/demo.py" "$@"
