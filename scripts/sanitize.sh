#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer and runs the
# Python test suite against that build. Needs the environment made by setup.sh.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV="${VENV:-$ROOT/.venv}"
BUILD="$ROOT/build/sanitize"
export PATH="$VENV/bin:$PATH"
cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVANE_SANITIZE=ON \
  -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
cmake --build "$BUILD" -j2
cp "$ROOT/morvane_native.pyi" "$BUILD/" 2>/dev/null || true

# The interpreter itself is not instrumented: load the runtime first, and leave the
# interpreter's own deliberate leaks at exit out of the report.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:halt_on_error=1:detect_stack_use_after_return=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export PYTHONPATH="$BUILD"
export MORVANE_SANITIZED=1
cd "$ROOT"
[ $# -gt 0 ] || set -- tests
exec "$VENV/bin/python" -m pytest -q -p no:cacheprovider -x "$@"
