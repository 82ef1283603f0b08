from typing import Protocol, TypeAlias

import numpy as np
import numpy.typing as npt

class _HasKernelValue(Protocol):
    @property
    def value(self) -> str: ...

_Image: TypeAlias = npt.NDArray[np.uint8] | npt.NDArray[np.float32]
_Kernel: TypeAlias = str | _HasKernelValue

def kernel_available(name: str, /) -> bool: ...
def normal(
    background: npt.ArrayLike, foreground: npt.ArrayLike, opacity: float | str = ..., kernel: _Kernel = ..., /
) -> _Image: ...
def hsv_hue(
    background: npt.ArrayLike, foreground: npt.ArrayLike, opacity: float | str = ..., kernel: _Kernel = ..., /
) -> _Image: ...
def hsv_saturation(
    background: npt.ArrayLike, foreground: npt.ArrayLike, opacity: float | str = ..., kernel: _Kernel = ..., /
) -> _Image: ...
def hsv_value(
    background: npt.ArrayLike, foreground: npt.ArrayLike, opacity: float | str = ..., kernel: _Kernel = ..., /
) -> _Image: ...
def hsl_color(
    background: npt.ArrayLike, foreground: npt.ArrayLike, opacity: float | str = ..., kernel: _Kernel = ..., /
) -> _Image: ...
def lch_hue(
    background: npt.ArrayLike, foreground: npt.ArrayLike, opacity: float | str = ..., kernel: _Kernel = ..., /
) -> _Image: ...
def lch_chroma(
    background: npt.ArrayLike, foreground: npt.ArrayLike, opacity: float | str = ..., kernel: _Kernel = ..., /
) -> _Image: ...
def lch_color(
    background: npt.ArrayLike, foreground: npt.ArrayLike, opacity: float | str = ..., kernel: _Kernel = ..., /
) -> _Image: ...
def lch_lightness(
    background: npt.ArrayLike, foreground: npt.ArrayLike, opacity: float | str = ..., kernel: _Kernel = ..., /
) -> _Image: ...
