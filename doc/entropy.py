#!/usr/bin/env python3
"""Estimates how much randomness a prime of keygen carries.

A candidate's text is the decimal texts of 31-bit values joined and cut to
100 digits, so texts are not equally likely. For a text t the chance that a
draw gives it, P(t), is a sum over the ways to cut t into value texts; it is
computed exactly below. The search keeps the first candidate that is a prime
of 3 mod 4, so a prime p comes out with chance P(p) / s, s the share of
candidates that are such primes. The entropy of the prime is then the mean
of -log2(P(p) / s) over primes made the way keygen makes them.

    python3 doc/entropy.py [PRIMES]
"""
import math
import secrets
import statistics
import sys

TOP = 2**31           # values are 0 .. TOP-1
DIGITS = 100
SMALL = [p for p in range(3, 2000) if all(p % d for d in range(2, int(p**0.5) + 1))]


def candidate():
    text = ""
    while len(text) < DIGITS:
        text += str(secrets.randbelow(TOP))
    return text[:DIGITS]


def is_probable_prime(n):
    if any(n % p == 0 for p in SMALL):
        return False
    d, s = n - 1, 0
    while d % 2 == 0:
        d, s = d // 2, s + 1
    for a in (2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37):
        x = pow(a, d, n)
        if x in (1, n - 1):
            continue
        for _ in range(s - 1):
            x = x * x % n
            if x == n - 1:
                break
        else:
            return False
    return True


def whole_value(piece):
    """Whether piece is the full text of a value."""
    return (piece == "0" or piece[0] != "0") and int(piece) < TOP


def values_starting_with(piece):
    """How many values have a text that begins with piece."""
    if piece == "0":
        return 1
    if piece[0] == "0":
        return 0
    count = 0
    for length in range(len(piece), 11):
        low = int(piece) * 10 ** (length - len(piece))
        high = min((int(piece) + 1) * 10 ** (length - len(piece)), TOP)
        count += max(0, high - max(low, 10 ** (length - 1)))
    return count


def log2_chance(text):
    """log2 of the chance that one draw gives exactly this text."""
    # ways[i]: chance that whole values fill text[:i] exactly.
    ways = [0.0] * (DIGITS + 1)
    ways[0] = 1.0
    for i in range(1, DIGITS):
        ways[i] = sum(ways[j] for j in range(max(0, i - 10), i)
                      if ways[j] and whole_value(text[j:i])) / TOP
    # The last value drawn starts before the end and may run past it.
    total = sum(ways[j] * values_starting_with(text[j:]) / TOP
                for j in range(DIGITS - 10, DIGITS) if ways[j])
    return math.log2(total)


def main():
    wanted = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    surprisal, first_digit_one, candidates, primes = [], 0, 0, []
    while len(primes) < wanted:
        text = candidate()
        candidates += 1
        n = int(text)
        if n % 4 == 3 and is_probable_prime(n):
            primes.append(n)
            surprisal.append(-log2_chance(text))
            first_digit_one += text[0] == "1"
    share = len(primes) / candidates
    entropy = [s + math.log2(share) for s in surprisal]
    short_n = sum(len(str(primes[i] * primes[i + 1])) == 199 for i in range(0, wanted - 1, 2))
    print(f"primes: {wanted}, candidates per prime: {1 / share:.1f}")
    print(f"entropy per prime: {statistics.mean(entropy):.1f} bits "
          f"(standard error {statistics.stdev(entropy) / math.sqrt(wanted):.2f}), "
          f"least {min(entropy):.1f}")
    uniform = math.log2(9 * 10**99 / math.log(10**100) / 2)
    print(f"a uniform 100-digit prime of 3 mod 4: {uniform:.1f} bits")
    print(f"primes beginning with 1: {first_digit_one / wanted:.1%}; "
          f"N of 199 digits: {short_n / (wanted // 2):.1%}")


if __name__ == "__main__":
    main()
