// elf_builder.h - builds small ELF and DWARF images byte by byte for the reader's tests, in
// either class and byte order, so that every damaged or unusual layout can be made on demand.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace elfb {

// A byte buffer with writers in a chosen byte order.
struct Bytes {
    std::vector<uint8_t> b;
    bool le = true;

    explicit Bytes(bool little = true) : le(little) {}
    size_t size() const { return b.size(); }
    Bytes& u8(uint64_t v) { b.push_back(static_cast<uint8_t>(v)); return *this; }
    Bytes& un(uint64_t v, unsigned n) {
        for (unsigned i = 0; i < n; i++) b.push_back(static_cast<uint8_t>(v >> (8 * (le ? i : n - 1 - i))));
        return *this;
    }
    Bytes& u16(uint64_t v) { return un(v, 2); }
    Bytes& u32(uint64_t v) { return un(v, 4); }
    Bytes& u64(uint64_t v) { return un(v, 8); }
    Bytes& uleb(uint64_t v) {
        do {
            uint8_t byte = v & 0x7F;
            v >>= 7;
            b.push_back(static_cast<uint8_t>(byte | (v ? 0x80 : 0)));
        } while (v);
        return *this;
    }
    Bytes& sleb(int64_t v) {
        bool more = true;
        while (more) {
            uint8_t byte = v & 0x7F;
            v >>= 7;
            more = !((v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40)));
            b.push_back(static_cast<uint8_t>(byte | (more ? 0x80 : 0)));
        }
        return *this;
    }
    Bytes& str(const std::string& s) { b.insert(b.end(), s.begin(), s.end()); b.push_back(0); return *this; }
    Bytes& raw(const std::vector<uint8_t>& v) { b.insert(b.end(), v.begin(), v.end()); return *this; }
    void patch_u32(size_t at, uint64_t v) {
        for (unsigned i = 0; i < 4; i++) b[at + i] = static_cast<uint8_t>(v >> (8 * (le ? i : 3 - i)));
    }
};

// One section of a built image; index 0 is the null section, sections follow from 1.
struct Section {
    std::string name;
    std::vector<uint8_t> data;
    uint32_t type = 1;          // SHT_PROGBITS
    uint32_t link = 0;
    uint64_t entsize = 0;
    uint64_t size_override = 0; // when non-zero, sh_size says this instead of the data size
};

struct Image {
    bool is64 = false;
    bool le = true;
    uint8_t data_byte = 0;      // 0: from le (1 or 2)
    uint16_t machine = 40;
    uint32_t flags = 0x05000200;
    std::vector<Section> sections;
};

// Lays out header, section bytes, .shstrtab (last section) and the section header table.
inline std::vector<uint8_t> build(const Image& img) {
    Bytes out(img.le);
    size_t header = img.is64 ? 64 : 52;
    out.b.resize(header);
    std::vector<uint64_t> offsets;
    for (const Section& s : img.sections) {
        while (out.size() % 4) out.u8(0);
        offsets.push_back(out.size());
        out.raw(s.data);
    }
    Bytes names(img.le);
    names.u8(0);
    std::vector<uint64_t> name_at;
    for (const Section& s : img.sections) { name_at.push_back(names.size()); names.str(s.name); }
    uint64_t shstr_name = names.size();
    names.str(".shstrtab");
    uint64_t shstr_off = out.size();
    out.raw(names.b);
    while (out.size() % 8) out.u8(0);
    uint64_t shoff = out.size();
    uint16_t shentsize = img.is64 ? 64 : 40;
    auto shdr = [&](uint64_t name, uint32_t type, uint64_t offset, uint64_t size, uint32_t link, uint64_t entsize) {
        if (img.is64) {
            out.u32(name).u32(type).u64(0).u64(0).u64(offset).u64(size).u32(link).u32(0).u64(1).u64(entsize);
        } else {
            out.u32(name).u32(type).u32(0).u32(0).u32(offset).u32(size).u32(link).u32(0).u32(1).u32(entsize);
        }
    };
    shdr(0, 0, 0, 0, 0, 0);
    for (size_t i = 0; i < img.sections.size(); i++) {
        const Section& s = img.sections[i];
        shdr(name_at[i], s.type, offsets[i], s.size_override ? s.size_override : s.data.size(), s.link, s.entsize);
    }
    shdr(shstr_name, 3, shstr_off, names.size(), 0, 0);
    uint16_t shnum = static_cast<uint16_t>(img.sections.size() + 2);
    Bytes h(img.le);
    h.u8(0x7F).u8('E').u8('L').u8('F').u8(img.is64 ? 2 : 1).u8(img.data_byte ? img.data_byte : (img.le ? 1 : 2)).u8(1);
    h.b.resize(16);
    h.u16(2).u16(img.machine).u32(1);
    if (img.is64) h.u64(0x1000).u64(0).u64(shoff);
    else h.u32(0x1000).u32(0).u32(shoff);
    h.u32(img.flags).u16(header).u16(0).u16(0).u16(shentsize).u16(shnum).u16(shnum - 1);
    std::copy(h.b.begin(), h.b.end(), out.b.begin());
    return out.b;
}

// Symbol table and its string table as two sections (symtab links to the string table at
// strtab_index).
struct Symbols {
    Bytes table, names;
    bool is64;
    Symbols(bool wide, bool little) : table(little), names(little), is64(wide) {
        names.u8(0);
        add("", 0, 0, 0, 0);
    }
    void add(const std::string& name, uint64_t value, uint64_t size, uint8_t info, uint16_t shndx) {
        uint64_t at = name.empty() ? 0 : names.size();
        if (!name.empty()) names.str(name);
        if (is64) table.u32(at).u8(info).u8(0).u16(shndx).u64(value).u64(size);
        else table.u32(at).u32(value).u32(size).u8(info).u8(0).u16(shndx);
    }
    void add_sections(Image& img) {
        Section sym{".symtab", table.b, 2, static_cast<uint32_t>(img.sections.size() + 2), 0, 0};
        img.sections.push_back(sym);
        Section str{".strtab", names.b, 3, 0, 0, 0};
        img.sections.push_back(str);
    }
};

enum : uint8_t { OBJECT_GLOBAL = 0x11, OBJECT_WEAK = 0x21, OBJECT_LOCAL = 0x01, FUNC_GLOBAL = 0x12 };

}  // namespace elfb
