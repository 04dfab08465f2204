// replay_step.cpp - the step replay: a file played back in real time, one tick of main-window
// timer 2 (10 ms) at a time. A line is due when the file time elapsed since its first line is
// no later than the wall time elapsed since the first tick.
#include <cstring>

#include "acquisition/acquisition.h"
#include "core/log.h"
#include "core/platform.h"
#include "recording/replay.h"
#include "recording/replay_rows.h"

namespace {

// The one step replay (null when none runs).
struct StepReplay {
    ReplayWork work;
    bool pending;            // a read line waits for its time; its fields are split in `work`
    int32_t pending_fields;
    int64_t pending_time;
    int64_t file_start;      // timestamp of the first line (0 until a line had one)
    int64_t wall_start;      // clock_now_us of the first tick
    bool started;
};

// The one step replay (its record is about 200 KB, so it is kept rather than allocated per start);
// g_step points at it while a replay runs.
StepReplay g_step_storage;
StepReplay* g_step;

// A line is due when its file time since the first line is no later than the wall time elapsed.
// File times are whatever the file says (any 64-bit value): the difference is taken in 128 bits,
// since first + elapsed or line - first overflow near the ends of the range.
bool line_due(int64_t file_start, int64_t line_time, int64_t elapsed) {
    return (__int128)line_time - file_start <= elapsed;
}

void end_step_replay() {
    csv_reader_close(&g_step->work.reader);
    g_step = nullptr;
    // An acquisition started meanwhile owns the state word now.
    if (acquisition_state() == ACQ_REPLAY) acquisition_set_state(ACQ_IDLE);
    log_printf(LOG_INFO, "回放已停止");
}

// Reads the next non-empty line and makes it pending; false at the end of the file.
bool read_pending(StepReplay* r) {
    char* line;
    size_t length;
    do {
        if (!csv_read_line(&r->work.reader, &line, &length)) return false;
    } while (length == 0);
    r->pending_fields = replay_split_line(&r->work, line, length, &r->pending_time);
    r->pending = true;
    return true;
}

}  // namespace

bool replay_step_running() { return g_step != nullptr; }

int replay_start(const char* path) {
    if (g_step) replay_stop();
    // The state word can only say one thing: a running acquisition ends before replay takes it.
    if (acquisition_state() == ACQ_RUNNING) acquisition_stop();
    FILE* file = path && path[0] ? platform()->open_file(path, "rb") : nullptr;
    if (!file) return -1;
    StepReplay* r = &g_step_storage;
    if (!csv_reader_open(&r->work.reader, file)) {
        fclose(file);
        return -1;
    }
    r->pending = false;
    r->pending_fields = 0;
    r->pending_time = 0;
    r->file_start = 0;
    r->wall_start = 0;
    r->started = false;
    replay_read_header(&r->work);
    g_step = r;
    acquisition_set_state(ACQ_REPLAY);
    log_printf(LOG_INFO, "开始离线回放: %s", path);
    return 0;
}

void replay_tick() {
    StepReplay* r = g_step;
    if (!r) return;
    int64_t now = clock_now_us();
    if (!r->started) {
        r->wall_start = now;
        r->started = true;
    }
    // A burst of lines that are all due (a file without times) is spread over several ticks, so
    // the main thread keeps answering.
    for (int32_t published = 0; published < REPLAY_TICK_LINE_LIMIT; published++) {
        if (!r->pending && !read_pending(r)) {
            log_printf(LOG_INFO, "回放结束");
            platform()->post_main(KX_MSG_ACQ_ENDED, 0, 0);
            end_step_replay();
            return;
        }
        if (r->file_start == 0) r->file_start = r->pending_time;
        if (!line_due(r->file_start, r->pending_time, now - r->wall_start)) return;  // due at a later tick
        int32_t made = replay_line_samples(&r->work, r->pending_fields, r->pending_time);
        samples_publish(r->work.samples, made);
        r->pending = false;
    }
}

void replay_stop() {
    if (g_step) end_step_replay();
}

void replay_stop_command() {
    if (g_replay_chart_hooks.kill_replay_timer) g_replay_chart_hooks.kill_replay_timer();
    replay_stop();
    if (g_acquisition_hooks.refresh_status) g_acquisition_hooks.refresh_status();
}
