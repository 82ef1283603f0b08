"""Time a 4K PNG-to-PNG blend through the command line, split into read, blend
and write, for several PNG compression levels.

The background is the generated landscape with sensor-like noise (a photograph
compresses about as badly), the layer the generated RGBA layer. The split times
the steps the command runs (tarnwick.image.open_file for both inputs,
tarnwick.blend, tarnwick.image.write_file) in this process; the last column is
the whole command, `python -m tarnwick blend ...`, in a fresh process.

    python benchmarks/bench_cli.py [--repeat N] [--levels 0,1,6]

With --batch, a folder of 4K PNG photographs through `tarnwick blend` in batch
mode instead: files per second with one job against one per core (--jobs), and
where one file's time goes (read, blend, write, measured in this process).

    python benchmarks/bench_cli.py --batch [--files N] [--repeat N]
"""

from __future__ import annotations

import argparse
import os
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


def make_inputs(bg_path: Path, fg_path: Path, seed: int = 4) -> None:
    rng = np.random.default_rng(seed)
    noisy = sheet.scene(HEIGHT, WIDTH).astype(np.int16) + rng.normal(0, 4, (HEIGHT, WIDTH, 3))
    Image.fromarray(np.clip(noisy, 0, 255).astype(np.uint8)).save(bg_path, compress_level=1)
    if not fg_path.exists():
        Image.fromarray(sheet.layer(HEIGHT, WIDTH)).save(fg_path)


def batch(files: int, repeat: int) -> int:
    """Files per second of a batch, one job against one per core."""
    folder = WORK / "frames"
    folder.mkdir(parents=True, exist_ok=True)
    fg_path = WORK / "layer.png"
    for i in range(files):
        path = folder / f"{i:04}.png"
        if not path.exists():
            make_inputs(path, fg_path, seed=i)
    cores = (getattr(os, "process_cpu_count", None) or os.cpu_count)() or 1

    def run(jobs: int) -> float:
        command = [sys.executable, "-m", "tarnwick", "blend", MODE, str(folder), str(fg_path),
                   "-o", str(WORK / f"out-jobs{jobs}"), "-q", "--jobs", str(jobs)]
        return median_time(lambda: subprocess.run(command, check=True), repeat)

    bg, kind, meta = image.open_file(folder / "0000.png")
    fg = image.open_file(fg_path)[0]
    read = median_time(lambda: (image.open_file(folder / "0000.png"), image.open_file(fg_path)), repeat)
    blend = median_time(lambda: tarnwick.blend(bg, fg, MODE), repeat)
    result = tarnwick.blend(bg, fg, MODE)
    write = median_time(lambda: image.write_file(WORK / "one.png", result, kind, meta), repeat)
    print(f"tarnwick blend {MODE} over a folder of {files} {WIDTH}x{HEIGHT} RGB PNGs (+ one RGBA "
          f"layer PNG) -> PNG, whole command, median of {repeat}; {cores} cores, "
          f"{'free-threaded' if not getattr(sys, '_is_gil_enabled', lambda: True)() else 'GIL'} Python")
    print(f"{'jobs':>6} {'seconds':>8} {'files/s':>8} {'speed-up':>9}")
    one = run(1)
    rows = [(1, one)] + ([(cores, run(cores))] if cores > 1 else [])
    for jobs, seconds in rows:
        print(f"{jobs:>6} {seconds:8.2f} {files / seconds:8.2f} {one / seconds:9.2f}")
    total = read + blend + write
    print(f"one file, in this process: read {read:.2f} s ({read / total:.0%}), blend {blend:.3f} s "
          f"({blend / total:.0%}), write {write:.2f} s ({write / total:.0%})")
    print("reproduce: " + shlex.join([sys.executable, *sys.argv]))
    return 0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--levels", default="0,1,3,6")
    parser.add_argument("--batch", action="store_true", help="files per second of a batch, by --jobs")
    parser.add_argument("--files", type=int, default=8, help="PNGs in the batch's folder")
    args = parser.parse_args()
    if args.batch:
        return batch(args.files, args.repeat)
    levels = [int(level) for level in args.levels.split(",")]

    WORK.mkdir(parents=True, exist_ok=True)
    bg_path, fg_path = WORK / "photo.png", WORK / "layer.png"
    make_inputs(bg_path, fg_path)

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
