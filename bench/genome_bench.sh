#!/usr/bin/env bash
# Reading 50,000 regions of 500 bp from a synthetic bgzip genome of a few hundred Mb.
#
#   bench/genome_bench.sh                    builds (if needed) in build/ and runs
#   BUILD_DIR=/tmp/b SEED=7 MEGABASES=300 bench/genome_bench.sh
#
# The genome is made in the build folder (build/genome_bench/), the same bytes for the
# same seed and size, and kept for later runs; the first run makes and indexes it.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build}
seed=${SEED:-2026}
megabases=${MEGABASES:-300}

if [[ ! -f $build/CMakeCache.txt ]]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DTARNEL_BUILD_TESTS=OFF -DTARNEL_BUILD_BENCH=ON >/dev/null
fi
cmake --build "$build" --target tarnel_genome_bench -j 2 >/dev/null
"$build/bench/tarnel_genome_bench" "$build/genome_bench" "$seed" "$megabases"
