"""tarnwick.dask: lazy chunked blends, against one in-memory tarnwick.blend call."""

import faulthandler
import logging
import os
import re
import subprocess
import sys

import numpy as np
import pytest

import tarnwick
from reference import random_image

da = pytest.importorskip("dask.array")
import dask  # noqa: E402  (only once the skip above has passed)

import tarnwick.dask as tdask  # noqa: E402

HEIGHT, WIDTH = 50, 40
MODES = ("normal", "multiply", "soft_light", "hsv_hue", "lch_color")
LAYERS = {  # background, foreground: (dtype, channels)
    "u8 RGB/RGB": ((np.uint8, 3), (np.uint8, 3)),
    "f32 RGBA/u8 RGB": ((np.float32, 4), (np.uint8, 3)),
    "u8 RGBA/f32 RGBA": ((np.uint8, 4), (np.float32, 4)),
}
VECTOR_KERNELS = [k for k in ("sse42", "avx2") if tarnwick.kernel_available(k)]


def images(layers, seed=0, height=HEIGHT, width=WIDTH):
    rng = np.random.default_rng(seed)
    (bg_dtype, bg_channels), (fg_dtype, fg_channels) = LAYERS[layers]
    return (random_image(rng, height, width, bg_channels, bg_dtype),
            random_image(rng, height, width, fg_channels, fg_dtype))


def compute(array):
    return array.compute(scheduler="threads", num_workers=2)


def test_importing_tarnwick_leaves_dask_out_and_a_missing_dask_names_the_extra():
    script = (
        "import sys, tarnwick\n"
        "assert 'dask' not in sys.modules, 'import tarnwick pulled in dask'\n"
        "sys.modules['dask'] = None\n"
        "try:\n"
        "    import tarnwick.dask\n"
        "except ImportError as exc:\n"
        "    print(exc)\n"
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    assert "pip install tarnwick[dask]" in run.stdout


@pytest.mark.parametrize(
    "bg_chunks, fg_chunks, mask_shape",
    [((16, 15, 1), (7, -1, 2), None), ((-1, 9, 3), (50, 40, 3), (HEIGHT, WIDTH)), ((8, -1, 2), None, (HEIGHT, WIDTH, 1))],
)
def test_graph_keeps_the_background_layout_and_computes_nothing(monkeypatch, bg_chunks, fg_chunks, mask_shape):
    background, foreground = images("f32 RGBA/u8 RGB")
    bg = da.from_array(background, chunks=bg_chunks)
    fg = foreground if fg_chunks is None else da.from_array(foreground, chunks=fg_chunks)
    mask = None if mask_shape is None else da.ones(mask_shape, dtype=np.uint8, chunks=5)

    def refuse(*args, **kwargs):
        raise AssertionError("tarnwick.blend ran while the graph was built")

    monkeypatch.setattr(tarnwick, "blend", refuse)
    out = tdask.blend(bg, fg, "multiply", 0.5, mask=mask)
    assert isinstance(out, da.Array)
    assert (out.shape, out.dtype, type(out._meta)) == (background.shape, background.dtype, np.ndarray)
    assert out.chunks == bg.chunks[:2] + ((4,),)
    with pytest.raises(AssertionError, match="graph was built"):
        compute(out)


def _bad(**change):
    background, foreground = images("u8 RGB/RGB")
    call = {"background": background, "foreground": foreground, "mode": "multiply", "opacity": 0.5,
            "kernel": "auto", "mask": None}
    call.update(change)
    return call


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(_bad(background=np.zeros((HEIGHT, WIDTH, 2), np.uint8)), id="channels"),
        pytest.param(_bad(background=np.zeros((HEIGHT, WIDTH), np.uint8)), id="ndim"),
        pytest.param(_bad(foreground=np.zeros((HEIGHT, WIDTH, 3), np.float16)), id="dtype"),
        pytest.param(_bad(mode="no_such_mode"), id="mode"),
        pytest.param(_bad(mode=3), id="mode type"),
        pytest.param(_bad(kernel="neon"), id="kernel"),
        pytest.param(_bad(opacity="half"), id="opacity"),
        pytest.param(_bad(opacity=80), id="percentage"),
        pytest.param(_bad(opacity=np.complex128(0.5 + 0.5j)), id="complex"),
        pytest.param(_bad(mask=np.zeros((HEIGHT, WIDTH, 3), np.uint8)), id="mask channels"),
        pytest.param(_bad(mask=np.zeros((HEIGHT + 1, WIDTH), np.float32)), id="mask size"),
        pytest.param(_bad(mask=np.zeros((HEIGHT, WIDTH), np.int16)), id="mask dtype"),
    ],
)
def test_bad_arguments_raise_the_in_memory_errors_when_the_graph_is_built(call):
    with pytest.raises((TypeError, ValueError)) as in_memory:
        tarnwick.blend(**call)
    lazy = {name: da.from_array(value, chunks=16) if isinstance(value, np.ndarray) else value
            for name, value in call.items()}
    with pytest.raises(type(in_memory.value), match=re.escape(str(in_memory.value))):
        tdask.blend(**lazy)


def test_unknown_chunk_sizes_are_refused_when_the_graph_is_built():
    background, foreground = images("u8 RGB/RGB")
    unknown = da.from_array(background, chunks=(25, -1, -1)).map_blocks(
        np.copy, chunks=((np.nan, np.nan), (WIDTH,), (3,)))
    with pytest.raises(ValueError, match="background has unknown chunk sizes"):
        tdask.blend(unknown, foreground)


CHUNKINGS = {  # background chunks, foreground chunks
    "tiles": ((16, 15, 2), (9, 22, -1)),
    "rows": ((7, -1, -1), (-1, -1, -1)),
    "single": ((-1, -1, -1), (10, 10, -1)),
}


@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("layers", LAYERS)
@pytest.mark.parametrize("chunking", CHUNKINGS)
def test_scalar_kernel_equals_the_in_memory_blend_bit_for_bit(mode, layers, chunking):
    background, foreground = images(layers)
    mask = random_image(np.random.default_rng(9), HEIGHT, WIDTH, 1, np.uint8)[..., 0]
    bg_chunks, fg_chunks = CHUNKINGS[chunking]
    out = tdask.blend(da.from_array(background, chunks=bg_chunks), da.from_array(foreground, chunks=fg_chunks),
                      mode, 0.7, kernel="scalar", mask=da.from_array(mask, chunks=12))
    np.testing.assert_array_equal(
        compute(out), tarnwick.blend(background, foreground, mode, 0.7, kernel="scalar", mask=mask))


# Rows of 40 pixels: bands of 8 rows hold 320 = 5 x 64 pixels and the last,
# of 2 rows, 80; bands of 7 rows (280 pixels) and tiles regroup the pixels.
VECTOR_CHUNKINGS = {"grouping kept": (8, -1, -1), "numpy": None, "7 rows": (7, -1, -1), "tiles": (16, 15, -1)}


@pytest.mark.parametrize("kernel", VECTOR_KERNELS)
@pytest.mark.parametrize("mode", MODES)
@pytest.mark.parametrize("layers", LAYERS)
@pytest.mark.parametrize("chunking", VECTOR_CHUNKINGS)
def test_vector_kernels_keep_bit_identity_with_the_grouping_and_one_step_otherwise(kernel, mode, layers, chunking):
    background, foreground = images(layers, seed=3)
    chunks = VECTOR_CHUNKINGS[chunking]
    if chunks is None:  # a NumPy background, wrapped in several bands
        with dask.config.set({"array.chunk-size": "2KiB"}):
            out = tdask.blend(background, foreground, mode, 0.7, kernel=kernel)
        assert len(out.chunks[0]) > 2 and len(out.chunks[1]) == 1
    else:
        out = tdask.blend(da.from_array(background, chunks=chunks), foreground, mode, 0.7, kernel=kernel)
    result = compute(out)
    if chunking in ("grouping kept", "numpy"):
        np.testing.assert_array_equal(result, tarnwick.blend(background, foreground, mode, 0.7, kernel=kernel))
    else:
        scalar = tarnwick.blend(background, foreground, mode, 0.7, kernel="scalar")
        assert np.abs(result.astype(np.float64) - scalar).max() <= 1.0


def gil_enabled():
    return getattr(sys, "_is_gil_enabled", lambda: True)()


@pytest.fixture(scope="module")
def cluster_client():
    distributed = pytest.importorskip("distributed")
    # A cluster that hangs while starting or stopping ends the run with a
    # traceback instead of blocking it.
    faulthandler.dump_traceback_later(240, exit=True)
    try:
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                      dashboard_address=None, silence_logs=logging.ERROR) as cluster:
            with distributed.Client(cluster, timeout=60, set_as_default=False) as client:
                client.wait_for_workers(2, timeout=60)
                assert os.getpid() not in client.run(os.getpid).values()
                assert set(client.run(gil_enabled).values()) == {gil_enabled()}  # the same interpreter build
                yield client
    finally:
        faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize(
    "mode, layers, kernel, masked",
    [("multiply", "u8 RGB/RGB", "auto", False), ("lch_color", "f32 RGBA/u8 RGB", "scalar", True),
     ("soft_light", "u8 RGBA/f32 RGBA", "auto", True)],
)
def test_worker_processes_give_the_in_memory_result(cluster_client, mode, layers, kernel, masked):
    background, foreground = images(layers, seed=5, height=96)
    mask = random_image(np.random.default_rng(6), 96, WIDTH, 1, np.float32) if masked else None
    out = tdask.blend(da.from_array(background, chunks=(16, -1, -1)), da.from_array(foreground, chunks=(20, 10, -1)),
                      mode, 0.6, kernel=kernel, mask=mask)
    result = cluster_client.compute(out).result(timeout=60)
    np.testing.assert_array_equal(result, tarnwick.blend(background, foreground, mode, 0.6, kernel=kernel, mask=mask))


STACK_MASK = random_image(np.random.default_rng(8), HEIGHT, WIDTH, 1, np.uint8)[..., 0]
# A masked array's hidden entries weigh 0, as its filled copy's do.
HIDDEN = np.random.default_rng(9).random((HEIGHT, WIDTH)) < 0.5
MASKS = {"mask": (STACK_MASK, STACK_MASK),
         "masked array": (np.ma.masked_array(STACK_MASK, mask=HIDDEN), np.where(HIDDEN, 0, STACK_MASK))}


def lazy_calls(kind, seed=0, masks=MASKS["mask"]):
    """(lazy call, in-memory call) of composite or flatten over chunked inputs,
    with masks[0] given to the lazy call and masks[1] to the in-memory one."""
    lazy_mask, memory_mask = masks
    background, foreground = images("u8 RGBA/f32 RGBA", seed)
    frames = np.stack([background, foreground.astype(np.uint8)])
    if kind == "composite frames":
        opacity = np.array([0.3, 0.8])
        return (lambda: tdask.composite(da.from_array(frames, chunks=(1, 16, 15, -1)), foreground, "multiply",
                                        opacity, operator="source_atop", kernel="scalar", mask=lazy_mask),
                lambda: tarnwick.composite(frames, foreground, "multiply", opacity, operator="source_atop",
                                           kernel="scalar", mask=memory_mask))
    if kind == "blend frames":
        return (lambda: tdask.blend(da.from_array(frames, chunks=(1, 8, -1, -1)), foreground, "soft_light",
                                    [[0.4], [0.9]], mask=lazy_mask),
                lambda: tarnwick.blend(frames, foreground, "soft_light", [[0.4], [0.9]], mask=memory_mask))
    if kind == "composite source frames":
        return (lambda: tdask.composite(background, da.from_array(frames, chunks=(1, 8, -1, -1)), "screen", 0.6),
                lambda: tarnwick.composite(background, frames, "screen", 0.6))
    layers = [tarnwick.Layer(da.from_array(foreground, chunks=7), "screen", 0.5, mask=lazy_mask),
              tarnwick.Layer.layer_mode(frames[1], "soft_light", 0.7),
              tarnwick.Layer.layer_mode(foreground, "lch_color", 0.9, mask=da.from_array(lazy_mask, chunks=9))]
    computed = [tarnwick.Layer(np.asarray(layer.image), layer.blend, layer.opacity,
                               None if layer.mask is None else memory_mask, layer.operator, layer.model)
                for layer in layers]
    return (lambda: tdask.flatten(da.from_array(background, chunks=(16, 15, -1)), layers, kernel="scalar"),
            lambda: tarnwick.flatten(background, computed, kernel="scalar"))


@pytest.mark.parametrize("mask", MASKS)
@pytest.mark.parametrize("kind", ["composite frames", "composite source frames", "blend frames", "flatten"])
def test_composite_and_flatten_equal_the_in_memory_call(kind, mask):
    lazy, in_memory = lazy_calls(kind, masks=MASKS[mask])
    out = lazy()
    expected = in_memory()
    assert out.shape == expected.shape
    np.testing.assert_array_equal(compute(out), expected)


@pytest.mark.parametrize("call", [
    dict(blend="grain_merge"), dict(operator="xor", backdrop=np.zeros((HEIGHT, WIDTH, 3), np.uint8)),
    dict(opacity=[0.5, 0.5, 0.5]), dict(mask=np.zeros((HEIGHT, WIDTH + 1), np.uint8)),
    dict(opacity=[0.5, 80]),
], ids=["blend", "operator", "batch", "mask", "percentage"])
def test_composite_raises_the_in_memory_errors_when_the_graph_is_built(call):
    background, foreground = images("u8 RGBA/f32 RGBA")
    arguments = dict(backdrop=np.stack([background] * 2), source=foreground)
    arguments.update(call)
    with pytest.raises(ValueError) as in_memory:
        tarnwick.composite(**arguments)
    lazy = {name: da.from_array(value) if isinstance(value, np.ndarray) else value for name, value in arguments.items()}
    with pytest.raises(ValueError, match=re.escape(str(in_memory.value))):
        tdask.composite(**lazy)
    with pytest.raises(ValueError, match=re.escape("layers[0].mask must have shape")):
        tdask.flatten(da.from_array(background), [tarnwick.Layer(foreground, mask=np.zeros((2, 2), np.uint8))])
    with pytest.raises(ValueError, match=re.escape("layers[0].opacity must be from 0 to 1, got 80")):
        tdask.flatten(da.from_array(background), [tarnwick.Layer(foreground, opacity=80)])


@pytest.mark.parametrize("kind", ["composite frames", "flatten"])
def test_worker_processes_composite_and_flatten_as_in_memory(cluster_client, kind):
    lazy, in_memory = lazy_calls(kind, seed=5)
    np.testing.assert_array_equal(cluster_client.compute(lazy()).result(timeout=60), in_memory())


@pytest.mark.parametrize("kind", ["blend", "composite frames", "flatten"])
def test_numpy_layers_reach_a_distributed_client_once_without_a_large_graph(kind):
    distributed = pytest.importorskip("distributed")
    import warnings

    rng = np.random.default_rng(11)
    layer = rng.integers(0, 256, (2048, 2048, 4), dtype=np.uint8)  # 16 MiB
    mask = rng.integers(0, 256, (2048, 2048), dtype=np.uint8)
    canvas = np.full((2048, 2048, 4), 90, np.uint8)
    lazy_canvas = da.full(canvas.shape, 90, dtype=np.uint8, chunks=(512, -1, -1))  # nothing embedded
    calls = {
        "blend": (lambda c: tdask.blend(c, layer, "multiply", 0.5, mask=mask),
                  lambda: tarnwick.blend(canvas, layer, "multiply", 0.5, mask=mask)),
        "composite frames": (lambda c: tdask.composite(c, layer, "screen", [0.3, 0.9], mask=mask),
                             lambda: tarnwick.composite(canvas, layer, "screen", [0.3, 0.9], mask=mask)),
        "flatten": (lambda c: tdask.flatten(c, [tarnwick.Layer(layer, mask=mask), tarnwick.Layer(layer[::-1])]),
                    lambda: tarnwick.flatten(canvas, [tarnwick.Layer(layer, mask=mask), tarnwick.Layer(layer[::-1])])),
    }
    lazy, in_memory = calls[kind]
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None,
                                  silence_logs=logging.ERROR) as cluster, distributed.Client(cluster):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            result = lazy(lazy_canvas).compute()
    assert not [w for w in caught if "large graph" in str(w.message)]
    np.testing.assert_array_equal(result, in_memory())


@pytest.mark.parametrize("operator, touched", [("source_over", 4), ("source_in", 20)])
def test_a_placed_layer_makes_work_only_for_the_chunks_it_touches(operator, touched):
    rng = np.random.default_rng(25)
    backdrop = rng.integers(0, 256, (400, 500, 4), np.uint8)
    lazy = da.from_array(backdrop, chunks=(100, 100, 4))
    layer = rng.integers(0, 256, (50, 70, 4), np.uint8)
    mask = rng.integers(0, 256, (50, 70), np.uint8)
    result = tarnwick.dask.composite(lazy, layer, "multiply", 0.8, operator=operator, mask=mask,
                                     x=180, y=90)
    tasks = [v for v in dict(result.__dask_graph__()).values()
             if isinstance(v, tuple) and getattr(v[0], "__name__", "") == "_placed_chunk"]
    assert len(tasks) == touched
    want = tarnwick.composite(backdrop, layer, "multiply", 0.8, operator=operator, mask=mask,
                              x=180, y=90)
    assert result.compute().tobytes() == want.tobytes()
    stack = [tarnwick.Layer(layer, "screen", x=-30, y=370),
             tarnwick.Layer.layer_mode(layer, "overlay", 0.5, x=460, y=-10)]
    flat = tarnwick.dask.flatten(lazy, stack, kernel="scalar").compute()
    assert flat.tobytes() == tarnwick.flatten(backdrop, stack, kernel="scalar").tobytes()
    with pytest.raises(ValueError, match="x and y take single images here, not frames"):
        tarnwick.dask.composite(np.stack([backdrop] * 2), layer, x=1)
