#!/usr/bin/env bash
# Runs the win_amd64 wheels under wine: tools/check-wheel-windows.sh OUT [VERSION...] [-- pytest args]
# For each CPython 3.X named (default 3.8 and 3.13), Windows' own python.exe
# (tools/zig/winpython.sh) under wine64 gets the cp3X wheel from OUT, installed by pip's
# wheel installer into that CPython's own site-packages (the tests check that the packages
# come from the installation), with pytest, pytest-timeout, hypothesis and pyserial for
# Windows from PyPI. It must import, list no device ("[]" from list_serial_numbers(),
# torvak_serial.comports() and `torvak list --json`), then the module's hardware-free tests
# (fake handles) run, child processes left out as under qemu (and the tests of POSIX
# signals at exit, which Windows does not have).
# wine passes no USB device through: nothing here reaches a real one. Needs wine64 (Debian).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(cd "$1" && pwd)
shift
versions=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do versions+=("$1"); shift; done
[ "${1:-}" != -- ] || shift
[ ${#versions[@]} -gt 0 ] || versions=(3.8 3.13)
say() { echo "check-wheel-windows: $*"; }
command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ] || { say "needs wine64 (Debian package wine64)"; exit 1; }
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
here=$PWD
export WINEPREFIX=$here/build/wine/prefix WINEDEBUG=-all WINEARCH=win64
pip=(build/wheel-tools/bin/python -m pip)
# wine gives a Windows process no usable standard stream on a regular file: its output goes
# through a pipe (and loses Windows' line ends).
run() { "$wine" "$@" </dev/null 2>&1 | tr -d '\r'; }
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_channel.py tests/test_device_queries.py tests/test_registry.py
                                 tests/test_serial.py tests/test_reader_properties.py tests/test_wire_and_reader.py
                                 tests/test_windows.py)
# wine lacks what CPython 3.13's platform module asks WMI through (propsys's
# VariantToString; the process aborts): a _wmi that cannot be imported sends it to its
# fallback, as on a Windows without WMI.
mkdir -p build/wine/no-wmi
echo 'raise ImportError("no WMI under wine")' >build/wine/no-wmi/_wmi.py
export PYTHONPATH="Z:${here//\//\\}\\build\\wine\\no-wmi"
failed=0
for version in "${versions[@]}"; do
  tag=cp${version/./}
  # What still supports 3.8 for 3.8, each package named: the local indexes of this machine
  # give no Requires-Python.
  test_packages=(pytest pytest-timeout hypothesis "pyserial>=3.5")
  [ "$version" != 3.8 ] || test_packages=("pytest<8.4" "pluggy<1.6" "iniconfig<2.1" "packaging<25.1" "pytest-timeout<2.4"
                                          "hypothesis<6.114" "attrs<25.4" "tomli<2.3" "typing_extensions<4.14"
                                          "pyserial>=3.5")
  # pip reads the packages' markers for the Python it runs on (Linux, 3.11), not for the
  # target: what they need on Windows (colorama) and before 3.11 is named.
  test_packages+=(colorama)
  case $version in 3.8|3.9|3.10) test_packages+=(exceptiongroup tomli) ;; esac
  windows=$(tools/zig/winpython.sh "$version")
  site=$windows/Lib/site-packages
  if [ "$(cat "$site/.torvak-test-packages" 2>/dev/null)" != "${test_packages[*]}" ]; then
    # Other test packages than last time: they go into a fresh CPython tree.
    rm -rf "$windows"
    windows=$(tools/zig/winpython.sh "$version")
  fi
  python=$windows/python.exe
  platform=(--platform win_amd64 --python-version "$version" --implementation cp --abi "$tag" --only-binary :all:)
  if [ ! -f "$site/.torvak-test-packages" ]; then
    "${pip[@]}" install -q --disable-pip-version-check --upgrade "${platform[@]}" --target "$site" \
      "${test_packages[@]}"
    echo "${test_packages[*]}" >"$site/.torvak-test-packages"
  fi
  rm -rf "$site"/zeq_torvak* "$site"/_torvak_readiness* "$site"/torvak_*
  "${pip[@]}" install -q --disable-pip-version-check --no-deps --no-index --find-links "$out" "${platform[@]}" \
    --target "$site" zeq_torvak
  say "$(ls "$site" | grep -E '^zeq_torvak-.*dist-info$') for $tag"
  export PYTHONDONTWRITEBYTECODE=1
  run "$python" -c 'import sys, zeq_torvak, torvak_serial
print(sys.platform, sys.version.split()[0], zeq_torvak.list_serial_numbers(), torvak_serial.comports())' \
    | tee "build/wine/import-$tag.txt"
  grep -qE '^win32 [0-9.]+ \[\] \[\]$' "build/wine/import-$tag.txt" \
    || { say "FAILED: $tag: not [] from list_serial_numbers() and comports()"; failed=1; }
  listed=$(run "$python" -m torvak_cli list --json || true)
  echo "torvak list --json: $listed"
  [ "$listed" = "[]" ] || { say "FAILED: $tag: torvak list --json printed $listed"; failed=1; }
  # pytest's time-out by a thread: Windows has no SIGALRM.
  TORVAK_TEST_INSTALLED=1 TORVAK_NO_CHILD_PROCESSES=1 \
    run "$python" -m pytest -q -p no:cacheprovider -o timeout_method=thread "${tests[@]}" | tee "build/wine/tests-$tag.txt" || true
  # wine's own aborts end with status 0: the summary line says how the run went.
  tail -n 1 "build/wine/tests-$tag.txt" | grep -qE '^[0-9]+ passed(, [0-9]+ skipped)?(, [0-9]+ deselected)? in ' \
    || { say "FAILED: $tag: the hardware-free tests"; failed=1; }
done
exit "$failed"
