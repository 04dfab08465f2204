// replay_store.cpp - the load-all replay: one pass to count the data lines, one pass that
// publishes every value and folds it into its leaf's min/max buckets; the replay-all command that
// lends the buckets to the waveform windows.
//
// Index
//   [SECTION] Series store
//   [SECTION] Load-all replay
//   [SECTION] Replay-all command
//
// Buckets follow line position, not time: with L data lines and B buckets, line r falls into
// bucket floor(r * B / L). L counts the lines that are read as data lines (not empty ones, nor
// over-long ones that are skipped), so every bucket gets its share of lines.
#include <cstring>
#include <memory>
#include <new>

#include "acquisition/acquisition.h"
#include "core/log.h"
#include "core/platform.h"
#include "recording/recording_csv.h"
#include "recording/replay.h"
#include "recording/replay_rows.h"
#include "vartable/leaf_table.h"

ReplayChartHooks g_replay_chart_hooks;

//-------------------------------------------------------------------------------------------------
// [SECTION] Series store
//-------------------------------------------------------------------------------------------------

namespace {

// The process-wide store: one slot per leaf id.
struct ReplayStore {
    ReplaySeries slots[REPLAY_SERIES_CAPACITY];
    int32_t series_count;
};

ReplayStore g_store;

}  // namespace

void replay_store_reset() {
    // The windows let go of the arrays first, so no series keeps a pointer into freed memory.
    if (g_replay_chart_hooks.drop_bucket_refs) g_replay_chart_hooks.drop_bucket_refs();
    for (ReplaySeries& s : g_store.slots) {
        delete[] s.buckets;
        s = ReplaySeries{};
    }
    g_store.series_count = 0;
}

const ReplaySeries* replay_series_at(int32_t leaf_id) {
    if (leaf_id < 0 || leaf_id >= REPLAY_SERIES_CAPACITY) return nullptr;
    const ReplaySeries* s = &g_store.slots[leaf_id];
    return (s->buckets && s->bucket_count > 0) ? s : nullptr;
}

int32_t replay_cache_lookup(int32_t leaf_id, const ReplayBucket** buckets, int32_t* n, int64_t* t0, int64_t* t1) {
    const ReplaySeries* s = replay_series_at(leaf_id);
    if (!s) return 0;
    if (buckets) *buckets = s->buckets;
    if (n) *n = s->bucket_count;
    if (t0) *t0 = s->t0;
    if (t1) *t1 = s->t1;
    return 1;
}

int32_t replay_series_count() { return g_store.series_count; }

//-------------------------------------------------------------------------------------------------
// [SECTION] Load-all replay
//-------------------------------------------------------------------------------------------------

namespace {

int64_t count_data_lines(CsvLineReader* reader) {
    int64_t lines = 0;
    char* line;
    size_t length;
    while (csv_read_line(reader, &line, &length)) lines += length > 0;
    return lines;
}

// A bucket array for every mapped leaf column that has none yet.
void allocate_series(const ReplayColumns& map, int64_t lines) {
    int64_t limit = REPLAY_BUCKET_LIMIT;
    int32_t count = (int32_t)(lines < limit ? lines : limit);
    if (count < 1) count = 1;
    for (int32_t i = 0; i < map.column_count; i++) {
        LeafId id = map.leaf[i];
        if (id < 0 || id >= REPLAY_SERIES_CAPACITY || i == map.timestamp_column) continue;
        ReplaySeries& s = g_store.slots[id];
        if (s.buckets) continue;
        s.buckets = new (std::nothrow) ReplayBucket[count]();
        if (!s.buckets) continue;  // that leaf goes without an envelope
        s.bucket_count = count;
        const VarLeaf* leaf = leaf_at(id);
        text_copy(s.name, sizeof s.name, leaf ? leaf->name : "");
        g_store.series_count++;
    }
}

void fold_into_bucket(const Sample& sample, int64_t row, int64_t lines) {
    if (sample.leaf_id < 0 || sample.leaf_id >= REPLAY_SERIES_CAPACITY) return;
    ReplaySeries& s = g_store.slots[sample.leaf_id];
    if (!s.buckets) return;
    int64_t k = row * s.bucket_count / lines;
    if (k >= s.bucket_count) k = s.bucket_count - 1;
    ReplayBucket& b = s.buckets[k];
    if (b.count == 0) {
        b.min = b.max = sample.value;
        b.count = 1;
        return;
    }
    if (sample.value < b.min) b.min = sample.value;
    if (sample.value > b.max) b.max = sample.value;
    b.count++;
}

void report_reader_faults(const CsvLineReader& reader, const char* path) {
    if (reader.overlong_lines > 0)
        log_printf(LOG_WARN, "回放文件有 %lld 行超过 %d 字节，已跳过: %s", (long long)reader.overlong_lines,
                   (int)CSV_LINE_CAPACITY - 1, path);
    if (reader.read_error) log_printf(LOG_WARN, "回放文件读取出错，只载入了出错前的行: %s", path);
}

}  // namespace

int replay_load_all(const char* path) {
    if (replay_step_running()) replay_stop();
    replay_store_reset();
    FILE* file = path && path[0] ? platform()->open_file(path, "rb") : nullptr;
    if (!file) return -1;
    std::unique_ptr<ReplayWork> work(new (std::nothrow) ReplayWork);
    if (!work || !csv_reader_open(&work->reader, file)) {
        fclose(file);
        log_printf(LOG_ERROR, "回放内存分配失败: %s", path);
        return -1;
    }
    CsvLineReader* reader = &work->reader;
    replay_read_header(work.get());
    int64_t lines = count_data_lines(reader);
    // Back to the first data line.
    bool rewound = csv_reader_rewind(reader);
    char* line;
    size_t length;
    if (rewound) csv_read_line(reader, &line, &length);
    allocate_series(work->columns, lines);

    int64_t row = 0, first_time = 0, last_time = 0;
    while (rewound && row < lines && csv_read_line(reader, &line, &length)) {
        if (length == 0) continue;
        int64_t t;
        int32_t fields = replay_split_line(work.get(), line, length, &t);
        if (first_time == 0 && t != 0) first_time = t;
        last_time = t;
        int32_t made = replay_line_samples(work.get(), fields, t);
        for (int32_t i = 0; i < made; i++) fold_into_bucket(work->samples[i], row, lines);
        samples_publish(work->samples, made);
        row++;
    }
    report_reader_faults(*reader, path);
    csv_reader_close(reader);

    const ReplayColumns& map = work->columns;
    for (int32_t i = 0; i < map.column_count; i++) {
        LeafId id = map.leaf[i];
        if (id < 0 || id >= REPLAY_SERIES_CAPACITY || !g_store.slots[id].buckets) continue;
        g_store.slots[id].t0 = first_time;
        g_store.slots[id].t1 = last_time;
    }
    if (acquisition_state() != ACQ_RUNNING) acquisition_set_state(ACQ_IDLE);
    log_printf(LOG_INFO, "回放加载完成: %s（%lld 行，%d 个变量桶缓存）", path, (long long)lines, g_store.series_count);
    return 0;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Replay-all command
//-------------------------------------------------------------------------------------------------

namespace {

// Lends every variable of one waveform window its leaf's envelope.
void hand_buckets_to_window(void* window) {
    const ReplayChartHooks& h = g_replay_chart_hooks;
    char name[300];
    for (int32_t index = 0; h.series_name(window, index, name, (int32_t)sizeof name); index++) {
        LeafId id = leaf_find(name);
        const ReplaySeries* s = replay_series_at(id);
        if (s && h.set_buckets) h.set_buckets(window, id, s->buckets, s->bucket_count, s->t0, s->t1);
    }
}

}  // namespace

void replay_all_command(const char* path) {
    const ReplayChartHooks& h = g_replay_chart_hooks;
    if (acquisition_state() == ACQ_RUNNING) acquisition_stop();
    if (h.kill_replay_timer) h.kill_replay_timer();
    if (replay_load_all(path) != 0) {
        platform()->message_box("无法打开回放文件", "回放", PLATFORM_MB_OK | PLATFORM_MB_ICONERROR);
        return;
    }
    if (h.window_count && h.window_at && h.series_name) {
        int32_t windows = h.window_count();
        for (int32_t w = 0; w < windows; w++) {
            void* window = h.window_at(w);
            if (window) hand_buckets_to_window(window);
        }
    }
    const AcquisitionHooks& a = g_acquisition_hooks;
    if (a.post_to_waveform_windows) a.post_to_waveform_windows(KX_MSG_ACQ_STOPPED);
    if (a.refresh_status) a.refresh_status();
}
