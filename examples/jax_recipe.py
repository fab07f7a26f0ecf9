"""lumora_ld inside JAX: a differentiable magnification for jit, vmap and grad.

ld_magnification(law, rtol) returns a JAX function (u, rho, coefficients) -> A
for one limb-darkening law.  Its value comes from lumora_ld.magnification;
its derivatives from a jax.custom_jvp rule whose primal and tangents come from
ONE host call to lumora_ld.magnification_and_gradient (A, dA/du, dA/drho,
dA/dcoefficients), through jax.pure_callback.  So a JAX model -- a chi-square
under jax.grad, a NUTS sampler -- gets lumora_ld's exact gradient instead of
finite differences.  JAX must run in float64 (jax_enable_x64): lumora_ld
computes in float64 and a float32 tangent would throw its accuracy away.

Under vmap the callback receives every argument with the batch axes in front
("broadcast_all"): one host call covers the whole batch when every member
has the same coefficients (a light curve, a batch of epochs), and one call
per member otherwise (a batch of parameter vectors, such as parallel chains).

Run as a script, it fits nothing: it evaluates jax.grad of a light curve's
chi-square under jit, compares it with the same gradient assembled on the
host, and times both.

    python3 examples/jax_recipe.py [--quick]
"""

# ---- the recipe (docs/lumora_ld.md shows this part verbatim) ----
import math
from collections.abc import Callable
from typing import Any

import jax
import jax.numpy as jnp
import numpy as np

import lumora_ld

jax.config.update("jax_enable_x64", True)  # lumora_ld computes in float64


def _on_host(evaluate: Callable[..., Any]) -> Callable[..., tuple[np.ndarray, ...]]:
    """Wraps evaluate(u, rho, coefficients) -> (A, ...) for jax.pure_callback:
    u and rho have the shape batch + S, coefficients batch + (k,); results have
    the shape batch + S, with the coefficient axis of dA/dcoefficients last."""

    def call(u: np.ndarray, rho: np.ndarray, coefficients: np.ndarray) -> tuple[np.ndarray, ...]:
        batch, k = coefficients.shape[:-1], coefficients.shape[-1]
        rows = coefficients.reshape(math.prod(batch), k)
        if len(rows) == 0 or (rows == rows[0]).all():  # one law for all: one call
            row = rows[0] if len(rows) else np.zeros(k)
            results = [np.asarray(r, np.float64) for r in evaluate(u, rho, row)]
            if len(results) == 4:  # dA/dcoefficients: (k,) + shape becomes shape + (k,)
                results[3] = np.moveaxis(results[3], 0, -1)
            return tuple(results)
        member = (len(rows),) + u.shape[len(batch):]  # one call per batch member
        parts = [call(x, y, row) for x, y, row in zip(u.reshape(member), rho.reshape(member), rows)]
        return tuple(np.stack(p).reshape(batch + p[0].shape) for p in zip(*parts))

    return call


def ld_magnification(law: str = "uniform", rtol: float = 1e-8) -> Callable[..., jax.Array]:
    """A JAX function (u, rho, coefficients) -> A of `law` (lumora_ld's names),
    u and rho broadcast together, coefficients a 1-d sequence (() if none)."""
    value_on_host = _on_host(lambda u, rho, c: (lumora_ld.magnification(u, rho, law, c, rtol=rtol),))
    gradient_on_host = _on_host(
        lambda u, rho, c: lumora_ld.magnification_and_gradient(u, rho, law, c, rtol=rtol))

    def host_call(on_host: Callable[..., Any], outputs: int, u: Any, rho: Any, c: Any) -> Any:
        u, rho = jnp.broadcast_arrays(jnp.asarray(u, jnp.float64), jnp.asarray(rho, jnp.float64))
        c = jnp.asarray(c, jnp.float64).reshape(-1)
        like = jax.ShapeDtypeStruct(u.shape, jnp.float64)
        shapes = (like, like, like, jax.ShapeDtypeStruct(u.shape + c.shape, jnp.float64))[:outputs]
        return jax.pure_callback(on_host, shapes, u, rho, c, vmap_method="broadcast_all")

    def value(u: Any, rho: Any, coefficients: Any) -> Any:
        return host_call(value_on_host, 1, u, rho, coefficients)[0]

    def value_and_tangent(primals: Any, tangents: Any) -> tuple[Any, Any]:
        u, rho, c = primals
        du, drho, dc = tangents
        a, a_u, a_rho, a_c = host_call(gradient_on_host, 4, u, rho, c)
        return a, a_u * du + a_rho * drho + a_c @ jnp.asarray(dc, jnp.float64).reshape(-1)

    magnification: Callable[..., jax.Array] = jax.custom_jvp(value)
    magnification.defjvp(value_and_tangent)  # type: ignore[attr-defined]
    return magnification
# ---- end of the recipe ----


def chi_square(magnification: Callable[..., jax.Array], theta: jax.Array, coefficients: jax.typing.ArrayLike,
               times: jax.typing.ArrayLike, flux: jax.typing.ArrayLike, sigma: jax.typing.ArrayLike) -> jax.Array:
    """Light-curve chi-square, theta = (t0, u0, tE, rho, Fs, Fb)."""
    u = jnp.hypot(theta[1], (times - theta[0]) / theta[2])
    model = theta[4] * magnification(u, theta[3], coefficients) + theta[5]
    return jnp.sum(((model - flux) / sigma) ** 2)


def host_gradient(law: str, theta: np.ndarray, coefficients: tuple[float, ...], times: np.ndarray,
                  flux: np.ndarray, sigma: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The chi-square's gradient in (theta, coefficients) assembled with NumPy
    from one host call (chain rule through u), and each component's rounding
    scale: the sum of its terms' magnitudes before they cancel."""
    t0, u0, te, rho, fs, fb = theta
    tau = (times - t0) / te
    u = np.hypot(u0, tau)
    a, a_u, a_rho, a_c = lumora_ld.magnification_and_gradient(u, rho, law, coefficients)
    slope = fs * a_u / u
    columns = [slope * -tau / te, slope * u0, slope * -tau * tau / te, fs * a_rho, a, np.ones_like(a), *(fs * a_c)]
    weight = 2.0 * (fs * a + fb - flux) / sigma**2
    size = 2.0 * (np.abs(fs * a) + abs(fb) + np.abs(flux)) / sigma**2
    return (np.array([np.sum(weight * c) for c in columns]),
            np.array([np.sum(size * np.abs(c)) for c in columns]))


def main() -> None:
    import argparse
    import time

    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a short light curve (a test run)")
    args = parser.parse_args()

    # A crossing, u0 = 0.004 < rho = 0.01, linear law a = 0.55; the gradient
    # is taken off the truth, where no component is near zero.
    law, truth, coefficients = "linear", np.array([0.0, 0.004, 20.0, 0.01, 1.0, 0.3]), (0.55,)
    times = np.linspace(-3.0, 3.0, 601 if args.quick else 8641)
    model = truth[4] * lumora_ld.magnification(np.hypot(truth[1], times / truth[2]), truth[3], law,
                                               coefficients) + truth[5]
    sigma = 0.01 * np.sqrt(model)
    flux = model + sigma * np.random.default_rng(1).standard_normal(len(times))
    theta = truth * np.array([1.0, 1.02, 0.99, 1.01, 1.0, 1.0]) + np.array([1e-3, 0, 0, 0, 0, 0])
    c = (0.97 * coefficients[0],)

    magnification = ld_magnification(law)
    gradient = jax.grad(lambda p, c: chi_square(magnification, p, c, times, flux, sigma), argnums=(0, 1))
    jitted = jax.jit(gradient)
    jitted(theta, jnp.asarray(c))  # compiles
    start = time.perf_counter()
    ours = np.concatenate([np.asarray(g) for g in jitted(theta, jnp.asarray(c))])
    jax_seconds = time.perf_counter() - start
    start = time.perf_counter()
    host, scale = host_gradient(law, theta, c, times, flux, sigma)
    host_seconds = time.perf_counter() - start
    worst = float(np.max(np.abs(ours - host) / scale))
    print(f"jax.jit(jax.grad(chi_square)) on {len(times)} epochs: {1e3 * jax_seconds:.2f} ms; the same "
          f"gradient on the host {1e3 * host_seconds:.2f} ms; largest difference {worst:.1e} of the terms' sum")
    batch = jax.vmap(gradient)(jnp.stack([jnp.asarray(truth), jnp.asarray(theta)]),
                               jnp.asarray([coefficients, c]))  # two members, two host calls
    spread = float(np.max(np.abs(np.concatenate([np.asarray(g[1]) for g in batch]) - ours) / scale))
    print(f"jax.vmap over two parameter vectors: the second differs from the single call by {spread:.1e}")
    if not (worst < 1e-12 and spread < 1e-12):
        raise SystemExit("jax.grad and the host gradient disagree")


if __name__ == "__main__":
    main()
