// The editor of one stage: the record that one open editor keeps, and every operation of the editor
// that more than one of its files calls (lifecycle and sizing, frame and hit list, input, text entry,
// edit operations, undo and A/B, presets, panels, painters' callers and the history alignment).
//
// One editor shows and edits every stage of the chain its own stage belongs to. It reads the stages'
// shared slots with single atomic loads on every frame and changes them only through the edit calls
// (slot_begin_gesture / slot_set_value / slot_end_gesture), one gesture per stage and parameter.
//
// Threads: everything declared here runs on the host's main thread (the gui extension, the host
// timer and the window layer's events all arrive there), except the pure helpers marked
// [any-thread]. Nothing here locks.
//
// Units: all panel geometry is on the 960 x 600 design canvas. A frame scales the canvas by
// s = min(w / 960, h / 600) and centres it in the w x h window; "view units" are window pixels / s,
// and the finished hit list and every pointer position the input handlers receive are in view units.
#pragma once

#include <cstddef>
#include <cstdint>

#include "chain_order.h"
#include "shm.h"

#include "window.h"

struct plugin_instance;
struct vg_context;

// ---- Constants of the editor ------------------------------------------------------------------

inline constexpr double EDITOR_CANVAS_W = 960.0;
inline constexpr double EDITOR_CANVAS_H = 600.0;
inline constexpr double EDITOR_ZOOM_MIN = 0.6;
inline constexpr double EDITOR_ZOOM_MAX = 2.5;
inline constexpr int64_t EDITOR_ZOOM_THROTTLE_NS = 40000000; // one host resize request per 40 ms

inline constexpr int32_t EDITOR_GROUP_MAX = CHAIN_MAX_MEMBERS; // 64 listed stages
// The stage index of the single-stage controls while the stage the user picked is missing from the
// list: an edit of that index reaches no stage (outside chain mode).
inline constexpr int32_t EDITOR_FOCUS_MISSING = -2;
// The hit list holds the fullest frame there can be: a card, a grid column head and 12 grid cells
// per listed stage, 64 for the header, meters, controls, fader, footer and about box together (at
// most 40 of them at 16 groups), and 64 rows of the tallest open menu.
inline constexpr int32_t HIT_LIST_CAPACITY = 64 + EDITOR_GROUP_MAX * (1 + 1 + 12) + 64;
inline constexpr int32_t USER_PRESET_MAX = 24;
inline constexpr int32_t PRESET_NAME_SIZE = 64;   // 63 characters and the terminator
inline constexpr int32_t PRESET_FILE_NAME_SIZE = 72; // a listed name, its ".lodrin" as spelled, the terminator
inline constexpr int32_t PRESET_BUILTIN_STAGE = 7; // list positions 0..6
inline constexpr int32_t PRESET_BUILTIN_CHAIN = 6; // list positions 7..12
inline constexpr int32_t PRESET_USER_FIRST = 13;   // list position of user preset 0
inline constexpr int32_t PRESET_MAX_STAGES = 8;
inline constexpr int32_t TEXT_ENTRY_SIZE = 64;
inline constexpr int32_t DUMP_PATH_SIZE = 512;
inline constexpr int32_t GRAPH_MAX_COLUMNS = 2048;
inline constexpr int32_t GRAPH_MAX_STAGES = 8;
inline constexpr int32_t SLOT_RECORD_MAX = 64;
inline constexpr int32_t SLOT_RECORD_RING = 8;   // offset observations and pause segments per record
inline constexpr int32_t ALIGN_SHIFT_START = 1 << 24;

// Widget kinds of hit entries: what a clickable rectangle is, and what its index and sub mean.
// index is a group-list index (-1 = no particular stage, EDITOR_FOCUS_MISSING = the picked stage while
// it is missing from the list); sub is a parameter index, a row or 0.
enum widget_kind : int32_t {
    WIDGET_NONE = 0,
    WIDGET_KNOB = 1,            // controls-panel knob; index focused, sub parameter (2, 3, 6, 9, 16)
    WIDGET_SWITCH = 2,          // on/off switch; index focused, sub parameter (7, 8, 13, 14, 15)
    WIDGET_GAIN_FADER = 3,      // gain fader (chain total in chain mode); sub 1
    WIDGET_STAGE = 4,           // chain-panel card or grid column head; index = that stage
    WIDGET_CHAIN_MODE = 5,      // the CHAIN title button
    WIDGET_GROUP = 6,           // group letter (sub 0..15) or new group (sub 100 + group)
    WIDGET_PRESET_PREV = 7,
    WIDGET_PRESET_NEXT = 8,
    WIDGET_PRESET_MENU = 9,     // the preset name box
    WIDGET_LOUDNESS_TARGET = 10,
    WIDGET_READOUT_MODE = 11,
    WIDGET_LOUDNESS_RESET = 12,
    WIDGET_LOUDNESS_PAUSE = 13,
    WIDGET_INTEGRATED = 14,     // integrated readout, tooltip only
    WIDGET_POSITION = 15,       // the Stage parameter button; sub 4
    WIDGET_RESIZE_GRIP = 16,    // (940, 580, 20, 20)
    WIDGET_MENU_ROW = 17,       // preset menu: index = action 0..5, sub = menu row; lists: index -1, sub = value
    WIDGET_SPREAD = 18,         // chain mode only
    WIDGET_GRID = 19,           // footer Grid switch
    WIDGET_GRID_CELL = 20,      // index = column's stage, sub = row's parameter
    WIDGET_MIDI_LEARN = 21,
    WIDGET_CONTROLS = 22,       // footer Controls switch
    WIDGET_AB = 23,
    WIDGET_COPY = 24,
    WIDGET_STYLE = 25,          // index focused, sub 10
    WIDGET_UNDO = 26,
    WIDGET_REDO = 27,
    WIDGET_DITHER = 28,         // index focused, sub 11
    WIDGET_SHAPING = 29,        // index focused, sub 12
    WIDGET_ABOUT = 31,          // header name (sub 0), overlay box (sub 1), link line (sub 2)
    WIDGET_GAIN_TO_TARGET = 32,
};

// Open pop-up menu kinds (the widget kind that opened it).
enum : int32_t { MENU_NONE = 0, MENU_PRESETS = 9, MENU_LOUDNESS_TARGET = 10, MENU_STYLE = 25 };

// Text entry modes.
enum : int32_t { TEXT_ENTRY_VALUE = 0, TEXT_ENTRY_STAGE_PRESET = 1, TEXT_ENTRY_CHAIN_PRESET = 2 };

// Preset menu row actions (the index of a preset menu row's hit entry).
enum : int32_t {
    PRESET_ACTION_STAGE = 0,
    PRESET_ACTION_CHAIN = 1,
    PRESET_ACTION_USER = 2,
    PRESET_ACTION_SAVE_STAGE = 3,
    PRESET_ACTION_SAVE_CHAIN = 4,
    PRESET_ACTION_DELETE = 5,
};

// Modifier bits and keys as the event dispatch hands them to the input handlers (the dispatch
// translates the window layer's own codes). Printable keys arrive as their unshifted character.
enum : uint32_t {
    EDITOR_MOD_SHIFT = 1u << 0,
    EDITOR_MOD_CTRL = 1u << 1,
    EDITOR_MOD_ALT = 1u << 2,
};
enum : uint32_t {
    EDITOR_KEY_BACKSPACE = 8,
    EDITOR_KEY_ENTER = 13,
    EDITOR_KEY_ESCAPE = 27,
    EDITOR_KEY_PAGE_UP = 0xE001,
    EDITOR_KEY_PAGE_DOWN = 0xE002,
};

// ---- Records --------------------------------------------------------------------------------------

// One clickable rectangle of the current frame. Panels record it in canvas units; once the frame is
// complete it is in view units.
struct hit_entry {
    int32_t kind;  // widget_kind
    int32_t index; // group-list index, -1 none, EDITOR_FOCUS_MISSING the missing picked stage
    int32_t sub;   // parameter index, row or item, 0 when the kind needs none
    float x, y, w, h;
};

// A user preset in memory.
struct preset_record {
    char name[PRESET_NAME_SIZE];
    int32_t stages; // 1..8
    double values[PRESET_MAX_STAGES][PARAM_COUNT];
};

// The shown state of one level meter (dB; hold_until on the editor clock, seconds).
struct meter_ballistics {
    float level;
    float hold;
    double hold_until;
};

// The peak-hold behind a numeric readout (dB, seconds).
struct readout_hold {
    float hold;
    double hold_until;
};

// The time alignment of one stage that the history graph has met.
struct ui_slot_record {
    shm_slot* slot;  // the key
    int32_t offset;  // accepted offset in entries: the stage's entry for anchor entry e is e - offset
    int32_t observations[SLOT_RECORD_RING];
    int32_t observation_count;    // 0..8
    int32_t observation_position; // 0..7, where the next estimate goes
    int32_t segment_ends[SLOT_RECORD_RING];
    int32_t segment_offsets[SLOT_RECORD_RING];
    int32_t segment_count; // 0..8
    int32_t stale_start;
    int32_t floor; // entries below are never drawn; -1 = not initialised yet
    uint8_t stale;
    int32_t last_frame;    // graph frame counter when last used
    int32_t disagreements; // frames in a row a full ring's median differed from the offset
    int32_t last_gap;      // idle-gap start last seen, -1 none
};

// What the history graph's columns in its content layer were drawn for: while a frame asks for the
// same, only the columns that changed since are drawn again.
struct graph_layer_key {
    double scale, fs, pixels_per_entry;
    float tx, ty; // the frame's translation (canvas units)
    int32_t entries_per_column, stage_count, focused, anchor, shift;
    const shm_slot* slots[GRAPH_MAX_STAGES];
    uint32_t generations[GRAPH_MAX_STAGES];
    int32_t offsets[GRAPH_MAX_STAGES], floors[GRAPH_MAX_STAGES], segments[GRAPH_MAX_STAGES];
    uint8_t stale[GRAPH_MAX_STAGES];
};

// The history graph's content layer: the columns, kept across frames; each frame draws those that
// changed and copies the part the graph shows (history_graph.cpp). [main-thread]
struct graph_layer_state {
    int32_t layer;       // the drawing layer, 0 while there is none
    int32_t w, h;        // its size in device pixels
    int32_t failed_w, failed_h; // a size the layer could not be made at
    uint8_t valid;       // its columns are those of `key`
    graph_layer_key key;
    double origin;       // window device x of layer x 0, plus the frame's whole-pixel scroll
    int32_t dirty;       // the oldest column number the next frame draws again
};

// Draw-probe header of the history graph (little-endian, 88 bytes), rewritten every graph draw.
struct graph_probe_header {
    int32_t frame;              // graph frame counter, 1 on the first drawn frame
    int32_t stage_count;        // stages in the group list
    int32_t anchor_index;       // group-list index of the anchor stage
    uint32_t live_mask;         // bit i: entry i (i <= 30) is live
    int32_t entries_per_column; // B
    int32_t newest_virtual;     // V
    double frac;
    double left;              // 10.0
    double width;             // 676.0
    double seconds_per_entry; // 64 / fs
    int32_t offsets[GRAPH_MAX_STAGES];
};
static_assert(offsetof(graph_probe_header, frac) == 24);
static_assert(offsetof(graph_probe_header, seconds_per_entry) == 48);
static_assert(offsetof(graph_probe_header, offsets) == 56);
static_assert(sizeof(graph_probe_header) == 88);

// One draw-probe record per graph column (column 0 is the newest, at the right).
struct graph_probe_record {
    int32_t column;
    float x;  // column centre, canvas units
    float in; // dB, -120 none
    float out;
    float loudness; // smoothed, LUFS, -100 none
    float gr[4];    // stages 0..3, dB
    int8_t first_active;
    int8_t last_active;
    uint8_t zero[2];
};
static_assert(offsetof(graph_probe_record, gr) == 20);
static_assert(offsetof(graph_probe_record, first_active) == 36);
static_assert(sizeof(graph_probe_record) == 40);

// The one-line text entry laid over the canvas.
struct text_entry_state {
    uint8_t active;
    uint8_t select_all; // the next printable key replaces the text, Backspace empties it
    int32_t stage_index; // group-list index (value mode), -1 in the name modes
    int32_t param_index; // value mode only
    int32_t mode;        // TEXT_ENTRY_*
    shm_slot* slot;       // value mode: the stage the entry was opened on
    uint64_t instance_id; // and the instance id its slot held then
    char text[TEXT_ENTRY_SIZE];
    float x, y, w, h; // the box, canvas units
};

// The record of one open editor. Allocated zeroed by editor_create, freed by editor_destroy; owned
// by its plugin_instance. Field groups in order.
struct editor_state {
    // 1. Handles and window.
    plugin_instance* instance; // borrowed: the instance outlives its editor
    window_view* view;         // owned
    vg_context* vg;            // owned; null until a realize succeeds
    int32_t font_id;           // the "sans" face
    double host_scale;         // 0 or less = none given (counts as 1.0)
    uint32_t width;            // window pixels as the last configure gave them, 0 = none yet
    uint32_t height;
    uint8_t realized;

    // 2. Probe pixel.
    uint8_t probe_taken;
    uint8_t probe_rgb[3];

    // 3. Group list, focus and chain mode; MIDI learn; loudness pause and its frozen readings.
    chain_member group[EDITOR_GROUP_MAX];
    int32_t group_count;
    int32_t focused_index; // -1 = none listed (the own stage is meant, unless a picked stage is missing)
    // The stage the user picked, kept by identity across listings: its slot (null = nothing picked)
    // and instance id, the position it was last listed at, and whether (and since when, editor clock
    // seconds) it is missing from the list.
    shm_slot* focused_slot;
    uint64_t focused_id;
    int32_t focused_position;
    uint8_t focus_missing;
    double focus_missing_since;
    uint8_t chain_mode;
    uint8_t midi_learn_armed;
    uint8_t loudness_paused;
    float frozen_readout;    // LUFS, the big number of the last frame drawn while not paused
    float frozen_integrated; // LUFS, the INT value of the last frame drawn while not paused

    // 4. Preset list.
    int32_t preset_selection; // 0..6 stage, 7..12 chain, 13 + i user preset i
    char user_presets[USER_PRESET_MAX][PRESET_NAME_SIZE];
    int32_t user_preset_count;
    // The exact file each listed user preset was found in: loading and deleting act on it.
    char user_preset_files[USER_PRESET_MAX][PRESET_FILE_NAME_SIZE];
    // The first user preset the menu shows when not all fit the window (the wheel moves it).
    int32_t preset_menu_first;

    // 5. Shown group, the history graph's time anchor, last seen own group.
    int32_t shown_group;
    shm_slot* anchor_slot;
    uint8_t anchor_valid;
    double anchor_time;       // A: ns on the clock_ns scale at which anchor entry 0 counts as written
    double anchor_correction; // ns
    int32_t anchor_shift;     // virtual entry = anchor entry + shift
    int32_t last_own_group;

    // 6. Hit list of the last completed frame.
    hit_entry hits[HIT_LIST_CAPACITY];
    int32_t hit_count;

    // 7. Hover.
    int32_t hover_kind; // (0, -1, -1) = nothing hovered
    int32_t hover_index;
    int32_t hover_sub;
    double pointer_x; // view units
    double pointer_y;
    double hover_start; // world clock seconds when the hovered widget last changed

    // 8. Drag record (kind WIDGET_RESIZE_GRIP marks a grip drag).
    int32_t drag_kind; // 0 = no drag
    int32_t drag_stage;
    int32_t drag_param;
    double drag_start_x;
    double drag_start_y;
    double drag_start_values[EDITOR_GROUP_MAX]; // normalised, per dragged slot
    shm_slot* drag_slots[EDITOR_GROUP_MAX]; // null once its stage left the slot
    uint64_t drag_ids[EDITOR_GROUP_MAX];    // instance id each dragged slot held at the press
    int32_t drag_count;
    uint8_t drag_changed; // a motion changed a value (the drag's undo point is made)

    // 8b. Wheel run: the stages the first notch of a run reached, with their instance ids; the
    // later notches of the run (one undo step) skip a slot that another stage took meanwhile.
    shm_slot* wheel_slots[EDITOR_GROUP_MAX];
    uint64_t wheel_ids[EDITOR_GROUP_MAX];
    int32_t wheel_count;

    // 9. Last click.
    double last_click_time; // event time, seconds
    int32_t last_click_kind;
    int32_t last_click_index;
    int32_t last_click_sub;
    // The character the last key press also produces as a text event when that press acted (Ctrl+Z
    // gives 26, Backspace 8), 0 none: the text event of the same keystroke then does nothing.
    uint32_t key_press_text;

    // 10. Resize grip.
    uint32_t grip_start_width;     // window pixels at the grip press
    double grip_start_device_x;    // ui_scale x pointer x at the press

    // 11. Zoom requests.
    uint32_t last_request_width; // 0 = none recorded
    uint32_t last_request_height;
    double last_request_zoom;
    int64_t last_request_time; // clock_ns, 0 = none
    double deferred_factor;
    uint8_t deferred;

    // 12. Loading flag: set while a preset is applied (no undo points from editor_set_param).
    uint8_t loading;

    // 13. Text entry.
    text_entry_state entry;

    // 14. Pop-up menu.
    int32_t menu_kind; // MENU_*
    int32_t menu_owner; // stage index (style menu)
    float menu_x;
    float menu_y;
    float menu_w;

    // 15. Loudness panel display state, and the chain panel's falling reduction bars.
    readout_hold input_readout; // holds start at -100
    readout_hold output_readout;
    meter_ballistics input_channels[2]; // left, right
    meter_ballistics output_channels[2];
    float chain_gr_shown; // dB
    float stage_gr_shown[EDITOR_GROUP_MAX]; // dB, by group-list position

    // 16. About box.
    uint8_t about_open;

    // 17. Dump request.
    char dump_path[DUMP_PATH_SIZE];
    uint8_t dump_requested;

    // 18. History graph working state and draw probes.
    int32_t graph_frame; // graph draws so far
    ui_slot_record slot_records[SLOT_RECORD_MAX];
    int32_t slot_record_count;
    graph_probe_header probe_header;
    graph_probe_record probe_records[GRAPH_MAX_COLUMNS];
    int32_t probe_record_count;
    uint8_t probe_valid;
    graph_layer_state graph_layer;
    uint8_t graph_layer_off; // tests: every column is drawn into the frame, every frame

    // 19. Fallback message window, owned; null when there is none.
    window_message* fallback_window;

    // 20. Frame pacing (world clock seconds): the redraw tick that asked for the last frame, the time
    // before which ticks ask for none, counts of drawing ticks skipped for the pace and for an editor
    // nobody can see, and the pause a test hook puts into every frame (LODRIN_EDITOR_FRAME_DELAY_MS).
    double pace_tick_time;
    double pace_next_time;
    uint32_t pace_skipped;
    uint32_t unseen_ticks;
    uint32_t frame_delay_ms;
};

// ---- Constant tables ------------------------------------------------------------------------------

struct loudness_target {
    const char* label;
    const char* short_label;
    double lufs;
};
inline constexpr int32_t LOUDNESS_TARGET_COUNT = 5;
inline constexpr loudness_target loudness_targets[LOUDNESS_TARGET_COUNT] = {
    {"-9 LUFS (CD)", "CD", -9.0},
    {"-14 LUFS (Streaming)", "Strm", -14.0},
    {"-23 LUFS (EBU R128)", "EBU", -23.0},
    {"-24 LUFS (ATSC A/85)", "ATSC", -24.0},
    {"Custom", "Cust", -16.0}, // the instance's custom target takes this row's place
};
inline constexpr const char* readout_mode_names[3] = {"Short term", "Momentary", "Integrated"};
inline constexpr const char* spread_names[3] = {"Even", "Front", "Back"};

// ---- Lifecycle, sizing and debug entry points -------------------------------------------------

// Creates the editor of `instance` (view made, not realized; default size hint set), and the shared
// window world when it is the first. Returns the record, owned by the instance until
// editor_destroy, or null when the world, the record or the view cannot be made. [main-thread]
editor_state* editor_create(plugin_instance* instance);

// Frees the fallback window, unrealizes and frees the view, frees the world with the last editor,
// then the record. Null is a no-op. [main-thread]
void editor_destroy(editor_state* editor);

// Embeds the editor in the host's window `parent` (X11 Window id or HWND) and starts OpenGL; on
// failure logs the reason and shows a message window instead. Always true. [main-thread]
bool editor_set_parent(editor_state* editor, uintptr_t parent);

// Stores the host scale, sets the default size hint, asks for a new size when realized and the
// scale changed by more than 0.01. [main-thread]
void editor_set_scale(editor_state* editor, double scale);

// The window size the editor wants (current size when within 2 pixels of it). [main-thread]
void editor_get_size(const editor_state* editor, uint32_t* width, uint32_t* height);

// The host resized the editor: the zoom follows the width (or the last request it answers), the
// window takes the size. True when the window layer took it. [main-thread]
bool editor_set_size(editor_state* editor, uint32_t width, uint32_t height);

// Show (passive) and hide; on an unrealized view true exactly when a fallback window exists.
// [main-thread]
bool editor_show(editor_state* editor);
bool editor_hide(editor_state* editor);

// One non-blocking pass over the shared world's pending events, when the world exists. [main-thread]
void editor_pump_world();

// The file descriptor of the world's display connection (for the host's fd watcher), -1 without a
// world or on platforms without one. [main-thread]
int editor_world_fd();

// Number of open editors of the process (the world exists while it is above 0). [main-thread]
int32_t editor_open_count();

// The editors' clock: seconds of the shared world's monotonic clock (event times use the same), 0
// without a world. Hover, double-click, undo joining and meter holds run on it. [main-thread]
double editor_world_time();

// The event function of every editor view; always reports success. [main-thread]
window_status editor_on_event(window_view* view, const window_event* event);

// Asks the host for the size of zoom x scale = `factor`, throttled to one request per 40 ms (a
// throttled request waits, only the newest one kept). [main-thread]
void editor_request_zoom(editor_state* editor, double factor);

// Sends the waiting request once 40 ms have passed since the last one. [main-thread]
void editor_tick_deferred_zoom(editor_state* editor);

// min(w / 960, h / 600) once the size is known, else the host scale when above 0, else 1. [main-thread]
double ui_scale(const editor_state* editor);

// The zoom and window size rules on their own (the gui extension and tests use them): the zoom in
// force for a saved zoom (1.0 outside 0.6..2.5), the scale in force (1.0 when not above 0) and the
// window size floor(960 z s + 0.5) x floor(600 z s + 0.5). [any-thread]
double editor_effective_zoom(double saved_zoom);
double editor_effective_scale(double host_scale);
void editor_window_size(double zoom, double scale, uint32_t* width, uint32_t* height);

// Passes `text` to the host log at `severity` when the host offers one. [main-thread]
void instance_log(plugin_instance* instance, int32_t severity, const char* text);

// Looks up the 59 OpenGL entry points with the current context; 1 when all resolved. [main-thread]
int32_t gl_load_functions();

// Asks for a screenshot (and a column dump) of the next drawn frame at `path` (cut to 511
// characters; borrowed for the call). [main-thread]
void editor_request_dump(editor_state* editor, const char* path);

// 1 and the probe pixel's colour once it has been read back from a drawn frame, else 0. [main-thread]
uint32_t editor_probe_pixel(const editor_state* editor, uint8_t rgb[3]);

// Copies the graph's draw-probe header (88 bytes, when header is not null) and up to max records
// (40 bytes each, when records is not null and the count is at least 1); returns min(count, max),
// 0 while no probe data is valid. [main-thread]
int32_t editor_probe_read(const editor_state* editor, void* header, void* records, int32_t max);

// 1 and the window-pixel rectangle of the first hit entry of the last frame that `selector` (with n)
// matches, else 0. Selectors 19 and 20: the knob and the switch of parameter index n. [main-thread]
uint32_t editor_find_widget_rect(const editor_state* editor, uint32_t selector, int32_t n, float rect[4]);

// ---- Frame and hit list -----------------------------------------------------------------------

// Draws one frame into the view's current GL context, records the hit list, takes the one-time
// probe and a pending screenshot. [main-thread]
void editor_render_frame(editor_state* editor);

// The canvas part of a frame on the editor's drawing context, whatever its back end: group refresh,
// background, panels in order, hit list moved into view units. Nothing without a context.
// [main-thread]
void editor_draw_canvas(editor_state* editor);

// Scale and centring offset of a w x h window (host scale used while w or h is 0). [any-thread]
void editor_frame_geometry(uint32_t width, uint32_t height, double host_scale, double* scale,
                           double* offset_x, double* offset_y);

// Appends a hit entry in canvas units; dropped without notice once the list is full (which no frame
// reaches: see HIT_LIST_CAPACITY). [main-thread]
inline void hit_record(editor_state* editor, int32_t kind, int32_t index, int32_t sub, float x, float y,
                       float w, float h) {
    if (editor->hit_count >= HIT_LIST_CAPACITY) return;
    editor->hits[editor->hit_count++] = hit_entry{kind, index, sub, x, y, w, h};
}

// The topmost (last recorded) entry of the last frame holding the point (view units), or null.
// The pointer is owned by the editor and valid until the next frame. [main-thread]
const hit_entry* editor_hit_test(const editor_state* editor, double x, double y);

// ---- Input --------------------------------------------------------------------------------------

// A press of the primary button at (x, y) view units; `time` is the event time in seconds,
// `reset_modifier` Ctrl or Alt held. [main-thread]
void editor_on_button_press(editor_state* editor, double x, double y, double time, bool reset_modifier);

// The primary button's release: ends a grip drag or a parameter drag. [main-thread]
void editor_on_button_release(editor_state* editor);

// Pointer motion at (x, y) view units: hover, or a drag's values. [main-thread]
void editor_on_motion(editor_state* editor, double x, double y, bool shift);

// The pointer left the view: clears the hover unless a drag runs. [main-thread]
void editor_on_pointer_out(editor_state* editor);

// One wheel event; dy > 0 upwards, one notch = 1. [main-thread]
void editor_on_scroll(editor_state* editor, double x, double y, double dy);

// A key press (EDITOR_KEY_* or the unshifted character) with EDITOR_MOD_* bits. [main-thread]
void editor_on_key_press(editor_state* editor, uint32_t key, uint32_t mods);

// A text (character) event with EDITOR_MOD_* bits. [main-thread]
void editor_on_text(editor_state* editor, uint32_t character, uint32_t mods);

// ---- Text entry -------------------------------------------------------------------------------

// Opens typing of a value for parameter `param` of the control `entry` (borrowed). [main-thread]
void begin_value_entry(editor_state* editor, const hit_entry* entry, int32_t param);

// Opens typing of a preset name (mode 1 stage, 2 chain) prefilled with `name`, under the open menu.
// [main-thread]
void begin_name_entry(editor_state* editor, int32_t mode, const char* name);

// Enter (13), Escape (27), Backspace (8) or a printable character 32..126. [main-thread]
void text_entry_key(editor_state* editor, int32_t key);

// Ends the entry and carries it out (value set or preset saved). [main-thread]
void commit_text_entry(editor_state* editor);

// ---- Edit operations --------------------------------------------------------------------------

// Follows the own stage's Group and rebuilds the group list. [main-thread]
void editor_refresh_group(editor_state* editor);

// The focused index when in the list; EDITOR_FOCUS_MISSING while the picked stage is missing from
// it; else the own stage's place, else 0. [main-thread]
int32_t focused_stage_index(const editor_state* editor);

// The slot the single-stage controls show (borrowed, lives with the segment): the picked stage's,
// also while it is missing from the list. [main-thread]
shm_slot* focused_stage_record(const editor_state* editor);

// Picks list entry `index` as the focused stage (by its instance id); an index outside the list
// drops the focus. [main-thread]
void editor_focus_stage(editor_state* editor, int32_t index);

// Drops the focus: the own stage is meant again. [main-thread]
void editor_clear_focus(editor_state* editor);

// How long a picked stage may be missing from the list before the focus lets it go, in seconds,
// from the period of its process calls that its slot gives. [main-thread]
double focus_hold_seconds(const shm_slot* slot);

// The slots an edit of `stage_index` applies to, into out (64 entries, caller's); at least 1, except
// none for EDITOR_FOCUS_MISSING outside chain mode. With `ids`, the instance id each slot holds now
// goes there. [main-thread]
int32_t collect_target_stages(const editor_state* editor, int32_t stage_index, shm_slot** out,
                              uint64_t* ids = nullptr);

// The one write path of clicks, typed values, menus and presets: undo point (only when a target's
// value changes), then gesture begin, value, end on every target stage. [main-thread]
void editor_set_param(editor_state* editor, int32_t stage_index, int32_t param, double value);

// The same on given slots, each written only while it still holds the stage of its instance id
// (slot_is_instance); `key` is the undo key. [main-thread]
void editor_write_param(editor_state* editor, shm_slot* const* slots, const uint64_t* ids, int32_t n,
                        int32_t param, double value, uint32_t key);

// Ends the open drag: one gesture end per dragged slot that still holds its stage; a grip drag just
// stops. Without a drag nothing happens. [main-thread]
void editor_end_drag(editor_state* editor);

// Starts a drag of `param` from the widget `kind` at (x, y). [main-thread]
void group_drag_begin(editor_state* editor, int32_t kind, int32_t stage_index, int32_t param, double x,
                      double y);

// Sum of every listed stage's Gain (dB); 0 with an empty list. [main-thread]
double chain_total_gain(const editor_state* editor);

// True while the active stage of slot `s` runs another lookahead than its Lookahead value asks for:
// the new value waits for the stage's host to restart it (the latency the stage published at its
// activation tells what its engine runs). The lookahead it runs, in ms, then goes to *runs_ms. A slot
// that is not active, or whose rate or latency make no sense, waits for nothing. [main-thread]
bool stage_lookahead_waits(const shm_slot* s, double* runs_ms);

// The part of a chain-total change that stage k of n takes, by the instance's spread. [main-thread]
double gain_share_weight(const editor_state* editor, int32_t k, int32_t n);

// Plain value <-> normalised 0..1 position (logarithmic for Release and Lookahead). [any-thread]
double param_to_normalized(int32_t param, double value);
double param_from_normalized(int32_t param, double t);

// ---- Undo, redo, A/B --------------------------------------------------------------------------

// One undo point before an edit; equal non-zero keys less than 0.5 s apart join one step.
// [main-thread]
void history_push(editor_state* editor, uint32_t key);
void history_undo(editor_state* editor);
void history_redo(editor_state* editor);

// The A/B button (swap to the other setting) and Copy (current setting over the other). [main-thread]
void ab_swap(editor_state* editor);
void ab_copy(editor_state* editor);

// ---- Presets ------------------------------------------------------------------------------------

// Lists the user presets again (max 24); a selection beyond the list becomes 0. [main-thread]
void preset_list_refresh(editor_state* editor);

// Applies built-in preset 0..12 (the caller makes the undo point and sets the loading flag).
// [main-thread]
void apply_builtin_preset(editor_state* editor, int32_t index);

// Applies user preset i (one undo step). [main-thread]
void apply_user_preset(editor_state* editor, int32_t index);

// Steps the selection by delta (-1 or +1) with wrap-around and applies it. [main-thread]
void preset_step(editor_state* editor, int32_t delta);

// Saves the focused stage (mode 1) or the chain (mode 2) as `name` and selects it. [main-thread]
void preset_save_current(editor_state* editor, int32_t mode, const char* name);

// Opens the name entry under the preset button to save by keyboard. [main-thread]
void preset_name_edit_begin(editor_state* editor, int32_t mode);

// The user presets of the preset folder into names (max x 64 bytes, caller's) and, when `files` is
// given, the exact file name of each into files (max x 72 bytes, caller's); returns the count. The
// first max (at most 24) in name order (without regard to case, ties byte by byte), so the list is
// the same on every call. A file whose name cannot be shown as it is (longer than 63 bytes, with a
// control character, not valid UTF-8) is not listed. [main-thread]
int32_t preset_list(char (*names)[PRESET_NAME_SIZE], int32_t max, char (*files)[PRESET_FILE_NAME_SIZE] = nullptr);

// Name of built-in preset 0..12 (a constant string), name of preset 0 for any other index.
// [any-thread]
const char* builtin_preset_name(int32_t index);

// ---- Panels: each draws from the editor's state and records its hit entries ------------------

// [main-thread] for all of them; `now` arguments as named.
void draw_header_bar(editor_state* editor);
void draw_chain_panel(editor_state* editor);
void draw_history_graph(editor_state* editor, int64_t now_ns); // now: clock_ns
// The box (x0, y0, x1, y1, canvas units) that the history graph's opaque ground covers whole.
void history_graph_covered(float box[4]);
void draw_loudness_panel(editor_state* editor, double now);     // now: world clock, seconds
void draw_stage_grid(editor_state* editor);
void draw_controls_panel(editor_state* editor);
void draw_gain_fader(editor_state* editor);
void draw_footer_bar(editor_state* editor);
void draw_popup_menu(editor_state* editor);
void draw_preset_menu(editor_state* editor);

// The preset menu stays between these canvas heights; with more user presets than fit, a run of
// them is shown and the save and delete rows stay in view.
inline constexpr float PRESET_MENU_TOP = 4.0f;
inline constexpr float PRESET_MENU_BOTTOM = 596.0f;

// How many of `users` user presets the preset menu shows (all when they fit). [any-thread]
int32_t preset_menu_user_rows(int32_t users, bool delete_row);

// Moves the run of user presets the preset menu shows by one row per wheel notch (dy > 0 up).
// [main-thread]
void preset_menu_scroll(editor_state* editor, double dy);
void draw_tooltip(editor_state* editor, double now); // now: world clock, seconds
void draw_text_entry_box(editor_state* editor);
void draw_about_overlay(editor_state* editor);

// Moves every listed stage's Gain so the shown loudness meets the target. [main-thread]
void gain_to_target(editor_state* editor);

// The loudness target in force (LUFS) for a target index and custom target. [any-thread]
double loudness_target_lufs(uint32_t target_index, double custom_target_lufs);

// Help sentence of parameter 0..16, "" for any other index. [any-thread]
const char* param_tooltip_text(int32_t param);

// Title and help of a widget's tooltip into the caller's buffers; false when it has none.
// [main-thread]
bool editor_widget_tooltip(const editor_state* editor, const hit_entry* widget, char* title,
                           size_t title_size, char* help, size_t help_size);

// ---- History time alignment ------------------------------------------------------------------

// The record of `slot`, created (floor -1) when new; the oldest is dropped at 64. The record is the
// editor's. [main-thread]
struct ui_slot_record* ui_slot_record(editor_state* editor, shm_slot* slot);

// Folds one frame's offset estimate of a stage into its record. [main-thread]
void ui_position_tracker(struct ui_slot_record* record, bool fresh, int32_t estimate, int32_t count,
                         bool warm, int32_t gap);
