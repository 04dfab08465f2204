"""Programming and erasing the simulated target's flash through the "烧录 / 擦除" dialog."""
import pytest

import rig
from kxpoke import close_main_window, fields, poke, poke_ok

DIALOG = "--class=KXDlgFlash"


def child_enabled(child_id):
    for line in poke_ok("children", DIALOG):
        f = fields(line)
        if f[2] == str(child_id):
            return f[3] == "1"
    raise AssertionError(f"no child {child_id}")


def press_box(title, button, expect_text):
    lines = poke_ok("msgbox", f"--title={title}", f"--press={button}", wait=20000)
    assert expect_text in lines[0], lines


def test_program_and_erase_pause_acquisition(kestrelix):
    if not (rig.OUT / "dll" / "sim.dll").exists() or not (rig.OUT / "demo.elf").exists():
        pytest.skip("sim.dll or demo.elf not built")
    k = kestrelix("--no-layout", rig.win_path(rig.OUT / "demo.elf"), "--watch=g_tick_ms", "--net-exit=180000")
    k.wait_log(r"SimLink 设备扫描: 1 个")
    # Refused while not connected: the dialog stays open.
    poke_ok("post", "WM_COMMAND", "2015", "0", "--class=KestrelixMain", wait=10000)
    poke_ok("find", DIALOG, wait=10000)
    poke_ok("settext", rig.win_path(rig.OUT / "demo.elf"), DIALOG, "--child-id=2501")
    assert not child_enabled(2503)  # base address only for .bin files
    poke_ok("click", DIALOG, "--child-id=2508")
    press_box("烧录", "ok", "请先连接仿真器")
    poke_ok("settext", "C:\\fw\\APP.BIN", DIALOG, "--child-id=2501")
    assert child_enabled(2503)
    poke_ok("click", DIALOG, "--child-id=2510")
    assert poke("wait-gone", DIALOG, wait=10000)[0] == 0

    poke_ok("click", "--class=KestrelixMain", "--child-id=2002", wait=10000)
    k.wait_log(r"\[INFO\] 已连接: ")
    poke_ok("click", "--class=KestrelixMain", "--child-id=2004")
    k.wait_log(r"采集已开始（自由运行高速模式，1 个变量）")

    poke_ok("post", "WM_COMMAND", "2015", "0", "--class=KestrelixMain")
    poke_ok("find", DIALOG, wait=10000)
    poke_ok("settext", rig.win_path(rig.OUT / "demo.elf"), DIALOG, "--child-id=2501")
    poke_ok("click", DIALOG, "--child-id=2508")
    press_box("烧录", "ok", "固件下载成功")
    k.wait_log(r"\[INFO\] 烧录成功")
    assert poke_ok("gettext", DIALOG, "--child-id=2511") == ["下载成功"]

    poke_ok("click", DIALOG, "--child-id=2509")
    press_box("擦除", "yes", "将整片擦除 Flash，确认继续？")
    press_box("擦除", "ok", "Flash 已擦除")
    k.wait_log(r"\[INFO\] 整片擦除成功")
    poke_ok("click", DIALOG, "--child-id=2510")
    assert poke("wait-gone", DIALOG, wait=10000)[0] == 0

    text = k.text()
    start = text.index("烧录开始: ")
    assert "@0x08000000 device=Cortex-M4" in text[start:start + 400]
    # Acquisition stopped before each operation and started again after it.
    assert text.index("采集已停止") < start
    assert text.count("采集已开始（自由运行高速模式，1 个变量）") == 3
    close_main_window()
    assert k.wait_exit(90) == 0
