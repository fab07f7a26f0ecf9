"""Write tests/data/ld_truth.json: the magnification of a limb-darkened
source at fixed and seeded points, for one profile of every law, from the
independent reference tests/ld_reference.py (a nested mpmath quadrature of
the profile-weighted ring mean, at 20 digits).  tests/test_ld.py holds
lumora_ld to these values at several tolerances; computing them takes
minutes, so they are computed once here and committed.

    tools/py314 python3 tools/gen_ld_truth.py [--jobs 2]

With --small-source it writes tests/data/ld_truth_small_source.json instead:
the points on both sides of the small-source expansion's switches (the
edges of the limb band |z − 1| < 2^−8, the largest ρ it serves at three
tolerances, a change in its number of orders), for the laws it serves
(a few minutes); with --mid-source, tests/data/ld_truth_mid_source.json:
the same for the tabulated magnified fluxes of sources with 1/8 <= rho < 4.
"""

import argparse
import json
import math
import multiprocessing
import os
import re
import sys

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
TESTS = os.path.join(os.path.dirname(HERE), "tests")
sys.path.insert(0, TESTS)

import ld_reference  # noqa: E402

DIGITS = 20

# One profile per law, with coefficients of a Sun-like star; the tabulated
# profile is a quadratic law read at 11 values of mu.
_MU = np.linspace(0.0, 1.0, 11)
PROFILES = {
    "uniform": ("uniform", ()),
    "linear": ("linear", (0.6,)),
    "quadratic": ("quadratic", (0.45, 0.25)),
    "square_root": ("square_root", (0.1, 0.7)),
    "logarithmic": ("logarithmic", (0.7, 0.25)),
    "power2": ("power2", (0.6, 0.5)),
    "claret4": ("claret4", (0.5, 0.2, 0.3, -0.2)),
    "tabulated": ({"mu": _MU.tolist(), "intensity": (1.0 - 0.45 * (1.0 - _MU) - 0.25 * (1.0 - _MU) ** 2).tolist()}, ()),
}

# The separations in source radii z = u/rho where the method changes: the
# limb, the stacked disks' hand-over to the disk-mean series (z = 2), and
# the uniform-disk kernel's own hand-over to that series (z = 10).
SWITCHES = (1.0, 2.0, 10.0)


def points(seed):
    """(u, rho) pairs: fixed cases, then seeded ones."""
    fixed = [(0.0, rho) for rho in (1e-6, 1e-2, 1.0, 1e4)]
    # The limb, from both sides, 1e-3 and 1e-8 away.
    fixed += [(z * rho, rho) for rho in (1e-3, 0.1) for z in (1 - 1e-3, 1 + 1e-3, 1 - 1e-8, 1 + 1e-8)]
    # The smallest and the largest sources, over the disk, near the limb and outside.
    fixed += [(z * 1e-6, 1e-6) for z in (0.5, 2.0, 50.0)]
    fixed += [(z * 1e4, 1e4) for z in (0.3, 0.999, 1.5)]
    # Both sides of the switches between methods, and far out.
    fixed += [(z * (1 + d) * rho, rho) for rho in (0.01, 0.5) for z in SWITCHES[1:] for d in (-1e-6, 1e-6)]
    fixed += [(1e3 * 0.1, 0.1), (1e8 * 1e-3, 1e-3)]
    rng = np.random.default_rng(seed)
    rho = 10.0 ** rng.uniform(-6.0, 4.0, 8)
    z = np.concatenate([rng.uniform(0.0, 1.0, 4), rng.uniform(1.0, 4.0, 4)])
    rho = np.concatenate([rho, 10.0 ** rng.uniform(-4.0, -0.5, 6)])
    z = np.concatenate([z, rng.uniform(0.0, 3.0, 6)])
    return fixed + [(float(a * b), float(b)) for a, b in zip(z, rho)]


def epsilon_limits():
    """ε_K = the largest ρ²(z + 1)² served by K orders, per tolerance level,
    as src/ld/models/small_source_table.hpp tabulates them."""
    path = os.path.join(os.path.dirname(HERE), "src", "ld", "models", "small_source_table.hpp")
    with open(path) as f:
        text = f.read()
    block = text[text.index("epsilon_limit = {{"):]
    block = block[:block.index("}};")]
    return [[float(x) for x in row.split(",")] for row in re.findall(r"\{([^{}]+)\}", block)]


def small_source_points():
    """(u, rho) pairs a relative 1e-6 on both sides of the small-source
    expansion's switches, and two points well inside it."""
    limits = epsilon_limits()
    band = 2.0**-8
    pairs = [(z, 1e-3) for z in (1 - band, 1 + band)]
    # The largest ρ served at 1e-4, 1e-8 and 1e-10 (levels 2, 6, 8: all
    # eight orders), and the change from two to three orders at 1e-8.
    for level, orders, z in ((2, 8, 0.2), (6, 8, 0.5), (8, 8, 1.5), (6, 2, 0.7)):
        pairs.append((z, math.sqrt(limits[level][orders - 1]) / (z + 1)))
    out = [(z * (1 + d) * rho, rho) for z, rho in pairs[:2] for d in (-1e-6, 1e-6)]
    out += [(z * rho, rho * (1 + d)) for z, rho in pairs[2:] for d in (-1e-6, 1e-6)]
    return out + [(0.0, 0.05), (1.999 * 0.1, 0.1)]


def mid_source_points():
    """(u, rho) pairs a relative 1e-6 on both sides of the switches of the
    tabulated magnified fluxes for 1/8 <= rho < 4 (the ends of that range,
    an octave edge, the limb band at rho = 1, z = 2), and three points well
    inside it."""
    band = 2.0**-8
    out = [(z * rho, rho * (1 + d)) for z, rho in ((0.3, 4.0), (1.5, 4.0), (1.9, 0.125), (0.8, 1.0))
           for d in (-1e-6, 1e-6)]
    out += [(z * (1 + d) * rho, rho) for z, rho in ((1 - band, 1.0), (1 + band, 1.0), (2.0, 2.0))
            for d in (-1e-6, 1e-6)]
    return out + [(0.0, 0.5), (0.97 * 3.0, 3.0), (1.2 * 0.3, 0.3)]


# The laws the tabulated regimes serve (power2 with α = 1/2 among them).
SMALL_SOURCE = ("linear", "quadratic", "square_root", "logarithmic", "power2", "claret4")


def _truth(job):
    law, coefficients, u, rho = job
    if isinstance(law, dict):
        law = (tuple(law["mu"]), tuple(law["intensity"]))
    return ld_reference.magnification(u, rho, law, coefficients, digits=DIGITS)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 1)
    regime = parser.add_mutually_exclusive_group()
    regime.add_argument("--small-source", action="store_true")
    regime.add_argument("--mid-source", action="store_true")
    parser.add_argument("--output")
    args = parser.parse_args()
    switched = "small_source" if args.small_source else "mid_source" if args.mid_source else None
    output = args.output or os.path.join(TESTS, "data", f"ld_truth_{switched}.json" if switched else "ld_truth.json")
    profiles = {name: PROFILES[name] for name in SMALL_SOURCE} if switched else PROFILES
    switches = small_source_points() if args.small_source else mid_source_points() if args.mid_source else None
    jobs, owners = [], []
    for index, (name, (law, coefficients)) in enumerate(sorted(profiles.items())):
        for u, rho in (switches if switches else points(seed=index + 16)):
            jobs.append((law, tuple(coefficients), u, rho))
            owners.append(name)
    with multiprocessing.Pool(args.jobs) as pool:
        values = pool.map(_truth, jobs, chunksize=1)
    result = {name: {"law": law, "coefficients": list(coefficients), "points": []}
              for name, (law, coefficients) in profiles.items()}
    for name, (_, _, u, rho), value in zip(owners, jobs, values):
        result[name]["points"].append([u, rho, value])
    document = {"generated by": "tools/gen_ld_truth.py, do not edit", "digits": DIGITS, "profiles": result}
    with open(output, "w") as f:
        json.dump(document, f, indent=1)
        f.write("\n")


if __name__ == "__main__":
    main()
