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

// [SECTION] Min/max over arrays and ring runs ----------------------------------------------------

namespace {

// Folds the min/max of n ring samples from position p0 on (age order) into mn/mx, through the
// ring's blocks: one run of positions, or two when they wrap round the ring's end.
void ring_fold(const ChartSeries* s, int32_t p0, int32_t n, double* mn, double* mx) {
    const TrackMinMax* const levels[CHART_SUMMARY_LEVELS + 1] = {nullptr, s->blocks8, s->blocks64, s->blocks512};
    const int32_t first_run = p0 + n <= CHART_RING ? n : CHART_RING - p0;
    track_fold_levels(s->values, levels, CHART_SUMMARY_LEVELS + 1, p0, p0 + first_run, mn, mx);
    if (n > first_run) track_fold_levels(s->values, levels, CHART_SUMMARY_LEVELS + 1, 0, n - first_run, mn, mx);
}

}  // namespace

bool chart_ring_minmax(const ChartSeries* s, int32_t k0, int32_t k1, double* lo, double* hi) {
    if (k1 <= k0) return false;
    double mn = INFINITY, mx = -INFINITY;
    ring_fold(s, chart_ring_pos(s, k0), k1 - k0, &mn, &mx);
    if (!(mn <= mx)) return false;
    *lo = mn;
    *hi = mx;
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

namespace {

// First index in [lo, hi) whose time is >= t (hi when none), for times that never decrease,
// searched outwards from a guess. Neighbouring columns hold about as many samples each, so the
// guess is mostly right or near, and the search reads one or two cache lines of times.
template <typename TimeAt>
int64_t bound_near(const TimeAt& time_at, int64_t lo, int64_t hi, int64_t guess, int64_t t) {
    guess = guess < lo ? lo : (guess > hi ? hi : guess);
    int64_t a, b;  // the answer lies in [a, b]
    if (guess < hi && time_at(guess) < t) {
        int64_t step = 1;
        a = b = guess + 1;
        while (b < hi && time_at(b) < t) {
            a = b + 1;
            b += step;
            step *= 2;
        }
        if (b > hi) b = hi;
    } else {
        int64_t step = 1;
        a = b = guess;
        while (a > lo && time_at(a - 1) >= t) {
            b = a - 1;
            a -= step;
            step *= 2;
            if (a < lo) a = lo;
        }
    }
    while (a < b) {
        const int64_t m = a + (b - a) / 2;
        if (time_at(m) < t) a = m + 1;
        else b = m;
    }
    return a;
}

}  // namespace

void chart_columns_from_ring(ColumnEnvelope* env, const ColumnGrid& g, const ChartWindow* cw, const ChartSeries* s) {
    empty_envelope(env, g.columns);
    const int32_t end = s->count;
    const auto time_at = [s](int64_t k) { return s->times[chart_ring_pos(s, (int32_t)k)]; };
    int32_t k = chart_ring_lower_bound(s, chart_considered_first(cw, s), end, g.x0);
    int32_t width = 1;  // samples in the previous column: the guess for this one
    for (int32_t c = 0; c < g.columns && k < end; c++) {
        const int32_t next = (int32_t)bound_near(time_at, k, end, (int64_t)k + width, g.start[c + 1]);
        if (next > k) {
            const int32_t p0 = chart_ring_pos(s, k);
            double mn = INFINITY, mx = -INFINITY;
            ring_fold(s, p0, next - k, &mn, &mx);
            if (mn <= mx) {
                env->lo[c] = mn;
                env->hi[c] = mx;
                env->first[c] = s->values[p0];
                env->last[c] = s->values[chart_ring_pos(s, next - 1)];
            }
        }
        width = next - k;
        k = next;
    }
}

void chart_columns_from_track(ColumnEnvelope* env, const ColumnGrid& g, const SampleTrack* t) {
    empty_envelope(env, g.columns);
    const auto time_at = [t](int64_t i) { return t->times[i]; };
    int64_t k = track_lower_bound(t, g.x0), width = 1;
    for (int32_t c = 0; c < g.columns && k < t->count; c++) {
        const int64_t next = bound_near(time_at, k, t->count, k + width, g.start[c + 1]);
        if (next > k && track_range_minmax(t, k, next, &env->lo[c], &env->hi[c])) {
            env->first[c] = t->values[k];
            env->last[c] = t->values[next - 1];
        }
        width = next - k;
        k = next;
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
    static DrawRun runs[CHART_COLUMN_LIMIT];
    static int32_t first[CHART_COLUMN_LIMIT + 1], row_hi[CHART_COLUMN_LIMIT], row_lo[CHART_COLUMN_LIMIT];
    values_to_rows(env.hi, env.columns, y0, y1, top, bottom, row_hi);
    values_to_rows(env.lo, env.columns, y0, y1, top, bottom, row_lo);
    d->set_pen(colour, 1, PEN_SOLID);
    int32_t prev = -1, n = 0;
    double prev_last = 0;
    for (int32_t c = 0; c < env.columns; c++) {
        first[c] = n;
        if (!(env.lo[c] <= env.hi[c])) continue;
        const int32_t x = left + c;
        int32_t yt = row_hi[c], yb = row_lo[c];
        if (prev >= 0 && prev == c - 1) {
            reach_neighbour(&yt, &yb, row_hi[prev], row_lo[prev]);
        } else if (prev >= 0 && !std::isnan(prev_last) && !std::isnan(env.first[c])) {
            // Columns without samples in between: a line, as consecutive samples are joined.
            d->move_to(left + prev, value_to_y(prev_last, y0, y1, top, bottom));
            d->line_to(x, value_to_y(env.first[c], y0, y1, top, bottom));
        }
        // Both end pixels included: a flat column still shows one pixel.
        runs[n++] = DrawRun{yt, yb + 1, colour};
        prev = c;
        prev_last = env.last[c];
    }
    first[env.columns] = n;
    d->column_runs(left, env.columns, first, runs);
}

bool chart_envelope_spans(const ColumnEnvelope& env, int32_t top, int32_t bottom, double y0, double y1, int16_t* yt,
                          int16_t* yb) {
    static int32_t row_hi[CHART_COLUMN_LIMIT], row_lo[CHART_COLUMN_LIMIT];
    values_to_rows(env.hi, env.columns, y0, y1, top, bottom, row_hi);
    values_to_rows(env.lo, env.columns, y0, y1, top, bottom, row_lo);
    int32_t prev = -1;
    for (int32_t c = 0; c < env.columns; c++) {
        yt[c] = 1;
        yb[c] = 0;  // empty
        if (!(env.lo[c] <= env.hi[c])) continue;
        if (prev >= 0 && prev != c - 1) return false;  // a gap would need a bridging line
        int32_t a = row_hi[c], b = row_lo[c];
        if (prev >= 0) reach_neighbour(&a, &b, row_hi[prev], row_lo[prev]);
        yt[c] = (int16_t)a;
        yb[c] = (int16_t)b;
        prev = c;
    }
    return true;
}

void chart_draw_spans_combined(DrawSurface* d, const int16_t (*yt)[CHART_COLUMN_LIMIT],
                               const int16_t (*yb)[CHART_COLUMN_LIMIT], const uint32_t* colours, int32_t n,
                               int32_t columns, int32_t left) {
    // A column yields at most n + (n - 1) + ... + 1 pieces: series i is cut by the intervals of
    // the series after it.
    enum : int32_t { kRunCapacity = 8192, kColumnPiecesMax = CHART_MAX_SERIES * (CHART_MAX_SERIES + 1) / 2 };
    static DrawRun runs[kRunCapacity];
    static int32_t first[CHART_COLUMN_LIMIT + 1];
    int32_t used = 0, batch = 0;
    // Per column, from the series drawn last to the one drawn first: only the rows no later
    // series covers, so each pixel is written once with the colour painting in order would leave.
    for (int32_t c = 0; c < columns; c++) {
        if (kRunCapacity - used < kColumnPiecesMax) {
            first[c - batch] = used;
            d->column_runs(left + batch, c - batch, first, runs);
            used = 0;
            batch = c;
        }
        first[c - batch] = used;
        // Rows covered by the series already seen: sorted intervals, neither overlapping nor touching.
        int32_t top[CHART_MAX_SERIES + 1], bottom[CHART_MAX_SERIES + 1], covered = 0;
        for (int32_t i = n - 1; i >= 0; i--) {
            const int32_t a = yt[i][c], b = yb[i][c];
            if (a > b) continue;
            // Intervals [k, j) overlap or touch a..b; the rows of a..b between them are this
            // series' pieces.
            int32_t k = 0;
            while (k < covered && bottom[k] < a - 1) k++;
            int32_t j = k, row = a;
            for (; j < covered && top[j] <= b + 1; j++) {
                if (top[j] > row) runs[used++] = DrawRun{row, (top[j] <= b ? top[j] : b + 1), colours[i]};
                if (bottom[j] + 1 > row) row = bottom[j] + 1;
            }
            if (row <= b) runs[used++] = DrawRun{row, b + 1, colours[i]};
            // The intervals k..j-1 and a..b become one.
            const int32_t merged_top = k < j && top[k] < a ? top[k] : a;
            const int32_t merged_bottom = k < j && bottom[j - 1] > b ? bottom[j - 1] : b;
            const int32_t removed = j - k - 1;  // -1: one interval is inserted
            if (removed < 0) {
                for (int32_t m = covered; m > k; m--) top[m] = top[m - 1], bottom[m] = bottom[m - 1];
            } else if (removed > 0) {
                for (int32_t m = k + 1; m + removed < covered; m++)
                    top[m] = top[m + removed], bottom[m] = bottom[m + removed];
            }
            covered -= removed;
            top[k] = merged_top;
            bottom[k] = merged_bottom;
        }
    }
    first[columns - batch] = used;
    d->column_runs(left + batch, columns - batch, first, runs);
}
