"""The shell under Wine, checked on root screenshots: the dark theme from the layout file and after
toggles (tree, message list, a numeric window, a dialog, the status bar), the message panel
collapsed and restored, copy (read back from the clipboard) and clear, the workspace menu, a module
window restored from a layout with its variables, the network channel on a PC without a driver
module, and the whole toolbar at the default window size."""
import re
import shutil

import pytest

import rig
from kxpoke import fields, no_main_window, pick_menu_item, poke_ok, popup_menu
from shots import shot_until

TOP = "--class=KestrelixMain"
WM_APP = 0x8000
WM_RBUTTONUP = 0x0205
CB_SETCURSEL = 0x014E
CBN_SELCHANGE = 1
TESTMODS = rig.OUT / "testmods"

# Light and dark colours of the theme table that the checks sample.
DARK = dict(tree=(0x1E, 0x1E, 0x20), list=(0x1C, 0x1C, 0x1E), strip=(0x32, 0x32, 0x34),
            dialog=(0x2B, 0x2B, 0x2B), edit=(0x1E, 0x1E, 0x20), status=(0x32, 0x32, 0x34),
            button=(0x3C, 0x3C, 0x40))
LIGHT = dict(tree=(0xFF, 0xFF, 0xFF), list=(0xFF, 0xFF, 0xFF), strip=(0xF0, 0xF0, 0xF0),
             dialog=(0xF0, 0xF0, 0xF0), edit=(0xFF, 0xFF, 0xFF), status=(0xF0, 0xF0, 0xF0))


def rect(*selector):
    return tuple(map(int, poke_ok("rect", *selector)[0].split()))


def children():
    """(hwnd, class, id, enabled, visible, text) of every descendant of the main window."""
    return [(f[0], f[1], int(f[2]), f[3] == "1", f[4] == "1", f[5] if len(f) > 5 else "")
            for f in (fields(line) for line in poke_ok("children", TOP))]


def child(control_id):
    return next(c for c in children() if c[2] == control_id)


def write_layout(text):
    folder = rig.appdata_dir()
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "layout.ini").write_bytes(b"\xef\xbb\xbf" + text.encode("utf-8"))


def need_demo():
    if not (rig.OUT / "demo.elf").exists():
        pytest.skip("demo.elf not built")


def choose_menu_item(downs, shot_path=None, display=None):
    """Waits for the popup menu, optionally photographs it, then picks the item `downs` down."""
    menu = popup_menu()
    if shot_path:
        # A menu just shown may not be painted yet: shoot until its rectangle holds more than
        # its background (the item texts).
        box = rect("--hwnd=" + menu)
        shot_until(display, shot_path, lambda shot: len(set(shot.pixels(box))), lambda n: n > 2)
    pick_menu_item(menu, downs)


def theme_checks(display, path, colours, numeric, good):
    """Screenshots until `good` holds for the shares of the theme's colours (the repaint after a
    change has landed); returns the shot and the shares."""
    tree = rect(TOP, "--child-id=3010")
    messages = rect(TOP, "--child-id=3001")
    status = rect(TOP, "--child-id=3002")
    open_button = rect(TOP, "--child-id=2001")
    nl, nt, nr, nb = rect("--hwnd=" + numeric)

    def measure(shot):
        checks = {
            "tree": shot.share(tree, colours["tree"]),
            "messages": shot.share(messages, colours["list"]),
            "status": shot.share(status, colours["status"], inset=2),
            "numeric title": shot.share((nl, nt, nr, nt + 22), colours["strip"], inset=2),
            "numeric table": shot.share((nl, nt + 60, nr, nb), colours["list"]),
        }
        if "button" in colours:
            checks["button"] = shot.share(open_button, colours["button"], inset=2)
        return checks

    return shot_until(display, path, measure, good)


def test_dark_theme_from_the_layout_and_toggles_recolour_every_window(kestrelix, display, shots_dir, tmp_path):
    need_demo()
    write_layout("[layout]\nversion=1\ntheme=1\nelf=%s\n[win]\ntype=num\ntitle=数值\nvars=g_wave.sine\n"
                 % rig.win_path(rig.OUT / "demo.elf"))
    k = kestrelix("--net-exit=180000")
    k.wait_log(r"\[INFO\] 布局已加载: ")
    numeric = next(c[0] for c in children() if c[1] == "KXNumWin")

    # Dark from the start, the toolbar's buttons too (drawn by the program from their creation).
    theme_checks(display, shots_dir / "theme_dark_start.png", DARK, numeric,
                 lambda d: d["tree"] > 0.6 and d["messages"] > 0.5 and d["status"] > 0.7 and d["numeric title"] > 0.6
                 and d["numeric table"] > 0.6 and d["button"] > 0.5)

    # A dialog opened in the dark theme: background 0, edit fields on 5.
    poke_ok("post", "WM_COMMAND", "2801", "0", TOP)
    dialog = poke_ok("find", "--class=KXDlgNetCfg", wait=10000)[0].split("\t")[0]
    dl, dt, dr, db = rect("--hwnd=" + dialog)
    address = rect("--hwnd=" + dialog, "--child-id=2421")
    shot_until(display, shots_dir / "theme_dark_dialog.png",
               lambda shot: (shot.share((dl, db - 40, dl + 150, db), DARK["dialog"]),  # left of the buttons
                             shot.share(address, DARK["edit"])),
               lambda v: v[0] > 0.5 and v[1] > 0.5)
    poke_ok("post", "WM_CLOSE", "0", "0", "--hwnd=" + dialog)
    poke_ok("wait-gone", "--hwnd=" + dialog, wait=10000)

    # Light after a toggle, and dark again: the numeric window made before the toggles follows.
    poke_ok("post", "WM_COMMAND", "2701", "0", TOP)
    k.wait_log(r"\[INFO\] 界面主题: 白色")
    theme_checks(display, shots_dir / "theme_light_toggled.png", LIGHT, numeric,
                 lambda d: all(v > 0.5 for v in d.values()))
    poke_ok("post", "WM_COMMAND", "2701", "0", TOP)
    k.wait_log(r"\[INFO\] 界面主题: 深色")
    theme_checks(display, shots_dir / "theme_dark_toggled.png", DARK, numeric,
                 lambda d: d["numeric table"] > 0.6 and d["numeric title"] > 0.6 and d["tree"] > 0.6 and d["button"] > 0.5)


def test_message_panel_collapse_copy_clear_and_the_workspace_menu(kestrelix, display, shots_dir):
    k = kestrelix("--net-exit=180000")
    k.wait_log(r"\[INFO\] Kestrelix 已启动")
    assert child(3001)[4] and not child(3004)[4]

    poke_ok("post", "WM_APP+32", "1", "0", TOP)
    k.wait_log(r"\[INFO\] 消息栏已收起")
    assert not child(3001)[4] and not child(3003)[4] and child(3004)[4]
    strip = rect(TOP, "--child-id=3004")
    status = rect(TOP, "--child-id=3002")
    # The strip stands just above the status bar (which keeps a height of its own choosing).
    assert strip[3] - strip[1] == 10 and 0 <= status[1] - strip[3] <= 4, (strip, status)
    display.screenshot(shots_dir / "message_panel_collapsed.png")
    poke_ok("click", TOP, "--child-id=3004")
    k.wait_log(r"\[INFO\] 消息栏已展开")
    assert child(3001)[4] and child(3003)[4] and not child(3004)[4]

    # Copy three selected rows and read them back from the clipboard.
    rows = [fields(line) for line in poke_ok("listview", TOP, "--child-id=3001")]
    assert poke_ok("send", "WM_APP+31", "0", "3", TOP) == ["3"]
    poke_ok("post", "WM_COMMAND", "2601", "0", TOP)
    k.wait_log(r"\[INFO\] 已复制 3 条消息")
    copied = "\n".join(poke_ok("clipboard"))
    expected = "".join(f"{r[0]} {r[1]} {r[2]}\\r\\n" for r in rows[:3])
    assert copied == expected, (copied, expected)

    # The list's context menu: the second item clears everything but its own line.
    list_hwnd = child(3001)[0]
    poke_ok("post", "WM_RBUTTONDOWN", "2", str((40 << 16) | 40), "--hwnd=" + list_hwnd)
    poke_ok("post", "WM_RBUTTONUP", "0", str((40 << 16) | 40), "--hwnd=" + list_hwnd)
    choose_menu_item(2, shots_dir / "message_menu.png", display)
    k.wait_log(r"\[INFO\] 已清除全部消息")
    rows = [fields(line) for line in poke_ok("listview", TOP, "--child-id=3001")]
    assert len(rows) == 1 and rows[0][2] == "已清除全部消息", rows

    # The workspace menu on the empty workspace: its second item makes a numeric window tab.
    tabs = child(3021)[0]
    poke_ok("post", str(WM_RBUTTONUP), "0", str((200 << 16) | 200), "--hwnd=" + tabs)
    choose_menu_item(2, shots_dir / "workspace_menu.png", display)
    poke_ok("rect", TOP, "--child-class=KXNumWin", wait=10000)

    # The collapsed state is saved with the layout and comes back at the next start.
    poke_ok("post", "WM_APP+32", "1", "0", TOP)
    poke_ok("post", "WM_CLOSE", "0", "0", TOP)
    assert k.wait_exit(60) == 0
    assert "\nlog_hidden=1\n" in (rig.appdata_dir() / "layout.ini").read_bytes().decode("utf-8")
    again = kestrelix("--net-exit=20000", log_name="again.log")
    again.wait_log(r"\[INFO\] 布局已加载: ")
    assert not child(3001)[4] and child(3004)[4]


def test_module_window_restored_with_variables_and_the_network_channel_without_drivers(display, tmp_path,
                                                                                       shots_dir):
    need_demo()
    if not (TESTMODS / "testmod_windows.dll").exists():
        pytest.skip("test modules not built")
    folder = tmp_path / "app"
    (folder / "dll").mkdir(parents=True)
    shutil.copy(rig.EXE, folder / "Kestrelix.exe")
    shutil.copy(TESTMODS / "testmod_windows.dll", folder / "dll" / "gauges.dll")
    rig.clear_appdata()
    write_layout("[layout]\nversion=1\nelf=%s\n[win]\ntype=testgauge\ntitle=仪表\nvars=g_wave.sine\n"
                 "vars+=g_tick_ms\n" % rig.win_path(rig.OUT / "demo.elf"))
    no_main_window()
    k = rig.Kestrelix(display, tmp_path, ["--net-exit=180000"], exe=folder / "Kestrelix.exe").start()
    try:
        k.wait_log(r"\[INFO\] testmod add_variable: g_tick_ms")
        assert re.search(r"add_variable: g_wave\.sine\n.*add_variable: g_tick_ms", k.text(), re.S)
        gauge = [c for c in children() if c[1] == "Static" and c[5].startswith("testgauge:")]
        assert gauge and gauge[0][5] == "testgauge: g_wave.sine g_tick_ms", gauge

        # The workspace menu lists the module's window type after the two built-in ones.
        panel = child(3020)[0]
        poke_ok("post", "0x007B", panel, "-1", "--hwnd=" + panel)  # WM_CONTEXTMENU on the background
        choose_menu_item(3, shots_dir / "workspace_menu_module.png", display)
        rig.wait_until(lambda: len([c for c in children() if c[5].startswith("testgauge:")]) >= 2,
                       timeout=10, what="a second gauge")
        assert len([c for c in children() if c[5].startswith("testgauge:")]) == 2

        # No driver module: the channel list holds only "网络", shown selected; choosing it counts.
        channel = child(2106)[0]
        poke_ok("send", str(CB_SETCURSEL), "0", "0", "--hwnd=" + channel)
        poke_ok("post", "WM_COMMAND", str((CBN_SELCHANGE << 16) | 2106), str(int(channel, 16)), TOP)
        k.wait_log(r"\[INFO\] 通道切换: 网络")
        rig.wait_until(lambda: child(3002)[5].startswith("通道: 网络"), timeout=10,
                       what="the status bar showing the network channel")
        assert child(2002)[3], "connect is enabled in the network channel"
        display.screenshot(shots_dir / "network_channel_no_driver.png")
    finally:
        k.kill()


def test_the_whole_toolbar_is_reachable_at_the_default_size(kestrelix, display, shots_dir):
    k = kestrelix("--no-layout", "--net-exit=120000")
    k.wait_log(r"\[INFO\] Kestrelix 已启动")
    main = None
    controls = []

    def laid_out():
        # The toolbar is laid out once the window has its final size: until then a control may
        # still be hidden or reach past the right edge.
        nonlocal main, controls
        main = rect(TOP)
        controls = [c for c in children() if 2001 <= c[2] <= 2116 and c[1] in ("Button", "ComboBox", "Edit")]
        return len(controls) == 20 and all(c[4] and rect("--hwnd=" + c[0])[2] <= main[2] - 4 for c in controls)

    rig.wait_until(laid_out, timeout=20, what="every toolbar control shown inside the window", interval=0.3)
    for c in controls:
        left, top, right, bottom = rect("--hwnd=" + c[0])
        assert c[4] and right <= main[2] - 4, (c, main)
    tree_top = rect(TOP, "--child-id=3010")[1]
    lowest_button = max(rect("--hwnd=" + c[0])[3] for c in controls if c[1] != "ComboBox")
    assert tree_top >= lowest_button, "the content band starts below the last toolbar row"
    display.screenshot(shots_dir / "toolbar_default_size.png")
