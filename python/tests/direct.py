# The C entry points called directly through ctypes, independent of the module, and what the tests share.
import ctypes
import os

import numpy as np


class Dim(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int32) for name in ("min", "extent", "stride")] + [("flags", ctypes.c_uint32)]


class Buffer(ctypes.Structure):  # the type's code, bits and lanes stand in place of its struct
    _fields_ = [("device", ctypes.c_uint64), ("interface", ctypes.c_void_p), ("host", ctypes.c_void_p),
                ("flags", ctypes.c_uint64), ("code", ctypes.c_uint8), ("bits", ctypes.c_uint8),
                ("lanes", ctypes.c_uint16), ("dimensions", ctypes.c_int32), ("dim", ctypes.POINTER(Dim)),
                ("padding", ctypes.c_void_p)]


_lib = ctypes.CDLL(os.environ.get("BF_LIBRARY", "libbilateral_filter.so"))


# A descriptor of host memory (None: a bounds query); dims is a list of (min, extent, stride), x first.
def _buffer(host, dtype, dims):
    shape = (Dim * len(dims))(*[Dim(m, e, s, 0) for m, e, s in dims])
    code = (1 if np.dtype(dtype).kind == "u" else 2, 8 * np.dtype(dtype).itemsize)
    buf = Buffer(0, None, host, 0, *code, 1, len(dims), shape, None)
    buf.keep = shape  # the dimension array lives as long as the descriptor
    return buf


# The plain entry point of the dtype and the image's layout, or with a guide the joint one (rounded: _rounded).
def _call(dtype, padding, image, weights, window, sigma, pad, out, guide=None, rounded=False):
    layout = "RGB" if image.dimensions == 3 else "gray"
    sample = {1: "uint8", 2: "uint16", 4: "single"}[np.dtype(dtype).itemsize]
    scalars = map(ctypes.c_double, [window, sigma] + ([pad] if padding == "constant" else []))
    if guide is not None:
        entry = getattr(_lib, f"BilateralFilter_joint_{padding}" + ("_rounded" if rounded else ""))
        return entry(ctypes.byref(image), ctypes.byref(guide), ctypes.byref(weights), *scalars, ctypes.byref(out))
    entry = getattr(_lib, f"BilateralFilter_{layout}_{sample}_{padding}")
    return entry(ctypes.byref(image), ctypes.byref(weights), *scalars, ctypes.byref(out))


# Descriptor of a C-ordered planar array: (H, W) or (3, H, W).
def _planar(a):
    h, w = a.shape[-2:]
    return _buffer(a.ctypes.data, a.dtype, [(0, w, 1), (0, h, w)] + ([(0, 3, h * w)] if a.ndim == 3 else []))


# C-ordered planes of an H x W, H x W x 1 or H x W x 3 array: (H, W) or (3, H, W).
def _planes(a):
    return np.ascontiguousarray(np.moveaxis(a, 2, 0) if a.ndim == 3 and a.shape[2] == 3 else a.reshape(a.shape[:2]))


# The entry point's result for an H x W or H x W x 3 image and N x N weights. Rounded to nearest (integer
# images): the float entry point's quotient on the samples in their own units, ties to even, saturated.
# With a guide (H x W, H x W x 1 or H x W x 3; float64 taken as float32), the joint entry point, rounded to
# nearest by its _rounded form.
def reference(image, weights, sigma, padding, pad=0.0, rounding="truncate", guide=None):
    if rounding == "nearest" and image.dtype != np.float32 and guide is None:
        q = reference(image.astype(np.float32), weights, sigma, padding, float(int(pad)))
        return np.clip(np.rint(np.nan_to_num(q, nan=0.0)), 0, np.iinfo(image.dtype).max).astype(image.dtype)
    planar = _planes(image)
    weights, out = np.ascontiguousarray(weights, np.float32), np.zeros_like(planar)
    guide = None if guide is None else _planes(guide.astype(np.float32) if guide.dtype == np.float64 else guide)
    assert _call(planar.dtype, padding, _planar(planar), _planar(weights), len(weights), sigma, pad, _planar(out),
                 None if guide is None else _planar(guide), rounding == "nearest") == 0
    return np.moveaxis(out, 0, 2) if out.ndim == 3 else out


# The bounds query's input region as ((y_min, y_extent), (x_min, x_extent)).
def input_bounds(shape, window, padding, rgb, origin, out_shape):
    channels = [(0, 3, 0)] if rgb else []
    query_in = _buffer(None, np.uint8, [(0, shape[1], 0), (0, shape[0], 0)] + channels)
    query_out = _buffer(None, np.uint8, [(origin[1], out_shape[1], 0), (origin[0], out_shape[0], 0)] + channels)
    _call(np.uint8, padding, query_in, _buffer(None, np.float32, [(0, 0, 0)] * 2), window, 1.0, 0.0, query_out)
    return (query_in.dim[1].min, query_in.dim[1].extent), (query_in.dim[0].min, query_in.dim[0].extent)


# The front ends' Gaussian: evaluated in double, rounded once to float32.
def gaussian(window, sigma, shape="disc"):
    d = np.arange(window, dtype=np.float64) - window // 2
    d2 = d[None, :] ** 2 + d[:, None] ** 2
    w = np.exp(-d2 / (2 * sigma * sigma)).astype(np.float32)
    return np.where(d2 <= (window // 2) ** 2, w, np.float32(0)) if shape == "disc" else w


# Noisy 8 x 8 blocks: flat areas, edges and noise, so that the range weights matter.
def noisy(rng, shape, dtype):
    blocks = np.repeat(np.repeat(rng.integers(0, 256, (shape[0] // 8 + 1, shape[1] // 8 + 1) + shape[2:]), 8, 0), 8, 1)
    image = np.clip(blocks[:shape[0], :shape[1]] + rng.normal(0, 20, shape), 0, 255)
    return {np.uint8: image, np.uint16: image * 257, np.float32: image / 255}[dtype].astype(dtype)


# Same shape, dtype and bit patterns; any NaN equals any NaN.
def same_bits(a, b):
    if a.dtype == b.dtype and a.dtype.kind == "f":
        a, b = (np.where(np.isnan(x), x.dtype.type(np.nan), x).view(f"u{x.dtype.itemsize}") for x in (a, b))
    return a.dtype == b.dtype and a.shape == b.shape and np.array_equal(a, b)
