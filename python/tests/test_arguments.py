# Catches arguments the package lets through to the library or refuses with the wrong exception or an
# unhelpful message (more than one line, an array dump), and limits it wrongly refuses.
import math
import re
import warnings

import numpy as np
import pytest

import bilateral_filter as bf

GRAY, RGB, RGB16 = np.zeros((8, 8), np.uint8), np.zeros((8, 8, 3), np.float32), np.zeros((8, 8, 3), np.uint16)


def arg(name, image=GRAY, **fixed):
    return lambda value: bf.filter(image, **fixed, **{name: value})


REFUSED = [  # a call of the bad value, the bad values, the exception and a fragment of its message
    (bf.filter, [GRAY.astype(np.int8), GRAY.astype(np.int16), GRAY.astype(np.uint32), GRAY.astype(np.float16),
                 GRAY.astype(bool), "picture"], TypeError, "uint8, uint16, float32 or float64"),
    (lambda extra: bf.filter(GRAY, *extra), [(2.0,), (2.0, None)], TypeError, "by keyword: sigma_spatial="),
    (lambda word: bf.filter(GRAY, **{word: 1}), ["sigma", "windows"], TypeError, "unexpected keyword argument"),
    (lambda extra: bf.bounds((8, 8), *extra, window=3), [(3,)], TypeError, "by keyword: window="),
    (arg("sigma_spatial"), ["2", None, True], TypeError, "sigma_spatial must be a real number"),
    (arg("padding"), [1, None], TypeError, "padding must be a str"),
    (arg("rounding"), ["round", "Nearest"], ValueError, "rounding must be 'nearest' or 'truncate'"),
    (arg("threads"), [0, -2, 257, 2**31], ValueError, "threads must be within 1..256"),
    (arg("threads"), [2.0, "2"], TypeError, "threads must be an integer"),
    (arg("channel_axis", RGB), [3, -4], ValueError, "channel_axis must be within"),
    (arg("channel_axis", RGB), [1.0], TypeError, "channel_axis must be an integer"),
    (arg("channel_axis"), [0, -1], ValueError, "3-dimensional"),
    (arg("channel_axis", RGB), [0, 1], ValueError, "has 8 entries"),
    (arg("out", RGB), [RGB, RGB[::-1], RGB.transpose(1, 0, 2)], ValueError, "out overlaps the image"),
    (arg("out", RGB), [np.zeros((8, 8, 3)), np.zeros((8, 3, 8), np.float32)], ValueError, "out must have"),
    (arg("out", RGB), [np.broadcast_to(RGB[:1] + 1, RGB.shape)], ValueError, "read-only"),
    (arg("out", RGB), [[0.0]], TypeError, "out must be a numpy array"),
    (arg("out", RGB), [np.lib.stride_tricks.as_strided(np.zeros(3, np.float32), (8, 8, 3), (0, 0, 4), writeable=True)],
     ValueError, "repeats memory"),
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
    (arg("window_shape"), ["circle", "Disc"], ValueError, "window_shape must be 'disc' or 'square'"),
    (arg("window"), [16385, 100000], ValueError, "for its weights alone"),
    (arg("sigma_spatial"), [5000], ValueError, "sigma_spatial 5000.0: a window of 20001"),
    (arg("weights"), [[[1, -1], [1, 1]], [[0, 0], [0, 0]], [[3e38]]], ValueError, "weights"),
    (arg("sigma_range"), [1e-30], ValueError, "too small: 2 sigma^2 is 0"),
    (arg("window"), [23], ValueError, "at most 2*max(width, height)+1 = 17"),
    # 16 tasks of about 22 GiB of scratch each, on an image of one row.
    (lambda w: bf.filter(np.zeros((1, 8192), np.uint8), window=w, threads=2), [16384], MemoryError,
     "would need about"),
    (arg("pad_value", padding="constant"), [256, -1], ValueError, "0..255"),
    (arg("pad_value", RGB16, padding="constant"), [65536, -0.5], ValueError, "0..65535"),
    (arg("pad_value", RGB, padding="constant"), [math.nan, math.inf, 1e39], ValueError, "pad value"),
    (arg("pad_value", RGB16, padding="constant", guide=GRAY), [256], ValueError, "0..255"),
    (arg("guide"), [GRAY[1:], RGB[:, 1:], GRAY.T[:3]], ValueError, "the guide must have the image's rows and columns"),
    (arg("guide"), [GRAY.astype(np.int16), "picture"], TypeError, "guide dtype must be"),
    (arg("guide"), [np.zeros((8, 8, 4), np.uint8), GRAY[None]], ValueError, "guide"),
    (arg("guide_channel_axis"), [0], ValueError, "guide_channel_axis is given without a guide"),
    (arg("guide_channel_axis", guide=RGB), [1, 3], ValueError, "guide_channel_axis"),
    (lambda g: bf.filter(RGB, guide=g, out=g[::-1]), [RGB.copy()], ValueError, "out overlaps the guide"),
    (lambda layout: bf.bounds((8, 8), window=3, layout=layout), ["BGR", "Gray"], ValueError, "layout"),
    (lambda shape: bf.bounds(shape, window=3, layout="RGB"), [(8, 8, 4), (8, 8, 1)], ValueError, "channel"),
    (lambda shape: bf.bounds(shape, window=3, layout="gray"), [(8, 8, 3)], ValueError, "channel"),
    (lambda axis: bf.bounds((3, 8, 8), window=3, channel_axis=axis), [1, -1], ValueError, "has 8 entries"),
    (lambda shape: bf.bounds(shape, window=3), [(0, 8), (8, 2**31), (8,)], ValueError, "shape"),
    (lambda shape: bf.bounds(shape, window=3), ["8x8", 8], TypeError, "shape"),
    (lambda out_shape: bf.bounds((8, 8), window=3, out_shape=out_shape), [(0, 4), (4,)], ValueError, "out_shape"),
    (lambda origin: bf.bounds((8, 8), window=3, out_origin=origin), [(1, 2, 3), (2**31, 0)], ValueError, "out_origin"),
]


@pytest.mark.parametrize("call,values,error,fragment", REFUSED, ids=[row[3] for row in REFUSED])
def test_refused(call, values, error, fragment):
    for value in values:
        with pytest.raises(error, match=re.escape(fragment)) as caught:
            call(value)
        assert "\n" not in str(caught.value) and "array(" not in str(caught.value)


def test_limits_accepted():
    for pad in (0, 255, 254.9):
        bf.filter(GRAY, padding="constant", pad_value=pad)
    bf.filter(RGB, padding="constant", pad_value=-7.5)
    for pad in (0, 65535, 65534.9):
        bf.filter(RGB16, padding="constant", pad_value=pad)
    bf.filter(GRAY, padding="replicate", pad_value=1000)  # the pad value matters only to constant padding
    bf.filter(GRAY[:1, :1], window=1, weights=[[2]])
    bf.filter(np.zeros((8, 8)), out=np.zeros((8, 8)))  # float64 in, float64 out


def test_unit_warnings():
    with pytest.warns(UserWarning, match="below one level of 8-bit samples"):
        bf.filter(GRAY, sigma_range=0.1)
    with pytest.warns(UserWarning, match="exceeds the 8-bit range"):
        bf.filter(GRAY, sigma_range=1000)
    with pytest.warns(UserWarning, match="below one level of 8-bit guide samples"):  # the guide's units
        bf.filter(RGB, guide=GRAY, sigma_range=0.1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        bf.filter(GRAY, sigma_range=25)
        bf.filter(RGB, sigma_range=0.1)
        bf.filter(GRAY, guide=RGB16, sigma_range=1000)
