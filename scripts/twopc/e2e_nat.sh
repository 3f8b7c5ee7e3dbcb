#!/usr/bin/env bash
# Behind home routers (TWOPC_NAT: home, the default here; symmetric; lan;
# scripts/twopc/nat.sh), with 10 ms each way at the IP level between each
# router and the server: the daemons reach the server through the NAT, and
# the tunnel carries the 5 MB HTTP download and an FTP download intact. The
# routers are what the variant says: the server sees the router's address,
# not the PC's; a home router keeps one UDP mapping per socket, a
# symmetric NAT one per destination; on one LAN the PCs reach each other.
# coturn on the server's network (TWOPC_TURN) answers A's STUN request with
# the router's address, and relays for A with the credentials Prosody's
# turn_external hands out; messengerd logs what its server offers.
# TWOPC_BLOCK_UDP=between: UDP between the routers is dropped, to the server
# it passes; everywhere: no UDP leaves a router (no STUN, no TURN over UDP).
# The daemons offer each other direct paths (TWOPC_DIRECT=yes): the stream
# starts in band and moves onto the path that ICE finds, which the variant
# decides (TWOPC_EXPECT_PATH: direct, relayed or in-band), and the
# transfers stay intact across the move.
set -uo pipefail
export TWOPC_NAT=${TWOPC_NAT:-home} TWOPC_DELAY_MS=10 TWOPC_DELAY_AT=ip TWOPC_TURN=1 TWOPC_DIRECT=${TWOPC_DIRECT:-yes}
source "$(dirname "$0")/e2e_lib.sh"

UDP_PROBE=$TWOPC_LIB_DIR/udp_mapping.py

# The server's side of A's connection to Prosody comes from the router.
nat_server_sees_router() {
    local peers
    peers=$(twopc_exec x ss -tnH state established "( sport = :$TWOPC_XMPP_PORT )")
    grep -q " $TWOPC_ADDR_A:" <<<"$peers" && ! grep -q "$TWOPC_LAN_A" <<<"$peers"
}

# Two datagrams from one socket of A to two ports of x: the mappings x saw.
nat_udp_mappings() {
    twopc_spawn x udpobserve "$TWOPC_SCRATCH/x/udp.out" python3 "$UDP_PROBE" observe "$TWOPC_ADDR_XA" 3488 3489
    twopc_wait_until 5 grep -qs '^ready' "$TWOPC_SCRATCH/x/udp.out" || return 1
    twopc_exec a timeout 10 python3 "$UDP_PROBE" probe "$TWOPC_ADDR_XA" 3488 3489
}

nat_mapping_fits() {
    local m first second
    m=$(nat_udp_mappings) || return 1
    read -r first second <<<"$m"
    echo "    mappings: $first $second"
    [ "$first" != none ] && [ "$second" != none ] && [ "${first%:*}" = "$TWOPC_ADDR_A" ] || return 1
    case $TWOPC_NAT in
        home) [ "$first" = "$second" ] ;;
        symmetric) [ "$first" != "$second" ] ;;
        lan) [ "$first" = "$second" ] ;;
    esac
}

# What a filter of TWOPC_BLOCK_UDP dropped in namespace NS.
nat_dropped() {
    ip netns exec "$1" nft list table ip block 2>/dev/null | grep -o 'packets [0-9]*' | awk '{ s += $2 } END { print s + 0 }'
}

nat_no_udp_out() {
    local m
    m=$(nat_udp_mappings) || return 1
    echo "    mappings: $m"
    [ "$m" = "none none" ] && [ "$(nat_dropped "$TWOPC_NS_RA")" -gt 0 ]
}

# A datagram from A to B's router: it leaves A's router (mapped), and the
# server's network drops it.
nat_udp_between_dropped() {
    twopc_exec a python3 -c "
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.sendto(b'direct?', ('$TWOPC_ADDR_B', 40000))"
    twopc_wait_until 5 eval '[ "$(nat_dropped "$TWOPC_NS_X")" -gt 0 ]'
}

# On one LAN, A reaches B's address directly; behind two routers it cannot.
nat_lan_reach() {
    local reach=1
    # Refused (nothing listens on port 9) means B answered.
    twopc_exec a timeout 3 python3 -c "
import socket, sys
try: socket.create_connection(('$TWOPC_LAN_B', 9), 2)
except ConnectionRefusedError: sys.exit(0)
except OSError: sys.exit(1)" || reach=0
    if [ "$TWOPC_NAT" = lan ]; then [ $reach = 1 ]; else [ $reach = 0 ]; fi
}

# coturn's answer to A's binding request: the router's address.
nat_stun_sees_router() {
    local out
    out=$(twopc_exec a timeout 10 turnutils_stunclient "$TWOPC_ADDR_XA" 2>&1)
    grep -q "UDP reflexive addr: $TWOPC_ADDR_A:" <<<"$out"
}

# A TURN allocation of A's, with credentials made as turn_external makes
# them, relays datagrams to an echo peer on the server's network and back.
nat_turn_relays() {
    local user pass
    user="$(($(date +%s) + 3600)):pca"
    pass=$(printf '%s' "$user" | openssl dgst -sha1 -hmac "$TWOPC_TURN_SECRET" -binary | base64)
    twopc_spawn x turnpeer "$TWOPC_SCRATCH/x/turnpeer.out" turnutils_peer -L "$TWOPC_ADDR_XA" -p 3490
    twopc_wait_until 5 eval "twopc_exec x ss -Hlun | grep -q '$TWOPC_ADDR_XA:3490'" || return 1
    twopc_exec a timeout 30 turnutils_uclient -u "$user" -w "$pass" -n 5 -m 1 -l 200 -e "$TWOPC_ADDR_XA" -r 3490 \
        "$TWOPC_ADDR_XA" >"$TWOPC_SCRATCH/turnclient.out" 2>&1
    grep -q 'Total lost packets 0 (0.000000%)' "$TWOPC_SCRATCH/turnclient.out"
}

# The path A's messengerd took for its stream, as its log says: "direct",
# "relayed" (via TURN) or "in-band" (no path found, said why).
nat_path_taken() {
    local log=$TWOPC_SCRATCH/pc-a/messengerd.log
    case ${TWOPC_EXPECT_PATH:-} in
        direct) grep -q "^.* stream [^ ]* of .* goes direct (" "$log" ;;
        relayed) grep -q "^.* stream [^ ]* of .* goes relayed via TURN $TWOPC_ADDR_XA:$TWOPC_TURN_PORT" "$log" ;;
        in-band) grep -q "no direct path to $TWOPC_JID_B/[^ ]*: " "$log" && ! grep -q " goes direct\| goes relayed" "$log" ;;
        *) return 0 ;;
    esac
}

e2e_main() {
    local s=$TWOPC_SCRATCH
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "the server sees A's router ($TWOPC_ADDR_A), not A ($TWOPC_LAN_A)" nat_server_sees_router
    if [ "${TWOPC_BLOCK_UDP:-}" = everywhere ]; then
        e2e_check "no UDP leaves A's router" nat_no_udp_out
    else
        e2e_check "UDP mappings fit a $TWOPC_NAT router" nat_mapping_fits
        e2e_check "STUN through A's router gives the router's address" nat_stun_sees_router
        e2e_check "TURN relays for A with the server's credentials" nat_turn_relays
    fi
    [ "${TWOPC_BLOCK_UDP:-}" != between ] ||
        e2e_check "UDP from A's router to B's is dropped on the way" nat_udp_between_dropped
    e2e_check "A reaches B's LAN address only on one LAN" nat_lan_reach
    e2e_check "A's messengerd logs the STUN and TURN services its server offers" grep -q \
        "STUN and TURN services of the server: STUN $TWOPC_ADDR_XA:$TWOPC_TURN_PORT (udp), TURN $TWOPC_ADDR_XA:$TWOPC_TURN_PORT (udp, credentials until " \
        "$s/pc-a/messengerd.log"
    e2e_check "5 MB GET through A's port 80" twopc_exec a curl -sS --max-time 60 -o "$s/http-a.bin" "http://127.0.0.1:80/$TWOPC_HTTP_FILE"
    e2e_check "  same sha256 as B's file" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/http-a.bin"
    e2e_ftp_curl_mode epsv EPSV
    [ -z "${TWOPC_EXPECT_PATH:-}" ] ||
        e2e_check "the stream went ${TWOPC_EXPECT_PATH} (A's messengerd log)" twopc_wait_until 40 nat_path_taken
}
e2e_run "$@"
