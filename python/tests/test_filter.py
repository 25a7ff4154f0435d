# Catches a filter() or bounds() that differs from the C entry points by a bit (for any argument, default,
# rounding, sample type, guide, channel axis, memory layout or out= array), a joint call on the image itself
# that differs from the plain one, a bounds() that reads a shape's layout
# otherwise than filter() reads an image's, a filter() that alters its input, that lets integer
# images drift over repeated passes, or that holds the GIL or races while the library runs.
import os
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import bilateral_filter as bf
from direct import gaussian, input_bounds, noisy, reference, same_bits

PADDINGS = ("constant", "replicate", "symmetric")


# Guides of each sample type and layout: dtype and channels (float64 is filtered as float32).
GUIDES = {"plain": None, "gray8": (np.uint8, ()), "RGB16": (np.uint16, (3,)), "gray1f": (np.float32, (1,)),
          "RGBf64": (np.float64, (3,))}


# Each of the eighteen, and the joint entry points with each guide, rounded both ways: the default (disc)
# window and range sigma (the guide's) for a spatial sigma, an even square window with a range sigma, and
# float64 weights (rounded once to float32).
@pytest.mark.parametrize("guide", GUIDES)
@pytest.mark.parametrize("padding", PADDINGS)
@pytest.mark.parametrize("dtype", (np.uint8, np.uint16, np.float32))
@pytest.mark.parametrize("shape", ((23, 41), (9, 530, 3)), ids=("gray", "RGB"))
def test_equals_the_entry_point(shape, dtype, padding, guide):
    rng = np.random.default_rng(len(shape) + len(padding))
    image, weights = noisy(rng, shape, dtype), rng.uniform(0, 1, (3, 3))
    pads = {np.uint8: (200.7, 25.5), np.uint16: (51234.7, 6553.5), np.float32: (0.75, 0.1), np.float64: (0.75, 0.1)}
    pad, default = pads[dtype]
    given = {}
    if GUIDES[guide] is not None:  # the pad value must suit both
        gtype, channels = GUIDES[guide]
        given["guide"] = noisy(rng, shape[:2] + channels, np.float32 if gtype == np.float64 else gtype).astype(gtype)
        pad, default = min(pad, pads[gtype][0]), pads[gtype][1]
    for rounding in ("nearest", "truncate"):
        for kwargs, w, sigma in ((dict(sigma_spatial=1.3), gaussian(7, 1.3), default),
                                 (dict(window=4, window_shape="square", sigma_range=2 * default),
                                  gaussian(4, 1.0, "square"), 2 * default),
                                 (dict(weights=weights), weights.astype(np.float32), default)):
            assert same_bits(bf.filter(image, padding=padding, pad_value=pad, rounding=rounding, **kwargs, **given),
                             reference(image, w, sigma, padding, pad, rounding, given.get("guide"))), (rounding, kwargs)


# Defaults (and rounding to nearest for integers); float64 goes through float32 and comes back float64.
@pytest.mark.parametrize("dtype,sigma_range", ((np.uint8, 25.5), (np.uint16, 6553.5), (np.float32, 0.1)))
def test_defaults(dtype, sigma_range):
    image = noisy(np.random.default_rng(3), (20, 30, 3), dtype)
    assert same_bits(bf.filter(image), reference(image, gaussian(5, 1.0), sigma_range, "replicate", 0, "nearest"))
    # The image as its own guide (a gray one read with x stride 3): the plain filter's bits.
    assert same_bits(bf.filter(image, guide=image), bf.filter(image))
    assert same_bits(bf.filter(image[..., 1], guide=image[..., 1]), bf.filter(image[..., 1]))
    if dtype == np.float32:
        wide = image.astype(np.float64) * (1 + 2.0**-30)  # rounds back to the float32 samples
        assert same_bits(bf.filter(wide), bf.filter(image).astype(np.float64))
        assert same_bits(bf.filter(wide, guide=wide), bf.filter(wide))
    # Whole-number floats and numpy integers are windows too.
    assert same_bits(bf.filter(image, window=5.0), bf.filter(image, window=np.int64(5)))


LAYOUTS = {
    "fortran": np.asfortranarray,
    "columns_strided": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "rows_reversed": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "columns_reversed": lambda a: np.ascontiguousarray(a[:, ::-1])[:, ::-1],
    "planar": lambda a: np.ascontiguousarray(np.moveaxis(a, 2, 0)).transpose(1, 2, 0) if a.ndim == 3 else a,
    "read_only": lambda a: np.frombuffer(a.tobytes(), a.dtype).reshape(a.shape),
    "misaligned": lambda a: np.frombuffer(b"\0" + a.tobytes(), a.dtype, offset=1).reshape(a.shape),
    "sliced": lambda a: np.pad(a, [(3, 2), (5, 1)] + [(0, 0)] * (a.ndim - 2))[3:-2, 5:-1],
    "byte_swapped": lambda a: a.astype(a.dtype.newbyteorder()),
}


# Any layout gives the C-ordered array's result, C-ordered, and leaves the input alone.
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape,dtype", (((17, 29), np.float32), ((17, 29, 1), np.uint8), ((13, 21, 3), np.uint8),
                                         ((13, 21, 3), np.float32), ((13, 21), np.uint16), ((13, 21, 3), np.uint16)),
                         ids=("gray", "gray1", "RGB", "RGBf", "gray16", "RGB16"))
def test_memory_layouts(shape, dtype, layout):
    image = noisy(np.random.default_rng(7), shape, dtype)
    variant = LAYOUTS[layout](image)
    before = variant.copy()
    result = bf.filter(variant, padding="symmetric", window=4)
    assert same_bits(result, bf.filter(image, padding="symmetric", window=4)) and result.flags.c_contiguous
    assert same_bits(bf.filter(variant, guide=variant, padding="symmetric", window=4), result)
    assert np.array_equal(variant, image) and np.array_equal(variant, before)


# Flat areas and pure white stay as they are, pass after pass, when rounding to nearest; the truncated mean
# (a few ulps below the sample for some values) loses a level.
@pytest.mark.parametrize("dtype,levels,sigma_range", ((np.uint8, (255, 3, 70, 140), 2),
                                                       (np.uint16, (65535, 97, 20000, 40000), 512)))
def test_flat_areas_survive_repeated_passes(dtype, levels, sigma_range):
    image = np.repeat(np.array(levels, dtype)[None, :, None], 16, axis=1).repeat(3, axis=2).repeat(12, axis=0)
    result = image
    for _ in range(5):
        result = bf.filter(result, sigma_range=sigma_range)
    assert np.array_equal(result, image)
    assert not np.array_equal(bf.filter(image, sigma_range=sigma_range, rounding="truncate"), image)


# A planar (3, H, W) array through channel_axis, and out= arrays of any layout: the interleaved result's
# bits, written into the caller's array, which is returned.
@pytest.mark.parametrize("dtype", (np.uint8, np.uint16, np.float32, np.float64))
def test_channel_axis_and_out(dtype):
    image = noisy(np.random.default_rng(5), (19, 23, 3), np.float32 if dtype == np.float64 else dtype).astype(dtype)
    want = bf.filter(image, padding="symmetric")
    planar = np.ascontiguousarray(np.moveaxis(image, 2, 0))
    assert same_bits(np.moveaxis(bf.filter(planar, channel_axis=0, padding="symmetric"), 0, 2), want)
    assert same_bits(bf.filter(np.moveaxis(planar, 0, 1), channel_axis=1, padding="symmetric"),
                     np.moveaxis(want, 2, 1))
    assert same_bits(bf.filter(image, guide=planar, guide_channel_axis=0, padding="symmetric"), want)
    for out in (np.empty_like(image), np.asfortranarray(np.empty_like(image)),
                np.empty((3,) + image.shape[:2], dtype).transpose(1, 2, 0), np.empty((19, 46, 3), dtype)[:, ::2],
                np.frombuffer(bytearray(1 + image.nbytes), dtype, offset=1).reshape(image.shape)):  # misaligned
        assert bf.filter(image, padding="symmetric", out=out) is out and same_bits(out, want)


def test_threads():
    image = noisy(np.random.default_rng(6), (64, 600, 3), np.uint8)
    want = bf.filter(image)
    previous = bf.set_num_threads(1)
    assert same_bits(bf.filter(image, threads=3), want) and bf.set_num_threads(previous) == 3


# The layout given, or implied by the shape as filter() reads it (RGB answers differ: whole 512-column tiles).
@pytest.mark.parametrize("padding", PADDINGS)
@pytest.mark.parametrize("rgb", (False, True), ids=("gray", "RGB"))
def test_bounds_equal_the_query(rgb, padding):
    shape, c = (40, 1200), 3 if rgb else 1
    shapes = [(shape + (c,), dict(layout="RGB" if rgb else "gray")), (shape + (c,), {}),
              ((c,) + shape, dict(channel_axis=0))] + ([] if rgb else [(shape, {})])
    for origin, out_shape, window in (((0, 0), shape, 5), ((10, 12), (6, 7), 4), ((37, 1190), (3, 10), 3)):
        (y0, h), (x0, w) = input_bounds(shape, window, padding, rgb, origin, out_shape)
        for image_shape, kwargs in shapes:
            assert bf.bounds(image_shape, window=window, padding=padding, out_origin=origin, out_shape=out_shape,
                             **kwargs) == ((y0, y0 + h), (x0, x0 + w)), (image_shape, kwargs)


def test_threads_match_serial():
    rng = np.random.default_rng(11)
    jobs = [(noisy(rng, (40 + k, 300, 3) if k % 2 else (60, 90 + k), (np.float32, np.uint8, np.uint16)[k // 4]),
             PADDINGS[k % 3]) for k in range(12)]
    run = lambda job: bf.filter(job[0], padding=job[1], sigma_spatial=1.5, pad_value=9)  # noqa: E731
    serial = [run(job) for job in jobs]
    with ThreadPoolExecutor(max_workers=6) as pool:
        assert all(same_bits(got, want) for _ in range(3) for got, want in zip(pool.map(run, jobs), serial))


# While one thread filters a large image, another keeps running Python: its longest pause is a small
# part of the call. Holding the GIL would stall it for the whole call.
def test_gil_is_released_during_the_call():
    worker = threading.Thread(target=bf.filter, args=(noisy(np.random.default_rng(12), (2000, 2000), np.float32),),
                              kwargs=dict(window=21))
    start = last = time.perf_counter()
    longest = 0.0
    worker.start()
    while worker.is_alive():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    span = time.perf_counter() - start
    assert span > 0.2, "the call must be long enough to tell"
    assert longest < 0.5 * span


# A long call stops soon after Ctrl-C instead of running to its end.
def test_interrupted_promptly():
    image = np.zeros((512, 512), np.uint8)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    start = time.monotonic()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        bf.filter(image, window=501, window_shape="square", sigma_spatial=1000)  # 10 s or more on two threads
    assert time.monotonic() - start < 5
