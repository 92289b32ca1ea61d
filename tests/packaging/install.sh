#!/usr/bin/env bash
# `cmake --install` into scratch roots with prefix /usr, as the packages do: each install component
# (one package each) lands exactly its files where Debian, udev and the desktop look for them, and
# together they are everything the project installs. The terminal tool needs no library of the
# desktop; the desktop entry, icon and metadata name each other; and the kavori-flash of the
# terminal tool's root alone programs the simulated device with its sample image, read from a
# scratch copy (a loaded image is locked).
set -euo pipefail
build="$1" work="$2" id="$3" flash_id="$4" flash_package="$5" window_package="$6" rules="$7"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

rm -rf "$work"
mkdir -p "$work"
install_into() { # ROOT [COMPONENT]
  local root=$1
  shift
  DESTDIR="$root" cmake --install "$build" --prefix /usr ${1:+--component "$1"} \
    >"$work/install.log" || fail "cmake --install ${1:-}: $(cat "$work/install.log")"
}
files_of() { (cd "$1" && find . -type f -o -type l | sed 's:^\./::' | sort); }
expect_files() { # ROOT WHAT EXPECTED
  local installed
  installed=$(files_of "$1")
  [ "$installed" = "$3" ] ||
    fail "$2 differs from the expected files:
$(diff <(echo "$3") <(echo "$installed") || true)"
}

flash_doc="usr/share/doc/$flash_package"
window_doc="usr/share/doc/$window_package"
flash_files=$(sort <<EOF2
usr/bin/kavori-flash
${rules#/}/70-kavori.rules
usr/share/man/man1/kavori-flash.1.gz
usr/share/metainfo/$flash_id.metainfo.xml
$flash_doc/changelog.gz
$flash_doc/copyright
$flash_doc/examples/kavori-demo.hex
$flash_doc/kavori-flash-events.schema.json
EOF2
)
window_files=$(sort <<EOF2
usr/bin/kavori-fwtool
usr/share/applications/$id.desktop
usr/share/icons/hicolor/32x32/apps/$id.png
usr/share/icons/hicolor/scalable/apps/$id.svg
usr/share/metainfo/$id.metainfo.xml
usr/share/man/man1/kavori-fwtool.1.gz
$window_doc/changelog.gz
$window_doc/copyright
EOF2
)
install_into "$work/flash" flash
expect_files "$work/flash" "the $flash_package package" "$flash_files"
install_into "$work/window" window
expect_files "$work/window" "the $window_package package" "$window_files"
# A file of no component would be in neither package.
root="$work/root"
install_into "$root"
expect_files "$root" "the whole install" "$(sort <<<"$flash_files"$'\n'"$window_files")"

# Qt Core only: a service bench installs no desktop for the terminal tool.
qt=$(readelf -d "$work/flash/usr/bin/kavori-flash" | sed -n 's/.*Shared library: \[\(libQt6[^]]*\)\].*/\1/p')
[ "$qt" = libQt6Core.so.6 ] || fail "kavori-flash needs Qt libraries beyond Qt Core: $qt"

for binary in kavori-flash kavori-fwtool; do
  [ -x "$root/usr/bin/$binary" ] || fail "$binary is not executable"
done
for file in usr/share/man/man1/kavori-flash.1.gz usr/share/man/man1/kavori-fwtool.1.gz \
  "$flash_doc/changelog.gz" "$window_doc/changelog.gz"; do
  gzip -t "$root/$file" || fail "$file is no valid gzip file"
done
file -b "$root/usr/share/icons/hicolor/32x32/apps/$id.png" | grep -q '^PNG image data, 32 x 32,' ||
  fail "the 32x32 icon is not a 32x32 PNG"

desktop="$root/usr/share/applications/$id.desktop"
exec_line=$(sed -n 's/^Exec=//p' "$desktop")
[ -x "$root/usr/bin/${exec_line%% *}" ] || fail "Exec=$exec_line names no installed binary"
icon=$(sed -n 's/^Icon=//p' "$desktop")
[ -f "$root/usr/share/icons/hicolor/scalable/apps/$icon.svg" ] || fail "Icon=$icon is not installed"
grep -qF "<launchable type=\"desktop-id\">$id.desktop</launchable>" \
  "$root/usr/share/metainfo/$id.metainfo.xml" || fail "the metadata does not launch $id.desktop"

scratch="$work/firmware"
mkdir -p "$scratch"
cp "$work/flash/$flash_doc/examples/kavori-demo.hex" "$scratch/"
status=0
(cd "$scratch" && XDG_STATE_HOME="$work/state" "$work/flash/usr/bin/kavori-flash" --simulate --yes --json) >"$work/run.json" \
  2>"$work/run.err" || status=$?
[ "$status" -eq 0 ] || fail "kavori-flash exited with $status: $(cat "$work/run.err")"
device=$(grep '"event":"device"' "$work/run.json") || fail "no device event in $work/run.json"
image_sha=$(sha256sum "$scratch/kavori-demo.hex" | cut -d' ' -f1)
grep -qF "\"flash_sha256\":\"$image_sha\"" <<<"$device" ||
  fail "the simulated device does not hold the sample image: $device"
grep -qF '"mode":"normal"' <<<"$device" || fail "the device did not restart: $device"
echo "install and a simulated run of the installed kavori-flash: fine"
