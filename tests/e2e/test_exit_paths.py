"""Ways out and ways in under Wine: File → Exit offers an unsaved recording exactly as closing the
window does (both answers), a bad --net-listen= port or toolbar port listens on nothing, and the
network dialog keeps itself open on a bad port until a good one is given."""
import os
import re
import socket
import subprocess
from pathlib import Path

import pytest

import rig
from kxpoke import fields, one_main_window, poke, poke_ok

TOP = "--class=KestrelixMain"
SAVE_QUESTION = "录制\t是否保存录制的 log 数据？"


def need_sim():
    if not (rig.OUT / "dll" / "sim.dll").exists() or not (rig.OUT / "demo.elf").exists():
        pytest.skip("sim.dll or demo.elf not built")


def message_box(*selector, timeout=15):
    """CAPTION\tTEXT of the message box once it has its text: a box is found as soon as it
    exists, and its texts arrive with its initialisation."""
    def ready():
        rc, lines = poke("msgbox", *selector)
        return lines if rc == 0 and lines and not lines[0].endswith("\t") else None

    return rig.wait_until(ready, timeout=timeout, what="the message box")


def cache_files():
    return sorted((rig.appdata_dir() / "cache").glob("recording.[0-9]*.csv"))


def recording_running(kestrelix):
    """Record on, connect the simulated target, acquire until samples are being cached."""
    k = kestrelix("--no-layout", rig.win_path(rig.OUT / "demo.elf"), "--watch=g_wave.sine", "--net-exit=180000")
    k.wait_log(r"SimLink 设备扫描: 1 个")
    one_main_window()
    poke_ok("click", TOP, "--child-id=2006", wait=10000)
    k.wait_log(re.escape("[INFO] 录制已开启（可先于采集；数据写入临时缓存）"))
    poke_ok("click", TOP, "--child-id=2002")
    k.wait_log(r"\[INFO\] 已连接: ")
    poke_ok("click", TOP, "--child-id=2004")
    k.wait_log(r"采集速率: ", timeout=30)
    return k


@pytest.mark.parametrize("way,answer", [("exit", "no"), ("exit", "yes"), ("close", "no")])
def test_leaving_with_an_unsaved_recording_offers_it(kestrelix, tmp_path, way, answer):
    need_sim()
    k = recording_running(kestrelix)
    if way == "exit":
        poke_ok("post", "WM_COMMAND", "2011", "0", TOP)  # 文件 → 退出
    else:
        poke_ok("post", "WM_CLOSE", "0", "0", TOP)
    assert message_box() == [SAVE_QUESTION]
    assert k.proc.poll() is None, "the program must wait for the answer"
    if answer == "no":
        poke_ok("msgbox", "--press=no")
        k.wait_log(re.escape("[INFO] 用户放弃保存录制数据"))
        assert k.wait_exit(60) == 0
        assert cache_files() == []
        return

    poke_ok("msgbox", "--press=yes")
    target = tmp_path / "kept on exit.csv"
    # The save dialog, not the question box that may still be going away (both are #32770).
    def save_dialog_edits():
        rc, lines = poke("children", "--class=#32770")
        return [fields(c) for c in lines if fields(c)[1] == "Edit"] if rc == 0 else []

    edits = rig.wait_until(save_dialog_edits, what="the save dialog")
    poke_ok("settext", rig.win_path(target), f"--hwnd={edits[0][0]}")
    poke_ok("key", "ENTER", f"--hwnd={edits[0][0]}")
    k.wait_log(r"\[INFO\] 录制已保存: .*kept on exit\.csv（\d+ 样本）")
    assert k.wait_exit(60) == 0
    rows = target.read_bytes().decode("utf-8-sig").splitlines()
    assert rows[0] == "timestamp_us,time_iso,g_wave.sine" and len(rows) > 50, rows[:3]
    assert cache_files() == []


def our_wineservers():
    """Pids of the wineserver of this rig's prefix: Wine programs hand their sockets to it, so it
    owns every listener they open. Its working directory is named after the prefix's device and
    inode."""
    st = os.stat(rig.wine_env(":0")["WINEPREFIX"])
    name = f"server-{st.st_dev:x}-{st.st_ino:x}"
    pids = []
    for proc in Path("/proc").iterdir():
        try:
            if proc.name.isdigit() and os.readlink(proc / "cwd").endswith("/" + name):
                pids.append(proc.name)
        except OSError:
            pass
    assert pids, name
    return pids


def listening_sockets():
    """Listening TCP sockets of this prefix's Wine programs."""
    out = subprocess.run(["ss", "-Hltnp"], capture_output=True, text=True, timeout=30).stdout
    return [line for line in out.splitlines() if any(f"pid={pid}," in line for pid in our_wineservers())]


def test_a_bad_listen_port_on_the_command_line_listens_on_nothing(kestrelix):
    if not (rig.OUT / "dll" / "network.dll").exists():
        pytest.skip("network.dll not built")
    # A good port first: the socket check below does see this program's listener.
    good, port = rig.listen_on_free_port(
        lambda p: kestrelix("--no-layout", f"--net-listen={p}", "--net-exit=60000", log_name=f"good{p}.log"))
    sockets = rig.wait_until(listening_sockets, what="the listener of the good port")
    assert any(f"127.0.0.1:{port}" in line for line in sockets), sockets
    good.kill()
    rig.wait_until(lambda: not listening_sockets(), what="the listener's end")

    for value in ["", "abc"]:
        k = kestrelix("--no-layout", f"--net-listen={value}", "--net-exit=60000", log_name=f"bad{value}.log")
        k.wait_log(re.escape(f'[ERROR] 命令行监听端口无效: "{value}"（应为 1-65535），不监听'))
        k.wait_log(r"\[INFO\] Kestrelix 已启动")
        one_main_window()
        # The toolbar's port field emptied and "监听" pressed: refused the same way.
        poke_ok("settext", "", TOP, "--child-id=2111")
        poke_ok("click", TOP, "--child-id=2112")
        k.wait_log(re.escape('[ERROR] 网络: 端口无效: ""（应为 1-65535），未监听'))
        text = k.text()
        assert "正在监听" not in text and "网络: 监听" not in text, text[-2000:]
        assert listening_sockets() == []
        k.kill()


def test_a_port_taken_before_the_bind_is_reported_and_another_one_is_tried(kestrelix, monkeypatch):
    """The race every listening test runs: a port that was free when picked is taken before
    Kestrelix binds it. Kestrelix logs the failed listen and goes on; the rig ends that instance
    and listens on another port."""
    if not (rig.OUT / "dll" / "network.dll").exists():
        pytest.skip("network.dll not built")
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen(1)
        busy = taken.getsockname()[1]
        picks = iter([busy])
        real_free_port = rig.free_port
        monkeypatch.setattr(rig, "free_port", lambda: next(picks, None) or real_free_port())
        started = []

        def listen(p):
            started.append(kestrelix("--no-layout", f"--net-listen={p}", "--net-exit=60000", log_name=f"l{p}.log"))
            return started[-1]

        k, port = rig.listen_on_free_port(listen)
    assert port != busy and k is started[-1] and len(started) == 2
    first = started[0].text()
    assert re.search(rf"\[ERROR\] 网络模块: 监听失败 127\.0\.0\.1:{busy}（.+）", first), first[-2000:]
    assert "正在监听" not in first
    assert started[0].proc.poll() is not None, "the failed try was not ended"
    sockets = rig.wait_until(listening_sockets, what="the listener on the second port")
    assert any(f"127.0.0.1:{port}" in line for line in sockets), sockets


def test_the_network_dialog_refuses_bad_ports_and_stays_open(kestrelix):
    k = kestrelix("--no-layout", "--net-exit=120000")
    k.wait_log(r"\[INFO\] Kestrelix 已启动")
    one_main_window()
    poke_ok("post", "WM_COMMAND", "2801", "0", TOP)
    dialog = "--hwnd=" + fields(poke_ok("find", "--class=KXDlgNetCfg", wait=10000)[0])[0]
    for bad in ["", "0", "65536", "abc"]:
        poke_ok("settext", bad, dialog, "--child-id=2422")
        poke_ok("click", dialog, "--child-id=2423")
        lines = message_box("--title=网络配置")
        assert lines == ["网络配置\t端口必须是 1-65535 之间的数字"], (bad, lines)
        poke_ok("msgbox", "--title=网络配置", "--press=ok")
        poke_ok("wait-gone", "--class=#32770", "--title=网络配置", wait=10000)
        assert poke("find", "--class=KXDlgNetCfg")[0] == 0, f"the dialog closed on {bad!r}"
    assert k.text().count("[WARN] 网络配置未保存: 端口必须是 1-65535 之间的数字") == 4
    assert poke_ok("gettext", TOP, "--child-id=2111") == ["10000"], "nothing reached the toolbar"

    poke_ok("settext", "10001", dialog, "--child-id=2422")
    poke_ok("click", dialog, "--child-id=2423")
    poke_ok("wait-gone", dialog, wait=10000)
    k.wait_log(re.escape("[INFO] 网络配置: 127.0.0.1:10001"))
    assert poke_ok("gettext", TOP, "--child-id=2111") == ["10001"]
