// chart_paint.cpp - the waveform window's drawing, primitive by primitive.
//
// Index
//   [SECTION] Helpers
//   [SECTION] One series (line, dots, min/max columns)
//   [SECTION] Bucket cache (dots or envelope)
//   [SECTION] Window parts (grid, labels, markers, hover, legend, selection)
//   [SECTION] chart_paint
#include "chart/chart_paint.h"

#include <cmath>

#include "acquisition/acquisition.h"
#include "core/log.h"
#include "core/text.h"
#include "workspace/theme.h"

namespace {

// Set when a series was drawn with sample dots; limits the dots log line to the first dotted
// drawing after a non-dotted one (shared by every waveform window).
int32_t g_dots_logged;

// [SECTION] Helpers --------------------------------------------------------------------------------

// Copies a leaf's latest sample out of its lock-free slot.
Sample last_sample_of(const VarLeaf* leaf) {
    Sample s;
    sample_slot_load(&s, &leaf->last_sample);
    return s;
}

struct Mapping {
    int32_t xl, xr, yt, yb;
    int64_t x0, x1;
    double y0, y1;
    int32_t x_of(int64_t t) const { return time_to_x(t, x0, x1, xl, xr); }
    int32_t y_of(double v) const { return value_to_y(v, y0, y1, yt, yb); }
};

}  // namespace

int32_t chart_dots_logged() { return g_dots_logged; }
void chart_set_dots_logged(int32_t on) { g_dots_logged = on ? 1 : 0; }

void chart_type_text(const VarLeaf* leaf, char* out, size_t size) {
    const char* star = leaf->is_pointer ? "*" : "";
    const char* bf = leaf->is_bitfield ? ":bf" : "";
    const char* word;
    switch ((int)leaf->kind) {
    case 1:
    case 2: {
        int bits = 8 * (int)(leaf->size ? leaf->size : 4);
        text_printf(out, size, "%s%d_t%s%s", leaf->is_signed ? "int" : "uint", bits, star, bf);
        return;
    }
    case 3: word = "float"; break;
    case 4: word = "bool"; break;
    case 8: word = "enum"; break;
    case 9: word = "ptr"; break;
    case 10: word = "char"; break;
    default: word = "other"; break;
    }
    text_printf(out, size, "%s%s%s", word, star, bf);
}

// [SECTION] One series -----------------------------------------------------------------------------

namespace {

void draw_bucket_cache(DrawSurface* d, const ChartSeries* s, const Mapping& m) {
    const int64_t t0 = s->bucket_t0, t1 = s->bucket_t1;
    const int32_t n = s->bucket_count;
    if (!(t0 < t1) || !(m.x0 < m.x1)) return;
    const double span = (double)t1 - (double)t0;
    const double lo_d = std::trunc(((double)m.x0 - (double)t0) * n / span);
    const double hi_d = std::trunc(((double)m.x1 - (double)t0) * n / span) + 1;
    const int32_t lo = lo_d < 0 ? 0 : (lo_d > n ? n : (int32_t)lo_d);
    const int32_t hi = hi_d > n - 1 ? n - 1 : (hi_d < -1 ? -1 : (int32_t)hi_d);
    if (hi < lo) return;
    d->set_pen(s->colour, 1, PEN_SOLID);
    d->set_fill(s->colour);
    if (hi - lo <= CHART_DOTS_MAX - 1) {
        for (int32_t i = lo; i <= hi; i++) {
            const Bucket& b = s->buckets[i];
            if (b.count <= 0) continue;
            const int32_t xc = m.x_of(chart_bucket_centre(t0, t1, n, i));
            const int32_t yh = m.y_of(b.max), yl = m.y_of(b.min);
            d->dot(xc, yh);
            if (yl != yh) d->dot(xc, yl);
        }
        return;
    }
    // Envelope: two polylines (maxima, minima) built alternately on the one shared current point.
    bool upper_lifted = true, lower_lifted = true;
    for (int32_t i = lo; i <= hi; i++) {
        const Bucket& b = s->buckets[i];
        if (b.count <= 0) {
            upper_lifted = lower_lifted = true;
            continue;
        }
        const int32_t xc = m.x_of(chart_bucket_centre(t0, t1, n, i));
        const int32_t yh = m.y_of(b.max), yl = m.y_of(b.min);
        if (upper_lifted) {
            d->move_to(xc, yh);
            upper_lifted = false;
        } else {
            d->line_to(xc, yh);
        }
        if (lower_lifted) {
            d->move_to(xc, yl);
            lower_lifted = false;
        } else {
            d->line_to(xc, yl);
        }
        const int32_t xs = m.x_of(chart_bucket_start(t0, t1, n, i));
        const int32_t xe = m.x_of(chart_bucket_start(t0, t1, n, i + 1));
        if (xe - xs >= 2 && yh != yl) {
            d->move_to(xs, yh);
            d->line_to(xs, yl);
        }
    }
}

// Visible count: considered samples with a valid timestamp inside x0..x1 (or all considered).
int32_t visible_count(const ChartWindow* cw, const ChartSeries* s, const Mapping& m, int32_t has_time) {
    const int32_t first = chart_considered_first(cw, s);
    if (!(has_time && m.x0 < m.x1)) return s->count - first;
    int32_t c = 0;
    for (int32_t k = first; k < s->count; k++) {
        const int64_t t = s->times[chart_ring_pos(s, k)];
        c += chart_time_valid(t) && t >= m.x0 && t <= m.x1;
    }
    return c;
}

// Pixel column of considered sample j (of m) or -1 to lift the pen and skip, -2 to stop.
// Without timestamps the samples are spread evenly by index.
inline int32_t sample_x(const Mapping& mp, int64_t t, int32_t j, int32_t m, int32_t has_time) {
    if (has_time) {
        if (!chart_time_valid(t) || t < mp.x0) return -1;
        if (t > mp.x1) return -2;
        return mp.x_of(t);
    }
    if (m < 2) return mp.xl;
    return (int32_t)(mp.xl + (int64_t)(mp.xr - mp.xl) * j / (m - 1));
}

void draw_columns(DrawSurface* d, const ChartWindow* cw, const ChartSeries* s, const Mapping& mp, int32_t has_time) {
    int32_t columns = mp.xr - mp.xl;
    if (columns > CHART_COLUMNS_MAX) columns = CHART_COLUMNS_MAX;
    if (columns < 2) return;
    double lo[CHART_COLUMNS_MAX], hi[CHART_COLUMNS_MAX];
    for (int32_t c = 0; c < columns; c++) {
        lo[c] = INFINITY;
        hi[c] = -INFINITY;
    }
    const int32_t first = chart_considered_first(cw, s);
    const int32_t m = s->count - first;
    for (int32_t j = 0; j < m; j++) {
        const int32_t pos = chart_ring_pos(s, first + j);
        const int32_t x = sample_x(mp, s->times[pos], j, m, has_time);
        if (x == -2) break;
        if (x == -1) continue;
        const double v = s->values[pos];
        if (std::isnan(v)) continue;
        int32_t c = x - mp.xl;
        c = c < 0 ? 0 : (c >= columns ? columns - 1 : c);
        if (v < lo[c]) lo[c] = v;
        if (v > hi[c]) hi[c] = v;
    }
    d->set_pen(s->colour, 1, PEN_SOLID);
    for (int32_t c = 0; c < columns; c++) {
        if (lo[c] > hi[c]) continue;
        const int32_t x = mp.xl + c;
        // Both end pixels included: a flat column still shows one pixel.
        d->move_to(x, mp.y_of(hi[c]));
        d->line_to(x, mp.y_of(lo[c]) + 1);
    }
}

}  // namespace

void chart_draw_series(DrawSurface* d, const ChartWindow* cw, const ChartSeries* s, const DrawRect& xbox,
                       const DrawRect& ybox, int64_t x0, int64_t x1, double y0, double y1, int32_t has_time) {
    const Mapping mp = {xbox.left, xbox.right, ybox.top, ybox.bottom, x0, x1, y0, y1};
    if (s->buckets && s->bucket_count > 0) {
        draw_bucket_cache(d, s, mp);
        return;
    }
    const int32_t c = visible_count(cw, s, mp, has_time);
    const bool dots = c >= 1 && c <= CHART_DOTS_MAX;
    if (dots) {
        if (!g_dots_logged) log_printf(LOG_DEBUG, "波形采样点圆点: 可见 %d 点", c);
        g_dots_logged = 1;
    } else {
        g_dots_logged = 0;
        if (c > 2 * (mp.xr - mp.xl) && mp.xr - mp.xl > 8) {
            draw_columns(d, cw, s, mp, has_time);
            return;
        }
    }
    d->set_pen(s->colour, 1, PEN_SOLID);
    if (dots) d->set_fill(s->colour);
    const int32_t first = chart_considered_first(cw, s);
    const int32_t m = s->count - first;
    bool lifted = true;
    for (int32_t j = 0; j < m; j++) {
        const int32_t pos = chart_ring_pos(s, first + j);
        const int32_t x = sample_x(mp, s->times[pos], j, m, has_time);
        if (x == -2) break;
        const double v = s->values[pos];
        // A sample outside the time range, or one whose value is not a number, breaks the line.
        if (x == -1 || std::isnan(v)) {
            lifted = true;
            continue;
        }
        const int32_t y = mp.y_of(v);
        if (lifted) {
            d->move_to(x, y);
            lifted = false;
        } else {
            d->line_to(x, y);
        }
        if (dots) d->dot(x, y);
    }
}

// [SECTION] Window parts -------------------------------------------------------------------------

namespace {

void draw_grid(DrawSurface* d, const ChartWindow* cw, const DrawRect& p) {
    d->set_pen(theme_color(20), 1, PEN_SOLID);
    for (int32_t j = 1; j <= 9; j++) {
        const int32_t x = p.left + (p.right - p.left) * j / 10;
        d->move_to(x, p.top);
        d->line_to(x, p.bottom);
    }
    const int32_t n = cw->series_count;
    if (cw->stacked && n > 0) {
        d->set_pen(CHART_ROW_SEPARATOR, 1, PEN_DOT);
        for (int32_t j = 0; j < n; j++) {
            const DrawRect row = chart_row_rect(p, n, j);
            const int32_t rt = row.top, rh = row.bottom - row.top;
            if (j > 0) {
                d->move_to(p.left, rt - 1);
                d->line_to(p.right, rt - 1);
            }
            d->move_to(p.left, rt + rh / 3);
            d->line_to(p.right, rt + rh / 3);
            d->move_to(p.left, rt + 2 * rh / 3);
            d->line_to(p.right, rt + 2 * rh / 3);
        }
        return;
    }
    for (int32_t j = 1; j <= 7; j++) {
        const int32_t y = p.top + j * (p.bottom - p.top) / 8;
        d->move_to(p.left, y);
        d->line_to(p.right, y);
    }
}

void value_label(DrawSurface* d, const DrawRect& p, int32_t y, double value) {
    char text[64];
    text_printf(text, sizeof text, "%.3g", value);
    d->text(text, DrawRect{2, y - 8, p.left - 2, y + 8}, TEXT_RIGHT | TEXT_VCENTER | TEXT_SINGLE_LINE);
}

void draw_values_and_series(DrawSurface* d, const ChartWindow* cw, const ViewInfo& v, const DrawRect& p) {
    const int32_t n = cw->series_count;
    if (cw->stacked && n > 0) {
        for (int32_t j = 0; j < n; j++) {
            const ChartSeries* s = &cw->series[j];
            const DrawRect row = chart_row_rect(p, n, j);
            double lo, hi;
            chart_row_range(cw, s, &lo, &hi);
            d->set_text_color(s->colour);
            for (int32_t k = 0; k <= 2; k++)
                value_label(d, p, row.top + (row.bottom - row.top) * k / 2, chart_value_label(lo, hi, k, 2));
            const VarLeaf* leaf = leaf_at(s->leaf_id);
            if (leaf)
                d->text(leaf->name, DrawRect{p.left + 4, row.top + 1, p.left + 360, row.top + 15},
                        TEXT_LEFT | TEXT_SINGLE_LINE | TEXT_ELLIPSIS);
            chart_draw_series(d, cw, s, p, row, v.x0, v.x1, lo, hi, v.has_time);
        }
        return;
    }
    d->set_text_color(theme_color(21));
    for (int32_t j = 0; j <= 4; j++)
        value_label(d, p, p.top + (p.bottom - p.top) * j / 4, chart_value_label(v.y0, v.y1, j, 4));
    for (int32_t i = 0; i < n; i++) chart_draw_series(d, cw, &cw->series[i], p, p, v.x0, v.x1, v.y0, v.y1, v.has_time);
}

void draw_time_labels(DrawSurface* d, const ViewInfo& v, const DrawRect& p, int32_t height) {
    d->set_text_color(theme_color(21));
    for (int32_t j = 0; j <= 4; j++) {
        const int32_t x = p.left + (p.right - p.left) * j / 4;
        char text[32];
        chart_time_label(&v, j, text, sizeof text);
        d->text(text, DrawRect{x - 40, p.bottom + 1, x + 40, height - 1}, TEXT_CENTER | TEXT_SINGLE_LINE);
    }
}

void draw_markers(DrawSurface* d, const ChartWindow* cw, const DrawRect& p) {
    if (cw->m1_x < 0) return;
    const int32_t ms = cw->marker_series >= 0 && cw->marker_series < cw->series_count ? cw->marker_series : 0;
    const uint32_t colour = cw->series[ms].colour;
    d->set_pen(colour, 1, PEN_DASH_DOT);
    d->set_text_color(colour);
    d->move_to(cw->m1_x, p.top);
    d->line_to(cw->m1_x, p.bottom);
    if (cw->m2_x < 0) return;
    d->move_to(cw->m1_x, cw->m1_y);
    d->line_to(cw->m2_x, cw->m2_y);
    d->move_to(cw->m2_x, p.top);
    d->line_to(cw->m2_x, p.bottom);
    char dt[48], text[128];
    format_delta_time(cw->m2_time - cw->m1_time, dt, sizeof dt);
    text_printf(text, sizeof text, "ΔX=%s  ΔY=%g", dt, cw->m2_value - cw->m1_value);
    const DrawRect box = cw->m1_x + 320 > p.right ? DrawRect{cw->m1_x - 320, p.top + 4, cw->m1_x - 8, p.top + 22}
                                                  : DrawRect{cw->m1_x + 8, p.top + 4, cw->m1_x + 320, p.top + 22};
    d->text(text, box, TEXT_LEFT | TEXT_SINGLE_LINE);
}

void draw_hover(DrawSurface* d, const ChartWindow* cw, const ViewInfo& v, const DrawRect& p) {
    const int32_t mx = cw->mouse_x, my = cw->mouse_y;
    if (!cw->hover || !chart_in_plot(p, mx, my)) return;
    d->set_pen(CHART_CROSSHAIR, 1, PEN_DOT);
    d->move_to(mx, p.top);
    d->line_to(mx, p.bottom);
    d->move_to(p.left, my);
    d->line_to(p.right, my);
    if (!(v.has_time && v.x0 < v.x1)) return;
    const int64_t t = x_to_time(mx, v.x0, v.x1, p.left, p.right);
    char text[900] = "";
    size_t used = 0;
    int32_t k = 0;
    for (int32_t i = 0; i < cw->series_count; i++) {
        const ChartSeries* s = &cw->series[i];
        const VarLeaf* leaf = leaf_at(s->leaf_id);
        if (!leaf) continue;
        double value;
        if (s->buckets && s->bucket_count > 0) {
            if (!chart_bucket_value(s, t, &value)) continue;
        } else if (s->count > 0) {
            value = s->values[chart_nearest_sample(cw, s, t)];
        } else {
            continue;
        }
        if (k < CHART_HOVER_LINES) {
            char type[32], line[340];
            chart_type_text(leaf, type, sizeof type);
            text_printf(line, sizeof line, "%s = %.6g (%s)", leaf->name, value, type);
            used += text_printf(text + used, sizeof text - used, "%s%s", k ? "\n" : "", line);
        }
        k++;
    }
    if (!text[0]) return;
    const int32_t left = mx + 332 > p.right ? mx - 332 : mx + 12;
    const int32_t top = my + 14 * k + 20 > p.bottom ? my - 14 * k - 20 : my + 12;
    const DrawRect box = {left, top, left + 320, top + 14 * k + 8};
    d->set_pen(CHART_HOVER_OUTLINE, 1, PEN_SOLID);
    d->set_fill(CHART_HOVER_FILL);
    d->outlined_rect(box);
    d->set_text_color(CHART_HOVER_TEXT);
    d->text(text, box, TEXT_LEFT | TEXT_NO_CLIP);
}

void draw_hint(DrawSurface* d, const ChartWindow* cw, const DrawRect& p) {
    if (cw->series_count == 0) return;
    for (int32_t i = 0; i < cw->series_count; i++)
        if (cw->series[i].count > 0) return;
    d->set_text_color(CHART_HINT_TEXT);
    d->text("等待采集数据…（请连接 MCU 并开始采集）", p, TEXT_CENTER | TEXT_VCENTER | TEXT_SINGLE_LINE);
}

void draw_legend(DrawSurface* d, const ChartWindow* cw, const DrawRect& p) {
    if (cw->stacked) return;
    for (int32_t j = 0; j < cw->series_count; j++) {
        const ChartSeries* s = &cw->series[j];
        const int32_t y = p.top + 4 + 16 * j;
        d->set_pen(s->colour, 2, PEN_SOLID);
        d->move_to(p.left + 8, y + 6);
        d->line_to(p.left + 34, y + 6);
        d->set_text_color(s->colour);
        const VarLeaf* leaf = leaf_at(s->leaf_id);
        if (leaf) {
            const Sample last = last_sample_of(leaf);
            char value[sizeof last.text + 1];
            text_copy(value, sizeof value, last.text);
            char text[340];
            text_printf(text, sizeof text, "%s = %s", leaf->name, value);
            d->text(text, DrawRect{p.left + 38, y - 4, p.left + 420, y + 14},
                    TEXT_LEFT | TEXT_VCENTER | TEXT_SINGLE_LINE | TEXT_ELLIPSIS);
        }
        if (p.top + 4 + 16 * (j + 1) > p.bottom - 8) break;
    }
}

void draw_selection(DrawSurface* d, const ChartWindow* cw, const DrawRect& p) {
    if (!cw->box_active) return;
    const int32_t xa = cw->box_x0 < cw->box_x1 ? cw->box_x0 : cw->box_x1;
    const int32_t xb = cw->box_x0 < cw->box_x1 ? cw->box_x1 : cw->box_x0;
    const int32_t ya = cw->box_y0 < cw->box_y1 ? cw->box_y0 : cw->box_y1;
    const int32_t yb = cw->box_y0 < cw->box_y1 ? cw->box_y1 : cw->box_y0;
    const DrawRect r = {xa > p.left ? xa : p.left, ya > p.top ? ya : p.top, xb < p.right ? xb : p.right,
                        yb < p.bottom ? yb : p.bottom};
    if (!(r.left < r.right && r.top < r.bottom)) return;
    d->fill_rect(r, theme_color(9));
    // Outline only: four dotted edges (a frame with no fill).
    d->set_pen(CHART_BOX_OUTLINE, 1, PEN_DOT);
    d->move_to(r.left, r.top);
    d->line_to(r.right - 1, r.top);
    d->line_to(r.right - 1, r.bottom - 1);
    d->line_to(r.left, r.bottom - 1);
    d->line_to(r.left, r.top);
}

}  // namespace

// [SECTION] chart_paint ----------------------------------------------------------------------------

void chart_paint(ChartWindow* cw, DrawSurface* d, int32_t width, int32_t height) {
    if (!cw || cw->tag != CHART_TAG || !d) return;
    const DrawRect p = chart_plot_rect(width, height);
    const ViewInfo v = chart_compute_view(cw);
    if (g_chart_hooks.set_scrollbar) {
        int32_t page = 0, position = 0;
        const int32_t shown = chart_scrollbar_state(cw, &v, &page, &position);
        g_chart_hooks.set_scrollbar(cw->window, shown, page, position);
    }
    d->fill_rect(DrawRect{0, 0, width, height}, theme_color(1));
    d->frame_rect(DrawRect{0, 0, width, height}, theme_color(4));
    d->set_text_color(theme_color(2));
    d->text("×", DrawRect{width - 20, 2, width - 4, 24}, TEXT_CENTER | TEXT_VCENTER | TEXT_SINGLE_LINE);
    if (cw->stacked)
        d->text("[逐行堆叠]", DrawRect{width - 190, 2, width - 22, 24}, TEXT_RIGHT | TEXT_VCENTER | TEXT_SINGLE_LINE);
    d->fill_rect(p, theme_color(19));
    draw_grid(d, cw, p);
    draw_values_and_series(d, cw, v, p);
    draw_time_labels(d, v, p, height);
    draw_markers(d, cw, p);
    draw_hover(d, cw, v, p);
    draw_hint(d, cw, p);
    draw_legend(d, cw, p);
    draw_selection(d, cw, p);
}
