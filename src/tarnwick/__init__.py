"""Layer blend modes for NumPy images.

``tarnwick.blend(background, foreground, mode, opacity, ...)`` composites one
layer over another with the 28 layer modes, optionally into an existing
array, through a layer mask and on several threads;
``tarnwick.composite(backdrop, source, blend, opacity, operator=...)`` does
so in the standard compositing model (blend functions and Porter-Duff
operators), and ``tarnwick.flatten(canvas, layers)`` composites a stack of
``tarnwick.Layer`` records in one pass. Both two-image calls take batches of
frames, shaped (..., height, width, channels). The 28 modes are also functions of their own, taking
``(background, foreground[, opacity[, kernel]])`` positionally and returning
a new array with the background's dtype and shape.
"""

import enum

import _tarnwick
from _tarnwick import *  # noqa: F401,F403  (the blend functions and kernel_available)

from ._api import KERNELS, MODES, blend
from ._composite import BLENDS, OPERATORS, composite
from ._flatten import Layer, flatten


class KernelKind(enum.Enum):
    """Compute kernel for a blend call; "auto" picks the widest one available."""

    AUTO = "auto"
    SCALAR = "scalar"
    SSE42 = "sse42"
    AVX2 = "avx2"


__all__ = [
    "BLENDS", "KERNELS", "KernelKind", "Layer", "MODES", "OPERATORS", "blend", "composite",
    "flatten", "kernel_available", *MODES,
]


def __getattr__(name):
    # The Pillow helpers load on first use, so importing tarnwick needs only NumPy.
    if name in ("from_image", "to_image"):
        from tarnwick import image

        return getattr(image, name)
    raise AttributeError(f"module 'tarnwick' has no attribute {name!r}")
