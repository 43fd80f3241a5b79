// Parameter look-up, clamping and the value <-> text conversions.
//
// Two roundings are in use and each caller keeps its own: the clamp and the plain-number display
// round with floor(v + 0.5) (halves up, negative values too); the named displays (Stage, Group,
// Style) truncate v + 0.5 toward zero. The On/Off, Dither and Noise-shaping texts switch on the raw
// value at 0.5 and 1.5, not on a rounded one.
#include "params.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>

int32_t param_index_of_id(uint32_t id) {
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        if (param_table[i].id == id) return i;
    }
    return -1;
}

double clamp_param_value(int32_t index, double value) {
    const param_spec& p = param_table[index];
    if (std::isnan(value)) return p.default_value;
    double v = value < p.min ? p.min : (value > p.max ? p.max : value);
    if (p.flags & PARAM_IS_STEPPED) v = std::floor(v + 0.5);
    return v;
}

static bool is_switch(int32_t index) {
    return index == PARAM_TRUE_PEAK || index == PARAM_ADAPTIVE_RELEASE || index == PARAM_BYPASS ||
           index == PARAM_DELTA_LISTEN || index == PARAM_UNITY_GAIN;
}

// trunc(v + 0.5) as an int, kept inside the int range so that a huge or infinite value cannot
// overflow the conversion.
static int32_t named_index(double value) {
    double t = std::trunc(value + 0.5);
    if (!(t > -1e9)) return -1000000000;
    if (t > 1e9) return 1000000000;
    return static_cast<int32_t>(t);
}

void format_param_value(int32_t index, double value, char* out, size_t capacity) {
    if (out == nullptr || capacity == 0) return;
    const param_spec& p = param_table[index];
    switch (index) {
        case PARAM_STAGE:
            if (value < 0.5) {
                snprintf(out, capacity, "Auto");
            } else {
                snprintf(out, capacity, "%d", named_index(value));
            }
            return;
        case PARAM_GROUP:
            snprintf(out, capacity, "%c", static_cast<char>('A' + named_index(value)));
            return;
        case PARAM_STYLE: {
            int32_t s = named_index(value);
            snprintf(out, capacity, "%s", style_name(s));
            return;
        }
        case PARAM_DITHER:
            snprintf(out, capacity, "%s", dither_names[value < 0.5 ? 0 : (value < 1.5 ? 1 : 2)]);
            return;
        case PARAM_NOISE_SHAPING:
            snprintf(out, capacity, "%s", noise_shaping_names[value < 0.5 ? 0 : (value < 1.5 ? 1 : 2)]);
            return;
        default:
            break;
    }
    if (is_switch(index)) {
        snprintf(out, capacity, "%s", value >= 0.5 ? "On" : "Off");
        return;
    }
    // A value outside the row (a host may ask for any double) shows as the nearest value the stage can
    // take, never as a wrapped or hundreds-of-digits number; NaN shows as the default.
    if (std::isnan(value)) value = p.default_value;
    value = value < p.min ? p.min : (value > p.max ? p.max : value);
    const char* sep = p.unit[0] != '\0' ? " " : "";
    if (p.decimals > 0) {
        snprintf(out, capacity, "%.*f%s%s", static_cast<int>(p.decimals), value, sep, p.unit);
        // The display always uses '.', whatever decimal mark the host's locale would give.
        for (char* c = out; *c != '\0' && *c != ' '; ++c) {
            if (*c == ',') *c = '.';
        }
    } else {
        double r = std::floor(value + 0.5);
        int32_t whole = !(r > -2e9) ? INT32_MIN : (r > 2e9 ? INT32_MAX : static_cast<int32_t>(r));
        snprintf(out, capacity, "%d%s%s", whole, sep, p.unit);
    }
}

static char fold(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

int32_t match_word_prefix(const char* text, const char* name) {
    if (text == nullptr || name == nullptr || text[0] == '\0' || text[0] == ' ') return 0;
    int32_t n = 0;
    for (; text[n] != '\0' && text[n] != ' '; ++n) {
        if (name[n] == '\0' || fold(text[n]) != fold(name[n])) return 0;
    }
    return n;
}

static bool starts_with_word(const char* text, const char* word) {
    for (; *word != '\0'; ++text, ++word) {
        char c = (*text >= 'A' && *text <= 'Z') ? static_cast<char>(*text - 'A' + 'a') : *text;
        if (c != *word) return false;
    }
    return true;
}

double param_strtod(const char* text, char** end) {
    // Leading white space as strtod skips it, so that the spellings below are found after it too.
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    double sign = 1.0;
    if (*p == '+' || *p == '-') sign = (*p++ == '-') ? -1.0 : 1.0;
    if (starts_with_word(p, "inf")) {
        p += starts_with_word(p, "infinity") ? 8 : 3;
        *end = const_cast<char*>(p);
        return sign * HUGE_VAL;
    }
    if (starts_with_word(p, "nan")) {
        p += 3;
        if (*p == '(') {
            const char* q = p + 1;
            while ((*q >= '0' && *q <= '9') || (*q >= 'a' && *q <= 'z') || (*q >= 'A' && *q <= 'Z') ||
                   *q == '_')
                ++q;
            if (*q == ')') p = q + 1;
        }
        *end = const_cast<char*>(p);
        return std::nan("");
    }
#if defined(_WIN32)
    static _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
    return c_locale ? _strtod_l(text, end, c_locale) : strtod(text, end);
#else
    static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return c_locale ? strtod_l(text, end, c_locale) : strtod(text, end);
#endif
}

static bool is_time(int32_t index) {
    return index == PARAM_RELEASE || index == PARAM_LOOKAHEAD;
}

// The number of a typed text. A comma stands for the decimal point in a text that has no point
// ("-0,5"), as a user of a decimal-comma locale types it; the number is then read from a copy with
// that comma replaced (texts longer than the copy keep the comma). A time row also takes seconds: an
// "s" after the number, blanks between allowed, and no letter after it ("1 s", "0.5s"; "ms" is the
// row's own unit) multiplies by 1000.
static bool read_number(int32_t index, const char* text, double* out) {
    char* end = nullptr;
    double v = param_strtod(text, &end);
    if (end == text) return false;
    if (*end == ',' && strchr(text, '.') == nullptr) {
        char copy[256];
        const size_t n = strlen(text);
        if (n < sizeof copy) {
            memcpy(copy, text, n + 1);
            copy[end - text] = '.';
            char* copy_end = nullptr;
            v = param_strtod(copy, &copy_end);
            end = const_cast<char*>(text) + (copy_end - copy);
        }
    }
    if (is_time(index)) {
        const char* u = end;
        while (*u == ' ')
            ++u;
        const char after = (*u == 's' || *u == 'S') ? u[1] : 'x';
        if (!((after >= 'a' && after <= 'z') || (after >= 'A' && after <= 'Z'))) v *= 1000.0;
    }
    *out = clamp_param_value(index, v);
    return true;
}

int32_t param_text_to_value(int32_t index, const char* text, double* out) {
    if (text == nullptr || out == nullptr) return 0;
    while (*text == ' ')
        ++text;
    if (*text == '\0') return 0;

    if (index == PARAM_STAGE) {
        if (text[0] == 'A' || text[0] == 'a') {
            *out = 0.0;
            return 1;
        }
    } else if (index == PARAM_GROUP) {
        char c = fold(text[0]);
        if (c >= 'a' && c <= 'p' && text[1] == '\0') {
            *out = static_cast<double>(c - 'a');
            return 1;
        }
    } else if (is_switch(index)) {
        if (text[0] == 'O' || text[0] == 'o') {
            *out = (text[1] == 'N' || text[1] == 'n') ? 1.0 : 0.0;
            return 1;
        }
    } else if (index == PARAM_STYLE) {
        for (int32_t i = 0; i < STYLE_COUNT; ++i) {
            if (match_word_prefix(text, style_names[i]) > 0) {
                *out = static_cast<double>(i);
                return 1;
            }
        }
    } else if (index == PARAM_DITHER) {
        if (match_word_prefix(text, "Off") > 0) {
            *out = 0.0;
            return 1;
        }
        if (text[0] == '2' && text[1] == '4') {
            *out = 1.0;
            return 1;
        }
        if (text[0] == '1' && text[1] == '6') {
            *out = 2.0;
            return 1;
        }
    } else if (index == PARAM_NOISE_SHAPING) {
        for (int32_t i = 0; i < 3; ++i) {
            if (match_word_prefix(text, noise_shaping_names[i]) > 0) {
                *out = static_cast<double>(i);
                return 1;
            }
        }
    }
    return read_number(index, text, out) ? 1 : 0;
}

const char* style_name(int32_t index) {
    if (index < 0) return style_names[0];
    if (index >= STYLE_COUNT) return style_names[STYLE_COUNT - 1];
    return style_names[index];
}
