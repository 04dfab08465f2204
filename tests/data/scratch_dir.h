// scratch_dir.h - a private folder under the system temp folder for one test.
// ctest runs every test as its own process, several at once, and the sanitizer builds and other
// checkouts on the same machine run the same tests too: a fixed name in the temp folder is shared
// by all of them. The folder name carries the process id, the clock and a counter, and the folder
// is made with create_directory, which refuses a name that already exists, so two tests never
// end up in the same folder.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <process.h>
#define KX_SCRATCH_PID() ((long long)_getpid())
#else
#include <unistd.h>
#define KX_SCRATCH_PID() ((long long)getpid())
#endif

// Creates and returns a new empty folder "<temp>/<prefix>_<pid>_<clock>_<n>".
inline std::filesystem::path scratch_dir_create(const std::string& prefix) {
    namespace fs = std::filesystem;
    static std::atomic<unsigned> counter{0};
    const fs::path temp = fs::temp_directory_path();
    for (int attempt = 0; attempt < 1000; attempt++) {
        long long stamp = (long long)std::chrono::steady_clock::now().time_since_epoch().count();
        fs::path dir = temp / (prefix + "_" + std::to_string(KX_SCRATCH_PID()) + "_" + std::to_string(stamp) + "_" +
                               std::to_string(counter++));
        std::error_code ec;
        if (fs::create_directory(dir, ec)) return dir;
        if (ec) throw std::runtime_error("cannot create scratch folder " + dir.string() + ": " + ec.message());
    }
    throw std::runtime_error("no free scratch folder name for " + prefix);
}

// A scratch folder removed with the object.
struct ScratchFolder {
    std::filesystem::path path;
    explicit ScratchFolder(const std::string& prefix) : path(scratch_dir_create(prefix)) {}
    ~ScratchFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
};
