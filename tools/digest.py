#!/usr/bin/env python3
"""One SHA-256 over the results of all eight lumora functions on a fixed set
of inputs, so that two builds, machines, C libraries or kernel variants are
compared by one line:

    PYTHONPATH=build/py314 python3 tools/digest.py            # digest: <hex>
    PYTHONPATH=build/py314 python3 tools/digest.py --cases    # one line per case

The inputs are seeded and built from exact operations only (random bits,
ldexp, nextafter, IEEE sums and products, sqrt), never from the C library's
pow or log, so that they are the same bits on every machine.  They reach
every branch: the point source (rstar <= 0), the limb window |l - 1| <
0.001, the far-field expansion past l = 1000, the closed forms inside and
outside the source, the ring at l = 0, the near-ring expansion and its
edges, the split of the radial integrals at r = l, NaN, infinities and
negative values, flux maps with several tables (uniform, tabulated linear
law, seeded profiles, a table that ends inside the disk, one entry, empty,
dark) and the error paths (RuntimeError from an elliptic integral,
PanicException from tables of unequal length); the lists are long enough,
and of odd enough lengths, to run the vector lanes, their scalar tails and
the worker pool.

Each case hashes the little-endian bits of every result, or the name of the
exception type a call raises.  A NaN is hashed as one canonical quiet NaN:
the sign and payload of a NaN made by an invalid operation are the
processor's choice (x86-64 sets the sign, aarch64 does not) and carry no
meaning; --raw-nan hashes them as they come.  --cases prints each case's
hash with its name and a hash of the inputs, so that two runs compared
with diff name the case that differs.  Standard library and lumora only: it runs on any interpreter the
module builds for (an emulated one, a free-threaded one).
"""

import argparse
import hashlib
import math
import os
import random
import struct
import sys

import lumora

SEED = 20261208
NAN = math.nan
INF = math.inf
CANONICAL_NAN = struct.pack("<Q", 0x7FF8000000000000)


# ---- exact input construction ------------------------------------------------

def log_uniform(rng, low_exponent, high_exponent):
    """A double with a binary exponent drawn from [low, high] and a random
    53-bit mantissa: ldexp is exact, unlike 10.0**x."""
    return math.ldexp(1.0 + rng.getrandbits(52) / 4503599627370496.0, rng.randint(low_exponent, high_exponent))


def neighbours(x):
    return [math.nextafter(x, -INF), x, math.nextafter(x, INF)]


def separations(rng):
    """l in source radii over every regime of the uniform disk: the centre,
    inside, the limb window (|l - 1| < 0.001) and its edges, outside, the
    far field past 1000 and its edge, special values."""
    values = [0.0, -0.0, 1e-300, 1e-12, 1e-7, 0.25, 0.5, 0.75, 0.9, 0.99, 1.0, 1.5, 2.0, 3.0, 10.0,
              100.0, 999.0, 1001.0, 1e6, 1e12, 1e300, INF, -INF, NAN, -0.5, -2.0, -1e6]
    values += neighbours(1.0 - 0.001) + neighbours(1.0 + 0.001) + neighbours(1000.0)
    values += [1.0 + 0.0004, 1.0 - 0.0004, 1.0 + 0.002, 1.0 - 0.002]
    values += [rng.random() for _ in range(24)]
    values += [1.0 + (rng.random() - 0.5) * 0.004 for _ in range(12)]
    values += [log_uniform(rng, 0, 40) for _ in range(24)]
    return values


def radii(rng):
    """rho = rstar/re from 1e-8 to 1e3 (binary exponents -27 to 10)."""
    return [1.0, 0.1, 0.001, 10.0] + [log_uniform(rng, -27, 10) for _ in range(4)]


def profile(rng, n):
    """n ascending radii in [0, 1] with the ends included, non-negative
    brightness."""
    inner = sorted(rng.random() for _ in range(n - 2))
    return [0.0] + inner + [1.0], [rng.random() for _ in range(n)]


def tables(rng):
    """(name, bl, bf) for the flux maps."""
    linear_bl = [i / 49 for i in range(50)]
    linear_bf = [0.4 + 0.6 * math.sqrt(1.0 - r * r) for r in linear_bl]
    random_bl, random_bf = profile(rng, 17)
    long_bl, long_bf = profile(rng, 120)
    weights = [rng.random() for _ in range(9)]
    total = math.fsum(weights)  # correctly rounded: sum() changed its rounding in 3.12
    return [
        ("uniform", [0.0, 1.0], [1.0, 1.0]),
        ("linear-50", linear_bl, linear_bf),
        ("seeded-17", random_bl, random_bf),
        ("seeded-120", long_bl, long_bf),
        ("ends-inside", [0.0, 0.3, 0.6], [1.0, 0.5, 0.2]),
        ("one-entry", [0.5], [1.0]),
        ("starts-outside-centre", [0.2, 0.7, 1.0], [0.0, 1.0, 0.3]),
        ("normalised-weights", sorted(rng.random() for _ in range(9)), [w / total for w in weights]),
        ("empty", [], []),
        ("dark", [0.0, 0.5, 1.0], [0.0, 0.0, 0.0]),
    ]


# Tables on which the flux maps must refuse or fail (every function gets all).
ERROR_TABLES = [
    ("unequal-lengths", [0.0, 0.5, 1.0], [1.0, 1.0]),
    ("nan-radius", [0.0, NAN, 1.0], [1.0, 1.0, 1.0]),
    ("negative-radius", [-0.5, 0.5, 1.0], [1.0, 1.0, 1.0]),
    ("nan-brightness", [0.0, 0.5, 1.0], [1.0, NAN, 1.0]),
    ("infinite-radius", [0.0, 1.0, INF], [1.0, 1.0, 1.0]),
]


# ---- the cases -----------------------------------------------------------------

def cases():
    """Yields (name, function, args); the same sequence on every machine."""
    rng = random.Random(SEED)
    l_all = separations(rng)
    rhos = radii(rng)
    # re = 1 with rstar = rho, and the same rho from other (re, rstar) pairs.
    scales = [(1.0, rho) for rho in rhos] + [(2.5, 2.5 * 0.01), (1e-3, 1e-6), (7.0, 700.0)]
    degenerate = [(1.0, 0.0), (1.0, -0.0), (1.0, -0.1), (0.0, 1.0), (-1.0, 0.1), (INF, 1.0), (1.0, INF),
                  (NAN, 0.1), (1.0, NAN), (INF, INF)]

    # Uniform disk: every separation per scale, then long lists of odd
    # lengths for the vector lanes, their tails and the pool's pieces.
    w = lumora.witt_mao_magnification
    for re, rstar in scales + degenerate:
        yield f"witt_mao re={re!r} rstar={rstar!r}", w, (l_all, re, rstar)
    for n in (0, 1, 3, 5, 7, 9, 15, 17):
        yield f"witt_mao length {n}", w, (l_all[:n], 1.0, 0.05)
    for rho in rhos[:4]:
        many = [log_uniform(rng, -12, 12) if i % 3 else rng.random() * 2.0 for i in range(2001)]
        yield f"witt_mao 2001 drawn rho={rho!r}", w, (many, 1.0, rho)

    # Every pair (re[i], rstar[j]).
    m = lumora.multi_witt_mao_magnification
    yield "multi scales", m, (l_all, [1.0, 0.5, 3.0], [r for _, r in scales])
    yield "multi degenerate", m, (l_all[:40], [1.0, 0.0, -1.0, INF, NAN], [0.1, 0.0, -0.1, INF, NAN])
    yield "multi empty re", m, (l_all, [], [0.1])
    yield "multi empty rstar", m, (l_all, [1.0], [])
    yield "multi empty l", m, ([], [1.0, 2.0], [0.1])

    # The ring: the lens at its centre, the band |r - l| < 1e-5 min(1, l) of
    # the expansion, its edges, the closed form; failures raise.
    ring = lumora.heyrovsky_magnification
    ring_l = [0.0, 1e-12, 1e-9, 1e-7, 1e-5, 1e-3, 0.3, 0.999, 1.0, 1.7, 50.0, 1e6]
    for l in ring_l:
        band = 1e-5 * min(1.0, l)
        rs = [0.0, 0.1, 0.5, 1.0, 2.0, l]
        for k in (0.25, 0.5, 0.999, 1.0, 1.001, 2.0, 20.0, 1e3):
            rs += [l + k * band, l - k * band]
        rs += neighbours(l + band) + neighbours(l - band)
        rs += [rng.random() for _ in range(4)]
        for r in rs:
            for re, rstar in ((1.0, 1.0), (1.0, 0.01), (3.0, 0.3)):
                yield f"ring l={l!r} r={r!r} re={re!r} rstar={rstar!r}", ring, (l, r, re, rstar)
    for args in [(NAN, 0.5, 1.0, 1.0), (0.5, NAN, 1.0, 1.0), (0.5, 0.5, NAN, 1.0), (0.5, 0.4, 1.0, NAN),
                 (-0.5, 0.5, 1.0, 1.0), (0.5, -0.5, 1.0, 1.0), (-0.5, -0.4, 1.0, 1.0), (INF, 0.5, 1.0, 1.0),
                 (0.5, INF, 1.0, 1.0), (0.5, 0.4, 0.0, 1.0), (0.5, 0.4, 1.0, 0.0), (0.5, 0.4, INF, 1.0),
                 (0.5, 0.4, -1.0, 1.0), (0.0, 0.0, 1.0, 1.0), (1e300, 0.5, 1.0, 1.0)]:
        yield f"ring special {args!r}", ring, args

    # Limb-darkened stacks of disks and of rings: inside (split at r = l),
    # the centre, the limb, outside, far; special values per element and
    # for the radii.
    l_ld = [0.0, 1e-12, 1e-7, 1e-3, 0.25, 0.5, 0.75, 0.9, 0.99, 0.999, 1.0, 1.001, 1.01, 1.1, 1.5, 2.0,
            3.0, 10.0, 1e3, 1e6, NAN, -0.5, INF]
    l_ld += [rng.random() * 1.5 for _ in range(6)]
    ld_scales = [(1.0, rho) for rho in (0.001, 0.1, 1.0, 10.0, rhos[4])]
    ld_degenerate = [(1.0, 0.0), (1.0, -0.1), (NAN, 0.1), (1.0, NAN), (0.0, 1.0), (INF, 1.0)]
    for name, f in (("integrated_witt_mao", lumora.integrated_witt_mao_magnification),
                    ("integrated_heyrovsky", lumora.integrated_heyrovsky_magnification)):
        for re, rstar in ld_scales:
            yield f"{name} re={re!r} rstar={rstar!r}", f, (l_ld, re, rstar)
        for re, rstar in ld_degenerate:
            yield f"{name} re={re!r} rstar={rstar!r}", f, (l_ld[:12] + [NAN], re, rstar)
        yield f"{name} empty", f, ([], 1.0, 0.1)

    # Flux maps: every table at a few scales, then the error tables.
    l_map = [0.0, 1e-9, 0.1, 0.35, 0.5, 0.7, 0.999, 1.0, 1.0005, 1.01, 1.5, 3.0, 1e3]
    l_map += [rng.random() * 1.2 for _ in range(3)]
    map_scales = [(1.0, 0.01), (1.0, 1.0), (2.0, 0.2 * rhos[5])]
    for name, f in (("flux_map_witt_mao", lumora.integrated_flux_map_witt_mao_magnification),
                    ("flux_map_heyrovsky", lumora.integrated_flux_map_heyrovsky_magnification),
                    ("discrete_flux_map_heyrovsky", lumora.discrete_flux_map_heyrovsky_magnification)):
        for table, bl, bf in tables(rng):
            for re, rstar in map_scales:
                yield f"{name} {table} re={re!r} rstar={rstar!r}", f, (l_map, re, rstar, bl, bf)
        for table, bl, bf in ERROR_TABLES:
            for l in ([0.5, 2.0], [NAN], []):
                yield f"{name} {table} l={l!r}", f, (l, 1.0, 0.1, bl, bf)
        for l in ([NAN], [0.5, NAN], [-0.3], [0.5, -0.3], [INF], [1e300]):
            yield f"{name} uniform l={l!r}", f, (l, 1.0, 0.1, [0.0, 1.0], [1.0, 1.0])
        for re, rstar in ((NAN, 0.1), (1.0, NAN), (1.0, 0.0), (1.0, -0.1), (0.0, 1.0), (INF, 1.0)):
            yield f"{name} uniform re={re!r} rstar={rstar!r}", f, ([0.0, 0.5, 2.0], re, rstar, [0.0, 1.0],
                                                                   [1.0, 1.0])


# ---- hashing ---------------------------------------------------------------------

def float_bits(x, raw_nan):
    if x != x and not raw_nan:
        return CANONICAL_NAN
    return struct.pack("<d", x)


def flatten(result):
    """The floats of a result and its shape (row lengths for a list of lists)."""
    if isinstance(result, float):
        return [result], b"float"
    shape, values = [b"list", str(len(result)).encode()], []
    for item in result:
        if isinstance(item, list):
            shape.append(str(len(item)).encode())
            values.extend(item)
        else:
            values.append(item)
    return values, b" ".join(shape)


def quiet_call(function, args):
    """The call with standard error closed: a PanicException also prints a
    report there, expected for the tables of unequal length."""
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        with open(os.devnull, "w") as null:
            os.dup2(null.fileno(), 2)
        return function(*args)
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def case_digest(function, args, raw_nan, quiet):
    h = hashlib.sha256()
    try:
        result = quiet_call(function, args) if quiet else function(*args)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # PanicException derives from BaseException
        kind = type(error)
        h.update(b"raises " + f"{kind.__module__}.{kind.__qualname__}".encode())
        return h.hexdigest()
    values, shape = flatten(result)
    h.update(shape + b"\n")
    for x in values:
        h.update(float_bits(x, raw_nan))
    return h.hexdigest()


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cases", action="store_true", help="print every case's hash and name")
    parser.add_argument("--raw-nan", action="store_true", help="hash NaNs with their own sign and payload")
    options = parser.parse_args(argv)
    total = hashlib.sha256()
    inputs = hashlib.sha256()  # tells a change of the inputs from one of the results
    count = 0
    for name, function, args in cases():
        inputs.update(f"{name}\t{args!r}\n".encode())
        digest = case_digest(function, args, options.raw_nan, "unequal-lengths" in name)
        total.update(f"{name}\t{digest}\n".encode())
        count += 1
        if options.cases:
            print(f"{digest[:16]} {name}")
    if options.cases:
        print(f"{count} cases, inputs {inputs.hexdigest()[:16]}")
    print(f"digest: {total.hexdigest()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
