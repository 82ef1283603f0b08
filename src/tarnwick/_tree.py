"""``tarnwick.flatten`` over a tree: groups, clipping and hidden layers.

The whole tree is checked first and turned into a plan: pass-through groups
dissolve into their children (opacity multiplied in, offsets added), every
layer gets its position on the canvas, and each isolated group or clipping
run becomes a unit with the rectangle it covers. Only then is a pixel
written. Runs of layers that meet the same picture go through the flat
``flatten`` in one pass; a unit is drawn into a transparent scratch image
of its own rectangle (never the whole canvas when it is smaller) and that
image is composited as one layer. A scratch image lives while its unit is
drawn, so nesting N deep holds at most N of them, and every step is a call
whose result does not depend on the thread count.
"""

from __future__ import annotations

import dataclasses
from dataclasses import dataclass
from typing import Any, cast

import numpy as np

from tarnwick import _floats
from tarnwick._checks import _check_mask, _check_opacity, _native_dtype, _overlaps, check_out, \
    check_threads, plain_mask
from tarnwick._flatten import (
    Group, Layer, _field_error, check_flag, check_layer, check_layers, check_name, layer_arrays,
)
from tarnwick._flatten import flatten as plain_flatten
from tarnwick._names import CHANGES_WITHOUT_SOURCE, check_operator_channels, resolve_blend, \
    resolve_operator
from tarnwick._place import check_offset, is_colour
from tarnwick._typing import Image, KernelName

# Groups inside groups deeper than this are refused: a tree that deep is a
# mistake (or a hostile file), and the plan is built by recursion.
MAX_DEPTH = 64

Rect = tuple[int, int, int, int]  # left, top, right, bottom on the canvas


def _meet(a: Rect, b: Rect) -> Rect:
    left, top = max(a[0], b[0]), max(a[1], b[1])
    return left, top, max(left, min(a[2], b[2])), max(top, min(a[3], b[3]))


def _empty(rect: Rect) -> bool:
    return rect[2] <= rect[0] or rect[3] <= rect[1]


def _join(rects: list[Rect]) -> Rect | None:
    full = [r for r in rects if not _empty(r)]
    if not full:
        return None
    return (min(r[0] for r in full), min(r[1] for r in full), max(r[2] for r in full),
            max(r[3] for r in full))


@dataclass(eq=False)
class _Unit:
    """An isolated group, or a clipping base with its run: `content` drawn
    onto a transparent image of `rect`, then `clipped` onto that, then the
    image composited as one layer."""

    content: list[Layer | _Unit]
    clipped: list[Layer]
    rect: Rect
    blend: str
    operator: str
    opacity: float
    model: str
    mask: np.ndarray | None
    mask_at: tuple[int, int]


@dataclass
class _Context:
    dtype: np.dtype[Any]
    premultiplied: bool
    scale: float
    # Every array that will be read, by its path: for out's overlap check
    # and the 0..1 float warning.
    arrays: list[tuple[str, np.ndarray]] = dataclasses.field(default_factory=list)


def _over(node: Layer | _Unit) -> bool:
    """Whether the node is composited with normal and source_over in the
    standard model: a stack of such nodes is associative, so an isolated
    group of them at full opacity is the same as its layers drawn in place."""
    if isinstance(node, Layer):
        return node.model == "standard" and node.blend == "normal" and node.operator == "source_over"
    return node.model == "standard" and node.blend == "normal" and node.operator == "source_over"


def _rect_of(node: Layer | _Unit) -> Rect:
    if isinstance(node, _Unit):
        return node.rect
    shape = np.shape(node.image)
    return node.x, node.y, node.x + shape[1], node.y + shape[0]


def _leaf(
    path: str, layer: Layer, x: int, y: int, opacity_times: float, target: Rect, channels: int,
    context: _Context, **changes: Any,
) -> tuple[Layer, Rect]:
    """The checked layer at its place on the canvas, with `changes` made."""
    like = np.empty((target[3] - target[1], target[2] - target[0], 0), context.dtype)
    arrays = layer_arrays(path, layer, like, context.scale)
    blend, operator, opacity = check_layer(path, layer, (*like.shape[:2], channels),
                                           context.premultiplied, arrays)
    image, mask = arrays
    context.arrays.append((f"{path}.image", image))
    if mask is not None:
        context.arrays.append((f"{path}.mask", mask))
    # A colour covers the picture it is drawn on, as in a flat stack.
    left, top = (target[0], target[1]) if is_colour(layer.image) else (x, y)
    fields: dict[str, Any] = dict(image=image, mask=mask, blend=blend, operator=operator,
                                  opacity=opacity * opacity_times, x=left + layer.x,
                                  y=top + layer.y, name=None, clip=False, visible=True)
    fields.update(changes)
    placed = dataclasses.replace(layer, **fields)
    return placed, _meet(_rect_of(placed), target)


def _group_fields(path: str, group: Group) -> tuple[str, str, float, bool, int, int]:
    field = "blend"
    try:
        blend = resolve_blend(group.blend)
        field = "operator"
        operator = resolve_operator(group.operator)
        field = "opacity"
        opacity = _check_opacity(group.opacity)
        field = "isolated"
        isolated = check_flag("isolated", group.isolated)
        field = "name"
        check_name(group.name)
        field = "x"
        x = check_offset("x", group.x)
        field = "y"
        y = check_offset("y", group.y)
        if not isolated:
            # Its children meet the layers below one by one: there is no
            # picture of the group for a blend, an operator or a mask to act on.
            for field, value, default in (("blend", blend, "normal"),
                                          ("operator", operator, "source_over"),
                                          ("mask", group.mask, None)):
                if value != default if field != "mask" else value is not None:
                    shown = "a mask" if field == "mask" else repr(value)
                    raise ValueError(
                        f"{field} of a pass-through group (isolated=False) is not used, got "
                        f"{shown}: its layers are composited one by one onto the layers below; "
                        "pass isolated=True to composite the group as one layer"
                    )
    except (TypeError, ValueError) as exc:
        raise _field_error(path, field, exc) from None
    return blend, operator, opacity, isolated, x, y


def _group_mask(path: str, group: Group, context: _Context) -> np.ndarray | None:
    if group.mask is None:
        return None
    try:
        mask = plain_mask(group.mask)
        if mask.ndim not in (2, 3) or mask.ndim == 3 and mask.shape[2] != 1:
            raise ValueError(f"mask must have shape (height, width) or (height, width, 1), "
                             f"got {tuple(mask.shape)}")
        _check_mask(mask, mask.shape[0], mask.shape[1])
    except (TypeError, ValueError) as exc:
        raise _field_error(path, "mask", exc) from None
    context.arrays.append((f"{path}.mask", mask))
    return mask


def _flag(path: str, item: Any, field: str) -> bool:
    try:
        return check_flag(field, getattr(item, field))
    except TypeError as exc:
        raise _field_error(path, field, exc) from None


def _plan(
    items: Any, prefix: str, x: int, y: int, weight: float, target: Rect, channels: int,
    depth: int, context: _Context,
) -> list[Layer | _Unit]:
    """The nodes that draw `items` (the layers of one group, bottom first,
    whose origin is at x, y on the canvas) onto a picture covering
    `target`, with `channels`; `weight` multiplies every opacity."""
    if depth > MAX_DEPTH:
        raise ValueError(f"{prefix} is nested more than {MAX_DEPTH} groups deep")
    if prefix != "layers":
        try:
            items = check_layers(items)
        except TypeError:
            kind = type(items).__name__
            raise TypeError(f"{prefix} must be a sequence of tarnwick.Layer and tarnwick.Group, "
                            f"not {kind}") from None
    for i, item in enumerate(items):
        if not isinstance(item, (Layer, Group)):
            raise TypeError(f"{prefix}[{i}] must be a tarnwick.Layer or tarnwick.Group, "
                            f"not {type(item).__name__}")
    nodes: list[Layer | _Unit] = []
    i = 0
    while i < len(items):
        base, path = items[i], f"{prefix}[{i}]"
        if isinstance(base, Layer) and _flag(path, base, "clip"):
            raise ValueError(f"{path} clips to the layer below it, but it has none")
        end = i + 1
        while end < len(items) and isinstance(items[end], Layer) \
                and _flag(f"{prefix}[{end}]", items[end], "clip"):
            end += 1
        run = list(range(i + 1, end))
        i = end
        if not _flag(path, base, "visible"):
            continue  # its clipped layers go with it
        shown = [j for j in run if _flag(f"{prefix}[{j}]", items[j], "visible")]
        unit: _Unit
        if isinstance(base, Group):
            blend, operator, opacity, isolated, dx, dy = _group_fields(path, base)
            if not isolated:
                if run:
                    raise ValueError(
                        f"{prefix}[{run[0]}] clips to {path}, a pass-through group, which has no "
                        "picture of its own: clip to a layer or an isolated group")
                nodes += _plan(base.layers, f"{path}.layers", x + dx, y + dy, weight * opacity,
                               target, channels, depth + 1, context)
                continue
            check_operator_channels_at(path, operator, channels)
            mask = _group_mask(path, base, context)
            content = _plan(base.layers, f"{path}.layers", x + dx, y + dy, 1.0, target, 4,
                            depth + 1, context)
            if (not shown and weight * opacity == 1.0 and mask is None and blend == "normal"
                    and operator == "source_over" and all(_over(node) for node in content)):
                nodes += content  # the same picture, drawn without a scratch image
                continue
            rect = _join([_meet(_rect_of(node), target) for node in content])
            if mask is not None and rect is not None:
                rect = _meet(rect, (x + dx, y + dy, x + dx + mask.shape[1], y + dy + mask.shape[0]))
            unit = _Unit(content, [], rect or (0, 0, 0, 0), blend, operator, weight * opacity,
                         "standard", mask, (x + dx, y + dy))
        else:
            if not shown:
                nodes.append(_leaf(path, base, x, y, weight, target, channels, context)[0])
                continue
            placed, rect = _leaf(path, base, x, y, weight, target, channels, context)
            copy = dataclasses.replace(placed, blend="normal", operator="source_over", opacity=1.0,
                                       mask=None, model="standard")
            unit = _Unit([copy], [], rect, placed.blend, placed.operator, placed.opacity,
                         placed.model, cast("np.ndarray | None", placed.mask), (placed.x, placed.y))
        for j in shown:
            clipped, where = items[j], f"{prefix}[{j}]"
            if clipped.operator != "source_over":
                raise ValueError(
                    f"{where}.operator: a clipped layer is composited onto its base with "
                    f"source_atop, so it takes no operator of its own; got {clipped.operator!r}")
            operator = "source_atop" if clipped.model == "standard" else "source_over"
            unit.clipped.append(_leaf(where, clipped, x, y, 1.0, unit.rect, 4, context,
                                      operator=operator)[0])
        if _empty(unit.rect):
            if unit.model != "standard" or unit.operator not in CHANGES_WITHOUT_SOURCE:
                continue  # draws nothing
            unit.rect = (target[0], target[1], target[0], target[1])
        nodes.append(unit)
    return nodes


def check_operator_channels_at(path: str, operator: str, channels: int) -> None:
    try:
        check_operator_channels(operator, channels, "canvas")
    except ValueError as exc:
        raise _field_error(path, "operator", exc) from None


def _at(layer: Layer, origin: tuple[int, int]) -> Layer:
    return dataclasses.replace(layer, x=layer.x - origin[0], y=layer.y - origin[1])


def _scratch(shape: tuple[int, int, int], dtype: np.dtype[Any]) -> np.ndarray:
    """A transparent picture for a unit to be drawn on."""
    return np.zeros(shape, dtype)


def _draw(nodes: list[Layer | _Unit], picture: np.ndarray, origin: tuple[int, int],
          options: dict[str, Any]) -> None:
    """The nodes onto `picture`, in place; its top-left pixel is at `origin`
    on the canvas."""
    run: list[Layer] = []
    for node in nodes:
        if isinstance(node, Layer):
            run.append(_at(node, origin))
            continue
        if run:
            plain_flatten(picture, run, out=picture, **options)
            run = []
        _draw_unit(node, picture, origin, options)
    if run:
        plain_flatten(picture, run, out=picture, **options)


def _draw_unit(unit: _Unit, picture: np.ndarray, origin: tuple[int, int],
               options: dict[str, Any]) -> None:
    # A function of its own: its scratch picture is gone when it returns,
    # before the next unit of the same level makes one.
    left, top, right, bottom = unit.rect
    # Integer canvases get a float32 picture: a group is then rounded once,
    # where it meets the canvas, not once per layer inside it as well.
    dtype = np.dtype(np.float32) if picture.dtype.kind == "u" else picture.dtype
    scratch = _scratch((bottom - top, right - left, 4), dtype)
    _draw(unit.content, scratch, (left, top), options)
    if unit.clipped:
        plain_flatten(scratch, [_at(c, (left, top)) for c in unit.clipped], out=scratch, **options)
    mask = unit.mask
    if mask is not None:
        mx, my = unit.mask_at
        mask = mask[top - my:bottom - my, left - mx:right - mx]
    make: Any = Layer  # names checked when the plan was made
    whole = make(scratch, unit.blend, unit.opacity, mask, unit.operator, unit.model,
                 x=left - origin[0], y=top - origin[1])
    plain_flatten(picture, [whole], out=picture, **options)


def flatten_tree(
    canvas: np.ndarray, stack: list[Any], out: Image | None, kernel: KernelName, threads: Any,
    premultiplied: bool, float_scale: float, space: Any,
) -> Image:
    """``flatten`` of a list holding groups, clipped or hidden layers; the
    canvas and options are checked by the caller."""
    dtype = _native_dtype(np.dtype(canvas.dtype))
    assert dtype is not None
    height, width, channels = canvas.shape
    scale = float(float_scale)
    context = _Context(dtype, premultiplied, scale)
    nodes = _plan(stack, "layers", 0, 0, 1.0, (0, 0, width, height), channels, 0, context)
    _floats.warn_if_unit(float_scale, ("canvas", canvas),
                         *((name, a) for name, a in context.arrays
                           if name.endswith(".image") and a.dtype.kind == "f"), stacklevel=4)
    count = check_threads(threads)
    in_place = False
    if out is not None:
        in_place = check_out(out, canvas, np.empty(0, np.uint8), None, ("canvas", "canvas"))
        for name, array in context.arrays:
            if _overlaps(out, array):
                raise ValueError(f"out must not overlap the {name}")
    result = np.empty(canvas.shape, dtype) if out is None else out
    if not in_place:
        np.copyto(result, canvas)
    options = dict(kernel=kernel, threads=count, premultiplied=premultiplied,
                   float_scale=_floats.passed_on(float_scale), space=space)
    _draw(nodes, result, (0, 0), options)
    return result
