// The leaf table: flattening of type trees, the caps, remote leaves and their hand-over from
// other threads, search, watching, and the rebuild with re-watching by name.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "firmware/elf.h"
#include "platform_recorder.h"
#include "vartable/leaf_table.h"

namespace {

// Builds type records the way the reader leaves them (children arrays of pointers).
class Types {
public:
    TypeInfo* make(TypeKind kind, uint32_t size, const char* name = nullptr, int32_t is_signed = 0) {
        TypeInfo& t = records_.emplace_back();
        t = TypeInfo{};
        t.kind = kind;
        t.byte_size = size;
        t.name = name;
        t.is_signed = is_signed;
        t.is_pointer = kind == TYPE_POINTER;
        return &t;
    }
    void children(TypeInfo* parent, std::vector<TypeInfo*> list) {
        auto& stored = lists_.emplace_back(std::move(list));
        parent->children = stored.data();
        parent->child_count = (int32_t)stored.size();
    }
    TypeInfo* member(TypeInfo* type, const char* name, uint64_t offset) {
        TypeInfo* m = make(type->kind, type->byte_size, name, type->is_signed);
        m->member_offset = offset;
        m->element_count = type->element_count;
        m->children = type->children;
        m->child_count = type->child_count;
        return m;
    }
    TypeInfo* bitfield(const char* name, uint64_t offset, uint32_t size, uint8_t bit_offset, uint8_t bits,
                       int32_t is_signed = 0) {
        TypeInfo* m = make(is_signed ? TYPE_INT : TYPE_UINT, size, name, is_signed);
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
    TypeInfo* structure(std::vector<TypeInfo*> members, TypeKind kind = TYPE_STRUCT) {
        TypeInfo* s = make(kind, 0);
        children(s, std::move(members));
        return s;
    }

private:
    std::deque<TypeInfo> records_;
    std::deque<std::vector<TypeInfo*>> lists_;
};

// An image made of globals only, as the rebuild sees it.
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

std::vector<std::string> g_log_lines;
void capture_log(LogLevel, const char16_t* text) {
    char line[2048];
    utf16_to_utf8(text, line, sizeof line);
    g_log_lines.push_back(line);
}

class LeafTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        leaf_table_reset();
        g_log_lines.clear();
        log_set_sink(capture_log);
    }
    void TearDown() override {
        log_set_sink(nullptr);
        leaf_table_reset();
    }
    static std::vector<std::string> names() {
        std::vector<std::string> out;
        for (LeafId i = 0; i < leaf_count(); i++) out.push_back(leaf_at(i)->name);
        return out;
    }
    PlatformRecorder recorder;
    Types t;
};

TEST_F(LeafTableTest, StructureWithBitFieldAndArrayFlattensToAddressedLeaves) {
    TypeInfo* u32 = t.make(TYPE_UINT, 4, "uint32_t");
    TypeInfo* i16 = t.make(TYPE_INT, 2, "int16_t", 1);
    TypeInfo* s = t.structure({t.member(u32, "a", 0), t.bitfield("b", 4, 4, 5, 3), t.member(t.array(i16, 2), "c", 8)});
    leaf_flatten(s, 0x20000000, "s", 0);

    ASSERT_EQ(names(), (std::vector<std::string>{"s.a", "s.b", "s.c[0]", "s.c[1]"}));
    EXPECT_EQ(leaf_at(0)->address, 0x20000000u);
    EXPECT_EQ(leaf_at(0)->size, 4u);
    const VarLeaf* b = leaf_at(1);
    EXPECT_EQ(b->address, 0x20000004u);
    EXPECT_EQ(b->size, 4u);
    EXPECT_EQ(b->kind, TYPE_UINT);
    EXPECT_EQ(b->is_bitfield, 1);
    EXPECT_EQ(b->bit_offset, 5);
    EXPECT_EQ(b->bit_size, 3);
    EXPECT_EQ(leaf_at(2)->address, 0x20000008u);
    EXPECT_EQ(leaf_at(3)->address, 0x2000000Au);
    EXPECT_EQ(leaf_at(3)->kind, TYPE_INT);
    EXPECT_EQ(leaf_at(3)->is_signed, 1);
    for (LeafId i = 0; i < leaf_count(); i++) EXPECT_EQ(leaf_at(i)->id, i);
}

TEST_F(LeafTableTest, BitFieldUnitSizeSignedKindAndAnonymousMembers) {
    // A field whose unit is not 1 to 8 bytes (one no 8-byte unit holds) gets no leaf and one
    // warning; the others keep their unit.
    TypeInfo* wide = t.bitfield("w", 0, 9, 3, 62);
    TypeInfo* none = t.bitfield("z", 0, 16, 0, 0);
    TypeInfo* sgn = t.bitfield(nullptr, 0, 2, 3, 5, 1);  // anonymous, signed
    TypeInfo* odd = t.bitfield("o", 8, 8, 7, 50);        // a packed unit of 8 bytes at an odd offset
    leaf_flatten(t.structure({wide, none, sgn, odd}), 0x100, "v", 0);
    ASSERT_EQ(names(), (std::vector<std::string>{"v.anon", "v.o"}));
    EXPECT_EQ(leaf_at(0)->size, 2u);
    EXPECT_EQ(leaf_at(0)->kind, TYPE_INT);
    EXPECT_EQ(leaf_at(0)->is_signed, 1);
    EXPECT_EQ(leaf_at(1)->size, 8u);
    EXPECT_EQ(leaf_at(1)->address, 0x108u);
    EXPECT_EQ(leaf_at(1)->bit_offset, 7);
    int warnings = 0;
    for (const std::string& line : g_log_lines)
        if (line.find("位域 v.w") != std::string::npos || line.find("位域 v.z") != std::string::npos) warnings++;
    EXPECT_EQ(warnings, 2);
}

// Arrays of arrays are named element by element (m[i][j]); an enumeration in a bit field keeps
// its enumerators.
TEST_F(LeafTableTest, ArraysOfArraysAndEnumerationBitFields) {
    TypeInfo* i16 = t.make(TYPE_INT, 2, "int16_t", 1);
    TypeInfo* row = t.array(i16, 3);
    leaf_flatten(t.array(row, 2), 0x500, "m", 0);
    ASSERT_EQ(names(), (std::vector<std::string>{"m[0][0]", "m[0][1]", "m[0][2]", "m[1][0]", "m[1][1]", "m[1][2]"}));
    EXPECT_EQ(leaf_at(4)->address, 0x500u + 8);
    EXPECT_EQ(leaf_at(4)->size, 2u);

    leaf_table_reset();
    TypeInfo* color = t.make(TYPE_ENUM, 1, "color");
    TypeInfo* red = t.make(TYPE_ENUM, 0, "RED");
    TypeInfo* blue = t.make(TYPE_ENUM, 0, "BLUE");
    blue->enum_value = 2;
    t.children(color, {red, blue});
    TypeInfo* field = t.bitfield("c", 0, 1, 3, 2);
    field->kind = TYPE_ENUM;
    field->children = color->children;
    field->child_count = color->child_count;
    leaf_flatten(t.structure({field}), 0x600, "px", 0);
    ASSERT_EQ(leaf_count(), 1);
    EXPECT_EQ(leaf_at(0)->kind, TYPE_ENUM);
    ASSERT_EQ(leaf_at(0)->enumerator_count, 2);
    EXPECT_STREQ(leaf_at(0)->enumerators[1].name, "BLUE");
}

TEST_F(LeafTableTest, ArraysByteStringsCapAndNestedStructures) {
    TypeInfo* i32 = t.make(TYPE_INT, 4, "int", 1);
    TypeInfo* ch = t.make(TYPE_INT, 1, "char", 1);
    ch->is_char = 1;
    TypeInfo* i8 = t.make(TYPE_INT, 1, "int8_t", 1);  // a number, not a character
    leaf_flatten(t.array(i32, 2000), 0x1000, "big", 0);
    ASSERT_EQ(leaf_count(), 1024);
    EXPECT_STREQ(leaf_at(1023)->name, "big[1023]");
    EXPECT_EQ(leaf_at(1023)->address, 0x1000u + 1023 * 4);

    leaf_table_reset();
    leaf_flatten(t.array(ch, 32), 0x2000, "name", 0);
    leaf_flatten(t.array(ch, 16), 0x3000, "short", 0);
    ASSERT_EQ(leaf_count(), 17);
    leaf_flatten(t.array(i8, 18), 0x3100, "trims", 0);
    ASSERT_EQ(leaf_count(), 35);
    EXPECT_STREQ(leaf_at(34)->name, "trims[17]");
    EXPECT_EQ(leaf_at(34)->kind, TYPE_INT);
    leaf_table_reset();
    leaf_flatten(t.array(ch, 32), 0x2000, "name", 0);
    leaf_flatten(t.array(ch, 16), 0x3000, "short", 0);
    EXPECT_EQ(leaf_at(0)->kind, TYPE_STRING);
    EXPECT_EQ(leaf_at(0)->size, 32u);
    EXPECT_STREQ(leaf_at(16)->name, "short[15]");
    EXPECT_EQ(leaf_at(16)->size, 1u);

    // Structures inside an array inside a structure, and a union.
    leaf_table_reset();
    TypeInfo* f32 = t.make(TYPE_FLOAT, 4, "float");
    TypeInfo* pt = t.structure({t.member(f32, "x", 0), t.member(f32, "y", 4)});
    pt->byte_size = 8;
    TypeInfo* un = t.structure({t.member(i32, "i", 0), t.member(f32, "f", 0)}, TYPE_UNION);
    un->byte_size = 4;
    TypeInfo* outer = t.structure({t.member(t.array(pt, 2), "pts", 0), t.member(un, "u", 16)});
    leaf_flatten(outer, 0x4000, "o", 0);
    EXPECT_EQ(names(), (std::vector<std::string>{"o.pts[0].x", "o.pts[0].y", "o.pts[1].x", "o.pts[1].y", "o.u.i", "o.u.f"}));
    EXPECT_EQ(leaf_at(3)->address, 0x400Cu);
    EXPECT_EQ(leaf_at(4)->address, 0x4010u);
    EXPECT_EQ(leaf_at(5)->address, 0x4010u);
}

TEST_F(LeafTableTest, EnumeratorsShellsAndDepthLimit) {
    TypeInfo* e = t.make(TYPE_ENUM, 1, "mode_t");
    TypeInfo* a = t.make(TYPE_ENUM, 0, "A");
    a->enum_value = 1;
    TypeInfo* b = t.make(TYPE_ENUM, 0, "B");
    b->enum_value = -3;
    t.children(e, {a, nullptr, b});
    leaf_flatten(e, 0x10, "m", 0);
    leaf_flatten(t.array(e, 2), 0x20, "ms", 0);
    ASSERT_EQ(leaf_count(), 3);
    EXPECT_EQ(leaf_at(0)->enumerator_count, 2);  // the missing child is passed over
    EXPECT_STREQ(leaf_at(0)->enumerators[1].name, "B");
    EXPECT_EQ(leaf_at(0)->enumerators[1].value, -3);
    EXPECT_EQ(leaf_at(2)->enumerator_count, 2);

    // A structure without members and an array without element type become one "other" leaf.
    leaf_table_reset();
    TypeInfo* empty = t.make(TYPE_STRUCT, 12);
    TypeInfo* bare = t.make(TYPE_ARRAY, 0);
    leaf_flatten(empty, 0x30, "e", 0);
    leaf_flatten(bare, 0x40, "x", 0);
    leaf_flatten(nullptr, 0x50, "none", 0);
    ASSERT_EQ(leaf_count(), 2);
    EXPECT_EQ(leaf_at(0)->kind, TYPE_OTHER);
    EXPECT_EQ(leaf_at(0)->size, 12u);
    EXPECT_EQ(leaf_at(1)->size, 1u);

    // A chain of 70 nested structures: leaves down to depth 64 only.
    leaf_table_reset();
    TypeInfo* inner = t.make(TYPE_INT, 4, "int", 1);
    for (int i = 0; i < 70; i++) inner = t.structure({t.member(inner, "n", 0)});
    leaf_flatten(inner, 0, "deep", 0);
    EXPECT_EQ(leaf_count(), 0);
    inner = t.make(TYPE_INT, 4, "int", 1);
    for (int i = 0; i < 64; i++) inner = t.structure({t.member(inner, "n", 0)});
    leaf_flatten(inner, 0, "deep", 0);
    EXPECT_EQ(leaf_count(), 1);
}

TEST_F(LeafTableTest, TableCapDropsFurtherLeavesAndLongNamesAreCut) {
    TypeInfo* i32 = t.make(TYPE_INT, 4, "int", 1);
    for (int i = 0; i < 5; i++) leaf_flatten(t.array(i32, 1000), 0x1000u * i, ("a" + std::to_string(i)).c_str(), 0);
    EXPECT_EQ(leaf_count(), 4096);
    EXPECT_STREQ(leaf_at(4095)->name, "a4[95]");
    leaf_add_remote("late", 0, 4);
    EXPECT_EQ(leaf_count(), 4096);
    EXPECT_EQ(leaf_at(4096), nullptr);
    EXPECT_EQ(leaf_at(-1), nullptr);

    leaf_table_reset();
    std::string long_name(400, 'n');
    leaf_add(long_name.c_str(), 0, 0, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    EXPECT_EQ(std::string(leaf_at(0)->name).size(), 255u);
    EXPECT_EQ(leaf_at(0)->size, 1u);  // size 0 counts as 1
}

TEST_F(LeafTableTest, SearchAndFind) {
    for (const char* n : {"Motor.kp", "motor.ki", "gear.motorSpeed", "MOTOR", "x"})
        leaf_add(n, 0, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    LeafId ids[8];
    ASSERT_EQ(leaf_search("motor", 8, ids), 4);  // prefix ignoring case, or exact-case substring
    EXPECT_EQ(std::vector<LeafId>(ids, ids + 4), (std::vector<LeafId>{0, 1, 2, 3}));
    EXPECT_EQ(leaf_search("Speed", 8, ids), 1);
    EXPECT_EQ(leaf_search("speed", 8, ids), 0);
    EXPECT_EQ(leaf_search("motor", 2, ids), 2);
    EXPECT_EQ(leaf_search("", 8, ids), 0);
    EXPECT_EQ(leaf_search("x", 0, ids), 0);
    EXPECT_EQ(leaf_find("MOTOR"), 3);
    EXPECT_EQ(leaf_find("motor"), -1);
    EXPECT_EQ(leaf_find(nullptr), -1);
}

TEST_F(LeafTableTest, WatchedCountFollowsChangesOnly) {
    for (int i = 0; i < 3; i++) leaf_add(("v" + std::to_string(i)).c_str(), 0, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    EXPECT_EQ(leaf_set_watched(0, 1), 0);
    EXPECT_EQ(leaf_set_watched(0, 1), 0);
    EXPECT_EQ(leaf_set_watched(2, 5), 0);
    EXPECT_EQ(leaf_watched_count(), 2);
    EXPECT_EQ(leaf_set_watched(1, 0), 0);
    EXPECT_EQ(leaf_set_watched(0, 0), 0);
    EXPECT_EQ(leaf_watched_count(), 1);
    EXPECT_EQ(leaf_set_watched(3, 1), -1);
    leaf_watch_flag_set(0);  // flag only; the recount catches up
    EXPECT_EQ(leaf_watched_count(), 1);
    leaf_watch_recount();
    EXPECT_EQ(leaf_watched_count(), 2);
    EXPECT_EQ(leaf_is_watched(leaf_at(0)), 1);
    EXPECT_EQ(leaf_watch_exchange(0, 0), 1);
    EXPECT_EQ(leaf_watch_exchange(0, 0), 0);
    EXPECT_EQ(leaf_watch_exchange(7, 1), -1);
    EXPECT_EQ(leaf_watched_count(), 2);  // exchanges leave the count to the caller
}

TEST_F(LeafTableTest, RemoteLeafSizesAndKinds) {
    const uint32_t sizes[] = {0, 1, 3, 8, 12};
    for (uint32_t s : sizes) leaf_add_remote(("r" + std::to_string(s)).c_str(), 0x100 + s, s);
    ASSERT_EQ(leaf_count(), 5);
    const uint32_t want_size[] = {4, 1, 3, 8, 8};
    const TypeKind want_kind[] = {TYPE_INT, TYPE_INT, TYPE_UINT, TYPE_INT, TYPE_INT};
    for (int i = 0; i < 5; i++) {
        EXPECT_EQ(leaf_at(i)->size, want_size[i]) << i;
        EXPECT_EQ(leaf_at(i)->kind, want_kind[i]) << i;
        EXPECT_EQ(leaf_at(i)->is_signed, 1);
        EXPECT_EQ(leaf_at(i)->remote, 1);
    }
}

TEST_F(LeafTableTest, RebuildRewatchesByNameAndListsMissingNames) {
    TypeInfo* i32 = t.make(TYPE_INT, 4, "int", 1);
    FakeImage first;
    first.add("keep", 0x100, i32);
    for (int i = 0; i < 70; i++) first.add(("gone" + std::to_string(i)).c_str(), 0x200 + 4 * i, i32);
    first.add("sym_only", 0x400, nullptr, 0);
    ASSERT_EQ(leaf_table_rebuild_from(&first.image), 72);
    EXPECT_EQ(leaf_at(71)->kind, TYPE_OTHER);
    EXPECT_EQ(leaf_at(71)->size, 4u);  // symbol without size: 4 bytes
    for (LeafId i = 0; i < leaf_count(); i++) leaf_set_watched(i, i != 71);
    EXPECT_EQ(leaf_watched_count(), 71);

    FakeImage second;
    second.add("new", 0x80, i32);
    second.add("keep", 0x180, i32);
    g_log_lines.clear();
    ASSERT_EQ(leaf_table_rebuild_from(&second.image), 2);
    EXPECT_EQ(leaf_is_watched(leaf_at(0)), 0);
    EXPECT_EQ(leaf_is_watched(leaf_at(1)), 1);
    EXPECT_EQ(leaf_at(1)->address, 0x180u);
    EXPECT_EQ(leaf_watched_count(), 1);
    ASSERT_EQ(missing_count(), 64);  // 70 missing, the list keeps the first 64
    EXPECT_STREQ(missing_name(0), "gone0");
    EXPECT_STREQ(missing_name(63), "gone63");
    EXPECT_EQ(missing_name(64), nullptr);
    ASSERT_EQ(g_log_lines.size(), 1u);
    EXPECT_EQ(g_log_lines[0], "ELF 变量表重建: 2 个叶子（原观测 71 个，缺失 64 个）");

    // Without an image the table is emptied and nothing is logged.
    g_log_lines.clear();
    EXPECT_EQ(leaf_table_rebuild_from(nullptr), 0);
    EXPECT_EQ(leaf_count(), 0);
    EXPECT_EQ(leaf_watched_count(), 0);
    EXPECT_TRUE(g_log_lines.empty());
}

// An id kept across a reload names whatever leaf now has that index: holders that outlive a
// rebuild (an open write dialog) must find their leaf again by name, or learn it is gone.
TEST_F(LeafTableTest, IdsKeptAcrossARebuildAreFoundAgainByName) {
    TypeInfo* i32 = t.make(TYPE_INT, 4, "int", 1);
    FakeImage first;
    first.add("speed_kp", 0x100, i32);
    first.add("speed_ki", 0x104, i32);
    first.add("limit", 0x108, i32);
    ASSERT_EQ(leaf_table_rebuild_from(&first.image), 3);
    uint32_t epoch = leaf_table_epoch();
    EXPECT_EQ(leaf_id_after_rebuild(1, "speed_ki", epoch), 1);
    EXPECT_EQ(leaf_id_after_rebuild(7, "speed_ki", epoch), -1);  // outside the table

    FakeImage second;  // recompiled: a new variable first, "limit" removed
    second.add("offset", 0x0FC, i32);
    second.add("speed_kp", 0x100, i32);
    second.add("speed_ki", 0x104, i32);
    ASSERT_EQ(leaf_table_rebuild_from(&second.image), 3);
    EXPECT_STREQ(leaf_at(1)->name, "speed_kp");  // the old id 1 now names another variable
    EXPECT_EQ(leaf_id_after_rebuild(1, "speed_ki", epoch), 2);
    EXPECT_EQ(leaf_id_after_rebuild(2, "limit", epoch), -1);
    EXPECT_EQ(leaf_id_after_rebuild(2, "", epoch), -1);
    EXPECT_EQ(leaf_id_after_rebuild(2, "limit", leaf_table_epoch()), 2);  // same table: the id stands
}

TEST_F(LeafTableTest, RebuildReappliesTheRemoteVariableList) {
    TypeInfo* i32 = t.make(TYPE_INT, 4, "int", 1);
    FakeImage image;
    image.add("local", 0x100, i32);
    EXPECT_EQ(remote_var_append("local", 0x900, 4), 0);   // a known name: only its address moves
    EXPECT_EQ(remote_var_append("peer.x", 0x500, 2), 1);  // unknown: a remote leaf
    EXPECT_EQ(remote_var_find("peer.x"), 1);
    leaf_table_rebuild_from(&image.image);
    ASSERT_EQ(names(), (std::vector<std::string>{"local", "peer.x"}));
    EXPECT_EQ(leaf_at(0)->address, 0x900u);
    EXPECT_EQ(leaf_at(0)->remote, 0);
    EXPECT_EQ(leaf_at(1)->remote, 1);
    EXPECT_EQ(leaf_at(1)->size, 2u);

    for (int i = 2; i < REMOTE_VAR_CAPACITY; i++) remote_var_append(("p" + std::to_string(i)).c_str(), i, 4);
    EXPECT_EQ(remote_var_append("one.too.many", 0, 4), -1);
    EXPECT_EQ(remote_var_count(), REMOTE_VAR_CAPACITY);
    EXPECT_EQ(remote_var_update(1, 0x600, 4), 0);
    leaf_table_rebuild_from(&image.image);
    EXPECT_EQ(leaf_count(), 1 + REMOTE_VAR_CAPACITY - 1);
    EXPECT_EQ(leaf_at(leaf_find("peer.x"))->address, 0x600u);
}

TEST_F(LeafTableTest, RemoteLeavesFromAnotherThreadWaitForTheMainThread) {
    TypeInfo* i32 = t.make(TYPE_INT, 4, "int", 1);
    FakeImage image;
    for (int i = 0; i < 500; i++) image.add(("v" + std::to_string(i)).c_str(), 4 * i, i32);
    leaf_table_rebuild_from(&image.image);

    // The peer's thread adds while the main thread rebuilds, until the peer is half-way.
    std::atomic<int> progress{0};
    std::thread peer([&progress] {
        for (int i = 0; i < 300; i++) {
            leaf_add_remote(("remote" + std::to_string(i)).c_str(), 0x9000 + i, 4);
            if (i == 10) leaf_remote_upsert("v3", 0x7777, 4);
            progress.store(i + 1);
        }
    });
    while (progress.load() < 150) {
        leaf_table_rebuild_from(&image.image);
        leaf_remote_apply_pending();
    }
    peer.join();
    leaf_remote_apply_pending();
    EXPECT_EQ(leaf_remote_pending_count(), 0);
    // Additions that landed before a rebuild are gone with that table (the remote variable list
    // is what survives rebuilds); the ones after the last rebuild are all there, in order.
    LeafId last = leaf_find("remote299");
    ASSERT_GE(last, 500);
    const VarLeaf* l = leaf_at(last);
    EXPECT_EQ(l->address, 0x9000u + 299);
    EXPECT_EQ(l->remote, 1);
    for (LeafId i = 500; i + 1 < leaf_count(); i++) {
        int a = atoi(leaf_at(i)->name + 6), b = atoi(leaf_at(i + 1)->name + 6);
        EXPECT_EQ(b, a + 1) << leaf_at(i)->name;
    }

    // Queued from another thread, applied by the main thread: an upsert moves an existing leaf.
    std::thread([] { leaf_remote_upsert("v3", 0x8888, 4); }).join();
    EXPECT_NE(leaf_at(3)->address, 0x8888u);  // queued, not applied yet
    EXPECT_EQ(leaf_remote_apply_pending(), 1);
    EXPECT_EQ(leaf_at(3)->address, 0x8888u);
}

}  // namespace
