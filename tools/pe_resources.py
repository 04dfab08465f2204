"""Checks the resources of Windows executables and DLLs in a folder tree.

pe_resources.py [--require-version] [--version X.Y.Z] [--manifest NAME] DIR
Every *.exe and *.dll under DIR must carry a version resource (type 16) whose fixed file version
is present, whose OriginalFilename is the file's own name and (with --version) whose FileVersion
is X.Y.Z; the file called NAME must carry an application manifest (type 24) that asks for common
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


def version_strings(block):
    """{key: text} of the string tables of a VS_VERSIONINFO block (the version resource's own
    names: FileVersion, OriginalFilename, ...)."""
    out = {}

    def walk(off, end, depth):
        while off + 6 <= end:
            length, value_length, _ = struct.unpack_from("<HHH", block, off)
            if length == 0:
                break
            k = off + 6
            while k + 1 < end and block[k:k + 2] != b"\0\0":
                k += 2
            key = block[off + 6:k].decode("utf-16-le", "replace")
            value = (k + 2 + 3) & ~3
            node_end = min(off + length, end)
            if depth == 0:  # VS_VERSIONINFO: the fixed part, then StringFileInfo / VarFileInfo
                walk((value + value_length + 3) & ~3, node_end, 1)
            elif depth == 1 and key == "StringFileInfo":
                walk(value, node_end, 2)
            elif depth == 2:  # one language's table
                walk(value, node_end, 3)
            elif depth == 3:  # String: the length of its text counts UTF-16 units
                out[key] = block[value:value + 2 * value_length].decode("utf-16-le", "replace").rstrip("\0")
            off = (node_end + 3) & ~3

    walk(0, len(block), 0)
    return out


def check(root, require_version, manifest_name, version=None):
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
            else:
                # Explorer's Details tab shows these: they must name this very file and release.
                strings = version_strings(blocks[0])
                if strings.get("OriginalFilename", "").lower() != f.name.lower():
                    faults.append("%s: version resource names %r" % (f.relative_to(root),
                                                                      strings.get("OriginalFilename")))
                if version and strings.get("FileVersion") != version:
                    faults.append("%s: file version %r, not %s" % (f.relative_to(root),
                                                                   strings.get("FileVersion"), version))
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
    ap.add_argument("--version", help="the FileVersion every version resource must carry")
    ap.add_argument("root")
    a = ap.parse_args()
    files, faults = check(pathlib.Path(a.root), a.require_version, a.manifest, a.version)
    for f in faults:
        print("resources: " + f, file=sys.stderr)
    if a.manifest and not any(f.name == a.manifest for f in files):
        print("resources: %s not found" % a.manifest, file=sys.stderr)
        return 1
    print("resources: %d files checked" % len(files))
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
