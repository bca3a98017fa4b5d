#!/usr/bin/env bash
# The compile step of a release: tools/zig/build-wheels.sh ARCH OUT PYTHON...
# One wheel per PYTHON (a CPython 3.8 to 3.13 of this machine) for ARCH (x86_64 or
# aarch64), built with zig's clang for glibc 2.28 and its libc++ linked statically, so the
# extensions need nothing newer than glibc 2.28 and no C++ standard library; libusb is
# built from source for the same target (tools/zig/build-libusb.sh). auditwheel copies
# libusb into the wheel and tags it with the oldest manylinux it meets (2_28 or older: it
# names no --plat, whose choices are the build machine's architecture only); libusb's licence goes in beside it
# (zeq_torvak.libs/). Expects the tools venv of tools/build-wheels.sh (build/wheel-tools,
# with ziglang, auditwheel and wheel) on PATH. Prints nothing on stdout.
#
# An aarch64 wheel is cross-compiled by the x86_64 interpreter of the same version: its
# headers are the target's but for pyconfig.h, which is made from the interpreter's by
# leaving out the only x86-specific definitions (the layout of every type, SIZEOF_* and
# ALIGNOF_*, is the same on both 64-bit little-endian targets; .ci/run --wheels compares it
# with Debian's arm64 pyconfig.h). The extension name and the wheel's platform come from
# SETUPTOOLS_EXT_SUFFIX, which scikit-build-core honours, and the wheel is tagged for the
# target afterwards (_PYTHON_HOST_PLATFORM would also make pip fetch the build's own tools
# for the target).
#
# ARCH win_amd64 cross-compiles for Windows (x86_64-windows-gnu, zig's clang and libc++,
# linked statically, against the Windows C runtime CPython itself uses): each wheel is built by
# the machine's interpreter of the same version with the headers and import library of
# CPython for Windows (tools/zig/winpython.sh), libusb's Windows backend linked into the
# extension, and its licence beside it (zeq_torvak.libs/LICENSE.libusb).
set -euo pipefail
cd "$(dirname "$0")/../.."
arch=$1
out=$(cd "$2" && pwd)
shift 2
say() { echo "build-wheels: $*" >&2; }
case "$arch" in x86_64|aarch64|win_amd64) ;; *) say "no zig build for $arch"; exit 2 ;; esac
here=$PWD
tools=$here/build/wheel-tools
libusb=$here/build/zig/$arch
tools/zig/build-libusb.sh "$arch" "$libusb" >"build/wheels/libusb-$arch.log" 2>&1 \
  || { tail -n 30 "build/wheels/libusb-$arch.log" >&2; exit 1; }

# zig would link LLVM's libunwind into each extension. glibc ends a thread (pthread_exit, as
# CPython does at exit) with a forced unwind of libgcc_s's unwinder, and the two unwinders
# cannot share one: the process crashes when it passes a frame of ours. So the extensions
# take the unwinder from libgcc_s.so.1, which every glibc system has and manylinux allows.
case "$arch" in
  win_amd64) libgcc_s="" ;;
  x86_64) libgcc_s=/lib/x86_64-linux-gnu/libgcc_s.so.1 ;;
  aarch64) tools/zig/arm64-root.sh build/roots/bookworm-arm64
           libgcc_s=$here/build/roots/bookworm-arm64/usr/lib/aarch64-linux-gnu/libgcc_s.so.1 ;;
esac

export ZIG_PYTHON="$tools/bin/python" ZIG_TARGET="$arch-linux-gnu.2.28"
[ "$arch" != win_amd64 ] || ZIG_TARGET=x86_64-windows-gnu
export ZIG_GLOBAL_CACHE_DIR="$here/build/zig/cache" ZIG_LOCAL_CACHE_DIR="$here/build/zig/cache"
export CC="$here/tools/zig/cc" CXX="$here/tools/zig/c++"
# The system's CMake and Ninja first: a pyenv shim in front of them can take longer to
# answer `cmake --version` than scikit-build-core waits on a busy machine.
mkdir -p build/zig/bin
for tool in cmake ninja; do
  [ -x "/usr/bin/$tool" ] && ln -sf "/usr/bin/$tool" "build/zig/bin/$tool"
done
export PATH="$here/build/zig/bin:$PATH"
export PKG_CONFIG_LIBDIR="$libusb/lib/pkgconfig" PKG_CONFIG_PATH=""

for python in "$@"; do
  tag=$("$python" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
  raw=build/wheels/zig-$arch-$tag
  log=build/wheels/zig-$arch-$tag.log
  rm -rf "$raw"
  say "the $tag $arch wheel (zig, $("$python" --version)), log $log"
  # No C++20 modules here: without the scan, CMake needs no clang-scan-deps.
  cmake_args=(-DCMAKE_AR="$here/tools/zig/ar" -DCMAKE_RANLIB="$here/tools/zig/ranlib" -DCMAKE_CXX_SCAN_FOR_MODULES=OFF
              -DCMAKE_MODULE_LINKER_FLAGS="$libgcc_s")
  if [ "$arch" = win_amd64 ]; then
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    windows=$(tools/zig/winpython.sh "$version")
    (
      cmake_args+=(-DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=AMD64 -DPython_INCLUDE_DIR="$windows/include"
                   -DPython_LIBRARY="$windows/libs/python${version/./}.lib")
      export CMAKE_ARGS="${cmake_args[*]}" SETUPTOOLS_EXT_SUFFIX=".${tag}-win_amd64.pyd"
      exec "$tools/bin/python" tools/build_progress.py "$log" "build-wheels:" -- \
        "$python" -m pip wheel -v --disable-pip-version-check --no-deps --no-cache-dir -w "$raw" \
        --config-settings=build-dir="build/zig-$arch-{wheel_tag}" .
    ) >&2 || exit 1
    wheel tags --remove --platform-tag win_amd64 "$(ls "$raw"/zeq_torvak-*.whl)" >>"$log"
    wheel unpack -d "$raw/unpacked" "$(ls "$raw"/zeq_torvak-*.whl)" >>"$log"
    unpacked=$(ls -d "$raw"/unpacked/zeq_torvak-*)
    mkdir -p "$unpacked/zeq_torvak.libs"
    cp "$libusb/share/doc/libusb/COPYING" "$unpacked/zeq_torvak.libs/LICENSE.libusb"
    rm -f "$out"/zeq_torvak-*-"$tag"-"$tag"-win_amd64.whl
    wheel pack -d "$out" "$unpacked" >>"$log"
    continue
  fi
  (
    # The interpreter's headers, less what the target lacks: 3.8's Python.h includes
    # <crypt.h>, which zig's glibc does not have (libcrypt is a library of its own; no
    # extension here uses it).
    version=$("$python" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    include=$("$python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    headers=$here/build/zig/python-headers/$arch/python$version
    drop='^#define HAVE_CRYPT_H '
    [ "$arch" = "$(uname -m)" ] || drop="$drop|^#define HAVE_GCC_ASM_FOR_X(64|87) "
    rm -rf "$headers"
    mkdir -p "$headers"
    cp -a "$include"/. "$headers"/
    grep -vE "$drop" "$include/pyconfig.h" >"$headers/pyconfig.h"
    cmake_args+=(-DPython_INCLUDE_DIR="$headers")
    if [ "$arch" != "$(uname -m)" ]; then
      export SETUPTOOLS_EXT_SUFFIX=".cpython-${version/./}-$arch-linux-gnu.so"
    fi
    export CMAKE_ARGS="${cmake_args[*]}"
    # The build's output goes to the log; its stages and the compiler's count (at least a
    # line every 20 s) to standard error, and the log's end when it fails.
    exec "$tools/bin/python" tools/build_progress.py "$log" "build-wheels:" -- \
      "$python" -m pip wheel -v --disable-pip-version-check --no-deps --no-cache-dir -w "$raw" \
      --config-settings=build-dir="build/zig-$arch-{wheel_tag}" .
  ) >&2 || exit 1
  wheel=$(ls "$raw"/zeq_torvak-*.whl)
  if [ "$arch" != "$(uname -m)" ]; then
    # Tagged for the build machine; the platform is the target's.
    wheel tags --remove --platform-tag "linux_$arch" "$wheel" >>"$log"
    wheel=$(ls "$raw"/zeq_torvak-*.whl)
  fi
  rm -f "$out"/zeq_torvak-*-"$tag"-"$tag"-*"$arch".whl
  LD_LIBRARY_PATH="$libusb/lib" auditwheel repair -w "$raw/repaired" "$wheel" \
    >>"$log" 2>&1 || { tail -n 30 "$log" >&2; exit 1; }
  # libusb's licence (LGPL 2.1) travels with the copy of libusb in the wheel.
  repaired=$(ls "$raw"/repaired/zeq_torvak-*.whl)
  wheel unpack -d "$raw/unpacked" "$repaired" >>"$log"
  unpacked=$(ls -d "$raw"/unpacked/zeq_torvak-*)
  cp "$libusb/share/doc/libusb/COPYING" "$unpacked/zeq_torvak.libs/LICENSE.libusb"
  wheel pack -d "$out" "$unpacked" >>"$log"
done
