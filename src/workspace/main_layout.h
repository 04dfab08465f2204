// main_layout.h - where the main window's children go: the toolbar row (wrapped onto further rows
// when the window is too narrow for it), the content band with the variable panel and the
// workspace, the message panel (expanded with its splitter, or collapsed to a strip) and the
// status bar. Pure arithmetic; the Win32 side moves the windows.
#pragma once
#include <cstdint>

enum : int32_t {
    TOOLBAR_MAX_SLOTS = 32,
    TOOLBAR_LEFT = 6,
    TOOLBAR_TOP = 5,
    TOOLBAR_ROW_STEP = 29,        // a second row starts 29 pixels below the first
    CONTENT_TOP = 34,             // top of the content band below a one-row toolbar
    MESSAGE_STRIP_HEIGHT = 10,
    MESSAGE_SPLITTER_HEIGHT = 5,
    STATUS_BAR_HEIGHT = 22,
    MESSAGE_PANEL_MIN_HEIGHT = 40,
    MESSAGE_PANEL_FREE_HEIGHT = 120,  // the panel leaves at least this much of the client height
    MESSAGE_PANEL_DEFAULT_HEIGHT = 170,
};

// One toolbar control as the row sees it: placed width and how far x advances after it.
struct ToolbarSlot {
    int32_t width;
    int32_t advance;
};

// Places the toolbar controls left to right from x = 6, y = 5; a control that would reach past
// the client width minus the left margin starts a new row (never the first of a row), so every
// control stays reachable. Writes each control's position; returns the number of rows (1 at
// least).
int32_t toolbar_flow(const ToolbarSlot* slots, int32_t count, int32_t client_width, int32_t* x_out, int32_t* y_out);

// Message panel state (main thread; the layout file stores it as log_hidden).
struct MessagePanelState {
    int32_t collapsed;  // 1 = only the strip is shown
};
extern MessagePanelState g_message_panel_state;

// A drag of the horizontal splitter to client y: the splitter's top follows the cursor, the
// height is clamped to 40 .. H - 120 (the upper bound wins in a very low window).
int32_t message_panel_drag_height(int32_t client_height, int32_t y);

// A rectangle in main-window client coordinates.
struct MlRect {
    int32_t x, y, w, h;
};

// What the layout depends on.
struct MainLayoutInput {
    int32_t client_width, client_height;
    int32_t toolbar_rows;           // from toolbar_flow
    int32_t message_height;         // expanded message panel height
    int32_t message_collapsed;
};

// Where the bands go. The content band (variable panel, splitter, workspace) starts at
// content_top and is content_height high.
struct MainLayoutPlan {
    int32_t content_top;
    int32_t content_height;
    int32_t message_shown;          // 1: splitter and list shown, strip hidden
    MlRect message_strip;
    MlRect message_splitter;
    MlRect message_list;
    MlRect status_bar;
};

void main_layout_compute(const MainLayoutInput* in, MainLayoutPlan* out);
