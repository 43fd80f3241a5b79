// The host side of the CLAP interface (see host.h). Every function the plug-in can reach checks the
// thread and the stage of life it is called in against the CLAP 1.2 rules before it acts.
#include "host.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alloc_counter.h"
#include "host_os.h"
#include "vst3_host.h"

namespace {

constexpr uint32_t STAGE_MAGIC = 0x4C4F4853; // "SHOL"

thread_local host_thread_role tl_role = HOST_THREAD_OTHER;

// ---- rule errors: a fixed table, filled lock-free from any thread ----
constexpr uint32_t ERROR_KEEP = 256;
constexpr uint32_t ERROR_TEXT = 200;
char error_text[ERROR_KEEP][ERROR_TEXT];
std::atomic<uint8_t> error_ready[ERROR_KEEP];
std::atomic<uint32_t> error_count{0};
uint32_t error_printed = 0;

const char* role_name(host_thread_role r) {
    switch (r) {
        case HOST_THREAD_MAIN:
            return "the main thread";
        case HOST_THREAD_AUDIO:
            return "the audio thread";
        default:
            return "a thread the host did not start";
    }
}

host_stage* stage_of(const clap_host* h, const char* fn) {
    if (!h) {
        host_rule_error("%s called with a null host", fn);
        return nullptr;
    }
    auto* s = static_cast<host_stage*>(h->host_data);
    if (!s || s->magic != STAGE_MAGIC) {
        host_rule_error("%s called with a host pointer that is not one this host handed out", fn);
        return nullptr;
    }
    if (s->life.load() == HOST_STAGE_EMPTY) {
        host_rule_error("%s called after the plug-in was destroyed", fn);
        return nullptr;
    }
    return s;
}

bool require_main(const host_stage* s, const char* fn) {
    host_thread_role r = host_current_thread_role();
    if (r == HOST_THREAD_MAIN) return true;
    host_rule_error("stage %u: %s is [main-thread] but was called on %s", s->number, fn, role_name(r));
    return false;
}

bool require_not_audio(const host_stage* s, const char* fn) {
    host_thread_role r = host_current_thread_role();
    if (r != HOST_THREAD_AUDIO) return true;
    host_rule_error("stage %u: %s must not be called on the audio thread", s->number, fn);
    return false;
}

// ---- clap_host ----

const void* host_get_extension(const clap_host* h, const char* id);

void host_request_restart(const clap_host* h) {
    host_stage* s = stage_of(h, "clap_host.request_restart");
    if (!s) return;
    s->n_request_restart.fetch_add(1);
    s->want_restart.store(1);
}

void host_request_process(const clap_host* h) {
    host_stage* s = stage_of(h, "clap_host.request_process");
    if (!s) return;
    s->n_request_process.fetch_add(1);
}

void host_request_callback(const clap_host* h) {
    host_stage* s = stage_of(h, "clap_host.request_callback");
    if (!s) return;
    s->n_request_callback.fetch_add(1);
    s->want_callback.store(1);
}

// ---- clap.params ----

void params_rescan(const clap_host* h, clap_param_rescan_flags flags) {
    host_stage* s = stage_of(h, "clap_host_params.rescan");
    if (!s || !require_main(s, "clap_host_params.rescan")) return;
    if (!s->params) {
        host_rule_error("stage %u: clap_host_params.rescan from a plug-in without clap.params", s->number);
        return;
    }
    if ((flags & CLAP_PARAM_RESCAN_ALL) && s->life.load() >= HOST_STAGE_ACTIVE)
        host_rule_error("stage %u: clap_host_params.rescan(CLAP_PARAM_RESCAN_ALL) while active", s->number);
    s->n_rescan.fetch_add(1);
    s->last_rescan_flags.store(flags);
    if (flags & (CLAP_PARAM_RESCAN_INFO | CLAP_PARAM_RESCAN_ALL)) {
        // The list may have changed: read it again.
        uint32_t n = s->params->count(s->plugin);
        if (n > HOST_MAX_PARAMS) n = HOST_MAX_PARAMS;
        for (uint32_t i = 0; i < n; ++i)
            if (!s->params->get_info(s->plugin, i, &s->param[i]))
                host_rule_error("stage %u: params.get_info(%u) failed after a rescan", s->number, i);
        s->n_params = n;
    }
    if (flags & CLAP_PARAM_RESCAN_VALUES) {
        // Re-read every value, as a host refreshing its controls does, and check the ranges.
        for (uint32_t i = 0; i < s->n_params; ++i) {
            double v = 0;
            if (!host_stage_get_value(s, i, &v)) continue;
        }
    }
}

void params_clear(const clap_host* h, clap_id id, clap_param_clear_flags) {
    host_stage* s = stage_of(h, "clap_host_params.clear");
    if (!s || !require_main(s, "clap_host_params.clear")) return;
    if (host_stage_param_by_id(s, id) < 0)
        host_rule_error("stage %u: clap_host_params.clear for unknown parameter id %u", s->number, id);
    s->n_param_clear.fetch_add(1);
}

void params_request_flush(const clap_host* h) {
    host_stage* s = stage_of(h, "clap_host_params.request_flush");
    if (!s || !require_not_audio(s, "clap_host_params.request_flush")) return;
    s->n_request_flush.fetch_add(1);
    s->want_flush.store(1);
}

constexpr clap_host_params host_params = {
    .rescan = params_rescan,
    .clear = params_clear,
    .request_flush = params_request_flush,
};

// ---- clap.state ----

void state_mark_dirty(const clap_host* h) {
    host_stage* s = stage_of(h, "clap_host_state.mark_dirty");
    if (!s || !require_main(s, "clap_host_state.mark_dirty")) return;
    s->n_mark_dirty.fetch_add(1);
}

constexpr clap_host_state host_state = {.mark_dirty = state_mark_dirty};

// ---- clap.log ----

const char* severity_name(clap_log_severity v) {
    switch (v) {
        case CLAP_LOG_DEBUG:
            return "debug";
        case CLAP_LOG_INFO:
            return "info";
        case CLAP_LOG_WARNING:
            return "warning";
        case CLAP_LOG_ERROR:
            return "error";
        case CLAP_LOG_FATAL:
            return "fatal";
        case CLAP_LOG_HOST_MISBEHAVING:
            return "host misbehaving";
        case CLAP_LOG_PLUGIN_MISBEHAVING:
            return "plug-in misbehaving";
        default:
            return "?";
    }
}

void log_log(const clap_host* h, clap_log_severity severity, const char* msg) {
    host_stage* s = stage_of(h, "clap_host_log.log");
    if (!s) return;
    if (!msg) {
        host_rule_error("stage %u: clap_host_log.log with a null message", s->number);
        return;
    }
    if (severity < CLAP_LOG_DEBUG || severity > CLAP_LOG_PLUGIN_MISBEHAVING)
        host_rule_error("stage %u: clap_host_log.log with unknown severity %d", s->number, severity);
    if (severity == CLAP_LOG_PLUGIN_MISBEHAVING)
        host_rule_error("stage %u: the plug-in reports that it misbehaves: %s", s->number, msg);
    s->n_log.fetch_add(1);
    s->last_log_severity.store(severity);
    std::snprintf(s->last_log, sizeof(s->last_log), "%s", msg);
    // Printing is not real-time safe: lines from the audio thread are only kept.
    if (s->print_log && host_current_thread_role() != HOST_THREAD_AUDIO)
        std::fprintf(stderr, "[stage %u] %s: %s\n", s->number, severity_name(severity), msg);
}

constexpr clap_host_log host_log = {.log = log_log};

// ---- clap.latency ----

void latency_changed(const clap_host* h) {
    host_stage* s = stage_of(h, "clap_host_latency.changed");
    if (!s || !require_main(s, "clap_host_latency.changed")) return;
    if (!s->in_activate.load())
        host_rule_error("stage %u: clap_host_latency.changed outside activate (use request_restart)",
                        s->number);
    s->n_latency_changed.fetch_add(1);
}

constexpr clap_host_latency host_latency = {.changed = latency_changed};

// ---- clap.gui ----

void gui_resize_hints_changed(const clap_host* h) {
    stage_of(h, "clap_host_gui.resize_hints_changed");
}

bool gui_request_resize(const clap_host* h, uint32_t w, uint32_t hh) {
    host_stage* s = stage_of(h, "clap_host_gui.request_resize");
    if (!s) return false;
    s->n_request_resize.fetch_add(1);
    s->last_resize_w = w;
    s->last_resize_h = hh;
    if (w == 0 || hh == 0)
        host_rule_error("stage %u: clap_host_gui.request_resize to %ux%u", s->number, w, hh);
    if (s->gui_state.load() == 0)
        host_rule_error("stage %u: clap_host_gui.request_resize without an editor (before create or after "
                        "destroy)", s->number);
    // A host window acts on the request later on the main thread (gui_host.cpp); without one it is
    // only acknowledged.
    return s->gui_state.load() == 2;
}

bool gui_request_show(const clap_host* h) {
    host_stage* s = stage_of(h, "clap_host_gui.request_show");
    if (s) require_main(s, "clap_host_gui.request_show");
    return false;
}

bool gui_request_hide(const clap_host* h) {
    host_stage* s = stage_of(h, "clap_host_gui.request_hide");
    if (s) require_main(s, "clap_host_gui.request_hide");
    return false;
}

void gui_closed(const clap_host* h, bool) {
    host_stage* s = stage_of(h, "clap_host_gui.closed");
    if (s) require_main(s, "clap_host_gui.closed");
}

constexpr clap_host_gui host_gui = {
    .resize_hints_changed = gui_resize_hints_changed,
    .request_resize = gui_request_resize,
    .request_show = gui_request_show,
    .request_hide = gui_request_hide,
    .closed = gui_closed,
};

// ---- clap.timer-support ----

bool timer_register(const clap_host* h, uint32_t period_ms, clap_id* id) {
    host_stage* s = stage_of(h, "clap_host_timer_support.register_timer");
    if (!s || !require_main(s, "clap_host_timer_support.register_timer")) return false;
    if (!id) {
        host_rule_error("stage %u: register_timer with a null id pointer", s->number);
        return false;
    }
    if (!s->timer_support || !s->timer_support->on_timer)
        host_rule_error("stage %u: registered a timer without offering clap.timer-support", s->number);
    if (s->n_timers >= HOST_MAX_TIMERS) return false;
    if (period_ms == 0) period_ms = 1;
    clap_id tid = s->next_timer_id++;
    s->timers[s->n_timers++] = {tid, period_ms, host_os_clock_ns() + int64_t(period_ms) * 1000000};
    *id = tid;
    return true;
}

bool timer_unregister(const clap_host* h, clap_id id) {
    host_stage* s = stage_of(h, "clap_host_timer_support.unregister_timer");
    if (!s || !require_main(s, "clap_host_timer_support.unregister_timer")) return false;
    for (uint32_t i = 0; i < s->n_timers; ++i) {
        if (s->timers[i].id == id) {
            s->timers[i] = s->timers[--s->n_timers];
            return true;
        }
    }
    host_rule_error("stage %u: unregister_timer for timer %u, which is not registered", s->number, id);
    return false;
}

constexpr clap_host_timer_support host_timer = {
    .register_timer = timer_register,
    .unregister_timer = timer_unregister,
};

// ---- clap.posix-fd-support ----

bool fd_register(const clap_host* h, int fd, clap_posix_fd_flags flags) {
    host_stage* s = stage_of(h, "clap_host_posix_fd_support.register_fd");
    if (!s || !require_main(s, "clap_host_posix_fd_support.register_fd")) return false;
    if (!s->posix_fd || !s->posix_fd->on_fd)
        host_rule_error("stage %u: registered a descriptor without offering clap.posix-fd-support",
                        s->number);
    for (uint32_t i = 0; i < s->n_fds; ++i) {
        if (s->fds[i] == fd) {
            host_rule_error("stage %u: register_fd for descriptor %d, already registered", s->number, fd);
            return false;
        }
    }
    if (fd < 0 || s->n_fds >= HOST_MAX_FDS) return false;
    s->fds[s->n_fds] = fd;
    s->fd_flags[s->n_fds++] = flags;
    return true;
}

bool fd_modify(const clap_host* h, int fd, clap_posix_fd_flags flags) {
    host_stage* s = stage_of(h, "clap_host_posix_fd_support.modify_fd");
    if (!s || !require_main(s, "clap_host_posix_fd_support.modify_fd")) return false;
    for (uint32_t i = 0; i < s->n_fds; ++i) {
        if (s->fds[i] == fd) {
            s->fd_flags[i] = flags;
            return true;
        }
    }
    host_rule_error("stage %u: modify_fd for descriptor %d, which is not registered", s->number, fd);
    return false;
}

bool fd_unregister(const clap_host* h, int fd) {
    host_stage* s = stage_of(h, "clap_host_posix_fd_support.unregister_fd");
    if (!s || !require_main(s, "clap_host_posix_fd_support.unregister_fd")) return false;
    for (uint32_t i = 0; i < s->n_fds; ++i) {
        if (s->fds[i] == fd) {
            --s->n_fds;
            s->fds[i] = s->fds[s->n_fds];
            s->fd_flags[i] = s->fd_flags[s->n_fds];
            return true;
        }
    }
    host_rule_error("stage %u: unregister_fd for descriptor %d, which is not registered", s->number, fd);
    return false;
}

constexpr clap_host_posix_fd_support host_fd = {
    .register_fd = fd_register,
    .modify_fd = fd_modify,
    .unregister_fd = fd_unregister,
};

const void* host_get_extension(const clap_host* h, const char* id) {
    host_stage* s = stage_of(h, "clap_host.get_extension");
    if (!s) return nullptr;
    if (!id) {
        host_rule_error("stage %u: clap_host.get_extension with a null id", s->number);
        return nullptr;
    }
    if (std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &host_params;
    if (std::strcmp(id, CLAP_EXT_STATE) == 0) return &host_state;
    if (std::strcmp(id, CLAP_EXT_LOG) == 0) return &host_log;
    if (std::strcmp(id, CLAP_EXT_LATENCY) == 0) return &host_latency;
    if (std::strcmp(id, CLAP_EXT_GUI) == 0) return &host_gui;
    if (std::strcmp(id, CLAP_EXT_TIMER_SUPPORT) == 0) return &host_timer;
    if (std::strcmp(id, CLAP_EXT_POSIX_FD_SUPPORT) == 0) {
#if defined(_WIN32)
        return nullptr;
#else
        return &host_fd;
#endif
    }
    return nullptr;
}

// ---- input event list ----

uint32_t in_size(const clap_input_events* l) {
    return static_cast<const host_input_events*>(l->ctx)->n;
}

const clap_event_header* in_get(const clap_input_events* l, uint32_t index) {
    auto* e = static_cast<const host_input_events*>(l->ctx);
    if (index >= e->n) {
        host_rule_error("clap_input_events.get(%u) on a list of %u events", index, e->n);
        return nullptr;
    }
    return reinterpret_cast<const clap_event_header*>(e->bytes + e->offset[index]);
}

// ---- output event list ----

bool out_try_push(const clap_output_events* l, const clap_event_header* ev) {
    auto* o = static_cast<host_output_events*>(l->ctx);
    host_stage* s = o->stage;
    const char* what = o->in_flush ? "params.flush" : "process";
    if (host_current_thread_role() != o->thread)
        host_rule_error("stage %u: output event pushed on %s during %s running on %s", s->number,
                        role_name(host_current_thread_role()), what, role_name(o->thread));
    if (!ev) {
        host_rule_error("stage %u: try_push of a null event in %s", s->number, what);
        return false;
    }
    if (ev->size < sizeof(clap_event_header)) {
        host_rule_error("stage %u: try_push of an event of %u bytes in %s", s->number, ev->size, what);
        return false;
    }
    if (o->frames > 0 && ev->time >= o->frames)
        host_rule_error("stage %u: output event at time %u in a block of %u frames", s->number, ev->time,
                        o->frames);
    if (o->in_flush && ev->time != 0)
        host_rule_error("stage %u: output event at time %u in a flush (no block: must be 0)", s->number,
                        ev->time);
    if (ev->time < o->last_time)
        host_rule_error("stage %u: output event times decrease (%u after %u)", s->number, ev->time,
                        o->last_time);
    o->last_time = ev->time;
    if (o->pushed >= o->capacity) return false;
    ++o->pushed;

    host_event_record r{};
    r.type = ev->type;
    r.time = ev->time;
    r.from_flush = o->in_flush;
    if (ev->space_id == CLAP_CORE_EVENT_SPACE_ID) {
        switch (ev->type) {
            case CLAP_EVENT_PARAM_VALUE: {
                if (ev->size != sizeof(clap_event_param_value)) {
                    host_rule_error("stage %u: param value event of %u bytes (expected %zu)", s->number,
                                    ev->size, sizeof(clap_event_param_value));
                    return true;
                }
                auto* pv = reinterpret_cast<const clap_event_param_value*>(ev);
                r.param_id = pv->param_id;
                r.value = pv->value;
                int32_t i = host_stage_param_by_id(s, pv->param_id);
                if (i < 0) {
                    host_rule_error("stage %u: param value event for unknown id %u", s->number, pv->param_id);
                } else if (!(pv->value >= s->param[i].min_value && pv->value <= s->param[i].max_value)) {
                    host_rule_error("stage %u: param value event for \"%s\" with %g outside %g..%g",
                                    s->number, s->param[i].name, pv->value, s->param[i].min_value,
                                    s->param[i].max_value);
                }
                break;
            }
            case CLAP_EVENT_PARAM_GESTURE_BEGIN:
            case CLAP_EVENT_PARAM_GESTURE_END: {
                if (ev->size != sizeof(clap_event_param_gesture)) {
                    host_rule_error("stage %u: gesture event of %u bytes (expected %zu)", s->number, ev->size,
                                    sizeof(clap_event_param_gesture));
                    return true;
                }
                auto* g = reinterpret_cast<const clap_event_param_gesture*>(ev);
                r.param_id = g->param_id;
                int32_t i = host_stage_param_by_id(s, g->param_id);
                bool begin = ev->type == CLAP_EVENT_PARAM_GESTURE_BEGIN;
                if (i < 0) {
                    host_rule_error("stage %u: gesture event for unknown id %u", s->number, g->param_id);
                } else if (begin && s->in_gesture[i]) {
                    host_rule_error("stage %u: gesture begin for \"%s\" inside an open gesture", s->number,
                                    s->param[i].name);
                } else if (!begin && !s->in_gesture[i]) {
                    host_rule_error("stage %u: gesture end for \"%s\" without a gesture begin", s->number,
                                    s->param[i].name);
                }
                if (i >= 0) s->in_gesture[i] = begin ? 1 : 0;
                break;
            }
            case CLAP_EVENT_MIDI: {
                auto* m = reinterpret_cast<const clap_event_midi*>(ev);
                std::memcpy(r.midi, m->data, 3);
                break;
            }
            default:
                break;
        }
    }
    uint32_t w = s->rec_write.load(std::memory_order_relaxed);
    if (w - s->rec_read < HOST_RECORD_RING) {
        s->records[w % HOST_RECORD_RING] = r;
        s->rec_write.store(w + 1, std::memory_order_release);
    }
    return true;
}

void out_init(host_output_events* o, host_stage* s, uint32_t frames, uint32_t capacity, bool flush) {
    o->list.ctx = o;
    o->list.try_push = out_try_push;
    o->stage = s;
    o->frames = frames;
    o->last_time = 0;
    o->pushed = 0;
    o->capacity = capacity ? capacity : 1024;
    o->in_flush = flush ? 1 : 0;
    o->thread = host_current_thread_role();
}

// ---- streams ----

int64_t ostream_write(const clap_ostream* st, const void* buf, uint64_t size) {
    auto* s = static_cast<host_ostream*>(st->ctx);
    ++s->calls;
    if (!buf) {
        host_rule_error("clap_ostream.write with a null buffer");
        return -1;
    }
    uint64_t n = size;
    if (s->max_per_call && n > s->max_per_call) n = s->max_per_call;
    if (s->size + n > s->cap) {
        size_t cap = s->cap ? s->cap * 2 : 4096;
        while (cap < s->size + n)
            cap *= 2;
        auto* d = static_cast<uint8_t*>(std::realloc(s->data, cap));
        if (!d) return -1;
        s->data = d;
        s->cap = cap;
    }
    if (n == 0) return 0;
    std::memcpy(s->data + s->size, buf, size_t(n));
    s->size += size_t(n);
    return int64_t(n);
}

int64_t istream_read(const clap_istream* st, void* buf, uint64_t size) {
    auto* s = static_cast<host_istream*>(st->ctx);
    ++s->calls;
    if (!buf) {
        host_rule_error("clap_istream.read with a null buffer");
        return -1;
    }
    uint64_t left = s->size - s->pos;
    uint64_t n = size < left ? size : left;
    if (s->max_per_call && n > s->max_per_call) n = s->max_per_call;
    if (n == 0) return 0;
    std::memcpy(buf, s->data + s->pos, size_t(n));
    s->pos += size_t(n);
    return int64_t(n);
}

bool check_table(const host_stage* s, const char* ext, const void* const* fns, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (!fns[i]) {
            host_rule_error("stage %u: the plug-in's %s table has a null function at entry %zu", s->number,
                            ext, i);
            return false;
        }
    }
    return true;
}

template <class T>
const T* query_extension(host_stage* s, const char* id) {
    const void* p = s->plugin->get_extension(s->plugin, id);
    if (!p) return nullptr;
    if (!check_table(s, id, static_cast<const void* const*>(p), sizeof(T) / sizeof(void*))) return nullptr;
    return static_cast<const T*>(p);
}

// The list handed to process calls that carry no events (set up with the first stage).
host_input_events empty_events;

void print_pending_errors_if_main() {
    if (host_current_thread_role() == HOST_THREAD_MAIN) host_print_rule_errors();
}

} // namespace

// ---- threads ----

void host_set_thread_role(host_thread_role role) {
    tl_role = role;
}

host_thread_role host_current_thread_role() {
    return tl_role;
}

// ---- rule errors ----

void host_rule_error(const char* fmt, ...) {
    uint32_t i = error_count.fetch_add(1);
    if (i >= ERROR_KEEP) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(error_text[i], ERROR_TEXT, fmt, ap);
    va_end(ap);
    error_ready[i].store(1, std::memory_order_release);
}

uint32_t host_rule_error_count() {
    return error_count.load();
}

const char* host_rule_error_text(uint32_t i) {
    if (i >= ERROR_KEEP || i >= error_count.load() || !error_ready[i].load(std::memory_order_acquire))
        return nullptr;
    return error_text[i];
}

void host_print_rule_errors() {
    uint32_t n = error_count.load();
    uint32_t kept = n < ERROR_KEEP ? n : ERROR_KEEP;
    while (error_printed < kept && error_ready[error_printed].load(std::memory_order_acquire)) {
        std::fprintf(stderr, "lodrin-host: error: CLAP rule broken: %s\n", error_text[error_printed]);
        ++error_printed;
    }
}

void host_rule_errors_reset() {
    for (uint32_t i = 0; i < ERROR_KEEP; ++i)
        error_ready[i].store(0);
    error_count.store(0);
    error_printed = 0;
}

// ---- module ----

bool host_module_load(host_module* m, const char* path, char* err, size_t cap) {
    *m = host_module{};
    if (!path || !*path) {
        std::snprintf(err, cap, "no module given");
        return false;
    }
    if (vst3_host_is_bundle(path)) return vst3_host_load(m, path, err, cap);
    if (!host_os_file_readable(path)) {
        std::snprintf(err, cap, "cannot read the module %s (missing or not a file)", path);
        return false;
    }
    if (!host_os_absolute_path(path, m->path, sizeof(m->path)))
        std::snprintf(m->path, sizeof(m->path), "%s", path);
    char why[512] = "";
    m->handle = host_os_module_open(m->path, why, sizeof(why));
    if (!m->handle) {
        std::snprintf(err, cap, "%s is not a loadable module: %s", path, why);
        return false;
    }
    m->entry = static_cast<const clap_plugin_entry*>(host_os_module_symbol(m->handle, "clap_entry"));
    if (!m->entry) {
        std::snprintf(err, cap, "%s is not a CLAP module (it exports no clap_entry)", path);
        host_os_module_close(m->handle);
        *m = host_module{};
        return false;
    }
    const clap_version v = m->entry->clap_version;
    if (!clap_version_is_compatible(v)) {
        std::snprintf(err, cap, "%s implements CLAP %u.%u.%u, which this host (CLAP 1.x) cannot load", path,
                      v.major, v.minor, v.revision);
        host_os_module_close(m->handle);
        *m = host_module{};
        return false;
    }
    if (!m->entry->init || !m->entry->deinit || !m->entry->get_factory) {
        host_rule_error("clap_entry of %s has a null function", path);
        std::snprintf(err, cap, "%s: clap_entry has a null function", path);
        host_os_module_close(m->handle);
        *m = host_module{};
        return false;
    }
    if (!m->entry->init(m->path)) {
        std::snprintf(err, cap, "%s: clap_entry.init refused to start", path);
        host_os_module_close(m->handle);
        *m = host_module{};
        return false;
    }
    m->initialised = true;
    m->factory = static_cast<const clap_plugin_factory*>(m->entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
    if (!m->factory) {
        host_rule_error("clap_entry.get_factory(\"%s\") returned null", CLAP_PLUGIN_FACTORY_ID);
        std::snprintf(err, cap, "%s offers no plug-in factory", path);
        host_module_unload(m);
        return false;
    }
    if (!m->factory->get_plugin_count || !m->factory->get_plugin_descriptor || !m->factory->create_plugin) {
        host_rule_error("the plug-in factory has a null function");
        std::snprintf(err, cap, "%s: the plug-in factory has a null function", path);
        host_module_unload(m);
        return false;
    }
    // Read every descriptor once, as a host's scan does, and check what a host relies on in it.
    uint32_t n = m->factory->get_plugin_count(m->factory);
    for (uint32_t i = 0; i < n; ++i) {
        const clap_plugin_descriptor* d = m->factory->get_plugin_descriptor(m->factory, i);
        if (!d) {
            host_rule_error("get_plugin_descriptor(%u) returned null though the count is %u", i, n);
            continue;
        }
        if (!d->id || !d->name || !d->features)
            host_rule_error("descriptor %u lacks its id, name or feature list", i);
        if (!clap_version_is_compatible(d->clap_version))
            host_rule_error("descriptor %u declares an incompatible CLAP version", i);
    }
    return true;
}

void host_module_unload(host_module* m) {
    if (m->vst3) return vst3_host_unload(m);
    if (m->initialised && m->entry) m->entry->deinit();
    if (m->handle) host_os_module_close(m->handle);
    *m = host_module{};
}

// ---- events ----

void host_events_init(host_input_events* e) {
    e->list.ctx = e;
    e->list.size = in_size;
    e->list.get = in_get;
    host_events_clear(e);
}

void host_events_clear(host_input_events* e) {
    e->n = 0;
    e->used = 0;
}

bool host_events_append_unsorted(host_input_events* e, const clap_event_header* ev) {
    uint32_t sz = (ev->size + 7u) & ~7u;
    if (e->n >= HOST_EVENTS_MAX || e->used + sz > HOST_EVENTS_BYTES) return false;
    std::memcpy(e->bytes + e->used, ev, ev->size);
    e->offset[e->n++] = e->used;
    e->used += sz;
    return true;
}

bool host_events_push(host_input_events* e, const clap_event_header* ev) {
    if (!host_events_append_unsorted(e, ev)) return false;
    // Insertion: move the new entry before every event with a later time.
    uint32_t off = e->offset[e->n - 1];
    uint32_t i = e->n - 1;
    while (i > 0 &&
           reinterpret_cast<const clap_event_header*>(e->bytes + e->offset[i - 1])->time > ev->time) {
        e->offset[i] = e->offset[i - 1];
        --i;
    }
    e->offset[i] = off;
    return true;
}

bool host_events_push_param(host_input_events* e, uint32_t time, clap_id id, double value) {
    clap_event_param_value ev{};
    ev.header = {sizeof(ev), time, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
    ev.param_id = id;
    ev.cookie = nullptr;
    ev.note_id = -1;
    ev.port_index = -1;
    ev.channel = -1;
    ev.key = -1;
    ev.value = value;
    return host_events_push(e, &ev.header);
}

bool host_events_push_midi(host_input_events* e, uint32_t time, uint8_t b0, uint8_t b1, uint8_t b2) {
    clap_event_midi ev{};
    ev.header = {sizeof(ev), time, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI, 0};
    ev.port_index = 0;
    ev.data[0] = b0;
    ev.data[1] = b1;
    ev.data[2] = b2;
    return host_events_push(e, &ev.header);
}

// ---- streams ----

void host_ostream_init(host_ostream* s, uint32_t max_per_call) {
    *s = host_ostream{};
    s->stream.ctx = s;
    s->stream.write = ostream_write;
    s->max_per_call = max_per_call;
}

void host_ostream_free(host_ostream* s) {
    std::free(s->data);
    s->data = nullptr;
    s->size = s->cap = 0;
}

void host_istream_init(host_istream* s, const uint8_t* data, size_t size, uint32_t max_per_call) {
    *s = host_istream{};
    s->stream.ctx = s;
    s->stream.read = istream_read;
    s->data = data;
    s->size = size;
    s->max_per_call = max_per_call;
}

// ---- stage ----

bool host_stage_create(host_stage* s, host_module* m, const char* plugin_id, uint32_t number, char* err,
                       size_t cap) {
    host_events_init(&empty_events);
    s->magic = STAGE_MAGIC;
    s->module = m;
    s->number = number;
    s->next_timer_id = 1;
    s->host.clap_version = CLAP_VERSION;
    s->host.host_data = s;
    s->host.name = "lodrin-host";
    s->host.vendor = "Tovarin";
    s->host.url = "https://tovarin.example/lodrin";
    s->host.version = "1.0.1";
    s->host.get_extension = host_get_extension;
    s->host.request_restart = host_request_restart;
    s->host.request_process = host_request_process;
    s->host.request_callback = host_request_callback;
    s->life.store(HOST_STAGE_CREATED);

    const clap_plugin* p = m->factory->create_plugin(m->factory, &s->host, plugin_id);
    print_pending_errors_if_main();
    if (!p) {
        std::snprintf(err, cap, "the factory has no plug-in \"%s\"", plugin_id);
        s->life.store(HOST_STAGE_EMPTY);
        return false;
    }
    s->plugin = p;
    if (!p->desc || !p->desc->id || std::strcmp(p->desc->id, plugin_id) != 0)
        host_rule_error("stage %u: the created plug-in's descriptor does not carry the id asked for", number);
    const void* fns[] = {reinterpret_cast<const void*>(p->init),
                         reinterpret_cast<const void*>(p->destroy),
                         reinterpret_cast<const void*>(p->activate),
                         reinterpret_cast<const void*>(p->deactivate),
                         reinterpret_cast<const void*>(p->start_processing),
                         reinterpret_cast<const void*>(p->stop_processing),
                         reinterpret_cast<const void*>(p->reset),
                         reinterpret_cast<const void*>(p->process),
                         reinterpret_cast<const void*>(p->get_extension),
                         reinterpret_cast<const void*>(p->on_main_thread)};
    if (!check_table(s, "clap_plugin", fns, 10)) {
        std::snprintf(err, cap, "the plug-in object has a null function");
        s->life.store(HOST_STAGE_EMPTY);
        s->plugin = nullptr;
        return false;
    }
    if (!p->init(p)) {
        std::snprintf(err, cap, "clap_plugin.init failed for stage %u", number);
        p->destroy(p);
        s->plugin = nullptr;
        s->life.store(HOST_STAGE_EMPTY);
        return false;
    }
    s->life.store(HOST_STAGE_INITIALISED);
    s->params = query_extension<clap_plugin_params>(s, CLAP_EXT_PARAMS);
    s->audio_ports = query_extension<clap_plugin_audio_ports>(s, CLAP_EXT_AUDIO_PORTS);
    s->note_ports = query_extension<clap_plugin_note_ports>(s, CLAP_EXT_NOTE_PORTS);
    s->state = query_extension<clap_plugin_state>(s, CLAP_EXT_STATE);
    s->latency_ext = query_extension<clap_plugin_latency>(s, CLAP_EXT_LATENCY);
    s->gui = query_extension<clap_plugin_gui>(s, CLAP_EXT_GUI);
    s->timer_support = query_extension<clap_plugin_timer_support>(s, CLAP_EXT_TIMER_SUPPORT);
    s->posix_fd = query_extension<clap_plugin_posix_fd_support>(s, CLAP_EXT_POSIX_FD_SUPPORT);
    // The debug table ends with a null entry by design: check the nine operations only.
    if (const void* d = p->get_extension(p, LODRIN_EXT_DEBUG)) {
        if (check_table(s, LODRIN_EXT_DEBUG, static_cast<const void* const*>(d), 9))
            s->debug = static_cast<const lodrin_plugin_debug*>(d);
    }
    if (s->params) {
        uint32_t n = s->params->count(p);
        if (n > HOST_MAX_PARAMS) n = HOST_MAX_PARAMS;
        for (uint32_t i = 0; i < n; ++i) {
            if (!s->params->get_info(p, i, &s->param[i])) {
                host_rule_error("stage %u: params.get_info(%u) failed though count is %u", number, i, n);
                std::memset(&s->param[i], 0, sizeof(s->param[i]));
            }
            s->param[i].name[CLAP_NAME_SIZE - 1] = 0;
            for (uint32_t j = 0; j < i; ++j)
                if (s->param[j].id == s->param[i].id)
                    host_rule_error("stage %u: parameters %u and %u share id %u", number, j, i,
                                    s->param[i].id);
        }
        s->n_params = n;
    }
    print_pending_errors_if_main();
    return true;
}

bool host_stage_activate(host_stage* s, double rate, uint32_t min_frames, uint32_t max_frames) {
    if (!require_main(s, "clap_plugin.activate (host)")) return false;
    if (s->life.load() != HOST_STAGE_INITIALISED) return false;
    s->in_activate.store(1);
    bool ok = s->plugin->activate(s->plugin, rate, min_frames, max_frames);
    s->in_activate.store(0);
    if (!ok) return false;
    s->sample_rate = rate;
    s->min_frames = min_frames;
    s->max_frames = max_frames;
    s->life.store(HOST_STAGE_ACTIVE);
    s->latency = host_stage_read_latency(s);
    print_pending_errors_if_main();
    return true;
}

void host_stage_deactivate(host_stage* s) {
    uint8_t life = s->life.load();
    if (life == HOST_STAGE_PROCESSING) {
        host_rule_error("host error: deactivate while processing (stage %u)", s->number);
        return;
    }
    if (life != HOST_STAGE_ACTIVE) return;
    s->plugin->deactivate(s->plugin);
    s->life.store(HOST_STAGE_INITIALISED);
}

bool host_stage_start_processing(host_stage* s) {
    if (s->life.load() != HOST_STAGE_ACTIVE) return s->life.load() == HOST_STAGE_PROCESSING;
    if (!s->plugin->start_processing(s->plugin)) return false;
    s->life.store(HOST_STAGE_PROCESSING);
    return true;
}

void host_stage_stop_processing(host_stage* s) {
    if (s->life.load() != HOST_STAGE_PROCESSING) return;
    s->plugin->stop_processing(s->plugin);
    s->life.store(HOST_STAGE_ACTIVE);
}

void host_stage_reset(host_stage* s) {
    s->plugin->reset(s->plugin);
}

uint32_t host_stage_read_latency(host_stage* s) {
    if (!s->latency_ext) return 0;
    return s->latency_ext->get(s->plugin);
}

clap_process_status host_stage_process(host_stage* s, float* const* in, uint32_t n_in, float* const* out,
                                       uint32_t n_out, uint32_t frames, int64_t steady,
                                       const host_input_events* events, uint32_t out_capacity) {
    uint8_t life = s->life.load();
    if (life != HOST_STAGE_ACTIVE && life != HOST_STAGE_PROCESSING) return CLAP_PROCESS_ERROR;
    if (!host_stage_start_processing(s)) {
        host_rule_error("stage %u: start_processing failed", s->number);
        return CLAP_PROCESS_ERROR;
    }
    clap_audio_buffer ib{}, ob{};
    ib.data32 = const_cast<float**>(in);
    ib.channel_count = n_in;
    ob.data32 = const_cast<float**>(out);
    ob.channel_count = n_out;
    host_output_events oe;
    out_init(&oe, s, frames, out_capacity, false);
    clap_process p{};
    p.steady_time = steady;
    p.frames_count = frames;
    p.transport = nullptr;
    p.audio_inputs = n_in ? &ib : nullptr;
    p.audio_outputs = n_out ? &ob : nullptr;
    p.audio_inputs_count = n_in ? 1 : 0;
    p.audio_outputs_count = n_out ? 1 : 0;
    p.in_events = events ? &events->list : &empty_events.list;
    p.out_events = &oe.list;
    clap_process_status st = s->plugin->process(s->plugin, &p);
    ++s->n_process;
    if (st < CLAP_PROCESS_ERROR || st > CLAP_PROCESS_SLEEP)
        host_rule_error("stage %u: process returned unknown status %d", s->number, st);
    if (st == CLAP_PROCESS_ERROR) host_rule_error("stage %u: process returned CLAP_PROCESS_ERROR", s->number);
    return st;
}

void host_stage_flush(host_stage* s, const host_input_events* events) {
    if (!s->params) return;
    if (s->life.load() == HOST_STAGE_PROCESSING) return; // the next process call does the work
    host_output_events oe;
    out_init(&oe, s, 0, 0, true);
    s->params->flush(s->plugin, events ? &events->list : nullptr, &oe.list);
    ++s->n_flushes;
}

void host_stage_pump(host_stage* s, host_audio_thread* audio) {
    if (s->life.load() == HOST_STAGE_EMPTY) return;
    if (s->want_callback.exchange(0)) {
        s->plugin->on_main_thread(s->plugin);
        ++s->n_on_main_thread;
    }
    if (s->want_restart.exchange(0)) {
        uint8_t life = s->life.load();
        if (life >= HOST_STAGE_ACTIVE) {
            if (life == HOST_STAGE_PROCESSING) {
                if (audio) {
                    auto stop = [s] { host_stage_stop_processing(s); };
                    host_audio_call(audio, stop);
                } else {
                    host_stage_stop_processing(s);
                }
            }
            double rate = s->sample_rate;
            uint32_t mn = s->min_frames, mx = s->max_frames;
            host_stage_deactivate(s);
            if (!host_stage_activate(s, rate, mn, mx))
                host_rule_error("stage %u: activate failed during a restart", s->number);
            ++s->n_restarts;
        }
    }
    if (s->want_flush.exchange(0)) {
        if (s->life.load() != HOST_STAGE_PROCESSING) host_stage_flush(s, nullptr);
    }
    if (s->n_timers && s->timer_support) {
        int64_t now = host_os_clock_ns();
        for (uint32_t i = 0; i < s->n_timers; ++i) {
            if (now >= s->timers[i].due_ns) {
                s->timers[i].due_ns = now + int64_t(s->timers[i].period_ms) * 1000000;
                s->timer_support->on_timer(s->plugin, s->timers[i].id);
            }
        }
    }
    if (s->n_fds && s->posix_fd) {
        uint32_t got[HOST_MAX_FDS];
        int fds[HOST_MAX_FDS];
        uint32_t want[HOST_MAX_FDS];
        int n = int(s->n_fds);
        for (int i = 0; i < n; ++i) {
            fds[i] = s->fds[i];
            want[i] = s->fd_flags[i];
        }
        if (host_os_poll_fds(fds, want, got, n, 0) > 0)
            for (int i = 0; i < n; ++i)
                if (got[i]) s->posix_fd->on_fd(s->plugin, fds[i], got[i]);
    }
    host_print_rule_errors();
}

bool host_stage_take_record(host_stage* s, host_event_record* out) {
    uint32_t w = s->rec_write.load(std::memory_order_acquire);
    if (s->rec_read == w) return false;
    *out = s->records[s->rec_read % HOST_RECORD_RING];
    ++s->rec_read;
    return true;
}

int32_t host_stage_param_by_name(const host_stage* s, const char* name) {
    for (uint32_t i = 0; i < s->n_params; ++i) {
        const char* a = s->param[i].name;
        const char* b = name;
        while (*a && *b) {
            char x = *a, y = *b;
            if (x >= 'A' && x <= 'Z') x = char(x - 'A' + 'a');
            if (y >= 'A' && y <= 'Z') y = char(y - 'A' + 'a');
            if (x != y) break;
            ++a;
            ++b;
        }
        if (!*a && !*b) return int32_t(i);
    }
    return -1;
}

int32_t host_stage_param_by_id(const host_stage* s, clap_id id) {
    for (uint32_t i = 0; i < s->n_params; ++i)
        if (s->param[i].id == id) return int32_t(i);
    return -1;
}

bool host_stage_get_value(host_stage* s, uint32_t i, double* value) {
    if (!s->params || i >= s->n_params) return false;
    if (!s->params->get_value(s->plugin, s->param[i].id, value)) {
        host_rule_error("stage %u: params.get_value refused listed parameter \"%s\"", s->number,
                        s->param[i].name);
        return false;
    }
    if (!(*value >= s->param[i].min_value && *value <= s->param[i].max_value))
        host_rule_error("stage %u: \"%s\" has value %g outside %g..%g", s->number, s->param[i].name, *value,
                        s->param[i].min_value, s->param[i].max_value);
    return true;
}

void host_stage_value_text(host_stage* s, uint32_t i, double value, char* out, uint32_t cap) {
    if (cap == 0) return;
    out[0] = 0;
    if (!s->params || i >= s->n_params ||
        !s->params->value_to_text(s->plugin, s->param[i].id, value, out, cap)) {
        std::snprintf(out, cap, "?");
        return;
    }
    if (!std::memchr(out, 0, cap)) {
        host_rule_error("stage %u: value_to_text left the buffer unterminated", s->number);
        out[cap - 1] = 0;
    }
}

bool host_stage_save(host_stage* s, host_ostream* out, uint32_t max_per_call) {
    host_ostream_init(out, max_per_call);
    if (!s->state) return false;
    return s->state->save(s->plugin, &out->stream);
}

bool host_stage_load(host_stage* s, const uint8_t* data, size_t size, uint32_t max_per_call) {
    if (!s->state) return false;
    host_istream in;
    host_istream_init(&in, data, size, max_per_call);
    return s->state->load(s->plugin, &in.stream);
}

void host_stage_destroy(host_stage* s, host_audio_thread* audio) {
    if (s->life.load() == HOST_STAGE_EMPTY || !s->plugin) return;
    if (s->life.load() == HOST_STAGE_PROCESSING) {
        if (audio) {
            auto stop = [s] { host_stage_stop_processing(s); };
            host_audio_call(audio, stop);
        } else {
            host_stage_stop_processing(s);
        }
    }
    host_stage_deactivate(s);
    s->in_destroy.store(1);
    s->plugin->destroy(s->plugin);
    s->plugin = nullptr;
    s->life.store(HOST_STAGE_EMPTY);
    print_pending_errors_if_main();
}

// ---- audio thread ----

void host_audio_start(host_audio_thread* a) {
    a->pending = false;
    a->quit = false;
    a->thread = std::thread([a] {
        host_set_thread_role(HOST_THREAD_AUDIO);
        std::unique_lock<std::mutex> g(a->lock);
        for (;;) {
            a->wake.wait(g, [a] { return a->pending || a->quit; });
            if (a->pending) {
                g.unlock();
                alloc_counter_set_counting(true);
                a->job(a->ctx);
                alloc_counter_set_counting(false);
                g.lock();
                a->pending = false;
                a->done.notify_all();
                continue;
            }
            if (a->quit) break;
        }
    });
    a->started = true;
}

void host_audio_stop(host_audio_thread* a) {
    if (!a->started) return;
    {
        std::lock_guard<std::mutex> g(a->lock);
        a->quit = true;
    }
    a->wake.notify_all();
    a->thread.join();
    a->started = false;
}

void host_audio_run(host_audio_thread* a, void (*fn)(void*), void* ctx) {
    std::unique_lock<std::mutex> g(a->lock);
    a->job = fn;
    a->ctx = ctx;
    a->pending = true;
    a->wake.notify_all();
    a->done.wait(g, [a] { return !a->pending; });
}
