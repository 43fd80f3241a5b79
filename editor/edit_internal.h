// What the editor's editing files (input, text entry, edit operations, undo and A/B, presets) share
// among themselves beyond editor.h: the editor clock, the snapshot helpers of undo and A/B, the user
// preset files and the opening of the maker's web page.
//
// Everything here runs on the host's main thread unless marked otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "editor.h"

struct undo_snapshot;

// ---- Clock --------------------------------------------------------------------------------------

// The editor's clock in seconds: the window world's clock while the editor has a view, else the
// installed clock source, else the monotonic clock. The hover start uses it; undo coalescing passes
// null, so that its clock (the monotonic one) goes on across closed and reopened editors.
// [main-thread]
double editor_clock_seconds(const editor_state* editor);

// Installs the clock of editors without a view (null restores the monotonic clock); the function is
// the caller's and must outlive its use. For tests that step time. [main-thread]
void editor_set_clock_source(double (*source)());

// ---- Edits -----------------------------------------------------------------------------------------

// True when writing `value` (clamped as slot_set_value clamps it) would change the slot's value of
// parameter p by 1e-9 or more. [main-thread]
bool value_would_change(const shm_slot* slot, int32_t p, double value);

// The undo key of a press, typed value or menu choice on parameter `param` of list entry `stage`:
// repeated edits of one control within 0.5 s are one undo step. [any-thread]
inline uint32_t edit_press_key(int32_t stage, int32_t param) {
    return 0x10001u + 256u * (static_cast<uint32_t>(stage) & 0xFFu) + (static_cast<uint32_t>(param) & 0xFFu);
}

// ---- Undo and A/B ---------------------------------------------------------------------------------

// True when an undo point with `key` now would join the present step instead of making one.
// [main-thread]
bool history_continues(const editor_state* editor, uint32_t key);

// history_push, with `slot` recorded as well when the shown group's snapshot lacks it (it then takes
// the last place of a full snapshot): a move of the own stage to a shown group it is not yet in.
// [main-thread]
void history_push_including(editor_state* editor, uint32_t key, shm_slot* slot);

// The present values of the first 16 listed stages, with each slot's instance id. [main-thread]
void history_capture_snapshot(editor_state* editor, undo_snapshot* out);

// Writes back every recorded value that differs now, to slots that still hold the recorded stage,
// then rebuilds the group list. Makes no undo point. [main-thread]
void history_apply_snapshot(editor_state* editor, const undo_snapshot* snapshot);

// Records the listed stages (up to 64) into A (0) or B (1) and marks it filled. [main-thread]
void editor_snapshot_members(editor_state* editor, int32_t which);

// ---- User preset files ----------------------------------------------------------------------------

// The sanitised file name of a preset name (at most 63 characters, control characters and
// <>:"/\|?* as '_', trailing blanks and dots removed) into out; false when nothing remains.
// [any-thread]
bool preset_sanitise_name(const char* name, char* out, size_t capacity);

// The file of a preset: LODRIN_PRESET_DIR, else the per-user data folder + "Presets" (created when
// missing), then the sanitised name + ".lodrin". False without a folder or a usable name.
// [main-thread]
bool preset_path(const char* name, char* path, size_t capacity);

// Reads the preset file of `name` into *out (the record's name is `name`). False when there is no
// path, the file is not a regular file or does not open, its first line is wrong or it has no
// "stages=" line. [main-thread]
bool preset_read(const char* name, preset_record* out);

// Reads the preset file of the folder named exactly `file_name` (as preset_list gives it) into *out,
// the record's name being `name`. False as preset_read, and for a file name holding a separator.
// [main-thread]
bool preset_read_file(const char* file_name, const char* name, preset_record* out);

// Writes the record's file through a temporary file renamed over the old one. False for a stage
// count outside 1..8, without a path, or when the file cannot be written. [main-thread]
bool preset_write(const preset_record* record);

// Deletes the preset file of `name`; failures are ignored. [main-thread]
void preset_delete(const char* name);

// Deletes the file of the folder named exactly `file_name`; failures are ignored. [main-thread]
void preset_delete_file(const char* file_name);

// ---- About box ------------------------------------------------------------------------------------

// The maker's web page, as the about box's link opens it.
inline constexpr const char* LODRIN_WEB_ADDRESS = "https://tovarin.com/lodrin";

// Opens `address` in the user's browser without waiting for it: ShellExecuteA on Windows, xdg-open
// started with posix_spawnp (no shell) on Linux; helpers that have exited are reaped without
// blocking. False when nothing could be started. [main-thread]
bool open_web_address(const char* address);

// ---- Preset menu ----------------------------------------------------------------------------------

// Carries out a row of the preset menu: action 0..5 (built-in stage or chain preset at list
// `position`, user preset, save stage preset, save chain preset, delete the selected user preset);
// other actions do nothing. [main-thread]
void preset_menu_action(editor_state* editor, int32_t action, int32_t position);

// Reaps the web-page helpers started by open_web_address that have exited, without waiting.
// [main-thread]
void reap_web_helpers();
