// gdb_protocol.h - the GDB Remote Serial Protocol as plain byte work: framing and checksums,
// scanning a received byte stream for acknowledgements and packets, run-length and escape
// decoding, hex, and the replies the driver interprets (errors, stop replies, qSupported,
// memory maps, target descriptions).
//
// Nothing here touches a socket or allocates: every output goes into a buffer the caller sized,
// and every parser treats its input as hostile (a broken or malicious server must not be able to
// overrun anything). gdb_link.cpp moves the bytes; gdb_driver.cpp decides what to send.
#pragma once
#include <cstddef>
#include <cstdint>

// Largest packet body the driver sends or accepts (after decoding). Servers offer at most this
// through PacketSize; a larger offer is clamped.
constexpr uint32_t GDB_PACKET_MAX = 16384;
// Packet size assumed when the server does not state one (what gdb itself assumes).
constexpr uint32_t GDB_PACKET_DEFAULT = 400;

// Error codes of the driver (returned through the driver interface unchanged).
enum GdbError : int32_t {
    GDB_ERR_TIMEOUT = -10,       // the server did not answer in time
    GDB_ERR_CLOSED = -11,        // the server closed the connection
    GDB_ERR_IO = -12,            // socket error
    GDB_ERR_PROTOCOL = -13,      // unreadable or unexpected reply, repeated checksum errors
    GDB_ERR_TARGET = -14,        // the server answered "E NN"
    GDB_ERR_NOT_CONNECTED = -15,
    GDB_ERR_NO_MAP = -16,        // the server publishes no flash memory map
    GDB_ERR_FILE = -17,          // image file missing or unreadable
    GDB_ERR_FORMAT = -18,        // image file malformed
    GDB_ERR_RANGE = -19,         // image data outside the flash regions
    GDB_ERR_VERIFY = -20,        // read-back differs after programming
    GDB_ERR_ARGUMENT = -21,
    GDB_ERR_NO_SERVER = -22,     // connect without a scanned server at that index
    GDB_ERR_UNSUPPORTED = -23,   // the server does not know the command
};

// Short text for an error code (log lines).
const char* gdb_error_text(int32_t code);

// Modulo-256 sum of the bytes.
uint8_t gdb_checksum(const uint8_t* data, size_t size);

// Frames a payload as "$<escaped payload>#xx" into out; '$', '#', '}' and '*' are escaped so
// binary payloads (X, vFlashWrite) pass unchanged. Returns the framed length, or -1 when it does
// not fit in `capacity`.
int32_t gdb_frame(const uint8_t* payload, size_t size, uint8_t* out, size_t capacity);

// What gdb_scan found at the start of a receive buffer.
enum GdbScanKind : int32_t {
    GDB_SCAN_NEED_MORE = 0,  // an incomplete frame: wait for more bytes
    GDB_SCAN_ACK = 1,        // '+'
    GDB_SCAN_NACK = 2,       // '-': the peer asks for a retransmission
    GDB_SCAN_PACKET = 3,     // a complete "$...#xx" packet with a good checksum
    GDB_SCAN_BAD_SUM = 4,    // a complete packet whose checksum is wrong
    GDB_SCAN_NOTIFY = 5,     // a complete "%...#xx" notification (ignored by the driver)
    GDB_SCAN_JUNK = 6,       // bytes outside any frame (skipped)
    GDB_SCAN_OVERSIZE = 7,   // a frame longer than the buffer allows (skipped, then reported)
};

// One scan result: `consumed` bytes are done with; a packet's body is body[0..body_size) inside
// the scanned buffer (still encoded: escapes and run-length sequences not yet undone).
struct GdbScan {
    int32_t kind;          // GdbScanKind
    uint32_t consumed;
    uint32_t body_offset;
    uint32_t body_size;
    uint32_t clean;        // GDB_SCAN_NEED_MORE: leading bytes known to be a frame start and no end
};

// Looks at the first frame of `data`. A buffer that holds `max_frame` bytes without a complete
// frame reports GDB_SCAN_OVERSIZE and consumes everything up to the next '$' after the start.
GdbScan gdb_scan(const uint8_t* data, uint32_t size, uint32_t max_frame);
// The same scan of a buffer that grew since an earlier scan said GDB_SCAN_NEED_MORE: the first
// `clean` bytes (that scan's `clean`) are not looked at again. A server that sends a long reply
// in small pieces would otherwise cost a scan of the whole frame per piece.
GdbScan gdb_scan_resume(const uint8_t* data, uint32_t size, uint32_t max_frame, uint32_t clean);

// Undoes escapes ("}x" = x ^ 0x20) and run-length sequences ("c*n" = c repeated n - 29 more
// times) of a packet body. Returns the decoded length, or -1 for a malformed body or one that
// does not fit in `capacity`.
int32_t gdb_decode_body(const uint8_t* body, size_t size, uint8_t* out, size_t capacity);

// Hex helpers. gdb_hex_to_bytes returns the byte count or -1 (odd length, a non-hex digit, too
// long for `capacity`); gdb_bytes_to_hex writes 2 * size digits and a terminator.
int32_t gdb_hex_to_bytes(const char* text, size_t length, uint8_t* out, size_t capacity);
void gdb_bytes_to_hex(const uint8_t* data, size_t size, char* out);
// Reads a hexadecimal number from text[0..length); false when there is none or it overflows.
bool gdb_parse_hex_u64(const char* text, size_t length, uint64_t* out);

// "E NN" (two hex digits) or "E.text": true, with the number (or -1 for the text form).
bool gdb_reply_is_error(const uint8_t* reply, size_t size, int32_t* code);
// Stop replies: "S xx", "T xx...", "W xx", "X xx". True, with the signal (or exit code).
bool gdb_reply_is_stop(const uint8_t* reply, size_t size, int32_t* signal);
// Console output "O<hex>": true, with the decoded text (cut to capacity - 1, terminated).
bool gdb_reply_console(const uint8_t* reply, size_t size, char* text, size_t capacity);

// What a server said in its qSupported reply.
struct GdbFeatures {
    uint32_t packet_size;     // PacketSize, clamped to GDB_PACKET_MAX; GDB_PACKET_DEFAULT if absent
    bool no_ack;              // QStartNoAckMode+
    bool memory_map;          // qXfer:memory-map:read+
    bool target_xml;          // qXfer:features:read+
};
void gdb_parse_supported(const uint8_t* reply, size_t size, GdbFeatures* out);

// Memory regions of a memory-map document.
enum GdbRegionType : int32_t { GDB_REGION_RAM = 0, GDB_REGION_ROM = 1, GDB_REGION_FLASH = 2 };
constexpr int32_t GDB_MAP_REGIONS_MAX = 32;
// One region of the server's memory map.
struct GdbRegion {
    int32_t type;          // GdbRegionType
    uint64_t start;
    uint64_t length;
    uint64_t block_size;   // flash only: erase granularity (0 = unknown, the whole region)
};
// The server's memory map (regions beyond GDB_MAP_REGIONS_MAX are dropped).
struct GdbMemoryMap {
    int32_t count;
    GdbRegion regions[GDB_MAP_REGIONS_MAX];
};
// Parses the memory-map XML; returns the number of regions (0 = none usable).
int32_t gdb_parse_memory_map(const char* xml, size_t size, GdbMemoryMap* out);
// Counts the flash regions.
int32_t gdb_map_flash_count(const GdbMemoryMap* map);
// The flash region holding [address, address + length), or null.
const GdbRegion* gdb_map_flash_region(const GdbMemoryMap* map, uint64_t address, uint64_t length);
// True when [address, address + length) lies in flash, across adjacent flash regions if need be
// (servers list one region per group of equal sectors, and an image often spans several).
bool gdb_map_flash_covers(const GdbMemoryMap* map, uint64_t address, uint64_t length);

// The text of the first <architecture> element of a target description, cut to capacity - 1;
// false when there is none.
bool gdb_parse_architecture(const char* xml, size_t size, char* out, size_t capacity);
