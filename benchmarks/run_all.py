"""Benchmarks of lumora: the whole Python calls against the bare C++ kernels.

    make bench                      # through tools/py314, CPython 3.14
    PYTHONPATH=build/py314 python3 benchmarks/run_all.py [--build build/py314]

Timings are the best of several runs; ratios are taken within one run.
The worker pool's size is fixed when a process first uses it, so each
thread count is measured in a subprocess with RAYON_NUM_THREADS set.
With --baseline (make bench passes a build configured with
-DLUMORA_SIMD=OFF), the whole calls of both builds are timed in
alternating subprocesses, so that a busy machine slows both alike.
"""

import argparse
import json
import os
import subprocess
import sys
import time


def best(function, repeats=5):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def grid(first, last, n):
    return [first + (last - first) * i / (n - 1) for i in range(n)]


# Runs in a subprocess: the pool-based functions at one thread count.
POOL_CHILD = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import lumora
def best(f, repeats=5):
    out = []
    for _ in range(repeats):
        s = time.perf_counter(); f(); out.append(time.perf_counter() - s)
    return min(out)
l = [20.0 * i / (10**6 - 1) for i in range(10**6)]
lumora.witt_mao_magnification(l[:1000], 1.0, 0.1)          # creates the pool
single = best(lambda: lumora.witt_mao_magnification(l, 1.0, 0.1))
ls = l[:10**4]
re = [0.5 + 0.1 * i for i in range(10)]
rstar = [0.05 + 0.01 * i for i in range(10)]
multi = best(lambda: lumora.multi_witt_mao_magnification(ls, re, rstar), 3)
print(json.dumps({"single": single, "multi": multi}))
"""


def pool_timings(module_dir, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, "-c", POOL_CHILD, module_dir], env=env,
                         check=True, capture_output=True, text=True).stdout
    return json.loads(out)


# Runs in a subprocess on one thread: whole calls per value, for the
# comparison of two builds.
CALLS_CHILD = r"""
import json, sys, time
sys.path.insert(0, sys.argv[1])
import lumora
import numpy as np
def best(f, repeats):
    out = []
    for _ in range(repeats):
        s = time.perf_counter(); f(); out.append(time.perf_counter() - s)
    return min(out)
l = [20.0 * i / (10**5 - 1) for i in range(10**5)]
array = np.array(l)
lumora.witt_mao_magnification(l[:1000], 1.0, 0.1)          # creates the pool
seps = [3.0 * i / 199 for i in range(200)]
out = {
    "list": best(lambda: lumora.witt_mao_magnification(l, 1.0, 0.1), 5) / len(l),
    "array": best(lambda: lumora.witt_mao_magnification(array, 1.0, 0.1), 5) / len(l),
    "integrated_witt_mao_magnification":
        best(lambda: lumora.integrated_witt_mao_magnification(seps, 1.0, 1.0), 2) / len(seps),
    "integrated_heyrovsky_magnification":
        best(lambda: lumora.integrated_heyrovsky_magnification(seps, 1.0, 1.0), 2) / len(seps),
}
print(json.dumps(out))
"""


def compare_builds(build, baseline, rounds=5):
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    best_of = {build: {}, baseline: {}}
    for _ in range(rounds):
        for folder in (baseline, build):
            out = json.loads(subprocess.run([sys.executable, "-c", CALLS_CHILD, folder], env=env, check=True,
                                            capture_output=True, text=True).stdout)
            for key, seconds in out.items():
                best_of[folder][key] = min(seconds, best_of[folder].get(key, seconds))
    return best_of[build], best_of[baseline]


def kernel_costs(build, threads):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    out = subprocess.run([os.path.join(build, "bench_kernels")], env=env, check=True,
                         capture_output=True, text=True).stdout
    costs = {}
    for line in out.splitlines():
        name, ns, calls = line.split()
        costs[name] = (float(ns), float(calls))
    return costs


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/py314", help="build folder with lumora and bench_kernels")
    parser.add_argument("--baseline", help="a second build folder (without the vector kernels) to compare with")
    args = parser.parse_args()
    sys.path.insert(0, args.build)
    import lumora

    kernels = kernel_costs(args.build, 1)
    single = dict(kernels)
    kernels.update(kernel_costs(args.build, 2))
    print(f"machine: {os.cpu_count()} logical processors, Python {sys.version.split()[0]}\n")

    print("## Batch kernels, one thread: the same 10^6 disk arguments, the ring radii of the quadrature\n")
    loop = single["disk_loop"][0]
    ring_loop = single["ring_batch_scalar"][0]
    print("| variant | disk kernel [ns/value] | ratio | ring kernel [us/separation] | ratio |")
    print("|---|---|---|---|---|")
    print(f"| plain scalar loop | {loop:.1f} | 1.00 | {ring_loop / 1e3:.1f} | 1.00 |")
    for variant in ("scalar", "avx2"):
        if f"disk_batch_{variant}" in single:
            disk = single[f"disk_batch_{variant}"][0]
            ring = single[f"ring_batch_{variant}"][0]
            print(f"| batch, {variant} | {disk:.1f} | {disk / loop:.2f} | {ring / 1e3:.1f} | "
                  f"{ring / ring_loop:.2f} |")
    print()
    if args.baseline:
        vector, scalar = compare_builds(args.build, args.baseline)
        print("## Whole calls, one thread, against the build without the vector kernels\n")
        print("| call | scalar build | this build | ratio |")
        print("|---|---|---|---|")
        rows = [("list", "`witt_mao_magnification`, list of 10^5", 1e9, "ns"),
                ("array", "`witt_mao_magnification`, NumPy float64 array of 10^5", 1e9, "ns"),
                ("integrated_witt_mao_magnification", "`integrated_witt_mao_magnification`, per separation", 1e6, "us"),
                ("integrated_heyrovsky_magnification", "`integrated_heyrovsky_magnification`, per separation", 1e6,
                 "us")]
        for key, label, scale, unit in rows:
            print(f"| {label} | {scalar[key] * scale:.1f} {unit} | {vector[key] * scale:.1f} {unit} | "
                  f"{vector[key] / scalar[key]:.2f} |")
        print()

    print("## Worker pool: witt_mao_magnification on 10^6 separations (rho = 0.1)\n")
    t1 = pool_timings(args.build, 1)
    t2 = pool_timings(args.build, 2)
    bare = kernels["disk_kernel"][0]
    print("| threads | whole Python call [ns/element] | C++ map on the pool [ns/element] | "
          "bare C++ loop [ns/element] |")
    print("|---|---|---|---|")
    for threads, t in ((1, t1), (2, t2)):
        pooled = kernels[f"disk_kernel_pool_T{threads}"][0]
        print(f"| {threads} | {t['single'] * 1e9 / 1e6:.1f} | {pooled:.1f} | {bare:.1f} |")
    p1, p2 = kernels["disk_kernel_pool_T1"][0], kernels["disk_kernel_pool_T2"][0]
    print(f"\nwhole call: 2 threads {t1['single'] / t2['single']:.2f}x faster than 1; "
          f"conversion and result list add {t1['single'] * 1e3 - p1:.1f} ns/element")
    print(f"C++ map: 2 threads {p1 / p2:.2f}x faster than 1; 1 thread is {p1 / bare:.3f}x "
          f"the plain sequential loop")
    print(f"multi_witt_mao_magnification, 10 x 10 pairs x 10^4 separations: "
          f"{t1['multi'] * 1e3:.1f} ms with 1 thread, {t2['multi'] * 1e3:.1f} ms with 2 "
          f"({t1['multi'] / t2['multi']:.2f}x)\n")

    print("## Limb-darkened sources: per separation (200 separations from 0 to 3, re = rstar = 1)\n")
    l = grid(0.0, 3.0, 200)
    rows = [
        ("integrated_heyrovsky_magnification", "ring_integrand"),
        ("integrated_witt_mao_magnification", "disk_integrand"),
    ]
    print("| function | kernel calls | bare kernels [us] | whole call [us] | overhead |")
    print("|---|---|---|---|---|")
    for name, kernel in rows:
        function = getattr(lumora, name)
        seconds = best(lambda: function(l, 1.0, 1.0), 5) / len(l)
        ns, calls = kernels[kernel]
        print(f"| `{name}` | {calls:.1f} | {ns / 1e3:.1f} | {seconds * 1e6:.1f} | "
              f"{(seconds * 1e9 / ns - 1) * 100:+.1f}% |")

    print("\n## Flux maps: a 1000-entry table against a 2-entry one, per separation\n")
    print("| function | 2 entries [us] | 1000 entries [us] | ratio |")
    print("|---|---|---|---|")
    small = ([0.0, 1.0], [1.0, 0.4])
    radii = grid(0.0, 1.0, 1000)
    large = (radii, [1.0 - 0.6 * (1.0 - max(0.0, 1.0 - r * r) ** 0.5) for r in radii])
    for name in ("integrated_flux_map_witt_mao_magnification", "integrated_flux_map_heyrovsky_magnification"):
        function = getattr(lumora, name)
        t_small = best(lambda: function(l, 1.0, 1.0, *small), 3) / len(l)
        t_large = best(lambda: function(l, 1.0, 1.0, *large), 3) / len(l)
        print(f"| `{name}` | {t_small * 1e6:.1f} | {t_large * 1e6:.1f} | {t_large / t_small:.3f} |")


if __name__ == "__main__":
    main()
