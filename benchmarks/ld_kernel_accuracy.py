"""Accuracy of lumora_ld's uniform-disk kernel (Witt & Mao 1994 as two of
Bulirsch's cel, the disk-mean series beyond u = 10R) against the same closed
form evaluated by mpmath at 80 digits (its own K, E and Π): R = 10^(j/2) from
1e-6 to 1e4, u/R = 1 ± 10^-k (k = 1 … 15), u = R, u = 0, seeded
|u − R|/R log-uniform in [1e-15, 1] on both sides, and seeded u/R in [0, 40].
Prints the worst relative errors and where they occur.

Usage (inside tools/py314): python3 benchmarks/ld_kernel_accuracy.py
"""

import random
import subprocess
import sys
from pathlib import Path

import mpmath as mp

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

import prove_ld_nodes as prove  # noqa: E402


def truth(u, r):
    # 1 − n = ((u − R)/(u + R))² reaches 1e-32 on the grid: mpmath forms it
    # from n, so it works with 80 digits to keep 40 in the result.
    with mp.workdps(80):
        return +truth_at_working_precision(u, r)


def truth_at_working_precision(u, r):
    u, r = mp.mpf(u), mp.mpf(r)
    if u == r:
        return ((1 + r * r) / (r * r) * 2 * mp.atan(r) + 2 / r) / mp.pi
    n = 4 * u * r / (u + r) ** 2
    m = 4 * n / ((u - r) ** 2 + 4)
    root = mp.sqrt((u - r) ** 2 + 4)
    c_e = root * (u + r) / (2 * r * r)
    c_k = (u - r) * ((u * u - r * r) / 2 + 4) / (root * r * r)
    c_pi = 2 * (u - r) ** 2 * (1 + r * r) / (root * r * r * (u + r))
    return (mp.ellipe(m) * c_e - mp.ellipk(m) * c_k + mp.ellippi(n, m) * c_pi) / mp.pi


def main():
    mp.mp.dps = 40
    prove.build()
    rng = random.Random(3)
    points = []
    for j in range(-12, 9):
        r = 10.0 ** (j / 2)
        points += [(r, r), (0.0, r)]
        for k in range(1, 16):
            points += [(r * (1 + 10.0**-k), r), (r * (1 - 10.0**-k), r)]
        for _ in range(20):
            delta = 10 ** rng.uniform(-15, 0)
            points += [(r * (1 + delta), r), (r * (1 - delta), r)]
        points += [(r * rng.uniform(0, 40), r) for _ in range(40)]
    out = subprocess.run([str(prove.DRIVER), "disk"], input="\n".join(f"{u!r} {r!r}" for u, r in points),
                         capture_output=True, text=True, check=True).stdout.split()
    errors = sorted(((prove.rel(float(v), float(truth(u, r))), u / r, r) for v, (u, r) in zip(out, points)),
                    reverse=True)
    print(f"{len(points)} points; worst relative errors (error, u/R, R):")
    for e in errors[:5]:
        print(f"  {e[0]:.1e}  {e[1]!r}  {e[2]!r}")
    limb = max(e for e, z, _ in errors if abs(z - 1) < 1e-3)
    print(f"worst within |u/R - 1| < 1e-3: {limb:.1e}")
    closed = max(e for e, z, _ in errors if z < 10)
    print(f"worst for u/R < 10 (the closed form): {closed:.1e}")


if __name__ == "__main__":
    main()
