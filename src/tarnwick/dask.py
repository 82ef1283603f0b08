"""Lazy blends of Dask arrays, for images larger than memory.

``tarnwick.dask.blend`` builds a Dask graph that runs ``tarnwick.blend`` on
one chunk of the background at a time, with the matching chunk of the
foreground (and mask). Nothing is computed until the result is::

    import tarnwick.dask
    out = tarnwick.dask.blend(bg, fg, "multiply", 0.5)   # bg, fg: Dask arrays
    out.to_zarr("out.zarr")                                # computed chunk by chunk

With ``kernel="scalar"`` the result equals one in-memory ``tarnwick.blend``
call bit for bit. The vector kernels group pixels by their position in the
run they are given, so a chunk's pixels may be grouped differently than in
one call over the whole image: results then agree within one uint8 step.
Chunks of whole rows in which every chunk but the last holds a multiple of 64
pixels (rows x width) and the last at least 64 keep the grouping, and the
result is bit-identical with every kernel; NumPy inputs are wrapped in such
bands. With a mask, a chunk whose mask is 255 throughout takes the unmasked
path, where the vector kernels may differ from one call by one uint8 step.
"""

from __future__ import annotations

import math
from typing import Any, TypeAlias, cast

import numpy as np
import numpy.typing as npt

try:
    import dask.array as da
    import dask.config
    from dask.utils import parse_bytes
    from dask.base import tokenize
except ImportError as exc:
    raise ImportError("tarnwick.dask needs Dask's array module: pip install tarnwick[dask]") from exc

import tarnwick
from tarnwick import _api
from tarnwick._typing import Image, Kernel, Mode

__all__ = ["blend"]

# What blend takes: Dask arrays, or anything NumPy reads as an array.
ArrayInput: TypeAlias = da.Array | npt.ArrayLike

# Dask's array functions carry no annotations (and type checkers read their
# default values as parameter types), so they are called through an untyped handle.
_dask_array: Any = da


def blend(
    background: ArrayInput,
    foreground: ArrayInput,
    mode: Mode = "normal",
    opacity: float = 1.0,
    *,
    kernel: Kernel = "auto",
    mask: ArrayInput | None = None,
) -> da.Array:
    """Blend two Dask arrays lazily; returns a Dask array.

    Arguments and errors are those of ``tarnwick.blend`` (without ``out`` and
    ``threads``: the scheduler runs chunks in parallel), checked when the
    graph is built. NumPy arrays are accepted and wrapped (a NumPy background
    in bands of whole rows that keep results bit-identical). The result has the
    background's dtype, shape and chunks along height and width, with the
    channel axis in one chunk; the foreground and mask are rechunked to match.
    """
    bg_in, fg_in = _array(background), _array(foreground)
    mask_in = None if mask is None else _array(mask)
    for name, array in (("background", bg_in), ("foreground", fg_in), ("mask", mask_in)):
        if array is not None and any(math.isnan(size) for size in array.shape):
            raise ValueError(f"{name} has unknown chunk sizes; call compute_chunk_sizes() on it first")
    mode, opacity, kernel = _api.check_arguments(
        bg_in, fg_in, mode, opacity, kernel=kernel, mask=mask_in
    )

    if not isinstance(bg_in, da.Array):
        bg_in = _dask_array.from_array(bg_in, chunks=(_row_bands(bg_in), -1, -1))
    lazy_bg: Any = bg_in
    height_width: tuple[tuple[int, ...], ...] = lazy_bg.chunks[:2]
    bg: Any = lazy_bg.rechunk(height_width + (-1,))
    args: list[Any] = [bg, "ijc", _rechunk(fg_in, height_width + (-1,)), "ijf"]
    if mask_in is not None:
        args += [_rechunk(mask_in, height_width + (-1,) * (mask_in.ndim - 2)), "ijm"[: mask_in.ndim]]
    result: da.Array = _dask_array.blockwise(
        _blend_chunk,
        "ijc",
        *args,
        name=f"tarnwick-{mode}-" + tokenize(*args[::2], mode, opacity, kernel),
        dtype=bg.dtype,
        meta=np.empty((0, 0, 0), dtype=bg.dtype),
        concatenate=True,  # the foreground's and mask's channel axes arrive in one piece
        mode=mode,
        opacity=opacity,
        kernel=kernel,
    )
    return result


def _blend_chunk(
    background: Image, foreground: Image, mask: Image | None = None, *,
    mode: Mode, opacity: float, kernel: Kernel,
) -> Image:
    return tarnwick.blend(background, foreground, mode, opacity, kernel=kernel, mask=mask)


def _array(value: ArrayInput) -> da.Array | np.ndarray[Any, Any]:
    # Anything without a shape and dtype (nested lists, say) is read as NumPy would.
    if isinstance(value, da.Array):
        return value
    if hasattr(value, "shape") and hasattr(value, "dtype"):
        # A NumPy array, or another array type whose shape and dtype serve.
        return cast("np.ndarray[Any, Any]", value)
    return np.asarray(value)


def _row_bands(image: np.ndarray[Any, Any]) -> tuple[int, ...]:
    """Row counts for bands of whole rows near Dask's chunk size that keep the
    vector kernels' pixel grouping: each band but the last holds a multiple of
    64 pixels, and the last at least 64 (it joins the one before otherwise)."""
    height, width = image.shape[:2]
    config: Any = dask.config
    target = parse_bytes(config.get("array.chunk-size"))
    row_bytes = max(1, width * image.shape[2] * image.dtype.itemsize)
    granule = _api._GRANULE
    step = granule // math.gcd(width, granule)
    rows = max(step, target // row_bytes // step * step)
    bands = [rows] * (height // rows) + ([height % rows] if height % rows else [])
    if len(bands) > 1 and bands[-1] * width < granule:
        bands[-2:] = [bands[-2] + bands[-1]]
    return tuple(bands) or (height,)


def _rechunk(array: da.Array | np.ndarray[Any, Any], chunks: tuple[Any, ...]) -> da.Array:
    lazy: Any = array
    rechunked: da.Array = (
        lazy.rechunk(chunks) if isinstance(array, da.Array)
        else _dask_array.from_array(array, chunks=chunks)
    )
    return rechunked
