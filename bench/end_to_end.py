#!/usr/bin/python3
"""End-to-end time of the `bilateral` tool (read, filter, write) against OpenCV's imread +
bilateralFilter + imwrite on the same RGB pictures, PNG and JPEG, 2 threads each.

usage: bench/end_to_end.py [--tool build/bin/bilateral] [--sizes 2048 8000] [--repeat 3] [--dir DIR]

The tool runs as a process (its time includes start-up and loading the library); OpenCV runs in this
process, timed from imread to the end of imwrite, so the comparison is if anything unfair to the tool.
Each figure is the median of --repeat runs; processor seconds (all threads) follow the tool's and OpenCV's
wall times in brackets, as other jobs on the machine stretch wall times but hardly processor time. Both filter a 5 x 5 window with spatial sigma 1 and range
sigma 25.5 (OpenCV: d = 5), and both write JPEG at quality 95 with 4:2:0 chroma, PNG at zlib level 1. The tool also runs with --window 1, whose time is nearly all I/O and set-up,
and reports its library time (--time); the tool's image I/O is also timed alone (bench/io_time.cc: load,
then save as the tool does here), and what remains of the 5 x 5 run is start-up and the tool's own work.
Needs python3-opencv (scripts/setup.sh python3-opencv installs it).
"""
import argparse
import os
import re
import resource
import statistics
import subprocess
import sys
import time

import cv2
import numpy as np


def picture(path, n):
    """A noisy n x n colour picture: smooth waves plus Gaussian noise of sigma 6, like a photo to denoise."""
    if os.path.exists(path):
        return
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:n, 0:n].astype(np.float32) / n
    img = np.empty((n, n, 3), np.float32)
    for c in range(3):
        f = rng.uniform(2, 9, 4)
        img[..., c] = 128 + 60 * np.sin(f[0] * x * 6.28 + f[1] * y * 3) + 40 * np.cos(f[2] * y * 6.28 - f[3] * x * 2)
    img += rng.normal(0, 6, img.shape).astype(np.float32)
    img = np.clip(img, 0, 255).astype(np.uint8)
    cv2.imwrite(path, img, [cv2.IMWRITE_JPEG_QUALITY, 95] if path.endswith(".jpg") else [])


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def run_tool(tool, src, dst, window, extra):
    """Wall time of one tool run, its processor time (all threads) and the library time it reports, in seconds."""
    args = [tool, "--threads", "2", "--window", str(window), "--sigma-range", "25.5", "--time", *extra, src, dst]
    c0, t0 = children_cpu(), time.perf_counter()
    out = subprocess.run(args, check=True, capture_output=True, text=True).stdout
    wall, cpu = time.perf_counter() - t0, children_cpu() - c0
    m = re.search(r"in ([0-9.]+) ms", out)
    return wall, cpu, float(m.group(1)) / 1e3 if m else float("nan")


def run_opencv(src, dst):
    """Wall and processor seconds for imread, bilateralFilter and imwrite (OpenCV's default encoder settings),
    and the wall seconds of bilateralFilter, imread and imwrite."""
    c0, t0 = time.process_time(), time.perf_counter()
    img = cv2.imread(src, cv2.IMREAD_UNCHANGED)
    t1 = time.perf_counter()
    out = cv2.bilateralFilter(img, 5, 25.5, 1.0)
    t2 = time.perf_counter()
    cv2.imwrite(dst, out)
    t3 = time.perf_counter()
    return t3 - t0, time.process_time() - c0, t2 - t1, t1 - t0, t3 - t2


def build_io_timer(root, workdir):
    """Compiles bench/io_time.cc with the tool's image I/O; returns the program's path."""
    exe = os.path.join(workdir, "io_time")
    io_sources = ["image_io.cc", "png.cc", "jpeg.cc", "tiff.cc", "bands.cc", "exif.cc"]
    sources = [os.path.join(root, "bench", "io_time.cc")] + [os.path.join(root, "tools", s) for s in io_sources]
    subprocess.run(["c++", "-O2", "-std=c++17", "-I", os.path.join(root, "tools"), *sources, "-o", exe,
                    "-lpng", "-ljpeg", "-ltiff", "-lz", "-pthread"], check=True)
    return exe


def run_io(exe, src, dst):
    """Seconds the tool's image I/O takes to load src and to save dst (JPEG with 4:2:0 chroma)."""
    out = subprocess.run([exe, src, dst, "420"], check=True, capture_output=True, text=True).stdout.split()
    return float(out[0]), float(out[1])


def main():
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--tool", default=os.path.join(root, "build", "bin", "bilateral"))
    ap.add_argument("--sizes", type=int, nargs="+", default=[2048, 8000])
    ap.add_argument("--repeat", type=int, default=3)
    ap.add_argument("--dir", default="/tmp/bilateral-end-to-end")
    a = ap.parse_args()
    os.makedirs(a.dir, exist_ok=True)
    cv2.setNumThreads(2)
    jpeg_extra = ["--subsampling", "420"]  # like for like with OpenCV's JPEG output
    io_timer = build_io_timer(root, a.dir)
    print(f"CPU: {cpu_name()}, {os.cpu_count()} cores; load average before: {os.getloadavg()[0]:.2f}", file=sys.stderr)
    print("| picture | tool, --window 1 | tool, --window 5 | of which filter | load + save alone | the rest "
          "| OpenCV, d = 5 | of which filter | tool / OpenCV |")
    print("|---|---|---|---|---|---|---|---|---|")
    med = statistics.median
    io_rows = []
    for n in a.sizes:
        for ext in ("png", "jpg"):
            src = os.path.join(a.dir, f"in{n}.{ext}")
            picture(src, n)
            extra = jpeg_extra if ext == "jpg" else []
            w1, w5, c5, lib, load, save, cvt, cvc, cvf, cvr, cvw = ([] for _ in range(11))
            for _ in range(a.repeat):
                w1.append(run_tool(a.tool, src, os.path.join(a.dir, f"tool1.{ext}"), 1, extra)[0])
                for lst, v in zip((w5, c5, lib), run_tool(a.tool, src, os.path.join(a.dir, f"tool5.{ext}"), 5, extra)):
                    lst.append(v)
                for lst, v in zip((load, save), run_io(io_timer, src, os.path.join(a.dir, f"io.{ext}"))):
                    lst.append(v)
                for lst, v in zip((cvt, cvc, cvf, cvr, cvw), run_opencv(src, os.path.join(a.dir, f"opencv.{ext}"))):
                    lst.append(v)
            io_rows.append(f"| {n}² {ext.upper()} | {med(load):.3f} s | {med(save):.3f} s | {med(cvr):.3f} s "
                           f"| {med(cvw):.3f} s |")
            io = [x + y for x, y in zip(load, save)]
            print(f"| {n}² {ext.upper()} | {med(w1):.3f} s | {med(w5):.3f} s ({med(c5):.2f}) | {med(lib):.3f} s "
                  f"| {med(io):.3f} s | {med(w5) - med(lib) - med(io):.3f} s "
                  f"| {med(cvt):.3f} s ({med(cvc):.2f}) | {med(cvf):.3f} s "
                  f"| {med(w5) / med(cvt):.2f} |", flush=True)
    print("\n| picture | tool: load | tool: save | OpenCV: imread | OpenCV: imwrite |\n|---|---|---|---|---|")
    print("\n".join(io_rows))
    print(f"load average after: {os.getloadavg()[0]:.2f}", file=sys.stderr)


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            return next(line.split(":", 1)[1].strip() for line in f if line.startswith("model name"))
    except (OSError, StopIteration):
        return "unknown"


if __name__ == "__main__":
    main()
