// net_fake_host.h - a fake host for network module tests: a leaf table, a history, and a record
// of every service call, with one set of service functions per fake (the services have no
// context argument), plus the small helpers the module tests share.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../../../tests/data/loopback_port.h"
#include "net_module.h"

namespace nettest {

struct FakeLeaf {
    std::string name;
    uint64_t address;
    int32_t size;
    int32_t watched;
};

struct FakeHost {
    std::recursive_mutex lock;
    std::deque<FakeLeaf> leaves;  // stable addresses for the names handed out
    std::vector<Sample> history;
    std::vector<Sample> pushed;
    std::vector<std::string> logs;
    std::vector<std::pair<int32_t, std::string>> writes;  // id and the text as it arrived
    std::vector<std::pair<uint32_t, uintptr_t>> posts;
    std::atomic<int32_t> starts{0}, sync_calls{0}, sync_added{0}, sync_updated{0};
    std::atomic<int32_t> write_rc{0};
    // When set, writes go here instead of being recorded: a host whose writes take the network.
    std::function<int32_t(int32_t, const char*, char*, int32_t)> write_elsewhere;
    HostApi api = {};

    bool has_log(const std::string& part) {
        std::lock_guard<std::recursive_mutex> hold(lock);
        for (const std::string& l : logs)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }
    int32_t watched(size_t id) {
        std::lock_guard<std::recursive_mutex> hold(lock);
        return leaves[id].watched;
    }
    void set_watched(size_t id, int32_t on) {
        std::lock_guard<std::recursive_mutex> hold(lock);
        leaves[id].watched = on;
    }
    std::vector<std::pair<int32_t, std::string>> writes_copy() {
        std::lock_guard<std::recursive_mutex> hold(lock);
        return writes;
    }
    std::vector<std::pair<uint32_t, uintptr_t>> posts_copy() {
        std::lock_guard<std::recursive_mutex> hold(lock);
        return posts;
    }
    int32_t find(const std::string& name) {
        std::lock_guard<std::recursive_mutex> hold(lock);
        for (size_t i = 0; i < leaves.size(); i++)
            if (leaves[i].name == name) return (int32_t)i;
        return -1;
    }
};

// The host services have no context argument: each fake host gets its own set of functions.
template <int N>
struct HostFns {
    static FakeHost* h;
    static bool in_range(int32_t id) { return id >= 0 && id < (int32_t)h->leaves.size(); }

    static int32_t log(int32_t, const char* format, ...) {
        char text[1024];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        h->logs.push_back(text);
        return 0;
    }
    static int32_t post(uint32_t msg, uintptr_t wp, intptr_t) {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        h->posts.push_back({msg, wp});
        return 1;
    }
    static int32_t count() {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        return (int32_t)h->leaves.size();
    }
    static const char* name(int32_t id) {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        return in_range(id) ? h->leaves[(size_t)id].name.c_str() : nullptr;
    }
    static uint64_t address(int32_t id) {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        return in_range(id) ? h->leaves[(size_t)id].address : 0;
    }
    static int32_t size(int32_t id) {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        return in_range(id) ? h->leaves[(size_t)id].size : 0;
    }
    static int32_t write(int32_t id, double value, char* error, int32_t capacity) {
        char text[64];
        std::snprintf(text, sizeof text, "%.17g", value);
        return write_text(id, text, error, capacity);
    }
    static int32_t write_text(int32_t id, const char* text, char* error, int32_t capacity) {
        if (h->write_elsewhere) return h->write_elsewhere(id, text, error, capacity);
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        h->writes.push_back({id, text});
        if (h->write_rc != 0 && error && capacity > 0) std::snprintf(error, (size_t)capacity, "写入失败 (err=5)");
        return h->write_rc;
    }
    static void push(const Sample* s) {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        h->pushed.push_back(*s);
    }
    static int32_t is_watched(int32_t id) {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        return in_range(id) ? h->leaves[(size_t)id].watched : 0;
    }
    static int32_t set_watched(int32_t id, int32_t on) {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        if (!in_range(id)) return -1;
        h->leaves[(size_t)id].watched = on ? 1 : 0;
        return 0;
    }
    static int32_t start() {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        h->starts++;
        return 0;
    }
    static int32_t read_history(Sample* out, int32_t max) {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        int32_t n = (int32_t)h->history.size() < max ? (int32_t)h->history.size() : max;
        if (n > 0) std::memcpy(out, h->history.data() + h->history.size() - (size_t)n, sizeof(Sample) * (size_t)n);
        return n;
    }
    static int32_t upsert(const char* n, uint64_t a, int32_t s) {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        int32_t id = h->find(n);
        if (id >= 0) {
            if (h->leaves[(size_t)id].address == a) return 0;
            h->leaves[(size_t)id].address = a;
            return 2;
        }
        h->leaves.push_back({n, a, s, 0});
        return 1;
    }
    static void sync_done(int32_t added, int32_t updated) {
        std::lock_guard<std::recursive_mutex> hold(h->lock);
        h->sync_calls++;
        h->sync_added += added;
        h->sync_updated += updated;
    }
    static void install(FakeHost* host) {
        h = host;
        HostApi& a = host->api;
        a.version = KX_HOST_API_VERSION;
        a.host_log = log;
        a.host_post_message = post;
        a.host_leaf_count = count;
        a.host_leaf_name = name;
        a.host_leaf_address = address;
        a.host_leaf_size = size;
        a.host_write_value = write;
        a.host_write_text = write_text;
        a.host_push_sample = push;
        a.host_is_watched = is_watched;
        a.host_set_watched = set_watched;
        a.host_start_acquisition = start;
        a.host_read_history = read_history;
        a.host_upsert_remote_leaf = upsert;
        a.host_remote_sync_done = sync_done;
    }
};
template <int N>
FakeHost* HostFns<N>::h = nullptr;

inline bool wait_until(const std::function<bool()>& done, int timeout_ms = 20000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

inline Sample make_sample(int32_t id, int64_t ts, double value) {
    Sample s = {};
    s.timestamp_us = ts;
    s.leaf_id = id;
    s.size = 4;
    s.value = value;
    std::snprintf(s.text, sizeof s.text, "%g", value);
    return s;
}

}  // namespace nettest
