#!/usr/bin/env bash
# Runs the cp311 aarch64 wheel where it will run: tools/check-wheel-aarch64.sh OUT [pytest args]
# An arm64 Debian 12 root (build/roots/bookworm-arm64, tools/zig/arm64-root.sh) has Python
# 3.11, pytest and pyserial; the wheel from OUT is installed into its
# /usr/local/lib/python3.11/dist-packages by pip's own wheel installer, and the module's
# hardware-free tests (fake handles) run under qemu-aarch64-static -L ROOT. Without
# binfmt_misc an arm64 process cannot start another, so tests that start a child process are
# left out (TORVAK_NO_CHILD_PROCESSES=1). Also checks that the pyconfig.h the aarch64 wheels
# were compiled with gives every type the size and alignment Debian's arm64 Python has.
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(cd "$1" && pwd)
shift
root=build/roots/bookworm-arm64
say() { echo "check-wheel-aarch64: $*"; }
for tool in qemu-aarch64-static debootstrap; do
  command -v "$tool" >/dev/null || { say "needs $tool (Debian packages qemu-user-static, debootstrap)"; exit 1; }
done
tools/zig/arm64-root.sh "$root"

# The pyconfig.h of the cross build (tools/zig/build-wheels.sh) against Debian's.
ours=build/zig/python-headers/aarch64/python3.11/pyconfig.h
theirs=$root/usr/include/aarch64-linux-gnu/python3.11/pyconfig.h
layout() { grep -E '^#define (SIZEOF_|ALIGNOF_|WORDS_BIGENDIAN|DOUBLE_IS_|PY_LONG_LONG|HAVE_LONG_DOUBLE)' "$1" | sort; }
if [ -f "$ours" ]; then
  diff <(layout "$ours") <(layout "$theirs") || { say "FAILED: the cross build's pyconfig.h differs from arm64's"; exit 1; }
  say "pyconfig.h: $(layout "$ours" | wc -l) size, alignment and byte-order definitions equal Debian's arm64 ones"
fi

site=$root/usr/local/lib/python3.11/dist-packages
rm -rf "$site"
python3 -m pip install -q --disable-pip-version-check --no-deps --no-index --find-links "$out" \
  --only-binary :all: $(for glibc in 28 27 26 25 24 17; do echo --platform manylinux_2_${glibc}_aarch64; done) --python-version 3.11 --implementation cp --abi cp311 \
  --target "$site" zeq_torvak
say "$(ls "$site" | grep -E '^zeq_torvak-.*dist-info$') in $site"
qemu=(qemu-aarch64-static -L "$root" "$root/usr/bin/python3.11")
"${qemu[@]}" -c 'import platform, zeq_torvak; print("check-wheel-aarch64:", platform.machine(), zeq_torvak.__file__)'
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(tests/test_channel.py tests/test_device_queries.py tests/test_registry.py
                                 tests/test_serial.py tests/test_reader_properties.py tests/test_wire_and_reader.py
                                 tests/test_exceptions_and_exit.py)
TORVAK_TEST_INSTALLED=1 TORVAK_NO_CHILD_PROCESSES=1 PYTHONDONTWRITEBYTECODE=1 \
  "${qemu[@]}" -m pytest -q -p no:cacheprovider "${tests[@]}"
