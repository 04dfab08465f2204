// platform.h - the one seam between the portable core and the operating system.
//
// The core never calls Win32 (or POSIX) directly for anything that differs between the real
// program and a test: posting to the main window, message boxes, ticks, paths, environment,
// file opening and debugger output all go through the table below. The Win32 shell installs its
// implementation at start-up; natively the portable default serves kxtool; tests install a
// recorder (tests/unit/platform_recorder.h).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Message box flags and answers (values as the Win32 MB_* / ID* constants, so the shell passes them on).
enum : unsigned {
    PLATFORM_MB_OK = 0x0, PLATFORM_MB_OKCANCEL = 0x1, PLATFORM_MB_YESNO = 0x4,
    PLATFORM_MB_ICONERROR = 0x10, PLATFORM_MB_ICONQUESTION = 0x20,
    PLATFORM_MB_ICONWARNING = 0x30, PLATFORM_MB_ICONINFORMATION = 0x40,
};
enum : int { PLATFORM_ID_OK = 1, PLATFORM_ID_CANCEL = 2, PLATFORM_ID_YES = 6, PLATFORM_ID_NO = 7 };

// Window message numbers that cross subsystems (WM_APP = 0x8000).
enum : unsigned {
    KX_WM_APP = 0x8000,
    KX_MSG_SAMPLES_WAITING = KX_WM_APP + 1,
    KX_MSG_ACQ_ENDED = KX_WM_APP + 2,
    KX_MSG_CLOSE_HOSTED = KX_WM_APP + 5,
    KX_MSG_ACQ_STOPPED = KX_WM_APP + 6,
    KX_MSG_ACQ_STARTED = KX_WM_APP + 7,
    KX_MSG_FULL_SCREEN = KX_WM_APP + 10,
    KX_MSG_LOG_RECORD = KX_WM_APP + 13,
    KX_MSG_ADD_LEAF = KX_WM_APP + 35,
    KX_MSG_LEAF_TABLE_CHANGED = KX_WM_APP + 44,
    KX_MSG_ACQ_START_REQUEST = KX_WM_APP + 45,   // another thread asks the main thread to start acquisition
    KX_MSG_ACQ_STOP_REQUEST = KX_WM_APP + 46,    // ... or to stop it
    KX_WM_CLOSE = 0x0010,
};

// Platform services the core calls. Every text is UTF-8 unless the name says utf16.
struct Platform {
    // Posts a message to the main window; 0 when posted, -1 when there is no window or the post failed.
    int (*post_main)(unsigned msg, uintptr_t wparam, intptr_t lparam);
    // True while the main window exists (created and not yet destroyed).
    bool (*main_window_exists)();
    // True when the caller runs on the thread that owns the main window.
    bool (*on_main_thread)();
    // Shows a message box owned by the main window; returns PLATFORM_ID_*.
    int (*message_box)(const char* text, const char* caption, unsigned flags);
    // Monotonic millisecond tick.
    uint64_t (*tick_ms)();
    // Wall-clock microseconds since 1970-01-01 UTC.
    int64_t (*now_us)();
    // Directory of the running executable, without a trailing separator; 0 or -1.
    int (*exe_dir)(char* out, size_t size);
    // Environment variable; 0 when set (value cut to fit), -1 when not set.
    int (*get_env)(const char* name, char* out, size_t size);
    // Opens a file by UTF-8 path (wide path on Windows).
    FILE* (*open_file)(const char* path, const char* mode);
    // Creates one directory; 0 when created or already there.
    int (*make_dir)(const char* path);
    // Sends UTF-16 text to the debugger output; null where there is none (log lines then skip
    // their UTF-16 copy unless the sink takes it).
    void (*debug_output_utf16)(const char16_t* text);
    // Suspends the calling thread.
    void (*sleep_ms)(unsigned ms);
    // This process's id.
    uint32_t (*process_id)();
    // True while a process with this id runs (a per-instance file's owner is still there).
    bool (*process_alive)(uint32_t pid);
};

// The installed platform (never null: a portable default is in place from the start).
const Platform* platform();
// Installs a platform table (null restores the portable default). Returns the previous one.
const Platform* platform_install(const Platform* p);
// The portable default: stdio files, getenv, std::chrono clocks, no main window.
const Platform* platform_default();

// Path separator of the platform the program runs on ('\\' on Windows).
char platform_path_separator();

// A whole file mapped read-only into memory (mmap natively, a file mapping on Windows).
struct FileMapping {
    const uint8_t* data;
    uint64_t size;
    void* handle;              // the Win32 mapping object; null natively
};
static_assert(sizeof(FileMapping) == 3 * sizeof(void*) || sizeof(void*) == 4, "FileMapping layout");

enum : int {
    FILE_MAP_OK = 0,
    FILE_MAP_CANNOT_OPEN = -1,  // missing, unreadable
    FILE_MAP_EMPTY = -2,        // size 0, or 2 GiB and more
    FILE_MAP_FAILED = -3,       // the system refused the mapping (address space, memory)
};

// Maps the file at a UTF-8 path read-only; FILE_MAP_* result. Files of 2 GiB or more are
// refused as FILE_MAP_EMPTY. The file itself is closed again at once: only the view stays, so
// the caller should release the mapping as soon as it can (a mapped file cannot be replaced on
// Windows while the view exists).
int platform_map_file(const char* path, FileMapping* out);
// Releases a mapping made by platform_map_file; a zeroed mapping is ignored.
void platform_unmap_file(FileMapping* mapping);
// Lets the system take back the resident pages that lie wholly inside [data, data + size) of a
// mapping made by platform_map_file (pages already read through): the view stays valid, and a
// page touched again is read from the file again. Only for such read-only views: on other
// memory the contents could be lost.
void platform_release_mapped_pages(const FileMapping* mapping, const uint8_t* data, uint64_t size);

// Zero-filled read-write memory straight from the system, for a block that is about to be
// filled: its pages are made resident in one call where the system allows (natively; Windows
// commits them and faults them in as usual) rather than with one page fault each. Null when
// refused. Give it back with platform_free_pages and the same size.
void* platform_alloc_pages(size_t size);
void platform_free_pages(void* block, size_t size);
// Makes the whole pages inside [block, block + size) of ordinary read-write memory resident
// ahead of being written, in one call where the system allows (natively; elsewhere nothing
// happens and the pages come in on first write as usual). Cuts the per-page fault cost of a
// large array that is filled front to back.
void platform_prefault_pages(void* block, size_t size);

