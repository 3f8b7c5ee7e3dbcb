#!/usr/bin/env bash
# The link between PC A and the server goes down (A's end of its veth).
#
# Short break: 3 s in the middle of an HTTP download. The TCP connections
# survive it; nothing may be reported lost and every byte must arrive.
#
# Long break: 45 s. A's messengerd checks its server connection (a ping
# after 5 quiet seconds, given up when 10 s pass without an answer) and must
# report it lost well within the break: its log says so, and A's program
# sees its streams down and its messenger offline (USERSTATUS OFFLINE, code
# 3). B's messengerd gives up the stream whose peer no longer
# answers (answer_timeout, 8 s here, twice: the text, then the probe), so
# B's program sees its streams down too before the link is back. Then the
# link comes back: A's daemon logs in again, A connects to B again and a
# download and an echo connection go through intact.
set -uo pipefail
export TWOPC_ANSWER_TIMEOUT=8
source "$(dirname "$0")/e2e_lib.sh"

LONG_BREAK=45      # seconds the link stays down
A_BOUND=25         # A's daemon must report the loss within this
B_BOUND=40         # and B's program must see its streams down within this

# new_log_has PC LINES ERE: a line of PC's messengerd log after line LINES matches.
new_log_has() {
    tail -n +"$(($2 + 1))" "$TWOPC_SCRATCH/pc-$1/messengerd.log" | grep -Eq -- "$3"
}

log_lines() { wc -l <"$TWOPC_SCRATCH/pc-$1/messengerd.log"; }

short_break() {
    local s=$TWOPC_SCRATCH mark_a mark_b lines_a lines_b pid rc
    mark_a=$(twopc_trace_mark a) mark_b=$(twopc_trace_mark b)
    lines_a=$(log_lines a) lines_b=$(log_lines b)
    # About 13 s at 400 kB/s; the break comes 4 s in.
    twopc_exec a curl -sS --max-time 90 --limit-rate 400k -o "$s/short.bin" \
        "http://127.0.0.1:80/$TWOPC_HTTP_FILE" &
    pid=$!
    sleep 4
    e2e_link_a down
    sleep 3
    e2e_link_a up
    wait "$pid"; rc=$?
    e2e_check "short break: download finished" test "$rc" -eq 0
    e2e_check "  same sha256 as B's file" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/short.bin"
    e2e_check "  A's daemon kept its server connection" eval "! new_log_has a $lines_a 'server connection (lost|ended)'"
    e2e_check "  B's daemon kept its server connection" eval "! new_log_has b $lines_b 'server connection (lost|ended)'"
    e2e_check "  A's streams stayed up" eval "! twopc_trace_has a '^STREAM DOWN' $mark_a"
    e2e_check "  B's streams stayed up" eval "! twopc_trace_has b '^STREAM DOWN' $mark_b"
}

long_break() {
    local s=$TWOPC_SCRATCH mark_a mark_b lines_a t0 took
    mark_a=$(twopc_trace_mark a) mark_b=$(twopc_trace_mark b)
    lines_a=$(log_lines a)
    t0=$SECONDS
    e2e_link_a down
    if e2e_check "long break: A's daemon reports the loss within ${A_BOUND} s" \
        twopc_wait_until "$A_BOUND" new_log_has a "$lines_a" 'server connection lost: no answer to ping within 10 s'; then
        took=$((SECONDS - t0))
        echo "     (after about ${took} s)"
    fi
    e2e_check "  A's program sees its streams down" twopc_wait_trace a '^STREAM DOWN' 5 "$mark_a"
    e2e_check "  A's daemon closed its streams as for a lost server" new_log_has a "$lines_a" 'lost the server connection'
    e2e_check "  A's program is told its messenger is offline" twopc_wait_trace a '^->\(0\): USERSTATUS OFFLINE' 5 "$mark_a"
    if e2e_check "  B's program sees its streams down within ${B_BOUND} s" \
        twopc_wait_trace b '^STREAM DOWN' $((t0 + B_BOUND - SECONDS)) "$mark_b"; then
        echo "     (after about $((SECONDS - t0)) s)"
    fi
    e2e_check "  the link was down all along" test $((SECONDS - t0)) -lt "$LONG_BREAK"
    sleep $((t0 + LONG_BREAK - SECONDS))
    lines_a=$(log_lines a)
    e2e_link_a up
    t0=$SECONDS
    if e2e_check "A's daemon is online again within 30 s of the link" \
        twopc_wait_until 30 new_log_has a "$lines_a" 'online as '; then
        echo "     (after about $((SECONDS - t0)) s)"
    fi
    e2e_check "A connects to B again" e2e_connect || return 1
    e2e_check "5 MB GET after the break" twopc_exec a curl -sS --max-time 120 -o "$s/after.bin" \
        "http://127.0.0.1:80/$TWOPC_HTTP_FILE"
    e2e_check "  same sha256 as B's file" e2e_same_file "$s/b/www/$TWOPC_HTTP_FILE" "$s/after.bin"
    e2e_check "echo connection after the break (64 KB)" e2e_client a transfer --port 9023 --bytes 65536 --timeout 60
}

e2e_main() {
    e2e_check "programs attached" e2e_start_programs || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    short_break
    long_break
}
e2e_run "$@"
