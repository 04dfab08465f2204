// The symbol reader against real compiler output: every test firmware image (GCC DWARF 2 to 5,
// -O0 and -O2, big-endian, clang DWARF 5) is opened, and every variable, member, element count,
// bit field and enumerator the reader reports is checked against the compiler's symbol table
// (arm-none-eabi-nm) and against gdb-multiarch reading the same file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "../data/firmware_images.h"
#include "../data/scratch_dir.h"
#include "firmware/elf.h"
#include "vartable/leaf_codec.h"
#include "vartable/leaf_table.h"

// The checks drive native tools (gdb-multiarch, nm) through a shell: native builds only.
#ifndef _WIN32
namespace {

// Output of a shell command (stderr discarded).
std::string run(const std::string& command) {
    std::string out;
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    if (!pipe) return out;
    char buffer[4096];
    size_t got;
    while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
    pclose(pipe);
    return out;
}

bool have_tool(const char* name) { return !run(std::string("command -v ") + name).empty(); }

// One gdb question and what the reader's records say the answer must be.
struct Check {
    std::string command;
    std::string what;
    // Either an exact expected answer, or (for bit fields) a storage unit to decode.
    std::string expected;
    const TypeInfo* bitfield = nullptr;
    size_t unit_check = 0;  // index of the check that printed the storage unit
};

std::string hex(uint64_t v) {
    char b[32];
    snprintf(b, sizeof b, "0x%llx", static_cast<unsigned long long>(v));
    return b;
}

const char* storage_type(uint32_t bytes) {
    switch (bytes) {
        case 1: return "unsigned char";
        case 2: return "unsigned short";
        case 4: return "unsigned int";
        default: return "unsigned long long";
    }
}

// Builds the gdb checks for one expression of a given type at a given address.
void add_checks(std::vector<Check>& checks, const std::string& expr, const TypeInfo* t, uint64_t address) {
    checks.push_back({"print/x (unsigned long long)&(" + expr + ")", expr + " address", hex(address)});
    checks.push_back({"print sizeof(" + expr + ")", expr + " size", std::to_string(t->byte_size)});
    switch (t->kind) {
        case TYPE_STRUCT:
        case TYPE_UNION:
            for (int32_t i = 0; i < t->child_count; i++) {
                const TypeInfo* m = t->children[i];
                if (!m->name) continue;
                std::string member = expr + "." + m->name;
                if (!m->is_bitfield) {
                    add_checks(checks, member, m, address + m->member_offset);
                    continue;
                }
                // The value is the storage unit at the member offset shifted right by bit_offset.
                char unit[160];
                snprintf(unit, sizeof unit, "print/x *(%s*)0x%llx", storage_type(m->byte_size),
                         static_cast<unsigned long long>(address + m->member_offset));
                checks.push_back({unit, member + " storage", ""});
                Check value = {"print/d " + member, member + " value", ""};
                value.bitfield = m;
                value.unit_check = checks.size() - 1;
                checks.push_back(value);
            }
            break;
        case TYPE_ARRAY:
            if (t->child_count == 1) {
                // Arrays of several dimensions are arrays of arrays: m[0] is the first row.
                const TypeInfo* e = t->children[0];
                checks.push_back({"print sizeof(" + expr + ")/sizeof(" + expr + "[0])", expr + " element count",
                                  std::to_string(t->element_count)});
                if (e->kind == TYPE_STRUCT || e->kind == TYPE_ARRAY) add_checks(checks, expr + "[0]", e, address);
            }
            break;
        case TYPE_ENUM:
            for (int32_t i = 0; i < t->child_count; i++) {
                const TypeInfo* e = t->children[i];
                checks.push_back({std::string("print (long long)") + e->name, std::string("enumerator ") + e->name,
                                  std::to_string(e->enum_value)});
            }
            break;
        default:
            break;
    }
}

// Decodes a bit field from its storage unit the way the leaf table will.
int64_t decode_bitfield(const TypeInfo* m, uint64_t unit) {
    uint64_t v = unit >> m->bit_offset;
    if (m->bit_size < 64) v &= (1ull << m->bit_size) - 1;
    if (m->is_signed && m->bit_size < 64 && (v >> (m->bit_size - 1)) & 1) v |= ~0ull << m->bit_size;
    return static_cast<int64_t>(v);
}

// Parses "$N = value" lines into values by N.
std::vector<std::string> gdb_values(const std::string& output) {
    std::vector<std::string> values;
    size_t pos = 0;
    while (pos < output.size()) {
        size_t end = output.find('\n', pos);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() < 4 || line[0] != '$') continue;
        size_t eq = line.find(" = ");
        if (eq == std::string::npos) continue;
        values.push_back(line.substr(eq + 3));
    }
    return values;
}

// nm -S: name -> list of (address, size).
std::multimap<std::string, std::pair<uint64_t, uint64_t>> nm_symbols(const std::string& path) {
    std::multimap<std::string, std::pair<uint64_t, uint64_t>> out;
    std::string text = run("arm-none-eabi-nm -S " + path);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        char name[256];
        unsigned long long address, size;
        char kind;
        if (sscanf(text.substr(pos, end - pos).c_str(), "%llx %llx %c %255s", &address, &size, &kind, name) == 4) {
            // Function statics: GCC names them tick_calls.0, clang fw_tick.tick_calls.
            std::string n = name;
            size_t dot = n.find('.');
            out.insert({n.substr(0, dot), {address, size}});
            if (dot != std::string::npos) out.insert({n.substr(dot + 1), {address, size}});
        }
        pos = end + 1;
    }
    return out;
}

class FirmwareImage : public ::testing::TestWithParam<const char*> {};

TEST_P(FirmwareImage, AgreesWithSymbolTableAndGdb) {
    std::string path = kxfw::path(GetParam());
    if (!kxfw::exists(path)) GTEST_SKIP() << path << " not built";
    if (!have_tool("gdb-multiarch") || !have_tool("arm-none-eabi-nm")) GTEST_SKIP() << "no gdb-multiarch";
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open(path.c_str(), error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    // These toolchains leave e_flags bit 20 clear, so the processor shows as plain ARM.
    EXPECT_STREQ(elf_machine_name(image), "ARM");
    EXPECT_EQ(elf_bits(image), 32);

    // Every kind of variable is there; the stack local is not.
    for (const char* name : {"g_i8", "g_u64", "g_f64", "g_flag", "g_mode", "g_ptr", "g_word", "g_matrix",
                             "g_name", "g_flags", "g_nodes", "g_head", "g_motor", "g_const_table",
                             "s_counter", "s_shared", "'fw_other.c'::s_shared", "fw_tick::tick_calls",
                             "g_bss_counter"})
        EXPECT_GE(elf_find_global(image, name), 0) << name;
    EXPECT_EQ(elf_find_global(image, "on_stack"), -1);

    // Addresses and sizes against the compiler's symbol table.
    auto symbols = nm_symbols(path);
    std::vector<Check> checks;
    for (int32_t i = 0; i < elf_global_count(image); i++) {
        const GlobalVar* v = elf_global_at(image, i);
        EXPECT_EQ(v->from_debug_info, 1) << v->name;
        // The symbol table knows "fw_tick::tick_calls" and "'fw_other.c'::s_shared" by their plain names.
        std::string plain = v->name;
        if (plain.rfind("::") != std::string::npos) plain = plain.substr(plain.rfind("::") + 2);
        auto range = symbols.equal_range(plain);
        ASSERT_NE(range.first, range.second) << v->name << " missing from the symbol table";
        bool address_found = false;
        for (auto it = range.first; it != range.second; ++it)
            if (it->second.first == v->address) {
                address_found = true;
                EXPECT_EQ(it->second.second, v->size) << v->name;
            }
        EXPECT_TRUE(address_found) << v->name << " at " << hex(v->address);
        ASSERT_NE(v->type, nullptr) << v->name;
        // Names with a namesake or only visible inside a function are left to the symbol table.
        if (symbols.count(plain) != 1 || plain != v->name) continue;
        add_checks(checks, v->name, v->type, v->address);
    }
    ASSERT_GT(checks.size(), 200u);

    // One gdb run answers every question, in order.
    ScratchFolder scratch("kx_gdb");
    std::string script_path = (scratch.path / ("gdb_" + std::string(GetParam()) + ".gdb")).string();
    FILE* script = fopen(script_path.c_str(), "w");
    ASSERT_NE(script, nullptr);
    for (const Check& c : checks) fprintf(script, "%s\n", c.command.c_str());
    fclose(script);
    std::vector<std::string> answers = gdb_values(run("gdb-multiarch -nx -batch -x " + script_path + " " + path));
    ASSERT_EQ(answers.size(), checks.size()) << "gdb stopped at: " << checks[std::min(answers.size(), checks.size() - 1)].command;
    int bitfields = 0;
    for (size_t i = 0; i < checks.size(); i++) {
        const Check& c = checks[i];
        if (c.bitfield) {
            uint64_t unit = strtoull(answers[c.unit_check].c_str(), nullptr, 16);
            EXPECT_EQ(std::to_string(decode_bitfield(c.bitfield, unit)), answers[i]) << c.what;
            bitfields++;
        } else if (!c.expected.empty()) {
            EXPECT_EQ(c.expected, answers[i]) << c.what << " (" << c.command << ")";
        }
    }
    EXPECT_EQ(bitfields, 20);
    elf_close(image);
}

INSTANTIATE_TEST_SUITE_P(Builds, FirmwareImage, ::testing::ValuesIn(kxfw::kVariants));


// ---- Every leaf against gdb ---------------------------------------------------------------------

// Initial bytes of target memory as the image holds them: loaded sections by address, zero for
// NOBITS sections (.bss), nothing elsewhere.
struct ImageMemory {
    ElfImage* image = nullptr;  // opened from memory, so its sections stay readable

    bool read(uint64_t address, uint32_t size, uint8_t* out) const {
        for (int32_t i = 1; i < image->shnum; i++) {
            const uint8_t* h = image->section_headers + static_cast<uint64_t>(i) * image->shentsize;
            uint32_t type = elf_read_u32(image, h + 4), flags = elf_read_u32(image, h + 8);
            uint64_t addr = elf_read_u32(image, h + 12), bytes = elf_read_u32(image, h + 20);
            if (!(flags & 2) || address < addr || address + size > addr + bytes) continue;  // SHF_ALLOC
            if (type == 8) {  // SHT_NOBITS
                memset(out, 0, size);
                return true;
            }
            uint64_t section_size = 0;
            const uint8_t* data = elf_section_by_index(image, i, &section_size);
            if (!data) return false;
            memcpy(out, data + (address - addr), size);
            return true;
        }
        return false;
    }
};

std::vector<std::string> split_tabs(const std::string& line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return out;
        start = tab + 1;
    }
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        out.push_back(text.substr(pos, end - pos));
        pos = end + 1;
    }
    return out;
}

// Compares one leaf with gdb's answer for its name; returns the failures (empty when it agrees).
std::string compare_leaf(const VarLeaf& leaf, const std::vector<std::string>& gdb, const ImageMemory& memory,
                         bool little) {
    if (gdb.empty() || gdb[0] != "ok") return "gdb cannot evaluate it: " + (gdb.size() > 1 ? gdb[1] : std::string("?"));
    if (gdb.size() < 6) return "short gdb answer";
    uint64_t address = strtoull(gdb[1].c_str(), nullptr, 10);
    uint64_t size = strtoull(gdb[2].c_str(), nullptr, 10);
    long long bitpos = strtoll(gdb[3].c_str(), nullptr, 10);
    uint64_t bitsize = strtoull(gdb[4].c_str(), nullptr, 10);
    const std::string& value = gdb[5];
    std::string problems;
    if (leaf.is_bitfield) {
        if (bitpos < 0) return "gdb sees no bit field";
        // Our unit of `size` bytes at the leaf address, shifted right by bit_offset; gdb counts
        // from its structure's address (from the most significant bit on big-endian targets).
        long long ours = static_cast<long long>((leaf.address - address) * 8) +
                         (little ? leaf.bit_offset : static_cast<long long>(leaf.size * 8) - leaf.bit_offset - leaf.bit_size);
        if (ours != bitpos) problems += " bit position " + std::to_string(ours) + " vs " + std::to_string(bitpos);
        if (bitsize != leaf.bit_size) problems += " bit size " + std::to_string(leaf.bit_size) + " vs " + gdb[4];
    } else {
        if (address != leaf.address) problems += " address " + hex(leaf.address) + " vs " + hex(address);
        if (size != leaf.size) problems += " size " + std::to_string(leaf.size) + " vs " + gdb[2];
    }
    if (!little || value == "-") return problems;  // the codec reads target memory as little-endian
    uint8_t raw[8] = {};
    if (leaf.size > 8 || !memory.read(leaf.address, leaf.size, raw)) return problems + " bytes not in the image";
    char text[64];
    double decoded = 0;
    leaf_decode(&leaf, raw, leaf.size, text, sizeof text, &decoded);
    switch (leaf.kind) {
        case TYPE_FLOAT:
            if (strtod(value.c_str(), nullptr) != decoded) problems += std::string(" value ") + text + " vs " + value;
            break;
        case TYPE_ENUM: {
            // gdb: "number name"; the reader's text is the enumerator's name (or the number).
            std::string number = value.substr(0, value.find(' '));
            std::string name = value.find(' ') == std::string::npos ? "" : value.substr(value.find(' ') + 1);
            bool named = !name.empty() && name[0] != '(' && !isdigit(static_cast<unsigned char>(name[0]));
            if (text != (named ? name : number)) problems += std::string(" text ") + text + " vs " + value;
            if (std::to_string(static_cast<long long>(decoded)) != number && static_cast<double>(strtoull(number.c_str(), nullptr, 10)) != decoded &&
                static_cast<double>(strtoll(number.c_str(), nullptr, 10)) != decoded)
                problems += " value " + std::to_string(decoded) + " vs " + number;
            break;
        }
        case TYPE_POINTER:
            if (strtoull(text, nullptr, 16) != strtoull(value.c_str(), nullptr, 10)) problems += std::string(" value ") + text + " vs " + value;
            break;
        case TYPE_BOOL:
            if ((decoded != 0) != (value != "0")) problems += std::string(" value ") + text + " vs " + value;
            break;
        default:
            if (value != text) problems += std::string(" value ") + text + " vs " + value;
            break;
    }
    return problems;
}

class FirmwareLeaves : public ::testing::TestWithParam<const char*> {
  protected:
    void TearDown() override { leaf_table_reset(); }
};

// Every leaf the table makes of the image is an expression gdb evaluates to the same object:
// address and size (bit position and width for bit fields) and value of the initial image.
TEST_P(FirmwareLeaves, EveryLeafIsAnExpressionGdbEvaluatesToTheSameObject) {
    std::string variant = GetParam();
    std::string path = kxfw::path(variant);
    if (!kxfw::exists(path)) GTEST_SKIP() << path << " not built";
    if (!have_tool("gdb-multiarch")) GTEST_SKIP() << "no gdb-multiarch";
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open(path.c_str(), error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    std::ifstream file(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ImageMemory memory;
    memory.image = elf_open_memory(bytes.data(), bytes.size(), error, sizeof error);
    ASSERT_NE(memory.image, nullptr) << error;
    bool little = image->little_endian != 0;

    leaf_table_reset();
    int32_t count = leaf_table_rebuild_from(image);
    ASSERT_GT(count, 10);
    for (int32_t i = 0; i < elf_global_count(image); i++) {
        const GlobalVar* v = elf_global_at(image, i);
        EXPECT_NE(std::string(v->name).rfind("_Z", 0), 0u) << v->name << ": a mangled copy of a described global";
        EXPECT_EQ(v->from_debug_info, 1) << v->name;
    }

    ScratchFolder scratch("kx_gdb_leaves");  // the name list is this test's own
    std::string names_path = (scratch.path / ("leaves_" + variant + ".txt")).string();
    FILE* names = fopen(names_path.c_str(), "w");
    ASSERT_NE(names, nullptr);
    for (int32_t id = 0; id < count; id++) fprintf(names, "%s\n", leaf_at(id)->name);
    fclose(names);
    std::string script = std::string(KX_TEST_DATA_DIR) + "/../firmware/gdb_leaves.py";
    std::vector<std::string> answers = lines_of(run("gdb-multiarch -nx -batch -ex 'set $names_file=\"" + names_path +
                                                    "\"' -x " + script + " " + path));
    ASSERT_EQ(answers.size(), static_cast<size_t>(count)) << "gdb answered " << answers.size() << " of " << count;
    for (int32_t id = 0; id < count; id++) {
        const VarLeaf& leaf = *leaf_at(id);
        std::string problems = compare_leaf(leaf, split_tabs(answers[id]), memory, little);
        EXPECT_EQ(problems, "") << variant << ": " << leaf.name << " (" << answers[id] << ")";
    }

    // What each kind of image must contain.
    auto has = [](const char* name) { return leaf_find(name) >= 0; };
    if (variant.find("cpp") != std::string::npos) {
        for (const char* name : {"ns::counter", "'ns::inner::gain'", "'ns::inner::offsets'[1].y",
                                 "'(anonymous namespace)::hidden'", "Cfg::level", "Cfg::table[3]", "g_cfg.a", "g_cfg.b",
                                 "Klass::table[2]", "g_derived.base_a", "g_derived.base_b", "g_derived.mid_c",
                                 "g_derived.own", "g_square.side", "g_ref", "g_holder.ref",
                                 "g_field_ptr", "g_method_ptr", "g_big", "g_top", "g_neg", "g_pixel.mode",
                                 "g_pixel.color", "g_pixel.lit", "g_ring16.data[2]", "g_ringf.data[1]",
                                 "g_anon.word", "g_anon.bytes[3]", "g_anon.parts.hi", "fw_cpp_tick::calls",
                                 "'ns::ns_tick'::ns_calls"})
            EXPECT_TRUE(has(name)) << variant << " lacks " << name;
        EXPECT_FALSE(has("g_cfg.level")) << "a static member counted as a member";
        // GCC describes the base of a virtual class in full (clang only declares it here, and
        // gdb then knows no more than the reader): its vtable pointer and member are leaves.
        if (variant.rfind("gcc", 0) == 0) {
            EXPECT_TRUE(has("g_square.'_vptr.Shape'")) << variant;
            EXPECT_TRUE(has("g_square.w")) << variant;
        }
        EXPECT_EQ(leaf_at(leaf_find("g_method_ptr"))->size, 8u);
        EXPECT_EQ(leaf_at(leaf_find("g_pixel.color"))->enumerator_count, 3);
    } else if (variant.find("packed") != std::string::npos) {
        for (const char* name : {"g_straddle.a", "g_straddle.b", "g_straddle.c", "g_straddle.d", "g_straddle.lv",
                                 "g_straddle.tail", "g_too_wide.head", "g_too_wide.after", "g_rows[2][1].y",
                                 "g_cells[1][2]", "g_text", "g_utext", "g_bools[19]", "g_i8s[17]", "g_u8s[19]",
                                 "g_levels[17]", "m_a", "m_b", "m_c", "m_d", "m_e", "m_f", "m_g"})
            EXPECT_TRUE(has(name)) << variant << " lacks " << name;
        EXPECT_FALSE(has("g_too_wide.wide")) << "a field no 8-byte unit holds got a leaf";
        // Merged globals (clang -Oz/-O3: one block, "addr; plus_uconst N") keep their own addresses.
        std::set<uint64_t> merged;
        for (const char* name : {"m_a", "m_b", "m_c", "m_d", "m_e", "m_f", "m_g"})
            if (has(name)) merged.insert(leaf_at(leaf_find(name))->address);
        EXPECT_EQ(merged.size(), 7u) << variant;
        EXPECT_EQ(leaf_at(leaf_find("g_text"))->kind, TYPE_STRING);
        EXPECT_EQ(leaf_at(leaf_find("g_straddle.d"))->size, 8u);
    } else {
        EXPECT_TRUE(has("fw_tick::tick_calls")) << variant;
        EXPECT_TRUE(has("g_matrix[3][2]")) << variant;
        EXPECT_TRUE(has("g_curve[1][2]")) << variant;
    }
    elf_close(memory.image);
    elf_close(image);
}

INSTANTIATE_TEST_SUITE_P(Builds, FirmwareLeaves, ::testing::ValuesIn(kxfw::kLeafVariants));

// ---- Link-time optimised images ------------------------------------------------------------------

class LtoImage : public ::testing::TestWithParam<const char*> {};

// GCC's link-time optimiser places every variable from an "<artificial>" unit through an abstract
// origin into the unit of its source file, where the entry may only complete a declaration (a
// header's extern, a namespace or class member); and it makes every symbol local.
// Every data object of the symbol table must still be listed at its address, file statics named
// by the file that declares them, and every name gdb evaluates to an object must be that object
// (gdb has no address for the file statics of such an image: it finds their declarations).
TEST_P(LtoImage, EveryDataObjectIsListedAtItsAddressUnderItsOwnName) {
    std::string variant = GetParam();
    std::string path = kxfw::path(variant);
    if (!kxfw::exists(path)) GTEST_SKIP() << path << " not built";
    if (!have_tool("gdb-multiarch") || !have_tool("arm-none-eabi-nm")) GTEST_SKIP() << "no gdb-multiarch";
    char error[ELF_ERROR_CAPACITY];
    ElfImage* image = elf_open(path.c_str(), error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    std::map<uint64_t, std::string> listed;
    for (int32_t i = 0; i < elf_global_count(image); i++) {
        const GlobalVar* v = elf_global_at(image, i);
        listed[v->address] = v->name;
        EXPECT_EQ(std::string(v->name).find("<artificial>"), std::string::npos) << v->name;
        EXPECT_EQ(v->from_debug_info, 1) << v->name;
    }

    int objects = 0;
    for (const std::string& line : lines_of(run("arm-none-eabi-nm -S " + path))) {
        char address[32], size[32], kind[4], name[256];
        if (sscanf(line.c_str(), "%31s %31s %3s %255s", address, size, kind, name) != 4) continue;
        if (!strchr("bBdDrR", kind[0]) || strncmp(name, "_ZT", 3) == 0 || strncmp(name, "_ZGV", 4) == 0) continue;
        objects++;
        EXPECT_EQ(listed.count(strtoull(address, nullptr, 16)), 1u) << variant << ": " << name << " at 0x" << address;
    }
    EXPECT_GT(objects, 5) << variant;

    std::vector<std::string> required = variant.find("cpp") != std::string::npos
        ? std::vector<std::string>{"ns::counter", "'ns::inner::gain'", "Cfg::level", "Cfg::limit", "g_cfg", "g_derived"}
        : std::vector<std::string>{"g_motor", "g_const_table", "s_counter", "fw_tick::tick_calls"};
    ScratchFolder scratch("kx_gdb_globals");  // the name list is this test's own
    std::string names_path = (scratch.path / ("globals_" + variant + ".txt")).string();
    FILE* names = fopen(names_path.c_str(), "w");
    ASSERT_NE(names, nullptr);
    for (const auto& entry : listed) fprintf(names, "%s\n", entry.second.c_str());
    fclose(names);
    std::string script = std::string(KX_TEST_DATA_DIR) + "/../firmware/gdb_leaves.py";
    std::vector<std::string> answers = lines_of(run("gdb-multiarch -nx -batch -ex 'set $names_file=\"" + names_path +
                                                    "\"' -x " + script + " " + path));
    ASSERT_EQ(answers.size(), listed.size());
    size_t at = 0;
    int agreed = 0;
    for (const auto& entry : listed) {
        std::vector<std::string> gdb = split_tabs(answers[at++]);
        if (gdb.empty() || gdb[0] != "ok") continue;
        agreed++;
        const GlobalVar* v = elf_global_at(image, elf_find_global(image, entry.second.c_str()));
        EXPECT_EQ(hex(v->address), hex(strtoull(gdb[1].c_str(), nullptr, 10))) << variant << ": " << v->name;
    }
    EXPECT_GT(agreed, 3) << variant;
    for (const std::string& name : required) EXPECT_GE(elf_find_global(image, name.c_str()), 0) << variant << " lacks " << name;
    elf_close(image);
}

INSTANTIATE_TEST_SUITE_P(Builds, LtoImage, ::testing::ValuesIn(kxfw::kLtoVariants));

}  // namespace
#endif
