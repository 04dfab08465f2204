"""Acquisition under Wine against the simulated target: five ticked demo variables stream at the
rate the simulator allows, one rate line per second, and the user's stop ends the run cleanly."""
import re
from datetime import datetime

import pytest

import rig
from kxpoke import close_main_window, poke

FIVE = "g_motor.speed_rpm,g_motor.current_a,g_wave.sine,g_wave.triangle,g_tick_ms"


def stamp(line):
    return datetime.strptime(line[:26], "%Y-%m-%d %H:%M:%S.%f")


def test_five_variables_stream_and_stop(kestrelix):
    if not (rig.OUT / "dll" / "sim.dll").exists() or not (rig.OUT / "demo.elf").exists():
        pytest.skip("sim.dll or demo.elf not built")
    k = kestrelix("--no-layout", rig.win_path(rig.OUT / "demo.elf"), f"--watch={FIVE}", "--net-exit=120000")
    for name in FIVE.split(","):
        k.wait_log(re.escape(f"命令行勾选叶变量: {name} (id="))
    k.wait_log(r"SimLink 设备扫描: 1 个")
    assert poke("click", "--class=KestrelixMain", "--child-id=2002", wait=10000)[0] == 0
    k.wait_log(r"\[INFO\] 已连接: ")
    assert poke("click", "--class=KestrelixMain", "--child-id=2004")[0] == 0
    k.wait_log(r"\[INFO\] 采集已开始（自由运行高速模式，5 个变量）")
    # Three rate lines, about one second apart, each for the five variables.
    k.wait_log(r"(采集速率: .*\n.*){3}", timeout=30)
    rates = [l for l in k.text().splitlines() if "[INFO] 采集速率: " in l][:3]
    for line in rates:
        m = re.search(r"采集速率: (\d+) 样本/s，周期 (\d+) µs（5 个变量，(\d+) 次读/周期）", line)
        assert m, line
        assert int(m.group(1)) > 500
    gaps = [(stamp(b) - stamp(a)).total_seconds() for a, b in zip(rates, rates[1:])]
    # The window closes after a full second of the acquisition clock; the log stamps add the
    # scheduling of each line, so a loaded machine spreads them either way.
    assert all(0.5 < g < 3.0 for g in gaps), gaps
    assert poke("click", "--class=KestrelixMain", "--child-id=2005")[0] == 0
    k.wait_log(r"\[INFO\] 采集已停止")
    text = k.text()
    assert "[INFO] 采集线程已退出" in text and "[WARN] 采集线程已退出" not in text
    assert "块读" not in text  # no failed block reads against the simulator
    close_main_window()
    assert k.wait_exit(60) == 0
