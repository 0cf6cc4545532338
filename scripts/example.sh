#!/usr/bin/env bash
# The main job: sets up what is missing (with the example's plotting dependency), then fits the
# airline model, prints the fit and a 24-month forecast, and writes airline_forecast.png in the
# directory it was run from.
set -euo pipefail
here=$(pwd)
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh" requirements-example.txt
cd "$here"
"$root/.venv/bin/python" "$root/examples/airline.py"
