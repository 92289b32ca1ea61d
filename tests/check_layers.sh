#!/usr/bin/env bash
# Fails when a file includes a room above its own, or an operating-system header outside
# platform/. Rooms may include themselves and the rooms listed for them; the test rooms (tests/,
# bench/, fuzz/) may include anything.
set -euo pipefail
root="${1:?usage: check_layers.sh SOURCE_DIR}"
cd "$root"

declare -A allowed=(
  [platform]="platform"
  [firmware]="firmware platform"
  [device]="device firmware platform"
  [sim]="sim firmware platform"
  [wizard]="wizard device firmware platform"
  [frontend]="frontend wizard device firmware sim platform"
  [cli]="cli frontend wizard sim platform"
  [app]="app frontend wizard sim platform"
)

status=0
for room in "${!allowed[@]}"; do
  [ -d "$room" ] || continue
  while IFS= read -r -d '' file; do
    while IFS=: read -r line text; do
      [[ $room == sim && $text == *'"device/protocol.hpp"'* ]] && continue  # the wire format only
      if [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^/\"]+)/ ]]; then
        target="${BASH_REMATCH[1]}"
        if [[ " ${allowed[$room]} " != *" $target "* ]]; then
          echo "$file:$line: $room/ must not include $target/: $text"
          status=1
        fi
      elif [[ $text =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\<([^\>]+)\> ]]; then
        header="${BASH_REMATCH[1]}"
        # Outside platform/ only the C++ library (no extension) and Qt (Q..., Qt...) are allowed.
        if [[ $room != platform && ( $header == *.* || $header == */* ) && $header != Q* ]]; then
          echo "$file:$line: operating-system or C header outside platform/: $text"
          status=1
        fi
      fi
    done < <(grep -n '^[[:space:]]*#[[:space:]]*include' "$file" || true)
  done < <(find "$room" -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.in' \) -print0)
done
exit $status
