#!/usr/bin/env bash
# The desktop entry and the AppStream metadata of both packages as configured in the build tree:
# the validators pass without a remark, the window's screenshots are the ones in docs/screenshots/,
# and the newest release in each metadata file and in the package changelog is the project's
# version.
set -euo pipefail
dir="$1" id="$2" flash_id="$3" package="$4" version="$5" homepage="$6" source="$7"
desktop="$dir/$id.desktop"
metainfo="$dir/$id.metainfo.xml"
flash_metainfo="$dir/$flash_id.metainfo.xml"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

remarks=$(desktop-file-validate --warn-kde "$desktop" 2>&1) || fail "desktop-file-validate: $remarks"
[ -z "$remarks" ] || fail "desktop-file-validate: $remarks"

# Strict: infos and warnings fail too. The id lies under a reserved top-level domain that the
# validator's list of domains does not know.
for file in "$metainfo" "$flash_metainfo"; do
  appstreamcli validate --no-net --strict --override=cid-maybe-not-rdns=pedantic "$file" ||
    fail "appstreamcli validate $file"
  newest=$(grep -o -m1 '<release version="[^"]*"' "$file" | cut -d'"' -f2)
  [ "$newest" = "$version" ] || fail "newest release in $file is $newest, the project is $version"
done

images=$(sed -n 's:.*<image>\(.*\)</image>.*:\1:p' "$metainfo")
[ -n "$images" ] || fail "no screenshots in $metainfo"
for url in $images; do
  case "$url" in
    "$homepage"/*) ;;
    *) fail "screenshot $url is not under the project's pages $homepage" ;;
  esac
  [ -f "$source/${url#"$homepage"/}" ] || fail "screenshot $url has no file ${url#"$homepage"/}"
done

top=$(head -n1 "$source/res/linux/debian/changelog")
[[ "$top" == "$package ($version) "* ]] ||
  fail "debian/changelog starts with \"$top\", not with $package ($version)"
echo "desktop entry, AppStream metadata and changelog: fine"
