// Whole waveform frames on the software surface against fingerprints of frames known to be right:
// dense rings and dense replay tracks in show-all, zoomed, stacked, follow mode, odd window sizes,
// wrapped and cleared rings, NaN and infinite values, sparse tracks bridged across empty columns,
// a ring out of order. The drawing has several routes to the same pixels (one pass over every
// series, per-series columns, polylines, the walk over every sample); any change to a single pixel
// of any frame fails here. The data is made with integer arithmetic only, so every platform draws
// the same frames.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "chart/draw_surface_soft.h"
#include "chart_fixture.h"
#include "workspace/theme.h"

using namespace chart_test;

namespace {

const int64_t kT0 = 1700000000000000LL;

// A repeatable pseudo-random sequence (64-bit LCG, upper bits).
struct Lcg {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return (uint32_t)(state >> 33);
    }
};

// Sample k of test signal i: a triangle wave of its own period and height plus noise.
double wave(int i, int k, Lcg* rng) {
    const int period = 700 + 331 * i;
    const int phase = k % period;
    const int tri = phase < period / 2 ? phase : period - phase;
    return (double)(tri * (i + 1)) / 16.0 + (double)(rng->next() % 97) / 8.0 - 6.0 * i;
}

// FNV-1a over the pixels.
uint64_t fingerprint(const std::vector<uint32_t>& px) {
    uint64_t h = 1469598103934665603ULL;
    for (uint32_t p : px) {
        h ^= p;
        h *= 1099511628211ULL;
    }
    return h;
}

class ChartFrames : public ChartTest {
protected:
    std::vector<SampleTrack> tracks = std::vector<SampleTrack>(CHART_MAX_SERIES);

    void SetUp() override {
        ChartTest::SetUp();
        theme_store_flag(0);
    }
    void TearDown() override {
        chart_drop_all_track_refs();
        for (SampleTrack& t : tracks) track_free(&t);
        ChartTest::TearDown();
    }
    void add_series(int n) {
        for (int i = 0; i < n; i++) chart_add_var(handle, i);
    }
    // n series of `samples` each, one every 100 us, fed round robin as acquisition does.
    void fill_rings(int n, int samples) {
        Lcg rng = {14};
        for (int k = 0; k < samples; k++)
            for (int i = 0; i < n; i++) feed(i, kT0 + 100LL * k, wave(i, k, &rng));
    }
    // The same signals as replay tracks borrowed by the first n series.
    void fill_tracks(int n, int samples) {
        Lcg rng = {14};
        std::vector<std::vector<double>> values((size_t)n);
        for (int k = 0; k < samples; k++)
            for (int i = 0; i < n; i++) values[(size_t)i].push_back(wave(i, k, &rng));
        for (int i = 0; i < n; i++) {
            std::vector<int64_t> times;
            for (int k = 0; k < samples; k++) times.push_back(kT0 + 100LL * k);
            make_track(&tracks[(size_t)i], times, values[(size_t)i]);
            chart_set_track(handle, i, &tracks[(size_t)i]);
        }
    }
    uint64_t frame(int w, int h, const char* name) {
        std::vector<uint32_t> px((size_t)w * (size_t)h, 0x5A5A5Au);
        SoftSurface soft(px.data(), w, h);
        chart_paint(cw, &soft, w, h);
        const uint64_t print = fingerprint(px);
        // Kept for a look when a fingerprint changes.
        if (const char* dir = getenv("KX_FRAME_DIR")) {
            char path[512];
            snprintf(path, sizeof path, "%s/%s.bmp", dir, name);
            soft.save_bmp(path);
            printf("%s 0x%016llxULL\n", name, (unsigned long long)print);
        }
        return print;
    }
    void zoom(int64_t x0, int64_t x1) {
        cw->show_all = cw->auto_x = 0;
        cw->view_x0 = x0;
        cw->view_x1 = x1;
    }
};

}  // namespace

TEST_F(ChartFrames, DenseRingsAtEveryViewAndSize) {
    add_series(CHART_MAX_SERIES);
    fill_rings(CHART_MAX_SERIES, CHART_RING);
    // A lone spike and a run of NaN in the middle of two series.
    feed(5, kT0 + 100LL * CHART_RING, 4000);
    for (int k = 1; k < 300; k++) feed(9, kT0 + 100LL * (CHART_RING + k), NAN);
    cw->show_all = 1;
    EXPECT_EQ(frame(1280, 720, "rings_all"), 0x0645ed788c0b1b24ULL);
    EXPECT_EQ(frame(333, 211, "rings_all_small"), 0x9c08e51d5dd48b55ULL);
    EXPECT_EQ(frame(1917, 1003, "rings_all_large"), 0xa57833aaabaa3a0bULL);
    zoom(kT0 + 100LL * 9000, kT0 + 100LL * 21000);
    EXPECT_EQ(frame(1280, 720, "rings_zoom"), 0x4a8f00f8f5fb370bULL);
    cw->auto_y = 0;
    cw->view_y0 = -20;
    cw->view_y1 = 35;
    EXPECT_EQ(frame(1280, 720, "rings_zoom_fixed_y"), 0xbf9c920932dcc57fULL);
    cw->auto_y = 1;
    cw->stacked = 1;
    EXPECT_EQ(frame(1280, 720, "rings_zoom_stacked"), 0xf7d811eb35d5e5ccULL);
    cw->show_all = 1;
    EXPECT_EQ(frame(1280, 720, "rings_all_stacked"), 0xd941409a69ed74a3ULL);
    cw->stacked = 0;
    cw->show_all = 0;
    cw->auto_x = 1;
    EXPECT_EQ(frame(1280, 720, "rings_follow"), 0x274cb7efcbc3ad24ULL);
}

TEST_F(ChartFrames, DenseTracksAtEveryViewAndSize) {
    add_series(CHART_MAX_SERIES);
    fill_tracks(CHART_MAX_SERIES, CHART_RING);
    EXPECT_EQ(frame(1280, 720, "tracks_all"), 0xd18d784f87dc4fd6ULL);
    EXPECT_EQ(frame(333, 211, "tracks_all_small"), 0xd2c7cb2de3d0f5bfULL);
    zoom(kT0 + 100LL * 9000, kT0 + 100LL * 21000);
    EXPECT_EQ(frame(1280, 720, "tracks_zoom"), 0x4a8f00f8f5fb370bULL);
    zoom(kT0 + 100LL * 9000, kT0 + 100LL * 9090);
    EXPECT_EQ(frame(1280, 720, "tracks_dots"), 0xfd8f59e4ec95a530ULL);
    cw->stacked = 1;
    cw->show_all = 1;
    EXPECT_EQ(frame(1280, 720, "tracks_all_stacked"), 0x591713e92771f933ULL);
}

TEST_F(ChartFrames, WrappedClearedAndUnorderedRings) {
    add_series(4);
    // Series 0 wraps its ring; series 1 is cleared by a pause-free clear of the whole window
    // halfway, so its ring restarts at position 0 while series 0 keeps going.
    Lcg rng = {3};
    for (int k = 0; k < 90000; k++) feed(0, kT0 + 100LL * k, wave(0, k, &rng));
    chart_clear(handle);
    for (int k = 0; k < 50000; k++) {
        feed(0, kT0 + 100LL * (90000 + k), wave(2, k, &rng));
        feed(1, kT0 + 100LL * (90000 + k), k % 4999 == 0 ? INFINITY : wave(1, k, &rng));
        feed(2, kT0 + 100LL * (90000 + k), k % 3 ? NAN : wave(3, k, &rng));
    }
    // Series 3 holds a sample older than its predecessor: drawn by the walk over every sample.
    for (int k = 0; k < 30000; k++) feed(3, kT0 + 100LL * (90000 + k) + (k == 15000 ? -5000 : 0), wave(4, k, &rng));
    cw->show_all = 1;
    EXPECT_EQ(frame(1280, 720, "wrapped_all"), 0x1d11cc9b83abeb32ULL);
    zoom(kT0 + 100LL * 100000, kT0 + 100LL * 117000);
    EXPECT_EQ(frame(1280, 720, "wrapped_zoom"), 0x69102f9c3d580ff6ULL);
    EXPECT_EQ(frame(701, 377, "wrapped_zoom_small"), 0xfd416f2d1668b80dULL);
}

TEST_F(ChartFrames, SparseTracksBridgedAndRingsBeyondThem) {
    add_series(5);
    // Three tracks with bursts and long silences (columns without samples are bridged), a ring
    // continuing after the first track, and a plain dense ring.
    Lcg rng = {9};
    for (int i = 0; i < 3; i++) {
        std::vector<int64_t> times;
        std::vector<double> values;
        int64_t t = kT0;
        for (int k = 0; k < 20000; k++) {
            t += (k % 500 < 400) ? 20 : 3000 + 1000 * i;
            times.push_back(t);
            values.push_back(k == 7777 ? -900.0 : wave(i, k, &rng));
        }
        make_track(&tracks[(size_t)i], times, values);
        chart_set_track(handle, i, &tracks[(size_t)i]);
    }
    const int64_t track_end = tracks[0].t1;
    for (int k = 0; k < 40000; k++) {
        feed(0, track_end + 50 + 30LL * k, wave(5, k, &rng));
        feed(3, kT0 + 37LL * k, wave(6, k, &rng));
        if (k % 40 == 0) feed(4, kT0 + 37LL * k, wave(7, k, &rng));
    }
    cw->show_all = 1;
    EXPECT_EQ(frame(1280, 720, "sparse_all"), 0xb252bae44a859c5cULL);
    zoom(kT0 + 200000, kT0 + 900000);
    EXPECT_EQ(frame(1280, 720, "sparse_zoom"), 0xdcc0a71c144ae80cULL);
    cw->stacked = 1;
    EXPECT_EQ(frame(977, 611, "sparse_zoom_stacked"), 0xc92b3791acdd9b5bULL);
}
