# Catches a dask filter that differs by a bit from one in-memory call on the whole array (at chunk seams, at
# edges with each padding, with even windows, chunks shorter than the reach, split channels, short last chunks,
# stacks, NaN and infinities, guides chunked otherwise than the image, one guide per frame or one for all),
# that returns other chunks than it was given, that checks its arguments only when the work runs, or that
# cannot run on worker processes.
import dask
import dask.array as da
import numpy as np
import pytest
import zarr
from distributed import Client, LocalCluster

import bilateral_filter as bf
import bilateral_filter.dask as bfd
from direct import noisy, same_bits

# Rows and columns per chunk for a 17 x 23 image: a few seams, chunks shorter than the reach of N = 9,
# then of N = 4 and 5.
CHUNKINGS = ((9, 12), (4, 5), (2, 3))


def picture(rng, shape, dtype):
    image = noisy(rng, shape, np.float32 if dtype == np.float64 else dtype).astype(dtype)
    if image.dtype.kind == "f":
        image.flat[rng.choice(image.size, 6, replace=False)] = [np.nan, np.inf, -np.inf, np.nan, 2.5, -1]
    return image


def test_equals_one_in_memory_call():
    rng = np.random.default_rng(21)
    lazy, cases = [], []
    for channels in ((), (3,)):
        for k, dtype in enumerate((np.uint8, np.uint16, np.float32, np.float64)):
            image = picture(rng, (17, 23) + channels, dtype)
            guide = picture(rng, (17, 23, 3)[:2 + k % 2], (np.float32, np.uint8, np.float64, np.uint16)[k])
            for n in (1, 2, 4, 5, 9):
                for padding in ("constant", "replicate", "symmetric"):
                    kwargs = dict(window=n, sigma_spatial=1.5, padding=padding, pad_value=7)
                    want = bf.filter(image, **kwargs)
                    for chunks in CHUNKINGS:
                        lazy.append(bfd.filter(da.from_array(image, chunks=chunks + (1,) * len(channels)), **kwargs))
                        cases.append((channels, np.dtype(dtype).name, n, padding, chunks, want))
                    chunks = CHUNKINGS[n % 3]  # the guide in chunks of its own
                    lazy.append(bfd.filter(da.from_array(image, chunks=chunks + (1,) * len(channels)),
                                           guide=da.from_array(guide, chunks=(5, 7, 1)[:guide.ndim]), **kwargs))
                    cases.append((channels, np.dtype(dtype).name, n, padding, "guide", bf.filter(image, guide=guide,
                                                                                                  **kwargs)))
    results = dask.compute(*lazy, scheduler="synchronous")
    wrong = [case[:-1] for case, got in zip(cases, results) if not same_bits(got, case[-1])]
    assert not wrong, wrong


SHORT_TAILS = [  # shape, chunks, filter arguments: a last chunk shorter than the reach, which is merged
    ((1001, 1001), 1000, dict(sigma_spatial=1)),  # after one full chunk, on both axes
    ((2050, 3000), 2048, dict(sigma_spatial=2)),  # after one, rows only
    ((20, 37), 12, dict(window=9)),  # after several, columns only
    ((37, 13, 3), (12, 12, 1), dict(window=9)),  # after several (rows) and one (columns), channels split
    ((17, 12), ((5, 5, 5, 2), (9, 3)), dict(window=8, padding="symmetric")),
]


# The result keeps the caller's chunks, whatever merging the overlap needed.
@pytest.mark.parametrize("shape,chunks,kwargs", SHORT_TAILS, ids=[str(row[0]) for row in SHORT_TAILS])
def test_short_last_chunks(shape, chunks, kwargs):
    image = noisy(np.random.default_rng(24), shape, np.uint8)
    darr = da.from_array(image, chunks=chunks)
    lazy = bfd.filter(darr, **kwargs)
    assert lazy.chunks == darr.chunks
    assert same_bits(lazy.compute(scheduler="synchronous"), bf.filter(image, **kwargs))


def test_stacks_filter_frame_by_frame():
    rng = np.random.default_rng(22)
    gray, rgb = noisy(rng, (3, 20, 24), np.uint8), noisy(rng, (2, 2, 20, 24, 3), np.uint16)
    thin = noisy(rng, (2, 3, 23), np.float32)  # fewer rows than the reach of N = 9: mirrored several times
    for stack, layout, chunks, n in ((gray, "gray", (2, 7, 9), 4), (rgb, "RGB", (1, 2, 11, 6, 3), 4),
                                     (thin, "gray", (1, 1, 5), 9)):
        frames = stack.reshape((-1,) + stack.shape[-2 if layout == "gray" else -3:])
        want = np.stack([bf.filter(f, window=n, padding="symmetric") for f in frames]).reshape(stack.shape)
        got = bfd.filter(da.from_array(stack, chunks=chunks), layout=layout, window=n, padding="symmetric")
        assert same_bits(got.compute(), want), layout
    # A guide for each frame (its channels first), and one numpy guide for every frame.
    guides = noisy(rng, (2, 2, 3, 20, 24), np.uint8)
    want = np.stack([bf.filter(f, guide=g, window=4) for f, g in zip(rgb.reshape(4, 20, 24, 3),
                                                                   np.moveaxis(guides, 2, -1).reshape(4, 20, 24, 3))])
    got = bfd.filter(da.from_array(rgb, chunks=(1, 2, 11, 6, 3)), layout="RGB", guide=guides, guide_channel_axis=2,
                     window=4)
    assert same_bits(got.compute(), want.reshape(rgb.shape))
    want = np.stack([bf.filter(f, guide=guides[0, 0, 1], window=4) for f in gray])
    got = bfd.filter(da.from_array(gray, chunks=(2, 7, 9)), layout="gray", guide=guides[0, 0, 1], window=4)
    assert same_bits(got.compute(), want)
    planar = da.from_array(np.moveaxis(rgb, -1, 2), chunks=(1, 1, 1, 8, 8))
    want = bfd.filter(da.from_array(rgb), layout="RGB", window=4).compute()
    assert same_bits(bfd.filter(planar, channel_axis=2, window=4).compute(), np.moveaxis(want, -1, 2))


def _never(block):
    raise AssertionError("the graph ran")


REFUSED = [  # arguments, the exception and a fragment of its message
    (dict(), ValueError, "ambiguous"),
    (dict(layout="RGB"), ValueError, "3 channels"),
    (dict(layout="grey"), ValueError, "layout must be"),
    (dict(layout="gray", sigma_spatial=0), ValueError, "sigma_spatial"),
    (dict(layout="gray", padding="wrap"), ValueError, "padding"),
    (dict(layout="gray", padding="constant", pad_value=300), ValueError, "0..255"),
    (dict(layout="gray", weights=np.ones((2, 3))), ValueError, "square"),
    (dict(layout="gray", rounding="up"), ValueError, "rounding"),
    (dict(layout="gray", channel_axis=1), ValueError, "channel"),
    (dict(layout="gray", out=None), TypeError, "unexpected keyword argument 'out'"),
    (dict(layout="gray", guide=np.zeros((3, 20, 25))), ValueError, "the guide must have the image's rows and columns"),
    (dict(layout="gray", guide=np.zeros((20, 24, 3), np.int8)), TypeError, "guide dtype"),
    (dict(layout="gray", guide_channel_axis=0), ValueError, "without a guide"),
    (dict(layout="gray", dtype=np.int64), TypeError, "float64"),
]


# Errors come from building the graph; a graph whose every task fails shows that no work ran for them.
@pytest.mark.parametrize("kwargs,error,fragment", REFUSED, ids=[row[2] for row in REFUSED])
def test_arguments_checked_when_the_graph_is_built(kwargs, error, fragment):
    dtype = kwargs.pop("dtype", np.uint8)
    stack = da.zeros((3, 20, 24), dtype, chunks=8).map_blocks(_never, meta=np.empty((0, 0, 0), dtype))
    with pytest.raises(error, match=fragment):
        bfd.filter(stack, **kwargs)


def test_local_cluster_round_trips_a_zarr_store(tmp_path):
    image = noisy(np.random.default_rng(23), (300, 260, 3), np.uint8)
    source = zarr.open(str(tmp_path / "in.zarr"), mode="w", shape=image.shape, chunks=(128, 100, 3), dtype=image.dtype)
    source[:] = image
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, env={"HL_NUM_THREADS": "1"},
                      dashboard_address=None) as cluster, Client(cluster) as client:
        smooth = bfd.filter(da.from_zarr(str(tmp_path / "in.zarr")), sigma_spatial=2, padding="symmetric")
        smooth.to_zarr(str(tmp_path / "out.zarr"))
        assert len(client.scheduler_info()["workers"]) == 2
    assert same_bits(zarr.open(str(tmp_path / "out.zarr"))[:], bf.filter(image, sigma_spatial=2, padding="symmetric"))
