"""Direct calls of the C entry points through ctypes, independent of the module.

Images here are planar and C-ordered: (H, W) for gray, (3, H, W) for RGB, so
the buffers are x-contiguous with stride W along y and H*W along channels.
"""
import ctypes
import os

import numpy as np


class Dimension(ctypes.Structure):
    _fields_ = [("min", ctypes.c_int32), ("extent", ctypes.c_int32), ("stride", ctypes.c_int32),
                ("flags", ctypes.c_uint32)]


class Type(ctypes.Structure):
    _fields_ = [("code", ctypes.c_uint8), ("bits", ctypes.c_uint8), ("lanes", ctypes.c_uint16)]


class Buffer(ctypes.Structure):
    _fields_ = [("device", ctypes.c_uint64), ("device_interface", ctypes.c_void_p), ("host", ctypes.c_void_p),
                ("flags", ctypes.c_uint64), ("type", Type), ("dimensions", ctypes.c_int32),
                ("dim", ctypes.POINTER(Dimension)), ("padding", ctypes.c_void_p)]


_lib = ctypes.CDLL(os.environ.get("BF_LIBRARY", "libbilateral_filter.so"))
_BUF = ctypes.POINTER(Buffer)
for _name in (f"BilateralFilter_{l}_{s}_{p}" for l in ("gray", "RGB") for s in ("single", "uint8")
              for p in ("constant", "replicate", "symmetric")):
    _fn = getattr(_lib, _name)
    _fn.restype = ctypes.c_int
    _fn.argtypes = [_BUF, _BUF, ctypes.c_double, ctypes.c_double] + \
        ([ctypes.c_double] if _name.endswith("constant") else []) + [_BUF]


def _buffer(host, code, bits, dims):
    """A descriptor; dims is a list of (min, extent, stride), x first."""
    shape = (Dimension * len(dims))(*[Dimension(m, e, s, 0) for m, e, s in dims])
    buf = Buffer(0, None, host, 0, Type(code, bits, 1), len(dims), shape, None)
    buf._shape = shape  # keeps the dimension array alive with the descriptor
    return buf


def _planar(a):
    """Descriptor of a C-ordered planar array (H, W) or (C, H, W)."""
    code, bits = (1, 8) if a.dtype == np.uint8 else (2, 32)
    h, w = a.shape[-2:]
    dims = [(0, w, 1), (0, h, w)] + ([(0, a.shape[0], h * w)] if a.ndim == 3 else [])
    return _buffer(a.ctypes.data, code, bits, dims)


def entry_point(rgb, dtype, padding):
    sample = "uint8" if np.dtype(dtype) == np.uint8 else "single"
    return getattr(_lib, f"BilateralFilter_{'RGB' if rgb else 'gray'}_{sample}_{padding}")


def filter_planar(image, weights, window, sigma_range, padding, pad_value=0.0):
    """The entry point's result for a planar image and N x N float32 weights."""
    image = np.ascontiguousarray(image)
    weights = np.ascontiguousarray(weights, dtype=np.float32)
    out = np.zeros_like(image)
    args = [ctypes.byref(_planar(image)), ctypes.byref(_planar(weights)), float(window), float(sigma_range)]
    if padding == "constant":
        args.append(float(pad_value))
    args.append(ctypes.byref(_planar(out)))
    assert entry_point(image.ndim == 3, image.dtype, padding)(*args) == 0
    return out


def input_bounds(shape, window, padding, rgb, out_origin, out_shape):
    """The bounds query's input answer as ((y_min, y_extent), (x_min, x_extent))."""
    h, w = shape
    (oy, ox), (oh, ow) = out_origin, out_shape
    query_in = _buffer(None, 1, 8, [(0, w, 0), (0, h, 0)] + ([(0, 3, 0)] if rgb else []))
    query_out = _buffer(None, 1, 8, [(ox, ow, 0), (oy, oh, 0)] + ([(0, 3, 0)] if rgb else []))
    query_w = _buffer(None, 2, 32, [(0, 0, 0), (0, 0, 0)])
    args = [ctypes.byref(query_in), ctypes.byref(query_w), float(window), 1.0]
    if padding == "constant":
        args.append(0.0)
    args.append(ctypes.byref(query_out))
    entry_point(rgb, np.uint8, padding)(*args)
    return ((query_in.dim[1].min, query_in.dim[1].extent), (query_in.dim[0].min, query_in.dim[0].extent))
