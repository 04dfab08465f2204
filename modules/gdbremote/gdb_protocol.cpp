// gdb_protocol.cpp - framing, scanning and decoding of GDB remote packets, and the parsers of the
// replies the driver interprets.
//
// Index
//   [SECTION] Errors and checksums
//   [SECTION] Framing and scanning
//   [SECTION] Body decoding and hex
//   [SECTION] Reply classification
//   [SECTION] qSupported
//   [SECTION] XML documents (memory map, target description)
#include "gdb_protocol.h"

#include <cstdio>
#include <cstring>

//-------------------------------------------------------------------------------------------------
// [SECTION] Errors and checksums
//-------------------------------------------------------------------------------------------------

const char* gdb_error_text(int32_t code) {
    switch (code) {
        case GDB_ERR_TIMEOUT: return "服务器无应答（超时）";
        case GDB_ERR_CLOSED: return "服务器关闭了连接";
        case GDB_ERR_IO: return "套接字错误";
        case GDB_ERR_PROTOCOL: return "协议错误";
        case GDB_ERR_TARGET: return "目标返回错误";
        case GDB_ERR_NOT_CONNECTED: return "未连接";
        case GDB_ERR_NO_MAP: return "服务器未提供 Flash 存储映射";
        case GDB_ERR_FILE: return "无法读取固件文件";
        case GDB_ERR_FORMAT: return "固件文件格式错误";
        case GDB_ERR_RANGE: return "固件数据不在 Flash 区域内";
        case GDB_ERR_VERIFY: return "校验失败";
        case GDB_ERR_ARGUMENT: return "参数无效";
        case GDB_ERR_NO_SERVER: return "没有该服务器";
        case GDB_ERR_UNSUPPORTED: return "服务器不支持该命令";
        default: return code >= 0 ? "成功" : "未知错误";
    }
}

uint8_t gdb_checksum(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    for (size_t i = 0; i < size; i++) sum += data[i];
    return (uint8_t)sum;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Framing and scanning
//-------------------------------------------------------------------------------------------------

namespace {

const char kHex[] = "0123456789abcdef";

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool needs_escape(uint8_t c) { return c == '$' || c == '#' || c == '}' || c == '*'; }

}  // namespace

int32_t gdb_frame(const uint8_t* payload, size_t size, uint8_t* out, size_t capacity) {
    size_t n = 0;
    uint32_t sum = 0;
    if (capacity < 4) return -1;
    out[n++] = '$';
    for (size_t i = 0; i < size; i++) {
        uint8_t c = payload[i];
        if (needs_escape(c)) {
            if (n + 2 > capacity - 3) return -1;
            out[n++] = '}';
            out[n++] = (uint8_t)(c ^ 0x20);
            sum += '}' + (uint8_t)(c ^ 0x20);
        } else {
            if (n + 1 > capacity - 3) return -1;
            out[n++] = c;
            sum += c;
        }
    }
    out[n++] = '#';
    out[n++] = (uint8_t)kHex[(sum >> 4) & 15];
    out[n++] = (uint8_t)kHex[sum & 15];
    return (int32_t)n;
}

GdbScan gdb_scan(const uint8_t* data, uint32_t size, uint32_t max_frame) {
    return gdb_scan_resume(data, size, max_frame, 0);
}

GdbScan gdb_scan_resume(const uint8_t* data, uint32_t size, uint32_t max_frame, uint32_t clean) {
    GdbScan s = {GDB_SCAN_NEED_MORE, 0, 0, 0, 0};
    if (size == 0) return s;
    uint8_t first = data[0];
    if (first == '+' || first == '-') {
        s.kind = first == '+' ? GDB_SCAN_ACK : GDB_SCAN_NACK;
        s.consumed = 1;
        return s;
    }
    if (first != '$' && first != '%') {
        // Skip everything up to the next frame start or acknowledgement.
        uint32_t i = 1;
        while (i < size && data[i] != '$' && data[i] != '%' && data[i] != '+' && data[i] != '-') i++;
        s.kind = GDB_SCAN_JUNK;
        s.consumed = i;
        return s;
    }
    // The frame ends at '#'; a '$' before it means the frame was abandoned and a new one starts.
    uint32_t end = clean > 1 && clean <= size ? clean : 1;
    while (end < size && data[end] != '#' && data[end] != '$') end++;
    if (end < size && data[end] == '$') {
        s.kind = GDB_SCAN_JUNK;
        s.consumed = end;
        return s;
    }
    if (end >= max_frame) {
        s.kind = GDB_SCAN_OVERSIZE;
        s.consumed = end < size ? end : size;
        return s;
    }
    if (end + 3 > size) {  // need the end and its two checksum digits
        s.clean = end;
        return s;
    }
    if (end + 3 > max_frame) {
        s.kind = GDB_SCAN_OVERSIZE;
        s.consumed = end + 3;
        return s;
    }
    s.body_offset = 1;
    s.body_size = end - 1;
    s.consumed = end + 3;
    int hi = hex_value(data[end + 1]), lo = hex_value(data[end + 2]);
    bool good = hi >= 0 && lo >= 0 && (uint8_t)(hi * 16 + lo) == gdb_checksum(data + 1, end - 1);
    if (first == '%') s.kind = good ? GDB_SCAN_NOTIFY : GDB_SCAN_JUNK;
    else s.kind = good ? GDB_SCAN_PACKET : GDB_SCAN_BAD_SUM;
    return s;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Body decoding and hex
//-------------------------------------------------------------------------------------------------

int32_t gdb_decode_body(const uint8_t* body, size_t size, uint8_t* out, size_t capacity) {
    size_t n = 0;
    for (size_t i = 0; i < size; i++) {
        uint8_t c = body[i];
        if (c == '}') {
            if (i + 1 >= size || n >= capacity) return -1;
            out[n++] = (uint8_t)(body[++i] ^ 0x20);
        } else if (c == '*') {
            // Run length: the previous byte repeats (count - 29) more times.
            if (n == 0 || i + 1 >= size) return -1;
            int32_t repeat = (int32_t)body[++i] - 29;
            if (repeat < 3 || repeat > 97) return -1;
            if (n + (size_t)repeat > capacity) return -1;
            std::memset(out + n, out[n - 1], (size_t)repeat);
            n += (size_t)repeat;
        } else {
            if (n >= capacity) return -1;
            out[n++] = c;
        }
    }
    return (int32_t)n;
}

int32_t gdb_hex_to_bytes(const char* text, size_t length, uint8_t* out, size_t capacity) {
    if (length % 2 != 0 || length / 2 > capacity) return -1;
    for (size_t i = 0; i < length / 2; i++) {
        int hi = hex_value((uint8_t)text[2 * i]), lo = hex_value((uint8_t)text[2 * i + 1]);
        if (hi < 0 || lo < 0) return -1;
        out[i] = (uint8_t)(hi * 16 + lo);
    }
    return (int32_t)(length / 2);
}

void gdb_bytes_to_hex(const uint8_t* data, size_t size, char* out) {
    for (size_t i = 0; i < size; i++) {
        out[2 * i] = kHex[data[i] >> 4];
        out[2 * i + 1] = kHex[data[i] & 15];
    }
    out[2 * size] = 0;
}

bool gdb_parse_hex_u64(const char* text, size_t length, uint64_t* out) {
    if (length == 0 || length > 16) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < length; i++) {
        int d = hex_value((uint8_t)text[i]);
        if (d < 0) return false;
        v = v * 16 + (uint64_t)d;
    }
    *out = v;
    return true;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Reply classification
//-------------------------------------------------------------------------------------------------

bool gdb_reply_is_error(const uint8_t* reply, size_t size, int32_t* code) {
    if (size == 3 && reply[0] == 'E' && hex_value(reply[1]) >= 0 && hex_value(reply[2]) >= 0) {
        *code = hex_value(reply[1]) * 16 + hex_value(reply[2]);
        return true;
    }
    if (size >= 2 && reply[0] == 'E' && reply[1] == '.') {
        *code = -1;
        return true;
    }
    return false;
}

bool gdb_reply_is_stop(const uint8_t* reply, size_t size, int32_t* signal) {
    if (size < 3) return false;
    if (reply[0] != 'S' && reply[0] != 'T' && reply[0] != 'W' && reply[0] != 'X') return false;
    int hi = hex_value(reply[1]), lo = hex_value(reply[2]);
    if (hi < 0 || lo < 0) return false;
    if (reply[0] == 'S' && size != 3) return false;
    *signal = hi * 16 + lo;
    return true;
}

bool gdb_reply_console(const uint8_t* reply, size_t size, char* text, size_t capacity) {
    if (size < 3 || reply[0] != 'O' || (size - 1) % 2 != 0 || capacity == 0) return false;
    size_t n = 0;
    for (size_t i = 1; i + 1 < size; i += 2) {
        int hi = hex_value(reply[i]), lo = hex_value(reply[i + 1]);
        if (hi < 0 || lo < 0) return false;
        if (n + 1 < capacity) text[n++] = (char)(hi * 16 + lo);
    }
    text[n] = 0;
    return true;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] qSupported
//-------------------------------------------------------------------------------------------------

namespace {

bool item_is(const uint8_t* item, size_t length, const char* name) {
    size_t n = std::strlen(name);
    return length == n && std::memcmp(item, name, n) == 0;
}

}  // namespace

void gdb_parse_supported(const uint8_t* reply, size_t size, GdbFeatures* out) {
    std::memset(out, 0, sizeof *out);
    out->packet_size = GDB_PACKET_DEFAULT;
    size_t start = 0;
    while (start < size) {
        size_t end = start;
        while (end < size && reply[end] != ';') end++;
        const uint8_t* item = reply + start;
        size_t length = end - start;
        if (length > 11 && std::memcmp(item, "PacketSize=", 11) == 0) {
            uint64_t v = 0;
            if (gdb_parse_hex_u64((const char*)item + 11, length - 11, &v) && v >= 64)
                out->packet_size = v > GDB_PACKET_MAX ? GDB_PACKET_MAX : (uint32_t)v;
        } else if (item_is(item, length, "QStartNoAckMode+")) {
            out->no_ack = true;
        } else if (item_is(item, length, "qXfer:memory-map:read+")) {
            out->memory_map = true;
        } else if (item_is(item, length, "qXfer:features:read+")) {
            out->target_xml = true;
        }
        start = end + 1;
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] XML documents (memory map, target description)
//-------------------------------------------------------------------------------------------------

namespace {

// Finds `needle` in [from, end); null when absent. Jumps between occurrences of the first
// character, so a long document costs one compare per candidate, not one per byte.
const char* find_text(const char* from, const char* end, const char* needle) {
    size_t n = std::strlen(needle);
    if (n == 0) return from;
    for (const char* p = from; p < end && (size_t)(end - p) >= n;) {
        const void* hit = std::memchr(p, needle[0], (size_t)(end - p) - n + 1);
        if (!hit) return nullptr;
        p = static_cast<const char*>(hit);
        if (std::memcmp(p + 1, needle + 1, n - 1) == 0) return p;
        p++;
    }
    return nullptr;
}

// The value of attribute `name` inside a tag [tag, tag_end): points at it, sets its length.
const char* attribute(const char* tag, const char* tag_end, const char* name, size_t* length) {
    char key[32];
    std::snprintf(key, sizeof key, " %s=", name);
    const char* p = find_text(tag, tag_end, key);
    if (!p) return nullptr;
    p += std::strlen(key);
    if (p >= tag_end || (*p != '"' && *p != '\'')) return nullptr;
    char quote = *p++;
    const char* close = p;
    while (close < tag_end && *close != quote) close++;
    if (close >= tag_end) return nullptr;
    *length = (size_t)(close - p);
    return p;
}

// A number in C notation: "0x..." hexadecimal, else decimal.
bool parse_number(const char* text, size_t length, uint64_t* out) {
    while (length && (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r')) text++, length--;
    while (length && (text[length - 1] == ' ' || text[length - 1] == '\n' || text[length - 1] == '\r')) length--;
    if (length > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return gdb_parse_hex_u64(text + 2, length - 2, out);
    if (length == 0 || length > 19) return false;
    uint64_t v = 0;
    for (size_t i = 0; i < length; i++) {
        if (text[i] < '0' || text[i] > '9') return false;
        v = v * 10 + (uint64_t)(text[i] - '0');
    }
    *out = v;
    return true;
}

// Reads one <memory ...> element starting at `tag`; false when it is unusable.
bool parse_region(const char* tag, const char* tag_end, const char* body_end, GdbRegion* out) {
    size_t n = 0;
    const char* type = attribute(tag, tag_end, "type", &n);
    if (!type) return false;
    if (n == 3 && std::memcmp(type, "ram", 3) == 0) out->type = GDB_REGION_RAM;
    else if (n == 3 && std::memcmp(type, "rom", 3) == 0) out->type = GDB_REGION_ROM;
    else if (n == 5 && std::memcmp(type, "flash", 5) == 0) out->type = GDB_REGION_FLASH;
    else return false;
    const char* start = attribute(tag, tag_end, "start", &n);
    if (!start || !parse_number(start, n, &out->start)) return false;
    const char* length = attribute(tag, tag_end, "length", &n);
    if (!length || !parse_number(length, n, &out->length) || out->length == 0) return false;
    if (out->start + out->length < out->start) return false;
    out->block_size = 0;
    const char* property = find_text(tag_end, body_end, "name=\"blocksize\"");
    if (property) {
        const char* value = find_text(property, body_end, ">");
        const char* close = value ? find_text(value, body_end, "<") : nullptr;
        uint64_t block = 0;
        if (close && parse_number(value + 1, (size_t)(close - value - 1), &block)) out->block_size = block;
    }
    return true;
}

}  // namespace

int32_t gdb_parse_memory_map(const char* xml, size_t size, GdbMemoryMap* out) {
    out->count = 0;
    const char* end = xml + size;
    const char* p = xml;
    while ((p = find_text(p, end, "<memory ")) != nullptr) {
        const char* tag_end = find_text(p, end, ">");
        if (!tag_end) break;
        bool self_closing = tag_end > p && tag_end[-1] == '/';
        const char* body_end = self_closing ? tag_end : find_text(tag_end, end, "</memory>");
        if (!body_end) body_end = end;
        GdbRegion region;
        if (out->count < GDB_MAP_REGIONS_MAX && parse_region(p, tag_end, body_end, &region))
            out->regions[out->count++] = region;
        p = tag_end;
    }
    return out->count;
}

int32_t gdb_map_flash_count(const GdbMemoryMap* map) {
    int32_t n = 0;
    for (int32_t i = 0; i < map->count; i++) n += map->regions[i].type == GDB_REGION_FLASH;
    return n;
}

const GdbRegion* gdb_map_flash_region(const GdbMemoryMap* map, uint64_t address, uint64_t length) {
    for (int32_t i = 0; i < map->count; i++) {
        const GdbRegion* r = &map->regions[i];
        if (r->type == GDB_REGION_FLASH && address >= r->start && address - r->start <= r->length &&
            length <= r->length - (address - r->start))
            return r;
    }
    return nullptr;
}

bool gdb_map_flash_covers(const GdbMemoryMap* map, uint64_t address, uint64_t length) {
    while (length > 0) {
        const GdbRegion* r = gdb_map_flash_region(map, address, 1);
        if (!r) return false;
        uint64_t left = r->length - (address - r->start);
        if (length <= left) return true;
        address += left;
        length -= left;
    }
    return true;
}

bool gdb_parse_architecture(const char* xml, size_t size, char* out, size_t capacity) {
    const char* end = xml + size;
    const char* open = find_text(xml, end, "<architecture>");
    if (!open || capacity == 0) return false;
    open += 14;
    const char* close = find_text(open, end, "</architecture>");
    if (!close) return false;
    size_t n = (size_t)(close - open);
    if (n >= capacity) n = capacity - 1;
    std::memcpy(out, open, n);
    out[n] = 0;
    return n > 0;
}
