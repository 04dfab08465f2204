// recording_win32.h - the file dialogs of recording and replay (the logic is portable: see
// recording.h and replay.h).
#pragma once

// Installs the save-file dialog of the record command's save question, the kill of main-window
// timer 2 for replay, and (unless the workspace set them) the list of waveform windows that
// replay lends its envelopes to. Call once at start-up, after recording_install_hooks.
void recording_win32_install();
// The replay-all command of the toolbar and menu: an open-file dialog for an existing file, then
// replay_all_command with the chosen path (nothing when cancelled).
void replay_all_command_with_dialog();
