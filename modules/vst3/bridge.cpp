// The bridge between one VST3 component/controller pair and the CLAP plug-in inside this module: the
// CLAP host it is to the plug-in, the value conversions, the edit ring, the run-loop adapters and the
// plug-in's restart in place.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "platform.h"
#include "wrapper.h"

namespace {

constexpr uint32_t BRIDGE_MAGIC = 0x4C564233; // "LVB3"

// How long a restart in place waits for the audio thread's current call to end: far longer than any
// block takes; a call that runs longer means a stalled audio thread, and the host restarts instead.
// A call usually ends within microseconds, so the wait yields the processor at first and sleeps only
// after that (every call meanwhile is a gap of silence).
constexpr int64_t RESTART_WAIT_NS = 1000000000;
constexpr uint32_t RESTART_WAIT_YIELDS = 1000;
constexpr uint32_t RESTART_WAIT_POLLS = 3000; // a bound of its own, should the clock stand still

// ---- live bridges ------------------------------------------------------------------------------

std::mutex live_lock;
wrapper_bridge* live[256];
wrapper_params params_cache;

void live_add(wrapper_bridge* b) {
    std::lock_guard<std::mutex> g(live_lock);
    for (auto& p : live)
        if (!p) {
            p = b;
            return;
        }
}

void live_remove(wrapper_bridge* b) {
    std::lock_guard<std::mutex> g(live_lock);
    for (auto& p : live)
        if (p == b) p = nullptr;
}

wrapper_bridge* bridge_of(const clap_host* h) {
    if (!h) return nullptr;
    auto* b = static_cast<wrapper_bridge*>(h->host_data);
    return b && b->magic == BRIDGE_MAGIC ? b : nullptr;
}

// ---- the host object's requests ------------------------------------------------------------------

void host_request_restart(const clap_host* h) {
    if (wrapper_bridge* b = bridge_of(h)) b->want_restart.store(1);
}
void host_request_process(const clap_host*) {}
void host_request_callback(const clap_host* h) {
    if (wrapper_bridge* b = bridge_of(h)) b->want_callback.store(1);
}

void params_rescan(const clap_host* h, clap_param_rescan_flags flags) {
    if (wrapper_bridge* b = bridge_of(h))
        if (flags & (CLAP_PARAM_RESCAN_VALUES | CLAP_PARAM_RESCAN_ALL)) b->want_values.store(1);
}
void params_clear(const clap_host*, clap_id, clap_param_clear_flags) {}
void params_request_flush(const clap_host* h) {
    if (wrapper_bridge* b = bridge_of(h)) b->want_flush.store(1);
}
constexpr clap_host_params host_params = {
    .rescan = params_rescan, .clear = params_clear, .request_flush = params_request_flush};

void state_mark_dirty(const clap_host* h) {
    if (wrapper_bridge* b = bridge_of(h)) b->want_dirty.store(1);
}
constexpr clap_host_state host_state = {.mark_dirty = state_mark_dirty};

// A latency change always comes with a restart request (the plug-in asks through request_restart).
void latency_changed(const clap_host*) {}
constexpr clap_host_latency host_latency = {.changed = latency_changed};

void log_log(const clap_host*, clap_log_severity severity, const char* msg) {
    if (severity >= CLAP_LOG_ERROR && msg) std::fprintf(stderr, "Lodrin: %s\n", msg);
}
constexpr clap_host_log host_log = {.log = log_log};

void gui_resize_hints_changed(const clap_host*) {}
bool gui_request_resize(const clap_host* h, uint32_t w, uint32_t hh) {
    wrapper_bridge* b = bridge_of(h);
    return b && b->view_resize && b->view_resize(b->view, w, hh);
}
bool gui_request_show(const clap_host*) { return false; }
bool gui_request_hide(const clap_host*) { return false; }
void gui_closed(const clap_host*, bool) {}
constexpr clap_host_gui host_gui = {.resize_hints_changed = gui_resize_hints_changed,
                                    .request_resize = gui_request_resize,
                                    .request_show = gui_request_show,
                                    .request_hide = gui_request_hide,
                                    .closed = gui_closed};

} // namespace

// ---- run-loop adapters -----------------------------------------------------------------------------

// An ITimerHandler / IEventHandler owned by the bridge; the host's run loop holds references on it.
struct wrapper_timer final : vst3::ITimerHandler {
    std::atomic<uint32_t> refs{1};
    wrapper_bridge* bridge;
    clap_id id;
    uint32_t period_ms;
    bool registered = false;

    vst3::tresult VST3_API queryInterface(const char* iid, void** obj) override {
        vst3::ITimerHandler* base = this;
        const wrapper_iface rows[] = {{&vst3::FUnknown::iid, base}, {&vst3::ITimerHandler::iid, base}};
        return wrapper_query(base, iid, obj, rows);
    }
    vst3::uint32 VST3_API addRef() override { return ++refs; }
    vst3::uint32 VST3_API release() override {
        return wrapper_release(this, refs, [] {});
    }
    void VST3_API onTimer() override {
        wrapper_bridge* b = bridge;
        if (b && b->plugin && b->timer_support) b->timer_support->on_timer(b->plugin, id);
    }
};

struct wrapper_fd final : vst3::IEventHandler {
    std::atomic<uint32_t> refs{1};
    wrapper_bridge* bridge;
    int fd;
    clap_posix_fd_flags flags;
    bool registered = false;

    vst3::tresult VST3_API queryInterface(const char* iid, void** obj) override {
        vst3::IEventHandler* base = this;
        const wrapper_iface rows[] = {{&vst3::FUnknown::iid, base}, {&vst3::IEventHandler::iid, base}};
        return wrapper_query(base, iid, obj, rows);
    }
    vst3::uint32 VST3_API addRef() override { return ++refs; }
    vst3::uint32 VST3_API release() override {
        return wrapper_release(this, refs, [] {});
    }
    void VST3_API onFDIsSet(vst3::FileDescriptor f) override {
        wrapper_bridge* b = bridge;
        if (b && b->plugin && b->posix_fd) b->posix_fd->on_fd(b->plugin, f, CLAP_POSIX_FD_READ);
    }
};

namespace {

void timer_attach(wrapper_bridge* b, wrapper_timer* t) {
    if (b->run_loop && !t->registered)
        t->registered = b->run_loop->registerTimer(t, t->period_ms) == vst3::kResultOk;
}
void timer_detach(wrapper_bridge* b, wrapper_timer* t) {
    if (b->run_loop && t->registered) b->run_loop->unregisterTimer(t);
    t->registered = false;
}
void fd_attach(wrapper_bridge* b, wrapper_fd* f) {
    if (b->run_loop && !f->registered) f->registered = b->run_loop->registerEventHandler(f, f->fd) == vst3::kResultOk;
}
void fd_detach(wrapper_bridge* b, wrapper_fd* f) {
    if (b->run_loop && f->registered) b->run_loop->unregisterEventHandler(f);
    f->registered = false;
}

bool timer_register(const clap_host* h, uint32_t period_ms, clap_id* id) {
    wrapper_bridge* b = bridge_of(h);
    if (!b || !id) return false;
    for (auto& slot : b->timers) {
        if (slot) continue;
        auto* t = new (std::nothrow) wrapper_timer();
        if (!t) return false;
        t->bridge = b;
        t->id = b->next_timer_id++;
        t->period_ms = period_ms ? period_ms : 1;
        slot = t;
        timer_attach(b, t);
        *id = t->id;
        return true;
    }
    return false;
}

bool timer_unregister(const clap_host* h, clap_id id) {
    wrapper_bridge* b = bridge_of(h);
    if (!b) return false;
    for (auto& slot : b->timers) {
        if (slot && slot->id == id) {
            timer_detach(b, slot);
            slot->bridge = nullptr;
            slot->release();
            slot = nullptr;
            return true;
        }
    }
    return false;
}
constexpr clap_host_timer_support host_timer = {.register_timer = timer_register,
                                                .unregister_timer = timer_unregister};

bool fd_register(const clap_host* h, int fd, clap_posix_fd_flags flags) {
    wrapper_bridge* b = bridge_of(h);
    if (!b || fd < 0) return false;
    for (auto& slot : b->fds)
        if (slot && slot->fd == fd) return false;
    for (auto& slot : b->fds) {
        if (slot) continue;
        auto* f = new (std::nothrow) wrapper_fd();
        if (!f) return false;
        f->bridge = b;
        f->fd = fd;
        f->flags = flags;
        slot = f;
        fd_attach(b, f);
        return true;
    }
    return false;
}
bool fd_modify(const clap_host* h, int fd, clap_posix_fd_flags flags) {
    wrapper_bridge* b = bridge_of(h);
    if (!b) return false;
    for (auto& slot : b->fds)
        if (slot && slot->fd == fd) {
            slot->flags = flags;
            return true;
        }
    return false;
}
bool fd_unregister(const clap_host* h, int fd) {
    wrapper_bridge* b = bridge_of(h);
    if (!b) return false;
    for (auto& slot : b->fds) {
        if (slot && slot->fd == fd) {
            fd_detach(b, slot);
            slot->bridge = nullptr;
            slot->release();
            slot = nullptr;
            return true;
        }
    }
    return false;
}
constexpr clap_host_posix_fd_support host_fd = {
    .register_fd = fd_register, .modify_fd = fd_modify, .unregister_fd = fd_unregister};

const void* host_get_extension(const clap_host* h, const char* id) {
    if (!bridge_of(h) || !id) return nullptr;
    if (!std::strcmp(id, CLAP_EXT_PARAMS)) return &host_params;
    if (!std::strcmp(id, CLAP_EXT_STATE)) return &host_state;
    if (!std::strcmp(id, CLAP_EXT_LATENCY)) return &host_latency;
    if (!std::strcmp(id, CLAP_EXT_LOG)) return &host_log;
    if (!std::strcmp(id, CLAP_EXT_GUI)) return &host_gui;
    if (!std::strcmp(id, CLAP_EXT_TIMER_SUPPORT)) return &host_timer;
    if (!std::strcmp(id, CLAP_EXT_POSIX_FD_SUPPORT)) return &host_fd;
    return nullptr;
}

// ---- output events -> ring ---------------------------------------------------------------------

bool ring_push(wrapper_bridge* b, const wrapper_edit& e) {
    uint32_t w = b->ring_write.load(std::memory_order_relaxed);
    uint32_t r = b->ring_read.load(std::memory_order_acquire);
    if (w - r >= WRAPPER_EDIT_RING) return false;
    b->ring[w & (WRAPPER_EDIT_RING - 1)] = e;
    b->ring_write.store(w + 1, std::memory_order_release);
    return true;
}

// A value of the plug-in as a point of the host's output parameter changes; false when the host's
// list takes no more.
bool out_change_push(wrapper_bridge* b, const clap_event_param_value* p) {
    const int32_t i = wrapper_param_index(&b->table, p->param_id);
    if (i < 0) return true;
    vst3::ParamID id = p->param_id;
    vst3::int32 index = 0;
    vst3::IParamValueQueue* q = b->out_changes->addParameterData(&id, &index);
    if (!q) return false;
    vst3::int32 at = 0;
    const vst3::int32 offset = p->header.time > 0x7FFFFFFFu ? 0x7FFFFFFF : vst3::int32(p->header.time);
    return q->addPoint(offset, wrapper_to_normalised(&b->table, i, p->value), &at) == vst3::kResultOk;
}

bool out_try_push(const clap_output_events* list, const clap_event_header* ev) {
    auto* b = static_cast<wrapper_bridge*>(list->ctx);
    if (!b || !ev || ev->space_id != CLAP_CORE_EVENT_SPACE_ID) return false;
    wrapper_edit e{};
    // With no tick to hand them to the component handler, the plug-in's values go to the host
    // through the processor's own channel; its gestures then have nobody to go to.
    if (b->out_changes) {
        if (ev->type == CLAP_EVENT_PARAM_VALUE && ev->size >= sizeof(clap_event_param_value) &&
            out_change_push(b, reinterpret_cast<const clap_event_param_value*>(ev)))
            return true;
        if (ev->type == CLAP_EVENT_PARAM_GESTURE_BEGIN || ev->type == CLAP_EVENT_PARAM_GESTURE_END) return true;
    }
    if (ev->type == CLAP_EVENT_PARAM_VALUE && ev->size >= sizeof(clap_event_param_value)) {
        const auto* p = reinterpret_cast<const clap_event_param_value*>(ev);
        e = wrapper_edit{ev->type, p->param_id, p->value};
    } else if ((ev->type == CLAP_EVENT_PARAM_GESTURE_BEGIN || ev->type == CLAP_EVENT_PARAM_GESTURE_END) &&
               ev->size >= sizeof(clap_event_param_gesture)) {
        const auto* g = reinterpret_cast<const clap_event_param_gesture*>(ev);
        e = wrapper_edit{ev->type, g->param_id, 0.0};
    } else {
        return true; // nothing else reaches a VST3 host from here
    }
    return ring_push(b, e);
}

// The parameter's unit: the word after the last space that the plug-in's texts for the minimum and
// the maximum share ("-24.0 dB" and "24.0 dB" give "dB"); none when they differ.
void derive_unit(wrapper_bridge* b, uint32_t i) {
    wrapper_params& t = b->table;
    t.units[i][0] = 0;
    if (!b->params->value_to_text) return;
    char lo[64] = "", hi[64] = "";
    if (!b->params->value_to_text(b->plugin, t.info[i].id, t.info[i].min_value, lo, sizeof(lo)) ||
        !b->params->value_to_text(b->plugin, t.info[i].id, t.info[i].max_value, hi, sizeof(hi)))
        return;
    lo[sizeof(lo) - 1] = hi[sizeof(hi) - 1] = 0;
    const char* a = std::strrchr(lo, ' ');
    const char* c = std::strrchr(hi, ' ');
    if (!a || !c || std::strcmp(a, c) != 0 || !a[1]) return;
    for (const char* p = a + 1; *p; ++p)
        if (*p >= '0' && *p <= '9') return;
    wrapper_copy(t.units[i], a + 1, sizeof(t.units[i]));
}

} // namespace

// ---- public -------------------------------------------------------------------------------------

void wrapper_copy(char* out, const char* in, uint32_t cap) {
    if (!out || cap == 0) return;
    uint32_t i = 0;
    if (in)
        for (; i + 1 < cap && in[i]; ++i) out[i] = in[i];
    out[i] = 0;
}

void wrapper_utf8_to_16(const char* in, vst3::char16* out, uint32_t cap) {
    if (!out || cap == 0) return;
    uint32_t n = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(in ? in : "");
    while (*s && n + 1 < cap) {
        uint32_t c = *s++;
        int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
        if (extra) c &= 0x3Fu >> extra;
        for (int k = 0; k < extra && (*s & 0xC0) == 0x80; ++k) c = (c << 6) | (*s++ & 0x3F);
        if (c >= 0x10000) {
            if (n + 2 >= cap) break;
            c -= 0x10000;
            out[n++] = vst3::char16(0xD800 + (c >> 10));
            out[n++] = vst3::char16(0xDC00 + (c & 0x3FF));
        } else {
            out[n++] = vst3::char16(c);
        }
    }
    out[n] = 0;
}

void wrapper_utf16_to_8(const vst3::char16* in, char* out, uint32_t cap) {
    if (!out || cap == 0) return;
    uint32_t n = 0;
    // A host's string ends at its terminator; at most a String128's worth is read in any case.
    for (uint32_t i = 0; in && in[i] && i < 128; ++i) {
        uint32_t c = in[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < 128 && in[i + 1] >= 0xDC00 && in[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (in[i + 1] - 0xDC00);
            ++i;
        }
        char buf[4];
        int len = 0;
        if (c < 0x80) {
            buf[len++] = char(c);
        } else if (c < 0x800) {
            buf[len++] = char(0xC0 | (c >> 6));
            buf[len++] = char(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            buf[len++] = char(0xE0 | (c >> 12));
            buf[len++] = char(0x80 | ((c >> 6) & 0x3F));
            buf[len++] = char(0x80 | (c & 0x3F));
        } else {
            buf[len++] = char(0xF0 | (c >> 18));
            buf[len++] = char(0x80 | ((c >> 12) & 0x3F));
            buf[len++] = char(0x80 | ((c >> 6) & 0x3F));
            buf[len++] = char(0x80 | (c & 0x3F));
        }
        if (n + uint32_t(len) + 1 > cap) break;
        for (int k = 0; k < len; ++k) out[n++] = buf[k];
    }
    out[n] = 0;
}

wrapper_bridge* wrapper_bridge_create() {
    const auto* factory = static_cast<const clap_plugin_factory*>(clap_entry.get_factory(CLAP_PLUGIN_FACTORY_ID));
    if (!factory || factory->get_plugin_count(factory) < 1) return nullptr;
    const clap_plugin_descriptor* desc = factory->get_plugin_descriptor(factory, 0);
    if (!desc || !desc->id) return nullptr;

    auto* b = new (std::nothrow) wrapper_bridge();
    if (!b) return nullptr;
    b->magic = BRIDGE_MAGIC;
    b->refs.store(1);
    b->next_timer_id = 1;
    b->host.clap_version = CLAP_VERSION;
    b->host.host_data = b;
    b->host.name = "Lodrin VST3";
    b->host.vendor = "Tovarin";
    b->host.url = "";
    b->host.version = "1.0.1";
    b->host.get_extension = host_get_extension;
    b->host.request_restart = host_request_restart;
    b->host.request_process = host_request_process;
    b->host.request_callback = host_request_callback;

    const clap_plugin* p = factory->create_plugin(factory, &b->host, desc->id);
    if (!p) {
        delete b;
        return nullptr;
    }
    if (!p->init(p)) {
        p->destroy(p);
        delete b;
        return nullptr;
    }
    b->plugin = p;
    b->params = static_cast<const clap_plugin_params*>(p->get_extension(p, CLAP_EXT_PARAMS));
    b->state = static_cast<const clap_plugin_state*>(p->get_extension(p, CLAP_EXT_STATE));
    b->latency = static_cast<const clap_plugin_latency*>(p->get_extension(p, CLAP_EXT_LATENCY));
    b->gui = static_cast<const clap_plugin_gui*>(p->get_extension(p, CLAP_EXT_GUI));
    b->timer_support = static_cast<const clap_plugin_timer_support*>(p->get_extension(p, CLAP_EXT_TIMER_SUPPORT));
    b->posix_fd = static_cast<const clap_plugin_posix_fd_support*>(p->get_extension(p, CLAP_EXT_POSIX_FD_SUPPORT));
    if (b->params) {
        uint32_t n = b->params->count(p);
        if (n > WRAPPER_MAX_PARAMS) n = WRAPPER_MAX_PARAMS;
        for (uint32_t i = 0; i < n; ++i) {
            wrapper_params& t = b->table;
            if (!b->params->get_info(p, i, &t.info[t.n])) continue;
            clap_param_info& in = t.info[t.n];
            in.name[CLAP_NAME_SIZE - 1] = 0;
            // VST3 ids stop at 0x7FFFFFFF, and the controller ids above the CC base are the wrapper's.
            if (in.id > 0x7FFFFFFFu || (in.id >= WRAPPER_CC_PARAM_BASE && in.id < WRAPPER_CC_PARAM_BASE + WRAPPER_CC_COUNT))
                continue;
            if (!(in.max_value >= in.min_value)) continue;
            derive_unit(b, t.n);
            ++t.n;
        }
    }
    {
        std::lock_guard<std::mutex> g(live_lock);
        params_cache = b->table;
    }
    live_add(b);
    return b;
}

void wrapper_bridge_retain(wrapper_bridge* b) {
    if (b) b->refs.fetch_add(1);
}

void wrapper_bridge_retire(wrapper_bridge* b) {
    if (!b) return;
    const clap_plugin* p = b->plugin;
    if (p) {
        if (b->gui && b->gui_views) b->gui->destroy(p);
        if (b->processing.load()) p->stop_processing(p);
        if (b->active.load()) p->deactivate(p);
        p->destroy(p);
    }
    b->processing.store(0);
    b->active.store(0);
    b->gui_views = 0;
    b->gui_attached = nullptr;
    b->view = nullptr;
    b->view_resize = nullptr;
    b->plugin = nullptr;
    b->params = nullptr;
    b->state = nullptr;
    b->latency = nullptr;
    b->gui = nullptr;
    b->timer_support = nullptr;
    b->posix_fd = nullptr;
}

void wrapper_bridge_set_successor(wrapper_bridge* old, wrapper_bridge* next) {
    if (!old || old == next || old->successor) return;
    wrapper_bridge_retain(next);
    old->successor = next;
}

void wrapper_bridge_release(wrapper_bridge* b) {
    if (!b || b->refs.fetch_sub(1) != 1) return;
    live_remove(b);
    wrapper_bridge_retire(b);
    wrapper_bridge_release(b->successor);
    // Whatever the plug-in left registered goes now.
    wrapper_bridge_set_run_loop(b, nullptr);
    for (auto& t : b->timers)
        if (t) {
            t->bridge = nullptr;
            t->release();
            t = nullptr;
        }
    for (auto& f : b->fds)
        if (f) {
            f->bridge = nullptr;
            f->release();
            f = nullptr;
        }
    b->magic = 0;
    delete b;
}

const wrapper_params* wrapper_params_cache() {
    return &params_cache;
}

bool wrapper_bridge_is_live(const void* p) {
    if (!p) return false;
    std::lock_guard<std::mutex> g(live_lock);
    for (auto* b : live)
        if (b == p) return true;
    return false;
}

double wrapper_snap(double p, double scale) {
    double r = std::round(p * 1e6) / 1e6;
    double a = std::fmax(std::fabs(p), std::fabs(scale));
    double tol = 4 * (std::nextafter(a, INFINITY) - a);
    return std::fabs(r - p) <= tol ? r : p;
}

int32_t wrapper_param_index(const wrapper_params* t, vst3::ParamID id) {
    if (!t) return -1;
    for (uint32_t i = 0; i < t->n; ++i)
        if (t->info[i].id == id) return int32_t(i);
    return -1;
}

int32_t wrapper_param_steps(const wrapper_params* t, int32_t i) {
    const clap_param_info& p = t->info[i];
    if (!(p.flags & CLAP_PARAM_IS_STEPPED)) return 0;
    double n = std::floor(p.max_value - p.min_value + 0.5);
    return n >= 1 && n < 1e6 ? int32_t(n) : 0;
}

double wrapper_to_plain(const wrapper_params* t, int32_t i, double v) {
    const clap_param_info& p = t->info[i];
    if (std::isnan(v)) return p.default_value;
    if (v < 0) v = 0;
    if (v > 1) v = 1;
    int32_t n = wrapper_param_steps(t, i);
    if (n > 0) {
        double step = std::floor(v * (n + 1));
        if (step > n) step = n;
        return p.min_value + step;
    }
    return wrapper_snap(p.min_value + v * (p.max_value - p.min_value),
                        std::fmax(std::fabs(p.min_value), std::fabs(p.max_value)));
}

double wrapper_to_normalised(const wrapper_params* t, int32_t i, double x) {
    const clap_param_info& p = t->info[i];
    if (std::isnan(x)) x = p.default_value;
    double range = p.max_value - p.min_value;
    if (!(range > 0)) return 0.0;
    int32_t n = wrapper_param_steps(t, i);
    double v;
    if (n > 0) {
        double step = std::floor(x - p.min_value + 0.5);
        v = step / n;
    } else {
        v = (x - p.min_value) / range;
    }
    return v < 0 ? 0.0 : v > 1 ? 1.0 : v;
}

bool wrapper_bridge_take_edit(wrapper_bridge* b, wrapper_edit* out) {
    uint32_t r = b->ring_read.load(std::memory_order_relaxed);
    if (r == b->ring_write.load(std::memory_order_acquire)) return false;
    *out = b->ring[r & (WRAPPER_EDIT_RING - 1)];
    b->ring_read.store(r + 1, std::memory_order_release);
    return true;
}

void wrapper_bridge_output_list(wrapper_bridge* b, clap_output_events* out) {
    out->ctx = b;
    out->try_push = out_try_push;
}

void wrapper_bridge_idle_flush(wrapper_bridge* b) {
    if (!b || !b->plugin || !b->params || b->active.load()) return;
    clap_output_events out;
    wrapper_bridge_output_list(b, &out);
    b->params->flush(b->plugin, nullptr, &out);
}

void wrapper_bridge_service(wrapper_bridge* b) {
    if (!b || !b->plugin) return;
    if (b->want_callback.exchange(0)) b->plugin->on_main_thread(b->plugin);
    // While active the host's next process call drains the plug-in's edits; while inactive nobody
    // calls process, so the flush is made here.
    if (b->want_flush.exchange(0)) {
        if (!b->active.load())
            wrapper_bridge_idle_flush(b);
        else
            b->want_flush.store(0);
    }
}

bool wrapper_bridge_audio_enter(wrapper_bridge* b) {
    b->in_process.fetch_add(1); // seq_cst: before the read of restarting
    if (!b->restarting.load()) return true;
    b->in_process.fetch_sub(1);
    return false;
}

void wrapper_bridge_audio_leave(wrapper_bridge* b) {
    b->in_process.fetch_sub(1);
}

bool wrapper_bridge_restart(wrapper_bridge* b) {
    if (!b || !b->plugin || !b->active.load()) return false;
    b->restarting.store(1); // seq_cst: before the read of in_process
    const int64_t start = clock_ns();
    for (uint32_t polls = 0; b->in_process.load() != 0; ++polls) {
        if (polls >= RESTART_WAIT_POLLS || clock_ns() - start > RESTART_WAIT_NS) {
            b->restarting.store(0);
            return false;
        }
        if (polls < RESTART_WAIT_YIELDS)
            std::this_thread::yield();
        else
            sleep_ms(1);
    }
    // The audio thread stays out until restarting is cleared; its next process call starts
    // processing again.
    const clap_plugin* p = b->plugin;
    if (b->processing.load()) {
        p->stop_processing(p);
        b->processing.store(0);
    }
    p->deactivate(p);
    const bool ok = p->activate(p, b->active_rate, 1, b->active_max_frames);
    if (!ok) b->active.store(0);
    // The activation took in every setting: a request made before it is served.
    b->want_restart.store(0);
    b->restart_sent = 0;
    b->restarting.store(0, std::memory_order_release);
    return ok;
}

void wrapper_bridge_serve_restart(wrapper_bridge* b) {
    if (!b || !b->plugin || !b->want_restart.exchange(0)) return;
    if (b->active.load()) {
        const uint32_t before = b->latency ? b->latency->get(b->plugin) : 0;
        if (wrapper_bridge_restart(b)) {
            const uint32_t after = b->latency ? b->latency->get(b->plugin) : 0;
            if (after != before) b->latency_news = 1;
            return;
        }
    }
    if (!b->restart_sent) {
        b->restart_sent = 1;
        b->latency_news = 1;
    }
}

void wrapper_bridge_update_tick(wrapper_bridge* b) {
    if (!b) return;
    const bool live = b->tick && wrapper_service_running();
    b->tick_live.store(live ? 1 : 0, std::memory_order_release);
}

void wrapper_bridge_update_all_ticks() {
    std::lock_guard<std::mutex> g(live_lock);
    for (auto* b : live)
        if (b) wrapper_bridge_update_tick(b);
}

uint32_t wrapper_bridges_retain(wrapper_bridge** out, uint32_t cap) {
    std::lock_guard<std::mutex> g(live_lock);
    uint32_t n = 0;
    for (auto* b : live) {
        if (!b || n == cap) continue;
        // A bridge whose last reference is going (and that is not yet off the list) stays dead.
        uint32_t r = b->refs.load();
        while (r > 0 && !b->refs.compare_exchange_weak(r, r + 1)) {
        }
        if (r > 0) out[n++] = b;
    }
    return n;
}

void wrapper_bridge_set_run_loop(wrapper_bridge* b, vst3::IRunLoop* loop) {
    if (!b || b->run_loop == loop) return;
    for (auto* t : b->timers)
        if (t) timer_detach(b, t);
    for (auto* f : b->fds)
        if (f) fd_detach(b, f);
    if (b->run_loop) b->run_loop->release();
    b->run_loop = loop;
    if (loop) loop->addRef();
    for (auto* t : b->timers)
        if (t) timer_attach(b, t);
    for (auto* f : b->fds)
        if (f) fd_attach(b, f);
}
