#!/usr/bin/env bash
# Builds libusb-1.0 from source for one target with zig: tools/zig/build-libusb.sh ARCH PREFIX
# ARCH is x86_64 or aarch64; the library is built for glibc 2.28 and without udev (hot-plug
# events come from the kernel's netlink socket), and installed into PREFIX with its
# pkg-config file and its licence (PREFIX/share/doc/libusb/COPYING). The source is the
# sdist of the PyPI package libusb-package, which carries libusb's release tree.
# ARCH win_amd64 builds its Windows backend (WinUSB, UsbDk, libusbK) as a static library
# for x86_64-windows-gnu, to be linked into the extension: configure's -mwin32 (which zig's
# clang rejects) is left out, and so is the DLL's version resource (no resource compiler).
set -euo pipefail
cd "$(dirname "$0")/../.."
arch=$1
mkdir -p "$2"
prefix=$(cd "$2" && pwd)
# What this script changes in libusb's source (below); a build made before a change is made again.
patches=2
case "$arch" in
  win_amd64) host=x86_64-w64-mingw32 target=x86_64-windows-gnu kind=(--enable-static --disable-shared) ;;
  *) host=$arch-linux-gnu target=$arch-linux-gnu.2.28 kind=(--disable-udev --enable-shared --disable-static) ;;
esac
[ -f "$prefix/lib/pkgconfig/libusb-1.0.pc" ] && [ "$(cat "$prefix/.patches" 2>/dev/null)" = "$patches" ] && exit 0
tools=build/wheel-tools
work=build/zig/libusb-src
sdist_version=1.0.26.1
if [ ! -d "$work/src/libusb" ]; then
  mkdir -p "$work"
  "$tools/bin/python" -m pip download -q --disable-pip-version-check --no-deps --no-binary :all: \
    -d "$work" "libusb-package==$sdist_version"
  tar -xzf "$work/libusb-package-$sdist_version.tar.gz" -C "$work" --strip-components=1
fi
build=build/zig/libusb-$arch
rm -rf "$build"
cp -a "$work/src/libusb" "$build"
# The sdist's tree was configured where it was made: start from its distributed state.
rm -f "$build"/config.h "$build"/config.status "$build"/config.log "$build"/libtool
find "$build" -name Makefile -delete
find "$build" \( -name '*.o' -o -name '*.lo' -o -name '*.la' -o -name '.libs' -o -name '.deps' \) -prune -exec rm -rf {} +
# Built without udev, libusb_init fails where no USB device has ever been plugged in (no
# /dev/bus/usb yet); its udev build assumes the path then, and so does this one (netlink
# reports the devices that come later).
sed -i 's/^#if defined(HAVE_LIBUDEV) || defined(__ANDROID__)$/#if 1 \/\* was: defined(HAVE_LIBUDEV) || defined(__ANDROID__) \*\//' \
  "$build/libusb/os/linux_usbfs.c"
# Nor does its sysfs scan find a USB bus on a machine without one (a container or a
# virtual machine with no USB controller): libusb_init then fails with an I/O error, where
# the udev build finds no device. No bus is no device here too.
perl -0pi -e 's/(\tif \(!devices\) \{\n)(\t\tusbi_err\(ctx, "opendir devices failed)/$1\t\tif (errno == ENOENT)\n\t\t\treturn 0; \/\* no USB bus \*\/\n$2/' \
  "$build/libusb/os/linux_usbfs.c"
grep -q '^#if 1 /\* was: defined(HAVE_LIBUDEV)' "$build/libusb/os/linux_usbfs.c" \
  && grep -q 'return 0; /\* no USB bus \*/' "$build/libusb/os/linux_usbfs.c" \
  || { echo "build-libusb: linux_usbfs.c is not the one this script knows" >&2; exit 1; }
if [ "$arch" = win_amd64 ]; then
  sed -i 's/EXTRA_CFLAGS="-mwin32/EXTRA_CFLAGS="/' "$build/configure"
  grep -q 'mwin32' "$build/configure" && { echo "build-libusb: configure is not the one this script knows" >&2; exit 1; }
fi
here=$PWD
export ZIG_PYTHON="$here/$tools/bin/python" ZIG_TARGET="$target"
export ZIG_GLOBAL_CACHE_DIR="$here/build/zig/cache" ZIG_LOCAL_CACHE_DIR="$here/build/zig/cache"
(
  cd "$build"
  ./configure -q --host="$host" --prefix="$prefix" "${kind[@]}" --disable-examples-build --disable-tests-build \
    CC="$here/tools/zig/cc" AR="$here/tools/zig/ar" RANLIB="$here/tools/zig/ranlib" CFLAGS="-O2 -g0"
  # The static library has no use for the DLL's version resource.
  [ "$arch" != win_amd64 ] || sed -i 's/^am__objects_12 = libusb-1.0.lo /am__objects_12 = /' libusb/Makefile
  # The sdist's timestamps make automake's inputs look newer than its outputs; nothing
  # is regenerated.
  noauto=(ACLOCAL=true AUTOMAKE=true AUTOCONF=true AUTOHEADER=true)
  make -s -j2 "${noauto[@]}"
  make -s install "${noauto[@]}"
)
mkdir -p "$prefix/share/doc/libusb"
cp "$build/COPYING" "$prefix/share/doc/libusb/COPYING"
echo "$patches" >"$prefix/.patches"
