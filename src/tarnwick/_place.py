"""Where a layer lands on its backdrop: the (x, y) offset of its top-left
pixel, the overlap the loops work on, the rectangles of the backdrop
outside it, and solid colours given in a layer's place.

A layer may hang off any edge of the backdrop, or miss it; only the overlap
is composited. Every rectangle here is a pair of row and column slices of
the backdrop, so the loops get views, never copies.
"""

from __future__ import annotations

import math
import operator
from dataclasses import dataclass
from typing import Any, cast

import numpy as np

Rect = tuple[slice, slice]


def check_offset(name: str, value: Any) -> int:
    """An offset as an int: any integer, bool and floats refused."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, not bool")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, not {type(value).__name__}") from None


@dataclass(frozen=True)
class Placement:
    """A layer of `layer_shape` (height, width) at column x, row y of a
    backdrop of `backdrop_shape`."""

    backdrop: Rect  # the overlap, on the backdrop
    layer: Rect  # the same pixels, on the layer
    empty: bool  # no pixel overlaps
    whole: bool  # the layer covers the backdrop exactly, at (0, 0)

    def outside(self, height: int, width: int) -> list[Rect]:
        """The rectangles of a height × width backdrop the layer leaves
        uncovered: the rows above and below the overlap, then the columns
        left and right of it."""
        if self.empty:
            return [(slice(0, height), slice(0, width))] if height and width else []
        rows, cols = self.backdrop
        rects = [
            (slice(0, rows.start), slice(0, width)),
            (slice(rows.stop, height), slice(0, width)),
            (rows, slice(0, cols.start)),
            (rows, slice(cols.stop, width)),
        ]
        return [(r, c) for r, c in rects if r.stop > r.start and c.stop > c.start]


def place(backdrop_hw: tuple[int, ...], layer_hw: tuple[int, ...], x: int, y: int) -> Placement:
    height, width = backdrop_hw[0], backdrop_hw[1]
    layer_height, layer_width = layer_hw[0], layer_hw[1]
    top, bottom = max(y, 0), min(y + layer_height, height)
    left, right = max(x, 0), min(x + layer_width, width)
    empty = bottom <= top or right <= left
    if empty:
        top = bottom = left = right = 0
    return Placement(
        backdrop=(slice(top, bottom), slice(left, right)),
        layer=(slice(top - y, bottom - y), slice(left - x, right - x)) if not empty
        else (slice(0, 0), slice(0, 0)),
        empty=empty,
        whole=x == 0 and y == 0 and (layer_height, layer_width) == (height, width),
    )


def is_colour(value: Any) -> bool:
    """Whether a layer argument is a colour: a sequence of numbers, or an
    array of shape (C,) or (1, 1, C)."""
    if getattr(value.__class__, "never_a_colour", False):
        return False
    if isinstance(value, (list, tuple)):
        items: tuple[object, ...] = tuple(cast(Any, value))
        return all(isinstance(v, (int, float, np.integer, np.floating)) for v in items)
    shape = getattr(value, "shape", None)
    return shape is not None and (len(shape) == 1 or tuple(shape[:2]) == (1, 1) and len(shape) == 3)


_LIMITS = {np.dtype(np.uint8): 255, np.dtype(np.uint16): 65535}
_TYPES = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32))


def colour_layer(
    name: str, value: Any, like: np.dtype[Any], shape: tuple[int, int], float_scale: float
) -> np.ndarray:
    """A colour as a layer of `shape` (height, width) that holds one row:
    every row is the same memory, so nothing full-size is built. A sequence
    takes the type `like` (the backdrop's) and its scale; an array keeps its
    own type."""
    array = np.asarray(value)
    own = np.dtype(array.dtype).newbyteorder("=")
    # An array of an image type keeps it; numbers of any other kind take
    # the backdrop's.
    dtype = own if not isinstance(value, (list, tuple)) and own in _TYPES else like
    values = array.reshape(-1)
    if values.size not in (3, 4):
        raise ValueError(f"{name} as a colour must have 3 or 4 values, got {values.size}")
    limit = _LIMITS.get(np.dtype(dtype).newbyteorder("="))
    if array.dtype.kind not in "uif":
        raise TypeError(f"{name} as a colour must hold numbers, got {array.dtype}")
    numbers = values.astype(np.float64)
    if limit is not None:
        bad = [v for v in numbers if not (0 <= v <= limit and float(v).is_integer())]
        if bad:
            raise ValueError(
                f"{name} as a colour for a {np.dtype(dtype)} image must hold whole numbers "
                f"0..{limit}, got {bad[0]:g}"
            )
    else:
        bad = [v for v in numbers if not (math.isfinite(v) and 0 <= v <= float_scale)]
        if bad:
            raise ValueError(
                f"{name} as a colour must hold numbers 0..{float_scale:g} (float_scale), "
                f"got {bad[0]:g}"
            )
    native = np.dtype(dtype).newbyteorder("=")
    row = np.empty((shape[1], values.size), native)
    row[...] = values.astype(native)
    return np.broadcast_to(row, (shape[0], shape[1], values.size))


def transparent_layer(dtype: np.dtype[Any], shape: tuple[int, int]) -> np.ndarray:
    """A transparent layer of `shape`, one row of memory: what lies outside
    a placed layer's rectangle."""
    return np.broadcast_to(np.zeros((shape[1], 4), dtype), (shape[0], shape[1], 4))
