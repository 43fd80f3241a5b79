// An editor record made by hand for tests that need no display: zeroed like editor_create's, with
// the starting values editor_create sets, no view, and an instance whose host records the resize
// requests it is sent.
#pragma once

#include <cstdlib>
#include <utility>
#include <vector>

#include "editor.h"
#include "plugin_instance.h"

struct bare_editor {
    plugin_instance* instance;
    editor_state* editor;
    clap_host host{};
    clap_host_gui host_gui{};
    std::vector<std::pair<uint32_t, uint32_t>> requests;

    bare_editor() {
        instance = static_cast<plugin_instance*>(std::calloc(1, sizeof(plugin_instance)));
        editor = static_cast<editor_state*>(std::calloc(1, sizeof(editor_state)));
        instance->ui.zoom = 1.0;
        instance->host = &host;
        instance->host_gui = &host_gui;
        host.host_data = this;
        host_gui.request_resize = [](const clap_host* h, uint32_t w, uint32_t hh) {
            static_cast<bare_editor*>(h->host_data)->requests.emplace_back(w, hh);
            return true;
        };
        editor->instance = instance;
        editor->focused_index = -1;
        editor->hover_index = -1;
        editor->hover_sub = -1;
        editor->font_id = -1;
    }
    ~bare_editor() {
        std::free(editor);
        std::free(instance);
    }
    bare_editor(const bare_editor&) = delete;
    bare_editor& operator=(const bare_editor&) = delete;
};
