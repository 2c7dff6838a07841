#!/usr/bin/python3
"""Walks a directory tree and writes a catalogue of its photos' metadata as CSV.

    examples/python/catalog.py TREE --scheduler local --out catalog.csv
    examples/python/catalog.py TREE --scheduler tcp://10.0.0.5:8786 --out catalog.csv

The same job runs on a local cluster of worker processes or on a running
`distributed` scheduler; with a remote scheduler, TREE must be readable at the
same path by every worker. One row per file: path, camera, software, datetime,
latitude, longitude, altitude, width, height, orientation and error (the
reason a file could not be read, empty otherwise).
"""
import argparse
import os
import sys

import distributed

import keldra.dask as kd


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("tree", help="directory to walk")
    parser.add_argument("--scheduler", default="local",
                        help='"local" for a local cluster, or a scheduler address')
    parser.add_argument("--workers", type=int, default=os.cpu_count(),
                        help="worker processes of a local cluster")
    parser.add_argument("--partition-size", type=int, default=256, help="files per task")
    parser.add_argument("--out", default="catalog.csv", help="CSV file to write")
    args = parser.parse_args(argv)

    paths = kd.expand(os.path.abspath(args.tree))
    if not paths:
        parser.error(f"no files under {args.tree}")
    if args.scheduler == "local":
        cluster = distributed.LocalCluster(n_workers=args.workers, threads_per_worker=1,
                                           processes=True, dashboard_address=None)
        client = distributed.Client(cluster)
    else:
        cluster, client = None, distributed.Client(args.scheduler)
    try:
        frame = kd.metadata_frame(paths, partition_size=args.partition_size)
        table = frame.compute()
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    table.to_csv(args.out, index=False)
    failed = int(table["error"].notna().sum())
    print(f"{len(table)} files, {failed} unreadable, written to {args.out}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
