#!/usr/bin/env bash
# The client application's lamps (isListening, isConnected, isPeerConnected,
# shown as L, C, P per service in A's "LAMPS" trace lines) as the connection
# goes up and down: nothing before the connect, L once the streams are up,
# C and P while a client holds a connection on 9023 (setting 4), L alone
# after it closes, nothing after the disconnect or when B's program ends.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_main() {
    local mark holder
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "before the connect: no lamp lit" e2e_wait_lamps a '^ 0:--- 0d:--- 1:--- 2:--- 3:--- 4:--- $' 10
    mark=$(twopc_trace_mark a)
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "streams up: L for every service" e2e_wait_lamps a ' 0:L.. .* 1:L.. 2:L.. 3:L.. 4:L.. $' 20 "$mark"
    e2e_check "  and no C or P yet" e2e_wait_lamps a ' 4:L-- $' 5 "$mark"
    mark=$(twopc_trace_mark a)
    e2e_client a hold --port 9023 --seconds 8 --timeout 20 &
    holder=$!
    # A stream carries one connection: while it does, its listener is off.
    e2e_check "a client on 9023: C and P for setting 4" e2e_wait_lamps a ' 4:.CP $' 8 "$mark"
    wait "$holder"
    e2e_check "  the client held its connection" [ $? -eq 0 ]
    mark=$(twopc_trace_mark a)
    e2e_check "the client has closed: setting 4 back to L" e2e_wait_lamps a ' 4:L-- $' 10 "$mark"
    mark=$(twopc_trace_mark a)
    e2e_check "connect button again disconnects" twopc_press_connect a
    e2e_check "  STREAM DOWN" twopc_wait_trace a '^STREAM DOWN' 20 "$mark"
    e2e_check "  no lamp lit" e2e_wait_lamps a '^ 0:--- 0d:--- 1:--- 2:--- 3:--- 4:--- $' 20 "$mark"
    mark=$(twopc_trace_mark a)
    e2e_check "connect again" e2e_connect
    e2e_check "  L again" e2e_wait_lamps a ' 1:L.. ' 20 "$mark"
    mark=$(twopc_trace_mark a)
    twopc_stop_program b
    e2e_check "B's program ends: A's lamps go out" e2e_wait_lamps a '^ 0:--- 0d:--- 1:--- 2:--- 3:--- 4:--- $' 60 "$mark"
}
e2e_run "$@"
