"""The ``tarnwick`` command: blend image files, draw a contact sheet, list modes.

Exit status: 0 on success, 2 on a usage error, 1 when a file failed, 130 on
SIGINT and 143 on SIGTERM. Errors are one line each on stderr; the image
library's warnings show only with -v.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import math
import os
import re
import signal
import sys
import threading
import warnings
from types import FrameType, ModuleType
from typing import TYPE_CHECKING, Any, Callable, Generator, Iterable, TextIO, cast

import numpy as np

import tarnwick
from tarnwick._names import closest_modes, families, resolve_blend, resolve_operator, standard_family
from tarnwick._typing import BlendName, Image, Mask, Mode

if TYPE_CHECKING:
    from tarnwick import image as image_module

PROG = "tarnwick"


class CommandError(Exception):
    """A failure to report as one line and exit status 1."""


class Terminated(BaseException):
    """SIGTERM, raised where the program is so that a file being written is
    removed on the way out, as it is on SIGINT."""


# --- argument types ----------------------------------------------------------


def _mode(text: str) -> Mode:
    name = text.strip().lower().replace("-", "_")
    if name in tarnwick.MODES:
        return name
    family = standard_family(name)
    if family:
        raise argparse.ArgumentTypeError(f"{text!r} is {family} of '{PROG} composite', not a layer mode")
    close = closest_modes(name)
    hint = f"closest: {', '.join(close)}" if close else f"see '{PROG} modes'"
    raise argparse.ArgumentTypeError(f"unknown mode {text!r} ({hint})")


def _standard(resolve: Callable[[str], str]) -> Callable[[str], str]:
    def parse(text: str) -> str:
        try:
            return resolve(text.strip().lower())
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None

    return parse


def _opacity(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"opacity must be a number from 0 to 1, got {text!r}")
    return value


def _at(text: str) -> tuple[int, int]:
    parts = text.split(",")
    try:
        if len(parts) != 2:
            raise ValueError
        return int(parts[0]), int(parts[1])
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"--at must be two integers X,Y (the layer's top-left pixel), got {text!r}") from None


_COLOUR = re.compile(r"#([0-9a-fA-F]{6}|[0-9a-fA-F]{8})")


def _colour(text: str) -> tuple[int, ...] | None:
    """A layer given as #rrggbb or #rrggbbaa: its 8-bit values, else None."""
    if not text.startswith("#"):
        return None
    if not _COLOUR.fullmatch(text):
        raise CommandError(f"{text}: not a colour; expected #rrggbb or #rrggbbaa")
    digits = text[1:]
    return tuple(int(digits[i:i + 2], 16) for i in range(0, len(digits), 2))


def _in_scale(colour: tuple[int, ...], dtype: np.dtype[Any]) -> tuple[float, ...]:
    # 8-bit values in the backdrop's scale: 0..65535 for 16 bits, else 0..255.
    factor = 257 if dtype == np.uint16 else 1
    return tuple(float(v * factor) for v in colour)


def _count(low: int, high: int, what: str) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = low - 1
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{what} must be a whole number from {low} to {high}, got {text!r}")
        return value

    return parse


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Blend image files with Tarnwick's 28 layer blend modes.")
    parser.add_argument("--version", action="version", version=f"{PROG} {tarnwick.__version__}")
    sub = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    kernels = [k.value for k in tarnwick.KernelKind]
    p = sub.add_parser(
        "blend", help="blend FOREGROUND over BACKGROUND (files or folders of frames)",
        description="Blend FOREGROUND over BACKGROUND with MODE and write OUTPUT in the background's "
                    "mode and depth. When BACKGROUND or FOREGROUND is a folder, every pair of "
                    "images with the same file name is blended into the OUTPUT folder (a single file pairs with "
                    "every image of the other folder).")
    p.add_argument("mode", metavar="MODE", type=_mode, help=f"a blend mode ('{PROG} modes' lists them)")
    p.add_argument("background", metavar="BACKGROUND", help="background image or folder")
    p.add_argument("foreground", metavar="FOREGROUND", help="foreground (layer) image, folder or colour (#rrggbb, #rrggbbaa)")
    p.add_argument("-o", "--output", metavar="OUTPUT", required=True,
                   help="output image, or output folder in batch mode")
    p.add_argument("--opacity", type=_opacity, default=1.0, metavar="X",
                   help="layer opacity from 0 to 1 (default 1)")
    p.add_argument("--kernel", choices=kernels, default="auto", help="compute kernel (default auto)")
    p.add_argument("--threads", type=_count(0, 1024, "--threads"), default=1, metavar="N",
                   help="threads per image; 0 for one per core (default 1)")
    p.add_argument("--at", type=_at, default=(0, 0), metavar="X,Y",
                   help="background column and row of the layer's top-left pixel (default 0,0)")
    p.add_argument("--mask", metavar="FILE",
                   help="grey image (the layer's size) whose lightness scales the layer's alpha")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar or summary line in batch mode")
    _add_jobs(p)
    _add_encoding(p)
    _add_verbose(p)
    p.set_defaults(run=_run_blend, combine=_combine_blend)

    p = sub.add_parser(
        "composite", help="composite SOURCE onto BACKDROP in the standard model (files or folders)",
        description="Composite SOURCE onto BACKDROP with a blend function and a Porter-Duff operator "
                    "(the standard model: a layer over a transparent backdrop is the layer) and write "
                    "OUTPUT in the backdrop's mode and depth. Folders pair images as 'blend' does.")
    p.add_argument("mode", metavar="BLEND", type=_standard(resolve_blend),
                   help=f"a blend function ('{PROG} modes' lists them)")
    p.add_argument("background", metavar="BACKDROP", help="backdrop image or folder")
    p.add_argument("foreground", metavar="SOURCE", help="source (layer) image, folder or colour (#rrggbb, #rrggbbaa)")
    p.add_argument("-o", "--output", metavar="OUTPUT", required=True,
                   help="output image, or output folder in batch mode")
    p.add_argument("--operator", type=_standard(resolve_operator), default="source_over", metavar="OP",
                   help="Porter-Duff operator (default source_over)")
    p.add_argument("--opacity", type=_opacity, default=1.0, metavar="X",
                   help="source opacity from 0 to 1 (default 1)")
    p.add_argument("--premultiplied", action="store_true",
                   help="the files' colours are premultiplied by their alpha, and the output's will be")
    p.add_argument("--kernel", choices=kernels, default="auto", help="compute kernel (default auto)")
    p.add_argument("--threads", type=_count(0, 1024, "--threads"), default=1, metavar="N",
                   help="threads per image; 0 for one per core (default 1)")
    p.add_argument("--at", type=_at, default=(0, 0), metavar="X,Y",
                   help="backdrop column and row of the source's top-left pixel (default 0,0)")
    p.add_argument("--mask", metavar="FILE",
                   help="grey image (the source's size) whose lightness scales the source's alpha")
    p.add_argument("-q", "--quiet", action="store_true",
                   help="no progress bar or summary line in batch mode")
    _add_jobs(p)
    _add_encoding(p)
    _add_verbose(p)
    p.set_defaults(run=_run_blend, combine=_combine_composite)

    p = sub.add_parser(
        "sheet", help="draw a labelled contact sheet of all 28 modes",
        description="Draw one labelled tile per mode, from BACKGROUND and FOREGROUND or, without "
                    "them, from two built-in generated pictures.")
    p.add_argument("images", nargs="*", metavar="BACKGROUND FOREGROUND",
                   help="two images (optional; built-in pictures otherwise)")
    p.add_argument("-o", "--output", metavar="SHEET", required=True, help="output image, e.g. modes.png")
    p.add_argument("--opacity", type=_opacity, default=1.0, metavar="X",
                   help="layer opacity from 0 to 1 (default 1)")
    p.add_argument("--tile", type=_count(16, 2048, "--tile"), default=160, metavar="N",
                   help="tile size in pixels: pictures are scaled to fit N x N (default 160)")
    p.add_argument("--composite", action="store_true",
                   help="the 26 blend functions of 'composite' instead, over a backdrop with "
                        "transparent edges when no images are given")
    _add_encoding(p)
    _add_verbose(p)
    p.set_defaults(run=_run_sheet)

    p = sub.add_parser(
        "flatten", help="flatten OpenRaster documents (.ora) into pictures",
        description="Flatten DOC (an OpenRaster document, or a folder of them) over a transparent "
                    "canvas and write OUTPUT (a file, or a folder in batch mode) as 8-bit RGBA.")
    p.add_argument("document", metavar="DOC", help="OpenRaster document or folder")
    p.add_argument("-o", "--output", metavar="OUTPUT", required=True,
                   help="output image, or output folder in batch mode")
    p.add_argument("--check", action="store_true",
                   help="also print the largest difference from the document's stored merged image")
    p.add_argument("--threads", type=_count(0, 1024, "--threads"), default=1, metavar="N",
                   help="threads per document; 0 for one per core (default 1)")
    _add_encoding(p)
    _add_verbose(p)
    p.set_defaults(run=_run_flatten)

    p = sub.add_parser("layers", help="show an OpenRaster document's tree of layers",
                       description="Print the tree of DOC: each group and layer with its name, "
                                   "blend, operator, opacity, offset, size and flags.")
    p.add_argument("document", metavar="DOC", help="OpenRaster document")
    p.set_defaults(run=_run_layers)

    p = sub.add_parser(
        "stack", help="build an OpenRaster document from image files",
        description="Stack LAYER files, bottom first, into the OpenRaster document OUTPUT; the "
                    "canvas takes the first layer's size. --mode gives the layers' blends in order "
                    "(one for every layer, or one for all).")
    p.add_argument("layers", nargs="+", metavar="LAYER", help="layer image files, bottom first")
    p.add_argument("-o", "--output", metavar="DOC", required=True, help="output document (.ora)")
    p.add_argument("--mode", action="append", type=_standard(resolve_blend), default=None,
                   metavar="M", help="a layer's blend function (repeat for each layer)")
    _add_verbose(p)
    p.set_defaults(run=_run_stack)

    p = sub.add_parser("modes", help="list the blend modes by family, and composite's blends and operators",
                       description="List the layer modes of 'blend' by family, then the blend "
                                   "functions and operators of 'composite'.")
    p.set_defaults(run=_run_modes)

    p = sub.add_parser("info", help="show versions, the interpreter and the kernels this processor runs",
                       description="Show Tarnwick's and NumPy's versions, the interpreter and its GIL "
                                   "state, and which kernels this processor can run.")
    p.set_defaults(run=_run_info)
    return parser


def _add_jobs(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-j", "--jobs", type=_count(0, 1024, "--jobs"), default=0, metavar="N",
                        help="batch mode: files read, blended and written at once, each on a "
                             "thread of its own; 0 for one per core (the default)")


def _dither_name(text: str) -> str:
    from tarnwick import _dither

    try:
        name = _dither.check_dither(text)
    except ValueError:
        raise argparse.ArgumentTypeError(
            f"--dither must be ordered or blue-noise, got {text!r}") from None
    assert name is not None
    return name


def _add_encoding(parser: argparse.ArgumentParser) -> None:
    # The defaults live in tarnwick.image; spelled out here for the help text.
    parser.add_argument("--quality", type=_count(1, 100, "--quality"), default=95, metavar="Q",
                        help="JPEG and WebP quality from 1 to 100 (default 95)")
    parser.add_argument("--compress-level", type=_count(0, 9, "--compress-level"), default=1,
                        metavar="L",
                        help="PNG and TIFF compression from 0 (none) to 9 (smallest, slowest); "
                             "default 1, fast on large images for files a little larger than 6's")
    parser.add_argument("--dither", type=_dither_name, default=None, metavar="METHOD",
                        help="dither 16-bit or float results written as 8 bits: ordered or "
                             "blue-noise (default: none, rounded to the nearest); needed to "
                             "write a 16-bit result as JPEG or WebP")
    parser.add_argument("--dither-seed", type=_count(0, 2**32 - 1, "--dither-seed"), default=0,
                        metavar="S", help="the dither pattern's seed: the same seed, the same "
                                          "pattern (default 0)")


def _encoding(args: argparse.Namespace) -> image_module.Encoding:
    from tarnwick import image

    return image.Encoding(quality=args.quality, compress_level=args.compress_level)


def _add_verbose(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("-v", "--verbose", action="store_true",
                        help="also show the image library's warnings (an image large enough to be "
                             "a decompression bomb, corrupt metadata), one line each")


# --- helpers -----------------------------------------------------------------

# Characters that would break a message's line or drive the terminal: C0 and C1
# controls, the Unicode line and paragraph separators, and the stand-ins Python
# uses for undecodable bytes of a file name.
_UNPRINTABLE = re.compile(r"[\x00-\x1f\x7f-\x9f\u2028\u2029\udc80-\udcff]")


def _escaped(text: str) -> str:
    """text with each unprintable character written as its escape (\\n, \\x1b)."""
    def escape(match: re.Match[str]) -> str:
        code = ord(match.group())
        if code >= 0xDC80:
            return f"\\x{code - 0xDC00:02x}"  # the file name's own byte
        return match.group().encode("unicode_escape").decode("ascii")

    return _UNPRINTABLE.sub(escape, text)


def _error_line(text: object) -> str:
    return f"{PROG}: error: {_escaped(str(text))}"


# The file each thread is reading, for its warnings (the batch reads several
# at once, and warnings.catch_warnings is one state for the whole process).
_READING = threading.local()


def _show_warnings(verbose: bool) -> Callable[..., None]:
    """A warnings.showwarning that writes one escaped line on stderr with -v, and
    nothing otherwise (the image library warns about large or odd files); a
    warning raised while a file is read names the file, once per file."""
    def show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
             file: TextIO | None = None, line: str | None = None) -> None:
        text = str(message).strip()
        path: str | None = getattr(_READING, "path", None)
        if path is not None:
            seen: set[tuple[str, type[Warning]]] = _READING.seen
            if (text, category) in seen:  # a reader may parse a header twice
                return
            seen.add((text, category))
            text = f"{path}: {text}"
        if verbose:
            sys.stderr.write(f"{PROG}: warning: {_escaped(text)}\n")  # one write: whole lines

    return show


@contextlib.contextmanager
def _warnings_about(path: str) -> Generator[None, None, None]:
    """Warnings raised inside, on this thread, shown with the file's name in front."""
    previous = getattr(_READING, "path", None), getattr(_READING, "seen", None)
    _READING.path, _READING.seen = path, set()
    try:
        yield
    finally:
        _READING.path, _READING.seen = previous


def _raise_terminated(signum: int, frame: FrameType | None) -> None:
    signal.signal(signal.SIGTERM, signal.SIG_IGN)  # a second one must not cut the clean-up short
    raise Terminated


def _catch_sigterm() -> Callable[[int, FrameType | None], Any] | int | None:
    """Turns SIGTERM into Terminated; returns the previous handler (None when this
    is not the main thread, where no handler can be set)."""
    try:
        return signal.signal(signal.SIGTERM, _raise_terminated)
    except (ValueError, AttributeError):
        return None


def _one_line(exc: BaseException) -> str:
    # OSError's text repeats the file name, which the caller already puts in front.
    text = exc.strerror if isinstance(exc, OSError) and exc.strerror else str(exc).strip()
    return text.splitlines()[0] if text else type(exc).__name__


def _core_count() -> int:
    counter = getattr(os, "process_cpu_count", None) or os.cpu_count
    return counter() or 1


def _image_module() -> ModuleType:
    try:
        from tarnwick import image
    except ImportError as exc:
        raise CommandError(str(exc)) from None
    return image


def _same_file(a: str, b: str) -> bool:
    if os.path.realpath(a) == os.path.realpath(b):
        return True
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _refuse_inputs(output: str, inputs: Iterable[str | None]) -> None:
    for path in inputs:
        if path is not None and _same_file(output, path):
            raise CommandError(f"{output}: refusing to write over the input {path}")


def _read(image: ModuleType, path: str) -> tuple[Image, Any, dict[str, Any]]:
    try:
        with _warnings_about(path):
            opened: tuple[Image, Any, dict[str, Any]] = image.open_file(path)
            return opened
    except Exception as exc:  # any reader failure is this file's failure
        raise CommandError(f"{path}: {_one_line(exc)}") from None


class _Stopped(BaseException):
    """A batch job that was to start its write after Ctrl-C or SIGTERM."""


def _blend_files(image: ModuleType, args: argparse.Namespace, bg_path: str, fg_path: str,
                 out_path: str, mask: Mask | None, stop: threading.Event | None = None) -> None:
    _refuse_inputs(out_path, (bg_path, fg_path, args.mask))
    try:
        image.format_for(out_path)
    except ValueError as exc:
        raise CommandError(f"{out_path}: {exc}") from None
    bg, kind, meta = _read(image, bg_path)
    colour = _colour(fg_path)
    fg: Any = _in_scale(colour, bg.dtype) if colour is not None else _read(image, fg_path)[0]
    # A layer at an offset may have any size; without one, a size that
    # differs is most often the wrong file.
    size = tuple(np.shape(fg)[:2]) if colour is None else tuple(bg.shape[:2])
    if colour is None and args.at == (0, 0) and size != bg.shape[:2]:
        raise CommandError(f"{fg_path}: size {size[1]}x{size[0]} does not match the "
                           f"background's {bg.shape[1]}x{bg.shape[0]} ({bg_path}); "
                           "--at X,Y places a layer of another size")
    if mask is not None and mask.shape[:2] != size:
        raise CommandError(f"{args.mask}: size {mask.shape[1]}x{mask.shape[0]} does not match the "
                           f"layer's {size[1]}x{size[0]} ({fg_path})")
    try:
        result = args.combine(args, bg, fg, mask)
    except Exception as exc:  # reported per file so a batch goes on
        raise CommandError(f"{bg_path}: {_one_line(exc)}") from None
    if stop is not None and stop.is_set():
        raise _Stopped
    try:
        image.write_file(out_path, result, kind, meta, _encoding(args), args.dither,
                         args.dither_seed)
    except Exception as exc:
        raise CommandError(f"{out_path}: {_one_line(exc)}") from None


def _combine_blend(args: argparse.Namespace, bg: Image, fg: Image, mask: Mask | None) -> Image:
    return tarnwick.blend(bg, fg, args.mode, args.opacity, kernel=args.kernel, mask=mask,
                          threads=args.threads, x=args.at[0], y=args.at[1])


def _combine_composite(
    args: argparse.Namespace, bg: Image, fg: Image, mask: Mask | None
) -> Image:
    return tarnwick.composite(bg, fg, args.mode, args.opacity, operator=args.operator,
                              premultiplied=args.premultiplied, kernel=args.kernel, mask=mask,
                              threads=args.threads, x=args.at[0], y=args.at[1])


def _images_in(image: ModuleType, folder: str) -> dict[str, str]:
    """Image files directly in a folder (by extension Pillow reads), by file name."""
    readable: set[str] = image.readable_extensions()
    found: dict[str, str] = {}
    with os.scandir(folder) as entries:
        for entry in entries:
            if entry.name.startswith(".") or not entry.is_file():
                continue
            if os.path.splitext(entry.name)[1].lower() in readable:
                found[entry.name] = entry.path
    return dict(sorted(found.items()))


def _progress(total: int, quiet: bool) -> Any:
    disable = quiet or not sys.stderr.isatty()
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, file=sys.stderr, unit="image", disable=disable, leave=False)


# --- commands ----------------------------------------------------------------


def _run_blend(args: argparse.Namespace) -> int:
    image = _image_module()
    if not tarnwick.kernel_available(args.kernel):
        raise CommandError(f"kernel {args.kernel!r} cannot run on this processor")
    # Before anything else: a missing input folder would otherwise be read as
    # a file name and the output blamed for it.
    for path in (args.background, args.foreground):
        if path is args.foreground and _colour(path) is not None:
            continue
        if not os.path.exists(path):
            raise CommandError(f"{path}: no such file or folder")
    mask: Mask | None = None
    if args.mask is not None:
        try:
            with _warnings_about(args.mask):
                mask = image.open_mask(args.mask)
        except Exception as exc:
            raise CommandError(f"{args.mask}: {_one_line(exc)}") from None

    bg_dir, fg_dir = os.path.isdir(args.background), os.path.isdir(args.foreground)
    if not (bg_dir or fg_dir):
        out: str = args.output
        if os.path.isdir(out):
            out = os.path.join(out, os.path.basename(args.background))
        _blend_files(image, args, args.background, args.foreground, out, mask)
        return 0
    return _run_batch(image, args, bg_dir, fg_dir, mask)


def _run_batch(image: ModuleType, args: argparse.Namespace, bg_dir: bool, fg_dir: bool,
               mask: Mask | None) -> int:
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise CommandError(f"{args.output}: batch output must be a folder")
    bgs = _images_in(image, args.background) if bg_dir else None
    fgs = _images_in(image, args.foreground) if fg_dir else None
    if bgs is not None and fgs is not None:
        pairs = [(name, bgs[name], fgs[name]) for name in bgs if name in fgs]
        skipped = len(bgs) + len(fgs) - 2 * len(pairs)
    elif bgs is not None:
        pairs = [(name, path, args.foreground) for name, path in bgs.items()]
        skipped = 0
    else:
        pairs = [(name, args.background, path) for name, path in (fgs or {}).items()]
        skipped = 0
    if not pairs:
        raise CommandError(f"no image pairs to blend in {args.background} and {args.foreground}")
    os.makedirs(args.output, exist_ok=True)

    written = failed = 0
    bar = _progress(len(pairs), args.quiet)
    def report(message: str) -> None:
        if bar is not None:
            bar.write(message, file=sys.stderr)
        else:
            print(message, file=sys.stderr)

    jobs = min(_core_count() if args.jobs == 0 else args.jobs, len(pairs))
    stop = threading.Event()
    pool = concurrent.futures.ThreadPoolExecutor(jobs, thread_name_prefix="tarnwick-job") if jobs > 1 else None

    def job(name: str, bg_path: str, fg_path: str) -> str | None:
        try:
            _blend_files(image, args, bg_path, fg_path, os.path.join(args.output, name), mask, stop)
        except CommandError as exc:
            return _error_line(exc)
        return None

    try:
        if pool is None:
            outcomes: Iterable[str | None] = (job(*pair) for pair in pairs)
        else:
            # Every pair is queued at once; results are taken in the pairs' order,
            # so messages and the summary read as one file at a time gives them.
            futures = [pool.submit(job, *pair) for pair in pairs]
            outcomes = (future.result() for future in futures)
        for error in outcomes:
            if error is None:
                written += 1
            else:
                failed += 1
                report(error)
            if bar is not None:
                bar.update(1)
    finally:
        if pool is not None:
            # On Ctrl-C or SIGTERM: queued files never start, started ones write
            # nothing more; a file being written is whole or not there.
            stop.set()
            pool.shutdown(wait=True, cancel_futures=True)
        if bar is not None:
            bar.close()
    if not args.quiet:
        print(f"{written} written, {skipped} skipped, {failed} failed")
    return 1 if failed else 0


def _run_sheet(args: argparse.Namespace) -> int:
    if len(args.images) not in (0, 2):
        args.parser.error("sheet takes BACKGROUND and FOREGROUND, or neither")
    image = _image_module()
    from tarnwick import sheet

    try:
        image.format_for(args.output)
    except ValueError as exc:
        raise CommandError(f"{args.output}: {exc}") from None
    if args.images:
        _refuse_inputs(args.output, args.images)
        bg = _read(image, args.images[0])[0]
        fg = _read(image, args.images[1])[0]
    else:
        height = max(1, round(args.tile * 2 / 3))
        bg, fg = sheet.scene(height, args.tile), sheet.layer(height, args.tile)
        if args.composite:
            bg = sheet.transparent_edges(bg)
    try:
        # Pictures are scaled to fit the tile, so the sheet is at most 7 x 4 tiles.
        picture = sheet.make_sheet(bg, fg, args.opacity, args.tile, composite=args.composite)
    except MemoryError:
        raise CommandError(f"{args.output}: not enough memory for the sheet") from None
    try:
        image.write_file(args.output, np.asarray(picture), image.Kind("RGB"), None, _encoding(args),
                         args.dither, args.dither_seed)
    except Exception as exc:
        raise CommandError(f"{args.output}: {_one_line(exc)}") from None
    return 0


def _ora() -> ModuleType:
    try:
        from tarnwick import ora
    except ImportError as exc:
        raise CommandError(str(exc)) from None
    return ora


def _flatten_document(ora: ModuleType, args: argparse.Namespace, path: str, out: str) -> None:
    _refuse_inputs(out, (path,))
    try:
        document = ora.read(path)
        picture = document.flatten(threads=args.threads)
        difference = None
        if args.check:
            merged = ora.read_merged(path)
            if merged is not None and merged.shape == picture.shape:
                difference = int(np.max(np.abs(merged.astype(np.int16) - picture), initial=0))
            else:
                difference = -1
    except (ValueError, TypeError, OSError) as exc:
        raise CommandError(f"{path}: {_one_line(exc)}") from None
    try:
        tarnwick.imwrite(out, picture, quality=args.quality, compress_level=args.compress_level,
                         dither=args.dither, seed=args.dither_seed)
    except Exception as exc:
        raise CommandError(f"{out}: {_one_line(exc)}") from None
    if difference is not None:
        told = ("no stored merged image of that size" if difference < 0
                else f"largest difference from the stored merged image: {difference}")
        print(f"{path}: {told}")


def _run_flatten(args: argparse.Namespace) -> int:
    ora = _ora()
    if not os.path.exists(args.document):
        raise CommandError(f"{args.document}: no such file or folder")
    if not os.path.isdir(args.document):
        out: str = args.output
        if os.path.isdir(out):
            stem = os.path.splitext(os.path.basename(args.document))[0]
            out = os.path.join(out, stem + ".png")
        _flatten_document(ora, args, args.document, out)
        return 0
    if os.path.exists(args.output) and not os.path.isdir(args.output):
        raise CommandError(f"{args.output}: batch output must be a folder")
    documents = sorted(entry.path for entry in os.scandir(args.document)
                       if entry.is_file() and entry.name.lower().endswith(".ora"))
    if not documents:
        raise CommandError(f"{args.document}: no OpenRaster documents (.ora) in it")
    os.makedirs(args.output, exist_ok=True)
    failed = 0
    for path in documents:
        stem = os.path.splitext(os.path.basename(path))[0]
        try:
            _flatten_document(ora, args, path, os.path.join(args.output, stem + ".png"))
        except CommandError as exc:
            failed += 1
            print(_error_line(exc), file=sys.stderr)
    print(f"{len(documents) - failed} written, {failed} failed")
    return 1 if failed else 0


def _tree_lines(items: Iterable[Any], depth: int, lines: list[str]) -> None:
    # Top of the stack first, as layer panels show it.
    for item in reversed(list(items)):
        is_group = isinstance(item, tarnwick.Group)
        flags = [] if item.visible else ["hidden"]
        if is_group:
            flags.append("isolated" if item.isolated else "pass-through")
            size = ""
        else:
            flags += ["clipped"] if item.clip else []
            shape = np.shape(item.image)
            size = f" {shape[1]}x{shape[0]}" if len(shape) >= 2 else " colour"
        name = item.name if item.name is not None else ("(group)" if is_group else "(layer)")
        lines.append(f"{'  ' * depth}{'+ ' if is_group else '- '}{_escaped(name)}: {item.blend} "
                     f"{item.operator} {item.opacity:g}{size} at {item.x},{item.y}"
                     + (f" [{', '.join(flags)}]" if flags else ""))
        if is_group:
            _tree_lines(item.layers, depth + 1, lines)


def _run_layers(args: argparse.Namespace) -> int:
    ora = _ora()
    try:
        document = ora.read(args.document)
    except (ValueError, TypeError, OSError) as exc:
        raise CommandError(f"{args.document}: {_one_line(exc)}") from None
    lines = [f"{args.document}: {document.width}x{document.height}"]
    _tree_lines(document.layers, 1, lines)
    print("\n".join(lines))
    return 0


def _run_stack(args: argparse.Namespace) -> int:
    ora = _ora()
    image = _image_module()
    modes: list[str] = args.mode or ["normal"]
    if len(modes) not in (1, len(args.layers)):
        raise CommandError(f"--mode given {len(modes)} times for {len(args.layers)} layers; "
                           "give it once, or once for every layer")
    _refuse_inputs(args.output, args.layers)
    pictures: list[np.ndarray[Any, Any]] = []
    for path in args.layers:
        picture = _read(image, path)[0]
        # Stored as 8-bit RGBA, each layer rounded once.
        if picture.dtype == np.uint16:
            picture = ((picture.astype(np.uint32) + 128) // 257).astype(np.uint8)
        elif picture.dtype != np.uint8:
            picture = np.clip(np.rint(picture), 0, 255).astype(np.uint8)
        if picture.shape[2] == 3:
            picture = np.concatenate([picture, np.full(picture.shape[:2] + (1,), 255, np.uint8)], 2)
        pictures.append(picture)
    height, width = pictures[0].shape[:2]
    layers = [tarnwick.Layer(picture, cast(BlendName, modes[i] if len(modes) > 1 else modes[0]),
                             name=os.path.splitext(os.path.basename(path))[0])
              for i, (path, picture) in enumerate(zip(args.layers, pictures))]
    try:
        ora.write(args.output, ora.Document(width, height, layers))
    except (ValueError, TypeError, OSError) as exc:
        raise CommandError(f"{args.output}: {_one_line(exc)}") from None
    return 0


def _run_modes(args: argparse.Namespace) -> int:
    for family, modes in families().items():
        print(f"{family} ({len(modes)}): {' '.join(modes)}")
    print(f"composite blend functions ({len(tarnwick.BLENDS)}): {' '.join(tarnwick.BLENDS)}")
    print(f"composite operators ({len(tarnwick.OPERATORS)}): {' '.join(tarnwick.OPERATORS)}")
    return 0


def _run_info(args: argparse.Namespace) -> int:
    import sysconfig

    import numpy

    version = tarnwick.__version__
    free = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
    gil: bool = getattr(sys, "_is_gil_enabled", lambda: True)()
    kernels = [k.value for k in tarnwick.KernelKind if k.value != "auto"]
    runs = [k for k in kernels if tarnwick.kernel_available(k)]
    print(f"tarnwick {version}")
    print(f"python {sys.version.split()[0]} ({'free-threaded' if free else 'GIL'} build, "
          f"GIL {'enabled' if gil else 'disabled'}) at {sys.executable}")
    print(f"numpy {numpy.__version__}")
    try:
        import PIL

        print(f"pillow {PIL.__version__}")
    except ImportError:
        print("pillow not installed (pip install tarnwick[image])")
    print(f"kernels: {' '.join(runs) or 'none'} (auto picks {runs[-1] if runs else 'none'})")
    return 0


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    given = list(sys.argv[1:] if argv is None else argv)
    # "--at -3,25" would read as an unknown option: the offset is joined to it.
    joined: list[str] = []
    while given:
        word = given.pop(0)
        if word == "--at" and given and re.fullmatch(r"-\d.*", given[0]):
            word = f"--at={given.pop(0)}"
        joined.append(word)
    args = parser.parse_args(joined)
    args.parser = parser
    previous = _catch_sigterm()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("always")
            warnings.showwarning = _show_warnings(getattr(args, "verbose", False))
            status: int = args.run(args)
            return status
    except CommandError as exc:
        print(_error_line(exc), file=sys.stderr)
        return 1
    except OSError as exc:  # a folder that cannot be listed or created
        where = f"{exc.filename}: " if exc.filename else ""
        print(_error_line(f"{where}{_one_line(exc)}"), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except Terminated:
        print(f"{PROG}: terminated", file=sys.stderr)
        return 128 + signal.SIGTERM
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)
