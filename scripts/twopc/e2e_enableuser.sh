#!/usr/bin/env bash
# The server application's accept policy. B has two contacts, pc0 (sorted
# first, so selected) and pca. With ENABLEUSER=0 a stream from pca, who is not
# the selected contact, is refused: nothing reaches B's HTTP server and A is
# left without streams. With ENABLEUSER=1 the same connect is accepted.
set -uo pipefail
source "$(dirname "$0")/e2e_lib.sh"

e2e_setup() { TWOPC_EXTRA_CONTACT=1; }

e2e_main() { e2e_accept_policy; }
e2e_run "$@"
