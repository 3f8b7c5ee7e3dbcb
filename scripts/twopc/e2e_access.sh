#!/usr/bin/env bash
# Who may reach what. A hostile peer program (craftpeer.py, attached to the
# messenger in place of corvanefortcp) asks B's FTP stream for a data link to
# a port no FTP program announced, and asks A's client application to connect
# out; both are refused and the canary services behind them see nothing,
# while a data link to the port B's FTP server announced is still accepted.
# A's service ports answer on A's loopback only, unless LISTENADDRESS opens
# them. A messenger socket held by another user is refused by the program and
# by messengerd. Each refusal has its positive control.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

CANARY_PORT=2222

# e2e_canary PC: a TCP listener on the PC's 127.0.0.1:2222 that writes a line
# for every connection it accepts to <scratch>/canary-<pc>.log.
e2e_canary() {
    local log=$TWOPC_SCRATCH/canary-$1.log
    : >"$log"
    twopc_spawn "$1" "canary-$1" "$TWOPC_SCRATCH/canary-$1.out" python3 -c '
import socket, sys
s = socket.socket(); s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1]))); s.listen(8); s.settimeout(600)
while True:
    c, a = s.accept()
    open(sys.argv[2], "a").write("connection from %s:%d\n" % a); c.close()
' "$CANARY_PORT" "$log"
    twopc_wait_until 10 twopc_listening_tcp "$1" "127.0.0.1:$CANARY_PORT"
}
canary_untouched() { [ ! -s "$TWOPC_SCRATCH/canary-$1.log" ] || { sed 's/^/  canary: /' "$TWOPC_SCRATCH/canary-$1.log"; return 1; }; }

# e2e_craft PC OUT ARGS...: craftpeer.py in the PC's namespace, output to OUT.
e2e_craft() {
    local pc=$1 out=$2; shift 2
    twopc_exec "$pc" timeout 90 python3 "$TWOPC_LIB_DIR/craftpeer.py" --timeout 80 "$@" >"$out" 2>&1
    local rc=$?
    sed 's/^/  /' "$out"
    return $rc
}

# start_fresh PC: starts the PC's program and waits for its own first LAMPS
# line (the trace keeps the lines of earlier runs).
start_fresh() {
    local mark; mark=$(twopc_trace_mark "$1")
    twopc_start_program "$1" && twopc_wait_trace "$1" '^LAMPS ' 30 "$mark"
}

reachable() {  # PC ADDRESS PORT: a TCP connect from the PC succeeds
    twopc_exec "$1" timeout 5 python3 -c 'import socket,sys; socket.create_connection((sys.argv[1], int(sys.argv[2])), 3).close()' "$2" "$3" 2>/dev/null
}

peer_datalink() {
    local s=$TWOPC_SCRATCH
    e2e_canary b || return 1
    e2e_check "B's program attached" start_fresh b
    e2e_check "a data link to a port nobody announced is refused (no control connection)" \
        e2e_craft a "$s/craft-dl1.out" --app CorvaneForFtp0000 --expect r connect-to "$TWOPC_JID_B" \
        datalink-connect "$CANARY_PORT"
    e2e_check "  the service behind it saw no connection" canary_untouched b
    e2e_check "  B's event log says the d-link connect failed" \
        e2e_eventlog_has b "TCP接続要求\(d-link\): 127\.0\.0\.1 Port=$CANARY_PORT 接続に失敗"
    e2e_check "with a logged-in FTP control connection: unannounced refused, the announced port accepted" \
        e2e_craft a "$s/craft-dl2.out" --app CorvaneForFtp0000 --expect ara connect-to "$TWOPC_JID_B" \
        main-connect 21 ftp 'USER anonymous\r\n' 230 datalink-connect "$CANARY_PORT" pasv datalink-connect announced
    e2e_check "  the service behind the unannounced port saw no connection" canary_untouched b
    twopc_stop_program b
}

peer_client_connect() {
    local s=$TWOPC_SCRATCH pid rc
    e2e_canary a || return 1
    twopc_write_ini a FOWERDPORT2=$CANARY_PORT
    e2e_check "A's program attached" start_fresh a
    # The crafted B waits for A's stream of setting 1, asks A to connect
    # out, and keeps the stream open a while.
    twopc_exec b timeout 120 python3 "$TWOPC_LIB_DIR/craftpeer.py" --timeout 110 --app CorvaneForHttp000 \
        --expect r wait-for "$TWOPC_JID_A" main-connect 80 hold 10 >"$s/craft-main.out" 2>&1 &
    pid=$!
    e2e_connect_once
    twopc_wait_until 60 grep -q '^reply:' "$s/craft-main.out"
    e2e_check "  A's HTTP port listens after the request" e2e_listening a 80
    wait "$pid"; rc=$?
    sed 's/^/  /' "$s/craft-main.out"
    e2e_check "a CONNECT-REQUEST to the client application is refused" test "$rc" -eq 0
    e2e_check "  A's forward service saw no connection" canary_untouched a
    e2e_check "  A's event log says the connect failed" e2e_eventlog_has a "TCP接続要求: 127\.0\.0\.1 Port=$CANARY_PORT 接続に失敗"
    twopc_stop_program a
    twopc_write_ini a
}

# e2e_connect_once: presses A's connect button until A opens a stream of
# setting 1 (B's side answers it whoever runs there). Bounded (60 s).
e2e_connect_once() {
    local mark deadline=$((SECONDS + 60))
    mark=$(twopc_trace_mark a)
    while [ "$SECONDS" -lt "$deadline" ]; do
        twopc_press_connect a || return 1
        twopc_wait_trace a 'CorvaneForHttp000 STREAMS pcb' 6 "$mark" && return 0
    done
    return 1
}

tunnel_still_works() {
    local s=$TWOPC_SCRATCH
    e2e_check "both programs attached" eval "start_fresh b && start_fresh a" || return 1
    e2e_check "A connects to B" e2e_connect || return 1
    e2e_check "A's services listen" e2e_wait_lamps a ' 1:L.. 2:L.. 3:L.. 4:L.. $' 30
    e2e_check "A's HTTP port answers on A's loopback" reachable a 127.0.0.1 80
    e2e_check "  but not from A's network (the server's namespace, to $TWOPC_ADDR_A)" eval "! reachable x $TWOPC_ADDR_A 80"
    e2e_check "FTP passive through the tunnel" twopc_exec a curl -sS --max-time 120 -o "$s/acc-pasv.bin" "ftp://127.0.0.1:21/$TWOPC_FTP_FILE"
    e2e_check "  same sha256" e2e_same_file "$s/$TWOPC_FTP_FILE" "$s/acc-pasv.bin"
    e2e_check "FTP active through the tunnel" twopc_exec a curl -sS --max-time 120 --ftp-port 127.0.0.1 -o "$s/acc-port.bin" "ftp://127.0.0.1:21/$TWOPC_FTP_FILE"
    e2e_check "  same sha256" e2e_same_file "$s/$TWOPC_FTP_FILE" "$s/acc-port.bin"
    e2e_check "HTTP through the tunnel" eval "twopc_exec a curl -sS --max-time 30 http://127.0.0.1:80/index.html | grep -q 'PC B says hello'"
    twopc_stop_program a
    twopc_write_ini a LISTENADDRESS=0.0.0.0
    e2e_check "A's program back with LISTENADDRESS=0.0.0.0" start_fresh a
    e2e_check "  A connects to B" e2e_connect
    e2e_check "  A's HTTP port answers from A's network" twopc_wait_until 20 reachable x "$TWOPC_ADDR_A" 80
    e2e_check "  and a page comes through it" eval "twopc_exec x curl -sS --max-time 30 http://$TWOPC_ADDR_A:80/index.html | grep -q 'PC B says hello'"
    twopc_stop_program a
    twopc_write_ini a
}

# A process of another user takes the messenger's socket name in PC A.
other_user_messenger() {
    local s=$TWOPC_SCRATCH mark out rc
    out=$s/impostor.bytes
    twopc_stop_pid "$(twopc_pid_of messengerd-a)" 10
    : >"$out"; chmod 666 "$out"
    twopc_spawn a impostor "$s/impostor.out" setpriv --reuid=65534 --regid=65534 --clear-groups /usr/bin/python3 -c '
import socket, sys, time
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM); s.bind("\0SkypeControlAPI"); s.listen(4)
s.settimeout(1); end = time.monotonic() + 300
while time.monotonic() < end:
    try: c, _ = s.accept()
    except socket.timeout: continue
    c.settimeout(2)
    try: data = c.recv(65536)
    except socket.timeout: data = b""
    open(sys.argv[1], "ab").write(data); c.close()
' "$out"
    e2e_check "the impostor holds the socket" twopc_wait_until 10 twopc_listening_api a || return 1
    twopc_exec a timeout 20 "$MESSENGERD" --config "$s/pc-a/messengerd.conf" >"$s/messengerd-refused.out" 2>&1; rc=$?
    sed 's/^/  /' "$s/messengerd-refused.out" | head -5
    e2e_check "messengerd refuses to start beside another user's socket" test "$rc" -ne 0
    e2e_check "  and says so" grep -qi 'another user' "$s/messengerd-refused.out"
    mark=$(twopc_trace_mark a)
    twopc_start_program a
    e2e_check "A's program refuses the impostor (trace)" twopc_wait_trace a 'uid 65534' 20 "$mark"
    sleep 2
    e2e_check "  the impostor got no byte" test ! -s "$out"
    e2e_check "  A's event log says why" e2e_eventlog_has a 'uid=65534'
    twopc_stop_pid "$(twopc_pid_of impostor)" 5
    twopc_start_messengerd a
    e2e_check "with A's own messengerd back, A's program attaches" eval \
        "twopc_wait_messengerd a && twopc_wait_trace a 'status chenge 1' 30 $mark"
}

# E2E_PARTS picks parts by hand, e.g. E2E_PARTS=other_user_messenger.
e2e_main() {
    local part
    for part in ${E2E_PARTS:-peer_datalink peer_client_connect tunnel_still_works other_user_messenger}; do
        "$part"
    done
}
e2e_run "$@"
