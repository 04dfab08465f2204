// recording_files.h - the few whole-file operations the recording cache needs beyond opening a
// stream (platform()->open_file): removing, replacing, measuring and trimming a file by its UTF-8
// path (wide paths on Windows).
#pragma once
#include <cstdint>

// Deletes a file; 0, or -1 when it could not be deleted (a missing file is -1 too).
int recording_file_remove(const char* path);
// Moves `from` over `to`, replacing an existing `to`; 0 or -1.
int recording_file_replace(const char* from, const char* to);
// Size in bytes, or -1 when the file cannot be opened.
int64_t recording_file_size(const char* path);
// Cuts a file after its last line feed, so a line cut short by a failed write is not read as a
// line; 0 (also when nothing had to be cut) or -1.
int recording_file_trim_partial_line(const char* path);
// Calls `found` with the name (UTF-8, no folder) of every regular file in a folder; the count of
// files seen, or -1 when the folder cannot be read.
int32_t recording_files_in(const char* folder, void (*found)(const char* name, void* context), void* context);
