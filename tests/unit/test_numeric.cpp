// The numeric window's rules against an in-memory table: rows and their cap, live and frozen
// rows, min/max tracking and its formats, removal keeping each row's fields together, rebinding
// after a reload, and the in-place editor (re-entry, accept, cancel, min/max, writes through the
// fake driver and their failures).
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "acquisition/acquisition.h"
#include "core/app.h"
#include "core/log.h"
#include "core/text.h"
#include "fake_driver.h"
#include "numeric/num_window.h"
#include "platform_recorder.h"
#include "recording/recording.h"
#include "recording/replay.h"
#include "test_recording_util.h"
#include "vartable/leaf_codec.h"
#include "vartable/leaf_table.h"

namespace {

std::vector<std::string> g_log;

void capture(LogLevel level, const char16_t* text) {
    char utf8[1024];
    utf16_to_utf8(text, utf8, sizeof utf8);
    g_log.push_back(std::string(log_level_name(level)) + " " + utf8);
}

// The table as the rules see it: cells, tick boxes and one edit box.
struct Grid {
    std::vector<std::array<std::string, NUM_COLUMN_COUNT>> rows;
    std::vector<int32_t> checked;
    bool rect_fails = false;
    int editors = 0;                 // boxes created
    void* open_editor = nullptr;
    std::string editor_text;
    int destroyed = 0;
    int refocused = 0;
    bool focus_loss_on_destroy = true;  // as a real box: its destruction reports a focus loss
};
Grid* g_grid;
int g_box_token;

void grid_insert(NumWindow*, int32_t row) {
    g_grid->rows.insert(g_grid->rows.begin() + row, std::array<std::string, NUM_COLUMN_COUNT>{});
    g_grid->checked.insert(g_grid->checked.begin() + row, 0);
}
void grid_delete(NumWindow*, int32_t row) {
    g_grid->rows.erase(g_grid->rows.begin() + row);
    g_grid->checked.erase(g_grid->checked.begin() + row);
}
void grid_set(NumWindow*, int32_t row, int32_t col, const char* text) { g_grid->rows.at(row).at(col) = text; }
int32_t grid_checked(NumWindow*, int32_t row) { return g_grid->checked.at(row); }
void grid_set_checked(NumWindow*, int32_t row, int32_t on) { g_grid->checked.at(row) = on; }
void* grid_create_editor(NumWindow*, int32_t row, int32_t col) {
    if (g_grid->rect_fails || col < 0 || col >= NUM_COLUMN_COUNT || row >= (int32_t)g_grid->rows.size()) return nullptr;
    g_grid->editors++;
    g_grid->open_editor = &g_box_token;
    return g_grid->open_editor;
}
void grid_start_editor(NumWindow* w) { g_grid->editor_text = g_grid->rows.at(w->edit_row).at(w->edit_col); }
void grid_read_editor(NumWindow*, void*, char* out, size_t capacity) {
    text_copy(out, capacity, g_grid->editor_text.c_str());
}
void grid_destroy_editor(NumWindow* w, void* edit) {
    EXPECT_EQ(edit, g_grid->open_editor);
    g_grid->open_editor = nullptr;
    g_grid->destroyed++;
    if (g_grid->focus_loss_on_destroy) num_end_edit(w, 1);
}
void grid_focus(NumWindow*) { g_grid->refocused++; }

const NumTableOps kGridOps = {grid_insert,       grid_delete,        grid_set,         grid_checked,
                              grid_set_checked,  grid_create_editor, grid_start_editor, grid_read_editor,
                              grid_destroy_editor, grid_focus};

std::vector<LeafId> g_ticked, g_released;
int g_refreshes;

Sample sample_of(LeafId id, double value, const char* text, uint64_t address = 0x20000000) {
    Sample s = {};
    s.leaf_id = id;
    s.address = address;
    s.value = value;
    text_copy(s.text, sizeof s.text, text);
    return s;
}

class Numeric : public ::testing::Test {
protected:
    void SetUp() override {
        g_log.clear();
        log_reset();
        log_set_sink(capture);
        leaf_table_reset();
        samples_reset();
        g_acquisition_hooks = AcquisitionHooks{};
        g_app_settings.probe_speed_khz = 4000;
        g_grid = &grid;
        num_table_ops_install(&kGridOps);
        g_ticked.clear();
        g_released.clear();
        g_refreshes = 0;
        g_num_hooks = NumHooks{};
        g_num_hooks.tree_check = [](LeafId id, int32_t on) { if (on) g_ticked.push_back(id); };
        g_num_hooks.refresh_status = [] { g_refreshes++; };
        g_num_hooks.release_leaf = [](LeafId id) { g_released.push_back(id); };
        leaf_add("speed", 0x20000000, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);    // 0
        leaf_add("gain", 0x20000010, 4, TYPE_FLOAT, 0, 0, 0, 0, 0, nullptr);   // 1
        leaf_add("count", 0x20000020, 2, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);   // 2
        w = new NumWindow;
        num_record_init(w, &grid, nullptr);
    }
    void TearDown() override {
        delete w;
        fake_modules_unload();
        num_table_ops_install(nullptr);
        g_num_hooks = NumHooks{};
        log_reset();
        leaf_table_reset();
        samples_reset();
    }
    std::string cell(int row, int col) { return grid.rows.at(row).at(col); }
    std::string last_log() { return g_log.empty() ? "" : g_log.back(); }
    void feed(LeafId id, double value, const char* text) {
        Sample s = sample_of(id, value, text, leaf_at(id) ? leaf_at(id)->address : 0);
        num_rows_on_sample(w, &s);
    }

    PlatformRecorder rec;
    Grid grid;
    NumWindow* w = nullptr;
};

}  // namespace

// ---- Record and rows -------------------------------------------------------------------------------

TEST_F(Numeric, RecordStartsLiveWithDefaultTitleAndNoEditor) {
    EXPECT_EQ(w->tag, 0x4E554D31u);
    EXPECT_EQ(w->edit_row, -1);
    EXPECT_EQ(w->edit_col, -1);
    char title[64];
    utf16_to_utf8(w->title, title, sizeof title);
    EXPECT_STREQ(title, "数值窗口");
    num_record_retire(w);
    EXPECT_EQ(num_rows_add(w, 0), 0);  // a dead record takes nothing
    EXPECT_TRUE(grid.rows.empty());
}

TEST_F(Numeric, AddingFillsTheRowWatchesAndIgnoresDuplicatesAndTheCap) {
    ASSERT_EQ(num_rows_add(w, 1), 1);
    EXPECT_EQ(grid.rows[0], (std::array<std::string, 6>{"", "gain", "0x20000010", "", "-", "-"}));
    EXPECT_EQ(grid.checked[0], 1);
    EXPECT_EQ(leaf_is_watched(leaf_at(1)), 1);
    EXPECT_EQ(g_ticked, std::vector<LeafId>{1});
    EXPECT_EQ(g_refreshes, 1);
    EXPECT_EQ(last_log(), "INFO 数值窗口添加变量: id=1 (观测 1)");
    EXPECT_STREQ(w->row_name[0], "gain");

    size_t lines = g_log.size();
    EXPECT_EQ(num_rows_add(w, 1), 0);
    EXPECT_EQ(g_log.size(), lines);  // silently

    // An id that names no leaf: "?" at address 0, no name to rebind by.
    ASSERT_EQ(num_rows_add(w, 77), 1);
    EXPECT_EQ(cell(1, 1), "?");
    EXPECT_EQ(cell(1, 2), "0x0");
    EXPECT_STREQ(w->row_name[1], "");

    for (LeafId id = 100; w->row_count < NUM_ROW_CAPACITY; id++) ASSERT_EQ(num_rows_add(w, id), 1);
    EXPECT_EQ(num_rows_add(w, 0), 0);
    EXPECT_EQ(w->row_count, 128);
    EXPECT_EQ(grid.rows.size(), 128u);
}

TEST_F(Numeric, SamplesUpdateLiveRowsOnlyAndTrackExtremes) {
    num_rows_add(w, 0);
    num_rows_add(w, 1);
    Sample other = sample_of(2, 5, "5");
    EXPECT_EQ(num_rows_on_sample(w, &other), 0);  // a leaf not shown

    feed(0, 10, "10");
    feed(0, -4, "-4");
    feed(0, 7, "7");
    EXPECT_EQ(cell(0, 3), "7");
    EXPECT_EQ(cell(0, 4), "-4");
    EXPECT_EQ(cell(0, 5), "10");
    feed(1, 0.125, "0.125");
    feed(1, 1234567.5, "1234567.5");
    EXPECT_EQ(cell(1, 4), "0.125");   // float rows: %.6g
    EXPECT_EQ(cell(1, 5), "1.23457e+06");

    // A frozen row keeps value, address and extremes; ticking it again resumes both.
    grid.checked[0] = 0;
    Sample moved = sample_of(0, 99, "99", 0x20000444);
    EXPECT_EQ(num_rows_on_sample(w, &moved), 0);
    EXPECT_EQ(cell(0, 3), "7");
    EXPECT_EQ(cell(0, 2), "0x20000000");
    EXPECT_EQ(cell(0, 5), "10");
    grid.checked[0] = 1;
    EXPECT_EQ(num_rows_on_sample(w, &moved), 1);
    EXPECT_EQ(cell(0, 3), "99");
    EXPECT_EQ(cell(0, 2), "0x20000444");
    EXPECT_EQ(cell(0, 5), "99");
}

TEST_F(Numeric, SampleTextIsBoundedEvenWithoutTerminator) {
    num_rows_add(w, 0);
    Sample s = sample_of(0, 1, "");
    memset(s.text, 'x', sizeof s.text);  // no terminator inside the field
    num_rows_on_sample(w, &s);
    EXPECT_EQ(cell(0, 3), std::string(64, 'x'));
}

TEST_F(Numeric, ExtremeFormats) {
    char text[64];
    VarLeaf integer = {};
    integer.kind = TYPE_INT;
    num_format_extreme(text, sizeof text, &integer, -2.6);
    EXPECT_STREQ(text, "-3");
    num_format_extreme(text, sizeof text, nullptr, 0.1 + 0.2);  // a missing leaf reads as float
    EXPECT_STREQ(text, "0.3");
}

TEST_F(Numeric, RemovingKeepsEveryRowsOwnFieldsAndReleasesTheLeaf) {
    num_rows_add(w, 0);
    num_rows_add(w, 1);
    num_rows_add(w, 2);
    feed(0, 1, "1");
    feed(1, 2.5, "2.5");
    feed(2, 30, "30");
    feed(2, 40, "40");
    ASSERT_EQ(num_rows_remove(w, 0), 1);
    EXPECT_EQ(last_log(), "INFO 数值窗口移除变量: id=0 (剩余 2 行)");
    EXPECT_EQ(g_released, std::vector<LeafId>{0});
    ASSERT_EQ(w->row_count, 2);
    EXPECT_EQ(w->row_leaf[0], 1);
    EXPECT_STREQ(w->row_name[1], "count");
    EXPECT_EQ(w->row_min[1], 30);
    EXPECT_EQ(w->row_max[1], 40);
    EXPECT_EQ(cell(1, 1), "count");
    EXPECT_EQ(num_rows_remove(w, 2), 0);
    EXPECT_EQ(num_rows_remove(w, -1), 0);
    // Later samples land in the right rows.
    feed(2, 10, "10");
    EXPECT_EQ(w->row_min[1], 10);
    EXPECT_EQ(w->row_min[0], 2.5);
}

TEST_F(Numeric, RowNamesFollowTheCurrentTable) {
    num_rows_add(w, 2);
    num_rows_add(w, 500);
    char name[8];
    EXPECT_EQ(num_rows_name(w, 0, name, sizeof name), 1);
    EXPECT_STREQ(name, "count");
    EXPECT_EQ(num_rows_name(w, 0, name, 3), 1);
    EXPECT_STREQ(name, "co");  // cut and terminated
    EXPECT_EQ(num_rows_name(w, 1, name, sizeof name), 0);  // no such leaf
    EXPECT_EQ(num_rows_name(w, 2, name, sizeof name), 0);
    EXPECT_EQ(num_rows_name(w, 0, nullptr, 8), 0);
    EXPECT_EQ(num_rows_name(w, 0, name, 0), 0);
}

TEST_F(Numeric, MinMaxLog) {
    num_rows_add(w, 0);
    num_rows_add(w, 1);
    feed(0, -3, "-3");
    feed(0, 12, "12");
    num_rows_log_minmax(w);
    ASSERT_GE(g_log.size(), 2u);
    EXPECT_EQ(g_log[g_log.size() - 2], "INFO 数值minmax: 行0 min=-3 max=12");
    EXPECT_EQ(g_log.back(), "INFO 数值minmax: 行1 无样本");
}

// ---- Rebinding ------------------------------------------------------------------------------------

TEST_F(Numeric, RebindAfterAReloadMovesRowsDropsMissingOnesAndResetsExtremes) {
    num_rows_add(w, 0);    // speed
    num_rows_add(w, 1);    // gain: gone after the reload
    num_rows_add(w, 2);    // count
    num_rows_add(w, 900);  // no name: skipped
    feed(0, 5, "5");
    feed(2, 8, "8");
    ASSERT_TRUE(num_begin_edit(w, 2, NUM_COL_MAX));
    grid.editor_text = "123";

    // The rebuilt image: count moved and comes first, speed kept its address, gain is gone.
    leaf_table_reset();
    leaf_add("count", 0x20000100, 2, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);   // 0
    leaf_add("speed", 0x20000000, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);    // 1
    g_log.clear();
    EXPECT_EQ(num_rows_rebind(w), 1);
    EXPECT_EQ(g_log, (std::vector<std::string>{
                         "INFO 数值变量重绑: speed id=0->1 @0x20000000",
                         "WARN 数值变量重绑缺失（移除）: gain",
                         "INFO 数值变量重绑: count id=2->0 @0x20000100",
                         "INFO 数值窗口变量重绑: 成功 2 缺失 1",
                     }));
    ASSERT_EQ(w->row_count, 3);
    EXPECT_EQ(w->row_leaf[0], 1);
    EXPECT_EQ(w->row_leaf[1], 0);
    EXPECT_EQ(w->row_leaf[2], 900);
    EXPECT_EQ(grid.rows[1], (std::array<std::string, 6>{"", "count", "0x20000100", "", "-", "-"}));
    EXPECT_EQ(w->row_has_minmax[0], 0);
    // The editor moved with its row and still writes into the right one.
    EXPECT_EQ(w->edit_row, 1);
    num_end_edit(w, 1);
    EXPECT_EQ(w->row_max[1], 123);
    EXPECT_EQ(w->row_max[0], 0);

    g_log.clear();
    num_rows_rebind(w);  // nothing changed: only the summary
    EXPECT_EQ(g_log, std::vector<std::string>{"INFO 数值窗口变量重绑: 成功 2 缺失 0"});
}

TEST_F(Numeric, RebindCancelsAnEditorOnADroppedRow) {
    num_rows_add(w, 0);
    num_rows_add(w, 1);
    feed(1, 3, "3");
    ASSERT_TRUE(num_begin_edit(w, 1, NUM_COL_MIN));
    grid.editor_text = "-50";
    leaf_table_reset();
    leaf_add("speed", 0x20000000, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    num_rows_rebind(w);
    EXPECT_EQ(w->edit, nullptr);
    EXPECT_EQ(grid.destroyed, 1);
    EXPECT_EQ(w->row_count, 1);
    for (const std::string& line : g_log) EXPECT_EQ(line.find("手工设置"), std::string::npos) << line;
}

// ---- In-place editor ------------------------------------------------------------------------------

TEST_F(Numeric, EditorOpensOnlyOnARealCellAndCommitsTheOpenOneFirst) {
    num_rows_add(w, 0);
    feed(0, 10, "10");
    EXPECT_EQ(num_begin_edit(w, 1, NUM_COL_VALUE), 0);   // no such row
    EXPECT_EQ(num_begin_edit(w, -1, NUM_COL_VALUE), 0);
    EXPECT_EQ(num_begin_edit(w, 0, 9), 0);               // no cell rectangle
    EXPECT_EQ(w->edit, nullptr);
    grid.rect_fails = true;
    EXPECT_EQ(num_begin_edit(w, 0, NUM_COL_VALUE), 0);
    grid.rect_fails = false;

    ASSERT_EQ(num_begin_edit(w, 0, NUM_COL_MIN), 1);
    EXPECT_EQ(w->edit_row, 0);
    EXPECT_EQ(w->edit_col, NUM_COL_MIN);
    EXPECT_EQ(grid.editor_text, "10");  // starts with the cell's text
    grid.editor_text = "5";
    ASSERT_EQ(num_begin_edit(w, 0, NUM_COL_MAX), 1);  // commits the minimum first
    EXPECT_EQ(cell(0, 4), "5");
    EXPECT_EQ(grid.editors, 2);
    EXPECT_EQ(w->edit_col, NUM_COL_MAX);
}

TEST_F(Numeric, EscapeCancelsAndTheFocusLossOfTheDestroyedBoxDoesNothing) {
    num_rows_add(w, 0);
    feed(0, 10, "10");
    ASSERT_TRUE(num_begin_edit(w, 0, NUM_COL_MIN));
    grid.editor_text = "5";
    size_t lines = g_log.size();
    num_end_edit(w, 0);  // the box's destruction calls num_end_edit(w, 1) again
    EXPECT_EQ(grid.destroyed, 1);
    EXPECT_EQ(w->edit, nullptr);
    EXPECT_EQ(w->edit_row, -1);
    EXPECT_EQ(cell(0, 4), "10");
    EXPECT_EQ(g_log.size(), lines);
    EXPECT_EQ(grid.refocused, 1);
    num_end_edit(w, 1);  // no editor: nothing
    EXPECT_EQ(grid.destroyed, 1);
}

TEST_F(Numeric, TypedMinimumRestartsTracking) {
    num_rows_add(w, 0);
    feed(0, 10, "10");
    feed(0, 11, "11");
    ASSERT_TRUE(num_begin_edit(w, 0, NUM_COL_MIN));
    grid.editor_text = "5";
    num_end_edit(w, 1);
    EXPECT_EQ(last_log(), "INFO 数值窗口手工设置最小值 行0: 5");
    EXPECT_EQ(cell(0, 4), "5");
    feed(0, 3, "3");
    EXPECT_EQ(cell(0, 4), "3");
    feed(0, 7, "7");
    EXPECT_EQ(cell(0, 4), "3");
    EXPECT_EQ(cell(0, 5), "11");

    // Not a number becomes 0; the leading number of "2.5V" counts; empty text does nothing.
    EXPECT_EQ(num_commit_text(w, 0, NUM_COL_MAX, "abc"), 1);
    EXPECT_EQ(w->row_max[0], 0);
    EXPECT_EQ(last_log(), "INFO 数值窗口手工设置最大值 行0: abc");
    EXPECT_EQ(num_commit_text(w, 0, NUM_COL_MAX, "2.5V"), 1);
    EXPECT_EQ(w->row_max[0], 2.5);
    size_t lines = g_log.size();
    EXPECT_EQ(num_commit_text(w, 0, NUM_COL_MAX, ""), 0);
    EXPECT_EQ(g_log.size(), lines);
}

TEST_F(Numeric, TypedExtremeOnARowWithoutSamplesSeedsBoth) {
    num_rows_add(w, 0);
    EXPECT_EQ(num_commit_text(w, 0, NUM_COL_MIN, "5"), 1);
    EXPECT_EQ(cell(0, 4), "5");
    EXPECT_EQ(cell(0, 5), "5");  // not a maximum of 0 that no sample ever had
    feed(0, -2, "-2");
    EXPECT_EQ(cell(0, 4), "-2");
    EXPECT_EQ(cell(0, 5), "5");
}

TEST_F(Numeric, CommittedValueIsWrittenThroughTheDriver) {
    fake_modules_load(true, false);
    num_rows_add(w, 0);
    feed(0, 10, "10");
    ASSERT_TRUE(num_begin_edit(w, 0, NUM_COL_VALUE));
    grid.editor_text = "-25";
    num_end_edit(w, 1);
    EXPECT_EQ(fake_target()->word(0x20000000), (uint32_t)-25);
    EXPECT_EQ(cell(0, 3), "-25");
    EXPECT_EQ(cell(0, 4), "-25");  // the written value joins the extremes
    EXPECT_EQ(cell(0, 5), "10");
    EXPECT_EQ(last_log(), "INFO 数值窗口就地写入 行0: -25");
    EXPECT_EQ(grid.refocused, 1);
    // The read-back reaches the row later through the drain like any other sample.
    EXPECT_EQ(samples_waiting(), 1);

    // Empty text writes nothing.
    long writes = fake_target()->writes;
    ASSERT_TRUE(num_begin_edit(w, 0, NUM_COL_VALUE));
    grid.editor_text = "";
    num_end_edit(w, 1);
    EXPECT_EQ(fake_target()->writes, writes);
}

TEST_F(Numeric, WrittenNarrowAndBitFieldValuesJoinTheExtremesAsTheTargetHoldsThem) {
    fake_modules_load(true, false);
    leaf_add("u8", 0x20000030, 1, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);    // 3
    leaf_add("i8", 0x20000034, 1, TYPE_INT, 1, 0, 0, 0, 0, nullptr);     // 4
    leaf_add("bits", 0x20000038, 4, TYPE_UINT, 0, 0, 1, 5, 3, nullptr);  // 5: 3 bits at bit 5
    for (LeafId id = 3; id <= 5; id++) num_rows_add(w, id);
    const char* texts[] = {"-1", "200", "6"};
    const char* minima[] = {"255", "-56", "6"};
    for (int row = 0; row < 3; row++) {
        num_commit_text(w, row, NUM_COL_VALUE, texts[row]);
        EXPECT_EQ(cell(row, 4), minima[row]) << row;
        EXPECT_EQ(cell(row, 5), minima[row]) << row;
    }
}

TEST_F(Numeric, ALoadedRecordingsExtremesJoinTheRows) {
    num_rows_add(w, 0);
    num_rows_add(w, 1);
    feed(0, 3, "3");
    num_rows_fold_recording(w, [](const char* name, double* lo, double* hi) {
        if (strcmp(name, "speed") != 0) return false;
        *lo = -40;
        *hi = 2;
        return true;
    });
    EXPECT_EQ(cell(0, 4), "-40");
    EXPECT_EQ(cell(0, 5), "3");
    EXPECT_EQ(cell(1, 4), "-");
}

namespace {
NumWindow* g_replay_window;
std::vector<std::string> g_replayed_texts;
void deliver_to_replay_window(const Sample* samples, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        g_replayed_texts.push_back(samples[i].text);
        num_rows_on_sample(g_replay_window, &samples[i]);
    }
}
}  // namespace

TEST_F(Numeric, AReplayedEnumRecordingShowsItsNamesWithTheirValues) {
    // The recorder writes an enum's value as its enumerator's name (a number when none matches);
    // replayed, each name must land as its enumerator's value in the track, and the row shows
    // the names as they went by and the extremes as numbers.
    TypeInfo idle = {}, fault = {}, run = {}, type = {};
    idle.name = "MODE_IDLE";
    idle.enum_value = 0;
    fault.name = "MODE_FAULT";
    fault.enum_value = -2;
    run.name = "MODE_RUN";
    run.enum_value = 3;
    TypeInfo* list[] = {&idle, &fault, &run};
    type.kind = TYPE_ENUM;
    type.byte_size = 1;
    type.child_count = 3;
    type.children = list;
    leaf_add("mode", 0x20000030, 1, TYPE_ENUM, 1, 0, 0, 0, 0, &type);  // 3
    leaf_set_watched(3, 1);
    rectest::ScratchDir scratch;
    rec.env["LOCALAPPDATA"] = scratch.path();
    recording_install_hooks();
    const uint8_t bytes[] = {0x00, 0xFE, 0x03, 0x05, 0xFE, 0x00};  // 0x05 has no name
    std::vector<Sample> recorded;
    for (size_t i = 0; i < sizeof bytes; i++) {
        Sample s = {};
        s.timestamp_us = 1733659200000000 + 1000 * (int64_t)i;
        s.leaf_id = 3;
        s.address = 0x20000030;
        s.raw[0] = bytes[i];
        s.size = 1;
        leaf_decode(leaf_at(3), s.raw, 1, s.text, sizeof s.text, &s.value);
        recorded.push_back(s);
    }
    ASSERT_EQ(recording_open(), 0);
    recording_append(recorded.data(), (int32_t)recorded.size());
    recording_finish();
    char cache[RECORDING_PATH_CAPACITY];
    recording_cache_path(cache, sizeof cache);
    const std::string csv = rectest::read_file(cache);
    EXPECT_NE(csv.find(",MODE_FAULT\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",5\n"), std::string::npos) << csv;

    num_rows_add(w, 3);
    g_replay_window = w;
    g_acquisition_hooks.deliver_to_windows = deliver_to_replay_window;
    ASSERT_EQ(replay_load_all(cache), 0);
    const ReplaySeries* series = replay_series_at(3);
    ASSERT_NE(series, nullptr);
    const std::vector<double> values(series->track.values, series->track.values + series->track.count);
    EXPECT_EQ(values, (std::vector<double>{0, -2, 3, 5, -2, 0}));
    EXPECT_EQ(series->track.times[1], 1733659200001000);

    g_replayed_texts.clear();
    samples_flush();
    EXPECT_EQ(g_replayed_texts,
              (std::vector<std::string>{"MODE_IDLE", "MODE_FAULT", "MODE_RUN", "5", "MODE_FAULT", "MODE_IDLE"}));
    EXPECT_EQ(cell(0, 3), "MODE_IDLE");
    num_rows_fold_recording(w, replay_extremes);
    EXPECT_EQ(cell(0, 4), "-2");
    EXPECT_EQ(cell(0, 5), "5");
    replay_store_reset();
    recording_shutdown();
}

TEST_F(Numeric, RejectedWriteLogsTheReasonAndChangesNothing) {
    num_rows_add(w, 0);
    feed(0, 10, "10");
    EXPECT_EQ(num_commit_text(w, 0, NUM_COL_VALUE, "1"), 0);  // no driver module at all
    EXPECT_EQ(last_log(), "ERROR 数值窗口写入失败: 无驱动模块");

    fake_modules_load(true, false);
    EXPECT_EQ(num_commit_text(w, 0, NUM_COL_VALUE, "zz"), 0);
    EXPECT_EQ(last_log(), "ERROR 数值窗口写入失败: 数值解析失败");
    fake_target()->write_result = 9;
    EXPECT_EQ(num_commit_text(w, 0, NUM_COL_VALUE, "4"), 0);
    EXPECT_EQ(last_log(), "ERROR 数值窗口写入失败: 写入失败 (err=9)");
    EXPECT_EQ(cell(0, 3), "10");
    EXPECT_EQ(cell(0, 4), "10");
    EXPECT_EQ(fake_target()->word(0x20000000), 0u);
}

TEST_F(Numeric, WritesWithoutADriverGoToTheNetworkPeer) {
    fake_modules_load(false, true);
    num_rows_add(w, 0);
    num_rows_add(w, 600);  // a row whose id names no leaf
    EXPECT_EQ(num_commit_text(w, 0, NUM_COL_VALUE, "12"), 1);
    EXPECT_STREQ(fake_target()->last_net_write.leaf_name, "speed");
    EXPECT_EQ(last_log(), "INFO 数值窗口就地写入 行0: 12");
    fake_target()->net_result = 4;
    EXPECT_EQ(num_commit_text(w, 0, NUM_COL_VALUE, "13"), 0);
    EXPECT_EQ(last_log(), "ERROR 数值窗口写入失败: 网络写入失败 (rc=4)");
    EXPECT_EQ(cell(0, 3), "12");
    EXPECT_EQ(num_commit_text(w, 1, NUM_COL_VALUE, "1"), 0);
    EXPECT_EQ(last_log(), "ERROR 数值窗口写入失败: 变量 ID 无效");
}
