#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into build/fuzz and runs each for the given number of
# seconds (default 60) from its seed corpus; a crash, a hang or a sanitizer report fails the run.
# New corpus entries and crash artifacts stay under build/fuzz/run/<target>/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
dir=build/fuzz
targets=(message_header_fuzzer address_parser_fuzzer pop3_server_session_fuzzer)

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DOVRIN_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc)" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
status=0
for target in "${targets[@]}"; do
  run=$dir/run/$target
  rm -rf "$run"
  mkdir -p "$run/corpus" "$run/artifacts"
  echo "== fuzzing $target for ${seconds}s"
  # The program's own log (warnings for bad addresses) goes to a closed stderr (-close_fd_mask=2);
  # libFuzzer and the sanitizers still report on the original one.
  if "$dir/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=65536 \
       -close_fd_mask=2 -print_final_stats=1 -artifact_prefix="$run/artifacts/" \
       "$run/corpus" "fuzz/corpus/$target" >"$run/log" 2>&1; then
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)' "$run/log" || true
  else
    status=1
    tail -n 60 "$run/log"
    echo "== $target FAILED; artifacts in $run/artifacts"
  fi
done
exit $status
