"""The e2e rig: Xvfb display, Wine environment and a Kestrelix runner that waits on log lines."""
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
OUT = ROOT / "out" / "win64"
EXE = OUT / "Kestrelix.exe"


def wine_env(display):
    env = dict(os.environ)
    env["WINEPREFIX"] = os.environ.get("WINEPREFIX", str(ROOT / "build" / "wineprefix"))
    env["WINEARCH"] = "win64"
    env["WINEDEBUG"] = os.environ.get("WINEDEBUG", "-all")
    env["WINEDLLOVERRIDES"] = os.environ.get("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env["DISPLAY"] = display
    # Wine converts the Unix command line with the locale's character set: keep non-ASCII intact.
    env["LC_ALL"] = "C.UTF-8"
    env.pop("LOCALAPPDATA", None)
    return env


def appdata_dir():
    """The prefix's LOCALAPPDATA\\Kestrelix folder (Wine sets LOCALAPPDATA from its own profile,
    whatever the Unix environment says), where the layout file and the recording cache live."""
    prefix = Path(os.environ.get("WINEPREFIX", str(ROOT / "build" / "wineprefix")))
    users = sorted((prefix / "drive_c" / "users").glob("*/AppData/Local"))
    users = [u for u in users if u.parent.parent.name != "Public"]
    return (users[0] if users else prefix / "drive_c" / "users" / "root" / "AppData" / "Local") / "Kestrelix"


def clear_appdata():
    """Removes the saved layout and recording cache, so every test starts like a first run."""
    shutil.rmtree(appdata_dir(), ignore_errors=True)


def wait_until(check, timeout=30, what="the condition", interval=0.1):
    """Polls check() until it returns a true value, which is returned: tests wait on the state they
    need, never for a fixed time. Fails naming `what` after `timeout` seconds."""
    deadline = time.time() + timeout
    while True:
        value = check()
        if value:
            return value
        if time.time() >= deadline:
            raise AssertionError(f"{what} not reached within {timeout}s")
        time.sleep(interval)


def free_port():
    """A loopback TCP port nobody listens on at this moment. Someone else may take it before
    Kestrelix binds it: tests that listen go through listen_on_free_port, which tries again."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def refused_port(preferred=0):
    """(socket, port): a loopback port bound by this test and never listening, so every connect to
    it is refused for as long as the socket stays open; nobody else can start listening there in
    the meantime. `preferred` (a port just given up by a listener of the test) is taken when it is
    still free, else the system picks one."""
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind(("127.0.0.1", preferred))
    except OSError:
        s.bind(("127.0.0.1", 0))
    return s, s.getsockname()[1]


def listen_on_free_port(listen, address="127.0.0.1", attempts=5, timeout=60, new_instance=True):
    """Calls listen(port) with a free port; listen makes a Kestrelix listen on it and returns that
    Kestrelix: a new instance started with --net-listen= (new_instance: a failed one is ended
    before the next try, so only the listening one stays on the desktop), or the toolbar of a
    running one. The network module logs either outcome; when the bind failed because another
    program took the port in the meantime, the next call gets another port.
    Returns (kestrelix, port)."""
    tried = set()
    for _ in range(attempts):
        port = free_port()
        if port in tried:
            continue
        tried.add(port)
        k = listen(port)
        m = k.wait_log(rf"网络模块: (正在监听|监听失败) {re.escape(address)}:{port}\b", timeout)
        if m.group(1) == "正在监听":
            return k, port
        if new_instance:
            k.kill()
    raise AssertionError(f"no listener on {address} after trying ports {sorted(tried)}")


def win_path(path):
    """A Unix path as Wine's Z: drive sees it."""
    return "Z:" + str(Path(path).resolve()).replace("/", "\\")


class Display:
    """One Xvfb server for the session. Xvfb picks a free display number itself (-displayfd) and
    writes it once it accepts connections: the lock file it takes is the only test, so two suites
    started at once (other checkouts on the machine) never share a display."""

    def __init__(self):
        self.proc = None
        self.name = None

    def start(self):
        read_end, write_end = os.pipe()
        proc = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x1024x24",
                                 "-nolisten", "tcp"], pass_fds=(write_end,),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as f:
            ready, _, _ = select.select([f], [], [], 30)
            number = f.readline().strip() if ready else ""
        if not number.isdigit():
            proc.kill()
            raise RuntimeError("Xvfb did not start")
        self.proc, self.name = proc, f":{number}"
        return self

    def stop(self):
        if self.proc:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()

    def screenshot(self, path):
        """Root-window screenshot (the Wine virtual desktop) as PNG."""
        subprocess.run(["import", "-display", self.name, "-window", "root", str(path)], check=True,
                       timeout=30)
        return Path(path)


def read_log(path):
    """The log file's text (BOM kept), or '' when it does not exist yet."""
    try:
        return Path(path).read_bytes().decode("utf-8", errors="replace")
    except FileNotFoundError:
        return ""


class Kestrelix:
    """One Kestrelix.exe under Wine, started with options, observed through its log file."""

    def __init__(self, display, workdir, args=(), log_name="kestrelix.log", exe=EXE):
        self.display = display
        self.log = Path(workdir) / log_name
        self.args = [f"--log={win_path(self.log)}"] + list(args)
        self.env = wine_env(display.name)
        # Wine's own errors go to a file beside the log: an instance that exits before its log
        # opens (seen once as exit 1 with no log file) leaves only this account of why.
        if "WINEDEBUG" not in os.environ:
            self.env["WINEDEBUG"] = "err+all"
        self.wine_output = Path(workdir) / (log_name + ".wine.txt")
        self.exe = exe
        self.proc = None

    def start(self):
        with open(self.wine_output, "ab") as out:
            self.proc = subprocess.Popen(["wine", str(self.exe)] + self.args, env=self.env,
                                         stdout=out, stderr=subprocess.STDOUT)
        return self

    def text(self):
        return read_log(self.log)

    def wine_text(self):
        try:
            return self.wine_output.read_text(encoding="utf-8", errors="replace")
        except OSError:
            return ""

    def wait_log(self, pattern, timeout=60):
        """Waits until a log line matches the regular expression; returns the match."""
        rx = re.compile(pattern)
        deadline = time.time() + timeout
        while time.time() < deadline:
            m = rx.search(self.text())
            if m:
                return m
            if self.proc.poll() is not None:
                m = rx.search(self.text())
                if m:
                    return m
                raise AssertionError(f"Kestrelix exited ({self.proc.returncode}) before /{pattern}/:\n"
                                     + self.text()[-3000:] + "\nWine's output:\n" + self.wine_text()[-3000:])
            time.sleep(0.1)
        raise AssertionError(f"no log line /{pattern}/ within {timeout}s:\n" + self.text()[-3000:])

    def wait_exit(self, timeout=60):
        return self.proc.wait(timeout)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
