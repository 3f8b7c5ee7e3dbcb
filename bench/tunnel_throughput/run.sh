#!/usr/bin/env bash
# Tunnel throughput benchmark (run by hand, as root; not part of ctest):
#
#   sudo bash bench/tunnel_throughput/run.sh [MB]          (default 20)
#   sudo bash bench/tunnel_throughput/run.sh --wide [MB]   (default 20)
#
# Two PCs as in the end-to-end tests; every service of PC B forwards to one
# traffic server (bench.py serve) on B's loopback.
#
# Without --wide (tuned Prosody, no delay, comparable with earlier runs):
# KB/s of a download and an upload through setting 1 and of all five services
# at once, against the protocol's ceiling (10240 data bytes per 20 ms tick,
# 512 KB/s per stream) and against the same transfer on B's loopback; the
# median time from a client's connect to the first byte of the reply; the
# median time of 100 small web requests in a row (turnover); the CPU
# seconds and peak memory of both programs and both daemons; the CPU an idle
# program uses.
#
# --wide: one table row per setting, with a delay element between each
# messengerd and Prosody (D ms one way on each side, 2D from PC A to PC B;
# none at all for D = 0):
# D = 0, 10, 25, 50, 100 ms on the tuned Prosody (WIDE_DELAYS), then D = 0,
# 10, 25 ms on Prosody as Debian ships it, with STARTTLS verified against
# the harness's CA (DEFAULT_DELAYS); then D = 0, 25, 50 ms federated
# (FEDERATED_DELAYS): PC A's account on one such Prosody, PC B's on another,
# s2s between them on a link without delay; then D = 0, 25 ms on ejabberd
# as Debian ships it, the tunnel accounts exempted from its shaper
# (EJABBERD_DELAYS); then the direct paths (PATH_ROWS, NAT:D, default
# "lan:0 home:0 symmetric:0 home:50"): Prosody as Debian ships it with the
# tunnel accounts NOT exempted from its 10 kB/s limit and coturn behind its
# turn_external, each PC behind a router of its own (scripts/twopc/nat.sh;
# "home-between" drops UDP between the routers), the delay at the IP level
# on the server's links so that the path between the PCs sees 2D as well,
# and the daemons offering direct paths: the row is measured once A's
# daemon has found its path; then the same through ejabberd as Debian
# ships it, the tunnel accounts held to its "normal" shaper (3000 B/s) and
# its own STUN/TURN listener (EJABBERD_PATH_ROWS, default "home:0
# symmetric:0"). TWOPC_DELAY_AT=ip moves the delay from a relay of each
# TCP connection to the packets themselves (one server only: set
# FEDERATED_DELAYS=""), so that the server's Nagle waits a real round trip
# for its acknowledgements (scripts/twopc/lib.sh).
# Columns: one stream down and up, five at once down and up (the slowest and
# the fastest stream), all in KB/s and as a share of the ceiling; the median
# connect-to-first-byte against the protocol's minimum (four crossings from
# one PC to the other, 8D); XMPP bytes on PC A's server connection per
# payload byte; CPU seconds of both daemons per MB carried.
#
# --cancel: through Prosody as Debian ships it with the tunnel accounts NOT
# exempted from its 10 kB/s limit (as a public server runs it), for D = 0
# and 25 ms (CANCEL_DELAYS): the KB/s of one 128 KB download, then a 2 MB
# download given up after 3 s and the seconds until a small web request to
# the same service, made right after, is answered (at most 60 s); the same
# once more on the tuned Prosody.
#
# MESSENGERD and CORVANE_BIN choose other binaries (say, an earlier build).
set -uo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" = 0 ] || { echo "run as root" >&2; exit 1; }
WIDE=0
CANCEL=0
if [ "${1:-}" = --wide ]; then WIDE=1; shift; fi
if [ "${1:-}" = --cancel ]; then CANCEL=1; shift; fi
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
PORTS=(21 80 2401 5900 9023)

kbs() { awk -v b="$1" -v s="$2" 'BEGIN { printf "%.0f", b / 1024 / s }'; }
pct() { awk -v k="$1" -v c="$2" 'BEGIN { printf "%.0f%%", 100 * k / c }'; }
client() { twopc_exec "$1" timeout 900 python3 "$BENCH" "${@:2}"; }

# The pid of a recorded process; a program runs under ip netns exec, so its
# child when it has one.
real_pid() {
    local pid child
    pid=$(twopc_pid_of "$1")
    child=$(pgrep -P "$pid" | head -1)
    echo "${child:-$pid}"
}
cpu() { awk '{ printf "%.2f", ($14 + $15) / '"$(getconf CLK_TCK)"' }' "/proc/$1/stat"; }
hwm() { awk '/VmHWM/ { print $2 " kB" }' "/proc/$1/status"; }

# Brings both PCs up (with the environment's TWOPC_DELAY_MS and
# TWOPC_PROSODY) and connects every service.
bench_up() {
    twopc_up || return 1
    twopc_write_ini b FOWERDPORT1=$SPORT FOWERDPORT2=$SPORT FOWERDPORT3=$SPORT FOWERDPORT4=$SPORT FOWERDPORT5=$SPORT
    twopc_spawn b benchserver "$TWOPC_SCRATCH/b/bench.log" python3 "$BENCH" serve --port $SPORT
    twopc_start_program b && twopc_start_program a || return 1
    twopc_wait_trace a 'CONNECTABLE pcb@' 30 || { echo "PC A never saw PC B" >&2; return 1; }
    twopc_press_connect a
    twopc_wait_trace a 'LAMPS 0:L.. 0d:... 1:L.. 2:L.. 3:L.. 4:L' 30 || { echo "no streams" >&2; return 1; }
    if [ "${TWOPC_DIRECT:-no}" = yes ]; then
        twopc_wait_until 60 grep -q "found a path to " "$TWOPC_SCRATCH/pc-a/messengerd.log" ||
            echo "no direct path found (rows are in band)" >&2
    fi
    sleep 1
}

# All five services at once in direction $1 (get or put): prints the KB/s
# of each port on one line.
five_at_once() {
    local tmp=$TWOPC_SCRATCH/bench p jobs=()
    mkdir -p "$tmp"
    for p in "${PORTS[@]}"; do client a "$1" --port "$p" --bytes "$BYTES" >"$tmp/$1-$p" 2>&1 & jobs+=($!); done
    wait "${jobs[@]}"   # not the daemons this shell started
    for p in "${PORTS[@]}"; do kbs "$BYTES" "$(tail -1 "$tmp/$1-$p")"; echo; done | paste -sd' '
}

# Bytes PC A's daemon has sent and received on its server connection.
wire_bytes() {
    local port=$TWOPC_XMPP_PORT
    [ -n "${TWOPC_DELAY_MS:-}" ] && [ "${TWOPC_DELAY_AT:-tcp}" != ip ] && port=$TWOPC_DELAYED_PORT
    twopc_exec a ss -tinH "( dport = :$port )" | grep -o 'bytes_\(sent\|received\):[0-9]*' |
        awk -F: '{ s += $2 } END { print s + 0 }'
}

daemons_cpu() {
    awk -v a="$(cpu "$(real_pid messengerd-a)")" -v b="$(cpu "$(real_pid messengerd-b)")" 'BEGIN { print a + b }'
}

classic() {
    bench_up || exit 1
    local direct_get direct_put get put dk gk dpk pk p k
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
    for dir in get put; do
        echo "=== ${MB} MB $([ $dir = get ] && echo down || echo up) on all five services at once"
        read -ra speeds <<<"$(five_at_once $dir)"
        for i in "${!PORTS[@]}"; do
            k=${speeds[$i]}
            printf '  port %-5s %7s KB/s  %5s of the ceiling\n' "${PORTS[$i]}" "$k" "$(pct "$k" $CEILING)"
        done
    done

    local fb dfb name pid before after
    fb=$(client a first-byte --port 9023 --count 21)
    dfb=$(client b first-byte --port $SPORT --count 21)
    echo "=== connect to first byte (median of 21): tunnel $(awk -v s="$fb" 'BEGIN{printf "%.1f", s*1000}') ms, direct $(awk -v s="$dfb" 'BEGIN{printf "%.2f", s*1000}') ms"
    local turn dturn
    turn=$(client a turnover --port 80 --count 100)
    dturn=$(client b turnover --port $SPORT --count 100)
    echo "=== 100 web requests in a row through setting 1 (median): tunnel $(awk -v s="$turn" 'BEGIN{printf "%.1f", s*1000}') ms, direct $(awk -v s="$dturn" 'BEGIN{printf "%.2f", s*1000}') ms"

    echo "=== CPU seconds and peak memory over the whole run"
    for name in program-a program-b messengerd-a messengerd-b; do
        pid=$(real_pid "$name")
        printf '  %-13s %6s s  %s\n' "$name" "$(cpu "$pid")" "$(hwm "$pid")"
    done
    pid=$(real_pid program-b)
    before=$(cpu "$pid"); sleep 10; after=$(cpu "$pid")
    echo "=== idle program (PC B, streams up, 10 s): $(awk -v a="$before" -v b="$after" 'BEGIN{printf "%.1f", (b-a)*10}')% of a core"
}

# One row of the wide-area table for the current TWOPC_DELAY_MS and
# TWOPC_PROSODY.
wide_row() {
    local label=$1 d=$2
    if ! bench_up; then
        printf '%-9s %4s  (could not bring the two PCs up)\n' "$label" "$d"
        twopc_down
        return
    fi
    local w0 c0 get put w1 c1 gk pk down up fb wire cpumb
    w0=$(wire_bytes); c0=$(daemons_cpu)
    get=$(client a get --port 80 --bytes "$BYTES")
    put=$(client a put --port 80 --bytes "$BYTES")
    w1=$(wire_bytes); c1=$(daemons_cpu)
    gk=$(kbs "$BYTES" "$get"); pk=$(kbs "$BYTES" "$put")
    down=$(five_at_once get | tr ' ' '\n' | sort -n | sed -n '1p;$p' | paste -sd-)
    up=$(five_at_once put | tr ' ' '\n' | sort -n | sed -n '1p;$p' | paste -sd-)
    fb=$(client a first-byte --port 9023 --count 21)
    wire=$(awk -v a="$w0" -v b="$w1" -v n="$BYTES" 'BEGIN { printf "%.2f", (b - a) / (2 * n) }')
    cpumb=$(awk -v a="$c0" -v b="$c1" -v mb="$MB" 'BEGIN { printf "%.3f", (b - a) / (2 * mb) }')
    printf '%-9s %4s  %5s %4s  %5s %4s  %9s %4s  %9s %4s  %6.0f ms %5s ms  %5s  %6s\n' \
        "$label" "$d" "$gk" "$(pct "$gk" $CEILING)" "$pk" "$(pct "$pk" $CEILING)" \
        "$down" "$(pct "${down%%-*}" $CEILING)" "$up" "$(pct "${up%%-*}" $CEILING)" \
        "$(awk -v s="$fb" 'BEGIN { print s * 1000 }')" "$((8 * d))" "$wire" "$cpumb"
    [ "${TWOPC_DIRECT:-no}" != yes ] ||
        echo "               path: $(sed -n 's/.* found a path to [^:]*: //p' "$TWOPC_SCRATCH/pc-a/messengerd.log" | tail -1)"
    twopc_down
}

wide() {
    echo "=== ${MB} MB per transfer; ceiling $CEILING KB/s per stream; D: one-way delay between each PC and its server"
    echo "=== five at once: slowest-fastest stream (share: slowest); first byte: median of 21, minimum 8D"
    printf '%-9s %4s  %10s  %10s  %14s  %14s  %19s  %5s  %6s\n' Prosody D one-down one-up five-down five-up \
        'first byte / min' wire CPU/MB
    local d delay
    for d in ${WIDE_DELAYS-0 10 25 50 100}; do
        delay=$d; [ "$d" = 0 ] && delay=   # D = 0: no delay element at all
        TWOPC_DELAY_MS=$delay TWOPC_PROSODY=tuned wide_row tuned "$d"
    done
    for d in ${DEFAULT_DELAYS-0 10 25}; do
        delay=$d; [ "$d" = 0 ] && delay=
        TWOPC_DELAY_MS=$delay TWOPC_PROSODY=default wide_row default "$d"
    done
    for d in ${FEDERATED_DELAYS-0 25 50}; do
        delay=$d; [ "$d" = 0 ] && delay=
        TWOPC_DELAY_MS=$delay TWOPC_FEDERATED=1 wide_row federated "$d"
    done
    for d in ${EJABBERD_DELAYS-0 25}; do
        delay=$d; [ "$d" = 0 ] && delay=
        TWOPC_DELAY_MS=$delay TWOPC_SERVER=ejabberd wide_row ejabberd "$d"
    done
    local row nat block
    for row in ${PATH_ROWS-lan:0 home:0 symmetric:0 home:50}; do
        nat=${row%%:*} d=${row#*:} block=
        [ "$nat" != home-between ] || { nat=home; block=between; }
        delay=$d; [ "$d" = 0 ] && delay=
        TWOPC_DELAY_MS=$delay TWOPC_DELAY_AT=ip TWOPC_PROSODY=limited TWOPC_TURN=1 TWOPC_DIRECT=yes \
            TWOPC_NAT=$nat TWOPC_BLOCK_UDP=$block wide_row "${row%%:*}" "$d"
    done
    for row in ${EJABBERD_PATH_ROWS-home:0 symmetric:0}; do
        nat=${row%%:*} d=${row#*:}
        delay=$d; [ "$d" = 0 ] && delay=
        TWOPC_DELAY_MS=$delay TWOPC_DELAY_AT=ip TWOPC_SERVER=ejabberd TWOPC_EJABBERD_SHAPED=1 TWOPC_TURN=1 \
            TWOPC_DIRECT=yes TWOPC_NAT=$nat wide_row "ej-$nat" "$d"
    done
}

# One row of the cancel table for the current TWOPC_DELAY_MS and
# TWOPC_PROSODY.
cancel_row() {
    local label=$1 d=$2 small=$((128 * 1024)) t result
    if ! bench_up; then
        printf '%-9s %4s  (could not bring the two PCs up)\n' "$label" "$d"
        twopc_down
        return
    fi
    t=$(client a get --port 80 --bytes $small --timeout 120)
    result=$(client a cancel --port 80 --bytes $((2 * 1024 * 1024)) --after 3 --timeout 60)
    printf '%-9s %4s  %8s  %14s  %12s s\n' "$label" "$d" "$(kbs $small "$t")" "${result% *}" "${result#* }"
    twopc_down
}

cancel_table() {
    echo "=== one stream (setting 1); Prosody limited: as Debian ships it, the accounts not exempted"
    printf '%-9s %4s  %8s  %14s  %14s\n' Prosody D 'KB/s' 'bytes in 3 s' 'answer after'
    local d delay
    for d in ${CANCEL_DELAYS-0 25}; do
        delay=$d; [ "$d" = 0 ] && delay=
        TWOPC_DELAY_MS=$delay TWOPC_PROSODY=limited cancel_row limited "$d"
    done
    TWOPC_PROSODY=tuned cancel_row tuned 0
}

if [ $WIDE = 1 ]; then wide; elif [ $CANCEL = 1 ]; then cancel_table; else classic; fi
