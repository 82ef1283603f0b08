"""OpenRaster (.ora) documents: read, flattened and written.

A document is a zip archive: ``mimetype`` (first, stored), ``stack.xml``
(the tree), ``data/*.png`` (the layers), ``mergedimage.png`` and
``Thumbnails/thumbnail.png``. ``read`` gives a ``Document`` whose layers
are the ``tarnwick.Layer`` and ``tarnwick.Group`` records ``flatten``
takes, bottom first (stack.xml lists them top first); layer images are
decoded when first used. ``write`` stores a document, its merged image
being our own flattening of it.

stack.xml's ``composite-op`` names map to a blend and an operator:

=================  ==============================================
``svg:src-over``   normal, source_over
``svg:<blend>``    that blend, source_over: multiply, screen,
                   overlay, darken, lighten, color-dodge,
                   color-burn, hard-light, soft-light, difference,
                   color, luminosity, hue, saturation
``svg:plus``       normal, plus_lighter
``svg:dst-in``     normal, destination_in
``svg:dst-out``    normal, destination_out
``svg:src-atop``   normal, source_atop
``svg:dst-atop``   normal, destination_atop
``tarnwick:<x>``   our blends and operators that OpenRaster lacks,
                   hyphenated: ``tarnwick:linear-dodge``,
                   ``tarnwick:xor``, ... (see ``COMPOSITE_OPS``)
=================  ==============================================

``svg:exclusion`` is read as exclusion as well. Groups: ``isolation=
"isolate"`` is an isolated group; ``"auto"`` is pass-through unless the
stack's opacity is below 1 or its composite-op is not ``svg:src-over``,
which OpenRaster renders isolated. Clipping, which OpenRaster has no word
for, is stored as ``tarnwick:clip="true"`` on the layer (in the namespace
``NAMESPACE``); other readers then draw the layer unclipped.

Reading is defensive: nothing is extracted to disk, a ``src`` must name an
entry of the archive without climbing out of it, stack.xml may not declare
a DTD or entities, groups nest at most ``MAX_DEPTH`` deep, the canvas and
each layer hold at most ``max_pixels`` pixels, and every PNG entry is
walked chunk by chunk (lengths and checksums) before it is accepted.
Pillow (the ``image`` extra) decodes and encodes the PNG entries.
"""

from __future__ import annotations

import io
import math
import os
import posixpath
import struct
import threading
import warnings
import zipfile
import zlib
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field
from typing import Any, Literal, cast
from xml.etree import ElementTree
from xml.sax.saxutils import quoteattr

import numpy as np
import numpy.typing as npt

from tarnwick._flatten import Group, Layer, flatten
from tarnwick._place import colour_layer, is_colour
from tarnwick._tree import MAX_DEPTH
from tarnwick._typing import Image, U8Image

__all__ = ["COMPOSITE_OPS", "Document", "MAX_DEPTH", "MAX_PIXELS", "NAMESPACE", "PNGImage",
           "read", "read_merged", "write"]

MIMETYPE = b"image/openraster"
NAMESPACE = "urn:x-tarnwick:openraster"
# Pillow's own decompression-bomb limit: a larger picture is refused unread.
MAX_PIXELS = 89_478_485
_MAX_XML_BYTES = 16 << 20
_THUMBNAIL = 256

_SVG_BLENDS = ("multiply", "screen", "overlay", "darken", "lighten", "color_dodge", "color_burn",
               "hard_light", "soft_light", "difference", "color", "luminosity", "hue",
               "saturation")
_SVG_OPERATORS = {"plus": "plus_lighter", "dst-in": "destination_in",
                  "dst-out": "destination_out", "src-atop": "source_atop",
                  "dst-atop": "destination_atop"}


def _names() -> dict[str, tuple[str, str]]:
    from tarnwick._names import BLENDS, OPERATORS

    names = {"svg:src-over": ("normal", "source_over")}
    names.update({"svg:" + b.replace("_", "-"): (b, "source_over") for b in _SVG_BLENDS})
    names.update({"svg:" + n: ("normal", op) for n, op in _SVG_OPERATORS.items()})
    names.update({"tarnwick:" + b.replace("_", "-"): (b, "source_over") for b in BLENDS
                  if b != "normal" and b not in _SVG_BLENDS})
    names.update({"tarnwick:" + op.replace("_", "-"): ("normal", op) for op in OPERATORS
                  if op != "source_over" and op not in _SVG_OPERATORS.values()})
    return names


# Every composite-op name written, and the blend and operator it stands for.
COMPOSITE_OPS: dict[str, tuple[str, str]] = _names()
_OP_NAMES = {pair: name for name, pair in COMPOSITE_OPS.items()}
_READ_ALSO = {"svg:exclusion": ("exclusion", "source_over")}


def _images() -> Any:
    from tarnwick import image  # raises with an install hint when Pillow is missing

    return image


# --- PNG entries -----------------------------------------------------------------

_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def _png_header(data: bytes, where: str) -> tuple[int, int, int]:
    """(width, height, bits per sample) of a PNG entry, whose every chunk is
    checked whole (length and CRC) up to IEND: a cut or damaged entry is
    refused before anything decodes it."""
    if data[:8] != _SIGNATURE:
        raise ValueError(f"{where} is not a PNG image")
    if len(data) < 33 or data[12:16] != b"IHDR":
        raise ValueError(f"{where} is a damaged PNG image: no IHDR chunk first")
    width, height, bits = struct.unpack(">IIB", data[16:25])
    at, view = 8, memoryview(data)
    while True:
        if at + 12 > len(data):
            raise ValueError(f"{where} is a truncated PNG image (it ends before IEND)")
        (length,) = struct.unpack(">I", data[at:at + 4])
        end = at + 12 + length
        if end > len(data):
            raise ValueError(f"{where} is a truncated PNG image (it ends inside a chunk)")
        kind = bytes(view[at + 4:at + 8])
        (crc,) = struct.unpack(">I", data[end - 4:end])
        if zlib.crc32(view[at + 4:end - 4]) != crc:
            raise ValueError(f"{where} is a damaged PNG image: the {kind!r} chunk's checksum fails")
        if kind == b"IEND":
            break
        at = end
    if width == 0 or height == 0:
        raise ValueError(f"{where} is an empty PNG image ({width} x {height})")
    return width, height, bits


class PNGImage:
    """A layer's PNG entry, decoded on first use into an H x W x 4 array
    (uint8, or uint16 for a 16-bit PNG; grey and palette images expanded)
    that is kept, read-only. ``shape`` and ``dtype`` are known without
    decoding, and ``data`` holds the entry's bytes (written back as they
    are)."""

    # A 1 x 1 layer is a layer of one pixel, never a colour fill.
    never_a_colour = True

    def __init__(self, data: bytes, where: str = "PNG image") -> None:
        width, height, bits = _png_header(data, where)
        self.data = data
        self.where = where
        self.shape = (height, width, 4)
        self.dtype = np.dtype(np.uint16 if bits == 16 else np.uint8)
        self.ndim = 3
        self._array: np.ndarray | None = None
        self._lock = threading.Lock()

    def __repr__(self) -> str:
        return f"PNGImage({self.where}, shape={self.shape}, dtype={self.dtype})"

    def decode(self) -> np.ndarray:
        """The pixels (decoded once; later calls return the same array)."""
        with self._lock:
            if self._array is None:
                self._array = self._decoded()
            return self._array

    def _decoded(self) -> np.ndarray:
        images = _images()
        try:
            with images.Image.open(io.BytesIO(self.data), formats=["PNG"]) as picture:
                array: np.ndarray = images.read_image(picture)[0]
        except (OSError, ValueError, SyntaxError, struct.error, zlib.error) as exc:
            raise ValueError(f"{self.where} cannot be decoded: {exc}") from None
        if array.shape[2] == 3:
            top = 65535 if array.dtype == np.uint16 else 255
            array = np.concatenate([array, np.full(array.shape[:2] + (1,), top, array.dtype)],
                                   axis=2)
        if array.shape != self.shape or array.dtype != self.dtype:
            raise ValueError(f"{self.where} decodes to {array.shape} {array.dtype}, not the "
                             f"{self.shape} {self.dtype} its header states")
        array.flags.writeable = False
        return array

    def __array__(self, dtype: Any = None, copy: Any = None) -> np.ndarray:
        array = self.decode()
        if dtype is not None and np.dtype(dtype) != array.dtype:
            return array.astype(dtype)
        return array.copy() if copy else array


# --- the document ----------------------------------------------------------------


@dataclass(eq=False)
class Document:
    """An OpenRaster document: a canvas of `width` x `height` pixels and its
    tree of ``Layer`` and ``Group`` records, bottom first, as ``flatten``
    takes them. `resolution` is (x, y) pixels per inch, or None."""

    width: int
    height: int
    layers: list[Layer | Group] = field(default_factory=list)
    resolution: tuple[float, float] | None = None

    def flatten(self, canvas: npt.ArrayLike | None = None, *, threads: int | None = 1) -> Image:
        """The picture: an H x W x 4 uint8 array, straight alpha, over a
        transparent canvas, or over `canvas` (its type and channels) when
        given. Hidden layers and groups are left out. With several
        `threads`, the layers' PNG entries are also decoded side by side."""
        width, height = _size(self.width, "width"), _size(self.height, "height")
        backdrop: np.ndarray
        if canvas is None:
            backdrop = np.zeros((height, width, 4), np.uint8)
        else:
            backdrop = np.asarray(canvas)
            if backdrop.ndim != 3 or backdrop.shape[:2] != (height, width):
                raise ValueError(f"canvas must have shape ({height}, {width}, 3 or 4) like the "
                                 f"document, got {backdrop.shape}")
        if threads != 1:
            decode_all(self.layers, threads)
        result: Image = flatten(backdrop, self.layers, threads=threads)
        return result


def _size(value: Any, name: str) -> int:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value <= 0:
        raise ValueError(f"document {name} must be a whole number above 0, got {value!r}")
    return int(cast(int, value))


def _walk(layers: Any) -> list[Layer]:
    found: list[Layer] = []
    for item in layers:
        if isinstance(item, Group):
            found += _walk(item.layers)
        elif isinstance(item, Layer):
            found.append(item)
    return found


def decode_all(layers: Any, threads: int | None = None) -> None:
    """Decode every PNG entry of a tree, on `threads` threads (None: every core)."""
    pending = [layer.image for layer in _walk(layers) if isinstance(layer.image, PNGImage)]
    count = min(len(pending), threads or os.cpu_count() or 1)
    if count > 1:
        with ThreadPoolExecutor(count) as pool:
            list(pool.map(PNGImage.decode, pending))
    else:
        for image in pending:
            image.decode()


# --- reading ---------------------------------------------------------------------


class _Reader:
    def __init__(self, archive: zipfile.ZipFile, path: str, unknown: str, max_pixels: int):
        self.archive = archive
        self.path = path
        self.unknown = unknown
        self.max_pixels = max_pixels
        self.entries = {info.filename: info for info in archive.infolist()}
        self.images: dict[str, PNGImage] = {}

    def fail(self, text: str) -> ValueError:
        return ValueError(f"{self.path}: {text}")

    def entry(self, name: str, limit: int) -> bytes:
        info = self.entries[name]
        try:
            with self.archive.open(info) as stream:
                data = stream.read(limit + 1)
        except (zipfile.BadZipFile, zlib.error, EOFError, RuntimeError, NotImplementedError) as exc:
            raise self.fail(f"entry {name!r} cannot be read: {exc}") from None
        if len(data) > limit:
            raise self.fail(f"entry {name!r} is larger than {limit} bytes")
        return data

    def image(self, src: str, where: str) -> PNGImage:
        if src.startswith("/") or "\\" in src or ".." in src.split("/") or ":" in src.split("/")[0]:
            raise self.fail(f"{where} has src {src!r}, which climbs out of the archive")
        name = posixpath.normpath(src)
        if name not in self.entries:
            raise self.fail(f"{where} has src {src!r}, which names no entry of the archive")
        if name not in self.images:
            data = self.entry(name, 16 * self.max_pixels + (1 << 20))
            image = PNGImage(data, f"{self.path}: {where} ({name})")
            pixels = image.shape[0] * image.shape[1]
            if pixels > self.max_pixels:
                raise self.fail(f"{where} ({name}) is {image.shape[1]} x {image.shape[0]} pixels, "
                                f"more than max_pixels={self.max_pixels}")
            self.images[name] = image
        return self.images[name]

    def number(self, element: Any, key: str, default: Any, kind: type, where: str) -> Any:
        text = element.get(key)
        if text is None:
            return default
        try:
            value = float(text)
            if not math.isfinite(value) or kind is int and not value.is_integer():
                raise ValueError
        except ValueError:
            raise self.fail(f"{where} has {key}={text!r}, not {'an integer' if kind is int else 'a number'}") \
                from None
        return int(value) if kind is int else value

    def common(self, element: Any, where: str) -> dict[str, Any]:
        opacity = self.number(element, "opacity", 1.0, float, where)
        if not 0.0 <= opacity <= 1.0:
            raise self.fail(f"{where} has opacity={element.get('opacity')!r}, not within 0..1")
        visibility = element.get("visibility", "visible")
        if visibility not in ("visible", "hidden"):
            raise self.fail(f"{where} has visibility={visibility!r}, not 'visible' or 'hidden'")
        op = element.get("composite-op", "svg:src-over")
        pair = COMPOSITE_OPS.get(op) or _READ_ALSO.get(op)
        if pair is None:
            if self.unknown == "error":
                raise self.fail(f"{where} has composite-op {op!r}, which tarnwick does not know; "
                                "pass unknown='normal' to draw such layers as svg:src-over")
            warnings.warn(f"{self.path}: {where} has composite-op {op!r}, which tarnwick does not "
                          "know: drawn as svg:src-over", UserWarning, stacklevel=4)
            pair = ("normal", "source_over")
        return dict(name=element.get("name"), opacity=opacity, visible=visibility == "visible",
                    blend=pair[0], operator=pair[1], x=self.number(element, "x", 0, int, where),
                    y=self.number(element, "y", 0, int, where))

    def stack(self, element: Any, prefix: str, depth: int) -> list[Layer | Group]:
        if depth > MAX_DEPTH:
            raise self.fail(f"{prefix} is nested more than {MAX_DEPTH} stacks deep")
        children = list(element)[::-1]  # stack.xml lists the top layer first
        layers: list[Layer | Group] = []
        for i, child in enumerate(children):
            path = f"{prefix}[{i}]"
            label = child.get("name")
            where = f"{child.tag} {label!r} ({path})" if label is not None else f"{child.tag} {path}"
            if child.tag == "layer":
                src = child.get("src")
                if src is None:
                    raise self.fail(f"{where} has no src")
                fields = self.common(child, where)
                clip = child.get(f"{{{NAMESPACE}}}clip", "false")
                if clip not in ("true", "false"):
                    raise self.fail(f"{where} has tarnwick:clip={clip!r}, not 'true' or 'false'")
                layers.append(Layer(self.image(src, where), clip=clip == "true", **fields))
            elif child.tag == "stack":
                fields = self.common(child, where)
                isolation = child.get("isolation", "auto")
                if isolation not in ("isolate", "auto"):
                    raise self.fail(f"{where} has isolation={isolation!r}, not 'isolate' or 'auto'")
                # OpenRaster draws an "auto" stack isolated when it has an
                # opacity or a composite-op of its own.
                isolated = isolation == "isolate" or fields["opacity"] < 1.0 or (
                    fields["blend"], fields["operator"]) != ("normal", "source_over")
                inner = self.stack(child, f"{path}.layers", depth + 1)
                layers.append(Group(inner, isolated=isolated, **fields))
            else:
                raise self.fail(f"{prefix} holds a <{child.tag}> element, which tarnwick does not "
                                "read (only <stack> and <layer>)")
        return layers


def _parse_xml(data: bytes, path: str) -> Any:
    # No DTD, so no entities to expand: stack.xml never needs them.
    if b"<!DOCTYPE" in data or b"<!ENTITY" in data:
        raise ValueError(f"{path}: stack.xml declares a DTD or entities, which tarnwick refuses")
    try:
        return ElementTree.fromstring(data)
    except ElementTree.ParseError as exc:
        raise ValueError(f"{path}: stack.xml is not well-formed XML ({exc})") from None


def read(path: str | os.PathLike[str], *, unknown: Literal["error", "normal"] = "error",
         max_pixels: int = MAX_PIXELS) -> Document:
    """Read an OpenRaster document; layer images are decoded when first used.

    A composite-op name tarnwick does not know is an error naming the layer
    and the name, unless ``unknown="normal"``: then the layer is drawn as
    svg:src-over and a warning names it. Bad files raise ``ValueError``
    with a one-line message (see the module's notes for what is refused).
    """
    from tarnwick._files import _check_path

    name = _check_path(path)
    if unknown not in ("error", "normal"):
        raise ValueError(f"unknown must be 'error' or 'normal', got {unknown!r}")
    given: Any = max_pixels
    if isinstance(given, bool) or not isinstance(given, int) or given < 1:
        raise ValueError(f"max_pixels must be a whole number above 0, got {max_pixels!r}")
    try:
        archive = zipfile.ZipFile(name)
    except zipfile.BadZipFile:
        raise ValueError(f"{name}: not an OpenRaster document (not a zip archive)") from None
    with archive:
        reader = _Reader(archive, name, unknown, max_pixels)
        if "mimetype" in reader.entries and reader.entry("mimetype", 64).strip() != MIMETYPE:
            raise reader.fail("not an OpenRaster document (its mimetype is not image/openraster)")
        if "stack.xml" not in reader.entries:
            raise reader.fail("not an OpenRaster document (no stack.xml)")
        root = _parse_xml(reader.entry("stack.xml", _MAX_XML_BYTES), name)
        if root.tag != "image":
            raise reader.fail(f"stack.xml's root is <{root.tag}>, not <image>")
        width = reader.number(root, "w", None, int, "<image>")
        height = reader.number(root, "h", None, int, "<image>")
        if width is None or height is None or width < 1 or height < 1:
            raise reader.fail("stack.xml's <image> needs whole-number w and h above 0")
        if width * height > max_pixels:
            raise reader.fail(f"the canvas is {width} x {height} pixels, more than "
                              f"max_pixels={max_pixels}")
        resolution = None
        if root.get("xres") is not None or root.get("yres") is not None:
            resolution = (reader.number(root, "xres", 72.0, float, "<image>"),
                          reader.number(root, "yres", 72.0, float, "<image>"))
        stacks = [child for child in root if child.tag == "stack"]
        if len(stacks) != 1:
            raise reader.fail(f"stack.xml's <image> must hold one <stack>, not {len(stacks)}")
        layers: list[Layer | Group] = reader.stack(stacks[0], "layers", 1)
        top = reader.common(stacks[0], "the root stack")
        top.pop("name")
        if top != dict(opacity=1.0, visible=True, blend="normal", operator="source_over", x=0, y=0):
            layers = [Group(layers, **top)]  # the root stack's own settings, kept
    return Document(width, height, layers, resolution)


def read_merged(path: str | os.PathLike[str], *, max_pixels: int = MAX_PIXELS) -> np.ndarray | None:
    """The merged image a document stores (H x W x 4 uint8), or None when it
    stores none; read with the limits ``read`` keeps."""
    from tarnwick._files import _check_path

    name = _check_path(path)
    try:
        archive = zipfile.ZipFile(name)
    except zipfile.BadZipFile:
        raise ValueError(f"{name}: not an OpenRaster document (not a zip archive)") from None
    with archive:
        reader = _Reader(archive, name, "error", max_pixels)
        if "mergedimage.png" not in reader.entries:
            return None
        merged = np.asarray(reader.image("mergedimage.png", "the merged image"))
    return merged


# --- writing ---------------------------------------------------------------------


class _Writer:
    def __init__(self, document: Document, compress_level: int):
        self.document = document
        self.level = compress_level
        self.entries: list[tuple[str, bytes]] = []
        self.clip = False

    def png(self, array: np.ndarray) -> bytes:
        images = _images()
        encoded = images.encode(array, None, "PNG", encoding=images.Encoding(
            compress_level=self.level))
        if isinstance(encoded, bytes):
            return encoded
        buffer = io.BytesIO()
        encoded.save(buffer, format="PNG", compress_level=self.level)
        return buffer.getvalue()

    def layer_png(self, layer: Layer, path: str) -> bytes:
        image: Any = layer.image
        if isinstance(image, PNGImage):
            return image.data  # as it was read
        if is_colour(image):
            try:
                image = colour_layer("image", image, np.dtype(np.uint8),
                                     (self.document.height, self.document.width), 255.0)
            except (TypeError, ValueError) as exc:
                raise ValueError(f"{path}.{exc}") from None
        array = np.asarray(image)
        if array.ndim != 3 or array.shape[2] not in (3, 4) or array.dtype.kind != "u" \
                or array.dtype.itemsize > 2:
            raise ValueError(f"{path}.image must be a uint8 or uint16 (height, width, 3 or 4) "
                             f"array to be stored as PNG, got {array.dtype} {array.shape}")
        if array.shape[0] == 0 or array.shape[1] == 0:
            raise ValueError(f"{path}.image is empty, which a PNG cannot hold")
        return self.png(array)

    def attributes(self, item: Layer | Group, path: str) -> list[tuple[str, str]]:
        pair = (str(item.blend).replace("-", "_"), str(item.operator).replace("-", "_"))
        op = _OP_NAMES.get(pair)
        if op is None:
            raise ValueError(f"{path}: OpenRaster has one composite-op per layer, so blend "
                             f"{item.blend!r} cannot go with operator {item.operator!r}")
        found = [("composite-op", op), ("opacity", repr(float(item.opacity))),
                 ("visibility", "visible" if item.visible else "hidden"),
                 ("x", str(int(item.x))), ("y", str(int(item.y)))]
        if item.name is not None:
            found.insert(0, ("name", str(item.name)))
        return found

    def stack(self, items: Any, prefix: str, indent: str) -> list[str]:
        lines: list[str] = []
        for i in reversed(range(len(items))):  # top first
            item, path = items[i], f"{prefix}[{i}]"
            if isinstance(item, Group):
                if item.mask is not None:
                    raise ValueError(f"{path}.mask: OpenRaster stacks have no masks")
                if not item.isolated and item.opacity != 1.0:
                    raise ValueError(
                        f"{path}: a pass-through group below opacity 1 has no OpenRaster form "
                        "(an 'auto' stack with an opacity is drawn isolated)")
                attrs = self.attributes(item, path)
                attrs.append(("isolation", "isolate" if item.isolated else "auto"))
                inner = self.stack(item.layers, f"{path}.layers", indent + "  ")
                lines.append(f"{indent}<stack{_attrs(attrs)}>")
                lines += inner
                lines.append(f"{indent}</stack>")
            elif isinstance(item, Layer):
                if item.model != "standard":
                    raise ValueError(f"{path}.model: OpenRaster stores the standard model only, "
                                     f"not a layer mode ({item.blend!r})")
                if item.mask is not None:
                    raise ValueError(f"{path}.mask: OpenRaster layers have no masks")
                attrs = self.attributes(item, path)
                src = f"data/layer-{len(self.entries):04d}.png"
                self.entries.append((src, self.layer_png(item, path)))
                attrs.insert(1 if item.name is not None else 0, ("src", src))
                if item.clip:
                    self.clip = True
                    attrs.append(("tarnwick:clip", "true"))
                lines.append(f"{indent}<layer{_attrs(attrs)}/>")
            else:
                raise TypeError(f"{path} must be a tarnwick.Layer or tarnwick.Group, "
                                f"not {type(item).__name__}")
        return lines


def _attrs(pairs: list[tuple[str, str]]) -> str:
    return "".join(f" {key}={quoteattr(value)}" for key, value in pairs)


def _thumbnail(merged: U8Image) -> Any:
    image = _images().Image.fromarray(merged, "RGBA")
    scale = _THUMBNAIL / max(merged.shape[0], merged.shape[1])
    if scale < 1:
        size = (max(1, round(merged.shape[1] * scale)), max(1, round(merged.shape[0] * scale)))
        # Premultiplied while resized, so transparent pixels' colours do not bleed.
        image = image.convert("RGBa").resize(size, _images().Image.Resampling.BOX).convert("RGBA")
    return image


def write(path: str | os.PathLike[str], document: Document, *, compress_level: int = 1,
          threads: int | None = 1) -> None:
    """Write `document` as an OpenRaster file, atomically (a temporary file
    in the same folder, then a rename): a failure leaves whatever was at
    `path` untouched. The merged image is ``document.flatten()``; layers
    read from a document keep their PNG entries byte for byte.

    What OpenRaster cannot hold is refused with the layer's path: masks,
    layer-mode layers, a blend together with an operator other than
    source_over, float images, a pass-through group below opacity 1.
    """
    from tarnwick._files import _check_level, _check_path

    name = _check_path(path)
    if not isinstance(cast(Any, document), Document):
        raise TypeError(f"document must be a tarnwick.ora.Document, not {type(document).__name__}")
    level = _check_level(compress_level, "compress_level", 0, 9)
    width, height = _size(document.width, "width"), _size(document.height, "height")
    writer = _Writer(document, level)
    from tarnwick._flatten import check_layers

    # The flattening checks the whole tree first (its errors name the path);
    # then what OpenRaster cannot hold is refused.
    merged = document.flatten(threads=threads)
    body = writer.stack(check_layers(document.layers), "layers", "    ")
    head = [("version", "0.0.5"), ("w", str(width)), ("h", str(height))]
    if document.resolution is not None:
        xres, yres = (float(v) for v in document.resolution)
        head += [("xres", repr(xres)), ("yres", repr(yres))]
    if writer.clip:
        head.append(("xmlns:tarnwick", NAMESPACE))
    xml = "\n".join(["<?xml version='1.0' encoding='UTF-8'?>", f"<image{_attrs(head)}>",
                     "  <stack>", *body, "  </stack>", "</image>", ""]).encode("utf-8")
    thumbnail = io.BytesIO()
    _thumbnail(cast(U8Image, merged)).save(thumbnail, format="PNG", compress_level=level)
    merged_png = writer.png(merged)

    images = _images()
    folder = os.path.dirname(os.path.abspath(name))
    temporary = images._temporary_path(folder, os.path.basename(name))
    try:
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        with os.fdopen(fd, "wb") as stream, zipfile.ZipFile(stream, "w") as archive:
            archive.writestr(zipfile.ZipInfo("mimetype"), MIMETYPE, zipfile.ZIP_STORED)
            archive.writestr("stack.xml", xml, zipfile.ZIP_DEFLATED)
            # PNG data is compressed already: stored, not deflated again.
            for entry, data in writer.entries:
                archive.writestr(entry, data, zipfile.ZIP_STORED)
            archive.writestr("Thumbnails/thumbnail.png", thumbnail.getvalue(), zipfile.ZIP_STORED)
            archive.writestr("mergedimage.png", merged_png, zipfile.ZIP_STORED)
        os.replace(temporary, name)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
