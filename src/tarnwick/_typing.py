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

# The blend functions of tarnwick.composite in tarnwick.BLENDS's order (a test
# keeps them equal), and the spellings with hyphens it takes for the same ones.
Blend: TypeAlias = Literal[
    "normal", "multiply", "screen", "overlay", "darken", "lighten", "color_dodge",
    "color_burn", "hard_light", "soft_light", "difference", "exclusion", "hue",
    "saturation", "color", "luminosity", "linear_dodge", "linear_burn", "subtract",
    "divide", "vivid_light", "linear_light", "pin_light", "hard_mix", "darker_color",
    "lighter_color",
]
BlendName: TypeAlias = Blend | Literal[
    "color-dodge", "color-burn", "hard-light", "soft-light", "linear-dodge", "linear-burn",
    "vivid-light", "linear-light", "pin-light", "hard-mix", "darker-color", "lighter-color",
]

# The operators in tarnwick.OPERATORS's order, then the hyphenated spellings.
Operator: TypeAlias = Literal[
    "clear", "copy", "destination", "source_over", "destination_over", "source_in",
    "destination_in", "source_out", "destination_out", "source_atop", "destination_atop",
    "xor", "plus_lighter",
]
OperatorName: TypeAlias = Operator | Literal[
    "source-over", "destination-over", "source-in", "destination-in", "source-out",
    "destination-out", "source-atop", "destination-atop", "plus-lighter",
]

# Where composite and flatten blend: on the stored sRGB values or in linear light.
Space: TypeAlias = Literal["srgb", "linear"]

# Which family a flatten Layer's blend names.
Model: TypeAlias = Literal["standard", "layer"]


class HasKernelValue(Protocol):
    """A kernel given as an object with a name in ``value`` (``tarnwick.KernelKind``)."""

    @property
    def value(self) -> str: ...


Kernel: TypeAlias = KernelName | HasKernelValue

U8Image: TypeAlias = npt.NDArray[np.uint8]
U16Image: TypeAlias = npt.NDArray[np.uint16]
F32Image: TypeAlias = npt.NDArray[np.float32]
F64Image: TypeAlias = npt.NDArray[np.float64]
Image: TypeAlias = U8Image | U16Image | F32Image | F64Image
Mask: TypeAlias = U8Image | F32Image | F64Image
# What image files and Pillow images are read as.
FileImage: TypeAlias = U8Image | U16Image | F32Image

# An output array: the result has its type.
ImageT = TypeVar("ImageT", U8Image, U16Image, F32Image, F64Image)
