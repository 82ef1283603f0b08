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

import math

import numpy as np

try:
    import dask
    import dask.array as da
    from dask.utils import parse_bytes
    from dask.base import tokenize
except ImportError as exc:
    raise ImportError("tarnwick.dask needs Dask's array module: pip install tarnwick[dask]") from exc

import tarnwick
from tarnwick import _api

__all__ = ["blend"]


def blend(background, foreground, mode="normal", opacity=1.0, *, kernel="auto", mask=None):
    """Blend two Dask arrays lazily; returns a Dask array.

    Arguments and errors are those of ``tarnwick.blend`` (without ``out`` and
    ``threads``: the scheduler runs chunks in parallel), checked when the
    graph is built. NumPy arrays are accepted and wrapped (a NumPy background
    in bands of whole rows that keep results bit-identical). The result has the
    background's dtype, shape and chunks along height and width, with the
    channel axis in one chunk; the foreground and mask are rechunked to match.
    """
    background, foreground = _array(background), _array(foreground)
    if mask is not None:
        mask = _array(mask)
    for name, array in (("background", background), ("foreground", foreground), ("mask", mask)):
        if array is not None and any(math.isnan(size) for size in array.shape):
            raise ValueError(f"{name} has unknown chunk sizes; call compute_chunk_sizes() on it first")
    mode, opacity, kernel = _api.check_arguments(
        background, foreground, mode, opacity, kernel=kernel, mask=mask
    )

    if not isinstance(background, da.Array):
        background = da.from_array(background, chunks=(_row_bands(background), -1, -1))
    height_width = background.chunks[:2]
    bg = background.rechunk(height_width + (-1,))
    args = [bg, "ijc", _rechunk(foreground, height_width + (-1,)), "ijf"]
    if mask is not None:
        args += [_rechunk(mask, height_width + (-1,) * (mask.ndim - 2)), "ijm"[: mask.ndim]]
    return da.blockwise(
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


def _blend_chunk(background, foreground, mask=None, *, mode, opacity, kernel):
    return tarnwick.blend(background, foreground, mode, opacity, kernel=kernel, mask=mask)


def _array(value):
    # Anything without a shape and dtype (nested lists, say) is read as NumPy would.
    return value if hasattr(value, "shape") and hasattr(value, "dtype") else np.asarray(value)


def _row_bands(image):
    """Row counts for bands of whole rows near Dask's chunk size that keep the
    vector kernels' pixel grouping: each band but the last holds a multiple of
    64 pixels, and the last at least 64 (it joins the one before otherwise)."""
    height, width = image.shape[:2]
    target = parse_bytes(dask.config.get("array.chunk-size"))
    row_bytes = max(1, width * image.shape[2] * image.dtype.itemsize)
    granule = _api._GRANULE
    step = granule // math.gcd(width, granule)
    rows = max(step, target // row_bytes // step * step)
    bands = [rows] * (height // rows) + ([height % rows] if height % rows else [])
    if len(bands) > 1 and bands[-1] * width < granule:
        bands[-2:] = [bands[-2] + bands[-1]]
    return tuple(bands) or (height,)


def _rechunk(array, chunks):
    if isinstance(array, da.Array):
        return array.rechunk(chunks)
    return da.from_array(array, chunks=chunks)
