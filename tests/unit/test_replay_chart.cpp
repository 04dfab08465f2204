// Replayed recordings in waveform windows, drawn on the software surface: every variable of an
// interleaved file draws a continuous trace, a lone spike shows at every zoom, live data after a
// replay draws, tracks follow names across a firmware reload, stacked rows take the track's range;
// and the pyramid and the per-pixel columns against brute force.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "chart/chart_columns.h"
#include "chart/draw_surface_soft.h"
#include "chart_fixture.h"
#include "recording/replay.h"
#include "test_recording_util.h"

using namespace chart_test;

namespace {

const int W = 800, H = 400;  // plot 56..794 x 26..382
void* g_window;

class ReplayChart : public ChartTest {
protected:
    rectest::ScratchDir scratch;
    std::vector<uint32_t> px = std::vector<uint32_t>((size_t)W * H);

    void SetUp() override {
        ChartTest::SetUp();
        samples_reset();
        g_window = handle;
        g_chart_hooks.replay_track = replay_track_by_name;
        g_replay_chart_hooks = ReplayChartHooks{};
        g_replay_chart_hooks.window_count = [] { return (int32_t)1; };
        g_replay_chart_hooks.window_at = [](int32_t) { return g_window; };
        g_replay_chart_hooks.series_name = chart_series_name;
        g_replay_chart_hooks.set_track = chart_set_track;
        g_replay_chart_hooks.drop_track_refs = chart_drop_all_track_refs;
        rec.env["LOCALAPPDATA"] = scratch.path();
    }
    void TearDown() override {
        replay_store_reset();
        g_replay_chart_hooks = ReplayChartHooks{};
        acquisition_set_state(ACQ_IDLE);
        samples_reset();
        ChartTest::TearDown();
    }
    void load(const std::string& csv) {
        const std::string path = scratch.path("r.csv");
        rectest::write_file(path, csv);
        replay_all_command(path.c_str());
    }
    // Draws one series alone on a cleared surface with the window's current view.
    void draw_alone(int32_t index, DrawRect* plot_out = nullptr) {
        std::fill(px.begin(), px.end(), 0u);
        SoftSurface soft(px.data(), W, H);
        const DrawRect p = chart_plot_rect(W, H);
        const ViewInfo v = chart_compute_view(cw);
        chart_draw_series(&soft, cw, &cw->series[index], p, p, v.x0, v.x1, v.y0, v.y1, v.has_time);
        if (plot_out) *plot_out = p;
    }
    bool column_has(int32_t x, uint32_t colour) const {
        for (int32_t y = 0; y < H; y++)
            if (px[(size_t)y * W + (size_t)x] == colour) return true;
        return false;
    }
    uint32_t at(int32_t x, int32_t y) const { return px[(size_t)y * W + (size_t)x]; }
};

// An interleaved recording: line r carries variable r % k; variable i stays in its own band.
std::string interleaved(int k, int lines, int64_t step_us) {
    std::string csv = "timestamp_us,time_iso";
    for (int i = 0; i < k; i++) csv += "," + std::string(1, (char)('a' + i));
    csv += "\n";
    for (int r = 0; r < lines; r++) {
        const int var = r % k;
        csv += std::to_string(1733659200000000LL + step_us * r) + ",x";
        for (int i = 0; i < k; i++) {
            csv += ",";
            if (i == var) csv += std::to_string(100 * var + (int)(40 * std::sin(r * 0.001)));
        }
        csv += "\n";
    }
    return csv;
}

}  // namespace

TEST_F(ReplayChart, EveryVariableOfAnInterleavedRecordingDrawsAContinuousTrace) {
    const int shapes[][2] = {{2, 10}, {2, 1000}, {3, 1000}, {5, 12000}, {5, 40000}, {8, 100000}};
    for (const auto& shape : shapes) {
        const int k = shape[0], lines = shape[1];
        while (cw->series_count > 0) chart_remove_selected(handle), cw->selected = 0;
        for (int i = 0; i < k; i++) chart_add_var(handle, i);
        load(interleaved(k, lines, 83));
        for (int i = 0; i < k; i++) {
            ASSERT_NE(cw->series[i].track, nullptr) << k << "x" << lines;
            DrawRect p;
            draw_alone(i, &p);
            const ViewInfo v = chart_compute_view(cw);
            const SampleTrack* t = cw->series[i].track;
            const int32_t first = time_to_x(t->t0, v.x0, v.x1, p.left, p.right);
            const int32_t last = time_to_x(t->t1, v.x0, v.x1, p.left, p.right);
            // Lines leave out their end pixel, so the last sample's own column may stay empty.
            int32_t missing = 0;
            for (int32_t x = first; x < last; x++) missing += !column_has(x, cw->series[i].colour);
            EXPECT_EQ(missing, 0) << k << " variables x " << lines << " lines, variable " << i;
        }
    }
}

TEST_F(ReplayChart, ALoneSpikeShowsAtEveryZoom) {
    chart_add_var(handle, 0);
    chart_add_var(handle, 1);
    const int lines = 100000, spike_line = 54321 * 2;  // an "a" line
    std::string csv = "timestamp_us,a,b\n";
    for (int r = 0; r < lines * 2; r++) {
        const std::string value = r == spike_line ? "1000" : std::to_string(r % 7);
        csv += std::to_string(5000000 + 10LL * r) + (r % 2 ? ",," + value : "," + value + ",") + "\n";
    }
    load(csv);
    const int64_t spike_time = 5000000 + 10LL * spike_line;
    std::mt19937_64 rng(14);
    for (int zoom = 0; zoom < 40; zoom++) {
        if (zoom > 0) {
            // A random view that holds the spike, from 20 us to the whole file wide.
            const double width = std::pow(10.0, 1.3 + 5 * (double)(rng() % 1000) / 1000.0);
            const double before = width * (double)(rng() % 1000) / 1000.0;
            cw->show_all = cw->auto_x = 0;
            cw->view_x0 = spike_time - (int64_t)before;
            cw->view_x1 = cw->view_x0 + (int64_t)width + 1;
        }
        DrawRect p;
        draw_alone(0, &p);
        const ViewInfo v = chart_compute_view(cw);
        const int32_t x = time_to_x(spike_time, v.x0, v.x1, p.left, p.right);
        const int32_t y = value_to_y(1000, v.y0, v.y1, p.top, p.bottom);
        const uint32_t colour = cw->series[0].colour;
        bool seen = false;
        for (int32_t dx = -2; dx <= 2; dx++)
            for (int32_t dy = -2; dy <= 2; dy++)
                seen = seen || (x + dx >= 0 && x + dx < W && y + dy >= 0 && y + dy < H && at(x + dx, y + dy) == colour);
        EXPECT_TRUE(seen) << "view " << v.x0 << ".." << v.x1;
    }
}

TEST_F(ReplayChart, LiveSamplesDrawAfterAReplayAndBeyondTheTrack) {
    chart_add_var(handle, 0);
    load("timestamp_us,a\n1000000,1\n2000000,2\n3000000,3\n");
    ASSERT_NE(cw->series[0].track, nullptr);
    // Samples newer than the recording draw beside it while the track is lent.
    for (int i = 0; i < 50; i++) feed(0, 4000000 + 20000 * i, 5);
    DrawRect p;
    draw_alone(0, &p);
    ViewInfo v = chart_compute_view(cw);
    EXPECT_EQ(v.x1, 4000000 + 20000 * 49);
    EXPECT_TRUE(column_has(time_to_x(4500000, v.x0, v.x1, p.left, p.right), cw->series[0].colour));

    // An acquisition takes over: the track goes and only live data is shown.
    chart_on_acquisition_started(cw);
    EXPECT_EQ(cw->series[0].track, nullptr);
    for (int i = 0; i < 50; i++) feed(0, 9000000 + 20000 * i, -5);
    draw_alone(0, &p);
    v = chart_compute_view(cw);
    EXPECT_GE(v.x0, 4000000);
    EXPECT_TRUE(column_has((p.left + p.right) / 2, cw->series[0].colour));

    // A recording without times gives no drawable track: a variable added later gets none, and
    // its live samples draw.
    chart_add_var(handle, 1);
    load("b\n1\n2\n3\n");
    EXPECT_EQ(cw->series[1].track, nullptr);
    while (cw->series_count > 0) cw->selected = 0, chart_remove_selected(handle);
    chart_add_var(handle, 1);
    EXPECT_EQ(cw->series[0].track, nullptr);
    for (int i = 0; i < 30; i++) feed(1, 1000 + 1000 * i, i);
    draw_alone(0, &p);
    EXPECT_TRUE(column_has((p.left + p.right) / 2, cw->series[0].colour));
}

TEST_F(ReplayChart, TracksFollowNamesAcrossAFirmwareReloadAndUntimedLastLinesKeepTheSpan) {
    load("timestamp_us,a,b\n1000,1,\n2000,,-7\n3000,2,\n3500,,-8\n,3,\n");
    const SampleTrack* a = replay_track_by_name("a");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->t1, 3500);  // the untimed last line takes the last valid time
    EXPECT_EQ(a->values[2], 3);
    // The rebuilt firmware orders its variables differently: "b" now has the id "a" had.
    leaf_table_reset();
    leaf_add("b", 0x20000000, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("a", 0x20000004, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    chart_add_var(handle, 0);
    chart_add_var(handle, 1);
    ASSERT_NE(cw->series[0].track, nullptr);
    EXPECT_EQ(cw->series[0].track->values[0], -7);  // b's recording, not a's
    EXPECT_EQ(cw->series[1].track, a);
}

TEST_F(ReplayChart, StackedRowsTakeTheTracksRangeAsWellAsTheRings) {
    chart_add_var(handle, 0);
    std::string csv = "timestamp_us,a\n";
    for (int r = 0; r < 1000; r++) csv += std::to_string(1000 + r) + "," + std::to_string(r < 500 ? -100 : 100) + "\n";
    load(csv);
    // The hand-off delivers the file's newest lines to the ring as well (all +100).
    for (int i = 0; i < 100; i++) feed(0, 1900 + i, 100);
    cw->stacked = 1;
    double lo, hi;
    chart_row_range(cw, &cw->series[0], &lo, &hi);
    EXPECT_LT(lo, -100);
    EXPECT_GT(hi, 100);
}

TEST_F(ReplayChart, PyramidMinMaxMatchesBruteForceAtRandomRanges) {
    std::mt19937_64 rng(2026);
    for (int trial = 0; trial < 6; trial++) {
        const int64_t n = trial == 0 ? 1 : (int64_t)(rng() % 300000) + 2;
        SampleTrack t = {};
        std::vector<double> raw;
        for (int64_t i = 0; i < n; i++) {
            double v = (double)(int64_t)(rng() % 2000001) - 1000000;
            if (rng() % 97 == 0) v = NAN;
            raw.push_back(v);
            ASSERT_TRUE(track_append(&t, 10 * i, v));
        }
        ASSERT_TRUE(track_finish(&t));
        for (int q = 0; q < 300; q++) {
            int64_t a = (int64_t)(rng() % (uint64_t)(n + 1)), b = (int64_t)(rng() % (uint64_t)(n + 1));
            if (a > b) std::swap(a, b);
            if (q % 3 == 0) b = std::min<int64_t>(n, a + (int64_t)(rng() % 40));  // short runs too
            double lo = INFINITY, hi = -INFINITY;
            for (int64_t i = a; i < b; i++) {
                if (raw[(size_t)i] < lo) lo = raw[(size_t)i];
                if (raw[(size_t)i] > hi) hi = raw[(size_t)i];
            }
            double got_lo = 0, got_hi = 0;
            const bool any = track_range_minmax(&t, a, b, &got_lo, &got_hi);
            ASSERT_EQ(any, lo <= hi) << a << ".." << b;
            if (any) {
                EXPECT_EQ(got_lo, lo) << a << ".." << b;
                EXPECT_EQ(got_hi, hi) << a << ".." << b;
            }
        }
        // Columns over random views: each one's extremes are those of the samples time_to_x puts there.
        for (int view = 0; view < 20; view++) {
            const int64_t span = 10 * n;
            const int64_t x0 = (int64_t)(rng() % (uint64_t)span) - span / 10;
            const int64_t x1 = x0 + 1 + (int64_t)(rng() % (uint64_t)span);
            ColumnGrid grid;
            chart_column_grid(&grid, x0, x1, 56, 794);
            static ColumnEnvelope env;
            chart_columns_from_track(&env, grid, &t);
            std::vector<double> lo(738, INFINITY), hi(738, -INFINITY);
            for (int64_t i = 0; i < n; i++) {
                const int64_t time = 10 * i;
                if (time < x0 || time > x1 || std::isnan(raw[(size_t)i])) continue;
                const int32_t c = std::min(time_to_x(time, x0, x1, 56, 794) - 56, 737);
                lo[(size_t)c] = std::min(lo[(size_t)c], raw[(size_t)i]);
                hi[(size_t)c] = std::max(hi[(size_t)c], raw[(size_t)i]);
            }
            for (int c = 0; c < 738; c++) {
                ASSERT_EQ(env.lo[c] <= env.hi[c], lo[(size_t)c] <= hi[(size_t)c]) << "column " << c;
                if (lo[(size_t)c] <= hi[(size_t)c]) {
                    EXPECT_EQ(env.lo[c], lo[(size_t)c]) << c;
                    EXPECT_EQ(env.hi[c], hi[(size_t)c]) << c;
                }
            }
        }
        track_free(&t);
    }
}

TEST_F(ReplayChart, OrderedRingColumnsDrawTheSamePixelsAsTheSampleWalk) {
    // The fast ring path against the walk over every sample (the walk is taken once the ring
    // holds a sample out of order).
    chart_add_var(handle, 0);
    std::mt19937_64 rng(7);
    for (int i = 0; i < CHART_RING; i++) feed(0, 1000 + 7 * i + (int64_t)(rng() % 7), (double)(rng() % 1000) * (i % 5000 == 0 ? 9 : 1));
    cw->show_all = 1;
    ASSERT_TRUE(chart_ring_ordered(cw, &cw->series[0]));
    std::vector<uint32_t> fast;
    for (int view = 0; view < 10; view++) {
        if (view > 0) {
            cw->show_all = cw->auto_x = 0;
            cw->view_x0 = 1000 + (int64_t)(rng() % 200000);
            cw->view_x1 = cw->view_x0 + 20000 + (int64_t)(rng() % 300000);
        }
        draw_alone(0);
        fast = px;
        ChartSeries* s = &cw->series[0];
        const int64_t saved = s->disorder;
        s->disorder = s->written - 1;  // pretend the newest sample broke the order
        ASSERT_FALSE(chart_ring_ordered(cw, s));
        draw_alone(0);
        s->disorder = saved;
        EXPECT_TRUE(fast == px) << "view " << view;
    }
}

TEST_F(ReplayChart, ValueLabelsTellNeighboursApartInPlainNotation) {
    std::vector<uint32_t> buffer(100 * 20);
    SoftSurface soft(buffer.data(), 100, 20);
    double counter[5];
    for (int j = 0; j < 5; j++) counter[j] = chart_value_label(15900, 16150, j, 4);
    char texts[CHART_LABELS_MAX][CHART_LABEL_CAPACITY];
    chart_format_value_labels(&soft, counter, 5, 52, texts);
    for (int j = 0; j < 5; j++) {
        EXPECT_EQ(strchr(texts[j], 'e'), nullptr) << texts[j];
        if (j > 0) {
            EXPECT_STRNE(texts[j], texts[j - 1]);
        }
    }
    EXPECT_STREQ(texts[0], "16150");
    EXPECT_STREQ(texts[4], "15900");
    // Ordinary ranges keep three digits; tiny ones stay in exponent form where plain would not fit.
    const double plain[3] = {1.16, 0, -1.16};
    chart_format_value_labels(&soft, plain, 3, 52, texts);
    EXPECT_STREQ(texts[0], "1.16");
    EXPECT_STREQ(texts[1], "0");
    const double tiny[3] = {3e-9, 2e-9, 1e-9};
    chart_format_value_labels(&soft, tiny, 3, 52, texts);
    EXPECT_STREQ(texts[0], "3e-9");  // exponents drop the padding zero: the column holds eight characters
}

TEST_F(ReplayChart, ManyDenseSeriesDrawnInOnePassLeaveThePixelsOfPaintingInOrder) {
    // Overlapping dense series (rings and tracks) take the one-pass drawing; drawing every series
    // again, in order, on top of its result must change no pixel outside the legend.
    std::vector<SampleTrack> tracks(3);
    for (int i = 0; i < 6; i++) chart_add_var(handle, i);
    std::mt19937_64 rng(3);
    for (int k = 0; k < 20000; k++)
        for (int i = 0; i < 3; i++) feed(i, 1000 + 50 * k, std::sin(k * 0.01 * (i + 1)) * 10 + (double)(rng() % 5));
    for (int i = 0; i < 3; i++) {
        std::vector<int64_t> t;
        std::vector<double> v;
        for (int k = 0; k < 30000; k++) {
            t.push_back(1000 + 33 * k);
            v.push_back(std::cos(k * 0.003 * (i + 2)) * 12 + (double)(rng() % 7));
        }
        make_track(&tracks[(size_t)i], t, v);
        cw->series[3 + i].track = &tracks[(size_t)i];
    }
    cw->show_all = 1;
    for (int view = 0; view < 4; view++) {
        if (view > 0) {
            cw->show_all = cw->auto_x = 0;
            cw->view_x0 = 1000 + (int64_t)(rng() % 300000);
            cw->view_x1 = cw->view_x0 + 300000 + (int64_t)(rng() % 500000);
        }
        std::fill(px.begin(), px.end(), 0u);
        SoftSurface soft(px.data(), W, H);
        chart_paint(cw, &soft, W, H);
        const std::vector<uint32_t> once = px;
        const DrawRect p = chart_plot_rect(W, H);
        const ViewInfo v = chart_compute_view(cw);
        for (int i = 0; i < cw->series_count; i++)
            chart_draw_series(&soft, cw, &cw->series[i], p, p, v.x0, v.x1, v.y0, v.y1, v.has_time);
        int32_t differ = 0;
        for (int32_t y = 0; y < H; y++)
            for (int32_t x = 0; x < W; x++)
                if (!(x < p.left + 430 && y < p.top + 16 * 6 + 8)) differ += once[(size_t)y * W + x] != px[(size_t)y * W + x];
        EXPECT_EQ(differ, 0) << "view " << view;
    }
    chart_drop_all_track_refs();
    for (SampleTrack& t : tracks) track_free(&t);
}
