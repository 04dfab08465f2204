// draw_surface_soft.cpp - software rendering: Bresenham lines with pen width and dash pattern,
// rectangles, 4x4 dots and a 5x7 column-encoded bitmap font.
//
// Index
//   [SECTION] Font
//   [SECTION] Pixels, pens, lines
//   [SECTION] Rectangles and dots
//   [SECTION] Text
#include "chart/draw_surface_soft.h"

#include <algorithm>
#include <cstring>

#include "core/bmp.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// [SECTION] Font -------------------------------------------------------------------------------------

// Printable ASCII 0x20..0x7E, five columns per glyph, bit 0 = top row of seven.
const uint8_t kFont5x7[95][5] = {
    {0x00, 0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x5F, 0x00, 0x00}, {0x00, 0x07, 0x00, 0x07, 0x00},
    {0x14, 0x7F, 0x14, 0x7F, 0x14}, {0x24, 0x2A, 0x7F, 0x2A, 0x12}, {0x23, 0x13, 0x08, 0x64, 0x62},
    {0x36, 0x49, 0x55, 0x22, 0x50}, {0x00, 0x05, 0x03, 0x00, 0x00}, {0x00, 0x1C, 0x22, 0x41, 0x00},
    {0x00, 0x41, 0x22, 0x1C, 0x00}, {0x08, 0x2A, 0x1C, 0x2A, 0x08}, {0x08, 0x08, 0x3E, 0x08, 0x08},
    {0x00, 0x50, 0x30, 0x00, 0x00}, {0x08, 0x08, 0x08, 0x08, 0x08}, {0x00, 0x60, 0x60, 0x00, 0x00},
    {0x20, 0x10, 0x08, 0x04, 0x02}, {0x3E, 0x51, 0x49, 0x45, 0x3E}, {0x00, 0x42, 0x7F, 0x40, 0x00},
    {0x42, 0x61, 0x51, 0x49, 0x46}, {0x21, 0x41, 0x45, 0x4B, 0x31}, {0x18, 0x14, 0x12, 0x7F, 0x10},
    {0x27, 0x45, 0x45, 0x45, 0x39}, {0x3C, 0x4A, 0x49, 0x49, 0x30}, {0x01, 0x71, 0x09, 0x05, 0x03},
    {0x36, 0x49, 0x49, 0x49, 0x36}, {0x06, 0x49, 0x49, 0x29, 0x1E}, {0x00, 0x36, 0x36, 0x00, 0x00},
    {0x00, 0x56, 0x36, 0x00, 0x00}, {0x08, 0x14, 0x22, 0x41, 0x00}, {0x14, 0x14, 0x14, 0x14, 0x14},
    {0x00, 0x41, 0x22, 0x14, 0x08}, {0x02, 0x01, 0x51, 0x09, 0x06}, {0x32, 0x49, 0x79, 0x41, 0x3E},
    {0x7E, 0x11, 0x11, 0x11, 0x7E}, {0x7F, 0x49, 0x49, 0x49, 0x36}, {0x3E, 0x41, 0x41, 0x41, 0x22},
    {0x7F, 0x41, 0x41, 0x22, 0x1C}, {0x7F, 0x49, 0x49, 0x49, 0x41}, {0x7F, 0x09, 0x09, 0x09, 0x01},
    {0x3E, 0x41, 0x49, 0x49, 0x7A}, {0x7F, 0x08, 0x08, 0x08, 0x7F}, {0x00, 0x41, 0x7F, 0x41, 0x00},
    {0x20, 0x40, 0x41, 0x3F, 0x01}, {0x7F, 0x08, 0x14, 0x22, 0x41}, {0x7F, 0x40, 0x40, 0x40, 0x40},
    {0x7F, 0x02, 0x0C, 0x02, 0x7F}, {0x7F, 0x04, 0x08, 0x10, 0x7F}, {0x3E, 0x41, 0x41, 0x41, 0x3E},
    {0x7F, 0x09, 0x09, 0x09, 0x06}, {0x3E, 0x41, 0x51, 0x21, 0x5E}, {0x7F, 0x09, 0x19, 0x29, 0x46},
    {0x46, 0x49, 0x49, 0x49, 0x31}, {0x01, 0x01, 0x7F, 0x01, 0x01}, {0x3F, 0x40, 0x40, 0x40, 0x3F},
    {0x1F, 0x20, 0x40, 0x20, 0x1F}, {0x3F, 0x40, 0x38, 0x40, 0x3F}, {0x63, 0x14, 0x08, 0x14, 0x63},
    {0x07, 0x08, 0x70, 0x08, 0x07}, {0x61, 0x51, 0x49, 0x45, 0x43}, {0x00, 0x7F, 0x41, 0x41, 0x00},
    {0x02, 0x04, 0x08, 0x10, 0x20}, {0x00, 0x41, 0x41, 0x7F, 0x00}, {0x04, 0x02, 0x01, 0x02, 0x04},
    {0x40, 0x40, 0x40, 0x40, 0x40}, {0x00, 0x01, 0x02, 0x04, 0x00}, {0x20, 0x54, 0x54, 0x54, 0x78},
    {0x7F, 0x48, 0x44, 0x44, 0x38}, {0x38, 0x44, 0x44, 0x44, 0x20}, {0x38, 0x44, 0x44, 0x48, 0x7F},
    {0x38, 0x54, 0x54, 0x54, 0x18}, {0x08, 0x7E, 0x09, 0x01, 0x02}, {0x0C, 0x52, 0x52, 0x52, 0x3E},
    {0x7F, 0x08, 0x04, 0x04, 0x78}, {0x00, 0x44, 0x7D, 0x40, 0x00}, {0x20, 0x40, 0x44, 0x3D, 0x00},
    {0x7F, 0x10, 0x28, 0x44, 0x00}, {0x00, 0x41, 0x7F, 0x40, 0x00}, {0x7C, 0x04, 0x18, 0x04, 0x78},
    {0x7C, 0x08, 0x04, 0x04, 0x78}, {0x38, 0x44, 0x44, 0x44, 0x38}, {0x7C, 0x14, 0x14, 0x14, 0x08},
    {0x08, 0x14, 0x14, 0x18, 0x7C}, {0x7C, 0x08, 0x04, 0x04, 0x08}, {0x48, 0x54, 0x54, 0x54, 0x20},
    {0x04, 0x3F, 0x44, 0x40, 0x20}, {0x3C, 0x40, 0x40, 0x20, 0x7C}, {0x1C, 0x20, 0x40, 0x20, 0x1C},
    {0x3C, 0x40, 0x30, 0x40, 0x3C}, {0x44, 0x28, 0x10, 0x28, 0x44}, {0x0C, 0x50, 0x50, 0x50, 0x3C},
    {0x44, 0x64, 0x54, 0x4C, 0x44}, {0x00, 0x08, 0x36, 0x41, 0x00}, {0x00, 0x00, 0x7F, 0x00, 0x00},
    {0x00, 0x41, 0x36, 0x08, 0x00}, {0x08, 0x04, 0x08, 0x10, 0x08},
};

// The few non-ASCII signs the waveform window writes.
struct ExtraGlyph {
    uint32_t code;
    uint8_t columns[5];
};
const ExtraGlyph kExtraGlyphs[] = {
    {0x00D7, {0x22, 0x14, 0x08, 0x14, 0x22}},  // ×
    {0x0394, {0x70, 0x4C, 0x43, 0x4C, 0x70}},  // Δ
    {0x00B5, {0xFC, 0x20, 0x40, 0x20, 0x7C}},  // µ (descender)
    {0x2026, {0x40, 0x00, 0x40, 0x00, 0x40}},  // …
    {0xFF08, {0x00, 0x1C, 0x22, 0x41, 0x00}},  // full-width (
    {0xFF09, {0x00, 0x41, 0x22, 0x1C, 0x00}},  // full-width )
};

const int32_t kGlyphTop = 4;  // rows above the glyph inside a 14-pixel line

// Decodes one UTF-8 character; returns bytes used (at least 1). Invalid bytes give U+FFFD.
int32_t decode_utf8(const char* s, int32_t length, uint32_t* cp) {
    const unsigned char c = (unsigned char)s[0];
    int32_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || n > length) {
        *cp = 0xFFFD;
        return 1;
    }
    uint32_t v = n == 1 ? c : c & (0x7F >> n);
    for (int32_t i = 1; i < n; i++) {
        const unsigned char k = (unsigned char)s[i];
        if ((k & 0xC0) != 0x80) {
            *cp = 0xFFFD;
            return 1;
        }
        v = (v << 6) | (k & 0x3F);
    }
    *cp = v;
    return n;
}

const uint8_t* glyph_of(uint32_t cp) {
    if (cp >= 0x20 && cp <= 0x7E) return kFont5x7[cp - 0x20];
    for (const ExtraGlyph& g : kExtraGlyphs)
        if (g.code == cp) return g.columns;
    return nullptr;
}

bool is_wide(uint32_t cp) { return cp >= 0x1100 && !glyph_of(cp); }

int32_t advance_of(uint32_t cp) { return is_wide(cp) ? SOFT_WIDE_ADVANCE : SOFT_GLYPH_ADVANCE; }

// Dash patterns: lengths of alternating on/off runs.
const int32_t kDotPattern[] = {2, 2};
const int32_t kDashDotPattern[] = {6, 3, 2, 3};

// Fills n pixels with a colour, 16 bytes a store where the CPU has them.
void fill_pixels(uint32_t* p, int32_t n, uint32_t colour) {
    int32_t i = 0;
#if defined(__SSE2__)
    const __m128i four = _mm_set1_epi32((int32_t)colour);
    for (; i + 8 <= n; i += 8) {
        _mm_storeu_si128((__m128i*)(p + i), four);
        _mm_storeu_si128((__m128i*)(p + i + 4), four);
    }
#endif
    for (; i < n; i++) p[i] = colour;
}

// Pixel columns one tile of column runs holds, and the rows it holds at a time.
const int32_t kTileColumns = 16;
const int32_t kTileRows = 256;

bool pattern_on(DrawPenStyle style, int32_t step) {
    const int32_t* runs = style == PEN_DOT ? kDotPattern : kDashDotPattern;
    const int32_t count = style == PEN_DOT ? 2 : 4;
    int32_t period = 0;
    for (int32_t i = 0; i < count; i++) period += runs[i];
    int32_t at = step % period;
    for (int32_t i = 0; i < count; i++) {
        if (at < runs[i]) return i % 2 == 0;
        at -= runs[i];
    }
    return true;
}

}  // namespace

// [SECTION] Pixels, pens, lines ----------------------------------------------------------------

SoftSurface::SoftSurface(uint32_t* pixels, int32_t width, int32_t height)
    : pixels_(pixels), width_(width > 0 ? width : 0), height_(height > 0 ? height : 0) {}

uint32_t SoftSurface::pixel(int32_t x, int32_t y) const {
    if (x < 0 || y < 0 || x >= width_ || y >= height_) return 0xFFFFFFFFu;
    return pixels_[(size_t)y * (size_t)width_ + (size_t)x];
}

int SoftSurface::save_bmp(const char* path) const { return bmp_write_32(path, width_, height_, pixels_); }

inline void SoftSurface::plot(int32_t x, int32_t y, uint32_t rgb) {
    if ((uint32_t)x < (uint32_t)width_ && (uint32_t)y < (uint32_t)height_)
        pixels_[(size_t)y * (size_t)width_ + (size_t)x] = rgb & 0x00FFFFFFu;
}

void SoftSurface::plot_pen(int32_t x, int32_t y) {
    if (pen_style_ != PEN_SOLID && !pattern_on(pen_style_, pattern_step_++)) return;
    if (pen_width_ <= 1) {
        plot(x, y, pen_);
        return;
    }
    // A wide pen is a square centred on the line (the extra pixel goes up and left).
    const int32_t lo = -(pen_width_ / 2), hi = lo + pen_width_;
    for (int32_t dy = lo; dy < hi; dy++)
        for (int32_t dx = lo; dx < hi; dx++) plot(x + dx, y + dy, pen_);
}

void SoftSurface::set_pen(uint32_t rgb, int32_t width, DrawPenStyle style) {
    pen_ = rgb;
    pen_width_ = width < 1 ? 1 : width;
    pen_style_ = style;
}

void SoftSurface::set_fill(uint32_t rgb) { fill_ = rgb; }

void SoftSurface::set_text_color(uint32_t rgb) { text_ = rgb; }

void SoftSurface::move_to(int32_t x, int32_t y) {
    cur_x_ = x;
    cur_y_ = y;
    pattern_step_ = 0;
}

void SoftSurface::line_to(int32_t x, int32_t y) {
    // A solid thin vertical line (every min/max column of a waveform) is a run down one pixel
    // column: the same pixels Bresenham gives, without the per-pixel steps.
    if (x == cur_x_ && pen_style_ == PEN_SOLID && pen_width_ <= 1 && y != cur_y_) {
        if ((uint32_t)x < (uint32_t)width_) {
            int32_t a = y > cur_y_ ? cur_y_ : y + 1, b = y > cur_y_ ? y : cur_y_ + 1;  // rows a..b-1
            a = a < 0 ? 0 : a;
            b = b > height_ ? height_ : b;
            uint32_t* p = pixels_ + (size_t)(a < b ? a : 0) * (size_t)width_ + (size_t)x;
            for (int32_t r = a; r < b; r++, p += width_) *p = pen_ & 0x00FFFFFFu;
        }
        cur_y_ = y;
        return;
    }
    // Bresenham from the current point; the end pixel is left out, as GDI does.
    int32_t x0 = cur_x_, y0 = cur_y_;
    const int32_t dx = x > x0 ? x - x0 : x0 - x, sx = x0 < x ? 1 : -1;
    const int32_t dy = y > y0 ? -(y - y0) : -(y0 - y), sy = y0 < y ? 1 : -1;
    // Lines far outside the surface are skipped whole instead of walked pixel by pixel.
    const bool outside = (x0 < -pen_width_ && x < -pen_width_) || (y0 < -pen_width_ && y < -pen_width_) ||
                         (x0 >= width_ + pen_width_ && x >= width_ + pen_width_) ||
                         (y0 >= height_ + pen_width_ && y >= height_ + pen_width_);
    int32_t err = dx + dy;
    while (!outside && !(x0 == x && y0 == y)) {
        plot_pen(x0, y0);
        const int32_t e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x0 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y0 += sy;
        }
    }
    cur_x_ = x;
    cur_y_ = y;
}

// [SECTION] Rectangles and dots --------------------------------------------------------------------

void SoftSurface::fill_rect(const DrawRect& r, uint32_t rgb) {
    const int32_t l = r.left < 0 ? 0 : r.left, t = r.top < 0 ? 0 : r.top;
    const int32_t rr = r.right > width_ ? width_ : r.right, b = r.bottom > height_ ? height_ : r.bottom;
    if (rr <= l) return;
    const uint32_t colour = rgb & 0x00FFFFFFu;
    for (int32_t y = t; y < b; y++) fill_pixels(pixels_ + (size_t)y * (size_t)width_ + l, rr - l, colour);
}

void SoftSurface::column_runs(int32_t x0, int32_t columns, const int32_t* first, const DrawRun* runs) {
    // Writing down a pixel column touches one cache line and one page per row. The runs are
    // painted instead into a small tile of neighbouring columns (in cache), which is copied from
    // and back to the surface row by row.
    int32_t c = 0;
    if (x0 < 0) c = -x0;
    for (; c < columns && x0 + c < width_; c += kTileColumns) {
        const int32_t n = std::min(std::min(kTileColumns, columns - c), width_ - (x0 + c));
        int32_t top = height_, bottom = 0;
        for (int32_t k = first[c]; k < first[c + n]; k++) {
            if (runs[k].top >= runs[k].bottom) continue;
            top = std::min(top, runs[k].top);
            bottom = std::max(bottom, runs[k].bottom);
        }
        top = std::max(top, 0);
        bottom = std::min(bottom, height_);
        for (int32_t y = top; y < bottom; y += kTileRows)
            runs_in_tile(x0 + c, n, first + c, runs, y, std::min(y + kTileRows, bottom));
    }
}

void SoftSurface::runs_in_tile(int32_t x0, int32_t columns, const int32_t* first, const DrawRun* runs, int32_t y0,
                               int32_t y1) {
    uint32_t tile[kTileRows][kTileColumns];
    uint32_t* const origin = pixels_ + (size_t)y0 * (size_t)width_ + (size_t)x0;
    const bool whole = columns == kTileColumns;
    const size_t row_bytes = (size_t)columns * sizeof(uint32_t);
    uint32_t* row = origin;
    for (int32_t y = 0; y < y1 - y0; y++, row += width_) {
        if (whole) memcpy(tile[y], row, sizeof tile[y]);  // a fixed size: inlined
        else memcpy(tile[y], row, row_bytes);
    }
    for (int32_t c = 0; c < columns; c++) {
        for (int32_t k = first[c]; k < first[c + 1]; k++) {
            const int32_t a = std::max(runs[k].top, y0), b = std::min(runs[k].bottom, y1);
            const uint32_t colour = runs[k].rgb & 0x00FFFFFFu;
            uint32_t* p = &tile[0][c] + (a - y0) * kTileColumns;
            int32_t rows = b - a;
            for (; rows >= 4; rows -= 4, p += 4 * kTileColumns) {
                p[0] = colour;
                p[kTileColumns] = colour;
                p[2 * kTileColumns] = colour;
                p[3 * kTileColumns] = colour;
            }
            for (; rows > 0; rows--, p += kTileColumns) *p = colour;
        }
    }
    row = origin;
    for (int32_t y = 0; y < y1 - y0; y++, row += width_) {
        if (whole) memcpy(row, tile[y], sizeof tile[y]);
        else memcpy(row, tile[y], row_bytes);
    }
}

void SoftSurface::frame_rect(const DrawRect& r, uint32_t rgb) {
    if (r.right <= r.left || r.bottom <= r.top) return;
    fill_rect(DrawRect{r.left, r.top, r.right, r.top + 1}, rgb);
    fill_rect(DrawRect{r.left, r.bottom - 1, r.right, r.bottom}, rgb);
    fill_rect(DrawRect{r.left, r.top, r.left + 1, r.bottom}, rgb);
    fill_rect(DrawRect{r.right - 1, r.top, r.right, r.bottom}, rgb);
}

void SoftSurface::outlined_rect(const DrawRect& r) {
    if (r.right <= r.left || r.bottom <= r.top) return;
    fill_rect(r, fill_);
    frame_rect(r, pen_);
}

void SoftSurface::dot(int32_t x, int32_t y) {
    // The 4x4 box x-2..x+1 with its corners cut: a 12-pixel outline around a 2x2 fill.
    for (int32_t dy = -2; dy <= 1; dy++) {
        for (int32_t dx = -2; dx <= 1; dx++) {
            const bool corner = (dx == -2 || dx == 1) && (dy == -2 || dy == 1);
            if (corner) continue;
            const bool inner = dx >= -1 && dx <= 0 && dy >= -1 && dy <= 0;
            plot(x + dx, y + dy, inner ? fill_ : pen_);
        }
    }
}

// [SECTION] Text ---------------------------------------------------------------------------------

int32_t SoftSurface::line_width(const char* line, int32_t length) const {
    int32_t w = 0;
    for (int32_t i = 0; i < length;) {
        uint32_t cp;
        i += decode_utf8(line + i, length - i, &cp);
        w += advance_of(cp);
    }
    return w;
}

void SoftSurface::draw_line(const char* line, int32_t length, int32_t x, int32_t y, const DrawRect* clip) {
    auto put = [&](int32_t px, int32_t py) {
        if (clip && (px < clip->left || px >= clip->right || py < clip->top || py >= clip->bottom)) return;
        plot(px, py, text_);
    };
    for (int32_t i = 0; i < length;) {
        uint32_t cp;
        i += decode_utf8(line + i, length - i, &cp);
        const uint8_t* g = glyph_of(cp);
        if (g) {
            for (int32_t col = 0; col < 5; col++)
                for (int32_t row = 0; row < 8; row++)
                    if (g[col] >> row & 1) put(x + col, y + kGlyphTop + row);
        } else if (cp != ' ') {
            // Characters the font lacks: an outlined box of the character's cell.
            const int32_t w = advance_of(cp) - 2, top = y + 2, bottom = y + SOFT_LINE_HEIGHT - 3;
            for (int32_t px = x; px < x + w; px++) {
                put(px, top);
                put(px, bottom);
            }
            for (int32_t py = top; py <= bottom; py++) {
                put(x, py);
                put(x + w - 1, py);
            }
        }
        x += advance_of(cp);
    }
}

void SoftSurface::measure_text(const char* utf8, int32_t* width, int32_t* height) {
    const int32_t length = utf8 ? (int32_t)strlen(utf8) : 0;
    if (width) *width = line_width(utf8 ? utf8 : "", length);
    if (height) *height = SOFT_LINE_HEIGHT;
}

void SoftSurface::text(const char* utf8, const DrawRect& box, uint32_t flags) {
    if (!utf8) return;
    const DrawRect* clip = (flags & TEXT_NO_CLIP) ? nullptr : &box;
    const int32_t box_w = box.right - box.left;
    auto x_for = [&](int32_t w) {
        if (flags & TEXT_CENTER) return box.left + (box_w - w) / 2;
        if (flags & TEXT_RIGHT) return box.right - w;
        return box.left;
    };
    if (flags & TEXT_SINGLE_LINE) {
        int32_t length = (int32_t)strlen(utf8);
        int32_t w = line_width(utf8, length);
        char cut[1024];
        if ((flags & TEXT_ELLIPSIS) && w > box_w) {
            // Drop whole characters from the end until the text and "..." fit.
            const int32_t dots = 3 * SOFT_GLYPH_ADVANCE;
            int32_t keep = 0, keep_w = 0;
            for (int32_t i = 0; i < length && i < (int32_t)sizeof cut - 4;) {
                uint32_t cp;
                const int32_t n = decode_utf8(utf8 + i, length - i, &cp);
                if (keep_w + advance_of(cp) + dots > box_w) break;
                keep_w += advance_of(cp);
                i += n;
                keep = i;
            }
            memcpy(cut, utf8, (size_t)keep);
            memcpy(cut + keep, "...", 4);
            utf8 = cut;
            length = keep + 3;
            w = keep_w + dots;
        }
        const int32_t y = (flags & TEXT_VCENTER) ? box.top + (box.bottom - box.top - SOFT_LINE_HEIGHT) / 2 : box.top;
        draw_line(utf8, length, x_for(w), y, clip);
        return;
    }
    int32_t y = box.top;
    for (const char* line = utf8;;) {
        const char* end = strchr(line, '\n');
        const int32_t length = end ? (int32_t)(end - line) : (int32_t)strlen(line);
        draw_line(line, length, x_for(line_width(line, length)), y, clip);
        if (!end) break;
        line = end + 1;
        y += SOFT_LINE_HEIGHT;
    }
}
