"""Cost and accuracy of lumora_ld.magnification_and_gradient.

    PYTHONPATH=build/py314 python3 benchmarks/ld_gradient.py [--quick] [--large] [--grid]

Speed: magnification_and_gradient against magnification on the same seeded
values, per value, one core (workers=1), linear law a = 0.6, per source
radius rho in {1e-3, 1e-2, 0.1, 1} and regime (near: z = u/rho uniform in
[0, 3]; far: z uniform in [3, 100]); best of three runs, both timed in the
same run, so read the ratio (the absolute times move with the machine's
load, printed first).

Accuracy: the worst error of each derivative at rtol=1e-8 on the test
points (tests/data/ld_gradient_truth.json: central differences of the
independent reference tests/ld_reference.py in u and rho, the coefficients
through the profile's linearity), relative to |truth|, or where a
derivative passes through zero to 1e-3 A/rho (u, rho) and 1e-3 (A - 1)
(coefficients), as tests/test_ld.py measures it.  The pure relative error
is given beside it where the truth is not that small.

--large adds the cost for large sources (rho in {3, 10, 100, 1e4}, near);
--grid compares rtol=1e-8 with rtol=1e-12 on a dense grid without a truth
(rho from 1e-6 to 1e4, z on [0, 2.5] in steps of 0.01 with z = 1 +- 10^-k,
k = 1..6, every profile of the tests), scaled the same way (coefficients
also by 1e-9 A, where A - 1 is below rounding).
"""

import argparse
import json
import os

import numpy as np

import lumora_ld

HERE = os.path.dirname(os.path.abspath(__file__))
TRUTH = os.path.join(os.path.dirname(HERE), "tests", "data", "ld_gradient_truth.json")
# The same law, radii, regimes and timing as benchmarks/ld_speed.py.
from ld_speed import A, REGIMES, RHOS, best_time  # noqa: E402


def speed(values):
    rng = np.random.default_rng(2026)
    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors; {values} values per case, "
          f"linear law a = {A}, workers=1, best of 3\n")
    print("| regime | rho | magnification (us) | magnification_and_gradient (us) | ratio |")
    print("|---|---|---|---|---|")
    for regime, (low, high) in REGIMES.items():
        for rho in RHOS:
            u = rng.uniform(low, high, values) * rho
            value = best_time(lambda: lumora_ld.magnification(u, rho, "linear", (A,), workers=1))
            both = best_time(lambda: lumora_ld.magnification_and_gradient(u, rho, "linear", (A,), workers=1))
            print(f"| {regime} | {rho:g} | {1e6 * value / values:.3g} | {1e6 * both / values:.3g} | "
                  f"{both / value:.2f} |")


def large(values):
    rng = np.random.default_rng(2027)
    print("\n| near, large rho | magnification (us) | magnification_and_gradient (us) | ratio |")
    print("|---|---|---|---|")
    for rho in (3.0, 10.0, 100.0, 1e4):
        u = rng.uniform(0.0, 3.0, values) * rho
        value = best_time(lambda: lumora_ld.magnification(u, rho, "linear", (A,), workers=1))
        both = best_time(lambda: lumora_ld.magnification_and_gradient(u, rho, "linear", (A,), workers=1))
        print(f"| {rho:g} | {1e6 * value / values:.3g} | {1e6 * both / values:.3g} | {both / value:.2f} |")


def grid():
    import sys
    sys.path.insert(0, os.path.join(os.path.dirname(HERE), "tests"))
    import test_ld

    z = np.concatenate([np.arange(0.0, 2.5, 0.01), 1 - 10.0 ** -np.arange(1, 7), 1 + 10.0 ** -np.arange(1, 7)])
    z = z[np.abs(z - 1) > 1e-7]  # not the limb itself, where dA/du and dA/drho are infinite
    print("\n| rho | dA/du | dA/drho | dA/dcoefficients |  (rtol=1e-8 against 1e-12, worst over the profiles)")
    print("|---|---|---|---|")
    for rho in (1e-6, 1e-3, 0.5, 1.0, 1.9, 2.1, 5.0, 20.0, 100.0, 1e3, 1e4):
        worst = [0.0, 0.0, 0.0]
        for law, coefficients in test_ld.PROFILES.values():
            a, du, drho, dc = lumora_ld.magnification_and_gradient(z * rho, rho, law, coefficients, rtol=1e-8)
            b = lumora_ld.magnification_and_gradient(z * rho, rho, law, coefficients, rtol=1e-12)
            scale = 1e-3 * a / rho
            worst[0] = max(worst[0], float(np.max(np.abs(du - b[1]) / np.maximum(np.abs(b[1]), scale))))
            worst[1] = max(worst[1], float(np.max(np.abs(drho - b[2]) / np.maximum(np.abs(b[2]), scale))))
            if len(coefficients):
                floor = np.maximum(1e-3 * (a - 1), 1e-9 * a)
                worst[2] = max(worst[2], float(np.max(np.abs(dc - b[3]) / np.maximum(np.abs(b[3]), floor))))
        print(f"| {rho:g} | " + " | ".join(f"{w:.2g}" for w in worst) + " |")


def accuracy():
    with open(TRUTH) as f:
        profiles = json.load(f)["profiles"]
    print("\nWorst error at rtol=1e-8 on the test points (scaled where the derivative passes through zero; "
          "pure relative error where |truth| is above that scale in brackets):\n")
    print("| law | dA/du | dA/drho | dA/dcoefficients |")
    print("|---|---|---|---|")
    for name, entry in profiles.items():
        law = entry["law"]
        if isinstance(law, dict):
            law = (np.array(law["mu"]), np.array(law["intensity"]))
        table = np.array(entry["points"])
        got = lumora_ld.magnification_and_gradient(table[:, 0], table[:, 1], law, entry["coefficients"], rtol=1e-8)
        got = np.column_stack([got[0], got[1], got[2], *got[3]])
        cells = []
        for columns in ([3], [4], list(range(5, table.shape[1]))):
            scaled, relative = 0.0, 0.0
            for k in columns:
                truth = table[:, k]
                scale = 1e-3 * (table[:, 2] / table[:, 1] if k < 5 else table[:, 2] - 1)
                error = np.abs(got[:, k - 2] - truth)
                scaled = max(scaled, float(np.max(error / np.maximum(np.abs(truth), scale))))
                big = np.abs(truth) >= scale
                if big.any():
                    relative = max(relative, float(np.max(error[big] / np.abs(truth[big]))))
            cells.append(f"{scaled:.2g} ({relative:.2g})" if columns else "-")
        if table.shape[1] == 5:
            cells[2] = "-"
        print(f"| {name} | " + " | ".join(cells) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer values (a test run)")
    parser.add_argument("--large", action="store_true", help="also the cost for large sources")
    parser.add_argument("--grid", action="store_true", help="also rtol=1e-8 against 1e-12 on a dense grid")
    args = parser.parse_args()
    speed(1000 if args.quick else 10_000)
    if args.large:
        large(1000 if args.quick else 4000)
    accuracy()
    if args.grid:
        grid()


if __name__ == "__main__":
    main()
