"""Float images on 0..1 given to a call that reads floats on 0..255.

NumPy-side image libraries hold floats on 0..1, and a call left at the default
``float_scale`` (255) then composites a nearly black picture without a word.
A handful of evenly spread values tells the two apart cheaply: when every
sampled value lies within 0..1 and some are fractional, the call warns once
and suggests ``float_scale=1.0``. Whole numbers (uint8 data held as floats)
never warn, and neither does a scale the caller chose, 255 included.
"""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np

# The default of float_scale: the call tells "not given" from an explicit 255
# by identity, so both are made at run time, never shared constants.
DEFAULT_SCALE: float = float("255")
# What a call passes on to the calls it makes for frames, once it has checked.
CHECKED_SCALE: float = float("255")

# Values looked at per image: enough to see fractions, far too few to cost.
_SAMPLES = 4096


def passed_on(scale: float) -> float:
    """float_scale for the calls made on the caller's behalf (frames): the
    default becomes an explicit 255, so the sample is not taken again."""
    return CHECKED_SCALE if scale is DEFAULT_SCALE else scale


def _sample(array: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]:
    size = array.size
    if array.flags.c_contiguous:
        flat = array.reshape(-1)  # a view, never a copy
        return flat[:: max(1, size // _SAMPLES)]
    # Strided: gather evenly spaced positions, never the whole array.
    positions = np.linspace(0, size - 1, min(size, _SAMPLES)).astype(np.intp)
    return array[np.unravel_index(positions, array.shape)]


def looks_unit(array: Any) -> bool:
    """Whether a float array's sampled values all lie within 0..1 and some
    are fractional."""
    if not isinstance(array, np.ndarray):
        return False
    image: np.ndarray[Any, Any] = array  # pyright: ignore[reportUnknownVariableType]
    if image.dtype.kind != "f" or image.size == 0:
        return False
    values = _sample(image)
    low, high = values.min(), values.max()
    # NaN compares false: such an image is not called 0..1.
    if not (low >= 0 and high <= 1):
        return False
    return bool(np.any(values != np.floor(values)))


def warn_if_unit(scale: float, *named: tuple[str, Any], stacklevel: int = 3) -> None:
    """One warning naming the first float argument that looks like 0..1,
    when the caller left float_scale at its default."""
    if scale is not DEFAULT_SCALE:
        return
    for name, array in named:
        if looks_unit(array):
            warnings.warn(
                f"{name} holds floats within 0..1 but float_scale is 255 (the default); "
                "pass float_scale=1.0 if 1.0 means full intensity",
                UserWarning, stacklevel=stacklevel,
            )
            return
