// net_wire.cpp - framing and the bounded message codecs of the network protocol.
//
// Index
//   [SECTION] Frame header
//   [SECTION] Byte writer and reader
//   [SECTION] Encoders
//   [SECTION] Decoders
#include "net_wire.h"

#include <cstring>

//-------------------------------------------------------------------------------------------------
// [SECTION] Frame header
//-------------------------------------------------------------------------------------------------

namespace {

void store_u32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
}
uint32_t load_u32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

}  // namespace

void net_header_encode(uint8_t out[NET_HEADER_SIZE], uint8_t type, uint32_t length) {
    store_u32(out, NET_MAGIC);
    out[4] = (uint8_t)NET_PROTOCOL_VERSION;
    out[5] = type;
    out[6] = 0;
    out[7] = 0;
    store_u32(out + 8, length);
}

int32_t net_header_decode(const uint8_t in[NET_HEADER_SIZE], NetFrameHeader* out) {
    if (load_u32(in) != NET_MAGIC) return NET_HEADER_BAD_MAGIC;
    out->version = in[4];
    out->type = in[5];
    out->length = load_u32(in + 8);
    if (out->version != NET_PROTOCOL_VERSION) return NET_HEADER_BAD_VERSION;
    if (out->type < NET_MSG_HELLO || out->type > NET_MSG_LAST) return NET_HEADER_BAD_TYPE;
    if (out->length > NET_PAYLOAD_MAX) return NET_HEADER_TOO_LARGE;
    return NET_HEADER_OK;
}

const char* net_header_check_text(int32_t check) {
    switch (check) {
        case NET_HEADER_OK: return "ok";
        case NET_HEADER_BAD_MAGIC: return "帧头标识错误";
        case NET_HEADER_BAD_VERSION: return "协议版本不符";
        case NET_HEADER_BAD_TYPE: return "未知消息类型";
        case NET_HEADER_TOO_LARGE: return "帧长度超限";
        default: return "?";
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Byte writer and reader
//-------------------------------------------------------------------------------------------------

void net_writer_init(NetWriter* w, uint8_t* data, uint32_t capacity) { *w = NetWriter{data, capacity, 0, false}; }

void net_put_bytes(NetWriter* w, const void* bytes, uint32_t n) {
    if (w->failed || n > w->capacity - w->size) {
        w->failed = true;
        return;
    }
    if (n) std::memcpy(w->data + w->size, bytes, n);
    w->size += n;
}

void net_put_u8(NetWriter* w, uint8_t v) { net_put_bytes(w, &v, 1); }
void net_put_u16(NetWriter* w, uint16_t v) {
    uint8_t b[2] = {(uint8_t)v, (uint8_t)(v >> 8)};
    net_put_bytes(w, b, 2);
}
void net_put_u32(NetWriter* w, uint32_t v) {
    uint8_t b[4];
    store_u32(b, v);
    net_put_bytes(w, b, 4);
}
void net_put_u64(NetWriter* w, uint64_t v) {
    net_put_u32(w, (uint32_t)v);
    net_put_u32(w, (uint32_t)(v >> 32));
}
void net_put_f64(NetWriter* w, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    net_put_u64(w, bits);
}
void net_put_text(NetWriter* w, const char* text, uint32_t max) {
    size_t n = text ? strnlen(text, max) : 0;
    net_put_u8(w, (uint8_t)n);
    net_put_bytes(w, text, (uint32_t)n);
}

void net_reader_init(NetReader* r, const uint8_t* data, uint32_t size) { *r = NetReader{data, size, 0, false}; }

void net_get_bytes(NetReader* r, void* out, uint32_t n) {
    if (r->failed || n > r->size - r->pos) {
        r->failed = true;
        std::memset(out, 0, n);
        return;
    }
    if (n) std::memcpy(out, r->data + r->pos, n);
    r->pos += n;
}

uint8_t net_get_u8(NetReader* r) {
    uint8_t v;
    net_get_bytes(r, &v, 1);
    return v;
}
uint16_t net_get_u16(NetReader* r) {
    uint8_t b[2];
    net_get_bytes(r, b, 2);
    return (uint16_t)(b[0] | (b[1] << 8));
}
uint32_t net_get_u32(NetReader* r) {
    uint8_t b[4];
    net_get_bytes(r, b, 4);
    return load_u32(b);
}
uint64_t net_get_u64(NetReader* r) {
    uint64_t lo = net_get_u32(r);
    return lo | ((uint64_t)net_get_u32(r) << 32);
}
double net_get_f64(NetReader* r) {
    uint64_t bits = net_get_u64(r);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}
void net_get_text(NetReader* r, char* out, uint32_t max) {
    uint32_t n = net_get_u8(r);
    if (n > max) {
        r->failed = true;
        n = 0;
    }
    net_get_bytes(r, out, n);
    out[r->failed ? 0 : n] = 0;
}
bool net_reader_done(const NetReader* r) { return !r->failed && r->pos == r->size; }

//-------------------------------------------------------------------------------------------------
// [SECTION] Encoders
//-------------------------------------------------------------------------------------------------

namespace {

uint32_t finish(const NetWriter* w) { return w->failed ? 0 : w->size; }

void put_sample(NetWriter* w, const NetWireSample* s) {
    net_put_u16(w, s->index);
    net_put_u64(w, (uint64_t)s->timestamp_us);
    net_put_f64(w, s->value);
    net_put_u32(w, (uint32_t)s->size);
    net_put_bytes(w, s->raw, 8);
    net_put_u8(w, s->origin);
    net_put_text(w, s->text, NET_TEXT_MAX);
}

bool get_sample(NetReader* r, NetWireSample* s) {
    s->index = net_get_u16(r);
    s->timestamp_us = (int64_t)net_get_u64(r);
    s->value = net_get_f64(r);
    s->size = (int32_t)net_get_u32(r);
    net_get_bytes(r, s->raw, 8);
    s->origin = net_get_u8(r);
    net_get_text(r, s->text, NET_TEXT_MAX);
    return !r->failed && s->size >= 0 && s->size <= 64;
}

}  // namespace

uint32_t net_encode_hello(uint8_t* out, uint32_t capacity, const NetHello* hello) {
    NetWriter w;
    net_writer_init(&w, out, capacity);
    net_put_u32(&w, hello->version);
    char program[32] = {};
    size_t n = strnlen(hello->program, sizeof program - 1);
    std::memcpy(program, hello->program, n);
    net_put_bytes(&w, program, sizeof program);
    net_put_bytes(&w, hello->nonce, NET_NONCE_SIZE);
    net_put_u32(&w, hello->flags);
    return finish(&w);
}

uint32_t net_encode_leaves(uint8_t* out, uint32_t capacity, const NetLeafEntry* entries, uint32_t count) {
    NetWriter w;
    net_writer_init(&w, out, capacity);
    if (count > NET_TABLE_MAX) return 0;
    net_put_u32(&w, count);
    for (uint32_t i = 0; i < count; i++) {
        net_put_u64(&w, entries[i].address);
        net_put_u32(&w, (uint32_t)entries[i].size);
        net_put_text(&w, entries[i].name, NET_NAME_MAX);
    }
    return finish(&w);
}

uint32_t net_encode_samples(uint8_t* out, uint32_t capacity, const NetWireSample* samples, uint32_t count) {
    NetWriter w;
    net_writer_init(&w, out, capacity);
    if (count > NET_SAMPLES_MAX) return 0;
    net_put_u32(&w, count);
    for (uint32_t i = 0; i < count; i++) put_sample(&w, &samples[i]);
    return finish(&w);
}

uint32_t net_encode_write(uint8_t* out, uint32_t capacity, const NetWriteRequest* request) {
    NetWriter w;
    net_writer_init(&w, out, capacity);
    net_put_u32(&w, request->request_id);
    net_put_text(&w, request->name, NET_NAME_MAX);
    net_put_text(&w, request->value, NET_TEXT_MAX);
    return finish(&w);
}

uint32_t net_encode_write_result(uint8_t* out, uint32_t capacity, const NetWriteResult* result) {
    NetWriter w;
    net_writer_init(&w, out, capacity);
    net_put_u32(&w, result->request_id);
    net_put_u32(&w, (uint32_t)result->rc);
    net_put_text(&w, result->error, NET_TEXT_MAX);
    return finish(&w);
}

uint32_t net_encode_history(uint8_t* out, uint32_t capacity, const char* const* names, uint32_t name_count,
                            const NetWireSample* samples, uint32_t count, bool last) {
    NetWriter w;
    net_writer_init(&w, out, capacity);
    if (name_count > NET_TABLE_MAX || count > NET_SAMPLES_MAX) return 0;
    net_put_u8(&w, last ? 1 : 0);
    net_put_u32(&w, name_count);
    for (uint32_t i = 0; i < name_count; i++) net_put_text(&w, names[i], NET_NAME_MAX);
    net_put_u32(&w, count);
    for (uint32_t i = 0; i < count; i++) put_sample(&w, &samples[i]);
    return finish(&w);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Decoders
//-------------------------------------------------------------------------------------------------

int32_t net_decode_hello(const uint8_t* in, uint32_t size, NetHello* out) {
    NetReader r;
    net_reader_init(&r, in, size);
    out->version = net_get_u32(&r);
    net_get_bytes(&r, out->program, sizeof out->program);
    out->program[sizeof out->program - 1] = 0;
    net_get_bytes(&r, out->nonce, NET_NONCE_SIZE);
    out->flags = net_get_u32(&r);
    return net_reader_done(&r) ? 0 : -1;
}

int32_t net_decode_leaves(const uint8_t* in, uint32_t size, NetLeafEntry* entries, uint32_t capacity,
                          uint32_t* count) {
    NetReader r;
    net_reader_init(&r, in, size);
    *count = 0;
    uint32_t n = net_get_u32(&r);
    if (r.failed || n > NET_TABLE_MAX || n > capacity) return -1;
    for (uint32_t i = 0; i < n; i++) {
        entries[i].address = net_get_u64(&r);
        entries[i].size = (int32_t)net_get_u32(&r);
        net_get_text(&r, entries[i].name, NET_NAME_MAX);
        if (r.failed) return -1;
    }
    if (!net_reader_done(&r)) return -1;
    *count = n;
    return 0;
}

int32_t net_decode_samples(const uint8_t* in, uint32_t size, NetWireSample* samples, uint32_t capacity,
                           uint32_t* count) {
    NetReader r;
    net_reader_init(&r, in, size);
    *count = 0;
    uint32_t n = net_get_u32(&r);
    if (r.failed || n > NET_SAMPLES_MAX || n > capacity) return -1;
    for (uint32_t i = 0; i < n; i++)
        if (!get_sample(&r, &samples[i])) return -1;
    if (!net_reader_done(&r)) return -1;
    *count = n;
    return 0;
}

int32_t net_decode_write(const uint8_t* in, uint32_t size, NetWriteRequest* out) {
    NetReader r;
    net_reader_init(&r, in, size);
    out->request_id = net_get_u32(&r);
    net_get_text(&r, out->name, NET_NAME_MAX);
    net_get_text(&r, out->value, NET_TEXT_MAX);
    return net_reader_done(&r) ? 0 : -1;
}

int32_t net_decode_write_result(const uint8_t* in, uint32_t size, NetWriteResult* out) {
    NetReader r;
    net_reader_init(&r, in, size);
    out->request_id = net_get_u32(&r);
    out->rc = (int32_t)net_get_u32(&r);
    net_get_text(&r, out->error, NET_TEXT_MAX);
    return net_reader_done(&r) ? 0 : -1;
}

int32_t net_decode_history(const uint8_t* in, uint32_t size, char (*names)[NET_NAME_MAX + 1],
                           uint32_t name_capacity, uint32_t* name_count, NetWireSample* samples,
                           uint32_t capacity, uint32_t* count, bool* last) {
    NetReader r;
    net_reader_init(&r, in, size);
    *name_count = 0;
    *count = 0;
    *last = net_get_u8(&r) != 0;
    uint32_t names_n = net_get_u32(&r);
    if (r.failed || names_n > NET_TABLE_MAX || names_n > name_capacity) return -1;
    for (uint32_t i = 0; i < names_n; i++) {
        net_get_text(&r, names[i], NET_NAME_MAX);
        if (r.failed) return -1;
    }
    uint32_t n = net_get_u32(&r);
    if (r.failed || n > NET_SAMPLES_MAX || n > capacity) return -1;
    for (uint32_t i = 0; i < n; i++)
        if (!get_sample(&r, &samples[i]) || samples[i].index >= names_n) return -1;
    if (!net_reader_done(&r)) return -1;
    *name_count = names_n;
    *count = n;
    return 0;
}
