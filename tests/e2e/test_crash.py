"""The crash filter under Wine: a fault three calls deep in a worker thread of an optimised build,
and one on the window thread of the program's own crash-test build, write the report with a real
stack and show the box naming the log file in use."""
import re
import subprocess

import pytest

import rig
from kxpoke import no_main_window, one_main_window, poke, poke_ok

PROBE = rig.OUT / "tests" / "kx_crash_probe.exe"
NM = "x86_64-w64-mingw32-nm"
OBJDUMP = "x86_64-w64-mingw32-objdump"


def function_ranges(exe):
    """{name: (start offset, end offset)} of the probe's functions, as offsets into the image."""
    base = None
    for line in subprocess.run([OBJDUMP, "-p", str(exe)], capture_output=True, text=True, check=True).stdout.splitlines():
        if line.startswith("ImageBase"):
            base = int(line.split()[1], 16)
    symbols = []
    for line in subprocess.run([NM, "-n", str(exe)], capture_output=True, text=True, check=True).stdout.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[1] in "tT":
            symbols.append((int(parts[0], 16) - base, parts[2]))
    ranges = {}
    for (start, name), (end, _) in zip(symbols, symbols[1:]):
        ranges[name] = (start, end)
    return ranges


def run_probe(display, log, *extra):
    env = rig.wine_env(display.name)
    proc = subprocess.Popen(["wine", str(PROBE), rig.win_path(log), *extra], env=env,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        rc, lines = poke("msgbox", "--title=Kestrelix 崩溃", "--press=ok", wait=30000)
        assert rc == 0, lines
        proc.wait(30)
    finally:
        if proc.poll() is None:
            proc.kill()
    return "\n".join(lines), rig.read_log(log).lstrip("\ufeff").splitlines()


def frame_lists(lines, stamp):
    """The captured list and the walked list: each starts at its own #00."""
    lists = []
    for line in lines:
        m = re.fullmatch(re.escape(stamp) + r" \[FATAL\]   #(\d\d) 0x(?:0x)?([0-9A-Fa-f]+)  (.*)\+0x([0-9A-F]+)", line)
        assert m, line
        if m.group(1) == "00":
            lists.append([])
        lists[-1].append((m.group(3), int(m.group(4), 16)))
    return lists


def function_at(ranges, offset):
    for name, (start, end) in ranges.items():
        if start <= offset < end:
            return name
    return None


@pytest.mark.parametrize("mode", ["plain", "held"])
def test_fault_reports_the_real_stack(display, tmp_path, mode):
    log = tmp_path / "crash report.log"
    box, lines = run_probe(display, log, *(["held"] if mode == "held" else []))
    # The box names the log file actually written (the probe's override path), not a default name.
    assert "Kestrelix 发生未处理异常，详细信息已写入日志文件 " in box and "crash report.log" in box, box
    assert lines[0].endswith("[INFO] crash probe ready")
    m = re.fullmatch(r"(\S+ \S+) \[FATAL\] unhandled exception code=0xC0000005 at 0x[0-9A-Fa-f]+  "
                     r".*kx_crash_probe\.exe\+0x([0-9A-F]+)", lines[1])
    assert m, lines[1]
    ranges = function_ranges(PROBE)
    assert function_at(ranges, int(m.group(2), 16)) == "kx_probe_fault_here", m.group(2)

    captured, walked = frame_lists(lines[2:], m.group(1))
    # The stack as the filter saw it starts in the filter itself.
    assert captured[0][0].endswith("kx_crash_probe.exe")
    assert "crash_filter" in (function_at(ranges, captured[0][1] - 1) or ""), captured[:3]
    # The walk from the fault's context: the faulting function, then its callers in order, found
    # through the unwind tables of a build without frame pointers. A return address points just
    # past its call, so it is looked up one byte back.
    names = [function_at(ranges, off if i == 0 else off - 1) for i, (_, off) in enumerate(walked)]
    assert names[:3] == ["kx_probe_fault_here", "kx_probe_middle", "kx_probe_outer"], (names, walked)


CRASHTEST = rig.OUT / "tests" / "Kestrelix_crashtest.exe"


def test_the_program_itself_reports_its_fault_with_the_faulting_function(kestrelix, display, tmp_path):
    """The crash-test build of the whole program (the shipped one has no way to fault on purpose),
    with firmware loaded and windows open, faults on its window thread: the box names the log in
    use and the report's walk starts in the faulting function, then its callers."""
    if not CRASHTEST.exists():
        pytest.skip("Kestrelix_crashtest.exe not built")
    shipped = subprocess.run([NM, str(rig.EXE)], capture_output=True, text=True, check=True).stdout
    assert "kx_crashtest" not in shipped and "crashtest_command" not in shipped

    demo = rig.OUT / "demo.elf"
    args = ["--no-layout", "--net-exit=120000"] + ([rig.win_path(demo), "--watch=g_wave.sine"] if demo.exists() else [])
    no_main_window()
    k = rig.Kestrelix(display, tmp_path, args, log_name="crash test run.log", exe=CRASHTEST).start()
    try:
        k.wait_log(r"\[INFO\] Kestrelix 已启动")
        one_main_window()
        poke_ok("post", "WM_COMMAND", "2013", "0", "--class=KestrelixMain")  # a numeric window open
        rig.wait_until(lambda: any("\tKXNumWin\t" in line for line in poke_ok("children", "--class=KestrelixMain")),
                       what="the numeric window")
        poke_ok("post", "WM_COMMAND", "2999", "0", "--class=KestrelixMain")
        rc, box = poke("msgbox", "--title=Kestrelix 崩溃", wait=30000)
        assert rc == 0, box
        box = "\n".join(box)
        assert "Kestrelix 发生未处理异常，详细信息已写入日志文件 " in box and "crash test run.log" in box, box
        poke_ok("msgbox", "--title=Kestrelix 崩溃", "--press=ok")
        k.proc.wait(30)
    finally:
        k.kill()

    lines = k.text().lstrip("\ufeff").splitlines()
    fatal = [i for i, line in enumerate(lines) if "[FATAL] unhandled exception" in line]
    assert len(fatal) == 1, lines[-20:]
    m = re.fullmatch(r"(\S+ \S+) \[FATAL\] unhandled exception code=0xC0000005 at 0x[0-9A-Fa-f]+  "
                     r".*Kestrelix_crashtest\.exe\+0x([0-9A-F]+)", lines[fatal[0]])
    assert m, lines[fatal[0]]
    ranges = function_ranges(CRASHTEST)
    assert function_at(ranges, int(m.group(2), 16)) == "kx_crashtest_fault_here", m.group(2)
    report = [line for line in lines[fatal[0] + 1:] if line.startswith(m.group(1) + " [FATAL]   #")]
    captured, walked = frame_lists(report, m.group(1))
    assert "crash_filter" in (function_at(ranges, captured[0][1] - 1) or ""), captured[:3]
    names = [function_at(ranges, off if i == 0 else off - 1) for i, (_, off) in enumerate(walked)]
    assert names[:3] == ["kx_crashtest_fault_here", "kx_crashtest_middle", "kx_crashtest_outer"], (names, walked)
    # Further up, the command that led there: the window procedure's path is in the walk too.
    assert any("main_window_command_hook" in (n or "") for n in names[3:12]), names
