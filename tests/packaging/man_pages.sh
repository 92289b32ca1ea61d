#!/usr/bin/env bash
# The manual pages as configured in the build tree: man formats them without a warning, and they
# describe what the binaries do: every option and exit code that `kavori-flash --help` lists, and
# the window's service code.
set -euo pipefail
dir="$1" flash="$2" source="$3"
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

for page in "$dir/kavori-flash.1" "$dir/kavori-fwtool.1"; do
  # As lintian runs it: groff's warnings on, output thrown away, anything on stderr is a fault.
  warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
    man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null) || fail "man $page: $warnings"
  [ -z "$warnings" ] || fail "man $page: $warnings"
done

page="$dir/kavori-flash.1"
help=$("$flash" --help)
options=$(grep -oE '^ +(-h, )?--[a-z-]+' <<<"$help" | sed 's/.*--/--/')
[ -n "$options" ] || fail "no options in kavori-flash --help"
# The tag lines of the OPTIONS section: the line after each .TP.
tags=$(sed -n '/^\.SH OPTIONS/,/^\.SH /p' "$page" | sed -n '/^\.TP/{n;p}')
for option in $options; do
  grep -qE -- "^\.B[IR]? (.* )?${option//-/\\\\-}( |\\[|$)" <<<"$tags" ||
    fail "kavori-flash.1 has no entry for $option under OPTIONS"
done
codes=$(sed -n '/^Exit codes:/,$p' <<<"$help" | grep -oE '(^| )[0-9]+ [a-z]' | grep -oE '[0-9]+')
[ -n "$codes" ] || fail "no exit codes in kavori-flash --help"
status=$(sed -n '/^\.SH EXIT STATUS/,/^\.SH /p' "$page")
for code in $codes; do
  grep -qx "\.B $code" <<<"$status" || fail "kavori-flash.1 has no exit status $code"
done

code=$(grep -oE 'kServiceCode\[\] = "[0-9]+"' "$source/app/about_dlg.hpp" | grep -oE '[0-9]+')
[ -n "$code" ] || fail "no service code in app/about_dlg.hpp"
grep -qx "\.B $code" "$dir/kavori-fwtool.1" || fail "kavori-fwtool.1 does not give service code $code"
echo "manual pages: fine"
