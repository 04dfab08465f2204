// chart_view.cpp - view computation, mappings, labels and the actions that change the view.
//
// Index
//   [SECTION] Geometry and mappings
//   [SECTION] View computation
//   [SECTION] Labels
//   [SECTION] Stacked rows
//   [SECTION] Mode events
//   [SECTION] Wheel and box zoom
//   [SECTION] Animation
//   [SECTION] Drag pan
//   [SECTION] Scroll bar
#include "chart/chart_view.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cfloat>
#include <climits>
#include <cmath>

#include "chart/chart_columns.h"
#include "core/log.h"
#include "core/text.h"

namespace {

// Clamps a double to [lo, hi] before it becomes an integer (NaN gives lo), so no conversion of
// an out-of-range double ever happens.
int32_t clamp_pixel(double v, int32_t lo, int32_t hi) {
    if (!(v >= (double)lo)) return lo;
    if (v >= (double)hi) return hi;
    return (int32_t)v;
}

int64_t clamp_i64(double v) {
    if (!(v > -9.2e18)) return v != v ? 0 : INT64_MIN;
    if (v >= 9.2e18) return INT64_MAX;
    return (int64_t)v;
}

void repaint(ChartWindow* cw) { chart_invalidate(cw, 1); }

}  // namespace

// [SECTION] Geometry and mappings ----------------------------------------------------------------

DrawRect chart_plot_rect(int32_t width, int32_t height) {
    return DrawRect{CHART_PLOT_LEFT, CHART_PLOT_TOP, width - CHART_PLOT_RIGHT_GAP, height - CHART_PLOT_BOTTOM_GAP};
}

int32_t chart_in_plot(const DrawRect& plot, int32_t x, int32_t y) {
    return x >= plot.left && x <= plot.right && y >= plot.top && y <= plot.bottom;
}

int32_t time_to_x(int64_t t, int64_t x0, int64_t x1, int32_t left, int32_t right) {
    if (x1 <= x0) return left + (right - left) / 2;
    double px = std::trunc(((double)t - (double)x0) * (double)(right - left) / ((double)x1 - (double)x0));
    return clamp_pixel((double)left + px, left, right);
}

void values_to_rows(const double* v, int32_t n, double y0, double y1, int32_t top, int32_t bottom, int32_t* rows) {
    int32_t i = 0;
#if defined(__SSE2__)
    // value_to_y truncates (v - y0) / span * height and clamps bottom - that to top..bottom; for a
    // plot the right way up that is the truncation of the quotient clamped to 0..height, NaN at 0.
    if (bottom >= top) {
        const double span = y1 - y0 < 1e-12 ? 1 : y1 - y0;
        const __m128d base = _mm_set1_pd(y0), scale = _mm_set1_pd(span), height = _mm_set1_pd((double)(bottom - top));
        const __m128d zero = _mm_setzero_pd();
        for (; i + 2 <= n; i += 2) {
            __m128d x = _mm_mul_pd(_mm_div_pd(_mm_sub_pd(_mm_loadu_pd(v + i), base), scale), height);
            x = _mm_min_pd(_mm_max_pd(x, zero), height);  // maxpd gives its second operand for NaN
            const __m128i k = _mm_cvttpd_epi32(x);
            rows[i] = bottom - _mm_cvtsi128_si32(k);
            rows[i + 1] = bottom - _mm_cvtsi128_si32(_mm_shuffle_epi32(k, 1));
        }
    }
#endif
    for (; i < n; i++) rows[i] = value_to_y(v[i], y0, y1, top, bottom);
}

int64_t x_to_time(int32_t x, int64_t x0, int64_t x1, int32_t left, int32_t right) {
    if (right == left) return x0;
    return x0 + clamp_i64(std::trunc(((double)x1 - (double)x0) * (double)(x - left) / (double)(right - left)));
}

// [SECTION] View computation ---------------------------------------------------------------------

namespace {

// Values of the view's range scan so far.
struct RangeScan {
    int64_t scan_min, scan_max;  // times of the considered samples (follow mode's range)
    double vis_lo, vis_hi;       // values inside a manual time range
    int32_t vis_any;
};

// Values near the largest double (uninitialised memory read as a double) give a range whose
// width, or whose margin, overflows: every value would then map to one row. The range is kept
// finite with a finite width; values beyond it are drawn at the edge like any value out of view.
void keep_range_finite(double* lo, double* hi) {
    if (*hi - *lo <= DBL_MAX) return;
    *lo = *lo < -DBL_MAX ? -DBL_MAX : *lo;
    *hi = *hi > DBL_MAX ? DBL_MAX : *hi;
    if (*hi - *lo <= DBL_MAX) return;
    // Both ends finite and far apart: one below zero, one above.
    *lo = *lo < -DBL_MAX / 2 ? -DBL_MAX / 2 : *lo;
    *hi = *hi > DBL_MAX / 2 ? DBL_MAX / 2 : *hi;
}

void fold_value(double value, double* lo, double* hi) {
    if (value < *lo) *lo = value;
    if (value > *hi) *hi = value;
}

// Finite min/max of ring ages [k0, k1): the vector pass first, the exact walk only when an
// infinity got in (infinite values cannot be shown; they would turn the range into NaN).
void fold_ring_finite(const ChartSeries* s, int32_t k0, int32_t k1, double* lo, double* hi, int32_t* any) {
    double a, b;
    if (!chart_ring_minmax(s, k0, k1, &a, &b)) return;
    if (std::isfinite(a) && std::isfinite(b)) {
        *any = 1;
        fold_value(a, lo, hi);
        fold_value(b, lo, hi);
        return;
    }
    for (int32_t k = k0; k < k1; k++) {
        const double value = s->values[chart_ring_pos(s, k)];
        if (!std::isfinite(value)) continue;
        *any = 1;
        fold_value(value, lo, hi);
    }
}

// The same over track samples [i0, i1), through the pyramid.
void fold_track_finite(const SampleTrack* t, int64_t i0, int64_t i1, double* lo, double* hi, int32_t* any) {
    double a, b;
    if (!track_range_minmax(t, i0, i1, &a, &b)) return;
    if (std::isfinite(a) && std::isfinite(b)) {
        *any = 1;
        fold_value(a, lo, hi);
        fold_value(b, lo, hi);
        return;
    }
    for (int64_t i = i0; i < i1; i++) {
        if (!std::isfinite(t->values[i])) continue;
        *any = 1;
        fold_value(t->values[i], lo, hi);
    }
}

// An ordered ring: the same results as the walk below, by bisection and vector min/max.
void scan_ordered_ring(const ChartWindow* cw, const ChartSeries* s, int32_t manual, int64_t limit, ViewInfo* v,
                       RangeScan* r) {
    const int32_t first = chart_considered_first(cw, s);
    if (first >= s->count) return;
    v->has_samples = v->has_time = 1;
    const int64_t t_first = s->times[chart_ring_pos(s, first)];
    if (t_first < r->scan_min) r->scan_min = t_first;
    // The walk stops after the first sample past the limit; that sample's time is scanned, its
    // value is not.
    const int32_t end = limit == INT64_MAX ? s->count : chart_ring_lower_bound(s, first, s->count, limit + 1);
    const int64_t t_last = s->times[chart_ring_pos(s, end < s->count ? end : s->count - 1)];
    if (t_last > r->scan_max) r->scan_max = t_last;
    int32_t any = 0;
    fold_ring_finite(s, first, end, &v->y0, &v->y1, &any);
    if (manual) {
        const int32_t a = chart_ring_lower_bound(s, first, end, cw->view_x0);
        const int32_t b = cw->view_x1 == INT64_MAX ? end : chart_ring_lower_bound(s, a, end, cw->view_x1 + 1);
        fold_ring_finite(s, a, b, &r->vis_lo, &r->vis_hi, &r->vis_any);
    }
}

void scan_ring(const ChartWindow* cw, const ChartSeries* s, int32_t manual, int64_t limit, ViewInfo* v,
               RangeScan* r) {
    const int32_t first = chart_considered_first(cw, s);
    for (int32_t k = first; k < s->count; k++) {
        const int32_t pos = chart_ring_pos(s, k);
        const int64_t t = s->times[pos];
        const double value = s->values[pos];
        v->has_samples = 1;
        const int32_t valid = chart_time_valid(t);
        if (valid) {
            v->has_time = 1;
            if (t < r->scan_min) r->scan_min = t;
            if (t > r->scan_max) r->scan_max = t;
            if (t > limit) break;
        }
        if (!std::isfinite(value)) continue;
        fold_value(value, &v->y0, &v->y1);
        if (manual && valid && t >= cw->view_x0 && t <= cw->view_x1) {
            r->vis_any = 1;
            fold_value(value, &r->vis_lo, &r->vis_hi);
        }
    }
}

}  // namespace

ViewInfo chart_compute_view(const ChartWindow* cw) {
    ViewInfo v = {};
    v.t_min = INT64_MAX;
    v.t_max = INT64_MIN;
    v.y0 = 1e300;
    v.y1 = -1e300;
    RangeScan r = {INT64_MAX, INT64_MIN, 1e300, -1e300, 0};
    const int32_t manual = !cw->show_all && !cw->auto_x;
    const int64_t limit = manual ? cw->view_x1 : INT64_MAX;

    for (int32_t i = 0; i < cw->series_count; i++) {
        const ChartSeries* s = &cw->series[i];
        if (chart_cache_usable(s)) {
            v.has_time = v.has_samples = 1;
            if (s->track->t0 < v.t_min) v.t_min = s->track->t0;
            if (s->track->t1 > v.t_max) v.t_max = s->track->t1;
        }
        if (s->count == 0) continue;
        int64_t oldest = s->times[chart_ring_pos(s, 0)];
        int64_t newest = s->times[chart_ring_pos(s, s->count - 1)];
        if (chart_time_valid(oldest)) {
            v.has_time = 1;
            if (oldest < v.t_min) v.t_min = oldest;
        }
        if (chart_time_valid(newest)) {
            v.has_time = 1;
            if (newest > v.t_max) v.t_max = newest;
        }
        if (chart_ring_ordered(cw, s)) scan_ordered_ring(cw, s, manual, limit, &v, &r);
        else scan_ring(cw, s, manual, limit, &v, &r);
        const int32_t considered = chart_considered_count(cw, s);
        if (considered > v.max_considered) v.max_considered = considered;
    }

    if (r.vis_any) {
        v.y0 = r.vis_lo;
        v.y1 = r.vis_hi;
    }
    if (v.has_time) {
        if (cw->show_all) {
            v.x0 = v.t_min;
            v.x1 = v.t_max;
        } else if (cw->auto_x) {
            v.x0 = r.scan_min;
            v.x1 = r.scan_max;
        } else {
            v.x0 = cw->view_x0;
            v.x1 = cw->view_x1;
        }
    }
    if (cw->auto_y) {
        if (v.has_time && v.x0 < v.x1) {
            // The tracks' samples inside the shown time range, exactly, through their pyramids.
            for (int32_t i = 0; i < cw->series_count; i++) {
                const ChartSeries* s = &cw->series[i];
                if (!chart_cache_usable(s)) continue;
                int32_t any = 0;
                fold_track_finite(s->track, track_lower_bound(s->track, v.x0), track_upper_bound(s->track, v.x1),
                                  &v.y0, &v.y1, &any);
            }
        }
    } else {
        v.y0 = cw->view_y0;
        v.y1 = cw->view_y1;
    }
    if (!v.has_samples) {
        v.y0 = -1;
        v.y1 = 1;
    }
    if (!(v.y1 - v.y0 >= 1e-12)) {
        // Flat (or non-finite) ranges get +-1 around their value; an all-NaN range becomes -1..1.
        if (!std::isfinite(v.y0) || !std::isfinite(v.y1)) v.y0 = v.y1 = 0;
        v.y0 -= 1;
        v.y1 += 1;
    } else if (cw->auto_y) {
        const double m = (v.y1 - v.y0) * 0.08;
        v.y0 -= m;
        v.y1 += m;
    }
    keep_range_finite(&v.y0, &v.y1);
    return v;
}

void chart_take_over_view(ChartWindow* cw, const ViewInfo* v) {
    if (cw->auto_x) {
        cw->view_x0 = v->x0;
        cw->view_x1 = v->x1;
    }
    if (cw->auto_y) {
        cw->view_y0 = v->y0;
        cw->view_y1 = v->y1;
    }
}

// [SECTION] Labels -------------------------------------------------------------------------------

namespace {

void format_minutes(double s, char* out, size_t size) {
    long long whole = (long long)s;
    text_printf(out, size, "%dm%02ds", (int)(whole / 60), (int)(whole % 60));
}

}  // namespace

void format_axis_time(double s, char* out, size_t size) {
    if (s >= 60)
        format_minutes(s, out, size);
    else if (s >= 1)
        text_printf(out, size, "%.1fs", s);
    else if (s >= 0.001)
        text_printf(out, size, "%.0fms", s * 1000);
    else
        text_printf(out, size, "0");
}

void format_delta_time(int64_t d, char* out, size_t size) {
    const double s = (double)d / 1e6;
    if (s < 0.001)
        text_printf(out, size, "%lldµs", (long long)d);
    else if (s < 1)
        text_printf(out, size, "%.3fms", s * 1000);
    else if (s < 60)
        text_printf(out, size, "%.1fs", s);
    else
        format_minutes(s, out, size);
}

namespace {

// Fewest decimals, from `least` up to `most`, that show x within a hundredth of the label step:
// "%.0fms" would print a 2.5 ms tick as "3ms", which misplaces it by a fifth of the step.
int32_t label_decimals(double x, double step, int32_t least, int32_t most) {
    double scale = 1;
    for (int32_t i = 0; i < least; i++) scale *= 10;
    for (int32_t decimals = least; decimals < most; decimals++, scale *= 10)
        if (std::fabs(std::round(x * scale) / scale - x) <= step * 0.01) return decimals;
    return most;
}

}  // namespace

void format_axis_time_step(double s, double step, char* out, size_t size) {
    if (s >= 60 || s <= 0 || step <= 0) {
        format_axis_time(s, out, size);
    } else if (s >= 1) {
        text_printf(out, size, "%.*fs", (int)label_decimals(s, step, 1, 4), s);
    } else if (s >= 0.001) {
        text_printf(out, size, "%.*fms", (int)label_decimals(s * 1e3, step * 1e3, 0, 3), s * 1e3);
    } else {
        // Zoomed in to single samples: ticks closer than a millisecond read in microseconds.
        text_printf(out, size, "%.*fµs", (int)label_decimals(s * 1e6, step * 1e6, 0, 3), s * 1e6);
    }
}

void chart_time_label(const ViewInfo* v, int32_t j, char* out, size_t size) {
    if (v->has_time) {
        double span = ((double)v->x1 - (double)v->x0) / 1e6;
        const double step = (span > 0 ? span : 0) * 0.25;
        format_axis_time_step(j * step, step, out, size);
        return;
    }
    // Drawn against sample index: the labels count samples from the left edge.
    const int32_t last = v->max_considered > 1 ? v->max_considered - 1 : 0;
    if (last == 0)
        text_printf(out, size, "0");
    else
        text_printf(out, size, "#%d", (int)((int64_t)last * j / 4));
}

double chart_value_label(double y0, double y1, int32_t j, int32_t parts) {
    return y1 - (y1 - y0) * j * (1.0 / parts);
}

// [SECTION] Stacked rows -------------------------------------------------------------------------

DrawRect chart_row_rect(const DrawRect& plot, int32_t n, int32_t j) {
    if (n <= 0) return plot;
    const int32_t h = (plot.bottom - plot.top) / n;
    DrawRect r = plot;
    r.top = plot.top + j * h;
    r.bottom = j == n - 1 ? plot.bottom : plot.top + (j + 1) * h;
    return r;
}

void chart_row_range(const ChartWindow* cw, const ChartSeries* s, double* lo, double* hi) {
    const int32_t manual = !cw->show_all && !cw->auto_x;
    double mn = 1e300, mx = -1e300;
    int32_t any = 0;
    const int32_t first = chart_considered_first(cw, s);
    if (chart_ring_ordered(cw, s)) {
        const int32_t a = manual ? chart_ring_lower_bound(s, first, s->count, cw->view_x0) : first;
        const int32_t b = !manual || cw->view_x1 == INT64_MAX ? s->count
                                                              : chart_ring_lower_bound(s, a, s->count, cw->view_x1 + 1);
        fold_ring_finite(s, a, b, &mn, &mx, &any);
    } else {
        for (int32_t k = first; k < s->count; k++) {
            const int32_t pos = chart_ring_pos(s, k);
            if (manual) {
                const int64_t t = s->times[pos];
                if (!chart_time_valid(t) || t < cw->view_x0 || t > cw->view_x1) continue;
            }
            const double value = s->values[pos];
            if (!std::isfinite(value)) continue;
            any = 1;
            fold_value(value, &mn, &mx);
        }
    }
    // The row's track counts as its samples do: the whole recording, or what a manual time range
    // shows of it.
    if (chart_cache_usable(s)) {
        const SampleTrack* t = s->track;
        const int64_t a = manual ? track_lower_bound(t, cw->view_x0) : 0;
        const int64_t b = manual ? track_upper_bound(t, cw->view_x1) : t->count;
        fold_track_finite(t, a, b, &mn, &mx, &any);
    }
    if (!any) {
        *lo = -1;
        *hi = 1;
        return;
    }
    if (!(mx - mn >= 1e-12)) {
        *lo = mn - 1;
        *hi = mx + 1;
    } else {
        *lo = mn - 0.08 * (mx - mn);
        *hi = mx + 0.08 * (mx - mn);
    }
    keep_range_finite(lo, hi);
}

// [SECTION] Mode events --------------------------------------------------------------------------

void chart_on_acquisition_started(ChartWindow* cw) {
    // Live samples take over: a replay track would hide them wherever it covers the view.
    chart_drop_track_refs(cw);
    cw->paused = 0;
    cw->show_all = 0;
    cw->auto_x = cw->auto_y = 1;
    log_printf(LOG_DEBUG, "波形跟随最新 (开始采集)");
    repaint(cw);
}

void chart_on_acquisition_stopped(ChartWindow* cw) {
    cw->paused = 1;
    cw->show_all = 1;
    cw->auto_x = cw->auto_y = 1;
    chart_clear_markers(cw);
    log_printf(LOG_DEBUG, "波形整体展示 (停止采集)");
    repaint(cw);
}

void chart_toggle_pause(ChartWindow* cw) {
    if (!cw->paused) {
        cw->paused = 1;
        cw->show_all = 1;
    } else {
        cw->paused = 0;
        cw->show_all = 0;
        cw->auto_x = cw->auto_y = 1;
    }
    repaint(cw);
}

void chart_fit_all(ChartWindow* cw, int32_t from_key) {
    cw->show_all = cw->auto_x = cw->auto_y = 1;
    chart_clear_markers(cw);
    log_printf(LOG_DEBUG, from_key ? "波形全局显示 (F)" : "波形全局显示 (菜单)");
    repaint(cw);
}

void chart_reset_zoom(ChartWindow* cw) {
    cw->show_all = 0;
    cw->auto_x = cw->auto_y = 1;
    chart_clear_markers(cw);
    repaint(cw);
}

void chart_toggle_stacked(ChartWindow* cw, int32_t from_menu) {
    cw->stacked = !cw->stacked;
    if (from_menu)
        log_printf(LOG_DEBUG, "波形多坐标轴: %d (菜单)", cw->stacked);
    else
        log_printf(LOG_DEBUG, "波形多坐标轴: %d", cw->stacked);
    repaint(cw);
}

// [SECTION] Wheel and box zoom -------------------------------------------------------------------

int32_t chart_wheel(ChartWindow* cw, int32_t width, int32_t height, int32_t x, int32_t y, int32_t wheel_delta,
                    int32_t ctrl) {
    if (!chart_in_plot(chart_plot_rect(width, height), x, y)) return 0;
    return ctrl ? chart_zoom_value(cw, width, height, y, wheel_delta) : chart_zoom_time(cw, width, height, x, wheel_delta);
}

int32_t chart_zoom_time(ChartWindow* cw, int32_t width, int32_t height, int32_t x, int32_t wheel_delta) {
    const DrawRect p = chart_plot_rect(width, height);
    const double factor = std::pow(0.8, wheel_delta / 120.0);
    const ViewInfo v = chart_compute_view(cw);
    int32_t set = 0;
    if (v.has_time && v.x0 < v.x1 && p.right > p.left) {
        double u = (double)(x - p.left) / (double)(p.right - p.left);
        u = u < 0 ? 0 : (u > 1 ? 1 : u);
        const double range = (double)v.x1 - (double)v.x0;
        double s = range * factor;
        if (s < 1000) s = 1000;
        double a = (double)v.x0 + range * u - s * u;
        double b = a + s;
        if (v.t_min > INT64_MIN && a < (double)v.t_min) a = (double)v.t_min;
        if (v.t_max < INT64_MAX && b > (double)v.t_max) b = (double)v.t_max;
        const int64_t ta = clamp_i64(std::trunc(a)), tb = clamp_i64(std::trunc(b));
        if (a < b && !(ta == v.x0 && tb == v.x1)) {
            chart_take_over_view(cw, &v);
            cw->show_all = cw->auto_x = 0;
            cw->target_x0 = ta;
            cw->target_x1 = tb;
            cw->anim_x = 1;
            chart_anim_start(cw);
            log_printf(LOG_DEBUG, "波形 X 轴缩放: [%lld,%lld] us (目标; 起点=[%lld,%lld])", (long long)ta,
                       (long long)tb, (long long)cw->view_x0, (long long)cw->view_x1);
            set = 1;
        }
    }
    chart_clear_markers(cw);
    repaint(cw);
    return set;
}

int32_t chart_zoom_value(ChartWindow* cw, int32_t width, int32_t height, int32_t y, int32_t wheel_delta) {
    const DrawRect p = chart_plot_rect(width, height);
    const double factor = std::pow(0.8, wheel_delta / 120.0);
    const ViewInfo v = chart_compute_view(cw);
    if (!v.has_samples) return 0;
    int32_t set = 0;
    double u = p.bottom > p.top ? (double)(p.bottom - y) / (double)(p.bottom - p.top) : 0;
    u = u < 0 ? 0 : (u > 1 ? 1 : u);
    double s = (v.y1 - v.y0) * factor;
    if (!(s >= 1e-12)) s = 1e-12;
    const double a = v.y0 + (v.y1 - v.y0) * u - s * u;
    const double b = a + s;
    if (a < b && !(a == v.y0 && b == v.y1)) {
        chart_take_over_view(cw, &v);
        cw->auto_y = 0;
        log_printf(LOG_DEBUG, "波形 Y 轴缩放: [%g,%g] (目标)", a, b);
        cw->target_y0 = a;
        cw->target_y1 = b;
        cw->anim_y = 1;
        chart_anim_start(cw);
        set = 1;
    }
    chart_clear_markers(cw);
    repaint(cw);
    return set;
}

int32_t chart_box_zoom(ChartWindow* cw, int32_t width, int32_t height) {
    const DrawRect p = chart_plot_rect(width, height);
    const int32_t bx0 = cw->box_x0 < cw->box_x1 ? cw->box_x0 : cw->box_x1;
    const int32_t bx1 = cw->box_x0 < cw->box_x1 ? cw->box_x1 : cw->box_x0;
    const int32_t by0 = cw->box_y0 < cw->box_y1 ? cw->box_y0 : cw->box_y1;
    const int32_t by1 = cw->box_y0 < cw->box_y1 ? cw->box_y1 : cw->box_y0;
    if (bx1 - bx0 < 6 || by1 - by0 < 6 || p.right <= p.left || p.bottom <= p.top) return 0;

    const ViewInfo v = chart_compute_view(cw);
    chart_take_over_view(cw, &v);
    int64_t a = 0, b = 0;
    int32_t time_ok = 0;
    if (v.has_time && v.x0 < v.x1) {
        const double pf = (double)(bx0 - p.left) / (double)(p.right - p.left);
        const double qf = (double)(bx1 - p.left) / (double)(p.right - p.left);
        if (pf < qf) {
            const double range = (double)v.x1 - (double)v.x0;
            a = v.x0 + clamp_i64(std::trunc(range * pf));
            b = v.x0 + clamp_i64(std::trunc(range * qf));
            if (b <= a) b = a + 1;
            time_ok = a < b;
        }
    }
    double lo = 0, hi = 0;
    int32_t value_ok = 0;
    if (v.y1 > v.y0) {
        const double pf = (double)(by0 - p.top) / (double)(p.bottom - p.top);
        const double qf = (double)(by1 - p.top) / (double)(p.bottom - p.top);
        if (pf < qf) {
            hi = v.y1 - (v.y1 - v.y0) * pf;
            lo = v.y1 - (v.y1 - v.y0) * qf;
            if (hi <= lo) {
                hi = v.y1;
                lo = v.y0;
            }
            value_ok = hi > lo;
        }
    }
    if (!time_ok && !value_ok) return 0;
    if (time_ok) {
        cw->target_x0 = a;
        cw->target_x1 = b;
        cw->anim_x = 1;
    }
    if (value_ok) {
        cw->target_y0 = lo;
        cw->target_y1 = hi;
        cw->anim_y = 1;
    }
    chart_anim_start(cw);
    chart_clear_markers(cw);
    cw->show_all = cw->auto_x = cw->auto_y = 0;
    log_printf(LOG_INFO, "波形框选缩放: X=[%lld,%lld]us Y=[%g,%g]", (long long)(time_ok ? a : cw->view_x0),
               (long long)(time_ok ? b : cw->view_x1), value_ok ? lo : cw->view_y0, value_ok ? hi : cw->view_y1);
    return 1;
}

// [SECTION] Animation ----------------------------------------------------------------------------

void chart_anim_start(ChartWindow* cw) {
    if (cw->anim_timer_on) return;
    cw->anim_timer_on = 1;
    if (g_chart_hooks.anim_timer) g_chart_hooks.anim_timer(cw->window, 1);
}

namespace {

// Moves one end 45 % of the way to its target; 1 when it snapped onto the target.
int32_t step_time(int64_t* e, int64_t g) {
    const __int128 d = (__int128)g - (__int128)*e;
    if (d > 1) {
        __int128 m = d * 45 / 100;
        *e += (int64_t)(m < 1 ? 1 : m);
        return 0;
    }
    if (d < -1) {
        __int128 m = (-d) * 45 / 100;
        *e -= (int64_t)(m < 1 ? 1 : m);
        return 0;
    }
    *e = g;
    return 1;
}

int32_t step_value(double* e, double g) {
    const double d = g - *e;
    if (std::fabs(d) > 1e-9) {
        *e += 0.45 * d;
        return 0;
    }
    *e = g;
    return 1;
}

}  // namespace

int32_t chart_anim_tick(ChartWindow* cw) {
    int32_t done_x = 1, done_y = 1;
    if (cw->anim_x) {
        const int32_t a = step_time(&cw->view_x0, cw->target_x0);
        const int32_t b = step_time(&cw->view_x1, cw->target_x1);
        done_x = a && b;
    }
    if (cw->anim_y) {
        const int32_t a = step_value(&cw->view_y0, cw->target_y0);
        const int32_t b = step_value(&cw->view_y1, cw->target_y1);
        done_y = a && b;
    }
    int32_t running = 1;
    if (done_x && done_y) {
        cw->anim_timer_on = cw->anim_x = cw->anim_y = 0;
        if (g_chart_hooks.anim_timer) g_chart_hooks.anim_timer(cw->window, 0);
        running = 0;
    }
    repaint(cw);
    return running;
}

// [SECTION] Drag pan -----------------------------------------------------------------------------

void chart_pan_press(ChartWindow* cw, int32_t x, int32_t y) {
    const ViewInfo v = chart_compute_view(cw);
    cw->pan_x0 = v.x0;
    cw->pan_x1 = v.x1;
    cw->pan_t_min = v.t_min;
    cw->pan_t_max = v.t_max;
    cw->pan_y0 = v.y0;
    cw->pan_y1 = v.y1;
    cw->pan_anchor_x = x;
    cw->pan_anchor_y = y;
    cw->panning = 0;
}

int32_t chart_pan_move(ChartWindow* cw, int32_t width, int32_t height, int32_t x, int32_t y) {
    if (!cw->panning) {
        if (cw->pan_anchor_x == 0 && cw->pan_anchor_y == 0) return 0;
        const int64_t dx = x - cw->pan_anchor_x, dy = y - cw->pan_anchor_y;
        if (dx * dx + dy * dy <= 36) return 0;
        cw->panning = 1;
        log_printf(LOG_DEBUG, "波形拖拽平移开始");
    }
    const DrawRect p = chart_plot_rect(width, height);
    if (cw->pan_x1 > cw->pan_x0 && p.right > p.left) {
        const double shift_d = std::trunc(((double)cw->pan_x1 - (double)cw->pan_x0) / (double)(p.right - p.left) *
                                          (double)(x - cw->pan_anchor_x));
        const int64_t shift = clamp_i64(shift_d);
        int64_t a = cw->pan_x0 - shift, b = cw->pan_x1 - shift;
        if (b > a) {
            if (cw->pan_t_max > cw->pan_t_min) {
                const int64_t s = b - a;
                const int64_t r = a >= cw->pan_t_min ? b : cw->pan_t_min + s;
                if (r <= cw->pan_t_max) {
                    b = r;
                    if (a < cw->pan_t_min) a = cw->pan_t_min;
                } else {
                    b = cw->pan_t_max;
                    a = cw->pan_t_max - s;
                }
                if (a < cw->pan_t_min) a = cw->pan_t_min;
            }
            cw->view_x0 = a;
            cw->view_x1 = b;
            // Only a stored time range may switch the axis to manual: without one the manual
            // range would be whatever an earlier zoom left behind.
            cw->show_all = cw->auto_x = 0;
        }
    }
    if (!cw->auto_y && p.bottom > p.top && cw->pan_y1 > cw->pan_y0) {
        const double dv = (cw->pan_y1 - cw->pan_y0) / (double)(p.bottom - p.top) * (double)(y - cw->pan_anchor_y);
        cw->view_y0 = cw->pan_y0 + dv;
        cw->view_y1 = cw->pan_y1 + dv;
    }
    chart_clear_markers(cw);
    repaint(cw);
    return 1;
}

int32_t chart_pan_release(ChartWindow* cw) {
    if (!cw->panning) return 0;
    cw->panning = 0;
    log_printf(LOG_DEBUG, "波形拖拽平移结束: X=[%lld,%lld]us", (long long)cw->view_x0, (long long)cw->view_x1);
    return 1;
}

void chart_pan_cancel(ChartWindow* cw) {
    cw->panning = 0;
    cw->box_active = 0;
    cw->pan_anchor_x = cw->pan_anchor_y = 0;
}

// [SECTION] Scroll bar ---------------------------------------------------------------------------

int32_t chart_scrollbar_state(const ChartWindow* cw, const ViewInfo* v, int32_t* page, int32_t* position) {
    if (!v->has_time || v->t_min >= v->t_max || cw->auto_x || cw->show_all) return 0;
    const __int128 data = (__int128)v->t_max - v->t_min;
    const __int128 shown = (__int128)v->x1 - v->x0;
    if (!(shown > 0 && shown < data)) return 0;
    __int128 pg = shown * CHART_SCROLL_RANGE / data;
    if (pg < 1) pg = 1;
    __int128 pos = ((__int128)v->x0 - v->t_min) * CHART_SCROLL_RANGE / data;
    if (pos < 0) pos = 0;
    if (pos > CHART_SCROLL_RANGE - pg) pos = CHART_SCROLL_RANGE - pg;
    if (page) *page = (int32_t)pg;
    if (position) *position = (int32_t)pos;
    return 1;
}

int32_t chart_scroll(ChartWindow* cw, ChartScrollRequest request, int32_t thumb, int32_t page, int32_t position) {
    if (request == CHART_SCROLL_END_SCROLL) return -1;
    const ViewInfo v = chart_compute_view(cw);
    if (!v.has_time || v.t_min >= v.t_max) return -1;
    const __int128 data = (__int128)v.t_max - v.t_min;
    __int128 span = (__int128)v.x1 - v.x0;
    if (span < 1) span = data <= 100 ? 1 : data / 100;
    int32_t pos = position;
    switch (request) {
    case CHART_SCROLL_LINE_LEFT: pos -= 10; break;
    case CHART_SCROLL_LINE_RIGHT: pos += 10; break;
    case CHART_SCROLL_PAGE_LEFT: pos -= page; break;
    case CHART_SCROLL_PAGE_RIGHT: pos += page; break;
    case CHART_SCROLL_LEFT_END: pos = 0; break;
    case CHART_SCROLL_RIGHT_END: pos = CHART_SCROLL_RANGE; break;
    default: pos = thumb; break;
    }
    if (page < 1) page = 1;
    if (page > CHART_SCROLL_RANGE) page = CHART_SCROLL_RANGE;
    if (pos > CHART_SCROLL_RANGE - page) pos = CHART_SCROLL_RANGE - page;
    if (pos < 0) pos = 0;
    __int128 x0 = (__int128)v.t_min + data * pos / CHART_SCROLL_RANGE;
    __int128 x1 = x0 + span;
    if (x1 > v.t_max) {
        x1 = v.t_max;
        x0 = (__int128)v.t_max - span;
    }
    cw->view_x0 = (int64_t)x0;
    cw->view_x1 = (int64_t)x1;
    cw->show_all = cw->auto_x = 0;
    chart_clear_markers(cw);
    if (g_chart_hooks.set_scrollbar) g_chart_hooks.set_scrollbar(cw->window, 1, page, pos);
    log_printf(LOG_DEBUG, "波形滚动条平移: X=[%lld,%lld]us", (long long)cw->view_x0, (long long)cw->view_x1);
    repaint(cw);
    return pos;
}
