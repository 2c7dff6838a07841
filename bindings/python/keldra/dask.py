"""Catalogues on Dask: bags and dataframes of metadata and palette records.

Dask is optional: importing this module needs it, the rest of the package
does not. Each partition runs one thread per file pool (keldra.batch) inside
its worker, so a worker process with several threads scales as well.
"""
import glob as _glob
import os

import dask.bag as db

from . import batch

_META_TYPES = {"path": "object", "camera": "object", "software": "object",
               "datetime": "datetime64[ns]", "latitude": "float64", "longitude": "float64",
               "altitude": "float64", "width": "Int64", "height": "Int64",
               "orientation": "Int64", "error": "object"}
_PALETTE_TYPES = {"path": "object", "rank": "Int64", "color": "object", "error": "object"}


def expand(paths_or_glob):
    """A sorted list of files: a glob pattern ("photos/**/*.jpg"), a directory (walked
    whole), or an iterable of paths (kept as given)."""
    if isinstance(paths_or_glob, (str, os.PathLike)):
        p = os.fspath(paths_or_glob)
        if os.path.isdir(p):
            return sorted(os.path.join(d, f) for d, _, fs in os.walk(p) for f in fs)
        return sorted(_glob.glob(p, recursive=True))
    return [os.fspath(p) for p in paths_or_glob]


def _metadata_partition(paths, threads):
    return list(batch.read_metadata(paths, workers=threads, progress=False))


def _palette_partition(paths, n, algorithm, space, seed, threads):
    return list(batch.palettes(paths, n, algorithm, space, seed, workers=threads, progress=False))


def metadata_bag(paths_or_glob, partition_size=256, threads=1):
    """A dask.bag of metadata records (keldra.batch.METADATA_FIELDS), in path order."""
    paths = expand(paths_or_glob)
    bag = db.from_sequence(paths, partition_size=partition_size)
    return bag.map_partitions(_metadata_partition, threads)


def _frame_row(rec):
    row = dict(rec)
    dt = row["datetime"]
    # One column of one type: capture dates are kept as the camera's wall time.
    row["datetime"] = dt.replace(tzinfo=None) if dt is not None else None
    return row


def metadata_frame(paths_or_glob, partition_size=256, threads=1):
    """A dask.dataframe of metadata with typed columns: path, camera, software,
    datetime (the camera's local time), latitude, longitude, altitude, width,
    height, orientation (nullable integers) and error."""
    bag = metadata_bag(paths_or_glob, partition_size, threads).map(_frame_row)
    return bag.to_dataframe(meta=_empty(_META_TYPES)).astype(_META_TYPES)


def palette_bag(paths_or_glob, n=6, algorithm="wu", space="oklab", seed=0, partition_size=64,
                threads=1):
    """A dask.bag of palette records {"path", "colors" ("#rrggbb" list), "error"}."""
    paths = expand(paths_or_glob)
    bag = db.from_sequence(paths, partition_size=partition_size)
    return bag.map_partitions(_palette_partition, n, algorithm, space, seed, threads)


def _palette_rows(rec):
    if rec["error"] is not None:
        return [{"path": rec["path"], "rank": None, "color": None, "error": rec["error"]}]
    return [{"path": rec["path"], "rank": i, "color": c, "error": None}
            for i, c in enumerate(rec["colors"])]


def palette_frame(paths_or_glob, n=6, algorithm="wu", space="oklab", seed=0, partition_size=64,
                  threads=1):
    """A dask.dataframe with one row per palette colour: path, rank, color, error."""
    bag = palette_bag(paths_or_glob, n, algorithm, space, seed, partition_size, threads)
    return bag.map(_palette_rows).flatten().to_dataframe(meta=_empty(_PALETTE_TYPES)) \
        .astype(_PALETTE_TYPES)


def _empty(types):
    import pandas as pd
    return pd.DataFrame({k: pd.Series(dtype=v) for k, v in types.items()})
