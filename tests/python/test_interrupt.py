"""Ctrl-C: SIGINT stops every driver called from the main thread within a
second, with KeyboardInterrupt (or whatever Python's SIGINT handler raises),
stops all of the call's threads, and leaves the solver as it was. Calls from
other threads, and handlers that do not raise, let the call finish.

Every scenario runs in a child process with a timeout, so that a call that
cannot be interrupted fails the test instead of hanging it."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

HERE = pathlib.Path(__file__).resolve().parent

PRELUDE = textwrap.dedent("""
    import os, signal, sys, threading, time
    import numpy as np
    import _core_cpp, _lpa_cpp
    import routines as R

    # A child of a shell that runs it in the background inherits SIGINT as
    # ignored: put Python's own handler back, as an interactive session has.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    NAP_US = 300.0  # each routine call naps this long: every driver runs for minutes
    grid = np.linspace(0.0, 1.0, 6)[:, None]
    solver = _lpa_cpp.LPACollSolver_cpp(grid, _core_cpp.PolynomialAnsatz(1, 3),
                                        R.flow_sleep.address, 0, 0, 0, 1, 1)
    start = np.zeros(4)
    prm = np.array([NAP_US])
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
        t = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
        t.start()
        return t

    def reference():
        return solver.local_optimize(start + 0.5, 3, 1e-12, np.array([0.0]))
""")


def run_child(body, timeout=120):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([str(HERE)] + [p for p in sys.path if p])
    try:
        proc = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)], env=env,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"the child did not finish: the call was not interrupted\n{e.stdout}\n"
                    f"{e.stderr}")
    assert proc.returncode == 0, proc.stdout + proc.stderr[-3000:]
    return proc.stdout


@pytest.mark.timeout(300)
def test_sigint_interrupts_every_driver_within_a_second():
    out = run_child("""
        before = reference()
        for name, call in DRIVERS.items():
            for delay in (0.005, 0.4):  # before and after the handler is checked
                sigint_after(delay)
                t0 = time.perf_counter()
                try:
                    call()
                except KeyboardInterrupt:
                    waited = time.perf_counter() - t0 - delay
                else:
                    sys.exit(f"{name}: ran to its end")
                assert waited < 1.0, (name, delay, waited)
                # No thread of the call is still computing.
                cpu = time.process_time()
                time.sleep(0.3)
                assert time.process_time() - cpu < 0.1, (name, "threads still busy")
                assert threading.active_count() == 1
                after = reference()
                assert np.array_equal(after.coeffs, before.coeffs), name
                assert (after.iterations, after.error) == (before.iterations, before.error)
                print(name, delay, f"{waited:.3f}")
    """)
    assert len(out.split("\n")) >= 8, out


@pytest.mark.timeout(300)
def test_calls_from_other_threads_and_handlers_that_return_run_to_the_end():
    run_child("""
        # From a worker thread: SIGINT goes to the main thread alone.
        box = {}
        def work():
            box["r"] = solver.local_optimize(start, 400, -1.0, prm)
        t = threading.Thread(target=work)
        t.start()
        sigint_after(0.2)
        try:
            while t.is_alive():
                t.join(0.05)
        except KeyboardInterrupt:
            t.join()
        else:
            sys.exit("the main thread never saw KeyboardInterrupt")
        assert box["r"].iterations == 400, box["r"].iterations

        # A handler that returns: the call goes on, the handler runs once.
        hits = []
        signal.signal(signal.SIGINT, lambda *a: hits.append(time.perf_counter()))
        sigint_after(0.2)
        r = solver.local_optimize(start, 600, -1.0, prm)
        assert r.iterations == 600 and len(hits) == 1, (r.iterations, hits)

        # Python's handler back: interruptible again, although the module's
        # handler was replaced in between.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        sigint_after(0.3)
        try:
            solver.multistart_optimize([start] * 256, 10**5, -1.0, prm)
        except KeyboardInterrupt:
            pass
        else:
            sys.exit("not interrupted after the handler came back")

        # SIGINT ignored: nothing happens.
        signal.signal(signal.SIGINT, signal.SIG_IGN)
        sigint_after(0.1)
        r = solver.local_optimize(start, 300, -1.0, prm)
        assert r.iterations == 300
    """)
