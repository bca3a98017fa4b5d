#!/usr/bin/env bash
# Sets everything up and runs the module's demonstration.
set -euo pipefail
cd "$(dirname "$0")/.."
tools/setup.sh
exec .venv/bin/python tools/run_as_main.py
