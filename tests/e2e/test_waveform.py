"""The waveform window under Wine: a command-line window with two demo variables streams live
from the simulated target, draws both waveforms with axes and legend, zooms with the wheel, fits
with F, answers the automation messages and shows everything once acquisition stops."""
import re
import shutil
import struct
import subprocess
import time

import pytest

import rig
from kxpoke import fields, pick_menu_item, poke, poke_ok, popup_menu, settle_before_start

SERIES = "g_wave.sine,g_wave.triangle"
SINE_RGB = (0xFF, 0xDC, 0x00)       # palette slot 0
TRIANGLE_RGB = (0x00, 0xE6, 0xFF)   # palette slot 1
WM_APP = 0x8000
COUNTS = WM_APP + 0x29
SHOT = WM_APP + 0x2A


@pytest.fixture
def kestrelix_copy(display, tmp_path):
    """Factory like `kestrelix`, but the program runs from a private copy of the executable, its
    modules and the demo image: chart_shot.bmp lands beside that copy, out of reach of other runs,
    and a rebuild of out/win64 during the test cannot pull the program away."""
    if not (rig.OUT / "dll" / "sim.dll").exists() or not (rig.OUT / "demo.elf").exists():
        pytest.skip("sim.dll or demo.elf not built")
    bin_dir = tmp_path / "bin"
    shutil.copytree(rig.OUT / "dll", bin_dir / "dll")
    for name in ("Kestrelix.exe", "demo.elf"):
        shutil.copy2(rig.OUT / name, bin_dir / name)
    started = []

    def start(*args):
        """Starts the copy with its demo image as the firmware, then the options."""
        settle_before_start(started)
        k = rig.Kestrelix(display, tmp_path, (rig.win_path(bin_dir / "demo.elf"),) + args,
                          exe=bin_dir / "Kestrelix.exe").start()
        k.shot_file = bin_dir / "chart_shot.bmp"
        started.append(k)
        return k

    yield start
    for k in started:
        k.kill()


def read_bmp(path):
    """(width, height, rows of (r, g, b)) of a 32-bit top-down or bottom-up BMP."""
    data = path.read_bytes()
    assert data[:2] == b"BM"
    offset, = struct.unpack_from("<I", data, 10)
    width, height, _planes, bits = struct.unpack_from("<iiHH", data, 18)
    assert bits == 32
    rows = []
    for r in range(abs(height)):
        base = offset + r * width * 4
        rows.append([(data[base + 4 * x + 2], data[base + 4 * x + 1], data[base + 4 * x]) for x in range(width)])
    if height > 0:
        rows.reverse()
    return width, abs(height), rows


def colour_count(rows, rgb, left, top, right, bottom):
    """Pixels of one colour inside the box (right and bottom exclusive)."""
    return sum(1 for y in range(top, bottom) for x in range(left, right) if rows[y][x] == rgb)


def main_window_of(child):
    """The KestrelixMain that holds this window: other runs on the shared Wine desktop may have
    their own main windows open at the same time."""
    deadline = time.time() + 20
    while time.time() < deadline:
        for line in poke("find", "--class=KestrelixMain")[1]:
            top = fields(line)[0]
            rc, lines = poke("children", f"--hwnd={top}")
            if rc == 0 and any(int(fields(l)[0], 16) == int(child, 16) for l in lines):
                return top
        time.sleep(0.2)
    raise AssertionError(f"no main window holds {child}")


def send(hwnd, msg, wparam=0, lparam=0):
    lines = poke_ok("send", hex(msg), str(wparam), str(lparam), f"--hwnd={hwnd}")
    return int(lines[0], 0)


def take_shot(k, hwnd, png_path):
    """WM_APP + 0x2A: chart_shot.bmp beside the executable; kept as PNG for looking at it."""
    if k.shot_file.exists():
        k.shot_file.unlink()
    send(hwnd, SHOT)
    assert k.shot_file.exists(), "no chart_shot.bmp"
    subprocess.run(["convert", str(k.shot_file), str(png_path)], check=True, timeout=60)
    return read_bmp(k.shot_file)


def shot_when(k, hwnd, png_path, condition, what, timeout=20):
    """Takes screenshots until condition(width, height, rows) holds (the window repaints on its own
    timer after a change); returns that shot."""
    last = None

    def good():
        nonlocal last
        last = take_shot(k, hwnd, png_path)
        return last if condition(*last) else None

    return rig.wait_until(good, timeout=timeout, what=what, interval=0.2)


def both_series_drawn(width, height, rows, least=200):
    left, top, right, bottom = plot_box(width, height)
    return (colour_count(rows, SINE_RGB, left, top, right, bottom) > least
            and colour_count(rows, TRIANGLE_RGB, left, top, right, bottom) > least)


def samples_held(hwnd):
    """Samples the window holds (low word of its count answer)."""
    return send(hwnd, COUNTS) & 0xFFFF


def plot_box(width, height):
    return 56, 26, width - 6, height - 18


def window_rect(hwnd):
    left, top, right, bottom = map(int, poke_ok("rect", f"--hwnd={hwnd}")[0].split())
    return left, top, right, bottom


def start_streaming(kestrelix_copy):
    """Starts Kestrelix with the command-line waveform window, connects and starts acquisition;
    returns the run, the waveform window and its main window (handles as text)."""
    k = kestrelix_copy("--no-layout", f"--net-win=chart,{SERIES}", "--net-exit=90000")
    hwnd = hex(int(k.wait_log(r"命令行建波形窗口 \(hwnd=(?:0x)?([0-9A-Fa-f]+)\)").group(1), 16))
    for name in SERIES.split(","):
        k.wait_log(re.escape(f"窗口添加变量: {name} (id="))
    main = main_window_of(hwnd)
    k.wait_log(r"SimLink 设备扫描: 1 个")
    assert poke("click", f"--hwnd={main}", "--child-id=2002", wait=10000)[0] == 0
    k.wait_log(r"\] 已连接")
    assert poke("click", f"--hwnd={main}", "--child-id=2004")[0] == 0
    k.wait_log(r"采集已开始")
    return k, hwnd, main


def test_live_waveforms_zoom_fit_and_stop(kestrelix_copy, shots_dir):
    k, hwnd, main = start_streaming(kestrelix_copy)

    # Two series; the first one has received samples.
    rig.wait_until(lambda: samples_held(hwnd) > 50, what="50 samples in the window")
    assert send(hwnd, COUNTS) >> 16 == 2

    width, height, rows = shot_when(k, hwnd, shots_dir / "waveform_live.png", both_series_drawn,
                                    "both live series drawn")
    left, top, right, bottom = plot_box(width, height)
    # Legend swatches sit in the upper part of the plot as well; value labels left of the plot.
    assert any(rows[y][x] != rows[top + 2][2] for y in range(top, bottom) for x in range(2, left - 2))

    # Wheel up over the plot's centre zooms the time axis toward the pointer.
    wl, wt, _wr, _wb = window_rect(hwnd)
    cx, cy = wl + (left + right) // 2, wt + (top + bottom) // 2
    send(hwnd, 0x020A, 120 << 16, (cy << 16) | cx)   # WM_MOUSEWHEEL
    k.wait_log(r"\[DEBUG\] 波形 X 轴缩放: \[-?\d+,-?\d+\] us \(目标")
    # Ctrl held (in the event's key state) zooms the value axis instead.
    send(hwnd, 0x020A, (120 << 16) | 0x0008, (cy << 16) | cx)
    k.wait_log(r"\[DEBUG\] 波形 Y 轴缩放: ")
    # A wheel turn that reaches the main window goes on to the window under the pointer.
    send(main, 0x020A, 120 << 16, (cy << 16) | cx)
    wait_count(k, "波形 X 轴缩放: ", 2)
    # Outside the plot (in the title strip) the wheel does nothing: the log line of the F key that
    # follows it marks where a zoom line would have come.
    before = k.text().count("缩放:")
    send(hwnd, 0x020A, 120 << 16, ((wt + 5) << 16) | cx)

    # F fits everything again.
    send(hwnd, 0x0100, ord("F"), 0)   # WM_KEYDOWN
    k.wait_log(r"\[DEBUG\] 波形全局显示 \(F\)")
    assert k.text().count("缩放:") == before
    # B without Ctrl does nothing; a second F after it is the mark again.
    send(hwnd, 0x0100, ord("B"), 0)
    send(hwnd, 0x0100, ord("F"), 0)
    wait_count(k, "波形全局显示 (F)", 2)
    assert "波形多坐标轴" not in k.text()

    # The stop notice pauses the window and shows everything held.
    assert poke("click", f"--hwnd={main}", "--child-id=2005")[0] == 0
    k.wait_log(r"采集已停止")
    k.wait_log(r"\[DEBUG\] 波形整体展示 \(停止采集\)")
    held = send(hwnd, COUNTS)
    width, height, rows = take_shot(k, hwnd, shots_dir / "waveform_stopped.png")
    left, top, right, bottom = plot_box(width, height)
    assert colour_count(rows, SINE_RGB, left, top, right, bottom) > 200
    assert colour_count(rows, TRIANGLE_RGB, left, top, right, bottom) > 200

    # Acquisition again: the start notice resumes the window, which follows the new samples.
    assert poke("click", f"--hwnd={main}", "--child-id=2004")[0] == 0
    wait_count(k, "波形跟随最新 (开始采集)", 2)
    rig.wait_until(lambda: samples_held(hwnd) > held & 0xFFFF, what="new samples after the restart")
    # The stop notice alone pauses the window while samples keep arriving; the start notice
    # lets them in again.
    post(hwnd, WM_APP + 6)
    wait_count(k, "波形整体展示 (停止采集)", 2)
    paused = send(hwnd, COUNTS)
    rates = k.text().count("采集速率: ")
    wait_count(k, "采集速率: ", rates + 1)
    assert send(hwnd, COUNTS) == paused
    post(hwnd, WM_APP + 7)
    wait_count(k, "波形跟随最新 (开始采集)", 3)
    rig.wait_until(lambda: samples_held(hwnd) > paused & 0xFFFF, what="samples let in again")


def wait_count(k, text, n, timeout=20):
    """Waits until the log holds `text` at least n times."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        if k.text().count(text) >= n:
            return
        time.sleep(0.1)
    raise AssertionError(f"fewer than {n} x {text!r}:\n" + k.text()[-3000:])


def post(hwnd, msg, wparam=0, lparam=0):
    poke_ok("post", hex(msg), str(wparam), str(lparam), f"--hwnd={hwnd}")


def at(x, y):
    return (y << 16) | x


WM_MOUSEMOVE, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK = 0x0200, 0x0201, 0x0202, 0x0203
MK_LBUTTON, MK_CONTROL = 0x0001, 0x0008


def drag(hwnd, x0, y0, x1, y1, keys=0):
    post(hwnd, WM_LBUTTONDOWN, MK_LBUTTON | keys, at(x0, y0))
    post(hwnd, WM_MOUSEMOVE, MK_LBUTTON | keys, at((x0 + x1) // 2, (y0 + y1) // 2))
    post(hwnd, WM_MOUSEMOVE, MK_LBUTTON | keys, at(x1, y1))
    post(hwnd, WM_LBUTTONUP, keys, at(x1, y1))


def test_markers_box_zoom_pan_full_screen_rebind_and_close(kestrelix_copy, shots_dir):
    k, hwnd, main = start_streaming(kestrelix_copy)
    rig.wait_until(lambda: samples_held(hwnd) > 200, what="200 samples in the window")
    assert poke("click", f"--hwnd={main}", "--child-id=2005")[0] == 0
    k.wait_log(r"\[DEBUG\] 波形整体展示 \(停止采集\)")
    width, height, _rows = take_shot(k, hwnd, shots_dir / "waveform_before_zoom.png")
    left, top, right, bottom = plot_box(width, height)
    cx, cy = (left + right) // 2, (top + bottom) // 2

    # A click places marker 1, the next one marker 2 with the delta, a third starts a new pair.
    poke_ok("click", f"--hwnd={hwnd}", f"--at={cx},{cy}")
    k.wait_log(r"\[INFO\] 波形测量标记1: t=\d+us 值=-?[\d.e+-]+")
    poke_ok("click", f"--hwnd={hwnd}", f"--at={cx + 120},{cy}")
    m = k.wait_log(r"\[INFO\] 波形测量Δ: ΔX=(-?\d+)us ΔY=")
    assert int(m.group(1)) > 0   # marker 2 lies to the right, later in time
    take_shot(k, hwnd, shots_dir / "waveform_markers.png")
    poke_ok("click", f"--hwnd={hwnd}", f"--at={cx - 100},{cy}")
    wait_count(k, "波形测量标记1: ", 2)

    # Ctrl + press and release without moving is a click too (a marker, no pan).
    post(hwnd, WM_LBUTTONDOWN, MK_LBUTTON | MK_CONTROL, at(cx, cy))
    post(hwnd, WM_LBUTTONUP, MK_CONTROL, at(cx, cy))
    wait_count(k, "波形测量Δ: ", 2)
    assert "波形拖拽平移开始" not in k.text()

    # A box drag zooms both axes; the time range now is a part of the data, so the scroll bar
    # appears below the plot and takes its height from the client area.
    drag(hwnd, cx - 150, cy - 60, cx + 150, cy + 60)
    k.wait_log(r"\[INFO\] 波形框选缩放: X=\[\d+,\d+\]us Y=\[")
    zoomed_w, zoomed_h, rows = shot_when(k, hwnd, shots_dir / "waveform_box_zoom.png",
                                         lambda w, h, _r: h < height, "the scroll bar below the plot")
    assert zoomed_w == width
    zl, zt, zr, zb = plot_box(zoomed_w, zoomed_h)
    assert colour_count(rows, SINE_RGB, zl, zt, zr, zb) + colour_count(rows, TRIANGLE_RGB, zl, zt, zr, zb) > 100

    # The scroll bar moves the zoomed range: to the left end, then the thumb released at 500.
    post(hwnd, 0x0114, 6, 0)   # WM_HSCROLL, SB_LEFT
    m = k.wait_log(r"\[DEBUG\] 波形滚动条平移: X=\[(\d+),(\d+)\]us")
    first_x0, span = int(m.group(1)), int(m.group(2)) - int(m.group(1))
    post(hwnd, 0x0114, (500 << 16) | 4, 0)   # SB_THUMBPOSITION
    wait_count(k, "波形滚动条平移: ", 2)
    x0, x1 = map(int, re.findall(r"波形滚动条平移: X=\[(\d+),(\d+)\]us", k.text())[-1])
    assert x0 > first_x0 and x1 - x0 == span

    # Ctrl + drag pans once the pointer moved more than 6 pixels.
    drag(hwnd, cx, cy, cx + 80, cy, keys=MK_CONTROL)
    k.wait_log(r"\[DEBUG\] 波形拖拽平移结束: X=\[\d+,\d+\]us")

    # F shows everything again and the scroll bar goes away.
    post(hwnd, 0x0100, ord("F"), 0)
    k.wait_log(r"波形全局显示 \(F\)")
    shot_when(k, hwnd, shots_dir / "waveform_fit.png", lambda w, h, _r: h == height, "the scroll bar gone")

    # A double click on the title strip toggles full screen, twice back.
    post(hwnd, WM_LBUTTONDBLCLK, MK_LBUTTON, at(100, 10))
    k.wait_log(r"\[INFO\] 窗口全屏")
    post(hwnd, WM_LBUTTONDBLCLK, MK_LBUTTON, at(100, 10))
    k.wait_log(r"\[INFO\] 窗口退出全屏")

    # Reloading the same image finds both variables again under their names.
    poke_ok("command", "2304", f"--hwnd={main}")
    k.wait_log(r"\[INFO\] 波形窗口变量重绑: 成功 2 缺失 0")
    assert send(hwnd, COUNTS) >> 16 == 2

    # The close box removes the window.
    poke_ok("click", f"--hwnd={hwnd}", f"--at={width - 10},10")
    poke_ok("wait-gone", f"--hwnd={hwnd}", wait=10000)


def choose_from_context_menu(hwnd, x, y, downs, wait_gone=True):
    """Right click at (x, y), then move `downs` items down the context menu and press Enter."""
    post(hwnd, 0x0205, 0, at(x, y))   # WM_RBUTTONUP
    pick_menu_item(popup_menu(), downs, wait_gone)


def test_context_menu_on_a_legend_row(kestrelix_copy, shots_dir):
    k, hwnd, main = start_streaming(kestrelix_copy)
    shot_when(k, hwnd, shots_dir / "waveform_menu_start.png", lambda w, h, r: both_series_drawn(w, h, r, 20),
              "both series in the window")
    # Legend row 1 (reference line at y = 46) selects the triangle; "逐行堆叠" is the fourth item.
    choose_from_context_menu(hwnd, 100, 46, 4)
    k.wait_log(r"\[DEBUG\] 波形多坐标轴: 1 \(菜单\)")

    # Stacked rows: the sine keeps to the upper half, the triangle to the lower one.
    def stacked(w, h, r):
        left, top, right, bottom = plot_box(w, h)
        return colour_count(r, SINE_RGB, left, (top + bottom) // 2 + 2, right, bottom) == 0

    width, height, rows = shot_when(k, hwnd, shots_dir / "waveform_stacked.png", stacked, "stacked rows")
    left, top, right, bottom = plot_box(width, height)
    middle = (top + bottom) // 2
    assert colour_count(rows, SINE_RGB, left, top, right, middle) > 100
    assert colour_count(rows, SINE_RGB, left, middle + 2, right, bottom) == 0
    assert colour_count(rows, TRIANGLE_RGB, left, middle + 2, right, bottom) > 100
    # "移除选中变量" (second item) removes the selected triangle only.
    choose_from_context_menu(hwnd, 100, 46, 2)
    k.wait_log(r"\[INFO\] 波形窗口移除变量: id=\d+ \(剩余 1 路\)")
    assert send(hwnd, COUNTS) >> 16 == 1
    # "添加变量..." (first item) opens the pick dialog; its two chosen leaves join the window.
    choose_from_context_menu(hwnd, 300, 200, 1, wait_gone=False)
    pick = fields(poke_ok("find", "--class=KXDlgPick", wait=10000)[0])[0]
    assert poke_ok("gettext", f"--hwnd={pick}") == ["添加变量（模糊搜索·支持多选）"]
    poke_ok("settext", "speed_pi.k", f"--hwnd={pick}", "--child-id=2403")
    poke_ok("send", "WM_APP+30", 0, 2, f"--hwnd={pick}")   # rows 0 and 1
    poke_ok("click", f"--hwnd={pick}", "--child-id=2401")
    k.wait_log(r"\[INFO\] 波形窗口批量添加变量: 2 个")
    assert send(hwnd, COUNTS) >> 16 == 3


def write_recording(path, rows=20000):
    """A recording of the two demo variables over ten seconds: a 1 Hz sine and a 0.5 Hz ramp."""
    import math
    lines = ["timestamp_us,time_iso," + SERIES]
    t0 = 1733659200000000
    for i in range(rows):
        t = t0 + i * 500
        seconds = i * 500 / 1e6
        if i % 2 == 0:
            lines.append(f"{t},2024-12-08 12:00:00.000000,{100 * math.sin(2 * math.pi * seconds):.3f},")
        else:
            lines.append(f"{t},2024-12-08 12:00:00.000000,,{(seconds % 2) * 50 - 50:.3f}")
    path.write_bytes(b"\xef\xbb\xbf" + ("\n".join(lines) + "\n").encode("utf-8"))


def test_replayed_recording_draws_from_its_tracks(kestrelix_copy, shots_dir, tmp_path):
    csv = tmp_path / "wave.csv"
    write_recording(csv)
    k = kestrelix_copy("--no-layout", f"--replay-all={rig.win_path(csv)}", f"--net-win=chart,{SERIES}",
                       "--net-exit=60000")
    hwnd = hex(int(k.wait_log(r"命令行建波形窗口 \(hwnd=(?:0x)?([0-9A-Fa-f]+)\)").group(1), 16))
    k.wait_log(r"回放加载完成")
    # Each series borrows its leaf's track when it is added after the load.
    k.wait_log(r"波形桶缓存: g_wave\.sine \d+ 桶 \[1733659200000000,")
    k.wait_log(r"波形桶缓存: g_wave\.triangle \d+ 桶")

    # The whole file is shown: the sine spans (nearly) the full plot width.
    def sine_columns(w, h, r):
        left, top, right, bottom = plot_box(w, h)
        return len({x for y in range(top, bottom) for x in range(left, right) if r[y][x] == SINE_RGB})

    width, height, rows = shot_when(k, hwnd, shots_dir / "waveform_replay.png",
                                    lambda w, h, r: sine_columns(w, h, r) > (plot_box(w, h)[2] - plot_box(w, h)[0]) * 0.9,
                                    "the whole recording drawn")
    left, top, right, bottom = plot_box(width, height)
    assert colour_count(rows, TRIANGLE_RGB, left, top, right, bottom) > 200
    # The wheel zooms into the recording like into live samples.
    wl, wt, _wr, _wb = window_rect(hwnd)
    send(hwnd, 0x020A, 240 << 16, ((wt + (top + bottom) // 2) << 16) | (wl + (left + right) // 2))
    k.wait_log(r"\[DEBUG\] 波形 X 轴缩放: \[1733659\d+,1733659\d+\] us")


def test_a_long_replay_zoomed_in_shows_single_samples(kestrelix_copy, shots_dir, tmp_path):
    """Five minutes of two variables at 1 kHz each: the whole file, then, zoomed in by the wheel,
    the single samples of the middle of it with their dots."""
    csv = tmp_path / "long.csv"
    write_recording(csv, rows=600000)
    k = kestrelix_copy("--no-layout", f"--replay-all={rig.win_path(csv)}", f"--net-win=chart,{SERIES}",
                       "--net-exit=90000")
    hwnd = hex(int(k.wait_log(r"命令行建波形窗口 \(hwnd=(?:0x)?([0-9A-Fa-f]+)\)").group(1), 16))
    k.wait_log(r"回放加载完成: .*（600000 行，2 个变量桶缓存）", timeout=60)
    k.wait_log(r"波形桶缓存: g_wave\.sine 300000 桶 \[1733659200000000,")

    def columns(rows, top, bottom, left, right, rgb):
        return {x for y in range(top, bottom) for x in range(left, right) if rows[y][x] == rgb}

    def sine_across(width, height, rows):
        left, top, right, bottom = plot_box(width, height)
        return len(columns(rows, top, bottom, left, right, SINE_RGB)) > (right - left) * 0.9

    # The window draws the loaded buckets on its next repaint.
    width, height, rows = shot_when(k, hwnd, shots_dir / "waveform_replay_long.png", sine_across,
                                    "the sine across the whole plot")
    left, top, right, bottom = plot_box(width, height)
    # One wheel turn of 46 notches: 300 s x 0.8^46 = about 10 ms around the middle.
    wl, wt, _wr, _wb = window_rect(hwnd)
    send(hwnd, 0x020A, (120 * 46) << 16, ((wt + (top + bottom) // 2) << 16) | (wl + (left + right) // 2))
    k.wait_log(r"\[DEBUG\] 波形 X 轴缩放: \[1733659\d+,1733659\d+\] us")
    k.wait_log(r"\[DEBUG\] 波形采样点圆点: 可见 \d+ 点", timeout=20)

    # Single samples: a handful of dots per series, joined by straight lines, across the plot,
    # once the zoom animation has settled.
    def both_across(width, height, rows):
        return all(len(columns(rows, top, bottom, left, right, rgb)) > (right - left) * 0.5
                   for rgb in (SINE_RGB, TRIANGLE_RGB))

    shot_when(k, hwnd, shots_dir / "waveform_replay_samples.png", both_across,
              "both series joined across the zoomed plot")
    dots = int(k.wait_log(r"\[DEBUG\] 波形采样点圆点: 可见 (\d+) 点").group(1))
    assert 2 <= dots <= 120
