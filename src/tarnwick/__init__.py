"""Layer blend modes for NumPy images.

``tarnwick.blend(background, foreground, mode, opacity, ...)`` composites one
layer over another with the 28 layer modes, optionally into an existing
array, through a layer mask and on several threads;
``tarnwick.composite(backdrop, source, blend, opacity, operator=...)`` does
so in the standard compositing model (blend functions and Porter-Duff
operators), and ``tarnwick.flatten(canvas, layers)`` composites a stack of
``tarnwick.Layer`` records in one pass; ``tarnwick.imread`` and
``tarnwick.imwrite`` read and write image files as the command line does. Both two-image calls take batches of
frames, shaped (..., height, width, channels). The 28 modes are also functions of their own, taking
``(background, foreground[, opacity[, kernel]])`` positionally and returning
a new array with the background's dtype and shape.
"""

from __future__ import annotations

import enum
from importlib import metadata as _metadata
from typing import TYPE_CHECKING, Any

from _tarnwick import (
    addition,
    burn,
    darken_only,
    difference,
    divide,
    dodge,
    exclusion,
    grain_extract,
    grain_merge,
    hard_light,
    hsl_color,
    hsv_hue,
    hsv_saturation,
    hsv_value,
    kernel_available,
    lch_chroma,
    lch_color,
    lch_hue,
    lch_lightness,
    lighten_only,
    linear_burn,
    multiply,
    normal,
    overlay,
    pin_light,
    screen,
    soft_light,
    subtract,
    vivid_light,
)

from ._blend import blend
from ._composite import composite
from ._files import imread, imwrite
from ._flatten import Group, Layer, flatten
from ._names import BLENDS, KERNELS, MODES, OPERATORS
from ._typing import BlendName, KernelName, Mode, OperatorName

if TYPE_CHECKING:
    # Loaded on first use (see __getattr__); named here for type checkers.
    from .image import from_image as from_image, to_image as to_image


class KernelKind(enum.Enum):
    """Compute kernel for a blend call; "auto" picks the widest one available."""

    AUTO = "auto"
    SCALAR = "scalar"
    SSE42 = "sse42"
    AVX2 = "avx2"


try:
    __version__: str = _metadata.version("tarnwick")
except _metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "BLENDS", "BlendName", "Group", "KERNELS", "KernelKind", "KernelName", "Layer", "MODES", "Mode",
    "OPERATORS", "OperatorName", "__version__", "blend", "composite", "flatten",
    "imread", "imwrite", "kernel_available",
    "addition", "burn", "darken_only", "difference", "divide", "dodge", "exclusion",
    "grain_extract", "grain_merge", "hard_light", "hsl_color", "hsv_hue", "hsv_saturation",
    "hsv_value", "lch_chroma", "lch_color", "lch_hue", "lch_lightness", "lighten_only",
    "linear_burn", "multiply", "normal", "overlay", "pin_light", "screen", "soft_light",
    "subtract", "vivid_light",
]


def __getattr__(name: str) -> Any:
    # The Pillow helpers load on first use, so importing tarnwick needs only NumPy.
    if name in ("from_image", "to_image"):
        from tarnwick import image

        return getattr(image, name)
    raise AttributeError(f"module 'tarnwick' has no attribute {name!r}")
