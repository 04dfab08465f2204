// command_line.h - the parsed command line and the automation options.
#pragma once
#include <cstdint>

// The parsed command line. Text fields are UTF-16 (cut to size - 1, terminated) unless marked UTF-8;
// the reference fields point into the command-line text, which parsing splits in place.
struct CommandLineOptions {
    const char16_t* elf_path;
    const char16_t* select_leaf;
    const char16_t* layout_load_path;
    const char16_t* layout_save_path;
    int no_layout;
    char16_t shot_prefix[260];
    char16_t rename_tab[260];
    char16_t replay_path[260];
    char16_t replay_all_path[260];
    int32_t net_listen_port;          // -1 = not requested
    char16_t net_connect_host[260];
    int32_t net_connect_port;
    int net_sync;
    int net_watch;
    char net_write_name[64];          // UTF-8
    char net_write_value[64];         // UTF-8
    int net_download;
    int32_t net_watchstop_ms;
    char16_t net_shot_at_path[260];
    int32_t net_shot_at_ms;
    char16_t net_set_address[64];
    char16_t net_set_port[16];
    char16_t watch_list[1024];
    char16_t window_spec[1024];
    int32_t net_exit_ms;
    char net_key[128];                // UTF-8: the shared key of remote operation (never logged)
};

// Resets every field (net_listen_port to -1).
void command_line_clear(CommandLineOptions* options);
// Splits the text at blanks outside double quotes (in place, removing the quoting as Windows
// programs do) and fills the options.
void parse_command_line(char16_t* command_line, CommandLineOptions* options);
// True when one token of the raw text (quotes honoured) equals the flag, e.g. "--no-layout": the
// start-up reads it before the theme, long before the whole line is parsed.
bool command_line_has_flag(const char16_t* command_line, const char* flag);
// The value of "--log=" found anywhere in the raw text, up to the next blank outside quotes and
// unquoted, copied into `out`;
// 0 when present with 1..259 characters, else -1 (then `out` is empty).
int command_line_log_path(const char16_t* command_line, char16_t* out, int capacity);
