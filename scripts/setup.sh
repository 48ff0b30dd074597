#!/usr/bin/env bash
# Installs what building and testing need on a fresh Debian machine, builds the abi3
# wheel once and installs it into the project's virtual environment (.venv).
# Sourced by demo.sh and test.sh; safe to run again (finished steps are skipped).
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYTHON="${PYTHON:-python3}"
VENV="$ROOT/.venv"

# Libraries and data from Debian; tools only where the machine has no such command
# (Node.js and npm, for one, often come from elsewhere).
APT_LIBRARIES=(libabsl-dev libssl-dev unicode-data libgtest-dev)
declare -A APT_TOOLS=([cmake]=cmake [ninja]=ninja-build [g++]=g++ [node]=nodejs [npm]=npm)
missing=()
for pkg in "${APT_LIBRARIES[@]}"; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
for tool in "${!APT_TOOLS[@]}"; do
  command -v "$tool" >/dev/null 2>&1 || missing+=("${APT_TOOLS[$tool]}")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  SUDO=""
  [ "$(id -u)" = 0 ] || SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [ ! -x "$VENV/bin/python" ]; then
  "$PYTHON" -m venv "$VENV"
  "$VENV/bin/pip" install -q --upgrade pip
fi
# The development tools (a CMake new enough for stable-ABI modules, pytest, mypy, ...)
# live in the environment and come first on PATH for the scripts.
"$VENV/bin/pip" install -q -r "$ROOT/requirements-dev.txt"
export PATH="$VENV/bin:$PATH"

# One build of the wheel per source state; every environment installs that wheel.
mkdir -p "$ROOT/dist"
stamp="$(cd "$ROOT" && cat pyproject.toml CMakeLists.txt cmake/* native/* morvane_native.pyi third_party_pins/tree_sitter/package*.json 2>/dev/null | sha256sum | cut -c1-16)"
wheel_dir="$ROOT/dist/$stamp"
if ! ls "$wheel_dir"/morvane_native-*.whl >/dev/null 2>&1; then
  echo "setup: building the wheel (first build compiles the grammars and takes a few minutes)" >&2
  rm -rf "$wheel_dir"
  "$VENV/bin/pip" wheel -q --no-deps -w "$wheel_dir" "$ROOT"
fi
WHEEL="$(ls "$wheel_dir"/morvane_native-*.whl | head -n 1)"
export WHEEL
"$VENV/bin/pip" install -q --force-reinstall --no-deps "$WHEEL"
