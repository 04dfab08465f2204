"""kxpoke against kxpoke_target.exe under Wine: every command, checked against what the target
logged or shows."""
import re
import struct
import subprocess
import time
from pathlib import Path

import pytest

import kxpoke
import rig
from kxpoke import KXPOKE, fields, poke, poke_ok

TARGET_EXE = rig.OUT / "tests" / "kxpoke_target.exe"
TOP = "--class=KxPokeTarget"

pytestmark = pytest.mark.skipif(not (KXPOKE.exists() and TARGET_EXE.exists()),
                                reason="kxpoke.exe / kxpoke_target.exe not built (win64)")


class Target:
    """One kxpoke_target.exe; what it received is read back from its log file."""

    def __init__(self, display, workdir):
        self.log = Path(workdir) / "target.log"
        self.proc = subprocess.Popen(["wine", str(TARGET_EXE), rig.win_path(self.log)],
                                     env=rig.wine_env(display.name), stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL)

    def lines(self):
        return rig.read_log(self.log).splitlines()

    def wait_line(self, line, timeout=15, after=0):
        """Waits for an exact log line past the first `after` lines; returns its index."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            lines = self.lines()
            for i in range(after, len(lines)):
                if lines[i] == line:
                    return i
            time.sleep(0.05)
        state = "running" if self.proc.poll() is None else f"exited {self.proc.returncode}"
        raise AssertionError(f"target ({state}) never logged {line!r}; log:\n" + "\n".join(self.lines()[-20:]))

    def mark(self):
        return len(self.lines())

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()


@pytest.fixture(scope="module")
def target(display, tmp_path_factory):
    t = Target(display, tmp_path_factory.mktemp("kxpoke"))
    t.wait_line("ready", timeout=90)
    poke_ok("find", TOP, wait=30000)
    yield t
    poke("post", "WM_CLOSE", 0, 0, TOP)
    try:
        t.proc.wait(15)
    except subprocess.TimeoutExpired:
        pass
    t.stop()


def test_find_selectors_and_usage_errors(target):
    rows = [fields(line) for line in poke_ok("find", "--title-has=KxPoke")]
    assert {(r[1], r[2]) for r in rows} >= {("KxPokeTarget", "KxPoke 目标"), ("KxPokeHidden", "KxPoke hidden")}
    assert all(re.fullmatch(r"0x[0-9A-F]+", r[0]) for r in rows)
    exact = [fields(line) for line in poke_ok("find", "--title=KxPoke 目标")]
    assert [r[1] for r in exact] == ["KxPokeTarget"]
    assert poke_ok("find", f"--hwnd={exact[0][0]}") == poke_ok("find", TOP)
    assert poke("find", "--class=KxPokeNoSuchClass")[0] == 1
    assert poke("find", "--title=KxPoke")[0] == 1          # exact, not a prefix
    assert poke("find", "--class=KxPokeNoSuchClass", wait=300)[0] == 1
    assert poke()[0] == 2
    assert poke("gettext")[0] == 2                         # no selector
    assert poke("find", "--frobnicate=1")[0] == 2
    assert poke("post", "WM_BOGUS", 0, 0, TOP)[0] == 2
    assert poke("post", "WM_APP+1", "12x", 0, TOP)[0] == 2
    assert poke("nosuchcommand", TOP)[0] == 2


def test_post_send_and_command_reach_the_window(target):
    mark = target.mark()
    assert poke_ok("send", "WM_APP+13", 5, 7, TOP) == ["12"]   # the target returns wParam + lParam
    assert poke_ok("send", "0x8003", "0x10", -20, TOP) == ["-4"]
    poke_ok("post", "WM_APP+2", "0x10", -1, TOP)
    poke_ok("command", 77, TOP)
    i = target.wait_line("app 13 5 7", after=mark)
    i = target.wait_line("app 3 16 -20", after=i)
    i = target.wait_line("app 2 16 -1", after=i)
    target.wait_line("command 77 0", after=i)


def test_children_lists_every_control(target):
    rows = {int(r[2]): r for r in map(fields, poke_ok("children", TOP))}
    assert rows[101][1:] == ["Button", "101", "1", "1", "确定 OK"]
    assert rows[105][1:] == ["Button", "105", "0", "1", "disabled"]
    assert rows[102][1].lower() == "edit"
    assert rows[103][1] == "SysListView32" and rows[104][1] == "SysTreeView32"
    # The list view's header is a descendant too.
    assert any(r[1] == "SysHeader32" for r in rows.values())
    assert poke("children", TOP, "--child-id=999")[0] == 1


def test_listview_and_treeview_read_across_processes(target):
    rows = [fields(line) for line in poke_ok("listview", TOP, "--child-id=103")]
    assert rows == [["alpha", "1"], ["beta", "2.5"], ["伽马", "tab\there"]]
    # Without a child selector the first list view of the window is read.
    assert [fields(line) for line in poke_ok("listview", TOP)] == rows
    assert poke_ok("treeview", TOP, "--child-class=SysTreeView32") == [
        "全部变量\t0",
        "  speed\t1",
        "    speed.raw\t0",
        "  temp\t0",
        "second root\t1",
    ]
    assert poke("listview", TOP, "--child-class=NoSuchControl")[0] == 1


def test_type_settext_gettext(target):
    edit = ("--child-id=102",)
    poke_ok("settext", "", TOP, *edit)
    poke_ok("type", "héllo 中", TOP, *edit)
    assert poke_ok("gettext", TOP, *edit) == ["héllo 中"]
    poke_ok("settext", "a\\b 新文本", TOP, "--child-class=Edit")
    assert [fields(line) for line in poke_ok("gettext", TOP, *edit)] == [["a\\b 新文本"]]
    # The edit is found by its text as well.
    assert poke_ok("gettext", TOP, "--child-text=a\\b 新文本") == poke_ok("gettext", TOP, *edit)
    assert [fields(line) for line in poke_ok("gettext", TOP)] == [["KxPoke 目标"]]
    # WM_CHAR goes per UTF-16 unit: a character beyond the BMP arrives as its surrogate pair.
    mark = target.mark()
    poke_ok("type", "a中😀", TOP)
    i = target.wait_line("char U+0061", after=mark)
    i = target.wait_line("char U+4E2D", after=i)
    i = target.wait_line("char U+D83D", after=i)
    target.wait_line("char U+DE00", after=i)
    # Operands that look like options pass after "--".
    poke_ok("settext", TOP, *edit, "--", "--not-an-option")
    assert poke_ok("gettext", TOP, *edit) == ["--not-an-option"]


def test_click_and_key(target):
    mark = target.mark()
    poke_ok("click", TOP, "--at=5,6")
    i = target.wait_line("lbutton down 5 6", after=mark)
    i = target.wait_line("lbutton up 5 6", after=i)
    poke_ok("click", TOP)
    m = None
    deadline = time.time() + 10
    while m is None and time.time() < deadline:
        m = next((re.fullmatch(r"lbutton down (\d+) (\d+)", l) for l in target.lines()[i + 1:]
                  if l.startswith("lbutton down")), None)
        time.sleep(0.05)
    assert m, "no click at the centre"
    left, top, right, bottom = map(int, poke_ok("rect", TOP)[0].split())
    # The centre of the client area lies within the window, near its middle.
    assert 0 < int(m.group(1)) < right - left and 0 < int(m.group(2)) < bottom - top
    mark = target.mark()
    poke_ok("click", TOP, "--child-id=101")                  # a button gets BM_CLICK
    target.wait_line("command 101 0", after=mark)
    mark = target.mark()
    poke_ok("key", "ENTER", TOP)
    poke_ok("key", "F1", TOP)
    i = target.wait_line("keydown 13", after=mark)
    i = target.wait_line("char U+000D", after=i)             # translated by the target's loop
    target.wait_line("keydown 112", after=i)
    assert poke("key", "NOSUCHKEY", TOP)[0] == 2


def test_msgbox_read_and_press(target):
    assert poke("msgbox")[0] == 1                           # none open
    for button, result in (("no", 7), ("yes", 6), ("cancel", 2)):
        mark = target.mark()
        poke_ok("command", 200, TOP)
        rows = [fields(line) for line in poke_ok("msgbox", "--title=KxPoke 提问", wait=10000)]
        assert rows == [["KxPoke 提问", "保存更改吗?\n第二行"]]
        assert [fields(line) for line in poke_ok("msgbox", f"--press={button}", wait=10000)] == rows
        target.wait_line(f"msgbox {result}", after=mark)
        assert poke("msgbox")[0] == 1
    # A button the box does not have is refused, and the box stays.
    poke_ok("command", 200, TOP)
    assert poke("msgbox", "--press=ok", wait=10000)[0] == 1
    assert poke("msgbox", "--press=maybe")[0] == 2
    poke_ok("msgbox", "--press=cancel")
    assert poke("wait-gone", "--class=#32770", wait=5000)[0] == 0


def read_bmp(path):
    data = Path(path).read_bytes()
    magic, size, _, _, offset = struct.unpack_from("<2sIHHI", data, 0)
    header_size, width, height, planes, bpp, compression, image_size = struct.unpack_from("<IiiHHII", data, 14)
    return dict(magic=magic, size=size, offset=offset, header_size=header_size, width=width, height=height,
                planes=planes, bpp=bpp, compression=compression, image_size=image_size, data=data)


def test_a_key_that_closes_the_message_box_succeeds(target):
    """ENTER presses the default button and ESCAPE cancels; both close the box with the key-down,
    so the key-up has no window left to go to: that is no failure."""
    for key, result in (("ENTER", 6), ("ESCAPE", 2)):  # IDYES (the first button), IDCANCEL
        mark = target.mark()
        poke_ok("command", 200, TOP)
        box = fields(poke_ok("find", "--class=#32770", "--title=KxPoke 提问", wait=10000)[0])[0]
        rc, _ = poke("key", key, f"--hwnd={box}")
        assert rc == 0, f"key {key} -> {rc}: {kxpoke.last_error.strip()}"
        target.wait_line(f"msgbox {result}", after=mark)
        poke_ok("wait-gone", f"--hwnd={box}", wait=10000)


def test_rect_and_shot(target, tmp_path):
    left, top, right, bottom = map(int, poke_ok("rect", TOP)[0].split())
    assert right - left >= 560 and bottom - top >= 360
    path = tmp_path / "target.bmp"
    width, height, method = poke_ok("shot", rig.win_path(path), TOP)[0].split("\t")
    assert (int(width), int(height)) == (right - left, bottom - top) and method in ("print", "window", "screen")
    bmp = read_bmp(path)
    assert bmp["magic"] == b"BM" and bmp["size"] == len(bmp["data"]) and bmp["offset"] == 54
    assert (bmp["header_size"], bmp["planes"], bmp["bpp"], bmp["compression"]) == (40, 1, 32, 0)
    assert (bmp["width"], bmp["height"]) == (right - left, bottom - top)
    assert bmp["image_size"] == bmp["width"] * bmp["height"] * 4 == len(bmp["data"]) - 54
    pixels = set(struct.iter_unpack("<I", bmp["data"][54:]))
    assert len(pixels) > 4, "the capture is (nearly) one colour"
    # The target paints a red, a green and a blue band: the capture must hold them.
    rgb = {(p >> 16 & 255, p >> 8 & 255, p & 255) for (p,) in pixels}
    assert {(200, 30, 30), (30, 160, 60), (40, 60, 200)} <= rgb
    assert poke("shot", rig.win_path(tmp_path / "x.bmp"), TOP, "--method=bogus")[0] == 2


def test_wait_gone(display, target, tmp_path):
    before = {fields(l)[0] for l in poke_ok("find", TOP)}
    second = Target(display, tmp_path)
    try:
        deadline = time.time() + 60
        new = set()
        while not new and time.time() < deadline:
            new = {fields(l)[0] for l in poke("find", TOP)[1]} - before
            time.sleep(0.2)
        assert len(new) == 1, "second target window never appeared"
        hwnd = f"--hwnd={new.pop()}"
        assert poke("wait-gone", hwnd, wait=300)[0] == 1     # still there
        poke_ok("post", "WM_CLOSE", 0, 0, hwnd)
        assert poke("wait-gone", hwnd, wait=10000)[0] == 0
        second.wait_line("close")
        assert poke("gettext", hwnd)[0] == 1
    finally:
        second.stop()
