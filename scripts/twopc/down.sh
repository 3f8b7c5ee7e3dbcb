#!/usr/bin/env bash
# Tears down what up.sh brought up (as root):
#   sudo bash scripts/twopc/down.sh STATEFILE      (KEEP=1 keeps the scratch dir)
#   sudo bash scripts/twopc/down.sh --all          every cvx-* run left behind: namespaces, their
#                                                  /etc/netns/<ns> and /tmp/cvx-* dirs whose creating
#                                                  shell has ended
#                                                  (also up.sh runs; runs of a live shell are left alone)
set -uo pipefail
source "$(dirname "$0")/lib.sh"

[ $# -eq 1 ] || { echo "usage: $0 STATEFILE | --all" >&2; exit 2; }
if [ "$1" = --all ]; then
    rc=0
    owner_alive() { [ -n "$1" ] && [ "$1" != $$ ] && kill -0 "$1" 2>/dev/null; }
    for st in /tmp/cvx-*/state.env; do
        [ -f "$st" ] || continue
        id=${st#/tmp/cvx-}; id=${id%%.*}
        if owner_alive "$id"; then echo "skipping $(dirname "$st"): its shell $id still runs"; continue; fi
        ( twopc_state_load "$st" && twopc_down ) || rc=1
    done
    # Namespaces whose scratch dir is already gone.
    for ns in $(ip netns list 2>/dev/null | awk '$1 ~ /^cvx-[0-9]+-([xaby]|c[0-9]+)$/ {print $1}'); do
        id=${ns#cvx-}; id=${id%-*}
        if owner_alive "$id"; then continue; fi
        pids=$(ip netns pids "$ns" 2>/dev/null)
        # shellcheck disable=SC2086
        [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
        ip netns del "$ns" || rc=1
        rm -rf "/etc/netns/$ns"
    done
    exit $rc
fi
twopc_state_load "$1" || exit 1
twopc_down
