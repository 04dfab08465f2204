// Waveform view model: ranges per mode, mappings, labels, zoom, animation, pan, scroll bar and
// stacked rows.
#include <climits>
#include <cmath>

#include "chart_fixture.h"

using namespace chart_test;

using ChartView = ChartTest;

namespace {
const int W = 656, H = 444;   // plot 56..650 x 26..426: 594 x 400 pixels

void run_animation(ChartWindow* cw) {
    for (int i = 0; i < 500 && cw->anim_timer_on; i++) chart_anim_tick(cw);
    ASSERT_EQ(cw->anim_timer_on, 0);
}
}  // namespace

TEST_F(ChartView, MappingsClampAndHandleDegenerateRanges) {
    EXPECT_EQ(time_to_x(500, 0, 1000, 100, 300), 200);
    EXPECT_EQ(time_to_x(-5000, 0, 1000, 100, 300), 100);
    EXPECT_EQ(time_to_x(INT64_MAX, INT64_MIN, 0, 100, 300), 300);
    EXPECT_EQ(time_to_x(7, 5, 5, 100, 301), 200);
    EXPECT_EQ(value_to_y(0.5, 0, 1, 10, 110), 60);
    EXPECT_EQ(value_to_y(1e300, 0, 1, 10, 110), 10);
    EXPECT_EQ(value_to_y(3, 3, 3, 10, 110), 110);   // flat range: span 1
    EXPECT_EQ(value_to_y(NAN, 0, 1, 10, 110), 110);
    EXPECT_EQ(x_to_time(200, 0, 1000, 100, 300), 500);
    EXPECT_EQ(x_to_time(200, 0, 1000, 100, 100), 0);
    DrawRect p = chart_plot_rect(W, H);
    EXPECT_EQ(p.left, 56);
    EXPECT_EQ(p.right, 650);
    EXPECT_EQ(p.bottom, 426);
}

TEST_F(ChartView, FollowShowAllAndManualRanges) {
    chart_add_var(handle, 0);
    ViewInfo v = chart_compute_view(cw);
    EXPECT_FALSE(v.has_samples);
    EXPECT_NEAR(v.y0, -1.16, 1e-12);
    EXPECT_NEAR(v.y1, 1.16, 1e-12);

    chart_on_acquisition_started(cw);
    EXPECT_EQ(count_lines("DEBUG 波形跟随最新 (开始采集)"), 1);
    feed_n(0, 1000, 1000000, 1000, [](int i) { return (double)i; });
    v = chart_compute_view(cw);
    EXPECT_EQ(v.x0, 1000000 + 400 * 1000);
    EXPECT_EQ(v.x1, 1000000 + 999 * 1000);
    EXPECT_EQ(v.t_min, 1000000);
    EXPECT_EQ(v.max_considered, 600);
    EXPECT_NEAR(v.y0, 400 - 599 * 0.08, 1e-9);

    chart_on_acquisition_stopped(cw);
    EXPECT_EQ(cw->paused, 1);
    v = chart_compute_view(cw);
    EXPECT_EQ(v.x0, 1000000);
    EXPECT_EQ(v.x1, 1000000 + 999 * 1000);
    EXPECT_EQ(v.max_considered, 1000);

    // Manual: values follow the samples on screen.
    cw->show_all = cw->auto_x = 0;
    cw->view_x0 = 1000000 + 100 * 1000;
    cw->view_x1 = 1000000 + 200 * 1000;
    v = chart_compute_view(cw);
    EXPECT_EQ(v.x0, cw->view_x0);
    EXPECT_NEAR(v.y0, 100 - 100 * 0.08, 1e-9);
    EXPECT_NEAR(v.y1, 200 + 100 * 0.08, 1e-9);
    cw->auto_y = 0;
    cw->view_y0 = 5;
    cw->view_y1 = 5;
    v = chart_compute_view(cw);
    EXPECT_EQ(v.y0, 4);
    EXPECT_EQ(v.y1, 6);
}

TEST_F(ChartView, TimestampZeroCountsAsASampleButNotAsTime) {
    chart_add_var(handle, 0);
    feed(0, 0, 3);
    feed(0, -1, 5);
    ViewInfo v = chart_compute_view(cw);
    EXPECT_TRUE(v.has_samples);
    EXPECT_FALSE(v.has_time);
    EXPECT_EQ(v.x0, 0);
    EXPECT_EQ(v.x1, 0);
    EXPECT_EQ(v.max_considered, 2);
    char label[16];
    chart_time_label(&v, 4, label, sizeof label);
    EXPECT_STREQ(label, "#1");
    // Infinities cannot widen the range into NaN.
    feed(0, 0, INFINITY);
    v = chart_compute_view(cw);
    EXPECT_TRUE(std::isfinite(v.y0) && std::isfinite(v.y1));
}

TEST_F(ChartView, TracksGiveTimeButNoFollowRangeAndTheShownSamplesGiveTheValueRange) {
    chart_add_var(handle, 0);
    SampleTrack track;
    std::vector<int64_t> t;
    std::vector<double> values;
    for (int i = 0; i <= 10; i++) {
        t.push_back(1000 + 1000 * i);
        values.push_back(i == 7 ? NAN : (i == 8 ? INFINITY : i));
    }
    make_track(&track, t, values);
    chart_set_track(handle, 0, &track);
    cw->show_all = 0;   // back to follow: no sample gives a follow range
    ViewInfo v = chart_compute_view(cw);
    EXPECT_TRUE(v.has_time);
    EXPECT_GT(v.x0, v.x1);
    chart_fit_all(cw, 1);
    EXPECT_EQ(count_lines("DEBUG 波形全局显示 (F)"), 1);
    v = chart_compute_view(cw);
    EXPECT_EQ(v.x0, 1000);
    EXPECT_EQ(v.x1, 11000);
    EXPECT_NEAR(v.y0, 0 - 0.8, 1e-12);   // NaN and infinity left out
    EXPECT_NEAR(v.y1, 10 + 0.8, 1e-12);
    // A manual range: only the samples it shows.
    cw->show_all = cw->auto_x = 0;
    cw->view_x0 = 3000;
    cw->view_x1 = 5500;
    v = chart_compute_view(cw);
    EXPECT_NEAR(v.y0, 2 - 0.16, 1e-12);
    EXPECT_NEAR(v.y1, 4 + 0.16, 1e-12);
    chart_drop_all_track_refs();
    track_free(&track);
}

TEST_F(ChartView, WheelZoomKeepsThePointerTimeAndClampsToTheData) {
    chart_add_var(handle, 0);
    feed_n(0, 101, 0 + 1, 100000, [](int i) { return std::sin(i * 0.1); });   // 1 us .. 10 s + 1 us
    chart_on_acquisition_stopped(cw);
    cw->m1_x = 10;
    const int mid = (56 + 650) / 2;
    EXPECT_EQ(chart_wheel(cw, W, H, mid, 200, 120, 0), 1);
    EXPECT_EQ(cw->m1_x, -1);
    EXPECT_EQ(cw->show_all, 0);
    EXPECT_EQ(cw->auto_x, 0);
    EXPECT_EQ(cw->target_x0, 1000001);
    EXPECT_EQ(cw->target_x1, 9000001);
    EXPECT_EQ(cw->view_x0, 1);   // taken over from the screen
    ASSERT_EQ(timer_calls().size(), 1u);
    run_animation(cw);
    EXPECT_EQ(cw->view_x0, 1000001);
    EXPECT_EQ(timer_calls().back(), 0);

    EXPECT_EQ(chart_wheel(cw, W, H, mid, 200, -120, 0), 1);
    EXPECT_EQ(cw->target_x0, 1);
    EXPECT_EQ(cw->target_x1, 10000001);
    run_animation(cw);
    // Already showing everything: zooming out further sets no target.
    EXPECT_EQ(chart_wheel(cw, W, H, mid, 200, -120, 0), 0);
    // Below the plot nothing happens at all.
    cw->m1_x = 10;
    EXPECT_EQ(chart_wheel(cw, W, H, mid, 430, 120, 0), 0);
    EXPECT_EQ(cw->m1_x, 10);

    for (int i = 0; i < 200; i++) {
        chart_wheel(cw, W, H, mid, 200, 120, 0);
        run_animation(cw);
    }
    EXPECT_EQ(cw->view_x1 - cw->view_x0, 1000);

    // Value axis with Ctrl: around the pointer, no clamping.
    ViewInfo v = chart_compute_view(cw);
    EXPECT_EQ(chart_wheel(cw, W, H, mid, 426, 120, 1), 1);
    EXPECT_EQ(cw->auto_y, 0);
    EXPECT_DOUBLE_EQ(cw->target_y0, v.y0);
    EXPECT_NEAR(cw->target_y1 - cw->target_y0, (v.y1 - v.y0) * 0.8, 1e-9);
}

TEST_F(ChartView, ValueZoomOnAnEmptyWindowDoesNothing) {
    cw->m1_x = 3;
    EXPECT_EQ(chart_wheel(cw, W, H, 100, 100, 120, 1), 0);
    EXPECT_EQ(cw->m1_x, 3);
    EXPECT_EQ(invalidations(), 0);
}

TEST_F(ChartView, BoxZoomNeedsSixBySixAndTargetsTheBox) {
    chart_add_var(handle, 0);
    feed_n(0, 595, 1, 1000, [](int i) { return (double)(i % 100); });
    chart_on_acquisition_stopped(cw);
    cw->box_x0 = 100;
    cw->box_y0 = 100;
    cw->box_x1 = 300;
    cw->box_y1 = 105;   // 5 pixels high: a click
    EXPECT_EQ(chart_box_zoom(cw, W, H), 0);
    EXPECT_EQ(cw->auto_x, 1);
    cw->box_y1 = 326;
    ViewInfo v = chart_compute_view(cw);
    EXPECT_EQ(chart_box_zoom(cw, W, H), 1);
    EXPECT_EQ(cw->show_all + cw->auto_x + cw->auto_y, 0);
    const double range = (double)(v.x1 - v.x0);
    EXPECT_EQ(cw->target_x0, v.x0 + (int64_t)(range * 44 / 594));
    EXPECT_EQ(cw->target_x1, v.x0 + (int64_t)(range * 244 / 594));
    EXPECT_NEAR(cw->target_y1, v.y1 - (v.y1 - v.y0) * 74 / 400, 1e-9);
    EXPECT_NEAR(cw->target_y0, v.y1 - (v.y1 - v.y0) * 300 / 400, 1e-9);
    EXPECT_EQ(count_lines("INFO 波形框选缩放: X=["), 1);
}

TEST_F(ChartView, DragPanStopsAtTheOldestDataAndKeepsTheSpan) {
    chart_add_var(handle, 0);
    feed_n(0, 1001, 1000000, 1000, [](int i) { return (double)i; });   // 1.0 s .. 2.0 s
    cw->show_all = cw->auto_x = 0;
    cw->view_x0 = 1500000;
    cw->view_x1 = 1700000;
    chart_pan_press(cw, 300, 200);
    EXPECT_EQ(chart_pan_move(cw, W, H, 303, 202), 0);   // within 6 pixels
    EXPECT_EQ(cw->panning, 0);
    EXPECT_EQ(chart_pan_move(cw, W, H, 310, 200), 1);
    EXPECT_EQ(count_lines("DEBUG 波形拖拽平移开始"), 1);
    EXPECT_LT(cw->view_x0, 1500000);
    // Far to the right of the anchor: the view moves back to the oldest time and stops there.
    chart_pan_move(cw, W, H, 5000, 200);
    EXPECT_EQ(cw->view_x0, 1000000);
    EXPECT_EQ(cw->view_x1, 1200000);
    chart_pan_move(cw, W, H, -5000, 200);
    EXPECT_EQ(cw->view_x1, 2000000);
    EXPECT_EQ(cw->view_x0, 1800000);
    EXPECT_EQ(chart_pan_release(cw), 1);
    EXPECT_EQ(count_lines("DEBUG 波形拖拽平移结束: X=[1800000,2000000]us"), 1);
    EXPECT_EQ(chart_pan_release(cw), 0);
}

TEST_F(ChartView, ScrollBarShowsAPartialViewAndMovesIt) {
    chart_add_var(handle, 0);
    feed_n(0, 1001, 1000000, 1000, [](int i) { return (double)i; });
    ViewInfo v = chart_compute_view(cw);
    int32_t page = 0, pos = 0;
    EXPECT_EQ(chart_scrollbar_state(cw, &v, &page, &pos), 0);   // follow mode
    cw->auto_x = 0;
    cw->view_x0 = 1250000;
    cw->view_x1 = 1500000;
    v = chart_compute_view(cw);
    ASSERT_EQ(chart_scrollbar_state(cw, &v, &page, &pos), 1);
    EXPECT_EQ(page, 250);
    EXPECT_EQ(pos, 250);
    EXPECT_EQ(chart_scroll(cw, CHART_SCROLL_PAGE_RIGHT, 0, page, pos), 500);
    EXPECT_EQ(cw->view_x0, 1500000);
    EXPECT_EQ(cw->view_x1, 1750000);
    EXPECT_EQ(chart_scroll(cw, CHART_SCROLL_RIGHT_END, 0, page, 500), 750);
    EXPECT_EQ(cw->view_x1, 2000000);
    EXPECT_EQ(chart_scroll(cw, CHART_SCROLL_THUMB, 10, page, 750), 10);
    EXPECT_EQ(cw->view_x0, 1010000);
    EXPECT_EQ(chart_scroll(cw, CHART_SCROLL_END_SCROLL, 0, page, 10), -1);
}

TEST_F(ChartView, AnimationClosesFortyFivePercentPerTick) {
    cw->view_x0 = 0;
    cw->view_x1 = 1000;
    cw->target_x0 = 100;
    cw->target_x1 = 1000;
    cw->anim_x = 1;
    chart_anim_start(cw);
    chart_anim_start(cw);
    EXPECT_EQ(timer_calls().size(), 1u);
    EXPECT_EQ(chart_anim_tick(cw), 1);
    EXPECT_EQ(cw->view_x0, 45);
    EXPECT_EQ(cw->view_x1, 1000);
    run_animation(cw);
    EXPECT_EQ(cw->view_x0, 100);
    EXPECT_EQ(cw->anim_x, 0);
}

TEST_F(ChartView, StackedRowsHaveTheirOwnRanges) {
    DrawRect p = {56, 26, 650, 426};
    DrawRect r = chart_row_rect(p, 3, 2);
    EXPECT_EQ(r.top, 26 + 2 * 133);
    EXPECT_EQ(r.bottom, 426);
    chart_add_var(handle, 0);
    chart_add_var(handle, 1);
    chart_add_var(handle, 2);
    feed_n(0, 10, 1, 10, [](int i) { return (double)i; });
    feed(1, 5, 7);
    double lo, hi;
    chart_row_range(cw, &cw->series[0], &lo, &hi);
    EXPECT_NEAR(lo, -0.72, 1e-12);
    EXPECT_NEAR(hi, 9.72, 1e-12);
    chart_row_range(cw, &cw->series[1], &lo, &hi);
    EXPECT_EQ(lo, 6);
    EXPECT_EQ(hi, 8);
    chart_row_range(cw, &cw->series[2], &lo, &hi);
    EXPECT_EQ(lo, -1);
    EXPECT_EQ(hi, 1);
    // Manual mode: only samples inside the stored range count.
    cw->auto_x = 0;
    cw->view_x0 = 30;
    cw->view_x1 = 50;
    chart_row_range(cw, &cw->series[0], &lo, &hi);
    EXPECT_NEAR(lo, 3 - 0.08, 1e-12);
    EXPECT_NEAR(hi, 4 + 0.08, 1e-12);
}

TEST_F(ChartView, ModeTableAndLabels) {
    chart_toggle_pause(cw);
    EXPECT_EQ(cw->paused, 1);
    EXPECT_EQ(cw->show_all, 1);
    cw->auto_y = 0;
    chart_toggle_pause(cw);
    EXPECT_EQ(cw->paused + cw->show_all, 0);
    EXPECT_EQ(cw->auto_y, 1);
    cw->m1_x = 4;
    cw->show_all = 1;
    chart_reset_zoom(cw);
    EXPECT_EQ(cw->show_all, 0);
    EXPECT_EQ(cw->m1_x, -1);
    chart_toggle_stacked(cw, 0);
    chart_toggle_stacked(cw, 1);
    EXPECT_EQ(count_lines("DEBUG 波形多坐标轴: 1"), 1);
    EXPECT_EQ(count_lines("DEBUG 波形多坐标轴: 0 (菜单)"), 1);

    char t[32];
    const struct {
        int64_t us;
        const char* text;
    } deltas[] = {{-2500, "-2500µs"}, {1500, "1.500ms"}, {75000000, "1m15s"}, {2500000, "2.5s"}};
    for (const auto& d : deltas) {
        format_delta_time(d.us, t, sizeof t);
        EXPECT_STREQ(t, d.text);
    }
    const struct {
        double s;
        const char* text;
    } axis[] = {{0.0005, "0"}, {0.25, "250ms"}, {59.96, "60.0s"}, {3725.9, "62m05s"}};
    for (const auto& a : axis) {
        format_axis_time(a.s, t, sizeof t);
        EXPECT_STREQ(t, a.text);
    }
    ViewInfo v = {};
    v.has_time = 1;
    v.x0 = 0;
    v.x1 = 8000000;
    chart_time_label(&v, 1, t, sizeof t);
    EXPECT_STREQ(t, "2.0s");
    // Every tick reads where it stands, down to a view of a few samples.
    const struct {
        int64_t span_us;
        const char* labels[5];
    } views[] = {
        {10000, {"0", "2.5ms", "5ms", "7.5ms", "10ms"}},
        {4000, {"0", "1ms", "2ms", "3ms", "4ms"}},
        {1000, {"0", "250µs", "500µs", "750µs", "1ms"}},
        {90, {"0", "22.5µs", "45µs", "67.5µs", "90µs"}},
        {5000000, {"0", "1.25s", "2.5s", "3.75s", "5.0s"}},
        {180000000, {"0", "45.0s", "1m30s", "2m15s", "3m00s"}},
    };
    for (const auto& view : views) {
        v.x0 = 1733659200000000;
        v.x1 = v.x0 + view.span_us;
        for (int32_t j = 0; j < 5; j++) {
            chart_time_label(&v, j, t, sizeof t);
            EXPECT_STREQ(t, view.labels[j]) << view.span_us << " us, label " << j;
        }
    }
    EXPECT_DOUBLE_EQ(chart_value_label(-1, 3, 1, 4), 2);
}

TEST_F(ChartView, LegendRowsAndMarkerPairs) {
    chart_add_var(handle, 0);
    chart_add_var(handle, 1);
    EXPECT_EQ(chart_legend_hit(cw, H, 60, 26), -1);
    EXPECT_EQ(chart_legend_hit(cw, H, 60, 30), 0);
    EXPECT_EQ(chart_legend_hit(cw, H, 60, 43), 0);   // rows overlap: the first one wins
    EXPECT_EQ(chart_legend_hit(cw, H, 60, 44), 1);
    EXPECT_EQ(chart_legend_hit(cw, H, 60, 60), -1);
    EXPECT_EQ(chart_legend_hit(cw, H, 50, 30), -1);

    ViewInfo v = chart_compute_view(cw);
    EXPECT_EQ(chart_place_marker(cw, &v, W, H, 300, 200), 0);   // no data: nothing, no log
    feed_n(0, 11, 1000, 1000, [](int i) { return (double)i; });
    feed_n(1, 11, 1000, 1000, [](int i) { return 10.0 - i; });
    v = chart_compute_view(cw);
    const DrawRect p = chart_plot_rect(W, H);
    // A click on series 1's point at t = 3000 (value 8).
    const int x = time_to_x(3000, v.x0, v.x1, p.left, p.right);
    const int y = value_to_y(8, v.y0, v.y1, p.top, p.bottom);
    ASSERT_EQ(chart_place_marker(cw, &v, W, H, x, y), 1);
    EXPECT_EQ(cw->marker_series, 1);
    EXPECT_EQ(cw->m1_time, 3000);
    EXPECT_EQ(cw->m1_value, 8);
    EXPECT_EQ(count_lines("INFO 波形测量标记1: t=3000us 值=8"), 1);
    const int x2 = time_to_x(9000, v.x0, v.x1, p.left, p.right);
    const int y2 = value_to_y(8, v.y0, v.y1, p.top, p.bottom);
    ASSERT_EQ(chart_place_marker(cw, &v, W, H, x2, y2), 1);
    EXPECT_EQ(cw->m2_value, 8);   // series 0 at t = 9000
    EXPECT_EQ(count_lines("INFO 波形测量Δ: ΔX=6000us ΔY=0"), 1);
    ASSERT_EQ(chart_place_marker(cw, &v, W, H, x, y), 1);
    EXPECT_EQ(cw->m2_x, -1);
    EXPECT_EQ(cw->m1_x, x);
}
