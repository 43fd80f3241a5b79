// lodrin-host: a command-line CLAP host for Lodrin.clap. It loads the module as a DAW does, runs its
// stages on its own main and audio threads, and reports every CLAP rule the plug-in breaks.
//
// Exit codes: 0 done, 1 bad input or a failure of the plug-in, 2 bad command line, 3 the plug-in broke
// a CLAP rule (the run itself completed).
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/alloc_counter.h"
#include "host/automation.h"
#include "host/demo_programme.h"
#include "host/gui_host.h"
#include "host/host.h"
#include "host/host_os.h"
#include "host/rack.h"
#include "host/wav.h"

#ifndef LODRIN_HOST_DEFAULT_MODULE
#define LODRIN_HOST_DEFAULT_MODULE ""
#endif

namespace {

constexpr int EXIT_BAD_INPUT = 1;
constexpr int EXIT_USAGE = 2;
constexpr int EXIT_RULES = 3;
constexpr uint32_t MAX_SETTINGS = 256;
constexpr int32_t MAX_AUTOMATION = 1 << 20; // every sample of 7 parameters for 18 s at 8 kHz

const char* usage_text =
    "usage: lodrin-host COMMAND [options]\n"
    "\n"
    "commands:\n"
    "  render   [-i IN.wav | --demo] -o OUT.wav [--stages N] [--set [S:]NAME=VALUE]...\n"
    "           [--automation FILE] [--block B] [--in-place] [--no-latency-compensation]\n"
    "           [--seconds S]\n"
    "           limit a file (or the built-in demo programme) through N stages in series\n"
    "  session  [--stages K] [--tracks T] [--rate R] [--block B] [--seconds S] [--set ...]\n"
    "           [--pass-token FIFO | --wait-token FIFO]   (on Windows FIFO is any name)\n"
    "           run K stages in real time; reads commands on stdin (help prints them); with tokens,\n"
    "           two sessions run in lock-step as one serial chain (the waiting one after the other)\n"
    "  state    save FILE [--set ...] | load FILE [--save-again OUT]   [--chunk BYTES]\n"
    "  params   list | values [--set ...] | text NAME VALUE | value NAME TEXT\n"
    "  midi     [--learn NAME] --cc CC=VALUE [--cc ...] [--channel 1..16] [--flush] [--set ...]\n"
    "  gui      [--stages N] [--frames N] [--screenshot FILE.ppm] [--zoom Z] [--scale S] [--set ...]\n"
    "           [--wait-token FIFO]\n"
    "           open stage 1's editor in a host window while the stages run in real time (or one\n"
    "           block per token of a session's --pass-token, as the later part of its chain); close\n"
    "           after N frames (60 a second; default: when the window is closed); prints the host\n"
    "           window's id, reads session commands and \"rect SELECTOR N\" (a widget's rectangle)\n"
    "           on stdin and prints what the host receives; the screenshot shows the last frame\n"
    "\n"
    "common options:\n"
    "  --module PATH      the CLAP module (default: the build's Lodrin.clap)\n"
    "  --plugin-id ID     plug-in id to create (default com.tovarin.lodrin)\n"
    "  --rate HZ          sample rate where no input file gives one (default 48000)\n"
    "  --log              print the plug-in's log lines\n";

struct options {
    const char* module = nullptr;
    const char* plugin_id = RACK_PLUGIN_ID;
    const char* input = nullptr;
    const char* output = nullptr;
    const char* automation = nullptr;
    const char* learn = nullptr;
    const char* save_again = nullptr;
    const char* pass_token = nullptr;
    const char* wait_token = nullptr;
    bool demo = false;
    bool in_place = false;
    bool latency_comp = true;
    bool use_flush = false;
    bool print_log = false;
    uint32_t stages = 1;
    uint32_t tracks = 1;
    uint32_t block = 512;
    uint32_t chunk = 0;
    uint32_t channel = 1;
    double rate = 48000;
    double seconds = -1;
    param_setting settings[MAX_SETTINGS];
    uint32_t n_settings = 0;
    gui_options gui;
    struct cc {
        uint8_t number, value;
    } ccs[128];
    uint32_t n_ccs = 0;
    const char* positional[4] = {};
    uint32_t n_positional = 0;
};

int fail(int code, const char* fmt, ...) HOST_PRINTF_FORMAT(2, 3);
int fail(int code, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    std::fprintf(stderr, "lodrin-host: ");
    std::vfprintf(stderr, fmt, ap);
    std::fprintf(stderr, "\n");
    va_end(ap);
    return code;
}

bool parse_u32(const char* s, uint32_t lo, uint32_t hi, uint32_t* out) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s, &end, 10);
    if (errno || !end || *end || end == s || v < lo || v > hi) return false;
    *out = uint32_t(v);
    return true;
}

bool parse_f64(const char* s, double lo, double hi, double* out) {
    char* end = nullptr;
    double v = std::strtod(s, &end);
    if (!end || *end || end == s || !(v >= lo && v <= hi)) return false;
    *out = v;
    return true;
}

// Parses everything after the command word. Returns 0, or an exit code after printing why.
int parse_options(int argc, char** argv, int first, options* o) {
    for (int i = first; i < argc; ++i) {
        const char* a = argv[i];
        auto need = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                fail(EXIT_USAGE, "%s needs %s", a, what);
                return nullptr;
            }
            return argv[++i];
        };
        const char* v = nullptr;
        char err[512];
        if (!std::strcmp(a, "--module")) {
            if (!(o->module = need("a path"))) return EXIT_USAGE;
        } else if (!std::strcmp(a, "--plugin-id")) {
            if (!(o->plugin_id = need("an id"))) return EXIT_USAGE;
        } else if (!std::strcmp(a, "-i") || !std::strcmp(a, "--input")) {
            if (!(o->input = need("a file"))) return EXIT_USAGE;
        } else if (!std::strcmp(a, "-o") || !std::strcmp(a, "--output")) {
            if (!(o->output = need("a file"))) return EXIT_USAGE;
        } else if (!std::strcmp(a, "--automation")) {
            if (!(o->automation = need("a file"))) return EXIT_USAGE;
        } else if (!std::strcmp(a, "--learn")) {
            if (!(o->learn = need("a parameter name"))) return EXIT_USAGE;
        } else if (!std::strcmp(a, "--save-again")) {
            if (!(o->save_again = need("a file"))) return EXIT_USAGE;
        } else if (!std::strcmp(a, "--pass-token")) {
            if (!(o->pass_token = need("a named pipe"))) return EXIT_USAGE;
        } else if (!std::strcmp(a, "--wait-token")) {
            if (!(o->wait_token = need("a named pipe"))) return EXIT_USAGE;
        } else if (!std::strcmp(a, "--demo")) {
            o->demo = true;
        } else if (!std::strcmp(a, "--in-place")) {
            o->in_place = true;
        } else if (!std::strcmp(a, "--no-latency-compensation")) {
            o->latency_comp = false;
        } else if (!std::strcmp(a, "--flush")) {
            o->use_flush = true;
        } else if (!std::strcmp(a, "--log")) {
            o->print_log = true;
        } else if (!std::strcmp(a, "--stages")) {
            if (!(v = need("a count")) || !parse_u32(v, 1, RACK_MAX_STAGES, &o->stages))
                return fail(EXIT_USAGE, "--stages takes a number 1..%u", RACK_MAX_STAGES);
        } else if (!std::strcmp(a, "--tracks")) {
            if (!(v = need("a count")) || !parse_u32(v, 1, RACK_MAX_TRACKS, &o->tracks))
                return fail(EXIT_USAGE, "--tracks takes a number 1..%u", RACK_MAX_TRACKS);
        } else if (!std::strcmp(a, "--block")) {
            if (!(v = need("a frame count")) || !parse_u32(v, 1, 65536, &o->block))
                return fail(EXIT_USAGE, "--block takes a number 1..65536");
        } else if (!std::strcmp(a, "--chunk")) {
            if (!(v = need("a byte count")) || !parse_u32(v, 1, 1u << 30, &o->chunk))
                return fail(EXIT_USAGE, "--chunk takes a positive number of bytes");
        } else if (!std::strcmp(a, "--channel")) {
            if (!(v = need("a channel")) || !parse_u32(v, 1, 16, &o->channel))
                return fail(EXIT_USAGE, "--channel takes 1..16");
        } else if (!std::strcmp(a, "--rate")) {
            if (!(v = need("a rate")) || !parse_f64(v, 1000, 768000, &o->rate))
                return fail(EXIT_USAGE, "--rate takes a sample rate 1000..768000");
        } else if (!std::strcmp(a, "--seconds")) {
            if (!(v = need("a duration")) || !parse_f64(v, 0, 1e6, &o->seconds))
                return fail(EXIT_USAGE, "--seconds takes a duration in seconds");
        } else if (!std::strcmp(a, "--frames")) {
            if (!(v = need("a count")) || !parse_u32(v, 1, 1u << 30, &o->gui.frames))
                return fail(EXIT_USAGE, "--frames takes a positive number");
        } else if (!std::strcmp(a, "--screenshot")) {
            if (!(o->gui.screenshot = need("a file"))) return EXIT_USAGE;
        } else if (!std::strcmp(a, "--zoom")) {
            if (!(v = need("a factor")) || !parse_f64(v, 0.1, 10, &o->gui.zoom))
                return fail(EXIT_USAGE, "--zoom takes a factor 0.1..10");
        } else if (!std::strcmp(a, "--scale")) {
            if (!(v = need("a factor")) || !parse_f64(v, 0.25, 8, &o->gui.scale))
                return fail(EXIT_USAGE, "--scale takes a factor 0.25..8");
        } else if (!std::strcmp(a, "--set")) {
            if (!(v = need("[STAGE:]NAME=VALUE"))) return EXIT_USAGE;
            if (o->n_settings >= MAX_SETTINGS) return fail(EXIT_USAGE, "too many --set options");
            if (!parse_setting(v, &o->settings[o->n_settings], err, sizeof(err)))
                return fail(EXIT_USAGE, "%s", err);
            ++o->n_settings;
        } else if (!std::strcmp(a, "--cc")) {
            if (!(v = need("CC=VALUE"))) return EXIT_USAGE;
            unsigned cc = 0, val = 0;
            char tail = 0;
            if (std::sscanf(v, "%u=%u%c", &cc, &val, &tail) != 2 || cc > 127 || val > 127)
                return fail(EXIT_USAGE, "--cc takes CC=VALUE with both 0..127, not \"%s\"", v);
            if (o->n_ccs >= 128) return fail(EXIT_USAGE, "too many --cc options");
            o->ccs[o->n_ccs++] = {uint8_t(cc), uint8_t(val)};
        } else if (a[0] == '-' && a[1] && !(a[1] >= '0' && a[1] <= '9') && a[1] != '.') {
            return fail(EXIT_USAGE, "unknown option %s (see lodrin-host --help)", a);
        } else {
            if (o->n_positional >= 4) return fail(EXIT_USAGE, "unexpected argument %s", a);
            o->positional[o->n_positional++] = a;
        }
    }
    if (!o->module) o->module = std::getenv("LODRIN_CLAP_MODULE");
    if (!o->module || !*o->module) o->module = LODRIN_HOST_DEFAULT_MODULE;
    if (!*o->module) return fail(EXIT_USAGE, "no module: pass --module PATH");
    return 0;
}

int finish(host_rack* r, int code) {
    rack_close(r);
    host_print_rule_errors();
    uint32_t errors = host_rule_error_count();
    if (errors) {
        std::fprintf(stderr, "lodrin-host: the plug-in broke %u CLAP rule%s\n", errors,
                     errors == 1 ? "" : "s");
        if (code == 0) code = EXIT_RULES;
    }
    return code;
}

double db(double lin) {
    return lin > 1e-10 ? 20.0 * std::log10(lin) : -200.0;
}

// ---- render ----

struct stage_meters {
    double min_gain = 1.0;
    double true_peak = 0.0;
    double momentary_max = -100.0;
    double short_term_max = -100.0;
    double integrated = -100.0;
};

int cmd_render(options& o) {
    char err[1024];
    if (!o.output) return fail(EXIT_USAGE, "render needs -o OUT.wav");
    if (!o.input && !o.demo) return fail(EXIT_USAGE, "render needs -i IN.wav or --demo");
    if (o.input && o.demo) return fail(EXIT_USAGE, "render takes -i or --demo, not both");

    wav_reader* in = nullptr;
    double rate = o.rate;
    int64_t total = 0;
    if (o.input) {
        in = wav_open_read(o.input, err, sizeof(err));
        if (!in) return fail(EXIT_BAD_INPUT, "%s", err);
        rate = wav_rate(in);
        total = wav_frames(in);
    } else {
        total = demo_frames(rate);
    }
    // --seconds renders only the start of the input.
    if (o.seconds >= 0 && (total < 0 || total > int64_t(o.seconds * rate))) total = int64_t(o.seconds * rate);

    auto* automation = static_cast<param_setting*>(std::calloc(MAX_AUTOMATION, sizeof(param_setting)));
    int32_t n_auto = 0;
    if (o.automation) {
        n_auto = read_automation(o.automation, rate, automation, MAX_AUTOMATION, err, sizeof(err));
        if (n_auto < 0) {
            std::free(automation);
            wav_close_read(in);
            return fail(EXIT_BAD_INPUT, "%s", err);
        }
    }

    host_rack r{};
    r.in_place = o.in_place;
    if (!rack_open(&r, o.module, o.plugin_id, o.stages, 1, err, sizeof(err))) {
        std::free(automation);
        wav_close_read(in);
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    }
    for (uint32_t i = 0; i < r.n_stages; ++i)
        r.stages[i]->print_log = o.print_log;
    // Every automation point must name a real parameter and value before any audio is written.
    for (int32_t k = 0; k < n_auto; ++k) {
        uint32_t from = automation[k].stage ? automation[k].stage - 1 : 0;
        int32_t p;
        double v;
        if (!rack_resolve(&r, &automation[k], from, &p, &v, err, sizeof(err))) {
            std::free(automation);
            wav_close_read(in);
            return finish(&r, fail(EXIT_BAD_INPUT, "automation: %s", err));
        }
    }
    if (!rack_apply(&r, o.settings, o.n_settings, err, sizeof(err))) {
        std::free(automation);
        wav_close_read(in);
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    }
    if (!rack_activate(&r, rate, o.block, err, sizeof(err))) {
        std::free(automation);
        wav_close_read(in);
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    }
    wav_writer* out = wav_open_write(o.output, rate, 2, err, sizeof(err));
    if (!out) {
        std::free(automation);
        wav_close_read(in);
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    }

    uint32_t latency = o.latency_comp ? rack_track_latency(&r, 0) : 0;
    uint32_t block = o.block;
    float* bufs[4];
    for (auto& b : bufs)
        b = static_cast<float*>(std::calloc(block, sizeof(float)));
    float* const ins[1][2] = {{bufs[0], bufs[1]}};
    float* const outs[1][2] = {{bufs[2], bufs[3]}};

    stage_meters meters[RACK_MAX_STAGES];
    uint64_t alloc_before = alloc_counter_count();
    int64_t t0 = host_os_clock_ns();
    int64_t pos = 0;           // input frames consumed
    int64_t written = 0;       // output frames written
    int64_t to_skip = latency; // output frames dropped to undo the chain's delay
    int64_t tail = latency;    // silence fed after the input to flush the delay
    int32_t next_auto = 0;
    bool ok = true;
    int last_progress = -1;
    bool long_file = total > int64_t(rate * 20);
    for (;;) {
        uint32_t n = 0;
        if (in) {
            uint32_t want = block;
            if (total >= 0 && total - pos < int64_t(want)) want = uint32_t(std::max<int64_t>(0, total - pos));
            n = want ? wav_read(in, bufs[0], bufs[1], want) : 0;
        } else if (pos < total) {
            n = uint32_t(std::min<int64_t>(block, total - pos));
            demo_render(rate, uint64_t(pos), n, bufs[0], bufs[1]);
        }
        if (n == 0) {
            if (tail <= 0) break;
            n = uint32_t(std::min<int64_t>(block, tail));
            std::memset(bufs[0], 0, sizeof(float) * n);
            std::memset(bufs[1], 0, sizeof(float) * n);
            tail -= n;
        }
        // One call takes at most HOST_EVENTS_MAX events a stage: denser automation goes to several
        // calls over the block, each cut at the time of the first point that would not fit.
        for (uint32_t done = 0; ok && done < n;) {
            uint32_t end = n;
            uint32_t count[RACK_MAX_STAGES] = {};
            int32_t k = next_auto;
            for (; k < n_auto && automation[k].frame < pos + n; ++k) {
                const param_setting& a = automation[k];
                const uint32_t from = a.stage ? a.stage - 1 : 0, to = a.stage ? a.stage : r.n_stages;
                bool fits = true;
                for (uint32_t s = from; s < to; ++s)
                    fits = fits && count[s] < HOST_EVENTS_MAX;
                if (!fits) {
                    const uint32_t at = uint32_t(a.frame > pos ? a.frame - pos : 0);
                    if (at > done) {
                        end = at;
                        break;
                    }
                    ok = false;
                    fail(EXIT_BAD_INPUT, "automation: more than %u points at frame %lld for one stage",
                         HOST_EVENTS_MAX, static_cast<long long>(pos + done));
                    break;
                }
                for (uint32_t s = from; s < to; ++s)
                    ++count[s];
            }
            if (!ok) break;
            for (; next_auto < k; ++next_auto) {
                const param_setting& a = automation[next_auto];
                const uint32_t from = a.stage ? a.stage - 1 : 0, to = a.stage ? a.stage : r.n_stages;
                const uint32_t at = uint32_t(a.frame > pos ? a.frame - pos : 0);
                const uint32_t t = at > done ? at - done : 0;
                for (uint32_t s = from; s < to; ++s) {
                    int32_t p;
                    double v;
                    if (rack_resolve(&r, &a, s, &p, &v, err, sizeof(err)))
                        host_events_push_param(r.events[s], t, r.stages[s]->param[p].id, v);
                }
            }
            float* const sub_ins[1][2] = {{ins[0][0] + done, ins[0][1] + done}};
            float* const sub_outs[1][2] = {{outs[0][0] + done, outs[0][1] + done}};
            rack_process(&r, sub_ins, sub_outs, end - done);
            done = end;
        }
        if (!ok) break;
        pos += n;
        for (uint32_t s = 0; s < r.n_stages; ++s) {
            host_stage* st = r.stages[s];
            if (!st->debug) continue;
            stage_meters& m = meters[s];
            m.min_gain = std::min(m.min_gain, st->debug->debug_get_meter(st->plugin, DEBUG_METER_MIN_GAIN));
            m.true_peak =
                std::max(m.true_peak, st->debug->debug_get_meter(st->plugin, DEBUG_METER_OUTPUT_TRUE_PEAK));
            m.momentary_max =
                std::max(m.momentary_max, st->debug->debug_get_meter(st->plugin, DEBUG_METER_MOMENTARY));
            m.short_term_max =
                std::max(m.short_term_max, st->debug->debug_get_meter(st->plugin, DEBUG_METER_SHORT_TERM));
            m.integrated = st->debug->debug_get_meter(st->plugin, DEBUG_METER_INTEGRATED);
        }
        uint32_t skip = uint32_t(std::min<int64_t>(to_skip, n));
        to_skip -= skip;
        if (n > skip) {
            if (!wav_write(out, bufs[2] + skip, bufs[3] + skip, n - skip)) {
                ok = false;
                fail(EXIT_BAD_INPUT, "writing %s failed (disk full?)", o.output);
                break;
            }
            written += n - skip;
        }
        if (long_file && total > 0) {
            int pct = int(100 * std::min<int64_t>(pos, total) / total);
            if (pct / 10 != last_progress / 10) {
                std::fprintf(stderr, "progress: %3d%% (%.1f of %.1f s)\n", pct,
                             double(std::min<int64_t>(pos, total)) / rate, double(total) / rate);
                last_progress = pct;
            }
        }
    }
    int64_t t1 = host_os_clock_ns();
    uint64_t allocs = alloc_counter_count() - alloc_before;
    if (!wav_close_write(out) && ok) {
        ok = false;
        fail(EXIT_BAD_INPUT, "finishing %s failed", o.output);
    }
    wav_close_read(in);
    for (auto& b : bufs)
        std::free(b);
    std::free(automation);

    double audio_s = double(written) / rate;
    double wall_s = double(t1 - t0) * 1e-9;
    std::printf("rendered %.2f s (%lld frames at %.0f Hz) through %u stage%s in %.3f s: %.1fx real time\n",
                audio_s, (long long)written, rate, r.n_stages, r.n_stages == 1 ? "" : "s", wall_s,
                wall_s > 0 ? audio_s / wall_s : 0.0);
    std::printf("latency %u samples%s\n", rack_track_latency(&r, 0), o.latency_comp ? " (compensated)" : "");
    for (uint32_t s = 0; s < r.n_stages; ++s) {
        host_stage* st = r.stages[s];
        if (!st->debug) {
            std::printf("stage %u: no meters (the plug-in offers no %s)\n", s + 1, LODRIN_EXT_DEBUG);
            continue;
        }
        const stage_meters& m = meters[s];
        std::printf("stage %u: lowest gain %.2f dB, output true peak %.2f dBTP, integrated %.1f LUFS, "
                    "short-term max %.1f LUFS, momentary max %.1f LUFS\n",
                    s + 1, db(m.min_gain), db(m.true_peak), m.integrated, m.short_term_max, m.momentary_max);
    }
    if (alloc_counter_available())
        std::printf("audio-thread allocations: %llu\n", (unsigned long long)allocs);
    std::printf("wrote %s\n", o.output);
    return finish(&r, ok ? 0 : EXIT_BAD_INPUT);
}

// ---- session ----

volatile std::sig_atomic_t stop_requested = 0;

void on_signal(int) {
    stop_requested = 1;
}

void print_records(host_rack& r) {
    for (uint32_t s = 0; s < r.n_stages; ++s) {
        host_event_record e;
        while (host_stage_take_record(r.stages[s], &e)) {
            switch (e.type) {
                case CLAP_EVENT_PARAM_GESTURE_BEGIN:
                    std::printf("event %u gesture-begin %u\n", s + 1, e.param_id);
                    break;
                case CLAP_EVENT_PARAM_GESTURE_END:
                    std::printf("event %u gesture-end %u\n", s + 1, e.param_id);
                    break;
                case CLAP_EVENT_PARAM_VALUE:
                    std::printf("event %u value %u %.17g\n", s + 1, e.param_id, e.value);
                    break;
                default:
                    std::printf("event %u type %u\n", s + 1, e.type);
                    break;
            }
        }
    }
}

struct seen_counts {
    uint32_t dirty, flush, restart, rescan, callback;
};

void print_counter_changes(host_rack& r, seen_counts* seen) {
    for (uint32_t s = 0; s < r.n_stages; ++s) {
        host_stage* st = r.stages[s];
        seen_counts& c = seen[s];
        for (uint32_t n = st->n_mark_dirty.load(); c.dirty < n; ++c.dirty)
            std::printf("dirty %u\n", s + 1);
        for (uint32_t n = st->n_request_flush.load(); c.flush < n; ++c.flush)
            std::printf("flush-request %u\n", s + 1);
        for (uint32_t n = st->n_restarts; c.restart < n; ++c.restart)
            std::printf("restart %u latency %u\n", s + 1, st->latency);
        for (uint32_t n = st->n_rescan.load(); c.rescan < n; ++c.rescan)
            std::printf("rescan %u %u\n", s + 1, st->last_rescan_flags.load());
    }
}

void print_stage_report(host_rack& r, uint32_t s) {
    host_stage* st = r.stages[s];
    uint32_t count = st->debug ? st->debug->debug_group_instance_count(st->plugin) : 0;
    uint32_t place = st->debug ? st->debug->debug_group_position(st->plugin) : 0;
    std::printf("stage %u: group-count %u position %u latency %u callbacks %u restarts %u flushes %u "
                "dirty %u rescans %u process %u\n",
                s + 1, count, place, st->latency, st->n_on_main_thread, st->n_restarts, st->n_flushes,
                st->n_mark_dirty.load(), st->n_rescan.load(), st->n_process);
}

// One command line of a session. Returns false for quit.
bool session_command(host_rack& r, char* line, bool* save_ok) {
    char err[1024];
    char word[32] = "";
    int used = 0;
    if (std::sscanf(line, "%31s %n", word, &used) < 1) return true;
    const char* rest = line + used;
    uint32_t s = 0;
    if (!std::strcmp(word, "quit")) return false;
    if (!std::strcmp(word, "help")) {
        std::printf("commands: count | report | value S NAME | set [S:]NAME=VALUE | cc S CC VALUE | "
                    "learn S NAME | save S FILE | load S FILE | quit\n");
    } else if (!std::strcmp(word, "count")) {
        for (uint32_t i = 0; i < r.n_stages; ++i) {
            host_stage* st = r.stages[i];
            uint32_t n = st->debug ? st->debug->debug_group_instance_count(st->plugin) : 0;
            uint32_t p = st->debug ? st->debug->debug_group_position(st->plugin) : 0;
            std::printf("count %u %u %u\n", i + 1, n, p);
        }
    } else if (!std::strcmp(word, "report")) {
        for (uint32_t i = 0; i < r.n_stages; ++i)
            print_stage_report(r, i);
    } else if (!std::strcmp(word, "set")) {
        param_setting ps;
        if (!parse_setting(rest, &ps, err, sizeof(err)) || !rack_apply(&r, &ps, 1, err, sizeof(err)))
            std::printf("error %s\n", err);
        else
            std::printf("ok\n");
    } else if (!std::strcmp(word, "value")) {
        char name[96];
        if (std::sscanf(rest, "%u %95[^\n]", &s, name) != 2 || s < 1 || s > r.n_stages) {
            std::printf("error usage: value STAGE NAME\n");
        } else {
            host_stage* st = r.stages[s - 1];
            int32_t p = host_stage_param_by_name(st, name);
            double v = 0;
            char text[128];
            if (p < 0 || !host_stage_get_value(st, uint32_t(p), &v)) {
                std::printf("error unknown parameter \"%s\"\n", name);
            } else {
                host_stage_value_text(st, uint32_t(p), v, text, sizeof(text));
                std::printf("value %u %s %.17g %s\n", s, st->param[p].name, v, text);
            }
        }
    } else if (!std::strcmp(word, "cc")) {
        unsigned cc = 0, val = 0;
        if (std::sscanf(rest, "%u %u %u", &s, &cc, &val) != 3 || s < 1 || s > r.n_stages || cc > 127 ||
            val > 127)
            std::printf("error usage: cc STAGE CC VALUE\n");
        else if (host_events_push_midi(r.events[s - 1], 0, 0xB0, uint8_t(cc), uint8_t(val)))
            std::printf("ok\n");
    } else if (!std::strcmp(word, "learn")) {
        char name[96];
        if (std::sscanf(rest, "%u %95[^\n]", &s, name) != 2 || s < 1 || s > r.n_stages) {
            std::printf("error usage: learn STAGE NAME\n");
        } else {
            host_stage* st = r.stages[s - 1];
            int32_t p = host_stage_param_by_name(st, name);
            if (p < 0 || !st->debug) {
                std::printf("error cannot arm \"%s\"\n", name);
            } else {
                st->debug->debug_arm_midi_learn(st->plugin, p);
                std::printf("ok\n");
            }
        }
    } else if (!std::strcmp(word, "save") || !std::strcmp(word, "load")) {
        char file[512];
        if (std::sscanf(rest, "%u %511[^\n]", &s, file) != 2 || s < 1 || s > r.n_stages) {
            std::printf("error usage: %s STAGE FILE\n", word);
        } else if (word[0] == 's') {
            host_ostream os;
            bool ok = host_stage_save(r.stages[s - 1], &os, 0);
            FILE* f = ok ? std::fopen(file, "wb") : nullptr;
            ok = f && std::fwrite(os.data, 1, os.size, f) == os.size;
            if (f) ok = (std::fclose(f) == 0) && ok;
            host_ostream_free(&os);
            std::printf(ok ? "ok\n" : "error save failed\n");
            *save_ok = ok;
        } else {
            FILE* f = std::fopen(file, "rb");
            static uint8_t buf[1 << 20];
            size_t n = f ? std::fread(buf, 1, sizeof(buf), f) : 0;
            if (f) std::fclose(f);
            bool ok = f && host_stage_load(r.stages[s - 1], buf, n, 0);
            std::printf(ok ? "ok\n" : "error load refused\n");
        }
    } else {
        std::printf("error unknown command \"%s\" (try help)\n", word);
    }
    return true;
}

int cmd_session(options& o) {
    char err[1024];
    host_rack r{};
    if (!rack_open(&r, o.module, o.plugin_id, o.stages, o.tracks, err, sizeof(err)))
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    for (uint32_t i = 0; i < r.n_stages; ++i)
        r.stages[i]->print_log = o.print_log;
    if (!rack_apply(&r, o.settings, o.n_settings, err, sizeof(err)))
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    if (!rack_activate(&r, o.rate, o.block, err, sizeof(err)))
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));

    // Lock-step with another session: the waiting side processes one block per token the passing side
    // sends after each of its blocks, so their calls come in one order with equal steady times, as
    // two processes of one serial chain do.
    int pass_fd = -1, wait_fd = -1;
    if (o.pass_token && (pass_fd = host_os_token_open(o.pass_token)) < 0)
        return finish(&r, fail(EXIT_BAD_INPUT, "cannot open the token pipe %s", o.pass_token));
    if (o.wait_token && (wait_fd = host_os_token_open(o.wait_token)) < 0)
        return finish(&r, fail(EXIT_BAD_INPUT, "cannot open the token pipe %s", o.wait_token));

    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    uint32_t block = o.block;
    float* io[RACK_MAX_TRACKS][4];
    float* ins[RACK_MAX_TRACKS][2];
    float* outs[RACK_MAX_TRACKS][2];
    for (uint32_t t = 0; t < r.n_tracks; ++t) {
        for (auto& b : io[t])
            b = static_cast<float*>(std::calloc(block, sizeof(float)));
        ins[t][0] = io[t][0];
        ins[t][1] = io[t][1];
        outs[t][0] = io[t][2];
        outs[t][1] = io[t][3];
    }
    auto* seen = static_cast<seen_counts*>(std::calloc(RACK_MAX_STAGES, sizeof(seen_counts)));
    uint32_t demo_len = demo_frames(o.rate);
    uint64_t alloc_before = alloc_counter_count();
    int64_t period = int64_t(double(block) * 1e9 / o.rate);
    int64_t start = host_os_clock_ns();
    int64_t next = start;
    int64_t end = o.seconds >= 0 ? start + int64_t(o.seconds * 1e9) : INT64_MAX;
    bool stdin_open = true;
    bool save_ok = true;
    uint64_t frame = 0;
    char line[4096];
    size_t line_len = 0;
    bool ready_printed = false;
    for (;;) {
        if (stop_requested) break;
        int64_t now = host_os_clock_ns();
        if (now >= end) break;
        bool due = wait_fd >= 0 ? host_os_token_take(wait_fd, 0) : now >= next;
        if (due) {
            for (uint32_t t = 0; t < r.n_tracks; ++t)
                demo_render(o.rate, (frame + uint64_t(t) * 12000) % demo_len, block, ins[t][0], ins[t][1]);
            rack_process(&r, ins, outs, block);
            if (pass_fd >= 0) host_os_token_pass(pass_fd);
            frame += block;
            next += period;
            // After a stall, carry on from now rather than catching up with a burst.
            if (now - next > 4 * period) next = now + period;
            if (!ready_printed) {
                std::printf("ready %u %u\n", host_os_pid(), r.n_stages);
                ready_printed = true;
            }
            print_records(r);
            print_counter_changes(r, seen);
            std::fflush(stdout);
            continue;
        }
        int wait_ms = wait_fd >= 0 ? 1 : int((next - now) / 1000000);
        // Commands arrive as lines on stdin, read raw (stdio's buffer would hide lines from poll).
        char* nl = static_cast<char*>(std::memchr(line, '\n', line_len));
        if (nl) {
            *nl = 0;
            bool go_on = session_command(r, line, &save_ok);
            size_t used = size_t(nl - line) + 1;
            std::memmove(line, line + used, line_len - used);
            line_len -= used;
            rack_pump(&r);
            print_records(r);
            print_counter_changes(r, seen);
            std::fflush(stdout);
            if (!go_on) break;
        } else if (stdin_open && host_os_stdin_ready(wait_ms)) {
            if (line_len + 1 >= sizeof(line)) line_len = 0; // an overlong line is dropped
            long got = host_os_stdin_read(line + line_len, sizeof(line) - 1 - line_len);
            if (got <= 0) {
                stdin_open = false;
                if (o.seconds < 0) break; // end of commands ends a session without a duration
                continue;
            }
            line_len += size_t(got);
        } else if (!stdin_open) {
            host_os_sleep_ns(wait_fd >= 0 ? 1000000 : next - now);
        }
    }
    uint64_t allocs = alloc_counter_count() - alloc_before;
    print_records(r);
    print_counter_changes(r, seen);
    for (uint32_t i = 0; i < r.n_stages; ++i)
        print_stage_report(r, i);
    std::printf("peak-rss-kib %llu\n", (unsigned long long)host_os_peak_rss_kib());
    if (alloc_counter_available())
        std::printf("audio-thread allocations: %llu\n", (unsigned long long)allocs);
    std::fflush(stdout);
    for (uint32_t t = 0; t < r.n_tracks; ++t)
        for (auto& b : io[t])
            std::free(b);
    std::free(seen);
    if (pass_fd >= 0) host_os_close_token(pass_fd);
    if (wait_fd >= 0) host_os_close_token(wait_fd);
    return finish(&r, 0);
}

// ---- state ----

int cmd_state(options& o) {
    char err[1024];
    if (o.n_positional != 2 || (std::strcmp(o.positional[0], "save") && std::strcmp(o.positional[0], "load")))
        return fail(EXIT_USAGE, "usage: lodrin-host state save FILE | state load FILE");
    bool save = !std::strcmp(o.positional[0], "save");
    const char* file = o.positional[1];

    // Read (or check the writability of) the file before loading the module.
    uint8_t* data = nullptr;
    size_t size = 0;
    if (!save) {
        FILE* f = std::fopen(file, "rb");
        if (!f) return fail(EXIT_BAD_INPUT, "cannot read state file %s: %s", file, std::strerror(errno));
        size_t cap = 0;
        for (;;) {
            if (size == cap) {
                cap = cap ? cap * 2 : 4096;
                if (cap > (64u << 20)) {
                    std::fclose(f);
                    std::free(data);
                    return fail(EXIT_BAD_INPUT, "state file %s is larger than 64 MiB", file);
                }
                data = static_cast<uint8_t*>(std::realloc(data, cap));
            }
            size_t n = std::fread(data + size, 1, cap - size, f);
            size += n;
            if (n == 0) break;
        }
        if (std::ferror(f)) {
            int e = errno;
            std::fclose(f);
            std::free(data);
            return fail(EXIT_BAD_INPUT, "cannot read state file %s: %s", file, std::strerror(e));
        }
        std::fclose(f);
    }
    host_rack r{};
    if (!rack_open(&r, o.module, o.plugin_id, 1, 1, err, sizeof(err))) {
        std::free(data);
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    }
    host_stage* st = r.stages[0];
    st->print_log = o.print_log;
    if (!st->state) {
        std::free(data);
        return finish(&r, fail(EXIT_BAD_INPUT, "the plug-in offers no clap.state"));
    }
    int code = 0;
    if (save) {
        if (!rack_apply(&r, o.settings, o.n_settings, err, sizeof(err)))
            return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    } else {
        if (!host_stage_load(st, data, size, o.chunk)) {
            std::free(data);
            return finish(&r, fail(EXIT_BAD_INPUT,
                                   "state file %s was refused by the plug-in (not a valid %s state)", file,
                                   st->plugin->desc->name));
        }
        std::free(data);
        data = nullptr;
        std::printf("loaded %s (%zu bytes)\n", file, size);
        if (!st->n_rescan.load())
            std::printf("note: the plug-in asked for no parameter rescan after the load\n");
        rack_pump(&r);
        for (uint32_t i = 0; i < st->n_params; ++i) {
            double v = 0;
            char text[128];
            if (!host_stage_get_value(st, i, &v)) continue;
            host_stage_value_text(st, i, v, text, sizeof(text));
            std::printf("%s = %.17g (%s)\n", st->param[i].name, v, text);
        }
    }
    const char* out_path = save ? file : o.save_again;
    if (out_path) {
        host_ostream os;
        if (!host_stage_save(st, &os, o.chunk)) {
            host_ostream_free(&os);
            host_rule_error("stage 1: state save failed");
            return finish(&r, fail(EXIT_BAD_INPUT, "the plug-in failed to save its state"));
        }
        FILE* f = std::fopen(out_path, "wb");
        bool ok = f && std::fwrite(os.data, 1, os.size, f) == os.size;
        if (f) ok = (std::fclose(f) == 0) && ok;
        if (!ok)
            code = fail(EXIT_BAD_INPUT, "cannot write state file %s: %s", out_path, std::strerror(errno));
        else
            std::printf("saved %s (%zu bytes)\n", out_path, os.size);
        host_ostream_free(&os);
    }
    std::free(data);
    return finish(&r, code);
}

// ---- params ----

int cmd_params(options& o) {
    char err[1024];
    const char* what = o.n_positional ? o.positional[0] : "list";
    bool list = !std::strcmp(what, "list"), values = !std::strcmp(what, "values");
    bool to_text = !std::strcmp(what, "text"), to_value = !std::strcmp(what, "value");
    if (!(list || values || to_text || to_value) || ((to_text || to_value) && o.n_positional != 3) ||
        ((list || values) && o.n_positional > 1))
        return fail(EXIT_USAGE,
                    "usage: lodrin-host params list | values | text NAME VALUE | value NAME TEXT");
    host_rack r{};
    if (!rack_open(&r, o.module, o.plugin_id, 1, 1, err, sizeof(err)))
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    host_stage* st = r.stages[0];
    if (!st->params) return finish(&r, fail(EXIT_BAD_INPUT, "the plug-in offers no clap.params"));
    if (!rack_apply(&r, o.settings, o.n_settings, err, sizeof(err)))
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    int code = 0;
    if (list) {
        std::printf("%u parameters\n", st->n_params);
        for (uint32_t i = 0; i < st->n_params; ++i) {
            const clap_param_info& p = st->param[i];
            std::printf("%2u id %3u \"%s\" min %g max %g default %g flags 0x%x\n", i, p.id, p.name,
                        p.min_value, p.max_value, p.default_value, p.flags);
        }
    } else if (values) {
        for (uint32_t i = 0; i < st->n_params; ++i) {
            double v = 0;
            char text[128];
            if (!host_stage_get_value(st, i, &v)) continue;
            host_stage_value_text(st, i, v, text, sizeof(text));
            std::printf("%s = %.17g (%s)\n", st->param[i].name, v, text);
        }
    } else {
        int32_t p = host_stage_param_by_name(st, o.positional[1]);
        if (p < 0) {
            char names[1024];
            rack_param_names(&r, names, sizeof(names));
            return finish(&r, fail(EXIT_BAD_INPUT, "unknown parameter \"%s\" (parameters: %s)",
                                   o.positional[1], names));
        }
        if (to_text) {
            double v = 0;
            if (!parse_f64(o.positional[2], -1e300, 1e300, &v))
                return finish(&r, fail(EXIT_BAD_INPUT, "\"%s\" is not a number", o.positional[2]));
            char text[256];
            if (!st->params->value_to_text(st->plugin, st->param[p].id, v, text, sizeof(text)))
                return finish(&r, fail(EXIT_BAD_INPUT, "the plug-in has no text for %g", v));
            std::printf("%s\n", text);
        } else {
            double v = 0;
            if (!st->params->text_to_value(st->plugin, st->param[p].id, o.positional[2], &v))
                code =
                    fail(EXIT_BAD_INPUT, "\"%s\" is not a value of %s", o.positional[2], st->param[p].name);
            else
                std::printf("%.17g\n", v);
        }
    }
    return finish(&r, code);
}

// ---- midi ----

int cmd_midi(options& o) {
    char err[1024];
    if (!o.n_ccs && !o.learn)
        return fail(EXIT_USAGE, "midi needs --cc CC=VALUE (and optionally --learn NAME)");
    host_rack r{};
    if (!rack_open(&r, o.module, o.plugin_id, 1, 1, err, sizeof(err)))
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    host_stage* st = r.stages[0];
    if (!rack_apply(&r, o.settings, o.n_settings, err, sizeof(err)))
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    if (o.learn) {
        int32_t p = host_stage_param_by_name(st, o.learn);
        if (p < 0) return finish(&r, fail(EXIT_BAD_INPUT, "unknown parameter \"%s\"", o.learn));
        if (!st->debug)
            return finish(&r,
                          fail(EXIT_BAD_INPUT, "the plug-in offers no %s to arm learning", LODRIN_EXT_DEBUG));
        st->debug->debug_arm_midi_learn(st->plugin, p);
    }
    double before[HOST_MAX_PARAMS];
    for (uint32_t i = 0; i < st->n_params; ++i)
        host_stage_get_value(st, i, &before[i]);
    uint8_t status = uint8_t(0xB0 | (o.channel - 1));
    if (o.use_flush) {
        for (uint32_t k = 0; k < o.n_ccs; ++k) {
            host_events_clear(r.events[0]);
            host_events_push_midi(r.events[0], 0, status, o.ccs[k].number, o.ccs[k].value);
            host_stage_flush(st, r.events[0]);
            host_events_clear(r.events[0]);
        }
    } else {
        if (!rack_activate(&r, o.rate, o.block, err, sizeof(err)))
            return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
        float* b[4];
        for (auto& x : b)
            x = static_cast<float*>(std::calloc(o.block, sizeof(float)));
        float* const ins[1][2] = {{b[0], b[1]}};
        float* const outs[1][2] = {{b[2], b[3]}};
        // One block per message, so that every change is its own host event.
        for (uint32_t k = 0; k < o.n_ccs; ++k) {
            host_events_push_midi(r.events[0], 0, status, o.ccs[k].number, o.ccs[k].value);
            rack_process(&r, ins, outs, o.block);
        }
        for (auto& x : b)
            std::free(x);
    }
    host_event_record e;
    while (host_stage_take_record(st, &e))
        if (e.type == CLAP_EVENT_PARAM_VALUE) std::printf("event value %u %.17g\n", e.param_id, e.value);
    for (uint32_t i = 0; i < st->n_params; ++i) {
        double v = 0;
        if (!host_stage_get_value(st, i, &v) || v == before[i]) continue;
        char text[128];
        host_stage_value_text(st, i, v, text, sizeof(text));
        std::printf("%s = %.17g (%s)\n", st->param[i].name, v, text);
    }
    return finish(&r, 0);
}

// ---- gui ----

// What the gui host does each frame beyond the editor: session commands on stdin (and "rect SELECTOR
// N": the window-pixel rectangle of a widget of stage 1's editor, through the debug extension), and the
// events and marks the host received, as a session prints them.
struct gui_commands {
    bool stdin_open = true;
    char line[4096];
    size_t len = 0;
    seen_counts seen[RACK_MAX_STAGES];
};

void gui_each_frame(host_rack* r, void* ctx) {
    auto* c = static_cast<gui_commands*>(ctx);
    while (c->stdin_open && host_os_stdin_ready(0)) {
        if (c->len + 1 >= sizeof(c->line)) c->len = 0; // an overlong line is dropped
        const long got = host_os_stdin_read(c->line + c->len, sizeof(c->line) - 1 - c->len);
        if (got <= 0) {
            c->stdin_open = false; // no more commands; the editor stays until its end
            break;
        }
        c->len += size_t(got);
    }
    while (char* nl = static_cast<char*>(std::memchr(c->line, '\n', c->len))) {
        *nl = 0;
        unsigned sel = 0;
        int n = 0;
        host_stage* st = r->stages[0];
        if (std::sscanf(c->line, "rect %u %d", &sel, &n) == 2) {
            float rect[4] = {};
            if (st->debug && st->debug->debug_find_widget_rect(st->plugin, sel, n, rect))
                std::printf("rect %u %d %g %g %g %g\n", sel, n, rect[0], rect[1], rect[2], rect[3]);
            else
                std::printf("rect %u %d none\n", sel, n);
        } else {
            bool save_ok = true;
            if (!session_command(*r, c->line, &save_ok)) stop_requested = 1;
        }
        const size_t used = size_t(nl - c->line) + 1;
        std::memmove(c->line, c->line + used, c->len - used);
        c->len -= used;
    }
    print_records(*r);
    print_counter_changes(*r, c->seen);
    std::fflush(stdout);
}

int cmd_gui(options& o) {
    char err[1024];
    host_rack r{};
    if (!rack_open(&r, o.module, o.plugin_id, o.stages, 1, err, sizeof(err)))
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    for (uint32_t i = 0; i < r.n_stages; ++i)
        r.stages[i]->print_log = o.print_log;
    if (!rack_apply(&r, o.settings, o.n_settings, err, sizeof(err)) ||
        !rack_activate(&r, o.rate, o.block, err, sizeof(err)))
        return finish(&r, fail(EXIT_BAD_INPUT, "%s", err));
    // Ctrl+C closes the editor the way a DAW would (hide, destroy), so the checks still run.
    std::signal(SIGTERM, on_signal);
    std::signal(SIGINT, on_signal);
    o.gui.stop = &stop_requested;
    if (o.wait_token && (o.gui.wait_token = host_os_token_open(o.wait_token)) < 0)
        return finish(&r, fail(EXIT_BAD_INPUT, "cannot open the token pipe %s", o.wait_token));
    static gui_commands commands;
    o.gui.each_frame = gui_each_frame;
    o.gui.frame_ctx = &commands;
    err[0] = 0;
    const int rc = gui_run(&r, o.gui, err, sizeof(err));
    if (o.gui.wait_token >= 0) host_os_close_token(o.gui.wait_token);
    return finish(&r, rc ? fail(EXIT_BAD_INPUT, "%s", err) : 0);
}

} // namespace

int main(int argc, char** argv) {
    host_set_thread_role(HOST_THREAD_MAIN);
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h") ||
        !std::strcmp(argv[1], "help")) {
        std::fputs(usage_text, argc < 2 ? stderr : stdout);
        return argc < 2 ? EXIT_USAGE : 0;
    }
    static options o;
    const char* cmd = argv[1];
    int rc = parse_options(argc, argv, 2, &o);
    if (rc) return rc;
    if (!std::strcmp(cmd, "render")) return cmd_render(o);
    if (!std::strcmp(cmd, "session")) return cmd_session(o);
    if (!std::strcmp(cmd, "state")) return cmd_state(o);
    if (!std::strcmp(cmd, "params")) return cmd_params(o);
    if (!std::strcmp(cmd, "midi")) return cmd_midi(o);
    if (!std::strcmp(cmd, "gui")) return cmd_gui(o);
    return fail(EXIT_USAGE, "unknown command \"%s\" (commands: render, session, state, params, midi, gui)", cmd);
}
