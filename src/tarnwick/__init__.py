"""Layer blend modes for NumPy images.

Every blend function takes ``(background, foreground[, opacity[, kernel]])``
positionally and returns a new array with the background's dtype and shape.
"""

import enum

import _tarnwick
from _tarnwick import *  # noqa: F401,F403  (the blend functions and kernel_available)


class KernelKind(enum.Enum):
    """Compute kernel for a blend call; "auto" picks the widest one available."""

    AUTO = "auto"
    SCALAR = "scalar"
    SSE42 = "sse42"
    AVX2 = "avx2"


MODES = tuple(name for name in dir(_tarnwick) if not name.startswith("_") and name != "kernel_available")

__all__ = ["KernelKind", "MODES", "kernel_available", *MODES]


def __getattr__(name):
    # The Pillow helpers load on first use, so importing tarnwick needs only NumPy.
    if name in ("from_image", "to_image"):
        from tarnwick import image

        return getattr(image, name)
    raise AttributeError(f"module 'tarnwick' has no attribute {name!r}")
