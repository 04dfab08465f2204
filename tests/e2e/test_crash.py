"""The crash filter under Wine: a fault in a worker thread writes the report and shows the box."""
import re
import subprocess
import time

import rig
from kxpoke import poke


def test_fault_in_thread_writes_report(display, tmp_path):
    log = tmp_path / "crash.log"
    env = rig.wine_env(display.name)
    proc = subprocess.Popen(["wine", str(rig.OUT / "tests" / "kx_crash_probe.exe"), rig.win_path(log)],
                            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        rc, lines = poke("msgbox", "--title=Kestrelix 崩溃", "--press=ok", wait=30000)
        assert rc == 0, lines
        assert "Kestrelix 发生未处理异常，详细信息已写入日志文件 kestrelix.log。" in "\n".join(lines)
        proc.wait(30)
    finally:
        if proc.poll() is None:
            proc.kill()
    text = rig.read_log(log)
    lines = text.lstrip("\ufeff").splitlines()
    assert lines[0].endswith("[INFO] crash probe ready")
    header = lines[1]
    m = re.fullmatch(r"(\S+ \S+) \[FATAL\] unhandled exception code=0xC0000005 at 0x[0-9A-Fa-f]+  "
                     r".*kx_crash_probe\.exe\+0x[0-9A-F]+", header)
    assert m, header
    stamp = m.group(1)
    frames = lines[2:]
    assert frames and all(f.startswith(stamp + " [FATAL]   #") for f in frames), frames
    assert any("#00" in f for f in frames)
