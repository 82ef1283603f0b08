"""``tarnwick.imread`` and ``tarnwick.imwrite``: image files as arrays, the way
the command line reads and writes them (it calls the same functions).

Reading turns a photograph as its EXIF orientation says and keeps 16 bits;
writing carries the colour profile and EXIF of the file given as ``like``,
keeps 16 bits where the format holds them (PNG, TIFF), refuses to cut them
to 8 where it cannot (JPEG, WebP) unless a dither is chosen, and replaces the
file only once the new one is whole (a temporary file, then a rename).
Pillow is loaded on first use, so ``import tarnwick`` needs only NumPy.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, Literal, cast, overload

import numpy as np
import numpy.typing as npt

from tarnwick import _dither
from tarnwick._typing import F32Image, F64Image, FileImage, U8Image, U16Image

if TYPE_CHECKING:
    from PIL import Image as PILImage

Dither = Literal["ordered", "blue_noise", "blue-noise"]

_DTYPES = {np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32), np.dtype(np.float64)}


def _images() -> Any:
    from tarnwick import image

    return image


def _check_path(path: Any, name: str = "path") -> str:
    if not isinstance(path, (str, os.PathLike)):
        raise TypeError(f"{name} must be a file path (str or os.PathLike), not {type(path).__name__}")
    text = os.fspath(cast("str | os.PathLike[str] | os.PathLike[bytes]", path))
    if not isinstance(text, str):
        raise TypeError(f"{name} must be a file path as str, not bytes")
    return text


def _check_bool(value: Any, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, not {type(value).__name__}")
    return bool(cast(bool, value))


def _check_level(value: Any, name: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or not (
            low <= int(cast(int, value)) <= high):
        raise ValueError(f"{name} must be a whole number from {low} to {high}, got {value!r}")
    return int(cast(int, value))


def _as_dtype(array: np.ndarray, dtype: Any, float_scale: float) -> np.ndarray:
    """A file's array (uint8, uint16, or float32 on 0..255) as `dtype`, floats
    on 0..`float_scale`; integers rounded to the nearest and clipped."""
    target = np.dtype(dtype)
    if target not in _DTYPES:
        raise TypeError(
            f"dtype must be uint8, uint16, float32 or float64 (or None for the file's own), "
            f"got {target}"
        )
    if target == np.uint8:
        return _dither.to_uint8(array)
    if target == np.uint16:
        return _dither.to_uint16(array)
    top = 65535.0 if array.dtype == np.uint16 else 255.0
    result = array.astype(target)
    if float_scale == 1.0:
        result /= target.type(top)  # divided: exact for every stored value
    elif float_scale != top:
        result *= target.type(float_scale / top)
    return result


@overload
def imread(path: str | os.PathLike[str], *, upright: bool = ..., dtype: None = ...,
           float_scale: float = ...) -> FileImage: ...
@overload
def imread(path: str | os.PathLike[str], *, upright: bool = ..., dtype: type[np.uint8],
           float_scale: float = ...) -> U8Image: ...
@overload
def imread(path: str | os.PathLike[str], *, upright: bool = ..., dtype: type[np.uint16],
           float_scale: float = ...) -> U16Image: ...
@overload
def imread(  # type: ignore[overload-overlap]  # NumPy's float types share a base
    path: str | os.PathLike[str], *, upright: bool = ..., dtype: type[np.float32],
    float_scale: float = ...,
) -> F32Image: ...
@overload
def imread(path: str | os.PathLike[str], *, upright: bool = ..., dtype: type[np.float64],
           float_scale: float = ...) -> F64Image: ...
def imread(
    path: str | os.PathLike[str],
    *,
    upright: bool = True,
    dtype: npt.DTypeLike | None = None,
    float_scale: float = 255.0,
) -> FileImage | F64Image:
    """An image file as an (H, W, 3|4) array, as the command line reads it.

    8-bit files give uint8, 16-bit files (16-bit colour PNG and TIFF included)
    and 32-bit integer ones uint16 (0..65535), float files float32 on 0..255.
    Grey images are spread over three channels (four with alpha), palette
    images expanded to RGB or RGBA.

    upright : bool
        True (the default) turns the pixels as the file's EXIF orientation
        says, as a viewer shows them; False gives them as stored.
    dtype : uint8, uint16, float32, float64 or None
        The array's type; None (the default) keeps the file's own. Integers
        are rounded to the nearest (16 to 8 bits, say); floats are on
        0..`float_scale` (255 by default, 1.0 for 0..1).

    Raises OSError when the file cannot be read and ValueError for a mode
    these conversions do not handle (CMYK, say).
    """
    name = _check_path(path)
    turn = _check_bool(upright, "upright")
    from tarnwick import _numbers

    scale = _numbers.check_float_scale(float_scale)
    if dtype is not None:
        _as_dtype(np.zeros((0, 0, 3), np.uint8), dtype, scale)  # checked before the file is read
    array: FileImage = _images().open_file(name, upright=turn)[0]
    if dtype is None:
        return array
    converted: FileImage | F64Image = _as_dtype(array, dtype, scale)
    return converted


def _like(like: Any, upright: bool) -> tuple[Any, dict[str, Any]]:
    """(kind, metadata) of the image the output should resemble."""
    image = _images()
    if like is None:
        return None, {}
    from PIL import Image

    if isinstance(like, Image.Image):
        return image.stored_kind(like), image.metadata(like, upright)
    if isinstance(like, (str, os.PathLike)):
        name = _check_path(like, "like")
        with Image.open(name) as opened:
            kind = image.stored_kind(opened)
            if "exif" not in opened.info and opened.format == "PNG":
                opened.load()  # a PNG's EXIF may follow its pixels
            return kind, image.metadata(opened, upright)
    raise TypeError(f"like must be a file path, a PIL.Image.Image or None, not {type(like).__name__}")


def imwrite(
    path: str | os.PathLike[str],
    array: npt.ArrayLike,
    *,
    like: str | os.PathLike[str] | PILImage.Image | None = None,
    upright: bool = True,
    quality: int = 95,
    compress_level: int = 1,
    dither: Dither | None = None,
    seed: int = 0,
    float_scale: float = 255.0,
) -> None:
    """Write an (H, W, 3|4) array to an image file, as the command line writes
    its results; the format follows the file name's extension.

    The file is written in `like`'s mode and depth (a grey image gets the
    array's luma, a 16-bit PNG or TIFF 16 bits), with its colour profile and
    EXIF where the format holds them; without `like`, in the array's own
    depth: uint16 as 16 bits in PNG and TIFF, the rest as 8-bit RGB or RGBA.
    16 bits are never cut to 8 silently: for JPEG or WebP a `dither` must be
    chosen (or like= an 8-bit image given, for plain rounding).

    like : path, PIL.Image.Image or None
        The image whose mode, depth, colour profile and EXIF the file takes
        (the background of a blend, say).
    upright : bool
        True (the default): the array is turned as a viewer shows `like`
        (``imread``'s default), so the EXIF orientation written says "as
        stored". False: the array holds `like`'s pixels as stored
        (``from_image``, ``imread(upright=False)``) and the orientation is kept.
    quality : int
        JPEG and WebP quality, 1..100.
    compress_level : int
        zlib level of PNG and TIFF, 0 (none) .. 9 (smallest, slowest).
    dither : None, "ordered" or "blue_noise"
        Reducing 16-bit or float values to 8 bits: rounded to the nearest
        (None, the default) or dithered, the pattern fixed by `seed`.
    float_scale : float
        The value of a float array that means full intensity (1.0 for 0..1).

    A failed call leaves whatever was at `path` untouched.
    """
    name = _check_path(path)
    values = np.asarray(array)
    if values.dtype.kind == "f" and float_scale != 255.0:
        from tarnwick import _numbers

        scale = _numbers.check_float_scale(float_scale)
        values = np.multiply(values, np.float32(255.0 / scale), dtype=np.float32)
    image = _images()
    values = image._check_array(values)
    turn = _check_bool(upright, "upright")
    encoding = image.Encoding(quality=_check_level(quality, "quality", 1, 100),
                              compress_level=_check_level(compress_level, "compress_level", 0, 9))
    method = _dither.check_dither(dither)
    chosen_seed = _dither.check_seed(seed)
    try:
        image.format_for(name)
    except ValueError as exc:
        raise ValueError(f"path: {exc}") from None
    kind, meta = _like(like, turn)
    image.write_file(name, values, kind, meta, encoding, method, chosen_seed)
