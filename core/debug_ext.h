// The private extension "com.tovarin.lodrin.debug/1": how a test host inspects a running stage
// (chain size and place, published meters and history, MIDI learn) and, once an editor exists, its
// rendered pixels, widget rectangles, screenshots and draw probes. Nothing in the plug-in calls it.
//
// This header is the extension's ABI: a host includes it (with core/clap) to call the table.
#pragma once

#include <cstdint>

#include "clap/plugin.h"

inline constexpr char LODRIN_EXT_DEBUG[] = "com.tovarin.lodrin.debug/1";

// debug_get_meter indices.
enum : uint32_t {
    DEBUG_METER_MIN_GAIN = 0,
    DEBUG_METER_INPUT_PEAK = 1,
    DEBUG_METER_DETECTED_PEAK = 2,
    DEBUG_METER_OUTPUT_PEAK = 3,
    DEBUG_METER_OUTPUT_TRUE_PEAK = 4,
    DEBUG_METER_MOMENTARY = 5,
    DEBUG_METER_SHORT_TERM = 6,
    DEBUG_METER_INTEGRATED = 7,
    DEBUG_METER_OVERSIZE_BLOCKS = 8,
    DEBUG_METER_LARGEST_BLOCK = 9,
};

// debug_get_history_value's answer for an age with no entry.
inline constexpr double DEBUG_HISTORY_NONE = -1000.0;

// Sizes of the draw-probe header and of one record copied by debug_read_draw_probes.
inline constexpr uint32_t DEBUG_PROBE_HEADER_SIZE = 88;
inline constexpr uint32_t DEBUG_PROBE_RECORD_SIZE = 40;

struct lodrin_plugin_debug {
    // Number of stages (at most 64) in the chain listing of this stage's own Group. [main-thread]
    uint32_t (*debug_group_instance_count)(const clap_plugin* plugin);

    // 1-based place of this stage in that listing; 0 when absent or the listing is empty. [main-thread]
    uint32_t (*debug_group_position)(const clap_plugin* plugin);

    // One published value of the stage's slot (DEBUG_METER_*); 0.0 for an index above 9. [main-thread]
    double (*debug_get_meter)(const clap_plugin* plugin, uint32_t index);

    // 1 and the probe pixel's colour once the editor read it back from a drawn frame, else 0 (always 0
    // without an editor). [main-thread]
    uint32_t (*debug_get_probe_pixel)(const clap_plugin* plugin, uint8_t rgb[3]);

    // 1 and the window-pixel rectangle (x, y, w, h) of the first widget of the last frame matching
    // selector (and n), else 0 (always 0 without an editor). [main-thread]
    uint32_t (*debug_find_widget_rect)(const clap_plugin* plugin, uint32_t selector, int32_t n,
                                       float rect[4]);

    // History entry `age` columns back from the newest of ring 0, 1, 2 (any other number: ring 3),
    // widened; DEBUG_HISTORY_NONE when there is no such entry. [main-thread]
    double (*debug_get_history_value)(const clap_plugin* plugin, int32_t ring, int32_t age);

    // Arms MIDI learn for parameter table index `index` (-1 disarms). [main-thread]
    void (*debug_arm_midi_learn)(const clap_plugin* plugin, int32_t index);

    // Asks the editor to write its next frame to `path` (PPM) with a column dump beside it. 1 when
    // handed over, 0 without an editor. [main-thread]
    uint32_t (*debug_request_screenshot)(const clap_plugin* plugin, const char* path);

    // Copies the editor's draw-probe header (DEBUG_PROBE_HEADER_SIZE bytes, when header is not null) and
    // up to max records (DEBUG_PROBE_RECORD_SIZE bytes each, when records is not null). Returns the
    // number of records available up to max; 0 without an editor or probe data. [main-thread]
    int32_t (*debug_read_draw_probes)(const clap_plugin* plugin, void* header, void* records, int32_t max);

    void* reserved; // always null: the end of the table
};
