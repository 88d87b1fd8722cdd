#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs them one after another, each for the
# given number of seconds (default 600), then prints executions, coverage and findings.
#
#   tests/fuzz/run_fuzzers.sh [SECONDS] [TARGET...]
#
# TARGET is motif_reader, seq_reader, command_line or motif_formats (default: all four). Environment:
#   TARNEL_FUZZ_BUILD  build folder (default /tmp/tarnel-fuzz-build)
#   TARNEL_FUZZ_WORK   working corpora, logs and crash inputs (default /tmp/tarnel-fuzz-work);
#                      kept between runs, so a later run goes on from the corpus found so far
#   CXX                the clang driver (default clang++-14)
# The seed corpora in tests/fuzz/corpus are only read. One fuzzer process runs at a time,
# at the lowest priority, so the machine stays usable for other work.
# Exit status: 0 without findings, 1 when some target left a crash input, 2 on misuse.
set -euo pipefail

seconds=${1:-600}
shift || true
if ! [[ $seconds =~ ^[0-9]+$ ]] || ((seconds < 1)); then
    echo "usage: $0 [SECONDS] [motif_reader|seq_reader|command_line|motif_formats...]" >&2
    exit 2
fi
targets=("$@")
((${#targets[@]})) || targets=(motif_reader seq_reader command_line motif_formats)

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=${TARNEL_FUZZ_BUILD:-/tmp/tarnel-fuzz-build}
work=${TARNEL_FUZZ_WORK:-/tmp/tarnel-fuzz-work}
cxx=${CXX:-clang++-14}

declare -A corpus_of=([motif_reader]=motif [seq_reader]=seq [command_line]=command_line [motif_formats]=motif_formats)
# Long enough for a title or file name past the 2499-character limit, and for a
# sequence past 5500 letters.
declare -A max_len_of=([motif_reader]=8192 [seq_reader]=12288 [command_line]=8192 [motif_formats]=8192)
for t in "${targets[@]}"; do
    if [[ -z ${corpus_of[$t]:-} ]]; then
        echo "unknown target: $t" >&2
        exit 2
    fi
done

generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
echo "== configuring $build with $cxx"
CXX=$cxx cmake -S "$source_dir" -B "$build" "${generator[@]}" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNEL_FUZZ=ON -DTARNEL_BUILD_BENCH=OFF >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log" >&2; exit 2; }
echo "== building ${targets[*]}"
nice -n 19 cmake --build "$build" -j1 --target "${targets[@]/#/fuzz_}" >"$build.build.log" 2>&1 ||
    { tail -50 "$build.build.log" >&2; exit 2; }

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

status=0
summary=()
for t in "${targets[@]}"; do
    dir="$work/$t"
    mkdir -p "$dir/corpus" "$dir/artifacts"
    before=$(find "$dir/artifacts" -type f | sort)
    binary=$(find "$build" -name "fuzz_$t" -type f -perm -u+x | head -1)
    echo "== fuzzing $t for ${seconds}s (log: $dir/fuzz-0.log)"
    # libFuzzer writes new inputs into the first corpus folder only, so the seeds stay as
    # they are; -jobs=1 runs one worker with its output in fuzz-0.log.
    (cd "$dir" && rm -f fuzz-0.log &&
        nice -n 19 "$binary" -jobs=1 -workers=1 -max_total_time="$seconds" \
            -max_len="${max_len_of[$t]}" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
            -dict="$here/${corpus_of[$t]}.dict" -artifact_prefix="$dir/artifacts/" \
            "$dir/corpus" "$here/corpus/${corpus_of[$t]}" >"$dir/parent.log" 2>&1) || true
    log="$dir/fuzz-0.log"
    [[ -f $log ]] || log="$dir/parent.log"
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log" | tail -1)
    last=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
    cov=$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")
    ft=$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")
    corp=$(sed -n 's/.* corp: \([0-9]*\/[0-9A-Za-z]*\).*/\1/p' <<<"$last")
    new_files=$(comm -13 <(echo "$before") <(find "$dir/artifacts" -type f | sort) | sed '/^$/d')
    found=$(sed '/^$/d' <<<"$new_files" | wc -l)
    line="$t: executions ${execs:-?}, exec/s ${rate:-?}, cov ${cov:-?}, ft ${ft:-?}, corpus ${corp:-?}, new findings $found"
    summary+=("$line")
    echo "$line"
    if ((found > 0)); then
        status=1
        sed 's/^/   finding: /' <<<"$new_files"
        grep -E 'ERROR: |check failed|SUMMARY' "$log" | head -5 | sed 's/^/   /'
    fi
done

echo "== summary (${seconds}s per target)"
printf '%s\n' "${summary[@]}"
exit $status
