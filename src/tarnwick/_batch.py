"""Batches of frames: images of shape (..., height, width, channels) whose
leading dimensions broadcast as NumPy's do, with opacities and masks that
broadcast against them.

Everything is checked once, for the whole batch, before a pixel is written;
then the single-image call runs once per frame into its slice of ``out``.
Each frame is exactly the call a caller would make for it alone, so the
result is bit-identical to one call per frame. Frames are shared among the
threads; a batch of fewer frames than threads gives each frame all of them.
"""

from __future__ import annotations

from types import SimpleNamespace
from typing import Any, Callable, Protocol

import numpy as np

from ._bands import run_bands
from ._checks import _FLOAT32_OVERFLOW, check_out, check_threads, _native_dtype, too_opaque


class FrameCall(Protocol):
    def __call__(
        self, background: np.ndarray, foreground: np.ndarray, opacity: float,
        out: np.ndarray, mask: np.ndarray | None, threads: int, /,
    ) -> Any: ...


FrameCheck = Callable[[Any, Any, float, Any], object]


def _mask_image_dims(mask: Any, height_width: tuple[int, ...]) -> int:
    """How many trailing dimensions of `mask` are the image: 3 for
    (..., H, W, 1), else 2."""
    shape = tuple(mask.shape)
    if len(shape) >= 3 and shape[-3:] == (*height_width, 1):
        return 3
    return 2


def is_batch(background: Any, foreground: Any, opacity: Any, mask: Any) -> bool:
    """Whether a two-image call has leading dimensions anywhere."""
    if background.ndim > 3 or foreground.ndim > 3:
        return True
    if not isinstance(opacity, (float, int, str, bytes)) and np.ndim(opacity) > 0:
        return True
    if mask is None or background.ndim < 3:
        return False
    height_width = tuple(background.shape[-3:-1])
    if mask.ndim > 3:
        return True
    # (H, W, 1) is one image's mask; (N, H, W) a mask per frame.
    return mask.ndim == 3 and tuple(mask.shape) != (*height_width, 1) and tuple(
        mask.shape[1:]) == height_width


def _opacities(opacity: Any) -> np.ndarray:
    if isinstance(opacity, (str, bytes)):
        raise TypeError(f"opacity must be a real number, not {type(opacity).__name__}")
    values = np.asarray(opacity)
    if values.dtype.kind not in "biuf":
        raise TypeError(f"opacity must be a real number or an array of them, not {values.dtype}")
    values = values.astype(np.float64)
    if np.isnan(values).any() or (values >= _FLOAT32_OVERFLOW).any():
        raise ValueError("opacity must be a finite number")
    above = values[values > 1.0]
    if above.size:
        raise too_opaque(float(above[0]))
    return values


def check_batch(
    check: FrameCheck,
    background: Any,
    foreground: Any,
    opacity: Any,
    mask: Any,
    names: tuple[str, str],
) -> tuple[tuple[int, ...], np.ndarray, int]:
    """Raise what a batched call raises for these arguments; return the
    broadcast leading shape, the opacities as float64 and how many trailing
    dimensions of the mask are the image.

    `check(background, foreground, opacity, mask)` raises what the
    single-image call raises for one frame's arguments; it is given objects
    with the frames' shape and dtype. Reads only ``shape`` and ``dtype`` of
    the arrays (NumPy, Dask, ...).
    """
    for name, image in zip(names, (background, foreground)):
        if image.ndim < 3:
            raise ValueError(
                f"{name} must have shape (..., height, width, 3 or 4), got {tuple(image.shape)}"
            )
    opacities = _opacities(opacity)
    height_width = tuple(background.shape[-3:-1])
    mask_dims = 0 if mask is None else _mask_image_dims(mask, height_width)
    leads = {
        names[0]: tuple(background.shape[:-3]),
        names[1]: tuple(foreground.shape[:-3]),
        "opacity": opacities.shape,
    }
    if mask is not None:
        if mask.ndim < 2:
            raise ValueError(
                f"mask must have shape (..., {height_width[0]}, {height_width[1]}) like the images, "
                f"got {tuple(mask.shape)}"
            )
        leads["mask"] = tuple(mask.shape[:-mask_dims])
    try:
        lead = np.broadcast_shapes(*leads.values())
    except ValueError:
        listed = ", ".join(f"{name} {shape}" for name, shape in leads.items())
        raise ValueError(f"leading dimensions do not broadcast: {listed}") from None

    def frame(array: Any, dims: int) -> SimpleNamespace:
        return SimpleNamespace(shape=tuple(array.shape[-dims:]), dtype=array.dtype)

    first = float(opacities.reshape(-1)[0]) if opacities.size else 1.0
    check(frame(background, 3), frame(foreground, 3), first,
          None if mask is None else frame(mask, mask_dims))
    return lead, opacities, mask_dims


def run_frames(
    call: FrameCall,
    check: FrameCheck,
    background: np.ndarray,
    foreground: np.ndarray,
    opacity: Any,
    mask: np.ndarray | None,
    out: Any,
    threads: Any,
    names: tuple[str, str],
) -> np.ndarray:
    """Checks a batch (see ``check_batch``), then runs `call` once per frame
    into `out`."""
    lead, opacities, mask_dims = check_batch(check, background, foreground, opacity, mask, names)
    threads = check_threads(threads)

    full = np.broadcast_to(background, lead + background.shape[-3:])
    if out is None:
        result = np.empty(full.shape, _native_dtype(background.dtype))
    else:
        check_out(out, full, foreground, mask, names)
        result = out

    backgrounds = full
    foregrounds = np.broadcast_to(foreground, lead + foreground.shape[-3:])
    alphas = np.broadcast_to(opacities, lead)
    masks = None if mask is None else np.broadcast_to(mask, lead + mask.shape[-mask_dims:])
    frames = list(np.ndindex(*lead))

    def one(index: tuple[int, ...], band_threads: int) -> None:
        call(backgrounds[index], foregrounds[index], float(alphas[index]), result[index],
             None if masks is None else masks[index], band_threads)

    count = min(threads, len(frames))
    if count < threads:
        for index in frames:
            one(index, threads)
    else:
        def worker(band: int) -> None:
            for index in frames[band::count]:
                one(index, 1)

        run_bands(worker, count)
    return result
