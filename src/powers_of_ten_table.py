#!/usr/bin/env python3
"""Writes powers_of_ten_table.h: 10^k for k from -302 to 314, each rounded once (to
nearest, ties to even) to the 64-bit significand of the x87 extended format, as hexadecimal
literals the compiler reads exactly. Run from src/:
    python3 powers_of_ten_table.py > powers_of_ten_table.h
"""
from fractions import Fraction

LEAST, MOST = -302, 314


def extended(v):
    """The significand m (2^63 <= m < 2^64) and exponent e of v rounded to 64 bits."""
    e = v.numerator.bit_length() - v.denominator.bit_length() - 64
    while v / Fraction(2) ** e >= 2**64:
        e += 1
    while v / Fraction(2) ** e < 2**63:
        e -= 1
    q = v / Fraction(2) ** e
    m, rest = divmod(q.numerator, q.denominator)
    twice = 2 * rest
    if twice > q.denominator or (twice == q.denominator and m % 2 == 1):
        m += 1
    if m == 2**64:
        m, e = 2**63, e + 1
    return m, e


print("// Made by powers_of_ten_table.py: do not edit.")
print("#pragma once")
print()
print(f"// 10^k for k from {LEAST} to {MOST}, rounded once to a 64-bit significand.")
print("inline constexpr long double powers_of_ten_table[] = {")
rows = [(f"0x{m:016X}p{e:+d}L,", k) for k in range(LEAST, MOST + 1) for m, e in [extended(Fraction(10) ** k)]]
width = max(len(literal) for literal, _ in rows) + 2  # comments aligned, as clang-format keeps them
for literal, k in rows:
    print(f"    {literal.ljust(width)}// 1e{k}")
print("};")
