// acquisition.h - the watch list's acquisition control, the sample hand-off and the history.
//
// Every sample (acquired, read back after a write, pushed by a module, replayed) enters through
// samples_publish (or the acquisition thread's inline copy of it) and reaches the windows through
// samples_flush on the main thread.
#pragma once
#include <atomic>
#include <cstdint>

#include "vartable/sample.h"

enum : int32_t {
    ACQ_IDLE = 0,
    ACQ_RUNNING = 1,
    ACQ_REPLAY = 2,
    HANDOFF_CAPACITY = 8192,
    HISTORY_CAPACITY = 65536,
    FLUSH_BATCH = 256,
};

// Steps of other subsystems that acquisition calls (recording cache, windows, status bar). A null
// entry is a subsystem not in this build: its step is skipped in place.
struct AcquisitionHooks {
    bool (*recording_on)();                              // the record switch
    void (*recording_append)(const Sample* samples, int32_t count);
    void (*recording_clear)();                           // deletes the previous cache file
    int (*recording_open)();                             // 0, or -1 when the cache cannot be set up
    void (*recording_finish)();
    // Main thread: offers one batch to every built-in window (waveform, then numeric).
    void (*deliver_to_windows)(const Sample* samples, int32_t count);
    // Main thread: posts a message (WM_APP + 6 / + 7) to every live waveform window.
    void (*post_to_waveform_windows)(unsigned msg);
    // Main thread: refreshes the status bar and the toolbar's enabled states.
    void (*refresh_status)();
    // The connection flag of the probe connection (1 connected) and whether the network channel
    // is chosen; null reads as 0.
    int (*probe_connected)();
    int (*network_channel)();
};
extern AcquisitionHooks g_acquisition_hooks;

// ---- Acquisition control --------------------------------------------------------------------
int32_t acquisition_state();
void acquisition_set_state(int32_t state);   // replay enters and leaves state 2
// 0 started (or already running), -1 refused (the reason is logged).
int acquisition_start();
void acquisition_stop();
// True while a stop was requested (read by the acquisition thread once per cycle).
bool acquisition_stop_requested();

// Start and stop belong to the main thread. From another thread (a module's) these post the
// request to the main window, which runs acquisition_on_request; on the main thread, or with no
// main window (tools, tests), they act at once. 0 = started or posted, -1 = refused (also in the
// network channel, whose target is the peer's: a module's start never polls the local probe there).
int acquisition_request_start();
void acquisition_request_stop();
// Main thread: a posted start or stop request (WM_APP + 45 / + 46), with the window notices.
void acquisition_on_request(unsigned msg);
// Shut-down: stops acquisition for good; later starts are refused (a watch list arriving while
// the program closes starts nothing). The reset is for tests.
void acquisition_shutdown();
void acquisition_shutdown_reset();

// Gives the firmware load command (VarTableHooks) its stop and restart steps: a reload while
// acquiring stops the thread before the leaf table is rebuilt under it and starts it again after.
void acquisition_install_firmware_hooks();

// The toolbar's and menu's start and stop commands (main thread).
void acquisition_start_command();
void acquisition_stop_command();

// ---- Sample hand-off --------------------------------------------------------------------------
// Hands samples over (any thread): recording, hand-off ring, last-value slots, history, notice.
void samples_publish(const Sample* samples, int32_t count);
// Main thread: drains every waiting sample to the windows and window modules, in batches of 256;
// returns the number delivered.
int32_t samples_flush();
// Copies the most recent samples of the history, oldest first; returns the number copied.
int32_t history_read(Sample* out, int32_t maximum);
// The two steps of storing into the history: reserve numbered slots (returns the first number),
// then fill them. A reader never takes a slot that is reserved but not yet filled.
uint32_t history_reserve(uint32_t count);
void history_fill(uint32_t first_number, const Sample* samples, uint32_t count);
// Samples ever published (32-bit, wraps).
uint32_t samples_published_count();
// Samples waiting in the hand-off ring (a snapshot).
int32_t samples_waiting();

// The run number of the current acquisition (each start makes a new one).
uint32_t acquisition_generation();
// Acquisition threads that have not yet returned, including ones let go after a stop wait ran out
// (a thread that returned has touched no shared state since).
int32_t acquisition_threads_alive();
// The acquisition thread's recording end: finishes the cache when `generation` is still current.
void acquisition_finish_recording(uint32_t generation);
// The acquisition thread's end steps: when `generation` is still current, state idle, stop flag
// cleared and WM_APP + 2 posted to the main window.
void acquisition_thread_ended(uint32_t generation);
// The hand-off steps of samples_publish without the argument checks (the acquisition thread).
void samples_handoff(const Sample* samples, int32_t count);
// Word-wise copies into and out of lock-free slots (last-value and history slots).
void sample_slot_store(Sample* slot, const Sample* sample);
void sample_slot_load(Sample* out, const Sample* slot);
// Tests: empties the ring and the history and returns every counter to its start.
void samples_reset();

// The microsecond clock of the rate window: the monotonic high-resolution counter.
int64_t acquisition_clock_us();
