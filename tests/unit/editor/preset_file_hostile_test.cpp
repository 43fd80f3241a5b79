// Guards the preset reader against files it did not write: overlong lines, binary noise, NUL bytes,
// truncation, numbers that overflow or name no parameter or stage, a folder under a preset's name,
// and very large files. None may crash, overrun a buffer (the sanitizer tree runs this too) or
// leave a value outside its parameter's range.
#include "edit_test_support.h"

#include <random>

namespace {

class PresetFileHostile : public EditorFixture {
  protected:
    void SetUp() override {
        EditorFixture::SetUp();
        make_chain(1);
    }
    // Reads `body` as preset "case"; checks every value of every stage lies in its row's range.
    bool read(const std::string& body, preset_record* rec) {
        write_text_file(presets.file("case.lodrin"), body);
        const bool ok = preset_read("case", rec);
        if (ok) {
            EXPECT_GE(rec->stages, 1);
            EXPECT_LE(rec->stages, 8);
            for (int s = 0; s < 8; ++s)
                for (int32_t p = 0; p < PARAM_COUNT; ++p) {
                    const double v = rec->values[s][p];
                    EXPECT_TRUE(v >= param_table[p].min && v <= param_table[p].max) << s << " " << p << " " << v;
                }
        }
        return ok;
    }
};

std::string header() {
    return "Lodrin preset 1\n";
}

TEST_F(PresetFileHostile, TableOfHostileFiles) {
    std::mt19937 rng(12);
    std::string noise(64 * 1024, '\0');
    for (char& c : noise)
        c = static_cast<char>(rng());
    const std::string long_line = "p2=" + std::string(5000, '9');
    struct row {
        const char* what;
        std::string body;
        bool loads;
        int32_t stages;
        double gain;
    } rows[] = {
        {"empty", "", false, 0, 0},
        {"header only", "Lodrin preset", false, 0, 0},
        {"truncated mid line", header() + "stages=3\nstage=1\np2=1.", true, 3, 1},
        {"binary noise", noise, false, 0, 0},
        {"noise after the header", header() + "stages=1\n" + noise, true, 1, -1},
        {"NUL inside lines", header() + std::string("stages=1\np2=4\0p2=9\n", 20), true, 1, 4},
        {"NUL in the header", std::string("Lodrin\0preset 1\nstages=1\n", 25), false, 0, 0},
        {"overlong first line", std::string(300, 'L') + "\n" + "stages=1\n", false, 0, 0},
        // A 300-character line is read as a piece of 255 and a piece of 45: the second piece begins
        // "stages=2" and counts.
        {"overlong line split in pieces", header() + std::string(255, 'x') + "stages=2\n", true, 2, 0},
        {"huge digit runs", header() + "stages=" + std::string(400, '9') + "\nstage=99999999999999999999\np2=5\n", true,
         8, 0},
        {"negative stage numbers", header() + "stages=-2147483649\nstage=-4294967295\np2=5\n", true, 1, 0},
        {"ids past 32 bits", header() + "stages=1\np4294967298=5\np99999999999999999999=5\n", true, 1, 0},
        {"overflowing values", header() + "stages=2\np2=1e999\nstage=2\np2=-1e999\np3=nan\np4=inf\n", true, 2, 30},
        {"a long value line", header() + "stages=1\n" + long_line + "\n", true, 1, 30},
        {"every CLAP id", header() + "stages=1\np1=99\np2=99\np3=99\np4=99\np100=99\np101=99\np5=99\np6=99\np7=99\n"
                                     "p8=99\np9=99\np10=99\np11=99\np12=99\np13=99\np14=99\np15=99\n",
         true, 1, 30},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        preset_record rec;
        ASSERT_EQ(read(r.body, &rec), r.loads);
        if (!r.loads) continue;
        EXPECT_EQ(rec.stages, r.stages);
        if (r.gain >= 0) {
            EXPECT_DOUBLE_EQ(rec.values[0][PARAM_GAIN], r.gain);
        }
    }
}

TEST_F(PresetFileHostile, RandomCorruptionOfAGoodFile) {
    std::string good = header() + "name=x\nstages=3\n";
    for (int s = 1; s <= 3; ++s) {
        good.append("stage=").append(std::to_string(s)).append("\n");
        for (int32_t p = 0; p < PARAM_COUNT; ++p) {
            good.append("p").append(std::to_string(param_table[p].id));
            good.append("=").append(std::to_string(param_table[p].max)).append(" # x\n");
        }
    }
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::string body = good;
        const int edits = 1 + static_cast<int>(rng() % 8);
        for (int k = 0; k < edits; ++k) {
            const size_t at = rng() % body.size();
            switch (rng() % 4) {
            case 0: body[at] = static_cast<char>(rng()); break;
            case 1: body.erase(at, rng() % 40); break;
            case 2: body.insert(at, std::string(rng() % 300, static_cast<char>('0' + rng() % 10))); break;
            default: body.resize(at); break;
            }
            if (body.empty()) body.assign(1, 'L');
        }
        preset_record rec;
        read(body, &rec);
    }
}

TEST_F(PresetFileHostile, FoldersAndLargeFiles) {
    // A folder named like a preset is neither read nor a crash.
#if defined(_WIN32)
    _mkdir(presets.file("dir.lodrin").c_str());
#else
    mkdir(presets.file("dir.lodrin").c_str(), 0700);
#endif
    preset_record rec;
    EXPECT_FALSE(preset_read("dir", &rec));
    EXPECT_FALSE(preset_read("missing", &rec));
    // Eight megabytes of short lines: read up to a bound, with the stage count given early.
    std::string big = header() + "stages=2\n";
    big.reserve(8u << 20);
    while (big.size() < (8u << 20))
        big += "# comment line that a preset never holds\n";
    big += "stage=1\np2=12\n"; // far beyond what any preset holds: not reached
    ASSERT_TRUE(read(big, &rec));
    EXPECT_EQ(rec.stages, 2);
    EXPECT_DOUBLE_EQ(rec.values[0][PARAM_GAIN], 0.0);
    // The bound counts bytes: a run of NUL bytes (what a hole of a sparse file reads as) is not one
    // short line per 255 bytes. A line inside the first mebibyte is read, one after two is not.
    std::string nuls = header() + "stages=1\n";
    nuls.resize(512u << 10, '\0');
    nuls += "\np3=-2\n";
    nuls.resize(2u << 20, '\0');
    nuls += "\np2=7\n";
    ASSERT_TRUE(read(nuls, &rec));
    EXPECT_DOUBLE_EQ(rec.values[0][PARAM_CEILING], -2.0);
    EXPECT_DOUBLE_EQ(rec.values[0][PARAM_GAIN], 0.0) << "read past the bound";
}

TEST_F(PresetFileHostile, InfinityAndNanReadTheSameOnEveryPlatform) {
    // The C runtime's strtod of one platform read "nan" and "inf" as no number (0): a NaN Release came
    // out as 5 ms instead of the default and a -inf Ceiling as 0 dB instead of -12.
    preset_record rec;
    ASSERT_TRUE(read(header() + "stages=1\np4=nan # Release\np3=-inf\np2=Infinity\np1= -INF\np5=NAN(7)\n"
                                "p15=-nan\np8=+inf\n",
                     &rec));
    EXPECT_EQ(rec.values[0][PARAM_RELEASE], 100.0);
    EXPECT_EQ(rec.values[0][PARAM_CEILING], -12.0);
    EXPECT_EQ(rec.values[0][PARAM_GAIN], 30.0);
    EXPECT_EQ(rec.values[0][PARAM_INPUT], -24.0);
    EXPECT_EQ(rec.values[0][PARAM_STEREO_LINK], 100.0);
    EXPECT_EQ(rec.values[0][PARAM_MIX], 100.0);
    EXPECT_EQ(rec.values[0][PARAM_LOOKAHEAD], 10.0);
}

} // namespace
