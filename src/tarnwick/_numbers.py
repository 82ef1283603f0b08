"""What an image's numbers mean: uint16 images (0..65535 is 0..1), float
images on a scale of the caller's choice (``float_scale``, 255 by default,
1.0 for 0..1), and sRGB-encoded colours composited in linear light.

The native loops take uint8 and float32 on 0..255; the layer modes' loops
also read uint16 and float32 on any scale, converting them in their own
pieces by the steps below, and the compositing loops read them in their
registers. Every other convention goes through them a band of pixels at a
time: the band is converted into
float32 scratch on 0..255 (small enough to stay in cache, one per thread),
run through the same native call, and converted back into the result's type.
No image is ever copied whole. Inputs that need nothing (uint8, float32 on
0..255 in sRGB) are handed to the native call as they are; float64 images
always go through scratch, and float64 results are written back in double
precision from the float32 the loops compute.

Bands of converted pieces start at multiples of 64 pixels from the band's
start, as the native bands do, so the result does not depend on the number
of threads.
"""

from __future__ import annotations

import math
import threading
import struct
from dataclasses import dataclass
from typing import Any, Callable

import numpy as np

SPACES: tuple[str, ...] = ("srgb", "linear")

# Pixels converted at a time: four float32 channels of 32768 pixels are
# 512 KiB per scratch array; the two inputs and the result stay in cache
# (L2 and the near L3) while a piece goes through. Fewer, larger pieces
# measured faster than 16384 (the Python steps per piece cost more than
# the cache misses). A multiple of 64, the native loops' granule.
PIECE = 1 << 15

_UINT8 = np.dtype(np.uint8)
_UINT16 = np.dtype(np.uint16)
_FLOAT32 = np.dtype(np.float32)
_FLOAT64 = np.dtype(np.float64)
_LAYER_NATIVE = (_UINT8, _UINT16, _FLOAT32)

# uint16 to the engine's 0..255 scale and back.
_U16_TO_WORK = np.float32(255.0 / 65535.0)
_WORK_TO_U16 = np.float32(65535.0 / 255.0)

# Native band call: (background piece, foreground piece, result piece, start, stop),
# the pieces as (pixels, 1, channels) arrays, [start, stop) their pixel indexes
# (for the mask).
BandCall = Callable[[np.ndarray, np.ndarray, np.ndarray, int, int], None]


# bool is a number to Python, and a string would convert: both are refused.
_NOT_NUMBERS: tuple[type[Any], ...] = (bool, np.bool_, str, bytes)


def check_float_scale(value: Any) -> float:
    """A positive, finite real number; bool and strings are refused."""
    if isinstance(value, _NOT_NUMBERS):
        raise TypeError(f"float_scale must be a positive real number, not {type(value).__name__}")
    try:
        scale = float(value)
    except (TypeError, ValueError):
        raise TypeError(
            f"float_scale must be a positive real number, not {type(value).__name__}"
        ) from None
    except OverflowError:
        scale = math.inf
    if not (math.isfinite(scale) and scale > 0) or not math.isfinite(255.0 / scale):
        raise ValueError(f"float_scale must be a positive finite number, got {value!r}")
    return scale


def _native_scale(scale: float) -> bool:
    """Whether the native loops take this float_scale: they scale by
    255 / scale and back by scale / 255 in float32, so both must be finite
    and nonzero there (far-out scales are converted in float64 instead)."""
    try:
        factors = struct.pack("<ff", 255.0 / scale, scale / 255.0)
    except OverflowError:
        return False
    return 0.0 not in struct.unpack("<ff", factors)


def check_space(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"space must be 'srgb' or 'linear', not {type(value).__name__}")
    if value not in SPACES:
        raise ValueError(f"space must be 'srgb' or 'linear', got {value!r}")
    return value


@dataclass(frozen=True)
class Numbers:
    """How a call reads its images: float images on 0..`scale`, colours
    composited in linear light when `linear`."""

    scale: float = 255.0
    linear: bool = False

    def converts(self, dtype: np.dtype) -> bool:
        """Whether images of this (native-order) dtype go through scratch."""
        # float64 always does: the native loops read float32, and a band of
        # scratch is all the narrowing costs (never a float32 copy of the image).
        return (self.linear or dtype == _UINT16 or dtype == _FLOAT64
                or (dtype == _FLOAT32 and self.scale != 255.0))

    def needed(self, *dtypes: np.dtype) -> bool:
        return any(self.converts(np.dtype(d)) for d in dtypes)

    def for_layer_modes(self, *dtypes: np.dtype) -> tuple[float, Numbers | None]:
        """The float_scale to hand the layer modes' native loops, and what is
        left to convert piece by piece here (None: nothing). The loops read
        uint16 and float32 on any scale themselves; float64 and linear light
        are converted here."""
        if not self.needed(*dtypes):
            return 255.0, None
        if not self.linear and _native_scale(self.scale) and all(
                np.dtype(d) in _LAYER_NATIVE for d in dtypes):
            return self.scale, None
        return 255.0, self


# -- the sRGB transfer curve, from float64 --------------------------------

def decode_curve(encoded: np.ndarray) -> np.ndarray:
    """sRGB-encoded values on 0..1 to linear light (float64 in, float64 out)."""
    e = np.asarray(encoded, np.float64)
    return np.where(e <= 0.04045, e / 12.92, ((np.maximum(e, 0.04045) + 0.055) / 1.055) ** 2.4)


def encode_curve(linear: np.ndarray) -> np.ndarray:
    """Linear light on 0..1 to sRGB-encoded values (float64)."""
    v = np.asarray(linear, np.float64)
    return np.where(v <= 0.0031308, v * 12.92, 1.055 * np.maximum(v, 0.0031308) ** (1 / 2.4) - 0.055)


class _Tables:
    """Decode tables (code -> linear on 0..255, float32) for uint8 and uint16,
    and the uint8 encode table, built once on first use."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.decode8: np.ndarray | None = None
        self.decode16: np.ndarray | None = None
        self.encode8: tuple[np.ndarray, np.ndarray] | None = None

    def get_decode8(self) -> np.ndarray:
        if self.decode8 is None:
            with self.lock:
                self.decode8 = (decode_curve(np.arange(256) / 255.0) * 255.0).astype(np.float32)
        return self.decode8

    def get_decode16(self) -> np.ndarray:
        if self.decode16 is None:
            with self.lock:
                self.decode16 = (decode_curve(np.arange(65536) / 65535.0) * 255.0).astype(np.float32)
        return self.decode16

    def get_encode8(self) -> tuple[np.ndarray, np.ndarray]:
        if self.encode8 is None:
            with self.lock:
                self.encode8 = _build_encode8()
        return self.encode8


_TABLES = _Tables()

# The encode table is indexed by the top 16 bits of a float32 on 0..255
# (sign, exponent, 7 mantissa bits): buckets 1/128 of an octave wide, finer
# than the gap between two uint8 codes anywhere on the curve, so a bucket
# holds at most one code boundary.
_ENCODE_SHIFT = 16


def _build_encode8() -> tuple[np.ndarray, np.ndarray]:
    """(code, boundary) per bucket: the nearest code at the bucket's lowest
    value, and the least float32 from which the next code is nearer (inf
    where the bucket holds no boundary)."""
    top = int(np.float32(255.0).view(np.uint32)) >> _ENCODE_SHIFT
    lows = (np.arange(top + 1, dtype=np.uint32) << _ENCODE_SHIFT).view(np.float32).astype(np.float64)
    # Boundary k lies where the encoded value is k - 0.5 steps: from it on,
    # code k is the nearer one. Found exactly in float32 by a bisection on bits.
    codes = np.arange(1, 256)
    lo = np.zeros(255, np.uint32)
    hi = np.full(255, np.float32(255.0).view(np.uint32), np.uint32)
    for _ in range(32):
        mid = (lo + hi) // 2
        value = mid.view(np.float32).astype(np.float64)
        above = encode_curve(value / 255.0) * 255.0 >= codes - 0.5
        hi = np.where(above, mid, hi)
        lo = np.where(above, lo, mid + 1)
    bounds = hi.view(np.float32)
    base = np.searchsorted(bounds.astype(np.float64), lows, side="right").astype(np.uint8)
    # The boundary inside each bucket, if any (the one after its base code).
    nxt = np.minimum(base.astype(np.int64), 254)
    limit = ((np.arange(top + 1, dtype=np.uint64) + 1) << _ENCODE_SHIFT)
    inside = (base < 255) & (bounds[nxt].view(np.uint32).astype(np.uint64) < limit)
    threshold = np.where(inside, bounds[nxt], np.float32(np.inf)).astype(np.float32)
    return base, threshold


# -- one piece in, one piece out -------------------------------------------

class _Scratch(threading.local):
    def __init__(self) -> None:
        self.arrays: dict[tuple[str, int, str], np.ndarray] = {}

    def get(self, role: str, n: int, channels: int, dtype: np.dtype = _FLOAT32) -> np.ndarray:
        key = (role, channels, dtype.str)
        array = self.arrays.get(key)
        if array is None:
            array = self.arrays[key] = np.empty((PIECE, 1, channels), dtype)
        return array[:n]


_SCRATCH = _Scratch()


def to_work(piece: np.ndarray, numbers: Numbers, role: str) -> np.ndarray:
    """A (n, 1, c) piece as the native loops should read it: the piece
    itself, or float32 scratch on 0..255 (linear light where asked)."""
    dtype = piece.dtype
    if not numbers.converts(dtype):
        return piece
    n, _, channels = piece.shape
    work = _SCRATCH.get(role, n, channels)
    if numbers.linear:
        # Whole pixels at a time (NumPy is slow on a 3-wide inner axis),
        # then alpha, which is not a colour, scaled over the decoded value.
        if dtype == _UINT8 or dtype == _UINT16:
            table = _TABLES.get_decode8() if dtype == _UINT8 else _TABLES.get_decode16()
            np.take(table, piece.reshape(-1), out=work.reshape(-1), mode="clip")
        else:
            unit = decode_curve(piece / np.float32(numbers.scale)) * 255.0
            np.copyto(work, unit, casting="same_kind")
        if channels == 4:
            _scale_into(piece[:, 0, 3], work[:, 0, 3], numbers)
        return work
    _scale_into(piece, work, numbers)
    return work


def _scale_into(src: np.ndarray, dst: np.ndarray, numbers: Numbers) -> None:
    if src.dtype == _UINT16:
        np.multiply(src, _U16_TO_WORK, out=dst)
    elif src.dtype == _UINT8 or numbers.scale == 255.0:
        np.copyto(dst, src, casting="same_kind")
    elif src.dtype == _FLOAT64:
        np.multiply(src, 255.0 / numbers.scale, out=dst, casting="same_kind")
    else:
        np.multiply(src, np.float32(255.0 / numbers.scale), out=dst)


def from_work(work: np.ndarray, piece: np.ndarray, numbers: Numbers) -> None:
    """Writes float32 scratch on 0..255 into the result's (n, 1, c) piece:
    integers rounded to the nearest and clamped, floats back on their scale,
    colours encoded back to sRGB where composited in linear light."""
    dtype = piece.dtype
    channels = piece.shape[2]
    if numbers.linear:
        # Every channel encoded as a colour, then alpha written over it.
        alpha = work[:, 0, 3].copy() if channels == 4 else None
        if dtype == _UINT8:
            _encode8(work, piece)
        else:
            np.clip(work, 0.0, 255.0, out=work)
            unit = encode_curve(work / np.float32(255.0))
            if dtype == _UINT16:
                np.copyto(piece, np.rint(unit * 65535.0), casting="unsafe")
            else:
                np.copyto(piece, unit * numbers.scale, casting="same_kind")
        if alpha is not None:
            _unscale_into(alpha, piece[:, 0, 3], numbers)
        return
    _unscale_into(work, piece, numbers)


def _unscale_into(work: np.ndarray, piece: np.ndarray, numbers: Numbers) -> None:
    dtype = piece.dtype
    if dtype == _FLOAT64:
        # Widened first, then scaled in double precision: one rounding.
        np.copyto(piece, work)
        if numbers.scale != 255.0:
            np.divide(piece, 255.0 / numbers.scale, out=piece)
        return
    if dtype == _FLOAT32:
        if numbers.scale == 255.0:
            np.copyto(piece, work)
        elif numbers.scale == 1.0:
            # Divided, not multiplied by 1/255: one rounding, not two.
            np.divide(work, np.float32(255.0), out=piece)
        else:
            np.multiply(work, np.float32(numbers.scale / 255.0), out=piece)
        return
    top = np.float32(255.0 if dtype == _UINT8 else 65535.0)
    if dtype == _UINT16:
        np.multiply(work, _WORK_TO_U16, out=work)
    np.clip(work, np.float32(0.0), top, out=work)
    np.rint(work, out=work)
    np.copyto(piece, work, casting="unsafe")


def _encode8(work: np.ndarray, dst: np.ndarray) -> None:
    """Linear light on 0..255 to the nearest sRGB uint8 code, by a table on
    the value's top bits and one comparison with the bucket's boundary.
    `work` (contiguous float32) is used up."""
    base, threshold = _TABLES.get_encode8()
    n, _, channels = work.shape
    # +0.0 for -0.0 and negatives, 255 at most: indexes stay in the table.
    np.clip(work, np.float32(0.0), np.float32(255.0), out=work)
    np.add(work, np.float32(0.0), out=work)
    flat = work.reshape(-1)
    index = _SCRATCH.get("index", n, channels, np.dtype(np.uint32)).reshape(-1)
    np.right_shift(flat.view(np.uint32), _ENCODE_SHIFT, out=index)
    bound = _SCRATCH.get("bound", n, channels).reshape(-1)
    np.take(threshold, index, out=bound, mode="clip")
    above = _SCRATCH.get("above", n, channels, np.dtype(np.bool_)).reshape(-1)
    np.greater_equal(flat, bound, out=above)
    codes = dst.reshape(-1)
    np.take(base, index, out=codes, mode="clip")
    np.add(codes, above, out=codes, casting="unsafe")


# -- the band runner ---------------------------------------------------------

def run_converted(
    native: BandCall,
    background: np.ndarray,
    foreground: np.ndarray,
    out: np.ndarray,
    start: int,
    stop: int,
    numbers: Numbers,
) -> None:
    """Pixels [start, stop) of three (pixels, 1, channels) runs through
    `native`, converting piece by piece what the native loops cannot read.
    `out` may be `background` itself (in place): each piece of it is read
    before the native call writes it."""
    out_converts = numbers.converts(out.dtype)
    for first in range(start, stop, PIECE):
        last = min(stop, first + PIECE)
        below = to_work(background[first:last], numbers, "below")
        layer = to_work(foreground[first:last], numbers, "layer")
        target = out[first:last]
        if out_converts:
            work = _SCRATCH.get("result", last - first, out.shape[2])
            native(below, layer, work, first, last)
            from_work(work, target, numbers)
        else:
            native(below, layer, target, first, last)
