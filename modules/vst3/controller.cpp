// The edit controller: IEditController, IMidiMapping and IConnectionPoint over the bridge that its
// component made. Parameters are the plug-in's own (ids, names, ranges, texts) plus one hidden
// parameter per MIDI controller; values are read from the plug-in, so every editor's edit shows at
// once. The controller's tick serves the plug-in's main-thread requests and hands its output events
// to the host's component handler as beginEdit / performEdit / endEdit, latency changes, once the
// plug-in has restarted with them, as restartComponent(kLatencyChanged). The module's UI-thread
// service (service.cpp) runs every controller's tick from one periodic timer: on a run loop of the
// host (this controller's context, the factory's, or the frame of any attached view of the module),
// or on Windows a timer of the UI thread; the controller offers its context's loop to it. While no
// such tick runs, the plug-in's values reach the host through the processor's output parameter
// changes, and the tick runs on the host's UI-thread calls that change state or set-up (setState,
// setComponentState, setActive, setupProcessing); never from a getter, which must not call back
// into the host.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "wrapper.h"

namespace {

using namespace vst3;

bool is_cc_param(ParamID id) {
    return id >= WRAPPER_CC_PARAM_BASE && id < WRAPPER_CC_PARAM_BASE + WRAPPER_CC_COUNT;
}

double clamp01(double v) {
    return v < 0 ? 0.0 : v > 1 ? 1.0 : v;
}

class controller final : public IEditController, public IMidiMapping, public IConnectionPoint {
  public:
    // ---- FUnknown ----
    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        IEditController* base = this;
        const wrapper_iface rows[] = {
            {&FUnknown::iid, base},
            {&IPluginBase::iid, base},
            {&IEditController::iid, base},
            {&IMidiMapping::iid, static_cast<IMidiMapping*>(this)},
            {&IConnectionPoint::iid, static_cast<IConnectionPoint*>(this)},
        };
        return wrapper_query(base, iid, obj, rows);
    }
    uint32 VST3_API addRef() override { return ++refs_; }
    uint32 VST3_API release() override {
        return wrapper_release(this, refs_, [this] { terminate(); });
    }

    // ---- IPluginBase ----
    tresult VST3_API initialize(FUnknown* context) override {
        if (initialised_) return kResultFalse;
        initialised_ = true;
        if (context) {
            context_ = context;
            context_->addRef();
        }
        // Parameter infos before the component is connected come from the list any instance read;
        // a controller made before every component reads one from a passing instance.
        if (wrapper_params_cache()->n == 0) {
            if (wrapper_bridge* tmp = wrapper_bridge_create()) wrapper_bridge_release(tmp);
        }
        run_loop_ = query<IRunLoop>(context_);
        if (!run_loop_) run_loop_ = query<IRunLoop>(wrapper_factory_host_context());
#if defined(_WIN32)
        wrapper_service_offer(this, run_loop_); // without a loop: a timer of the UI thread
#else
        if (run_loop_) wrapper_service_offer(this, run_loop_);
#endif
        return kResultOk;
    }
    tresult VST3_API terminate() override {
        if (!initialised_) return kResultOk;
        wrapper_service_withdraw(this);
        if (run_loop_) {
            run_loop_->release();
            run_loop_ = nullptr;
        }
        set_handler(nullptr);
        if (peer_) {
            peer_->release();
            peer_ = nullptr;
        }
        unbind();
        if (context_) {
            context_->release();
            context_ = nullptr;
        }
        initialised_ = false;
        return kResultOk;
    }

    // ---- IEditController ----
    tresult VST3_API setComponentState(IBStream* state) override {
        // The component and this controller share one plug-in: its setState already gave the values
        // to the plug-in that every read below goes to, so what the host set here before is stale.
        if (!state) return kInvalidArgument;
        if (!initialised_) return kNotInitialized;
        follow();
        for (auto& f : host_set_) f = 0;
        if (!wrapper_service_running()) tick(); // the host's UI thread: hand over what the state asked for
        return kResultOk;
    }
    tresult VST3_API setControllerState(IBStream* state) override {
        if (!state) return kInvalidArgument;
        return initialised_ ? kResultOk : kNotInitialized;
    }
    tresult VST3_API getControllerState(IBStream* state) override {
        // Nothing of the controller's own: the plug-in's state is the component's.
        if (!state) return kInvalidArgument;
        return initialised_ ? kResultOk : kNotInitialized;
    }
    int32 VST3_API getParameterCount() override { return int32(table()->n + WRAPPER_CC_COUNT); }
    tresult VST3_API getParameterInfo(int32 index, ParameterInfo* info) override {
        const wrapper_params* t = table();
        if (!info || index < 0 || index >= getParameterCount()) return kInvalidArgument;
        std::memset(info, 0, sizeof(*info));
        info->unitId = kRootUnitId;
        if (uint32_t(index) >= t->n) {
            uint32_t cc = uint32_t(index) - t->n;
            char name[64];
            std::snprintf(name, sizeof(name), "MIDI CC %u", cc);
            info->id = WRAPPER_CC_PARAM_BASE + cc;
            wrapper_utf8_to_16(name, info->title, 128);
            wrapper_utf8_to_16(name, info->shortTitle, 128);
            info->stepCount = 127;
            info->defaultNormalizedValue = 0;
            info->flags = kIsHidden | kIsReadOnly;
            return kResultOk;
        }
        const clap_param_info& p = t->info[index];
        info->id = p.id;
        wrapper_utf8_to_16(p.name, info->title, 128);
        wrapper_utf8_to_16(p.name, info->shortTitle, 128);
        wrapper_utf8_to_16(t->units[index], info->units, 128);
        info->stepCount = wrapper_param_steps(t, index);
        info->defaultNormalizedValue = wrapper_to_normalised(t, index, p.default_value);
        int32 flags = 0;
        if (p.flags & CLAP_PARAM_IS_AUTOMATABLE) flags |= kCanAutomate;
        if (p.flags & CLAP_PARAM_IS_BYPASS) flags |= kIsBypass | kCanAutomate;
        if (p.flags & CLAP_PARAM_IS_READONLY) flags = (flags & ~kCanAutomate) | kIsReadOnly;
        if (p.flags & CLAP_PARAM_IS_HIDDEN) flags = (flags & ~kCanAutomate) | kIsHidden | kIsReadOnly;
        if (p.flags & CLAP_PARAM_IS_PERIODIC) flags |= kIsWrapAround;
        if ((p.flags & CLAP_PARAM_IS_ENUM) && info->stepCount > 0) flags |= kIsList;
        info->flags = flags;
        return kResultOk;
    }
    tresult VST3_API getParamStringByValue(ParamID id, ParamValue v, char16* string) override {
        if (!string) return kInvalidArgument;
        char text[128] = "";
        if (is_cc_param(id)) {
            std::snprintf(text, sizeof(text), "%d", int(std::floor(clamp01(std::isnan(v) ? 0 : v) * 127 + 0.5)));
        } else {
            const wrapper_params* t = table();
            int32 i = wrapper_param_index(t, id);
            if (i < 0) return kInvalidArgument;
            double plain = wrapper_to_plain(t, i, v);
            if (!bridge_ || !bridge_->params ||
                !bridge_->params->value_to_text(bridge_->plugin, id, plain, text, sizeof(text)))
                std::snprintf(text, sizeof(text), "%g", plain);
        }
        text[sizeof(text) - 1] = 0;
        wrapper_utf8_to_16(text, string, 128);
        return kResultOk;
    }
    tresult VST3_API getParamValueByString(ParamID id, TChar* string, ParamValue* out) override {
        if (!string || !out) return kInvalidArgument;
        char text[512];
        wrapper_utf16_to_8(string, text, sizeof(text));
        if (is_cc_param(id)) {
            char* end = nullptr;
            double x = std::strtod(text, &end);
            if (end == text || std::isnan(x)) return kResultFalse;
            *out = clamp01(x / 127.0);
            return kResultOk;
        }
        const wrapper_params* t = table();
        int32 i = wrapper_param_index(t, id);
        if (i < 0) return kInvalidArgument;
        double plain = 0;
        if (bridge_ && bridge_->params) {
            if (!bridge_->params->text_to_value(bridge_->plugin, id, text, &plain)) return kResultFalse;
        } else {
            char* end = nullptr;
            plain = std::strtod(text, &end);
            if (end == text) return kResultFalse;
        }
        *out = wrapper_to_normalised(t, i, plain);
        return kResultOk;
    }
    ParamValue VST3_API normalizedParamToPlain(ParamID id, ParamValue v) override {
        if (is_cc_param(id)) return std::floor(clamp01(std::isnan(v) ? 0 : v) * 127 + 0.5);
        const wrapper_params* t = table();
        int32 i = wrapper_param_index(t, id);
        return i < 0 ? 0.0 : wrapper_to_plain(t, i, v);
    }
    ParamValue VST3_API plainParamToNormalized(ParamID id, ParamValue x) override {
        if (is_cc_param(id)) return clamp01(std::isnan(x) ? 0 : x / 127.0);
        const wrapper_params* t = table();
        int32 i = wrapper_param_index(t, id);
        return i < 0 ? 0.0 : wrapper_to_normalised(t, i, x);
    }
    ParamValue VST3_API getParamNormalized(ParamID id) override {
        if (is_cc_param(id)) return 0.0;
        const wrapper_params* t = table();
        int32 i = wrapper_param_index(t, id);
        if (i < 0) return 0.0;
        const double x = plugin_value(t, i);
        // What the host set stands until the plug-in's own value moves (the host's change through
        // the processor's queue, an editor's edit, a state).
        if (host_set_[i] && x == host_plain_[i]) return host_norm_[i];
        host_set_[i] = 0;
        return wrapper_to_normalised(t, i, x);
    }
    tresult VST3_API setParamNormalized(ParamID id, ParamValue v) override {
        // The value reaches the plug-in through the processor's parameter queue, where the host sends
        // it as well; the controller holds it meanwhile, as a VST3 host expects of each side.
        if (std::isnan(v) || v < 0 || v > 1) return kInvalidArgument;
        if (is_cc_param(id)) return kResultOk;
        const wrapper_params* t = table();
        int32 i = wrapper_param_index(t, id);
        if (i < 0) return kInvalidArgument;
        host_plain_[i] = plugin_value(t, i);
        host_norm_[i] = v;
        host_set_[i] = 1;
        return kResultOk;
    }
    tresult VST3_API setComponentHandler(IComponentHandler* handler) override {
        set_handler(handler);
        return kResultOk;
    }
    IPlugView* VST3_API createView(FIDString name) override {
        follow();
        if (!name || std::strcmp(name, kEditor) != 0 || !bridge_) return nullptr;
        return wrapper_view_create(bridge_);
    }

    // ---- IMidiMapping ----
    tresult VST3_API getMidiControllerAssignment(int32 bus, int16 channel, CtrlNumber cc, ParamID* id) override {
        if (!id) return kInvalidArgument;
        if (bus != 0 || channel < 0 || channel > 15 || cc < 0 || cc >= int16(WRAPPER_CC_COUNT)) return kResultFalse;
        *id = WRAPPER_CC_PARAM_BASE + ParamID(cc);
        return kResultTrue;
    }

    // ---- IConnectionPoint ----
    tresult VST3_API connect(IConnectionPoint* other) override {
        if (!other) return kInvalidArgument;
        if (peer_) return kResultFalse;
        peer_ = other;
        peer_->addRef();
        if (IWrapperPeer* p = query<IWrapperPeer>(other)) {
            bind(p->getBridge());
            p->release();
        }
        return kResultOk;
    }
    tresult VST3_API disconnect(IConnectionPoint* other) override {
        if (!other || other != peer_) return kInvalidArgument;
        peer_->release();
        peer_ = nullptr;
        unbind();
        return kResultOk;
    }
    tresult VST3_API notify(IMessage* message) override {
        if (!message) return kInvalidArgument;
        FIDString mid = message->getMessageID();
        if (!mid || std::strcmp(mid, "lodrin.bridge") != 0) return kResultFalse;
        IAttributeList* attrs = message->getAttributes();
        int64 v = 0;
        if (!attrs || attrs->getInt("bridge", &v) != kResultOk) return kResultFalse;
        void* p = reinterpret_cast<void*>(intptr_t(v));
        if (bridge_ || !wrapper_bridge_is_live(p)) return kResultFalse;
        bind(static_cast<wrapper_bridge*>(p));
        return kResultOk;
    }

    // The UI-thread tick (the service's, or one of the host's state and set-up calls). [main-thread]
    void tick() {
        follow();
        wrapper_bridge* b = bridge_;
        if (!b) return;
        wrapper_bridge_service(b);
        // The plug-in restarts in place before the host hears of the change, so that the latency it
        // reads then is the one the audio has.
        wrapper_bridge_serve_restart(b);
        if (b->latency_news && handler_) {
            b->latency_news = 0; // before the call: a host may activate the component inside it
            handler_->restartComponent(kLatencyChanged);
        }
        // A values rescan follows only a state the host itself handed to the component; the host
        // then hands the same bytes to setComponentState and reads the values again.
        b->want_values.store(0);
        if (b->want_dirty.exchange(0) && handler2_) handler2_->setDirty(1);
        wrapper_edit e;
        while (wrapper_bridge_take_edit(b, &e)) {
            if (!handler_) continue;
            if (e.type == CLAP_EVENT_PARAM_GESTURE_BEGIN) {
                handler_->beginEdit(e.id);
            } else if (e.type == CLAP_EVENT_PARAM_GESTURE_END) {
                handler_->endEdit(e.id);
            } else {
                int32 i = wrapper_param_index(&b->table, e.id);
                if (i >= 0) handler_->performEdit(e.id, wrapper_to_normalised(&b->table, i, e.value));
            }
        }
    }

  private:
    std::atomic<uint32> refs_{1};
    bool initialised_ = false;
    FUnknown* context_ = nullptr;
    IConnectionPoint* peer_ = nullptr;
    wrapper_bridge* bridge_ = nullptr;
    IComponentHandler* handler_ = nullptr;
    IComponentHandler2* handler2_ = nullptr;
    IRunLoop* run_loop_ = nullptr;
    // Values the host set through setParamNormalized (normalised), with the plug-in's plain value at
    // that moment, per parameter index.
    uint8_t host_set_[WRAPPER_MAX_PARAMS] = {};
    double host_norm_[WRAPPER_MAX_PARAMS] = {};
    double host_plain_[WRAPPER_MAX_PARAMS] = {};

    const wrapper_params* table() {
        follow();
        return bridge_ ? &bridge_->table : wrapper_params_cache();
    }

    // The plug-in's plain value of parameter i (its default without a plug-in).
    double plugin_value(const wrapper_params* t, int32 i) {
        double x = t->info[i].default_value;
        if (bridge_ && bridge_->params) bridge_->params->get_value(bridge_->plugin, t->info[i].id, &x);
        return x;
    }

    // Moves on from a bridge whose plug-in the component ended to the one it made next.
    void follow() {
        while (bridge_ && bridge_->successor) {
            wrapper_bridge* next = bridge_->successor;
            wrapper_bridge_retain(next);
            bind(next);
            wrapper_bridge_release(next);
        }
    }

    void bind(wrapper_bridge* b) {
        if (!b || bridge_ == b) return;
        unbind();
        wrapper_bridge_retain(b);
        bridge_ = b;
        if (run_loop_ && !b->run_loop) wrapper_bridge_set_run_loop(b, run_loop_);
        b->tick = [](void* self) { static_cast<controller*>(self)->tick(); };
        b->tick_ctx = this;
        wrapper_bridge_update_tick(b);
    }
    void unbind() {
        if (!bridge_) return;
        if (bridge_->tick_ctx == this) {
            bridge_->tick = nullptr;
            bridge_->tick_ctx = nullptr;
        }
        if (bridge_->run_loop == run_loop_) wrapper_bridge_set_run_loop(bridge_, nullptr);
        wrapper_bridge_update_tick(bridge_);
        wrapper_bridge_release(bridge_);
        bridge_ = nullptr;
    }
    void set_handler(IComponentHandler* h) {
        if (h) h->addRef();
        if (handler2_) handler2_->release();
        if (handler_) handler_->release();
        handler_ = h;
        handler2_ = query<IComponentHandler2>(h);
    }
};

} // namespace

FUnknown* wrapper_controller_create() {
    auto* c = new (std::nothrow) controller();
    return c ? static_cast<IEditController*>(c) : nullptr;
}
