#!/usr/bin/env bash
# The fault run: mid-transfer, A's streams are closed with the connect
# button; B's program, A's messengerd, B's messengerd and Prosody are each
# killed (SIGKILL) and started again; A's link to the server goes down
# silently (no FIN: A's end of its veth) until the clients have ended, then
# comes back. Each time the clients on A (a 20 MB
# echo and the 20 MB source, both counting bytes, neither with a length
# field) end with an error, as a reset, never with a clean end before the
# last byte; after recovery the next transfers are intact (see e2e_fault).
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_main() {
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_fault stream-closed "twopc_press_connect a" "" || return 1
    e2e_fault program-b-killed "e2e_kill program-b" e2e_restart_program_b || return 1
    e2e_fault messengerd-a-killed "e2e_kill messengerd-a" "e2e_restart_messengerd a" || return 1
    e2e_fault messengerd-b-killed "e2e_kill messengerd-b" "e2e_restart_messengerd b" || return 1
    e2e_fault prosody-killed "e2e_kill prosody" e2e_restart_prosody || return 1
    e2e_fault link-a-cut "e2e_link_a down" e2e_restore_link_a || return 1
}
e2e_run "$@"
