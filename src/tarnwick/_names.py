"""The names of both families and of the kernels, and the checks that turn
a name a caller gives into the one the native module takes.

The layer modes (``tarnwick.blend``) and the standard model's blend
functions and operators (``tarnwick.composite``) share some names but never
stand in for each other: a name of one family given to the other is an
error that says where it belongs. Every list comes from the native module.
"""

from __future__ import annotations

import difflib
from typing import Any, cast

import _tarnwick

from ._typing import Blend, KernelName, Mode, Operator

# In the module's own order ("normal", the separable modes, the colour-model
# modes together); dir() would sort them.
MODES: tuple[Mode, ...] = cast("tuple[Mode, ...]", tuple(
    name for name, value in vars(_tarnwick).items()
    if callable(value) and not name.startswith("_") and name != "kernel_available"
))


KERNELS: tuple[KernelName, ...] = ("auto", "scalar", "sse42", "avx2")


# Membership tests on every call: a set, not a tuple scan.
_MODE_SET = frozenset(MODES)


_KERNEL_SET = frozenset(KERNELS)


def families(modes: Any = None) -> dict[str, tuple[str, ...]]:
    """The modes by family: "normal", separable, colour-model (HSV, HSL, LCH)."""
    modes = MODES if modes is None else tuple(modes)
    colour = tuple(m for m in modes if m.startswith(("hsv_", "hsl_", "lch_")))
    separable = tuple(m for m in modes if m != "normal" and m not in colour)
    return {"normal": tuple(m for m in modes if m == "normal"), "separable": separable,
            "colour-model": colour}


def closest_modes(name: str) -> list[str]:
    """Up to three mode names that look like `name`, best first."""
    return difflib.get_close_matches(name, MODES, n=3, cutoff=0.5)


def check_mode(mode: Any) -> Mode:
    if not isinstance(mode, str):
        raise TypeError(f"mode must be a string, one of tarnwick.MODES, not {type(mode).__name__}")
    if mode not in _MODE_SET:
        family = standard_family(mode)
        if family:
            raise ValueError(
                f"{mode!r} is {family} of tarnwick.composite, not a layer mode of tarnwick.blend"
            )
        close = closest_modes(mode)
        hint = ("; closest: " + ", ".join(repr(m) for m in close)) if close else (
            "; see tarnwick.MODES")
        raise ValueError(f"unknown blend mode {mode!r}{hint}")
    return mode


def check_kernel(kernel: Any) -> KernelName:
    name = kernel if isinstance(kernel, str) else getattr(kernel, "value", None)
    if not isinstance(name, str):
        raise TypeError("kernel must be a string or KernelKind")
    if name not in _KERNEL_SET:
        raise ValueError(f"unknown kernel {name!r}; expected one of {', '.join(map(repr, KERNELS))}")
    return name


# The native entry takes these names in this order.
# The native entry takes these names in this order.
BLENDS: tuple[Blend, ...] = cast("tuple[Blend, ...]", _tarnwick._blend_functions)


OPERATORS: tuple[Operator, ...] = cast("tuple[Operator, ...]", _tarnwick._operators)


# Operators whose result can be transparent where the backdrop is opaque: a
# 3-channel result has nowhere to put that alpha.
# Operators under which a transparent source still changes the backdrop:
# a placed layer changes the whole backdrop under them, not its overlap only.
CHANGES_WITHOUT_SOURCE = frozenset({
    "clear", "copy", "source_in", "destination_in", "source_out", "destination_atop",
})

NEEDS_ALPHA = frozenset({
    "clear", "copy", "source_in", "source_out", "destination_in", "destination_out",
    "destination_atop", "xor",
})


_BLEND_SET = frozenset(BLENDS)


_OPERATOR_SET = frozenset(OPERATORS)


def _canonical(name: str) -> str:
    # CSS spells the names with hyphens.
    return name.replace("-", "_")


def _closest(name: str, names: tuple[str, ...]) -> str:
    close = difflib.get_close_matches(name, names, n=3, cutoff=0.5)
    return ", ".join(repr(n) for n in close)


def standard_family(name: str) -> str | None:
    """"a blend function" or "an operator" when `name` belongs only to the
    standard model, for the error of a layer-model call given it."""
    canonical = _canonical(name)
    if canonical in MODES:
        return None
    if canonical in BLENDS:
        return "a blend function"
    if canonical in OPERATORS:
        return "an operator"
    return None


def resolve_blend(name: Any) -> Blend:
    """The blend function's name in ``BLENDS``, or a one-line error."""
    if not isinstance(name, str):
        raise TypeError(f"blend must be a string, one of tarnwick.BLENDS, not {type(name).__name__}")
    canonical = _canonical(name)
    if canonical in BLENDS:
        return canonical
    close = _closest(canonical, BLENDS)
    hint = f"; closest: {close}" if close else ""
    if canonical in MODES:
        raise ValueError(
            f"blend {name!r} is a layer mode of tarnwick.blend, not a blend function of "
            f"tarnwick.composite{hint}"
        )
    if canonical in OPERATORS:
        raise ValueError(f"blend {name!r} is an operator: pass it as operator={canonical!r}")
    raise ValueError(f"blend must be one of tarnwick.BLENDS, got {name!r}{hint}")


def resolve_operator(name: Any) -> Operator:
    """The operator's name in ``OPERATORS``, or a one-line error."""
    if not isinstance(name, str):
        raise TypeError(
            f"operator must be a string, one of tarnwick.OPERATORS, not {type(name).__name__}"
        )
    canonical = _canonical(name)
    if canonical in OPERATORS:
        return canonical
    if canonical in BLENDS or canonical in MODES:
        raise ValueError(f"operator {name!r} is a blend mode: pass it as blend={canonical!r}")
    close = _closest(canonical, OPERATORS)
    hint = f"; closest: {close}" if close else ""
    raise ValueError(f"operator must be one of tarnwick.OPERATORS, got {name!r}{hint}")


def check_operator_channels(operator: str, channels: int, backdrop: str = "backdrop") -> None:
    if channels == 3 and operator in NEEDS_ALPHA:
        raise ValueError(
            f"operator {operator!r} can leave pixels transparent: it needs a 4-channel {backdrop}, "
            "got 3 channels"
        )
