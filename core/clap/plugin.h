// The plug-in descriptor and the plug-in object a factory creates.
#pragma once

#include <cstdint>

#include "host.h"
#include "process.h"
#include "version.h"

struct clap_plugin_descriptor {
    clap_version_t clap_version; // the interface version the plug-in implements
    const char* id;              // mandatory, unique, reverse-domain style
    const char* name;            // mandatory
    const char* vendor;          // optional
    const char* url;             // optional
    const char* manual_url;      // optional
    const char* support_url;     // optional
    const char* version;         // optional
    const char* description;     // optional
    const char* const* features; // null-terminated list of feature strings; mandatory, may be empty
};

struct clap_plugin {
    const clap_plugin_descriptor* desc;
    void* plugin_data; // reserved pointer for the plug-in

    // Second stage of construction; the host's extensions may be queried here. [main-thread]
    bool (*init)(const clap_plugin* plugin);

    // Frees the plug-in and everything it owns; deactivated first by the host. [main-thread & !active]
    void (*destroy)(const clap_plugin* plugin);

    // Prepares for processing at sample_rate with blocks of min..max frames; allocation allowed.
    // [main-thread & !active]
    bool (*activate)(const clap_plugin* plugin, double sample_rate, uint32_t min_frames_count,
                     uint32_t max_frames_count);

    // Releases what activate made. [main-thread & active]
    void (*deactivate)(const clap_plugin* plugin);

    // Called before the first process call of a run. [audio-thread & active & !processing]
    bool (*start_processing)(const clap_plugin* plugin);

    // Called after the last process call of a run. [audio-thread & active & processing]
    void (*stop_processing)(const clap_plugin* plugin);

    // Clears every buffer, envelope and tail, as after activate. [audio-thread & active]
    void (*reset)(const clap_plugin* plugin);

    // Processes one block of audio and events. [audio-thread & active & processing]
    clap_process_status (*process)(const clap_plugin* plugin, const clap_process* process);

    // Returns the plug-in's table for extension id, or null. [thread-safe]
    const void* (*get_extension)(const clap_plugin* plugin, const char* id);

    // The callback asked for with clap_host.request_callback. [main-thread]
    void (*on_main_thread)(const clap_plugin* plugin);
};
