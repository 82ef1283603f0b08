"""A contact sheet of every blend mode, and two generated pictures to draw it from.

``scene`` is an opaque, colourful landscape (sky, sun, hills, meadow) with dark,
light and saturated areas; ``layer`` is a partly transparent RGBA layer of soft
shapes, a grey ramp from black to white and half-transparent greys, so every mode
shows how it treats colour, grey and alpha.
"""

from __future__ import annotations

from collections.abc import Iterable, Sequence
from typing import cast

import numpy as np
from PIL import Image, ImageDraw, ImageFont

import tarnwick
from tarnwick._typing import BlendName, Mode

Colour = tuple[float, float, float]

COLUMNS = 7
GAP = 6
LABEL = 18
SHEET_BACKGROUND = (32, 32, 36)
LABEL_COLOUR = (235, 235, 235)


def _grid(height: int, width: int) -> tuple[np.ndarray, np.ndarray, float]:
    """Row and column positions in 0..1 and the width-to-height ratio (for round shapes)."""
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    return y / max(height - 1, 1), x / max(width - 1, 1), width / max(height, 1)


def _mix(base: np.ndarray, colour: Colour, weight: np.ndarray) -> np.ndarray:
    """Blend a colour into an image by a per-pixel weight in 0..1."""
    w = np.clip(weight, 0.0, 1.0)[..., np.newaxis]
    mixed: np.ndarray = base * (1.0 - w) + np.asarray(colour, np.float32) * w
    return mixed


def _soft(edge: np.ndarray, softness: float) -> np.ndarray:
    """0..1 coverage of a shape whose signed distance (in picture units) is edge."""
    return np.clip(0.5 - edge / softness, 0.0, 1.0)


def scene(height: int = 256, width: int = 256) -> np.ndarray:
    """An opaque RGB uint8 landscape: a sunset sky, a sun, two ranges of hills, a meadow."""
    y, x, aspect = _grid(height, width)
    soft = 2.0 / max(height, 1)
    sky_t = np.clip(y / 0.62, 0.0, 1.0) ** 0.9
    img = _mix(np.zeros((height, width, 3), np.float32) + np.array([22, 38, 118], np.float32),
               (252, 148, 86), sky_t)
    img = _mix(img, (255, 214, 150), np.exp(-(((x - 0.70) * aspect) ** 2 + (y - 0.40) ** 2) / 0.02) * 0.8)
    sun = np.hypot((x - 0.70) * aspect, y - 0.40) - 0.075
    img = _mix(img, (255, 246, 200), _soft(sun, soft))

    far = 0.55 + 0.05 * np.sin(6.0 * x + 1.0) + 0.025 * np.sin(15.0 * x)
    img = _mix(img, (104, 82, 150), _soft(far - y, soft) * (0.75 + 0.25 * y))
    near = 0.68 + 0.06 * np.sin(4.0 * x + 2.3) + 0.02 * np.sin(19.0 * x + 0.5)
    hill_shade = np.clip((y - near) / 0.25, 0.0, 1.0)
    hills = _mix(np.zeros_like(img) + np.array([56, 140, 64], np.float32), (14, 52, 30), hill_shade)
    cover = _soft(near - y, soft)[..., None]
    img = img * (1.0 - cover) + hills * cover

    meadow_top = 0.84 + 0.02 * np.sin(9.0 * x)
    field = _mix(np.zeros_like(img) + np.array([196, 190, 40], np.float32), (228, 60, 36),
                 0.5 + 0.5 * np.sin(40.0 * x + 9.0 * y) * np.clip((y - meadow_top) * 8.0, 0.0, 1.0))
    cover = _soft(meadow_top - y, soft)[..., None]
    img = img * (1.0 - cover) + field * cover
    picture: np.ndarray = np.clip(np.rint(img), 0, 255).astype(np.uint8)
    return picture


def layer(height: int = 256, width: int = 256) -> np.ndarray:
    """An RGBA uint8 layer: soft colour discs and a ring, a grey ramp, translucent greys."""
    y, x, aspect = _grid(height, width)
    soft = 0.03

    def disc(cx: float, cy: float) -> np.ndarray:
        return np.hypot((x - cx) * aspect, y - cy)

    rgba = np.zeros((height, width, 4), np.float32)

    def paint(colour: Colour, alpha: np.ndarray) -> None:
        # Straight-alpha "over" of one shape onto what is painted so far.
        a_new = np.clip(alpha, 0.0, 1.0)[..., None]
        a_old = rgba[..., 3:4] / 255.0
        a_out = a_new + a_old * (1.0 - a_new)
        col = np.broadcast_to(np.asarray(colour, np.float32), rgba[..., :3].shape)
        with np.errstate(invalid="ignore", divide="ignore"):
            rgb = (col * a_new + rgba[..., :3] * a_old * (1.0 - a_new)) / a_out
        rgba[..., :3] = np.where(a_out > 0, rgb, 0.0)
        rgba[..., 3:4] = a_out * 255.0

    paint((240, 40, 60), _soft(disc(0.27, 0.28) - 0.19, soft))
    paint((30, 200, 250), _soft(disc(0.62, 0.30) - 0.17, soft) * 0.8)
    paint((250, 230, 40), _soft(disc(0.45, 0.52) - 0.14, soft) * 0.65)
    paint((170, 60, 230), _soft(np.abs(disc(0.80, 0.62) - 0.12) - 0.035, soft * 0.5))
    # A horizontal ramp from black to white: how each mode treats greys.
    band = _soft(np.abs(y - 0.80) - 0.07, soft * 0.3) * _soft(np.abs(x - 0.5) - 0.44, soft * 0.3)
    ramp = np.clip((x - 0.06) / 0.88, 0.0, 1.0)[..., None] * 255.0
    grey = np.repeat(ramp, 3, axis=-1)
    a_band = band[..., None]
    rgba[..., :3] = rgba[..., :3] * (1.0 - a_band) + grey * a_band
    rgba[..., 3:4] = rgba[..., 3:4] * (1.0 - a_band) + 255.0 * a_band
    # Half-transparent light and dark greys.
    paint((200, 200, 200), _soft(disc(0.16, 0.60) - 0.09, soft) * 0.5)
    paint((60, 60, 60), _soft(disc(0.90, 0.20) - 0.08, soft) * 0.5)
    picture: np.ndarray = np.clip(np.rint(rgba), 0, 255).astype(np.uint8)
    return picture


def resize(array: np.ndarray, height: int, width: int) -> np.ndarray:
    """Resample an H x W x C uint8 or float32 array (Lanczos), keeping its type."""
    if array.shape[:2] == (height, width):
        return array
    if array.dtype == np.uint8:
        mode = "RGBA" if array.shape[2] == 4 else "RGB"
        return np.asarray(Image.fromarray(array, mode).resize((width, height), Image.Resampling.LANCZOS))
    planes = [np.asarray(Image.fromarray(np.ascontiguousarray(array[..., c]), "F")
                         .resize((width, height), Image.Resampling.LANCZOS)) for c in range(array.shape[2])]
    resized: np.ndarray = np.clip(np.stack(planes, axis=-1), 0.0, 255.0).astype(np.float32)
    return resized


def _checkerboard(height: int, width: int, cell: int = 8) -> np.ndarray:
    y, x = np.mgrid[0:height, 0:width]
    light = ((y // cell + x // cell) % 2).astype(np.float32)
    return np.repeat((150 + 50 * light)[..., None], 3, axis=-1)


def _displayable(result: np.ndarray) -> np.ndarray:
    """An RGB uint8 view of a result; transparency shows over a checkerboard."""
    values = np.clip(np.nan_to_num(result.astype(np.float32)), 0.0, 255.0)
    rgb = values[..., :3]
    if values.shape[2] == 4:
        a = values[..., 3:4] / 255.0
        rgb = rgb * a + _checkerboard(*values.shape[:2]) * (1.0 - a)
    return np.rint(rgb).astype(np.uint8)


def tile_boxes(
    count: int, tile_w: int, tile_h: int, columns: int = COLUMNS
) -> list[tuple[int, int]]:
    """(left, top) of each tile's picture, below its label, in reading order."""
    boxes: list[tuple[int, int]] = []
    for i in range(count):
        row, col = divmod(i, columns)
        left = GAP + col * (tile_w + GAP)
        top = GAP + row * (LABEL + tile_h + GAP) + LABEL
        boxes.append((left, top))
    return boxes


def sheet_size(count: int, tile_w: int, tile_h: int, columns: int = COLUMNS) -> tuple[int, int]:
    rows = -(-count // columns)
    cols = min(count, columns)
    return GAP + cols * (tile_w + GAP), GAP + rows * (LABEL + tile_h + GAP)


def fit(background: np.ndarray, foreground: np.ndarray, tile: int) -> tuple[np.ndarray, np.ndarray]:
    """Both images scaled to fit a tile x tile square, keeping the background's aspect:
    as wide as the tile, or as tall for a picture taller than wide."""
    h, w = background.shape[:2]
    if h <= w:
        size = max(1, round(tile * h / w)), tile
    else:
        size = tile, max(1, round(tile * w / h))
    return resize(background, *size), resize(foreground, *size)


def transparent_edges(picture: np.ndarray, border: float = 0.14) -> np.ndarray:
    """An RGBA copy of a picture whose alpha falls from opaque inside to 0 at
    the edges: where the backdrop is transparent the standard model shows
    the layer itself."""
    height, width = picture.shape[:2]
    y, x, _ = _grid(height, width)
    edge = np.minimum(np.minimum(x, 1.0 - x), np.minimum(y, 1.0 - y))
    alpha = np.clip(edge / border - 0.5, 0.0, 1.0) * 255.0
    return np.dstack([picture[..., :3], np.rint(alpha).astype(picture.dtype)])


def make_sheet(background: np.ndarray, foreground: np.ndarray, opacity: float = 1.0,
               tile: int = 160, modes: Iterable[str] | None = None,
               composite: bool = False) -> Image.Image:
    """An RGB image with one labelled tile per mode, in the order of ``modes``:
    the layer modes of ``tarnwick.blend``, or with `composite` the blend
    functions of ``tarnwick.composite``."""
    chosen: Sequence[str]
    if modes is None:
        chosen = tarnwick.BLENDS if composite else tarnwick.MODES
    else:
        chosen = tuple(modes)
    bg, fg = fit(background, foreground, tile)
    tile_h, picture_w = bg.shape[:2]
    # A tall picture sits in the middle of a tile as wide as any, with room for its label.
    inset = (tile - picture_w) // 2
    sheet = Image.new("RGB", sheet_size(len(chosen), tile, tile_h), SHEET_BACKGROUND)
    draw = ImageDraw.Draw(sheet)
    font = ImageFont.load_default(size=12)
    for mode, (left, top) in zip(chosen, tile_boxes(len(chosen), tile, tile_h)):
        if composite:
            result = tarnwick.composite(bg, fg, cast(BlendName, mode), opacity)
        else:
            result = tarnwick.blend(bg, fg, cast(Mode, mode), opacity)
        sheet.paste(Image.fromarray(_displayable(result), "RGB"), (left + inset, top))
        draw.text((left + 2, top - LABEL + 2), mode, fill=LABEL_COLOUR, font=font)
    return sheet
