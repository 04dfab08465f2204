// modules_load_win32.cpp - the Windows side of module loading: directory test, "*.dll"
// enumeration and LoadLibraryW / GetProcAddress / FreeLibrary. Paths cross as UTF-8.
#include <windows.h>

#include <cstdlib>

#include "core/text.h"
#include "modules/modules.h"
#include "modules/modules_win32.h"

namespace {

// An open "*.dll" enumeration.
struct DllEnumeration {
    HANDLE find;
    WIN32_FIND_DATAW data;
    bool have_current;  // `data` holds an entry not yet returned
};

void to_wide(const char* text, wchar_t* out, size_t capacity) {
    utf8_to_utf16(text, (char16_t*)out, capacity);
}

bool path_exists(const char* path) {
    wchar_t wide[1024];
    to_wide(path, wide, 1024);
    return GetFileAttributesW(wide) != INVALID_FILE_ATTRIBUTES;
}

void* enum_open(const char* dir) {
    char pattern_utf8[1100];
    text_printf(pattern_utf8, sizeof pattern_utf8, "%s\\*.dll", dir);
    wchar_t pattern[1100];
    to_wide(pattern_utf8, pattern, 1100);
    DllEnumeration* e = (DllEnumeration*)std::calloc(1, sizeof(DllEnumeration));
    if (!e) return nullptr;
    e->find = FindFirstFileW(pattern, &e->data);
    if (e->find == INVALID_HANDLE_VALUE) {
        std::free(e);
        return nullptr;
    }
    e->have_current = true;
    return e;
}

bool enum_next(void* handle, char* name, size_t capacity, bool* is_directory) {
    DllEnumeration* e = (DllEnumeration*)handle;
    if (!e->have_current && !FindNextFileW(e->find, &e->data)) return false;
    e->have_current = false;
    utf16_to_utf8((const char16_t*)e->data.cFileName, name, capacity);
    *is_directory = (e->data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return true;
}

void enum_close(void* handle) {
    DllEnumeration* e = (DllEnumeration*)handle;
    FindClose(e->find);
    std::free(e);
}

void* library_load(const char* path, unsigned long* error) {
    wchar_t wide[1100];
    to_wide(path, wide, 1100);
    HMODULE library = LoadLibraryW(wide);
    if (!library && error) *error = GetLastError();
    return (void*)library;
}

void* library_symbol(void* library, const char* name) {
    return (void*)GetProcAddress((HMODULE)library, name);
}

void library_free(void* library) { FreeLibrary((HMODULE)library); }

const ModuleLoaderOps kWin32Loader = {path_exists, enum_open, enum_next, enum_close,
                                      library_load, library_symbol, library_free};

}  // namespace

void modules_install_win32_loader() { modules_set_loader(&kWin32Loader); }
