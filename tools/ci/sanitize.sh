#!/usr/bin/env bash
# The whole test suite again, built with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DNEXIVANE_SANITIZE=address,undefined \
    -DNEXIVANE_BENCH=OFF
cmake --build build-sanitize -j"$(nproc)"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-sanitize -j"$(nproc)" --output-on-failure
