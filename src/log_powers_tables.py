#!/usr/bin/env python3
"""Writes log_powers_tables.h: the constants of the vector logarithm and exponential.

Every value is worked out to 60 decimal digits and split into a double and the double
nearest the rest, so that each pair is within 2^-106 of its value. Run from src/:
    python3 log_powers_tables.py > log_powers_tables.h
"""
from decimal import Decimal, getcontext
from fractions import Fraction

getcontext().prec = 60


def split(v):
    """v as two doubles, hi the nearest to v and lo the nearest to v - hi."""
    hi = float(v)
    lo = float(v - Decimal(hi))
    return hi, lo


def chop(v, bits):
    """v rounded to a double of at most `bits` significant bits."""
    f = Fraction(v)
    e = 0
    while abs(f) >= 2:
        f /= 2
        e += 1
    while abs(f) < 1:
        f *= 2
        e -= 1
    scaled = round(f * 2 ** (bits - 1))
    return float(Fraction(scaled, 2 ** (bits - 1)) * Fraction(2) ** e)


def centre(i):
    """The table's point for index i: the middle of its interval, or 1 beside 1."""
    if i == 0 or i == 127:
        return Fraction(1)
    if i < 64:  # z in [1 + i/128, 1 + (i+1)/128)
        return 1 + Fraction(2 * i + 1, 256)
    # z/2 in [0.75 + (i-64)/256, 0.75 + (i-63)/256)
    return Fraction(3, 4) + Fraction(2 * (i - 64) + 1, 512)


def dec(fr):
    return Decimal(fr.numerator) / Decimal(fr.denominator)


def lit(x):
    return x.hex() if x != 0 else "0x0p+0"


ln2 = Decimal(2).ln()
print("// Made by log_powers_tables.py; do not edit.")
print("#pragma once\n")
print("namespace log_powers_tables {\n")
ln2_hi = chop(ln2, 42)
print(f"// ln 2 as a 42-bit part (k ln2_hi is exact for |k| < 2^11) and the rest.")
print(f"constexpr double ln2_hi = {lit(ln2_hi)};")
print(f"constexpr double ln2_lo = {lit(float(ln2 - Decimal(ln2_hi)))};")
step = ln2 / 128
c1 = chop(step, 36)
c2 = float(step - Decimal(c1))
c3 = float(step - Decimal(c1) - Decimal(c2))
print("// ln 2 / 128 in three parts, the first of 36 bits (k c1 is exact for |k| < 2^17).")
print(f"constexpr double step_1 = {lit(c1)};")
print(f"constexpr double step_2 = {lit(c2)};")
print(f"constexpr double step_3 = {lit(c3)};")
print(f"constexpr double steps_per_unit = {lit(float(128 / ln2))};  // 128 / ln 2\n")
print("// Index i: the point c, 1/c and ln c, the last two each as a double and the rest.")
print("struct log_entry {\n    double c, inv_hi, inv_lo, log_hi, log_lo;\n};")
print("constexpr log_entry log_table[128] = {")
for i in range(128):
    c = centre(i)
    inv_hi, inv_lo = split(1 / dec(c))
    log_hi, log_lo = split(dec(c).ln()) if c != 1 else (0.0, 0.0)
    fields = ", ".join(lit(x) for x in (float(c), inv_hi, inv_lo, log_hi, log_lo))
    print(f"    {{{fields}}},")
print("};\n")
print("// 2^(j/128) as a double and the rest.")
print("struct exp_entry {\n    double hi, lo;\n};")
print("constexpr exp_entry exp_table[128] = {")
for j in range(128):
    hi, lo = split((Decimal(j) / 128 * ln2).exp())
    print(f"    {{{lit(hi)}, {lit(lo)}}},")
print("};\n")
print("}  // namespace log_powers_tables")
