#!/usr/bin/env python3
"""Writes number_cases.txt: one line per distinct decimal value, holding
several spellings of that value separated by spaces. decimal.Decimal checks
every spelling, and that neighbouring lines hold different values.

Run from this directory: python3 gen_number_cases.py > number_cases.txt
"""
import random
from decimal import Decimal, getcontext

getcontext().prec = 400
rng = random.Random(20261206)


def spellings(sign, digits, exp):
    """Spellings of (-1)^sign * digits * 10^exp (digits has no trailing zero)."""
    s = "-" if sign else ""
    out = set()
    # Plain integer or fixed-point form.
    if exp >= 0:
        out.add(s + digits + "0" * exp)
        out.add(s + digits + "0" * exp + ".000")
        out.add(s + "00" + digits + "0" * exp)
    else:
        k = -exp
        padded = digits.rjust(k + 1, "0")
        fixed = padded[:-k] + "." + padded[-k:]
        out.add(s + fixed)
        out.add(s + fixed + "00")
    # Scientific forms with the point moved around.
    for shift in range(0, min(len(digits), 4) + 1):
        head, tail = digits[: len(digits) - shift], digits[len(digits) - shift:]
        mant = (head or "0") + ("." + tail if tail else "")
        e = exp + shift
        out.add(s + mant + "e" + str(e))
        out.add(s + mant + "E" + ("+" if e >= 0 else "") + str(e))
    # Extra zeros on the mantissa, compensated by the exponent.
    out.add(s + digits + "000e" + str(exp - 3))
    out.add(s + "0." + digits + "e" + str(exp + len(digits)))
    return sorted(out)


def random_value():
    kind = rng.random()
    if kind < 0.3:
        n = rng.randint(1, 18)
    elif kind < 0.6:
        n = rng.randint(19, 40)  # beyond 64 bits
    else:
        n = rng.randint(1, 8)
    digits = str(rng.randint(1, 9)) + "".join(rng.choice("0123456789") for _ in range(n - 1))
    digits = digits.rstrip("0") or "1"
    exp = rng.randint(-25, 25)
    sign = rng.random() < 0.4
    return sign, digits, exp


def main():
    lines = [["0", "-0", "0.000", "0e7", "-0.0e-5", "000", "0E+3"]]
    seen = {Decimal(0)}
    while len(lines) < 300:
        sign, digits, exp = random_value()
        group = spellings(sign, digits, exp)
        values = {Decimal(x) for x in group}
        assert len(values) == 1, group
        v = values.pop()
        if v in seen:
            continue
        seen.add(v)
        lines.append(group)
        # A near neighbour: one more unit in a far digit.
        near = v + Decimal((0, (1,), exp - 20))
        if near not in seen:
            seen.add(near)
            lines.append([str(near), format(near, "f")])
    for group in lines:
        print(" ".join(group))


if __name__ == "__main__":
    main()
