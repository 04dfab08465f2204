// platform.cpp - the portable default platform and the installed-table switch.
#include "core/platform.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "core/text.h"

namespace {

int default_post_main(unsigned, uintptr_t, intptr_t) { return -1; }
bool default_main_window_exists() { return false; }
bool default_on_main_thread() { return true; }
int default_message_box(const char*, const char*, unsigned) { return PLATFORM_ID_CANCEL; }

uint64_t default_tick_ms() {
    using namespace std::chrono;
    return (uint64_t)duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t default_now_us() {
    using namespace std::chrono;
    return (int64_t)duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

int default_exe_dir(char* out, size_t size) {
    if (!out || size == 0) return -1;
#ifdef _WIN32
    wchar_t wide[1024];
    DWORD n = GetModuleFileNameW(nullptr, wide, 1024);
    if (n == 0 || n >= 1024) return -1;
    wchar_t* cut = wcsrchr(wide, L'\\');
    if (!cut) return -1;
    *cut = 0;
    utf16_to_utf8((const char16_t*)wide, out, size);
    return 0;
#else
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return -1;
    path[n] = 0;
    char* cut = strrchr(path, '/');
    if (!cut) return -1;
    *cut = 0;
    text_copy(out, size, path);
    return 0;
#endif
}

int default_get_env(const char* name, char* out, size_t size) {
    if (!name || !out || size == 0) return -1;
#ifdef _WIN32
    char16_t wname[256];
    utf8_to_utf16(name, wname, 256);
    wchar_t value[1024];
    DWORD n = GetEnvironmentVariableW((const wchar_t*)wname, value, 1024);
    if (n == 0 || n >= 1024) return -1;
    utf16_to_utf8((const char16_t*)value, out, size);
    return 0;
#else
    const char* v = std::getenv(name);
    if (!v) return -1;
    text_copy(out, size, v);
    return 0;
#endif
}

FILE* default_open_file(const char* path, const char* mode) {
    if (!path || !mode) return nullptr;
#ifdef _WIN32
    char16_t wpath[1024], wmode[16];
    utf8_to_utf16(path, wpath, 1024);
    utf8_to_utf16(mode, wmode, 16);
    return _wfopen((const wchar_t*)wpath, (const wchar_t*)wmode);
#else
    return std::fopen(path, mode);
#endif
}

int default_make_dir(const char* path) {
    if (!path) return -1;
#ifdef _WIN32
    char16_t wpath[1024];
    utf8_to_utf16(path, wpath, 1024);
    if (CreateDirectoryW((const wchar_t*)wpath, nullptr)) return 0;
    return GetLastError() == ERROR_ALREADY_EXISTS ? 0 : -1;
#else
    if (mkdir(path, 0777) == 0) return 0;
    struct stat st;
    return (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) ? 0 : -1;
#endif
}

void default_debug_output_utf16(const char16_t* text) {
#ifdef _WIN32
    if (text) OutputDebugStringW((const wchar_t*)text);
#else
    (void)text;
#endif
}

void default_sleep_ms(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

uint32_t default_process_id() {
#ifdef _WIN32
    return (uint32_t)GetCurrentProcessId();
#else
    return (uint32_t)getpid();
#endif
}

bool default_process_alive(uint32_t pid) {
    if (pid == 0) return false;
#ifdef _WIN32
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, (DWORD)pid);
    if (!h) return GetLastError() == ERROR_ACCESS_DENIED;  // there, but not ours to open
    const bool running = WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
    CloseHandle(h);
    return running;
#else
    return kill((pid_t)pid, 0) == 0 || errno == EPERM;
#endif
}

const Platform kDefault = {
    default_post_main,  default_main_window_exists, default_on_main_thread, default_message_box,
    default_tick_ms,    default_now_us,             default_exe_dir,        default_get_env,
    default_open_file,  default_make_dir,           default_debug_output_utf16, default_sleep_ms,
    default_process_id, default_process_alive,
};

std::atomic<const Platform*> g_platform{&kDefault};

}  // namespace

const Platform* platform() { return g_platform.load(std::memory_order_acquire); }

const Platform* platform_install(const Platform* p) {
    return g_platform.exchange(p ? p : &kDefault, std::memory_order_acq_rel);
}

const Platform* platform_default() { return &kDefault; }

char platform_path_separator() {
#ifdef _WIN32
    return '\\';
#else
    return '/';
#endif
}

int platform_map_file(const char* path, FileMapping* out) {
    if (!out) return FILE_MAP_FAILED;
    memset(out, 0, sizeof *out);
    if (!path) return FILE_MAP_CANNOT_OPEN;
#ifdef _WIN32
    char16_t wpath[1024];
    utf8_to_utf16(path, wpath, 1024);
    HANDLE file = CreateFileW((const wchar_t*)wpath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FILE_MAP_CANNOT_OPEN;
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart <= 0 || size.QuadPart >= 0x80000000LL) {
        CloseHandle(file);
        return FILE_MAP_EMPTY;
    }
    HANDLE mapping = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);
    if (!mapping) return FILE_MAP_FAILED;
    void* view = MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0);
    if (!view) {
        CloseHandle(mapping);
        return FILE_MAP_FAILED;
    }
    out->data = static_cast<const uint8_t*>(view);
    out->size = (uint64_t)size.QuadPart;
    out->handle = mapping;
    return FILE_MAP_OK;
#else
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return FILE_MAP_CANNOT_OPEN;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size >= 0x80000000LL) {
        close(fd);
        return FILE_MAP_EMPTY;
    }
    void* view = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (view == MAP_FAILED) return FILE_MAP_FAILED;
    out->data = static_cast<const uint8_t*>(view);
    out->size = (uint64_t)st.st_size;
    return FILE_MAP_OK;
#endif
}

void platform_unmap_file(FileMapping* mapping) {
    if (!mapping || !mapping->data) return;
#ifdef _WIN32
    UnmapViewOfFile(mapping->data);
    if (mapping->handle) CloseHandle((HANDLE)mapping->handle);
#else
    munmap(const_cast<uint8_t*>(mapping->data), (size_t)mapping->size);
#endif
    memset(mapping, 0, sizeof *mapping);
}

void platform_release_mapped_pages(const FileMapping* mapping, const uint8_t* data, uint64_t size) {
    if (!mapping || !mapping->data || !data || data < mapping->data || size == 0) return;
    // Only the view's own pages, and only whole ones.
    uint64_t begin_offset = (uint64_t)(data - mapping->data);
    if (begin_offset >= mapping->size) return;
    if (size > mapping->size - begin_offset) size = mapping->size - begin_offset;
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    uintptr_t page = info.dwPageSize ? info.dwPageSize : 4096;
#else
    long system_page = sysconf(_SC_PAGESIZE);
    uintptr_t page = system_page > 0 ? (uintptr_t)system_page : 4096;
#endif
    uintptr_t begin = ((uintptr_t)data + page - 1) & ~(page - 1);
    uintptr_t end = ((uintptr_t)data + size) & ~(page - 1);
    if (end <= begin) return;
#ifdef _WIN32
    // Unlocking pages that are not locked removes them from the working set: the documented way
    // to trim part of a view.
    VirtualUnlock((void*)begin, end - begin);
#else
    madvise((void*)begin, end - begin, MADV_DONTNEED);
#endif
}

void* platform_alloc_pages(size_t size) {
    if (size == 0) return nullptr;
#ifdef _WIN32
    return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
#else
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    return block == MAP_FAILED ? nullptr : block;
#endif
}

void platform_prefault_pages(void* block, size_t size) {
#if defined(_WIN32) || !defined(MADV_POPULATE_WRITE)
    (void)block;
    (void)size;
#else
    // The system's page size: advice on a range that is not page aligned is refused outright.
    static const uintptr_t page = sysconf(_SC_PAGESIZE) > 0 ? (uintptr_t)sysconf(_SC_PAGESIZE) : 4096;
    const uintptr_t begin = ((uintptr_t)block + page - 1) & ~(page - 1);
    const uintptr_t end = ((uintptr_t)block + size) & ~(page - 1);
    // Older kernels refuse the advice (EINVAL); the pages then fault in one by one as before.
    if (end > begin) madvise((void*)begin, end - begin, MADV_POPULATE_WRITE);
#endif
}

void platform_free_pages(void* block, size_t size) {
    if (!block) return;
#ifdef _WIN32
    (void)size;
    VirtualFree(block, 0, MEM_RELEASE);
#else
    munmap(block, size);
#endif
}
