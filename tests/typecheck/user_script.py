"""A user's script that calls every public function of tarnwick.

tests/test_typing.py type-checks it (mypy --strict, and basedpyright in strict
mode where it is installed) and runs it. The lines under TYPE_CHECKING must be
type errors: mypy's warn_unused_ignores fails the check if one is not.
"""

from __future__ import annotations

import tempfile
from pathlib import Path
from typing import TYPE_CHECKING, Any, assert_type

import dask.array as da
import numpy as np
import numpy.typing as npt
from PIL import Image

import tarnwick
import tarnwick.dask
import tarnwick.ora

U8 = npt.NDArray[np.uint8]
U16 = npt.NDArray[np.uint16]
F32 = npt.NDArray[np.float32]

bg: U8 = np.full((4, 64, 3), 200, np.uint8)
fg: U8 = np.full((4, 64, 4), 90, np.uint8)
bg32: F32 = bg.astype(np.float32)
mask: U8 = np.full((4, 64), 128, np.uint8)


def lighten(image: U8) -> U8:
    return tarnwick.blend(image, fg, "screen", 0.5)


def soften(image: F32, mode: tarnwick.Mode = "soft_light") -> F32:
    return tarnwick.blend(image, fg, mode)


assert_type(lighten(bg), U8)
assert_type(soften(bg32), F32)
assert_type(tarnwick.blend(bg, fg), U8)
assert_type(tarnwick.blend(bg32, fg, "lch_color", 0.25, kernel=tarnwick.KernelKind.SCALAR), F32)
canvas = bg.copy()
assert_type(tarnwick.blend(canvas, fg, "multiply", out=canvas, mask=mask, threads=None), U8)
into32 = np.empty_like(bg32)
assert_type(tarnwick.blend(bg32, bg, "normal", out=into32), F32)
bg16: U16 = bg.astype(np.uint16) * np.uint16(257)
assert_type(tarnwick.blend(bg16, bg32, "screen", float_scale=1.0), U16)


def any_array(image: npt.ArrayLike) -> U8 | U16 | F32 | npt.NDArray[np.float64]:
    return tarnwick.blend(image, fg, kernel="scalar")


any_array(bg)

functions = (
    tarnwick.normal, tarnwick.soft_light, tarnwick.lighten_only, tarnwick.screen,
    tarnwick.dodge, tarnwick.addition, tarnwick.darken_only, tarnwick.multiply,
    tarnwick.hard_light, tarnwick.difference, tarnwick.subtract, tarnwick.grain_extract,
    tarnwick.grain_merge, tarnwick.divide, tarnwick.overlay, tarnwick.hsv_hue,
    tarnwick.hsv_saturation, tarnwick.hsv_value, tarnwick.hsl_color, tarnwick.lch_hue,
    tarnwick.lch_chroma, tarnwick.lch_color, tarnwick.lch_lightness, tarnwick.burn,
    tarnwick.linear_burn, tarnwick.exclusion, tarnwick.vivid_light, tarnwick.pin_light,
)
assert len(functions) == len(tarnwick.MODES)
for function in functions:
    assert_type(function(bg, fg), U8)
    assert_type(function(bg32, fg, 0.5, "auto"), F32)
    assert_type(function(bg, fg, "scalar"), U8)

rgba: U8 = np.zeros((4, 64, 4), np.uint8)
assert_type(tarnwick.composite(rgba, fg, "soft-light", 0.5, operator="source_atop"), U8)
assert_type(tarnwick.composite(bg32, fg, "hue", mask=mask, premultiplied=False), F32)
canvas32 = rgba.astype(np.float32)
assert_type(tarnwick.composite(canvas32, fg, out=canvas32, threads=2), F32)
assert_type(tarnwick.composite(rgba, fg, space="linear"), U8)
stack = [tarnwick.Layer(fg, "multiply", 0.8, mask), tarnwick.Layer.layer_mode(fg, "lch_color")]
assert_type(tarnwick.flatten(rgba, stack, threads=2), U8)
assert_type(tarnwick.flatten(canvas32, stack, out=canvas32), F32)
F64 = npt.NDArray[np.float64]
unit: F64 = np.zeros((4, 64, 4))
assert_type(tarnwick.blend(unit, fg, "screen", float_scale=1.0), F64)
assert_type(tarnwick.composite(unit, fg, float_scale=1.0), F64)
assert_type(tarnwick.flatten(unit, stack, float_scale=1.0), F64)
tree: list[tarnwick.Layer | tarnwick.Group] = [tarnwick.Layer(rgba, name="base"), tarnwick.Layer(fg, "screen", clip=True),
        tarnwick.Group([tarnwick.Layer(fg, x=3, y=-2)], "multiply", 0.5, isolated=True, name="g"),
        tarnwick.Group(stack, isolated=False, visible=False)]
assert_type(tarnwick.flatten(rgba, tree), U8)
blends: tuple[tarnwick.BlendName, ...] = tarnwick.BLENDS
operators: tuple[tarnwick.OperatorName, ...] = tarnwick.OPERATORS

modes: tuple[tarnwick.Mode, ...] = tarnwick.MODES
kernels: tuple[tarnwick.KernelName, ...] = tarnwick.KERNELS
widest: bool = tarnwick.kernel_available(kernels[-1])
version: str = tarnwick.__version__

with tempfile.TemporaryDirectory() as folder:
    path = Path(folder) / "photo.png"
    Image.fromarray(bg).save(path)
    with Image.open(path) as photo:
        array = tarnwick.from_image(photo)
        assert_type(array, U8 | U16 | F32)
        picture: Image.Image = tarnwick.to_image(tarnwick.blend(array, fg, "overlay"), like=photo)
    assert_type(tarnwick.imread(path), U8 | U16 | F32)
    read8 = tarnwick.imread(path, dtype=np.uint8)
    assert_type(read8, U8)
    assert_type(tarnwick.imread(path, upright=False, dtype=np.float64, float_scale=1.0), F64)
    tarnwick.imwrite(Path(folder) / "out.png", tarnwick.blend(read8, fg, "screen"), like=path)
    tarnwick.imwrite(Path(folder) / "out.jpg", bg16, like=photo, dither="blue_noise", seed=7,
                     quality=90)
    dithered: Image.Image = tarnwick.to_image(bg16, dither="ordered")
    document = tarnwick.ora.Document(64, 4, [tarnwick.Layer(rgba, name="paper"), tree[2]],
                                     resolution=(72.0, 72.0))
    tarnwick.ora.write(Path(folder) / "doc.ora", document)
    again: tarnwick.ora.Document = tarnwick.ora.read(Path(folder) / "doc.ora", unknown="normal")
    flat: U8 | U16 | F32 | npt.NDArray[np.float64] = again.flatten(threads=2)

# Dask's own functions are unannotated: typed here as a user would.
dask_array: Any = da
lazy_bg: da.Array = dask_array.from_array(bg, chunks=(2, 64, 3))
lazy: da.Array = tarnwick.dask.blend(lazy_bg, fg, "multiply", 0.5)
computed: U8 = np.asarray(lazy)
lazy = tarnwick.dask.composite(lazy_bg, fg, "color-burn", np.array([0.2, 0.8]))
lazy = tarnwick.dask.flatten(rgba, stack)

if TYPE_CHECKING:
    tarnwick.blend(bg, fg, "softlight")  # type: ignore[call-overload]
    tarnwick.blend(bg, fg, kernel="avx512")  # type: ignore[call-overload]
    wrong: F32 = tarnwick.blend(bg, fg)  # type: ignore[assignment]
    tarnwick.multiply(bg, fg, 0.5, "fast")  # type: ignore[call-overload]
    tarnwick.dask.blend(bg, fg, "softlight")  # type: ignore[arg-type]
    tarnwick.composite(rgba, fg, "hsv_hue")  # type: ignore[call-overload]
    tarnwick.composite(rgba, fg, operator="over")  # type: ignore[call-overload]
    tarnwick.Layer(fg, model="layers")  # type: ignore[arg-type]
    tarnwick.from_image(bg)  # type: ignore[arg-type]
    tarnwick.kernel_available(3)  # type: ignore[arg-type]
    tarnwick.imwrite("out.png", bg, dither="floyd")  # type: ignore[arg-type]
    tarnwick.imread("photo.png", dtype=np.int32)  # type: ignore[arg-type]
    tarnwick.ora.read("doc.ora", unknown="skip")  # type: ignore[arg-type]
    tarnwick.Group([fg])  # type: ignore[list-item]

print("user script ran")
