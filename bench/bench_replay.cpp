// bench_replay - the recording cache and the load-all replay on a large recording.
//
//   bench_replay [ROWS]   (default 10000000)
//
// Records ROWS samples of 8 watched leaves through the recording cache (batches of 64, as an
// acquisition cycle hands them over) and prints samples per second written; loads that file with
// the load-all replay (every sample into its variable's track and pyramid) and prints the time,
// the memory it took per sample, and the time Debian's pandas.read_csv (/usr/bin/python3) takes on
// the same file; then draws a 1280x720 waveform window of the 8 tracks at random zooms and pans.
// Targets: at least 1,000,000 samples/s recorded; the load at least 10x faster than pandas; at
// most 32 bytes of memory per sample (2x the 16 bytes of time and value); every redraw within
// 50 ms. A recording of 2000 variables with 32 samples each loads in at most 16 KiB a variable.
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "acquisition/acquisition.h"
#include "chart/chart.h"
#include "chart/chart_paint.h"
#include "chart/draw_surface_soft.h"
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

// CPU seconds the calling thread has used: on a machine shared with other work, wall time says
// more about the neighbours than about the code, so the ratios are taken on CPU time.
double thread_cpu_s() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec * 1e-9;
}

// Wall and CPU seconds pandas.read_csv takes on the file (Debian's python3); false when pandas is
// missing.
bool pandas_seconds(const std::string& path, double* wall, double* cpu) {
    std::string cmd = "/usr/bin/python3 -c \"import sys,time; import pandas; t=time.perf_counter(); "
                      "c=time.process_time(); pandas.read_csv(sys.argv[1]); "
                      "print(time.perf_counter()-t, time.process_time()-c)\" '" + path + "' 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return false;
    char line[128] = "";
    const bool got = fgets(line, sizeof line, p) != nullptr;
    const int rc = pclose(p);
    return got && rc == 0 && sscanf(line, "%lf %lf", wall, cpu) == 2;
}

// Worst redraw of a waveform window of every leaf's track over random zooms and pans, in ms of
// CPU time (and of wall time in *worst_wall).
double worst_redraw_ms(int leaves, int views, double* worst_wall) {
    std::vector<uint32_t> pixels(1280u * 720u);
    SoftSurface surface(pixels.data(), 1280, 720);
    void* handle = (void*)0x7;
    ChartWindow* cw = chart_record_create(handle, "bench");
    g_chart_hooks.replay_track = replay_track_by_name;
    for (int i = 0; i < leaves; i++) chart_add_var(handle, i);
    const SampleTrack* t = cw->series[0].track;
    if (!t) return -1;
    uint64_t seed = 12345;
    double worst = 0;
    for (int v = 0; v <= views; v++) {
        if (v > 0) {
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const double span = (double)(t->t1 - t->t0) * std::pow(10.0, -6.0 * (double)(seed >> 11) / 9007199254740992.0);
            seed = seed * 6364136223846793005ull + 1442695040888963407ull;
            const double start = (double)t->t0 + ((double)(t->t1 - t->t0) - span) * (double)(seed >> 11) / 9007199254740992.0;
            cw->show_all = cw->auto_x = 0;
            cw->view_x0 = (int64_t)start;
            cw->view_x1 = (int64_t)(start + span) + 1;
        }
        auto start = std::chrono::steady_clock::now();
        const double cpu0 = thread_cpu_s();
        chart_paint(cw, &surface, 1280, 720);
        const double ms = (thread_cpu_s() - cpu0) * 1e3;
        const double wall = seconds_since(start) * 1e3;
        if (ms > worst) worst = ms;
        if (wall > *worst_wall) *worst_wall = wall;
    }
    chart_record_destroy(handle);
    return worst;
}

}  // namespace

// A recording of many variables with a few samples each (the leaves "wide[i]" are added here):
// the memory its load takes per variable, in KiB of peak resident size.
double wide_recording_kib_per_variable(const std::filesystem::path& dir, int variables, int samples_each) {
    for (int i = 0; i < variables; i++) {
        std::string name = "wide[" + std::to_string(i) + "]";
        leaf_add(name.c_str(), 0x20100000ULL + (uint64_t)i * 4, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    }
    const std::string path = (dir / "wide.csv").string();
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return -1;
    fputs("timestamp_us,time_iso", f);
    for (int i = 0; i < variables; i++) fprintf(f, ",wide[%d]", i);
    fputc('\n', f);
    std::string commas((size_t)variables, ',');
    for (long long line = 0; line < (long long)variables * samples_each; line++) {
        const int column = (int)(line % variables);
        fprintf(f, "%lld,2024-12-08 12:00:00.000000%.*s%.6g%.*s\n", 1733659200000000LL + line * 10, column + 1,
                commas.c_str(), (double)line * 0.25, variables - column - 1, commas.c_str());
    }
    fclose(f);
    replay_store_reset();
    const long rss_before = status_kib("VmRSS:");
    reset_peak_rss();
    if (replay_load_all(path.c_str()) != 0) return -1;
    const long peak = status_kib("VmHWM:");
    replay_store_reset();
    return peak >= 0 && rss_before >= 0 ? (double)(peak - rss_before) / variables : -1;
}

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

    // ---- Load-all replay of that file: time, memory per sample ----
    long rss_before = status_kib("VmRSS:");
    reset_peak_rss();
    start = std::chrono::steady_clock::now();
    const double load_cpu0 = thread_cpu_s();
    if (replay_load_all(cache) != 0) {
        fprintf(stderr, "replay_load_all failed\n");
        return 1;
    }
    const double load_s = seconds_since(start), load_cpu = thread_cpu_s() - load_cpu0;
    long peak = status_kib("VmHWM:");
    long grown_kib = peak >= 0 && rss_before >= 0 ? peak - rss_before : -1;
    int64_t samples = 0, track_bytes_total = 0;
    for (int i = 0; i < leaves; i++) {
        const ReplaySeries* s = replay_series_at(i);
        if (!s) continue;
        samples += s->track.count;
        track_bytes_total += track_bytes(&s->track);
    }
    const double bytes_per_sample = samples > 0 ? grown_kib * 1024.0 / (double)samples : 0;
    printf("load-all replay: %lld rows in %.2f s wall, %.2f s CPU = %.0f rows/s (CPU), %d tracks, %lld samples\n",
           rows, load_s, load_cpu, (double)rows / load_cpu, replay_series_count(), (long long)samples);
    printf("load-all memory: peak +%.1f MiB = %.1f bytes/sample (tracks and pyramids %.1f bytes/sample; "
           "target <= 32)\n",
           grown_kib / 1024.0, bytes_per_sample, samples > 0 ? (double)track_bytes_total / (double)samples : 0);
    double pandas_wall = 0, pandas_cpu = 0;
    const bool pandas = pandas_seconds(cache, &pandas_wall, &pandas_cpu);
    const double ratio = pandas && load_cpu > 0 ? pandas_cpu / load_cpu : 0;
    if (pandas)
        printf("pandas.read_csv: %.2f s wall, %.2f s CPU on the same file; Kestrelix %.1fx faster in CPU time, "
               "%.1fx in wall time (target >= 10x)\n",
               pandas_wall, pandas_cpu, ratio, pandas_wall / load_s);
    else
        printf("pandas.read_csv: not available (python3-pandas)\n");
    double redraw_wall = 0;
    const double redraw_ms = worst_redraw_ms(leaves, 200, &redraw_wall);
    printf("redraw 1280x720 of %d tracks at 200 random zooms and pans: worst %.2f ms CPU, %.2f ms wall "
           "(target <= 50 ms)\n",
           leaves, redraw_ms, redraw_wall);

    const int wide_variables = 2000, wide_samples = 32;
    const double wide_kib = wide_recording_kib_per_variable(dir, wide_variables, wide_samples);
    printf("load-all of %d variables x %d samples: peak +%.1f KiB per variable (%.0f bytes of samples; "
           "target <= 16 KiB)\n",
           wide_variables, wide_samples, wide_kib, wide_samples * 16.0);

    replay_store_reset();
    recording_shutdown();
    fs::remove_all(dir, ec);

    int rc = 0;
    if (record_rate < 1000000.0) {
        printf("MISS: recording below 1,000,000 samples/s\n");
        rc = 1;
    }
    if (pandas && ratio < 10) {
        printf("MISS: load-all less than 10x faster than pandas.read_csv\n");
        rc = 1;
    }
    if (bytes_per_sample > 32) {
        printf("MISS: load-all took more than 32 bytes per sample\n");
        rc = 1;
    }
    if (wide_kib < 0 || wide_kib > 16) {
        printf("MISS: a recording of many short variables took more than 16 KiB per variable\n");
        rc = 1;
    }
    if (redraw_ms < 0 || redraw_ms > 50) {
        printf("MISS: a redraw took more than 50 ms\n");
        rc = 1;
    }
    return rc;
}
