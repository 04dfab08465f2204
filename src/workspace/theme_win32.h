// theme_win32.h - the theme on Win32: the fill brushes of the current colour row, the platform's
// dark-mode settings (uxtheme ordinals, the window manager's dark frame, visual styles), the
// re-colouring of every control on a change, and the painting this program takes over for list
// headers, the toolbar's combo boxes and the status bar.
#pragma once
#include <windows.h>

#include <cstdint>

#include "workspace/theme.h"

// The colour of `index` in the current row as a GDI colour.
COLORREF theme_colorref(int32_t index);
// The solid fill brush of `index` in the current row (created on first use; owned here).
HBRUSH theme_brush(int32_t index);
// Makes the 22 brushes again from the current row (after the flag changed).
void theme_rebuild_brushes();

// Changes the flag and re-colours everything at once; nothing when the flag already has it.
void theme_set(int32_t dark);
// Applies the current theme to `window` (null: the remembered main window): platform settings,
// a full repaint and the control colours. Once after the main window is shown, and after a
// layout file changed the flag.
void theme_apply(HWND window);
void theme_remember_main(HWND main);

// Takes over the painting of a list view's header (at most 8 at a time; a header gives its slot
// back when it is destroyed).
void theme_header(HWND list);
// Takes over the painting of a combo box (at most 8 at a time).
void theme_combo(HWND combo);
// Takes over the painting of the status bar (one).
void theme_status_bar(HWND bar);

// Answers the painting messages of a window that paints its whole client with `paint`: background
// erasure is done, WM_PAINT and WM_PRINTCLIENT draw. True when the message was one of them.
bool theme_paint_message(HWND hwnd, UINT msg, WPARAM wp, void (*paint)(HWND hwnd, HDC dc), LRESULT* result);

// Colours of a tree view (background 7, text 8, lines 11) and of a report list (12, 13, 12).
void theme_color_tree(HWND tree);
void theme_color_list(HWND list);

// Dialog colouring for a window's own children and background: static text and buttons in
// colour 2 on 0, edit fields, combo boxes and list boxes in 6 on 5 (a read-only edit too), the
// background with brush 0; push buttons made in the window follow the theme and are drawn here
// while it is dark. True when the message was answered, with the result in *result.
bool theme_dialog_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, LRESULT* result);

// Push buttons in the dark theme are drawn here (owner-drawn), in the light theme by the platform.
// Following starts when a window that routes through theme_dialog_message gets a push button
// child; the button's own type is kept with it (and follows the dialog manager's default mark),
// so the light theme gives it back unchanged, and Enter and Tab treat it as a push button.
// Returns false for anything that is not a push button.
bool theme_follow_button(HWND button);
// A followed button takes the current theme's type (owner-drawn when dark, its own when light).
void theme_restyle_button(HWND button);
// theme_restyle_button for every direct child of `parent`.
void theme_restyle_buttons(HWND parent);
// Draws a followed button in the dark theme; false for anything else.
bool theme_draw_button(const DRAWITEMSTRUCT* item);

// Paints a tab control's whole strip in the current theme's colours (its subclass calls this in
// the dark theme, where the platform's strip would stay light).
void theme_paint_tabs(HWND tabs, HDC dc);
