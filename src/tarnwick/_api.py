"""``tarnwick.blend``: one entry point for every mode, with an output array,
a layer mask and several threads.

The native blend functions allocate their result and work on one thread.
Here the arguments are checked once, up front, so that a failed call writes
nothing; then the image is composited into ``out`` in bands of whole pixel
runs through the module's private ``_blend_into``. Band boundaries fall on
multiples of ``_GRANULE`` pixels and the last band keeps at least that many,
so every band sees the vector grouping and alignment the one-call run has
and the result does not depend on the number of threads.
"""

from __future__ import annotations

import difflib
import math
import operator
import os
import queue
import threading
from typing import Any, Callable, TypeGuard, cast, overload

import numpy as np
import numpy.typing as npt

import _tarnwick
from tarnwick import _floats, _numbers

from ._typing import F32Image, F64Image, Image, ImageT, Kernel, KernelName, Mask, Mode, U8Image, U16Image

# In the module's own order ("normal", the separable modes, the colour-model
# modes together); dir() would sort them.
MODES: tuple[Mode, ...] = cast("tuple[Mode, ...]", tuple(
    name for name, value in vars(_tarnwick).items()
    if callable(value) and not name.startswith("_") and name != "kernel_available"
))

KERNELS: tuple[KernelName, ...] = ("auto", "scalar", "sse42", "avx2")

# Membership tests on every call: a set, not a tuple scan.
_MODE_SET = frozenset(MODES)
_KERNEL_SET = frozenset(KERNELS)


def families(modes: Any = None) -> dict[str, tuple[str, ...]]:
    """The modes by family: "normal", separable, colour-model (HSV, HSL, LCH)."""
    modes = MODES if modes is None else tuple(modes)
    colour = tuple(m for m in modes if m.startswith(("hsv_", "hsl_", "lch_")))
    separable = tuple(m for m in modes if m != "normal" and m not in colour)
    return {"normal": tuple(m for m in modes if m == "normal"), "separable": separable,
            "colour-model": colour}


def closest_modes(name: str) -> list[str]:
    """Up to three mode names that look like `name`, best first."""
    return difflib.get_close_matches(name, MODES, n=3, cutoff=0.5)

# Pixels per band step: 64 pixels of any layout is a whole number of every
# vector step (32 bytes, 8 floats) and keeps 16-byte alignment.
_GRANULE = 64
# The least pixels worth a thread of their own: below this, waking a thread
# costs more than it saves, and more threads than bands are never used.
_MIN_BAND = 1 << 15

# The least double that rounds to +inf in float32: FLT_MAX plus half an ulp.
_FLOAT32_OVERFLOW = 2.0**128 - 2.0**103

# Image types of the Python calls; the native loops read uint8 and float32,
# and uint16 and float64 go through float32 scratch a band at a time.
_SUPPORTED = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32), np.dtype(np.float64))
_MASK_TYPES = (np.dtype(np.uint8), np.dtype(np.float32), np.dtype(np.float64))
IMAGE_TYPES = "uint8, uint16, float32 or float64"
_UINT8 = np.dtype(np.uint8)
_FLOAT32 = np.dtype(np.float32)


def _is_ndarray(value: object) -> TypeGuard[np.ndarray]:
    return isinstance(value, np.ndarray)


def _native_dtype(dtype: np.dtype[Any]) -> np.dtype[Any] | None:
    """uint8, uint16, float32 or float64 in native byte order, or None for other types."""
    if dtype is _UINT8 or dtype is _FLOAT32:
        return dtype
    native = dtype.newbyteorder("=")
    return native if native in _SUPPORTED else None


def _check_image(name: str, array: Any) -> tuple[int, int, int]:
    shape = tuple(array.shape)
    if len(shape) != 3:
        raise ValueError(
            f"{name} must have shape (height, width, 3 or 4), got {shape}"
        )
    return shape


def channels_error(name: str, shape: tuple[int, ...]) -> str:
    """The message for an image whose last axis is not 3 or 4 channels."""
    hint = ""
    if len(shape) >= 3 and shape[-3] in (3, 4) and shape[-1] > 4:
        hint = f"; channels first? np.moveaxis({name}, -3, -1) puts them last"
    return f"{name} must have 3 or 4 channels, shape (height, width, 3 or 4), got {shape}{hint}"


def _check_mode(mode: Any) -> Mode:
    if not isinstance(mode, str):
        raise TypeError(f"mode must be a string, one of tarnwick.MODES, not {type(mode).__name__}")
    if mode not in _MODE_SET:
        from tarnwick._composite import standard_family

        family = standard_family(mode)
        if family:
            raise ValueError(
                f"{mode!r} is {family} of tarnwick.composite, not a layer mode of tarnwick.blend"
            )
        close = closest_modes(mode)
        hint = ("; closest: " + ", ".join(repr(m) for m in close)) if close else (
            "; see tarnwick.MODES")
        raise ValueError(f"unknown blend mode {mode!r}{hint}")
    return mode


def _not_real(opacity: Any) -> TypeError:
    dtype: Any = getattr(opacity, "dtype", None)
    kind = dtype if isinstance(opacity, np.ndarray) else type(opacity).__name__
    return TypeError(f"opacity must be a real number, not {kind}")


def _is_complex(value: Any) -> bool:
    # NumPy scalars and arrays carry a dtype: float() of a complex one drops
    # the imaginary part with only a warning.
    dtype: Any = getattr(value, "dtype", None)
    return isinstance(value, complex) or getattr(dtype, "kind", None) == "c"


def too_opaque(value: float) -> ValueError:
    """The error for an opacity above 1: most often a percentage."""
    def shown(number: float) -> str:
        # 80 rather than 80.0, and never rounded: 1.0000000000000002 is not 1.
        return str(int(number)) if number.is_integer() and number < 1e15 else repr(number)

    hint = f"; for {shown(value)} % pass {shown(value / 100)}" if value <= 100 else ""
    return ValueError(f"opacity must be from 0 to 1, got {shown(value)}{hint}")


def _check_opacity(opacity: Any) -> float:
    if type(opacity) is float:
        value = opacity
    elif isinstance(opacity, (str, bytes)) or _is_complex(opacity):
        raise _not_real(opacity)
    else:
        try:
            value = float(opacity)
        except TypeError:
            raise _not_real(opacity) from None
        except OverflowError:
            # An integer (or fraction) beyond the float range: a huge positive
            # opacity has no result, a huge negative one composites nothing.
            if opacity > 0:
                raise ValueError("opacity must be a finite number") from None
            return -math.inf
    # -inf composites nothing, like any opacity <= 0; NaN and +inf (also
    # values that round to it in float32) have no result.
    if math.isnan(value) or value >= _FLOAT32_OVERFLOW:
        raise ValueError("opacity must be a finite number")
    if value > 1.0:
        raise too_opaque(value)
    return value


def _check_kernel(kernel: Any) -> KernelName:
    name = kernel if isinstance(kernel, str) else getattr(kernel, "value", None)
    if not isinstance(name, str):
        raise TypeError("kernel must be a string or KernelKind")
    if name not in _KERNEL_SET:
        raise ValueError(f"unknown kernel {name!r}; expected one of {', '.join(map(repr, KERNELS))}")
    return name


def _plain_mask(mask: Any) -> np.ndarray:
    """The mask as a plain ndarray: a masked array's hidden entries weigh 0,
    a matrix or other subclass gives its data. A type the mask may not have
    is left unfilled (filling some, raw bytes, fails with NumPy's own error),
    so that the type check names it."""
    given: Any = mask  # a subclass's members are untyped
    if np.ma.isMaskedArray(given) and np.dtype(given.dtype).newbyteorder("=") in _MASK_TYPES:
        return np.asarray(given.filled(0))
    return np.asarray(given)


def _check_mask(mask: Any, height: int, width: int) -> None:
    shape = tuple(mask.shape)
    if shape not in ((height, width), (height, width, 1)):
        raise ValueError(
            f"mask must have shape ({height}, {width}) or ({height}, {width}, 1) like the images, "
            f"got {shape}"
        )
    if np.dtype(mask.dtype).newbyteorder("=") not in _MASK_TYPES:
        raise TypeError(f"mask must be a uint8, float32 or float64 array, not {np.dtype(mask.dtype)}")


def check_arguments(
    background: Any,
    foreground: Any,
    mode: str = "normal",
    opacity: Any = 1.0,
    kernel: Kernel | str = "auto",
    mask: Any = None,
) -> tuple[Mode, float, KernelName]:
    """Raise what ``blend`` raises for these arguments; return the mode, the
    opacity as a float and the kernel name.

    Reads only ``shape`` and ``dtype`` of the arrays, so it serves for any
    array type (NumPy, Dask) without touching pixel data.
    """
    checked_mode = _check_mode(mode)
    checked_opacity, checked_kernel = check_pair(background, foreground, opacity, kernel, mask)
    return checked_mode, checked_opacity, checked_kernel


def check_pair(
    background: Any,
    foreground: Any,
    opacity: Any,
    kernel: Any,
    mask: Any,
    names: tuple[str, str] = ("background", "foreground"),
) -> tuple[float, KernelName]:
    """The checks of two images, opacity, kernel and mask that every
    two-image call shares; `names` are the images' argument names."""
    bg_shape = _check_image(names[0], background)
    fg_shape = _check_image(names[1], foreground)
    for name, array in zip(names, (background, foreground)):
        if _native_dtype(np.dtype(array.dtype)) is None:
            raise TypeError(
                f"{name} must be a {IMAGE_TYPES} array, got {np.dtype(array.dtype)}"
            )
    for name, shape in zip(names, (bg_shape, fg_shape)):
        if shape[2] not in (3, 4):
            raise ValueError(channels_error(name, shape))
    if bg_shape[:2] != fg_shape[:2]:
        raise ValueError(
            f"{names[0]} and {names[1]} must match in height and width, "
            f"got {bg_shape[:2]} and {fg_shape[:2]}"
        )
    checked_opacity = _check_opacity(opacity)
    checked_kernel = _check_kernel(kernel)
    if mask is not None:
        _check_mask(mask, bg_shape[0], bg_shape[1])
    return checked_opacity, checked_kernel


def mask_dtype(dtype: np.dtype[Any]) -> np.dtype[Any] | None:
    """The type the native loops read a mask of this type as: uint8, or
    float32 for any float mask (a float64 mask is narrowed, one value a pixel)."""
    native = _native_dtype(dtype)
    return _FLOAT32 if native is not None and native.kind == "f" else native


def _check_threads(threads: Any) -> int:
    if threads is None:
        threads = 0
    if isinstance(threads, bool):
        raise TypeError("threads must be an integer or None, not bool")
    try:
        threads = operator.index(threads)
    except TypeError:
        raise TypeError(f"threads must be an integer or None, not {type(threads).__name__}") from None
    if threads < 0:
        raise ValueError(f"threads must be 0 or more (0 or None: one per core), got {threads}")
    if threads == 0:
        counter = getattr(os, "process_cpu_count", None) or os.cpu_count
        threads = counter() or 1
    return int(threads)


def _same_memory(a: np.ndarray, b: np.ndarray) -> bool:
    return (
        a.__array_interface__["data"][0] == b.__array_interface__["data"][0]
        and a.shape == b.shape
        and a.strides == b.strides
        and a.dtype == b.dtype
    )


def _overlaps(a: np.ndarray, b: np.ndarray) -> bool:
    if not _may_share_memory(a, b):
        return False
    try:
        return bool(np.shares_memory(a, b, max_work=1 << 20))  # type: ignore[arg-type]
    except np.exceptions.TooHardError:
        return True


def _check_out(
    out: Any,
    background: np.ndarray,
    foreground: np.ndarray,
    mask: Any,
    names: tuple[str, str] = ("background", "foreground"),
) -> bool:
    """Validates ``out``; True when it is the background itself (in place)."""
    expected = background.shape
    dtype = _native_dtype(background.dtype)

    def want() -> str:  # formatted only for an error
        return (f"a C-contiguous, aligned, writeable {dtype} array of shape {expected} "
                f"(the {names[0]}'s dtype and shape)")

    if not _is_ndarray(out):
        raise TypeError(f"out must be {want()}, not {type(out).__name__}")
    if out.dtype != dtype:
        raise ValueError(f"out must be {want()}; got dtype {out.dtype}")
    if out.shape != expected:
        raise ValueError(f"out must be {want()}; got shape {out.shape}")
    flags = out.flags
    if not flags.c_contiguous:
        # An out that is also an input's memory is most often an in-place
        # call on a strided view: say so, not only that it is strided.
        shared = next((f" that overlaps the {label}" for label, other in (
            (names[0], background), (names[1], foreground), ("mask", mask))
            if _is_ndarray(other) and _overlaps(out, other)), "")
        raise ValueError(
            f"out must be {want()}; got a non-contiguous array (strides {out.strides}){shared}"
        )
    if not flags.aligned:
        raise ValueError(f"out must be {want()}; got an unaligned array")
    if not flags.writeable:
        raise ValueError(f"out must be {want()}; got a read-only array")
    in_place = out is background or (
        _may_share_memory(out, background) and _same_memory(out, background))
    if not in_place and _overlaps(out, background):
        raise ValueError(
            f"out overlaps the {names[0]}; pass the {names[0]} array itself to composite in place"
        )
    if _overlaps(out, foreground):
        raise ValueError(f"out must not overlap the {names[1]}")
    if _is_ndarray(mask) and _overlaps(out, mask):
        raise ValueError("out must not overlap the mask")
    return in_place


_may_share_memory = np.may_share_memory


def _pieces(start: int, stop: int, count: int) -> list[tuple[int, int]]:
    """Splits [start, stop) into at most `count` runs that start on multiples
    of the granule; only the last may have another length, and it keeps at
    least a granule (a shorter run would take other vector steps)."""
    total = stop - start
    size = -(-total // max(count, 1))
    size = -(-size // _GRANULE) * _GRANULE
    bounds = list(range(start, stop, size)) + [stop]
    if len(bounds) > 2 and bounds[-1] - bounds[-2] < _GRANULE:
        del bounds[-2]
    return list(zip(bounds[:-1], bounds[1:]))


def _rows(array: np.ndarray, start: int, stop: int) -> np.ndarray:
    """Pixels [start, stop) of a C-contiguous image as a (n, 1, channels) view."""
    flat = array.reshape(-1, array.shape[2])
    return flat[start:stop].reshape(stop - start, 1, array.shape[2])


def _as_image(array: Any) -> np.ndarray:
    return array if type(array) is np.ndarray else np.asarray(array)


def _contiguous(array: np.ndarray) -> np.ndarray:
    dtype = _native_dtype(array.dtype)
    if array.dtype == dtype and array.flags.c_contiguous and array.flags.aligned:
        return array
    return np.ascontiguousarray(array, dtype=dtype)


def _flat_mask(mask: np.ndarray) -> np.ndarray | None:
    """The mask flattened, C-contiguous in native order, or None when every
    weight is 1: then the unmasked loops run and give the unmasked result
    bit for bit (the masked loops share the pixels out differently)."""
    flat = mask.reshape(-1)
    dtype = mask_dtype(flat.dtype)
    if flat.dtype != dtype or not (flat.flags.c_contiguous and flat.flags.aligned):
        flat = np.ascontiguousarray(flat, dtype=dtype)
    if flat.dtype == np.uint8:
        full = flat.size == 0 or int(flat.min()) == 255
    else:
        # A weight is 1 from 255 on; NaN weighs 0.
        full = bool(np.all(flat >= 255))
    return None if full else flat


class _Bands:
    """One call's bands, taken in order by whichever threads come: the
    result does not depend on which thread runs which band."""

    def __init__(self, run: Callable[[int], None], count: int) -> None:
        self.run = run
        self.count = count
        self.next = 0
        self.done = 0
        self.error: BaseException | None = None
        self.lock = threading.Lock()
        self.finished = threading.Event()

    def work(self) -> None:
        while True:
            with self.lock:
                band = self.next
                if band >= self.count:
                    return
                self.next = band + 1
            try:
                self.run(band)
            except BaseException as error:  # handed to the caller
                with self.lock:
                    if self.error is None:
                        self.error = error
            with self.lock:
                self.done += 1
                if self.done == self.count:
                    self.finished.set()


class _Pool:
    """Worker threads started on first use and kept for later calls. A
    thread the system refuses is simply not added: the bands then run on
    the threads there are, and nothing is written before that is known."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.jobs: queue.SimpleQueue[Callable[[], None]] = queue.SimpleQueue()
        self.threads: list[threading.Thread] = []

    def reserve(self, count: int) -> int:
        """Starts workers up to `count`; returns how many there are."""
        with self.lock:
            while len(self.threads) < count:
                thread = threading.Thread(
                    target=self._serve, name=f"tarnwick-{len(self.threads)}", daemon=True
                )
                try:
                    thread.start()
                except RuntimeError:  # "can't start new thread"
                    break
                self.threads.append(thread)
            return min(count, len(self.threads))

    def _serve(self) -> None:
        jobs = self.jobs
        while True:
            jobs.get()()

    def submit(self, job: Callable[[], None]) -> None:
        self.jobs.put(job)


_POOL = _Pool()


def _renew_pool_after_fork() -> None:
    # Threads do not survive fork, and the lock may have been held by one.
    global _POOL
    _POOL = _Pool()  # pyright: ignore[reportConstantRedefinition]


if hasattr(os, "register_at_fork"):
    os.register_at_fork(after_in_child=_renew_pool_after_fork)


def _batch() -> Any:
    # Imported on first use: the batch layer is built on this module.
    from tarnwick import _batch

    return _batch


def _run_bands(run: Callable[[int], None], count: int) -> None:
    """Runs ``run(0)`` .. ``run(count - 1)``, the bands spread over the
    calling thread and up to ``count - 1`` pooled workers. Every worker is
    in place before the first band runs; where the system refuses threads,
    fewer run (the calling thread alone, at worst)."""
    if count <= 1:
        if count == 1:
            run(0)
        return
    helpers = _POOL.reserve(count - 1)
    if helpers == 0:
        for band in range(count):
            run(band)
        return
    bands = _Bands(run, count)
    for _ in range(helpers):
        _POOL.submit(bands.work)
    bands.work()
    bands.finished.wait()
    if bands.error is not None:
        raise bands.error


def _band_count(threads: int, pixels: int) -> int:
    """Threads actually worth using: no more than bands of _MIN_BAND pixels."""
    return max(1, min(threads, pixels // _MIN_BAND))


# The result has the type of `out` when given, else the background's.
@overload
def blend(
    background: npt.ArrayLike, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: ImageT, mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ...,
) -> ImageT: ...
@overload
def blend(
    background: U8Image, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ...,
) -> U8Image: ...
@overload
def blend(
    background: U16Image, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ...,
) -> U16Image: ...
@overload
def blend(  # type: ignore[overload-overlap]  # NumPy's float types share a base
    background: F32Image, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ...,
) -> F32Image: ...
@overload
def blend(
    background: F64Image, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ...,
) -> F64Image: ...
@overload
def blend(
    background: npt.ArrayLike, foreground: npt.ArrayLike, mode: Mode = ..., opacity: float = ...,
    *, kernel: Kernel = ..., out: None = ..., mask: Mask | None = ..., threads: int | None = ...,
    float_scale: float = ...,
) -> Image: ...
def blend(
    background: npt.ArrayLike,
    foreground: npt.ArrayLike,
    mode: str = "normal",
    opacity: float | npt.ArrayLike = 1.0,
    *,
    kernel: Kernel | str = "auto",
    out: Image | None = None,
    mask: Mask | None = None,
    threads: int | None = 1,
    float_scale: float = _floats.DEFAULT_SCALE,
) -> Image:
    """Composite `foreground` over `background` with a blend mode.

    Parameters
    ----------
    background, foreground : array_like, shape (height, width, 3 or 4)
        uint8, uint16 (0..65535), float32 or float64 images (on
        0..`float_scale`; float64 is converted a band at a time).
        They must agree in height and width and may differ in type and
        channel count; a missing alpha channel counts as opaque. uint16
        images are converted a band at a time (never whole) and uint16
        results rounded to the nearest, as uint8 ones are. Leading dimensions, (..., height,
        width, 3 or 4), are frames: they broadcast as NumPy's do, and each
        frame is blended exactly as a call of its own would blend it.
    mode : str
        One of ``tarnwick.MODES``, e.g. ``"normal"``, ``"multiply"``,
        ``"soft_light"``, ``"hsv_hue"``, ``"lch_color"``.
    opacity : float or array_like
        The layer's opacity, 0..1; 0 or less returns the background, and
        above 1 raises ValueError (80 is most likely 0.8; the mode functions
        such as ``tarnwick.multiply`` take it and extrapolate). An
        array broadcasts against the leading dimensions (a fade across
        frames), as may a mask of shape (..., height, width).
    kernel : str or KernelKind
        ``"auto"`` (the widest the processor runs), ``"scalar"``,
        ``"sse42"`` or ``"avx2"``.
    out : ndarray, optional
        Receives the result: a writeable, C-contiguous, aligned array of the
        background's dtype and shape. It may be the background itself, to
        composite onto a canvas in place; it must not otherwise overlap an
        input. The result is the same as without `out`, bit for bit.
    mask : ndarray, optional
        A layer mask of shape (height, width) or (height, width, 1), uint8 or
        float32 on the 0..255 scale, that multiplies the layer's alpha.
        All 255 gives exactly the unmasked result; 0 keeps the background.
        A masked array's hidden entries count as 0.
    threads : int or None
        Threads to blend on, each taking one band of the image; None or 0
        means one per available core. No more threads are used than the
        image has bands of a useful size (tens of thousands of pixels), and
        where the system refuses a thread the call uses fewer. The threads
        are kept for later calls. The result does not depend on it.
    float_scale : float
        The value of a float image that means full intensity: 255 (the
        default) or 1.0 for images on 0..1, for the float inputs and a float
        result alike; integer images are unaffected. Other than 255, float
        images are scaled a band at a time, so a value that passes through
        unblended may differ from the input in its last bit; opacity 0
        returns the background exactly.

    Returns
    -------
    ndarray
        `out` when given, else a new array with the background's dtype and
        shape.

    A call that raises writes nothing into `out`. Float images within 0..1
    given without `float_scale` give a warning (a sample is looked at).
    """
    _floats.warn_if_unit(float_scale, ("background", background), ("foreground", foreground))
    if (
        mask is None
        and type(threads) is int and threads >= 1
        and type(mode) is str and mode in _MODE_SET
        and type(kernel) is str and kernel in _KERNEL_SET
        and (type(opacity) is float or type(opacity) is int) and opacity <= 1
        and type(background) is np.ndarray and type(foreground) is np.ndarray
        and type(float_scale) is float and float_scale == 255.0
        # One band: one thread, or an image too small for a second band.
        and (threads == 1 or background.size < 2 * _MIN_BAND)
    ):
        # The common call, checked cheaply: the native call checks the rest
        # before it writes anything, and on its refusal the full checks
        # below say exactly what is wrong. Only overlaps it does not check.
        try:
            if out is None:
                return cast(Image, getattr(_tarnwick, mode)(background, foreground, opacity, kernel))
            if type(out) is np.ndarray and (
                out is background or not _may_share_memory(out, background)
            ) and not _may_share_memory(out, foreground):
                _native_into(mode, background, foreground, opacity, kernel, out)
                return out
        except (TypeError, ValueError):
            pass

    background = _as_image(background)
    foreground = _as_image(foreground)
    # The overlap check takes the mask as given: a masked array's filled
    # copy would hide that `out` shares its data.
    given_mask = mask
    if mask is not None:
        mask = _plain_mask(mask)
    maybe_batch = background.ndim != 3 or foreground.ndim != 3 or (
        mask is not None and mask.ndim != 2) or not isinstance(opacity, (float, int))
    if maybe_batch and _batch().is_batch(background, foreground, opacity, mask):
        def one_frame(b: Any, f: Any, o: float, into: Any, m: Any, t: int) -> Image:
            return cast(Image, blend(b, f, cast(Mode, mode), o, kernel=cast(Kernel, kernel),
                                     out=into, mask=m, threads=t,
                                     float_scale=_floats.passed_on(float_scale)))

        def check_frame(b: Any, f: Any, o: float, m: Any) -> object:
            return check_arguments(b, f, mode, o, kernel, m)

        frames: Image = _batch().run_frames(
            one_frame, check_frame, background, foreground, opacity, mask, out, threads,
            ("background", "foreground"),
        )
        return frames
    mode, opacity, kernel = check_arguments(background, foreground, mode, opacity, kernel, mask)
    numbers = _numbers.Numbers(_numbers.check_float_scale(float_scale))
    threads = _check_threads(threads)
    in_place = False if out is None else _check_out(out, background, foreground, given_mask)
    if numbers.needed(background.dtype, foreground.dtype):
        return _blend_converted(mode, background, foreground, opacity, kernel, out, in_place, mask,
                                threads, numbers)

    flat_mask = None if mask is None else _flat_mask(mask)
    height, width, _ = background.shape
    pixels = height * width
    count = _band_count(threads, pixels)
    if flat_mask is None and count == 1:
        if out is None:
            return cast(Image, getattr(_tarnwick, mode)(background, foreground, opacity, kernel))
        _native_into(mode, background, foreground, opacity, kernel, out)
        return out
    bands = _pieces(0, pixels, count) if pixels else []

    bg: Image = out if out is not None and in_place else _contiguous(background)
    fg = _contiguous(foreground)
    target: Image = np.empty_like(bg) if out is None else out

    def run(band: int) -> None:
        start, stop = bands[band]
        _tarnwick._blend_into(
            mode, _rows(bg, start, stop), _rows(fg, start, stop), opacity, kernel,
            _rows(target, start, stop), None if flat_mask is None else flat_mask[start:stop],
        )

    _run_bands(run, len(bands))
    return target


def _native_into(
    mode: str, background: Any, foreground: Any, opacity: Any, kernel: Any, out: Any
) -> None:
    # The native call checks these arguments itself (the fast path relies on
    # that), so they reach it untyped.
    _tarnwick._blend_into(mode, background, foreground, opacity, kernel, out)


def _blend_converted(
    mode: str,
    background: np.ndarray,
    foreground: np.ndarray,
    opacity: float,
    kernel: KernelName,
    out: np.ndarray | None,
    in_place: bool,
    mask: np.ndarray | None,
    threads: int,
    numbers: _numbers.Numbers,
) -> np.ndarray:
    """blend for images the native loops cannot read as they are (uint16,
    floats on another scale), converted a cache-sized piece at a time."""
    bg = out if out is not None and in_place else _contiguous(background)
    fg = _contiguous(foreground)
    result = np.empty(bg.shape, bg.dtype) if out is None else out
    if opacity <= 0:
        # The background exactly, without a round trip through the scale.
        if not in_place:
            np.copyto(result, bg)
        return result
    flat_mask = None if mask is None else _flat_mask(mask)
    pixels = bg.shape[0] * bg.shape[1]
    bands = _pieces(0, pixels, _band_count(threads, pixels)) if pixels else []
    below, layer, into = _rows(bg, 0, pixels), _rows(fg, 0, pixels), _rows(result, 0, pixels)

    def native(b: np.ndarray, f: np.ndarray, o: np.ndarray, start: int, stop: int) -> None:
        _tarnwick._blend_into(mode, b, f, opacity, kernel, o,
                              None if flat_mask is None else flat_mask[start:stop])

    def run(band: int) -> None:
        start, stop = bands[band]
        _numbers.run_converted(native, below, layer, into, start, stop, numbers)

    _run_bands(run, len(bands))
    return result
