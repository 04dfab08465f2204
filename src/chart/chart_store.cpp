// chart_store.cpp - the waveform window's data side: record registry, series rings, replay track
// references, adding/removing/re-binding variables and sample delivery.
//
// Index
//   [SECTION] Registry
//   [SECTION] Helpers
//   [SECTION] Variables
//   [SECTION] Samples and replay tracks
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "chart/chart.h"
#include "core/log.h"
#include "core/platform.h"
#include "core/text.h"
#include "vartable/leaf_table.h"

ChartHooks g_chart_hooks;

namespace {

// Live records in creation order; a window handle is looked up by a scan (at most 512, few in practice).
ChartWindow* g_records[CHART_MAX_WINDOWS];
int32_t g_record_count;

const uint32_t kPalette[8] = {0xFFDC00, 0x00E6FF, 0x78FF00, 0xFF50DC, 0xFF5A5A, 0xFFAA00, 0xC8C8FF, 0x00FFAA};

ChartWindow* live(void* window) {
    ChartWindow* cw = chart_record(window);
    return cw && cw->tag == CHART_TAG ? cw : nullptr;
}

// Moves the series after slot i down by one (whole records) and shrinks the count.
void remove_slot(ChartWindow* cw, int32_t i) {
    for (int32_t k = i; k + 1 < cw->series_count; k++) memcpy(&cw->series[k], &cw->series[k + 1], sizeof(ChartSeries));
    cw->series_count--;
}

void empty_ring(ChartSeries* s) {
    s->head = s->count = 0;
    s->written = 0;
    s->disorder = -1;
}

void drop_track(ChartSeries* s) { s->track = nullptr; }

void attach_track(ChartWindow* cw, ChartSeries* s, const SampleTrack* track) {
    s->track = track;
    cw->show_all = cw->auto_x = cw->auto_y = 1;
    // The finest buckets are the samples themselves.
    log_printf(LOG_INFO, "波形桶缓存: %s %lld 桶 [%lld,%lld]us", s->name, (long long)track->count,
               (long long)track->t0, (long long)track->t1);
}

}  // namespace

// [SECTION] Registry -----------------------------------------------------------------------------

ChartWindow* chart_record_create(void* window, const char* title) {
    if (!window || chart_record(window) || g_record_count >= CHART_MAX_WINDOWS) return nullptr;
    ChartWindow* cw = (ChartWindow*)calloc(1, sizeof(ChartWindow));
    if (!cw) return nullptr;
    cw->tag = CHART_TAG;
    cw->window = window;
    cw->follow_window = CHART_FOLLOW_WINDOW;
    cw->auto_x = cw->auto_y = 1;
    cw->mouse_x = cw->mouse_y = -1;
    cw->m1_x = cw->m2_x = -1;
    cw->marker_series = -1;
    utf8_to_utf16(title ? title : "波形窗口", cw->title, CHART_TITLE_CAPACITY);
    g_records[g_record_count++] = cw;
    return cw;
}

void chart_record_destroy(void* window) {
    for (int32_t i = 0; i < g_record_count; i++) {
        ChartWindow* cw = g_records[i];
        if (cw->window != window) continue;
        if (cw->anim_timer_on && g_chart_hooks.anim_timer) g_chart_hooks.anim_timer(window, 0);
        memmove(&g_records[i], &g_records[i + 1], sizeof(g_records[0]) * (size_t)(g_record_count - i - 1));
        g_record_count--;
        cw->tag = 0;
        free(cw);
        return;
    }
}

ChartWindow* chart_record(void* window) {
    if (!window) return nullptr;
    for (int32_t i = 0; i < g_record_count; i++)
        if (g_records[i]->window == window) return g_records[i];
    return nullptr;
}

int32_t chart_record_count() { return g_record_count; }

ChartWindow* chart_record_at(int32_t index) {
    return index >= 0 && index < g_record_count ? g_records[index] : nullptr;
}

// [SECTION] Helpers ------------------------------------------------------------------------------

int32_t chart_follow_mode(const ChartWindow* cw) { return cw->auto_x && !cw->show_all; }

int32_t chart_considered_first(const ChartWindow* cw, const ChartSeries* s) {
    if (chart_follow_mode(cw) && cw->follow_window > 0 && s->count > cw->follow_window)
        return s->count - cw->follow_window;
    return 0;
}

int32_t chart_considered_count(const ChartWindow* cw, const ChartSeries* s) {
    return s->count - chart_considered_first(cw, s);
}

int32_t chart_cache_usable(const ChartSeries* s) { return track_usable(s->track); }

int32_t chart_ring_ordered(const ChartWindow* cw, const ChartSeries* s) {
    // The sample at `written` index d broke the order against d - 1; once d - 1 is no longer
    // considered, what is considered is in order again.
    const int64_t first_considered = s->written - s->count + chart_considered_first(cw, s);
    return s->disorder < first_considered + 1;
}

uint32_t chart_palette(int32_t index) { return kPalette[(uint32_t)index % 8u]; }

int32_t chart_repaint_due(ChartWindow* cw, uint64_t now_ms) {
    if (now_ms <= cw->last_repaint_ms || now_ms - cw->last_repaint_ms <= (uint64_t)CHART_REPAINT_MS) return 0;
    cw->last_repaint_ms = now_ms;
    return 1;
}

int32_t chart_nearest_sample(const ChartWindow* cw, const ChartSeries* s, int64_t time) {
    int32_t first = chart_considered_first(cw, s);
    int32_t best = 0;
    uint64_t best_distance = UINT64_MAX;
    for (int32_t k = first; k < s->count; k++) {
        int32_t pos = chart_ring_pos(s, k);
        int64_t t = s->times[pos];
        // Unsigned difference: |t - time| cannot overflow even for far-apart 64-bit values.
        uint64_t d = t >= time ? (uint64_t)t - (uint64_t)time : (uint64_t)time - (uint64_t)t;
        if (d < best_distance) {
            best_distance = d;
            best = pos;
        }
    }
    return best;
}

int32_t chart_track_value(const ChartSeries* s, int64_t time, int64_t* sample_time, double* value) {
    if (!chart_cache_usable(s) || time < s->track->t0 || time > s->track->t1) return 0;
    const int64_t i = track_nearest(s->track, time);
    if (i < 0) return 0;
    if (sample_time) *sample_time = s->track->times[i];
    if (value) *value = s->track->values[i];
    return 1;
}

void chart_clear_markers(ChartWindow* cw) { cw->m1_x = cw->m2_x = -1; }

void chart_invalidate(ChartWindow* cw, int32_t erase) {
    if (g_chart_hooks.invalidate) g_chart_hooks.invalidate(cw->window, erase);
}

int32_t chart_is_chart(void* window) { return live(window) ? 1 : 0; }

// [SECTION] Variables ----------------------------------------------------------------------------

int32_t chart_add_var(void* window, int32_t leaf_id) {
    ChartWindow* cw = live(window);
    if (!cw) return -1;
    for (int32_t i = 0; i < cw->series_count; i++)
        if (cw->series[i].leaf_id == leaf_id) return -1;
    if (cw->series_count >= CHART_MAX_SERIES) return -1;

    ChartSeries* s = &cw->series[cw->series_count];
    memset(s, 0, sizeof *s);
    s->leaf_id = leaf_id;
    const VarLeaf* leaf = leaf_at(leaf_id);
    if (leaf) text_copy(s->name, sizeof s->name, leaf->name);
    s->colour = chart_palette(cw->series_count);
    s->disorder = -1;

    // Replay keeps its tracks by variable name: leaf ids change when the firmware is reloaded.
    const SampleTrack* track = s->name[0] && g_chart_hooks.replay_track ? g_chart_hooks.replay_track(s->name) : nullptr;
    if (track_usable(track)) attach_track(cw, s, track);
    cw->series_count++;

    if (leaf) {
        leaf_set_watched(leaf_id, 1);
        if (g_chart_hooks.tree_set_tick) g_chart_hooks.tree_set_tick(leaf_id, 1);
        if (g_chart_hooks.refresh_status) g_chart_hooks.refresh_status();
    }
    chart_invalidate(cw, 1);
    log_printf(LOG_INFO, "波形窗口添加变量: id=%d (观测 %d)", leaf_id, leaf_watched_count());
    return 0;
}

int32_t chart_series_name(void* window, int32_t index, char* buffer, int32_t size) {
    ChartWindow* cw = live(window);
    if (!cw || index < 0 || index >= cw->series_count || !buffer || size <= 0) return 0;
    const VarLeaf* leaf = leaf_at(cw->series[index].leaf_id);
    if (!leaf) return 0;
    text_copy(buffer, (size_t)size, leaf->name);
    return 1;
}

void chart_remove_selected(void* window) {
    ChartWindow* cw = live(window);
    if (!cw) return;
    int32_t i = cw->selected;
    if (i < 0 || i >= cw->series_count) return;
    int32_t leaf_id = cw->series[i].leaf_id;
    remove_slot(cw, i);
    if (cw->selected >= cw->series_count) cw->selected = cw->series_count - 1;
    log_printf(LOG_INFO, "波形窗口移除变量: id=%d (剩余 %d 路)", leaf_id, cw->series_count);
    if (g_chart_hooks.release_leaf) g_chart_hooks.release_leaf(leaf_id);
    chart_invalidate(cw, 1);
}

void chart_clear(void* window) {
    ChartWindow* cw = live(window);
    if (!cw) return;
    for (int32_t i = 0; i < cw->series_count; i++) {
        empty_ring(&cw->series[i]);
        drop_track(&cw->series[i]);
    }
    chart_invalidate(cw, 1);
}

void chart_rebind(void* window) {
    ChartWindow* cw = live(window);
    if (!cw) return;
    int32_t ok = 0, missing = 0, i = 0;
    while (i < cw->series_count) {
        ChartSeries* s = &cw->series[i];
        if (!s->name[0]) {
            i++;
            continue;
        }
        LeafId n = leaf_find(s->name);
        if (n < 0) {
            log_printf(LOG_WARN, "波形变量重绑缺失（移除）: %s", s->name);
            remove_slot(cw, i);
            missing++;
            continue;
        }
        if (n != s->leaf_id) {
            const VarLeaf* leaf = leaf_at(n);
            log_printf(LOG_INFO, "波形变量重绑: %s id=%d->%d @0x%llX", s->name, s->leaf_id, n,
                       (unsigned long long)(leaf ? leaf->address : 0));
        }
        s->leaf_id = n;
        // The old samples may belong to another address now. A replayed recording belongs to
        // the name, not the address: a series that showed one keeps it (and its view), found
        // again by name, so rebuilding the firmware does not blank the replay being examined.
        const int32_t had_track = s->track != nullptr;
        empty_ring(s);
        drop_track(s);
        if (had_track && g_chart_hooks.replay_track) {
            const SampleTrack* track = g_chart_hooks.replay_track(s->name);
            if (track_usable(track)) s->track = track;
        }
        ok++;
        i++;
    }
    if (cw->selected >= cw->series_count) cw->selected = cw->series_count - 1;
    if (ok || missing) {
        log_printf(LOG_INFO, "波形窗口变量重绑: 成功 %d 缺失 %d", ok, missing);
        chart_invalidate(cw, 1);
    }
}

// [SECTION] Samples and replay tracks ----------------------------------------------------------

namespace {

// Folds a value into the block of a ring position, restarting the block at its first position.
inline void summary_store(TrackMinMax* block, bool first, double v) {
    if (first) *block = TrackMinMax{INFINITY, -INFINITY};
    if (v < block->min) block->min = v;
    if (v > block->max) block->max = v;
}

void store_sample(ChartWindow* cw, const Sample* sample) {
    if (!sample || cw->paused) return;
    ChartSeries* s = nullptr;
    for (int32_t i = 0; i < cw->series_count; i++) {
        if (cw->series[i].leaf_id == sample->leaf_id) {
            s = &cw->series[i];
            break;
        }
    }
    if (!s) return;
    const int64_t t = sample->timestamp_us;
    if (!chart_time_valid(t) || (s->count > 0 && t < s->times[(s->head - 1) & (CHART_RING - 1)]))
        s->disorder = s->written;
    s->written++;
    const int32_t p = s->head;
    s->times[p] = t;
    s->values[p] = sample->value;
    summary_store(&s->blocks8[p >> 3], (p & 7) == 0, sample->value);
    summary_store(&s->blocks64[p >> 6], (p & 63) == 0, sample->value);
    summary_store(&s->blocks512[p >> 9], (p & 511) == 0, sample->value);
    s->head = (p + 1) & (CHART_RING - 1);
    if (s->count < CHART_RING) s->count++;
    if (chart_repaint_due(cw, platform()->tick_ms())) chart_invalidate(cw, 0);
}

}  // namespace

void chart_on_sample(void* window, const Sample* sample) {
    ChartWindow* cw = live(window);
    if (cw) store_sample(cw, sample);
}

void chart_deliver_all(const Sample* samples, int32_t count) {
    if (!samples) return;
    for (int32_t w = 0; w < g_record_count; w++) {
        ChartWindow* cw = g_records[w];
        if (cw->tag != CHART_TAG) continue;
        for (int32_t i = 0; i < count; i++) store_sample(cw, &samples[i]);
    }
}

void chart_set_track(void* window, int32_t leaf_id, const SampleTrack* track) {
    ChartWindow* cw = live(window);
    if (!cw || !track_usable(track)) return;
    for (int32_t i = 0; i < cw->series_count; i++) {
        ChartSeries* s = &cw->series[i];
        if (s->leaf_id != leaf_id) continue;
        empty_ring(s);
        attach_track(cw, s, track);
    }
    chart_invalidate(cw, 1);
}

void chart_drop_track_refs(ChartWindow* cw) {
    for (int32_t i = 0; i < cw->series_count; i++) drop_track(&cw->series[i]);
}

int32_t chart_drop_all_track_refs() {
    int32_t dropped = 0;
    for (int32_t w = 0; w < g_record_count; w++) {
        ChartWindow* cw = g_records[w];
        int32_t here = 0;
        for (int32_t i = 0; i < cw->series_count; i++) {
            if (!cw->series[i].track) continue;
            drop_track(&cw->series[i]);
            here++;
        }
        if (here) chart_invalidate(cw, 1);
        dropped += here;
    }
    return dropped;
}
