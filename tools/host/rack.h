// A rack: one loaded module, up to 64 stages in one or more tracks (each track a chain of stages in
// series), the audio thread that processes them block by block, and the settings that reach them as
// CLAP parameter events. render, session, state, params and midi all build on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "automation.h"
#include "host.h"

inline constexpr uint32_t RACK_MAX_STAGES = 64;
inline constexpr uint32_t RACK_MAX_TRACKS = 16;
inline constexpr char RACK_PLUGIN_ID[] = "com.tovarin.lodrin";

struct host_rack {
    host_module module;
    host_audio_thread audio;
    host_stage* stages[RACK_MAX_STAGES];
    uint32_t n_stages;
    uint32_t n_tracks;
    uint32_t first_of_track[RACK_MAX_TRACKS + 1]; // stages [first[t], first[t+1]) form track t
    double rate;
    uint32_t block;
    uint32_t channels; // 1 or 2, for every port
    bool in_place;
    bool active;
    host_input_events* events[RACK_MAX_STAGES]; // events for each stage's next block
    float* scratch[RACK_MAX_TRACKS][2][2];      // per track: two ping-pong stereo buffers
    int64_t steady;
    uint64_t blocks;
};

// Loads the module and creates `n` stages spread over `tracks` tracks (contiguous, in order). False
// with a message in `err`; everything made is released again then. [main-thread]
bool rack_open(host_rack* r, const char* module_path, const char* plugin_id, uint32_t n, uint32_t tracks,
               char* err, size_t err_cap);

// Finds the stage and parameter a setting names and converts its value with the stage's
// text_to_value. False with a message for the user. [main-thread]
bool rack_resolve(host_rack* r, const param_setting* s, uint32_t stage, int32_t* param, double* value,
                  char* err, size_t err_cap);

// Applies settings (stage 0 = every stage) now: through params.flush while inactive, or as events
// at the start of the next block while active. False with a message on the first unknown name or
// value. [main-thread]
bool rack_apply(host_rack* r, const param_setting* s, uint32_t n, char* err, size_t err_cap);

// Activates every stage for `rate` and blocks of up to `block` frames and allocates the buffers.
// [main-thread]
bool rack_activate(host_rack* r, double rate, uint32_t block, char* err, size_t err_cap);

// Processes one block of `frames` (<= block) on the audio thread: track t reads in[t][0..1] and
// writes out[t][0..1] (stage by stage through the scratch buffers; in place when set). The pending
// events of each stage go into its call and are cleared. Serves the stages' requests afterwards.
// [main-thread]
void rack_process(host_rack* r, float* const (*in)[2], float* const (*out)[2], uint32_t frames);

// rack_process without serving the requests: for a caller that runs several blocks in a row and
// serves them once after (a timer served between blocks, an editor's redraw, would stretch each
// block to a frame's length). [main-thread]
void rack_process_block(host_rack* r, float* const (*in)[2], float* const (*out)[2], uint32_t frames);

// Serves every stage's requests (callbacks, restarts, flushes, timers). [main-thread]
void rack_pump(host_rack* r);

// Sum of the latencies of the stages of track t. [main-thread]
uint32_t rack_track_latency(host_rack* r, uint32_t t);

// Destroys the stages, stops the audio thread and unloads the module. [main-thread]
void rack_close(host_rack* r);

// "Input, Gain, ..." for messages. [main-thread]
void rack_param_names(host_rack* r, char* out, size_t cap);
