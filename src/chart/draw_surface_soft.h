// draw_surface_soft.h - a DrawSurface that renders into a 32-bit pixel buffer (0x00RRGGBB, rows
// top to bottom) with a built-in 5x7 bitmap font. Used by tests, benchmarks and any screenshot
// made without a window. Text: printable ASCII plus a few signs (× Δ µ … and full-width
// parentheses); every other character is drawn as an outlined box (wide characters 12 pixels).
#pragma once
#include <cstdint>

#include "chart/draw_surface.h"

enum : int32_t {
    SOFT_GLYPH_ADVANCE = 6,   // pixels per narrow character
    SOFT_WIDE_ADVANCE = 12,   // pixels per wide (CJK) character
    SOFT_LINE_HEIGHT = 14,    // pixels per text line
};

// Software drawing surface over a caller-owned pixel buffer (width * height pixels).
class SoftSurface final : public DrawSurface {
public:
    SoftSurface(uint32_t* pixels, int32_t width, int32_t height);

    int32_t width() const { return width_; }
    int32_t height() const { return height_; }
    const uint32_t* pixels() const { return pixels_; }
    // The pixel at (x, y), or 0xFFFFFFFF outside the surface.
    uint32_t pixel(int32_t x, int32_t y) const;
    // Saves the surface as a 32-bit BMP; 0 or -1.
    int save_bmp(const char* path) const;

    void set_pen(uint32_t rgb, int32_t width, DrawPenStyle style) override;
    void set_fill(uint32_t rgb) override;
    void set_text_color(uint32_t rgb) override;
    void move_to(int32_t x, int32_t y) override;
    void line_to(int32_t x, int32_t y) override;
    void fill_rect(const DrawRect& r, uint32_t rgb) override;
    void column_runs(int32_t x0, int32_t columns, const int32_t* first, const DrawRun* runs) override;
    void frame_rect(const DrawRect& r, uint32_t rgb) override;
    void outlined_rect(const DrawRect& r) override;
    void dot(int32_t x, int32_t y) override;
    void text(const char* utf8, const DrawRect& box, uint32_t flags) override;
    void measure_text(const char* utf8, int32_t* width, int32_t* height) override;

private:
    void plot(int32_t x, int32_t y, uint32_t rgb);
    void plot_pen(int32_t x, int32_t y);
    void draw_line(const char* line, int32_t length, int32_t x, int32_t y, const DrawRect* clip);
    int32_t line_width(const char* line, int32_t length) const;
    void runs_in_tile(int32_t x0, int32_t columns, const int32_t* first, const DrawRun* runs, int32_t y0, int32_t y1);

    uint32_t* pixels_;
    int32_t width_, height_;
    uint32_t pen_ = 0, fill_ = 0, text_ = 0;
    int32_t pen_width_ = 1;
    DrawPenStyle pen_style_ = PEN_SOLID;
    int32_t pattern_step_ = 0;   // position in the dash pattern, kept along a polyline
    int32_t cur_x_ = 0, cur_y_ = 0;
};
