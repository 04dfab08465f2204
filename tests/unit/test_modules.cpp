// Module loader, registry and driver selection over scripted loader operations: the rejection
// rules and their log lines, the 32-module cap, the default driver, the role lists, select_driver
// and unloading in reverse order.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/text.h"
#include "modules/modules.h"
#include "platform_recorder.h"

namespace {

// What a scripted file does when loaded.
struct FakeFile {
    std::string name;
    bool is_directory = false;
    bool load_fails = false;
    bool has_export = true;
    ModuleDescriptor descriptor = {};
    int32_t init_result = 0;
    bool has_init = true;
    bool null_descriptor = false;
};

std::vector<FakeFile> g_files;
std::vector<std::string> g_events;    // "load x", "free x", "init name", "destroy name", "cmd name code"
std::vector<std::string> g_log;
std::string g_existing_dir;           // the one directory path_exists accepts
bool g_enum_fails = false;
std::string g_enum_dir;
const FakeFile* g_current;            // the file whose export is being called

struct Enumeration {
    size_t next;
};
Enumeration g_enum;

bool fake_path_exists(const char* path) { return g_existing_dir == path; }
void* fake_enum_open(const char* dir) {
    g_enum_dir = dir;
    if (g_enum_fails) return nullptr;
    g_enum.next = 0;
    return &g_enum;
}
bool fake_enum_next(void* handle, char* name, size_t capacity, bool* is_directory) {
    Enumeration* e = (Enumeration*)handle;
    if (e->next >= g_files.size()) return false;
    const FakeFile& f = g_files[e->next++];
    text_copy(name, capacity, f.name.c_str());
    *is_directory = f.is_directory;
    return true;
}
void fake_enum_close(void*) { g_events.push_back("close"); }

FakeFile* file_for_path(const char* path) {
    for (FakeFile& f : g_files) {
        size_t n = f.name.size(), len = std::strlen(path);
        if (len >= n && f.name == path + len - n) return &f;
    }
    return nullptr;
}
void* fake_library_load(const char* path, unsigned long* error) {
    FakeFile* f = file_for_path(path);
    if (!f || f->load_fails) {
        *error = 193;
        return nullptr;
    }
    g_events.push_back("load " + f->name);
    return f;
}
const ModuleDescriptor* fake_get() {
    return g_current->null_descriptor ? nullptr : &g_current->descriptor;
}
void* fake_symbol(void* library, const char* name) {
    FakeFile* f = (FakeFile*)library;
    if (!f->has_export || std::strcmp(name, "kx_module_get") != 0) return nullptr;
    g_current = f;
    return (void*)&fake_get;
}
void fake_free(void* library) { g_events.push_back("free " + ((FakeFile*)library)->name); }

const ModuleLoaderOps kOps = {fake_path_exists, fake_enum_open, fake_enum_next, fake_enum_close,
                              fake_library_load, fake_symbol, fake_free};

// Module entries: the context is the FakeFile, so every call can be traced to its module.
int32_t module_init(const HostApi* api, void** context) {
    EXPECT_EQ(api, host_api());
    g_events.push_back("init " + std::string(g_current->descriptor.name));
    *context = (void*)g_current;
    return g_current->init_result;
}
void module_destroy(void* context) {
    g_events.push_back("destroy " + std::string(context ? ((FakeFile*)context)->descriptor.name : "(null)"));
}
int32_t module_command(void* context, int32_t code, void*, void*) {
    const char* name = context ? ((FakeFile*)context)->descriptor.name : "(null)";
    char line[128];
    std::snprintf(line, sizeof line, "cmd %s %d", name, (int)code);
    g_events.push_back(line);
    return 0;
}

FakeFile module_file(const char* file, const char* name, uint32_t flags, uint32_t version = 4) {
    FakeFile f;
    f.name = file;
    f.descriptor.api_version = version;
    f.descriptor.flags = flags;
    text_copy(f.descriptor.name, sizeof f.descriptor.name, name);
    text_copy(f.descriptor.version, sizeof f.descriptor.version, "1.2");
    text_copy(f.descriptor.description, sizeof f.descriptor.description, "test module");
    f.descriptor.init = module_init;
    f.descriptor.destroy = module_destroy;
    f.descriptor.command = module_command;
    return f;
}

void record_log(LogLevel level, const char16_t* text) {
    char utf8[1200];
    utf16_to_utf8(text, utf8, sizeof utf8);
    g_log.push_back(std::string(log_level_name(level)) + " " + utf8);
}

bool log_has(const std::string& line) {
    for (const std::string& l : g_log)
        if (l == line) return true;
    return false;
}

// A path under the fake executable directory with the platform's separator.
std::string exe_path(const char* rest) {
    std::string out = "/opt/kx/bin";
    for (const char* p = rest; *p; p++) out += *p == '/' ? platform_path_separator() : *p;
    return out;
}

class Modules : public ::testing::Test {
protected:
    void SetUp() override {
        modules_unload();
        g_files.clear();
        g_events.clear();
        g_log.clear();
        g_enum_fails = false;
        recorder.exe_dir = "/opt/kx/bin";
        g_existing_dir = exe_path("/dll");
        host_api_fill();
        modules_set_loader(&kOps);
        log_set_sink(record_log);
    }
    void TearDown() override {
        log_set_sink(nullptr);
        modules_unload();
        modules_set_loader(nullptr);
    }
    PlatformRecorder recorder;
};

}  // namespace

TEST_F(Modules, DirectoryBesideTheExecutableElseTwoLevelsUpElseOneWarning) {
    modules_load();
    EXPECT_EQ(g_enum_dir, exe_path("/dll"));
    modules_unload();
    g_existing_dir = "";
    modules_load();
    EXPECT_EQ(g_enum_dir, exe_path("/../../dll"));
    g_log.clear();
    g_enum_fails = true;
    EXPECT_EQ(modules_load(), 0);
    ASSERT_EQ(g_log.size(), 1u);
    EXPECT_EQ(g_log[0], "WARN 模块目录不存在: " + exe_path("/../../dll"));
    EXPECT_EQ(driver_count(), 0);
    EXPECT_EQ(selected_driver_index(), -1);
}

TEST_F(Modules, RejectionRulesAndTheirLogLines) {
    FakeFile sub = module_file("subdir.dll", "dir", 1);
    sub.is_directory = true;
    FakeFile broken = module_file("broken.dll", "broken", 1);
    broken.load_fails = true;
    FakeFile plain = module_file("plain.dll", "plain", 1);
    plain.has_export = false;
    FakeFile v3 = module_file("old.dll", "OldModule", 1, 3);
    FakeFile v5 = module_file("new.dll", "NewModule", 1, 5);
    FakeFile none = module_file("none.dll", "none", 1);
    none.null_descriptor = true;
    FakeFile failing = module_file("failing.dll", "Failing", 1);
    failing.init_result = 1;
    FakeFile no_init = module_file("noinit.dll", "NoInit", 1);
    no_init.descriptor.init = nullptr;
    g_files = {sub, broken, plain, v3, v5, none, failing, no_init};

    EXPECT_EQ(modules_load(), 1);
    std::vector<std::string> expected_log = {
        "WARN 加载模块失败: broken.dll (err=193)",
        "WARN 模块 old.dll API 版本不匹配，已跳过",
        "WARN 模块 new.dll API 版本不匹配，已跳过",
        "WARN 模块 none.dll API 版本不匹配，已跳过",
        "ERROR 模块 Failing 初始化失败，已跳过",
        "INFO 已加载模块: NoInit v1.2 - test module",
        "INFO 驱动模块: NoInit",
    };
    EXPECT_EQ(g_log, expected_log);  // the export-less DLL and the directory leave no line
    std::vector<std::string> expected_events = {
        "load plain.dll",  "free plain.dll", "load old.dll",     "free old.dll",
        "load new.dll",    "free new.dll",   "load none.dll",    "free none.dll",
        "load failing.dll", "init Failing",  "free failing.dll", "load noinit.dll",
        "close",
    };
    EXPECT_EQ(g_events, expected_events);  // no destroy for the failed init
    ASSERT_EQ(module_count(), 1);
    EXPECT_EQ(module_at(0)->context, nullptr);
}

TEST_F(Modules, ThirtyThirdModuleIsDestroyedAndEndsTheScan) {
    for (int i = 0; i < 34; i++) {
        char name[16], file[16];
        std::snprintf(name, sizeof name, "m%d", i);
        std::snprintf(file, sizeof file, "m%d.dll", i);
        g_files.push_back(module_file(file, name, 2));
    }
    EXPECT_EQ(modules_load(), 32);
    EXPECT_TRUE(log_has("WARN 模块数量超限，m32 未加载"));
    std::vector<std::string> tail(g_events.end() - 5, g_events.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"load m32.dll", "init m32", "destroy m32", "free m32.dll", "close"}));
    for (const std::string& e : g_events) EXPECT_EQ(e.find("m33"), std::string::npos);
    EXPECT_TRUE(log_has("WARN 未找到驱动模块（J-Link 等）"));
    EXPECT_EQ(window_module_count(), 32);
}

TEST_F(Modules, DefaultDriverRoleListsAndNetworkModule) {
    g_files = {module_file("a.dll", "ST-Link", 1), module_file("b.dll", "J-Link", 1),
               module_file("c.dll", "Both", 5), module_file("d.dll", "Net2", 4), module_file("e.dll", "Win", 2)};
    modules_load();
    EXPECT_EQ(driver_count(), 3);
    EXPECT_STREQ(driver_name(selected_driver_index()), "J-Link");
    EXPECT_STREQ(driver_name(2), "Both");
    EXPECT_EQ(driver_name(3), nullptr);
    EXPECT_EQ(driver_name(-1), nullptr);
    ASSERT_NE(network_module(), nullptr);
    EXPECT_STREQ(network_module()->descriptor.name, "Both");
    EXPECT_EQ(window_module_count(), 1);
    g_events.clear();
    modules_notify_window_modules(11);
    EXPECT_EQ(g_events, (std::vector<std::string>{"cmd Win 11"}));
    EXPECT_TRUE(log_has("INFO 网络模块: Both"));
    EXPECT_TRUE(log_has("INFO 驱动模块: J-Link"));
}

TEST_F(Modules, NamesWithoutTheDefaultSpellingSelectTheFirstDriver) {
    g_files = {module_file("a.dll", "ST-Link", 1), module_file("b.dll", "JLINK", 1),
               module_file("c.dll", "probe-jlink", 1)};
    modules_load();
    EXPECT_STREQ(selected_driver_name(), "probe-jlink");
    modules_unload();
    g_files = {module_file("a.dll", "ST-Link", 1), module_file("b.dll", "JLINK", 1)};
    modules_load();
    EXPECT_STREQ(selected_driver_name(), "ST-Link");
}

TEST_F(Modules, SelectDriverDisconnectsOnlyADifferentOldDriver) {
    g_files = {module_file("a.dll", "ST-Link", 1), module_file("b.dll", "JLink", 1)};
    modules_load();
    g_events.clear();
    EXPECT_EQ(select_driver(1), 0);  // already selected: no disconnect
    EXPECT_TRUE(g_events.empty());
    EXPECT_EQ(select_driver(2), -2);
    EXPECT_EQ(select_driver(-1), -2);
    EXPECT_EQ(selected_driver_index(), 1);
    EXPECT_EQ(select_driver(0), 0);
    EXPECT_EQ(g_events, (std::vector<std::string>{"cmd JLink 2"}));
    EXPECT_EQ(driver_command(KX_DRV_STATUS, nullptr, nullptr), 0);
    EXPECT_EQ(g_events.back(), "cmd ST-Link 3");
}

TEST_F(Modules, UnloadDisconnectsThenDestroysInReverseOrder) {
    g_files = {module_file("a.dll", "A", 1), module_file("b.dll", "B", 2), module_file("c.dll", "C", 4)};
    g_files[1].descriptor.destroy = nullptr;
    modules_load();
    g_events.clear();
    modules_unload();
    EXPECT_EQ(g_events, (std::vector<std::string>{"cmd A 2", "destroy C", "destroy A"}));
    EXPECT_EQ(module_count(), 0);
    EXPECT_EQ(selected_driver_index(), -1);
    EXPECT_EQ(window_module_count(), 0);
    EXPECT_FALSE(driver_available());
    EXPECT_EQ(driver_command(KX_DRV_STATUS, nullptr, nullptr), -1);
    EXPECT_EQ(network_command_raw(KX_NET_STOP, nullptr, nullptr), -1);
}

TEST_F(Modules, DescriptorIsCopiedAtAcceptance) {
    g_files = {module_file("a.dll", "Original", 1)};
    modules_load();
    text_copy(g_files[0].descriptor.name, sizeof g_files[0].descriptor.name, "Changed");
    EXPECT_STREQ(driver_name(0), "Original");
}
