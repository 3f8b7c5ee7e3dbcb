#!/usr/bin/env bash
# Fault run, the messenger's side: mid-transfer, A's messengerd, then B's
# messengerd, then Prosody is killed (SIGKILL) and started again. Each time
# the clients on A (a 20 MB echo and the 20 MB source, both counting bytes)
# end with an error, as a reset, never with a clean end before the last
# byte; after recovery the next transfers are intact.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_main() {
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_fault messengerd-a-killed "e2e_kill messengerd-a" "e2e_restart_messengerd a" || return 1
    e2e_fault messengerd-b-killed "e2e_kill messengerd-b" "e2e_restart_messengerd b" || return 1
    e2e_fault prosody-killed "e2e_kill prosody" e2e_restart_prosody || return 1
}
e2e_run "$@"
