// test_replay_pixels.cpp - recordings written the way the recorder writes them, loaded by the
// load-all replay and drawn on the software surface at many sizes and zooms, checked pixel by
// pixel against a min/max computed here from the raw values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <filesystem>
#include <string>
#include <vector>

#include "../data/scratch_dir.h"
#include "acquisition/acquisition.h"
#include "chart/chart.h"
#include "chart/chart_paint.h"
#include "chart/chart_view.h"
#include "chart/draw_surface_soft.h"
#include "core/log.h"
#include "platform_recorder.h"
#include "recording/replay.h"
#include "recording/replay_rows.h"
#include "test_recording_util.h"
#include "vartable/leaf_table.h"
#include "workspace/theme.h"

namespace {

// One generated recording: per variable the (time, value) pairs in file order.
struct Recording {
    int vars = 0;
    std::vector<std::vector<int64_t>> times;
    std::vector<std::vector<double>> values;
};

std::string var_name(int k) { return "rv." + std::to_string(k); }

// Writes a recording of `vars` interleaved variables, `lines` lines, uneven and repeated times;
// variable 0 carries one lone spike.
Recording write_recording(const std::string& path, int vars, int lines, uint32_t seed) {
    std::mt19937 rng(seed);
    Recording r;
    r.vars = vars;
    r.times.resize(vars);
    r.values.resize(vars);
    std::string out = "\xEF\xBB\xBFtimestamp_us,time_iso";
    for (int k = 0; k < vars; k++) out += "," + var_name(k);
    out += "\n";
    int64_t t = 1733659200000000LL;
    std::vector<double> level(vars, 0.0);
    const int spike_line = lines / 2 - (lines / 2) % vars;  // a line of variable 0 (round robin)
    for (int i = 0; i < lines; i++) {
        const int k = i % vars;
        const uint32_t step = rng() % 10;
        t += step < 2 ? 0 : (int64_t)(rng() % 400);  // repeated and uneven times
        level[k] += (double)((int)(rng() % 21) - 10);
        double v = level[k];
        if (i == spike_line) v = 5000;
        r.times[k].push_back(t);
        r.values[k].push_back(v);
        char line[128];
        snprintf(line, sizeof line, "%lld,2024-12-08 12:00:00.000000", (long long)t);
        out += line;
        for (int c = 0; c < vars; c++) {
            out += ",";
            if (c == k) {
                snprintf(line, sizeof line, "%.17g", v);
                out += line;
            }
        }
        out += "\n";
    }
    rectest::write_file(path, out);
    return r;
}

class ReplayPixels : public ::testing::Test {
protected:
    PlatformRecorder rec;
    rectest::ScratchDir dir;
    void* handle = (void*)0x7700;
    ChartWindow* cw = nullptr;
    AcquisitionHooks saved_acq{};

    // Replays a file the way the command does into the window's series, then drains the
    // published samples into its rings.
    void replay_into_window(const std::string& path) {
        replay_all_command(path.c_str());
        while (samples_flush() > 0) {
        }
    }

    void SetUp() override {
        log_reset();
        leaf_table_reset();
        samples_reset();
        for (int k = 0; k < 8; k++)
            leaf_add(var_name(k).c_str(), 0x20000000u + 8u * (unsigned)k, 8, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
        g_chart_hooks = ChartHooks{};
        g_chart_hooks.replay_track = replay_track_by_name;
        g_replay_chart_hooks = ReplayChartHooks{};
        g_replay_chart_hooks.window_count = chart_record_count;
        g_replay_chart_hooks.window_at = [](int32_t i) -> void* { return chart_record_at(i)->window; };
        g_replay_chart_hooks.series_name = chart_series_name;
        g_replay_chart_hooks.set_track = chart_set_track;
        g_replay_chart_hooks.drop_track_refs = chart_drop_all_track_refs;
        saved_acq = g_acquisition_hooks;
        g_acquisition_hooks = AcquisitionHooks{};
        g_acquisition_hooks.deliver_to_windows = chart_deliver_all;
        cw = chart_record_create(handle, nullptr);
        ASSERT_NE(cw, nullptr);
    }
    void TearDown() override {
        chart_record_destroy(handle);
        chart_drop_all_track_refs();
        replay_store_reset();
        g_chart_hooks = ChartHooks{};
        g_replay_chart_hooks = ReplayChartHooks{};
        g_acquisition_hooks = saved_acq;
        samples_reset();
        leaf_table_reset();
        log_reset();
    }
};

// Pixel checks of one series drawn alone: every column with samples shows its smallest and
// largest value, and nothing of the series' colour lies left of the first or right of the last
// sample. Returns the number of faults found (reported with the first few).
int check_frame(const SoftSurface& s, const ChartWindow* cw, const std::vector<int64_t>& times,
                const std::vector<double>& values, const char* what) {
    const int32_t W = s.width(), H = s.height();
    const DrawRect p = chart_plot_rect(W, H);
    const ViewInfo v = chart_compute_view(cw);
    const uint32_t colour = cw->series[0].colour;
    // The legend sits in the top-left corner of the plot in the same colour.
    const DrawRect legend = {p.left, p.top, p.left + 430, p.top + 22};
    auto in_legend = [&](int x, int y) {
        return x >= legend.left && x <= legend.right && y >= legend.top && y <= legend.bottom;
    };
    auto has_colour = [&](int x, int y) {
        for (int dx = -1; dx <= 1; dx++)
            for (int dy = -1; dy <= 1; dy++)
                if (s.pixel(x + dx, y + dy) == colour) return true;
        return false;
    };
    std::vector<double> lo(W, 1e300), hi(W, -1e300);
    int first_x = INT32_MAX, last_x = INT32_MIN;
    for (size_t i = 0; i < times.size(); i++) {
        if (times[i] < v.x0 || times[i] > v.x1) continue;
        const int x = time_to_x(times[i], v.x0, v.x1, p.left, p.right);
        if (x < p.left || x > p.right) continue;
        lo[x] = std::min(lo[x], values[i]);
        hi[x] = std::max(hi[x], values[i]);
        first_x = std::min(first_x, x);
        last_x = std::max(last_x, x);
    }
    // Outside the recording's time span nothing of the series may be drawn.
    const int data_first = time_to_x(times.front(), v.x0, v.x1, p.left, p.right);
    const int data_last = time_to_x(times.back(), v.x0, v.x1, p.left, p.right);
    int faults = 0;
    for (int x = p.left; x <= p.right; x++) {
        if (lo[x] <= hi[x]) {
            const int ylo = value_to_y(lo[x], v.y0, v.y1, p.top, p.bottom);
            const int yhi = value_to_y(hi[x], v.y0, v.y1, p.top, p.bottom);
            for (int y : {ylo, yhi}) {
                if (in_legend(x, y) || has_colour(x, y)) continue;
                if (faults++ < 4)
                    ADD_FAILURE() << what << " " << W << "x" << H << ": column " << x << " misses value at row " << y
                                  << " (min " << lo[x] << " max " << hi[x] << ", view " << v.x0 << ".." << v.x1
                                  << ")";
            }
        }
        if (x < data_first - 2 || x > data_last + 2) {  // a sample's dot reaches 2 pixels out
            for (int y = p.top; y <= p.bottom; y++) {
                if (in_legend(x, y) || s.pixel(x, y) != colour) continue;
                if (faults++ < 4)
                    ADD_FAILURE() << what << " " << W << "x" << H << ": colour at " << x << "," << y
                                  << " outside the data (" << data_first << ".." << data_last << ")";
                break;
            }
        }
    }
    return faults;
}

TEST_F(ReplayPixels, InterleavedRecordingsDrawEveryColumnAtRandomZooms) {
    std::mt19937 rng(1234);
    const int var_counts[] = {2, 3, 5, 8};
    const int line_counts[] = {10, 100, 1000, 12000, 100000};
    std::vector<uint32_t> pixels;
    int total_faults = 0;
    for (int vars : var_counts) {
        for (int lines : line_counts) {
            const std::string path = dir.path("r_" + std::to_string(vars) + "_" + std::to_string(lines) + ".csv");
            const Recording r = write_recording(path, vars, lines, (uint32_t)(vars * 1000 + lines));
            for (int k = 0; k < vars && k < 3; k++) {
                chart_drop_all_track_refs();
                chart_record_destroy(handle);
                cw = chart_record_create(handle, nullptr);
                ASSERT_NE(cw, nullptr);
                ASSERT_EQ(chart_add_var(handle, leaf_find(var_name(k).c_str())), 0);
                replay_into_window(path);
                const std::vector<int64_t>& t = r.times[k];
                const std::vector<double>& val = r.values[k];
                for (int trial = 0; trial < 6; trial++) {
                    const int W = 90 + (int)(rng() % 1400), H = 70 + (int)(rng() % 800);
                    pixels.assign((size_t)W * H, 0);
                    SoftSurface surface(pixels.data(), W, H);
                    cw->auto_y = 1;
                    if (trial == 0) {
                        cw->show_all = cw->auto_x = 1;
                    } else {
                        const size_t n = t.size();
                        const size_t span = 2 + rng() % std::max<size_t>(1, n / (1 + rng() % 50));
                        const size_t a = rng() % n;
                        const size_t b = std::min(n - 1, a + span);
                        cw->show_all = cw->auto_x = 0;
                        cw->view_x0 = t[a] - (int64_t)(rng() % 50);
                        cw->view_x1 = std::max(t[b], cw->view_x0 + 1);
                    }
                    chart_paint(cw, &surface, W, H);
                    const std::string what = std::to_string(vars) + " vars x " + std::to_string(lines) +
                                             " lines, var " + std::to_string(k) + ", trial " + std::to_string(trial);
                    const int f = check_frame(surface, cw, t, val, what.c_str());
                    // The first faulty frame is kept for a look, in a folder of its own that
                    // outlives the test (no other test process can write there).
                    if (f && total_faults == 0) {
                        const std::string shot = (scratch_dir_create("kx_replay_pixels_fault") / "frame.bmp").string();
                        surface.save_bmp(shot.c_str());
                        std::printf("first faulty frame saved as %s\n", shot.c_str());
                    }
                    total_faults += f;
                }
            }
        }
    }
    EXPECT_EQ(total_faults, 0);
}

}  // namespace

namespace {

// Writes a recording from explicit lines: each is (timestamp text, variable, value text).
struct Line {
    std::string time;
    int var;
    std::string value;
};
void write_lines(const std::string& path, int vars, const std::vector<Line>& lines) {
    std::string out = "\xEF\xBB\xBFtimestamp_us,time_iso";
    for (int k = 0; k < vars; k++) out += "," + var_name(k);
    out += "\n";
    for (const Line& l : lines) {
        out += l.time + ",";
        for (int c = 0; c < vars; c++) out += "," + (c == l.var ? l.value : std::string());
        out += "\n";
    }
    rectest::write_file(path, out);
}

int count_colour(const SoftSurface& s, uint32_t colour, const DrawRect& r) {
    int n = 0;
    for (int y = r.top; y <= r.bottom; y++)
        for (int x = r.left; x <= r.right; x++) n += s.pixel(x, y) == colour;
    return n;
}

TEST_F(ReplayPixels, LinesWithoutTimestampsKeepTheTrackAndItsSpan) {
    const std::string path = dir.path("untimed.csv");
    write_lines(path, 2,
                {{"", 0, "1"}, {"1000", 1, "2"}, {"2000", 0, "3"}, {"-1", 1, "4"}, {"0", 0, "5"},
                 {"3000", 1, "6"}, {"4000", 0, "7"}, {"", 1, "8"}});
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.0")), 0);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.1")), 0);
    replay_into_window(path);
    for (int k = 0; k < 2; k++) {
        const SampleTrack* t = replay_track_by_name(var_name(k).c_str());
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->count, 4);
        EXPECT_TRUE(track_usable(t));
        EXPECT_EQ(cw->series[k].track, t);
        for (int64_t i = 0; i < t->count; i++) EXPECT_TRUE(t->times[i] >= 1000 && t->times[i] <= 4000);
    }
    EXPECT_EQ(replay_track_by_name("rv.1")->t1, 4000);  // the last line takes the last valid time
    const ViewInfo v = chart_compute_view(cw);
    EXPECT_EQ(v.x0, 1000);
    EXPECT_EQ(v.x1, 4000);
}

TEST_F(ReplayPixels, NonFiniteAndExtremeValuesKeepTheViewReadable) {
    const std::string path = dir.path("nonfinite.csv");
    std::vector<Line> lines;
    const char* odd[] = {"nan", "inf", "-inf", "4.9e-324", "-0", "1e-310"};
    for (int i = 0; i < 400; i++) {
        const std::string t = std::to_string(1000 + i * 100);
        if (i % 50 == 7) lines.push_back({t, 0, odd[(i / 50) % 6]});
        else lines.push_back({t, 0, std::to_string(100 + i % 37)});
    }
    write_lines(path, 1, lines);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.0")), 0);
    replay_into_window(path);
    ASSERT_NE(cw->series[0].track, nullptr);
    const ViewInfo v = chart_compute_view(cw);
    EXPECT_TRUE(std::isfinite(v.y0) && std::isfinite(v.y1)) << v.y0 << " " << v.y1;
    EXPECT_LE(v.y0, 100);
    EXPECT_GE(v.y1, 136);
    std::vector<uint32_t> pixels(800 * 500);
    SoftSurface s(pixels.data(), 800, 500);
    chart_paint(cw, &s, 800, 500);
    const DrawRect p = chart_plot_rect(800, 500);
    // The finite samples fill the plot's middle: many pixels of the series between the margins.
    const int mid = count_colour(s, cw->series[0].colour, DrawRect{p.left + 1, p.top + 40, p.right - 1, p.bottom - 5});
    EXPECT_GT(mid, 500);
}

TEST_F(ReplayPixels, HugeValuesOfBothSignsStillDrawInsideTheRange) {
    const std::string path = dir.path("huge.csv");
    std::vector<Line> lines;
    for (int i = 0; i < 200; i++) lines.push_back({std::to_string(1000 + i * 10), 0, i % 2 ? "1e308" : "-1e308"});
    write_lines(path, 1, lines);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.0")), 0);
    replay_into_window(path);
    const ViewInfo v = chart_compute_view(cw);
    EXPECT_TRUE(std::isfinite(v.y0) && std::isfinite(v.y1)) << v.y0 << " " << v.y1;
    const DrawRect p = chart_plot_rect(800, 500);
    EXPECT_LT(value_to_y(1e308, v.y0, v.y1, p.top, p.bottom), value_to_y(-1e308, v.y0, v.y1, p.top, p.bottom));
}

// A recording made before a firmware rebuild that moved the leaves: every track reaches the
// variable of its own name, also for a window opened after the reload.
TEST_F(ReplayPixels, ReloadBetweenReplayAndAddingAVariableKeepsNames) {
    const std::string path = dir.path("reload.csv");
    const Recording r = write_recording(path, 4, 4000, 77);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.2")), 0);
    replay_into_window(path);
    leaf_table_reset();
    for (int k = 7; k >= 0; k--)
        leaf_add(var_name(k).c_str(), 0x20000000u + 8u * (unsigned)k, 8, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    chart_rebind(handle);
    ASSERT_EQ(cw->series_count, 1);
    ASSERT_NE(cw->series[0].track, nullptr);
    EXPECT_EQ(cw->series[0].track->values[0], r.values[2][0]);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.1")), 0);
    ASSERT_NE(cw->series[1].track, nullptr);
    ASSERT_EQ(cw->series[1].track->count, (int64_t)r.values[1].size());
    for (size_t i = 0; i < r.values[1].size(); i++) ASSERT_EQ(cw->series[1].track->values[i], r.values[1][i]);
}

// Live samples after a replay draw, in follow mode, whatever times the recording had.
TEST_F(ReplayPixels, AcquisitionAfterReplayDrawsLiveSamples) {
    const std::string path = dir.path("before_live.csv");
    write_recording(path, 2, 3000, 5);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.0")), 0);
    replay_into_window(path);
    ASSERT_NE(cw->series[0].track, nullptr);
    chart_on_acquisition_started(cw);
    const int64_t now = 1733659200000000LL + 3600000000LL;
    const int id = leaf_find("rv.0");
    for (int i = 0; i < 500; i++) {
        Sample smp = {};
        smp.timestamp_us = now + i * 1000;
        smp.leaf_id = id;
        smp.value = (i / 50) % 2 ? 1e6 : -1e6;  // far outside the recording's values
        chart_on_sample(handle, &smp);
    }
    std::vector<uint32_t> pixels(900 * 400);
    SoftSurface s(pixels.data(), 900, 400);
    chart_paint(cw, &s, 900, 400);
    const ViewInfo v = chart_compute_view(cw);
    EXPECT_GE(v.x1, now + 400 * 1000);
    EXPECT_LE(v.y0, -1e6);
    EXPECT_GE(v.y1, 1e6);
    const DrawRect p = chart_plot_rect(900, 400);
    const int shown = count_colour(s, cw->series[0].colour, DrawRect{p.left + 1, p.top + 30, p.right - 1, p.bottom});
    EXPECT_GT(shown, 400);
}

// A marker placed on a drawn sample of a zoomed replay reads that sample's time and value.
TEST_F(ReplayPixels, MarkersReadTheRawSamplesOfAZoomedReplay) {
    const std::string path = dir.path("markers.csv");
    const Recording r = write_recording(path, 3, 30000, 9);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.1")), 0);
    replay_into_window(path);
    const std::vector<int64_t>& t = r.times[1];
    const std::vector<double>& val = r.values[1];
    std::mt19937 rng(3);
    for (int trial = 0; trial < 40; trial++) {
        const int W = 300 + (int)(rng() % 900), H = 200 + (int)(rng() % 500);
        size_t a = rng() % (t.size() - 20);
        size_t b = a + 2 + rng() % 15;
        if (t[b] == t[a]) continue;
        cw->show_all = cw->auto_x = 0;
        cw->auto_y = 1;
        cw->view_x0 = t[a];
        cw->view_x1 = t[b];
        chart_clear_markers(cw);
        const ViewInfo v = chart_compute_view(cw);
        const DrawRect p = chart_plot_rect(W, H);
        // Aim at a sample whose time no other sample shares (the nearest is then unambiguous).
        size_t i = a + 1 + rng() % (b - a - 1 + 1);
        if (i >= t.size() || (i > 0 && t[i - 1] == t[i]) || (i + 1 < t.size() && t[i + 1] == t[i])) continue;
        const int x = time_to_x(t[i], v.x0, v.x1, p.left, p.right);
        const int y = value_to_y(val[i], v.y0, v.y1, p.top, p.bottom);
        ASSERT_EQ(chart_place_marker(cw, &v, W, H, x, y), 1);
        // The nearest sample in time to the pixel's time, by brute force.
        const int64_t at = x_to_time(x, v.x0, v.x1, p.left, p.right);
        size_t best = 0;
        for (size_t j = 0; j < t.size(); j++)
            if (std::llabs(t[j] - at) < std::llabs(t[best] - at)) best = j;
        EXPECT_EQ(cw->m1_time, t[best]) << trial;
        EXPECT_EQ(cw->m1_value, val[best]) << trial;
    }
}

}  // namespace

namespace {

// Value labels over ranges of every scale: neighbours differ and every label fits the label
// column left of the plot, or overlaps the plot by at most five characters.
TEST(ReplayLabels, ValueLabelsDifferAndFitTheirColumn) {
    std::vector<uint32_t> pixels(10 * 10);
    SoftSurface s(pixels.data(), 10, 10);
    std::mt19937 rng(11);
    const int32_t column = CHART_PLOT_LEFT - 4;
    int unreadable = 0, too_wide = 0;
    for (int trial = 0; trial < 4000; trial++) {
        const double centre = std::ldexp((double)(int)(rng() % 2001) - 1000, (int)(rng() % 60) - 20);
        const double span = std::pow(10.0, (double)(int)(rng() % 24) - 12) * (1 + rng() % 9);
        if (!(std::fabs(centre) / span < 1e6)) continue;  // beyond what ten digits can tell apart
        double values[5];
        for (int j = 0; j < 5; j++) values[j] = chart_value_label(centre - span / 2, centre + span / 2, j, 4);
        char texts[CHART_LABELS_MAX][CHART_LABEL_CAPACITY];
        chart_format_value_labels(&s, values, 5, column, texts);
        for (int j = 0; j < 5; j++) {
            int32_t w = 0, h = 0;
            s.measure_text(texts[j], &w, &h);
            // A label wider than its column starts at the window's edge and reaches into the plot
            // (read whole, see the frame test); far into it it would hide the data.
            if (w > column + 5 * SOFT_GLYPH_ADVANCE && too_wide++ < 5)
                ADD_FAILURE() << "label \"" << texts[j] << "\" is " << w << " px wide, range " << values[4] << ".."
                              << values[0];
            if (j > 0 && strcmp(texts[j], texts[j - 1]) == 0 && unreadable++ < 5)
                ADD_FAILURE() << "labels read the same: \"" << texts[j] << "\", range " << values[4] << ".."
                              << values[0];
        }
    }
    EXPECT_EQ(too_wide + unreadable, 0) << too_wide << " too wide, " << unreadable << " alike";
    // The counter that read "1.61e+04", "1.61e+04", "1.6e+04"... reads plainly.
    const double counter[5] = {16150, 16087.5, 16025, 15962.5, 15900};
    char texts[CHART_LABELS_MAX][CHART_LABEL_CAPACITY];
    chart_format_value_labels(&s, counter, 5, column, texts);
    EXPECT_STREQ(texts[0], "16150");
    EXPECT_STREQ(texts[1], "16088");
}

}  // namespace

namespace {

int count_in(const SoftSurface& s, uint32_t colour, int x0, int y0, int x1, int y1) {
    int n = 0;
    for (int y = y0; y <= y1; y++)
        for (int x = x0; x <= x1; x++) n += s.pixel(x, y) == colour;
    return n;
}

// A replayed 32-bit counter near four billion: its labels need ten digits, more than the label
// column holds; every label is drawn whole (sign and leading digits too), none cut at the edge.
TEST_F(ReplayPixels, WideValueLabelsAreDrawnWhole) {
    const std::string path = dir.path("counter.csv");
    std::vector<Line> lines;
    for (int i = 0; i < 300; i++) lines.push_back({std::to_string(1000 + i * 10), 0, std::to_string(-4000000000LL - i)});
    write_lines(path, 1, lines);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.0")), 0);
    replay_into_window(path);
    const int W = 640, H = 360;
    std::vector<uint32_t> pixels(W * H);
    SoftSurface s(pixels.data(), W, H);
    chart_paint(cw, &s, W, H);
    const ViewInfo v = chart_compute_view(cw);
    const DrawRect p = chart_plot_rect(W, H);
    double values[5];
    for (int j = 0; j < 5; j++) values[j] = chart_value_label(v.y0, v.y1, j, 4);
    char texts[CHART_LABELS_MAX][CHART_LABEL_CAPACITY];
    chart_format_value_labels(&s, values, 5, p.left - 4, texts);
    const uint32_t ink = theme_color(21);
    for (int j = 1; j < 4; j++) {
        // The same text on a blank surface: every one of its pixels must be in the window.
        std::vector<uint32_t> blank(400 * 20);
        SoftSurface alone(blank.data(), 400, 20);
        alone.set_text_color(ink);
        alone.text(texts[j], DrawRect{10, 0, 390, 20}, TEXT_LEFT | TEXT_VCENTER | TEXT_SINGLE_LINE);
        const int want = count_in(alone, ink, 0, 0, 399, 19);
        const int y = p.top + (p.bottom - p.top) * j / 4;
        EXPECT_GE(count_in(s, ink, 0, y - 8, p.left + 80, y + 8), want) << "label \"" << texts[j] << "\" is cut";
        EXPECT_EQ(count_in(s, ink, 0, y - 8, 1, y + 8), 0);
    }
}

}  // namespace

namespace {

// 64-bit integers at their limits replay as the nearest doubles, and the last value's text
// (the legend and numeric windows show it) stays exact.
TEST_F(ReplayPixels, SixtyFourBitLimitsReplayExactly) {
    leaf_add("i64", 0x20001000, 8, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("u64", 0x20001008, 8, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    const std::string path = dir.path("limits.csv");
    rectest::write_file(path, "\xEF\xBB\xBFtimestamp_us,time_iso,i64,u64\n"
                              "1000,x,9223372036854775807,\n"
                              "2000,x,,18446744073709551615\n"
                              "3000,x,-9223372036854775808,\n"
                              "4000,x,,9007199254740993\n"
                              "5000,x,-9223372036854775807,\n"
                              "6000,x,,18446744073709551614\n");
    ASSERT_EQ(replay_load_all(path.c_str()), 0);
    const SampleTrack* i = replay_track_by_name("i64");
    const SampleTrack* u = replay_track_by_name("u64");
    ASSERT_TRUE(i && u);
    ASSERT_EQ(i->count, 3);
    ASSERT_EQ(u->count, 3);
    EXPECT_EQ(i->values[0], 9223372036854775807.0);
    EXPECT_EQ(i->values[1], -9223372036854775808.0);
    EXPECT_EQ(u->values[0], 18446744073709551615.0);
    EXPECT_EQ(u->values[1], 9007199254740993.0);
    Sample last;
    sample_slot_load(&last, &leaf_at(leaf_find("u64"))->last_sample);
    EXPECT_EQ(last.timestamp_us, 6000);
    EXPECT_STREQ(last.text, "18446744073709551614");
    sample_slot_load(&last, &leaf_at(leaf_find("i64"))->last_sample);
    EXPECT_STREQ(last.text, "-9223372036854775807");
}

}  // namespace

namespace {

// What the numeric window folds into its extremes after an in-place write: the text read at the
// leaf's width, a bit field taken from its place in the storage unit.
TEST_F(ReplayPixels, WrittenTextsDecodeAtTheLeafsWidthAndBitPlace) {
    leaf_add("u8", 0x20002000, 1, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("s8", 0x20002001, 1, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("bf", 0x20002004, 4, TYPE_UINT, 0, 0, 1, 5, 3, nullptr);
    leaf_add("sbf", 0x20002008, 2, TYPE_INT, 1, 0, 1, 9, 4, nullptr);
    struct Case {
        const char* leaf;
        const char* text;
        double value;
    } cases[] = {{"u8", "-1", 255}, {"u8", "200", 200}, {"s8", "-1", -1}, {"s8", "-128", -128},
                 {"bf", "5", 5},    {"bf", "7", 7},     {"sbf", "-1", -1}, {"sbf", "-8", -8}, {"sbf", "7", 7}};
    for (const Case& c : cases) {
        Sample s;
        ASSERT_TRUE(replay_make_sample(leaf_at(leaf_find(c.leaf)), c.text, 0, &s)) << c.leaf << " " << c.text;
        EXPECT_EQ(s.value, c.value) << c.leaf << " " << c.text;
    }
}

}  // namespace

namespace {

// Columns of variables the firmware does not have are skipped; the others load whole, also
// behind quoted fields and values.
TEST_F(ReplayPixels, UnknownColumnsAreSkippedAndTheRestLoads) {
    const std::string path = dir.path("unknown.csv");
    rectest::write_file(path, "\xEF\xBB\xBFtimestamp_us,time_iso,gone.a,rv.0,\"odd,name\",rv.1\n"
                              "1000,x,5,,,\n"
                              "2000,x,,1.5,,\n"
                              "3000,x,,,\"7\",\n"
                              "4000,x,,,,\"2.5\"\n"
                              "5000,x,,-3,,\n"
                              "6000,x,,,,4\n");
    ASSERT_EQ(replay_load_all(path.c_str()), 0);
    EXPECT_EQ(replay_series_count(), 2);
    const SampleTrack* a = replay_track_by_name("rv.0");
    const SampleTrack* b = replay_track_by_name("rv.1");
    ASSERT_TRUE(a && b);
    ASSERT_EQ(a->count, 2);
    ASSERT_EQ(b->count, 2);
    EXPECT_EQ(a->values[0], 1.5);
    EXPECT_EQ(a->values[1], -3);
    EXPECT_EQ(a->times[1], 5000);
    EXPECT_EQ(b->values[0], 2.5);
    EXPECT_EQ(b->times[0], 4000);
    EXPECT_EQ(b->values[1], 4);
}

}  // namespace

namespace {

// Sixteen replayed series in one window, drawn together: each one's lone spike (at its own time
// and height, above every other value) shows in its colour at every size.
TEST_F(ReplayPixels, SixteenSeriesEachShowTheirLoneSpike) {
    for (int k = 8; k < 16; k++)
        leaf_add(var_name(k).c_str(), 0x20000000u + 8u * (unsigned)k, 8, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    const int vars = 16, lines = 160000;
    std::string out = "\xEF\xBB\xBFtimestamp_us,time_iso";
    for (int k = 0; k < vars; k++) out += "," + var_name(k);
    out += "\n";
    std::mt19937 rng(21);
    std::vector<int64_t> spike_time(vars);
    for (int i = 0; i < lines; i++) {
        const int k = i % vars;
        const int64_t t = 1000000 + (int64_t)i * 7;
        double v = (double)(rng() % 100);
        if (i / vars == 500 + 600 * k) {
            v = 1000 + 50 * k;
            spike_time[k] = t;
        }
        out += std::to_string(t) + ",x";
        for (int c = 0; c < vars; c++) out += c == k ? "," + std::to_string(v) : ",";
        out += "\n";
    }
    const std::string path = dir.path("sixteen.csv");
    rectest::write_file(path, out);
    for (int k = 0; k < vars; k++) ASSERT_EQ(chart_add_var(handle, leaf_find(var_name(k).c_str())), 0);
    replay_into_window(path);
    for (int size = 0; size < 8; size++) {
        const int W = 200 + (int)(rng() % 1400), H = 200 + (int)(rng() % 700);
        std::vector<uint32_t> pixels((size_t)W * H);
        SoftSurface s(pixels.data(), W, H);
        cw->show_all = cw->auto_x = cw->auto_y = 1;
        chart_paint(cw, &s, W, H);
        const ViewInfo v = chart_compute_view(cw);
        const DrawRect p = chart_plot_rect(W, H);
        for (int k = 0; k < vars; k++) {
            const int x = time_to_x(spike_time[k], v.x0, v.x1, p.left, p.right);
            const int y = value_to_y(1000 + 50 * k, v.y0, v.y1, p.top, p.bottom);
            // The legend (a line and the name per series) lies over the plot's top-left corner.
            if (x <= p.left + 430 && y <= p.top + 4 + 16 * vars + 14) continue;
            int found = 0;
            for (int dx = -1; dx <= 1; dx++)
                for (int dy = -1; dy <= 1; dy++) found += s.pixel(x + dx, y + dy) == cw->series[k].colour;
            EXPECT_GT(found, 0) << "spike of series " << k << " missing at " << x << "," << y << " in " << W << "x" << H;
        }
    }
}

}  // namespace

namespace {

// After a replay: no "waiting for data" hint over the waveform, and stacked rows take their
// range from the whole recording (brute force over the raw values).
TEST_F(ReplayPixels, StackedRowsAndHintAfterAReplay) {
    const std::string path = dir.path("stacked.csv");
    const Recording r = write_recording(path, 3, 90000, 31);
    for (int k = 0; k < 3; k++) ASSERT_EQ(chart_add_var(handle, leaf_find(var_name(k).c_str())), 0);
    replay_into_window(path);
    chart_toggle_stacked(cw, 1);
    ASSERT_TRUE(cw->stacked);
    const int W = 700, H = 500;
    std::vector<uint32_t> pixels(W * H);
    SoftSurface s(pixels.data(), W, H);
    chart_paint(cw, &s, W, H);
    const DrawRect p = chart_plot_rect(W, H);
    EXPECT_EQ(count_colour(s, CHART_HINT_TEXT, p), 0);
    for (int k = 0; k < 3; k++) {
        double lo, hi;
        chart_row_range(cw, &cw->series[k], &lo, &hi);
        const double mn = *std::min_element(r.values[k].begin(), r.values[k].end());
        const double mx = *std::max_element(r.values[k].begin(), r.values[k].end());
        EXPECT_LE(lo, mn) << k;
        EXPECT_GE(hi, mx) << k;
        EXPECT_GT(lo, mn - 0.2 * (mx - mn)) << k;
        EXPECT_LT(hi, mx + 0.2 * (mx - mn)) << k;
    }
}

}  // namespace

namespace {

// A variable added while an acquisition runs after a replay shows live data in follow mode: the
// old recording's track is not lent to it (it would switch the window to the whole recording).
TEST_F(ReplayPixels, VariableAddedDuringAcquisitionAfterReplayFollowsLiveData) {
    g_chart_hooks.replay_track = replay_track_for_new_series;
    const std::string path = dir.path("then_live.csv");
    write_recording(path, 2, 2000, 8);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.0")), 0);
    replay_into_window(path);
    ASSERT_NE(cw->series[0].track, nullptr);
    acquisition_set_state(ACQ_RUNNING);
    chart_on_acquisition_started(cw);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.1")), 0);
    EXPECT_EQ(cw->series[1].track, nullptr);
    EXPECT_TRUE(chart_follow_mode(cw));
    acquisition_set_state(ACQ_IDLE);
    // Without an acquisition a variable added takes its recorded track as before.
    cw->selected = 1;
    chart_remove_selected(handle);
    ASSERT_EQ(chart_add_var(handle, leaf_find("rv.1")), 0);
    EXPECT_NE(cw->series[1].track, nullptr);
}

}  // namespace
