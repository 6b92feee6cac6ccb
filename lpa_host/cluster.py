"""A local Dask cluster in a process group of its own.

    python -m lpa_host.cluster 2        # prints the scheduler's address, runs until stdin closes

``lpa_host.scan.local_client`` starts this module as a child process in a new
session, reads the address from its first line of output and connects a
Client to it. Living in its own session, the scheduler and the workers never
see the terminal's Ctrl-C (the caller decides what an interrupt means and
stops them all at once), and they end with their parent: when the parent
exits, even killed, the pipe on stdin closes and the cluster shuts down.

The workers are single-threaded processes started with the spawn method
(never fork: a process forked after OpenMP work can hang in the OpenMP
runtime), with OMP_NUM_THREADS=1 set before anything loads OpenMP. The
caller's Dask configuration comes along (DASK_INTERNAL_INHERIT_CONFIG).
"""

from __future__ import annotations

import logging
import os
import signal
import sys

#: Environment of the cluster process and its workers.
WORKER_ENV = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


def _stop_group(*_):
    """Stop this process and its workers at once (they share its process group)."""
    os.killpg(os.getpgrp(), signal.SIGKILL)


def serve(n_workers: int, out=sys.stdout, stdin=sys.stdin) -> None:
    import dask
    from distributed import LocalCluster

    # Restarted workers read the start method when they start: it stays set
    # for the cluster's whole life. forkserver forks from a clean server, also safe.
    method = dask.config.get("distributed.worker.multiprocessing-method", "spawn")
    # worker-saturation 1: a worker holds only the task it runs, so a worker
    # that dies takes no queued bystander down with it.
    with dask.config.set({"distributed.worker.multiprocessing-method":
                          method if method == "forkserver" else "spawn",
                          "distributed.scheduler.worker-saturation": 1.0}):
        cluster = LocalCluster(n_workers=n_workers, threads_per_worker=1, processes=True,
                               dashboard_address=None, scheduler_port=0, env=WORKER_ENV,
                               silence_logs=logging.ERROR)
        out.write(cluster.scheduler_address + "\n")
        out.flush()
        stdin.read()  # until the parent closes the pipe or exits
    # No graceful close: the scheduler's clients are gone, and the workers
    # hold nothing worth saving.
    _stop_group()


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, _stop_group)
    try:
        serve(int(sys.argv[1]))
    except BaseException as exc:  # noqa: BLE001 - said in one line, then all of it stops
        print(f"lpa_host.cluster: {type(exc).__name__}: {exc}", file=sys.stderr, flush=True)
        _stop_group()
