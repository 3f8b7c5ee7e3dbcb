#!/usr/bin/env bash
# A daemon facing a server whose certificate does not verify refuses to log
# in and says why in its log, and the server never sees its password: first
# a certificate from a CA the daemon does not trust, then one from its
# trusted CA but for another name. With the right certificate and CA both
# daemons log in and the tunnel carries a file, sha256-equal.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_setup() { TWOPC_PROSODY=default; }

restart_daemon() {  # PC: stops the PC's messengerd and starts it on its current config
    twopc_stop_pid "$(twopc_pid_of "messengerd-$1")" 5
    twopc_spawn "$1" "messengerd-$1" "$TWOPC_SCRATCH/pc-$1/messengerd.out" "$MESSENGERD" --config "$TWOPC_SCRATCH/pc-$1/messengerd.conf"
}

log_mark() { wc -l <"$1"; }
logged_since() { tail -n +"$(($2 + 1))" "$1" | grep -Eq -- "$3"; }  # FILE MARK ERE

# refused PC MARK PMARK REASON HINT: after the marks, the PC's daemon logged
# a refusal naming REASON (an ERE) and HINT, never logged in, and Prosody
# saw no login of its account.
refused() {
    local log=$TWOPC_SCRATCH/pc-$1/messengerd.log jid
    [ "$1" = a ] && jid=$TWOPC_JID_A || jid=$TWOPC_JID_B
    twopc_wait_until 20 logged_since "$log" "$2" "does not verify: ($4)" ||
        { echo "  no refusal in $log:"; tail -n 5 "$log" | sed 's/^/  /'; return 1; }
    tail -n +"$(($2 + 1))" "$log" | grep "does not verify" | head -n1 | sed 's/^/  /'
    logged_since "$log" "$2" "$5" &&
        ! logged_since "$log" "$2" "online as" &&
        ! logged_since "$TWOPC_SCRATCH/x/prosody.log" "$3" "Authenticated as $jid"
}

e2e_main() {
    local s=$TWOPC_SCRATCH conf=$TWOPC_SCRATCH/pc-a/messengerd.conf mark pmark
    local alog=$TWOPC_SCRATCH/pc-a/messengerd.log plog=$TWOPC_SCRATCH/x/prosody.log

    # A CA A's daemon does not trust.
    mark=$(log_mark "$alog") pmark=$(log_mark "$plog")
    sed -i '/^tls_ca_file/d' "$conf"
    restart_daemon a
    e2e_check "unknown CA: A's daemon refuses the server and says why" \
        refused a "$mark" "$pmark" "unable to get local issuer certificate|self-signed certificate in certificate chain" \
        "name the CA's certificate with tls_ca_file"

    # The trusted CA's certificate for another name.
    twopc_make_cert "$s/other" "other.$TWOPC_DOMAIN" "$s/ca" || return 1
    twopc_stop_pid "$(twopc_pid_of prosody)" 10
    mv "$s/x/server.crt" "$s/x/right.crt" && mv "$s/x/server.key" "$s/x/right.key"
    cp "$s/other/server.crt" "$s/other/server.key" "$s/x/"
    echo "tls_ca_file = $s/ca/ca.crt" >>"$conf"
    twopc_restart_prosody || return 1
    mark=$(log_mark "$alog") pmark=$(log_mark "$plog")
    restart_daemon a
    e2e_check "another name: A's daemon refuses the server and says why" \
        refused a "$mark" "$pmark" "hostname mismatch" "The certificate is not for $TWOPC_DOMAIN:"

    # The right certificate: both daemons back, and the tunnel works.
    twopc_stop_pid "$(twopc_pid_of prosody)" 10
    mv "$s/x/right.crt" "$s/x/server.crt" && mv "$s/x/right.key" "$s/x/server.key"
    twopc_restart_prosody || return 1
    restart_daemon a && restart_daemon b
    e2e_check "right certificate: both daemons online" eval "twopc_wait_messengerd a && twopc_wait_messengerd b"
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "5 MB GET through A's port 80" twopc_exec a curl -sS --max-time 120 -o "$s/http-a.bin" "http://127.0.0.1:80/$TWOPC_HTTP_FILE"
    e2e_check "  same sha256 as B's file" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/http-a.bin"
}
e2e_run "$@"
