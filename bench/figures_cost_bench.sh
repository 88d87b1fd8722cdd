#!/usr/bin/env bash
# What --summary and --report cost: the whole default run on the 746 motifs x 20,000
# sequences x 500 letters workload (generated as bench/whole_run_bench.sh makes it),
# without and with both files, wall and CPU time, the two alternating so that a slow spell of the machine
# falls on both. Prints every run, the medians side by side and their ratio.
#
#   RUNS=5        runs of each (default 5)
#   BUILD_DIR=... build folder (default build/)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=${RUNS:-5}
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "RUNS must be a positive integer" >&2; exit 1; }
work=$(mktemp -d /tmp/tarnel_figures.XXXXXX)
trap 'rm -rf "$work"' EXIT
if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_TESTS=OFF >/dev/null
fi
cmake --build "$build" --target Tarnel tarnel_bench -j 2 >/dev/null
motifs=$root/examples/data/jaspar_core.motifs
seqs=$build/workloads/stitched_20000x500.fa
mkdir -p "$(dirname "$seqs")"
"$build/bench/tarnel_bench" make-workload "$root/examples/data/real_seqs.fa" "$seqs" 20000 500 500 >/dev/null
cat "$motifs" "$seqs" >/dev/null

echo "cpu: $(lscpu | sed -n 's/^Model name: *//p'), $(nproc) cores"
echo "workload: $motifs x $seqs ($(grep -c '^>' "$seqs") sequences)"
plain=() figures=() plain_cpu=() figures_cpu=()
for ((i = 1; i <= runs; i++)); do
    /usr/bin/time -f '%e %M %U %S' -o "$work/t" "$build/Tarnel" -m "$motifs" -i "$seqs" -o "$work/a.txt" >/dev/null
    read -r wall rss user sys <"$work/t"
    plain+=("$wall") plain_cpu+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')")
    echo "  run $i default:                    $wall s wall, ${plain_cpu[-1]} s CPU, $((rss / 1024)) MiB peak RSS"
    /usr/bin/time -f '%e %M %U %S' -o "$work/t" "$build/Tarnel" -m "$motifs" -i "$seqs" -o "$work/b.txt" \
        --summary "$work/s.tsv" --report "$work/r.html" >/dev/null
    read -r wall rss user sys <"$work/t"
    figures+=("$wall") figures_cpu+=("$(awk -v u="$user" -v s="$sys" 'BEGIN { print u + s }')")
    echo "  run $i with --summary and --report: $wall s wall, ${figures_cpu[-1]} s CPU, $((rss / 1024)) MiB peak RSS"
    cmp -s "$work/a.txt" "$work/b.txt" || { echo "THE OUTPUT FILES DIFFER" >&2; exit 1; }
done
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
a=$(median "${plain[@]}")
b=$(median "${figures[@]}")
echo "  summary $(stat -c %s "$work/s.tsv") bytes, report $(stat -c %s "$work/r.html") bytes"
ac=$(median "${plain_cpu[@]}")
bc=$(median "${figures_cpu[@]}")
# Wall time moves with whatever else the machine runs; CPU time (user + system) much less.
awk -v a="$a" -v b="$b" -v ac="$ac" -v bc="$bc" -v n="$runs" 'BEGIN {
    printf "  medians of %d runs     default   with --summary and --report\n", n
    printf "  wall                 %7.2f s  %7.2f s  (%+.1f%%)\n", a, b, (b / a - 1) * 100
    printf "  CPU (user + system)  %7.2f s  %7.2f s  (%+.1f%%)\n", ac, bc, (bc / ac - 1) * 100 }'
