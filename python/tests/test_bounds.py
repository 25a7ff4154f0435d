"""bilateral_filter.bounds: the input region a call reads, ends exclusive."""
import numpy as np
import pytest

import bilateral_filter as bf
from direct import input_bounds


@pytest.mark.parametrize("padding", ("constant", "replicate", "symmetric"))
@pytest.mark.parametrize("rgb", (False, True), ids=("gray", "RGB"))
def test_equals_the_bounds_query(rgb, padding):
    shape = (40, 1200)
    cases = [((0, 0), shape, 5), ((10, 12), (6, 7), 4), ((0, 600), (3, 40), 9), ((37, 1190), (3, 10), 3)]
    for origin, out_shape, window in cases:
        (y0, h), (x0, w) = input_bounds(shape, window, padding, rgb, origin, out_shape)
        got = bf.bounds(shape + ((3,) if rgb else ()), window=window, padding=padding,
                        layout="RGB" if rgb else "gray", out_origin=origin, out_shape=out_shape)
        assert got == ((y0, y0 + h), (x0, x0 + w))


def test_gray_region():
    assert bf.bounds((10, 20), window=5) == ((0, 10), (0, 20))
    assert bf.bounds((10, 20), window=5, out_origin=(3, 4), out_shape=(2, 2)) == ((1, 7), (2, 8))
    # An even window reaches one position further up and left.
    assert bf.bounds((10, 20), window=4, out_origin=(3, 4), out_shape=(2, 2)) == ((1, 6), (2, 7))
    # Once a window leaves the image, mirroring can reach any sample.
    assert bf.bounds((10, 20), window=5, padding="symmetric", out_shape=(2, 2)) == ((0, 10), (0, 20))


@pytest.mark.parametrize("shape", ((30, 40), (12, 700, 3)), ids=("gray", "RGB"))
def test_region_suffices(shape):
    """Filtering only the region gives the same output samples as filtering the
    whole image."""
    rng = np.random.default_rng(5)
    image = rng.integers(0, 256, shape, dtype=np.uint8)
    origin, size = (4, 9), (5, 6)
    (y0, y1), (x0, x1) = bf.bounds(shape, window=5, layout="RGB" if len(shape) == 3 else "gray",
                                   out_origin=origin, out_shape=size)
    assert y0 > 0 and x0 > 0  # an interior region, so the cut edges matter
    part = bf.filter(image[y0:y1, x0:x1], window=5)
    whole = bf.filter(image, window=5)
    oy, ox = origin[0] - y0, origin[1] - x0
    assert np.array_equal(part[oy:oy + size[0], ox:ox + size[1]],
                          whole[origin[0]:origin[0] + size[0], origin[1]:origin[1] + size[1]])
