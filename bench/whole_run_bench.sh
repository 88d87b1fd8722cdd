#!/usr/bin/env bash
# The straightforward scan against the whole default run of Tarnel, workload by workload:
# how many times faster the complete run (loading, scan, statistics, output) is than the
# scan alone done the straightforward way on one core.
#
#   bench/whole_run_bench.sh                  the 500-letter workload, then the real data
#   WORKLOAD="500 real large" bench/whole_run_bench.sh   any of:
#     500    746 motifs x 20,000 sequences of 500 letters, stitched from the real sequences
#     real   the real data as it is: 746 motifs x 1,500 sequences of 200 letters
#     large  5,000 motifs (the 746 cycled, renamed) x 50,000 sequences of 1,000 letters;
#            the straightforward scan alone is 3e12 motif positions, near an hour per run
#   RUNS=3        repetitions of every timed command; medians are reported
#   NAIVE=0       leaves the straightforward scan out (only the runs of Tarnel are timed)
#   OTHERS="-t 2|--both-strands|-n 2000"   option sets also timed on all cores, each run
#                 beside the default one ('|' between sets; default: these three)
#   QUIET=120     before each timed run, wait up to this many seconds for the machine to
#                 be nearly idle (default 0: no waiting)
#   BUILD_DIR=... build folder (default build/)
#   WORK_DIR=...  where the generated inputs go (default: workloads/ in the build folder)
#
# Beside the run on all cores, one-core runs on every core at once show what the machine
# itself gives that many busy cores, against which the run's own 1 -> N speed-up is read.
#
# Timings are wall-clock and move with whatever else the machine runs: every run is
# listed with the share of the machine other processes took meanwhile, and the summary
# gives medians with the range.
#
# Every timed run writes a new output file: the one an earlier run left is removed first,
# outside the timing. Replacing a file makes the file system free the old one's blocks
# within the run's rename, which on a file system mounted with online discard took 25 to
# 46 ms for the 230 MB of the 500-letter workload: the cost of the old file, not of the run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
runs=${RUNS:-3}
workloads=${WORKLOAD:-500 real}
gen=${WORK_DIR:-$build/workloads}
quiet=${QUIET:-0}
with_naive=${NAIVE:-1}
others=${OTHERS--t 2|--both-strands|-n 2000}
data=$root/examples/data
real_motifs=$data/jaspar_core.motifs
real_seqs=$data/real_seqs.fa
work=$(mktemp -d /tmp/tarnel_whole.XXXXXX)
trap 'rm -rf "$work"' EXIT

for f in "$real_motifs" "$real_seqs"; do
    [[ -r $f ]] || { echo "missing input $f" >&2; exit 1; }
done
for tool in /usr/bin/time taskset sha256sum; do
    command -v "$tool" >/dev/null || { echo "needs $tool" >&2; exit 1; }
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "RUNS must be a positive integer" >&2; exit 1; }
[[ $quiet =~ ^[0-9]+$ ]] || { echo "QUIET must be a number of seconds" >&2; exit 1; }
[[ $with_naive == [01] ]] || { echo "NAIVE must be 0 or 1" >&2; exit 1; }

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_TESTS=OFF -DTARNEL_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" --target Tarnel tarnel_bench -j 2 >/dev/null
tarnel=$build/Tarnel
bench=$build/bench/tarnel_bench
mkdir -p "$gen"
hz=$(getconf CLK_TCK)
cores=$(nproc)

# Busy and total CPU ticks of the whole machine so far: "busy total".
machine_ticks() {
    awk '/^cpu / { busy = $2 + $3 + $4 + $7 + $8 + $9; print busy, busy + $5 + $6 }' /proc/stat
}

# Waits, up to $quiet seconds, until the machine has been less than 5% busy for 3 s.
wait_quiet() {
    local waited=0 b0 t0 b1 t1
    while ((waited < quiet)); do
        read -r b0 t0 < <(machine_ticks)
        sleep 3
        read -r b1 t1 < <(machine_ticks)
        ((t1 > t0 && (b1 - b0) * 100 < 5 * (t1 - t0))) && return
        waited=$((waited + 3))
    done
    ((quiet == 0)) || echo "  (machine still busy after ${quiet} s; measuring anyway)"
}

# Runs a command under /usr/bin/time, its standard output into $work/stdout. Sets
# t_wall (s), t_rss (kB), t_cpu (%) and t_others: the share of the machine, in percent,
# that other processes took while it ran.
timed() {
    local busy0 busy1
    wait_quiet
    local start end
    read -r busy0 _ < <(machine_ticks)
    start=$EPOCHREALTIME
    /usr/bin/time -f '%e %M %P %U %S' -o "$work/time" "$@" >"$work/stdout" 2>"$work/stderr" ||
        { cat "$work/stderr" "$work/stdout" >&2; echo "failed: $*" >&2; exit 1; }
    end=$EPOCHREALTIME
    read -r busy1 _ < <(machine_ticks)
    read -r _ t_rss t_cpu t_user t_sys < <(tr -d '%' <"$work/time")
    # The wall clock to the millisecond (time's own is in hundredths of a second).
    t_wall=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')
    t_others=$(awk -v b=$((busy1 - busy0)) -v hz="$hz" -v u="$t_user" -v s="$t_sys" -v w="$t_wall" -v n="$cores" \
        'BEGIN { x = w > 0 ? (b / hz - u - s) / (w * n) * 100 : 0; printf "%d", x < 0 ? 0 : x }')
}

# Removes an earlier run's output, and lets the file system finish freeing it, before the
# next timed run.
fresh() {
    rm -f "$1"
    sync -f "$work"
}

# Median, minimum and maximum of the numbers given: "median min max".
stats() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
        m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        print m, v[1], v[NR] }'
}

# The 746 motifs cycled to 5000; copies after the first get "_2", "_3", ... after the ID.
make_large_motifs() {
    awk -v total=5000 '
        /^>/ { n++; head[n] = $0; body[n] = ""; next }
        { body[n] = body[n] $0 "\n" }
        END {
            for (i = 0; i < total; i++) {
                k = i % n + 1; copy = int(i / n) + 1; h = head[k]
                if (copy > 1) { sp = index(h, " "); h = sp ? substr(h, 1, sp - 1) "_" copy substr(h, sp) : h "_" copy }
                printf "%s\n%s", h, body[k]
            }
        }' "$real_motifs" >"$1"
}

measure() {  # label motif_file seq_file
    local label=$1 motifs=$2 seqs=$3
    local naive=() naive_cpu=() wall2=() wall1=() rss2=() rss1=() side=() i sum1 sum2
    echo "== $label"
    echo "  motifs: $motifs ($(grep -c '^>' "$motifs") motifs), sha256 $(sha256sum "$motifs" | cut -c1-64)"
    echo "  sequences: $seqs ($(grep -c '^>' "$seqs") sequences, $(stat -c %s "$seqs") bytes), sha256 $(sha256sum "$seqs" | cut -c1-64)"
    cat "$motifs" "$seqs" >/dev/null  # into the page cache before any timed run

    for ((i = 1; i <= runs && with_naive; i++)); do
        timed taskset -c 0 "$bench" naive "$motifs" "$seqs"
        naive+=("$(sed -n 's/^naive scan seconds: //p' "$work/stdout")")
        naive_cpu+=("$(sed -n 's/.*; \([0-9.]*\) s of CPU time.*/\1/p' "$work/stdout")")
        [[ $i -gt 1 ]] || grep -v -e '^cpu:' -e '^naive scan seconds:' "$work/stdout" | sed 's/^/  /'
        echo "  run $i straightforward scan, one core: ${naive[-1]} s wall, ${naive_cpu[-1]} s CPU" \
            "(others took ${t_others}% of the machine)"
    done

    # One run untimed first: the first run after the long straightforward scan was the
    # slowest of its series. Then the two settings alternate, so that a slow spell of the
    # machine falls on both, and take turns going first: timed one after the other, the
    # same program's second run took 1.4% less (medians of 12 pairs).
    fresh "$work/out2.txt"
    "$tarnel" -m "$motifs" -i "$seqs" -o "$work/out2.txt" >/dev/null
    all_cores() {
        fresh "$work/out2.txt"
        timed "$tarnel" -m "$motifs" -i "$seqs" -o "$work/out2.txt"
        wall2+=("$t_wall") rss2+=("$t_rss")
        echo "  run $i Tarnel, $cores cores: $t_wall s wall, $t_cpu% CPU, $((t_rss / 1024)) MiB peak RSS (others took ${t_others}%)"
    }
    one_core() {
        fresh "$work/out1.txt"
        timed taskset -c 0 "$tarnel" -m "$motifs" -i "$seqs" -o "$work/out1.txt"
        wall1+=("$t_wall") rss1+=("$t_rss")
        echo "  run $i Tarnel, one core: $t_wall s wall, $t_cpu% CPU, $((t_rss / 1024)) MiB peak RSS (others took ${t_others}%)"
    }
    # What the machine itself gives every core busy at once: a one-core run on each core,
    # all at the same time. Virtual cores that share a physical one, a clock that drops
    # while every core is busy, or a host that gives the cores less than whole ones slow
    # these runs as they slow the run on all cores, whatever the program does.
    side_by_side() {
        local k pids=() start end
        for ((k = 0; k < cores; k++)); do fresh "$work/side$k.txt"; done
        wait_quiet
        start=$EPOCHREALTIME
        for ((k = 0; k < cores; k++)); do
            taskset -c "$k" "$tarnel" -m "$motifs" -i "$seqs" -o "$work/side$k.txt" >/dev/null 2>"$work/side$k.err" &
            pids+=("$!")
        done
        for k in "${pids[@]}"; do
            wait "$k" || { cat "$work"/side*.err >&2; echo "failed: the one-core runs side by side" >&2; exit 1; }
        done
        end=$EPOCHREALTIME
        side+=("$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", b - a }')")
        echo "  run $i Tarnel, one core each on all $cores cores at once: ${side[-1]} s wall until the last ended"
        for ((k = 0; k < cores; k++)); do
            cmp -s "$work/side$k.txt" "$work/out1.txt" ||
                { echo "  OUTPUTS DIFFER between the runs side by side and the one-core run" >&2; exit 1; }
            rm -f "$work/side$k.txt"
        done
    }
    for ((i = 1; i <= runs; i++)); do
        # The order turns from round to round, the side-by-side runs always after the
        # one-core run whose output they are checked against.
        case $((i % 3)) in
        1) all_cores; one_core; side_by_side ;;
        2) one_core; side_by_side; all_cores ;;
        0) one_core; all_cores; side_by_side ;;
        esac
        sum2=$(sha256sum <"$work/out2.txt" | cut -c1-64)
        sum1=$(sha256sum <"$work/out1.txt" | cut -c1-64)
        if [[ $sum1 != "$sum2" ]]; then
            echo "  OUTPUTS DIFFER between the runs on $cores cores and on one core" >&2
            exit 1
        fi
    done
    echo "  output: $(wc -l <"$work/out2.txt") lines, $(stat -c %s "$work/out2.txt") bytes, identical on one and $cores cores, sha256 $sum2"
    rm -f "$work/out1.txt" "$work/out2.txt"

    # Other option sets, each run beside a default run so that both meet the same machine,
    # the two taking turns going first.
    local set opts walls=() defaults=() d_wall
    IFS='|' read -r -a sets <<<"$others"
    for set in "${sets[@]}"; do
        read -r -a opts <<<"$set"
        ((${#opts[@]})) || continue
        walls=() defaults=()
        for ((i = 1; i <= runs; i++)); do
            if ((i % 2 == 0)); then
                fresh "$work/out.txt"
                timed "$tarnel" -m "$motifs" -i "$seqs" -o "$work/out.txt"
                d_wall=$t_wall
            fi
            fresh "$work/out.txt"
            timed "$tarnel" -m "$motifs" -i "$seqs" "${opts[@]}" -o "$work/out.txt"
            walls+=("$t_wall")
            echo "  run $i Tarnel $set: $t_wall s wall, $t_cpu% CPU, $((t_rss / 1024)) MiB peak RSS (others took ${t_others}%)"
            if ((i % 2)); then
                fresh "$work/out.txt"
                timed "$tarnel" -m "$motifs" -i "$seqs" -o "$work/out.txt"
                d_wall=$t_wall
            fi
            defaults+=("$d_wall")
            echo "      default run beside it: $d_wall s"
        done
        read -r o_med _ < <(stats "${walls[@]}")
        read -r d_med _ < <(stats "${defaults[@]}")
        awk -v s="$set" -v o="$o_med" -v d="$d_med" -v runs="$runs" \
            'BEGIN { printf "  -- %s: median %.3f s against %.3f s for the default run beside it (%.2fx)\n", s, o, d, o / d }'
    done
    rm -f "$work/out.txt"

    n_med=0 n_min=0 n_max=0 nc_med=0
    if ((with_naive)); then
        read -r n_med n_min n_max < <(stats "${naive[@]}")
        read -r nc_med _ < <(stats "${naive_cpu[@]}")
    fi
    read -r w2_med w2_min w2_max < <(stats "${wall2[@]}")
    read -r w1_med w1_min w1_max < <(stats "${wall1[@]}")
    read -r s_med s_min s_max < <(stats "${side[@]}")
    read -r r2_med _ r2_max < <(stats "${rss2[@]}")
    read -r r1_med _ r1_max < <(stats "${rss1[@]}")
    awk -v runs="$runs" -v c="$cores" -v n="$n_med" -v n0="$n_min" -v n1="$n_max" -v nc="$nc_med" \
        -v a="$w2_med" -v a0="$w2_min" -v a1="$w2_max" -v b="$w1_med" -v b0="$w1_min" -v b1="$w1_max" \
        -v r2="$r2_med" -v r2x="$r2_max" -v r1="$r1_med" -v r1x="$r1_max" \
        -v s="$s_med" -v s0="$s_min" -v s1="$s_max" 'BEGIN {
        printf "  -- medians of %d runs (range in brackets)\n", runs
        if (n > 0)
            printf "  straightforward scan, one core:   %9.2f s  [%.2f - %.2f]  (%.2f s of CPU time)\n", n, n0, n1, nc
        printf "  whole run of Tarnel, %d cores:     %9.3f s  [%.3f - %.3f]  peak RSS %.1f MB (max %.1f)\n", c, a, a0, a1, r2 * 1.024e-3, r2x * 1.024e-3
        printf "  whole run of Tarnel, one core:    %9.3f s  [%.3f - %.3f]  peak RSS %.1f MB (max %.1f)\n", b, b0, b1, r1 * 1.024e-3, r1x * 1.024e-3
        if (n > 0)
            printf "  straightforward scan / whole run: %9.1fx on %d cores, %.1fx on one core\n", n / a, c, n / b
        printf "  one core / %d cores (whole run):   %9.2fx\n", c, b / a
        printf "  one-core runs on all %d cores at once: %6.3f s  [%.3f - %.3f]  until the last ended\n", c, s, s0, s1
        printf "  what the machine gives %d busy cores: %6.2fx one core (%d one-core runs at once against one alone);\n", c, c * b / s, c
        printf "    the run on %d cores reached %.0f%% of it\n", c, 100 * s / (c * a)
    }'
    echo
}

echo "cpu: $(lscpu | sed -n 's/^Model name: *//p'), $cores cores; Tarnel runs with its default options"
echo
for w in $workloads; do
    case $w in
    500)
        "$bench" make-workload "$real_seqs" "$gen/stitched_20000x500.fa" 20000 500 500
        measure "746 motifs x 20,000 sequences x 500 letters (stitched from the real sequences)" \
            "$real_motifs" "$gen/stitched_20000x500.fa"
        ;;
    real)
        measure "real data: 746 motifs x 1,500 sequences x 200 letters" "$real_motifs" "$real_seqs"
        ;;
    large)
        make_large_motifs "$gen/cycled_5000.motifs"
        "$bench" make-workload "$real_seqs" "$gen/stitched_50000x1000.fa" 50000 1000 1000
        measure "5,000 motifs (746 cycled) x 50,000 sequences x 1,000 letters (stitched)" \
            "$gen/cycled_5000.motifs" "$gen/stitched_50000x1000.fa"
        ;;
    *)
        echo "unknown workload '$w' (500, real or large)" >&2
        exit 1
        ;;
    esac
done
