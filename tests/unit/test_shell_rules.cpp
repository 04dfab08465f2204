// test_shell_rules.cpp - the main window's portable rules: toolbar wrapping and the bands of the
// layout, the message panel's splitter and copy text, and which theme colours go where.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/message_panel.h"
#include "platform_recorder.h"
#include "workspace/main_layout.h"
#include "workspace/theme.h"

namespace {

// The toolbar of the main window as the layout measures it: nine text buttons, five lists, the
// refresh button, address and port fields and three more text buttons.
std::vector<ToolbarSlot> toolbar_slots() {
    const int text_widths[] = {43, 24, 24, 48, 48, 24, 24, 48, 48};
    std::vector<ToolbarSlot> slots;
    for (int w : text_widths) slots.push_back({w + 14, w + 18});
    for (int w : {100, 118, 56, 80, 170, 48, 96, 44}) slots.push_back({w, w + 4});
    for (int w : {24, 43, 43}) slots.push_back({w + 14, w + 18});
    return slots;
}

}  // namespace

TEST(ToolbarFlow, WrapsOntoRowsSoEveryControlStaysInsideTheWindow) {
    std::vector<ToolbarSlot> slots = toolbar_slots();
    const int n = (int)slots.size();
    int total = TOOLBAR_LEFT;
    for (const ToolbarSlot& s : slots) total += s.advance;
    std::vector<int32_t> x(n), y(n);

    // Wide enough: one row, laid out exactly as before (x advances, y = 5).
    EXPECT_EQ(toolbar_flow(slots.data(), n, total + 20, x.data(), y.data()), 1);
    int expect_x = TOOLBAR_LEFT;
    for (int i = 0; i < n; i++) {
        EXPECT_EQ(x[i], expect_x);
        EXPECT_EQ(y[i], TOOLBAR_TOP);
        expect_x += slots[i].advance;
    }

    for (int width : {1264, 900, 500, 260}) {
        int rows = toolbar_flow(slots.data(), n, width, x.data(), y.data());
        EXPECT_GE(rows, 2) << width;
        for (int i = 0; i < n; i++) {
            EXPECT_LE(x[i] + slots[i].width, width - TOOLBAR_LEFT) << width << " control " << i;
            if (i > 0 && y[i] == y[i - 1]) {
                EXPECT_GE(x[i], x[i - 1] + slots[i - 1].width) << i;  // no overlap
            }
            if (i > 0 && y[i] != y[i - 1]) {
                EXPECT_EQ(y[i], y[i - 1] + TOOLBAR_ROW_STEP);
                EXPECT_EQ(x[i], TOOLBAR_LEFT);
            }
        }
        EXPECT_EQ(y[n - 1], TOOLBAR_TOP + (rows - 1) * TOOLBAR_ROW_STEP);
    }
    // A control wider than the whole row still gets a row of its own rather than vanishing.
    ToolbarSlot wide[2] = {{50, 54}, {400, 404}};
    EXPECT_EQ(toolbar_flow(wide, 2, 200, x.data(), y.data()), 2);
    EXPECT_EQ(x[1], TOOLBAR_LEFT);
}

TEST(MainLayout, BandsForExpandedCollapsedAndWrappedToolbar) {
    MainLayoutInput in = {1264, 761, 1, 170, 0};
    MainLayoutPlan p;
    main_layout_compute(&in, &p);
    EXPECT_EQ(p.content_top, 34);
    EXPECT_EQ(p.content_height, 761 - 170 - 61);
    EXPECT_EQ(p.message_shown, 1);
    EXPECT_EQ(p.message_splitter.y, 34 + p.content_height);
    EXPECT_EQ(p.message_list.y, p.message_splitter.y + 5);
    EXPECT_EQ(p.message_list.y + p.message_list.h, p.status_bar.y);  // the list ends on the status bar
    EXPECT_EQ(p.status_bar.y, 761 - 22);

    in.message_collapsed = 1;
    main_layout_compute(&in, &p);
    EXPECT_EQ(p.message_shown, 0);
    EXPECT_EQ(p.content_height, 761 - 66);
    EXPECT_EQ(p.message_strip.y, 761 - 32);
    EXPECT_EQ(p.message_strip.h, 10);
    EXPECT_EQ(p.content_top + p.content_height, p.message_strip.y);

    // A second toolbar row moves the content down and takes its height from the content band.
    in.toolbar_rows = 2;
    main_layout_compute(&in, &p);
    EXPECT_EQ(p.content_top, 34 + 29);
    EXPECT_EQ(p.content_top + p.content_height, p.message_strip.y);

    in = {300, 100, 3, 170, 0};  // tiny window: never a negative height
    main_layout_compute(&in, &p);
    EXPECT_EQ(p.content_height, 0);
    EXPECT_EQ(p.message_list.h, 0);
}

TEST(MainLayout, ALowWindowWithWrappedToolbarKeepsTheListOffTheStatusBar) {
    // 420 x 300 with the toolbar wrapped onto four rows: the panel's saved height (180, the most
    // a 300-pixel window allows) no longer fits below the rows, so the list is cut at the status
    // bar; the saved height itself is the caller's and comes back in a taller window.
    for (int32_t rows = 1; rows <= 6; rows++) {
        for (int32_t height : {120, 180, 240, 300, 420}) {
            for (int32_t message : {40, 170, 180}) {
                MainLayoutInput in = {420, height, rows, message, 0};
                MainLayoutPlan p;
                main_layout_compute(&in, &p);
                SCOPED_TRACE(testing::Message() << rows << " rows, height " << height << ", panel " << message);
                EXPECT_GE(p.message_list.h, 0);
                EXPECT_LE(p.message_list.h, message);
                // A list with rows left never lies over the status bar (with none left it is
                // not seen wherever it stands: the toolbar rows alone may fill a low window).
                if (p.message_list.h > 0) {
                    EXPECT_LE(p.message_list.y + p.message_list.h, p.status_bar.y);
                }
                if (p.content_height > 0) {
                    EXPECT_EQ(p.message_list.h, message);  // room enough: nothing is cut
                    EXPECT_EQ(p.message_list.y + p.message_list.h, p.status_bar.y);
                }
            }
        }
    }
    MainLayoutInput in = {420, 300, 4, 180, 0};
    MainLayoutPlan p;
    main_layout_compute(&in, &p);
    EXPECT_EQ(p.content_height, 0);
    EXPECT_EQ(p.message_list.y, 34 + 3 * 29 + 5);
    EXPECT_EQ(p.message_list.h, 300 - 22 - (34 + 3 * 29 + 5));
}

TEST(MessagePanelSplitter, FollowsTheCursorWithinItsBounds) {
    // The splitter's top sits 27 pixels above the panel's bottom edge (5 splitter + 22 status bar):
    // dragging it to where it already is keeps the height.
    MainLayoutInput in = {1000, 700, 1, 170, 0};
    MainLayoutPlan p;
    main_layout_compute(&in, &p);
    EXPECT_EQ(message_panel_drag_height(700, p.message_splitter.y), 170);
    EXPECT_EQ(message_panel_drag_height(700, p.message_splitter.y - 30), 200);
    EXPECT_EQ(message_panel_drag_height(700, 690), MESSAGE_PANEL_MIN_HEIGHT);
    EXPECT_EQ(message_panel_drag_height(700, 0), 700 - 120);
    EXPECT_EQ(message_panel_drag_height(300, 0), 180);  // a low window: the upper bound wins
    EXPECT_EQ(message_panel_drag_height(150, 50), 30);  // below 40, the upper bound still wins
    EXPECT_EQ(message_panel_drag_height(100, 50), 0);   // but never a negative height
}

namespace {

struct Selection {
    std::vector<int> rows;
};

bool row_selected(void* user, int index) {
    for (int r : static_cast<Selection*>(user)->rows)
        if (r == index) return true;
    return false;
}

}  // namespace

TEST(MessagePanelCopy, StopsOnceTheTextReaches4080AndCountsWholeLinesOnly) {
    PlatformRecorder rec;
    message_panel_destroy();
    message_panel_create(nullptr, nullptr);
    std::u16string long_message(500, u'x');
    for (int i = 0; i < 12; i++) message_panel_add(LOG_INFO, long_message.c_str());
    message_panel_add(LOG_WARN, u"newest");

    static char16_t text[MESSAGE_COPY_CAPACITY];
    Selection none;
    EXPECT_EQ(message_panel_copy_text(row_selected, &none, text, MESSAGE_COPY_CAPACITY), 0);
    EXPECT_EQ(text[0], 0);

    Selection one{{0}};
    EXPECT_EQ(message_panel_copy_text(row_selected, &one, text, MESSAGE_COPY_CAPACITY), 1);
    std::u16string line = std::u16string(message_panel_row(0)->time) + u" 警告 newest\r\n";
    EXPECT_EQ(std::u16string(text), line);

    // Ten selected 500-character rows (skipping row 0): seven whole lines, the eighth cut at 4095.
    Selection ten{{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}};
    EXPECT_EQ(message_panel_copy_text(row_selected, &ten, text, MESSAGE_COPY_CAPACITY), 7);
    std::u16string copied(text);
    EXPECT_EQ(copied.size(), 4095u);
    EXPECT_EQ(copied.find(u"newest"), std::u16string::npos);
    size_t lines = 0;
    for (size_t at = copied.find(u"\r\n"); at != std::u16string::npos; at = copied.find(u"\r\n", at + 2)) lines++;
    EXPECT_EQ(lines, 7u);

    message_panel_clear();
    EXPECT_EQ(message_panel_copy_text(row_selected, &ten, text, MESSAGE_COPY_CAPACITY), 0);
    message_panel_destroy();
}

TEST(ThemeRules, ElementsTakeTheirRowsColoursAndOnlyTableEntries) {
    theme_store_flag(1);
    EXPECT_EQ(theme_color(theme_element(THEME_VARIABLE_TREE).background), 0x1E1E20u);
    EXPECT_EQ(theme_color(theme_element(THEME_VARIABLE_TREE).text), 0xD7D7D7u);
    EXPECT_EQ(theme_color(theme_element(THEME_VARIABLE_TREE).line), 0x5A5A5Fu);
    EXPECT_EQ(theme_color(theme_element(THEME_LIST).background), 0x1C1C1Eu);
    EXPECT_EQ(theme_color(theme_element(THEME_LIST).text), 0xCDCDCDu);
    EXPECT_EQ(theme_color(theme_element(THEME_EDIT_FIELD).fill), 0x1E1E20u);
    EXPECT_EQ(theme_color(theme_element(THEME_DIALOG_TEXT).background), 0x2B2B2Bu);
    EXPECT_EQ(theme_color(theme_element(THEME_STATUS_BAR).fill), 0x323234u);
    EXPECT_EQ(theme_color(19), 0x0C0C12u);  // the plot stays dark in both themes
    theme_store_flag(0);
    EXPECT_EQ(theme_color(theme_element(THEME_VARIABLE_TREE).line), 0x000000u);
    EXPECT_EQ(theme_color(theme_element(THEME_STATUS_BAR).text), 0x000000u);
    EXPECT_EQ(theme_color(theme_element((ThemeElement)99).background), 0xF0F0F0u);
    for (int e = 0; e < THEME_ELEMENT_COUNT; e++) {
        ThemeElementColours c = theme_element((ThemeElement)e);
        for (int32_t index : {c.text, c.background, c.fill})
            EXPECT_TRUE(index >= 0 && index < THEME_COLOR_COUNT && index != 3 && index != 10 && index != 14) << e;
    }

    EXPECT_TRUE(theme_restyles_class("Button"));
    EXPECT_TRUE(theme_restyles_class("COMBOBOX"));
    EXPECT_TRUE(theme_restyles_class("SysTabControl32"));
    EXPECT_FALSE(theme_restyles_class("SysTreeView32"));
    EXPECT_FALSE(theme_restyles_class("Edit2"));
    EXPECT_FALSE(theme_restyles_class(nullptr));
    EXPECT_STREQ(theme_visual_style(1), "DarkMode_Explorer");
    EXPECT_STREQ(theme_visual_style(0), "Explorer");
    EXPECT_EQ(theme_header_separator_color(1), 0x505055u);
    EXPECT_EQ(theme_header_text_color(0), 0x000000u);
}

TEST(ThemeRules, ComboMarkAndStatusBarParts) {
    int32_t x0, x1, y;
    const int32_t expect[4][3] = {{86, 94, 10}, {86, 94, 11}, {85, 95, 12}, {85, 95, 13}};
    for (int32_t i = 0; i < 4; i++) {
        theme_combo_mark_line(i, 100, 0, 22, &x0, &x1, &y);
        EXPECT_EQ(x0, expect[i][0]);
        EXPECT_EQ(x1, expect[i][1]);
        EXPECT_EQ(y, expect[i][2]);
    }

    const int32_t edges[4] = {170, 420, 620, -1};
    int32_t left[8], right[8];
    ASSERT_EQ(theme_status_parts(edges, 4, 1000, left, right), 4);
    EXPECT_EQ(left[3], 620);
    EXPECT_EQ(right[3], 1000);
    // A narrow bar: edges beyond it are cut to it, and parts that no longer fit are left out.
    ASSERT_EQ(theme_status_parts(edges, 4, 300, left, right), 2);
    EXPECT_EQ(right[0], 170);
    EXPECT_EQ(right[1], 300);
    const int32_t many[10] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
    EXPECT_EQ(theme_status_parts(many, 10, 1000, left, right), 8);
}

TEST(ThemeRules, SelfDrawnButtonsAndTabsShowEveryStateReadably) {
    theme_store_flag(1);
    auto contrast = [](int32_t a, int32_t b) {
        auto lum = [](uint32_t c) { return ((c >> 16 & 0xFF) * 299 + (c >> 8 & 0xFF) * 587 + (c & 0xFF) * 114) / 1000; };
        int d = (int)lum(theme_color(a)) - (int)lum(theme_color(b));
        return d < 0 ? -d : d;
    };
    const ThemeButtonColours plain = theme_button_colours(0);
    EXPECT_EQ(theme_color(plain.face), 0x3C3C40u);
    EXPECT_NE(plain.face, theme_element(THEME_DIALOG_TEXT).background) << "a button must stand out from its dialog";
    EXPECT_EQ(plain.border, 4);
    EXPECT_FALSE(plain.focus_mark);
    // Every state keeps its text readable on its own face, and each looks different from plain.
    for (uint32_t states = 0; states < 16; states++) {
        const ThemeButtonColours c = theme_button_colours(states);
        EXPECT_GT(contrast(c.text, c.face), 60) << states;
        for (int32_t index : {c.face, c.text, c.border}) EXPECT_TRUE(index >= 0 && index < THEME_COLOR_COUNT) << states;
    }
    EXPECT_EQ(theme_button_colours(THEME_BUTTON_PRESSED).face, 9);
    EXPECT_EQ(theme_button_colours(THEME_BUTTON_DEFAULT).border, 9);
    EXPECT_TRUE(theme_button_colours(THEME_BUTTON_FOCUSED).focus_mark);
    EXPECT_TRUE(theme_button_colours(THEME_BUTTON_PRESSED | THEME_BUTTON_FOCUSED).focus_mark);
    // A disabled button shows nothing else: no accent, no focus mark, dimmed text.
    const ThemeButtonColours off =
        theme_button_colours(THEME_BUTTON_DISABLED | THEME_BUTTON_PRESSED | THEME_BUTTON_FOCUSED | THEME_BUTTON_DEFAULT);
    EXPECT_EQ(off.border, 4);
    EXPECT_FALSE(off.focus_mark);
    EXPECT_NE(off.text, plain.text);
    EXPECT_NE(off.face, 9);

    const ThemeTabColours on = theme_tab_colours(true), other = theme_tab_colours(false);
    EXPECT_EQ(other.face, theme_element(THEME_TAB_STRIP).background) << "an unselected tab lies flat on the strip";
    EXPECT_NE(on.face, other.face);
    EXPECT_EQ(on.accent, 9);
    EXPECT_EQ(other.accent, -1);
    EXPECT_GT(contrast(on.text, on.face), 60);
    EXPECT_GT(contrast(other.text, other.face), 60);
    theme_store_flag(0);
}
