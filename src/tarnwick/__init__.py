"""Layer blend modes for NumPy images.

``tarnwick.blend(background, foreground, mode, opacity, ...)`` composites one
layer over another, optionally into an existing array, through a layer mask
and on several threads. The 28 modes are also functions of their own, taking
``(background, foreground[, opacity[, kernel]])`` positionally and returning
a new array with the background's dtype and shape.
"""

import enum

import _tarnwick
from _tarnwick import *  # noqa: F401,F403  (the blend functions and kernel_available)

from ._api import KERNELS, MODES, blend


class KernelKind(enum.Enum):
    """Compute kernel for a blend call; "auto" picks the widest one available."""

    AUTO = "auto"
    SCALAR = "scalar"
    SSE42 = "sse42"
    AVX2 = "avx2"


__all__ = ["KERNELS", "KernelKind", "MODES", "blend", "kernel_available", *MODES]
