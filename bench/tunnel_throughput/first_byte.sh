#!/usr/bin/env bash
# The first byte of the first connection after the user connects, with and
# without direct paths (run by hand, as root; not part of ctest):
#
#   sudo bash bench/tunnel_throughput/first_byte.sh [RUNS]   (default 3)
#
# Each PC behind a home router, Prosody as Debian ships it with the tunnel
# accounts NOT exempted from its 10 kB/s limit, coturn behind its
# turn_external, D ms one way at the IP level between each router and the
# server (FIRST_DELAYS, default "25"). For direct_paths = no and = yes, RUNS
# times: the PCs come up, A connects, and as soon as A's streams are up one
# connection to the echo service (9023) measures the time from its connect
# to the first byte of the reply, while the daemons still look for their
# path. Prints the median and the runs, in ms.
set -uo pipefail
cd "$(dirname "$0")/../.."
[ "$(id -u)" = 0 ] || { echo "run as root" >&2; exit 1; }
RUNS=${1:-3}
export BUILD_DIR=${BUILD_DIR:-$PWD/build}
export TWOPC_QUIET=1
source scripts/twopc/lib.sh
trap 'twopc_down; rm -f /tmp/first_byte.$$' EXIT
BENCH=$PWD/bench/tunnel_throughput/bench.py
client() { twopc_exec "$1" timeout 120 python3 "$BENCH" "${@:2}"; }

# Prints the seconds to the first byte ("none" when the PCs did not come up).
first_after_connect() {
    if twopc_up && twopc_start_program b && twopc_start_program a &&
        twopc_wait_trace a 'CONNECTABLE pcb@' 30 && twopc_press_connect a &&
        twopc_wait_trace a 'LAMPS 0:L.. 0d:... 1:L.. 2:L.. 3:L.. 4:L' 30; then
        client a first-byte --port 9023 --count 1
    else
        echo none
    fi
    twopc_down
}

for d in ${FIRST_DELAYS-25}; do
    for direct in no yes; do
        times=()
        for ((i = 1; i <= RUNS; i++)); do
            TWOPC_DELAY_MS=$d TWOPC_DELAY_AT=ip TWOPC_PROSODY=limited TWOPC_TURN=1 TWOPC_NAT=home \
                TWOPC_DIRECT=$direct first_after_connect >/tmp/first_byte.$$ 2>/dev/null
            t=$(tail -1 /tmp/first_byte.$$)
            if [[ $t =~ ^[0-9.]+$ ]]; then times+=("$(awk -v s="$t" 'BEGIN { printf "%.0f", s * 1000 }')"); else times+=(none); fi
        done
        printf 'D = %s ms, direct_paths = %-3s  first byte: median %s ms (runs: %s)\n' "$d" "$direct" \
            "$(printf '%s\n' "${times[@]}" | sort -n | awk '{ a[NR] = $1 } END { print a[int((NR + 1) / 2)] }')" "${times[*]}"
    done
done
