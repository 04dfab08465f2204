// The symbol reader against real compiler output: every test firmware image (GCC DWARF 2 to 5,
// -O0 and -O2, big-endian, clang DWARF 5) is opened, and every variable, member, element count,
// bit field and enumerator the reader reports is checked against the compiler's symbol table
// (arm-none-eabi-nm) and against gdb-multiarch reading the same file.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "../data/firmware_images.h"
#include "../data/scratch_dir.h"
#include "firmware/elf.h"

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
                const TypeInfo* e = t->children[0];
                std::string type_name = e->name ? e->name : "";
                checks.push_back({"print sizeof(" + expr + ")/sizeof(" + type_name + ")", expr + " element count",
                                  std::to_string(t->element_count)});
                if (e->kind == TYPE_STRUCT) add_checks(checks, expr + "[0]", e, address);
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
                             "s_counter", "s_shared", "tick_calls", "g_bss_counter"})
        EXPECT_GE(elf_find_global(image, name), 0) << name;
    EXPECT_EQ(elf_find_global(image, "on_stack"), -1);

    // Addresses and sizes against the compiler's symbol table.
    auto symbols = nm_symbols(path);
    std::vector<Check> checks;
    for (int32_t i = 0; i < elf_global_count(image); i++) {
        const GlobalVar* v = elf_global_at(image, i);
        EXPECT_EQ(v->from_debug_info, 1) << v->name;
        auto range = symbols.equal_range(v->name);
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
        if (symbols.count(v->name) != 1 || std::string(v->name) == "tick_calls") continue;
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

}  // namespace
#endif
