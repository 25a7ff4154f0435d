# Catches arguments the module lets through to the library or refuses with the wrong exception or an
# unhelpful message, and limits it wrongly refuses.
import math
import re

import numpy as np
import pytest

import bilateral_filter as bf

GRAY, RGB, RGB16 = np.zeros((8, 8), np.uint8), np.zeros((8, 8, 3), np.float32), np.zeros((8, 8, 3), np.uint16)


def arg(name, image=GRAY, **fixed):
    return lambda value: bf.filter(image, **fixed, **{name: value})


REFUSED = [  # a call of the bad value, the bad values, the exception and a fragment of its message
    (bf.filter, [np.zeros((8, 8)), GRAY.astype(np.int8), GRAY.astype(np.int16), GRAY.astype(np.uint32),
                 GRAY.astype(bool), "picture"], TypeError, "uint8, uint16 or float32"),
    (bf.filter, [GRAY[0], RGB[None]], ValueError, "H x W"),
    (bf.filter, [GRAY[:0], RGB[..., :0]], ValueError, "empty"),
    (bf.filter, [RGB[..., :2], np.zeros((8, 8, 4), np.uint8)], ValueError, "image[..., :3]"),
    (arg("weights"), [np.ones((3, 5)), np.ones(9), np.ones((0, 0))], ValueError, "square"),
    (arg("weights", window=5), [np.ones((3, 3))], ValueError, "does not match"),
    (arg("weights"), [[[1, math.nan], [1, 1]], [[1e39]]], ValueError, "finite"),
    (arg("weights"), [np.ones((3, 3), complex)], TypeError, "real"),
    (arg("sigma_spatial"), [0, math.nan, 1e300], ValueError, "sigma_spatial"),
    (arg("sigma_range", RGB), [-1, math.inf], ValueError, "sigma_range"),
    (arg("window"), [0, -3, 2.5, 2**40], ValueError, "window"),
    (arg("window"), ["5", True], TypeError, "window"),
    (arg("padding"), ["wrap"], ValueError, "padding"),
    (arg("pad_value", padding="constant"), [256, -1], ValueError, "0..255"),
    (arg("pad_value", RGB16, padding="constant"), [65536, -0.5], ValueError, "0..65535"),
    (arg("pad_value", RGB, padding="constant"), [math.nan, math.inf], ValueError, "pad_value"),
    (lambda layout: bf.bounds((8, 8), window=3, layout=layout), ["BGR", "Gray"], ValueError, "layout"),
    (lambda shape: bf.bounds(shape, window=3, layout="RGB"), [(8, 8, 4), (8, 8, 1)], ValueError, "channel"),
    (lambda shape: bf.bounds(shape, window=3), [(0, 8), (8, 2**31), (8,)], ValueError, "shape"),
    (lambda shape: bf.bounds(shape, window=3), ["8x8"], TypeError, "shape"),
    (lambda out_shape: bf.bounds((8, 8), window=3, out_shape=out_shape), [(0, 4), (4,)], ValueError, "out_shape"),
    (lambda origin: bf.bounds((8, 8), window=3, out_origin=origin), [(1, 2, 3), (2**31, 0)], ValueError, "out_origin"),
]


@pytest.mark.parametrize("call,values,error,fragment", REFUSED, ids=[row[3] for row in REFUSED])
def test_refused(call, values, error, fragment):
    for value in values:
        with pytest.raises(error, match=re.escape(fragment)):
            call(value)


def test_limits_accepted():
    for pad in (0, 255, 254.9):
        bf.filter(GRAY, padding="constant", pad_value=pad)
    bf.filter(RGB, padding="constant", pad_value=-7.5)
    for pad in (0, 65535, 65534.9):
        bf.filter(RGB16, padding="constant", pad_value=pad)
    bf.filter(GRAY, padding="replicate", pad_value=1000)  # the pad value matters only to constant padding
    bf.filter(GRAY[:1, :1], window=1, weights=[[2]])
