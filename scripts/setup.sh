#!/usr/bin/env bash
# Installs what is missing (Debian packages, the virtual environment, the build) and builds the
# module. Idempotent: a second run only rebuilds what changed. Sourced by example.sh and test.sh.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

packages=(g++ make libeigen3-dev liblbfgsb-dev libtbb-dev libboost-math-dev libgtest-dev)
command -v python3 >/dev/null 2>&1 || packages+=(python3 python3-dev python3-venv)
if command -v python3 >/dev/null 2>&1; then
  python3 -c 'import ensurepip, venv' >/dev/null 2>&1 || packages+=(python3-venv)
  # The extension compiles against the interpreter's headers.
  python3 -c 'import os, sysconfig; raise SystemExit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    || packages+=(python3-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing Debian packages: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# Virtual environment; reinstalled from the requirements only when they change.
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv"
  python3 -m venv .venv
fi
stamp=.venv/.requirements.sha256
want=$(cat requirements-dev.txt "$@" 2>/dev/null | sha256sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  echo "setup: installing Python packages"
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  for extra in "$@"; do .venv/bin/python -m pip install -q -r "$extra"; done
  echo "$want" > "$stamp"
fi

# The module itself, built by CMake through scikit-build-core (incremental in build/).
echo "setup: building pelmora"
PATH="$root/.venv/bin:$PATH" .venv/bin/python -m pip install -q --no-build-isolation --no-deps .
