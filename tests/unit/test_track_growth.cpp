// Sample tracks while a recording loads: every appended sample survives the arrays' growth (their
// blocks move and start at staggered offsets), times stay in order, and the pages made resident
// ahead of the appends stay in proportion to the track, so thousands of short tracks stay small.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

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

// Replayed values include NaN and infinities (a float column of a diverging controller): the
// pyramid answers every run as a plain fold over the raw values does, NaN left out.
TEST(TrackGrowth, PyramidRangesWithNanAndInfinitiesMatchAPlainFold) {
    std::mt19937_64 rng(3);
    const double specials[] = {NAN, INFINITY, -INFINITY, -0.0, 0.0, 1e308, -1e308};
    for (int64_t count : {1, 2, 7, 8, 9, 15, 16, 17, 63, 64, 65, 511, 513, 4097, 40000}) {
        SampleTrack t;
        memset(&t, 0, sizeof t);
        std::vector<double> raw;
        for (int64_t i = 0; i < count; i++) {
            const uint64_t r = rng() % 10;
            double v = r < 3 ? specials[rng() % 7] : (double)(int64_t)(rng() % 2001) - 1000.0;
            if (rng() % 50 == 0) v = NAN;
            raw.push_back(v);
            ASSERT_TRUE(track_append(&t, i, v));
        }
        ASSERT_TRUE(track_finish(&t));
        for (int32_t q = 0; q < 300; q++) {
            int64_t a = (int64_t)(rng() % (uint64_t)count), b = (int64_t)(rng() % (uint64_t)(count + 1));
            if (a > b) std::swap(a, b);
            double lo = INFINITY, hi = -INFINITY;
            for (int64_t i = a; i < b; i++) {
                if (raw[i] < lo) lo = raw[i];
                if (raw[i] > hi) hi = raw[i];
            }
            double got_lo = 0, got_hi = 0;
            const bool found = track_range_minmax(&t, a, b, &got_lo, &got_hi);
            ASSERT_EQ(found, lo <= hi) << count << " [" << a << ", " << b << ")";
            if (found) {
                // -0 and 0 are one value to a waveform; compare as numbers.
                ASSERT_TRUE(got_lo == lo && got_hi == hi) << count << " [" << a << ", " << b << ") " << got_lo
                                                          << ".." << got_hi << " expected " << lo << ".." << hi;
            }
        }
        track_free(&t);
    }
}

}  // namespace
