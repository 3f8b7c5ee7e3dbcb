#!/usr/bin/env bash
# Self-test of the two-PC harness, without the program (as root; exit 77 otherwise):
# two rounds of up / checks / down, each followed by a check that nothing is
# left behind, then a round that fails on purpose half-way and must clean up
# through its trap all the same.
#   sudo bash scripts/twopc/selftest.sh        (MESSENGERD=... to pick the daemon)
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

if [ "$(id -u)" -ne 0 ]; then
    echo "$E2E_NAME: skipped (needs root for network namespaces)"
    exit 77
fi

export TWOPC_QUIET=${TWOPC_QUIET:-1}

# What one run made, to check after its teardown.
left_scratch='' left_ns='' left_pids=''

remember_run() {
    left_scratch=$TWOPC_SCRATCH
    left_ns="$TWOPC_NS_X $TWOPC_NS_A $TWOPC_NS_B"
    left_pids=$(awk '{print $2}' "$TWOPC_SCRATCH/pids" | tr '\n' ' ')
}

nothing_left() {
    local ns pid bad=0
    for ns in $left_ns; do
        if ip netns list | awk '{print $1}' | grep -qx "$ns"; then echo "  namespace $ns still there"; bad=1; fi
        if [ -e "/etc/netns/$ns" ]; then echo "  /etc/netns/$ns still there"; bad=1; fi
    done
    for pid in $left_pids; do
        if twopc_alive "$pid"; then echo "  pid $pid still runs: $(tr '\0' ' ' <"/proc/$pid/cmdline")"; bad=1; fi
    done
    [ -n "$left_scratch" ] || { echo "  no run recorded"; return 1; }
    if pgrep -f -- "$left_scratch" >/dev/null; then
        echo "  processes still use $left_scratch:"; pgrep -af -- "$left_scratch" | sed 's/^/    /'; bad=1
    fi
    if [ -e "$left_scratch" ]; then echo "  scratch dir $left_scratch still there"; bad=1; fi
    return $bad
}

# A's loopback is not B's: nothing listens on A's port 80 while B serves it.
isolated() { ! twopc_exec a curl -s -o /dev/null --max-time 3 http://127.0.0.1:80/; }

ini_ok() {  # PC APPMODE
    local d=$TWOPC_SCRATCH/pc-$1 f=$TWOPC_SCRATCH/pc-$1/CorvaneForTcp.ini
    [ -L "$d/corvanefortcp" ] && [ "$(readlink "$d/corvanefortcp")" = "$CORVANE_BIN" ] || { echo "  bad link $d/corvanefortcp"; return 1; }
    [ "$(head -n1 "$f")" = $'[SYSTEM]\r' ] || { echo "  $f does not start with [SYSTEM] CR LF"; return 1; }
    grep -q $'^APPMODE='"$2"$'\r$' "$f" || { echo "  $f: no APPMODE=$2"; return 1; }
    grep -qx $'\\[SERVER\\]\r' "$f" && grep -qx $'\\[CLIENT\\]\r' "$f" || { echo "  $f: sections missing"; return 1; }
    ! grep -qv $'\r$' "$f" || { echo "  $f: a line without CR"; return 1; }
    ! LC_ALL=C grep -q $'[^ -~\r]' "$f" || { echo "  $f: not plain ASCII"; return 1; }
}

ftp_round() {  # upload and download inside B with several clients and modes
    local s=$TWOPC_SCRATCH src=$TWOPC_SCRATCH/$TWOPC_FTP_FILE up=$TWOPC_SCRATCH/b/ftp/upload mark
    e2e_check "test file holds every byte value" e2e_has_every_byte "$src"
    e2e_check "curl FTP download (EPSV)" twopc_exec b curl -sS --max-time 30 -o "$s/dl-epsv" "ftp://127.0.0.1/$TWOPC_FTP_FILE"
    e2e_check "  same sha256" e2e_same_file "$src" "$s/dl-epsv"
    e2e_check "curl FTP upload (EPSV)" twopc_exec b curl -sS --max-time 30 -T "$src" "ftp://127.0.0.1/upload/up-epsv"
    e2e_check "  same sha256" e2e_same_file "$src" "$up/up-epsv"
    mark=$(wc -l <"$s/b/vsftpd.log")
    e2e_check "curl FTP download --disable-epsv" twopc_exec b curl -sS --max-time 30 --disable-epsv -o "$s/dl-pasv" "ftp://127.0.0.1/$TWOPC_FTP_FILE"
    e2e_check "  same sha256" e2e_same_file "$src" "$s/dl-pasv"
    e2e_check "  vsftpd saw PASV" eval "tail -n +$((mark + 1)) '$s/b/vsftpd.log' | grep -q '\"PASV\"'"
    mark=$(wc -l <"$s/b/vsftpd.log")
    e2e_check "curl FTP upload --ftp-port (active)" twopc_exec b curl -sS --max-time 30 --ftp-port 127.0.0.1 -T "$src" "ftp://127.0.0.1/upload/up-active"
    e2e_check "  same sha256" e2e_same_file "$src" "$up/up-active"
    e2e_check "  vsftpd saw EPRT or PORT" eval "tail -n +$((mark + 1)) '$s/b/vsftpd.log' | grep -Eq '\"(EPRT|PORT) '"
    e2e_check "lftp get and put" twopc_exec b timeout 60 lftp -c "set net:max-retries 1; set net:timeout 10; open ftp://127.0.0.1; get $TWOPC_FTP_FILE -o $s/dl-lftp; put $src -o upload/up-lftp"
    e2e_check "  download same sha256" e2e_same_file "$src" "$s/dl-lftp"
    e2e_check "  upload same sha256" e2e_same_file "$src" "$up/up-lftp"
}

one_round() {
    local n=$1 s
    echo "== round $n: up"
    if ! e2e_check "harness up" twopc_up; then remember_run; return 1; fi
    s=$TWOPC_SCRATCH
    remember_run
    e2e_check "three namespaces exist" eval "[ -e /run/netns/$TWOPC_NS_X ] && [ -e /run/netns/$TWOPC_NS_A ] && [ -e /run/netns/$TWOPC_NS_B ]"
    e2e_check "HTTP 5 MB file inside B" twopc_exec b curl -sS --max-time 30 -o "$s/dl-http" "http://127.0.0.1:80/$TWOPC_HTTP_FILE"
    e2e_check "  is 5 MB" eval "[ \$(stat -c %s '$s/dl-http') -eq $((5 * 1024 * 1024)) ]"
    e2e_check "  same sha256" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/dl-http"
    ftp_round
    e2e_check "echo on 9023 inside B (32 KB)" e2e_client b transfer --port 9023 --bytes 32768 --timeout 20
    e2e_check "PC A's loopback has no HTTP server" isolated
    e2e_check "messengerd A listens on SkypeControlAPI" twopc_listening_api a
    e2e_check "messengerd B listens on SkypeControlAPI" twopc_listening_api b
    e2e_check "messengerd A attaches a program" twopc_api a --timeout 10 attach
    e2e_check "messengerd B attaches a program" twopc_api b --timeout 10 attach
    e2e_check "A's friends are B" eval "twopc_api a command 'SEARCH FRIENDS' '^USERS ' | grep -qx 'USERS $TWOPC_JID_B'"
    e2e_check "B's friends are A" eval "twopc_api b command 'SEARCH FRIENDS' '^USERS ' | grep -qx 'USERS $TWOPC_JID_A'"
    e2e_check "A sees B online" twopc_wait_peer_online a "$TWOPC_JID_B"
    e2e_check "B sees A online" twopc_wait_peer_online b "$TWOPC_JID_A"
    e2e_check "program dir A: link and client INI (ASCII, CR LF)" ini_ok a 1
    e2e_check "program dir B: link and server INI (ASCII, CR LF)" ini_ok b 0
    e2e_check "  B accepts every contact, forwards to 127.0.0.1" eval "grep -q \$'^ENABLEUSER=1\\r\$' '$s/pc-b/CorvaneForTcp.ini' && grep -q \$'^FOWERDHOST2=127.0.0.1\\r\$' '$s/pc-b/CorvaneForTcp.ini'"
    e2e_check "  INI overrides (A: AUTOCONNECT)" eval "twopc_write_ini a AUTOCONNECT=1 AUTOCONNECTUSER=$TWOPC_JID_B && grep -q \$'^AUTOCONNECTUSER=$TWOPC_JID_B\\r\$' '$s/pc-a/CorvaneForTcp.ini' && ! twopc_write_ini a NOSUCHKEY=1 2>/dev/null"
    echo "== round $n: down"
    e2e_check "harness down" twopc_down
    e2e_check "nothing left behind (namespaces, processes, scratch dir)" nothing_left
}

failing_round() {
    echo "== round 3: a test that fails half-way"
    (
        record() {
            echo "${TWOPC_SCRATCH:-} ${TWOPC_NS_X:-} ${TWOPC_NS_A:-} ${TWOPC_NS_B:-}" >"$1.run"
            if [ -f "${TWOPC_SCRATCH:-}/pids" ]; then awk '{print $2}' "$TWOPC_SCRATCH/pids" >"$1"; fi
        }
        trap 'record "$1"; twopc_down' EXIT
        twopc_up || exit 1
        false || exit 3      # the failure
        echo "  not reached"
    )
    local rc=$?
    e2e_check "the failing run ended with its own status" [ "$rc" -eq 3 ]
    read -r left_scratch left_ns <"$1.run" || true
    left_pids=$(tr '\n' ' ' <"$1")
    e2e_check "nothing left behind after the failure" nothing_left
}

trap 'twopc_down; rm -f "$marker" "$marker.run"' EXIT
trap 'exit 130' INT TERM
marker=$(mktemp /tmp/twopc-selftest.XXXXXX)

one_round 1 || true
[ -z "${TWOPC_SCRATCH:-}" ] || twopc_down
one_round 2 || true
[ -z "${TWOPC_SCRATCH:-}" ] || twopc_down
failing_round "$marker"

if [ "$E2E_FAILED" -eq 0 ]; then
    echo "$E2E_NAME: PASS ($E2E_PASSED checks)"
    exit 0
fi
echo "$E2E_NAME: FAIL ($E2E_FAILED of $((E2E_PASSED + E2E_FAILED)) checks failed)"
exit 1
