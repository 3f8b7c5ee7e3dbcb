#!/usr/bin/env bash
# Scale benchmark: one server PC, N client PCs (run by hand, as root; not part
# of ctest):
#
#   sudo bash bench/scale/run.sh
#   sudo SCALE_N="1 5" SCALE_STALL_N=5 bash bench/scale/run.sh
#
# Per N (SCALE_N, default "1 5 10 20"), from scratch: the tuned Prosody of the
# two-PC harness; the server PC (PC B: services on its loopback, its
# messengerd, its program as the server application with ENABLEUSER=1, which
# serves every contact); N client PCs (scripts/twopc/lib.sh twopc_add_client:
# a namespace each, its own account, a mutual contact of PC B's, its own
# messengerd and its own program as the client application). Every client
# connects (its connect button, all at the same moment); then every client
# downloads the same SCALE_MIB MiB file (default 4) over HTTP through the
# tunnel at once (curl to its port 80, setting 1, to B's HTTP server), each
# checked against the file's sha256. Then the clients' programs end (the
# clients leave; their daemons stay). One row per N:
#
#   streams   open streams of the server PC's program once every client is
#             connected (its newest STREAMS list of each application; five
#             per client)
#   intact    downloads with every byte, sha256-equal to B's file (k/N)
#   connect   seconds from the press of the connect buttons to the slowest
#             client's streams up (its five services listening: LAMPS);
#             "(k up)" when not all came up within 60 s
#   client KB/s  each client's download (request to last byte), slowest-
#             fastest; total KB/s: all bytes over the time from the first
#             request to the last byte; fair: slowest / fastest
#   program MB  RSS of the server PC's program: idle (attached, no client
#             yet, 3 s after it attached), conn (every client connected,
#             before the downloads), peak (VmHWM after the downloads: the
#             most it ever had), after (SCALE_AFTER s, default 5, after its
#             last stream closed once the clients left); MB/cl: (conn -
#             idle) / N; thr: the most threads it had (sampled every 0.25 s
#             during the downloads)
#   daemon MB   RSS of the server PC's messengerd: idle, peak (VmHWM), after,
#             at the same moments
#   CPU s/MB  CPU seconds (user + system) during the downloads per MiB
#             carried: of the server PC's program, its messengerd and Prosody
#   nvcsw     involuntary context switches of the server PC's messengerd
#             during the downloads (nonvoluntary_ctxt_switches of
#             /proc/PID/task/*/status, after minus before)
#   sendQ KB  the most the server PC's messengerd had queued on its
#             connection to Prosody (its Send-Q, sampled with the threads)
#             / that socket's send buffer: how far Prosody fell behind
#   host idle  share of the machine's CPU time left idle during the downloads
#             (/proc/stat), and the least MemAvailable seen (GB): how loaded
#             the machine that runs every PC and Prosody was
# A line "N=...:" under a row says what went wrong in it (a client that did
# not connect, a download that is not intact, and why).
#
# Then the stall run (N = SCALE_STALL_N, default 20; 0: none): the same
# set-up; 2 s into the downloads Prosody is stopped (SIGSTOP) for
# SCALE_STALL_S s (default 5), then continued: the CPU seconds the server
# PC's messengerd and program used meanwhile (and as % of one core), the
# daemon's involuntary context switches meanwhile, what it had queued on its
# connection to Prosody at the end against that socket's send buffer (a
# full buffer is what a daemon must sleep through; whether the stall fills
# it varies from run to run with how much Prosody's side took before), and
# whether the downloads still came through intact.
#
# MB are MiB (2^20 bytes), KB are KiB. MESSENGERD and CORVANE_BIN choose
# other binaries (say, an earlier build). A default run takes about 2.5
# minutes on a 2-core machine.
set -uo pipefail
cd "$(dirname "$0")/../.." || exit 1
[ "$(id -u)" = 0 ] || { echo "run as root" >&2; exit 1; }
export BUILD_DIR=${BUILD_DIR:-$PWD/build}
[ -x "${CORVANE_BIN:-$BUILD_DIR/bin/corvanefortcp}" ] && [ -x "${MESSENGERD:-$BUILD_DIR/bin/messengerd}" ] ||
    { echo "build first: cmake --build build --target corvanefortcp messengerd" >&2; exit 1; }
command -v curl >/dev/null || { echo "needs curl (scripts/install-deps.sh)" >&2; exit 1; }
export TWOPC_QUIET=1
source scripts/twopc/lib.sh
SCALE=$PWD/bench/scale/scale.py
SCALE_N=${SCALE_N-1 5 10 20}
STALL_N=${SCALE_STALL_N-20}
BYTES=$((${SCALE_MIB:-4} * 1048576))
AFTER=${SCALE_AFTER:-5}
STALL_S=${SCALE_STALL_S:-5}
FILE=scale.bin
MAX_TIME=240   # s: the longest a download may take
HZ=$(getconf CLK_TCK)
STOPPED=       # Prosody's pid while it is stopped

cleanup() {
    [ -z "$STOPPED" ] || kill -CONT "$STOPPED" 2>/dev/null
    twopc_down
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The pid of a recorded process; a program runs under ip netns exec, so its
# child when it has one.
real_pid() {
    local pid child
    pid=$(twopc_pid_of "$1")
    child=$(pgrep -P "$pid" | head -1)
    echo "${child:-$pid}"
}
ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }   # utime + stime
status_kb() { awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"; }
mb() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
nvcsw() { cat /proc/"$1"/task/*/status 2>/dev/null | awk '$1 == "nonvoluntary_ctxt_switches:" { s += $2 } END { print s + 0 }'; }
host_cpu() { awk '$1 == "cpu" { print $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9, $5 + $6 }' /proc/stat; }
# The bytes PC B's daemon has queued towards Prosody and not yet had taken
# (Send-Q of its server connection) and that socket's send buffer, in KB.
server_sendq() {
    twopc_exec b ss -tmnH "( dport = :$TWOPC_XMPP_PORT )" | awk '
        $1 == "ESTAB" { q += $3 }
        match($0, /tb[0-9]+/) { tb += substr($0, RSTART + 2, RLENGTH - 2) }
        END { printf "%.0f %.0f\n", q / 1024, tb / 1024 }'
}
mem_available_kb() { awk '$1 == "MemAvailable:" { print $2 }' /proc/meminfo; }
now() { date +%s.%N; }
note() { NOTES+=("$*"); }

# scale_up N: the server PC up and idle (figures taken), then N client PCs,
# their programs connected. Sets PROG DAEMON PROSODY SUM IDLE_* CONN_PROG
# STREAMS CONNECT.
scale_up() {
    local n=$1 k ready specs=() traces=()
    TWOPC_CLIENTS=$n twopc_up || { note "the server PC did not come up"; return 1; }
    head -c "$BYTES" /dev/urandom >"$TWOPC_SCRATCH/b/www/$FILE"
    chmod 644 "$TWOPC_SCRATCH/b/www/$FILE"
    SUM=$(sha256sum <"$TWOPC_SCRATCH/b/www/$FILE" | cut -d' ' -f1)
    twopc_start_program b && twopc_wait_trace b '^LAMPS ' 30 || { note "the server PC's program did not attach"; return 1; }
    PROG=$(real_pid program-b) DAEMON=$(real_pid messengerd-b) PROSODY=$(real_pid prosody)
    sleep 3
    IDLE_PROG=$(status_kb "$PROG" VmRSS) IDLE_DAEMON=$(status_kb "$DAEMON" VmRSS)
    for ((k = 1; k <= n; k++)); do twopc_add_client "$k" || { note "client PC $k did not come up"; return 1; }; done
    for ((k = 1; k <= n; k++)); do
        twopc_wait_messengerd "c$k" || { note "the daemon of client PC $k did not log in"; return 1; }
    done
    for ((k = 1; k <= n; k++)); do
        twopc_start_program "c$k" || return 1
        traces+=("$(twopc_trace "c$k")")
    done
    ready=$(python3 "$SCALE" ready --timeout 60 --peer "$TWOPC_JID_B" --apps 5 "${traces[@]}")
    [ "$ready" = "$n" ] || note "$ready of $n clients saw the server PC's five applications within 60 s"
    for ((k = 1; k <= n; k++)); do specs+=("$(real_pid "program-c$k"):$(twopc_trace "c$k")"); done
    read -ra CONNECT <<<"$(python3 "$SCALE" connect --timeout 60 "${specs[@]}")"
    STREAMS=$(python3 "$SCALE" streams --timeout 15 --until $((5 * n)) "$(twopc_trace b)")
    sleep 1
    CONN_PROG=$(status_kb "$PROG" VmRSS)
}

# downloads N [STALL]: every client downloads the file at once, the server
# PC's figures taken before, during and after; with STALL, Prosody stopped
# 2 s into it for STALL_S s. Sets TICKS0/1_* NVCSW0/1 PEAK_THREADS HOST_* and
# the per-client results in $TWOPC_SCRATCH/load/K.res ("start end bytes
# seconds", K.ok when intact).
downloads() {
    local n=$1 stall=${2:-0} dir=$TWOPC_SCRATCH/load k i th jobs=() h0 h1 avail q buf
    rm -rf "$dir" && mkdir -p "$dir"
    PEAK_THREADS=0 MIN_AVAIL=$(mem_available_kb) SENDQ=0 SNDBUF=0
    h0=$(host_cpu)
    TICKS0_PROG=$(ticks "$PROG") TICKS0_DAEMON=$(ticks "$DAEMON") TICKS0_PROSODY=$(ticks "$PROSODY")
    NVCSW0=$(nvcsw "$DAEMON")
    for ((k = 1; k <= n; k++)); do
        (
            s=$(now)
            r=$(twopc_exec "c$k" curl -sS --max-time $MAX_TIME -o "$dir/$k.bin" \
                -w '%{size_download} %{time_total}' "http://127.0.0.1:80/$FILE" 2>"$dir/$k.err")
            echo "$s $(now) ${r:-0 0}" >"$dir/$k.res"
        ) &
        jobs+=($!)
    done
    for ((i = 0; i < MAX_TIME * 4; i++)); do
        twopc_any_alive "${jobs[@]}" || break
        th=$(status_kb "$PROG" Threads); [ "${th:-0}" -le "$PEAK_THREADS" ] || PEAK_THREADS=$th
        avail=$(mem_available_kb); [ "$avail" -ge "$MIN_AVAIL" ] || MIN_AVAIL=$avail
        read -r q buf <<<"$(server_sendq)"; [ "$q" -lt "$SENDQ" ] || SENDQ=$q SNDBUF=$buf
        if [ "$stall" = 1 ] && [ "$i" = 8 ]; then stall; fi
        sleep 0.25
    done
    wait "${jobs[@]}"   # not the daemons this shell started
    TICKS1_PROG=$(ticks "$PROG") TICKS1_DAEMON=$(ticks "$DAEMON") TICKS1_PROSODY=$(ticks "$PROSODY")
    NVCSW1=$(nvcsw "$DAEMON")
    h1=$(host_cpu)
    HOST_IDLE=$(awk -v a="$h0" -v b="$h1" 'BEGIN { split(a, x, " "); split(b, y, " ");
        printf "%.0f%%", 100 * (y[2] - x[2]) / (y[1] - x[1] > 0 ? y[1] - x[1] : 1) }')
    for ((k = 1; k <= n; k++)); do
        [ -f "$dir/$k.res" ] || echo "0 0 0 0" >"$dir/$k.res"
        if [ -f "$dir/$k.bin" ] && [ "$(stat -c %s "$dir/$k.bin")" = "$BYTES" ] &&
            [ "$(sha256sum <"$dir/$k.bin" | cut -d' ' -f1)" = "$SUM" ]; then
            touch "$dir/$k.ok"
        else
            note "client $k: not intact ($(stat -c %s "$dir/$k.bin" 2>/dev/null || echo 0) of $BYTES bytes) $(head -c 200 "$dir/$k.err")"
        fi
        rm -f "$dir/$k.bin"
    done
}

# stall: Prosody stopped for STALL_S s; the server PC's daemon's and
# program's CPU meanwhile, and its send queue at the end (STALL_*).
stall() {
    local d0 p0 c0 t0 t1
    STOPPED=$PROSODY
    kill -STOP "$PROSODY"
    t0=$(now) d0=$(ticks "$DAEMON") p0=$(ticks "$PROG") c0=$(nvcsw "$DAEMON")
    sleep "$STALL_S"
    t1=$(now) STALL_DAEMON=$(($(ticks "$DAEMON") - d0)) STALL_PROG=$(($(ticks "$PROG") - p0))
    STALL_NVCSW=$(($(nvcsw "$DAEMON") - c0)) STALL_SENDQ=$(server_sendq)
    kill -CONT "$PROSODY"
    STOPPED=
    STALL_SECONDS=$(awk -v a="$t0" -v b="$t1" 'BEGIN { printf "%.2f", b - a }')
}

# The downloads' figures: intact count, slowest-fastest KB/s of the intact
# ones, total KB/s, fairness, MiB carried, the longest download (s).
download_figures() {
    local n=$1 dir=$TWOPC_SCRATCH/load k
    for ((k = 1; k <= n; k++)); do
        echo "$(cat "$dir/$k.res") $([ -f "$dir/$k.ok" ] && echo 1 || echo 0)"
    done | awk -v n="$n" '
        { s = $1; e = $2; b = $3; t = $4; ok = $5
          carried += b
          if (b > 0) { if (first == "" || s < first) first = s; if (e > last) last = e }
          if (t > longest) longest = t
          if (ok) { intact++; k = b / 1024 / t; if (min == "" || k < min) min = k; if (k > max) max = k } }
        END { printf "%d/%d %s %.0f %s %.3f %.1f\n", intact, n,
                  (min == "" ? "-" : sprintf("%.0f-%.0f", min, max)),
                  (last > first ? carried / 1024 / (last - first) : 0),
                  (max > 0 ? sprintf("%.2f", min / max) : "-"), carried / 1048576, longest }'
}

# The slowest connect time, and how many came up when not all did.
connect_figure() {
    printf '%s\n' "${CONNECT[@]}" | awk '
        $1 == "none" { none++; next } { up++; if ($1 > max) max = $1 }
        END { printf "%s%s", (up ? sprintf("%.2f", max) : "-"), (none ? sprintf(" (%d up)", up) : "") }'
}

print_notes() {  # N
    local line
    for line in "${NOTES[@]}"; do printf '    N=%s: %s\n' "$1" "$line"; done
}

per_mb() { awk -v t="$1" -v hz="$HZ" -v m="$2" 'BEGIN { printf "%.3f", (m > 0 ? t / hz / m : 0) }'; }

header() {
    echo "=== one server PC, N client PCs on one $(nproc)-core machine ($(awk '$1 == "MemTotal:" { printf "%.0f", $2 / 1048576 }' /proc/meminfo) GiB), tuned Prosody"
    echo "=== every client downloads $((BYTES / 1048576)) MiB over HTTP at once; connect: press to the slowest client's streams up"
    printf '%3s %7s %6s %8s %11s %6s %4s  %-26s %5s %3s  %-16s %-21s %6s %11s  %s\n' \
        N streams intact connect 'client KB/s' total fair 'program MB idl/conn/pk/aft' MB/cl thr \
        'daemon MB i/p/a' 'CPU s/MB prog/dmn/pros' nvcsw 'sendQ KB' 'host idle/GB free'
}

row() {
    local n=$1 streams_after after_prog after_daemon peak_prog peak_daemon
    local intact kbs total fair carried longest
    NOTES=()
    if ! scale_up "$n"; then
        printf '%3s  (could not set up: %s)\n' "$n" "${NOTES[*]}"
        twopc_down
        return
    fi
    downloads "$n"
    peak_prog=$(status_kb "$PROG" VmHWM) peak_daemon=$(status_kb "$DAEMON" VmHWM)
    twopc_stop_client_programs
    streams_after=$(python3 "$SCALE" streams --timeout 30 --until 0 "$(twopc_trace b)")
    [ "$streams_after" = 0 ] || note "the server program still had $streams_after streams 30 s after the clients left"
    sleep "$AFTER"
    after_prog=$(status_kb "$PROG" VmRSS) after_daemon=$(status_kb "$DAEMON" VmRSS)
    read -r intact kbs total fair carried longest <<<"$(download_figures "$n")"
    printf '%3s %7s %6s %8s %11s %6s %4s  %5s/%5s/%5s/%5s    %5s %3s  %4s/%4s/%4s   %5s/%5s/%5s   %6s %11s  %4s / %.1f\n' \
        "$n" "$STREAMS" "$intact" "$(connect_figure)" "$kbs" "$total" "$fair" \
        "$(mb "$IDLE_PROG")" "$(mb "$CONN_PROG")" "$(mb "$peak_prog")" "$(mb "$after_prog")" \
        "$(awk -v c="$CONN_PROG" -v i="$IDLE_PROG" -v n="$n" 'BEGIN { printf "%.2f", (c - i) / 1024 / n }')" "$PEAK_THREADS" \
        "$(mb "$IDLE_DAEMON")" "$(mb "$peak_daemon")" "$(mb "$after_daemon")" \
        "$(per_mb $((TICKS1_PROG - TICKS0_PROG)) "$carried")" "$(per_mb $((TICKS1_DAEMON - TICKS0_DAEMON)) "$carried")" \
        "$(per_mb $((TICKS1_PROSODY - TICKS0_PROSODY)) "$carried")" "$((NVCSW1 - NVCSW0))" "$SENDQ/$SNDBUF" \
        "$HOST_IDLE" "$(awk -v k="$MIN_AVAIL" 'BEGIN { print k / 1048576 }')"
    print_notes "$n"
    twopc_down
}

stall_run() {
    local n=$1 intact longest
    NOTES=()
    echo "=== stall: $n clients download $((BYTES / 1048576)) MiB at once; 2 s into it Prosody is stopped (SIGSTOP) for $STALL_S s"
    if ! scale_up "$n"; then
        echo "  (could not set up: ${NOTES[*]})"
        twopc_down
        return
    fi
    STALL_SECONDS=
    downloads "$n" 1
    read -r intact _ _ _ _ longest <<<"$(download_figures "$n")"
    if [ -z "$STALL_SECONDS" ]; then
        echo "  the downloads ended before the stall: nothing measured"
    else
        printf '  server messengerd: %.2f CPU s in %s s stopped (%.1f%% of a core), %s involuntary context switches\n' \
            "$(awk -v t="$STALL_DAEMON" -v hz="$HZ" 'BEGIN { print t / hz }')" "$STALL_SECONDS" \
            "$(awk -v t="$STALL_DAEMON" -v hz="$HZ" -v s="$STALL_SECONDS" 'BEGIN { print 100 * t / hz / s }')" "$STALL_NVCSW"
        echo "  its connection to Prosody at the end: ${STALL_SENDQ% *} KB queued (send buffer ${STALL_SENDQ#* } KB)"
        printf '  server program:    %.2f CPU s (%.1f%% of a core)\n' \
            "$(awk -v t="$STALL_PROG" -v hz="$HZ" 'BEGIN { print t / hz }')" \
            "$(awk -v t="$STALL_PROG" -v hz="$HZ" -v s="$STALL_SECONDS" 'BEGIN { print 100 * t / hz / s }')"
    fi
    echo "  downloads intact $intact, the longest took $longest s"
    print_notes "$n"
    twopc_down
}

START=$SECONDS
header
for n in $SCALE_N; do row "$n"; done
[ "$STALL_N" = 0 ] || stall_run "$STALL_N"
echo "=== $((SECONDS - START)) s in all"
