#!/usr/bin/env bash
# The direct path between the PCs is cut in the middle of a 20 MB download
# and comes back. Each PC behind a home router (TWOPC_NAT=home), coturn for
# STUN, the daemons offering direct paths: the download starts on the path
# the two daemons found through their routers. Then both routers drop every
# UDP datagram for CUT seconds (no direct path, no STUN, no TURN): A's
# daemon notices, its stream goes back in band through the server and the
# download goes on there; when UDP passes again, the next try finds the
# path and the stream moves back onto it. The file arrives intact.
set -uo pipefail
export TWOPC_NAT=home TWOPC_DELAY_MS=10 TWOPC_DELAY_AT=ip TWOPC_TURN=1 TWOPC_DIRECT=yes
source "$(dirname "$0")/e2e_lib.sh"

CUT=20              # seconds without UDP
BIG=twenty.bin      # 20 MB, fetched at 400 kB/s: about 50 s
HTTP_STREAM="stream pcb@corvane.test:[0-9]* of CorvaneForHttp000"

log_a() { cat "$TWOPC_SCRATCH/pc-a/messengerd.log"; }
# count_in_log ERE: how many lines of A's log match.
count_in_log() { log_a | grep -Ec -- "$1"; }

# cut_udp on|off: both routers drop, or pass again, every UDP datagram they forward.
cut_udp() {
    local ns
    for ns in "$TWOPC_NS_RA" "$TWOPC_NS_RB"; do
        if [ "$1" = on ]; then
            ip netns exec "$ns" nft -f - <<'EOF' || return 1
table ip cut {
    chain hold {
        type filter hook forward priority filter; policy accept;
        meta l4proto udp drop
    }
}
EOF
        else
            ip netns exec "$ns" nft delete table ip cut || return 1
        fi
    done
}

e2e_main() {
    local s=$TWOPC_SCRATCH pid rc
    head -c $((20 * 1024 * 1024)) /dev/urandom >"$s/b/www/$BIG" && chmod 644 "$s/b/www/$BIG"
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "A's HTTP stream goes direct" twopc_wait_until 30 eval "[ \$(count_in_log '$HTTP_STREAM goes direct') -ge 1 ]" || return 1
    twopc_exec a curl -sS --max-time 150 --limit-rate 400k -o "$s/big-a.bin" "http://127.0.0.1:80/$BIG" &
    pid=$!
    sleep 5
    e2e_check "UDP cut at both routers" cut_udp on
    e2e_check "  A's daemon says the path failed" twopc_wait_until 15 eval "[ \$(count_in_log 'the direct path to pcb@corvane.test/[^ ]* failed: ') -ge 1 ]"
    e2e_check "  the stream goes in band" eval "[ \$(count_in_log '$HTTP_STREAM goes in band via the server: the direct path failed: ') -ge 1 ]"
    local before; before=$(stat -c %s "$s/big-a.bin" 2>/dev/null || echo 0)
    e2e_check "  the download goes on in band" twopc_wait_until 10 eval "[ \$(stat -c %s '$s/big-a.bin') -gt $((before + 1024 * 1024)) ]"
    sleep "$CUT"
    e2e_check "UDP passes again" cut_udp off
    e2e_check "  the stream moves back onto a direct path" twopc_wait_until 60 eval "[ \$(count_in_log '$HTTP_STREAM goes direct') -ge 2 ]"
    wait "$pid"; rc=$?
    e2e_check "the download finished" test "$rc" -eq 0
    e2e_check "  same sha256 as B's file" e2e_same_file "$s/b/www/$BIG" "$s/big-a.bin"
}
e2e_run "$@"
