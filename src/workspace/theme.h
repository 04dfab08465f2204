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
