"""The variable panel under Wine with the demo firmware: the tree's items and check boxes, the
command-line ticks and selection, a click on a check box, the search dialog, the write-value
dialog through the simulated probe and the network configuration dialog."""
import re
import time

import pytest

import rig
from kxpoke import fields, poke_ok

MAIN = "--class=KestrelixMain"
TREE = "--child-id=3010"
TVM_GETINDENT = 0x1106
TVM_GETITEMHEIGHT = 0x111C
WM_HSCROLL = 0x0114
SB_THUMBPOSITION = 4  # with position 0 in the high word


@pytest.fixture
def demo():
    if not (rig.OUT / "demo.elf").exists() or not (rig.OUT / "dll" / "sim.dll").exists():
        pytest.skip("demo.elf or sim.dll not built")
    return rig.win_path(rig.OUT / "demo.elf")


def tree_items():
    """(depth, text, checked) of every tree item, depth first."""
    out = []
    for line in poke_ok("treeview", MAIN, TREE, wait=10000):
        text, checked = fields(line)
        depth = (len(text) - len(text.lstrip(" "))) // 2
        out.append((depth, text.strip(" "), checked))
    return out


def send(msg, wparam=0, lparam=0, *selectors):
    return int(poke_ok("send", msg, wparam, lparam, *selectors)[0])


def wait_window(cls, timeout=15):
    return poke_ok("find", f"--class={cls}", wait=timeout * 1000)[0].split("\t")[0]


def tree_width():
    left, _, right, _ = (int(v) for v in poke_ok("rect", MAIN, TREE)[0].split())
    return right - left


def tree_visible():
    for line in poke_ok("children", MAIN):
        f = fields(line)
        if f[2] == "3010":
            return f[4] == "1"
    raise AssertionError("no tree")


def dialog_texts(hwnd):
    """Child id -> text of a dialog's children (static texts get id -1 or 65535)."""
    texts = {}
    for line in poke_ok("children", f"--hwnd={hwnd}"):
        f = fields(line)
        texts.setdefault(int(f[2]), []).append(f[5])
    return texts


def test_tree_shows_the_demo_variables_ticks_and_selection(kestrelix, display, shots_dir, demo):
    k = kestrelix("--no-layout", demo, "--watch=g_motor.speed_rpm,g_wave.sine",
                  "--select-leaf=g_motor.flags.hall", "--net-exit=120000")
    k.wait_log(r"\[INFO\] 命令行选中叶变量: g_motor\.flags\.hall \(rc=0\)")
    k.wait_log(r"\[INFO\] 命令行勾选叶变量: g_wave\.sine \(id=\d+\)")
    items = tree_items()
    texts = [(d, t) for d, t, _ in items]
    # A structure variable: group, structure node, members; nested structures and bit fields.
    start = texts.index((0, "g_motor"))
    assert texts[start + 1] == (1, "g_motor {...} (64 B)")
    assert texts[start + 2] == (2, "g_motor.mode  @0x20000050")
    assert (2, "g_motor.speed_pi {...} (20 B)") in texts
    assert (3, "g_motor.speed_pi.kp  @0x20000064") in texts
    assert (3, "g_motor.flags.hall  @0x20000084  [bit 5:3]") in texts
    assert (2, "g_motor.reserved [3]") in texts and (3, "g_motor.reserved[2]  @0x20000087") in texts
    # Scalars at the top level, arrays under a group, a long byte array as a string label.
    assert (0, "g_tick_ms  @0x200002D0") in texts
    assert texts[texts.index((0, "g_adc_raw")) + 1] == (1, "g_adc_raw [8]")
    tag = texts.index((0, "g_build_tag"))
    assert texts[tag + 1] == (1, "g_build_tag [24]") and texts[tag + 2] == (2, "g_build_tag (string)")
    # Every item has a box; exactly the two --watch leaves are ticked.
    assert {c for _, _, c in items} == {"0", "1"}
    ticked = sorted(t for _, t, c in items if c == "1")
    assert ticked == ["g_motor.speed_rpm  @0x20000058", "g_wave.sine  @0x20000024"]

    # A click on the box of the root item g_tick_ms ticks it and watches the leaf.
    visible_row = visible_row_of(items, "g_tick_ms  @0x200002D0")
    # Showing the long bit-field text scrolled the tree sideways: back to the left edge.
    send(WM_HSCROLL, SB_THUMBPOSITION, 0, MAIN, TREE)
    indent = send(TVM_GETINDENT, 0, 0, MAIN, TREE)
    height = send(TVM_GETITEMHEIGHT, 0, 0, MAIN, TREE)
    poke_ok("click", MAIN, TREE, f"--at={indent + 8},{visible_row * height + height // 2}")
    for _ in range(50):
        if ("g_tick_ms  @0x200002D0", "1") in [(t, c) for _, t, c in tree_items()]:
            break
        time.sleep(0.1)
    else:
        display.screenshot(shots_dir / "variable_tree_click_failed.png")
        pytest.fail(f"the clicked box did not tick (row {visible_row}, indent {indent}, height {height})")

    png = display.screenshot(shots_dir / "variable_tree.png")
    assert png.exists()

    # The watch list now has three leaves: acquisition over the simulator starts with three.
    poke_ok("click", MAIN, "--child-id=2002", wait=10000)
    k.wait_log(r"\[INFO\] 已连接")
    poke_ok("click", MAIN, "--child-id=2004")
    k.wait_log(r"\[INFO\] 采集已开始（自由运行高速模式，3 个变量）")

    # Range selection over the leaf rows (WM_APP + 12) answers how many rows it selected.
    assert send("WM_APP+12", 0, 3, MAIN) == 3
    assert send("WM_APP+12", 2, 0, MAIN) == 0

    # Context-menu commands: clear all, then watch all, each rebuilding the tree from the flags.
    poke_ok("command", "2302", MAIN)
    for _ in range(50):
        items = tree_items()
        if all(c == "0" for _, _, c in items):
            break
        time.sleep(0.1)
    else:
        pytest.fail("clear all left ticked boxes")
    poke_ok("command", "2301", MAIN)
    for _ in range(50):
        items = tree_items()
        if ("g_tick_ms  @0x200002D0", "1") in [(t, c) for _, t, c in items]:
            break
        time.sleep(0.1)
    leaf_like = [(t, c) for _, t, c in items if "  @0x" in t and not t.endswith(" B]")]
    assert leaf_like and all(c == "1" for _, c in leaf_like), [x for x in leaf_like if x[1] != "1"][:5]
    groups = [(t, c) for _, t, c in items if "  @0x" not in t]
    assert groups and all(c == "0" for _, c in groups)


def visible_row_of(items, text):
    """Row of an item among the rows shown, given that only the ancestors of the selected bit
    field g_motor.flags.hall were expanded (g_motor, its node and flags)."""
    expanded = {"g_motor", "g_motor {...} (64 B)", "g_motor.flags {...} (1 B)"}
    row = 0
    open_depth = 0  # items deeper than this are hidden
    for depth, t, _ in items:
        if depth > open_depth:
            continue
        if t == text:
            return row
        row += 1
        open_depth = depth + 1 if t in expanded else depth
    raise AssertionError(f"{text} is not in the tree")


def test_search_write_and_network_dialogs(kestrelix, display, shots_dir, demo):
    k = kestrelix("--no-layout", demo, "--net-exit=150000")
    k.wait_log(r"\[INFO\] 已加载 ELF: ")
    poke_ok("click", MAIN, "--child-id=2002", wait=10000)
    k.wait_log(r"\[INFO\] 已连接")

    # Splitter drags (WM_APP + 3): the width is capped at 900, below 60 the panel hides, from the
    # strip a drag under 16 keeps it hidden and a drag to 30 shows it at the least width 60.
    send("WM_APP+3", 1500, 0, MAIN)
    assert tree_width() == 900
    send("WM_APP+3", 59, 0, MAIN)
    k.wait_log(r"\[INFO\] 变量栏已完全隐藏: 拖拽分隔条到左侧")
    assert not tree_visible()
    send("WM_APP+3", 12, 0, MAIN)
    assert not tree_visible()
    send("WM_APP+3", 30, 0, MAIN)
    k.wait_log(r"\[INFO\] 变量栏展开: 拖拽分隔条 \(宽 60\)")
    assert tree_visible() and tree_width() == 60
    send("WM_APP+33", 1, 0, MAIN)
    k.wait_log(r"\[INFO\] 变量栏已完全隐藏")
    assert not tree_visible()

    # Search: the list fills while typing; OK locates the chosen leaf in the tree and shows the
    # hidden panel again.
    poke_ok("command", "2703", MAIN)
    pick = wait_window("KXDlgPick")
    assert poke_ok("gettext", f"--hwnd={pick}") == ["搜索变量（模糊搜索·Ctrl+F）"]
    poke_ok("settext", "speed_pi.k", f"--hwnd={pick}", "--child-id=2403")
    rows = [fields(r)[0] for r in poke_ok("listview", f"--hwnd={pick}", "--child-id=2404")]
    assert rows == ["g_motor.speed_pi.kp @0x20000064", "g_motor.speed_pi.ki @0x20000068"]
    poke_ok("send", "WM_APP+30", 0, 1, f"--hwnd={pick}")
    display.screenshot(shots_dir / "search_dialog.png")
    # WM_APP + 43 hands the selection on (no waveform windows in this build) and logs it.
    poke_ok("send", "WM_APP+43", 1, 0, f"--hwnd={pick}")
    k.wait_log(r"\[INFO\] 搜索对话框添加变量: 1 个到波形窗口")
    poke_ok("click", f"--hwnd={pick}", "--child-id=2401")
    k.wait_log(r"\[INFO\] 搜索定位变量: 选中 1 个，定位 1 个")
    assert "[INFO] 变量栏展开: 搜索定位" in k.text()
    assert tree_visible()
    poke_ok("wait-gone", f"--hwnd={pick}", wait=5000)

    # Write: the located leaf is the caret item; never sampled, so "(未读取)" and an empty field.
    poke_ok("command", "2303", MAIN)
    edit = wait_window("KXDlgEdit")
    assert poke_ok("gettext", f"--hwnd={edit}") == ["写入变量值"]
    texts = dialog_texts(edit)
    assert "g_motor.speed_pi.kp  @0x20000064   当前: (未读取)" in sum(texts.values(), [])
    assert texts[2414] == [""]
    poke_ok("settext", "0.125", f"--hwnd={edit}", "--child-id=2414")
    display.screenshot(shots_dir / "write_dialog.png")
    poke_ok("click", f"--hwnd={edit}", "--child-id=2411")
    k.wait_log(r"\[INFO\] 写入 g_motor\.speed_pi\.kp = 0\.125")
    poke_ok("wait-gone", f"--hwnd={edit}", wait=5000)

    # A second dialog shows the read-back value; a text that does not parse fails with a box.
    poke_ok("command", "2303", MAIN)
    edit = wait_window("KXDlgEdit")
    texts = dialog_texts(edit)
    assert any(re.fullmatch(r"g_motor\.speed_pi\.kp  @0x20000064   当前: 0\.125", t) for t in sum(texts.values(), []))
    assert texts[2414] == ["0.125"]
    poke_ok("settext", "not a number", f"--hwnd={edit}", "--child-id=2414")
    poke_ok("click", f"--hwnd={edit}", "--child-id=2411")
    box = poke_ok("msgbox", "--title=写入失败", wait=10000)
    assert fields(box[0])[0] == "写入失败" and fields(box[0])[1]
    poke_ok("msgbox", "--title=写入失败", "--press=ok")

    # Network configuration: OK writes both fields into the toolbar.
    poke_ok("command", "2801", MAIN)
    net = wait_window("KXDlgNetCfg")
    assert poke_ok("gettext", f"--hwnd={net}", "--child-id=2421") == ["127.0.0.1"]
    poke_ok("settext", "192.168.1.7", f"--hwnd={net}", "--child-id=2421")
    poke_ok("settext", "12345", f"--hwnd={net}", "--child-id=2422")
    poke_ok("click", f"--hwnd={net}", "--child-id=2423")
    k.wait_log(r"\[INFO\] 网络配置: 192\.168\.1\.7:12345")
    assert poke_ok("gettext", MAIN, "--child-id=2110") == ["192.168.1.7"]
    assert poke_ok("gettext", MAIN, "--child-id=2111") == ["12345"]
