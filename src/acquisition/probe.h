// probe.h - probe selection and connection: the channel, core, interface, speed and probe lists
// of the toolbar, scanning, connecting and disconnecting through the selected driver, and the
// connection flag that acquisition, flash programming and the status bar read.
//
// The toolbar controls themselves belong to the window shell. The core keeps their content and
// selection in ProbeToolbar; the shell mirrors the record into the controls when the core says it
// changed, and copies the user's choices back before a command reads them. Everything here runs
// on the main thread.
#pragma once
#include <cstdint>

enum : int32_t {
    PROBE_LIST_MAX = 16,       // probes listed (the count may be larger)
    PROBE_CHANNELS_MAX = 33,   // one per driver module, then "网络"
    PROBE_SPEEDS_MAX = 18,     // the default steps; a driver table has at most 16
    PROBE_CORE_COUNT = 10,
    PROBE_DEFAULT_SPEED_SELECTION = 7,  // the eighth default step, 4000 kHz
};

// Content and selection of the probe row of the toolbar (texts UTF-8; -1 = nothing selected).
struct ProbeToolbar {
    char channels[PROBE_CHANNELS_MAX][200];
    int32_t channel_count;
    int32_t channel_selected;
    int32_t core_selected;      // into probe_core_name
    int32_t iface_selected;     // 0 "SWD", 1 "JTAG"
    char speeds[PROBE_SPEEDS_MAX][32];
    int32_t speed_count;
    int32_t speed_selected;
    char speed_text[64];        // the editable speed box's text (the user may type any number)
    char probes[PROBE_LIST_MAX][220];
    int32_t probe_list_count;
    int32_t probe_selected;
    int32_t hardware_enabled;   // core, interface, speed box, probe list and refresh button
};

// Connection state of the process (main thread).
struct ProbeState {
    int32_t connected;        // nonzero = the driver reported the target after the last connect
    int32_t probe_count;      // count of the last scan; -1 before the first and after a switch
    int32_t network_channel;  // nonzero while "网络" is chosen
};

// What the probe logic asks of the window shell and of later subsystems; null entries are skipped.
struct ProbeHooks {
    void (*toolbar_changed)();             // ProbeToolbar changed: mirror it into the controls
    void (*sync_from_controls)();          // copy the user's current choices into ProbeToolbar
    void (*refresh_status_and_toolbar)();  // update_status_bar and update_command_states
    void (*set_status_text)(const char* text);  // status bar part 0
    int (*acquisition_running)();          // acquisition state is 1
    void (*acquisition_stop)();
    void (*net_user_command)(int32_t code);  // network commands of the network channel
};

extern ProbeToolbar g_probe_toolbar;
extern ProbeState g_probe_state;
extern ProbeHooks g_probe_hooks;

// Core names in list order ("Cortex-M4" first); null outside [0, PROBE_CORE_COUNT).
const char* probe_core_name(int32_t index);

// Fills every list once at start-up, then the speeds and a scan.
void probe_fill_toolbar();
// Rebuilds the speed list from the driver's table or the 18 default steps.
void probe_fill_speeds();
// Scans for probes; the count, or -1 without a driver with a command entry.
int32_t probe_scan();
// The refresh button: scan, and a warning box when nothing was found.
void probe_refresh();
// A new choice in the channel list.
void probe_select_channel(int32_t position);
// True when choosing `position` in the channel list would change the channel: another entry, or
// the entry shown selected without being in effect (with no driver module the list's only entry,
// "网络", is shown selected before the network channel was ever chosen).
bool probe_channel_choice_is_new(int32_t position);
void probe_connect();
void probe_disconnect();

// Status bar part 0 for the current state.
void probe_status_text(char* out, size_t capacity);
// Resets state and toolbar to the start values (start-up and tests).
void probe_reset();
