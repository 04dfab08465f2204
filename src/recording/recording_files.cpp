// recording_files.cpp - whole-file operations by UTF-8 path for the recording cache.
#include "recording/recording_files.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "core/platform.h"
#include "core/text.h"

namespace {

#ifdef _WIN32
struct WidePath {
    char16_t text[1024];
    explicit WidePath(const char* path) { utf8_to_utf16(path, text, 1024); }
    const wchar_t* get() const { return (const wchar_t*)text; }
};
#endif

int seek_end(FILE* f) {
#ifdef _WIN32
    return _fseeki64(f, 0, SEEK_END);
#else
    return fseeko(f, 0, SEEK_END);
#endif
}

int64_t tell(FILE* f) {
#ifdef _WIN32
    return _ftelli64(f);
#else
    return (int64_t)ftello(f);
#endif
}

int seek_to(FILE* f, int64_t at) {
#ifdef _WIN32
    return _fseeki64(f, at, SEEK_SET);
#else
    return fseeko(f, (off_t)at, SEEK_SET);
#endif
}

int truncate_to(const char* path, int64_t size) {
#ifdef _WIN32
    WidePath w(path);
    HANDLE h = CreateFileW(w.get(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    LARGE_INTEGER at;
    at.QuadPart = size;
    bool ok = SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
    CloseHandle(h);
    return ok ? 0 : -1;
#else
    return truncate(path, (off_t)size) == 0 ? 0 : -1;
#endif
}

}  // namespace

int recording_file_remove(const char* path) {
    if (!path || !path[0]) return -1;
#ifdef _WIN32
    WidePath w(path);
    return DeleteFileW(w.get()) ? 0 : -1;
#else
    return unlink(path) == 0 ? 0 : -1;
#endif
}

int recording_file_replace(const char* from, const char* to) {
    if (!from || !to || !from[0] || !to[0]) return -1;
#ifdef _WIN32
    WidePath a(from), b(to);
    return MoveFileExW(a.get(), b.get(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) ? 0 : -1;
#else
    return rename(from, to) == 0 ? 0 : -1;
#endif
}

int64_t recording_file_size(const char* path) {
    FILE* f = platform()->open_file(path, "rb");
    if (!f) return -1;
    int64_t size = seek_end(f) == 0 ? tell(f) : -1;
    fclose(f);
    return size;
}

int recording_file_trim_partial_line(const char* path) {
    FILE* f = platform()->open_file(path, "rb");
    if (!f) return -1;
    int64_t size = seek_end(f) == 0 ? tell(f) : -1;
    if (size <= 0) {
        fclose(f);
        return size == 0 ? 0 : -1;
    }
    // Walk back in blocks to the last line feed.
    char block[65536];
    int64_t end = size, keep = 0;
    bool found = false;
    while (end > 0 && !found) {
        int64_t start = end > (int64_t)sizeof block ? end - (int64_t)sizeof block : 0;
        size_t n = (size_t)(end - start);
        if (seek_to(f, start) != 0 || fread(block, 1, n, f) != n) {
            fclose(f);
            return -1;
        }
        for (size_t i = n; i-- > 0;) {
            if (block[i] == '\n') {
                keep = start + (int64_t)i + 1;
                found = true;
                break;
            }
        }
        end = start;
    }
    fclose(f);
    if (keep == size) return 0;
    return truncate_to(path, keep);
}

int32_t recording_files_in(const char* folder, void (*found)(const char* name, void* context), void* context) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const std::string utf8 = folder ? folder : "";
    fs::directory_iterator it(fs::path(std::u8string(utf8.begin(), utf8.end())), ec);
    if (ec) return -1;
    int32_t count = 0;
    for (const fs::directory_entry& entry : it) {
        if (!entry.is_regular_file(ec)) continue;
        const std::u8string name = entry.path().filename().u8string();
        const std::string text(name.begin(), name.end());
        if (found) found(text.c_str(), context);
        count++;
    }
    return count;
}
