"""examples/cohort_dask.py over a MEDS corpus written by examples/write_meds.py, on a local cluster of two
worker processes: every column (dtype and index included) equals the single-process run's, which equals the
loop over subjects with the single-stream calls. The question travels to the workers pickled, and each worker
interns its partitions with its own token ids."""

import pathlib
import sys

import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
from dask import distributed

import zuldcore
from helpers import fresh

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import cohort_dask  # noqa: E402
import write_meds  # noqa: E402

SUBJECTS = 1_500


@pytest.fixture(scope="module")
def meds(tmp_path_factory):
    root = tmp_path_factory.mktemp("meds")
    write_meds.write_meds(root, SUBJECTS, 5)
    return root


def lactate_id():
    import zuldcore

    return zuldcore.vocab_ids(["LACTATE"])[0]


def test_the_files_hold_whole_subjects_in_meds_order_whatever_their_number(meds, tmp_path):
    files = cohort_dask.shards(meds)
    tables = [pq.read_table(f) for f in files]
    assert [t.schema for t in tables] == [write_meds.SCHEMA] * 5
    subjects = [set(t["subject_id"].to_pylist()) for t in tables]
    assert sum(map(len, subjects)) == len(set().union(*subjects)) == SUBJECTS
    whole = pa.concat_tables(tables)
    write_meds.write_meds(tmp_path, SUBJECTS, 1)
    assert pq.read_table(cohort_dask.shards(tmp_path)[0]).equals(whole)
    frame = whole.to_pandas()
    ids = frame["subject_id"].to_numpy()
    assert (np.diff(ids) >= 0).all()
    time = frame["time"].to_numpy("datetime64[us]").view(np.int64)
    static = frame["time"].isna().to_numpy()
    assert static.sum() == SUBJECTS
    same = ids[1:] == ids[:-1]  # within a subject: the static row first, then times never decrease
    assert not (same & static[1:]).any()
    assert (time[1:][same & ~static[:-1]] >= time[:-1][same & ~static[:-1]]).all()


def test_a_cluster_gives_the_single_process_and_the_per_subject_answer(meds, tmp_path):
    zuldcore.vocab_ids([fresh() for _ in range(10)])  # this process's ids are not a fresh worker's
    single = cohort_dask.run(None, meds)
    # A subject cut in two between files would be answered twice, in halves: refused.
    whole = pa.concat_tables(pq.read_table(f) for f in cohort_dask.shards(meds))
    ids = whole["subject_id"].to_numpy()
    cut = int(np.flatnonzero(ids[1:] != ids[:-1])[3]) + 4  # the static row, the birth, one stay event
    (tmp_path / "data").mkdir()
    pq.write_table(whole.slice(0, cut), tmp_path / "data" / "0000.parquet")
    pq.write_table(whole.slice(cut), tmp_path / "data" / "0001.parquet")
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) \
            as cluster, distributed.Client(cluster) as client:
        clustered = cohort_dask.run(client, meds)
        per_subject = cohort_dask.run(client, meds, per_patient=True)
        worker_ids = set(client.run(lactate_id).values())
        with pytest.raises(ValueError, match="more than one file"):
            cohort_dask.run(client, tmp_path)
    assert lactate_id() not in worker_ids
    assert list(single.columns) == list(cohort_dask.COLUMNS)
    assert list(single.dtypes) == [np.dtype(d) for d in cohort_dask.COLUMNS.values()]
    pd.testing.assert_frame_equal(clustered, single, check_exact=True)
    pd.testing.assert_frame_equal(per_subject, single, check_exact=True)
    assert single.index.name == "subject_id" and single.index.dtype == np.int64
    assert single.index.tolist() == sorted(set(whole["subject_id"].to_pylist()))
    assert single["n_events"].sum() == len(whole) - whole["time"].null_count
    assert single["sepsis"].any() and (single["hypotension_episodes"] > 0).any()
    assert (single["icu_events"] > 0).any() and single["lactate_max_in_hypotension"].notna().any()
