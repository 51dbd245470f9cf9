#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ in build-fuzz/ with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer, replays the saved reproducers of fuzz/regressions/, then fuzzes each
# target for a bounded time from a copy of its committed corpus. Fails on any crash, sanitizer
# report, leak, time-out or failed check. Nothing is written into the repository.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
seconds=${NEXIVANE_FUZZ_SECONDS:-60}

# The compiler is chosen when the build folder is made; CMake keeps it from then on.
compiler=()
[ -f build-fuzz/CMakeCache.txt ] || compiler=(-DCMAKE_CXX_COMPILER=clang++)
cmake -S . -B build-fuzz "${compiler[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNEXIVANE_FUZZ=ON \
    -DNEXIVANE_SANITIZE=address,undefined -DBUILD_TESTING=OFF -DNEXIVANE_BENCH=OFF
cmake --build build-fuzz --target nexivane_fuzz -j"$(nproc)"

work=$(mktemp -d /tmp/nexivane-fuzz-XXXXXX)
# The settings target writes its file under TMPDIR on every input: in memory where the machine
# has a tmpfs, which makes it several times faster than on disk.
scratch=$(mktemp -d /dev/shm/nexivane-fuzz-XXXXXX 2>/dev/null || mktemp -d "$work/scratch-XXXXXX")
trap 'rm -rf "$work" "$scratch"' EXIT
export TMPDIR=$scratch
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
[ -x /usr/bin/llvm-symbolizer ] || export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer

targets=(fuzz_response_head fuzz_chunked_body fuzz_limits_reply fuzz_settings fuzz_text)

# Shows a failed run: the end of its log and every input it saved, in hexadecimal.
show_failure() {
    local target=$1 log=$2
    echo "fuzz: $target failed; the end of its log:" >&2
    tail -n 80 "$log" >&2
    for artifact in "$work/$target-"*; do
        [ -f "$artifact" ] || continue
        echo "fuzz: $(basename "$artifact") (save it under fuzz/regressions/$target/):" >&2
        od -A d -t x1 "$artifact" | head -n 64 >&2
    done
}

# A report the fuzzer did not count as a failure still fails the step.
clean_log() {
    ! grep -qE '^SUMMARY: |runtime error:|^==[0-9]+==ERROR|fuzz check failed' "$1"
}

failed=0
for target in "${targets[@]}"; do
    binary=build-fuzz/fuzz/$target
    # The target's standard error is discarded (the reader prints its messages there); the
    # fuzzer's own output and sanitizer reports still come through.
    flags=(-rss_limit_mb=2048 -timeout=10 -detect_leaks=1 -close_fd_mask=2
        -artifact_prefix="$work/$target-")
    case $target in
        fuzz_response_head | fuzz_chunked_body | fuzz_limits_reply)
            flags+=(-dict=fuzz/http.dict)
            ;;
    esac

    mkdir -p "$work/$target"
    cp fuzz/corpus/"$target"/* "$work/$target/"
    regressions=(fuzz/regressions/"$target"/*)
    if [ -e "${regressions[0]}" ]; then
        log=$work/$target-regressions.log
        if ! "$binary" "${flags[@]}" "${regressions[@]}" >"$log" 2>&1 || ! clean_log "$log"; then
            show_failure "$target" "$log"
            failed=1
            continue
        fi
        echo "fuzz: $target: ${#regressions[@]} saved reproducers pass"
        cp "${regressions[@]}" "$work/$target/"
    fi

    log=$work/$target.log
    if ! "$binary" "${flags[@]}" -max_total_time="$seconds" "$work/$target" >"$log" 2>&1 ||
        ! clean_log "$log"; then
        show_failure "$target" "$log"
        failed=1
        continue
    fi
    echo "fuzz: $target: $(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1)"
done
exit "$failed"
