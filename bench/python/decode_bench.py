"""JPEG and PNG decoding of a 12-megapixel photo to a numpy array: keldra against
Pillow (numpy.asarray(Image.open(...))), and the peak memory of a decode plus
its numpy view against the picture's size."""
import io
import subprocess
import sys

import numpy as np
from PIL import Image as PilImage

from _common import ROOT, best_of

import keldra

WIDTH, HEIGHT = 4000, 3000


def photo():
    """A 12 MP picture with a photo's texture: the bundled camera photo enlarged,
    with sensor-like noise."""
    with keldra.decode(ROOT / "samples" / "canon_s330.jpg") as small:
        big = np.asarray(small.resize(WIDTH, HEIGHT, "bilinear")).astype(np.int16)
    noise = np.random.default_rng(1).integers(-6, 7, big.shape, dtype=np.int16)
    return np.clip(big + noise, 0, 255).astype(np.uint8)


def files():
    """The picture as files written by Pillow, the peer: JPEG (quality 90, 4:2:0) and PNG."""
    out = {}
    pil = PilImage.fromarray(photo())
    for fmt, kw in (("JPEG", {"quality": 90}), ("PNG", {"compress_level": 6})):
        buf = io.BytesIO()
        pil.save(buf, fmt, **kw)
        out[fmt] = buf.getvalue()
    return out


# VmHWM, the resident peak of this address space (ru_maxrss would carry the
# parent's peak over the exec).
PEAK = """
import sys, numpy as np
def hwm():
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
sys.path.insert(0, {pkg!r})
data = open({path!r}, "rb").read()
import keldra
from PIL import Image
import io
before = hwm()
if {lib!r} == "keldra":
    img = keldra.decode(data); a = np.asarray(img)
else:
    a = np.asarray(Image.open(io.BytesIO(data)))
a.sum()
print(hwm() - before)
"""


def peak(lib, path):
    """Growth of the resident peak of a fresh interpreter over one decode plus view."""
    code = PEAK.format(pkg=str(ROOT / "bindings" / "python"), path=path, lib=lib)
    return int(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                              check=True).stdout)


def main():
    picture = WIDTH * HEIGHT * 3
    print(f"decode of a {WIDTH}x{HEIGHT} picture to numpy (best of 3), peak memory over a fresh "
          f"interpreter")
    for fmt, data in files().items():
        ours = best_of(lambda: np.asarray(keldra.decode(data)).shape)
        theirs = best_of(lambda: np.asarray(PilImage.open(io.BytesIO(data))).shape)
        a, b = np.asarray(keldra.decode(data)), np.asarray(PilImage.open(io.BytesIO(data)))
        same = "identical" if np.array_equal(a, b) else f"max diff {np.abs(a.astype(int) - b).max()}"
        path = f"/tmp/keldra_bench_12mp.{fmt.lower()}"
        with open(path, "wb") as f:
            f.write(data)
        print(f"  {fmt:<4} {len(data) >> 10:6} KiB  keldra {ours * 1e3:7.1f} ms  Pillow "
              f"{theirs * 1e3:7.1f} ms  keldra is {theirs / ours:4.2f}x  ({same})")
        print(f"       peak: keldra {peak('keldra', path) / picture:4.2f} x the picture, "
              f"Pillow {peak('pillow', path) / picture:4.2f} x")


if __name__ == "__main__":
    main()
