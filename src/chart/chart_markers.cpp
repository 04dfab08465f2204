// chart_markers.cpp - what a click in a waveform window hits: a legend row or a measurement
// marker on the series point nearest the pointer.
#include "core/log.h"
#include "chart/chart_view.h"

int32_t chart_legend_hit(const ChartWindow* cw, int32_t height, int32_t x, int32_t y) {
    if (x < CHART_PLOT_LEFT || y < 30 || y >= height - 26) return -1;
    int32_t o = 30;
    for (int32_t i = 0; i < cw->series_count; i++) {
        if (y >= o - 4 && y < o + 14) return i;
        o += 16;
        if (o > height - 26) break;
    }
    return -1;
}

int32_t chart_place_marker(ChartWindow* cw, const ViewInfo* v, int32_t width, int32_t height, int32_t x, int32_t y) {
    if (!v->has_time || !(v->x0 < v->x1) || cw->series_count == 0) return 0;
    const DrawRect p = chart_plot_rect(width, height);
    const int64_t t = x_to_time(x, v->x0, v->x1, p.left, p.right);
    int32_t best = -1;
    int64_t best_d2 = 0, best_time = 0;
    double best_value = 0;
    for (int32_t i = 0; i < cw->series_count; i++) {
        const ChartSeries* s = &cw->series[i];
        int64_t ct;
        double cv;
        if (chart_track_value(s, t, &ct, &cv)) {
            // The recording's own sample: its time and value, as for live data.
        } else if (s->count > 0) {
            const int32_t pos = chart_nearest_sample(cw, s, t);
            ct = s->times[pos];
            cv = s->values[pos];
        } else {
            continue;
        }
        const int64_t dx = time_to_x(ct, v->x0, v->x1, p.left, p.right) - x;
        const int64_t dy = value_to_y(cv, v->y0, v->y1, p.top, p.bottom) - y;
        const int64_t d2 = dx * dx + dy * dy;
        if (best < 0 || d2 < best_d2) {
            best = i;
            best_d2 = d2;
            best_time = ct;
            best_value = cv;
        }
    }
    if (best < 0) return 0;
    if (cw->m1_x >= 0 && cw->m2_x < 0) {
        cw->m2_x = x;
        cw->m2_y = y;
        cw->m2_time = best_time;
        cw->m2_value = best_value;
        log_printf(LOG_INFO, "波形测量Δ: ΔX=%lldus ΔY=%g", (long long)(cw->m2_time - cw->m1_time),
                   cw->m2_value - cw->m1_value);
        return 1;
    }
    chart_clear_markers(cw);
    cw->marker_series = best;
    cw->m1_x = x;
    cw->m1_y = y;
    cw->m1_time = best_time;
    cw->m1_value = best_value;
    log_printf(LOG_INFO, "波形测量标记1: t=%lldus 值=%g", (long long)best_time, best_value);
    return 1;
}
