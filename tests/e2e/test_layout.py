"""The layout file across two runs: closing saves the workspace and the firmware path, the next
start restores the tab, reloads the firmware and binds the window's variable once it exists."""
import pytest

import rig
from kxpoke import close_main_window, poke_ok

TCM_GETITEMCOUNT = 0x1304
TAB_CONTROL_ID = 3021


def tab_count():
    return int(poke_ok("send", str(TCM_GETITEMCOUNT), "0", "0", "--class=KestrelixMain",
                       f"--child-id={TAB_CONTROL_ID}", wait=10000)[0])


def test_layout_survives_a_restart(kestrelix, tmp_path):
    if not (rig.OUT / "demo.elf").exists():
        pytest.skip("demo.elf not built")
    first = kestrelix(rig.win_path(rig.OUT / "demo.elf"), "--net-win=chart,g_wave.sine,g_wave.triangle",
                      "--net-exit=6000", log_name="first.log")
    first.wait_log(r"窗口添加变量: g_wave.triangle")
    assert first.wait_exit(60) == 0
    layout = (rig.appdata_dir() / "layout.ini").read_bytes()
    assert layout.startswith(b"\xef\xbb\xbf[layout]\nversion=1\n")
    text = layout.decode("utf-8")
    assert "\nelf=" in text and text.split("\nelf=")[1].split("\n")[0].endswith("demo.elf")
    assert "\n[win]\ntype=chart\ntitle=网络波形\nvars=g_wave.sine\nvars+=g_wave.triangle\n" in text
    assert "布局已保存: " in first.text()

    second = kestrelix("--net-exit=120000", "--layout-save=" + rig.win_path(tmp_path / "copy.ini"),
                       log_name="second.log")
    second.wait_log(r"\[INFO\] 已自动加载上次 ELF: .*demo\.elf")
    second.wait_log(r"\[INFO\] 布局已加载: .*layout\.ini \(1 个窗口\)")
    assert tab_count() == 1
    close_main_window()
    assert second.wait_exit(60) == 0
    # --layout-save= writes the restored workspace, with the variables bound after the ELF load.
    copy = (tmp_path / "copy.ini").read_bytes().decode("utf-8")
    assert "type=chart\ntitle=网络波形\nvars=g_wave.sine\nvars+=g_wave.triangle\n" in copy


def test_dark_mode_toggle_is_saved_and_net_set_fills_the_toolbar(kestrelix):
    k = kestrelix("--net-set=192.168.1.9", "--net-exit=120000")
    k.wait_log(r"\[INFO\] net-set 钩子: 192\.168\.1\.9:\(空\)")
    assert poke_ok("gettext", "--class=KestrelixMain", "--child-id=2110", wait=10000) == ["192.168.1.9"]
    assert poke_ok("gettext", "--class=KestrelixMain", "--child-id=2111") == ["10000"]
    poke_ok("post", "WM_COMMAND", "2701", "0", "--class=KestrelixMain")
    k.wait_log(r"\[INFO\] 界面主题: 深色")
    assert "\ntheme=1\n" in (rig.appdata_dir() / "layout.ini").read_bytes().decode("utf-8")
    poke_ok("post", "WM_COMMAND", "2701", "0", "--class=KestrelixMain")
    k.wait_log(r"\[INFO\] 界面主题: 白色")
    close_main_window()
    assert k.wait_exit(60) == 0
    assert "\ntheme=0\n" in (rig.appdata_dir() / "layout.ini").read_bytes().decode("utf-8")
