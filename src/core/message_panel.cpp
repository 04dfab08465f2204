// message_panel.cpp - message panel rows and the cross-thread log sink.
#include "core/message_panel.h"

#include <cstring>
#include <new>

#include "core/platform.h"

namespace {

// Ring of rows; `head` is the slot of the newest row.
struct MessagePanel {
    MessagePanelRow* rows;
    int head;
    int count;
    MessagePanelChanged on_change;
    void* user;
};

MessagePanel g_panel;

void notify(int inserted) {
    if (g_panel.on_change) g_panel.on_change(g_panel.user, g_panel.count, inserted);
}

}  // namespace

void message_panel_create(MessagePanelChanged on_change, void* user) {
    g_panel.on_change = on_change;
    g_panel.user = user;
    if (g_panel.rows) return;
    g_panel.rows = new (std::nothrow) MessagePanelRow[MESSAGE_PANEL_MAX_ROWS];
    g_panel.head = 0;
    g_panel.count = 0;
}

void message_panel_destroy() {
    delete[] g_panel.rows;
    g_panel = MessagePanel{};
}

bool message_panel_exists() { return g_panel.rows != nullptr; }

void message_panel_format_time(int64_t t, char16_t* out, size_t capacity) {
    int minutes = (int)((t / 60000000) % 60);
    int seconds = (int)(t / 1000000 - (t / 60000000) * 60);
    int millis = (int)((t % 1000000) / 1000);
    char text[64];
    text_printf(text, sizeof text, "%02d:%02d.%03d", minutes, seconds, millis);
    utf8_to_utf16(text, out, capacity);
}

void message_panel_add(LogLevel level, const char16_t* text) {
    if (!g_panel.rows) return;
    g_panel.head = (g_panel.head + MESSAGE_PANEL_MAX_ROWS - 1) % MESSAGE_PANEL_MAX_ROWS;
    MessagePanelRow* row = &g_panel.rows[g_panel.head];
    message_panel_format_time(clock_now_us(), row->time, 64);
    utf8_to_utf16(log_level_panel_name(level), row->level, 16);
    text16_copy(row->message, 1024, text ? text : u"");
    // The ring holds exactly 5000: inserting the 5001st row overwrites (removes) the oldest.
    if (g_panel.count < MESSAGE_PANEL_MAX_ROWS) g_panel.count++;
    notify(1);
}

int message_panel_count() { return g_panel.count; }

const MessagePanelRow* message_panel_row(int index) {
    if (!g_panel.rows || index < 0 || index >= g_panel.count) return nullptr;
    return &g_panel.rows[(g_panel.head + index) % MESSAGE_PANEL_MAX_ROWS];
}

void message_panel_clear() {
    g_panel.count = 0;
    notify(0);
}

namespace {

// Appends as much of `text` as fits below capacity - 1; returns the new length.
size_t append16(char16_t* out, size_t length, size_t capacity, const char16_t* text) {
    while (*text && length + 1 < capacity) out[length++] = *text++;
    out[length] = 0;
    return length;
}

}  // namespace

int message_panel_copy_text(MessageRowSelected selected, void* user, char16_t* out, size_t capacity) {
    if (!out || capacity == 0) return 0;
    out[0] = 0;
    if (!selected) return 0;
    if (capacity > MESSAGE_COPY_CAPACITY) capacity = MESSAGE_COPY_CAPACITY;
    size_t length = 0;
    int counted = 0;
    for (int i = 0; i < g_panel.count; i++) {
        if (!selected(user, i)) continue;
        const MessagePanelRow* row = message_panel_row(i);
        // Field limits as the list shows them: time 63, level 15, message 1023 characters.
        length = append16(out, length, capacity, row->time);
        length = append16(out, length, capacity, u" ");
        length = append16(out, length, capacity, row->level);
        length = append16(out, length, capacity, u" ");
        length = append16(out, length, capacity, row->message);
        length = append16(out, length, capacity, u"\r\n");
        if (length >= MESSAGE_COPY_STOP) break;
        counted++;
    }
    return counted;
}

void log_to_panel(LogLevel level, const char16_t* text) {
    const Platform* p = platform();
    if (!p->main_window_exists()) return;
    if (p->on_main_thread()) {
        message_panel_add(level, text);
        return;
    }
    LogRecord* record = new (std::nothrow) LogRecord;
    if (!record) return;
    record->level = level;
    text16_copy(record->text, 1024, text ? text : u"");
    if (p->post_main(KX_MSG_LOG_RECORD, (uintptr_t)record, 0) != 0) delete record;
}

void log_record_deliver(LogRecord* record) {
    if (!record) return;
    message_panel_add(record->level, record->text);
    delete record;
}
