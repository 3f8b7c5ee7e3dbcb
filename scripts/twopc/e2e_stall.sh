#!/usr/bin/env bash
# A client that sends its request and then reads nothing for 10 seconds (with
# a small receive buffer) still receives every byte of the 5 MB file.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_main() {
    local s=$TWOPC_SCRATCH
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "GET with a reader stalled 10 s" e2e_client a http-get --port 80 --path "/$TWOPC_HTTP_FILE" \
        --stall 10 --rcvbuf 4096 --timeout 150 --out "$s/stalled.bin"
    e2e_check "  every byte, same sha256" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/stalled.bin"
    e2e_check "the tunnel still works afterwards" e2e_client a echo --port 9023 --bytes 4096 --timeout 30
}
e2e_run "$@"
