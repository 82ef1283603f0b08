"""Blend throughput per kernel against the memory floor.

For each case, a blend of two 3840 x 2160 images at opacity 0.5 is timed
under every kernel, together with the three-stream memory floor
``numpy.add(bg, fg, out=out)`` on arrays of the same shape and type, in the
same run (and, for reference, the same add allocating its output, as every
blend call does). Times are the best of several repetitions, single thread.

    PYTHONPATH=src:build/dev python3 benchmarks/bench.py [MODE ...] [--repeat N]

MODE filters the cases by mode name (e.g. ``normal``); without it every case
runs.
"""

import argparse
import shlex
import sys
import time
from dataclasses import dataclass

import numpy as np

import _tarnwick

KERNELS = ("scalar", "sse42", "avx2")
HEIGHT, WIDTH = 2160, 3840
OPACITY = 0.5


@dataclass(frozen=True)
class Case:
    mode: str
    bg_dtype: type
    bg_channels: int
    fg_dtype: type
    fg_channels: int

    @property
    def label(self):
        def part(dtype, channels):
            return "RGBA" if channels == 4 else "RGB"

        same_type = self.bg_dtype == self.fg_dtype
        types = np.dtype(self.bg_dtype).name if same_type else (
            f"{np.dtype(self.bg_dtype).name}/{np.dtype(self.fg_dtype).name}"
        )
        return f"{self.mode} {types} {part(self.bg_dtype, self.bg_channels)}x{part(self.fg_dtype, self.fg_channels)}"


# Further modes are further rows here.
CASES = [
    Case("normal", np.uint8, 3, np.uint8, 3),
    Case("normal", np.uint8, 4, np.uint8, 4),
    Case("normal", np.float32, 4, np.float32, 4),
]


def image(rng, channels, dtype):
    shape = (HEIGHT, WIDTH, channels)
    if np.dtype(dtype) == np.uint8:
        return rng.integers(0, 256, size=shape, dtype=np.uint8)
    return rng.uniform(0, 255, size=shape).astype(np.float32)


def best_of(repeat, call):
    call()  # warm up: page in the inputs, settle the allocator
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def run_case(case, repeat, rng):
    bg = image(rng, case.bg_channels, case.bg_dtype)
    fg = image(rng, case.fg_channels, case.fg_dtype)
    # The floor moves as many bytes as the blend's heaviest layout: two
    # inputs and one output of the background's shape and type.
    floor_a = image(rng, case.bg_channels, case.bg_dtype)
    floor_b = image(rng, case.bg_channels, case.bg_dtype)
    floor_out = np.empty_like(floor_a)
    floor = best_of(repeat, lambda: np.add(floor_a, floor_b, out=floor_out))
    # Every blend call allocates its output; this shows what that adds.
    floor_alloc = best_of(repeat, lambda: np.add(floor_a, floor_b))
    blend = getattr(_tarnwick, case.mode)
    times = {}
    for kernel in KERNELS:
        if _tarnwick.kernel_available(kernel):
            times[kernel] = best_of(repeat, lambda: blend(bg, fg, OPACITY, kernel))
    return floor, floor_alloc, times


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("modes", nargs="*", help="only cases of these modes")
    parser.add_argument("--repeat", type=int, default=5, help="repetitions per timing (best is kept)")
    args = parser.parse_args(argv)
    cases = [case for case in CASES if not args.modes or case.mode in args.modes]
    if not cases:
        parser.error(f"no case for {', '.join(args.modes)}; modes: {sorted({c.mode for c in CASES})}")

    megapixels = HEIGHT * WIDTH / 1e6
    rng = np.random.default_rng(0)
    print(f"{WIDTH} x {HEIGHT}, opacity {OPACITY}, best of {args.repeat}, "
          f"Python {sys.version.split()[0]}, NumPy {np.__version__}")
    header = f"{'case':<34} {'kernel':<7} {'ms':>9} {'MP/s':>8} {'x floor':>8} {'vs scalar':>10}"
    print(header)
    print("-" * len(header))
    for case in cases:
        floor, floor_alloc, times = run_case(case, args.repeat, rng)
        print(f"{case.label:<34} {'floor':<7} {floor * 1e3:9.2f} {megapixels / floor:8.0f} {1:8.2f} {'':>10}")
        print(f"{'  (floor allocating its output)':<34} {'':<7} {floor_alloc * 1e3:9.2f} "
              f"{megapixels / floor_alloc:8.0f} {floor_alloc / floor:8.2f} {'':>10}")
        for kernel, seconds in times.items():
            speedup = times["scalar"] / seconds if "scalar" in times else float("nan")
            print(f"{'':<34} {kernel:<7} {seconds * 1e3:9.2f} {megapixels / seconds:8.0f} "
                  f"{seconds / floor:8.2f} {speedup:9.1f}x")
    print()
    print("reproduce:", shlex.join([sys.executable, *sys.argv]))


if __name__ == "__main__":
    main()
