// The audio component: IComponent, IAudioProcessor, IConnectionPoint and IProcessContextRequirements
// over the CLAP plug-in of its bridge. Lifecycle calls map onto CLAP's (setActive -> activate /
// deactivate, setProcessing -> start / stop_processing), parameter queues become CLAP events at their
// sample offsets, and a process call without audio becomes a params flush. A state that the running
// engine cannot take is answered with a restart in place on the host's UI thread (bridge.cpp), which
// process and setProcessing meet through a lock-free handshake: a call during it gives silence.
//
// Real-time rule for process(): no allocation, no lock, no system call; everything it needs lives in
// the bridge from initialize on.
#include <cmath>
#include <cstring>
#include <new>

#include "clap_access.h"
#include "wrapper.h"

namespace {

using namespace vst3;

// clap_ostream / clap_istream over a host IBStream: the plug-in's state bytes pass unchanged.
int64_t ostream_write(const clap_ostream* s, const void* buf, uint64_t size) {
    auto* st = static_cast<IBStream*>(s->ctx);
    int32 n = size > 0x40000000u ? 0x40000000 : int32(size);
    int32 written = 0;
    if (st->write(const_cast<void*>(buf), n, &written) != kResultOk) return -1;
    return written < 0 || written > n ? -1 : written;
}

int64_t istream_read(const clap_istream* s, void* buf, uint64_t size) {
    auto* st = static_cast<IBStream*>(s->ctx);
    int32 n = size > 0x40000000u ? 0x40000000 : int32(size);
    int32 got = 0;
    tresult r = st->read(buf, n, &got);
    if (r != kResultOk && r != kResultFalse) return -1;
    return got < 0 || got > n ? -1 : got;
}

// Input event list over the bridge's sorted event array.
uint32_t events_size(const clap_input_events* l) {
    return static_cast<const wrapper_bridge*>(l->ctx)->n_events;
}
const clap_event_header* events_get(const clap_input_events* l, uint32_t i) {
    const auto* b = static_cast<const wrapper_bridge*>(l->ctx);
    return i < b->n_events ? &b->events[i].header : nullptr;
}

// Inserts after every event of equal or earlier time (stable: queue order is kept at one offset).
void insert_event(wrapper_bridge* b, const wrapper_event& e) {
    if (b->n_events >= WRAPPER_MAX_EVENTS) return;
    uint32_t i = b->n_events++;
    while (i > 0 && b->events[i - 1].header.time > e.header.time) {
        b->events[i] = b->events[i - 1];
        --i;
    }
    b->events[i] = e;
}

// The host's parameter queues as CLAP events at their offsets (negative ones at 0; every time of a
// call without audio is 0), after those carried from calls made during a restart; ids that name no
// parameter are skipped.
void collect_events(wrapper_bridge* b, IParameterChanges* changes, int32 frames) {
    b->n_events = b->n_carried;
    b->n_carried = 0;
    if (!changes) return;
    int32 nq = changes->getParameterCount();
    for (int32 q = 0; q < nq; ++q) {
        IParamValueQueue* queue = changes->getParameterData(q);
        if (!queue) continue;
        ParamID id = queue->getParameterId();
        int32 index = wrapper_param_index(&b->table, id);
        bool cc = id >= WRAPPER_CC_PARAM_BASE && id < WRAPPER_CC_PARAM_BASE + WRAPPER_CC_COUNT;
        if (index < 0 && !cc) continue;
        int32 np = queue->getPointCount();
        for (int32 k = 0; k < np; ++k) {
            int32 offset = 0;
            ParamValue v = 0;
            if (queue->getPoint(k, &offset, &v) != kResultOk) continue;
            if (std::isnan(v)) continue;
            // An offset at or beyond the block end is left as it is: the plug-in applies such events
            // after the block's last sample, so they act from the next block on.
            uint32_t t = offset <= 0 || frames <= 0 ? 0u : uint32_t(offset);
            wrapper_event e{};
            if (cc) {
                e.midi.header = clap_event_header{.size = sizeof(clap_event_midi), .time = t,
                                                  .space_id = CLAP_CORE_EVENT_SPACE_ID,
                                                  .type = CLAP_EVENT_MIDI, .flags = 0};
                double x = std::floor((v < 0 ? 0 : v > 1 ? 1 : v) * 127.0 + 0.5);
                e.midi.port_index = 0;
                e.midi.data[0] = 0xB0;
                e.midi.data[1] = uint8_t(id - WRAPPER_CC_PARAM_BASE);
                e.midi.data[2] = uint8_t(x);
            } else {
                e.param.header = clap_event_header{.size = sizeof(clap_event_param_value), .time = t,
                                                   .space_id = CLAP_CORE_EVENT_SPACE_ID,
                                                   .type = CLAP_EVENT_PARAM_VALUE, .flags = 0};
                e.param.param_id = id;
                e.param.cookie = b->table.info[index].cookie;
                e.param.note_id = -1;
                e.param.port_index = -1;
                e.param.channel = -1;
                e.param.key = -1;
                e.param.value = wrapper_to_plain(&b->table, index, v);
            }
            insert_event(b, e);
        }
    }
}

// A call made while the plug-in restarts keeps its parameter changes for the next call, at its start:
// the host sends a change once, and it must not get lost in the gap.
void carry_events(wrapper_bridge* b, IParameterChanges* changes, int32 frames) {
    collect_events(b, changes, frames);
    for (uint32_t i = 0; i < b->n_events; ++i)
        b->events[i].header.time = 0;
    b->n_carried = b->n_events;
    b->n_events = 0;
}

void silence_outputs(ProcessData& data) {
    if (data.numSamples <= 0 || !data.outputs) return;
    for (int32 bus = 0; bus < data.numOutputs && bus < 1; ++bus) {
        AudioBusBuffers& out = data.outputs[bus];
        if (!out.channelBuffers32) continue;
        for (int32 c = 0; c < out.numChannels && c < 64; ++c)
            if (float* ch = out.channelBuffers32[c]) std::memset(ch, 0, sizeof(float) * size_t(data.numSamples));
        out.silenceFlags = out.numChannels >= 64 ? ~uint64(0) : (uint64(1) << out.numChannels) - 1;
    }
}

void set_silence_flags(AudioBusBuffers& out, int32 frames) {
    uint64 flags = 0;
    for (int32 c = 0; c < out.numChannels && c < 64; ++c) {
        const float* p = out.channelBuffers32 ? out.channelBuffers32[c] : nullptr;
        if (!p) continue;
        bool silent = true;
        for (int32 i = 0; i < frames && silent; ++i) silent = p[i] == 0.0f;
        if (silent) flags |= uint64(1) << c;
    }
    out.silenceFlags = flags;
}

class component final : public IComponent,
                        public IAudioProcessor,
                        public IConnectionPoint,
                        public IProcessContextRequirements,
                        public IWrapperPeer,
                        public IClapAccess {
  public:
    // ---- FUnknown ----
    tresult VST3_API queryInterface(const char* iid, void** obj) override {
        IComponent* base = this;
        const wrapper_iface rows[] = {
            {&FUnknown::iid, base},
            {&IPluginBase::iid, base},
            {&IComponent::iid, base},
            {&IAudioProcessor::iid, static_cast<IAudioProcessor*>(this)},
            {&IConnectionPoint::iid, static_cast<IConnectionPoint*>(this)},
            {&IProcessContextRequirements::iid, static_cast<IProcessContextRequirements*>(this)},
            {&IWrapperPeer::iid, static_cast<IWrapperPeer*>(this)},
            {&IClapAccess::iid, static_cast<IClapAccess*>(this)},
        };
        return wrapper_query(base, iid, obj, rows);
    }
    uint32 VST3_API addRef() override { return ++refs_; }
    uint32 VST3_API release() override {
        return wrapper_release(this, refs_, [this] {
            terminate();
            wrapper_bridge_release(retired_);
            retired_ = nullptr;
        });
    }

    // ---- IPluginBase ----
    tresult VST3_API initialize(FUnknown* context) override {
        if (bridge_) return kResultFalse;
        bridge_ = wrapper_bridge_create();
        if (!bridge_) return kInternalError;
        // A controller still bound to the plug-in of the previous initialize follows to this one.
        if (retired_) {
            wrapper_bridge_set_successor(retired_, bridge_);
            wrapper_bridge_release(retired_);
            retired_ = nullptr;
        }
        if (context) {
            context_ = context;
            context_->addRef();
        }
        for (auto& a : bus_active_) a = 0;
        setup_done_ = false;
        return kResultOk;
    }
    tresult VST3_API terminate() override {
        if (peer_) {
            peer_->release();
            peer_ = nullptr;
        }
        if (context_) {
            context_->release();
            context_ = nullptr;
        }
        if (bridge_) {
            deactivate();
            // The plug-in ends here; the bridge stays (held) until the next initialize names its
            // successor, for a controller that still holds it.
            wrapper_bridge_retire(bridge_);
            wrapper_bridge_release(retired_);
            retired_ = bridge_;
            bridge_ = nullptr;
        }
        return kResultOk;
    }

    // ---- IComponent ----
    tresult VST3_API getControllerClassId(char* cid) override {
        if (!cid) return kInvalidArgument;
        std::memcpy(cid, LODRIN_CONTROLLER_CID.b, 16);
        return kResultOk;
    }
    tresult VST3_API setIoMode(IoMode mode) override {
        return mode >= kSimple && mode <= kOfflineProcessing ? kResultOk : kInvalidArgument;
    }
    int32 VST3_API getBusCount(MediaType type, BusDirection dir) override {
        if (type == kAudio && (dir == kInput || dir == kOutput)) return 1;
        if (type == kEvent && dir == kInput) return 1; // MIDI controllers for learn and CC mapping
        return 0;
    }
    tresult VST3_API getBusInfo(MediaType type, BusDirection dir, int32 index, BusInfo* info) override {
        if (!info || index != 0 || getBusCount(type, dir) < 1) return kInvalidArgument;
        BusInfo& bus = *info;
        std::memset(&bus, 0, sizeof(bus));
        bus.mediaType = type;
        bus.direction = dir;
        bus.busType = kMain;
        bus.flags = kDefaultActive;
        if (type == kAudio) {
            bus.channelCount = 2;
            wrapper_utf8_to_16(dir == kInput ? "Input" : "Output", bus.name, 128);
        } else {
            bus.channelCount = 16;
            wrapper_utf8_to_16("MIDI (learn)", bus.name, 128);
        }
        return kResultOk;
    }
    tresult VST3_API getRoutingInfo(RoutingInfo*, RoutingInfo*) override { return kNotImplemented; }
    tresult VST3_API activateBus(MediaType type, BusDirection dir, int32 index, TBool state) override {
        if (index != 0 || getBusCount(type, dir) < 1) return kInvalidArgument;
        bus_active_[type == kEvent ? 2 : dir] = state ? 1 : 0;
        return kResultOk;
    }
    tresult VST3_API setActive(TBool state) override {
        if (!bridge_) return kNotInitialized;
        if (!state) {
            deactivate();
            return kResultOk;
        }
        if (bridge_->active.load()) return kResultOk;
        if (!setup_done_) return kNotInitialized;
        const clap_plugin* p = bridge_->plugin;
        if (!p->activate(p, setup_.sampleRate, 1, uint32_t(setup_.maxSamplesPerBlock))) return kResultFalse;
        bridge_->active_rate = setup_.sampleRate;
        bridge_->active_max_frames = uint32_t(setup_.maxSamplesPerBlock);
        bridge_->restart_sent = 0;
        bridge_->want_restart.store(0); // the activation takes in every setting
        bridge_->active.store(1);
        run_tick();
        return kResultOk;
    }
    tresult VST3_API setState(IBStream* state) override {
        if (!state) return kInvalidArgument;
        if (!bridge_) return kNotInitialized;
        if (!bridge_->state) return kNotImplemented;
        clap_istream in{state, istream_read};
        if (!bridge_->state->load(bridge_->plugin, &in)) return kResultFalse;
        // A state that the running engine cannot take (a new Lookahead) makes the plug-in ask for a
        // restart from its main-thread callback. It is served here: the plug-in restarts in place,
        // and the host, told through the tick on this very call, reads the latency the audio has.
        wrapper_bridge_service(bridge_);
        wrapper_bridge_serve_restart(bridge_);
        run_tick();
        return kResultOk;
    }
    tresult VST3_API getState(IBStream* state) override {
        if (!state) return kInvalidArgument;
        if (!bridge_) return kNotInitialized;
        if (!bridge_->state) return kNotImplemented;
        clap_ostream out{state, ostream_write};
        return bridge_->state->save(bridge_->plugin, &out) ? kResultOk : kResultFalse;
    }

    // ---- IAudioProcessor ----
    tresult VST3_API setBusArrangements(SpeakerArrangement* inputs, int32 numIns, SpeakerArrangement* outputs,
                                        int32 numOuts) override {
        if (numIns < 0 || numOuts < 0 || (numIns && !inputs) || (numOuts && !outputs)) return kInvalidArgument;
        if (bridge_ && bridge_->active.load()) return kResultFalse;
        // One stereo bus each way is all the stage has; anything else keeps it and says so.
        bool ok = numIns == 1 && numOuts == 1 && inputs[0] == kStereo && outputs[0] == kStereo;
        return ok ? kResultTrue : kResultFalse;
    }
    tresult VST3_API getBusArrangement(BusDirection dir, int32 index, SpeakerArrangement* arr) override {
        if (!arr || index != 0 || (dir != kInput && dir != kOutput)) return kInvalidArgument;
        *arr = kStereo;
        return kResultOk;
    }
    tresult VST3_API canProcessSampleSize(int32 size) override {
        return size == kSample32 ? kResultTrue : kResultFalse;
    }
    uint32 VST3_API getLatencySamples() override {
        if (!bridge_ || !bridge_->latency) return 0;
        return bridge_->latency->get(bridge_->plugin);
    }
    tresult VST3_API setupProcessing(ProcessSetup* s) override {
        if (!s) return kInvalidArgument;
        const ProcessSetup& setup = *s;
        if (!bridge_) return kNotInitialized;
        if (bridge_->active.load()) return kResultFalse;
        if (setup.symbolicSampleSize != kSample32 || !(setup.sampleRate > 0) || !std::isfinite(setup.sampleRate) ||
            setup.maxSamplesPerBlock <= 0)
            return kInvalidArgument;
        // Rates and blocks the stage cannot run at are refused here rather than at activation: the
        // engine's delay lines and scratch buffer are sized from them.
        if (setup.sampleRate < WRAPPER_MIN_RATE || setup.sampleRate > WRAPPER_MAX_RATE ||
            setup.maxSamplesPerBlock > WRAPPER_MAX_BLOCK)
            return kResultFalse;
        setup_ = setup;
        setup_done_ = true;
        run_tick();
        return kResultOk;
    }
    tresult VST3_API setProcessing(TBool state) override {
        wrapper_bridge* b = bridge_;
        if (!b) return kNotInitialized;
        if (!b->active.load()) return state ? kNotInitialized : kResultOk;
        // During a restart in place there is nothing to do: the restart leaves processing stopped on
        // a fresh engine, and the next process call starts it.
        if (!wrapper_bridge_audio_enter(b)) return kResultOk;
        const tresult r = set_processing(b, state);
        wrapper_bridge_audio_leave(b);
        return r;
    }
    tresult VST3_API process(ProcessData* d) override {
        if (!d) return kInvalidArgument;
        ProcessData& data = *d;
        wrapper_bridge* b = bridge_;
        if (data.numSamples < 0 || data.numInputs < 0 || data.numOutputs < 0) return kInvalidArgument;
        // A host fault, but the host plays its buffers all the same: what they held before must not.
        if (!b) {
            if (data.symbolicSampleSize == kSample32) silence_outputs(data);
            return kNotInitialized;
        }
        if (!wrapper_bridge_audio_enter(b)) {
            // The host's UI thread restarts the plug-in: this call is a gap of silence.
            carry_events(b, data.inputParameterChanges, data.numSamples);
            silence_outputs(data);
            return kResultOk;
        }
        const tresult r = process_entered(b, data);
        wrapper_bridge_audio_leave(b);
        return r;
    }
    uint32 VST3_API getTailSamples() override {
        // The lookahead delay is the stage's only tail.
        return getLatencySamples();
    }

    // ---- IProcessContextRequirements ----
    uint32 VST3_API getProcessContextRequirements() override { return 2; /* continuous time samples */ }

    // ---- IConnectionPoint ----
    tresult VST3_API connect(IConnectionPoint* other) override {
        if (!other) return kInvalidArgument;
        if (peer_) return kResultFalse;
        peer_ = other;
        peer_->addRef();
        send_bridge_message();
        return kResultOk;
    }
    tresult VST3_API disconnect(IConnectionPoint* other) override {
        if (!other || other != peer_) return kInvalidArgument;
        peer_->release();
        peer_ = nullptr;
        return kResultOk;
    }
    tresult VST3_API notify(IMessage* message) override { return message ? kResultFalse : kInvalidArgument; }

    // ---- private ----
    wrapper_bridge* VST3_API getBridge() override { return bridge_; }
    const clap_plugin* VST3_API getClapPlugin() override { return bridge_ ? bridge_->plugin : nullptr; }

  private:
    std::atomic<uint32> refs_{1};
    wrapper_bridge* bridge_ = nullptr;
    wrapper_bridge* retired_ = nullptr; // the bridge of the last terminate, until the next initialize
    FUnknown* context_ = nullptr;
    IConnectionPoint* peer_ = nullptr;
    ProcessSetup setup_{};
    bool setup_done_ = false;
    uint8_t bus_active_[3] = {};

    // setProcessing and process, with the plug-in to themselves (wrapper_bridge_audio_enter).
    static tresult set_processing(wrapper_bridge* b, TBool state) {
        const clap_plugin* p = b->plugin;
        if (state && !b->processing.load()) {
            if (!p->start_processing(p)) return kResultFalse;
            b->processing.store(1);
        } else if (!state && b->processing.load()) {
            p->stop_processing(p);
            // Hosts stop processing around a locate: what the lookahead still holds belongs to the
            // old position and must not play after the restart.
            p->reset(p);
            b->processing.store(0);
        }
        return kResultOk;
    }
    static tresult process_entered(wrapper_bridge* b, ProcessData& data) {
        const clap_plugin* p = b->plugin;
        collect_events(b, data.inputParameterChanges, data.numSamples);
        b->out_changes = b->tick_live.load(std::memory_order_acquire) ? nullptr : data.outputParameterChanges;
        clap_input_events in{b, events_size, events_get};
        clap_output_events out;
        wrapper_bridge_output_list(b, &out);

        bool audio = data.numSamples > 0 && data.numInputs > 0 && data.numOutputs > 0 && data.inputs &&
                     data.outputs && data.inputs[0].numChannels > 0 && data.outputs[0].numChannels > 0 &&
                     data.inputs[0].channelBuffers32 && data.outputs[0].channelBuffers32;
        if (audio) {
            for (int32 c = 0; c < data.inputs[0].numChannels && c < 2; ++c)
                audio = audio && data.inputs[0].channelBuffers32[c];
            for (int32 c = 0; c < data.outputs[0].numChannels && c < 2; ++c)
                audio = audio && data.outputs[0].channelBuffers32[c];
        }
        if (!audio) {
            // Whatever output buffers the host gave are silenced: without input there is nothing to
            // put there, and a host buffer left as it was would play stale audio.
            silence_outputs(data);
            // A call without audio carries parameter changes only: a flush. While processing CLAP
            // takes them through a process call without ports; otherwise through params.flush.
            if (b->processing.load()) {
                clap_process cp{};
                cp.steady_time = -1;
                cp.in_events = &in;
                cp.out_events = &out;
                p->process(p, &cp);
            } else if (b->params) {
                b->params->flush(p, &in, &out);
            }
            b->n_events = 0;
            b->out_changes = nullptr;
            return kResultOk;
        }
        b->out_changes = nullptr;
        if (data.symbolicSampleSize != kSample32) return kInvalidArgument;
        if (!b->active.load()) {
            silence_outputs(data);
            return kNotInitialized;
        }
        if (!b->processing.load()) {
            if (!p->start_processing(p)) return kResultFalse;
            b->processing.store(1);
        }
        b->out_changes = b->tick_live.load(std::memory_order_acquire) ? nullptr : data.outputParameterChanges;
        clap_audio_buffer ib{}, ob{};
        ib.data32 = data.inputs[0].channelBuffers32;
        ib.channel_count = uint32_t(data.inputs[0].numChannels > 2 ? 2 : data.inputs[0].numChannels);
        ob.data32 = data.outputs[0].channelBuffers32;
        ob.channel_count = uint32_t(data.outputs[0].numChannels > 2 ? 2 : data.outputs[0].numChannels);
        clap_process cp{};
        const ProcessContext* ctx = data.processContext;
        cp.steady_time = ctx && (ctx->state & kContTimeValid) && ctx->continousTimeSamples >= 0
                             ? ctx->continousTimeSamples
                             : -1;
        cp.frames_count = uint32_t(data.numSamples);
        cp.audio_inputs = &ib;
        cp.audio_outputs = &ob;
        cp.audio_inputs_count = 1;
        cp.audio_outputs_count = 1;
        cp.in_events = &in;
        cp.out_events = &out;
        clap_process_status st = p->process(p, &cp);
        b->n_events = 0;
        b->out_changes = nullptr;
        set_silence_flags(data.outputs[0], data.numSamples);
        return st == CLAP_PROCESS_ERROR ? kResultFalse : kResultOk;
    }

    // The controller's tick while no periodic one runs (a host that offers no UI-thread tick): its
    // UI-thread call is the moment to hand over restart, dirty and edit requests.
    void run_tick() {
        if (bridge_ && bridge_->tick && !wrapper_service_running()) bridge_->tick(bridge_->tick_ctx);
    }

    void deactivate() {
        if (!bridge_) return;
        const clap_plugin* p = bridge_->plugin;
        if (bridge_->processing.load()) {
            p->stop_processing(p);
            bridge_->processing.store(0);
        }
        if (bridge_->active.load()) {
            p->deactivate(p);
            bridge_->active.store(0);
        }
    }

    // A host that puts a proxy between the two sides hides the component's private interface from the
    // controller; the bridge then travels in a message made by the host's own factory. The controller
    // accepts only a pointer that names a live bridge of this module.
    void send_bridge_message() {
        IHostApplication* app = query<IHostApplication>(context_);
        if (!app) return;
        void* obj = nullptr;
        uid mid = IMessage::iid;
        if (app->createInstance(reinterpret_cast<char*>(mid.b), reinterpret_cast<char*>(mid.b), &obj) == kResultOk &&
            obj) {
            auto* msg = static_cast<IMessage*>(obj);
            msg->setMessageID("lodrin.bridge");
            if (IAttributeList* attrs = msg->getAttributes())
                attrs->setInt("bridge", int64(reinterpret_cast<intptr_t>(bridge_)));
            peer_->notify(msg);
            msg->release();
        }
        app->release();
    }
};

} // namespace

FUnknown* wrapper_component_create() {
    auto* c = new (std::nothrow) component();
    return c ? static_cast<IComponent*>(c) : nullptr;
}
