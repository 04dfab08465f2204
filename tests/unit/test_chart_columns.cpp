// Min/max columns against plain reference computations: the ring's block summaries through
// wraps, clears, NaN and infinities; ring columns over irregular times; the batch row mapping
// against value_to_y; the software surface's tiled column runs against painting them one by one.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "chart/chart_columns.h"
#include "chart/draw_surface_soft.h"
#include "chart_fixture.h"

using namespace chart_test;

namespace {

class ChartColumns : public ChartTest {
protected:
    // Brute-force min/max of ring ages [k0, k1) (NaN left out); false when none.
    bool brute(const ChartSeries* s, int32_t k0, int32_t k1, double* lo, double* hi) {
        double mn = INFINITY, mx = -INFINITY;
        for (int32_t k = k0; k < k1; k++) {
            const double v = s->values[chart_ring_pos(s, k)];
            if (v < mn) mn = v;
            if (v > mx) mx = v;
        }
        *lo = mn;
        *hi = mx;
        return mn <= mx;
    }
    void check_random_ranges(const ChartSeries* s, std::mt19937_64* rng, int queries) {
        for (int q = 0; q < queries; q++) {
            int32_t a = (int32_t)((*rng)() % (uint64_t)(s->count + 1)), b = (int32_t)((*rng)() % (uint64_t)(s->count + 1));
            if (a > b) std::swap(a, b);
            if (q % 3 == 0) b = std::min(s->count, a + (int32_t)((*rng)() % 70));
            double want_lo, want_hi, lo = 0, hi = 0;
            const bool want = brute(s, a, b, &want_lo, &want_hi);
            ASSERT_EQ(chart_ring_minmax(s, a, b, &lo, &hi), want) << a << ".." << b << " head " << s->head;
            if (want) {
                ASSERT_EQ(lo, want_lo) << a << ".." << b << " head " << s->head;
                ASSERT_EQ(hi, want_hi) << a << ".." << b << " head " << s->head;
            }
        }
    }
};

// An unusual value now and then: NaN, an infinity or a spike.
double value_with_specials(std::mt19937_64* rng) {
    const uint64_t r = (*rng)();
    if (r % 211 == 0) return NAN;
    if (r % 997 == 0) return r % 2 ? INFINITY : -INFINITY;
    if (r % 503 == 0) return 1e6;
    return (double)(int64_t)(r % 20001) - 10000;
}

}  // namespace

TEST_F(ChartColumns, RingBlocksMatchBruteForceThroughWrapsClearsAndSpecialValues) {
    chart_add_var(handle, 0);
    const ChartSeries* s = &cw->series[0];
    std::mt19937_64 rng(41);
    int64_t t = 1000;
    // Partly filled, wrapped once, wrapped at an unaligned head, cleared mid-block and refilled.
    const int fills[] = {5000, CHART_RING + 12345, 777, 3 * CHART_RING + 5};
    for (int round = 0; round < 4; round++) {
        for (int i = 0; i < fills[round]; i++) feed(0, t++, value_with_specials(&rng));
        check_random_ranges(s, &rng, 400);
        if (round == 1) {
            chart_clear(handle);
            for (int i = 0; i < 13; i++) feed(0, t++, value_with_specials(&rng));
            check_random_ranges(s, &rng, 50);
        }
    }
    // A ring of NaN only has no range; one lone finite value is found wherever it is.
    chart_clear(handle);
    for (int i = 0; i < 5000; i++) feed(0, t++, i == 4321 ? 7.5 : NAN);
    double lo, hi;
    ASSERT_TRUE(chart_ring_minmax(s, 0, s->count, &lo, &hi));
    EXPECT_EQ(lo, 7.5);
    EXPECT_EQ(hi, 7.5);
    EXPECT_FALSE(chart_ring_minmax(s, 0, 4321, &lo, &hi));
}

TEST_F(ChartColumns, RingColumnsOverIrregularTimesMatchBruteForce) {
    chart_add_var(handle, 0);
    const ChartSeries* s = &cw->series[0];
    std::mt19937_64 rng(8);
    // Bursts of equal times, steady runs and long silences, wrapped round the ring.
    int64_t t = 5000;
    for (int i = 0; i < CHART_RING + 30000; i++) {
        const uint64_t r = rng() % 100;
        t += r < 20 ? 0 : (r < 95 ? 7 : 5000 + (int64_t)(rng() % 50000));
        feed(0, t, value_with_specials(&rng));
    }
    ASSERT_TRUE(chart_ring_ordered(cw, s));
    const int64_t first = s->times[chart_ring_pos(s, 0)], last = s->times[chart_ring_pos(s, s->count - 1)];
    for (int view = 0; view < 30; view++) {
        const int64_t span = last - first;
        const int64_t x0 = first - span / 20 + (int64_t)(rng() % (uint64_t)span);
        const int64_t x1 = x0 + 1 + (int64_t)(rng() % (uint64_t)(view % 2 ? span / 50 : span));
        const int32_t left = 56, right = 56 + 100 + (int32_t)(rng() % 1500);
        ColumnGrid grid;
        chart_column_grid(&grid, x0, x1, left, right);
        static ColumnEnvelope env;
        cw->show_all = 1;
        chart_columns_from_ring(&env, grid, cw, s);
        const size_t columns = (size_t)grid.columns;
        std::vector<double> lo(columns, INFINITY), hi(columns, -INFINITY);
        for (int32_t k = 0; k < s->count; k++) {
            const int32_t pos = chart_ring_pos(s, k);
            const int64_t time = s->times[pos];
            if (time < x0 || time > x1) continue;
            const size_t c = (size_t)std::min(time_to_x(time, x0, x1, left, right) - left, grid.columns - 1);
            const double v = s->values[pos];
            if (v < lo[c]) lo[c] = v;
            if (v > hi[c]) hi[c] = v;
        }
        for (size_t c = 0; c < columns; c++) {
            ASSERT_EQ(env.lo[c] <= env.hi[c], lo[c] <= hi[c]) << "view " << view << " column " << c;
            if (lo[c] <= hi[c]) {
                ASSERT_EQ(env.lo[c], lo[c]) << "view " << view << " column " << c;
                ASSERT_EQ(env.hi[c], hi[c]) << "view " << view << " column " << c;
            }
        }
    }
}

TEST(ChartRows, BatchMappingGivesValueToYRowsForEveryKindOfValue) {
    std::mt19937_64 rng(5);
    std::vector<double> values = {NAN, INFINITY, -INFINITY, 0.0, -0.0, 1e308, -1e308, 4.9e-324, 1e-300};
    for (int i = 0; i < 4000; i++) {
        const double scale = std::pow(10.0, (double)(rng() % 40) - 20);
        values.push_back(((double)(int64_t)(rng() % 2000001) - 1000000) * scale);
    }
    struct Range {
        double y0, y1;
        int32_t top, bottom;
    };
    const Range ranges[] = {{-10, 10, 26, 426}, {0, 1e-13, 26, 426},   {5, 5, 0, 100},      {-1e300, 1e300, 26, 700},
                            {3, -3, 26, 426},   {-1e-6, 1e-6, 10, 11}, {-7, 7, 300, 300}, {100, 200, 50, 40}};
    for (const Range& r : ranges) {
        for (const double base : {-1.0, 0.0, 0.3}) {
            std::vector<double> shifted;
            for (double v : values) shifted.push_back(v * (1 + base) + r.y0 * base);
            std::vector<int32_t> rows(shifted.size());
            values_to_rows(shifted.data(), (int32_t)shifted.size(), r.y0, r.y1, r.top, r.bottom, rows.data());
            for (size_t i = 0; i < shifted.size(); i++)
                ASSERT_EQ(rows[i], value_to_y(shifted[i], r.y0, r.y1, r.top, r.bottom))
                    << shifted[i] << " in " << r.y0 << ".." << r.y1 << " rows " << r.top << ".." << r.bottom;
        }
    }
}

TEST(SoftSurfaceRuns, TiledColumnRunsLeaveThePixelsOfPaintingEachRunInOrder) {
    // The surface's own column runs against the plain way (a one-pixel rectangle per run), with
    // runs that overlap, leave the surface, start left of it and run past its last column.
    class PlainRuns final : public DrawSurface {
    public:
        SoftSurface* soft;
        explicit PlainRuns(SoftSurface* s) : soft(s) {}
        void set_pen(uint32_t, int32_t, DrawPenStyle) override {}
        void set_fill(uint32_t) override {}
        void set_text_color(uint32_t) override {}
        void move_to(int32_t, int32_t) override {}
        void line_to(int32_t, int32_t) override {}
        void fill_rect(const DrawRect& r, uint32_t rgb) override { soft->fill_rect(r, rgb); }
        void frame_rect(const DrawRect&, uint32_t) override {}
        void outlined_rect(const DrawRect&) override {}
        void dot(int32_t, int32_t) override {}
        void text(const char*, const DrawRect&, uint32_t) override {}
        void measure_text(const char*, int32_t* w, int32_t* h) override { *w = *h = 0; }
    };
    std::mt19937_64 rng(77);
    for (int trial = 0; trial < 40; trial++) {
        const int32_t w = 1 + (int32_t)(rng() % 300), h = 1 + (int32_t)(rng() % 700);
        const int32_t columns = 1 + (int32_t)(rng() % 330), x0 = (int32_t)(rng() % 60) - 30;
        std::vector<int32_t> first((size_t)columns + 1);
        std::vector<DrawRun> runs;
        for (int32_t c = 0; c < columns; c++) {
            first[(size_t)c] = (int32_t)runs.size();
            const int32_t n = (int32_t)(rng() % 5);
            for (int32_t k = 0; k < n; k++) {
                const int32_t top = (int32_t)(rng() % (uint64_t)(h + 40)) - 20;
                runs.push_back(DrawRun{top, top + (int32_t)(rng() % 600) - 5, (uint32_t)(rng() & 0xFFFFFFFFu)});
            }
        }
        first[(size_t)columns] = (int32_t)runs.size();
        std::vector<uint32_t> tiled((size_t)w * (size_t)h), plain;
        for (uint32_t& p : tiled) p = (uint32_t)(rng() & 0xFFFFFF);
        plain = tiled;
        SoftSurface a(tiled.data(), w, h), b(plain.data(), w, h);
        PlainRuns reference(&b);
        a.column_runs(x0, columns, first.data(), runs.data());
        reference.column_runs(x0, columns, first.data(), runs.data());
        ASSERT_TRUE(tiled == plain) << "trial " << trial << ": " << w << "x" << h << " columns " << columns << " at " << x0;
    }
}
