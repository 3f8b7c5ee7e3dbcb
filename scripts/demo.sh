#!/usr/bin/env bash
# The main job: installs what is missing, builds, and runs the program.
# (Until the two-PC harness exists this starts the program in debug mode in a
# scratch program directory, shows its trace for a few seconds and stops it.)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target corvanefortcp

work=$(mktemp -d /tmp/corvane-demo.XXXXXX)
trap 'rm -rf "$work"' EXIT
ln -s "$PWD/build/bin/corvanefortcp" "$work/corvanefortcp"
"$work/corvanefortcp" -D119 &
pid=$!
sleep 3
kill -TERM "$pid"
wait "$pid"
echo
echo "program directory was $work:"
ls -l "$work"
