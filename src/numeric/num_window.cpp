// num_window.cpp - the numeric window's rules (see num_window.h).
//
// Index:
//   [SECTION] Record and table operations
//   [SECTION] Extremes
//   [SECTION] Rows: add, sample, remove, rebind, names
//   [SECTION] In-place editor
#include "numeric/num_window.h"

#include <cstdlib>
#include <cstring>

#include "acquisition/variable_write.h"
#include "recording/replay_rows.h"
#include "core/log.h"
#include "core/text.h"
#include "vartable/leaf_codec.h"

NumHooks g_num_hooks;

//-------------------------------------------------------------------------------------------------
// [SECTION] Record and table operations
//-------------------------------------------------------------------------------------------------

namespace {

NumTableOps g_ops;

bool valid_row(const NumWindow* w, int32_t row) { return row >= 0 && row < w->row_count; }

void table_set_text(NumWindow* w, int32_t row, int32_t col, const char* text) {
    if (g_ops.set_text) g_ops.set_text(w, row, col, text);
}

void table_set_address(NumWindow* w, int32_t row, uint64_t address) {
    char text[32];
    text_printf(text, sizeof text, "0x%llX", (unsigned long long)address);
    table_set_text(w, row, NUM_COL_ADDRESS, text);
}

// Moves the per-row fields of rows row+1 .. count-1 up by one and shortens the record; an editor
// on a later row moves with its row.
void close_row_gap(NumWindow* w, int32_t row) {
    int32_t last = w->row_count - 1;
    for (int32_t k = row; k < last; k++) {
        w->row_leaf[k] = w->row_leaf[k + 1];
        memcpy(w->row_name[k], w->row_name[k + 1], NUM_NAME_CAPACITY);
        w->row_min[k] = w->row_min[k + 1];
        w->row_max[k] = w->row_max[k + 1];
        w->row_has_minmax[k] = w->row_has_minmax[k + 1];
    }
    w->row_leaf[last] = LEAF_NONE;
    w->row_name[last][0] = 0;
    w->row_min[last] = w->row_max[last] = 0;
    w->row_has_minmax[last] = 0;
    w->row_count = last;
    if (w->edit && w->edit_row > row) w->edit_row--;
}

// A row of the table and of the record goes away together.
void delete_row(NumWindow* w, int32_t row) {
    if (g_ops.delete_row) g_ops.delete_row(w, row);
    close_row_gap(w, row);
}

}  // namespace

void num_table_ops_install(const NumTableOps* ops) { g_ops = ops ? *ops : NumTableOps{}; }

void num_record_init(NumWindow* w, void* window, const char16_t* title) {
    memset(w, 0, sizeof *w);
    w->tag = NUM_TAG;
    w->window = window;
    w->edit_row = w->edit_col = -1;
    for (LeafId& id : w->row_leaf) id = LEAF_NONE;
    if (title) text16_copy(w->title, NUM_TITLE_CAPACITY, title);
    else utf8_to_utf16("数值窗口", w->title, NUM_TITLE_CAPACITY);
}

int num_record_live(const NumWindow* w) { return w && w->tag == NUM_TAG ? 1 : 0; }

void num_record_retire(NumWindow* w) {
    if (w) w->tag = 0;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Extremes
//-------------------------------------------------------------------------------------------------

void num_format_extreme(char* out, size_t capacity, const VarLeaf* leaf, double x) {
    if (!leaf || leaf->kind == TYPE_FLOAT) text_printf(out, capacity, "%.6g", x);
    else text_printf(out, capacity, "%.0f", x);
}

void num_show_extremes(NumWindow* w, int32_t row) {
    if (!num_record_live(w) || row < 0 || row >= NUM_ROW_CAPACITY) return;
    char low[64] = "-", high[64] = "-";
    if (w->row_has_minmax[row]) {
        const VarLeaf* leaf = leaf_at(w->row_leaf[row]);
        num_format_extreme(low, sizeof low, leaf, w->row_min[row]);
        num_format_extreme(high, sizeof high, leaf, w->row_max[row]);
    }
    table_set_text(w, row, NUM_COL_MIN, low);
    table_set_text(w, row, NUM_COL_MAX, high);
}

void num_fold_extremes(NumWindow* w, int32_t row, double x) {
    if (!num_record_live(w) || !valid_row(w, row)) return;
    if (w->row_has_minmax[row]) {
        if (x < w->row_min[row]) w->row_min[row] = x;
        if (x > w->row_max[row]) w->row_max[row] = x;
    } else {
        w->row_min[row] = w->row_max[row] = x;
        w->row_has_minmax[row] = 1;
    }
    num_show_extremes(w, row);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Rows: add, sample, remove, rebind, names
//-------------------------------------------------------------------------------------------------

int num_rows_add(NumWindow* w, LeafId id) {
    if (!num_record_live(w) || w->row_count >= NUM_ROW_CAPACITY) return 0;
    for (int32_t k = 0; k < w->row_count; k++)
        if (w->row_leaf[k] == id) return 0;
    const VarLeaf* leaf = leaf_at(id);
    int32_t row = w->row_count;
    if (g_ops.insert_row) g_ops.insert_row(w, row);
    if (g_ops.set_checked) g_ops.set_checked(w, row, 1);
    table_set_text(w, row, NUM_COL_NAME, leaf ? leaf->name : "?");
    table_set_address(w, row, leaf ? leaf->address : 0);
    table_set_text(w, row, NUM_COL_VALUE, "");
    w->row_leaf[row] = id;
    text_copy(w->row_name[row], NUM_NAME_CAPACITY, leaf ? leaf->name : "");
    w->row_has_minmax[row] = 0;
    w->row_min[row] = w->row_max[row] = 0;
    num_show_extremes(w, row);
    w->row_count = row + 1;
    leaf_set_watched(id, 1);
    if (g_num_hooks.tree_check) g_num_hooks.tree_check(id, 1);
    if (g_num_hooks.refresh_status) g_num_hooks.refresh_status();
    log_printf(LOG_INFO, "数值窗口添加变量: id=%d (观测 %d)", id, leaf_watched_count());
    return 1;
}

int num_rows_on_sample(NumWindow* w, const Sample* sample) {
    if (!num_record_live(w) || !sample) return 0;
    int32_t row = 0;
    while (row < w->row_count && w->row_leaf[row] != sample->leaf_id) row++;
    if (row >= w->row_count) return 0;
    if (g_ops.is_checked && !g_ops.is_checked(w, row)) return 0;  // frozen
    const VarLeaf* leaf = leaf_at(sample->leaf_id);
    table_set_text(w, row, NUM_COL_NAME, leaf ? leaf->name : "");
    table_set_address(w, row, sample->address);
    // The sample's text field is fixed-size; never read past it even when it is not terminated.
    char value[NUM_VALUE_TEXT_CAPACITY];
    size_t n = strnlen(sample->text, sizeof sample->text);
    if (n > sizeof value - 1) n = sizeof value - 1;
    memcpy(value, sample->text, n);
    value[n] = 0;
    table_set_text(w, row, NUM_COL_VALUE, value);
    num_fold_extremes(w, row, sample->value);
    return 1;
}

int num_rows_remove(NumWindow* w, int32_t row) {
    if (!num_record_live(w) || !valid_row(w, row)) return 0;
    LeafId id = w->row_leaf[row];
    if (w->edit && w->edit_row == row) num_end_edit(w, 1);
    delete_row(w, row);
    log_printf(LOG_INFO, "数值窗口移除变量: id=%d (剩余 %d 行)", id, w->row_count);
    if (g_num_hooks.release_leaf) g_num_hooks.release_leaf(id);
    return 1;
}

int num_rows_rebind(NumWindow* w) {
    if (!num_record_live(w)) return 0;
    int32_t ok = 0, missing = 0;
    int32_t k = 0;
    while (k < w->row_count) {
        if (!w->row_name[k][0]) {
            k++;
            continue;
        }
        LeafId n = leaf_find(w->row_name[k]);
        const VarLeaf* leaf = leaf_at(n);
        if (!leaf) {
            log_printf(LOG_WARN, "数值变量重绑缺失（移除）: %s", w->row_name[k]);
            if (w->edit && w->edit_row == k) num_end_edit(w, 0);
            delete_row(w, k);
            missing++;
            continue;
        }
        if (n != w->row_leaf[k])
            log_printf(LOG_INFO, "数值变量重绑: %s id=%d->%d @0x%llX", w->row_name[k], w->row_leaf[k], n,
                       (unsigned long long)leaf->address);
        w->row_leaf[k] = n;
        table_set_address(w, k, leaf->address);
        table_set_text(w, k, NUM_COL_VALUE, "");
        // The old extremes may belong to another address.
        w->row_has_minmax[k] = 0;
        w->row_min[k] = w->row_max[k] = 0;
        num_show_extremes(w, k);
        ok++;
        k++;
    }
    if (ok || missing) log_printf(LOG_INFO, "数值窗口变量重绑: 成功 %d 缺失 %d", ok, missing);
    return missing;
}

int num_rows_name(const NumWindow* w, int32_t index, char* buffer, int32_t size) {
    if (!num_record_live(w) || !valid_row(w, index) || !buffer || size <= 0) return 0;
    const VarLeaf* leaf = leaf_at(w->row_leaf[index]);
    if (!leaf) return 0;
    text_copy(buffer, (size_t)size, leaf->name);
    return 1;
}

void num_rows_fold_recording(NumWindow* w, bool (*extremes)(const char* name, double* lo, double* hi)) {
    if (!num_record_live(w) || !extremes) return;
    for (int32_t row = 0; row < w->row_count; row++) {
        double lo, hi;
        if (!extremes(w->row_name[row], &lo, &hi)) continue;
        num_fold_extremes(w, row, lo);
        num_fold_extremes(w, row, hi);
    }
}

void num_rows_log_minmax(const NumWindow* w) {
    if (!num_record_live(w)) return;
    for (int32_t i = 0; i < w->row_count; i++) {
        if (w->row_has_minmax[i])
            log_printf(LOG_INFO, "数值minmax: 行%d min=%g max=%g", i, w->row_min[i], w->row_max[i]);
        else
            log_printf(LOG_INFO, "数值minmax: 行%d 无样本", i);
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] In-place editor
//-------------------------------------------------------------------------------------------------

int num_begin_edit(NumWindow* w, int32_t row, int32_t col) {
    if (!num_record_live(w) || !valid_row(w, row)) return 0;
    if (w->edit) num_end_edit(w, 1);
    // Committing may have changed the rows (never today, but the row must still be there).
    if (!valid_row(w, row) || !g_ops.create_editor) return 0;
    void* edit = g_ops.create_editor(w, row, col);
    if (!edit) return 0;
    w->edit = edit;
    w->edit_row = row;
    w->edit_col = col;
    if (g_ops.start_editor) g_ops.start_editor(w);
    return 1;
}

void num_end_edit(NumWindow* w, int commit) {
    if (!num_record_live(w) || !w->edit) return;
    char text[NUM_EDIT_TEXT_CAPACITY] = "";
    void* edit = w->edit;
    if (g_ops.read_editor) g_ops.read_editor(w, edit, text, sizeof text);
    int32_t row = w->edit_row, col = w->edit_col;
    // Forget the editor before destroying it: the focus loss that the destruction causes comes
    // back here and must find nothing to close.
    w->edit = nullptr;
    w->edit_row = w->edit_col = -1;
    if (g_ops.destroy_editor) g_ops.destroy_editor(w, edit);
    if (commit && valid_row(w, row) && text[0]) num_commit_text(w, row, col, text);
    if (g_ops.focus_table) g_ops.focus_table(w);
}

namespace {

// A typed minimum or maximum: the leading decimal number of the text, 0 when there is none.
void commit_extreme(NumWindow* w, int32_t row, int32_t col, const char* text) {
    double x = strtod(text, nullptr);
    if (col == NUM_COL_MIN) w->row_min[row] = x;
    else w->row_max[row] = x;
    if (!w->row_has_minmax[row]) {
        // The other extreme has no value yet: it starts from the typed one.
        if (col == NUM_COL_MIN) w->row_max[row] = x;
        else w->row_min[row] = x;
    }
    w->row_has_minmax[row] = 1;
    num_show_extremes(w, row);
    log_printf(LOG_INFO, "数值窗口手工设置%s 行%d: %s", col == NUM_COL_MIN ? "最小值" : "最大值", row, text);
}

// The value the target now holds after a successful write, as the read-back would decode it: the
// text parsed at the leaf's width, a bit field placed at its bit offset (as replay reads values).
void fold_written_value(NumWindow* w, int32_t row, const char* text) {
    Sample written;
    if (replay_make_sample(leaf_at(w->row_leaf[row]), text, 0, &written)) num_fold_extremes(w, row, written.value);
}

}  // namespace

int num_commit_text(NumWindow* w, int32_t row, int32_t col, const char* text) {
    if (!num_record_live(w) || !valid_row(w, row) || !text || !text[0]) return 0;
    if (col == NUM_COL_MIN || col == NUM_COL_MAX) {
        commit_extreme(w, row, col, text);
        return 1;
    }
    char error[NUM_WRITE_ERROR_CAPACITY] = "";
    if (variable_write(w->row_leaf[row], text, error, sizeof error) != 0) {
        log_printf(LOG_ERROR, "数值窗口写入失败: %s", error[0] ? error : "未知错误");
        return 0;
    }
    table_set_text(w, row, NUM_COL_VALUE, text);
    fold_written_value(w, row, text);
    log_printf(LOG_INFO, "数值窗口就地写入 行%d: %s", row, text);
    return 1;
}
