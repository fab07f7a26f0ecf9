"""Per-value time of lumora_ld's C++ models on one core (no Python): the
linear law a = 0.6, 2·10⁴ values per case, z = u/ρ uniform in [0, 3]
("near") and [3, 100] ("far"), best of 5 runs.  The machine is shared:
compare ratios within one run.

Usage (inside tools/py314): python3 benchmarks/ld_core_speed.py
"""

import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tools"))

import prove_ld_nodes as prove  # noqa: E402


def main():
    prove.build()
    print(f"{'rho':>7s} {'rtol':>6s} {'near ns':>9s} {'far ns':>8s}")
    for rho in (1e-3, 1e-2, 0.1, 1.0):
        for rtol in (1e-4, 1e-8):
            lines = [f"linear 1 0.6 {rtol!r} {rho!r} 0 3", f"linear 1 0.6 {rtol!r} {rho!r} 3 100"]
            out = subprocess.run([str(prove.DRIVER), "time"], input="\n".join(lines) + "\n",
                                 capture_output=True, text=True, check=True).stdout.split()
            print(f"{rho:7.0e} {rtol:6.0e} {float(out[0]):9.0f} {float(out[1]):8.0f}", flush=True)


if __name__ == "__main__":
    main()
