"""Magnification of a limb-darkened source by a point lens, for any law, to a
stated relative tolerance: NumPy in, NumPy out, on every core.

Units and conventions
    u is the lens-source separation and rho the source radius, both in
    Einstein radii (the field's convention).  lumora's functions take the
    separation in source radii instead: lumora's l is u/rho, with re = 1 and
    rstar = rho, so that
        lumora_ld.magnification(u, rho)
    and lumora.witt_mao_magnification(u / rho, 1.0, rho) describe the same
    uniform source.  z = u/rho < 1 puts the lens over the disk, z = 1 on its
    limb.  Results are magnifications (1 is no magnification).

Laws (mu = cos of the angle between the line of sight and the normal to the
stellar surface; coefficients in the order given, as usually published):
    "uniform"      ()              I = 1
    "linear"       (a,)            I = 1 - a(1 - mu)
    "quadratic"    (a, b)          I = 1 - a(1 - mu) - b(1 - mu)**2
    "square_root"  (c, d)          I = 1 - c(1 - mu) - d(1 - sqrt(mu))
    "logarithmic"  (c, d)          I = 1 - c(1 - mu) - d mu ln(mu)
    "power2"       (c, alpha)      I = 1 - c(1 - mu**alpha)
    "claret4"      (a1, a2, a3, a4)  I = 1 - sum_k a_k (1 - mu**(k/2))
The overall scale of I does not matter.  The linear law's Gamma convention
(I proportional to 1 - Gamma(1 - 3 mu/2), flux-normalised, as in many
microlensing papers) converts as a = 3 Gamma/(2 + Gamma), Gamma = 2a/(3 - a).

Tabulated profiles
    law=(mu, intensity), two 1-D array_likes of equal length (as model
    atmospheres publish them), coefficients empty.  The mu need not be
    sorted; I is read as linear in mu between them and constant beyond the
    smallest and the largest mu.

Accuracy
    Every value is within rtol relative of the exact magnification of the
    profile (rtol from 1e-12 to 1e-2, default 1e-8), for rho from 1e-6 to
    1e4 and u from 0 to 1e8 rho, with the lens anywhere, the limb included;
    the worst cases measured on the test grid are in docs/lumora_ld.md.

Special values
    rho = 0 is the point lens (u = 0 then gives inf); NaN in u or rho gives
    NaN; u < 0 or rho < 0 gives NaN.

Gradient
    magnification_and_gradient returns (A, dA/du, dA/drho, dA/dcoefficients):
    A exactly as magnification gives it (the same bits), and the exact
    derivatives of the same method (the disk's slopes in closed form, the
    series term by term, the coefficients through the profile's linearity),
    each within 1e-6 relative at rtol=1e-8 on the test points (worst cases
    in docs/lumora_ld.md).  dA/dcoefficients has one row per coefficient,
    in the order given (shape (len(coefficients),) + the broadcast shape;
    (0,) + shape for "uniform" and tabulated profiles).  power2's alpha row
    is dA/dalpha.  With the lens exactly on the limb (u == rho) of a source
    whose limb is not dark, dA/du = -inf and dA/drho = +inf (A has a
    (z - 1) ln|z - 1| term there); the coefficient rows stay finite.
    rho = 0: dA/du of the point lens, dA/drho = 0, coefficient rows 0.
    power2 with alpha = 0 and c != 0 gives NaN for dA/dalpha (dI/dalpha =
    c ln mu is infinite at the limb).

Threads
    The interpreter lock is released while computing.  More than 256 values
    run on the process-wide worker pool (one thread per online processor,
    or RAYON_NUM_THREADS when the pool starts), in chunks of 256 on at most
    `workers` threads; fewer run on the calling thread and wake nothing.
    The bits are the same for every `workers`.
"""

from typing import Literal, TypeAlias, overload

import numpy as np
import numpy.typing as npt

__all__ = ["magnification", "magnification_and_gradient"]

_LawName: TypeAlias = Literal["uniform", "linear", "quadratic", "square_root", "logarithmic", "power2", "claret4"]
# A law name, or a tabulated profile (mu, intensity).
_Law: TypeAlias = _LawName | str | tuple[npt.ArrayLike, npt.ArrayLike]
_Scalar: TypeAlias = float | int | np.floating | np.integer

# Scalars give a NumPy scalar, anything else an array: the first signature
# is the narrower one and wins (as in NumPy's own stubs).
@overload
def magnification(  # type: ignore[overload-overlap]
    u: _Scalar,
    rho: _Scalar,
    law: _Law = "uniform",
    coefficients: npt.ArrayLike = (),
    *,
    rtol: float = 1e-8,
    out: None = None,
    workers: int | None = None,
) -> np.float64:
    """Magnification of a limb-darkened source of radius rho at separation u.

    u, rho: array_like, broadcast together by NumPy's rules (Einstein radii).
    law, coefficients: a law name and its coefficients, or law=(mu, intensity)
        with coefficients empty (see the module's documentation).
    rtol: every value within rtol relative of the truth, 1e-12 <= rtol <= 1e-2.
    out: a float64 array of the broadcast shape, written and returned.
    workers: the most threads to use; None for every thread of the pool.

    Returns float64 of the broadcast shape (a NumPy float64 for scalars).
    Raises ValueError naming the problem before any work: an unknown law, a
    wrong number of coefficients, a profile that is negative somewhere on
    the disk or has no flux, rtol out of range (or NaN), workers < 1, shapes
    that do not broadcast, an `out` of another shape or read-only.
    Raises TypeError for non-numeric u, rho or coefficients, a law that is
    neither a name nor a pair, an `out` that is not a float64 ndarray.
    """

@overload
def magnification(
    u: npt.ArrayLike,
    rho: npt.ArrayLike,
    law: _Law = "uniform",
    coefficients: npt.ArrayLike = (),
    *,
    rtol: float = 1e-8,
    out: npt.NDArray[np.float64] | None = None,
    workers: int | None = None,
) -> npt.NDArray[np.float64]:
    """Magnification for array_like u and rho: float64 of their broadcast
    shape (or `out`).  See the first signature for the arguments."""

# The gradient: A, dA/du, dA/drho as for magnification (NumPy scalars for
# scalar inputs), and dA/dcoefficients always an array.
@overload
def magnification_and_gradient(  # type: ignore[overload-overlap]
    u: _Scalar,
    rho: _Scalar,
    law: _Law = "uniform",
    coefficients: npt.ArrayLike = (),
    *,
    rtol: float = 1e-8,
    workers: int | None = None,
) -> tuple[np.float64, np.float64, np.float64, npt.NDArray[np.float64]]:
    """The magnification and its derivatives: (A, dA/du, dA/drho,
    dA/dcoefficients), A the same bits as magnification(u, rho, law,
    coefficients, rtol=rtol).

    dA/dcoefficients has shape (len(coefficients),) + the broadcast shape,
    one row per coefficient in the order given (power2: c, then alpha).
    The same arguments, conventions, errors and threads as magnification
    (no out=).  u == rho (the lens on the limb) with a limb that is not
    dark gives dA/du = -inf and dA/drho = +inf.
    """

@overload
def magnification_and_gradient(
    u: npt.ArrayLike,
    rho: npt.ArrayLike,
    law: _Law = "uniform",
    coefficients: npt.ArrayLike = (),
    *,
    rtol: float = 1e-8,
    workers: int | None = None,
) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The gradient for array_like u and rho: three float64 arrays of the
    broadcast shape and one of (len(coefficients),) + that shape.  See the
    first signature."""
