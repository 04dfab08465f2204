"""The workspace under Wine: tabs from the window menu, --rename-tab= and --shot=, the tab context
commands, the status bar and toolbar states, and --net-shot-at= screenshots."""
import re
import struct
import subprocess
from pathlib import Path

import pytest

import rig
from kxpoke import close_main_window, fields, poke, poke_ok

TCM_GETITEMCOUNT = 0x1304
TCM_GETCURSEL = 0x130B
WM_COMMAND = 0x0111


def bmp_header(path):
    data = Path(path).read_bytes()
    assert data[:2] == b"BM"
    size, _, offset, header, width, height, planes, bits, compression = struct.unpack_from("<IIIIiiHHI", data, 2)
    return data, dict(size=size, offset=offset, header=header, width=width, height=height, planes=planes,
                      bits=bits, compression=compression)


def check_bmp(path):
    data, h = bmp_header(path)
    assert h["offset"] == 54 and h["header"] == 40 and h["planes"] == 1 and h["bits"] == 32
    assert h["compression"] == 0
    assert h["width"] > 0 and h["height"] < 0, h
    assert h["size"] == 54 + 4 * h["width"] * -h["height"] == len(data), h
    return h


def tab_count():
    return int(poke_ok("send", str(TCM_GETITEMCOUNT), "0", "0", "--class=KestrelixMain", "--child-id=3021")[0])


def children():
    """(class, id, enabled, visible, text) of every descendant of the main window."""
    out = []
    for line in poke_ok("children", "--class=KestrelixMain"):
        f = fields(line)
        out.append((f[1], int(f[2]), f[3] == "1", f[4] == "1", f[5] if len(f) > 5 else ""))
    return out


def children_with_handles():
    """(hwnd, class, id, enabled, visible) of every descendant of the main window."""
    return [(f[0], f[1], int(f[2]), f[3] == "1", f[4] == "1")
            for f in (fields(line) for line in poke_ok("children", "--class=KestrelixMain"))]


def kinds_built():
    return (Path(rig.ROOT) / "src" / "chart" / "chart_window_win32.cpp").exists() and \
        (Path(rig.ROOT) / "src" / "numeric" / "num_window_win32.cpp").exists()


def save_png(bmp, name, shots_dir):
    png = shots_dir / name
    subprocess.run(["convert", str(bmp), str(png)], check=True, timeout=60)
    return png


def test_net_shot_without_tabs_captures_the_workspace_panel(kestrelix, tmp_path, shots_dir):
    shot = tmp_path / "empty.bmp"
    k = kestrelix("--no-layout", f"--net-shot-at={rig.win_path(shot)},2500", "--net-exit=15000")
    k.wait_log(re.escape("截图: " + rig.win_path(shot)))
    k.wait_exit(60)
    h = check_bmp(shot)
    # The workspace panel: right of the variable panel, between the toolbar row and the messages.
    assert 600 < h["width"] < 1280 and 200 < -h["height"] < 800, h
    save_png(shot, "workspace_empty.png", shots_dir)


def test_window_commands_make_tabs_with_shots_and_rename(kestrelix, tmp_path, shots_dir):
    prefix = tmp_path / "tab"
    k = kestrelix("--no-layout", f"--shot={rig.win_path(prefix)}", "--rename-tab=电机调试", "--net-exit=180000")
    k.wait_log("Kestrelix 已启动")
    assert tab_count() == 0
    poke_ok("post", "WM_COMMAND", "2012", "0", "--class=KestrelixMain")
    poke_ok("post", "WM_COMMAND", "2013", "0", "--class=KestrelixMain")
    poke_ok("post", "WM_COMMAND", "2012", "0", "--class=KestrelixMain")
    poke_ok("find", "--class=KestrelixMain")  # a round trip: the commands have been handled
    if not kinds_built() and "窗口类型未注册" in k.text():
        k.wait_log(r"\[WARN\] 窗口类型未注册: chart（波形窗口 1）")
        k.wait_log(r"\[WARN\] 窗口类型未注册: num（数值窗口 1）")
        assert tab_count() == 0
        return
    k.wait_log(re.escape("截图: " + rig.win_path(prefix) + ".3.bmp"))
    assert tab_count() == 3
    assert int(poke_ok("send", str(TCM_GETCURSEL), "0", "0", "--class=KestrelixMain", "--child-id=3021")[0]) == 2
    k.wait_log(r"\[INFO\] 标签已重命名: 电机调试")
    assert k.text().count("标签已重命名") == 1  # only the first tab
    for n in (1, 2, 3):
        check_bmp(Path(str(prefix) + f".{n}.bmp"))
    # The tab context commands: add a numeric window to the current tab, then close the tab's first.
    poke_ok("post", "WM_COMMAND", "2504", "0", "--class=KestrelixMain")
    k.wait_log(r"\[INFO\] 窗口已附加到当前标签: 数值窗口 1 \(tab2 共2个\)")
    poke_ok("post", "WM_COMMAND", "2505", "0", "--class=KestrelixMain")
    k.wait_log(r"\[INFO\] 窗口最大化: tab2 0/2")
    poke_ok("post", "WM_COMMAND", "2505", "0", "--class=KestrelixMain")
    k.wait_log(r"\[INFO\] 窗口还原: tab2 0/2")
    # Two columns in the current tab: the main window as the user sees it.
    main_shot = tmp_path / "main.bmp"
    poke_ok("shot", rig.win_path(main_shot), "--class=KestrelixMain")
    save_png(main_shot, "workspace_two_columns.png", shots_dir)
    hosted = [c for c in children_with_handles() if c[1] in ("KXChartWin", "KXNumWin") and c[4]]
    assert len(hosted) == 2, hosted
    second = str(int(hosted[1][0], 16))
    # Full screen on and off through WM_APP + 10 from a hosted window.
    poke_ok("post", "WM_APP+10", second, "0", "--class=KestrelixMain")
    k.wait_log(r"\[INFO\] 窗口全屏")
    poke_ok("post", "WM_APP+10", second, "0", "--class=KestrelixMain")
    k.wait_log(r"\[INFO\] 窗口退出全屏")
    # Rename in place: blanks only give "Default"; Escape keeps the title.
    poke_ok("post", "WM_COMMAND", "2502", "0", "--class=KestrelixMain")
    k.wait_log(r"\[INFO\] 就地编辑开始: 波形窗口 2")
    poke_ok("settext", "   ", "--class=KestrelixMain", "--child-id=3022", wait=5000)
    poke_ok("key", "ENTER", "--class=KestrelixMain", "--child-id=3022")
    k.wait_log(r"\[INFO\] 标签已重命名: Default")
    assert poke("wait-gone", "--class=KestrelixMain", "--child-id=3022", wait=5000)[0] == 0
    poke_ok("post", "WM_COMMAND", "2502", "0", "--class=KestrelixMain")
    poke_ok("settext", "丢弃", "--class=KestrelixMain", "--child-id=3022", wait=5000)
    poke_ok("key", "ESCAPE", "--class=KestrelixMain", "--child-id=3022")
    assert poke("wait-gone", "--class=KestrelixMain", "--child-id=3022", wait=5000)[0] == 0
    assert "标签已重命名: 丢弃" not in k.text()
    # WM_APP + 5 from the second window removes it from its tab; 2501 closes the tab's first.
    poke_ok("post", "WM_APP+5", second, "0", "--class=KestrelixMain")
    poke_ok("find", "--class=KestrelixMain")
    assert len([c for c in children_with_handles() if c[1] in ("KXChartWin", "KXNumWin") and c[4]]) == 1
    poke_ok("post", "WM_COMMAND", "2501", "0", "--class=KestrelixMain")
    poke_ok("find", "--class=KestrelixMain")
    assert tab_count() == 2
    png = save_png(Path(str(prefix) + ".1.bmp"), "workspace_tab1.png", shots_dir)
    assert png.exists()
    k.kill()


def test_status_bar_and_toolbar_follow_the_connection(kestrelix, shots_dir, tmp_path):
    if not (rig.OUT / "dll" / "sim.dll").exists() or not (rig.OUT / "demo.elf").exists():
        pytest.skip("sim.dll or demo.elf not built")
    shot = tmp_path / "connected.bmp"
    k = kestrelix("--no-layout", rig.win_path(rig.OUT / "demo.elf"), "--watch=g_tick_ms", "--net-exit=180000")
    k.wait_log(r"命令行勾选叶变量: g_tick_ms \(id=")
    k.wait_log(r"SimLink 设备扫描: 1 个")

    def button(id_):
        return next(c for c in children() if c[1] == id_)

    poke_ok("find", "--class=KestrelixMain")
    assert not button(2004)[2], "开始采集 enabled before connecting"
    assert button(2002)[2] and not button(2003)[2] and not button(2005)[2]
    assert button(2001)[2] and button(2006)[2] and not button(2009)[2]
    assert poke("click", "--class=KestrelixMain", "--child-id=2002", wait=10000)[0] == 0
    k.wait_log(r"\[INFO\] 已连接: ")
    poke_ok("find", "--class=KestrelixMain")
    assert button(2004)[2], "开始采集 disabled after connecting"
    assert button(2003)[2] and not button(2002)[2]
    assert poke("click", "--class=KestrelixMain", "--child-id=2004")[0] == 0
    k.wait_log(r"\[INFO\] 采集已开始")
    poke_ok("find", "--class=KestrelixMain")
    assert button(2005)[2] and not button(2004)[2] and not button(2008)[2]
    poke_ok("shot", str(rig.win_path(shot)), "--class=KestrelixMain")
    save_png(shot, "workspace_status_acquiring.png", shots_dir)
    assert poke("click", "--class=KestrelixMain", "--child-id=2005")[0] == 0
    k.wait_log(r"\[INFO\] 采集已停止")
    k.kill()


def test_record_button_text_follows_the_switch(kestrelix):
    k = kestrelix("--no-layout", "--net-exit=180000")
    k.wait_log("Kestrelix 已启动")
    status = [c for c in children() if c[0] == "msctls_statusbar32"]
    assert status and status[0][4] == "未连接", status
    record = next(c for c in children() if c[1] == 2006)
    assert record[4] == "录制" and record[2]
    poke_ok("post", "WM_COMMAND", "2006", "0", "--class=KestrelixMain")
    k.wait_log(r"\[INFO\] 录制已开启")
    poke_ok("find", "--class=KestrelixMain")
    assert next(c for c in children() if c[1] == 2006)[4] == "停止录制"
    k.kill()


def test_net_shot_captures_the_current_tabs_window(kestrelix, tmp_path, shots_dir):
    if not kinds_built():
        pytest.skip("no hosted window kinds in this build")
    shot = tmp_path / "tab.bmp"
    k = kestrelix("--no-layout", f"--net-shot-at={rig.win_path(shot)},10000", "--net-exit=120000")
    k.wait_log("Kestrelix 已启动")
    poke_ok("post", "WM_COMMAND", "2013", "0", "--class=KestrelixMain")
    poke_ok("post", "WM_COMMAND", "2504", "0", "--class=KestrelixMain")
    # The shot is a timer from start-up: it must come after both commands have built the tab.
    k.wait_log(re.escape("截图: " + rig.win_path(shot)))
    close_main_window()
    k.wait_exit(60)
    h = check_bmp(shot)
    # The first of two columns: about half the workspace's width, the tab's full height.
    assert 300 < h["width"] < 600 and -h["height"] > 200, h
    save_png(shot, "workspace_net_shot_numeric.png", shots_dir)


def test_rename_box_follows_its_tab_and_closes_with_it(kestrelix):
    """A tab is being renamed when an earlier tab goes (its window closed itself): the box moves
    onto the tab's new place and the typed name lands on that tab; when the renamed tab itself
    goes, the box goes with it and nothing is renamed."""
    k = kestrelix("--no-layout")
    k.wait_log("Kestrelix 已启动")
    main = fields(poke_ok("find", "--class=KestrelixMain", wait=10000)[0])[0]
    for n in range(1, 4):
        poke_ok("command", "2012", f"--hwnd={main}")
        rig.wait_until(lambda: tab_count() == n, what=f"tab {n}")
    charts = [h for h, cls, _, _, _ in children_with_handles() if cls == "KXChartWin"]
    assert len(charts) == 3

    def box_left():
        """Left edge of the rename box relative to the tab control, or None without a box."""
        rc, lines = poke("rect", "--class=KestrelixMain", "--child-id=3022")
        if rc != 0:
            return None
        tabs = poke_ok("rect", "--class=KestrelixMain", "--child-id=3021")[0].split()
        return int(lines[0].split()[0]) - int(tabs[0])

    poke_ok("command", "2502", f"--hwnd={main}")  # rename the current (third) tab
    k.wait_log("就地编辑开始: 波形窗口 3")
    assert 300 <= rig.wait_until(box_left, what="the rename box") < 450
    poke_ok("post", "WM_APP+5", str(int(charts[0], 16)), "0", f"--hwnd={main}")
    rig.wait_until(lambda: tab_count() == 2, what="the first tab removed")
    rig.wait_until(lambda: 150 <= (box_left() or 0) < 300, what="the box over the renamed tab's new place")
    poke_ok("settext", "跟随", "--class=KestrelixMain", "--child-id=3022")
    poke_ok("key", "ENTER", "--class=KestrelixMain", "--child-id=3022")
    k.wait_log("标签已重命名: 跟随")

    poke_ok("command", "2502", f"--hwnd={main}")  # the renamed tab is still current
    k.wait_log("就地编辑开始: 跟随")
    poke_ok("post", "WM_APP+5", str(int(charts[2], 16)), "0", f"--hwnd={main}")
    rig.wait_until(lambda: tab_count() == 1, what="the renamed tab removed")
    rig.wait_until(lambda: box_left() is None, what="the box closed with its tab")
    assert k.text().count("标签已重命名") == 1
