"""Module loading under Wine with real DLLs: the test modules of modules/testmods in a private
copy of the program's folder, and the simulated target in out/win64/dll."""
import re
import shutil

import pytest

import rig
from kxpoke import no_main_window

TESTMODS = rig.OUT / "testmods"


def program_with_modules(tmp_path, modules):
    """A copy of Kestrelix.exe with a dll/ folder holding the given (source name, file name) pairs."""
    folder = tmp_path / "app"
    (folder / "dll").mkdir(parents=True)
    shutil.copy(rig.EXE, folder / "Kestrelix.exe")
    for source, name in modules:
        shutil.copy(TESTMODS / source, folder / "dll" / name)
    return folder / "Kestrelix.exe"


def run_to_exit(display, tmp_path, exe, ms=2500):
    no_main_window()
    k = rig.Kestrelix(display, tmp_path, ["--no-layout", f"--net-exit={ms}"], exe=exe).start()
    try:
        assert k.wait_exit(90) == 0
    finally:
        k.kill()
    return k.text()


def lines(text, pattern):
    return [m.group(1) for m in re.finditer(r"\[(?:INFO|WARN|ERROR)\] " + pattern, text)]


@pytest.fixture
def need_testmods():
    if not (TESTMODS / "testmod_plain.dll").exists():
        pytest.skip("test modules not built (win64 build of modules/testmods)")


def test_rejection_rules_roles_and_default_driver(display, tmp_path, need_testmods):
    exe = program_with_modules(tmp_path, [
        ("testmod_noexport.dll", "noexport.dll"), ("testmod_api3.dll", "api3.dll"),
        ("testmod_api5.dll", "api5.dll"), ("testmod_initfail.dll", "initfail.dll"),
        ("testmod_noinit.dll", "noinit.dll"), ("testmod_stlink.dll", "a_stlink.dll"),
        ("testmod_jlink.dll", "b_jlink.dll"), ("testmod_flags5.dll", "flags5.dll")])
    log = run_to_exit(display, tmp_path, exe)
    assert "noexport" not in log  # a DLL without the export leaves no line
    assert "[WARN] 模块 api3.dll API 版本不匹配，已跳过" in log
    assert "[WARN] 模块 api5.dll API 版本不匹配，已跳过" in log
    assert "[ERROR] 模块 InitFail 初始化失败，已跳过" in log
    assert "testmod init: InitFail" in log and "testmod destroy: InitFail" not in log
    loaded = lines(log, r"已加载模块: (\S+) v0\.1 - loader test module")
    assert sorted(loaded) == ["DriverNet", "J-Link", "NoInit", "ST-Link"]
    assert "[INFO] 网络模块: DriverNet" in log
    assert "[INFO] 驱动模块: J-Link" in log
    # At shut-down every accepted module with an init is destroyed, the last loaded first.
    destroyed = lines(log, r"testmod destroy: (\S+)")
    inited = [n for n in lines(log, r"testmod init: (\S+)") if n != "InitFail"]
    assert destroyed == list(reversed(inited))


def test_thirty_third_module_is_destroyed_and_ends_the_scan(display, tmp_path, need_testmods):
    exe = program_with_modules(tmp_path, [("testmod_plain.dll", f"m{i:02d}.dll") for i in range(36)])
    log = run_to_exit(display, tmp_path, exe, ms=4000)
    loaded = lines(log, r"已加载模块: (\S+) v")
    assert len(loaded) == 32
    over = lines(log, r"模块数量超限，(\S+) 未加载")
    assert len(over) == 1 and over[0] not in loaded
    inited = lines(log, r"testmod init: (\S+)")
    assert len(inited) == 33  # files after the 33rd were not looked at
    # The 33rd is destroyed right after the limit warning, before the role lists are built.
    between = log[log.index("模块数量超限"):log.index("未找到驱动模块")]
    assert f"testmod destroy: {over[0]}" in between
    assert "[WARN] 未找到驱动模块（J-Link 等）" in log


def test_simulator_is_loaded_selected_and_scanned(kestrelix):
    if not (rig.OUT / "dll" / "sim.dll").exists():
        pytest.skip("sim.dll not built")
    k = kestrelix("--no-layout", "--net-exit=3000")
    k.wait_log(r"已加载模块: SimLink v1\.0 - ")
    k.wait_log(r"\[INFO\] 驱动模块: SimLink")
    k.wait_log(r"\[INFO\] SimLink 设备扫描: 1 个")
    assert k.wait_exit(60) == 0


def test_connect_to_the_simulator_through_the_toolbar(kestrelix):
    if not (rig.OUT / "dll" / "sim.dll").exists() or not (rig.OUT / "demo.elf").exists():
        pytest.skip("sim.dll or demo.elf not built")
    from kxpoke import poke
    k = kestrelix("--no-layout", rig.win_path(rig.OUT / "demo.elf"), "--watch=g_motor.speed_rpm,g_wave.sine",
                  "--net-exit=30000")
    k.wait_log(r"\[INFO\] SimLink 设备扫描: 1 个")
    # After the firmware load the simulator finds the demo variables by name (code 11).
    assert int(k.wait_log(r"SimLink: 演示固件变量 (\d+) 个由仿真固件驱动").group(1)) > 150
    # The user types a clock speed into the speed box and clicks "连接".
    rc, _ = poke("settext", "12000", "--class=KestrelixMain", "--child-id=2103", wait=10000)
    assert rc == 0
    rc, _ = poke("click", "--class=KestrelixMain", "--child-id=2002", wait=10000)
    assert rc == 0
    m = k.wait_log(r"\[INFO\] 已连接: (STM32F303RC \(Cortex-M4, simulated\))（Kestrelix SimLink SWD @ 12000 kHz, "
                   r"SimLink DLL sim 1\.0, HW 1, FW 100）")
    assert m
    rc, lines = poke("gettext", "--class=KestrelixMain", "--child-id=2106")
    assert rc == 0 and lines == ["SimLink"]
    # Acquisition polls the simulated target through the driver.
    rc, _ = poke("click", "--class=KestrelixMain", "--child-id=2004")
    assert rc == 0
    k.wait_log(r"\[INFO\] 采集已开始（自由运行高速模式，2 个变量）")
    rate = int(k.wait_log(r"\[INFO\] 采集速率: (\d+) 样本/s", timeout=30).group(1))
    assert rate > 100
    # Disconnecting stops the acquisition first.
    rc, _ = poke("click", "--class=KestrelixMain", "--child-id=2003")
    k.wait_log(r"\[INFO\] 已断开连接")
    log = k.text()
    assert log.index("采集已停止") < log.index("已断开连接")
