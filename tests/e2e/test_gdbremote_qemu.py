"""The GDB-server driver against a real emulated microcontroller: Debian's qemu-system-arm runs the
demo firmware on its netduinoplus2 board (Cortex-M4) with its gdbstub on a free loopback port.
Kestrelix, configured for that port, is switched to the "GDB Server" channel, connected and
started through the toolbar; a waveform window shows the firmware's variables moving, a setpoint
written through the write dialog changes the speed the firmware's controller settles at, and after
the disconnect the target is still running (checked with gdb-multiarch, which nobody here wrote).

The samples per second reached in both read modes are printed and kept in
out/e2e-shots/gdbremote_rates.txt."""
import os
import re
import shutil
import subprocess
import time

import pytest

import rig
from kxpoke import fields, poke_ok, settle_before_start
from test_waveform import SINE_RGB, TRIANGLE_RGB, colour_count, main_window_of, plot_box, take_shot

QEMU = shutil.which("qemu-system-arm")
GDB = shutil.which("gdb-multiarch")
FIRMWARE = rig.OUT / "demo_qemu.elf"
SERIES = "g_wave.sine,g_motor.speed_rpm"
WM_APP = 0x8000
COUNTS = WM_APP + 0x29
CB_SETCURSEL = 0x014E
CBN_SELCHANGE = 1
ID_CHANNEL = 2106


def listener_inode(port):
    """The inode of the socket listening on 127.0.0.1:port, None when none. Looked up in /proc
    rather than by connecting: a connection to QEMU's gdbstub stops the emulated core."""
    for table in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            lines = open(table).read().splitlines()[1:]
        except OSError:
            continue
        for line in lines:
            cols = line.split()
            if cols[3] == "0A" and int(cols[1].split(":")[1], 16) == port:
                return int(cols[9])
    return None


def owns_socket(pid, inode):
    """True when one of the process's descriptors is the socket with this inode."""
    fd_dir = f"/proc/{pid}/fd"
    try:
        names = os.listdir(fd_dir)
    except OSError:
        return False
    for name in names:
        try:
            if os.readlink(f"{fd_dir}/{name}") == f"socket:[{inode}]":
                return True
        except OSError:
            pass
    return False


def stop_process(proc):
    proc.terminate()
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def start_qemu(port):
    """QEMU on the port once its own gdbstub listens there (up to 20 s), else None: the port can
    be taken by another test between the pick and QEMU's bind, and then QEMU exits or, worse,
    the stranger's listener would pass for the gdbstub."""
    proc = subprocess.Popen([QEMU, "-M", "netduinoplus2", "-nographic", "-monitor", "none", "-serial", "none",
                             "-kernel", str(FIRMWARE), "-gdb", f"tcp:127.0.0.1:{port}"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 20
    while proc.poll() is None and time.monotonic() < deadline:
        inode = listener_inode(port)
        if inode is not None:
            if owns_socket(proc.pid, inode):
                return proc
            break
        time.sleep(0.1)
    stop_process(proc)
    return None


@pytest.fixture
def qemu():
    """qemu-system-arm running the demo firmware, its gdbstub on a free loopback port."""
    if not QEMU or not FIRMWARE.exists():
        pytest.skip("qemu-system-arm or demo_qemu.elf missing")
    for _ in range(5):
        port = rig.free_port()
        proc = start_qemu(port)
        if proc:
            break
    else:
        pytest.fail("QEMU did not open its gdbstub on a port of its own")
    yield port
    stop_process(proc)


def gdb_values(port, *expressions):
    """Values read by gdb-multiarch, which attaches, prints and detaches (detaching resumes)."""
    cmd = [GDB, "-q", "-batch", "-nx", "-ex", "set confirm off", "-ex", f"target remote 127.0.0.1:{port}"]
    for e in expressions:
        cmd += ["-ex", f"print {e}"]
    cmd += ["-ex", "detach", str(FIRMWARE)]
    out = subprocess.run(cmd, capture_output=True, text=True, timeout=60).stdout
    values = re.findall(r"^\$\d+ = (.*)$", out, re.M)
    assert len(values) == len(expressions), out
    return [float(v.split()[0]) for v in values]


@pytest.fixture
def kestrelix_gdb(display, tmp_path):
    """Factory: Kestrelix from a private copy of the program and its modules, with gdbremote.ini
    beside the driver naming the QEMU port and the read mode."""
    if not any((rig.OUT / "dll").glob("target_gdb.dll")) or not (rig.OUT / "dll" / "sim.dll").exists():
        pytest.skip("the GDB-server driver or the simulator is not built")
    bin_dir = tmp_path / "bin"
    shutil.copytree(rig.OUT / "dll", bin_dir / "dll")
    shutil.copy2(rig.OUT / "Kestrelix.exe", bin_dir / "Kestrelix.exe")
    shutil.copy2(FIRMWARE, bin_dir / "demo_qemu.elf")
    started = []
    rig.clear_appdata()

    def start(port, mode, *args, extra=""):
        (bin_dir / "dll" / "gdbremote.ini").write_text(
            f"; written by the e2e test\n[qemu-e2e]\nhost=127.0.0.1\nport={port}\nkind=qemu\nmode={mode}\n"
            f"timeout_ms=1500\n{extra}", encoding="utf-8")
        settle_before_start(started)
        k = rig.Kestrelix(display, tmp_path, (rig.win_path(bin_dir / "demo_qemu.elf"),) + args,
                          exe=bin_dir / "Kestrelix.exe").start()
        k.shot_file = bin_dir / "chart_shot.bmp"
        started.append(k)
        return k

    yield start
    for k in started:
        k.kill()


def choose_gdb_channel(k, main):
    """Picks "GDB Server" in the toolbar's channel list as a user would (selection, then the
    list's change notice)."""
    loaded = re.findall(r"已加载模块: (SimLink|GDB Server) v", k.text())
    assert loaded[:1] and "GDB Server" in loaded, k.text()[-2000:]
    position = loaded.index("GDB Server")
    combo = next(f[0] for f in map(fields, poke_ok("children", f"--hwnd={main}")) if f[2] == str(ID_CHANNEL))
    poke_ok("send", hex(CB_SETCURSEL), position, 0, f"--hwnd={combo}")
    poke_ok("post", "WM_COMMAND", (CBN_SELCHANGE << 16) | ID_CHANNEL, int(combo, 16), f"--hwnd={main}")
    k.wait_log(r"\[INFO\] 切换仿真器: GDB Server")


def connect_and_start(k, port, mode):
    """Starts Kestrelix on the GDB channel, connects and starts acquisition; returns the
    waveform window, its main window and the first three samples-per-second figures."""
    hwnd = hex(int(k.wait_log(r"命令行建波形窗口 \(hwnd=(?:0x)?([0-9A-Fa-f]+)\)").group(1), 16))
    main = main_window_of(hwnd)
    # The simulator stays the default channel; the GDB server is one choice away.
    k.wait_log(r"SimLink 设备扫描: 1 个")
    assert "驱动模块: SimLink" in k.text()
    choose_gdb_channel(k, main)
    k.wait_log(r"GDB Server 设备扫描: 1 个")
    poke_ok("click", f"--hwnd={main}", "--child-id=2002")
    k.wait_log(re.escape(f"GDB Server: 已连接 127.0.0.1:{port}（qemu，读取模式 {mode}"))
    k.wait_log(re.escape(f"已连接: arm（GDB server 127.0.0.1:{port}, GDB Server DLL gdbremote 1.0"))
    poke_ok("click", f"--hwnd={main}", "--child-id=2004")
    k.wait_log(r"采集已开始")
    k.wait_log(r"(采集速率: .*\n.*){3}", timeout=30)
    rates = [int(m) for m in re.findall(r"采集速率: (\d+) 样本/s", k.text())[:3]]
    return hwnd, main, rates


def locate(k, main, name):
    """Makes `name` the variable panel's caret item through the search dialog (Ctrl+F)."""
    poke_ok("command", "2703", f"--hwnd={main}")
    pick = poke_ok("find", "--class=KXDlgPick", wait=15000)[0].split("\t")[0]
    poke_ok("settext", name, f"--hwnd={pick}", "--child-id=2403")
    rows = [fields(r)[0] for r in poke_ok("listview", f"--hwnd={pick}", "--child-id=2404")]
    assert rows and rows[0].startswith(name + " @"), rows
    poke_ok("send", "WM_APP+30", 0, 1, f"--hwnd={pick}")
    poke_ok("click", f"--hwnd={pick}", "--child-id=2401")
    poke_ok("wait-gone", f"--hwnd={pick}", wait=5000)


def current_value(k, main, name):
    """The value the write dialog shows for `name` (its last sample); the dialog is cancelled."""
    locate(k, main, name)
    poke_ok("command", "2303", f"--hwnd={main}")
    edit = poke_ok("find", "--class=KXDlgEdit", wait=15000)[0].split("\t")[0]
    texts = [fields(line)[5] for line in poke_ok("children", f"--hwnd={edit}")]
    poke_ok("click", f"--hwnd={edit}", "--child-id=2412")
    poke_ok("wait-gone", f"--hwnd={edit}", wait=5000)
    for t in texts:
        m = re.fullmatch(re.escape(name) + r"  @0x[0-9A-F]+   当前: (\S+)", t)
        if m:
            return float(m.group(1))
    raise AssertionError(texts)


def write_value(k, main, name, text):
    locate(k, main, name)
    poke_ok("command", "2303", f"--hwnd={main}")
    edit = poke_ok("find", "--class=KXDlgEdit", wait=15000)[0].split("\t")[0]
    poke_ok("settext", text, f"--hwnd={edit}", "--child-id=2414")
    poke_ok("click", f"--hwnd={edit}", "--child-id=2411")
    k.wait_log(re.escape(f"写入 {name} = {text}"))
    poke_ok("wait-gone", f"--hwnd={edit}", wait=5000)


def record_rates(mode, rates):
    line = f"GDB server (QEMU netduinoplus2), read mode {mode}: {rates} samples/s (2 variables)"
    print("\n" + line)
    out = rig.ROOT / "out" / "e2e-shots"
    out.mkdir(parents=True, exist_ok=True)
    with open(out / "gdbremote_rates.txt", "a", encoding="utf-8") as f:
        f.write(time.strftime("%Y-%m-%d %H:%M:%S ") + line + "\n")


def test_qemu_halt_mode_watch_waveform_write_and_disconnect(qemu, kestrelix_gdb, shots_dir):
    port = qemu
    k = kestrelix_gdb(port, "halt", "--no-layout", f"--net-win=chart,{SERIES}", "--net-exit=150000")
    hwnd, main, rates = connect_and_start(k, port, "halt")
    record_rates("halt", rates)
    assert all(r > 20 for r in rates), rates  # the machine is shared: a floor, not a target
    assert "[WARN] GDB Server: halt 读取模式：每次读写都会短暂暂停目标" in k.text()

    # The firmware's variables move in the waveform window: both series have samples and draw.
    def enough_samples():
        counts = int(poke_ok("send", hex(COUNTS), 0, 0, f"--hwnd={hwnd}")[0], 0)
        return counts >> 16 == 2 and counts & 0xFFFF > 50

    rig.wait_until(enough_samples, timeout=30, what="two series with more than 50 samples", interval=0.5)
    width, height, rows = take_shot(k, hwnd, shots_dir / "gdbremote_qemu_waveform.png")
    left, top, right, bottom = plot_box(width, height)
    assert colour_count(rows, SINE_RGB, left, top, right, bottom) > 200
    assert colour_count(rows, TRIANGLE_RGB, left, top, right, bottom) > 100

    # The controller holds the speed near its 1500 rpm setpoint; a new setpoint moves it.
    before = current_value(k, main, "g_motor.speed_rpm")
    assert 1200 < before < 1800, before
    write_value(k, main, "g_motor.speed_setpoint_rpm", "3000")
    rig.wait_until(lambda: current_value(k, main, "g_motor.speed_rpm") > 2700, timeout=30,
                   what=f"the speed above 2700 rpm (was {before})", interval=1)
    take_shot(k, hwnd, shots_dir / "gdbremote_qemu_setpoint.png")

    poke_ok("click", f"--hwnd={main}", "--child-id=2005")
    k.wait_log(r"采集已停止")
    poke_ok("click", f"--hwnd={main}", "--child-id=2003")
    k.wait_log(r"\[INFO\] 已断开连接")
    k.wait_log(re.escape(f"GDB Server: 已断开 127.0.0.1:{port}"))
    text = k.text()
    assert "块读" not in text and "GDB Server: 读写内存失败" not in text, text[-3000:]

    # The target runs on after the disconnect, with the setpoint the user wrote.
    tick1, setpoint = gdb_values(port, "g_tick_ms", "g_motor.speed_setpoint_rpm")
    assert setpoint == 3000
    rig.wait_until(lambda: gdb_values(port, "g_tick_ms")[0] > tick1 + 200, timeout=30,
                   what=f"g_tick_ms past {tick1} + 200", interval=0.5)


def test_qemu_background_mode_reads_but_the_gdbstub_stops_the_core(qemu, kestrelix_gdb):
    """QEMU's gdbstub stops the emulated core on any byte it receives, so it cannot be read in
    the background: with resume_on_attach the driver lets the core run after the attach, the
    first read stops it again, the driver still delivers every read and says so once, and the
    rate is measured for comparison with halt mode."""
    port = qemu
    k = kestrelix_gdb(port, "background", "--no-layout", f"--net-win=chart,{SERIES}", "--net-exit=90000",
                      extra="resume_on_attach=1\n")
    hwnd, main, rates = connect_and_start(k, port, "background")
    record_rates("background", rates)
    assert all(r > 20 for r in rates), rates  # the machine is shared: a floor, not a target
    k.wait_log(r"\[WARN\] GDB Server: 服务器在读写时暂停了目标")
    poke_ok("click", f"--hwnd={main}", "--child-id=2005")
    k.wait_log(r"采集已停止")
    poke_ok("click", f"--hwnd={main}", "--child-id=2003")
    k.wait_log(r"\[INFO\] 已断开连接")
    # Detaching let the core run again.
    tick1, = gdb_values(port, "g_tick_ms")
    rig.wait_until(lambda: gdb_values(port, "g_tick_ms")[0] > tick1 + 200, timeout=30,
                   what=f"g_tick_ms past {tick1} + 200", interval=0.5)
