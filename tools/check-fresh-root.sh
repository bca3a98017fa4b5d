#!/usr/bin/env bash
# The README's two commands on a machine that has nothing yet:
#   tools/check-fresh-root.sh [SUITE]
#   tools/check-fresh-root.sh --index OUT [SUITE]
# SUITE: bookworm (Debian 12, the default), trixie (Debian 13) or noble (Ubuntu 24.04).
#
# A minimal root of SUITE (debootstrap --variant=minbase: no Python, no compiler, no sudo) is
# made once and kept in a cache directory, $TORVAK_ROOT_CACHE (default
# ${XDG_CACHE_HOME:-/var/cache}/torvak-ci), and made again when missing or broken. Each run
# works on an overlay over it, so the cached root stays as debootstrap left it; the packages
# apt downloads are kept beside it (SUITE-debs), so a second run downloads less (it still
# installs every package and builds everything). The checkout's HEAD is cloned into the root
# (committed work only) and `bash tools/main.sh` runs there as root, in a chroot inside
# namespaces of its own: every mount and process of the run ends with it. Its lines are
# shown prefixed with "fresh-root SUITE: "; the run fails unless main.sh succeeded and the
# emulated device received the demonstration's "Hello, World!" on channel 1.
#
# With --index OUT, the root instead follows docs/deployment.md's first three steps with the
# package index in OUT (tools/build-wheels.sh; mounted read-only at /index): python3-venv
# alone from apt, a venv, and `pip install --index-url file:///index/simple zeq_torvak`
# with no compiler in the root; then the module is imported and `torvak --version` runs.
#
# From the host the root gets only what the network here needs: its resolver settings
# (/etc/resolv.conf), its extra CA certificates (/usr/local/share/ca-certificates) with
# pip's `cert` setting, and, where the host's apt accepts a mirror whose Release files are
# past their date (a snapshot), the same two apt settings.
# Needs root, debootstrap, unshare (util-linux) and overlayfs.
set -euo pipefail
cd "$(dirname "$0")/.."
here=$PWD
index=""
if [ "${1:-}" = --index ]; then
  [ -f "${2:-}/simple/index.html" ] || { echo "check-fresh-root: --index needs a folder with a package index (simple/)" >&2; exit 2; }
  index=$(cd "$2" && pwd)
  shift 2
fi
suite=${1:-bookworm}
say() { echo "fresh-root $suite: $*"; }
fail() { say "FAILED: $*"; exit 1; }
started=$SECONDS

case "$suite" in
  bookworm|trixie) mirror=http://deb.debian.org/debian; script=$suite; components=main ;;
  # debootstrap before 1.0.131 has no script of its own for noble: gutsy's is the one all
  # later Ubuntu releases share.
  noble) mirror=http://archive.ubuntu.com/ubuntu; components=main,universe
         script=/usr/share/debootstrap/scripts/noble
         [ -e "$script" ] || script=/usr/share/debootstrap/scripts/gutsy ;;
  *) echo "check-fresh-root: unknown suite $suite (bookworm, trixie or noble)" >&2; exit 2 ;;
esac
[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, chroot and mounts)"
command -v debootstrap >/dev/null || fail "needs debootstrap (Debian package debootstrap)"
cache=${TORVAK_ROOT_CACHE:-${XDG_CACHE_HOME:-/var/cache}/torvak-ci}
base=$cache/$suite
mkdir -p "$cache"

# A usable root: debootstrap finished (it writes the mark last) and apt runs in it.
usable() { [ -f "$1/.torvak-root-complete" ] && chroot "$1" /usr/bin/apt-get --version >/dev/null 2>&1; }
keyring=()
if [ "$suite" = noble ]; then
  if ! timeout 20 python3 -c 'import sys, urllib.request
urllib.request.urlopen(sys.argv[1] + "/dists/noble/Release", timeout=15).read(64)' "$mirror" 2>/dev/null; then
    say "NOT CHECKED: Ubuntu's archive ($mirror) cannot be reached from this machine"
    exit 0
  fi
  # Ubuntu's archive signs with Ubuntu's key, which only the package ubuntu-keyring brings.
  key=/usr/share/keyrings/ubuntu-archive-keyring.gpg
  [ -f "$key" ] || apt-get install -y -qq ubuntu-keyring >/dev/null 2>&1 || true
  if [ -f "$key" ]; then
    keyring=(--keyring="$key")
  elif ! usable "$base"; then
    # The root's own apt checks everything after this with the key debootstrap installs.
    say "Ubuntu's archive key is not to be had here (no package ubuntu-keyring): the root's first packages are not signature-checked"
    keyring=(--no-check-gpg)
  fi
fi

if ! usable "$base"; then
  say "making the minimal root $base (debootstrap --variant=minbase; log $cache/$suite.log)"
  rm -rf "$base" "$base.new"
  mkdir -p "$base.new"
  if ! debootstrap --variant=minbase --components="$components" "${keyring[@]}" "$suite" "$base.new" "$mirror" "$script" \
       >"$cache/$suite.log" 2>&1; then
    tail -n 20 "$cache/$suite.log" | sed "s/^/fresh-root $suite: /"
    rm -rf "$base.new"
    fail "debootstrap did not make the root"
  fi
  rm -rf "$base.new/var/cache/apt/archives/"*.deb
  touch "$base.new/.torvak-root-complete"
  mv "$base.new" "$base"
  say "root made in $((SECONDS - started)) s"
else
  say "using the cached root $base"
fi

# This run's copy: an overlay, its changes in a scratch directory removed at the end.
run=$(mktemp -d "$cache/run-$suite.XXXXXX")
cleanup() { rm -rf "$run"; }
trap cleanup EXIT
mkdir -p "$run/upper" "$run/work" "$run/root" "$run/checkout" "$cache/$suite-debs"
if [ -z "$index" ]; then
  git clone -q --no-hardlinks "$here" "$run/checkout"
  say "cloned $(git -C "$run/checkout" log -1 --format='%h %s' | cut -c1-70)"
  [ -z "$(git status --porcelain --untracked-files=no)" ] \
    || say "(uncommitted changes in $here are not in the clone)"
  # shellcheck disable=SC2016
  inner='cd /root/torvak && bash tools/main.sh'
else
  # shellcheck disable=SC2016
  inner='set -e
apt-get update -qq >/dev/null && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq python3-venv >/tmp/apt.log 2>&1 \
  || { tail -n 20 /tmp/apt.log; exit 1; }
for compiler in cc gcc g++ c++ clang; do
  if command -v "$compiler" >/dev/null; then echo "index: a compiler is here: $compiler"; exit 1; fi
done
echo "index: no compiler in the root; $(python3 --version)"
python3 -m venv /opt/torvak
/opt/torvak/bin/pip install --disable-pip-version-check --index-url file:///index/simple zeq_torvak 2>&1 \
  | grep -E "^(Processing|Successfully|ERROR)" | sed "s/^/index: pip: /"
/opt/torvak/bin/python -c "import zeq_torvak, torvak_serial, sys
print(\"index: imported\", zeq_torvak.__file__, \"on Python\", sys.version.split()[0])"
echo "index: $(/opt/torvak/bin/torvak --version)"'
fi

# What the root gets from the host, put in before main.sh runs.
mkdir -p "$run/host"
cp /usr/local/share/ca-certificates/*.crt "$run/host/" 2>/dev/null || true
cat >"$run/host/pip.conf" <<'EOF'
[global]
cert = /etc/ssl/certs/ca-certificates.crt
EOF
if apt-config dump 2>/dev/null | grep -qx 'Acquire::Check-Valid-Until "false";'; then
  printf 'Acquire::Check-Valid-Until "false";\nAcquire::Check-Date "false";\n' >"$run/host/99torvak-mirror"
fi

# Inside new mount, PID and UTS namespaces: the mounts go away with the namespace, and so
# does every process main.sh left behind.
log=$cache/run-$suite.log
status=0
unshare --mount --pid --uts --fork --kill-child /bin/bash -euo pipefail -c '
  run=$1 base=$2 cache=$3 suite=$4 index=$5 inner=$6
  mount --make-rprivate /
  root=$run/root
  mount -t overlay overlay -o "lowerdir=$base,upperdir=$run/upper,workdir=$run/work" "$root"
  mount -t proc proc "$root/proc"
  mount -t sysfs sysfs "$root/sys"
  mount -t tmpfs -o mode=0755 tmpfs "$root/dev"
  for node in null zero full random urandom tty; do
    touch "$root/dev/$node"; mount --bind "/dev/$node" "$root/dev/$node"
  done
  mkdir -p "$root/dev/pts" "$root/dev/shm"
  mount -t devpts -o newinstance,ptmxmode=0666,mode=0620 devpts "$root/dev/pts"
  ln -s pts/ptmx "$root/dev/ptmx"
  mount -t tmpfs tmpfs "$root/dev/shm"
  ln -s /proc/self/fd "$root/dev/fd"
  mount -t tmpfs tmpfs "$root/run"
  mount -t tmpfs tmpfs "$root/tmp"
  mount --bind "$cache/$suite-debs" "$root/var/cache/apt/archives"
  hostname torvak-fresh-root
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  mkdir -p "$root/usr/local/share/ca-certificates"
  cp "$run"/host/*.crt "$root/usr/local/share/ca-certificates/" 2>/dev/null || true
  cp "$run/host/pip.conf" "$root/etc/pip.conf"
  [ ! -f "$run/host/99torvak-mirror" ] || cp "$run/host/99torvak-mirror" "$root/etc/apt/apt.conf.d/"
  mv "$run/checkout" "$root/root/torvak"
  if [ -n "$index" ]; then
    mkdir -p "$root/index"
    mount --bind "$index" "$root/index"
    mount -o remount,bind,ro "$root/index"
  fi
  exec chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root TERM=dumb LANG=C.UTF-8 /bin/bash -c "$inner"
' sh "$run" "$base" "$cache" "$suite" "$index" "$inner" </dev/null 2>&1 | tee "$log" | sed -u "s/^/fresh-root $suite: /" || status=$?

elapsed=$((SECONDS - started))
if [ -n "$index" ]; then
  [ "$status" = 0 ] || fail "installing from the index failed after $elapsed s (log $log)"
  grep -q '^index: pip: Successfully installed .*zeq_torvak' "$log" || fail "pip did not install zeq_torvak (log $log)"
  grep -q '^index: pip: Processing /index/zeq_torvak-.*manylinux.*\.whl' "$log" || fail "zeq_torvak did not come from a wheel of the index (log $log)"
  say "passed in $elapsed s: installed from the index's wheel with no compiler"
  exit 0
fi
[ "$status" = 0 ] || fail "tools/main.sh ended with status $status after $elapsed s (log $log)"
# The emulated device's report: channel 1 received the demonstration's line.
grep -qE '^with-emulated-device: EMU0001 S1 received [0-9]+ bytes: .*Hello, World!' "$log" \
  || fail "the emulated device did not report \"Hello, World!\" on channel 1 (log $log)"
grep -q "^round trip: .*read back b'round trip\\\\n'" "$log" \
  || fail "no round trip through channel 1 (log $log)"
say "passed in $elapsed s: the demonstration reached the emulated device"
