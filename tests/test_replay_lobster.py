"""The LOBSTER replay example against the 10-level AAPL sample and a 1-level full day."""

import importlib.util
import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
# QUORVANE_LOBSTER_DIR, else shared/data/lobster beside the checkout or beside one of its parents.
DATA = Path(os.environ.get("QUORVANE_LOBSTER_DIR") or next(
    (p / "shared/data/lobster" for p in ROOT.parents if (p / "shared/data/lobster").is_dir()), "no LOBSTER data"))
AAPL, AMZN = "AAPL_2012-06-21_34200000_57600000_{}_10_first999rows.csv", "AMZN_2012-06-21_34200000_57600000_{}_1.csv"
MESSAGES, ROWS = (DATA / AAPL.format(kind) for kind in ("message", "orderbook"))

pytestmark = pytest.mark.skipif(not DATA.is_dir(), reason="LOBSTER sample data not present")
sys.path.insert(0, str(ROOT / "examples"))
replay_lobster = importlib.import_module("replay_lobster")


# The README's figures: they change only with how messages are emulated. In the 10-level
# file only levels that changed unseen below the tenth disagree when they come into view,
# each such row reconciled before the next message; the 1-level files take their own path
# through the mirror. Every resting order of the engine agrees with the mirror at the end.
@pytest.mark.parametrize("name, figures", [(AAPL, (999, 10, {1: 999, 5: 999, 10: 985}, 14, 0)),
                                           (AMZN, (57_515, 1, {1: 49_288}, 8_227, 0))])
def test_the_samples_keep_their_figures(name: str, figures: tuple[object, ...]) -> None:
    s = replay_lobster.replay_files(DATA / name.format("message"), DATA / name.format("orderbook"))
    assert (s.messages, s.depth, s.agree_by_depth, s.reconciliations, s.engine_mismatches) == figures


# Row 501 shows 7 more shares at the best bid: it disagrees; the book takes them for message
# 502 (so row 502 disagrees too) and sheds them for message 503: two rows and two
# reconciliations more. (The AAPL figures above hold disagreements below the fifth level.)
def test_a_wrong_level_is_caught_and_then_repaired(tmp_path: Path) -> None:
    rows = [line.split(",") for line in ROWS.read_text().splitlines()]
    rows[500][3] = str(int(rows[500][3]) + 7)
    (tmp_path / "rows.csv").write_text("\n".join(map(",".join, rows)))
    s = replay_lobster.replay_files(MESSAGES, tmp_path / "rows.csv")
    assert (s.agree_by_depth, s.reconciliations) == ({1: 997, 5: 997, 10: 983}, 16)


MESSAGE = "34200.004241176,1,16113575,18,5853300,1\n"
ROW = "5859400,200,5853300,18\n"


# One row for each way a file is refused, not one for every rule refused the same way.
@pytest.mark.parametrize("messages, rows, output, status", [
    (MESSAGE, "\n", "rows.csv: empty file", 1),
    (MESSAGE, "5859400,200,5853300\n", "rows.csv: 3 columns, an orderbook file has 4 per level", 1),
    # 8 + 7 + 9 cells: as many as three rows of two levels, but the columns would shift.
    (MESSAGE * 3, "\n".join(",".join("1" * n) for n in (8, 7, 9)), "rows.csv line 2: 7 cell(s), line 1 has 8", 1),
    (MESSAGE * 2, ROW + "\n" + ROW, "rows.csv line 2: blank line", 1),
    ("\ufeff" + MESSAGE, "\ufeff" + ROW, "rows agreeing, of 1: level 1 1 (100.00%)", 0),
    (MESSAGE, ROW.replace("200", "2e2"), "rows.csv line 1, column 2: '2e2' is not an integer", 1),
    (MESSAGE, ROW * 2, "1 messages but 2 orderbook rows", 1),
    # The book's tick is a cent: create_order would round these onto a level the mirror keeps apart.
    (MESSAGE.replace("5853300", "5853350"), ROW, "messages.csv line 1: price must be a whole number of cents", 1),
    (MESSAGE, ROW.replace("5859400", "9999999999"), "rows.csv line 1, column 2: a missing level (price 9999999999) "
     "must have size 0", 1),
    (MESSAGE, ROW.replace("200", "9" * 19), "rows.csv line 1, column 2: size must be below 2**53", 1),
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
    assert "by type: submit 471, delete 369, execute 98, hidden execution 61 (61 skipped)\n" in out and err == ""
    assert "rows agreeing, of 999: level 1 999 (100.00%); levels 1-5 999 (100.00%); levels 1-10 985 (98.60%)\n" in out
    assert replay_lobster.main([str(tmp_path / "missing.csv"), str(ROWS)]) == 1
    # matplotlib would add .png to the name; refused before the replay (without matplotlib, for that).
    assert replay_lobster.main([str(MESSAGES), str(ROWS), "--plot", str(tmp_path / "chart")]) == 2
    expected = "suffix" if importlib.util.find_spec("matplotlib") else "pip install matplotlib"
    assert expected in capsys.readouterr().err and not list(tmp_path.iterdir())
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # as if not installed
    assert replay_lobster.main([str(MESSAGES), str(ROWS), "--plot", str(tmp_path / "d.png")]) == 2
    assert "pip install matplotlib" in capsys.readouterr().err and not (tmp_path / "d.png").exists()
