// The host side of the CLAP interface: loading a module, one clap_host per plug-in instance with the
// host extensions a plug-in may ask for, the event lists and streams handed to the plug-in, and the
// checks of every rule the plug-in must keep when it calls the host or fills what the host gave it.
//
// Threads: the host has one main thread (the one that calls host_set_thread_role(HOST_THREAD_MAIN),
// normally main()) and one audio thread (host_audio_thread below). A rule broken by the plug-in is
// recorded with host_rule_error on whatever thread saw it and printed by the main thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>

#include "clap/clap.h"
#include "debug_ext.h"

// ---- threads -----------------------------------------------------------------------------------

enum host_thread_role : uint8_t { HOST_THREAD_OTHER = 0, HOST_THREAD_MAIN = 1, HOST_THREAD_AUDIO = 2 };

// Declares what the calling thread is to the plug-in. [any-thread]
void host_set_thread_role(host_thread_role role);
host_thread_role host_current_thread_role();

// ---- rule errors -------------------------------------------------------------------------------

// printf-style argument checking. mingw-w64's C++ runtime formats with its own C99 printf (%zu
// works), but GCC checks the plain "printf" archetype there against the Microsoft runtime's rules.
#if defined(__MINGW32__)
#define HOST_PRINTF_FORMAT(fmt, first) __attribute__((format(gnu_printf, fmt, first)))
#else
#define HOST_PRINTF_FORMAT(fmt, first) __attribute__((format(printf, fmt, first)))
#endif

// Records that the plug-in broke a host-side CLAP rule (wrong thread, call order, null return,
// malformed event, ...). Allocation-free; safe on the audio thread. [any-thread]
void host_rule_error(const char* fmt, ...) HOST_PRINTF_FORMAT(1, 2);

// Number of rule errors recorded since start (or the last reset). [any-thread]
uint32_t host_rule_error_count();

// Text of recorded error i (the first 256 are kept), or null. [main-thread]
const char* host_rule_error_text(uint32_t i);

// Prints errors recorded but not yet printed to stderr ("lodrin-host: error: ..."). [main-thread]
void host_print_rule_errors();

// Forgets every recorded error (for tests that check one case at a time). [main-thread]
void host_rule_errors_reset();

// ---- module ------------------------------------------------------------------------------------

struct host_module {
    void* handle;
    const clap_plugin_entry* entry;
    const clap_plugin_factory* factory;
    bool initialised;
    char path[1024];
    void* vst3; // the VST3 driver's module record when a bundle was loaded (vst3_host.h)
};

// Loads the module at `path` (a VST3 bundle goes to the VST3 driver, vst3_host.h): dlopen with immediate binding, the exported clap_entry, a compatible
// version, entry init and the plug-in factory. False with a message for the user in `err`; nothing
// stays loaded then. [main-thread]
bool host_module_load(host_module* m, const char* path, char* err, size_t err_cap);

// Entry deinit and unload. Harmless on a module that failed to load. [main-thread]
void host_module_unload(host_module* m);

// ---- events ------------------------------------------------------------------------------------

// A sorted input event list with fixed storage: building one never allocates.
inline constexpr uint32_t HOST_EVENTS_MAX = 512;
inline constexpr uint32_t HOST_EVENTS_BYTES = 512 * 64;

struct host_input_events {
    clap_input_events list;
    uint32_t n;
    uint32_t used;
    uint32_t offset[HOST_EVENTS_MAX];
    alignas(8) uint8_t bytes[HOST_EVENTS_BYTES];
};

// Sets up the list's function table and empties it. [any-thread]
void host_events_init(host_input_events* e);
void host_events_clear(host_input_events* e);
// Inserts a copy of `ev` after every event of equal or lower time. False when full. [any-thread]
bool host_events_push(host_input_events* e, const clap_event_header* ev);
bool host_events_push_param(host_input_events* e, uint32_t time, clap_id id, double value);
bool host_events_push_midi(host_input_events* e, uint32_t time, uint8_t b0, uint8_t b1, uint8_t b2);
// Appends without sorting (to hand a plug-in out-of-order events on purpose). [any-thread]
bool host_events_append_unsorted(host_input_events* e, const clap_event_header* ev);

// One event the plug-in sent to the host, as the host recorded it.
struct host_event_record {
    uint16_t type; // CLAP_EVENT_*
    uint32_t time;
    clap_id param_id;   // parameter events
    double value;       // CLAP_EVENT_PARAM_VALUE
    uint8_t midi[3];    // CLAP_EVENT_MIDI
    uint8_t from_flush; // 1 when pushed during a params flush, 0 during process
};

inline constexpr uint32_t HOST_RECORD_RING = 1024;

struct host_stage;

// The output list handed to one process call or flush: checks and records every pushed event.
struct host_output_events {
    clap_output_events list;
    host_stage* stage;
    uint32_t frames; // block length (0 in a flush: every time is then taken as 0)
    uint32_t last_time;
    uint32_t pushed;
    uint32_t capacity; // events accepted before try_push answers false
    uint8_t in_flush;
    host_thread_role thread;
};

// ---- streams -----------------------------------------------------------------------------------

// A growing memory output stream taking at most `max_per_call` bytes per write (0: no limit).
struct host_ostream {
    clap_ostream stream;
    uint8_t* data;
    size_t size;
    size_t cap;
    uint32_t max_per_call;
    uint32_t calls;
};
void host_ostream_init(host_ostream* s, uint32_t max_per_call);
void host_ostream_free(host_ostream* s);

// A memory input stream giving at most `max_per_call` bytes per read (0: no limit). Borrows `data`.
struct host_istream {
    clap_istream stream;
    const uint8_t* data;
    size_t size;
    size_t pos;
    uint32_t max_per_call;
    uint32_t calls;
};
void host_istream_init(host_istream* s, const uint8_t* data, size_t size, uint32_t max_per_call);

// ---- the stage: one plug-in instance and its host ------------------------------------------------

inline constexpr uint32_t HOST_MAX_PARAMS = 64;
inline constexpr uint32_t HOST_MAX_TIMERS = 16;
inline constexpr uint32_t HOST_MAX_FDS = 16;

enum host_stage_life : uint8_t {
    HOST_STAGE_EMPTY = 0,
    HOST_STAGE_CREATED,     // create_plugin returned it, init not yet called
    HOST_STAGE_INITIALISED, // init succeeded; inactive
    HOST_STAGE_ACTIVE,
    HOST_STAGE_PROCESSING, // started processing on the audio thread
};

struct host_stage {
    uint32_t magic;
    clap_host host;
    host_module* module;
    const clap_plugin* plugin;
    uint32_t number; // 1-based, for messages

    // Plug-in extensions (null when not offered).
    const clap_plugin_params* params;
    const clap_plugin_audio_ports* audio_ports;
    const clap_plugin_note_ports* note_ports;
    const clap_plugin_state* state;
    const clap_plugin_latency* latency_ext;
    const clap_plugin_gui* gui;
    const clap_plugin_timer_support* timer_support;
    const clap_plugin_posix_fd_support* posix_fd;
    const lodrin_plugin_debug* debug;

    std::atomic<uint8_t> life;
    // The editor as the host sees it (gui_host.cpp): 0 none, 1 created, 2 embedded in a host window.
    std::atomic<uint8_t> gui_state;
    std::atomic<uint8_t> in_activate; // inside activate: the only time latency_changed is allowed
    std::atomic<uint8_t> in_destroy;
    double sample_rate;
    uint32_t min_frames;
    uint32_t max_frames;
    uint32_t latency; // read after each activation

    // Parameters as listed by the plug-in at init (and again after an info rescan).
    uint32_t n_params;
    clap_param_info param[HOST_MAX_PARAMS];
    uint8_t in_gesture[HOST_MAX_PARAMS];

    // Requests from the plug-in, served by host_stage_pump on the main thread.
    std::atomic<uint32_t> want_callback;
    std::atomic<uint32_t> want_restart;
    std::atomic<uint32_t> want_flush;

    // What the host received, counted (printed by `session` and checked by the tests).
    std::atomic<uint32_t> n_request_callback;
    std::atomic<uint32_t> n_request_restart;
    std::atomic<uint32_t> n_request_process;
    std::atomic<uint32_t> n_request_flush;
    std::atomic<uint32_t> n_mark_dirty;
    std::atomic<uint32_t> n_rescan;
    std::atomic<uint32_t> last_rescan_flags;
    std::atomic<uint32_t> n_log;
    std::atomic<uint32_t> n_request_resize;
    std::atomic<uint32_t> n_latency_changed;
    std::atomic<uint32_t> n_param_clear;
    uint32_t n_on_main_thread;
    uint32_t n_restarts;
    uint32_t n_flushes;
    uint32_t n_process;
    uint32_t last_resize_w, last_resize_h;

    // Output events, written by the thread of the call (audio or main), read by the main thread.
    host_event_record records[HOST_RECORD_RING];
    std::atomic<uint32_t> rec_write;
    uint32_t rec_read;

    // Host timers and watched descriptors registered by the plug-in.
    struct timer {
        clap_id id;
        uint32_t period_ms;
        int64_t due_ns;
    } timers[HOST_MAX_TIMERS];
    uint32_t n_timers;
    clap_id next_timer_id;
    int fds[HOST_MAX_FDS];
    uint32_t fd_flags[HOST_MAX_FDS];
    uint32_t n_fds;

    // Log lines of the plug-in are printed as "[stage N] severity: text" when set.
    bool print_log;
    // The most recent log line (for tests).
    char last_log[256];
    std::atomic<int32_t> last_log_severity;
};

// Creates plug-in `plugin_id` from the module's factory, then init, extension lookup and the
// parameter list. False with a message in `err` (and the stage empty) on failure. `stage` must be
// zero-initialised storage that stays put while the stage lives. [main-thread]
bool host_stage_create(host_stage* stage, host_module* m, const char* plugin_id, uint32_t number, char* err,
                       size_t err_cap);

// Deactivates when active (stopping processing first through `audio`, which may be null when the
// stage is not processing), then destroys the plug-in. [main-thread]
struct host_audio_thread;
void host_stage_destroy(host_stage* stage, host_audio_thread* audio);

// activate / deactivate with the rule checks; activate reads the latency afterwards. [main-thread]
bool host_stage_activate(host_stage* stage, double rate, uint32_t min_frames, uint32_t max_frames);
void host_stage_deactivate(host_stage* stage);

// start_processing when not yet processing, and the stop. [audio-thread]
bool host_stage_start_processing(host_stage* stage);
void host_stage_stop_processing(host_stage* stage);
void host_stage_reset(host_stage* stage);

// Builds the clap_process for one call: `in` / `out` hold n_in / n_out channel pointers (n = 0 gives
// no port at all), frames samples each; `events` may be null. Starts processing first when needed
// and checks the answer and every pushed event. `out_capacity` limits the output list (0: 1024).
// Returns the plug-in's status. [audio-thread]
clap_process_status host_stage_process(host_stage* stage, float* const* in, uint32_t n_in, float* const* out,
                                       uint32_t n_out, uint32_t frames, int64_t steady,
                                       const host_input_events* events, uint32_t out_capacity = 0);

// params.flush with the given input list (may be null), outside processing. [main-thread]
void host_stage_flush(host_stage* stage, const host_input_events* events);

// Serves what the plug-in asked for: on_main_thread, restart (through `audio` for the stop when
// processing; may be null when not processing), params flush while not processing, due timers,
// ready descriptors. Prints recorded rule errors. [main-thread]
void host_stage_pump(host_stage* stage, host_audio_thread* audio);

// Takes the next recorded output event; false when none is left. [main-thread]
bool host_stage_take_record(host_stage* stage, host_event_record* out);

// Index of the parameter whose name matches `name` (ASCII case folded), or -1. [main-thread]
int32_t host_stage_param_by_name(const host_stage* stage, const char* name);
// Index of the parameter with CLAP id `id`, or -1. [any-thread]
int32_t host_stage_param_by_id(const host_stage* stage, clap_id id);

// get_value of parameter index i (with the rule check); false when the plug-in refuses. [main-thread]
bool host_stage_get_value(host_stage* stage, uint32_t i, double* value);

// The parameter's text for `value` ("?" when refused). [main-thread]
void host_stage_value_text(host_stage* stage, uint32_t i, double value, char* out, uint32_t cap);

// State save into a fresh stream (caller frees with host_ostream_free) and load from bytes. [main-thread]
bool host_stage_save(host_stage* stage, host_ostream* out, uint32_t max_per_call);
bool host_stage_load(host_stage* stage, const uint8_t* data, size_t size, uint32_t max_per_call);

// The latency the plug-in reports now (with the rule checks). [main-thread]
uint32_t host_stage_read_latency(host_stage* stage);

// ---- the audio thread --------------------------------------------------------------------------

// A thread that runs one job at a time for the main thread: host_audio_run hands it a function and
// waits until it has run. Jobs run with allocation counting switched on (alloc_counter.h).
struct host_audio_thread {
    std::thread thread;
    std::mutex lock;
    std::condition_variable wake;
    std::condition_variable done;
    void (*job)(void*);
    void* ctx;
    bool pending;
    bool quit;
    bool started;
};

void host_audio_start(host_audio_thread* a); // [main-thread]
void host_audio_stop(host_audio_thread* a);  // [main-thread]
// Runs fn(ctx) on the audio thread and returns when it has finished. [main-thread]
void host_audio_run(host_audio_thread* a, void (*fn)(void*), void* ctx);

// Runs a callable (taken by reference; no allocation) on the audio thread. [main-thread]
template <class F>
void host_audio_call(host_audio_thread* a, F& f) {
    host_audio_run(
        a, [](void* c) { (*static_cast<F*>(c))(); }, &f);
}
