"""kelvora_fspl inside JAX: jit, grad, vmap, jacfwd and jacrev of exact
finite-source magnifications, for gradient-based samplers (NUTS in numpyro,
BlackJAX).

``magnification`` and ``light_curve`` are JAX functions of traced arguments
(coefficients included).  Their values come from kelvora_fspl's compiled
core through ``jax.pure_callback``; their derivatives from the core's exact
partials (``magnification_and_gradient``) through a custom JVP rule, never
from JAX differentiating a callback.  The rule is linear in the tangents, so
reverse mode (``grad``, ``jacrev``) transposes it.  First derivatives only:
a second derivative would differentiate the callback of the partials.

``event_chi2(event)`` is an Event's chi2 as a JAX function of its traced
parameters, each dataset's source and blend flux solved linearly inside
(weighted least squares in closed form, differentiated by JAX exactly).

Everything is float64: with ``jax_enable_x64`` off a RuntimeError says how
to turn it on.  Installed with the extra ``jax`` (pip install
'kelvora[jax]'); ``import kelvora_fspl`` never imports jax.
"""

from __future__ import annotations

import functools
from collections.abc import Callable, Mapping, Sequence
from typing import Any

try:
    import jax
    import jax.numpy as jnp
except ImportError:  # pragma: no cover - exercised where jax is absent
    raise ImportError("kelvora_fspl.jax needs JAX: pip install 'kelvora[jax]' (or jax)") from None

import numpy as np

from kelvora_fspl import _core
from kelvora_fspl.event import Event
from kelvora_fspl.lightcurve import coefficient_names
from kelvora_fspl.parallax import annual_offsets

__all__ = ["event_chi2", "light_curve", "magnification"]


def _require_x64() -> None:
    if not jax.config.read("jax_enable_x64"):  # type: ignore[no-untyped-call, unused-ignore]
        raise RuntimeError("kelvora_fspl.jax computes in float64, and jax_enable_x64 is off: call "
                           "jax.config.update('jax_enable_x64', True) at start-up (or set JAX_ENABLE_X64=1)")


def _as_float64(x: Any, name: str) -> Any:
    x = jnp.asarray(x)
    if not (jnp.issubdtype(x.dtype, jnp.floating) or jnp.issubdtype(x.dtype, jnp.integer)):
        raise TypeError(f"{name} must be real, got dtype {x.dtype}")
    return x.astype(jnp.float64)


def _result_shape(law: str, u: Any, rho: Any, coefficients: Sequence[Any]) -> tuple[int, ...]:
    shapes = [np.shape(u), np.shape(rho)]
    if law != "tabulated":
        shapes += [np.shape(c) for c in coefficients]
    return tuple(np.broadcast_shapes(*shapes))


def _aligned(law: str, ranks: tuple[int, ...], rank: int, args: tuple[Any, ...]) -> list[Any]:
    """The callback's arguments, each with its leading batch axes (vmap's
    expand_dims: every argument gets the same number, of size 1 where it is
    not batched) followed by ones up to the result's rank, so that numpy
    broadcasts them as the unbatched arguments broadcast.  A table's arrays
    are not broadcast against u (they are the profile): they come unbatched
    (the table's functions are vmapped one entry at a time)."""
    out = []
    for k, (x, r) in enumerate(zip(args, ranks)):
        x = np.asarray(x, dtype=np.float64)
        if law == "tabulated" and k >= 2:
            out.append(x)
            continue
        lead = x.ndim - r
        out.append(x.reshape(x.shape[:lead] + (1,) * (rank - r) + x.shape[lead:]))
    return out


def _host_value(law: str, tolerance: float, ranks: tuple[int, ...], rank: int, *args: Any) -> Any:
    u, rho, *coefficients = _aligned(law, ranks, rank, args)
    return np.asarray(_core.magnification(u, rho, law, tuple(coefficients), tolerance=tolerance), dtype=np.float64)


def _host_partials(law: str, tolerance: float, ranks: tuple[int, ...], rank: int, *args: Any) -> tuple[Any, ...]:
    u, rho, *coefficients = _aligned(law, ranks, rank, args)
    out = _core.magnification_and_gradient(u, rho, law, tuple(coefficients), coefficients_gradient=law != "uniform",
                                           tolerance=tolerance)
    return tuple(np.asarray(x, dtype=np.float64) for x in out)


def _shape_dtype(shape: tuple[int, ...]) -> Any:
    return jax.ShapeDtypeStruct(shape, jnp.float64)  # type: ignore[no-untyped-call, unused-ignore]


def _callback_of(law: str, tolerance: float, host: Any, args: tuple[Any, ...], outputs: Any) -> Any:
    shape_rank = len(_result_shape(law, args[0], args[1], args[2:]))
    ranks = tuple(np.ndim(x) for x in args)
    return jax.pure_callback(functools.partial(host, law, tolerance, ranks, shape_rank), outputs, *args,
                             vmap_method="sequential" if law == "tabulated" else "expand_dims")


@functools.partial(jax.custom_jvp, nondiff_argnums=(0, 1))
def _magnification(law: str, tolerance: float, u: Any, rho: Any, *coefficients: Any) -> Any:
    shape = _result_shape(law, u, rho, coefficients)
    return _callback_of(law, tolerance, _host_value, (u, rho, *coefficients), _shape_dtype(shape))


@_magnification.defjvp
def _magnification_jvp(law: str, tolerance: float, primals: tuple[Any, ...], tangents: tuple[Any, ...]) -> Any:
    u, rho, *coefficients = primals
    du, drho, *dcoefficients = tangents
    shape = _result_shape(law, u, rho, coefficients)
    if law == "uniform":
        count = 0
    elif law == "tabulated":
        count = int(np.shape(coefficients[1])[-1])
    else:
        count = len(coefficients)
    outputs = tuple(_shape_dtype(shape) for _ in range(3 + count))
    a, a_u, a_rho, *a_c = _callback_of(law, tolerance, _host_partials, (u, rho, *coefficients), outputs)
    tangent = a_u * du + a_rho * drho
    if law == "tabulated":
        # d/d intensity_j; the nodes are held fixed (no derivative in them).
        intensities = dcoefficients[1]
        for j, part in enumerate(a_c):
            tangent = tangent + part * intensities[..., j]
    else:
        for part, dc in zip(a_c, dcoefficients):
            tangent = tangent + part * dc
    return a, tangent


def magnification(u: Any, rho: Any, law: str = "uniform", coefficients: Sequence[Any] = (), *,
                  tolerance: float = _core.DEFAULT_TOLERANCE) -> Any:
    """kelvora_fspl.magnification as a JAX function: u, rho and the
    coefficients may be traced (a table's nodes are held fixed: no
    derivative in them); law and tolerance are static.  Values and
    derivatives are the compiled core's, bit for bit."""
    _require_x64()
    if not isinstance(law, str):
        raise TypeError(f"law must be a str, not {type(law).__name__}")
    coefficients = tuple(_as_float64(c, "coefficients") for c in coefficients)
    return _magnification(law, float(tolerance), _as_float64(u, "u"), _as_float64(rho, "rho"), *coefficients)


def _point_source(u: Any) -> Any:
    u2 = u * u
    return (u2 + 2.0) / (u * jnp.sqrt(u2 + 4.0))


def light_curve(t: Any, t0: Any, u0: Any, tE: Any, rho: Any, law: str = "uniform",
                coefficients: Sequence[Any] = (), *, tolerance: float = _core.DEFAULT_TOLERANCE,
                pi_EN: Any = 0.0, pi_EE: Any = 0.0, coordinates: Any = None, t0_par: float | None = None,
                sky_offsets: tuple[Any, Any] | None = None) -> Any:
    """kelvora_fspl.light_curve as a JAX function of traced t0, u0, tE, rho,
    the coefficients and the parallax (pi_EN, pi_EE).  The times are data:
    with ``coordinates`` they must be concrete (the Earth's offsets are
    computed from them once, with numpy and pyerfa; t0_par is required then),
    or pass ``sky_offsets`` computed beforehand.  rho=None: a point source."""
    _require_x64()
    tau = (_as_float64(t, "t") - t0) / tE
    beta = jnp.asarray(u0, dtype=jnp.float64)
    if coordinates is not None or sky_offsets is not None:
        if sky_offsets is None:
            if t0_par is None:
                raise ValueError("t0_par must be given with coordinates (it is held fixed, not traced)")
            sky_offsets = annual_offsets(np.asarray(t), coordinates, float(t0_par))
        north, east = (jnp.asarray(x, dtype=jnp.float64) for x in sky_offsets)
        tau = tau + (pi_EN * north + pi_EE * east)
        beta = beta + (pi_EN * east - pi_EE * north)
    u = jnp.sqrt(tau * tau + beta * beta)
    if rho is None:
        return _point_source(u)
    return magnification(u, rho, law, coefficients, tolerance=tolerance)


def event_chi2(event: Event) -> Callable[[Mapping[str, Any]], Any]:
    """The chi2 of an Event as a JAX function of a dict of traced parameters:
    t0, u0, tE, and rho (a point source without it), pi_EN and pi_EE (with
    the event's coordinates; its t0_par must be set), and the law's
    coefficients by name (:func:`kelvora_fspl.coefficient_names`): "u1"
    replaces the event's own for every dataset, "u1_I" for the datasets of
    band I.  Each dataset's
    source and blend flux are solved by weighted linear least squares inside
    (blend held at 0 for the event's blend_fixed), as Event.chi2 does.  For
    a sampler: log-likelihood = -chi2/2."""
    _require_x64()
    time = np.concatenate([d.time for d in event.datasets])
    flux = jnp.asarray(np.concatenate([d.flux for d in event.datasets]))
    sigma = np.concatenate([d.flux_err for d in event.datasets])
    w = jnp.asarray(1.0 / sigma**2)
    sigma_j = jnp.asarray(sigma)
    sizes = [len(d) for d in event.datasets]
    segments = jnp.asarray(np.repeat(np.arange(len(sizes)), sizes))
    count = len(sizes)
    free = jnp.asarray([i not in event.blend_fixed for i in range(count)])
    names = coefficient_names(event.law, event._per_dataset[0]) if event.law != "tabulated" else ()
    per_dataset = event._per_dataset
    offsets = None
    if event.coordinates is not None:
        if event.t0_par is None:
            raise ValueError("event_chi2 needs the event's t0_par (Event(..., t0_par=...)): it is held fixed")
        offsets = annual_offsets(time, event.coordinates, float(event.t0_par))

    bands = [d.band for d in event.datasets]
    same = all(repr(c) == repr(per_dataset[0]) for c in per_dataset)

    def coefficients_for(params: Mapping[str, Any]) -> tuple[Any, ...]:
        if event.law == "tabulated":
            if not same:
                raise ValueError("event_chi2: tables that differ between datasets are not supported")
            return tuple(per_dataset[0])
        # Each dataset's: "u1_I" for the datasets of band I, else "u1" for all, else the event's own.
        chosen = [[params.get(f"{name}_{band}", params.get(name, c[k])) for k, name in enumerate(names)]
                  for band, c in zip(bands, per_dataset)]
        if same and not any(f"{n}_{b}" in params for n in names for b in bands):
            return tuple(chosen[0])
        return tuple(jnp.concatenate([jnp.full(size, jnp.asarray(values[k], dtype=jnp.float64))
                                      for values, size in zip(chosen, sizes)]) for k in range(len(names)))

    def sums(x: Any) -> Any:
        return jax.ops.segment_sum(x, segments, num_segments=count)

    def chi2(params: Mapping[str, Any]) -> Any:
        extra: dict[str, Any] = {}
        if offsets is not None:
            extra = {"pi_EN": params.get("pi_EN", 0.0), "pi_EE": params.get("pi_EE", 0.0), "sky_offsets": offsets}
        elif "pi_EN" in params or "pi_EE" in params:
            raise ValueError("pi_EN and pi_EE need the event's coordinates: Event(..., coordinates=...)")
        a = light_curve(time, params["t0"], params["u0"], params["tE"], params.get("rho"), event.law,
                        coefficients_for(params), tolerance=event.tolerance, **extra)
        total = sums(w)
        a_mean = sums(w * a) / total
        y_mean = sums(w * flux) / total
        da = a - a_mean[segments]
        spread = sums(w * da * da)
        fs_free = sums(w * da * flux) / spread
        fs_fixed = sums(w * a * flux) / sums(w * a * a)
        fs = jnp.where(free, fs_free, fs_fixed)
        fb = jnp.where(free, y_mean - fs_free * a_mean, 0.0)
        residual = (flux - fs[segments] * a - fb[segments]) / sigma_j
        return jnp.sum(residual * residual)

    return chi2
