// theme.h - the interface theme: one process-wide light/dark flag and the table of 22 indexed
// colours per theme that every self-painting window takes its colours from.
//
// Colours are 0x00RRGGBB (red in bits 16-23). Win32 code converts them to COLORREF at the GDI call.
// The brushes, the platform settings and theme_set's repaint belong to the Win32 side.
#pragma once
#include <cstdint>

enum : int32_t { THEME_COLOR_COUNT = 22 };

// 1 while the dark theme is selected, else 0.
int32_t theme_is_dark();
// Stores the flag (any non-zero value selects dark); no repaint, no platform calls.
void theme_store_flag(int32_t dark);
// The colour of `index` in the current theme; an index outside 0..21 is treated as 0.
uint32_t theme_color(int32_t index);
// The colour of `index` in the given theme row (0 light, non-zero dark), same index rule.
uint32_t theme_color_of(int32_t dark, int32_t index);

// Start-up: reads the flag from the first "theme=" line of the default layout file
// (LOCALAPPDATA\Kestrelix\layout.ini, else layout.ini in the current directory); light when the
// file cannot be read.
void theme_load_setting();

// Which colour indices a kind of native control takes (text, background, fill brush, line).
enum ThemeElement : int32_t {
    THEME_DIALOG_TEXT = 0,   // dialog and main-window backgrounds, static text and buttons
    THEME_EDIT_FIELD,        // edit fields, combo boxes and list boxes
    THEME_VARIABLE_TREE,
    THEME_LIST,              // message list and numeric table
    THEME_TAB_STRIP,         // tab control background and its static children
    THEME_STATUS_BAR,
    THEME_ELEMENT_COUNT,
};

// The colour indices of one element (-1 = not used by that element).
struct ThemeElementColours {
    int32_t text;
    int32_t background;
    int32_t fill;
    int32_t line;
};

// The indices of an element; an unknown element gets the dialog's.
ThemeElementColours theme_element(ThemeElement element);

// Native controls whose visual style follows the theme: "Button", "ComboBox", "Edit" and
// "SysTabControl32" (compared without regard to case, as window classes are).
bool theme_restyles_class(const char* class_name);
// The visual style those controls get: "DarkMode_Explorer" (dark) or "Explorer" (light).
const char* theme_visual_style(int32_t dark);

// Themed list headers: item text and the separators between items.
uint32_t theme_header_text_color(int32_t dark);
uint32_t theme_header_separator_color(int32_t dark);

// Line i (0..3) of a themed combo box's drop-down mark in a client rectangle: from x0 to x1 at y.
void theme_combo_mark_line(int32_t i, int32_t right, int32_t top, int32_t bottom, int32_t* x0, int32_t* x1,
                           int32_t* y);

enum : int32_t { THEME_STATUS_PARTS_MAX = 8 };
// The x ranges of a themed status bar's parts from their kept right edges (negative = up to the
// right end; an edge beyond the client is cut to it). Stops at the first part that would not be
// right of the previous one. Returns the number of parts written to left/right.
int32_t theme_status_parts(const int32_t* edges, int32_t count, int32_t client_right, int32_t* left, int32_t* right);

// States of a push button the theme draws itself (bits, as many as apply).
enum : uint32_t {
    THEME_BUTTON_PRESSED = 1u,
    THEME_BUTTON_FOCUSED = 2u,
    THEME_BUTTON_DISABLED = 4u,
    THEME_BUTTON_DEFAULT = 8u,  // the button Enter presses
};

// Colour indices of a self-drawn push button in one combination of states, and whether it shows
// the keyboard focus mark.
struct ThemeButtonColours {
    int32_t face;
    int32_t text;
    int32_t border;
    bool focus_mark;
};

// A disabled button shows no other state; a pressed one is filled with the accent; the focused
// and the default button are outlined with it.
ThemeButtonColours theme_button_colours(uint32_t states);

// Colour indices of one tab of a self-drawn tab strip: the selected tab is raised from the strip
// and carries an accent line along its top (-1 = none).
struct ThemeTabColours {
    int32_t face;
    int32_t text;
    int32_t border;
    int32_t accent;
};
ThemeTabColours theme_tab_colours(bool selected);
