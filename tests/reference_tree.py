"""A float64 model of layer trees, from their rules, on whole canvases.

Every layer is first laid on a transparent canvas-sized image (its mask on a
canvas-sized mask that is 0 outside it), so no extent or offset arithmetic
of the code under test is repeated here. Then, bottom first in each group:

- a pass-through group draws its layers onto the backdrop in turn, each at
  its opacity times the group's (and its ancestors' pass-through opacities);
- an isolated group draws its layers onto a transparent canvas, which meets
  the backdrop as one layer with the group's blend, operator, opacity and
  mask (the mask lies at the group's origin, 0 outside it);
- a base and the clipped layers above it: the base's image, then each
  clipped layer onto it with its blend and source_atop, and that picture
  meets the backdrop with the base's blend, operator, opacity and mask;
- hidden layers and groups, and the clipped layers of a hidden base, draw
  nothing.

Values are float64 on 0..255 (uint16 divided by 257); each step is
reference_composite's model of one composite. What is drawn onto the canvas
is stored in the canvas's type after each step, as one call per layer would
store it; a group's own picture is kept exact.
"""

import numpy as np

from reference_composite import composite_model

import tarnwick


def on_255(image):
    image = np.asarray(image)
    return image / 257.0 if image.dtype == np.uint16 else image.astype(np.float64)


def _laid(image, x, y, height, width):
    image = on_255(image)
    if image.shape[2] == 3:
        image = np.concatenate([image, np.full(image.shape[:2] + (1,), 255.0)], axis=2)
    full = np.zeros((height, width, 4))
    top, left = max(y, 0), max(x, 0)
    bottom, right = min(y + image.shape[0], height), min(x + image.shape[1], width)
    if bottom > top and right > left:
        full[top:bottom, left:right] = image[top - y:bottom - y, left - x:right - x]
    return full


def _laid_mask(mask, size, x, y, height, width):
    weights = np.full(size, 255.0) if mask is None else np.asarray(mask, np.float64).reshape(size)
    return _laid(np.repeat(weights[..., None], 3, axis=2), x, y, height, width)[..., 0]


def _stored(values, dtype):
    if dtype is None or np.dtype(dtype).kind == "f":
        return values
    steps = 257.0 if np.dtype(dtype) == np.uint16 else 1.0
    return np.round(np.clip(values, 0, 255) * steps) / steps


def _draw(backdrop, items, x, y, weight, premultiplied, dtype=None):
    def meet(backdrop, picture, blend, operator, opacity, mask):
        result = composite_model(blend, operator, premultiplied, backdrop, picture, opacity, mask)[0]
        return _stored(result, dtype)

    height, width = backdrop.shape[:2]
    i = 0
    while i < len(items):
        base, i = items[i], i + 1
        clipped = []
        while i < len(items) and isinstance(items[i], tarnwick.Layer) and items[i].clip:
            clipped.append(items[i])
            i += 1
        if not base.visible:
            continue
        bx, by = x + base.x, y + base.y
        if isinstance(base, tarnwick.Group) and not base.isolated:
            backdrop = _draw(backdrop, base.layers, bx, by, weight * base.opacity, premultiplied,
                             dtype)
            continue
        if isinstance(base, tarnwick.Group):
            picture = _draw(np.zeros((height, width, 4)), base.layers, bx, by, 1.0, premultiplied)
            mask = None if base.mask is None else _laid_mask(
                base.mask, np.shape(base.mask)[:2], bx, by, height, width)
        else:
            picture = _laid(base.image, bx, by, height, width)
            mask = _laid_mask(base.mask, np.shape(base.image)[:2], bx, by, height, width)
        for layer in (c for c in clipped if c.visible):
            size = np.shape(layer.image)[:2]
            picture = composite_model(
                layer.blend, "source_atop", premultiplied, picture,
                _laid(layer.image, x + layer.x, y + layer.y, height, width), layer.opacity,
                _laid_mask(layer.mask, size, x + layer.x, y + layer.y, height, width))[0]
        backdrop = meet(backdrop, picture, base.blend, base.operator, base.opacity * weight, mask)
    return backdrop


def tree_model(canvas, layers, premultiplied=False):
    """The canvas after the tree, float64 on 0..255 (the canvas's channels)."""
    return _draw(on_255(canvas), list(layers), 0, 0, 1.0, premultiplied, np.asarray(canvas).dtype)
