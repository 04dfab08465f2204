// workspace_fixture.h - a fake window system and fake hosted kinds for the workspace tests.
//
// Windows are small integers cast to handles. The fake records where each window was placed,
// whether it is shown, which messages it received and which leaves it holds.
#pragma once
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "core/app.h"
#include "core/log.h"
#include "core/text.h"
#include "vartable/leaf_table.h"
#include "vartable/tree_model.h"
#include "workspace/window_menu.h"
#include "workspace/workspace.h"

// One fake window.
struct FakeWindow {
    std::string kind;     // "chart", "num" or "module"
    std::string title;
    bool alive = true;
    bool shown = true;
    bool full_screen = false;
    WsRect rect{};
    std::vector<int32_t> leaves;
    std::vector<uint32_t> posts;
    std::vector<int32_t> samples;   // leaf ids of delivered samples
    int rebinds = 0;
};

// The fake window system (one per test).
struct FakeDesk {
    std::map<intptr_t, FakeWindow> windows;
    intptr_t next = 100;
    WsRect area{0, 22, 606, 400};
    bool has_tab_control = true;
    std::vector<std::u16string> strip;
    int32_t strip_selected = -2;
    std::vector<std::string> shots;
    int layouts = 0;
    std::vector<int32_t> unwatched;

    static FakeDesk*& self() {
        static FakeDesk* d = nullptr;
        return d;
    }
    static FakeWindow* at(void* w) {
        auto it = self()->windows.find((intptr_t)w);
        return it == self()->windows.end() ? nullptr : &it->second;
    }
    void* make(const std::string& kind, const char* title) {
        intptr_t h = next++;
        windows[h].kind = kind;
        windows[h].title = title ? title : "";
        return (void*)h;
    }
    FakeWindow& w(void* h) { return windows.at((intptr_t)h); }
};

inline WorkspaceOps fake_ops() {
    WorkspaceOps o{};
    o.is_window = [](void* w) -> int32_t { FakeWindow* f = FakeDesk::at(w); return f && f->alive; };
    o.destroy_window = [](void* w) { if (FakeWindow* f = FakeDesk::at(w)) f->alive = false; };
    o.place_window = [](void* w, int32_t x, int32_t y, int32_t cx, int32_t cy) {
        if (FakeWindow* f = FakeDesk::at(w)) { f->rect = {x, y, x + cx, y + cy}; f->shown = true; }
    };
    o.show_window = [](void* w, int32_t on) { if (FakeWindow* f = FakeDesk::at(w)) f->shown = on != 0; };
    o.post_message = [](void* w, uint32_t msg) { if (FakeWindow* f = FakeDesk::at(w)) f->posts.push_back(msg); };
    o.tab_control = []() -> void* { return FakeDesk::self()->has_tab_control ? (void*)1 : nullptr; };
    o.display_area = [](WsRect* out) -> int32_t {
        if (!FakeDesk::self()->has_tab_control) return 0;
        *out = FakeDesk::self()->area;
        return 1;
    };
    o.strip_fill = [](const TabRecord* tabs, int32_t count, int32_t selected) {
        FakeDesk::self()->strip.clear();
        for (int32_t i = 0; i < count; i++) FakeDesk::self()->strip.push_back(tabs[i].title);
        FakeDesk::self()->strip_selected = selected;
    };
    o.strip_set_title = [](int32_t tab, const char16_t* title) { FakeDesk::self()->strip.at(tab) = title; };
    o.full_screen = [](void* w, int32_t enter) { if (FakeWindow* f = FakeDesk::at(w)) f->full_screen = enter != 0; };
    o.main_layout = [] { FakeDesk::self()->layouts++; };
    o.leaf_unwatched = [](int32_t id) { FakeDesk::self()->unwatched.push_back(id); };
    return o;
}

// Fake built-in kinds backed by FakeDesk.
inline void* fake_create(const char* kind, const char* title) { return FakeDesk::self()->make(kind, title); }
inline int32_t fake_is(void* w, const char* kind) {
    FakeWindow* f = FakeDesk::at(w);
    return f && f->alive && f->kind == kind;
}
inline int32_t fake_name(void* w, int32_t index, char* buffer, int32_t size) {
    FakeWindow* f = FakeDesk::at(w);
    if (!f || index < 0 || index >= (int32_t)f->leaves.size()) return 0;
    const VarLeaf* leaf = leaf_at(f->leaves[index]);
    if (!leaf) return 0;
    text_copy(buffer, (size_t)size, leaf->name);
    return 1;
}

inline const HostedKind* fake_chart_kind() {
    static const HostedKind k = {
        "chart",
        [](void*, int32_t, int32_t, int32_t, int32_t, const char* t) { return fake_create("chart", t); },
        [](void* w) { return fake_is(w, "chart"); },
        [](void* w, int32_t id) -> int32_t { FakeDesk::at(w)->leaves.push_back(id); return 0; },
        [](void* w, const Sample* s) { FakeDesk::at(w)->samples.push_back(s->leaf_id); },
        [](void* w) { FakeDesk::at(w)->rebinds++; },
        fake_name,
        1,
    };
    return &k;
}

inline const HostedKind* fake_num_kind() {
    static const HostedKind k = {
        "num",
        [](void*, int32_t, int32_t, int32_t, int32_t, const char* t) { return fake_create("num", t); },
        [](void* w) { return fake_is(w, "num"); },
        [](void* w, int32_t id) -> int32_t { FakeDesk::at(w)->leaves.push_back(id); return 0; },
        [](void* w, const Sample* s) { FakeDesk::at(w)->samples.push_back(s->leaf_id); },
        [](void* w) { FakeDesk::at(w)->rebinds++; },
        fake_name,
        0,
    };
    return &k;
}

inline std::vector<std::string>& workspace_log() {
    static std::vector<std::string> lines;
    return lines;
}

class WorkspaceTest : public ::testing::Test {
protected:
    FakeDesk desk;

    void SetUp() override {
        FakeDesk::self() = &desk;
        workspace_reset();
        workspace_clear_kinds();
        workspace_register_kind(fake_chart_kind());
        workspace_register_kind(fake_num_kind());
        WorkspaceOps ops = fake_ops();
        workspace_set_ops(&ops);
        workspace_set_shot([](void* w, const char* path) {
            FakeDesk::self()->shots.push_back(std::string(path) + "@" + std::to_string((intptr_t)w));
        });
        command_line_clear(&g_app_options);
        window_menu_clear();
        leaf_table_reset();
        workspace_log().clear();
        log_set_sink([](LogLevel, const char16_t* text) {
            char line[2048];
            utf16_to_utf8(text, line, sizeof line);
            workspace_log().push_back(line);
        });
    }
    void TearDown() override {
        log_set_sink(nullptr);
        workspace_set_ops(nullptr);
        workspace_set_shot(nullptr);
        workspace_clear_kinds();
        workspace_reset();
        command_line_clear(&g_app_options);
        leaf_table_reset();
        FakeDesk::self() = nullptr;
    }
    bool logged(const std::string& line) const {
        for (const auto& l : workspace_log())
            if (l == line) return true;
        return false;
    }
    TabRecord& tab(int32_t i) { return g_workspace.tabs[i]; }
};
