# Types of the native module _tarnwick (stub-only package, installed beside it).
from typing import Literal, Protocol, TypeAlias, TypeVar, overload

import numpy as np
import numpy.typing as npt

class _HasKernelValue(Protocol):
    @property
    def value(self) -> str: ...

_U8: TypeAlias = npt.NDArray[np.uint8]
_F32: TypeAlias = npt.NDArray[np.float32]
_Image: TypeAlias = _U8 | _F32
_KernelName: TypeAlias = Literal["auto", "scalar", "sse42", "avx2"]
_Kernel: TypeAlias = _KernelName | _HasKernelValue

class _BlendFunction(Protocol):
    """Blend (background, foreground[, opacity[, kernel]]) into a new array with
    the background's dtype and shape. A kernel name may stand in the opacity's place."""

    @overload
    def __call__(
        self,
        background: _U8,
        foreground: npt.ArrayLike,
        opacity: float | _KernelName = ...,
        kernel: _Kernel = ...,
        /,
    ) -> _U8: ...
    @overload
    def __call__(
        self,
        background: _F32,
        foreground: npt.ArrayLike,
        opacity: float | _KernelName = ...,
        kernel: _Kernel = ...,
        /,
    ) -> _F32: ...
    @overload
    def __call__(
        self,
        background: npt.ArrayLike,
        foreground: npt.ArrayLike,
        opacity: float | _KernelName = ...,
        kernel: _Kernel = ...,
        /,
    ) -> _Image: ...

def kernel_available(name: str, /) -> bool: ...

# The standard model's blend functions and operators, in the loops' order.
_blend_functions: tuple[str, ...]
_operators: tuple[str, ...]

_Out = TypeVar("_Out", _U8, _F32)

# Private: what tarnwick.blend(out=...) calls. Writes the blend of `mode` into
# `out` (the background's dtype and shape, C-contiguous, aligned, writeable;
# it may be the background itself) and returns it. `mask`, one uint8 or
# float32 value per pixel on the 0..255 scale, multiplies the layer's alpha.
# It also takes uint16 images, and float images on 0..`float_scale`.
def _blend_into(
    mode: str,
    background: npt.ArrayLike,
    foreground: npt.ArrayLike,
    opacity: float,
    kernel: _Kernel,
    out: _Out,
    mask: npt.NDArray[np.uint8] | npt.NDArray[np.float32] | None = None,
    float_scale: float = 255.0,
    /,
) -> _Out: ...
def _composite_layers(
    premultiplied: object,
    kernel: str,
    float_scale: float,
    canvas: _Out,
    layers: tuple[tuple[str, str, float, npt.ArrayLike, int, int], ...],
    /,
) -> _Out: ...
def _composite_into(
    blend: str,
    operator: str,
    premultiplied: object,
    backdrop: npt.ArrayLike,
    source: npt.ArrayLike,
    opacity: float,
    kernel: _Kernel,
    out: _Out,
    mask: npt.ArrayLike | None,
    float_scale: float = 255.0,
    linear: bool = False,
    /,
) -> _Out: ...

normal: _BlendFunction
soft_light: _BlendFunction
lighten_only: _BlendFunction
screen: _BlendFunction
dodge: _BlendFunction
addition: _BlendFunction
darken_only: _BlendFunction
multiply: _BlendFunction
hard_light: _BlendFunction
difference: _BlendFunction
subtract: _BlendFunction
grain_extract: _BlendFunction
grain_merge: _BlendFunction
divide: _BlendFunction
overlay: _BlendFunction
hsv_hue: _BlendFunction
hsv_saturation: _BlendFunction
hsv_value: _BlendFunction
hsl_color: _BlendFunction
lch_hue: _BlendFunction
lch_chroma: _BlendFunction
lch_color: _BlendFunction
lch_lightness: _BlendFunction
burn: _BlendFunction
linear_burn: _BlendFunction
exclusion: _BlendFunction
vivid_light: _BlendFunction
pin_light: _BlendFunction
