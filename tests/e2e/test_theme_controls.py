"""Push buttons and the tab strip follow the theme under Wine: dark faces with readable text after
the toggle (toolbar and dialog buttons, pressed, default, disabled and focused looks, the tab
strip), and the platform's light look again after switching back, all on root screenshots."""
import re

import rig
from kxpoke import fields, one_main_window, poke_ok
from shots import shot_until

TOP = "--class=KestrelixMain"
BM_SETSTATE = 0x00F3

FACE = (0x3C, 0x3C, 0x40)           # a button's face (spare entry 14, dark row)
DISABLED_FACE = (0x32, 0x32, 0x34)  # entry 1
DISABLED_TEXT = (0x8C, 0x8C, 0x91)  # entry 3
ACCENT = (0x00, 0x5A, 0xA0)         # entry 9: pressed fill, focus and default outline
STRIP = (0x32, 0x32, 0x34)          # entry 15: tab strip background
SELECTED_TAB = FACE


def rect(*selector):
    return tuple(map(int, poke_ok("rect", *selector)[0].split()))


def lum(p):
    return (p[0] * 299 + p[1] * 587 + p[2] * 114) // 1000


def children(*selector):
    return [fields(line) for line in poke_ok("children", *selector)]


def button_look(shot, r):
    """Face share, accent share, and how many light (text) and dark pixels a button shows."""
    return dict(face=shot.share(r, FACE, inset=2), accent=shot.share(r, ACCENT, inset=0),
                light=shot.count_where(r, lambda p: lum(p) > 170),
                dark=shot.count_where(r, lambda p: lum(p) < 90))


def tab_strip(tabs):
    left, top, right, _ = tabs
    return (left, top, right, top + 22)


def strip_look(shot, r):
    return dict(strip=shot.share(r, STRIP, inset=0), selected=shot.share(r, SELECTED_TAB, inset=0),
                accent=shot.share(r, ACCENT, inset=0),
                text=shot.count_where(r, lambda p: lum(p) > 170))


def test_buttons_and_tabs_turn_dark_and_back(kestrelix, display, shots_dir):
    k = kestrelix("--no-layout", "--net-exit=180000")
    k.wait_log(r"\[INFO\] Kestrelix 已启动")
    one_main_window()
    # Two tabs, so the strip shows a selected and an unselected tab.
    poke_ok("post", "WM_COMMAND", "2013", "0", TOP)
    poke_ok("post", "WM_COMMAND", "2012", "0", TOP)
    rig.wait_until(lambda: sum(1 for c in children(TOP) if c[1] in ("KXNumWin", "KXChartWin")) >= 2,
                   what="two hosted windows")
    # Toolbar buttons, enabled and disabled (without firmware or probe several are greyed).
    toolbar = [c for c in children(TOP) if c[1] == "Button" and 2001 <= int(c[2]) <= 2116]
    buttons = {int(c[2]): rect("--hwnd=" + c[0]) for c in toolbar if c[3] == "1"}
    greyed = [rect("--hwnd=" + c[0]) for c in toolbar if c[3] == "0"]
    assert len(buttons) >= 5 and len(greyed) >= 2, toolbar
    strip = tab_strip(rect(TOP, "--child-id=3021"))

    def light_everywhere(shot):
        looks = [button_look(shot, r) for r in list(buttons.values()) + greyed]
        return dict(face=max(x["face"] for x in looks), dark=max(x["dark"] for x in looks),
                    **{"strip_" + k: v for k, v in strip_look(shot, strip).items()})

    def is_light(v):
        # Light faces with dark text; no dark face, no dark strip.
        return v["face"] < 0.05 and v["dark"] > 10 and v["strip_strip"] < 0.1 and v["strip_selected"] < 0.1

    shot_until(display, shots_dir / "controls_light_start.png", light_everywhere, is_light)

    poke_ok("post", "WM_COMMAND", "2701", "0", TOP)
    k.wait_log(r"\[INFO\] 界面主题: 深色")

    def dark_toolbar(shot):
        looks = {i: button_look(shot, r) for i, r in buttons.items()}
        # Disabled text is dim: between the disabled face and a little above its own colour (the
        # Chinese glyphs are antialiased, so few of their pixels have the text colour itself).
        dim = (lum(DISABLED_FACE) + 25, lum(DISABLED_TEXT) + 20)
        off = dict(face=min(shot.share(r, DISABLED_FACE, inset=2) for r in greyed),
                   text=min(shot.count_where(r, lambda p: dim[0] <= lum(p) <= dim[1]) for r in greyed),
                   bright=max(shot.count_where(r, lambda p: lum(p) > 200) for r in greyed))
        return looks, off, strip_look(shot, strip)

    def is_dark(v):
        looks, off, tabs = v
        readable = all(x["face"] > 0.5 and x["light"] > 15 for x in looks.values())
        return (readable and off["face"] > 0.4 and off["text"] > 15 and off["bright"] == 0 and tabs["strip"] + tabs["selected"] > 0.6
                and tabs["selected"] > 0.1 and tabs["accent"] > 0.01 and tabs["text"] > 15)

    shot_until(display, shots_dir / "controls_dark_toggled.png", dark_toolbar, is_dark)

    # Pressed: the accent fills the button, the text stays readable.
    poke_ok("post", hex(BM_SETSTATE), "1", "0", TOP, "--child-id=2001")
    shot_until(display, shots_dir / "controls_dark_pressed.png",
               lambda shot: button_look(shot, buttons[2001]), lambda v: v["accent"] > 0.5 and v["light"] > 15)
    poke_ok("post", hex(BM_SETSTATE), "0", "0", TOP, "--child-id=2001")
    shot_until(display, shots_dir / "controls_dark_released.png",
               lambda shot: button_look(shot, buttons[2001]), lambda v: v["accent"] < 0.05 and v["face"] > 0.5)

    # A dialog opened in the dark: its default button is outlined with the accent, the other plain.
    poke_ok("post", "WM_COMMAND", "2801", "0", TOP)
    dialog = poke_ok("find", "--class=KXDlgNetCfg", wait=10000)[0].split("\t")[0]
    ok = rect("--hwnd=" + dialog, "--child-id=2423")
    cancel = rect("--hwnd=" + dialog, "--child-id=2424")

    def dialog_buttons(shot):
        return button_look(shot, ok), button_look(shot, cancel)

    shot_until(display, shots_dir / "controls_dark_dialog.png", dialog_buttons,
               lambda v: all(b["face"] > 0.4 and b["light"] > 10 for b in v)
               and v[0]["accent"] > 0.05 and v[1]["accent"] < 0.01)
    # Tab from the address field past port and key onto "确定", then onto "取消": the focused
    # button carries the accent outline and the focus mark, and the default mark moved with the
    # focus, as the dialog manager moves it between platform-drawn push buttons.
    address = next(c[0] for c in children("--hwnd=" + dialog) if c[2] == "2421")
    for _ in range(4):
        poke_ok("key", "TAB", f"--hwnd={address}")
    shot_until(display, shots_dir / "controls_dark_dialog_focus.png", dialog_buttons,
               lambda v: v[1]["accent"] > 0.05 and v[0]["accent"] < 0.01)
    # Enter presses the focused button, as it would a platform-drawn one: "取消", not "确定".
    poke_ok("key", "ENTER", f"--hwnd={address}")
    poke_ok("wait-gone", "--hwnd=" + dialog, wait=10000)
    assert "网络配置: 127.0.0.1" not in k.text(), "Enter on the focused 取消 pressed 确定"

    # Back to light: the platform draws buttons and strip again, every existing one at once.
    poke_ok("post", "WM_COMMAND", "2701", "0", TOP)
    k.wait_log(r"\[INFO\] 界面主题: 白色")
    shot_until(display, shots_dir / "controls_light_toggled.png", light_everywhere, is_light)
    assert not re.search(r"\[ERROR\]", k.text())


def test_disabled_toolbar_lists_are_drawn_dim(kestrelix, display, shots_dir):
    """In the network channel the core, interface and probe lists are disabled: they are drawn
    with dim text (entry 3) like every other disabled control, not in the black of a list one can
    still change."""
    k = kestrelix("--no-layout")
    k.wait_log("Kestrelix 已启动")
    one_main_window()
    lists = [rect(TOP, f"--child-id={i}") for i in (2101, 2102, 2104)]

    def ink(shot):
        # Pixels as dark as list text (black in the light theme); the frame (entry 4) is lighter.
        return [shot.count_where(r, lambda p: lum(p) < 80) for r in lists]

    shot_until(display, shots_dir / "lists_enabled.png", ink, lambda v: min(v) > 20)
    entries = int(poke_ok("send", "0x0146", "0", "0", TOP, "--child-id=2106")[0])  # CB_GETCOUNT
    poke_ok("send", "0x014E", str(entries - 1), "0", TOP, "--child-id=2106")  # CB_SETCURSEL: "网络"
    handle = [c for c in children(TOP) if c[2] == "2106"][0][0]
    poke_ok("post", "WM_COMMAND", str((1 << 16) | 2106), str(int(handle, 16)), TOP)  # CBN_SELCHANGE
    k.wait_log(r"\[INFO\] 通道切换: 网络")
    assert [c[3] for c in children(TOP) if c[2] in ("2101", "2102", "2104")] == ["0", "0", "0"]
    shot, value = shot_until(display, shots_dir / "lists_disabled.png", ink, lambda v: max(v) == 0)
    dim = [shot.count_where(r, lambda p: abs(p[0] - 0x78) < 24 and abs(p[1] - 0x78) < 24) for r in lists]
    assert min(dim) > 5, dim  # the text is still there, in entry 3
