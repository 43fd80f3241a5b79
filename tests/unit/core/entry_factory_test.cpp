// Guards the module's face to a host scanner: the factory and plug-in ids it accepts, the constant
// descriptor, fresh instances per create, and the exact extension ids offered.
#include "core_test_support.h"

TEST(Entry, InitDeinitAndFactoryIdsAreExact) {
    EXPECT_EQ(clap_entry.clap_version.major, 1u);
    EXPECT_EQ(clap_entry.clap_version.minor, 2u);
    EXPECT_EQ(clap_entry.clap_version.revision, 10u);
    EXPECT_TRUE(clap_entry.init("/nowhere/Lodrin.clap"));
    EXPECT_NE(clap_entry.get_factory("clap.plugin-factory"), nullptr);
    for (const char* id : {"CLAP.PLUGIN-FACTORY", "clap.plugin-factory ", "clap.plugin-factor", "",
                           "clap.preset-discovery-factory/2"})
        EXPECT_EQ(clap_entry.get_factory(id), nullptr) << id;
    clap_entry.deinit();
}

TEST(Factory, OneDescriptorWithTheProductsIdentity) {
    const clap_plugin_factory* f = test_factory();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->get_plugin_count(f), 1u);
    EXPECT_EQ(f->get_plugin_descriptor(f, 1), nullptr);
    EXPECT_EQ(f->get_plugin_descriptor(f, UINT32_MAX), nullptr);
    const clap_plugin_descriptor* d = f->get_plugin_descriptor(f, 0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->clap_version.major, 1u);
    EXPECT_EQ(d->clap_version.minor, 2u);
    EXPECT_EQ(d->clap_version.revision, 10u);
    EXPECT_STREQ(d->id, "com.tovarin.lodrin");
    EXPECT_STREQ(d->name, "Lodrin");
    EXPECT_STREQ(d->vendor, "Tovarin");
    EXPECT_EQ(std::string(d->url).rfind("https://", 0), 0u);
    ASSERT_NE(d->manual_url, nullptr);
    ASSERT_NE(d->support_url, nullptr);
    EXPECT_STREQ(d->manual_url, "");
    EXPECT_STREQ(d->support_url, "");
    EXPECT_STREQ(d->version, "1.0.1");
    EXPECT_STREQ(d->description, "Multi-stage bus limiter: several instances, one user interface");
    std::vector<std::string> features;
    for (const char* const* p = d->features; *p; ++p)
        features.push_back(*p);
    EXPECT_EQ(features, (std::vector<std::string>{"audio-effect", "limiter", "mastering", "stereo"}));
}

TEST(Factory, CreateRefusesWrongIdsAndDraftHosts) {
    fake_host host;
    const clap_plugin_factory* f = test_factory();
    for (const char* id :
         {"com.tovarin.lodrin.debug/1", "com.tovarin.lodri", "COM.TOVARIN.LODRIN", "com.tovarin.lodrin ", ""})
        EXPECT_EQ(f->create_plugin(f, &host.host, id), nullptr) << id;
    EXPECT_EQ(f->create_plugin(f, &host.host, nullptr), nullptr);
    host.host.clap_version = {0, 19, 0};
    EXPECT_EQ(f->create_plugin(f, &host.host, "com.tovarin.lodrin"), nullptr);
}

TEST(Factory, EachCreateGivesItsOwnZeroedInstance) {
    fake_host host;
    const clap_plugin_factory* f = test_factory();
    const clap_plugin* a = f->create_plugin(f, &host.host, "com.tovarin.lodrin");
    const clap_plugin* b = f->create_plugin(f, &host.host, "com.tovarin.lodrin");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_NE(a, b);
    for (const clap_plugin* p : {a, b}) {
        EXPECT_EQ(p->desc, f->get_plugin_descriptor(f, 0));
        EXPECT_EQ(static_cast<void*>(&instance_of(p)->plugin), static_cast<const void*>(p));
        EXPECT_EQ(instance_of(p)->host, &host.host);
        EXPECT_EQ(instance_of(p)->slot, nullptr);
        EXPECT_EQ(instance_of(p)->instance_id, 0u);
        EXPECT_EQ(instance_of(p)->active, 0);
    }
    // Destroying an instance whose init never ran must be harmless.
    a->destroy(a);
    b->destroy(b);
}

TEST(Plugin, ExtensionIdsAreExactAndCaseSensitive) {
    fake_host host;
    test_stage stage(host);
    for (const char* id : {"clap.params", "clap.audio-ports", "clap.note-ports", "clap.state", "clap.latency",
                           "clap.gui", "clap.timer-support", "com.tovarin.lodrin.debug/1"})
        EXPECT_NE(stage.plugin->get_extension(stage.plugin, id), nullptr) << id;
#if !defined(_WIN32)
    EXPECT_NE(stage.plugin->get_extension(stage.plugin, "clap.posix-fd-support"), nullptr);
#endif
    for (const char* id :
         {"CLAP.GUI", "clap.timer", "CLAP.PARAMS", "clap.Params", "com.tovarin.lodrin",
          "com.tovarin.lodrin.debug/2", "clap.params.draft", "clap.tail", ""})
        EXPECT_EQ(stage.plugin->get_extension(stage.plugin, id), nullptr) << id;
}
