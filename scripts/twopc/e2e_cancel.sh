#!/usr/bin/env bash
# A cancelled big transfer leaves the service usable. A client asks a large
# transfer (30 MB to the echo on 9023, a 50 MB download on 80), reads 100 KB,
# reads nothing for 20 s and closes with data unread (its kernel resets the
# connection). Within 30 s A's port listens again (lamp L) and the next
# transfer through it is intact: a 1 MB echo byte-exact, a 5 MB download
# with the same sha256 as B's file.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_main() {
    local s=$TWOPC_SCRATCH
    head -c $((50 * 1024 * 1024)) /dev/urandom >"$s/b/www/huge.bin" && chmod 644 "$s/b/www/huge.bin"
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "echo of 1 MB before the cancel" e2e_client a echo --port 9023 --bytes $((1024 * 1024)) --timeout 60

    e2e_check "30 MB to the echo, 100 KB read, 20 s stall, closed with data unread" \
        e2e_client a cancel --port 9023 --bytes $((30 * 1024 * 1024)) --read 102400 --stall 20 --timeout 90
    e2e_check "  A's port 9023 listens again within 30 s" twopc_wait_until 30 e2e_listening a 9023
    e2e_check "  lamp of setting 4 back to L" e2e_lamps_now a ' 4:L-- $' 10
    e2e_check "  an echo of 1 MB comes back byte-exact" e2e_client a echo --port 9023 --bytes $((1024 * 1024)) --timeout 60

    e2e_check "GET of 50 MB, 100 KB read, 20 s stall, closed with data unread" \
        e2e_client a cancel --port 80 --get /huge.bin --read 102400 --stall 20 --timeout 90
    e2e_check "  A's port 80 listens again within 30 s" twopc_wait_until 30 e2e_listening a 80
    e2e_check "  lamp of setting 1 back to L" e2e_lamps_now a ' 1:L-- ' 10
    e2e_check "  a 5 MB GET through A's port 80" twopc_exec a curl -sS --max-time 120 -o "$s/after-cancel.bin" "http://127.0.0.1:80/$TWOPC_HTTP_FILE"
    e2e_check "    same sha256 as B's file" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/after-cancel.bin"
}
e2e_run "$@"
