"""Loading libkeldra and declaring the exported functions for ctypes.

ctypes.CDLL releases the GIL around every foreign call, so threads that call
into the library run in parallel. Functions the loaded library does not
export (an older build) are left out, and `has(name)` says which are present.
"""
import codecs
import ctypes
import ctypes.util
import os
import threading

from .errors import LibraryNotFoundError

c_int, c_int32, c_int64, c_uint32, c_uint64 = (ctypes.c_int, ctypes.c_int32, ctypes.c_int64,
                                               ctypes.c_uint32, ctypes.c_uint64)
c_size_t, c_double, c_char_p, c_void_p = ctypes.c_size_t, ctypes.c_double, ctypes.c_char_p, ctypes.c_void_p
c_ubyte_p = ctypes.POINTER(ctypes.c_ubyte)
P = ctypes.POINTER


class DecodeOpts(ctypes.Structure):
    """KdDecodeOpts: 32 bytes, `size` first."""
    _fields_ = [("size", c_uint32), ("flags", c_uint32), ("max_pixels", c_uint64),
                ("message", c_void_p), ("message_size", c_size_t)]


class ImageInfo(ctypes.Structure):
    """KdImageInfo: 24 bytes, `size` first."""
    _fields_ = [("size", c_uint32), ("format", ctypes.c_int32), ("width", ctypes.c_int32),
                ("height", ctypes.c_int32), ("channels", ctypes.c_int32),
                ("colorspace", ctypes.c_int32)]


class QuantizeOpts(ctypes.Structure):
    """KdQuantizeOpts: 24 bytes."""
    _fields_ = [("seed", c_uint64), ("max_iter", c_int32), ("weighted", c_int32),
                ("parallel", c_int32), ("threads", c_int32)]


class Color(ctypes.Structure):
    """KdColor: 20 bytes."""
    _fields_ = [("c0", ctypes.c_float), ("c1", ctypes.c_float), ("c2", ctypes.c_float),
                ("alpha", ctypes.c_float), ("space", c_int32)]


assert ctypes.sizeof(DecodeOpts) == 32 and ctypes.sizeof(ImageInfo) == 24
assert ctypes.sizeof(QuantizeOpts) == 24 and ctypes.sizeof(Color) == 20

# Handles are opaque pointers; buffers the library allocates come back as
# c_void_p so they can be copied out and then released by address.
_H = c_void_p
_PROTOTYPES = {
    "kd_version": (c_char_p, []),
    "kd_library_init": (c_int, []),
    "kd_exif_strerror": (c_char_p, [c_int]),
    "kd_image_strerror": (c_char_p, [c_int]),
    "kd_exif_buffer_free": (None, [c_void_p]),
    "kd_image_buffer_free": (None, [c_void_p]),
    # metadata
    "kd_exif_read_file": (c_int, [c_char_p, P(_H)]),
    "kd_exif_read_buffer": (c_int, [c_char_p, c_size_t, P(_H)]),
    "kd_exif_tag_count": (c_int64, [_H]),
    "kd_exif_tag_at": (c_int, [_H, c_int64, P(c_char_p), P(c_char_p)]),
    "kd_exif_get_tag": (c_char_p, [_H, c_char_p]),
    "kd_exif_get_gps": (c_int, [_H, P(c_double), P(c_double), P(c_double)]),
    "kd_exif_get_orientation": (c_int, [_H]),
    "kd_exif_to_json": (c_char_p, [_H]),
    "kd_exif_get_datetime": (c_int, [_H, c_char_p, c_size_t]),
    "kd_exif_meta_free": (None, [_H]),
    # editing
    "kd_exif_strip_file": (c_int, [c_char_p, c_char_p]),
    "kd_exif_strip_buffer": (c_int, [c_char_p, c_size_t, P(c_void_p), P(c_size_t)]),
    "kd_exif_edit_open": (c_int, [c_char_p, P(_H)]),
    "kd_exif_edit_open_buffer": (c_int, [c_char_p, c_size_t, P(_H)]),
    "kd_exif_set_artist": (None, [_H, c_char_p]),
    "kd_exif_set_software": (None, [_H, c_char_p]),
    "kd_exif_set_datetime": (None, [_H, c_char_p]),
    "kd_exif_set_gps": (None, [_H, c_double, c_double, c_double]),
    "kd_exif_edit_set_tag": (c_int, [_H, c_char_p, c_char_p]),
    "kd_exif_strip_all": (None, [_H]),
    "kd_exif_edit_write": (c_int, [_H, c_char_p]),
    "kd_exif_edit_write_buffer": (c_int, [_H, P(c_void_p), P(c_size_t)]),
    "kd_exif_edit_free": (None, [_H]),
    # images
    "kd_image_from_pixels": (c_int, [c_int, c_int, c_int, c_void_p, c_size_t, P(_H)]),
    "kd_image_decode_buffer": (c_int, [c_char_p, c_size_t, c_int, P(_H)]),
    "kd_image_decode_ex": (c_int, [c_char_p, c_size_t, c_int, P(DecodeOpts), P(_H)]),
    "kd_image_thumbnail": (c_int, [c_char_p, c_size_t, P(_H)]),
    "kd_image_thumbnail_ex": (c_int, [c_char_p, c_size_t, P(DecodeOpts), P(_H)]),
    "kd_image_probe": (c_int, [c_char_p, c_size_t, P(ImageInfo), c_char_p, c_size_t]),
    "kd_image_encode": (c_int, [_H, c_int, c_int, P(c_void_p), P(c_size_t)]),
    "kd_image_width": (c_int, [_H]),
    "kd_image_height": (c_int, [_H]),
    "kd_image_channels": (c_int, [_H]),
    "kd_image_get_colorspace": (c_int, [_H]),
    "kd_image_pixels": (c_int, [_H, P(c_void_p), P(c_size_t)]),
    "kd_image_free": (None, [_H]),
    "kd_image_resize": (c_int, [_H, c_int, c_int, c_int, P(_H)]),
    "kd_image_crop": (c_int, [_H, c_int, c_int, c_int, c_int, P(_H)]),
    "kd_image_rotate": (c_int, [_H, c_int, P(_H)]),
    "kd_image_apply_orientation": (c_int, [_H, c_int, P(_H)]),
    # palettes
    "kd_image_extract_palette": (c_int, [_H, c_int32, c_char_p, c_int32, P(QuantizeOpts), P(_H)]),
    "kd_palette_len": (c_int64, [_H]),
    "kd_palette_color_at": (c_int, [_H, c_int64, P(Color)]),
    "kd_palette_tag": (c_int, [_H]),
    "kd_palette_seed": (c_uint64, [_H]),
    "kd_palette_free": (None, [_H]),
}

# Present in every build of ABI 1; the others are looked up and may be absent.
_OPTIONAL = {"kd_exif_get_datetime", "kd_image_decode_ex", "kd_image_thumbnail_ex",
             "kd_image_probe"}

_SONAME = "libkeldra.so.1"


def _candidates():
    """Where the library is looked for, in order, as (description, path) pairs.
    KELDRA_LIBRARY, when set, is the only place: a caller who names a build must
    not get another one silently."""
    env = os.environ.get("KELDRA_LIBRARY")
    if env:
        yield "KELDRA_LIBRARY", env
        return
    here = os.path.dirname(os.path.abspath(__file__))
    yield "beside the package", os.path.join(here, _SONAME)
    yield "the system library path", _SONAME
    found = ctypes.util.find_library("keldra")
    if found and found != _SONAME:
        yield "ldconfig", found


class _Library:
    """The loaded library: attribute access gives the declared functions."""

    def __init__(self, cdll, path):
        self.path = path
        self._cdll = cdll
        self._present = set()
        for name, (restype, argtypes) in _PROTOTYPES.items():
            try:
                fn = getattr(cdll, name)
            except AttributeError:
                if name in _OPTIONAL:
                    continue
                raise LibraryNotFoundError(f"{path} does not export {name}: not a Keldra library")
            fn.restype, fn.argtypes = restype, argtypes
            setattr(self, name, fn)
            self._present.add(name)
        if self.kd_library_init() != 0:
            raise LibraryNotFoundError(f"{path}: kd_library_init failed")

    def has(self, name):
        return name in self._present


_lock = threading.Lock()
_loaded = None


def lib():
    """The library, loaded on first use."""
    global _loaded
    if _loaded is None:
        with _lock:
            if _loaded is None:
                _loaded = _load()
    return _loaded


def _load():
    tried = []
    for where, path in _candidates():
        try:
            cdll = ctypes.CDLL(path)
        except OSError as e:
            tried.append(f"  {where}: {path} ({e})")
            continue
        return _Library(cdll, path)
    raise LibraryNotFoundError(
        "libkeldra.so.1 was not found; tried:\n" + "\n".join(tried) +
        "\nBuild it (cmake --build build --target keldra) and set KELDRA_LIBRARY to its path,"
        " or install it on the library path.")


# Bytes that are not part of a UTF-8 sequence read as the Latin-1 character of
# the same code, the rule of the library's JSON documents (\u00XX).
codecs.register_error("keldra.latin1",
                      lambda e: (e.object[e.start:e.end].decode("latin-1"), e.end))


def text(raw):
    """A C string from the library as str, stray bytes read as Latin-1."""
    return None if raw is None else raw.decode("utf-8", "keldra.latin1")


def as_bytes(data):
    """Input bytes for a `const uint8_t*` parameter, without a copy when possible."""
    if isinstance(data, bytes):
        return data
    if isinstance(data, (bytearray, memoryview)):
        return bytes(data)
    raise TypeError(f"expected bytes, bytearray or memoryview, not {type(data).__name__}")


def take_buffer(ptr, size, free):
    """Copies a library-allocated buffer into bytes and releases it."""
    try:
        return ctypes.string_at(ptr.value, size.value) if ptr.value else b""
    finally:
        free(ptr)


def fspath(path):
    return os.fsencode(path)
