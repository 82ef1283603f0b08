"""tarnwick.imread / imwrite and the 8-bit reductions of to_image: depth,
orientation and metadata kept as the command line keeps them, no silent cut
from 16 bits, dithering that keeps a gradient's mean, and failed writes that
leave nothing behind."""

import os

import numpy as np
import pytest

import tarnwick

Image = pytest.importorskip("PIL.Image")
from PIL import ImageCms, ImageOps  # noqa: E402

RNG = np.random.default_rng(28)
ICC = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()
ORIENTATION, MAKE = 0x0112, 0x010F


def photo(tmp_path, name="photo.jpg", orientation=6):
    """A JPEG stored turned, with a colour profile and EXIF, and its upright pixels."""
    exif = Image.Exif()
    exif[ORIENTATION] = orientation
    exif[MAKE] = "Tarnwick test camera"
    path = tmp_path / name
    Image.fromarray(RNG.integers(0, 256, (12, 20, 3), dtype=np.uint8)).save(
        path, quality=95, icc_profile=ICC, exif=exif)
    with Image.open(path) as opened:
        upright = np.asarray(ImageOps.exif_transpose(opened))
    return path, upright


@pytest.mark.parametrize("suffix, dtype, channels", [
    (".png", np.uint8, 3), (".png", np.uint8, 4), (".png", np.uint16, 3), (".png", np.uint16, 4),
    (".tif", np.uint16, 3), (".tif", np.uint16, 4), (".tif", np.uint8, 4),
])
def test_lossless_round_trip_keeps_type_and_pixels(tmp_path, suffix, dtype, channels):
    array = RNG.integers(0, np.iinfo(dtype).max + 1, (9, 13, channels)).astype(dtype)
    tarnwick.imwrite(tmp_path / f"a{suffix}", array)
    back = tarnwick.imread(tmp_path / f"a{suffix}")
    assert back.dtype == dtype
    np.testing.assert_array_equal(back, array)


@pytest.mark.parametrize("upright", [True, False])
@pytest.mark.parametrize("like_as", ["path", "image"])
def test_photograph_keeps_orientation_profile_and_exif(tmp_path, upright, like_as):
    path, shown = photo(tmp_path)
    array = tarnwick.imread(path, upright=upright)
    assert array.shape[:2] == (shown.shape[:2] if upright else shown.shape[1::-1])
    if upright:
        np.testing.assert_array_equal(array, shown)
    out = tmp_path / "out.png"
    with Image.open(path) as opened:
        tarnwick.imwrite(out, array, like=path if like_as == "path" else opened, upright=upright)
    with Image.open(out) as written:
        assert written.info["icc_profile"] == ICC
        exif = written.getexif()
        assert exif[MAKE] == "Tarnwick test camera"
        # Shown as the original is shown either way.
        assert exif[ORIENTATION] == (1 if upright else 6)
        np.testing.assert_array_equal(np.asarray(ImageOps.exif_transpose(written)), shown)


@pytest.mark.parametrize("call", ["imwrite jpeg", "imwrite webp", "to_image"])
def test_sixteen_bits_are_never_cut_silently(tmp_path, call):
    wide = RNG.integers(0, 65536, (8, 8, 3)).astype(np.uint16)
    target = tmp_path / ("out.jpg" if "jpeg" in call else "out.webp")
    target.write_bytes(b"kept")

    def run(**kw):
        if call == "to_image":
            return tarnwick.to_image(wide, **kw)
        return tarnwick.imwrite(target, wide, **kw)

    with pytest.raises(ValueError, match="16"):
        run()
    assert target.read_bytes() == b"kept" and os.listdir(tmp_path) == [target.name]
    run(dither="ordered")  # asked for: reduced to 8 bits
    if call != "to_image":
        assert tarnwick.imread(target).dtype == np.uint8


# A slow 16-bit ramp, 0x1600 to 0x2600 over 1920 pixels: about 16 steps of
# 8 bits, each 120 pixels wide, which plain rounding turns into flat bands.
RAMP = np.broadcast_to(np.linspace(0x1600, 0x2600, 1920).round().astype(np.uint16)[None, :, None],
                       (64, 1920, 3)).copy()


def block_error(eight_bit):
    """The largest error of a 64 x 64 block's mean, in 8-bit steps."""
    true = RAMP.astype(np.float64) / 257
    blocks = lambda a: a.reshape(1, 64, 30, 64, 3).mean(axis=(1, 3))  # noqa: E731
    return np.abs(blocks(eight_bit.astype(np.float64)) - blocks(true)).max()


@pytest.mark.parametrize("dither", [None, "ordered", "blue_noise"])
@pytest.mark.parametrize("writer", ["to_image", "imwrite"])
def test_dithering_keeps_a_slow_ramps_mean(tmp_path, writer, dither):
    like = Image.new("RGB", (1, 1))  # 8 bits asked for: plain rounding without a dither
    if writer == "to_image":
        result = np.asarray(tarnwick.to_image(RAMP, like=like, dither=dither))
    else:
        like_path = tmp_path / "like.png"
        like.save(like_path)
        tarnwick.imwrite(tmp_path / "out.png", RAMP, like=like_path, dither=dither)
        result = tarnwick.imread(tmp_path / "out.png")
    assert result.dtype == np.uint8
    if dither is None:
        np.testing.assert_array_equal(result, np.rint(RAMP / 257))
        assert block_error(result) > 0.2
    else:
        assert block_error(result) <= 0.1
        assert np.abs(result.astype(int) - RAMP / 257).max() < 1  # one step at most


@pytest.mark.parametrize("dither", ["ordered", "blue_noise"])
def test_a_seed_fixes_the_pattern(dither):
    def run(seed):
        return np.asarray(tarnwick.to_image(RAMP[:32, :256], dither=dither, seed=seed))

    np.testing.assert_array_equal(run(3), run(3))
    assert not np.array_equal(run(3), run(4))


@pytest.mark.parametrize("dtype, float_scale", [(np.float32, 255.0), (np.float64, 1.0), (np.uint16, 255.0)])
def test_imread_gives_the_type_asked_for(tmp_path, dtype, float_scale):
    stored = RNG.integers(0, 256, (5, 7, 3), dtype=np.uint8)
    tarnwick.imwrite(tmp_path / "a.png", stored)
    got = tarnwick.imread(tmp_path / "a.png", dtype=dtype, float_scale=float_scale)
    assert got.dtype == dtype
    expected = stored.astype(np.uint16) * 257 if dtype == np.uint16 else stored / 255 * float_scale
    np.testing.assert_allclose(got, expected, rtol=1e-6)


@pytest.mark.parametrize("call, error, text", [
    (dict(array=np.zeros((4, 4, 2), np.uint8)), ValueError, "array must be an (H, W, 3|4)"),
    (dict(array=np.zeros((4, 4, 3), np.int32)), ValueError, "array must be an (H, W, 3|4)"),
    (dict(dither="floyd"), ValueError, "dither must be None, 'ordered' or 'blue_noise'"),
    (dict(quality=0), ValueError, "quality must be a whole number from 1 to 100"),
    (dict(path=3), TypeError, "path must be a file path"),
    (dict(path="out.nope"), ValueError, "path: cannot write images with extension '.nope'"),
    (dict(like=3), TypeError, "like must be a file path, a PIL.Image.Image or None"),
    (dict(like="missing.png"), FileNotFoundError, "missing.png"),
])
def test_bad_writes_name_the_argument_and_write_nothing(tmp_path, monkeypatch, call, error, text):
    monkeypatch.chdir(tmp_path)
    arguments = {"path": "out.png", "array": np.zeros((4, 4, 3), np.uint8), **call}
    with pytest.raises(error) as raised:
        tarnwick.imwrite(arguments.pop("path"), arguments.pop("array"), **arguments)
    assert text in str(raised.value) and "\n" not in str(raised.value)
    assert os.listdir(tmp_path) == []
