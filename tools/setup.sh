#!/usr/bin/env bash
# Prepares a fresh Debian/Ubuntu machine: system packages, then a virtual environment
# in .venv (or $VENV) with the module and its test dependencies installed.
#   tools/setup.sh [PYTHON]      PYTHON defaults to python3
# With TORVAK_TEST_HOOKS=1 the module is built with its test-only hooks.
set -euo pipefail
cd "$(dirname "$0")/.."
python=${1:-python3}
venv=${VENV:-.venv}

packages=(build-essential pkg-config cmake ninja-build libusb-1.0-0-dev umockdev libumockdev-dev gir1.2-umockdev-1.0)
# More system packages, space-separated (the test run adds its fuzzer's compiler).
read -r -a extra <<< "${TORVAK_EXTRA_PACKAGES:-}"
packages+=("${extra[@]}")
missing=()
for p in "${packages[@]}"; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi

[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip
hooks=()
[ -z "${TORVAK_TEST_HOOKS:-}" ] || hooks=(--config-settings=cmake.define.ZEQ_TORVAK_TEST_HOOKS=ON)
"$venv/bin/python" -m pip install -q "${hooks[@]}" ".[test]"
