"""The command line: ``python -m lpa_host scan`` (also ``lpa-host scan``).

nu(d) and omega(d) of the Wilson-Fisher fixed point for several N, and the
number of fixed points of the N = 1 model against d, on Dask distributed.

    python -m lpa_host scan                                 N = 1,2,3,4, d = 2.4 .. 3.9 by 0.01
    python -m lpa_host scan --N 1,2.5,10 --d 2.8:3.6:0.05   other grids (a:b:step includes b)
    python -m lpa_host scan --workers 1                     a local cluster of one worker
    python -m lpa_host scan --scheduler tcp://host:8786     an existing cluster
    python -m lpa_host scan -o DIR                          DIR/landscape.csv, ... (default lpa-scan)
    python -m lpa_host scan -o DIR --resume                 continue an interrupted scan in DIR

Writes DIR/landscape.csv (one row per (N, d): N, d, u_prime_0, kappa, nu,
omega, converged and the error estimates), DIR/fixed_point_count.csv (N = 1:
the nontrivial fixed points at each d of --count-d) and DIR/landscape.png.
Rows go to DIR/landscape.partial.csv (and fixed_point_count.partial.csv) as
they arrive; the finished files replace them at the end. After Ctrl-C, a lost
scheduler or a killed run, the same command with --resume computes only the
points that are missing, and gives the files an uninterrupted run gives.

Limits: a grid of more than 100,000 points needs --allow-large (10,000,000
at most); every value is checked against the range of the computation before
anything starts, and a value given twice is refused.
"""

from __future__ import annotations

import argparse
import contextlib
import hashlib
import importlib
import math
import os
import signal
import sys
import threading
import time

from . import outputs
from .on import D_RANGE, N_MAX, N_MAX_ALL, N_MIN

# the module (the package's attribute of that name is its function scan)
scanning = importlib.import_module(".scan", __package__)

#: The d of the fixed-point count avoids the d_k themselves, where a new
#: branch leaves the Gaussian point and has zero amplitude.
DEFAULT_COUNT_D = "2.405:3.895:0.01"
DEFAULT_OUT = "lpa-scan"
#: Smallest step of a start:stop:step range.
MIN_STEP = 1e-9
#: The landscape's columns.
FIELDS = scanning.ROW_FIELDS + ("u_prime_0_error", "n_relevant", "min_denominator", "R",
                                "degree")
COUNT_FIELDS = ("N", "d", "count", "n_relevant", "nu", "ok")
LANDSCAPE, COUNTS, PICTURE = "landscape.csv", "fixed_point_count.csv", "landscape.png"
#: The plot and the table at d = 3 show at most this many values of N.
PLOT_N = 12

EXIT_INTERRUPTED = 130
#: Seconds an interrupt may take to end the command its ordinary way (the
#: local cluster stopped, the client closed) before it is ended at once.
INTERRUPT_GRACE = 1.0


def parse_values(text: str, flag: str, *, count_only: bool = False):
    """'a,b,c' or 'start:stop:step' (stop included when the steps reach it);
    ValueError naming flag. A range is counted before it is made; with
    count_only, the number of values, none made."""
    text = text.strip()
    if ":" not in text:
        try:
            values = [float(x) for x in text.split(",") if x.strip()]
        except ValueError:
            raise ValueError(f"{flag}: {text!r} is not a list of numbers a,b,c "
                             "nor a range start:stop:step") from None
        if not values:
            raise ValueError(f"{flag}: no values given")
        return len(values) if count_only else values
    parts = text.split(":")
    try:
        if len(parts) != 3:
            raise ValueError
        a, b, h = (float(x) for x in parts)
    except ValueError:
        raise ValueError(f"{flag}: {text!r} is not a range start:stop:step") from None
    if not all(math.isfinite(x) for x in (a, b, h)):
        raise ValueError(f"{flag}: start, stop and step must be finite, got {text!r}")
    if h <= 0:
        raise ValueError(f"{flag}: the step must be positive, got {h:g}")
    if h < MIN_STEP:
        raise ValueError(f"{flag}: the step must be at least {MIN_STEP:g}, got {h:g}")
    if b < a:
        raise ValueError(f"{flag}: start {a:g} is above stop {b:g} (a range runs upwards)")
    count = math.floor((b - a) / h + 1e-9) + 1
    if count > scanning.MAX_GRID:
        raise ValueError(f"{flag}: {text} has {count:,} values; a grid may have at most "
                         f"{scanning.MAX_GRID:,} points")
    if count_only:
        return count
    return [round(a + i * h, 12) for i in range(count)]


def describe(values) -> str:
    if len(values) <= 6:
        return ", ".join(f"{v:g}" for v in values)
    return f"{len(values):,} values from {min(values):g} to {max(values):g}"


def grid_key(*parts) -> str:
    """What decides a scan's numbers, as a short hash (the partial files carry it)."""
    h = hashlib.sha256()
    for p in parts:
        h.update(repr(p).encode())
    return h.hexdigest()[:24]


def check_timeout(text: str) -> float:
    try:
        t = float(text)
    except ValueError:
        t = math.nan
    if not (math.isfinite(t) and t > 0):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, got {text!r}")
    return t


def check_workers(text: str) -> int:
    try:
        n = int(text)
    except ValueError:
        n = 0
    if n < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number >= 1, got {text!r}")
    return n


def check_scheduler(text: str) -> str:
    from distributed.comm.addressing import parse_address, parse_host_port
    try:
        scheme, location = parse_address(text, strict=False)
        if scheme in ("tcp", "tls"):
            parse_host_port(location)
    except (ValueError, TypeError) as exc:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not an address like tcp://HOST:8786 ({exc})") from None
    return text


def parser() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    """The command's parser and its scan subcommand's."""
    doc = (__doc__ or "").split("\n\n")
    top = argparse.ArgumentParser(prog="python -m lpa_host", description=doc[0],
                                  allow_abbrev=False)
    sub = top.add_subparsers(dest="command", required=True, metavar="COMMAND")
    ap = sub.add_parser("scan", help="nu, omega and fixed-point counts over (N, d) on Dask",
                        description=" ".join(doc[1].split()), epilog="\n\n".join(doc[2:]),
                        formatter_class=argparse.RawDescriptionHelpFormatter,
                        allow_abbrev=False)
    ap.add_argument("--N", default="1,2,3,4", metavar="VALUES",
                    help=f"values of N in ({N_MIN:g}, {N_MAX:g}]: a,b,c or start:stop:step "
                         "(default 1,2,3,4)")
    ap.add_argument("--d", default="2.4:3.9:0.01", metavar="VALUES",
                    help=f"values of d in [{D_RANGE[0]}, {D_RANGE[1]}] (default 2.4:3.9:0.01)")
    ap.add_argument("--count-d", default=DEFAULT_COUNT_D, metavar="VALUES",
                    help=f"d for the N = 1 fixed-point count, in [{D_RANGE[0]}, "
                         f"{D_RANGE[1]}], or 'none' (default {DEFAULT_COUNT_D})")
    ap.add_argument("--allow-large", action="store_true",
                    help=f"allow a grid of more than {scanning.LARGE_GRID:,} points")
    ap.add_argument("--workers", type=check_workers, default=None,
                    help="worker processes of the local cluster (default: one per core)")
    ap.add_argument("--scheduler", type=check_scheduler, default=None, metavar="ADDRESS",
                    help="a running Dask scheduler (tcp://HOST:8786) to use instead of a "
                         "local cluster")
    ap.add_argument("--timeout", type=check_timeout, default=scanning.WAIT_WORKERS,
                    metavar="SECONDS",
                    help="how long to wait for the scheduler to answer and for a worker "
                         "while the cluster has none (default %(default)g)")
    ap.add_argument("--segment", type=check_workers, default=None, metavar="POINTS",
                    help="points per task (default: about 24 tasks, 6 to 64 points each)")
    ap.add_argument("-o", "--out", default=DEFAULT_OUT, metavar="DIR",
                    help="output directory, relative to the current one (default "
                         f"{DEFAULT_OUT})")
    ap.add_argument("--resume", action="store_true",
                    help="continue the interrupted scan in DIR: compute only what is missing")
    return top, ap


class Plan:
    """The checked arguments of a scan: grids, files, the key of its numbers."""

    def __init__(self, args, ap):
        try:
            # the grid's size first: a large one is refused before it is made
            scanning.check_size(parse_values(args.N, "--N", count_only=True)
                                * parse_values(args.d, "--d", count_only=True),
                                args.allow_large, "--allow-large")
            Ns = parse_values(args.N, "--N")
            ds = parse_values(args.d, "--d")
            Ns, ds = scanning.check_grid(Ns, ds, allow_large=args.allow_large,
                                         names=("--N", "--d"), large_flag="--allow-large")
            counts_d = None
            if args.count_d.strip().lower() != "none":
                counts_d = parse_values(args.count_d, "--count-d")
                counts_d = scanning.check_grid([1.0], counts_d, n_max=N_MAX_ALL,
                                               allow_large=args.allow_large,
                                               names=("N", "--count-d"),
                                               large_flag="--allow-large")[1]
        except ValueError as exc:
            ap.error(str(exc))
        if args.workers is not None and args.scheduler:
            ap.error("--workers sizes the local cluster; with --scheduler the cluster's own "
                     "workers are used")
        self.Ns, self.ds, self.counts_d = Ns, ds, counts_d
        self.segment = args.segment or scanning.auto_segment_length(len(Ns) * len(ds))
        self.key = grid_key(Ns, ds, self.segment, counts_d)
        try:
            self.folder = outputs.check_dir(args.out, "-o", files=(LANDSCAPE, COUNTS, PICTURE))
        except ValueError as exc:
            ap.error(str(exc))
        self.path = {name: os.path.join(self.folder, name)
                     for name in (LANDSCAPE, COUNTS, PICTURE)}
        left = [p for p in (self.path[LANDSCAPE], self.path[COUNTS])
                if os.path.exists(outputs.partial_path(p))]
        if left and not args.resume:
            ap.error(f"-o: {outputs.partial_path(left[0])} holds an unfinished scan; add "
                     "--resume to continue it, or remove the file to start over")
        self.resume = args.resume and bool(left)
        self.new_resume = args.resume and not left

    def open(self, final, fields, n):
        how = outputs.RowFile.resume if self.resume else outputs.RowFile.start
        return how(final, fields, n, self.key)


def say(*args):
    print(*args, flush=True)


def main(argv=None) -> int:
    top, scan_ap = parser()
    args = top.parse_args(argv)
    plan = Plan(args, scan_ap)
    stores: list = []
    with interrupts_end_the_command(lambda: stopped(stores, "interrupted", EXIT_INTERRUPTED)):
        try:
            stores.append(plan.open(plan.path[LANDSCAPE], FIELDS,
                                    len(plan.Ns) * len(plan.ds)))
            if plan.counts_d:
                stores.append(plan.open(plan.path[COUNTS], COUNT_FIELDS, len(plan.counts_d)))
        except outputs.Mismatch as exc:
            scan_ap.error(f"--resume: {exc}; run it with its own arguments, or remove the "
                          "file to start over")
        try:
            return run(plan, args, stores, scan_ap)
        except KeyboardInterrupt:
            signal.signal(signal.SIGINT, signal.SIG_IGN)
            return stopped(stores, "interrupted", EXIT_INTERRUPTED)
        except scanning.SchedulerLost:
            where = (f"the scheduler at {args.scheduler}" if args.scheduler
                     else "the local cluster")
            return stopped(stores, f"{where} was lost", 1)
        except scanning.NoWorkers as exc:
            return stopped(stores, f"{exc} (--timeout {args.timeout:g})", 1)


def _raise_interrupt(signum, frame):
    raise KeyboardInterrupt


@contextlib.contextmanager
def interrupts_end_the_command(stop, grace: float = INTERRUPT_GRACE):
    """Within the block, SIGTERM is a KeyboardInterrupt like Ctrl-C, and a
    thread of its own calls stop() when the main thread has not ended the
    command within `grace` seconds of either. The signal handler writes the
    signal's number to a pipe that the thread watches, so an interrupt whose
    KeyboardInterrupt never reaches ``main`` (caught in library code, or
    raised where it is not seen) still ends the command. Both are undone when
    the block ends."""
    r, w = os.pipe()
    os.set_blocking(w, False)
    old_fd = signal.set_wakeup_fd(w, warn_on_full_buffer=False)
    old_term = signal.signal(signal.SIGTERM, _raise_interrupt)
    wanted = {int(signal.SIGINT), int(signal.SIGTERM)}
    ended = threading.Event()

    def watch():
        with open(r, "rb", buffering=0) as pipe:
            while True:
                got = pipe.read(64)
                if not got:  # the block has ended
                    return
                if wanted.intersection(got):
                    break
        if not ended.wait(grace):
            stop()

    threading.Thread(target=watch, name="interrupt watch", daemon=True).start()
    try:
        yield
    finally:
        ended.set()
        signal.set_wakeup_fd(old_fd)
        signal.signal(signal.SIGTERM, old_term)
        os.close(w)


#: Held by whoever ends the command: the main thread or the interrupt watch.
_ENDING = threading.Lock()


def stopped(stores, what: str, status: int) -> int:
    """One line on what is saved, then out at once (a local cluster is already
    gone, or goes with this process; nothing else is worth waiting for)."""
    if not _ENDING.acquire(blocking=False):
        while True:  # the other one is ending the process
            time.sleep(1.0)
    # Every row is on disk already (each add is flushed); the files are left
    # open, as the other thread may be writing to them.
    saved = "; ".join(f"{s.n_done:,} of {s.n:,} rows in {s.path}" for s in stores)
    sys.stdout.flush()
    print(f"\n{what}: saved {saved or 'nothing'}; the same command with --resume continues "
          "the scan", file=sys.stderr, flush=True)
    os._exit(status)


def quiet_dask() -> None:
    """Only Dask's critical messages: the command says itself what went wrong
    (a lost scheduler, say) in one line, instead of the client's tracebacks."""
    import logging

    import distributed  # noqa: F401 - its loggers exist once it is imported
    for name in list(logging.root.manager.loggerDict):
        if name.split(".")[0] in ("distributed", "tornado", "asyncio"):
            logging.getLogger(name).setLevel(logging.CRITICAL)


def run(plan: Plan, args, stores, ap) -> int:
    quiet_dask()
    t0 = time.perf_counter()
    landscape = stores[0]
    counts = stores[1] if len(stores) > 1 else None
    if plan.new_resume:
        say(f"no unfinished scan in {plan.folder}: starting from the beginning")
    n_points = landscape.n
    say(f"{n_points:,} points (N = {describe(plan.Ns)}; d = {describe(plan.ds)}), "
        f"{landscape.n_done:,} already done; results in {plan.folder}")
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = connect(args.scheduler, args.timeout, ap)
            stack.callback(scanning.close_client, client)
            where = f"the cluster at {args.scheduler}"
        else:
            client = stack.enter_context(scanning.local_client(args.workers))
            where = "a local cluster"
        workers = scanning.n_workers(client)
        say(f"  {workers} worker{'s' * (workers != 1)} of {where} ready after "
            f"{time.perf_counter() - t0:.1f} s"
            if workers else f"  {where} has no workers yet; waiting up to {args.timeout:g} s "
            "(--timeout)")
        t1 = time.perf_counter()
        summary = Summary(plan.Ns)
        ds, n_d = plan.ds, len(plan.ds)

        def point(i):
            return plan.Ns[i // n_d], ds[i % n_d]

        fill(client, landscape, "scan", scanning.solve_points, (None,), point,
             scanning.failed_row, scanning.blocks(plan.Ns, ds, plan.segment),
             lambda r: not r["converged"], args.timeout)
        t_scan = time.perf_counter() - t1
        if counts is not None:
            t2 = time.perf_counter()
            cd = plan.counts_d
            fill(client, counts, "fixed points", scanning.count_points, (),
                 lambda i: (1.0, cd[i]), scanning.failed_count,
                 scanning.count_blocks(len(cd), 2), lambda r: not r["ok"], args.timeout)
            t_count = time.perf_counter() - t2
    finish(plan, landscape, counts)
    summary.read(plan.path[LANDSCAPE])
    say(f"\n  scan: {n_points:,} rows ({summary.converged:,} converged) in {t_scan:.1f} s")
    if counts is not None:
        say(f"  N = 1 fixed-point count at {counts.n} values of d in {t_count:.1f} s")
    summary.show()
    return 0


def fill(client, store, label, task_fn, extra, point, failed_fn, tasks, bad, timeout):
    """Run the tasks with a point not yet in store, adding their rows as they come."""
    bar = scanning.Progress(store.n, label, done=store.n_done)
    try:
        for indices, got in scanning.run_tasks(client, task_fn, (t for t in tasks
                                                                 if store.todo(t)),
                                               point, failed_fn, extra=extra,
                                               wait_workers=timeout):
            store.add(indices, got)
            bar.update(len(got), sum(1 for r in got if bad(r)))
    finally:
        bar.close()


def connect(address: str, timeout: float, ap):
    from distributed import Client
    try:
        return Client(address, timeout=f"{timeout}s")
    except (OSError, TimeoutError) as exc:
        ap.error(f"--scheduler: cannot reach {address} within {timeout:g} s "
                 f"(--timeout): {exc}")


def finish(plan: Plan, landscape, counts) -> None:
    """The finished files, each appearing at once; a count file of an earlier
    scan goes when this one has none."""
    written = [landscape.finish()]
    if counts is not None:
        written.append(counts.finish())
    elif os.path.isfile(plan.path[COUNTS]):
        os.unlink(plan.path[COUNTS])
        say(f"  removed {plan.path[COUNTS]} of an earlier scan (--count-d none)")
    if len(plan.Ns) <= PLOT_N and len(plan.Ns) * len(plan.ds) <= scanning.LARGE_GRID:
        from . import plots
        written.append(plots.landscape(plan.path[PICTURE], plan.path[LANDSCAPE],
                                       plan.path[COUNTS] if counts is not None else None))
    else:
        say(f"  no plot: it shows at most {PLOT_N} values of N")
    for store in (landscape, counts):
        if store is not None:
            store.discard()
    say("  wrote " + ", ".join(written))


class Summary:
    """Converged rows, and the row nearest d = 3 for each N (a few N only)."""

    def __init__(self, Ns):
        self.show_table = len(Ns) <= PLOT_N
        self.converged = 0
        self.bad: list = []
        self.near3: dict = {}

    def read(self, path: str) -> None:
        import csv
        with open(path, newline="") as fh:
            for r in csv.DictReader(fh):
                if r["converged"] != "True":
                    if len(self.bad) < 8:
                        self.bad.append((float(r["N"]), float(r["d"])))
                    continue
                self.converged += 1
                N, d = float(r["N"]), float(r["d"])
                if self.show_table and (N not in self.near3 or
                                        abs(d - 3) < abs(self.near3[N][0] - 3)):
                    self.near3[N] = (d, float(r["nu"]), float(r["omega"]),
                                     float(r["nu_error"]))

    def show(self) -> None:
        if self.near3:
            say(f"\n    {'N':>5s} {'d':>5s} {'nu':>12s} {'omega':>12s} {'nu_error':>9s}")
            for N, (d, nu, om, err) in self.near3.items():
                say(f"    {N:5g} {d:5g} {nu:12.9f} {om:12.9f} {err:9.1e}")
        if self.bad:
            shown = ", ".join(f"(N={N:g}, d={d:g})" for N, d in self.bad)
            say(f"\n  points that did not converge (converged = False in the CSV): {shown}"
                + (" ..." if len(self.bad) >= 8 else ""))


if __name__ == "__main__":
    sys.exit(main())
