#!/usr/bin/env python3
"""Compares `kxtool leaves` / `kxtool decode` with gdb on the test firmware.

For each little-endian test image: the initialised RAM (.data, then .bss as zeros) and the flash
(.text with the constant data) are cut out with objcopy into raw dumps; `kxtool decode` decodes
every leaf from them; one gdb run (no target: gdb reads initialised data from the file) prints
every leaf's expression, its address and its size. Every leaf must agree:
  - integers, bit fields included: the codec's text is gdb's integer, the value its double;
  - floats: the same single or double; the text is "%.6g" of it;
  - bool and enum: the same word; pointers: the same address;
  - string leaves (long byte arrays): "<?>" by design, with gdb's address and size.
Names that gdb reads differently (rows of two-dimensional arrays, function-local statics) are
read through a typed cast at the leaf's address, whose symbol is checked with nm.
Exit 0 when everything agrees, 1 with a list of differences, 77 when no firmware was built.
"""
import argparse
import os
import re
import struct
import subprocess
import sys

KIND_INT, KIND_UINT, KIND_FLOAT, KIND_BOOL, KIND_ENUM, KIND_POINTER, KIND_STRING, KIND_OTHER = 1, 2, 3, 4, 8, 9, 10, 11


def run(args):
    return subprocess.run(args, check=True, capture_output=True, text=True).stdout


class Leaf:
    def __init__(self, fields):
        self.id = int(fields[0])
        self.name = fields[1]
        self.address = int(fields[2], 16)
        self.size = int(fields[3])
        self.kind = int(fields[4])
        self.signed = int(fields[5])
        self.pointer = int(fields[6])
        self.bitfield = int(fields[7])
        self.bit_offset = int(fields[8])
        self.bit_size = int(fields[9])


def sections(objdump, elf):
    """name -> (vma, size) from objdump -h."""
    out = {}
    for line in run([objdump, "-h", elf]).splitlines():
        m = re.match(r"\s*\d+\s+(\S+)\s+([0-9a-f]+)\s+([0-9a-f]+)", line)
        if m:
            out[m.group(1)] = (int(m.group(3), 16), int(m.group(2), 16))
    return out


def make_dumps(args, elf, work):
    """Raw memory images: RAM (.data then zero .bss) and flash (.text): list of (path, base)."""
    secs = sections(args.objdump, elf)
    dumps = []
    stem = os.path.join(work, os.path.basename(elf))
    if ".data" in secs:
        path = stem + ".ram.bin"
        run([args.objcopy, "-O", "binary", "-j", ".data", elf, path])
        base, size = secs[".data"]
        if ".bss" in secs:
            bss_base, bss_size = secs[".bss"]
            end = max(base + size, bss_base + bss_size)
            with open(path, "ab") as f:
                f.write(b"\0" * (end - base - os.path.getsize(path)))
        dumps.append((path, base))
    if ".text" in secs:
        path = stem + ".flash.bin"
        run([args.objcopy, "-O", "binary", "-j", ".text", elf, path])
        dumps.append((path, secs[".text"][0]))
    return dumps


def cast_type(leaf):
    if leaf.kind == KIND_FLOAT:
        return {4: "float", 8: "double"}.get(leaf.size)
    if leaf.kind == KIND_POINTER:
        return "void*"
    if leaf.kind == KIND_BOOL:
        return "_Bool" if leaf.size == 1 else None
    ints = {1: "char", 2: "short", 4: "int", 8: "long long"}
    if leaf.kind in (KIND_INT, KIND_UINT, KIND_ENUM) and leaf.size in ints:
        return ("signed " if leaf.signed else "unsigned ") + ints[leaf.size]
    return None


def gdb_batch(args, elf, commands):
    """Runs the commands in one gdb; returns the output of each (errors included)."""
    cmd = [args.gdb, "-batch", "-nx", "-ex", "set print elements 64", "-ex", "set width 0"]
    for i, c in enumerate(commands):
        cmd += ["-ex", "echo @@%d@@\\n" % i, "-ex", c]
    cmd += ["-ex", "echo @@end@@\\n", elf]
    # Errors go to stderr: merged, each lands after its marker.
    merged = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                            stdin=subprocess.DEVNULL).stdout
    parts = re.split(r"@@(\d+|end)@@\n", merged)
    outputs = [""] * len(commands)
    for k in range(1, len(parts) - 1, 2):
        if parts[k] != "end":
            outputs[int(parts[k])] = parts[k + 1].strip()
    return outputs


def value_of(output):
    """The text after '$n = ', or None for an error."""
    m = re.match(r"\$\d+ = (.*)", output, re.S)
    return m.group(1).strip() if m else None


def symbols_by_address(nm, elf):
    out = {}
    for line in run([nm, elf]).splitlines():
        parts = line.split()
        if len(parts) == 3:
            out.setdefault(int(parts[0], 16), []).append(parts[2])
    return out


def compare_value(leaf, text, value, gdb):
    """None when they agree, else the reason."""
    if leaf.kind in (KIND_INT, KIND_UINT) or (leaf.kind == KIND_ENUM and re.match(r"-?\d", gdb)):
        m = re.match(r"(-?\d+)", gdb)
        if not m:
            return "gdb gave no integer"
        want = int(m.group(1))
        if leaf.pointer:
            got = int(text, 16)
            want &= (1 << 64) - 1
        else:
            got = int(text)
        if got != want:
            return "integer %d, gdb %d" % (got, want)
        if float(value) != float(want):
            return "value %s is not the double of %d" % (value, want)
        return None
    if leaf.kind == KIND_FLOAT:
        want = float(gdb)
        if leaf.size == 4:
            want = struct.unpack("<f", struct.pack("<f", want))[0]
        if float(value) != want:
            return "value %s, gdb %r" % (value, want)
        if text != "%.6g" % want:
            return "text %s is not %%.6g of %r" % (text, want)
        return None
    if leaf.kind in (KIND_BOOL, KIND_ENUM):
        # gdb qualifies the enumerators of a C++ `enum class` with their type (Color::Green).
        plain = gdb.rsplit("::", 1)[-1] if leaf.kind == KIND_ENUM else gdb
        return None if text in (gdb, plain) else "text %s, gdb %s" % (text, gdb)
    if leaf.kind == KIND_POINTER:
        if re.match(r"&[\w:<>, ]+::\w+$", gdb):
            # A pointer to a data member: gdb names the member, the leaf holds its offset.
            return None
        m = re.search(r"0x[0-9a-fA-F]+", gdb)
        if not m:
            return "gdb gave no address"
        return None if int(text, 16) == int(m.group(0), 16) else "pointer %s, gdb %s" % (text, m.group(0))
    return "kind %d not compared" % leaf.kind


def check_image(args, elf):
    leaves = [Leaf(l.split("\t")) for l in run([args.kxtool, "leaves", elf]).splitlines()]
    decoded = {}
    for path, base in make_dumps(args, elf, args.work_dir):
        for line in run([args.kxtool, "decode", elf, path, "0x%X" % base]).splitlines():
            name, text, value = line.split("\t")
            decoded[name] = (text, value)
    symbols = symbols_by_address(args.nm, elf)
    addresses_of = {}
    for a, names in symbols.items():
        for s in names:
            addresses_of.setdefault(s, []).append(a)

    commands = []
    for leaf in leaves:
        commands.append("print %s" % leaf.name)
        if not leaf.bitfield:
            commands.append("print/x (unsigned long)&(%s)" % leaf.name)
            commands.append("print sizeof(%s)" % leaf.name)
        t = cast_type(leaf)
        commands.append("print *(%s*)0x%X" % (t, leaf.address) if t else "print 0")
    outputs = iter(gdb_batch(args, elf, commands))

    problems, compared, through_cast = [], 0, 0
    for leaf in leaves:
        by_name = value_of(next(outputs))
        address = size = None
        if not leaf.bitfield:
            address, size = value_of(next(outputs)), value_of(next(outputs))
        by_cast = value_of(next(outputs))
        where = "%s %s" % (os.path.basename(elf), leaf.name)
        if leaf.name not in decoded:
            problems.append("%s: not in the dumps" % where)
            continue
        text, value = decoded[leaf.name]
        named = by_name is not None and not by_name.startswith(("{", '"'))
        if len(addresses_of.get(leaf.name, [])) > 1:
            # File statics of the same name in two units: the leaf is the first one the debug
            # information lists, gdb may pick another. Read the leaf's own through the cast.
            if leaf.address not in addresses_of[leaf.name]:
                problems.append("%s: 0x%X is none of the statics of that name" % (where, leaf.address))
                continue
            named = False
        if leaf.kind == KIND_STRING:
            if text != "<?>" or address is None or int(address, 16) != leaf.address or int(size) != leaf.size:
                problems.append("%s: string leaf %s at %s size %s" % (where, text, address, size))
            compared += 1
            continue
        is_ref = leaf.kind == KIND_POINTER and re.match(r"\(.*&\) @0x", by_name or "")
        if named and not is_ref and address is not None and int(address, 16) != leaf.address:
            problems.append("%s: address 0x%X, gdb %s" % (where, leaf.address, address))
            continue
        if named and not is_ref and size is not None and int(size) != leaf.size:
            problems.append("%s: size %d, gdb %s" % (where, leaf.size, size))
            continue
        gdb = by_name if named else by_cast
        ref = re.match(r"\(.*&\) @(0x[0-9a-fA-F]+)", by_name or "")
        if ref and leaf.kind == KIND_POINTER:
            # A reference: the leaf is the reference itself (a pointer-sized word), gdb's "&name"
            # is the object it refers to, which must be the leaf's value.
            gdb = ref.group(1)
        through_cast += not named
        if not named:
            # Read through a cast: the leaf's address must be a symbol of the variable itself
            # (function-local statics carry a suffix) or lie inside its variable.
            base = re.split(r"[.\[]", leaf.name)[0]
            owners = [s for a, names in symbols.items() for s in names
                      if (s == base or s.startswith(base + ".") or s.endswith("." + base))
                      and a <= leaf.address]
            if not owners or gdb is None:
                problems.append("%s: gdb cannot read it (%s)" % (where, by_name))
                continue
        reason = compare_value(leaf, text, value, gdb)
        if reason:
            problems.append("%s: %s" % (where, reason))
        else:
            compared += 1
    return len(leaves), compared, through_cast, problems


def main():
    p = argparse.ArgumentParser()
    for option in ("--kxtool", "--gdb", "--objcopy", "--objdump", "--nm", "--firmware-dir", "--work-dir"):
        p.add_argument(option, required=True)
    args = p.parse_args()
    os.makedirs(args.work_dir, exist_ok=True)
    # The codec reads target memory as little-endian: the big-endian image is not a target.
    images = sorted(os.path.join(args.firmware_dir, f) for f in os.listdir(args.firmware_dir)
                    if f.endswith(".elf") and "_be_" not in f and "_lto_" not in f)  \
        if os.path.isdir(args.firmware_dir) else []
    # Link-time-optimised images are left out: gdb cannot place their file statics (the symbols
    # became local and the debug information names them through an artificial unit). Their
    # listing is checked against the symbol table by the firmware tests instead.
    if not images:
        print("no test firmware in %s" % args.firmware_dir)
        return 77
    failed = False
    for elf in images:
        total, compared, through_cast, problems = check_image(args, elf)
        print("%s: %d leaves, %d agree with gdb (%d read through a cast)"
              % (os.path.basename(elf), total, compared, through_cast))
        for line in problems:
            print("  " + line)
        failed |= bool(problems) or compared != total or total == 0
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
