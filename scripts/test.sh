#!/usr/bin/env bash
# Installs what is missing, builds the program and the tests, and runs the
# whole suite: once in a normal build, once under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the threaded TCP tests under ThreadSanitizer;
# then every fuzz target for a short time (scripts/fuzz.sh).
# Usage: bash scripts/test.sh   (as root, or a user who may sudo apt-get;
# the tests that need network namespaces skip themselves without root)
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=${JOBS:-$(nproc)}
status=0

configure_and_build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== normal build"
configure_and_build build
ctest --test-dir build --output-on-failure || status=1

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build-asan -DCORVANE_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  ctest --test-dir build-asan --output-on-failure || status=1

if [ -f tests/tcp/CMakeLists.txt ]; then
  echo "== ThreadSanitizer (TCP side)"
  cmake -S . -B build-tsan -DCORVANE_SANITIZE=thread >/dev/null
  cmake --build build-tsan -j "$jobs" --target tcp_tests
  TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build-tsan -L tcp --output-on-failure || status=1
fi

echo "== fuzz targets (clang, 15 s each)"
JOBS=$jobs bash scripts/fuzz.sh --time 15 || status=1

if [ $status -eq 0 ]; then echo "ALL TESTS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status
