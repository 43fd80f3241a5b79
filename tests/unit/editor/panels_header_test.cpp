// Guards the header's preset name and the about overlay: the overlay must lie on top of every
// other widget, and its credit lines must name only what this build is made of.
#include "panels_test_support.h"

namespace {

TEST(HeaderBar, PresetNameFollowsTheSelection) {
    struct name_case {
        int32_t selection, users;
        std::string expected;
    };
    const name_case cases[] = {{0, 0, builtin_preset_name(0)},  {6, 0, builtin_preset_name(6)},
                               {8, 0, builtin_preset_name(8)},  {14, 2, "second"},
                               {15, 2, builtin_preset_name(0)}, {-3, 0, builtin_preset_name(0)}};
    for (const name_case& c : cases) {
        panel_fixture f(1);
        std::snprintf(f.e->user_presets[0], PRESET_NAME_SIZE, "first");
        std::snprintf(f.e->user_presets[1], PRESET_NAME_SIZE, "second");
        f.e->user_preset_count = c.users;
        f.e->preset_selection = c.selection;
        f.frame();
        EXPECT_NE(f.text_at(c.expected.c_str(), 480, 20), nullptr) << "selection " << c.selection;
    }
}

TEST(AboutOverlay, LiesOnTopAndCreditsOnlyWhatThisBuildContains) {
    panel_fixture f(2);
    f.e->menu_kind = MENU_LOUDNESS_TARGET; // even above an open menu
    f.e->menu_x = 756;
    f.e->menu_y = 514;
    f.e->menu_w = 184;
    f.frame();
    EXPECT_EQ(f.hits(WIDGET_ABOUT).size(), 1u);
    f.e->about_open = 1;
    f.frame();
    const int32_t n = f.e->hit_count;
    ASSERT_GE(n, 2);
    EXPECT_EQ(f.e->hits[n - 2].kind, WIDGET_ABOUT);
    EXPECT_EQ(f.e->hits[n - 2].sub, 1);
    EXPECT_RECT(f.e->hits[n - 2], 280, 160, 400, 280);
    EXPECT_EQ(f.e->hits[n - 1].kind, WIDGET_ABOUT);
    EXPECT_EQ(f.e->hits[n - 1].sub, 2);
    EXPECT_RECT(f.e->hits[n - 1], 385, 279, 190, 18);

    EXPECT_NE(f.text_at("LODRIN", 480, 244), nullptr);
    EXPECT_NE(f.text_at("Stacked limiter - version 1.0.1", 480, 268), nullptr);
    EXPECT_NE(f.text_at("por Tovarin - tovarin.com", 480, 288), nullptr);
    EXPECT_NE(f.text_at("CLAP - VST3", 480, 356), nullptr);

    // The credit lines name the typeface and its rasteriser with their licences, and on Windows the
    // thread library the binaries link statically, and nothing that is not compiled in: they are
    // exactly these, between the formats line and the closing hint.
#if defined(_WIN32)
    const std::string expected = "Built with stb_truetype (public domain / MIT),\nthe Roboto typeface (Apache 2.0)\n"
                                 "and mingw-w64's winpthreads (MIT)\n";
    const float hint_y = 428;
#else
    const std::string expected = "Built with stb_truetype (public domain / MIT)\nand the Roboto typeface (Apache 2.0)\n";
    const float hint_y = 414;
#endif
    EXPECT_NE(f.text_at("Click anywhere to close", 480, hint_y), nullptr);
    std::string credits;
    for (int32_t i = 0; i < vg_record_count(f.rec); ++i) {
        const vg_record_call* c = vg_record_call_at(f.rec, i);
        if (c->kind != VG_RECORD_TEXT) continue;
        if (std::abs(c->run.x - 480) < 0.01f && c->run.y > 360 && c->run.y < hint_y - 1)
            credits += std::string(c->run.text, static_cast<size_t>(c->run.len)) + "\n";
    }
    EXPECT_EQ(credits, expected);
}

} // namespace
