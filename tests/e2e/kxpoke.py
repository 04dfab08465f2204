"""kxpoke from Python: runs out/win64/kxpoke.exe under Wine and splits its results.

    rc, lines = poke("find", "--class=KestrelixMain", wait=10000)
    rc, lines = poke("listview", "--class=KestrelixMain", "--child-id=1001")
    for line in lines: cells = fields(line)

kxpoke prints UTF-8, one result per line, fields separated by tabs, with backslash, tab, CR and LF
inside a field escaped as \\ \t \r \n; fields() splits a line and undoes the escapes.
Exit codes: 0 done, 1 not found or failed, 2 usage error.

Environment: KX_WINE_DISPLAY (required: the X display the program under test runs on; the e2e
session sets it to its own Xvfb), WINEPREFIX (the rig's build/wineprefix by default;
it must be the prefix the program under test runs in), KX_WINE (the wine command, default "wine").
kxpoke must run on the same Wine desktop as the window it looks for: with the rig's registry
default desktop every program shares one.
"""
import os
import shlex
import subprocess
import tempfile

import rig

KXPOKE = rig.OUT / "kxpoke.exe"

# The last call's stderr, for assertion messages.
last_error = ""


def poke_env():
    # No default: a display number guessed here may belong to another suite running at the same
    # time, whose windows kxpoke would then find.
    display = os.environ.get("KX_WINE_DISPLAY")
    if not display:
        raise RuntimeError("KX_WINE_DISPLAY is not set: name the X display of the program under test "
                           "(the e2e session's display fixture sets it)")
    env = rig.wine_env(display)
    # Wine turns the Unix command line into UTF-16 with the locale's character set: without a
    # UTF-8 locale, non-ASCII titles and texts would not survive.
    env["LC_ALL"] = "C.UTF-8"
    return env


# Commands that only look: running one again changes nothing on the desktop.
QUERIES = {"find", "children", "gettext", "listview", "treeview", "rect", "clipboard", "wait-gone"}

# Wine's own error and exception channels: what Wine says when a program dies before it could.
DIAGNOSTIC_WINEDEBUG = "err+all,+seh"


def run_kxpoke(cmd, env, timeout):
    """One run of kxpoke; returns (exit code, stdout text, stderr text)."""
    # Output goes through files, not pipes: the first Wine program of a session starts Wine's own
    # background processes (the desktop's explorer, services), which inherit the standard handles
    # and would hold a pipe open long after kxpoke has exited.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        proc = subprocess.run(cmd, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err, timeout=timeout)
        out.seek(0)
        err.seek(0)
        return (proc.returncode, out.read().decode("utf-8", errors="replace"),
                err.read().decode("utf-8", errors="replace"))


def is_query(args):
    first = str(args[0]) if args else ""
    return first in QUERIES or (first == "msgbox" and not any(str(a).startswith("--press") for a in args))


def poke(*args, wait=None, timeout=60):
    """Runs one kxpoke command; returns (exit code, stdout lines without line ends).

    kxpoke names the reason of every failure on stderr. A failure with nothing on stderr comes
    from below it (Wine could not start it, or it died): the command then runs once more with
    Wine's error and exception channels on, and last_error keeps what they said, so the failure
    names its cause. The result stays the first run's, except for a pure query, whose second
    answer is as good as the first."""
    global last_error
    cmd = shlex.split(os.environ.get("KX_WINE", "wine")) + [str(KXPOKE)] + [str(a) for a in args]
    if wait is not None:
        cmd.append(f"--wait={int(wait)}")
    env = poke_env()
    rc, text, last_error = run_kxpoke(cmd, env, timeout)
    if rc != 0 and not last_error.strip():
        env["WINEDEBUG"] = DIAGNOSTIC_WINEDEBUG
        rc2, text2, err2 = run_kxpoke(cmd, env, timeout)
        last_error = (f"exit {rc} with nothing on stderr; run again with WINEDEBUG={DIAGNOSTIC_WINEDEBUG}: "
                      f"exit {rc2}, stderr:\n{err2[-4000:]}")
        if is_query(args):
            rc, text = rc2, text2
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    return rc, lines


def poke_ok(*args, wait=None, timeout=60):
    """poke() that must succeed; returns the lines."""
    rc, lines = poke(*args, wait=wait, timeout=timeout)
    assert rc == 0, f"kxpoke {' '.join(map(str, args))} -> {rc}: {last_error.strip()}"
    return lines


_ESCAPES = {"\\": "\\", "t": "\t", "r": "\r", "n": "\n"}


def unescape(field):
    """Undoes kxpoke's field escapes (\\\\ \\t \\r \\n)."""
    out = []
    i = 0
    while i < len(field):
        c = field[i]
        if c == "\\" and i + 1 < len(field) and field[i + 1] in _ESCAPES:
            out.append(_ESCAPES[field[i + 1]])
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def fields(line):
    """One result line as its unescaped fields."""
    return [unescape(f) for f in line.split("\t")]


def popup_menu(wait=10000):
    """The popup menu on screen. The previous menu's window can linger hidden for a moment on a
    busy machine, so only a shown one counts."""
    return fields(poke_ok("find", "--class=#32768", "--visible", wait=wait)[0])[0]


def pick_menu_item(menu, downs, wait_gone=True):
    """Moves `downs` items down the open popup menu, presses Enter and (unless the item opens a
    modal dialog) waits until the menu is gone."""
    for _ in range(downs):
        poke_ok("key", "DOWN", f"--hwnd={menu}")
    poke_ok("key", "ENTER", f"--hwnd={menu}")
    if wait_gone:
        poke_ok("wait-gone", f"--hwnd={menu}", wait=10000)


def no_window(cls, timeout=30):
    """Waits until no top-level window of this class is left. A run that was ended (or that exited
    by itself) can keep its windows for a moment under Wine; a test that then selects windows by
    class would reach the closing instance and fail by timing."""
    rig.wait_until(lambda: not poke("find", f"--class={cls}")[1], timeout=timeout,
                   what=f"no {cls} window of an earlier run")


def no_main_window(timeout=30):
    """Waits until no main window of an earlier run is left (see no_window)."""
    no_window("KestrelixMain", timeout)


def settle_before_start(started, cls="KestrelixMain"):
    """Called before each start in a test: when every instance the test started before has ended
    (or there was none), their windows must be gone too before the next start, since the new
    instance is then found by class. While one still runs the test tells them apart itself."""
    if all(k.proc.poll() is not None for k in started):
        no_window(cls)


def close_main_window():
    """Closes the only Kestrelix main window through the normal close path, the one --net-exit=
    takes, once the test has seen what it waited for: a short --net-exit= would close it after a
    fixed time instead, which a busy machine can reach before the test's own steps are done."""
    poke_ok("post", "WM_CLOSE", "0", "0", "--class=KestrelixMain", wait=10000)


def one_main_window(timeout=30):
    """Waits until a single main window is left: the instance of the previous test may still be
    closing, and selectors by class would otherwise find its windows."""
    rig.wait_until(lambda: len(poke("find", "--class=KestrelixMain")[1]) == 1, timeout=timeout,
                    what="a single main window")
