// draw_surface_gdi_win32.cpp - GDI implementation of DrawSurface and the double-buffered paint.
#include "chart/draw_surface_gdi_win32.h"

#include "chart/chart_paint.h"
#include "core/text.h"

namespace {

int pen_style_of(DrawPenStyle style) {
    switch (style) {
    case PEN_DOT: return PS_DOT;
    case PEN_DASH_DOT: return PS_DASHDOT;
    default: return PS_SOLID;
    }
}

UINT text_flags_of(uint32_t flags) {
    UINT f = DT_NOPREFIX;
    if (flags & TEXT_CENTER) f |= DT_CENTER;
    if (flags & TEXT_RIGHT) f |= DT_RIGHT;
    if (flags & TEXT_VCENTER) f |= DT_VCENTER;
    if (flags & TEXT_SINGLE_LINE) f |= DT_SINGLELINE;
    if (flags & TEXT_ELLIPSIS) f |= DT_END_ELLIPSIS;
    if (flags & TEXT_NO_CLIP) f |= DT_NOCLIP;
    return f;
}

}  // namespace

GdiSurface::GdiSurface(HDC dc) : dc_(dc) {
    old_font_ = SelectObject(dc_, GetStockObject(DEFAULT_GUI_FONT));
    old_pen_ = SelectObject(dc_, GetStockObject(BLACK_PEN));
    old_brush_ = SelectObject(dc_, GetStockObject(BLACK_BRUSH));
    old_bk_mode_ = SetBkMode(dc_, TRANSPARENT);
}

GdiSurface::~GdiSurface() {
    SelectObject(dc_, old_pen_);
    SelectObject(dc_, old_brush_);
    SelectObject(dc_, old_font_);
    SetBkMode(dc_, old_bk_mode_);
    if (pen_) DeleteObject(pen_);
    if (brush_) DeleteObject(brush_);
}

void GdiSurface::set_pen(uint32_t rgb, int32_t width, DrawPenStyle style) {
    HPEN pen = CreatePen(pen_style_of(style), width, gdi_color(rgb));
    if (!pen) return;
    SelectObject(dc_, pen);
    if (pen_) DeleteObject(pen_);
    pen_ = pen;
}

void GdiSurface::set_fill(uint32_t rgb) {
    HBRUSH brush = CreateSolidBrush(gdi_color(rgb));
    if (!brush) return;
    SelectObject(dc_, brush);
    if (brush_) DeleteObject(brush_);
    brush_ = brush;
}

void GdiSurface::set_text_color(uint32_t rgb) { SetTextColor(dc_, gdi_color(rgb)); }

void GdiSurface::move_to(int32_t x, int32_t y) { MoveToEx(dc_, x, y, nullptr); }

void GdiSurface::line_to(int32_t x, int32_t y) { LineTo(dc_, x, y); }

void GdiSurface::fill_rect(const DrawRect& r, uint32_t rgb) {
    RECT rc = {r.left, r.top, r.right, r.bottom};
    HBRUSH brush = CreateSolidBrush(gdi_color(rgb));
    if (!brush) return;
    FillRect(dc_, &rc, brush);
    DeleteObject(brush);
}

void GdiSurface::column_runs(int32_t x0, int32_t columns, const int32_t* first, const DrawRun* runs) {
    // The DC's own brush changes colour without creating a GDI object per run.
    HGDIOBJ previous = SelectObject(dc_, GetStockObject(DC_BRUSH));
    uint32_t current = 0xFFFFFFFFu;
    for (int32_t c = 0; c < columns; c++) {
        for (int32_t k = first[c]; k < first[c + 1]; k++) {
            if (runs[k].bottom <= runs[k].top) continue;
            if (runs[k].rgb != current) {
                current = runs[k].rgb;
                SetDCBrushColor(dc_, gdi_color(current));
            }
            PatBlt(dc_, x0 + c, runs[k].top, 1, runs[k].bottom - runs[k].top, PATCOPY);
        }
    }
    SelectObject(dc_, previous);
}

void GdiSurface::frame_rect(const DrawRect& r, uint32_t rgb) {
    RECT rc = {r.left, r.top, r.right, r.bottom};
    HBRUSH brush = CreateSolidBrush(gdi_color(rgb));
    if (!brush) return;
    FrameRect(dc_, &rc, brush);
    DeleteObject(brush);
}

void GdiSurface::outlined_rect(const DrawRect& r) { Rectangle(dc_, r.left, r.top, r.right, r.bottom); }

void GdiSurface::dot(int32_t x, int32_t y) { Ellipse(dc_, x - 2, y - 2, x + 2, y + 2); }

void GdiSurface::text(const char* utf8, const DrawRect& box, uint32_t flags) {
    if (!utf8) return;
    wchar_t wide[1024];
    const size_t n = utf8_to_utf16(utf8, (char16_t*)wide, sizeof wide / sizeof wide[0]);
    RECT rc = {box.left, box.top, box.right, box.bottom};
    DrawTextW(dc_, wide, (int)n, &rc, text_flags_of(flags));
}

void GdiSurface::measure_text(const char* utf8, int32_t* width, int32_t* height) {
    wchar_t wide[1024];
    const size_t n = utf8_to_utf16(utf8 ? utf8 : "", (char16_t*)wide, sizeof wide / sizeof wide[0]);
    SIZE size = {0, 0};
    GetTextExtentPoint32W(dc_, wide, (int)n, &size);
    if (width) *width = size.cx;
    if (height) *height = size.cy;
}

void chart_paint_hdc(ChartWindow* cw, HDC dc, int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) {
        GdiSurface direct(dc);
        chart_paint(cw, &direct, width, height);
        return;
    }
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = memory ? CreateCompatibleBitmap(dc, width, height) : nullptr;
    if (!bitmap) {
        // Out of GDI resources: draw directly rather than not at all.
        if (memory) DeleteDC(memory);
        GdiSurface direct(dc);
        chart_paint(cw, &direct, width, height);
        return;
    }
    HGDIOBJ old_bitmap = SelectObject(memory, bitmap);
    {
        GdiSurface surface(memory);
        chart_paint(cw, &surface, width, height);
    }
    BitBlt(dc, 0, 0, width, height, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old_bitmap);
    DeleteObject(bitmap);
    DeleteDC(memory);
}
