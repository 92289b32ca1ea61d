#!/usr/bin/env bash
# One scenario inside the test guest (started by guest_init.sh): Kavori gadgets on the guest's
# dummy_hcd ports, the tool on the real stack against them, and checks. Where a scenario has an
# in-process counterpart, the same tool runs it with --simulate and the same device options
# afterwards, and both runs must show the same events. Writes its evidence to /out; prints
# "ok ..." or "FAILED ..." per check and "result KEY=VALUE" for the summary; exits 1 when any
# check failed.
set -uo pipefail

scenario="${1:?usage: guest_scenario.sh SCENARIO}"
build="${KAVORI_BUILD:?}"
flash_tool="$build/cli/kavori-flash"
gadget_tool="$build/tests/usb-guest/kavori-gadget"
out=/out
# A run that hangs is cut off here and fails its exit-code check.
run_bound_s=150
# The demo image: 30000 bytes, 536 blocks, version 5.01.16 (release 0x0110).
image_blocks=536
burned_release=0x0110
failed=0
declare -A gadget_pids=()

export HOME=/tmp XDG_RUNTIME_DIR=/tmp/runtime
mkdir -p -m 700 "$XDG_RUNTIME_DIR"

check() { # NAME COMMAND...: one named check
  local name=$1
  shift
  if "$@"; then
    echo "ok $name"
  else
    echo "FAILED $name"
    failed=1
  fi
}

equals() { # WHAT EXPECTED ACTUAL
  [ "$2" = "$3" ] && return 0
  echo "  $1: expected '$2', got '$3'"
  return 1
}

state_of() { # GADGET KEY: a value the gadget wrote when it stopped
  sed -n "s/^$2=//p" "$out/$1.state" 2>/dev/null
}

# Each run gets a folder of its own: a loaded image is locked against every other loader.
firmware_dir() { # NAME
  mkdir -p "/tmp/$1"
  "$build/firmware/kavori-mkimage" "/tmp/$1/demo.hex"
  chmod -R a+rX "/tmp/$1"
  echo "/tmp/$1"
}

start_gadget() { # NAME UDC ARGS...
  local name=$1 udc=$2
  shift 2
  "$gadget_tool" --name "$name" --udc "$udc" --record "$out/$name" "$@" 2>"$out/$name.log" &
  gadget_pids[$name]=$!
}

stop_gadget() { # NAME
  kill -TERM "${gadget_pids[$1]}" 2>/dev/null
  wait "${gadget_pids[$1]}"
  local code=$?
  unset "gadget_pids[$1]"
  check "gadget $1 stopped cleanly" equals "gadget exit code" 0 "$code"
}

median() { # the median of the numbers on stdin, one per line
  sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

hid_count() { # VENDOR PRODUCT: how many hidraw nodes have that id
  local id
  id=$(printf 'HID_ID=0003:0000%04X:0000%04X' "$1" "$2")
  cat /sys/class/hidraw/*/device/uevent 2>/dev/null | grep -cx "$id"
}

wait_hid() { # VENDOR PRODUCT [COUNT]: until COUNT (1) hidraw nodes of that id are there, 20 s at most
  local tries
  for ((tries = 0; tries < 400; tries++)); do
    [ "$(hid_count "$1" "$2")" -ge "${3:-1}" ] && return 0
    sleep 0.05
  done
  echo "  fewer than ${3:-1} hidraw nodes of $1:$2 appeared"
  return 1
}

wait_no_kavori() { # until no hidraw node of a Kavori is left, 20 s at most
  local tries
  for ((tries = 0; tries < 400; tries++)); do
    [ "$(($(hid_count 0x0BEF 0x8105) + $(hid_count 0x0BEF 0x0005)))" -eq 0 ] && return 0
    sleep 0.05
  done
  echo "  a Kavori node stayed after its gadget stopped"
  return 1
}

run() { # LABEL COMMAND...: stdout, stderr, exit code, duration and end into /out/LABEL.*
  local label=$1 start end code
  shift
  start=$(date +%s%3N)
  # Into the guest's own memory first: every write to /out is a round trip to the host, which
  # would slow the tool down by its output.
  timeout -k 5 "$run_bound_s" "$@" >"/tmp/$label.out" 2>"/tmp/$label.err" </dev/null
  code=$?
  end=$(date +%s%3N)
  mv "/tmp/$label.out" "/tmp/$label.err" "$out/"
  echo "$code" >"$out/$label.rc"
  echo "$end" >"$out/$label.end"
  echo $((end - start)) >"$out/$label.ms"
  echo "  $label: exit $(cat "$out/$label.rc") after $(cat "$out/$label.ms") ms"
  if [ -s "$out/$label.err" ]; then
    echo "  $label stderr:"
    sed 's/^/    /' "$out/$label.err"
  fi
}

flash() { # LABEL ARGS...: kavori-flash on the real stack
  local label=$1
  shift
  run "$label" "$flash_tool" --dir "$(firmware_dir "$label")" --yes --json "$@"
}

simulate() { # LABEL OPTIONS ARGS...: the same tool on the in-process Kavori
  local label=$1 options=$2
  shift 2
  run "$label" "$flash_tool" --dir "$(firmware_dir "$label")" --yes --json \
    "--simulate=$options" "$@"
}

exit_code() { # LABEL EXPECTED
  equals "exit code of $1" "$2" "$(cat "$out/$1.rc")"
}

# The events of a run less those that describe the platform rather than the wizard: the end
# state of the simulated device (only --simulate has one) and the platform's diagnostics, which
# name what only one side has (node paths, the process that holds the lock).
events() { # the page events, without what differs from run to run: times, command lines, paths
  grep -v -e '"event":"device"' -e '"event":"diagnostic"' -e '"event":"start"' \
    -e '"event":"image"' -e '"event":"result"' "$out/$1.out" | sed 's/,"t":[0-9.e+-]*}$/}/'
}

same_events() { # REAL SIMULATED
  grep -h '"event":"diagnostic"' "$out/$1.out" "$out/$2.out" | sed "s/^/  diagnostic: /"
  if diff <(events "$1") <(events "$2") >"$out/$1.diff"; then
    return 0
  fi
  echo "  $1 and $2 differ (< real, > simulated):"
  sed 's/^/    /' "$out/$1.diff"
  return 1
}

has_event() { # LABEL JSON-FRAGMENT
  grep -qF "$2" "$out/$1.out" || {
    echo "  no $2 in $1"
    return 1
  }
}

flash_is_image() { # GADGET LABEL: the device burned exactly the file the run loaded
  cmp "$out/$1.flash" "/tmp/$2/demo.hex"
}

identity_release() { # what the real stack reads as release number now
  "$build/tests/usb-guest/kavori-identity" >"$out/identity-after.txt" 2>&1
  sed -n 's/^release=//p' "$out/identity-after.txt"
}

lock_free() { # the device's in-use lock can be taken by a process of its own
  equals "lock holder" Acquired "$("$build/tests/platform/kavori_lock_holder" </dev/null)"
}

no_tool_left() {
  local exe
  for exe in /proc/[0-9]*/exe; do
    [ "$(readlink "$exe")" != "$flash_tool" ] || return 1
  done
}

programmed_run_checks() { # GADGET LABEL COMMANDS
  local gadget=$1 label=$2
  check "$label exits 0" exit_code "$label" 0
  check "$label burned the file" flash_is_image "$gadget" "$label"
  check "$label sent $3" equals commands "$3" "$(state_of "$gadget" commands)"
  check "$label restarted the device with the image's release" \
    equals "release (gadget)" "$burned_release" "$(state_of "$gadget" release)"
  check "$label left the device in normal mode" \
    equals "product id" 0x0005 "$(state_of "$gadget" product_id)"
  echo "result ${label}_ms=$(cat "$out/$label.ms")"
  echo "result ${label}_ms_per_block=$(state_of "$gadget" data_ms_per_block)"
}

scenario_flash_normal() {
  start_gadget kavori0 dummy_udc.0
  check "normal-mode Kavori plugged" wait_hid 0x0BEF 0x0005
  flash real
  check "real stack reads the burned release" equals release "$burned_release" "$(identity_release)"
  stop_gadget kavori0
  programmed_run_checks kavori0 real "0x62 0x10 0x20*$image_blocks 0x30 0x40 0x70"
  simulate sim ""
  check "same events as in-process" same_events real sim
}

scenario_flash_loader() {
  start_gadget kavori0 dummy_udc.0 --device pid=0x8105
  check "loader-mode Kavori plugged" wait_hid 0x0BEF 0x8105
  flash real
  stop_gadget kavori0
  programmed_run_checks kavori0 real "0x10 0x20*$image_blocks 0x30 0x40 0x70"
  simulate sim pid=0x8105
  check "same events as in-process" same_events real sim
}

scenario_unplug() {
  # Block 256 of 536: the device goes in the middle of the download.
  local fault=unplug=data@0x3800 after
  start_gadget kavori0 dummy_udc.0 --device "$fault"
  check "Kavori plugged" wait_hid 0x0BEF 0x0005
  flash real --reply-timeout-ms 1000
  check "the run fails" exit_code real 1
  check "it names the block" has_event real '"text":"Programming Failed [3800]."'
  check "the device is gone" equals "Kavori nodes" 0 \
    "$(($(hid_count 0x0BEF 0x8105) + $(hid_count 0x0BEF 0x0005)))"
  check "no tool process is left" no_tool_left
  check "the in-use lock is free" lock_free
  stop_gadget kavori0
  check "the download stopped at the block" equals commands \
    "0x62 0x10 0x20*257" "$(state_of kavori0 commands)"
  after=$(($(cat "$out/real.end") - $(state_of kavori0 pulled_out_epoch_ms)))
  echo "result exit_after_unplug_ms=$after"
  # One reply time-out (1000 ms), then closing and exiting; only a hang comes near the bound.
  check "it ends soon after the reply time-out" test "$after" -lt 10000
  simulate sim "$fault" --reply-timeout-ms 1000
  check "same events as in-process" same_events real sim

  # Plugged back in, still in its loader: a second run programs it.
  start_gadget kavori1 dummy_udc.0 --device pid=0x8105
  check "Kavori plugged back" wait_hid 0x0BEF 0x8105
  flash again
  stop_gadget kavori1
  programmed_run_checks kavori1 again "0x10 0x20*$image_blocks 0x30 0x40 0x70"
}

scenario_no_return() {
  local fault=unplug=prepare
  start_gadget kavori0 dummy_udc.0 --device "$fault"
  check "Kavori plugged" wait_hid 0x0BEF 0x0005
  flash real --wait 3
  check "the run gives up after --wait" exit_code real 5
  check "no tool process is left" no_tool_left
  check "the in-use lock is free" lock_free
  stop_gadget kavori0
  simulate sim "$fault" --wait 3
  check "same events as in-process" same_events real sim
}

scenario_two_kavoris() {
  start_gadget kavori0 dummy_udc.0
  start_gadget kavori1 dummy_udc.1 --device serial=KAVSBL01234567890ABC01
  check "both Kavoris plugged" wait_hid 0x0BEF 0x0005 2
  flash real
  check "the count refuses" exit_code real 2
  stop_gadget kavori0
  stop_gadget kavori1
  check "nothing was sent to either" equals reports "0 0" \
    "$(state_of kavori0 reports) $(state_of kavori1 reports)"
  simulate sim devices=2
  check "same events as in-process" same_events real sim
}

scenario_foreign() {
  # One after the other: this kernel's HID function keeps the report descriptor length of the
  # gadget bound last for all of them, so a host that enumerates the keyboard after the
  # Kavori's bind reads a cut descriptor.
  start_gadget keyboard dummy_udc.0 --foreign
  check "keyboard plugged" wait_hid 0x046D 0xC31C
  start_gadget kavori0 dummy_udc.1
  check "Kavori plugged" wait_hid 0x0BEF 0x0005
  flash real
  stop_gadget kavori0
  stop_gadget keyboard
  check "no command reached the keyboard" equals "command reports" 0 \
    "$(state_of keyboard command_reports)"
  programmed_run_checks kavori0 real "0x62 0x10 0x20*$image_blocks 0x30 0x40 0x70"
  # The in-process world always has another maker's keyboard beside its Kavori.
  simulate sim ""
  check "same events as in-process" same_events real sim
}

scenario_lock_held() {
  start_gadget kavori0 dummy_udc.0
  check "Kavori plugged" wait_hid 0x0BEF 0x0005
  mkfifo /tmp/hold
  "$build/tests/platform/kavori_lock_holder" </tmp/hold >"$out/holder.out" &
  local holder=$!
  exec 3>/tmp/hold
  local tries=0
  while [ ! -s "$out/holder.out" ] && [ $((tries += 1)) -le 200 ]; do sleep 0.05; done
  check "another process holds the lock" equals holder Acquired "$(cat "$out/holder.out")"
  flash real
  check "the in-use page" has_event real '"text":"Kavori Device is in use by other application."'
  exec 3>&-
  wait "$holder"
  stop_gadget kavori0
  check "nothing was sent" equals reports 0 "$(state_of kavori0 reports)"
  simulate sim lock=held
  check "the in-use page, as in-process" same_events real sim
  echo "result real_exit=$(cat "$out/real.rc")"
}

kavori_node() { # the /dev path of the (one) Kavori's hidraw node
  local uevent
  for uevent in /sys/class/hidraw/*/device/uevent; do
    grep -qx 'HID_ID=0003:00000BEF:0000.*' "$uevent" || continue
    echo "/dev/$(basename "$(dirname "$(dirname "$uevent")")")"
    return 0
  done
  return 1
}

# Another application (as a softphone would) holds the Kavori's hidraw node open and
# takes no in-use lock. The tool must see it: the in-use page, exit 3, the holder named.
scenario_node_held() {
  start_gadget kavori0 dummy_udc.0
  check "Kavori plugged" wait_hid 0x0BEF 0x0005
  local node
  node=$(kavori_node)
  check "the Kavori's node found" test -n "$node"
  # Its command name comes from the name it was started by.
  ln -sf "$(command -v sleep)" /tmp/softphone
  /tmp/softphone 600 <>"$node" &
  local holder=$!
  local tries=0
  while [ "$(readlink "/proc/$holder/fd/0")" != "$node" ] && [ $((tries += 1)) -le 200 ]; do
    sleep 0.05
  done
  check "another process holds $node open" equals "its stdin" "$node" "$(readlink "/proc/$holder/fd/0")"
  flash real
  check "the device search fails as in use" exit_code real 3
  check "the in-use page" has_event real '"text":"Kavori Device is in use by other application."'
  check "the holder is named" has_event real \
    "is held open by another application, process $holder (softphone)"
  run diagnose "$flash_tool" --dir "$(firmware_dir diagnose)" --diagnose
  check "--diagnose names the holder" grep -q "process $holder (softphone)" "$out/diagnose.out"
  kill "$holder"
  wait "$holder" 2>/dev/null
  stop_gadget kavori0
  check "nothing was sent" equals reports 0 "$(state_of kavori0 reports)"
  simulate sim "held-by=$holder:softphone"
  check "the in-use page, as in-process" same_events real sim
  echo "result real_exit=$(cat "$out/real.rc")"
}

scenario_no_access() {
  start_gadget kavori0 dummy_udc.0
  check "Kavori plugged" wait_hid 0x0BEF 0x0005
  chmod 600 /dev/hidraw*
  # A copy in the guest's own /tmp: the build tree may sit where this user cannot reach.
  mkdir -p /tmp/bin
  cp "$flash_tool" /tmp/bin/
  # Without --json: the reasons go to stderr, where a user reads them.
  run real setpriv --reuid=65534 --regid=65534 --clear-groups -- \
    /tmp/bin/kavori-flash --dir "$(firmware_dir real)" --yes
  check "the tool did not crash" test "$(cat "$out/real.rc")" -lt 128
  check "the device search fails" exit_code real 3
  check "it says the device was not found" has_event real 'Kavori Device was NOT found.'
  stop_gadget kavori0
  check "nothing was sent" equals reports 0 "$(state_of kavori0 reports)"
  echo "result stderr_lines=$(wc -l <"$out/real.err")"
}

scenario_fwtool() {
  start_gadget kavori0 dummy_udc.0
  check "Kavori plugged" wait_hid 0x0BEF 0x0005
  QT_QPA_PLATFORM=offscreen run real "$build/tests/usb-guest/kavori-fwtool-driver" \
    "$(firmware_dir real)"
  sed 's/^/  /' "$out/real.out"
  stop_gadget kavori0
  programmed_run_checks kavori0 real "0x62 0x10 0x20*$image_blocks 0x30 0x40 0x70"
}

# Speed rather than behaviour: kavori-flash's time per data block next to the bare hidapi loop of
# kavori-raw-download on a fresh loader-mode gadget each, alternating, both timed by the gadget.
# The results go to scripts/bench, which holds the target; here each run only has to succeed.
scenario_bench() {
  local rounds=7 round product reference products=() references=() ratios=()
  for ((round = 1; round <= rounds; round++)); do
    start_gadget "product$round" dummy_udc.0 --device pid=0x8105
    check "round $round: Kavori plugged for kavori-flash" wait_hid 0x0BEF 0x8105
    flash "product$round"
    stop_gadget "product$round"
    check "round $round: kavori-flash exits 0" exit_code "product$round" 0
    check "round $round: its node is gone" wait_no_kavori
    start_gadget "reference$round" dummy_udc.0 --device pid=0x8105
    check "round $round: Kavori plugged for the bare loop" wait_hid 0x0BEF 0x8105
    run "reference$round" "$build/bench/kavori-raw-download" \
      "$(firmware_dir "reference$round")/demo.hex"
    stop_gadget "reference$round"
    check "round $round: the bare loop exits 0" exit_code "reference$round" 0
    check "round $round: its node is gone" wait_no_kavori
    product=$(state_of "product$round" data_ms_per_block)
    reference=$(state_of "reference$round" data_ms_per_block)
    [ -n "$product" ] && [ -n "$reference" ] || continue
    products+=("$product")
    references+=("$reference")
    ratios+=("$(awk -v p="$product" -v r="$reference" 'BEGIN { printf "%.4f", p / r }')")
  done
  check "every round was timed" equals "timed rounds" "$rounds" "${#ratios[@]}"
  echo "result bench_ms_per_block=$(printf '%s\n' "${products[@]}" | median)"
  echo "result bench_reference_ms_per_block=$(printf '%s\n' "${references[@]}" | median)"
  echo "result bench_ratio=$(printf '%s\n' "${ratios[@]}" | median)"
}

utf16le_hex() { printf '%s' "$1" | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 | tr -d ' \n'; }

# What the device link keeps of a string: the low byte of each UTF-16 unit.
narrowed_hex() { utf16le_hex "$1" | sed 's/\(..\)../\1/g'; }

# The image named on the command line, from a working folder without any: no folder search. The
# device already runs the image's version, so --yes refuses it before anything is sent, unless
# reinstalling is allowed.
named() { # LABEL OPTIONS ARGS...: kavori-flash FILE, on the real stack or (OPTIONS) simulated
  local label=$1 options=$2 file
  shift 2
  file="$(firmware_dir "$label")/demo.hex"
  mkdir -p /tmp/no-images
  (cd /tmp/no-images && run "$label" "$flash_tool" --yes --json ${options:+"--simulate=$options"} \
    "$@" "$file")
}

scenario_named_image() {
  start_gadget kavori0 dummy_udc.0 --device "release=$burned_release"
  check "Kavori plugged" wait_hid 0x0BEF 0x0005
  named same ""
  check "the same version is refused" exit_code same 7
  check "it says which versions it compared" grep -qF \
    "the image has firmware version 5.01.16, the device 5.01.16: the same version" "$out/same.err"
  named reinstall "" --allow-reinstall
  stop_gadget kavori0
  # The refused run sent nothing: the device saw one run's commands.
  programmed_run_checks kavori0 reinstall "0x62 0x10 0x20*$image_blocks 0x30 0x40 0x70"
  named sim-same "release=$burned_release"
  check "same events as in-process (refused)" same_events same sim-same
  named sim-reinstall "release=$burned_release" --allow-reinstall
  check "same events as in-process (reinstalled)" same_events reinstall sim-reinstall
}

scenario_identity() {
  local product='Kavori Sablé' serial='KAVSBL01234567890ABCDÉ'
  start_gadget kavori0 dummy_udc.0 --device "pid=0x000A,release=0x0237,product=$product,serial=$serial"
  check "Kavori plugged" wait_hid 0x0BEF 0x000A
  "$build/tests/usb-guest/kavori-identity" >"$out/identity.txt" 2>&1
  sed 's/^/  /' "$out/identity.txt"
  local -A seen=()
  local key value
  while IFS='=' read -r key value; do seen[$key]=$value; done <"$out/identity.txt"
  local -A expected=(
    [open]=0 [vendor_id]=0x0bef [product_id]=0x000a [release]=0x0237 [version_word]=0x000a0237
    [input_length]=65 [output_length]=65
    [product_utf16le]=$(utf16le_hex "$product") [serial_utf16le]=$(utf16le_hex "$serial")
    [product_narrowed]=$(narrowed_hex "$product") [serial_narrowed]=$(narrowed_hex "$serial")
  )
  for key in "${!expected[@]}"; do
    check "identity: $key" equals "$key" "${expected[$key]}" "${seen[$key]:-}"
  done
  stop_gadget kavori0
}

case "$scenario" in
  flash-normal | flash-loader | named-image | unplug | no-return | two-kavoris | foreign | \
    lock-held | node-held | no-access | fwtool | identity | bench)
    "scenario_${scenario//-/_}"
    ;;
  *)
    echo "FAILED unknown scenario $scenario"
    exit 1
    ;;
esac
for name in "${!gadget_pids[@]}"; do stop_gadget "$name"; done
exit "$failed"
