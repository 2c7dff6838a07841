"""Shared by the Python benchmarks: the package, the input folder, a timer.

Run with Debian's interpreter and the library built in build/:
    KELDRA_LIBRARY=build/libkeldra.so.1 /usr/bin/python3 bench/python/metadata_bench.py
Every benchmark runs the peers in the same process and run, so the printed
ratios hold on a loaded machine even when the absolute times do not.
"""
import os
import pathlib
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bindings" / "python"))
os.environ.setdefault("KELDRA_LIBRARY", str(ROOT / "build" / "libkeldra.so.1"))
os.environ["PYTHONPATH"] = os.pathsep.join(
    filter(None, [str(ROOT / "bindings" / "python"), os.environ.get("PYTHONPATH")]))


def metadata_folder():
    """The mixed camera files: tests/data/metadata, or the corpus's metadata/ folder
    when KELDRA_CORPUS_DIR names one."""
    corpus = os.environ.get("KELDRA_CORPUS_DIR")
    if corpus and (pathlib.Path(corpus) / "metadata").is_dir():
        return pathlib.Path(corpus) / "metadata"
    return ROOT / "tests" / "data" / "metadata"


def files_in(folder):
    return sorted(str(p) for p in pathlib.Path(folder).rglob("*") if p.is_file())


def best_of(fn, repeat=3):
    """The fastest of `repeat` runs of fn(), in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def report(title, rows, base):
    """Prints rows of (name, seconds, items) with files per second and the ratio
    of `base`'s rate to each row's."""
    print(title)
    rates = {name: items / secs for name, secs, items in rows}
    for name, secs, items in rows:
        ratio = rates[base] / rates[name]
        print(f"  {name:<34} {rates[name]:10.1f} /s   {base} is {ratio:5.2f}x")
