# Joint filtering through the Python package (defaults: disc window, rounding) against OpenCV contrib's
# cv2.ximgproc.jointBilateralFilter at the same d and against our plain filter; 1920 x 1080, 2 threads, medians
# of 3 calls, best of 3 interleaved rounds. Needs python3-opencv (with its contrib modules) from Debian.
# PYTHONPATH=build/python /usr/bin/python3 bench/joint_bench.py
import time, numpy as np, cv2, bilateral_filter as bf
bf.set_num_threads(2); cv2.setNumThreads(2)
rng = np.random.default_rng(1)
H, W = 1080, 1920
def med(f, k=7):
    t = []
    for _ in range(k):
        s = time.perf_counter(); f(); t.append(time.perf_counter() - s)
    return sorted(t)[k // 2]
rows = []
for dtype in (np.uint8, np.float32):
    for ch in (1, 3):
        shape = (H, W) if ch == 1 else (H, W, 3)
        img = rng.integers(0, 256, shape).astype(dtype)
        g = rng.integers(0, 256, shape).astype(dtype)
        if dtype == np.float32: img /= 255; g /= 255
        sc = 25.5 if dtype == np.uint8 else 0.1
        for n in (5, 9):
            ss = (n - 1) / 4
            ours = lambda: bf.filter(img, guide=g, sigma_spatial=ss, sigma_range=sc)
            plain = lambda: bf.filter(img, sigma_spatial=ss, sigma_range=sc)
            cvj = lambda: cv2.ximgproc.jointBilateralFilter(g, img, n, sc, ss)
            ts = {}
            for _ in range(3):
                for name, f in (("ours", ours), ("plain", plain), ("cv", cvj)):
                    ts.setdefault(name, []).append(med(f, 3))
            o, p, c = (min(ts[k]) for k in ("ours", "plain", "cv"))
            rows.append((np.dtype(dtype).name, "gray" if ch == 1 else "RGB", n, o * 1e3, p * 1e3, c * 1e3))
depth = rng.integers(500, 4000, (H, W)).astype(np.uint16); guide = rng.integers(0, 256, (H, W, 3)).astype(np.uint8)
for n in (5, 9):
    ss = (n - 1) / 4
    o = min(med(lambda: bf.filter(depth, guide=guide, sigma_spatial=ss)) for _ in range(3))
    p = min(med(lambda: bf.filter(depth, sigma_spatial=ss)) for _ in range(3))
    rows.append(("uint16 depth, RGB uint8 guide", "gray", n, o * 1e3, p * 1e3, float("nan")))
print("| input (guide alike) | layout | N | ours joint ms | ours plain ms | ximgproc ms | joint / ximgproc | joint / plain |")
print("|---|---|---|---|---|---|---|---|")
for t, l, n, o, p, c in rows:
    print(f"| {t} | {l} | {n} | {o:.1f} | {p:.1f} | {c:.1f} | {o / c:.2f} | {o / p:.2f} |")
