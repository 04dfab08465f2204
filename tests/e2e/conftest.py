"""pytest fixtures of the e2e suite: one Xvfb display and one wineserver for the session."""
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import rig  # noqa: E402
from kxpoke import settle_before_start  # noqa: E402


def wineservers_of(prefix):
    """Pids of the wineserver processes of this WINEPREFIX: named in their environment, or (for
    one started with another spelling of the path) working in the server directory Wine names
    after the prefix's device and inode."""
    want = os.path.realpath(prefix)
    server_dir = None
    if os.path.isdir(want):
        st = os.stat(want)
        server_dir = f"/server-{st.st_dev:x}-{st.st_ino:x}"
    pids = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            # Debian's wineserver is a wrapper around wineserver64 (or wineserver32).
            if not Path(entry, "comm").read_text().startswith("wineserver"):
                continue
            environ = Path(entry, "environ").read_bytes().split(b"\0")
            cwd = os.readlink(entry / "cwd")
        except OSError:
            continue  # gone meanwhile, or not ours to read
        named = any(var.startswith(b"WINEPREFIX=")
                    and os.path.realpath(var[11:].decode(errors="replace")) == want for var in environ)
        if named or (server_dir and cwd.endswith(server_dir)):
            pids.append(int(entry.name))
    return pids


def end_lingering_wineservers(prefix):
    """Asks a leftover wineserver of the prefix to end (wineserver -k), then waits until no
    process of it is left; one that does not end in time is killed."""
    if not wineservers_of(prefix):
        return
    env = dict(os.environ, WINEPREFIX=prefix)
    subprocess.run(["wineserver", "-k"], env=env, timeout=30)
    try:
        rig.wait_until(lambda: not wineservers_of(prefix), timeout=15, what="the earlier wineserver's end")
    except AssertionError:
        for pid in wineservers_of(prefix):
            os.kill(pid, signal.SIGKILL)
        rig.wait_until(lambda: not wineservers_of(prefix), timeout=15, what="the killed wineserver's end")


@pytest.fixture(scope="session")
def display():
    # A wineserver of this prefix left by an earlier session that was aborted would hold that
    # session's windows and its display (and preparing the prefix would wait for it forever):
    # end it first.
    end_lingering_wineservers(rig.wine_env(":0")["WINEPREFIX"])
    subprocess.run([str(rig.ROOT / "tools" / "wine_rig.sh"), "prefix"], check=True, timeout=300)
    d = rig.Display().start()
    os.environ["KX_WINE_DISPLAY"] = d.name
    env = rig.wine_env(d.name)
    # A persistent wineserver keeps every start in the session fast.
    rc = subprocess.Popen(["wineserver", "-p"], env=env).wait(30)
    assert rc == 0, f"wineserver -p exited {rc}"
    yield d
    subprocess.run(["wineserver", "-k"], env=env, timeout=30)
    d.stop()


@pytest.fixture
def kestrelix(display, tmp_path):
    """Factory: kestrelix(args...) starts Kestrelix.exe; every instance is ended after the test."""
    started = []
    rig.clear_appdata()

    def start(*args, log_name="kestrelix.log"):
        settle_before_start(started)
        k = rig.Kestrelix(display, tmp_path, args, log_name=log_name).start()
        started.append(k)
        return k

    yield start
    for k in started:
        k.kill()


@pytest.fixture
def shots_dir():
    d = rig.ROOT / "out" / "e2e-shots"
    d.mkdir(parents=True, exist_ok=True)
    return d


def pytest_runtest_logreport(report):
    """A test that passed on a rerun must still tell why its first attempt failed: a flaky test
    is a fault of the suite, and the rerun summary alone names it without the cause."""
    if report.outcome != "rerun":
        return
    reruns = rig.ROOT / "out" / "e2e" / "reruns.txt"
    reruns.parent.mkdir(parents=True, exist_ok=True)
    with reruns.open("a", encoding="utf-8") as f:
        f.write(f"===== {report.nodeid} ({report.when}) =====\n{report.longreprtext}\n")
    sys.stderr.write(f"\nrerun {report.nodeid}: first attempt failed, cause in {reruns}\n"
                     f"{report.longreprtext[-3000:]}\n")
