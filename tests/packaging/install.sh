#!/usr/bin/env bash
# `cmake --install` into a scratch root with prefix /usr, as the package does: every file lands
# where Debian, udev and the desktop look for it and nothing else is installed, the desktop entry,
# icon and metadata name each other, and the installed kavori-flash programs the simulated device
# with the installed sample image, read from a scratch copy (a loaded image is locked).
set -euo pipefail
build="$1" work="$2" id="$3" package="$4" rules="$5"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

root="$work/root"
rm -rf "$work"
mkdir -p "$work"
DESTDIR="$root" cmake --install "$build" --prefix /usr >"$work/install.log" ||
  fail "cmake --install: $(cat "$work/install.log")"

doc="usr/share/doc/$package"
expected=$(sort <<EOF2
usr/bin/kavori-flash
usr/bin/kavori-fwtool
${rules#/}/70-kavori.rules
usr/share/applications/$id.desktop
usr/share/icons/hicolor/32x32/apps/$id.png
usr/share/icons/hicolor/scalable/apps/$id.svg
usr/share/metainfo/$id.metainfo.xml
usr/share/man/man1/kavori-flash.1.gz
usr/share/man/man1/kavori-fwtool.1.gz
$doc/changelog.gz
$doc/copyright
$doc/examples/kavori-demo.hex
$doc/kavori-flash-events.schema.json
EOF2
)
installed=$(cd "$root" && find . -type f -o -type l | sed 's:^\./::' | sort)
[ "$installed" = "$expected" ] ||
  fail "installed files differ from the expected ones:
$(diff <(echo "$expected") <(echo "$installed") || true)"

for binary in kavori-flash kavori-fwtool; do
  [ -x "$root/usr/bin/$binary" ] || fail "$binary is not executable"
done
for file in usr/share/man/man1/kavori-flash.1.gz usr/share/man/man1/kavori-fwtool.1.gz \
  "$doc/changelog.gz"; do
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
cp "$root/$doc/examples/kavori-demo.hex" "$scratch/"
status=0
(cd "$scratch" && XDG_STATE_HOME="$work/state" "$root/usr/bin/kavori-flash" --simulate --yes --json) >"$work/run.json" \
  2>"$work/run.err" || status=$?
[ "$status" -eq 0 ] || fail "kavori-flash exited with $status: $(cat "$work/run.err")"
device=$(grep '"event":"device"' "$work/run.json") || fail "no device event in $work/run.json"
image_sha=$(sha256sum "$scratch/kavori-demo.hex" | cut -d' ' -f1)
grep -qF "\"flash_sha256\":\"$image_sha\"" <<<"$device" ||
  fail "the simulated device does not hold the sample image: $device"
grep -qF '"mode":"normal"' <<<"$device" || fail "the device did not restart: $device"
echo "install and a simulated run of the installed kavori-flash: fine"
