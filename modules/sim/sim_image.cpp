// sim_image.cpp - programming the simulated flash from an image file: ELF (PT_LOAD segments at
// their load addresses), Intel HEX, or a raw binary at the base address.
//
// Index
//   [SECTION] File reading
//   [SECTION] Image formats
//   [SECTION] Programming
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "sim_internal.h"

namespace {

//-------------------------------------------------------------------------------------------------
// [SECTION] File reading
//-------------------------------------------------------------------------------------------------

FILE* open_utf8(const char* path) {
#ifdef _WIN32
    wchar_t wide[1040];
    if (!MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, 1040)) return nullptr;
    return _wfopen(wide, L"rb");
#else
    return std::fopen(path, "rb");
#endif
}

// Reads a whole file of at most 64 MB.
bool read_file(const char* path, std::vector<uint8_t>* out) {
    FILE* f = open_utf8(path);
    if (!f) return false;
    uint8_t chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        out->insert(out->end(), chunk, chunk + n);
        if (out->size() > (64u << 20)) break;
    }
    std::fclose(f);
    return out->size() <= (64u << 20);
}

bool has_extension(const char* path, const char* ext) {
    const char* dot = std::strrchr(path, '.');
    if (!dot) return false;
    for (dot++; *dot && *ext; dot++, ext++) {
        char c = *dot >= 'A' && *dot <= 'Z' ? (char)(*dot - 'A' + 'a') : *dot;
        if (c != *ext) return false;
    }
    return !*dot && !*ext;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Image formats
//-------------------------------------------------------------------------------------------------

// Bytes to place at one address.
struct Chunk {
    uint64_t address;
    std::vector<uint8_t> bytes;
};

uint64_t le(const uint8_t* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; i--) v = (v << 8) | p[i];
    return v;
}

// Little-endian ELF32 or ELF64: PT_LOAD segments at their physical (load) addresses; segments
// whose run address differs, or that are longer in memory than in the file, become boot steps.
int32_t parse_elf(const std::vector<uint8_t>& f, std::vector<Chunk>* chunks, SimBootSegment* boot, int32_t* boot_count) {
    if (f.size() < 52 || std::memcmp(f.data(), "\x7f" "ELF", 4) != 0 || f[5] != 1) return SIM_ERR_FORMAT;
    bool is64 = f[4] == 2;
    if (!is64 && f[4] != 1) return SIM_ERR_FORMAT;
    if (is64 && f.size() < 64) return SIM_ERR_FORMAT;
    uint64_t phoff = is64 ? le(&f[32], 8) : le(&f[28], 4);
    uint64_t phentsize = is64 ? le(&f[54], 2) : le(&f[42], 2);
    uint64_t phnum = is64 ? le(&f[56], 2) : le(&f[44], 2);
    if (phentsize < (is64 ? 56u : 32u) || phoff > f.size() || phnum * phentsize > f.size() - phoff) return SIM_ERR_FORMAT;
    *boot_count = 0;
    for (uint64_t i = 0; i < phnum; i++) {
        const uint8_t* ph = &f[phoff + i * phentsize];
        if (le(ph, 4) != 1) continue;  // PT_LOAD only
        uint64_t offset = is64 ? le(ph + 8, 8) : le(ph + 4, 4);
        uint64_t vaddr = is64 ? le(ph + 16, 8) : le(ph + 8, 4);
        uint64_t paddr = is64 ? le(ph + 24, 8) : le(ph + 12, 4);
        uint64_t filesz = is64 ? le(ph + 32, 8) : le(ph + 16, 4);
        uint64_t memsz = is64 ? le(ph + 40, 8) : le(ph + 20, 4);
        if (offset > f.size() || filesz > f.size() - offset || filesz > (64u << 20) || memsz > (64u << 20))
            return SIM_ERR_FORMAT;
        if (filesz > 0) chunks->push_back({paddr, std::vector<uint8_t>(f.begin() + (long)offset, f.begin() + (long)(offset + filesz))});
        bool relocated = filesz > 0 && vaddr != paddr;
        if ((relocated || memsz > filesz) && *boot_count < SIM_BOOT_SEGMENTS_MAX) {
            SimBootSegment& s = boot[(*boot_count)++];
            s.source = relocated ? paddr : 0;
            s.destination = relocated ? vaddr : vaddr + filesz;
            s.copy_bytes = relocated ? (uint32_t)filesz : 0;
            s.zero_bytes = memsz > filesz ? (uint32_t)(memsz - filesz) : 0;
        }
    }
    return chunks->empty() ? SIM_ERR_FORMAT : 0;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Intel HEX: data (00), end (01), extended segment (02) and linear (04) addresses; start
// address records (03, 05) are ignored. Every record's checksum is checked.
int32_t parse_hex(const std::vector<uint8_t>& f, std::vector<Chunk>* chunks) {
    uint64_t upper = 0;
    size_t i = 0;
    bool ended = false;
    while (i < f.size() && !ended) {
        if (f[i] == '\r' || f[i] == '\n' || f[i] == ' ' || f[i] == '\t') { i++; continue; }
        if (f[i] != ':') return SIM_ERR_FORMAT;
        i++;
        uint8_t rec[260];
        size_t n = 0;
        while (i + 1 < f.size() && hex_digit((char)f[i]) >= 0 && hex_digit((char)f[i + 1]) >= 0 && n < sizeof rec) {
            rec[n++] = (uint8_t)(hex_digit((char)f[i]) * 16 + hex_digit((char)f[i + 1]));
            i += 2;
        }
        if (n < 5 || n != (size_t)rec[0] + 5) return SIM_ERR_FORMAT;
        uint8_t sum = 0;
        for (size_t k = 0; k < n; k++) sum = (uint8_t)(sum + rec[k]);
        if (sum != 0) return SIM_ERR_FORMAT;
        uint32_t offset = (uint32_t)(rec[1] << 8 | rec[2]);
        switch (rec[3]) {
            case 0: {
                uint64_t address = upper + offset;
                if (!chunks->empty() && chunks->back().address + chunks->back().bytes.size() == address)
                    chunks->back().bytes.insert(chunks->back().bytes.end(), rec + 4, rec + 4 + rec[0]);
                else
                    chunks->push_back({address, std::vector<uint8_t>(rec + 4, rec + 4 + rec[0])});
                break;
            }
            case 1: ended = true; break;
            case 2: if (rec[0] != 2) return SIM_ERR_FORMAT; upper = (uint64_t)(rec[4] << 8 | rec[5]) << 4; break;
            case 4: if (rec[0] != 2) return SIM_ERR_FORMAT; upper = (uint64_t)(rec[4] << 8 | rec[5]) << 16; break;
            case 3: case 5: break;
            default: return SIM_ERR_FORMAT;
        }
    }
    return ended && !chunks->empty() ? 0 : SIM_ERR_FORMAT;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Programming
//-------------------------------------------------------------------------------------------------

// True when every byte of the chunk lands in flash or RAM.
bool chunk_mapped(const SimTarget* t, const Chunk& c) {
    uint64_t end = c.address + c.bytes.size();
    bool in_flash = c.address >= SIM_FLASH_BASE && end <= (uint64_t)SIM_FLASH_BASE + t->config.flash_size;
    bool in_ram = c.address >= SIM_RAM_BASE && end <= (uint64_t)SIM_RAM_BASE + t->config.ram_size;
    return in_flash || in_ram;
}

}  // namespace

int32_t sim_target_program_file(SimTarget* t, const char* path, uint32_t base, bool skip_erase, bool verify,
                                bool reset_and_run) {
    std::vector<uint8_t> file;
    if (!path || !path[0] || !read_file(path, &file)) return SIM_ERR_FILE;
    std::vector<Chunk> chunks;
    SimBootSegment boot[SIM_BOOT_SEGMENTS_MAX] = {};
    int32_t boot_count = 0;
    int32_t rc = 0;
    bool is_elf = file.size() >= 4 && std::memcmp(file.data(), "\x7f" "ELF", 4) == 0;
    if (is_elf) rc = parse_elf(file, &chunks, boot, &boot_count);
    else if (has_extension(path, "hex")) rc = parse_hex(file, &chunks);
    else if (has_extension(path, "elf") || has_extension(path, "out") || has_extension(path, "axf")) rc = SIM_ERR_FORMAT;
    else if (file.empty()) rc = SIM_ERR_FORMAT;
    else chunks.push_back({base ? base : SIM_FLASH_BASE, file});
    if (rc != 0) return rc;
    for (const Chunk& c : chunks)
        if (!chunk_mapped(t, c)) return SIM_ERR_RANGE;

    std::lock_guard<std::mutex> guard(t->lock);
    t->running = false;  // programming halts the core
    if (!skip_erase) std::memset(t->flash, 0xFF, t->config.flash_size);
    for (const Chunk& c : chunks) sim_write_locked(t, c.address, c.bytes.data(), (uint32_t)c.bytes.size(), true);
    if (verify) {
        std::vector<uint8_t> back;
        for (const Chunk& c : chunks) {
            back.assign(c.bytes.size(), 0);
            sim_read_locked(t, c.address, back.data(), (uint32_t)back.size());
            if (back != c.bytes) return SIM_ERR_VERIFY;
        }
    }
    if (is_elf) {
        std::memcpy(t->boot, boot, sizeof boot);
        t->boot_count = boot_count;
    } else {
        t->boot_count = 0;  // a raw image tells nothing about its data sections
    }
    if (reset_and_run) sim_boot_locked(t);
    return 0;
}
