#!/usr/bin/env bash
# Prepares a fresh machine for building and testing: a CPython 3.12, the libyaml headers and a
# virtual environment in .venv with the build and test tools. Safe to run again.
set -euo pipefail
cd "$(dirname "$0")/.."

find_python() {
  if command -v python3.12 >/dev/null 2>&1 && python3.12 -c 'import sys' >/dev/null 2>&1; then
    command -v python3.12
    return
  fi
  if command -v pyenv >/dev/null 2>&1; then
    local version
    version=$(pyenv versions --bare 2>/dev/null | grep -E '^3\.12(\.[0-9]+)?$' | sort -V | tail -n 1 || true)
    if [ -n "$version" ]; then
      echo "$(pyenv root)/versions/$version/bin/python3.12"
      return
    fi
  fi
  for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12; do
    if [ -x "$candidate" ]; then
      echo "$candidate"
      return
    fi
  done
  return 1
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

python=$(find_python) || { echo "no CPython 3.12 found (python3.12 on PATH or under pyenv)" >&2; exit 1; }
if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 12)' 2>/dev/null; then
  rm -rf .venv
  "$python" -m venv .venv
fi
.venv/bin/python -m pip install -q --disable-pip-version-check --upgrade pip
.venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
touch .venv/.ready
