#!/usr/bin/env bash
# Installs what is missing, checks the formatting, builds the program and the
# tests with warnings as errors, and runs the whole suite: once in a normal
# build, once under AddressSanitizer and UndefinedBehaviorSanitizer, and every
# threaded test (TCP, tunnel, model, messenger) under ThreadSanitizer; then
# every fuzz target for a short time (scripts/fuzz.sh). After the normal
# build, the Debian package is built, checked and tried in a throwaway root
# (scripts/package.sh, scripts/package-smoke.sh).
# Usage: bash scripts/test.sh   (as root, or a user who may sudo apt-get;
# the tests that need network namespaces skip themselves without root)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=${JOBS:-$(nproc)}
status=0

configure_and_build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== normal build"
configure_and_build build
cmake --build build --target format-check || status=1
ctest --test-dir build --output-on-failure || status=1

echo "== Debian package"
# The smoke test skips itself (77) without root, like the namespace tests.
JOBS=$jobs bash scripts/package.sh && { bash scripts/package-smoke.sh dist/corvanefortcp_*.deb || [ $? -eq 77 ]; } \
  || status=1

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build-asan -DCORVANE_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  ctest --test-dir build-asan --output-on-failure || status=1

echo "== ThreadSanitizer (the threaded tests: TCP, tunnel, model, messenger)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON -DCORVANE_SANITIZE=thread >/dev/null
cmake --build build-tsan -j "$jobs" --target tcp_tests tunnel_tests model_tests messenger_tests messengerd
# Reports go to files, so that one from a messengerd the tests started (whose
# output lies in a temporary directory) is not lost.
rm -rf build-tsan/reports && mkdir -p build-tsan/reports
TSAN_OPTIONS="halt_on_error=1 log_path=$PWD/build-tsan/reports/tsan" \
  ctest --test-dir build-tsan -L 'tcp|tunnel|model|messenger' --output-on-failure || status=1
if compgen -G "build-tsan/reports/tsan*" >/dev/null; then
  cat build-tsan/reports/tsan*
  status=1
fi

echo "== fuzz targets (clang, 15 s each)"
JOBS=$jobs bash scripts/fuzz.sh --time 15 || status=1

if [ $status -eq 0 ]; then echo "ALL TESTS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status
