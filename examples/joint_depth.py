"""Joint filtering of a depth map: a synthetic uint16 depth map, noisy and blurred at object borders as a depth
camera gives it, filtered plain and with its aligned 8-bit colour picture as the guide.

    PYTHONPATH=build/python python3 examples/joint_depth.py [--out docs/joint-depth.png]

Prints the mean error against the true depth, over the whole map and within 3 pixels of an object border, and
writes the four pictures side by side into OUT: the colour guide, the noisy depth, the depth filtered plain and
filtered with the guide (depth as gray, near bright).
"""
import argparse
import struct
import zlib

import numpy as np

import bilateral_filter as bf


def scene(height=180, width=240, seed=1):
    """The colour picture (uint8 RGB), the true depth (uint16, millimetres) and a mask of the pixels within 3 of
    an object border."""
    y, x = np.mgrid[:height, :width]
    # A striped wall (a depth ramp) with a box and a ball in front of it, each in a colour of its own.
    box = (abs(x - 70) < 40) & (abs(y - 100) < 55)
    ball = (x - 165) ** 2 + (y - 80) ** 2 < 50 ** 2
    label = box + 2 * ball
    depth = np.choose(label, [3000 + 4 * x - 2 * y, 1500 + 3 * y,
                              1400 - 6 * np.sqrt(np.maximum(0, 50 ** 2 - (x - 165) ** 2 - (y - 80) ** 2))])
    wall = np.stack([70 + 0 * x, 110 + (y // 12 % 2) * 12, 150 + 0 * x], axis=-1)
    colour = np.choose(label[..., None], [wall, [205, 120, 50], [60, 170, 80]])
    colour = np.clip(colour + np.random.default_rng(seed).normal(0, 1, colour.shape), 0, 255).astype(np.uint8)
    near_border = np.any([np.roll(label, (dy, dx), axis=(0, 1)) != label
                          for dy in range(-3, 4) for dx in range(-3, 4)], axis=0)
    return colour, depth.astype(np.uint16), near_border


def camera(depth, seed=2):
    """The depth as a camera measures it: borders smeared over 5 pixels, noise of 50 mm."""
    kernel = np.ones(5) / 5
    smeared = np.pad(depth.astype(np.float64), 2, mode="edge")
    smeared = np.apply_along_axis(np.convolve, 1, smeared, kernel, "valid")
    smeared = np.apply_along_axis(np.convolve, 0, smeared, kernel, "valid")
    noise = np.random.default_rng(seed).normal(0, 50, depth.shape)
    return np.clip(smeared + noise, 0, 65535).astype(np.uint16)


def write_png(path, rgb):
    """An 8-bit RGB PNG, written with zlib alone."""
    height, width, _ = rgb.shape
    rows = b"".join(b"\x01" + np.diff(row.astype(np.int16), axis=0, prepend=0).astype(np.uint8).tobytes()
                    for row in rgb)  # filter type 1 (Sub): each sample minus the one to its left

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(rows, 9)) +
                chunk(b"IEND", b""))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", default="joint-depth.png")
    args = parser.parse_args()
    colour, truth, near_border = scene()
    measured = camera(truth)
    # The same window for both; the range sigma in the units of the samples each compares.
    plain = bf.filter(measured, sigma_spatial=6, sigma_range=150)
    joint = bf.filter(measured, guide=colour, sigma_spatial=6, sigma_range=20)
    for name, depth in (("measured", measured), ("plain", plain), ("joint", joint)):
        error = np.abs(depth.astype(np.float64) - truth)
        print(f"{name:9s} mean error {error.mean():6.1f} mm, near borders {error[near_border].mean():6.1f} mm")
    lo, hi = float(truth.min()), float(truth.max())
    gray = [np.clip((hi - d.astype(np.float64)) / (hi - lo) * 255, 0, 255).astype(np.uint8) for d in
            (measured, plain, joint)]
    panels = [colour] + [np.repeat(g[..., None], 3, axis=2) for g in gray]
    gap = np.full((colour.shape[0], 4, 3), 255, np.uint8)
    write_png(args.out, np.concatenate([p for panel in panels for p in (panel, gap)][:-1], axis=1))
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
