// net_wire.h - the wire protocol between two network modules: framing, message types and the
// bounded encoders and decoders of every message.
//
// A frame is a 12-byte header followed by the payload, all little-endian:
//   u32 magic "KXNT" | u8 protocol version | u8 message type | u16 reserved (0) | u32 payload length
// The payload length is checked against NET_PAYLOAD_MAX before anything is read or allocated, so
// a peer that sends garbage or an absurd length is dropped without cost. Every count inside a
// payload is bounded too, and a decoder never reads past the payload it was given.
//
// Index
//   [SECTION] Limits and message types
//   [SECTION] Frame header
//   [SECTION] Byte writer and reader
//   [SECTION] Message records and codecs
#pragma once
#include <cstddef>
#include <cstdint>

//-------------------------------------------------------------------------------------------------
// [SECTION] Limits and message types
//-------------------------------------------------------------------------------------------------

enum : uint32_t {
    NET_MAGIC = 0x544E584Bu,          // "KXNT" as bytes on the wire
    NET_PROTOCOL_VERSION = 2,         // 2: nonces and the key proof in the handshake, text writes
    NET_HEADER_SIZE = 12,
    NET_PAYLOAD_MAX = 2u * 1024u * 1024u,  // a full 4096-leaf table with long names fits
    NET_TABLE_MAX = 4096,             // entries of one table or watch list
    NET_SAMPLES_MAX = 4096,           // samples in one SAMPLES or HISTORY frame
    NET_NAME_MAX = 255,               // bytes of one leaf name
    NET_TEXT_MAX = 63,                // bytes of a value text, write value, error text
    NET_HISTORY_MAX = 8192,           // samples sent for one history request (the hand-off ring size)
    NET_NONCE_SIZE = 32,              // random bytes of each side's HELLO
    NET_HELLO_HAS_KEY = 1,            // HELLO flag: the sender has a key, requires and sends a proof
};

// Message types.
enum NetMessageType : uint8_t {
    NET_MSG_HELLO = 1,            // first frame of each side: protocol version and program name
    NET_MSG_TABLE = 2,            // a variable table (name, address, size per leaf)
    NET_MSG_TABLE_REQUEST = 3,    // "send me your table"
    NET_MSG_WATCH = 4,            // the sender's watch list; empty = stop sending samples
    NET_MSG_SAMPLES = 5,          // live samples, tagged with the index into the receiver's watch list
    NET_MSG_WRITE = 6,            // write a value on the receiver's target
    NET_MSG_WRITE_RESULT = 7,     // the answer to one write
    NET_MSG_HISTORY_REQUEST = 8,  // "send me your acquisition history"
    NET_MSG_HISTORY = 9,          // one chunk of history samples with its own name table
    NET_MSG_AUTH = 10,            // the key proof (32 bytes), see net_auth.h
    NET_MSG_TABLE_OFFER = 11,     // "my table is ready to download" (a TABLE is only taken on request)
    NET_MSG_LAST = 11,
};

//-------------------------------------------------------------------------------------------------
// [SECTION] Frame header
//-------------------------------------------------------------------------------------------------

// One decoded frame header.
struct NetFrameHeader {
    uint8_t version;
    uint8_t type;
    uint32_t length;
};

// Header checks, in the order a reader applies them.
enum NetHeaderCheck : int32_t {
    NET_HEADER_OK = 0,
    NET_HEADER_BAD_MAGIC = -1,
    NET_HEADER_BAD_VERSION = -2,
    NET_HEADER_BAD_TYPE = -3,
    NET_HEADER_TOO_LARGE = -4,
};

void net_header_encode(uint8_t out[NET_HEADER_SIZE], uint8_t type, uint32_t length);
// Decodes and validates 12 header bytes; NET_HEADER_OK or the first failed check.
int32_t net_header_decode(const uint8_t in[NET_HEADER_SIZE], NetFrameHeader* out);
// Short text for a header check result (for log lines).
const char* net_header_check_text(int32_t check);

//-------------------------------------------------------------------------------------------------
// [SECTION] Byte writer and reader
//-------------------------------------------------------------------------------------------------

// Appends little-endian values to a fixed buffer; `failed` is set once anything did not fit.
struct NetWriter {
    uint8_t* data;
    uint32_t capacity;
    uint32_t size;
    bool failed;
};

void net_writer_init(NetWriter* w, uint8_t* data, uint32_t capacity);
void net_put_u8(NetWriter* w, uint8_t v);
void net_put_u16(NetWriter* w, uint16_t v);
void net_put_u32(NetWriter* w, uint32_t v);
void net_put_u64(NetWriter* w, uint64_t v);
void net_put_f64(NetWriter* w, double v);
void net_put_bytes(NetWriter* w, const void* bytes, uint32_t n);
// A text of at most `max` bytes as u8 length + bytes (longer texts are cut).
void net_put_text(NetWriter* w, const char* text, uint32_t max);

// Reads little-endian values from a payload; `failed` is set on the first read past the end and
// every later read yields zeros.
struct NetReader {
    const uint8_t* data;
    uint32_t size;
    uint32_t pos;
    bool failed;
};

void net_reader_init(NetReader* r, const uint8_t* data, uint32_t size);
uint8_t net_get_u8(NetReader* r);
uint16_t net_get_u16(NetReader* r);
uint32_t net_get_u32(NetReader* r);
uint64_t net_get_u64(NetReader* r);
double net_get_f64(NetReader* r);
void net_get_bytes(NetReader* r, void* out, uint32_t n);
// Reads a u8-length text into `out` (capacity >= max + 1), failing when the length exceeds `max`.
void net_get_text(NetReader* r, char* out, uint32_t max);
// True when the whole payload was consumed without a failure.
bool net_reader_done(const NetReader* r);

//-------------------------------------------------------------------------------------------------
// [SECTION] Message records and codecs
//-------------------------------------------------------------------------------------------------

// HELLO: protocol version, the sender's program name, its fresh nonce and flags.
struct NetHello {
    uint32_t version;
    char program[32];
    uint8_t nonce[NET_NONCE_SIZE];
    uint32_t flags;
};

// One leaf of a TABLE or WATCH message.
struct NetLeafEntry {
    char name[NET_NAME_MAX + 1];
    uint64_t address;
    int32_t size;
};

// One sample on the wire. `index` is a position in the receiver's watch list (SAMPLES) or in the
// chunk's name table (HISTORY).
struct NetWireSample {
    uint16_t index;
    int64_t timestamp_us;
    double value;
    int32_t size;
    uint8_t raw[8];
    uint8_t origin;
    char text[NET_TEXT_MAX + 1];
};

// WRITE: a random request number, the leaf's name and the value text exactly as typed.
struct NetWriteRequest {
    uint32_t request_id;
    char name[NET_NAME_MAX + 1];
    char value[NET_TEXT_MAX + 1];
};

// WRITE_RESULT: the request number, 0 = written, and the reason when not.
struct NetWriteResult {
    uint32_t request_id;
    int32_t rc;
    char error[NET_TEXT_MAX + 1];
};

// Encoders write one payload (no header) and return its size, or 0 when it did not fit.
uint32_t net_encode_hello(uint8_t* out, uint32_t capacity, const NetHello* hello);
uint32_t net_encode_leaves(uint8_t* out, uint32_t capacity, const NetLeafEntry* entries, uint32_t count);
uint32_t net_encode_samples(uint8_t* out, uint32_t capacity, const NetWireSample* samples, uint32_t count);
uint32_t net_encode_write(uint8_t* out, uint32_t capacity, const NetWriteRequest* request);
uint32_t net_encode_write_result(uint8_t* out, uint32_t capacity, const NetWriteResult* result);
// HISTORY chunk: the names the samples refer to, the samples, and whether this is the last chunk.
uint32_t net_encode_history(uint8_t* out, uint32_t capacity, const char* const* names, uint32_t name_count,
                            const NetWireSample* samples, uint32_t count, bool last);

// Decoders: 0 on success, -1 when the payload is malformed (short, long, or a count or length
// beyond its limit). Array decoders take the capacity of `entries` and store the count.
int32_t net_decode_hello(const uint8_t* in, uint32_t size, NetHello* out);
int32_t net_decode_leaves(const uint8_t* in, uint32_t size, NetLeafEntry* entries, uint32_t capacity,
                          uint32_t* count);
int32_t net_decode_samples(const uint8_t* in, uint32_t size, NetWireSample* samples, uint32_t capacity,
                           uint32_t* count);
int32_t net_decode_write(const uint8_t* in, uint32_t size, NetWriteRequest* out);
int32_t net_decode_write_result(const uint8_t* in, uint32_t size, NetWriteResult* out);
// `names` is an array of `name_capacity` buffers of NET_NAME_MAX + 1 bytes. Every sample's index
// must name one of the chunk's names.
int32_t net_decode_history(const uint8_t* in, uint32_t size, char (*names)[NET_NAME_MAX + 1],
                           uint32_t name_capacity, uint32_t* name_count, NetWireSample* samples,
                           uint32_t capacity, uint32_t* count, bool* last);
