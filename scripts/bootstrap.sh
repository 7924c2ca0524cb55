#!/usr/bin/env bash
# Prepares a fresh machine for building and testing: the libyaml headers, clang, and a virtual
# environment with the build and test tools for CPython 3.12 (.venv) and for each other supported
# interpreter found (.venv-3.13). Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

# The newest CPython X.Y found as pythonX.Y on PATH, under pyenv or in the usual places.
find_python() {
  local want=$1
  if command -v "python$want" >/dev/null 2>&1 && "python$want" -c 'import sys' >/dev/null 2>&1; then
    command -v "python$want"
    return
  fi
  if command -v pyenv >/dev/null 2>&1; then
    local version
    version=$(pyenv versions --bare 2>/dev/null | grep -E "^${want//./\\.}(\.[0-9]+)?\$" | sort -V | tail -n 1 || true)
    if [ -n "$version" ] && [ -x "$(pyenv root)/versions/$version/bin/python$want" ]; then
      echo "$(pyenv root)/versions/$version/bin/python$want"
      return
    fi
  fi
  local candidate
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/$want*/bin/python$want /usr/bin/python$want /usr/local/bin/python$want; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return
    fi
  done
  return 1
}

# A virtual environment for one interpreter with the build and test tools; remade when it holds
# another version.
make_venv() {
  local python=$1 venv=$2 want=$3
  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c "import sys; assert '%d.%d' % sys.version_info[:2] == '$want'" 2>/dev/null; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
  "$venv/bin/python" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
}

as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

if [ ! -f /usr/include/yaml.h ] || ! command -v pkg-config >/dev/null 2>&1; then
  echo "installing libyaml-dev and pkg-config"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq libyaml-dev pkg-config >/dev/null
fi

# clang with its sanitizer and fuzzer runtimes: the test suite fuzzes the readers for a short while.
if ! command -v clang++ >/dev/null 2>&1 || ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "installing clang for the fuzz tests"
  as_root apt-get update -qq || true
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq clang libclang-rt-14-dev >/dev/null \
    || echo "clang could not be installed: the fuzz tests will be skipped" >&2
fi

# 3.12 is the main interpreter (.venv): the whole suite runs there. Every other supported one
# that this machine has gets .venv-X.Y, where `make test` runs the Python suite again.
python=$(find_python 3.12) || { echo "no CPython 3.12 found (python3.12 on PATH or under pyenv)" >&2; exit 1; }
make_venv "$python" .venv 3.12
for other in 3.13; do
  if other_python=$(find_python "$other"); then
    make_venv "$other_python" ".venv-$other" "$other"
  else
    rm -rf ".venv-$other"
  fi
done
touch .venv/.ready
