#!/usr/bin/env bash
# Installs the peers and runs every benchmark, writing docs/benchmarks.md and docs/benchmarks.png.
#   bash scripts/benchmarks.sh [--quick]
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/setup.sh"
"$VENV/bin/pip" install -q -r "$ROOT/benchmarks/requirements.txt"
# Older OpenBLAS builds need these on some processors; they only slow a current NumPy.
unset OPENBLAS_CORETYPE OPENBLAS_L2_SIZE
exec "$VENV/bin/python" "$ROOT/tools/bench_report.py" "$@"
