"""Properties every result must have, on inputs drawn over the whole range.

Nothing here knows a formula of the module: the checks are what the physics
or the interface guarantees for any input.

- A point-lens magnification is at least 1, so every mean of it over a
  non-negative source is at least 1 (for finite l >= 0, a positive radius).
- NaN in gives NaN out (or, where documented, RuntimeError).
- The true magnification is continuous, so the value may jump at a branch
  switch (uniform disk: |u - rho| = 0.001 rho and u = 1000 rho; ring:
  |r - l| = 1e-5 min(1, l); integrated profiles: the split at l = 1) by no
  more than the error documented on the two sides.
- A list, tuple, array('d') or NumPy array of the same numbers gives the same
  bits; so does the worker pool for any thread count.
- Ring- and disk-based limb-darkened results agree within their accuracy.

Argument objects (sequences that change or lie while read, failing
conversions) are tables of cases in test_arguments.py.

Draws: rho from 1e-8 to 1e3, l from 0 to 1e12 with extra weight at 0, 1 and
the branch switches, r in [0, 1], tables of 1 to 200 entries.  The profiles
("ci" by default, "fuzz" for make fuzz) are registered in conftest.py and are
derandomized: a failure is reproducible, and hypothesis prints the falsifying
call (and its @reproduce_failure blob).
"""

import array
import math
import os
import subprocess
import sys

import pytest

pytest.importorskip("hypothesis")
from hypothesis import assume, example, given, note
from hypothesis import strategies as st

import lumora

try:
    import numpy
except ImportError:  # a test dependency; without it the NumPy input is not drawn
    numpy = None

NAN = math.nan
INF = math.inf
W = lumora.witt_mao_magnification
MULTI = lumora.multi_witt_mao_magnification
RING = lumora.heyrovsky_magnification
IW = lumora.integrated_witt_mao_magnification
IH = lumora.integrated_heyrovsky_magnification
FW = lumora.integrated_flux_map_witt_mao_magnification
FH = lumora.integrated_flux_map_heyrovsky_magnification
DH = lumora.discrete_flux_map_heyrovsky_magnification
LIST_FUNCTIONS = [W, IW, IH, FW, FH, DH]  # (l, re, rstar[, bl, bf]) -> one value per l
FLUX_MAPS = [FW, FH, DH]

# Rounding: a few units in the last place of values near 1.
ROUNDING = 1e-15


def bits(values):
    return array.array("d", values).tobytes()


# ---- strategies ---------------------------------------------------------------


def log_uniform(low, high):
    return st.floats(math.log10(low), math.log10(high)).map(lambda e: 10.0**e)


def near(x, closest=1e-17, farthest=1e-2):
    """x, its neighbours, and x·(1 ± 10^e) for closest <= 10^e <= farthest."""
    offsets = st.builds(lambda e, sign: x * (1 + sign * 10.0**e),
                        st.floats(math.log10(closest), math.log10(farthest)), st.sampled_from([-1, 1]))
    return st.one_of(st.sampled_from([x, math.nextafter(x, -INF), math.nextafter(x, INF)]), offsets)


RHO = st.one_of(log_uniform(1e-8, 1e3), st.sampled_from([1e-8, 1e-6, 1e-3, 0.01, 0.1, 1.0, 10.0, 1e3]))
# Separations in source radii: the disk's switches sit at l = 1 ± 0.001 and 1000.
SEPARATION = st.one_of(
    log_uniform(1e-15, 1e12),
    st.sampled_from([0.0, 5e-324, 1e-300, 1e12]),
    near(1.0), near(1.001), near(0.999), near(1000.0),
    st.floats(0.0, 3.0),
)
RADIUS = st.one_of(st.floats(0.0, 1.0), st.sampled_from([0.0, 1.0, 1e-300, 0.5]))
SEPARATIONS = st.lists(SEPARATION, min_size=1, max_size=200)
FEW_SEPARATIONS = st.lists(SEPARATION, min_size=1, max_size=3)  # the integrated functions: ~0.1 ms each
# A lens within 1e-150 of the centre meets test_ring_of_subnormal_size.
NORMAL_SEPARATION = SEPARATION.filter(lambda x: x == 0 or x > 1e-150)
NORMAL_SEPARATIONS = st.lists(NORMAL_SEPARATION, min_size=1, max_size=3)


@st.composite
def profiles(draw, min_size=1):
    """A tabulated profile: ascending radii in [0, 1], non-negative brightness."""
    size = draw(st.integers(min_size, 200))
    radii = sorted(draw(st.lists(RADIUS, min_size=size, max_size=size)))
    brightness = draw(st.lists(st.one_of(st.floats(0.0, 10.0), st.just(0.0)), min_size=size, max_size=size))
    return radii, brightness


@st.composite
def spaced_profiles(draw):
    """A profile over the whole disk (radii from 0 to 1) whose radii are at
    least 0.02 apart: no steps, inside or at its end."""
    radii = sorted(set(draw(st.lists(st.integers(1, 49), max_size=49))) | {0, 50})
    brightness = draw(st.lists(st.floats(0.0, 10.0), min_size=len(radii), max_size=len(radii)))
    return [r / 50 for r in radii], brightness


def bright(table):
    """Whether the profile has light: a segment at least 0.01 wide, not dark
    at both ends.  Narrower light may be no flux in doubles (a ramp over
    1e-300 is dark); narrow bands are checked in test_flux_map.py."""
    bl, bf = table
    return any(b - a >= 0.01 and (p > 0 or q > 0) for a, b, p, q in zip(bl, bl[1:], bf, bf[1:]))


def scaled(rho):
    """(re, rstar) with rstar/re = rho, drawn as the call would get them."""
    return 1.0, rho


# ---- magnification >= 1 ----------------------------------------------------------


class TestAtLeastOne:
    # The closed form of the uniform disk loses up to ~2e-10 absolute for
    # 300 < u < 1000ρ (ρ >= ~1), where A − 1 < 1e-10 and the result dips
    # below 1: 0.99999999991495 at l = 831.64, ρ = 1; 0.99999999978688 at
    # l = 999.99999999999997, ρ = 66.97.
    @pytest.mark.xfail(strict=True, reason="uniform disk below 1 by up to 2.1e-10 for 300 < u < 1000ρ")
    @given(l=SEPARATIONS, rho=RHO)
    @example(l=[831.6443745982596], rho=1.0)
    def test_uniform_disk_to_rounding(self, l, rho):
        for li, a in zip(l, W(l, 1.0, rho)):
            assert a >= 1 - ROUNDING, (li, rho, a)

    # Within the closed form's accuracy near u = 1000ρ (up to 5e-10,
    # TestContinuity.test_uniform_disk_far_field).
    @given(l=SEPARATIONS, rho=RHO)
    @example(l=[66974.96197194609 / 66.974961971946087], rho=66.974961971946087)
    def test_uniform_disk_within_its_accuracy(self, l, rho):
        for li, a in zip(l, W(l, 1.0, rho)):
            assert a >= 1 - 5e-10, (li, rho, a)

    @given(l=SEPARATION, r=RADIUS, rho=RHO)
    def test_ring(self, l, r, rho):
        assume(l != r)  # the ring through the lens is +inf
        assume(l + r > 1e-300 and not (0 < l < 1e-154 and r < 1e-154))  # test_ring_of_subnormal_size
        assert RING(l, r, 1.0, rho) >= 1 - ROUNDING

    # A ring and lens within 4.5e-308 of the centre: 4C/(l + r) overflows and
    # 0·inf makes m NaN, reported as a NaN argument; the truth is the point
    # lens at distance ~l, +inf in doubles.  The ring integrals are NaN for
    # a lens that close, and for l < 1e-154 with a ring as small, where l·l
    # underflows in the near-ring expansion's last term.
    @pytest.mark.xfail(strict=True, reason="ellipk: Arguments cannot be NAN. / l*l underflows")
    @pytest.mark.parametrize("l, r", [(5e-324, 0.0), (1e-310, 0.0), (1e-320, 1e-320), (5e-324, None),
                                      (4.130124009095669e-235, None), (1e-200, 3.42106229164784e-206)])
    def test_ring_of_subnormal_size(self, l, r):
        if r is None:
            assert IH([l], 1.0, 1.0)[0] >= 1
        else:
            assert RING(l, r, 1.0, 1.0) >= 1

    @given(l=NORMAL_SEPARATIONS, rho=RHO)
    def test_limb_darkened(self, l, rho):
        for function in (IW, IH):
            for li, a in zip(l, function(l, *scaled(rho))):
                assert a >= 1 - 2e-10, (function.__name__, li, rho, a)

    # A narrow bright band with the lens just inside the limb once gave 0.0:
    # the nodes of the first levels over [0, l] all missed the band.  The
    # thin annuli divide the difference of two disks by their 2e-4 width,
    # which multiplies the disk closed form's loss for 300 < u < 1000ρ
    # (test_uniform_disk_to_rounding): 0.999999998 at l = 990, ρ = 1.
    @given(l=NORMAL_SEPARATIONS, rho=RHO, table=profiles())
    @example(l=[0.99], rho=1.0, table=([0.0, 0.8363281404791791, 0.875, 0.875, 1.0], [0.0, 0.0, 1.0, 0.0, 0.0]))
    def test_flux_maps(self, l, rho, table):
        assume(bright(table))
        bl, bf = table
        for function, tolerance in ((FW, 1e-8), (FH, 2e-10)):
            for li, a in zip(l, function(l, *scaled(rho), bl, bf)):
                assert math.isnan(a) or a >= 1 - tolerance, (function.__name__, li, rho, a)


# ---- NaN in, NaN out ---------------------------------------------------------------


class TestNanPropagates:
    @pytest.mark.parametrize("where", ["l", "re", "rstar"])
    @given(l=SEPARATIONS, rho=RHO, data=st.data())
    def test_list_functions(self, where, l, rho, data):
        re, rstar = scaled(rho)
        if where == "l":
            index = data.draw(st.integers(0, min(len(l), 3) - 1))
            l = l[:index] + [NAN] + l[index + 1:]
        elif where == "re":
            re = NAN
        else:
            rstar = NAN
        table = ([0.0, 0.5, 1.0], [1.0, 0.8, 0.4])
        for function in (W, IW, IH, FW, FH, DH):
            args = (l[:3], re, rstar) + (table if function in FLUX_MAPS else ())
            try:
                result = function(*args)
            except RuntimeError:
                assert function is DH  # the discrete ring sum reports elliptic failures
                continue
            for li, a in zip(args[0], result):
                if where != "l" or math.isnan(li):
                    assert math.isnan(a), (function.__name__, args, result)
        result = MULTI(l, [re], [rstar])[0]
        assert all(math.isnan(a) for li, a in zip(l, result) if where != "l" or math.isnan(li))

    @pytest.mark.parametrize("where", [0, 1, 2, 3], ids=["l", "r", "re", "rstar"])
    @given(values=st.tuples(SEPARATION, RADIUS, st.just(1.0), RHO))
    def test_ring(self, where, values):
        args = list(values)
        args[where] = NAN
        try:
            assert math.isnan(RING(*args))
        except RuntimeError as error:
            assert "NAN" in str(error)


# ---- continuity across the branch switches ----------------------------------------


def both_sides(x, relative=1e-9):
    return x * (1 - relative), x * (1 + relative)


class TestContinuity:
    # The limb window returns the value at u = ρ; the true value changes by
    # 0.4% over the 0.001ρ half-width (the window's own error), so the jump
    # at its edges is that and no more.  At ρ = 1e-8 the value at u = ρ was
    # 13% low (test_witt_mao.py, test_value_at_u_equal_rho).
    @pytest.mark.parametrize("side", [1.001, 0.999], ids=["outer-edge", "inner-edge"])
    @given(rho=RHO)
    @example(rho=1e-8)
    def test_uniform_disk_limb_window(self, side, rho):
        pair = W(list(both_sides(side)), 1.0, rho)
        inside, outside = pair if side > 1 else pair[::-1]
        note(f"inside {inside!r}, outside {outside!r}")
        assert abs(inside - outside) <= 5e-3 * outside

    # The far-field expansion is within 5e-14; the closed form at u = 1000ρ
    # within 1.2e-10 for ρ >= 0.01 and 5e-10 at ρ = 1e-7.  The two points
    # are a few ulps to 1e-13 apart, where A (~1/u) changes by that much
    # relatively.
    @given(rho=RHO, relative=log_uniform(1e-16, 1e-13))
    def test_uniform_disk_far_field(self, rho, relative):
        closed, expanded = W(list(both_sides(1000.0, relative)), 1.0, rho)
        note(f"closed form {closed!r}, expansion {expanded!r}")
        assert abs(closed - expanded) <= (1e-9 + 2 * relative) * expanded

    # The first-order expansion about r = l holds to O((D/l)²) within its
    # band; just outside it the closed form, whose m and n both approach 1,
    # scatters by ~1e-6 relative from one ulp of r to the next.
    @pytest.mark.xfail(strict=True, reason="ring closed form scatters by ~1e-6 just outside the near-ring band")
    @given(l=st.one_of(log_uniform(1e-12, 1.0), st.floats(1e-300, 1.0)), rho=RHO, sign=st.sampled_from([-1, 1]))
    @example(l=1.0, rho=1e3, sign=1)
    def test_ring_near_the_lens(self, l, rho, sign):
        edge = 1e-5 * min(1.0, l)
        values = [RING(l, l + sign * edge * f, 1.0, rho) for f in both_sides(1.0, 1e-9)]
        note(f"inside {values[0]!r}, outside {values[1]!r}")
        assert abs(values[0] - values[1]) <= 1e-8 * values[1]

    # For 0 < l < 1 the radial integral is split at r = l; at l = 1 and
    # beyond it is one interval.  The points are a few ulps to 1e-13 apart,
    # where the true value changes by less than 1e-11; the ring-based
    # results are within 1e-10 on both sides.  The disk stack does not
    # split; the thin annuli jump by up to 1.8e-8 (ρ = 0.001, a profile
    # rising to the limb), far below their documented error over the
    # source (2.4e-3 for ρ >= 0.01, 8e-2 at ρ = 0.001): 1e-6 is allowed.
    @given(rho=RHO, relative=log_uniform(1e-16, 1e-13))
    def test_limb_darkened_across_the_limb(self, rho, relative):
        for function, tolerance in ((IH, 1e-10), (IW, 1e-8)):
            below, at, above = function([1 - relative, 1.0, 1 + relative], 1.0, rho)
            note(f"{function.__name__}: {below!r} {at!r} {above!r}")
            assert abs(below - at) <= tolerance * at and abs(above - at) <= tolerance * at

    @given(rho=RHO, relative=log_uniform(1e-16, 1e-13), table=spaced_profiles())
    def test_flux_map_across_the_limb(self, rho, relative, table):
        assume(bright(table))
        bl, bf = table
        for function, tolerance in ((FH, 1e-9), (FW, 1e-6)):
            below, at, above = function([1 - relative, 1.0, 1 + relative], 1.0, rho, bl, bf)
            note(f"{function.__name__}: {below!r} {at!r} {above!r}")
            assert abs(below - at) <= tolerance * at and abs(above - at) <= tolerance * at

    # A step in the table (a bright ramp up to r = 0.5, dark beyond) and a
    # bright segment 0.02 wide at the end of a table: with the step inside
    # one quadrature interval the integrals were 7.7% off just inside the
    # limb and 0.1% at l = 1, and the segment was missed even by the flux
    # integral (NaN).
    @pytest.mark.parametrize("function", [FH, FW], ids=["rings", "disks"])
    def test_flux_map_with_a_step_across_the_limb(self, function):
        below, at = function([1 - 1e-13, 1.0], 1.0, 1.0, [0.0, 0.0, 0.0, 0.0, 0.5, 0.5], [0.0, 0.0, 0.0, 0.0, 1.0, 0.0])
        assert abs(below - at) <= 1e-8 * at
        below, at = function([1 - 1e-13, 1.0], 1.0, 1.0, [0.7, 0.72], [0.0, 1.0])
        assert abs(below - at) <= 1e-8 * at


# ---- ring and disk based limb darkening agree ----------------------------------------


class TestRingsAndDisksAgree:
    # Outside the source the rings are exact to rounding and the disks carry
    # the closed form's error, largest just below u = 1000ρ (1.5e-10 at
    # l = 999, ρ = 1e-4; up to 5e-10 for smaller ρ).  Near the limb the disk
    # stack loses up to 2.13e-3, at l = 1 ± 0.001 where the lens sits on the
    # edge of the outer disks' limb windows, for every ρ up to 1 (1.9e-4 at
    # ρ = 10).
    @given(l=NORMAL_SEPARATION, rho=RHO)
    @example(l=1.0, rho=1e-8)
    def test_linear_law(self, l, rho):
        disks, rings = IW([l], 1.0, rho)[0], IH([l], 1.0, rho)[0]
        tolerance = 1e-9 if l >= 1.01 else 3e-3
        note(f"disks {disks!r}, rings {rings!r}")
        assert abs(disks - rings) <= tolerance * rings


# ---- the same bits from any container and any thread count --------------------------


def containers(values):
    kinds = {"list": list(values), "tuple": tuple(values), "array": array.array("d", values)}
    if numpy is not None:
        kinds["numpy"] = numpy.array(values, dtype=numpy.float64)
    return kinds


class TestSameBits:
    @given(l=SEPARATIONS, rho=RHO, table=profiles())
    def test_any_container(self, l, rho, table):
        bl, bf = table
        for function in LIST_FUNCTIONS:
            few = l if function is W else l[:2]
            extra = (bl, bf) if function in FLUX_MAPS else ()
            try:
                expected = bits(function(few, 1.0, rho, *extra))
            except RuntimeError:
                continue
            for name, kind in containers(few).items():
                extra = tuple(containers(t)[name] for t in extra)
                assert bits(function(kind, 1.0, rho, *extra)) == expected, (function.__name__, name)
        expected = [bits(row) for row in MULTI(l, [1.0, 2.0], [rho])]
        for name, kind in containers(l).items():
            got = MULTI(kind, containers([1.0, 2.0])[name], containers([rho])[name])
            assert [bits(row) for row in got] == expected, name


WORKER = """\
import array, sys, lumora
read, write = sys.stdin.buffer, sys.stdout.buffer
while True:
    header = read.read(24)
    if not header:
        break
    n, re, rstar = array.array("d", header)
    l = array.array("d", read.read(8 * int(n)))
    out = lumora.witt_mao_magnification(l, re, rstar)
    out += lumora.multi_witt_mao_magnification(l, [re, 2 * re], [rstar, rstar / 3])[1]
    write.write(array.array("d", out).tobytes())
    write.flush()
"""


@pytest.fixture(scope="module")
def pools():
    """Interpreters whose pools have 1, 2, 3 and 8 workers, answering calls on a pipe."""
    env = {key: value for key, value in os.environ.items() if not key.startswith("RAYON_")}
    env["PYTHONPATH"] = os.path.dirname(os.path.abspath(lumora.__file__))
    processes = {}
    for size in ("1", "2", "3", "8"):
        processes[size] = subprocess.Popen([sys.executable, "-c", WORKER], stdin=subprocess.PIPE,
                                           stdout=subprocess.PIPE, env=dict(env, RAYON_NUM_THREADS=size))
    yield processes
    for process in processes.values():
        process.stdin.close()
        process.wait(timeout=30)
        process.stdout.close()


class TestPoolBits:
    @given(l=st.lists(SEPARATION, min_size=0, max_size=200), rho=RHO)
    def test_any_thread_count(self, pools, l, rho):
        # Each element computed alone, on the calling thread.
        expected = [W([x], 1.0, rho)[0] for x in l] + [MULTI([x], [1.0], [rho / 3])[0][0] for x in l]
        request = array.array("d", [len(l), 1.0, rho] + l).tobytes()
        for size, process in pools.items():
            process.stdin.write(request)
            process.stdin.flush()
            got = process.stdout.read(16 * len(l))
            assert got == bits(expected), f"RAYON_NUM_THREADS={size}"


# ---- every function on arbitrary floats --------------------------------------------
# make fuzz runs this class with >= 10^5 examples per function: any float
# (NaN, infinities, negatives, subnormals) gives a result of the right shape
# or the documented exception, and NaN in gives NaN out.

ANY = st.one_of(st.floats(), SEPARATION, RHO)
ANY_LIST = st.lists(ANY, max_size=8)
ANY_TABLE = st.one_of(profiles(), st.tuples(st.lists(ANY, max_size=6), st.lists(ANY, max_size=6)))


def is_panic(error):
    return type(error).__name__ == "PanicException"


class TestEveryFunction:
    @given(l=st.lists(ANY, max_size=200), re=ANY, rstar=ANY)
    def test_witt_mao_magnification(self, l, re, rstar):
        result = W(l, re, rstar)
        assert len(result) == len(l)
        for li, a in zip(l, result):
            assert not (math.isnan(li) or math.isnan(re) or math.isnan(rstar)) or math.isnan(a)

    @given(l=ANY_LIST, re=st.lists(ANY, max_size=4), rstar=st.lists(ANY, max_size=4))
    def test_multi_witt_mao_magnification(self, l, re, rstar):
        rows = MULTI(l, re, rstar)
        assert [bits(row) for row in rows] == [bits(W(l, a, b)) for a in re for b in rstar]

    @given(l=ANY, r=ANY, re=ANY, rstar=ANY)
    def test_heyrovsky_magnification(self, l, r, re, rstar):
        try:
            m = RING(l, r, re, rstar)
        except RuntimeError as error:
            assert str(error).startswith(("ellipk: ", "ellippi: ")), error
            return
        assert isinstance(m, float)
        assert not any(math.isnan(x) for x in (l, r, re, rstar)) or math.isnan(m)

    @pytest.mark.parametrize("function", [IW, IH], ids=["disks", "rings"])
    @given(l=st.lists(ANY, max_size=3), re=ANY, rstar=ANY)
    def test_integrated(self, function, l, re, rstar):
        result = function(l, re, rstar)
        assert len(result) == len(l)
        for li, a in zip(l, result):
            assert not (math.isnan(li) or math.isnan(re) or math.isnan(rstar)) or math.isnan(a)

    @pytest.mark.parametrize("function", FLUX_MAPS, ids=["disks", "rings", "discrete"])
    @given(l=st.lists(ANY, max_size=3), re=ANY, rstar=ANY, table=ANY_TABLE)
    def test_flux_maps(self, function, l, re, rstar, table):
        bl, bf = table
        try:
            result = function(l, re, rstar, bl, bf)
        except RuntimeError as error:
            assert function is DH and str(error).startswith(("ellipk: ", "ellippi: ")), error
            return
        except BaseException as error:
            assert is_panic(error) and len(bl) != len(bf), error
            return
        assert len(bl) == len(bf) and len(result) == len(l)
        if function is DH and not bl:
            assert result == [0.0] * len(l)  # the sum over no rings: no input enters
            return
        for li, a in zip(l, result):
            assert not (math.isnan(li) or math.isnan(re) or math.isnan(rstar)) or math.isnan(a)
