"""Metadata of a folder of mixed camera files, one core: keldra against exiftool's
batch mode (one process, -j -r), Pillow's getexif and exifread."""
import logging
import subprocess
import warnings

from _common import best_of, files_in, metadata_folder, report

import keldra
from keldra import batch

try:
    import exifread
except ImportError:  # an optional peer; scripts/deps.sh installs python3-exifread
    exifread = None


def main():
    warnings.simplefilter("ignore")  # Pillow warns about odd tags in the test files
    folder = metadata_folder()
    paths = files_in(folder)
    blobs = {p: open(p, "rb").read() for p in paths}  # the page cache warm for every run
    n = len(paths)

    def keldra_loop():
        for p in paths:
            keldra.read_metadata(p).camera

    def keldra_batch():
        list(batch.read_metadata(paths, workers=1, progress=False))

    def exiftool():
        subprocess.run(["exiftool", "-j", "-r", "-q", "-q", str(folder)], check=False,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def pillow():
        from PIL import Image
        for p in paths:
            try:
                with Image.open(p) as im:
                    dict(im.getexif())
            except Exception:  # Pillow refuses movies, raw files and broken files
                pass

    def exifread_files():
        for p in paths:
            with open(p, "rb") as f:
                try:
                    exifread.process_file(f)
                except Exception:  # exifread raises on some malformed files
                    pass

    # A pass over the folder takes tens of milliseconds: the best of many passes
    # is the one the machine's other jobs disturbed least.
    rows = [("keldra.read_metadata", best_of(keldra_loop, 15), n),
            ("keldra.batch (1 worker)", best_of(keldra_batch, 15), n),
            ("exiftool -j -r (batch mode)", best_of(exiftool, 2), n),
            ("Pillow open + getexif", best_of(pillow, 15), n)]
    if exifread is not None:
        logging.getLogger("exifread").setLevel(logging.CRITICAL)
        rows.append(("exifread.process_file", best_of(exifread_files, 5), n))
    else:
        print("  (exifread not installed: scripts/deps.sh installs python3-exifread)")
    print(f"{n} files from {folder}, {sum(map(len, blobs.values())) >> 10} KiB")
    report("metadata, files per second on one core", rows, "keldra.read_metadata")


if __name__ == "__main__":
    main()
