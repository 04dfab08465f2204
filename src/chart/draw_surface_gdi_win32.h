// draw_surface_gdi_win32.h - the DrawSurface of the Win32 build: GDI on a device context, and the
// double-buffered paint of a waveform window (compose on a memory bitmap, one block transfer).
#pragma once
#include <windows.h>

#include "chart/chart.h"
#include "chart/draw_surface.h"

// GDI drawing on a DC the caller owns. Selects the default GUI font, a transparent text
// background and its own pen and brush; the destructor puts the DC's previous objects back.
class GdiSurface final : public DrawSurface {
public:
    explicit GdiSurface(HDC dc);
    ~GdiSurface() override;
    GdiSurface(const GdiSurface&) = delete;
    GdiSurface& operator=(const GdiSurface&) = delete;

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
    HDC dc_;
    HPEN pen_ = nullptr;
    HBRUSH brush_ = nullptr;
    HGDIOBJ old_pen_, old_brush_, old_font_;
    int old_bk_mode_;
};

// 0x00RRGGBB to a GDI COLORREF.
inline COLORREF gdi_color(uint32_t rgb) { return RGB((rgb >> 16) & 0xFF, (rgb >> 8) & 0xFF, rgb & 0xFF); }

// Paints the window's record into `dc` (client size width x height): off-screen and copied in one
// block transfer when the size is positive, directly otherwise.
void chart_paint_hdc(ChartWindow* cw, HDC dc, int32_t width, int32_t height);
