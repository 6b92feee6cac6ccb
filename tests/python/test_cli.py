"""python -m lpa_host scan: arguments refused before any work, output checked
before the first point, and interrupted scans (Ctrl-C, a killed client, a lost
scheduler) that resume to the files of an uninterrupted one. Every scan runs in
a child process of its own session, with a timeout."""

import math
import os
import signal
import subprocess
import sys
import time

import pytest

from lpa_host import cli, outputs

pytest.importorskip("distributed")
pytestmark = pytest.mark.timeout(300)

# 2 x 21 points in tasks of 3, and two d for the fixed-point count.
GRID = ["--N", "1,2", "--d", "2.8:3.2:0.02", "--segment", "3", "--count-d", "2.95,3.05"]
FILES = (cli.LANDSCAPE, cli.COUNTS)


def command(out, *extra):
    return [sys.executable, "-m", "lpa_host", "scan", *GRID, "-o", str(out), *extra]


def start(args):
    return subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            start_new_session=True)


def finish(proc, timeout=240):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        raise
    return proc.returncode, out, err


def run(args, timeout=240):
    return finish(start(args), timeout)


def rows_on_disk(out, n):
    """Wait until the partial landscape holds at least n rows."""
    part = outputs.partial_path(os.path.join(out, cli.LANDSCAPE))
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        if os.path.exists(part):
            with open(part) as fh:
                if sum(1 for _ in fh) >= n + 2:
                    return
        time.sleep(0.02)
    raise AssertionError("no rows arrived")


def session_members(sid):
    """Processes of session sid still alive (zombies left out)."""
    alive = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as fh:
                fields = fh.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == sid and fields[0] != "Z":
            alive.append(int(pid))
    return alive


def gone(sid, within=10.0):
    deadline = time.monotonic() + within
    while session_members(sid) and time.monotonic() < deadline:
        time.sleep(0.1)
    return not session_members(sid)


def own_cluster(workers):
    """A cluster process of lpa_host (a session of its own): (process, address)."""
    proc = subprocess.Popen([sys.executable, "-m", "lpa_host.cluster", str(workers)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                            start_new_session=True)
    return proc, proc.stdout.readline().strip()


def same_files(a, b):
    for name in FILES:
        with open(os.path.join(a, name), "rb") as x, open(os.path.join(b, name), "rb") as y:
            assert x.read() == y.read(), name
    assert not [n for n in os.listdir(b) if "partial" in n or n.endswith(".tmp")]


@pytest.fixture(scope="module")
def reference(tmp_path_factory):
    out = tmp_path_factory.mktemp("reference")
    status, stdout, err = run(command(out, "--workers", "1"))
    assert status == 0, err
    return out


def resumed(out, reference):
    status, stdout, err = run(command(out, "--resume", "--workers", "1"))
    assert status == 0, err
    assert "already done" in stdout and " 0 already done" not in stdout, stdout
    same_files(reference, out)


def test_ctrl_c_stops_at_once_and_resume_gives_the_uninterrupted_files(tmp_path, reference):
    proc = start(command(tmp_path, "--workers", "2"))
    rows_on_disk(tmp_path, 3)
    t = time.monotonic()
    os.killpg(proc.pid, signal.SIGINT)  # what a terminal's Ctrl-C does: the whole group
    status, _, err = finish(proc, 30)
    assert time.monotonic() - t < 2.0
    assert status == cli.EXIT_INTERRUPTED
    lines = [x for x in err.splitlines() if x.strip() and not x.startswith("scan [")]
    assert len(lines) == 1 and lines[0].startswith("interrupted: saved "), err
    assert "--resume" in lines[0] and "Traceback" not in err
    assert gone(proc.pid), "processes left behind"
    resumed(tmp_path, reference)


def test_a_killed_client_takes_its_cluster_along_and_resumes(tmp_path, reference):
    proc = start(command(tmp_path, "--workers", "1"))
    rows_on_disk(tmp_path, 3)
    os.kill(proc.pid, signal.SIGKILL)  # the client alone: no handler runs
    finish(proc, 30)
    assert gone(proc.pid, 30), "the cluster outlived its client"
    resumed(tmp_path, reference)


def test_a_lost_scheduler_ends_the_scan_with_its_rows_saved(tmp_path, reference):
    cluster, address = own_cluster(1)
    try:
        proc = start(command(tmp_path, "--scheduler", address))
        rows_on_disk(tmp_path, 3)
        os.killpg(cluster.pid, signal.SIGKILL)
        status, _, err = finish(proc, 60)
    finally:
        os.killpg(cluster.pid, signal.SIGKILL)
        cluster.wait()
    assert status == 1 and "was lost: saved " in err and "Traceback" not in err, err
    resumed(tmp_path, reference)


def test_a_scheduler_without_workers_is_given_up_after_the_timeout(tmp_path):
    cluster, address = own_cluster(0)
    try:
        t = time.monotonic()
        status, stdout, err = run(command(tmp_path, "--scheduler", address, "--timeout", "2"),
                                  timeout=60)
    finally:
        os.killpg(cluster.pid, signal.SIGKILL)
        cluster.wait()
    assert status == 1 and time.monotonic() - t < 30
    assert "has no workers yet" in stdout and "no workers for 2 s" in err, (stdout, err)


# --- refused before anything starts ----------------------------------------------------------

def error_of(capsys, *args):
    with pytest.raises(SystemExit) as exc:
        cli.main(["scan", *args])
    assert exc.value.code == 2
    err = capsys.readouterr().err
    assert "Traceback" not in err
    return err.strip().splitlines()[-1]


@pytest.mark.parametrize("args,message", [
    (["--N", "1:1000000:1", "--d", "3.0"], "1,000,000 points, more than 100,000; pass "
                                           "--allow-large"),
    (["--N", "1:1e4:1e-6", "--allow-large"], "--N: 1:1e4:1e-6 has 9,999,000,001 values"),
    (["--d", "2.4:3.9:5e-324"], "--d: the step must be at least 1e-09"),
    (["--d", "2.4:3.9:0"], "--d: the step must be positive"),
    (["--d", "3.9:2.4:0.1"], "--d: start 3.9 is above stop 2.4"),
    (["--d", "2.4:3.9"], "--d: '2.4:3.9' is not a range"),
    (["--d", "nan"], "--d must be finite, got nan"),
    (["--N", "1,inf"], "--N must be finite, got inf"),
    (["--N", "1,1", "--d", "3.0,3.1"], "--N: 1 is given more than once"),
    (["--d", "3.0,3.0,3.1"], "--d: 3 is given more than once"),
    (["--N", "-2"], "--N: N must lie in (-2, 1e+06]"),
    (["--N", "999999:1000001:1", "--d", "3"], "--N: N must lie in (-2, 1e+06], got N = 1000001"),
    (["--d", "2.1"], "--d: d must lie in [2.2, 3.95]"),
    (["--count-d", "2.0:2.5:0.1"], "--count-d: d must lie in [2.2, 3.95], got d = 2"),
    (["--scheduler", "foo"], "--scheduler: 'foo' is not an address like tcp://HOST:8786"),
    (["--scheduler", "tcp://127.0.0.1:8786", "--workers", "2"], "--workers sizes the local"),
    (["--workers", "0"], "--workers: must be a whole number >= 1"),
    (["--timeout", "inf"], "--timeout: must be a positive number of seconds"),
    (["-o", "/proc/lpa-scan"], "-o: cannot make the directory /proc/lpa-scan"),
])
def test_bad_arguments_get_one_line_naming_the_flag(capsys, args, message):
    assert message in error_of(capsys, *args)


def test_a_grid_too_large_is_refused_before_its_values_are_made(tmp_path):
    code = ("import sys\nfrom lpa_host import cli\ntry:\n    cli.main(sys.argv[1:])\n"
            "except SystemExit:\n    pass\n"  # the peak since exec (ru_maxrss counts the fork)
            "print(next(x.split()[1] for x in open('/proc/self/status') if x.startswith('VmHWM')))")
    status, out, err = run([sys.executable, "-c", code, "scan", "--N", "1:1e7:1", "--d", "3.0,3.1",
                            "-o", str(tmp_path / "out")], 60)
    assert "the grid has 20,000,000 points; at most 10,000,000 can be scanned" in err
    # 10^7 values of N alone would take about 0.4 GB
    assert int(out) < 250_000, f"peak {int(out) // 1024} MB"


def test_bad_output_locations_are_found_before_any_point(tmp_path, capsys):
    (tmp_path / "file").write_text("")
    assert "is a file, not a directory" in error_of(capsys, "-o", str(tmp_path / "file"))
    (tmp_path / "a" / cli.LANDSCAPE).mkdir(parents=True)
    assert f"{cli.LANDSCAPE} is a directory" in error_of(capsys, "-o", str(tmp_path / "a"))
    # an unfinished scan is continued or removed, never overwritten
    (tmp_path / "b").mkdir()
    outputs.RowFile.start(str(tmp_path / "b" / cli.LANDSCAPE), cli.FIELDS, 4, "k").close()
    assert "add --resume" in error_of(capsys, *GRID, "-o", str(tmp_path / "b"))
    assert "belongs to another scan" in error_of(capsys, *GRID, "-o", str(tmp_path / "b"),
                                                 "--resume")


def test_a_relative_out_is_the_callers_and_help_names_no_checkout_path(tmp_path, capsys,
                                                                        monkeypatch):
    monkeypatch.chdir(tmp_path)
    error_of(capsys, "--d", "nan", "-o", "sub/dir")  # the grid is refused; the folder is not
    assert not (tmp_path / "sub").exists()
    with pytest.raises(SystemExit):
        cli.main(["scan", "--help"])
    text = capsys.readouterr().out
    assert "--allow-large" in text and "--resume" in text
    assert os.path.dirname(cli.__file__) not in text and "/work/" not in text


def test_an_unreachable_scheduler_is_refused_naming_the_flag(tmp_path, capsys):
    term = signal.getsignal(signal.SIGTERM)
    message = error_of(capsys, *GRID, "-o", str(tmp_path), "--scheduler", "tcp://127.0.0.1:9",
                       "--timeout", "1")
    assert message.startswith("python -m lpa_host scan: error: --scheduler: cannot reach")
    # the caller's signal handling is as it was
    assert signal.getsignal(signal.SIGTERM) is term and signal.set_wakeup_fd(-1) == -1


def test_a_scan_without_counts_removes_the_count_file_of_an_earlier_one(tmp_path):
    (tmp_path / cli.COUNTS).write_text("N,d,count\n1.0,3.0,7\n")
    status, out, err = run([sys.executable, "-m", "lpa_host", "scan", "--N", "1", "--d", "3.0",
                            "--count-d", "none", "--workers", "1", "-o", str(tmp_path)])
    assert status == 0, err
    assert sorted(os.listdir(tmp_path)) == [cli.LANDSCAPE, cli.PICTURE]
    assert f"removed {tmp_path / cli.COUNTS}" in out


def test_the_example_refuses_a_plot_it_cannot_write_before_its_run(tmp_path):
    example = os.path.join(os.path.dirname(cli.__file__), "..", "examples", "wilson_fisher.py")
    status, _, err = run([sys.executable, example, "-o", str(tmp_path / "plot.txt")], 60)
    assert status == 2 and "plot.txt' must end in one of" in err and "Traceback" not in err


# --- the row files --------------------------------------------------------------------------

def test_rows_survive_a_torn_write_and_finish_in_grid_order(tmp_path):
    final = str(tmp_path / "rows.csv")
    fields = ("N", "d", "nu", "converged")
    store = outputs.RowFile.start(final, fields, 4, "key")
    store.add([2, 0], [dict(N=2.0, d=3.0, nu=0.1, converged=True),
                       dict(N=1.0, d=3.0, nu=1 / 3, converged=False)])
    store.close()
    with open(store.path, "a") as fh:
        fh.write("3,4.0,3.0,0.7")  # a client killed in the middle of a line
    store = outputs.RowFile.resume(final, fields, 4, "key")
    assert list(store.done) == [1, 0, 1, 0] and store.todo([1]) and not store.todo([0, 2])
    store.add([1, 3, 0], [dict(N=1.5, d=3.0, nu=math.nan, converged=False),
                          dict(N=4.0, d=3.0, nu=2.5, converged=True),
                          dict(N=9.0, d=9.0, nu=9.0, converged=True)])  # 0 is kept
    assert store.finish() == final and os.path.exists(store.path)
    store.discard()
    assert not os.path.exists(store.path)
    with open(final) as fh:
        assert fh.read() == ("N,d,nu,converged\n1.0,3.0,0.3333333333333333,False\n"
                             "1.5,3.0,nan,False\n2.0,3.0,0.1,True\n4.0,3.0,2.5,True\n")
    assert oct(os.stat(final).st_mode & 0o777) == oct(0o666 & ~current_umask())


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


SWALLOWING = """
import sys, time
from lpa_host import cli

def run(*args):  # library code that catches the interrupt and carries on
    print("running", flush=True)
    while True:
        try:
            time.sleep(0.05)
        except KeyboardInterrupt:
            pass

cli.run = run
sys.exit(cli.main(sys.argv[1:]))
"""


def test_ctrl_c_ends_the_command_even_when_its_keyboard_interrupt_is_lost(tmp_path):
    proc = start([sys.executable, "-c", SWALLOWING, "scan", *GRID, "-o", str(tmp_path)])
    assert proc.stdout.readline().strip() == "running"
    t = time.monotonic()
    os.killpg(proc.pid, signal.SIGINT)
    status, _, err = finish(proc, 30)
    assert time.monotonic() - t < 2.0
    assert status == cli.EXIT_INTERRUPTED and err.strip().startswith("interrupted: saved 0 of 42 rows")
