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

from __future__ import annotations

import itertools
import math
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any, TypeAlias, cast

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
from tarnwick import _bands, _batch, _blend, _checks, _composite, _flatten, _numbers
from tarnwick._names import CHANGES_WITHOUT_SOURCE
from tarnwick._place import check_offset
from tarnwick._typing import BlendName, Image, Kernel, Mask, Mode, OperatorName, Space

if TYPE_CHECKING:
    from tarnwick._flatten import Layer

__all__ = ["blend", "composite", "flatten"]

# What blend takes: Dask arrays, or anything NumPy reads as an array.
ArrayInput: TypeAlias = da.Array | npt.ArrayLike

# Dask's array functions carry no annotations (and type checkers read their
# default values as parameter types), so they are called through an untyped handle.
_dask_array: Any = da


def blend(
    background: ArrayInput,
    foreground: ArrayInput,
    mode: Mode = "normal",
    opacity: float | npt.ArrayLike = 1.0,
    *,
    kernel: Kernel = "auto",
    mask: ArrayInput | None = None,
    float_scale: float = 255.0,
    x: int = 0,
    y: int = 0,
) -> da.Array:
    """Blend two Dask arrays lazily; returns a Dask array.

    Arguments and errors are those of ``tarnwick.blend`` (without ``out`` and
    ``threads``: the scheduler runs chunks in parallel), checked when the
    graph is built; leading dimensions (frames) are taken as ``composite``
    takes them. NumPy arrays are accepted and wrapped (a NumPy background
    in bands of whole rows that keep results bit-identical). The result has the
    background's dtype, shape and chunks along height and width, with the
    channel axis in one chunk; the foreground and mask are rechunked to match.
    A foreground of another size, or at an offset (`x`, `y`), makes tasks
    only for the background's chunks it touches.
    """
    bg_in, fg_in = _array(background), _array(foreground)
    mask_in = _mask(mask)
    for name, array in (("background", bg_in), ("foreground", fg_in), ("mask", mask_in)):
        if array is not None and any(math.isnan(size) for size in array.shape):
            raise ValueError(f"{name} has unknown chunk sizes; call compute_chunk_sizes() on it first")
    column, row = check_offset("x", x), check_offset("y", y)
    _no_offset_in_frames(bg_in, fg_in, opacity, mask_in, column, row)
    if _is_placed(bg_in, fg_in, column, row) and not _batch.is_batch(bg_in, fg_in, opacity,
                                                                        mask_in):
        _blend.check_arguments(bg_in, fg_in, mode, opacity, kernel, mask_in, placed=True)
        make: Any = tarnwick.Layer  # a layer of lazy arrays, checked above
        layer = make.layer_mode(fg_in, mode, opacity, mask_in, x=column, y=row)
        return flatten(bg_in, [layer], kernel=kernel, float_scale=float_scale)
    scale = _numbers.check_float_scale(float_scale)
    if _batch.is_batch(bg_in, fg_in, opacity, mask_in):
        return _blend_frames(bg_in, fg_in, mode, opacity, kernel, mask_in, scale)
    mode, opacity, kernel = _blend.check_arguments(
        bg_in, fg_in, mode, opacity, kernel=kernel, mask=mask_in
    )

    if not isinstance(bg_in, da.Array):
        bg_in = _from_numpy(bg_in, (_row_bands(bg_in), -1, -1))
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
        name=f"tarnwick-{mode}-" + tokenize(*args[::2], mode, opacity, kernel, scale),
        dtype=bg.dtype,
        meta=np.empty((0, 0, 0), dtype=bg.dtype),
        concatenate=True,  # the foreground's and mask's channel axes arrive in one piece
        mode=mode,
        opacity=opacity,
        kernel=kernel,
        float_scale=scale,
    )
    return result


def _blend_chunk(
    background: Image, foreground: Image, mask: Mask | None = None, *,
    mode: Mode, opacity: float, kernel: Kernel, float_scale: float,
) -> Image:
    return tarnwick.blend(background, foreground, mode, opacity, kernel=kernel, mask=mask,
                          float_scale=float_scale)


def _array(value: ArrayInput) -> da.Array | np.ndarray[Any, Any]:
    # Anything without a shape and dtype (nested lists, say) is read as NumPy would.
    if isinstance(value, da.Array):
        return value
    if hasattr(value, "shape") and hasattr(value, "dtype"):
        # A NumPy array, or another array type whose shape and dtype serve.
        return cast("np.ndarray[Any, Any]", value)
    return np.asarray(value)


def _mask(value: ArrayInput | None) -> da.Array | np.ndarray[Any, Any] | None:
    # A NumPy masked array's hidden entries weigh 0, as in tarnwick.blend; a
    # Dask array's masked chunks reach tarnwick's own calls, which fill them.
    if value is None:
        return None
    if np.ma.isMaskedArray(value):
        return _checks.plain_mask(value)
    return _array(value)


def _row_bands(image: np.ndarray[Any, Any]) -> tuple[int, ...]:
    """Row counts for bands of whole rows near Dask's chunk size that keep the
    vector kernels' pixel grouping: each band but the last holds a multiple of
    64 pixels, and the last at least 64 (it joins the one before otherwise)."""
    height, width = image.shape[:2]
    config: Any = dask.config
    target = parse_bytes(config.get("array.chunk-size"))
    row_bytes = max(1, width * image.shape[2] * image.dtype.itemsize)
    granule = _bands._GRANULE
    step = granule // math.gcd(width, granule)
    rows = max(step, target // row_bytes // step * step)
    bands = [rows] * (height // rows) + ([height % rows] if height % rows else [])
    if len(bands) > 1 and bands[-1] * width < granule:
        bands[-2:] = [bands[-2] + bands[-1]]
    return tuple(bands) or (height,)


def _rechunk(array: da.Array | np.ndarray[Any, Any], chunks: tuple[Any, ...]) -> da.Array:
    lazy: Any = array
    rechunked: da.Array = (
        lazy.rechunk(chunks) if isinstance(array, da.Array) else _from_numpy(array, chunks)
    )
    return rechunked


def _client() -> Any:
    """The dask.distributed client the computation will go to, or None."""
    try:
        import distributed
    except ImportError:
        return None
    module: Any = distributed  # unannotated
    try:
        return module.default_client()
    except ValueError:  # no client: the local schedulers read the array where it is
        return None


def _from_numpy(array: Any, chunks: Any) -> da.Array:
    """A NumPy array as a Dask array of the given chunks. With a distributed
    client, the chunks are sent to the workers once, ahead of the graph, which
    then holds only their keys: a graph with the pixels inside would be sent
    whole to the scheduler (and warned about) on every compute."""
    client = _client()
    if client is None:
        wrapped: da.Array = _dask_array.from_array(array, chunks=chunks)
        return wrapped
    sizes = _dask_array.core.normalize_chunks(chunks, array.shape, dtype=array.dtype)
    starts = [np.cumsum((0, *axis)) for axis in sizes]
    grid = list(itertools.product(*(range(len(axis)) for axis in sizes)))
    pieces = [array[tuple(slice(at[i], at[i + 1]) for at, i in zip(starts, where))] for where in grid]
    futures = client.scatter(pieces)
    blocks = np.empty(tuple(len(axis) for axis in sizes), dtype=object)
    for where, future, piece in zip(grid, futures, pieces):
        blocks[where] = _dask_array.from_delayed(
            future, piece.shape, dtype=piece.dtype, meta=np.empty((0,) * piece.ndim, piece.dtype))
    joined: da.Array = _dask_array.block(blocks.tolist())
    return joined


def _is_dask(value: object) -> bool:
    # A plain bool: narrowing to da.Array would bring its unannotated members.
    return isinstance(value, da.Array)


def _known(**arrays: da.Array | np.ndarray[Any, Any] | None) -> None:
    for name, array in arrays.items():
        if array is not None and any(math.isnan(size) for size in array.shape):
            raise ValueError(f"{name} has unknown chunk sizes; call compute_chunk_sizes() on it first")


def composite(
    backdrop: ArrayInput,
    source: ArrayInput,
    blend: BlendName = "normal",
    opacity: float | npt.ArrayLike = 1.0,
    *,
    operator: OperatorName = "source_over",
    premultiplied: bool = False,
    kernel: Kernel = "auto",
    mask: ArrayInput | None = None,
    float_scale: float = 255.0,
    space: Space = "srgb",
    x: int = 0,
    y: int = 0,
) -> da.Array:
    """Composite two Dask arrays lazily in the standard model; returns a
    Dask array.

    Arguments and errors are those of ``tarnwick.composite`` (without
    ``out`` and ``threads``), checked when the graph is built. A source of
    another size, or at an offset (`x`, `y`), makes tasks only for the
    backdrop's chunks it touches (all of them under the operators a
    transparent source changes); the others are the backdrop's own. Leading
    dimensions broadcast as there; the result is chunked as the backdrop
    along them and along height and width (single frames where only the
    source or opacity has a dimension), with the channel axis in one chunk.
    """
    bd_in, src_in = _array(backdrop), _array(source)
    mask_in = _mask(mask)
    _known(backdrop=bd_in, source=src_in, mask=mask_in)
    column, row = check_offset("x", x), check_offset("y", y)
    _no_offset_in_frames(bd_in, src_in, opacity, mask_in, column, row)
    if _is_placed(bd_in, src_in, column, row) and not _batch.is_batch(bd_in, src_in, opacity,
                                                                         mask_in):
        _composite.check_composite(bd_in, src_in, blend, opacity, operator, premultiplied, kernel,
                                   mask_in, placed=True)
        make: Any = tarnwick.Layer  # a layer of lazy arrays, checked above
        layer = make(src_in, blend, opacity, mask_in, operator, x=column, y=row)
        return flatten(bd_in, [layer], kernel=kernel, premultiplied=premultiplied,
                       float_scale=float_scale, space=space)
    numbers = _checks.check_numbers(float_scale, space, _checks.check_premultiplied(premultiplied))
    lead: tuple[int, ...]
    opacities: Any
    mask_dims: int | None
    call: tuple[Any, ...]
    if not _batch.is_batch(bd_in, src_in, opacity, mask_in):
        call = _composite.check_composite(
            bd_in, src_in, blend, opacity, operator, premultiplied, kernel, mask_in)
        lead, opacities = (), np.float64(call[3])
        mask_dims = None if mask_in is None else mask_in.ndim
    else:
        settled: dict[str, tuple[Any, ...]] = {}

        def check(b: Any, s: Any, o: Any, m: Any) -> None:
            settled["call"] = _composite.check_composite(b, s, blend, o, operator, premultiplied,
                                                         kernel, m)

        lead, opacities, mask_dims = _batch.check_batch(
            check, bd_in, src_in, opacity, mask_in, _composite.NAMES)
        call = settled["call"]
    name, checked_operator, checked_premultiplied, _, checked_kernel = call
    return _frames_graph("composite", bd_in, src_in, name, opacities, mask_in, lead, mask_dims,
                         dict(operator=checked_operator, premultiplied=checked_premultiplied,
                              kernel=checked_kernel, float_scale=numbers.scale,
                              space="linear" if numbers.linear else "srgb"))


def _blend_frames(
    background: Any, foreground: Any, mode: Mode, opacity: Any, kernel: Kernel, mask: Any,
    float_scale: float,
) -> da.Array:
    """``blend`` over leading dimensions (frames), as ``composite`` takes them."""
    settled: dict[str, tuple[Any, ...]] = {}

    def check(b: Any, f: Any, o: Any, m: Any) -> None:
        settled["call"] = _blend.check_arguments(b, f, mode, o, kernel, m)

    lead, opacities, mask_dims = _batch.check_batch(
        check, background, foreground, opacity, mask, ("background", "foreground"))
    checked_mode, _, checked_kernel = settled["call"]
    return _frames_graph("blend", background, foreground, checked_mode, opacities, mask, lead,
                         mask_dims, dict(kernel=checked_kernel, float_scale=float_scale))


def _frames_graph(
    function: str, backdrop: Any, source: Any, name: str, opacities: Any, mask: Any,
    lead: tuple[int, ...], mask_dims: int | None, options: dict[str, Any],
) -> da.Array:
    """The graph of ``tarnwick.<function>`` over chunks of checked arguments
    with leading shape `lead`; `mask_dims` trailing dimensions of the mask
    are the image."""
    if not _is_dask(backdrop):
        frames = (0,) * (backdrop.ndim - 3)
        backdrop = _from_numpy(backdrop, (1,) * len(frames) + (_row_bands(backdrop[frames]), -1, -1))
    k = len(lead)
    # The backdrop's leading dimensions are the last of the broadcast ones;
    # where it is broadcast, each frame is a chunk.
    skip = k - (backdrop.ndim - 3)
    lead_chunks = tuple(
        backdrop.chunks[d - skip] if d >= skip and backdrop.shape[d - skip] == lead[d]
        else (1,) * lead[d] for d in range(k)
    )
    chunks = lead_chunks + backdrop.chunks[-3:-1]

    def spread(array: Any, trailing: int) -> Any:
        shape = lead + tuple(array.shape[array.ndim - trailing:])
        if not isinstance(array, da.Array):
            array = np.asarray(array)
            own = array.ndim - trailing
            # Chunked as it will be used: a frame at a time where it has frames,
            # the backdrop's bands along height and width.
            along = tuple(1 if array.shape[d] == 1 else lead_chunks[k - own + d] for d in range(own))
            array = _from_numpy(array, along + chunks[-2:] + (-1,) * (trailing - 2))
        return _dask_array.broadcast_to(array, shape).rechunk(chunks + (-1,) * (trailing - 2))

    letters = tuple(f"frame{d}" for d in range(k))
    args: list[Any] = [spread(backdrop, 3), letters + ("i", "j", "c"), spread(source, 3),
                       letters + ("i", "j", "f")]
    if mask is not None and mask_dims is not None:
        args += [spread(mask, mask_dims), letters + ("i", "j", "m")[:mask_dims]]
    opacity = None
    if opacities.ndim:
        args += [_dask_array.from_array(np.broadcast_to(opacities, lead)).rechunk(lead_chunks),
                 letters]
    else:
        opacity = float(opacities)
    result: da.Array = _dask_array.blockwise(
        _frames_chunk,
        letters + ("i", "j", "c"),
        *args,
        name=f"tarnwick-{function}-" + tokenize(*args[::2], name, opacity, options),
        dtype=args[0].dtype,
        meta=np.empty((0,) * (k + 3), dtype=args[0].dtype),
        concatenate=True,
        function=function, name_=name, masked=mask is not None, opacity=opacity, options=options,
    )
    return result


def _frames_chunk(
    backdrop: Image, source: Image, *rest: Any, function: str, name_: str, masked: bool,
    opacity: float | None, options: dict[str, Any],
) -> Image:
    mask = rest[0] if masked else None
    weight: Any = rest[-1] if opacity is None else opacity
    call: Any = getattr(tarnwick, function)
    result: Image = call(backdrop, source, name_, weight, mask=mask, **options)
    return result


def flatten(
    canvas: ArrayInput,
    layers: Iterable[Layer],
    *,
    kernel: Kernel = "auto",
    premultiplied: bool = False,
    float_scale: float = 255.0,
    space: Space = "srgb",
) -> da.Array:
    """Flatten a stack of layers onto a Dask canvas lazily; returns a Dask
    array.

    Arguments and errors are those of ``tarnwick.flatten`` (without ``out``
    and ``threads``); the layers' images and masks may be Dask or NumPy
    arrays. Each chunk of the canvas (bands of whole rows for a NumPy
    canvas) is flattened with every layer in one task.
    """
    lazy: Any = _array(canvas)
    stack = _flatten.check_layers(layers)
    _known(canvas=lazy, **{f"layers[{i}].image": _array(layer.image) for i, layer in enumerate(stack)
                           if isinstance(layer, tarnwick.Layer)})
    checked_kernel, checked_premultiplied = _flatten.check_canvas(lazy, kernel, premultiplied)
    numbers = _checks.check_numbers(float_scale, space, checked_premultiplied)
    scale, checked_space = numbers.scale, "linear" if numbers.linear else "srgb"
    for i, layer in enumerate(stack):
        if isinstance(layer, tarnwick.Group) or isinstance(layer, tarnwick.Layer) and layer.clip:
            what = "a group" if isinstance(layer, tarnwick.Group) else "a clipped layer"
            raise TypeError(
                f"layers[{i}] is {what}: tarnwick.dask.flatten takes a flat list of layers; "
                "flatten trees with tarnwick.flatten (on each chunk, through map_blocks)"
            )
        _flatten.check_layer(i, layer, tuple(lazy.shape), checked_premultiplied)
    stack = [layer for layer in stack if layer.visible]  # hidden layers draw nothing
    if not _is_dask(lazy):
        lazy = _from_numpy(lazy, (_row_bands(lazy), -1, -1))
    height_width = lazy.chunks[:2]
    if any(_placed(layer, tuple(lazy.shape)) for layer in stack):
        return _placed_flatten(lazy.rechunk(height_width + (-1,)), stack, checked_kernel,
                               checked_premultiplied, scale, checked_space)
    args: list[Any] = [lazy.rechunk(height_width + (-1,)), ("i", "j", "c")]
    records: list[tuple[Any, ...]] = []
    for i, layer in enumerate(stack):
        image = _rechunk(_array(layer.image), height_width + (-1,))
        args += [image, ("i", "j", f"channels{i}")]
        mask: Any = None
        if layer.mask is not None:
            mask = _mask(layer.mask)
            mask = _rechunk(mask, height_width + (-1,) * (mask.ndim - 2))
            args += [mask, ("i", "j", f"mask{i}")[: mask.ndim]]
        records.append((layer.blend, layer.opacity, layer.operator, layer.model, mask is not None))
    result: da.Array = _dask_array.blockwise(
        _flatten_chunk,
        ("i", "j", "c"),
        *args,
        name="tarnwick-flatten-" + tokenize(*args[::2], records, checked_kernel,
                                            checked_premultiplied, scale, checked_space),
        dtype=lazy.dtype,
        meta=np.empty((0, 0, 0), dtype=lazy.dtype),
        concatenate=True,
        records=records, kernel=checked_kernel, premultiplied=checked_premultiplied,
        float_scale=scale, space=checked_space,
    )
    return result


def _flatten_chunk(
    canvas: Image, *arrays: Any, records: list[tuple[Any, ...]], kernel: Kernel,
    premultiplied: bool, float_scale: float, space: Space,
) -> Image:
    layers: list[Layer] = []
    position = 0
    for blend, opacity, operator, model, masked in records:
        image = arrays[position]
        mask = arrays[position + 1] if masked else None
        position += 2 if masked else 1
        layers.append(tarnwick.Layer(image, blend, opacity, mask, operator, model))
    return tarnwick.flatten(canvas, layers, kernel=kernel, premultiplied=premultiplied,
                            float_scale=float_scale, space=space)


# --- placed layers -------------------------------------------------------------


def _no_offset_in_frames(backdrop: Any, source: Any, opacity: Any, mask: Any, x: int, y: int
                         ) -> None:
    # The lazy frame graphs place no layer: refused rather than ignored.
    if (x or y) and _batch.is_batch(backdrop, source, opacity, mask):
        raise ValueError("x and y take single images here, not frames; "
                         "tarnwick.blend and tarnwick.composite place layers on frames")


def _is_placed(backdrop: Any, source: Any, x: int, y: int) -> bool:
    """Whether a two-image call places its layer: an offset, or another size."""
    if backdrop.ndim != 3 or source.ndim != 3:
        return False
    return bool(x or y) or tuple(source.shape[:2]) != tuple(backdrop.shape[:2])


def _placed(layer: Any, canvas_shape: tuple[int, ...]) -> bool:
    image = _array(layer.image)
    return bool(layer.x or layer.y) or tuple(image.shape[:2]) != tuple(canvas_shape[:2])


def _aligned(size: int, offset: int, bounds: list[int]) -> tuple[int, ...]:
    """Chunk sizes for an axis of `size` placed at `offset` whose boundaries
    fall where the canvas's (`bounds`, its chunk starts and end) do."""
    cuts = sorted({min(max(b - offset, 0), size) for b in bounds} | {0, size})
    return tuple(b - a for a, b in zip(cuts[:-1], cuts[1:]) if b > a) or (size,)


def _placed_flatten(
    canvas: Any, stack: list[Any], kernel: str, premultiplied: bool, float_scale: float,
    space: str,
) -> da.Array:
    """flatten of layers at offsets: each layer's image (and mask) is cut
    where the canvas's chunks are, and a chunk's task holds only the layers
    that touch it; a chunk no layer changes keeps the canvas's own chunk.
    Under the operators a transparent layer changes, the layer changes every
    chunk, as in one call."""
    from dask.highlevelgraph import HighLevelGraph

    bounds = [list(np.cumsum((0, *axis))) for axis in canvas.chunks[:2]]
    pieces: list[tuple[Any, Any, Any]] = []
    for layer in stack:
        image = _array(layer.image)
        height, width = int(image.shape[0]), int(image.shape[1])
        chunks = (_aligned(height, layer.y, bounds[0]), _aligned(width, layer.x, bounds[1]))
        lazy_image = _rechunk(image, chunks + (-1,))
        mask = None
        if layer.mask is not None:
            mask_in = _mask(layer.mask)
            assert mask_in is not None
            mask = _rechunk(mask_in, chunks + (-1,) * (mask_in.ndim - 2))
        pieces.append((layer, lazy_image, mask))

    name = "tarnwick-placed-" + tokenize(canvas, [(p[1], p[2], p[0].blend, p[0].opacity,
                                                   p[0].operator, p[0].model, p[0].x, p[0].y)
                                                  for p in pieces],
                                         kernel, premultiplied, float_scale, space)
    graph: dict[Any, Any] = {}
    for i, (top, bottom) in enumerate(zip(bounds[0][:-1], bounds[0][1:])):
        for j, (left, right) in enumerate(zip(bounds[1][:-1], bounds[1][1:])):
            specs: list[Any] = []
            for layer, lazy_image, mask in pieces:
                height, width = int(lazy_image.shape[0]), int(lazy_image.shape[1])
                everywhere = layer.model == "standard" and layer.operator in CHANGES_WITHOUT_SOURCE
                rows = (max(top, layer.y), min(bottom, layer.y + height))
                cols = (max(left, layer.x), min(right, layer.x + width))
                touches = rows[0] < rows[1] and cols[0] < cols[1]
                if not touches and not everywhere:
                    continue
                image_key = mask_key = None
                if touches:
                    # The image's chunk that lies in this canvas chunk.
                    image_chunks: Any = lazy_image.chunks
                    row_starts = np.cumsum((0, *image_chunks[0]))
                    col_starts = np.cumsum((0, *image_chunks[1]))
                    at_row: int = rows[0] - layer.y
                    at_col: int = cols[0] - layer.x
                    bi = int(np.searchsorted(row_starts, at_row, side="right")) - 1
                    bj = int(np.searchsorted(col_starts, at_col, side="right")) - 1
                    image_key = (lazy_image.name, bi, bj, 0)
                    if mask is not None:
                        mask_key = (mask.name, bi, bj) + ((0,) if mask.ndim == 3 else ())
                    x = cols[0] - left
                    y = rows[0] - top
                else:
                    x = y = 0
                specs.append([image_key, mask_key, layer.blend, layer.opacity, layer.operator,
                              layer.model, x, y])
            key = (name, i, j, 0)
            if specs:
                graph[key] = (_placed_chunk, (canvas.name, i, j, 0), specs, kernel,
                              premultiplied, float_scale, space)
            else:
                graph[key] = (canvas.name, i, j, 0)  # untouched: the canvas's chunk itself
    dependencies = [canvas] + [p[1] for p in pieces] + [p[2] for p in pieces if p[2] is not None]
    layered = HighLevelGraph.from_collections(name, graph, dependencies=dependencies)
    result: da.Array = _dask_array.Array(layered, name, chunks=canvas.chunks, dtype=canvas.dtype,
                                         meta=np.empty((0, 0, 0), dtype=canvas.dtype))
    return result


def _placed_chunk(
    chunk: Image, specs: list[list[Any]], kernel: Kernel, premultiplied: bool,
    float_scale: float, space: Space,
) -> Image:
    layers: list[Layer] = []
    for image, mask, blend, opacity, operator, model, x, y in specs:
        if image is None:  # a layer that misses the chunk but still changes it
            image = np.zeros((0, 0, 4), chunk.dtype)
        layers.append(tarnwick.Layer(image, blend, opacity, mask, operator, model, x=x, y=y))
    return tarnwick.flatten(chunk, layers, kernel=kernel, premultiplied=premultiplied,
                            float_scale=float_scale, space=space)
