// acquisition_thread.cpp - polls the watched leaves through the selected driver: read list,
// address sort, block merging, block reads, decoding, inline hand-off, pacing and the rate line.
//
// Index
//   [SECTION] Read list and block merging
//   [SECTION] One run of the thread
#include "acquisition/acquisition_thread.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <thread>

#include "acquisition/acquisition.h"
#include "core/app.h"
#include "core/log.h"
#include "core/platform.h"
#include "modules/modules.h"
#include "vartable/leaf_codec.h"
#include "vartable/leaf_table.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Read list and block merging
//-------------------------------------------------------------------------------------------------

int32_t acquisition_probe_speed_khz() { return g_app_settings.probe_speed_khz; }

void acq_merge_limits(int32_t speed_khz, uint32_t* gap, uint32_t* span) {
    int64_t s = speed_khz <= 0 ? 4000 : speed_khz;
    int64_t q = s * 250 / 10000;
    if (q < 8) {
        *gap = 8;
        *span = 256;
        return;
    }
    int64_t capped = q < 4096 ? q : 4096;
    *gap = (uint32_t)capped;
    *span = (uint32_t)(capped > 256 ? capped : 256);
}

void acq_sort_items(ReadItem* items, int32_t count) {
    std::sort(items, items + count, [](const ReadItem& a, const ReadItem& b) { return a.address < b.address; });
}

int32_t acq_group_blocks(const ReadItem* items, int32_t count, uint32_t gap, uint32_t span, ReadBlock* out,
                         int32_t capacity) {
    if (count <= 0) return 0;
    int32_t blocks = 0;
    auto close_block = [&](int32_t first, int32_t end) {
        if (blocks < capacity) {
            ReadBlock& b = out[blocks];
            b.first = first;
            b.count = end - first;
            b.base = items[first].address;
            uint64_t length = 0;
            for (int32_t k = first; k < end; k++) length = std::max(length, items[k].address + items[k].size - b.base);
            b.length = length;
        }
        blocks++;
    };
    int32_t first = 0;
    uint64_t low = items[0].address, high = items[0].address + items[0].size;
    for (int32_t i = 1; i < count; i++) {
        uint64_t a = items[i].address, e = a + items[i].size;
        if (a >= low && a <= high + gap && e >= low && e - low <= span) {
            high = std::max(high, e);
        } else {
            close_block(first, i);
            first = i;
            low = a;
            high = e;
        }
    }
    close_block(first, count);
    return blocks;
}

int32_t acq_build_read_list(ReadItem* items, int32_t capacity) {
    int32_t leaves = std::min<int32_t>(leaf_count(), LEAF_CAPACITY);
    int32_t n = 0;
    for (int32_t id = 0; id < leaves && n < capacity; id++) {
        const VarLeaf* leaf = leaf_at(id);
        if (!leaf || !leaf_is_watched(leaf)) continue;
        uint32_t size = leaf->size == 0 ? 1 : leaf->size > 64 ? 64 : leaf->size;
        items[n++] = ReadItem{id, leaf->address, size};
    }
    return n;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] One run of the thread
//-------------------------------------------------------------------------------------------------

namespace {

// Working memory of one run, allocated when the thread starts.
struct AcqWork {
    Sample samples[4096];
    ReadItem items[4096];
    ReadBlock blocks[4096];
    uint8_t block[4097];
};

// Counters of one run.
struct AcqRun {
    uint32_t generation;
    uint64_t last_success_ms;
    int32_t failure_streak;
    int64_t window_start_us;
    long window_samples, window_reads, window_cycles;
    int64_t window_cycle_us;
    uint64_t last_network_ms;
};

bool should_stop(const AcqRun& run) {
    return acquisition_stop_requested() || acquisition_generation() != run.generation;
}

void block_failure(AcqRun& run, const char* what, uint64_t base, long long detail, int32_t items) {
    bool log_it = run.failure_streak < 3;
    run.failure_streak++;
    if (!log_it) return;
    if (what[0] == 'l')
        log_printf(LOG_ERROR, "块读长度非法 @0x%llX (%u 字节, %d 变量)", (unsigned long long)base, (unsigned)detail, items);
    else
        log_printf(LOG_ERROR, "块读 @0x%llX 失败 (ret=%d, %d 变量)", (unsigned long long)base, (int)detail, items);
}

// Reads one block and appends its samples; returns the number of samples made.
int32_t read_block(AcqRun& run, AcqWork* w, const ReadBlock& b, int32_t produced) {
    if (b.length < 1 || b.length > 4096) {
        block_failure(run, "length", b.base, (long long)b.length, b.count);
        return 0;
    }
    memset(w->block, 0, (size_t)b.length);
    MemoryRequest req = {};
    req.address = b.base;
    req.length = (uint32_t)b.length;
    req.buffer = w->block;
    int32_t ret = driver_command(KX_DRV_READ, &req, nullptr);
    if (ret != (int32_t)b.length) {
        block_failure(run, "read", b.base, ret, b.count);
        return 0;
    }
    run.failure_streak = 0;
    run.last_success_ms = platform()->tick_ms();
    int32_t made = 0;
    for (int32_t k = b.first; k < b.first + b.count && produced + made < 4096; k++) {
        const ReadItem& it = w->items[k];
        const VarLeaf* leaf = leaf_at(it.leaf_id);
        if (!leaf) continue;
        Sample* s = &w->samples[produced + made++];
        memset(s, 0, sizeof *s);
        s->timestamp_us = clock_now_us();
        s->leaf_id = it.leaf_id;
        s->address = it.address;
        const uint8_t* bytes = w->block + (it.address - b.base);
        memcpy(s->raw, bytes, it.size < 8 ? it.size : 8);
        s->size = (int32_t)it.size;
        leaf_value_to_text(s->text, sizeof s->text, bytes, it.size, leaf->kind, leaf->is_signed, leaf->is_pointer,
                           leaf->is_bitfield, leaf->bit_offset, leaf->bit_size, &s->value, leaf->enumerators,
                           leaf->enumerator_count);
    }
    return made;
}

void log_rate(AcqRun& run, int64_t now) {
    double cycle_avg = run.window_cycles ? (double)run.window_cycle_us / (double)run.window_cycles : 0.0;
    long reads_per_cycle = run.window_cycles ? run.window_reads / run.window_cycles : 0;
    log_printf(LOG_INFO, "采集速率: %ld 样本/s，周期 %.0f µs（%d 个变量，%ld 次读/周期）", run.window_samples, cycle_avg,
               leaf_watched_count(), reads_per_cycle);
    run.window_start_us = now;
    run.window_samples = run.window_reads = run.window_cycles = 0;
    run.window_cycle_us = 0;
}

}  // namespace

int acquisition_thread_main(uint32_t generation) {
    const Platform* p = platform();
    std::unique_ptr<AcqWork> work(new (std::nothrow) AcqWork);
    int result = 0;
    bool looped = false;
    AcqRun run = {};
    run.generation = generation;
    if (!work) {
        log_printf(LOG_ERROR, "采集线程内存分配失败");
        result = 1;
    } else {
        AcqWork* w = work.get();
        run.last_success_ms = p->tick_ms();
        int64_t cycle_start = acquisition_clock_us();
        run.window_start_us = cycle_start;
        looped = true;
        while (!should_stop(run)) {
            int32_t connected = 0;
            if (driver_available()) driver_command(KX_DRV_STATUS, nullptr, &connected);
            uint64_t since = p->tick_ms() - run.last_success_ms;
            if (!connected && since > 3000) {
                log_printf(LOG_ERROR, "采集停止：MCU 连接已断开");
                break;
            }
            if (since > 3000) {
                log_printf(LOG_ERROR, "采集停止：长时间读取失败（%d 秒无成功样本）", 3);
                break;
            }
            int32_t n = acq_build_read_list(w->items, 4096);
            int32_t produced = 0, reads = 0;
            if (n >= 1) {
                uint32_t gap, span;
                acq_merge_limits(acquisition_probe_speed_khz(), &gap, &span);
                acq_sort_items(w->items, n);
                reads = acq_group_blocks(w->items, n, gap, span, w->blocks, 4096);
                for (int32_t b = 0; b < reads; b++) produced += read_block(run, w, w->blocks[b], produced);
            }
            if (produced > 0) {
                samples_handoff(w->samples, produced);
                uint64_t now_ms = p->tick_ms();
                if (network_available() && now_ms - run.last_network_ms >= 30) {
                    network_command_raw(KX_NET_SAMPLES_WAITING, nullptr, nullptr);
                    run.last_network_ms = now_ms;
                }
            }
            if (n == 0 || (produced == 0 && !connected)) p->sleep_ms(20);
            int64_t now = acquisition_clock_us();
            run.window_samples += produced;
            run.window_reads += reads;
            run.window_cycles += 1;
            run.window_cycle_us += now - cycle_start;
            if (now - run.window_start_us >= 1000000) log_rate(run, now);
            cycle_start = now;
        }
    }
    if (looped) log_printf(acquisition_stop_requested() ? LOG_INFO : LOG_WARN, "采集线程已退出");
    acquisition_finish_recording(generation);
    work.reset();
    acquisition_thread_ended(generation);
    return result;
}
