"""The four- and eight-lane paths of "normal": their arithmetic, how they
share the pixels with the scalar tail, and that they touch only the pixels'
own bytes."""

import itertools

import numpy as np
import pytest

import _tarnwick
from guarded import check_guarded
from reference import CHANNELS, DTYPES, KERNELS, random_image
from reference_vector import assert_paths_agree, byte_opacity, normal_byte_path, normal_vector_reference

COMBINATIONS = list(itertools.product(DTYPES, CHANNELS, DTYPES, CHANNELS))
VECTOR_KERNELS = ("sse42", "avx2")
NAN = float("nan")


def _images(bg_dtype, bg_channels, fg_dtype, fg_channels, height, width, seed, high=255.0):
    rng = np.random.default_rng(seed)
    bg = random_image(rng, height, width, bg_channels, bg_dtype, high=high)
    fg = random_image(rng, height, width, fg_channels, fg_dtype, high=high)
    # Both ends of each alpha, so both sides of the denominator test occur
    # inside vector groups.
    flat_bg = bg.reshape(-1, bg_channels)
    flat_fg = fg.reshape(-1, fg_channels)
    if bg_channels == 4:
        flat_bg[::5, 3] = 0
        flat_bg[1::7, 3] = 255
    if fg_channels == 4:
        flat_fg[::3, 3] = 0
        flat_fg[2::5, 3] = 255
    return bg, fg


# 13 pixels: 8 + 4 + 1 under avx2, 4 + 4 + 4 + 1 under sse42; 36: whole
# groups only; 35: a scalar tail of 3.
@pytest.mark.parametrize("shape", [(1, 13), (3, 12), (5, 7)])
@pytest.mark.parametrize("opacity", [0.3, 0.5, 1.0, 1.7])
@pytest.mark.parametrize("kernel", VECTOR_KERNELS)
@pytest.mark.parametrize("bg_dtype, bg_channels, fg_dtype, fg_channels", COMBINATIONS)
def test_vector_groups_follow_their_rule_and_the_tail_the_scalar_rule(
    bg_dtype, bg_channels, fg_dtype, fg_channels, kernel, opacity, shape
):
    bg, fg = _images(bg_dtype, bg_channels, fg_dtype, fg_channels, *shape, seed=shape[1])
    out = _tarnwick.normal(bg, fg, opacity, kernel)
    expected = normal_vector_reference(bg, fg, opacity, kernel)
    assert out.tobytes() == expected.tobytes()


@pytest.mark.parametrize("opacity", [0.25, 0.5, 0.999, 1.0, 1.7])
@pytest.mark.parametrize("bg_dtype, bg_channels, fg_dtype, fg_channels", COMBINATIONS)
def test_eight_lanes_equal_four_lanes_and_stay_close_to_scalar(bg_dtype, bg_channels, fg_dtype, fg_channels, opacity):
    bg, fg = _images(bg_dtype, bg_channels, fg_dtype, fg_channels, 17, 40, seed=7)
    scalar = _tarnwick.normal(bg, fg, opacity, "scalar")
    four = _tarnwick.normal(bg, fg, opacity, "sse42")
    eight = _tarnwick.normal(bg, fg, opacity, "avx2")
    assert eight.tobytes() == four.tobytes()
    # Extrapolation (opacity > 1) scales the rounding differences with it.
    assert_paths_agree(eight, scalar, uint8_steps=1, float_ulps=6 * max(opacity, 1.0))


@pytest.mark.parametrize("kernel", VECTOR_KERNELS)
@pytest.mark.parametrize("fg_dtype, fg_channels", [(np.float32, 3), (np.uint8, 4), (np.float32, 4)])
def test_three_channel_byte_output_rounds_half_to_even(fg_dtype, fg_channels, kernel):
    # Background 0 and an opaque white layer at opacity 0.5 give the unit
    # value 0.5 exactly: 127.5 stored as 128, as the scalar writer does.
    bg = np.zeros((1, 8, 3), np.uint8)
    fg = np.full((1, 8, fg_channels), 255, fg_dtype)
    out = _tarnwick.normal(bg, fg, 0.5, kernel)
    assert (out == 128).all()


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("fg_dtype, fg_channels", [(np.float32, 3), (np.uint8, 4), (np.float32, 4)])
def test_three_and_four_channel_byte_outputs_store_the_same_colours(fg_dtype, fg_channels, kernel):
    # An opaque 4-channel background reads alpha 1, exactly like a 3-channel
    # one, so both outputs must carry the same colours whatever the pack.
    bg, fg = _images(np.uint8, 4, fg_dtype, fg_channels, 9, 31, seed=3)
    bg[..., 3] = 255
    for opacity in (0.2, 0.5, 0.77):
        rgba = _tarnwick.normal(bg, fg, opacity, kernel)
        rgb = _tarnwick.normal(np.ascontiguousarray(bg[..., :3]), fg, opacity, kernel)
        np.testing.assert_array_equal(rgb, rgba[..., :3])


@pytest.mark.parametrize("kernel", VECTOR_KERNELS)
def test_byte_path_quantises_the_opacity(kernel):
    bg = np.zeros((2, 12, 3), np.uint8)
    fg = np.full((2, 12, 3), 255, np.uint8)
    # lroundf(127.5) = 128: (255 * 128 + 128 + ((255 * 128 + 128) >> 8)) >> 8.
    assert (_tarnwick.normal(bg, fg, 0.5, kernel) == 128).all()
    bg, fg = _images(np.uint8, 3, np.uint8, 3, 5, 24, seed=11)
    # 0.999 * 255 rounds to 255: the layer replaces the background.
    np.testing.assert_array_equal(_tarnwick.normal(bg, fg, 0.999, kernel), fg)
    # 1/255 rounds to 1: background * 254 + layer * 1, to the nearest byte.
    expected = (bg.astype(np.int32) * 254 + fg.astype(np.int32) + 127) // 255
    np.testing.assert_array_equal(_tarnwick.normal(bg, fg, 1 / 255, kernel), expected)


@pytest.mark.parametrize("kernel", VECTOR_KERNELS)
def test_byte_path_is_exact_for_every_pair_of_bytes_and_every_weight(kernel):
    values = np.arange(256, dtype=np.uint8)
    bg = np.repeat(values, 256).reshape(1, -1, 1).repeat(3, axis=2)
    fg = np.tile(values, 256).reshape(1, -1, 1).repeat(3, axis=2)
    bg[..., 1] = 255 - bg[..., 1]  # channels must not be mixed up
    opacities = [0.001, *(k / 255 for k in range(1, 255)), 0.999]
    assert sorted(byte_opacity(o) for o in opacities) == list(range(256))
    for opacity in opacities:
        out = _tarnwick.normal(bg, fg, opacity, kernel)
        np.testing.assert_array_equal(out, normal_byte_path(bg, fg, opacity), err_msg=f"opacity {opacity}")


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("bg_dtype, fg_dtype", list(itertools.product(DTYPES, DTYPES)))
def test_transparent_over_transparent_is_zero(bg_dtype, fg_dtype, kernel):
    bg = np.full((1, 13, 4), 200, bg_dtype)
    fg = np.full((1, 13, 4), 100, fg_dtype)
    bg[..., 3] = 0
    fg[..., 3] = 0
    for opacity in (0.5, 1.0, 2.0):
        assert not _tarnwick.normal(bg, fg, opacity, kernel).any()


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("bg_channels, fg_channels", list(itertools.product(CHANNELS, CHANNELS)))
def test_out_of_range_values_survive_float_outputs_and_clamp_in_bytes(bg_channels, fg_channels, kernel):
    bg, fg = _images(np.float32, bg_channels, np.float32, fg_channels, 2, 13, seed=2, high=1000.0)
    if bg_channels == 4:
        bg[..., 3] = 255
    if fg_channels == 4:
        fg[..., 3] = 255
    out = _tarnwick.normal(bg, fg, 0.5, kernel)
    expected = (bg[..., :3] + fg[..., :3]) / 2
    np.testing.assert_allclose(out[..., :3], expected, rtol=1e-6)
    assert (out[..., :3] > 255).mean() > 0.5

    fg[0, :5, :3] = [np.inf, -np.inf, NAN]
    bg8 = np.full(bg.shape, 255, np.uint8)
    out8 = _tarnwick.normal(bg8, fg, 0.5, kernel)
    np.testing.assert_array_equal(out8[0, :5, :3], np.tile([255, 0, 0], (5, 1)))
    assert_paths_agree(out8, _tarnwick.normal(bg8, fg, 0.5, "scalar"))


@pytest.mark.parametrize("kernel", KERNELS)
@pytest.mark.parametrize("bg_dtype, bg_channels, fg_dtype, fg_channels", COMBINATIONS)
def test_groups_ending_at_the_end_of_an_image_stay_inside_it(bg_dtype, bg_channels, fg_dtype, fg_channels, kernel):
    # Inputs and output sit against an inaccessible page (after their last
    # byte, then before their first), for 1 to 33 pixels: every split into
    # eight-, four-lane groups and tail, and the prefetches of the eight-lane
    # loops pointing past the end. Every pixel is checked against the model.
    check_guarded(
        _tarnwick.normal, bg_dtype, bg_channels, fg_dtype, fg_channels, kernel,
        opacities=(0.0, 0.5, 1.0), expected=normal_vector_reference,
    )
