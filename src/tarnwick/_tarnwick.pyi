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
