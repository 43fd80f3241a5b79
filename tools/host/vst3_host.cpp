// The VST3 driver of lodrin-host (vst3_host.h). Each CLAP call of the host maps onto the VST3 calls a
// VST3 host makes at that point:
//   create_plugin + init   createInstance(component), initialize, the controller (from the component
//                          or its class), initialize, connect both ways, setComponentHandler, and the
//                          controller synchronised from the component's state
//   activate / deactivate  setBusArrangements, setupProcessing, activateBus, setActive
//   start/stop_processing  setProcessing
//   process                ProcessData with the parameter queues built from the CLAP events (MIDI
//                          control changes through IMidiMapping) and a process context
//   params.flush           a process call without audio
//   state save / load      component getState / setState, controller setComponentState
//   timers, descriptors    the IRunLoop the host offers, served by the CLAP host's timers and fds
// The handler's beginEdit / performEdit / endEdit come back as CLAP output events of the next process
// or flush; restartComponent(kLatencyChanged) as request_restart.
#include "vst3_host.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "clap_access.h"
#include "debug_ext.h"
#include "host_os.h"
#include "vst3_abi.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#else
#include <windows.h>
#endif

using namespace vst3;

namespace {

constexpr uint32_t V3_MAX_PARAMS = 64;
constexpr uint32_t V3_MAX_QUEUES = 64;
constexpr uint32_t V3_MAX_POINTS = 128;
constexpr uint32_t V3_EDIT_RING = 1024;
constexpr uint32_t V3_MAX_TIMERS = 16;

typedef IPluginFactory*(VST3_API* get_factory_fn)();
typedef bool(VST3_API* init_fn)();
typedef bool (*entry_fn)(void*);
typedef bool (*exit_fn)();

// ---- strings ---------------------------------------------------------------------------------------

void utf16_to_8(const char16* in, char* out, size_t cap) {
    size_t n = 0;
    for (size_t i = 0; in && in[i] && n + 1 < cap; ++i)
        out[n++] = in[i] < 0x80 ? char(in[i]) : '?';
    out[n] = 0;
}

void utf8_to_16(const char* in, char16* out, size_t cap) {
    size_t n = 0;
    for (; in && in[n] && n + 1 < cap; ++n) out[n] = char16(static_cast<unsigned char>(in[n]));
    out[n] = 0;
}

// The same snapping to whole millionths as the controller's own conversion: a plain value of up to
// six decimals that went out normalised comes back exactly.
double snap(double p, double scale) {
    double r = std::round(p * 1e6) / 1e6;
    double a = std::fmax(std::fabs(p), std::fabs(scale));
    double tol = 4 * (std::nextafter(a, INFINITY) - a);
    return std::fabs(r - p) <= tol ? r : p;
}

// ---- a memory IBStream ---------------------------------------------------------------------------

class mem_stream final : public IBStream {
  public:
    std::vector<uint8_t> data;
    int64 pos = 0;

    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        if (!obj) return kInvalidArgument;
        if (uid_equal(iid, FUnknown::iid) || uid_equal(iid, IBStream::iid)) {
            *obj = static_cast<IBStream*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; } // lives on the caller's stack
    uint32 VST3_API release() override { return 1; }
    tresult VST3_API read(void* buffer, int32 n, int32* got) override {
        if (got) *got = 0;
        if (n < 0 || (!buffer && n > 0)) return kInvalidArgument;
        int64 left = int64(data.size()) - pos;
        int32 k = left <= 0 ? 0 : left < n ? int32(left) : n;
        if (k) std::memcpy(buffer, data.data() + pos, size_t(k));
        pos += k;
        if (got) *got = k;
        return kResultOk;
    }
    tresult VST3_API write(void* buffer, int32 n, int32* put) override {
        if (put) *put = 0;
        if (n < 0 || (!buffer && n > 0)) return kInvalidArgument;
        if (size_t(pos) + size_t(n) > data.size()) data.resize(size_t(pos) + size_t(n));
        if (n) std::memcpy(data.data() + pos, buffer, size_t(n));
        pos += n;
        if (put) *put = n;
        return kResultOk;
    }
    tresult VST3_API seek(int64 p, int32 mode, int64* result) override {
        int64 base = mode == kIBSeekSet ? 0 : mode == kIBSeekCur ? pos : mode == kIBSeekEnd ? int64(data.size()) : -1;
        if (base < 0 || base + p < 0) return kInvalidArgument;
        pos = base + p;
        if (result) *result = pos;
        return kResultOk;
    }
    tresult VST3_API tell(int64* p) override {
        if (!p) return kInvalidArgument;
        *p = pos;
        return kResultOk;
    }
};

// ---- parameter queues with fixed storage ---------------------------------------------------------

class value_queue final : public IParamValueQueue {
  public:
    ParamID id = 0;
    int32 n = 0;
    int32 offset[V3_MAX_POINTS];
    double value[V3_MAX_POINTS];

    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        if (!obj) return kInvalidArgument;
        if (uid_equal(iid, FUnknown::iid) || uid_equal(iid, IParamValueQueue::iid)) {
            *obj = static_cast<IParamValueQueue*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    ParamID VST3_API getParameterId() override { return id; }
    int32 VST3_API getPointCount() override { return n; }
    tresult VST3_API getPoint(int32 i, int32* off, ParamValue* v) override {
        if (i < 0 || i >= n || !off || !v) return kInvalidArgument;
        *off = offset[i];
        *v = value[i];
        return kResultOk;
    }
    tresult VST3_API addPoint(int32 off, ParamValue v, int32* index) override {
        // Points stay sorted by offset; a second point at one offset replaces the first.
        if (n > 0 && offset[n - 1] == off) {
            value[n - 1] = v;
            if (index) *index = n - 1;
            return kResultOk;
        }
        if (n >= int32(V3_MAX_POINTS) || (n > 0 && offset[n - 1] > off)) return kResultFalse;
        offset[n] = off;
        value[n] = v;
        if (index) *index = n;
        ++n;
        return kResultOk;
    }
};

class param_changes final : public IParameterChanges {
  public:
    value_queue q[V3_MAX_QUEUES];
    int32 n = 0;

    void clear() { n = 0; }
    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        if (!obj) return kInvalidArgument;
        if (uid_equal(iid, FUnknown::iid) || uid_equal(iid, IParameterChanges::iid)) {
            *obj = static_cast<IParameterChanges*>(this);
            return kResultOk;
        }
        *obj = nullptr;
        return kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; }
    uint32 VST3_API release() override { return 1; }
    int32 VST3_API getParameterCount() override { return n; }
    IParamValueQueue* VST3_API getParameterData(int32 i) override { return i >= 0 && i < n ? &q[i] : nullptr; }
    IParamValueQueue* VST3_API addParameterData(const ParamID* id, int32* index) override {
        if (!id) return nullptr;
        for (int32 i = 0; i < n; ++i)
            if (q[i].id == *id) {
                if (index) *index = i;
                return &q[i];
            }
        if (n >= int32(V3_MAX_QUEUES)) return nullptr;
        q[n].id = *id;
        q[n].n = 0;
        if (index) *index = n;
        return &q[n++];
    }
};

// ---- the module and one plug-in -----------------------------------------------------------------

struct v3_module {
    clap_plugin_factory factory; // first: the host hands this pointer back
    clap_plugin_descriptor desc;
    IPluginFactory* vf;
    void* handle;
    exit_fn module_exit;
    init_fn exit_dll;
    uid processor_cid;
    char id[64], name[64], vendor[64], version[64];
};

const char* const v3_features[] = {"audio-effect", nullptr};

struct v3_plugin;

// The host side as the plug-in sees it: application, component handler, run loop, plug frame.
class host_side final : public IHostApplication,
                        public IComponentHandler,
                        public IComponentHandler2,
                        public IRunLoop,
                        public IPlugFrame {
  public:
    v3_plugin* owner = nullptr;

    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        if (!obj) return kInvalidArgument;
        void* p = nullptr;
        if (uid_equal(iid, FUnknown::iid) || uid_equal(iid, IHostApplication::iid))
            p = static_cast<IHostApplication*>(this);
        else if (uid_equal(iid, IComponentHandler::iid))
            p = static_cast<IComponentHandler*>(this);
        else if (uid_equal(iid, IComponentHandler2::iid))
            p = static_cast<IComponentHandler2*>(this);
        else if (uid_equal(iid, IRunLoop::iid))
            p = static_cast<IRunLoop*>(this);
        else if (uid_equal(iid, IPlugFrame::iid))
            p = static_cast<IPlugFrame*>(this);
        *obj = p;
        return p ? kResultOk : kNoInterface;
    }
    uint32 VST3_API addRef() override { return 1; } // owned by the plug-in record
    uint32 VST3_API release() override { return 1; }

    tresult VST3_API getName(char16* name) override {
        if (!name) return kInvalidArgument;
        utf8_to_16("lodrin-host", name, 128);
        return kResultOk;
    }
    tresult VST3_API createInstance(char*, char*, void** obj) override {
        if (obj) *obj = nullptr;
        return kNotImplemented;
    }

    tresult VST3_API beginEdit(ParamID id) override;
    tresult VST3_API performEdit(ParamID id, ParamValue v) override;
    tresult VST3_API endEdit(ParamID id) override;
    tresult VST3_API restartComponent(int32 flags) override;

    tresult VST3_API setDirty(TBool state) override;
    tresult VST3_API requestOpenEditor(FIDString) override { return kNotImplemented; }
    tresult VST3_API startGroupEdit() override { return kResultOk; }
    tresult VST3_API finishGroupEdit() override { return kResultOk; }

    tresult VST3_API registerEventHandler(IEventHandler* handler, FileDescriptor fd) override;
    tresult VST3_API unregisterEventHandler(IEventHandler* handler) override;
    tresult VST3_API registerTimer(ITimerHandler* handler, TimerInterval ms) override;
    tresult VST3_API unregisterTimer(ITimerHandler* handler) override;

    tresult VST3_API resizeView(IPlugView* view, ViewRect* r) override;
};

struct v3_param {
    ParamID id;
    int32 steps;
    double min, max;
};

struct v3_edit {
    uint16_t type;
    clap_id id;
    double value;
};

struct v3_plugin {
    clap_plugin plugin;
    clap_plugin_descriptor desc; // the module's, under the id the host asked for
    char id[256];
    const clap_host* host;
    v3_module* mod;
    host_side side;
    IComponent* comp = nullptr;
    IAudioProcessor* proc = nullptr;
    IEditController* ctrl = nullptr;
    IConnectionPoint* comp_cp = nullptr;
    IConnectionPoint* ctrl_cp = nullptr;
    bool ctrl_separate = false;
    bool active = false;
    double rate = 0;
    uint32_t max_frames = 0;

    uint32_t n_params = 0;
    v3_param param[V3_MAX_PARAMS];
    clap_param_info info[V3_MAX_PARAMS];
    ParamID midi_map[16][128];

    IPlugView* view = nullptr; // the editor while the CLAP host has a gui created
    bool attached = false;

    const clap_plugin* inner = nullptr; // the CLAP plug-in inside (diagnostics only)
    const lodrin_plugin_debug* inner_debug = nullptr;

    // Edits from the component handler (main thread) to the next process or flush.
    v3_edit ring[V3_EDIT_RING];
    std::atomic<uint32_t> ring_w{0}, ring_r{0};

    // Run-loop registrations: timers and descriptors of the plug-in, with the CLAP host's ids.
    struct timer {
        ITimerHandler* handler;
        TimerInterval ms;
        clap_id id; // CLAP_INVALID_ID until registered with the host
    } timers[V3_MAX_TIMERS];
    uint32_t n_timers = 0;
    struct fd_entry {
        IEventHandler* handler;
        int fd;
        bool registered;
    } fds[V3_MAX_TIMERS];
    uint32_t n_fds = 0;
    bool host_ready = false; // past init: the host's timer and descriptor tables may be used

    // Process scratch.
    param_changes in_changes, out_changes;
    AudioBusBuffers in_bus{}, out_bus{};
    ProcessContext context{};
    int64_t steady_fallback = 0;
};

v3_plugin* plugin_of(const clap_plugin* p) {
    return static_cast<v3_plugin*>(p->plugin_data);
}

int32_t param_index(const v3_plugin* v, clap_id id) {
    for (uint32_t i = 0; i < v->n_params; ++i)
        if (v->param[i].id == id) return int32_t(i);
    return -1;
}

double to_plain(const v3_param& p, double n) {
    if (p.steps > 0) {
        double step = std::floor(n * (p.steps + 1));
        if (step > p.steps) step = p.steps;
        if (step < 0) step = 0;
        return p.min + step;
    }
    return snap(p.min + n * (p.max - p.min), std::fmax(std::fabs(p.min), std::fabs(p.max)));
}

double to_normalised(const v3_param& p, double x) {
    double range = p.max - p.min;
    if (!(range > 0)) return 0;
    double n = p.steps > 0 ? std::floor(x - p.min + 0.5) / p.steps : (x - p.min) / range;
    return n < 0 ? 0.0 : n > 1 ? 1.0 : n;
}

void push_edit(v3_plugin* v, uint16_t type, clap_id id, double value) {
    uint32_t w = v->ring_w.load(std::memory_order_relaxed);
    if (w - v->ring_r.load(std::memory_order_acquire) >= V3_EDIT_RING) return;
    v->ring[w % V3_EDIT_RING] = v3_edit{type, id, value};
    v->ring_w.store(w + 1, std::memory_order_release);
    if (const auto* hp = static_cast<const clap_host_params*>(v->host->get_extension(v->host, CLAP_EXT_PARAMS)))
        if (hp->request_flush) hp->request_flush(v->host);
}

// Hands the handler's edits to the CLAP host as output events (time 0).
void drain_edits(v3_plugin* v, const clap_output_events* out) {
    uint32_t r = v->ring_r.load(std::memory_order_relaxed);
    uint32_t w = v->ring_w.load(std::memory_order_acquire);
    for (; r != w; ++r) {
        const v3_edit& e = v->ring[r % V3_EDIT_RING];
        if (e.type == CLAP_EVENT_PARAM_VALUE) {
            clap_event_param_value ev{};
            ev.header = {sizeof(ev), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
            ev.param_id = e.id;
            ev.note_id = -1;
            ev.port_index = ev.channel = ev.key = -1;
            ev.value = e.value;
            if (out) out->try_push(out, &ev.header);
        } else {
            clap_event_param_gesture ev{};
            ev.header = {sizeof(ev), 0, CLAP_CORE_EVENT_SPACE_ID, e.type, 0};
            ev.param_id = e.id;
            if (out) out->try_push(out, &ev.header);
        }
    }
    v->ring_r.store(r, std::memory_order_release);
}

tresult host_side::beginEdit(ParamID id) {
    if (param_index(owner, id) < 0) return kInvalidArgument;
    push_edit(owner, CLAP_EVENT_PARAM_GESTURE_BEGIN, id, 0);
    return kResultOk;
}
tresult host_side::performEdit(ParamID id, ParamValue v) {
    int32_t i = param_index(owner, id);
    if (i < 0 || std::isnan(v) || v < 0 || v > 1) return kInvalidArgument;
    push_edit(owner, CLAP_EVENT_PARAM_VALUE, id, to_plain(owner->param[i], v));
    return kResultOk;
}
tresult host_side::endEdit(ParamID id) {
    if (param_index(owner, id) < 0) return kInvalidArgument;
    push_edit(owner, CLAP_EVENT_PARAM_GESTURE_END, id, 0);
    return kResultOk;
}
tresult host_side::restartComponent(int32 flags) {
    const clap_host* h = owner->host;
    if ((flags & (kLatencyChanged | kReloadComponent | kIoChanged)) && owner->active) h->request_restart(h);
    if (flags & kParamValuesChanged) {
        const auto* hp = static_cast<const clap_host_params*>(h->get_extension(h, CLAP_EXT_PARAMS));
        if (hp && hp->rescan) hp->rescan(h, CLAP_PARAM_RESCAN_VALUES);
    }
    return kResultOk;
}
tresult host_side::setDirty(TBool state) {
    const clap_host* h = owner->host;
    const auto* hs = static_cast<const clap_host_state*>(h->get_extension(h, CLAP_EXT_STATE));
    if (state && hs && hs->mark_dirty) hs->mark_dirty(h);
    return kResultOk;
}

// The view asks for a new size: the CLAP host's window follows, then the view is told its size, as
// a VST3 host does within the same call.
tresult host_side::resizeView(IPlugView* view, ViewRect* r) {
    if (!view || !r || view != owner->view) return kInvalidArgument;
    const clap_host* h = owner->host;
    const auto* hg = static_cast<const clap_host_gui*>(h->get_extension(h, CLAP_EXT_GUI));
    uint32_t w = uint32_t(r->right - r->left), hh = uint32_t(r->bottom - r->top);
    if (hg && hg->request_resize && !hg->request_resize(h, w, hh)) return kResultFalse;
    view->onSize(r);
    return kResultOk;
}

// Registrations reach the CLAP host only after init (the host looks at the plug-in's timer table
// then); until that a main-thread callback is asked for, which registers what is pending.
void register_pending(v3_plugin* v) {
    if (!v->host_ready) return;
    const clap_host* h = v->host;
    const auto* ts = static_cast<const clap_host_timer_support*>(h->get_extension(h, CLAP_EXT_TIMER_SUPPORT));
    const auto* fs = static_cast<const clap_host_posix_fd_support*>(h->get_extension(h, CLAP_EXT_POSIX_FD_SUPPORT));
    for (uint32_t i = 0; i < v->n_timers; ++i)
        if (v->timers[i].id == CLAP_INVALID_ID && ts && !ts->register_timer(h, uint32_t(v->timers[i].ms), &v->timers[i].id))
            v->timers[i].id = CLAP_INVALID_ID;
    for (uint32_t i = 0; i < v->n_fds; ++i)
        if (!v->fds[i].registered && fs) v->fds[i].registered = fs->register_fd(h, v->fds[i].fd, CLAP_POSIX_FD_READ);
}

tresult host_side::registerTimer(ITimerHandler* handler, TimerInterval ms) {
    v3_plugin* v = owner;
    if (!handler || ms == 0) return kInvalidArgument;
    if (v->n_timers >= V3_MAX_TIMERS) return kResultFalse;
    handler->addRef();
    v->timers[v->n_timers++] = {handler, ms, CLAP_INVALID_ID};
    if (v->host_ready)
        register_pending(v);
    else
        v->host->request_callback(v->host);
    return kResultOk;
}
tresult host_side::unregisterTimer(ITimerHandler* handler) {
    v3_plugin* v = owner;
    for (uint32_t i = 0; i < v->n_timers; ++i) {
        if (v->timers[i].handler != handler) continue;
        const clap_host* h = v->host;
        const auto* ts = static_cast<const clap_host_timer_support*>(h->get_extension(h, CLAP_EXT_TIMER_SUPPORT));
        if (v->timers[i].id != CLAP_INVALID_ID && ts) ts->unregister_timer(h, v->timers[i].id);
        handler->release();
        v->timers[i] = v->timers[--v->n_timers];
        return kResultOk;
    }
    return kInvalidArgument;
}
tresult host_side::registerEventHandler(IEventHandler* handler, FileDescriptor fd) {
    v3_plugin* v = owner;
    if (!handler || fd < 0) return kInvalidArgument;
    if (v->n_fds >= V3_MAX_TIMERS) return kResultFalse;
    handler->addRef();
    v->fds[v->n_fds++] = {handler, fd, false};
    if (v->host_ready)
        register_pending(v);
    else
        v->host->request_callback(v->host);
    return kResultOk;
}
tresult host_side::unregisterEventHandler(IEventHandler* handler) {
    v3_plugin* v = owner;
    for (uint32_t i = 0; i < v->n_fds; ++i) {
        if (v->fds[i].handler != handler) continue;
        const clap_host* h = v->host;
        const auto* fs = static_cast<const clap_host_posix_fd_support*>(h->get_extension(h, CLAP_EXT_POSIX_FD_SUPPORT));
        if (v->fds[i].registered && fs) fs->unregister_fd(h, v->fds[i].fd);
        handler->release();
        v->fds[i] = v->fds[--v->n_fds];
        return kResultOk;
    }
    return kInvalidArgument;
}

// ---- CLAP events -> VST3 queues ---------------------------------------------------------------------

void add_point(param_changes* c, ParamID id, int32 offset, double value) {
    int32 index = 0;
    if (IParamValueQueue* q = c->addParameterData(&id, &index)) q->addPoint(offset, value, &index);
}

void build_changes(v3_plugin* v, const clap_input_events* in, bool flush) {
    v->in_changes.clear();
    if (!in) return;
    uint32_t n = in->size(in);
    for (uint32_t k = 0; k < n; ++k) {
        const clap_event_header* e = in->get(in, k);
        if (!e || e->space_id != CLAP_CORE_EVENT_SPACE_ID) continue;
        int32 off = flush ? 0 : int32(e->time);
        if (e->type == CLAP_EVENT_PARAM_VALUE) {
            const auto* pv = reinterpret_cast<const clap_event_param_value*>(e);
            int32_t i = param_index(v, pv->param_id);
            if (i >= 0) add_point(&v->in_changes, pv->param_id, off, to_normalised(v->param[i], pv->value));
        } else if (e->type == CLAP_EVENT_MIDI) {
            const auto* m = reinterpret_cast<const clap_event_midi*>(e);
            if ((m->data[0] & 0xF0) != 0xB0) continue; // VST3 delivers controllers only, as parameters
            ParamID id = v->midi_map[m->data[0] & 0x0F][m->data[1] & 0x7F];
            if (id != kNoParamId) add_point(&v->in_changes, id, off, (m->data[2] & 0x7F) / 127.0);
        }
    }
}

// ---- the CLAP plug-in the host sees ----------------------------------------------------------------

bool p_init(const clap_plugin* p) {
    v3_plugin* v = plugin_of(p);
    FUnknown* ctx = static_cast<IHostApplication*>(&v->side);
    if (v->comp->initialize(ctx) != kResultOk) return false;
    v->proc = query<IAudioProcessor>(v->comp);
    if (!v->proc) return false;
    v->ctrl = query<IEditController>(v->comp);
    if (!v->ctrl) {
        TUID cid{};
        if (v->comp->getControllerClassId(cid) != kResultOk) return false;
        void* obj = nullptr;
        if (v->mod->vf->createInstance(cid, IEditController::iid.bytes(), &obj) != kResultOk || !obj) return false;
        v->ctrl = static_cast<IEditController*>(obj);
        v->ctrl_separate = true;
        if (v->ctrl->initialize(ctx) != kResultOk) return false;
        v->comp_cp = query<IConnectionPoint>(v->comp);
        v->ctrl_cp = query<IConnectionPoint>(v->ctrl);
        if (v->comp_cp && v->ctrl_cp) {
            v->comp_cp->connect(v->ctrl_cp);
            v->ctrl_cp->connect(v->comp_cp);
        }
    }
    v->ctrl->setComponentHandler(&v->side);
    // The controller learns the component's values as a host does right after creation.
    mem_stream s;
    if (v->comp->getState(&s) == kResultOk) {
        s.pos = 0;
        v->ctrl->setComponentState(&s);
    }
    // Parameters: the visible ones become the CLAP list; ranges come from the plain conversion.
    int32 n = v->ctrl->getParameterCount();
    for (int32 i = 0; i < n && v->n_params < V3_MAX_PARAMS; ++i) {
        ParameterInfo pi{};
        if (v->ctrl->getParameterInfo(i, &pi) != kResultOk) continue;
        if (pi.flags & kIsHidden) continue;
        v3_param& q = v->param[v->n_params];
        q.id = pi.id;
        q.steps = pi.stepCount;
        q.min = v->ctrl->normalizedParamToPlain(pi.id, 0.0);
        q.max = v->ctrl->normalizedParamToPlain(pi.id, 1.0);
        clap_param_info& c = v->info[v->n_params];
        std::memset(&c, 0, sizeof(c));
        c.id = pi.id;
        if (pi.stepCount > 0) c.flags |= CLAP_PARAM_IS_STEPPED;
        if (pi.flags & kCanAutomate) c.flags |= CLAP_PARAM_IS_AUTOMATABLE;
        if (pi.flags & kIsBypass) c.flags |= CLAP_PARAM_IS_BYPASS;
        if (pi.flags & kIsReadOnly) c.flags |= CLAP_PARAM_IS_READONLY;
        utf16_to_8(pi.title, c.name, sizeof(c.name));
        c.min_value = q.min;
        c.max_value = q.max;
        c.default_value = to_plain(q, pi.defaultNormalizedValue);
        ++v->n_params;
    }
    IMidiMapping* mm = query<IMidiMapping>(v->ctrl);
    for (int ch = 0; ch < 16; ++ch)
        for (int cc = 0; cc < 128; ++cc) {
            ParamID id = kNoParamId;
            if (!mm || mm->getMidiControllerAssignment(0, int16(ch), CtrlNumber(cc), &id) != kResultTrue) id = kNoParamId;
            v->midi_map[ch][cc] = id;
        }
    if (mm) mm->release();
    if (IClapAccess* acc = query<IClapAccess>(v->comp)) {
        v->inner = acc->getClapPlugin();
        if (v->inner)
            v->inner_debug = static_cast<const lodrin_plugin_debug*>(v->inner->get_extension(v->inner, LODRIN_EXT_DEBUG));
        acc->release();
    }
    return true;
}

void gui_destroy(const clap_plugin* p);

void p_destroy(const clap_plugin* p) {
    v3_plugin* v = plugin_of(p);
    gui_destroy(p);
    if (v->active) v->comp->setActive(0);
    if (v->comp_cp && v->ctrl_cp) {
        v->comp_cp->disconnect(v->ctrl_cp);
        v->ctrl_cp->disconnect(v->comp_cp);
    }
    if (v->comp_cp) v->comp_cp->release();
    if (v->ctrl_cp) v->ctrl_cp->release();
    if (v->ctrl) {
        v->ctrl->setComponentHandler(nullptr);
        if (v->ctrl_separate) v->ctrl->terminate();
        v->ctrl->release();
    }
    if (v->proc) v->proc->release();
    if (v->comp) {
        v->comp->terminate();
        v->comp->release();
    }
    while (v->n_timers) v->side.unregisterTimer(v->timers[0].handler);
    while (v->n_fds) v->side.unregisterEventHandler(v->fds[0].handler);
    delete v;
}

bool p_activate(const clap_plugin* p, double rate, uint32_t, uint32_t max_frames) {
    v3_plugin* v = plugin_of(p);
    v->host_ready = true;
    register_pending(v);
    SpeakerArrangement st = kStereo, st2 = kStereo;
    v->proc->setBusArrangements(&st, 1, &st2, 1);
    ProcessSetup setup{kRealtime, kSample32, int32(max_frames), rate};
    if (v->proc->setupProcessing(&setup) != kResultOk) return false;
    v->comp->activateBus(kAudio, kInput, 0, 1);
    v->comp->activateBus(kAudio, kOutput, 0, 1);
    if (v->comp->getBusCount(kEvent, kInput) > 0) v->comp->activateBus(kEvent, kInput, 0, 1);
    if (v->comp->setActive(1) != kResultOk) return false;
    v->active = true;
    v->rate = rate;
    v->max_frames = max_frames;
    return true;
}

void p_deactivate(const clap_plugin* p) {
    v3_plugin* v = plugin_of(p);
    v->comp->setActive(0);
    v->active = false;
}

bool p_start(const clap_plugin* p) {
    return plugin_of(p)->proc->setProcessing(1) == kResultOk;
}
void p_stop(const clap_plugin* p) {
    plugin_of(p)->proc->setProcessing(0);
}
// VST3 has no reset of its own; a host reaches one through deactivation.
void p_reset(const clap_plugin*) {}

clap_process_status p_process(const clap_plugin* p, const clap_process* cp) {
    v3_plugin* v = plugin_of(p);
    drain_edits(v, cp->out_events);
    build_changes(v, cp->in_events, false);
    v->out_changes.clear();
    ProcessData d{};
    d.processMode = kRealtime;
    d.symbolicSampleSize = kSample32;
    d.numSamples = int32(cp->frames_count);
    if (cp->audio_inputs_count && cp->audio_inputs) {
        v->in_bus.numChannels = int32(cp->audio_inputs[0].channel_count);
        v->in_bus.silenceFlags = 0;
        v->in_bus.channelBuffers32 = cp->audio_inputs[0].data32;
        d.numInputs = 1;
        d.inputs = &v->in_bus;
    }
    if (cp->audio_outputs_count && cp->audio_outputs) {
        v->out_bus.numChannels = int32(cp->audio_outputs[0].channel_count);
        v->out_bus.silenceFlags = 0;
        v->out_bus.channelBuffers32 = cp->audio_outputs[0].data32;
        d.numOutputs = 1;
        d.outputs = &v->out_bus;
    }
    d.inputParameterChanges = &v->in_changes;
    d.outputParameterChanges = &v->out_changes;
    v->context = ProcessContext{};
    v->context.sampleRate = v->rate;
    if (cp->steady_time >= 0) {
        v->context.state = kContTimeValid;
        v->context.continousTimeSamples = cp->steady_time;
        v->context.projectTimeSamples = cp->steady_time;
    }
    d.processContext = &v->context;
    tresult r = v->proc->process(&d);
    return r == kResultOk ? CLAP_PROCESS_CONTINUE : CLAP_PROCESS_ERROR;
}

// ---- extensions -------------------------------------------------------------------------------------

uint32_t params_count(const clap_plugin* p) {
    return plugin_of(p)->n_params;
}
bool params_get_info(const clap_plugin* p, uint32_t i, clap_param_info* info) {
    v3_plugin* v = plugin_of(p);
    if (i >= v->n_params || !info) return false;
    *info = v->info[i];
    return true;
}
bool params_get_value(const clap_plugin* p, clap_id id, double* out) {
    v3_plugin* v = plugin_of(p);
    int32_t i = param_index(v, id);
    if (i < 0 || !out) return false;
    *out = to_plain(v->param[i], v->ctrl->getParamNormalized(id));
    return true;
}
bool params_value_to_text(const clap_plugin* p, clap_id id, double value, char* out, uint32_t cap) {
    v3_plugin* v = plugin_of(p);
    int32_t i = param_index(v, id);
    if (i < 0 || !out || cap == 0) return false;
    String128 s{};
    if (v->ctrl->getParamStringByValue(id, to_normalised(v->param[i], value), s) != kResultOk) return false;
    utf16_to_8(s, out, cap);
    return true;
}
bool params_text_to_value(const clap_plugin* p, clap_id id, const char* text, double* out) {
    v3_plugin* v = plugin_of(p);
    int32_t i = param_index(v, id);
    if (i < 0 || !text || !out) return false;
    String128 s{};
    utf8_to_16(text, s, 128);
    ParamValue n = 0;
    if (v->ctrl->getParamValueByString(id, s, &n) != kResultOk) return false;
    *out = to_plain(v->param[i], n);
    return true;
}
void params_flush(const clap_plugin* p, const clap_input_events* in, const clap_output_events* out) {
    v3_plugin* v = plugin_of(p);
    drain_edits(v, out);
    build_changes(v, in, true);
    v->out_changes.clear();
    // A VST3 host tells the controller of the values it sends when it is on the UI thread.
    if (!v->active)
        for (int32 q = 0; q < v->in_changes.n; ++q) {
            const value_queue& vq = v->in_changes.q[q];
            if (vq.n) v->ctrl->setParamNormalized(vq.id, vq.value[vq.n - 1]);
        }
    ProcessData d{};
    d.processMode = kRealtime;
    d.symbolicSampleSize = kSample32;
    d.inputParameterChanges = &v->in_changes;
    d.outputParameterChanges = &v->out_changes;
    v->proc->process(&d);
}
constexpr clap_plugin_params ext_params = {params_count, params_get_info, params_get_value,
                                           params_value_to_text, params_text_to_value, params_flush};

uint32_t ports_count(const clap_plugin* p, bool is_input) {
    return uint32_t(plugin_of(p)->comp->getBusCount(kAudio, is_input ? kInput : kOutput));
}
bool ports_get(const clap_plugin* p, uint32_t index, bool is_input, clap_audio_port_info* info) {
    v3_plugin* v = plugin_of(p);
    BusInfo b{};
    if (!info || v->comp->getBusInfo(kAudio, is_input ? kInput : kOutput, int32(index), &b) != kResultOk) return false;
    std::memset(info, 0, sizeof(*info));
    info->id = index;
    utf16_to_8(b.name, info->name, sizeof(info->name));
    info->flags = b.busType == kMain ? CLAP_AUDIO_PORT_IS_MAIN : 0;
    info->channel_count = uint32_t(b.channelCount);
    info->port_type = b.channelCount == 2 ? CLAP_PORT_STEREO : b.channelCount == 1 ? CLAP_PORT_MONO : nullptr;
    info->in_place_pair = index;
    return true;
}
constexpr clap_plugin_audio_ports ext_ports = {ports_count, ports_get};

uint32_t notes_count(const clap_plugin* p, bool is_input) {
    return is_input ? uint32_t(plugin_of(p)->comp->getBusCount(kEvent, kInput)) : 0;
}
bool notes_get(const clap_plugin* p, uint32_t index, bool is_input, clap_note_port_info* info) {
    v3_plugin* v = plugin_of(p);
    BusInfo b{};
    if (!info || !is_input || v->comp->getBusInfo(kEvent, kInput, int32(index), &b) != kResultOk) return false;
    std::memset(info, 0, sizeof(*info));
    info->id = index;
    info->supported_dialects = CLAP_NOTE_DIALECT_MIDI;
    info->preferred_dialect = CLAP_NOTE_DIALECT_MIDI;
    utf16_to_8(b.name, info->name, sizeof(info->name));
    return true;
}
constexpr clap_plugin_note_ports ext_notes = {notes_count, notes_get};

bool state_save(const clap_plugin* p, const clap_ostream* out) {
    v3_plugin* v = plugin_of(p);
    mem_stream s;
    if (v->comp->getState(&s) != kResultOk) return false;
    size_t done = 0;
    while (done < s.data.size()) {
        int64_t k = out->write(out, s.data.data() + done, s.data.size() - done);
        if (k < 1) return false;
        done += size_t(k);
    }
    return true;
}
bool state_load(const clap_plugin* p, const clap_istream* in) {
    v3_plugin* v = plugin_of(p);
    mem_stream s;
    uint8_t buf[4096];
    while (s.data.size() < (16u << 20)) {
        int64_t k = in->read(in, buf, sizeof(buf));
        if (k < 0) return false;
        if (k == 0) break;
        s.data.insert(s.data.end(), buf, buf + k);
    }
    s.pos = 0;
    if (v->comp->setState(&s) != kResultOk) return false;
    s.pos = 0;
    v->ctrl->setComponentState(&s);
    // A VST3 host that loaded a state reads every value again: the CLAP host's values rescan.
    const clap_host* h = v->host;
    const auto* hp = static_cast<const clap_host_params*>(h->get_extension(h, CLAP_EXT_PARAMS));
    if (hp && hp->rescan) hp->rescan(h, CLAP_PARAM_RESCAN_VALUES);
    return true;
}
constexpr clap_plugin_state ext_state = {state_save, state_load};

uint32_t latency_get(const clap_plugin* p) {
    return plugin_of(p)->proc->getLatencySamples();
}
constexpr clap_plugin_latency ext_latency = {latency_get};

void timer_on(const clap_plugin* p, clap_id id) {
    v3_plugin* v = plugin_of(p);
    for (uint32_t i = 0; i < v->n_timers; ++i)
        if (v->timers[i].id == id) {
            v->timers[i].handler->onTimer();
            return;
        }
}
constexpr clap_plugin_timer_support ext_timer = {timer_on};

void fd_on(const clap_plugin* p, int fd, clap_posix_fd_flags) {
    v3_plugin* v = plugin_of(p);
    for (uint32_t i = 0; i < v->n_fds; ++i)
        if (v->fds[i].fd == fd) {
            v->fds[i].handler->onFDIsSet(fd);
            return;
        }
}
constexpr clap_plugin_posix_fd_support ext_fd = {fd_on};

// clap.gui over the controller's IPlugView.
#if defined(_WIN32)
constexpr const char* V3_GUI_API = CLAP_WINDOW_API_WIN32;
constexpr const char* V3_PLATFORM = kPlatformTypeHWND;
#else
constexpr const char* V3_GUI_API = CLAP_WINDOW_API_X11;
constexpr const char* V3_PLATFORM = kPlatformTypeX11EmbedWindowID;
#endif

bool gui_is_api_supported(const clap_plugin*, const char* api, bool floating) {
    return api && !floating && !std::strcmp(api, V3_GUI_API);
}
bool gui_preferred(const clap_plugin*, const char** api, bool* floating) {
    if (api) *api = V3_GUI_API;
    if (floating) *floating = false;
    return true;
}
bool gui_create(const clap_plugin* p, const char* api, bool floating) {
    v3_plugin* v = plugin_of(p);
    if (!gui_is_api_supported(p, api, floating)) return false;
    if (v->view) return true;
    v->view = v->ctrl->createView(kEditor);
    if (!v->view) return false;
    if (v->view->isPlatformTypeSupported(V3_PLATFORM) != kResultTrue || v->view->setFrame(&v->side) != kResultOk) {
        v->view->release();
        v->view = nullptr;
        return false;
    }
    return true;
}
void gui_destroy(const clap_plugin* p) {
    v3_plugin* v = plugin_of(p);
    if (!v->view) return;
    if (v->attached) v->view->removed();
    v->attached = false;
    v->view->setFrame(nullptr);
    v->view->release();
    v->view = nullptr;
}
bool gui_set_scale(const clap_plugin* p, double scale) {
    v3_plugin* v = plugin_of(p);
    if (!v->view) return false;
    IPlugViewContentScaleSupport* cs = query<IPlugViewContentScaleSupport>(v->view);
    if (!cs) return false;
    bool ok = cs->setContentScaleFactor(float(scale)) == kResultOk;
    cs->release();
    return ok;
}
bool gui_get_size(const clap_plugin* p, uint32_t* w, uint32_t* h) {
    v3_plugin* v = plugin_of(p);
    ViewRect r{};
    if (!v->view || !w || !h || v->view->getSize(&r) != kResultOk) return false;
    *w = uint32_t(r.right - r.left);
    *h = uint32_t(r.bottom - r.top);
    return true;
}
bool gui_can_resize(const clap_plugin* p) {
    v3_plugin* v = plugin_of(p);
    return v->view && v->view->canResize() == kResultTrue;
}
// VST3 has no resize hints; the view's size constraint stands for them.
bool gui_hints(const clap_plugin*, clap_gui_resize_hints*) { return false; }
bool gui_adjust(const clap_plugin* p, uint32_t* w, uint32_t* h) {
    v3_plugin* v = plugin_of(p);
    if (!v->view || !w || !h) return false;
    ViewRect r{0, 0, int32(*w), int32(*h)};
    if (v->view->checkSizeConstraint(&r) != kResultTrue) return false;
    *w = uint32_t(r.right - r.left);
    *h = uint32_t(r.bottom - r.top);
    return true;
}
bool gui_set_size(const clap_plugin* p, uint32_t w, uint32_t h) {
    v3_plugin* v = plugin_of(p);
    ViewRect r{0, 0, int32(w), int32(h)};
    return v->view && v->view->onSize(&r) == kResultOk;
}
bool gui_set_parent(const clap_plugin* p, const clap_window* window) {
    v3_plugin* v = plugin_of(p);
    if (!v->view || !window || v->attached) return false;
#if defined(_WIN32)
    void* parent = window->win32;
#else
    void* parent = reinterpret_cast<void*>(uintptr_t(window->x11));
#endif
    v->attached = v->view->attached(parent, V3_PLATFORM) == kResultOk;
    return v->attached;
}
bool gui_set_transient(const clap_plugin*, const clap_window*) { return false; }
void gui_suggest_title(const clap_plugin*, const char*) {}
// An attached VST3 view shows with its parent window.
bool gui_show(const clap_plugin* p) { return plugin_of(p)->attached; }
bool gui_hide(const clap_plugin* p) { return plugin_of(p)->attached; }
constexpr clap_plugin_gui ext_gui = {gui_is_api_supported, gui_preferred, gui_create, gui_destroy, gui_set_scale,
                                     gui_get_size, gui_can_resize, gui_hints, gui_adjust, gui_set_size,
                                     gui_set_parent, gui_set_transient, gui_suggest_title, gui_show, gui_hide};

// The diagnostics extension of the CLAP plug-in inside, reached through the component's private
// interface; each call is forwarded with the inner plug-in.
#define V3_DEBUG(p) (plugin_of(p)->inner_debug)
#define V3_INNER(p) (plugin_of(p)->inner)
uint32_t dbg_count(const clap_plugin* p) { return V3_DEBUG(p)->debug_group_instance_count(V3_INNER(p)); }
uint32_t dbg_position(const clap_plugin* p) { return V3_DEBUG(p)->debug_group_position(V3_INNER(p)); }
double dbg_meter(const clap_plugin* p, uint32_t i) { return V3_DEBUG(p)->debug_get_meter(V3_INNER(p), i); }
uint32_t dbg_pixel(const clap_plugin* p, uint8_t rgb[3]) { return V3_DEBUG(p)->debug_get_probe_pixel(V3_INNER(p), rgb); }
uint32_t dbg_rect(const clap_plugin* p, uint32_t sel, int32_t n, float r[4]) {
    return V3_DEBUG(p)->debug_find_widget_rect(V3_INNER(p), sel, n, r);
}
double dbg_history(const clap_plugin* p, int32_t ring, int32_t age) {
    return V3_DEBUG(p)->debug_get_history_value(V3_INNER(p), ring, age);
}
void dbg_arm(const clap_plugin* p, int32_t i) { V3_DEBUG(p)->debug_arm_midi_learn(V3_INNER(p), i); }
uint32_t dbg_shot(const clap_plugin* p, const char* path) { return V3_DEBUG(p)->debug_request_screenshot(V3_INNER(p), path); }
int32_t dbg_probes(const clap_plugin* p, void* h, void* r, int32_t max) {
    return V3_DEBUG(p)->debug_read_draw_probes(V3_INNER(p), h, r, max);
}
constexpr lodrin_plugin_debug ext_debug = {dbg_count, dbg_position, dbg_meter, dbg_pixel, dbg_rect,
                                           dbg_history, dbg_arm, dbg_shot, dbg_probes, nullptr};

const void* p_get_extension(const clap_plugin* p, const char* id) {
    if (!id) return nullptr;
    if (!std::strcmp(id, CLAP_EXT_PARAMS)) return &ext_params;
    if (!std::strcmp(id, CLAP_EXT_AUDIO_PORTS)) return &ext_ports;
    if (!std::strcmp(id, CLAP_EXT_NOTE_PORTS)) return &ext_notes;
    if (!std::strcmp(id, CLAP_EXT_STATE)) return &ext_state;
    if (!std::strcmp(id, CLAP_EXT_LATENCY)) return &ext_latency;
    if (!std::strcmp(id, CLAP_EXT_TIMER_SUPPORT)) return &ext_timer;
    if (!std::strcmp(id, CLAP_EXT_POSIX_FD_SUPPORT)) return &ext_fd;
    if (!std::strcmp(id, CLAP_EXT_GUI)) return &ext_gui;
    if (!std::strcmp(id, LODRIN_EXT_DEBUG)) return plugin_of(p)->inner_debug ? &ext_debug : nullptr;
    return nullptr;
}

void p_on_main_thread(const clap_plugin* p) {
    v3_plugin* v = plugin_of(p);
    v->host_ready = true;
    register_pending(v);
}

// ---- the factory the host sees ------------------------------------------------------------------------

uint32_t f_count(const clap_plugin_factory*) {
    return 1;
}
const clap_plugin_descriptor* f_desc(const clap_plugin_factory* f, uint32_t i) {
    return i == 0 ? &reinterpret_cast<const v3_module*>(f)->desc : nullptr;
}
// The module's one audio class answers the id of its descriptor or, as the module holds no other,
// any id a command names.
const clap_plugin* f_create(const clap_plugin_factory* f, const clap_host* host, const char* id) {
    auto* mod = const_cast<v3_module*>(reinterpret_cast<const v3_module*>(f));
    if (!host || !id) return nullptr;
    void* obj = nullptr;
    if (mod->vf->createInstance(mod->processor_cid.bytes(), IComponent::iid.bytes(), &obj) != kResultOk || !obj)
        return nullptr;
    auto* v = new (std::nothrow) v3_plugin();
    if (!v) {
        static_cast<IComponent*>(obj)->release();
        return nullptr;
    }
    v->comp = static_cast<IComponent*>(obj);
    v->host = host;
    v->mod = mod;
    v->side.owner = v;
    v->desc = mod->desc;
    std::snprintf(v->id, sizeof(v->id), "%s", id);
    v->desc.id = v->id;
    v->plugin.desc = &v->desc;
    v->plugin.plugin_data = v;
    v->plugin.init = p_init;
    v->plugin.destroy = p_destroy;
    v->plugin.activate = p_activate;
    v->plugin.deactivate = p_deactivate;
    v->plugin.start_processing = p_start;
    v->plugin.stop_processing = p_stop;
    v->plugin.reset = p_reset;
    v->plugin.process = p_process;
    v->plugin.get_extension = p_get_extension;
    v->plugin.on_main_thread = p_on_main_thread;
    return &v->plugin;
}

} // namespace

bool vst3_host_is_bundle(const char* path) {
    if (!path) return false;
    size_t n = std::strlen(path);
    while (n > 1 && (path[n - 1] == '/' || path[n - 1] == '\\')) --n;
    if (n < 5 || std::strncmp(path + n - 5, ".vst3", 5) != 0) return false;
#if defined(_WIN32)
    DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
#else
    struct stat st {};
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

bool vst3_host_load(host_module* m, const char* path, char* err, size_t cap) {
    *m = host_module{};
    char bundle[1024];
    if (!host_os_absolute_path(path, bundle, sizeof(bundle))) std::snprintf(bundle, sizeof(bundle), "%s", path);
    size_t n = std::strlen(bundle);
    while (n > 1 && (bundle[n - 1] == '/' || bundle[n - 1] == '\\')) bundle[--n] = 0;
    // The binary inside carries the bundle's base name.
    const char* base = bundle + n;
    while (base > bundle && base[-1] != '/' && base[-1] != '\\') --base;
    char stem[256];
    std::snprintf(stem, sizeof(stem), "%.*s", int(std::strlen(base) - 5), base);
#if defined(_WIN32)
    int len = std::snprintf(m->path, sizeof(m->path), "%s\\Contents\\x86_64-win\\%s.vst3", bundle, stem);
#else
    int len = std::snprintf(m->path, sizeof(m->path), "%s/Contents/x86_64-linux/%s.so", bundle, stem);
#endif
    if (len < 0 || size_t(len) >= sizeof(m->path)) {
        std::snprintf(err, cap, "the bundle path %s is too long", path);
        *m = host_module{};
        return false;
    }
    char why[512] = "";
    void* h = host_os_module_open(m->path, why, sizeof(why));
    if (!h) {
        std::snprintf(err, cap, "%s is not a loadable VST3 bundle: %s", path, why);
        return false;
    }
    auto get_factory = reinterpret_cast<get_factory_fn>(host_os_module_symbol(h, "GetPluginFactory"));
#if defined(_WIN32)
    auto init = reinterpret_cast<init_fn>(host_os_module_symbol(h, "InitDll"));
    auto exit_dll = reinterpret_cast<init_fn>(host_os_module_symbol(h, "ExitDll"));
    exit_fn module_exit = nullptr;
    bool entered = !init || init();
#else
    auto entry = reinterpret_cast<entry_fn>(host_os_module_symbol(h, "ModuleEntry"));
    auto module_exit = reinterpret_cast<exit_fn>(host_os_module_symbol(h, "ModuleExit"));
    init_fn exit_dll = nullptr;
    if (!entry || !module_exit) {
        host_rule_error("%s lacks ModuleEntry or ModuleExit", m->path);
        std::snprintf(err, cap, "%s: the module lacks ModuleEntry or ModuleExit", path);
        host_os_module_close(h);
        return false;
    }
    bool entered = entry(h);
#endif
    if (!get_factory || !entered) {
        std::snprintf(err, cap, "%s: %s", path, !get_factory ? "no GetPluginFactory" : "the module entry failed");
        if (entered && module_exit) module_exit();
        if (entered && exit_dll) exit_dll();
        host_os_module_close(h);
        return false;
    }
    IPluginFactory* vf = get_factory();
    auto* mod = new (std::nothrow) v3_module();
    bool found = false;
    if (vf && mod) {
        int32 count = vf->countClasses();
        for (int32 i = 0; i < count && !found; ++i) {
            PClassInfo ci{};
            if (vf->getClassInfo(i, &ci) != kResultOk || std::strcmp(ci.category, kVstAudioEffectClass) != 0) continue;
            std::memcpy(mod->processor_cid.b, ci.cid, 16);
            std::snprintf(mod->name, sizeof(mod->name), "%s", ci.name);
            found = true;
            if (IPluginFactory2* f2 = query<IPluginFactory2>(vf)) {
                PClassInfo2 c2{};
                if (f2->getClassInfo2(i, &c2) == kResultOk) {
                    std::snprintf(mod->vendor, sizeof(mod->vendor), "%s", c2.vendor);
                    std::snprintf(mod->version, sizeof(mod->version), "%s", c2.version);
                }
                f2->release();
            }
        }
    }
    if (!found) {
        std::snprintf(err, cap, "%s holds no audio effect class", path);
        if (vf) vf->release();
        delete mod;
        if (module_exit) module_exit();
        if (exit_dll) exit_dll();
        host_os_module_close(h);
        return false;
    }
    mod->vf = vf;
    mod->handle = h;
    mod->module_exit = module_exit;
    mod->exit_dll = exit_dll;
    mod->factory = clap_plugin_factory{f_count, f_desc, f_create};
    mod->desc.clap_version = CLAP_VERSION;
    std::snprintf(mod->id, sizeof(mod->id), "vst3:%08X%08X%08X%08X", 0u, 0u, 0u, 0u);
    {
        uint32_t w[4];
        uid_words(mod->processor_cid.b, w);
        std::snprintf(mod->id, sizeof(mod->id), "vst3:%08X%08X%08X%08X", w[0], w[1], w[2], w[3]);
    }
    mod->desc.id = mod->id;
    mod->desc.name = mod->name;
    mod->desc.vendor = mod->vendor;
    mod->desc.url = "";
    mod->desc.manual_url = "";
    mod->desc.support_url = "";
    mod->desc.version = mod->version;
    mod->desc.description = "";
    mod->desc.features = v3_features;
    m->handle = h;
    m->factory = &mod->factory;
    m->vst3 = mod;
    return true;
}

void vst3_host_unload(host_module* m) {
    auto* mod = static_cast<v3_module*>(m->vst3);
    if (mod) {
        if (mod->vf) mod->vf->release();
        if (mod->module_exit) mod->module_exit();
        if (mod->exit_dll) mod->exit_dll();
        if (mod->handle) host_os_module_close(mod->handle);
        delete mod;
    }
    *m = host_module{};
}
