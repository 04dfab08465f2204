"""A firmware rebuilt while the write dialog is open: the change check asks from the main window's
timer, under the dialog, and the reload gives every variable after an added one a new id. The
value the user then confirms must still go to the variable the dialog showed."""
import os
import shutil
import subprocess
import time

import pytest

import rig
from kxpoke import fields, poke, poke_ok

DEMO = rig.ROOT / "demo" / "firmware"
ARM_GCC = shutil.which("arm-none-eabi-gcc")
# The demo firmware's own build line (demo/firmware/CMakeLists.txt).
FLAGS = ["-mcpu=cortex-m4", "-mthumb", "-mfloat-abi=hard", "-mfpu=fpv4-sp-d16", "-O1", "-g3", "-gdwarf-4",
         "-std=c11", "-Wall", "-Wextra", "-Werror", "-ffunction-sections", "-fdata-sections", "-nostartfiles",
         "-nostdlib", "-T", str(DEMO / "demo.ld")]


def rebuilt_with_a_new_first_variable(tmp_path):
    """The demo firmware with one more global in a unit linked first: every leaf id moves up by one."""
    extra = tmp_path / "added.c"
    extra.write_text("volatile unsigned int g_added_first = 7u;\n")
    out = tmp_path / "rebuilt.elf"
    subprocess.run([ARM_GCC, *FLAGS, str(extra), str(DEMO / "demo.c"), str(DEMO / "startup.c"), "-o", str(out),
                    "-lgcc"], check=True, timeout=120)
    return out



def reload_rebuilt(k, rebuilt, firmware):
    """Puts the rebuilt image in place of the loaded one and answers the change prompt with yes."""
    shutil.copyfile(rebuilt, firmware)
    later = time.time() + 10
    os.utime(firmware, (later, later))
    rc, lines = poke("msgbox", "--title=ELF 更新", "--press=yes", wait=20000)
    assert rc == 0, lines
    rig.wait_until(lambda: k.text().count("已加载 ELF") >= 2, timeout=60, what="the reload")

def test_write_after_a_reload_under_the_dialog_goes_to_the_shown_variable(kestrelix, tmp_path):
    if not ARM_GCC or not (rig.OUT / "demo.elf").exists() or not (rig.OUT / "dll" / "sim.dll").exists():
        pytest.skip("arm-none-eabi-gcc, demo.elf or sim.dll missing")
    rebuilt = rebuilt_with_a_new_first_variable(tmp_path)
    firmware = tmp_path / "fw.elf"
    shutil.copy2(rig.OUT / "demo.elf", firmware)
    k = kestrelix("--no-layout", rig.win_path(firmware), "--select-leaf=g_motor.speed_rpm")
    k.wait_log(r"已加载 ELF")
    main = fields(poke_ok("find", "--class=KestrelixMain", wait=10000)[0])[0]
    poke_ok("command", "2002", f"--hwnd={main}")
    k.wait_log(r"\[INFO\] 已连接")

    poke_ok("command", "2303", f"--hwnd={main}")  # write dialog for the selected g_motor.speed_rpm
    dialog = fields(poke_ok("find", "--class=KXDlgEdit", "--visible", wait=15000)[0])[0]
    shown = [fields(l) for l in poke_ok("children", f"--hwnd={dialog}")]
    assert any(c[5].startswith("g_motor.speed_rpm  @0x") for c in shown), shown

    reload_rebuilt(k, rebuilt, firmware)
    assert "ELF 变量表重建: 210 个叶子" in k.text()

    poke_ok("settext", "1234", f"--hwnd={dialog}", "--child-id=2414")
    poke_ok("click", f"--hwnd={dialog}", "--child-id=2411")
    k.wait_log(r"\[INFO\] 写入 g_motor\.\S+ = 1234")
    text = k.text()
    assert "写入 g_motor.speed_rpm = 1234" in text, text[-2000:]
    assert "写入 g_motor.speed_setpoint_rpm" not in text


def test_pick_dialog_after_a_reload_adds_the_listed_variable(kestrelix, tmp_path):
    """The search dialog lists g_motor.speed_rpm; the firmware is rebuilt and reloaded under it;
    adding the selected row to a waveform window adds that variable under its new id."""
    if not ARM_GCC or not (rig.OUT / "demo.elf").exists():
        pytest.skip("arm-none-eabi-gcc or demo.elf missing")
    rebuilt = rebuilt_with_a_new_first_variable(tmp_path)
    firmware = tmp_path / "fw.elf"
    shutil.copy2(rig.OUT / "demo.elf", firmware)
    k = kestrelix("--no-layout", rig.win_path(firmware))
    k.wait_log(r"已加载 ELF")
    main = fields(poke_ok("find", "--class=KestrelixMain", wait=10000)[0])[0]
    poke_ok("command", "2703", f"--hwnd={main}")  # search variables (Ctrl+F)
    dialog = fields(poke_ok("find", "--class=KXDlgPick", "--visible", wait=15000)[0])[0]
    poke_ok("settext", "g_motor.speed_rpm", f"--hwnd={dialog}", "--child-id=2403")
    rig.wait_until(lambda: poke("listview", f"--hwnd={dialog}", "--child-id=2404")[1], what="the found rows")
    rows = poke_ok("listview", f"--hwnd={dialog}", "--child-id=2404")
    assert rows[0].startswith("g_motor.speed_rpm @0x"), rows
    poke_ok("post", "WM_APP+30", "0", "1", f"--hwnd={dialog}")

    reload_rebuilt(k, rebuilt, firmware)

    poke_ok("post", "WM_APP+43", "1", "0", f"--hwnd={dialog}")  # add the selection to a waveform window
    k.wait_log("搜索对话框添加变量: 1 个到波形窗口")
    # g_added_first took id 0: g_motor.speed_rpm went from 3 to 4.
    assert "波形窗口添加变量: id=4 " in k.text(), k.text()[-1500:]
    assert "波形窗口添加变量: id=3 " not in k.text()
