#!/usr/bin/env bash
# Pictures of the main window for the README: under Xvfb, beside a messenger
# stand-in (tests/support/standin_messenger.cpp) in a network namespace of its own,
# the program runs once as server application and once as client application
# with automatic connection; when its trace says "STREAM UP" the window is
# captured into docs/screenshot-server.png and docs/screenshot-client.png.
#
#   sudo bash scripts/screenshots.sh [BUILD_DIR]      (default: build)
#
# Needs root (unshare -n), Xvfb, x11-utils (xwininfo), imagemagick (import)
# and a Japanese font (fonts-ipafont-gothic).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
out="$root/docs"

# Everything below runs in a network namespace of its own: the messenger
# socket and the one-instance name are private to it.
if [ -z "${CORVANE_SCREENSHOT_NETNS:-}" ]; then
  exec unshare -n env CORVANE_SCREENSHOT_NETNS=1 bash "$0" "$build"
fi

for tool in Xvfb xwininfo import; do
  command -v "$tool" >/dev/null || { echo "missing: $tool (bash scripts/install-deps.sh)" >&2; exit 1; }
done
program="$build/bin/corvanefortcp"
standin="$build/bin/standin_messenger"
[ -x "$program" ] && [ -x "$standin" ] || cmake --build "$build" --target corvanefortcp standin_messenger -j2
ip link set lo up 2>/dev/null || true

work=$(mktemp -d /tmp/corvane-shots.XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

display=:$((70 + $$ % 20))
Xvfb "$display" -screen 0 1024x900x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  DISPLAY=$display xwininfo -root >/dev/null 2>&1 && break
  sleep 0.1
done

# wait_for FILE TEXT SECONDS
wait_for() {
  for _ in $(seq $(($3 * 10))); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  echo "timed out waiting for '$2' in $1" >&2
  tail -20 "$1" >&2 || true
  return 1
}

shoot() {
  local mode=$1 ini=$2 dir="$work/$1"
  mkdir -p "$dir"
  ln -s "$program" "$dir/corvanefortcp"
  printf '%b' "$ini" >"$dir/CorvaneForTcp.ini"
  "$standin" --mode "$mode" 2>"$dir/messenger.log" &
  local standin_pid=$!
  pids+=("$standin_pid")
  (cd "$dir" && DISPLAY=$display LANG=C.UTF-8 exec ./corvanefortcp -D119 >"$dir/trace.log" 2>&1) &
  local program_pid=$!
  pids+=("$program_pid")
  wait_for "$dir/trace.log" "STREAM UP" 20
  # Let timer 1 set the lamps and the throughput arrive.
  sleep 2.5
  local id
  id=$(DISPLAY=$display xwininfo -name CorvaneForTcp | awk '/Window id:/ {print $4}')
  DISPLAY=$display import -window "$id" "$out/screenshot-$mode.png"
  echo "wrote $out/screenshot-$mode.png"
  kill -TERM "$program_pid"
  wait "$program_pid" 2>/dev/null || true
  kill "$standin_pid" 2>/dev/null || true
  wait "$standin_pid" 2>/dev/null || true
}

mkdir -p "$out"
shoot server '[SYSTEM]\r\nAPPMODE=0\r\nENABLEUSER=0\r\n'
shoot client '[SYSTEM]\r\nAPPMODE=1\r\n[CLIENT]\r\nAUTOCONNECT=1\r\nAUTOCONNECTUSER=peer@pc-b.test\r\n'
