// Guards the host's own honesty: a deliberately faulty module (rule_breaker_plugin.cpp) breaks
// host-side CLAP rules, and each of them must come out as a rule error rather than pass silently.
#include <string>

#include "integration.h"

#if defined(LODRIN_TEST_RULE_BREAKER)
namespace {

bool any_error_contains(const char* part) {
    for (uint32_t i = 0; i < host_rule_error_count(); ++i)
        if (host_rule_error_text(i) && std::strstr(host_rule_error_text(i), part)) return true;
    return false;
}

std::string all_errors() {
    std::string s;
    for (uint32_t i = 0; i < host_rule_error_count(); ++i)
        if (host_rule_error_text(i)) s += std::string(host_rule_error_text(i)) + "\n";
    return s;
}

} // namespace
#endif

TEST(host_rules, faults_of_a_plugin_are_reported) {
#if !defined(LODRIN_TEST_RULE_BREAKER)
    GTEST_SKIP() << "the faulty module is built in the Linux tree only";
#else
    host_set_thread_role(HOST_THREAD_MAIN);
    host_rule_errors_reset();
    host_module m;
    char err[512];
    ASSERT_TRUE(host_module_load(&m, LODRIN_TEST_RULE_BREAKER, err, sizeof(err))) << err;
    EXPECT_TRUE(any_error_contains("get_plugin_descriptor(3) returned null")) << all_errors();

    host_audio_thread audio{};
    host_audio_start(&audio);
    const char* ids[] = {"test.wrong-thread", "test.bad-events", "test.null-table"};
    host_stage* st[3];
    for (int k = 0; k < 3; ++k) {
        st[k] = new host_stage();
        ASSERT_TRUE(host_stage_create(st[k], &m, ids[k], uint32_t(k + 1), err, sizeof(err))) << err;
        ASSERT_TRUE(host_stage_activate(st[k], 48000, 1, 64));
    }
    EXPECT_TRUE(any_error_contains("latency table has a null function")) << all_errors();
    EXPECT_EQ(st[2]->latency_ext, nullptr) << "a broken table is not used";

    float l[64] = {}, r[64] = {};
    float* io[2] = {l, r};
    for (int k = 0; k < 2; ++k) {
        host_stage* s = st[k];
        auto job = [&] { host_stage_process(s, io, 2, io, 2, 64, 0, nullptr); };
        host_audio_call(&audio, job);
    }
    const char* expected[] = {"mark_dirty is [main-thread] but was called on the audio thread",
                              "request_flush must not be called on the audio thread",
                              "gesture end for \"Level\" without a gesture begin",
                              "param value event for unknown id 77",
                              "output event times decrease (3 after 5)",
                              "output event at time 64 in a block of 64 frames",
                              "with 5 outside 0..1",
                              "clap_input_events.get(0) on a list of 0 events"};
    for (const char* e : expected)
        EXPECT_TRUE(any_error_contains(e)) << "not reported: " << e << "\nreported:\n" << all_errors();

    for (auto* s : st) {
        host_stage_destroy(s, &audio);
        delete s;
    }
    host_audio_stop(&audio);
    host_module_unload(&m);
    host_rule_errors_reset();
#endif
}
