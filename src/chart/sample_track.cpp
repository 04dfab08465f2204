// sample_track.cpp - growing a track while a recording loads, its min/max pyramid and the
// queries the waveform window draws with.
#include "chart/sample_track.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Widens lo..hi by a range found (nothing when mn > mx: no value).
inline void merge(double* lo, double* hi, double mn, double mx) {
    if (!(mn <= mx)) return;
    if (mn < *lo) *lo = mn;
    if (mx > *hi) *hi = mx;
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
        // A recording as wide as the leaf table with a few lines must not claim 64 KB a column:
        // a track starts small and doubles, which costs a long one a handful of extra moves.
        const int64_t capacity = t->capacity < TRACK_FIRST_CAPACITY ? (int64_t)TRACK_FIRST_CAPACITY : t->capacity * 2;
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

namespace {

#if defined(__SSE2__)
// Running min/max of a pyramid query. minpd/maxpd return their second operand when the first is
// NaN, so NaN never gets in. Raw values fold into both lanes; a bucket {min, max} folds its min
// into lane 0 of `bucket_lo` and its max into lane 1 of `bucket_hi` (the other lanes take the
// bucket's other bound, which an empty bucket sets to an infinity that must not count).
struct Extremes {
    __m128d raw_lo = _mm_set1_pd(INFINITY), raw_hi = _mm_set1_pd(-INFINITY);
    __m128d bucket_lo = _mm_set1_pd(INFINITY), bucket_hi = _mm_set1_pd(-INFINITY);

    void raw(const double* v, int64_t n) {
        int64_t i = 0;
        for (; i + 2 <= n; i += 2) {
            const __m128d x = _mm_loadu_pd(v + i);
            raw_lo = _mm_min_pd(x, raw_lo);
            raw_hi = _mm_max_pd(x, raw_hi);
        }
        if (i < n) {
            const __m128d x = _mm_load1_pd(v + i);
            raw_lo = _mm_min_pd(x, raw_lo);
            raw_hi = _mm_max_pd(x, raw_hi);
        }
    }
    void buckets(const TrackMinMax* b, int64_t n) {
        static_assert(sizeof(TrackMinMax) == 2 * sizeof(double), "a bucket is one vector");
        for (int64_t i = 0; i < n; i++) {
            const __m128d x = _mm_loadu_pd(&b[i].min);
            bucket_lo = _mm_min_pd(x, bucket_lo);
            bucket_hi = _mm_max_pd(x, bucket_hi);
        }
    }
    void result(double* lo, double* hi) const {
        double r_lo[2], r_hi[2], b_lo[2], b_hi[2];
        _mm_storeu_pd(r_lo, raw_lo);
        _mm_storeu_pd(r_hi, raw_hi);
        _mm_storeu_pd(b_lo, bucket_lo);
        _mm_storeu_pd(b_hi, bucket_hi);
        double mn = r_lo[0] < r_lo[1] ? r_lo[0] : r_lo[1], mx = r_hi[0] > r_hi[1] ? r_hi[0] : r_hi[1];
        mn = b_lo[0] < mn ? b_lo[0] : mn;
        mx = b_hi[1] > mx ? b_hi[1] : mx;
        merge(lo, hi, mn, mx);
    }
};
#else
// Running min/max of a pyramid query (plain comparisons: NaN never replaces a bound).
struct Extremes {
    double mn = INFINITY, mx = -INFINITY;
    void raw(const double* v, int64_t n) {
        for (int64_t i = 0; i < n; i++) fold(&mn, &mx, v[i]);
    }
    void buckets(const TrackMinMax* b, int64_t n) {
        for (int64_t i = 0; i < n; i++) {
            if (b[i].min < mn) mn = b[i].min;
            if (b[i].max > mx) mx = b[i].max;
        }
    }
    void result(double* lo, double* hi) const { merge(lo, hi, mn, mx); }
};
#endif

}  // namespace

void track_fold_levels(const double* raw, const TrackMinMax* const* levels, int32_t level_total, int64_t a,
                       int64_t b, double* lo, double* hi) {
    Extremes e;
    // Climb while the run is long enough: the unaligned ends are read at the current level, the
    // aligned middle one level up.
    int32_t level = 0;
    while (a < b) {
        if (level + 1 < level_total && b - a >= 2 * TRACK_FANOUT) {
            const int64_t up = (a + TRACK_FANOUT - 1) / TRACK_FANOUT * TRACK_FANOUT;
            const int64_t down = b / TRACK_FANOUT * TRACK_FANOUT;
            if (level == 0) {
                e.raw(raw + a, up - a);
                e.raw(raw + down, b - down);
            } else {
                e.buckets(levels[level] + a, up - a);
                e.buckets(levels[level] + down, b - down);
            }
            a = up / TRACK_FANOUT;
            b = down / TRACK_FANOUT;
            level++;
            continue;
        }
        if (level == 0) e.raw(raw + a, b - a);
        else e.buckets(levels[level] + a, b - a);
        break;
    }
    e.result(lo, hi);
}

bool track_range_minmax(const SampleTrack* t, int64_t begin, int64_t end, double* lo, double* hi) {
    if (begin < 0) begin = 0;
    if (end > t->count) end = t->count;
    double mn = INFINITY, mx = -INFINITY;
    if (begin < end) track_fold_levels(t->values, t->levels, t->level_total, begin, end, &mn, &mx);
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
