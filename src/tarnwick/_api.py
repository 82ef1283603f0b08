"""``tarnwick.blend``: one entry point for every mode, with an output array,
a layer mask and several threads.

The native blend functions allocate their result and work on one thread.
Here the arguments are checked once, up front, so that a failed call writes
nothing; then the image is composited into ``out`` in bands of whole pixel
runs through the module's private ``_blend_into``. Band boundaries fall on
multiples of ``_GRANULE`` pixels and the last band keeps at least that many,
so every band sees the vector grouping and alignment the one-call run has
and the result does not depend on the number of threads.
"""

from __future__ import annotations

import difflib
import math
import operator
import os
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Callable, TypeGuard, cast, overload

import numpy as np
import numpy.typing as npt

import _tarnwick

from ._typing import F32Image, Image, ImageT, Kernel, KernelName, Mask, Mode, U8Image

# In the module's own order ("normal", the separable modes, the colour-model
# modes together); dir() would sort them.
MODES: tuple[Mode, ...] = cast("tuple[Mode, ...]", tuple(
    name for name, value in vars(_tarnwick).items()
    if callable(value) and not name.startswith("_") and name != "kernel_available"
))

KERNELS: tuple[KernelName, ...] = ("auto", "scalar", "sse42", "avx2")


def families(modes: Any = None) -> dict[str, tuple[str, ...]]:
    """The modes by family: "normal", separable, colour-model (HSV, HSL, LCH)."""
    modes = MODES if modes is None else tuple(modes)
    colour = tuple(m for m in modes if m.startswith(("hsv_", "hsl_", "lch_")))
    separable = tuple(m for m in modes if m != "normal" and m not in colour)
    return {"normal": tuple(m for m in modes if m == "normal"), "separable": separable,
            "colour-model": colour}


def closest_modes(name: str) -> list[str]:
    """Up to three mode names that look like `name`, best first."""
    return difflib.get_close_matches(name, MODES, n=3, cutoff=0.5)

# Pixels per band step: 64 pixels of any layout is a whole number of every
# vector step (32 bytes, 8 floats) and keeps 16-byte alignment.
_GRANULE = 64
# Pixels converted at a time for a layer mask (a float32 RGBA scratch buffer
# of 1 MiB per thread).
_MASK_PIECE = 1 << 16

# The least double that rounds to +inf in float32: FLT_MAX plus half an ulp.
_FLOAT32_OVERFLOW = 2.0**128 - 2.0**103

_SUPPORTED = (np.dtype(np.uint8), np.dtype(np.float32))


def _is_ndarray(value: object) -> TypeGuard[np.ndarray]:
    return isinstance(value, np.ndarray)


def _native_dtype(dtype: np.dtype[Any]) -> np.dtype[Any] | None:
    """uint8 or float32 in native byte order, or None for other types."""
    native = dtype.newbyteorder("=")
    return native if native in _SUPPORTED else None


def _check_image(name: str, array: Any) -> tuple[int, int, int]:
    shape = tuple(array.shape)
    if len(shape) != 3:
        raise ValueError(
            f"{name} must have shape (height, width, 3 or 4), got {shape}"
        )
    return shape


def _check_mode(mode: Any) -> Mode:
    if not isinstance(mode, str):
        raise TypeError(f"mode must be a string, one of tarnwick.MODES, not {type(mode).__name__}")
    if mode not in MODES:
        close = closest_modes(mode)
        hint = ("; closest: " + ", ".join(repr(m) for m in close)) if close else (
            "; see tarnwick.MODES")
        raise ValueError(f"unknown blend mode {mode!r}{hint}")
    return mode


def _check_opacity(opacity: Any) -> float:
    if isinstance(opacity, (str, bytes)):
        raise TypeError(f"opacity must be a real number, not {type(opacity).__name__}")
    try:
        value = float(opacity)
    except TypeError:
        raise TypeError(
            f"opacity must be a real number, not {type(opacity).__name__}"
        ) from None
    # -inf composites nothing, like any opacity <= 0; NaN and +inf (also
    # values that round to it in float32) have no result.
    if math.isnan(value) or value >= _FLOAT32_OVERFLOW:
        raise ValueError("opacity must be a finite number")
    return value


def _check_kernel(kernel: Any) -> KernelName:
    name = kernel if isinstance(kernel, str) else getattr(kernel, "value", None)
    if not isinstance(name, str):
        raise TypeError("kernel must be a string or KernelKind")
    if name not in KERNELS:
        raise ValueError(f"unknown kernel {name!r}; expected one of {', '.join(map(repr, KERNELS))}")
    return name


def _check_mask(mask: Any, height: int, width: int) -> None:
    shape = tuple(mask.shape)
    if shape not in ((height, width), (height, width, 1)):
        raise ValueError(
            f"mask must have shape ({height}, {width}) or ({height}, {width}, 1) like the images, "
            f"got {shape}"
        )
    if _native_dtype(np.dtype(mask.dtype)) is None:
        raise TypeError(f"mask must be a uint8 or float32 array, not {np.dtype(mask.dtype)}")


def check_arguments(
    background: Any,
    foreground: Any,
    mode: str = "normal",
    opacity: float = 1.0,
    kernel: Kernel | str = "auto",
    mask: Any = None,
) -> tuple[Mode, float, KernelName]:
    """Raise what ``blend`` raises for these arguments; return the mode, the
    opacity as a float and the kernel name.

    Reads only ``shape`` and ``dtype`` of the arrays, so it serves for any
    array type (NumPy, Dask) without touching pixel data.
    """
    checked_mode = _check_mode(mode)
    bg_shape = _check_image("background", background)
    fg_shape = _check_image("foreground", foreground)
    if _native_dtype(np.dtype(background.dtype)) is None or _native_dtype(
        np.dtype(foreground.dtype)
    ) is None:
        raise TypeError("inputs must be uint8 or float32 numpy arrays")
    if bg_shape[2] not in (3, 4) or fg_shape[2] not in (3, 4):
        raise ValueError("inputs must have 3 or 4 channels")
    if bg_shape[:2] != fg_shape[:2]:
        raise ValueError(
            "background and foreground must match in height and width, "
            f"got {bg_shape[:2]} and {fg_shape[:2]}"
        )
    checked_opacity = _check_opacity(opacity)
    checked_kernel = _check_kernel(kernel)
    if mask is not None:
        _check_mask(mask, bg_shape[0], bg_shape[1])
    return checked_mode, checked_opacity, checked_kernel


def _check_threads(threads: Any) -> int:
    if threads is None:
        threads = 0
    if isinstance(threads, bool):
        raise TypeError("threads must be an integer or None, not bool")
    try:
        threads = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be an integer or None, not {type(threads).__name__}") from None
    if threads < 0:
        raise ValueError(f"threads must be 0 or more (0 or None: one per core), got {threads}")
    if threads == 0:
        counter = getattr(os, "process_cpu_count", None) or os.cpu_count
        threads = counter() or 1
    return int(threads)


def _same_memory(a: np.ndarray, b: np.ndarray) -> bool:
    return (
        a.__array_interface__["data"][0] == b.__array_interface__["data"][0]
        and a.shape == b.shape
        and a.strides == b.strides
        and a.dtype == b.dtype
    )


def _overlaps(a: np.ndarray, b: np.ndarray) -> bool:
    if not np.may_share_memory(a, b):
        return False
    try:
        return bool(np.shares_memory(a, b, max_work=1 << 20))  # type: ignore[arg-type]
    except np.exceptions.TooHardError:
        return True


def _check_out(out: Any, background: np.ndarray, foreground: np.ndarray, mask: Any) -> bool:
    """Validates ``out``; True when it is the background itself (in place)."""
    expected = background.shape
    dtype = _native_dtype(background.dtype)
    want = (
        f"a C-contiguous, aligned, writeable {dtype} array of shape {expected} "
        "(the background's dtype and shape)"
    )
    if not _is_ndarray(out):
        raise TypeError(f"out must be {want}, not {type(out).__name__}")
    if out.dtype != dtype:
        raise ValueError(f"out must be {want}; got dtype {out.dtype}")
    if out.shape != expected:
        raise ValueError(f"out must be {want}; got shape {out.shape}")
    if not (out.flags.c_contiguous and out.flags.aligned):
        raise ValueError(f"out must be {want}; got a non-contiguous or unaligned array")
    if not out.flags.writeable:
        raise ValueError(f"out must be {want}; got a read-only array")
    in_place = out is background or _same_memory(out, background)
    if not in_place and _overlaps(out, background):
        raise ValueError(
            "out overlaps the background; pass the background array itself to composite in place"
        )
    if _overlaps(out, foreground):
        raise ValueError("out must not overlap the foreground")
    if _is_ndarray(mask) and _overlaps(out, mask):
        raise ValueError("out must not overlap the mask")
    return in_place


def _pieces(start: int, stop: int, count: int) -> list[tuple[int, int]]:
    """Splits [start, stop) into at most `count` runs that start on multiples
    of the granule; only the last may have another length, and it keeps at
    least a granule (a shorter run would take other vector steps)."""
    total = stop - start
    size = -(-total // max(count, 1))
    size = -(-size // _GRANULE) * _GRANULE
    bounds = list(range(start, stop, size)) + [stop]
    if len(bounds) > 2 and bounds[-1] - bounds[-2] < _GRANULE:
        del bounds[-2]
    return list(zip(bounds[:-1], bounds[1:]))


def _rows(array: np.ndarray, start: int, stop: int) -> np.ndarray:
    """Pixels [start, stop) of a C-contiguous image as a (n, 1, channels) view."""
    flat = array.reshape(-1, array.shape[2])
    return flat[start:stop].reshape(stop - start, 1, array.shape[2])


def _as_image(array: Any) -> np.ndarray:
    return array if _is_ndarray(array) else np.asarray(array)


def _contiguous(array: np.ndarray) -> np.ndarray:
    dtype = _native_dtype(array.dtype)
    if array.dtype == dtype and array.flags.c_contiguous and array.flags.aligned:
        return array
    return np.ascontiguousarray(array, dtype=dtype)


def _mask_weights(mask: np.ndarray) -> np.ndarray | None:
    """The mask as float32 weights in [0, 1], flattened, or None when every
    weight is 1 (the unmasked result, exactly). NaN counts as 0."""
    flat = mask.reshape(-1)
    if flat.dtype == np.uint8:
        if flat.min(initial=255) == 255:
            return None
        return flat.astype(np.float32) / np.float32(255)
    flat = flat.astype(np.float32, copy=False)
    if bool(np.all(flat >= 255)):
        return None
    weights = np.clip(flat, 0, 255) / np.float32(255)
    cleaned: np.ndarray = np.nan_to_num(weights, nan=0.0, copy=False)
    return cleaned


def _masked_layer(
    foreground: np.ndarray, weights: np.ndarray, start: int, stop: int, scratch: np.ndarray
) -> np.ndarray:
    """Pixels [start, stop) of the layer as float32 RGBA with its alpha times
    the mask, written into `scratch`."""
    n = stop - start
    layer = scratch[:n]
    source = _rows(foreground, start, stop)[:, 0, :]
    layer[:, 0, :3] = source[:, :3]
    if foreground.shape[2] == 4:
        np.multiply(source[:, 3], weights[start:stop], out=layer[:, 0, 3], casting="unsafe")
    else:
        np.multiply(weights[start:stop], np.float32(255), out=layer[:, 0, 3])
    return layer


def _run_bands(run: Callable[[int], None], count: int) -> None:
    """Runs ``run(0)`` .. ``run(count - 1)``, one band a thread; the calling
    thread takes the first band itself (one thread fewer to start)."""
    if count == 1:
        run(0)
    elif count > 1:
        with ThreadPoolExecutor(max_workers=count - 1, thread_name_prefix="tarnwick") as pool:
            futures = [pool.submit(run, band) for band in range(1, count)]
            run(0)
            for future in futures:
                future.result()


# The result has the type of `out` when given, else the background's.
@overload
def blend(
    background: npt.ArrayLike, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: ImageT, mask: Mask | None = ..., threads: int | None = ...,
) -> ImageT: ...
@overload
def blend(
    background: U8Image, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
) -> U8Image: ...
@overload
def blend(
    background: F32Image, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
) -> F32Image: ...
@overload
def blend(
    background: npt.ArrayLike, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
) -> Image: ...
def blend(
    background: npt.ArrayLike,
    foreground: npt.ArrayLike,
    mode: str = "normal",
    opacity: float = 1.0,
    *,
    kernel: Kernel | str = "auto",
    out: Image | None = None,
    mask: Mask | None = None,
    threads: int | None = 1,
) -> Image:
    """Composite `foreground` over `background` with a blend mode.

    Parameters
    ----------
    background, foreground : array_like, shape (height, width, 3 or 4)
        uint8 or float32 images on the 0..255 scale. They must agree in
        height and width and may differ in type and channel count; a missing
        alpha channel counts as opaque.
    mode : str
        One of ``tarnwick.MODES``, e.g. ``"normal"``, ``"multiply"``,
        ``"soft_light"``, ``"hsv_hue"``, ``"lch_color"``.
    opacity : float
        The layer's opacity, 0..1; 0 or less returns the background.
    kernel : str or KernelKind
        ``"auto"`` (the widest the processor runs), ``"scalar"``,
        ``"sse42"`` or ``"avx2"``.
    out : ndarray, optional
        Receives the result: a writeable, C-contiguous, aligned array of the
        background's dtype and shape. It may be the background itself, to
        composite onto a canvas in place; it must not otherwise overlap an
        input. The result is the same as without `out`, bit for bit.
    mask : ndarray, optional
        A layer mask of shape (height, width) or (height, width, 1), uint8 or
        float32 on the 0..255 scale, that multiplies the layer's alpha.
        All 255 gives exactly the unmasked result; 0 keeps the background.
    threads : int or None
        Threads to blend on, each taking one band of the image; None or 0
        means one per available core. The result does not depend on it.

    Returns
    -------
    ndarray
        `out` when given, else a new array with the background's dtype and
        shape.

    A call that raises writes nothing into `out`.
    """
    background = _as_image(background)
    foreground = _as_image(foreground)
    if mask is not None:
        mask = _as_image(mask)
    mode, opacity, kernel = check_arguments(background, foreground, mode, opacity, kernel, mask)
    threads = _check_threads(threads)
    if out is not None:
        in_place = _check_out(out, background, foreground, mask)
    else:
        in_place = False

    weights = None if mask is None else _mask_weights(mask)
    if mask is not None and weights is not None and not weights.any():
        # The mask hides the whole layer.
        opacity = 0.0
        weights = None
    height, width, _ = background.shape
    pixels = height * width
    bands = _pieces(0, pixels, threads) if pixels else []
    if out is None and weights is None and len(bands) <= 1:
        return cast(Image, getattr(_tarnwick, mode)(background, foreground, opacity, kernel))

    bg: Image = out if out is not None and in_place else _contiguous(background)
    fg = _contiguous(foreground)
    target: Image = np.empty_like(bg) if out is None else out
    scratch = [
        np.empty((min(_MASK_PIECE + _GRANULE, stop - start), 1, 4), np.float32)
        for start, stop in bands
    ] if weights is not None else []

    def run(band: int) -> None:
        start, stop = bands[band]
        if weights is None:
            _tarnwick._blend_into(
                mode, _rows(bg, start, stop), _rows(fg, start, stop), opacity, kernel,
                _rows(target, start, stop),
            )
            return
        for piece_start, piece_stop in _pieces(start, stop, -(-(stop - start) // _MASK_PIECE)):
            layer = _masked_layer(fg, weights, piece_start, piece_stop, scratch[band])
            # A masked-out pixel is the background exactly: the blend's round
            # trip through unit values is not exact for float32. Kept first,
            # since in place the blend overwrites it.
            hidden = np.flatnonzero(weights[piece_start:piece_stop] == 0)
            background_rows = _rows(bg, piece_start, piece_stop)[:, 0, :]
            kept = background_rows[hidden] if hidden.size else None
            _tarnwick._blend_into(
                mode, _rows(bg, piece_start, piece_stop), layer, opacity, kernel,
                _rows(target, piece_start, piece_stop),
            )
            if kept is not None:
                _rows(target, piece_start, piece_stop)[hidden, 0, :] = kept

    _run_bands(run, len(bands))
    return target
