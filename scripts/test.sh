#!/usr/bin/env bash
# Runs the whole test suite on a fresh machine: installs what it needs, builds the
# wheel, runs the Python tests against the installed wheel, the native tests, and the
# vector tests again under NumPy 1.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$ROOT/scripts/setup.sh"
cd "$ROOT"

status=0
echo "== Python tests"
(cd "$ROOT/tests" && "$VENV/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests") || status=1

echo "== Typed stubs against the built module"
(cd "$ROOT/tests" && MYPYPATH="$ROOT" "$VENV/bin/python" -m mypy.stubtest morvane_native) || status=1

if [ -f "$ROOT/tests/native/CMakeLists.txt" ]; then
  echo "== Native tests"
  cmake -S "$ROOT" -B "$ROOT/build/native-tests" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DMORVANE_NATIVE_TESTS=ON -DPython_EXECUTABLE="$VENV/bin/python" >/dev/null
  cmake --build "$ROOT/build/native-tests" -j2 --target all >/dev/null
  (cd "$ROOT/build/native-tests" && ctest --output-on-failure) || status=1
fi

if [ -f "$ROOT/tests/test_vector_ops.py" ]; then
  echo "== Vector tests under NumPy 1"
  NP1="$ROOT/.venv-numpy1"
  [ -x "$NP1/bin/python" ] || "$PYTHON" -m venv "$NP1"
  "$NP1/bin/pip" install -q "numpy<2" pytest
  "$NP1/bin/pip" install -q --force-reinstall --no-deps "$WHEEL"
  (cd "$ROOT/tests" && "$NP1/bin/python" -m pytest -q -p no:cacheprovider "$ROOT/tests/test_vector_ops.py") || status=1
fi
exit $status
