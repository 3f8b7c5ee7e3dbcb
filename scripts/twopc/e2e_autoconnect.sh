#!/usr/bin/env bash
# The automatic connect: with AUTOCONNECT=1 and AUTOCONNECTUSER=pcb in A's INI
# file, A's streams come up without anyone pressing connect (the attempt runs
# once a minute), and a page goes through.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_main() {
    twopc_write_ini a AUTOCONNECT=1 "AUTOCONNECTUSER=$TWOPC_JID_B"
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "STREAM UP without a press (within 150 s)" twopc_wait_trace a '^STREAM UP' 150
    e2e_check "a page through A" eval "twopc_exec a curl -sS --max-time 30 http://127.0.0.1:80/index.html | grep -q 'PC B says hello'"
    local mark; mark=$(twopc_trace_mark a)
    twopc_stop_program b
    twopc_start_program b
    e2e_check "B restarted: A's streams go down" twopc_wait_trace a '^STREAM DOWN' 60 "$mark"
    e2e_check "  and come up again by themselves (within 150 s)" twopc_wait_trace a '^STREAM UP' 150 "$mark"
}
e2e_run "$@"
