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

import difflib
from typing import Any, cast, overload

import numpy as np
import numpy.typing as npt

import _tarnwick
from tarnwick._api import (
    _KERNEL_SET,
    _MIN_BAND,
    _may_share_memory,
    MODES,
    _as_image,
    _check_out,
    _plain_mask,
    _band_count,
    _check_threads,
    _contiguous,
    _pieces,
    _run_bands,
    check_pair,
    mask_dtype,
)
from tarnwick import _batch, _floats, _numbers
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

# The native entry takes these names in this order.
BLENDS: tuple[Blend, ...] = (
    "normal", "multiply", "screen", "overlay", "darken", "lighten", "color_dodge",
    "color_burn", "hard_light", "soft_light", "difference", "exclusion", "hue",
    "saturation", "color", "luminosity", "linear_dodge", "linear_burn", "subtract",
    "divide", "vivid_light", "linear_light", "pin_light", "hard_mix", "darker_color",
    "lighter_color",
)

OPERATORS: tuple[Operator, ...] = (
    "clear", "copy", "destination", "source_over", "destination_over", "source_in",
    "destination_in", "source_out", "destination_out", "source_atop", "destination_atop",
    "xor", "plus_lighter",
)

# Operators whose result can be transparent where the backdrop is opaque: a
# 3-channel result has nowhere to put that alpha.
NEEDS_ALPHA = frozenset({
    "clear", "copy", "source_in", "source_out", "destination_in", "destination_out",
    "destination_atop", "xor",
})

NAMES = ("backdrop", "source")

_BLEND_SET = frozenset(BLENDS)
_OPERATOR_SET = frozenset(OPERATORS)
# The element types the native loops read as they are (on 0..255).
_NATIVE_TYPES = (np.dtype(np.uint8), np.dtype(np.float32))


def _canonical(name: str) -> str:
    # CSS spells the names with hyphens.
    return name.replace("-", "_")


def _closest(name: str, names: tuple[str, ...]) -> str:
    close = difflib.get_close_matches(name, names, n=3, cutoff=0.5)
    return ", ".join(repr(n) for n in close)


def standard_family(name: str) -> str | None:
    """"a blend function" or "an operator" when `name` belongs only to the
    standard model, for the error of a layer-model call given it."""
    canonical = _canonical(name)
    if canonical in MODES:
        return None
    if canonical in BLENDS:
        return "a blend function"
    if canonical in OPERATORS:
        return "an operator"
    return None


def resolve_blend(name: Any) -> Blend:
    """The blend function's name in ``BLENDS``, or a one-line error."""
    if not isinstance(name, str):
        raise TypeError(f"blend must be a string, one of tarnwick.BLENDS, not {type(name).__name__}")
    canonical = _canonical(name)
    if canonical in BLENDS:
        return canonical
    close = _closest(canonical, BLENDS)
    hint = f"; closest: {close}" if close else ""
    if canonical in MODES:
        raise ValueError(
            f"blend {name!r} is a layer mode of tarnwick.blend, not a blend function of "
            f"tarnwick.composite{hint}"
        )
    if canonical in OPERATORS:
        raise ValueError(f"blend {name!r} is an operator: pass it as operator={canonical!r}")
    raise ValueError(f"blend must be one of tarnwick.BLENDS, got {name!r}{hint}")


def resolve_operator(name: Any) -> Operator:
    """The operator's name in ``OPERATORS``, or a one-line error."""
    if not isinstance(name, str):
        raise TypeError(
            f"operator must be a string, one of tarnwick.OPERATORS, not {type(name).__name__}"
        )
    canonical = _canonical(name)
    if canonical in OPERATORS:
        return canonical
    if canonical in BLENDS or canonical in MODES:
        raise ValueError(f"operator {name!r} is a blend mode: pass it as blend={canonical!r}")
    close = _closest(canonical, OPERATORS)
    hint = f"; closest: {close}" if close else ""
    raise ValueError(f"operator must be one of tarnwick.OPERATORS, got {name!r}{hint}")


def check_premultiplied(premultiplied: Any) -> bool:
    # A string such as "no" would be true: only real booleans are taken.
    if not isinstance(premultiplied, (bool, np.bool_)):
        raise TypeError(f"premultiplied must be True or False, not {type(premultiplied).__name__}")
    return bool(cast(Any, premultiplied))


def check_numbers(float_scale: Any, space: Any, premultiplied: bool) -> _numbers.Numbers:
    """The checked `float_scale` and `space` of a standard-model call."""
    scale = _numbers.check_float_scale(float_scale)
    linear = _numbers.check_space(space) == "linear"
    if linear and premultiplied:
        # A premultiplied sRGB value has no one linear-light reading.
        raise ValueError("space='linear' takes straight colours, not premultiplied=True")
    return _numbers.Numbers(scale, linear)


def check_operator_channels(operator: str, channels: int, backdrop: str = "backdrop") -> None:
    if channels == 3 and operator in NEEDS_ALPHA:
        raise ValueError(
            f"operator {operator!r} can leave pixels transparent: it needs a 4-channel {backdrop}, "
            "got 3 channels"
        )


def check_composite(
    backdrop: Any,
    source: Any,
    blend: Any = "normal",
    opacity: Any = 1.0,
    operator: Any = "source_over",
    premultiplied: Any = False,
    kernel: Any = "auto",
    mask: Any = None,
) -> tuple[Blend, Operator, bool, float, KernelName]:
    """Raise what ``composite`` raises for one image's arguments; return the
    blend, the operator, premultiplied, the opacity and the kernel name.

    Reads only ``shape`` and ``dtype`` of the arrays (NumPy, Dask, ...).
    """
    name = resolve_blend(blend)
    checked_operator = resolve_operator(operator)
    checked_premultiplied = check_premultiplied(premultiplied)
    checked_opacity, kernel_name = check_pair(backdrop, source, opacity, kernel, mask, NAMES)
    check_operator_channels(checked_operator, backdrop.shape[-1])
    return name, checked_operator, checked_premultiplied, checked_opacity, kernel_name


def runs(image: np.ndarray) -> np.ndarray:
    """A C-contiguous image as one (pixels, 1, channels) run, whose slices
    are the runs the native entries take."""
    return image.reshape(-1, 1, image.shape[-1])


def composite_rows(
    blend: str, operator: str, premultiplied: bool, backdrop: np.ndarray, source: np.ndarray,
    opacity: float, kernel: KernelName, out: np.ndarray, weights: np.ndarray | None, start: int, stop: int,
) -> None:
    """Pixels [start, stop) through the native loops: the images as
    ``runs``, `weights` the flattened mask or None."""
    _tarnwick._composite_into(
        blend, operator, premultiplied, backdrop[start:stop], source[start:stop], opacity, kernel,
        out[start:stop], None if weights is None else weights[start:stop],
    )


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
) -> ImageT: ...
@overload
def composite(
    backdrop: U8Image, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: None = ..., mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
) -> U8Image: ...
@overload
def composite(
    backdrop: U16Image, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: None = ..., mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
) -> U16Image: ...
@overload
def composite(  # type: ignore[overload-overlap]  # NumPy's float types share a base
    backdrop: F32Image, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: None = ..., mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
) -> F32Image: ...
@overload
def composite(
    backdrop: F64Image, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: None = ..., mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
) -> F64Image: ...
@overload
def composite(
    backdrop: npt.ArrayLike, source: npt.ArrayLike, blend: BlendName = ...,
    opacity: float | npt.ArrayLike = ..., *, operator: OperatorName = ...,
    premultiplied: bool = ..., kernel: Kernel = ..., out: None = ..., mask: Mask | None = ...,
    threads: int | None = ..., float_scale: float = ..., space: Space = ...,
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
        they may differ in type and channel count. Leading dimensions (frames) broadcast as NumPy's
        do, and each frame is composited as a call of its own would.
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
        and type(backdrop) is np.ndarray and type(source) is np.ndarray
        and backdrop.ndim == 3 and source.ndim == 3
        and backdrop.dtype in _NATIVE_TYPES and source.dtype in _NATIVE_TYPES
        # One band: one thread, or an image too small for a second band.
        and (threads == 1 or backdrop.size < 2 * _MIN_BAND)
    ):
        # The common call, checked cheaply: the native call checks the rest
        # before it writes anything, and on its refusal the full checks
        # below say exactly what is wrong. Only overlaps it does not check.
        try:
            if out is None:
                fresh: Image = np.empty(backdrop.shape, backdrop.dtype)
                native_out: Any = fresh  # the native call takes uint8 and float32, checked above
                _tarnwick._composite_into(blend, operator, premultiplied, backdrop, source,
                                          opacity, kernel, native_out, None)
                return fresh
            if type(out) is np.ndarray and (
                out is backdrop or not _may_share_memory(out, backdrop)
            ) and not _may_share_memory(out, source):
                given_out: Any = out
                _tarnwick._composite_into(blend, operator, premultiplied, backdrop, source,
                                          opacity, kernel, given_out, None)
                return out
        except (TypeError, ValueError):
            pass
    backdrop = _as_image(backdrop)
    source = _as_image(source)
    # As in blend: hidden entries of a masked array weigh 0, and the overlap
    # check sees the mask as given.
    given_mask = mask
    if mask is not None:
        mask = _plain_mask(mask)
    numbers = check_numbers(float_scale, space, check_premultiplied(premultiplied))
    if _batch.is_batch(backdrop, source, opacity, mask):
        frames: Image = _batch.run_frames(
            lambda b, s, o, into, m, t: composite(
                b, s, cast(BlendName, blend), o, operator=cast(OperatorName, operator),
                premultiplied=premultiplied, kernel=cast(Kernel, kernel), out=into, mask=m,
                threads=t, float_scale=_floats.passed_on(float_scale), space=cast(Space, space)),
            lambda b, s, o, m: check_composite(b, s, blend, o, operator, premultiplied, kernel, m),
            backdrop, source, opacity, mask, out, threads, NAMES,
        )
        return frames
    name, operator_name, premultiplied, opacity_value, kernel_name = check_composite(
        backdrop, source, blend, opacity, operator, premultiplied, kernel, mask
    )
    count = _check_threads(threads)
    in_place = False
    if out is not None:
        in_place = _check_out(out, backdrop, source, given_mask, NAMES)

    height, width, _ = backdrop.shape
    pixels = height * width
    bands = _pieces(0, pixels, _band_count(count, pixels)) if pixels else []
    bg = out if out is not None and in_place else _contiguous(backdrop)
    fg = _contiguous(source)
    weights = flat_mask(mask)
    result: Image = np.empty_like(bg) if out is None else out
    below, layer, into = runs(bg), runs(fg), runs(result)
    converted = numbers.needed(bg.dtype, fg.dtype)

    def native(b: np.ndarray, f: np.ndarray, o: np.ndarray, start: int, stop: int) -> None:
        _tarnwick._composite_into(name, operator_name, premultiplied, b, f, opacity_value,
                                  kernel_name, o, None if weights is None else weights[start:stop])

    def run(band: int) -> None:
        start, stop = bands[band]
        if converted:
            _numbers.run_converted(native, below, layer, into, start, stop, numbers)
            return
        composite_rows(name, operator_name, premultiplied, below, layer, opacity_value, kernel_name,
                       into, weights, start, stop)

    _run_bands(run, len(bands))
    return result
