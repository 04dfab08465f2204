// chart_columns.h - one min/max column per pixel: how a series with more samples than pixels is
// drawn, from the live ring and from a replay track alike. Every extreme of every column is kept,
// a column is joined to its neighbour where their ranges would leave a gap, and columns with no
// sample between two with samples are bridged by a line, so neither a lone spike nor a sparse
// series is ever lost.
#pragma once
#include <cstdint>

#include "chart/chart.h"
#include "chart/draw_surface.h"

enum : int32_t { CHART_COLUMN_LIMIT = 4096 };  // pixel columns per series at most

// Where each pixel column begins in time: start[c] is the first time that time_to_x maps to
// column c (c = 0 .. columns - 1), start[columns] is one past the view's last time.
struct ColumnGrid {
    int32_t columns;
    int64_t x0, x1;
    int64_t start[CHART_COLUMN_LIMIT + 1];
};

// The samples of one series per column: smallest, largest, first and last value (NaN left out;
// an empty column has lo > hi).
struct ColumnEnvelope {
    int32_t columns;
    double lo[CHART_COLUMN_LIMIT];
    double hi[CHART_COLUMN_LIMIT];
    double first[CHART_COLUMN_LIMIT];
    double last[CHART_COLUMN_LIMIT];
};

// Column boundaries for the view x0..x1 drawn over pixels left..right (right - left columns, at
// most CHART_COLUMN_LIMIT; the last column also takes the times that map past it).
void chart_column_grid(ColumnGrid* grid, int64_t x0, int64_t x1, int32_t left, int32_t right);
// Envelope of a ring whose considered samples are ordered (chart_ring_ordered).
void chart_columns_from_ring(ColumnEnvelope* env, const ColumnGrid& grid, const ChartWindow* cw,
                             const ChartSeries* s);
// Envelope of a replay track (read through its pyramid).
void chart_columns_from_track(ColumnEnvelope* env, const ColumnGrid& grid, const SampleTrack* track);
// Draws the envelope: column c at pixel left + c, values mapped to top..bottom by y0..y1.
void chart_draw_envelope(DrawSurface* d, const ColumnEnvelope& env, uint32_t colour, int32_t left, int32_t top,
                         int32_t bottom, double y0, double y1);

// Pixel rows yt[c]..yb[c] each column of an envelope covers (yt > yb: none), neighbours joined as
// chart_draw_envelope joins them; false when a gap between columns would need a bridging line.
bool chart_envelope_spans(const ColumnEnvelope& env, int32_t top, int32_t bottom, double y0, double y1, int16_t* yt,
                          int16_t* yb);
// Draws the spans of n series (index order = painting order) writing every pixel once, with the
// colour painting them in order would leave.
void chart_draw_spans_combined(DrawSurface* d, const int16_t (*yt)[CHART_COLUMN_LIMIT],
                               const int16_t (*yb)[CHART_COLUMN_LIMIT], const uint32_t* colours, int32_t n,
                               int32_t columns, int32_t left);

// Smallest and largest non-NaN value (infinities included) of the ring samples of age indexes
// [k0, k1), through the ring's blocks; false when every value is NaN or the run is empty.
bool chart_ring_minmax(const ChartSeries* s, int32_t k0, int32_t k1, double* lo, double* hi);
// First age index in [k0, k1) whose time is >= t (ordered ring), k1 when none.
int32_t chart_ring_lower_bound(const ChartSeries* s, int32_t k0, int32_t k1, int64_t t);
