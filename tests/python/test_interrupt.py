"""Ctrl-C: SIGINT stops every driver called from the main thread within a
second, with KeyboardInterrupt (or whatever Python's SIGINT handler raises),
stops all of the call's threads and leaves the solver as it was. Calls from
other threads, handlers that return and an ignored SIGINT let the call finish.

The scenarios run in a child process with a timeout, so that a call that
cannot be interrupted fails the test instead of hanging it."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

HERE = pathlib.Path(__file__).resolve().parent

CHILD = textwrap.dedent("""
    import os, signal, sys, threading, time
    import numpy as np
    import _core_cpp, _lpa_cpp
    import routines as R

    # A child of a shell that runs it in the background inherits SIGINT as
    # ignored: put Python's own handler back, as an interactive session has.
    # (This also replaces the module's handler, which the first long call
    # then has to put back.)
    signal.signal(signal.SIGINT, signal.default_int_handler)

    # Each routine call naps 300 us: every driver below runs for minutes.
    solver = _lpa_cpp.LPACollSolver_cpp(np.linspace(0.0, 1.0, 6)[:, None],
                                        _core_cpp.PolynomialAnsatz(1, 3),
                                        R.flow_sleep.address, 0, 0, 0, 1, 1)
    start, prm = np.zeros(4), np.array([300.0])
    DRIVERS = {
        "local_optimize": lambda: solver.local_optimize(start, 10**7, -1.0, prm),
        "local_optimize_fixed_iterations":
            lambda: solver.local_optimize_fixed_iterations(start, 10**7, prm),
        "param_path_following":
            lambda: solver.param_path_following(start, 10**5, -1.0, [prm] * 1000),
        "multistart_optimize":
            lambda: solver.multistart_optimize([start] * 256, 10**5, -1.0, prm),
    }

    def sigint_after(seconds):
        threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT)).start()

    def reference():
        r = solver.local_optimize(start + 0.5, 3, 1e-12, np.array([0.0]))
        return r.coeffs.tobytes(), r.iterations, r.error

    before = reference()
    for name, call in DRIVERS.items():
        for delay in (0.005, 0.4):  # before and after the handler is checked
            sigint_after(delay)
            t0 = time.perf_counter()
            try:
                call()
                sys.exit(f"{name}: ran to its end")
            except KeyboardInterrupt:
                waited = time.perf_counter() - t0 - delay
            assert waited < 1.0, (name, delay, waited)
            cpu = time.process_time()  # no thread of the call still computing
            time.sleep(0.3)
            assert time.process_time() - cpu < 0.1, (name, "threads still busy")
            assert threading.active_count() == 1
            assert reference() == before, name

    # From a worker thread: SIGINT goes to the main thread alone.
    box = {}
    t = threading.Thread(target=lambda: box.update(r=solver.local_optimize(start, 400, -1.0, prm)))
    t.start()
    sigint_after(0.2)
    try:
        while t.is_alive():
            t.join(0.05)
        sys.exit("the main thread never saw KeyboardInterrupt")
    except KeyboardInterrupt:
        t.join()
    assert box["r"].iterations == 400, box["r"].iterations

    # A handler that returns: the call goes on, the handler runs once.
    hits = []
    signal.signal(signal.SIGINT, lambda *a: hits.append(1))
    sigint_after(0.2)
    r = solver.local_optimize(start, 600, -1.0, prm)
    assert r.iterations == 600 and len(hits) == 1, (r.iterations, hits)

    # SIGINT ignored: nothing happens.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    sigint_after(0.1)
    assert solver.local_optimize(start, 300, -1.0, prm).iterations == 300
""")


@pytest.mark.timeout(300)
def test_sigint_stops_main_thread_calls_and_only_those():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(HERE)] + [p for p in sys.path if p])
    try:
        proc = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True,
                              text=True, timeout=240)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"the child did not finish: a call was not interrupted\n{e.stdout}\n{e.stderr}")
    assert proc.returncode == 0, proc.stdout + proc.stderr[-3000:]
