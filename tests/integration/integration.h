// Shared set-up of the integration tests: the built Lodrin.clap loaded through the host library of
// lodrin-host (never linked), one audio thread, a shared segment name of the test program's own, and
// a check after every test that the plug-in broke no host-side CLAP rule.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host.h"
#include "host_os.h"

#if !defined(_WIN32)
#include <sys/mman.h>
#include <unistd.h>
#endif

inline constexpr char LODRIN_ID[] = "com.tovarin.lodrin";

// A shared-segment name unique to this process, set before the module maps anything.
inline const char* integration_shm_name() {
    static char name[96] = "";
    if (!name[0]) std::snprintf(name, sizeof(name), "lodrin-it-%u", host_os_pid());
    return name;
}

// Removes the segment wherever the module put it: the user's runtime folder, else a folder of the
// user's own in /dev/shm or in the home's cache.
inline void integration_unlink_shm(const char* name) {
#if !defined(_WIN32)
    char obj[4200];
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR")) {
        std::snprintf(obj, sizeof(obj), "%s/lodrin/%s", runtime, name);
        unlink(obj);
    }
    std::snprintf(obj, sizeof(obj), "/dev/shm/lodrin-%u/%s", unsigned(getuid()), name);
    unlink(obj);
    if (const char* home = std::getenv("HOME")) {
        std::snprintf(obj, sizeof(obj), "%s/.cache/lodrin/%s", home, name);
        unlink(obj);
    }
#else
    (void)name;
#endif
}

#if !defined(_WIN32)
// Points LODRIN_SHM at this program's segment name plus `suffix` for the test's scope, and removes
// that segment at its end.
struct scoped_segment {
    std::string name;
    explicit scoped_segment(const char* suffix) : name(std::string(integration_shm_name()) + suffix) {
        setenv("LODRIN_SHM", name.c_str(), 1);
    }
    ~scoped_segment() { integration_unlink_shm(name.c_str()); }
    scoped_segment(const scoped_segment&) = delete;
    scoped_segment& operator=(const scoped_segment&) = delete;
};
#endif

// Waiting for what another process does: the state is polled until it is there, under a wall-clock
// bound that holds with every core busy, and on expiry the failure says what the last poll saw. A
// state that never comes still fails, only later. An idle machine needs a small fraction of the bound.
inline constexpr double INTEGRATION_WAIT_S = 20.0;

// Asks done() every `poll_ms` until it holds or `seconds` have passed (the last time at or after the
// bound). The failure reads "<describe()> after <seconds> s".
inline testing::AssertionResult poll_until(const std::function<bool()>& done,
                                           const std::function<std::string()>& describe,
                                           double seconds = INTEGRATION_WAIT_S, int poll_ms = 20) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (done()) return testing::AssertionSuccess();
        if (std::chrono::steady_clock::now() >= end) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(poll_ms));
    }
    return testing::AssertionFailure() << describe() << " after " << seconds << " s";
}

// The environment of every integration test program.
class integration_env : public ::testing::Environment {
  public:
    void SetUp() override {
        host_set_thread_role(HOST_THREAD_MAIN);
#if defined(_WIN32)
        _putenv_s("LODRIN_SHM", integration_shm_name());
#else
        setenv("LODRIN_SHM", integration_shm_name(), 1);
#endif
    }
    void TearDown() override {
        integration_unlink_shm(integration_shm_name());
    }
};

// The module under test: the build's Lodrin.clap, or what LODRIN_IT_MODULE names (the VST3 bundle,
// which lodrin-host's VST3 driver presents through the same host calls).
inline const char* integration_module_path() {
    const char* m = std::getenv("LODRIN_IT_MODULE");
    return m && *m ? m : LODRIN_TEST_MODULE;
}

inline bool integration_is_vst3() {
    return std::strstr(integration_module_path(), ".vst3") != nullptr;
}

// Fixture: the module and the audio thread, shared by the tests of one program.
class module_test : public ::testing::Test {
  public:
    static host_module mod;
    static host_audio_thread audio;

    static void SetUpTestSuite() {
        char err[1024];
        ASSERT_TRUE(host_module_load(&mod, integration_module_path(), err, sizeof(err))) << err;
        host_audio_start(&audio);
    }
    static void TearDownTestSuite() {
        host_audio_stop(&audio);
        host_module_unload(&mod);
    }

  protected:
    std::vector<host_stage*> stages;

    void SetUp() override { host_rule_errors_reset(); }

    void TearDown() override {
        for (host_stage* s : stages) {
            host_stage_destroy(s, &audio);
            delete s;
        }
        stages.clear();
        uint32_t n = host_rule_error_count();
        for (uint32_t i = 0; i < n && i < 20; ++i)
            ADD_FAILURE() << "CLAP rule broken: "
                          << (host_rule_error_text(i) ? host_rule_error_text(i) : "?");
        host_rule_errors_reset();
    }

    // A new initialised stage (test fails when creation fails).
    host_stage* make_stage() {
        auto* s = new host_stage();
        char err[512];
        if (!host_stage_create(s, &mod, LODRIN_ID, uint32_t(stages.size() + 1), err, sizeof(err))) {
            ADD_FAILURE() << err;
            delete s;
            return nullptr;
        }
        stages.push_back(s);
        return s;
    }

    // Destroys one stage made by make_stage before the test ends.
    void drop_stage(host_stage* s) {
        for (size_t i = 0; i < stages.size(); ++i) {
            if (stages[i] == s) {
                host_stage_destroy(s, &audio);
                delete s;
                stages.erase(stages.begin() + long(i));
                return;
            }
        }
    }

    host_stage* make_active_stage(double rate = 48000, uint32_t max_frames = 512) {
        host_stage* s = make_stage();
        if (s) {
            EXPECT_TRUE(host_stage_activate(s, rate, 1, max_frames));
        }
        return s;
    }

    static int32_t index_of(host_stage* s, const char* name) {
        int32_t i = host_stage_param_by_name(s, name);
        EXPECT_GE(i, 0) << name;
        return i;
    }

    static double value_of(host_stage* s, const char* name) {
        double v = -12345;
        int32_t i = index_of(s, name);
        if (i >= 0) {
            EXPECT_TRUE(host_stage_get_value(s, uint32_t(i), &v));
        }
        return v;
    }

    // Sets a parameter through a params flush with one value event (stage not processing).
    static void set_by_flush(host_stage* s, const char* name, double v) {
        static host_input_events ev;
        host_events_init(&ev);
        int32_t i = index_of(s, name);
        if (i < 0) return;
        host_events_push_param(&ev, 0, s->param[i].id, v);
        host_stage_flush(s, &ev);
    }

    // Runs one process call on the audio thread over stereo buffers (in may equal out).
    clap_process_status process(host_stage* s, float* const* in, uint32_t n_in, float* const* out,
                                uint32_t n_out, uint32_t frames, const host_input_events* ev = nullptr,
                                int64_t steady = -1) {
        clap_process_status st = CLAP_PROCESS_ERROR;
        auto job = [&] { st = host_stage_process(s, in, n_in, out, n_out, frames, steady, ev); };
        host_audio_call(&audio, job);
        return st;
    }

    // stop_processing on the audio thread (before a deactivate).
    void stop_processing(host_stage* s) {
        auto job = [s] { host_stage_stop_processing(s); };
        host_audio_call(&audio, job);
    }

    // Drains every recorded output event.
    static std::vector<host_event_record> take_records(host_stage* s) {
        std::vector<host_event_record> v;
        host_event_record r;
        while (host_stage_take_record(s, &r))
            v.push_back(r);
        return v;
    }

    static double meter(host_stage* s, uint32_t i) {
        return s->debug ? s->debug->debug_get_meter(s->plugin, i) : -9999.0;
    }
};

inline host_module module_test::mod;
inline host_audio_thread module_test::audio;

// Deterministic test signal: a sum of two sines with noise, peaking near `peak`.
inline void test_signal(float* l, float* r, uint32_t n, uint64_t start, double rate, double peak) {
    for (uint32_t i = 0; i < n; ++i) {
        double t = double(start + i) / rate;
        uint64_t x = (start + i) * 0x9E3779B97F4A7C15ull;
        x ^= x >> 29;
        x *= 0xBF58476D1CE4E5B9ull;
        x ^= x >> 32;
        double nz = double(x >> 11) / 9007199254740992.0 * 2 - 1;
        double v = 0.55 * std::sin(2 * 3.141592653589793 * 97 * t) +
                   0.3 * std::sin(2 * 3.141592653589793 * 1234 * t) + 0.15 * nz;
        l[i] = float(peak * v);
        if (r) r[i] = float(peak * (0.9 * v + 0.1 * nz));
    }
}
