#!/usr/bin/env bash
# Runs end-to-end tests, each in a two-PC harness of its own (as root):
#   sudo bash scripts/twopc/run-e2e.sh                 # every e2e_*.sh
#   sudo bash scripts/twopc/run-e2e.sh tunnel faults   # e2e_tunnel.sh, e2e_faults.sh
#   sudo bash scripts/twopc/run-e2e.sh selftest        # the harness self-test
# Settings: BUILD_DIR, CORVANE_BIN, MESSENGERD, KEEP=1 (see lib.sh).
# Output of each test goes to the terminal and to $E2E_LOGDIR/<name>.log
# (default /tmp/twopc-e2e-logs). Exit 0 when all passed, 77 when all were
# skipped, 1 otherwise.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
logdir=${E2E_LOGDIR:-/tmp/twopc-e2e-logs}
mkdir -p "$logdir"

tests=()
if [ $# -eq 0 ]; then
    for f in "$here"/e2e_*.sh; do [ "$(basename "$f")" = e2e_lib.sh ] || tests+=("$f"); done
else
    for n in "$@"; do
        case $n in
            selftest) tests+=("$here/selftest.sh") ;;
            *) f=$here/e2e_${n#e2e_}; f=${f%.sh}.sh
               [ -f "$f" ] || { echo "no test $f" >&2; exit 2; }
               tests+=("$f") ;;
        esac
    done
fi

passed=() failed=() skipped=()
for t in "${tests[@]}"; do
    name=$(basename "$t" .sh)
    echo "=== $name"
    # Each test has a hard limit on top of its own bounded waits.
    timeout -k 10 900 bash "$t" 2>&1 | tee "$logdir/$name.log"
    rc=${PIPESTATUS[0]}
    case $rc in
        0) passed+=("$name") ;;
        77) skipped+=("$name") ;;
        *) failed+=("$name($rc)") ;;
    esac
done

echo "=== summary: ${#passed[@]} passed, ${#failed[@]} failed, ${#skipped[@]} skipped (logs in $logdir)"
[ ${#passed[@]} -eq 0 ] || echo "passed:  ${passed[*]}"
[ ${#failed[@]} -eq 0 ] || echo "failed:  ${failed[*]}"
[ ${#skipped[@]} -eq 0 ] || echo "skipped: ${skipped[*]}"
[ ${#failed[@]} -eq 0 ] || exit 1
[ ${#passed[@]} -gt 0 ] || exit 77
exit 0
