// test_recording_util.h - helpers of the recording and replay tests: a scratch folder with a
// non-ASCII name (paths travel as UTF-8 and must survive the wide-path conversion on Windows),
// whole-file reads and writes, a log capture and the split lines of a recording.
#pragma once
#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "../data/scratch_dir.h"
#include "core/log.h"
#include "recording/recording_csv.h"

namespace rectest {

namespace fs = std::filesystem;

inline std::string utf8(const fs::path& p) {
    std::u8string u = p.u8string();
    return std::string(u.begin(), u.end());
}

inline fs::path from_utf8(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

// A fresh folder "<temp>/kx_rec_<n>/录制 数据" that is removed with the object.
struct ScratchDir {
    fs::path root, dir;
    ScratchDir() {
        root = scratch_dir_create("kx_rec");
        dir = root / fs::path(u8"录制 数据");
        fs::create_directories(dir);
    }
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::string path(const std::string& name = "") const { return name.empty() ? utf8(dir) : utf8(dir / from_utf8(name)); }
};

inline bool exists(const std::string& path) { return fs::exists(from_utf8(path)); }

// One read into a string of the file's size: the recording tests read files of several MB, and
// a stream that doubles its buffer costs a fresh mapping per step under the sanitizers.
inline std::string read_file(const std::string& path) {
    std::ifstream in(from_utf8(path), std::ios::binary | std::ios::ate);
    if (!in) return std::string();
    std::string bytes((size_t)in.tellg(), '\0');
    in.seekg(0);
    in.read(bytes.data(), (std::streamsize)bytes.size());
    bytes.resize((size_t)in.gcount());
    return bytes;
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(from_utf8(path), std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Lines of a file split at line feeds (the last, empty piece after a final line feed dropped).
inline std::vector<std::string> file_lines(const std::string& path) {
    std::string all = read_file(path);
    std::vector<std::string> lines;
    lines.reserve((size_t)std::count(all.begin(), all.end(), '\n') + 1);
    size_t at = 0;
    while (at < all.size()) {
        size_t lf = all.find('\n', at);
        if (lf == std::string::npos) lf = all.size();
        lines.push_back(all.substr(at, lf - at));
        at = lf + 1;
    }
    return lines;
}

// The fields of one CSV line as the replay reader sees them.
inline std::vector<std::string> fields_of(std::string line) {
    static thread_local std::vector<CsvField> f(CSV_FIELD_CAPACITY);
    line.push_back(0);
    int32_t n = csv_split(line.data(), line.size() - 1, f.data(), CSV_FIELD_CAPACITY);
    std::vector<std::string> out;
    for (int32_t i = 0; i < n; i++) out.emplace_back(f[i].text, f[i].length);
    return out;
}

// Log lines "LEVEL message" through the log sink.
struct LogCapture {
    static std::mutex& lock() {
        static std::mutex m;
        return m;
    }
    static std::vector<std::string>& lines() {
        static std::vector<std::string> l;
        return l;
    }
    static void sink(LogLevel level, const char16_t* text) {
        char u[1024];
        utf16_to_utf8(text, u, sizeof u);
        std::lock_guard<std::mutex> hold(lock());
        lines().push_back(std::string(log_level_name(level)) + " " + u);
    }
    LogCapture() {
        log_reset();
        lines().clear();
        log_set_sink(sink);
    }
    ~LogCapture() { log_reset(); }
    std::vector<std::string> snapshot() {
        std::lock_guard<std::mutex> hold(lock());
        return lines();
    }
    int count(const std::string& prefix) {
        int n = 0;
        for (const std::string& l : snapshot()) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    bool has(const std::string& line) {
        for (const std::string& l : snapshot())
            if (l == line) return true;
        return false;
    }
};

}  // namespace rectest
