// The ELF container: every error text, damaged headers and section tables, both classes and
// byte orders, the machine names and the symbol-table pass, on images built byte by byte.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../data/elf_builder.h"
#include "../data/scratch_dir.h"
#include "firmware/elf.h"

using elfb::Bytes;
using elfb::Image;
using elfb::Symbols;

namespace {

// Opens bytes; returns the error text (empty on success) and closes the image.
std::string open_error(const std::vector<uint8_t>& bytes) {
    char error[ELF_ERROR_CAPACITY] = "untouched";
    ElfImage* image = elf_open_memory(bytes.data(), bytes.size(), error, sizeof error);
    elf_close(image);
    return image ? std::string() : std::string(error);
}

// An image with one global object symbol, so that it opens.
Image one_symbol(bool is64, bool le) {
    Image img;
    img.is64 = is64;
    img.le = le;
    img.sections.push_back({".data", std::vector<uint8_t>(16, 0)});
    Symbols syms(is64, le);
    syms.add("counter", 0x20000010, 4, elfb::OBJECT_GLOBAL, 1);
    syms.add_sections(img);
    return img;
}

std::vector<uint8_t> header_only(uint8_t cls, size_t size) {
    std::vector<uint8_t> b(size, 0);
    const uint8_t ident[] = {0x7F, 'E', 'L', 'F', cls, 1, 1};
    for (size_t i = 0; i < sizeof ident && i < size; i++) b[i] = ident[i];
    return b;
}

TEST(ElfOpen, HeaderErrors) {
    EXPECT_EQ(open_error(header_only(1, 15)), "not an ELF file");
    std::vector<uint8_t> bad_magic = header_only(1, 64);
    bad_magic[1] = 'e';
    EXPECT_EQ(open_error(bad_magic), "not an ELF file");
    EXPECT_EQ(open_error(header_only(3, 64)), "unsupported ELF class 3");
    EXPECT_EQ(open_error(header_only(0, 64)), "unsupported ELF class 0");
    std::vector<uint8_t> version = header_only(1, 64);
    version[6] = 2;
    EXPECT_EQ(open_error(version), "unsupported ELF version");
    EXPECT_EQ(open_error(header_only(2, 40)), "truncated ELF64 header");
    EXPECT_EQ(open_error(header_only(2, 63)), "truncated ELF64 header");
    EXPECT_EQ(open_error(header_only(1, 51)), "truncated ELF32 header");
    // A compiler's .o has no target addresses yet: refused, not listed at address 0.
    std::vector<uint8_t> object = header_only(1, 64);
    object[16] = 1;
    EXPECT_EQ(open_error(object), "relocatable object file (.o): open the linked image");
}

TEST(ElfOpen, SectionTableErrors) {
    std::vector<uint8_t> good = elfb::build(one_symbol(false, true));
    ASSERT_EQ(open_error(good), "");
    // e_shoff at 32 (ELF32), e_shnum at 48, e_shstrndx at 50.
    auto set32 = [&](std::vector<uint8_t>& b, size_t at, uint32_t v) { for (int i = 0; i < 4; i++) b[at + i] = uint8_t(v >> (8 * i)); };
    auto set16 = [&](std::vector<uint8_t>& b, size_t at, uint16_t v) { b[at] = uint8_t(v); b[at + 1] = uint8_t(v >> 8); };
    std::vector<uint8_t> b = good;
    set32(b, 32, static_cast<uint32_t>(b.size()));
    EXPECT_EQ(open_error(b), "bad section table offset");
    // The table ends one byte past the end of the file.
    b = good;
    b.pop_back();
    EXPECT_EQ(open_error(b), "bad section table size");
    b = good;
    set16(b, 50, 0xFFFF);  // SHN_XINDEX: the real index is section 0's sh_link (0 here: the null section)
    EXPECT_EQ(open_error(b), "no global variables found (no debug info / symbols)");
    set16(b, 46, 32);      // an entry size below 40 cannot hold sh_link
    set16(b, 48, 4);
    EXPECT_EQ(open_error(b), "bad section table");
    b = good;
    set16(b, 50, 99);
    EXPECT_EQ(open_error(b), "missing .shstrtab");
    // e_shnum 0 means 65536 sections, far more than the file holds.
    b = good;
    set16(b, 48, 0);
    EXPECT_EQ(open_error(b), "bad section table size");
}

TEST(ElfOpen, StrippedImageAndErrorBuffer) {
    Image stripped;
    stripped.sections.push_back({".text", std::vector<uint8_t>(8, 0)});
    EXPECT_EQ(open_error(elfb::build(stripped)), "no global variables found (no debug info / symbols)");
    // The message is cut to the caller's capacity and terminated.
    char small[8];
    std::vector<uint8_t> b = header_only(3, 64);
    EXPECT_EQ(elf_open_memory(b.data(), b.size(), small, sizeof small), nullptr);
    EXPECT_STREQ(small, "unsuppo");
}

TEST(ElfOpen, PathErrors) {
    char error[ELF_ERROR_CAPACITY];
    EXPECT_EQ(elf_open("/nonexistent/fw.elf", error, sizeof error), nullptr);
    EXPECT_STREQ(error, "cannot open file: /nonexistent/fw.elf");
    ScratchFolder scratch("kx_elf");
    std::string dir = scratch.path.string();
    std::string empty = dir + "/elf_empty.bin";
    FILE* f = fopen(empty.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(elf_open(empty.c_str(), error, sizeof error), nullptr);
    EXPECT_STREQ(error, "empty file");
    // A good image read from a file: the path version reads it whole and opens it.
    std::string good = dir + "/elf_good.bin";
    std::vector<uint8_t> bytes = elfb::build(one_symbol(false, true));
    f = fopen(good.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    ElfImage* image = elf_open(good.c_str(), error, sizeof error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_STREQ(error, "");
    EXPECT_EQ(image->file_size, bytes.size());
    elf_close(image);
}

TEST(ElfOpen, BothClassesAndByteOrders) {
    for (bool is64 : {false, true}) {
        for (uint8_t data : {1, 2, 0}) {
            Image img = one_symbol(is64, data == 1);
            img.data_byte = data;
            std::vector<uint8_t> bytes = elfb::build(img);
            char error[ELF_ERROR_CAPACITY];
            ElfImage* image = elf_open_memory(bytes.data(), bytes.size(), error, sizeof error);
            ASSERT_NE(image, nullptr) << error << " is64=" << is64 << " data=" << int(data);
            EXPECT_EQ(elf_bits(image), is64 ? 64 : 32);
            EXPECT_EQ(image->little_endian, data == 1 ? 1 : 0);
            ASSERT_EQ(elf_global_count(image), 1);
            const GlobalVar* v = elf_global_at(image, 0);
            EXPECT_STREQ(v->name, "counter");
            EXPECT_EQ(v->address, 0x20000010u);
            EXPECT_EQ(v->size, 4u);
            EXPECT_EQ(v->type, nullptr);
            EXPECT_EQ(v->from_debug_info, 0);
            uint64_t size = 0;
            int32_t index = -1;
            EXPECT_NE(elf_section_by_name(image, ".data", &size, &index), nullptr);
            EXPECT_EQ(size, 16u);
            EXPECT_EQ(index, 1);
            EXPECT_EQ(elf_section_by_name(image, ".dat", &size, &index), nullptr);
            EXPECT_EQ(elf_section_by_index(image, 99, &size), nullptr);
            elf_close(image);
        }
    }
}

TEST(ElfOpen, MachineNames) {
    struct Case { uint16_t machine; uint32_t flags; const char* name; };
    const Case cases[] = {{40, 0x00100000, "ARM Cortex-M"}, {40, 0xFFEFFFFF, "ARM"}, {40, 0x05000200, "ARM"},
                          {62, 0, "x86-64"}, {243, 0, "RISC-V"}, {183, 0, "AArch64"}, {3, 0, "x86"},
                          {2, 0, "SPARC"}, {8, 0, "MIPS"}, {20, 0, "PowerPC"}, {21, 0, "PowerPC64"},
                          {999, 0, "unknown"}};
    for (const Case& c : cases) {
        Image img = one_symbol(false, true);
        img.machine = c.machine;
        img.flags = c.flags;
        std::vector<uint8_t> bytes = elfb::build(img);
        ElfImage* image = elf_open_memory(bytes.data(), bytes.size(), nullptr, 0);
        ASSERT_NE(image, nullptr);
        EXPECT_STREQ(elf_machine_name(image), c.name) << c.machine;
        elf_close(image);
    }
    EXPECT_STREQ(elf_machine_name(nullptr), "unknown");
    EXPECT_EQ(elf_bits(nullptr), 0);
    EXPECT_EQ(elf_global_count(nullptr), 0);
    EXPECT_EQ(elf_find_global(nullptr, "x"), -1);
    elf_close(nullptr);
}

TEST(ElfSymbols, OnlyNamedDataObjectsWithSize) {
    for (bool is64 : {false, true}) {
        Image img;
        img.is64 = is64;
        img.sections.push_back({".data", std::vector<uint8_t>(16, 0)});
        Symbols syms(is64, true);
        syms.add("global_obj", 0x100, 4, elfb::OBJECT_GLOBAL, 1);
        syms.add("weak_obj", 0x104, 2, elfb::OBJECT_WEAK, 1);
        syms.add("local_obj", 0x108, 4, elfb::OBJECT_LOCAL, 1);
        syms.add("$d", 0x10C, 4, elfb::OBJECT_GLOBAL, 1);
        syms.add("sizeless", 0x110, 0, elfb::OBJECT_GLOBAL, 1);
        syms.add("undefined", 0, 4, elfb::OBJECT_GLOBAL, 0);
        syms.add("a_function", 0x200, 8, elfb::FUNC_GLOBAL, 1);
        syms.add("global_obj", 0x300, 8, elfb::OBJECT_GLOBAL, 1);  // a second one: first wins
        syms.add("", 0x400, 4, elfb::OBJECT_GLOBAL, 1);
        syms.add_sections(img);
        std::vector<uint8_t> bytes = elfb::build(img);
        char error[ELF_ERROR_CAPACITY];
        ElfImage* image = elf_open_memory(bytes.data(), bytes.size(), error, sizeof error);
        ASSERT_NE(image, nullptr) << error;
        ASSERT_EQ(elf_global_count(image), 2);
        EXPECT_STREQ(elf_global_at(image, 0)->name, "global_obj");
        EXPECT_EQ(elf_global_at(image, 0)->address, 0x100u);
        EXPECT_EQ(elf_global_at(image, 0)->size, 4u);
        EXPECT_STREQ(elf_global_at(image, 1)->name, "weak_obj");
        EXPECT_EQ(elf_find_global(image, "weak_obj"), 1);
        EXPECT_EQ(elf_find_global(image, "Weak_obj"), -1);
        EXPECT_EQ(elf_find_global(image, nullptr), -1);
        EXPECT_EQ(elf_global_at(image, 2), nullptr);
        EXPECT_EQ(elf_global_at(image, -1), nullptr);
        elf_close(image);
    }
}

TEST(ElfSymbols, ManySymbolsGrowTheList) {
    Image img;
    img.sections.push_back({".data", std::vector<uint8_t>(16, 0)});
    Symbols syms(false, true);
    for (int i = 0; i < 3000; i++) syms.add("var_" + std::to_string(i), 0x1000 + 4u * i, 4, elfb::OBJECT_GLOBAL, 1);
    syms.add_sections(img);
    std::vector<uint8_t> bytes = elfb::build(img);
    ElfImage* image = elf_open_memory(bytes.data(), bytes.size(), nullptr, 0);
    ASSERT_NE(image, nullptr);
    ASSERT_EQ(elf_global_count(image), 3000);
    for (int i = 0; i < 3000; i += 7) {
        int32_t at = elf_find_global(image, ("var_" + std::to_string(i)).c_str());
        ASSERT_EQ(at, i);
        EXPECT_EQ(elf_global_at(image, at)->address, 0x1000u + 4u * i);
    }
    elf_close(image);
}

TEST(ElfSymbols, SectionsOutsideTheFileAreAbsent) {
    // A symbol string table whose range runs past the end: symbols have no names, nothing found.
    Image img = one_symbol(false, true);
    img.sections.back().size_override = 0x100000;
    EXPECT_EQ(open_error(elfb::build(img)), "no global variables found (no debug info / symbols)");
}

}  // namespace

// The arena hands every block out zero-filled, also when it reuses the first chunk of an image
// closed before (as every firmware reload does): nothing the last image wrote shows through, and
// two images open at once never share a block.
TEST(ElfArena, BlocksAreZeroFilledWhenAClosedImagesChunkIsReused) {
    const size_t sizes[] = {1, 24, 100, 4000, 16000, 17000, 30000, 70000};
    for (int round = 0; round < 3; round++) {
        ElfImage first = {}, second = {};
        std::vector<std::pair<uint8_t*, size_t>> blocks;
        for (ElfImage* image : {&first, &second}) {
            for (size_t size : sizes) {
                uint8_t* block = static_cast<uint8_t*>(elf_arena_alloc(image, size));
                ASSERT_NE(block, nullptr) << size;
                for (size_t i = 0; i < size; i++) ASSERT_EQ(block[i], 0) << "round " << round << " size " << size;
                blocks.push_back({block, size});
            }
        }
        for (size_t a = 0; a < blocks.size(); a++)
            for (size_t b = a + 1; b < blocks.size(); b++)
                ASSERT_TRUE(blocks[a].first + blocks[a].second <= blocks[b].first ||
                            blocks[b].first + blocks[b].second <= blocks[a].first);
        for (auto& [block, size] : blocks) memset(block, 0xA5, size);  // dirty for the next round
        elf_arena_free_all(&second);
        elf_arena_free_all(&first);
        EXPECT_EQ(first.arena, nullptr);
    }
}
