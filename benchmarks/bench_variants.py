"""Whole calls with each kernel variant, in one build (LUMORA_KERNELS).

    PYTHONPATH=build/py314 python3 benchmarks/bench_variants.py [--build build/py314] [--rounds 5]

Each variant this CPU has runs the same calls in its own subprocess (the
variant is read once per process), on one thread, the variants
alternating round after round so that a busy machine slows them alike;
the best time per value of each call is printed, with the median over
the rounds of its ratio to the scalar variant of the same round (a
steadier figure than a ratio of best times on a loaded machine).
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

CHILD = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import lumora
def best(f, repeats):
    out = []
    for _ in range(repeats):
        s = time.perf_counter(); f(); out.append(time.perf_counter() - s)
    return min(out)
l = [20.0 * i / (10**5 - 1) for i in range(10**5)]
lumora.witt_mao_magnification(l[:1000], 1.0, 0.1)          # creates the pool
seps = [3.0 * i / 199 for i in range(200)]
bl = [i / 20 for i in range(21)]
bf = [1 - 0.6 * (1 - (1 - x * x) ** 0.5) for x in bl]
calls = {
    "witt_mao_magnification": (lambda: lumora.witt_mao_magnification(l, 1.0, 0.1), len(l), 5),
    "integrated_witt_mao_magnification":
        (lambda: lumora.integrated_witt_mao_magnification(seps, 1.0, 1.0), len(seps), 3),
    "integrated_heyrovsky_magnification":
        (lambda: lumora.integrated_heyrovsky_magnification(seps, 1.0, 1.0), len(seps), 3),
    "integrated_flux_map_witt_mao_magnification":
        (lambda: lumora.integrated_flux_map_witt_mao_magnification(seps[::4], 1.0, 1.0, bl, bf), 50, 2),
    "integrated_flux_map_heyrovsky_magnification":
        (lambda: lumora.integrated_flux_map_heyrovsky_magnification(seps, 1.0, 1.0, bl, bf), len(seps), 3),
}
print(json.dumps({name: best(f, r) / n for name, (f, n, r) in calls.items()}))
"""

SUPPORTED = r"""
import sys
flags = open("/proc/cpuinfo").read().split() if sys.platform == "linux" else []
print(" ".join(v for v, flag in (("avx2", "avx2"),) if flag in flags))
"""


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/py314")
    parser.add_argument("--rounds", type=int, default=5)
    args = parser.parse_args()
    found = subprocess.run([sys.executable, "-c", SUPPORTED], check=True, capture_output=True,
                           text=True).stdout.split()
    variants = ["scalar"] + found
    best = {variant: {} for variant in variants}
    ratios = {variant: {} for variant in variants}  # per round, to the scalar variant of that round
    for _ in range(args.rounds):
        this_round = {}
        for variant in variants:
            env = dict(os.environ, RAYON_NUM_THREADS="1", LUMORA_KERNELS=variant)
            this_round[variant] = json.loads(subprocess.run([sys.executable, "-c", CHILD, args.build], env=env,
                                                            check=True, capture_output=True, text=True).stdout)
        for variant, out in this_round.items():
            for name, seconds in out.items():
                best[variant][name] = min(seconds, best[variant].get(name, seconds))
                ratios[variant].setdefault(name, []).append(seconds / this_round["scalar"][name])
    print(f"{args.rounds} rounds, one thread: best µs per value, and the median over the rounds of the")
    print("ratio to the scalar variant of the same round")
    print(f"{'call':46s}" + "".join(f"{v:>18s}" for v in variants))
    for name in best["scalar"]:
        cells = [f"{best[v][name] * 1e6:9.3f} ({statistics.median(ratios[v][name]):4.2f}x)" for v in variants]
        print(f"{name:46s}" + "".join(f"{c:>18s}" for c in cells))

if __name__ == "__main__":
    main()
