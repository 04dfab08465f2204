// Waveform rendering: the primitives chart_paint issues (recorded) and the pixels the software
// surface produces, plus the BMP writer.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "chart/draw_surface_soft.h"
#include "chart_fixture.h"
#include "core/bmp.h"
#include "workspace/theme.h"

using namespace chart_test;

namespace {

// One primitive as issued.
struct Op {
    std::string kind;
    DrawRect r;
    int32_t x, y;
    uint32_t colour;
    uint32_t flags;
    std::string text;
};

// A DrawSurface that records what is drawn.
class RecordingSurface final : public DrawSurface {
public:
    std::vector<Op> ops;
    uint32_t pen = 0, fill = 0, text_colour = 0;
    int32_t pen_width = 1;
    DrawPenStyle style = PEN_SOLID;
    int32_t cx = 0, cy = 0;

    void set_pen(uint32_t rgb, int32_t w, DrawPenStyle s) override {
        pen = rgb;
        pen_width = w;
        style = s;
    }
    void set_fill(uint32_t rgb) override { fill = rgb; }
    void set_text_color(uint32_t rgb) override { text_colour = rgb; }
    void move_to(int32_t x, int32_t y) override {
        cx = x;
        cy = y;
    }
    void line_to(int32_t x, int32_t y) override {
        ops.push_back(Op{"line", DrawRect{cx, cy, x, y}, x, y, pen, (uint32_t)style, ""});
        cx = x;
        cy = y;
    }
    void fill_rect(const DrawRect& r, uint32_t rgb) override { ops.push_back(Op{"fill", r, 0, 0, rgb, 0, ""}); }
    // A run is kept as a vertical "column" from its top to one past its bottom.
    void column_runs(int32_t x0, int32_t columns, const int32_t* first, const DrawRun* runs) override {
        for (int32_t c = 0; c < columns; c++)
            for (int32_t k = first[c]; k < first[c + 1]; k++)
                ops.push_back(Op{"column", DrawRect{x0 + c, runs[k].top, x0 + c, runs[k].bottom}, x0 + c, runs[k].bottom,
                                 runs[k].rgb, 0, ""});
    }
    void frame_rect(const DrawRect& r, uint32_t rgb) override { ops.push_back(Op{"frame", r, 0, 0, rgb, 0, ""}); }
    void outlined_rect(const DrawRect& r) override { ops.push_back(Op{"outlined", r, 0, 0, fill, 0, ""}); }
    void dot(int32_t x, int32_t y) override { ops.push_back(Op{"dot", DrawRect{}, x, y, fill, 0, ""}); }
    void text(const char* s, const DrawRect& box, uint32_t flags) override {
        ops.push_back(Op{"text", box, 0, 0, text_colour, flags, s});
    }
    void measure_text(const char* s, int32_t* w, int32_t* h) override {
        *w = 6 * (int32_t)strlen(s);
        *h = 14;
    }

    int count(const std::string& kind, uint32_t colour) const {
        int n = 0;
        for (const Op& o : ops) n += o.kind == kind && o.colour == colour;
        return n;
    }
    const Op* find_text(const std::string& prefix) const {
        for (const Op& o : ops)
            if (o.kind == "text" && o.text.rfind(prefix, 0) == 0) return &o;
        return nullptr;
    }
};

const int W = 656, H = 444;   // plot 56..650 x 26..426

class ChartPaint : public ChartTest {
protected:
    RecordingSurface rs;
    void paint() {
        rs.ops.clear();
        chart_paint(cw, &rs, W, H);
    }
};

}  // namespace

TEST_F(ChartPaint, EmptyWindowShowsGridLabelsLegendAndHint) {
    chart_add_var(handle, 0);
    paint();
    EXPECT_EQ(rs.ops[0].kind, "fill");
    EXPECT_EQ(rs.ops[0].colour, theme_color(1));
    EXPECT_EQ(rs.count("fill", 0x0C0C12), 1);
    EXPECT_EQ(rs.count("line", 0x2D2D3A), 9 + 7);
    ASSERT_NE(rs.find_text("1.16"), nullptr);
    ASSERT_NE(rs.find_text("-1.16"), nullptr);
    const Op* hint = rs.find_text("等待采集数据…（请连接 MCU 并开始采集）");
    ASSERT_NE(hint, nullptr);
    EXPECT_EQ(hint->colour, (uint32_t)CHART_HINT_TEXT);
    const Op* legend = rs.find_text("a = ");
    ASSERT_NE(legend, nullptr);
    EXPECT_EQ(legend->colour, 0xFFDC00u);
    EXPECT_EQ(legend->r.left, 56 + 38);
    EXPECT_EQ(rs.find_text("[逐行堆叠]"), nullptr);
    feed(0, 0, 1);   // a sample without timestamp still ends the hint
    paint();
    EXPECT_EQ(rs.find_text("等待采集数据"), nullptr);
}

TEST_F(ChartPaint, StyleFollowsTheVisibleCount) {
    chart_add_var(handle, 0);
    feed_n(0, 100, 1000, 1000, [](int i) { return (double)(i % 7); });
    paint();
    EXPECT_EQ(rs.count("dot", 0xFFDC00), 100);
    EXPECT_EQ(rs.count("line", 0xFFDC00), 99 + 1);   // 99 segments + the legend stroke
    paint();
    EXPECT_EQ(count_lines("DEBUG 波形采样点圆点: 可见 100 点"), 1);
    feed_n(0, 21, 101000, 1000, [](int i) { return (double)i; });
    paint();
    EXPECT_EQ(rs.count("dot", 0xFFDC00), 0);
    EXPECT_EQ(chart_dots_logged(), 0);

    // Far more samples than pixels: one vertical segment per column.
    chart_on_acquisition_stopped(cw);
    feed_n(0, 5000, 200000, 1000, [](int i) { return std::sin(i * 0.01); });
    cw->paused = 0;
    feed_n(0, 5000, 200000, 1000, [](int i) { return std::sin(i * 0.01); });
    paint();
    // The gap between the first 121 samples and these is bridged by one line, as consecutive
    // samples are joined.
    int columns = 0, bridges = 0;
    for (const Op& o : rs.ops) {
        if (o.colour != 0xFFDC00 || o.r.top == o.r.bottom) continue;
        if (o.kind == "column") columns++;
        else if (o.kind == "line" && o.r.left != o.r.right) bridges++;
    }
    EXPECT_EQ(bridges, 1);
    EXPECT_GT(columns, 500);
    EXPECT_LE(columns, 594);
}

TEST_F(ChartPaint, ConstantSignalAsColumnsIsAOnePixelTrace) {
    chart_add_var(handle, 0);
    feed_n(0, 3000, 1000, 10, [](int) { return 5.0; });
    cw->show_all = 1;
    paint();
    int n = 0;
    for (const Op& o : rs.ops) {
        if (o.kind != "column" || o.colour != 0xFFDC00) continue;
        EXPECT_EQ(o.r.bottom - o.r.top, 1) << o.r.left << " " << o.r.top << " " << o.r.bottom;
        n++;
    }
    EXPECT_GT(n, 580);
}

TEST_F(ChartPaint, SingleSampleInFollowModeIsADotInTheMiddle) {
    chart_add_var(handle, 0);
    feed(0, 123456, 2.0);
    paint();
    ASSERT_EQ(rs.count("dot", 0xFFDC00), 1);
    for (const Op& o : rs.ops)
        if (o.kind == "dot") {
            EXPECT_EQ(o.x, 56 + (650 - 56) / 2);
            EXPECT_EQ(o.y, value_to_y(2.0, 1.0, 3.0, 26, 426));
        }
}

TEST_F(ChartPaint, HoverBoxWithTenSeriesShowsEightLinesSizedForTen) {
    for (int i = 0; i < 10; i++) {
        chart_add_var(handle, i);
        feed(i, 1000, i);
        feed(i, 2000, i + 1);
    }
    cw->hover = 1;
    cw->mouse_x = 100;
    cw->mouse_y = 100;
    paint();
    const Op* box = nullptr;
    for (const Op& o : rs.ops)
        if (o.kind == "outlined") box = &o;
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->colour, (uint32_t)CHART_HOVER_FILL);
    EXPECT_EQ(box->r.bottom - box->r.top, 14 * 10 + 8);
    EXPECT_EQ(box->r.left, 112);
    EXPECT_EQ(box->r.right - box->r.left, 320);
    EXPECT_EQ(box->r.top, 112);
    const Op* text = rs.find_text("a = 0 (int32_t)\nb = 1 (int32_t)");
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::count(text->text.begin(), text->text.end(), '\n'), 7);
    EXPECT_NE(text->flags & TEXT_NO_CLIP, 0u);
    EXPECT_EQ(rs.count("line", CHART_CROSSHAIR), 2);

    // Near the bottom right the box would run out of the plot: it opens up and to the left.
    cw->mouse_x = 600;
    cw->mouse_y = 350;
    paint();
    for (const Op& o : rs.ops)
        if (o.kind == "outlined") box = &o;
    EXPECT_EQ(box->r.top, 350 - 14 * 10 - 20);
    EXPECT_EQ(box->r.left, 600 - 332);
    // Outside the plot there is no crosshair and no box.
    cw->mouse_x = 20;
    paint();
    EXPECT_EQ(rs.count("line", CHART_CROSSHAIR), 0);
    EXPECT_EQ(rs.count("outlined", CHART_HOVER_FILL), 0);
}

TEST_F(ChartPaint, MarkerReadoutFlipsLeftAtTheRightEdge) {
    chart_add_var(handle, 0);
    feed(0, 1000, 1);
    feed(0, 3000, 2);
    cw->m1_x = 600;
    cw->m1_y = 100;
    cw->m1_time = 1000;
    cw->m1_value = 1;
    cw->m2_x = 620;
    cw->m2_y = 90;
    cw->m2_time = 3500;
    cw->m2_value = 3.5;
    cw->marker_series = 7;   // out of range: series 0's colour
    paint();
    const Op* readout = rs.find_text("ΔX=2.500ms  ΔY=2.5");
    ASSERT_NE(readout, nullptr);
    EXPECT_EQ(readout->r.left, 600 - 320);
    EXPECT_EQ(readout->r.right, 600 - 8);
    EXPECT_EQ(readout->colour, 0xFFDC00u);
    int dash_dot = 0;
    for (const Op& o : rs.ops) dash_dot += o.kind == "line" && o.flags == (uint32_t)PEN_DASH_DOT;
    EXPECT_EQ(dash_dot, 3);
}

TEST_F(ChartPaint, TrackShowsSingleSamplesWithDotsWhenZoomedInAndColumnsOtherwise) {
    chart_add_var(handle, 0);
    std::vector<int64_t> t;
    std::vector<double> v;
    for (int i = 0; i < 100000; i++) {
        t.push_back(1000 + 10 * (int64_t)i);
        v.push_back(i % 10);
    }
    SampleTrack track;
    make_track(&track, t, v);
    chart_set_track(handle, 0, &track);
    paint();
    EXPECT_EQ(rs.count("dot", 0xFFDC00), 0);
    // One column per pixel (and no more), every one spanning 0..9.
    const int columns = rs.count("column", 0xFFDC00);
    EXPECT_GE(columns, 594 - 2);
    EXPECT_LE(columns, 594);
    EXPECT_EQ(rs.find_text("等待采集数据"), nullptr);

    // Zoomed to 50 samples: each one a dot, joined by lines, and the segments that cross the
    // view's edges run to the edges.
    cw->show_all = cw->auto_x = 0;
    cw->view_x0 = 500005;
    cw->view_x1 = 500495;
    paint();
    EXPECT_EQ(rs.count("dot", 0xFFDC00), 49);
    EXPECT_EQ(rs.count("line", 0xFFDC00), 49 + 1 + 1);  // samples and both edges, the legend
    int left_edge = 0, right_edge = 0;
    for (const Op& o : rs.ops) {
        if (o.kind != "line" || o.colour != 0xFFDC00u) continue;
        left_edge += o.r.left == 56;
        right_edge += o.r.right == 650;
    }
    EXPECT_EQ(left_edge, 1);
    EXPECT_EQ(right_edge, 1);
    chart_drop_all_track_refs();
    track_free(&track);
}

TEST_F(ChartPaint, StackedRowsLabelInSeriesColours) {
    chart_add_var(handle, 0);
    chart_add_var(handle, 1);
    feed_n(0, 50, 1000, 1000, [](int i) { return (double)i; });
    feed_n(1, 50, 1000, 1000, [](int i) { return -(double)i; });
    cw->stacked = 1;
    paint();
    ASSERT_NE(rs.find_text("[逐行堆叠]"), nullptr);
    const Op* name = rs.find_text("b");
    ASSERT_NE(name, nullptr);
    EXPECT_EQ(name->colour, chart_palette(1));
    EXPECT_EQ(name->r.top, 26 + 200 + 1);
    EXPECT_EQ(rs.count("line", 0x2D2D3A), 9);
    EXPECT_EQ(rs.count("line", CHART_ROW_SEPARATOR), 5);
    EXPECT_EQ(rs.find_text("a = "), nullptr);   // no legend
}

TEST_F(ChartPaint, TypeTexts) {
    leaf_add("u16", 0, 2, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("p", 0, 0, TYPE_INT, 1, 1, 1, 0, 3, nullptr);
    leaf_add("f", 0, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("s", 0, 4, TYPE_STRUCT, 0, 0, 0, 0, 0, nullptr);
    char t[32];
    chart_type_text(leaf_at(20), t, sizeof t);
    EXPECT_STREQ(t, "uint16_t");
    chart_type_text(leaf_at(21), t, sizeof t);
    EXPECT_STREQ(t, "int8_t*:bf");
    VarLeaf unsized = {};
    unsized.kind = TYPE_INT;
    unsized.is_signed = 1;
    chart_type_text(&unsized, t, sizeof t);
    EXPECT_STREQ(t, "int32_t");   // a size of 0 counts as 4 bytes
    chart_type_text(leaf_at(22), t, sizeof t);
    EXPECT_STREQ(t, "float");
    chart_type_text(leaf_at(23), t, sizeof t);
    EXPECT_STREQ(t, "other");
}

// The software surface: two series rendered to pixels, checked along their paths, then saved.
TEST_F(ChartPaint, SoftwareSurfaceDrawsTwoSeriesInsideThePlot) {
    const int w = 800, h = 450;
    chart_add_var(handle, 0);
    chart_add_var(handle, 1);
    auto sine = [](int i) { return 10 * std::sin(i * 0.05); };
    auto ramp = [](int i) { return -10 + 0.04 * i; };
    feed_n(0, 500, 1000000, 2000, sine);
    feed_n(1, 500, 1000000, 2000, ramp);
    std::vector<uint32_t> px((size_t)w * h);
    SoftSurface soft(px.data(), w, h);
    cw->hover = 1;
    cw->mouse_x = 520;
    cw->mouse_y = 300;
    chart_paint(cw, &soft, w, h);

    const DrawRect p = chart_plot_rect(w, h);
    ViewInfo v = chart_compute_view(cw);
    EXPECT_EQ(soft.pixel(0, 0), 0x808080u);      // frame
    EXPECT_EQ(soft.pixel(3, 5), 0xF0F0F0u);      // window background
    EXPECT_EQ(soft.pixel(p.left + 1, p.bottom - 2), 0x0C0C12u);
    const int gx = p.left + (p.right - p.left) * 3 / 10;
    int grid = 0;
    for (int y = p.top; y < p.bottom; y++) grid += soft.pixel(gx, y) == 0x2D2D3Au;
    EXPECT_GT(grid, (p.bottom - p.top) * 3 / 4);

    // Each vertex (except the newest, whose pixel a line leaves out) carries its series colour,
    // unless the other series, the legend or the hover crosshair sits on top of it.
    int hits[2] = {0, 0}, checked[2] = {0, 0};
    for (int i = 0; i < 499; i += 7) {
        for (int s = 0; s < 2; s++) {
            const double value = s == 0 ? sine(i) : ramp(i);
            const int x = time_to_x(1000000 + 2000LL * i, v.x0, v.x1, p.left, p.right);
            const int y = value_to_y(value, v.y0, v.y1, p.top, p.bottom);
            if (x < p.left + 430 && y < p.top + 40) continue;
            if (std::abs(x - 520) < 2 || std::abs(y - 300) < 2) continue;
            if (x >= 520 - 332 && x < 520 - 12 && y >= 312 && y < 312 + 36) continue;   // hover box
            checked[s]++;
            hits[s] += soft.pixel(x, y) == cw->series[s].colour;
        }
    }
    EXPECT_GT(checked[0], 50);
    EXPECT_GE(hits[0], checked[0] - 3);
    EXPECT_GE(hits[1], checked[1] - 3);

    // No series colour outside the plot rectangle.
    int outside = 0;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            if (x >= p.left && x <= p.right && y >= p.top && y <= p.bottom) continue;
            const uint32_t c = soft.pixel(x, y);
            outside += c == cw->series[0].colour || c == cw->series[1].colour;
        }
    EXPECT_EQ(outside, 0);

    EXPECT_EQ(bmp_write_32(nullptr, w, h, px.data()), -1);
    std::string dir = std::string(KX_BUILD_DIR) + "/../../out/e2e-shots";
    platform()->make_dir((std::string(KX_BUILD_DIR) + "/../../out").c_str());
    platform()->make_dir(dir.c_str());
    // One picture per build (native, asan, tsan, win64 run this test at the same time).
    std::string build = KX_BUILD_DIR;
    std::string path = dir + "/chart_soft_" + build.substr(build.find_last_of("/\\") + 1) + ".bmp";
    ASSERT_EQ(soft.save_bmp(path.c_str()), 0);
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    unsigned char head[54];
    ASSERT_EQ(fread(head, 1, 54, f), 54u);
    fseek(f, 0, SEEK_END);
    EXPECT_EQ(ftell(f), 54 + 4L * w * h);
    // The first stored row is the bottom one: its first pixel is the frame colour, B G R order.
    fseek(f, 54, SEEK_SET);
    unsigned char first[4];
    ASSERT_EQ(fread(first, 1, 4, f), 4u);
    fclose(f);
    EXPECT_EQ(head[0], 'B');
    EXPECT_EQ(head[28], 32);
    EXPECT_EQ(first[0], 0x80);
    EXPECT_EQ(first[2], 0x80);
}

TEST(SoftSurface, LinesExcludeTheirEndPixelAndTextIsClippedToItsBox) {
    std::vector<uint32_t> px(40 * 20, 0);
    SoftSurface s(px.data(), 40, 20);
    s.set_pen(0xFF0000, 1, PEN_SOLID);
    s.move_to(2, 2);
    s.line_to(10, 2);
    EXPECT_EQ(s.pixel(2, 2), 0xFF0000u);
    EXPECT_EQ(s.pixel(9, 2), 0xFF0000u);
    EXPECT_EQ(s.pixel(10, 2), 0u);
    s.move_to(-100, 5);
    s.line_to(100, 5);   // clipped to the surface, no out-of-range writes
    EXPECT_EQ(s.pixel(39, 5), 0xFF0000u);
    int32_t tw, th;
    s.measure_text("abc", &tw, &th);
    EXPECT_EQ(tw, 18);
    s.measure_text("波形", &tw, &th);
    EXPECT_EQ(tw, 24);
    s.set_text_color(0x00FF00);
    s.text("WWWWWWWW", DrawRect{0, 6, 12, 20}, TEXT_SINGLE_LINE);
    int green_outside = 0, green_inside = 0;
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 40; x++) {
            if (s.pixel(x, y) != 0x00FF00u) continue;
            (x < 12 ? green_inside : green_outside)++;
        }
    EXPECT_GT(green_inside, 0);
    EXPECT_EQ(green_outside, 0);
    EXPECT_EQ(s.pixel(40, 0), 0xFFFFFFFFu);
}

TEST(Theme, RowsByFlagAndOutOfRangeIndexes) {
    EXPECT_EQ(theme_is_dark(), 0);
    EXPECT_EQ(theme_color(22), theme_color(0));
    EXPECT_EQ(theme_color(-1), 0xF0F0F0u);
    EXPECT_EQ(theme_color(9), 0x0078D7u);
    theme_store_flag(2);
    EXPECT_EQ(theme_is_dark(), 1);
    EXPECT_EQ(theme_color(1), 0x323234u);
    EXPECT_EQ(theme_color(19), 0x0C0C12u);   // the plot stays dark in both themes
    EXPECT_EQ(theme_color(22), 0x2B2B2Bu);
    theme_store_flag(0);
    EXPECT_EQ(theme_color(1), 0xF0F0F0u);
}

