#!/usr/bin/env bash
# Through setting 1 (A's 127.0.0.1:80 -> B's HTTP server): a page and a 5 MB
# file, sha256-equal to B's copy.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_main() {
    local s=$TWOPC_SCRATCH
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "page through A's port 80" eval "twopc_exec a curl -sS --max-time 30 http://127.0.0.1:80/index.html | grep -q 'PC B says hello'"
    e2e_check "5 MB GET through A's port 80" twopc_exec a curl -sS --max-time 120 -o "$s/http-a.bin" "http://127.0.0.1:80/$TWOPC_HTTP_FILE"
    e2e_check "  same sha256 as B's file" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/http-a.bin"
}
e2e_run "$@"
