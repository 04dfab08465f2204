"""Start-up under Wine: the log's first lines, the main window, and the normal close path."""
import re
import subprocess

import rig
from kxpoke import close_main_window

LINE = r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{6} \[INFO\] "


def test_start_log_and_close(kestrelix):
    k = kestrelix("--net-exit=3000")
    k.wait_log("Kestrelix 已启动")
    assert k.wait_exit(60) == 0
    raw = k.log.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf") and raw.count(b"\xef\xbb\xbf") == 1
    lines = raw[3:].decode("utf-8").splitlines()
    assert re.fullmatch(LINE + r"Kestrelix 启动 \(version 1\.23\.2\)", lines[0]), lines[0]
    assert re.fullmatch(LINE + "Kestrelix 已启动", lines[1]), lines[1]


def test_second_run_appends_without_bom(kestrelix):
    first = kestrelix("--net-exit=1500")
    assert first.wait_exit(60) == 0
    second = kestrelix("--net-exit=1500")
    assert second.wait_exit(60) == 0
    raw = second.log.read_bytes()
    assert raw.count(b"\xef\xbb\xbf") == 1
    assert raw.decode("utf-8").count("Kestrelix 启动 (version 1.23.2)") == 2


def test_main_window_title_is_readable(kestrelix, display, shots_dir):
    k = kestrelix("--net-exit=120000")
    k.wait_log("Kestrelix 已启动")
    # Wait until the window is mapped and its caption painted on the virtual desktop.
    png = shots_dir / "startup.png"
    rig.wait_until(lambda: rig_title_has_text(display.screenshot(png)), timeout=30,
                   what="a painted caption", interval=0.5)
    # Title bar of the main window: the caption must hold dark text pixels (Chinese glyphs) on the
    # active caption colour, not an empty bar.
    out = subprocess.run(["convert", str(png), "-format", "%[fx:w]x%[fx:h]", "info:"],
                         capture_output=True, text=True, check=True).stdout
    assert out == "1280x1024"
    assert rig_title_has_text(png), "main window caption shows no text"
    close_main_window()
    assert k.wait_exit(60) == 0


def rig_title_has_text(png):
    """True when a row of the caption bar (left part, away from the caption buttons) has many
    light/dark changes: the white glyphs of the title on the caption colour."""
    txt = subprocess.run(["convert", str(png), "-crop", "600x24+0+0", "-colorspace", "gray",
                          "-threshold", "50%", "txt:-"], capture_output=True, text=True, check=True).stdout
    rows = {}
    for line in txt.splitlines()[1:]:
        coords, _, rest = line.partition(":")
        x, y = (int(v) for v in coords.split(","))
        rows.setdefault(y, []).append("white" in rest or "#FFFFFF" in rest)
    best = 0
    for y, px in rows.items():
        changes = sum(1 for a, b in zip(px, px[1:]) if a != b)
        best = max(best, changes)
    return best > 20
