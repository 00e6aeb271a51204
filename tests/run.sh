#!/usr/bin/env bash
# The whole test suite: installs what it needs, builds, runs every test, then builds and runs
# the suite again under AddressSanitizer and UndefinedBehaviorSanitizer, and the tests that
# call the library from several threads under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."

bash ./setup.sh
jobs=$(nproc)

# Release (-O3), as users and packagers build it: compilers warn there about other things
# than at the sanitizer builds' levels.
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DREG_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DREG_SANITIZE=ON -DREG_WERROR=ON >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs"

# ThreadSanitizer: the library alone and the tests that run it from several threads.
tsan_tests="threads_test uploads_test"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DREG_TSAN=ON -DREG_WERROR=ON \
  -DREG_BUILD_TOOLS=OFF >/dev/null
for t in $tsan_tests; do cmake --build build-tsan -j"$jobs" --target "$t"; done
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  ctest --test-dir build-tsan --output-on-failure -j"$jobs" -R '^(ThreadsTest|UploadsTest)\.'
