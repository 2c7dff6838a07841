import math

import pytest

import keldra
from conftest import DATA, METADATA_FILES, SAMPLES
from keldra import batch

PATHS = [str(p) for p in METADATA_FILES] + [str(DATA / "missing.jpg"), str(SAMPLES / "README.md")]


def same(a, b):
    """Records equal field by field, NaN equal to NaN."""
    return a.keys() == b.keys() and all(
        a[k] == b[k] or (isinstance(a[k], float) and math.isnan(a[k]) and math.isnan(b[k]))
        for k in a)


@pytest.fixture(scope="module")
def plain():
    return [batch.metadata_record(p) for p in PATHS]


def test_records_of_a_plain_loop_are_complete(plain):
    assert [r["path"] for r in plain] == PATHS
    assert "No such file" in plain[-2]["error"] and plain[-1]["error"] is None
    canon = plain[[r["path"] for r in plain].index(str(DATA / "metadata/jpeg-exif/ianare_Canon_40D.jpg"))]
    assert canon["camera"] == "Canon Canon EOS 40D"
    assert canon["width"] == (100 if keldra.features()["kd_image_probe"] else None)


def test_thread_pool_gives_the_plain_loop_in_order(plain):
    got = list(batch.read_metadata(PATHS, workers=4, progress=False))
    assert len(got) == len(plain) and all(map(same, got, plain))


def test_dask_bag_on_two_processes_gives_the_plain_loop(plain):
    import distributed
    import keldra.dask as kd
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        got = kd.metadata_bag(PATHS, partition_size=16).compute()
        assert len(got) == len(plain) and all(map(same, got, plain))
        frame = kd.metadata_frame(PATHS, partition_size=16).compute()
        assert list(frame["path"]) == PATHS and str(frame["width"].dtype) == "Int64"
        assert str(frame["datetime"].dtype) == "datetime64[ns]"
        assert frame["error"].notna().sum() == sum(r["error"] is not None for r in plain)
        colors = kd.palette_frame([str(SAMPLES / "sunset.png")], n=4).compute()
        assert list(colors["color"]) == keldra.decode(SAMPLES / "sunset.png").palette(4).hex()
        assert len(client.scheduler_info()["workers"]) == 2
