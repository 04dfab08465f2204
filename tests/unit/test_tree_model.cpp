// The variable tree model: items and texts built from an image and the leaf table, the check
// boxes against the watched flags, the lookups by leaf and by name, and the view it mirrors into.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/text.h"
#include "platform_recorder.h"
#include "vartable/leaf_table.h"
#include "vartable/tree_model.h"

namespace {

// Type records shaped as the reader leaves them.
class Types {
public:
    TypeInfo* make(TypeKind kind, uint32_t size, const char* name = nullptr) {
        TypeInfo& t = records_.emplace_back();
        t = TypeInfo{};
        t.kind = kind;
        t.byte_size = size;
        t.name = name;
        return &t;
    }
    TypeInfo* member(TypeInfo* type, const char* name, uint64_t offset) {
        TypeInfo* m = make(type->kind, type->byte_size, name);
        *m = *type;
        m->name = name;
        m->member_offset = offset;
        return m;
    }
    TypeInfo* bitfield(const char* name, uint64_t offset, uint8_t bit_offset, uint8_t bits) {
        TypeInfo* m = make(TYPE_UINT, 1, name);
        m->member_offset = offset;
        m->is_bitfield = 1;
        m->bit_offset = bit_offset;
        m->bit_size = bits;
        return m;
    }
    TypeInfo* array(TypeInfo* element, int32_t count) {
        TypeInfo* a = make(TYPE_ARRAY, element->byte_size * (uint32_t)count);
        a->element_count = count;
        children(a, {element});
        return a;
    }
    TypeInfo* structure(uint32_t size, std::vector<TypeInfo*> members) {
        TypeInfo* s = make(TYPE_STRUCT, size);
        children(s, std::move(members));
        return s;
    }

private:
    void children(TypeInfo* parent, std::vector<TypeInfo*> list) {
        auto& stored = lists_.emplace_back(std::move(list));
        parent->children = stored.data();
        parent->child_count = (int32_t)stored.size();
    }
    std::deque<TypeInfo> records_;
    std::deque<std::vector<TypeInfo*>> lists_;
};

// An image made of globals only.
struct FakeImage {
    ElfImage image{};
    std::deque<std::string> names;
    std::vector<GlobalVar> globals;
    void add(const char* name, uint64_t address, TypeInfo* type, uint64_t size = 0) {
        globals.push_back({names.emplace_back(name).c_str(), address, size, type, type != nullptr});
        image.globals = globals.data();
        image.global_count = (int32_t)globals.size();
    }
};

// A tree view made of vectors: the calls the model makes, in order.
struct FakeView {
    struct Item {
        std::string text;
        int parent;
        int data, state;
        bool expanded = false, selected = false;
    };
    std::vector<Item> items;
    int caret = -1;
    int rebuilds = 0;

    static FakeView* self(void* c) { return static_cast<FakeView*>(c); }
    static int index(void* item) { return (int)(intptr_t)item - 1; }
    TreeView ops() {
        TreeView v{};
        v.context = this;
        v.begin_rebuild = [](void* c) { self(c)->items.clear(); self(c)->caret = -1; self(c)->rebuilds++; };
        v.insert = [](void* c, void* parent, const char16_t* text, int32_t data, int32_t state) -> void* {
            char t[1024];
            utf16_to_utf8(text, t, sizeof t);
            self(c)->items.push_back({t, index(parent), data, state});
            return (void*)(intptr_t)self(c)->items.size();
        };
        v.set_state_image = [](void* c, void* item, int32_t state) { self(c)->items[index(item)].state = state; };
        v.expand = [](void* c, void* item) { self(c)->items[index(item)].expanded = true; };
        v.set_caret = [](void* c, void* item) {
            for (auto& i : self(c)->items) i.selected = false;
            self(c)->caret = index(item);
            self(c)->items[index(item)].selected = true;
        };
        v.set_selected = [](void* c, void* item, int32_t on) { self(c)->items[index(item)].selected = on != 0; };
        v.is_selected = [](void* c, void* item) -> int32_t { return self(c)->items[index(item)].selected; };
        v.caret = [](void* c) -> void* { return self(c)->caret >= 0 ? (void*)(intptr_t)(self(c)->caret + 1) : nullptr; };
        return v;
    }
};

std::vector<std::string> g_log;
void capture(LogLevel, const char16_t* text) {
    char line[2048];
    utf16_to_utf8(text, line, sizeof line);
    g_log.push_back(line);
}

int g_refreshes;
std::vector<std::pair<int, std::vector<LeafId>>> g_added;

class TreeModelTest : public ::testing::Test {
protected:
    void SetUp() override {
        leaf_table_reset();
        tree_reset();
        g_log.clear();
        g_refreshes = 0;
        g_added.clear();
        g_tree_hooks = TreeHooks{};
        g_tree_hooks.refresh_status = [] { g_refreshes++; };
        log_set_sink(capture);
        view_ops = view.ops();
        tree_view_attach(&view_ops);
    }
    void TearDown() override {
        log_set_sink(nullptr);
        g_tree_hooks = TreeHooks{};
        tree_reset();
        leaf_table_reset();
    }
    void build() {
        leaf_table_rebuild_from(&img.image);
        tree_rebuild_from(&img.image);
    }
    // "text<TAB>state" per item, two spaces per depth (the model's own view of itself).
    static std::vector<std::string> dump() {
        std::vector<std::string> out;
        for (int32_t i = 0; i < tree_item_count(); i++) {
            char text[1024];
            utf16_to_utf8(tree_item_text(i), text, sizeof text);
            out.push_back(std::string(2 * tree_item_at(i)->depth, ' ') + text + "\t" +
                          std::to_string(tree_item_at(i)->state_image));
        }
        return out;
    }
    static int32_t item_of_text(const std::string& prefix) {
        for (int32_t i = 0; i < tree_item_count(); i++) {
            char text[1024];
            utf16_to_utf8(tree_item_text(i), text, sizeof text);
            if (std::string(text).rfind(prefix, 0) == 0) return i;
        }
        return -1;
    }
    PlatformRecorder recorder;
    Types t;
    FakeImage img;
    FakeView view;
    TreeView view_ops{};
};

TEST_F(TreeModelTest, StructureBitFieldSymbolOnlyAndStringItems) {
    TypeInfo* u32 = t.make(TYPE_UINT, 4, "uint32_t");
    TypeInfo* u8 = t.make(TYPE_UINT, 1, "uint8_t");
    img.add("s", 0x20000000, t.structure(8, {t.member(u32, "a", 0), t.member(u32, "b", 4)}));
    img.add("f", 0x20000010, t.structure(1, {t.bitfield("on", 0, 0, 1), t.bitfield(nullptr, 0, 1, 3)}));
    TypeInfo* ch = t.make(TYPE_UINT, 1, "char");
    ch->is_char = 1;
    img.add("tag", 0x20000020, t.array(ch, 24));
    img.add("raw", 0x20000040, t.array(u8, 3));
    img.add("count", 0x20000050, u32);
    img.add("sym_only", 0x20000060, nullptr, 12);
    build();

    EXPECT_EQ(dump(), (std::vector<std::string>{
                          "s\t1",
                          "  s {...} (8 B)\t1",
                          "    s.a  @0x20000000\t1",
                          "    s.b  @0x20000004\t1",
                          "f\t1",
                          "  f {...} (1 B)\t1",
                          "    f.on  @0x20000010  [bit 0:1]\t1",
                          "    f.anon  @0x20000010  [bit 1:3]\t1",
                          "tag\t1",
                          "  tag [24]\t1",
                          "    tag (string)\t1",
                          "raw\t1",
                          "  raw [3]\t1",
                          "    raw[0]  @0x20000040\t1",
                          "    raw[1]  @0x20000041\t1",
                          "    raw[2]  @0x20000042\t1",
                          "count  @0x20000050\t1",
                          "sym_only  @0x20000060  [12 B]\t1",
                      }));
    // Item data: leaf id + 1 for leaf and bit-field items, -1 for groups, labels and the untyped global.
    EXPECT_EQ(tree_item_at(item_of_text("s.b"))->data, leaf_find("s.b") + 1);
    EXPECT_EQ(tree_item_at(item_of_text("f.anon"))->data, leaf_find("f.anon") + 1);
    EXPECT_EQ(tree_item_at(item_of_text("s {"))->data, -1);
    EXPECT_EQ(tree_item_at(item_of_text("tag (string)"))->data, -1);
    EXPECT_EQ(tree_item_at(item_of_text("sym_only"))->data, -1);
    EXPECT_GE(leaf_find("sym_only"), 0);  // the leaf exists although its item cannot watch it
    // The view got the same items under the same parents.
    ASSERT_EQ((int)view.items.size(), tree_item_count());
    for (int32_t i = 0; i < tree_item_count(); i++) {
        const TreeItem* item = tree_item_at(i);
        EXPECT_EQ(view.items[i].parent, item->parent) << i;
        EXPECT_EQ(view.items[i].data, item->data) << i;
    }
    EXPECT_EQ(tree_is_rebuilding(), 0);
}

TEST_F(TreeModelTest, LargeArrayShowsFiveHundredTwelveElementsAndLeavesGoOn) {
    img.add("big", 0x20000000, t.array(t.make(TYPE_INT, 4, "int"), 600));
    build();
    ASSERT_EQ(tree_item_count(), 2 + 512);
    EXPECT_EQ(dump()[1], "  big [600]\t1");
    EXPECT_EQ(dump().back(), "    big[511]  @0x200007FC\t1");
    EXPECT_GE(leaf_find("big[599]"), 0);
    EXPECT_EQ(tree_find_leaf_item(leaf_find("big[512]")), -1);
}

TEST_F(TreeModelTest, TickingLeavesWatchesThemAndGroupsChangeNothing) {
    TypeInfo* u32 = t.make(TYPE_UINT, 4, "uint32_t");
    img.add("s", 0x20000000, t.structure(8, {t.member(u32, "a", 0), t.member(u32, "b", 4)}));
    build();
    int32_t node = item_of_text("s {");
    tree_item_state_reported(node, TREE_STATE_CHECKED);
    EXPECT_EQ(leaf_watched_count(), 0);
    EXPECT_EQ(g_refreshes, 0);

    int32_t b = item_of_text("s.b");
    tree_item_state_reported(b, TREE_STATE_CHECKED);
    EXPECT_TRUE(leaf_is_watched(leaf_at(leaf_find("s.b"))));
    EXPECT_EQ(leaf_watched_count(), 1);
    EXPECT_EQ(g_refreshes, 1);
    // The same state reported again (click and change notification both) is one change.
    tree_item_state_reported(b, TREE_STATE_CHECKED);
    EXPECT_EQ(g_refreshes, 1);
    tree_item_state_reported(b, 0);  // a box that vanished is no untick
    EXPECT_EQ(leaf_watched_count(), 1);
    tree_item_state_reported(b, TREE_STATE_UNCHECKED);
    EXPECT_EQ(leaf_watched_count(), 0);

    // Notifications in the middle of a rebuild and with equal state bits are ignored.
    tree_on_check_changed(tree_item_at(b)->data, 0x1000 | 0x2, 0x1000 | 0x1);
    EXPECT_EQ(leaf_watched_count(), 0);
    tree_on_check_changed(-1, 0x1000, 0x2000);
    EXPECT_EQ(leaf_watched_count(), 0);

    // A window that adds a leaf ticks its item and thereby watches it; dropping it unwatches.
    tree_set_leaf_check(leaf_find("s.a"), 1);
    EXPECT_EQ(view.items[item_of_text("s.a")].state, TREE_STATE_CHECKED);
    EXPECT_TRUE(leaf_is_watched(leaf_at(leaf_find("s.a"))));
    tree_set_leaf_check(leaf_find("s.a"), 0);
    EXPECT_FALSE(leaf_is_watched(leaf_at(leaf_find("s.a"))));
    tree_set_leaf_check(-1, 1);  // nothing for a negative id
    tree_set_leaf_check(999, 1);
    EXPECT_EQ(leaf_watched_count(), 0);
}

TEST_F(TreeModelTest, SelectLeafFindsBitFieldItemsAndNeedsATextBoundary) {
    TypeInfo* u32 = t.make(TYPE_UINT, 4, "uint32_t");
    img.add("flags", 0x20000000, t.structure(1, {t.bitfield("run", 0, 0, 1), t.bitfield("runway", 0, 1, 2)}));
    img.add("x", 0x20000010, u32);
    build();
    EXPECT_EQ(select_leaf(u"flags.runway"), 0);
    EXPECT_EQ(view.caret, item_of_text("flags.runway"));
    EXPECT_EQ(select_leaf(u"flags.run"), 0);
    EXPECT_EQ(view.caret, item_of_text("flags.run  "));
    EXPECT_EQ(select_leaf(u"x"), 0);
    EXPECT_EQ(tree_caret_data(), leaf_find("x") + 1);
    EXPECT_EQ(select_leaf(u"nope"), -1);
    EXPECT_EQ(select_leaf(u""), -1);
    EXPECT_EQ(select_leaf(nullptr), -1);
    bool logged_find = false, logged_target = false;
    for (const auto& line : g_log) {
        logged_find |= line == "select_leaf: name='nope' find=-1";
        logged_target |= line == "select_leaf: target='x  @0x20000010'";
    }
    EXPECT_TRUE(logged_find);
    EXPECT_TRUE(logged_target);
}

TEST_F(TreeModelTest, WatchAllTicksEveryLeafOfThreeThousand) {
    TypeInfo* u16 = t.make(TYPE_UINT, 2, "uint16_t");
    for (int i = 0; i < 6; i++) {
        std::string name = "block" + std::to_string(i);
        img.add(name.c_str(), 0x20000000 + i * 0x1000, t.array(u16, 500));
    }
    build();
    ASSERT_EQ(leaf_count(), 3000);
    int rebuilds = view.rebuilds;
    tree_watch_all_from(&img.image, 1);
    EXPECT_EQ(leaf_watched_count(), 3000);
    EXPECT_EQ(view.rebuilds, rebuilds + 1);
    int leaf_items = 0;
    for (const auto& item : view.items) {
        if (item.data > 0) {
            leaf_items++;
            EXPECT_EQ(item.state, TREE_STATE_CHECKED);
        }
    }
    EXPECT_EQ(leaf_items, 3000);
    EXPECT_GE(g_refreshes, 1);
    tree_watch_all_from(&img.image, 0);
    EXPECT_EQ(leaf_watched_count(), 0);
    for (const auto& item : view.items) EXPECT_NE(item.state, TREE_STATE_CHECKED);
}

TEST_F(TreeModelTest, LocateCollectRowsAndAddSelected) {
    TypeInfo* u32 = t.make(TYPE_UINT, 4, "uint32_t");
    img.add("s", 0x20000000, t.structure(8, {t.member(u32, "a", 0), t.member(u32, "b", 4)}));
    img.add("x", 0x20000010, u32);
    img.add("y", 0x20000014, u32);
    build();
    LeafId ids[3] = {leaf_find("s.b"), 777, leaf_find("y")};
    EXPECT_EQ(tree_locate_leaves(ids, 3), 2);
    EXPECT_EQ(view.caret, item_of_text("s.b"));
    EXPECT_TRUE(view.items[item_of_text("s {")].expanded);
    EXPECT_TRUE(view.items[0].expanded);  // the group "s"
    EXPECT_TRUE(view.items[item_of_text("y")].selected);
    EXPECT_FALSE(view.items[item_of_text("x")].selected);

    // Collecting from a member: its siblings and their descendants, not the parent's siblings.
    int32_t items[8];
    EXPECT_EQ(tree_collect_leaf_items(item_of_text("s.a"), items, 8), 2);
    EXPECT_EQ(tree_collect_leaf_items(0, items, 8), 4);
    EXPECT_EQ(tree_collect_leaf_items(0, items, 3), 3);

    // Rows 1..2 of the leaf rows (s.b, x) and nothing else.
    EXPECT_EQ(tree_select_rows(1, 2), 2);
    LeafId selected[8];
    ASSERT_EQ(tree_selected_leaf_ids(selected, 8), 2);
    EXPECT_EQ(selected[0], leaf_find("s.b"));
    EXPECT_EQ(selected[1], leaf_find("x"));

    g_tree_hooks.add_leaves_to_kind = [](int32_t kind, const LeafId* list, int32_t n) {
        g_added.push_back({kind, std::vector<LeafId>(list, list + n)});
    };
    EXPECT_EQ(tree_add_selected_to_window(TREE_WINDOW_NUMERIC), 2);
    ASSERT_EQ(g_added.size(), 1u);
    EXPECT_EQ(g_added[0].first, TREE_WINDOW_NUMERIC);
    EXPECT_EQ(g_log.back(), "树右键批量添加变量: 2 个");
    EXPECT_EQ(tree_select_rows(0, 0), 0);
    EXPECT_EQ(tree_add_selected_to_window(TREE_WINDOW_WAVEFORM), 0);
    EXPECT_EQ(g_added.size(), 1u);
}

TEST_F(TreeModelTest, ContextMenuEnabledStates) {
    EXPECT_TRUE(tree_menu_item_enabled(TREE_CMD_WATCH_ALL, -1, 0));
    EXPECT_TRUE(tree_menu_item_enabled(TREE_CMD_CLEAR_ALL, -1, 0));
    EXPECT_TRUE(tree_menu_item_enabled(TREE_CMD_RELOAD_ELF, -1, 0));
    EXPECT_FALSE(tree_menu_item_enabled(TREE_CMD_WRITE_VALUE, -1, 1));  // caret on a group
    EXPECT_FALSE(tree_menu_item_enabled(TREE_CMD_WRITE_VALUE, 5, 0));
    EXPECT_TRUE(tree_menu_item_enabled(TREE_CMD_WRITE_VALUE, 5, 1));
    EXPECT_FALSE(tree_menu_item_enabled(TREE_CMD_ADD_WAVEFORM, 5, 0));
    EXPECT_TRUE(tree_menu_item_enabled(TREE_CMD_ADD_NUMERIC, -1, 3));
}

TEST_F(TreeModelTest, RemoteLeavesFollowTheGlobalsAndSelfContainingTypesStop) {
    TypeInfo* loop = t.structure(4, {});
    TypeInfo* self_member = t.member(loop, "next", 0);
    const TypeInfo* members[1] = {self_member};
    loop->children = const_cast<TypeInfo**>(members);
    loop->child_count = 1;
    self_member->children = loop->children;
    self_member->child_count = 1;
    img.add("loop", 0x20000000, loop);
    leaf_table_rebuild_from(&img.image);
    leaf_add_remote("peer.value", 0x20001000, 4);
    tree_rebuild_from(&img.image);
    EXPECT_LT(tree_item_count(), 200);  // nesting stops instead of recursing without end
    std::vector<std::string> items = dump();
    EXPECT_EQ(items.back(), "peer.value  @0x20001000\t1");
    EXPECT_EQ(tree_item_at(tree_item_count() - 1)->data, leaf_find("peer.value") + 1);
}

}  // namespace
