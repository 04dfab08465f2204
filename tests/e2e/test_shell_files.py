"""The shell against its own files and Explorer's command lines: a hostile layout.ini is clamped
and not saved back, a layout without keys leaves those settings alone, --no-layout leaves the
user's file untouched, and paths with blanks arrive quoted and are honoured."""
import shutil

import pytest

import rig
from shots import shot_until
from kxpoke import close_main_window, no_main_window, poke_ok


def rect(*selectors):
    left, top, right, bottom = (int(v) for v in poke_ok("rect", *selectors, wait=10000)[0].split())
    return left, top, right - left, bottom - top


def write_user_layout(content):
    """Writes the user's layout.ini (the Wine profile's program folder); returns that folder."""
    folder = rig.appdata_dir()
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "layout.ini").write_bytes(content)
    return folder


def saved_value(text, key):
    return int(text.split(f"\n{key}=")[1].split("\n")[0])


def test_hostile_layout_is_clamped_and_not_saved_back(kestrelix, shots_dir):
    # No theme, log_hidden or tree_* keys: those settings stay at their start-up values.
    folder = write_user_layout(
        b"\xef\xbb\xbf[layout]\nversion=1\nmain_x=100\nmain_y=60\nmain_w=99999\nmain_h=99999\n"
        b"tree_w=100000\nlog_h=99999\nwins=0\n")
    k = kestrelix("--net-exit=120000")
    k.wait_log(r"\[INFO\] 布局已加载: .*layout\.ini \(0 个窗口\)")
    # The virtual desktop is 1280x1024: the window stays on it; the tree stops at 900 pixels and the
    # message panel at the client height - 120 (a drag's limits), so the workspace's tab strip is
    # still there to click. Before, tree_w=100000 pushed everything off the window.
    _, _, main_w, main_h = rect("--class=KestrelixMain")
    assert main_w <= 1280 and main_h <= 1024, (main_w, main_h)
    _, _, tree_w, _ = rect("--class=KestrelixMain", "--child-id=3010")
    assert 120 <= tree_w <= 900, tree_w
    _, _, tabs_w, tabs_h = rect("--class=KestrelixMain", "--child-id=3021")
    assert tabs_w >= 200 and tabs_h >= 20, (tabs_w, tabs_h)
    k.display.screenshot(shots_dir / "hostile_layout.png")
    close_main_window()
    assert k.wait_exit(60) == 0
    text = (folder / "layout.ini").read_bytes().decode("utf-8")
    assert saved_value(text, "tree_w") == 900
    assert saved_value(text, "log_h") <= main_h - 120
    assert saved_value(text, "main_w") <= 1280 and saved_value(text, "main_h") <= 1024
    assert "\ntheme=0\n" in text and "\ntree_hidden=0\n" in text


def test_a_small_window_keeps_the_message_list_off_the_status_bar(kestrelix, shots_dir):
    # 420 x 300 wraps the toolbar onto several rows; the saved panel height (180, the most a
    # 300-pixel window allows) no longer fits below them. The list is cut at the status bar instead
    # of covering it.
    write_user_layout(
        b"\xef\xbb\xbf[layout]\nversion=1\nmain_x=40\nmain_y=40\nmain_w=420\nmain_h=300\n"
        b"log_h=180\nlog_hidden=0\nwins=0\n")
    k = kestrelix("--net-exit=60000")  # closed below; the timer only guards a hang
    k.wait_log(r"\[INFO\] 布局已加载: .*layout\.ini \(0 个窗口\)")
    _, _, main_w, main_h = rect("--class=KestrelixMain")
    assert (main_w, main_h) == (420, 300), (main_w, main_h)
    list_left, list_top, list_w, list_h = rect("--class=KestrelixMain", "--child-id=3001")
    _, status_top, _, status_h = rect("--class=KestrelixMain", "--child-id=3002")
    assert status_h > 0
    assert list_h == 0 or list_top + list_h <= status_top, (list_top, list_h, status_top)
    # Every button of the wrapped rows shows its own face: moving "下载ELF" onto the place another
    # control had just left once carried that control's old pixels along (a combo box's white
    # field inside the button). Both ELF buttons look alike.
    def white_share(shot, control_id):
        left, top, width, height = rect("--class=KestrelixMain", f"--child-id={control_id}")
        return shot.share((left, top, left + width, top + height), (255, 255, 255))
    shot, shares = shot_until(k.display, shots_dir / "small_window.png",
                              lambda s: (white_share(s, 2115), white_share(s, 2116)),
                              lambda v: abs(v[0] - v[1]) < 0.1)
    poke_ok("post", "WM_CLOSE", "0", "0", "--class=KestrelixMain")
    assert k.wait_exit(60) == 0


def test_no_layout_neither_reads_nor_writes_the_users_file(kestrelix):
    original = b"\xef\xbb\xbf[layout]\nversion=1\ntheme=1\ntree_w=500\n[win]\ntype=chart\ntitle=mine\n"
    folder = write_user_layout(original)
    k = kestrelix("--no-layout", "--net-exit=120000")
    k.wait_log(r"Kestrelix 已启动")
    poke_ok("post", "WM_COMMAND", "2701", "0", "--class=KestrelixMain", wait=10000)  # a theme change saves
    k.wait_log(r"\[INFO\] 界面主题: 深色")  # started light: the file's theme=1 was not read
    close_main_window()
    assert k.wait_exit(60) == 0
    assert "布局已加载" not in k.text() and "布局已保存" not in k.text()
    assert (folder / "layout.ini").read_bytes() == original


def test_quoted_paths_with_blanks(display, tmp_path):
    if not (rig.OUT / "demo.elf").exists():
        pytest.skip("demo.elf not built")
    rig.clear_appdata()
    firmware = tmp_path / "My Firmware" / "demo v2.elf"
    firmware.parent.mkdir()
    shutil.copy(rig.OUT / "demo.elf", firmware)
    saved = tmp_path / "lay outs" / "a b.ini"
    saved.parent.mkdir()
    # Wine builds the Windows command line from these arguments the way Explorer does: every
    # argument holding a blank is put in double quotes. The log path has a blank too.
    no_main_window()
    k = rig.Kestrelix(display, tmp_path, [rig.win_path(firmware), "--layout-save=" + rig.win_path(saved),
                                          "--net-exit=6000"], log_name="run log.log").start()
    try:
        k.wait_log(r"\[INFO\] 已加载 ELF: .*My Firmware.demo v2\.elf \(32 位")
        assert k.wait_exit(60) == 0
    finally:
        k.kill()
    text = saved.read_bytes().decode("utf-8")
    assert "\nelf=" in text and text.split("\nelf=")[1].split("\n")[0].endswith("My Firmware\\demo v2.elf")
