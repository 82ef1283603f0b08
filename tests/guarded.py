"""Arrays that sit against an inaccessible page, so a stray access faults.

`guarded_allocations()` routes NumPy's data allocations through anonymous
mappings: each block is placed so that its last byte is the last byte of a
readable page followed by a PROT_NONE page (``side="end"``), or so that it
starts right after a PROT_NONE page (``side="start"``). Inputs copied inside
the block and the output array a blend function allocates inside it are then
both guarded: a read or write of even one byte beyond the pixels crashes the
test run (pytest's fault handler names the test) instead of passing.

`check_guarded(blend, ...)` runs a blend function that way for one
element-type, channel and kernel combination over pixel counts 1 to 33, and
compares every pixel of each result with a model or with the same call on
ordinary arrays.
"""

import contextlib
import ctypes
import mmap
import threading

import numpy as np

from reference import random_image

PAGE = mmap.PAGESIZE
PIXEL_COUNTS = range(1, 34)
SIDES = ("end", "start")

_PROT_NONE = 0


def _libc():
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    libc.mprotect.restype = ctypes.c_int
    return libc


_LIBC = _libc()


class _Mapping:
    """One anonymous mapping: the data pages and one guard page."""

    def __init__(self, nbytes, side):
        nbytes = max(nbytes, 1)
        data_pages = -(-nbytes // PAGE)
        self.map = mmap.mmap(-1, (data_pages + 1) * PAGE)
        anchor = ctypes.c_char.from_buffer(self.map)
        base = ctypes.addressof(anchor)
        del anchor  # release the buffer export so the mapping can close
        if side == "end":
            guard = base + data_pages * PAGE
            self.address = guard - nbytes
        elif side == "start":
            guard = base
            self.address = base + PAGE
        else:
            raise ValueError(f"side must be 'end' or 'start', not {side!r}")
        self.nbytes = nbytes
        if _LIBC.mprotect(guard, PAGE, _PROT_NONE) != 0:
            raise OSError(ctypes.get_errno(), "mprotect failed")

    def close(self):
        self.map.close()


# ---- NumPy allocation handler ------------------------------------------------


class _AllocatorFields(ctypes.Structure):
    _fields_ = [
        ("ctx", ctypes.c_void_p),
        ("malloc", ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)),
        ("calloc", ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_size_t)),
        ("realloc", ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)),
        ("free", ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t)),
    ]


class _Handler(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char * 127), ("version", ctypes.c_uint8), ("allocator", _AllocatorFields)]


_lock = threading.Lock()
_live = {}  # data address -> _Mapping


def _allocate(nbytes, side):
    mapping = _Mapping(nbytes, side)
    with _lock:
        _live[mapping.address] = mapping
    return mapping.address


def _release(address):
    with _lock:
        mapping = _live.pop(address, None)
    if mapping is not None:
        mapping.close()


def is_guarded(array):
    """Whether the array's data is a block of guarded_allocations()."""
    with _lock:
        return array.__array_interface__["data"][0] in _live


POISON = 0xA5  # fills new blocks, so a pixel a blend never wrote stands out


def _make_handler(side):
    def malloc(_ctx, size):
        address = _allocate(size, side)
        ctypes.memset(address, POISON, max(size, 1))
        return address

    def calloc(_ctx, count, size):
        return _allocate(count * size, side)  # fresh anonymous pages are zero

    def realloc(_ctx, address, size):
        new = _allocate(size, side)
        if address:
            with _lock:
                old = _live[address]
            ctypes.memmove(new, address, min(old.nbytes, size))
            _release(address)
        return new

    def free(_ctx, address, _size):
        _release(address)

    fields = _AllocatorFields._fields_
    handler = _Handler(
        name=f"tarnwick_guarded_{side}".encode(),
        version=1,
        allocator=_AllocatorFields(
            None, fields[1][1](malloc), fields[2][1](calloc), fields[3][1](realloc), fields[4][1](free)
        ),
    )
    capsule_new = ctypes.pythonapi.PyCapsule_New
    capsule_new.restype = ctypes.py_object
    capsule_new.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return handler, capsule_new(ctypes.addressof(handler), _CAPSULE_NAME, None)


_CAPSULE_NAME = b"mem_handler"
_handlers = {side: _make_handler(side) for side in SIDES}  # kept alive for good


def _set_handler_function():
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = ctypes.cast(get_pointer(np._core._multiarray_umath._ARRAY_API, None), ctypes.POINTER(ctypes.c_void_p))
    return ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)(table[304])  # PyDataMem_SetHandler


_set_handler = _set_handler_function()


@contextlib.contextmanager
def guarded_allocations(side="end"):
    """NumPy arrays created in this block (in this context) are guarded."""
    previous = _set_handler(_handlers[side][1])
    try:
        yield
    finally:
        _set_handler(previous)


def live_guarded_blocks():
    """How many guarded blocks are still allocated (for leak checks)."""
    with _lock:
        return len(_live)


# ---- running blend functions on guarded memory -----------------------------


def call_guarded(blend, background, foreground, *args, side="end"):
    """blend(background, foreground, *args) with both inputs and the output
    in guarded memory. Returns the output (still guarded)."""
    with guarded_allocations(side):
        bg = background.copy()
        fg = foreground.copy()
        out = blend(bg, fg, *args)
    assert is_guarded(bg) and is_guarded(fg) and is_guarded(out)
    return out


def check_guarded(blend, bg_dtype, bg_channels, fg_dtype, fg_channels, kernel, opacities=(0.5,),
                  pixel_counts=PIXEL_COUNTS, sides=SIDES, expected=None, seed=0):
    """Runs `blend` on guarded inputs and output for every pixel count and
    checks each result bit for bit against `expected(bg, fg, opacity,
    kernel)`, by default the same call on ordinary arrays. The guarded output
    starts out poisoned, so a pixel left unwritten shows up as a mismatch."""
    rng = np.random.default_rng(seed)
    for pixels in pixel_counts:
        bg = random_image(rng, 1, pixels, bg_channels, bg_dtype)
        fg = random_image(rng, 1, pixels, fg_channels, fg_dtype)
        for opacity in opacities:
            want = (expected or blend)(bg, fg, opacity, kernel)
            for side in sides:
                out = call_guarded(blend, bg, fg, opacity, kernel, side=side)
                assert out.shape == want.shape and out.dtype == want.dtype
                assert out.tobytes() == want.tobytes(), (
                    f"{pixels} pixels, opacity {opacity}, guard at the {side}: differs from an unguarded call"
                )
