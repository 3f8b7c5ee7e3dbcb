#!/usr/bin/env bash
# The tunnel in the default world (one Prosody, real services on PC B, real
# clients on PC A), with B's extra contact pc0 for the accept policy; one
# walk through:
#   accept   B's accept policy (e2e_accept_policy): with ENABLEUSER=0 the
#            stream of pca, who is not B's selected contact, is refused and
#            nothing reaches B; with ENABLEUSER=1 the same connect is accepted
#   lamps    A's lamps (isListening, isConnected, isPeerConnected: L, C, P per
#            service in its "LAMPS" trace lines): none before the connect, L
#            once the streams are up, C and P while a client holds 9023
#            (setting 4), L alone after it closes, none after the disconnect
#   http     setting 1 (A's 127.0.0.1:80 -> B's HTTP server): a page and a
#            5 MB file, sha256-equal to B's copy
#   echo     ten connections in a row to A's 9023, each getting back exactly
#            the bytes it sent
#   ftp      a binary file holding every byte value down and up through A's
#            port 21 with curl and lftp in their default and other modes,
#            sha256-equal, and B's vsftpd saw the data-connection command
#            each mode must use
#   stall    a client that sends its request and then reads nothing for 10 s
#            (small receive buffer) still receives every byte of 5 MB
#   halfclose  a client that shuts down its sending side (SHUT_WR) gets the
#            whole answer, then a clean end (tcpclient.py and socat); a source
#            that sends its file and ends in order gives every byte, then EOF
#   cancel   a big transfer (30 MB echo, 50 MB download) read 100 KB, stalled
#            20 s and closed with data unread: A's port listens again within
#            30 s (lamp L) and the next transfer through it is intact
# and last, B's program ends: A's lamps go out.
# E2E_PARTS picks parts by hand, e.g. E2E_PARTS="http ftp".
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

NO_LAMP='^ 0:--- 0d:--- 1:--- 2:--- 3:--- 4:--- $'

lamps() {
    local mark holder
    mark=$(twopc_trace_mark a)
    e2e_check "connect button again disconnects" twopc_press_connect a
    e2e_check "  STREAM DOWN" twopc_wait_trace a '^STREAM DOWN' 20 "$mark"
    e2e_check "  no lamp lit" e2e_wait_lamps a "$NO_LAMP" 20 "$mark"
    mark=$(twopc_trace_mark a)
    e2e_check "connect again" e2e_connect || return 1
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
}

http() {
    local s=$TWOPC_SCRATCH
    e2e_check "page through A's port 80" eval "twopc_exec a curl -sS --max-time 30 http://127.0.0.1:80/index.html | grep -q 'PC B says hello'"
    e2e_check "5 MB GET through A's port 80" twopc_exec a curl -sS --max-time 120 -o "$s/http-a.bin" "http://127.0.0.1:80/$TWOPC_HTTP_FILE"
    e2e_check "  same sha256 as B's file" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/http-a.bin"
}

echo10() {
    local i
    for i in 1 2 3 4 5 6 7 8 9 10; do
        e2e_check "echo connection $i (64 KB)" e2e_client a transfer --port 9023 --bytes 65536 --timeout 60
    done
}

lftp_mode() {  # NAME ERE SETTINGS
    local name=$1 cmd=$2 settings=$3
    local s=$TWOPC_SCRATCH src=$TWOPC_SCRATCH/$TWOPC_FTP_FILE mark
    mark=$(e2e_ftp_log_mark)
    e2e_check "lftp $name: get and put" twopc_exec a timeout 180 lftp -c \
        "set net:max-retries 1; set net:timeout 20; $settings open ftp://127.0.0.1:21; get $TWOPC_FTP_FILE -o $s/lftp-$name.bin; put $src -o upload/lftp-$name.bin"
    e2e_check "  download same sha256" e2e_same_file "$src" "$s/lftp-$name.bin"
    e2e_check "  upload same sha256 on B" e2e_same_file "$src" "$s/b/ftp/upload/lftp-$name.bin"
    e2e_check "  B's server saw $cmd" e2e_ftp_log_saw "$mark" "$cmd"
}

ftp() {
    e2e_check "test file holds every byte value" e2e_has_every_byte "$TWOPC_SCRATCH/$TWOPC_FTP_FILE"
    e2e_ftp_curl_mode epsv EPSV                                   # curl's default
    e2e_ftp_curl_mode pasv PASV --disable-epsv                    # 227 reply
    e2e_ftp_curl_mode eprt EPRT --ftp-port 127.0.0.1              # active, extended
    e2e_ftp_curl_mode port 'PORT ' --ftp-port 127.0.0.1 --disable-eprt   # active, old form
    lftp_mode default 'EPSV|PASV' ''
    lftp_mode epsv EPSV 'set ftp:prefer-epsv yes;'
    lftp_mode active 'EPRT|PORT ' 'set ftp:passive-mode no;'
}

stall() {
    local s=$TWOPC_SCRATCH
    e2e_check "GET with a reader stalled 10 s" e2e_client a http-get --port 80 --path "/$TWOPC_HTTP_FILE" \
        --stall 10 --rcvbuf 4096 --timeout 150 --out "$s/stalled.bin"
    e2e_check "  every byte, same sha256" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/stalled.bin"
    e2e_check "the tunnel still works afterwards" e2e_client a transfer --port 9023 --bytes 4096 --timeout 30
}

# socat as the client on A: IN to the echo; at the end of its input it shuts
# its sending side down and goes on reading into OUT; -t 30 lets it wait for
# the answer longer than its default 0.5 s.
socat_echo() { twopc_exec a timeout 90 socat -t 30 - TCP:127.0.0.1:9023 <"$1" >"$2"; }

halfclose() {
    local s=$TWOPC_SCRATCH
    e2e_check "2 MB to the echo, SHUT_WR after the last byte: 2 MB back, then a clean end" \
        e2e_client a transfer --port 9023 --bytes $((2 * 1024 * 1024)) --half-close --idle 30 --timeout 120
    head -c $((256 * 1024)) /dev/urandom >"$s/socat-in.bin"
    e2e_check "socat client: 256 KB sent, end of input, the echo read to its end" \
        socat_echo "$s/socat-in.bin" "$s/socat-out.bin"
    e2e_check "  same sha256 as sent" e2e_same_file "$s/socat-in.bin" "$s/socat-out.bin"
    e2e_check "the 2 MB source: every byte, then a clean end" \
        e2e_client a transfer --port 2401 --expect "$s/b/src/$TWOPC_SOURCE_SMALL" --idle 30 --timeout 90 --out "$s/source-small.got"
    e2e_check "  same sha256" e2e_same_file "$s/b/src/$TWOPC_SOURCE_SMALL" "$s/source-small.got"
    e2e_check "the tunnel still works afterwards" e2e_client a transfer --port 9023 --bytes 4096 --timeout 30
}

cancel() {
    local s=$TWOPC_SCRATCH
    head -c $((50 * 1024 * 1024)) /dev/urandom >"$s/b/www/huge.bin" && chmod 644 "$s/b/www/huge.bin"
    e2e_check "echo of 1 MB before the cancel" e2e_client a transfer --port 9023 --bytes $((1024 * 1024)) --timeout 60
    e2e_check "30 MB to the echo, 100 KB read, 20 s stall, closed with data unread" \
        e2e_client a cancel --port 9023 --bytes $((30 * 1024 * 1024)) --read 102400 --stall 20 --timeout 90
    e2e_check "  A's port 9023 listens again within 30 s" twopc_wait_until 30 e2e_listening a 9023
    e2e_check "  lamp of setting 4 back to L" e2e_lamps_now a ' 4:L-- $' 10
    e2e_check "  an echo of 1 MB comes back byte-exact" e2e_client a transfer --port 9023 --bytes $((1024 * 1024)) --timeout 60

    e2e_check "GET of 50 MB, 100 KB read, 20 s stall, closed with data unread" \
        e2e_client a cancel --port 80 --get /huge.bin --read 102400 --stall 20 --timeout 90
    e2e_check "  A's port 80 listens again within 30 s" twopc_wait_until 30 e2e_listening a 80
    e2e_check "  lamp of setting 1 back to L" e2e_lamps_now a ' 1:L-- ' 10
    e2e_check "  a 5 MB GET through A's port 80" twopc_exec a curl -sS --max-time 120 -o "$s/after-cancel.bin" "http://127.0.0.1:80/$TWOPC_HTTP_FILE"
    e2e_check "    same sha256 as B's file" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/after-cancel.bin"
}

e2e_setup() { TWOPC_EXTRA_CONTACT=1; }

e2e_main() {
    local part mark
    # Programs started, no lamp lit before the connect, A refused, then
    # accepted: A's streams are up.
    e2e_accept_policy || return 1
    e2e_check "streams up: L for every service" e2e_wait_lamps a ' 0:L.. .* 1:L.. 2:L.. 3:L.. 4:L.. $' 20
    for part in ${E2E_PARTS:-lamps http echo10 ftp stall halfclose cancel}; do
        echo "== $part"
        "$part" || return 1
    done
    mark=$(twopc_trace_mark a)
    twopc_stop_program b
    e2e_check "B's program ends: A's lamps go out" e2e_wait_lamps a "$NO_LAMP" 60 "$mark"
}
e2e_run "$@"
