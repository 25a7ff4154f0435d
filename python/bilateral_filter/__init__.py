"""Edge-preserving smoothing of gray and RGB images with a bilateral filter.

Each output sample is the weighted mean of the input samples in an N x N
window, where a window position's weight is a spatial weight times the range
weight exp(-d^2 / (2 sigma_range^2)) of its difference d from the centre
sample. Flat areas are averaged, edges survive. Results are defined to the bit:
the same on every machine and for every thread count.

Functions:
    filter           filter a numpy array (uint8, uint16, float32, float64);
                     with guide=, take the range weights from a second image
                     (joint filtering)
    bounds           the input region a filter call reads
    set_num_threads  the library's worker count
The submodule bilateral_filter.dask filters dask arrays larger than memory,
chunk by chunk, with the same bits as one in-memory call.

Example:
    >>> import numpy as np, bilateral_filter as bf
    >>> image = np.full((64, 64, 3), 200, np.uint8)
    >>> bf.filter(image, sigma_spatial=2).max()
    200
"""
from __future__ import annotations

import difflib
import inspect
import numbers
import warnings
from collections.abc import Iterable
from typing import Any, Optional, Tuple

import numpy as np
import numpy.typing as npt

from . import _core

__version__: str = _core.__version__
__all__ = ["filter", "bounds", "set_num_threads", "__version__"]

_SAMPLE_TYPES = (np.dtype(np.uint8), np.dtype(np.uint16), np.dtype(np.float32), np.dtype(np.float64))


def _refuse_call(name: str, lead: str, keywords: Tuple[str, ...], misplaced: tuple, unknown: dict) -> TypeError:
    """A one-line TypeError for extra positional or unknown keyword arguments (values are never shown)."""
    if misplaced:
        names = ", ".join(f"{k}=" for k in keywords[:len(misplaced)])
        return TypeError(f"{name}() takes one positional argument ({lead}); give the other {len(misplaced)} "
                         f"by keyword: {names}")
    word = next(iter(unknown))
    close = difflib.get_close_matches(word, keywords, n=1)
    hint = f"; did you mean {close[0]!r}?" if close else f"; it takes {', '.join(keywords)}"
    return TypeError(f"{name}() got an unexpected keyword argument {word!r}{hint}")


def _number(value: Any, name: str) -> float:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    return float(value)


def _text(value: Any, name: str) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{name} must be a str, not {type(value).__name__}")
    return value


def set_num_threads(threads: int) -> int:
    """Sets the library's worker count for the whole process; returns the previous setting.

    The Halide runtime's thread pool grows to the largest count asked for and
    never shrinks: lowering the count after workers have started has no effect
    on them. Set it (or the HL_NUM_THREADS environment variable) before the
    first filter call. Results are the same bits for any count.

    Example:
        >>> import bilateral_filter as bf
        >>> previous = bf.set_num_threads(2)
    """
    if isinstance(threads, (bool, np.bool_)) or not isinstance(threads, numbers.Integral):
        raise TypeError(f"threads must be an integer, not {type(threads).__name__}")
    if not 1 <= threads <= _core.max_threads:
        raise ValueError(f"threads must be within 1..{_core.max_threads}, not {threads}")
    return _core.set_num_threads(int(threads))


def _channel_axis(shape: Tuple[Any, ...], channel_axis: Any, what: str = "image") -> int:
    """channel_axis (of the image or the guide) checked against its shape: an axis of a 3-axis shape, with 1 or 3
    entries."""
    name = "channel_axis" if what == "image" else f"{what}_channel_axis"
    if isinstance(channel_axis, (bool, np.bool_)) or not isinstance(channel_axis, numbers.Integral):
        raise TypeError(f"{name} must be an integer or None, not {type(channel_axis).__name__}")
    if len(shape) != 3:
        raise ValueError(f"{name} needs a 3-dimensional {what}, not one of shape {shape}")
    if not -3 <= channel_axis < 3:
        raise ValueError(f"{name} must be within -3..2, not {int(channel_axis)}")
    if shape[channel_axis] not in (1, 3):
        raise ValueError(f"{name}={int(channel_axis)}: that axis of the {what} has {shape[channel_axis]} entries; "
                         "1 (gray) or 3 (RGB) are taken")
    return int(channel_axis)


def _image_layout(a: np.ndarray, channel_axis: Optional[int], what: str = "image") -> np.ndarray:
    """The image (or guide) seen as H x W or H x W x C (a view, never a copy)."""
    if channel_axis is None:
        return a
    return np.moveaxis(a, _channel_axis(a.shape, channel_axis, what), -1)


def _sample_type(a: np.ndarray, what: str = "image") -> np.dtype:
    if a.dtype.newbyteorder("=") not in _SAMPLE_TYPES:
        raise TypeError(f"{what} dtype must be uint8, uint16, float32 or float64, not {a.dtype} (convert it first, "
                        f"e.g. {what}.astype(numpy.uint16) for integer data, {what}.astype(numpy.float32) otherwise)")
    return a.dtype.newbyteorder("=")


def _float32_probe(view: np.ndarray, sample_type: np.dtype) -> np.ndarray:
    """A float64 array as the float32 copy it will become, for the checks (no memory is touched)."""
    return np.broadcast_to(np.float32(0), view.shape) if sample_type == np.float64 else view


def _checked(a: np.ndarray, channel_axis: Any, sigma_spatial: Any, window: Any, window_shape: Any, sigma_range: Any,
             padding: Any, pad_value: Any, weights: Any, rounding: Any, guide: Any = None,
             guide_channel_axis: Any = None) -> Tuple[np.ndarray, Optional[np.ndarray], Tuple[Any, ...]]:
    """Checks a filter call on `a` (with `guide`) as every front end of the library does, before anything is allocated.

    Raises TypeError, ValueError or MemoryError (one line) for what it refuses and issues its warnings
    (likely unit mistakes, very long runs). Returns the image and the guide (None without one) seen as
    H x W (x C), and the checked numbers.
    """
    result_type = _sample_type(a)
    sigma_spatial = _number(sigma_spatial, "sigma_spatial")
    sigma_range = None if sigma_range is None else _number(sigma_range, "sigma_range")
    padding = _text(padding, "padding")
    window_shape = _text(window_shape, "window_shape")
    pad_value = _number(pad_value, "pad_value")
    if _text(rounding, "rounding") not in ("nearest", "truncate"):
        raise ValueError(f"rounding must be 'nearest' or 'truncate', not {rounding!r}")
    view = _image_layout(a, channel_axis)
    guide_view = guide_probe = None
    if guide is not None:
        guide = np.asarray(guide)
        guide_view = _image_layout(guide, guide_channel_axis, "guide")
        guide_probe = _float32_probe(guide_view, _sample_type(guide, "guide"))
    elif guide_channel_axis is not None:
        raise ValueError("guide_channel_axis is given without a guide")
    for warning in _core.check(_float32_probe(view, result_type), guide_probe, sigma_spatial, window, window_shape,
                               sigma_range, padding, pad_value, weights, rounding == "truncate"):
        warnings.warn(warning, stacklevel=3)
    return view, guide_view, (sigma_spatial, window_shape, sigma_range, padding, pad_value)


def filter(image: npt.ArrayLike, *misplaced: Any, sigma_spatial: float = 1.0, window: Optional[int] = None,
           window_shape: str = "disc", sigma_range: Optional[float] = None, padding: str = "replicate",
           pad_value: float = 0.0, weights: Optional[npt.ArrayLike] = None, channel_axis: Optional[int] = None,
           guide: Optional[npt.ArrayLike] = None, guide_channel_axis: Optional[int] = None, rounding: str = "nearest",
           out: Optional[np.ndarray] = None, threads: Optional[int] = None, **unknown: Any) -> np.ndarray:
    """Filters an image; returns a new array of the same shape and dtype, or `out`.

    image          H x W or H x W x 1 (gray) or H x W x 3 (RGB) array of uint8
                   (0..255), uint16 (0..65535), float32 (usually 0..1) or
                   float64. float64 images are filtered in float32 (each sample
                   rounded to float32 first) and returned as float64. Other
                   dtypes are refused: convert with image.astype(...). Any
                   memory layout or byte order; gray arrays with contiguous
                   rows and planar RGB are read without a copy.
    sigma_spatial  spatial sigma in pixels for the Gaussian spatial weights
                   exp(-(di^2 + dj^2) / (2 sigma_spatial^2)).
    window         window size N (default 2 * ceil(2 * sigma_spatial) + 1). An
                   even N reaches one position further left and up: N = 4
                   covers offsets -2 ... 1.
    window_shape   'disc' (default): the Gaussian weights cover the disc of
                   radius floor(N / 2), the offsets with di^2 + dj^2 <=
                   floor(N / 2)^2, and are exactly 0 elsewhere (OpenCV's
                   convention for a diameter d = N; isotropic, and faster, as
                   the library skips zero weights). 'square': every position of
                   the N x N window. Given weights are used as they are.
    sigma_range    range sigma in sample units (the guide's, with a guide);
                   default 10 % of the sample range: 25.5 for uint8, 6553.5
                   for uint16, 0.1 for floats.
    padding        how positions outside the image are read: 'replicate'
                   (nearest edge sample), 'symmetric' (mirror, edge sample
                   repeated) or 'constant' (pad_value).
    pad_value      constant padding only; within 0..255 for uint8 and
                   0..65535 for uint16 (image and guide).
    weights        N x N spatial weights instead of the Gaussian: weights[j, i]
                   is the weight of window offset (i + off, j + off),
                   off = -floor(N / 2). Rounded to float32; must be finite.
    channel_axis   the axis of the 3 colour channels. None: the last axis when
                   it has 3 entries (else gray). 0 reads a planar (3, H, W)
                   array in place, without a copy, and returns (3, H, W).
    guide          joint filtering: the range weights compare the guide's
                   samples instead of the image's, and the image's samples
                   are averaged with them (edges of a photograph steer the
                   smoothing of its depth map, say). An array of the image's
                   rows and columns: H x W, H x W x 1 or H x W x 3, of uint8,
                   uint16, float32 or float64 (filtered as float32), whatever
                   the image is. With the image itself as the guide the result
                   is the plain filter's, bit for bit.
    guide_channel_axis  the guide's channel axis, as channel_axis is the
                   image's.
    rounding       integer images only. 'nearest' (default): each result is
                   the float32 weighted mean rounded to nearest, ties to even,
                   so flat areas and pure white survive repeated passes.
                   'truncate': the integer entry points' own results (rounded
                   toward zero), bit for bit.
    out            an array of the result's shape and dtype to write into (no
                   new array is made; float64 results go through a float32
                   temporary). It must not share memory with the image.
    threads        set the library's worker count first, for the whole process
                   (as set_num_threads; the pool grows, never shrinks).

    The GIL is released while the library runs, so Python threads can filter
    concurrently.

    Example:
        >>> import numpy as np, bilateral_filter as bf
        >>> noisy = np.random.default_rng(1).normal(0.5, 0.05, (100, 100)).astype(np.float32)
        >>> smooth = bf.filter(noisy, sigma_spatial=2, sigma_range=0.2)
        >>> bool(smooth.std() < noisy.std())
        True
        >>> planar = np.zeros((3, 48, 64), np.uint16)
        >>> bf.filter(planar, channel_axis=0).shape
        (3, 48, 64)
        >>> depth = np.full((48, 64), 1200, np.uint16)            # a uint16 depth map with its 8-bit photograph
        >>> bf.filter(depth, guide=np.zeros((48, 64, 3), np.uint8), sigma_range=20).dtype
        dtype('uint16')
    """
    if misplaced or unknown:
        raise _refuse_call("filter", "image", _FILTER_KEYWORDS, misplaced, unknown)
    a = np.asarray(image)
    result_type = _sample_type(a)
    if out is not None:
        if not isinstance(out, np.ndarray):
            raise TypeError(f"out must be a numpy array, not {type(out).__name__}")
        if out.shape != a.shape or out.dtype != result_type:
            raise ValueError(f"out must have the result's shape {a.shape} and dtype {result_type}, "
                             f"not {out.shape} and {out.dtype}")
        if not out.flags.writeable:
            raise ValueError("out is read-only")
        if any(stride == 0 and n > 1 for stride, n in zip(out.strides, out.shape)):
            raise ValueError("out repeats memory (a zero or overlapping stride)")
        if np.may_share_memory(a, out) and np.shares_memory(a, out):
            raise ValueError("out overlaps the image; the filter cannot work in place, pass a separate array")
    if threads is not None:
        set_num_threads(threads)
    view, guide_view, (sigma_spatial, window_shape, sigma_range, padding, pad_value) = _checked(
        a, channel_axis, sigma_spatial, window, window_shape, sigma_range, padding, pad_value, weights, rounding,
        guide, guide_channel_axis)
    with np.errstate(over="ignore"):  # float64 samples beyond float32's range become infinities
        if result_type == np.float64:
            view = view.astype(np.float32)
        if guide_view is not None and guide_view.dtype.newbyteorder("=") == np.float64:
            guide_view = guide_view.astype(np.float32)
    result = np.empty(a.shape, result_type) if out is None else out
    # float64 results, and misaligned out= arrays, are filled from a float32 or aligned temporary.
    temporary = result_type == np.float64 or not result.flags.aligned
    target = np.empty(a.shape, np.float32 if result_type == np.float64 else result_type) if temporary else result
    target_view = target if channel_axis is None else np.moveaxis(target, int(channel_axis), -1)
    _core.filter(view, guide_view, target_view, sigma_spatial, window, window_shape, sigma_range, padding, pad_value,
                 weights, rounding == "truncate")
    if target is not result:
        np.copyto(result, target)
    return result


_FILTER_KEYWORDS = tuple(p for p in inspect.signature(filter).parameters if p not in ("image", "misplaced", "unknown"))


def bounds(shape: Tuple[int, ...], *misplaced: Any, window: int, padding: str = "replicate",
           layout: Optional[str] = None, channel_axis: Optional[int] = None, out_origin: Tuple[int, int] = (0, 0),
           out_shape: Optional[Tuple[int, int]] = None, **unknown: Any) -> Tuple[Tuple[int, int], Tuple[int, int]]:
    """The input region a filter call would read, as ((y0, y1), (x0, x1)).

    The ends y1 and x1 are exclusive, so image[y0:y1, x0:x1] is the region. The
    answer is the library's own bounds query for an output of out_shape rows and
    columns at out_origin (row, column), default the whole image, over an input
    of the given shape; it lies within the input.
    shape         the image's shape, read as filter() reads an image: (H, W) and
                  (H, W, 1) are gray, (H, W, 3) is RGB.
    channel_axis  the axis of the channels in a 3-axis shape, as for filter():
                  (3, H, W) with channel_axis=0 is RGB.
    layout        'gray' or 'RGB' instead of the layout the shape implies (the
                  colour kernel's answer covers whole 512-column tiles).

    Example:
        >>> import bilateral_filter as bf
        >>> bf.bounds((100, 100), window=5, out_origin=(10, 20), out_shape=(8, 8))
        ((8, 20), (18, 30))
        >>> bf.bounds((100, 1000, 3), window=5, out_origin=(10, 20), out_shape=(8, 8))
        ((8, 20), (18, 510))
    """
    if misplaced or unknown:
        raise _refuse_call("bounds", "shape", _BOUNDS_KEYWORDS, misplaced, unknown)
    padding = _text(padding, "padding")
    if isinstance(shape, (str, bytes)) or not isinstance(shape, Iterable):
        raise TypeError(f"shape must be a sequence of integers, not {type(shape).__name__}")
    dims = tuple(shape)
    if channel_axis is not None:
        axis = _channel_axis(dims, channel_axis) % 3
        dims = dims[:axis] + dims[axis + 1:] + (dims[axis],)
    if layout is None:
        layout = "RGB" if len(dims) == 3 and dims[2] == 3 else "gray"
    return _core.bounds(dims, window, padding, _text(layout, "layout"), out_origin, out_shape)


_BOUNDS_KEYWORDS = tuple(p for p in inspect.signature(bounds).parameters if p not in ("shape", "misplaced", "unknown"))


# help() and inspect show the signatures as callers use them, without the catch-alls.
def _public_signature(function: Any) -> inspect.Signature:
    signature = inspect.signature(function)
    kept = [p for p in signature.parameters.values() if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
    kept = [p.replace(kind=p.KEYWORD_ONLY) if i > 0 else p for i, p in enumerate(kept)]
    return signature.replace(parameters=kept)


filter.__signature__ = _public_signature(filter)  # type: ignore[attr-defined]
bounds.__signature__ = _public_signature(bounds)  # type: ignore[attr-defined]
