// theme.cpp - the theme flag and the two colour rows.
#include "workspace/theme.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/platform.h"
#include "core/text.h"
#include "workspace/layout.h"

#include <atomic>

namespace {

// Light and dark rows, index 0..21 (see the element list in theme.h's users).
const uint32_t kThemeRows[2][THEME_COLOR_COUNT] = {
    {
        0xF0F0F0, 0xF0F0F0, 0x000000, 0x787878, 0x808080, 0xFFFFFF, 0x000000, 0xFFFFFF,
        0x000000, 0x0078D7, 0xFFFFFF, 0x000000, 0xFFFFFF, 0x000000, 0xE6E6E6, 0xF0F0F0,
        0x000000, 0xF0F0F0, 0x000000, 0x0C0C12, 0x2D2D3A, 0x9696A0,
    },
    {
        0x2B2B2B, 0x323234, 0xDCDCDC, 0x8C8C91, 0x505055, 0x1E1E20, 0xDCDCDC, 0x1E1E20,
        0xD7D7D7, 0x005AA0, 0xFFFFFF, 0x5A5A5F, 0x1C1C1E, 0xCDCDCD, 0x3C3C40, 0x323234,
        0xD2D2D2, 0x323234, 0xD2D2D2, 0x0C0C12, 0x2D2D3A, 0x9696A0,
    },
};

// Read by painting code on the main thread; atomic so a test or tool thread may read it too.
std::atomic<int32_t> g_theme_dark{0};

}  // namespace

int32_t theme_is_dark() { return g_theme_dark.load(std::memory_order_relaxed); }

void theme_store_flag(int32_t dark) { g_theme_dark.store(dark ? 1 : 0, std::memory_order_relaxed); }

uint32_t theme_color_of(int32_t dark, int32_t index) {
    if (index < 0 || index >= THEME_COLOR_COUNT) index = 0;
    return kThemeRows[dark ? 1 : 0][index];
}

uint32_t theme_color(int32_t index) { return theme_color_of(theme_is_dark(), index); }

void theme_load_setting() {
    if (!layout_default_file_enabled()) return;  // --no-layout: the user's file is not read
    const Platform* p = platform();
    char appdata[264], path[600];
    if (p->get_env("LOCALAPPDATA", appdata, sizeof appdata) == 0)
        text_printf(path, sizeof path, "%s%cKestrelix%clayout.ini", appdata, platform_path_separator(),
                    platform_path_separator());
    else
        text_copy(path, sizeof path, "layout.ini");
    FILE* f = p->open_file(path, "rb");
    if (!f) return;
    char line[512];
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "theme=", 6) != 0) continue;
        theme_store_flag(atoi(line + 6) != 0 ? 1 : 0);
        break;
    }
    fclose(f);
}

ThemeElementColours theme_element(ThemeElement element) {
    switch (element) {
        case THEME_EDIT_FIELD: return {6, 5, 5, -1};
        case THEME_VARIABLE_TREE: return {8, 7, 7, 11};
        case THEME_LIST: return {13, 12, 12, -1};
        case THEME_TAB_STRIP: return {16, 15, 15, -1};
        case THEME_STATUS_BAR: return {18, 17, 17, 4};
        default: return {2, 0, 0, -1};
    }
}

namespace {

bool ascii_equal_nocase(const char* a, const char* b) {
    for (; *a && *b; a++, b++) {
        char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a + 32) : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b + 32) : *b;
        if (x != y) return false;
    }
    return *a == *b;
}

}  // namespace

bool theme_restyles_class(const char* class_name) {
    if (!class_name) return false;
    static const char* const kClasses[] = {"Button", "ComboBox", "Edit", "SysTabControl32"};
    for (const char* c : kClasses)
        if (ascii_equal_nocase(class_name, c)) return true;
    return false;
}

const char* theme_visual_style(int32_t dark) { return dark ? "DarkMode_Explorer" : "Explorer"; }

uint32_t theme_header_text_color(int32_t dark) { return dark ? 0xCDCDCD : 0x000000; }
uint32_t theme_header_separator_color(int32_t dark) { return dark ? 0x505055 : 0x808080; }

void theme_combo_mark_line(int32_t i, int32_t right, int32_t top, int32_t bottom, int32_t* x0, int32_t* x1,
                           int32_t* y) {
    *y = (top + bottom) / 2 - 1 + i;
    *x0 = right - 10 - (i / 2) - 4;
    *x1 = right - 10 + (i / 2) + 4;
}

int32_t theme_status_parts(const int32_t* edges, int32_t count, int32_t client_right, int32_t* left, int32_t* right) {
    if (count > THEME_STATUS_PARTS_MAX) count = THEME_STATUS_PARTS_MAX;
    int32_t x = 0, n = 0;
    for (int32_t i = 0; edges && i < count; i++) {
        int32_t edge = edges[i] >= 0 && edges[i] <= client_right ? edges[i] : client_right;
        if (x >= edge) break;
        left[n] = x;
        right[n] = edge;
        n++;
        x = edge;
    }
    return n;
}

ThemeButtonColours theme_button_colours(uint32_t states) {
    // The spare entries 14 (a face lighter than the panels) and 3 (a dimmed text) serve the
    // buttons, so a button stands out from the dialog background it sits on.
    if (states & THEME_BUTTON_DISABLED) return {1, 3, 4, false};
    const bool focused = (states & THEME_BUTTON_FOCUSED) != 0;
    if (states & THEME_BUTTON_PRESSED) return {9, 10, 9, focused};
    const bool outlined = focused || (states & THEME_BUTTON_DEFAULT) != 0;
    return {14, 2, outlined ? 9 : 4, focused};
}

ThemeTabColours theme_tab_colours(bool selected) {
    if (selected) return {14, 16, 4, 9};
    return {15, 16, 4, -1};
}
