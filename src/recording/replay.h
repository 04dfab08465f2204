// replay.h - offline replay of recording CSV files: the load-all replay with its per-leaf sample
// tracks (every sample, with a min/max pyramid, lent to waveform windows), and the step replay
// paced by main-window timer 2.
//
// Everything here runs on the main thread. Replayed values travel as Samples through the sample
// hand-off like acquired ones.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chart/sample_track.h"
#include "vartable/sample.h"

enum : int32_t {
    REPLAY_SERIES_CAPACITY = 4096,     // one slot per possible leaf id
    REPLAY_NAME_CAPACITY = 256,
    REPLAY_TICK_LINE_LIMIT = 20000,    // lines one step-replay tick publishes at most
    REPLAY_PUBLISH_LINES = 65536,      // the newest lines a load-all replay hands over as samples
};

// One slot of the series store: every sample one leaf column holds in the loaded file.
struct ReplaySeries {
    char name[REPLAY_NAME_CAPACITY];  // UTF-8 leaf name when loaded (windows find tracks by it)
    SampleTrack track;                // owned by the store
    int64_t last_line;                // file offset of the last line with a value of this leaf
};

// Steps that belong to the waveform windows and the main window; null entries are skipped.
struct ReplayChartHooks {
    // Live waveform windows of the tabs holding built-in windows: count, and the i-th handle.
    int32_t (*window_count)();
    void* (*window_at)(int32_t index);
    // The window's variable names by index (UTF-8): 1 written, 0 past the last one.
    int32_t (*series_name)(void* window, int32_t index, char* buffer, int32_t size);
    // Lends a leaf's track to the window's series of that leaf.
    void (*set_track)(void* window, int32_t leaf_id, const SampleTrack* track);
    // Every series drops its borrowed track; called before the store frees the tracks.
    int32_t (*drop_track_refs)();
    // Every numeric window shows the whole recording's extremes of its rows' leaves.
    void (*show_extremes)();
    // Kills main-window timer 2 (step-replay pacing).
    void (*kill_replay_timer)();
};
extern ReplayChartHooks g_replay_chart_hooks;

// ---- Load-all replay and the series store -----------------------------------------------------
// Loads a whole file: every value of a leaf column goes into that leaf's track; the newest 65536
// lines (and each leaf's last value) are published as Samples, as much as the hand-off and the
// history keep. 0, or -1 when the file cannot be opened.
int replay_load_all(const char* path);
// The replay-all command (toolbar "离线回放", menu, --replay-all=) with a chosen path.
void replay_all_command(const char* path);
// The store slot of a leaf id with samples, or null.
const ReplaySeries* replay_series_at(int32_t leaf_id);
// The track loaded for a full variable name (leaf ids change with a firmware reload), or null.
const SampleTrack* replay_track_by_name(const char* name);
// The track to lend a series a window is given now: as replay_track_by_name, but null while an
// acquisition runs (live samples own the windows then, in follow mode).
const SampleTrack* replay_track_for_new_series(const char* name);
// Smallest and largest value the loaded recording holds for a variable name; false when none.
bool replay_extremes(const char* name, double* lo, double* hi);
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
