// A deliberately faulty CLAP module for the host's own checks: each of its plug-ins breaks one kind
// of host-side rule, so a test can see that lodrin-host reports it. Built only for the tests.
#include <cstring>

#include "clap/clap.h"

namespace {

const char* const features[] = {"audio-effect", nullptr};

const clap_plugin_descriptor desc_threads = {
    CLAP_VERSION_INIT, "test.wrong-thread", "Wrong thread", "", "", "", "", "0", "", features};
const clap_plugin_descriptor desc_events = {
    CLAP_VERSION_INIT, "test.bad-events", "Bad events", "", "", "", "", "0", "", features};
const clap_plugin_descriptor desc_nulls = {
    CLAP_VERSION_INIT, "test.null-table", "Null table", "", "", "", "", "0", "", features};

struct breaker {
    clap_plugin plugin;
    const clap_host* host;
    int kind; // 0 wrong thread, 1 bad events, 2 null table
};

breaker instances[8];
int n_instances = 0;

breaker* self(const clap_plugin* p) {
    return static_cast<breaker*>(p->plugin_data);
}

bool p_init(const clap_plugin*) {
    return true;
}
void p_destroy(const clap_plugin*) {}
bool p_activate(const clap_plugin*, double, uint32_t, uint32_t) {
    return true;
}
void p_deactivate(const clap_plugin*) {}
bool p_start(const clap_plugin*) {
    return true;
}
void p_stop(const clap_plugin*) {}
void p_reset(const clap_plugin*) {}

clap_process_status p_process(const clap_plugin* p, const clap_process* pr) {
    breaker* b = self(p);
    if (b->kind == 0) {
        // mark_dirty and rescan are main-thread calls; this is the audio thread.
        auto* st = static_cast<const clap_host_state*>(b->host->get_extension(b->host, CLAP_EXT_STATE));
        if (st) st->mark_dirty(b->host);
        auto* pa = static_cast<const clap_host_params*>(b->host->get_extension(b->host, CLAP_EXT_PARAMS));
        if (pa) pa->request_flush(b->host);
    } else if (b->kind == 1) {
        clap_event_param_gesture g{};
        g.header = {sizeof(g), 5, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_GESTURE_END, 0};
        g.param_id = 1;
        pr->out_events->try_push(pr->out_events, &g.header); // end without begin
        clap_event_param_value v{};
        v.header = {sizeof(v), 3, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
        v.param_id = 77; // unknown, and earlier than the event before
        v.note_id = -1;
        v.port_index = v.channel = v.key = -1;
        pr->out_events->try_push(pr->out_events, &v.header);
        v.header.time = pr->frames_count; // past the block
        v.param_id = 1;
        v.value = 5.0; // outside 0..1
        pr->out_events->try_push(pr->out_events, &v.header);
        pr->in_events->get(pr->in_events, pr->in_events->size(pr->in_events)); // past the list
    }
    return CLAP_PROCESS_CONTINUE;
}

uint32_t params_count(const clap_plugin*) {
    return 1;
}
bool params_info(const clap_plugin*, uint32_t i, clap_param_info* info) {
    if (i != 0) return false;
    std::memset(info, 0, sizeof(*info));
    info->id = 1;
    std::strcpy(info->name, "Level");
    info->max_value = 1;
    return true;
}
bool params_value(const clap_plugin*, clap_id id, double* v) {
    if (id != 1) return false;
    *v = 0.5;
    return true;
}
bool params_to_text(const clap_plugin*, clap_id, double, char* out, uint32_t cap) {
    if (cap) out[0] = 0;
    return true;
}
bool params_to_value(const clap_plugin*, clap_id, const char*, double* v) {
    *v = 0;
    return true;
}
void params_flush(const clap_plugin*, const clap_input_events*, const clap_output_events*) {}

const clap_plugin_params params = {params_count,   params_info,     params_value,
                                   params_to_text, params_to_value, params_flush};
// A table with a hole where a function must be.
const clap_plugin_latency broken_latency = {nullptr};

const void* p_ext(const clap_plugin* p, const char* id) {
    if (!std::strcmp(id, CLAP_EXT_PARAMS)) return &params;
    if (self(p)->kind == 2 && !std::strcmp(id, CLAP_EXT_LATENCY)) return &broken_latency;
    return nullptr;
}
void p_main(const clap_plugin*) {}

uint32_t f_count(const clap_plugin_factory*) {
    return 4; // one more than it has: descriptor 3 is null
}
const clap_plugin_descriptor* f_desc(const clap_plugin_factory*, uint32_t i) {
    const clap_plugin_descriptor* d[] = {&desc_threads, &desc_events, &desc_nulls};
    return i < 3 ? d[i] : nullptr;
}
const clap_plugin* f_create(const clap_plugin_factory*, const clap_host* host, const char* id) {
    int kind = !std::strcmp(id, desc_threads.id)  ? 0
               : !std::strcmp(id, desc_events.id) ? 1
               : !std::strcmp(id, desc_nulls.id)  ? 2
                                                  : -1;
    if (kind < 0 || n_instances >= 8) return nullptr;
    breaker* b = &instances[n_instances++];
    const clap_plugin_descriptor* d[] = {&desc_threads, &desc_events, &desc_nulls};
    b->plugin = {d[kind], b,      p_init,  p_destroy, p_activate, p_deactivate,
                 p_start, p_stop, p_reset, p_process, p_ext,      p_main};
    b->host = host;
    b->kind = kind;
    return &b->plugin;
}
const clap_plugin_factory factory = {f_count, f_desc, f_create};

bool e_init(const char*) {
    return true;
}
void e_deinit() {}
const void* e_factory(const char* id) {
    return !std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) ? &factory : nullptr;
}

} // namespace

extern "C" __attribute__((visibility("default")))
const clap_plugin_entry clap_entry = {CLAP_VERSION_INIT, e_init, e_deinit, e_factory};
