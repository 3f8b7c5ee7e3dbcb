#!/usr/bin/env bash
# Tunnel throughput benchmark (run by hand, as root; not part of ctest):
#
#   sudo bash bench/tunnel_throughput/run.sh [MB]      (default 20)
#
# Two PCs as in the end-to-end tests; every service of PC B forwards to one
# traffic server (bench.py serve) on B's loopback. Prints, from one run:
# KB/s of a download and an upload through setting 1 and of all five services
# at once, against the protocol's ceiling (10240 data bytes per 20 ms tick,
# 512 KB/s per stream) and against the same transfer on B's loopback; the
# median time from a client's connect to the first byte of the reply; the CPU
# seconds and peak memory of both programs and both daemons; the CPU an idle
# program uses.
set -uo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" = 0 ] || { echo "run as root" >&2; exit 1; }
MB=${1:-20}
BYTES=$((MB * 1024 * 1024))
export BUILD_DIR=${BUILD_DIR:-$PWD/build}
[ -x "$BUILD_DIR/bin/corvanefortcp" ] || { echo "build first: cmake --build build" >&2; exit 1; }
export TWOPC_QUIET=1
source scripts/twopc/lib.sh
trap 'twopc_down' EXIT
BENCH=$PWD/bench/tunnel_throughput/bench.py
SPORT=9100
CEILING=512   # KB/s: 10240 bytes per 20 ms

twopc_up || exit 1
twopc_write_ini b FOWERDPORT1=$SPORT FOWERDPORT2=$SPORT FOWERDPORT3=$SPORT FOWERDPORT4=$SPORT FOWERDPORT5=$SPORT
twopc_spawn b benchserver "$TWOPC_SCRATCH/b/bench.log" python3 "$BENCH" serve --port $SPORT
twopc_start_program b && twopc_start_program a || exit 1
twopc_wait_trace a 'CONNECTABLE pcb@' 30 || { echo "PC A never saw PC B" >&2; exit 1; }
twopc_press_connect a
twopc_wait_trace a 'LAMPS 0:L.. 0d:... 1:L.. 2:L.. 3:L.. 4:L' 30 || { echo "no streams" >&2; exit 1; }
sleep 1

ports=(21 80 2401 5900 9023)
kbs() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f", b / 1024 / s }'; }
pct() { awk -v k="$1" -v c="$2" 'BEGIN { printf "%.0f%%", 100 * k / c }'; }
client() { twopc_exec "$1" timeout 900 python3 "$BENCH" "${@:2}"; }

direct_get=$(client b get --port $SPORT --bytes "$BYTES")
direct_put=$(client b put --port $SPORT --bytes "$BYTES")
get=$(client a get --port 80 --bytes "$BYTES")
put=$(client a put --port 80 --bytes "$BYTES")
dk=$(kbs "$BYTES" "$direct_get"); gk=$(kbs "$BYTES" "$get")
dpk=$(kbs "$BYTES" "$direct_put"); pk=$(kbs "$BYTES" "$put")

echo "=== ${MB} MB through setting 1 (one stream)"
printf '  download  %7s KB/s  %5s of the ceiling  (direct on loopback %s KB/s, %s times the tunnel)\n' \
    "$gk" "$(pct "$gk" $CEILING)" "$dk" "$(awk -v a="$dk" -v b="$gk" 'BEGIN{printf "%.0f", a/b}')"
printf '  upload    %7s KB/s  %5s of the ceiling  (direct on loopback %s KB/s, %s times the tunnel)\n' \
    "$pk" "$(pct "$pk" $CEILING)" "$dpk" "$(awk -v a="$dpk" -v b="$pk" 'BEGIN{printf "%.0f", a/b}')"

echo "=== ${MB} MB down on all five services at once"
tmp=$TWOPC_SCRATCH/bench
mkdir -p "$tmp"
jobs=()
for p in "${ports[@]}"; do client a get --port "$p" --bytes "$BYTES" >"$tmp/get-$p" 2>&1 & jobs+=($!); done
wait "${jobs[@]}"   # not the daemons this shell started
for p in "${ports[@]}"; do
    s=$(tail -1 "$tmp/get-$p"); k=$(kbs "$BYTES" "$s")
    printf '  port %-5s %7s KB/s  %5s of the ceiling\n' "$p" "$k" "$(pct "$k" $CEILING)"
done
echo "=== ${MB} MB up on all five services at once"
jobs=()
for p in "${ports[@]}"; do client a put --port "$p" --bytes "$BYTES" >"$tmp/put-$p" 2>&1 & jobs+=($!); done
wait "${jobs[@]}"
for p in "${ports[@]}"; do
    s=$(tail -1 "$tmp/put-$p"); k=$(kbs "$BYTES" "$s")
    printf '  port %-5s %7s KB/s  %5s of the ceiling\n' "$p" "$k" "$(pct "$k" $CEILING)"
done

fb=$(client a first-byte --port 9023 --count 21)
dfb=$(client b first-byte --port $SPORT --count 21)
echo "=== connect to first byte (median of 21): tunnel $(awk -v s="$fb" 'BEGIN{printf "%.1f", s*1000}') ms, direct $(awk -v s="$dfb" 'BEGIN{printf "%.2f", s*1000}') ms"

cpu() { awk '{ printf "%.2f", ($14 + $15) / '"$(getconf CLK_TCK)"' }' "/proc/$1/stat"; }
hwm() { awk '/VmHWM/ { print $2 " kB" }' "/proc/$1/status"; }
echo "=== CPU seconds and peak memory over the whole run"
for name in program-a program-b messengerd-a messengerd-b; do
    pid=$(twopc_pid_of "$name")
    # The program runs under ip netns exec: take its child if there is one.
    child=$(pgrep -P "$pid" | head -1); [ -n "$child" ] && pid=$child
    printf '  %-13s %6s s  %s\n' "$name" "$(cpu "$pid")" "$(hwm "$pid")"
done
pid=$(twopc_pid_of program-b); child=$(pgrep -P "$pid" | head -1); [ -n "$child" ] && pid=$child
before=$(cpu "$pid"); sleep 10; after=$(cpu "$pid")
echo "=== idle program (PC B, streams up, 10 s): $(awk -v a="$before" -v b="$after" 'BEGIN{printf "%.1f", (b-a)*10}')% of a core"
