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
#   namespace cvx-<pid>-a : PC A, 10.77.1.2 (veth to x), its own loopback
#   namespace cvx-<pid>-b : PC B, 10.77.2.2 (veth to x), its own loopback with
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
#   TWOPC_ANSWER_TIMEOUT=S  answer_timeout of both messengerd (default 30)
#   TWOPC_SERVER=prosody|ejabberd  the XMPP server in namespace x (default
#                 prosody). ejabberd (scripts/twopc/ejabberd.sh): Debian's
#                 ejabberd.yml with the tunnel accounts exempted from the c2s
#                 shaper, STARTTLS required with a certificate signed by the
#                 harness CA; the daemons connect to corvane.test (in /etc/hosts
#                 of namespaces a and b through /etc/netns/<ns>/) with tls = auto
#                 and verify the certificate against that CA
#   TWOPC_PROSODY=tuned|default  tuned (the default): Nagle off, no TLS, no
#                 rate limit; default: Prosody as Debian ships it (Nagle on,
#                 STARTTLS required with a certificate made by the harness,
#                 mod_limits at 10 kB/s) with the two accounts exempted in
#                 unlimited_jids, as docs/messenger.md tells users to do

TWOPC_LIB_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
TWOPC_REPO=$(cd "$TWOPC_LIB_DIR/../.." && pwd)
# shellcheck source=scripts/twopc/ejabberd.sh
source "$TWOPC_LIB_DIR/ejabberd.sh"

TWOPC_DOMAIN=corvane.test
TWOPC_JID_A=pca@$TWOPC_DOMAIN
TWOPC_JID_B=pcb@$TWOPC_DOMAIN
TWOPC_JID_C=pc0@$TWOPC_DOMAIN
TWOPC_XMPP_PORT=5222
TWOPC_DELAYED_PORT=5322            # the delay element's side of the server
TWOPC_ADDR_XA=10.77.1.1
TWOPC_ADDR_A=10.77.1.2
TWOPC_ADDR_XB=10.77.2.1
TWOPC_ADDR_B=10.77.2.2
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
        a) echo "$TWOPC_NS_A" ;;
        b) echo "$TWOPC_NS_B" ;;
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
        printf 'TWOPC_NS_X=%q\nTWOPC_NS_A=%q\nTWOPC_NS_B=%q\n' "$TWOPC_NS_X" "$TWOPC_NS_A" "$TWOPC_NS_B"
        printf 'CORVANE_BIN=%q\nMESSENGERD=%q\n' "$CORVANE_BIN" "$MESSENGERD"
        printf 'TWOPC_EXTRA_CONTACT=%q\n' "${TWOPC_EXTRA_CONTACT:-0}"
        printf 'TWOPC_DELAY_MS=%q\nTWOPC_PROSODY=%q\n' "${TWOPC_DELAY_MS:-}" "${TWOPC_PROSODY:-tuned}"
        printf 'TWOPC_SERVER=%q\n' "${TWOPC_SERVER:-prosody}"
    } >"$TWOPC_SCRATCH/state.env"
}

# twopc_state_load FILE: makes the functions work on a harness brought up by
# another shell (up.sh).
twopc_state_load() {
    [ -f "$1" ] || { twopc_fail "no state file $1"; return 1; }
    # shellcheck disable=SC1090
    source "$1"
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
    ip netns add "$TWOPC_NS_X" && ip netns add "$TWOPC_NS_A" && ip netns add "$TWOPC_NS_B" || return 1
    local pc
    for pc in x a b; do ip -n "$(twopc_ns $pc)" link set lo up || return 1; done
    # The pairs are made inside the namespaces, so their names never meet the
    # host's interfaces or another run's.
    ip -n "$TWOPC_NS_X" link add xa type veth peer name ax netns "$TWOPC_NS_A" || return 1
    ip -n "$TWOPC_NS_X" link add xb type veth peer name bx netns "$TWOPC_NS_B" || return 1
    ip -n "$TWOPC_NS_X" addr add "$TWOPC_ADDR_XA/24" dev xa &&
    ip -n "$TWOPC_NS_X" addr add "$TWOPC_ADDR_XB/24" dev xb &&
    ip -n "$TWOPC_NS_A" addr add "$TWOPC_ADDR_A/24" dev ax &&
    ip -n "$TWOPC_NS_B" addr add "$TWOPC_ADDR_B/24" dev bx || return 1
    ip -n "$TWOPC_NS_X" link set xa up && ip -n "$TWOPC_NS_X" link set xb up &&
    ip -n "$TWOPC_NS_A" link set ax up && ip -n "$TWOPC_NS_B" link set bx up || return 1
    # Both ends of a pair report UP once both are up.
    twopc_wait_until 5 eval "ip -n $TWOPC_NS_A -br link show ax | grep -qw UP && ip -n $TWOPC_NS_B -br link show bx | grep -qw UP" ||
        { twopc_fail "veth pairs did not come up"; return 1; }
    twopc_log "namespaces $TWOPC_NS_X $TWOPC_NS_A $TWOPC_NS_B up"
}

# twopc_netns_etc: /etc/netns/<ns>/hosts and resolv.conf for namespaces a and
# b, which `ip netns exec` mounts over /etc/hosts and /etc/resolv.conf: each
# PC finds $TWOPC_DOMAIN at its own address of namespace x, and DNS goes to
# its own loopback, where nothing answers, so other lookups fail at once.
# twopc_down removes them.
twopc_netns_etc() {
    local pc ns addr
    for pc in a b; do
        ns=$(twopc_ns $pc); addr=$TWOPC_ADDR_XA
        [ "$pc" = b ] && addr=$TWOPC_ADDR_XB
        mkdir -p "/etc/netns/$ns" &&
        printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n%s\t%s\n' "$addr" "$TWOPC_DOMAIN" >"/etc/netns/$ns/hosts" &&
        printf 'nameserver 127.0.0.1\n' >"/etc/netns/$ns/resolv.conf" ||
            { twopc_fail "could not write /etc/netns/$ns"; return 1; }
    done
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

twopc_prosody_config() {
    local d=$TWOPC_SCRATCH/x tuning modules=
    mkdir -p "$d/data" && chmod 700 "$d/data"
    if [ "${TWOPC_PROSODY:-tuned}" = default ]; then
        # What Debian's package enables, with the tunnel accounts exempted
        # from the rate limit; Nagle stays on (no network_settings).
        openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=$TWOPC_DOMAIN" \
            -keyout "$d/server.key" -out "$d/server.crt" >"$d/openssl.log" 2>&1 ||
            { twopc_fail "openssl could not make a certificate (see $d/openssl.log)"; return 1; }
        modules='"tls"; "limits";'
        tuning="modules_disabled = { \"s2s\"; \"offline\" }
ssl = { key = base .. \"/server.key\"; certificate = base .. \"/server.crt\" }
c2s_require_encryption = true
limits = { c2s = { rate = \"10kb/s\" }; s2sin = { rate = \"30kb/s\" } }
unlimited_jids = { \"$TWOPC_JID_A\", \"$TWOPC_JID_B\" }"
    else
        # Same settings as /work/shared/xmpp/prosody-test.cfg.lua: no
        # certificate (so no STARTTLS offer), no rate limit, Nagle off.
        tuning="modules_disabled = { \"s2s\"; \"offline\"; \"tls\" }
c2s_require_encryption = false
allow_unencrypted_plain_auth = true
limits = { c2s = { rate = \"100mb/s\"; burst = \"2s\" } }
network_settings = { nagle = false; min_wait = 0.00001 }"
    fi
    cat >"$d/prosody.cfg.lua" <<EOF
local base = "$d"
run_as_root = true
pidfile = base .. "/prosody.pid"
data_path = base .. "/data"
admin_socket = base .. "/data/prosody.sock"
log = { info = base .. "/prosody.log"; debug = base .. "/debug.log" }
interfaces = { "$TWOPC_ADDR_XA", "$TWOPC_ADDR_XB" }
local_interfaces = { "$TWOPC_ADDR_XA", "$TWOPC_ADDR_XB" }
c2s_ports = { $TWOPC_XMPP_PORT }
c2s_direct_tls_ports = { }
s2s_ports = { }
http_ports = { }
https_ports = { }
modules_enabled = { "roster"; "saslauth"; "disco"; "ping"; "posix"; "admin_shell"; "smacks"; $modules }
authentication = "internal_hashed"
c2s_stanza_size_limit = 256*1024
smacks_hibernation_time = 2
$tuning
VirtualHost "$TWOPC_DOMAIN"
EOF
    export TWOPC_PROSODY_CFG=$d/prosody.cfg.lua   # for prosodyctl by hand
}

# twopc_start_delay: the delay element between each PC and Prosody, when
# TWOPC_DELAY_MS is set.
twopc_start_delay() {
    [ -n "${TWOPC_DELAY_MS:-}" ] || return 0
    [ -x "$DELAY_PROXY" ] || { twopc_fail "no delay_proxy at $DELAY_PROXY (build it)"; return 1; }
    twopc_spawn x delayproxy "$TWOPC_SCRATCH/x/delay_proxy.out" "$DELAY_PROXY" --delay-ms "$TWOPC_DELAY_MS" \
        "$TWOPC_ADDR_XA:$TWOPC_DELAYED_PORT" "$TWOPC_ADDR_XA:$TWOPC_XMPP_PORT" \
        "$TWOPC_ADDR_XB:$TWOPC_DELAYED_PORT" "$TWOPC_ADDR_XB:$TWOPC_XMPP_PORT"
    twopc_wait_until 10 eval "twopc_listening_tcp x $TWOPC_ADDR_XA:$TWOPC_DELAYED_PORT && twopc_listening_tcp x $TWOPC_ADDR_XB:$TWOPC_DELAYED_PORT" ||
        { twopc_fail "the delay element did not listen (see $TWOPC_SCRATCH/x/delay_proxy.out)"; return 1; }
    twopc_log "delay element: ${TWOPC_DELAY_MS} ms each way between each PC and Prosody"
}

twopc_prosodyctl() { twopc_exec x prosodyctl --config "$TWOPC_SCRATCH/x/prosody.cfg.lua" "$@"; }

twopc_register() {  # user password
    twopc_prosodyctl register "$1" "$TWOPC_DOMAIN" "$2" >>"$TWOPC_SCRATCH/x/prosodyctl.log" 2>&1 ||
        { twopc_fail "prosodyctl register $1 failed (see $TWOPC_SCRATCH/x/prosodyctl.log)"; return 1; }
}

# twopc_make_contacts USER1 USER2: mutual contacts (subscription both) in the
# running server, through its admin shell.
twopc_make_contacts() {
    local a=$1 b=$2 h=$TWOPC_DOMAIN out
    out=$(timeout 20 ip netns exec "$TWOPC_NS_X" prosodyctl --config "$TWOPC_SCRATCH/x/prosody.cfg.lua" shell \
        ">local rm=require'core.rostermanager'
for _,p in ipairs{{'$a','$b'},{'$b','$a'}} do
  local c=p[2]..'@$h'; local r=rm.load_roster(p[1],'$h')
  r[c]={subscription='both', groups={}}
  assert(rm.save_roster(p[1],'$h',r,c)); rm.roster_push(p[1],'$h',c)
end
return 'contacts set'" 2>&1)
    echo "$out" >>"$TWOPC_SCRATCH/x/prosodyctl.log"
    grep -q 'contacts set' <<<"$out" || { twopc_fail "could not make $a and $b contacts: $out"; return 1; }
}

twopc_start_prosody() {
    twopc_prosody_config
    twopc_register pca pca-secret && twopc_register pcb pcb-secret || return 1
    if [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then twopc_register pc0 pc0-secret || return 1; fi
    twopc_spawn x prosody "$TWOPC_SCRATCH/x/prosody.out" prosody --config "$TWOPC_SCRATCH/x/prosody.cfg.lua" -F
    twopc_wait_until 15 eval "twopc_listening_tcp x $TWOPC_ADDR_XA:$TWOPC_XMPP_PORT && twopc_listening_tcp x $TWOPC_ADDR_XB:$TWOPC_XMPP_PORT" ||
        { twopc_fail "Prosody did not listen (see $TWOPC_SCRATCH/x/prosody.out)"; return 1; }
    twopc_wait_until 10 test -S "$TWOPC_SCRATCH/x/data/prosody.sock" ||
        { twopc_fail "Prosody admin socket missing"; return 1; }
    twopc_make_contacts pca pcb || return 1
    if [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then twopc_make_contacts pcb pc0 || return 1; fi
    twopc_log "Prosody up, $TWOPC_JID_A and $TWOPC_JID_B are mutual contacts"
}

# twopc_restart_prosody: starts Prosody again with the config, accounts and
# contacts of the first start (after it was stopped or killed).
twopc_restart_prosody() {
    twopc_spawn x prosody "$TWOPC_SCRATCH/x/prosody.out" prosody --config "$TWOPC_SCRATCH/x/prosody.cfg.lua" -F
    twopc_wait_until 15 eval "twopc_listening_tcp x $TWOPC_ADDR_XA:$TWOPC_XMPP_PORT && twopc_listening_tcp x $TWOPC_ADDR_XB:$TWOPC_XMPP_PORT" ||
        { twopc_fail "Prosody did not listen again (see $TWOPC_SCRATCH/x/prosody.out)"; return 1; }
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

# ---------------------------------------------------------------- messengerd

twopc_messengerd_config() {  # a|b
    local pc=$1 d=$TWOPC_SCRATCH/pc-$1 jid pass server contact
    if [ "$pc" = a ]; then jid=$TWOPC_JID_A pass=pca-secret server=$TWOPC_ADDR_XA contact=$TWOPC_JID_B
    else jid=$TWOPC_JID_B pass=pcb-secret server=$TWOPC_ADDR_XB contact=$TWOPC_JID_A; fi
    # ejabberd: the domain, as a user writes it (the certificate names it).
    if [ "${TWOPC_SERVER:-prosody}" = ejabberd ]; then server=$TWOPC_DOMAIN; fi
    mkdir -p "$d"
    {
        echo "jid = $jid"
        echo "password = $pass"
        echo "resource = pc-$pc"
        echo "server = $server"
        if [ -n "${TWOPC_DELAY_MS:-}" ]; then echo "port = $TWOPC_DELAYED_PORT"
        else echo "port = $TWOPC_XMPP_PORT"; fi
        if [ "${TWOPC_SERVER:-prosody}" = ejabberd ]; then
            echo "tls = auto"
        elif [ "${TWOPC_PROSODY:-tuned}" = default ]; then
            echo "tls = required"
            echo "tls_verify = no"   # the harness's own certificate
        else
            echo "tls = disabled"
        fi
        echo "contact = $contact"
        if [ "$pc" = b ] && [ "${TWOPC_EXTRA_CONTACT:-0}" = 1 ]; then echo "contact = $TWOPC_JID_C"; fi
        echo "log = $d/messengerd.log"
        echo "answer_timeout = ${TWOPC_ANSWER_TIMEOUT:-30}"
    } >"$d/messengerd.conf"
    chmod 600 "$d/messengerd.conf"
}

# twopc_api PC [ARGS...]: tiny Desktop API client inside the namespace (see apiprobe.py).
twopc_api() {
    local pc=$1; shift
    twopc_exec "$pc" timeout 30 python3 "$TWOPC_LIB_DIR/apiprobe.py" "$@"
}

twopc_start_messengerd() {  # a|b
    local pc=$1 d=$TWOPC_SCRATCH/pc-$1
    twopc_messengerd_config "$pc"
    if [ "${TWOPC_SERVER:-prosody}" = ejabberd ]; then
        # OpenSSL's default verify paths take the harness CA from here.
        twopc_spawn "$pc" "messengerd-$pc" "$d/messengerd.out" \
            env SSL_CERT_FILE="$TWOPC_SCRATCH/ca/ca.crt" "$MESSENGERD" --config "$d/messengerd.conf"
    else
        twopc_spawn "$pc" "messengerd-$pc" "$d/messengerd.out" "$MESSENGERD" --config "$d/messengerd.conf"
    fi
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

twopc_press_user_switch() {  # PC: the user switch (SIGUSR2)
    local pid; pid=$(twopc_pid_of "program-$1")
    twopc_alive "$pid" || { twopc_fail "program of PC $1 is not running"; return 1; }
    kill -USR2 "$pid"
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

# ---------------------------------------------------------------- up and down

twopc_up() {
    : "${BUILD_DIR:=$TWOPC_REPO/build}"
    : "${CORVANE_BIN:=$BUILD_DIR/bin/corvanefortcp}"
    : "${MESSENGERD:=$BUILD_DIR/bin/messengerd}"
    : "${DELAY_PROXY:=$BUILD_DIR/bin/delay_proxy}"
    twopc_check_prereqs || return 1
    local id=$BASHPID
    TWOPC_SCRATCH=$(mktemp -d "/tmp/cvx-$id.XXXXXX") || return 1
    TWOPC_NS_X=cvx-$id-x TWOPC_NS_A=cvx-$id-a TWOPC_NS_B=cvx-$id-b
    : >"$TWOPC_SCRATCH/pids"
    mkdir -p "$TWOPC_SCRATCH/x" "$TWOPC_SCRATCH/b" "$TWOPC_SCRATCH/pc-a" "$TWOPC_SCRATCH/pc-b"
    twopc_state_save
    twopc_log "scratch $TWOPC_SCRATCH"
    twopc_make_network || return 1
    if [ "${TWOPC_SERVER:-prosody}" = ejabberd ]; then
        twopc_netns_etc && twopc_start_ejabberd || return 1
    else
        twopc_start_prosody || return 1
    fi
    twopc_start_delay || return 1
    twopc_start_services || return 1
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
    for ns in "$TWOPC_NS_A" "$TWOPC_NS_B" "$TWOPC_NS_X"; do
        [ -n "$ns" ] && [ -e "/run/netns/$ns" ] || continue
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
    for ns in "$TWOPC_NS_A" "$TWOPC_NS_B" "$TWOPC_NS_X"; do
        [ -z "$ns" ] || rm -rf "/etc/netns/$ns"
    done
    if [ "${KEEP:-0}" = 1 ]; then
        twopc_log "kept $TWOPC_SCRATCH"
    else
        rm -rf "$TWOPC_SCRATCH"
    fi
    TWOPC_SCRATCH=
    return $rc
}
