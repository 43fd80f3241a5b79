// MIDI learn and CC mapping. The bindings and the armed parameter live in the slot, so an editor in
// any process can arm learning and show the bindings; every access is one atomic operation.
// [audio-thread, or the owner's main thread in params flush]
#include "plugin_instance.h"

void handle_midi_cc_event(plugin_instance* instance, const clap_event_midi* event,
                          const clap_output_events* out) {
    shm_slot* slot = instance->slot;
    if (!slot || !event) return;
    // Control change on any channel; every other message is ignored.
    if ((event->data[0] & 0xF0) != 0xB0) return;
    const int32_t cc = event->data[1] & 0x7F;

    const int32_t target = shm_load(slot->midi_learn_param);
    if (static_cast<uint32_t>(target) < static_cast<uint32_t>(PARAM_COUNT)) {
        // After learning a controller drives one parameter only.
        for (int32_t i = 0; i < PARAM_COUNT; ++i)
            if (shm_load(slot->midi_cc[i]) == cc) shm_exchange(slot->midi_cc[i], -1);
        shm_exchange(slot->midi_cc[target], cc);
        shm_exchange(slot->midi_learn_param, -1);
        return;
    }

    const int32_t v = event->data[2] & 0x7F;
    for (int32_t i = 0; i < PARAM_COUNT; ++i) {
        if (shm_load(slot->midi_cc[i]) != cc) continue;
        const param_spec& row = param_table[i];
        double x;
        if ((row.flags & CLAP_PARAM_IS_STEPPED) && row.max == 1.0)
            x = v >= 64 ? 1.0 : 0.0; // switches: the upper half of the controller is on
        else
            x = row.min + (row.max - row.min) * v / 127.0;
        const double y = clamp_param_value(i, x);
        shm_exchange(slot->values[i], y);
        push_param_value_event(out, row.id, y);
    }
}
