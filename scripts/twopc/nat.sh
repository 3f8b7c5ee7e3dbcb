# shellcheck shell=bash
# Home routers between the PCs and the internet, sourced by lib.sh.
#
# TWOPC_NAT (read when twopc_up runs; unset: none, each PC on the server's
# network as before):
#   home       each PC behind a router of its own (namespace cvx-<pid>-ra,
#              -rb) that masquerades it, as home routers do: a PC's outgoing
#              UDP keeps its source port where it can, one mapping for every
#              destination, and only an address it sent to may answer (so
#              hole punching can open a direct path)
#   symmetric  the same, but every new mapping gets a random port
#              (masquerade fully-random): what one server saw of a PC's
#              address tells no other host how to reach it, so there is no
#              direct path between the PCs
#   lan        both PCs behind one router (namespace cvx-<pid>-ra), on one
#              LAN 192.168.1.0/24, so they reach each other directly
#
# TWOPC_BLOCK_UDP (with TWOPC_NAT):
#   between     the server's network forwards no UDP from one PC's router to
#               the other's: UDP reaches the server (STUN, TURN), never the
#               other PC directly
#   everywhere  the routers let no UDP out: no STUN, no TURN over UDP
#
# In every variant the router takes the PC's old place on the server's
# network (10.77.1.2, 10.77.2.2), so the server, the delay element
# (TWOPC_DELAY_AT=ip) and every address the daemons are given stay as they
# were; the PCs get 192.168.1.2 (A) and 192.168.2.2 (B; 192.168.1.3 on the
# shared LAN) and a default route through their router.

TWOPC_LAN_A=192.168.1.2
TWOPC_LAN_B=192.168.2.2

# twopc_nat_router NS WAN...: forwarding on, and every packet that leaves
# through one of the WAN interfaces masqueraded (fully random ports for
# TWOPC_NAT=symmetric).
twopc_nat_router() {
    local ns=$1 wan how=masquerade
    shift
    [ "${TWOPC_NAT}" != symmetric ] || how="masquerade fully-random"
    ip netns exec "$ns" sysctl -qw net.ipv4.ip_forward=1 || return 1
    {
        echo "table ip nat {"
        echo "    chain post {"
        echo "        type nat hook postrouting priority srcnat; policy accept;"
        for wan in "$@"; do echo "        oifname \"$wan\" $how"; done
        echo "    }"
        echo "}"
        # What comes in from the internet unasked is dropped before
        # connection tracking keeps it: otherwise the entry of a
        # datagram that arrived first would take the port that the
        # PC's own datagram to the same peer needs, and no hole could
        # ever be punched. A home router does the same.
        echo "table ip guard {"
        for hook in input forward; do
            echo "    chain $hook {"
            echo "        type filter hook $hook priority filter; policy accept;"
            for wan in "$@"; do echo "        iifname \"$wan\" ct state new drop"; done
            echo "    }"
        done
        echo "}"
    } | ip netns exec "$ns" nft -f - || { twopc_fail "nft in $ns failed"; return 1; }
}

# twopc_nat_lan PC ROUTER-NS PC-ADDR ROUTER-ADDR: a veth from the PC to the
# router (pc side "lan", router side "to<pc>"), the PC's address and its
# default route through the router.
twopc_nat_lan() {
    local pc=$1 rns=$2 addr=$3 gw=$4 pns
    pns=$(twopc_ns "$pc")
    ip -n "$rns" link add "to$pc" type veth peer name lan netns "$pns" &&
    ip -n "$pns" addr add "$addr/24" dev lan && ip -n "$pns" link set lan up &&
    ip -n "$rns" link set "to$pc" up || return 1
    [ -z "$gw" ] || ip -n "$rns" addr add "$gw/24" dev "to$pc" || return 1
}

# twopc_make_nat: called by twopc_make_network once the PCs' links to the
# server exist. Moves each PC's uplink (ax, bx) into its router, with the
# address it had, and puts the PC behind the router.
twopc_make_nat() {
    [ -n "${TWOPC_NAT:-}" ] || return 0
    case $TWOPC_NAT in
        home | symmetric | lan) ;;
        *) twopc_fail "TWOPC_NAT=$TWOPC_NAT: home, symmetric or lan"; return 1 ;;
    esac
    [ -z "${TWOPC_NS_Y:-}" ] || { twopc_fail "TWOPC_NAT works with one server only"; return 1; }
    command -v nft >/dev/null || { twopc_fail "TWOPC_NAT needs nft (scripts/install-deps.sh)"; return 1; }
    local ra=$TWOPC_NS_RA rb=${TWOPC_NS_RB:-}
    ip netns add "$ra" && ip -n "$ra" link set lo up || return 1
    ip -n "$TWOPC_NS_A" link set ax netns "$ra" || return 1
    if [ -n "$rb" ]; then
        ip netns add "$rb" && ip -n "$rb" link set lo up || return 1
        ip -n "$TWOPC_NS_B" link set bx netns "$rb" || return 1
    else
        ip -n "$TWOPC_NS_B" link set bx netns "$ra" || return 1
    fi
    local wanb=${rb:-$ra}
    ip -n "$ra" addr add "$TWOPC_ADDR_A/24" dev ax && ip -n "$ra" link set ax up &&
    ip -n "$wanb" addr add "$TWOPC_ADDR_B/24" dev bx && ip -n "$wanb" link set bx up || return 1
    if [ -n "$rb" ]; then
        twopc_nat_lan a "$ra" "$TWOPC_LAN_A" 192.168.1.1 &&
        twopc_nat_lan b "$rb" "$TWOPC_LAN_B" 192.168.2.1 &&
        twopc_nat_router "$ra" ax && twopc_nat_router "$rb" bx || return 1
        ip -n "$ra" route add default via "$TWOPC_ADDR_XA" &&
        ip -n "$rb" route add default via "$TWOPC_ADDR_XB" || return 1
        # The server's network is the internet between the routers: it
        # carries what one router sends to the other (with a delay element
        # at the IP level it does so already).
        ip netns exec "$TWOPC_NS_X" sysctl -qw net.ipv4.ip_forward=1 || return 1
    else
        # One LAN: a bridge in the router joins both PCs. B's server
        # address is on the router's second uplink, A's behind the first.
        TWOPC_LAN_B=192.168.1.3
        ip -n "$ra" link add lanbr type bridge && ip -n "$ra" link set lanbr up &&
        ip -n "$ra" addr add 192.168.1.1/24 dev lanbr &&
        twopc_nat_lan a "$ra" "$TWOPC_LAN_A" "" && twopc_nat_lan b "$ra" "$TWOPC_LAN_B" "" &&
        ip -n "$ra" link set toa master lanbr && ip -n "$ra" link set tob master lanbr &&
        twopc_nat_router "$ra" ax bx || return 1
        ip -n "$ra" route add default via "$TWOPC_ADDR_XA" || return 1
    fi
    twopc_wait_until 5 eval "ip -n $TWOPC_NS_A -br link show lan | grep -qw UP && ip -n $TWOPC_NS_B -br link show lan | grep -qw UP" ||
        { twopc_fail "the routers' LAN links did not come up"; return 1; }
    ip -n "$TWOPC_NS_A" route add default via "${TWOPC_LAN_A%.*}.1" &&
    ip -n "$TWOPC_NS_B" route add default via "${TWOPC_LAN_B%.*}.1" || return 1
    twopc_server_uplink || return 1
    twopc_block_udp || return 1
    twopc_log "home routers ($TWOPC_NAT${TWOPC_BLOCK_UDP:+, UDP blocked $TWOPC_BLOCK_UDP}): A is $TWOPC_LAN_A, B is $TWOPC_LAN_B behind them"
}

# twopc_server_uplink: the server's network gets a default route, as every
# server on the internet has: an uplink (a TUN device that no process reads)
# where whatever has no other route goes and is lost, as a datagram to a
# private address is lost on the internet. Without one, the kernel refuses
# such a datagram at once (ENETUNREACH), and coturn (4.6.1, Debian 12)
# closes the whole allocation when a relayed send fails: the first check
# from a relay candidate to the other PC's LAN address would end that relay.
twopc_server_uplink() {
    ip -n "$TWOPC_NS_X" tuntap add dev uplink mode tun && ip -n "$TWOPC_NS_X" link set uplink up &&
    ip -n "$TWOPC_NS_X" route add default dev uplink || { twopc_fail "no uplink in $TWOPC_NS_X"; return 1; }
}

# twopc_block_udp: TWOPC_BLOCK_UDP's filter, each with a counter of what it
# dropped (nft list table ip block).
twopc_block_udp() {
    local ns rule
    case ${TWOPC_BLOCK_UDP:-} in
        "") return 0 ;;
        between)
            ns=$TWOPC_NS_X
            rule="ip saddr { $TWOPC_ADDR_A, $TWOPC_ADDR_B } ip daddr { $TWOPC_ADDR_A, $TWOPC_ADDR_B } meta l4proto udp counter drop" ;;
        everywhere) ;;
        *) twopc_fail "TWOPC_BLOCK_UDP=$TWOPC_BLOCK_UDP: between or everywhere"; return 1 ;;
    esac
    if [ "$TWOPC_BLOCK_UDP" = everywhere ]; then
        for ns in "$TWOPC_NS_RA" ${TWOPC_NS_RB:+"$TWOPC_NS_RB"}; do
            twopc_block_udp_in "$ns" 'oifname { "ax", "bx" } meta l4proto udp counter drop' || return 1
        done
    else
        twopc_block_udp_in "$ns" "$rule" || return 1
    fi
}

twopc_block_udp_in() {  # NS RULE
    printf 'table ip block {\n    chain drops {\n        type filter hook forward priority filter; policy accept;\n        %s\n    }\n}\n' "$2" |
        ip netns exec "$1" nft -f - || { twopc_fail "nft in $1 failed"; return 1; }
}
