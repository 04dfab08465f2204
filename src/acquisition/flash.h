// flash.h - programming a firmware file into the target's flash, or erasing it, through the
// selected driver: the dialog's parameters, the preconditions, pausing acquisition around the
// operation and the report. The dialog itself is flash_dialog_win32.cpp.
#pragma once
#include <cstdint>

#include "kestrelix_module.h"

// What the dialog's fields hold when a button is pressed.
struct FlashForm {
    char16_t path[260];      // file field (UTF-16, at most 259 characters)
    char base_text[64];      // base-address field (UTF-8)
    char device[128];        // device field (UTF-8, at most 127 bytes)
    int32_t erase_first;     // "下载前整片擦除" checked
    int32_t verify;          // "下载后校验" checked
    int32_t reset_and_run;   // "完成后复位运行" checked
};

// What the operations ask of the dialog (null entries are skipped).
struct FlashUi {
    void (*set_status)(const char* text);  // the dialog's status line
    void (*refresh_toolbar)();
};

// Device presets of the device field, in order; null outside [0, FLASH_PRESET_COUNT).
enum : int32_t { FLASH_PRESET_COUNT = 11 };
const char* flash_device_preset(int32_t index);

// Base address with automatic radix ("0x" hexadecimal, leading 0 octal, else decimal); 0 and
// text that is no number give 0x08000000.
uint32_t flash_parse_base(const char* text);
// True when the path's extension (from the last dot) is ".bin", compared without regard to case.
bool flash_path_is_bin(const char16_t* path);
// Fills the driver record from the form (zeroed first).
void flash_request_fill(const FlashForm* form, FlashRequest* request);

// "下载烧录" and "仅擦除芯片": 0 when the driver succeeded, -1 on a refusal or a driver failure
// (every outcome is already reported to the user).
int flash_program(const FlashForm* form, const FlashUi* ui);
int flash_erase(const FlashForm* form, const FlashUi* ui);
