"""Type aliases shared by the package's modules and its users' annotations."""

from __future__ import annotations

from typing import Literal, Protocol, TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt

# The 28 mode names in the module's order ("normal", the separable modes, the
# colour-model modes together); a test keeps it equal to tarnwick.MODES.
Mode: TypeAlias = Literal[
    "normal", "soft_light", "lighten_only", "screen", "dodge", "addition", "darken_only",
    "multiply", "hard_light", "difference", "subtract", "grain_extract", "grain_merge",
    "divide", "overlay", "hsv_hue", "hsv_saturation", "hsv_value", "hsl_color", "lch_hue",
    "lch_chroma", "lch_color", "lch_lightness", "burn", "linear_burn", "exclusion",
    "vivid_light", "pin_light",
]

KernelName: TypeAlias = Literal["auto", "scalar", "sse42", "avx2"]


class HasKernelValue(Protocol):
    """A kernel given as an object with a name in ``value`` (``tarnwick.KernelKind``)."""

    @property
    def value(self) -> str: ...


Kernel: TypeAlias = KernelName | HasKernelValue

U8Image: TypeAlias = npt.NDArray[np.uint8]
F32Image: TypeAlias = npt.NDArray[np.float32]
Image: TypeAlias = U8Image | F32Image
Mask: TypeAlias = U8Image | F32Image

# An output array: the result has its type.
ImageT = TypeVar("ImageT", U8Image, F32Image)
