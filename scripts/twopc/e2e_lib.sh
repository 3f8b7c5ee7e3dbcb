# shellcheck shell=bash
# Common part of the end-to-end tests (scripts/twopc/e2e_*.sh). A test script:
#
#   source "$(dirname "$0")/e2e_lib.sh"
#   e2e_main() { ...checks...; }
#   e2e_run "$@"
#
# e2e_run: exit 77 without root; brings the two PCs up (e2e_setup, if the
# script defines it, runs first and may set TWOPC_* variables); always tears
# them down on exit, whatever happened (trap); every check is counted; exit 0
# only when e2e_main returned 0 and no check failed. KEEP=1 keeps the scratch dir.

source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

E2E_NAME=$(basename "$0" .sh)
E2E_FAILED=0
E2E_PASSED=0

e2e_pass() { E2E_PASSED=$((E2E_PASSED + 1)); printf 'ok   %s\n' "$*"; }
e2e_failed() { E2E_FAILED=$((E2E_FAILED + 1)); printf 'FAIL %s\n' "$*"; }

# e2e_check DESCRIPTION COMMAND...: one check; its outcome is counted.
e2e_check() {
    local what=$1; shift
    if "$@"; then e2e_pass "$what"; return 0; fi
    e2e_failed "$what"
    return 1
}

e2e_sha() { sha256sum "$1" 2>/dev/null | cut -d' ' -f1; }

# e2e_same_file A B: both exist, are not empty and have the same sha256.
e2e_same_file() {
    [ -s "$1" ] && [ -s "$2" ] || { echo "  missing or empty: $1 / $2"; return 1; }
    local x y; x=$(e2e_sha "$1") y=$(e2e_sha "$2")
    [ "$x" = "$y" ] || { echo "  sha256 differs: $1 $x, $2 $y"; return 1; }
}

# e2e_has_every_byte FILE: FILE holds each of the 256 byte values.
e2e_has_every_byte() {
    python3 -c 'import sys; d=open(sys.argv[1],"rb").read(); sys.exit(0 if len(set(d))==256 else 1)' "$1"
}

e2e_client() {  # PC ARGS...: tcpclient.py inside the PC's namespace
    local pc=$1; shift
    twopc_exec "$pc" timeout 180 python3 "$TWOPC_LIB_DIR/tcpclient.py" "$@"
}

# e2e_start_programs: B's program, then A's; both attached to their messenger.
e2e_start_programs() {
    twopc_start_program b && twopc_start_program a || return 1
    local pc
    for pc in b a; do
        twopc_wait_trace "$pc" '^LAMPS ' 30 ||
            { echo "  program of PC $pc did not attach (no LAMPS line in $(twopc_trace $pc))"; return 1; }
    done
}

# e2e_connect: presses A's connect button until A's streams are up. A press
# is repeated only while no stream has come up (a press with streams up
# disconnects them). Waits up to 60 s in all.
e2e_connect() {
    local mark deadline=$((SECONDS + 60))
    mark=$(twopc_trace_mark a)
    while [ "$SECONDS" -lt "$deadline" ]; do
        twopc_trace_has a '^STREAM UP' "$mark" && return 0
        twopc_press_connect a || return 1
        twopc_wait_trace a '^STREAM UP' 5 "$mark" && return 0
    done
    echo "  no STREAM UP on PC A within 60 s"
    return 1
}

# e2e_wait_lamps PC ERE SECONDS [MARK]: a LAMPS line after MARK matches ERE
# (matched against the lamps after "LAMPS ", with a blank before and after).
e2e_wait_lamps() {
    local pc=$1 re=$2 limit=$3 mark=${4:-0}
    twopc_wait_until "$limit" e2e_lamps_seen "$pc" "$re" "$mark"
}

e2e_lamps_seen() {
    local f; f=$(twopc_trace "$1")
    [ -f "$f" ] && tail -n +"$(($3 + 1))" "$f" | LC_ALL=C grep -a '^LAMPS ' | cut -c6- | sed 's/$/ /' |
        LC_ALL=C grep -Eq -- "$2"
}

e2e_show_traces() {
    local pc f
    for pc in a b; do
        f=$(twopc_trace "$pc")
        [ -f "$f" ] || continue
        echo "--- last lines of PC $pc trace ($f)"
        tail -n 25 "$f" | LC_ALL=C sed 's/^/  /'
    done
}

# e2e_sanitizer_clean: stops both programs and both daemons (so that a
# sanitized build writes its leak report) and fails when any of their outputs
# holds a sanitizer report.
e2e_sanitizer_clean() {
    [ -n "${TWOPC_SCRATCH:-}" ] || return 0
    local name pid f found=0
    local report='ERROR: (Address|Leak|Thread)Sanitizer|runtime error:'
    for name in program-a program-b messengerd-a messengerd-b; do
        pid=$(twopc_pid_of "$name")
        [ -z "$pid" ] || twopc_stop_pid "$pid" 10
    done
    for f in "$TWOPC_SCRATCH"/pc-a/trace.txt "$TWOPC_SCRATCH"/pc-b/trace.txt \
             "$TWOPC_SCRATCH"/pc-a/messengerd.out "$TWOPC_SCRATCH"/pc-b/messengerd.out; do
        [ -f "$f" ] || continue
        if LC_ALL=C grep -aqE "$report" "$f"; then
            echo "FAIL sanitizer report in $f:"
            LC_ALL=C grep -aE -A12 "$report" "$f" | head -40 | sed 's/^/  /'
            found=1
        fi
    done
    return $found
}

e2e_cleanup() {
    local rc=$?
    trap - EXIT INT TERM
    if [ "$E2E_FAILED" -gt 0 ] || [ "$rc" -ne 0 ]; then e2e_show_traces; fi
    e2e_sanitizer_clean || rc=1
    twopc_down
    exit "$rc"
}

e2e_run() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "$E2E_NAME: skipped (needs root for network namespaces)"
        exit 77
    fi
    trap e2e_cleanup EXIT
    trap 'exit 130' INT TERM
    if declare -F e2e_setup >/dev/null; then e2e_setup || { echo "$E2E_NAME: setup failed"; exit 1; }; fi
    twopc_up || { echo "$E2E_NAME: FAIL (harness did not come up)"; exit 1; }
    local rc=0
    e2e_main || rc=1
    if [ $rc -eq 0 ] && [ "$E2E_FAILED" -eq 0 ]; then
        echo "$E2E_NAME: PASS ($E2E_PASSED checks)"
        exit 0
    fi
    echo "$E2E_NAME: FAIL ($E2E_FAILED of $((E2E_PASSED + E2E_FAILED)) checks failed)"
    exit 1
}

# ---------------------------------------------------------------- services through the tunnel

e2e_ftp_log_mark() { wc -l <"$TWOPC_SCRATCH/b/vsftpd.log"; }
e2e_ftp_log_saw() {  # MARK ERE: vsftpd logged a command matching ERE after MARK
    tail -n +"$(($1 + 1))" "$TWOPC_SCRATCH/b/vsftpd.log" | grep -Eq "FTP command: Client \"127.0.0.1\", \"($2)"
}

# e2e_ftp_curl_mode NAME ERE CURL-ARGS...: the FTP test file down and up
# through A's port 21 with curl, sha256-equal, and B's vsftpd saw ERE (the
# data-connection command of the mode).
e2e_ftp_curl_mode() {
    local name=$1 cmd=$2; shift 2
    local s=$TWOPC_SCRATCH src=$TWOPC_SCRATCH/$TWOPC_FTP_FILE mark
    mark=$(e2e_ftp_log_mark)
    e2e_check "curl $name: download" twopc_exec a curl -sS --max-time 120 "$@" -o "$s/ftp-$name.bin" "ftp://127.0.0.1:21/$TWOPC_FTP_FILE"
    e2e_check "  same sha256" e2e_same_file "$src" "$s/ftp-$name.bin"
    e2e_check "curl $name: upload" twopc_exec a curl -sS --max-time 120 "$@" -T "$src" "ftp://127.0.0.1:21/upload/$name.bin"
    e2e_check "  same sha256 on B" e2e_same_file "$src" "$s/b/ftp/upload/$name.bin"
    e2e_check "  B's server saw $cmd" e2e_ftp_log_saw "$mark" "$cmd"
}

e2e_http_log_mark() { wc -l <"$TWOPC_SCRATCH/b/http.log"; }
e2e_b_served_since() { tail -n +"$(($1 + 1))" "$TWOPC_SCRATCH/b/http.log" | grep -q '"GET /index.html'; }
e2e_a_stream_up_now() {  # the newest STREAM line after MARK says UP
    tail -n +"$(($1 + 1))" "$(twopc_trace a)" | LC_ALL=C grep -a '^STREAM ' | tail -n1 | grep -q '^STREAM UP'
}

# e2e_accept_policy: the server application's accept policy, with
# TWOPC_EXTRA_CONTACT=1 (B has two contacts, pc0 sorted first and so
# selected, and pca). Both programs start (no lamp of A lit yet). With
# ENABLEUSER=0 a stream from pca, who is not the selected contact, is
# refused: nothing reaches B's HTTP server and A is left without streams.
# With ENABLEUSER=1 the same connect is accepted, and the programs are left
# running with A's streams up.
e2e_accept_policy() {
    local mark hmark
    e2e_check "B's friends: pc0 first, then pca" eval \
        "twopc_api b command 'SEARCH FRIENDS' '^USERS ' | grep -qx 'USERS $TWOPC_JID_C, $TWOPC_JID_A'"
    twopc_write_ini b ENABLEUSER=0
    e2e_check "programs attached (B: ENABLEUSER=0)" e2e_start_programs || return 1
    e2e_check "before the connect: no lamp of A lit" e2e_wait_lamps a '^ 0:--- 0d:--- 1:--- 2:--- 3:--- 4:--- $' 10
    mark=$(twopc_trace_mark a)
    hmark=$(e2e_http_log_mark)
    # One press only, once A sees B's applications: a second one would
    # disconnect a stream that is up. B's refusal of A's stream of setting 1
    # (HTTP) in its event log shows that the press reached it.
    e2e_check "A sees B's applications" twopc_wait_trace a "CONNECTABLE $TWOPC_JID_B" 30
    e2e_check "A presses connect" twopc_press_connect a
    e2e_check "  B refuses A's stream of setting 1" \
        twopc_wait_until 30 e2e_eventlog_has b "設定１用 Skype STREAM は $TWOPC_JID_A と　ID=[0-9]+ を切断\(拒否）"
    e2e_check "  A's streams are not up" twopc_wait_until 10 eval "! e2e_a_stream_up_now $mark"
    e2e_check "ENABLEUSER=0: a page through A fails" eval "! twopc_exec a curl -sS --max-time 10 -o /dev/null http://127.0.0.1:80/index.html"
    e2e_check "  B's HTTP server got no request" eval "! e2e_b_served_since $hmark"

    twopc_stop_program b
    twopc_write_ini b ENABLEUSER=1
    twopc_start_program b
    e2e_check "B's program back (ENABLEUSER=1)" twopc_wait_trace b '^LAMPS ' 30 "$(twopc_trace_mark b)"
    hmark=$(e2e_http_log_mark)
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "ENABLEUSER=1: a page through A" eval "twopc_exec a curl -sS --max-time 30 http://127.0.0.1:80/index.html | grep -q 'PC B says hello'"
    e2e_check "  B's HTTP server got the request" e2e_b_served_since "$hmark"
}

# e2e_eventlog_has PC ERE: the PC's event log (cp932) has a line matching ERE.
e2e_eventlog_has() {
    local f
    for f in "$TWOPC_SCRATCH/pc-$1"/LOG*.log; do
        [ -f "$f" ] || continue
        iconv -f CP932 -t UTF-8 "$f" 2>/dev/null | grep -Eq -- "$2" && return 0
    done
    return 1
}

# ---------------------------------------------------------------- faults mid-transfer

# e2e_listening PC PORT: something listens on TCP PORT in that PC.
e2e_listening() {
    twopc_exec "$1" ss -Hltn "sport = :$2" 2>/dev/null | grep -q .
}

# e2e_lamps_now PC ERE SECONDS: within SECONDS, the newest LAMPS line matches
# ERE (as in e2e_wait_lamps).
e2e_lamps_now() {
    twopc_wait_until "$3" eval "twopc_last_lamps $1 | sed 's/^/ /; s/\$/ /' | LC_ALL=C grep -Eq -- '$2'"
}

# e2e_outcome FILE: the outcome line a tcpclient.py transfer wrote to FILE.
e2e_outcome() { grep -a '^transfer:' "$1" 2>/dev/null | tail -n1; }

# e2e_ended_in_error FILE RC: the transfer ended with an error (reset,
# refused, stalled), not complete and above all not with a clean end before
# its last byte.
e2e_ended_in_error() {
    echo "  $(e2e_outcome "$1" || true) [exit $2]"
    case $2 in 2|4|5) return 0 ;; *) return 1 ;; esac
}

# e2e_ended_in_reset FILE RC: the transfer's connection was reset.
e2e_ended_in_reset() { [ "$2" -eq 2 ]; }

# e2e_recover MARK: both programs run and A's streams are up again after
# MARK (A's trace line count before the fault): waits for A's streams to go
# down, then presses A's connect button until they are up and every service
# listens again. Bounded (about 2 minutes).
e2e_recover() {
    local mark=$1 down deadline
    twopc_program_alive a && twopc_program_alive b || { echo "  a program is not running"; return 1; }
    twopc_wait_trace a '^STREAM DOWN' 30 "$mark" || { echo "  no STREAM DOWN on PC A after the fault"; return 1; }
    down=$(twopc_trace_mark a)
    deadline=$((SECONDS + 90))
    while ! twopc_trace_has a '^STREAM UP' "$down"; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "  no STREAM UP on PC A within 90 s"; return 1; }
        twopc_press_connect a || return 1
        twopc_wait_trace a '^STREAM UP' 8 "$down" && break
    done
    e2e_wait_lamps a ' 1:L.. 2:L.. 3:L.. 4:L.. $' 30 "$down" || { echo "  A's services do not all listen again"; return 1; }
}

# e2e_fault NAME INJECT RESTART: the fault run's one case. Two long transfers
# through A (20 MB echo on 9023, the 20 MB source on 5900, both counting the
# bytes), INJECT after 5 s, then both clients must have ended with an error,
# and as a reset; RESTART brings the killed part back, A connects again, and
# the next transfers (1 MB echo, the 2 MB source with sha256) are intact.
e2e_fault() {
    local name=$1 inject=$2 restart=$3 s=$TWOPC_SCRATCH mark dir e_pid d_pid e_rc d_rc
    dir=$s/fault-$name
    mkdir -p "$dir"
    mark=$(twopc_trace_mark a)
    e2e_client a transfer --port 9023 --bytes $((20 * 1024 * 1024)) --idle 45 --timeout 150 >"$dir/echo.out" 2>&1 &
    e_pid=$!
    e2e_client a transfer --port 5900 --expect "$s/b/src/$TWOPC_SOURCE_BIG" --idle 45 --timeout 150 \
        --out "$dir/source.part" >"$dir/source.out" 2>&1 &
    d_pid=$!
    sleep 5
    e2e_check "$name: both transfers still running after 5 s" eval "kill -0 $e_pid && kill -0 $d_pid" || {
        cat "$dir/echo.out" "$dir/source.out" | sed 's/^/  /'; }
    twopc_log "fault $name: $inject"
    $inject
    wait "$e_pid"; e_rc=$?
    wait "$d_pid"; d_rc=$?
    e2e_check "$name: the echo client ended with an error, not a clean end" e2e_ended_in_error "$dir/echo.out" "$e_rc"
    e2e_check "$name:   and the error was a reset" e2e_ended_in_reset "$dir/echo.out" "$e_rc"
    e2e_check "$name: the source's client ended with an error, not a clean end" e2e_ended_in_error "$dir/source.out" "$d_rc"
    e2e_check "$name:   and the error was a reset" e2e_ended_in_reset "$dir/source.out" "$d_rc"
    if [ -n "$restart" ]; then
        twopc_log "fault $name: $restart"
        e2e_check "$name: restarted" $restart || return 1
    fi
    e2e_check "$name: A connected again" e2e_recover "$mark" || return 1
    e2e_check "$name: after recovery an echo of 1 MB comes back byte-exact" \
        e2e_client a transfer --port 9023 --bytes $((1024 * 1024)) --idle 30 --timeout 90
    e2e_check "$name: after recovery the 2 MB source arrives whole, then a clean end" \
        e2e_client a transfer --port 2401 --expect "$s/b/src/$TWOPC_SOURCE_SMALL" --idle 30 --timeout 90 --out "$dir/after.bin"
    e2e_check "$name:   same sha256" e2e_same_file "$s/b/src/$TWOPC_SOURCE_SMALL" "$dir/after.bin"
}

# The faults and their restarts, for e2e_fault.
e2e_kill() { local pid; pid=$(twopc_pid_of "$1"); [ -n "$pid" ] && kill -KILL "$pid"; }
e2e_restart_program_b() {
    local mark; mark=$(twopc_trace_mark b)
    twopc_wait_until 10 eval "! twopc_program_alive b" || return 1
    twopc_start_program b && twopc_wait_trace b '^LAMPS ' 30 "$mark"
}
e2e_restart_messengerd() {  # PC
    twopc_wait_until 10 eval "! twopc_alive $(twopc_pid_of "messengerd-$1")" || return 1
    twopc_start_messengerd "$1" && twopc_wait_messengerd "$1"
}
e2e_restart_prosody() {
    twopc_wait_until 10 eval "! twopc_alive $(twopc_pid_of prosody)" || return 1
    twopc_restart_prosody && twopc_wait_messengerd a && twopc_wait_messengerd b
}
e2e_link_a() { twopc_exec a ip link set ax "$1"; }   # up|down: A's end of its veth
e2e_restore_link_a() { e2e_link_a up && twopc_wait_messengerd a; }
