// The CLAP-to-VST3 wrapper's shared pieces. One `wrapper_bridge` stands behind each pair of audio
// component and edit controller: it is the CLAP host of one plug-in instance of this module's own
// clap_entry, owns that instance, converts between CLAP values and VST3 normalised values, and carries
// what the audio side learns (the plug-in's output events, its requests) to the controller, which
// turns it into IComponentHandler calls on the host's UI thread.
//
// Threads: "main" below is the host's UI thread (every IEditController, IPlugView and most
// IComponent calls); "audio" is whichever thread calls IAudioProcessor::process.
#pragma once

#include <atomic>
#include <cstdint>

#include "clap/clap.h"
#include "vst3_abi.h"

// Stable class ids of the module's two classes (four words; bytes per platform by make_uid).
inline constexpr vst3::uid LODRIN_PROCESSOR_CID = vst3::make_uid(0x4C6F6472, 0x696E5633, 0x50726F63, 0x54766172);
inline constexpr vst3::uid LODRIN_CONTROLLER_CID = vst3::make_uid(0x4C6F6472, 0x696E5633, 0x43746C72, 0x54766172);

// Hidden parameters that carry MIDI controllers: the host maps CC n (any channel of the event input
// bus) onto id WRAPPER_CC_PARAM_BASE + n and sends its value as a parameter change; the processor
// turns it back into a control-change message for the plug-in's MIDI learn.
inline constexpr vst3::ParamID WRAPPER_CC_PARAM_BASE = 0x00100000;
inline constexpr uint32_t WRAPPER_CC_COUNT = 128;
inline constexpr uint32_t WRAPPER_MAX_PARAMS = 64;
inline constexpr uint32_t WRAPPER_EDIT_RING = 1024; // power of two
inline constexpr uint32_t WRAPPER_MAX_EVENTS = 2048;
inline constexpr uint32_t WRAPPER_MAX_TIMERS = 8;
inline constexpr uint32_t WRAPPER_MAX_FDS = 8;
// The set-ups the processor accepts (the project's own hosts hold to the same).
inline constexpr double WRAPPER_MIN_RATE = 1000.0;
inline constexpr double WRAPPER_MAX_RATE = 768000.0;
inline constexpr int32_t WRAPPER_MAX_BLOCK = 1 << 20;

// One output event of the plug-in on its way to the host's component handler.
struct wrapper_edit {
    uint16_t type; // CLAP_EVENT_PARAM_VALUE, _GESTURE_BEGIN or _GESTURE_END
    clap_id id;
    double value; // plain value (CLAP_EVENT_PARAM_VALUE)
};

// One input event slot of a process call (large enough for any event the wrapper makes).
struct wrapper_event {
    union {
        clap_event_header header;
        clap_event_param_value param;
        clap_event_midi midi;
    };
};

struct wrapper_timer;
struct wrapper_fd;

// The plug-in's parameter list as the bridge read it: CLAP infos and the unit texts derived from the
// plug-in's own value texts.
struct wrapper_params {
    uint32_t n;
    clap_param_info info[WRAPPER_MAX_PARAMS];
    char units[WRAPPER_MAX_PARAMS][32];
};

// The list of the most recently made bridge (every instance has the same one), for a controller that
// is not yet connected to its component. Empty (n = 0) before the first bridge. [main-thread]
const wrapper_params* wrapper_params_cache();

struct wrapper_bridge {
    uint32_t magic;
    std::atomic<uint32_t> refs;
    clap_host host;
    const clap_plugin* plugin; // owned; null after terminate
    const clap_plugin_params* params;
    const clap_plugin_state* state;
    const clap_plugin_latency* latency;
    const clap_plugin_gui* gui;
    const clap_plugin_timer_support* timer_support;
    const clap_plugin_posix_fd_support* posix_fd;

    wrapper_params table;

    // Life, written on the main thread, read by the audio thread.
    std::atomic<uint8_t> active;
    std::atomic<uint8_t> processing; // start_processing called and not yet stopped
    // The running activation's rate and largest block, for a restart in place. [main-thread]
    double active_rate;
    uint32_t active_max_frames;

    // A restart in place (wrapper_bridge_restart) against the host's audio-thread calls: the audio
    // side counts itself in `in_process` and then reads `restarting`; the main thread sets
    // `restarting` and then waits for `in_process` to fall to 0. Both orders are sequentially
    // consistent, so either the audio side sees the restart and leaves the plug-in alone, or the main
    // thread sees the call and waits for its end; neither side ever blocks the audio thread.
    std::atomic<uint8_t> restarting;
    std::atomic<uint32_t> in_process;

    // Requests of the plug-in, served by wrapper_bridge_service on the main thread.
    std::atomic<uint32_t> want_callback;
    std::atomic<uint32_t> want_restart;
    std::atomic<uint32_t> want_flush;
    std::atomic<uint32_t> want_dirty;
    std::atomic<uint32_t> want_values; // params rescan of values
    uint8_t restart_sent;              // restartComponent sent since the last activation
    // The latency the host read may be stale: restartComponent(kLatencyChanged) is due. [main-thread]
    uint8_t latency_news;

    // Output events, audio (or main while inactive) -> main. Single producer, single consumer.
    wrapper_edit ring[WRAPPER_EDIT_RING];
    std::atomic<uint32_t> ring_write;
    std::atomic<uint32_t> ring_read;

    // Input events of one call, sorted by time (audio thread only). The first n_carried of the next
    // call's are those of calls that came while the plug-in restarted, at time 0.
    wrapper_event events[WRAPPER_MAX_EVENTS];
    uint32_t n_events;
    uint32_t n_carried;

    // The host's run loop (Linux style) that serves the plug-in's timers and descriptors, and what is
    // registered with it. Borrowed from the controller's context or the view's frame.
    vst3::IRunLoop* run_loop;
    wrapper_timer* timers[WRAPPER_MAX_TIMERS];
    wrapper_fd* fds[WRAPPER_MAX_FDS];
    clap_id next_timer_id;

    // The bound controller's tick: serves the plug-in's main-thread requests and hands its output
    // events, dirty state and latency news to the host's component handler. Run by the module's
    // UI-thread service (service.cpp) for every live bridge, and, while that service is stopped, by
    // the component after the host's UI-thread calls that change state or latency (setState,
    // setActive, setupProcessing). Set by the controller. [main-thread]
    void (*tick)(void* ctx);
    void* tick_ctx;
    // 1 while the service's periodic tick drains the edit ring of a bridge with a controller; 0
    // otherwise, and the plug-in's values then leave through the processor's output parameter
    // changes. Main -> audio.
    std::atomic<uint8_t> tick_live;
    // The host's output parameter changes during one process call while no tick is live. [audio-thread]
    vst3::IParameterChanges* out_changes;

    // The open view's resize request (set by the view, cleared by it). [main-thread]
    bool (*view_resize)(void* view, uint32_t w, uint32_t h);
    void* view;
    // The plug-in has one editor: the views that hold it (it is made for the first and destroyed
    // with the last) and the one view attached to a host window, or null. [main-thread]
    uint32_t gui_views;
    void* gui_attached;

    // The bridge that the component made when it was initialised again after this one's terminate
    // (one reference held), or null: a controller bound to a retired bridge moves on to it, so that
    // component and controller stay one plug-in. [main-thread]
    wrapper_bridge* successor;
};

// Creates the bridge and the CLAP plug-in behind it (create_plugin and init) and reads its parameter
// list. Null when the plug-in cannot be made. The bridge starts with one reference. [main-thread]
wrapper_bridge* wrapper_bridge_create();
// Reference counting; the last release destroys the plug-in (deactivating it first) and the bridge.
void wrapper_bridge_retain(wrapper_bridge* b);
void wrapper_bridge_release(wrapper_bridge* b);
// Ends the plug-in of a bridge that others may still hold (the component's terminate): its editor,
// processing, activation and the plug-in itself go; plugin and every extension pointer read null
// from then on. [main-thread]
void wrapper_bridge_retire(wrapper_bridge* b);
// Makes `next` the successor of the retired bridge `old` (a reference on next is taken). [main-thread]
void wrapper_bridge_set_successor(wrapper_bridge* old, wrapper_bridge* next);
// True when b is a live bridge of this module (for pointers that arrive in host messages). [main-thread]
bool wrapper_bridge_is_live(const void* b);

// Index of the parameter with VST3 id `id` among the plug-in's parameters, or -1. [any-thread]
int32_t wrapper_param_index(const wrapper_params* t, vst3::ParamID id);
// Step count of parameter i (0 continuous). [any-thread]
int32_t wrapper_param_steps(const wrapper_params* t, int32_t i);
// Normalised value -> plain value of parameter i and back (clamped; NaN gives the default). Stepped
// parameters follow the VST3 rule step = min(n, floor(norm * (n + 1))). [any-thread]
double wrapper_to_plain(const wrapper_params* t, int32_t i, double normalised);
// A normalised value carries about 16 digits, so a plain value the host normalised comes back within
// rounding error of itself, an error of a few units in the last place of the range's larger end
// (`scale`): a result that lies within four such units of a whole millionth is taken as that
// millionth, so values of up to six decimals survive the round trip exactly. [any-thread]
double wrapper_snap(double plain, double scale);
double wrapper_to_normalised(const wrapper_params* t, int32_t i, double plain);

// Recomputes tick_live after a change of the bridge's tick or of the service. [main-thread]
void wrapper_bridge_update_tick(wrapper_bridge* b);
// The same for every live bridge. [main-thread]
void wrapper_bridge_update_all_ticks();
// Stores up to `cap` live bridges into `out`, one reference taken on each (the caller releases them),
// and returns how many. [main-thread]
uint32_t wrapper_bridges_retain(wrapper_bridge** out, uint32_t cap);

// ---- the module's UI-thread service (service.cpp) ---------------------------------------------

// `owner` (a controller or a view, by address) offers a source of UI-thread ticks: a host run loop,
// or null for the UI thread itself (used on Windows only). A second offer of one owner replaces its
// first. The loop is held (one reference) until withdrawn, and is the driver while it is the first
// source that takes the tick. [main-thread]
void wrapper_service_offer(const void* owner, vst3::IRunLoop* loop);
// Withdraws the owner's source; another source takes over, or the service stops. Call before the
// owner lets go of its loop. [main-thread]
void wrapper_service_withdraw(const void* owner);
// True while a periodic UI-thread tick serves every live bridge. [main-thread]
bool wrapper_service_running();

// Takes the next output event of the plug-in; false when none is left. [main-thread]
bool wrapper_bridge_take_edit(wrapper_bridge* b, wrapper_edit* out);

// The clap_output_events that feed the edit ring (its ctx is the bridge). [audio or main thread]
void wrapper_bridge_output_list(wrapper_bridge* b, clap_output_events* out);

// Runs a params flush on the main thread while the plug-in is inactive (its edits reach the ring).
// [main-thread]
void wrapper_bridge_idle_flush(wrapper_bridge* b);

// Serves the plug-in's main-thread requests: on_main_thread, and the idle flush. Restart, dirty and
// rescan requests stay in their flags for the controller. [main-thread]
void wrapper_bridge_service(wrapper_bridge* b);

// Restarts the active plug-in in place: deactivate, then activate with the rate and block sizes of
// the running activation, so that new settings that the running engine cannot take (the Lookahead)
// reach the audio and the latency the plug-in reports. The host's audio-thread calls meanwhile
// return at once, with silent outputs. False when the plug-in is not active, when a call of the
// audio thread did not end within about a second (nothing was changed then), or when the new
// activation failed (the plug-in is inactive then, until the host activates it). [main-thread]
bool wrapper_bridge_restart(wrapper_bridge* b);

// Serves the plug-in's restart request: while active, a restart in place, and latency_news when the
// latency moved; otherwise (or when that restart could not run) latency_news once per activation, so
// that the host restarts the component itself. [main-thread]
void wrapper_bridge_serve_restart(wrapper_bridge* b);

// The audio side of a restart in place, around each audio-thread call that reaches the plug-in
// (process, setProcessing): enter is false while the main thread restarts the plug-in, and the call
// must then leave the plug-in alone; after a true enter, leave ends the call. Lock-free. [audio-thread]
bool wrapper_bridge_audio_enter(wrapper_bridge* b);
void wrapper_bridge_audio_leave(wrapper_bridge* b);

// Gives the bridge the host's run loop (null to drop it). Timers and descriptors the plug-in already
// registered move to the new loop. [main-thread]
void wrapper_bridge_set_run_loop(wrapper_bridge* b, vst3::IRunLoop* loop);

// UTF-8 <-> UTF-16 for the interface's strings (always terminated; cap counts units). [any-thread]
void wrapper_utf8_to_16(const char* in, vst3::char16* out, uint32_t cap);
void wrapper_utf16_to_8(const vst3::char16* in, char* out, uint32_t cap);
// Bounded copy of an 8-bit string (always terminated). [any-thread]
void wrapper_copy(char* out, const char* in, uint32_t cap);

// The component's and the controller's classes (component.cpp, controller.cpp). Each returns a new
// object with one reference, or null. [main-thread]
vst3::FUnknown* wrapper_component_create();
vst3::FUnknown* wrapper_controller_create();
// Module-wide host context given to the factory (IPluginFactory3::setHostContext), or null. [main-thread]
vst3::FUnknown* wrapper_factory_host_context();

// A private interface of the component, for the controller of the same process to reach the bridge
// when the host connects the two directly.
struct IWrapperPeer : vst3::FUnknown {
    static constexpr vst3::uid iid = vst3::make_uid(0x4C6F6472, 0x696E5633, 0x50656572, 0x54766172);
    // The component's bridge (no reference added), or null before initialize. [main-thread]
    virtual wrapper_bridge* VST3_API getBridge() = 0;
};

// The view (view.cpp): an IPlugView over the plug-in's CLAP gui, or null when the plug-in has no gui
// for this platform. Holds a reference on the bridge. [main-thread]
vst3::IPlugView* wrapper_view_create(wrapper_bridge* b);

// ---- FUnknown helpers --------------------------------------------------------------------------

// One interface an object answers to: an id it is asked for and the pointer it hands out for it
// (the object cast to that interface, so the vtable matches what the caller expects).
struct wrapper_iface {
    const vst3::uid* iid;
    void* ptr;
};

// queryInterface over a table of interfaces: stores the pointer of the first row whose id equals
// `iid` and adds one reference through `self` (kResultOk), stores null when no row matches
// (kNoInterface), and refuses a null `obj` (kInvalidArgument). [any-thread]
template <uint32_t N>
vst3::tresult wrapper_query(vst3::FUnknown* self, const char* iid, void** obj,
                            const wrapper_iface (&rows)[N]) {
    if (!obj) return vst3::kInvalidArgument;
    for (const wrapper_iface& r : rows)
        if (vst3::uid_equal(iid, *r.iid)) {
            *obj = r.ptr;
            self->addRef();
            return vst3::kResultOk;
        }
    *obj = nullptr;
    return vst3::kNoInterface;
}

// release of a heap object that starts with one reference: drops one and, when none is left, runs
// `last` (the object's own teardown) and deletes the object. Returns the count left. [any-thread]
template <class T, class F>
vst3::uint32 wrapper_release(T* self, std::atomic<vst3::uint32>& refs, F last) {
    const vst3::uint32 n = --refs;
    if (n == 0) {
        last();
        delete self;
    }
    return n;
}
