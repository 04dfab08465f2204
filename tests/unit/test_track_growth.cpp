// Sample tracks while a recording loads: every appended sample survives the arrays' growth (their
// blocks move and start at staggered offsets), times stay in order, and the pages made resident
// ahead of the appends stay in proportion to the track, so thousands of short tracks stay small.
#include <gtest/gtest.h>

#include <cstring>

#include "chart/sample_track.h"

namespace {

TEST(TrackGrowth, SamplesSurviveEveryGrowthAndTheResidentStretchFollowsTheTrack) {
    SampleTrack t;
    memset(&t, 0, sizeof t);
    ASSERT_TRUE(track_append(&t, 5, 0.5));
    EXPECT_LE(t.ready, (int64_t)TRACK_PREFAULT_MIN_SAMPLES) << "one sample made a whole stretch resident";
    const int64_t total = 300000;
    for (int64_t i = 1; i < total; i++) {
        // Every 1000th time runs back: it is held at the last one.
        ASSERT_TRUE(track_append(&t, i % 1000 == 0 ? 0 : 5 + i, 0.5 + (double)i));
        const int64_t floor = TRACK_PREFAULT_MIN_SAMPLES;
        const int64_t bound = t.count < floor ? floor : t.count;
        ASSERT_LE(t.ready - t.count, bound) << "at " << t.count;
        ASSERT_LE(t.ready, t.capacity);
    }
    ASSERT_EQ(t.count, total);
    for (int64_t i = 0; i < total; i++) {
        ASSERT_EQ(t.values[i], 0.5 + (double)i) << i;
        const int64_t expected_time = i == 0 ? 5 : i % 1000 == 0 ? 5 + i - 1 : 5 + i;
        ASSERT_EQ(t.times[i], expected_time) << i;
    }
    ASSERT_TRUE(track_finish(&t));
    double lo = 0, hi = 0;
    ASSERT_TRUE(track_range_minmax(&t, 0, t.count, &lo, &hi));
    EXPECT_EQ(lo, 0.5);
    EXPECT_EQ(hi, 0.5 + (double)(total - 1));
    track_free(&t);
    EXPECT_EQ(t.count, 0);
    EXPECT_EQ(t.times, nullptr);
}

}  // namespace
