"""Limb-darkened magnification: integrated_witt_mao_magnification and
integrated_heyrovsky_magnification, both for I = 0.4 + 0.6·μ.

Truth: the brightness-weighted mean of the point-lens magnification over the
disk, integrated by mpmath at 30 digits in polar coordinates around the lens
(where A(d)·d is smooth; the angular integral of μ over the circle of radius d
is an elliptic integral, evaluated by mpmath), and worked values for
re = rstar = 1.  Tolerances are the measured errors
(benchmarks/accuracy_limb_darkening.py) with a margin.
"""

import math

import mpmath as mp
import pytest

import lumora
from reference import limb_darkened as limb_darkened_mean, relative_error

NAN = math.nan


CASES = [
    # l, rho, tolerance of integrated_witt_mao, tolerance of integrated_heyrovsky
    (0.25, 1.0, 2e-6, 5e-11),
    (0.5, 1.0, 1e-5, 5e-11),
    (0.9, 0.1, 2e-5, 5e-11),
    (0.99, 1e-3, 5e-5, 5e-11),  # 1.5e-3 with the 1e-5 limb-window floor
    (1.0, 1.0, 2e-4, 5e-11),
    (1.01, 0.01, 1e-11, 1e-13),
    (1.1, 1.0, 1e-13, 1e-13),
    (2.0, 1.0, 1e-13, 1e-13),
    (3.0, 1e-3, 1e-13, 1e-13),
]
IDS = [f"l{l}-rho{rho}" for l, rho, _, _ in CASES]


class TestIntegratedWittMaoMagnification:
    def test_worked_values(self):
        got = lumora.integrated_witt_mao_magnification([2.0, 10.0], 1.0, 1.0)
        assert relative_error(got[0], 1.074914) < 5e-7
        assert relative_error(got[1], 1.000196) < 5e-7

    # Inside the source the single interval straddles the kink where the disk
    # edge ρ·s crosses the lens, so only a few digits survive there.
    @pytest.mark.parametrize("l, rho, tolerance, _", CASES, ids=IDS)
    def test_against_independent_mean(self, l, rho, tolerance, _):
        got = lumora.integrated_witt_mao_magnification([l], 1.0, rho)[0]
        assert relative_error(got, limb_darkened_mean(l * rho, rho)) < tolerance

    def test_nan_entry_keeps_its_place(self):
        got = lumora.integrated_witt_mao_magnification([NAN, 2.0, NAN], 1.0, 1.0)
        assert len(got) == 3
        assert math.isnan(got[0]) and math.isnan(got[2])
        assert got[1] == lumora.integrated_witt_mao_magnification([2.0], 1.0, 1.0)[0]


class TestIntegratedHeyrovskyMagnification:
    # The profile integral of ring magnifications, split at the ring through
    # the lens: the limb-darkened mean, not the limb ring's magnification
    # (1.091230 at l = 2 and 1.4840 at l = 0.5 would be the latter).
    @pytest.mark.parametrize(
        "l, expected",
        [(2.0, 1.07491394112390), (10.0, 1.00019562937639), (0.5, 2.22709312342)],
        ids=["l2", "l10", "l0.5"],
    )
    def test_worked_values(self, l, expected):
        digits = len(repr(expected).split(".")[1])
        assert abs(lumora.integrated_heyrovsky_magnification([l], 1.0, 1.0)[0] - expected) < 10.0 ** -digits

    @pytest.mark.parametrize("l, rho, _, tolerance", CASES, ids=IDS)
    def test_against_independent_mean(self, l, rho, _, tolerance):
        got = lumora.integrated_heyrovsky_magnification([l], 1.0, rho)[0]
        assert relative_error(got, limb_darkened_mean(l * rho, rho)) < tolerance

    # A lens on or near the centre of the star (a transit through it): the
    # rings around the lens are exact point-lens rings at l = 0 and the
    # near-ring band shrinks with l.  Measured ≤ 1.6e-13; the fixed band used
    # to give 2.1e11 at l = 1e-12, 1.1e5 at 1e-9, +2.1% at 1e-7 (ρ = 0.01).
    @pytest.mark.parametrize("rho", [0.01, 1.0])
    @pytest.mark.parametrize("l", [0.0, 1e-12, 1e-9, 1e-7, 1e-5, 1e-3])
    def test_lens_near_the_centre(self, l, rho):
        got = lumora.integrated_heyrovsky_magnification([l], 1.0, rho)[0]
        assert relative_error(got, limb_darkened_mean(l * rho, rho)) < 1e-11

    @pytest.mark.parametrize("l", [1.2, 1.5, 2.0, 5.0])
    def test_agrees_with_the_uniform_disk_construction_outside_the_source(self, l):
        heyrovsky = lumora.integrated_heyrovsky_magnification([l], 2.0, 1.0)[0]
        witt_mao = lumora.integrated_witt_mao_magnification([l], 2.0, 1.0)[0]
        assert relative_error(heyrovsky, witt_mao) < 1e-12



def _with_table(function):
    """A flux-map function fed the built-in law as a 50-radius table."""
    radii = [i / 49 for i in range(50)]
    brightness = [0.4 + 0.6 * math.sqrt(max(0.0, 1 - r * r)) for r in radii]
    return lambda l, re, rstar: function(l, re, rstar, radii, brightness)


ALL_INTEGRATED = [
    lumora.integrated_witt_mao_magnification,
    lumora.integrated_heyrovsky_magnification,
    _with_table(lumora.integrated_flux_map_witt_mao_magnification),
    _with_table(lumora.integrated_flux_map_heyrovsky_magnification),
]
ALL_INTEGRATED_IDS = ["witt_mao", "heyrovsky", "flux_map_witt_mao", "flux_map_heyrovsky"]


class TestBothLimbDarkenedFunctions:
    FUNCTIONS = [lumora.integrated_witt_mao_magnification, lumora.integrated_heyrovsky_magnification]
    NAMES = ["witt_mao", "heyrovsky"]

    @pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
    def test_far_from_the_star_tends_to_one(self, function):
        got = function([10.0, 100.0, 1000.0], 1.0, 1.0)
        assert 0.0 < got[0] - 1.0 < 1e-3
        assert 0.0 < got[1] - 1.0 < 1e-6
        assert abs(got[2] - 1.0) < 1e-10  # 1 + 2e-12; the closed form leaves 2e-11 at u/ρ = 1000

    # A separation outside the model is a failure, never a number: every
    # ring of a NaN or negative l fails (the integral of what remained used
    # to come back as 0.0), and a NaN radius poisons every separation.
    @pytest.mark.parametrize(
        "l, re, rstar, nan_at",
        [
            ([NAN, 2.0], 1.0, 1.0, [True, False]),
            ([-0.5, 0.5], 1.0, 1.0, [True, False]),
            ([0.5, 2.0], NAN, 1.0, [True, True]),
            ([0.5, 2.0], 1.0, NAN, [True, True]),
        ],
        ids=["nan-l", "negative-l", "nan-re", "nan-rstar"],
    )
    @pytest.mark.parametrize("function", ALL_INTEGRATED, ids=ALL_INTEGRATED_IDS)
    def test_nan_in_nan_out(self, function, l, re, rstar, nan_at):
        got = function(l, re, rstar)
        assert [math.isnan(x) for x in got] == nan_at
        assert all(x > 1.0 for x in got if not math.isnan(x))

    @pytest.mark.parametrize("function", FUNCTIONS, ids=NAMES)
    def test_one_result_per_entry_in_order(self, function):
        l = [3.0, 1.5, 0.5, 2.0]
        got = function(l, 1.0, 0.1)
        assert got == [function([x], 1.0, 0.1)[0] for x in l]
        assert function([], 1.0, 1.0) == []
