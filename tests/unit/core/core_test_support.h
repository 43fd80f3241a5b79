// A small fake CLAP host for the core's unit tests: it records what the plug-in asks of it, offers
// its extensions selectively, and builds event lists, audio buffers and byte streams.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "clap/clap.h"
#include "debug_ext.h"
#include "plugin_instance.h"
#include "shm_test_support.h"

struct fake_host {
    clap_host host{};
    clap_host_params params{};
    clap_host_state state{};
    clap_host_log log{};
    bool offer_params = true, offer_state = true, offer_log = true;
    int callbacks = 0, restarts = 0, flushes = 0, dirty_marks = 0;
    std::vector<uint32_t> rescans;
    std::vector<std::string> logs;

    fake_host() {
        host.clap_version = CLAP_VERSION;
        host.host_data = this;
        host.name = "core-test";
        host.vendor = "test";
        host.url = "";
        host.version = "1";
        host.get_extension = [](const clap_host* h, const char* id) -> const void* {
            fake_host* self = of(h);
            if (self->offer_params && std::strcmp(id, CLAP_EXT_PARAMS) == 0) return &self->params;
            if (self->offer_state && std::strcmp(id, CLAP_EXT_STATE) == 0) return &self->state;
            if (self->offer_log && std::strcmp(id, CLAP_EXT_LOG) == 0) return &self->log;
            return nullptr;
        };
        host.request_restart = [](const clap_host* h) { ++of(h)->restarts; };
        host.request_process = [](const clap_host*) {};
        host.request_callback = [](const clap_host* h) { ++of(h)->callbacks; };
        params.rescan = [](const clap_host* h, uint32_t flags) { of(h)->rescans.push_back(flags); };
        params.clear = [](const clap_host*, clap_id, uint32_t) {};
        params.request_flush = [](const clap_host* h) { ++of(h)->flushes; };
        state.mark_dirty = [](const clap_host* h) { ++of(h)->dirty_marks; };
        log.log = [](const clap_host* h, clap_log_severity, const char* msg) { of(h)->logs.push_back(msg); };
    }
    fake_host(const fake_host&) = delete;
    fake_host& operator=(const fake_host&) = delete;
    static fake_host* of(const clap_host* h) { return static_cast<fake_host*>(h->host_data); }
};

inline const clap_plugin_factory* test_factory() {
    return static_cast<const clap_plugin_factory*>(clap_entry.get_factory(CLAP_PLUGIN_FACTORY_ID));
}

// A created and initialised stage, destroyed with the object.
struct test_stage {
    const clap_plugin* plugin = nullptr;
    explicit test_stage(fake_host& host) {
        plugin = test_factory()->create_plugin(test_factory(), &host.host, "com.tovarin.lodrin");
        EXPECT_NE(plugin, nullptr);
        if (plugin) {
            EXPECT_TRUE(plugin->init(plugin));
        }
    }
    ~test_stage() {
        if (!plugin) return;
        plugin->deactivate(plugin);
        plugin->destroy(plugin);
    }
    test_stage(const test_stage&) = delete;
    test_stage& operator=(const test_stage&) = delete;
    plugin_instance* instance() const { return instance_of(plugin); }
    shm_slot* slot() const { return instance()->slot; }
    template <typename T>
    const T* ext(const char* id) const {
        return static_cast<const T*>(plugin->get_extension(plugin, id));
    }
    double value(int32_t index) const { return slot_value(slot(), index); }
    void set(int32_t index, double v) const { shm_exchange(slot()->values[index], v); }
};

// Input events of one call, kept as copies in time order of insertion.
struct test_input_events {
    std::vector<std::vector<uint8_t>> events;
    clap_input_events list{};
    test_input_events() {
        list.ctx = this;
        list.size = [](const clap_input_events* l) {
            return static_cast<uint32_t>(static_cast<test_input_events*>(l->ctx)->events.size());
        };
        list.get = [](const clap_input_events* l, uint32_t i) -> const clap_event_header* {
            auto* self = static_cast<test_input_events*>(l->ctx);
            if (i >= self->events.size()) return nullptr;
            return reinterpret_cast<const clap_event_header*>(self->events[i].data());
        };
    }
    test_input_events(const test_input_events&) = delete;
    template <typename T>
    void add(const T& event) {
        std::vector<uint8_t> bytes(sizeof(T));
        std::memcpy(bytes.data(), &event, sizeof(T));
        events.push_back(std::move(bytes));
    }
    void param(uint32_t time, uint32_t id, double value) {
        clap_event_param_value e{};
        e.header = {sizeof e, time, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0};
        e.param_id = id;
        e.note_id = -1;
        e.port_index = e.channel = e.key = -1;
        e.value = value;
        add(e);
    }
    void midi(uint32_t time, uint8_t status, uint8_t data1, uint8_t data2) {
        clap_event_midi e{};
        e.header = {sizeof e, time, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_MIDI, 0};
        e.data[0] = status;
        e.data[1] = data1;
        e.data[2] = data2;
        add(e);
    }
};

struct recorded_event {
    uint16_t type;
    uint32_t time;
    uint32_t size;
    uint32_t param_id;
    double value;
};

struct test_output_events {
    std::vector<recorded_event> events;
    size_t capacity = 1u << 20;
    clap_output_events list{};
    test_output_events() {
        list.ctx = this;
        list.try_push = [](const clap_output_events* l, const clap_event_header* h) {
            auto* self = static_cast<test_output_events*>(l->ctx);
            if (self->events.size() >= self->capacity) return false;
            recorded_event r{h->type, h->time, h->size, 0, 0.0};
            if (h->type == CLAP_EVENT_PARAM_VALUE) {
                const auto* v = reinterpret_cast<const clap_event_param_value*>(h);
                r.param_id = v->param_id;
                r.value = v->value;
            } else if (h->type == CLAP_EVENT_PARAM_GESTURE_BEGIN || h->type == CLAP_EVENT_PARAM_GESTURE_END) {
                r.param_id = reinterpret_cast<const clap_event_param_gesture*>(h)->param_id;
            }
            self->events.push_back(r);
            return true;
        };
    }
    test_output_events(const test_output_events&) = delete;
};

// Stereo (or mono) audio of one call, processed out of place unless in_place is set.
struct test_audio {
    uint32_t frames;
    std::vector<float> in[2], out[2];
    float* in_ptr[2]{};
    float* out_ptr[2]{};
    clap_audio_buffer input{}, output{};
    test_audio(uint32_t n, uint32_t in_channels = 2, uint32_t out_channels = 2, bool in_place = false)
        : frames(n) {
        for (int c = 0; c < 2; ++c) {
            in[c].assign(n, 0.0f);
            out[c].assign(n, 0.0f);
            in_ptr[c] = in[c].data();
            out_ptr[c] = in_place ? in[c].data() : out[c].data();
        }
        input = {in_ptr, nullptr, in_channels, 0, 0};
        output = {out_ptr, nullptr, out_channels, 0, 0};
    }
    test_audio(const test_audio&) = delete;
    const float* result(int c) const { return out_ptr[c]; }
};

inline clap_process_status run_process(const clap_plugin* plugin, test_audio* audio, test_input_events* in,
                                       test_output_events* out, int64_t steady = -1) {
    clap_process p{};
    p.steady_time = steady;
    p.frames_count = audio ? audio->frames : 0;
    p.audio_inputs = audio ? &audio->input : nullptr;
    p.audio_outputs = audio ? &audio->output : nullptr;
    p.audio_inputs_count = audio ? 1 : 0;
    p.audio_outputs_count = audio ? 1 : 0;
    p.in_events = in ? &in->list : nullptr;
    p.out_events = out ? &out->list : nullptr;
    return plugin->process(plugin, &p);
}

// Byte streams for state save and load that move at most `chunk` bytes per call.
struct test_ostream {
    std::vector<uint8_t> bytes;
    size_t chunk = SIZE_MAX;
    int64_t fail_after = -1; // writes accepted before the stream fails, -1 never
    clap_ostream stream{};
    test_ostream() {
        stream.ctx = this;
        stream.write = [](const clap_ostream* s, const void* data, uint64_t size) -> int64_t {
            auto* self = static_cast<test_ostream*>(s->ctx);
            if (self->fail_after == 0) return -1;
            if (self->fail_after > 0) --self->fail_after;
            const size_t n = size < self->chunk ? static_cast<size_t>(size) : self->chunk;
            const auto* p = static_cast<const uint8_t*>(data);
            self->bytes.insert(self->bytes.end(), p, p + n);
            return static_cast<int64_t>(n);
        };
    }
    test_ostream(const test_ostream&) = delete;
};

struct test_istream {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
    size_t chunk = SIZE_MAX;
    clap_istream stream{};
    explicit test_istream(std::vector<uint8_t> b, size_t c = SIZE_MAX) : bytes(std::move(b)), chunk(c) {
        stream.ctx = this;
        stream.read = [](const clap_istream* s, void* data, uint64_t size) -> int64_t {
            auto* self = static_cast<test_istream*>(s->ctx);
            size_t n = self->bytes.size() - self->pos;
            if (size < n) n = static_cast<size_t>(size);
            if (self->chunk < n) n = self->chunk;
            if (n > 0) std::memcpy(data, self->bytes.data() + self->pos, n);
            self->pos += n;
            return static_cast<int64_t>(n);
        };
    }
    test_istream(const test_istream&) = delete;
};

// Little-endian writers for hand-made state streams.
inline void put_bytes(std::vector<uint8_t>& b, const char* tag) {
    b.insert(b.end(), tag, tag + 4);
}
inline void put_u32(std::vector<uint8_t>& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_u64(std::vector<uint8_t>& b, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_f64(std::vector<uint8_t>& b, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    put_u64(b, bits);
}
inline uint32_t get_u32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// Every test program runs on a segment of its own.
class core_environment : public ::testing::Environment {
  public:
    void SetUp() override { segment = new test_segment("core"); }
    void TearDown() override {
        delete segment;
        segment = nullptr;
    }
    test_segment* segment = nullptr;
};

inline ::testing::Environment* const core_env = ::testing::AddGlobalTestEnvironment(new core_environment);
