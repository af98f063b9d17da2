"""Many books on a thread pool, a process pool and a Dask cluster: the same rows, and a failing input stays alone."""

import importlib
import subprocess
import sys
from pathlib import Path

import pytest

from test_replay_lobster import DATA, MESSAGES, ROWS

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))
replay_many = importlib.import_module("replay_many")

TASKS = [replay_many.SyntheticInput(seed, 3_000) for seed in (1, 2)]
if DATA.is_dir():
    TASKS.insert(0, replay_many.LobsterInput(MESSAGES, ROWS))
TIMEOUT = 120  # seconds for all the results of one executor


def rows_from(kind: str, scheduler: str | None = None) -> list["replay_many.Result"]:
    with replay_many.open_executor(kind, 2, scheduler) as executor:
        return replay_many.replay_all(executor, TASKS, TIMEOUT)


@pytest.fixture(scope="module")
def thread_rows() -> list["replay_many.Result"]:
    rows = rows_from("thread")
    assert [row.error for row in rows] == [None] * len(TASKS)
    assert all(row.messages > 0 and row.fills > 0 and row.book for row in rows)
    return rows


def same(rows: list["replay_many.Result"], others: list["replay_many.Result"]) -> bool:
    return len(rows) == len(others) and all(a.same_outcome(b) for a, b in zip(rows, others))


def test_a_process_pool_gives_the_same_rows_and_a_failing_input_stays_alone(
        thread_rows: list["replay_many.Result"], tmp_path: Path) -> None:
    broken = tmp_path / "X_message.csv"
    broken.write_text("34200.1,1,7,100,2238100\n")  # a column short
    tasks = [TASKS[0], replay_many.LobsterInput(broken, tmp_path / "X_orderbook.csv"), *TASKS[1:]]
    with replay_many.open_executor("process", 2, None) as executor:
        rows = replay_many.replay_all(executor, tasks, TIMEOUT)
    table = replay_many.table([rows.pop(1)], 1.0)  # the failing input's row
    assert f"{'X':<22} failed: ValueError" in table and "a message file has 6" in table
    assert same(rows, thread_rows)
    # Each row is the input's own: another seed gives another book.
    assert not thread_rows[-1].same_outcome(thread_rows[-2])


def test_a_dask_cluster_gives_the_same_rows(thread_rows: list["replay_many.Result"]) -> None:
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        assert same(rows_from("dask", cluster.scheduler_address), thread_rows)
        # The command line too, whose script runs as __main__.
        run = subprocess.run([sys.executable, "replay_many.py", "--synthetic", "2", "--ops", "2000",
                              "--scheduler", cluster.scheduler_address], cwd=ROOT / "examples",
                             capture_output=True, text=True, timeout=120)
        assert run.returncode == 0, run.stdout + run.stderr


def test_an_engine_that_disagrees_with_the_mirror_fails_the_run(monkeypatch: pytest.MonkeyPatch,
                                                                 capsys: pytest.CaptureFixture[str]) -> None:
    if not DATA.is_dir():
        pytest.skip("LOBSTER sample data not present")
    # A book of a coarser tick than the mirror's merges levels the mirror keeps apart, as sub-cent prices did.
    monkeypatch.setattr(replay_many.replay_lobster, "TICK_SIZE", 0.02)
    assert replay_many.replay_lobster.main([str(MESSAGES), str(ROWS), "--quiet"]) == 1
    assert "the engine and the level mirror disagree on" in capsys.readouterr().err
    assert replay_many.main(["--lobster", str(MESSAGES), str(ROWS), "--executor", "thread"]) == 1
    assert "failed: engine and level mirror disagree on" in capsys.readouterr().out


# Runs an example with numpy, an optional dependency, as if not installed.
WITHOUT_NUMPY = "import runpy, sys; sys.modules['numpy'] = None; sys.argv[:] = sys.argv[1:]; " \
                "sys.path.insert(0, '.'); runpy.run_path(sys.argv[0], run_name='__main__')"


@pytest.mark.parametrize("command, status, output", [
    ("replay_lobster.py --help", 0, "usage: replay_lobster.py"),
    ("replay_many.py --synthetic 1 --ops 500 --executor thread", 0, "synthetic seed 7"),
    (f"replay_lobster.py {MESSAGES} {ROWS}", 2, "replay_lobster: reading the files needs numpy"),
    ("replay_many.py --synthetic 1 --scheduler nonsense://host:1", 1, "replay_many: "),
    ("replay_many.py --synthetic 1 --workers 2 --scheduler tcp://127.0.0.1:1", 2, "do not apply with --scheduler"),
    ("demo.py --tick-size nan", 2, "--tick-size must be finite and positive"),
    ("demo.py --tick-size 1e308", 2, "not a whole number of ticks"),
])
def test_command_lines_end_cleanly(command: str, status: int, output: str) -> None:
    run = subprocess.run([sys.executable, "-c", WITHOUT_NUMPY, *command.split()], cwd=ROOT / "examples",
                         capture_output=True, text=True, timeout=60)
    assert (run.returncode, "Traceback" in run.stderr) == (status, False) and output in run.stdout + run.stderr


def test_the_demo_prints_as_many_summaries_as_asked(capsys: pytest.CaptureFixture[str]) -> None:
    flow = replay_many.demo.generate_flow(1, 10, 0.01)
    replay_many.demo.replay(flow, 0.01, 3)
    summaries = [line for line in capsys.readouterr().out.splitlines() if line.startswith("after ")]
    assert len(summaries) == 3 and summaries[-1] == "after 10 operations:"
