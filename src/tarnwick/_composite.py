"""``tarnwick.composite``: the standard compositing model, a blend function
mixed by the backdrop's alpha and then a Porter-Duff operator, so that a
layer over a transparent canvas is the layer.

The arguments are checked as ``tarnwick.blend`` checks its own (the same
helpers), all before a pixel is written; the image is then composited into
``out`` in bands of whole pixel runs through the module's private
``_composite_into``, which applies the mask in its own loops. Bands start on
multiples of 64 pixels, so the result does not depend on the thread count.
"""

from __future__ import annotations

from typing import Any, cast, overload

import numpy as np
import numpy.typing as npt

import _tarnwick
from tarnwick import _bands, _batch, _floats, _numbers

from ._bands import run_banded
from ._checks import (
    as_image,
    check_out,
    check_threads,
    contiguous,
    _may_share_memory,
    plain_mask,
    check_numbers,
    check_pair,
    check_premultiplied,
    loop_mask,
    mask_dtype,
)
from ._names import (
    CHANGES_WITHOUT_SOURCE,
    _BLEND_SET,
    _KERNEL_SET,
    _OPERATOR_SET,
    check_operator_channels,
    resolve_blend,
    resolve_operator,
)
from ._place import check_offset, colour_layer, is_colour, place, transparent_layer
from tarnwick._typing import (
    Blend,
    BlendName,
    F32Image,
    F64Image,
    Image,
    ImageT,
    Kernel,
    KernelName,
    Mask,
    Operator,
    OperatorName,
    Space,
    U8Image,
    U16Image,
)


NAMES = ("backdrop", "source")

# The element types the native loops read as they are: uint8 and float32 in
# any mix, uint16 with uint16 only.
_NATIVE_TYPES = (np.dtype(np.uint8), np.dtype(np.float32))
_UINT16 = np.dtype(np.uint16)
_UINT8 = np.dtype(np.uint8)


def check_composite(
    backdrop: Any,
    source: Any,
    blend: Any = "normal",
    opacity: Any = 1.0,
    operator: Any = "source_over",
    premultiplied: Any = False,
    kernel: Any = "auto",
    mask: Any = None,
    placed: bool = False,
) -> tuple[Blend, Operator, bool, float, KernelName]:
    """Raise what ``composite`` raises for one image's arguments; return the
    blend, the operator, premultiplied, the opacity and the kernel name.

    Reads only ``shape`` and ``dtype`` of the arrays (NumPy, Dask, ...).
    """
    name = resolve_blend(blend)
    checked_operator = resolve_operator(operator)
    checked_premultiplied = check_premultiplied(premultiplied)
    checked_opacity, kernel_name = check_pair(backdrop, source, opacity, kernel, mask, NAMES,
                                                  placed)
    check_operator_channels(checked_operator, backdrop.shape[-1])
    return name, checked_operator, checked_premultiplied, checked_opacity, kernel_name


def runs(image: np.ndarray) -> np.ndarray:
    """A C-contiguous image as one (pixels, 1, channels) run, whose slices
    are the runs the native entries take."""
    return image.reshape(-1, 1, image.shape[-1])


def composite_rows(
    blend: str, operator: str, premultiplied: bool, backdrop: np.ndarray, source: np.ndarray,
    opacity: float, kernel: KernelName, out: np.ndarray, weights: np.ndarray | None, start: int, stop: int,
    float_scale: float = 255.0,
) -> None:
    """Pixels [start, stop) through the native loops: the images as
    ``runs``, `weights` the flattened mask or None, float32 images on
    0..`float_scale`."""
    _tarnwick._composite_into(
        blend, operator, premultiplied, backdrop[start:stop], source[start:stop], opacity, kernel,
        out[start:stop], None if weights is None else weights[start:stop], float_scale,
    )


def scaled_natively(numbers: _numbers.Numbers, *dtypes: np.dtype) -> bool:
    """Whether the native loops read and write these images as they are,
    float32 at the call's float_scale included."""
    if numbers.linear:
        return False
    return (all(dtype in _NATIVE_TYPES for dtype in dtypes)
            or all(dtype == _UINT16 for dtype in dtypes))


def linear_natively(numbers: _numbers.Numbers, *dtypes: np.dtype) -> bool:
    """Whether the native loops composite these images in linear light
    themselves (uint8 only; the rest is converted piece by piece)."""
    return numbers.linear and all(dtype == _UINT8 for dtype in dtypes)


def _native_composite(
    blend: str, operator: str, premultiplied: bool, backdrop: Any, source: Any, opacity: Any,
    kernel: Any, out: Any,
) -> None:
    # The native call checks these itself (the fast path relies on that), so
    # they reach it untyped.
    _tarnwick._composite_into(blend, operator, premultiplied, backdrop, source, opacity, kernel,
                              out, None)


def flat_mask(mask: np.ndarray | None) -> np.ndarray | None:
    """The mask as one native uint8 or float32 value per pixel, in order."""
    if mask is None:
        return None
    flat = mask.reshape(-1)
    dtype = mask_dtype(flat.dtype)
    if flat.dtype == dtype and flat.flags.c_contiguous and flat.flags.aligned:
        return flat
    return np.ascontiguousarray(flat, dtype=dtype)


# The result has the type of `out` when given, else the backdrop's.
@overload
def composite(
    backdrop: npt.ArrayLike, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: ImageT, mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
    x: int = ..., y: int = ...,
) -> ImageT: ...
@overload
def composite(
    backdrop: U8Image, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: None = ..., mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
    x: int = ..., y: int = ...,
) -> U8Image: ...
@overload
def composite(
    backdrop: U16Image, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: None = ..., mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
    x: int = ..., y: int = ...,
) -> U16Image: ...
@overload
def composite(  # type: ignore[overload-overlap]  # NumPy's float types share a base
    backdrop: F32Image, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: None = ..., mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
    x: int = ..., y: int = ...,
) -> F32Image: ...
@overload
def composite(
    backdrop: F64Image, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: None = ..., mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
    x: int = ..., y: int = ...,
) -> F64Image: ...
@overload
def composite(
    backdrop: npt.ArrayLike, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: None = ..., mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
    x: int = ..., y: int = ...,
) -> Image: ...
def composite(
    backdrop: npt.ArrayLike,
    source: npt.ArrayLike,
    blend: BlendName | str = "normal",
    opacity: float | npt.ArrayLike = 1.0,
    *,
    operator: OperatorName | str = "source_over",
    premultiplied: bool = False,
    kernel: Kernel | str = "auto",
    out: Image | None = None,
    mask: Mask | None = None,
    threads: int | None = 1,
    float_scale: float = _floats.DEFAULT_SCALE,
    space: Space | str = "srgb",
    x: int = 0,
    y: int = 0,
) -> Image:
    """Composite `source` onto `backdrop` in the standard compositing model.

    With straight colours Cb, Cs and alphas ab, as on 0..1 (as already
    multiplied by the opacity and the mask; 3 channels mean alpha 1), the
    blended source is Cs' = (1 - ab) Cs + ab B(Cb, Cs), and the operator's
    factors (Fa, Fb) give co = as Fa Cs' + ab Fb Cb and ao = as Fa + ab Fb.
    The stored colour is co / ao (0 where ao is 0), or co when
    `premultiplied`; the alpha is ao. A layer over a fully transparent
    backdrop with "source_over" is the layer: uint8 and uint16 exactly;
    float32 to rounding, within one ulp for whole numbers (uint8 values
    held as floats) and within a relative 2**-21 for any value, as the
    colour goes through the division by ao.

    Keeping the backdrop: where the operator leaves the backdrop pixel as it
    is, its stored values are copied, not composited again. That is every
    pixel under "destination"; pixels where the source's alpha (times the
    opacity and the mask) is 0 under "source_over", "destination_over",
    "destination_out", "source_atop", "xor" and "plus_lighter"; and pixels
    where it is full under "destination_in". There a colour under alpha 0
    stays as stored, and so does a premultiplied colour above its alpha.

    Parameters
    ----------
    backdrop, source : array_like, shape (..., height, width, 3 or 4)
        uint8, uint16 (0..65535), float32 or float64 images (on
        0..`float_scale`; float64 is converted a band at a time);
        they may differ in type, channel count and size (see `x`, `y`).
        Leading dimensions (frames) broadcast as NumPy's do, and each frame
        is composited as a call of its own would. Either may be a region
        of a larger array (a slice of rows and columns), read and written
        where it lies. The source may also be a colour: 3 or 4 numbers in
        the source's scale (a sequence takes the backdrop's type), or an
        array of shape (C,) or (1, 1, C); it covers the backdrop, and with
        a mask it is a fill layer.
    blend : str
        One of ``tarnwick.BLENDS``: the 16 blend modes of the W3C
        recommendation ("normal", "multiply", ..., "hue", "luminosity") and
        "linear_dodge", "linear_burn", "subtract", "divide", "vivid_light",
        "linear_light", "pin_light", "hard_mix", "darker_color",
        "lighter_color". The CSS spellings with hyphens are accepted.
    opacity : float or array_like
        Multiplies the source's alpha: 0..1, and above 1 raises ValueError
        (80 is most likely 0.8); an array broadcasts against the
        leading dimensions (a fade across frames).
    operator : str
        One of ``tarnwick.OPERATORS``, the Porter-Duff operators and
        "plus_lighter". A 3-channel backdrop is opaque: the operators that
        can make it transparent raise ValueError there.
    premultiplied : bool
        The inputs' colours are premultiplied by their alpha, and so is the
        result. A colour above its alpha is taken as the alpha, except in a
        backdrop pixel that is kept (see above), which is copied as stored.
    kernel, out, mask, threads
        As for ``tarnwick.blend``: `out` may be the backdrop itself, `mask`
        (height, width) or (height, width, 1) multiplies the source's alpha,
        and the result does not depend on `threads`.
    float_scale : float
        As for ``tarnwick.blend``: 255 (the default), or 1.0 for float
        images and a float result on 0..1.
    x, y : int
        The backdrop column and row the source's top-left pixel lands on;
        any integers. Only the overlap is composited. Outside the source's
        rectangle the source is transparent: the backdrop's pixels keep
        their stored values, except under the operators a transparent
        source changes ("clear", "copy", "source_in", "destination_in",
        "source_out", "destination_atop"), which apply to the whole
        backdrop. The result equals the call on the source padded with
        transparent pixels to the backdrop's size.
    space : str
        "srgb" (the default) composites the stored values as they are;
        "linear" decodes the colours with the sRGB transfer curve (tables
        for uint8 and uint16), composites in linear light (float32) and
        encodes the result back, rounded to the nearest stored value. Alpha
        is never decoded. Straight colours only.

    Returns
    -------
    ndarray
        `out` when given, else a new array with the backdrop's dtype and
        channel count and the broadcast leading shape.

    A call that raises writes nothing into `out`. Float images within 0..1
    given without `float_scale` give a warning (a sample is looked at).
    """
    _floats.warn_if_unit(float_scale, ("backdrop", backdrop), ("source", source))
    if (
        mask is None
        and type(threads) is int and threads >= 1
        and type(blend) is str and blend in _BLEND_SET
        and type(operator) is str and operator in _OPERATOR_SET
        and type(kernel) is str and kernel in _KERNEL_SET
        and (type(opacity) is float or type(opacity) is int) and 0 <= opacity <= 1
        and type(premultiplied) is bool
        and type(float_scale) is float and float_scale == 255.0 and space == "srgb"
        and type(x) is int and type(y) is int and x == 0 and y == 0
        and type(backdrop) is np.ndarray and type(source) is np.ndarray
        and backdrop.ndim == 3 and source.ndim == 3
        and (backdrop.dtype in _NATIVE_TYPES and source.dtype in _NATIVE_TYPES
             or backdrop.dtype == _UINT16 == source.dtype)
        # One band: one thread, or an image too small for a second band.
        and (threads == 1 or backdrop.size < 2 * _bands._MIN_BAND)
    ):
        # The common call, checked cheaply: the native call checks the rest
        # before it writes anything, and on its refusal the full checks
        # below say exactly what is wrong. Only overlaps it does not check.
        try:
            if out is None:
                fresh = cast(Image, np.empty(backdrop.shape, backdrop.dtype))
                _native_composite(blend, operator, premultiplied, backdrop, source, opacity,
                                  kernel, fresh)
                return fresh
            if type(out) is np.ndarray and (
                out is backdrop or not _may_share_memory(out, backdrop)
            ) and not _may_share_memory(out, source):
                _native_composite(blend, operator, premultiplied, backdrop, source, opacity,
                                  kernel, out)
                return out
        except (TypeError, ValueError):
            pass
    backdrop = as_image(backdrop)
    numbers = check_numbers(float_scale, space, check_premultiplied(premultiplied))
    if is_colour(source):
        source = colour_layer("source", source, backdrop.dtype, backdrop.shape[-3:-1],
                              numbers.scale)
    source = as_image(source)
    # As in blend: hidden entries of a masked array weigh 0, and the overlap
    # check sees the mask as given.
    given_mask = mask
    if mask is not None:
        mask = plain_mask(mask)
    column, row = check_offset("x", x), check_offset("y", y)
    if _batch.is_batch(backdrop, source, opacity, mask):
        frames: Image = _batch.run_frames(
            lambda b, s, o, into, m, t: composite(
                b, s, cast(BlendName, blend), o, operator=cast(OperatorName, operator),
                premultiplied=premultiplied, kernel=cast(Kernel, kernel), out=into, mask=m,
                threads=t, float_scale=_floats.passed_on(float_scale), space=cast(Space, space),
                x=column, y=row),
            lambda b, s, o, m: check_composite(b, s, blend, o, operator, premultiplied, kernel, m,
                                               placed=True),
            backdrop, source, opacity, mask, out, threads, NAMES,
        )
        return frames
    name, operator_name, premultiplied, opacity_value, kernel_name = check_composite(
        backdrop, source, blend, opacity, operator, premultiplied, kernel, mask, placed=True
    )
    count = check_threads(threads)
    in_place = False
    if out is not None:
        in_place = check_out(out, backdrop, source, given_mask, NAMES)

    bg = out if out is not None and in_place else contiguous(backdrop)
    fg = contiguous(source)
    weights = None if mask is None else loop_mask(mask)
    result: Image = cast(Image, np.empty(bg.shape, bg.dtype)) if out is None else out
    native_scale = scaled_natively(numbers, bg.dtype, fg.dtype, result.dtype)
    linear = linear_natively(numbers, bg.dtype, fg.dtype, result.dtype)
    converted = not native_scale and not linear and numbers.needed(bg.dtype, fg.dtype)
    scale = numbers.scale if native_scale else 255.0

    def native(b: np.ndarray, f: np.ndarray, o: np.ndarray, m: np.ndarray | None) -> None:
        _tarnwick._composite_into(name, operator_name, premultiplied, b, f, opacity_value,
                                  kernel_name, o, m, scale, linear)

    def run(b: np.ndarray, f: np.ndarray, o: np.ndarray, m: np.ndarray | None) -> None:
        run_banded(native, b, f, o, m, count, numbers if converted else None)

    spot = place(bg.shape, fg.shape, column, row)
    if spot.whole:
        run(bg, fg, result, weights)
        return result
    height, width = bg.shape[:2]
    for rect in spot.outside(height, width):
        if operator_name in CHANGES_WITHOUT_SOURCE:
            rows, cols = rect
            run(bg[rect], transparent_layer(fg.dtype, (rows.stop - rows.start,
                                                       cols.stop - cols.start)),
                result[rect], None)
        elif not in_place:
            result[rect] = bg[rect]
    if not spot.empty:
        run(bg[spot.backdrop], fg[spot.layer], result[spot.backdrop],
            None if weights is None else weights[spot.layer])
    return result
