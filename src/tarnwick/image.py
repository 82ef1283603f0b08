"""Conversions between Pillow images and the arrays the blend functions take.

Reading: 8-bit images become uint8 arrays, 16-bit ones (and 32-bit integer images
holding 16-bit values) uint16 arrays, which the blend functions take as they are;
float images become float32 arrays on the 0..255 scale. Grey images are spread over three
channels (four with alpha) so they can be blended with colour layers; palette and
bilevel images are expanded to RGB, or RGBA when they have transparency.

Writing (``to_image`` with ``like``): the array is converted back to the mode of
``like``; a grey mode takes the luma of the result (ITU-R 601 weights, as Pillow's
own ``convert("L")``). Palette images come back as RGB or RGBA, bilevel ones as "L":
a blended result seldom fits the original palette or two levels.

Pillow holds 16-bit colour only as 8-bit "RGB"/"RGBA". ``from_image`` still reads
such files at full depth when it is given the image straight from ``Image.open``
(before it is loaded); ``write_file`` writes them back as 16-bit PNG or TIFF.
"""

from __future__ import annotations

import io
import os
import secrets
import struct
import sys
import zlib
from dataclasses import dataclass
from typing import IO, Any, Callable, TypeAlias, cast

import numpy as np
import numpy.typing as npt

try:
    from PIL import Image
except ImportError as exc:  # pragma: no cover - exercised only without Pillow
    raise ImportError(
        "tarnwick's image helpers need Pillow: pip install tarnwick[image]"
    ) from exc

from . import _dither
from ._typing import F32Image, FileImage, U8Image, U16Image

__all__ = ["from_image", "to_image"]

# File paths as the command line and open() take them.
Path: TypeAlias = str | os.PathLike[str]

# 65535 / 255: one step of a 0..255 channel in 16-bit units.
_WIDE = 257.0
_GREY = ("L", "I;16", "I;16L", "I;16B", "I;16N", "I", "F")
_SUPPORTED = "RGB, RGBA, L, LA, P, PA, 1, I;16, I or F"
# Pillow's raw modes for 16 bits per channel, which it decodes to 8-bit "RGB"/"RGBA".
# Modes read through a straight-alpha or unpadded mode, and written back from it.
_STORED_AS = {"RGBa": "RGBA", "La": "LA", "RGBX": "RGB"}
_WIDE_RAWMODES = {"RGB;16B", "RGB;16L", "RGB;16N", "RGBA;16B", "RGBA;16L", "RGBA;16N", "LA;16B"}


@dataclass(frozen=True)
class Kind:
    """How an image was stored: its Pillow mode and bits per channel."""

    mode: str
    bits: int = 8


class UnsupportedImage(ValueError):
    """The image's mode or layout is one these conversions do not handle."""


# --- reading -----------------------------------------------------------------


def _rawmode(tile: Any) -> str | None:
    args = tile.args
    return args if isinstance(args, str) else (args[0] if args and isinstance(args[0], str) else None)


class _OwnPosition(io.RawIOBase):
    """A read-only view of an open file with a position of its own: a second
    decoder reads the very file the image came from (opening it again by name
    could find another file there, or none) without moving the first one's place."""

    def __init__(self, fp: IO[bytes]) -> None:
        super().__init__()
        self._fp = fp
        self._position = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._position

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        if whence == io.SEEK_END:
            offset += self._fp.seek(0, io.SEEK_END)
        elif whence == io.SEEK_CUR:
            offset += self._position
        self._position = max(offset, 0)
        return self._position

    def readinto(self, buffer: Any) -> int:
        self._fp.seek(self._position)
        data = self._fp.read(len(buffer))
        buffer[:len(data)] = data
        self._position += len(data)
        return len(data)


def _decode_as(image: Image.Image, rawmode_for: Callable[[str], str]) -> np.ndarray:
    """The image's frame decoded again from its own open file, with each tile's raw
    mode replaced by rawmode_for(rawmode). Call before the image is loaded."""
    fp: Any = getattr(image, "fp", None)
    try:
        position = fp.tell()
    except (AttributeError, OSError, ValueError) as exc:
        raise UnsupportedImage("cannot re-read this 16-bit colour image at full depth") from exc
    try:
        with Image.open(cast(IO[bytes], _OwnPosition(fp))) as again:
            if image.tell():
                again.seek(image.tell())
            if again.tile != getattr(image, "tile", None):
                raise UnsupportedImage("cannot re-read this 16-bit colour image at full depth")
            found: list[Any] = list(again.tile)
            again.tile = [
                t._replace(args=rawmode_for(t.args)) if isinstance(t.args, str)
                else t._replace(args=(rawmode_for(t.args[0]), *t.args[1:]))
                for t in found
            ]
            return np.asarray(again)
    finally:
        fp.seek(position)


def _read_wide(image: Image.Image) -> tuple[np.ndarray, Kind] | None:
    """Full-depth channels of a 16-bit colour image that Pillow would cut to 8 bits."""
    tiles = getattr(image, "tile", None)
    if not tiles or image.mode not in ("RGB", "RGBA"):
        return None
    raws = {_rawmode(t) for t in tiles}
    if len(raws) != 1:
        return None
    raw = raws.pop()
    if raw not in _WIDE_RAWMODES:
        return None  # 8-bit, or a packed 16-bit pixel (5-6-5 BMP) that 8 bits hold
    if raw == "LA;16B":
        # Two 16-bit samples are four bytes, as one RGBA pixel: hi/lo grey, hi/lo alpha.
        four = _decode_as(image, lambda r: "RGBA").astype(np.uint16)
        grey = four[..., 0] * 256 + four[..., 1]
        alpha = four[..., 2] * 256 + four[..., 3]
        wide = np.stack([grey, grey, grey, alpha], axis=-1)
        kind = Kind("LA", 16)
    else:
        # Pillow keeps the high byte of each sample; decoding again as the other byte
        # order gives the low one.
        native = "L" if sys.byteorder == "little" else "B"
        other = raw[:-1] + {"B": "L", "L": "B"}[native if raw[-1] == "N" else raw[-1]]
        # The low bytes first: loading the image may close its file.
        low = _decode_as(image, lambda r: other if r == raw else r).astype(np.uint16)
        high = np.asarray(image).astype(np.uint16)
        wide = high * 256 + low
        kind = Kind(image.mode, 16)
    return wide, kind


def _unpremultiplied(values: np.ndarray) -> np.ndarray:
    """Straight colour of premultiplied 8-bit channels (alpha last), rounded to the
    nearest step, so that premultiplying again gives back the stored values."""
    alpha = values[..., -1:].astype(np.uint32)
    colour = values[..., :-1].astype(np.uint32)
    straight = (colour * 510 + alpha) // np.maximum(alpha * 2, 1)  # round(c * 255 / a)
    straight = np.where(alpha == 0, colour, np.minimum(straight, 255))  # as stored, as Pillow reads it
    return np.concatenate([straight, alpha], axis=-1).astype(np.uint8)


def _grey_to_channels(grey: np.ndarray, alpha: np.ndarray | None = None) -> np.ndarray:
    planes = [grey, grey, grey] if alpha is None else [grey, grey, grey, alpha]
    return np.ascontiguousarray(np.stack(planes, axis=-1))


def read_image(image: Image.Image) -> tuple[U8Image | U16Image | F32Image, Kind]:
    """The array for a Pillow image and how it was stored."""
    wide = _read_wide(image)
    if wide is not None:
        return wide
    mode = image.mode
    if mode in ("RGB", "RGBA"):
        return np.array(image, dtype=np.uint8), Kind(mode)
    if mode == "RGBa":
        return _unpremultiplied(np.asarray(image)), Kind("RGBA")
    if mode == "RGBX":
        return np.array(image.convert("RGB"), dtype=np.uint8), Kind("RGB")
    if mode in ("L", "1"):
        return _grey_to_channels(np.asarray(image.convert("L"))), Kind("L")
    if mode in ("LA", "La"):
        la = np.asarray(image.convert("LA")) if mode == "LA" else _unpremultiplied(np.asarray(image))
        return _grey_to_channels(la[..., 0], la[..., 1]), Kind("LA")
    if mode in ("P", "PA"):
        has_alpha = mode == "PA" or "transparency" in image.info
        target = "RGBA" if has_alpha else "RGB"
        return np.array(image.convert(target), dtype=np.uint8), Kind(target)
    if mode.startswith("I;16"):
        return _grey_to_channels(np.asarray(image).astype(np.uint16)), Kind("I;16", 16)
    if mode == "I":
        values = np.asarray(image)
        # Pillow's 32-bit integer mode usually carries 16-bit grey; anything wider has
        # no agreed scale.
        if values.size and (values.min() < 0 or values.max() > 65535):
            raise UnsupportedImage("32-bit integer image has values outside 0..65535")
        return _grey_to_channels(values.astype(np.uint16)), Kind("I", 16)
    if mode == "F":
        return _grey_to_channels(np.asarray(image, dtype=np.float32)), Kind("F", 32)
    raise UnsupportedImage(f"unsupported image mode {mode!r} (expected {_SUPPORTED})")


def from_image(image: Image.Image) -> U8Image | U16Image | F32Image:
    """An H x W x 3|4 uint8, uint16 or float32 array holding a Pillow image.

    8-bit images give uint8; 16-bit and 32-bit integer images give uint16 (0..65535);
    float images give float32 on the 0..255 scale.
    Grey images are spread over three channels (four with alpha). A 16-bit colour
    file is read at full depth when given straight from ``Image.open``.
    """
    if not isinstance(image, Image.Image):  # pyright: ignore[reportUnnecessaryIsInstance]  # untyped callers
        raise TypeError(f"from_image expected a PIL.Image.Image, got {type(image).__name__}")
    return read_image(image)[0]


def read_mask(image: Image.Image) -> U8Image | F32Image:
    """An H x W mask: uint8 for 8-bit images, float32 on 0..255 for deeper ones.

    Colour masks count by their luma; their alpha is ignored.
    """
    mode = image.mode
    if mode.startswith("I;16") or mode == "I":
        values = np.asarray(image)
        if values.size and (values.min() < 0 or values.max() > 65535):
            raise UnsupportedImage("32-bit integer mask has values outside 0..65535")
        return values.astype(np.float32) / np.float32(_WIDE)
    if mode == "F":
        return np.array(image, dtype=np.float32)
    wide = _read_wide(image)
    if wide is not None:
        return _luma(_on_255(wide[0]))
    try:
        return np.asarray(image.convert("L"))
    except ValueError as exc:
        raise UnsupportedImage(f"unsupported mask mode {mode!r}") from exc


# --- writing -----------------------------------------------------------------


_ARRAY_TYPES = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32),
                np.dtype(np.float64))


def _check_array(array: npt.ArrayLike, name: str = "array") -> np.ndarray:
    array = np.asarray(array)
    if array.dtype.newbyteorder("=") in _ARRAY_TYPES and not array.dtype.isnative:
        array = array.astype(array.dtype.newbyteorder("="))
    if array.ndim != 3 or array.shape[2] not in (3, 4) or array.dtype not in _ARRAY_TYPES:
        raise ValueError(
            f"{name} must be an (H, W, 3|4) uint8, uint16, float32 or float64 array, got shape "
            f"{array.shape} dtype {array.dtype}"
        )
    return array


def _on_255(array: np.ndarray) -> np.ndarray:
    """uint16 values as float32 on the 0..255 scale; other arrays as they are."""
    if array.dtype == np.uint16:
        return array.astype(np.float32) / np.float32(_WIDE)
    return array


def _luma(rgb: np.ndarray) -> np.ndarray:
    # Double precision keeps a grey pixel (R = G = B) exactly its own value.
    rgb = rgb.astype(np.float64)
    return (rgb[..., 0] * 0.299 + rgb[..., 1] * 0.587 + rgb[..., 2] * 0.114).astype(np.float32)


def _to_bits(values: np.ndarray, bits: int, dither: str | None = None, seed: int = 0,
             colour: int | None = None) -> np.ndarray:
    """0..255 values (or uint8 and uint16 ones) as unsigned integers of the given
    depth, rounded and clipped, in bands (no whole-image float copy); 8-bit
    results dithered where asked (the first `colour` channels)."""
    if bits == 8:
        return _dither.to_uint8(values, dither, seed, colour=colour)
    return _dither.to_uint16(values)


def _kind_of(like: Image.Image | Kind | None) -> Kind | None:
    if like is None or isinstance(like, Kind):
        return like
    if isinstance(like, Image.Image):  # pyright: ignore[reportUnnecessaryIsInstance]  # untyped callers
        mode = like.mode
        if mode in ("P", "PA"):
            return Kind("RGBA" if mode == "PA" or "transparency" in like.info else "RGB")
        if mode == "1":
            return Kind("L")
        if mode.startswith("I;16"):
            return Kind("I;16", 16)
        return Kind(mode)
    raise TypeError(f"like must be a PIL.Image.Image or None, got {type(like).__name__}")


def _fit_for_pillow(array: np.ndarray, mode: str, dither: str | None) -> None:
    """Refuses to cut 16 bits to 8 where the caller did not ask for 8 bits."""
    if array.dtype == np.uint16 and dither is None:
        raise UnsupportedImage(
            f"Pillow has no 16-bit {mode} mode: to_image would cut the uint16 array to 8 bits; "
            "write it with tarnwick.imwrite (16-bit PNG or TIFF), pass dither='ordered' or "
            "'blue_noise' to reduce it, or like= an 8-bit image for plain rounding"
        )


def to_image(array: npt.ArrayLike, like: Image.Image | Kind | None = None, *,
             dither: str | None = None, seed: int = 0) -> Image.Image:
    """A Pillow image of an H x W x 3|4 array on the 0..255 scale.

    Without ``like`` the image is "RGB" or "RGBA": uint8 arrays are copied as
    they are, float values rounded to 8 bits; a uint16 colour array raises
    (Pillow has no 16-bit colour mode) unless `dither` asks for the reduction.
    With ``like`` it takes that image's mode: grey modes get the result's luma,
    "I;16" and "F" keep their depth, palette images come back as RGB or RGBA.
    "RGBa" and "La" (premultiplied alpha) and "RGBX" (padded) are made from the
    straight "RGBA", "LA" and "RGB" images, as ``from_image`` reads them.
    A Pillow ``like`` also lends its colour profile and EXIF block to the new
    image's ``info`` (Pillow writes the profile from there when saving).

    dither : None, "ordered" or "blue_noise"
        How values are reduced to 8 bits: rounded to the nearest (None, the
        default) or dithered with a pattern fixed by `seed`; alpha is rounded.
    """
    array = _check_array(array)
    dither = _dither.check_dither(dither)
    seed = _dither.check_seed(seed)
    kind = _kind_of(like)
    picture = _to_image(array, kind, dither, seed)
    if isinstance(like, Image.Image):
        for key in ("icc_profile", "exif"):
            if like.info.get(key):
                picture.info[key] = like.info[key]
    return picture


def _to_image(array: np.ndarray, kind: Kind | None, dither: str | None, seed: int) -> Image.Image:
    channels = array.shape[2]
    if kind is None:
        mode = "RGBA" if channels == 4 else "RGB"
        _fit_for_pillow(array, mode, dither)
        return Image.fromarray(np.ascontiguousarray(_to_bits(array, 8, dither, seed, colour=3)), mode)
    mode = kind.mode
    alpha = array[..., 3] if channels == 4 else None
    if mode in ("RGB", "RGBA"):
        want = 3 if mode == "RGB" else 4
        if channels == want:
            return Image.fromarray(np.ascontiguousarray(_to_bits(array, 8, dither, seed, colour=3)), mode)
        rgb = _to_bits(array[..., :3], 8, dither, seed)
        if mode == "RGBA":
            rgb = np.dstack([rgb, np.full(rgb.shape[:2], 255, np.uint8)])
        return Image.fromarray(np.ascontiguousarray(rgb), mode)
    if array.dtype == np.uint16 and mode in ("L", "LA", "F"):
        array = _on_255(array)
    if mode in ("L", "LA"):
        grey = _to_bits(_luma(array), 8, dither, seed)
        if mode == "L":
            return Image.fromarray(grey, "L")
        a = _to_bits(alpha, 8) if alpha is not None else np.full(grey.shape, 255, np.uint8)
        return Image.fromarray(np.ascontiguousarray(np.dstack([grey, a])), "LA")
    if mode == "I;16":
        return Image.fromarray(_to_bits(_luma(_on_255(array)), 16))  # uint16 grey is "I;16"
    if mode == "I":
        return Image.fromarray(_to_bits(_luma(_on_255(array)), 16).astype(np.int32), "I")
    if mode == "F":
        return Image.fromarray(_luma(array).astype(np.float32), "F")
    if mode in _STORED_AS:
        return _to_image(array, Kind(_STORED_AS[mode]), dither, seed).convert(mode)
    raise UnsupportedImage(f"cannot convert an array to image mode {mode!r}")


# --- files -------------------------------------------------------------------


# EXIF orientation (1 to 8): the array transform that shows the stored pixels
# as a viewer does. 5 and 7 swap the axes.
_EXIF_ORIENTATION = 0x0112
_UPRIGHT: dict[int, Callable[[np.ndarray], np.ndarray]] = {
    2: lambda a: a[:, ::-1],
    3: lambda a: a[::-1, ::-1],
    4: lambda a: a[::-1],
    5: lambda a: a.swapaxes(0, 1),
    6: lambda a: np.rot90(a, -1),
    7: lambda a: a[::-1, ::-1].swapaxes(0, 1),
    8: lambda a: np.rot90(a, 1),
}
_EXIF_HEADER = b"Exif\x00\x00"


def _orientation(image: Image.Image) -> int:
    try:
        value = image.getexif().get(_EXIF_ORIENTATION, 1)
    except Exception:  # unreadable EXIF: shown as stored
        return 1
    return value if isinstance(value, int) and value in _UPRIGHT else 1


def _upright(array: np.ndarray, orientation: int) -> np.ndarray:
    turn = _UPRIGHT.get(orientation)
    return array if turn is None else np.ascontiguousarray(turn(array))


def _exif_shown_upright(exif: bytes) -> bytes | None:
    """EXIF data (with its "Exif" header) whose orientation says "as stored", for
    pixels already turned upright; None when the block cannot be read. The one
    value is patched in place, so maker notes and thumbnails, which hold offsets
    into the block, stay valid."""
    data = bytearray(exif if exif.startswith(_EXIF_HEADER) else _EXIF_HEADER + exif)
    start = len(_EXIF_HEADER)
    order = {b"II": "<", b"MM": ">"}.get(bytes(data[start:start + 2]))
    if order is None:
        return None
    try:
        (ifd,) = struct.unpack_from(order + "I", data, start + 4)
        (count,) = struct.unpack_from(order + "H", data, start + ifd)
        for entry in range(start + ifd + 2, start + ifd + 2 + 12 * count, 12):
            tag, kind, values = struct.unpack_from(order + "HHI", data, entry)
            if tag == _EXIF_ORIENTATION:
                if kind != 3 or values != 1:  # not the one SHORT it must be
                    return None
                struct.pack_into(order + "H", data, entry + 8, 1)
    except struct.error:
        return None
    return bytes(data)


def metadata(image: Image.Image, upright: bool = True) -> dict[str, Any]:
    """The colour profile ("icc_profile") and EXIF block ("exif") of an image,
    when it has them: the metadata worth carrying to a result. With `upright`
    the EXIF orientation says "as stored", for pixels already turned as a
    viewer shows them (a block that cannot be patched is left out)."""
    meta: dict[str, Any] = {}
    if image.info.get("icc_profile"):
        meta["icc_profile"] = image.info["icc_profile"]
    exif = image.info.get("exif")
    if isinstance(exif, Image.Exif):
        exif = exif.tobytes()
    if isinstance(exif, bytes) and exif:
        block = _exif_shown_upright(exif) if upright else exif
        if block is not None:
            meta["exif"] = block
    return meta


def stored_kind(image: Image.Image) -> Kind:
    """How an image was stored, 16-bit colour included; call before it is loaded
    (Pillow's mode then says 8 bits for a 16-bit colour file)."""
    tiles: list[Any] = list(getattr(image, "tile", None) or [])
    raws = {_rawmode(t) for t in tiles}
    if image.mode in ("RGB", "RGBA") and len(raws) == 1:
        raw = next(iter(raws))
        if raw in _WIDE_RAWMODES:
            return Kind("LA", 16) if raw == "LA;16B" else Kind(image.mode, 16)
    kind = _kind_of(image)
    assert kind is not None
    if kind.mode == "I":
        return Kind("I", 16)
    if kind.mode == "F":
        return Kind("F", 32)
    return {"RGBa": Kind("RGBA"), "La": Kind("LA"), "RGBX": Kind("RGB")}.get(kind.mode, kind)


def open_file(path: Path, upright: bool = True) -> tuple[FileImage, Kind, dict[str, Any]]:
    """Array, kind and the metadata worth carrying over of an image file.

    The array is turned as its EXIF orientation says, so it looks as a viewer
    shows the file (unless `upright` is False: the pixels as stored); the
    metadata are the colour profile ("icc_profile") and the EXIF block
    ("exif", its orientation then "as stored" when turned), when the file
    has them.
    """
    with Image.open(path) as image:
        # Read first: a 16-bit file is read at full depth only before it is
        # loaded, and a PNG's EXIF may follow its pixels.
        array, kind = read_image(image)
        orientation = _orientation(image) if upright else 1
        meta = metadata(image, upright)
    return _upright(array, orientation), kind, meta


def open_mask(path: Path) -> U8Image | F32Image:
    """A mask file's values, turned upright as open_file turns images."""
    with Image.open(path) as image:
        mask = read_mask(image)
        orientation = _orientation(image)
    return _upright(mask, orientation)


def readable_extensions() -> set[str]:
    """File name extensions (".png") of the formats Pillow can read."""
    return {ext for ext, fmt in Image.registered_extensions().items() if fmt in Image.OPEN}


def format_for(path: Path) -> str:
    """Pillow's format name for a file name's extension."""
    name: str = os.fspath(path)
    ext = os.path.splitext(name)[1].lower()
    fmt = Image.registered_extensions().get(ext)
    if fmt is None or fmt not in Image.SAVE:
        raise UnsupportedImage(f"cannot write images with extension {ext or '(none)'!r}")
    return fmt


# Encoder settings for written files (the command line's --quality and
# --compress-level). zlib level 1 encodes a 4K photograph several times faster
# than Pillow's default 6, for files a few per cent larger.
DEFAULT_QUALITY = 95
DEFAULT_COMPRESS_LEVEL = 1
# Bytes of compressed data per IDAT chunk of a 16-bit PNG.
_IDAT_BYTES = 1 << 24


@dataclass(frozen=True)
class Encoding:
    """quality: JPEG and WebP, 1..100; compress_level: zlib level of PNG and of
    16-bit colour TIFF, 0 (none, fastest) .. 9 (smallest); other TIFF is deflated
    at Pillow's one level unless it is 0."""

    quality: int = DEFAULT_QUALITY
    compress_level: int = DEFAULT_COMPRESS_LEVEL


def _png16(array: np.ndarray, channels: int, meta: dict[str, Any], level: int) -> bytes:
    """A 16-bit PNG (grey+alpha, RGB or RGBA) of uint16 channel values, with the
    colour profile and EXIF block of meta."""
    h, w = array.shape[:2]
    colour_type = {2: 4, 3: 2, 4: 6}[channels]
    rows = np.ascontiguousarray(array, dtype=">u2").view(np.uint8).reshape(h, w * channels * 2)
    # The "Up" filter (difference from the row above) helps zlib on smooth images.
    up = rows.copy()
    up[1:] -= rows[:-1]
    body = np.hstack([np.full((h, 1), 2 if h > 1 else 0, np.uint8), up])
    body[0, 0] = 0
    body[0, 1:] = rows[0]

    def chunk(kind: bytes, data: bytes) -> bytes:
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    ihdr = struct.pack(">IIBBBBB", w, h, 16, colour_type, 0, 0, 0)
    extra = b""
    if meta.get("icc_profile"):
        extra += chunk(b"iCCP", b"ICC profile\x00\x00" + zlib.compress(meta["icc_profile"]))
    if meta.get("exif"):
        extra += chunk(b"eXIf", meta["exif"].removeprefix(_EXIF_HEADER))
    # A chunk holds less than 2 GiB; a large image's data goes in several.
    data = zlib.compress(body.tobytes(), level)
    idat = b"".join(chunk(b"IDAT", data[at:at + _IDAT_BYTES]) for at in range(0, len(data), _IDAT_BYTES))
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + extra + idat + chunk(b"IEND", b"")


def _tiff16_compressed(array: np.ndarray, channels: int, meta: dict[str, Any], level: int) -> bytes:
    """A 16-bit RGB or RGBA TIFF, deflate-compressed with horizontal
    differencing (tifffile writes it), with the colour profile of meta."""
    import tifffile

    buffer = io.BytesIO()
    tifffile.imwrite(
        buffer, np.ascontiguousarray(array, dtype=np.uint16), photometric="rgb",
        extrasamples=[2] if channels == 4 else None,  # unassociated alpha
        compression="zlib" if level else None, compressionargs={"level": level} if level else None,
        predictor=bool(level),
        iccprofile=meta.get("icc_profile"),
    )
    return buffer.getvalue()


def _tiff16(array: np.ndarray, channels: int) -> bytes:
    """An uncompressed little-endian 16-bit RGB or RGBA TIFF in one strip."""
    h, w = array.shape[:2]
    data = array.astype("<u2").tobytes()
    if len(data) > 0xFFFF0000:
        raise UnsupportedImage("image too large for a 16-bit TIFF")
    tags = [(256, 4, 1, w), (257, 4, 1, h), (258, 3, channels, None), (259, 3, 1, 1),
            (262, 3, 1, 2), (273, 4, 1, None), (277, 3, 1, channels), (278, 4, 1, h),
            (279, 4, 1, len(data)), (284, 3, 1, 1)]
    if channels == 4:
        tags.append((338, 3, 1, 2))  # unassociated alpha
    tags.append((339, 3, channels, None))  # unsigned integer samples
    ifd_end = 8 + 2 + 12 * len(tags) + 4
    bits_at, format_at = ifd_end, ifd_end + 2 * channels
    data_at = format_at + 2 * channels
    entries = b""
    for tag, typ, count, value in tags:
        if tag in (258, 339):
            entries += struct.pack("<HHII", tag, typ, count, bits_at if tag == 258 else format_at)
        elif tag == 273:
            entries += struct.pack("<HHII", tag, typ, count, data_at)
        elif typ == 3:
            entries += struct.pack("<HHIHH", tag, typ, count, value, 0)
        else:
            entries += struct.pack("<HHII", tag, typ, count, value)
    return (b"II*\x00" + struct.pack("<IH", 8, len(tags)) + entries + b"\x00" * 4
            + struct.pack(f"<{channels}H", *[16] * channels)
            + struct.pack(f"<{channels}H", *[1] * channels) + data)


# Formats that hold 16 bits per channel (colour in PNG and TIFF, grey in both).
_HOLDS_16 = ("PNG", "TIFF")
# The 8-bit kind a 16-bit one is reduced to.
_EIGHT_BIT = {"RGB": "RGB", "RGBA": "RGBA", "LA": "LA", "I;16": "L", "I": "L"}


def _reduced(kind: Kind | None, fmt: str, dither: str | None) -> Kind | None:
    """kind, or its 8-bit counterpart for a format that holds only 8 bits,
    which only a chosen dither allows: no depth is cut without being asked."""
    if kind is None or kind.bits != 16 or fmt in _HOLDS_16 or kind.mode not in _EIGHT_BIT:
        return kind
    if dither is None:
        raise UnsupportedImage(
            f"{fmt} holds 8 bits per channel and this image has 16: choose a dither "
            "(ordered or blue_noise) to reduce it, or write PNG or TIFF"
        )
    return Kind(_EIGHT_BIT[kind.mode])


def encode(
    array: np.ndarray, kind: Kind | None, fmt: str, meta: dict[str, Any] | None = None,
    encoding: Encoding = Encoding(), dither: str | None = None, seed: int = 0,
) -> bytes | Image.Image:
    """The encoded bytes (16-bit colour) or the Pillow image to save for one result."""
    kind = _reduced(kind, fmt, dither)
    if kind is not None and kind.bits == 16 and kind.mode in ("RGB", "RGBA", "LA") and fmt in ("PNG", "TIFF"):
        if kind.mode == "LA":
            scaled = _on_255(array)
            values = np.dstack([_luma(scaled), scaled[..., 3] if array.shape[2] == 4
                                else np.full(array.shape[:2], 255, np.float32)])
            channels = 2
        else:
            channels = 3 if kind.mode == "RGB" else 4
            # uint16 results keep every bit; opaque alpha is the type's top value.
            top = 65535 if array.dtype == np.uint16 else 255
            values = array[..., :channels] if array.shape[2] >= channels else np.dstack(
                [array, np.full(array.shape[:2], top, array.dtype)])
        wide = _to_bits(values, 16)
        if fmt == "PNG":
            return _png16(wide, channels, meta or {}, encoding.compress_level)
        if channels == 2:
            raise UnsupportedImage("cannot write 16-bit grey with alpha as TIFF")
        try:
            return _tiff16_compressed(wide, channels, meta or {}, encoding.compress_level)
        except ImportError:  # tifffile comes with the image extra; without it, uncompressed
            return _tiff16(wide, channels)
    if kind is not None and kind.bits == 16 and kind.mode == "LA":
        kind = Kind("LA")
    if kind is not None and kind.mode == "I" and fmt == "PNG":
        kind = Kind("I;16", 16)  # PNG holds 16-bit grey; Pillow is dropping "I" for PNG
    if kind is None and array.dtype == np.uint16:
        kind = _reduced(Kind("RGBA" if array.shape[2] == 4 else "RGB", 16), fmt, dither)
        if kind is not None and kind.bits == 16:
            return encode(array, kind, fmt, meta, encoding, dither, seed)
    return _to_image(_check_array(array), kind, dither, seed)


def _temporary_path(folder: str, base: str) -> str:
    """A fresh hidden name beside base in folder, as long as the folder allows:
    a long base name is cut short rather than make the temporary name too long."""
    try:
        limit = os.pathconf(folder, "PC_NAME_MAX")
    except (AttributeError, OSError, ValueError):
        limit = 255
    token = secrets.token_hex(4)
    name = f".{base}.{token}.tmp"
    while base and 0 < limit < len(os.fsencode(name)):  # -1: no limit
        base = base[:-1]
        name = f".{base}.{token}.tmp"
    return os.path.join(folder, name)


# What each format carries of open_file's metadata, and its encoder settings.
_CARRIES = {"PNG": ("icc_profile", "exif"), "JPEG": ("icc_profile", "exif"),
            "WEBP": ("icc_profile", "exif"), "TIFF": ("icc_profile",)}


def _save_options(fmt: str, meta: dict[str, Any], encoding: Encoding) -> dict[str, Any]:
    options = dict(meta)
    if fmt in ("JPEG", "WEBP"):
        options["quality"] = encoding.quality
    elif fmt == "PNG":
        options["compress_level"] = encoding.compress_level
    elif fmt == "TIFF" and encoding.compress_level:
        # 16-bit grey and float results come this way too; Pillow's deflate has one level.
        options["compression"] = "tiff_adobe_deflate"
    return options


def write_file(
    path: Path, array: np.ndarray, kind: Kind | None, meta: dict[str, Any] | None = None,
    encoding: Encoding = Encoding(), dither: str | None = None, seed: int = 0,
) -> None:
    """Write an array to path atomically: a temporary file in the same folder, then a rename.

    meta is open_file's (colour profile, EXIF), written where the format holds it.
    kind None writes the array's own depth: 16 bits for uint16 where the
    format holds them, 8 bits otherwise. A 16-bit image is reduced to 8 bits
    for a format that holds only 8 only with a dither (see _dither).
    A failure at any point leaves whatever was at path untouched.
    """
    path = os.fspath(path)
    fmt = format_for(path)
    kept = {key: meta[key] for key in _CARRIES.get(fmt, ()) if meta and meta.get(key)}
    encoded = encode(array, kind, fmt, kept, encoding, dither, seed)
    folder = os.path.dirname(os.path.abspath(path))
    tmp = _temporary_path(folder, os.path.basename(path))
    try:
        # O_EXCL: never follow or reuse someone else's file; mode 0666 lets the umask apply.
        # Inside the try, so that a signal (SIGINT, SIGTERM) raised as the call
        # returns still removes the new file.
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        with os.fdopen(fd, "wb") as fh:
            if isinstance(encoded, bytes):
                fh.write(encoded)
            else:
                encoded.save(fh, format=fmt, **_save_options(fmt, kept, encoding))
        os.replace(tmp, path)
    except BaseException as exc:
        # Only os.open fails with the temporary name alone; that file is not ours.
        if not (isinstance(exc, FileExistsError) and exc.filename == tmp and exc.filename2 is None):
            try:
                os.unlink(tmp)
            except FileNotFoundError:
                pass
        raise
