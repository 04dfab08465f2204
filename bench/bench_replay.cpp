// bench_replay - the recording cache and the load-all replay on a large recording.
//
//   bench_replay [ROWS]   (default 10000000)
//
// Records ROWS samples of 8 watched leaves through the recording cache (batches of 64, as an
// acquisition cycle hands them over) and prints samples per second written, then loads that
// file with the load-all replay and prints rows per second and the peak memory it took.
// Targets: at least 1,000,000 samples/s recorded, at least 500,000 rows/s loaded, and a load
// whose peak memory does not grow with the file (at most 64 MiB above the start).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "acquisition/acquisition.h"
#include "core/log.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "vartable/leaf_table.h"

namespace {

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// A memory line of /proc/self/status in KiB ("VmHWM:" the peak resident size, "VmRSS:" the
// current one); -1 when unknown.
long status_kib(const char* key) {
    FILE* f = fopen("/proc/self/status", "r");
    if (!f) return -1;
    char line[256];
    long kib = -1;
    size_t n = strlen(key);
    while (fgets(line, sizeof line, f))
        if (strncmp(line, key, n) == 0) kib = atol(line + n);
    fclose(f);
    return kib;
}

// Resets the peak (Linux).
void reset_peak_rss() {
    FILE* f = fopen("/proc/self/clear_refs", "w");
    if (!f) return;
    fputs("5", f);
    fclose(f);
}

}  // namespace

int main(int argc, char** argv) {
    long long rows = argc > 1 ? atoll(argv[1]) : 10000000LL;
    if (rows < 1) rows = 1;
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path() / ("kx_bench_replay_" + std::to_string((long long)getpid()));
    fs::create_directories(dir);
    setenv("LOCALAPPDATA", dir.string().c_str(), 1);
    log_reset();

    const int leaves = 8;
    for (int i = 0; i < leaves; i++) {
        std::string name = "motor[" + std::to_string(i) + "].speed";
        leaf_add(name.c_str(), 0x20000000ULL + (uint64_t)i * 4, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
        leaf_set_watched(i, 1);
    }
    recording_install_hooks();

    // ---- Recording: samples per second into the cache (RAM, then the file) ----
    if (recording_open() != 0) {
        fprintf(stderr, "recording_open failed\n");
        return 1;
    }
    std::vector<Sample> batch(64);
    int64_t t = 1733659200000000LL;
    auto start = std::chrono::steady_clock::now();
    long long made = 0;
    while (made < rows) {
        int32_t n = (int32_t)(rows - made < 64 ? rows - made : 64);
        for (int32_t k = 0; k < n; k++) {
            Sample& s = batch[(size_t)k];
            memset(&s, 0, sizeof s);
            s.timestamp_us = t;
            t += 37;
            s.leaf_id = (int32_t)((made + k) % leaves);
            s.size = 4;
            int32_t v = (int32_t)((made + k) * 7919 % 200001) - 100000;
            snprintf(s.text, sizeof s.text, "%d", v);
            s.value = v;
        }
        recording_append(batch.data(), n);
        made += n;
    }
    recording_finish();
    double record_s = seconds_since(start);
    char cache[RECORDING_PATH_CAPACITY];
    recording_cache_path(cache, sizeof cache);
    std::error_code ec;
    double mib = (double)fs::file_size(cache, ec) / (1024.0 * 1024.0);
    double record_rate = (double)recording_recorded_count() / record_s;
    printf("recording: %lld samples in %.2f s = %.0f samples/s (%.1f MiB CSV, %.1f MiB/s)\n",
           (long long)recording_recorded_count(), record_s, record_rate, mib, mib / record_s);

    // ---- Load-all replay of that file: rows per second and peak memory ----
    long rss_before = status_kib("VmRSS:");
    reset_peak_rss();
    start = std::chrono::steady_clock::now();
    if (replay_load_all(cache) != 0) {
        fprintf(stderr, "replay_load_all failed\n");
        return 1;
    }
    double load_s = seconds_since(start);
    long peak = status_kib("VmHWM:");
    double load_rate = (double)rows / load_s;
    long grown_kib = peak >= 0 && rss_before >= 0 ? peak - rss_before : -1;
    printf("load-all replay: %lld rows in %.2f s = %.0f rows/s, %d series of %d buckets\n", rows, load_s, load_rate,
           replay_series_count(), replay_series_at(0) ? replay_series_at(0)->bucket_count : 0);
    printf("load-all memory: RSS %.1f MiB before, peak %.1f MiB during (+%.1f MiB)\n", rss_before / 1024.0,
           peak / 1024.0, grown_kib / 1024.0);

    replay_store_reset();
    recording_shutdown();
    fs::remove_all(dir, ec);

    int rc = 0;
    if (record_rate < 1000000.0) {
        printf("MISS: recording below 1,000,000 samples/s\n");
        rc = 1;
    }
    if (load_rate < 500000.0) {
        printf("MISS: load-all below 500,000 rows/s\n");
        rc = 1;
    }
    if (grown_kib > 64 * 1024) {
        printf("MISS: load-all took more than 64 MiB\n");
        rc = 1;
    }
    return rc;
}
