"""Files per second of a Dask metadata catalogue with 1 and 2 worker processes
(one thread each) on a LocalCluster: the scaling of keldra.dask. The records
are reduced on the workers (cameras counted), as a catalogue job would write
them there, so the measure is the reading, not the transfer to the client."""
import time

from _common import files_in, metadata_folder

import distributed

import keldra.dask as kd

REPEAT = 100  # the folder's files listed this many times, for a few seconds of work


def _busy(stream):
    """Seconds each worker spent computing, from a task stream."""
    busy = {}
    for task in stream.data:
        spent = sum(s["stop"] - s["start"] for s in task["startstops"] if s["action"] == "compute")
        busy[task["worker"]] = busy.get(task["worker"], 0.0) + spent
    return sorted(busy.values())


def files_per_second(paths, workers):
    """Wall-clock files per second, and each worker's compute seconds, of the best run."""
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        bag = kd.metadata_bag(paths, partition_size=256)
        bag.take(1, npartitions=1)  # workers import the package and load the library
        counts = bag.pluck("camera").frequencies()
        best, busy = float("inf"), []
        for _ in range(2):
            with distributed.get_task_stream() as stream:
                start = time.perf_counter()
                total = sum(n for _, n in counts.compute())
                spent = time.perf_counter() - start
            assert total == len(paths)
            if spent < best:
                best, busy = spent, _busy(stream)
    return len(paths) / best, busy


def main():
    paths = files_in(metadata_folder()) * REPEAT
    (one, busy1), (two, busy2) = files_per_second(paths, 1), files_per_second(paths, 2)
    print(f"Dask metadata bag over {len(paths)} files (LocalCluster, processes, 1 thread each)")
    print(f"  1 worker  {one:8.1f} files/s   compute s per worker {[round(b, 2) for b in busy1]}")
    print(f"  2 workers {two:8.1f} files/s   compute s per worker {[round(b, 2) for b in busy2]}")
    print(f"  2 workers are {two / one:4.2f}x one (on a machine shared with other jobs, a"
          f" worker's compute seconds show how much CPU it was given)")


if __name__ == "__main__":
    main()
