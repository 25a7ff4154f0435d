"""Filtering dask arrays: images larger than memory, stacks of frames, a cluster.

    >>> import dask.array as da, bilateral_filter.dask as bfd
    >>> image = da.zeros((4000, 4000), "uint8", chunks=2000)
    >>> smooth = bfd.filter(image, sigma_spatial=2)      # lazy; smooth.compute() or .to_zarr(...)

Every sample of the result is bit-identical to one in-memory
bilateral_filter.filter call on the whole array, for any chunking. Each block
is filtered together with the window's reach of its neighbours' samples
(map_overlap, no padding of its own): floor(N/2) rows and columns before it
and N - 1 - floor(N/2) after. Only blocks at the image's true edges meet the
library's padding, which then gives the same samples as for the whole image.
Chunks shorter than that reach are merged into a neighbour first, and the
result is rechunked back, so it always has the input's chunks.

Layouts: the last two axes are rows and columns (gray), or the last three rows,
columns and 3 channels (RGB); leading axes are frames, filtered one by one.
H x W, H x W x 1 and H x W x 3 arrays are recognised as the in-memory filter
recognises them; anything else (stacks, H x W x 4 ...) needs layout='gray' or
layout='RGB'. The channel axis is filtered as one chunk.

Joint filtering: guide= takes a dask or numpy array of the frames' rows and
columns (H x W, H x W x 1 or H x W x 3, any sample type the in-memory filter
takes). With the array's leading axes in front (frames x H x W ...), each
frame has its own guide; without them, the one guide serves every frame. The
guide is rechunked to the chunks the array is filtered in and overlapped
alike, so every sample is still the one in-memory call's.

Chunks of about 2000 x 2000 samples or more keep the overhead (task
scheduling, the reach re-read around each block) small. On a cluster, give
each worker one Python thread and the library's threads through the
environment, before the worker's first call (the pool never shrinks):

    from distributed import Client, LocalCluster
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, env={"HL_NUM_THREADS": "4"})

This is the only module of the package that imports dask.
"""
from __future__ import annotations

import warnings
from typing import Any, Dict, Optional, Tuple

import dask.array as da
import numpy as np
import numpy.typing as npt

from . import _checked, _core, _number, _refuse_call, _sample_type
from . import filter as _filter_in_memory

_LAYOUTS = ("gray", "RGB")


def _filter_block(block: np.ndarray, guide: Optional[np.ndarray], frame_ndim: int, guide_lead: int,
                  options: Dict[str, Any]) -> np.ndarray:
    """Filters each frame of a block (with its neighbours' overlap) on its own, with its guide block's frame (one
    per frame when guide_lead, the guide's leading axes, is not 0). Module level so it pickles."""
    out = np.empty(block.shape, block.dtype.newbyteorder("="))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # issued once, when the graph was built
        for lead in np.ndindex(block.shape[:block.ndim - frame_ndim]):
            frame_guide = guide[lead] if guide_lead else guide
            _filter_in_memory(block[lead], guide=frame_guide, out=out[lead], **options)
    return out


def _frame_ndim(shape: Tuple[int, ...], layout: Optional[str]) -> int:
    """How many trailing axes make one frame: 2 (gray rows, columns) or 3 (with channels)."""
    if layout is None:
        if len(shape) == 2 or (len(shape) == 3 and shape[2] in (1, 3)):
            return len(shape)
        raise ValueError(f"the layout of an array of shape {shape} is ambiguous: pass layout='gray' (the last two "
                         "axes are rows and columns) or layout='RGB' (the last three are rows, columns and 3 "
                         "channels); leading axes are frames")
    if not isinstance(layout, str) or layout not in ("gray", "RGB", "rgb"):
        raise ValueError(f"layout must be 'gray' or 'RGB', not {layout!r}")
    if layout == "gray":
        if len(shape) < 2:
            raise ValueError(f"a gray array needs rows and columns, not shape {shape}")
        return 2
    if len(shape) < 3 or shape[-1] != 3:
        raise ValueError(f"an RGB array's last axis holds the 3 channels; shape {shape} does not")
    return 3


def _axis(value: Any, ndim: int, name: str) -> int:
    """An axis given as name=value, of an array of ndim axes."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer or None, not {type(value).__name__}")
    if not -ndim <= value < ndim:
        raise ValueError(f"{name} {value} is outside an array of {ndim} axes")
    return int(value)


def _guide_lead(guide_shape: Tuple[int, ...], shape: Tuple[int, ...], lead: int) -> int:
    """The guide's leading axes: the array's own (a guide for each frame), or none (one guide for every frame)."""
    for k in (lead, 0):
        frame = guide_shape[k:]
        if guide_shape[:k] == shape[:k] and frame[:2] == shape[lead:lead + 2] and len(frame) in (2, 3):
            return k
    raise ValueError(f"the guide must have the image's rows and columns: a guide of shape {guide_shape} fits neither "
                     f"the frames of an array of shape {shape} nor one of them")


def _overlap_chunks(chunks: Tuple[int, ...], reach: int) -> Tuple[int, ...]:
    """Chunks along one axis with none shorter than the reach (one chunk when the axis is that short)."""
    if len(chunks) == 1 or min(chunks) >= reach:
        return chunks
    if sum(chunks) <= reach:
        return (sum(chunks),)
    merged = []
    for c in chunks:
        if merged and merged[-1] < reach:
            merged[-1] += c
        else:
            merged.append(c)
    if merged[-1] < reach:  # a short last chunk joins the one before it
        tail = merged.pop()
        merged[-1] += tail
    return tuple(merged)


def filter(darr: Any, *misplaced: Any, layout: Optional[str] = None, sigma_spatial: float = 1.0,
           window: Optional[int] = None, window_shape: str = "disc", sigma_range: Optional[float] = None,
           padding: str = "replicate",
           pad_value: float = 0.0, weights: Optional[npt.ArrayLike] = None, channel_axis: Optional[int] = None,
           guide: Any = None, guide_channel_axis: Optional[int] = None, rounding: str = "nearest",
           **unknown: Any) -> da.Array:
    """Filters a dask array lazily; returns a dask array of the same shape, chunks and dtype.

    darr      a dask array (or anything da.asarray takes) of uint8, uint16,
              float32 or float64 samples.
    layout    'gray' or 'RGB': whether the last two or last three axes make a
              frame (see the module's help); needed for stacks and other
              shapes the in-memory filter would not take.
    channel_axis  the axis of the 3 channels, if not the last (implies RGB).
    guide     joint filtering: a dask or numpy array, one frame or one per
              frame (see the module's help); guide_channel_axis is its
              channel axis, if not the last.
    The other arguments are bilateral_filter.filter's, with the same meaning,
    defaults and checks; they are checked here, before any work is scheduled.
    There is no out= (use da.store or .to_zarr) and no threads= (set
    HL_NUM_THREADS in each worker's environment).

    Example:
        >>> import numpy as np, dask.array as da, bilateral_filter as bf, bilateral_filter.dask as bfd
        >>> frames = da.from_array(np.full((4, 300, 200), 0.5, np.float32), chunks=(1, 128, 128))
        >>> lazy = bfd.filter(frames, layout="gray", sigma_spatial=1.5, padding="symmetric")
        >>> bool((lazy.compute() == bf.filter(frames[0].compute(), sigma_spatial=1.5, padding="symmetric")).all())
        True
    """
    if misplaced or unknown:
        raise _refuse_call("filter", "darr", _KEYWORDS, misplaced, unknown)
    darr = da.asarray(darr)
    options = dict(sigma_spatial=sigma_spatial, window=window, window_shape=window_shape, sigma_range=sigma_range,
                   padding=padding, pad_value=pad_value, weights=None if weights is None else np.array(weights),
                   rounding=rounding)
    if guide is not None:
        guide = da.asarray(guide)
        if guide_channel_axis is not None:
            guide = da.moveaxis(guide, _axis(guide_channel_axis, guide.ndim, "guide_channel_axis"), -1)
    elif guide_channel_axis is not None:
        raise ValueError("guide_channel_axis is given without a guide")
    if channel_axis is not None:
        axis = _axis(channel_axis, darr.ndim, "channel_axis")
        if layout not in (None, "RGB", "rgb"):
            raise ValueError("channel_axis goes with layout='RGB'")
        return da.moveaxis(filter(da.moveaxis(darr, axis, -1), layout="RGB", guide=guide, **options), -1, axis)
    frame_ndim = _frame_ndim(darr.shape, layout)
    given_chunks = darr.chunks
    _sample_type(darr)
    lead = darr.ndim - frame_ndim
    guide_lead = 0 if guide is None else _guide_lead(guide.shape, darr.shape, lead)
    n = _core.window_of(window, options["weights"], _number(sigma_spatial, "sigma_spatial"))
    before, after = n // 2, n - 1 - n // 2
    rows, cols = darr.ndim - frame_ndim, darr.ndim - frame_ndim + 1
    chunks = list(darr.chunks)
    for axis in (rows, cols):
        chunks[axis] = _overlap_chunks(chunks[axis], max(before, after))
    if frame_ndim == 3:
        chunks[-1] = (darr.shape[-1],)
    # Every argument, checked as the in-memory filter checks it (its errors, its warnings) on the largest
    # block a worker will filter: a chunk with its neighbours' reach, in memory that is never touched.
    block = tuple(min(max(chunks[axis]) + (before + after if len(chunks[axis]) > 1 else 0), darr.shape[axis])
                  for axis in (rows, cols))
    probe = None if guide is None else np.broadcast_to(np.zeros((), guide.dtype), block + guide.shape[guide_lead + 2:])
    _checked(np.broadcast_to(np.zeros((), darr.dtype), block + darr.shape[cols + 1:]), None, guide=probe, **options)
    darr = darr.rechunk(tuple(chunks))
    depth = {axis: 0 for axis in range(darr.ndim)}
    for axis in (rows, cols):
        depth[axis] = (before, after) if len(darr.chunks[axis]) > 1 else 0
    # Blocks of the array, and of the guide in the same chunks (its channels, a new index, in one chunk), each
    # with its neighbours' reach.
    arrays = [(darr, tuple(range(darr.ndim)))]
    if guide is not None:
        shared = tuple(range(rows - guide_lead, cols + 1))
        channels = ((guide.shape[-1],),) if guide.ndim > len(shared) else ()
        guide = guide.rechunk(tuple(darr.chunks[axis] for axis in shared) + channels)
        arrays.append((guide, shared + (darr.ndim,) * len(channels)))
    overlapped = any(d != 0 for d in depth.values())
    if overlapped:
        arrays = [(da.overlap.overlap(x, depth={k: depth.get(axis, 0) for k, axis in enumerate(index)},
                                      boundary="none", allow_rechunk=False), index) for x, index in arrays]
    pairs = [item for x, index in arrays for item in (x, index)] + ([None, None] if guide is None else [])
    dtype = darr.dtype.newbyteorder("=")
    result = da.blockwise(_filter_block, tuple(range(darr.ndim)), *pairs, concatenate=True, dtype=dtype,
                          meta=np.empty((0,) * darr.ndim, dtype), frame_ndim=frame_ndim, guide_lead=guide_lead,
                          options=options)
    if overlapped:
        result = da.overlap.trim_internal(result, depth, boundary="none")
    # Merged short chunks and a joined channel axis go back to the caller's chunking.
    return result if result.chunks == given_chunks else result.rechunk(given_chunks)


_KEYWORDS = ("layout", "sigma_spatial", "window", "window_shape", "sigma_range", "padding", "pad_value", "weights",
             "channel_axis", "guide", "guide_channel_axis", "rounding")
