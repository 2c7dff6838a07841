"""Batches on one machine: a thread pool over files, records in input order.

The library's calls release the GIL (ctypes does so around every foreign
call), so the threads decode and parse in parallel.
"""
import collections
import itertools
import os
import sys
from concurrent.futures import ThreadPoolExecutor

from .errors import KeldraError
from .image import probe
from . import _lib
from . import metadata as _metadata

#: The fields of a metadata record, in order.
METADATA_FIELDS = ("path", "camera", "software", "datetime", "latitude", "longitude", "altitude",
                   "width", "height", "orientation", "error")
#: The fields of a palette record, in order.
PALETTE_FIELDS = ("path", "colors", "error")


def metadata_record(path):
    """One file's metadata as a flat dict of METADATA_FIELDS; a file that cannot be
    read gives a record whose `error` says why (the other fields None). Width and
    height come from the image header when the library has kd_image_probe (None
    otherwise: a metadata batch does not decode pictures)."""
    rec = dict.fromkeys(METADATA_FIELDS)
    rec["path"] = os.fspath(path)
    try:
        with open(path, "rb") as f:
            data = f.read()
        meta = _metadata.read_metadata(data)
    except (KeldraError, OSError) as e:
        rec["error"] = f"{type(e).__name__}: {e}"
        return rec
    rec.update(camera=meta.camera, software=meta.software, datetime=meta.datetime,
               orientation=meta.orientation)
    if meta.gps:
        rec.update(latitude=meta.gps.latitude, longitude=meta.gps.longitude,
                   altitude=meta.gps.altitude)
    if _lib.lib().has("kd_image_probe"):  # the header alone; a decode would cost 100x
        try:
            info = probe(data)
            rec.update(width=info.width, height=info.height)
        except KeldraError:
            pass  # metadata without a picture the library reads (a movie, a raw file)
    return rec


def palette_record(path, n=6, algorithm="wu", space="oklab", seed=0):
    """One image's palette as {"path", "colors" (a list of "#rrggbb"), "error"}."""
    from .image import decode
    rec = {"path": os.fspath(path), "colors": None, "error": None}
    try:
        with decode(path) as img:
            rec["colors"] = img.palette(n, algorithm=algorithm, space=space, seed=seed).hex()
    except (KeldraError, OSError) as e:
        rec["error"] = f"{type(e).__name__}: {e}"
    return rec


def _progress(total, progress):
    """A tqdm bar when asked for, or by default on a terminal when tqdm is installed."""
    if progress is False or (progress is None and not sys.stderr.isatty()):
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    return tqdm(total=total, unit="file")


def _ordered(pool, fn, items, window):
    """pool.map in input order with at most `window` calls queued, so a list of
    millions of paths does not become millions of pending futures."""
    items = iter(items)
    pending = collections.deque(pool.submit(fn, x) for x in itertools.islice(items, window))
    while pending:
        result = pending.popleft().result()
        for x in itertools.islice(items, 1):
            pending.append(pool.submit(fn, x))
        yield result


def run(fn, items, workers=None, progress=None):
    """Yields fn(item) for every item, in input order, from a pool of `workers`
    threads (default: the CPU count). `progress`: None shows a tqdm bar on a
    terminal when tqdm is installed, True always (when installed), False never."""
    if not hasattr(items, "__len__"):
        items = list(items)
    workers = workers or os.cpu_count() or 1
    bar = _progress(len(items), progress)
    try:
        if workers == 1:
            results = map(fn, items)
        else:
            pool = ThreadPoolExecutor(max_workers=workers)
            results = _ordered(pool, fn, items, 4 * workers)
        for r in results:
            if bar is not None:
                bar.update(1)
            yield r
    finally:
        if workers != 1:
            pool.shutdown(cancel_futures=True)
        if bar is not None:
            bar.close()


def read_metadata(paths, workers=None, progress=None):  # noqa: F811 (the batch form)
    """Metadata records (see metadata_record) of many files, in input order."""
    return run(metadata_record, paths, workers, progress)


def palettes(paths, n=6, algorithm="wu", space="oklab", seed=0, workers=None, progress=None):
    """Palette records (see palette_record) of many images, in input order."""
    return run(lambda p: palette_record(p, n, algorithm, space, seed), paths, workers, progress)
