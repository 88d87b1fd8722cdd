#!/usr/bin/env bash
# Runs the bundled example workflow (two samples, three motif shards) and checks it against
# direct whole runs of the binary. Usage: workflow_test.sh TARNEL_BINARY SOURCE_DIR
# Exits 77 (skipped) when snakemake is not installed.
set -euo pipefail
command -v snakemake >/dev/null || { echo "snakemake not installed: skipped"; exit 77; }
bin=$(realpath "$1")
src=$(realpath "$2")

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
cd "$src"
run() {
  snakemake -s workflow/Snakefile --configfile workflow/example/config.yaml \
    --config tarnel="$bin" --cores 2 -d "$scratch/out" "$@"
}
run >"$scratch/first.log" 2>&1 || { tail -40 "$scratch/first.log"; fail "the workflow failed"; }
out=$scratch/out

# The options of workflow/example/config.yaml, given by hand: an option the workflow drops
# or mistranslates shows as a difference.
motifs=examples/data/jaspar_core.motifs
"$bin" -m $motifs -i examples/data/real_seqs.fa -r 1.5 --both-strands -s 7 -n 500 \
  -o "$scratch/ctcf.txt" >/dev/null 2>&1
"$bin" -m $motifs --genome examples/genome.fa --regions examples/peaks.narrowPeak --bed \
  -o "$scratch/peaks.bed" >/dev/null 2>&1
for f in ctcf/sites.txt:ctcf.txt peaks/sites.bed:peaks.bed; do
  merged=$out/samples/${f%%:*}
  cmp "$merged" "$scratch/${f##*:}" || fail "$merged differs from the direct whole run"
  shards=("$(dirname "$merged")"/shards/*."${merged##*.}")
  [ ${#shards[@]} -eq 3 ] || fail "$merged: ${#shards[@]} shard file(s), 3 configured"
  for s in "${shards[@]}"; do [ -s "$s" ] || fail "$s: empty shard"; done
done

# A row per motif, in motif-file order.
table=$out/sites_per_motif.tsv
[ "$(head -1 "$table")" = "$(printf 'motif\tctcf\tpeaks\tctcf_share\tpeaks_share')" ] || fail "$table: header"
diff <(tail -n +2 "$table" | cut -f1) <(sed -n 's/^>//p' $motifs) >/dev/null \
  || fail "$table: the rows are not the motif file's motifs"
# Each column: the sites per motif of the direct run (motif in field 1, field 4 in BED).
count() { awk -F'\t' -v f="$2" 'NR == FNR { n[$f]++; next } { print 0 + n[substr($0, 2)] }' \
  "$1" <(grep '^>' $motifs); }
diff <(tail -n +2 "$table" | cut -f2) <(count "$scratch/ctcf.txt" 1) >/dev/null \
  || fail "$table: ctcf column differs from the direct run's sites per motif"
diff <(tail -n +2 "$table" | cut -f3) <(count "$scratch/peaks.bed" 4) >/dev/null \
  || fail "$table: peaks column differs from the direct run's sites per motif"

# The share columns: each motif's written share, as the direct run's summary gives it.
"$bin" -m $motifs -i examples/data/real_seqs.fa -r 1.5 --both-strands -s 7 -n 500 \
  -o /dev/null --summary "$scratch/ctcf.tsv" >/dev/null 2>&1
diff <(tail -n +2 "$table" | cut -f4) \
  <(awk -F'\t' 'NR == 1 { for (i = 1; i <= NF; i++) if ($i == "written_share") c = i; next } { print $c }' \
    "$scratch/ctcf.tsv") >/dev/null \
  || fail "$table: ctcf_share differs from the direct run's written_share"

for k in 1 2 3; do
  grep -q '</html>' "$out/samples/ctcf/shards/$k.txt.report.html" || fail "ctcf shard $k: no complete report"
done

[ "$(cat "$out/tarnel_version.txt")" = "$("$bin" --version)" ] || fail "version file"
for log in ctcf/shard1.txt ctcf/shard3.txt peaks/shard2.bed; do
  grep -qx '1/24[89]' "$out/logs/$log.log" || fail "logs/$log.log: no progress of the shard"
done

# Everything up to date: a second invocation has nothing to do.
run -n >"$scratch/second.log" 2>&1 || fail "the dry run failed"
grep -q "Nothing to be done" "$scratch/second.log" || { cat "$scratch/second.log"; fail "a second run would redo jobs"; }
echo "workflow: 2 samples x 3 shards merged as the whole runs; table of $(($(wc -l <"$table") - 1)) motifs"
