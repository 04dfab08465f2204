/* kestrelix_module.h - the plug-in module interface of Kestrelix: the one header a module author
 * needs. It compiles as C11 and as C++ on its own.
 *
 * A module is a DLL in the "dll" folder beside Kestrelix.exe that exports
 *     const ModuleDescriptor* kx_module_get(void);
 * The host copies the descriptor, calls `init` with the HostApi table, and afterwards reaches the
 * module only through the descriptor's entries. Every record below uses the x64 layout
 * (little-endian, 8-byte pointers); the offsets are the interface, so each one is asserted.
 * Text is zero-terminated UTF-8 unless a field says UTF-16; unused bytes are zero.
 *
 * Index
 *   [SECTION] Basics
 *   [SECTION] Records the host shares (Sample, global variables)
 *   [SECTION] Host service table (HostApi)
 *   [SECTION] Module descriptor
 *   [SECTION] Driver modules: operation codes and records
 *   [SECTION] Network module: operation codes and records
 */
#ifndef KESTRELIX_MODULE_H
#define KESTRELIX_MODULE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define KX_MODULE_ASSERT(cond, msg) static_assert(cond, msg)
extern "C" {
#else
#define KX_MODULE_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

#if defined(__GNUC__)
#define KX_MODULE_PRINTF(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))
#else
#define KX_MODULE_PRINTF(fmt_index, first_arg)
#endif

/* Layout checks hold for 64-bit builds only (the interface is x64). */
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
#define KX_MODULE_LAYOUT(cond, msg) KX_MODULE_ASSERT(cond, msg)
#else
#define KX_MODULE_LAYOUT(cond, msg) KX_MODULE_ASSERT(1, msg)
#endif

/*-----------------------------------------------------------------------------------------------
 * [SECTION] Basics
 *---------------------------------------------------------------------------------------------*/

/* The only api_version the host accepts. */
#define KX_MODULE_API_VERSION 4u
/* The revision of the HostApi table the host hands to `init`. */
#define KX_HOST_API_VERSION 5u
/* Name of the one export every module has. */
#define KX_MODULE_EXPORT_NAME "kx_module_get"

/* Role bits of ModuleDescriptor.flags; a module may combine them, other bits are ignored. */
#define KX_MODULE_DRIVER 1u  /* probe access (driver operation codes below) */
#define KX_MODULE_WINDOW 2u  /* window types and a sample sink */
#define KX_MODULE_NETWORK 4u /* remote operation (network operation codes below) */

/* Log levels of host_log. */
#define KX_LOG_INFO 0
#define KX_LOG_WARN 1
#define KX_LOG_ERROR 2
#define KX_LOG_DEBUG 3

/* Index of a leaf in the host's leaf table; -1 = none. Ids change on every firmware reload. */
typedef int32_t LeafId;

/*-----------------------------------------------------------------------------------------------
 * [SECTION] Records the host shares (Sample, global variables)
 *---------------------------------------------------------------------------------------------*/

/* One sampled value of one leaf: the unit of the sample hand-off (120 bytes). Producers zero the
 * whole record before filling it. */
typedef struct Sample {
    int64_t timestamp_us; /* wall-clock microseconds since 1970 UTC */
    int32_t leaf_id;
    uint32_t reserved0;
    uint64_t address;
    uint8_t raw[8]; /* first min(size, 8) bytes as read from the target */
    int32_t size;   /* bytes read for the leaf, 1 to 64 */
    uint32_t reserved1;
    double value;
    char text[64]; /* the value as text */
    int32_t origin; /* 1 = read back after a write, else 0 */
    uint32_t reserved2;
} Sample;
KX_MODULE_ASSERT(sizeof(Sample) == 120, "Sample is 120 bytes");
KX_MODULE_ASSERT(offsetof(Sample, leaf_id) == 8, "Sample.leaf_id");
KX_MODULE_ASSERT(offsetof(Sample, address) == 16, "Sample.address");
KX_MODULE_ASSERT(offsetof(Sample, raw) == 24, "Sample.raw");
KX_MODULE_ASSERT(offsetof(Sample, size) == 32, "Sample.size");
KX_MODULE_ASSERT(offsetof(Sample, value) == 40, "Sample.value");
KX_MODULE_ASSERT(offsetof(Sample, text) == 48, "Sample.text");
KX_MODULE_ASSERT(offsetof(Sample, origin) == 112, "Sample.origin");

/* Type kinds of ModuleTypeInfo.kind. */
#define KX_TYPE_INT 1
#define KX_TYPE_UINT 2
#define KX_TYPE_FLOAT 3
#define KX_TYPE_BOOL 4
#define KX_TYPE_STRUCT 5
#define KX_TYPE_UNION 6
#define KX_TYPE_ARRAY 7
#define KX_TYPE_ENUM 8
#define KX_TYPE_POINTER 9
#define KX_TYPE_STRING 10
#define KX_TYPE_OTHER 11

/* A module's view of one resolved type of the open firmware image (64 bytes). Records live as
 * long as the image; a module must look them up again after the host reloads the firmware. */
typedef struct ModuleTypeInfo {
    const char* name; /* null for an anonymous member */
    int32_t kind;     /* KX_TYPE_* */
    uint32_t byte_size;
    int32_t is_signed;
    int32_t is_pointer;
    int32_t is_bitfield;    /* members only */
    uint8_t bit_offset;     /* members only: shift from the least significant bit of the unit */
    uint8_t bit_size;       /* members only */
    uint8_t is_char;        /* 1 for a character type (its arrays are text) */
    uint8_t reserved;
    uint64_t member_offset; /* members only: byte offset within the enclosing struct/union */
    int64_t enum_value;     /* enumerator records only */
    int32_t element_count;  /* arrays: product of all dimensions */
    int32_t child_count;
    /* struct/union: members; enum: enumerators; array: the element type; pointer: the pointee */
    struct ModuleTypeInfo** children;
} ModuleTypeInfo;
KX_MODULE_LAYOUT(sizeof(ModuleTypeInfo) == 64, "ModuleTypeInfo is 64 bytes");
KX_MODULE_LAYOUT(offsetof(ModuleTypeInfo, kind) == 8, "ModuleTypeInfo.kind");
KX_MODULE_LAYOUT(offsetof(ModuleTypeInfo, is_bitfield) == 24, "ModuleTypeInfo.is_bitfield");
KX_MODULE_LAYOUT(offsetof(ModuleTypeInfo, bit_offset) == 28, "ModuleTypeInfo.bit_offset");
KX_MODULE_LAYOUT(offsetof(ModuleTypeInfo, member_offset) == 32, "ModuleTypeInfo.member_offset");
KX_MODULE_LAYOUT(offsetof(ModuleTypeInfo, enum_value) == 40, "ModuleTypeInfo.enum_value");
KX_MODULE_LAYOUT(offsetof(ModuleTypeInfo, element_count) == 48, "ModuleTypeInfo.element_count");
KX_MODULE_LAYOUT(offsetof(ModuleTypeInfo, children) == 56, "ModuleTypeInfo.children");

/* A module's view of one global variable of the open firmware image (40 bytes). */
typedef struct ModuleGlobalVar {
    const char* name;
    uint64_t address;
    uint64_t size;         /* bytes, 0 when unknown */
    ModuleTypeInfo* type;  /* null when only the symbol table knew the variable */
    int32_t from_debug_info;
    uint32_t reserved;
} ModuleGlobalVar;
KX_MODULE_LAYOUT(sizeof(ModuleGlobalVar) == 40, "ModuleGlobalVar is 40 bytes");
KX_MODULE_LAYOUT(offsetof(ModuleGlobalVar, address) == 8, "ModuleGlobalVar.address");
KX_MODULE_LAYOUT(offsetof(ModuleGlobalVar, size) == 16, "ModuleGlobalVar.size");
KX_MODULE_LAYOUT(offsetof(ModuleGlobalVar, type) == 24, "ModuleGlobalVar.type");
KX_MODULE_LAYOUT(offsetof(ModuleGlobalVar, from_debug_info) == 32, "ModuleGlobalVar.from_debug_info");

/*-----------------------------------------------------------------------------------------------
 * [SECTION] Host service table (HostApi)
 *---------------------------------------------------------------------------------------------*/

/* The host services, in table order (176 bytes, table version 5; a version 4 table ends after
 * slot 19, so a module reads host_write_text only when `version` is 5 or more: it writes a value
 * given as text, exactly as the user's own writes do). Built once at start-up and
 * never changed; every module receives the same table. Thread rules: host_log and
 * host_post_message may be called from any thread; host_push_sample takes the sample hand-off
 * lock and may be called from any thread; the leaf getters, host_is_watched, host_leaf_last_sample
 * and host_read_history read without a lock; host_set_watched changes the flag atomically; the
 * services that open dialogs, reload firmware or start/stop acquisition belong to the main thread. */
typedef struct HostApi {
    uint32_t version; /* KX_HOST_API_VERSION */
    uint32_t reserved;
    /* 0 */ int32_t (*host_log)(int32_t level, const char* format, ...) KX_MODULE_PRINTF(2, 3);
    /* 1 */ int32_t (*host_post_message)(uint32_t message, uintptr_t wparam, intptr_t lparam);
    /* 2 */ const ModuleGlobalVar* (*host_find_global)(const char* name);
    /* 3 */ int32_t (*host_leaf_count)(void);
    /* 4 */ const char* (*host_leaf_name)(int32_t id);
    /* 5 */ const Sample* (*host_leaf_last_sample)(int32_t id);
    /* 6 */ int32_t (*host_pick_variable)(void* owner_window, char* name, int32_t capacity);
    /* 7 */ int32_t (*host_write_value)(int32_t id, double value, char* error, int32_t capacity);
    /* 8 */ void (*host_reload_elf)(void);
    /* 9 */ int32_t (*host_search_leaves)(const char* pattern, int32_t* ids, int32_t max);
    /* 10 */ uint64_t (*host_leaf_address)(int32_t id);
    /* 11 */ void (*host_push_sample)(const Sample* sample);
    /* 12 */ int32_t (*host_is_watched)(int32_t id);
    /* 13 */ int32_t (*host_set_watched)(int32_t id, int32_t on);
    /* 14 */ int32_t (*host_start_acquisition)(void);
    /* 15 */ int32_t (*host_stop_acquisition)(void);
    /* 16 */ int32_t (*host_read_history)(Sample* samples, int32_t max);
    /* 17 */ int32_t (*host_upsert_remote_leaf)(const char* name, uint64_t address, int32_t size);
    /* 18 */ void (*host_remote_sync_done)(int32_t added, int32_t updated);
    /* 19 */ int32_t (*host_leaf_size)(int32_t id);
    /* 20, table version 5 and later */
    int32_t (*host_write_text)(int32_t id, const char* text, char* error, int32_t capacity);
} HostApi;
KX_MODULE_LAYOUT(sizeof(HostApi) == 176, "HostApi is 176 bytes");
KX_MODULE_LAYOUT(offsetof(HostApi, host_log) == 8, "HostApi slot 0");
KX_MODULE_LAYOUT(offsetof(HostApi, host_post_message) == 16, "HostApi slot 1");
KX_MODULE_LAYOUT(offsetof(HostApi, host_find_global) == 24, "HostApi slot 2");
KX_MODULE_LAYOUT(offsetof(HostApi, host_leaf_count) == 32, "HostApi slot 3");
KX_MODULE_LAYOUT(offsetof(HostApi, host_leaf_name) == 40, "HostApi slot 4");
KX_MODULE_LAYOUT(offsetof(HostApi, host_leaf_last_sample) == 48, "HostApi slot 5");
KX_MODULE_LAYOUT(offsetof(HostApi, host_pick_variable) == 56, "HostApi slot 6");
KX_MODULE_LAYOUT(offsetof(HostApi, host_write_value) == 64, "HostApi slot 7");
KX_MODULE_LAYOUT(offsetof(HostApi, host_reload_elf) == 72, "HostApi slot 8");
KX_MODULE_LAYOUT(offsetof(HostApi, host_search_leaves) == 80, "HostApi slot 9");
KX_MODULE_LAYOUT(offsetof(HostApi, host_leaf_address) == 88, "HostApi slot 10");
KX_MODULE_LAYOUT(offsetof(HostApi, host_push_sample) == 96, "HostApi slot 11");
KX_MODULE_LAYOUT(offsetof(HostApi, host_is_watched) == 104, "HostApi slot 12");
KX_MODULE_LAYOUT(offsetof(HostApi, host_set_watched) == 112, "HostApi slot 13");
KX_MODULE_LAYOUT(offsetof(HostApi, host_start_acquisition) == 120, "HostApi slot 14");
KX_MODULE_LAYOUT(offsetof(HostApi, host_stop_acquisition) == 128, "HostApi slot 15");
KX_MODULE_LAYOUT(offsetof(HostApi, host_read_history) == 136, "HostApi slot 16");
KX_MODULE_LAYOUT(offsetof(HostApi, host_upsert_remote_leaf) == 144, "HostApi slot 17");
KX_MODULE_LAYOUT(offsetof(HostApi, host_remote_sync_done) == 152, "HostApi slot 18");
KX_MODULE_LAYOUT(offsetof(HostApi, host_leaf_size) == 160, "HostApi slot 19");
KX_MODULE_LAYOUT(offsetof(HostApi, host_write_text) == 168, "HostApi slot 20");

/*-----------------------------------------------------------------------------------------------
 * [SECTION] Module descriptor
 *---------------------------------------------------------------------------------------------*/

/* One window type a window module offers (16 bytes); a list ends at a null type_name. */
typedef struct WindowTypeEntry {
    const char* type_name;    /* passed to create_window and stored in the layout file */
    const char* display_name; /* menu label; null = the type name */
} WindowTypeEntry;
KX_MODULE_LAYOUT(sizeof(WindowTypeEntry) == 16, "WindowTypeEntry is 16 bytes");
KX_MODULE_LAYOUT(offsetof(WindowTypeEntry, display_name) == 8, "WindowTypeEntry.display_name");

/* What kx_module_get returns (440 bytes). Every entry may be null; the host skips null ones. */
typedef struct ModuleDescriptor {
    uint32_t api_version; /* KX_MODULE_API_VERSION */
    uint32_t flags;       /* KX_MODULE_DRIVER | KX_MODULE_WINDOW | KX_MODULE_NETWORK */
    char name[64];
    char version[32];
    char description[256];
    const WindowTypeEntry* window_types; /* null = none */
    /* Once at load, main thread: 0 = success; the module may set *context. */
    int32_t (*init)(const HostApi* host, void** context);
    void (*destroy)(void* context);
    /* The single operation entry: driver codes or network codes; either record may be null. */
    int32_t (*command)(void* context, int32_t code, void* in, void* out);
    void* (*create_window)(void* context, const char* type_name, void* parent_window, int32_t x,
                           int32_t y, int32_t width, int32_t height, const char* title);
    void (*window_closing)(void* context, void* window);
    void (*on_samples)(void* context, const Sample* samples, int32_t count);
    void* reserved; /* never called */
    void (*add_variable)(void* context, void* window, int32_t leaf_id);
    /* Writes the window's index-th leaf name; nonzero when there is one. */
    int32_t (*get_variable)(void* context, void* window, int32_t index, char* name, int32_t capacity);
} ModuleDescriptor;
KX_MODULE_LAYOUT(sizeof(ModuleDescriptor) == 440, "ModuleDescriptor is 440 bytes");
KX_MODULE_ASSERT(offsetof(ModuleDescriptor, flags) == 4, "ModuleDescriptor.flags");
KX_MODULE_ASSERT(offsetof(ModuleDescriptor, name) == 8, "ModuleDescriptor.name");
KX_MODULE_ASSERT(offsetof(ModuleDescriptor, version) == 72, "ModuleDescriptor.version");
KX_MODULE_ASSERT(offsetof(ModuleDescriptor, description) == 104, "ModuleDescriptor.description");
KX_MODULE_LAYOUT(offsetof(ModuleDescriptor, window_types) == 360, "ModuleDescriptor.window_types");
KX_MODULE_LAYOUT(offsetof(ModuleDescriptor, init) == 368, "ModuleDescriptor.init");
KX_MODULE_LAYOUT(offsetof(ModuleDescriptor, destroy) == 376, "ModuleDescriptor.destroy");
KX_MODULE_LAYOUT(offsetof(ModuleDescriptor, command) == 384, "ModuleDescriptor.command");
KX_MODULE_LAYOUT(offsetof(ModuleDescriptor, create_window) == 392, "ModuleDescriptor.create_window");
KX_MODULE_LAYOUT(offsetof(ModuleDescriptor, window_closing) == 400, "ModuleDescriptor.window_closing");
KX_MODULE_LAYOUT(offsetof(ModuleDescriptor, on_samples) == 408, "ModuleDescriptor.on_samples");
KX_MODULE_LAYOUT(offsetof(ModuleDescriptor, reserved) == 416, "ModuleDescriptor.reserved");
KX_MODULE_LAYOUT(offsetof(ModuleDescriptor, add_variable) == 424, "ModuleDescriptor.add_variable");
KX_MODULE_LAYOUT(offsetof(ModuleDescriptor, get_variable) == 432, "ModuleDescriptor.get_variable");

/* The export's type. */
typedef const ModuleDescriptor* (*ModuleGetFunction)(void);

/*-----------------------------------------------------------------------------------------------
 * [SECTION] Driver modules: operation codes and records
 *---------------------------------------------------------------------------------------------*/

#define KX_DRV_CONNECT 1    /* in ConnectRequest; 0 = connected, else error code */
#define KX_DRV_DISCONNECT 2 /* no records */
#define KX_DRV_STATUS 3     /* out int32_t: nonzero = target connected */
#define KX_DRV_SCAN 4       /* in ScanRequest: the driver sets count */
#define KX_DRV_READ 5       /* in MemoryRequest: returns bytes read; only `length` is success */
#define KX_DRV_WRITE 6      /* in MemoryRequest: 0 = written */
#define KX_DRV_INFO 7       /* out ProbeDetails */
#define KX_DRV_SPEEDS 12    /* out SpeedTable: 0 = table valid */
#define KX_DRV_PROGRAM 30   /* in FlashRequest: 0 = programmed */
#define KX_DRV_ERASE 31     /* in FlashRequest: 0 = whole flash erased */

#define KX_IFACE_SWD 0
#define KX_IFACE_JTAG 1

/* Connect parameters (208 bytes). */
typedef struct ConnectRequest {
    int32_t iface;        /* KX_IFACE_SWD or KX_IFACE_JTAG */
    int32_t clock_khz;    /* 0 = automatic */
    char core_name[128];
    int32_t probe_index;  /* position in the last scan, -1 = none */
    uint8_t reserved[68];
} ConnectRequest;
KX_MODULE_ASSERT(sizeof(ConnectRequest) == 208, "ConnectRequest is 208 bytes");
KX_MODULE_ASSERT(offsetof(ConnectRequest, clock_khz) == 4, "ConnectRequest.clock_khz");
KX_MODULE_ASSERT(offsetof(ConnectRequest, core_name) == 8, "ConnectRequest.core_name");
KX_MODULE_ASSERT(offsetof(ConnectRequest, probe_index) == 136, "ConnectRequest.probe_index");

/* One probe found by a scan (196 bytes). */
typedef struct ProbeInfo {
    uint32_t unused;
    char serial[64];
    char product[128];
} ProbeInfo;
KX_MODULE_ASSERT(sizeof(ProbeInfo) == 196, "ProbeInfo is 196 bytes");
KX_MODULE_ASSERT(offsetof(ProbeInfo, serial) == 4, "ProbeInfo.serial");
KX_MODULE_ASSERT(offsetof(ProbeInfo, product) == 68, "ProbeInfo.product");

/* Scan request (16 bytes): the host offers `capacity` records; the driver sets `count` to the
 * number of probes it found (which may exceed the capacity). */
typedef struct ScanRequest {
    ProbeInfo* probes;
    uint32_t capacity;
    int32_t count;
} ScanRequest;
KX_MODULE_LAYOUT(sizeof(ScanRequest) == 16, "ScanRequest is 16 bytes");
KX_MODULE_LAYOUT(offsetof(ScanRequest, capacity) == 8, "ScanRequest.capacity");
KX_MODULE_LAYOUT(offsetof(ScanRequest, count) == 12, "ScanRequest.count");

/* Target memory access (24 bytes). */
typedef struct MemoryRequest {
    uint64_t address;
    uint32_t length; /* 1 to 4096 for reads */
    uint32_t reserved;
    void* buffer;
} MemoryRequest;
KX_MODULE_LAYOUT(sizeof(MemoryRequest) == 24, "MemoryRequest is 24 bytes");
KX_MODULE_ASSERT(offsetof(MemoryRequest, length) == 8, "MemoryRequest.length");
KX_MODULE_LAYOUT(offsetof(MemoryRequest, buffer) == 16, "MemoryRequest.buffer");

/* What the driver tells about the probe and target after a connect (268 bytes). */
typedef struct ProbeDetails {
    char description[96];
    char library_version[32];
    char target_name[128];
    int32_t hardware_version;
    int32_t firmware_version;
    uint8_t reserved[4];
} ProbeDetails;
KX_MODULE_ASSERT(sizeof(ProbeDetails) == 268, "ProbeDetails is 268 bytes");
KX_MODULE_ASSERT(offsetof(ProbeDetails, library_version) == 96, "ProbeDetails.library_version");
KX_MODULE_ASSERT(offsetof(ProbeDetails, target_name) == 128, "ProbeDetails.target_name");
KX_MODULE_ASSERT(offsetof(ProbeDetails, hardware_version) == 256, "ProbeDetails.hardware_version");
KX_MODULE_ASSERT(offsetof(ProbeDetails, firmware_version) == 260, "ProbeDetails.firmware_version");

/* The clock steps a driver offers per interface (136 bytes). Counts outside 1..16 are invalid;
 * steps <= 0 are skipped. */
typedef struct SpeedTable {
    int32_t swd_khz[16];
    int32_t swd_count;
    int32_t jtag_khz[16];
    int32_t jtag_count;
} SpeedTable;
KX_MODULE_ASSERT(sizeof(SpeedTable) == 136, "SpeedTable is 136 bytes");
KX_MODULE_ASSERT(offsetof(SpeedTable, swd_count) == 64, "SpeedTable.swd_count");
KX_MODULE_ASSERT(offsetof(SpeedTable, jtag_khz) == 68, "SpeedTable.jtag_khz");
KX_MODULE_ASSERT(offsetof(SpeedTable, jtag_count) == 132, "SpeedTable.jtag_count");

/* Program or erase parameters (664 bytes). */
typedef struct FlashRequest {
    uint16_t path[260];     /* UTF-16 file path, zero-terminated */
    uint32_t base_address;  /* load address of raw binaries */
    int32_t skip_erase;     /* 1 = do not erase the whole chip first */
    int32_t verify;         /* 1 = verify after programming */
    int32_t reset_and_run;  /* 1 = reset the target and let it run when done */
    char device_name[128];
} FlashRequest;
KX_MODULE_ASSERT(sizeof(FlashRequest) == 664, "FlashRequest is 664 bytes");
KX_MODULE_ASSERT(offsetof(FlashRequest, base_address) == 520, "FlashRequest.base_address");
KX_MODULE_ASSERT(offsetof(FlashRequest, skip_erase) == 524, "FlashRequest.skip_erase");
KX_MODULE_ASSERT(offsetof(FlashRequest, verify) == 528, "FlashRequest.verify");
KX_MODULE_ASSERT(offsetof(FlashRequest, reset_and_run) == 532, "FlashRequest.reset_and_run");
KX_MODULE_ASSERT(offsetof(FlashRequest, device_name) == 536, "FlashRequest.device_name");

/*-----------------------------------------------------------------------------------------------
 * [SECTION] Network module: operation codes and records
 *---------------------------------------------------------------------------------------------*/

#define KX_NET_LISTEN 20         /* in NetEndpoint */
#define KX_NET_CONNECT 21        /* in NetEndpoint */
#define KX_NET_STOP 22
#define KX_NET_UPLOAD_TABLE 23
#define KX_NET_SAMPLES_WAITING 24
#define KX_NET_REQUEST_TABLE 25
#define KX_NET_SEND_WATCH_LIST 26
#define KX_NET_WRITE 27          /* in NetWrite, out null or char[64]: why it failed; 0 = written */
#define KX_NET_REQUEST_HISTORY 28
#define KX_NET_STOP_SENDING 29
#define KX_NET_SET_KEY 30        /* in NetKey: the shared key of later listens and connects ("" = none) */

/* A peer address (68 bytes); text cut to 63 bytes. */
typedef struct NetEndpoint {
    char address[64];
    int32_t port;
} NetEndpoint;
KX_MODULE_ASSERT(sizeof(NetEndpoint) == 68, "NetEndpoint is 68 bytes");
KX_MODULE_ASSERT(offsetof(NetEndpoint, port) == 64, "NetEndpoint.port");

/* A write to carry out on the peer (128 bytes). */
typedef struct NetWrite {
    char leaf_name[64];
    char value_text[64];
} NetWrite;
KX_MODULE_ASSERT(sizeof(NetWrite) == 128, "NetWrite is 128 bytes");
KX_MODULE_ASSERT(offsetof(NetWrite, value_text) == 64, "NetWrite.value_text");

/* The shared key of remote operation (128 bytes): UTF-8 text cut to 127 bytes, "" = no key. */
typedef struct NetKey {
    char key[128];
} NetKey;
KX_MODULE_ASSERT(sizeof(NetKey) == 128, "NetKey is 128 bytes");

#ifdef __cplusplus
}
#endif

#endif /* KESTRELIX_MODULE_H */
