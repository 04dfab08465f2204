// main_layout.cpp - toolbar wrapping and the main window's bands.
#include "workspace/main_layout.h"

MessagePanelState g_message_panel_state;

int32_t toolbar_flow(const ToolbarSlot* slots, int32_t count, int32_t client_width, int32_t* x_out, int32_t* y_out) {
    int32_t rows = 1;
    int32_t x = TOOLBAR_LEFT;
    int32_t y = TOOLBAR_TOP;
    const int32_t right = client_width - TOOLBAR_LEFT;
    for (int32_t i = 0; slots && i < count; i++) {
        if (x > TOOLBAR_LEFT && x + slots[i].width > right) {
            rows++;
            x = TOOLBAR_LEFT;
            y += TOOLBAR_ROW_STEP;
        }
        if (x_out) x_out[i] = x;
        if (y_out) y_out[i] = y;
        x += slots[i].advance;
    }
    return rows;
}

int32_t message_panel_drag_height(int32_t client_height, int32_t y) {
    // The splitter stands STATUS_BAR_HEIGHT + 5 above the panel's bottom; its top goes to y.
    int32_t height = client_height - y - STATUS_BAR_HEIGHT - MESSAGE_SPLITTER_HEIGHT;
    if (height < MESSAGE_PANEL_MIN_HEIGHT) height = MESSAGE_PANEL_MIN_HEIGHT;
    if (height > client_height - MESSAGE_PANEL_FREE_HEIGHT) height = client_height - MESSAGE_PANEL_FREE_HEIGHT;
    return height > 0 ? height : 0;  // a window lower than 120 pixels has no room at all
}

void main_layout_compute(const MainLayoutInput* in, MainLayoutPlan* out) {
    const int32_t w = in->client_width, h = in->client_height;
    const int32_t extra = (in->toolbar_rows > 1 ? in->toolbar_rows - 1 : 0) * TOOLBAR_ROW_STEP;
    *out = MainLayoutPlan{};
    out->content_top = CONTENT_TOP + extra;
    out->message_shown = in->message_collapsed ? 0 : 1;
    // Collapsed: toolbar (34) + strip (10) + status bar (22) = 66; expanded: 34 + 5 + 22 = 61.
    int32_t c = in->message_collapsed ? h - 66 : h - in->message_height - 61;
    c -= extra;
    if (c < 0) c = 0;
    out->content_height = c;
    out->message_strip = {0, h - STATUS_BAR_HEIGHT - MESSAGE_STRIP_HEIGHT, w, MESSAGE_STRIP_HEIGHT};
    out->message_splitter = {0, out->content_top + c, w, MESSAGE_SPLITTER_HEIGHT};
    // In a window too low for the toolbar rows, the content band and the panel together, the list
    // gives up its lower rows rather than lying over the status bar; the height the user dragged
    // stays as it is and comes back when the window grows.
    const int32_t list_top = out->content_top + c + MESSAGE_SPLITTER_HEIGHT;
    int32_t list_height = h - STATUS_BAR_HEIGHT - list_top;
    if (list_height > in->message_height) list_height = in->message_height;
    if (list_height < 0) list_height = 0;
    out->message_list = {0, list_top, w, list_height};
    out->status_bar = {0, h - STATUS_BAR_HEIGHT, w, STATUS_BAR_HEIGHT};
}
