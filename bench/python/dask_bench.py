"""Files per second of a Dask metadata catalogue with 1 and 2 worker processes
(one thread each) on a LocalCluster: the scaling of keldra.dask. The records
are reduced on the workers (cameras counted), as a catalogue job would write
them there, so the measure is the reading, not the transfer to the client."""
import time

from _common import files_in, metadata_folder

import distributed

import keldra.dask as kd

REPEAT = 100  # the folder's files listed this many times, for a few seconds of work


def files_per_second(paths, workers):
    with distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        bag = kd.metadata_bag(paths, partition_size=256)
        bag.take(1, npartitions=1)  # workers import the package and load the library
        counts = bag.pluck("camera").frequencies()
        best = float("inf")
        for _ in range(2):
            start = time.perf_counter()
            total = sum(n for _, n in counts.compute())
            best = min(best, time.perf_counter() - start)
        assert total == len(paths)
    return len(paths) / best


def main():
    paths = files_in(metadata_folder()) * REPEAT
    one = files_per_second(paths, 1)
    two = files_per_second(paths, 2)
    print(f"Dask metadata bag over {len(paths)} files (LocalCluster, processes, 1 thread each)")
    print(f"  1 worker  {one:8.1f} files/s")
    print(f"  2 workers {two:8.1f} files/s   2 workers are {two / one:4.2f}x one")


if __name__ == "__main__":
    main()
