"""pytest fixtures of the e2e suite: one Xvfb display and one wineserver for the session."""
import os
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent))
import rig  # noqa: E402
from kxpoke import settle_before_start  # noqa: E402


@pytest.fixture(scope="session")
def display():
    subprocess.run([str(rig.ROOT / "tools" / "wine_rig.sh"), "prefix"], check=True, timeout=300)
    d = rig.Display().start()
    os.environ["KX_WINE_DISPLAY"] = d.name
    env = rig.wine_env(d.name)
    # A persistent wineserver keeps every start in the session fast.
    subprocess.Popen(["wineserver", "-p"], env=env).wait(30)
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
