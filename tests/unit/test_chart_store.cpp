// Waveform series store: adding and removing variables, the ring, the repaint limit, bucket
// caches and their references, enumeration, re-binding and the registry.
#include <cmath>
#include <cstring>

#include "chart_fixture.h"

using namespace chart_test;

using ChartStore = ChartTest;

TEST_F(ChartStore, AddIgnoresDuplicatesAndSeventeenthAndReusesSlotColour) {
    EXPECT_EQ(chart_add_var(handle, 0), 0);
    EXPECT_EQ(count_lines("INFO 波形窗口添加变量: id=0 (观测 1)"), 1);
    lines().clear();
    EXPECT_EQ(chart_add_var(handle, 0), -1);
    EXPECT_EQ(cw->series_count, 1);
    EXPECT_TRUE(lines().empty());

    for (int i = 1; i < 16; i++) ASSERT_EQ(chart_add_var(handle, i), 0);
    EXPECT_EQ(chart_add_var(handle, 16), -1);
    EXPECT_EQ(cw->series_count, 16);
    EXPECT_EQ(leaf_is_watched(leaf_at(15)), 1);
    EXPECT_EQ(leaf_is_watched(leaf_at(16)), 0);
    EXPECT_EQ(cw->series[9].colour, 0x00E6FFu);   // slot 9 -> palette 1

    cw->selected = 2;
    chart_remove_selected(handle);
    EXPECT_EQ(count_lines("INFO 波形窗口移除变量: id=2 (剩余 15 路)"), 1);
    ASSERT_EQ(released().size(), 1u);
    EXPECT_EQ(released()[0], 2);
    // The later series moved down with their own colours.
    EXPECT_EQ(cw->series[2].leaf_id, 3);
    EXPECT_EQ(cw->series[2].colour, chart_palette(3));
    EXPECT_EQ(chart_add_var(handle, 16), 0);
    EXPECT_EQ(cw->series[15].colour, chart_palette(15));
    EXPECT_EQ(cw->series[15].colour, cw->series[6].colour);  // slot 6 holds leaf 7, palette 7
}

TEST_F(ChartStore, UnknownLeafMakesANamelessSeriesWithoutWatching) {
    EXPECT_EQ(chart_add_var(handle, 777), 0);
    EXPECT_EQ(cw->series[0].name[0], 0);
    EXPECT_EQ(leaf_watched_count(), 0);
    feed(777, 5, 1.5);
    EXPECT_EQ(cw->series[0].count, 1);
    char name[16];
    EXPECT_EQ(chart_series_name(handle, 0, name, sizeof name), 0);
}

TEST_F(ChartStore, RingKeepsTheNewestSamplesOldestFirst) {
    chart_add_var(handle, 0);
    chart_add_var(handle, 1);
    for (int i = 0; i < 70000; i++) feed(0, 1000 + i, i);
    const ChartSeries* s = &cw->series[0];
    EXPECT_EQ(s->count, CHART_RING);
    EXPECT_EQ(s->head, 70000 % CHART_RING);
    for (int k : {0, 1, 30000, CHART_RING - 1}) {
        const int pos = chart_ring_pos(s, k);
        EXPECT_EQ(s->values[pos], 70000 - CHART_RING + k);
        EXPECT_EQ(s->times[pos], 1000 + 70000 - CHART_RING + k);
    }
    // Samples of other leaves and samples while paused are dropped.
    feed(5, 1, 1);
    cw->paused = 1;
    feed(1, 1, 1);
    EXPECT_EQ(cw->series[1].count, 0);
    chart_on_sample(handle, nullptr);
    chart_on_sample((void*)0x9999, nullptr);
}

TEST_F(ChartStore, SampleRepaintsAreLimitedToOnePer33Ms) {
    chart_add_var(handle, 0);
    invalidations() = erase_invalidations() = 0;
    rec.tick = 1000;
    feed(0, 1, 1);   // first repaint
    rec.tick = 1020;
    feed(0, 2, 1);
    rec.tick = 1033;
    feed(0, 3, 1);   // exactly 33 ms later: not yet
    rec.tick = 1034;
    feed(0, 4, 1);
    EXPECT_EQ(invalidations(), 2);
    EXPECT_EQ(erase_invalidations(), 0);
    EXPECT_EQ(cw->last_repaint_ms, 1034u);
    EXPECT_EQ(chart_repaint_due(cw, 1050), 0);
    EXPECT_EQ(chart_repaint_due(cw, 1068), 1);
}

TEST_F(ChartStore, NearestSampleAndBucketValue) {
    chart_add_var(handle, 0);
    ChartSeries* s = &cw->series[0];
    EXPECT_EQ(chart_nearest_sample(cw, s, 123), 0);  // nothing considered
    feed(0, 100, 1);
    feed(0, 0, 2);       // no timestamp, still a candidate here
    feed(0, 300, 3);
    feed(0, 200, 4);
    EXPECT_EQ(s->values[chart_nearest_sample(cw, s, 250)], 3);  // 300 and 200 tie: first wins
    EXPECT_EQ(s->values[chart_nearest_sample(cw, s, 10)], 2);
    EXPECT_EQ(s->values[chart_nearest_sample(cw, s, INT64_MAX)], 3);
    EXPECT_EQ(s->values[chart_nearest_sample(cw, s, INT64_MIN)], 2);

    // Follow mode considers only the newest 600 samples.
    for (int i = 0; i < 1000; i++) feed(0, 1000 + i, i);
    EXPECT_EQ(s->values[chart_nearest_sample(cw, s, 0)], 400);
    cw->show_all = 1;
    EXPECT_EQ(s->values[chart_nearest_sample(cw, s, 0)], 2);

    // A track answers with its own nearest sample inside its span only.
    SampleTrack t;
    make_track(&t, {1000, 1400, 1500, 2000}, {1, 2, 3, 4});
    int64_t at = 0;
    double v = 0;
    EXPECT_EQ(chart_track_value(s, 1500, &at, &v), 0);  // no track
    s->track = &t;
    EXPECT_EQ(chart_track_value(s, 1000, &at, &v), 1);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(chart_track_value(s, 1450, &at, &v), 1);  // equally near: the earlier one
    EXPECT_EQ(at, 1400);
    EXPECT_EQ(chart_track_value(s, 1460, &at, &v), 1);
    EXPECT_EQ(v, 3);
    EXPECT_EQ(chart_track_value(s, 2000, &at, &v), 1);
    EXPECT_EQ(v, 4);
    EXPECT_EQ(chart_track_value(s, 2001, &at, &v), 0);
    EXPECT_EQ(chart_track_value(s, 999, &at, &v), 0);
    s->track = nullptr;
    track_free(&t);
}

TEST_F(ChartStore, TracksAttachByNameEmptyTheRingAndAreDroppedBeforeReplayFreesThem) {
    chart_add_var(handle, 0);
    chart_add_var(handle, 1);
    feed(0, 10, 1);
    feed(1, 10, 1);
    SampleTrack flat, good;
    make_track(&flat, {50, 50}, {1, 2});
    make_track(&good, {50, 100, 150}, {1, 2, 3});
    chart_set_track(handle, 0, &flat);  // no span: not drawable, not attached
    EXPECT_EQ(cw->series[0].track, nullptr);
    EXPECT_EQ(cw->series[0].count, 1);
    EXPECT_EQ(cw->show_all, 0);

    chart_set_track(handle, 0, &good);
    EXPECT_EQ(cw->series[0].track, &good);
    EXPECT_EQ(cw->series[0].count, 0);
    EXPECT_EQ(cw->series[1].count, 1);
    EXPECT_EQ(cw->show_all, 1);
    EXPECT_EQ(count_lines("INFO 波形桶缓存: a 3 桶 [50,150]us"), 1);

    // A variable added after the load picks its track up from replay at once, by its name; an
    // unusable track is not attached.
    static SampleTrack* lent;
    lent = &good;
    g_chart_hooks.replay_track = [](const char* name) -> const SampleTrack* {
        return strcmp(name, "c") == 0 ? lent : nullptr;
    };
    cw->show_all = 0;
    chart_add_var(handle, 2);
    EXPECT_EQ(cw->series[2].track, &good);
    EXPECT_EQ(cw->show_all, 1);
    lent = &flat;
    chart_remove_selected(handle);  // selected is 0: "a" goes, "b" and "c" move down
    cw->selected = 1;
    chart_remove_selected(handle);
    chart_add_var(handle, 2);
    EXPECT_EQ(cw->series[1].track, nullptr);

    chart_set_track(handle, 1, &good);
    EXPECT_EQ(chart_drop_all_track_refs(), 1);
    for (int i = 0; i < cw->series_count; i++) EXPECT_EQ(cw->series[i].track, nullptr);

    chart_set_track(handle, 1, &good);
    chart_clear(handle);
    EXPECT_EQ(cw->series[0].track, nullptr);
    EXPECT_EQ(cw->series[0].count, 0);

    // Acquisition after a replay: the track goes, live samples draw.
    chart_set_track(handle, 1, &good);
    chart_on_acquisition_started(cw);
    EXPECT_EQ(cw->series[0].track, nullptr);
    g_chart_hooks.replay_track = nullptr;
    track_free(&flat);
    track_free(&good);
}

TEST_F(ChartStore, EnumerationStopsAtAGoneLeafAndRemovingTheLastSeriesLeavesNoSelection) {
    chart_add_var(handle, 3);
    chart_add_var(handle, 4);
    char name[4];
    EXPECT_EQ(chart_series_name(handle, 0, name, sizeof name), 1);
    EXPECT_STREQ(name, "d");
    EXPECT_EQ(chart_series_name(handle, 2, name, sizeof name), 0);
    EXPECT_EQ(chart_series_name(handle, 0, nullptr, 4), 0);
    EXPECT_EQ(chart_series_name(handle, 0, name, 0), 0);
    cw->series[0].leaf_id = 4000;   // the leaf id no longer names a leaf
    EXPECT_EQ(chart_series_name(handle, 0, name, sizeof name), 0);

    ChartWindow* other = chart_record_create((void*)0x2000, "x");
    ASSERT_NE(other, nullptr);
    chart_add_var((void*)0x2000, 1);
    other->selected = 0;
    chart_remove_selected((void*)0x2000);
    EXPECT_EQ(other->series_count, 0);
    EXPECT_EQ(other->selected, -1);
    chart_remove_selected((void*)0x2000);   // nothing selected: nothing happens
    EXPECT_EQ(count_lines("INFO 波形窗口移除变量"), 1);
    chart_record_destroy((void*)0x2000);
    EXPECT_EQ(chart_is_chart((void*)0x2000), 0);
    EXPECT_EQ(chart_is_chart(handle), 1);
}

TEST_F(ChartStore, RebindRemovesMissingNamesAndEmptiesTheOthers) {
    chart_add_var(handle, 0);   // a
    chart_add_var(handle, 1);   // b
    chart_add_var(handle, 2);   // c
    feed(0, 1, 1);
    feed(2, 1, 1);
    cw->selected = 2;
    // New image: "b" is gone, "c" moved to id 0, "a" to id 1.
    leaf_table_reset();
    leaf_add("c", 0x100, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("a", 0x104, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    lines().clear();
    chart_rebind(handle);
    ASSERT_EQ(cw->series_count, 2);
    EXPECT_EQ(cw->series[0].leaf_id, 1);
    EXPECT_EQ(cw->series[1].leaf_id, 0);
    EXPECT_EQ(cw->series[1].colour, chart_palette(2));
    EXPECT_EQ(cw->series[0].count + cw->series[1].count, 0);
    EXPECT_EQ(cw->selected, 1);
    EXPECT_EQ(count_lines("WARN 波形变量重绑缺失（移除）: b"), 1);
    EXPECT_EQ(count_lines("INFO 波形变量重绑: c id=2->0 @0x100"), 1);
    EXPECT_EQ(count_lines("INFO 波形窗口变量重绑: 成功 2 缺失 1"), 1);
}

TEST_F(ChartStore, DeliverAllReachesEveryLiveWindowAndRegistryRefusesDuplicates) {
    EXPECT_EQ(chart_record_create(handle, nullptr), nullptr);
    EXPECT_EQ(chart_record_create(nullptr, nullptr), nullptr);
    ChartWindow* other = chart_record_create((void*)0x3000, "第二");
    chart_add_var(handle, 0);
    chart_add_var((void*)0x3000, 0);
    Sample batch[3] = {};
    for (int i = 0; i < 3; i++) {
        batch[i].leaf_id = 0;
        batch[i].timestamp_us = 10 + i;
        batch[i].value = i;
    }
    chart_deliver_all(batch, 3);
    EXPECT_EQ(cw->series[0].count, 3);
    EXPECT_EQ(other->series[0].count, 3);
    EXPECT_EQ(chart_record_count(), 2);
    EXPECT_EQ(chart_record_at(1), other);
    EXPECT_EQ(other->title[0], u'第');
    EXPECT_EQ(cw->title[0], u'波');
    chart_record_destroy((void*)0x3000);
    EXPECT_EQ(chart_record_count(), 1);
}
