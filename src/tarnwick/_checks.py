"""The argument checks every entry point shares: images, opacity, mask,
threads, ``out`` and its overlaps. Each raises a one-line error that names
the argument and what it got, and all of a call's checks run before a pixel
is written.
"""

from __future__ import annotations

import math
import operator
import os
from typing import Any, TypeGuard, cast

import numpy as np

from tarnwick import _numbers

from ._names import check_kernel
from ._typing import KernelName

# The least double that rounds to +inf in float32: FLT_MAX plus half an ulp.
_FLOAT32_OVERFLOW = 2.0**128 - 2.0**103


# Image types of the Python calls; the native loops read uint8 and float32,
# and uint16 and float64 go through float32 scratch a band at a time.
_SUPPORTED = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32), np.dtype(np.float64))
_MASK_TYPES = (np.dtype(np.uint8), np.dtype(np.float32), np.dtype(np.float64))
IMAGE_TYPES = "uint8, uint16, float32 or float64"


_UINT8 = np.dtype(np.uint8)


_FLOAT32 = np.dtype(np.float32)


def _is_ndarray(value: object) -> TypeGuard[np.ndarray]:
    return isinstance(value, np.ndarray)


def _native_dtype(dtype: np.dtype[Any]) -> np.dtype[Any] | None:
    """uint8, uint16, float32 or float64 in native byte order, or None for other types."""
    if dtype is _UINT8 or dtype is _FLOAT32:
        return dtype
    native = dtype.newbyteorder("=")
    return native if native in _SUPPORTED else None


def _check_image(name: str, array: Any) -> tuple[int, int, int]:
    shape = tuple(array.shape)
    if len(shape) != 3:
        raise ValueError(
            f"{name} must have shape (height, width, 3 or 4), got {shape}"
        )
    return shape


def channels_error(name: str, shape: tuple[int, ...]) -> str:
    """The message for an image whose last axis is not 3 or 4 channels."""
    hint = ""
    if len(shape) >= 3 and shape[-3] in (3, 4) and shape[-1] > 4:
        hint = f"; channels first? np.moveaxis({name}, -3, -1) puts them last"
    return f"{name} must have 3 or 4 channels, shape (height, width, 3 or 4), got {shape}{hint}"


def _not_real(opacity: Any) -> TypeError:
    dtype: Any = getattr(opacity, "dtype", None)
    kind = dtype if isinstance(opacity, np.ndarray) else type(opacity).__name__
    return TypeError(f"opacity must be a real number, not {kind}")


def _is_complex(value: Any) -> bool:
    # NumPy scalars and arrays carry a dtype: float() of a complex one drops
    # the imaginary part with only a warning.
    dtype: Any = getattr(value, "dtype", None)
    return isinstance(value, complex) or getattr(dtype, "kind", None) == "c"


def too_opaque(value: float) -> ValueError:
    """The error for an opacity above 1: most often a percentage."""
    def shown(number: float) -> str:
        # 80 rather than 80.0, and never rounded: 1.0000000000000002 is not 1.
        return str(int(number)) if number.is_integer() and number < 1e15 else repr(number)

    hint = f"; for {shown(value)} % pass {shown(value / 100)}" if value <= 100 else ""
    return ValueError(f"opacity must be from 0 to 1, got {shown(value)}{hint}")


def _check_opacity(opacity: Any) -> float:
    if type(opacity) is float:
        value = opacity
    elif isinstance(opacity, (str, bytes)) or _is_complex(opacity):
        raise _not_real(opacity)
    else:
        try:
            value = float(opacity)
        except TypeError:
            raise _not_real(opacity) from None
        except OverflowError:
            # An integer (or fraction) beyond the float range: a huge positive
            # opacity has no result, a huge negative one composites nothing.
            if opacity > 0:
                raise ValueError("opacity must be a finite number") from None
            return -math.inf
    # -inf composites nothing, like any opacity <= 0; NaN and +inf (also
    # values that round to it in float32) have no result.
    if math.isnan(value) or value >= _FLOAT32_OVERFLOW:
        raise ValueError("opacity must be a finite number")
    if value > 1.0:
        raise too_opaque(value)
    return value


def plain_mask(mask: Any) -> np.ndarray:
    """The mask as a plain ndarray: a masked array's hidden entries weigh 0,
    a matrix or other subclass gives its data. A type the mask may not have
    is left unfilled (filling some, raw bytes, fails with NumPy's own error),
    so that the type check names it."""
    given: Any = mask  # a subclass's members are untyped
    if np.ma.isMaskedArray(given) and np.dtype(given.dtype).newbyteorder("=") in _MASK_TYPES:
        return np.asarray(given.filled(0))
    return np.asarray(given)


def _check_mask(mask: Any, height: int, width: int, like: str = "images") -> None:
    shape = tuple(mask.shape)
    if shape not in ((height, width), (height, width, 1)):
        raise ValueError(
            f"mask must have shape ({height}, {width}) or ({height}, {width}, 1) like the {like}, "
            f"got {shape}"
        )
    if np.dtype(mask.dtype).newbyteorder("=") not in _MASK_TYPES:
        raise TypeError(f"mask must be a uint8, float32 or float64 array, not {np.dtype(mask.dtype)}")


def check_pair(
    background: Any,
    foreground: Any,
    opacity: Any,
    kernel: Any,
    mask: Any,
    names: tuple[str, str] = ("background", "foreground"),
    placed: bool = False,
) -> tuple[float, KernelName]:
    """The checks of two images, opacity, kernel and mask that every
    two-image call shares; `names` are the images' argument names. A
    `placed` layer may have any height and width (it lands at an offset),
    and its mask has the layer's."""
    bg_shape = _check_image(names[0], background)
    fg_shape = _check_image(names[1], foreground)
    for name, array in zip(names, (background, foreground)):
        if _native_dtype(np.dtype(array.dtype)) is None:
            raise TypeError(
                f"{name} must be a {IMAGE_TYPES} array, got {np.dtype(array.dtype)}"
            )
    for name, shape in zip(names, (bg_shape, fg_shape)):
        if shape[2] not in (3, 4):
            raise ValueError(channels_error(name, shape))
    if not placed and bg_shape[:2] != fg_shape[:2]:
        raise ValueError(
            f"{names[0]} and {names[1]} must match in height and width, "
            f"got {bg_shape[:2]} and {fg_shape[:2]}"
        )
    checked_opacity = _check_opacity(opacity)
    checked_kernel = check_kernel(kernel)
    if mask is not None:
        # A placed layer's mask is the layer's; said so when that is not the
        # backdrop's size too.
        like = names[1] if placed and bg_shape[:2] != fg_shape[:2] else "images"
        _check_mask(mask, fg_shape[0], fg_shape[1], like)
    return checked_opacity, checked_kernel


def mask_dtype(dtype: np.dtype[Any]) -> np.dtype[Any] | None:
    """The type the native loops read a mask of this type as: uint8, or
    float32 for any float mask (a float64 mask is narrowed, one value a pixel)."""
    native = _native_dtype(dtype)
    return _FLOAT32 if native is not None and native.kind == "f" else native


def check_threads(threads: Any) -> int:
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
    if not _may_share_memory(a, b):
        return False
    try:
        return bool(np.shares_memory(a, b, max_work=1 << 20))  # type: ignore[arg-type]
    except np.exceptions.TooHardError:
        return True


def check_out(
    out: Any,
    background: np.ndarray,
    foreground: np.ndarray,
    mask: Any,
    names: tuple[str, str] = ("background", "foreground"),
) -> bool:
    """Validates ``out``; True when it is the background itself (in place)."""
    expected = background.shape
    dtype = _native_dtype(background.dtype)

    def want() -> str:  # formatted only for an error
        return (f"an aligned, writeable {dtype} array of shape {expected} with each row's pixels "
                f"contiguous (the {names[0]}'s dtype and shape; a region of a larger image will do)")

    if not _is_ndarray(out):
        raise TypeError(f"out must be {want()}, not {type(out).__name__}")
    if out.dtype != dtype:
        raise ValueError(f"out must be {want()}; got dtype {out.dtype}")
    if out.shape != expected:
        raise ValueError(f"out must be {want()}; got shape {out.shape}")
    flags = out.flags
    if not rows_readable(out, apart=True) and flags.aligned:
        # An out that is also an input's memory is most often an in-place
        # call on a strided view: say so, not only that it is strided.
        shared = next((f" that overlaps the {label}" for label, other in (
            (names[0], background), (names[1], foreground), ("mask", mask))
            if _is_ndarray(other) and _overlaps(out, other)), "")
        raise ValueError(
            f"out must be {want()}; got a non-contiguous array (strides {out.strides}){shared}"
        )
    if not flags.aligned:
        raise ValueError(f"out must be {want()}; got an unaligned array")
    if not flags.writeable:
        raise ValueError(f"out must be {want()}; got a read-only array")
    in_place = out is background or (
        _may_share_memory(out, background) and _same_memory(out, background))
    if not in_place and _overlaps(out, background):
        raise ValueError(
            f"out overlaps the {names[0]}; pass the {names[0]} array itself to composite in place"
        )
    if _overlaps(out, foreground):
        raise ValueError(f"out must not overlap the {names[1]}")
    if _is_ndarray(mask) and _overlaps(out, mask):
        raise ValueError("out must not overlap the mask")
    return in_place


_may_share_memory = np.may_share_memory


def as_image(array: Any) -> np.ndarray:
    return array if type(array) is np.ndarray else np.asarray(array)


def rows_readable(array: np.ndarray, apart: bool = False) -> bool:
    """Whether the native loops take `array` as it is: an aligned 3-D image
    in native byte order whose rows hold their pixels contiguously, rows a
    whole number of elements apart (0 repeats a row; `apart` demands rows
    that do not overlap, as an output's must not). A region of a larger
    image qualifies."""
    if not array.flags.aligned or not array.dtype.isnative:
        return False
    if array.flags.c_contiguous:
        return True  # frames too: one run
    if array.ndim != 3:
        return False
    height, width, channels = array.shape
    item = array.itemsize
    row_step, pixel_step, channel_step = array.strides
    return channel_step == item and (width <= 1 or pixel_step == channels * item) and (
        height <= 1 or (row_step >= (width * channels * item if apart else 0)
                        and row_step % item == 0))


def contiguous(array: np.ndarray) -> np.ndarray:
    """`array` as the native loops take it: itself when its rows are
    readable as they lie, else a C-contiguous copy in native order."""
    dtype = _native_dtype(array.dtype)
    if array.dtype == dtype and rows_readable(array):
        return array
    return np.ascontiguousarray(array, dtype=dtype)


def loop_mask(mask: np.ndarray) -> np.ndarray:
    """A (H, W) or (H, W, 1) mask as the native loops take it: itself when
    its values lie contiguously within each row in native order, else a
    C-contiguous copy."""
    dtype = mask_dtype(mask.dtype)
    if mask.dtype == dtype and mask.flags.aligned and (
        mask.flags.c_contiguous or (mask.shape[1] <= 1 or mask.strides[1] == mask.itemsize)
        and (mask.ndim == 2 or mask.shape[2] == 1) and mask.strides[0] >= 0
    ):
        return mask
    return np.ascontiguousarray(mask, dtype=dtype)


def mask_unless_full(mask: np.ndarray) -> np.ndarray | None:
    """`loop_mask(mask)`, or None when every weight is 1: then the unmasked
    loops run and give the unmasked result bit for bit (the masked loops
    share the pixels out differently)."""
    view = loop_mask(mask)
    if view.dtype == np.uint8:
        full = view.size == 0 or int(view.min()) == 255
    else:
        # A weight is 1 from 255 on; NaN weighs 0.
        full = bool(np.all(view >= 255))
    return None if full else view


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
