"""examples/cohort_dask.py on a local cluster of two worker processes: every
column (dtype included) equals the single-process run's, and the corpus does
not depend on how it is partitioned. The question travels to the workers
pickled, and each worker codes its partitions with its own token ids."""

import pathlib
import sys

import pandas as pd
from dask import distributed

import zuldcore
from helpers import fresh

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
import cohort_dask  # noqa: E402


def lactate_id():
    import zuldcore

    return zuldcore.vocab_ids(["LACTATE"])[0]


def test_a_cluster_gives_the_single_process_result():
    zuldcore.vocab_ids([fresh() for _ in range(10)])  # this process's ids are not a fresh worker's
    single = cohort_dask.run(None, 2_500, 1)
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, dashboard_address=None) \
            as cluster, distributed.Client(cluster) as client:
        clustered = cohort_dask.run(client, 2_500, 6)  # partitions cut blocks
        worker_ids = set(client.run(lactate_id).values())
    assert lactate_id() not in worker_ids
    assert list(clustered.columns) == list(cohort_dask.COLUMNS)
    pd.testing.assert_frame_equal(clustered, single, check_exact=True)
    assert single["patient"].tolist() == list(range(2_500))
    assert single["sepsis"].any() and (single["hypotension_episodes"] > 0).any()
    assert (single["icu_events"] > 0).any() and single["lactate_max_in_hypotension"].notna().any()
