"""The help window: F1 opens the embedded manual once, Escape closes it."""
from kxpoke import close_main_window, poke, poke_ok


def test_help_opens_once_and_closes_with_escape(kestrelix):
    k = kestrelix("--no-layout", "--net-exit=120000")
    k.wait_log("Kestrelix 已启动")
    poke_ok("post", "WM_COMMAND", "2702", "0", "--class=KestrelixMain", wait=10000)
    k.wait_log(r"\[INFO\] 帮助文档已打开 \(F1\)")
    lines = poke_ok("find", "--class=KXHelpWin", wait=10000)
    assert len(lines) == 1 and lines[0].endswith("\tKestrelix 帮助 — 用户说明书"), lines
    text = poke_ok("gettext", "--class=KXHelpWin", "--child-class=Edit")
    assert text and text[0].startswith("# Kestrelix 用户说明书\\r\\n"), text[:1]
    # F1 again only brings the open window to the front.
    poke_ok("post", "WM_COMMAND", "2702", "0", "--class=KestrelixMain")
    poke_ok("find", "--class=KestrelixMain")  # a round trip so the command has been handled
    assert len(poke_ok("find", "--class=KXHelpWin")) == 1
    assert k.text().count("帮助文档已打开 (F1)") == 1
    poke_ok("key", "ESCAPE", "--class=KXHelpWin", "--child-class=Edit")
    assert poke("wait-gone", "--class=KXHelpWin", wait=10000)[0] == 0
    close_main_window()
    assert k.wait_exit(60) == 0
