"""Keldra for Python: photo metadata, image codecs and colour palettes.

A pure-Python package over the library's C functions (ctypes), so nothing is
compiled for Python. The library, libkeldra.so.1, is found beside the package,
through the KELDRA_LIBRARY environment variable, or on the system library path.

    import keldra
    meta = keldra.read_metadata("photo.jpg")      # a mapping of tag names to texts
    meta.camera, meta.datetime, meta.gps
    with keldra.decode(open("photo.jpg", "rb").read()) as img:
        pixels = numpy.asarray(img)               # (h, w, c) uint8, no copy
        png = img.resize(320, 240).encode("png")

keldra.batch runs many files on a thread pool; keldra.dask (needs Dask) makes
bags and dataframes of records for a cluster.
"""
from . import batch
from ._lib import lib as _library
from .edit import edit, strip
from .errors import (FileError, InvalidDataError, KeldraError, LibraryNotFoundError,
                     NoMetadataError, OutOfMemoryError, UnsupportedError)
from .image import DEFAULT_MAX_PIXELS, FORMATS, Image, ImageInfo, decode, probe, thumbnail
from .metadata import GPS, Metadata, read_metadata
from .palette import Palette

__version__ = "1.0.0"


def library_version():
    """The loaded library's version text ("1.0.0")."""
    return _library().kd_version().decode()


def library_path():
    """The path the library was loaded from."""
    return _library().path


def features():
    """The extended calls the loaded library exports (newer builds have more)."""
    return {name: _library().has(name) for name in
            ("kd_image_decode_ex", "kd_image_thumbnail_ex", "kd_image_probe",
             "kd_exif_get_datetime")}


__all__ = ["read_metadata", "Metadata", "GPS", "decode", "thumbnail", "probe", "Image",
           "ImageInfo", "Palette", "edit", "strip", "batch", "KeldraError", "InvalidDataError",
           "UnsupportedError", "OutOfMemoryError", "FileError", "NoMetadataError",
           "LibraryNotFoundError", "DEFAULT_MAX_PIXELS", "FORMATS", "library_version",
           "library_path", "features"]
