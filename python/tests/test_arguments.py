"""Arguments the module refuses, with the exception and a message naming the problem."""
import math
import re

import numpy as np
import pytest

import bilateral_filter as bf

GRAY = np.zeros((8, 8), np.uint8)
RGB = np.zeros((8, 8, 3), np.float32)

REFUSED = {
    "float64": (lambda: bf.filter(np.zeros((8, 8))), TypeError, "uint8 or float32"),
    "int16": (lambda: bf.filter(GRAY.astype(np.int16)), TypeError, "uint8 or float32"),
    "bool": (lambda: bf.filter(GRAY.astype(bool)), TypeError, "uint8 or float32"),
    "strings": (lambda: bf.filter("picture"), TypeError, "uint8 or float32"),
    "one_dimension": (lambda: bf.filter(GRAY[0]), ValueError, "H x W"),
    "four_dimensions": (lambda: bf.filter(RGB[None]), ValueError, "H x W"),
    "empty": (lambda: bf.filter(GRAY[:0]), ValueError, "empty"),
    "no_channels": (lambda: bf.filter(RGB[..., :0]), ValueError, "empty"),
    "two_channels": (lambda: bf.filter(RGB[..., :2]), ValueError, "image[..., :3]"),
    "four_channels": (lambda: bf.filter(np.zeros((8, 8, 4), np.uint8)), ValueError, "image[..., :3]"),
    "weights_not_square": (lambda: bf.filter(GRAY, weights=np.ones((3, 5))), ValueError, "square"),
    "weights_flat": (lambda: bf.filter(GRAY, weights=np.ones(9)), ValueError, "square"),
    "weights_empty": (lambda: bf.filter(GRAY, weights=np.ones((0, 0))), ValueError, "square"),
    "weights_window_differ": (lambda: bf.filter(GRAY, window=5, weights=np.ones((3, 3))), ValueError,
                              "does not match"),
    "weights_nan": (lambda: bf.filter(GRAY, weights=[[1, math.nan], [1, 1]]), ValueError, "finite"),
    "weights_beyond_float32": (lambda: bf.filter(GRAY, weights=[[1e39]]), ValueError, "finite"),
    "weights_complex": (lambda: bf.filter(GRAY, weights=np.ones((3, 3), complex)), TypeError, "real"),
    "sigma_spatial_zero": (lambda: bf.filter(GRAY, sigma_spatial=0), ValueError, "sigma_spatial"),
    "sigma_spatial_nan": (lambda: bf.filter(GRAY, sigma_spatial=math.nan), ValueError, "sigma_spatial"),
    "sigma_spatial_huge": (lambda: bf.filter(GRAY, sigma_spatial=1e300), ValueError, "sigma_spatial"),
    "sigma_range_negative": (lambda: bf.filter(GRAY, sigma_range=-1), ValueError, "sigma_range"),
    "sigma_range_infinite": (lambda: bf.filter(RGB, sigma_range=math.inf), ValueError, "sigma_range"),
    "window_zero": (lambda: bf.filter(GRAY, window=0), ValueError, "window"),
    "window_negative": (lambda: bf.filter(GRAY, window=-3), ValueError, "window"),
    "window_fraction": (lambda: bf.filter(GRAY, window=2.5), ValueError, "window"),
    "window_huge": (lambda: bf.filter(GRAY, window=2**40), ValueError, "window"),
    "window_text": (lambda: bf.filter(GRAY, window="5"), TypeError, "window"),
    "window_bool": (lambda: bf.filter(GRAY, window=True), TypeError, "window"),
    "padding_unknown": (lambda: bf.filter(GRAY, padding="wrap"), ValueError, "padding"),
    "pad_value_above_255": (lambda: bf.filter(GRAY, padding="constant", pad_value=256), ValueError, "0..255"),
    "pad_value_negative": (lambda: bf.filter(GRAY, padding="constant", pad_value=-1), ValueError, "0..255"),
    "pad_value_nan": (lambda: bf.filter(RGB, padding="constant", pad_value=math.nan), ValueError, "pad_value"),
    "bounds_layout": (lambda: bf.bounds((8, 8), window=3, layout="BGR"), ValueError, "layout"),
    "bounds_channels": (lambda: bf.bounds((8, 8, 4), window=3, layout="RGB"), ValueError, "channel"),
    "bounds_empty": (lambda: bf.bounds((0, 8), window=3), ValueError, "shape"),
    "bounds_shape_text": (lambda: bf.bounds("8x8", window=3), TypeError, "shape"),
    "bounds_window": (lambda: bf.bounds((8, 8), window=0), ValueError, "window"),
    "bounds_padding": (lambda: bf.bounds((8, 8), window=3, padding="zero"), ValueError, "padding"),
    "bounds_out_shape": (lambda: bf.bounds((8, 8), window=3, out_shape=(0, 4)), ValueError, "out_shape"),
    "bounds_out_origin": (lambda: bf.bounds((8, 8), window=3, out_origin=(1, 2, 3)), ValueError, "out_origin"),
}


@pytest.mark.parametrize("case", REFUSED)
def test_refused(case):
    call, error, fragment = REFUSED[case]
    with pytest.raises(error, match=re.escape(fragment)):
        call()


def test_limits_accepted():
    for pad in (0, 255, 254.9):
        bf.filter(GRAY, padding="constant", pad_value=pad)
    bf.filter(RGB, padding="constant", pad_value=-7.5)
    bf.filter(GRAY, padding="replicate", pad_value=1000)  # ignored without constant padding
    bf.filter(GRAY[:1, :1], window=1, weights=[[2]])
