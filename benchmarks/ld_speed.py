"""Speed and accuracy of lumora_ld beside lumora's limb-darkened functions and,
when installed, VBMicrolensing.

    PYTHONPATH=build/py314 python3 benchmarks/ld_speed.py [--quick]
    PYTHONPATH=build/py314 python3 benchmarks/ld_speed.py --laws

The law is linear with a = 0.6 (I = 0.4 + 0.6 mu, the profile of lumora's
integrated functions).  Per source radius rho in {1e-3, 1e-2, 0.1, 1} and
regime (near: z = u/rho uniform in [0, 3]; far: z uniform in [3, 100]),
each code computes the same seeded values on one core: lumora_ld with
workers=1, lumora with its pool held to one thread (RAYON_NUM_THREADS=1 at
its first call), VBMicrolensing's ESPLMag2 (relative tolerance 1e-4) in a
Python loop, whose call overhead (about 0.1 us) is part of its time.
Times are per value, the best of three runs; the worst relative error is
measured on a sample of the points against tests/ld_reference.py (a
high-precision quadrature of the profile-weighted ring mean).  Then
rtol=1e-4 against 1e-8, the cost of a 10-value call, and workers=2
against workers=1 on 10^5 values.  --laws prints instead the worst
relative error of every law per rtol on the accuracy test's points.

VBMicrolensing is a benchmark-only dependency from the package index, for
example into a scratch virtual environment that sees the system's packages:
    python3 -m venv --system-site-packages build/vbm
    build/vbm/bin/pip install VBMicrolensing
    PYTHONPATH=build/py314 build/vbm/bin/python benchmarks/ld_speed.py

Ratios are measured within one run; on a shared machine the absolute times
move with its load (reported at the start), the ratios much less.
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests"))

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


def worst_error(values, truth):
    values = np.asarray(values, dtype=float)
    return float(np.max(np.abs(values - truth) / np.abs(truth)))


def every_law():
    """The worst relative error of every law per rtol on the accuracy test's
    points, against their committed truth (tests/data/ld_truth.json)."""
    import lumora_ld
    import test_ld

    print("| law | " + " | ".join(f"rtol={r:g}" for r in test_ld.RTOLS) + " |")
    print("|---|" + "---|" * len(test_ld.RTOLS))
    for name, (law, coefficients) in test_ld.PROFILES.items():
        points, truth = test_ld.truth(name)
        cells = []
        for rtol in test_ld.RTOLS:
            got = lumora_ld.magnification(points[:, 0], points[:, 1], law, coefficients, rtol=rtol)
            cells.append(f"{worst_error(got, truth):.2g}")
        print(f"| {name} | " + " | ".join(cells) + " |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer values and truth points (a test run)")
    parser.add_argument("--laws", action="store_true",
                        help="only the worst error of every law per rtol on the accuracy test's points")
    args = parser.parse_args()
    if args.laws:
        return every_law()
    values = 1000 if args.quick else 10_000
    sample = 3 if args.quick else 12
    parallel_values = 10_000 if args.quick else 100_000

    # lumora's pool is created at its first call and sized then: one thread.
    # lumora_ld's pool (another copy, in its own module) is created later,
    # after the variable is gone, with one thread per processor.
    os.environ["RAYON_NUM_THREADS"] = "1"
    import lumora

    lumora.integrated_heyrovsky_magnification([2.0, 3.0], 1.0, 0.1)
    del os.environ["RAYON_NUM_THREADS"]
    import lumora_ld
    import ld_reference

    try:
        import VBMicrolensing

        vbm = VBMicrolensing.VBMicrolensing()
        vbm.RelTol = 1e-4
        vbm.a1 = A
    except ImportError:
        vbm = None

    print(f"load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} processors; "
          f"{values} values per case, truth on {sample} of them; linear law a = {A}")
    codes = {
        "lumora_ld rtol=1e-8": lambda u, rho: lumora_ld.magnification(u, rho, "linear", (A,), rtol=1e-8, workers=1),
        "lumora_ld rtol=1e-4": lambda u, rho: lumora_ld.magnification(u, rho, "linear", (A,), rtol=1e-4, workers=1),
        "lumora integrated_heyrovsky": lambda u, rho: lumora.integrated_heyrovsky_magnification(list(u / rho), 1.0, rho),
        "lumora integrated_witt_mao": lambda u, rho: lumora.integrated_witt_mao_magnification(list(u / rho), 1.0, rho),
    }
    if vbm is not None:
        codes["VBMicrolensing ESPLMag2 RelTol=1e-4"] = lambda u, rho: [vbm.ESPLMag2(x, rho) for x in u]
    else:
        print("VBMicrolensing is not installed: its rows are skipped (see the docstring)")

    rng = np.random.default_rng(2026)
    times = {}
    print(f"\n| code | rho | regime | per value (us) | worst relative error |")
    print("|---|---|---|---|---|")
    for regime, (low, high) in REGIMES.items():
        for rho in RHOS:
            u = rng.uniform(low, high, values) * rho
            picked = u[:sample]
            truth = np.array([ld_reference.magnification(x, rho, "linear", (A,), digits=20) for x in picked])
            for name, code in codes.items():
                seconds = best_time(lambda: code(u, rho))
                times[name, regime, rho] = seconds / values
                error = worst_error(code(picked, rho), truth)
                print(f"| {name} | {rho:g} | {regime} | {1e6 * seconds / values:.3g} | {error:.2g} |")

    print("\n| ratio | " + " | ".join(f"rho={r:g}" for r in RHOS) + " |")
    print("|---|" + "---|" * len(RHOS))
    for regime in REGIMES:
        cells = [times["lumora_ld rtol=1e-8", regime, r] / times["lumora_ld rtol=1e-4", regime, r] for r in RHOS]
        print(f"| {regime}: rtol=1e-4 speed-up over 1e-8 | " + " | ".join(f"{c:.2f}" for c in cells) + " |")
        if vbm is not None:
            cells = [times["lumora_ld rtol=1e-8", regime, r] / times["VBMicrolensing ESPLMag2 RelTol=1e-4", regime, r]
                     for r in RHOS]
            print(f"| {regime}: lumora_ld 1e-8 time / VBMicrolensing 1e-4 time | "
                  + " | ".join(f"{c:.3f}" for c in cells) + " |")
        cells = [times["lumora_ld rtol=1e-8", regime, r] / times["lumora integrated_heyrovsky", regime, r] for r in RHOS]
        print(f"| {regime}: lumora_ld 1e-8 time / integrated_heyrovsky time | "
              + " | ".join(f"{c:.4f}" for c in cells) + " |")

    # The cost of a small call: 10 values that need no model work (NaN)
    # against np.add on the same input, then 10 far values.
    nan10, far10 = np.full(10, np.nan), rng.uniform(3.0, 100.0, 10) * 0.01
    calls = 2000 if args.quick else 20000
    per_call = {
        "np.add, 10 values": best_time(lambda: [np.add(nan10, 0.01) for _ in range(calls)], 5) / calls,
        "lumora_ld, 10 NaN values": best_time(lambda: [lumora_ld.magnification(nan10, 0.01) for _ in range(calls)],
                                              5) / calls,
        "lumora_ld linear, 10 far values": best_time(
            lambda: [lumora_ld.magnification(far10, 0.01, "linear", (A,)) for _ in range(calls)], 5) / calls,
    }
    print("\n" + "; ".join(f"{name}: {1e6 * t:.2f} us per call" for name, t in per_call.items()))

    # Threads: near values of mixed rho, identical bits checked on the way.
    rho = 10.0 ** rng.uniform(-3.0, 0.0, parallel_values)
    u = rng.uniform(0.0, 3.0, parallel_values) * rho
    one = lumora_ld.magnification(u, rho, "linear", (A,), workers=1)
    two = lumora_ld.magnification(u, rho, "linear", (A,), workers=2)
    assert np.array_equal(one, two), "workers=2 changed the bits"
    cpu = {}
    for workers in (1, 2):
        start = time.process_time()
        cpu[workers] = best_time(lambda: lumora_ld.magnification(u, rho, "linear", (A,), workers=workers))
        cpu[workers] = (cpu[workers], (time.process_time() - start) / 3)
    (t1, c1), (t2, c2) = cpu[1], cpu[2]
    # The processor time per run shows what the threads cost: on a loaded
    # machine the wall-clock ratio falls short of it, the processor time not.
    print(f"\n{parallel_values} near values, rho in [1e-3, 1]: workers=1 {1e3 * t1:.1f} ms, "
          f"workers=2 {1e3 * t2:.1f} ms, speed-up {t1 / t2:.2f} (identical bits); "
          f"processor time per run {1e3 * c1:.1f} ms and {1e3 * c2:.1f} ms")


if __name__ == "__main__":
    main()
