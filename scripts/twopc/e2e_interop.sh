#!/usr/bin/env bash
# The tunnel through another XMPP network than the single Prosody of the
# other tests, chosen by the environment: TWOPC_FEDERATED=1 (PC A's account
# on one Prosody, PC B's on another, s2s between them) or
# TWOPC_SERVER=ejabberd (with TWOPC_TURN=1: its own STUN/TURN, which the
# daemons must find through XEP-0215). TLS is verified against the harness's CA on every
# connection. The accept policy, then a page and 5 MB over HTTP, FTP passive
# and active both ways and echo connections; every file sha256-equal.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_setup() { TWOPC_EXTRA_CONTACT=1; }

logged_in_over_tls() {  # PC: the daemon logged in over TLS and was not told to skip the check
    grep -q "connected as .* (TLS)" "$TWOPC_SCRATCH/pc-$1/messengerd.log" &&
        ! grep -q "tls_verify = no" "$TWOPC_SCRATCH/pc-$1/messengerd.log"
}

friends_are() {  # PC LIST: the daemon's SEARCH FRIENDS answer is USERS LIST
    twopc_api "$1" command 'SEARCH FRIENDS' '^USERS ' | grep -qx "USERS $2"
}

e2e_main() {
    local s=$TWOPC_SCRATCH i
    e2e_check "PC A's daemon logged in over verified TLS" logged_in_over_tls a
    e2e_check "PC B's daemon logged in over verified TLS" logged_in_over_tls b
    [ "${TWOPC_TURN:-0}" != 1 ] || e2e_check "A's messengerd logs the server's STUN and TURN (XEP-0215)" grep -q \
        "STUN and TURN services of the server: .*STUN $TWOPC_ADDR_XA:$TWOPC_TURN_PORT (udp).*TURN $TWOPC_ADDR_XA:$TWOPC_TURN_PORT (udp, credentials" \
        "$s/pc-a/messengerd.log"
    if [ -n "${TWOPC_NS_Y:-}" ]; then
        e2e_check "server one authenticated server two by its certificate" \
            grep -q "Accepting SASL EXTERNAL identity from $TWOPC_DOMAIN_B" "$s/x/prosody.log"
        e2e_check "server two authenticated server one by its certificate" \
            grep -q "Accepting SASL EXTERNAL identity from $TWOPC_DOMAIN_A" "$s/y/prosody.log"
        e2e_check "--add-contact made A's friend on the other server" friends_are a "$TWOPC_JID_B"
    fi
    e2e_accept_policy || return 1

    e2e_check "5 MB GET through A's port 80" twopc_exec a curl -sS --max-time 120 -o "$s/http-a.bin" "http://127.0.0.1:80/$TWOPC_HTTP_FILE"
    e2e_check "  same sha256 as B's file" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/http-a.bin"
    e2e_ftp_curl_mode epsv EPSV                                        # passive
    e2e_ftp_curl_mode pasv PASV --disable-epsv
    e2e_ftp_curl_mode eprt EPRT --ftp-port 127.0.0.1                   # active
    e2e_ftp_curl_mode port 'PORT ' --ftp-port 127.0.0.1 --disable-eprt
    for i in 1 2 3; do
        e2e_check "echo connection $i (256 KB)" e2e_client a transfer --port 9023 --bytes 262144 --timeout 60
    done
}
e2e_run "$@"
