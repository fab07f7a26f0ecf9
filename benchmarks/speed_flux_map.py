"""Cost of the integrated flux maps per separation, by table size.

The radial integrals run one tanh-sinh rule per straight piece of the
profile (between neighbouring table radii, and at r = l), so the cost
grows with the number of radii strictly inside the source.  Tables: the
linear law I = 0.4 + 0.6·μ tabulated at 2, 20 and 1000 radii uniform in
θ (r = sin θ, the recipe of examples/limb_darkening_laws.py) and a
uniform table of 1000 radii, whose collinear pieces merge into one.
Separations: 200 from 0 to 3, re = rstar = 1; best of 3 runs, one thread.

With --baseline, a second build is timed in alternating subprocesses, so
that a loaded machine slows both alike, and the ratio is printed.

Run: python3 benchmarks/speed_flux_map.py --build build/py314 [--baseline <other build>]
"""

import argparse
import json
import os
import subprocess
import sys

CHILD = r"""
import json, math, sys, time
sys.path.insert(0, sys.argv[1])
import lumora
def best(f, repeats=3):
    out = []
    for _ in range(repeats):
        s = time.perf_counter(); f(); out.append(time.perf_counter() - s)
    return min(out)
def law_table(n):
    radii = [math.sin(0.5 * math.pi * i / (n - 1)) for i in range(n)]
    radii[-1] = 1.0
    return radii, [0.4 + 0.6 * math.sqrt(max(0.0, 1.0 - r * r)) for r in radii]
tables = {"law, 2 radii": law_table(2), "law, 20 radii": law_table(20), "law, 1000 radii": law_table(1000),
          "uniform, 1000 radii": ([i / 999 for i in range(1000)], [1.0] * 1000)}
l = [3.0 * i / 199 for i in range(200)]
out = {}
for name in ("integrated_flux_map_heyrovsky_magnification", "integrated_flux_map_witt_mao_magnification"):
    function = getattr(lumora, name)
    for table, (bl, bf) in tables.items():
        out[name + "|" + table] = best(lambda: function(l, 1.0, 1.0, bl, bf)) / len(l)
print(json.dumps(out))
"""


def timings(folder):
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    return json.loads(subprocess.run([sys.executable, "-c", CHILD, folder], env=env, check=True,
                                     capture_output=True, text=True).stdout)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build/py314")
    parser.add_argument("--baseline", help="a second build folder to compare with")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    folders = [args.build] + ([args.baseline] if args.baseline else [])
    best_of = {folder: {} for folder in folders}
    for _ in range(args.rounds):
        for folder in reversed(folders):
            for key, seconds in timings(folder).items():
                best_of[folder][key] = min(seconds, best_of[folder].get(key, seconds))
    print(f"machine: {os.cpu_count()} logical processors, shared; per separation [us]\n")
    header = "| function | table | this build |" + (" baseline | ratio |" if args.baseline else "")
    print(header)
    print("|" + "---|" * (header.count("|") - 1))
    for key, seconds in best_of[args.build].items():
        name, table = key.split("|")
        row = f"| `{name}` | {table} | {seconds * 1e6:.1f} |"
        if args.baseline:
            base = best_of[args.baseline][key]
            row += f" {base * 1e6:.1f} | {seconds / base:.2f} |"
        print(row)
    return 0


if __name__ == "__main__":
    sys.exit(main())
