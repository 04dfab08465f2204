// Tiling arithmetic: column widths, dividers, the minimise bar, the maximised case, and the
// column-pair adjustment behind a divider drag.
#include <gtest/gtest.h>

#include "workspace/workspace.h"

namespace {

TabRecord make_tab(int32_t n) {
    TabRecord t{};
    for (int32_t k = 0; k < n; k++) t.windows[k] = (void*)(intptr_t)(10 + k);
    t.first_window = t.windows[0];
    t.window_count = n;
    t.maximised = -1;
    set_equal_ratios(t.ratios, n);
    return t;
}

int32_t width(const TilePlacement& p) { return p.rect.right - p.rect.left; }

const WsRect kArea = {0, 22, 606, 400};

}  // namespace

TEST(AdjustColumnPair, MovesTheBorderAndStopsAtTheMinimumWidth) {
    double r[2] = {0.5, 0.5};
    EXPECT_EQ(adjust_column_pair(r, 0, 1, 600, 60, 60), 1);
    EXPECT_DOUBLE_EQ(r[0], 0.6);
    EXPECT_DOUBLE_EQ(r[1], 0.4);

    // Far to the right: the right column keeps 60 of 600 pixels, the left takes the rest.
    double far[2] = {0.5, 0.5};
    EXPECT_EQ(adjust_column_pair(far, 0, 1, 600, 1000, 60), 1);
    EXPECT_NEAR(far[0], 0.9, 1e-12);
    EXPECT_NEAR(far[1], 0.1, 1e-12);
    double left[3] = {0.2, 0.3, 0.5};
    EXPECT_EQ(adjust_column_pair(left, 1, 2, 600, -1000, 60), 1);
    EXPECT_NEAR(left[1], 0.1, 1e-12);
    EXPECT_NEAR(left[2], 0.7, 1e-12);
    EXPECT_DOUBLE_EQ(left[0], 0.2);
}

TEST(AdjustColumnPair, RefusesWhatCannotChange) {
    double r[2] = {0.5, 0.5};
    EXPECT_EQ(adjust_column_pair(r, 0, 1, 100, 10, 60), 0);   // two 60-pixel columns do not fit
    EXPECT_EQ(adjust_column_pair(r, 0, 1, 600, 0, 60), 0);    // no movement
    EXPECT_EQ(adjust_column_pair(r, 0, 0, 600, 10, 60), 0);
    EXPECT_EQ(adjust_column_pair(r, -1, 1, 600, 10, 60), 0);
    EXPECT_EQ(adjust_column_pair(r, 0, 1, 0, 10, 60), 0);
    EXPECT_EQ(adjust_column_pair(nullptr, 0, 1, 600, 10, 60), 0);
    EXPECT_DOUBLE_EQ(r[0], 0.5);
    EXPECT_DOUBLE_EQ(r[1], 0.5);
}

TEST(TileCompute, EqualColumnsWithDividersAndTheLastColumnAbsorbingRounding) {
    TabRecord t = make_tab(3);
    TilePlan plan;
    WsRect area = {0, 22, 607, 400};
    tile_compute(&t, &area, nullptr, nullptr, &plan);
    EXPECT_EQ(plan.windows[0].rect.left, 0);
    EXPECT_EQ(width(plan.windows[0]), 198);
    EXPECT_EQ(plan.windows[1].rect.left, 204);
    EXPECT_EQ(width(plan.windows[1]), 198);
    EXPECT_EQ(plan.windows[2].rect.left, 408);
    EXPECT_EQ(plan.windows[2].rect.right, 607);  // 199 wide: reaches the edge
    for (int k = 0; k < 3; k++) {
        EXPECT_TRUE(plan.windows[k].shown);
        EXPECT_EQ(plan.windows[k].rect.top, 22);
        EXPECT_EQ(plan.windows[k].rect.bottom, 400);
    }
    ASSERT_EQ(plan.divider_count, 2);
    EXPECT_EQ(plan.dividers[0].rect.left, 198);
    EXPECT_EQ(plan.dividers[0].rect.right, 204);
    EXPECT_EQ(plan.dividers[0].left_index, 0);
    EXPECT_EQ(plan.dividers[0].right_index, 1);
    EXPECT_EQ(plan.dividers[1].left_index, 1);
    EXPECT_EQ(plan.dividers[1].right_index, 2);
    EXPECT_EQ(plan.button_count, 0);
}

TEST(TileCompute, RatiosAreNormalisedAndNarrowColumnsKeepTwentyPixels) {
    TabRecord t = make_tab(2);
    t.ratios[0] = 1.4;
    t.ratios[1] = 0.6;
    TilePlan plan;
    tile_compute(&t, &kArea, nullptr, nullptr, &plan);
    EXPECT_NEAR(t.ratios[0], 0.7, 1e-12);
    EXPECT_EQ(width(plan.windows[0]), 420);
    EXPECT_EQ(plan.windows[1].rect.left, 426);
    EXPECT_EQ(plan.windows[1].rect.right, 606);

    t.ratios[0] = 0.01;
    t.ratios[1] = 0.99;
    tile_compute(&t, &kArea, nullptr, nullptr, &plan);
    EXPECT_EQ(width(plan.windows[0]), 20);
    EXPECT_EQ(plan.windows[1].rect.left, 26);

    t.ratios[0] = t.ratios[1] = 0;  // nothing to normalise: equal columns again
    tile_compute(&t, &kArea, nullptr, nullptr, &plan);
    EXPECT_DOUBLE_EQ(t.ratios[0], 0.5);
    EXPECT_EQ(width(plan.windows[0]), 300);
}

TEST(TileCompute, MinimisedWindowsGoToTheBarAndTheDividerSkipsThem) {
    TabRecord t = make_tab(3);
    t.minimised[1] = 1;
    TilePlan plan;
    tile_compute(&t, &kArea, nullptr, nullptr, &plan);
    ASSERT_EQ(plan.button_count, 1);
    EXPECT_EQ(plan.buttons[0].index, 1);
    EXPECT_EQ(plan.buttons[0].rect.left, 4);
    EXPECT_EQ(plan.buttons[0].rect.right, 174);
    EXPECT_EQ(plan.buttons[0].rect.top, 377);
    EXPECT_EQ(plan.buttons[0].rect.bottom, 397);
    EXPECT_TRUE(plan.windows[1].touch);
    EXPECT_FALSE(plan.windows[1].shown);
    EXPECT_EQ(width(plan.windows[0]), 300);
    EXPECT_EQ(plan.windows[0].rect.bottom, 374);  // room for the bar
    EXPECT_EQ(plan.windows[2].rect.left, 306);
    EXPECT_EQ(plan.windows[2].rect.right, 606);
    ASSERT_EQ(plan.divider_count, 1);
    EXPECT_EQ(plan.dividers[0].left_index, 0);
    EXPECT_EQ(plan.dividers[0].right_index, 2);
    EXPECT_EQ(tile_available_width(&t, &kArea), 600);

    // Every window minimised: all hidden, one button each, 176 pixels apart.
    t.minimised[0] = t.minimised[2] = 1;
    tile_compute(&t, &kArea, nullptr, nullptr, &plan);
    ASSERT_EQ(plan.button_count, 3);
    EXPECT_EQ(plan.buttons[2].rect.left, 4 + 2 * 176);
    for (int k = 0; k < 3; k++) EXPECT_FALSE(plan.windows[k].shown);
    EXPECT_EQ(plan.divider_count, 0);
}

TEST(TileCompute, MaximisedWindowFillsTheTabUnlessItIsMinimised) {
    TabRecord t = make_tab(3);
    t.maximised = 1;
    t.minimised[2] = 1;
    TilePlan plan;
    tile_compute(&t, &kArea, nullptr, nullptr, &plan);
    EXPECT_TRUE(plan.windows[1].shown);
    EXPECT_EQ(plan.windows[1].rect.left, 0);
    EXPECT_EQ(plan.windows[1].rect.right, 606);
    EXPECT_EQ(plan.windows[1].rect.bottom, 374);
    EXPECT_FALSE(plan.windows[0].shown);
    EXPECT_TRUE(plan.windows[0].touch);
    EXPECT_EQ(plan.divider_count, 0);
    EXPECT_EQ(plan.button_count, 1);

    t.minimised[1] = 1;  // a minimised maximised window: back to columns
    tile_compute(&t, &kArea, nullptr, nullptr, &plan);
    EXPECT_TRUE(plan.windows[0].shown);
    EXPECT_EQ(plan.windows[0].rect.right, 606);
}

TEST(TileCompute, FullScreenAndDeadWindowsAreLeftAlone) {
    TabRecord t = make_tab(2);
    TilePlan plan;
    tile_compute(&t, &kArea, t.windows[1], nullptr, &plan);
    EXPECT_FALSE(plan.windows[1].touch);
    EXPECT_TRUE(plan.windows[0].shown);
    EXPECT_EQ(width(plan.windows[0]), 300);
    auto only_first_alive = [](void* w) -> int32_t { return w == (void*)(intptr_t)10; };
    tile_compute(&t, &kArea, nullptr, only_first_alive, &plan);
    EXPECT_TRUE(plan.windows[0].touch);
    EXPECT_FALSE(plan.windows[1].touch);
}
