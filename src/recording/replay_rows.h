// replay_rows.h - turning recording CSV lines into Samples: the header's column-to-leaf map and
// the samples of one data line. Shared by the load-all and the step replay.
#pragma once
#include <cstddef>
#include <cstdint>

#include "recording/recording_csv.h"
#include "vartable/leaf_table.h"

// Which leaf each header column names (-1: not a leaf), and the timestamp column (-1: none).
struct ReplayColumns {
    int32_t timestamp_column;
    int32_t column_count;
    LeafId leaf[CSV_FIELD_CAPACITY];
};

// Everything one replay reads with: the line reader, the map, split fields and the samples of
// one line (about 600 KB, so it lives on the heap).
struct ReplayWork {
    CsvLineReader reader;
    ReplayColumns columns;
    CsvField fields[CSV_FIELD_CAPACITY];
    Sample samples[CSV_FIELD_CAPACITY];
};

// Builds the map from a header line (split in place). Leading blanks of a field are skipped;
// "timestamp_us" marks the timestamp column, fields beginning with "time_iso" are ignored, every
// other field is looked up as an exact leaf name.
void replay_map_header(char* line, size_t length, ReplayColumns* map, CsvField* fields);
// Reads the header line of an opened reader into the map (no columns when the file is empty).
void replay_read_header(ReplayWork* work);

// Splits an already read data line into work->fields, up to the header's column count; returns
// the field count and the line's timestamp (0 without a timestamp column or field).
int32_t replay_split_line(ReplayWork* work, char* line, size_t length, int64_t* timestamp);
// Makes the samples of a split line into work->samples from index `first` on (at most one per
// header column, so first + column_count must not pass CSV_FIELD_CAPACITY); returns how many.
int32_t replay_line_samples(ReplayWork* work, int32_t field_count, int64_t timestamp, int32_t first = 0);

// One sample from a field's text for a leaf: parsed with the leaf's kind into at most
// min(size, 8) bytes (a bit-field's value is placed at its bit offset, as the target holds it),
// decoded back into value and text. False when the text does not parse or is empty.
bool replay_make_sample(const VarLeaf* leaf, const char* text, int64_t timestamp, Sample* out);

// The value replay_make_sample gives the sample, without the sample's text: what the load-all
// replay keeps of a field.
bool replay_field_value(const VarLeaf* leaf, const char* text, double* value);

// The value a field gives a leaf, as replay_make_sample would decode it, for the plain texts of
// recordings: decimal integers within a plain integer leaf's range, and decimals (with an
// exponent of up to three digits) whose digits are exact in a double and whose power of ten is
// at most 22 for float leaves. False for every other text or leaf (the caller then takes
// replay_make_sample).
bool replay_fast_value(const VarLeaf* leaf, const char* text, size_t length, double* value);

enum : uint8_t {
    REPLAY_FAST_NONE,  // every text through the codec
    REPLAY_FAST_INT,
    REPLAY_FAST_UINT,
    REPLAY_FAST_F32,
    REPLAY_FAST_F64,
};
// How replay_fast_value reads a leaf's texts, worked out once per column.
struct ReplayFastKind {
    uint8_t kind;  // REPLAY_FAST_*
    uint64_t top;  // largest magnitude an integer leaf holds
};
ReplayFastKind replay_fast_kind(const VarLeaf* leaf);
// replay_fast_value with the leaf's kind worked out beforehand.
bool replay_fast_parse(ReplayFastKind kind, const char* text, size_t length, double* value);
