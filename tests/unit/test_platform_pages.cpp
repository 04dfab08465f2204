// The platform's page calls: read-only file views, handing back their resident pages, and
// blocks straight from the system.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../data/scratch_dir.h"
#include "core/platform.h"

namespace {

// A file of `size` bytes whose every byte is a function of its offset.
std::vector<uint8_t> patterned(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; i++) bytes[i] = static_cast<uint8_t>((i * 131u) ^ (i >> 12));
    return bytes;
}

std::string write_file(const ScratchFolder& folder, const char* name, const std::vector<uint8_t>& bytes) {
    std::string path = (folder.path / name).string();
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return std::string();
    size_t written = bytes.empty() ? 0 : fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
    return written == bytes.size() ? path : std::string();
}

#ifndef _WIN32
// Resident kilobytes of the mapping that starts at `start` (Linux /proc/self/smaps), or -1.
long resident_kb(const void* start) {
    FILE* f = fopen("/proc/self/smaps", "r");
    if (!f) return -1;
    char line[512];
    char want[32];
    snprintf(want, sizeof want, "%lx-", reinterpret_cast<unsigned long>(start));
    bool inside = false;
    long kb = -1;
    while (fgets(line, sizeof line, f)) {
        if (strchr(line, '-') && strchr(line, ' ') && strchr(line, '-') < strchr(line, ' ')) {
            inside = strncmp(line, want, strlen(want)) == 0;
            continue;
        }
        if (inside && strncmp(line, "Rss:", 4) == 0) {
            kb = strtol(line + 4, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return kb;
}
#endif

TEST(PlatformPages, MappedFileReadsTheFileAndRefusesEmptyAndMissing) {
    ScratchFolder folder("kx_platform_pages");
    std::vector<uint8_t> bytes = patterned(3 * 65536 + 123);
    std::string path = write_file(folder, "data.bin", bytes);
    ASSERT_FALSE(path.empty());
    FileMapping map;
    ASSERT_EQ(platform_map_file(path.c_str(), &map), FILE_MAP_OK);
    ASSERT_EQ(map.size, bytes.size());
    EXPECT_EQ(memcmp(map.data, bytes.data(), bytes.size()), 0);
    platform_unmap_file(&map);
    EXPECT_EQ(map.data, nullptr);
    platform_unmap_file(&map);  // a zeroed mapping is ignored

    std::string empty = write_file(folder, "empty.bin", {});
    EXPECT_EQ(platform_map_file(empty.c_str(), &map), FILE_MAP_EMPTY);
    EXPECT_EQ(platform_map_file((folder.path / "missing.bin").string().c_str(), &map), FILE_MAP_CANNOT_OPEN);
    EXPECT_EQ(platform_map_file(nullptr, &map), FILE_MAP_CANNOT_OPEN);
}

// Handing back pages keeps the view whole: what is read again comes from the file. Ranges
// outside the view, or not covering a whole page, are left alone.
TEST(PlatformPages, ReleasedPagesReadBackFromTheFile) {
    ScratchFolder folder("kx_platform_pages");
    const size_t size = 64 * 4096 + 100;
    std::vector<uint8_t> bytes = patterned(size);
    std::string path = write_file(folder, "data.bin", bytes);
    ASSERT_FALSE(path.empty());
    FileMapping map;
    ASSERT_EQ(platform_map_file(path.c_str(), &map), FILE_MAP_OK);
    unsigned sum = 0;
    for (size_t i = 0; i < size; i += 512) sum += map.data[i];  // every page resident
    EXPECT_GT(sum, 0u);
#ifndef _WIN32
    long before = resident_kb(map.data);
    ASSERT_GE(before, 200);
#endif
    // Not page-aligned on either side: only the whole pages inside go.
    platform_release_mapped_pages(&map, map.data + 100, 60 * 4096);
#ifndef _WIN32
    long after = resident_kb(map.data);
    EXPECT_LE(after, before - 200) << "the pages inside the range stay resident";
    EXPECT_GE(after, 8) << "pages outside the range went too";
#endif
    EXPECT_EQ(memcmp(map.data, bytes.data(), size), 0);
    // Outside the view, null, empty: nothing happens.
    platform_release_mapped_pages(&map, map.data + size, 4096);
    platform_release_mapped_pages(&map, map.data - 4096, 4096);
    platform_release_mapped_pages(&map, nullptr, 4096);
    platform_release_mapped_pages(&map, map.data, 0);
    platform_release_mapped_pages(nullptr, map.data, 4096);
    platform_release_mapped_pages(&map, map.data, 1ull << 40);  // clipped to the view
    EXPECT_EQ(memcmp(map.data, bytes.data(), size), 0);
    platform_unmap_file(&map);
}

TEST(PlatformPages, SystemBlocksAreZeroedAndWritable) {
    const size_t size = 3 * 65536 + 16;
    uint8_t* block = static_cast<uint8_t*>(platform_alloc_pages(size));
    ASSERT_NE(block, nullptr);
    for (size_t i = 0; i < size; i++) ASSERT_EQ(block[i], 0) << i;
    memset(block, 0xA5, size);
    EXPECT_EQ(block[size - 1], 0xA5);
    platform_free_pages(block, size);
    EXPECT_EQ(platform_alloc_pages(0), nullptr);
    platform_free_pages(nullptr, 16);
}

}  // namespace

namespace {

// Making pages resident ahead of writes must never change what they hold, whatever the block's
// alignment and size (none, less than a page, ragged ends, several pages, blocks of the heap and
// of the system).
TEST(PlatformPrefault, ContentsSurviveAtEveryAlignmentAndSize) {
    const size_t sizes[] = {0, 1, 100, 4095, 4096, 4097, 8191, 65536 + 17, 1 << 20};
    for (size_t size : sizes) {
        for (size_t offset : {(size_t)0, (size_t)1, (size_t)8, (size_t)4000}) {
            std::vector<uint8_t> block = patterned(size + offset + 1);
            std::vector<uint8_t> before = block;
            platform_prefault_pages(block.data() + offset, size);
            ASSERT_EQ(block, before) << size << " bytes at +" << offset;
        }
    }
    void* pages = platform_alloc_pages(1 << 20);
    ASSERT_NE(pages, nullptr);
    memset(pages, 0x5A, 1 << 20);
    platform_prefault_pages((char*)pages + 123, (1 << 20) - 123);
    for (size_t i = 0; i < (1 << 20); i++) ASSERT_EQ(((uint8_t*)pages)[i], 0x5A) << i;
    platform_free_pages(pages, 1 << 20);
}

}  // namespace
