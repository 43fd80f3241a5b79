// "clap.state": one stage's settings as a byte stream of three chunks, little-endian, no lengths and
// no padding:
//   "SLM1" u32 version 1, u64 instance id, u32 N, N x (u32 host id, f64 value)       20 + 12N bytes
//   "MIDI" u32 M, M x (u32 host id, i32 CC 0..127), bound parameters in table order    8 + 8M bytes
//   "UI01" u32 controls_open, grid_open, readout_mode, spread, loudness_target_index,
//          f64 zoom, custom_target_lufs                                               40 bytes
// As written here N = 17, so a saved state is 272 + 8M bytes. Entries carry host ids, not table
// indices, so a reader maps each back to its row; unknown ids are skipped.
//
// Everything read is untrusted: values are clamped (NaN gives the default), CC numbers outside
// 0..127 are dropped, editor settings out of range fall back to their defaults. [main-thread]
#include <atomic>
#include <cmath>
#include <cstring>

#include "plugin_instance.h"
#include "registry.h"

namespace {

constexpr uint32_t STATE_VERSION = 1;
constexpr uint32_t STATE_MAX_ENTRIES = 1024;

// ---- Little-endian fields over the host's stream, which may move a few bytes per call ----------

bool write_bytes(const clap_ostream* stream, const void* data, uint64_t size) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const int64_t n = stream->write(stream, p, size);
        if (n < 1) return false;
        const uint64_t taken = static_cast<uint64_t>(n) < size ? static_cast<uint64_t>(n) : size;
        p += taken;
        size -= taken;
    }
    return true;
}

bool write_u32(const clap_ostream* s, uint32_t v) {
    uint8_t b[4];
    for (int i = 0; i < 4; ++i)
        b[i] = static_cast<uint8_t>(v >> (8 * i));
    return write_bytes(s, b, 4);
}

bool write_u64(const clap_ostream* s, uint64_t v) {
    uint8_t b[8];
    for (int i = 0; i < 8; ++i)
        b[i] = static_cast<uint8_t>(v >> (8 * i));
    return write_bytes(s, b, 8);
}

bool write_f64(const clap_ostream* s, double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, 8);
    return write_u64(s, bits);
}

bool write_tag(const clap_ostream* s, const char tag[4]) {
    return write_bytes(s, tag, 4);
}

bool read_bytes(const clap_istream* stream, void* data, uint64_t size) {
    auto* p = static_cast<uint8_t*>(data);
    while (size > 0) {
        const int64_t n = stream->read(stream, p, size);
        if (n < 1) return false;
        const uint64_t got = static_cast<uint64_t>(n) < size ? static_cast<uint64_t>(n) : size;
        p += got;
        size -= got;
    }
    return true;
}

uint32_t le_u32(const uint8_t* b) {
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

uint64_t le_u64(const uint8_t* b) {
    return le_u32(b) | static_cast<uint64_t>(le_u32(b + 4)) << 32;
}

double le_f64(const uint8_t* b) {
    const uint64_t bits = le_u64(b);
    double v;
    std::memcpy(&v, &bits, 8);
    return v;
}

bool read_u32(const clap_istream* s, uint32_t* v) {
    uint8_t b[4];
    if (!read_bytes(s, b, 4)) return false;
    *v = le_u32(b);
    return true;
}

bool read_u64(const clap_istream* s, uint64_t* v) {
    uint8_t b[8];
    if (!read_bytes(s, b, 8)) return false;
    *v = le_u64(b);
    return true;
}

bool read_f64(const clap_istream* s, double* v) {
    uint8_t b[8];
    if (!read_bytes(s, b, 8)) return false;
    *v = le_f64(b);
    return true;
}

bool read_tag(const clap_istream* s, const char tag[4]) {
    char got[4];
    return read_bytes(s, got, 4) && std::memcmp(got, tag, 4) == 0;
}

bool row_is_writable(int32_t index) {
    return (param_table[index].flags & CLAP_PARAM_IS_READONLY) == 0;
}

// ---- save ---------------------------------------------------------------------------------------

bool state_save(const clap_plugin* plugin, const clap_ostream* stream) {
    const plugin_instance* instance = instance_of(plugin);
    const shm_slot* slot = instance->slot;
    if (!slot || !stream || !stream->write) return false;

    if (!write_tag(stream, "SLM1") || !write_u32(stream, STATE_VERSION) ||
        !write_u64(stream, instance->instance_id))
        return false;
    uint32_t count = 0;
    for (int32_t i = 0; i < PARAM_COUNT; ++i)
        count += row_is_writable(i) ? 1 : 0;
    if (!write_u32(stream, count)) return false;
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        if (!row_is_writable(i)) continue;
        if (!write_u32(stream, param_table[i].id) || !write_f64(stream, slot_setting(slot, i))) return false;
    }

    // One read of each binding, so the count and the entries agree while an editor unbinds meanwhile.
    // A number above 127 was never bound by this program (the slot is shared memory) and is not saved.
    int32_t cc[PARAM_COUNT];
    uint32_t bound = 0;
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        cc[i] = shm_load(slot->midi_cc[i]);
        if (cc[i] > 127) cc[i] = -1;
        bound += cc[i] >= 0 ? 1 : 0;
    }
    if (!write_tag(stream, "MIDI") || !write_u32(stream, bound)) return false;
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        if (cc[i] < 0) continue;
        if (!write_u32(stream, param_table[i].id) || !write_u32(stream, static_cast<uint32_t>(cc[i])))
            return false;
    }

    const ui_settings& ui = instance->ui;
    return write_tag(stream, "UI01") && write_u32(stream, ui.controls_open) &&
           write_u32(stream, ui.grid_open) && write_u32(stream, ui.readout_mode) &&
           write_u32(stream, ui.spread) && write_u32(stream, ui.loudness_target_index) &&
           write_f64(stream, ui.zoom) && write_f64(stream, ui.custom_target_lufs);
}

// ---- load ----------------------------------------------------------------------------------------

// A state as read from the stream, before any of it reaches the stage: a stream refused half-way
// leaves the stage as it was.
struct parsed_state {
    uint64_t saved_id;
    uint8_t has_value[PARAM_COUNT];
    double value[PARAM_COUNT]; // clamped
    int32_t cc[PARAM_COUNT];   // -1 unbound
    bool has_ui;
    ui_settings ui;
};

// Reads the MIDI chunk's entries; false when the stream ends inside them (the entries read so far
// are kept, as they always were).
bool parse_midi_chunk_entries(parsed_state* st, const clap_istream* stream, uint32_t count) {
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t id, cc;
        if (!read_u32(stream, &id) || !read_u32(stream, &cc)) return false;
        const int32_t index = param_index_of_id(id);
        if (index >= 0 && cc <= 127) st->cc[index] = static_cast<int32_t>(cc);
    }
    return true;
}

void parse_ui_chunk(parsed_state* st, const ui_settings& current, const clap_istream* stream) {
    uint8_t b[36];
    if (!read_tag(stream, "UI01") || !read_bytes(stream, b, sizeof b)) return;
    const uint32_t controls_open = le_u32(b), grid_open = le_u32(b + 4), readout = le_u32(b + 8),
                   spread = le_u32(b + 12), target = le_u32(b + 16);
    const double zoom = le_f64(b + 20), custom = le_f64(b + 28);
    ui_settings ui = current;
    ui.controls_open = controls_open != 0;
    ui.grid_open = grid_open != 0;
    ui.readout_mode = readout < 3 ? readout : 0;
    ui.spread = spread < 3 ? spread : 0;
    ui.loudness_target_index = target < 5 ? target : 1;
    ui.zoom = (zoom >= 0.6 && zoom <= 2.5) ? zoom : 1.0; // NaN fails both comparisons
    ui.custom_target_lufs = (custom >= -40.0 && custom <= 0.0) ? custom : -16.0;
    st->ui = ui;
    st->has_ui = true;
}

bool state_load(const clap_plugin* plugin, const clap_istream* stream) {
    plugin_instance* instance = instance_of(plugin);
    shm_slot* slot = instance->slot;
    if (!slot || !stream || !stream->read) return false;

    parsed_state st{};
    uint32_t version, count;
    if (!read_tag(stream, "SLM1") || !read_u32(stream, &version) || version != STATE_VERSION) return false;
    if (!read_u64(stream, &st.saved_id) || !read_u32(stream, &count) || count > STATE_MAX_ENTRIES)
        return false;
    for (uint32_t k = 0; k < count; ++k) {
        uint32_t id;
        double value;
        if (!read_u32(stream, &id) || !read_f64(stream, &value)) return false;
        const int32_t index = param_index_of_id(id);
        if (index < 0 || !row_is_writable(index)) continue;
        st.has_value[index] = 1;
        st.value[index] = clamp_param_value(index, value);
    }
    // The bindings are replaced as a whole: a missing or damaged MIDI chunk leaves none.
    for (int32_t i = 0; i < PARAM_COUNT; ++i)
        st.cc[i] = -1;
    uint32_t bound;
    if (read_tag(stream, "MIDI") && read_u32(stream, &bound) && bound <= static_cast<uint32_t>(PARAM_COUNT) &&
        parse_midi_chunk_entries(&st, stream, bound))
        parse_ui_chunk(&st, instance->ui, stream);

    // Accepted: apply. A saved 0 keeps the running identity, and so does an id another live stage
    // already carries, in this process or another: two stages of one id would be one member to the
    // chain order.
    if (st.saved_id != 0 && st.saved_id != instance->instance_id &&
        registry_take_instance_id(slot, st.saved_id))
        instance->instance_id = st.saved_id;
    for (int32_t i = 0; i < PARAM_COUNT; ++i)
        if (st.has_value[i]) shm_exchange(slot->values[i], st.value[i]);
    for (int32_t i = 0; i < PARAM_COUNT; ++i)
        shm_exchange(slot->midi_cc[i], st.cc[i]);
    if (st.has_ui) instance->ui = st.ui;

    // A new Lookahead while active needs a restart; ask now, on this thread, rather than at the next
    // audio block, so that a host whose only calls are the state's own learns of it at once.
    if (instance->active && st.has_value[PARAM_LOOKAHEAD] &&
        lookahead_samples(slot_setting(slot, PARAM_LOOKAHEAD), instance->sample_rate) !=
            instance->limiter.lookahead &&
        std::atomic_ref<uint32_t>(instance->restart_requested).exchange(1) == 0)
        host_request_callback(instance);

    host_rescan_values(instance);
    return true;
}

constexpr clap_plugin_state state = {.save = state_save, .load = state_load};

} // namespace

const clap_plugin_state* state_extension() {
    return &state;
}
