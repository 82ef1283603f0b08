"""A blend of two images stored in chunks on disk, against the same blend in memory.

Two SIZE x SIZE RGB uint8 images (20000 x 20000 by default, 1.2 GB each) are
written in bands of whole rows to disk (Zarr, uncompressed; NumPy memory
maps with --store memmap or when Zarr is not installed), blended with
"multiply" at opacity 0.5 by tarnwick.dask and written back band by band, on
a local cluster of 1 and then 2 worker processes (or Dask's threaded
scheduler with --scheduler threads, or when dask.distributed is missing).
For each run it prints the throughput, the peak resident memory of this
process and of each worker, then the same blend in memory with one
tarnwick.blend call (threads=1 and 2), and whether the stored result equals
it bit for bit. The files go to a temporary folder under build/ (or --dir)
and are removed at the end.

    .venv-gil/bin/python benchmarks/bench_dask.py [--size N] [--rows R] [--workers 1 2]
        [--store zarr|memmap] [--scheduler processes|threads] [--dir DIR]
"""

import argparse
import logging
import os
import resource
import shlex
import shutil
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

import tarnwick
import tarnwick.dask as tdask  # names the extra to install when Dask is missing

import dask
import dask.array as da

MODE, OPACITY = "multiply", 0.5
REPO = Path(__file__).resolve().parent.parent


def peak_rss():
    """This process's peak resident set size in bytes (Linux reports KiB)."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def human(nbytes):
    return f"{nbytes / 2**20:,.0f} MiB"


# ---- stores -----------------------------------------------------------------


class MemmapBands:
    """A .npy file read and written through a memory map that is opened per
    access and dropped after it, so mapped pages never pile up in a process."""

    def __init__(self, path, shape=None, dtype=np.uint8):
        self.path = str(path)
        if shape is not None:
            np.lib.format.open_memmap(self.path, mode="w+", dtype=dtype, shape=shape).flush()
        header = np.load(self.path, mmap_mode="r")
        self.shape, self.dtype, self.ndim = header.shape, header.dtype, header.ndim
        del header

    def __getitem__(self, key):
        return np.array(np.load(self.path, mmap_mode="r")[key])

    def __setitem__(self, key, value):
        target = np.load(self.path, mmap_mode="r+")
        target[key] = value
        target.flush()
        del target


def create(store, path, shape, rows):
    if store == "zarr":
        import zarr

        return zarr.create_array(store=str(path), shape=shape, chunks=(rows,) + shape[1:], dtype=np.uint8,
                                 compressors=None, filters=None, overwrite=True)
    return MemmapBands(path, shape)


def as_dask(store, target, rows):
    if store == "zarr":
        return da.from_zarr(target)
    return da.from_array(target, chunks=(rows, -1, -1), asarray=False)


def write_image(target, shape, rows, seed):
    """Fills `target` band by band with a noisy gradient; never a whole image in memory."""
    height, width = shape[:2]
    rng = np.random.default_rng(seed)
    ramp = np.linspace(0, 255, width, dtype=np.float32)[None, :, None]
    for top in range(0, height, rows):
        band = rng.integers(0, 64, size=(min(rows, height - top), width, 3), dtype=np.uint8)
        band += (ramp * (0.25 + 0.5 * top / height)).astype(np.uint8)
        target[top : top + band.shape[0]] = band


# ---- runs -------------------------------------------------------------------


def run_on_disk(args, sources, workers, out_path):
    """Blends the stored images into a new store; returns (seconds, worker peaks)."""
    shape = sources[0].shape
    target = create(args.store, out_path, shape, args.rows)
    out = tdask.blend(*(as_dask(args.store, s, args.rows) for s in sources), MODE, OPACITY)
    if args.scheduler == "threads":
        start = time.perf_counter()
        da.store(out, target, lock=False, scheduler="threads", num_workers=workers)
        return time.perf_counter() - start, []

    import distributed

    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None, silence_logs=logging.ERROR) as cluster:
        with distributed.Client(cluster, timeout=60) as client:
            client.wait_for_workers(workers, timeout=60)
            start = time.perf_counter()
            da.store(out, target, lock=False)
            seconds = time.perf_counter() - start
            peaks = client.run(peak_rss)
    return seconds, sorted(peaks.values())


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=20000, help="image height and width (default 20000)")
    parser.add_argument("--rows", type=int, default=250, help="rows per chunk (default 250)")
    parser.add_argument("--workers", type=int, nargs="+", default=[1, 2])
    parser.add_argument("--store", choices=("zarr", "memmap"), default=None)
    parser.add_argument("--scheduler", choices=("processes", "threads"), default=None)
    parser.add_argument("--dir", type=Path, default=REPO / "build", help="parent of the temporary folder")
    args = parser.parse_args()
    if args.store is None:
        try:
            import zarr  # noqa: F401

            args.store = "zarr"
        except ImportError:
            args.store = "memmap"
    if args.scheduler is None:
        try:
            import distributed  # noqa: F401

            args.scheduler = "processes"
        except ImportError:
            args.scheduler = "threads"

    shape = (args.size, args.size, 3)
    image_bytes = int(np.prod(shape))
    megapixels = args.size * args.size / 1e6
    args.dir.mkdir(parents=True, exist_ok=True)
    need = 3 * image_bytes + 2**30
    if shutil.disk_usage(args.dir).free < need:
        sys.exit(f"{args.dir} has less than the {human(need)} free that three images need")

    folder = Path(tempfile.mkdtemp(prefix="bench-dask-", dir=args.dir))
    rows = []
    try:
        start = time.perf_counter()
        sources = []
        for name, seed in (("background", 1), ("foreground", 2)):
            target = create(args.store, folder / f"{name}.{args.store}", shape, args.rows)
            write_image(target, shape, args.rows, seed)
            sources.append(target)
        print(f"wrote two {args.size} x {args.size} RGB uint8 images ({human(image_bytes)} each, "
              f"{args.store}, chunks of {args.rows} rows) in {time.perf_counter() - start:.1f} s")

        for workers in args.workers:
            seconds, worker_peaks = run_on_disk(args, sources, workers, folder / f"out-{workers}.{args.store}")
            unit = "thread" if args.scheduler == "threads" else "worker"
            label = f"disk, {workers} {unit}{'s' * (workers > 1)}"
            rows.append((label, seconds, peak_rss(), worker_peaks))
            if workers != args.workers[-1]:
                shutil.rmtree(folder / f"out-{workers}.{args.store}", ignore_errors=True)

        # In memory: both images and the result held whole; loading is not timed.
        background, foreground = (np.asarray(s[:]) for s in sources)
        # The first touch of this much fresh memory in a process costs seconds
        # on a virtual machine; one untimed call keeps that out of both rows.
        results = tarnwick.blend(background, foreground, MODE, OPACITY, threads=2)
        for threads in (1, 2):
            results = None  # one result at a time
            start = time.perf_counter()
            results = tarnwick.blend(background, foreground, MODE, OPACITY, threads=threads)
            rows.append((f"memory, threads={threads}", time.perf_counter() - start, peak_rss(), []))
        stored = create_reader(args, folder / f"out-{args.workers[-1]}.{args.store}")
        identical = all(np.array_equal(stored[top : top + args.rows], results[top : top + args.rows])
                        for top in range(0, args.size, args.rows))
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    print()
    print(f"{MODE} at opacity {OPACITY}, {args.size} x {args.size} RGB uint8 ({megapixels:,.0f} Mpx), "
          f"kernel auto, Python {sys.version.split()[0]}, Dask {dask.__version__}, {os.cpu_count()} cores")
    print(f"{'run':<26} {'seconds':>8} {'Mpx/s':>8} {'peak RSS, this process':>23} {'peak RSS per worker':>22}")
    for label, seconds, own_peak, worker_peaks in rows:
        workers = ", ".join(human(p) for p in worker_peaks) or "-"
        print(f"{label:<26} {seconds:8.2f} {megapixels / seconds:8.1f} {human(own_peak):>23} {workers:>22}")
    print(f"one image: {human(image_bytes)}; peak RSS is cumulative in this process, so the in-memory rows "
          "include the disk runs before them")
    print(f"stored result equals the in-memory blend bit for bit: {'yes' if identical else 'NO'}")
    print("command: " + shlex.join([os.path.relpath(sys.executable), *sys.argv]))


def create_reader(args, path):
    if args.store == "zarr":
        import zarr

        return zarr.open_array(str(path), mode="r")
    return MemmapBands(path)


if __name__ == "__main__":
    main()
