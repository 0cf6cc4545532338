#!/usr/bin/env bash
# All tests: sets up what is missing, then runs the C++ unit tests (CTest) and the Python suite.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"

export PATH="$root/.venv/bin:$PATH"
# Warnings are errors here, for the module's sources too.
cmake -S . -B build/cpp -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELMORA_BUILD_TESTS=ON \
  -DPELMORA_BUILD_PYTHON=ON -DPython_EXECUTABLE="$root/.venv/bin/python" -DPELMORA_WERROR=ON >/dev/null
cmake --build build/cpp
(cd build/cpp && ctest --output-on-failure)
.venv/bin/python -m pytest -q tests/python
