"""Independent high-precision truth for the limb-darkened magnification.

A source of radius ρ (Einstein radii) with a radial profile I(μ), t = r/ρ,
μ = √(1 − t²), lensed by a point lens at distance u from its centre, is
magnified by the profile-weighted mean of the ring means:

    A = ∫₀¹ I(t)·2t·Ā(t) dt / ∫₀¹ I(t)·2t dt,
    Ā(t) = (1/π)∫₀^π A₀(d(φ)) dφ,   A₀(d) = (d² + 2)/(d·√(d² + 4)),
    d² = ρ²·[(z − t)² + 4zt·sin²(φ/2)],  z = u/ρ,

the squared distance written so that nothing cancels when the ring passes
near the lens.  Both integrals run with mpmath's tanh-sinh rule (Takahasi &
Mori 1974): the angular one over [0, π] (its only peak sits at the endpoint
φ = 0, where the ring is nearest the lens), the radial one split at t = z
(where the ring crosses the lens and Ā has a logarithmic singularity) and at
the kinks of a tabulated profile.  Nothing here is shared with the module's
methods (stacked disks, series, expansions): it is the truth they are held to.

Laws (coefficients as published; μ = cos of the angle to the line of sight):
    uniform      ()          I = 1
    linear       (a)         I = 1 − a(1 − μ)
    quadratic    (a, b)      I = 1 − a(1 − μ) − b(1 − μ)²
    square_root  (c, d)      I = 1 − c(1 − μ) − d(1 − √μ)
    logarithmic  (c, d)      I = 1 − c(1 − μ) − d·μ·ln μ
    power2       (c, α)      I = 1 − c(1 − μ^α)
    claret4      (a1 … a4)   I = 1 − Σₖ aₖ(1 − μ^(k/2))
    (mu, intensity)          linear in μ between the given points, constant
                             beyond the smallest and the largest μ
ρ = 0 is the point lens A₀(u) (+∞ at u = 0).
"""

import functools
import math
from collections.abc import Sequence

import mpmath as mp

LAWS = {
    "uniform": 0,
    "linear": 1,
    "quadratic": 2,
    "square_root": 2,
    "logarithmic": 2,
    "power2": 2,
    "claret4": 4,
}


def relative_error(value, truth):
    """|value − truth|/|truth|; 0 for equal values (infinities too) or two NaNs."""
    if value == truth or (math.isnan(value) and math.isnan(truth)):
        return 0.0
    return abs(value - truth) / abs(truth)


def _intensity(law, coefficients):
    """I(μ) at working precision, and the radii t in (0, 1) where it has kinks."""
    c = [mp.mpf(x) for x in coefficients]
    if law == "uniform":
        return (lambda mu: mp.mpf(1)), []
    if law == "linear":
        return (lambda mu: 1 - c[0] * (1 - mu)), []
    if law == "quadratic":
        return (lambda mu: 1 - c[0] * (1 - mu) - c[1] * (1 - mu) ** 2), []
    if law == "square_root":
        return (lambda mu: 1 - c[0] * (1 - mu) - c[1] * (1 - mp.sqrt(mu))), []
    if law == "logarithmic":
        return (lambda mu: 1 - c[0] * (1 - mu) - (c[1] * mu * mp.log(mu) if mu > 0 else 0)), []
    if law == "power2":
        return (lambda mu: 1 - c[0] * (1 - mu ** c[1])), []
    if law == "claret4":
        return (lambda mu: 1 - sum(c[k] * (1 - mu ** (mp.mpf(k + 1) / 2)) for k in range(4))), []
    raise ValueError(f"unknown law {law!r}")


def _tabulated(mu_values, intensities):
    """The piecewise-linear profile through (μᵢ, Iᵢ), constant beyond the ends."""
    points = sorted(zip((mp.mpf(m) for m in mu_values), (mp.mpf(i) for i in intensities)))
    if len(points) < 2 or len({p[0] for p in points}) != len(points):
        raise ValueError("a tabulated profile needs at least two distinct μ")

    def intensity(mu):
        if mu <= points[0][0]:
            return points[0][1]
        if mu >= points[-1][0]:
            return points[-1][1]
        for (m0, i0), (m1, i1) in zip(points, points[1:]):
            if mu <= m1:
                return i0 + (i1 - i0) * (mu - m0) / (m1 - m0)
        return points[-1][1]

    kinks = [mp.sqrt(1 - m * m) for m, _ in points if 0 < m < 1]
    return intensity, kinks


def _point_lens(d):
    return (d * d + 2) / (d * mp.sqrt(d * d + 4))


def _ring_mean(z, t, rho):
    """Ā(t): the mean of A₀ over the ring of radius ρt about the source centre."""
    if z == 0 or t == 0:
        return _point_lens(rho * (z + t))
    zt4 = 4 * z * t
    dz2 = (z - t) ** 2
    f = lambda phi: _point_lens(rho * mp.sqrt(dz2 + zt4 * mp.sin(phi / 2) ** 2))
    return mp.quad(f, [0, mp.pi]) / mp.pi


@functools.lru_cache(maxsize=4096)
def _cached(u, rho, law, coefficients, digits):
    with mp.workdps(digits):
        if isinstance(law, tuple):
            intensity, kinks = _tabulated(*law)
        else:
            intensity, kinks = _intensity(law, coefficients)
        u = mp.mpf(u)
        rho = mp.mpf(rho)
        if rho == 0:
            return float(_point_lens(u)) if u > 0 else math.inf
        z = u / rho
        weight = lambda t: intensity(mp.sqrt(1 - t * t)) * 2 * t
        points = sorted({mp.mpf(0), mp.mpf(1), *kinks} | ({z} if 0 < z < 1 else set()))
        flux = mp.quad(weight, points)
        if not flux > 0:
            raise ValueError("the profile has no flux")
        magnified = mp.quad(lambda t: weight(t) * _ring_mean(z, t, rho), points)
        return float(magnified / flux)


def magnification(u: float, rho: float, law: str | tuple[Sequence[float], Sequence[float]] = "uniform",
                  coefficients: Sequence[float] = (), *, digits: int = 30) -> float:
    """A(u, ρ) for a source with the given law (a name and its coefficients, or
    a tabulated (mu, intensity) pair), to about `digits` significant digits
    (a float carries at most 17).  u < 0, ρ < 0 or NaN give NaN."""
    u = float(u)
    rho = float(rho)
    if math.isnan(u) or math.isnan(rho) or u < 0 or rho < 0:
        return math.nan
    if isinstance(law, str):
        if law not in LAWS:
            raise ValueError(f"unknown law {law!r}")
        coefficients = tuple(float(c) for c in coefficients)
        if len(coefficients) != LAWS[law]:
            raise ValueError(f"the {law} law takes {LAWS[law]} coefficients, not {len(coefficients)}")
    else:
        mu_values, intensities = law
        law = (tuple(float(m) for m in mu_values), tuple(float(i) for i in intensities))
        if len(law[0]) != len(law[1]):
            raise ValueError("mu and intensity differ in length")
        coefficients = ()
    return _cached(u, rho, law, coefficients, int(digits))
