"""Cost and accuracy of lumora_ld.magnification_and_gradient.

    PYTHONPATH=build/py314 python3 benchmarks/ld_gradient.py [--quick]

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
"""

import argparse
import json
import os
import time

import numpy as np

import lumora_ld

HERE = os.path.dirname(os.path.abspath(__file__))
TRUTH = os.path.join(os.path.dirname(HERE), "tests", "data", "ld_gradient_truth.json")
A = 0.6
RHOS = [1e-3, 1e-2, 0.1, 1.0]
REGIMES = {"near": (0.0, 3.0), "far": (3.0, 100.0)}


def best_time(function, repeats=3):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        best = min(best, time.perf_counter() - start)
    return best


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
    args = parser.parse_args()
    speed(1000 if args.quick else 10_000)
    accuracy()


if __name__ == "__main__":
    main()
