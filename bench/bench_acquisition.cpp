// bench_acquisition - the host side of acquisition with an in-process zero-latency driver: the
// polling thread's read list, block merging, decoding, texts and hand-off, and the main thread's
// drain. Prints samples per second for 1, 64 and 1024 watched 4-byte leaves, contiguous and
// scattered, and block reads per cycle next to the fewest the span limit allows.
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../tests/unit/fake_driver.h"
#include "acquisition/acquisition.h"
#include "acquisition/acquisition_thread.h"
#include "core/app.h"
#include "core/log.h"
#include "vartable/leaf_table.h"

namespace {

long g_delivered;
void count_delivered(const Sample*, int32_t count) { g_delivered += count; }

// Fewest blocks that cover the sorted items when only the span limit applies.
int32_t fewest_by_span(std::vector<ReadItem> items, uint32_t span) {
    acq_sort_items(items.data(), (int32_t)items.size());
    int32_t blocks = 0;
    uint64_t low = 0;
    for (size_t i = 0; i < items.size(); i++) {
        if (i == 0 || items[i].address + items[i].size - low > span) {
            blocks++;
            low = items[i].address;
        }
    }
    return blocks;
}

struct Result {
    double samples_per_second;
    double delivered_per_second;
    int32_t reads_per_cycle;
    int32_t fewest;
};

Result run(int leaves, uint32_t stride, double seconds) {
    leaf_table_reset();
    samples_reset();
    for (int i = 0; i < leaves; i++) {
        std::string name = "v" + std::to_string(i);
        leaf_add(name.c_str(), 0x20000000ULL + (uint64_t)i * stride, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
        leaf_set_watched(i, 1);
    }
    std::vector<ReadItem> items(leaves);
    acq_build_read_list(items.data(), leaves);
    uint32_t gap, span;
    acq_merge_limits(g_app_settings.probe_speed_khz, &gap, &span);
    std::vector<ReadItem> sorted = items;
    acq_sort_items(sorted.data(), leaves);
    std::vector<ReadBlock> blocks(leaves);
    Result r = {};
    r.reads_per_cycle = acq_group_blocks(sorted.data(), leaves, gap, span, blocks.data(), leaves);
    r.fewest = fewest_by_span(items, span);

    g_delivered = 0;
    acquisition_start();
    auto start = std::chrono::steady_clock::now();
    uint32_t first = samples_published_count();
    double elapsed = 0;
    while (elapsed < seconds) {
        samples_flush();
        std::this_thread::sleep_for(std::chrono::microseconds(500));
        elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    uint32_t last = samples_published_count();
    long delivered = g_delivered;
    acquisition_stop();
    r.samples_per_second = (double)(last - first) / elapsed;
    r.delivered_per_second = (double)delivered / elapsed;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 1.0;
    fake_modules_load(true, false);
    fake_target()->ram.assign(1 << 20, 0x11);
    g_app_settings.probe_speed_khz = 4000;
    g_acquisition_hooks.deliver_to_windows = count_delivered;
    printf("acquisition pipeline, zero-latency in-process driver, probe clock %d kHz, %.1f s per case\n",
           g_app_settings.probe_speed_khz, seconds);
    printf("%-12s %6s %16s %16s %14s %8s\n", "layout", "leaves", "samples/s", "drained/s", "reads/cycle", "fewest");
    bool target_met = true;
    const int counts[3] = {1, 64, 1024};
    for (int layout = 0; layout < 2; layout++) {
        uint32_t stride = layout == 0 ? 4 : 160;  // scattered: 160 bytes apart, beyond the gap of 100
        for (int leaves : counts) {
            Result r = run(leaves, stride, seconds);
            printf("%-12s %6d %16.0f %16.0f %14d %8d\n", layout == 0 ? "contiguous" : "scattered", leaves,
                   r.samples_per_second, r.delivered_per_second, r.reads_per_cycle, r.fewest);
            if (layout == 0 && leaves == 1024 && r.samples_per_second < 5e6) target_met = false;
        }
    }
    printf("target (1024 contiguous leaves >= 5,000,000 samples/s): %s\n", target_met ? "met" : "MISSED");
    fake_modules_unload();
    log_reset();
    return target_met ? 0 : 1;
}
