// Parameter settings and automation as the command line and automation files give them:
//
//   setting:     [STAGE:]NAME=VALUE          (STAGE 1-based; without it, every stage)
//   automation:  one "TIME [STAGE:]NAME=VALUE" per line, TIME in frames ("48000") or seconds
//                ("1.5s"); blank lines and lines starting with '#' are ignored.
//
// VALUE is any text the parameter's text_to_value understands ("6", "-1 dB", "On", "Punchy").
#pragma once

#include <cstddef>
#include <cstdint>

struct param_setting {
    int64_t frame;  // -1 for a setting applied before processing
    uint32_t stage; // 1-based; 0 = every stage
    char name[96];
    char value[96];
};

// Parses one setting (no time). False with a message in `err`. [main-thread]
bool parse_setting(const char* text, param_setting* out, char* err, size_t err_cap);

// Reads an automation file into `out` (capacity `cap`), sorted by time (stable). Returns the count,
// or -1 with a message (unreadable file, a malformed line with its number, too many lines).
// `rate` converts seconds to frames. [main-thread]
int32_t read_automation(const char* path, double rate, param_setting* out, int32_t cap, char* err,
                        size_t err_cap);
