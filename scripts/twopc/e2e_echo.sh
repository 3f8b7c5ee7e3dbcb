#!/usr/bin/env bash
# Ten connections in a row to A's port 9023 (B's echo service), each getting
# back exactly the bytes it sent.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_main() {
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    local i
    for i in 1 2 3 4 5 6 7 8 9 10; do
        e2e_check "echo connection $i (64 KB)" e2e_client a echo --port 9023 --bytes 65536 --timeout 60
    done
}
e2e_run "$@"
