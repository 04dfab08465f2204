// gdb_flash.cpp - programming and erasing flash through the server's memory map and its vFlash
// commands: erase, write, done, then a read-back verify and a reset where the kind has one.
//
// A server without a memory map cannot say where flash is or how to erase it; programming then
// fails with GDB_ERR_NO_MAP and the log says why, instead of writing blindly with M packets.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "gdb_driver.h"

namespace {

// Erase and done may take seconds on a large part: the wait is longer than for other requests.
constexpr int32_t FLASH_TIMEOUT_MS = 60000;

void utf16_to_utf8(const uint16_t* text, char* out, size_t capacity) {
    size_t n = 0;
    for (size_t i = 0; text[i] && i < 260; i++) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            i++;
        }
        char bytes[4];
        size_t k;
        if (c < 0x80) bytes[0] = (char)c, k = 1;
        else if (c < 0x800) bytes[0] = (char)(0xC0 | c >> 6), bytes[1] = (char)(0x80 | (c & 63)), k = 2;
        else if (c < 0x10000)
            bytes[0] = (char)(0xE0 | c >> 12), bytes[1] = (char)(0x80 | (c >> 6 & 63)), bytes[2] = (char)(0x80 | (c & 63)), k = 3;
        else
            bytes[0] = (char)(0xF0 | c >> 18), bytes[1] = (char)(0x80 | (c >> 12 & 63)),
            bytes[2] = (char)(0x80 | (c >> 6 & 63)), bytes[3] = (char)(0x80 | (c & 63)), k = 4;
        if (n + k + 1 > capacity) break;
        std::memcpy(out + n, bytes, k);
        n += k;
    }
    out[n] = 0;
}

// Sends a flash command with the longer wait; 0 when the server answered OK.
int32_t flash_command(GdbDriver* d, const char* payload, size_t size) {
    int32_t saved = d->link.timeout_ms;
    d->link.timeout_ms = saved > FLASH_TIMEOUT_MS ? saved : FLASH_TIMEOUT_MS;
    int32_t n = gdb_driver_exchange_locked(d, payload, size);
    d->link.timeout_ms = saved;
    if (n < 0) return n;
    int32_t code;
    if (gdb_reply_is_error(d->reply, (size_t)n, &code)) return GDB_ERR_TARGET;
    if (n == 0) return GDB_ERR_UNSUPPORTED;
    return n == 2 && d->reply[0] == 'O' && d->reply[1] == 'K' ? 0 : GDB_ERR_PROTOCOL;
}

int32_t erase_range(GdbDriver* d, uint64_t start, uint64_t length) {
    int n = std::snprintf(d->command, sizeof d->command, "vFlashErase:%llx,%llx", (unsigned long long)start,
                          (unsigned long long)length);
    return flash_command(d, d->command, (size_t)n);
}

// Reads the server's memory map; GDB_ERR_NO_MAP (logged) when there is no flash in it.
int32_t read_map(GdbDriver* d, GdbMemoryMap* map) {
    map->count = 0;
    if (d->features.memory_map) {
        static char xml[65536];
        int32_t size = gdb_driver_xfer_locked(d, "memory-map", "", xml, sizeof xml);
        if (size < 0 && size != GDB_ERR_UNSUPPORTED) return size;
        if (size > 0) gdb_parse_memory_map(xml, (size_t)size, map);
    }
    if (gdb_map_flash_count(map) > 0) return 0;
    if (d->log)
        d->log(KX_LOG_ERROR, "GDB Server: 服务器未提供含 Flash 区域的存储映射（qXfer:memory-map:read），"
                             "无法通过它烧录或擦除；请用支持 Flash 的服务器（如 OpenOCD、pyOCD、J-Link GDB Server）");
    return GDB_ERR_NO_MAP;
}

// Erases the blocks under every segment, in the erase granularity of each region it touches (a
// segment may span several regions of different sector sizes).
int32_t erase_segments(GdbDriver* d, const GdbMemoryMap* map, const GdbImage* image) {
    for (int32_t i = 0; i < image->count; i++) {
        const GdbImageSegment* s = &image->segments[i];
        uint64_t address = s->address, left = s->size;
        while (left > 0) {
            const GdbRegion* r = gdb_map_flash_region(map, address, 1);
            if (!r) return GDB_ERR_RANGE;  // checked before erasing: not reached
            uint64_t in_region = r->length - (address - r->start);
            uint64_t piece = left < in_region ? left : in_region;
            uint64_t block = r->block_size ? r->block_size : r->length;
            uint64_t start = r->start + (address - r->start) / block * block;
            uint64_t end = r->start + (address + piece - r->start + block - 1) / block * block;
            if (end > r->start + r->length) end = r->start + r->length;
            int32_t rc = erase_range(d, start, end - start);
            if (rc != 0) return rc;
            address += piece;
            left -= piece;
        }
    }
    return 0;
}

int32_t erase_all(GdbDriver* d, const GdbMemoryMap* map) {
    for (int32_t i = 0; i < map->count; i++) {
        const GdbRegion* r = &map->regions[i];
        if (r->type != GDB_REGION_FLASH) continue;
        if (d->log)
            d->log(KX_LOG_INFO, "GDB Server: 擦除 Flash 0x%08llX..0x%08llX", (unsigned long long)r->start,
                   (unsigned long long)(r->start + r->length - 1));
        int32_t rc = erase_range(d, r->start, r->length);
        if (rc != 0) return rc;
    }
    return 0;
}

int32_t write_image(GdbDriver* d, const GdbImage* image) {
    // Escapes may double a byte: the framed packet stays inside the server's packet size.
    uint32_t chunk = (d->features.packet_size - 64) / 2;
    if (chunk < 16) chunk = 16;
    uint32_t written = 0, next_report = image->size / 4;
    for (int32_t i = 0; i < image->count; i++) {
        const GdbImageSegment* s = &image->segments[i];
        for (uint32_t done = 0; done < s->size;) {
            uint32_t part = s->size - done < chunk ? s->size - done : chunk;
            int n = std::snprintf(d->command, sizeof d->command, "vFlashWrite:%llx:", (unsigned long long)(s->address + done));
            std::memcpy(d->command + n, image->bytes + s->offset + done, part);
            int32_t rc = flash_command(d, d->command, (size_t)n + part);
            if (rc != 0) return rc;
            done += part;
            written += part;
            if (written >= next_report && written < image->size && d->log) {
                d->log(KX_LOG_INFO, "GDB Server: 已写入 %u / %u 字节", (unsigned)written, (unsigned)image->size);
                next_report += image->size / 4 ? image->size / 4 : 1;
            }
        }
    }
    return flash_command(d, "vFlashDone", 10);
}

int32_t verify_image(GdbDriver* d, const GdbImage* image) {
    static uint8_t buffer[4096];
    for (int32_t i = 0; i < image->count; i++) {
        const GdbImageSegment* s = &image->segments[i];
        for (uint32_t done = 0; done < s->size;) {
            uint32_t part = s->size - done < sizeof buffer ? s->size - done : (uint32_t)sizeof buffer;
            int32_t n = gdb_driver_read_raw_locked(d, s->address + done, buffer, part);
            if (n < 0) return n;
            if (std::memcmp(buffer, image->bytes + s->offset + done, part) != 0) {
                if (d->log)
                    d->log(KX_LOG_ERROR, "GDB Server: 校验失败，0x%08llX 起的 %u 字节与文件不同",
                           (unsigned long long)(s->address + done), (unsigned)part);
                return GDB_ERR_VERIFY;
            }
            done += part;
        }
    }
    return 0;
}

// The kind's reset command ("" = none known).
const char* reset_command(int32_t kind) {
    switch (kind) {
        case GDB_KIND_OPENOCD: return "reset run";
        case GDB_KIND_PYOCD:
        case GDB_KIND_JLINK:
        case GDB_KIND_STLINK: return "reset";
        case GDB_KIND_QEMU: return "system_reset";
        default: return "";
    }
}

int32_t reset_target(GdbDriver* d) {
    const GdbServerConfig* s = &d->config.servers[d->server];
    const char* command = reset_command(s->kind);
    if (!command[0]) {
        if (d->log) d->log(KX_LOG_WARN, "GDB Server: %s 服务器没有已知的复位命令，未复位", gdb_kind_name(s->kind));
        return 0;
    }
    int32_t rc = gdb_driver_monitor_locked(d, command, nullptr, 0);
    if (rc == 0 && s->kind == GDB_KIND_JLINK) rc = gdb_driver_monitor_locked(d, "go", nullptr, 0);
    if (d->log) d->log(rc == 0 ? KX_LOG_INFO : KX_LOG_WARN, "GDB Server: monitor %s %s", command, rc == 0 ? "完成" : "失败");
    return rc;
}

}  // namespace

int32_t gdb_flash_program_locked(GdbDriver* d, const FlashRequest* request) {
    char path[1040];
    utf16_to_utf8(request->path, path, sizeof path);
    GdbImage image;
    int32_t rc = gdb_image_load(path, request->base_address, &image);
    if (rc != 0) {
        if (d->log) d->log(KX_LOG_ERROR, "GDB Server: %s: %s", gdb_error_text(rc), path);
        return rc;
    }
    rc = gdb_driver_with_target_stopped(d, "Flash 操作", [&]() -> int32_t {
        GdbMemoryMap map;
        int32_t r = read_map(d, &map);
        if (r != 0) return r;
        for (int32_t i = 0; i < image.count; i++) {
            const GdbImageSegment* s = &image.segments[i];
            if (!gdb_map_flash_covers(&map, s->address, s->size)) {
                if (d->log)
                    d->log(KX_LOG_ERROR, "GDB Server: 固件段 0x%08llX（%u 字节）不在服务器的 Flash 区域内",
                           (unsigned long long)s->address, (unsigned)s->size);
                return GDB_ERR_RANGE;
            }
        }
        r = request->skip_erase ? erase_segments(d, &map, &image) : erase_all(d, &map);
        if (r == 0) r = write_image(d, &image);
        if (r == 0 && request->verify) r = verify_image(d, &image);
        if (r == 0 && d->log)
            d->log(KX_LOG_INFO, "GDB Server: 已写入 %u 字节（%d 段）%s", (unsigned)image.size, (int)image.count,
                   request->verify ? "，校验一致" : "");
        if (r == 0 && request->reset_and_run) reset_target(d);
        return r;
    });
    gdb_image_free(&image);
    if (rc != 0 && d->log) d->log(KX_LOG_ERROR, "GDB Server: 烧录失败: %s", gdb_error_text(rc));
    return rc;
}

int32_t gdb_flash_erase_locked(GdbDriver* d) {
    int32_t rc = gdb_driver_with_target_stopped(d, "Flash 操作", [&]() -> int32_t {
        GdbMemoryMap map;
        int32_t r = read_map(d, &map);
        if (r == 0) r = erase_all(d, &map);
        if (r == 0) r = flash_command(d, "vFlashDone", 10);
        return r;
    });
    if (rc != 0 && d->log) d->log(KX_LOG_ERROR, "GDB Server: 擦除失败: %s", gdb_error_text(rc));
    return rc;
}
