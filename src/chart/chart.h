// chart.h - the waveform window's record and its data side: series rings of timestamped samples,
// borrowed replay sample tracks (every sample of a loaded recording, with a min/max pyramid), adding and removing variables, sample delivery with the
// repaint limit, and the lookups the view, drawing and markers share.
//
// Index
//   [SECTION] Records (ChartSeries, ChartWindow)
//   [SECTION] Hooks into the window shell and other subsystems
//   [SECTION] Record registry (window handle -> record)
//   [SECTION] Operations by window handle
//   [SECTION] Record-level helpers (considered samples, ring order, lookups)
//
// Everything runs on the main thread; no lock guards a record. A "window" is the opaque handle of
// the window that owns the record (an HWND in the Win32 build); the registry maps it to the record.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chart/sample_track.h"
#include "vartable/sample.h"

// [SECTION] Records ------------------------------------------------------------------------------

enum : int32_t {
    CHART_TAG = 0x43484152,
    CHART_MAX_SERIES = 16,
    CHART_RING = 65536,
    CHART_FOLLOW_WINDOW = 600,
    CHART_NAME_CAPACITY = 256,
    CHART_TITLE_CAPACITY = 128,
    CHART_REPAINT_MS = 33,
    CHART_MAX_WINDOWS = 512,        // 64 tabs of 8 windows
    CHART_SUMMARY_LEVELS = 3,       // ring blocks of 8, 64 and 512 positions
};

// One variable of a waveform window: its leaf, colour, sample ring and borrowed replay track.
struct ChartSeries {
    int32_t leaf_id;
    char name[CHART_NAME_CAPACITY];  // full leaf name when added (UTF-8), for re-binding
    uint32_t colour;                 // 0x00RRGGBB
    int64_t times[CHART_RING];       // microseconds; 0 and -1 mean "no timestamp"
    double values[CHART_RING];
    int32_t head;                    // ring position of the next write
    int32_t count;                   // samples held
    int64_t written;                 // samples stored since the ring was last emptied
    int64_t disorder;                // `written` index of the newest sample older than the one
                                     // before it or without a time; -1 when none
    const SampleTrack* track;        // borrowed from replay (usable ones only), or null
    // Min/max (NaN left out) of aligned blocks of ring positions, kept as samples arrive, so a
    // column of a dense ring reads a few blocks instead of every sample. A block restarts when
    // its first position is written; every block whose positions all lie in a run of held
    // samples in age order was therefore written whole since, and is exact.
    TrackMinMax blocks8[CHART_RING / 8];
    TrackMinMax blocks64[CHART_RING / 64];
    TrackMinMax blocks512[CHART_RING / 512];
};
static_assert(offsetof(ChartSeries, times) % 8 == 0, "ChartSeries layout");
static_assert(offsetof(ChartSeries, blocks8) % 8 == 0, "ChartSeries layout");
static_assert(TRACK_FANOUT == 8, "ring blocks are read as pyramid levels of fan-out 8");

// The record of one waveform window (heap, zero-filled at creation).
struct ChartWindow {
    uint32_t tag;                        // CHART_TAG while live
    void* window;                        // owning window handle
    char16_t title[CHART_TITLE_CAPACITY];
    ChartSeries series[CHART_MAX_SERIES];
    int32_t series_count;
    int32_t follow_window;
    int32_t paused;
    int32_t selected;
    uint64_t last_repaint_ms;
    // View fields.
    int32_t show_all, auto_x, auto_y;
    int64_t view_x0, view_x1;
    double view_y0, view_y1;
    int32_t stacked;
    int32_t anim_timer_on, anim_x, anim_y;
    int64_t target_x0, target_x1;
    double target_y0, target_y1;
    int32_t pan_anchor_x, pan_anchor_y;
    int64_t pan_x0, pan_x1;
    double pan_y0, pan_y1;
    int64_t pan_t_min, pan_t_max;
    int32_t panning;
    // Interaction fields (pointer, markers, box selection).
    int32_t mouse_x, mouse_y;
    int32_t hover;
    int32_t m1_x, m1_y;
    int64_t m1_time;
    double m1_value;
    int32_t m2_x, m2_y;
    int64_t m2_time;
    double m2_value;
    int32_t marker_series;
    int32_t box_active;
    int32_t box_x0, box_y0, box_x1, box_y1;
};
static_assert(offsetof(ChartWindow, tag) == 0, "ChartWindow begins with its tag");

// [SECTION] Hooks ----------------------------------------------------------------------------------

// Steps that belong to the window shell or to other subsystems; a null entry is skipped.
struct ChartHooks {
    // Invalidates the whole window, with (1) or without (0) background erase.
    void (*invalidate)(void* window, int32_t erase);
    // Starts (1) or stops (0) the window's 16 ms animation timer.
    void (*anim_timer)(void* window, int32_t on);
    // Shows (show = 1) the horizontal scroll bar with range 0..1000, page and position, or hides it.
    void (*set_scrollbar)(void* window, int32_t show, int32_t page, int32_t position);
    // Sets or clears a leaf's tick in the variable tree.
    void (*tree_set_tick)(int32_t leaf_id, int32_t on);
    // Refreshes the status bar and the acquisition commands' enabled states.
    void (*refresh_status)();
    // A series of this leaf left a window: the window manager clears the watch when no window shows it.
    void (*release_leaf)(int32_t leaf_id);
    // Replay's track of the variable of that full name (usable or not), or null.
    const SampleTrack* (*replay_track)(const char* name);
};
extern ChartHooks g_chart_hooks;

// [SECTION] Registry ------------------------------------------------------------------------------

// Creates the zero-filled record of a new window (title UTF-8, null for "波形窗口") with the
// creation defaults and registers it under `window`. Null when the allocation fails, the handle
// is null or already has a record, or 512 records are live.
ChartWindow* chart_record_create(void* window, const char* title);
// Stops the animation timer if it runs, unregisters and frees the record (nothing when none).
void chart_record_destroy(void* window);
// The live record of a window handle, or null.
ChartWindow* chart_record(void* window);
// Live records in creation order (for iteration by the sample drain and replay).
int32_t chart_record_count();
ChartWindow* chart_record_at(int32_t index);

// [SECTION] Operations by window handle ---------------------------------------------------------

// 1 when the window carries a live waveform record, else 0.
int32_t chart_is_chart(void* window);
// Adds a series for the leaf (duplicates and a 17th are ignored). 0 added, -1 not added.
int32_t chart_add_var(void* window, int32_t leaf_id);
// Stores one sample in the series of its leaf and repaints at most every 33 ms.
void chart_on_sample(void* window, const Sample* sample);
// Offers a batch to every live waveform window (the acquisition drain's window step).
void chart_deliver_all(const Sample* samples, int32_t count);
// Attaches a usable replay track to every series of the leaf and selects show-all with automatic
// ranges (an unusable one is ignored).
void chart_set_track(void* window, int32_t leaf_id, const SampleTrack* track);
// Drops every series' reference to any track, in every live window. Replay calls it before it
// frees or replaces its tracks, so no series keeps a dangling pointer. Returns references dropped.
int32_t chart_drop_all_track_refs();
// Drops the track references of one window (acquisition starts: live samples take over).
void chart_drop_track_refs(ChartWindow* cw);
// Writes the current full name of the leaf of series `index`; 1 written, 0 out of range or gone.
int32_t chart_series_name(void* window, int32_t index, char* buffer, int32_t size);
// The menu's "remove selected variable" and "clear data".
void chart_remove_selected(void* window);
void chart_clear(void* window);
// Re-binds every series by name after a firmware reload (missing names are removed).
void chart_rebind(void* window);

// [SECTION] Record-level helpers -----------------------------------------------------------------

// 1 in follow mode (auto_x set, show_all clear).
int32_t chart_follow_mode(const ChartWindow* cw);
// Age index (0 = oldest held) of the first considered sample, and the number considered.
int32_t chart_considered_first(const ChartWindow* cw, const ChartSeries* s);
int32_t chart_considered_count(const ChartWindow* cw, const ChartSeries* s);
// Ring position of the sample with age index k (0 = oldest held).
inline int32_t chart_ring_pos(const ChartSeries* s, int32_t k) {
    return (s->head - s->count + k) & (CHART_RING - 1);
}
// 1 when a timestamp is a real one (neither 0 nor -1).
inline int32_t chart_time_valid(int64_t t) { return t != 0 && t != -1; }
// 1 when the series has a track that can be drawn (samples, t0 < t1).
int32_t chart_cache_usable(const ChartSeries* s);
// 1 when the considered samples of the ring all have valid, non-decreasing times (the fast paths
// of the view and the drawing rely on it).
int32_t chart_ring_ordered(const ChartWindow* cw, const ChartSeries* s);
// Palette colour of a slot index (index mod 8).
uint32_t chart_palette(int32_t index);
// The repaint limit: 1 (and the tick stored) when `now_ms` is more than 33 ms after the last
// sample-driven repaint, else 0.
int32_t chart_repaint_due(ChartWindow* cw, uint64_t now_ms);
// Ring position of the considered sample nearest in time (first of equals); 0 when none.
int32_t chart_nearest_sample(const ChartWindow* cw, const ChartSeries* s, int64_t time);
// The track's sample nearest to a time inside its span: 1 with its time and value, else 0.
int32_t chart_track_value(const ChartSeries* s, int64_t time, int64_t* sample_time, double* value);
// 1 when a ring sample at this time is drawn from the ring: the series has no usable track or
// the time lies outside the track's span.
inline int32_t chart_ring_shows(const ChartSeries* s, int64_t t) {
    return !s->track || t < s->track->t0 || t > s->track->t1;
}
// Removes both measurement markers.
void chart_clear_markers(ChartWindow* cw);
// Invalidates the record's window through the hook (erase 1 with background erase).
void chart_invalidate(ChartWindow* cw, int32_t erase);
