"""Editing EXIF tags and stripping metadata, on files or on bytes."""
import ctypes
import datetime as _dt
import os

from . import _lib
from ._handle import Handle
from .errors import exif_error
from .metadata import check_readable


def _is_path(source):
    return isinstance(source, (str, os.PathLike))


def _fail(status, context, path=None):
    """The exception for a failed call; a FileError when `path` cannot be read (the
    library reports a missing file as an unsupported one)."""
    if path is not None:
        check_readable(path)
    lib = _lib.lib()
    return exif_error(status, _lib.text(lib.kd_exif_strerror(status)), context)


def _exif_date(value):
    if isinstance(value, _dt.datetime):
        return value.strftime("%Y:%m:%d %H:%M:%S")
    return str(value)


def edit(source, out=None, *, artist=None, software=None, datetime=None, gps=None, tags=None,
         strip_exif=False):
    """Changes EXIF tags of a JPEG, TIFF, PNG, WebP or HEIF file.

    `source` is a path or the file's bytes. With bytes the edited file comes back as
    bytes; with a path it is written to `out` (default: `source` itself, replaced)
    and the written path is returned. `datetime` is a datetime.datetime or EXIF text
    ("2024:01:31 12:00:00"); `gps` is (latitude, longitude) or (latitude, longitude,
    altitude); `tags` maps names of kd_exif_edit_set_tag ("Copyright", "FNumber"...)
    to text; `strip_exif` drops every EXIF tag before the others are set."""
    lib = _lib.lib()
    handle_out = ctypes.c_void_p()
    if _is_path(source):
        st = lib.kd_exif_edit_open(_lib.fspath(source), ctypes.byref(handle_out))
        where = os.fspath(source)
    else:
        buf = _lib.as_bytes(source)
        st = lib.kd_exif_edit_open_buffer(buf, len(buf), ctypes.byref(handle_out))
        where = "buffer"
    if st:
        raise _fail(st, f"edit {where}", source if _is_path(source) else None)
    session = Handle(handle_out.value, lib.kd_exif_edit_free)
    try:
        h = session.ptr
        if strip_exif:
            lib.kd_exif_strip_all(h)
        if artist is not None:
            lib.kd_exif_set_artist(h, artist.encode())
        if software is not None:
            lib.kd_exif_set_software(h, software.encode())
        if datetime is not None:
            lib.kd_exif_set_datetime(h, _exif_date(datetime).encode())
        if gps is not None:
            lat, lon, *alt = gps
            lib.kd_exif_set_gps(h, float(lat), float(lon), float(alt[0]) if alt else 0.0)
        for name, value in (tags or {}).items():
            st = lib.kd_exif_edit_set_tag(h, name.encode(), str(value).encode())
            if st:
                raise _fail(st, f"edit {where}: tag {name}")
        if _is_path(source):
            target = source if out is None else out
            st = lib.kd_exif_edit_write(h, _lib.fspath(target))
            if st:
                raise _fail(st, f"edit {where}: write {os.fspath(target)}", source)
            return target
        data, size = ctypes.c_void_p(), ctypes.c_size_t()
        st = lib.kd_exif_edit_write_buffer(h, ctypes.byref(data), ctypes.byref(size))
        if st:
            raise _fail(st, "edit buffer: write")
        return _lib.take_buffer(data, size, lib.kd_exif_buffer_free)
    finally:
        session.release()


def strip(source, out=None):
    """Removes EXIF, XMP, IPTC and comments from a JPEG, PNG, WebP or HEIF file,
    keeping the picture. Bytes in, bytes out; a path is rewritten in place, or
    written to `out`, whose path is returned."""
    lib = _lib.lib()
    if _is_path(source):
        target = source if out is None else out
        st = lib.kd_exif_strip_file(_lib.fspath(source), _lib.fspath(target))
        if st:
            raise _fail(st, f"strip {os.fspath(source)}", source)
        return target
    buf = _lib.as_bytes(source)
    data, size = ctypes.c_void_p(), ctypes.c_size_t()
    st = lib.kd_exif_strip_buffer(buf, len(buf), ctypes.byref(data), ctypes.byref(size))
    if st:
        raise _fail(st, "strip buffer")
    return _lib.take_buffer(data, size, lib.kd_exif_buffer_free)
