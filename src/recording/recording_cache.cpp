// recording_cache.cpp - the recording cache: a RAM buffer of 87381 samples, then the CSV cache
// file; finishing, saving a copy and clearing.
//
// Index
//   [SECTION] State
//   [SECTION] Columns and lines
//   [SECTION] The cache file
//   [SECTION] Opening and clearing
//   [SECTION] Appending
//   [SECTION] Finishing
//   [SECTION] Saving
//   [SECTION] Read-outs
//
// Columns. The header names the leaves that are watched when the file is created, together with
// every leaf that has a sample waiting in RAM, and every line of the file keeps exactly those
// columns: a reader maps fields to leaves by their position under the header, so a line with a
// column more or less would hand values to the wrong leaf. A leaf ticked after the header was
// written has no column; its samples are counted and reported when the recording finishes.
//
// Losing nothing. A write error stops the cache, and the last line, if a failed write cut it
// short, is trimmed from the file. If the samples held in RAM cannot be written to the cache file,
// they stay in RAM and a later save writes them straight to the chosen file. The file is flushed
// at least once a second, so a crash loses at most the last second.
//
// One cache per running instance. The cache file is recording.<process id>.csv, so two instances
// on one PC never write the same file nor take each other's recording for a leftover. When a
// recording opens, cache files whose process is gone (a crash) are kept as
// recording.recovered.<process id>.csv, and the single recording.csv of older versions as
// recording.recovered.csv, instead of being overwritten or deleted. A finished recording that a
// new acquisition would clear unasked is kept as recording.previous.<process id>.csv.
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>

#include "core/log.h"
#include "core/platform.h"
#include "recording/recording.h"
#include "recording/recording_csv.h"
#include "recording/recording_files.h"
#include "vartable/leaf_table.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] State
//-------------------------------------------------------------------------------------------------

namespace {

enum : int32_t {
    LINE_CAPACITY = 8192 + 512,      // time columns, 4096 commas and one quoted 64-byte text
    STREAM_BUFFER_BYTES = 1 << 20,
    NO_COLUMN = -1,
};

// The process-wide recording cache.
struct RecordingCache {
    std::mutex lock;
    std::atomic<int32_t> active;      // samples are accepted only while set
    Sample* ram;                      // RECORDING_RAM_SAMPLES slots while open
    int32_t ram_count;
    FILE* file;                       // the open cache file, or none
    char* stream_buffer;              // the file's stdio buffer
    bool file_holds_lines;            // the cache file exists with its header and the lines written
    bool finished;                    // recording_finish ran since the cache opened
    char path[RECORDING_PATH_CAPACITY];
    std::atomic<int64_t> recorded;    // samples accepted since the cache opened
    int32_t saved;                    // a finished recording left data to save
    bool columns_chosen;
    int32_t column_count;
    int16_t column_of[LEAF_CAPACITY];   // leaf id -> column, or NO_COLUMN
    LeafId column_leaf[LEAF_CAPACITY];  // column -> leaf id
    std::atomic<int64_t> unwritten;
    CsvTimeCache time;
    uint64_t last_flush_ms;
    char line[LINE_CAPACITY];
};

RecordingCache g_rec;

bool write_bytes(FILE* f, const void* data, size_t n) { return fwrite(data, 1, n, f) == n; }

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Columns and lines
//-------------------------------------------------------------------------------------------------

namespace {

// Fixes the columns: the watched leaves and the leaves of the RAM samples, in leaf-id order.
void choose_columns_locked() {
    RecordingCache& c = g_rec;
    int32_t leaves = leaf_count();
    bool wanted[LEAF_CAPACITY] = {};
    for (int32_t id = 0; id < leaves; id++) wanted[id] = leaf_is_watched(leaf_at(id)) != 0;
    for (int32_t i = 0; i < c.ram_count; i++) {
        LeafId id = c.ram[i].leaf_id;
        if (id >= 0 && id < leaves) wanted[id] = true;
    }
    c.column_count = 0;
    for (int32_t id = 0; id < LEAF_CAPACITY; id++) {
        c.column_of[id] = NO_COLUMN;
        if (id < leaves && wanted[id]) {
            c.column_of[id] = (int16_t)c.column_count;
            c.column_leaf[c.column_count++] = id;
        }
    }
    c.columns_chosen = true;
}

// BOM and header line.
bool write_header(FILE* f) {
    RecordingCache& c = g_rec;
    static const char start[] = "\xEF\xBB\xBFtimestamp_us,time_iso";
    if (!write_bytes(f, start, sizeof start - 1)) return false;
    char field[2 * LEAF_NAME_CAPACITY + 4];
    for (int32_t k = 0; k < c.column_count; k++) {
        const VarLeaf* leaf = leaf_at(c.column_leaf[k]);
        const char* name = leaf ? leaf->name : "";
        size_t used = 0;
        field[used++] = ',';
        csv_append_field(field, sizeof field, &used, name, strnlen(name, LEAF_NAME_CAPACITY));
        if (!write_bytes(f, field, used)) return false;
    }
    return write_bytes(f, "\n", 1);
}

size_t i64_text(int64_t v, char* out) {
    char digits[24];
    size_t n = 0;
    uint64_t u = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
    do {
        digits[n++] = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    size_t w = 0;
    if (v < 0) out[w++] = '-';
    while (n) out[w++] = digits[--n];
    return w;
}

// One data line into `f`: 1 written, 0 the sample's leaf has no column, -1 write error.
int write_sample_line(FILE* f, const Sample* s) {
    RecordingCache& c = g_rec;
    LeafId id = s->leaf_id;
    if (id < 0 || id >= LEAF_CAPACITY || c.column_of[id] == NO_COLUMN) return 0;
    int32_t column = c.column_of[id];
    char* line = c.line;
    size_t n = i64_text(s->timestamp_us, line);
    line[n++] = ',';
    n += csv_time_text(&c.time, s->timestamp_us, line + n, CSV_TIME_TEXT_CAPACITY);
    memset(line + n, ',', (size_t)column + 1);
    n += (size_t)column + 1;
    if (s->size != 0) csv_append_field(line, LINE_CAPACITY, &n, s->text, strnlen(s->text, sizeof s->text));
    size_t after = (size_t)(c.column_count - column - 1);
    memset(line + n, ',', after);
    n += after;
    line[n++] = '\n';
    return write_bytes(f, line, n) ? 1 : -1;
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] The cache file
//-------------------------------------------------------------------------------------------------

namespace {

// Creates (truncates) the cache file with its header; true when open. Once per recording: an
// open file is kept.
bool create_file_locked() {
    RecordingCache& c = g_rec;
    if (c.file) return true;
    if (!c.path[0]) return false;
    FILE* f = platform()->open_file(c.path, "wb");
    if (!f) return false;
    if (!c.stream_buffer) c.stream_buffer = new (std::nothrow) char[STREAM_BUFFER_BYTES];
    if (c.stream_buffer) setvbuf(f, c.stream_buffer, _IOFBF, STREAM_BUFFER_BYTES);
    if (!c.columns_chosen) choose_columns_locked();
    if (!write_header(f)) {
        fclose(f);
        recording_file_remove(c.path);
        return false;
    }
    c.file = f;
    c.file_holds_lines = true;
    c.last_flush_ms = platform()->tick_ms();
    return true;
}

// Closes the file; false when the last buffered bytes could not be written.
bool close_file_locked() {
    RecordingCache& c = g_rec;
    if (!c.file) return true;
    bool ok = fflush(c.file) == 0;
    ok = fclose(c.file) == 0 && ok;
    c.file = nullptr;
    return ok;
}

// Writes the RAM samples to the open file in order and empties RAM; false on a write error
// (RAM then still holds every sample).
bool spill_ram_locked() {
    RecordingCache& c = g_rec;
    for (int32_t i = 0; i < c.ram_count; i++) {
        if (write_sample_line(c.file, &c.ram[i]) < 0) return false;
    }
    if (fflush(c.file) != 0) return false;
    c.ram_count = 0;
    c.last_flush_ms = platform()->tick_ms();
    return true;
}

// A write to the file failed: the cache stops, the file keeps the lines that reached it.
void stop_after_write_error_locked() {
    RecordingCache& c = g_rec;
    log_printf(LOG_ERROR, "录制缓存写盘失败，停止写入");
    c.active.store(0);
    close_file_locked();
    recording_file_trim_partial_line(c.path);
}

// The RAM samples could not be written to the cache file: they stay in RAM for a later save and
// the incomplete file goes.
void keep_ram_after_spill_error_locked() {
    RecordingCache& c = g_rec;
    log_printf(LOG_ERROR, "录制缓存写盘失败，停止写入");
    c.active.store(0);
    close_file_locked();
    recording_file_remove(c.path);
    c.file_holds_lines = false;
}

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Opening and clearing
//-------------------------------------------------------------------------------------------------

namespace {

void clear_locked() {
    RecordingCache& c = g_rec;
    close_file_locked();
    delete[] c.ram;
    c.ram = nullptr;
    c.ram_count = 0;
    c.recorded.store(0);
    c.unwritten.store(0);
    c.active.store(0);
    c.saved = 0;
    c.finished = false;
    c.file_holds_lines = false;
    c.columns_chosen = false;
    c.column_count = 0;
    if (c.path[0]) {
        recording_file_remove(c.path);
        log_printf(LOG_INFO, "录制缓存已清除: %s", c.path);
        c.path[0] = 0;
    }
}

// Base folder: LOCALAPPDATA, else the executable's folder.
void cache_folder(char* out, size_t capacity) {
    const Platform* p = platform();
    char base[RECORDING_PATH_CAPACITY] = "";
    if (p->get_env("LOCALAPPDATA", base, sizeof base) != 0 || !base[0]) {
        if (p->exe_dir(base, sizeof base) != 0 || !base[0]) text_copy(base, sizeof base, ".");
    }
    char sep = platform_path_separator();
    char kestrelix[RECORDING_PATH_CAPACITY];
    text_printf(kestrelix, sizeof kestrelix, "%s%cKestrelix", base, sep);
    p->make_dir(kestrelix);  // an existing folder or a failure is ignored here
    text_printf(out, capacity, "%s%ccache", kestrelix, sep);
    p->make_dir(out);
}

// The process id of a per-instance cache name "recording.<pid>.csv"; 0 when the name is another.
uint32_t cache_owner(const char* name) {
    static const char prefix[] = "recording.";
    if (strncmp(name, prefix, sizeof prefix - 1) != 0) return 0;
    const char* digits = name + sizeof prefix - 1;
    uint64_t pid = 0;
    const char* p = digits;
    for (; *p >= '0' && *p <= '9' && pid <= UINT32_MAX; p++) pid = pid * 10 + (uint64_t)(*p - '0');
    return p > digits && strcmp(p, ".csv") == 0 && pid <= UINT32_MAX ? (uint32_t)pid : 0;
}

// Keeps one leftover cache beside the caches (an empty one, header only, is just removed) under
// "<kept_stem>.csv", or "<kept_stem>.<n>.csv" when an earlier rescue already holds that name: a
// recovered recording is never replaced by a later one.
void keep_leftover(const char* folder, const char* name, const char* kept_stem) {
    const char sep = platform_path_separator();
    char path[RECORDING_PATH_CAPACITY], kept[RECORDING_PATH_CAPACITY];
    text_printf(path, sizeof path, "%s%c%s", folder, sep, name);
    if (recording_file_size(path) <= 3) {
        recording_file_remove(path);
        return;
    }
    text_printf(kept, sizeof kept, "%s%c%s.csv", folder, sep, kept_stem);
    for (int32_t n = 2; n < 1000 && recording_file_size(kept) >= 0; n++)
        text_printf(kept, sizeof kept, "%s%c%s.%d.csv", folder, sep, kept_stem, (int)n);
    if (recording_file_replace(path, kept) == 0) log_printf(LOG_WARN, "上次运行留下的录制缓存已保留为: %s", kept);
}

// Names of caches whose owner is gone, collected while the folder is listed.
struct Leftovers {
    uint32_t self;
    int32_t count;
    char names[64][64];
};

void note_leftover(const char* name, void* context) {
    Leftovers* l = (Leftovers*)context;
    const uint32_t owner = cache_owner(name);
    const bool legacy = strcmp(name, "recording.csv") == 0;
    // A cache under this process's own id is still there only when an earlier instance with the
    // same (reused) process id left it: this process deletes its own cache whenever it clears.
    if (!legacy && (owner == 0 || (owner != l->self && platform()->process_alive(owner)))) return;
    if (l->count < 64 && strlen(name) < sizeof l->names[0]) text_copy(l->names[l->count++], sizeof l->names[0], name);
}

// The cache was just cleared, which deletes this process's own cache file; a cache file of a
// process that no longer runs holds a recording nobody saved: keep it.
void keep_leftover_caches(const char* folder) {
    Leftovers l;
    l.self = platform()->process_id();
    l.count = 0;
    recording_files_in(folder, note_leftover, &l);
    for (int32_t i = 0; i < l.count; i++) {
        char kept[96];
        const uint32_t owner = cache_owner(l.names[i]);
        if (owner) text_printf(kept, sizeof kept, "recording.recovered.%u", (unsigned)owner);
        else text_copy(kept, sizeof kept, "recording.recovered");
        keep_leftover(folder, l.names[i], kept);
    }
}

}  // namespace

int recording_open() {
    recording_clear();
    std::lock_guard<std::mutex> hold(g_rec.lock);
    RecordingCache& c = g_rec;
    char folder[RECORDING_PATH_CAPACITY];
    cache_folder(folder, sizeof folder);
    c.ram = new (std::nothrow) Sample[RECORDING_RAM_SAMPLES];
    if (!c.ram) {
        log_printf(LOG_ERROR, "录制缓存 RAM 分配失败（%d 样本）", (int)RECORDING_RAM_SAMPLES);
        return -1;
    }
    text_printf(c.path, sizeof c.path, "%s%crecording.%u.csv", folder, platform_path_separator(),
                (unsigned)platform()->process_id());
    keep_leftover_caches(folder);
    c.ram_count = 0;
    c.recorded.store(0);
    c.unwritten.store(0);
    c.file = nullptr;
    c.saved = 0;
    c.finished = false;
    c.file_holds_lines = false;
    c.columns_chosen = false;
    csv_time_cache_reset(&c.time);
    c.active.store(1);
    log_printf(LOG_INFO, "采集落盘: RAM 缓冲 %d 样本(约10MB)，超出写 %s", (int)RECORDING_RAM_SAMPLES, c.path);
    return 0;
}

void recording_clear() {
    std::lock_guard<std::mutex> hold(g_rec.lock);
    clear_locked();
}

void recording_clear_before_start() {
    std::lock_guard<std::mutex> hold(g_rec.lock);
    RecordingCache& c = g_rec;
    // A finished recording nobody was asked about (the switch stayed on between two runs) is
    // kept as recording.previous.<process id>.csv instead of being deleted with the cache: per
    // instance, like the cache itself, so another instance's kept recording is never replaced.
    if (c.saved && c.path[0] && !c.file && c.file_holds_lines && !(c.ram && c.ram_count > 0)) {
        char kept[RECORDING_PATH_CAPACITY];
        text_copy(kept, sizeof kept, c.path);
        char* cut = strrchr(kept, platform_path_separator());
        size_t folder_length = cut ? (size_t)(cut - kept) + 1 : 0;
        text_printf(kept + folder_length, sizeof kept - folder_length, "recording.previous.%u.csv",
                    (unsigned)platform()->process_id());
        if (recording_file_replace(c.path, kept) == 0)
            log_printf(LOG_WARN, "上一次录制未保存，已保留为: %s", kept);
    }
    clear_locked();
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Appending
//-------------------------------------------------------------------------------------------------

void recording_append(const Sample* samples, int32_t count) {
    RecordingCache& c = g_rec;
    if (!samples || count <= 0 || !c.active.load(std::memory_order_relaxed)) return;
    std::lock_guard<std::mutex> hold(c.lock);
    if (!c.active.load()) return;
    int32_t leaves = leaf_count();
    for (int32_t i = 0; i < count; i++) {
        const Sample* s = &samples[i];
        if (s->leaf_id < 0 || s->leaf_id >= leaves) continue;  // no leaf, no column, no data
        if (c.file) {
            int r = write_sample_line(c.file, s);
            if (r == 0) {
                c.unwritten.fetch_add(1);
                continue;
            }
            if (r < 0) {
                stop_after_write_error_locked();
                return;
            }
            c.recorded.fetch_add(1);
        } else if (c.ram_count < RECORDING_RAM_SAMPLES) {
            c.ram[c.ram_count++] = *s;
            c.recorded.fetch_add(1);
        } else {
            // RAM is full: from here on the cache file takes every sample.
            if (!create_file_locked()) {
                log_printf(LOG_ERROR, "录制缓存文件打开失败: %s", c.path);
                c.active.store(0);
                return;
            }
            if (!spill_ram_locked()) {
                keep_ram_after_spill_error_locked();
                return;
            }
            int r = write_sample_line(c.file, s);
            if (r < 0 || fflush(c.file) != 0) {
                stop_after_write_error_locked();
                return;
            }
            if (r > 0) c.recorded.fetch_add(1);
            if (r == 0) c.unwritten.fetch_add(1);
        }
    }
    if (c.file) {
        uint64_t now = platform()->tick_ms();
        if (now - c.last_flush_ms >= (uint64_t)RECORDING_FLUSH_INTERVAL_MS) {
            c.last_flush_ms = now;
            if (fflush(c.file) != 0) stop_after_write_error_locked();
        }
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Finishing
//-------------------------------------------------------------------------------------------------

void recording_finish() {
    std::lock_guard<std::mutex> hold(g_rec.lock);
    RecordingCache& c = g_rec;
    if (c.finished || (!c.active.load() && !c.ram && !c.file)) return;
    bool ram_kept = false;
    if (c.ram_count > 0) {
        if (!c.file && !create_file_locked()) {
            log_printf(LOG_ERROR, "录制缓存文件打开失败: %s", c.path);
            ram_kept = true;
        } else if (!spill_ram_locked()) {
            keep_ram_after_spill_error_locked();
            ram_kept = true;
        }
    }
    if (c.file && !close_file_locked()) {
        log_printf(LOG_ERROR, "录制缓存写盘失败，停止写入");
        recording_file_trim_partial_line(c.path);
    }
    if (!ram_kept) {
        delete[] c.ram;
        c.ram = nullptr;
        c.ram_count = 0;
    }
    c.active.store(0);
    c.finished = true;
    int64_t unwritten = c.unwritten.load();
    if (unwritten > 0) log_printf(LOG_WARN, "录制开始后新勾选的变量不在表头中，%lld 个样本未写入", (long long)unwritten);
    if (c.recorded.load() > 0 && c.path[0]) {
        c.saved = 1;
        log_printf(LOG_INFO, "采集落盘完成: %s（%lld 样本）", c.path, (long long)c.recorded.load());
    } else {
        c.saved = 0;
        if (c.path[0]) recording_file_remove(c.path);
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Saving
//-------------------------------------------------------------------------------------------------

namespace {

bool copy_stream(FILE* from, FILE* to) {
    static char block[1 << 16];  // saving runs on the main thread under the cache lock
    size_t n;
    while ((n = fread(block, 1, sizeof block, from)) > 0) {
        if (!write_bytes(to, block, n)) return false;
    }
    return !ferror(from);
}

// Writes the recording into `to`: header and lines from RAM when the cache file could not take
// them (then there is no cache file), else a copy of the cache file.
bool write_recording_locked(FILE* to) {
    RecordingCache& c = g_rec;
    if (!(c.ram && c.ram_count > 0)) {
        if (!c.file_holds_lines) return false;
        FILE* from = platform()->open_file(c.path, "rb");
        if (!from) return false;
        bool ok = copy_stream(from, to);
        fclose(from);
        return ok;
    }
    if (!c.columns_chosen) choose_columns_locked();
    if (!write_header(to)) return false;
    for (int32_t i = 0; i < c.ram_count; i++) {
        if (write_sample_line(to, &c.ram[i]) < 0) return false;
    }
    return true;
}

bool same_path(const char* a, const char* b) {
#ifdef _WIN32
    for (; *a && *b; a++, b++) {
        char x = *a == '/' ? '\\' : (*a >= 'A' && *a <= 'Z') ? (char)(*a - 'A' + 'a') : *a;
        char y = *b == '/' ? '\\' : (*b >= 'A' && *b <= 'Z') ? (char)(*b - 'A' + 'a') : *b;
        if (x != y) return false;
    }
    return *a == *b;
#else
    return strcmp(a, b) == 0;
#endif
}

}  // namespace

int recording_save_as(const char* path) {
    if (!path || !path[0]) return -1;
    std::lock_guard<std::mutex> hold(g_rec.lock);
    RecordingCache& c = g_rec;
    int64_t recorded = c.recorded.load();
    if (!c.saved || !c.path[0] || recorded == 0) return -1;
    // The copy goes to a temporary file beside the target and replaces the target only when it
    // is complete, so a failed save never destroys a file the user had there. The cache file
    // itself is no target: it is deleted when the cache is cleared.
    char temp[RECORDING_PATH_CAPACITY + 16];
    text_printf(temp, sizeof temp, "%s.kxpart", path);
    bool ok = !same_path(path, c.path) && strlen(path) < RECORDING_PATH_CAPACITY;
    FILE* to = ok ? platform()->open_file(temp, "wb") : nullptr;
    if (to) {
        ok = write_recording_locked(to);
        ok = fclose(to) == 0 && ok;
        ok = ok && recording_file_replace(temp, path) == 0;
        if (!ok) recording_file_remove(temp);
    } else {
        ok = false;
    }
    if (!ok) {
        log_printf(LOG_ERROR, "保存录制失败: %s", path);
        return -1;
    }
    log_printf(LOG_INFO, "录制已保存: %s（%lld 样本）", path, (long long)recorded);
    return 0;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Read-outs
//-------------------------------------------------------------------------------------------------

int recording_has_data() {
    std::lock_guard<std::mutex> hold(g_rec.lock);
    return (g_rec.saved && g_rec.path[0] && g_rec.recorded.load() > 0) ? 1 : 0;
}

bool recording_active() { return g_rec.active.load() != 0; }
int64_t recording_recorded_count() { return g_rec.recorded.load(); }
int64_t recording_unwritten_count() { return g_rec.unwritten.load(); }

int32_t recording_ram_count() {
    std::lock_guard<std::mutex> hold(g_rec.lock);
    return g_rec.ram_count;
}

void recording_cache_path(char* out, size_t capacity) {
    std::lock_guard<std::mutex> hold(g_rec.lock);
    text_copy(out, capacity, g_rec.path);
}
