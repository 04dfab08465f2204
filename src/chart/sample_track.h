// sample_track.h - every sample of one variable of a loaded recording, with a min/max pyramid.
//
// A track keeps the samples as two parallel arrays (time, value; 16 bytes a sample) in
// non-decreasing time order. Above them sit pyramid levels, each TRACK_FANOUT times coarser than
// the one below: bucket k of level L holds the smallest and largest value of samples
// [k * 8^L, (k + 1) * 8^L). A min/max over any run of samples then costs a few dozen bucket
// reads whatever its length, so a waveform window draws every pixel column of a long recording
// exactly (every extreme kept) and single samples once zoomed in.
//
// Replay builds and owns the tracks (track_append while loading, track_finish once loaded);
// waveform windows only read them. Main thread only.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int32_t {
    TRACK_FANOUT = 8,
    TRACK_LEVELS_MAX = 16,  // 8^15 samples: more than any file can hold
    TRACK_PREFAULT_SAMPLES = 32768,  // samples made resident ahead of the appends at a time, at most
    TRACK_PREFAULT_MIN_SAMPLES = 512,  // and at least (one 4 KiB page of times, one of values)
    TRACK_FIRST_CAPACITY = 256,  // samples a track's arrays hold first; they double from there
};

// One pyramid bucket: NaN values are left out; an all-NaN bucket has min > max.
struct TrackMinMax {
    double min;
    double max;
};
static_assert(sizeof(TrackMinMax) == 16, "TrackMinMax layout");

// One variable's samples and its pyramid (levels[0] is unused: level 0 is the raw values).
struct SampleTrack {
    int64_t* times;      // microseconds, non-decreasing
    double* values;
    int64_t count;
    int64_t capacity;
    int64_t ready;        // samples whose pages are resident ahead of the appends (<= capacity)
    uint32_t times_pad, values_pad;  // bytes from the start of each array's block to the array
    TrackMinMax* levels[TRACK_LEVELS_MAX];
    int64_t level_count[TRACK_LEVELS_MAX];
    int32_t level_total;  // levels built, raw level included (1 = no pyramid yet)
    int64_t t0, t1;       // first and last time (t0 < t1 for a track a window can draw)
};

// Empties a track and frees its arrays.
void track_free(SampleTrack* t);
// Makes room for the next appends (grows the arrays, makes the pages of as many samples as the
// track holds resident, 512 to TRACK_PREFAULT_SAMPLES); false when the arrays cannot grow.
bool track_make_room(SampleTrack* t);
// Appends a sample; a time earlier than the last one is raised to it, so the order holds.
// False when the arrays cannot grow (the sample is then not kept). Inline: a load appends every
// sample of a recording through here.
inline bool track_append(SampleTrack* t, int64_t time, double value) {
    if (t->count == t->ready && !track_make_room(t)) return false;
    if (t->count > 0 && time < t->times[t->count - 1]) time = t->times[t->count - 1];
    t->times[t->count] = time;
    t->values[t->count] = value;
    t->count++;
    return true;
}
// Builds the pyramid and the span once every sample is in; false when memory ran out (the
// track then keeps its samples and answers range queries from them alone).
bool track_finish(SampleTrack* t);
// 1 when a window can draw the track: samples and a span t0 < t1.
int32_t track_usable(const SampleTrack* t);

// First index whose time is >= t, and first index whose time is > t (0..count).
int64_t track_lower_bound(const SampleTrack* t, int64_t time);
int64_t track_upper_bound(const SampleTrack* t, int64_t time);
// Smallest and largest non-NaN value of samples [begin, end); false when there is none.
bool track_range_minmax(const SampleTrack* t, int64_t begin, int64_t end, double* lo, double* hi);
// Folds the smallest and largest non-NaN value (infinities included) of raw[begin, end) into *lo
// and *hi, reading every whole aligned block from the levels above: levels[L][k] is the min/max
// of raw[k * 8^L, (k + 1) * 8^L) for L = 1 .. level_total - 1 (levels[0] is not read).
void track_fold_levels(const double* raw, const TrackMinMax* const* levels, int32_t level_total, int64_t begin,
                       int64_t end, double* lo, double* hi);
// Index of the sample nearest in time (the earlier of two equally near); -1 for an empty track.
int64_t track_nearest(const SampleTrack* t, int64_t time);
// Bytes held by the track's arrays (samples and pyramid).
int64_t track_bytes(const SampleTrack* t);
