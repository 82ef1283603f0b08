"""The command line's parallel batches (--jobs) and --dither."""

import numpy as np
import pytest

import tarnwick

pytest.importorskip("PIL.Image")
from tarnwick.cli import main  # noqa: E402

RNG = np.random.default_rng(2028)


def folder_of_frames(tmp_path, count=7):
    frames = tmp_path / "frames"
    frames.mkdir()
    for i in range(count):
        depth = np.uint16 if i % 3 == 0 else np.uint8
        array = RNG.integers(0, np.iinfo(depth).max + 1, (20, 30, 3)).astype(depth)
        tarnwick.imwrite(frames / f"{i:02}.png", array)
    (frames / "03.png").write_bytes(b"not a png")  # one bad file: reported, the rest go on
    layer = tmp_path / "layer.png"
    tarnwick.imwrite(layer, RNG.integers(0, 256, (20, 30, 4), dtype=np.uint8))
    return frames, layer


@pytest.mark.parametrize("command", ["blend", "composite"])
def test_jobs_give_the_files_and_messages_of_one_job(tmp_path, capsys, command):
    frames, layer = folder_of_frames(tmp_path)
    runs = {}
    for jobs in ("1", "3", "0"):
        out = tmp_path / f"out{jobs}"
        status = main([command, "multiply", str(frames), str(layer), "-o", str(out),
                       "--jobs", jobs])
        captured = capsys.readouterr()
        files = {p.name: p.read_bytes() for p in sorted(out.iterdir())}
        runs[jobs] = (status, captured.out, captured.err.replace(str(out), "OUT"), files)
    assert runs["1"][0] == 1 and len(runs["1"][3]) == 6 and "03.png" in runs["1"][2]
    assert runs["1"] == runs["3"] == runs["0"]


@pytest.mark.parametrize("dither", [None, "ordered", "blue-noise"])
def test_sixteen_bit_result_to_jpeg_needs_a_dither(tmp_path, capsys, dither):
    bg = tmp_path / "bg.png"
    tarnwick.imwrite(bg, RNG.integers(0, 65536, (16, 16, 3)).astype(np.uint16))
    out = tmp_path / "out.jpg"
    options = [] if dither is None else ["--dither", dither]
    status = main(["blend", "screen", str(bg), str(bg), "-o", str(out), *options])
    err = capsys.readouterr().err
    if dither is None:
        assert status == 1 and not out.exists()
        assert err.count("\n") == 1 and "16" in err and "dither" in err
    else:
        assert status == 0 and tarnwick.imread(out).dtype == np.uint8
