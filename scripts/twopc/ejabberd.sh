# shellcheck shell=bash
# ejabberd as the XMPP server of the two PCs (TWOPC_SERVER=ejabberd); sourced
# by lib.sh, which holds the settings and helpers used here.
#
# The server runs in namespace x as the ejabberd user, in the foreground
# under twopc_spawn, much as Debian's unit runs it (User=ejabberd,
# ejabberdctl foreground), with everything of its own under
# $TWOPC_SCRATCH/x/ejabberd:
#   etc/ejabberd.yml      Debian's /etc/ejabberd/ejabberd.yml, changed as the
#                         operator of a tunnel server would (twopc_ejabberd_yml)
#   etc/ejabberdctl.cfg   node name, cookie, Erlang distribution port, pid file
#   etc/server.pem        the certificate of $TWOPC_DOMAIN (signed by the harness CA)
#                         and its key
#   spool/                Mnesia: accounts and rosters (kept for a restart)
#   log/ejabberd.log      the server's log; ejabberd.out has the console
#   ctl.log               what ejabberdctl said
#
# Erlang distribution: the node listens on 127.0.0.1:$TWOPC_EJABBERD_DIST_PORT
# of namespace x and ejabberdctl reaches it there (ERL_DIST_PORT), so no epmd
# is started at all, nothing listens outside the namespace, and the cookie is
# one of this run's own (not ~ejabberd/.erlang.cookie). By hand:
#   ip netns exec $TWOPC_NS_X setpriv --reuid=ejabberd --regid=ejabberd --init-groups \
#     env HOME=$TWOPC_SCRATCH/x/ejabberd/spool ejabberdctl \
#     --config-dir $TWOPC_SCRATCH/x/ejabberd/etc --spool $TWOPC_SCRATCH/x/ejabberd/spool \
#     --logs $TWOPC_SCRATCH/x/ejabberd/log connected_users
# or, with lib.sh sourced and the state loaded: twopc_ejabberdctl connected_users
#
# Stopping: twopc_spawn records ejabberdctl's shell as "ejabberd" and the
# start records the Erlang VM it runs as "ejabberd-vm" after it, so
# twopc_down's SIGTERM (in reverse start order) reaches the VM first, which
# shuts ejabberd down in about a second; the shell then ends by itself.

TWOPC_EJABBERD_YML=${TWOPC_EJABBERD_YML:-/etc/ejabberd/ejabberd.yml}   # Debian's file
TWOPC_EJABBERD_DIST_PORT=5210
TWOPC_EJABBERD_USER=ejabberd

twopc_ejabberd_dir() { echo "$TWOPC_SCRATCH/x/ejabberd"; }

# twopc_ejabberd_tunnel_jids: the accounts that carry the tunnel.
twopc_ejabberd_tunnel_jids() {
    echo "$TWOPC_JID_A" "$TWOPC_JID_B"
    if [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then echo "$TWOPC_JID_C"; fi
}

# twopc_ejabberd_yml SRC DST: Debian's ejabberd.yml with what an operator of a
# tunnel server changes, and nothing else:
#   hosts      $TWOPC_DOMAIN
#   certfiles  the certificate for it, signed by the harness CA
#   ca_file    that CA (what ejabberd checks its certificates against)
#   listen     Debian's STARTTLS c2s listener on port 5222 (its
#              max_stanza_size, shaper, access, starttls_required and TLS
#              options as shipped), once on each of x's two addresses; the
#              other listeners (direct TLS 5223, s2s 5269, HTTP 5280/5443,
#              STUN, MQTT) are left out: two PCs need c2s only. With
#              TWOPC_TURN=1 Debian's STUN/TURN listener (UDP 3478,
#              use_turn) stays, on x's first address, with that address as
#              its turn_ipv4_address, as an operator would set it; the
#              shipped mod_stun_disco then announces it (XEP-0215)
#   acl        "tunnel": the tunnel accounts
#   shaper_rules/c2s_shaper  "none" for tunnel, ahead of Debian's rules
#              (none for admin, normal for all); TWOPC_EJABBERD_SHAPED=1
#              leaves that out: the tunnel accounts are held to "normal"
#              like everyone's, as on a public server
# The modules and their options (mod_stream_mgmt, mod_offline, mod_ping,
# mod_pres_counter, ...) and the shapers stay as shipped. What of Debian's
# defaults matters to the tunnel:
#   - shaper "normal" (3000 B/s, burst 20000) is the c2s_shaper of every
#     account but admins: a 5 MB transfer would take half an hour, so the
#     tunnel accounts get "none"; until login (STARTTLS, SASL) a connection
#     is still held to "normal", which costs a login a fraction of a second
#   - max_stanza_size 262144 on c2s: a bigger stanza ends the sender's
#     stream; the daemons' IBB blocks stay far below it
#   - mod_stream_mgmt (resume_timeout 300 s by default, resend_on_timeout
#     if_offline): a session that enabled stream management lingers up to
#     five minutes after its TCP connection died, as a resumable one. The
#     daemons never enable it (libstrophe's XMPP_CONN_FLAG_DISABLE_SM), so
#     their sessions end with the connection and a new login starts afresh
twopc_ejabberd_yml() {
    local src=$1 dst=$2
    [ -r "$src" ] || { twopc_fail "no $src (is ejabberd installed?)"; return 1; }
    awk -v domain="$TWOPC_DOMAIN" -v pem="$(twopc_ejabberd_dir)/etc/server.pem" -v ca="$(twopc_ejabberd_dir)/etc/ca.crt" \
        -v addrs="$TWOPC_ADDR_XA $TWOPC_ADDR_XB" -v port="$TWOPC_XMPP_PORT" \
        -v jids="$(twopc_ejabberd_tunnel_jids | tr '\n' ' ')" -v turn="${TWOPC_TURN:-0}" -v shaped="${TWOPC_EJABBERD_SHAPED:-0}" '
        function toplevel(line) { return line ~ /^[A-Za-z_"\047]/ }
        function key(line) { sub(/:.*/, "", line); return line }
        # First pass: the listener items of the listen section.
        NR == FNR {
            if (toplevel($0)) { sec = key($0); next }
            if (sec == "listen" && $0 ~ /^[ \t]*$/) next
            if (sec == "listen") { if ($0 ~ /^  -/) n++; item[n] = item[n] $0 "\n" }
            next
        }
        FNR == 1 {
            for (i = 1; i <= n; i++)
                if (item[i] ~ /\n    port: 5222\n/ && item[i] ~ /\n    module: ejabberd_c2s\n/) c2s = item[i]
            if (c2s == "") { print "no c2s listener on port 5222 in the shipped file" > "/dev/stderr"; exit 1 }
            for (i = 1; i <= n; i++)
                if (item[i] ~ /\n    module: ejabberd_stun\n/) stun = item[i]
            if (turn == 1) {
                if (stun == "") { print "no ejabberd_stun listener in the shipped file" > "/dev/stderr"; exit 1 }
                # On the first address of x, and that address given out for TURN.
                split(addrs, first, " ")
                sub(/\n    ip: [^\n]*\n/, "\n    ip: \"" first[1] "\"\n", stun)
                sub(/\n    # turn_ipv4_address: [^\n]*\n/, "\n    turn_ipv4_address: \"" first[1] "\"\n", stun)
                if (stun !~ /\n    turn_ipv4_address: "/) stun = stun "    turn_ipv4_address: \"" first[1] "\"\n"
            }
            if (c2s !~ /\n    ip: /) sub(/\n/, "\n    ip: \"::\"\n", c2s)
            sub(/\n    port: 5222\n/, "\n    port: " port "\n", c2s)
            if (c2s ~ /\n    starttls_required: /) sub(/\n    starttls_required: [^\n]*\n/, "\n    starttls_required: true\n", c2s)
            else c2s = c2s "    starttls_required: true\n"
            sec = ""
        }
        toplevel($0) {
            sec = key($0); skip = 0; in_c2s = 0
            if (sec == "hosts") { print "hosts:"; print "  - \"" domain "\""; skip = 1; next }
            if (sec == "certfiles") {
                print "certfiles:"; print "  - \"" pem "\""
                print "ca_file: \"" ca "\""
                skip = 1; next
            }
            if (sec == "listen") {
                print "listen:"
                na = split(addrs, a, " ")
                for (i = 1; i <= na; i++) { l = c2s; sub(/\n    ip: [^\n]*\n/, "\n    ip: \"" a[i] "\"\n", l); printf "%s", l }
                if (turn == 1) printf "%s", stun
                skip = 1; next
            }
            if (sec == "acl") {
                print
                print "  tunnel:"; print "    user:"
                nj = split(jids, j, " ")
                for (i = 1; i <= nj; i++) print "      - \"" j[i] "\""
                next
            }
            print; next
        }
        skip && /^[ \t]+[^ \t]/ { next }
        # The rule in list form, so that "none" can be given twice: a rule
        # value with a list of ACLs needs all of them to match, not any.
        sec == "shaper_rules" && /^  c2s_shaper:[ \t]*$/ { print; if (shaped != 1) print "    - none: tunnel"; in_c2s = 1; next }
        in_c2s && /^    [A-Za-z_0-9]+:[ \t]*[^ \t]/ { sub(/^    /, "    - "); print; next }
        in_c2s { in_c2s = 0 }
        { print }
    ' "$src" "$src" >"$dst" || { twopc_fail "could not derive $dst from $src"; return 1; }
}

# twopc_ejabberd_config: etc/ (ejabberd.yml, ejabberdctl.cfg, inetrc,
# server.pem), spool/ and log/, all the ejabberd user's. The certificate
# is signed by the harness CA, which the daemons are told to trust.
twopc_ejabberd_config() {
    local d; d=$(twopc_ejabberd_dir)
    mkdir -p "$d/etc" "$d/spool" "$d/log" || return 1
    twopc_make_ca "$TWOPC_SCRATCH/ca" "CorvaneForTcp test CA" &&
    twopc_make_cert "$TWOPC_SCRATCH/x" "$TWOPC_DOMAIN" "$TWOPC_SCRATCH/ca" || return 1
    cat "$TWOPC_SCRATCH/x/server.crt" "$TWOPC_SCRATCH/x/server.key" >"$d/etc/server.pem" &&
    cp "$TWOPC_SCRATCH/ca/ca.crt" "$d/etc/ca.crt" || return 1
    twopc_ejabberd_yml "$TWOPC_EJABBERD_YML" "$d/etc/ejabberd.yml" || return 1
    { [ "${TWOPC_EJABBERD_SHAPED:-0}" = 1 ] || grep -q "^    - none: tunnel\$" "$d/etc/ejabberd.yml"; } &&
        grep -q "^    starttls_required: true\$" "$d/etc/ejabberd.yml" ||
        { twopc_fail "$TWOPC_EJABBERD_YML has a shape the harness does not know (no c2s_shaper 'none' rule or no c2s listener on 5222; see $d/etc/ejabberd.yml)"; return 1; }
    # Debian's inetrc: "localhost" (the node's host) is 127.0.0.1 of namespace x.
    cp /etc/ejabberd/inetrc "$d/etc/inetrc" || return 1
    cat >"$d/etc/ejabberdctl.cfg" <<CFG
# ejabberdctl settings of this harness run (sourced by ejabberdctl).
ERLANG_NODE=ejabberd@localhost
# The node's distribution port, known to ejabberdctl: no epmd is needed.
ERL_DIST_PORT=$TWOPC_EJABBERD_DIST_PORT
ERL_OPTIONS="-env ERL_CRASH_DUMP_BYTES 0 -setcookie $(od -An -tx1 -N16 /dev/urandom | tr -d ' \n') -kernel inet_dist_use_interface {127,0,0,1}"
EJABBERD_CONFIG_PATH=$d/etc/ejabberd.yml
EJABBERD_PID_PATH=$d/ejabberd.pid
CONTRIB_MODULES_CONF_DIR=$d/etc/modules.d
EJABBERD_BYPASS_WARNINGS=true
CFG
    # The ejabberd user must reach its directory through the scratch dir.
    chmod o+x "$TWOPC_SCRATCH" "$TWOPC_SCRATCH/x" &&
    chown -R "$TWOPC_EJABBERD_USER:" "$d" && chmod -R go-rwx "$d" ||
        { twopc_fail "could not hand $d to the user $TWOPC_EJABBERD_USER"; return 1; }
}

# twopc_ejabberdctl ARGS...: ejabberdctl of this run's node, in namespace x
# as the ejabberd user; output goes to stdout.
twopc_ejabberdctl() {
    local d; d=$(twopc_ejabberd_dir)
    (cd "$d/spool" && timeout 30 ip netns exec "$TWOPC_NS_X" \
        setpriv --reuid="$TWOPC_EJABBERD_USER" --regid="$TWOPC_EJABBERD_USER" --init-groups \
        env HOME="$d/spool" ejabberdctl --config-dir "$d/etc" --spool "$d/spool" --logs "$d/log" "$@")
}

# twopc_ejabberdctl_logged ARGS...: the same, its output appended to ctl.log;
# fails with a pointer to it.
twopc_ejabberdctl_logged() {
    local log; log=$(twopc_ejabberd_dir)/ctl.log
    echo "\$ ejabberdctl $*" >>"$log"
    twopc_ejabberdctl "$@" >>"$log" 2>&1 ||
        { twopc_fail "ejabberdctl $1 failed (see $log)"; return 1; }
}

# twopc_ejabberd_shapers JID...: for each JID a line "JID SHAPER", the c2s
# shaper the running node gives that account after login, as ejabberd_c2s
# asks for it: none, or {Rate,BurstSize}. A throwaway hidden node asks over
# the distribution port (no epmd, no listening).
twopc_ejabberd_shapers() {
    local d cookie; d=$(twopc_ejabberd_dir)
    cookie=$(sed -n 's/.*-setcookie \([0-9a-f]*\).*/\1/p' "$d/etc/ejabberdctl.cfg")
    (cd "$d/spool" && H=$TWOPC_DOMAIN JIDS="$*" timeout 20 ip netns exec "$TWOPC_NS_X" \
        setpriv --reuid="$TWOPC_EJABBERD_USER" --regid="$TWOPC_EJABBERD_USER" --init-groups \
        env HOME="$d/spool" erl -sname "probe$$@localhost" -setcookie "$cookie" -hidden \
            -erl_epmd_port "$TWOPC_EJABBERD_DIST_PORT" -start_epmd false -dist_listen false -noshell -noinput \
            -eval 'N = ejabberd@localhost, H = list_to_binary(os:getenv("H")),
                   [begin
                        J = rpc:call(N, jid, decode, [list_to_binary(S)]),
                        io:format("~s ~p~n", [S, rpc:call(N, ejabberd_shaper, match, [H, c2s_shaper, J])])
                    end || S <- string:lexemes(os:getenv("JIDS"), " ")],
                   halt().')
}

# twopc_ejabberd_vm_up: the VM wrote its pid file, that pid runs, and both
# c2s addresses listen.
twopc_ejabberd_vm_up() {
    local pid
    pid=$(cat "$(twopc_ejabberd_dir)/ejabberd.pid" 2>/dev/null) && twopc_alive "$pid" &&
    twopc_listening_tcp x "$TWOPC_ADDR_XA:$TWOPC_XMPP_PORT" && twopc_listening_tcp x "$TWOPC_ADDR_XB:$TWOPC_XMPP_PORT"
}

# twopc_ejabberd_spawn: ejabberdctl foreground under twopc_spawn as
# "ejabberd", its VM recorded as "ejabberd-vm"; bounded wait until both c2s
# addresses listen and the node answers ejabberdctl.
twopc_ejabberd_spawn() {
    local d; d=$(twopc_ejabberd_dir)
    rm -f "$d/ejabberd.pid"    # a killed VM leaves its own behind
    # ejabberdctl changes to the spool dir itself before it starts the VM.
    twopc_spawn x ejabberd "$d/ejabberd.out" \
        setpriv --reuid="$TWOPC_EJABBERD_USER" --regid="$TWOPC_EJABBERD_USER" --init-groups \
        env HOME="$d/spool" ejabberdctl --config-dir "$d/etc" --spool "$d/spool" --logs "$d/log" foreground
    if ! twopc_wait_until 30 twopc_ejabberd_vm_up; then
        twopc_fail "ejabberd did not listen on $TWOPC_ADDR_XA:$TWOPC_XMPP_PORT and $TWOPC_ADDR_XB:$TWOPC_XMPP_PORT (see $d/ejabberd.out, $d/log/ejabberd.log)"
        return 1
    fi
    echo "ejabberd-vm $(cat "$d/ejabberd.pid")" >>"$TWOPC_SCRATCH/pids"
    twopc_wait_until 20 eval "twopc_ejabberdctl status >/dev/null 2>&1" ||
        { twopc_fail "ejabberd does not answer ejabberdctl status (see $d/log/ejabberd.log)"; return 1; }
}

# twopc_ejabberd_contacts USER1 USER2: mutual contacts (subscription both),
# pushed to the sessions of both that are online, as a roster edit by an
# admin would be.
twopc_ejabberd_contacts() {
    local a=$1 b=$2 h=$TWOPC_DOMAIN
    twopc_ejabberdctl_logged add_rosteritem "$a" "$h" "$b" "$h" "$b" "" both &&
    twopc_ejabberdctl_logged add_rosteritem "$b" "$h" "$a" "$h" "$a" "" both ||
        { twopc_fail "could not make $a and $b contacts"; return 1; }
}

twopc_start_ejabberd() {
    twopc_ejabberd_config || return 1
    twopc_ejabberd_spawn || return 1
    twopc_ejabberdctl_logged register pca "$TWOPC_DOMAIN" pca-secret &&
    twopc_ejabberdctl_logged register pcb "$TWOPC_DOMAIN" pcb-secret || return 1
    if [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then twopc_ejabberdctl_logged register pc0 "$TWOPC_DOMAIN" pc0-secret || return 1; fi
    twopc_ejabberd_contacts pca pcb || return 1
    if [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then twopc_ejabberd_contacts pcb pc0 || return 1; fi
    # The tunnel accounts are held to Debian's "normal" c2s shaper only
    # when TWOPC_EJABBERD_SHAPED=1 asks for it.
    local jids shapers want=0
    jids=$(twopc_ejabberd_tunnel_jids | tr '\n' ' ')
    # shellcheck disable=SC2086
    shapers=$(twopc_ejabberd_shapers $jids 2>&1)
    [ "${TWOPC_EJABBERD_SHAPED:-0}" = 1 ] || want=$(wc -w <<<"$jids")
    [ "$(grep -c ' none$' <<<"$shapers")" -eq "$want" ] && [ "$(grep -c ' ' <<<"$shapers")" -eq "$(wc -w <<<"$jids")" ] ||
        { twopc_fail "ejabberd shapes the tunnel accounts otherwise than asked (TWOPC_EJABBERD_SHAPED=${TWOPC_EJABBERD_SHAPED:-0}): $(tr '\n' ';' <<<"$shapers") (see $(twopc_ejabberd_dir)/etc/ejabberd.yml)"; return 1; }
    twopc_log "ejabberd up, $TWOPC_JID_A and $TWOPC_JID_B are mutual contacts"
}
