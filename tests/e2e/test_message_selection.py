"""The message panel keeps a selected message selected while new log lines arrive above it, so a
copy takes the rows the user picked, not the ones that slid into their places."""
import rig
from kxpoke import fields, one_main_window, poke_ok

TOP = "--class=KestrelixMain"
MESSAGE_LIST = "--child-id=3001"


def messages():
    return [fields(line)[2] for line in poke_ok("listview", TOP, MESSAGE_LIST)]


def test_selection_follows_its_message_while_lines_arrive(kestrelix):
    k = kestrelix()
    k.wait_log("设备扫描")
    one_main_window()
    picked = messages()[2]
    assert poke_ok("send", "WM_APP+31", "2", "1", TOP) == ["1"]
    # Collapsing and expanding the panel logs two lines at the top of the list.
    poke_ok("send", "WM_APP+32", "1", "0", TOP)
    poke_ok("send", "WM_APP+32", "0", "0", TOP)
    rig.wait_until(lambda: messages()[4] == picked, what="the picked message two rows further down")
    poke_ok("send", "WM_COMMAND", "2601", "0", TOP)
    k.wait_log("已复制 1 条消息")
    copied = "\n".join(fields(line)[0] for line in poke_ok("clipboard"))
    assert picked in copied, copied
    # The copy's own log line moved the selection once more: a second copy takes the same row.
    poke_ok("send", "WM_COMMAND", "2601", "0", TOP)
    rig.wait_until(lambda: k.text().count("已复制 1 条消息") == 2, what="the second copy")
    copied = "\n".join(fields(line)[0] for line in poke_ok("clipboard"))
    assert picked in copied, copied
