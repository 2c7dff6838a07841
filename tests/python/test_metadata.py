import ctypes
import datetime as dt
import json
import subprocess

import numpy as np
import pytest

import keldra
from conftest import DATA, METADATA_FILES, SAMPLES

C = keldra._library()


def c_walk(path):
    """Tags, orientation and position through the C functions one by one."""
    h = ctypes.c_void_p()
    assert C.kd_exif_read_file(str(path).encode(), ctypes.byref(h)) == 0
    name, value = ctypes.c_char_p(), ctypes.c_char_p()
    tags = {}
    for i in range(C.kd_exif_tag_count(h)):
        assert C.kd_exif_tag_at(h, i, ctypes.byref(name), ctypes.byref(value)) == 0
        # The JSON rule: a byte outside UTF-8 stands for the Latin-1 character.
        text = value.value.decode("utf-8", "surrogateescape")
        tags[name.value.decode("utf-8", "surrogateescape")] = "".join(
            chr(ord(ch) - 0xDC00) if 0xDC80 <= ord(ch) <= 0xDCFF else ch for ch in text)
    pos = [ctypes.c_double() for _ in range(3)]
    gps = C.kd_exif_get_gps(h, *map(ctypes.byref, pos))
    orientation = C.kd_exif_get_orientation(h)
    C.kd_exif_meta_free(h)
    return tags, orientation, tuple(p.value for p in pos) if gps else None


@pytest.mark.parametrize("path", METADATA_FILES, ids=lambda p: p.name)
def test_metadata_equals_the_c_results(path):
    tags, orientation, gps = c_walk(path)
    meta = keldra.read_metadata(path)
    assert {k: tags[k] for k in tags} == dict(meta)
    assert (meta.orientation or 0) == orientation
    assert meta.gps == gps
    assert keldra.read_metadata(path.read_bytes()).json() == meta.json()


def test_capture_date_matches_exiftool():
    out = subprocess.run(["exiftool", "-j", "-d", "%Y-%m-%dT%H:%M:%S", "-EXIF:DateTimeOriginal",
                          *map(str, METADATA_FILES)], capture_output=True, text=True).stdout
    peer = {r["SourceFile"]: r.get("DateTimeOriginal") for r in json.loads(out)}
    compared = 0
    for path in METADATA_FILES:
        want = peer[str(path)]
        if isinstance(want, str) and want[:1].isdigit() and path.suffix.lower() in (".jpg", ".tif"):
            got = keldra.read_metadata(path).datetime
            assert got is not None and got.replace(tzinfo=None).isoformat() == want, path
            compared += 1
    assert compared > 20


EDITABLE = ["jpeg-exif/ianare_Canon_40D.jpg", "png/exiv2_1343_exif.png", "webp/mei_Nikon_D1X.webp",
            "tiff/et_ExifTool.tif", "heif/exiv2_Stonehenge.heic"]


@pytest.mark.parametrize("name", EDITABLE)
def test_edit_round_trip_bytes_and_path(name, tmp_path):
    src = DATA / "metadata" / name
    when = dt.datetime(2021, 6, 5, 4, 3, 2)
    kw = dict(artist="Ada", software="kp 1", datetime=when, gps=(48.5, -2.25, 12.0),
              tags={"Copyright": "CC0"})
    for meta in (keldra.read_metadata(keldra.edit(src.read_bytes(), **kw)),
                 keldra.read_metadata(keldra.edit(src, tmp_path / ("out" + src.suffix), **kw))):
        assert (meta["Artist"], meta.software, meta["Copyright"]) == ("Ada", "kp 1", "CC0")
        assert meta.datetime.replace(tzinfo=None) == when
        assert meta.gps == pytest.approx((48.5, -2.25, 12.0))


@pytest.mark.parametrize("name", ["canon_s330.jpg", "sunset.png"])
def test_strip_keeps_pixels_and_drops_metadata(name, tmp_path):
    src = SAMPLES / name
    tagged = keldra.edit(src.read_bytes(), artist="Ada")
    stripped = keldra.strip(tagged)
    assert "Artist" in keldra.read_metadata(tagged) and "Artist" not in keldra.read_metadata(stripped)
    np.testing.assert_array_equal(np.asarray(keldra.decode(stripped)), np.asarray(keldra.decode(src)))
    out = keldra.strip(src, tmp_path / name)
    assert out.read_bytes() == keldra.strip(src.read_bytes())
