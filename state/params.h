// The one parameter table of a stage and the pure conversions every other module uses on it:
// look-up by host id, clamping into range and the value <-> text conversions shown to the host
// and typed into the editor.
//
// A parameter is addressed by its table index 0..16 inside the system (slot values, undo records,
// presets) and by its host id (the `id` column) at the host and in saved state.
//
// Every function here is pure and may be called from any thread, the audio thread included.
#pragma once

#include <cstddef>
#include <cstdint>

// Parameter flag words as reported to the host. The values are the plug-in interface's own
// (stepped 0x1, bypass 0x10, automatable 0x20); the core checks them against its declarations.
enum : uint32_t {
    PARAM_IS_STEPPED = 1u << 0,
    PARAM_IS_BYPASS = 1u << 4,
    PARAM_IS_AUTOMATABLE = 1u << 5,
};

// Table indices, in row order. This is also the order of the 17 values in a slot and in saved state.
enum param_index : int32_t {
    PARAM_INPUT = 0,
    PARAM_GAIN = 1,
    PARAM_CEILING = 2,
    PARAM_RELEASE = 3,
    PARAM_STAGE = 4,
    PARAM_GROUP = 5,
    PARAM_STEREO_LINK = 6,
    PARAM_TRUE_PEAK = 7,
    PARAM_ADAPTIVE_RELEASE = 8,
    PARAM_LOOKAHEAD = 9,
    PARAM_STYLE = 10,
    PARAM_DITHER = 11,
    PARAM_NOISE_SHAPING = 12,
    PARAM_BYPASS = 13,
    PARAM_DELTA_LISTEN = 14,
    PARAM_UNITY_GAIN = 15,
    PARAM_MIX = 16,
    PARAM_COUNT = 17,
};

struct param_spec {
    uint32_t id;      // host parameter id
    const char* name; // host-visible name
    double min;       // plain (unscaled) range and default
    double max;
    double default_value;
    uint32_t flags;    // PARAM_IS_* word reported to the host; stepped also rounds every clamp
    const char* unit;  // may be empty
    uint32_t decimals; // decimals of the display text, 0 = whole number
};

inline constexpr uint32_t PARAM_FLAGS_CONTINUOUS = PARAM_IS_AUTOMATABLE;
inline constexpr uint32_t PARAM_FLAGS_SWITCH = PARAM_IS_STEPPED | PARAM_IS_AUTOMATABLE;

inline constexpr param_spec param_table[PARAM_COUNT] = {
    {1, "Input", -24.0, 24.0, 0.0, PARAM_FLAGS_CONTINUOUS, "dB", 1},
    {2, "Gain", 0.0, 30.0, 0.0, PARAM_FLAGS_CONTINUOUS, "dB", 1},
    {3, "Ceiling", -12.0, 0.0, -0.3, PARAM_FLAGS_CONTINUOUS, "dB", 1},
    {4, "Release", 5.0, 2000.0, 100.0, PARAM_FLAGS_CONTINUOUS, "ms", 0},
    {100, "Stage", 0.0, 8.0, 0.0, PARAM_IS_STEPPED, "", 0},
    {101, "Group", 0.0, 15.0, 0.0, PARAM_IS_STEPPED, "", 0},
    {5, "Stereo link", 0.0, 100.0, 100.0, PARAM_FLAGS_CONTINUOUS, "%", 0},
    {6, "True peak", 0.0, 1.0, 1.0, PARAM_FLAGS_SWITCH, "", 0},
    {7, "Adaptive release", 0.0, 1.0, 1.0, PARAM_FLAGS_SWITCH, "", 0},
    {8, "Lookahead", 0.1, 10.0, 1.5, 0, "ms", 1},
    {9, "Style", 0.0, 5.0, 0.0, PARAM_FLAGS_SWITCH, "", 0},
    {10, "Dither", 0.0, 2.0, 0.0, PARAM_IS_STEPPED, "", 0},
    {11, "Noise shaping", 0.0, 2.0, 2.0, PARAM_IS_STEPPED, "", 0},
    {12, "Bypass", 0.0, 1.0, 0.0, PARAM_FLAGS_SWITCH | PARAM_IS_BYPASS, "", 0},
    {13, "Delta listen", 0.0, 1.0, 0.0, PARAM_FLAGS_SWITCH, "", 0},
    {14, "Unity gain", 0.0, 1.0, 0.0, PARAM_FLAGS_SWITCH, "", 0},
    {15, "Mix", 0.0, 100.0, 100.0, PARAM_FLAGS_CONTINUOUS, "%", 0},
};

// Name lists indexed by the rounded value. The style names follow the engine's style table.
inline constexpr int32_t STYLE_COUNT = 6;
inline constexpr const char* style_names[STYLE_COUNT] = {"Transparent", "Allround", "Punchy",
                                                         "Aggressive",  "Bus",      "Safe"};
inline constexpr const char* dither_names[3] = {"Off", "24 bit", "16 bit"};
inline constexpr const char* noise_shaping_names[3] = {"None", "Light", "Weighted"};

// Index of the row whose host id is `id`, or -1 when no row has it. [any-thread]
int32_t param_index_of_id(uint32_t id);

// Brings `value` into the range of row `index` (trusted, 0..16): NaN gives the default; stepped rows
// round with floor(v + 0.5) after the clamp. [any-thread]
double clamp_param_value(int32_t index, double value);

// Writes the display text of `value` for row `index` into `out` (capacity bytes, cut and always
// NUL-terminated when capacity > 0). [any-thread]
void format_param_value(int32_t index, double value, char* out, size_t capacity);

// Reads a typed or host-given text for row `index`. Returns 1 and stores the clamped value in `*out`,
// or 0 and leaves `*out` untouched when the text cannot be read. A number may use a comma for its
// decimal point when the text has no '.', and Release and Lookahead take "s" for seconds. [any-thread]
int32_t param_text_to_value(int32_t index, const char* text, double* out);

// strtod in the "C" locale, the same on every C runtime: leading white space skipped, '.' as the
// decimal point whatever locale the host set, exponents, and the spellings of infinity and NaN
// ("inf", "infinity", "nan", "nan(...)", any case, signed), which not every runtime's strtod reads.
// `*end` is set past the number, or to `text` when none was read (then 0 is returned). [any-thread]
double param_strtod(const char* text, char** end);

// Case-insensitive match of the first word of `text` against the beginning of `name`: the number of
// characters compared when the whole word matched, else 0. [any-thread]
int32_t match_word_prefix(const char* text, const char* name);

// Style name for 0..5, clamped to the first and last name outside that range. [any-thread]
const char* style_name(int32_t index);
