#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time (default 30 s).
# Seeds come from the shared JSON and manifest test data when it is there. Exits non-zero when
# a target finds a crash; the reproducer is left in build-fuzz/crashes/.
set -euo pipefail
cd "$(dirname "$0")/../.."
seconds=${1:-30}
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DREG_FUZZ=ON \
  -DREG_BUILD_TESTS=OFF -DREG_BUILD_TOOLS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)" >/dev/null

testdata="$(pwd)/../shared/testdata"
mkdir -p build-fuzz/crashes
status=0
for bin in build-fuzz/tests/fuzz/fuzz_*; do
  [ -x "$bin" ] || continue
  name=$(basename "$bin")
  corpus=$(mktemp -d)
  if [ -d "$testdata" ]; then
    cp "$testdata"/json/*.json "$testdata"/manifests/*.json "$corpus"/ 2>/dev/null || true
  else
    echo "fuzz: no shared test data at $testdata; starting $name from an empty corpus"
  fi
  [ -d "tests/fuzz/seeds/$name" ] && cp "tests/fuzz/seeds/$name"/* "$corpus"/ 2>/dev/null || true
  [ -d "tests/fuzz/regressions/$name" ] && cp "tests/fuzz/regressions/$name"/* "$corpus"/ 2>/dev/null || true
  if ! TMPDIR=$(mktemp -d) "$bin" "$corpus" -max_total_time="$seconds" -max_len=65536 -timeout=10 \
       -artifact_prefix="build-fuzz/crashes/$name-" -print_final_stats=1 >"build-fuzz/$name.log" 2>&1; then
    echo "fuzz: $name FAILED (see build-fuzz/$name.log)"
    tail -n 40 "build-fuzz/$name.log"
    status=1
  else
    runs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "build-fuzz/$name.log" | grep -o '[0-9]*$' || echo '?')
    echo "fuzz: $name ok, $runs executions in ${seconds}s"
  fi
  rm -rf "$corpus"
done
exit $status
