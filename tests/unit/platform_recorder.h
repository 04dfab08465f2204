// platform_recorder.h - a Platform for unit tests: records posts and message boxes, answers from
// a script, and serves a settable clock, executable directory and environment.
#pragma once
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "core/platform.h"

// One posted main-window message.
struct RecordedPost {
    unsigned msg;
    uintptr_t wparam;
    intptr_t lparam;
};

// One message box the core showed.
struct RecordedBox {
    std::string text, caption;
    unsigned flags;
};

// Recorder state; one instance is installed at a time (RAII).
class PlatformRecorder {
public:
    PlatformRecorder();
    ~PlatformRecorder();

    std::vector<RecordedPost> posts;        // read only once other threads are done, else use:
    std::vector<RecordedPost> posts_snapshot();
    std::vector<RecordedBox> boxes;
    std::deque<int> box_answers;            // answers in order; PLATFORM_ID_OK when empty
    std::atomic<bool> window_exists{true};
    std::thread::id main_thread = std::this_thread::get_id();
    std::atomic<bool> post_fails{false};
    int64_t now = 1700000000000000;         // wall clock in microseconds
    bool clock_advances = false;            // when set, each read adds one microsecond
    std::atomic<uint64_t> tick{1000};        // monotonic milliseconds; tests advance it
    std::string exe_dir = "";                // empty: exe_dir fails
    std::map<std::string, std::string> env;
    std::vector<std::u16string> debug_output;

private:
    Platform table_;
    const Platform* previous_;
};

PlatformRecorder* platform_recorder();
