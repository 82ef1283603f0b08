"""Time a 4K PNG-to-PNG blend through the command line, split into read, blend
and write, for several PNG compression levels.

The background is the generated landscape with sensor-like noise (a photograph
compresses about as badly), the layer the generated RGBA layer. The split times
the steps the command runs (tarnwick.image.open_file for both inputs,
tarnwick.blend, tarnwick.image.write_file) in this process; the last column is
the whole command, `python -m tarnwick blend ...`, in a fresh process.

    python benchmarks/bench_cli.py [--repeat N] [--levels 0,1,6]
"""

from __future__ import annotations

import argparse
import shlex
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable

import numpy as np
from PIL import Image

import tarnwick
from tarnwick import image, sheet

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "bench-cli"
HEIGHT, WIDTH = 2160, 3840
MODE = "soft_light"


def median_time(step: Callable[[], object], repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        step()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--levels", default="0,1,3,6")
    args = parser.parse_args()
    levels = [int(level) for level in args.levels.split(",")]

    WORK.mkdir(parents=True, exist_ok=True)
    bg_path, fg_path = WORK / "photo.png", WORK / "layer.png"
    rng = np.random.default_rng(4)
    noisy = sheet.scene(HEIGHT, WIDTH).astype(np.int16) + rng.normal(0, 4, (HEIGHT, WIDTH, 3))
    Image.fromarray(np.clip(noisy, 0, 255).astype(np.uint8)).save(bg_path)
    Image.fromarray(sheet.layer(HEIGHT, WIDTH)).save(fg_path)

    read = median_time(lambda: (image.open_file(bg_path), image.open_file(fg_path)), args.repeat)
    bg, kind, meta = image.open_file(bg_path)
    fg = image.open_file(fg_path)[0]
    blend = median_time(lambda: tarnwick.blend(bg, fg, MODE), args.repeat)
    result = tarnwick.blend(bg, fg, MODE)

    print(f"tarnwick blend {MODE}, {WIDTH}x{HEIGHT} RGB PNG + RGBA PNG -> PNG, "
          f"median of {args.repeat}, seconds")
    print(f"{'level':>5} {'read':>6} {'blend':>6} {'write':>6} {'sum':>6} {'command':>8} "
          f"{'MB':>6} {'write/level 6':>14}")
    rows = []
    for level in levels:
        out = WORK / f"out{level}.png"
        encoding = image.Encoding(compress_level=level)
        write = median_time(lambda: image.write_file(out, result, kind, meta, encoding), args.repeat)
        command = [sys.executable, "-m", "tarnwick", "blend", MODE, str(bg_path), str(fg_path),
                   "-o", str(out), "--compress-level", str(level)]
        whole = median_time(lambda: subprocess.run(command, check=True), args.repeat)
        rows.append((level, write, whole, out.stat().st_size / 1e6))
    slowest = dict((level, write) for level, write, _, _ in rows).get(6)
    for level, write, whole, size in rows:
        ratio = f"{write / slowest:.2f}" if slowest else "-"
        print(f"{level:>5} {read:6.2f} {blend:6.3f} {write:6.2f} {read + blend + write:6.2f} "
              f"{whole:8.2f} {size:6.1f} {ratio:>14}")
    print("reproduce: " + shlex.join([sys.executable, *sys.argv]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
