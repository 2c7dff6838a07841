"""Reading metadata: a mapping of tag names to their rendered values."""
import ctypes
import datetime as _dt
import json
import os
import re
from collections import namedtuple
from collections.abc import Mapping

from . import _lib
from ._handle import Handle
from .errors import FileError, exif_error

GPS = namedtuple("GPS", "latitude longitude altitude")
GPS.__doc__ = "A position in decimal degrees (south and west negative) and metres."

_EXIF_DATE = re.compile(r"(\d{4}):(\d\d):(\d\d)[ T](\d\d):(\d\d):(\d\d)")
_OFFSET = re.compile(r"([+-])(\d\d):?(\d\d)$")


class Metadata(Mapping):
    """The metadata of one file: `m["Model"]`, `len(m)`, iteration over tag names.

    Values are the library's rendered texts ("f/4.7", "1/10"); bytes of a tag that
    are not UTF-8 read as the Latin-1 character of the same code. Beside the tags:
    `camera`, `software` (str or None), `orientation` (1-8, or None when absent),
    `gps` (a GPS tuple, or None), `datetime` (the capture date, or None), `valid`
    (whether a metadata block was recognised) and `json()` (the library's JSON
    document)."""

    __slots__ = ("_doc", "_json", "_datetime_text")

    def __init__(self, json_text, datetime_text=None):
        self._json = json_text
        self._doc = json.loads(json_text) if json_text else {}
        self._datetime_text = datetime_text

    @property
    def tags(self):
        return self._doc.get("tags", {})

    def __getitem__(self, name):
        return self.tags[name]

    def __iter__(self):
        return iter(self.tags)

    def __len__(self):
        return len(self.tags)

    @property
    def valid(self):
        return bool(self._doc.get("isValid"))

    @property
    def orientation(self):
        return self._doc.get("orientation") or None

    @property
    def gps(self):
        g = self._doc.get("gps")
        return None if g is None else GPS(g["latitude"], g["longitude"], g["altitude"])

    @property
    def camera(self):
        return self._doc.get("camera")

    @property
    def software(self):
        return self._doc.get("software")

    @property
    def datetime(self):
        """The capture date as a datetime.datetime (aware when the file gives an offset)."""
        if self._datetime_text is not None:
            return parse_iso(self._datetime_text)
        return _from_tags(self.tags)

    def json(self):
        """The library's JSON document of the file's metadata (text)."""
        return self._json

    def __repr__(self):
        return f"<keldra.Metadata {len(self)} tags camera={self.camera!r}>"


def parse_iso(text):
    """An ISO 8601 date-time as the library writes it ("...Z" and "+02:00" included)."""
    if text.endswith("Z"):
        text = text[:-1] + "+00:00"
    try:
        return _dt.datetime.fromisoformat(text)
    except ValueError:
        return None


def _from_tags(tags):
    """The capture date from DateTimeOriginal (and OffsetTimeOriginal), for libraries
    without kd_exif_get_datetime. The modification date (DateTime) is not a capture
    date and is left out, as the library's own call leaves it out."""
    for name, offset_name in (("DateTimeOriginal", "OffsetTimeOriginal"),):
        m = _EXIF_DATE.match(tags.get(name, ""))
        if not m:
            continue
        try:
            value = _dt.datetime(*map(int, m.groups()))
        except ValueError:
            continue
        off = _OFFSET.search(tags.get(offset_name, ""))
        if off:
            sign = -1 if off.group(1) == "-" else 1
            delta = _dt.timedelta(hours=int(off.group(2)), minutes=int(off.group(3)))
            value = value.replace(tzinfo=_dt.timezone(sign * delta))
        return value
    return None


def _open(source):
    """A metadata handle read from a path or from bytes."""
    lib = _lib.lib()
    out = ctypes.c_void_p()
    if isinstance(source, (str, os.PathLike)):
        st = lib.kd_exif_read_file(_lib.fspath(source), ctypes.byref(out))
        where = os.fspath(source)
    else:
        buf = _lib.as_bytes(source)
        st = lib.kd_exif_read_buffer(buf, len(buf), ctypes.byref(out))
        where = "buffer"
    if st:
        raise exif_error(st, _lib.text(lib.kd_exif_strerror(st)), where)
    return Handle(out.value, lib.kd_exif_meta_free)


def read_metadata(source):
    """The metadata of a file, from its path or its bytes.

    Content the library does not recognise gives an empty Metadata whose `valid` is
    False; a path that cannot be opened raises FileError."""
    lib = _lib.lib()
    handle = _open(source)
    try:
        h = handle.ptr
        json_text = _lib.text(lib.kd_exif_to_json(h))
        datetime_text = None
        if lib.has("kd_exif_get_datetime"):
            buf = ctypes.create_string_buffer(64)
            datetime_text = ""  # the library answers: no date unless it gives one
            if lib.kd_exif_get_datetime(h, buf, len(buf)) == 0:
                datetime_text = _lib.text(buf.value)
        meta = Metadata(json_text, datetime_text)
    finally:
        handle.release()
    if not meta.valid and isinstance(source, (str, os.PathLike)):
        check_readable(source)
    return meta


def check_readable(path):
    """The library reads a missing file as one without metadata; say which it was."""
    try:
        with open(path, "rb"):
            pass
    except OSError as e:
        raise FileError(f"{os.fspath(path)}: {e.strerror}", 1) from e
