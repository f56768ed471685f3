#!/usr/bin/env bash
# Checks that includes point down the layers, builds Ovrin and runs every test twice: a normal build, then one with AddressSanitizer and
# UndefinedBehaviorSanitizer; then runs each fuzz target for a bounded time.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

echo "== layering"
scripts/check-layers.sh

jobs=$(nproc)
run_build() {  # name, cmake options...
  local dir=build/$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 600
}

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "== normal build"
run_build normal
echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
run_build asan -DOVRIN_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug

if [ -f fuzz/CMakeLists.txt ]; then
  echo "== fuzzing"
  scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
fi
