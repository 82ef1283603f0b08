"""Reducing images to 8 bits per channel: plain rounding, or dithering.

Rounding a slow 16-bit or float gradient to 8 bits turns it into flat bands
with visible edges. Dithering adds a threshold in [0, 1) to each value before
taking the integer part, which keeps the local mean of the gradient (a value
a third of the way between two steps becomes the upper step on a third of the
pixels). The thresholds come from a small tile repeated over the image:

- "ordered": a 16 x 16 Bayer matrix, every threshold once per tile; cheap and
  regular, a fine cross-hatch.
- "blue_noise": a 64 x 64 tile of thresholds whose pattern has no low
  frequencies (white noise, high-passed and re-ranked a few times), so the
  grain is fine and shapeless.

The seed picks the blue-noise tile and where each channel's tile starts, so a
given seed gives the same pixels every time (frames of a video stay stable),
and channels do not dither in step (no coloured fringes). Alpha is rounded,
never dithered: a dithered edge would show as noise once composited.
Work goes in bands of rows, so the temporaries stay small.
"""

from __future__ import annotations

import functools
import threading
from typing import Any, cast

import numpy as np

DITHERS: tuple[str, ...] = ("ordered", "blue_noise")

_BAYER_SIZE = 16
_BLUE_SIZE = 64
# Pixels per band of the conversions: a few MiB of float32 scratch.
_BAND_PIXELS = 1 << 18
_LOCK = threading.Lock()


def check_dither(value: Any) -> str | None:
    """None, "ordered" or "blue_noise" ("blue-noise" also taken)."""
    if value is None:
        return None
    if not isinstance(value, str):
        raise TypeError(
            f"dither must be None, 'ordered' or 'blue_noise', not {type(value).__name__}"
        )
    name = value.strip().lower().replace("-", "_")
    if name not in DITHERS:
        raise ValueError(f"dither must be None, 'ordered' or 'blue_noise', got {value!r}")
    return name


def check_seed(value: Any) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or int(cast(int, value)) < 0:
        raise TypeError(f"seed must be a non-negative integer, got {value!r}")
    return int(cast(int, value))


def _bayer() -> np.ndarray:
    """The 16 x 16 Bayer matrix, values 0..255."""
    matrix = np.zeros((1, 1), np.int64)
    while matrix.shape[0] < _BAYER_SIZE:
        matrix = np.block([[4 * matrix, 4 * matrix + 2], [4 * matrix + 3, 4 * matrix + 1]])
    return matrix


def _ranked(values: np.ndarray) -> np.ndarray:
    """Each value's rank, scaled to [0, 1)."""
    order = np.argsort(values, axis=None, kind="stable")
    ranks = np.empty(values.size, np.float64)
    ranks[order] = np.arange(values.size)
    return ranks.reshape(values.shape) / values.size


@functools.lru_cache(maxsize=8)
def _blue_noise(seed: int) -> np.ndarray:
    """A 64 x 64 tile of the ranks 0..4095 with the low frequencies taken out:
    white noise, less its blur on the torus (so the tile repeats seamlessly),
    ranked again, a few times over."""
    size = _BLUE_SIZE
    noise = np.random.default_rng(seed).random((size, size))
    f = np.fft.fftfreq(size)
    sigma = 1.5  # pixels: the grain the tile keeps
    low_pass = np.exp(-2 * (np.pi * sigma) ** 2 * (f[:, None] ** 2 + f[None, :] ** 2))
    for _ in range(12):
        blurred = np.fft.ifft2(np.fft.fft2(noise) * low_pass).real
        noise = _ranked(noise - blurred)
    return np.rint(noise * size * size).astype(np.int64)


def thresholds(dither: str, seed: int) -> np.ndarray:
    """The tile of thresholds in [0, 1) (float32), every level once."""
    if dither == "ordered":
        levels = _bayer()
    else:
        with _LOCK:  # the cache is shared by the threads of a batch
            levels = _blue_noise(seed)
    return ((levels + 0.5) / levels.size).astype(np.float32)


class _Pattern:
    """Thresholds for rows [start, stop) of one channel, the tile repeated."""

    def __init__(self, dither: str, seed: int, width: int, channels: int) -> None:
        tile = thresholds(dither, seed)
        size = tile.shape[0]
        # One start per channel; the ordered pattern starts where the seed says too.
        starts = np.random.default_rng([seed, 0x7A57]).integers(0, size, (channels, 2))
        self.size = size
        self.starts = starts
        self.strips = [tile[:, (np.arange(width) + x) % size] for _, x in starts]

    def rows(self, channel: int, start: int, stop: int) -> np.ndarray:
        y = int(self.starts[channel][0])
        strip: np.ndarray = self.strips[channel]
        picked: np.ndarray = strip[(np.arange(start, stop) + y) % self.size]
        return picked


def _on_255(band: np.ndarray, scale: float) -> np.ndarray:
    """A band of values as float32 on 0..255 (a fresh array)."""
    work: np.ndarray
    if band.dtype == np.uint16:
        work = np.multiply(band, np.float32(255.0 / 65535.0), dtype=np.float32)
    elif band.dtype == np.uint8 or scale == 255.0:
        work = band.astype(np.float32)
    else:
        work = np.multiply(band, 255.0 / scale).astype(np.float32)
    return work


def _round_16_to_8(band: np.ndarray, out: np.ndarray) -> None:
    # round(v / 257) in integers: v = 257q + r rounds up from r = 129 on.
    wide = band.astype(np.uint32)
    wide += 128
    wide //= 257
    np.copyto(out, wide, casting="unsafe")


def _clip_round(work: np.ndarray, top: float, out: np.ndarray) -> None:
    """work (float32, used up) rounded to the nearest and clipped to 0..top;
    NaN becomes 0 (fmax takes the number) and infinities the ends."""
    np.fmax(work, np.float32(0.0), out=work)
    np.minimum(work, np.float32(top), out=work)
    np.rint(work, out=work)
    np.copyto(out, work, casting="unsafe")


def to_uint8(values: np.ndarray, dither: str | None = None, seed: int = 0,
             scale: float = 255.0, colour: int | None = None) -> np.ndarray:
    """An (H, W, C) or (H, W) array as uint8: uint8 as it is, uint16 (0..65535)
    and floats (on 0..`scale`) rounded to the nearest or, with `dither`, dithered.
    Only the first `colour` channels are dithered (all when None)."""
    if values.dtype == np.uint8:
        return values
    flat = values if values.ndim == 3 else values[..., None]
    height, width, channels = flat.shape
    out = np.empty(flat.shape, np.uint8)
    dithered = channels if colour is None else min(colour, channels)
    pattern = _Pattern(dither, seed, width, dithered) if dither and dithered and width else None
    rows = max(1, _BAND_PIXELS // max(1, width))
    for start in range(0, height, rows):
        stop = min(height, start + rows)
        band = flat[start:stop]
        target = out[start:stop]
        if pattern is None and band.dtype == np.uint16:
            _round_16_to_8(band, target)
            continue
        work = _on_255(band, scale)
        if pattern is None:
            _clip_round(work, 255.0, target)
            continue
        for c in range(channels):
            plane = work[..., c]
            if c < dithered:
                # floor(v + t): the integer part after the threshold, clipped.
                plane += pattern.rows(c, start, stop)
                np.floor(plane, out=plane)
            else:
                np.rint(plane, out=plane)
        np.fmax(work, np.float32(0.0), out=work)
        np.minimum(work, np.float32(255.0), out=work)
        np.copyto(target, work, casting="unsafe")
    return out if values.ndim == 3 else out[..., 0]


def to_uint16(values: np.ndarray, scale: float = 255.0) -> np.ndarray:
    """An array as uint16 (0..65535): uint16 as it is, uint8 times 257, floats
    (on 0..`scale`) clipped to 0..`scale`, scaled and rounded to the nearest."""
    if values.dtype == np.uint16:
        return values
    if values.dtype == np.uint8:
        wide: np.ndarray = np.multiply(values, np.uint16(257), dtype=np.uint16)
        return wide
    out = np.empty(values.shape, np.uint16)
    rows = max(1, _BAND_PIXELS // max(1, values[:1].size))
    for start in range(0, values.shape[0], rows):
        work = _on_255(values[start:start + rows], scale)
        np.fmax(work, np.float32(0.0), out=work)
        np.minimum(work, np.float32(255.0), out=work)
        np.multiply(work, np.float32(257.0), out=work)
        np.rint(work, out=work)
        np.copyto(out[start:start + rows], work, casting="unsafe")
    return out
