// sample_track.cpp - growing a track while a recording loads, its min/max pyramid and the
// queries the waveform window draws with.
#include "chart/sample_track.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "core/platform.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// realloc keeps growth cheap for large arrays (the pages move, the bytes are not copied), and
// pages that were reserved but never written cost no memory. An array starts `pad` bytes into
// its block (realloc moves the pad along with the samples).
template <typename T>
bool grow(T** array, uint32_t pad, int64_t capacity) {
    char* block = *array ? (char*)*array - pad : nullptr;
    void* p = realloc(block, pad + (size_t)capacity * sizeof(T));
    if (!p) return false;
    *array = (T*)((char*)p + pad);
    return true;
}

// Large blocks all start at the same offset within a page, so the arrays of a load that fills
// several tracks side by side would write to addresses that share their cache sets, and evict
// each other at every sample. Each new array starts a different number of cache lines into its
// block instead.
uint32_t next_pad() {
    static uint32_t turn;
    return (turn++ % 63 + 1) * 64;
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
    if (t->times) free((char*)t->times - t->times_pad);
    if (t->values) free((char*)t->values - t->values_pad);
    for (TrackMinMax* level : t->levels)
        if (level) free(level);
    memset(t, 0, sizeof *t);
}

bool track_make_room(SampleTrack* t) {
    if (t->count == t->capacity) {
        // A recording as wide as the leaf table with a few lines must not claim 64 KB a column:
        // a track starts small and doubles, which costs a long one a handful of extra moves.
        const int64_t capacity = t->capacity < TRACK_FIRST_CAPACITY ? (int64_t)TRACK_FIRST_CAPACITY : t->capacity * 2;
        if (!t->times) {
            t->times_pad = next_pad();
            t->values_pad = next_pad();
        }
        if (!grow(&t->times, t->times_pad, capacity) || !grow(&t->values, t->values_pad, capacity)) return false;
        t->capacity = capacity;
    }
    // A fresh page costs a fault on its first write, and a long recording writes tens of
    // thousands of them: bring the next stretch in with one call instead. Only a stretch at a
    // time, so the spare half of a doubled capacity stays unused address space, and a stretch no
    // longer than the track already is (one page at first): a recording of thousands of variables
    // with a few samples each must not make a full stretch resident for every one of them.
    int64_t stretch = t->count < (int64_t)TRACK_PREFAULT_MIN_SAMPLES ? (int64_t)TRACK_PREFAULT_MIN_SAMPLES : t->count;
    if (stretch > TRACK_PREFAULT_SAMPLES) stretch = TRACK_PREFAULT_SAMPLES;
    const int64_t ahead = t->capacity - t->count < stretch ? t->capacity - t->count : stretch;
    platform_prefault_pages(t->times + t->count, (size_t)ahead * sizeof(int64_t));
    platform_prefault_pages(t->values + t->count, (size_t)ahead * sizeof(double));
    t->ready = t->count + ahead;
    return true;
}

namespace {

// Level 1 from the raw values: bucket k is the min/max of values [8k, 8k + 8) (fewer in the last).
void build_first_level(const double* values, int64_t count, TrackMinMax* out) {
    const int64_t whole = count / TRACK_FANOUT;
    int64_t k = 0;
#if defined(__SSE2__)
    // Two buckets side by side, one per lane, each folding its values in order as fold() does:
    // minpd/maxpd keep their second operand unless the first is smaller/larger, so NaN never gets
    // in and equal values (0 and -0) keep the one seen first.
    for (; k + 2 <= whole; k += 2) {
        const double* a = values + k * TRACK_FANOUT;
        __m128d lo = _mm_set1_pd(INFINITY), hi = _mm_set1_pd(-INFINITY);
        for (int32_t i = 0; i < TRACK_FANOUT; i++) {
            const __m128d x = _mm_set_pd(a[TRACK_FANOUT + i], a[i]);
            lo = _mm_min_pd(x, lo);
            hi = _mm_max_pd(x, hi);
        }
        double l[2], h[2];
        _mm_storeu_pd(l, lo);
        _mm_storeu_pd(h, hi);
        out[k] = TrackMinMax{l[0], h[0]};
        out[k + 1] = TrackMinMax{l[1], h[1]};
    }
#endif
    for (; k * TRACK_FANOUT < count; k++) {
        double lo = INFINITY, hi = -INFINITY;
        const int64_t a = k * TRACK_FANOUT, b = a + TRACK_FANOUT < count ? a + TRACK_FANOUT : count;
        for (int64_t i = a; i < b; i++) fold(&lo, &hi, values[i]);
        out[k] = TrackMinMax{lo, hi};
    }
}

// A level above 1 from the one below it.
void build_upper_level(const TrackMinMax* in, int64_t below, TrackMinMax* out) {
    for (int64_t k = 0; k * TRACK_FANOUT < below; k++) {
        double lo = INFINITY, hi = -INFINITY;
        const int64_t a = k * TRACK_FANOUT, b = a + TRACK_FANOUT < below ? a + TRACK_FANOUT : below;
        for (int64_t i = a; i < b; i++) {
            if (in[i].min < lo) lo = in[i].min;
            if (in[i].max > hi) hi = in[i].max;
        }
        out[k] = TrackMinMax{lo, hi};
    }
}

}  // namespace

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
        platform_prefault_pages(out, (size_t)n * sizeof(TrackMinMax));  // every bucket is written
        if (level == 1) build_first_level(t->values, below, out);
        else build_upper_level(t->levels[level - 1], below, out);
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
