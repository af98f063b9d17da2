"""The LOBSTER replay example against the 10-level AAPL sample."""

import importlib
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]


def find_data() -> Path:
    """QUORVANE_LOBSTER_DIR, else shared/data/lobster beside the checkout or beside one of its parents."""
    if "QUORVANE_LOBSTER_DIR" in os.environ:
        return Path(os.environ["QUORVANE_LOBSTER_DIR"])
    for parent in ROOT.parents:
        if (parent / "shared/data/lobster").is_dir():
            return parent / "shared/data/lobster"
    return ROOT.parent / "shared/data/lobster"


DATA = find_data()
MESSAGES = DATA / "AAPL_2012-06-21_34200000_57600000_message_10_first999rows.csv"
ROWS = DATA / "AAPL_2012-06-21_34200000_57600000_orderbook_10_first999rows.csv"

pytestmark = pytest.mark.skipif(not DATA.is_dir(), reason="LOBSTER sample data not present")
sys.path.insert(0, str(ROOT / "examples"))
replay_lobster = importlib.import_module("replay_lobster")


def test_every_level_of_every_row_agrees_with_the_book() -> None:
    s = replay_lobster.replay_files(MESSAGES, ROWS)
    assert s.messages == s.compared == 999 and s.depth == 10
    assert s.counts == {1: 471, 3: 369, 4: 98, 5: 61} and s.skipped == 61
    assert s.agree_by_depth[1] == s.agree_by_depth[5] == 999
    # Only levels that changed unseen below the tenth disagree when they come
    # into view, and each such row is reconciled before the next message.
    assert 0 < s.reconciliations <= 20
    assert s.agree_by_depth[10] == 999 - s.reconciliations
    assert s.engine_mismatches == 0


def test_a_full_day_at_one_level_keeps_its_figures() -> None:
    # The one-level files take their own path through the mirror; the figures
    # are the README's and change only with how messages are emulated.
    s = replay_lobster.replay_files(DATA / "AMZN_2012-06-21_34200000_57600000_message_1.csv",
                                    DATA / "AMZN_2012-06-21_34200000_57600000_orderbook_1.csv")
    assert (s.messages, s.depth, s.agree, s.reconciliations, s.engine_mismatches) == (57_515, 1, 49_288, 8_227, 0)


@pytest.mark.parametrize("level, column, agree_by_depth", [
    (1, 3, {1: 997, 5: 997}),  # best bid size
    (7, 1, {1: 999, 5: 999}),  # ask size of the seventh level
])
def test_a_wrong_level_is_caught_and_then_repaired(tmp_path: Path, level: int, column: int,
                                                   agree_by_depth: dict[int, int]) -> None:
    rows = ROWS.read_text().splitlines()
    cells = rows[500].split(",")
    cells[4 * (level - 1) + column] = str(int(cells[4 * (level - 1) + column]) + 7)
    rows[500] = ",".join(cells)
    (tmp_path / "rows.csv").write_text("\n".join(rows))
    clean = replay_lobster.replay_files(MESSAGES, ROWS)
    s = replay_lobster.replay_files(MESSAGES, tmp_path / "rows.csv")
    # Row 501 disagrees; the book takes its 7 extra shares for message 502
    # (so row 502 disagrees) and sheds them for message 503.
    assert s.agree_by_depth == {**agree_by_depth, 10: clean.agree_by_depth[10] - 2}
    assert s.reconciliations == clean.reconciliations + 2


MESSAGE = "34200.004241176,1,16113575,18,5853300,1\n"
ROW = "5859400,200,5853300,18\n"


@pytest.mark.parametrize("messages, rows, error", [
    ("", ROW, "messages.csv: empty file"),
    (MESSAGE, "\n", "rows.csv: empty file"),
    (MESSAGE + "34200.1,3,16113575,18,5853300,1,7\n", ROW * 2, "messages.csv: rows of different lengths"),
    (MESSAGE, "5859400,200,5853300\n", "rows.csv: 3 columns, an orderbook file has 4 per level"),
    (MESSAGE, ROW + "5859400,200,5853300,18,7\n", "rows.csv: rows of different lengths"),
    (MESSAGE, ROW.replace("200", "2e2"), "rows.csv: a cell is not an integer"),
    (MESSAGE, ROW * 2, "1 messages but 2 orderbook rows"),
])
def test_a_malformed_file_is_reported(tmp_path: Path, capsys: pytest.CaptureFixture[str], messages: str, rows: str,
                                      error: str) -> None:
    (tmp_path / "messages.csv").write_text(messages)
    (tmp_path / "rows.csv").write_text(rows)
    assert replay_lobster.main([str(tmp_path / "messages.csv"), str(tmp_path / "rows.csv"), "--quiet"]) == 1
    assert error in capsys.readouterr().err


def test_command_line(tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    assert replay_lobster.main([str(MESSAGES), str(ROWS), "--quiet"]) == 0
    out, err = capsys.readouterr()
    assert "rows agreeing, of 999: level 1 999 (100.00%); levels 1-5 999 (100.00%)" in out and err == ""
    assert replay_lobster.main([str(tmp_path / "missing.csv"), str(ROWS)]) == 1
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # as if not installed
    assert replay_lobster.main([str(MESSAGES), str(ROWS), "--plot", str(tmp_path / "d.png")]) == 2
    assert "pip install matplotlib" in capsys.readouterr().err and not (tmp_path / "d.png").exists()

