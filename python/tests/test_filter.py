"""bilateral_filter.filter against direct calls of the C entry points."""
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import bilateral_filter as bf
from direct import filter_planar

PADDINGS = ("constant", "replicate", "symmetric")


def make_image(rng, shape, dtype):
    """Noisy blocks: flat areas, edges and noise, so the range weights matter."""
    h, w = shape[:2]
    base = np.kron(rng.integers(0, 256, (h // 8 + 1, w // 8 + 1) + shape[2:]), np.ones((8, 8) + (1,) * len(shape[2:])))
    image = np.clip(base[:h, :w] + rng.normal(0, 20, shape), 0, 255)
    return image.astype(np.uint8) if dtype == np.uint8 else (image / 255).astype(np.float32)


def gaussian(window, sigma):
    """The front ends' Gaussian: evaluated in double, rounded once to float32."""
    off = -(window // 2)
    d = np.arange(window, dtype=np.float64) + off
    return np.exp(-(d[None, :] ** 2 + d[:, None] ** 2) / (2 * sigma * sigma)).astype(np.float32)


def to_planar(image):
    return np.moveaxis(image, 2, 0) if image.ndim == 3 else image


def from_planar(image):
    return np.moveaxis(image, 0, 2) if image.ndim == 3 else image


def assert_same_bits(actual, expected):
    assert actual.dtype == expected.dtype and actual.shape == expected.shape
    if actual.dtype == np.float32:
        nan = np.isnan(expected)
        assert np.array_equal(np.isnan(actual), nan)
        actual, expected = actual[~nan].view(np.uint32), expected[~nan].view(np.uint32)
    assert np.array_equal(actual, expected)


@pytest.mark.parametrize("padding", PADDINGS)
@pytest.mark.parametrize("dtype", (np.uint8, np.float32), ids=("uint8", "float32"))
@pytest.mark.parametrize("shape", ((23, 41), (9, 530, 3)), ids=("gray", "RGB"))
def test_equals_the_entry_point(shape, dtype, padding):
    """Each of the twelve entry points, with the default weights, window and
    range sigma, an even window, and explicit weights."""
    rng = np.random.default_rng(sum(shape) + len(padding) + np.dtype(dtype).itemsize)
    image = make_image(rng, shape, dtype)
    u8 = dtype == np.uint8
    pad = 200.0 if u8 else 0.75
    default_range = 25.5 if u8 else 0.1

    sigma = 1.3  # default window 2 * ceil(2.6) + 1 = 7
    assert_same_bits(bf.filter(image, sigma_spatial=sigma, padding=padding, pad_value=pad),
                     from_planar(filter_planar(to_planar(image), gaussian(7, sigma), 7, default_range, padding, pad)))

    sigma_range = 40.0 if u8 else 0.2
    assert_same_bits(bf.filter(image, window=4, sigma_range=sigma_range, padding=padding, pad_value=pad),
                     from_planar(filter_planar(to_planar(image), gaussian(4, 1.0), 4, sigma_range, padding, pad)))

    weights = rng.uniform(0, 1, (3, 3))  # float64: the module rounds it to float32
    assert_same_bits(bf.filter(image, weights=weights, padding=padding, pad_value=pad),
                     from_planar(filter_planar(to_planar(image), weights.astype(np.float32), 3, default_range,
                                               padding, pad)))


def test_defaults():
    rng = np.random.default_rng(3)
    for dtype, sigma_range in ((np.uint8, 25.5), (np.float32, 0.1)):
        image = make_image(rng, (20, 30, 3), dtype)
        explicit = bf.filter(image, sigma_spatial=1.0, window=5, sigma_range=sigma_range, padding="replicate",
                             weights=gaussian(5, 1.0))
        assert_same_bits(bf.filter(image), explicit)
    # Whole-number floats and numpy integers are windows too.
    assert_same_bits(bf.filter(image, window=5.0), bf.filter(image, window=np.int64(5)))


def misaligned_float32(image):
    """A float32 copy whose data starts one byte into its allocation."""
    raw = np.empty(image.nbytes + 1, np.uint8)
    view = raw[1:].view(np.float32).reshape(image.shape)
    view[...] = image
    assert not view.flags.aligned
    return view


LAYOUTS = {
    "fortran": np.asfortranarray,
    "rows_strided": lambda a: np.repeat(a, 2, axis=0)[::2],
    "columns_strided": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "rows_reversed": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "columns_reversed": lambda a: np.ascontiguousarray(a[:, ::-1])[:, ::-1],
    "planar": lambda a: np.ascontiguousarray(np.moveaxis(a, 2, 0)).transpose(1, 2, 0) if a.ndim == 3 else a,
    "read_only": lambda a: np.frombuffer(a.tobytes(), a.dtype).reshape(a.shape),
    "sliced": lambda a: np.pad(a, [(3, 2), (5, 1)] + [(0, 0)] * (a.ndim - 2))[3:-2, 5:-1],
    "byte_swapped": lambda a: a.astype(a.dtype.newbyteorder()) if a.dtype == np.float32 else a,
    "misaligned": lambda a: misaligned_float32(a) if a.dtype == np.float32 else a,
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("shape,dtype", (((17, 29), np.float32), ((17, 29, 1), np.uint8), ((13, 21, 3), np.uint8),
                                         ((13, 21, 3), np.float32)), ids=("gray", "gray1", "RGB", "RGBf"))
def test_memory_layouts(shape, dtype, layout):
    """Any memory layout gives the result of the C-ordered array, leaves the
    input alone, and comes back C-ordered in the input's shape and dtype."""
    rng = np.random.default_rng(7)
    image = make_image(rng, shape, dtype)
    expected = bf.filter(image, padding="symmetric", window=4)
    variant = LAYOUTS[layout](image)
    before = variant.copy()
    assert np.array_equal(variant, image)
    result = bf.filter(variant, padding="symmetric", window=4)
    assert_same_bits(result.astype(result.dtype.newbyteorder("=")), expected)
    assert result.flags.c_contiguous
    assert np.array_equal(variant, before)


def test_threads_match_serial():
    """Calls from several Python threads at once (the GIL is released) give the
    serial results."""
    rng = np.random.default_rng(11)
    jobs = [(make_image(rng, (40 + k, 300, 3) if k % 2 else (60, 90 + k), np.uint8 if k % 3 else np.float32),
             PADDINGS[k % 3]) for k in range(12)]
    run = lambda job: bf.filter(job[0], padding=job[1], sigma_spatial=1.5, pad_value=9)  # noqa: E731
    serial = [run(job) for job in jobs]
    with ThreadPoolExecutor(max_workers=6) as pool:
        for _ in range(3):
            for got, want in zip(pool.map(run, jobs), serial):
                assert_same_bits(got, want)



def test_gil_is_released_during_the_call():
    """While one thread filters a large image, another keeps running Python:
    its longest pause is a small part of the call. Holding the GIL would stall
    it for the whole call."""
    image = make_image(np.random.default_rng(12), (2000, 2000), np.float32)
    done = threading.Event()
    span = []

    def work():
        start = time.perf_counter()
        bf.filter(image, window=21)
        span.append(time.perf_counter() - start)
        done.set()

    worker = threading.Thread(target=work)
    last, longest = time.perf_counter(), 0.0
    worker.start()
    while not done.is_set():
        now = time.perf_counter()
        longest, last = max(longest, now - last), now
    worker.join()
    assert span[0] > 0.2, "the call must be long enough to tell"
    assert longest < 0.5 * span[0]
