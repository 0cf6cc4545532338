#!/usr/bin/env bash
# The main job: sets up what is missing, then runs the airline example.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
.venv/bin/python examples/airline.py
