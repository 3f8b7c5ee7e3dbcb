#!/usr/bin/env bash
# Ends that are not aborts. A client that sends, shuts down its sending side
# (SHUT_WR) and reads the answer gets all of it, then a clean end: 2 MB
# through B's echo with tcpclient.py, 256 KB with socat as the client. A
# source on B that sends its file and ends in order: the client on A gets
# every byte, then a clean end (EOF), not a reset.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

# socat as the client on A: IN to the echo; at the end of its input it shuts
# its sending side down and goes on reading into OUT; -t 30 lets it wait for
# the answer longer than its default 0.5 s.
socat_echo() { twopc_exec a timeout 90 socat -t 30 - TCP:127.0.0.1:9023 <"$1" >"$2"; }

e2e_main() {
    local s=$TWOPC_SCRATCH
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "2 MB to the echo, SHUT_WR after the last byte: 2 MB back, then a clean end" \
        e2e_client a transfer --port 9023 --bytes $((2 * 1024 * 1024)) --half-close --idle 30 --timeout 120
    head -c $((256 * 1024)) /dev/urandom >"$s/socat-in.bin"
    e2e_check "socat client: 256 KB sent, end of input, the echo read to its end" \
        socat_echo "$s/socat-in.bin" "$s/socat-out.bin"
    e2e_check "  same sha256 as sent" e2e_same_file "$s/socat-in.bin" "$s/socat-out.bin"
    e2e_check "the 2 MB source: every byte, then a clean end" \
        e2e_client a transfer --port 2401 --expect "$s/b/src/$TWOPC_SOURCE_SMALL" --idle 30 --timeout 90 --out "$s/source-small.got"
    e2e_check "  same sha256" e2e_same_file "$s/b/src/$TWOPC_SOURCE_SMALL" "$s/source-small.got"
    e2e_check "the tunnel still works afterwards" e2e_client a echo --port 9023 --bytes 4096 --timeout 30
}
e2e_run "$@"
