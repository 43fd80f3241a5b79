// Guards preset files against the host's locale: a host running with a decimal-comma locale must
// still write "-0.3" (not "-0,3") and read files written elsewhere with their decimals intact.
#include "edit_test_support.h"

#include <clocale>
#include <cstdlib>

namespace {

class PresetLocale : public EditorFixture {
  protected:
    // Builds a German locale into a folder of the test's own (the machine need not have one).
    bool use_decimal_comma() {
        const std::string cmd = "localedef -i de_DE -f UTF-8 '" + locales.file("de_DE.UTF-8") + "' >/dev/null 2>&1";
        if (std::system(cmd.c_str()) != 0 && std::system(("test -d '" + locales.file("de_DE.UTF-8") + "'").c_str()) != 0)
            return false;
        test_setenv("LOCPATH", locales.path.c_str());
        if (setlocale(LC_NUMERIC, "de_DE.UTF-8") == nullptr) return false;
        char probe[16];
        snprintf(probe, sizeof probe, "%.1f", 0.5);
        return std::string(probe) == "0,5";
    }
    void TearDown() override {
        setlocale(LC_NUMERIC, "C");
        test_unsetenv("LOCPATH");
        EditorFixture::TearDown();
    }
    temp_folder locales;
};

TEST_F(PresetLocale, FilesKeepTheirDecimalPointUnderACommaLocale) {
    if (!use_decimal_comma()) GTEST_SKIP() << "no decimal-comma locale could be made";
    make_chain(1);
    set(0, PARAM_GAIN, 2.5);
    preset_save_current(ed, TEXT_ENTRY_STAGE_PRESET, "comma");
    const std::string text = read_text_file(presets.file("comma.lodrin"));
    EXPECT_NE(text.find("p2=2.5 # Gain\n"), std::string::npos) << text;
    EXPECT_NE(text.find("p3=-0.3 # Ceiling\n"), std::string::npos) << text;
    write_text_file(presets.file("dots.lodrin"), "Lodrin preset 1\nstages=1\np3=-1.5\np8=0.25\n");
    preset_record rec;
    ASSERT_TRUE(preset_read("dots", &rec));
    EXPECT_DOUBLE_EQ(rec.values[0][PARAM_CEILING], -1.5);
    EXPECT_DOUBLE_EQ(rec.values[0][PARAM_LOOKAHEAD], 0.25);
}

} // namespace
