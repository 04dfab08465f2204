"""The numeric window hosted in a tab of the program, against the simulated target: the command line
creates it with two demo variables, acquisition makes the values move, WM_APP + 0x2E logs every
row's extremes and the in-place editor writes a value through the simulator."""
import re

import pytest

import rig
from kxpoke import fields, pick_menu_item, poke, poke_ok, popup_menu

TOP = "--class=KestrelixMain"
NUM = ("--child-class=KXNumWin",)
LIST = ("--child-id=2460",)
EDIT = ("--child-id=2461",)
WM_APP = 0x8000
VARS = ["g_motor.speed_rpm", "g_wave.sine"]


def rows():
    return [fields(line) for line in poke_ok("listview", TOP, *LIST)]


def rows_when(condition, what):
    """The table's rows once condition(rows) holds (the window refreshes on its own timer)."""
    return rig.wait_until(lambda: (lambda r: r if condition(r) else None)(rows()), what=what)


def number(text):
    return float(text)


def test_numeric_window_in_a_tab_streams_tracks_and_writes(kestrelix, display, shots_dir):
    if not (rig.OUT / "dll" / "sim.dll").exists() or not (rig.OUT / "demo.elf").exists():
        pytest.skip("sim.dll or demo.elf not built")
    k = kestrelix("--no-layout", rig.win_path(rig.OUT / "demo.elf"), "--net-win=num," + ",".join(VARS),
                  "--net-exit=90000")
    for name in VARS:
        k.wait_log(re.escape(f"窗口添加变量: {name} (id="))
    assert re.search(r"数值窗口添加变量: id=\d+ \(观测 2\)", k.text())
    poke_ok("find", TOP, wait=10000)
    first = rows()
    assert [r[1] for r in first] == VARS
    assert all(r[3] == "" and r[4] == "-" and r[5] == "-" for r in first), first

    k.wait_log(r"SimLink 设备扫描: 1 个")
    assert poke("click", TOP, "--child-id=2002", wait=10000)[0] == 0
    k.wait_log(r"\[INFO\] 已连接: ")
    assert poke("click", TOP, "--child-id=2004")[0] == 0
    k.wait_log(r"\[INFO\] 采集已开始（自由运行高速模式，2 个变量）")
    filled = lambda r: all(x[3] != "" and x[4] != "-" and x[5] != "-" for x in r)
    a = rows_when(filled, "every row filled")
    b = rows_when(lambda r: r[1][3] != a[1][3], "the sine to move")
    for before, after in zip(a, b):
        assert after[3] != "" and after[4] != "-" and after[5] != "-", after
        assert number(after[4]) <= number(after[5]), after
    assert a[1][3] != b[1][3], (a, b)  # the sine moves

    poke_ok("post", WM_APP + 0x2E, 0, 0, TOP, *NUM)
    k.wait_log(r"数值minmax: 行1 min=\S+ max=\S+")
    lows = re.findall(r"数值minmax: 行(\d) min=(\S+) max=(\S+)", k.text())
    assert [row for row, _, _ in lows] == ["0", "1"]
    for _, low, high in lows:
        assert float(low) <= float(high)

    # The in-place editor on the value cell writes through the simulator.
    poke_ok("post", WM_APP + 0x2D, 0, 3, TOP, *NUM)
    poke_ok("children", TOP, *EDIT, wait=5000)
    poke_ok("settext", "1234", TOP, *EDIT)
    poke_ok("key", "ENTER", TOP, *EDIT)
    k.wait_log(re.escape("写入 g_motor.speed_rpm = 1234"))
    k.wait_log(re.escape("数值窗口就地写入 行0: 1234"))
    poke_ok("wait-gone", TOP, *EDIT, wait=5000)

    display.screenshot(shots_dir / "numeric_window.png")
    assert poke("click", TOP, "--child-id=2005")[0] == 0
    k.wait_log(r"\[INFO\] 采集已停止")

    # The context menu: remove the right-clicked row, then add a variable through the pick dialog.
    def menu_item(downs):
        at = (30 << 16) | 150  # a point on row 0 below the header
        poke_ok("post", "WM_RBUTTONDOWN", 2, at, TOP, *LIST)
        poke_ok("post", "WM_RBUTTONUP", 0, at, TOP, *LIST)
        pick_menu_item(popup_menu(), downs, wait_gone=downs != 1)  # item 1 opens the pick dialog

    menu_item(2)
    k.wait_log(r"数值窗口移除变量: id=\d+ \(剩余 1 行\)")
    assert [r[1] for r in rows()] == ["g_wave.sine"]
    menu_item(1)
    pick = poke_ok("find", "--class=KXDlgPick", wait=10000)[0].split("\t")[0]
    poke_ok("settext", "g_tick_ms", f"--hwnd={pick}", "--child-id=2403")
    poke_ok("send", "WM_APP+30", 0, 1, f"--hwnd={pick}")
    poke_ok("click", f"--hwnd={pick}", "--child-id=2401")
    k.wait_log(re.escape("数值窗口批量添加变量: 1 个"))
    assert [r[1] for r in rows()] == ["g_wave.sine", "g_tick_ms"]

    # Reloading the firmware finds both rows again by name and restarts their tracking.
    poke_ok("command", "2304", TOP)
    k.wait_log(re.escape("数值窗口变量重绑: 成功 2 缺失 0"))
    assert all(r[3] == "" and r[4] == "-" and r[5] == "-" for r in rows()), rows()

    # The title strip: a double click toggles full screen, the close box closes the window.
    poke_ok("post", "WM_LBUTTONDBLCLK", 1, (10 << 16) | 40, TOP, *NUM)
    k.wait_log(r"\[INFO\] 窗口全屏")
    poke_ok("post", "WM_LBUTTONDBLCLK", 1, (10 << 16) | 40, TOP, *NUM)
    k.wait_log(r"\[INFO\] 窗口退出全屏")
    left, _, right, _ = map(int, poke_ok("rect", TOP, *NUM)[0].split())
    poke_ok("click", TOP, *NUM, f"--at={right - left - 10},10")
    poke_ok("wait-gone", TOP, *NUM, wait=5000)
