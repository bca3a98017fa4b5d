#!/usr/bin/env bash
# The whole suite against a zig build of the module: tools/zig/test-suite.sh [PYTEST ARGS...]
# The extension is compiled as the release's are (zig's clang for glibc 2.28, its libc++
# linked statically, libgcc_s's unwinder, libusb built without udev), with the test hooks,
# into build/zig-dev for the test venv's Python (.venv-test, set up as tools/test.sh does), and the
# suite runs against it and that libusb under the emulator's wrapper: a libusb without udev
# hears of the emulated devices through it. Expects the tools venv of tools/build-wheels.sh
# (build/wheel-tools, with ziglang), as .ci/run --wheels leaves it.
set -euo pipefail
cd "$(dirname "$0")/../.."
here=$PWD
mkdir -p build/wheels
TORVAK_TEST_HOOKS=1 VENV=.venv-test TORVAK_EXTRAS=test TORVAK_EXTRA_PACKAGES="clang libclang-rt-dev iproute2" \
  tools/setup.sh >build/wheels/zig-dev-setup.log 2>&1 || { tail -n 30 build/wheels/zig-dev-setup.log >&2; exit 1; }
python=$here/.venv-test/bin/python
arch=$(uname -m)
libusb=$here/build/zig/$arch
dir=$here/build/zig-dev
tools/zig/build-libusb.sh "$arch" "$libusb" >"build/wheels/libusb-$arch.log" 2>&1 \
  || { tail -n 30 "build/wheels/libusb-$arch.log" >&2; exit 1; }
export ZIG_PYTHON="$here/build/wheel-tools/bin/python" ZIG_TARGET="$arch-linux-gnu.2.28"
export ZIG_GLOBAL_CACHE_DIR="$here/build/zig/cache" ZIG_LOCAL_CACHE_DIR="$here/build/zig/cache"
export CC="$here/tools/zig/cc" CXX="$here/tools/zig/c++"
export PKG_CONFIG_LIBDIR="$libusb/lib/pkgconfig" PKG_CONFIG_PATH=""
libgcc_s=/lib/$arch-linux-gnu/libgcc_s.so.1
PYTHON=$python tools/dev-build.sh "$dir" -DZEQ_TORVAK_TEST_HOOKS=ON -DCMAKE_AR="$here/tools/zig/ar" \
  -DCMAKE_RANLIB="$here/tools/zig/ranlib" -DCMAKE_CXX_SCAN_FOR_MODULES=OFF \
  -DCMAKE_MODULE_LINKER_FLAGS="$libgcc_s" >build/wheels/zig-dev.log 2>&1 \
  || { tail -n 30 build/wheels/zig-dev.log >&2; exit 1; }
emu_dir=$(PYTHON=$python tools/build-emulator.sh build/emulator | tail -n 1)
so=$(ls "$dir"/zeq_torvak.*.so)
# The build is what it says: zig's, with the libusb built here.
readelf -p .comment "$so" | grep -q 'clang' || { echo "test-suite: $so was not built by zig's clang" >&2; exit 1; }
ldd "$so" | grep -q "$libusb/lib/libusb-1.0" \
  || { echo "test-suite: $so does not use $libusb's libusb" >&2; exit 1; }
echo "test-suite: the suite against $so (zig, $ZIG_TARGET)"
# The extension finds that libusb by its run path; the examples that name the test venv's
# own module (built with this machine's compiler) keep the system's.
TORVAK_TEST_HOOKS=1 TORVAK_REQUIRE_TEST_HOOKS=1 TORVAK_REQUIRE_EMULATOR=1 TORVAK_EMU_PATH="$emu_dir" \
  PYTHONPATH="$here/python:$dir:$emu_dir" \
  "$emu_dir/torvak-emu-wrapper" "$python" -m pytest "$@"
