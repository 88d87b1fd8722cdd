#!/usr/bin/env bash
# Every measurement of the scan, the threaded run, the scores and the loader, in one run.
#
#   bench/run_bench.sh            builds (if needed) in build/ and runs everything
#   BUILD_DIR=/tmp/b bench/run_bench.sh   another build folder
#   DATA_DIR=...  RUNS=3  FULL_FILE=/tmp/x.fa   inputs, repetitions, the generated file
#
# Figures are wall-clock and vary with whatever else the machine runs: each timed run
# is repeated and the best is taken.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
data=${DATA_DIR:-$root/examples/data}
runs=${RUNS:-3}
full=${FULL_FILE:-/tmp/tarnel_bench_full.fa}
motifs=$data/jaspar_core.motifs
seqs=$data/real_seqs.fa
work=$(mktemp -d /tmp/tarnel_bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

for f in "$motifs" "$seqs"; do
    [[ -r $f ]] || { echo "missing input $f (set DATA_DIR)" >&2; exit 1; }
done
[[ -x /usr/bin/time ]] || { echo "needs /usr/bin/time (package time)" >&2; exit 1; }

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_TESTS=OFF -DTARNEL_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" --target Tarnel tarnel_bench -j "$(nproc)" >/dev/null
tarnel=$build/Tarnel
bench=$build/bench/tarnel_bench

# Runs a command under /usr/bin/time; prints "wall_seconds peak_rss_kb cpu_percent".
timed() {
    /usr/bin/time -f '%e %M %P' -o "$work/time" "$@" >"$work/stdout" 2>"$work/stderr" ||
        { cat "$work/stderr" >&2; exit 1; }
    tr -d '%' <"$work/time"
}

# Busy and total CPU time of the whole machine so far, in clock ticks: "busy total".
machine_ticks() {
    awk '/^cpu / { busy = $2 + $3 + $4 + $7 + $8 + $9; print busy, busy + $5 + $6 }' /proc/stat
}

# Best (lowest wall time) of $runs runs of a command: "wall rss cpu others", where others
# is the share of the machine that other processes took meanwhile, in percent. Each run
# writes its output (the last argument) anew: replacing the last run's would time the file
# system freeing that one.
best_of() {
    local best="" line busy0 total0 busy1 total1 ours=0 out=${*: -1}
    read -r busy0 total0 < <(machine_ticks)
    for ((i = 0; i < runs; i++)); do
        rm -f "$out"
        sync -f "$work"
        line=$(timed "$@")
        ours=$(awk -v o="$ours" -v w="${line%% *}" -v c="${line##* }" -v hz="$(getconf CLK_TCK)" \
            'BEGIN { print o + w * c / 100 * hz }')
        if [[ -z $best ]] || awk -v a="${line%% *}" -v b="${best%% *}" 'BEGIN { exit !(a < b) }'; then
            best=$line
        fi
    done
    read -r busy1 total1 < <(machine_ticks)
    echo "$best $(awk -v b=$((busy1 - busy0)) -v t=$((total1 - total0)) -v o="$ours" \
        'BEGIN { x = t > 0 ? (b - o) / t * 100 : 0; printf "%d", x < 0 ? 0 : x }')"
}

echo "== machine"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //'), $(nproc) cores"
echo

echo "== (a) scan, single-threaded: $(basename "$motifs") x $(basename "$seqs")"
"$bench" scan "$motifs" "$seqs"
echo
# The 500-letter workload's sequences (the first 2,000 of the 20,000 that
# bench/whole_run_bench.sh stitches), so that the straightforward scan stays short.
stitched=$work/stitched_2000x500.fa
"$bench" make-workload "$seqs" "$stitched" 2000 500 500 >/dev/null
echo "== (a') scan, single-threaded: $(basename "$motifs") x 2,000 stitched sequences of 500 letters"
"$bench" scan "$motifs" "$stitched"
echo

echo "== (b) threaded run of Tarnel on the same inputs (best of $runs)"
read -r wall2 rss2 cpu2 others2 < <(best_of "$tarnel" -m "$motifs" -i "$seqs" -o "$work/out2.txt")
read -r wall1 rss1 cpu1 others1 < <(best_of taskset -c 0 "$tarnel" -m "$motifs" -i "$seqs" -o "$work/out1.txt")
report_run() {  # label wall rss_kb cpu
    awk -v l="$1" -v w="$2" -v r="$3" -v c="$4" \
        'BEGIN { printf "  %-24s %7.2f s wall  %7.1f MB peak RSS  %4d%% CPU\n", l, w, r * 1024 / 1e6, c }'
}
report_run "all $(nproc) cores" "$wall2" "$rss2" "$cpu2"
report_run "one core (taskset -c 0)" "$wall1" "$rss1" "$cpu1"
awk -v a="$wall1" -v b="$wall2" -v n="$(nproc)" 'BEGIN { printf "  speed-up on %d cores: %.2fx\n", n, a / b }'
if ((others2 > 5)); then
    echo "  note: other processes took ${others2}% of the machine during the runs on all cores;"
    echo "        the speed-up above is then understated (CPU % shows how much the run got)"
fi
if cmp -s "$work/out1.txt" "$work/out2.txt"; then
    echo "  outputs identical ($(wc -l <"$work/out2.txt") lines)"
else
    echo "  OUTPUTS DIFFER between the two runs"
fi
echo

echo "== (b') the scores' logarithms of powers, eight at a time against the library one at a time"
"$bench" scores | sed 's/^/  /'
echo

echo "== (c) full capacity: 50000 sequences of 5500 letters"
if [[ ! -f $full || $(stat -c %s "$full") -lt 280000000 ]]; then
    "$bench" make-seqs "$full" 50000 5500
fi
echo "  file $full, $(($(stat -c %s "$full") / 1000000)) MB"
# Read once so that every run finds it in the page cache.
cat "$full" >/dev/null
best_load=""
for ((i = 0; i < runs; i++)); do
    /usr/bin/time -f '%e %M' -o "$work/time" "$bench" load "$full" >"$work/load.txt"
    rate=$(sed -n 's/.* = \([0-9.]*\) MB\/s.*/\1/p' "$work/load.txt")
    if [[ -z $best_load ]] || awk -v a="$rate" -v b="$best_load" 'BEGIN { exit !(a > b) }'; then
        best_load=$rate
        cp "$work/load.txt" "$work/load_best.txt"
    fi
done
sed 's/^/  /' "$work/load_best.txt"
awk '/^>/ { n++ } n <= 3' "$motifs" >"$work/few.motifs"
read -r wallf rssf cpuf < <(timed "$tarnel" -m "$work/few.motifs" -i "$full" -o "$work/outf.txt")
awk -v m="$(grep -c '^>' "$work/few.motifs")" -v w="$wallf" -v r="$rssf" -v c="$cpuf" -v n=$((50000 * 5500)) 'BEGIN {
    mb = r * 1024 / 1e6
    printf "  Tarnel, %d motifs, threaded: %.2f s wall, %d%% CPU, %.1f MB peak RSS = %.3f bytes per letter; limit 2.5 per letter + 100 MB = %.1f MB\n", m, w, c, mb, mb * 1e6 / n, 2.5 * n / 1e6 + 100
}'
