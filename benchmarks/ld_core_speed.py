"""Per-value time of lumora_ld's C++ models on one core (no Python): the
linear law a = 0.6, 2·10⁴ values per case, z = u/ρ uniform in [0, 3]
("near") and [3, 100] ("far"), best of 5 runs; and the uniform-disk kernel
alone, ns per call, u/R uniform in [0, 2] and within 1e-3 of the limb.  The
machine is shared: compare ratios within one run.

With --baseline TREE, the models under TREE/src (an older revision, e.g.
exported with `git archive REV src | tar -x -C TREE`, outside tools/py314,
which has no git) are built with the same driver and compiler flags and timed
case by case beside the working tree (columns "base" and base/now).

Usage (inside tools/py314): python3 benchmarks/ld_core_speed.py [--baseline TREE]
"""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

import prove_ld_nodes as prove  # noqa: E402


def build_baseline(tree):
    """The models under tree/src with today's driver, as tree/ld_kernels."""
    tree = Path(tree).resolve()
    driver = tree / "ld_kernels"
    sources = sorted(str(p) for p in (tree / "src" / "ld" / "models").glob("*.cpp"))
    subprocess.run([*prove.COMPILE, f"-I{tree / 'src'}", *sources, str(tree / "src" / "numerics" / "carlson.cpp"),
                    str(ROOT / "benchmarks" / "ld_kernels.cpp"), "-o", str(driver)], check=True)
    return driver


def timed(driver, mode, line):
    out = subprocess.run([str(driver), mode], input=line + "\n", capture_output=True, text=True, check=True)
    return float(out.stdout.split()[0])


def main():
    prove.build()
    drivers = [prove.DRIVER]
    if "--baseline" in sys.argv:
        drivers.append(build_baseline(sys.argv[sys.argv.index("--baseline") + 1]))
    cases = []
    for rho in (1e-3, 1e-2, 0.1, 1.0):
        for rtol in (1e-4, 1e-8):
            for name, zlo, zhi in (("near", 0, 3), ("far", 3, 100)):
                cases.append((f"{name:4s} rho {rho:5.0e} rtol {rtol:5.0e}", "time",
                              f"linear 1 0.6 {rtol!r} {rho!r} {zlo} {zhi}"))
    for r in (1e-3, 0.1, 10.0):
        cases.append((f"disk R {r:5.0e} u/R in [0, 2]      ", "disk_time", f"{r!r} 0 2"))
        cases.append((f"disk R {r:5.0e} |u/R - 1| < 1e-3  ", "disk_time", f"{r!r} 0.999 1.001"))
    header = f"{'case':34s} {'now ns':>8s}"
    if len(drivers) > 1:
        header += f" {'base ns':>8s} {'base/now':>8s}"
    print(header)
    for label, mode, line in cases:
        times = [timed(d, mode, line) for d in drivers]  # interleaved, case by case
        row = f"{label:34s} {times[0]:8.0f}"
        if len(times) > 1:
            row += f" {times[1]:8.0f} {times[1] / times[0]:8.2f}"
        print(row, flush=True)


if __name__ == "__main__":
    main()
