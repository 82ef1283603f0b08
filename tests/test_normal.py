"""The "normal" mode against the reference model."""

import itertools

import numpy as np
import pytest

import _tarnwick
from reference import CHANNELS, DTYPES, KERNELS, assert_close_to, normal_reference, random_image
from reference_vector import assert_paths_agree

COMBINATIONS = list(itertools.product(DTYPES, CHANNELS, DTYPES, CHANNELS))
OPACITIES = [-0.5, 0.0, 0.3, 0.5, 1.0, 1.7]


def _images(bg_dtype, bg_channels, fg_dtype, fg_channels, height=9, width=13, seed=0):
    rng = np.random.default_rng(seed)
    bg = random_image(rng, height, width, bg_channels, bg_dtype)
    fg = random_image(rng, height, width, fg_channels, fg_dtype)
    # Pin the alpha extremes so both branches of the rule are exercised.
    last = height - 1
    if bg_channels == 4:
        bg[0, :3, 3] = 0
        bg[last, -3:, 3] = 255
    if fg_channels == 4:
        fg[0, :2, 3] = 0
        fg[last, -4:-1, 3] = 255
    return bg, fg


@pytest.mark.parametrize("opacity", OPACITIES)
@pytest.mark.parametrize("bg_dtype, bg_channels, fg_dtype, fg_channels", COMBINATIONS)
def test_scalar_kernel_is_the_reference_rule(bg_dtype, bg_channels, fg_dtype, fg_channels, opacity):
    bg, fg = _images(bg_dtype, bg_channels, fg_dtype, fg_channels)
    out = _tarnwick.normal(bg, fg, opacity, "scalar")
    expected = normal_reference(bg, fg, opacity)
    assert out.dtype == bg.dtype and out.shape == bg.shape
    np.testing.assert_array_equal(out, expected)


@pytest.mark.parametrize("kernel", KERNELS[1:])
@pytest.mark.parametrize("opacity", [0.3, 1.0, 1.7])
@pytest.mark.parametrize("bg_dtype, bg_channels, fg_dtype, fg_channels", COMBINATIONS)
def test_vector_kernels_stay_close_to_the_rule(bg_dtype, bg_channels, fg_dtype, fg_channels, opacity, kernel):
    bg, fg = _images(bg_dtype, bg_channels, fg_dtype, fg_channels, height=11, width=29, seed=1)
    out = _tarnwick.normal(bg, fg, opacity, kernel)
    assert_paths_agree(out, normal_reference(bg, fg, opacity), float_ulps=6 * max(opacity, 1.0))


@pytest.mark.parametrize("bg_dtype", DTYPES)
@pytest.mark.parametrize("bg_channels", CHANNELS)
@pytest.mark.parametrize("fg_dtype", DTYPES)
def test_opaque_three_channel_layer_replaces_the_background(bg_dtype, bg_channels, fg_dtype):
    bg, fg = _images(bg_dtype, bg_channels, fg_dtype, 3)
    for opacity in (1.0, 2.0, 1e30):
        out = _tarnwick.normal(bg, fg, opacity)
        if bg_channels == 4:
            assert (out[..., 3] == 255).all()
        if bg_dtype == fg_dtype:
            assert out[..., :3].tobytes() == fg.tobytes()
        np.testing.assert_array_equal(out, normal_reference(bg, fg, opacity))


@pytest.mark.parametrize("dtype", DTYPES)
def test_alpha_extremes(dtype):
    scale = 255
    bg = np.array([[[10, 20, 30, 0], [10, 20, 30, 255], [10, 20, 30, 255], [10, 20, 30, 0]]], dtype)
    fg = np.array([[[200, 100, 50, 255], [200, 100, 50, 255], [200, 100, 50, 0], [200, 100, 50, 0]]], dtype)
    out = _tarnwick.normal(bg, fg, 1.0, "scalar")
    expected = np.array([[[200, 100, 50, scale], [200, 100, 50, scale], [10, 20, 30, scale], [0, 0, 0, 0]]], dtype)
    np.testing.assert_allclose(out.astype(np.float64), expected, atol=1e-3)


def test_opacity_above_one_extrapolates_and_clamps_only_bytes():
    bg = np.array([[[100, 100, 100, 255]]], np.float32)
    fg = np.array([[[250, 0, 125, 255]]], np.float32)
    out = _tarnwick.normal(bg, fg, 1.5, "scalar")
    np.testing.assert_allclose(out[0, 0], [325, -50, 137.5, 255], rtol=1e-5)
    out8 = _tarnwick.normal(bg.astype(np.uint8), fg.astype(np.uint8), 1.5, "scalar")
    np.testing.assert_array_equal(out8[0, 0], [255, 0, 138, 255])


@pytest.mark.parametrize("pixels", [1, 3, 4, 7, 12, 13, 16, 33])
@pytest.mark.parametrize("kernel", KERNELS)
def test_every_pixel_count_is_covered(pixels, kernel):
    bg, fg = _images(np.float32, 4, np.uint8, 4, height=1, width=pixels, seed=pixels)
    assert_close_to(_tarnwick.normal(bg, fg, 0.8, kernel), normal_reference(bg, fg, 0.8))


def test_inputs_are_left_untouched():
    bg, fg = _images(np.uint8, 4, np.float32, 4)
    bg_copy, fg_copy = bg.copy(), fg.copy()
    _tarnwick.normal(bg, fg, 0.5)
    assert np.array_equal(bg, bg_copy) and np.array_equal(fg, fg_copy)
