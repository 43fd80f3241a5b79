// The module entry, the one plug-in factory and the constant descriptor. None of these keeps any
// state: the shared segment and the registry start lazily with the first instance's init.
#include <cstdlib>
#include <cstring>

#include "plugin_instance.h"
#include "scan_log.h"

namespace {

constexpr char PLUGIN_ID[] = "com.tovarin.lodrin";

constexpr const char* plugin_features[] = {"audio-effect", "limiter", "mastering", "stereo", nullptr};

constexpr clap_plugin_descriptor descriptor = {
    .clap_version = CLAP_VERSION_INIT,
    .id = PLUGIN_ID,
    .name = "Lodrin",
    .vendor = "Tovarin",
    .url = "https://tovarin.example/lodrin",
    .manual_url = "",
    .support_url = "",
    .version = "1.0.1",
    .description = "Multi-stage bus limiter: several instances, one user interface",
    .features = plugin_features,
};

uint32_t factory_get_plugin_count(const clap_plugin_factory*) {
    return 1;
}

const clap_plugin_descriptor* factory_get_plugin_descriptor(const clap_plugin_factory*, uint32_t index) {
    scan_log("factory_descriptor");
    return index == 0 ? &descriptor : nullptr;
}

const clap_plugin* factory_create_plugin(const clap_plugin_factory*, const clap_host* host,
                                         const char* plugin_id) {
    scan_log("factory_create");
    if (!host || !clap_version_is_compatible(host->clap_version)) return nullptr;
    if (!plugin_id || std::strcmp(plugin_id, PLUGIN_ID) != 0) return nullptr;
    auto* instance = static_cast<plugin_instance*>(std::calloc(1, sizeof(plugin_instance)));
    if (!instance) return nullptr;
    plugin_instance_setup(instance, host);
    return &instance->plugin;
}

constexpr clap_plugin_factory factory = {
    .get_plugin_count = factory_get_plugin_count,
    .get_plugin_descriptor = factory_get_plugin_descriptor,
    .create_plugin = factory_create_plugin,
};

bool entry_init(const char*) {
    scan_log("entry_init");
    return true;
}

void entry_deinit() {
    scan_log("entry_deinit");
}

const void* entry_get_factory(const char* factory_id) {
    scan_log(factory_id ? factory_id : "");
    if (factory_id && std::strcmp(factory_id, CLAP_PLUGIN_FACTORY_ID) == 0) return &factory;
    return nullptr;
}

} // namespace

const clap_plugin_descriptor* plugin_descriptor() {
    return &descriptor;
}

// Exported by the module alone (its version script, or its .def file on Windows).
extern "C" {
const clap_plugin_entry clap_entry = {
    .clap_version = CLAP_VERSION_INIT,
    .init = entry_init,
    .deinit = entry_deinit,
    .get_factory = entry_get_factory,
};
}
