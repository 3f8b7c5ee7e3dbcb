#!/usr/bin/env bash
# The test suite. Installs what is missing and builds with warnings as errors.
#
#   bash scripts/test.sh          the full run (what CI runs)
#   bash scripts/test.sh --quick  the normal build and its tests without the
#                                 end-to-end ones: the edit-build-test loop
#
# What each build runs, and why:
#   normal      built as the Debian package is (Debian's hardening flags,
#               scripts/debian-flags.sh): the format check, then every test
#               but the end-to-end ones.
#   package     made from the normal build's tree, so it holds the programs
#               the tests ran and nothing is compiled twice; checked by lintian
#               and tried in a throwaway root (package.sh, package-smoke.sh).
#   ASan+UBSan  every test, the end-to-end ones included. The end-to-end tests
#               run here only: they drive the same programs as in the normal
#               build, and under the sanitizers a memory fault on their paths
#               is reported, not just a wrong result.
#   TSan        the tests of the threaded code (TCP, tunnel, model, messenger).
#   fuzz        every libFuzzer target for 15 s, two at a time (scripts/fuzz.sh).
# The sanitizer builds use -O1 -g1 (line tables for the reports), which
# compiles in about a third of the CPU time of -O2 -g.
# Every build goes through ccache with paths taken relative to the clone, so a
# second clone in another folder reuses the first one's objects; tests run in
# parallel (ctest -j), the end-to-end ones in network namespaces of their own.
# The tests that need network namespaces skip themselves (77) without root.
# Usage as root, or a user who may sudo apt-get. JOBS sets the parallelism.
set -euo pipefail
cd "$(dirname "$0")/.."

quick=0
case "${1:-}" in
  --quick) quick=1 ;;
  "") ;;
  *) echo "usage: bash scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

bash scripts/install-deps.sh

jobs=${JOBS:-$(nproc)}
status=0
started=$SECONDS

# ccache: the compile commands hold paths relative to the clone (base_dir)
# and not the build directory's own path (hash_dir), so that every clone's
# build trees share the cache.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=true
launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

step() { echo "== $* ($((SECONDS - started)) s)"; }

# shellcheck source=scripts/debian-flags.sh
source scripts/debian-flags.sh
sanitizer_flags=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O1 -g1 -DNDEBUG")

configure_and_build() {  # dir, extra cmake args...
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON "${launcher[@]}" "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

step "normal build"
configure_and_build build "${debian_cmake_args[@]}"
cmake --build build --target format-check || status=1
step "normal build: tests (without the end-to-end ones)"
ctest --test-dir build -j "$jobs" -LE e2e --output-on-failure || status=1

if [ $quick -eq 1 ]; then
  step "done"
  if [ $status -eq 0 ]; then echo "QUICK TESTS PASSED"; else echo "SOME TESTS FAILED"; fi
  exit $status
fi

step "Debian package"
# The smoke test skips itself (77) without root, like the namespace tests.
JOBS=$jobs bash scripts/package.sh --from build && { bash scripts/package-smoke.sh dist/corvanefortcp_*.deb || [ $? -eq 77 ]; } \
  || status=1

step "AddressSanitizer + UndefinedBehaviorSanitizer: every test, the end-to-end ones included"
configure_and_build build-asan -DCORVANE_SANITIZE=address,undefined "${sanitizer_flags[@]}"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp \
  ctest --test-dir build-asan -j "$jobs" --output-on-failure || status=1

step "ThreadSanitizer (the threaded tests: TCP, tunnel, model, messenger)"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCORVANE_WERROR=ON -DCORVANE_SANITIZE=thread \
  "${sanitizer_flags[@]}" "${launcher[@]}" >/dev/null
cmake --build build-tsan -j "$jobs" --target tcp_tests tunnel_tests model_tests messenger_tests messengerd
# Reports go to files, so that one from a messengerd the tests started (whose
# output lies in a temporary directory) is not lost.
rm -rf build-tsan/reports && mkdir -p build-tsan/reports
TSAN_OPTIONS="halt_on_error=1 log_path=$PWD/build-tsan/reports/tsan" \
  ctest --test-dir build-tsan -j "$jobs" -L 'tcp|tunnel|model|messenger' --output-on-failure || status=1
if compgen -G "build-tsan/reports/tsan*" >/dev/null; then
  cat build-tsan/reports/tsan*
  status=1
fi

step "fuzz targets (clang, 15 s each)"
JOBS=$jobs bash scripts/fuzz.sh --time 15 || status=1

step "done"
if [ $status -eq 0 ]; then echo "ALL TESTS PASSED"; else echo "SOME TESTS FAILED"; fi
exit $status
