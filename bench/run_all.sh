#!/usr/bin/env bash
# Runs every benchmark and prints, a section each:
#  - a whole upload session of 2,000 files (256 MiB) from nexivane-dev into a loopback sink that
#    reads and discards the body, against curl sending the very same body to the same sink:
#    wall time, their ratio, and peak memory against the sum of the file sizes;
#  - the floor that sending in pieces of 1024 bytes sets: a bare client sending that body from one
#    buffer in such pieces, with the same head, timed in the same interleaved runs as the two
#    above, and the three ratios between them; and the session again with standard error on a
#    pseudo-terminal, where the status line is drawn, against the same session without it;
#  - scaling: the same session for 1,000 to 100,000 files of 2 KiB and 1 to 100 files of 2.5 MiB,
#    with the time per file and how flat it stays as the count grows;
#  - the same comparison over a loopback shaped to 1 Gbit/s in a private network namespace
#    (skipped, saying so, where the machine allows no namespace or no traffic control);
#  - cold files: 2,000 files of 128 KiB uploaded warm and with the page cache dropped, against
#    reading them cold with one cat and with eight at once (cold figures need root);
#  - the Google Benchmark figures of bench/ (archive build and send, path walk against find),
#    then the chunked answer reader over growing counts of one-byte chunks.
# Every figure is the best of a few runs. Run it on a quiet machine: bash bench/run_all.sh [BUILD_DIR]
set -euo pipefail
export LC_ALL=C
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
for tool in curl /usr/bin/time split find xargs; do
    command -v "$tool" >/dev/null || { echo "needs $tool (bash tools/ci/install.sh installs it)"; exit 1; }
done
cmake --build "$build" -j"$(nproc)" \
    --target nexivane-dev nexivane-upload-sink nexivane-send-floor nexivane-on-terminal \
    nexivane_bench >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/nexivane-bench-XXXXXX")
sink_pid=
cleanup() {
    [ -n "$sink_pid" ] && kill "$sink_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/settings" "$work/empty"

# The functions up to shaped_link_runs also run inside the private network namespace, where
# they see only build, work and tree.

# Starts a sink with the given options; sets sink_pid and address (host:port).
start_sink() {
    local out first
    out=$(mktemp -u "$work/sink-XXXXXX")
    mkfifo "$out"
    "$build/bench/nexivane-upload-sink" "$@" >"$out" &
    sink_pid=$!
    read -r first <"$out"
    address=${first#listening on }
}

# Runs a command once, its output thrown away, and appends "wall_seconds peak_RSS_KiB" to the
# file named first. The wall time is taken around /usr/bin/time, whose own %e shows only
# hundredths of a second.
timed() {
    local runs=$1 start end
    shift
    start=$EPOCHREALTIME
    /usr/bin/time -f %M -o "$work/rss" "$@" >/dev/null 2>"$work/err" || {
        cat "$work/err" "$work/rss" >&2
        return 1
    }
    end=$EPOCHREALTIME
    echo "$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.4f", e - s }') $(tail -1 "$work/rss")" \
        >>"$runs"
}

upload_run() {  # RUNS PATH: nexivane-dev uploads PATH
    timed "$1" env NEXIVANE_GALLERY="$address" APPDATA="$work/settings" "$build/nexivane-dev" "$2"
}

terminal_run() {  # RUNS PATH: the same, standard error on a terminal (the status line shown)
    timed "$1" env TERM=xterm NEXIVANE_GALLERY="$address" APPDATA="$work/settings" \
        "$build/bench/nexivane-on-terminal" "$build/nexivane-dev" "$2"
}

curl_run() {  # RUNS: curl sends the saved body
    timed "$1" curl -sS -o /dev/null -H 'Expect:' \
        -H 'Content-Type: application/octet-stream; charset=utf-16' \
        --data-binary @"$work/body" "http://$address/add/Client.aspx"
}

floor_run() {  # RUNS: the bare client sends the saved head and body
    timed "$1" "$build/bench/nexivane-send-floor" "$address" "$work/head" "$work/body"
}

# The three clients taking turns over the shaped loopback of a private network namespace.
shaped_link_runs() {
    ip link set lo up
    tc qdisc add dev lo root tbf rate 1gbit burst 256kb latency 50ms
    start_sink
    trap 'kill "$sink_pid"' EXIT
    upload_run "$work/link.warm-up" "$tree"
    for _ in 1 2 3; do
        upload_run "$work/link.nexivane" "$tree"
        curl_run "$work/link.curl"
        floor_run "$work/link.floor"
    done
}

make_tree() {  # DIR FILES BYTES: FILES files of BYTES random bytes each, p000000.jpg on
    mkdir -p "$1"
    head -c $(($2 * $3)) /dev/urandom | split -b "$3" -a 6 -d --additional-suffix=.jpg - "$1/p"
}

best() { sort -n "$1" | head -1; }  # the fastest run's "wall rss"
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }
over() { awk -v k="$1" -v f="$2" 'BEGIN { printf "%.1f", k / 1024 - f }'; }  # RSS_KiB FILES_MiB
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# ---- Whole upload session, and the floor of its send pieces -------------------------------------
files=2000
size=$(((256 << 20) / files))
tree=$work/tree
make_tree "$tree" "$files" "$size"
total=$((files * size))
files_mib=$(awk -v b="$total" 'BEGIN { printf "%.1f", b / 1048576 }')

start_sink --save "$work/body" --save-head "$work/head"
# The first run also leaves the body and its head for curl and the bare client.
upload_run "$work/runs.warm-up" "$tree"
rounds=5
for _ in $(seq "$rounds"); do
    upload_run "$work/runs.nexivane" "$tree"
    curl_run "$work/runs.curl"
    floor_run "$work/runs.floor"
    terminal_run "$work/runs.terminal" "$tree"
done
read -r n_wall n_rss < <(best "$work/runs.nexivane")
read -r t_wall t_rss < <(best "$work/runs.terminal")
read -r c_wall c_rss < <(best "$work/runs.curl")
read -r f_wall f_rss < <(best "$work/runs.floor")
body_bytes=$(stat -c %s "$work/body")

echo
echo "== Whole upload session: $files files, $files_mib MiB of files, body $body_bytes bytes =="
echo "best of $rounds runs, the clients taking turns"
row() { printf '%-34s %10s %14s %18s\n' "$@"; }
row "client" "wall (s)" "peak RSS (MiB)" "RSS - files (MiB)"
row "nexivane-dev" "$n_wall" "$(mib "$n_rss")" "$(over "$n_rss" "$files_mib")"
row "curl --data-binary @body" "$c_wall" "$(mib "$c_rss")" "$(over "$c_rss" "$files_mib")"
row "nexivane-dev, status line shown" "$t_wall" "$(mib "$t_rss")" "$(over "$t_rss" "$files_mib")"
echo "wall time ratio nexivane/curl: $(ratio "$n_wall" "$c_wall") (goal: at most 1.00)"
echo "status line shown / not shown: $(ratio "$t_wall" "$n_wall") (standard error on a pseudo-terminal)"
echo "memory over the files: $(over "$n_rss" "$files_mib") MiB (goal: at most 16 MiB)"

echo
echo "== Floor of the 1024-byte send pieces: the same body from one buffer, same head and sink =="
echo "from the same runs as the session above"
row "client" "wall (s)" "peak RSS (MiB)" "RSS - files (MiB)"
row "nexivane-send-floor (bare client)" "$f_wall" "$(mib "$f_rss")" "$(over "$f_rss" "$files_mib")"
echo "whole run / floor: $(ratio "$n_wall" "$f_wall") (goal: at most 1.10)"
echo "whole run / curl:  $(ratio "$n_wall" "$c_wall")"
echo "curl / floor:      $(ratio "$c_wall" "$f_wall")"

# ---- Scaling --------------------------------------------------------------------------------
small=2048
large=$((5 << 19))
groups=("$small 1000" "$small 10000" "$small 100000" "$large 1" "$large 10" "$large 100")
for group in "${groups[@]}"; do
    read -r bytes count <<<"$group"
    make_tree "$work/scale-$bytes-$count" "$count" "$bytes"
done
# Five rounds: a run whose last pieces wait for the sink's delayed acknowledgement takes about
# 40 ms longer, which would swamp the smaller groups.
scale_rounds=5
for _ in $(seq "$scale_rounds"); do
    upload_run "$work/scale.empty" "$work/empty"
    for group in "${groups[@]}"; do
        read -r bytes count <<<"$group"
        upload_run "$work/scale.$bytes-$count" "$work/scale-$bytes-$count"
    done
done
read -r e_wall e_rss < <(best "$work/scale.empty")

echo
echo "== Scaling: the same session for more files =="
echo "best of $scale_rounds runs; the fixed cost is the session of an empty folder"
scale_row() { printf '%-9s %-9s %10s %9s %13s %17s %14s %18s\n' "$@"; }
scale_row "files" "each" "files MiB" "wall (s)" "per file (us)" "less fixed (us)" "peak RSS (MiB)" \
    "RSS - files (MiB)"
scale_row 0 - 0.0 "$e_wall" - - "$(mib "$e_rss")" "$(mib "$e_rss")"
: >"$work/scale.net"
for group in "${groups[@]}"; do
    read -r bytes count <<<"$group"
    read -r wall rss < <(best "$work/scale.$bytes-$count")
    group_mib=$(awk -v b="$((bytes * count))" 'BEGIN { printf "%.1f", b / 1048576 }')
    per=$(awk -v w="$wall" -v n="$count" 'BEGIN { printf "%.1f", w / n * 1e6 }')
    net=$(awk -v w="$wall" -v e="$e_wall" -v n="$count" 'BEGIN { printf "%.1f", (w - e) / n * 1e6 }')
    each=$([ "$bytes" = "$small" ] && echo "2 KiB" || echo "2.5 MiB")
    scale_row "$count" "$each" "$group_mib" "$wall" "$per" "$net" "$(mib "$rss")" \
        "$(over "$rss" "$group_mib")"
    echo "$bytes $net" >>"$work/scale.net"
done
for bytes in "$small" "$large"; do
    awk -v b="$bytes" -v name="$([ "$bytes" = "$small" ] && echo "2 KiB" || echo "2.5 MiB")" '
        $1 == b { if (n++ == 0 || $2 < lo) lo = $2; if ($2 > hi) hi = $2 }
        END {
            if (lo > 0) printf "flatness, %s files: time per file less the fixed cost from %.1f to %.1f us, max/min %.2f (1.00 is flat)\n", name, lo, hi, hi / lo
            else printf "flatness, %s files: not measurable, a run took no longer than the fixed cost\n", name
        }' "$work/scale.net"
done

# ---- A shaped link ------------------------------------------------------------------------------
echo
echo "== Over a loopback shaped to 1 Gbit/s (private network namespace, tbf on lo) =="
if command -v unshare >/dev/null && command -v ip >/dev/null && command -v tc >/dev/null &&
    unshare -n sh -c 'ip link set lo up && tc qdisc add dev lo root tbf rate 1gbit burst 256kb latency 50ms' \
        >/dev/null 2>&1; then
    unshare -n env build="$build" work="$work" tree="$tree" bash -c "set -euo pipefail
        $(declare -f start_sink timed upload_run curl_run floor_run shaped_link_runs)
        shaped_link_runs"
    read -r ln_wall _ < <(best "$work/link.nexivane")
    read -r lc_wall _ < <(best "$work/link.curl")
    read -r lf_wall _ < <(best "$work/link.floor")
    echo "best of 3 runs of the same $body_bytes-byte body, the clients taking turns"
    printf '%-34s %10s\n' "client" "wall (s)" "nexivane-dev" "$ln_wall" \
        "curl --data-binary @body" "$lc_wall" "nexivane-send-floor (bare client)" "$lf_wall"
    echo "line rate would take $(awk -v b="$body_bytes" 'BEGIN { printf "%.3f", b * 8 / 1e9 }') s"
    echo "nexivane/curl: $(ratio "$ln_wall" "$lc_wall") (goal: at most 1.00)"
    echo "floor/curl:    $(ratio "$lf_wall" "$lc_wall")"
else
    echo "skipped: this machine allows no private network namespace with a shaped loopback" \
        "(unshare -n, then ip and tc from iproute2, as root)"
fi

# ---- Cold files ---------------------------------------------------------------------------------
cold_files=2000
cold=$work/cold
make_tree "$cold" "$cold_files" $((128 << 10))
drop_caches() { sync && echo 3 >/proc/sys/vm/drop_caches; }
# After a drop, loads what the measured commands run (the programs, their libraries, the
# settings file), so that a cold figure is the files' alone.
warm_tools() {
    env NEXIVANE_GALLERY="$address" APPDATA="$work/settings" "$build/nexivane-dev" "$work/empty" \
        >/dev/null
    /usr/bin/time -o /dev/null sh -c 'cd "$1" && find . -type f -print0 | xargs -0 cat' sh "$work/empty"
}
cat_run() {  # RUNS N: N cats at once read every file of the cold tree, in the walk's order
    timed "$1" sh -c 'cd "$1" && find . -type f -print0 | xargs -0 -P "$2" -n "$3" cat' \
        sh "$cold" "$2" $((cold_files / $2))
}
cold_skip=
fs_type=$(stat -f -c %T "$work")
if [ "$fs_type" = tmpfs ] || [ "$fs_type" = ramfs ]; then
    cold_skip="the files under TMPDIR are on $fs_type, which holds them in memory"
elif [ "$(id -u)" -ne 0 ]; then
    cold_skip="not root, so the page cache cannot be dropped"
elif ! (drop_caches) 2>/dev/null; then
    cold_skip="/proc/sys/vm/drop_caches cannot be written here"
fi
upload_run "$work/cold.warm-up" "$cold"
for _ in 1 2 3; do
    if [ -z "$cold_skip" ]; then
        drop_caches
        warm_tools
        upload_run "$work/cold.cold" "$cold"
        drop_caches
        warm_tools
        cat_run "$work/cold.cat1" 1
        drop_caches
        warm_tools
        cat_run "$work/cold.cat8" 8
    fi
    upload_run "$work/cold.warm" "$cold"
done

echo
echo "== Cold files: $cold_files files of 128 KiB ($((cold_files * 128 / 1024)) MiB) into the sink =="
read -r w_wall _ < <(best "$work/cold.warm")
if [ -n "$cold_skip" ]; then
    echo "best of 3 runs; cold figures skipped: $cold_skip"
    printf '%-34s %10s\n' "warm run" "$w_wall"
else
    read -r k_wall _ < <(best "$work/cold.cold")
    read -r one_wall _ < <(best "$work/cold.cat1")
    read -r eight_wall _ < <(best "$work/cold.cat8")
    extra=$(awk -v k="$k_wall" -v w="$w_wall" 'BEGIN { printf "%.4f", k - w }')
    echo "best of 3 runs; page cache dropped before each cold figure (sync; echo 3 >/proc/sys/vm/drop_caches)"
    printf '%-34s %10s\n' "figure" "wall (s)" "warm run" "$w_wall" "cold run" "$k_wall" \
        "cold - warm" "$extra" "one cat, cold" "$one_wall" "8 cats at once, cold" "$eight_wall"
    echo "(cold - warm) / (8 cats): $(ratio "$extra" "$eight_wall") (goal: at most 1.25)"
fi
kill "$sink_pid" 2>/dev/null || true
sink_pid=

# ---- Google Benchmark ---------------------------------------------------------------------------
# Its generated trees go under the run's folder too, so they are removed with it.
echo
echo "== Google Benchmark (bench/): archive build and send, path walk =="
TMPDIR=$work "$build/bench/nexivane_bench" --benchmark_filter=-BM_read_chunked_answer \
    --benchmark_format=console 2>/dev/null | sed -n '/^Benchmark/,$p'

echo
echo "== Google Benchmark (bench/): chunked answer of one-byte chunks, through the client's reader =="
TMPDIR=$work "$build/bench/nexivane_bench" --benchmark_filter=BM_read_chunked_answer \
    --benchmark_format=console --benchmark_out="$work/chunked.csv" --benchmark_out_format=csv \
    2>/dev/null | sed -n '/^Benchmark/,$p'
awk -F, '
    /^name,/ { for (i = 1; i <= NF; i++) if ($i == "\"ns_per_chunk\"") column = i; next }
    /^"BM_read_chunked_answer/ && column {
        v = $column; if (n++ == 0 || v < lo) lo = v; if (v > hi) hi = v
    }
    END { if (lo > 0) printf "flatness: time per chunk from %.0f to %.0f ns, max/min %.2f (1.00 is flat)\n", lo, hi, hi / lo }
' "$work/chunked.csv"
