"""Many books on thread and process pools and a Dask cluster: the same rows, a failing input alone; command lines."""

import subprocess
import sys

import pytest

from test_replay_lobster import DATA, MESSAGES, ROOT, ROWS  # which also puts examples/ on the path
import replay_many  # from examples/, so after the line above

# Two seeds, a pair of files that are no LOBSTER files (the README), and the AAPL sample.
TASKS = [replay_many.SyntheticInput(1, 3_000), replay_many.SyntheticInput(2, 3_000),
         replay_many.LobsterInput(ROOT / "README.md", ROOT / "README.md")]
TASKS += [replay_many.LobsterInput(MESSAGES, ROWS)] if DATA.is_dir() else []
TIMEOUT = 120  # seconds for all the results of one executor
# Runs an example as a script, with numpy, an optional dependency, as if not installed.
WITHOUT_NUMPY = "import runpy, sys; sys.modules['numpy'] = None; sys.argv[:] = sys.argv[1:]; " \
                "sys.path.insert(0, '.'); runpy.run_path(sys.argv[0], run_name='__main__')"


def rows_from(kind: str, scheduler: str | None = None) -> list["replay_many.Result"]:
    with replay_many.open_executor(kind, 2, scheduler) as executor:
        return replay_many.replay_all(executor, TASKS, TIMEOUT)


def run_example(command: str) -> "subprocess.CompletedProcess[str]":
    return subprocess.run([sys.executable, "-c", WITHOUT_NUMPY, *command.split()], cwd=ROOT / "examples",
                          capture_output=True, text=True, timeout=120)


@pytest.fixture(scope="module")
def thread_rows() -> list["replay_many.Result"]:
    rows = rows_from("thread")
    assert f"{'README.md':<22} failed: ValueError: " in replay_many.table([rows[2]], 1.0)
    # Only the README fails, refused as replay_lobster refuses a malformed file; the others fill orders.
    assert [row.error is None and row.fills > 0 for row in rows] == [True, True, False, True][:len(TASKS)]
    # Each row is the input's own: another seed gives another book.
    assert rows[0].book != rows[1].book
    return rows


def same(rows: list["replay_many.Result"], others: list["replay_many.Result"]) -> bool:
    return len(rows) == len(others) and all(map(replay_many.Result.same_outcome, rows, others))


def test_a_process_pool_gives_the_same_rows(thread_rows: list["replay_many.Result"]) -> None:
    assert same(rows_from("process"), thread_rows)


def test_a_dask_cluster_gives_the_same_rows(thread_rows: list["replay_many.Result"]) -> None:
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        assert same(rows_from("dask", cluster.scheduler_address), thread_rows)
        # The command line too, whose script runs as __main__.
        run = run_example(f"replay_many.py --synthetic 2 --ops 2000 --scheduler {cluster.scheduler_address}")
        assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.skipif(not DATA.is_dir(), reason="LOBSTER sample data not present")
def test_a_disagreeing_engine_fails_the_run(monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str]) -> None:
    # A book of a coarser tick than the level mirror's merges levels the mirror keeps apart, as sub-cent prices did.
    monkeypatch.setattr(replay_many.replay_lobster, "TICK_SIZE", 0.02)
    assert replay_many.replay_lobster.main([str(MESSAGES), str(ROWS), "--quiet"]) == 1
    assert "the engine and the level mirror disagree on" in capsys.readouterr().err
    assert replay_many.main(["--lobster", str(MESSAGES), str(ROWS), "--executor", "thread"]) == 1
    assert "failed: engine and level mirror disagree on" in capsys.readouterr().out


@pytest.mark.parametrize("command, status, output", [
    ("replay_many.py --synthetic 1 --ops 500 --executor thread", 0, "synthetic seed 7"),
    (f"replay_lobster.py {MESSAGES} {ROWS}", 2, "replay_lobster: reading the files needs numpy"),
    ("replay_many.py --synthetic 1 --scheduler nonsense://host:1", 1, "replay_many: "),
    ("replay_many.py --synthetic 1 --workers 2 --scheduler tcp://127.0.0.1:1", 2, "do not apply with --scheduler"),
    ("demo.py --tick-size nan", 2, "--tick-size must be finite and positive"),
    ("demo.py --tick-size 1e308", 2, "not a whole number of ticks"),
])
def test_command_lines_end_cleanly(command: str, status: int, output: str) -> None:
    run = run_example(command)
    assert (run.returncode, "Traceback" in run.stderr) == (status, False) and output in run.stdout + run.stderr


def test_the_demo_prints_as_many_summaries_as_asked(capsys: pytest.CaptureFixture[str]) -> None:
    replay_many.demo.replay(replay_many.demo.generate_flow(1, 10, 0.01), 0.01, 3)
    summaries = [line for line in capsys.readouterr().out.splitlines() if line.startswith("after ")]
    assert len(summaries) == 3 and summaries[-1] == "after 10 operations:"
