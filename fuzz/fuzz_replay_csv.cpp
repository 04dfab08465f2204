// libFuzzer entry: any bytes as a recording CSV, read from a FILE* by the load-all replay (header
// map, samples, bucket envelope, the newest lines handed over) or by the real-time step replay,
// whose lines the splitter also takes with small field limits. Nothing may crash, read
// outside a line or overflow; a split never reports more fields than asked for.
// Inputs are held to 2 KB (fuzz/seeds/fuzz_replay_csv.options): every line is read twice by a
// load (the newest lines are handed over again as samples), so a run costs in proportion to its
// length, and 2 KB already holds hundreds of lines, quoted fields and more samples per track than
// the track's first arrays; the run rate is a third higher than at libFuzzer's default 4 KB.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "acquisition/acquisition.h"
#include "firmware/types.h"
#include "fuzz_platform.h"
#include "recording/recording_csv.h"
#include "recording/replay.h"
#include "vartable/leaf_table.h"

namespace {

TypeInfo g_enumerators[3];
TypeInfo* g_enumerator_list[3] = {&g_enumerators[0], &g_enumerators[1], &g_enumerators[2]};
TypeInfo g_enum_type;

// One leaf of every kind the codec parses; the seeds' headers name them.
void make_leaves() {
    const char* names[3] = {"MODE_IDLE", "MODE_RUN", "MODE_FAULT"};
    const int64_t values[3] = {0, 1, -2};
    for (int i = 0; i < 3; i++) {
        g_enumerators[i] = TypeInfo{};
        g_enumerators[i].name = names[i];
        g_enumerators[i].enum_value = values[i];
    }
    g_enum_type = TypeInfo{};
    g_enum_type.kind = TYPE_ENUM;
    g_enum_type.byte_size = 1;
    g_enum_type.child_count = 3;
    g_enum_type.children = g_enumerator_list;
    leaf_table_reset();
    leaf_add("u32", 0x20000000, 4, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("i8", 0x20000004, 1, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("f32", 0x20000008, 4, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("f64", 0x20000010, 8, TYPE_FLOAT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("i64", 0x20000018, 8, TYPE_INT, 1, 0, 0, 0, 0, nullptr);
    leaf_add("u64", 0x20000020, 8, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
    leaf_add("bits", 0x20000028, 4, TYPE_UINT, 0, 0, 1, 3, 5, nullptr);
    leaf_add("sbits", 0x2000002C, 2, TYPE_INT, 1, 0, 1, 9, 7, nullptr);
    leaf_add("flag", 0x20000030, 1, TYPE_BOOL, 0, 0, 0, 0, 0, nullptr);
    leaf_add("mode", 0x20000031, 1, TYPE_ENUM, 1, 0, 0, 0, 0, &g_enum_type);
    leaf_add("ptr", 0x20000034, 4, TYPE_UINT, 0, 1, 0, 0, 0, nullptr);
    leaf_add("wide", 0x20000040, 16, TYPE_UINT, 0, 0, 0, 0, 0, nullptr);
}

// Every line of the input split again with a limit of 1..8 fields: the count stays within the
// limit and every field ends inside the line. (Lines are cut here rather than read through a
// second line reader: its 4 MB buffer would cost more than the rest of the run under ASan.)
void split_every_line(const uint8_t* data, size_t size) {
    static char line[1 << 16];
    CsvField fields[8];
    int32_t limit = 1;
    for (size_t begin = 0; begin < size;) {
        const uint8_t* end = (const uint8_t*)memchr(data + begin, '\n', size - begin);
        size_t length = (end ? (size_t)(end - data) : size) - begin;
        if (length >= sizeof line) length = sizeof line - 1;
        memcpy(line, data + begin, length);
        line[length] = 0;
        int32_t n = csv_split(line, length, fields, limit);
        if (n < 0 || n > limit) __builtin_trap();
        for (int32_t i = 0; i < n; i++) {
            if (fields[i].text < line || fields[i].text + fields[i].length > line + length) __builtin_trap();
            if (fields[i].text[fields[i].length] != 0) __builtin_trap();
            (void)csv_parse_i64(fields[i].text);
        }
        limit = limit % 8 + 1;
        begin = end ? (size_t)(end - data) + 1 : size;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz_platform_serve(nullptr, 0);
    make_leaves();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz_platform_serve(data, size);
    // Each input goes through one of the two replays, picked by its length: an input of even
    // length is loaded whole, one of odd length is played step by step and its lines are split
    // again with small limits. Both replays read lines, the header and fields with the same
    // parser, so every branch stays reachable through either; running both on every input only
    // parsed each line four times. A length is a choice the fuzzer makes with one inserted byte,
    // and the inputs in a corpus keep their meaning (no byte of the file is spent on a mode).
    if (size % 2 == 0) {
        replay_load_all(FUZZ_INPUT_PATH);
        samples_flush();
        // The tracks go with the input that made them: every run frees what it allocated, so
        // the fuzzer's leak check has nothing to run the input again for.
        replay_store_reset();
        return 0;
    }
    if (replay_start(FUZZ_INPUT_PATH) == 0) {
        for (int tick = 0; tick < 16 && replay_step_running(); tick++) replay_tick();
        replay_stop();
    }
    samples_flush();
    split_every_line(data, size);
    return 0;
}
