// libFuzzer entry: any command line. The bytes are read as UTF-16 code units (so unpaired
// surrogates and every option spelling are reachable), split and parsed in place; "--log=" is
// looked up in the raw text. Every text field must stay terminated inside its array, and
// reference fields must point into the parsed text.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/command_line.h"

namespace {

template <size_t N>
void check_terminated(const char16_t (&field)[N]) {
    for (size_t i = 0; i < N; i++)
        if (field[i] == 0) return;
    __builtin_trap();
}

template <size_t N>
void check_terminated(const char (&field)[N]) {
    if (memchr(field, 0, N) == nullptr) __builtin_trap();
}

void check_reference(const char16_t* field, const std::vector<char16_t>& text) {
    if (!field) return;
    if (field < text.data() || field >= text.data() + text.size()) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char16_t> text(size / 2 + 1);
    for (size_t i = 0; i + 1 < size; i += 2) text[i / 2] = (char16_t)(data[i] | data[i + 1] << 8);
    text.back() = 0;

    char16_t log_path[260];
    int found = command_line_log_path(text.data(), log_path, 260);
    check_terminated(log_path);
    if (found != 0 && log_path[0] != 0) __builtin_trap();  // not found: empty

    CommandLineOptions o;
    command_line_clear(&o);
    parse_command_line(text.data(), &o);
    check_reference(o.elf_path, text);
    check_reference(o.select_leaf, text);
    check_reference(o.layout_load_path, text);
    check_reference(o.layout_save_path, text);
    check_terminated(o.shot_prefix);
    check_terminated(o.rename_tab);
    check_terminated(o.replay_path);
    check_terminated(o.replay_all_path);
    check_terminated(o.net_connect_host);
    check_terminated(o.net_write_name);
    check_terminated(o.net_write_value);
    check_terminated(o.net_shot_at_path);
    check_terminated(o.net_set_address);
    check_terminated(o.net_set_port);
    check_terminated(o.net_key);
    check_terminated(o.watch_list);
    check_terminated(o.window_spec);
    return 0;
}
