# Shared set-up of the Python tests: the package from bindings/python, the
# library from KELDRA_LIBRARY (ctest sets it to the fresh build), the files.
import os
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
PACKAGE = str(ROOT / "bindings" / "python")
sys.path.insert(0, PACKAGE)
# Dask worker processes import the package too.
os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [PACKAGE, os.environ.get("PYTHONPATH")]))

DATA = ROOT / "tests" / "data"
METADATA_FILES = sorted(p for p in (DATA / "metadata").rglob("*") if p.is_file())
SAMPLES = ROOT / "samples"
assert len(METADATA_FILES) > 50, f"test files missing under {DATA}"
