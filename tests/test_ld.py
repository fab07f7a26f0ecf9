"""lumora_ld.magnification: its interface (broadcasting, scalars, out=, every
error, NaN, threads) and its accuracy against an independent truth
(ld_reference: a high-precision quadrature of the profile-weighted ring
mean) for every law at three tolerances, plus agreement with lumora where
both apply; lumora_ld.magnification_and_gradient: each derivative against
differences of that truth, a light curve's gradient against differences of
magnification itself, its interface.

The truth is slow, so each law has one fixed set of points (seeded, plus
the cases nobody should miss), computed once by tools/gen_ld_truth.py into
tests/data/ld_truth.json and shared by the three tolerances.
"""

import json
import math
import os
import threading
import time

import numpy as np
import pytest

import lumora

_MODELS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "src", "ld", "models")
if os.path.isdir(_MODELS) and not any(f.endswith(".cpp") for f in os.listdir(_MODELS)):
    pytest.skip("this checkout has no lumora_ld models", allow_module_level=True)
import lumora_ld  # noqa: E402  (built whenever the models are there)

from reference import relative_error  # noqa: E402

magnification = lumora_ld.magnification

# One profile per law (coefficients of a Sun-like star; the tabulated one is
# a quadratic law read at 11 values of mu), with the truth at fixed and
# seeded points: u = 0, the limb from both sides 1e-3 and 1e-8 away, the
# smallest and largest sources, both sides of every switch between methods,
# far out.  The truth comes from the independent reference ld_reference (a
# nested mpmath quadrature of the ring means at 20 digits), computed once by
# tools/gen_ld_truth.py and committed.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "ld_truth.json")) as _f:
    _TRUTH = json.load(_f)["profiles"]


def _law(spec):
    return (np.array(spec["mu"]), np.array(spec["intensity"])) if isinstance(spec, dict) else spec


PROFILES = {name: (_law(entry["law"]), tuple(entry["coefficients"])) for name, entry in _TRUTH.items()}
RTOLS = [1e-4, 1e-8, 1e-10]

# The same profiles at points a relative 1e-6 on both sides of each switch of
# the small-source expansion (the edges of the limb band |z - 1| < 2^-8, the
# largest rho it serves at 1e-4, 1e-8 and 1e-10, a change in its number of
# orders) and of the tabulated magnified fluxes of sources with
# 1/8 <= rho < 4 (the ends of that range, an octave edge, the band and
# z = 2 at rho near 1), from the same reference (tools/gen_ld_truth.py
# --small-source, --mid-source).
_SWITCH_TRUTH = {}
for _regime in ("small_source", "mid_source"):
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", f"ld_truth_{_regime}.json")) as _f:
        _SWITCH_TRUTH |= {(_regime, name): entry for name, entry in json.load(_f)["profiles"].items()}
BAND = 2.0**-8


def point_lens(u):
    return (u * u + 2.0) / (u * math.sqrt(u * u + 4.0))


# ---- accuracy against the truth ---------------------------------------------

def truth(name):
    """The points (u, rho) of a law and the truth at each."""
    table = np.array(_TRUTH[name]["points"], dtype=float)
    return table[:, :2], table[:, 2]


class TestAccuracy:
    @pytest.mark.parametrize("rtol", RTOLS, ids=lambda r: f"rtol={r:g}")
    @pytest.mark.parametrize("name", list(PROFILES))
    def test_within_rtol_of_the_truth(self, name, rtol):
        points, expected = truth(name)
        law, coefficients = PROFILES[name]
        got = magnification(points[:, 0], points[:, 1], law, coefficients, rtol=rtol)
        errors = np.array([relative_error(g, e) for g, e in zip(got, expected)])
        worst = int(np.argmax(errors))
        assert errors[worst] <= rtol, (
            f"worst relative error {errors[worst]:.3g} at u = {points[worst, 0]!r}, rho = {points[worst, 1]!r}")

    @pytest.mark.parametrize("rtol", RTOLS + [1e-12], ids=lambda r: f"rtol={r:g}")
    @pytest.mark.parametrize("regime, name", list(_SWITCH_TRUTH), ids="-".join)
    def test_within_rtol_on_both_sides_of_the_tabulated_switches(self, regime, name, rtol):
        table = np.array(_SWITCH_TRUTH[regime, name]["points"], dtype=float)
        law, coefficients = PROFILES[name]
        got = magnification(table[:, 0], table[:, 1], law, coefficients, rtol=rtol)
        errors = np.array([relative_error(g, e) for g, e in zip(got, table[:, 2])])
        worst = int(np.argmax(errors))
        assert errors[worst] <= rtol, (
            f"worst relative error {errors[worst]:.3g} at u = {table[worst, 0]!r}, rho = {table[worst, 1]!r}")

    @pytest.mark.parametrize("name", list(PROFILES))
    @pytest.mark.parametrize("z_switch", [1.0, 1 - BAND, 1 + BAND, 2.0, 10.0],
                             ids=["limb", "band-in", "band-out", "z=2", "z=10"])
    def test_continuous_across_each_switch_in_z(self, name, z_switch):
        # 21 points 1e-12 apart (relative) around the switch: the magnification
        # moves by far less than rtol, so every pair agrees within 2 rtol.
        law, coefficients = PROFILES[name]
        rtol = 1e-8
        for rho in (1e-3, 0.05, 2.0):
            z = z_switch * (1.0 + 1e-12 * np.arange(-10, 11))
            a = magnification(z * rho, rho, law, coefficients, rtol=rtol)
            spread = (a.max() - a.min()) / a.min()
            assert spread <= 2 * rtol, f"rho = {rho}: spread {spread:.3g}"

    # (z, rho, rtol) where the small-source expansion changes its number of
    # orders (two to three at z = 0.7) or stops (the largest rho at z = 0.5
    # and 1.5), rho = sqrt(eps_K(rtol))/(z + 1); where the tabulated
    # magnified fluxes start (rho = 1/8, at 1e-12, where the expansion
    # stops below it), change octave (rho = 1) and stop (rho = 4).
    @pytest.mark.parametrize("name", ["linear", "square_root", "claret4"])
    @pytest.mark.parametrize("z, rho, rtol", [
        (0.7, 0.00935645168310102, 1e-8), (0.5, 0.43093682293750524, 1e-8),
        (1.5, 0.19270270486338703, 1e-10), (0.2, 0.983816092228354, 1e-4),
        (1.9, 0.125, 1e-12), (0.8, 1.0, 1e-8), (0.3, 4.0, 1e-8)],
        ids=["orders", "largest-1e-8", "largest-1e-10", "largest-1e-4", "rho=1/8", "octave", "rho=4"])
    def test_continuous_across_each_switch_in_rho(self, name, z, rho, rtol):
        law, coefficients = PROFILES[name]
        rhos = rho * (1.0 + 1e-12 * np.arange(-10, 11))
        a = magnification(z * rho, rhos, law, coefficients, rtol=rtol)
        spread = (a.max() - a.min()) / a.min()
        assert spread <= 2 * rtol, f"spread {spread:.3g}"

    def test_tabulated_linear_law_is_the_linear_law(self):
        # Linear interpolation in mu of a linear law is the law itself.
        mu = np.array([0.0, 0.3, 1.0, 0.7])  # unsorted on purpose
        u, rho = np.array([0.0, 0.05, 0.0999, 0.2, 3.0]), 0.1
        tabulated = magnification(u, rho, (mu, 0.4 + 0.6 * mu), rtol=1e-10)
        linear = magnification(u, rho, "linear", (0.6,), rtol=1e-10)
        np.testing.assert_allclose(tabulated, linear, rtol=2e-10, atol=0)

    @pytest.mark.parametrize("name", list(PROFILES))
    def test_at_least_one_and_the_point_lens_far_away(self, name):
        law, coefficients = PROFILES[name]
        rng = np.random.default_rng(7)
        rho = 10.0 ** rng.uniform(-6, 4, 300)
        u = rho * rng.uniform(0, 5, 300)
        assert np.all(magnification(u, rho, law, coefficients) >= 1.0)
        far = np.array([1e6, 1e8]) * 1e-3
        np.testing.assert_allclose(magnification(far, 1e-3, law, coefficients, rtol=1e-10),
                                   [point_lens(x) for x in far], rtol=1e-10, atol=0)


class TestAgreementWithLumora:
    def test_uniform_law_is_the_witt_mao_disk(self):
        # Away from the 0.001 rho window where lumora returns the limb value.
        rng = np.random.default_rng(11)
        for rho in (1e-3, 0.05, 1.0):
            z = np.concatenate([rng.uniform(0.0, 0.998, 30), rng.uniform(1.002, 50.0, 30)])
            ours = magnification(z * rho, rho, rtol=1e-10)
            theirs = np.array(lumora.witt_mao_magnification(list(z), 1.0, rho))
            np.testing.assert_allclose(ours, theirs, rtol=2e-9, atol=0, err_msg=f"rho = {rho}")

    def test_linear_law_is_the_integrated_heyrovsky_profile(self):
        rng = np.random.default_rng(12)
        for rho in (1e-3, 0.05, 1.0):
            z = np.concatenate([rng.uniform(0.0, 1.0, 8), rng.uniform(1.0, 20.0, 8)])
            ours = magnification(z * rho, rho, "linear", (0.6,), rtol=1e-10)
            theirs = np.array(lumora.integrated_heyrovsky_magnification(list(z), 1.0, rho))
            np.testing.assert_allclose(ours, theirs, rtol=2e-10, atol=0, err_msg=f"rho = {rho}")


# ---- the gradient ---------------------------------------------------------------

gradient = lumora_ld.magnification_and_gradient

# The truth's derivatives (tools/gen_ld_gradient_truth.py: central
# differences of the reference in u and rho, the coefficients through the
# profile's linearity) at 9 points per law: u = 0, the limb 1e-3 inside and
# outside, both sides of z = 2, rho = 1e-6 and 1e4, two sources of moderate
# size (rho near 1 and 2.5) over the disk.
with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "ld_gradient_truth.json")) as _f:
    _GRADIENT_TRUTH = json.load(_f)["profiles"]


def derivative_error(got, truth, scale):
    """|got - truth| relative to |truth|, or to `scale` where the derivative
    passes through zero (|truth| < scale)."""
    return abs(got - truth) / max(abs(truth), scale)


class TestGradient:
    @pytest.mark.parametrize("name", list(PROFILES))
    def test_each_derivative_within_1e_6_of_the_truth(self, name):
        # Scale where a derivative passes through zero: 1e-3 of A per rho
        # for dA/du and dA/drho, 1e-3 of A - 1 for a coefficient.
        law, coefficients = PROFILES[name]
        table = np.array(_GRADIENT_TRUTH[name]["points"])
        u, rho = table[:, 0], table[:, 1]
        a, du, drho, dc = gradient(u, rho, law, coefficients, rtol=1e-8)
        assert np.array_equal(a, magnification(u, rho, law, coefficients, rtol=1e-8))
        got = np.column_stack([a, du, drho, *dc])
        for row, values in zip(table, got):
            for k in range(3, table.shape[1]):
                scale = 1e-3 * (row[2] / row[1] if k < 5 else row[2] - 1)
                error = derivative_error(values[k - 2], row[k], scale)
                assert error <= 1e-6, f"column {k} at u = {row[0]!r}, rho = {row[1]!r}: {error:.3g}"

    @pytest.mark.parametrize("z, rho, du, drho", [
        (0.44, 5.0, -0.006283426428140242, -0.029851323601823024),        # t = 0.436 at mu = 0.9
        (0.98, 100.0, -1.3434239774198582e-05, 1.0971210474417706e-05),  # t = 0.980 at mu = 0.2
    ], ids=["z=0.44", "z=0.98"])
    def test_tabulated_lens_next_to_a_kink(self, z, rho, du, drho):
        # The ring through the lens next to a kink of the tabulated profile
        # (truth: evaluate() of tools/gen_ld_gradient_truth.py, 20 digits).
        law, _ = PROFILES["tabulated"]
        got = gradient(z * rho, rho, law, rtol=1e-8)
        assert derivative_error(got[1], du, 0) <= 1e-6 and derivative_error(got[2], drho, 0) <= 1e-6

    @pytest.mark.parametrize("rho", [1e-3, 1.0])
    def test_tabulated_lens_on_a_kink_is_continuous(self, rho):
        # z = 0.6 and 0.8 are kinks of the tabulated profile (mu = 0.8, 0.6):
        # finite there, and within 1e-6 of the derivatives 1e-9 away (for a
        # source far larger than the Einstein ring they do move by more:
        # the kink is smoothed over 1/rho only).
        law, _ = PROFILES["tabulated"]
        z = np.array([0.6, 0.6 - 1e-9, 0.6 + 1e-9, 0.8, 0.8 - 1e-9, 0.8 + 1e-9])
        _, du, drho, _ = gradient(z * rho, rho, law)
        for d in (du, drho):
            assert np.all(np.isfinite(d))
            for k in (0, 3):
                assert np.max(np.abs(d[k + 1:k + 3] - d[k])) <= 1e-6 * abs(d[k])

    @pytest.mark.parametrize("law, coefficients, rho", [
        ("quadratic", (0.45, 0.25), 0.02), ("power2", (0.6, 0.5), 0.02), ("uniform", (), 0.02),
        ("claret4", (0.5, 0.2, 0.3, -0.2), 1.5),
    ], ids=["quadratic", "power2", "uniform", "claret4 rho=1.5"])
    def test_light_curve_gradient_against_differences_of_magnification(self, law, coefficients, rho):
        # A(t) = A(hypot(u0, (t - t0)/tE), rho): its derivatives in u0, rho and
        # each coefficient by the chain rule, against central differences of
        # magnification (rtol=1e-12, steps 1e-5 relative), away from the limb
        # crossings (|z - 1| > 0.05, where the difference's own error, ~(h/|z - 1|)²,
        # stays below 1e-7); scaled as for the truth where a derivative
        # passes through zero.
        t = np.linspace(-0.2, 0.2, 801)
        u0, t0, te = 0.5 * rho, 0.003, 0.2 / rho

        def curve(u0=u0, rho=rho, coefficients=coefficients):
            return magnification(np.hypot(u0, (t - t0) / te), rho, law, coefficients, rtol=1e-12)

        u = np.hypot(u0, (t - t0) / te)
        a, du, drho, dc = gradient(u, rho, law, coefficients, rtol=1e-10)
        h = 1e-5
        checks = [(du * u0 / u, (curve(u0=u0 * (1 + h)) - curve(u0=u0 * (1 - h))) / (2 * h * u0)),
                  (drho, (curve(rho=rho * (1 + h)) - curve(rho=rho * (1 - h))) / (2 * h * rho))]
        for k, c in enumerate(coefficients):
            up, down = list(coefficients), list(coefficients)
            up[k], down[k] = c + h, c - h
            checks.append((dc[k], (curve(coefficients=up) - curve(coefficients=down)) / (2 * h)))
        away = np.abs(u / rho - 1) > 0.05
        for k, (exact, difference) in enumerate(checks):
            scale = np.maximum(np.abs(difference), 1e-3 * (a / rho if k < 2 else a - 1))
            assert np.max((np.abs(exact - difference) / scale)[away]) <= 1e-6, k

    def test_a_is_magnification(self):
        # Every regime: the small-source expansion, stacked disks, the far
        # series, large sources; power2's α = 0.5 takes the expansion for A
        # and stacked disks for the derivatives.
        rng = np.random.default_rng(8)
        rho = 10.0 ** rng.uniform(-4, 1, 1500)
        u = rho * rng.uniform(0, 4, 1500)
        for law, coefficients in list(PROFILES.values()) + [("power2", (0.6, 0.5))]:
            assert np.array_equal(gradient(u, rho, law, coefficients)[0], magnification(u, rho, law, coefficients))

    @pytest.mark.parametrize("u, rho, law, coefficients, expected", [
        (0.5, 0.0, "linear", (0.6,), (point_lens(0.5), -8 / (0.25 * 4.25**1.5), 0.0, [0.0])),
        (0.0, 0.0, "uniform", (), (math.inf, -math.inf, 0.0, [])),
        (math.nan, 0.1, "quadratic", (0.4, 0.3), (math.nan, math.nan, math.nan, [math.nan, math.nan])),
        (-1.0, 0.1, "linear", (0.6,), (math.nan, math.nan, math.nan, [math.nan])),
        (0.0, 2.0, "uniform", (), (math.sqrt(8.0) / 2, 0.0, -4 / (4 * math.sqrt(8.0)), [])),
        (0.1, 0.1, "linear", (0.6,), (None, -math.inf, math.inf, [None])),
        (0.1, 0.1, "linear", (1.0,), (None, None, None, [None])),      # dark limb: finite
        (0.3, 0.1, "power2", (0.5, 0.0), (None, None, None, [0.0, math.nan])),
    ], ids=["point lens", "lens on the point", "nan", "negative u", "uniform centred", "limb",
            "dark limb", "power2 alpha=0"])
    def test_special_values(self, u, rho, law, coefficients, expected):
        a, du, drho, dc = gradient(u, rho, law, coefficients)
        assert dc.shape == (len(coefficients),)
        for got, wanted in zip([a, du, drho, *dc], [*expected[:3], *expected[3]]):
            if wanted is None:
                assert math.isfinite(got)
            else:
                assert relative_error(got, wanted) <= 1e-14, (got, wanted)

    def test_shapes(self):
        a, du, drho, dc = gradient(np.zeros((2, 1)), [0.1, 0.2, 0.3], "claret4", (0.5, 0.2, 0.3, -0.2))
        assert a.shape == du.shape == drho.shape == (2, 3) and dc.shape == (4, 2, 3)
        scalars = gradient(0.5, 0.1, "linear", (0.6,))
        assert [type(x) for x in scalars[:3]] == [np.float64] * 3 and scalars[3].shape == (1,)
        assert gradient([], 0.1)[3].shape == (0, 0)

    @pytest.mark.parametrize("args, kwargs, error, message", [
        ((1.0,), {}, TypeError, r"missing 1 required positional argument: 'rho'"),
        ((1.0, 1.0), {"out": None}, TypeError, r"got an unexpected keyword argument 'out'"),
        ((1.0, 1.0, "linear", (0.6,), 1e-8), {}, TypeError, r"takes from 2 to 4 positional arguments but 5"),
        (("abc", 1.0), {}, TypeError, r"u must be real numbers"),
        ((1.0, 1.0, "Linear", (0.6,)), {}, ValueError, r"unknown law 'Linear'"),
        ((1.0, 1.0, "linear"), {}, ValueError, r"law 'linear' takes 1 coefficient \(a\), got 0"),
        ((1.0, 1.0, "linear", (1.5,)), {}, ValueError, r"negative"),
        ((1.0, 1.0), {"rtol": 1e-13}, ValueError, r"rtol must be between 1e-12 and 0.01"),
        ((1.0, 1.0), {"workers": 0}, ValueError, r"workers must be at least 1"),
        (([1.0, 2.0], [1.0, 2.0, 3.0]), {}, ValueError, r"shape mismatch"),
    ], ids=lambda v: None)
    def test_errors_as_for_magnification(self, args, kwargs, error, message):
        with pytest.raises(error, match=message):
            gradient(*args, **kwargs)


# ---- the interface ------------------------------------------------------------

class TestShapes:
    @pytest.mark.parametrize("u_shape, rho_shape, shape", [
        ((), (), ()),
        ((5,), (), (5,)),
        ((), (4,), (4,)),
        ((2, 1), (3,), (2, 3)),
        ((2, 1, 3), (4, 1), (2, 4, 3)),
        ((0,), (), (0,)),
        ((600,), (600,), (600,)),
    ], ids=["scalars", "u array", "rho array", "outer", "3-d", "empty", "chunked"])
    def test_broadcast_shape_and_values(self, u_shape, rho_shape, shape):
        rng = np.random.default_rng(3)
        u = rng.uniform(0.0, 0.3, u_shape)
        rho = rng.uniform(0.01, 0.2, rho_shape)
        got = magnification(u, rho, "linear", [0.6])
        assert np.shape(got) == shape
        ub, rb = np.broadcast_arrays(u, rho)
        expected = [magnification(float(a), float(b), "linear", [0.6]) for a, b in zip(ub.ravel(), rb.ravel())]
        assert np.array_equal(np.ravel(got), expected)  # the same bits, one value at a time

    @pytest.mark.parametrize("u, rho", [
        (0.5, 0.1), (1, 1), (np.float32(0.5), np.array(0.1)), (np.int64(2), True),
    ], ids=["floats", "ints", "numpy 0-d", "int and bool"])
    def test_scalars_give_a_numpy_float64(self, u, rho):
        assert type(magnification(u, rho)) is np.float64

    def test_sequences_and_other_dtypes_give_float64_arrays(self):
        for u in ([0.5, 1.0], (0.5, 1.0), np.array([0.5, 1.0], np.float32), np.array([1, 2]), [[0.5], [1.0]]):
            got = magnification(u, 0.1)
            assert isinstance(got, np.ndarray) and got.dtype == np.float64
            assert np.array_equal(got.ravel(), magnification(np.asarray(u, float).ravel(), 0.1))


class TestOut:
    def test_written_and_returned(self):
        out = np.full((2, 3), -1.0)
        u = np.array([[0.0], [0.05]])
        result = magnification(u, [0.1, 0.2, 0.3], out=out)
        assert result is out
        assert np.array_equal(out, magnification(u, [0.1, 0.2, 0.3]))

    @pytest.mark.parametrize("make", [
        lambda: np.zeros((3, 2)).T,               # not contiguous
        lambda: np.zeros(6)[::2].reshape(1, 3)[0:1].repeat(2, axis=0),  # a fresh copy
        lambda: np.zeros((2, 3), dtype=">f8"),    # byte-swapped
    ], ids=["transposed", "copy", "big-endian"])
    def test_any_float64_layout(self, make):
        out = make()
        u = np.array([[0.0, 0.01, 0.2], [0.3, 0.4, 0.5]])
        assert magnification(u, 0.1, out=out) is out
        assert np.array_equal(out, magnification(u, 0.1))

    def test_out_may_be_an_input(self):
        u = np.array([0.0, 0.05, 0.2, 1.0])
        expected = magnification(u, 0.1)
        assert magnification(u, 0.1, out=u) is u
        assert np.array_equal(u, expected)

    @pytest.mark.parametrize("out, error, message", [
        (np.zeros(3), ValueError, r"non-broadcastable output operand with shape \(3,\) doesn't match "
                                  r"the broadcast shape \(2,\)"),
        (np.zeros((1, 2)), ValueError, r"shape \(1, 2\) doesn't match the broadcast shape \(2,\)"),
        (np.zeros(2, np.float32), TypeError, "out must have dtype float64, not float32"),
        ([0.0, 0.0], TypeError, "out must be a numpy.ndarray, not list"),
    ], ids=["length", "dimensions", "dtype", "list"])
    def test_wrong_out(self, out, error, message):
        with pytest.raises(error, match=message):
            magnification([0.1, 0.2], 0.1, out=out)

    def test_read_only_out(self):
        out = np.zeros(2)
        out.flags.writeable = False
        with pytest.raises(ValueError, match="output array is read-only"):
            magnification([0.1, 0.2], 0.1, out=out)


class TestErrors:
    @pytest.mark.parametrize("args, kwargs, error, message", [
        ((), {}, TypeError, r"missing 2 required positional arguments: 'u' and 'rho'"),
        ((1.0,), {}, TypeError, r"missing 1 required positional argument: 'rho'"),
        ((1.0, 1.0, "linear", (0.6,), 1e-8), {}, TypeError, r"takes from 2 to 4 positional arguments but 5 were given"),
        ((1.0, 1.0), {"u": 1.0}, TypeError, r"got multiple values for argument 'u'"),
        ((1.0, 1.0), {"tol": 1.0}, TypeError, r"got an unexpected keyword argument 'tol'"),
        (("abc", 1.0), {}, TypeError, r"u must be real numbers, not an array_like of dtype <U3"),
        ((1.0, 1j), {}, TypeError, r"rho must be real numbers, not an array_like of dtype complex128"),
        (([1.0, "x"], 1.0), {}, TypeError, r"u must be real numbers"),
        ((1.0, 1.0, 3), {}, TypeError, r"law must be a law name \(str\) or a pair \(mu, intensity\), not int"),
        ((1.0, 1.0, "linear", ("a",)), {}, TypeError, r"coefficients must be real numbers"),
        ((1.0, 1.0, "linear", 0.6), {}, TypeError, r"coefficients must be a one-dimensional sequence"),
        ((1.0, 1.0), {"rtol": "small"}, TypeError, r"must be real number, not str"),
        ((1.0, 1.0), {"workers": 2.0}, TypeError, r"workers must be an int or None, not float"),
        ((1.0, 1.0, "Linear", (0.6,)), {}, ValueError,
         r"unknown law 'Linear': expected 'uniform', 'linear', 'quadratic', 'square_root', 'logarithmic', "
         r"'power2', 'claret4', or a pair \(mu, intensity\)"),
        ((1.0, 1.0, "linear"), {}, ValueError, r"law 'linear' takes 1 coefficient \(a\), got 0"),
        ((1.0, 1.0, "quadratic", (0.1,)), {}, ValueError, r"law 'quadratic' takes 2 coefficients \(a, b\), got 1"),
        ((1.0, 1.0, "uniform", (0.1,)), {}, ValueError, r"law 'uniform' takes no coefficients, got 1"),
        ((1.0, 1.0, "claret4", (0.1,) * 5), {}, ValueError,
         r"law 'claret4' takes 4 coefficients \(a1, a2, a3, a4\), got 5"),
        ((1.0, 1.0, ([0.0, 1.0], [1.0, 1.0]), (0.1,)), {}, ValueError,
         r"a tabulated profile \(mu, intensity\) takes no coefficients, got 1"),
        ((1.0, 1.0, ([0.0, 0.5, 1.0], [1.0, 1.0])), {}, ValueError,
         r"the tabulated profile's mu and intensity differ in length \(3 and 2\)"),
        ((1.0, 1.0, ([[0.0, 1.0]], [1.0, 1.0])), {}, ValueError, r"the tabulated profile's mu must be one-dimensional"),
        ((1.0, 1.0), {"rtol": float("nan")}, ValueError, r"rtol must be between 1e-12 and 0.01, got nan"),
        ((1.0, 1.0), {"rtol": 1e-13}, ValueError, r"rtol must be between 1e-12 and 0.01, got 1e-13"),
        ((1.0, 1.0), {"rtol": 0.02}, ValueError, r"rtol must be between 1e-12 and 0.01, got 0.02"),
        ((1.0, 1.0), {"workers": 0}, ValueError, r"workers must be at least 1 \(or None for every processor\), got 0"),
        ((1.0, 1.0), {"workers": -3}, ValueError, r"workers must be at least 1 .*, got -3"),
        (([1.0, 2.0], [1.0, 2.0, 3.0]), {}, ValueError, r"shape mismatch: objects cannot be broadcast"),
    ], ids=lambda v: None)
    def test_message(self, args, kwargs, error, message):
        with pytest.raises(error, match=message):
            magnification(*args, **kwargs)

    @pytest.mark.parametrize("law, coefficients, message", [
        ("linear", (1.5,), "negative"),                       # I(0) = -0.5
        ("quadratic", (0.0, 1.2), "negative"),                # I(0) = -0.2
        ("power2", (1.2, 0.5), "negative"),                   # I(0) = -0.2
        ("linear", (float("nan"),), "."),
        (([0.0, 0.5, 1.0], [1.0, -0.1, 1.0]), (), "negative"),
        (([0.0, 1.0], [0.0, 0.0]), (), "no flux"),
    ], ids=["linear", "quadratic", "power2", "nan", "tabulated negative", "tabulated dark"])
    def test_profiles_refused_before_any_work(self, law, coefficients, message):
        # The model's own sentence, before a million values are computed.
        with pytest.raises(ValueError, match=message):
            magnification(np.zeros(10**6), 0.1, law, coefficients)

    def test_limits_of_rtol_accepted(self):
        for rtol in (1e-12, 1e-2):
            assert magnification(0.5, 0.1, rtol=rtol) > 1.0


class TestSpecialValues:
    @pytest.mark.parametrize("u, rho, expected", [
        (math.nan, 0.1, math.nan),
        (0.5, math.nan, math.nan),
        (-0.5, 0.1, math.nan),
        (0.5, -0.1, math.nan),
        (-0.0, 0.1, None),           # u = -0 is u = 0
        (0.5, 0.0, point_lens(0.5)),  # the point lens
        (0.0, 0.0, math.inf),
        (math.inf, 0.1, 1.0),
    ], ids=["nan u", "nan rho", "negative u", "negative rho", "minus zero", "point lens", "lens on the point", "inf u"])
    def test_value(self, u, rho, expected):
        for name in ("uniform", "quadratic", "tabulated"):
            law, coefficients = PROFILES[name]
            got = magnification(u, rho, law, coefficients)
            wanted = magnification(0.0, rho, law, coefficients) if expected is None else expected
            assert relative_error(got, wanted) <= 1e-15, name

    def test_uniform_source_over_the_lens(self):
        # sqrt(rho^2 + 4)/rho exactly for a uniform disk centred on the lens.
        for rho in (1e-6, 1e-2, 1.0, 1e4):
            assert relative_error(magnification(0.0, rho, rtol=1e-12), math.sqrt(rho * rho + 4.0) / rho) <= 1e-12


class TestThreads:
    def test_identical_bits_for_any_workers(self):
        rng = np.random.default_rng(5)
        rho = 10.0 ** rng.uniform(-4, 1, 1500)
        u = rho * rng.uniform(0, 4, 1500)
        for name in ("linear", "claret4", "tabulated"):
            law, coefficients = PROFILES[name]
            one = magnification(u, rho, law, coefficients, workers=1)
            one_gradient = gradient(u, rho, law, coefficients, workers=1)
            for workers in (None, 2, 3, 64):
                assert np.array_equal(magnification(u, rho, law, coefficients, workers=workers), one), workers
                other = gradient(u, rho, law, coefficients, workers=workers)
                assert all(np.array_equal(x, y) for x, y in zip(other, one_gradient)), workers

    def test_dask_blocks_give_the_bits_of_one_call(self):
        # The README's recipe: one call per block, on Dask's threads.
        da = pytest.importorskip("dask.array")
        rng = np.random.default_rng(6)
        rho = 10.0 ** rng.uniform(-4, 1, 1500)
        u = rho * rng.uniform(0, 4, 1500)
        law, coefficients = PROFILES["quadratic"]
        blocks = da.map_blocks(magnification, da.from_array(u, chunks=250), da.from_array(rho, chunks=250), law,
                               coefficients, dtype=np.float64, rtol=1e-8, workers=1)
        assert np.array_equal(blocks.compute(), magnification(u, rho, law, coefficients))

    def test_other_python_threads_run_during_a_long_call(self):
        # Size the call to last about 0.3 s, then count a Python thread's
        # steps while it runs (on one worker: the interpreter, not the pool).
        u = np.full(256, 0.05)
        start = time.perf_counter()
        magnification(u, 0.1, "linear", (0.6,), workers=1)
        per_value = (time.perf_counter() - start) / u.size
        u = np.full(int(min(3e6, max(256, 0.3 / per_value))), 0.05)
        steps = 0
        running = True

        def count():
            nonlocal steps
            while running:
                steps += 1

        counter = threading.Thread(target=count)
        counter.start()
        try:
            time.sleep(0.01)
            before = steps
            magnification(u, 0.1, "linear", (0.6,), workers=1)
            during = steps - before
        finally:
            running = False
            counter.join()
        assert during > 1000
