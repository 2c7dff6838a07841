"""The exceptions the package raises: one class per status of the C ABI."""


class KeldraError(Exception):
    """A failed library call: `status` is the C status, `message` the library's text."""

    def __init__(self, message, status=None):
        super().__init__(message)
        self.status = status
        self.message = message

    def __str__(self):
        return self.message if self.status is None else f"{self.message} (status {self.status})"


class LibraryNotFoundError(KeldraError, ImportError):
    """libkeldra.so.1 could not be loaded; the message lists where it was looked for."""


class InvalidDataError(KeldraError, ValueError):
    """Bad argument, unrecognised or truncated input, or a picture above the pixel limit
    (image status 2)."""


class UnsupportedError(KeldraError):
    """An operation or format variant the library does not support (status 4)."""


class OutOfMemoryError(KeldraError, MemoryError):
    """The library could not allocate (image status 8)."""


class FileError(KeldraError, OSError):
    """A file could not be read or written (metadata status 1)."""


class NoMetadataError(KeldraError):
    """Unrecognised format or no metadata (metadata status 2)."""


_IMAGE = {2: InvalidDataError, 4: UnsupportedError, 8: OutOfMemoryError}
_EXIF = {1: FileError, 2: NoMetadataError, 4: UnsupportedError}


def image_error(status, message, context=None):
    """The exception for a failed kd_image_* / kd_palette_* call."""
    return _make(_IMAGE, status, message, context)


def exif_error(status, message, context=None):
    """The exception for a failed kd_exif_* call."""
    return _make(_EXIF, status, message, context)


def _make(table, status, message, context):
    cls = table.get(status, KeldraError)
    if context:
        message = f"{context}: {message}"
    return cls(message, status)
