import gc
import io

import numpy as np
import pytest
from PIL import Image as PilImage

import keldra
from conftest import DATA, SAMPLES

WIDE = keldra.features()["kd_image_decode_ex"]
RNG = np.random.default_rng(7)
NOISE = {c: RNG.integers(0, 256, (37, 23, c), dtype=np.uint8) for c in (1, 3, 4)}
_Y, _X = np.mgrid[0:64, 0:48]
SMOOTH = {c: np.dstack([(_X * 5 + _Y * k) % 256 for k in range(c)]).astype(np.uint8) for c in (1, 3)}

# format, channels, what comes back: "exact", a JPEG tolerance, or the error.
# Divergences, explained: BMP stores 4 channels as 32-bit BI_RGB, whose fourth
# byte readers take as opaque; PAM (4-channel PNM) is read by wide decoding only.
ROUND_TRIPS = [
    ("png", 1, "exact"), ("png", 3, "exact"), ("png", 4, "exact"),
    ("bmp", 3, "exact"), ("bmp", 4, "rgb only"), ("bmp", 1, keldra.UnsupportedError),
    ("qoi", 3, "exact"), ("qoi", 4, "exact"), ("qoi", 1, keldra.UnsupportedError),
    ("pnm", 1, "exact"), ("pnm", 3, "exact"),
    ("pnm", 4, "exact" if WIDE else keldra.UnsupportedError),
    ("tga", 1, "exact"), ("tga", 3, "exact"), ("tga", 4, "exact"),
    ("jpeg", 1, 2.0), ("jpeg", 3, 3.0), ("jpeg", 4, keldra.UnsupportedError),
]


@pytest.mark.parametrize("fmt,channels,expect", ROUND_TRIPS)
def test_encoder_round_trip(fmt, channels, expect):
    src = SMOOTH[channels] if isinstance(expect, float) else NOISE[channels]
    if isinstance(expect, type):
        with pytest.raises(expect):
            keldra.decode(keldra.Image.from_array(src).encode(fmt), fmt)
        return
    data = keldra.Image.from_array(src).encode(fmt)
    back = np.asarray(keldra.decode(data, fmt))
    assert back.shape == src.shape
    if isinstance(expect, float):
        assert np.abs(back.astype(int) - src).mean() < expect
        return
    n = 3 if expect == "rgb only" else channels
    np.testing.assert_array_equal(back[..., :n], src[..., :n])
    if fmt != "qoi" and channels < 4:  # Pillow, the peer, reads the same samples
        peer = np.asarray(PilImage.open(io.BytesIO(data)))
        np.testing.assert_array_equal(peer.reshape(src.shape), src)


def test_numpy_view_is_the_library_pixels_and_outlives_close():
    img = keldra.decode(SAMPLES / "canon_s330.jpg")
    view = np.asarray(img)
    assert view.shape == (600, 800, 3) and view.dtype == np.uint8 and not view.flags.writeable
    assert view.ctypes.data == np.asarray(img).ctypes.data  # both views, no copy
    copy = view.copy()
    img.close()
    gc.collect()
    np.testing.assert_array_equal(view, copy)
    with pytest.raises(ValueError):
        img.encode("png")


def test_transforms_match_numpy():
    src = NOISE[3]
    img = keldra.Image.from_array(src)
    checks = [(img.rotate(90), np.rot90(src, -1)), (img.rotate(180), src[::-1, ::-1]),
              (img.rotate("flip-h"), src[:, ::-1]), (img.crop(2, 3, 5, 7), src[3:10, 2:7]),
              (img.apply_orientation(3), src[::-1, ::-1]),
              (img.resize(46, 74, "nearest"), src.repeat(2, 0).repeat(2, 1))]
    for got, want in checks:
        np.testing.assert_array_equal(np.asarray(got), want)


def test_palette_of_flat_colours_finds_them():
    blocks = np.zeros((40, 40, 3), np.uint8)
    blocks[:20], blocks[20:, :20], blocks[20:, 20:] = (200, 30, 30), (30, 200, 30), (30, 30, 200)
    pal = keldra.Image.from_array(blocks).palette(3)
    assert sorted(pal.hex()) == ["#1e1ec8", "#1ec81e", "#c81e1e"]
    assert pal.space == "oklab"


ERRORS = [
    (lambda: keldra.decode(b"not an image"), keldra.UnsupportedError, "decode"),
    (lambda: keldra.decode((SAMPLES / "sunset.png").read_bytes()[:200]), keldra.InvalidDataError,
     "decode"),
    (lambda: keldra.decode(SAMPLES / "canon_s330.jpg", max_pixels=800 * 600 - 1),
     keldra.InvalidDataError, "decode"),
    (lambda: keldra.thumbnail(SAMPLES / "sunset.png"), keldra.KeldraError, "thumbnail"),
    (lambda: keldra.Image.from_array(NOISE[3]).crop(20, 0, 10, 10), keldra.InvalidDataError, "crop"),
    (lambda: keldra.Image.from_array(NOISE[3]).palette(4, "nope"), keldra.UnsupportedError, "nope"),
    (lambda: keldra.strip(b"plain bytes"), keldra.UnsupportedError, "strip"),
    (lambda: keldra.edit(SAMPLES / "canon_s330.jpg", tags={"NoSuchTag": "1"}),
     keldra.UnsupportedError, "NoSuchTag"),
    (lambda: keldra.read_metadata(DATA / "missing.jpg"), keldra.FileError, "missing.jpg"),
    (lambda: keldra.strip(DATA / "missing.jpg", "/tmp/out.jpg"), keldra.FileError, "missing"),
]


@pytest.mark.parametrize("call,cls,text", ERRORS)
def test_errors_raise_their_class_with_status_and_message(call, cls, text):
    with pytest.raises(cls) as info:
        call()
    assert info.value.status in (1, 2, 4, 8) and text in str(info.value)


def test_decodes_release_their_handles():
    data = (SAMPLES / "sunset.png").read_bytes()

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * 4096

    for _ in range(500):
        np.asarray(keldra.decode(data)).sum()
    before = rss()
    for _ in range(10_000):
        with keldra.decode(data) as img:
            np.asarray(img)[0, 0]
    # 10,000 leaked 96x64 pictures would hold 184 MB.
    assert rss() - before < 8 << 20


def test_handle_released_once_from_many_threads():
    from concurrent.futures import ThreadPoolExecutor
    from keldra._handle import Handle
    freed = []
    handles = [Handle(i + 1, freed.append) for i in range(2000)]
    with ThreadPoolExecutor(8) as pool:
        list(pool.map(lambda h: (h.release(), h.release()), handles * 4))
    del handles
    gc.collect()
    assert sorted(freed) == list(range(1, 2001))


def test_missing_library_names_where_it_looked():
    import os
    import subprocess
    import sys
    env = dict(os.environ, KELDRA_LIBRARY="/nonexistent/libkeldra.so.1")
    run = subprocess.run([sys.executable, "-c", "import keldra; keldra.decode(b'')"], env=env,
                         capture_output=True, text=True)
    assert "LibraryNotFoundError" in run.stderr and "KELDRA_LIBRARY: /nonexistent" in run.stderr
