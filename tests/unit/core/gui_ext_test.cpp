// Guards the gui and timer-support extensions where no editor is involved: which window APIs are
// offered (embedded windows of the platform's own API only), the size proposals that work without an
// editor, every editor-bound call failing cleanly before create, the scale kept for a later editor,
// and destroy giving back a host timer even when no editor exists.
#include "core_test_support.h"

namespace {
#if defined(_WIN32)
constexpr const char* OWN_API = "win32";
constexpr const char* OTHER_API = "x11";
#else
constexpr const char* OWN_API = "x11";
constexpr const char* OTHER_API = "win32";
#endif
} // namespace

TEST(GuiExtension, OffersEmbeddedWindowsOfThePlatformApiOnly) {
    fake_host host;
    test_stage stage(host);
    const auto* gui = stage.ext<clap_plugin_gui>(CLAP_EXT_GUI);
    ASSERT_NE(gui, nullptr);
    ASSERT_NE(stage.ext<clap_plugin_timer_support>(CLAP_EXT_TIMER_SUPPORT), nullptr);
    struct row {
        const char* api;
        bool floating, supported;
    } rows[] = {{OWN_API, false, true}, {OWN_API, true, false}, {OTHER_API, false, false},
                {"cocoa", false, false}, {"wayland", false, false}, {nullptr, false, false}};
    for (const row& r : rows) {
        EXPECT_EQ(gui->is_api_supported(stage.plugin, r.api, r.floating), r.supported)
            << (r.api ? r.api : "null") << (r.floating ? " floating" : "");
        if (!r.supported) {
            EXPECT_FALSE(gui->create(stage.plugin, r.api, r.floating)) << "refused: no editor";
        }
    }
    EXPECT_EQ(stage.instance()->editor, nullptr);
    const char* api = nullptr;
    bool floating = true;
    EXPECT_TRUE(gui->get_preferred_api(stage.plugin, &api, &floating));
    EXPECT_STREQ(api, OWN_API);
    EXPECT_FALSE(floating);
}

TEST(GuiExtension, SizeProposalsWithoutAnEditor) {
    fake_host host;
    test_stage stage(host);
    const auto* gui = stage.ext<clap_plugin_gui>(CLAP_EXT_GUI);
    EXPECT_TRUE(gui->can_resize(stage.plugin));
    clap_gui_resize_hints hints{};
    EXPECT_TRUE(gui->get_resize_hints(stage.plugin, &hints));
    EXPECT_TRUE(hints.can_resize_horizontally && hints.can_resize_vertically && hints.preserve_aspect_ratio);
    EXPECT_EQ(hints.aspect_ratio_width, 960u);
    EXPECT_EQ(hints.aspect_ratio_height, 600u);

    gui->set_scale(stage.plugin, 2.0); // the host scale plays no part in the proposals
    struct row {
        uint32_t w, h, aw, ah;
    } rows[] = {{100, 100, 576, 360},    {1000, 1000, 1000, 625}, {5000, 3000, 2400, 1500},
                {1920, 1200, 1920, 1200}, {1200, 600, 960, 600},  {0, 0, 576, 360},
                {961, 601, 961, 601},     {2401, 1501, 2400, 1500}};
    for (const row& r : rows) {
        uint32_t w = r.w, h = r.h;
        EXPECT_TRUE(gui->adjust_size(stage.plugin, &w, &h));
        EXPECT_EQ(w, r.aw) << r.w << " x " << r.h;
        EXPECT_EQ(h, r.ah) << r.w << " x " << r.h;
    }
}

TEST(GuiExtension, EditorCallsFailBeforeCreate) {
    fake_host host;
    test_stage stage(host);
    const auto* gui = stage.ext<clap_plugin_gui>(CLAP_EXT_GUI);
    const auto* timer = stage.ext<clap_plugin_timer_support>(CLAP_EXT_TIMER_SUPPORT);
    uint32_t w = 7, h = 7;
    EXPECT_FALSE(gui->get_size(stage.plugin, &w, &h));
    EXPECT_FALSE(gui->show(stage.plugin));
    EXPECT_FALSE(gui->hide(stage.plugin));
    EXPECT_FALSE(gui->set_size(stage.plugin, 960, 600));
    clap_window window{};
    window.api = OWN_API;
    window.ptr = nullptr;
    EXPECT_FALSE(gui->set_parent(stage.plugin, &window));
    EXPECT_FALSE(gui->set_parent(stage.plugin, nullptr));
    EXPECT_FALSE(gui->set_transient(stage.plugin, &window));
    gui->suggest_title(stage.plugin, "ignored");
    timer->on_timer(stage.plugin, 0);
    EXPECT_EQ(stage.instance()->editor, nullptr);

    EXPECT_TRUE(gui->set_scale(stage.plugin, 1.5));
    EXPECT_EQ(stage.instance()->gui_scale, 1.5) << "kept for the editor create makes later";
}

TEST(GuiExtension, DestroyGivesBackAHeldTimerWithoutAnEditor) {
    fake_host host;
    test_stage stage(host);
    const auto* gui = stage.ext<clap_plugin_gui>(CLAP_EXT_GUI);
    static std::vector<clap_id> unregistered;
    unregistered.clear();
    clap_host_timer_support timers{};
    timers.unregister_timer = [](const clap_host*, clap_id id) {
        unregistered.push_back(id);
        return true;
    };
    plugin_instance* instance = stage.instance();
    instance->host_timer_support = &timers;
    gui->destroy(stage.plugin);
    EXPECT_TRUE(unregistered.empty()) << "no timer held";
    instance->timer_id = 42;
    gui->destroy(stage.plugin);
    EXPECT_EQ(unregistered, std::vector<clap_id>{42});
    EXPECT_EQ(instance->timer_id, CLAP_INVALID_ID);
    instance->host_timer_support = nullptr;
}
