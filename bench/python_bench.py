#!/usr/bin/python3
"""The path a Python user takes: bilateral_filter.filter with its default arguments against
cv2.bilateralFilter at the same d, on interleaved (H, W) and (H, W, 3) arrays, uint8 and float32.

    PYTHONPATH=build-bench/python /usr/bin/python3 bench/python_bench.py [--size 1920x1080] [--rounds 9]
                                                                        [--markdown FILE] [--json FILE]

Ours: bf.filter(img, sigma_spatial=(N - 1) / 4), every other argument left at its default (the disc
window of size N, range sigma 10 % of the sample range, replicate padding, 8-bit results rounded to
nearest). cv2: cv2.bilateralFilter(img, d=N, sigmaColor=<the same range sigma>, sigmaSpace=(N - 1) / 4),
also with its default border. Each thread count runs in a fresh process (HL_NUM_THREADS and
bf.set_num_threads for ours, cv2.setNumThreads for OpenCV), since the library's thread pool never
shrinks. Within it the two calls alternate, each round starting with the other one; a time is the
median of --rounds calls. A row is flagged (*) when other processes kept more than a quarter of a core
busy on average while it ran. Needs python3-opencv (bench/setup.sh installs it).
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import time

GOAL = 0.8  # our time over cv2's, on every row
WINDOWS = (5, 9)
THREADS = (1, 2)
OTHER_CORES = 0.25


def picture(w, h, channels):
    """Smooth shading, two flat discs, a rectangle and bars with sharp edges, and Gaussian noise of sigma
    0.03: float32 in [0, 1], (h, w) or (h, w, 3), the same picture as the C++ benchmark draws."""
    import numpy as np

    rng = np.random.default_rng(20240601)
    y, x = np.mgrid[0:h, 0:w]
    u, v, a = x / w, y / h, w / h
    planes = []
    for c in range(channels):
        s = 0.25 + 0.3 * u + 0.2 * v + 0.1 * np.sin(6.2832 * (u * (1 + c) + 0.5 * v))
        s = np.where((u - 0.3) ** 2 * a * a + (v - 0.4) ** 2 < 0.25 ** 2, (0.85, 0.30, 0.20)[c], s)
        s = np.where((u > 0.55) & (u < 0.85) & (v > 0.15) & (v < 0.6), (0.15, 0.60, 0.90)[c], s)
        s = np.where((u - 0.7) ** 2 * a * a + (v - 0.75) ** 2 < 0.15 ** 2, (0.95, 0.90, 0.10)[c], s)
        bars = (u > 0.08) & (u < 0.45) & (v > 0.72) & (v < 0.92) & ((x // max(4, w // 120)) % 2 == 0)
        s = np.where(bars, 0.05 + 0.1 * c, s)
        planes.append(np.clip(s + rng.normal(0, 0.03, s.shape), 0, 1).astype(np.float32))
    return planes[0] if channels == 1 else np.ascontiguousarray(np.stack(planes, axis=-1))


def cpu_ticks():
    """Busy CPU seconds of the whole machine (from /proc/stat) and of this process."""
    with open("/proc/stat") as f:
        v = [int(t) for t in f.readline().split()[1:9]]
    machine = (v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) / os.sysconf("SC_CLK_TCK")
    return machine, time.process_time()


def measure(threads, w, h, rounds):
    """Rows for one thread count, measured in this process."""
    import cv2
    import numpy as np

    import bilateral_filter as bf

    bf.set_num_threads(threads)
    cv2.setNumThreads(threads)
    rows = []
    for layout, channels in (("gray", 1), ("RGB", 3)):
        base = picture(w, h, channels)
        for dtype in ("uint8", "float32"):
            img = np.rint(base * 255).astype(np.uint8) if dtype == "uint8" else base
            sigma_range = 25.5 if dtype == "uint8" else 0.1
            for n in WINDOWS:
                sigma_spatial = (n - 1) / 4
                calls = {"ours": lambda: bf.filter(img, sigma_spatial=sigma_spatial),
                         "cv2": lambda: cv2.bilateralFilter(img, d=n, sigmaColor=sigma_range,
                                                            sigmaSpace=sigma_spatial)}
                results = {k: call() for k, call in calls.items()}  # warm-up, and the outputs compared
                times = {k: [] for k in calls}
                m0, p0, t0 = *cpu_ticks(), time.perf_counter()
                for r in range(rounds):
                    for k in (("ours", "cv2") if r % 2 == 0 else ("cv2", "ours")):
                        start = time.perf_counter()
                        calls[k]()
                        times[k].append(time.perf_counter() - start)
                m1, p1, t1 = *cpu_ticks(), time.perf_counter()
                other = max(0.0, ((m1 - m0) - (p1 - p0)) / (t1 - t0))
                diff = np.abs(results["ours"].astype(np.float64) - results["cv2"]).mean()
                rows.append(dict(layout=layout, dtype=dtype, n=n, threads=threads,
                                 ours_ms=1e3 * statistics.median(times["ours"]),
                                 cv2_ms=1e3 * statistics.median(times["cv2"]),
                                 mean_abs_diff=float(diff), other_cores=other))
    return rows


def cpu_line():
    """lscpu's model name, family and model, and whether the CPU has AVX-512."""
    try:
        out = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return "unknown CPU"
    info = dict(tuple(p.strip() for p in l.split(":", 1)) for l in out.splitlines() if ":" in l)
    avx512 = "avx512f" in info.get("Flags", "").split()
    return (f"{info.get('Model name', 'unknown')} (family {info.get('CPU family', '?')}, model "
            f"{info.get('Model', '?')}), {info.get('CPU(s)', '?')} logical CPUs, AVX-512: {'yes' if avx512 else 'no'}")


def markdown(rows, w, h, rounds, versions):
    met = sum(r["ours_ms"] / r["cv2_ms"] <= GOAL for r in rows)
    out = [f"## Python: `bilateral_filter.filter` with its defaults against `cv2.bilateralFilter`: {w}x{h}", "",
           f"CPU: {cpu_line()}. {versions}.", "",
           "What a Python user gets: `bf.filter(img, sigma_spatial=(N - 1) / 4)`, every other argument at its "
           "default (the disc window of size N, range σ 25.5 for uint8 and 0.1 for float32, replicate "
           "padding, 8-bit results rounded to nearest), against `cv2.bilateralFilter(img, d=N, "
           "sigmaColor=<the same>, sigmaSpace=(N - 1) / 4)` with its default border. Interleaved arrays as "
           "a user has them, (H, W) and (H, W, 3). The two calls alternate in one process per thread count "
           f"(HL_NUM_THREADS and `bf.set_num_threads`, `cv2.setNumThreads`); each time is the median of "
           f"{rounds} calls. Ratio = our time / cv2's; the goal is at most {GOAL:.2f} on every row. "
           "|ours − cv2| is the mean absolute difference of the two results in sample units: the filters "
           "differ in their colour distance (Euclidean here, the sum of absolute channel differences in "
           "OpenCV), in how they compute range weights and in their default border.", "",
           "| image | dtype | N | threads | ours ms | cv2 ms | ratio | goal | | mean \\|ours − cv2\\| |",
           "|---|---|---:|---:|---:|---:|---:|---:|---|---:|"]
    for r in rows:
        flag = "*" if r["other_cores"] > OTHER_CORES else ""
        ratio = r["ours_ms"] / r["cv2_ms"]
        out.append(f"| {r['layout']} | {r['dtype']} | {r['n']} | {r['threads']} | {r['ours_ms']:.2f}{flag} "
                   f"| {r['cv2_ms']:.2f}{flag} | {ratio:.2f} | {GOAL:.2f} | {'met' if ratio <= GOAL else 'not met'} "
                   f"| {r['mean_abs_diff']:.3g} |")
    flagged = sum(r["other_cores"] > OTHER_CORES for r in rows)
    out += ["", f"Goals met: {met} of {len(rows)}." +
            (f" Other work competed with {flagged} rows (marked *)." if flagged else ""), ""]
    return "\n".join(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", default="1920x1080")
    parser.add_argument("--rounds", type=int, default=9)
    parser.add_argument("--markdown", help="write the table as a markdown section here")
    parser.add_argument("--json", help="write the rows here")
    parser.add_argument("--child", type=int, help=argparse.SUPPRESS)  # the thread count of a worker process
    args = parser.parse_args()
    w, h = (int(v) for v in args.size.split("x"))
    if args.child:
        json.dump(measure(args.child, w, h, args.rounds), sys.stdout)
        return
    rows = []
    for t in THREADS:
        env = dict(os.environ, HL_NUM_THREADS=str(t))
        out = subprocess.run([sys.executable, os.path.abspath(__file__), "--child", str(t), "--size", args.size,
                              "--rounds", str(args.rounds)], env=env, check=True, capture_output=True, text=True)
        rows += json.loads(out.stdout)
    rows.sort(key=lambda r: (r["layout"] != "gray", r["dtype"], r["n"], r["threads"]))
    import cv2

    import bilateral_filter as bf
    text = markdown(rows, w, h, args.rounds, f"bilateral_filter {bf.__version__}, OpenCV {cv2.__version__}")
    print(text)
    if args.markdown:
        with open(args.markdown, "w") as f:
            f.write(text)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(rows, f, indent=1)


if __name__ == "__main__":
    main()
