"""Composite a procedurally drawn RGBA layer over a gradient and save the result.

Both images are generated here so the demo needs no input files.
Writes out/normal.png next to the repository root.
"""

import sys
import time
from pathlib import Path

import numpy as np
from PIL import Image

import tarnwick

SIZE = 512
OUT_DIR = Path(__file__).resolve().parent.parent / "out"


def background(size: int) -> np.ndarray:
    """RGB uint8: red rises left to right, green top to bottom, blue along the diagonal."""
    ramp = np.linspace(0.0, 1.0, size, dtype=np.float32)
    x = ramp[np.newaxis, :]
    y = ramp[:, np.newaxis]
    rgb = np.empty((size, size, 3), dtype=np.float32)
    rgb[..., 0] = 40 + 200 * x
    rgb[..., 1] = 30 + 180 * y
    rgb[..., 2] = 220 - 160 * (x + y) / 2
    return np.clip(np.rint(rgb), 0, 255).astype(np.uint8)


def foreground(size: int) -> np.ndarray:
    """RGBA uint8: soft-edged discs and rings, each with its own colour and opacity."""
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float32)
    rgba = np.zeros((size, size, 4), dtype=np.float32)

    # (centre x, centre y, radius, ring width or 0 for a disc, colour, peak alpha)
    shapes = [
        (0.30, 0.32, 0.20, 0.0, (255, 240, 60), 1.00),
        (0.68, 0.35, 0.17, 0.0, (30, 200, 255), 0.70),
        (0.50, 0.68, 0.24, 0.05, (255, 60, 140), 0.90),
        (0.24, 0.74, 0.10, 0.0, (250, 250, 250), 0.45),
        (0.78, 0.76, 0.12, 0.03, (20, 20, 40), 0.60),
    ]
    softness = 0.02 * size
    for cx, cy, r, width, colour, peak in shapes:
        dist = np.hypot(xx - cx * size, yy - cy * size)
        if width:
            edge = np.abs(dist - r * size) - width * size / 2
        else:
            edge = dist - r * size
        # Linear falloff across `softness` pixels gives antialiased, feathered edges.
        alpha = np.clip(0.5 - edge / softness, 0.0, 1.0) * peak
        # Paint this shape over the ones already drawn (straight alpha, "over").
        a_old = rgba[..., 3:4] / 255.0
        a_new = alpha[..., np.newaxis]
        a_out = a_new + a_old * (1.0 - a_new)
        colour_arr = np.asarray(colour, dtype=np.float32)
        with np.errstate(invalid="ignore", divide="ignore"):
            rgb = (colour_arr * a_new + rgba[..., :3] * a_old * (1.0 - a_new)) / a_out
        rgba[..., :3] = np.where(a_out > 0, rgb, 0.0)
        rgba[..., 3:4] = a_out * 255.0
    return np.clip(np.rint(rgba), 0, 255).astype(np.uint8)


def main() -> int:
    bg = background(SIZE)
    fg = foreground(SIZE)

    start = time.perf_counter()
    out = tarnwick.normal(bg, fg, 0.8)
    elapsed = time.perf_counter() - start

    if out.shape != bg.shape or out.dtype != np.uint8:
        print(f"unexpected result: shape {out.shape}, dtype {out.dtype}", file=sys.stderr)
        return 1

    OUT_DIR.mkdir(parents=True, exist_ok=True)
    path = OUT_DIR / "normal.png"
    Image.fromarray(out).save(path)
    print(f"wrote {path}")
    print(f"shape {out.shape} {out.dtype}, tarnwick.normal took {elapsed * 1e3:.2f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
