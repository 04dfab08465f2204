// variable_write.cpp - calibration writes: parse the text, merge bit fields, write, read back,
// publish the read-back sample; in the network channel or without a driver, hand the write to
// the network peer.
#include "acquisition/variable_write.h"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "acquisition/acquisition.h"
#include "core/log.h"
#include "modules/modules.h"
#include "vartable/leaf_codec.h"
#include "vartable/leaf_table.h"

namespace {

int fail(char* error, size_t capacity, const char* text) {
    if (error && capacity > 0) text_copy(error, capacity, text);
    return -1;
}

uint64_t load_le(const uint8_t* bytes, uint32_t n) {
    uint64_t v = 0;
    for (uint32_t i = 0; i < n && i < 8; i++) v |= (uint64_t)bytes[i] << (8 * i);
    return v;
}

void store_le(uint8_t* bytes, uint32_t n, uint64_t v) {
    for (uint32_t i = 0; i < n && i < 8; i++) bytes[i] = (uint8_t)(v >> (8 * i));
}

int32_t driver_read(uint64_t address, uint32_t length, void* buffer) {
    MemoryRequest req = {};
    req.address = address;
    req.length = length;
    req.buffer = buffer;
    return driver_command(KX_DRV_READ, &req, nullptr);
}

// True when an integer value fits a field of `bits` bits (1 to 64): anything from the signed
// minimum to the unsigned maximum of that width, whatever the field's own signedness. 0xFF fits
// an 8-bit signed field and -1 an unsigned one (both are the same bit pattern, as a user typing
// either means); 256 or -129 fit neither and are refused, so nothing is ever cut silently.
bool fits_width(uint64_t value, unsigned bits) {
    if (bits >= 64) return true;
    uint64_t limit = 1ULL << bits;
    if (value < limit) return true;
    int64_t v = (int64_t)value;
    return v < 0 && v >= -(int64_t)(limit >> 1);
}

// How a typed number reads, judged before the codec sees it: the codec keeps whatever number
// the text starts with ("1e3" is 1) and the 64-bit conversions clamp or wrap silently.
enum TypedNumber { TYPED_NOT_A_NUMBER, TYPED_OK, TYPED_MALFORMED, TYPED_OUT_OF_RANGE };

const char* skip_blanks(const char* c) {
    while (*c == ' ' || *c == '\t') c++;
    return c;
}

// A text that starts like a number (a digit or a sign) must be an integer and nothing more, and
// fit `bits` bits; `pattern` receives its two's-complement bits. Other texts (enumerator names)
// are the codec's to judge.
TypedNumber typed_integer(const char* text, unsigned bits, uint64_t* pattern) {
    const char* c = skip_blanks(text);
    bool negative = *c == '-';
    if (*c == '-' || *c == '+') c++;
    if (*c < '0' || *c > '9') return c == skip_blanks(text) ? TYPED_NOT_A_NUMBER : TYPED_MALFORMED;
    char* end = nullptr;
    errno = 0;
    uint64_t magnitude = strtoull(c, &end, 0);  // starts with a digit: no second sign is taken
    bool overflow = errno == ERANGE;
    if (*skip_blanks(end) != 0) return TYPED_MALFORMED;
    if (overflow) return TYPED_OUT_OF_RANGE;
    uint64_t most_positive = bits >= 64 ? ~0ULL : (1ULL << bits) - 1;
    uint64_t most_negative = 1ULL << ((bits >= 64 ? 64 : bits) - 1);
    if (negative ? magnitude > most_negative : magnitude > most_positive) return TYPED_OUT_OF_RANGE;
    *pattern = negative ? 0 - magnitude : magnitude;
    return TYPED_OK;
}

// A float text must be a number and nothing more, and the variable must hold it: a number beyond
// the double range comes back from strtod as infinity (ERANGE), which is not what was typed
// ("inf" typed is infinity and is taken).
TypedNumber typed_float(const char* text, uint32_t size) {
    char* end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    bool overflow = errno == ERANGE && std::isinf(v);
    if (end == text || *skip_blanks(end) != 0) return TYPED_MALFORMED;
    if (overflow) return TYPED_OUT_OF_RANGE;
    if (size < 8 && std::isfinite(v) && std::fabs(v) > FLT_MAX) return TYPED_OUT_OF_RANGE;
    return TYPED_OK;
}

// The kinds the codec parses as a plain integer of the leaf's size: the text must be a number
// (or an enumerator) and fit. A variable the reader could not type (a symbol without debug
// information, an unknown encoding) is written as an unsigned number too, so it gets the same
// checks: the codec alone would take "5 V" as 5 and cut 2^32 to 0 in four bytes.
bool is_integer_kind(TypeKind kind) { return kind != TYPE_FLOAT && kind != TYPE_BOOL && kind != TYPE_STRING; }

int refuse_range(char* error, size_t capacity, const VarLeaf* leaf, unsigned bits) {
    char message[160];
    const char* kind = leaf->kind == TYPE_FLOAT ? "浮点数" : leaf->is_signed ? "有符号数" : "无符号数";
    text_printf(message, sizeof message, "数值超出范围: %s 为 %u 位%s", leaf->name, bits, kind);
    return fail(error, capacity, message);
}

// Checks a typed integer for a field of `bits` bits: 1 when it is a number (its bits in
// `pattern`), 0 when it is a name for the codec, -1 when refused (error text set).
int check_integer_text(const VarLeaf* leaf, const char* text, unsigned bits, uint64_t* pattern, char* error,
                       size_t capacity) {
    switch (typed_integer(text, bits, pattern)) {
        case TYPED_OK: return 1;
        case TYPED_NOT_A_NUMBER: return 0;
        case TYPED_MALFORMED: return fail(error, capacity, "数值解析失败");
        case TYPED_OUT_OF_RANGE: return refuse_range(error, capacity, leaf, bits);
    }
    return -1;
}

// The bit field's new storage unit: the parsed value placed into the unit read from the target.
// The unit is the leaf's size (1 to 8 bytes, the reader's choice for packed fields too); wider
// units, shifts past the unit and values that do not fit the field are refused before anything
// is read or written.
int encode_bitfield(const VarLeaf* leaf, const char* text, uint8_t* encoded, char* error, size_t capacity) {
    if (leaf->size < 1 || leaf->size > 8 || leaf->bit_size < 1 ||
        (uint32_t)leaf->bit_offset + leaf->bit_size > leaf->size * 8)
        return fail(error, capacity, "位域存储单元超过 8 字节，无法写入");
    uint64_t value = 0;
    int typed = is_integer_kind(leaf->kind) ? check_integer_text(leaf, text, leaf->bit_size, &value, error, capacity) : 0;
    if (typed < 0) return -1;
    if (typed == 0) {
        uint8_t parsed[8] = {};
        if (!leaf_text_to_bytes(text, parsed, 8, nullptr, leaf->kind, leaf->enumerators, leaf->enumerator_count))
            return fail(error, capacity, "数值解析失败");
        value = load_le(parsed, 8);
        if (leaf->kind != TYPE_BOOL && !fits_width(value, leaf->bit_size))
            return refuse_range(error, capacity, leaf, leaf->bit_size);
    }
    uint8_t current[8] = {};
    char message[64];
    int32_t ret = driver_read(leaf->address, leaf->size, current);
    if (ret != (int32_t)leaf->size) {
        text_printf(message, sizeof message, "位域读回失败 (ret=%d)", ret);
        return fail(error, capacity, message);
    }
    uint64_t old_word = load_le(current, leaf->size);
    uint64_t field = leaf->bit_size >= 64 ? ~0ULL : ((1ULL << leaf->bit_size) - 1);
    uint64_t mask = field << leaf->bit_offset;
    uint64_t result = ((value << leaf->bit_offset) & mask) | (old_word & ~mask);
    store_le(encoded, leaf->size, result);
    return 0;
}

int write_through_network(const VarLeaf* leaf, const char* text, char* error, size_t capacity) {
    if (!network_available()) return fail(error, capacity, "无驱动模块");
    NetWrite request = {};
    // The request holds 63 bytes of each: a longer name cut short can be the name of another
    // leaf ("x.gain" for "x.gain_limit"), a longer text cut short another value.
    if (std::strlen(leaf->name) >= sizeof request.leaf_name)
        return fail(error, capacity, "变量名超过 63 字节，无法远程写入");
    if (std::strlen(text) >= sizeof request.value_text) return fail(error, capacity, "数值文本超过 63 字节，无法远程写入");
    text_copy(request.leaf_name, sizeof request.leaf_name, leaf->name);
    text_copy(request.value_text, sizeof request.value_text, text);
    // The module puts why a write failed (the peer's own refusal, "数值超出范围: ...") here: the
    // user of the network channel sees the same reason as at the probe.
    char reason[64] = {};
    int32_t rc = network_command_raw(KX_NET_WRITE, &request, reason);
    if (rc != 0) {
        char message[128];
        reason[sizeof reason - 1] = 0;
        if (reason[0]) text_printf(message, sizeof message, "网络写入失败: %s", reason);
        else text_printf(message, sizeof message, "网络写入失败 (rc=%d)", rc);
        return fail(error, capacity, message);
    }
    log_printf(LOG_INFO, "网络写入 %s = %s 成功", leaf->name, text);
    return 0;
}

// Why a value cannot be written over the whole variable, or null when it can: the codec
// writes at most 8 bytes (a float as 4 or 8, text as up to 7 bytes and its terminator), and
// writing part of a wider variable leaves the rest of the old value behind.
const char* partial_write_reason(const VarLeaf* leaf, const char* text) {
    if (leaf->kind == TYPE_FLOAT)
        return leaf->size == 4 || leaf->size == 8 ? nullptr : "浮点变量不是 4 或 8 字节，无法写入";
    if (leaf->kind == TYPE_STRING) {
        size_t room = leaf->size < 8 ? leaf->size : 8;
        return std::strlen(text) + 1 <= room ? nullptr : "文本超出可写长度（最多 7 字节），无法写入";
    }
    return leaf->size >= 1 && leaf->size <= 8 ? nullptr : "变量超过 8 字节，无法写入";
}

}  // namespace

int variable_write(int32_t leaf_id, const char* text, char* error, size_t capacity) {
    if (error && capacity > 0) error[0] = 0;
    const VarLeaf* leaf = leaf_at(leaf_id);
    if (!leaf) return fail(error, capacity, "变量 ID 无效");
    if (!text) text = "";
    // In the network channel the target is the peer's: the local probe (still connected after
    // the switch) must not receive writes meant for it.
    const AcquisitionHooks& h = g_acquisition_hooks;
    bool network_channel = h.network_channel && h.network_channel();
    if (network_channel || !driver_available()) return write_through_network(leaf, text, error, capacity);
    // A leaf made from a peer's table has the peer's address; our firmware defines nothing there,
    // and the probe's chip is not the peer's. Only the network channel writes it.
    if (leaf->remote) return fail(error, capacity, "远端变量只能在网络通道写入");

    uint8_t encoded[64] = {};
    uint32_t length = 0;
    if (leaf->is_bitfield) {
        if (encode_bitfield(leaf, text, encoded, error, capacity) != 0) return -1;
        length = leaf->size;
    } else {
        if (const char* reason = partial_write_reason(leaf, text)) return fail(error, capacity, reason);
        size_t parsed = 0;
        size_t room = leaf->size < 64 ? leaf->size : 64;
        bool integer = is_integer_kind(leaf->kind) && leaf->size >= 1 && leaf->size <= 8;
        uint64_t pattern = 0;
        int typed = integer ? check_integer_text(leaf, text, leaf->size * 8, &pattern, error, capacity) : 0;
        if (typed < 0) return -1;
        if (leaf->kind == TYPE_FLOAT) {
            TypedNumber f = typed_float(text, leaf->size);
            if (f == TYPED_MALFORMED) return fail(error, capacity, "数值解析失败");
            if (f == TYPED_OUT_OF_RANGE) return refuse_range(error, capacity, leaf, leaf->size * 8);
        }
        if (typed == 1) {
            // The number's own bits: the codec's 64-bit conversions would clamp or wrap it.
            store_le(encoded, leaf->size, pattern);
            length = leaf->size;
        } else {
            if (!leaf_text_to_bytes(text, encoded, room, &parsed, leaf->kind, leaf->enumerators, leaf->enumerator_count))
                return fail(error, capacity, "数值解析失败");
            // A boolean parses to one byte but the codec clears the rest: write them all, or a
            // wider boolean keeps whatever its other bytes held ("false" over 0x100 stays true).
            length = leaf->kind == TYPE_BOOL ? (uint32_t)(room < 8 ? room : 8) : (uint32_t)parsed;
            // The parser keeps the low bytes; a value (an enumerator's) that needs more is refused, not cut.
            if (integer && leaf->size < 8) {
                uint8_t wide[8] = {};
                leaf_text_to_bytes(text, wide, 8, nullptr, leaf->kind, leaf->enumerators, leaf->enumerator_count);
                if (!fits_width(load_le(wide, 8), leaf->size * 8))
                    return refuse_range(error, capacity, leaf, leaf->size * 8);
            }
        }
    }

    MemoryRequest req = {};
    req.address = leaf->address;
    req.length = length;
    req.buffer = encoded;
    int32_t err = driver_command(KX_DRV_WRITE, &req, nullptr);
    if (err != 0) {
        char message[64];
        text_printf(message, sizeof message, "写入失败 (err=%d)", err);
        return fail(error, capacity, message);
    }

    uint8_t readback[64] = {};
    int32_t got = driver_read(leaf->address, length, readback);
    Sample s;
    memset(&s, 0, sizeof s);
    s.timestamp_us = clock_now_us();
    s.leaf_id = leaf->id;
    s.address = leaf->address;
    s.origin = 1;
    if (got == (int32_t)length) {
        memcpy(s.raw, readback, length < 8 ? length : 8);
        s.size = (int32_t)length;
        leaf_decode(leaf, readback, length, s.text, sizeof s.text, &s.value);
    } else {
        text_printf(s.text, sizeof s.text, "写入完成（回读失败 ret=%d）", got);
    }
    samples_publish(&s, 1);
    log_printf(LOG_INFO, "写入 %s = %s", leaf->name, text);
    return 0;
}
