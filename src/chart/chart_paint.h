// chart_paint.h - drawing a waveform window onto a DrawSurface: frame, title-strip glyphs, plot,
// grid, labels, series (line, line with dots, min/max columns, bucket cache), markers, hover box,
// empty-window hint, legend and box selection. The window composes it off-screen and copies it
// once per paint; screenshots call it on their own surface.
#pragma once
#include <cstddef>
#include <cstdint>

#include "chart/chart.h"
#include "chart/chart_view.h"
#include "chart/draw_surface.h"
#include "vartable/leaf_table.h"

// Fixed colours of the drawing (0x00RRGGBB).
enum : uint32_t {
    CHART_ROW_SEPARATOR = 0x525262,
    CHART_CROSSHAIR = 0xBEBED2,
    CHART_HOVER_FILL = 0x181A26,
    CHART_HOVER_OUTLINE = 0x5A5F73,
    CHART_HOVER_TEXT = 0xDCE1EB,
    CHART_HINT_TEXT = 0x828C9B,
    CHART_BOX_OUTLINE = 0x50C8FF,
};

enum : int32_t {
    CHART_DOTS_MAX = 120,         // at most this many visible samples get dots
    CHART_COLUMNS_MAX = 4096,     // min/max columns per series
    CHART_HOVER_LINES = 8,
    CHART_LABELS_MAX = 8,         // value labels of one axis
    CHART_LABEL_CAPACITY = 48,
};

// Draws the whole client area (W x H) of the window; also shows or hides its scroll bar.
void chart_paint(ChartWindow* cw, DrawSurface* surface, int32_t width, int32_t height);
// Draws one series with time mapped to xbox's left..right and values to ybox's top..bottom.
void chart_draw_series(DrawSurface* surface, const ChartWindow* cw, const ChartSeries* s, const DrawRect& xbox,
                       const DrawRect& ybox, int64_t x0, int64_t x1, double y0, double y1, int32_t has_time);
// Texts of value labels read top to bottom: the fewest significant digits (3 to 10) that make
// neighbours differ, in plain notation when every label then fits `width` pixels (or when plain
// is the narrower of two forms that do not fit), else with a short exponent ("1.5e9").
void chart_format_value_labels(DrawSurface* surface, const double* values, int32_t n, int32_t width,
                               char (*texts)[CHART_LABEL_CAPACITY]);
// Type text of a leaf for the hover box ("int16_t", "uint32_t*", "float:bf", "enum", ...).
void chart_type_text(const VarLeaf* leaf, char* out, size_t size);
// The shared "dots logged" flag (tests reset it).
int32_t chart_dots_logged();
void chart_set_dots_logged(int32_t on);
