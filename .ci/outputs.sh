#!/usr/bin/env bash
# Writes the output file and standard output of every run CI compares across builds into
# a folder: the bundled example and the real data, the threaded and the sampled run, with
# and without --both-strands and --bed.
#   .ci/outputs.sh OUT_DIR COMMAND...   (COMMAND: the binary, with an emulator before it)
#   RUNS="n500" .ci/outputs.sh ...       only the sampled run (default: "default n500")
#   OPTIONS="-t 1" .ci/outputs.sh ...    options added to every run
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=$1
shift
mkdir -p "$out"
inputs=("example:$root/examples/motifs.txt:$root/examples/seqs.fa"
    "real:$root/examples/data/jaspar_core.motifs:$root/examples/data/real_seqs.fa")
for input in "${inputs[@]}"; do
    IFS=: read -r name motifs seqs <<<"$input"
    for run in ${RUNS:-default n500}; do
        for options in plain both bed both_bed; do
            args=(-m "$motifs" -i "$seqs")
            read -r -a extra <<<"${OPTIONS:-}"
            args+=("${extra[@]}")
            [[ $run == n500 ]] && args+=(-n 500)
            [[ $options == both* ]] && args+=(--both-strands)
            [[ $options == *bed ]] && args+=(--bed)
            tag=$name.$run.$options
            "$@" "${args[@]}" -o "$out/$tag.out" >"$out/$tag.stdout"
        done
    done
done
