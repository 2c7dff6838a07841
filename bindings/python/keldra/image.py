"""Decoded images: numpy views of their pixels, encoding, transforms, palettes."""
import ctypes
import os
from collections import namedtuple

from . import _lib
from ._handle import Handle
from .errors import InvalidDataError, image_error

#: The pixel limit of `decode` and `thumbnail` unless a caller gives another:
#: above any camera's picture; 16384 x 16384 is exactly at it.
DEFAULT_MAX_PIXELS = 2 ** 28

FORMATS = {"auto": 0, "png": 1, "jpeg": 2, "bmp": 3, "qoi": 4, "pnm": 5, "tga": 8,
           "webp": 9, "tiff": 10, "gif": 11, "pcx": 12}
_FORMAT_ALIASES = {"jpg": "jpeg", "ppm": "pnm", "pgm": "pnm", "pam": "pnm", "pbm": "pnm",
                   "tif": "tiff"}
_FORMAT_NAMES = {v: k for k, v in FORMATS.items()}
COLORSPACES = ("gray", "rgb", "rgba", "cmyk", "other3", "other1")
FILTERS = {"nearest": 0, "bilinear": 1, "box": 2}
_ROTATIONS = {90: 0, 180: 1, 270: 2, "90": 0, "180": 1, "270": 2, "flip-h": 3, "flip-v": 4,
              "flip_horizontal": 3, "flip_vertical": 4}
_DECODE_WIDE = 1
_MESSAGE_SIZE = 256

ImageInfo = namedtuple("ImageInfo", "format width height channels colorspace")
ImageInfo.__doc__ = "What a file's header says: format name, size, channels and colour space."


def _format_code(fmt):
    if fmt is None:
        return 0
    if isinstance(fmt, int):
        return fmt
    name = fmt.lower().lstrip(".")
    name = _FORMAT_ALIASES.get(name, name)
    if name not in FORMATS:
        raise ValueError(f"unknown image format {fmt!r}; known: {', '.join(FORMATS)}")
    return FORMATS[name]


def _read_input(data):
    """Bytes of `data`: bytes-like as they are, a path (str or os.PathLike) read whole."""
    if isinstance(data, (str, os.PathLike)):
        with open(data, "rb") as f:
            return f.read()
    return _lib.as_bytes(data)


class Image:
    """A decoded picture: `width`, `height`, `channels`, `colorspace` ("gray", "rgb",
    "rgba", "cmyk", "other3", "other1").

    `numpy.asarray(image)` is a read-only view of the library's pixels of shape
    (height, width, channels), dtype uint8, made without a copy; the view keeps
    the pixels alive after the image is closed. `close()` (or leaving a `with`
    block) releases the handle at once when no view holds it.
    """

    __slots__ = ("_h", "width", "height", "channels", "colorspace", "__weakref__")

    def __init__(self, handle):
        if not isinstance(handle, Handle):
            raise TypeError("Image objects come from keldra.decode, Image.from_array or a transform")
        lib = _lib.lib()
        self._h = handle
        ptr = handle.ptr
        self.width = lib.kd_image_width(ptr)
        self.height = lib.kd_image_height(ptr)
        self.channels = lib.kd_image_channels(ptr)
        cs = lib.kd_image_get_colorspace(ptr)
        self.colorspace = COLORSPACES[cs] if 0 <= cs < len(COLORSPACES) else str(cs)

    @classmethod
    def _adopt(cls, ptr):
        return cls(Handle(ptr, _lib.lib().kd_image_free))

    @classmethod
    def from_array(cls, array, colorspace=None):
        """An image from a uint8 array of shape (h, w) or (h, w, c), c in 1, 3, 4. The
        colour space follows from c ("gray", "rgb", "rgba") unless given ("cmyk",
        "other3", "other1"). The samples are copied."""
        import numpy as np
        a = np.asarray(array)
        if a.dtype != np.uint8:
            raise TypeError(f"pixels must be uint8, not {a.dtype}")
        if a.ndim == 2:
            a = a[:, :, None]
        if a.ndim != 3:
            raise ValueError(f"expected shape (h, w) or (h, w, c), got {a.shape}")
        if colorspace is None:
            colorspace = {1: "gray", 3: "rgb", 4: "rgba"}.get(a.shape[2])
            if colorspace is None:
                raise ValueError(f"no colour space has {a.shape[2]} channels")
        if colorspace not in COLORSPACES:
            raise ValueError(f"unknown colour space {colorspace!r}")
        a = np.ascontiguousarray(a)
        out = ctypes.c_void_p()
        st = _lib.lib().kd_image_from_pixels(a.shape[1], a.shape[0], COLORSPACES.index(colorspace),
                                             a.ctypes.data, a.nbytes, ctypes.byref(out))
        if st:
            raise image_error(st, _strerror(st), "from_array")
        return cls._adopt(out)

    # ---- pixels -----------------------------------------------------------

    @property
    def __array_interface__(self):
        ptr, size = ctypes.c_void_p(), ctypes.c_size_t()
        st = _lib.lib().kd_image_pixels(self._ptr(), ctypes.byref(ptr), ctypes.byref(size))
        if st:
            raise image_error(st, _strerror(st), "pixels")
        # The buffer object numpy keeps as the array's base holds the handle.
        raw = (ctypes.c_ubyte * size.value).from_address(ptr.value)
        raw._keldra_handle = self._h
        return {"shape": (self.height, self.width, self.channels), "typestr": "|u1",
                "data": memoryview(raw).cast("B").toreadonly(), "version": 3}

    def to_bytes(self):
        """A copy of the samples, row by row."""
        return bytes(self.__array_interface__["data"])

    # ---- encoding and transforms -------------------------------------------

    def encode(self, format, quality=90):
        """The image as a file of `format` ("png", "jpeg", "bmp", "qoi", "pnm", "tga")."""
        out, size = ctypes.c_void_p(), ctypes.c_size_t()
        lib = _lib.lib()
        st = lib.kd_image_encode(self._ptr(), _format_code(format), int(quality),
                                 ctypes.byref(out), ctypes.byref(size))
        if st:
            raise image_error(st, _strerror(st), f"encode {format}")
        return _lib.take_buffer(out, size, lib.kd_image_buffer_free)

    def save(self, path, format=None, quality=90):
        """Writes the image to `path`, in the format of its extension unless given."""
        fmt = format or os.path.splitext(os.fspath(path))[1]
        with open(path, "wb") as f:
            f.write(self.encode(fmt, quality))

    def resize(self, width, height, filter="bilinear"):
        """A resampled copy ("nearest", "bilinear" or "box")."""
        if filter not in FILTERS:
            raise ValueError(f"unknown filter {filter!r}; known: {', '.join(FILTERS)}")
        return self._transform("resize", _lib.lib().kd_image_resize, int(width), int(height),
                               FILTERS[filter])

    def crop(self, x, y, width, height):
        """The rectangle at (x, y) of the given size."""
        return self._transform("crop", _lib.lib().kd_image_crop, int(x), int(y), int(width),
                               int(height))

    def rotate(self, op):
        """A quarter turn (90, 180, 270 clockwise) or a flip ("flip-h", "flip-v")."""
        if op not in _ROTATIONS:
            raise ValueError(f"unknown rotation {op!r}; use 90, 180, 270, 'flip-h' or 'flip-v'")
        return self._transform("rotate", _lib.lib().kd_image_rotate, _ROTATIONS[op])

    def apply_orientation(self, orientation):
        """The picture as it should be shown for an EXIF orientation (1-8)."""
        return self._transform("apply_orientation", _lib.lib().kd_image_apply_orientation,
                               int(orientation))

    def palette(self, n, algorithm="wu", space="oklab", seed=0, max_iter=0, weighted=False):
        """The `n` dominant colours (see keldra.Palette)."""
        from .palette import extract
        return extract(self, n, algorithm, space, seed, max_iter, weighted)

    def _transform(self, what, fn, *args):
        out = ctypes.c_void_p()
        st = fn(self._ptr(), *args, ctypes.byref(out))
        if st:
            raise image_error(st, _strerror(st), what)
        return Image._adopt(out)

    # ---- lifetime ------------------------------------------------------------

    def _ptr(self):
        if self._h is None:
            raise ValueError("operation on a closed keldra.Image")
        return self._h.ptr

    def close(self):
        """Releases this object's hold on the pixels (freed now unless a numpy view holds them)."""
        self._h = None

    @property
    def closed(self):
        return self._h is None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        state = " closed" if self._h is None else ""
        return f"<keldra.Image {self.width}x{self.height} {self.colorspace}{state}>"


def _strerror(status):
    return _lib.text(_lib.lib().kd_image_strerror(status))


def _opts(wide, max_pixels, message):
    return _lib.DecodeOpts(ctypes.sizeof(_lib.DecodeOpts), _DECODE_WIDE if wide else 0,
                           int(max_pixels or 0), ctypes.cast(message, ctypes.c_void_p),
                           len(message))


def _check_limit(img, max_pixels, what):
    """The pixel limit checked after the fact, for libraries without the extended calls."""
    if max_pixels and img.width * img.height > max_pixels:
        size = f"{img.width}x{img.height}"
        img.close()
        raise InvalidDataError(f"{what}: {size} pixels is above the limit of {max_pixels}", 2)
    return img


def decode(data, format=None, *, wide=True, max_pixels=DEFAULT_MAX_PIXELS):
    """Decodes an image from bytes (or a path).

    `wide` also decodes the variants a plain decode refuses (progressive and CMYK
    JPEG, interlaced PNG, lossy WebP...); `max_pixels` refuses larger pictures
    (InvalidDataError) before their pixels are allocated; None or 0 leaves only the
    library's own cap. `format` names the decoder ("tga" must be named); by default
    the format is detected from the content."""
    buf = _read_input(data)
    lib = _lib.lib()
    out = ctypes.c_void_p()
    code = _format_code(format)
    if lib.has("kd_image_decode_ex"):
        message = ctypes.create_string_buffer(_MESSAGE_SIZE)
        opts = _opts(wide, max_pixels, message)
        st = lib.kd_image_decode_ex(buf, len(buf), code, ctypes.byref(opts), ctypes.byref(out))
        if st:
            raise image_error(st, _lib.text(message.value) or _strerror(st), "decode")
        return Image._adopt(out)
    st = lib.kd_image_decode_buffer(buf, len(buf), code, ctypes.byref(out))
    if st:
        raise image_error(st, _strerror(st), "decode")
    return _check_limit(Image._adopt(out), max_pixels, "decode")


def thumbnail(data, *, max_pixels=DEFAULT_MAX_PIXELS):
    """The camera's embedded EXIF preview of a file (bytes or a path), decoded."""
    buf = _read_input(data)
    lib = _lib.lib()
    out = ctypes.c_void_p()
    if lib.has("kd_image_thumbnail_ex"):
        message = ctypes.create_string_buffer(_MESSAGE_SIZE)
        opts = _opts(True, max_pixels, message)
        st = lib.kd_image_thumbnail_ex(buf, len(buf), ctypes.byref(opts), ctypes.byref(out))
        if st:
            raise image_error(st, _lib.text(message.value) or _strerror(st), "thumbnail")
        return Image._adopt(out)
    st = lib.kd_image_thumbnail(buf, len(buf), ctypes.byref(out))
    if st:
        raise image_error(st, _strerror(st), "thumbnail")
    return _check_limit(Image._adopt(out), max_pixels, "thumbnail")


def probe(data):
    """Format, size, channels and colour space of an image (bytes or a path).

    Reads the header alone when the library has kd_image_probe; older libraries
    decode the picture to answer."""
    buf = _read_input(data)
    lib = _lib.lib()
    if not lib.has("kd_image_probe"):
        with decode(buf, max_pixels=0) as img:
            fmt = "unknown"
            return ImageInfo(fmt, img.width, img.height, img.channels, img.colorspace)
    info = _lib.ImageInfo(size=ctypes.sizeof(_lib.ImageInfo))
    message = ctypes.create_string_buffer(_MESSAGE_SIZE)
    st = lib.kd_image_probe(buf, len(buf), ctypes.byref(info), message, len(message))
    if st:
        raise image_error(st, _lib.text(message.value) or _strerror(st), "probe")
    cs = COLORSPACES[info.colorspace] if 0 <= info.colorspace < len(COLORSPACES) else None
    return ImageInfo(_FORMAT_NAMES.get(info.format, str(info.format)), info.width, info.height,
                     info.channels, cs)


__all__ = ["Image", "ImageInfo", "decode", "thumbnail", "probe", "DEFAULT_MAX_PIXELS",
           "FORMATS"]
