// recording_csv.h - the recording CSV format: writing fields and lines, reading lines and
// splitting them into fields. Shared by the recording cache (writer) and replay (reader).
//
// File layout: UTF-8 with byte-order mark, lines ended by a single line feed, a header line
// "timestamp_us,time_iso,<leaf>,<leaf>..." and one data line per sample carrying exactly one
// value in its leaf's column.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

enum : int32_t {
    CSV_LINE_CAPACITY = 4 * 1024 * 1024,   // longest line the reader takes whole (a wide header)
    CSV_READ_START_CAPACITY = 64 * 1024,   // the reader's first buffer; it grows for longer lines
    CSV_FIELD_CAPACITY = 4100,             // fields per line: 4096 leaves, the two time columns, slack
    CSV_TIME_TEXT_CAPACITY = 40,
};

// ---- Writing ----------------------------------------------------------------------------------

// True when the text must be written in double quotes (line feed, carriage return, quote, comma).
bool csv_needs_quotes(const char* text, size_t length);
// Appends one field (quoted as needed, inner quotes doubled) at out[*used]; returns false when
// it does not fit (out is then unchanged past *used). A null text is an empty field.
bool csv_append_field(char* out, size_t capacity, size_t* used, const char* text, size_t length);

// Local time texts for data lines, cached per whole second (the local date and time only change
// on second boundaries, so the text is that of format_timestamp_us).
struct CsvTimeCache {
    int64_t second;                        // the cached second, or INT64_MIN
    char prefix[CSV_TIME_TEXT_CAPACITY];   // "YYYY-MM-DD hh:mm:ss"
};
void csv_time_cache_reset(CsvTimeCache* cache);
// Writes the "%04d-%02d-%02d %02d:%02d:%02d.%06d" local time of `us`; returns its length.
size_t csv_time_text(CsvTimeCache* cache, int64_t us, char* out, size_t capacity);

// ---- Reading ----------------------------------------------------------------------------------

// A buffered line reader over a binary stream. Lines end at a line feed; trailing carriage
// returns and line feeds are removed; a leading byte-order mark on the first line is skipped.
// A line longer than CSV_LINE_CAPACITY - 1 bytes is skipped whole and counted.
// Ordinary lines fit the reader's own start buffer, so opening a file allocates nothing; only a
// wider line moves the reader to a heap buffer, freed again on close.
struct CsvLineReader {
    FILE* file;
    char* buffer;          // capacity bytes: start_buffer, or a heap buffer grown by csv_read_line
    size_t capacity;       // CSV_READ_START_CAPACITY doubling up to CSV_LINE_CAPACITY
    size_t begin, end;     // unread bytes are buffer[begin, end)
    int64_t buffer_offset; // file offset of buffer[0]
    bool at_eof;
    bool first_line;
    bool read_error;
    int64_t overlong_lines;
    char start_buffer[CSV_READ_START_CAPACITY];
};

// Takes over an open stream; true (the start buffer needs no allocation).
bool csv_reader_open(CsvLineReader* reader, FILE* file);
// Frees a grown buffer and closes the stream.
void csv_reader_close(CsvLineReader* reader);
// Back to the start of the file (and its byte-order mark); false when the stream cannot seek.
bool csv_reader_rewind(CsvLineReader* reader);
// Next line, terminated in place (valid until the next call); false at the end of the file.
bool csv_read_line(CsvLineReader* reader, char** line, size_t* length);
// File offset of a line the last csv_read_line returned.
inline int64_t csv_line_offset(const CsvLineReader* reader, const char* line) {
    return reader->buffer_offset + (int64_t)(line - reader->buffer);
}
// Continues reading at a file offset that csv_line_offset gave; false when the stream cannot seek.
bool csv_reader_seek(CsvLineReader* reader, int64_t offset);

// One field of a split line: its text, terminated in place, quotes removed.
struct CsvField {
    const char* text;
    uint32_t length;
};

// Splits a line in place into at most `maximum` fields; returns the field count (an empty line
// is one empty field). A field that begins with a double quote runs to the first quote that is
// not doubled; inside it a doubled quote stands for one quote and commas and line breaks are
// text. Anything after the closing quote up to the next comma is kept as text.
int32_t csv_split(char* line, size_t length, CsvField* fields, int32_t maximum);

// The timestamp field as a signed decimal 64-bit integer: leading blanks, an optional sign and
// the digits that follow (clamped to the 64-bit limits); 0 when there are no digits.
int64_t csv_parse_i64(const char* text);
