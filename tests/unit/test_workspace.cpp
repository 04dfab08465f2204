// The tab table: creating tabs and windows, the limits, removal, maximise / minimise / full
// screen, column drags, renaming, --rename-tab= and --shot=, leaves and samples for the hosted
// windows, module window types; and the main window's status texts and button states.
#include "workspace_fixture.h"

#include <cstring>

#include "core/platform.h"
#include "workspace/main_status.h"

namespace {

void* tab_window(int32_t t, int32_t k) { return g_workspace.tabs[t].windows[k]; }

}  // namespace

TEST_F(WorkspaceTest, NewTabsTakeCounterTitlesAndBecomeCurrent) {
    void* a = new_tab_window(WINDOW_KIND_WAVEFORM);
    void* b = new_tab_window(WINDOW_KIND_NUMERIC);
    void* c = new_tab_window(WINDOW_KIND_WAVEFORM);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(g_workspace.tab_count, 3);
    EXPECT_EQ(g_workspace.current_tab, 2);
    EXPECT_EQ(desk.w(a).title, "波形窗口 1");
    EXPECT_EQ(desk.w(b).title, "数值窗口 1");
    EXPECT_EQ(desk.w(c).title, "波形窗口 2");
    ASSERT_EQ(desk.strip.size(), 3u);
    EXPECT_EQ(desk.strip[1], u"数值窗口 1");
    EXPECT_EQ(desk.strip_selected, 2);
    // Only the current tab's window is shown, over the whole display area.
    EXPECT_FALSE(desk.w(a).shown);
    EXPECT_FALSE(desk.w(b).shown);
    EXPECT_TRUE(desk.w(c).shown);
    EXPECT_EQ(desk.w(c).rect.left, 0);
    EXPECT_EQ(desk.w(c).rect.right, 606);
    EXPECT_EQ(tab(0).kind, TAB_KIND_BUILTIN);
    EXPECT_EQ(tab(0).first_window, a);

    workspace_tab_selected(0);
    EXPECT_TRUE(desk.w(a).shown);
    EXPECT_FALSE(desk.w(c).shown);
    EXPECT_TRUE(logged("Tab 切换 -> 0"));
}

TEST_F(WorkspaceTest, UnregisteredKindsCreateNothing) {
    workspace_clear_kinds();
    EXPECT_EQ(new_tab_window(WINDOW_KIND_WAVEFORM), nullptr);
    EXPECT_EQ(create_hosted_window(-1, "num", "x"), nullptr);
    EXPECT_EQ(create_hosted_window(-1, "nosuch", "x"), nullptr);
    EXPECT_EQ(g_workspace.tab_count, 0);
    EXPECT_EQ(g_workspace.current_tab, -1);
    EXPECT_TRUE(desk.windows.empty());
    EXPECT_TRUE(logged("窗口类型未注册: chart（波形窗口 1）"));
    EXPECT_TRUE(logged("窗口类型未注册: num（x）"));
}

TEST_F(WorkspaceTest, SixtyFifthTabAndNinthWindowAreDestroyed) {
    for (int i = 0; i < 64; i++) ASSERT_NE(new_tab_window(WINDOW_KIND_WAVEFORM), nullptr);
    void* refused = new_tab_window(WINDOW_KIND_NUMERIC);
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(g_workspace.tab_count, 64);
    EXPECT_FALSE(desk.windows.rbegin()->second.alive);  // created, then destroyed

    select_tab(3);
    for (int i = 0; i < 7; i++) ASSERT_NE(add_window_to_current_tab(WINDOW_KIND_NUMERIC), nullptr);
    EXPECT_EQ(tab(3).window_count, 8);
    EXPECT_EQ(add_window_to_current_tab(WINDOW_KIND_NUMERIC), nullptr);
    EXPECT_EQ(tab(3).window_count, 8);
    EXPECT_FALSE(desk.windows.rbegin()->second.alive);
}

TEST_F(WorkspaceTest, AttachingAWindowResetsTheColumnsAndLogs) {
    new_tab_window(WINDOW_KIND_WAVEFORM);
    void* second = add_window_to_current_tab(WINDOW_KIND_NUMERIC);
    ASSERT_NE(second, nullptr);
    tab(0).ratios[0] = 0.7;
    tab(0).ratios[1] = 0.3;
    add_window_to_current_tab(WINDOW_KIND_WAVEFORM);
    for (int k = 0; k < 3; k++) EXPECT_DOUBLE_EQ(tab(0).ratios[k], 1.0 / 3);
    EXPECT_EQ(desk.w(second).title, "数值窗口 1");  // the counter of added windows
    EXPECT_TRUE(logged("窗口已附加到当前标签: 波形窗口 1 (tab0 共3个)"));
    EXPECT_EQ(tab(0).kind, TAB_KIND_BUILTIN);
    EXPECT_EQ(desk.w(tab_window(0, 2)).rect.left, 408);
    EXPECT_EQ(g_workspace.divider_count, 2);
    // Without a tab, "add to this tab" makes a new tab with the new-tab counter.
    g_workspace.current_tab = -1;
    void* fresh = add_window_to_current_tab(WINDOW_KIND_NUMERIC);
    EXPECT_EQ(desk.w(fresh).title, "数值窗口 1");
    EXPECT_EQ(g_workspace.tab_count, 2);
}

TEST_F(WorkspaceTest, RemovingWindowsClosesGapsAndTabs) {
    void* a = new_tab_window(WINDOW_KIND_WAVEFORM);
    void* b = add_window_to_current_tab(WINDOW_KIND_NUMERIC);
    void* c = add_window_to_current_tab(WINDOW_KIND_WAVEFORM);
    void* d = new_tab_window(WINDOW_KIND_NUMERIC);
    tab(0).minimised[2] = 1;
    tab(0).maximised = 2;
    g_workspace.focused_window = a;

    workspace_remove_window(a);
    EXPECT_FALSE(desk.w(a).alive);
    EXPECT_EQ(g_workspace.focused_window, nullptr);
    EXPECT_EQ(tab(0).window_count, 2);
    EXPECT_EQ(tab(0).first_window, b);
    EXPECT_EQ(std::u16string(tab(0).title), u"数值窗口 1");
    EXPECT_EQ(tab(0).windows[1], c);
    EXPECT_EQ(tab(0).minimised[1], 1);
    EXPECT_EQ(tab(0).minimised[2], 0);
    EXPECT_EQ(tab(0).maximised, 1);  // still the same window
    EXPECT_DOUBLE_EQ(tab(0).ratios[0], 0.5);

    // The only window of the last tab, which is current: the previous tab becomes current.
    EXPECT_EQ(g_workspace.current_tab, 1);
    workspace_remove_window(d);
    EXPECT_EQ(g_workspace.tab_count, 1);
    EXPECT_EQ(g_workspace.current_tab, 0);
    EXPECT_EQ(desk.strip.size(), 1u);

    // A tab being renamed keeps being the one renamed when an earlier tab goes, and a removed
    // renamed tab leaves nothing to rename.
    void* e = new_tab_window(WINDOW_KIND_WAVEFORM);
    void* f = new_tab_window(WINDOW_KIND_NUMERIC);
    g_workspace.rename_tab = 2;
    workspace_remove_window(b);
    workspace_remove_window(c);
    EXPECT_EQ(g_workspace.rename_tab, 1);
    EXPECT_EQ(tab(g_workspace.rename_tab).first_window, f);
    workspace_remove_window(f);
    EXPECT_EQ(g_workspace.rename_tab, -1);
    workspace_remove_window(e);
    b = new_tab_window(WINDOW_KIND_NUMERIC);
    g_workspace.rename_tab = -1;

    // A handle no tab holds is ignored, not destroyed.
    void* stranger = desk.make("chart", "x");
    workspace_remove_window(stranger);
    EXPECT_TRUE(desk.w(stranger).alive);

    workspace_tab_command(2501);  // closes the current tab's first window
    workspace_tab_command(2501);
    EXPECT_EQ(g_workspace.tab_count, 0);
    EXPECT_EQ(g_workspace.current_tab, -1);
    EXPECT_TRUE(desk.strip.empty());
    EXPECT_EQ(desk.strip_selected, -1);
    EXPECT_EQ(workspace_tab_command(2505), 1);  // no tab: nothing happens
}

TEST_F(WorkspaceTest, MaximiseMinimiseAndRestoreFromTheBar) {
    void* a = new_tab_window(WINDOW_KIND_WAVEFORM);
    void* b = add_window_to_current_tab(WINDOW_KIND_WAVEFORM);
    workspace_toggle_maximise(b);
    EXPECT_EQ(tab(0).maximised, 1);
    EXPECT_TRUE(logged("窗口最大化: tab0 1/2"));
    EXPECT_FALSE(desk.w(a).shown);
    EXPECT_EQ(desk.w(b).rect.left, 0);
    EXPECT_EQ(desk.w(b).rect.right, 606);

    workspace_toggle_minimise(b);  // minimising the maximised window returns to columns
    EXPECT_EQ(tab(0).maximised, -1);
    EXPECT_TRUE(logged("窗口最小化: tab0 1/2"));
    EXPECT_FALSE(desk.w(b).shown);
    EXPECT_TRUE(desk.w(a).shown);
    EXPECT_EQ(desk.w(a).rect.right, 606);
    EXPECT_EQ(desk.w(a).rect.bottom, 374);
    ASSERT_EQ(g_workspace.min_button_count, 1);
    int32_t button = min_button_at(10, 390);
    EXPECT_EQ(button, 0);
    EXPECT_EQ(min_button_at(200, 390), -1);
    workspace_restore_minimised(button);
    EXPECT_TRUE(logged("窗口还原: tab0 1/2"));
    EXPECT_TRUE(desk.w(b).shown);
    EXPECT_EQ(desk.w(b).rect.left, 306);
    EXPECT_EQ(g_workspace.min_button_count, 0);

    // The tab commands act on the focused window of the current tab, else its first window.
    workspace_tab_command(2505);
    EXPECT_EQ(tab(0).maximised, 0);
    set_focused_window(b);
    workspace_tab_command(2507);
    EXPECT_EQ(tab(0).minimised[1], 1);
    workspace_tab_command(2507);
    EXPECT_EQ(tab(0).minimised[1], 0);
}

TEST_F(WorkspaceTest, FullScreenOnlyForHostedWindowsOneAtATime) {
    void* a = new_tab_window(WINDOW_KIND_WAVEFORM);
    void* b = add_window_to_current_tab(WINDOW_KIND_WAVEFORM);
    void* stranger = desk.make("chart", "x");
    workspace_toggle_full_screen(stranger);
    EXPECT_EQ(g_workspace.fullscreen_window, nullptr);
    EXPECT_FALSE(desk.w(stranger).full_screen);

    workspace_toggle_full_screen(a);
    EXPECT_EQ(g_workspace.fullscreen_window, a);
    EXPECT_TRUE(desk.w(a).full_screen);
    EXPECT_TRUE(logged("窗口全屏"));
    WsRect before = desk.w(a).rect;
    tile_current_tab();  // tiling leaves the full-screen window alone
    EXPECT_EQ(desk.w(a).rect.right, before.right);
    EXPECT_EQ(desk.w(b).rect.left, 0);
    EXPECT_EQ(desk.w(b).rect.right, 606);

    workspace_toggle_full_screen(b);  // a goes back before b takes the screen
    EXPECT_FALSE(desk.w(a).full_screen);
    EXPECT_TRUE(desk.w(b).full_screen);
    workspace_toggle_full_screen(b);
    EXPECT_EQ(g_workspace.fullscreen_window, nullptr);
    EXPECT_FALSE(desk.w(b).full_screen);
    EXPECT_EQ(desk.layouts, 1);
    EXPECT_TRUE(logged("窗口退出全屏"));
}

TEST_F(WorkspaceTest, DraggingADividerFollowsTheMouseFromTheStart) {
    void* a = new_tab_window(WINDOW_KIND_WAVEFORM);
    add_window_to_current_tab(WINDOW_KIND_NUMERIC);
    int32_t d = divider_at(302, 100);
    ASSERT_EQ(d, 0);
    EXPECT_EQ(divider_at(299, 100), -1);
    workspace_drag_begin(d, 302);
    EXPECT_EQ(workspace_drag_move(362), 1);
    EXPECT_EQ(desk.w(a).rect.right, 360);
    EXPECT_EQ(workspace_drag_move(342), 1);  // from the start, not step by step
    EXPECT_EQ(desk.w(a).rect.right, 340);
    workspace_drag_move(-5000);  // stops at 60 pixels
    EXPECT_EQ(desk.w(a).rect.right, 60);
    workspace_drag_end();
    EXPECT_TRUE(logged("列宽调整: tab0 列0/列1 比例 0.10/0.90"));
    EXPECT_EQ(g_workspace.drag.active, 0);

    desk.area = {0, 22, 120, 400};  // too narrow for two 60-pixel columns
    tile_current_tab();
    workspace_drag_begin(0, 60);
    EXPECT_EQ(workspace_drag_move(70), 0);
}

TEST_F(WorkspaceTest, TitlesRenameRulesAndTheCommandLineHooks) {
    text16_copy(g_app_options.rename_tab, 260, u"电机");
    text16_copy(g_app_options.shot_prefix, 260, u"C:\\shots\\run");
    void* a = new_tab_window(WINDOW_KIND_WAVEFORM);
    void* b = new_tab_window(WINDOW_KIND_NUMERIC);
    EXPECT_EQ(std::u16string(tab(0).title), u"电机");  // only the first tab is renamed
    EXPECT_EQ(std::u16string(tab(1).title), u"数值窗口 1");
    EXPECT_EQ(desk.strip[0], u"电机");
    EXPECT_TRUE(logged("标签已重命名: 电机"));
    ASSERT_EQ(desk.shots.size(), 2u);
    EXPECT_EQ(desk.shots[0], "C:\\shots\\run.1.bmp@" + std::to_string((intptr_t)a));
    EXPECT_EQ(desk.shots[1], "C:\\shots\\run.2.bmp@" + std::to_string((intptr_t)b));
    EXPECT_TRUE(logged("截图: C:\\shots\\run.2.bmp"));

    char16_t out[WORKSPACE_TITLE_CAPACITY];
    tab_rename_text(u" \t  ", out, WORKSPACE_TITLE_CAPACITY);
    EXPECT_EQ(std::u16string(out), u"Default");
    tab_rename_text(u"\t 电流 A  ", out, WORKSPACE_TITLE_CAPACITY);
    EXPECT_EQ(std::u16string(out), u"电流 A");
    std::u16string long_text(200, u'x');
    char16_t wide[400];
    tab_rename_text(long_text.c_str(), wide, 400);
    EXPECT_EQ(std::u16string(wide).size(), 159u);

    set_tab_title(1, std::u16string(300, u'y').c_str());
    EXPECT_EQ(std::u16string(tab(1).title).size(), 127u);
    set_tab_title(1, u"");  // ignored
    set_tab_title(7, u"z"); // ignored
    EXPECT_EQ(std::u16string(tab(1).title).size(), 127u);
}

TEST_F(WorkspaceTest, LeavesGoToTheFirstSuitableFirstWindow) {
    new_tab_window(WINDOW_KIND_NUMERIC);
    void* chart_added = add_window_to_current_tab(WINDOW_KIND_WAVEFORM);  // not a first window
    void* later_chart = new_tab_window(WINDOW_KIND_WAVEFORM);
    select_tab(0);
    const int32_t ids[2] = {4, 7};
    add_leaves_to_kind(WINDOW_KIND_WAVEFORM, ids, 2);
    EXPECT_TRUE(desk.w(chart_added).leaves.empty());
    EXPECT_EQ(desk.w(later_chart).leaves, (std::vector<int32_t>{4, 7}));

    // No numeric first window besides tab 0's: the current one wins; none at all: a new tab.
    add_leaves_to_kind(WINDOW_KIND_NUMERIC, ids, 1);
    EXPECT_EQ(desk.w(tab_window(0, 0)).leaves, (std::vector<int32_t>{4}));
    workspace_remove_window(tab_window(0, 0));
    workspace_remove_window(tab_window(0, 0));
    EXPECT_EQ(g_workspace.tab_count, 1);
    add_leaves_to_kind(WINDOW_KIND_NUMERIC, ids, 2);
    ASSERT_EQ(g_workspace.tab_count, 2);
    EXPECT_EQ(desk.w(tab_window(1, 0)).leaves, (std::vector<int32_t>{4, 7}));
    add_leaves_to_kind(WINDOW_KIND_NUMERIC, ids, 0);
    EXPECT_EQ(g_workspace.tab_count, 2);
}

TEST_F(WorkspaceTest, SamplesNoticesRebindAndReleasingLeaves) {
    leaf_add("g_a", 0x20000000, 4, TypeKind(1), 1, 0, 0, 0, 0, nullptr);
    leaf_add("g_b", 0x20000004, 4, TypeKind(1), 1, 0, 0, 0, 0, nullptr);
    void* chart = new_tab_window(WINDOW_KIND_WAVEFORM);
    void* num = add_window_to_current_tab(WINDOW_KIND_NUMERIC);
    Sample s[2] = {};
    s[0].leaf_id = 0;
    s[1].leaf_id = 1;
    workspace_deliver_samples(s, 2);
    EXPECT_EQ(desk.w(chart).samples, (std::vector<int32_t>{0, 1}));
    EXPECT_EQ(desk.w(num).samples, (std::vector<int32_t>{0, 1}));
    workspace_post_to_waveform_windows(KX_MSG_ACQ_STARTED);
    EXPECT_EQ(desk.w(chart).posts, (std::vector<uint32_t>{KX_MSG_ACQ_STARTED}));
    EXPECT_TRUE(desk.w(num).posts.empty());
    workspace_rebind_windows();
    EXPECT_EQ(desk.w(chart).rebinds, 1);
    EXPECT_EQ(desk.w(num).rebinds, 1);
    void* list[4];
    EXPECT_EQ(workspace_windows_of_kind("num", list, 4), 1);
    EXPECT_EQ(list[0], num);

    EXPECT_EQ(workspace_add_leaf_to_window(chart, 0), 0);
    EXPECT_EQ(workspace_add_leaf_to_window(num, 1), 0);
    EXPECT_EQ(workspace_add_leaf_to_window(desk.make("other", ""), 1), -1);
    leaf_set_watched(0, 1);
    leaf_set_watched(1, 1);
    EXPECT_EQ(leaf_shown_anywhere(0), 1);
    EXPECT_EQ(leaf_shown_anywhere(1), 1);
    release_leaf_if_unused(0);  // still shown: nothing changes
    EXPECT_EQ(leaf_watched_count(), 2);
    desk.w(chart).leaves.clear();
    release_leaf_if_unused(0);
    EXPECT_EQ(leaf_watched_count(), 1);
    EXPECT_EQ(desk.unwatched, (std::vector<int32_t>{0}));
    EXPECT_TRUE(logged("变量已从所有窗口移除，取消观测: id=0"));
    release_leaf_if_unused(-1);
    EXPECT_EQ(desk.unwatched.size(), 1u);
}

TEST_F(WorkspaceTest, ScreenshotTargetPrefersTheFocusedWindowOfTheCurrentTab) {
    EXPECT_EQ(workspace_screenshot_target(), nullptr);
    void* a = new_tab_window(WINDOW_KIND_WAVEFORM);
    void* b = add_window_to_current_tab(WINDOW_KIND_WAVEFORM);
    void* other = new_tab_window(WINDOW_KIND_NUMERIC);
    set_focused_window(b);
    EXPECT_EQ(workspace_screenshot_target(), other);  // the focused window is in another tab
    select_tab(0);
    EXPECT_EQ(workspace_screenshot_target(), b);
    set_focused_window(desk.make("chart", ""));  // not hosted: ignored
    EXPECT_EQ(g_workspace.focused_window, b);
    g_workspace.focused_window = nullptr;
    EXPECT_EQ(workspace_screenshot_target(), a);
}

namespace {

// A module offering two window types, one with a display label.
const WindowTypeEntry kTypes[] = {{"scope", "示波器"}, {"gauge", nullptr}, {"meter", ""}, {nullptr, nullptr}};
int g_module_closing;

}  // namespace

TEST_F(WorkspaceTest, ModuleWindowTypesMakeModuleTabs) {
    static ModuleDescriptor d{};
    d.api_version = 4;
    d.window_types = kTypes;
    d.create_window = [](void*, const char* type, void*, int32_t, int32_t, int32_t, int32_t, const char* title) -> void* {
        return FakeDesk::self()->make(std::string("module:") + type, title);
    };
    d.window_closing = [](void*, void*) { g_module_closing++; };
    d.get_variable = [](void*, void* w, int32_t index, char* name, int32_t capacity) -> int32_t {
        if (index > 0 || FakeDesk::at(w)->leaves.empty()) return 0;
        text_copy(name, (size_t)capacity, "g_m");
        return 1;
    };
    g_module_closing = 0;
    EXPECT_EQ(create_hosted_window(-1, "scope", "示波器"), nullptr);  // not in the menu yet: nothing
    EXPECT_TRUE(workspace_log().empty());
    for (int i = 0; i < 40; i++) window_menu_add(&d, (void*)0x77);
    EXPECT_EQ(window_menu_count(), 64);  // at most 64 items across all modules
    EXPECT_STREQ(window_menu_label(window_menu_item(0)), "示波器");
    EXPECT_STREQ(window_menu_label(window_menu_item(1)), "gauge");
    EXPECT_STREQ(window_menu_label(window_menu_item(2)), "meter");  // an empty label is no label
    EXPECT_EQ(window_menu_find("gauge"), 1);

    void* w = create_hosted_window(-1, "gauge", "gauge");
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(desk.w(w).kind, "module:gauge");
    EXPECT_EQ(tab(0).kind, TAB_KIND_MODULE);
    EXPECT_EQ(tab(0).module, &d);
    EXPECT_EQ(tab(0).module_context, (void*)0x77);
    void* added = create_hosted_window(0, "scope", "示波器");  // module windows attach silently
    EXPECT_EQ(tab(0).window_count, 2);
    EXPECT_FALSE(logged("窗口已附加到当前标签: 示波器 (tab0 共2个)"));

    // Module windows answer the leaf question through the module's enumeration.
    leaf_add("g_m", 0x20000000, 4, TypeKind(1), 1, 0, 0, 0, 0, nullptr);
    EXPECT_EQ(leaf_shown_anywhere(0), 0);
    desk.w(added).leaves.push_back(0);
    EXPECT_EQ(leaf_shown_anywhere(0), 1);
    d.api_version = 2;  // too old for the enumeration
    EXPECT_EQ(leaf_shown_anywhere(0), 0);
    d.api_version = 4;

    // Samples and notices skip module tabs; closing tells the module.
    Sample s{};
    workspace_deliver_samples(&s, 1);
    EXPECT_TRUE(desk.w(w).samples.empty());
    workspace_remove_window(w);
    EXPECT_EQ(g_module_closing, 1);
    EXPECT_EQ(tab(0).first_window, added);
    EXPECT_EQ(std::u16string(tab(0).title), u"示波器");
}

// Windows of every kind in a module's tab: the module's window takes leaves through the module
// (layout restore, WM_APP + 35); a waveform window added to that tab is fed, rebound and asked
// for its own leaves like any other.
TEST_F(WorkspaceTest, ModuleTabWindowsGetLeavesSamplesAndAnswerThroughTheirOwnKind) {
    static ModuleDescriptor d{};
    static std::vector<int32_t> added;
    added.clear();
    d.api_version = 4;
    d.window_types = kTypes;
    d.create_window = [](void*, const char* type, void*, int32_t, int32_t, int32_t, int32_t, const char* title) -> void* {
        return FakeDesk::self()->make(std::string("module:") + type, title);
    };
    d.add_variable = [](void*, void* w, int32_t id) { added.push_back(id); FakeDesk::at(w)->leaves.push_back(id); };
    d.get_variable = [](void*, void* w, int32_t index, char* name, int32_t capacity) -> int32_t {
        const FakeWindow* f = FakeDesk::at(w);
        if (f->kind.rfind("module:", 0) != 0 || index >= (int32_t)f->leaves.size()) return 0;
        text_copy(name, (size_t)capacity, leaf_at(f->leaves[index])->name);
        return 1;
    };
    window_menu_add(&d, (void*)0x77);
    leaf_add("g_m", 0x20000000, 4, TypeKind(1), 1, 0, 0, 0, 0, nullptr);
    leaf_add("g_c", 0x20000004, 4, TypeKind(1), 1, 0, 0, 0, 0, nullptr);

    void* module_window = create_window_for_layout("scope", "示波器");
    ASSERT_NE(module_window, nullptr);
    EXPECT_EQ(workspace_add_leaf_to_window(module_window, 0), 0);
    EXPECT_EQ(added, (std::vector<int32_t>{0}));
    void* chart = create_hosted_window(0, "chart", "波形窗口 1");
    ASSERT_NE(chart, nullptr);
    EXPECT_EQ(workspace_add_leaf_to_window(chart, 1), 0);
    EXPECT_EQ(added.size(), 1u);  // the chart took it itself
    EXPECT_EQ(desk.w(chart).leaves, (std::vector<int32_t>{1}));

    EXPECT_EQ(leaf_shown_anywhere(0), 1);  // through the module
    EXPECT_EQ(leaf_shown_anywhere(1), 1);  // through the chart's own names, not the module's
    Sample s{};
    s.leaf_id = 1;
    workspace_deliver_samples(&s, 1);
    EXPECT_EQ(desk.w(chart).samples, (std::vector<int32_t>{1}));
    EXPECT_TRUE(desk.w(module_window).samples.empty());
    workspace_rebind_windows();
    EXPECT_EQ(desk.w(chart).rebinds, 1);
    workspace_post_to_waveform_windows(KX_MSG_ACQ_STARTED);
    EXPECT_EQ(desk.w(chart).posts, (std::vector<uint32_t>{KX_MSG_ACQ_STARTED}));

    d.add_variable = nullptr;  // a module without the entry ignores the request
    EXPECT_EQ(workspace_add_leaf_to_window(module_window, 1), -1);
}

namespace {

// True when the text is whole UTF-8: no sequence is cut short or stray.
bool whole_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = (unsigned char)s[i];
        size_t n = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : (c & 0xF8) == 0xF0 ? 4 : 0;
        if (n == 0 || i + n > s.size()) return false;
        for (size_t k = 1; k < n; k++)
            if (((unsigned char)s[i + k] & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace

// The label a module's window is created with is at most 127 bytes and ends on a whole character,
// whether the window comes from the menu item (its long display name) or from a layout (a long
// tab title); the item chosen is the one clicked, also when two modules share a type name.
TEST_F(WorkspaceTest, ModuleWindowLabelsAreCutOnCharacterBoundaries) {
    static std::string long_label;
    long_label.clear();
    for (int i = 0; i < 60; i++) long_label += "仪";  // 180 bytes
    static const WindowTypeEntry types_a[] = {{"scope", "A 示波器"}, {nullptr, nullptr}};
    static const WindowTypeEntry types_b[] = {{"scope", long_label.c_str()}, {"blank", ""}, {nullptr, nullptr}};
    static ModuleDescriptor a{}, b{};
    for (ModuleDescriptor* d : {&a, &b}) {
        d->api_version = 4;
        d->create_window = [](void* context, const char* type, void*, int32_t, int32_t, int32_t, int32_t,
                              const char* title) -> void* {
            return FakeDesk::self()->make(std::string(context == (void*)0xB ? "b:" : "a:") + type, title);
        };
    }
    a.window_types = types_a;
    b.window_types = types_b;
    window_menu_add(&a, (void*)0xA);
    window_menu_add(&b, (void*)0xB);

    void* from_menu = new_tab_module_window(1);
    ASSERT_NE(from_menu, nullptr);
    EXPECT_EQ(desk.w(from_menu).kind, "b:scope");  // the clicked item's module, not the first "scope"
    EXPECT_EQ(tab(0).module, &b);
    EXPECT_EQ(tab(0).module_context, (void*)0xB);
    EXPECT_TRUE(whole_utf8(desk.w(from_menu).title));
    EXPECT_EQ(desk.w(from_menu).title.size(), 126u);  // 42 whole characters of 3 bytes
    EXPECT_EQ(std::u16string(tab(0).title).size(), 42u);

    void* blank = new_tab_module_window(2);  // an empty display name shows the type name
    ASSERT_NE(blank, nullptr);
    EXPECT_EQ(desk.w(blank).title, "blank");
    EXPECT_EQ(std::u16string(tab(1).title), u"blank");
    EXPECT_EQ(new_tab_module_window(3), nullptr);  // past the item count: ignored
    EXPECT_EQ(g_workspace.tab_count, 2);

    void* restored = create_window_for_layout("scope", long_label.c_str());
    ASSERT_NE(restored, nullptr);
    EXPECT_TRUE(whole_utf8(desk.w(restored).title)) << desk.w(restored).title.size();
    EXPECT_EQ(desk.w(restored).title.size(), 126u);
}

TEST(MainStatus, StatusTextsFollowTheState) {
    StatusInputs in{"已连接 sim", u"C:\\fw\\demo.elf", 1, 3, 120, 4567};
    StatusTexts out;
    status_bar_texts(&in, &out);
    EXPECT_STREQ(out.parts[0], "已连接 sim");
    EXPECT_STREQ(out.parts[1], "C:\\fw\\demo.elf");
    EXPECT_STREQ(out.parts[2], "采集中");
    EXPECT_STREQ(out.parts[3], "观测 3 / 叶子 120 / 样本 4567");
    in.elf_path = u"";
    const char* states[4] = {"已停止", "采集中", "离线回放中", "空闲"};
    for (int s = 0; s < 4; s++) {
        in.acquisition_state = s;
        status_bar_texts(&in, &out);
        EXPECT_STREQ(out.parts[2], states[s]);
    }
    EXPECT_STREQ(out.parts[1], "未加载 ELF");
}

TEST(MainStatus, ToolbarButtonRules) {
    CommandStates st;
    // Hardware channel, a driver, not connected, idle, nothing watched: connect is the only one
    // of connect, disconnect, start and stop that is enabled.
    CommandInputs in{0, 0, 1, 0, 0, 0};
    command_states_compute(&in, &st);
    EXPECT_EQ(command_state_of(&st, 2002), 1);
    EXPECT_EQ(command_state_of(&st, 2003), 0);
    EXPECT_EQ(command_state_of(&st, 2004), 0);
    EXPECT_EQ(command_state_of(&st, 2005), 0);
    EXPECT_EQ(command_state_of(&st, 2015), 0);
    EXPECT_EQ(command_state_of(&st, 2008), 1);
    EXPECT_EQ(command_state_of(&st, 2009), 0);
    EXPECT_EQ(command_state_of(&st, 2001), 1);
    EXPECT_EQ(command_state_of(&st, 1234), -1);
    EXPECT_STREQ(st.record_text, "录制");
    // No driver: connect disabled.
    in.driver_selected = 0;
    command_states_compute(&in, &st);
    EXPECT_EQ(command_state_of(&st, 2002), 0);
    // Connected, watching, acquiring, recording.
    in = {0, 1, 1, 1, 1, 1};
    command_states_compute(&in, &st);
    EXPECT_EQ(command_state_of(&st, 2002), 0);
    EXPECT_EQ(command_state_of(&st, 2003), 1);
    EXPECT_EQ(command_state_of(&st, 2004), 0);
    EXPECT_EQ(command_state_of(&st, 2005), 1);
    EXPECT_EQ(command_state_of(&st, 2015), 1);
    EXPECT_EQ(command_state_of(&st, 2008), 0);
    EXPECT_STREQ(st.record_text, "停止录制");
    in.acquisition_state = 0;
    command_states_compute(&in, &st);
    EXPECT_EQ(command_state_of(&st, 2004), 1);
    // Offline replay: no start, no record, no flash; stop replay on.
    in.acquisition_state = 2;
    command_states_compute(&in, &st);
    EXPECT_EQ(command_state_of(&st, 2004), 0);
    EXPECT_EQ(command_state_of(&st, 2006), 0);
    EXPECT_EQ(command_state_of(&st, 2015), 0);
    EXPECT_EQ(command_state_of(&st, 2009), 1);
    // Network channel: start as soon as something is watched, without any probe.
    in = {1, 0, 0, 0, 1, 0};
    command_states_compute(&in, &st);
    EXPECT_EQ(command_state_of(&st, 2002), 1);
    EXPECT_EQ(command_state_of(&st, 2003), 1);
    EXPECT_EQ(command_state_of(&st, 2004), 1);
    EXPECT_EQ(command_state_of(&st, 2005), 1);
    EXPECT_EQ(command_state_of(&st, 2015), 0);
    in.watched = 0;
    command_states_compute(&in, &st);
    EXPECT_EQ(command_state_of(&st, 2004), 0);
}
