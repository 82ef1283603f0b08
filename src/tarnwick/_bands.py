"""Bands: an image cut into runs of whole pixels that threads share.

Band boundaries fall on multiples of ``_GRANULE`` pixels and the last band
keeps at least that many, so every band sees the vector grouping and
alignment the one-call run has, and a result does not depend on the number
of threads. The worker threads are started on first use and kept.
"""

from __future__ import annotations

import math
import os
import queue
import threading
from typing import Callable

import numpy as np

from tarnwick import _numbers

# One native call on pieces of the images (each (rows, columns, channels))
# and of the mask (None, or one weight per pixel of the piece).
NativeCall = Callable[[np.ndarray, np.ndarray, np.ndarray, "np.ndarray | None"], None]

# Pixels per band step: 64 pixels of any layout is a whole number of every
# vector step (32 bytes, 8 floats) and keeps 16-byte alignment.
_GRANULE = 64


# The least pixels worth a thread of their own: below this, waking a thread
# costs more than it saves, and more threads than bands are never used.
_MIN_BAND = 1 << 15

# Pixels per scratch piece of a region whose loops need contiguous pixels.
_CHUNK_PIXELS = 1 << 14


def pieces(start: int, stop: int, count: int) -> list[tuple[int, int]]:
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


def pixel_rows(array: np.ndarray, start: int, stop: int) -> np.ndarray:
    """Pixels [start, stop) of a C-contiguous image as a (n, 1, channels) view."""
    flat = array.reshape(-1, array.shape[2])
    return flat[start:stop].reshape(stop - start, 1, array.shape[2])


class _Bands:
    """One call's bands, taken in order by whichever threads come: the
    result does not depend on which thread runs which band."""

    def __init__(self, run: Callable[[int], None], count: int) -> None:
        self.run = run
        self.count = count
        self.next = 0
        self.done = 0
        self.error: BaseException | None = None
        self.lock = threading.Lock()
        self.finished = threading.Event()

    def work(self) -> None:
        while True:
            with self.lock:
                band = self.next
                if band >= self.count:
                    return
                self.next = band + 1
            try:
                self.run(band)
            except BaseException as error:  # handed to the caller
                with self.lock:
                    if self.error is None:
                        self.error = error
            with self.lock:
                self.done += 1
                if self.done == self.count:
                    self.finished.set()


class _Pool:
    """Worker threads started on first use and kept for later calls. A
    thread the system refuses is simply not added: the bands then run on
    the threads there are, and nothing is written before that is known."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.jobs: queue.SimpleQueue[Callable[[], None]] = queue.SimpleQueue()
        self.threads: list[threading.Thread] = []

    def reserve(self, count: int) -> int:
        """Starts workers up to `count`; returns how many there are."""
        with self.lock:
            while len(self.threads) < count:
                thread = threading.Thread(
                    target=self._serve, name=f"tarnwick-{len(self.threads)}", daemon=True
                )
                try:
                    thread.start()
                except RuntimeError:  # "can't start new thread"
                    break
                self.threads.append(thread)
            return min(count, len(self.threads))

    def _serve(self) -> None:
        jobs = self.jobs
        while True:
            jobs.get()()

    def submit(self, job: Callable[[], None]) -> None:
        self.jobs.put(job)


_POOL = _Pool()


def _renew_pool_after_fork() -> None:
    # Threads do not survive fork, and the lock may have been held by one.
    global _POOL
    _POOL = _Pool()  # pyright: ignore[reportConstantRedefinition]


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_renew_pool_after_fork)


def run_bands(run: Callable[[int], None], count: int) -> None:
    """Runs ``run(0)`` .. ``run(count - 1)``, the bands spread over the
    calling thread and up to ``count - 1`` pooled workers. Every worker is
    in place before the first band runs; where the system refuses threads,
    fewer run (the calling thread alone, at worst)."""
    if count <= 1:
        if count == 1:
            run(0)
        return
    helpers = _POOL.reserve(count - 1)
    if helpers == 0:
        for band in range(count):
            run(band)
        return
    bands = _Bands(run, count)
    for _ in range(helpers):
        _POOL.submit(bands.work)
    bands.work()
    bands.finished.wait()
    if bands.error is not None:
        raise bands.error


def band_count(threads: int, pixels: int) -> int:
    """Threads actually worth using: no more than bands of _MIN_BAND pixels."""
    return max(1, min(threads, pixels // _MIN_BAND))


def row_pieces(height: int, count: int, step: int = 1) -> list[tuple[int, int]]:
    """Splits rows [0, height) into at most `count` runs of nearly equal
    size that start on multiples of `step` rows."""
    units = -(-height // step)
    count = max(1, min(count, units))
    bounds = [min(height, units * i // count * step) for i in range(count + 1)]
    return [(a, b) for a, b in zip(bounds[:-1], bounds[1:]) if b > a]


def run_banded(
    native: NativeCall,
    background: np.ndarray,
    foreground: np.ndarray,
    out: np.ndarray,
    mask: np.ndarray | None,
    threads: int,
    numbers: _numbers.Numbers | None = None,
    grouped: bool = False,
) -> None:
    """Runs `native` over the images in bands shared among up to `threads`
    threads; `mask` is (H, W) or (H, W, 1) or None, and `out` may be the
    background itself. With `numbers`, each piece is converted to what the
    loops read and back (uint16, other float scales, linear light).

    When every image (and the mask) is C-contiguous, the bands are runs of
    pixels that start on multiples of the granule. Otherwise (a region of a
    larger image, a repeated row) they are runs of rows, which the native
    loops take with their row strides as they lie. Loops whose rounding
    depends on a pixel's place in the vector groups (`grouped`: the layer
    modes) get bands of whole rows that start on a multiple of the granule,
    so that every pixel keeps the group it has in a call on a contiguous
    image; converted pieces of them go through contiguous scratch."""
    height, width = background.shape[:2]
    pixels = height * width
    if pixels == 0:
        return
    count = band_count(threads, pixels)
    arrays = (background, foreground, out) + (() if mask is None else (mask,))
    if all(array.flags.c_contiguous for array in arrays):
        bands = pieces(0, pixels, count)

        def run(band: int) -> None:
            _run_flat(native, background, foreground, out, mask, numbers, *bands[band])
    elif grouped and numbers is not None:
        step = _GRANULE // math.gcd(width, _GRANULE)  # rows that hold whole granules
        bands = row_pieces(height, count, step)
        chunk = max(step, _CHUNK_PIXELS // (width * step) * step)

        def run(band: int) -> None:
            first, last = bands[band]
            for top in range(first, last, chunk):
                rows = slice(top, min(last, top + chunk))
                into = np.empty(out[rows].shape, out.dtype)
                below = np.ascontiguousarray(background[rows])
                _run_flat(native, below, np.ascontiguousarray(foreground[rows]), into,
                          None if mask is None else np.ascontiguousarray(mask[rows]), numbers,
                          0, below.shape[0] * width)
                out[rows] = into
    else:
        # The native loops gather a grouped region's pixels themselves, in
        # pieces counted from the call's first pixel: bands then start on
        # whole granules.
        bands = row_pieces(height, count, _GRANULE // math.gcd(width, _GRANULE) if grouped else 1)

        def run(band: int) -> None:
            first, last = bands[band]
            if numbers is None:
                native(background[first:last], foreground[first:last], out[first:last],
                       None if mask is None else mask[first:last])
                return
            for row in range(first, last):
                # Each row's pixels are contiguous: a run the conversions take.
                _run_flat(native, background[row][None], foreground[row][None], out[row][None],
                          None if mask is None else mask[row][None], numbers, 0, width)

    run_bands(run, len(bands))


def _run_flat(
    native: NativeCall,
    background: np.ndarray,
    foreground: np.ndarray,
    out: np.ndarray,
    mask: np.ndarray | None,
    numbers: _numbers.Numbers | None,
    start: int,
    stop: int,
) -> None:
    """Pixels [start, stop) of images whose pixels each lie in one run."""
    below, layer, into = (a.reshape(-1, 1, a.shape[-1]) for a in (background, foreground, out))
    weights = None if mask is None else mask.reshape(-1)

    def call(b: np.ndarray, f: np.ndarray, o: np.ndarray, first: int, last: int) -> None:
        native(b, f, o, None if weights is None else weights[first:last])

    if numbers is not None:
        _numbers.run_converted(call, below, layer, into, start, stop, numbers)
    else:
        call(below[start:stop], layer[start:stop], into[start:stop], start, stop)
