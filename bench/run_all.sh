#!/usr/bin/env bash
# Runs every benchmark and prints one table:
#  - a whole upload session of 2,000 files (256 MiB) from nexivane-dev into a loopback sink that
#    reads and discards the body, against curl sending the very same body to the same sink, in one
#    run: wall time, their ratio, and peak memory against the sum of the file sizes;
#  - the Google Benchmark figures of bench/ (archive build and send, path walk against find).
# Run it on a quiet machine: bash bench/run_all.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
for tool in curl /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "needs $tool (apt-get install curl time)"; exit 1; }
done
cmake --build "$build" -j"$(nproc)" --target nexivane-dev nexivane-upload-sink nexivane_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/nexivane-bench-XXXXXX")
sink_pid=
cleanup() {
    [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

files=2000
size=$(( (256 << 20) / files ))
mkdir -p "$work/tree" "$work/settings"
head -c "$size" /dev/urandom >"$work/one"
for i in $(seq 1 "$files"); do cp "$work/one" "$work/tree/p$i.jpg"; done
total=$(( files * size ))

mkfifo "$work/sink.out"
"$build/bench/nexivane-upload-sink" --save "$work/body" >"$work/sink.out" &
sink_pid=$!
exec 3<"$work/sink.out"
read -r first <&3
address=${first#listening on }

# Each figure is the best of three runs, nexivane and curl taking turns.
measure() {  # label command...
    local label=$1; shift
    /usr/bin/time -f "%e %M" -o "$work/time.$label" "$@" >/dev/null 2>"$work/err.$label" || {
        cat "$work/err.$label"; exit 1; }
    read -r wall rss <"$work/time.$label"
    echo "$wall $rss"
}
best_wall() { sort -n | head -1; }

cd "$work/tree"
# The first run also leaves the body in $work/body for curl.
NEXIVANE_GALLERY=$address APPDATA=$work/settings "$build/nexivane-dev" . >/dev/null
: >"$work/runs.nexivane"; : >"$work/runs.curl"
for _ in 1 2 3; do
    measure nexivane env NEXIVANE_GALLERY="$address" APPDATA="$work/settings" \
        "$build/nexivane-dev" . >>"$work/runs.nexivane"
    measure curl curl -sS -o /dev/null -H 'Expect:' \
        -H 'Content-Type: application/octet-stream; charset=utf-16' \
        --data-binary @"$work/body" "http://$address/add/Client.aspx" >>"$work/runs.curl"
done
cd "$root"
read -r n_wall n_rss < <(sort -n "$work/runs.nexivane" | head -1)
read -r c_wall c_rss < <(sort -n "$work/runs.curl" | head -1)
body_bytes=$(stat -c %s "$work/body")

mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
files_mib=$(awk -v b="$total" 'BEGIN { printf "%.1f", b / 1048576 }')
echo
echo "Whole upload session: $files files, $files_mib MiB of files, body $body_bytes bytes"
printf '%-28s %10s %14s %18s\n' "client" "wall (s)" "peak RSS (MiB)" "RSS - files (MiB)"
printf '%-28s %10s %14s %18s\n' "nexivane-dev" "$n_wall" "$(mib "$n_rss")" \
    "$(awk -v r="$n_rss" -v f="$files_mib" 'BEGIN { printf "%.1f", r / 1024 - f }')"
printf '%-28s %10s %14s %18s\n' "curl --data-binary @body" "$c_wall" "$(mib "$c_rss")" \
    "$(awk -v r="$c_rss" -v f="$files_mib" 'BEGIN { printf "%.1f", r / 1024 - f }')"
awk -v n="$n_wall" -v c="$c_wall" 'BEGIN { printf "wall time ratio nexivane/curl: %.2f (goal: at most 1.00)\n", n / c }'
awk -v r="$n_rss" -v f="$files_mib" 'BEGIN { o = r / 1024 - f; printf "memory over the files: %.1f MiB (goal: at most 16 MiB)\n", o }'
echo
echo "Google Benchmark (bench/):"
"$build/bench/nexivane_bench" --benchmark_format=console 2>/dev/null | sed -n '/^Benchmark/,$p'
