// replay_store.cpp - the load-all replay: one pass over the file that puts every value of a leaf
// column into that leaf's sample track, then a min/max pyramid per track; the newest lines are
// handed over as Samples afterwards. The replay-all command lends the tracks to the waveform
// windows.
//
// Index
//   [SECTION] Series store
//   [SECTION] Load-all replay
//   [SECTION] Replay-all command
//
// Speed. Recordings are mostly plain numbers in mostly empty columns, so a line is walked field
// by field in place: runs of empty fields and field ends are found eight bytes at a time,
// timestamps are read eight digits at a time, and plain numbers are converted directly with each
// column's number kind worked out from the header (replay_fast_parse). A line with a quote, or a
// text that is not a plain number, takes the general split and the leaf codec; both ways give
// the same values to the last bit. Publishing every value would only feed rings that keep the
// newest few thousand, so the load publishes the lines those rings can hold (and each leaf's last
// value), read again from the file.
//
// Times. A sample takes its line's timestamp; a line without one (0 or -1) takes the last valid
// time before it (samples before the first valid time take that first time), so one untimed line
// never loses a track its span. Times that run backwards are held at the last one.
#include <algorithm>
#include <cstring>

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

// The process-wide store: one slot per leaf id. A recording names a few of the 4,096 possible
// leaves, so the slots a load claimed are listed, and resets, look-ups and the steps after a load
// walk that list instead of every slot.
struct ReplayStore {
    ReplaySeries slots[REPLAY_SERIES_CAPACITY];
    int32_t series_count;
    int32_t claimed_count;
    int32_t claimed[REPLAY_SERIES_CAPACITY];  // leaf ids of the claimed slots (id order once loaded)
    bool is_claimed[REPLAY_SERIES_CAPACITY];
};

ReplayStore g_store;

// The slot of a leaf id, named after the leaf and listed when first claimed; null for ids the
// store has no slot for.
ReplaySeries* claim_slot(LeafId id) {
    const VarLeaf* leaf = leaf_at(id);
    if (id < 0 || id >= REPLAY_SERIES_CAPACITY || !leaf) return nullptr;
    ReplaySeries* s = &g_store.slots[id];
    if (!g_store.is_claimed[id]) {
        g_store.is_claimed[id] = true;
        g_store.claimed[g_store.claimed_count++] = id;
        text_copy(s->name, sizeof s->name, leaf->name);
    }
    return s;
}

}  // namespace

void replay_store_reset() {
    // The windows let go of the tracks first, so no series keeps a pointer into freed memory.
    if (g_replay_chart_hooks.drop_track_refs) g_replay_chart_hooks.drop_track_refs();
    for (int32_t i = 0; i < g_store.claimed_count; i++) {
        const int32_t id = g_store.claimed[i];
        ReplaySeries& s = g_store.slots[id];
        track_free(&s.track);
        s.name[0] = 0;
        s.last_line = 0;
        g_store.is_claimed[id] = false;
    }
    g_store.claimed_count = 0;
    g_store.series_count = 0;
}

const ReplaySeries* replay_series_at(int32_t leaf_id) {
    if (leaf_id < 0 || leaf_id >= REPLAY_SERIES_CAPACITY) return nullptr;
    const ReplaySeries* s = &g_store.slots[leaf_id];
    return s->track.count > 0 ? s : nullptr;
}

const SampleTrack* replay_track_by_name(const char* name) {
    if (!name || !name[0] || g_store.series_count == 0) return nullptr;
    for (int32_t i = 0; i < g_store.claimed_count; i++) {
        const ReplaySeries& s = g_store.slots[g_store.claimed[i]];
        if (s.track.count > 0 && strcmp(s.name, name) == 0) return &s.track;
    }
    return nullptr;
}

const SampleTrack* replay_track_for_new_series(const char* name) {
    return acquisition_state() == ACQ_RUNNING ? nullptr : replay_track_by_name(name);
}

bool replay_extremes(const char* name, double* lo, double* hi) {
    const SampleTrack* t = replay_track_by_name(name);
    return t && track_range_minmax(t, 0, t->count, lo, hi);
}

int32_t replay_series_count() { return g_store.series_count; }

//-------------------------------------------------------------------------------------------------
// [SECTION] Load-all replay
//-------------------------------------------------------------------------------------------------

namespace {

// How the load treats one header column.
enum LoadRole : uint8_t {
    LOAD_SKIP,   // not a leaf of this firmware, or time_iso
    LOAD_TIME,   // timestamp_us
    LOAD_VALUE,  // a leaf's values
};

// One header column as the load walks it: its role and, for a leaf, the leaf and its slot.
struct LoadColumn {
    ReplaySeries* series;
    const VarLeaf* leaf;
    ReplayFastKind fast;
    LoadRole role;
};

// A value of a line waiting for the line's timestamp.
struct PendingValue {
    ReplaySeries* series;
    double value;
};

// What one load works with besides the reader (heap: the tail offsets alone are 512 KB).
// The arrays are written before they are read (a ring slot by its line, pending values by the
// line that made them, columns by the header), so only the counters are cleared for a new load.
struct LoadState {
    int64_t tail[REPLAY_PUBLISH_LINES];  // file offsets of the newest lines, a ring
    int64_t lines;                       // data lines read
    int64_t first_valid_time, last_valid_time;
    int64_t dropped;                     // values not kept: memory ran out
    int32_t column_count;
    LoadColumn columns[CSV_FIELD_CAPACITY];
    PendingValue pending[CSV_FIELD_CAPACITY];
    int64_t early[REPLAY_SERIES_CAPACITY];  // last lines of leaves with none among the newest
};

void load_state_reset(LoadState* st) {
    st->lines = 0;
    st->first_valid_time = st->last_valid_time = 0;
    st->dropped = 0;
    st->column_count = 0;
}

// The header's map as the walk uses it (the map itself stays for the general split).
void plan_columns(LoadState* st, const ReplayColumns& map) {
    st->column_count = map.column_count;
    for (int32_t col = 0; col < map.column_count; col++) {
        LoadColumn& c = st->columns[col];
        c = LoadColumn{nullptr, nullptr, ReplayFastKind{REPLAY_FAST_NONE, 0}, LOAD_SKIP};
        if (col == map.timestamp_column) {
            c.role = LOAD_TIME;
        } else if (map.leaf[col] >= 0 && (c.series = claim_slot(map.leaf[col])) != nullptr) {
            c.leaf = leaf_at(map.leaf[col]);
            c.fast = replay_fast_kind(c.leaf);
            c.role = LOAD_VALUE;
        }
    }
}

// Into the slot's track.
inline void keep_value(LoadState* st, ReplaySeries* s, int64_t time, double value, int64_t offset) {
    if (!track_append(&s->track, time, value)) {
        st->dropped++;
        return;
    }
    s->last_line = offset;
}

// The general way: split with quotes and take each leaf's value through the codec.
int32_t general_line(ReplayWork* w, LoadState* st, char* line, size_t length, int64_t* t) {
    const int32_t fields = replay_split_line(w, line, length, t);
    const int32_t limit = fields < st->column_count ? fields : st->column_count;
    int32_t kept = 0;
    for (int32_t col = 0; col < limit; col++) {
        const LoadColumn& c = st->columns[col];
        double value;
        if (c.role == LOAD_VALUE && replay_field_value(c.leaf, w->fields[col].text, &value))
            st->pending[kept++] = PendingValue{c.series, value};
    }
    return kept;
}

// The end of the field that starts at p: the next comma, or the end of the line; null at a
// quote (the line then takes the general split). Eight bytes a step where the line has them:
// a byte equal to c makes (x ^ c) a zero byte, and the lowest flagged zero byte is exact.
inline char* field_end(char* p, char* end) {
    const uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    while (end - p >= 8) {
        uint64_t x;
        memcpy(&x, p, 8);
        const uint64_t comma = x ^ (ones * ','), quote = x ^ (ones * '"');
        const uint64_t hit = (((comma - ones) & ~comma) | ((quote - ones) & ~quote)) & highs;
        if (hit) {
            p += __builtin_ctzll(hit) / 8;
            return *p == '"' ? nullptr : p;
        }
        p += 8;
    }
    while (p < end && *p != ',' && *p != '"') p++;
    return p < end && *p == '"' ? nullptr : p;
}

// Eight ASCII digits at p as a number; false when one of them is not a digit. The digits are
// paired, the pairs paired and the quads paired, each step one multiply over the whole word.
inline bool eight_digits(const char* p, uint64_t* out) {
    uint64_t x;
    memcpy(&x, p, 8);
    const uint64_t low = x - 0x3030303030303030ull;
    // Every byte 0x30..0x39: its high nibble is 3, and adding 6 keeps it 3.
    if ((x & 0xF0F0F0F0F0F0F0F0ull) != 0x3030303030303030ull ||
        ((x + 0x0606060606060606ull) & 0xF0F0F0F0F0F0F0F0ull) != 0x3030303030303030ull)
        return false;
    // The first digit is the lowest byte: each step puts the higher half of a pair in front.
    uint64_t v = (low * 10 + (low >> 8)) & 0x00FF00FF00FF00FFull;
    v = (v * ((100ull << 16) + 1) >> 16) & 0x0000FFFF0000FFFFull;
    *out = (v * ((10000ull << 32) + 1)) >> 32;
    return true;
}

// A timestamp field [f, p): up to 18 plain digits cannot overflow; anything else is read as the
// general split reads it.
inline int64_t time_field(const char* f, const char* p) {
    if (p - f > 18) return csv_parse_i64(f);
    uint64_t v = 0, eight;
    const char* q = f;
    for (; p - q >= 8; q += 8) {
        if (!eight_digits(q, &eight)) return csv_parse_i64(f);
        v = v * 100000000 + eight;
    }
    for (; q < p; q++) {
        const unsigned d = (unsigned)(*q - '0');
        if (d > 9) return csv_parse_i64(f);
        v = v * 10 + d;
    }
    return (int64_t)v;
}

// A leaf's value from a field [f, p): plain numbers directly, every other text through the codec
// (the field is terminated for it, and the byte put back).
inline bool value_field(const LoadColumn& c, char* f, char* p, double* value) {
    if (replay_fast_parse(c.fast, f, (size_t)(p - f), value)) return true;
    const char saved = *p;
    *p = 0;
    const bool ok = replay_field_value(c.leaf, f, value);
    *p = saved;
    return ok;
}

// Past a run of commas (empty fields) starting at p, eight at a time; returns the new position
// and counts the fields passed into *col.
inline char* skip_empty_fields(char* p, char* end, int32_t* col) {
    const uint64_t commas = 0x0101010101010101ull * ',';
    for (uint64_t x; end - p >= 8 && (memcpy(&x, p, 8), x == commas); p += 8) *col += 8;
    for (; p < end && *p == ','; p++) (*col)++;
    return p;
}

// The walk in place for lines without quotes: fields end at commas, runs of empty fields are
// passed eight at a time. -1 when a quote turns up (nothing is changed then).
int32_t plain_line(LoadState* st, char* line, size_t length, int64_t* t) {
    char* p = line;
    char* const end = line + length;
    int32_t made = 0;
    *t = 0;
    int32_t col = 0;
    for (;;) {
        p = skip_empty_fields(p, end, &col);  // each comma ends one empty field
        if (p >= end || col >= st->column_count) break;
        char* f = p;
        if (!(p = field_end(p, end))) return -1;
        const LoadColumn& c = st->columns[col];
        double value;
        if (c.role == LOAD_TIME) *t = time_field(f, p);
        else if (c.role == LOAD_VALUE && value_field(c, f, p, &value))
            st->pending[made++] = PendingValue{c.series, value};
        if (p >= end) break;
        p++;
        col++;
    }
    return made;
}

// The first valid time of the file: every value kept before it was untimed and takes it now,
// before any later time is held against theirs (a placeholder kept there would hold negative
// times at zero and leave the track running backwards once replaced).
void time_untimed_values(LoadState* st, int64_t t) {
    st->first_valid_time = t;
    for (int32_t col = 0; col < st->column_count; col++) {
        SampleTrack* track = st->columns[col].series ? &st->columns[col].series->track : nullptr;
        for (int64_t i = 0; track && i < track->count; i++) track->times[i] = t;
    }
}

void load_line(ReplayWork* w, LoadState* st, char* line, size_t length) {
    const int64_t offset = csv_line_offset(&w->reader, line);
    int64_t t;
    int32_t made = plain_line(st, line, length, &t);
    if (made < 0) made = general_line(w, st, line, length, &t);
    if (t != 0 && t != -1) {
        if (st->first_valid_time == 0) time_untimed_values(st, t);
        st->last_valid_time = t;
    }
    for (int32_t i = 0; i < made; i++)
        keep_value(st, st->pending[i].series, st->last_valid_time, st->pending[i].value, offset);
    st->tail[st->lines % REPLAY_PUBLISH_LINES] = offset;
    st->lines++;
}

// The pyramids, once every sample is in. Look-ups by name then meet the slots in leaf-id order,
// as a walk over every slot would.
void finish_tracks() {
    std::sort(g_store.claimed, g_store.claimed + g_store.claimed_count);
    for (int32_t c = 0; c < g_store.claimed_count; c++) {
        ReplaySeries& s = g_store.slots[g_store.claimed[c]];
        SampleTrack& t = s.track;
        if (t.count == 0) continue;
        if (!track_finish(&t)) log_printf(LOG_WARN, "回放金字塔内存不足: %s", s.name);
        g_store.series_count++;
    }
}

// The samples of the lines being handed over, published a batch at a time: a hand-off per line
// would take the ring's lock, a history reservation and the clock for every line.
void queue_line(ReplayWork* w, char* line, size_t length, int32_t* queued) {
    if (*queued + w->columns.column_count > (int32_t)CSV_FIELD_CAPACITY) {
        samples_publish(w->samples, *queued);
        *queued = 0;
    }
    int64_t t;
    const int32_t fields = replay_split_line(w, line, length, &t);
    *queued += replay_line_samples(w, fields, t, *queued);
}

// Reads the line at an offset again and queues its samples.
void queue_line_at(ReplayWork* w, int64_t offset, int32_t* queued) {
    char* line;
    size_t length;
    if (!csv_reader_seek(&w->reader, offset) || !csv_read_line(&w->reader, &line, &length) || length == 0) return;
    queue_line(w, line, length, queued);
}

// The newest lines, preceded by the last line of every leaf that has none among them, in file
// order: the hand-off, the last-value slots and the history end as a full publish leaves them.
void publish_newest(ReplayWork* w, LoadState& st) {
    if (st.lines == 0) return;
    const int64_t kept = st.lines < (int64_t)REPLAY_PUBLISH_LINES ? st.lines : (int64_t)REPLAY_PUBLISH_LINES;
    const int64_t tail_start = st.tail[(st.lines - kept) % REPLAY_PUBLISH_LINES];
    int64_t* const early = st.early;
    int32_t n = 0;
    for (int32_t i = 0; i < g_store.claimed_count; i++) {
        const ReplaySeries& s = g_store.slots[g_store.claimed[i]];
        if (s.track.count > 0 && s.last_line < tail_start) early[n++] = s.last_line;
    }
    std::sort(early, early + n);
    n = (int32_t)(std::unique(early, early + n) - early);
    int32_t queued = 0;
    for (int32_t i = 0; i < n; i++) queue_line_at(w, early[i], &queued);
    if (csv_reader_seek(&w->reader, tail_start)) {
        char* line;
        size_t length;
        while (csv_read_line(&w->reader, &line, &length))
            if (length > 0) queue_line(w, line, length, &queued);
    }
    samples_publish(w->samples, queued);
}

// What a load-all works in, kept rather than allocated per load (about 800 KB; loads run on the
// main thread, one at a time).
ReplayWork g_load_work;
LoadState g_load_state;

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
    ReplayWork* work = &g_load_work;
    LoadState* st = &g_load_state;
    load_state_reset(st);
    if (!csv_reader_open(&work->reader, file)) {
        fclose(file);
        log_printf(LOG_ERROR, "回放内存分配失败: %s", path);
        return -1;
    }
    CsvLineReader* reader = &work->reader;
    replay_read_header(work);
    plan_columns(st, work->columns);
    char* line;
    size_t length;
    while (csv_read_line(reader, &line, &length))
        if (length > 0) load_line(work, st, line, length);
    report_reader_faults(*reader, path);
    if (st->dropped > 0) log_printf(LOG_ERROR, "回放内存不足，%lld 个值未载入: %s", (long long)st->dropped, path);
    finish_tracks();
    publish_newest(work, *st);
    csv_reader_close(reader);

    if (acquisition_state() != ACQ_RUNNING) acquisition_set_state(ACQ_IDLE);
    log_printf(LOG_INFO, "回放加载完成: %s（%lld 行，%d 个变量桶缓存）", path, (long long)st->lines, g_store.series_count);
    return 0;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Replay-all command
//-------------------------------------------------------------------------------------------------

namespace {

// Lends every variable of one waveform window the track loaded under its name.
void hand_tracks_to_window(void* window) {
    const ReplayChartHooks& h = g_replay_chart_hooks;
    char name[300];
    for (int32_t index = 0; h.series_name(window, index, name, (int32_t)sizeof name); index++) {
        const SampleTrack* track = replay_track_by_name(name);
        if (track && h.set_track) h.set_track(window, leaf_find(name), track);
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
            if (window) hand_tracks_to_window(window);
        }
    }
    if (h.show_extremes) h.show_extremes();
    const AcquisitionHooks& a = g_acquisition_hooks;
    if (a.post_to_waveform_windows) a.post_to_waveform_windows(KX_MSG_ACQ_STOPPED);
    if (a.refresh_status) a.refresh_status();
}
