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
