// chart_fixture.h - shared set-up of the waveform window tests: a leaf table, captured log lines,
// recorded hook calls and helpers that feed samples.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "chart/chart.h"
#include "chart/chart_paint.h"
#include "chart/chart_view.h"
#include "core/log.h"
#include "platform_recorder.h"
#include "vartable/leaf_table.h"

namespace chart_test {

// A finished track from parallel times and values (the caller frees it with track_free).
inline void make_track(SampleTrack* t, const std::vector<int64_t>& times, const std::vector<double>& values) {
    *t = SampleTrack{};
    for (size_t i = 0; i < times.size(); i++) track_append(t, times[i], values[i]);
    track_finish(t);
}

inline std::vector<std::string>& lines() {
    static std::vector<std::string> l;
    return l;
}
inline int& invalidations() {
    static int n;
    return n;
}
inline int& erase_invalidations() {
    static int n;
    return n;
}
inline std::vector<int>& timer_calls() {
    static std::vector<int> v;
    return v;
}
inline std::vector<int>& released() {
    static std::vector<int> v;
    return v;
}

inline void capture(LogLevel level, const char16_t* text) {
    char utf8[1024];
    utf16_to_utf8(text, utf8, sizeof utf8);
    lines().push_back(std::string(log_level_name(level)) + " " + utf8);
}

inline int count_lines(const std::string& prefix) {
    int n = 0;
    for (const std::string& l : lines()) n += l.rfind(prefix, 0) == 0;
    return n;
}

// Fixture: leaves "a", "b", ... "t" (20 int32 leaves), a fresh window record and recorded hooks.
class ChartTest : public ::testing::Test {
protected:
    PlatformRecorder rec;
    void* handle = (void*)0x1000;
    ChartWindow* cw = nullptr;

    void SetUp() override {
        leaf_table_reset();
        for (int i = 0; i < 20; i++) {
            char name[8] = {(char)('a' + i), 0};
            leaf_add(name, 0x20000000u + 4u * (unsigned)i, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
        }
        lines().clear();
        invalidations() = erase_invalidations() = 0;
        timer_calls().clear();
        released().clear();
        log_reset();
        log_set_sink(capture);
        g_chart_hooks = ChartHooks{};
        g_chart_hooks.invalidate = [](void*, int32_t erase) {
            invalidations()++;
            erase_invalidations() += erase ? 1 : 0;
        };
        g_chart_hooks.anim_timer = [](void*, int32_t on) { timer_calls().push_back(on); };
        g_chart_hooks.release_leaf = [](int32_t id) { released().push_back(id); };
        chart_set_dots_logged(0);
        cw = chart_record_create(handle, nullptr);
        ASSERT_NE(cw, nullptr);
    }

    void TearDown() override {
        chart_record_destroy(handle);
        g_chart_hooks = ChartHooks{};
        log_reset();
        leaf_table_reset();
    }

    void feed(int32_t leaf, int64_t t, double v) {
        Sample s = {};
        s.timestamp_us = t;
        s.leaf_id = leaf;
        s.value = v;
        chart_on_sample(handle, &s);
    }
    // n samples of a leaf, one every `step` microseconds from t0, values from f(i).
    template <typename F>
    void feed_n(int32_t leaf, int n, int64_t t0, int64_t step, F f) {
        for (int i = 0; i < n; i++) feed(leaf, t0 + step * i, f(i));
    }
};

}  // namespace chart_test
