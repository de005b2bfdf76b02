#!/usr/bin/env bash
# Proves the wheel in dist/ (scripts/build_wheel.sh) on a Debian 12 that has
# none of the build's packages: a minimal root made by debootstrap (variant
# minbase plus python3, python3-venv and python3-pip; made once and kept in
# build/wheel-test-root) gets a fresh virtual environment with the wheel and
# its dependencies from the package index, and the checks run in it through
# chroot. Every check runs; each prints ok or FAIL.
#
# Exit status: 0 when every check passed, 1 when one failed, 77 when the test
# cannot run here (not root, no debootstrap, no network), with the reason.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
root=build/wheel-test-root
venv=/opt/pynvk-venv  # inside the root

skip() { echo "test_wheel: SKIPPED: $*" >&2; exit 77; }
fail() { echo "test_wheel: $*" >&2; exit 1; }

[ "$(id -u)" -eq 0 ] || skip "making and entering the Debian root needs root (debootstrap, chroot, mount)"
command -v debootstrap >/dev/null || skip "debootstrap is missing (apt-get install debootstrap; scripts/setup.sh installs it)"
shopt -s nullglob
wheels=(dist/pynvk_boards_pp-*.whl)
shopt -u nullglob
((${#wheels[@]} == 1)) || fail "dist/ holds ${#wheels[@]} wheels of pynvk_boards_pp, not one: run scripts/build_wheel.sh"
wheel=${wheels[0]}

# The root's pip reaches the index the host's pip uses (a file:// index or
# find-links of the host does not exist in the root), through the host's CA
# bundle and name servers.
index=${PIP_INDEX_URL:-$("$PYTHON" -m pip config get global.index-url 2>/dev/null || echo https://pypi.org/simple)}
ca_bundle=${PIP_CERT:-/etc/ssl/certs/ca-certificates.crt}
reachable() {
  "$PYTHON" - "$1" "$ca_bundle" <<'EOF'
import os, ssl, sys, urllib.request
cafile = sys.argv[2] if os.path.isfile(sys.argv[2]) else None
urllib.request.urlopen(sys.argv[1], timeout=20, context=ssl.create_default_context(cafile=cafile)).close()
EOF
}
reachable "${index%/}/pip/" 2>/dev/null || skip "the package index $index cannot be reached"

started=$(date +%s)
if [ ! -e "$root/.complete" ]; then
  # The Debian mirror apt already uses, for the suite bookworm.
  mirror=$(apt-cache policy 2>/dev/null | awk '$3 ~ /^bookworm\// { print $2; exit }')
  mirror=${DEBIAN_MIRROR:-${mirror:-http://deb.debian.org/debian}}
  reachable "$mirror/dists/bookworm/Release" 2>/dev/null || skip "the Debian mirror $mirror cannot be reached"
  echo "making the Debian 12 root in $root from $mirror (once; kept for later runs)"
  partial=$root.partial
  # An interrupted debootstrap may leave mounts behind: never delete through them.
  { findmnt -rn -o TARGET | grep -F "$PWD/$partial/" || true; } | sort -r | xargs -r umount -l
  rm -rf --one-file-system "$partial"
  debootstrap --variant=minbase --include=python3,python3-venv,python3-pip bookworm "$partial" "$mirror" \
    >build/wheel-test-root.log 2>&1 || { tail -n 20 build/wheel-test-root.log >&2; fail "debootstrap failed (log: build/wheel-test-root.log)"; }
  touch "$partial/.complete"
  rm -rf --one-file-system "$root"
  mv "$partial" "$root"
  echo "root made in $(($(date +%s) - started)) s"
fi

mounted=()
unmount() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount "${mounted[i]}" || umount -l "${mounted[i]}"
  done
  mounted=()
}
trap unmount EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
mount -t proc proc "$root/proc"
mounted+=("$root/proc")
mount --bind /dev "$root/dev"
mounted+=("$root/dev")

cp -L /etc/resolv.conf "$root/etc/resolv.conf"
root_ca=
if [ -f "$ca_bundle" ]; then
  cp -L "$ca_bundle" "$root/etc/ssl/host-ca-bundle.crt"
  root_ca=/etc/ssl/host-ca-bundle.crt
fi
rm -f "$root"/tmp/pynvk_boards_pp-*.whl
cp "$wheel" "$root/tmp/"

status=0
# Only what the checks need passes into the root: none of the host's Python,
# library or pip settings.
chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
  PIP_INDEX_URL="$index" PIP_CERT="$root_ca" PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=120 \
  STARTED="$started" VENV="$venv" WHEEL="/tmp/$(basename "$wheel")" /bin/bash -s <<'EOF' || status=$?
set -uo pipefail
[ -n "$PIP_CERT" ] || unset PIP_CERT
passed=0 failed=0
summary() {
  echo "test_wheel: $(($(date +%s) - STARTED)) s"
  echo "wheel checks: $passed passed, $failed failed"
}
check() {  # check DESCRIPTION COMMAND...: runs the command, prints its output when it fails
  local output
  if output=$("${@:2}" 2>&1); then
    echo "ok    $1"
    passed=$((passed + 1))
  else
    echo "FAIL  $1"
    sed 's/^/      /' <<<"$output"
    failed=$((failed + 1))
  fi
}
python() { "$VENV/bin/python" -c "$1"; }

none_of_the_build() {
  local package found=0
  for package in gcc g++ cpp cmake pkg-config libftdi1-2 libftdi1-dev libusb-1.0-0 libusb-1.0-0-dev \
    libfmt9 umockdev libumockdev0 libglib2.0-0; do
    if [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ]; then
      echo "$package is installed"
      found=1
    fi
  done
  return $found
}
check "the root has none of the build's packages" none_of_the_build

rm -rf "$VENV"
install_wheel() { python3 -m venv "$VENV" && "$VENV/bin/pip" install -q "$WHEEL"; }
check "$(basename "$WHEEL") installs with its dependencies" install_wheel
((failed == 0)) || { summary; exit 1; }

check "the module imports" python 'import _pynvk_boards_pp'
check "the emulated chip is not installed" python '
import importlib.util
assert importlib.util.find_spec("ftdi_emulator") is None'
check "list_pcb_rix() returns []" python '
import _pynvk_boards_pp as nvk
boards = nvk.list_pcb_rix()
assert boards == [], boards'
check "PCB_RIX(\"X\").opened() is False" python '
import _pynvk_boards_pp as nvk
assert nvk.PCB_RIX("X").opened() is False'
check "stats() of that board is all zeros" python '
import _pynvk_boards_pp as nvk
stats = nvk.PCB_RIX("X").stats()
assert stats and all(value == 0 for value in stats.values()) and stats["running"] is False, stats'

extension_links() {
  local extension libraries
  extension=$("$VENV/bin/python" -c 'import _pynvk_boards_pp; print(_pynvk_boards_pp.__file__)') &&
    libraries=$(ldd "$extension") || return 1
  echo "$libraries"
  ! grep -q 'not found' <<<"$libraries" &&
    grep -q 'libftdi1-.* => .*/pynvk_boards_pp\.libs/' <<<"$libraries" &&
    grep -q 'libusb-1.* => .*/pynvk_boards_pp\.libs/' <<<"$libraries"
}
check "ldd finds every library of the extension, libftdi1 and libusb in the wheel's own copies" extension_links

check "pcb-rix --help" "$VENV/bin/pcb-rix" --help
says_no_board() {  # the command ran (status 0, or 1 for "nothing found") and says no board is attached
  local output status=0
  output=$("$@" 2>&1) || status=$?
  echo "$output"
  ((status <= 1)) && ! grep -q Traceback <<<"$output" && grep -qiE 'no .*board' <<<"$output"
}
check "pcb-rix list says that no board is attached" says_no_board "$VENV/bin/pcb-rix" list
doctor_finds_the_libraries() {  # 1: no board usable; 2: libusb or libftdi could not be loaded or started
  local status=0
  "$VENV/bin/pcb-rix" doctor || status=$?
  ((status == 1))
}
check "pcb-rix doctor loads libftdi1 and libusb (no board: status 1)" doctor_finds_the_libraries
check "h5py imports" python 'import h5py'

summary
((failed == 0))
EOF
exit $status
