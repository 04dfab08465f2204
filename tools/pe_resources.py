"""Checks the resources of Windows executables and DLLs in a folder tree.

pe_resources.py [--require-version] [--manifest NAME] DIR
Every *.exe and *.dll under DIR must carry a version resource (type 16) whose fixed file version
is present; the file called NAME must carry an application manifest (type 24) that asks for common
controls 6, per-monitor DPI awareness and the UTF-8 code page. Exits 1 with a list of faults.
"""
import argparse
import pathlib
import struct
import sys

RT_VERSION = 16
RT_MANIFEST = 24


def sections(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise ValueError("not a PE file")
    count = struct.unpack_from("<H", data, pe + 6)[0]
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    dirs = optional + (112 if magic == 0x20B else 96)
    rsrc_rva, _ = struct.unpack_from("<II", data, dirs + 2 * 8)
    table = optional + optional_size
    out = []
    for i in range(count):
        off = table + i * 40
        vsize, va, rsize, raw = struct.unpack_from("<IIII", data, off + 8)
        out.append((va, max(vsize, rsize), raw))
    return rsrc_rva, out


def rva_to_offset(rva, secs):
    for va, size, raw in secs:
        if va <= rva < va + size:
            return rva - va + raw
    raise ValueError("rva 0x%x outside every section" % rva)


def resources(path):
    """{type id: [bytes of each resource of that type]}"""
    data = path.read_bytes()
    rsrc_rva, secs = sections(data)
    if not rsrc_rva:
        return {}
    base = rva_to_offset(rsrc_rva, secs)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", data, base + offset + 12)
        for i in range(named + ids):
            name, target = struct.unpack_from("<II", data, base + offset + 16 + i * 8)
            yield name, target

    found = {}
    for type_id, t in entries(0):
        for _, n in entries(t & 0x7FFFFFFF):
            for _, leaf in entries(n & 0x7FFFFFFF):
                rva, size = struct.unpack_from("<II", data, base + leaf)
                start = rva_to_offset(rva, secs)
                found.setdefault(type_id, []).append(data[start:start + size])
    return found


def check(root, require_version, manifest_name):
    faults = []
    files = sorted(p for p in root.rglob("*") if p.suffix.lower() in (".exe", ".dll"))
    if not files:
        faults.append("%s: no executables" % root)
    for f in files:
        res = resources(f)
        if require_version:
            blocks = res.get(RT_VERSION, [])
            if not blocks or b"\xbd\x04\xef\xfe" not in blocks[0]:  # VS_FIXEDFILEINFO signature
                faults.append("%s: no version resource" % f.relative_to(root))
        if manifest_name and f.name == manifest_name:
            text = b"".join(res.get(RT_MANIFEST, [])).decode("utf-8", "replace")
            for need in ("Microsoft.Windows.Common-Controls", 'version="6.0.0.0"', "PerMonitorV2",
                         "<activeCodePage", ">UTF-8<"):
                if need not in text:
                    faults.append("%s: manifest lacks %s" % (f.name, need))
    return files, faults


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--require-version", action="store_true")
    ap.add_argument("--manifest")
    ap.add_argument("root")
    a = ap.parse_args()
    files, faults = check(pathlib.Path(a.root), a.require_version, a.manifest)
    for f in faults:
        print("resources: " + f, file=sys.stderr)
    if a.manifest and not any(f.name == a.manifest for f in files):
        print("resources: %s not found" % a.manifest, file=sys.stderr)
        return 1
    print("resources: %d files checked" % len(files))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
