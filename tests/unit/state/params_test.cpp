// Guards the parameter table's look-ups, clamps and texts: a wrong rounding or a text rule applied in
// the wrong order would change what the host shows and what a typed value means.
#include "params.h"

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <string>

static std::string text_of(int32_t index, double value, size_t capacity = 64) {
    char buf[64];
    format_param_value(index, value, buf, capacity);
    return buf;
}

TEST(Params, TableRowsMatchTheirIdsAndFlagWords) {
    const uint32_t ids[PARAM_COUNT] = {1, 2, 3, 4, 100, 101, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
    const uint32_t flags[PARAM_COUNT] = {0x20, 0x20, 0x20, 0x20, 0x1,  0x1,  0x20, 0x21, 0x21,
                                         0,    0x21, 0x1,  0x1,  0x31, 0x21, 0x21, 0x20};
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        EXPECT_EQ(param_table[i].id, ids[i]) << i;
        EXPECT_EQ(param_table[i].flags, flags[i]) << i;
        EXPECT_GE(param_table[i].default_value, param_table[i].min) << i;
        EXPECT_LE(param_table[i].default_value, param_table[i].max) << i;
    }
}

TEST(Params, IndexOfId) {
    struct {
        uint32_t id;
        int32_t index;
    } cases[] = {{100, 4}, {101, 5}, {16, -1}, {0, -1}, {1, 0}, {15, 16}, {8, 9}};
    for (auto& c : cases)
        EXPECT_EQ(param_index_of_id(c.id), c.index) << c.id;
}

TEST(Params, Clamp) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct {
        int32_t index;
        double in, out;
    } cases[] = {
        {PARAM_CEILING, nan, -0.3},  {PARAM_STAGE, 2.5, 3},         {PARAM_STAGE, -7, 0},
        {PARAM_LOOKAHEAD, 20, 10},   {PARAM_LOOKAHEAD, 0.25, 0.25}, {PARAM_GROUP, 15.4, 15},
        {PARAM_STYLE, -0.5, 0},      {PARAM_INPUT, inf, 24},        {PARAM_INPUT, -inf, -24},
        {PARAM_RELEASE, 99.5, 99.5}, {PARAM_BYPASS, 0.5, 1},        {PARAM_MIX, nan, 100},
    };
    for (auto& c : cases)
        EXPECT_EQ(clamp_param_value(c.index, c.in), c.out) << c.index << " " << c.in;
}

TEST(Params, DisplayTexts) {
    struct {
        int32_t index;
        double value;
        const char* text;
    } cases[] = {
        {PARAM_CEILING, -0.3, "-0.3 dB"},
        {PARAM_RELEASE, 99.5, "100 ms"},
        {PARAM_STEREO_LINK, 100, "100 %"},
        {PARAM_LOOKAHEAD, 1.5, "1.5 ms"},
        {PARAM_GAIN, 12, "12.0 dB"},
        {PARAM_STAGE, 0, "Auto"},
        {PARAM_STAGE, 0.49, "Auto"},
        {PARAM_STAGE, 3, "3"},
        {PARAM_GROUP, 0, "A"},
        {PARAM_GROUP, 15, "P"},
        {PARAM_DITHER, 1, "24 bit"},
        {PARAM_DITHER, 0.4, "Off"},
        {PARAM_DITHER, 1.5, "16 bit"},
        {PARAM_NOISE_SHAPING, 1.49, "Light"},
        {PARAM_NOISE_SHAPING, 2, "Weighted"},
        {PARAM_STYLE, 9, "Safe"},
        {PARAM_STYLE, 2, "Punchy"},
        {PARAM_STYLE, -3, "Transparent"},
        {PARAM_TRUE_PEAK, 0.5, "On"},
        {PARAM_BYPASS, 0.49, "Off"},
        {PARAM_MIX, -0.5, "0 %"},
        {PARAM_INPUT, -24, "-24.0 dB"},
    };
    for (auto& c : cases)
        EXPECT_EQ(text_of(c.index, c.value), c.text) << c.index << " " << c.value;
}

TEST(Params, DisplayIsCutToCapacityAndTerminated) {
    EXPECT_EQ(text_of(PARAM_CEILING, -0.3, 4), "-0.");
    EXPECT_EQ(text_of(PARAM_STYLE, 3, 1), "");
    char untouched = 'x';
    format_param_value(PARAM_GAIN, 1.0, &untouched, 0);
    EXPECT_EQ(untouched, 'x');
}

TEST(Params, TextToValue) {
    struct {
        int32_t index;
        const char* text;
        int32_t ok;
        double value;
    } cases[] = {
        {PARAM_STAGE, "   a", 1, 0},
        {PARAM_STAGE, "Auto", 1, 0},
        {PARAM_STAGE, "3", 1, 3},
        {PARAM_STAGE, "2.5", 1, 3},
        {PARAM_BYPASS, "off", 1, 0},
        {PARAM_BYPASS, "ON", 1, 1},
        {PARAM_BYPASS, "o", 1, 0},
        {PARAM_BYPASS, "ox", 1, 0},
        {PARAM_BYPASS, "0.7", 1, 1},
        {PARAM_TRUE_PEAK, "1", 1, 1},
        {PARAM_GROUP, "q", 0, 0},
        {PARAM_GROUP, "b", 1, 1},
        {PARAM_GROUP, "P", 1, 15},
        {PARAM_GROUP, "3", 1, 3},
        {PARAM_GROUP, "ab", 0, 0},
        {PARAM_NOISE_SHAPING, "weigh", 1, 2},
        {PARAM_NOISE_SHAPING, "n", 1, 0},
        {PARAM_DITHER, "16 bit", 1, 2},
        {PARAM_DITHER, "24", 1, 1},
        {PARAM_DITHER, "240", 1, 1},
        {PARAM_DITHER, "of", 1, 0},
        {PARAM_DITHER, "1", 1, 1},
        {PARAM_STYLE, "p", 1, 2},
        {PARAM_STYLE, "A", 1, 1},
        {PARAM_STYLE, "ag", 1, 3},
        {PARAM_STYLE, "b", 1, 4},
        {PARAM_STYLE, "s", 1, 5},
        {PARAM_STYLE, "t", 1, 0},
        {PARAM_STYLE, "2", 1, 2},
        {PARAM_STYLE, "Punchyx", 0, 0},
        {PARAM_CEILING, "abc", 0, 0},
        {PARAM_CEILING, "-99", 1, -12},
        {PARAM_CEILING, "-0.3 dB", 1, -0.3},
        {PARAM_RELEASE, "120ms", 1, 120},
        {PARAM_RELEASE, "nan", 1, 100},
        {PARAM_RELEASE, "1e3", 1, 1000},
        {PARAM_INPUT, "inf", 1, 24},
        {PARAM_INPUT, "-Infinity", 1, -24},
        {PARAM_GAIN, "NAN(1)", 1, 0},
        {PARAM_LOOKAHEAD, "0.25", 1, 0.25},
    };
    for (auto& c : cases) {
        double v = -1234.5;
        EXPECT_EQ(param_text_to_value(c.index, c.text, &v), c.ok) << c.index << " '" << c.text << "'";
        EXPECT_EQ(v, c.ok ? c.value : -1234.5) << c.index << " '" << c.text << "'";
    }
}

TEST(Params, DecimalCommaAndSecondsInTypedValues) {
    // A user of a decimal-comma locale types "-0,5"; one who thinks in seconds types "1 s". Read as
    // the plain rules read them, the first gave 0 dB and the second 5 ms.
    struct {
        int32_t index;
        const char* text;
        double value;
    } cases[] = {
        {PARAM_CEILING, "-0,5", -0.5},
        {PARAM_CEILING, "-1,25 dB", -1.25},
        {PARAM_CEILING, "-1,5e0", -1.5},
        {PARAM_GAIN, "1,5.", 1.0}, // a point anywhere: the comma ends the number as before
        {PARAM_GAIN, "2.5,7", 2.5},
        {PARAM_MIX, "50,", 50},
        {PARAM_RELEASE, "1 s", 1000},
        {PARAM_RELEASE, "0.25s", 250},
        {PARAM_RELEASE, "1,5 S", 1500},
        {PARAM_RELEASE, "1  s  ", 1000},
        {PARAM_RELEASE, "5 s", 2000},    // clamped after the unit
        {PARAM_RELEASE, "120 ms", 120},  // the row's own unit
        {PARAM_RELEASE, "120 sec", 120}, // only "s" alone means seconds
        {PARAM_RELEASE, "nan s", 100},
        {PARAM_LOOKAHEAD, "0,002 s", 2},
        {PARAM_LOOKAHEAD, "0.005s", 5},
        {PARAM_GAIN, "1 s", 1}, // not a time row
        {PARAM_STEREO_LINK, "1 s", 1},
    };
    for (auto& c : cases) {
        double v = -1234.5;
        EXPECT_EQ(param_text_to_value(c.index, c.text, &v), 1) << c.index << " '" << c.text << "'";
        EXPECT_DOUBLE_EQ(v, c.value) << c.index << " '" << c.text << "'";
    }
    double v = 7.0;
    EXPECT_EQ(param_text_to_value(PARAM_CEILING, ",5", &v), 0) << "no digit before the comma: no number";
    EXPECT_EQ(param_text_to_value(PARAM_RELEASE, "s", &v), 0);
    EXPECT_EQ(v, 7.0);
}

TEST(Params, NumberParserReadsEverySpellingOnEveryRuntime) {
    // One parser for typed values and preset files: a C runtime whose strtod reads "nan" or "inf" as
    // no number at all made a preset's nan Release 5 ms instead of the default.
    struct {
        const char* text;
        double value; // NaN: expect NaN
        size_t used;
    } cases[] = {
        {"nan", NAN, 3},
        {"-inf # x", -HUGE_VAL, 4},
        {" \tInfinity", HUGE_VAL, 10},
        {"NAN(12)", NAN, 7},
        {"-0.25e1 dB", -2.5, 7},
        {"  +7", 7, 4},
        {"abc", 0, 0},
        {"", 0, 0},
    };
    for (auto& c : cases) {
        char* end = nullptr;
        const double v = param_strtod(c.text, &end);
        if (std::isnan(c.value)) {
            EXPECT_TRUE(std::isnan(v)) << c.text;
        } else {
            EXPECT_EQ(v, c.value) << c.text;
        }
        EXPECT_EQ(static_cast<size_t>(end - c.text), c.used) << c.text;
    }
}

TEST(Params, EmptyOrBlankTextFailsForEveryIndex) {
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        double v = 7.0;
        EXPECT_EQ(param_text_to_value(i, "", &v), 0) << i;
        EXPECT_EQ(param_text_to_value(i, "    ", &v), 0) << i;
        EXPECT_EQ(v, 7.0);
    }
}

TEST(Params, EveryDisplayTextReadsBackToItsValue) {
    // What the host shows must be accepted back as the same value (stepped rows) or within the
    // display's precision (continuous rows).
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        const param_spec& p = param_table[i];
        for (int k = 0; k <= 8; ++k) {
            double v = clamp_param_value(i, p.min + (p.max - p.min) * k / 8.0);
            double back = -1e9;
            ASSERT_EQ(param_text_to_value(i, text_of(i, v).c_str(), &back), 1) << i << " " << text_of(i, v);
            double tolerance =
                (p.flags & PARAM_IS_STEPPED) ? 0.0 : 0.5001 * std::pow(10.0, -double(p.decimals));
            EXPECT_NEAR(back, v, tolerance) << i << " " << text_of(i, v);
        }
    }
}

#if !defined(_WIN32)
// A decimal-comma locale built for the test into a folder of its own (LOCPATH), so the test never
// depends on which locales the machine has, and removed afterwards.
struct comma_locale {
    std::string folder;
    bool ready = false;
    comma_locale() {
        char tmpl[] = "/tmp/lodrin-locale-XXXXXX";
        if (!mkdtemp(tmpl)) return;
        folder = tmpl;
        const std::string cmd = "localedef -i de_DE -f UTF-8 " + folder + "/de_DE.UTF-8 >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0) return;
        setenv("LOCPATH", folder.c_str(), 1);
        ready = setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr;
    }
    ~comma_locale() {
        setlocale(LC_NUMERIC, "C");
        unsetenv("LOCPATH");
        if (!folder.empty()) {
            const std::string cmd = "rm -rf '" + folder + "'";
            if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", folder.c_str());
        }
    }
};
#endif

TEST(Params, NumbersIgnoreTheHostLocale) {
    // A host may run with a decimal-comma locale; our texts and parsing stay with '.'.
#if defined(_WIN32)
    if (setlocale(LC_NUMERIC, "German_Germany.1252") == nullptr) GTEST_SKIP() << "no decimal-comma locale";
#else
    comma_locale locale;
    ASSERT_TRUE(locale.ready) << "localedef could not build de_DE.UTF-8 (package locales)";
#endif
    // The locale really is one the C library formats with a comma, so the checks below can fail.
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.1f", 0.5);
    ASSERT_STREQ(probe, "0,5");
    struct text_case {
        const char* text;
        double value;
    };
    for (const text_case c : {text_case{"-0.5", -0.5}, text_case{"-1.25 dB", -1.25}}) {
        double v = 0;
        EXPECT_EQ(param_text_to_value(PARAM_CEILING, c.text, &v), 1) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    EXPECT_EQ(text_of(PARAM_CEILING, -0.3), "-0.3 dB");
    EXPECT_EQ(text_of(PARAM_GAIN, 6.5), "6.5 dB");
    setlocale(LC_NUMERIC, "C");
}

TEST(Params, MatchWordPrefix) {
    struct {
        const char* text;
        const char* name;
        int32_t result;
    } cases[] = {
        {"pun", "Punchy", 3},     {"PUNCHY", "Punchy", 6}, {"Punchy style", "Punchy", 6},
        {"Punchyx", "Punchy", 0}, {"", "Punchy", 0},       {" pun", "Punchy", 0},
        {"px", "Punchy", 0},      {"[", "{", 0},           {"W", "Weighted", 1},
    };
    for (auto& c : cases)
        EXPECT_EQ(match_word_prefix(c.text, c.name), c.result) << c.text;
}

TEST(Params, StyleNameClamps) {
    EXPECT_STREQ(style_name(-1), "Transparent");
    EXPECT_STREQ(style_name(0), "Transparent");
    EXPECT_STREQ(style_name(3), "Aggressive");
    EXPECT_STREQ(style_name(6), "Safe");
}
