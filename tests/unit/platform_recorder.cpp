// platform_recorder.cpp - the test Platform.
#include "platform_recorder.h"

#include <mutex>

namespace {

PlatformRecorder* g_recorder;
std::mutex g_recorder_lock;

int rec_post_main(unsigned msg, uintptr_t w, intptr_t l) {
    std::lock_guard<std::mutex> hold(g_recorder_lock);
    if (!g_recorder->window_exists || g_recorder->post_fails) return -1;
    g_recorder->posts.push_back({msg, w, l});
    return 0;
}
bool rec_window_exists() { return g_recorder->window_exists; }
bool rec_on_main_thread() { return std::this_thread::get_id() == g_recorder->main_thread; }
int rec_message_box(const char* text, const char* caption, unsigned flags) {
    std::lock_guard<std::mutex> hold(g_recorder_lock);
    g_recorder->boxes.push_back({text ? text : "", caption ? caption : "", flags});
    if (g_recorder->box_answers.empty()) return PLATFORM_ID_OK;
    int a = g_recorder->box_answers.front();
    g_recorder->box_answers.pop_front();
    return a;
}
uint64_t rec_tick_ms() { return g_recorder->tick.load(); }
int64_t rec_now_us() {
    std::lock_guard<std::mutex> hold(g_recorder_lock);
    return g_recorder->clock_advances ? g_recorder->now++ : g_recorder->now;
}
int rec_exe_dir(char* out, size_t size) {
    if (g_recorder->exe_dir.empty()) return -1;
    snprintf(out, size, "%s", g_recorder->exe_dir.c_str());
    return 0;
}
int rec_get_env(const char* name, char* out, size_t size) {
    auto it = g_recorder->env.find(name);
    if (it == g_recorder->env.end()) return -1;
    snprintf(out, size, "%s", it->second.c_str());
    return 0;
}
void rec_debug_output(const char16_t* text) {
    std::lock_guard<std::mutex> hold(g_recorder_lock);
    g_recorder->debug_output.push_back(text ? text : u"");
}
void rec_sleep_ms(unsigned) {}

}  // namespace

PlatformRecorder::PlatformRecorder() {
    table_ = *platform_default();
    table_.post_main = rec_post_main;
    table_.main_window_exists = rec_window_exists;
    table_.on_main_thread = rec_on_main_thread;
    table_.message_box = rec_message_box;
    table_.tick_ms = rec_tick_ms;
    table_.now_us = rec_now_us;
    table_.exe_dir = rec_exe_dir;
    table_.get_env = rec_get_env;
    table_.debug_output_utf16 = rec_debug_output;
    table_.sleep_ms = rec_sleep_ms;
    g_recorder = this;
    previous_ = platform_install(&table_);
}

PlatformRecorder::~PlatformRecorder() {
    platform_install(previous_ == platform_default() ? nullptr : previous_);
    g_recorder = nullptr;
}

PlatformRecorder* platform_recorder() { return g_recorder; }

std::vector<RecordedPost> PlatformRecorder::posts_snapshot() {
    std::lock_guard<std::mutex> hold(g_recorder_lock);
    return posts;
}
