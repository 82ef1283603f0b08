"""``tarnwick.blend``: one entry point for every mode, with an output array,
a layer mask and several threads.

The native blend functions allocate their result and work on one thread.
Here the arguments are checked once, up front, so that a failed call writes
nothing; then the image is composited into ``out`` in bands of whole pixel
runs through the module's private ``_blend_into``. The bands (``_bands``)
start on multiples of 64 pixels, so the result does not depend on the
number of threads.
"""

from __future__ import annotations

from typing import Any, cast, overload

import numpy as np
import numpy.typing as npt

import _tarnwick
from tarnwick import _bands, _batch, _floats, _numbers

from ._bands import band_count, run_banded
from ._checks import (
    as_image,
    check_out,
    check_threads,
    contiguous,
    mask_unless_full,
    _may_share_memory,
    plain_mask,
    check_pair,
)
from ._names import _KERNEL_SET, _MODE_SET, check_mode
from ._place import Placement, check_offset, colour_layer, is_colour, place
from ._typing import (
    F32Image,
    F64Image,
    Image,
    ImageT,
    Kernel,
    KernelName,
    Mask,
    Mode,
    U8Image,
    U16Image,
)

# What the public mode functions read as stored, and what the into-entry reads.
_AS_STORED = (np.dtype(np.uint8), np.dtype(np.float32))
_NATIVE = _AS_STORED + (np.dtype(np.uint16),)


def check_arguments(
    background: Any,
    foreground: Any,
    mode: str = "normal",
    opacity: Any = 1.0,
    kernel: Kernel | str = "auto",
    mask: Any = None,
    placed: bool = False,
) -> tuple[Mode, float, KernelName]:
    """Raise what ``blend`` raises for these arguments; return the mode, the
    opacity as a float and the kernel name.

    Reads only ``shape`` and ``dtype`` of the arrays, so it serves for any
    array type (NumPy, Dask) without touching pixel data.
    """
    checked_mode = check_mode(mode)
    checked_opacity, checked_kernel = check_pair(background, foreground, opacity, kernel, mask,
                                                 placed=placed)
    return checked_mode, checked_opacity, checked_kernel


# The result has the type of `out` when given, else the background's.
@overload
def blend(
    background: npt.ArrayLike, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: ImageT, mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ..., x: int = ..., y: int = ...,
) -> ImageT: ...
@overload
def blend(
    background: U8Image, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ..., x: int = ..., y: int = ...,
) -> U8Image: ...
@overload
def blend(
    background: U16Image, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ..., x: int = ..., y: int = ...,
) -> U16Image: ...
@overload
def blend(  # type: ignore[overload-overlap]  # NumPy's float types share a base
    background: F32Image, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ..., x: int = ..., y: int = ...,
) -> F32Image: ...
@overload
def blend(
    background: F64Image, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ..., x: int = ..., y: int = ...,
) -> F64Image: ...
@overload
def blend(
    background: npt.ArrayLike, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ..., x: int = ..., y: int = ...,
) -> Image: ...
def blend(
    background: npt.ArrayLike,
    foreground: npt.ArrayLike,
    mode: str = "normal",
    opacity: float | npt.ArrayLike = 1.0,
    *,
    kernel: Kernel | str = "auto",
    out: Image | None = None,
    mask: Mask | None = None,
    threads: int | None = 1,
    float_scale: float = _floats.DEFAULT_SCALE,
    x: int = 0,
    y: int = 0,
) -> Image:
    """Composite `foreground` over `background` with a blend mode.

    Parameters
    ----------
    background, foreground : array_like, shape (height, width, 3 or 4)
        uint8, uint16 (0..65535), float32 or float64 images (on
        0..`float_scale`; float64 is converted a band at a time).
        They may differ in type, size (see `x`, `y`) and
        channel count; a missing alpha channel counts as opaque. uint16
        images are converted a band at a time (never whole) and uint16
        results rounded to the nearest, as uint8 ones are. Leading dimensions, (..., height,
        width, 3 or 4), are frames: they broadcast as NumPy's do, and each
        frame is blended exactly as a call of its own would blend it.
    mode : str
        One of ``tarnwick.MODES``, e.g. ``"normal"``, ``"multiply"``,
        ``"soft_light"``, ``"hsv_hue"``, ``"lch_color"``.
    opacity : float or array_like
        The layer's opacity, 0..1; 0 or less returns the background, and
        above 1 raises ValueError (80 is most likely 0.8; the mode functions
        such as ``tarnwick.multiply`` take it and extrapolate). An
        array broadcasts against the leading dimensions (a fade across
        frames), as may a mask of shape (..., height, width).
    kernel : str or KernelKind
        ``"auto"`` (the widest the processor runs), ``"scalar"``,
        ``"sse42"`` or ``"avx2"``.
    out : ndarray, optional
        Receives the result: a writeable, aligned array of the background's
        dtype and shape whose rows hold their pixels contiguously (a region
        of a larger array will do). It may be the background itself, to
        composite onto a canvas in place; it must not otherwise overlap an
        input. The result is the same as without `out`, bit for bit.
    x, y : int
        The background column and row the foreground's top-left pixel
        lands on: any integers, the foreground may hang off every edge or
        miss the background. Only the overlap is blended; the rest of the
        background is kept as stored.
    mask : ndarray, optional
        The foreground's: shape (height, width) or (height, width, 1), uint8 or
        float32 on the 0..255 scale, that multiplies the layer's alpha.
        All 255 gives exactly the unmasked result; 0 keeps the background.
        A masked array's hidden entries count as 0.
    threads : int or None
        Threads to blend on, each taking one band of the image; None or 0
        means one per available core. No more threads are used than the
        image has bands of a useful size (tens of thousands of pixels), and
        where the system refuses a thread the call uses fewer. The threads
        are kept for later calls. The result does not depend on it.
    float_scale : float
        The value of a float image that means full intensity: 255 (the
        default) or 1.0 for images on 0..1, for the float inputs and a float
        result alike; integer images are unaffected. Other than 255, float
        images are scaled a band at a time, so a value that passes through
        unblended may differ from the input in its last bit; opacity 0
        returns the background exactly.

    Returns
    -------
    ndarray
        `out` when given, else a new array with the background's dtype and
        shape.

    A call that raises writes nothing into `out`. Float images within 0..1
    given without `float_scale` give a warning (a sample is looked at).
    """
    if (
        mask is None
        and type(threads) is int and threads >= 1
        and type(mode) is str and mode in _MODE_SET
        and type(kernel) is str and kernel in _KERNEL_SET
        and (type(opacity) is float or type(opacity) is int) and opacity <= 1
        and type(background) is np.ndarray and type(foreground) is np.ndarray
        and type(float_scale) is float
        and type(x) is int and type(y) is int and x == 0 and y == 0
        # One band: one thread, or an image too small for a second band.
        and (threads == 1 or background.size < 2 * _bands._MIN_BAND)
    ):
        # The common call, checked cheaply: the native call checks the rest
        # before it writes anything, and on its refusal the full checks
        # below say exactly what is wrong. Only overlaps it does not check.
        # Only float images can look like 0..1: the warning's look is skipped
        # for the rest.
        if float_scale is _floats.DEFAULT_SCALE and (
                background.dtype.kind == "f" or foreground.dtype.kind == "f"):
            _floats.warn_if_unit(float_scale, ("background", background),
                                 ("foreground", foreground))
        try:
            if out is None and float_scale == 255.0 and background.dtype in _AS_STORED \
                    and foreground.dtype in _AS_STORED:
                return cast(Image, getattr(_tarnwick, mode)(background, foreground, opacity, kernel))
            if out is None and background.dtype in _NATIVE and foreground.dtype in _NATIVE:
                # uint16, or floats on another scale: the into-entry reads them.
                return _native_fresh(mode, background, foreground, opacity, kernel, float_scale)
            if type(out) is np.ndarray and (
                out is background or not _may_share_memory(out, background)
            ) and not _may_share_memory(out, foreground):
                _native_into(mode, background, foreground, opacity, kernel, out, float_scale)
                return out
        except (TypeError, ValueError):
            pass
    else:
        _floats.warn_if_unit(float_scale, ("background", background), ("foreground", foreground))

    background = as_image(background)
    if is_colour(foreground):
        foreground = colour_layer("foreground", foreground, background.dtype,
                                  background.shape[-3:-1],
                                  _numbers.check_float_scale(float_scale))
    foreground = as_image(foreground)
    column, row = check_offset("x", x), check_offset("y", y)
    # The overlap check takes the mask as given: a masked array's filled
    # copy would hide that `out` shares its data.
    given_mask = mask
    if mask is not None:
        mask = plain_mask(mask)
    maybe_batch = background.ndim != 3 or foreground.ndim != 3 or (
        mask is not None and mask.ndim != 2) or not isinstance(opacity, (float, int))
    if maybe_batch and _batch.is_batch(background, foreground, opacity, mask):
        def one_frame(b: Any, f: Any, o: float, into: Any, m: Any, t: int) -> Image:
            return cast(Image, blend(b, f, cast(Mode, mode), o, kernel=cast(Kernel, kernel),
                                     out=into, mask=m, threads=t,
                                     float_scale=_floats.passed_on(float_scale), x=column, y=row))

        def check_frame(b: Any, f: Any, o: float, m: Any) -> object:
            return check_arguments(b, f, mode, o, kernel, m, placed=True)

        frames: Image = _batch.run_frames(
            one_frame, check_frame, background, foreground, opacity, mask, out, threads,
            ("background", "foreground"),
        )
        return frames
    mode, opacity, kernel = check_arguments(background, foreground, mode, opacity, kernel, mask,
                                            placed=True)
    numbers = _numbers.Numbers(_numbers.check_float_scale(float_scale))
    threads = check_threads(threads)
    in_place = False if out is None else check_out(out, background, foreground, given_mask)
    weights = None if mask is None else mask_unless_full(mask)
    spot = place(background.shape, foreground.shape, column, row)
    converted = numbers.needed(background.dtype, foreground.dtype)
    if spot.whole and not converted and weights is None and band_count(
            threads, background.shape[0] * background.shape[1]) == 1:
        if out is None:
            return cast(Image, getattr(_tarnwick, mode)(background, foreground, opacity, kernel))
        _native_into(mode, background, foreground, opacity, kernel, out)
        return out
    return blend_placed(mode, background, foreground, opacity, kernel, out, in_place, weights,
                         threads, numbers, spot)


def _native_into(
    mode: str, background: Any, foreground: Any, opacity: Any, kernel: Any, out: Any,
    float_scale: float = 255.0,
) -> None:
    # The native call checks these arguments itself (the fast path relies on
    # that), so they reach it untyped.
    _tarnwick._blend_into(mode, background, foreground, opacity, kernel, out, None, float_scale)


def _native_fresh(
    mode: str, background: Any, foreground: Any, opacity: Any, kernel: Any, float_scale: float,
) -> Image:
    # A refused call drops the new array with this frame, before the full
    # path allocates its own.
    fresh = cast(Image, np.empty(background.shape, background.dtype))
    _native_into(mode, background, foreground, opacity, kernel, fresh, float_scale)
    return fresh


def blend_placed(
    mode: str,
    background: np.ndarray,
    foreground: np.ndarray,
    opacity: float,
    kernel: KernelName,
    out: np.ndarray | None,
    in_place: bool,
    weights: np.ndarray | None,
    threads: int,
    numbers: _numbers.Numbers | None,
    spot: Placement,
) -> np.ndarray:
    """blend of checked arguments over the placement's overlap, the rest of
    the background kept; the images' numbers are `numbers` (None: uint8 and
    float32 on 0..255)."""
    bg = out if out is not None and in_place else contiguous(background)
    fg = contiguous(foreground)
    scale, numbers = (255.0, None) if numbers is None else numbers.for_layer_modes(bg.dtype,
                                                                                    fg.dtype)
    result = np.empty(bg.shape, bg.dtype) if out is None else out
    if not in_place:
        for rect in spot.outside(bg.shape[0], bg.shape[1]):
            result[rect] = bg[rect]
    if spot.empty:
        return result
    below, layer, into = bg[spot.backdrop], fg[spot.layer], result[spot.backdrop]
    if opacity <= 0 and numbers is not None:
        # The background exactly, without a round trip through the scale.
        if not in_place:
            np.copyto(into, below)
        return result

    def native(b: np.ndarray, f: np.ndarray, o: np.ndarray, m: np.ndarray | None) -> None:
        _tarnwick._blend_into(mode, b, f, opacity, kernel, o, m, scale)

    run_banded(native, below, layer, into, None if weights is None else weights[spot.layer],
               threads, numbers, grouped=True)
    return result
