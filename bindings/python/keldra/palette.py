"""Palettes: the dominant colours of an image, in OKLab or sRGB."""
import ctypes
from collections.abc import Sequence

from . import _lib
from .errors import image_error

SPACES = {"oklab": 15, "srgb": 1}
_SPACE_NAMES = {v: k for k, v in SPACES.items()}


class Palette(Sequence):
    """The colours of an extraction, most important first, as (c0, c1, c2, alpha)
    tuples in `space` ("oklab": L, a, b; "srgb": R, G, B in 0..1). The handle is
    read whole and released when the palette is made."""

    def __init__(self, colors, space, seed):
        self.colors = colors
        self.space = space
        self.seed = seed

    def __getitem__(self, i):
        return self.colors[i]

    def __len__(self):
        return len(self.colors)

    def to_srgb(self):
        """The colours as (r, g, b) tuples of 0..255 integers."""
        convert = _oklab_to_srgb if self.space == "oklab" else (lambda c: c)
        return [tuple(_to_byte(v) for v in convert(c[:3])) for c in self.colors]

    def hex(self):
        """The colours as "#rrggbb" strings."""
        return ["#%02x%02x%02x" % rgb for rgb in self.to_srgb()]

    def __repr__(self):
        return f"<keldra.Palette {len(self)} colours {self.hex()}>"


def extract(image, n, algorithm="wu", space="oklab", seed=0, max_iter=0, weighted=False):
    lib = _lib.lib()
    if space not in SPACES:
        raise ValueError(f"unknown palette space {space!r}; known: {', '.join(SPACES)}")
    opts = _lib.QuantizeOpts(seed=int(seed), max_iter=int(max_iter), weighted=int(bool(weighted)))
    out = ctypes.c_void_p()
    st = lib.kd_image_extract_palette(image._ptr(), int(n), algorithm.encode(), SPACES[space],
                                      ctypes.byref(opts), ctypes.byref(out))
    if st:
        raise image_error(st, _lib.text(lib.kd_image_strerror(st)), f"palette {algorithm}")
    try:
        color = _lib.Color()
        colors, tag = [], SPACES[space]
        for i in range(lib.kd_palette_len(out)):
            st = lib.kd_palette_color_at(out, i, ctypes.byref(color))
            if st:
                raise image_error(st, _lib.text(lib.kd_image_strerror(st)), "palette colour")
            colors.append((color.c0, color.c1, color.c2, color.alpha))
            tag = color.space
        return Palette(colors, _SPACE_NAMES.get(tag, str(tag)), lib.kd_palette_seed(out))
    finally:
        lib.kd_palette_free(out)


def _oklab_to_srgb(lab):
    """OKLab to non-linear sRGB in 0..1 (Ottosson's published matrices)."""
    L, a, b = lab
    l_ = (L + 0.3963377774 * a + 0.2158037573 * b) ** 3
    m_ = (L - 0.1055613458 * a - 0.0638541728 * b) ** 3
    s_ = (L - 0.0894841775 * a - 1.2914855480 * b) ** 3
    rgb = (4.0767416621 * l_ - 3.3077115913 * m_ + 0.2309699292 * s_,
           -1.2684380046 * l_ + 2.6097574011 * m_ - 0.3413193965 * s_,
           -0.0041960863 * l_ - 0.7034186147 * m_ + 1.7076147010 * s_)
    return tuple(12.92 * v if v <= 0.0031308 else 1.055 * v ** (1 / 2.4) - 0.055 for v in rgb)


def _to_byte(v):
    return max(0, min(255, round(v * 255)))
