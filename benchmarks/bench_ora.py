"""A layered document flattened as a tree, against the same layers composited
one call at a time, and an OpenRaster document read, flattened and written.

The document: 13 translucent uint8 RGBA layers on a 3700 x 3400 canvas, in
three groups: a pass-through group of four layers, an isolated group holding
a clipping run (a base and two clipped layers) and one more layer, and an
isolated group of three layers; two layers lie outside the groups. Most
layers cover the whole canvas, some are placed smaller.

1. ``tarnwick.flatten`` of the tree against 13 ``composite(..., out=canvas)``
   calls of the same images, blends and offsets onto one canvas (one
   thread, best of --repeat). The issue's target is at most 2x.
2. The document written with ``tarnwick.ora.write``, then read, flattened
   and the picture written as PNG (``tarnwick.imwrite``), each step timed
   (one thread, then --threads for the decoding and the flattening).

    PYTHONPATH=src python3 benchmarks/bench_ora.py [--repeat N] [--threads N]
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time

import numpy as np

import tarnwick
from tarnwick import ora

WIDTH, HEIGHT = 3700, 3400
Layer, Group = tarnwick.Layer, tarnwick.Group


def _picture(rng: np.random.Generator, height: int, width: int, alpha: int) -> np.ndarray:
    """Smooth colour with a little noise (so PNG entries have realistic
    sizes) at a translucent alpha."""
    rows = np.linspace(0, 255, height, dtype=np.float32)[:, None]
    cols = np.linspace(0, 255, width, dtype=np.float32)[None, :]
    shift = rng.integers(0, 255, 3)
    image = np.empty((height, width, 4), np.uint8)
    for c in range(3):
        image[..., c] = ((rows * (c + 1) + cols * (3 - c) + shift[c]) % 256).astype(np.uint8)
    image[..., :3] ^= rng.integers(0, 8, (height, width, 3), dtype=np.uint8)
    image[..., 3] = alpha
    return image


def document() -> tuple[list[Layer | Group], list[tuple[np.ndarray, str, float, int, int]]]:
    """The tree, and the same layers as (image, blend, opacity, x, y) for
    one call each, bottom first."""
    rng = np.random.default_rng(13)

    def layer(blend: str, opacity: float, size: tuple[int, int] = (HEIGHT, WIDTH),
              x: int = 0, y: int = 0, alpha: int = 160, **more: bool) -> Layer:
        return Layer(_picture(rng, size[0], size[1], alpha), blend, opacity, x=x, y=y, **more)

    tree: list[Layer | Group] = [
        layer("normal", 1.0),
        Group([layer("screen", 0.7), layer("overlay", 0.9), layer("soft_light", 1.0),
               layer("normal", 0.5, (1700, 1800), 900, 800)], isolated=False),
        Group([layer("normal", 1.0, (2600, 2900), 300, 400),
               layer("color_dodge", 0.6, clip=True), layer("hue", 0.8, clip=True),
               layer("multiply", 0.9, (1200, 1400), 100, 100)], "normal", 0.85),
        Group([layer("lighten", 1.0), layer("difference", 0.4), layer("screen", 0.6)],
              "overlay", 0.7),
        layer("normal", 0.3, (900, 1000), 2500, 2300),
    ]
    flat: list[tuple[np.ndarray, str, float, int, int]] = []

    def collect(items: list[Layer | Group]) -> None:
        for item in items:
            if isinstance(item, Group):
                collect(list(item.layers))
            else:
                flat.append((np.asarray(item.image), str(item.blend), float(item.opacity),
                             item.x, item.y))

    collect(tree)
    assert len(flat) == 13
    return tree, flat


def best(function: object, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()  # type: ignore[operator]
        times.append(time.perf_counter() - start)
    return min(times)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--threads", type=int, default=2)
    args = parser.parse_args()
    tree, flat = document()
    canvas = np.zeros((HEIGHT, WIDTH, 4), np.uint8)

    def sequential() -> None:
        out = canvas.copy()
        for image, blend, opacity, x, y in flat:
            tarnwick.composite(out, image, blend, opacity, out=out, x=x, y=y)

    one_call_each = best(sequential, args.repeat)
    as_tree = best(lambda: tarnwick.flatten(canvas, tree), args.repeat)
    print(f"13 translucent uint8 RGBA layers, {WIDTH} x {HEIGHT}, 3 groups (one pass-through, "
          f"one with a clipping run), one thread, best of {args.repeat}")
    print(f"{'what':<44} {'s':>8} {'x calls':>8}")
    print("-" * 62)
    print(f"{'13 composite calls onto one canvas':<44} {one_call_each:8.3f} {1:8.2f}")
    print(f"{'flatten of the tree':<44} {as_tree:8.3f} {as_tree / one_call_each:8.2f}")
    print()

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "doc.ora")
        start = time.perf_counter()
        ora.write(path, ora.Document(WIDTH, HEIGHT, tree))
        wrote = time.perf_counter() - start
        size = os.path.getsize(path)
        rows = []
        for threads in (1, args.threads):
            start = time.perf_counter()
            doc = ora.read(path)
            read = time.perf_counter() - start
            start = time.perf_counter()
            ora.decode_all(doc.layers, threads)
            decoded = time.perf_counter() - start
            start = time.perf_counter()
            picture = doc.flatten(threads=threads)
            flattened = time.perf_counter() - start
            start = time.perf_counter()
            tarnwick.imwrite(os.path.join(folder, "out.png"), picture)
            png = time.perf_counter() - start
            rows.append((threads, read, decoded, flattened, png))
    print(f"OpenRaster end to end: the document above ({size / 2**20:.0f} MiB, written in "
          f"{wrote:.2f} s by tarnwick.ora.write)")
    print(f"{'threads':>7} {'read (zip, stack.xml, PNG checks)':>34} {'PNG decode':>11} "
          f"{'flatten':>8} {'PNG write':>10} {'total':>7}")
    print("-" * 82)
    for threads, read, decoded, flattened, png in rows:
        total = read + decoded + flattened + png
        print(f"{threads:>7} {read:>34.2f} {decoded:>11.2f} {flattened:>8.2f} {png:>10.2f} "
              f"{total:>7.2f}")
    print()
    print("reproduce: PYTHONPATH=src " + os.path.basename(sys.executable)
          + " benchmarks/bench_ora.py " + " ".join(sys.argv[1:]))


if __name__ == "__main__":
    main()
