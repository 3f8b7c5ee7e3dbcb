#!/usr/bin/env bash
# Brings the two PCs up and leaves them running (as root):
#   sudo bash scripts/twopc/up.sh [--programs] [--autoconnect]
#     --programs     also starts corvanefortcp on both PCs
#     --autoconnect  PC A's INI gets AUTOCONNECT=1, AUTOCONNECTUSER=pcb@corvane.test
# Prints the state file; tear down with: sudo bash scripts/twopc/down.sh STATEFILE
# When something fails on the way up, everything made so far is removed.
set -uo pipefail
source "$(dirname "$0")/lib.sh"

programs=0 autoconnect=0
for arg in "$@"; do
    case $arg in
        --programs) programs=1 ;;
        --autoconnect) autoconnect=1 ;;
        *) echo "usage: $0 [--programs] [--autoconnect]" >&2; exit 2 ;;
    esac
done

trap 'twopc_down' INT TERM
if ! twopc_up; then
    twopc_down
    exit 1
fi
if [ $autoconnect = 1 ]; then
    twopc_write_ini a AUTOCONNECT=1 "AUTOCONNECTUSER=$TWOPC_JID_B" || { twopc_down; exit 1; }
fi
if [ $programs = 1 ]; then
    if ! { twopc_start_program b && twopc_start_program a; }; then twopc_down; exit 1; fi
fi
trap - INT TERM
echo "TWOPC_STATE=$TWOPC_SCRATCH/state.env"
echo "  PC A: ip netns exec $TWOPC_NS_A ...   program dir $TWOPC_SCRATCH/pc-a"
echo "  PC B: ip netns exec $TWOPC_NS_B ...   program dir $TWOPC_SCRATCH/pc-b"
echo "  down: bash $TWOPC_LIB_DIR/down.sh $TWOPC_SCRATCH/state.env"
