// The DWARF reader on images built byte by byte: unit walk and rejection, forms, string and
// address indexes, references, locations, and the type records made from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "../data/elf_builder.h"
#include "../data/scratch_dir.h"
#include "firmware/dwarf.h"
#include "firmware/elf.h"

using elfb::Bytes;
using elfb::Image;

namespace {

// Forms, tags and attributes used below.
enum : uint64_t {
    F_addr = 0x01, F_block1 = 0x0A, F_data1 = 0x0B, F_data2 = 0x05, F_data4 = 0x06, F_string = 0x08,
    F_sdata = 0x0D, F_udata = 0x0F, F_ref_addr = 0x10, F_ref4 = 0x13, F_exprloc = 0x18, F_flag_present = 0x19,
    F_strx1 = 0x25, F_addrx = 0x1B, F_sec_offset = 0x17, F_ref_sup8 = 0x24, F_implicit_const = 0x21,
    F_ref_sig8 = 0x20, T_type_unit = 0x41, A_signature = 0x69,
    T_cu = 0x11, T_var = 0x34, T_base = 0x24, T_struct = 0x13, T_member = 0x0D, T_ptr = 0x0F,
    T_typedef = 0x16, T_enum = 0x04, T_enumerator = 0x28, T_array = 0x01, T_subrange = 0x21,
    A_name = 0x03, A_location = 0x02, A_type = 0x49, A_byte_size = 0x0B, A_encoding = 0x3E,
    A_decl = 0x3C, A_spec = 0x47, A_member_loc = 0x38, A_bit_offset = 0x0C, A_bit_size = 0x0D,
    A_data_bit_offset = 0x6B, A_const_value = 0x1C, A_upper = 0x2F, A_count = 0x37, A_addr_base = 0x73,
};

// One abbreviation: code, tag, children flag, (attribute, form) pairs.
struct Abbrev {
    uint64_t code, tag;
    bool children;
    std::vector<std::pair<uint64_t, uint64_t>> specs;
    int64_t implicit = 0;  // constant of an implicit_const abbreviation attribute
};

Bytes abbrev_table(const std::vector<Abbrev>& list, bool le = true) {
    Bytes b(le);
    for (const Abbrev& a : list) {
        b.uleb(a.code).uleb(a.tag).u8(a.children ? 1 : 0);
        for (auto& s : a.specs) {
            b.uleb(s.first).uleb(s.second);
            if (s.second == F_implicit_const) b.sleb(a.implicit);
        }
        b.u8(0).u8(0);
    }
    b.u8(0);
    return b;
}

// Writes a unit header; returns its start so that end_unit can patch the length.
size_t begin_unit(Bytes& info, uint16_t version, uint32_t abbrev_offset = 0, uint8_t address_size = 4) {
    size_t start = info.size();
    info.u32(0).u16(version);
    if (version >= 5) info.u8(1).u8(address_size).u32(abbrev_offset);
    else info.u32(abbrev_offset).u8(address_size);
    return start;
}
void end_unit(Bytes& info, size_t start) { info.patch_u32(start, info.size() - start - 4); }

// An ELF32 image with the given DWARF sections (absent when empty) and optional symbols.
struct DwarfImage {
    Bytes info, abbrev, str, str_offsets, addr, types;
    elfb::Symbols* symbols = nullptr;
    bool le = true;
    ElfImage* open(char* error = nullptr, size_t cap = 0) {
        Image img;
        img.le = le;
        img.sections.push_back({".debug_info", info.b});
        img.sections.push_back({".debug_abbrev", abbrev.b});
        if (str.size()) img.sections.push_back({".debug_str", str.b});
        if (str_offsets.size()) img.sections.push_back({".debug_str_offsets", str_offsets.b});
        if (addr.size()) img.sections.push_back({".debug_addr", addr.b});
        if (types.size()) img.sections.push_back({".debug_types", types.b});
        if (symbols) symbols->add_sections(img);
        std::vector<uint8_t> bytes = elfb::build(img);
        return elf_open_memory(bytes.data(), bytes.size(), error, cap);
    }
};

// Abbreviations shared by most tests (DWARF 2 to 4 forms).
const std::vector<Abbrev> kBasic = {
    {1, T_cu, true, {}},
    {2, T_var, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_exprloc}}},
    {3, T_base, false, {{A_name, F_string}, {A_byte_size, F_data1}, {A_encoding, F_data1}}},
    {4, T_var, false, {{A_name, F_string}, {A_location, F_block1}}},
    {5, T_var, false, {{A_name, F_string}, {A_type, F_ref_addr}, {A_location, F_exprloc}}},
    {6, T_var, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_ref_sup8}}},
};

// exprloc "DW_OP_addr address" (4-byte addresses), optionally followed by more bytes.
void addr_expr(Bytes& b, uint32_t address, std::vector<uint8_t> tail = {}) {
    b.uleb(5 + tail.size()).u8(0x03).u32(address).raw(tail);
}

const GlobalVar* find(ElfImage* image, const char* name) { return elf_global_at(image, elf_find_global(image, name)); }

// kBasic without its DW_FORM_ref_addr abbreviation: units that cannot refer into each other,
// which the reader finishes one at a time.
std::vector<Abbrev> standalone_abbrevs() {
    std::vector<Abbrev> list;
    for (const Abbrev& a : kBasic)
        if (a.code != 5) list.push_back(a);
    return list;
}

// Damaged units are dropped and the walk goes on with the next (or stops where it must).
void expect_damaged_units_skipped(bool standalone) {
    DwarfImage d;
    d.abbrev = abbrev_table(standalone ? standalone_abbrevs() : kBasic);
    // Unit 1: a variable with a form the reader does not know (ref_sup8): the unit is dropped.
    size_t u = begin_unit(d.info, 4);
    d.info.uleb(1).uleb(6).str("lost").u32(0).u64(0).u8(0).u8(0);
    end_unit(d.info, u);
    // Unit 2: fine. A base type and a variable; then two null bytes at the top level end the
    // list and the bytes after them are never read.
    u = begin_unit(d.info, 4);
    d.info.uleb(1);
    size_t int_at = d.info.size() - u;
    d.info.uleb(3).str("int").u8(4).u8(5);
    d.info.uleb(2).str("kept").u32(int_at);
    addr_expr(d.info, 0x20000000);
    d.info.u8(0).u8(0).u8(0x7F).u8(0x7F);
    end_unit(d.info, u);
    // Unit 3: a 64-bit DWARF length stops the walk; unit 4 after it is not read.
    d.info.u32(0xFFFFFFFF).u64(20).u16(4);
    size_t after = d.info.size();
    u = begin_unit(d.info, 4);
    d.info.uleb(1).uleb(4).str("after_stop").u8(5).u8(0x03).u32(0x20000100).u8(0);
    end_unit(d.info, u);
    (void)after;
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = d.open(error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    ASSERT_EQ(elf_global_count(image), 1);
    const GlobalVar* v = elf_global_at(image, 0);
    EXPECT_STREQ(v->name, "kept");
    EXPECT_EQ(v->address, 0x20000000u);
    ASSERT_NE(v->type, nullptr);
    EXPECT_STREQ(v->type->name, "int");
    EXPECT_EQ(v->type->kind, TYPE_INT);
    EXPECT_EQ(v->type->is_signed, 1);
    EXPECT_EQ(v->size, 4u);
    EXPECT_EQ(image->dwarf, nullptr);  // working tables are gone after the open
    elf_close(image);
}

TEST(DwarfUnits, DamagedUnitsAreSkipped) {
    {
        SCOPED_TRACE("units read together");
        expect_damaged_units_skipped(false);
    }
    SCOPED_TRACE("units read one at a time");
    expect_damaged_units_skipped(true);
}

TEST(DwarfUnits, DebugInfoPastTheFileEndIsAbsent) {
    DwarfImage d;
    d.abbrev = abbrev_table(kBasic);
    size_t u = begin_unit(d.info, 4);
    d.info.uleb(1).uleb(4).str("dbg").u8(5).u8(0x03).u32(0x20000000).u8(0);
    end_unit(d.info, u);
    elfb::Symbols syms(false, true);
    syms.add("from_symtab", 0x20000040, 8, elfb::OBJECT_GLOBAL, 1);
    d.symbols = &syms;
    Image img;
    img.sections.push_back({".debug_info", d.info.b, 1, 0, 0, 0x7FFFFFF0});
    img.sections.push_back({".debug_abbrev", d.abbrev.b});
    syms.add_sections(img);
    std::vector<uint8_t> bytes = elfb::build(img);
    ElfImage* image = elf_open_memory(bytes.data(), bytes.size(), nullptr, 0);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(elf_global_count(image), 1);
    EXPECT_STREQ(elf_global_at(image, 0)->name, "from_symtab");
    elf_close(image);
}

// Abbreviations of units that stand alone, with named compilation units.
const std::vector<Abbrev> kNamedUnits = {
    {1, T_cu, true, {{A_name, F_string}}},
    {2, T_var, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_exprloc}}},
    {3, T_base, false, {{A_name, F_string}, {A_byte_size, F_data1}, {A_encoding, F_data1}}},
    // A base type carrying a large block nobody reads (DW_AT_description as block4): bulk.
    {4, T_base, false, {{A_name, F_string}, {0x5A, 0x04}}},
};

// One unit of kNamedUnits: a base type, `pad` bytes of bulk, then variables of that type.
void named_unit(Bytes& info, const char* file, const char* type, uint8_t size, uint8_t encoding,
                const std::vector<std::pair<const char*, uint32_t>>& vars, size_t pad = 0) {
    size_t u = begin_unit(info, 4);
    info.uleb(1).str(file);
    size_t type_at = info.size() - u;
    info.uleb(3).str(type).u8(size).u8(encoding);
    if (pad) info.uleb(4).str("bulk").u32(pad).raw(std::vector<uint8_t>(pad, 0x5A));
    for (auto& v : vars) {
        info.uleb(2).str(v.first).u32(type_at);
        addr_expr(info, v.second);
    }
    info.u8(0);
    end_unit(info, u);
}

void expect_typed(ElfImage* image, const char* name, uint64_t address, const char* type, TypeKind kind,
                  uint32_t size) {
    SCOPED_TRACE(name);
    const GlobalVar* v = find(image, name);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->address, address);
    ASSERT_NE(v->type, nullptr);
    EXPECT_STREQ(v->type->name, type);
    EXPECT_EQ(v->type->kind, kind);
    EXPECT_EQ(v->type->byte_size, size);
    EXPECT_EQ(v->size, size);
}

// Units finished one at a time reuse the entry numbers of the units before them: the types
// resolved for one unit must not be found again for the entry at the same place in the next.
TEST(DwarfUnits, UnitsReadOneAtATimeKeepTheirOwnTypes) {
    DwarfImage d;
    d.abbrev = abbrev_table(kNamedUnits);
    named_unit(d.info, "src/one.c", "uint16_t", 2, 7, {{"a", 0x20000010}, {"s", 0x20000100}});
    named_unit(d.info, "src/two.c", "int32_t", 4, 5, {{"b", 0x20000020}, {"s", 0x20000200}});
    named_unit(d.info, "three.c", "float", 4, 4, {{"c", 0x20000030}});
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = d.open(error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(elf_global_count(image), 5);
    expect_typed(image, "a", 0x20000010, "uint16_t", TYPE_UINT, 2);
    expect_typed(image, "b", 0x20000020, "int32_t", TYPE_INT, 4);
    expect_typed(image, "c", 0x20000030, "float", TYPE_FLOAT, 4);
    // The second file's static of the same name is named through its file.
    expect_typed(image, "s", 0x20000100, "uint16_t", TYPE_UINT, 2);
    expect_typed(image, "'two.c'::s", 0x20000200, "int32_t", TYPE_INT, 4);
    elf_close(image);
}

// Opened as a view, nothing of the image may point into the bytes afterwards: the program reads a
// mapped file this way and unmaps it at once.
TEST(DwarfUnits, AViewOpenKeepsNothingOfTheBytes) {
    DwarfImage d;
    d.abbrev = abbrev_table(kNamedUnits);
    named_unit(d.info, "src/one.c", "uint16_t", 2, 7, {{"a", 0x20000010}, {"s", 0x20000100}});
    named_unit(d.info, "src/two.c", "int32_t", 4, 5, {{"b", 0x20000020}, {"s", 0x20000200}});
    Image img;
    img.sections.push_back({".debug_info", d.info.b});
    img.sections.push_back({".debug_abbrev", d.abbrev.b});
    std::vector<uint8_t> bytes = elfb::build(img);
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open_view(bytes.data(), bytes.size(), error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    std::fill(bytes.begin(), bytes.end(), 0);  // the bytes change under the image...
    std::vector<uint8_t>().swap(bytes);        // ...and go (AddressSanitizer catches any read)
    EXPECT_EQ(elf_global_count(image), 4);
    expect_typed(image, "a", 0x20000010, "uint16_t", TYPE_UINT, 2);
    expect_typed(image, "b", 0x20000020, "int32_t", TYPE_INT, 4);
    expect_typed(image, "s", 0x20000100, "uint16_t", TYPE_UINT, 2);
    expect_typed(image, "'two.c'::s", 0x20000200, "int32_t", TYPE_INT, 4);
    EXPECT_EQ(image->debug_info.data, nullptr);
    elf_close(image);
    EXPECT_EQ(elf_open_view(nullptr, 0, error, sizeof error), nullptr);
    EXPECT_STREQ(error, "empty file");
}

// Abbreviations of function statics and of variables placed from another unit (what GCC's
// link-time optimiser writes: an "<artificial>" unit of locations whose abstract origins sit in
// the units of the source files).
enum : uint64_t { T_subprogram = 0x2E, A_abstract_origin = 0x31 };
const std::vector<Abbrev> kScopedUnits = {
    {1, T_cu, true, {{A_name, F_string}}},
    {2, T_var, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_exprloc}}},
    {3, T_base, false, {{A_name, F_string}, {A_byte_size, F_data1}, {A_encoding, F_data1}}},
    {4, T_subprogram, true, {}},
    {5, T_subprogram, true, {{A_name, F_string}}},
    {6, T_var, false, {{A_abstract_origin, F_ref_addr}, {A_location, F_exprloc}}},
    {7, T_var, false, {{A_name, F_string}, {A_type, F_ref4}, {A_decl, F_flag_present}}},
    {8, T_var, false, {{A_spec, F_ref4}}},
    {9, T_var, false, {{A_name, F_string}, {A_type, F_ref4}}},
};

// clang keeps the static of a function inlined everywhere under an empty subprogram: the static
// is named as if at file level, not "::calls"; a named function still qualifies its statics.
TEST(DwarfVariables, StaticsOfNamelessFunctionsTakeNoEmptyScope) {
    DwarfImage d;
    d.abbrev = abbrev_table(kScopedUnits);
    for (const char* file : {"src/a.c", "src/b.c"}) {
        bool first = file[4] == 'a';
        size_t u = begin_unit(d.info, 4);
        d.info.uleb(1).str(file);
        size_t int_at = d.info.size() - u;
        d.info.uleb(3).str("int").u8(4).u8(5);
        d.info.uleb(4);
        d.info.uleb(2).str("calls").u32(int_at);
        addr_expr(d.info, first ? 0x20000010 : 0x20000020);
        d.info.u8(0);
        d.info.uleb(5).str("tick");
        d.info.uleb(2).str("hits").u32(int_at);
        addr_expr(d.info, first ? 0x20000030 : 0x20000040);
        d.info.u8(0).u8(0);
        end_unit(d.info, u);
    }
    ElfImage* image = d.open();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(elf_global_count(image), 4);
    expect_typed(image, "calls", 0x20000010, "int", TYPE_INT, 4);
    expect_typed(image, "'b.c'::calls", 0x20000020, "int", TYPE_INT, 4);
    expect_typed(image, "tick::hits", 0x20000030, "int", TYPE_INT, 4);
    expect_typed(image, "'b.c'::tick::hits", 0x20000040, "int", TYPE_INT, 4);
    elf_close(image);
}

// A variable placed from an "<artificial>" unit: its abstract origin only completes the header's
// extern declaration, which has the name and the type; file statics of the same name
// are named by the file that declares them, so none is lost.
TEST(DwarfVariables, OriginsAreFollowedToTheDeclarationAcrossUnits) {
    DwarfImage d;
    d.abbrev = abbrev_table(kScopedUnits);
    size_t placer = begin_unit(d.info, 4);
    d.info.uleb(1).str("<artificial>");
    std::vector<size_t> origin_refs;
    for (uint32_t address : {0x20000100u, 0x20000200u, 0x20000300u}) {
        d.info.uleb(6);
        origin_refs.push_back(d.info.size());
        d.info.u32(0);
        addr_expr(d.info, address);
    }
    d.info.u8(0);
    end_unit(d.info, placer);
    // main.c: extern long g_speed; long g_speed; static short s;
    size_t u = begin_unit(d.info, 4);
    d.info.uleb(1).str("main.c");
    size_t long_at = d.info.size() - u;
    d.info.uleb(3).str("long").u8(4).u8(5);
    size_t decl_at = d.info.size() - u;
    d.info.uleb(7).str("g_speed").u32(long_at);
    d.info.patch_u32(origin_refs[0], d.info.size());
    d.info.uleb(8).u32(decl_at);
    d.info.patch_u32(origin_refs[1], d.info.size());
    d.info.uleb(9).str("s").u32(long_at);
    d.info.u8(0);
    end_unit(d.info, u);
    // other.c: static unsigned char s;
    u = begin_unit(d.info, 4);
    d.info.uleb(1).str("lib/other.c");
    size_t byte_at = d.info.size() - u;
    d.info.uleb(3).str("uint8_t").u8(1).u8(8);
    d.info.patch_u32(origin_refs[2], d.info.size());
    d.info.uleb(9).str("s").u32(byte_at);
    d.info.u8(0);
    end_unit(d.info, u);
    ElfImage* image = d.open();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(elf_global_count(image), 3);
    expect_typed(image, "g_speed", 0x20000100, "long", TYPE_INT, 4);
    expect_typed(image, "s", 0x20000200, "long", TYPE_INT, 4);
    expect_typed(image, "'other.c'::s", 0x20000300, "uint8_t", TYPE_UINT, 1);
    elf_close(image);
}

// DW_FORM_ref_addr reaches into other units, earlier and later ones: such an image is read as
// a whole before any variable is collected.
TEST(DwarfUnits, ReferencesIntoOtherUnitsResolveEitherWay) {
    DwarfImage d;
    d.abbrev = abbrev_table(kBasic);
    size_t u = begin_unit(d.info, 4);
    d.info.uleb(1).uleb(5).str("early");
    size_t early_ref = d.info.size();
    d.info.u32(0);
    addr_expr(d.info, 0x20000010);
    d.info.u8(0);
    end_unit(d.info, u);
    u = begin_unit(d.info, 4);
    size_t u16_at = d.info.size() + 1;
    d.info.uleb(1).uleb(3).str("uint16_t").u8(2).u8(7).u8(0);
    end_unit(d.info, u);
    u = begin_unit(d.info, 4);
    d.info.uleb(1);
    d.info.patch_u32(early_ref, d.info.size());
    d.info.uleb(3).str("uint8_t").u8(1).u8(8);
    d.info.uleb(5).str("late").u32(u16_at);
    addr_expr(d.info, 0x20000020);
    d.info.u8(0);
    end_unit(d.info, u);
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = d.open(error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    expect_typed(image, "early", 0x20000010, "uint8_t", TYPE_UINT, 1);
    expect_typed(image, "late", 0x20000020, "uint16_t", TYPE_UINT, 2);
    elf_close(image);
}

// An image whose .debug_info passes a megabyte: opened from a file, the pages of finished units
// are handed back during the walk; opened from memory (a heap copy) they must not be. Both
// list the same variables with the same types.
TEST(DwarfUnits, LargeImageReadsTheSameFromAFileAndFromMemory) {
    DwarfImage d;
    d.abbrev = abbrev_table(kNamedUnits);
    const char* types[] = {"t0", "t1", "t2", "t3", "t4"};
    const char* names[] = {"v0", "v1", "v2", "v3", "v4"};
    for (uint32_t i = 0; i < 5; i++)
        named_unit(d.info, "unit.c", types[i], static_cast<uint8_t>(1u << (i % 4)), 7,
                   {{names[i], 0x20000000 + 0x100 * i}}, 500 * 1024);
    ASSERT_GT(d.info.size(), 2u * 1024 * 1024);
    Image img;
    img.sections.push_back({".debug_info", d.info.b});
    img.sections.push_back({".debug_abbrev", d.abbrev.b});
    std::vector<uint8_t> bytes = elfb::build(img);
    ScratchFolder folder("kx_dwarf_large");
    std::string path = (folder.path / "large.elf").string();
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    fclose(f);
    char error[ELF_ERROR_CAPACITY];
    ElfImage* from_file = elf_open(path.c_str(), error, sizeof error);
    ASSERT_NE(from_file, nullptr) << error;
    ElfImage* from_memory = elf_open_memory(bytes.data(), bytes.size(), error, sizeof error);
    ASSERT_NE(from_memory, nullptr) << error;
    for (ElfImage* image : {from_file, from_memory}) {
        ASSERT_EQ(elf_global_count(image), 5);
        for (uint32_t i = 0; i < 5; i++) {
            uint32_t size = 1u << (i % 4);
            expect_typed(image, names[i], 0x20000000 + 0x100 * i, types[i], TYPE_UINT, size);
        }
    }
    elf_close(from_file);
    elf_close(from_memory);
}

TEST(DwarfForms, StringAndAddressIndexes) {
    DwarfImage d;
    d.abbrev = abbrev_table({
        {1, T_cu, true, {}},
        {2, T_var, false, {{A_name, F_strx1}, {A_location, F_exprloc}}},
        {3, T_cu, true, {{A_addr_base, F_sec_offset}}},
        {4, T_var, false, {{A_name, F_strx1}, {A_location, F_addrx}}},
    });
    d.str.u8(0).str("alpha").str("beta").str("gamma");  // offsets 1, 7, 12
    // String-offset table: header (8 bytes) then offsets; a unit without a base reads from 8.
    d.str_offsets.u32(12).u16(5).u16(0).u32(1).u32(7).u32(12);
    // Address table: header (8 bytes) then two addresses.
    d.addr.u32(12).u16(5).u8(4).u8(0).u32(0x20000400).u32(0x20000404);
    size_t u = begin_unit(d.info, 5);
    d.info.uleb(1).uleb(2).u8(0);
    addr_expr(d.info, 0x20000300);
    d.info.u8(0);
    end_unit(d.info, u);
    // A version 4 unit: strx has no text there, so its variable has no name and is ignored.
    u = begin_unit(d.info, 4);
    d.info.uleb(1).uleb(2).u8(1);
    addr_expr(d.info, 0x20000310);
    d.info.u8(0);
    end_unit(d.info, u);
    // DWARF 5 with DW_AT_addr_base: the variable's location is entry 1 of the address table.
    u = begin_unit(d.info, 5);
    d.info.uleb(3).u32(8).uleb(4).u8(2).uleb(1).u8(0);
    end_unit(d.info, u);
    ElfImage* image = d.open();
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(elf_global_count(image), 2);
    EXPECT_STREQ(elf_global_at(image, 0)->name, "alpha");
    EXPECT_EQ(elf_global_at(image, 0)->address, 0x20000300u);
    EXPECT_STREQ(elf_global_at(image, 1)->name, "gamma");
    EXPECT_EQ(elf_global_at(image, 1)->address, 0x20000404u);
    elf_close(image);
}

TEST(DwarfForms, ImplicitConstantsAndIndirectForms) {
    DwarfImage d;
    Abbrev base = {3, T_base, false, {{A_name, F_string}, {A_byte_size, F_implicit_const}, {A_encoding, F_data1}}};
    base.implicit = 2;
    d.abbrev = abbrev_table({
        {1, T_cu, true, {}},
        {2, T_var, false, {{A_name, 0x16 /* indirect */}, {A_type, F_ref4}, {A_location, F_exprloc}}},
        base,
    });
    size_t u = begin_unit(d.info, 5);
    d.info.uleb(1);
    size_t type_at = d.info.size() - u;
    d.info.uleb(3).str("short").u8(5);
    d.info.uleb(2).uleb(F_string).str("via_indirect").u32(type_at);
    addr_expr(d.info, 0x20000050);
    // An indirect form naming indirect again fails the entry and so the whole unit.
    d.info.u8(0);
    end_unit(d.info, u);
    u = begin_unit(d.info, 5);
    d.info.uleb(1).uleb(2).uleb(0x16).uleb(0x16).uleb(F_string).str("nested").u32(0);
    addr_expr(d.info, 0x20000060);
    d.info.u8(0);
    end_unit(d.info, u);
    ElfImage* image = d.open();
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(elf_global_count(image), 1);
    const GlobalVar* v = elf_global_at(image, 0);
    EXPECT_STREQ(v->name, "via_indirect");
    ASSERT_NE(v->type, nullptr);
    EXPECT_EQ(v->type->byte_size, 2u);
    EXPECT_EQ(v->size, 2u);
    elf_close(image);
}

TEST(DwarfForms, UnitRelativeAndAbsoluteReferences) {
    DwarfImage d;
    d.abbrev = abbrev_table(kBasic);
    // Pad the first unit so the second starts well past 0.
    size_t u = begin_unit(d.info, 4);
    d.info.uleb(1).uleb(3).str("padding_type_name_long").u8(2).u8(7).u8(0);
    end_unit(d.info, u);
    size_t second = begin_unit(d.info, 4);
    d.info.uleb(1);
    size_t type_at = d.info.size();
    d.info.uleb(3).str("uint16_t").u8(2).u8(7);
    d.info.uleb(2).str("by_ref4").u32(type_at - second);
    addr_expr(d.info, 0x20000010);
    d.info.uleb(5).str("by_ref_addr").u32(type_at);
    addr_expr(d.info, 0x20000020);
    // The variable step reads only the first operation; "DW_OP_addr; DW_OP_stack_value" is a
    // value, not a location, and a location of 0 is no location.
    d.info.uleb(2).str("optimised_local").u32(type_at - second);
    addr_expr(d.info, 0x20000030, {0x9F});
    d.info.uleb(2).str("at_zero").u32(type_at - second);
    addr_expr(d.info, 0);
    d.info.uleb(2).str("on_stack").u32(type_at - second).uleb(2).u8(0x91).u8(0x7C);  // DW_OP_fbreg -4
    d.info.u8(0);
    end_unit(d.info, second);
    elfb::Symbols syms(false, true);
    syms.add("at_zero", 0, 2, elfb::OBJECT_GLOBAL, 1);
    d.symbols = &syms;
    ElfImage* image = d.open();
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(elf_global_count(image), 3);
    for (const char* name : {"by_ref4", "by_ref_addr"}) {
        const GlobalVar* v = find(image, name);
        ASSERT_NE(v, nullptr) << name;
        ASSERT_NE(v->type, nullptr) << name;
        EXPECT_STREQ(v->type->name, "uint16_t");
        EXPECT_EQ(v->type->kind, TYPE_UINT);
    }
    // Both references name the same entry, so they share its cached record.
    EXPECT_EQ(find(image, "by_ref4")->type, find(image, "by_ref_addr")->type);
    EXPECT_EQ(elf_find_global(image, "optimised_local"), -1);
    EXPECT_EQ(elf_find_global(image, "on_stack"), -1);
    const GlobalVar* zero = find(image, "at_zero");
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zero->from_debug_info, 0);
    EXPECT_EQ(zero->type, nullptr);
    elf_close(image);
}

TEST(DwarfVariables, DeclarationsBlocksAndSymbolSizes) {
    DwarfImage d;
    d.abbrev = abbrev_table({
        {1, T_cu, true, {}},
        {2, T_var, false, {{A_name, F_string}, {A_type, F_ref4}, {A_decl, F_flag_present}}},
        {3, T_var, false, {{A_spec, F_ref4}, {A_location, F_block1}}},
        {4, T_struct, false, {{A_name, F_string}}},
        {5, T_var, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_block1}}},
        {6, T_base, false, {{A_name, F_string}, {A_byte_size, F_data1}, {A_encoding, F_data1}}},
    });
    size_t u = begin_unit(d.info, 2);
    d.info.uleb(1);
    size_t int_at = d.info.size() - u;
    d.info.uleb(6).str("long").u8(4).u8(5);
    // extern long g_speed; long g_speed = ...; (the definition carries neither name nor type)
    size_t decl_at = d.info.size() - u;
    d.info.uleb(2).str("g_speed").u32(int_at);
    d.info.uleb(3).u32(decl_at).u8(5).u8(0x03).u32(0x20000200);
    // A structure without a byte size: the symbol table supplies the variable's size.
    size_t opaque_at = d.info.size() - u;
    d.info.uleb(4).str("opaque");
    d.info.uleb(5).str("g_opaque").u32(opaque_at).u8(5).u8(0x03).u32(0x20000300);
    d.info.u8(0);
    end_unit(d.info, u);
    elfb::Symbols syms(false, true);
    syms.add("g_opaque", 0x20000300, 24, elfb::OBJECT_GLOBAL, 1);
    syms.add("g_speed", 0x20000999, 8, elfb::OBJECT_GLOBAL, 1);
    d.symbols = &syms;
    ElfImage* image = d.open();
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(elf_global_count(image), 2);
    const GlobalVar* speed = find(image, "g_speed");
    ASSERT_NE(speed, nullptr);
    EXPECT_EQ(speed->address, 0x20000200u);  // debug information came first and decides
    EXPECT_EQ(speed->size, 4u);
    ASSERT_NE(speed->type, nullptr);
    EXPECT_STREQ(speed->type->name, "long");
    const GlobalVar* opaque = find(image, "g_opaque");
    ASSERT_NE(opaque, nullptr);
    EXPECT_EQ(opaque->size, 24u);
    EXPECT_EQ(opaque->from_debug_info, 1);
    EXPECT_STREQ(opaque->type->name, "struct opaque");
    elf_close(image);
}

// Builds one unit holding the types of the type tests and a variable of each.
struct TypeUnit {
    DwarfImage d;
    explicit TypeUnit(bool le, uint16_t version) {
        d.le = le;
        d.info.le = d.abbrev.le = le;
        d.abbrev = abbrev_table({
            {1, T_cu, true, {}},
            {2, T_var, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_block1}}},
            {3, T_base, false, {{A_name, F_string}, {A_byte_size, F_data1}, {A_encoding, F_data1}}},
            {4, T_typedef, false, {{A_name, F_string}, {A_type, F_ref4}}},
            {5, T_enum, true, {{A_byte_size, F_data1}}},
            {6, T_enumerator, false, {{A_name, F_string}, {A_const_value, F_sdata}}},
            {7, T_array, true, {{A_type, F_ref4}}},
            {8, T_subrange, false, {{A_upper, F_data1}}},
            {9, T_struct, true, {{A_name, F_string}, {A_byte_size, F_data1}}},
            // DWARF 2 member: offset as a DW_OP_plus_uconst block.
            {10, T_member, false, {{A_name, F_string}, {A_type, F_ref4}, {A_member_loc, F_block1}}},
            // DWARF 2 to 4 bit field: storage unit size, offset from its most significant bit.
            {11, T_member, false, {{A_name, F_string}, {A_type, F_ref4}, {A_byte_size, F_data1},
                                   {A_bit_size, F_data1}, {A_bit_offset, F_data1}, {A_member_loc, F_block1}}},
            // DWARF 5 bit field: bit offset from the start of the structure.
            {12, T_member, false, {{A_name, F_string}, {A_type, F_ref4}, {A_bit_size, F_data1},
                                   {A_data_bit_offset, F_data2}}},
            {13, T_ptr, false, {{A_byte_size, F_data1}, {A_type, F_ref4}}},
            {14, T_subrange, false, {{A_count, F_data1}}},
        }, le);
        Bytes& i = d.info;
        size_t u = begin_unit(i, version);
        auto here = [&] { return static_cast<uint32_t>(i.size() - u); };
        auto ref_later = [&](size_t& slot) { slot = i.size(); i.u32(0); };
        auto block_uconst = [&](uint8_t offset) { i.u8(2).u8(0x23).u8(offset); };
        i.uleb(1);
        uint32_t u8_at = here();
        i.uleb(3).str("uint8_t").u8(1).u8(8);
        uint32_t u32_at = here();
        i.uleb(3).str("uint32_t").u8(4).u8(7);
        uint32_t i32_at = here();
        i.uleb(3).str("int32_t").u8(4).u8(5);
        // typedef enum { A = 1, B = 2 } mode_t;
        uint32_t enum_at = here();
        i.uleb(5).u8(1).uleb(6).str("A").sleb(1).uleb(6).str("B").sleb(2).uleb(6).str("NEG").sleb(-3).u8(0);
        uint32_t mode_at = here();
        i.uleb(4).str("mode_t").u32(enum_at);
        // uint8_t matrix[4][8];
        uint32_t matrix_at = here();
        i.uleb(7).u32(u8_at).uleb(8).u8(3).uleb(14).u8(8).u8(0);
        // int32_t triple[3];
        uint32_t triple_at = here();
        i.uleb(7).u32(i32_at).uleb(8).u8(2).u8(0);
        // struct node { int32_t value; struct node* next; }
        uint32_t node_at = here();
        size_t next_ref;
        i.uleb(9).str("node").u8(8);
        i.uleb(10).str("value").u32(i32_at);
        block_uconst(0);
        i.uleb(10).str("next");
        ref_later(next_ref);
        block_uconst(4);
        i.u8(0);
        uint32_t node_ptr_at = here();
        i.uleb(13).u8(4).u32(node_at);
        i.patch_u32(next_ref, node_ptr_at);
        // struct packet { uint32_t header; int32_t triple[3]; bit fields past the first words }
        uint32_t packet_at = here();
        i.uleb(9).str("packet").u8(24);
        i.uleb(10).str("header").u32(u32_at);
        block_uconst(0);
        i.uleb(10).str("triple").u32(triple_at);
        block_uconst(4);
        // old style: unit at 16, 5 bits starting 9 bits below the unit's top: LSB position 18
        i.uleb(11).str("old_field").u32(u32_at).u8(4).u8(5).u8(9);
        block_uconst(16);
        // new style: 7 bits at bit 172 of the structure = byte 20 bit 12
        i.uleb(12).str("new_field").u32(i32_at).u8(7).u16(172);
        i.u8(0);
        // Variables.
        i.uleb(2).str("g_mode").u32(mode_at).u8(5).u8(0x03).u32(0x20000000);
        i.uleb(2).str("g_matrix").u32(matrix_at).u8(5).u8(0x03).u32(0x20000010);
        i.uleb(2).str("g_head").u32(node_ptr_at).u8(5).u8(0x03).u32(0x20000040);
        i.uleb(2).str("g_packet").u32(packet_at).u8(5).u8(0x03).u32(0x20000080);
        i.u8(0);
        end_unit(i, u);
    }
};

TEST(DwarfTypes, EnumsArraysAndPointers) {
    TypeUnit t(true, 2);
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = t.d.open(error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    const GlobalVar* mode = find(image, "g_mode");
    ASSERT_NE(mode, nullptr);
    ASSERT_NE(mode->type, nullptr);
    EXPECT_EQ(mode->type->kind, TYPE_ENUM);
    EXPECT_STREQ(mode->type->name, "mode_t");
    EXPECT_EQ(mode->type->byte_size, 1u);
    ASSERT_EQ(mode->type->child_count, 3);
    EXPECT_STREQ(mode->type->children[0]->name, "A");
    EXPECT_EQ(mode->type->children[1]->enum_value, 2);
    EXPECT_EQ(mode->type->children[2]->enum_value, -3);

    const GlobalVar* matrix = find(image, "g_matrix");
    ASSERT_NE(matrix, nullptr);
    // Two dimensions: four rows of eight bytes, so elements are named g_matrix[i][j].
    EXPECT_EQ(matrix->type->kind, TYPE_ARRAY);
    EXPECT_EQ(matrix->type->element_count, 4);
    EXPECT_EQ(matrix->type->byte_size, 32u);
    EXPECT_EQ(matrix->size, 32u);
    ASSERT_EQ(matrix->type->child_count, 1);
    const TypeInfo* row = matrix->type->children[0];
    EXPECT_EQ(row->kind, TYPE_ARRAY);
    EXPECT_EQ(row->element_count, 8);
    EXPECT_EQ(row->byte_size, 8u);
    ASSERT_EQ(row->child_count, 1);
    EXPECT_STREQ(row->children[0]->name, "uint8_t");

    // The list node points at itself: the chain of pointees ends at the pointee depth limit.
    const GlobalVar* head = find(image, "g_head");
    ASSERT_NE(head, nullptr);
    const TypeInfo* p = head->type;
    int levels = 0;
    while (p && levels < 1000) {
        if (p->kind == TYPE_POINTER) p = p->child_count ? p->children[0] : nullptr;
        else p = p->child_count > 1 ? p->children[1] : nullptr;  // node.next
        levels++;
    }
    EXPECT_GE(levels, DWARF_MAX_POINTEE_DEPTH / 2);
    EXPECT_LE(levels, DWARF_MAX_POINTEE_DEPTH + 2);
    elf_close(image);
}

TEST(DwarfTypes, MemberOffsetsAndBitFieldsInEitherByteOrder) {
    for (bool le : {true, false}) {
        TypeUnit t(le, 2);
        ElfImage* image = t.d.open();
        ASSERT_NE(image, nullptr);
        const GlobalVar* packet = find(image, "g_packet");
        ASSERT_NE(packet, nullptr);
        const TypeInfo* s = packet->type;
        ASSERT_EQ(s->kind, TYPE_STRUCT);
        EXPECT_STREQ(s->name, "struct packet");
        ASSERT_EQ(s->child_count, 4);
        const TypeInfo* triple = s->children[1];
        EXPECT_STREQ(triple->name, "triple");
        EXPECT_EQ(triple->member_offset, 4u);
        EXPECT_EQ(triple->element_count, 3);
        EXPECT_EQ(triple->byte_size, 12u);
        // DW_AT_bit_offset 9 of a 4-byte unit at 16, 5 bits wide.
        const TypeInfo* old_field = s->children[2];
        EXPECT_EQ(old_field->is_bitfield, 1);
        EXPECT_EQ(old_field->member_offset, 16u);
        EXPECT_EQ(old_field->bit_size, 5);
        EXPECT_EQ(old_field->bit_offset, le ? 32 - 9 - 5 : 32 - 9 - 5);
        // DW_AT_data_bit_offset 172: the 4-byte unit at 20 holds it, 12 bits in (little-endian
        // numbering) or 12 bits below the top (big-endian numbering).
        const TypeInfo* new_field = s->children[3];
        EXPECT_EQ(new_field->member_offset, 20u);
        EXPECT_EQ(new_field->bit_size, 7);
        EXPECT_EQ(new_field->bit_offset, le ? 12 : 32 - 12 - 7);
        EXPECT_EQ(new_field->is_signed, 1);
        elf_close(image);
    }
}

// Static location expressions: clang's merged globals, constants, arithmetic; anything that
// needs a running target is no location.
TEST(DwarfVariables, LocationExpressionsRunOnAStack) {
    DwarfImage d;
    d.abbrev = abbrev_table(kBasic);
    size_t u = begin_unit(d.info, 4);
    d.info.uleb(1);
    size_t int_at = d.info.size() - u;
    d.info.uleb(3).str("int").u8(4).u8(5);
    auto var = [&](const char* name, std::vector<uint8_t> expr) {
        d.info.uleb(2).str(name).u32(static_cast<uint32_t>(int_at)).uleb(expr.size()).raw(expr);
    };
    var("merged_0", {0x03, 0x00, 0x01, 0x00, 0x20});                    // addr 0x20000100
    var("merged_8", {0x03, 0x00, 0x01, 0x00, 0x20, 0x23, 0x08});        // + plus_uconst 8
    var("merged_300", {0x03, 0x00, 0x01, 0x00, 0x20, 0x23, 0xAC, 0x02}); // + plus_uconst 300
    var("by_plus", {0x0C, 0x00, 0x02, 0x00, 0x20, 0x34, 0x22});         // const4u 0x20000200, lit4, plus
    var("by_minus", {0x10, 0x90, 0x84, 0x84, 0x80, 0x02, 0x11, 0x10, 0x1C});  // constu 0x20010210, consts 16, minus
    var("by_const1s", {0x0C, 0x10, 0x03, 0x00, 0x20, 0x09, 0xF0, 0x22}); // const4u 0x20000310, const1s -16, plus
    var("value_only", {0x03, 0x00, 0x04, 0x00, 0x20, 0x9F});             // stack_value: not an address
    var("in_register", {0x50});                                         // reg0
    var("on_frame", {0x91, 0x08});                                      // fbreg 8
    var("in_pieces", {0x03, 0x00, 0x05, 0x00, 0x20, 0x93, 0x02});        // piece
    var("underflow", {0x22});                                           // plus on an empty stack
    var("truncated", {0x03, 0x00, 0x01});                               // address cut short
    d.info.u8(0);
    end_unit(d.info, u);
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = d.open(error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    const std::pair<const char*, uint64_t> located[] = {
        {"merged_0", 0x20000100}, {"merged_8", 0x20000108}, {"merged_300", 0x2000022C},
        {"by_plus", 0x20000204}, {"by_minus", 0x20010200}, {"by_const1s", 0x20000300}};
    for (const auto& l : located) {
        const GlobalVar* v = find(image, l.first);
        ASSERT_NE(v, nullptr) << l.first;
        EXPECT_EQ(v->address, l.second) << l.first;
    }
    for (const char* name : {"value_only", "in_register", "on_frame", "in_pieces", "underflow", "truncated"})
        EXPECT_EQ(elf_find_global(image, name), -1) << name;
    elf_close(image);
}

// Type units: a variable typed through DW_FORM_ref_sig8, and a declaration naming its type unit
// through DW_AT_signature, both in .debug_types (DWARF 4) and in DWARF 5 type units.
TEST(DwarfTypes, TypeUnitsResolveBySignature) {
    const uint64_t sig = 0x1122334455667788ull;
    for (int version : {4, 5}) {
        DwarfImage d;
        d.abbrev = abbrev_table({
            {1, T_cu, true, {}},
            {2, T_var, false, {{A_name, F_string}, {A_type, F_ref_sig8}, {A_location, F_exprloc}}},
            {3, T_type_unit, true, {}},
            {4, T_struct, true, {{A_name, F_string}, {A_byte_size, F_data1}}},
            {5, T_member, false, {{A_name, F_string}, {A_type, F_ref4}, {A_member_loc, F_data1}}},
            {6, T_base, false, {{A_name, F_string}, {A_byte_size, F_data1}, {A_encoding, F_data1}}},
            {7, T_struct, false, {{A_decl, F_flag_present}, {A_signature, F_ref_sig8}}},
            {8, T_var, false, {{A_name, F_string}, {A_type, F_ref4}, {A_location, F_exprloc}}},
        });
        // The type unit: struct pair { uint16_t lo; uint16_t hi; }.
        Bytes& t = version == 4 ? d.types : d.info;
        size_t tu = t.size();
        t.u32(0).u16(static_cast<uint16_t>(version));
        if (version >= 5) t.u8(2).u8(4).u32(0);  // DW_UT_type, address size, abbreviations
        else t.u32(0).u8(4);
        size_t type_offset_at = t.size() + 8;
        t.u64(sig).u32(0);
        t.uleb(3);
        uint32_t struct_at = static_cast<uint32_t>(t.size() - tu);
        t.patch_u32(type_offset_at, struct_at);
        size_t member_type_1 = 0, member_type_2 = 0;
        t.uleb(4).str("pair").u8(4);
        t.uleb(5).str("lo");
        member_type_1 = t.size();
        t.u32(0).u8(0);
        t.uleb(5).str("hi");
        member_type_2 = t.size();
        t.u32(0).u8(2);
        t.u8(0);
        uint32_t u16_at = static_cast<uint32_t>(t.size() - tu);
        t.uleb(6).str("uint16_t").u8(2).u8(7);
        t.u8(0);
        t.patch_u32(member_type_1, u16_at);
        t.patch_u32(member_type_2, u16_at);
        end_unit(t, tu);
        // The compilation unit: one variable by signature, one through a declaration stub.
        size_t u = begin_unit(d.info, static_cast<uint16_t>(version));
        d.info.uleb(1);
        d.info.uleb(2).str("g_pair").u64(sig);
        addr_expr(d.info, 0x20000010);
        uint32_t stub_at = static_cast<uint32_t>(d.info.size() - u);
        d.info.uleb(7).u64(sig);
        d.info.uleb(8).str("g_stub").u32(stub_at);
        addr_expr(d.info, 0x20000020);
        d.info.u8(0);
        end_unit(d.info, u);
        char error[ELF_ERROR_CAPACITY];
        ElfImage* image = d.open(error, sizeof error);
        ASSERT_NE(image, nullptr) << error;
        for (const char* name : {"g_pair", "g_stub"}) {
            const GlobalVar* v = find(image, name);
            ASSERT_NE(v, nullptr) << name << " DWARF " << version;
            ASSERT_NE(v->type, nullptr) << name << " DWARF " << version;
            EXPECT_STREQ(v->type->name, "struct pair");
            EXPECT_EQ(v->size, 4u);
            ASSERT_EQ(v->type->child_count, 2);
            EXPECT_STREQ(v->type->children[1]->name, "hi");
            EXPECT_EQ(v->type->children[1]->member_offset, 2u);
            EXPECT_EQ(v->type->children[1]->kind, TYPE_UINT);
        }
        elf_close(image);
    }
}

}  // namespace
