# gdb_leaves.py - run inside gdb-multiarch: for every expression in the file named by the
# convenience variable $names_file (one per line), print what gdb makes of it, one line each:
#
#   ok <TAB> address <TAB> size <TAB> bit position <TAB> bit size <TAB> value
#   err <TAB> gdb's message
#
# address: the object's address (for a bit field, that of its structure); bit position: bits
# from that address to the field's first bit (counted in gdb's numbering, -1 for a plain object);
# value: the integer value in decimal, a float in repr form, "-" for arrays. A reference is
# reported as itself: its own address and size, and as value the address it refers to.
import gdb


def split_member(name):
    """Splits 'a.b[2].c' into ('a.b[2]', 'c'); None when the last part is not a member."""
    depth, quoted = 0, False
    for i in range(len(name) - 1, -1, -1):
        ch = name[i]
        if ch == "'":
            quoted = not quoted
        elif quoted:
            continue
        elif ch == ']':
            depth += 1
        elif ch == '[':
            depth -= 1
        elif ch == '.' and depth == 0:
            return name[:i], name[i + 1:]
        elif ch == ':' and depth == 0:
            return None
    return None


def find_field(struct_type, field_name):
    """(bitpos, bitsize, type) of a member, looking through base classes and anonymous members."""
    for f in struct_type.strip_typedefs().fields():
        if f.name == field_name and not f.is_base_class:
            return f.bitpos, f.bitsize, f.type
        if f.is_base_class or f.name is None:
            inner = find_field(f.type, field_name)
            if inner is not None:
                return f.bitpos + inner[0], inner[1], inner[2]
    return None


def symbol_address(name):
    text = gdb.execute("info address " + name, to_string=True)
    for word in text.replace('.', ' ').split():
        if word.startswith('0x'):
            return int(word, 16)
    raise gdb.error("no address in: " + text.strip())


_linker_addresses = None


def linker_address(linkage_name):
    """Address of a linker symbol by its mangled name (gdb hides it behind a constant)."""
    global _linker_addresses
    if _linker_addresses is None:
        _linker_addresses = {}
        for line in gdb.execute('maint print msymbols', to_string=True).splitlines():
            words = line.split(']', 1)[-1].split()
            if len(words) >= 3 and words[1].startswith('0x'):
                _linker_addresses[words[2]] = int(words[1], 16)
                # "[ 6] T 0x800010c _ZN3Cfg5limitE section .text  Cfg::limit  fw_cpp.cpp"
                columns = line.split(' section ', 1)[-1].split('  ')
                if len(columns) >= 3:
                    _linker_addresses.setdefault(columns[1], int(words[1], 16))
    if linkage_name not in _linker_addresses:
        raise gdb.error(linkage_name + ' has no linker symbol')
    return _linker_addresses[linkage_name]


def value_text(v):
    t = v.type.strip_typedefs()
    if t.code == gdb.TYPE_CODE_FLT:
        return repr(float(v))
    if t.code in (gdb.TYPE_CODE_ARRAY, gdb.TYPE_CODE_STRUCT, gdb.TYPE_CODE_UNION):
        return '-'
    if t.code in (gdb.TYPE_CODE_MEMBERPTR, gdb.TYPE_CODE_METHODPTR):
        data = bytes(gdb.selected_inferior().read_memory(v.address, t.sizeof))
        return str(int.from_bytes(data, 'little'))
    if t.code == gdb.TYPE_CODE_ENUM:
        # The enumerator's name too: the reader's text must read the same.
        return '%d %s' % (int(v), str(v).split('::')[-1])
    return str(int(v))


def describe(name):
    v = gdb.parse_and_eval(name)
    t = v.type.strip_typedefs()
    parts = split_member(name)
    field = None
    if parts is not None:
        parent = gdb.parse_and_eval(parts[0])
        field = find_field(parent.type, parts[1])
    if t.code in (gdb.TYPE_CODE_REF, gdb.TYPE_CODE_RVALUE_REF):
        if field is not None:
            address = int(gdb.parse_and_eval(parts[0]).address) + field[0] // 8
        else:
            address = symbol_address(name)
        return 'ok\t%d\t%d\t-1\t0\t%d' % (address, t.sizeof, int(v.referenced_value().address))
    if field is not None and field[1] > 0:
        parent = gdb.parse_and_eval(parts[0])
        return 'ok\t%d\t%d\t%d\t%d\t%s' % (int(parent.address), t.sizeof, field[0], field[1], value_text(v))
    address = v.address
    if address is None:
        # gdb shows an in-class constant as its value; the object is its linker symbol.
        symbol = gdb.lookup_global_symbol(name.strip("'")) or gdb.lookup_static_symbol(name.strip("'"))
        if symbol is None or symbol.addr_class != gdb.SYMBOL_LOC_CONST:
            raise gdb.error(name + ' has no address')
        address = linker_address(symbol.linkage_name)
    return 'ok\t%d\t%d\t-1\t0\t%s' % (int(address), t.sizeof, value_text(v))


def main():
    path = str(gdb.parse_and_eval('$names_file').string())
    with open(path) as f:
        names = [line.rstrip('\n') for line in f if line.strip()]
    for name in names:
        try:
            print(describe(name))
        except Exception as e:  # every failure is an answer: the name is not an expression
            print('err\t' + str(e).replace('\n', ' '))


main()
