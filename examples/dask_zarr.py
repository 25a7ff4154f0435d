"""Filters a large gray picture stored in zarr, out of core, on a dask LocalCluster, into another zarr store.

    PYTHONPATH=build/python python3 examples/dask_zarr.py [--size 16000] [--chunk 2000] [--workers 2]
                                                          [--threads 1] [--dir DIR]

Makes DIR/input.zarr (a size x size uint8 picture: gradients, flat squares and noise; kept between runs)
unless it is there, filters it into DIR/output.zarr and prints the wall time. No worker holds more than a
few chunks. Each worker runs one Python thread and `--threads` library threads (HL_NUM_THREADS, set in the
worker's environment before its first call: the library's pool never shrinks).
"""
import argparse
import os
import tempfile
import time

import dask.array as da
import numpy as np
import zarr
from distributed import Client, LocalCluster

import bilateral_filter.dask as bfd


def synthetic_block(block, block_info=None):
    """One chunk of the test picture, the same for any chunking: it depends on absolute coordinates only."""
    (y0, y1), (x0, x1) = block_info[0]["array-location"]
    y, x = np.mgrid[y0:y1, x0:x1]
    flat = np.where((y // 500 + x // 700) % 2 == 0, 60, 190)  # flat squares with sharp edges
    smooth = (y % 4000) / 4000 * 40 + (x % 3000) / 3000 * 25  # gradients
    noise = np.random.default_rng(y0 * 1_000_003 + x0).normal(0, 12, block.shape)
    return np.clip(flat + smooth + noise, 0, 255).astype(np.uint8)


def make_input(path, size, chunk):
    """Writes the test picture to a zarr store at `path` (on the current dask scheduler)."""
    blank = da.zeros((size, size), np.uint8, chunks=chunk)
    blank.map_blocks(synthetic_block, dtype=np.uint8).to_zarr(path, overwrite=True)


def peak_rss_mib():
    """This process's peak resident memory in MiB (VmHWM: unlike ru_maxrss, not inherited from a parent)."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmHWM:")) / 1024


def filter_store(source, target, **filter_args):
    """Filters the zarr store `source` into `target` on the current dask scheduler; returns seconds taken."""
    start = time.perf_counter()
    bfd.filter(da.from_zarr(source), **filter_args).to_zarr(target, overwrite=True)
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=16000, help="rows and columns (default 16000)")
    parser.add_argument("--chunk", type=int, default=2000, help="rows and columns per chunk (default 2000)")
    parser.add_argument("--workers", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--threads", type=int, default=1, help="library threads per worker (default 1)")
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "bilateral-dask"),
                        help="where input.zarr and output.zarr live")
    args = parser.parse_args()
    source, target = os.path.join(args.dir, "input.zarr"), os.path.join(args.dir, "output.zarr")

    with LocalCluster(n_workers=args.workers, threads_per_worker=1, dashboard_address=None,
                      env={"HL_NUM_THREADS": str(args.threads)}) as cluster, Client(cluster) as client:
        existing = zarr.open(source, mode="r") if os.path.exists(source) else None
        if existing is None or existing.shape != (args.size, args.size):
            print(f"making {source} ({args.size} x {args.size} uint8)")
            make_input(source, args.size, args.chunk)
        seconds = filter_store(source, target, sigma_spatial=2, padding="symmetric")
        workers = client.run(peak_rss_mib)
    print(f"filtered {args.size} x {args.size} in {seconds:.1f} s on {args.workers} workers x {args.threads} "
          f"thread(s); peak memory: workers {max(workers.values()):.0f} MiB, client {peak_rss_mib():.0f} MiB")
    print(f"result: {target}")


if __name__ == "__main__":
    main()
