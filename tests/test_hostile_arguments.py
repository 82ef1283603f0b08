"""Hostile arguments for the blend entry points, drawn by Hypothesis.

Every call must either succeed or raise a documented error (TypeError,
ValueError, MemoryError) with a one-line message, and a failed call must leave
every array it was given untouched, `out` above all. The draws run in a child
process, so a crash fails one test instead of ending the run:

    python tests/test_hostile_arguments.py blend MODES 300 [FAMILY ...]

FAMILY switches on argument families that are left out by default (see
OPTIONAL_FAMILIES).
"""

import subprocess
import sys
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import tarnwick

DOCUMENTED = (TypeError, ValueError, MemoryError)
EXAMPLES = 300

# Families the draw can switch on one by one (all are on by default):
#   huge_int_opacity: an int beyond float range as opacity.
#   mask_subclass: np.ma.MaskedArray and np.matrix masks.
OPTIONAL_FAMILIES = ("huge_int_opacity", "mask_subclass")

# The entry points under test: the function's name in tarnwick, the tuple of its
# mode names, and its own keyword arguments beyond kernel/out/mask/threads.
TARGETS = {
    "blend": ("MODES", {}),
    "composite": ("BLENDS", {"operator": ("OPERATORS", "source_over"), "premultiplied": None}),
}


def _target(name):
    marks = () if hasattr(tarnwick, name) else pytest.mark.skip(reason=f"tarnwick.{name} does not exist here")
    return pytest.param(name, marks=marks, id=name)


def _run(function, families):
    names = TARGETS[function][0]
    proc = subprocess.run([sys.executable, "-X", "faulthandler", __file__, function, names, str(EXAMPLES), *families],
                          capture_output=True, text=True, timeout=600)
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout[-6000:]}\n{proc.stderr[-6000:]}"


@pytest.mark.parametrize("function", [_target(name) for name in TARGETS])
def test_hostile_arguments_give_documented_errors_and_leave_out_untouched(function):
    pytest.importorskip("hypothesis")
    _run(function, OPTIONAL_FAMILIES)


# --- the child process --------------------------------------------------------


def _strategies(names, families, extra):
    from hypothesis import strategies as st

    def mostly(valid, hostile):
        # Mostly valid arguments, so that calls get past the first check.
        return st.sampled_from([*valid] * (12 * len(hostile) // max(len(valid), 1) + 1) + [*hostile])

    dtypes = mostly(["u1", "f4"], [">f4", "<f4", "f8", "i2", "u2", "?", ">u1"])
    layouts = mostly(["c"], ["fortran", "strided", "unaligned", "readonly", "broadcast"])
    fills = st.sampled_from(["random", "extreme"])

    def array(rng, shape, dtype, layout, fill):
        dtype = np.dtype(dtype)
        if fill == "extreme" and dtype.kind == "f":
            values = rng.choice(np.array([0, 255, -1, 256, np.nan, np.inf, -np.inf, 1e30]), shape)
        else:
            values = rng.integers(0, 256, shape)
        if layout == "fortran":
            return np.asfortranarray(values.astype(dtype))
        if layout == "strided":
            wide = np.zeros(shape[:1] + (shape[1] * 2,) + shape[2:] if len(shape) > 1 else (shape[0] * 2,), dtype)
            view = wide[:, ::2] if len(shape) > 1 else wide[::2]
            view[...] = values
            return view
        if layout == "unaligned" and dtype.itemsize > 1:
            raw = np.zeros(int(np.prod(shape)) * dtype.itemsize + 1, np.uint8)
            view = raw[1:].view(dtype).reshape(shape)
            view[...] = values
            return view
        made = values.astype(dtype)
        if layout == "readonly":
            made.flags.writeable = False
        if layout == "broadcast" and len(shape) > 1 and shape[0]:
            made = np.broadcast_to(made[:1], shape)
        return made

    @st.composite
    def image(draw, rng, h, w):
        form = draw(mostly(["array"], ["list", "scalar", "none", "string", "masked"]))
        channels = draw(mostly([3, 4], [1, 2, 5]))
        shape = draw(mostly([(h, w, channels)], [(h, w), (1, h, w, channels), (h + 1, w, channels)]))
        if form == "list":
            return rng.integers(0, 256, shape).tolist()
        if form == "scalar":
            return 7
        if form == "none":
            return None
        if form == "string":
            return "image.png"
        made = array(rng, shape, draw(dtypes), draw(layouts), draw(fills))
        return np.ma.MaskedArray(made, mask=rng.random(shape) < 0.3) if form == "masked" else made

    @st.composite
    def mask(draw, rng, h, w):
        if "mask_subclass" in families:
            form = draw(st.sampled_from(["masked", "matrix", "array", "none"]))
        else:
            form = draw(mostly(["none", "array"], ["list", "wrong shape"]))
        if form == "none":
            return None
        if form == "list":
            return rng.integers(0, 256, (h, w)).tolist()
        shape = (h + 1, w) if form == "wrong shape" else draw(st.sampled_from([(h, w), (h, w, 1)]))
        made = array(rng, shape, draw(dtypes), draw(layouts), draw(fills))
        if form == "masked":
            return np.ma.MaskedArray(made, mask=rng.random(made.shape) < 0.3)
        if form == "matrix":
            return np.asmatrix(made.reshape(h, w))
        return made

    @st.composite
    def out(draw, rng, background, foreground, mask_):
        bg = background if isinstance(background, np.ndarray) else None
        form = draw(mostly(["none", "fresh", "background"], [
            "foreground", "mask", "overlap", "wrong dtype", "wrong shape", "strided", "readonly", "fortran",
            "list"]))
        native = bg.dtype.newbyteorder("=") if bg is not None else np.dtype("u1")
        shape = bg.shape if bg is not None else (2, 2, 3)
        if form == "none":
            return None
        if form == "background":
            return background
        if form == "foreground":
            return foreground
        if form == "mask":
            return mask_
        if form == "list":
            return np.zeros(shape).tolist()
        if form == "overlap":
            return "overlap"  # made with the background, in call()
        if form == "wrong dtype":
            return array(rng, shape, "f8" if native == np.dtype("f4") else "f4", "c", "random")
        if form == "wrong shape":
            return array(rng, shape[:-1] + (shape[-1] % 4 + 3,), native, "c", "random")
        layout = {"fresh": "c", "strided": "strided", "readonly": "readonly", "fortran": "fortran"}[form]
        return array(rng, shape, native, layout, "random")

    big = [2**1024, -(2**1024), 10**400] if "huge_int_opacity" in families else []
    opacity = st.one_of(
        st.floats(0, 1), st.floats(0, 1), st.floats(allow_nan=True, allow_infinity=True), st.integers(-3, 3),
        st.sampled_from([0.5, 1e308, -1e308, 2.0**128, 3.4028235e38, 2**100, -(2**100), "0.5", None, b"1",
                         1j, np.float32(0.5), np.float64("nan"), np.int64(1), True, Fraction(1, 3),
                         Decimal("0.5"), Decimal("NaN"), np.array(0.5), [0.5], *big]))
    kernel = mostly([*tarnwick.KERNELS, *tarnwick.KernelKind], ["AVX2", "", "neon", None, 0, b"auto"])
    threads = mostly([None, 0, 1, 2, 3, 8, 10**6, 2**70, np.int64(2), np.uint8(3)], [-1, True, 1.5, "2"])
    mode = mostly(names, ["", "Normal", "multipy", "color_dodge", "source_over", None, 3, b"normal"])

    @st.composite
    def call(draw):
        rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
        h, w = draw(st.integers(0, 5)), draw(st.sampled_from([0, 1, 3, 13, 40, 70]))
        background = draw(image(rng, h, w))
        foreground = background if draw(st.integers(0, 20)) == 0 else draw(image(rng, h, w))
        mask_ = draw(mask(rng, h, w))
        out_ = draw(out(rng, background, foreground, mask_))
        if isinstance(out_, str):
            # A background and an `out` of its shape and type, one pixel apart in one buffer.
            shape = np.shape(background) if isinstance(background, np.ndarray) and np.ndim(background) == 3 \
                else (h, w, 3)
            dtype = background.dtype if isinstance(background, np.ndarray) else np.dtype("u1")
            n, step = int(np.prod(shape)), shape[-1]
            buffer = array(rng, (n + step,), dtype, "c", "random")
            background, out_ = buffer[:n].reshape(shape), buffer[step:].reshape(shape)
        kwargs = {"kernel": draw(kernel), "out": out_, "mask": mask_, "threads": draw(threads)}
        for key, choices in extra.items():
            if draw(st.booleans()):
                kwargs[key] = draw(choices)
        return background, foreground, draw(mode), draw(opacity), kwargs

    return call()


def _extra_strategies(function):
    from hypothesis import strategies as st

    strategies = {}
    for key, choice in TARGETS[function][1].items():
        if choice is None:
            strategies[key] = st.sampled_from([False, True, 1, None, "yes"])
        else:
            names, default = choice
            strategies[key] = st.sampled_from([*getattr(tarnwick, names, (default,)), "bogus", None, 3])
    return strategies


def _state(value):
    """What to compare before and after a call: an array's bytes (and mask)."""
    if isinstance(value, np.ndarray):
        return (value.tobytes(), np.ma.getmaskarray(value).tobytes() if np.ma.isMaskedArray(value) else None)
    return None


def _plain_mask_kwargs(kwargs):
    """For a mask of an ndarray subclass, the same arguments with its plain data
    instead (masked entries hide the layer), else None. An `out` that is the
    mask becomes the plain data too."""
    mask = kwargs["mask"]
    if not isinstance(mask, np.ndarray) or type(mask) is np.ndarray:
        return None
    plain = np.asarray(np.ma.filled(mask, 0) if np.ma.isMaskedArray(mask) else mask)
    return dict(kwargs, mask=plain, out=plain if kwargs["out"] is mask else kwargs["out"])


def _plain_mask_result(function, args, kwargs):
    """The result with a subclass mask's plain data and no `out`, or None when
    there is no subclass mask or that call fails."""
    plain = _plain_mask_kwargs(kwargs)
    if plain is None:
        return None
    background = np.array(args[0], copy=True) if isinstance(args[0], np.ndarray) else args[0]
    try:
        return function(background, *args[1:], **dict(plain, out=None))
    except DOCUMENTED:
        return None


def _check(function, args, kwargs):
    background, foreground = args[0], args[1]
    given = {"background": background, "foreground": foreground, "mask": kwargs["mask"], "out": kwargs["out"]}
    before = {name: _state(value) for name, value in given.items()}
    expected = _plain_mask_result(function, args, kwargs)
    try:
        result = function(*args, **kwargs)
    except DOCUMENTED as exc:
        assert "\n" not in str(exc), f"a message of more than one line: {exc!r}"
        changed = [name for name, value in given.items() if _state(value) != before[name]]
        assert not changed, f"{type(exc).__name__}({exc}) but {changed} changed"
        plain = _plain_mask_kwargs(kwargs)
        if plain is not None:
            # Whichever invalid argument is reported, the call must fail with
            # the plain data too; the same `out` is kept, since its checks may
            # come first.
            try:
                function(*args, **plain)
            except DOCUMENTED:
                return
            raise AssertionError(f"a mask subclass fails with {exc!r}, its plain data does not")
        return
    out = kwargs["out"]
    # Leading dimensions of the images, an opacity array or the mask make a
    # batch of frames, each shaped like the background's last three.
    assert result.dtype in (np.uint8, np.uint16, np.float32)
    assert result.shape[-3:] == np.shape(background)[-3:]
    writes = {"out"}
    if out is not None:
        assert result is out
        in_place = out is background or (isinstance(background, np.ndarray) and out.__array_interface__ ==
                                          background.__array_interface__)
        writes |= {"background"} if in_place else set()
        shared = [name for name, value in given.items() if name not in writes
                  and isinstance(value, np.ndarray) and np.shares_memory(value, out)]
        assert not shared, f"succeeded with an `out` that overlaps {shared}"
    changed = [name for name, value in given.items() if name not in writes and _state(value) != before[name]]
    assert not changed, f"{changed} changed by a call that succeeded"
    if expected is not None:
        np.testing.assert_array_equal(result, expected, err_msg="a mask subclass is not read as its plain data")


def main(argv):
    import warnings

    from hypothesis import HealthCheck, given, settings

    function_name, names, examples, *families = argv
    function = getattr(tarnwick, function_name)
    unknown = set(families) - set(OPTIONAL_FAMILIES)
    if unknown:
        raise SystemExit(f"unknown families {sorted(unknown)}; expected some of {OPTIONAL_FAMILIES}")
    calls = _strategies(getattr(tarnwick, names), families, _extra_strategies(function_name))

    @settings(max_examples=int(examples), deadline=None, database=None, derandomize=True,
              suppress_health_check=list(HealthCheck))
    @given(calls)
    def hostile(drawn):
        background, foreground, mode, opacity, kwargs = drawn
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # NumPy's deprecation of float([0.5]) and the like
            _check(function, (background, foreground, mode, opacity), kwargs)

    hostile()


if __name__ == "__main__":
    main(sys.argv[1:])
