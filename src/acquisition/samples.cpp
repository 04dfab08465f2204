// samples.cpp - acquisition control, the sample hand-off ring and the history ring.
//
// Index
//   [SECTION] State
//   [SECTION] Word-wise slot copies (lock-free slots)
//   [SECTION] Publishing and flushing
//   [SECTION] History
//   [SECTION] Starting and stopping
//   [SECTION] Start and stop commands
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "acquisition/acquisition.h"
#include "acquisition/acquisition_thread.h"
#include "core/log.h"
#include "core/platform.h"
#include "modules/modules.h"
#include "vartable/leaf_load.h"
#include "vartable/leaf_table.h"

AcquisitionHooks g_acquisition_hooks;

//-------------------------------------------------------------------------------------------------
// [SECTION] State
//-------------------------------------------------------------------------------------------------

namespace {

// The hand-off ring (guarded by the hand-off lock) and the lock-free history ring. Each history
// slot carries a sequence word naming the sample it holds (see history_word). A reader takes a
// slot only when the word names the sample it expects, before and after copying, so a slot that
// was reserved but not yet filled (or is being refilled) is never read as a sample. Writers claim
// a slot before filling it, so a writer that was lapped (descheduled while 65,536 later samples
// were published) can neither put its older sample back over a newer one nor tear one.
struct SampleHandoff {
    std::mutex lock;
    Sample ring[HANDOFF_CAPACITY];
    uint32_t write_index;
    uint32_t read_index;
    Sample history[HISTORY_CAPACITY];
    std::atomic<uint64_t> history_seq[HISTORY_CAPACITY];
    std::atomic<uint32_t> history_count;
    std::atomic<uint32_t> published;
    std::atomic<uint64_t> last_notice_tick;
};

SampleHandoff g_handoff;

// Acquisition control. Start and stop hold `control_lock` from beginning to end, so they never
// overlap, whichever thread calls them (other threads normally post them to the main thread).
// `generation` numbers each run: a thread that outlived its stop wait sees a newer generation and
// neither goes on polling nor resets the state of the run after it. `run_lock` guards the running
// generation and the hand-over of the state between a starting run and an ending thread.
struct AcquisitionControl {
    std::recursive_mutex control_lock;  // recursive: a stop may flush samples into a module that stops
    std::atomic<int32_t> state;
    std::atomic<int32_t> stop_request;
    std::atomic<uint32_t> generation;
    std::atomic<bool> shutting_down;    // the program is closing: nothing starts any more
    std::mutex run_lock;
    std::condition_variable thread_done;
    uint32_t running_generation;        // run_lock: the run whose thread is alive, 0 = none
    std::atomic<int32_t> threads_alive; // acquisition threads not yet returned, abandoned ones too
    std::thread thread;                 // control_lock
};

AcquisitionControl g_control;

}  // namespace

//-------------------------------------------------------------------------------------------------
// [SECTION] Word-wise slot copies (lock-free slots)
//-------------------------------------------------------------------------------------------------

// Last-value and history slots are written without a lock while readers may copy them; copying
// 8-byte words with relaxed atomics keeps that well defined (a reader may still see a slot
// half-updated, which the readers tolerate).
static_assert(sizeof(Sample) % 8 == 0 && alignof(Sample) == 8, "Sample copies word by word");

namespace {

void slot_store_words(Sample* slot, const Sample* sample, std::memory_order order) {
    uint64_t* dst = reinterpret_cast<uint64_t*>(slot);
    const uint64_t* src = reinterpret_cast<const uint64_t*>(sample);
    for (size_t i = 0; i < sizeof(Sample) / 8; i++) std::atomic_ref<uint64_t>(dst[i]).store(src[i], order);
}

void slot_load_words(Sample* out, const Sample* slot, std::memory_order order) {
    uint64_t* dst = reinterpret_cast<uint64_t*>(out);
    uint64_t* src = const_cast<uint64_t*>(reinterpret_cast<const uint64_t*>(slot));
    for (size_t i = 0; i < sizeof(Sample) / 8; i++) dst[i] = std::atomic_ref<uint64_t>(src[i]).load(order);
}

}  // namespace

void sample_slot_store(Sample* slot, const Sample* sample) {
    slot_store_words(slot, sample, std::memory_order_relaxed);
}

void sample_slot_load(Sample* out, const Sample* slot) {
    slot_load_words(out, slot, std::memory_order_relaxed);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Publishing and flushing
//-------------------------------------------------------------------------------------------------

namespace {

void ring_put_locked(const Sample* samples, int32_t count) {
    for (int32_t i = 0; i < count; i++) {
        g_handoff.ring[g_handoff.write_index] = samples[i];
        g_handoff.write_index = (g_handoff.write_index + 1) % HANDOFF_CAPACITY;
        // A full ring loses its oldest unread sample.
        if (g_handoff.write_index == g_handoff.read_index)
            g_handoff.read_index = (g_handoff.read_index + 1) % HANDOFF_CAPACITY;
    }
}

int32_t ring_take_locked(Sample* out, int32_t maximum) {
    int32_t n = 0;
    while (n < maximum && g_handoff.read_index != g_handoff.write_index) {
        out[n++] = g_handoff.ring[g_handoff.read_index];
        g_handoff.read_index = (g_handoff.read_index + 1) % HANDOFF_CAPACITY;
    }
    return n;
}

}  // namespace

namespace {

// A history slot's sequence word: (sample number + 1) << 1, with bit 0 set while a writer fills the
// slot; 0 for a slot never filled since the last reset. Sample numbers wrap at 2^32, so they are
// compared by their signed 32-bit difference.
constexpr uint64_t HISTORY_BUSY = 1;

uint64_t history_word(uint32_t number, bool busy) { return (uint64_t)(uint32_t)(number + 1) << 1 | (busy ? 1 : 0); }

// Positive when the word names a sample later than `number`, 0 for the same one, negative for an
// earlier one or a slot never filled.
int32_t history_word_age(uint64_t word, uint32_t number) {
    if (word == 0) return -1;
    return (int32_t)((uint32_t)(word >> 1) - (uint32_t)(number + 1));
}

// Claims the slot of sample `number` for writing: false when the slot already holds (or is being
// filled with) a later sample, whose place this one has lost. An earlier sample still being
// written is waited for: its writer holds the slot for the copy of one record.
bool history_claim(std::atomic<uint64_t>& seq, uint32_t number) {
    uint64_t current = seq.load(std::memory_order_acquire);
    for (;;) {
        if (history_word_age(current, number) >= 0) return false;
        if (current & HISTORY_BUSY) {
            std::this_thread::yield();
            current = seq.load(std::memory_order_acquire);
            continue;
        }
        if (seq.compare_exchange_weak(current, history_word(number, true), std::memory_order_acq_rel,
                                      std::memory_order_acquire))
            return true;
    }
}

}  // namespace

uint32_t history_reserve(uint32_t count) {
    return g_handoff.history_count.fetch_add(count, std::memory_order_relaxed);
}

void history_fill(uint32_t first_number, const Sample* samples, uint32_t count) {
    for (uint32_t i = 0; i < count; i++) {
        uint32_t number = first_number + i;
        uint32_t slot = number % HISTORY_CAPACITY;
        std::atomic<uint64_t>& seq = g_handoff.history_seq[slot];
        if (!history_claim(seq, number)) continue;
        // A sequence lock whose words carry the ordering themselves (ThreadSanitizer does not
        // model fences): each release store keeps the claimed sequence word before it.
        slot_store_words(&g_handoff.history[slot], &samples[i], std::memory_order_release);
        seq.store(history_word(number, false), std::memory_order_release);
    }
}

namespace {

// Copies sample `number` when its slot holds exactly it: 1 copied, 0 not filled yet (or being
// written), -1 already overwritten by a later sample.
int history_take(uint32_t number, Sample* out) {
    uint32_t slot = number % HISTORY_CAPACITY;
    std::atomic<uint64_t>& seq = g_handoff.history_seq[slot];
    uint64_t before = seq.load(std::memory_order_acquire);
    int32_t age = history_word_age(before, number);
    if (age > 0) return -1;
    if (age < 0 || (before & HISTORY_BUSY)) return 0;
    // Acquire loads keep the second look at the sequence word after the copy.
    slot_load_words(out, &g_handoff.history[slot], std::memory_order_acquire);
    uint64_t after = seq.load(std::memory_order_relaxed);
    return after == before ? 1 : -1;
}

}  // namespace

void samples_handoff(const Sample* samples, int32_t count) {
    const AcquisitionHooks& h = g_acquisition_hooks;
    if (h.recording_on && h.recording_on() && h.recording_append) h.recording_append(samples, count);
    {
        std::lock_guard<std::mutex> hold(g_handoff.lock);
        ring_put_locked(samples, count);
    }
    int32_t leaves = leaf_count();
    for (int32_t i = 0; i < count; i++) {
        const Sample* s = &samples[i];
        if (s->leaf_id >= 0 && s->leaf_id < leaves) {
            VarLeaf* leaf = leaf_at(s->leaf_id);
            if (leaf) sample_slot_store(&leaf->last_sample, s);
        }
    }
    // One reservation for the whole batch keeps a cycle's samples together in the history.
    history_fill(history_reserve((uint32_t)count), samples, (uint32_t)count);
    g_handoff.published.fetch_add((uint32_t)count, std::memory_order_relaxed);

    const Platform* p = platform();
    uint64_t now = p->tick_ms();
    uint64_t last = g_handoff.last_notice_tick.load(std::memory_order_relaxed);
    if (now - last > 15 && p->main_window_exists() &&
        g_handoff.last_notice_tick.compare_exchange_strong(last, now, std::memory_order_relaxed))
        p->post_main(KX_MSG_SAMPLES_WAITING, (uintptr_t)count, 0);
}

void samples_publish(const Sample* samples, int32_t count) {
    if (!samples || count <= 0) return;
    samples_handoff(samples, count);
}

int32_t samples_flush() {
    // Drain what is waiting now, in batches of 256: each batch goes to the windows and the window
    // modules. Samples that arrive while we deliver wait for the next notice, so a fast producer
    // cannot keep the main thread here forever.
    int32_t budget = samples_waiting();
    int32_t delivered = 0;
    static Sample batch[FLUSH_BATCH];  // main thread only
    while (budget > 0) {
        int32_t n;
        {
            std::lock_guard<std::mutex> hold(g_handoff.lock);
            n = ring_take_locked(batch, budget < FLUSH_BATCH ? budget : FLUSH_BATCH);
        }
        if (n == 0) break;
        budget -= n;
        delivered += n;
        if (g_acquisition_hooks.deliver_to_windows) g_acquisition_hooks.deliver_to_windows(batch, n);
        for (int32_t m = 0; m < window_module_count(); m++) {
            const ModuleEntry* e = window_module_at(m);
            if (e && e->descriptor.on_samples) e->descriptor.on_samples(e->context, batch, n);
        }
    }
    return delivered;
}

int32_t samples_waiting() {
    std::lock_guard<std::mutex> hold(g_handoff.lock);
    return (int32_t)((g_handoff.write_index + HANDOFF_CAPACITY - g_handoff.read_index) % HANDOFF_CAPACITY);
}

uint32_t samples_published_count() { return g_handoff.published.load(std::memory_order_relaxed); }

//-------------------------------------------------------------------------------------------------
// [SECTION] History
//-------------------------------------------------------------------------------------------------

int32_t history_read(Sample* out, int32_t maximum) {
    uint32_t n = g_handoff.history_count.load(std::memory_order_acquire);
    if (!out || maximum <= 0 || n == 0) return 0;
    uint32_t available = n < (uint32_t)HISTORY_CAPACITY ? n : (uint32_t)HISTORY_CAPACITY;
    uint32_t count = available < (uint32_t)maximum ? available : (uint32_t)maximum;
    uint32_t first = n - count;
    // The result is an unbroken run in publishing order: it ends before the first slot that a
    // writer reserved but has not filled, and restarts after a slot that was overwritten while
    // we read (the writers lapped us).
    int32_t copied = 0;
    for (uint32_t i = 0; i < count; i++) {
        int took = history_take(first + i, &out[copied]);
        if (took == 0) break;
        if (took < 0) copied = 0;
        else copied++;
    }
    return copied;
}

void samples_reset() {
    std::lock_guard<std::mutex> hold(g_handoff.lock);
    g_handoff.write_index = g_handoff.read_index = 0;
    g_handoff.history_count.store(0);
    g_handoff.published.store(0);
    g_handoff.last_notice_tick.store(0);
    memset(g_handoff.history, 0, sizeof g_handoff.history);
    for (std::atomic<uint64_t>& seq : g_handoff.history_seq) seq.store(0, std::memory_order_relaxed);
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Starting and stopping
//-------------------------------------------------------------------------------------------------

int32_t acquisition_state() { return g_control.state.load(std::memory_order_acquire); }
void acquisition_set_state(int32_t state) { g_control.state.store(state, std::memory_order_release); }
bool acquisition_stop_requested() { return g_control.stop_request.load(std::memory_order_acquire) != 0; }
uint32_t acquisition_generation() { return g_control.generation.load(std::memory_order_acquire); }

int acquisition_start() {
    const AcquisitionHooks& h = g_acquisition_hooks;
    std::lock_guard<std::recursive_mutex> control(g_control.control_lock);
    if (g_control.shutting_down.load()) return -1;
    if (acquisition_state() == ACQ_RUNNING) return 0;
    if (!driver_available()) {
        log_printf(LOG_ERROR, "无驱动模块，无法采集");
        return -1;
    }
    int32_t connected = 0;
    driver_command(KX_DRV_STATUS, nullptr, &connected);
    if (!connected) {
        log_printf(LOG_WARN, "MCU 未连接（%s），无法开始采集", selected_driver_name());
        return -1;
    }
    if (leaf_watched_count() <= 0) {
        log_printf(LOG_WARN, "没有观测变量，请先在左侧变量树勾选");
        return -1;
    }
    // A thread of an earlier run that outlived its stop wait is let go now: it sees the new
    // generation at its next check and ends without touching this run's state.
    if (g_control.thread.joinable()) g_control.thread.detach();
    uint32_t generation;
    {
        // The new generation and the running state appear together for an ending thread.
        std::lock_guard<std::mutex> hold(g_control.run_lock);
        g_control.stop_request.store(0);
        generation = g_control.generation.fetch_add(1) + 1;
        g_control.running_generation = 0;
        acquisition_set_state(ACQ_RUNNING);
    }
    if (h.recording_clear) h.recording_clear();
    if (h.recording_on && h.recording_on() && h.recording_open && h.recording_open() != 0) {
        acquisition_set_state(ACQ_IDLE);
        log_printf(LOG_ERROR, "录制缓存建立失败");
        return -1;
    }
    try {
        std::lock_guard<std::mutex> hold(g_control.run_lock);
        g_control.running_generation = generation;
        g_control.threads_alive.fetch_add(1);
        g_control.thread = std::thread([generation] {
            acquisition_thread_main(generation);
            // Only this run's own thread clears the mark: an abandoned one leaves a newer run alone.
            std::lock_guard<std::mutex> done(g_control.run_lock);
            if (g_control.running_generation == generation) g_control.running_generation = 0;
            g_control.thread_done.notify_all();
            g_control.threads_alive.fetch_sub(1, std::memory_order_release);
        });
    } catch (...) {
        g_control.threads_alive.fetch_sub(1);
        g_control.running_generation = 0;
        acquisition_set_state(ACQ_IDLE);
        if (h.recording_finish) h.recording_finish();
        log_printf(LOG_ERROR, "创建采集线程失败");
        return -1;
    }
    log_printf(LOG_INFO, "采集已开始（自由运行高速模式，%d 个变量）", leaf_watched_count());
    return 0;
}

namespace {

// Waits up to 3 s for the current run's thread, then joins it, or lets it go when it is still
// busy (it ends by itself at its next check). Called with the control lock held.
void finish_thread() {
    if (!g_control.thread.joinable()) return;
    bool ended;
    {
        std::unique_lock<std::mutex> hold(g_control.run_lock);
        ended = g_control.thread_done.wait_for(hold, std::chrono::milliseconds(3000),
                                               [] { return g_control.running_generation == 0; });
    }
    if (ended) g_control.thread.join();
    else g_control.thread.detach();
}

}  // namespace

void acquisition_stop() {
    std::lock_guard<std::recursive_mutex> control(g_control.control_lock);
    if (acquisition_state() != ACQ_RUNNING) {
        finish_thread();  // a thread that ended by itself; nothing is logged
        return;
    }
    g_control.stop_request.store(1, std::memory_order_release);
    finish_thread();
    acquisition_set_state(ACQ_IDLE);
    samples_flush();
    log_printf(LOG_INFO, "采集已停止");
}

int32_t acquisition_threads_alive() {
    return g_control.threads_alive.load(std::memory_order_acquire);
}

void acquisition_finish_recording(uint32_t generation) {
    const AcquisitionHooks& h = g_acquisition_hooks;
    if (!h.recording_finish) return;
    // A thread that outlived its stop wait must not finish the cache of the run after it. The
    // check and the finish share the run lock with the start's new generation: a start between
    // them would open its fresh cache and have it finished by the old thread.
    std::lock_guard<std::mutex> hold(g_control.run_lock);
    if (generation == acquisition_generation()) h.recording_finish();
}

void acquisition_thread_ended(uint32_t generation) {
    {
        std::lock_guard<std::mutex> hold(g_control.run_lock);
        if (generation != acquisition_generation()) return;
        acquisition_set_state(ACQ_IDLE);
        g_control.stop_request.store(0, std::memory_order_release);
    }
    platform()->post_main(KX_MSG_ACQ_ENDED, 0, 0);
}

namespace {

// A module's start (a peer's watch list) in the network channel: the probe stays connected after
// the switch, but the target the user works on is the peer's. Polling the local probe would mix
// its samples with the peer's under the same leaves (and clear the recording of the peer's).
bool network_channel_refuses_start() {
    const AcquisitionHooks& h = g_acquisition_hooks;
    if (!h.network_channel || !h.network_channel()) return false;
    log_printf(LOG_INFO, "网络通道: 不启动本机采集（目标在对端）");
    return true;
}

}  // namespace

int acquisition_request_start() {
    const Platform* p = platform();
    if (g_control.shutting_down.load()) return -1;
    if (network_channel_refuses_start()) return -1;
    if (p->on_main_thread() || !p->main_window_exists()) return acquisition_start();
    return p->post_main(KX_MSG_ACQ_START_REQUEST, 0, 0) == 0 ? 0 : -1;
}

void acquisition_request_stop() {
    const Platform* p = platform();
    if (p->on_main_thread() || !p->main_window_exists()) return acquisition_stop();
    p->post_main(KX_MSG_ACQ_STOP_REQUEST, 0, 0);
}

void acquisition_on_request(unsigned msg) {
    const AcquisitionHooks& h = g_acquisition_hooks;
    if (msg == KX_MSG_ACQ_START_REQUEST) {
        if (network_channel_refuses_start() || acquisition_start() != 0) return;
        if (h.post_to_waveform_windows) h.post_to_waveform_windows(KX_MSG_ACQ_STARTED);
    } else {
        acquisition_stop();
        if (h.post_to_waveform_windows) h.post_to_waveform_windows(KX_MSG_ACQ_STOPPED);
    }
    if (h.refresh_status) h.refresh_status();
}

void acquisition_shutdown() {
    g_control.shutting_down.store(true);
    acquisition_stop();
}

void acquisition_shutdown_reset() { g_control.shutting_down.store(false); }

void acquisition_install_firmware_hooks() {
    VarTableHooks& h = g_vartable_hooks;
    h.acquisition_state = acquisition_state;
    h.acquisition_stop = acquisition_stop;
    h.acquisition_start = acquisition_start;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Start and stop commands
//-------------------------------------------------------------------------------------------------

void acquisition_start_command() {
    const AcquisitionHooks& h = g_acquisition_hooks;
    if (h.network_channel && h.network_channel()) {
        network_command_raw(KX_NET_SEND_WATCH_LIST, nullptr, nullptr);
        return;
    }
    if (!h.probe_connected || !h.probe_connected()) {
        platform()->message_box("请先连接 MCU", "采集", PLATFORM_MB_OK | PLATFORM_MB_ICONINFORMATION);
        return;
    }
    if (acquisition_start() != 0) return;
    if (h.post_to_waveform_windows) h.post_to_waveform_windows(KX_MSG_ACQ_STARTED);
    if (h.refresh_status) h.refresh_status();
}

void acquisition_stop_command() {
    const AcquisitionHooks& h = g_acquisition_hooks;
    if (h.network_channel && h.network_channel()) {
        network_command_raw(KX_NET_STOP_SENDING, nullptr, nullptr);
        return;
    }
    acquisition_stop();
    if (h.post_to_waveform_windows) h.post_to_waveform_windows(KX_MSG_ACQ_STOPPED);
    if (h.refresh_status) h.refresh_status();
}

int64_t acquisition_clock_us() {
    // steady_clock is the monotonic high-resolution counter (QueryPerformanceCounter on Windows).
    using namespace std::chrono;
    return (int64_t)duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}
