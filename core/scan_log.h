// The scan log: a diagnostic trail of loading, creating, initialising and activating stages,
// switched on by naming a file in LODRIN_SCANLOG.
#pragma once

// Appends "<ms of clock_ns> <message>\n" to the file named by LODRIN_SCANLOG (read afresh on every
// call), opened and closed per line; unset, empty or unopenable: nothing. [any-thread; never called on
// the audio thread]
void scan_log(const char* message);
