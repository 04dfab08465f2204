// draw_surface.h - the small drawing surface the waveform window paints on.
//
// The model is the one GDI has: a current pen, a current fill, a current text colour and ONE
// current point shared by every move/line call (the bucket envelope relies on that sharing).
// Two implementations: software (draw_surface_soft.h, a 32-bit pixel buffer, used by tests and
// benchmarks) and GDI (draw_surface_gdi_win32.cpp, on a memory DC of the window).
// Colours are 0x00RRGGBB; coordinates are client pixels, origin top-left, y down.
#pragma once
#include <cstdint>

// Pen line styles.
enum DrawPenStyle : int32_t { PEN_SOLID = 0, PEN_DOT = 1, PEN_DASH_DOT = 2 };

// Text layout flags (combinable).
enum : uint32_t {
    TEXT_LEFT = 0x0,
    TEXT_CENTER = 0x1,
    TEXT_RIGHT = 0x2,
    TEXT_VCENTER = 0x4,    // single line centred vertically in the box (else top-aligned)
    TEXT_SINGLE_LINE = 0x8,
    TEXT_ELLIPSIS = 0x10,  // cut an overlong single line with "..." at its end
    TEXT_NO_CLIP = 0x20,   // draw beyond the box when the text is larger
};

// A rectangle in pixels: columns left .. right-1, rows top .. bottom-1.
struct DrawRect {
    int32_t left, top, right, bottom;
};

// A vertical run of one pixel column: rows top .. bottom-1 in a colour.
struct DrawRun {
    int32_t top, bottom;
    uint32_t rgb;
};
static_assert(sizeof(DrawRun) == 12, "DrawRun layout");

// A drawing target. All calls are cheap; none allocates per call on the software surface.
class DrawSurface {
public:
    virtual ~DrawSurface() = default;
    // Selects the pen used by line_to, frames of outlined rectangles and dot outlines.
    virtual void set_pen(uint32_t rgb, int32_t width, DrawPenStyle style) = 0;
    // Selects the fill used by outlined rectangles and dots.
    virtual void set_fill(uint32_t rgb) = 0;
    // Selects the colour of text (always drawn with a transparent background).
    virtual void set_text_color(uint32_t rgb) = 0;
    // Sets the current point.
    virtual void move_to(int32_t x, int32_t y) = 0;
    // Line with the current pen from the current point to (x, y), end pixel excluded; (x, y)
    // becomes the current point.
    virtual void line_to(int32_t x, int32_t y) = 0;
    // Fills columns l..r-1 and rows t..b-1 with a colour (pen and fill unchanged).
    virtual void fill_rect(const DrawRect& r, uint32_t rgb) = 0;
    // Vertical runs of `columns` neighbouring pixel columns: column x0 + c gets
    // runs[first[c]] .. runs[first[c + 1] - 1], painted in that order (pen and fill unchanged).
    // A waveform's min/max columns are drawn this way. The pixels of one column lie a whole row
    // apart in memory, so a surface may paint the runs in any order that leaves the same pixels.
    virtual void column_runs(int32_t x0, int32_t columns, const int32_t* first, const DrawRun* runs) {
        for (int32_t c = 0; c < columns; c++)
            for (int32_t k = first[c]; k < first[c + 1]; k++)
                fill_rect(DrawRect{x0 + c, runs[k].top, x0 + c + 1, runs[k].bottom}, runs[k].rgb);
    }
    // One-pixel border just inside the area in a colour.
    virtual void frame_rect(const DrawRect& r, uint32_t rgb) = 0;
    // Fills the area with the current fill and outlines it with the current pen.
    virtual void outlined_rect(const DrawRect& r) = 0;
    // Filled circle in the box x-2..x+2, y-2..y+2 (right/bottom exclusive), outlined with the pen.
    virtual void dot(int32_t x, int32_t y) = 0;
    // UTF-8 text in the box with TEXT_* flags; multi-line unless TEXT_SINGLE_LINE ("\n" breaks).
    virtual void text(const char* utf8, const DrawRect& box, uint32_t flags) = 0;
    // Width and height in pixels that text() would use for this single line.
    virtual void measure_text(const char* utf8, int32_t* width, int32_t* height) = 0;
};
