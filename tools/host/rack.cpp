// The rack of stages behind every subcommand.
#include "rack.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

struct block_job {
    host_rack* rack;
    float* const (*in)[2];
    float* const (*out)[2];
    uint32_t frames;
};

// Audio thread: every track's stages in series. Stage k of a track reads what stage k-1 wrote; the
// first reads the track's input, the last writes the track's output.
void process_block(void* ctx) {
    auto* j = static_cast<block_job*>(ctx);
    host_rack* r = j->rack;
    uint32_t ch = r->channels;
    // Tracks are independent chains, as a DAW's worker threads run them: their order changes from
    // block to block (reversed on odd blocks), while the stages of one track always run in series.
    for (uint32_t tt = 0; tt < r->n_tracks; ++tt) {
        uint32_t t = (r->blocks & 1) ? r->n_tracks - 1 - tt : tt;
        uint32_t first = r->first_of_track[t], last = r->first_of_track[t + 1];
        float* src[2] = {j->in[t][0], j->in[t][1]};
        for (uint32_t k = first; k < last; ++k) {
            float* dst[2];
            if (k + 1 == last) {
                dst[0] = j->out[t][0];
                dst[1] = j->out[t][1];
            } else {
                float* const* pp = r->scratch[t][(k - first) & 1];
                dst[0] = pp[0];
                dst[1] = pp[1];
            }
            if (r->in_place) {
                // The host hands one set of buffers as input and output, as a DAW with an in-place pair does.
                for (uint32_t c = 0; c < ch; ++c)
                    if (dst[c] != src[c]) std::memmove(dst[c], src[c], sizeof(float) * j->frames);
                host_stage_process(r->stages[k], dst, ch, dst, ch, j->frames, r->steady, r->events[k]);
            } else {
                if (src[0] == dst[0]) {
                    // Out of place needs distinct buffers: go through the other scratch pair.
                    float* const* pp = r->scratch[t][((k - first) + 1) & 1];
                    for (uint32_t c = 0; c < ch; ++c)
                        std::memcpy(pp[c], src[c], sizeof(float) * j->frames);
                    src[0] = pp[0];
                    src[1] = pp[1];
                }
                host_stage_process(r->stages[k], src, ch, dst, ch, j->frames, r->steady, r->events[k]);
            }
            host_events_clear(r->events[k]);
            src[0] = dst[0];
            src[1] = dst[1];
        }
    }
}

} // namespace

void rack_param_names(host_rack* r, char* out, size_t cap) {
    size_t used = 0;
    out[0] = 0;
    if (!r->n_stages) return;
    host_stage* s = r->stages[0];
    for (uint32_t i = 0; i < s->n_params && used + 1 < cap; ++i) {
        int w = std::snprintf(out + used, cap - used, "%s%s", i ? ", " : "", s->param[i].name);
        if (w < 0) break;
        used += size_t(w);
    }
}

bool rack_open(host_rack* r, const char* module_path, const char* plugin_id, uint32_t n, uint32_t tracks,
               char* err, size_t cap) {
    if (n < 1 || n > RACK_MAX_STAGES) {
        std::snprintf(err, cap, "the number of stages must be 1..%u", RACK_MAX_STAGES);
        return false;
    }
    if (tracks < 1 || tracks > RACK_MAX_TRACKS || tracks > n) {
        std::snprintf(err, cap, "the number of tracks must be 1..%u and at most the number of stages",
                      RACK_MAX_TRACKS);
        return false;
    }
    if (!host_module_load(&r->module, module_path, err, cap)) return false;
    host_audio_start(&r->audio);
    r->n_tracks = tracks;
    r->channels = r->channels ? r->channels : 2;
    for (uint32_t t = 0; t <= tracks; ++t)
        r->first_of_track[t] = t * n / tracks;
    for (uint32_t i = 0; i < n; ++i) {
        auto* s = new (std::nothrow) host_stage();
        auto* ev = static_cast<host_input_events*>(std::malloc(sizeof(host_input_events)));
        if (!s || !ev) {
            delete s;
            std::free(ev);
            std::snprintf(err, cap, "out of memory");
            rack_close(r);
            return false;
        }
        host_events_init(ev);
        r->events[i] = ev;
        if (!host_stage_create(s, &r->module, plugin_id, i + 1, err, cap)) {
            delete s;
            rack_close(r);
            return false;
        }
        r->stages[r->n_stages++] = s;
    }
    return true;
}

bool rack_resolve(host_rack* r, const param_setting* s, uint32_t stage, int32_t* param, double* value,
                  char* err, size_t cap) {
    if (stage >= r->n_stages) {
        std::snprintf(err, cap, "stage %u does not exist (there are %u)", stage + 1, r->n_stages);
        return false;
    }
    host_stage* st = r->stages[stage];
    int32_t p = host_stage_param_by_name(st, s->name);
    if (p < 0) {
        char names[1024];
        rack_param_names(r, names, sizeof(names));
        std::snprintf(err, cap, "unknown parameter \"%s\" (parameters: %s)", s->name, names);
        return false;
    }
    double v = 0;
    if (!st->params->text_to_value(st->plugin, st->param[p].id, s->value, &v)) {
        std::snprintf(err, cap, "\"%s\" is not a value of %s (range %g..%g)", s->value, st->param[p].name,
                      st->param[p].min_value, st->param[p].max_value);
        return false;
    }
    if (!(v >= st->param[p].min_value && v <= st->param[p].max_value))
        host_rule_error("stage %u: text_to_value(\"%s\") gave %g outside %g..%g", st->number, s->value, v,
                        st->param[p].min_value, st->param[p].max_value);
    *param = p;
    *value = v;
    return true;
}

bool rack_apply(host_rack* r, const param_setting* s, uint32_t n, char* err, size_t cap) {
    for (uint32_t k = 0; k < n; ++k) {
        if (s[k].stage > r->n_stages) {
            std::snprintf(err, cap, "stage %u does not exist (there are %u)", s[k].stage, r->n_stages);
            return false;
        }
        uint32_t from = s[k].stage ? s[k].stage - 1 : 0;
        uint32_t to = s[k].stage ? s[k].stage : r->n_stages;
        for (uint32_t i = from; i < to; ++i) {
            int32_t p;
            double v;
            if (!rack_resolve(r, &s[k], i, &p, &v, err, cap)) return false;
            host_stage* st = r->stages[i];
            if (r->active) {
                host_events_push_param(r->events[i], 0, st->param[p].id, v);
            } else {
                host_input_events* ev = r->events[i];
                host_events_clear(ev);
                host_events_push_param(ev, 0, st->param[p].id, v);
                host_stage_flush(st, ev);
                host_events_clear(ev);
            }
        }
    }
    return true;
}

bool rack_activate(host_rack* r, double rate, uint32_t block, char* err, size_t cap) {
    if (!(rate >= 1000 && rate <= 768000) || block < 1 || block > 1u << 20) {
        std::snprintf(err, cap, "unusable sample rate %g or block size %u", rate, block);
        return false;
    }
    r->rate = rate;
    r->block = block;
    for (uint32_t t = 0; t < r->n_tracks; ++t)
        for (int b = 0; b < 2; ++b)
            for (int c = 0; c < 2; ++c) {
                r->scratch[t][b][c] = static_cast<float*>(std::calloc(block, sizeof(float)));
                if (!r->scratch[t][b][c]) {
                    std::snprintf(err, cap, "out of memory");
                    return false;
                }
            }
    for (uint32_t i = 0; i < r->n_stages; ++i) {
        if (!host_stage_activate(r->stages[i], rate, 1, block)) {
            std::snprintf(err, cap, "stage %u refused to activate at %g Hz with blocks of %u", i + 1, rate,
                          block);
            return false;
        }
    }
    r->active = true;
    return true;
}

void rack_process_block(host_rack* r, float* const (*in)[2], float* const (*out)[2], uint32_t frames) {
    block_job j{r, in, out, frames};
    host_audio_run(&r->audio, process_block, &j);
    r->steady += frames;
    ++r->blocks;
}

void rack_process(host_rack* r, float* const (*in)[2], float* const (*out)[2], uint32_t frames) {
    rack_process_block(r, in, out, frames);
    rack_pump(r);
}

void rack_pump(host_rack* r) {
    for (uint32_t i = 0; i < r->n_stages; ++i)
        host_stage_pump(r->stages[i], &r->audio);
}

uint32_t rack_track_latency(host_rack* r, uint32_t t) {
    uint32_t sum = 0;
    for (uint32_t k = r->first_of_track[t]; k < r->first_of_track[t + 1]; ++k)
        sum += r->stages[k]->latency;
    return sum;
}

void rack_close(host_rack* r) {
    for (uint32_t i = 0; i < r->n_stages; ++i) {
        host_stage_destroy(r->stages[i], &r->audio);
        delete r->stages[i];
        r->stages[i] = nullptr;
    }
    for (uint32_t i = 0; i < RACK_MAX_STAGES; ++i) {
        std::free(r->events[i]);
        r->events[i] = nullptr;
    }
    for (uint32_t t = 0; t < RACK_MAX_TRACKS; ++t)
        for (int b = 0; b < 2; ++b)
            for (int c = 0; c < 2; ++c) {
                std::free(r->scratch[t][b][c]);
                r->scratch[t][b][c] = nullptr;
            }
    r->n_stages = 0;
    r->active = false;
    host_audio_stop(&r->audio);
    host_module_unload(&r->module);
    host_print_rule_errors();
}
