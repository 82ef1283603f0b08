"""``tarnwick.flatten``: a stack of layers composited onto a canvas in one
pass over memory.

The canvas is cut into bands of whole rows, about ``_BAND_BYTES`` each,
that start on multiples of 64 pixels; every layer is applied to the part of
a band it overlaps while the band is in cache before the next band is read,
and bands are shared among the threads. Each layer's native call on a band
gives the pixels the call on the whole image gives (the standard model's
loops round alike at every place; runs of the layer modes start on
multiples of 64 pixels and keep the vector grouping), so the result is
bit-identical to one call per layer.
"""

from __future__ import annotations

import math
from dataclasses import KW_ONLY, dataclass
from typing import Any, Callable, Iterable, Sequence, cast, overload

import numpy as np
import numpy.typing as npt

import _tarnwick
from tarnwick import _bands, _floats, _numbers
from tarnwick._bands import _GRANULE, run_banded, run_bands
from tarnwick._blend import blend_placed
from tarnwick._checks import (
    IMAGE_TYPES,
    as_image,
    _check_image,
    _check_mask,
    _check_opacity,
    check_out,
    check_threads,
    contiguous,
    _native_dtype,
    _overlaps,
    plain_mask,
    channels_error,
    check_numbers,
    check_premultiplied,
    loop_mask,
    mask_unless_full,
    rows_readable,
)
from tarnwick._composite import linear_natively, scaled_natively
from tarnwick._names import (
    _BLEND_SET,
    _OPERATOR_SET,
    CHANGES_WITHOUT_SOURCE,
    NEEDS_ALPHA,
    check_kernel,
    check_mode,
    check_operator_channels,
    resolve_blend,
    resolve_operator,
)
from tarnwick._place import (
    Placement,
    check_offset,
    colour_layer,
    is_colour,
    place,
    transparent_layer,
)
from tarnwick._typing import (
    BlendName, F32Image, F64Image, Image, ImageT, Kernel, KernelName, Mode, Model, OperatorName, Space,
    U8Image, U16Image,
)

# Canvas bytes per band: a band and the matching rows of a layer stay in a
# core's L2 cache while every layer is applied.
_BAND_BYTES = 1 << 18

MODELS = ("standard", "layer")


@dataclass(frozen=True, eq=False)
class Layer:
    """One layer of a stack for ``tarnwick.flatten``.

    `blend` names a blend function of ``tarnwick.composite`` (the standard
    model, with `operator`), unless `model` is "layer": then it names one of
    the layer modes of ``tarnwick.blend`` (``tarnwick.MODES``), which keep
    the backdrop's alpha. Several names ("multiply", "soft_light", ...) are
    in both families with different alpha rules, so the model is never
    guessed from the name; ``Layer.layer_mode(image, "soft_light")`` is the
    short way to ask for the layer model.
    """

    image: npt.ArrayLike
    blend: BlendName | Mode = "normal"
    opacity: float = 1.0
    mask: npt.ArrayLike | None = None
    operator: OperatorName = "source_over"
    model: Model = "standard"
    x: int = 0
    y: int = 0
    # For a tree (see tarnwick.Group): a label, hidden layers kept but not
    # drawn, and clipping to the layer below in the same group.
    name: str | None = None
    visible: bool = True
    clip: bool = False

    @classmethod
    def layer_mode(
        cls, image: npt.ArrayLike, mode: Mode = "normal", opacity: float = 1.0,
        mask: npt.ArrayLike | None = None, *, x: int = 0, y: int = 0, name: str | None = None,
        visible: bool = True, clip: bool = False,
    ) -> Layer:
        """A layer composited with one of the 28 layer modes of ``tarnwick.blend``."""
        return cls(image, mode, opacity, mask, model="layer", x=x, y=y, name=name,
                   visible=visible, clip=clip)


@dataclass(frozen=True, eq=False)
class Group:
    """Layers composited together, usable wherever ``tarnwick.flatten`` takes
    a layer, and nested to any depth; `layers` bottom first.

    Isolated (the default), the children are composited onto a transparent
    canvas the size of their bounding box (within the canvas), and that
    picture meets what lies below as one layer, with the group's `blend`
    (a blend function of ``tarnwick.composite``), `operator`, `opacity`
    and `mask`. The mask has its own size and lies at the group's `x`, `y`;
    the group shows nowhere outside it.

    Pass-through (``isolated=False``), the children are composited straight
    onto what lies below, each at its own opacity times the group's. Such a
    group has no picture of its own, so its blend and operator are not used:
    a blend other than "normal", an operator other than "source_over" or a
    mask on it is an error rather than ignored.

    `x`, `y` move every child; `visible=False` keeps the group in the tree
    and leaves it out of the picture.
    """

    layers: Sequence[Layer | Group]
    blend: BlendName = "normal"
    opacity: float = 1.0
    _: KW_ONLY
    operator: OperatorName = "source_over"
    isolated: bool = True
    mask: npt.ArrayLike | None = None
    name: str | None = None
    visible: bool = True
    x: int = 0
    y: int = 0

    def __post_init__(self) -> None:
        # A tuple: a generator given as the layers is read once, here, and
        # the tree cannot be changed (or made to hold itself) afterwards.
        layers: Any = self.layers
        if hasattr(layers, "__iter__") and not isinstance(layers, (str, bytes, np.ndarray, Layer)):
            object.__setattr__(self, "layers", tuple(iter(layers)))


@dataclass
class _Step:
    """One checked layer: its native call on the rows of a band it overlaps
    (reading, writing), or, for a layer mode with a mask or an offset, a
    whole-image call of its own."""

    image: np.ndarray
    mask: np.ndarray | None
    band: Callable[[np.ndarray, np.ndarray, int, int], None] | None
    whole: Callable[[np.ndarray, np.ndarray, int], None] | None
    # A plain layer, run inline by the band loop: (blend, operator, opacity,
    # image, x, y, its height and width, its columns on the canvas and on
    # the image, clipped to the canvas).
    plain: tuple[Any, ...] | None = None


def where(index: int | str) -> str:
    """How errors name a layer: its index in the list, or its path in a tree."""
    return f"layers[{index}]" if isinstance(index, int) else index


def _field_error(index: int | str, field: str, exc: Exception) -> Exception:
    text = str(exc)
    where_ = where(index) + "."
    message = where_ + text if text.startswith(field) else f"{where_}{field}: {text}"
    return type(exc)(message)


def _shaped(value: Any) -> Any:
    # Anything with a shape and dtype (NumPy, Dask) is checked as it is.
    return value if hasattr(value, "shape") and hasattr(value, "dtype") else np.asarray(value)


def layer_arrays(
    index: int | str, layer: Any, canvas: np.ndarray | None = None, float_scale: float = 255.0,
) -> tuple[np.ndarray, np.ndarray | None]:
    """The image and mask of ``layers[index]`` as the arrays that will be
    composited, each converted once: an object that reports one shape but
    converts to another is checked, and composited, as what it converts to.
    A masked array's hidden mask entries weigh 0, as in ``blend``. A colour
    given as the image covers the `canvas`, one row of memory."""
    if not isinstance(layer, Layer):
        raise TypeError(f"{where(index)} must be a tarnwick.Layer, not {type(layer).__name__}")
    field = "image"
    try:
        if canvas is not None and is_colour(layer.image):
            image = colour_layer("image", layer.image, canvas.dtype, canvas.shape[:2], float_scale)
        else:
            image = as_image(layer.image)
        field = "mask"
        mask = None if layer.mask is None else plain_mask(layer.mask)
    except (TypeError, ValueError) as exc:
        raise _field_error(index, field, exc) from None
    return image, mask


def check_layer(
    index: int | str, layer: Any, canvas_shape: tuple[int, ...], premultiplied: bool,
    arrays: tuple[Any, Any] | None = None, placed: bool = True,
) -> tuple[str, str, float]:
    """Raise what ``flatten`` raises for ``layers[index]``; return its blend
    (or layer mode), operator and opacity. Reads only ``shape`` and
    ``dtype`` of its arrays: of `arrays` (image, mask) when given, else of
    the layer's own. Without `placed`, the image must have the canvas's
    size and the layer no offset."""
    if not isinstance(layer, Layer):
        raise TypeError(f"{where(index)} must be a tarnwick.Layer, not {type(layer).__name__}")
    height, width, channels = canvas_shape
    field = "image"
    name: str
    operator: str
    try:
        image = _shaped(layer.image) if arrays is None else arrays[0]
        _check_image("image", image)
        if _native_dtype(np.dtype(image.dtype)) is None:
            raise TypeError(f"image must be a {IMAGE_TYPES} array, not {image.dtype}")
        if image.shape[2] not in (3, 4):
            raise ValueError(channels_error("image", tuple(image.shape)))
        if not placed and tuple(image.shape[:2]) != (height, width):
            raise ValueError(
                f"image must have height and width {(height, width)} like the canvas, "
                f"got {tuple(image.shape[:2])}"
            )
        field = "x"
        column = check_offset("x", layer.x)
        field = "y"
        row = check_offset("y", layer.y)
        if not placed and (column or row):
            field = "x" if column else "y"
            raise ValueError(f"{field} must be 0 here: these layers take no offset")
        field = "mask"
        if layer.mask is not None:
            mask = _shaped(layer.mask) if arrays is None else arrays[1]
            size = tuple(image.shape[:2])
            like = "canvas" if size == (height, width) else "image"
            if tuple(mask.shape) not in (size, (*size, 1)):
                raise ValueError(
                    f"mask must have shape {size} or {(*size, 1)} like the {like}, "
                    f"got {tuple(mask.shape)}"
                )
            _check_mask(mask, size[0], size[1])
        field = "opacity"
        opacity = _check_opacity(layer.opacity)
        field = "name"
        check_name(layer.name)
        field = "visible"
        check_flag("visible", layer.visible)
        field = "clip"
        check_flag("clip", layer.clip)
        field = "model"
        if layer.model not in MODELS:
            raise ValueError(f"model must be 'standard' or 'layer', got {layer.model!r}")
        if layer.model == "standard":
            field = "blend"
            name = resolve_blend(layer.blend)
            field = "operator"
            operator = resolve_operator(layer.operator)
            check_operator_channels(operator, channels, "canvas")
        else:
            field = "blend"
            name = check_mode(layer.blend)
            field = "operator"
            if layer.operator != "source_over":
                raise ValueError(
                    "operator applies to the standard model only; a layer mode keeps the "
                    "canvas's alpha"
                )
            operator = layer.operator
            if premultiplied:
                field = "model"
                raise ValueError("the layer modes take straight colours, not premultiplied=True")
    except (TypeError, ValueError) as exc:
        raise _field_error(index, field, exc) from None
    return name, operator, opacity


def check_name(name: Any) -> None:
    if name is not None and not isinstance(name, str):
        raise TypeError(f"name must be a string or None, not {type(name).__name__}")


def check_flag(field: str, value: Any) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{field} must be True or False, not {type(value).__name__}")
    return bool(cast(bool, value))


_QUICK_TYPES = (np.dtype(np.uint8), np.dtype(np.float32))


def _plain_layer(layer: Any, channels: int) -> tuple[str, str, float] | None:
    """check_layer's result for the layer most stacks hold (a standard-model
    layer, an image of a type the loops read, no mask), checked cheaply;
    None sends the layer through the full checks."""
    if type(layer) is not Layer:
        return None
    image = layer.image
    operator = layer.operator
    opacity = layer.opacity
    if (
        type(image) is np.ndarray and layer.mask is None
        and layer.model == "standard" and image.ndim == 3 and image.shape[2] in (3, 4)
        and image.dtype in _QUICK_TYPES and type(layer.blend) is str
        and layer.blend in _BLEND_SET and type(operator) is str and operator in _OPERATOR_SET
        and operator not in CHANGES_WITHOUT_SOURCE and (channels == 4 or operator not in NEEDS_ALPHA)
        and (type(opacity) is float or type(opacity) is int) and 0 <= opacity <= 1
        and type(layer.x) is int and type(layer.y) is int
        and (layer.name is None or type(layer.name) is str)
    ):
        return layer.blend, operator, float(opacity)
    return None


def _plain_stack(
    canvas: np.ndarray, stack: list[Any], out: Image | None, kernel: KernelName, threads: Any,
    premultiplied: bool, scale: float,
) -> Image | None:
    """A stack of plain standard-model layers (no mask, visible, not clipped,
    uint8 images, an operator that leaves the backdrop outside the layer
    alone) on a uint8 canvas the loops read as it is, in one native call
    that checks every layer before it writes; None where the stack is not
    such, or the call refuses it (the general path then says why). Stacks
    of many small layers pay this per layer instead of a call each."""
    if type(threads) is not int or (threads != 1 and canvas.size >= 2 * _bands._MIN_BAND):
        return None
    uint8 = _QUICK_TYPES[0]
    records = tuple(
        (layer.blend, layer.operator, layer.opacity, layer.image, layer.x, layer.y)
        for layer in stack
        if type(layer) is Layer and layer.mask is None and layer.model == "standard"
        and layer.clip is False and layer.visible is True
        and layer.operator not in CHANGES_WITHOUT_SOURCE
        and type(layer.image) is np.ndarray and layer.image.dtype is uint8
    )
    if len(records) != len(stack) or not rows_readable(canvas, apart=True):
        return None
    result = canvas if out is not None else canvas.copy()
    try:
        composited: Any = _tarnwick._composite_layers(premultiplied, kernel, scale, result, records)
    except (TypeError, ValueError):
        return None
    return cast(Image, composited)


def check_canvas(canvas: Any, kernel: Any, premultiplied: Any) -> tuple[KernelName, bool]:
    """Raise what ``flatten`` raises for its canvas and options; return the
    kernel name and premultiplied. Reads only ``shape`` and ``dtype``."""
    shape = _check_image("canvas", canvas)
    if _native_dtype(np.dtype(canvas.dtype)) is None:
        raise TypeError(f"canvas must be a {IMAGE_TYPES} array, not {canvas.dtype}")
    if shape[2] not in (3, 4):
        raise ValueError(channels_error("canvas", shape))
    return check_kernel(kernel), check_premultiplied(premultiplied)


def check_layers(layers: Any) -> list[Any]:
    kind = type(layers).__name__
    if isinstance(layers, (Layer, np.ndarray, str)) or not isinstance(layers, Iterable):
        raise TypeError(f"layers must be a sequence of tarnwick.Layer, not {kind}")
    return list(cast(Any, layers))


def _step(
    layer: Layer, arrays: tuple[np.ndarray, np.ndarray | None], checked: tuple[str, str, float],
    kernel: KernelName, premultiplied: bool, numbers: _numbers.Numbers, canvas: np.ndarray,
    result: np.ndarray,
) -> _Step:
    name, operator, opacity = checked
    image, mask = arrays
    height, width = canvas.shape[:2]
    source = contiguous(image)
    spot = place(canvas.shape, source.shape, layer.x, layer.y)
    if layer.model == "layer" and (mask is not None or not spot.whole):
        # A layer mode with a mask or an offset takes tarnwick.blend's own
        # path: the layer is applied in a pass of its own, exactly as that
        # call applies it.
        weights = None if mask is None else mask_unless_full(mask)

        def whole(current: np.ndarray, out: np.ndarray, threads: int) -> None:
            blend_placed(name, current, source, opacity, kernel, out, current is out, weights,
                         threads, numbers, spot)

        return _Step(image, mask, None, whole)

    if layer.model == "standard":
        # As composite decides: float32 on another scale natively, the
        # rest converted piece by piece, and back into the canvas's type
        # after each layer, as one call per layer would.
        native_scale = scaled_natively(numbers, canvas.dtype, source.dtype, result.dtype)
        linear = linear_natively(numbers, canvas.dtype, source.dtype, result.dtype)
        scale = numbers.scale if native_scale else 255.0
        converted = None if native_scale or linear \
            or not numbers.needed(canvas.dtype, source.dtype) else numbers

        def native(b: np.ndarray, f: np.ndarray, o: np.ndarray, m: np.ndarray | None) -> None:
            _tarnwick._composite_into(name, operator, premultiplied, b, f, opacity, kernel, o, m,
                                      scale, linear)

        changes_outside = operator in CHANGES_WITHOUT_SOURCE
    else:
        layer_scale, converted = numbers.for_layer_modes(canvas.dtype, source.dtype)

        def native(b: np.ndarray, f: np.ndarray, o: np.ndarray, m: np.ndarray | None) -> None:
            _tarnwick._blend_into(name, b, f, opacity, kernel, o, m, layer_scale)

        changes_outside = False
    weights = None if mask is None else loop_mask(mask)
    grouped = layer.model == "layer"
    rows, cols = spot.backdrop
    layer_rows, layer_cols = spot.layer
    clear = transparent_layer(source.dtype, (height, width)) if changes_outside else None

    def run(b: np.ndarray, f: np.ndarray, o: np.ndarray, m: np.ndarray | None) -> None:
        if converted is None:
            native(b, f, o, m)
        else:
            run_banded(native, b, f, o, m, 1, converted, grouped)

    def band(reading: np.ndarray, out: np.ndarray, first: int, last: int) -> None:
        top, bottom = max(first, rows.start), min(last, rows.stop)
        if top < bottom:
            start = layer_rows.start + top - rows.start
            on_layer = slice(start, start + bottom - top)
            run(reading[top:bottom, cols], source[on_layer, layer_cols], out[top:bottom, cols],
                None if weights is None else weights[on_layer, layer_cols])
        if clear is not None:
            for rect_rows, rect_cols in spot.outside(height, width):
                top, bottom = max(first, rect_rows.start), min(last, rect_rows.stop)
                if top < bottom:
                    here = (slice(top, bottom), rect_cols)
                    run(reading[here], clear[here], out[here], None)
        elif reading is not out:
            _copy_outside(reading, out, spot, first, last)

    return _Step(image, mask, band, None)


def _plain_step(
    name: str, operator: str, opacity: float, image: np.ndarray, x: int, y: int,
    canvas_width: int,
) -> _Step:
    """The step of a standard-model layer the native loops read as it is,
    without a mask: stacks of many small layers pay this per layer, so it
    is a record the band loop runs inline."""
    height, width = image.shape[0], image.shape[1]
    left = x if x > 0 else 0
    right = max(left, min(x + width, canvas_width))
    return _Step(image, None, None, None, (
        name, operator, opacity, image, x, y, height, width,
        slice(left, right), slice(left - x, right - x),
    ))


def _copy_outside(
    reading: np.ndarray, out: np.ndarray, spot: Placement, first: int, last: int
) -> None:
    """Rows [first, last) of `reading` into `out` where the layer leaves them."""
    for rect_rows, rect_cols in spot.outside(reading.shape[0], reading.shape[1]):
        top, bottom = max(first, rect_rows.start), min(last, rect_rows.stop)
        if top < bottom:
            out[top:bottom, rect_cols] = reading[top:bottom, rect_cols]


# The result has the type of `out` when given, else the canvas's.
@overload
def flatten(
    canvas: npt.ArrayLike, layers: Iterable[Layer | Group], *, out: ImageT, kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> ImageT: ...
@overload
def flatten(
    canvas: U8Image, layers: Iterable[Layer | Group], *, out: None = ..., kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> U8Image: ...
@overload
def flatten(
    canvas: U16Image, layers: Iterable[Layer | Group], *, out: None = ..., kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> U16Image: ...
@overload
def flatten(  # type: ignore[overload-overlap]  # NumPy's float types share a base
    canvas: F32Image, layers: Iterable[Layer | Group], *, out: None = ..., kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> F32Image: ...
@overload
def flatten(
    canvas: F64Image, layers: Iterable[Layer | Group], *, out: None = ..., kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> F64Image: ...
@overload
def flatten(
    canvas: npt.ArrayLike, layers: Iterable[Layer | Group], *, out: None = ..., kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> Image: ...
def flatten(
    canvas: npt.ArrayLike,
    layers: Iterable[Layer | Group],
    *,
    out: Image | None = None,
    kernel: Kernel = "auto",
    threads: int | None = 1,
    premultiplied: bool = False,
    float_scale: float = _floats.DEFAULT_SCALE,
    space: Space | str = "srgb",
) -> Image:
    """Composite `layers`, bottom first, onto `canvas` in one pass.

    Parameters
    ----------
    canvas : array_like, shape (height, width, 3 or 4)
        uint8, uint16 (0..65535), float32 or float64 (on 0..`float_scale`);
        it may be fully transparent, and a region of a larger array.
    layers : iterable of Layer
        Each with its image (any dtype and channel count the two-image calls
        take, and any size: it lands with its top-left pixel at column
        `x`, row `y` of the canvas, as in ``tarnwick.composite``; or a
        colour, which covers the canvas), blend, opacity, optional mask
        (the image's size) and, for the standard model, operator. Only the
        rows and columns a layer overlaps are worked on. A ``tarnwick.Group``
        stands for its layers (isolated or pass-through, nested to any
        depth), ``Layer(..., clip=True)`` clips a layer to the one below it
        in its group, and hidden layers (``visible=False``) are skipped; an
        isolated group or clipping run is drawn onto a scratch picture of
        its own extent (float32 for integer canvases) and composited as one
        layer.
    out : ndarray, optional
        Receives the result (the canvas's dtype and shape); it may be the
        canvas itself.
    kernel, threads
        As for ``tarnwick.composite``; bands of the canvas are shared among
        the threads and the result does not depend on their number.
    premultiplied : bool
        The canvas and every standard-model layer hold premultiplied
        colours, and so does the result.
    float_scale, space
        As for ``tarnwick.composite``; with space="linear" every layer
        (layer modes too) is composited in linear light, and the canvas is
        encoded back after each layer, as one call per layer would.

    Returns
    -------
    ndarray
        Bit for bit what applying the layers one call at a time gives
        (``composite(..., out=canvas)`` or ``blend(..., out=canvas)``). A
        layer-model layer with a mask is applied in a pass of its own.

    Every layer is checked before a pixel is written; errors name the layer
    (``layers[3].mask must have shape ...``). Each layer's image and mask
    are converted to arrays once, and the arrays checked are the ones
    composited; a masked array's hidden mask entries count as 0.
    """
    canvas = as_image(canvas)
    kernel_name, premultiplied = check_canvas(canvas, kernel, premultiplied)
    numbers = check_numbers(float_scale, space, premultiplied)
    stack = check_layers(layers)
    if (out is None or out is canvas) and canvas.dtype is _QUICK_TYPES[0] and not numbers.linear:
        done = _plain_stack(canvas, stack, out, kernel_name, threads, premultiplied, numbers.scale)
        if done is not None:
            return done
    if any(isinstance(layer, Group)
           or isinstance(layer, Layer) and (layer.clip is not False or layer.visible is not True)
           for layer in stack):
        # Groups, clipping and hidden layers: the tree's own route, which
        # runs the plain lists inside it through this one.
        from tarnwick import _tree

        return _tree.flatten_tree(canvas, stack, out, kernel_name, threads, premultiplied,
                                  float_scale, space)
    arrays: list[tuple[np.ndarray, np.ndarray | None]] = []
    checked: list[tuple[str, str, float]] = []
    channels = canvas.shape[2]
    # Plain layers over a canvas the loops read as it is get their steps at
    # once (the rest once `out` is settled).
    quick = canvas.dtype in _QUICK_TYPES and not numbers.linear
    plain_steps: dict[int, _Step] = {}
    for i, layer in enumerate(stack):
        plain = _plain_layer(layer, channels) if quick else None
        if plain is not None and rows_readable(layer.image):
            arrays.append((layer.image, None))
            checked.append(plain)
            plain_steps[i] = _plain_step(*plain, layer.image, layer.x, layer.y, canvas.shape[1])
            continue
        arrays.append(layer_arrays(i, layer, canvas, numbers.scale))
        checked.append(check_layer(i, layer, canvas.shape, premultiplied, arrays[-1]))
    _floats.warn_if_unit(float_scale, ("canvas", canvas),
                         *((f"layers[{i}].image", a[0]) for i, a in enumerate(arrays)
                           if a[0].dtype.kind == "f"))
    count = check_threads(threads)
    in_place = False
    if out is not None:
        in_place = check_out(out, canvas, np.empty(0, np.uint8), None, ("canvas", "canvas"))
        for i, (image, mask) in enumerate(arrays):
            if _overlaps(out, image):
                raise ValueError(f"out must not overlap the layers[{i}].image")
            if mask is not None and _overlaps(out, mask):
                raise ValueError(f"out must not overlap layers[{i}].mask")

    result = np.empty(canvas.shape, _native_dtype(np.dtype(canvas.dtype))) if out is None else out
    current = result if in_place else contiguous(canvas)
    steps = [plain_steps[i] if i in plain_steps
             else _step(layer, a, c, kernel_name, premultiplied, numbers, current, result)
             for i, (layer, a, c) in enumerate(zip(stack, arrays, checked))]
    if not steps:
        if not in_place:
            np.copyto(result, current)
        return result

    height, width, channels = canvas.shape
    # Bands of whole rows that start on multiples of 64 pixels.
    step_rows = _GRANULE // math.gcd(width, _GRANULE) if width else 1
    row_bytes = max(1, width * channels * result.itemsize)
    per_band = max(step_rows, _BAND_BYTES // row_bytes // step_rows * step_rows)
    bands = [(top, min(height, top + per_band)) for top in range(0, height, per_band)]
    workers = min(count, len(bands))

    # Untyped: the loop passes views of the canvas, whose type it checked.
    composite_into: Any = _tarnwick._composite_into
    scale = numbers.scale

    def run(group: list[_Step], source: np.ndarray) -> None:
        def worker(first: int) -> None:
            for top, bottom in bands[first::workers]:
                reading = source
                for step in group:
                    plain = step.plain
                    if plain is None:
                        assert step.band is not None
                        step.band(reading, result, top, bottom)
                        reading = result
                        continue
                    # Inline: a stack of many small layers pays this per layer.
                    name, operator, opacity, image, x, y, rows, _, cols, image_cols = plain
                    start = top if top > y else y
                    stop = bottom if bottom < y + rows else y + rows
                    if start < stop and cols.start < cols.stop:
                        composite_into(name, operator, premultiplied, reading[start:stop, cols],
                                       image[start - y:stop - y, image_cols], opacity,
                                       kernel_name, result[start:stop, cols], None, scale)
                    if reading is not result:
                        spot = place((height, width), plain[6:8], x, y)
                        _copy_outside(reading, result, spot, top, bottom)
                        reading = result

        run_bands(worker, workers)

    group: list[_Step] = []
    for step in steps:
        if step.band is not None or step.plain is not None:
            group.append(step)
            continue
        if group:
            run(group, current)
            current, group = result, []
        assert step.whole is not None
        step.whole(current, result, count)
        current = result
    if group:
        run(group, current)
    return result
