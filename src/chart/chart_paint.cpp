// chart_paint.cpp - the waveform window's drawing, primitive by primitive.
//
// Index
//   [SECTION] Helpers
//   [SECTION] One series (ring and replay track: line, dots or min/max columns)
//   [SECTION] Window parts (grid, labels, markers, hover, legend, selection)
//   [SECTION] chart_paint
#include "chart/chart_paint.h"

#include <cmath>
#include <cstring>

#include "acquisition/acquisition.h"
#include "chart/chart_columns.h"
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

// The ring samples a series draws: considered, not hidden by its track, and (with times) inside
// the view. An ordered ring without a track is narrowed by bisection instead of a scan.
struct RingRun {
    int32_t begin, end;  // age indexes to walk
    int32_t visible;     // samples that land in the view
    bool fast;           // ordered, timed and without a track: begin..end is exactly the view
};

RingRun ring_run(const ChartWindow* cw, const ChartSeries* s, const Mapping& m, int32_t has_time) {
    RingRun r = {chart_considered_first(cw, s), s->count, 0, false};
    if (!(has_time && m.x0 < m.x1)) {
        r.visible = r.end - r.begin;
        return r;
    }
    if (!s->track && chart_ring_ordered(cw, s)) {
        r.begin = chart_ring_lower_bound(s, r.begin, r.end, m.x0);
        r.end = m.x1 == INT64_MAX ? r.end : chart_ring_lower_bound(s, r.begin, r.end, m.x1 + 1);
        r.visible = r.end - r.begin;
        r.fast = true;
        return r;
    }
    for (int32_t k = r.begin; k < r.end; k++) {
        const int64_t t = s->times[chart_ring_pos(s, k)];
        r.visible += chart_time_valid(t) && t >= m.x0 && t <= m.x1 && chart_ring_shows(s, t);
    }
    return r;
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

// Shared by every window (main thread only): too large for the stack of a paint.
ColumnGrid g_grid;
bool g_grid_valid;
ColumnEnvelope g_env;

const ColumnGrid& grid_for(const Mapping& m) {
    if (!g_grid_valid || g_grid.x0 != m.x0 || g_grid.x1 != m.x1 || g_grid.start[0] != m.x0 ||
        g_grid.columns != (m.xr - m.xl > CHART_COLUMN_LIMIT ? CHART_COLUMN_LIMIT : m.xr - m.xl)) {
        chart_column_grid(&g_grid, m.x0, m.x1, m.xl, m.xr);
        g_grid_valid = true;
    }
    return g_grid;
}

// Columns by walking every considered sample (rings that are out of order, lack times or share
// the view with a track).
void ring_columns_by_walk(ColumnEnvelope* env, const ChartWindow* cw, const ChartSeries* s, const Mapping& mp,
                          int32_t has_time) {
    int32_t columns = mp.xr - mp.xl;
    if (columns > CHART_COLUMN_LIMIT) columns = CHART_COLUMN_LIMIT;
    env->columns = columns;
    for (int32_t c = 0; c < columns; c++) {
        env->lo[c] = INFINITY;
        env->hi[c] = -INFINITY;
    }
    const int32_t first = chart_considered_first(cw, s);
    const int32_t m = s->count - first;
    for (int32_t j = 0; j < m; j++) {
        const int32_t pos = chart_ring_pos(s, first + j);
        const int32_t x = sample_x(mp, s->times[pos], j, m, has_time);
        if (x == -2) break;
        if (x == -1 || (has_time && !chart_ring_shows(s, s->times[pos]))) continue;
        const double v = s->values[pos];
        if (std::isnan(v)) continue;
        int32_t c = x - mp.xl;
        c = c < 0 ? 0 : (c >= columns ? columns - 1 : c);
        if (!(env->lo[c] <= env->hi[c])) env->first[c] = v;
        env->last[c] = v;
        if (v < env->lo[c]) env->lo[c] = v;
        if (v > env->hi[c]) env->hi[c] = v;
    }
}

void log_dots(int32_t visible, bool dots) {
    if (dots) {
        if (!g_dots_logged) log_printf(LOG_DEBUG, "波形采样点圆点: 可见 %d 点", visible);
        g_dots_logged = 1;
    } else {
        g_dots_logged = 0;
    }
}

void draw_ring(DrawSurface* d, const ChartWindow* cw, const ChartSeries* s, const Mapping& mp, int32_t has_time) {
    const RingRun run = ring_run(cw, s, mp, has_time);
    const int32_t c = run.visible;
    const bool dots = c >= 1 && c <= CHART_DOTS_MAX;
    log_dots(c, dots);
    if (!dots && c > 2 * (mp.xr - mp.xl) && mp.xr - mp.xl > 8) {
        if (run.fast) chart_columns_from_ring(&g_env, grid_for(mp), cw, s);
        else ring_columns_by_walk(&g_env, cw, s, mp, has_time);
        chart_draw_envelope(d, g_env, s->colour, mp.xl, mp.yt, mp.yb, mp.y0, mp.y1);
        return;
    }
    d->set_pen(s->colour, 1, PEN_SOLID);
    if (dots) d->set_fill(s->colour);
    const int32_t first = chart_considered_first(cw, s);
    const int32_t m = s->count - first;
    bool lifted = true;
    for (int32_t k = run.begin; k < run.end; k++) {
        const int32_t j = k - first;
        const int32_t pos = chart_ring_pos(s, k);
        const int32_t x = sample_x(mp, s->times[pos], j, m, has_time);
        if (x == -2) break;
        const double v = s->values[pos];
        // A sample outside the time range, one the track draws, or one whose value is not a
        // number breaks the line.
        if (x == -1 || std::isnan(v) || (has_time && !chart_ring_shows(s, s->times[pos]))) {
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

// A point of a track polyline: samples inside the view at their pixel; the neighbours just
// outside it moved onto the view's edge along their segment, so a line crossing the edge shows.
bool track_point(const SampleTrack* t, const Mapping& mp, int64_t i, int32_t* x, int32_t* y) {
    const int64_t ti = t->times[i];
    const double v = t->values[i];
    if (std::isnan(v)) return false;
    if (ti >= mp.x0 && ti <= mp.x1) {
        *x = mp.x_of(ti);
        *y = mp.y_of(v);
        return true;
    }
    const int64_t j = ti < mp.x0 ? i + 1 : i - 1;  // the neighbour inside (or beyond) the view
    if (j < 0 || j >= t->count || std::isnan(t->values[j]) || t->times[j] == ti) return false;
    const int64_t edge = ti < mp.x0 ? mp.x0 : mp.x1;
    const double f = ((double)edge - (double)ti) / ((double)t->times[j] - (double)ti);
    *x = ti < mp.x0 ? mp.xl : mp.xr;
    *y = mp.y_of(v + (t->values[j] - v) * f);
    return true;
}

void draw_track(DrawSurface* d, const ChartSeries* s, const Mapping& mp) {
    const SampleTrack* t = s->track;
    if (!(mp.x0 < mp.x1)) return;
    const int64_t i0 = track_lower_bound(t, mp.x0), i1 = track_upper_bound(t, mp.x1);
    const int64_t visible = i1 - i0;
    const bool dots = visible >= 1 && visible <= CHART_DOTS_MAX;
    log_dots((int32_t)(visible < INT32_MAX ? visible : INT32_MAX), dots);
    if (!dots && visible > 2 * (mp.xr - mp.xl) && mp.xr - mp.xl > 8) {
        chart_columns_from_track(&g_env, grid_for(mp), t);
        chart_draw_envelope(d, g_env, s->colour, mp.xl, mp.yt, mp.yb, mp.y0, mp.y1);
        return;
    }
    d->set_pen(s->colour, 1, PEN_SOLID);
    if (dots) d->set_fill(s->colour);
    bool lifted = true;
    const int64_t a = i0 > 0 ? i0 - 1 : i0, b = i1 < t->count ? i1 + 1 : i1;
    for (int64_t i = a; i < b; i++) {
        int32_t x, y;
        if (!track_point(t, mp, i, &x, &y)) {
            lifted = true;
            continue;
        }
        if (lifted) {
            d->move_to(x, y);
            lifted = false;
        } else {
            d->line_to(x, y);
        }
        if (dots && i >= i0 && i < i1) d->dot(x, y);
    }
}

}  // namespace

namespace {

// Every series of the window drawn as min/max columns in one pass that writes each pixel once
// (many dense series overlap heavily). False, with nothing drawn, unless every series with data is
// a column drawing of its ring alone or its track alone without gaps between columns.
bool draw_all_as_columns(DrawSurface* d, const ChartWindow* cw, const Mapping& mp, int32_t has_time) {
    static ColumnEnvelope env;
    static int16_t yt[CHART_MAX_SERIES][CHART_COLUMN_LIMIT], yb[CHART_MAX_SERIES][CHART_COLUMN_LIMIT];
    uint32_t colours[CHART_MAX_SERIES];
    const int32_t width = mp.xr - mp.xl;
    if (!has_time || !(mp.x0 < mp.x1) || width <= 8 || cw->series_count < 2) return false;
    int32_t columns = 0;
    for (int32_t i = 0; i < cw->series_count; i++) {
        const ChartSeries* s = &cw->series[i];
        colours[i] = s->colour;
        const bool track = chart_cache_usable(s);
        if (track && s->count > 0) return false;
        if (track) {
            const int64_t visible = track_upper_bound(s->track, mp.x1) - track_lower_bound(s->track, mp.x0);
            if (visible <= 2 * (int64_t)width) return false;
            chart_columns_from_track(&env, grid_for(mp), s->track);
        } else if (s->count > 0) {
            const RingRun run = ring_run(cw, s, mp, has_time);
            if (!run.fast || run.visible <= 2 * width) return false;
            chart_columns_from_ring(&env, grid_for(mp), cw, s);
        } else {
            env.columns = grid_for(mp).columns;
            for (int32_t c = 0; c < env.columns; c++) env.lo[c] = INFINITY, env.hi[c] = -INFINITY;
        }
        if (!chart_envelope_spans(env, mp.yt, mp.yb, mp.y0, mp.y1, yt[i], yb[i])) return false;
        columns = env.columns;
    }
    log_dots(0, false);
    chart_draw_spans_combined(d, yt, yb, colours, cw->series_count, columns, mp.xl);
    return true;
}

}  // namespace

void chart_draw_series(DrawSurface* d, const ChartWindow* cw, const ChartSeries* s, const DrawRect& xbox,
                       const DrawRect& ybox, int64_t x0, int64_t x1, double y0, double y1, int32_t has_time) {
    const Mapping mp = {xbox.left, xbox.right, ybox.top, ybox.bottom, x0, x1, y0, y1};
    if (chart_cache_usable(s) && has_time) draw_track(d, s, mp);
    if (s->count > 0) draw_ring(d, cw, s, mp, has_time);
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

void value_label(DrawSurface* d, const DrawRect& p, int32_t y, const char* text) {
    // A label wider than its column (ten digits of a 32-bit counter) starts at the window's edge
    // and reaches into the plot: cut at the edge it would lose its sign and leading digits.
    int32_t w = 0, h = 0;
    d->measure_text(text, &w, &h);
    if (w > p.left - 4)
        d->text(text, DrawRect{2, y - 8, 2 + w, y + 8}, TEXT_LEFT | TEXT_VCENTER | TEXT_SINGLE_LINE);
    else
        d->text(text, DrawRect{2, y - 8, p.left - 2, y + 8}, TEXT_RIGHT | TEXT_VCENTER | TEXT_SINGLE_LINE);
}

// Labels 0..parts of a range, top to bottom, in the fewest significant digits that tell
// neighbours apart.
void draw_value_labels(DrawSurface* d, const DrawRect& p, int32_t top, int32_t bottom, double y0, double y1,
                       int32_t parts) {
    double values[CHART_LABELS_MAX];
    char texts[CHART_LABELS_MAX][CHART_LABEL_CAPACITY];
    const int32_t n = parts + 1 < CHART_LABELS_MAX ? parts + 1 : CHART_LABELS_MAX;
    for (int32_t j = 0; j < n; j++) values[j] = chart_value_label(y0, y1, j, parts);
    chart_format_value_labels(d, values, n, p.left - 4, texts);
    for (int32_t j = 0; j < n; j++) value_label(d, p, top + (bottom - top) * j / parts, texts[j]);
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
            draw_value_labels(d, p, row.top, row.bottom, lo, hi, 2);
            const VarLeaf* leaf = leaf_at(s->leaf_id);
            if (leaf)
                d->text(leaf->name, DrawRect{p.left + 4, row.top + 1, p.left + 360, row.top + 15},
                        TEXT_LEFT | TEXT_SINGLE_LINE | TEXT_ELLIPSIS);
            chart_draw_series(d, cw, s, p, row, v.x0, v.x1, lo, hi, v.has_time);
        }
        return;
    }
    d->set_text_color(theme_color(21));
    draw_value_labels(d, p, p.top, p.bottom, v.y0, v.y1, 4);
    const Mapping mp = {p.left, p.right, p.top, p.bottom, v.x0, v.x1, v.y0, v.y1};
    if (draw_all_as_columns(d, cw, mp, v.has_time)) return;
    for (int32_t i = 0; i < n; i++) chart_draw_series(d, cw, &cw->series[i], p, p, v.x0, v.x1, v.y0, v.y1, v.has_time);
}

void draw_time_labels(DrawSurface* d, const ViewInfo& v, const DrawRect& p, int32_t height) {
    d->set_text_color(theme_color(21));
    for (int32_t j = 0; j <= 4; j++) {
        const int32_t x = p.left + (p.right - p.left) * j / 4;
        char text[32];
        chart_time_label(&v, j, text, sizeof text);
        // The last label ends inside the window instead of being cut at its edge.
        const int32_t right = p.right + CHART_PLOT_RIGHT_GAP - 1;
        if (x + 40 > right)
            d->text(text, DrawRect{right - 80, p.bottom + 1, right, height - 1}, TEXT_RIGHT | TEXT_SINGLE_LINE);
        else
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
        if (!chart_track_value(s, t, nullptr, &value)) {
            if (s->count <= 0) continue;
            value = s->values[chart_nearest_sample(cw, s, t)];
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
        if (cw->series[i].count > 0 || chart_cache_usable(&cw->series[i])) return;
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

// The window's background around the plot; the plot itself is filled with its own colour later,
// so its pixels are written once.
void fill_background(DrawSurface* d, const DrawRect& p, int32_t width, int32_t height) {
    const uint32_t colour = theme_color(1);
    if (!(p.left < p.right && p.top < p.bottom)) {
        d->fill_rect(DrawRect{0, 0, width, height}, colour);
        return;
    }
    d->fill_rect(DrawRect{0, 0, width, p.top}, colour);
    d->fill_rect(DrawRect{0, p.top, p.left, p.bottom}, colour);
    d->fill_rect(DrawRect{p.right, p.top, width, p.bottom}, colour);
    d->fill_rect(DrawRect{0, p.bottom, width, height}, colour);
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

namespace {

void compact_exponent(char* text) {
    char* e = strchr(text, 'e');
    if (!e) return;
    char* from = e + 1;
    char* to = e + 1;
    if (*from == '+') from++;
    else if (*from == '-') *to++ = *from++;
    while (from[0] == '0' && from[1] >= '0' && from[1] <= '9') from++;
    memmove(to, from, strlen(from) + 1);
}

int32_t labels_widest(DrawSurface* d, const char (*texts)[CHART_LABEL_CAPACITY], int32_t n) {
    int32_t widest = 0;
    for (int32_t j = 0; j < n; j++) {
        int32_t w = 0, h = 0;
        d->measure_text(texts[j], &w, &h);
        widest = w > widest ? w : widest;
    }
    return widest;
}

// Labels too wide for their column in plain notation ("-0.000146856") take the exponent form
// with the same significant digits ("-1.46856e-4") when that is narrower and still tells
// neighbours apart.
void use_exponent_if_narrower(DrawSurface* d, const double* v, int32_t n, int32_t digits,
                              char (*texts)[CHART_LABEL_CAPACITY]) {
    char sci[CHART_LABELS_MAX][CHART_LABEL_CAPACITY];
    for (int32_t j = 0; j < n; j++) {
        text_printf(sci[j], CHART_LABEL_CAPACITY, "%.*e", (int)(digits - 1), v[j]);
        // Trailing zeros of the mantissa add nothing ("1.50000e+09" reads "1.5e9").
        char* e = strchr(sci[j], 'e');
        char* cut = e;
        if (e && strchr(sci[j], '.')) {
            while (cut[-1] == '0') cut--;
            if (cut[-1] == '.') cut--;
            memmove(cut, e, strlen(e) + 1);
        }
        compact_exponent(sci[j]);
    }
    for (int32_t j = 1; j < n; j++)
        if (strcmp(sci[j], sci[j - 1]) == 0) return;
    if (labels_widest(d, sci, n) >= labels_widest(d, texts, n)) return;
    for (int32_t j = 0; j < n; j++) text_copy(texts[j], CHART_LABEL_CAPACITY, sci[j]);
}

}  // namespace

void chart_format_value_labels(DrawSurface* d, const double* values, int32_t n, int32_t width,
                               char (*texts)[CHART_LABEL_CAPACITY]) {
    // Rounding noise of a range through zero is zero.
    double largest = 0;
    for (int32_t j = 0; j < n; j++) largest = std::fabs(values[j]) > largest ? std::fabs(values[j]) : largest;
    double v[CHART_LABELS_MAX];
    for (int32_t j = 0; j < n && j < CHART_LABELS_MAX; j++) v[j] = std::fabs(values[j]) < largest * 1e-12 ? 0 : values[j];
    int32_t digits = 3;
    for (;; digits++) {
        for (int32_t j = 0; j < n; j++) text_printf(texts[j], CHART_LABEL_CAPACITY, "%.*g", digits, v[j]);
        bool distinct = true;
        for (int32_t j = 1; j < n; j++) distinct = distinct && strcmp(texts[j], texts[j - 1]) != 0;
        if (distinct || digits == 10) break;
    }
    // Exponents without their plus sign and leading zeros ("1.5e9", "2e-5"): two characters less
    // in a column of eight.
    for (int32_t j = 0; j < n; j++) compact_exponent(texts[j]);
    // Plain notation with the same significant digits, when every label then fits the column.
    char plain[CHART_LABELS_MAX][CHART_LABEL_CAPACITY];
    for (int32_t j = 0; j < n; j++) {
        if (!strchr(texts[j], 'e')) {
            text_copy(plain[j], CHART_LABEL_CAPACITY, texts[j]);
            continue;
        }
        const int32_t exponent = (int32_t)std::floor(std::log10(std::fabs(v[j])));
        int32_t decimals = digits - 1 - exponent;
        decimals = decimals < 0 ? 0 : (decimals > 12 ? 12 : decimals);
        text_printf(plain[j], CHART_LABEL_CAPACITY, "%.*f", decimals, v[j]);
        // Trailing zeros of a fraction add nothing.
        if (strchr(plain[j], '.')) {
            size_t len = strlen(plain[j]);
            while (len > 0 && plain[j][len - 1] == '0') plain[j][--len] = 0;
            if (len > 0 && plain[j][len - 1] == '.') plain[j][--len] = 0;
        }
    }
    // Plain when every label fits the column, or when neither form fits and plain is narrower.
    bool fits = true;
    int32_t plain_widest = 0, widest = 0;
    for (int32_t j = 0; j < n; j++) {
        int32_t w = 0, h = 0;
        d->measure_text(plain[j], &w, &h);
        plain_widest = w > plain_widest ? w : plain_widest;
        d->measure_text(texts[j], &w, &h);
        widest = w > widest ? w : widest;
    }
    fits = plain_widest <= width || plain_widest < widest;
    for (int32_t j = 1; j < n && fits; j++) fits = strcmp(plain[j], plain[j - 1]) != 0;
    if (fits)
        for (int32_t j = 0; j < n; j++) text_copy(texts[j], CHART_LABEL_CAPACITY, plain[j]);
    if (labels_widest(d, texts, n) > width) use_exponent_if_narrower(d, v, n, digits, texts);
}

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
    fill_background(d, p, width, height);
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
