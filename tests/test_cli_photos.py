"""Photographs through the command line: EXIF orientation, colour profile and
EXIF carried into the result, encoder quality and compression."""

import io

import numpy as np
import pytest

import tarnwick

Image = pytest.importorskip("PIL.Image")
from PIL import ImageCms, ImageOps  # noqa: E402

from tarnwick import image as timage  # noqa: E402
from tarnwick.cli import main  # noqa: E402

RNG = np.random.default_rng(21)
H, W = 6, 10  # not square: a turn that swaps the axes shows
ORIENTATION, MAKE, EXIF_IFD, TAKEN = 0x0112, 0x010F, 0x8769, 0x9003
ICC = ImageCms.ImageCmsProfile(ImageCms.createProfile("sRGB")).tobytes()


def exif(orientation):
    block = Image.Exif()
    block[ORIENTATION] = orientation
    block[MAKE] = "Tarnwick test camera"
    block.get_ifd(EXIF_IFD)[TAKEN] = "2026:12:08 14:00:00"
    return block


def blend_cli(tmp_path, bg, fg, out_name, *options, mode="multiply"):
    out = tmp_path / out_name
    assert main(["blend", mode, str(bg), str(fg), "-o", str(out), "--kernel", "scalar", *options]) == 0
    return out


@pytest.mark.parametrize("orientation", range(1, 9))
def test_inputs_are_turned_as_a_viewer_shows_them(tmp_path, orientation):
    paths = []
    for name, channels in (("bg.png", 3), ("fg.png", 4)):
        stored = Image.fromarray(RNG.integers(0, 256, (H, W, channels), dtype=np.uint8))
        stored.save(tmp_path / name, exif=exif(orientation))
        paths.append(tmp_path / name)
    upright = [np.asarray(ImageOps.exif_transpose(Image.open(p))) for p in paths]
    out = blend_cli(tmp_path, *paths, "out.png")
    with Image.open(out) as result:
        np.testing.assert_array_equal(np.asarray(result), tarnwick.blend(*upright, "multiply",
                                                                          kernel="scalar"))
        written = result.getexif()
    assert written[ORIENTATION] == 1 and written[MAKE] == "Tarnwick test camera"
    assert written.get_ifd(EXIF_IFD)[TAKEN] == "2026:12:08 14:00:00"


def _background(tmp_path, suffix, bits, smooth=False):
    """A background stored turned (EXIF orientation 6, where the format keeps EXIF)."""
    path = tmp_path / f"bg{suffix}"
    shape = (48, 64, 3) if smooth else (H, W, 3)
    values = (np.indices(shape).sum(axis=0) * 2 if smooth else RNG.integers(0, 256, shape)) % 256
    if bits == 16:
        wide = values.astype(np.float32) * np.float32(255 / 256)
        timage.write_file(path, wide, timage.Kind("RGB", 16), {"icc_profile": ICC,
                                                               "exif": exif(6).tobytes()})
    else:
        Image.fromarray(values.astype(np.uint8)).save(path, icc_profile=ICC, exif=exif(6))
    return path


@pytest.mark.parametrize("bg_suffix, bits, out_suffix, carries_exif", [
    (".png", 8, ".png", True), (".png", 8, ".jpg", True), (".png", 8, ".webp", True),
    (".jpg", 8, ".png", True), (".png", 8, ".tif", False),
    (".png", 16, ".png", True), (".png", 16, ".tif", False), (".tif", 16, ".png", False),
])
def test_colour_profile_and_exif_of_the_background_are_written(tmp_path, bg_suffix, bits,
                                                                out_suffix, carries_exif):
    bg = _background(tmp_path, bg_suffix, bits)
    upright = (W, H) if bg_suffix != ".tif" else (H, W)  # orientation 6 turns it
    fg = tmp_path / "fg.png"
    Image.fromarray(RNG.integers(0, 256, (*upright, 4), dtype=np.uint8)).save(fg)
    out = blend_cli(tmp_path, bg, fg, "out" + out_suffix)
    with Image.open(out) as result:
        assert result.size == upright[::-1]
        assert result.info.get("icc_profile") == ICC
        written = result.getexif()
        if carries_exif:
            assert written[ORIENTATION] == 1 and written[MAKE] == "Tarnwick test camera"
        else:
            assert written.get(ORIENTATION, 1) == 1


@pytest.mark.parametrize("options, quality", [((), 95), (("--quality", "40"), 40)])
def test_jpeg_quality(tmp_path, options, quality):
    bg = tmp_path / "bg.png"
    Image.fromarray(RNG.integers(0, 256, (16, 16, 3), dtype=np.uint8)).save(bg)
    out = blend_cli(tmp_path, bg, bg, "out.jpg", *options)
    reference = io.BytesIO()
    Image.new("RGB", (16, 16)).save(reference, "JPEG", quality=quality)
    with Image.open(out) as result, Image.open(reference) as expected:
        assert result.quantization == expected.quantization


@pytest.mark.parametrize("suffix, bits", [(".png", 8), (".png", 16), (".tif", 16), (".tif", 8)])
def test_compress_level_changes_size_not_pixels(tmp_path, suffix, bits):
    bg = _background(tmp_path, suffix, bits, smooth=True)
    sizes, pixels = {}, {}
    for level in ("0", "1", "9"):
        out = blend_cli(tmp_path, bg, bg, f"out{level}{suffix}", "--compress-level", level,
                        mode="normal")
        sizes[level] = out.stat().st_size
        pixels[level] = timage.open_file(out)[0]
        if suffix == ".tif":
            with Image.open(out) as written:
                assert written.info["compression"] == ("raw" if level == "0" else "tiff_adobe_deflate")
    np.testing.assert_array_equal(pixels["0"], pixels["1"])
    np.testing.assert_array_equal(pixels["0"], pixels["9"])
    assert sizes["0"] > sizes["1"] >= sizes["9"]


def test_sixteen_bit_png_data_in_several_chunks(tmp_path, monkeypatch):
    # Large files need more than one data chunk (each is limited to 2 GiB).
    monkeypatch.setattr(timage, "_IDAT_BYTES", 100)
    bg = _background(tmp_path, ".png", 16, smooth=True)
    assert Image.open(bg).getexif()[ORIENTATION] == 6
    array, kind, meta = timage.open_file(bg)
    assert kind == timage.Kind("RGB", 16) and meta["icc_profile"] == ICC
    # Read at full depth, as uint16 (0..65535).
    assert array.dtype == np.uint16
    on_255 = array / 257
    assert np.abs(on_255 - np.rot90((np.indices((48, 64, 3)).sum(0) * 2 % 256) * (255 / 256), -1)).max() < 1 / 257


@pytest.mark.parametrize("block", [b"Exif\x00\x00II*\x00\xff\xff\x00\x00", b"Exif\x00\x00XX"])
def test_unreadable_exif_is_left_out(tmp_path, block):
    bg = tmp_path / "bg.png"
    Image.fromarray(RNG.integers(0, 256, (H, W, 3), dtype=np.uint8)).save(bg, exif=block)
    out = blend_cli(tmp_path, bg, bg, "out.jpg")
    with Image.open(out) as result:
        assert "exif" not in result.info and result.size == (W, H)
