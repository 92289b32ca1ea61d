#!/usr/bin/env bash
# Runs PROGRAM [ARGS...] against a display server of its own: `wayland` starts weston's headless
# backend (and leaves DISPLAY unset, so that XWayland cannot stand in), `x11` starts Xvfb. Exits 77
# (skipped) when the server is not installed; otherwise with the program's status.
#   run_on_display.sh wayland|x11 PROGRAM [ARGS...]
set -uo pipefail
kind=$1
shift
server_pid=""
runtime=$(mktemp -d)
chmod 700 "$runtime"
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  rm -rf "$runtime"
}
trap cleanup EXIT

case "$kind" in
  wayland)
    command -v weston >/dev/null || { echo "weston is not installed: skipped"; exit 77; }
    socket="kavori-test-$$"
    XDG_RUNTIME_DIR="$runtime" weston --backend=headless-backend.so --socket="$socket" \
      --idle-time=0 >"$runtime/weston.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 200); do [ -S "$runtime/$socket" ] && break; sleep 0.05; done
    [ -S "$runtime/$socket" ] || { cat "$runtime/weston.log"; echo "weston did not start"; exit 1; }
    # The window's widgets draw into shared memory and never use OpenGL. Without a buffer
    # integration Qt does not start Mesa's EGL, whose software driver is unloaded at exit with
    # allocations that LeakSanitizer then cannot attribute to any library or suppress.
    env -u DISPLAY XDG_RUNTIME_DIR="$runtime" WAYLAND_DISPLAY="$socket" QT_QPA_PLATFORM=wayland \
      QT_WAYLAND_CLIENT_BUFFER_INTEGRATION=none KAVORI_EXPECT_PLATFORM=wayland "$@"
    ;;
  x11)
    command -v Xvfb >/dev/null && command -v xprop >/dev/null ||
      { echo "Xvfb or xprop is not installed: skipped"; exit 77; }
    Xvfb -displayfd 5 -screen 0 1280x1024x24 -nolisten tcp 5>"$runtime/display" \
      >"$runtime/xvfb.log" 2>&1 &
    server_pid=$!
    for _ in $(seq 200); do [ -s "$runtime/display" ] && break; sleep 0.05; done
    [ -s "$runtime/display" ] || { cat "$runtime/xvfb.log"; echo "Xvfb did not start"; exit 1; }
    env -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$runtime" DISPLAY=":$(head -n1 "$runtime/display")" \
      QT_QPA_PLATFORM=xcb KAVORI_EXPECT_PLATFORM=xcb "$@"
    ;;
  *)
    echo "usage: run_on_display.sh wayland|x11 PROGRAM [ARGS...]" >&2
    exit 64
    ;;
esac
