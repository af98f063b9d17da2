"""The LOBSTER replay example against the 10-level AAPL sample."""

import importlib.util
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


@pytest.mark.parametrize("messages, rows, output, status", [
    ("", ROW, "messages.csv: empty file", 1),
    (MESSAGE, "\n", "rows.csv: empty file", 1),
    (MESSAGE + "34200.1,3,16113575,18,5853300,1,7\n", ROW * 2, "messages.csv line 2: 7 cell(s), line 1 has 6", 1),
    (MESSAGE, "5859400,200,5853300\n", "rows.csv: 3 columns, an orderbook file has 4 per level", 1),
    (MESSAGE, ROW + "5859400,200,5853300,18,7\n", "rows.csv line 2: 5 cell(s), line 1 has 4", 1),
    (MESSAGE * 3, ROW.replace("18", "18,1,1,1,1") + ROW.replace("18", "18,1,1,1") + ROW.replace("18", "18,1,1,1,1,1"),
     "rows.csv line 2: 7 cell(s), line 1 has 8", 1),  # the columns would shift
    (MESSAGE + "\n" + MESSAGE, ROW * 2, "messages.csv line 2: blank line", 1),
    (MESSAGE * 2, ROW + "\n" + ROW, "rows.csv line 2: blank line", 1),
    ("\ufeff" + MESSAGE, "\ufeff" + ROW, "rows agreeing, of 1: level 1 1 (100.00%)", 0),
    (MESSAGE, ROW.replace("200", "2e2"), "rows.csv line 1, column 2: '2e2' is not an integer", 1),
    (MESSAGE + MESSAGE.replace(",18,", ",1x8,"), ROW * 2, "messages.csv line 2, column 4: '1x8' is not an integer", 1),
    (MESSAGE, ROW * 2, "1 messages but 2 orderbook rows", 1),
    # The book's tick is a cent: create_order would round these onto a level the mirror keeps apart.
    (MESSAGE.replace("5853300", "5853350"), ROW, "messages.csv line 1: price must be a whole number of cents", 1),
    (MESSAGE, ROW.replace("5859400", "5859450"), "rows.csv line 1, column 1: price must be a whole number of cents", 1),
    (MESSAGE, ROW.replace("5859400", "9999999999"), "rows.csv line 1, column 2: a missing level (price 9999999999) "
     "must have size 0", 1),
    (MESSAGE, ROW.replace("200", "9" * 19), "rows.csv line 1, column 2: size must be below 2**53", 1),
    (MESSAGE.replace(",18,", ",0,"), ROW, "messages.csv line 1: size must be positive", 1),
    (MESSAGE.replace(",1\n", ",2\n"), ROW, "messages.csv line 1: direction must be 1 or -1", 1),
    (MESSAGE.replace(",5853300,", ",-5853300,"), ROW, "messages.csv line 1: price must be positive", 1),
])
def test_a_malformed_file_is_reported(tmp_path: Path, capsys: pytest.CaptureFixture[str], messages: str, rows: str,
                                      output: str, status: int) -> None:
    (tmp_path / "messages.csv").write_text(messages)
    (tmp_path / "rows.csv").write_text(rows)
    assert replay_lobster.main([str(tmp_path / "messages.csv"), str(tmp_path / "rows.csv"), "--quiet"]) == status
    assert output in "".join(capsys.readouterr())


def test_command_line(tmp_path: Path, capsys: pytest.CaptureFixture[str], monkeypatch: pytest.MonkeyPatch) -> None:
    assert replay_lobster.main([str(MESSAGES), str(ROWS), "--quiet"]) == 0
    out, err = capsys.readouterr()
    assert "rows agreeing, of 999: level 1 999 (100.00%); levels 1-5 999 (100.00%)" in out and err == ""
    assert replay_lobster.main([str(tmp_path / "missing.csv"), str(ROWS)]) == 1
    # matplotlib would add .png to the name; refused before the replay (without matplotlib, for that).
    assert replay_lobster.main([str(MESSAGES), str(ROWS), "--plot", str(tmp_path / "chart")]) == 2
    expected = "suffix" if importlib.util.find_spec("matplotlib") else "pip install matplotlib"
    assert expected in capsys.readouterr().err and not list(tmp_path.iterdir())
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # as if not installed
    assert replay_lobster.main([str(MESSAGES), str(ROWS), "--plot", str(tmp_path / "d.png")]) == 2
    assert "pip install matplotlib" in capsys.readouterr().err and not (tmp_path / "d.png").exists()

