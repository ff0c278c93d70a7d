#!/usr/bin/env bash
# The sanitizer job: every C++ test (library, command-line tool) built with
# AddressSanitizer and UndefinedBehaviorSanitizer; any report fails the run.
# The Python binding is left out (a sanitized extension cannot be loaded by a plain python).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/install-deps.sh
build="${QUORV_SANITIZE_BUILD_DIR:-build-asan}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORV_SANITIZE=ON -DQUORV_WERROR=ON \
  -DQUORV_BUILD_BENCHMARKS=OFF
cmake --build "$build" -j"$(nproc)"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir "$build" --output-on-failure -j"$(nproc)"
