// recording.h - the record switch, the recording cache and the record command.
//
// While the switch is on, every acquisition opens the cache: samples collect in a RAM buffer of
// 87381 samples (about 10 MB) and, once it is full, go on into the CSV cache file
// LOCALAPPDATA\Kestrelix\cache\recording.csv. Switching off asks whether to keep the recording
// and copies the cache file to the chosen place.
//
// Threads: recording_append runs on whichever thread publishes samples (the acquisition thread,
// a module's thread, the main thread); the other calls run on the main thread or at the end of
// the acquisition thread. One lock keeps them apart, so a module pushing a sample while the main
// thread finishes or clears the cache never sees it half-changed.
#pragma once
#include <cstddef>
#include <cstdint>

#include "vartable/sample.h"

enum : int32_t {
    RECORDING_RAM_SAMPLES = 87381,     // 87381 x 120 bytes, just under 10 MiB
    RECORDING_PATH_CAPACITY = 1024,    // UTF-8 bytes of the cache path
    RECORDING_FLUSH_INTERVAL_MS = 1000,  // file samples reach the disk at least this often
};

// ---- Record switch and command (main thread) ------------------------------------------------
// True while the record switch is on (the toolbar shows "停止录制" then, else "录制").
bool recording_switch_on();
// The record command of the toolbar and menu: switches on, or off with the save question.
void recording_command();

// Steps of the record command that belong to the user interface; null entries are skipped
// (a missing save dialog counts as a cancelled one).
struct RecordingUiHooks {
    // The save-file dialog: writes the chosen UTF-8 path and returns 1, or 0 when cancelled.
    int (*choose_save_path)(char* out, size_t capacity);
    // Refreshes the toolbar (the record button's text) and the main window's layout.
    void (*refresh_toolbar)();
};
extern RecordingUiHooks g_recording_ui_hooks;

// Fills the recording slots of the acquisition hooks (switch, open, append, clear, finish).
// The shell calls it once at start-up.
void recording_install_hooks();

// ---- Recording cache --------------------------------------------------------------------------
// Clears and opens the cache (RAM buffer, path); 0, or -1 when the RAM buffer cannot be had.
int recording_open();
// Closes and deletes the cache; keeps nothing.
void recording_clear();
// The clear at an acquisition start (the acquisition hook): as recording_clear, but a finished
// recording that was never offered for saving is first moved to recording.previous.<process
// id>.csv beside the cache (replacing this instance's older one, never another instance's), so
// starting again never deletes a recording unasked.
void recording_clear_before_start();
// Takes samples while the cache is active (any thread).
void recording_append(const Sample* samples, int32_t count);
// Writes what is still in RAM and closes the file; the cache stays for saving.
void recording_finish();
// 1 when a finished recording holds data that can be saved, else 0.
int recording_has_data();
// Copies the finished recording to a UTF-8 path, replacing an existing file; 0 or -1.
int recording_save_as(const char* path);

// The close request of the main window, before anything is torn down: a recording that holds
// data gets the save question (as when switching off) instead of being deleted unasked. Stops
// a running acquisition first; leaves the switch off and the cache cleared.
void recording_offer_save_before_exit();
// Shut-down: switch off and clear the cache.
void recording_shutdown();

// ---- Read-outs (status, tests) ----------------------------------------------------------------
bool recording_active();
int64_t recording_recorded_count();
// Samples held in RAM right now.
int32_t recording_ram_count();
// Copies the cache path (UTF-8; empty when none).
void recording_cache_path(char* out, size_t capacity);
// Samples that were not written because their variable got no column (it was ticked after the
// file's header had been written).
int64_t recording_unwritten_count();
