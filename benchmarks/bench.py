"""Blend throughput per kernel against the memory floor.

For each case, a blend of two 3840 x 2160 images at opacity 0.5 is timed
under every kernel, together with the three-stream memory floor
``numpy.add(bg, fg, out=out)`` on arrays of the same shape and type, in the
same run (and, for reference, the same add allocating its output, as every
blend call does). Times are the best of several repetitions, single thread.

    PYTHONPATH=src:build/dev python3 benchmarks/bench.py [MODE ...] [--repeat N]

MODE filters the cases by mode name (e.g. ``normal``); without it every case
runs. ``--colour`` prints only the colour-model table instead: the eight
colour-model modes on uint8 RGB and float32 RGBA, per kernel, against
"hsv_hue" and against the floor. A second table shows how the "avx2" throughput of a few cases scales
when several threads blend at once (the pixel loops run without the
interpreter's thread state); ``--threads 0`` leaves it out.

``--stack`` prints instead the table of ``tarnwick.flatten`` against one
``composite`` call per layer, and of a batch of frames against one call per
frame.

``--mask`` prints instead ``tarnwick.blend(..., out=out)`` with a random
layer mask against the same call without one (1920 x 1080, one thread).
``--overhead`` prints the cost of a 16 x 16 call (the raw function,
``blend``, ``blend`` with ``out``, with ``threads=2``) against the raw call,
and a loop over 64 frames of 640 x 360 RGB with ``out`` against the same
loop of ``numpy.add``.

``--numbers`` prints instead uint16 images against the uint16 floor, floats
on 0..1 (``float_scale=1.0``) against the same call on 0..255, and uint8
RGBA ``composite`` in linear light against the same call in sRGB (3840 x
2160, one thread, avx2).

``--api`` prints instead the table of ``tarnwick.blend``: the plain call, into
a reused ``out`` array, in place on the background, and ``out`` with
``threads=2``, against both floors, for a few modes of each family.

``--composite`` prints instead the table of the compositing model
(``_tarnwick._composite_into``): each blend function under source_over, some
operators, premultiplied and masked rows, on the avx2 and scalar kernels,
against the floor.
"""

import argparse
import json
import os
import subprocess
import shlex
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

import numpy as np

import _tarnwick
import tarnwick
try:
    from tarnwick._names import families
except ImportError:  # an earlier build, measured beside this one (--before)
    from tarnwick._api import families

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


# The modes of each family, in the module's order.
SEPARABLE_MODES = families()["separable"]
COLOUR_MODES = families()["colour-model"]

# Targets for the separable modes, single thread: on aligned uint8 RGB x RGB
# within 2x the floor for modes with byte-input kernels and 3x for the
# others; on float32 RGB x RGB "avx2" at least 4x faster than "scalar".
BYTE_KERNEL_MODES = frozenset(
    {"addition", "darken_only", "difference", "lighten_only", "linear_burn", "multiply", "screen"}
)


def target_miss(case, floor, times, aligned):
    """A line describing the separable target `case` misses, or None."""
    if case.mode not in SEPARABLE_MODES or "avx2" not in times or case.bg_channels != 3:
        return None
    if case.bg_dtype == np.uint8:
        limit = 2 if case.mode in BYTE_KERNEL_MODES else 3
        ratio = times["avx2"] / floor
        if ratio > limit or not aligned:
            return f"{case.label}: avx2 at {ratio:.2f}x the floor (target {limit}x)" + (
                "" if aligned else ", buffers not 16-byte aligned")
    elif "scalar" in times:
        speedup = times["scalar"] / times["avx2"]
        if speedup < 4:
            return f"{case.label}: avx2 {speedup:.1f}x faster than scalar (target 4x)"
    return None


# Further modes are further rows here.
CASES = [
    Case("normal", np.uint8, 3, np.uint8, 3),
    Case("normal", np.uint8, 4, np.uint8, 4),
    Case("normal", np.float32, 4, np.float32, 4),
    *(
        Case(mode, dtype, channels, dtype, channels)
        for mode in SEPARABLE_MODES
        # uint8 RGB x RGB takes the flat byte loops when all three buffers
        # are 16-byte aligned (checked below).
        for dtype, channels in ((np.uint8, 3), (np.uint8, 4), (np.float32, 3))
    ),
    *(
        Case(mode, dtype, channels, dtype, channels)
        for mode in COLOUR_MODES
        for dtype, channels in ((np.uint8, 3), (np.float32, 4))
    ),
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
    # Whether the inputs and an output sit on 16-byte boundaries, which the
    # flat byte loops of two 3-channel byte images need.
    aligned = all(a.ctypes.data % 16 == 0 for a in (bg, fg, blend(bg, fg, OPACITY)))
    return floor, floor_alloc, times, aligned


# A memory-bound, a mixed and a compute-bound case for the thread table.
THREAD_CASES = [
    Case("normal", np.uint8, 4, np.uint8, 4),
    Case("multiply", np.float32, 3, np.float32, 3),
    Case("hsv_hue", np.uint8, 3, np.uint8, 3),
]


def thread_scaling(threads, repeat, rng, modes):
    """Aggregate throughput of `threads` concurrent calls over one call."""
    cases = [case for case in THREAD_CASES if not modes or case.mode in modes]
    if not cases:
        return
    print()
    print(f"threads: {threads} concurrent avx2 calls, each on its own images")
    header = f"{'case':<34} {'1 call ms':>10} {'N calls ms':>11} {'throughput x':>13}"
    print(header)
    print("-" * len(header))
    with ThreadPoolExecutor(threads) as pool:
        for case in cases:
            blend = getattr(_tarnwick, case.mode)
            pairs = [(image(rng, case.bg_channels, case.bg_dtype), image(rng, case.fg_channels, case.fg_dtype))
                     for _ in range(threads)]
            one = best_of(repeat, lambda: blend(*pairs[0], OPACITY, "avx2"))
            many = best_of(repeat, lambda: list(pool.map(lambda pair: blend(*pair, OPACITY, "avx2"), pairs)))
            print(f"{case.label:<34} {one * 1e3:10.2f} {many * 1e3:11.2f} {threads * one / many:12.2f}x")


API_MODES = ("normal", "multiply", "soft_light", "hsv_hue", "lch_color")
API_LAYOUTS = ((np.uint8, 3), (np.uint8, 4), (np.float32, 3))


def api_table(repeat, rng, modes):
    """tarnwick.blend with and without an output array, in place, on 2 threads."""
    print(f"{'case':<34} {'call':<12} {'ms':>9} {'x floor':>8} {'x alloc floor':>14} {'vs 1 thread':>12}")
    print("-" * 94)
    for dtype, channels in API_LAYOUTS:
        floor_a = image(rng, channels, dtype)
        floor_b = image(rng, channels, dtype)
        floor_out = np.empty_like(floor_a)
        floor = best_of(repeat, lambda: np.add(floor_a, floor_b, out=floor_out))
        floor_alloc = best_of(repeat, lambda: np.add(floor_a, floor_b))
        label = Case("floor", dtype, channels, dtype, channels).label
        print(f"{label:<34} {'add, out=':<12} {floor * 1e3:9.2f} {1:8.2f} {floor / floor_alloc:14.2f}")
        print(f"{'':<34} {'add':<12} {floor_alloc * 1e3:9.2f} {floor_alloc / floor:8.2f} {1:14.2f}")
        for mode in API_MODES:
            if modes and mode not in modes:
                continue
            bg = image(rng, channels, dtype)
            fg = image(rng, channels, dtype)
            buf = np.empty_like(bg)
            canvas = bg.copy()
            calls = {
                "plain": lambda: tarnwick.blend(bg, fg, mode, OPACITY),
                "out=": lambda: tarnwick.blend(bg, fg, mode, OPACITY, out=buf),
                "in place": lambda: tarnwick.blend(canvas, fg, mode, OPACITY, out=canvas),
                "out=, 2 thr": lambda: tarnwick.blend(bg, fg, mode, OPACITY, out=buf, threads=2),
            }
            times = {name: best_of(repeat, call) for name, call in calls.items()}
            case = Case(mode, dtype, channels, dtype, channels).label
            for name, seconds in times.items():
                scaling = f"{times['out='] / seconds:11.2f}x" if name.endswith("thr") else ""
                print(f"{case:<34} {name:<12} {seconds * 1e3:9.2f} {seconds / floor:8.2f} "
                      f"{seconds / floor_alloc:14.2f} {scaling:>12}")
                case = ""

def colour_model_table(repeat, rng, modes):
    """The colour-model modes on uint8 RGB x RGB and float32 RGBA x RGBA:
    ms per kernel, avx2 over scalar, and avx2 against "hsv_hue" avx2 and
    against the memory floor, all timed in this run. Targets: every LCH mode
    on avx2 at least 10x its scalar kernel and at most 3x "hsv_hue"."""
    # "hsv_hue" first: it is the reference of the ratio column.
    names = ["hsv_hue"] + [mode for mode in COLOUR_MODES
                           if mode != "hsv_hue" and (not modes or mode in modes)]
    kernels = [kernel for kernel in ("avx2", "sse42", "scalar") if _tarnwick.kernel_available(kernel)]
    print(f"colour-model modes: {WIDTH} x {HEIGHT}, opacity {OPACITY}, best of {repeat}, one thread; "
          f"floor = numpy.add(bg, fg, out=out) on arrays of the same shape and type")
    header = (f"{'mode':<15} {'layout':<22} {'scalar ms':>10} {'sse42 ms':>9} {'avx2 ms':>8} "
              f"{'avx2/scalar':>12} {'x hsv_hue':>10} {'x floor':>8}")
    misses = []
    for dtype, channels in ((np.uint8, 3), (np.float32, 4)):
        bg = image(rng, channels, dtype)
        fg = image(rng, channels, dtype)
        floor_out = np.empty_like(bg)
        floor = best_of(repeat, lambda: np.add(bg, fg, out=floor_out))
        layout = Case("", dtype, channels, dtype, channels).label.strip()
        print()
        print(f"{layout}: floor {floor * 1e3:.2f} ms")
        print(header)
        print("-" * len(header))
        reference = None
        for mode in names:
            blend = getattr(_tarnwick, mode)
            blend(bg, fg, OPACITY, "avx2")  # warm up once per mode
            times = {}
            for kernel in kernels:
                best = float("inf")
                for _ in range(repeat):
                    start = time.perf_counter()
                    blend(bg, fg, OPACITY, kernel)
                    best = min(best, time.perf_counter() - start)
                times[kernel] = best
            avx2 = times.get("avx2", float("nan"))
            if mode == "hsv_hue":
                reference = avx2
            speedup = times.get("scalar", float("nan")) / avx2
            ratio = avx2 / reference
            ms = {kernel: f"{times[kernel] * 1e3:.1f}" if kernel in times else "-" for kernel in KERNELS}
            print(f"{mode:<15} {layout:<22} {ms['scalar']:>10} {ms['sse42']:>9} {ms['avx2']:>8} "
                  f"{speedup:11.1f}x {ratio:9.2f}x {avx2 / floor:7.1f}x")
            if mode.startswith("lch_") and not (speedup >= 10 and ratio <= 3):
                misses.append(f"{mode} {layout}: avx2 {speedup:.1f}x its scalar (target >= 10x), "
                              f"{ratio:.2f}x hsv_hue (target <= 3x)")
    if misses:
        print()
        print("colour-model targets missed:")
        for miss in misses:
            print("  " + miss)


STACK_BLENDS = ("normal", "multiply", "screen", "overlay")


def translucent(rng, height, width, channels=4):
    """uint8 pixels with alphas spread over 0..255 (a quarter of them opaque)."""
    image = rng.integers(0, 256, size=(height, width, channels), dtype=np.uint8)
    if channels == 4:
        alpha = image[..., 3]
        alpha[rng.random(alpha.shape) < 0.25] = 255
    return image


def stack_table(repeat, rng):
    """Layer stacks and batches of frames, measured side by side: eight
    translucent uint8 RGBA layers on a 3840 x 2160 canvas as eight
    composite(..., out=canvas) calls and as one flatten; 64 RGB frames of
    640 x 360 with one RGBA overlay as 64 calls and as one batched call.
    Targets: flatten <= 0.5 x the eight calls on one thread; the batched
    call <= 1.3 x the floor for its bytes and >= 2 x faster than 64 calls."""
    print(f"layer stack: 8 uint8 RGBA layers ({', '.join(STACK_BLENDS)} twice, source_over) on a "
          f"{WIDTH} x {HEIGHT} RGBA canvas; best of {repeat}")
    header = f"{'call':<40} {'threads':>7} {'ms':>9} {'x floor':>8} {'x 8 calls':>10}"
    print(header)
    print("-" * len(header))
    canvas = translucent(rng, HEIGHT, WIDTH)
    layers = [tarnwick.Layer(translucent(rng, HEIGHT, WIDTH), STACK_BLENDS[i % 4], 0.8) for i in range(8)]
    work = np.empty_like(canvas)
    floor_b = translucent(rng, HEIGHT, WIDTH)
    floor = best_of(repeat, lambda: np.add(canvas, floor_b, out=work))
    print(f"{'floor: add(canvas, layer, out=)':<40} {1:>7} {floor * 1e3:9.2f} {1:8.2f}")

    # The first layer reads the canvas and writes `work`, the others work
    # in place on it, as flatten(canvas, layers, out=work) does.
    def calls(threads):
        below = canvas
        for layer in layers:
            tarnwick.composite(below, layer.image, layer.blend, layer.opacity, out=work, threads=threads)
            below = work

    misses = []
    for threads in (1, 2):
        eight = best_of(repeat, lambda: calls(threads))
        one = best_of(repeat, lambda: tarnwick.flatten(canvas, layers, out=work, threads=threads))
        print(f"{'8 x composite(..., out=work)':<40} {threads:>7} {eight * 1e3:9.2f} "
              f"{eight / floor:8.2f} {1:10.2f}")
        print(f"{'flatten(canvas, layers, out=work)':<40} {threads:>7} {one * 1e3:9.2f} "
              f"{one / floor:8.2f} {one / eight:10.2f}")
        if threads == 1 and one > 0.5 * eight:
            misses.append(f"flatten of 8 layers at {one / eight:.2f}x the 8 calls (target 0.5x)")

    frames_n, frame_h, frame_w = 64, 360, 640
    frames = np.stack([translucent(rng, frame_h, frame_w, 3) for _ in range(frames_n)])
    overlay = translucent(rng, frame_h, frame_w)
    out = np.empty_like(frames)
    other = np.empty_like(frames)
    np.copyto(other, frames[::-1])
    print()
    print(f"batch: {frames_n} uint8 RGB frames of {frame_w} x {frame_h}, one uint8 RGBA overlay "
          f"(composite normal, source_over); best of {repeat}")
    header = f"{'call':<40} {'threads':>7} {'ms':>9} {'x floor':>8} {'x 64 calls':>11}"
    print(header)
    print("-" * len(header))
    floor = best_of(repeat, lambda: np.add(frames, other, out=out))
    print(f"{'floor: add(frames, frames2, out=)':<40} {1:>7} {floor * 1e3:9.2f} {1:8.2f}")
    rgb = np.ascontiguousarray(overlay[..., :3])
    broadcast = best_of(repeat, lambda: np.add(frames, rgb, out=out))
    print(f"{'add(frames, overlay RGB, out=)':<40} {1:>7} {broadcast * 1e3:9.2f} {broadcast / floor:8.2f}")
    for threads in (1, 2):
        each = best_of(repeat, lambda: [tarnwick.composite(frame, overlay, threads=threads) for frame in frames])
        into = best_of(repeat, lambda: [tarnwick.composite(frames[i], overlay, out=out[i], threads=threads)
                                        for i in range(frames_n)])
        batch = best_of(repeat, lambda: tarnwick.composite(frames, overlay, out=out, threads=threads))
        for label, seconds in (("64 calls, each allocating", each), ("64 calls, out=out[i]", into),
                               ("one batched call, out=", batch)):
            print(f"{label:<40} {threads:>7} {seconds * 1e3:9.2f} {seconds / floor:8.2f} "
                  f"{seconds / each:11.2f}")
        if threads == 1:
            if batch > 1.3 * floor:
                misses.append(f"batched call at {batch / floor:.2f}x the floor (target 1.3x)")
            if each < 2 * batch:
                misses.append(f"batched call {each / batch:.2f}x faster than 64 calls (target 2x)")
    if misses:
        print()
        print("stack and batch targets missed:")
        for miss in misses:
            print("  " + miss)


COMPOSITE_BLENDS = tarnwick.BLENDS
WHOLE_PIXEL_BLENDS = frozenset({"hue", "saturation", "color", "luminosity", "darker_color",
                                "lighter_color"})


def composite_table(repeat, rng, blends):
    """The compositing model (_tarnwick._composite_into) per kernel against the
    floor, on uint8 RGBA over uint8 RGBA with translucent alphas, uint8 RGB
    and float32 RGBA: every blend function with source_over, a few other
    operators, premultiplied images and a layer mask. Targets on uint8 RGBA,
    avx2: normal <= 1.5x the floor, separable blends <= 3x, whole-pixel ones
    <= 6x; premultiplied normal <= 1.2x and no premultiplied row slower than
    its straight one; a mask <= 1.3x the unmasked call. Times are the calling
    thread's CPU time (floor included), so that other processes' load on a
    shared machine does not count: every call runs on that one thread."""

    def best_of(repeat, call):
        call()
        best = float("inf")
        for _ in range(repeat):
            start = time.thread_time()
            call()
            best = min(best, time.thread_time() - start)
        return best

    kernels = [kernel for kernel in ("avx2", "scalar") if _tarnwick.kernel_available(kernel)]
    names = [blend for blend in COMPOSITE_BLENDS if not blends or blend in blends]
    rows = [(blend, "source_over", False, False) for blend in names]
    rows += [(blend, op, False, False) for blend in ("normal", "multiply") if blend in names
             for op in ("source_atop", "destination_over", "xor", "plus_lighter")]
    rows += [(blend, "source_over", True, False) for blend in ("normal", "multiply", "hue")
             if blend in names]
    rows += [(blend, "source_over", False, True) for blend in ("normal", "multiply") if blend in names]
    print(f"compositing model: {WIDTH} x {HEIGHT}, opacity {OPACITY}, best of {repeat}, one thread, "
          f"thread CPU time; floor = numpy.add(bg, fg, out=out) on arrays of the backdrop's shape "
          f"and type")
    header = (f"{'blend':<13} {'operator':<17} {'storage':<8} {'mask':<5} "
              + " ".join(f"{kernel + ' ms':>10}" for kernel in kernels)
              + f" {'x floor':>8} {'vs scalar':>10}")
    misses = []
    for dtype, channels in ((np.uint8, 4), (np.uint8, 3), (np.float32, 4)):
        bg = image(rng, channels, dtype)
        fg = image(rng, channels, dtype)
        out = np.empty_like(bg)
        floor = best_of(repeat, lambda: np.add(bg, fg, out=out))
        mask = rng.integers(0, 256, size=(HEIGHT, WIDTH), dtype=np.uint8)
        layout = Case("", dtype, channels, dtype, channels).label.strip()
        print()
        print(f"{layout}: floor {floor * 1e3:.2f} ms")
        print(header)
        print("-" * len(header))
        straight = {}
        for blend, op, premultiplied, masked in rows:
            if channels == 3 and (op in ("xor",) or premultiplied):
                continue  # needs alpha, or is the straight row again
            times = {}
            for kernel in kernels:
                args = (blend, op, premultiplied, bg, fg, OPACITY, kernel, out, mask if masked else None)
                times[kernel] = best_of(repeat, lambda: _tarnwick._composite_into(*args))
            avx2 = times.get("avx2", float("nan"))
            ratio = avx2 / floor
            speedup = times.get("scalar", float("nan")) / avx2
            storage = "premul" if premultiplied else "straight"
            print(f"{blend:<13} {op:<17} {storage:<8} {'yes' if masked else '':<5} "
                  + " ".join(f"{times[kernel] * 1e3:10.1f}" for kernel in kernels)
                  + f" {ratio:8.2f} {speedup:9.1f}x")
            if not premultiplied and not masked:
                straight[(blend, op)] = avx2
            if (dtype, channels) != (np.uint8, 4):
                continue
            if masked:
                limit = 1.3 * straight[(blend, op)] / floor
            elif premultiplied:
                limit = min(1.2 if blend == "normal" else float("inf"), straight[(blend, op)] / floor)
            elif op == "source_over":
                limit = 1.5 if blend == "normal" else 6 if blend in WHOLE_PIXEL_BLENDS else 3
            else:
                continue
            if ratio > limit:
                misses.append(f"{blend} {op} {storage}{' masked' if masked else ''} {layout}: "
                              f"avx2 at {ratio:.2f}x the floor (target {limit:.2f}x)")
    if misses:
        print()
        print("compositing targets missed:")
        for miss in misses:
            print("  " + miss)


MASK_MODES = ("normal", "multiply", "soft_light", "hsv_hue")
MASK_LAYOUTS = ((np.uint8, 3), (np.uint8, 4), (np.float32, 4))


def mask_table(repeat, rng, modes):
    """blend(..., out=out, mask=m) against the unmasked call, 1920 x 1080."""
    height, width = 1080, 1920
    print(f"{'case':<34} {'mask':<8} {'ms':>8} {'unmasked ms':>12} {'x unmasked':>11} {'x floor':>8}")
    print("-" * 86)
    for dtype, channels in MASK_LAYOUTS:
        def picture():
            if np.dtype(dtype) == np.uint8:
                return rng.integers(0, 256, (height, width, channels), dtype=np.uint8)
            return rng.uniform(0, 255, (height, width, channels)).astype(np.float32)
        a, b = picture(), picture()
        floor = best_of(repeat, lambda: np.add(a, b, out=a))
        for mode in MASK_MODES:
            if modes and mode not in modes:
                continue
            bg, fg, out = picture(), picture(), np.empty((height, width, channels), dtype)
            plain = best_of(repeat, lambda: tarnwick.blend(bg, fg, mode, out=out))
            case = Case(mode, dtype, channels, dtype, channels).label
            for mask_dtype in (np.uint8, np.float32):
                mask = rng.integers(0, 256, (height, width)).astype(mask_dtype)
                masked = best_of(repeat, lambda: tarnwick.blend(bg, fg, mode, out=out, mask=mask))
                print(f"{case:<34} {np.dtype(mask_dtype).name:<8} {masked * 1e3:8.2f} "
                      f"{plain * 1e3:12.2f} {masked / plain:11.2f} {masked / floor:8.2f}")
                case = ""


def overhead_table(repeat, rng):
    """Small calls against the raw function; the frame loop against numpy.add."""
    bg = rng.integers(0, 256, (16, 16, 3), dtype=np.uint8)
    fg = rng.integers(0, 256, (16, 16, 3), dtype=np.uint8)
    out = np.empty_like(bg)
    n = 2000

    def per_call(call):
        def loop():
            for _ in range(n):
                call()
        return best_of(repeat, loop) / n

    raw = per_call(lambda: _tarnwick.multiply(bg, fg, OPACITY))
    calls = {
        "_tarnwick.multiply": None,
        "blend": lambda: tarnwick.blend(bg, fg, "multiply", OPACITY),
        "blend, out=": lambda: tarnwick.blend(bg, fg, "multiply", OPACITY, out=out),
        "blend, threads=2": lambda: tarnwick.blend(bg, fg, "multiply", OPACITY, threads=2),
        "blend, out=, threads=2": lambda: tarnwick.blend(bg, fg, "multiply", OPACITY, out=out,
                                                         threads=2),
    }
    print("16 x 16 uint8 RGB multiply, per call")
    print(f"{'call':<26} {'us':>8} {'x raw':>7}")
    for name, call in calls.items():
        seconds = raw if call is None else per_call(call)
        print(f"{name:<26} {seconds * 1e6:8.2f} {seconds / raw:7.2f}")
    frames = [rng.integers(0, 256, (360, 640, 3), dtype=np.uint8) for _ in range(64)]
    layer = rng.integers(0, 256, (360, 640, 3), dtype=np.uint8)
    canvas = np.empty_like(layer)

    def blend_loop():
        for frame in frames:
            tarnwick.blend(frame, layer, "multiply", OPACITY, out=canvas)

    def add_loop():
        for frame in frames:
            np.add(frame, layer, out=canvas)

    def native_loop():
        for frame in frames:
            _tarnwick._blend_into("multiply", frame, layer, OPACITY, "auto", canvas)

    floor, loop = best_of(repeat, add_loop), best_of(repeat, blend_loop)
    native = best_of(repeat, native_loop)
    print()
    print("64 frames of 640 x 360 uint8 RGB, multiply with out=")
    print(f"{'loop':<26} {'ms':>8} {'x floor':>8}")
    print(f"{'numpy.add, out=':<26} {floor * 1e3:8.2f} {1:8.2f}")
    print(f"{'_tarnwick._blend_into':<26} {native * 1e3:8.2f} {native / floor:8.2f}")
    print(f"{'blend, out=':<26} {loop * 1e3:8.2f} {loop / floor:8.2f}")


def numbers_cases(repeat, rng):
    """(label, ms, reference ms, target ratio) of uint16, floats on 0..1 and
    linear light, each against its reference, measured side by side."""
    def u16(channels):
        return rng.integers(0, 65536, (HEIGHT, WIDTH, channels)).astype(np.uint16)

    def u8(channels):
        return rng.integers(0, 256, (HEIGHT, WIDTH, channels), dtype=np.uint8)

    def f32(channels, top):
        return rng.uniform(0, top, (HEIGHT, WIDTH, channels)).astype(np.float32)

    rows = []
    for channels, call, name, target in ((3, "blend", "multiply", 2.0), (4, "composite", "normal", 1.5)):
        bg, fg, out = u16(channels), u16(channels), u16(channels)
        run = getattr(tarnwick, call)
        floor = best_of(repeat, lambda: np.add(bg, fg, out=out))
        ms = best_of(repeat, lambda: run(bg, fg, name, OPACITY, kernel="avx2", out=out))
        label = f"uint16 {'RGB' if channels == 3 else 'RGBA'} {call} {name}"
        rows.append((label + " vs add", ms, floor, target))
    for channels, call, name in ((3, "blend", "multiply"), (4, "composite", "normal")):
        bg, fg = f32(channels, 255), f32(channels, 255)
        ubg, ufg = bg / np.float32(255), fg / np.float32(255)
        out = np.empty_like(bg)
        run = getattr(tarnwick, call)
        ref = best_of(repeat, lambda: run(bg, fg, name, OPACITY, kernel="avx2", out=out))
        ms = best_of(repeat, lambda: run(ubg, ufg, name, OPACITY, kernel="avx2", out=out,
                                         float_scale=1.0))
        label = f"float32 {'RGB' if channels == 3 else 'RGBA'} {call} {name} 0..1"
        rows.append((label + " vs 0..255", ms, ref, 1.1))
    bg, fg, out = u8(4), u8(4), u8(4)
    ref = best_of(repeat, lambda: tarnwick.composite(bg, fg, "normal", OPACITY, kernel="avx2", out=out))
    ms = best_of(repeat, lambda: tarnwick.composite(bg, fg, "normal", OPACITY, kernel="avx2", out=out,
                                                    space="linear"))
    rows.append(("uint8 RGBA composite normal linear vs srgb", ms, ref, 2.0))
    return rows


def earlier_rows(before, function, repeat):
    """`function`'s rows as an earlier build gives them: this script run in a
    subprocess with that build's install folder first on the path."""
    script = (f"import json, sys; sys.argv = ['bench']; import runpy; "
              f"bench = runpy.run_path({str(Path(__file__))!r}, run_name='bench'); "
              f"import numpy as np; "
              f"print(json.dumps(bench[{function!r}]({repeat}, np.random.default_rng(0))))")
    env = dict(os.environ, PYTHONPATH=before)
    return json.loads(subprocess.run([sys.executable, "-c", script], env=env, check=True,
                                     capture_output=True, text=True).stdout)


def numbers_table(repeat, rng, before):
    """The numbers cases against their references, beside an earlier build
    when `before` names its install folder."""
    rows = numbers_cases(repeat, rng)
    earlier = {}
    if before:
        earlier = {label: ms / ref for label, ms, ref, _ in earlier_rows(before, "numbers_cases", repeat)}
    header = (f"{'case':<44} {'ms':>9} {'reference ms':>13} {'before':>7} {'x ref':>7} "
              f"{'target':>7}")
    print(header)
    print("-" * len(header))
    misses = []
    for label, ms, ref, target in rows:
        old = f"{earlier[label]:7.2f}" if label in earlier else f"{'':>7}"
        print(f"{label:<44} {ms * 1e3:9.2f} {ref * 1e3:13.2f} {old} {ms / ref:7.2f} {target:7.2f}")
        if ms > target * ref:
            misses.append(f"{label}: {ms / ref:.2f}x (target {target}x)")
    if misses:
        print()
        print("targets missed:")
        for miss in misses:
            print("  " + miss)


def integer_cases(repeat, rng):
    """(label, ratio to the floor, ratio to the scalar kernel) of the uint8
    RGBA cases the integer path serves, opacity 1, and of a few it does not."""

    def best_of(call):
        call()
        best = float("inf")
        for _ in range(repeat):
            start = time.thread_time()
            call()
            best = min(best, time.thread_time() - start)
        return best

    bg = image(rng, 4, np.uint8)
    fg = image(rng, 4, np.uint8)
    opaque = bg.copy()
    opaque[..., 3] = 255
    out = np.empty_like(bg)
    mask = rng.integers(0, 256, size=HEIGHT * WIDTH, dtype=np.uint8)
    floor = best_of(lambda: np.add(bg, fg, out=out))
    rows = []
    for blend in ("normal", "multiply", "screen", "darken", "difference", "soft_light", "hue"):
        for premultiplied, backdrop, storage in ((True, bg, "premul"), (False, opaque, "straight, opaque bg"),
                                                 (False, bg, "straight, translucent bg")):
            for in_place in (True, False):
                below = backdrop.copy()
                into = below if in_place else out
                times = {kernel: best_of(lambda: _tarnwick._composite_into(
                    blend, "source_over", premultiplied, below, fg, 1.0, kernel, into, None))
                    for kernel in ("avx2", "scalar") if _tarnwick.kernel_available(kernel)}
                label = f"{blend} source_over {storage}{', in place' if in_place else ''}"
                rows.append((label, times["avx2"] / floor, times.get("scalar", float("nan")) / times["avx2"]))
    for op in ("source_atop", "xor", "plus_lighter", "destination_in"):
        below = bg.copy()
        avx2 = best_of(lambda: _tarnwick._composite_into("normal", op, True, below, fg, 1.0, "avx2", below, None))
        rows.append((f"normal {op} premul, in place", avx2 / floor, float("nan")))
    for premultiplied, backdrop, storage in ((True, bg, "premul"), (False, opaque, "straight, opaque bg")):
        for blend in ("normal", "multiply"):
            plain = best_of(lambda: _tarnwick._composite_into(
                blend, "source_over", premultiplied, backdrop, fg, 1.0, "avx2", out, None))
            masked = best_of(lambda: _tarnwick._composite_into(
                blend, "source_over", premultiplied, backdrop, fg, 1.0, "avx2", out, mask))
            rows.append((f"{blend} {storage}, masked / unmasked", masked / plain, float("nan")))
    return rows


def premultiplied_round_trip():
    """How many of the 65,536 (value, alpha) byte pairs come back exact from
    premultiplying (rounded), compositing with a transparent source and
    un-premultiplying (rounded); alpha 0 counts as exact when the colour
    comes back 0."""
    value, alpha = np.meshgrid(np.arange(256), np.arange(256), indexing="ij")
    stored = np.zeros((256, 256, 4), np.uint8)
    stored[..., :3] = np.round(value * alpha / 255.0)[..., None]
    stored[..., 3] = alpha
    nothing = np.zeros_like(stored)
    result = np.empty_like(stored)
    _tarnwick._composite_into("normal", "source_over", True, stored, nothing, 1.0, "auto", result, None)
    with np.errstate(divide="ignore", invalid="ignore"):
        back = np.where(alpha > 0, np.round(result[..., 0] * 255.0 / np.maximum(alpha, 1)), 0)
    return int(np.count_nonzero(np.where(alpha > 0, back == value, result[..., 0] == 0)))


def integer_table(repeat, rng, before):
    """The integer path's cases against the floor, and side by side with an
    earlier build when `before` names its install folder (run in a
    subprocess with that folder first on the path)."""
    rows = integer_cases(repeat, rng)
    earlier = {}
    if before:
        earlier = {label: ratio for label, ratio, _ in earlier_rows(before, "integer_cases", repeat)}
    print(f"integer path: uint8 RGBA, {WIDTH} x {HEIGHT}, opacity 1, best of {repeat}, one thread, "
          f"avx2, thread CPU time; x floor = numpy.add(bg, fg, out=out)")
    header = f"{'case':<58} {'before':>7} {'x floor':>8} {'vs scalar':>10}"
    print(header)
    print("-" * len(header))
    for label, ratio, speedup in rows:
        old = f"{earlier[label]:7.2f}" if label in earlier else f"{'':>7}"
        versus = f"{speedup:9.1f}x" if speedup == speedup else f"{'':>10}"
        print(f"{label:<58} {old} {ratio:8.2f} {versus}")
    print()
    print(f"premultiplied round trip: {premultiplied_round_trip()} of 65536 (value, alpha) pairs exact")


def placement_table(repeat, rng):
    """Placed layers, regions and colour layers against the unplaced calls
    they stand for: the cost should follow the pixels worked on."""
    layer = translucent(rng, 512, 512)
    alone = rng.integers(0, 256, (512, 512, 4), np.uint8)
    # A large canvas, touched only where the layer lands (np.zeros maps the
    # pages lazily: nothing outside the overlap is ever read).
    canvas = np.zeros((20000, 20000, 4), np.uint8)
    t_alone = best_of(repeat, lambda: tarnwick.composite(alone, layer, out=alone))
    t_placed = best_of(repeat, lambda: tarnwick.composite(canvas, layer, out=canvas, x=9000, y=13000))
    del canvas
    rows = [("512x512 layer into a 20000x20000 canvas, in place", t_placed, t_alone,
             "against a 512x512 composite alone (target <= 1.1)")]

    big = rng.integers(0, 256, (2 * HEIGHT, 2 * WIDTH, 4), np.uint8)
    region = np.s_[HEIGHT // 2:HEIGHT // 2 + HEIGHT, 100:100 + WIDTH]
    flat = np.ascontiguousarray(big[region])
    source = translucent(rng, HEIGHT, WIDTH)
    for blend in ("normal", "multiply"):
        t_view = best_of(repeat, lambda: tarnwick.composite(big[region], source, blend,
                                                            out=big[region]))
        t_flat = best_of(repeat, lambda: tarnwick.composite(flat, source, blend, out=flat))
        rows.append((f"{WIDTH}x{HEIGHT} region of a canvas twice its size, in place, {blend}",
                     t_view, t_flat, "against a contiguous image of the region's size"))
    del big

    mask = rng.integers(0, 256, (HEIGHT, WIDTH), np.uint8)
    backdrop = translucent(rng, HEIGHT, WIDTH)
    colour = (200, 40, 90, 180)
    full = np.ascontiguousarray(np.broadcast_to(np.array(colour, np.uint8), (HEIGHT, WIDTH, 4)))
    out = np.empty_like(backdrop)
    t_colour = best_of(repeat, lambda: tarnwick.composite(backdrop, colour, mask=mask, out=out))
    t_full = best_of(repeat, lambda: tarnwick.composite(backdrop, full, mask=mask, out=out))
    rows.append((f"colour layer with a mask over {WIDTH}x{HEIGHT}", t_colour, t_full,
                 "against a full-size layer array (target <= 1.1)"))

    print(f"{'case':<62} {'ms':>9} {'ratio':>7}  against")
    for name, took, base, against in rows:
        print(f"{name:<62} {took * 1e3:9.3f} {took / base:7.2f}  {against}")

    tiles = [tarnwick.Layer(translucent(rng, 16, 16), x=16 * (i % 16), y=16 * (i // 16))
             for i in range(256)]
    tile_canvas = np.zeros((256, 256, 4), np.uint8)
    t_tiles = best_of(repeat, lambda: tarnwick.flatten(tile_canvas, tiles, out=tile_canvas))
    print(f"256 layers of 16x16 flattened onto a 256x256 canvas, one thread: "
          f"{1 / t_tiles:,.0f} canvases a second ({t_tiles * 1e6 / 256:.2f} us a layer; "
          "target >= 1,000)")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("modes", nargs="*", help="only cases of these modes")
    parser.add_argument("--repeat", type=int, default=5, help="repetitions per timing (best is kept)")
    parser.add_argument("--threads", type=int, default=2, help="threads for the scaling table (0: none)")
    parser.add_argument("--api", action="store_true", help="only the tarnwick.blend table")
    parser.add_argument("--colour", action="store_true",
                        help="only the colour-model table (MODE then picks among its modes)")
    parser.add_argument("--stack", action="store_true",
                        help="only the layer-stack (flatten) and batch-of-frames table")
    parser.add_argument("--mask", action="store_true", help="only the masked-against-unmasked table")
    parser.add_argument("--overhead", action="store_true",
                        help="only the small-call and frame-loop tables")
    parser.add_argument("--composite", action="store_true",
                        help="only the compositing-model table (MODE then picks blend functions)")
    parser.add_argument("--numbers", action="store_true",
                        help="only the uint16, 0..1 float and linear-light table")
    parser.add_argument("--integer", action="store_true",
                        help="only the integer-path table (uint8 RGBA at opacity 1)")
    parser.add_argument("--before", metavar="DIR",
                        help="with --integer or --numbers: an earlier build's install folder to measure beside")
    parser.add_argument("--placement", action="store_true",
                        help="only the table of placed layers, regions and colour layers")
    args = parser.parse_args(argv)
    versions = f"Python {sys.version.split()[0]}, NumPy {np.__version__}"
    # One table on its own: (heading or None, the table's call).
    alone = [
        (args.placement, f"one thread, kernel auto, best of {args.repeat}, {versions}",
         lambda rng: placement_table(args.repeat, rng)),
        (args.integer, None, lambda rng: integer_table(args.repeat, rng, args.before)),
        (args.numbers, f"{WIDTH} x {HEIGHT}, opacity {OPACITY}, one thread, avx2, best of "
                       f"{args.repeat}, {versions}", lambda rng: numbers_table(args.repeat, rng, args.before)),
        (args.composite, None, lambda rng: composite_table(args.repeat, rng, args.modes)),
        (args.stack, None, lambda rng: stack_table(args.repeat, rng)),
        (args.mask, f"best of {args.repeat}, {versions}, kernel auto, opacity {OPACITY} "
                    "(masks: 1.0)", lambda rng: mask_table(args.repeat, rng, args.modes)),
        (args.overhead, f"best of {args.repeat}, {versions}, kernel auto, opacity {OPACITY} "
                        "(masks: 1.0)", lambda rng: overhead_table(args.repeat, rng)),
        (args.api, f"tarnwick.blend: {WIDTH} x {HEIGHT}, opacity {OPACITY}, best of "
                   f"{args.repeat}, {versions}, kernel auto",
         lambda rng: api_table(args.repeat, rng, args.modes)),
        (args.colour, None, lambda rng: colour_model_table(args.repeat, rng, args.modes)),
    ]
    for chosen, heading, table in alone:
        if chosen:
            if heading is not None:
                print(heading)
            table(np.random.default_rng(0))
            print()
            print("reproduce:", shlex.join([sys.executable, *sys.argv]))
            return
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
    misses = []
    for case in cases:
        floor, floor_alloc, times, aligned = run_case(case, args.repeat, rng)
        label = case.label if aligned else f"{case.label} (unaligned)"
        print(f"{label:<34} {'floor':<7} {floor * 1e3:9.2f} {megapixels / floor:8.0f} {1:8.2f} {'':>10}")
        print(f"{'  (floor allocating its output)':<34} {'':<7} {floor_alloc * 1e3:9.2f} "
              f"{megapixels / floor_alloc:8.0f} {floor_alloc / floor:8.2f} {'':>10}")
        for kernel, seconds in times.items():
            speedup = times["scalar"] / seconds if "scalar" in times else float("nan")
            print(f"{'':<34} {kernel:<7} {seconds * 1e3:9.2f} {megapixels / seconds:8.0f} "
                  f"{seconds / floor:8.2f} {speedup:9.1f}x")
        miss = target_miss(case, floor, times, aligned)
        if miss:
            misses.append(miss)
    if misses:
        print()
        print("separable targets missed:")
        for miss in misses:
            print("  " + miss)
    if args.threads > 1:
        thread_scaling(args.threads, args.repeat, rng, args.modes)
    print()
    print("reproduce:", shlex.join([sys.executable, *sys.argv]))


if __name__ == "__main__":
    main()
