// recording_csv.cpp - writing and reading the recording CSV format.
//
// Index
//   [SECTION] Writing fields
//   [SECTION] Time texts
//   [SECTION] Reading lines
//   [SECTION] Splitting fields
#include "recording/recording_csv.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"

//-------------------------------------------------------------------------------------------------
// [SECTION] Writing fields
//-------------------------------------------------------------------------------------------------

bool csv_needs_quotes(const char* text, size_t length) {
    for (size_t i = 0; i < length; i++) {
        char c = text[i];
        if (c == '\n' || c == '\r' || c == '"' || c == ',') return true;
    }
    return false;
}

bool csv_append_field(char* out, size_t capacity, size_t* used, const char* text, size_t length) {
    if (!text) length = 0;
    size_t at = *used;
    if (!csv_needs_quotes(text, length)) {
        if (at + length > capacity) return false;
        if (length) memcpy(out + at, text, length);
        *used = at + length;
        return true;
    }
    size_t need = length + 2;
    for (size_t i = 0; i < length; i++) need += text[i] == '"';
    if (at + need > capacity) return false;
    out[at++] = '"';
    for (size_t i = 0; i < length; i++) {
        if (text[i] == '"') out[at++] = '"';
        out[at++] = text[i];
    }
    out[at++] = '"';
    *used = at;
    return true;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Time texts
//-------------------------------------------------------------------------------------------------

void csv_time_cache_reset(CsvTimeCache* cache) {
    cache->second = INT64_MIN;
    cache->prefix[0] = 0;
}

size_t csv_time_text(CsvTimeCache* cache, int64_t us, char* out, size_t capacity) {
    // Times before 1970 take format_timestamp_us's own rules; everything else reuses the date
    // and time of the second and only writes the microseconds.
    if (us < 0 || capacity < 27) {
        format_timestamp_us(us, out, capacity);
        return strlen(out);
    }
    int64_t second = us / 1000000;
    int micro = (int)(us % 1000000);
    if (second != cache->second) {
        char full[CSV_TIME_TEXT_CAPACITY];
        format_timestamp_us(second * 1000000, full, sizeof full);
        char* dot = strrchr(full, '.');
        if (!dot || dot - full >= (ptrdiff_t)sizeof cache->prefix) {
            format_timestamp_us(us, out, capacity);
            return strlen(out);
        }
        *dot = 0;
        memcpy(cache->prefix, full, (size_t)(dot - full) + 1);
        cache->second = second;
    }
    size_t n = strlen(cache->prefix);
    if (n + 8 > capacity) {
        format_timestamp_us(us, out, capacity);
        return strlen(out);
    }
    memcpy(out, cache->prefix, n);
    out[n] = '.';
    for (int i = 6; i >= 1; i--) {
        out[n + (size_t)i] = (char)('0' + micro % 10);
        micro /= 10;
    }
    out[n + 7] = 0;
    return n + 7;
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Reading lines
//-------------------------------------------------------------------------------------------------

bool csv_reader_open(CsvLineReader* reader, FILE* file) {
    // Most lines are short: the buffer starts small and grows only for a wide line, so a replay
    // of an ordinary file does not hold the longest-line capacity twice over. The start buffer is
    // not cleared: bytes are read into it before they are looked at.
    reader->buffer = reader->start_buffer;
    reader->capacity = CSV_READ_START_CAPACITY;
    reader->begin = reader->end = 0;
    reader->buffer_offset = 0;
    reader->at_eof = false;
    reader->first_line = true;
    reader->read_error = false;
    reader->overlong_lines = 0;
    reader->file = file;
    return true;
}

void csv_reader_close(CsvLineReader* reader) {
    if (reader->buffer != reader->start_buffer) delete[] reader->buffer;
    reader->buffer = nullptr;
    if (reader->file) fclose(reader->file);
    reader->file = nullptr;
}

bool csv_reader_rewind(CsvLineReader* reader) {
    if (!reader->file || fseek(reader->file, 0, SEEK_SET) != 0) return false;
    clearerr(reader->file);
    reader->begin = reader->end = 0;
    reader->buffer_offset = 0;
    reader->at_eof = false;
    reader->first_line = true;
    reader->read_error = false;
    reader->overlong_lines = 0;
    return true;
}

bool csv_reader_seek(CsvLineReader* reader, int64_t offset) {
    if (offset <= 0) return csv_reader_rewind(reader);
    // Windows' long is 32 bits: recordings past 2 GiB need the 64-bit seek calls.
#if defined(_WIN32)
    if (!reader->file || _fseeki64(reader->file, offset, SEEK_SET) != 0) return false;
#else
    if (!reader->file || fseeko(reader->file, (off_t)offset, SEEK_SET) != 0) return false;
#endif
    clearerr(reader->file);
    reader->begin = reader->end = 0;
    reader->buffer_offset = offset;
    reader->at_eof = false;
    reader->first_line = false;
    reader->read_error = false;
    return true;
}

namespace {

// Moves the unread bytes to the front and fills the rest of the buffer; false when nothing new came.
bool refill(CsvLineReader* r) {
    if (r->at_eof) return false;
    if (r->begin > 0) {
        memmove(r->buffer, r->buffer + r->begin, r->end - r->begin);
        r->end -= r->begin;
        r->buffer_offset += (int64_t)r->begin;
        r->begin = 0;
    }
    size_t room = r->capacity - 1 - r->end;
    if (room == 0) return false;
    size_t got = fread(r->buffer + r->end, 1, room, r->file);
    if (got < room) {
        r->at_eof = true;
        if (ferror(r->file)) r->read_error = true;
    }
    r->end += got;
    return got > 0;
}

// Doubles the buffer for a line that does not fit yet; false at the longest-line capacity or when
// memory runs out (the line is then skipped as over-long).
bool grow(CsvLineReader* r) {
    if (r->capacity >= (size_t)CSV_LINE_CAPACITY) return false;
    size_t capacity = r->capacity * 2 < (size_t)CSV_LINE_CAPACITY ? r->capacity * 2 : (size_t)CSV_LINE_CAPACITY;
    char* bigger = new (std::nothrow) char[capacity];
    if (!bigger) return false;
    memcpy(bigger, r->buffer + r->begin, r->end - r->begin);
    r->buffer_offset += (int64_t)r->begin;
    r->end -= r->begin;
    r->begin = 0;
    if (r->buffer != r->start_buffer) delete[] r->buffer;
    r->buffer = bigger;
    r->capacity = capacity;
    return true;
}

// Drops bytes up to and including the next line feed (the rest of an over-long line).
void skip_rest_of_line(CsvLineReader* r) {
    for (;;) {
        char* lf = (char*)memchr(r->buffer + r->begin, '\n', r->end - r->begin);
        if (lf) {
            r->begin = (size_t)(lf - r->buffer) + 1;
            return;
        }
        r->begin = r->end;
        if (!refill(r)) return;
    }
}

}  // namespace

bool csv_read_line(CsvLineReader* r, char** line, size_t* length) {
    for (;;) {
        char* start = r->buffer + r->begin;
        char* lf = (char*)memchr(start, '\n', r->end - r->begin);
        size_t n;
        if (lf) {
            n = (size_t)(lf - start);
            r->begin += n + 1;
        } else if (r->begin == 0 && r->end >= r->capacity - 1 && grow(r)) {
            continue;
        } else if (r->end - r->begin >= r->capacity - 1) {
            // The buffer is full and holds no line end: too long to take whole. Taking the pieces
            // as lines would hand their fields to the wrong columns, so the line is skipped.
            r->overlong_lines++;
            r->first_line = false;
            r->begin = r->end;
            skip_rest_of_line(r);
            continue;
        } else if (refill(r)) {
            continue;
        } else if (r->end > r->begin) {
            n = r->end - r->begin;  // the last line has no line feed
            r->begin = r->end;
        } else {
            return false;
        }
        while (n > 0 && (start[n - 1] == '\r' || start[n - 1] == '\n')) n--;
        start[n] = 0;
        if (r->first_line) {
            r->first_line = false;
            if (n >= 3 && (unsigned char)start[0] == 0xEF && (unsigned char)start[1] == 0xBB &&
                (unsigned char)start[2] == 0xBF) {
                start += 3;
                n -= 3;
            }
        }
        *line = start;
        *length = n;
        return true;
    }
}

//-------------------------------------------------------------------------------------------------
// [SECTION] Splitting fields
//-------------------------------------------------------------------------------------------------

int32_t csv_split(char* line, size_t length, CsvField* fields, int32_t maximum) {
    if (!line || maximum <= 0) return 0;
    int32_t count = 0;
    size_t i = 0;
    for (;;) {
        char* out = line + i;  // unquoting only shortens, so the text is rebuilt in place
        size_t w = 0;
        if (i < length && line[i] == '"') {
            i++;
            while (i < length) {
                if (line[i] == '"') {
                    if (i + 1 < length && line[i + 1] == '"') {
                        out[w++] = '"';
                        i += 2;
                        continue;
                    }
                    i++;
                    break;
                }
                out[w++] = line[i++];
            }
        }
        // The rest of the field up to the next comma in one step: most fields are unquoted, and
        // for them the text already stands where it belongs (out + w == line + i).
        const char* comma = i < length ? static_cast<const char*>(memchr(line + i, ',', length - i)) : nullptr;
        const size_t stop = comma ? (size_t)(comma - line) : (i < length ? length : i);
        if (out + w != line + i) memmove(out + w, line + i, stop - i);
        w += stop - i;
        i = stop;
        bool more = i < length;  // stopped at a comma
        out[w] = 0;
        fields[count].text = out;
        fields[count].length = (uint32_t)w;
        count++;
        if (!more || count == maximum) return count;
        i++;
    }
}

int64_t csv_parse_i64(const char* text) {
    if (!text) return 0;
    while (*text == ' ' || *text == '\t') text++;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    uint64_t limit = negative ? (uint64_t)INT64_MAX + 1 : (uint64_t)INT64_MAX;
    // Division by a constant: a multiply, where a division by a variable costs tens of cycles
    // on every digit of every line.
    const uint64_t tenth = negative ? ((uint64_t)INT64_MAX + 1) / 10 : (uint64_t)INT64_MAX / 10;
    const unsigned last = negative ? (unsigned)(((uint64_t)INT64_MAX + 1) % 10) : (unsigned)((uint64_t)INT64_MAX % 10);
    uint64_t v = 0;
    for (; *text >= '0' && *text <= '9'; text++) {
        unsigned d = (unsigned)(*text - '0');
        if (v > tenth || (v == tenth && d > last)) {
            v = limit;
            break;
        }
        v = v * 10 + d;
    }
    if (negative) return v == (uint64_t)INT64_MAX + 1 ? INT64_MIN : -(int64_t)v;
    return (int64_t)v;
}
