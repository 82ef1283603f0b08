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

``composite`` and ``flatten`` build their graphs the same way, with the same
rules for bit identity. ``blend`` and ``composite`` also take leading
dimensions (frames), chunked as the backdrop's are; ``flatten`` applies the
whole stack of layers to each chunk of the canvas in one task.
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
from tarnwick import _api, _batch, _composite, _flatten, _numbers

__all__ = ["blend", "composite", "flatten"]


def blend(background, foreground, mode="normal", opacity=1.0, *, kernel="auto", mask=None,
          float_scale=255.0):
    """Blend two Dask arrays lazily; returns a Dask array.

    Arguments and errors are those of ``tarnwick.blend`` (without ``out`` and
    ``threads``: the scheduler runs chunks in parallel), checked when the
    graph is built; leading dimensions (frames) are taken as ``composite``
    takes them. NumPy arrays are accepted and wrapped (a NumPy background
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
    float_scale = _numbers.check_float_scale(float_scale)
    if _batch.is_batch(background, foreground, opacity, mask):
        return _blend_frames(background, foreground, mode, opacity, kernel, mask, float_scale)
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
        name=f"tarnwick-{mode}-" + tokenize(*args[::2], mode, opacity, kernel, float_scale),
        dtype=bg.dtype,
        meta=np.empty((0, 0, 0), dtype=bg.dtype),
        concatenate=True,  # the foreground's and mask's channel axes arrive in one piece
        mode=mode,
        opacity=opacity,
        kernel=kernel,
        float_scale=float_scale,
    )


def _blend_chunk(background, foreground, mask=None, *, mode, opacity, kernel, float_scale):
    return tarnwick.blend(background, foreground, mode, opacity, kernel=kernel, mask=mask,
                          float_scale=float_scale)


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


def _known(**arrays):
    for name, array in arrays.items():
        if array is not None and any(math.isnan(size) for size in array.shape):
            raise ValueError(f"{name} has unknown chunk sizes; call compute_chunk_sizes() on it first")


def composite(backdrop, source, blend="normal", opacity=1.0, *, operator="source_over",
              premultiplied=False, kernel="auto", mask=None, float_scale=255.0, space="srgb"):
    """Composite two Dask arrays lazily in the standard model; returns a
    Dask array.

    Arguments and errors are those of ``tarnwick.composite`` (without
    ``out`` and ``threads``), checked when the graph is built. Leading
    dimensions broadcast as there; the result is chunked as the backdrop
    along them and along height and width (single frames where only the
    source or opacity has a dimension), with the channel axis in one chunk.
    """
    backdrop, source = _array(backdrop), _array(source)
    mask = None if mask is None else _array(mask)
    _known(backdrop=backdrop, source=source, mask=mask)
    numbers = _composite.check_numbers(float_scale, space, _composite.check_premultiplied(premultiplied))
    if not _batch.is_batch(backdrop, source, opacity, mask):
        blend, operator, premultiplied, opacity, kernel = _composite.check_composite(
            backdrop, source, blend, opacity, operator, premultiplied, kernel, mask)
        lead, opacities, mask_dims = (), np.float64(opacity), None if mask is None else mask.ndim
    else:
        settled = {}

        def check(b, s, o, m):
            settled["call"] = _composite.check_composite(b, s, blend, o, operator, premultiplied,
                                                         kernel, m)

        lead, opacities, mask_dims = _batch.check_batch(
            check, backdrop, source, opacity, mask, _composite.NAMES)
        blend, operator, premultiplied, _, kernel = settled["call"]
    return _frames_graph("composite", backdrop, source, blend, opacities, mask, lead, mask_dims,
                         dict(operator=operator, premultiplied=premultiplied, kernel=kernel,
                              float_scale=numbers.scale, space="linear" if numbers.linear else "srgb"))


def _blend_frames(background, foreground, mode, opacity, kernel, mask, float_scale):
    """``blend`` over leading dimensions (frames), as ``composite`` takes them."""
    settled = {}

    def check(b, f, o, m):
        settled["call"] = _api.check_arguments(b, f, mode, o, kernel, m)

    lead, opacities, mask_dims = _batch.check_batch(
        check, background, foreground, opacity, mask, ("background", "foreground"))
    mode, _, kernel = settled["call"]
    return _frames_graph("blend", background, foreground, mode, opacities, mask, lead, mask_dims,
                         dict(kernel=kernel, float_scale=float_scale))


def _frames_graph(function, backdrop, source, name, opacities, mask, lead, mask_dims, options):
    """The graph of ``tarnwick.<function>`` over chunks of checked arguments
    with leading shape `lead`; `mask_dims` trailing dimensions of the mask
    are the image."""
    if not isinstance(backdrop, da.Array):
        frames = (0,) * (backdrop.ndim - 3)
        backdrop = da.from_array(
            backdrop, chunks=(1,) * len(frames) + (_row_bands(backdrop[frames]), -1, -1))
    k = len(lead)
    # The backdrop's leading dimensions are the last of the broadcast ones;
    # where it is broadcast, each frame is a chunk.
    skip = k - (backdrop.ndim - 3)
    lead_chunks = tuple(
        backdrop.chunks[d - skip] if d >= skip and backdrop.shape[d - skip] == lead[d]
        else (1,) * lead[d] for d in range(k)
    )
    chunks = lead_chunks + backdrop.chunks[-3:-1]

    def spread(array, trailing):
        shape = lead + tuple(array.shape[array.ndim - trailing:])
        if not isinstance(array, da.Array):
            array = da.from_array(np.asarray(array))
        return da.broadcast_to(array, shape).rechunk(chunks + (-1,) * (trailing - 2))

    letters = tuple(f"frame{d}" for d in range(k))
    args = [spread(backdrop, 3), letters + ("i", "j", "c"), spread(source, 3), letters + ("i", "j", "f")]
    if mask is not None:
        args += [spread(mask, mask_dims), letters + ("i", "j", "m")[:mask_dims]]
    opacity = None
    if opacities.ndim:
        args += [da.from_array(np.broadcast_to(opacities, lead)).rechunk(lead_chunks), letters]
    else:
        opacity = float(opacities)
    return da.blockwise(
        _frames_chunk,
        letters + ("i", "j", "c"),
        *args,
        name=f"tarnwick-{function}-" + tokenize(*args[::2], name, opacity, options),
        dtype=args[0].dtype,
        meta=np.empty((0,) * (k + 3), dtype=args[0].dtype),
        concatenate=True,
        function=function, name_=name, masked=mask is not None, opacity=opacity, options=options,
    )


def _frames_chunk(backdrop, source, *rest, function, name_, masked, opacity, options):
    mask = rest[0] if masked else None
    if opacity is None:
        opacity = rest[-1]
    return getattr(tarnwick, function)(backdrop, source, name_, opacity, mask=mask, **options)


def flatten(canvas, layers, *, kernel="auto", premultiplied=False, float_scale=255.0, space="srgb"):
    """Flatten a stack of layers onto a Dask canvas lazily; returns a Dask
    array.

    Arguments and errors are those of ``tarnwick.flatten`` (without ``out``
    and ``threads``); the layers' images and masks may be Dask or NumPy
    arrays. Each chunk of the canvas (bands of whole rows for a NumPy
    canvas) is flattened with every layer in one task.
    """
    canvas = _array(canvas)
    stack = _flatten.check_layers(layers)
    _known(canvas=canvas, **{f"layers[{i}].image": _array(layer.image) for i, layer in enumerate(stack)
                             if isinstance(layer, tarnwick.Layer)})
    kernel, premultiplied = _flatten.check_canvas(canvas, kernel, premultiplied)
    numbers = _composite.check_numbers(float_scale, space, premultiplied)
    float_scale, space = numbers.scale, "linear" if numbers.linear else "srgb"
    for i, layer in enumerate(stack):
        _flatten.check_layer(i, layer, tuple(canvas.shape), premultiplied)
    if not isinstance(canvas, da.Array):
        canvas = da.from_array(canvas, chunks=(_row_bands(canvas), -1, -1))
    height_width = canvas.chunks[:2]
    args = [canvas.rechunk(height_width + (-1,)), ("i", "j", "c")]
    records = []
    for i, layer in enumerate(stack):
        image = _rechunk(_array(layer.image), height_width + (-1,))
        args += [image, ("i", "j", f"channels{i}")]
        mask = None
        if layer.mask is not None:
            mask = _array(layer.mask)
            mask = _rechunk(mask, height_width + (-1,) * (mask.ndim - 2))
            args += [mask, ("i", "j", f"mask{i}")[: mask.ndim]]
        records.append((layer.blend, layer.opacity, layer.operator, layer.model, mask is not None))
    return da.blockwise(
        _flatten_chunk,
        ("i", "j", "c"),
        *args,
        name="tarnwick-flatten-" + tokenize(*args[::2], records, kernel, premultiplied, float_scale, space),
        dtype=canvas.dtype,
        meta=np.empty((0, 0, 0), dtype=canvas.dtype),
        concatenate=True,
        records=records, kernel=kernel, premultiplied=premultiplied,
        float_scale=float_scale, space=space,
    )


def _flatten_chunk(canvas, *arrays, records, kernel, premultiplied, float_scale, space):
    layers, position = [], 0
    for blend, opacity, operator, model, masked in records:
        image = arrays[position]
        mask = arrays[position + 1] if masked else None
        position += 2 if masked else 1
        layers.append(tarnwick.Layer(image, blend, opacity, mask, operator, model))
    return tarnwick.flatten(canvas, layers, kernel=kernel, premultiplied=premultiplied,
                            float_scale=float_scale, space=space)
