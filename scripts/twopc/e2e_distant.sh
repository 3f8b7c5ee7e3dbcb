#!/usr/bin/env bash
# Through a distant server: a delay element of 25 ms each way between each PC
# and Prosody (100 ms from A to B and back), at the IP level, so that each
# daemon's TCP connection to Prosody has the round trip of a real network.
# A 5 MB HTTP download, an FTP download and upload in passive mode and ten
# echo connections, every byte checked; the daemons carry the texts in
# compact form.
set -uo pipefail
export TWOPC_DELAY_MS=25 TWOPC_DELAY_AT=ip
source "$(dirname "$0")/e2e_lib.sh"

e2e_main() {
    local s=$TWOPC_SCRATCH i
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "streams in compact form" grep -q ', compact' "$s/pc-a/messengerd.log"
    e2e_check "5 MB GET through A's port 80" twopc_exec a curl -sS --max-time 120 -o "$s/http-a.bin" "http://127.0.0.1:80/$TWOPC_HTTP_FILE"
    e2e_check "  same sha256 as B's file" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/http-a.bin"
    e2e_ftp_curl_mode epsv EPSV
    for i in 1 2 3 4 5 6 7 8 9 10; do
        e2e_check "echo connection $i (64 KB)" e2e_client a transfer --port 9023 --bytes 65536 --timeout 60
    done
}
e2e_run "$@"
