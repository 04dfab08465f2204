// chart_columns.cpp - per-pixel min/max columns for the ring and for replay tracks.
//
// Index
//   [SECTION] Min/max over arrays and ring runs
//   [SECTION] Column grid
//   [SECTION] Envelopes
//   [SECTION] Drawing
#include "chart/chart_columns.h"

#include <cmath>

#include "chart/chart_view.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// [SECTION] Min/max over arrays and ring runs ----------------------------------------------------

bool chart_minmax(const double* v, int64_t n, double* lo, double* hi) {
    double mn = INFINITY, mx = -INFINITY;
    int64_t i = 0;
#if defined(__SSE2__)
    // minpd/maxpd return their second operand when the first is NaN, so NaN never gets in.
    __m128d lo_a = _mm_set1_pd(INFINITY), lo_b = lo_a, hi_a = _mm_set1_pd(-INFINITY), hi_b = hi_a;
    for (; i + 4 <= n; i += 4) {
        const __m128d a = _mm_loadu_pd(v + i), b = _mm_loadu_pd(v + i + 2);
        lo_a = _mm_min_pd(a, lo_a);
        lo_b = _mm_min_pd(b, lo_b);
        hi_a = _mm_max_pd(a, hi_a);
        hi_b = _mm_max_pd(b, hi_b);
    }
    double l[4], h[4];
    _mm_storeu_pd(l, lo_a);
    _mm_storeu_pd(l + 2, lo_b);
    _mm_storeu_pd(h, hi_a);
    _mm_storeu_pd(h + 2, hi_b);
    for (int k = 0; k < 4; k++) {
        if (l[k] < mn) mn = l[k];
        if (h[k] > mx) mx = h[k];
    }
#endif
    for (; i < n; i++) {
        if (v[i] < mn) mn = v[i];
        if (v[i] > mx) mx = v[i];
    }
    if (!(mn <= mx)) return false;
    *lo = mn;
    *hi = mx;
    return true;
}

bool chart_ring_minmax(const ChartSeries* s, int32_t k0, int32_t k1, double* lo, double* hi) {
    if (k1 <= k0) return false;
    // Ages k0..k1-1 are at most two contiguous runs of ring positions.
    const int32_t p0 = chart_ring_pos(s, k0);
    const int32_t n = k1 - k0;
    const int32_t first_run = p0 + n <= CHART_RING ? n : CHART_RING - p0;
    double a_lo, a_hi, b_lo, b_hi;
    const bool a = chart_minmax(s->values + p0, first_run, &a_lo, &a_hi);
    const bool b = chart_minmax(s->values, n - first_run, &b_lo, &b_hi);
    if (!a && !b) return false;
    *lo = !a ? b_lo : (!b || a_lo < b_lo ? a_lo : b_lo);
    *hi = !a ? b_hi : (!b || a_hi > b_hi ? a_hi : b_hi);
    return true;
}

int32_t chart_ring_lower_bound(const ChartSeries* s, int32_t k0, int32_t k1, int64_t t) {
    // Galloping from k0: columns are visited left to right, so the answer is usually near.
    int32_t step = 1, lo = k0, hi = k0;
    while (hi < k1 && s->times[chart_ring_pos(s, hi)] < t) {
        lo = hi + 1;
        hi = k0 + step;
        step *= 2;
    }
    if (hi > k1) hi = k1;
    while (lo < hi) {
        const int32_t m = lo + (hi - lo) / 2;
        if (s->times[chart_ring_pos(s, m)] < t) lo = m + 1;
        else hi = m;
    }
    return lo;
}

// [SECTION] Column grid ---------------------------------------------------------------------------

namespace {

// The column time_to_x gives a time (0-based, not clamped to the column count).
inline int64_t column_of(const ColumnGrid& g, int32_t left, int32_t right, int64_t t) {
    return time_to_x(t, g.x0, g.x1, left, right) - left;
}

// First time in [lo, hi] whose column is >= c (hi + 1 when none), by bisection.
int64_t first_time_of_column(const ColumnGrid& g, int32_t left, int32_t right, int32_t c, int64_t lo, int64_t hi) {
    int64_t a = lo, b = hi + 1;
    while (a < b) {
        const int64_t m = a + (b - a) / 2;
        if (column_of(g, left, right, m) < c) a = m + 1;
        else b = m;
    }
    return a;
}

}  // namespace

void chart_column_grid(ColumnGrid* g, int64_t x0, int64_t x1, int32_t left, int32_t right) {
    int32_t columns = right - left;
    if (columns > CHART_COLUMN_LIMIT) columns = CHART_COLUMN_LIMIT;
    if (columns < 1) columns = 1;
    g->columns = columns;
    g->x0 = x0;
    g->x1 = x1;
    g->start[0] = x0;
    g->start[columns] = x1 + 1;
    const double span = (double)x1 - (double)x0;
    for (int32_t c = 1; c < columns; c++) {
        const int64_t prev = g->start[c - 1];
        // The inverse of the mapping is exact up to rounding: try it and its neighbours, and
        // fall back to bisection when rounding moved the boundary further.
        double guess_d = (double)x0 + std::ceil(span * c / (double)(right - left));
        int64_t guess = guess_d < (double)prev ? prev : (guess_d > (double)x1 ? x1 + 1 : (int64_t)guess_d);
        int32_t tries = 0;
        while (tries < 4 && guess > prev && column_of(*g, left, right, guess - 1) >= c) guess--, tries++;
        while (tries < 4 && guess <= x1 && column_of(*g, left, right, guess) < c) guess++, tries++;
        const bool exact = (guess == prev || column_of(*g, left, right, guess - 1) < c) &&
                           (guess > x1 || column_of(*g, left, right, guess) >= c);
        g->start[c] = exact ? guess : first_time_of_column(*g, left, right, c, prev, x1);
    }
}

// [SECTION] Envelopes -----------------------------------------------------------------------------

namespace {

void empty_envelope(ColumnEnvelope* env, int32_t columns) {
    env->columns = columns;
    for (int32_t c = 0; c < columns; c++) {
        env->lo[c] = INFINITY;
        env->hi[c] = -INFINITY;
    }
}

}  // namespace

void chart_columns_from_ring(ColumnEnvelope* env, const ColumnGrid& g, const ChartWindow* cw, const ChartSeries* s) {
    empty_envelope(env, g.columns);
    const int32_t end = s->count;
    int32_t k = chart_ring_lower_bound(s, chart_considered_first(cw, s), end, g.x0);
    for (int32_t c = 0; c < g.columns && k < end; c++) {
        const int32_t next = chart_ring_lower_bound(s, k, end, g.start[c + 1]);
        if (next > k && chart_ring_minmax(s, k, next, &env->lo[c], &env->hi[c])) {
            env->first[c] = s->values[chart_ring_pos(s, k)];
            env->last[c] = s->values[chart_ring_pos(s, next - 1)];
        }
        k = next;
    }
}

void chart_columns_from_track(ColumnEnvelope* env, const ColumnGrid& g, const SampleTrack* t) {
    empty_envelope(env, g.columns);
    int64_t k = track_lower_bound(t, g.x0);
    for (int32_t c = 0; c < g.columns && k < t->count; c++) {
        const int64_t limit = g.start[c + 1];
        // Galloping from k, as for the ring.
        int64_t step = 1, lo = k, hi = k;
        while (hi < t->count && t->times[hi] < limit) {
            lo = hi + 1;
            hi = k + step;
            step *= 2;
        }
        if (hi > t->count) hi = t->count;
        while (lo < hi) {
            const int64_t m = lo + (hi - lo) / 2;
            if (t->times[m] < limit) lo = m + 1;
            else hi = m;
        }
        if (lo > k && track_range_minmax(t, k, lo, &env->lo[c], &env->hi[c])) {
            env->first[c] = t->values[k];
            env->last[c] = t->values[lo - 1];
        }
        k = lo;
    }
}

// [SECTION] Drawing -------------------------------------------------------------------------------

namespace {

// Neighbouring columns whose ranges leave rows between them: this one reaches over to the other.
inline void reach_neighbour(int32_t* yt, int32_t* yb, int32_t prev_top, int32_t prev_bottom) {
    if (*yb < prev_top - 1) *yb = prev_top - 1;
    if (*yt > prev_bottom + 1) *yt = prev_bottom + 1;
}

}  // namespace

void chart_draw_envelope(DrawSurface* d, const ColumnEnvelope& env, uint32_t colour, int32_t left, int32_t top,
                         int32_t bottom, double y0, double y1) {
    d->set_pen(colour, 1, PEN_SOLID);
    int32_t prev = -1, prev_top = 0, prev_bottom = 0;
    double prev_last = 0;
    for (int32_t c = 0; c < env.columns; c++) {
        if (!(env.lo[c] <= env.hi[c])) continue;
        const int32_t x = left + c;
        int32_t yt = value_to_y(env.hi[c], y0, y1, top, bottom);
        int32_t yb = value_to_y(env.lo[c], y0, y1, top, bottom);
        if (prev >= 0 && prev == c - 1) {
            reach_neighbour(&yt, &yb, prev_top, prev_bottom);
        } else if (prev >= 0 && !std::isnan(prev_last) && !std::isnan(env.first[c])) {
            // Columns without samples in between: a line, as consecutive samples are joined.
            d->move_to(left + prev, value_to_y(prev_last, y0, y1, top, bottom));
            d->line_to(x, value_to_y(env.first[c], y0, y1, top, bottom));
        }
        // Both end pixels included: a flat column still shows one pixel.
        d->move_to(x, yt);
        d->line_to(x, yb + 1);
        prev = c;
        prev_top = value_to_y(env.hi[c], y0, y1, top, bottom);
        prev_bottom = value_to_y(env.lo[c], y0, y1, top, bottom);
        prev_last = env.last[c];
    }
}

bool chart_envelope_spans(const ColumnEnvelope& env, int32_t top, int32_t bottom, double y0, double y1, int16_t* yt,
                          int16_t* yb) {
    int32_t prev = -1, prev_top = 0, prev_bottom = 0;
    for (int32_t c = 0; c < env.columns; c++) {
        yt[c] = 1;
        yb[c] = 0;  // empty
        if (!(env.lo[c] <= env.hi[c])) continue;
        if (prev >= 0 && prev != c - 1) return false;  // a gap would need a bridging line
        int32_t a = value_to_y(env.hi[c], y0, y1, top, bottom), b = value_to_y(env.lo[c], y0, y1, top, bottom);
        const int32_t own_top = a, own_bottom = b;
        if (prev >= 0) reach_neighbour(&a, &b, prev_top, prev_bottom);
        yt[c] = (int16_t)a;
        yb[c] = (int16_t)b;
        prev = c;
        prev_top = own_top;
        prev_bottom = own_bottom;
    }
    return true;
}

void chart_draw_spans_combined(DrawSurface* d, const int16_t (*yt)[CHART_COLUMN_LIMIT],
                               const int16_t (*yb)[CHART_COLUMN_LIMIT], const uint32_t* colours, int32_t n,
                               int32_t columns, int32_t left) {
    // Per column, from the series drawn last to the one drawn first: only the rows no later
    // series covers, so each pixel is written once with the colour painting in order would leave.
    for (int32_t c = 0; c < columns; c++) {
        int32_t cover_top[CHART_MAX_SERIES], cover_bottom[CHART_MAX_SERIES], covered = 0;
        for (int32_t i = n - 1; i >= 0; i--) {
            int32_t a = yt[i][c];
            const int32_t b = yb[i][c];
            if (a > b) continue;
            // The rows a..b minus the covered intervals (kept sorted and disjoint).
            for (int32_t k = 0; k <= covered && a <= b; k++) {
                const int32_t stop = k < covered ? cover_top[k] - 1 : b;
                const int32_t end = stop < b ? stop : b;
                if (a <= end) {
                    d->set_pen(colours[i], 1, PEN_SOLID);
                    d->move_to(left + c, a);
                    d->line_to(left + c, end + 1);
                }
                if (k < covered && cover_bottom[k] + 1 > a) a = cover_bottom[k] + 1;
            }
            // Merge yt..yb into the covered intervals.
            int32_t lo = yt[i][c], hi = b, out = 0;
            int32_t nt[CHART_MAX_SERIES + 1], nb[CHART_MAX_SERIES + 1];
            bool placed = false;
            for (int32_t k = 0; k < covered; k++) {
                if (cover_bottom[k] < lo - 1) {
                    nt[out] = cover_top[k], nb[out++] = cover_bottom[k];
                } else if (cover_top[k] > hi + 1) {
                    if (!placed) nt[out] = lo, nb[out++] = hi, placed = true;
                    nt[out] = cover_top[k], nb[out++] = cover_bottom[k];
                } else {
                    lo = cover_top[k] < lo ? cover_top[k] : lo;
                    hi = cover_bottom[k] > hi ? cover_bottom[k] : hi;
                }
            }
            if (!placed) nt[out] = lo, nb[out++] = hi;
            for (int32_t k = 0; k < out; k++) cover_top[k] = nt[k], cover_bottom[k] = nb[k];
            covered = out;
        }
    }
}
