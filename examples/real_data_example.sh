#!/usr/bin/env bash
# Runs both analyses on the real data in examples/data and prints, for each, the five
# motifs with the most reported sites.
#   usage: examples/real_data_example.sh [path/to/Tarnel] [data folder]
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
tarnel="${1:-$here/../build/Tarnel}"
data="${2:-$here/data}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT

top_five() {
  cut -f1 "$1" | sort | uniq -c | sort -k1,1nr -k2 | head -n 5
}

"$tarnel" -m "$data/jaspar_core.motifs" -i "$data/real_seqs.fa" -o "$out/whole_set.txt" -r 2 >/dev/null
echo "Threaded whole-set run (t >= 2): $(wc -l < "$out/whole_set.txt") sites; motifs with the most:"
top_five "$out/whole_set.txt"

"$tarnel" -m "$data/jaspar_core.motifs" -i "$data/real_seqs.fa" -o "$out/sampled.txt" -n 500 -r 2 >/dev/null
echo "Sampled run (500 sequences per motif, |t| >= 2): $(wc -l < "$out/sampled.txt") sites; motifs with the most:"
top_five "$out/sampled.txt"
