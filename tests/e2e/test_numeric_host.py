"""The numeric window under Wine in a plain frame (tests/numeric/num_host.cpp): live rows with
min/max, the automation messages, the in-place editor (Enter commits, Escape cancels) and the title
strip's close box. No driver is loaded there, so value writes report the write module's reason."""
import re

import pytest

import rig
from kxpoke import fields, no_window, poke, poke_ok

HOST = rig.OUT / "tests" / "kx_num_host.exe"
TOP = "--class=KXNumHost"
NUM = ("--child-class=KXNumWin",)
LIST = ("--child-id=2460",)
EDIT = ("--child-id=2461",)
WM_APP = 0x8000


def rows():
    return [fields(line) for line in poke_ok("listview", TOP, *LIST)]


def press_enter_in_editor():
    """Enter in the open editor. Under Wine a late activation of the frame can take the focus from
    the box first, and losing the focus commits just as Enter does (the result checked next is the
    same); the box must be gone either way."""
    rc, _ = poke("key", "ENTER", TOP, *EDIT)
    if rc != 0:
        assert poke("children", TOP, *EDIT)[0] == 1, "Enter could not reach a box that is still open"


def rows_when(condition, what):
    """The table's rows once condition(rows) holds (the window refreshes on its own timer)."""
    return rig.wait_until(lambda: (lambda r: r if condition(r) else None)(rows()), what=what)


def open_editor(row, col):
    poke_ok("post", WM_APP + 0x2D, row, col, TOP, *NUM)
    poke_ok("children", TOP, *EDIT, wait=5000)


def start_host(display, tmp_path):
    no_window("KXNumHost")
    h = rig.Kestrelix(display, tmp_path, (), exe=HOST).start()
    h.wait_log(r"host: window 1")
    h.wait_log(re.escape("数值窗口添加变量: id=2 (观测 3)"))
    h.wait_log(r"host: ready")
    return h


def test_live_rows_minmax_and_the_editor(display, tmp_path, shots_dir):
    if not HOST.exists():
        pytest.skip("kx_num_host.exe not built")
    h = start_host(display, tmp_path)
    try:
        text = h.text()
        assert text.count("数值窗口添加变量") == 3  # the duplicate added nothing
        poke_ok("find", TOP, wait=10000)
        first = rows()
        assert [r[1] for r in first] == ["speed", "gain", "count"]
        assert [r[2] for r in first] == ["0x20000000", "0x20000004", "0x20000008"]
        later = rows_when(lambda r: r[2][3] != first[2][3], "the counter to move")
        for r in later:
            assert r[3] != "" and r[4] != "-" and r[5] != "-", r
            assert float(r[4]) <= float(r[3]) <= float(r[5]), r

        poke_ok("post", WM_APP + 0x2E, 0, 0, TOP, *NUM)
        m = h.wait_log(r"数值minmax: 行2 min=(\d+) max=(\d+)")
        assert int(m.group(1)) <= int(m.group(2))
        assert re.search(r"数值minmax: 行0 min=-?\d+ max=-?\d+", h.text())

        # Enter commits a typed minimum; the tracking goes on from it.
        open_editor(0, 4)
        poke_ok("settext", "-9999", TOP, *EDIT)
        press_enter_in_editor()
        h.wait_log(re.escape("数值窗口手工设置最小值 行0: -9999"))
        assert poke("children", TOP, *EDIT)[0] == 1  # the box is gone
        rows_when(lambda r: r[0][4] == "-9999", "the typed minimum in row 0")

        # Escape cancels: nothing logged, the cell unchanged.
        before = rows()[1][5]
        open_editor(1, 5)
        poke_ok("settext", "12345", TOP, *EDIT)
        poke_ok("key", "ESCAPE", TOP, *EDIT)
        poke_ok("wait-gone", TOP, *EDIT, wait=5000)
        assert "手工设置最大值" not in h.text()
        assert rows()[1][5] != "12345"
        assert before != "12345"

        # A value write without a driver reports the reason.
        open_editor(1, 3)
        poke_ok("settext", "0.75", TOP, *EDIT)
        press_enter_in_editor()
        h.wait_log(re.escape("[ERROR] 数值窗口写入失败: 无驱动模块"))

        # A double click on a maximum cell opens the editor there with the cell's text; a click
        # elsewhere in the table takes the focus and commits it.
        x = 56 + 190 + 90 + 120 + 100 + 50  # inside the maximum column; y = 30 is below the header
        poke_ok("post", "WM_LBUTTONDBLCLK", 1, ((30 << 16) | x), TOP, *LIST)
        poke_ok("children", TOP, *EDIT, wait=5000)
        typed = poke_ok("gettext", TOP, *EDIT)[0]
        assert re.fullmatch(r"-?\d+(\.\d+)?(e[-+]\d+)?", typed), typed
        poke_ok("settext", "777", TOP, *EDIT)
        poke_ok("click", TOP, *LIST, "--at=150,200")
        h.wait_log(r"数值窗口手工设置最大值 行\d: 777")
        poke_ok("wait-gone", TOP, *EDIT, wait=5000)

        # A cell outside the table opens nothing. Sent, not posted: the window opens an editor
        # while it handles the message, so once the send returns the answer is on screen.
        poke_ok("send", WM_APP + 0x2D, 7, 3, TOP, *NUM)
        poke_ok("send", WM_APP + 0x2D, 0, 9, TOP, *NUM)
        assert poke("children", TOP, *EDIT)[0] == 1

        bmp = tmp_path / "num_host.bmp"
        poke_ok("shot", rig.win_path(bmp), TOP)
        display.screenshot(shots_dir / "numeric_host.png")

        # The close box of the title strip asks the main window to close this window.
        left, top, right, bottom = map(int, poke_ok("rect", TOP, *NUM)[0].split())
        poke_ok("click", TOP, *NUM, f"--at={right - left - 10},10")
        h.wait_log(r"host: close 1")
    finally:
        h.kill()
