"""The command line run as a user would, the Pillow conversions and the mirror lookup."""

import os
import subprocess
import time
import sys
from pathlib import Path

import numpy as np
import pytest

import tarnwick

Image = pytest.importorskip("PIL.Image")
from tarnwick import image as timage  # noqa: E402
from tarnwick import sheet  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
RNG = np.random.default_rng(10)
H, W = 9, 13


def run(*args, cwd=None):
    proc = subprocess.run([sys.executable, "-m", "tarnwick", *map(str, args)], capture_output=True,
                          text=True, cwd=cwd)
    assert "Traceback" not in proc.stderr
    return proc


def rgb(channels=3, h=H, w=W):
    return RNG.integers(0, 256, (h, w, channels), dtype=np.uint8)


def wide(channels):
    return RNG.integers(0, 65536, (H, W, channels)).astype(np.float32) / np.float32(257)


def save(path, maker):
    """maker: an array (8-bit colour), a Pillow image, or (array, Kind) for the writer."""
    if isinstance(maker, tuple):
        timage.write_file(path, *maker)
    elif isinstance(maker, np.ndarray):
        Image.fromarray(maker).save(path)
    else:
        maker.save(path)
    return path


def on_255(values):
    return values / 257 if values.dtype == np.uint16 else values


def quantised(values, kind):
    """What writing a blend result in `kind` keeps of it (on the 0..255 scale)."""
    values = np.clip(values.astype(np.float64), 0, 255)
    if kind.mode in ("L", "I;16", "F"):
        values = values[..., 0] * 0.299 + values[..., 1] * 0.587 + values[..., 2] * 0.114
        values = np.repeat(values[..., None], 3, axis=-1)
    if kind.bits == 8:
        return np.rint(values)
    return np.rint(values * 257) / 257 if kind.bits == 16 else values


GREY16 = Image.fromarray(RNG.integers(0, 65536, (H, W)).astype(np.uint16))
FLOAT = Image.fromarray((RNG.random((H, W)) * 255).astype(np.float32), "F")


@pytest.mark.parametrize(
    "bg_name, bg, fg_name, fg, mode, kind",
    [
        ("bg.png", rgb(3), "fg.png", rgb(4), "multiply", timage.Kind("RGB")),
        ("bg.png", rgb(4), "fg.png", rgb(3), "hsv_hue", timage.Kind("RGBA")),
        ("bg.png", (wide(3), timage.Kind("RGB", 16)), "fg.png", rgb(4), "soft_light", timage.Kind("RGB", 16)),
        ("bg.tif", (wide(4), timage.Kind("RGBA", 16)), "fg.png", rgb(4), "lch_color", timage.Kind("RGBA", 16)),
        ("bg.png", GREY16, "fg.png", rgb(4), "screen", timage.Kind("I;16", 16)),
        ("bg.tif", FLOAT, "fg.tif", FLOAT, "difference", timage.Kind("F", 32)),
    ],
)
def test_blend_writes_the_library_result_in_the_backgrounds_mode(tmp_path, bg_name, bg, fg_name, fg,
                                                                 mode, kind):
    bg_path, fg_path = save(tmp_path / bg_name, bg), save(tmp_path / fg_name, fg)
    out = tmp_path / ("out" + Path(bg_name).suffix)
    proc = run("blend", mode, bg_path, fg_path, "-o", out, "--opacity", "0.6", "--kernel", "scalar")
    assert proc.returncode == 0, proc.stderr
    got, got_kind, _ = timage.open_file(out)
    assert got_kind == kind
    bg_arr, fg_arr = timage.open_file(bg_path)[0], timage.open_file(fg_path)[0]
    expected = tarnwick.blend(bg_arr, fg_arr, mode, 0.6, kernel="scalar")
    assert got.dtype == expected.dtype == (np.uint16 if kind.bits == 16 else got.dtype)
    # A 16-bit channel may round the other way at a half step.
    np.testing.assert_allclose(on_255(got), quantised(on_255(expected), kind), atol={8: 0, 16: 1.01 / 257, 32: 1e-3}[kind.bits])
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]


def test_blend_with_mask_and_threads(tmp_path):
    bg, fg, mask = rgb(3, 40, 30), rgb(4, 40, 30), RNG.integers(0, 256, (40, 30), dtype=np.uint8)
    paths = [save(tmp_path / n, a) for n, a in (("b.png", bg), ("f.png", fg), ("m.png", mask))]
    proc = run("blend", "overlay", paths[0], paths[1], "-o", tmp_path / "o.png", "--mask", paths[2],
               "--threads", "0")
    assert proc.returncode == 0, proc.stderr
    expected = tarnwick.blend(bg, fg, "overlay", mask=mask)
    np.testing.assert_array_equal(np.asarray(Image.open(tmp_path / "o.png")), expected)


@pytest.mark.parametrize("command", ["blend", "composite"])
def test_a_placed_layer_and_a_colour_layer(tmp_path, command):
    bg, fg, mask = rgb(4, 40, 30), rgb(4, 12, 9), RNG.integers(0, 256, (12, 9), dtype=np.uint8)
    paths = [save(tmp_path / n, a) for n, a in (("b.png", bg), ("f.png", fg), ("m.png", mask))]
    call = getattr(tarnwick, command)
    proc = run(command, "multiply", paths[0], paths[1], "-o", tmp_path / "o.png", "--at", "-3,25",
               "--mask", paths[2])
    assert proc.returncode == 0, proc.stderr
    np.testing.assert_array_equal(np.asarray(Image.open(tmp_path / "o.png")),
                                  call(bg, fg, "multiply", mask=mask, x=-3, y=25))
    proc = run(command, "screen", paths[0], "#ff800040", "-o", tmp_path / "c.png")
    assert proc.returncode == 0, proc.stderr
    np.testing.assert_array_equal(np.asarray(Image.open(tmp_path / "c.png")),
                                  call(bg, (255, 128, 0, 64), "screen"))


def test_batch_goes_on_past_a_corrupt_file(tmp_path):
    bgs, fgs, outs = tmp_path / "bg", tmp_path / "fg", tmp_path / "out"
    bgs.mkdir(), fgs.mkdir()
    frames = {f"f{i}.png": (rgb(3), rgb(4)) for i in range(3)}
    for name, (b, f) in frames.items():
        save(bgs / name, b), save(fgs / name, f)
    (fgs / "f1.png").write_bytes(b"not an image")
    save(bgs / "lonely.png", rgb(3))
    (bgs / "notes.txt").write_text("not an image, not counted")
    proc = run("blend", "screen", bgs, fgs, "-o", outs)
    assert proc.returncode == 1
    assert proc.stdout.strip() == "2 written, 1 skipped, 1 failed"
    assert proc.stderr.strip().splitlines() == [proc.stderr.strip()] and "f1.png" in proc.stderr
    assert sorted(os.listdir(outs)) == ["f0.png", "f2.png"]
    for name in ("f0.png", "f2.png"):
        expected = tarnwick.blend(*frames[name], "screen")
        np.testing.assert_array_equal(np.asarray(Image.open(outs / name)), expected)


def test_sheet_has_a_labelled_tile_per_mode(tmp_path):
    proc = run("sheet", "-o", tmp_path / "s.png", "--tile", "48")
    assert proc.returncode == 0, proc.stderr
    got = np.asarray(Image.open(tmp_path / "s.png"))
    th = round(48 * 2 / 3)
    assert (got.shape[1], got.shape[0]) == sheet.sheet_size(28, 48, th)
    bg, fg = sheet.scene(th, 48), sheet.layer(th, 48)
    boxes = sheet.tile_boxes(28, 48, th)
    assert len(boxes) == len(tarnwick.MODES) == 28
    for mode, (left, top) in zip(tarnwick.MODES, boxes):
        tile = got[top:top + th, left:left + 48]
        np.testing.assert_array_equal(tile, sheet._displayable(tarnwick.blend(bg, fg, mode)), err_msg=mode)
        label = got[top - sheet.LABEL:top, left:left + 48]
        assert (label != sheet.SHEET_BACKGROUND).any(), f"{mode} has no label"


def _error_case(tmp_path, case):
    bg = save(tmp_path / "bg.png", rgb(4))
    fg = save(tmp_path / "fg.png", rgb(3))
    small = save(tmp_path / "small.png", rgb(3, 4, 4))
    cmyk = save(tmp_path / "cmyk.tif", Image.new("CMYK", (W, H)))
    bad = tmp_path / "bad.png"
    bad.write_bytes(b"\x89PNG\r\n\x1a\n truncated")
    jpg = tmp_path / "out.jpg"
    jpg.write_bytes(b"keep me")
    return {
        "unknown mode": (["blend", "multipy", bg, fg, "-o", "o.png"], 2, "closest: multiply"),
        "opacity": (["blend", "screen", bg, fg, "-o", "o.png", "--opacity", "1.5"], 2, "from 0 to 1"),
        "one sheet image": (["sheet", bg, "-o", "s.png"], 2, "or neither"),
        "missing": (["blend", "screen", tmp_path / "nope.png", fg, "-o", "o.png"], 1, "nope.png"),
        "missing folder": (["composite", "screen", bg, tmp_path / "frames", "-o", "blended/"], 1,
                           "frames: no such file or folder"),
        "size": (["blend", "screen", bg, small, "-o", "o.png"], 1, "small.png: size 4x4 does not match"),
        "corrupt": (["blend", "screen", bg, bad, "-o", "o.png"], 1, "bad.png"),
        "cmyk": (["blend", "screen", cmyk, fg, "-o", "o.tif"], 1, "unsupported image mode 'CMYK'"),
        "own input": (["blend", "screen", bg, fg, "-o", fg], 1, "refusing to write over"),
        "extension": (["blend", "screen", bg, fg, "-o", "o.xyz"], 1, "extension '.xyz'"),
        "unwritable": (["blend", "screen", bg, fg, "-o", jpg], 1, "cannot write mode RGBA as JPEG"),
        "at": (["blend", "screen", bg, small, "-o", "o.png", "--at", "3"], 2, "--at must be two integers"),
        "colour": (["composite", "screen", bg, "#12345", "-o", "o.png"], 1, "expected #rrggbb"),
    }[case]


@pytest.mark.parametrize("case", ["unknown mode", "opacity", "one sheet image", "missing", "missing folder", "size",
                                  "corrupt", "cmyk", "own input", "extension", "unwritable", "at",
                                  "colour"])
def test_errors_give_status_and_one_line(tmp_path, case):
    args, status, text = _error_case(tmp_path, case)
    before = {p.name: p.read_bytes() for p in tmp_path.iterdir()}
    proc = run(*args, cwd=tmp_path)
    assert proc.returncode == status
    assert text in proc.stderr
    if status == 1:
        assert len(proc.stderr.strip().splitlines()) == 1
    # Nothing written, nothing changed, no temporary left behind.
    assert {p.name: p.read_bytes() for p in tmp_path.iterdir()} == before


def test_modes_and_help():
    proc = run("modes")
    lines = [line.split(": ", 1) for line in proc.stdout.splitlines()]
    listed = [m for family, names in lines if not family.startswith("composite") for m in names.split()]
    assert sorted(listed) == sorted(tarnwick.MODES)
    assert "colour-model (8)" in proc.stdout and "separable (19)" in proc.stdout
    assert [names.split() for family, names in lines[-2:]] == [list(tarnwick.BLENDS), list(tarnwick.OPERATORS)]
    for command in ("blend", "composite", "sheet", "modes", "info"):
        assert run(command, "--help").returncode == 0
    assert "kernels:" in run("info").stdout


@pytest.mark.parametrize(
    "mode, make, shape, dtype",
    [
        ("RGB", lambda: Image.fromarray(rgb(3)), (H, W, 3), np.uint8),
        ("RGBA", lambda: Image.fromarray(rgb(4)), (H, W, 4), np.uint8),
        ("L", lambda: Image.fromarray(rgb(3)[..., 0]), (H, W, 3), np.uint8),
        ("LA", lambda: Image.fromarray(rgb(4)[..., :2].copy(), "LA"), (H, W, 4), np.uint8),
        ("I;16", lambda: GREY16, (H, W, 3), np.uint16),
        ("I", lambda: GREY16.convert("I"), (H, W, 3), np.uint16),
        ("F", lambda: FLOAT, (H, W, 3), np.float32),
        ("La", lambda: Image.fromarray(rgb(4)[..., :2].copy(), "LA").convert("La"), (H, W, 4), np.uint8),
        ("RGBa", lambda: Image.fromarray(rgb(4)).convert("RGBa"), (H, W, 4), np.uint8),
        ("RGBX", lambda: Image.fromarray(rgb(3)).convert("RGBX"), (H, W, 3), np.uint8),
    ],
)
def test_conversions_round_trip(mode, make, shape, dtype):
    original = make()
    array = tarnwick.from_image(original)
    assert array.shape == shape and array.dtype == dtype
    back = tarnwick.to_image(array, like=original)
    assert back.mode == original.mode
    np.testing.assert_array_equal(np.asarray(back), np.asarray(original))


def test_palette_and_unsupported_modes():
    palette = Image.fromarray(rgb(3)).convert("P")
    assert tarnwick.from_image(palette).shape == (H, W, 3)
    palette.info["transparency"] = 0
    assert tarnwick.from_image(palette).shape == (H, W, 4)
    with pytest.raises(ValueError, match="unsupported image mode 'CMYK'"):
        tarnwick.from_image(Image.new("CMYK", (2, 2)))


def test_import_without_pillow():
    code = ("import sys; sys.modules['PIL'] = None; import tarnwick\n"
            "try:\n    tarnwick.from_image\nexcept ImportError as e:\n    print(e)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert "pip install tarnwick[image]" in out


DEB822_MAIN = "Types: deb\nURIs: http://mirror.example/debian/\nSuites: trixie trixie-updates\nComponents: main\n"
DEB822_SECURITY = "Types: deb\nURIs: http://security.example/debian-security\nSuites: trixie-security\nComponents: main\n"


@pytest.mark.parametrize(
    "files, mirror",
    [
        ({"sources.list.d/a.sources": DEB822_SECURITY + "\n" + DEB822_MAIN}, "http://mirror.example/debian"),
        ({"sources.list.d/a.sources": "Enabled: no\n" + DEB822_MAIN}, None),
        ({"sources.list": "# deb http://old.example/debian sid main\n"
                          "deb [ arch=amd64 signed-by=/usr/share/keyrings/debian-archive-keyring.gpg ] "
                          "https://m.example/pub/ stable main contrib\n"}, "https://m.example/pub"),
        ({"sources.list": "deb http://archive.example/ubuntu jammy main\n"}, None),
        ({"sources.list.d/s.list": "deb http://security.example/debian bookworm-security main\n"}, None),
    ],
)
def test_debian_mirror_from_apt_sources(tmp_path, files, mirror):
    (tmp_path / "sources.list.d").mkdir()
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    proc = subprocess.run(["bash", str(REPO / "scripts" / "debian_mirror.sh"), str(tmp_path)],
                          capture_output=True, text=True)
    assert (proc.returncode, proc.stdout.strip() or None) == ((0, mirror) if mirror else (1, None))


@pytest.mark.parametrize("suffix", [".png", ".tif"])
@pytest.mark.parametrize("after_open", ["chdir", "delete"])
def test_wide_colour_is_read_whole_from_the_open_file(tmp_path, monkeypatch, suffix, after_open):
    # Same name, other values in another folder: a second open by name would mix the two.
    for folder, value in (("a", 0x1234), ("b", 0xABCD)):
        (tmp_path / folder).mkdir()
        timage.write_file(tmp_path / folder / f"w{suffix}", np.full((3, 5, 3), value / 257, np.float32),
                          timage.Kind("RGB", 16))
    monkeypatch.chdir(tmp_path / "a")
    with Image.open(f"w{suffix}") as opened:
        if after_open == "chdir":
            monkeypatch.chdir(tmp_path / "b")
        else:
            os.unlink(f"w{suffix}")
        got = tarnwick.from_image(opened)
    np.testing.assert_array_equal(got, np.uint16(0x1234))


def _tiff_with_a_broken_tag(path):
    """A readable TIFF whose compression tag holds two values: Pillow warns and
    takes the first."""
    Image.fromarray(rgb(3)).save(path)
    data = bytearray(path.read_bytes())
    ifd = int.from_bytes(data[4:8], "little")
    for entry in range(ifd + 2, ifd + 2 + 12 * int.from_bytes(data[ifd:ifd + 2], "little"), 12):
        if int.from_bytes(data[entry:entry + 2], "little") == 259:
            data[entry + 4:entry + 8] = (2).to_bytes(4, "little")
    path.write_bytes(bytes(data))
    return path


LONG = "a" * 246 + ".png"  # 250 bytes, within the usual limit of 255


HOSTILE = [
    ("newline in a name", ["blend", "screen", "bad\nname.png", "fg.png", "-o", "o.png"], 1,
     ["error: bad\\nname.png: cannot identify"], None, None),
    ("warning, then failure", ["blend", "screen", "warn.tif", "small.png", "-o", "o.png"], 1,
     ["error: small.png: size 4x4"], None, None),
    ("warning only", ["blend", "screen", "warn.tif", "fg.png", "-o", "o.png"], 0, [], "o.png", (W, H)),
    ("warning shown with -v", ["blend", "screen", "-v", "warn.tif", "small.png", "-o", "o.png"], 1,
     ["warning: warn.tif: Metadata Warning, tag 259", "error: small.png: size 4x4"], None, None),
    ("250-byte output name", ["blend", "screen", "bg.png", "fg.png", "-o", LONG], 0, [], LONG, (W, H)),
    ("tall sheet", ["sheet", "tall.png", "tall.png", "-o", "s.png", "--tile", "64"], 0, [], "s.png",
     sheet.sheet_size(28, 64, 64)),
]


@pytest.mark.parametrize("case, args, status, lines, output, size", HOSTILE, ids=[c[0] for c in HOSTILE])
def test_hostile_names_and_files(tmp_path, case, args, status, lines, output, size):
    """Each failure is one line (warnings only with -v); long names and tall pictures work."""
    save(tmp_path / "bg.png", rgb(3)), save(tmp_path / "fg.png", rgb(4)), save(tmp_path / "small.png", rgb(3, 4, 4))
    save(tmp_path / "tall.png", rgb(3, 300, 1))
    (tmp_path / "bad\nname.png").write_bytes(b"not an image")
    _tiff_with_a_broken_tag(tmp_path / "warn.tif")
    proc = run(*args, cwd=tmp_path)
    assert proc.returncode == status, proc.stderr
    got = proc.stderr.splitlines()
    assert len(got) == len(lines) and all(g.startswith(f"tarnwick: {w}") for g, w in zip(got, lines)), got
    assert not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]
    if output is not None:
        assert Image.open(tmp_path / output).size == size


def test_sigterm_during_a_write_removes_the_temporary_file(tmp_path):
    # Large enough that compressing the output takes a while.
    save(tmp_path / "bg.bmp", rgb(3, 1500, 1500)), save(tmp_path / "fg.bmp", rgb(4, 1500, 1500))
    proc = subprocess.Popen([sys.executable, "-m", "tarnwick", "blend", "screen", "bg.bmp", "fg.bmp", "-o", "o.png"],
                            cwd=tmp_path, stderr=subprocess.PIPE, text=True)
    while proc.poll() is None and not [n for n in os.listdir(tmp_path) if n.endswith(".tmp")]:
        time.sleep(0.002)
    proc.terminate()
    _, stderr = proc.communicate(timeout=60)
    assert (proc.returncode, stderr) == (143, "tarnwick: terminated\n")
    assert sorted(os.listdir(tmp_path)) == ["bg.bmp", "fg.bmp"]


@pytest.mark.parametrize("batch", [False, True])
def test_composite_writes_the_library_result(tmp_path, batch):
    bg, fg, mask = rgb(4, 40, 30), rgb(4, 40, 30), RNG.integers(0, 256, (40, 30), dtype=np.uint8)
    (tmp_path / "bgs").mkdir()
    paths = [save(tmp_path / n, a) for n, a in (("bgs/b.png", bg), ("f.png", fg), ("m.png", mask))]
    source = tmp_path / "bgs" if batch else paths[0]
    out = tmp_path / ("outs" if batch else "o.png")
    proc = run("composite", "color-dodge", source, paths[1], "-o", out, "--operator", "source-atop",
               "--opacity", "0.6", "--mask", paths[2], "--premultiplied", "-q")
    assert proc.returncode == 0, proc.stderr
    expected = tarnwick.composite(bg, fg, "color_dodge", 0.6, operator="source_atop", premultiplied=True,
                                  mask=mask)
    np.testing.assert_array_equal(np.asarray(Image.open(out / "b.png" if batch else out)), expected)
    proc = run("composite", "multiply", save(tmp_path / "rgb.png", rgb(3, 40, 30)), paths[1], "-o",
               tmp_path / "x.png", "--operator", "xor")
    assert proc.returncode == 1 and "needs a 4-channel backdrop" in proc.stderr
    assert not (tmp_path / "x.png").exists()


def test_composite_sheet_has_a_tile_per_blend_function(tmp_path):
    proc = run("sheet", "--composite", "-o", tmp_path / "s.png", "--tile", "48")
    assert proc.returncode == 0, proc.stderr
    got = np.asarray(Image.open(tmp_path / "s.png"))
    th = round(48 * 2 / 3)
    assert (got.shape[1], got.shape[0]) == sheet.sheet_size(26, 48, th)
    bg, fg = sheet.transparent_edges(sheet.scene(th, 48)), sheet.layer(th, 48)
    left, top = sheet.tile_boxes(26, 48, th)[6]
    np.testing.assert_array_equal(got[top:top + th, left:left + 48],
                                  sheet._displayable(tarnwick.composite(bg, fg, "color_dodge")))


def test_openraster_commands_stack_show_and_flatten(tmp_path):
    bottom, top = rgb(3, 40, 30), rgb(4, 20, 10)
    paths = [save(tmp_path / n, a) for n, a in (("bottom.png", bottom), ("top.png", top))]
    doc = tmp_path / "doc.ora"
    assert run("stack", *paths, "-o", doc, "--mode", "normal", "--mode", "multiply").returncode == 0
    shown = run("layers", doc)
    assert shown.stdout.splitlines()[1:] == ["  - top: multiply source_over 1 10x20 at 0,0",
                                             "  - bottom: normal source_over 1 30x40 at 0,0"]
    checked = run("flatten", doc, "-o", tmp_path / "flat.png", "--check")
    assert checked.returncode == 0 and "largest difference from the stored merged image: 0" in checked.stdout
    want = tarnwick.flatten(np.zeros((40, 30, 4), np.uint8), [
        tarnwick.Layer(np.concatenate([bottom, np.full((40, 30, 1), 255, np.uint8)], 2)),
        tarnwick.Layer(top, "multiply")])
    np.testing.assert_array_equal(np.asarray(Image.open(tmp_path / "flat.png")), want)
    refused = run("stack", *paths, "-o", tmp_path / "x.ora", "--mode", "hue", "--mode", "hue",
                  "--mode", "hue")
    assert refused.returncode == 1 and "--mode given 3 times for 2 layers" in refused.stderr
    assert not (tmp_path / "x.ora").exists()
