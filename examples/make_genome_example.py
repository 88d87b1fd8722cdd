#!/usr/bin/env python3
"""Writes the made-up genome and peak file of the quick start (examples/genome.fa and
examples/peaks.narrowPeak): the same bytes on every run, from a fixed generator.

Three chromosomes of random letters with soft-masked (lower-case) stretches; 150 peaks on
both strands, with summits, and GATA-like (GATAAG) or E-box (CACGTG) sites planted next to
the summits of some of them, so that the bundled motifs find something to report.
Run from anywhere: python3 examples/make_genome_example.py
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
CHROMS = [("chr1", 180000), ("chr2", 100000), ("chrM", 16569)]


class Generator:
    """A 64-bit linear congruential generator: fixed, whatever the Python version."""

    def __init__(self, seed):
        self.state = seed

    def next(self, n):
        self.state = (self.state * 6364136223846793005 + 1442695040888963407) % 2**64
        return (self.state >> 33) % n


def main():
    rng = Generator(20261208)
    genome = {}
    for name, length in CHROMS:
        letters = []
        masked = False
        for _ in range(length):
            if rng.next(800) == 0:
                masked = not masked
            base = "ACGT"[rng.next(4)]
            letters.append(base.lower() if masked else base)
        genome[name] = letters

    peaks = []
    for i in range(150):
        name, length = CHROMS[rng.next(len(CHROMS))]
        width = 150 + rng.next(250)
        start = rng.next(length - width)
        summit = 40 + rng.next(width - 80)
        strand = "+-."[i % 3] if i % 10 else "."
        site = ["GATAAG", "CACGTG", None][i % 3]
        if site is not None and rng.next(3) != 0:
            at = start + summit - 3
            genome[name][at:at + 6] = list(site)
        score = 100 + rng.next(900)
        peaks.append((name, start, start + width, "peak%d" % (i + 1), score, strand,
                      "%.5f" % (2 + rng.next(10000) / 1000), "%.5f" % (3 + rng.next(20000) / 1000),
                      "%.5f" % (1 + rng.next(15000) / 1000), summit))
    peaks.sort(key=lambda p: ([c for c, _ in CHROMS].index(p[0]), p[1]))

    with open(os.path.join(HERE, "genome.fa"), "w", newline="\n") as out:
        for name, _ in CHROMS:
            out.write(">%s made-up sequence\n" % name)
            letters = genome[name]
            for i in range(0, len(letters), 60):
                out.write("".join(letters[i:i + 60]) + "\n")
    with open(os.path.join(HERE, "peaks.narrowPeak"), "w", newline="\n") as out:
        out.write('track type=narrowPeak name="made-up peaks"\n')
        for p in peaks:
            out.write("\t".join(str(x) for x in p) + "\n")


if __name__ == "__main__":
    main()
