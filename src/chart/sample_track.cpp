// sample_track.cpp - growing a track while a recording loads, its min/max pyramid and the
// queries the waveform window draws with.
#include "chart/sample_track.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// realloc keeps growth cheap for large arrays (the pages move, the bytes are not copied), and
// pages that were reserved but never written cost no memory.
template <typename T>
bool grow(T** array, int64_t capacity) {
    void* p = realloc(*array, (size_t)capacity * sizeof(T));
    if (!p) return false;
    *array = (T*)p;
    return true;
}

inline void fold(double* lo, double* hi, double v) {
    // Written as comparisons so NaN never replaces a bound.
    if (v < *lo) *lo = v;
    if (v > *hi) *hi = v;
}

}  // namespace

void track_free(SampleTrack* t) {
    // Most of a store's slots were never used: skip their frees, which are not free of cost under
    // every allocator (a checking allocator records a stack for each).
    if (t->times) free(t->times);
    if (t->values) free(t->values);
    for (TrackMinMax* level : t->levels)
        if (level) free(level);
    memset(t, 0, sizeof *t);
}

bool track_append(SampleTrack* t, int64_t time, double value) {
    if (t->count == t->capacity) {
        const int64_t capacity = t->capacity < 4096 ? 4096 : t->capacity * 2;
        if (!grow(&t->times, capacity) || !grow(&t->values, capacity)) return false;
        t->capacity = capacity;
    }
    if (t->count > 0 && time < t->times[t->count - 1]) time = t->times[t->count - 1];
    t->times[t->count] = time;
    t->values[t->count] = value;
    t->count++;
    return true;
}

bool track_finish(SampleTrack* t) {
    for (int32_t i = 1; i < TRACK_LEVELS_MAX; i++) {
        free(t->levels[i]);
        t->levels[i] = nullptr;
        t->level_count[i] = 0;
    }
    t->level_total = 1;
    t->level_count[0] = t->count;
    t->t0 = t->count > 0 ? t->times[0] : 0;
    t->t1 = t->count > 0 ? t->times[t->count - 1] : 0;
    int64_t below = t->count;
    for (int32_t level = 1; level < TRACK_LEVELS_MAX && below > 1; level++) {
        const int64_t n = (below + TRACK_FANOUT - 1) / TRACK_FANOUT;
        TrackMinMax* out = (TrackMinMax*)malloc((size_t)n * sizeof(TrackMinMax));
        if (!out) return false;
        for (int64_t k = 0; k < n; k++) {
            double lo = INFINITY, hi = -INFINITY;
            const int64_t a = k * TRACK_FANOUT, b = a + TRACK_FANOUT < below ? a + TRACK_FANOUT : below;
            if (level == 1) {
                for (int64_t i = a; i < b; i++) fold(&lo, &hi, t->values[i]);
            } else {
                const TrackMinMax* in = t->levels[level - 1];
                for (int64_t i = a; i < b; i++) {
                    if (in[i].min < lo) lo = in[i].min;
                    if (in[i].max > hi) hi = in[i].max;
                }
            }
            out[k] = TrackMinMax{lo, hi};
        }
        t->levels[level] = out;
        t->level_count[level] = n;
        t->level_total = level + 1;
        below = n;
    }
    return true;
}

int32_t track_usable(const SampleTrack* t) { return t && t->count > 0 && t->t0 < t->t1; }

int64_t track_lower_bound(const SampleTrack* t, int64_t time) {
    int64_t a = 0, b = t->count;
    while (a < b) {
        const int64_t m = a + (b - a) / 2;
        if (t->times[m] < time) a = m + 1;
        else b = m;
    }
    return a;
}

int64_t track_upper_bound(const SampleTrack* t, int64_t time) {
    int64_t a = 0, b = t->count;
    while (a < b) {
        const int64_t m = a + (b - a) / 2;
        if (t->times[m] <= time) a = m + 1;
        else b = m;
    }
    return a;
}

bool track_range_minmax(const SampleTrack* t, int64_t begin, int64_t end, double* lo, double* hi) {
    if (begin < 0) begin = 0;
    if (end > t->count) end = t->count;
    double mn = INFINITY, mx = -INFINITY;
    // Climb while the run is long enough: the unaligned ends are read at the current level, the
    // aligned middle one level up.
    int32_t level = 0;
    int64_t a = begin, b = end;
    while (a < b) {
        if (level + 1 < t->level_total && b - a >= 2 * TRACK_FANOUT) {
            for (; a < b && a % TRACK_FANOUT; a++) {
                if (level == 0) fold(&mn, &mx, t->values[a]);
                else fold(&mn, &mx, t->levels[level][a].min), fold(&mn, &mx, t->levels[level][a].max);
            }
            for (; b > a && b % TRACK_FANOUT; b--) {
                if (level == 0) fold(&mn, &mx, t->values[b - 1]);
                else fold(&mn, &mx, t->levels[level][b - 1].min), fold(&mn, &mx, t->levels[level][b - 1].max);
            }
            a /= TRACK_FANOUT;
            b /= TRACK_FANOUT;
            level++;
            continue;
        }
        for (; a < b; a++) {
            if (level == 0) fold(&mn, &mx, t->values[a]);
            else fold(&mn, &mx, t->levels[level][a].min), fold(&mn, &mx, t->levels[level][a].max);
        }
    }
    if (!(mn <= mx)) return false;
    *lo = mn;
    *hi = mx;
    return true;
}

int64_t track_nearest(const SampleTrack* t, int64_t time) {
    if (!t || t->count == 0) return -1;
    const int64_t i = track_lower_bound(t, time);
    if (i == 0) return 0;
    if (i == t->count) return t->count - 1;
    // Unsigned differences: far-apart 64-bit times cannot overflow.
    const uint64_t before = (uint64_t)time - (uint64_t)t->times[i - 1];
    const uint64_t after = (uint64_t)t->times[i] - (uint64_t)time;
    return after < before ? i : i - 1;
}

int64_t track_bytes(const SampleTrack* t) {
    int64_t bytes = t->count * (int64_t)(sizeof(int64_t) + sizeof(double));
    for (int32_t i = 1; i < t->level_total; i++) bytes += t->level_count[i] * (int64_t)sizeof(TrackMinMax);
    return bytes;
}
