// test_recording_cache_owner.cpp - a cache file named after this process's id that was there
// before this process recorded anything belongs to an earlier instance that had the same id
// (process ids are reused): it is a crash leftover to keep, never a file to overwrite.
#include <gtest/gtest.h>

#include <filesystem>

#include "core/log.h"
#include "core/platform.h"
#include "platform_recorder.h"
#include "recording/recording.h"
#include "test_recording_util.h"
#include "vartable/leaf_table.h"

namespace {

namespace fs = std::filesystem;

TEST(RecordingCacheOwner, AnEarlierInstanceWithTheSameProcessIdKeepsItsLeftover) {
    PlatformRecorder rec;
    rectest::ScratchDir dir;
    rec.env["LOCALAPPDATA"] = dir.path();
    log_reset();
    leaf_table_reset();
    leaf_add("x", 0x20000000, 4, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_set_watched(0, 1);
    const std::string cache = dir.path("Kestrelix");
    fs::create_directories(rectest::from_utf8(cache + "/cache"));
    const std::string mine = cache + "/cache/recording." + std::to_string(platform()->process_id()) + ".csv";
    const std::string leftover = "\xEF\xBB\xBFtimestamp_us,time_iso,x\n1,2024-01-01 00:00:00.000001,41\n";
    rectest::write_file(mine, leftover);
    // An earlier rescue under the same id stays as it is.
    const std::string older = "\xEF\xBB\xBFtimestamp_us,time_iso,x\n1,2024-01-01 00:00:00.000001,40\n";
    const std::string recovered = cache + "/cache/recording.recovered." + std::to_string(platform()->process_id()) + ".csv";
    rectest::write_file(recovered, older);

    ASSERT_EQ(recording_open(), 0);
    Sample s = {};
    s.timestamp_us = 1700000000000000;
    s.leaf_id = 0;
    s.size = 4;
    snprintf(s.text, sizeof s.text, "7");
    recording_append(&s, 1);
    recording_finish();

    int kept = 0;
    for (const auto& e : fs::directory_iterator(rectest::from_utf8(cache + "/cache")))
        kept += rectest::read_file(rectest::utf8(e.path())) == leftover;
    EXPECT_EQ(kept, 1) << "the earlier instance's unsaved recording was overwritten";
    EXPECT_EQ(rectest::read_file(recovered), older);
    EXPECT_NE(rectest::read_file(mine).find(",7"), std::string::npos);
    recording_clear();
    leaf_table_reset();
    log_reset();
}

}  // namespace
