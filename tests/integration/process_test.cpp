// Guards the audio path as a strict host drives it: events applied at their own sample, identical
// results in place and out of place at any block size and rate, mono buses, denormal inputs, reset
// and re-activation, the restart a Lookahead change asks for, idle-gap columns, events-only calls,
// MIDI mapping, the ceiling, and no allocation on the audio thread.
#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <xmmintrin.h>
#endif

#include "alloc_counter.h"
#include "integration.h"

namespace {

struct stereo {
    std::vector<float> l, r;
    explicit stereo(size_t n = 0) : l(n), r(n) {}
    float* ch[2] = {nullptr, nullptr};
    float* const* io() {
        ch[0] = l.data();
        ch[1] = r.data();
        return ch;
    }
};

// First index where a and b differ, or -1.
long first_difference(const std::vector<float>& a, const std::vector<float>& b) {
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        if (a[i] != b[i]) return long(i);
    return -1;
}

} // namespace

class process_path : public module_test {
  protected:
    // Processes `total` frames of the test signal at `peak` through stage s in blocks of `block`, in place
    // or not; returns the output.
    stereo run(host_stage* s, uint32_t total, uint32_t block, bool in_place, double rate, double peak,
               uint64_t start = 0) {
        stereo out(total);
        stereo in(block), tmp(block);
        for (uint32_t pos = 0; pos < total; pos += block) {
            uint32_t n = std::min(block, total - pos);
            test_signal(in.l.data(), in.r.data(), n, start + pos, rate, peak);
            if (in_place) {
                process(s, in.io(), 2, in.io(), 2, n);
                std::memcpy(out.l.data() + pos, in.l.data(), n * sizeof(float));
                std::memcpy(out.r.data() + pos, in.r.data(), n * sizeof(float));
            } else {
                process(s, in.io(), 2, tmp.io(), 2, n);
                std::memcpy(out.l.data() + pos, tmp.l.data(), n * sizeof(float));
                std::memcpy(out.r.data() + pos, tmp.r.data(), n * sizeof(float));
            }
        }
        return out;
    }

    // One 512-frame block of a quiet signal through a fresh stage with Input events at the given times.
    std::vector<float> block_with_input_events(const std::vector<std::pair<uint32_t, double>>& events,
                                               uint32_t frames = 512) {
        host_stage* s = make_active_stage(48000, frames);
        static host_input_events ev;
        host_events_init(&ev);
        for (auto& e : events)
            host_events_push_param(&ev, e.first, 1, e.second);
        stereo b(frames);
        test_signal(b.l.data(), b.r.data(), frames, 0, 48000, 0.1);
        process(s, b.io(), 2, b.io(), 2, frames, &ev);
        drop_stage(s);
        return b.l;
    }
};

// Events at 0, 100, 100 and 600 in a 512-frame block: the two at 100 act from sample 100 on, the one
// at 600 only after the block. A change's first effect on the output moves with its sample offset.
TEST_F(process_path, events_take_effect_at_their_sample) {
    std::vector<float> ref = block_with_input_events({});
    std::vector<float> at0 = block_with_input_events({{0, 0.0}});
    EXPECT_EQ(first_difference(ref, at0), -1) << "an event to the current value changes nothing";
    std::vector<float> at100 = block_with_input_events({{0, 0.0}, {100, -24.0}, {100, -6.0}, {600, 6.0}});
    std::vector<float> only100 = block_with_input_events({{100, -6.0}});
    EXPECT_EQ(first_difference(at100, only100), -1)
        << "the later of two events at one time wins; 600 is after";
    std::vector<float> at37 = block_with_input_events({{37, -6.0}});
    long d100 = first_difference(ref, only100), d37 = first_difference(ref, at37);
    ASSERT_GE(d37, 37);
    EXPECT_EQ(d100 - d37, 63);
}

// An event at every offset of a 256-frame block acts exactly that many samples later.
TEST_F(process_path, param_events_at_every_sample_offset) {
    const uint32_t n = 256;
    std::vector<float> ref = block_with_input_events({}, n);
    std::vector<float> at0 = block_with_input_events({{0, -6.0}}, n);
    long d0 = first_difference(ref, at0);
    ASSERT_GE(d0, 0) << "the change must show within the block";
    for (uint32_t t = 1; t < n; ++t) {
        std::vector<float> out = block_with_input_events({{t, -6.0}}, n);
        long d = first_difference(ref, out);
        if (d0 + long(t) < long(n)) {
            EXPECT_EQ(d, d0 + long(t)) << "event at " << t;
        } else {
            EXPECT_EQ(d, -1) << "event at " << t;
        }
    }
}

TEST_F(process_path, event_after_the_block_acts_from_the_next_block) {
    auto two_blocks = [&](uint32_t t_in_first, bool in_second) {
        host_stage* s = make_active_stage(48000, 512);
        static host_input_events ev;
        host_events_init(&ev);
        std::vector<float> out;
        for (int k = 0; k < 2; ++k) {
            host_events_clear(&ev);
            if (k == 0 && !in_second) host_events_push_param(&ev, t_in_first, 1, -6.0);
            if (k == 1 && in_second) host_events_push_param(&ev, 0, 1, -6.0);
            stereo b(512);
            test_signal(b.l.data(), b.r.data(), 512, 512u * uint32_t(k), 48000, 0.1);
            process(s, b.io(), 2, b.io(), 2, 512, &ev);
            out.insert(out.end(), b.l.begin(), b.l.end());
        }
        drop_stage(s);
        return out;
    };
    EXPECT_EQ(first_difference(two_blocks(600, false), two_blocks(0, true)), -1);
    EXPECT_EQ(first_difference(two_blocks(512, false), two_blocks(0, true)), -1);
}

// In place or out of place, at any block size, at several rates: the same samples.
TEST_F(process_path, block_size_and_buffer_sharing_do_not_change_the_output) {
    for (double rate : {44100.0, 48000.0, 96000.0, 192000.0}) {
        uint32_t total = uint32_t(rate * 0.2);
        host_stage* a = make_active_stage(rate, 4096);
        set_by_flush(a, "Gain", 9);
        stereo ref = run(a, total, 512, false, rate, 0.8);
        drop_stage(a);
        for (uint32_t block : {1u, 7u, 64u, 333u, 4096u}) {
            for (bool in_place : {true, false}) {
                host_stage* s = make_active_stage(rate, 4096);
                set_by_flush(s, "Gain", 9);
                stereo out = run(s, total, block, in_place, rate, 0.8);
                EXPECT_EQ(first_difference(ref.l, out.l), -1)
                    << rate << " Hz, block " << block << (in_place ? " in place" : " out of place");
                EXPECT_EQ(first_difference(ref.r, out.r), -1)
                    << rate << " Hz, block " << block << (in_place ? " in place" : " out of place");
                drop_stage(s);
            }
        }
    }
}

TEST_F(process_path, mono_buses) {
    const uint32_t n = 2048;
    std::vector<float> mono(n);
    test_signal(mono.data(), nullptr, n, 0, 48000, 1.5);
    // Mono in, stereo out: both sides carry the limited mono signal.
    host_stage* a = make_active_stage();
    std::vector<float> in(mono);
    stereo out(n);
    float* inp[1] = {in.data()};
    for (uint32_t pos = 0; pos < n; pos += 512) {
        float* i1[1] = {in.data() + pos};
        float* o2[2] = {out.l.data() + pos, out.r.data() + pos};
        process(a, i1, 1, o2, 2, 512);
    }
    (void)inp;
    EXPECT_EQ(first_difference(out.l, out.r), -1);
    // Mono in and out: the left of the above.
    host_stage* b = make_active_stage();
    std::vector<float> m(mono);
    for (uint32_t pos = 0; pos < n; pos += 512) {
        float* io1[1] = {m.data() + pos};
        process(b, io1, 1, io1, 1, 512);
    }
    EXPECT_EQ(first_difference(m, out.l), -1);
    // A mono-output block longer than the scratch buffer (a host breaking its promised maximum) is safe.
    host_stage* c = make_active_stage(48000, 512);
    std::vector<float> big(40000);
    test_signal(big.data(), nullptr, uint32_t(big.size()), 0, 48000, 1.0);
    float* bio[1] = {big.data()};
    process(c, bio, 1, bio, 1, uint32_t(big.size()));
    for (float v : big)
        ASSERT_TRUE(std::isfinite(v));
}

TEST_F(process_path, denormal_input_gives_no_subnormal_output_and_the_fp_mode_is_restored) {
    host_stage* s = make_active_stage();
    stereo b(512);
#if defined(__x86_64__)
    unsigned before = 0, after = 0;
    auto get_mode = [&] { before = _mm_getcsr(); };
    host_audio_call(&audio, get_mode);
#endif
    uint32_t subnormal = 0;
    for (int k = 0; k < 200; ++k) {
        for (uint32_t i = 0; i < 512; ++i) {
            float d = std::ldexp(1.0f, -130 - int(i % 16)) * ((i & 1) ? -1.0f : 1.0f);
            b.l[i] = d;
            b.r[i] = k < 10 ? 0.5f * std::sin(float(i) * 0.1f) : d;
        }
        process(s, b.io(), 2, b.io(), 2, 512);
        for (uint32_t i = 0; i < 512; ++i)
            subnormal +=
                (std::fpclassify(b.l[i]) == FP_SUBNORMAL) + (std::fpclassify(b.r[i]) == FP_SUBNORMAL);
    }
    EXPECT_EQ(subnormal, 0u);
#if defined(__x86_64__)
    auto get_after = [&] { after = _mm_getcsr(); };
    host_audio_call(&audio, get_after);
    EXPECT_EQ(before & 0x8040u, after & 0x8040u) << "FTZ/DAZ must be restored after process";
#endif
}

// A reset clears the engine but keeps the settings in force (no glide towards them, unlike a new
// activation): its reference is a fresh stage whose settings have settled over silence.
TEST_F(process_path, reset_and_reactivation_start_from_scratch) {
    const uint32_t total = 9600;
    host_stage* fresh = make_active_stage();
    set_by_flush(fresh, "Gain", 12);
    stereo ref = run(fresh, total, 480, true, 48000, 0.7, 777);
    host_stage* settled = make_active_stage();
    set_by_flush(settled, "Gain", 12);
    run(settled, 48000, 480, true, 48000, 0.0);
    stereo ref_settled = run(settled, total, 480, true, 48000, 0.7, 777);

    host_stage* s = make_active_stage();
    set_by_flush(s, "Gain", 12);
    run(s, 48000, 480, true, 48000, 1.0); // a second of loud history to forget
    auto reset = [s] { host_stage_reset(s); };
    host_audio_call(&audio, reset);
    stereo after_reset = run(s, total, 480, true, 48000, 0.7, 777);
    float worst = 0;
    for (uint32_t i = 0; i < total; ++i)
        worst = std::max(worst, std::fabs(after_reset.l[i] - ref_settled.l[i]));
    EXPECT_LT(worst, 1e-6f) << "after a reset the stage behaves as one that never saw the loud second";
    EXPECT_EQ(meter(s, DEBUG_METER_INTEGRATED), -100.0) << "0.2 s after a reset gives no gated loudness yet";

    run(s, 48000, 480, true, 48000, 1.0);
    stop_processing(s);
    host_stage_deactivate(s);
    s->plugin->reset(s->plugin); // reset while inactive touches nothing
    ASSERT_TRUE(host_stage_activate(s, 48000, 1, 512));
    stereo after_reactivate = run(s, total, 480, true, 48000, 0.7, 777);
    EXPECT_EQ(first_difference(ref.l, after_reactivate.l), -1);
}

TEST_F(process_path, lookahead_change_asks_one_restart_then_reports_the_new_latency) {
    host_stage* s = make_active_stage(48000, 512);
    EXPECT_EQ(s->latency, 80u);
    static host_input_events ev;
    host_events_init(&ev);
    host_events_push_param(&ev, 0, 8, 3.0);
    stereo b(512);
    process(s, b.io(), 2, b.io(), 2, 512, &ev);
    for (int k = 0; k < 6; ++k)
        process(s, b.io(), 2, b.io(), 2, 512);
    EXPECT_EQ(s->n_request_callback.load(), 1u) << "one callback for one latency change";
    EXPECT_EQ(host_stage_read_latency(s), 80u) << "the old lookahead runs until the restart";
    EXPECT_EQ(s->n_request_restart.load(), 0u) << "the restart is asked from the main thread";
    host_stage_pump(s, &audio);
    EXPECT_EQ(s->n_request_restart.load(), 1u);
    host_stage_pump(s, &audio);
    EXPECT_EQ(s->n_restarts, 1u);
    EXPECT_EQ(s->latency, 152u);
    EXPECT_EQ(host_stage_read_latency(s), 152u);
    for (int k = 0; k < 4; ++k)
        process(s, b.io(), 2, b.io(), 2, 512);
    EXPECT_EQ(s->n_request_callback.load(), 1u) << "no further request once the engine matches";
}

// The module measures a pause on its own clock, which a test cannot set from outside, so each case
// brackets the time between the two calls' starts with the host's reading of the same clock before
// the first call and after the second. A busy machine can only stretch a pause: a run whose bracket
// reaches past the longest pause for which the case's answer holds tells nothing and runs again.
TEST_F(process_path, pause_writes_gap_columns) {
    struct {
        double pause_s;
        int columns;
        double longest_s; // the longest pause beyond the first call's audio for which `columns` holds
    } cases[] = {
        // 1500 columns, counted by the host's steady time, while the module's clock finds a pause
        // within a factor of two of it (under 4 s).
        {2.0, 1500, 3.9},
        // Pauses up to 0.3 s beyond the previous call's audio write nothing.
        {0.25, 0, 0.3},
    };
    for (auto& c : cases) {
        std::string stretched;
        bool judged = false;
        for (int attempt = 0; attempt < 6 && !judged; ++attempt) {
            host_stage* s = make_active_stage(48000, 512);
            stereo b(512);
            const int64_t before = host_os_clock_ns();
            process(s, b.io(), 2, b.io(), 2, 512, nullptr, 0);
            host_os_sleep_ns(int64_t(c.pause_s * 1e9));
            process(s, b.io(), 2, b.io(), 2, 512, nullptr, 512 + int64_t(c.pause_s * 48000));
            const double bracket_s = double(host_os_clock_ns() - before) * 1e-9;
            if (bracket_s - 512.0 / 48000 <= c.longest_s) {
                judged = true;
                int gaps = 0;
                for (int age = 0; age < 8192; ++age) {
                    double v = s->debug->debug_get_history_value(s->plugin, 1, age);
                    if (v == DEBUG_HISTORY_NONE) break;
                    if (v == -1.0) ++gaps;
                }
                EXPECT_EQ(gaps, c.columns)
                    << c.pause_s << " s pause (" << bracket_s << " s between the calls)";
            } else {
                stretched += " " + std::to_string(bracket_s);
            }
            drop_stage(s);
        }
        EXPECT_TRUE(judged) << c.pause_s << " s pause: every run was stretched past " << c.longest_s
                            << " s, to" << stretched << " s";
    }
}

TEST_F(process_path, events_only_calls_still_learn_and_zero_frames_leave_meters) {
    host_stage* s = make_active_stage(48000, 512);
    ASSERT_NE(s->debug, nullptr);
    stereo b(512);
    test_signal(b.l.data(), b.r.data(), 512, 0, 48000, 0.5);
    process(s, b.io(), 2, b.io(), 2, 512);
    double largest = meter(s, DEBUG_METER_LARGEST_BLOCK);
    double newest = s->debug->debug_get_history_value(s->plugin, 0, 0);
    double second = s->debug->debug_get_history_value(s->plugin, 0, 8);
    s->debug->debug_arm_midi_learn(s->plugin, index_of(s, "Gain"));
    static host_input_events ev;
    host_events_init(&ev);
    host_events_push_midi(&ev, 0, 0xB3, 21, 5);
    process(s, nullptr, 0, nullptr, 0, 0, &ev); // no ports at all
    host_events_clear(&ev);
    host_events_push_midi(&ev, 0, 0xB0, 21, 127);
    process(s, b.io(), 2, b.io(), 2, 0, &ev); // ports, but 0 frames
    EXPECT_EQ(value_of(s, "Gain"), 30.0);
    EXPECT_EQ(meter(s, DEBUG_METER_LARGEST_BLOCK), largest);
    EXPECT_EQ(s->debug->debug_get_history_value(s->plugin, 0, 0), newest);
    EXPECT_EQ(s->debug->debug_get_history_value(s->plugin, 0, 8), second);
    auto rec = take_records(s);
    ASSERT_EQ(rec.size(), 1u);
    EXPECT_EQ(rec[0].type, CLAP_EVENT_PARAM_VALUE);
    EXPECT_EQ(rec[0].param_id, 2u);
    EXPECT_EQ(rec[0].value, 30.0);
}

TEST_F(process_path, midi_learn_and_mapping_values) {
    host_stage* s = make_active_stage(48000, 64);
    ASSERT_NE(s->debug, nullptr);
    stereo b(64);
    static host_input_events ev;
    auto cc = [&](uint8_t status, uint8_t number, uint8_t value) {
        host_events_init(&ev);
        host_events_push_midi(&ev, 10, status, number, value);
        process(s, b.io(), 2, b.io(), 2, 64, &ev);
    };
    auto learn = [&](const char* name, uint8_t number) {
        s->debug->debug_arm_midi_learn(s->plugin, index_of(s, name));
        cc(0xB0, number, 99);
        EXPECT_TRUE(take_records(s).empty()) << "learning applies no value";
    };
    learn("Mix", 7);
    learn("Bypass", 8);
    learn("Style", 9);
    struct {
        uint8_t status, number, value;
        const char* name;
        uint32_t id;
        double expect;
    } cases[] = {{0xB0, 7, 127, "Mix", 15, 100.0},       {0xB0, 7, 0, "Mix", 15, 0.0},
                 {0xBF, 7, 64, "Mix", 15, 6400.0 / 127}, {0xB5, 8, 63, "Bypass", 12, 0.0},
                 {0xB0, 8, 64, "Bypass", 12, 1.0},       {0xB0, 8, 0, "Bypass", 12, 0.0},
                 {0xB0, 9, 64, "Style", 9, 3.0},         {0xB0, 9, 127, "Style", 9, 5.0}};
    for (auto& c : cases) {
        cc(c.status, c.number, c.value);
        EXPECT_NEAR(value_of(s, c.name), c.expect, 1e-12) << c.name << " cc value " << int(c.value);
        auto rec = take_records(s);
        ASSERT_EQ(rec.size(), 1u) << c.name;
        EXPECT_EQ(rec[0].param_id, c.id);
        EXPECT_NEAR(rec[0].value, c.expect, 1e-12);
        EXPECT_EQ(rec[0].time, 0u) << "output events carry time 0";
    }
    // Arming Gain takes CC 7 away from Mix; the learning message changes nothing.
    double mix = value_of(s, "Mix"), gain = value_of(s, "Gain");
    s->debug->debug_arm_midi_learn(s->plugin, index_of(s, "Gain"));
    cc(0x90, 7, 100); // a note-on is no control change, armed or not
    cc(0xB4, 7, 127);
    EXPECT_EQ(value_of(s, "Mix"), mix);
    EXPECT_EQ(value_of(s, "Gain"), gain);
    EXPECT_TRUE(take_records(s).empty());
    cc(0xB0, 7, 127);
    EXPECT_EQ(value_of(s, "Gain"), 30.0);
    EXPECT_EQ(value_of(s, "Mix"), mix);
    take_records(s);
    // A learn target of 17 or more is not armed: a bound controller still drives its parameter.
    s->debug->debug_arm_midi_learn(s->plugin, 17);
    cc(0xB0, 8, 127);
    EXPECT_EQ(value_of(s, "Bypass"), 1.0);
    take_records(s);
}

TEST_F(process_path, output_stays_under_the_ceiling) {
    for (double ceiling : {-0.3, -1.0, -6.0}) {
        host_stage* s = make_active_stage();
        set_by_flush(s, "Gain", 12);
        set_by_flush(s, "Ceiling", ceiling);
        stereo out = run(s, 48000, 512, true, 48000, 1.0);
        float peak = 0;
        size_t worst = 0;
        // From the first sample after activation on: the engine must not glide from unity into the
        // stored settings.
        for (size_t i = 0; i < out.l.size(); ++i) {
            if (std::max(std::fabs(out.l[i]), std::fabs(out.r[i])) > peak) worst = i;
            peak = std::max(peak, std::max(std::fabs(out.l[i]), std::fabs(out.r[i])));
        }
        EXPECT_LE(20 * std::log10(double(peak)), ceiling + 1e-3)
            << "ceiling " << ceiling << " at sample " << worst;
        drop_stage(s);
    }
}

TEST_F(process_path, no_allocation_on_the_audio_thread) {
#if defined(_WIN32)
    // A Windows module links its own C runtime, so no host can interpose its allocator.
    if (!alloc_counter_available()) GTEST_SKIP() << "allocations of a Windows module cannot be counted";
#endif
    if (!alloc_counter_available()) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "a sanitizer owns the allocator: allocations are counted in the plain build";
#else
        FAIL() << "the allocation counter is not linked in";
#endif
    }
    // The counter is live: an allocation inside an audio-thread job is seen.
    uint64_t c0 = alloc_counter_count();
    auto alloc_job = [] {
        void* volatile p = std::malloc(64);
        std::free(p);
    };
    host_audio_call(&audio, alloc_job);
    ASSERT_EQ(alloc_counter_count(), c0 + 1);

    host_stage* s[3] = {make_active_stage(48000, 1024), make_active_stage(48000, 1024),
                        make_active_stage(48000, 1024)};
    s[0]->debug->debug_arm_midi_learn(s[0]->plugin, 16);
    stereo b(1024);
    static host_input_events ev;
    host_events_init(&ev);
    uint64_t before = alloc_counter_count();
    int64_t steady = 0;
    const uint32_t sizes[] = {1024, 1, 256, 999, 64, 1024};
    for (int k = 0; k < 300; ++k) {
        uint32_t n = sizes[k % 6];
        test_signal(b.l.data(), b.r.data(), n, uint64_t(steady), 48000, 1.2);
        for (auto* st : s) {
            host_events_clear(&ev);
            host_events_push_param(&ev, 0, 2, double(k % 30));
            host_events_push_param(&ev, n / 2, 3, -0.1 * (k % 10));
            host_events_push_midi(&ev, n - 1, 0xB0, 7, uint8_t(k % 128));
            auto job = [&] { host_stage_process(st, b.io(), 2, b.io(), 2, n, steady, &ev); };
            host_audio_call(&audio, job);
        }
        steady += n;
    }
    EXPECT_EQ(alloc_counter_count() - before, 0u) << "allocations during process calls";
    for (auto* st : s)
        take_records(st);
}
