// chart_view.h - which time range (X, microseconds) and value range (Y) a waveform window shows,
// the coordinate mappings, the axis label texts, and the user actions that change the view:
// mode events, wheel zoom, box zoom, the zoom animation, drag pan, the scroll bar, stacked rows.
//
// The view is recomputed from the data at every paint and mouse action (chart_compute_view);
// only the flags and stored ranges of ChartWindow persist. Every action ends with a repaint
// through g_chart_hooks.invalidate; the animation timer is started and stopped through
// g_chart_hooks.anim_timer. Client sizes W x H are passed in by the window.
#pragma once
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "chart/chart.h"
#include "chart/draw_surface.h"

enum : int32_t {
    CHART_PLOT_LEFT = 56,
    CHART_PLOT_TOP = 26,
    CHART_PLOT_RIGHT_GAP = 6,
    CHART_PLOT_BOTTOM_GAP = 18,
    CHART_SCROLL_RANGE = 1000,
};

// Result of chart_compute_view: the ranges to show and what the data holds.
struct ViewInfo {
    int64_t x0, x1;        // time range to show
    int64_t t_min, t_max;  // oldest and newest time held (INT64_MAX / INT64_MIN when none)
    int32_t has_time;      // some valid timestamp or usable bucket cache
    int32_t max_considered;
    double y0, y1;         // value range to show, y0 < y1
    int32_t has_samples;   // some considered sample or usable bucket cache
};

// Scroll bar requests (as the platform's horizontal scroll codes, mapped by the window).
enum ChartScrollRequest : int32_t {
    CHART_SCROLL_LINE_LEFT,
    CHART_SCROLL_LINE_RIGHT,
    CHART_SCROLL_PAGE_LEFT,
    CHART_SCROLL_PAGE_RIGHT,
    CHART_SCROLL_LEFT_END,
    CHART_SCROLL_RIGHT_END,
    CHART_SCROLL_THUMB,        // tracking or released: the thumb position is given
    CHART_SCROLL_END_SCROLL,   // ignored
};

// ---- Geometry and mappings ---------------------------------------------------------------------
// The plot rectangle of a W x H client area: 56, 26, W-6, H-18.
DrawRect chart_plot_rect(int32_t width, int32_t height);
// 1 when (x, y) lies in the rectangle, bounds inclusive.
int32_t chart_in_plot(const DrawRect& plot, int32_t x, int32_t y);
int32_t time_to_x(int64_t t, int64_t x0, int64_t x1, int32_t left, int32_t right);
// The pixel row of a value: y0 at `bottom`, y1 at `top`, clamped to top..bottom (NaN at the
// bottom edge). Inline: the min/max columns map two values per pixel column.
inline int32_t value_to_y(double v, double y0, double y1, int32_t top, int32_t bottom) {
    const double span = y1 - y0 < 1e-12 ? 1 : y1 - y0;
    const double py = std::trunc((v - y0) / span * (double)(bottom - top));
    if (py != py) return bottom;
    // Clamped before it becomes an integer: no conversion of an out-of-range double.
    const double y = (double)bottom - py;
    if (!(y >= (double)top)) return top;
    if (y >= (double)bottom) return bottom;
    return (int32_t)y;
}
// value_to_y of n values at once (the same rows, two values a step where the CPU can).
void values_to_rows(const double* values, int32_t n, double y0, double y1, int32_t top, int32_t bottom, int32_t* rows);
int64_t x_to_time(int32_t x, int64_t x0, int64_t x1, int32_t left, int32_t right);

// ---- The view --------------------------------------------------------------------------------
ViewInfo chart_compute_view(const ChartWindow* cw);
// Stores the shown ranges for the axes still automatic (before a zoom target or box selection).
void chart_take_over_view(ChartWindow* cw, const ViewInfo* v);

// ---- Labels ----------------------------------------------------------------------------------
// "%dm%02ds", "%.1fs", "%.0fms" or "0".
void format_axis_time(double seconds, char* out, size_t size);
// "%lldµs", "%.3fms", "%.1fs" or "%dm%02ds".
void format_delta_time(int64_t us, char* out, size_t size);
// A time label s seconds from the left edge, the labels `step` seconds apart: the formats above,
// with as many more decimals as keep the tick within a hundredth of the step, and microseconds
// below a millisecond (a view zoomed in to single samples).
void format_axis_time_step(double seconds, double step, char* out, size_t size);
// Text of time label j (0..4). Without timestamps the labels count samples ("#%d").
void chart_time_label(const ViewInfo* v, int32_t j, char* out, size_t size);
// Value of label j of `parts` (4 for the plot, 2 for a stacked row): y1 - (y1 - y0) * j / parts.
double chart_value_label(double y0, double y1, int32_t j, int32_t parts);

// ---- Stacked rows ------------------------------------------------------------------------------
// Row j of n (equal integer heights; the last row ends at the plot bottom).
DrawRect chart_row_rect(const DrawRect& plot, int32_t n, int32_t j);
// Value range of one series' row (own samples only, 8 % margin; see chart_view.cpp).
void chart_row_range(const ChartWindow* cw, const ChartSeries* s, double* lo, double* hi);

// ---- Mode events ---------------------------------------------------------------------------------
void chart_on_acquisition_started(ChartWindow* cw);
void chart_on_acquisition_stopped(ChartWindow* cw);
void chart_toggle_pause(ChartWindow* cw);
void chart_fit_all(ChartWindow* cw, int32_t from_key);   // key F (1) or menu (0)
void chart_reset_zoom(ChartWindow* cw);
void chart_toggle_stacked(ChartWindow* cw, int32_t from_menu);

// ---- Zoom, animation, pan, scroll --------------------------------------------------------------
// Wheel turn at client point (x, y): value axis with Ctrl, else time axis; nothing outside the
// plot. Returns 1 when a zoom target was set.
int32_t chart_wheel(ChartWindow* cw, int32_t width, int32_t height, int32_t x, int32_t y, int32_t wheel_delta,
                    int32_t ctrl);
int32_t chart_zoom_time(ChartWindow* cw, int32_t width, int32_t height, int32_t x, int32_t wheel_delta);
int32_t chart_zoom_value(ChartWindow* cw, int32_t width, int32_t height, int32_t y, int32_t wheel_delta);
// Box zoom over the selection box_x0/y0 .. box_x1/y1 on release. 1 when a target was set; 0 means
// the release is a click (box smaller than 6 x 6, empty plot, or no valid target).
int32_t chart_box_zoom(ChartWindow* cw, int32_t width, int32_t height);
// Starts the 16 ms animation timer unless it runs.
void chart_anim_start(ChartWindow* cw);
// One animation tick; returns 1 while the animation goes on, 0 after it stopped the timer.
int32_t chart_anim_tick(ChartWindow* cw);
// Drag pan: press (records the start), move (threshold, then pan; 1 when it panned), release
// (1 when a pan ended). Loss of capture: chart_pan_cancel.
void chart_pan_press(ChartWindow* cw, int32_t x, int32_t y);
int32_t chart_pan_move(ChartWindow* cw, int32_t width, int32_t height, int32_t x, int32_t y);
int32_t chart_pan_release(ChartWindow* cw);
void chart_pan_cancel(ChartWindow* cw);
// Scroll bar state for a view: 1 shown (page and position set), 0 hidden.
int32_t chart_scrollbar_state(const ChartWindow* cw, const ViewInfo* v, int32_t* page, int32_t* position);
// A scroll bar request with the bar's current page and position; returns the new position, or -1
// when the request did nothing.
int32_t chart_scroll(ChartWindow* cw, ChartScrollRequest request, int32_t thumb, int32_t page, int32_t position);

// ---- Markers and legend (clicks) ------------------------------------------------------------------
// Series index of the legend row under (x, y) in a window of height H, or -1.
int32_t chart_legend_hit(const ChartWindow* cw, int32_t height, int32_t x, int32_t y);
// Places a measurement marker for a click at (x, y) with the view `v`: marker 1, then marker 2,
// then a new marker 1. Returns 1 when a marker was placed, 0 when no series gave a candidate.
int32_t chart_place_marker(ChartWindow* cw, const ViewInfo* v, int32_t width, int32_t height, int32_t x, int32_t y);
