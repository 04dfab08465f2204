"""The release zip as a Windows user gets it: `tools/dist.sh` packs the program tree and nothing a
developer's runs leave behind, every executable and DLL names itself and the release in its
version resource, README.txt describes every file it ships, and the unpacked folder (in a path
with a blank) starts, loads its modules and opens the demo firmware without anything else."""
import re
import subprocess
import sys
import zipfile

import pytest

import rig
from kxpoke import no_main_window

sys.path.insert(0, str(rig.ROOT / "tools"))
import pe_resources  # noqa: E402

# What a developer's own runs may leave in out/win64: none of it belongs in the zip.
STRAY = ["kestrelix.log", "layout.ini", "chart_shot.bmp", "dll/gdbremote.ini", "dll/sim.ini"]


def version():
    text = (rig.ROOT / "CMakeLists.txt").read_text()
    return re.search(r"project\(Kestrelix VERSION ([0-9.]+)", text).group(1)


@pytest.fixture
def release_zip():
    if not (rig.OUT / "loaders").is_dir():
        pytest.skip("loader images missing (make loaders)")
    planted = []
    for rel in STRAY:
        path = rig.OUT / rel
        if not path.exists():
            path.write_text("left by a developer's run\n")
            planted.append(path)
    try:
        run = subprocess.run(["tools/dist.sh"], cwd=rig.ROOT, capture_output=True, text=True, timeout=600)
    finally:
        for path in planted:
            path.unlink()
    assert run.returncode == 0, run.stdout + run.stderr
    path = rig.ROOT / "out" / f"Kestrelix-{version()}-win64.zip"
    assert path.is_file(), run.stdout
    return path


def test_zip_holds_the_program_tree_and_nothing_else(release_zip, tmp_path):
    top = f"Kestrelix-{version()}-win64/"
    with zipfile.ZipFile(release_zip) as z:
        names = {n[len(top):] for n in z.namelist() if not n.endswith("/")}
        assert all(n.startswith(top) for n in z.namelist()), z.namelist()
        # A name that is not plain ASCII must be marked UTF-8, or Windows reads it in the OEM
        # code page ("使用手册.md" would unpack under a garbled name).
        for info in z.infolist():
            assert info.filename.isascii() or info.flag_bits & 0x800, info.filename
        z.extractall(tmp_path)
    expected = {"Kestrelix.exe", "kxtool.exe", "README.txt", "使用手册.md"}
    expected |= {f"dll/{p.name}" for p in (rig.OUT / "dll").glob("*.dll")}
    expected |= {f"loaders/{p.name}" for p in (rig.OUT / "loaders").glob("*.stldr")}
    expected |= {p.name for p in rig.OUT.glob("demo*.elf")}
    assert names == expected, (sorted(names - expected), sorted(expected - names))
    assert {"dll/sim.dll", "dll/network.dll", "dll/target_gdb.dll"} <= names

    root = tmp_path / top
    files, faults = pe_resources.check(root, True, "Kestrelix.exe", version())
    assert not faults, faults
    assert len(files) == len([n for n in names if n.endswith((".exe", ".dll"))])

    readme = (root / "README.txt").read_bytes()
    assert readme.startswith(b"\xef\xbb\xbf")  # Notepad: UTF-8 with its mark, CRLF line ends
    assert readme.count(b"\n") == readme.count(b"\r\n") > 10
    text = readme.decode("utf-8-sig")
    assert version() in text and "@VERSION@" not in text
    for name in names:
        if name.endswith((".exe", ".dll", ".elf")):
            assert name.replace("/", "\\") in text, f"README.txt does not mention {name}"


def test_unzipped_folder_with_a_blank_starts_and_opens_the_demo(release_zip, display, tmp_path):
    dest = tmp_path / "My Tools"
    with zipfile.ZipFile(release_zip) as z:
        z.extractall(dest)
    folder = dest / f"Kestrelix-{version()}-win64"
    rig.clear_appdata()
    # As Explorer's "Open with" starts it: the exe's own folder, the firmware path (Wine quotes it
    # for its blank, as Explorer does), no options, so the log goes to its place beside the exe.
    elf = rig.win_path(folder / "demo.elf")
    no_main_window()
    proc = subprocess.Popen(["wine", str(folder / "Kestrelix.exe"), elf], env=rig.wine_env(display.name),
                            cwd=folder, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    log = folder / "kestrelix.log"
    try:
        need = ["已加载模块: SimLink", "已加载模块: GDB Server", "网络模块: network", "驱动模块: SimLink",
                "已加载 ELF: " + rig.win_path(folder / "demo.elf")]
        rig.wait_until(lambda: all(n in rig.read_log(log) for n in need), timeout=90,
                       what="modules and the demo firmware in " + str(log))
        text = rig.read_log(log)
        assert "[ERROR]" not in text and "[WARN]" not in text, text[-2000:]
    finally:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
        # The folder is removed with tmp_path: the program's windows (and its hold on the
        # folder's files) must be gone first.
        no_main_window()
