"""Scoring a kelvor-batch manifest on a dask.distributed cluster.

    from dask.distributed import Client
    from kelvor_stoi.dask import score_manifest

    client = Client("tcp://scheduler:8786")
    table = score_manifest("/data/eval/manifest.csv", client)

The manifest is read on the client with kelvor-batch's own parser (the
same pairs, paths, shift and align cells and error rows), cut into
partitions of partition_size pairs, and each partition becomes one task
that scores its pairs on a worker with the front-end core (the scoring of
kelvor-batch, on the threads of the package's score_many). The result is a
pandas DataFrame with kelvor-batch's columns (the standard ones, then the
manifest's own), one row per manifest row in manifest order, equal to
kelvor-batch's output on the same manifest value for value. A pair that cannot be scored is an error row (status and
message), never a failed computation. When a worker dies, the scheduler
runs its partitions again elsewhere; a partition's rows enter the table
once, whichever run delivered them.

The workers open the files themselves: they need the same view of the file
system as the client. Relative paths in the manifest are taken from the
manifest's folder, and a relative manifest path from the client's working
directory, exactly as kelvor-batch takes them; on a cluster whose workers
run elsewhere give the manifest as an absolute path.
"""
from __future__ import annotations

import asyncio
import os
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple, Union

import pandas as pd

from kelvor_stoi import _core, _manifest, _options, _progress

if TYPE_CHECKING:
    from distributed import Client, Future

__all__ = ["score_manifest", "submit_manifest", "ManifestRun", "DEFAULT_PARTITION_SIZE"]

#: Pairs per task: a 3 s pair takes about 2 ms, so a task of 64 such pairs
#: runs for a tenth of a second or more, long against the scheduler's
#: overhead of about a millisecond per task, and a lost worker costs little.
DEFAULT_PARTITION_SIZE = 64


def _score_partition(
    listed_pairs: List["_core.PairSpec"], options: "_core.PairOptions", jobs: int, tune_allocator: bool
) -> List[Tuple[Any, ...]]:
    """One task: the rows of a partition's pairs, in order.

    With tune_allocator, a worker started with Dask's
    MALLOC_TRIM_THRESHOLD_ (the nanny's default) gets the allocator setting
    of kelvor-batch (_core.keep_freed_memory): any such setting stops glibc
    from raising its thresholds as a program frees large blocks, and the
    scoring then runs about ten times slower, in page faults.
    """
    if tune_allocator and "MALLOC_TRIM_THRESHOLD_" in os.environ:
        _core.keep_freed_memory()
    return _core.score_pairs(listed_pairs, options, jobs)


def _quiet_timed_out_waits(loop: Any, context: Dict[str, Any]) -> None:
    """The exception handler of the event loop of a cluster started for one
    call: as the cluster closes, a wait of Dask's batched sends that timed
    out can be left unretrieved, and asyncio would print it ("Future
    exception was never retrieved ... TimeoutError: Timeout") although
    nothing failed. Only that report is dropped."""
    exception = context.get("exception")
    if (
        context.get("message", "").startswith("Future exception was never retrieved")
        and isinstance(exception, asyncio.TimeoutError)
        and str(exception) == "Timeout"
    ):
        return
    loop.default_exception_handler(context)


class ManifestRun:
    """The partitions of a manifest under way on a cluster.

    futures: one Future per partition, in manifest order (for progress bars
    or cancellation); result() waits for them and assembles the DataFrame.
    """

    def __init__(
        self,
        client: "Client",
        futures: List["Future"],
        index: List[int],
        metadata: Sequence[str],
        sizes: Optional[Sequence[int]] = None,
    ) -> None:
        self.client = client
        self.futures = futures
        self._index = index
        self._metadata = metadata
        self._sizes = list(sizes) if sizes is not None else [0] * len(futures)

    def result(self, progress: Optional[bool] = False) -> pd.DataFrame:
        """The DataFrame of score_manifest, once every partition is in.

        progress: the pairs of the partitions done, shown as
        kelvor_stoi.score_many shows them (None: in interactive use only;
        False, the default here: never)."""
        with _progress.shown(progress, len(self._index), "score_manifest") as shown:
            if shown is not None:
                from distributed import as_completed

                size = {future.key: n for future, n in zip(self.futures, self._sizes)}
                done = 0
                for future in as_completed(self.futures):
                    done += size.get(future.key, 0)
                    shown(done)
        parts = self.client.gather(self.futures)
        rows = [row for part in parts for row in part]
        if len(rows) != len(self._index):
            raise RuntimeError(f"{len(rows)} rows came back for {len(self._index)} pairs")
        return _manifest.frame(rows, self._index, self._metadata)


class _Batch:
    """A manifest read and cut into partitions, with the options of its tasks."""

    def __init__(
        self,
        manifest: Any,
        options: "_core.PairOptions",
        partition_size: Any,
        jobs_per_task: Any,
        tune_allocator: bool,
    ) -> None:
        size = _manifest.positive("partition_size", partition_size)
        self.options = options
        self.jobs = _manifest.positive("jobs_per_task", jobs_per_task)
        self.tune_allocator = _core.flag("tune_allocator", tune_allocator)
        self.metadata, listed_pairs = _manifest.read_manifest(manifest)
        self.partitions = [listed_pairs[i : i + size] for i in range(0, len(listed_pairs), size)]
        self.index = [listed.index for listed in listed_pairs]

    def submit(self, client: "Client") -> ManifestRun:
        futures = [
            client.submit(_score_partition, part, self.options, self.jobs, self.tune_allocator, pure=False)
            for part in self.partitions
        ]
        return ManifestRun(client, futures, self.index, self.metadata, [len(part) for part in self.partitions])


def submit_options(
    manifest: Union[str, "os.PathLike[str]"],
    client: Optional["Client"],
    options: "_core.PairOptions",
    partition_size: int = DEFAULT_PARTITION_SIZE,
    jobs_per_task: int = 1,
    tune_allocator: bool = True,
) -> ManifestRun:
    """submit_manifest with the options of every pair as one record."""
    batch = _Batch(manifest, options, partition_size, jobs_per_task, tune_allocator)
    if client is None:
        from distributed import default_client

        client = default_client()
    return batch.submit(client)


def submit_manifest(
    manifest: Union[str, "os.PathLike[str]"],
    client: Optional["Client"] = None,
    partition_size: int = DEFAULT_PARTITION_SIZE,
    *,
    align: bool = False,
    raw_rate: int = 8000,
    channel: int = 0,
    jobs_per_task: int = 1,
    tune_allocator: bool = True,
    profile: Optional[str] = None,
    unequal: Optional[str] = None,
) -> ManifestRun:
    """Submits a manifest's partitions to the cluster and returns at once.

    Same arguments as score_manifest(), except that client=None takes the
    current default client and fails without one.
    """
    options = _options(align=align, raw_rate=raw_rate, channel=channel, profile=profile, unequal=unequal)
    return submit_options(manifest, client, options, partition_size, jobs_per_task, tune_allocator)


def score_manifest(
    manifest: Union[str, "os.PathLike[str]"],
    client: Optional["Client"] = None,
    partition_size: int = DEFAULT_PARTITION_SIZE,
    *,
    align: bool = False,
    raw_rate: int = 8000,
    channel: int = 0,
    jobs_per_task: int = 1,
    tune_allocator: bool = True,
    profile: Optional[str] = None,
    unequal: Optional[str] = None,
    progress: Optional[bool] = None,
) -> pd.DataFrame:
    """Scores every pair of a kelvor-batch manifest on a dask cluster.

    manifest: a CSV or TSV file in kelvor-batch's format (a reference and
        a degraded column, optionally shift and align, any other columns
        carried to the table).
    client: a dask.distributed Client; None takes the current default
        client, or, when there is none, starts a LocalCluster of threads in
        this process for the call (one per core; the scoring releases the
        GIL) and closes it afterwards. It starts no worker process, so a
        script that calls this needs no ``if __name__ == "__main__":``
        guard; a cluster of processes of your own needs one (see below).
    partition_size: pairs per task.
    align, raw_rate, channel: kelvor-batch's --align, --raw-rate and
        --channel, for every pair.
    profile: "reference" (None, the default) or "tool": kelvor-batch's
        --profile.
    unequal: files of different lengths: None (the profile's rule: refused
        in the reference profile, padded in the tool profile), "refuse",
        "pad" or "trim", as kelvor_stoi.score() takes them; kelvor-batch's
        --unequal.
    jobs_per_task: threads each task scores on; 1 suits workers that run
        one task per thread (Dask's default).
    tune_allocator: when a worker runs with Dask's MALLOC_TRIM_THRESHOLD_
        (the nanny's default), its tasks give glibc kelvor-batch's setting
        (keep freed memory for the next pair, up to the ceilings of glibc's
        own defaults); with Dask's setting the scoring runs about ten times
        slower. False leaves the workers' allocator alone.
    progress: the pairs of the tasks done, shown as kelvor_stoi.score_many
        shows them: None (the default) in interactive use only (a
        notebook, or standard error on a terminal), True always, False
        never.

    Returns a DataFrame indexed by the manifest's 0-based data row ("row",
    the name of kelvor-batch --details files) with kelvor-batch's columns
    in its order: reference, degraded (as written), stoi, estoi (float64,
    NaN in error rows), delay_samples (Int64, <NA> when unknown), delay_ms,
    seconds (float64, NaN when unknown), rate (Int64), status ("ok" or an
    error code) and message (empty for "ok"), then the manifest's other
    columns in its order, as str, exactly as written. A manifest that
    cannot be read or has no reference/degraded header raises OSError
    before any task is submitted.

    A script that starts worker processes on this machine itself, as
    ``Client()`` and ``LocalCluster()`` do by default, must do so under the
    guard, since each worker process imports the script again:

        from dask.distributed import Client
        from kelvor_stoi.dask import score_manifest

        if __name__ == "__main__":
            with Client(n_workers=2) as client:
                table = score_manifest("manifest.csv", client)
    """
    options = _options(align=align, raw_rate=raw_rate, channel=channel, profile=profile, unequal=unequal)
    _progress.delay_of(progress)  # checked before anything is read
    batch = _Batch(manifest, options, partition_size, jobs_per_task, tune_allocator)
    if client is not None:
        return batch.submit(client).result(progress)
    from distributed import Client, LocalCluster, default_client

    try:
        client = default_client()
    except ValueError:  # no client in this process
        # Threads, not processes: worker processes would import the
        # caller's script again (without the guard, each would start a
        # cluster of its own, over and over), and a nanny would change this
        # process's allocator settings for every program it starts. The
        # threads score side by side because the scoring releases the GIL.
        with LocalCluster(processes=False, dashboard_address=None) as cluster:
            cluster.loop.asyncio_loop.set_exception_handler(_quiet_timed_out_waits)
            with Client(cluster) as own:
                return batch.submit(own).result(progress)
    return batch.submit(client).result(progress)
