"""tarnwick.blend: the output array, in place, the layer mask and threads."""

import os
import threading
import warnings

import numpy as np
import pytest

import _tarnwick
import tarnwick
from reference import random_image

RNG = np.random.default_rng(11)
# Odd sizes: several bands of 64-pixel multiples plus a tail of 7 pixels.
HEIGHT, WIDTH = 67, 45
KERNELS = ("scalar", "sse42", "avx2")
LAYOUTS = [
    (np.uint8, 3, np.uint8, 3),
    (np.uint8, 4, np.uint8, 4),
    (np.float32, 3, np.float32, 3),
    (np.float32, 4, np.uint8, 3),
]
SOME_MODES = ["normal", "multiply", "soft_light", "divide", "hsv_hue", "lch_color"]


@pytest.fixture(autouse=True)
def small_bands(monkeypatch):
    # Bands of a few granules, so that these small images still split.
    monkeypatch.setattr(tarnwick._bands, "_MIN_BAND", 64)


def images(layout, height=HEIGHT, width=WIDTH):
    bg_type, bg_channels, fg_type, fg_channels = layout
    bg = random_image(RNG, height, width, bg_channels, bg_type)
    fg = random_image(RNG, height, width, fg_channels, fg_type)
    return bg, fg


def misaligned_like(array):
    """An empty array like `array` whose data starts one element past an
    aligned address (still aligned for its dtype)."""
    item = array.dtype.itemsize
    raw = np.empty(array.nbytes + 64, np.uint8)
    start = (-raw.ctypes.data) % 32 + item
    return raw[start:start + array.nbytes].view(array.dtype).reshape(array.shape)


@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda l: "-".join(map(str, l)))
@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("mode", tarnwick.MODES)
def test_matches_plain_call_bit_for_bit(mode, kernel, layout):
    bg, fg = images(layout)
    expected = getattr(_tarnwick, mode)(bg, fg, 0.7, kernel)
    for threads in (1, 2, 3, 7):
        assert np.array_equal(
            tarnwick.blend(bg, fg, mode, 0.7, kernel=kernel, threads=threads), expected
        ), threads
        out = misaligned_like(bg) if threads == 2 else np.empty_like(bg)
        assert tarnwick.blend(bg, fg, mode, 0.7, kernel=kernel, out=out, threads=threads) is out
        assert np.array_equal(out, expected), threads
        canvas = bg.copy()
        tarnwick.blend(canvas, fg, mode, 0.7, kernel=kernel, out=canvas, threads=threads)
        assert np.array_equal(canvas, expected), threads


@pytest.mark.parametrize("opacity", [0.0, -1.0, -np.inf])
def test_transparent_layer_copies_the_background_into_out(opacity):
    bg, fg = images(LAYOUTS[1])
    out = np.zeros_like(bg)
    tarnwick.blend(bg, fg, "multiply", opacity, out=out, threads=2)
    assert np.array_equal(out, bg)


@pytest.mark.parametrize("mask_shape", [(HEIGHT, WIDTH), (HEIGHT, WIDTH, 1)])
@pytest.mark.parametrize("mask_type", [np.uint8, np.float32])
@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda l: "-".join(map(str, l)))
@pytest.mark.parametrize("mode", SOME_MODES)
def test_mask_scales_the_layer_alpha(mode, layout, mask_type, mask_shape):
    bg, fg = images(layout)
    full = np.full(mask_shape, 255, mask_type)
    assert np.array_equal(
        tarnwick.blend(bg, fg, mode, 0.6, mask=full), getattr(_tarnwick, mode)(bg, fg, 0.6)
    )
    assert np.array_equal(tarnwick.blend(bg, fg, mode, 0.6, mask=np.zeros_like(full)), bg)

    mask = RNG.integers(0, 256, size=mask_shape).astype(mask_type)
    mask.reshape(-1)[::97] = 0
    layer = np.empty((HEIGHT, WIDTH, 4), np.float32)
    layer[..., :3] = fg[..., :3]
    alpha = fg[..., 3].astype(np.float32) if fg.shape[2] == 4 else np.float32(255)
    layer[..., 3] = alpha * (mask.reshape(HEIGHT, WIDTH).astype(np.float32) / np.float32(255))
    hidden = mask.reshape(HEIGHT, WIDTH) == 0
    assert hidden.any()
    for kernel in KERNELS:
        expected = getattr(_tarnwick, mode)(bg, layer, 0.6, kernel)
        expected[hidden] = bg[hidden]
        masked = tarnwick.blend(bg, fg, mode, 0.6, kernel=kernel, mask=mask)
        # Scalar: the same arithmetic as the float32 layer. The vector loops
        # weigh the alpha after scaling it, not before (an ulp), and normal's
        # byte path quantises opacity times weight to 1/255; the LCH modes
        # decode a byte layer by table where the float32 layer takes the
        # vector curve, so they differ as far as the vector curve's error.
        if kernel == "scalar":
            assert np.array_equal(masked, expected), kernel
        else:
            tolerance = 1 if bg.dtype == np.uint8 else 0.05 if mode.startswith("lch_") else 1e-3
            assert np.abs(masked.astype(np.float64) - expected).max() <= tolerance, kernel
        assert np.array_equal(masked[hidden], bg[hidden])
        assert np.array_equal(
            tarnwick.blend(bg, fg, mode, 0.6, kernel=kernel, mask=mask, threads=3), masked
        )


@pytest.mark.parametrize("mode", ["soft_light", "hsv_hue"])
def test_mask_pieces_keep_bands_bit_identical(mode):
    bg, fg = images(LAYOUTS[0])
    mask = RNG.integers(0, 256, size=(HEIGHT, WIDTH), dtype=np.uint8)
    one = tarnwick.blend(bg, fg, mode, 0.8, kernel="avx2", mask=mask)
    for threads in (2, 5):
        assert np.array_equal(
            tarnwick.blend(bg, fg, mode, 0.8, kernel="avx2", mask=mask, threads=threads),
            one,
        )


def model(bg, fg, mode, opacity, weight):
    """The float64 rule: the weight multiplies the layer's alpha."""
    inn, layer = bg.astype(np.float64) / 255, fg.astype(np.float64) / 255
    in_a = inn[..., 3:] if bg.shape[2] == 4 else np.ones(bg.shape[:2] + (1,))
    layer_a = (layer[..., 3:] if fg.shape[2] == 4 else 1.0) * weight[..., None]
    out = inn.copy()
    if mode == "normal":
        lo = layer_a * opacity
        denom = in_a * (1 - lo) + lo
        with np.errstate(all="ignore"):
            out[..., :3] = np.where(denom > 0, (layer[..., :3] * lo + inn[..., :3] * in_a * (1 - lo)) / denom, 0)
        if bg.shape[2] == 4:
            out[..., 3:] = denom
    else:
        comp = inn[..., :3] * layer[..., :3]  # multiply
        comp_a = np.minimum(in_a, layer_a) * opacity
        ratio = comp_a / (comp_a * (1 - in_a) + in_a)
        out[..., :3] = comp * ratio + (1 - ratio) * inn[..., :3]
    return out * 255


@pytest.mark.parametrize("mask_type", [np.uint8, np.float32])
@pytest.mark.parametrize("layout", LAYOUTS, ids=lambda l: "-".join(map(str, l)))
@pytest.mark.parametrize("mode", ["normal", "multiply"])
def test_masked_result_is_within_a_step_of_the_float64_rule(mode, layout, mask_type):
    bg, fg = images(layout)
    bg[..., 3:] = np.maximum(bg[..., 3:], 1)  # keep the model's ratio finite
    mask = (RNG.random((HEIGHT, WIDTH)) * 255).astype(mask_type)
    expected = model(bg, fg, mode, 0.6, mask.astype(np.float64) / 255)
    for kernel in KERNELS:
        got = tarnwick.blend(bg, fg, mode, 0.6, kernel=kernel, mask=mask).astype(np.float64)
        tolerance = 1.0 if bg.dtype == np.uint8 else 1e-3
        assert np.abs(got - expected).max() <= tolerance, kernel


HIDE = np.arange(HEIGHT * WIDTH).reshape(HEIGHT, WIDTH) % 5 == 0


@pytest.mark.parametrize(
    "make_mask, weights",
    [
        # Hidden entries weigh 0, whatever their data.
        (lambda: np.ma.MaskedArray(np.full((HEIGHT, WIDTH), 255, np.uint8), mask=HIDE), ~HIDE * 255),
        (lambda: np.ma.MaskedArray(np.full((HEIGHT, WIDTH), 200, np.float32), mask=HIDE), ~HIDE * 200),
        (lambda: np.ma.MaskedArray(np.full((HEIGHT, WIDTH), 200, np.float32)), np.full((HEIGHT, WIDTH), 200)),
        (lambda: np.asmatrix(np.full((HEIGHT, WIDTH), 99, np.float32)), np.full((HEIGHT, WIDTH), 99)),
    ],
)
@pytest.mark.filterwarnings("ignore::PendingDeprecationWarning")  # np.matrix
@pytest.mark.parametrize("mode", ["multiply", "hsv_hue"])
def test_mask_subclasses_give_their_plain_data(mode, make_mask, weights):
    bg, fg = images(LAYOUTS[1])
    expected = tarnwick.blend(bg, fg, mode, 0.8, mask=np.asarray(weights, np.float32))
    assert np.array_equal(tarnwick.blend(bg, fg, mode, 0.8, mask=make_mask()), expected)


@pytest.mark.parametrize("call", ["blend", "module"])
def test_huge_integer_opacity(call):
    bg, fg = images(LAYOUTS[0], 6, 5)
    run = (lambda o: tarnwick.blend(bg, fg, "normal", o)) if call == "blend" else (
        lambda o: _tarnwick.normal(bg, fg, o))
    with pytest.raises(ValueError, match="^opacity must be a finite number$"):
        run(2**1024)
    assert np.array_equal(run(-(2**1024)), bg)


@pytest.fixture
def fresh_pool(monkeypatch):
    monkeypatch.setattr(tarnwick._bands, "_POOL", tarnwick._bands._Pool())
    return tarnwick._bands._POOL


@pytest.mark.parametrize("refused_after", [0, 1])
def test_refused_threads_mean_fewer_threads_not_a_partial_write(monkeypatch, fresh_pool, refused_after):
    bg, fg = images(LAYOUTS[1])
    expected = tarnwick.blend(bg, fg, "soft_light", 0.7)
    start = threading.Thread.start
    started = []

    def refusing_start(thread):
        if len(started) >= refused_after:
            raise RuntimeError("can't start new thread")
        started.append(thread)
        start(thread)

    monkeypatch.setattr(threading.Thread, "start", refusing_start)
    canvas = bg.copy()
    assert tarnwick.blend(canvas, fg, "soft_light", 0.7, out=canvas, threads=6) is canvas
    assert np.array_equal(canvas, expected)
    assert len(fresh_pool.threads) == refused_after


@pytest.mark.parametrize("threads, pixels, most", [(10**6, 64 * 5, 4), (None, 64 * 1000, os.cpu_count() - 1), (3, 63, 0)])
def test_threads_are_bounded_by_bands_and_reused(fresh_pool, threads, pixels, most):
    bg, fg = images(LAYOUTS[0], pixels, 1)
    for _ in range(2):
        assert np.array_equal(tarnwick.blend(bg, fg, "multiply", threads=threads), _tarnwick.multiply(bg, fg))
        assert len(fresh_pool.threads) <= max(most, 0)
    first = list(fresh_pool.threads)
    tarnwick.blend(bg, fg, "multiply", threads=threads)
    assert fresh_pool.threads == first


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_gets_its_own_pool(fresh_pool):
    bg, fg = images(LAYOUTS[0], 640, 1)
    expected = tarnwick.blend(bg, fg, "multiply", threads=3)
    assert fresh_pool.threads
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads
        pid = os.fork()
    if pid == 0:
        try:
            ok = np.array_equal(tarnwick.blend(bg, fg, "multiply", threads=3), expected)
            ok = ok and tarnwick._bands._POOL is not fresh_pool
        finally:
            os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


BG, FG = images(LAYOUTS[0], 6, 5)


def bad_calls():
    readonly = np.empty_like(BG)
    readonly.flags.writeable = False
    canvas = np.empty((7, 5, 3), np.uint8)
    shared = np.empty((6, 5, 3), np.uint8)
    strided = np.zeros((6, 10, 3), np.uint8)
    return [
        (dict(mode="multiplyy"), ValueError, "closest: 'multiply'"),
        (dict(mode="nonsense_mode_xyz"), ValueError, "tarnwick.MODES"),
        (dict(mode=3), TypeError, "mode must be a string"),
        (dict(kernel="avx512"), ValueError, "unknown kernel 'avx512'"),
        (dict(kernel=4), TypeError, "kernel must be a string or KernelKind"),
        (dict(opacity=float("nan")), ValueError, "opacity must be a finite number"),
        (dict(opacity=float("inf")), ValueError, "opacity must be a finite number"),
        (dict(opacity=1e39), ValueError, "opacity must be a finite number"),
        (dict(opacity=2**1024), ValueError, "opacity must be a finite number"),
        (dict(opacity="0.5"), TypeError, "opacity must be a real number"),
        (dict(opacity=0.5 + 0.5j), TypeError, "opacity must be a real number, not complex"),
        (dict(opacity=np.complex128(0.5 + 0.5j)), TypeError, "opacity must be a real number, not complex128"),
        (dict(opacity=np.array(0.5 + 0.5j)), TypeError, "opacity must be a real number, not complex128"),
        (dict(opacity=80), ValueError, "opacity must be from 0 to 1, got 80; for 80 % pass 0.8"),
        (dict(opacity=np.float32(1.5)), ValueError, "got 1.5; for 1.5 % pass 0.015"),
        (dict(opacity=[0.5, 80.0]), ValueError, "opacity must be from 0 to 1, got 80; for 80 % pass 0.8"),
        (dict(threads=-1), ValueError, "threads must be 0 or more"),
        (dict(threads=1.5), TypeError, "threads must be an integer"),
        (dict(out=np.empty((6, 5, 3), np.float32)), ValueError, "got dtype float32"),
        (dict(out=np.empty((6, 5, 4), np.uint8)), ValueError, "got shape (6, 5, 4)"),
        (dict(out=np.empty((5, 6, 3), np.uint8).transpose(1, 0, 2)), ValueError,
         "got a non-contiguous array (strides (3, 18, 1))"),
        (dict(background=strided[:, ::2], out=strided[:, ::2]), ValueError,
         "got a non-contiguous array (strides (30, 6, 1)) that overlaps the background"),
        (dict(out=readonly), ValueError, "read-only"),
        (dict(out=[[[0, 0, 0]]]), TypeError, "out must be"),
        (dict(mask=np.zeros((5, 6), np.uint8)), ValueError, "mask must have shape (6, 5)"),
        (dict(mask=np.zeros((6, 5), np.int16)), TypeError, "mask must be a uint8, float32 or float64"),
        (dict(mask=np.ma.MaskedArray(np.zeros((6, 5), "V4"), mask=True)), TypeError, "mask must be a uint8, float32 or float64"),
        (dict(foreground=FG.astype(np.float16)), TypeError,
         "foreground must be a uint8, uint16, float32 or float64 array, got float16"),
        (dict(background=BG.tolist()), TypeError, "background must be a uint8, uint16, float32 or float64 array, got int64"),
        (dict(foreground=FG[..., :2]), ValueError,
         "foreground must have 3 or 4 channels, shape (height, width, 3 or 4), got (6, 5, 2)"),
        (dict(foreground=np.zeros((3, 6, 5), np.uint8)), ValueError,
         "got (3, 6, 5); channels first? np.moveaxis(foreground, -3, -1) puts them last"),
        (dict(background=BG[0]), ValueError, "background must have shape (height, width, 3 or 4)"),
        # Overlaps other than exactly in place.
        (dict(background=canvas[:6], out=canvas[1:]), ValueError, "out overlaps the background"),
        (dict(foreground=shared, out=shared), ValueError, "out must not overlap the foreground"),
        (dict(out=shared, mask=shared[..., 0]), ValueError, "out must not overlap the mask"),
        (dict(out=shared, mask=np.ma.MaskedArray(shared[..., 0], mask=True)), ValueError, "out must not overlap the mask"),
    ]


@pytest.mark.parametrize("arguments, error, message", bad_calls())
def test_bad_call_raises_and_writes_nothing(arguments, error, message):
    call = dict(background=BG.copy(), foreground=FG.copy(), mode="multiply", opacity=0.5)
    call.update(arguments)
    before = {name: value.tobytes() for name, value in call.items() if isinstance(value, np.ndarray)}
    with pytest.raises(error) as raised:
        tarnwick.blend(**call)
    assert message in str(raised.value)
    for name, value in before.items():
        assert call[name].tobytes() == value, name


def test_modes_are_the_public_functions():
    assert len(tarnwick.MODES) == 28 and "normal" in tarnwick.MODES
    assert all(not name.startswith("_") for name in tarnwick.MODES)
    assert "_blend_into" in dir(_tarnwick)
