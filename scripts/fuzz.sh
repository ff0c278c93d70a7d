#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each for a bounded time.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]     (default 60)
# Prints executions and findings per target; exits 1 when any target found a crash.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh --fuzz
seconds="${1:-60}"
build=build-fuzz
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORV_FUZZ=ON >/dev/null
cmake --build "$build" -j"$(nproc)"

status=0
printf '%-22s %12s %10s %s\n' target executions findings log
for target in fusion_reply_fuzz fusion_request_fuzz grid_fuzz image_reader_fuzz node_state_fuzz run_coder_fuzz; do
  work="$build/fuzz-run/$target"
  rm -rf "$work" && mkdir -p "$work/corpus" "$work/findings"
  cp fuzz/corpus/"$target"/* "$work/corpus/"
  log="$work/fuzz.log"
  # The picture reader refuses by declared size against a budget of its own (256 MiB), so it
  # runs under a tight limit; the other targets check against the memory the system has.
  limits=(-rss_limit_mb=6144)
  [[ "$target" == image_reader_fuzz ]] && limits=(-rss_limit_mb=2048 -malloc_limit_mb=1024)
  # Leaks of libraries' global state are not findings; hangs are (timeout per input), and so is
  # memory beyond the limit: the readers must refuse what they cannot hold before allocating it.
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
    "$build/fuzz/$target" "$work/corpus" -max_total_time="$seconds" -timeout=20 "${limits[@]}" \
    -artifact_prefix="$work/findings/" -print_final_stats=1 >"$log" 2>&1 || true
  execs=$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo 0)
  findings=$(find "$work/findings" -type f | wc -l)
  printf '%-22s %12s %10s %s\n' "$target" "${execs:-0}" "$findings" "$log"
  [[ "$findings" -gt 0 ]] && status=1
done
exit $status
