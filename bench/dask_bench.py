"""Times examples/dask_zarr.py's out-of-core run against one in-memory call, and prints a markdown table.

    PYTHONPATH=build/python python3 bench/dask_bench.py [--size 16000] [--chunks 1000,2000,4000]
                                                        [--clusters 2x1,1x2] [--repeat 3] [--dir DIR]

Each run is a fresh process, so peak memory (VmHWM) is its own: the in-memory run reads the whole zarr
store into a numpy array, filters it with the library's threads and writes the result; the dask runs filter
store to store on a LocalCluster of W worker processes, each with one Python thread and T library threads
(HL_NUM_THREADS=T), for each WxT in --clusters. Every result store is checked against the in-memory
result, sample for sample. Runs go round by round (--repeat rounds); times
are the shortest of a configuration's runs, memory the largest.
"""
import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "examples"))
ARGS = dict(sigma_spatial=2, padding="symmetric")


def in_memory(source, target):
    import numpy as np
    import zarr

    import bilateral_filter as bf
    from dask_zarr import peak_rss_mib

    start = time.perf_counter()
    stored = zarr.open(source, mode="r")
    image = stored[:]
    filtered_at = time.perf_counter()
    result = bf.filter(image, **ARGS)
    written_at = time.perf_counter()
    out = zarr.open(target, mode="w", shape=result.shape, chunks=stored.chunks, dtype=np.uint8)
    out[:] = result
    end = time.perf_counter()
    return dict(wall=end - start, filter=written_at - filtered_at, client=peak_rss_mib())


def on_cluster(source, target, chunk, workers, threads):
    import dask.array as da
    from distributed import Client, LocalCluster

    import bilateral_filter.dask as bfd
    from dask_zarr import peak_rss_mib

    with LocalCluster(n_workers=workers, threads_per_worker=1, dashboard_address=None,
                      env={"HL_NUM_THREADS": str(threads)}) as cluster, Client(cluster) as client:
        start = time.perf_counter()
        bfd.filter(da.from_zarr(source).rechunk(chunk), **ARGS).to_zarr(target, overwrite=True)
        wall = time.perf_counter() - start
        peaks = client.run(peak_rss_mib)
    return dict(wall=wall, worker=max(peaks.values()), client=peak_rss_mib())


def same_stores(a, b):
    import numpy as np
    import zarr

    x, y = zarr.open(a, mode="r"), zarr.open(b, mode="r")
    step = 2000
    return x.shape == y.shape and all(np.array_equal(x[r:r + step], y[r:r + step]) for r in range(0, x.shape[0], step))


def measure(args):
    """One measurement in a fresh interpreter; returns its report."""
    line = subprocess.run([sys.executable, __file__, "--measure", json.dumps(args)], check=True,
                          capture_output=True, text=True).stdout.splitlines()[-1]
    return json.loads(line)


def best(reports):
    """The shortest times and the largest peaks of several reports."""
    return {k: (min if k in ("wall", "filter") else max)(r[k] for r in reports) for k in reports[0]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=16000)
    parser.add_argument("--chunks", default="1000,2000,4000", help="chunk sides to try, comma-separated")
    parser.add_argument("--clusters", default="2x1,1x2",
                        help="worker processes x library threads per worker to try, comma-separated")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each, the shortest time reported")
    parser.add_argument("--dir", default=os.path.join(tempfile.gettempdir(), "bilateral-dask-bench"))
    parser.add_argument("--measure", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure:
        kind, *rest = json.loads(args.measure)
        print(json.dumps(in_memory(*rest) if kind == "memory" else on_cluster(*rest)))
        return

    source = os.path.join(args.dir, f"input-{args.size}.zarr")
    if not os.path.exists(source):
        from dask_zarr import make_input
        make_input(source, args.size, 2000)
    reference = os.path.join(args.dir, "memory.zarr")
    runs = [("memory", source, reference)]
    for cluster in args.clusters.split(","):
        workers, threads = map(int, cluster.split("x"))
        runs += [("cluster", source, os.path.join(args.dir, f"dask-{chunk}-{cluster}.zarr"), chunk, workers, threads)
                 for chunk in map(int, args.chunks.split(","))]
    # Round by round, so that every configuration sees the machine's other load alike.
    reports = [[] for _ in runs]
    for _ in range(args.repeat):
        for run, found in zip(runs, reports):
            found.append(measure(run))
    rows = []
    for run, found in zip(runs, reports):
        r, worst = best(found), max(f["wall"] for f in found)
        if run[0] == "memory":
            rows.append(f"| in memory, one call (library on 2 threads; the filter call alone {r['filter']:.1f} s) "
                        f"| {r['wall']:.1f} ({worst:.1f}) | – | {r['client']:.0f} | yes |")
        else:
            same = "yes" if same_stores(reference, run[2]) else "NO"
            rows.append(f"| dask, chunks {run[3]}², {run[4]} worker(s) × {run[5]} thread(s) | {r['wall']:.1f} "
                        f"({worst:.1f}) | {r['worker']:.0f} | {r['client']:.0f} | {same} |")
    print(f"{args.size} × {args.size} uint8, sigma_spatial 2 (9 × 9 window), symmetric padding, rounded to nearest\n")
    print(f"| run | wall time (s): best (worst) of {args.repeat} | peak worker memory (MiB) "
          "| peak client memory (MiB) | bit-identical |")
    print("|-----|---------------|--------------------------|--------------------------|---------------|")
    print("\n".join(rows))


if __name__ == "__main__":
    main()
