// Putting the history rings of every stage of a chain on one time line.
//
// Each stage writes one history entry per 64 samples into its own slot and counts them with its own
// write counter; the stages start at different times, run in different threads or processes and may
// pause, so equal entry numbers in two slots do not mean the same moment. One stage is the anchor:
// its entries are placed on the clock_ns axis through a smoothed anchor time A (anchor entry e belongs
// to the moment A + e dt). Every other stage keeps an offset in entries (its entry for anchor entry e
// is e - offset), estimated each frame from the clocks and the hosts' steady times, filtered by a
// median of 8 with hysteresis, and split into segments where the stage paused so that older history
// keeps the offset that was right at its time.
//
// Everything here runs inside the history graph's draw, on the editor's thread. [main-thread]
#pragma once

#include <cstdint>

#include "editor.h"

// The result of one alignment step, for the history graph.
struct history_frame {
    int32_t anchor;         // k: group-list index of the anchor
    int32_t newest;         // c = cnt_k - 1, -1 when the anchor has no entries yet
    double frac;            // entries between the anchor's newest entry and the display time
    int32_t virtual_newest; // V = shift + c
    double dt_ns;           // ns per entry
};

// One alignment step over the editor's n >= 1 group-list entries (every one is tracked, not only the
// drawn ones): chooses the anchor, moves A, and updates every stage's record. `frame` is the graph
// frame counter of this frame, `now` clock_ns, `fs` the sample rate in use. [main-thread]
history_frame history_align_step(editor_state* editor, int32_t frame, int64_t now, double fs);

// The stage entry to read for anchor entry `e`, or -1 when the stage has none for that moment.
// `cnt` is the stage's write counter. [main-thread]
int32_t history_lookup(const struct ui_slot_record* r, int32_t e, int32_t cnt);
