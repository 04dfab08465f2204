// replay.h - offline replay of recording CSV files: the load-all replay with its per-leaf min/max
// bucket store (lent to waveform windows), and the step replay paced by main-window timer 2.
//
// Everything here runs on the main thread. Replayed values travel as Samples through the sample
// hand-off like acquired ones.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vartable/sample.h"

enum : int32_t {
    REPLAY_SERIES_CAPACITY = 4096,  // one slot per possible leaf id
    REPLAY_BUCKET_LIMIT = 8192,     // buckets per series at most
    REPLAY_NAME_CAPACITY = 256,
    REPLAY_TICK_LINE_LIMIT = 20000, // lines one step-replay tick publishes at most
};

// One min/max slot of a bucket cache. Same layout as the waveform window's Bucket (24 bytes), so
// the arrays are handed over as they are.
struct ReplayBucket {
    double min;
    double max;
    int32_t count;  // values that fell into the slot; 0 = empty
};
static_assert(sizeof(ReplayBucket) == 24 && offsetof(ReplayBucket, max) == 8 && offsetof(ReplayBucket, count) == 16,
              "ReplayBucket has the waveform window's Bucket layout");

// One slot of the series store: a leaf's envelope over the whole loaded file.
struct ReplaySeries {
    char name[REPLAY_NAME_CAPACITY];  // UTF-8 leaf name
    ReplayBucket* buckets;            // owned by the store, or null
    int32_t bucket_count;
    int64_t t0, t1;                   // the file's first (nonzero) and last timestamp
};

// Steps that belong to the waveform windows and the main window; null entries are skipped.
struct ReplayChartHooks {
    // Live waveform windows of the tabs holding built-in windows: count, and the i-th handle.
    int32_t (*window_count)();
    void* (*window_at)(int32_t index);
    // The window's variable names by index (UTF-8): 1 written, 0 past the last one.
    int32_t (*series_name)(void* window, int32_t index, char* buffer, int32_t size);
    // Lends a leaf's bucket array to the window's series of that leaf.
    void (*set_buckets)(void* window, int32_t leaf_id, const ReplayBucket* buckets, int32_t n, int64_t t0,
                         int64_t t1);
    // Every series drops its borrowed bucket reference; called before the store frees its arrays.
    int32_t (*drop_bucket_refs)();
    // Kills main-window timer 2 (step-replay pacing).
    void (*kill_replay_timer)();
};
extern ReplayChartHooks g_replay_chart_hooks;

// ---- Load-all replay and the series store -----------------------------------------------------
// Loads a whole file: every value is published as a Sample and every leaf column gets an envelope
// of at most 8192 buckets. 0, or -1 when the file cannot be opened.
int replay_load_all(const char* path);
// The replay-all command (toolbar "离线回放", menu, --replay-all=) with a chosen path.
void replay_all_command(const char* path);
// The store slot of a leaf with a bucket array (count > 0), or null.
const ReplaySeries* replay_series_at(int32_t leaf_id);
// The chart's lookup form of the above: 1 with array, count and span, else 0.
int32_t replay_cache_lookup(int32_t leaf_id, const ReplayBucket** buckets, int32_t* n, int64_t* t0, int64_t* t1);
// Slots filled by the last load.
int32_t replay_series_count();
// Empties the store (after the windows dropped their references); shut-down and tests.
void replay_store_reset();

// ---- Step replay ------------------------------------------------------------------------------
// Opens a file for real-time replay (state word 2); 0, or -1 when it cannot be opened.
int replay_start(const char* path);
// One tick of main-window timer 2 (10 ms): publishes the lines that are due.
void replay_tick();
// Ends a running step replay.
void replay_stop();
// The stop-replay command ("停止回放"): kills timer 2, ends the replay, refreshes status and toolbar.
void replay_stop_command();
// True while a step replay is open.
bool replay_step_running();
