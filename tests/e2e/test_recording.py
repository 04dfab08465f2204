"""Recording and replay under Wine: the record button around an acquisition of the simulated
target with the save question answered both ways, and the two replays of the command line."""
import re
import time

import pytest

import rig
from kxpoke import poke

TWO = "g_motor.speed_rpm,g_wave.sine"


def need_sim():
    if not (rig.OUT / "dll" / "sim.dll").exists() or not (rig.OUT / "demo.elf").exists():
        pytest.skip("sim.dll or demo.elf not built")


def cache_files():
    """Every instance records into its own cache file, recording.<process id>.csv."""
    return sorted((rig.appdata_dir() / "cache").glob("recording.[0-9]*.csv"))


def cache_file():
    files = cache_files()
    assert len(files) <= 1, files
    return files[0] if files else rig.appdata_dir() / "cache" / "recording.none.csv"


def record_a_second(kestrelix):
    """Record on, connect, start, about a second of samples, record off (the save question)."""
    k = kestrelix("--no-layout", rig.win_path(rig.OUT / "demo.elf"), f"--watch={TWO}", "--net-exit=40000")
    k.wait_log(r"SimLink 设备扫描: 1 个")
    assert poke("click", "--class=KestrelixMain", "--child-id=2006", wait=10000)[0] == 0
    k.wait_log(re.escape("[INFO] 录制已开启（可先于采集；数据写入临时缓存）"))
    assert not cache_file().exists()  # nothing is opened before the acquisition starts
    assert poke("click", "--class=KestrelixMain", "--child-id=2002")[0] == 0
    k.wait_log(r"\[INFO\] 已连接: ")
    assert poke("click", "--class=KestrelixMain", "--child-id=2004")[0] == 0
    k.wait_log(r"采集落盘: RAM 缓冲 87381 样本\(约10MB\)，超出写 .*recording\.\d+\.csv")
    k.wait_log(r"采集速率: ", timeout=30)
    assert poke("click", "--class=KestrelixMain", "--child-id=2006")[0] == 0
    k.wait_log(r"\[INFO\] 采集落盘完成: .*recording\.\d+\.csv（\d+ 样本）")
    rc, lines = poke("msgbox", wait=10000)
    assert rc == 0 and lines and lines[0] == "录制\t是否保存录制的 log 数据？", lines
    return k


def test_declining_the_save_deletes_the_cache(kestrelix):
    need_sim()
    k = record_a_second(kestrelix)
    header = cache_file().read_bytes().split(b"\n")[0]
    assert header == "\ufefftimestamp_us,time_iso,g_motor.speed_rpm,g_wave.sine".encode("utf-8")
    assert poke("msgbox", "--press=no")[0] == 0
    k.wait_log(re.escape("[INFO] 用户放弃保存录制数据"))
    k.wait_log(r"\[INFO\] 录制缓存已清除: ")
    assert not cache_file().exists()
    assert poke("post", "WM_CLOSE", "0", "0", "--class=KestrelixMain")[0] == 0
    k.wait_exit(60)


def test_saving_copies_the_recording(kestrelix, tmp_path):
    need_sim()
    k = record_a_second(kestrelix)
    cached = cache_file().read_bytes()
    assert poke("msgbox", "--press=yes")[0] == 0
    # The save dialog: the proposed name "data.csv" replaced by a path in the test's folder.
    target = tmp_path / "saved.csv"
    rc, _ = poke("find", "--class=#32770", wait=10000)
    assert rc == 0
    rc, children = poke("children", "--class=#32770")
    edits = [c.split("\t") for c in children if c.split("\t")[1] == "Edit"]
    assert edits, children
    assert poke("settext", rig.win_path(target), f"--hwnd={edits[0][0]}")[0] == 0
    assert poke("key", "ENTER", f"--hwnd={edits[0][0]}")[0] == 0
    k.wait_log(r"\[INFO\] 录制已保存: .*saved\.csv（\d+ 样本）")
    k.wait_log(r"\[INFO\] 录制缓存已清除: ")
    saved = target.read_bytes()
    assert saved == cached
    lines = saved.decode("utf-8-sig").splitlines()
    assert len(lines) > 100
    for line in lines[1:]:
        fields = line.split(",")
        assert len(fields) == 4 and sum(1 for f in fields[2:] if f) == 1, line
    assert poke("post", "WM_CLOSE", "0", "0", "--class=KestrelixMain")[0] == 0
    k.wait_exit(60)


def test_two_instances_record_at_once_into_their_own_caches(kestrelix):
    """Two instances on one PC: each its own cache file; one clearing its cache after the save
    question neither touches the other's recording nor takes it for a crash leftover."""
    need_sim()
    args = ("--no-layout", rig.win_path(rig.OUT / "demo.elf"), f"--watch={TWO}", "--net-exit=180000")
    a = kestrelix(*args, log_name="a.log")
    a.wait_log(r"SimLink 设备扫描: 1 个")
    rc, lines = poke("find", "--class=KestrelixMain", wait=10000)
    assert rc == 0 and len(lines) == 1, lines
    main_a = lines[0].split("\t")[0]
    b = kestrelix(*args, log_name="b.log")
    b.wait_log(r"SimLink 设备扫描: 1 个")
    rc, lines = poke("find", "--class=KestrelixMain", wait=10000)
    assert rc == 0 and len(lines) == 2, lines
    main_b = next(line.split("\t")[0] for line in lines if line.split("\t")[0] != main_a)
    paths = []
    for k, hwnd in ((a, main_a), (b, main_b)):
        assert poke("click", f"--hwnd={hwnd}", "--child-id=2006", wait=10000)[0] == 0
        k.wait_log(re.escape("[INFO] 录制已开启"))
        assert poke("click", f"--hwnd={hwnd}", "--child-id=2002")[0] == 0
        k.wait_log(r"\[INFO\] 已连接: ")
        assert poke("click", f"--hwnd={hwnd}", "--child-id=2004")[0] == 0
        m = k.wait_log(r"采集落盘: RAM 缓冲 87381 样本\(约10MB\)，超出写 (.*recording\.\d+\.csv)")
        paths.append((hwnd, m.group(1)))
    assert len(paths) == 2 and paths[0][1] != paths[1][1], paths
    a.wait_log(r"采集速率: ", timeout=30)
    b.wait_log(r"采集速率: ", timeout=30)
    # Both record at once; the first stops and declines to save.
    assert poke("click", f"--hwnd={paths[0][0]}", "--child-id=2006")[0] == 0
    a.wait_log(r"\[INFO\] 采集落盘完成: .*recording\.\d+\.csv（\d+ 样本）")
    assert poke("msgbox", "--press=no", wait=10000)[0] == 0
    a.wait_log(re.escape("[INFO] 用户放弃保存录制数据"))
    # The second goes on recording (one more rate line of its own), then finishes with its own
    # data intact.
    rates = b.text().count("采集速率: ")
    rig.wait_until(lambda: b.text().count("采集速率: ") > rates, timeout=30, what="another rate line of B")
    assert poke("click", f"--hwnd={paths[1][0]}", "--child-id=2006")[0] == 0
    m = b.wait_log(r"\[INFO\] 采集落盘完成: (.*recording\.\d+\.csv)（(\d+) 样本）")
    assert m.group(1) == paths[1][1] and int(m.group(2)) > 100
    files = cache_files()
    assert len(files) == 1 and files[0].name == paths[1][1].split("\\")[-1], files
    lines = files[0].read_bytes().decode("utf-8-sig").splitlines()
    assert lines[0] == "timestamp_us,time_iso,g_motor.speed_rpm,g_wave.sine"
    assert len(lines) == int(m.group(2)) + 1
    for k in (a, b):
        assert "上次运行留下的录制缓存" not in k.text()
    assert poke("msgbox", "--press=no", wait=10000)[0] == 0
    b.wait_log(re.escape("[INFO] 用户放弃保存录制数据"))
    for hwnd, _ in paths:
        assert poke("post", "WM_CLOSE", "0", "0", f"--hwnd={hwnd}")[0] == 0
    a.wait_exit(60)
    b.wait_exit(60)


def start_recording(k, hwnd):
    """Record on, connect and start in the instance behind this main window; its cache path."""
    assert poke("click", f"--hwnd={hwnd}", "--child-id=2006", wait=10000)[0] == 0
    k.wait_log(re.escape("[INFO] 录制已开启"))
    assert poke("click", f"--hwnd={hwnd}", "--child-id=2002")[0] == 0
    k.wait_log(r"\[INFO\] 已连接: ")
    assert poke("click", f"--hwnd={hwnd}", "--child-id=2004")[0] == 0
    m = k.wait_log(r"采集落盘: RAM 缓冲 87381 样本\(约10MB\)，超出写 (.*recording\.\d+\.csv)")
    return rig.appdata_dir() / "cache" / m.group(1).split("\\")[-1]


def new_main_window(known):
    rc, lines = poke("find", "--class=KestrelixMain", wait=10000)
    assert rc == 0, lines
    fresh = [line.split("\t")[0] for line in lines if line.split("\t")[0] not in known]
    assert len(fresh) == 1, lines
    return fresh[0]


def iso_seconds(text):
    t = time.strptime(text[:19], "%Y-%m-%d %H:%M:%S")
    return time.mktime(t) + int(text[20:26]) / 1e6


def test_closing_one_recording_instance_leaves_the_others_recording_whole(kestrelix):
    """An instance that starts while another one records (its cache already spilled to disk)
    takes that cache for no leftover; closing the first one mid-recording removes only its own
    cache, and the second records on without losing a line."""
    need_sim()
    watch = "g_motor.speed_rpm,g_wave.sine,g_wave.square,g_motor.current_a,g_wave.triangle"
    args = ("--no-layout", rig.win_path(rig.OUT / "demo.elf"), f"--watch={watch}", "--net-exit=180000")
    a = kestrelix(*args, log_name="a.log")
    a.wait_log(r"SimLink 设备扫描: 1 个")
    main_a = new_main_window([])
    cache_a = start_recording(a, main_a)
    # More than the RAM buffer holds: the recording is in A's file now, and nobody saved it.
    rig.wait_until(lambda: cache_a.exists() and cache_a.stat().st_size > 1000000, timeout=120,
                   what="A's cache file on disk")

    b = kestrelix(*args, log_name="b.log")
    b.wait_log(r"SimLink 设备扫描: 1 个")
    main_b = new_main_window([main_a])
    cache_b = start_recording(b, main_b)
    assert cache_b != cache_a
    b.wait_log(r"采集速率: ", timeout=30)
    assert cache_a.exists(), "B took A's running recording"
    assert "上次运行留下的录制缓存" not in b.text()
    assert not list((rig.appdata_dir() / "cache").glob("recording.recovered*"))

    # A closes while both record: it offers its own recording, which is declined.
    assert poke("post", "WM_CLOSE", "0", "0", f"--hwnd={main_a}")[0] == 0
    rc, lines = poke("msgbox", wait=20000)
    assert rc == 0 and lines and lines[0] == "录制\t是否保存录制的 log 数据？", lines
    assert poke("msgbox", "--press=no")[0] == 0
    a.wait_log(re.escape("[INFO] 用户放弃保存录制数据"))
    a.wait_exit(60)
    a_gone = time.time()
    assert not cache_a.exists()

    # B goes on; once it stops, its file holds every sample it counted, in time order, with
    # samples from after A had gone and no hole where A went.
    rates = b.text().count("采集速率: ")
    rig.wait_until(lambda: b.text().count("采集速率: ") >= rates + 2, timeout=30,
                   what="two more rate lines of B after A had gone")
    assert poke("click", f"--hwnd={main_b}", "--child-id=2006")[0] == 0
    m = b.wait_log(r"\[INFO\] 采集落盘完成: (.*recording\.\d+\.csv)（(\d+) 样本）")
    assert m.group(1).split("\\")[-1] == cache_b.name
    lines = cache_b.read_bytes().decode("utf-8-sig").splitlines()
    header = lines[0].split(",")
    assert header[:2] == ["timestamp_us", "time_iso"] and sorted(header[2:]) == sorted(watch.split(","))
    assert len(lines) == int(m.group(2)) + 1
    stamps = [int(line.split(",")[0]) for line in lines[1:]]
    assert stamps == sorted(stamps)
    assert max(b2 - b1 for b1, b2 in zip(stamps, stamps[1:])) < 3000000, "a hole in B's recording"
    assert iso_seconds(lines[-1].split(",")[1]) > a_gone - 1
    assert "上次运行留下的录制缓存" not in b.text()
    assert poke("msgbox", "--press=no", wait=10000)[0] == 0
    b.wait_log(re.escape("[INFO] 用户放弃保存录制数据"))
    assert poke("post", "WM_CLOSE", "0", "0", f"--hwnd={main_b}")[0] == 0
    b.wait_exit(60)
    assert not list((rig.appdata_dir() / "cache").glob("recording*.csv"))


def write_recording(path, rows, step_us):
    lines = ["\ufefftimestamp_us,time_iso,g_motor.speed_rpm,g_wave.sine,no.such.variable"]
    for r in range(rows):
        value = f"{r},," if r % 2 == 0 else f",{r}.5,"
        lines.append(f"{1733659200000000 + r * step_us},x,{value}9")
    path.write_bytes(("\n".join(lines) + "\n").encode("utf-8"))


def test_replay_all_from_the_command_line(kestrelix, tmp_path):
    need_sim()
    csv = tmp_path / "回放数据.csv"  # (command-line values end at a blank)
    write_recording(csv, 100, 1000)
    k = kestrelix("--no-layout", rig.win_path(rig.OUT / "demo.elf"), f"--replay-all={rig.win_path(csv)}",
                  "--net-exit=40000")
    k.wait_log(re.escape(f"[INFO] 回放加载完成: {rig.win_path(csv)}（100 行，2 个变量桶缓存）"))
    assert poke("post", "WM_CLOSE", "0", "0", "--class=KestrelixMain")[0] == 0
    k.wait_exit(60)


def test_step_replay_keeps_the_recorded_pace(kestrelix, tmp_path):
    need_sim()
    csv = tmp_path / "steps.csv"
    write_recording(csv, 5, 500000)  # two seconds from the first line to the last
    k = kestrelix("--no-layout", rig.win_path(rig.OUT / "demo.elf"), f"--replay={rig.win_path(csv)}",
                  "--net-exit=40000")
    k.wait_log(re.escape(f"[INFO] 开始离线回放: {rig.win_path(csv)}"))
    k.wait_log(re.escape("[INFO] 回放已停止"), timeout=30)
    text = k.text()
    started = next(l for l in text.splitlines() if "开始离线回放" in l)
    ended = next(l for l in text.splitlines() if "[INFO] 回放结束" in l)
    seconds = (rig_stamp(ended) - rig_stamp(started))
    assert 1.8 < seconds < 6.0, seconds
    assert poke("post", "WM_CLOSE", "0", "0", "--class=KestrelixMain")[0] == 0
    k.wait_exit(60)


def rig_stamp(line):
    t = time.strptime(line[:19], "%Y-%m-%d %H:%M:%S")
    return time.mktime(t) + int(line[20:26]) / 1e6
