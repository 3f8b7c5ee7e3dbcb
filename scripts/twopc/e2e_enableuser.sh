#!/usr/bin/env bash
# The server application's accept policy. B has two contacts, pc0 (sorted
# first, so selected) and pca. With ENABLEUSER=0 a stream from pca, who is not
# the selected contact, is refused: nothing reaches B's HTTP server and A is
# left without streams. With ENABLEUSER=1 the same connect is accepted.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_setup() { TWOPC_EXTRA_CONTACT=1; }

http_log_mark() { wc -l <"$TWOPC_SCRATCH/b/http.log"; }
b_served_since() { tail -n +"$(($1 + 1))" "$TWOPC_SCRATCH/b/http.log" | grep -q '"GET /index.html'; }
a_stream_up_now() {  # the newest STREAM line after MARK says UP
    tail -n +"$(($1 + 1))" "$(twopc_trace a)" | LC_ALL=C grep -a '^STREAM ' | tail -n1 | grep -q '^STREAM UP'
}

e2e_main() {
    local mark hmark
    e2e_check "B's friends: pc0 first, then pca" eval \
        "twopc_api b command 'SEARCH FRIENDS' '^USERS ' | grep -qx 'USERS $TWOPC_JID_C, $TWOPC_JID_A'"
    twopc_write_ini b ENABLEUSER=0
    e2e_check "programs attached (B: ENABLEUSER=0)" e2e_start_programs || return 1
    mark=$(twopc_trace_mark a)
    hmark=$(http_log_mark)
    # One press only: a second one would disconnect a stream that is up.
    sleep 5
    e2e_check "A presses connect" twopc_press_connect a
    sleep 10
    e2e_check "ENABLEUSER=0: a page through A fails" eval "! twopc_exec a curl -sS --max-time 10 -o /dev/null http://127.0.0.1:80/index.html"
    e2e_check "  B's HTTP server got no request" eval "! b_served_since $hmark"
    e2e_check "  A has no stream up" eval "! a_stream_up_now $mark"

    twopc_stop_program b
    twopc_write_ini b ENABLEUSER=1
    twopc_start_program b
    e2e_check "B's program back (ENABLEUSER=1)" twopc_wait_trace b '^LAMPS ' 30 "$(twopc_trace_mark b)"
    hmark=$(http_log_mark)
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "ENABLEUSER=1: a page through A" eval "twopc_exec a curl -sS --max-time 30 http://127.0.0.1:80/index.html | grep -q 'PC B says hello'"
    e2e_check "  B's HTTP server got the request" b_served_since "$hmark"
}
e2e_run "$@"
