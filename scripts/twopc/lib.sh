# shellcheck shell=bash
# Two PCs on one machine: functions to source from bash (as root).
#
#   source scripts/twopc/lib.sh
#   twopc_up                 # namespaces, XMPP server, services on B, both messengerd, program dirs
#   twopc_start_program a    # corvanefortcp of PC A (b for PC B), trace in $TWOPC_SCRATCH/pc-a/trace.txt
#   twopc_down               # stops everything, deletes the namespaces and the scratch dir
#
# Layout of one run (names carry the shell's pid, so runs never collide):
#   namespace cvx-<pid>-x : the XMPP server (Prosody or ejabberd), c2s on
#                           10.77.1.1:5222 and 10.77.2.1:5222
#   namespace cvx-<pid>-y : TWOPC_FEDERATED=1 only: PC B's Prosody, c2s on
#                           10.77.2.1:5222; x holds PC A's on 10.77.1.1:5222;
#                           s2s between them on 10.77.3.1 - 10.77.3.2
#   namespace cvx-<pid>-a : PC A, 10.77.1.2 (veth to x), its own loopback
#   namespace cvx-<pid>-b : PC B, 10.77.2.2 (veth to x, or y), its own loopback with
#                           vsftpd on 127.0.0.1:21, an HTTP server on 127.0.0.1:80,
#                           a TCP echo service on 127.0.0.1:9023, and two
#                           sources that send a file and close (no length
#                           field: only the end tells the client it is whole):
#                           127.0.0.1:2401 (2 MB), 127.0.0.1:5900 (20 MB)
#
# Settings (environment, read when twopc_up runs):
#   BUILD_DIR     build tree (default <repo>/build)
#   CORVANE_BIN   the program (default $BUILD_DIR/bin/corvanefortcp)
#   MESSENGERD    the messenger daemon (default $BUILD_DIR/bin/messengerd)
#   KEEP=1        twopc_down keeps the scratch dir (logs, traces, configs)
#   TWOPC_EXTRA_CONTACT=1  also registers pc0@corvane.test, a mutual contact of
#                 pcb only (no daemon runs for it), so that B has two contacts;
#                 it sorts before pca, so it is the one B's program selects first
#   TWOPC_QUIET=1 no progress lines on stderr
#   TWOPC_DELAY_MS=D  a delay element (build/bin/delay_proxy) in namespace x
#                 between each messengerd and Prosody: D ms one way on each
#                 side, so 2D from PC A to PC B (daemons use port 5322)
#   TWOPC_DELAY_AT=tcp|ip  where that delay acts: tcp (the default) relays
#                 each connection (delay_proxy), so the server's TCP talks to
#                 the relay next to it and never waits a round trip for an
#                 acknowledgement; ip (one server only) delays the packets
#                 themselves (build/bin/delay_link, TUN devices in namespace
#                 x), so each messengerd and the server share one TCP
#                 connection with a real round trip, as on a real network:
#                 their windows, Nagle and acknowledgements all see it
#   TWOPC_ANSWER_TIMEOUT=S  answer_timeout of both messengerd (default 30)
#   TWOPC_DIRECT=yes|no  direct_paths of every messengerd (default no: the
#                 streams stay in band, as the tests of the tunnel through the
#                 server want; scripts/twopc/e2e_nat.sh turns them on); set
#                 and empty: no such line, for a daemon that predates the key
#   TWOPC_SERVER=prosody|ejabberd  the XMPP server in namespace x (default
#                 prosody). ejabberd (scripts/twopc/ejabberd.sh): Debian's
#                 ejabberd.yml with the tunnel accounts exempted from the c2s
#                 shaper, STARTTLS required with a certificate signed by the
#                 harness CA; the daemons connect to corvane.test (in /etc/hosts
#                 of namespaces a and b through /etc/netns/<ns>/) with tls = auto
#                 and tls_ca_file naming that CA
#   TWOPC_PROSODY=tuned|default|limited  tuned (the default): Nagle off, no
#                 TLS, no rate limit; default: Prosody as Debian ships it
#                 (Nagle on, STARTTLS required, mod_limits at 10 kB/s) with
#                 the two accounts exempted in unlimited_jids, as
#                 docs/messenger.md tells users to do, and a certificate
#                 signed by the harness's CA, which the daemons verify
#                 (tls = auto, tls_ca_file); limited: the same without the
#                 exemption, as a public server runs it
#   TWOPC_FEDERATED=1  two servers, as Prosody "default": PC A's account
#                 pca@one.corvane.test on the server in namespace x, PC B's
#                 pcb@two.corvane.test on one in namespace y; the servers
#                 talk s2s over their own link (10.77.3.1 - 10.77.3.2),
#                 authenticated by their certificates; the two accounts
#                 become contacts through messengerd --add-contact alone.
#                 Names resolve through per-namespace hosts files
#                 (/etc/netns/<ns>/hosts).
#   TWOPC_REGISTRATION=1  Prosody lets clients create accounts (in-band
#                 registration: its "register" module, allow_registration)
#   TWOPC_SERVER_ONLY=1  twopc_up brings up the namespaces and the XMPP server
#                 with its accounts only: no services on B, no messengerd
#   TWOPC_NAT=home|symmetric|lan  home routers between the PCs and x, with
#                 nftables masquerade (scripts/twopc/nat.sh; one server only);
#                 TWOPC_BLOCK_UDP=between|everywhere drops UDP between the
#                 routers, or all UDP leaving them
#   TWOPC_TURN=1  coturn in namespace x (as Debian ships it, with a shared
#                 secret: port 3478 on both of x's addresses, relays from
#                 10.77.1.1), and Prosody's turn_external announcing it with
#                 credentials (XEP-0215); one server only. With ejabberd:
#                 ejabberd's own STUN/TURN listener instead (ejabberd.sh)
#   TWOPC_CLIENTS=N  N more accounts pc1 .. pcN@corvane.test, each a mutual
#                 contact of pcb and a `contact` of PC B's messengerd, for
#                 client PCs c1 .. cN that twopc_add_client brings up later
#                 (one tuned Prosody only; see "more client PCs" below)

TWOPC_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TWOPC_REPO=$(cd "$TWOPC_LIB_DIR/../.." && pwd)
# shellcheck source=scripts/twopc/ejabberd.sh
source "$TWOPC_LIB_DIR/ejabberd.sh"
# shellcheck source=scripts/twopc/nat.sh
source "$TWOPC_LIB_DIR/nat.sh"

TWOPC_DOMAIN=corvane.test
# twopc_names: the servers' domains and the accounts, for one server or two.
twopc_names() {
    if [ "${TWOPC_FEDERATED:-0}" = 1 ]; then
        TWOPC_DOMAIN_A=one.$TWOPC_DOMAIN TWOPC_DOMAIN_B=two.$TWOPC_DOMAIN
    else
        TWOPC_DOMAIN_A=$TWOPC_DOMAIN TWOPC_DOMAIN_B=$TWOPC_DOMAIN
    fi
    TWOPC_JID_A=pca@$TWOPC_DOMAIN_A TWOPC_JID_B=pcb@$TWOPC_DOMAIN_B TWOPC_JID_C=pc0@$TWOPC_DOMAIN_B
}
twopc_names
TWOPC_XMPP_PORT=5222
TWOPC_TURN_PORT=3478
TWOPC_TURN_SECRET=corvane-test-turn-secret
TWOPC_DELAYED_PORT=5322            # the delay element's side of the server
TWOPC_ADDR_XA=10.77.1.1
TWOPC_ADDR_A=10.77.1.2
TWOPC_ADDR_XB=10.77.2.1
TWOPC_ADDR_B=10.77.2.2
TWOPC_ADDR_XY=10.77.3.1           # federated: server one's end of the servers' link
TWOPC_ADDR_YX=10.77.3.2           # federated: server two's end
TWOPC_S2S_PORT=5269
TWOPC_HTTP_FILE=big.bin            # 5 MB random file served by B's HTTP server
TWOPC_FTP_FILE=allbytes.bin        # binary file holding every byte value, in B's FTP root
TWOPC_SOURCE_SMALL=source-small.bin  # 2 MB random file sent by the source on B's 2401
TWOPC_SOURCE_BIG=source-big.bin      # 20 MB random file sent by the source on B's 5900

# ---------------------------------------------------------------- helpers

twopc_log() {
    [ "${TWOPC_QUIET:-0}" = 1 ] || printf '[twopc %s] %s\n' "$(date +%H:%M:%S)" "$*" >&2
}

twopc_fail() {
    printf '[twopc] ERROR: %s\n' "$*" >&2
    return 1
}

# twopc_wait_until SECONDS COMMAND...: runs COMMAND every 0.1 s until it
# succeeds (0) or SECONDS have passed (1).
twopc_wait_until() {
    local limit=$1; shift
    local deadline=$((SECONDS + limit))
    while :; do
        if "$@"; then return 0; fi
        [ "$SECONDS" -lt "$deadline" ] || return 1
        sleep 0.1
    done
}

twopc_ns() {  # twopc_ns x|a|b -> namespace name
    case $1 in
        x) echo "$TWOPC_NS_X" ;;
        y) [ -n "${TWOPC_NS_Y:-}" ] && echo "$TWOPC_NS_Y" || twopc_fail "no namespace y (not federated)" ;;
        a) echo "$TWOPC_NS_A" ;;
        b) echo "$TWOPC_NS_B" ;;
        c[1-9]|c[1-9][0-9]|c[1-9][0-9][0-9]) echo "${TWOPC_NS_X%-x}-$1" ;;   # twopc_add_client
        *) twopc_fail "unknown PC '$1'" ;;
    esac
}

# twopc_exec x|a|b COMMAND...: runs COMMAND inside that namespace.
twopc_exec() {
    local ns; ns=$(twopc_ns "$1") || return 1; shift
    ip netns exec "$ns" "$@"
}

# twopc_spawn x|a|b NAME LOGFILE COMMAND...: starts COMMAND in the background
# inside the namespace and records its pid under NAME.
twopc_spawn() {
    local pc=$1 name=$2 logfile=$3; shift 3
    local ns; ns=$(twopc_ns "$pc") || return 1
    ip netns exec "$ns" "$@" >"$logfile" 2>&1 </dev/null &
    local pid=$!
    echo "$name $pid" >>"$TWOPC_SCRATCH/pids"
    eval "TWOPC_PID_${name//-/_}=$pid"
    twopc_log "started $name (pid $pid) in $ns"
}

twopc_pid_of() {  # NAME -> pid recorded by twopc_spawn (empty if none)
    [ -f "$TWOPC_SCRATCH/pids" ] || return 0
    awk -v n="$1" '$1 == n { p = $2 } END { if (p) print p }' "$TWOPC_SCRATCH/pids"
}

# twopc_alive PID: the process exists and is not a zombie (an orphan's
# zombie may wait a while for its reaper).
twopc_alive() {
    [ -n "$1" ] && kill -0 "$1" 2>/dev/null || return 1
    local state
    state=$(sed 's/.*) //; s/ .*//' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

# twopc_stop_pid PID SECONDS: SIGTERM, bounded wait, then SIGKILL.
twopc_stop_pid() {
    local pid=$1 limit=${2:-5}
    twopc_alive "$pid" || return 0
    kill -TERM "$pid" 2>/dev/null || true
    if ! twopc_wait_until "$limit" eval "! twopc_alive $pid"; then
        twopc_log "pid $pid ignored SIGTERM for ${limit}s, killing"
        kill -KILL "$pid" 2>/dev/null || true
        twopc_wait_until 2 eval "! twopc_alive $pid" || true
    fi
    wait "$pid" 2>/dev/null || true
}

twopc_listening_tcp() {  # PC ADDR:PORT
    twopc_exec "$1" ss -Hltn 2>/dev/null | awk '{print $4}' | grep -qx "$2"
}

twopc_listening_api() {  # PC: messengerd's abstract socket exists in that namespace
    twopc_exec "$1" ss -Hxl 2>/dev/null | grep -q '@SkypeControlAPI\b'
}

twopc_state_save() {
    {
        printf 'TWOPC_SCRATCH=%q\n' "$TWOPC_SCRATCH"
        printf 'TWOPC_NS_X=%q\nTWOPC_NS_A=%q\nTWOPC_NS_B=%q\nTWOPC_NS_Y=%q\n' "$TWOPC_NS_X" "$TWOPC_NS_A" "$TWOPC_NS_B" "${TWOPC_NS_Y:-}"
        printf 'TWOPC_NAT=%q\nTWOPC_NS_RA=%q\nTWOPC_NS_RB=%q\n' "${TWOPC_NAT:-}" "${TWOPC_NS_RA:-}" "${TWOPC_NS_RB:-}"
        printf 'TWOPC_FEDERATED=%q\n' "${TWOPC_FEDERATED:-0}"
        printf 'CORVANE_BIN=%q\nMESSENGERD=%q\n' "$CORVANE_BIN" "$MESSENGERD"
        printf 'TWOPC_EXTRA_CONTACT=%q\n' "${TWOPC_EXTRA_CONTACT:-0}"
        printf 'TWOPC_DELAY_MS=%q\nTWOPC_DELAY_AT=%q\nTWOPC_PROSODY=%q\n' "${TWOPC_DELAY_MS:-}" "${TWOPC_DELAY_AT:-tcp}" "${TWOPC_PROSODY:-tuned}"
        printf 'TWOPC_SERVER=%q\n' "${TWOPC_SERVER:-prosody}"
    } >"$TWOPC_SCRATCH/state.env"
}

# twopc_state_load FILE: makes the functions work on a harness brought up by
# another shell (up.sh).
twopc_state_load() {
    [ -f "$1" ] || { twopc_fail "no state file $1"; return 1; }
    # shellcheck disable=SC1090
    source "$1"
    twopc_names
}

twopc_check_prereqs() {
    local missing=() t server_tools
    [ "$(id -u)" -eq 0 ] || { twopc_fail "needs root (network namespaces)"; return 1; }
    case ${TWOPC_SERVER:-prosody} in
        prosody) server_tools="prosody prosodyctl" ;;
        ejabberd) server_tools="ejabberdctl erl setpriv" ;;
        *) twopc_fail "TWOPC_SERVER must be prosody or ejabberd, not '$TWOPC_SERVER'"; return 1 ;;
    esac
    for t in ip ss $server_tools vsftpd socat python3 curl lftp sha256sum openssl; do
        command -v "$t" >/dev/null 2>&1 || missing+=("$t")
    done
    [ ${#missing[@]} -eq 0 ] || { twopc_fail "missing tools: ${missing[*]} (run scripts/install-deps.sh)"; return 1; }
    [ -x "$MESSENGERD" ] || { twopc_fail "no messengerd at $MESSENGERD (build it or set MESSENGERD)"; return 1; }
}

# ---------------------------------------------------------------- network

twopc_make_network() {
    local pc pcs=(x a b) sb=$TWOPC_NS_X   # sb: the namespace of PC B's server
    [ -z "${TWOPC_NS_Y:-}" ] || { pcs+=(y); sb=$TWOPC_NS_Y; }
    for pc in "${pcs[@]}"; do ip netns add "$(twopc_ns $pc)" || return 1; done
    for pc in "${pcs[@]}"; do ip -n "$(twopc_ns $pc)" link set lo up || return 1; done
    # The pairs are made inside the namespaces, so their names never meet the
    # host's interfaces or another run's.
    ip -n "$TWOPC_NS_X" link add xa type veth peer name ax netns "$TWOPC_NS_A" || return 1
    ip -n "$sb" link add xb type veth peer name bx netns "$TWOPC_NS_B" || return 1
    ip -n "$TWOPC_NS_X" addr add "$TWOPC_ADDR_XA/24" dev xa &&
    ip -n "$sb" addr add "$TWOPC_ADDR_XB/24" dev xb &&
    ip -n "$TWOPC_NS_A" addr add "$TWOPC_ADDR_A/24" dev ax &&
    ip -n "$TWOPC_NS_B" addr add "$TWOPC_ADDR_B/24" dev bx || return 1
    ip -n "$TWOPC_NS_X" link set xa up && ip -n "$sb" link set xb up &&
    ip -n "$TWOPC_NS_A" link set ax up && ip -n "$TWOPC_NS_B" link set bx up || return 1
    if [ -n "${TWOPC_NS_Y:-}" ]; then
        ip -n "$TWOPC_NS_X" link add xy type veth peer name yx netns "$TWOPC_NS_Y" &&
        ip -n "$TWOPC_NS_X" addr add "$TWOPC_ADDR_XY/24" dev xy &&
        ip -n "$TWOPC_NS_Y" addr add "$TWOPC_ADDR_YX/24" dev yx &&
        ip -n "$TWOPC_NS_X" link set xy up && ip -n "$TWOPC_NS_Y" link set yx up || return 1
    fi
    # Both ends of a pair report UP once both are up.
    twopc_wait_until 5 eval "ip -n $TWOPC_NS_A -br link show ax | grep -qw UP && ip -n $TWOPC_NS_B -br link show bx | grep -qw UP" ||
        { twopc_fail "veth pairs did not come up"; return 1; }
    twopc_make_nat || return 1
    twopc_make_hosts_files || return 1
    twopc_log "namespaces of ${pcs[*]} up"
}

# twopc_netns_etc NS LINES...: /etc/netns/NS/hosts with localhost and LINES
# ("ADDRESS NAME"), and a resolv.conf whose name server (loopback, where
# nothing answers) makes DNS lookups fail at once, so that names come from
# the hosts file; `ip netns exec` mounts both over /etc inside NS.
twopc_netns_etc() {
    local ns=$1 d=/etc/netns/$1; shift
    mkdir -p "$d" || return 1
    { printf '127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n'; printf '%s\n' "$@"; } >"$d/hosts"
    echo "nameserver 127.0.0.1" >"$d/resolv.conf"
}

twopc_make_hosts_files() {
    twopc_netns_etc "$TWOPC_NS_A" "$TWOPC_ADDR_XA $TWOPC_DOMAIN_A" &&
    twopc_netns_etc "$TWOPC_NS_B" "$TWOPC_ADDR_XB $TWOPC_DOMAIN_B" || return 1
    if [ -n "${TWOPC_NS_Y:-}" ]; then
        twopc_netns_etc "$TWOPC_NS_X" "$TWOPC_ADDR_YX $TWOPC_DOMAIN_B" &&
        twopc_netns_etc "$TWOPC_NS_Y" "$TWOPC_ADDR_XY $TWOPC_DOMAIN_A" || return 1
    else
        twopc_netns_etc "$TWOPC_NS_X" || return 1
    fi
}

# ---------------------------------------------------------------- certificates

# twopc_make_ca DIR NAME: a certificate authority of the harness's own
# (DIR/ca.key, DIR/ca.crt), made once; it signs the servers' certificates
# as a public CA would, and the daemons are told to trust it.
twopc_make_ca() {
    local d=$1
    [ -s "$d/ca.crt" ] && return 0
    mkdir -p "$d" && chmod 700 "$d"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/O=CorvaneForTcp tests/CN=$2" \
        -addext "basicConstraints=critical,CA:true" -addext "keyUsage=critical,keyCertSign,cRLSign" \
        -keyout "$d/ca.key" -out "$d/ca.crt" >>"$d/openssl.log" 2>&1 ||
        { twopc_fail "openssl could not make the CA $2 (see $d/openssl.log)"; return 1; }
    chmod 644 "$d/ca.crt"
}

# twopc_make_cert DIR DOMAIN CA_DIR: DIR/server.key and DIR/server.crt for
# the XMPP domain DOMAIN, signed by the CA in CA_DIR. The certificate names
# the domain as its subjectAltName and serves both ends of a TLS connection
# (servers present it to clients and to each other).
twopc_make_cert() {
    local d=$1 domain=$2 ca=$3
    mkdir -p "$d"
    openssl req -new -newkey rsa:2048 -nodes -subj "/CN=$domain" \
        -keyout "$d/server.key" -out "$d/server.csr" >>"$d/openssl.log" 2>&1 &&
    openssl x509 -req -in "$d/server.csr" -CA "$ca/ca.crt" -CAkey "$ca/ca.key" -CAcreateserial -days 2 \
        -extfile <(printf 'subjectAltName=DNS:%s\nextendedKeyUsage=serverAuth,clientAuth\nbasicConstraints=CA:false\n' "$domain") \
        -out "$d/server.crt" >>"$d/openssl.log" 2>&1 ||
        { twopc_fail "openssl could not make a certificate for $domain (see $d/openssl.log)"; return 1; }
    rm -f "$d/server.csr"
}

# ---------------------------------------------------------------- Prosody

# twopc_prosody_config S DOMAIN: the config of the server in namespace S (x,
# or y when federated) for DOMAIN, in $TWOPC_SCRATCH/S.
twopc_prosody_config() {
    local srv=$1 domain=$2 d=$TWOPC_SCRATCH/$1 tuning modules= interfaces s2s=
    mkdir -p "$d/data" && chmod 700 "$d/data"
    if [ "$srv" = y ]; then interfaces="\"$TWOPC_ADDR_XB\""
    elif [ -n "${TWOPC_NS_Y:-}" ]; then interfaces="\"$TWOPC_ADDR_XA\""
    else interfaces="\"$TWOPC_ADDR_XA\", \"$TWOPC_ADDR_XB\""; fi
    if [ "${TWOPC_PROSODY:-tuned}" != tuned ] || [ -n "${TWOPC_NS_Y:-}" ]; then
        # What Debian's package enables, with the tunnel accounts exempted
        # from the rate limit; Nagle stays on (no network_settings). The
        # certificate is signed by the harness's CA, as a public CA would.
        twopc_make_ca "$TWOPC_SCRATCH/ca" "CorvaneForTcp test CA" &&
        twopc_make_cert "$d" "$domain" "$TWOPC_SCRATCH/ca" || return 1
        modules='"tls"; "limits"; "dialback";'
        local unlimited="\"$TWOPC_JID_A\", \"$TWOPC_JID_B\""
        [ "${TWOPC_PROSODY:-tuned}" != limited ] || unlimited=
        if [ -n "${TWOPC_NS_Y:-}" ]; then
            # Federated: the peer server's connection in is exempted by its
            # domain, as its operator would be asked to.
            if [ "$srv" = x ]; then unlimited="\"$TWOPC_JID_A\", \"$TWOPC_DOMAIN_B\""; interfaces="$interfaces, \"$TWOPC_ADDR_XY\""
            else unlimited="\"$TWOPC_JID_B\", \"$TWOPC_JID_C\", \"$TWOPC_DOMAIN_A\""; interfaces="$interfaces, \"$TWOPC_ADDR_YX\""; fi
            s2s="s2s_ports = { $TWOPC_S2S_PORT }
s2s_require_encryption = true
s2s_secure_auth = true
unbound = { hoststxt = true }"
        else
            s2s="s2s_ports = { }"
        fi
        local disabled='"s2s"; "offline"'
        [ -z "${TWOPC_NS_Y:-}" ] || disabled='"offline"'   # a federated server keeps s2s
        tuning="modules_disabled = { $disabled }
certificates = base
ssl = { key = base .. \"/server.key\"; certificate = base .. \"/server.crt\"; cafile = \"$TWOPC_SCRATCH/ca/ca.crt\" }
c2s_require_encryption = true
limits = { c2s = { rate = \"10kb/s\" }; s2sin = { rate = \"30kb/s\" } }
unlimited_jids = { $unlimited }"
    else
        # Same settings as /work/shared/xmpp/prosody-test.cfg.lua: no
        # certificate (so no STARTTLS offer), no rate limit, Nagle off.
        s2s="s2s_ports = { }"
        tuning="modules_disabled = { \"s2s\"; \"offline\"; \"tls\" }
c2s_require_encryption = false
allow_unencrypted_plain_auth = true
limits = { c2s = { rate = \"100mb/s\"; burst = \"2s\" } }
network_settings = { nagle = false; min_wait = 0.00001 }"
    fi
    [ "${TWOPC_REGISTRATION:-0}" != 1 ] || modules="$modules \"register\";"
    local turn=
    if [ "${TWOPC_TURN:-0}" = 1 ]; then
        # XEP-0215: Prosody hands out coturn's address and short-lived
        # credentials made from the secret they share.
        modules="$modules \"turn_external\";"
        turn="turn_external_secret = \"$TWOPC_TURN_SECRET\"
turn_external_host = \"$TWOPC_ADDR_XA\"
turn_external_port = $TWOPC_TURN_PORT"
    fi
    cat >"$d/prosody.cfg.lua" <<EOF2
local base = "$d"
run_as_root = true
pidfile = base .. "/prosody.pid"
data_path = base .. "/data"
admin_socket = base .. "/data/prosody.sock"
log = { info = base .. "/prosody.log"; debug = base .. "/debug.log" }
interfaces = { $interfaces }
local_interfaces = { $interfaces }
c2s_ports = { $TWOPC_XMPP_PORT }
c2s_direct_tls_ports = { }
$s2s
http_ports = { }
https_ports = { }
modules_enabled = { "roster"; "saslauth"; "disco"; "ping"; "posix"; "admin_shell"; "smacks"; $modules }
$([ "${TWOPC_REGISTRATION:-0}" != 1 ] || echo "allow_registration = true")
authentication = "internal_hashed"
c2s_stanza_size_limit = 256*1024
smacks_hibernation_time = 2
$tuning
$turn
VirtualHost "$domain"
EOF2
    [ "$srv" = y ] || export TWOPC_PROSODY_CFG=$d/prosody.cfg.lua   # for prosodyctl by hand
}

# twopc_start_delay: the delay element between each PC and its server, when
# TWOPC_DELAY_MS is set (in the server's namespace).
twopc_start_delay() {
    [ -n "${TWOPC_DELAY_MS:-}" ] || return 0
    [ "${TWOPC_DELAY_AT:-tcp}" != ip ] || { twopc_start_delay_link; return; }
    [ -x "$DELAY_PROXY" ] || { twopc_fail "no delay_proxy at $DELAY_PROXY (build it)"; return 1; }
    if [ -n "${TWOPC_NS_Y:-}" ]; then
        twopc_spawn x delayproxy "$TWOPC_SCRATCH/x/delay_proxy.out" "$DELAY_PROXY" --delay-ms "$TWOPC_DELAY_MS" \
            "$TWOPC_ADDR_XA:$TWOPC_DELAYED_PORT" "$TWOPC_ADDR_XA:$TWOPC_XMPP_PORT"
        twopc_spawn y delayproxy-y "$TWOPC_SCRATCH/y/delay_proxy.out" "$DELAY_PROXY" --delay-ms "$TWOPC_DELAY_MS" \
            "$TWOPC_ADDR_XB:$TWOPC_DELAYED_PORT" "$TWOPC_ADDR_XB:$TWOPC_XMPP_PORT"
    else
        twopc_spawn x delayproxy "$TWOPC_SCRATCH/x/delay_proxy.out" "$DELAY_PROXY" --delay-ms "$TWOPC_DELAY_MS" \
            "$TWOPC_ADDR_XA:$TWOPC_DELAYED_PORT" "$TWOPC_ADDR_XA:$TWOPC_XMPP_PORT" \
            "$TWOPC_ADDR_XB:$TWOPC_DELAYED_PORT" "$TWOPC_ADDR_XB:$TWOPC_XMPP_PORT"
    fi
    local sb=x
    [ -z "${TWOPC_NS_Y:-}" ] || sb=y
    twopc_wait_until 10 eval "twopc_listening_tcp x $TWOPC_ADDR_XA:$TWOPC_DELAYED_PORT && twopc_listening_tcp $sb $TWOPC_ADDR_XB:$TWOPC_DELAYED_PORT" ||
        { twopc_fail "the delay element did not listen (see $TWOPC_SCRATCH/x/delay_proxy.out)"; return 1; }
    twopc_log "delay element: ${TWOPC_DELAY_MS} ms each way between each PC and its server"
}

twopc_register() {  # user password [S DOMAIN]
    local srv=${3:-x} domain=${4:-$TWOPC_DOMAIN}
    twopc_exec "$srv" prosodyctl --config "$TWOPC_SCRATCH/$srv/prosody.cfg.lua" register "$1" "$domain" "$2" \
        >>"$TWOPC_SCRATCH/$srv/prosodyctl.log" 2>&1 ||
        { twopc_fail "prosodyctl register $1@$domain failed (see $TWOPC_SCRATCH/$srv/prosodyctl.log)"; return 1; }
}

# twopc_make_contacts USER1 USER2 [S DOMAIN]: mutual contacts (subscription
# both) in the running server of namespace S (default x), through its admin
# shell.
twopc_make_contacts() {
    local a=$1 b=$2 srv=${3:-x} h=${4:-$TWOPC_DOMAIN} out
    twopc_wait_until 10 test -S "$TWOPC_SCRATCH/$srv/data/prosody.sock" ||
        { twopc_fail "Prosody admin socket missing"; return 1; }
    out=$(timeout 20 ip netns exec "$(twopc_ns "$srv")" prosodyctl --config "$TWOPC_SCRATCH/$srv/prosody.cfg.lua" shell \
        ">local rm=require'core.rostermanager'
for _,p in ipairs{{'$a','$b'},{'$b','$a'}} do
  local c=p[2]..'@$h'; local r=rm.load_roster(p[1],'$h')
  r[c]={subscription='both', groups={}}
  assert(rm.save_roster(p[1],'$h',r,c)); rm.roster_push(p[1],'$h',c)
end
return 'contacts set'" 2>&1)
    echo "$out" >>"$TWOPC_SCRATCH/$srv/prosodyctl.log"
    grep -q 'contacts set' <<<"$out" || { twopc_fail "could not make $a and $b contacts: $out"; return 1; }
}

# twopc_spawn_prosody S: runs the server of namespace S and waits until it
# listens on its c2s addresses.
twopc_spawn_prosody() {
    local srv=$1 name=prosody addrs
    [ "$srv" = x ] || name=prosody-$srv
    twopc_spawn "$srv" "$name" "$TWOPC_SCRATCH/$srv/prosody.out" prosody --config "$TWOPC_SCRATCH/$srv/prosody.cfg.lua" -F
    if [ "$srv" = y ]; then addrs=("$TWOPC_ADDR_XB")
    elif [ -n "${TWOPC_NS_Y:-}" ]; then addrs=("$TWOPC_ADDR_XA")
    else addrs=("$TWOPC_ADDR_XA" "$TWOPC_ADDR_XB"); fi
    local a cond=true
    for a in "${addrs[@]}"; do cond="$cond && twopc_listening_tcp $srv $a:$TWOPC_XMPP_PORT"; done
    twopc_wait_until 15 eval "$cond" ||
        { twopc_fail "Prosody did not listen (see $TWOPC_SCRATCH/$srv/prosody.out)"; return 1; }
}

twopc_start_prosody() {
    if [ -n "${TWOPC_NS_Y:-}" ]; then
        twopc_prosody_config x "$TWOPC_DOMAIN_A" && twopc_prosody_config y "$TWOPC_DOMAIN_B" || return 1
        twopc_register pca pca-secret x "$TWOPC_DOMAIN_A" && twopc_register pcb pcb-secret y "$TWOPC_DOMAIN_B" || return 1
        if [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then twopc_register pc0 pc0-secret y "$TWOPC_DOMAIN_B" || return 1; fi
        twopc_spawn_prosody x && twopc_spawn_prosody y || return 1
        if [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then twopc_make_contacts pcb pc0 y "$TWOPC_DOMAIN_B" || return 1; fi
        twopc_log "Prosody up for $TWOPC_DOMAIN_A (namespace x) and $TWOPC_DOMAIN_B (namespace y)"
        return 0
    fi
    twopc_prosody_config x "$TWOPC_DOMAIN" || return 1
    twopc_register pca pca-secret && twopc_register pcb pcb-secret || return 1
    if [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then twopc_register pc0 pc0-secret || return 1; fi
    twopc_spawn_prosody x || return 1
    twopc_make_contacts pca pcb || return 1
    if [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then twopc_make_contacts pcb pc0 || return 1; fi
    twopc_log "Prosody up, $TWOPC_JID_A and $TWOPC_JID_B are mutual contacts"
}

# twopc_restart_prosody [S]: starts the server of namespace S (default x)
# again with the config, accounts and contacts of the first start (after it
# was stopped or killed).
twopc_restart_prosody() {
    twopc_spawn_prosody "${1:-x}" || return 1
    twopc_log "Prosody up again"
}

# ---------------------------------------------------------------- services on PC B

twopc_make_test_files() {
    local d=$TWOPC_SCRATCH/b
    mkdir -p "$d/www" "$d/ftp/upload" "$d/vsftpd-empty" "$d/src"
    head -c $((5 * 1024 * 1024)) /dev/urandom >"$d/www/$TWOPC_HTTP_FILE"
    head -c $((2 * 1024 * 1024)) /dev/urandom >"$d/src/$TWOPC_SOURCE_SMALL"
    head -c $((20 * 1024 * 1024)) /dev/urandom >"$d/src/$TWOPC_SOURCE_BIG"
    echo "<html><body>PC B says hello</body></html>" >"$d/www/index.html"
    # Every byte value 0..255, 256 times in order, then 64 KB of random bytes.
    python3 -c 'import sys; sys.stdout.buffer.write(bytes(range(256)) * 256)' >"$d/ftp/$TWOPC_FTP_FILE"
    head -c 65536 /dev/urandom >>"$d/ftp/$TWOPC_FTP_FILE"
    cp "$d/ftp/$TWOPC_FTP_FILE" "$TWOPC_SCRATCH/$TWOPC_FTP_FILE"
    # vsftpd: the anonymous root must not be writable by the ftp user; the
    # upload directory must be.
    chmod 755 "$TWOPC_SCRATCH" "$d" "$d/www" "$d/ftp"
    chmod 644 "$d/www/"* "$d/ftp/$TWOPC_FTP_FILE"
    chown ftp "$d/ftp/upload" && chmod 755 "$d/ftp/upload"
    chmod 555 "$d/vsftpd-empty"
}

twopc_vsftpd_config() {
    local d=$TWOPC_SCRATCH/b
    cat >"$d/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=21
background=NO
seccomp_sandbox=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$d/ftp
ftp_username=ftp
local_enable=NO
write_enable=YES
anon_upload_enable=YES
anon_mkdir_write_enable=YES
anon_other_write_enable=YES
anon_umask=022
anon_world_readable_only=YES
pasv_enable=YES
pasv_min_port=40000
pasv_max_port=40100
port_enable=YES
connect_from_port_20=NO
secure_chroot_dir=$d/vsftpd-empty
xferlog_enable=YES
vsftpd_log_file=$d/vsftpd.log
log_ftp_protocol=YES
dual_log_enable=NO
userlist_enable=NO
tcp_wrappers=NO
use_localtime=NO
idle_session_timeout=120
data_connection_timeout=60
EOF
}

twopc_start_services() {
    local d=$TWOPC_SCRATCH/b
    twopc_make_test_files || return 1
    twopc_vsftpd_config
    : >"$d/vsftpd.log"
    twopc_spawn b vsftpd "$d/vsftpd.out" vsftpd "$d/vsftpd.conf"
    twopc_spawn b http "$d/http.log" python3 -m http.server 80 --bind 127.0.0.1 --directory "$d/www"
    twopc_spawn b echo "$d/echo.log" socat TCP-LISTEN:9023,bind=127.0.0.1,reuseaddr,fork EXEC:cat
    # The sources: the file, then an orderly end. -t 60: after the file socat
    # waits for the client's end for up to 60 s instead of 0.5 s, so a slow
    # reader still gets the whole file.
    twopc_spawn b source-small "$d/source-small.log" socat -t 60 TCP-LISTEN:2401,bind=127.0.0.1,reuseaddr,fork "EXEC:cat $d/src/$TWOPC_SOURCE_SMALL"
    twopc_spawn b source-big "$d/source-big.log" socat -t 60 TCP-LISTEN:5900,bind=127.0.0.1,reuseaddr,fork "EXEC:cat $d/src/$TWOPC_SOURCE_BIG"
    twopc_wait_until 10 eval "twopc_listening_tcp b 127.0.0.1:21 && twopc_listening_tcp b 127.0.0.1:80 && twopc_listening_tcp b 127.0.0.1:9023 && twopc_listening_tcp b 127.0.0.1:2401 && twopc_listening_tcp b 127.0.0.1:5900" ||
        { twopc_fail "services on PC B did not listen (see $d/*.out, $d/*.log)"; return 1; }
    twopc_log "PC B serves FTP 127.0.0.1:21, HTTP 127.0.0.1:80, echo 127.0.0.1:9023, sources 127.0.0.1:2401 and 127.0.0.1:5900"
}

# twopc_start_turn: coturn in namespace x when TWOPC_TURN=1, with the
# secret Prosody's turn_external makes the credentials from (the TURN REST
# scheme: user "EXPIRY:NAME", password base64(HMAC-SHA1(secret, user))).
twopc_start_turn() {
    [ "${TWOPC_TURN:-0}" = 1 ] || return 0
    [ "${TWOPC_SERVER:-prosody}" != ejabberd ] || return 0   # ejabberd serves STUN/TURN itself
    [ -z "${TWOPC_NS_Y:-}" ] || { twopc_fail "TWOPC_TURN works with one server only"; return 1; }
    command -v turnserver >/dev/null || { twopc_fail "TWOPC_TURN needs coturn (scripts/install-deps.sh)"; return 1; }
    local d=$TWOPC_SCRATCH/x
    twopc_spawn x turnserver "$d/turnserver.out" turnserver -n --no-cli --no-tls --no-dtls \
        --listening-ip "$TWOPC_ADDR_XA" --listening-ip "$TWOPC_ADDR_XB" --listening-port "$TWOPC_TURN_PORT" \
        --relay-ip "$TWOPC_ADDR_XA" --realm "$TWOPC_DOMAIN" --use-auth-secret --static-auth-secret "$TWOPC_TURN_SECRET" \
        --userdb "$d/turndb" --pidfile "$d/turnserver.pid" --log-file stdout --simple-log || return 1
    twopc_wait_until 10 eval "twopc_exec x ss -Hlun | grep -q '$TWOPC_ADDR_XA:$TWOPC_TURN_PORT'" ||
        { twopc_fail "coturn did not listen (see $d/turnserver.out)"; return 1; }
    twopc_log "coturn on $TWOPC_ADDR_XA:$TWOPC_TURN_PORT and $TWOPC_ADDR_XB:$TWOPC_TURN_PORT"
}

# twopc_start_delay_link: TWOPC_DELAY_AT=ip. In namespace x, what PC K
# (a, b) sends is routed into TUN device tKi, and what goes to PC K (from x
# or from the other PC) into fKi; delay_link writes each packet D ms later
# into tKo or fKo, where the kernel takes it as received: for x itself (the
# server's address is local) or to forward on. The local table moves behind
# the rules that send the PCs' packets into the TUN devices, so even packets
# for x's own addresses take the delay.
twopc_start_delay_link() {
    [ -z "${TWOPC_NS_Y:-}" ] || { twopc_fail "TWOPC_DELAY_AT=ip works with one server only"; return 1; }
    [ -x "$DELAY_LINK" ] || { twopc_fail "no delay_link at $DELAY_LINK (build it)"; return 1; }
    [ -c /dev/net/tun ] || { twopc_fail "TWOPC_DELAY_AT=ip needs TUN devices (/dev/net/tun; modprobe tun)"; return 1; }
    local x=$TWOPC_NS_X k veth pc table=200 pairs=() dev
    # Early demux would give a PC's packet to x's own socket before the
    # rules route it into the TUN device, and a packet that has a socket is
    # never forwarded.
    ip netns exec "$x" sysctl -qw net.ipv4.ip_forward=1 net.ipv4.conf.all.rp_filter=0 \
        net.ipv4.conf.default.rp_filter=0 net.ipv4.conf.default.accept_local=1 \
        net.ipv4.tcp_early_demux=0 net.ipv4.udp_early_demux=0 || return 1
    ip -n "$x" rule add pref 100 lookup local && ip -n "$x" rule del pref 0 lookup local || return 1
    for k in a b; do
        if [ "$k" = a ]; then veth=xa pc=$TWOPC_ADDR_A; else veth=xb pc=$TWOPC_ADDR_B; fi
        # The PC's ARP for the server's address now routes into the TUN
        # device, not to a local address: answer it as a proxy.
        ip netns exec "$x" sysctl -qw "net.ipv4.conf.$veth.proxy_arp=1" || return 1
        for dev in "t${k}i" "t${k}o" "f${k}i" "f${k}o"; do
            ip -n "$x" tuntap add dev "$dev" mode tun && ip -n "$x" link set "$dev" up || return 1
        done
        # What comes out of fKo goes to the PC; what the PC sends goes into
        # tKi; anything else for the PC (x's own packets, and the other PC's
        # once they left tKo: two links, so twice the delay) into fKi.
        ip -n "$x" rule add pref 40 iif "f${k}o" lookup main &&
        ip -n "$x" rule add pref 50 iif "$veth" lookup $((table + 1)) &&
        ip -n "$x" route add default dev "t${k}i" table $((table + 1)) &&
        ip -n "$x" rule add pref 51 to "$pc" lookup $((table + 2)) &&
        ip -n "$x" route add default dev "f${k}i" table $((table + 2)) || return 1
        table=$((table + 2))
        pairs+=("t${k}i" "t${k}o" "f${k}i" "f${k}o")
    done
    twopc_spawn x delaylink "$TWOPC_SCRATCH/x/delay_link.out" "$DELAY_LINK" --delay-ms "$TWOPC_DELAY_MS" "${pairs[@]}"
    twopc_wait_until 10 grep -qs '^ready' "$TWOPC_SCRATCH/x/delay_link.out" ||
        { twopc_fail "the delay element did not start (see $TWOPC_SCRATCH/x/delay_link.out)"; return 1; }
    twopc_log "delay element at the IP level: ${TWOPC_DELAY_MS} ms each way between each PC and its server"
}

# ---------------------------------------------------------------- messengerd

twopc_messengerd_config() {  # a|b
    local pc=$1 d=$TWOPC_SCRATCH/pc-$1 jid pass server contact domain
    if [ "$pc" = a ]; then jid=$TWOPC_JID_A pass=pca-secret server=$TWOPC_ADDR_XA contact=$TWOPC_JID_B domain=$TWOPC_DOMAIN_A
    else jid=$TWOPC_JID_B pass=pcb-secret server=$TWOPC_ADDR_XB contact=$TWOPC_JID_A domain=$TWOPC_DOMAIN_B; fi
    # Federated servers are found by name (the hosts file), as a user's
    # daemon finds its server; their accounts become contacts through
    # --add-contact (twopc_add_contacts), not through the config.
    [ -z "${TWOPC_NS_Y:-}" ] || contact=
    mkdir -p "$d"
    {
        echo "jid = $jid"
        echo "password = $pass"
        echo "resource = pc-$pc"
        if [ -n "${TWOPC_DELAY_MS:-}" ] && [ "${TWOPC_DELAY_AT:-tcp}" != ip ]; then echo "port = $TWOPC_DELAYED_PORT"
        elif [ -z "${TWOPC_NS_Y:-}" ]; then echo "port = $TWOPC_XMPP_PORT"; fi
        if [ "${TWOPC_PROSODY:-tuned}" != tuned ] || [ -n "${TWOPC_NS_Y:-}" ] || [ "${TWOPC_SERVER:-prosody}" = ejabberd ]; then
            # Verified against the harness's CA, by the server's name.
            # Federated without a delay element, the config has no server
            # or port at all, as most users' have: the daemon looks the
            # domain up (no SRV record, so the domain itself, port 5222).
            [ -n "${TWOPC_NS_Y:-}" ] && [ -z "${TWOPC_DELAY_MS:-}" ] || echo "server = $domain"
            echo "tls = auto"
            echo "tls_ca_file = $TWOPC_SCRATCH/ca/ca.crt"
        else
            echo "server = $server"
            echo "tls = disabled"
        fi
        [ -z "$contact" ] || echo "contact = $contact"
        if [ "$pc" = b ] && [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then echo "contact = $TWOPC_JID_C"; fi
        if [ "$pc" = b ]; then local k; for ((k = 1; k <= ${TWOPC_CLIENTS:-0}; k++)); do echo "contact = $(twopc_client_jid "$k")"; done; fi
        echo "log = $d/messengerd.log"
        echo "answer_timeout = ${TWOPC_ANSWER_TIMEOUT:-30}"
        [ -z "${TWOPC_DIRECT-no}" ] || echo "direct_paths = ${TWOPC_DIRECT-no}"
    } >"$d/messengerd.conf"
    chmod 600 "$d/messengerd.conf"
}

# twopc_api PC [ARGS...]: tiny Desktop API client inside the namespace (see apiprobe.py).
twopc_api() {
    local pc=$1; shift
    twopc_exec "$pc" timeout 30 python3 "$TWOPC_LIB_DIR/apiprobe.py" "$@"
}

# twopc_add_contacts: each daemon adds the other account with --add-contact
# (before the daemons run), which makes them mutual contacts across servers.
twopc_add_contacts() {
    local pc jid
    for pc in a b; do
        twopc_messengerd_config "$pc"
        if [ "$pc" = a ]; then jid=$TWOPC_JID_B; else jid=$TWOPC_JID_A; fi
        twopc_exec "$pc" timeout 60 "$MESSENGERD" --config "$TWOPC_SCRATCH/pc-$pc/messengerd.conf" --add-contact "$jid" \
            >>"$TWOPC_SCRATCH/pc-$pc/add-contact.out" 2>&1 ||
            { twopc_fail "messengerd --add-contact $jid on PC $pc failed (see $TWOPC_SCRATCH/pc-$pc/add-contact.out and messengerd.log)"; return 1; }
    done
    twopc_log "$TWOPC_JID_A and $TWOPC_JID_B added each other with --add-contact"
}

twopc_start_messengerd() {  # a|b
    local pc=$1 d=$TWOPC_SCRATCH/pc-$1
    twopc_messengerd_config "$pc"
    twopc_spawn "$pc" "messengerd-$pc" "$d/messengerd.out" "$MESSENGERD" --config "$d/messengerd.conf"
}

# twopc_wait_messengerd PC: the abstract socket is there and the account is
# online (a D frame is answered with attach code 0).
twopc_wait_messengerd() {
    local pc=$1 d=$TWOPC_SCRATCH/pc-$1
    twopc_wait_until 15 twopc_listening_api "$pc" ||
        { twopc_fail "messengerd of PC $pc does not listen on SkypeControlAPI (see $d/messengerd.log)"; return 1; }
    twopc_api "$pc" --timeout 20 attach >/dev/null ||
        { twopc_fail "messengerd of PC $pc does not attach (see $d/messengerd.log)"; return 1; }
}

# twopc_wait_peer_online PC JID: that daemon sees JID as ONLINE.
twopc_wait_peer_online() {
    twopc_wait_until 20 eval "twopc_api $1 --timeout 5 command 'GET USER $2 ONLINESTATUS' 'ONLINESTATUS' 2>/dev/null | grep -q 'ONLINESTATUS ONLINE'"
}

# ---------------------------------------------------------------- the program

# twopc_write_ini PC [KEY=VALUE...]: writes <pc-dir>/CorvaneForTcp.ini (ASCII,
# CR LF). PC b is the server application, PC a the client application.
# Overrides: APPMODE ENABLEUSER AUTOCONNECT AUTOCONNECTUSER and any other key
# of the three sections (ENABLEPORT1.., FOWERDHOST1.., FOWERDPORT1.., FTPPORT..,
# LISTENADDRESS, written only when given).
twopc_write_ini() {
    local pc=$1; shift
    local d=$TWOPC_SCRATCH/pc-$pc
    declare -A v=(
        [APPMODE]=$([ "$pc" = a ] && echo 1 || echo 0) [ENABLEUSER]=1
        [ENABLEPORT1]=1 [ENABLEPORT2]=1 [ENABLEPORT3]=1 [ENABLEPORT4]=1 [ENABLEPORT5]=1
        [OPENWINDOW]=0 [SOUNDMODE]=0
        [FOWERDHOST1]=127.0.0.1 [FOWERDHOST2]=127.0.0.1 [FOWERDHOST3]=127.0.0.1
        [FOWERDHOST4]=127.0.0.1 [FOWERDHOST5]=127.0.0.1
        [FOWERDPORT1]=21 [FOWERDPORT2]=80 [FOWERDPORT3]=2401 [FOWERDPORT4]=5900 [FOWERDPORT5]=9023
        [FTPPORT]=21 [HTTPPORT]=80 [CVSPORT]=2401 [GENPORT1]=5900 [GENPORT2]=9023
        [AUTOCONNECT]=0 [AUTOCONNECTUSER]='' [LISTENADDRESS]=''
    )
    local kv
    for kv in "$@"; do
        [[ $kv == *=* ]] || { twopc_fail "twopc_write_ini: '$kv' is not KEY=VALUE"; return 1; }
        [ -n "${v[${kv%%=*}]+set}" ] || { twopc_fail "twopc_write_ini: unknown key ${kv%%=*}"; return 1; }
        v[${kv%%=*}]=${kv#*=}
    done
    local k
    {
        echo "[SYSTEM]"
        for k in APPMODE ENABLEUSER ENABLEPORT1 ENABLEPORT2 ENABLEPORT3 ENABLEPORT4 ENABLEPORT5 OPENWINDOW SOUNDMODE; do
            echo "$k=${v[$k]}"; done
        echo "[SERVER]"
        for k in FOWERDHOST1 FOWERDHOST2 FOWERDHOST3 FOWERDHOST4 FOWERDHOST5 \
                 FOWERDPORT1 FOWERDPORT2 FOWERDPORT3 FOWERDPORT4 FOWERDPORT5; do
            echo "$k=${v[$k]}"; done
        echo "[CLIENT]"
        for k in FTPPORT HTTPPORT CVSPORT GENPORT1 GENPORT2 AUTOCONNECT AUTOCONNECTUSER; do
            echo "$k=${v[$k]}"; done
        # Absent unless asked for, as in a file of an older version.
        [ -z "${v[LISTENADDRESS]}" ] || echo "LISTENADDRESS=${v[LISTENADDRESS]}"
    } | sed 's/$/\r/' >"$d/CorvaneForTcp.ini"
}

twopc_make_program_dir() {  # a|b
    local d=$TWOPC_SCRATCH/pc-$1
    mkdir -p "$d"
    ln -sfn "$CORVANE_BIN" "$d/corvanefortcp"
    [ -f "$d/CorvaneForTcp.ini" ] || twopc_write_ini "$1"
}

# twopc_start_program PC: runs <pc-dir>/corvanefortcp -D119 in the PC's
# namespace, trace in <pc-dir>/trace.txt (appended to, so marks stay valid
# across restarts).
twopc_start_program() {
    local pc=$1 d=$TWOPC_SCRATCH/pc-$1 ns pid
    ns=$(twopc_ns "$pc") || return 1
    [ -x "$CORVANE_BIN" ] || { twopc_fail "no program at $CORVANE_BIN"; return 1; }
    twopc_alive "$(twopc_pid_of "program-$pc")" && { twopc_fail "program of PC $pc already runs"; return 1; }
    echo "=== start $(date +%H:%M:%S.%N)" >>"$d/trace.txt"
    (cd "$d" && exec ip netns exec "$ns" "$d/corvanefortcp" -D119 >>"$d/trace.txt" 2>&1 </dev/null) &
    pid=$!
    echo "program-$pc $pid" >>"$TWOPC_SCRATCH/pids"
    twopc_log "started program of PC $pc (pid $pid), trace $d/trace.txt"
}

# twopc_stop_program PC [SECONDS]: SIGTERM and a bounded wait (SIGKILL after).
twopc_stop_program() {
    local pid; pid=$(twopc_pid_of "program-$1")
    twopc_stop_pid "$pid" "${2:-10}"
    twopc_log "program of PC $1 stopped"
}

twopc_program_alive() { twopc_alive "$(twopc_pid_of "program-$1")"; }

twopc_press_connect() {  # PC: the connect button (SIGUSR1)
    local pid; pid=$(twopc_pid_of "program-$1")
    twopc_alive "$pid" || { twopc_fail "program of PC $1 is not running"; return 1; }
    kill -USR1 "$pid"
}

twopc_trace() { echo "$TWOPC_SCRATCH/pc-$1/trace.txt"; }

# twopc_trace_mark PC: the trace's current line count, for twopc_wait_trace.
twopc_trace_mark() {
    local f; f=$(twopc_trace "$1")
    if [ -f "$f" ]; then wc -l <"$f"; else echo 0; fi
}

# twopc_trace_has PC ERE [MARK]: a line after MARK matches ERE.
twopc_trace_has() {
    local f; f=$(twopc_trace "$1")
    [ -f "$f" ] && tail -n +"$(( ${3:-0} + 1 ))" "$f" | LC_ALL=C grep -Eq -- "$2"
}

# twopc_wait_trace PC ERE SECONDS [MARK]
twopc_wait_trace() { twopc_wait_until "$3" twopc_trace_has "$1" "$2" "${4:-0}"; }

# twopc_last_lamps PC: the service lamps of the newest LAMPS line, e.g.
# "0:L-- 0d:--- 1:LC- 2:L-- 3:L-- 4:L--".
twopc_last_lamps() {
    local f; f=$(twopc_trace "$1")
    [ -f "$f" ] && LC_ALL=C grep -a '^LAMPS ' "$f" | tail -n1 | cut -c7-
}

# ---------------------------------------------------------------- more client PCs
#
# One server PC for many client PCs (bench/scale/run.sh). With TWOPC_CLIENTS=N,
# twopc_up makes the accounts pc1 .. pcN@corvane.test, each a mutual contact
# of pcb and a `contact` of PC B's messengerd. twopc_add_client K then brings
# up client PC cK:
#   namespace cvx-<pid>-cK : 10.78.K.2, a veth to x (10.78.K.1 there), which
#                            reaches Prosody at 10.77.1.1; its own messengerd
#                            (account pcK, contact pcb) and program dir
#                            (client application, APPMODE=1)
# The PC functions take cK as the PC (twopc_exec c3 ..., twopc_start_program
# c3, twopc_press_connect c3, twopc_trace c3). twopc_clients_down, which
# twopc_down calls first, ends them all and deletes their namespaces.

twopc_client_jid() { echo "pc$1@$TWOPC_DOMAIN"; }   # K

# twopc_client_namespaces: the namespaces of this run's client PCs.
twopc_client_namespaces() {
    [ -n "${TWOPC_NS_X:-}" ] || return 0
    ip netns list 2>/dev/null | awk -v p="${TWOPC_NS_X%-x}-c" \
        'index($1, p) == 1 && substr($1, length(p) + 1) ~ /^[0-9]+$/ { print $1 }'
}

# twopc_register_clients: the TWOPC_CLIENTS accounts and their contact with
# pcb, in one call to the running Prosody's admin shell.
twopc_register_clients() {
    local n=${TWOPC_CLIENTS:-0} out
    [ "$n" -gt 0 ] || return 0
    if [ "${TWOPC_SERVER:-prosody}" != prosody ] || [ -n "${TWOPC_NS_Y:-}" ] || [ "${TWOPC_PROSODY:-tuned}" != tuned ]; then
        twopc_fail "TWOPC_CLIENTS needs the one tuned Prosody"; return 1
    fi
    twopc_wait_until 10 test -S "$TWOPC_SCRATCH/x/data/prosody.sock" ||
        { twopc_fail "Prosody admin socket missing"; return 1; }
    out=$(timeout 60 ip netns exec "$TWOPC_NS_X" prosodyctl --config "$TWOPC_SCRATCH/x/prosody.cfg.lua" shell \
        ">local um=require'core.usermanager'; local rm=require'core.rostermanager'; local h='$TWOPC_DOMAIN'
for k=1,$n do
  local u='pc'..k
  assert(um.create_user(u, u..'-secret', h))
  for _,p in ipairs{{'pcb',u},{u,'pcb'}} do
    local c=p[2]..'@'..h; local r=rm.load_roster(p[1],h)
    r[c]={subscription='both', groups={}}
    assert(rm.save_roster(p[1],h,r,c)); rm.roster_push(p[1],h,c)
  end
end
return 'clients set'" 2>&1)
    echo "$out" >>"$TWOPC_SCRATCH/x/prosodyctl.log"
    grep -q 'clients set' <<<"$out" || { twopc_fail "could not make the client accounts: $out"; return 1; }
    twopc_log "$n client accounts pc1 .. pc$n, mutual contacts of pcb"
}

twopc_client_messengerd_config() {  # K
    local k=$1 d=$TWOPC_SCRATCH/pc-c$1
    mkdir -p "$d"
    {
        echo "jid = $(twopc_client_jid "$k")"
        echo "password = pc$k-secret"
        echo "resource = pc-c$k"
        echo "server = $TWOPC_ADDR_XA"
        echo "port = $TWOPC_XMPP_PORT"
        echo "tls = disabled"
        echo "contact = $TWOPC_JID_B"
        echo "log = $d/messengerd.log"
        echo "answer_timeout = ${TWOPC_ANSWER_TIMEOUT:-30}"
        [ -z "${TWOPC_DIRECT-no}" ] || echo "direct_paths = ${TWOPC_DIRECT-no}"
    } >"$d/messengerd.conf"
    chmod 600 "$d/messengerd.conf"
}

# twopc_add_client K: client PC cK (1 <= K <= TWOPC_CLIENTS, at most 254):
# its namespace and veth, its messengerd started (twopc_wait_messengerd cK
# waits for it), its program dir with the client application's INI.
twopc_add_client() {
    local k=$1 pc=c$1 ns
    ns=$(twopc_ns "$pc") || return 1
    [ "$k" -le 254 ] || { twopc_fail "no client PC $k (at most 254)"; return 1; }
    ip netns add "$ns" && ip -n "$ns" link set lo up &&
    ip -n "$TWOPC_NS_X" link add "x$pc" type veth peer name "${pc}x" netns "$ns" &&
    ip -n "$TWOPC_NS_X" addr add "10.78.$k.1/24" dev "x$pc" &&
    ip -n "$ns" addr add "10.78.$k.2/24" dev "${pc}x" &&
    ip -n "$TWOPC_NS_X" link set "x$pc" up && ip -n "$ns" link set "${pc}x" up || return 1
    twopc_wait_until 5 eval "ip -n $ns -br link show ${pc}x | grep -qw UP" ||
        { twopc_fail "the veth of client PC $k did not come up"; return 1; }
    ip -n "$ns" route add "$TWOPC_ADDR_XA/32" via "10.78.$k.1" &&
    twopc_netns_etc "$ns" "$TWOPC_ADDR_XA $TWOPC_DOMAIN" || return 1
    twopc_client_messengerd_config "$k"
    twopc_spawn "$pc" "messengerd-$pc" "$TWOPC_SCRATCH/pc-$pc/messengerd.out" \
        "$MESSENGERD" --config "$TWOPC_SCRATCH/pc-$pc/messengerd.conf" || return 1
    twopc_write_ini "$pc" APPMODE=1 && twopc_make_program_dir "$pc"
}

twopc_any_alive() {  # PID...: one of them is alive
    local p
    for p in "$@"; do twopc_alive "$p" && return 0; done
    return 1
}

# twopc_stop_pids SECONDS PID...: SIGTERM to all at once, a bounded wait for
# all, then SIGKILL to those left.
twopc_stop_pids() {
    local limit=$1 pid; shift
    [ $# -gt 0 ] || return 0
    kill -TERM "$@" 2>/dev/null || true
    if ! twopc_wait_until "$limit" eval "! twopc_any_alive $*"; then
        twopc_log "pids ignored SIGTERM for ${limit}s, killing"
        kill -KILL "$@" 2>/dev/null || true
        twopc_wait_until 2 eval "! twopc_any_alive $*" || true
    fi
    for pid in "$@"; do wait "$pid" 2>/dev/null || true; done
}

# twopc_client_pids program|messengerd: the recorded pids of the client
# PCs' programs or daemons.
twopc_client_pids() {
    [ -f "$TWOPC_SCRATCH/pids" ] || return 0
    awk -v n="^$1-c[0-9]+\$" '$1 ~ n { print $2 }' "$TWOPC_SCRATCH/pids"
}

# twopc_stop_client_programs: every client PC's program ends (at once, as
# users closing them), their daemons keep running.
twopc_stop_client_programs() {
    # shellcheck disable=SC2046
    twopc_stop_pids 10 $(twopc_client_pids program)
}

# twopc_clients_down: the client PCs' programs, then their daemons, end; their
# namespaces and /etc/netns entries are deleted. Nothing to do without them.
twopc_clients_down() {
    local ns pids rc=0
    [ -n "${TWOPC_SCRATCH:-}" ] || return 0
    twopc_stop_client_programs
    # shellcheck disable=SC2046
    twopc_stop_pids 5 $(twopc_client_pids messengerd)
    for ns in $(twopc_client_namespaces); do
        rm -rf "/etc/netns/$ns"
        pids=$(ip netns pids "$ns" 2>/dev/null | tr '\n' ' ')
        # shellcheck disable=SC2086
        [ -z "${pids// /}" ] || twopc_stop_pids 5 $pids
        ip netns del "$ns" 2>/dev/null || { twopc_log "could not delete $ns"; rc=1; }
    done
    return $rc
}

# ---------------------------------------------------------------- up and down

twopc_up() {
    : "${BUILD_DIR:=$TWOPC_REPO/build}"
    : "${CORVANE_BIN:=$BUILD_DIR/bin/corvanefortcp}"
    : "${MESSENGERD:=$BUILD_DIR/bin/messengerd}"
    : "${DELAY_PROXY:=$BUILD_DIR/bin/delay_proxy}"
    : "${DELAY_LINK:=$BUILD_DIR/bin/delay_link}"
    twopc_check_prereqs || return 1
    local id=$BASHPID
    TWOPC_SCRATCH=$(mktemp -d "/tmp/cvx-$id.XXXXXX") || return 1
    TWOPC_NS_X=cvx-$id-x TWOPC_NS_A=cvx-$id-a TWOPC_NS_B=cvx-$id-b TWOPC_NS_Y=
    [ "${TWOPC_FEDERATED:-0}" != 1 ] || TWOPC_NS_Y=cvx-$id-y
    TWOPC_NS_RA= TWOPC_NS_RB=
    if [ -n "${TWOPC_NAT:-}" ]; then
        TWOPC_NS_RA=cvx-$id-ra
        [ "$TWOPC_NAT" = lan ] || TWOPC_NS_RB=cvx-$id-rb
    fi
    twopc_names
    : >"$TWOPC_SCRATCH/pids"
    mkdir -p "$TWOPC_SCRATCH/x" "$TWOPC_SCRATCH/b" "$TWOPC_SCRATCH/pc-a" "$TWOPC_SCRATCH/pc-b"
    [ -z "$TWOPC_NS_Y" ] || mkdir -p "$TWOPC_SCRATCH/y"
    twopc_state_save
    twopc_log "scratch $TWOPC_SCRATCH"
    twopc_make_network || return 1
    if [ "${TWOPC_SERVER:-prosody}" = ejabberd ]; then
        twopc_start_ejabberd || return 1
    else
        twopc_start_prosody || return 1
    fi
    twopc_register_clients || return 1
    if [ "${TWOPC_SERVER_ONLY:-0}" = 1 ]; then twopc_log "server only: $TWOPC_SCRATCH"; return 0; fi
    twopc_start_turn || return 1
    twopc_start_delay || return 1
    twopc_start_services || return 1
    if [ -n "$TWOPC_NS_Y" ]; then twopc_add_contacts || return 1; fi
    twopc_start_messengerd a && twopc_start_messengerd b || return 1
    twopc_wait_messengerd a && twopc_wait_messengerd b || return 1
    twopc_make_program_dir a && twopc_make_program_dir b || return 1
    twopc_log "both messengerd attached-ready; program dirs $TWOPC_SCRATCH/pc-a $TWOPC_SCRATCH/pc-b"
}

# twopc_down: stops the programs first (so they end cleanly while their
# daemons still run), then everything recorded and everything else left in
# the namespaces, deletes the namespaces (their veths go with them) and the
# scratch dir unless KEEP=1. Safe to call more than once and after a
# half-finished twopc_up.
twopc_down() {
    [ -n "${TWOPC_SCRATCH:-}" ] || return 0
    local name pid ns pids rc=0
    twopc_clients_down || rc=1
    if [ -f "$TWOPC_SCRATCH/pids" ]; then
        for name in program-a program-b; do
            pid=$(twopc_pid_of "$name")
            [ -z "$pid" ] || twopc_stop_pid "$pid" 10
        done
        # The rest in reverse start order.
        while read -r name pid; do
            twopc_stop_pid "$pid" 5
        done < <(tac "$TWOPC_SCRATCH/pids")
    fi
    for ns in "$TWOPC_NS_A" "$TWOPC_NS_B" "$TWOPC_NS_X" "${TWOPC_NS_Y:-}" "${TWOPC_NS_RA:-}" "${TWOPC_NS_RB:-}"; do
        [ -n "$ns" ] || continue
        rm -rf "/etc/netns/$ns"
        [ -e "/run/netns/$ns" ] || continue
        pids=$(ip netns pids "$ns" 2>/dev/null | tr '\n' ' ')
        if [ -n "${pids// /}" ]; then
            twopc_log "left in $ns: $pids- terminating"
            # shellcheck disable=SC2086
            kill -TERM $pids 2>/dev/null || true
            twopc_wait_until 5 eval "[ -z \"\$(ip netns pids $ns 2>/dev/null)\" ]" || {
                # shellcheck disable=SC2046
                kill -KILL $(ip netns pids "$ns" 2>/dev/null) 2>/dev/null || true
                twopc_wait_until 3 eval "[ -z \"\$(ip netns pids $ns 2>/dev/null)\" ]" || true
            }
        fi
        ip netns del "$ns" 2>/dev/null || { twopc_log "could not delete $ns"; rc=1; }
    done
    if [ "${KEEP:-0}" = 1 ]; then
        twopc_log "kept $TWOPC_SCRATCH"
    else
        rm -rf "$TWOPC_SCRATCH"
    fi
    TWOPC_SCRATCH=
    return $rc
}
