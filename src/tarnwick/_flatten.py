"""``tarnwick.flatten``: a stack of layers composited onto a canvas in one
pass over memory.

The canvas is cut into bands of about ``_BAND_BYTES`` that start on
multiples of 64 pixels; every layer is applied to a band while it is in
cache before the next band is read, and bands are shared among the threads.
Each layer's native call on a band gives the pixels the call on the whole
image gives (runs that start on multiples of 64 pixels keep the vector
grouping), so the result is bit-identical to one call per layer.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any, Callable, Iterable, cast, overload

import numpy as np
import numpy.typing as npt

import _tarnwick
from tarnwick import _floats, _numbers
from tarnwick._bands import _GRANULE, pieces, run_bands
from tarnwick._blend import _blend_converted, blend
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
)
from tarnwick._composite import composite_rows, flat_mask, runs
from tarnwick._names import (
    check_kernel,
    check_mode,
    check_operator_channels,
    resolve_blend,
    resolve_operator,
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

    @classmethod
    def layer_mode(
        cls, image: npt.ArrayLike, mode: Mode = "normal", opacity: float = 1.0,
        mask: npt.ArrayLike | None = None,
    ) -> Layer:
        """A layer composited with one of the 28 layer modes of ``tarnwick.blend``."""
        return cls(image, mode, opacity, mask, model="layer")


@dataclass
class _Step:
    """One checked layer: its native call on pixels [start, stop) of the
    canvas given as ``runs`` (reading, writing), or, for a layer mode with a
    mask, a whole-image call of its own."""

    image: np.ndarray
    mask: np.ndarray | None
    band: Callable[[np.ndarray, np.ndarray, int, int], None] | None
    whole: Callable[[np.ndarray, np.ndarray, int], None] | None


def _field_error(index: int, field: str, exc: Exception) -> Exception:
    text = str(exc)
    where = f"layers[{index}]."
    message = where + text if text.startswith(field) else f"{where}{field}: {text}"
    return type(exc)(message)


def _shaped(value: Any) -> Any:
    # Anything with a shape and dtype (NumPy, Dask) is checked as it is.
    return value if hasattr(value, "shape") and hasattr(value, "dtype") else np.asarray(value)


def layer_arrays(index: int, layer: Any) -> tuple[np.ndarray, np.ndarray | None]:
    """The image and mask of ``layers[index]`` as the arrays that will be
    composited, each converted once: an object that reports one shape but
    converts to another is checked, and composited, as what it converts to.
    A masked array's hidden mask entries weigh 0, as in ``blend``."""
    if not isinstance(layer, Layer):
        raise TypeError(f"layers[{index}] must be a tarnwick.Layer, not {type(layer).__name__}")
    field = "image"
    try:
        image = as_image(layer.image)
        field = "mask"
        mask = None if layer.mask is None else plain_mask(layer.mask)
    except (TypeError, ValueError) as exc:
        raise _field_error(index, field, exc) from None
    return image, mask


def check_layer(
    index: int, layer: Any, canvas_shape: tuple[int, ...], premultiplied: bool,
    arrays: tuple[Any, Any] | None = None,
) -> tuple[str, str, float]:
    """Raise what ``flatten`` raises for ``layers[index]``; return its blend
    (or layer mode), operator and opacity. Reads only ``shape`` and
    ``dtype`` of its arrays: of `arrays` (image, mask) when given, else of
    the layer's own."""
    if not isinstance(layer, Layer):
        raise TypeError(f"layers[{index}] must be a tarnwick.Layer, not {type(layer).__name__}")
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
        if tuple(image.shape[:2]) != (height, width):
            raise ValueError(
                f"image must have height and width {(height, width)} like the canvas, "
                f"got {tuple(image.shape[:2])}"
            )
        field = "mask"
        if layer.mask is not None:
            mask = _shaped(layer.mask) if arrays is None else arrays[1]
            if tuple(mask.shape) not in ((height, width), (height, width, 1)):
                raise ValueError(
                    f"mask must have shape {(height, width)} or {(height, width, 1)} like the "
                    f"canvas, got {tuple(mask.shape)}"
                )
            _check_mask(mask, height, width)
        field = "opacity"
        opacity = _check_opacity(layer.opacity)
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
    kernel: KernelName, premultiplied: bool, numbers: _numbers.Numbers,
    canvas_dtype: np.dtype[Any],
) -> _Step:
    name, operator, opacity = checked
    image, mask = arrays
    source = contiguous(image)
    layer_runs = runs(source)
    # Converted piece by piece, and back into the canvas's type after each
    # layer, as one call per layer would.
    converted = numbers.needed(canvas_dtype, source.dtype)
    if layer.model == "standard":
        weights = flat_mask(mask)

        def native(b: np.ndarray, f: np.ndarray, o: np.ndarray, start: int, stop: int) -> None:
            _tarnwick._composite_into(name, operator, premultiplied, b, f, opacity, kernel, o,
                                      None if weights is None else weights[start:stop])

        def band(current: np.ndarray, out: np.ndarray, start: int, stop: int) -> None:
            if converted:
                _numbers.run_converted(native, current, layer_runs, out, start, stop, numbers)
                return
            composite_rows(name, operator, premultiplied, current, layer_runs, opacity, kernel, out,
                           weights, start, stop)

        return _Step(image, mask, band, None)
    if mask is None:
        def layer_native(b: np.ndarray, f: np.ndarray, o: np.ndarray, start: int, stop: int) -> None:
            _tarnwick._blend_into(name, b, f, opacity, kernel, o)

        def layer_band(current: np.ndarray, out: np.ndarray, start: int, stop: int) -> None:
            if converted:
                _numbers.run_converted(layer_native, current, layer_runs, out, start, stop, numbers)
                return
            layer_native(current[start:stop], layer_runs[start:stop], out[start:stop], start, stop)

        return _Step(image, mask, layer_band, None)

    # The layer modes take a mask through tarnwick.blend's own path: the
    # layer is applied in a pass of its own, exactly as that call applies it.
    def whole(current: np.ndarray, out: np.ndarray, threads: int) -> None:
        if converted:
            _blend_converted(name, current, source, opacity, kernel, out, current is out,
                             np.asarray(mask),
                             threads, numbers)
            return
        blend(current, source, cast(Mode, name), opacity, kernel=kernel, out=out, mask=mask,
              threads=threads, float_scale=_floats.CHECKED_SCALE)

    return _Step(image, mask, None, whole)


# The result has the type of `out` when given, else the canvas's.
@overload
def flatten(
    canvas: npt.ArrayLike, layers: Iterable[Layer], *, out: ImageT, kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> ImageT: ...
@overload
def flatten(
    canvas: U8Image, layers: Iterable[Layer], *, out: None = ..., kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> U8Image: ...
@overload
def flatten(
    canvas: U16Image, layers: Iterable[Layer], *, out: None = ..., kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> U16Image: ...
@overload
def flatten(  # type: ignore[overload-overlap]  # NumPy's float types share a base
    canvas: F32Image, layers: Iterable[Layer], *, out: None = ..., kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> F32Image: ...
@overload
def flatten(
    canvas: F64Image, layers: Iterable[Layer], *, out: None = ..., kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> F64Image: ...
@overload
def flatten(
    canvas: npt.ArrayLike, layers: Iterable[Layer], *, out: None = ..., kernel: Kernel = ...,
    threads: int | None = ..., premultiplied: bool = ..., float_scale: float = ...,
    space: Space | str = ...,
) -> Image: ...
def flatten(
    canvas: npt.ArrayLike,
    layers: Iterable[Layer],
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
        it may be fully transparent.
    layers : iterable of Layer
        Each with its image (any dtype and channel count the two-image calls
        take, of the canvas's height and width), blend, opacity, optional
        mask and, for the standard model, operator.
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
    arrays: list[tuple[np.ndarray, np.ndarray | None]] = []
    checked: list[tuple[str, str, float]] = []
    for i, layer in enumerate(stack):
        arrays.append(layer_arrays(i, layer))
        checked.append(check_layer(i, layer, canvas.shape, premultiplied, arrays[-1]))
    _floats.warn_if_unit(float_scale, ("canvas", canvas),
                         *((f"layers[{i}].image", a[0]) for i, a in enumerate(arrays)))
    count = check_threads(threads)
    canvas_dtype = _native_dtype(np.dtype(canvas.dtype))
    assert canvas_dtype is not None
    steps = [_step(layer, a, c, kernel_name, premultiplied, numbers, canvas_dtype)
             for layer, a, c in zip(stack, arrays, checked)]
    in_place = False
    if out is not None:
        in_place = check_out(out, canvas, np.empty(0, np.uint8), None, ("canvas", "canvas"))
        for i, step in enumerate(steps):
            check_out(out, canvas, step.image, None, ("canvas", f"layers[{i}].image"))
            if step.mask is not None and _overlaps(out, step.mask):
                raise ValueError(f"out must not overlap layers[{i}].mask")

    result = np.empty(canvas.shape, _native_dtype(np.dtype(canvas.dtype))) if out is None else out
    current = result if in_place else contiguous(canvas)
    if not steps:
        if not in_place:
            np.copyto(result, current)
        return result

    height, width, channels = canvas.shape
    pixels = height * width
    per_band = max(_GRANULE, _BAND_BYTES // (channels * result.itemsize) // _GRANULE * _GRANULE)
    bands = pieces(0, pixels, -(-pixels // per_band)) if pixels else []
    workers = min(count, len(bands))

    into = runs(result)

    def run(group: list[_Step], source: np.ndarray) -> None:
        below = runs(source)

        def worker(first: int) -> None:
            for start, stop in bands[first::workers]:
                reading = below
                for step in group:
                    assert step.band is not None
                    step.band(reading, into, start, stop)
                    reading = into

        run_bands(worker, workers)

    group: list[_Step] = []
    for step in steps:
        if step.band is not None:
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
