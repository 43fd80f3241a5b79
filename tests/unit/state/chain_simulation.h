// A small model of host audio engines for the chain-order simulation tests.
//
// A host has workers standing in for its audio threads. Every host block (a nominal period with a
// deterministic jitter of up to +-10 %), each worker wakes at the block's time and runs its tracks in
// an order shuffled per block, each after a delay of its own of up to 1 ms (the other plug-ins and the
// scheduler of a real host); a track runs its stages in series, each stage stamping its process call
// into its slot through the same ring writer the process driver uses (begin, some microseconds of
// work, end). Stages may skip single blocks, make events-only calls (begin without end), go idle for
// stretches, or pause for a while. A host gives steady times (block index x frames + a base of its
// own) or none (-1).
//
// A lister (standing in for the editor) lists every track's chain once per 16 ms frame and records
// when each chain is first found complete and in order, and every later listing that differs from it.
// With CHAIN_SIM_DUMP set in the environment, the first differing listing of a track also prints the
// pairwise relations of its Group and the histories of the first pair that contradicts the tracks.
//
// The model runs in one of two ways. On simulated time (sim_schedule_host, sim_run_virtual) every call
// and every listing becomes an action with a time of its own, the actions run in time order on one
// thread, and the platform clock reads the action's time: the same seed gives the same run on any
// machine, however busy, in a fraction of the time it simulates. On real threads (sim_run_host)
// workers sleep on the wall clock; a busy machine then changes the timing itself, so such a run can
// only check what holds whatever the timing.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "chain_test_support.h"

// Timeline of one run, from its start: the pausing stage stops at 1.2 s and resumes at 2.1 s (longer
// than the 500 ms a stage stays live); the run ends at 3.0 s.
inline constexpr int64_t SIM_PAUSE_FROM_NS = 1200000000;
inline constexpr int64_t SIM_PAUSE_TO_NS = 2100000000;
inline constexpr int64_t SIM_RUN_NS = 3000000000;
// A chain must be found within this many listing rounds (16 ms each): well before the pause.
inline constexpr int SIM_CONVERGENCE_BOUND = 60;

inline uint64_t sim_mix(uint64_t x) {
    // splitmix64: decorrelates the (seed, block, stage) triples that drive every random choice.
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

struct sim_stage {
    shm_slot* slot = nullptr;
    int skip_percent = 0;        // blocks the host does not call this stage at all
    int events_only_percent = 0; // blocks with a call that processes no audio (begin, no end)
    bool idle_stretches = false; // not called for 200 ms out of every 800 ms
    bool pauses = false;         // not called between the host's pause_from and pause_to
};

struct sim_track {
    int group = 0;
    std::vector<sim_stage> stages;
};

struct sim_host {
    int64_t period_ns = 5333333;
    int64_t frames = 256;
    bool steady = true;
    int64_t steady_base = 0;
    uint64_t seed = 1;
    std::vector<sim_track> tracks;
    std::vector<std::vector<int>> workers; // track indices per worker thread
    int64_t t0 = 0, t_end = 0, pause_from = 0, pause_to = 0;
};

inline void sim_sleep_until(int64_t t) {
#if defined(_WIN32)
    // The Windows runtime sleeps in whole milliseconds (a shorter sleep_for returns at once), so
    // sleep to within 2 ms of the target and spin the rest.
    const int64_t d = t - clock_ns() - 2000000;
    if (d > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(d));
    while (clock_ns() < t) {}
#else
    const int64_t d = t - clock_ns();
    if (d > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(d));
#endif
}

inline void sim_spin(int64_t ns) {
    const int64_t until = clock_ns() + ns;
    while (clock_ns() < until) {}
}

// The time of host block k (with its jitter), and in `*r` the block's random word.
inline int64_t sim_block_start(const sim_host& h, int64_t k, uint64_t* r) {
    *r = sim_mix(h.seed * 1000003u + static_cast<uint64_t>(k));
    const int64_t jitter = static_cast<int64_t>(*r % 2001) - 1000; // per mille, -10 % .. +10 %
    return h.t0 + k * h.period_ns + jitter * h.period_ns / 10000;
}

// The order in which a worker runs its tracks in the block of random word `r`.
inline void sim_shuffle(std::vector<int>& order, uint64_t r, size_t worker) {
    for (size_t i = 0; i < order.size(); ++i) {
        const size_t j = i + sim_mix(r + static_cast<uint64_t>(worker) * 77 + i) % (order.size() - i);
        std::swap(order[i], order[j]);
    }
}

inline void sim_run_worker(const sim_host& h, int worker) {
    const std::vector<int>& mine = h.workers[static_cast<size_t>(worker)];
    std::vector<int> order = mine;
    for (int64_t k = 0;; ++k) {
        uint64_t r = 0;
        const int64_t t = sim_block_start(h, k, &r);
        if (t >= h.t_end) break;
        sim_sleep_until(t);
        const int64_t steady = h.steady ? h.steady_base + k * h.frames : -1;
        sim_shuffle(order, r, worker);
        for (int ti : order) {
            const sim_track& track = h.tracks[static_cast<size_t>(ti)];
            // Other plug-ins, bus routing and the host's scheduler delay each track by 0..1 ms,
            // differently in every block (longer waits sleep, as a worker that waits for its input).
            const int64_t delay =
                static_cast<int64_t>(sim_mix(r + 0x51u * static_cast<uint64_t>(ti + 1)) % 1000000);
            if (delay < 150000)
                sim_spin(delay);
            else
                sim_sleep_until(clock_ns() + delay);
            for (size_t si = 0; si < track.stages.size(); ++si) {
                const sim_stage& st = track.stages[si];
                const uint64_t u = sim_mix(r ^ (static_cast<uint64_t>(ti) << 40) ^ (si << 32));
                const int64_t now = clock_ns();
                if (st.pauses && now >= h.pause_from && now < h.pause_to) continue;
                if (st.idle_stretches && (now - h.t0) % 800000000 < 200000000) continue;
                if (static_cast<int>(u % 100) < st.skip_percent) continue;
                const uint32_t c = slot_timing_begin(st.slot, clock_ns(), steady);
                if (static_cast<int>((u >> 8) % 100) < st.events_only_percent) continue;
                sim_spin(20000 + static_cast<int64_t>((u >> 16) % 40000)); // 20..60 us of audio work
                slot_timing_end(st.slot, c, clock_ns());
            }
        }
    }
}

// Runs every worker of the host until its t_end; returns when all have finished.
inline void sim_run_host(const sim_host& h) {
    std::vector<std::thread> threads;
    for (size_t w = 0; w < h.workers.size(); ++w)
        threads.emplace_back(sim_run_worker, std::cref(h), static_cast<int>(w));
    for (std::thread& t : threads)
        t.join();
}

struct sim_track_report {
    int first_ok = -1;      // listing round at which the chain was first complete and in order
    int flaps = 0;          // later rounds whose listing differed
    int paused_ok = 0;      // rounds with the paused stage not live yet listed in its place
    std::string first_flap; // what the first differing listing held
    uint32_t serial = 0;    // chain serial of the track's first stage when first found
    int serial_changes = 0; // later rounds in which that serial differed
};

// For a failing run: the pairwise relations, serials and ages of every stage of `group` (named
// track.stage), printed when CHAIN_SIM_DUMP is set.
inline void sim_dump_group(const std::vector<const sim_track*>& tracks, int group) {
    struct named {
        std::string name;
        shm_slot* slot;
        std::vector<timing_record> h;
    };
    std::vector<named> v;
    for (size_t t = 0; t < tracks.size(); ++t)
        if (tracks[t]->group == group)
            for (size_t i = 0; i < tracks[t]->stages.size(); ++i) {
                named m{std::to_string(t) + "." + std::to_string(i), tracks[t]->stages[i].slot, {}};
                const uint32_t c = shm_load(m.slot->timing_count);
                const uint32_t k = c < 62 ? c : 62;
                for (uint32_t r = 0; r < k; ++r) {
                    const uint32_t e = (c - k + r) & 63u;
                    m.h.push_back({shm_load(m.slot->timing_start[e]), shm_load(m.slot->timing_end[e]),
                                   shm_load(m.slot->timing_steady[e])});
                }
                v.push_back(m);
            }
    const int64_t now = clock_ns();
    std::fprintf(stderr, "      ");
    for (const named& m : v)
        std::fprintf(stderr, "%5s", m.name.c_str());
    std::fprintf(stderr, "\n");
    for (const named& a : v) {
        std::fprintf(stderr, "%5s ", a.name.c_str());
        for (const named& b : v)
            std::fprintf(stderr, "%5d",
                         &a == &b ? 9
                                  : relation_between(a.h.data(), static_cast<int32_t>(a.h.size()), b.h.data(),
                                                     static_cast<int32_t>(b.h.size())));
        std::fprintf(stderr, "  serial %u, last call %.1f ms ago\n", shm_load(a.slot->chain_serial),
                     static_cast<double>(now - shm_load(a.slot->start_ns)) / 1e6);
    }
    // The histories of the first pair whose relation contradicts the tracks.
    for (const named& a : v)
        for (const named& b : v) {
            if (&a == &b) continue;
            const bool same = a.name.substr(0, a.name.find('.')) == b.name.substr(0, b.name.find('.'));
            const int32_t r = relation_between(a.h.data(), static_cast<int32_t>(a.h.size()), b.h.data(),
                                               static_cast<int32_t>(b.h.size()));
            if (r == (same ? 2 : 1)) {
                std::fprintf(stderr, "%s vs %s: %d\n", a.name.c_str(), b.name.c_str(), r);
                const int64_t t0 = a.h.empty() ? 0 : a.h[0].start;
                for (size_t i = 0; i < a.h.size() || i < b.h.size(); ++i) {
                    if (i < a.h.size())
                        std::fprintf(stderr, "  %9.3f %9.3f %8lld", (a.h[i].start - t0) / 1e6,
                                     (a.h[i].end - t0) / 1e6, static_cast<long long>(a.h[i].steady));
                    else
                        std::fprintf(stderr, "  %28s", "");
                    if (i < b.h.size())
                        std::fprintf(stderr, "  %9.3f %9.3f %8lld", (b.h[i].start - t0) / 1e6,
                                     (b.h[i].end - t0) / 1e6, static_cast<long long>(b.h[i].steady));
                    std::fprintf(stderr, "\n");
                }
                return;
            }
        }
}

// One listing round: lists each track's chain (own = its first stage) and adds what it found to the
// track's report. A listing is correct when it holds exactly the track's stages, in order, at
// positions 1..n.
inline void sim_list_round(const std::vector<const sim_track*>& tracks, std::vector<sim_track_report>& rep,
                           int round) {
    chain_member out[64];
    for (size_t i = 0; i < tracks.size(); ++i) {
        const sim_track& t = *tracks[i];
        const int32_t n = registry_collect_chain(t.stages[0].slot, static_cast<uint32_t>(t.group), out, 64);
        bool ok = n == static_cast<int32_t>(t.stages.size());
        bool paused_not_live = false;
        for (int32_t j = 0; ok && j < n; ++j) {
            ok = out[j].slot == t.stages[static_cast<size_t>(j)].slot && out[j].position == j + 1;
            if (t.stages[static_cast<size_t>(j)].pauses && !out[j].live) paused_not_live = true;
        }
        sim_track_report& r = rep[i];
        const uint32_t serial = shm_load(t.stages[0].slot->chain_serial);
        if (ok && r.first_ok < 0) {
            r.first_ok = round;
            r.serial = serial;
        } else if (r.first_ok >= 0 && serial != r.serial) {
            ++r.serial_changes;
        }
        if (ok && paused_not_live) ++r.paused_ok;
        if (!ok && r.first_ok >= 0) {
            if (r.flaps++ == 0) {
                if (std::getenv("CHAIN_SIM_DUMP") != nullptr) sim_dump_group(tracks, t.group);
                r.first_flap = "round " + std::to_string(round) + ":";
                for (int32_t j = 0; j < n; ++j) {
                    int idx = -1;
                    for (size_t s = 0; s < t.stages.size(); ++s)
                        if (t.stages[s].slot == out[j].slot) idx = static_cast<int>(s);
                    // Appended piece by piece: GCC 12 at -O3 warns falsely on "literal" + string.
                    r.first_flap.append(" ").append(std::to_string(idx)).append("@");
                    r.first_flap.append(std::to_string(out[j].position)).append(out[j].live ? "" : "(idle)");
                }
            }
        }
    }
}

// Lists on the wall clock, once per 16 ms until `until`; for runs on real threads.
inline std::vector<sim_track_report> sim_list(const std::vector<const sim_track*>& tracks, int64_t until,
                                              int* rounds) {
    std::vector<sim_track_report> rep(tracks.size());
    int round = 0;
    for (int64_t frame = clock_ns(); frame < until; frame += 16000000, ++round) {
        sim_sleep_until(frame);
        sim_list_round(tracks, rep, round);
    }
    *rounds = round;
    return rep;
}

// ---- Simulated time ----

// One step of a simulated run: a stage's call beginning or ending, or a listing round.
enum sim_action_kind : uint8_t { SIM_BEGIN, SIM_END, SIM_LIST };

struct sim_action {
    int64_t t = 0;
    int32_t source = 0; // who acts: 0 the lister, else host x 16 + worker + 1
    int32_t seq = 0;    // order within the source
    sim_action_kind kind = SIM_LIST;
    shm_slot* slot = nullptr;
    int64_t steady = -1;
};

// Time order; a source's own actions keep their order, and equal times of two sources are broken
// by the source, so every process that sorts the same actions gets the same order.
inline bool sim_action_before(const sim_action& a, const sim_action& b) {
    return std::tie(a.t, a.source, a.seq) < std::tie(b.t, b.source, b.seq);
}

// The simulated clock that clock_ns reads while a simulated run is going.
inline std::atomic<int64_t> sim_virtual_now{0};
inline int64_t sim_virtual_clock() {
    return sim_virtual_now.load(std::memory_order_relaxed);
}

// Adds the calls of every worker of `h` (host number `host_no`, 0 or 1) over its timeline, as
// sim_run_worker makes them on real threads: the same blocks, jitter, shuffles, delays, skips and
// work, with each worker's time advancing by what it does and waiting for its next block's time.
inline void sim_schedule_host(const sim_host& h, int host_no, std::vector<sim_action>& out) {
    // Between two calls of one track the host spends a little time of its own.
    constexpr int64_t call_gap_ns = 1000;
    for (size_t worker = 0; worker < h.workers.size(); ++worker) {
        const int32_t source = host_no * 16 + static_cast<int32_t>(worker) + 1;
        int32_t seq = 0;
        std::vector<int> order = h.workers[worker];
        int64_t now = h.t0;
        for (int64_t k = 0;; ++k) {
            uint64_t r = 0;
            const int64_t t = sim_block_start(h, k, &r);
            if (t >= h.t_end) break;
            if (now < t) now = t;
            const int64_t steady = h.steady ? h.steady_base + k * h.frames : -1;
            sim_shuffle(order, r, worker);
            for (int ti : order) {
                const sim_track& track = h.tracks[static_cast<size_t>(ti)];
                now += static_cast<int64_t>(sim_mix(r + 0x51u * static_cast<uint64_t>(ti + 1)) % 1000000);
                for (size_t si = 0; si < track.stages.size(); ++si) {
                    const sim_stage& st = track.stages[si];
                    const uint64_t u = sim_mix(r ^ (static_cast<uint64_t>(ti) << 40) ^ (si << 32));
                    if (st.pauses && now >= h.pause_from && now < h.pause_to) continue;
                    if (st.idle_stretches && (now - h.t0) % 800000000 < 200000000) continue;
                    if (static_cast<int>(u % 100) < st.skip_percent) continue;
                    out.push_back({now, source, seq++, SIM_BEGIN, st.slot, steady});
                    if (static_cast<int>((u >> 8) % 100) < st.events_only_percent) continue;
                    now += 20000 + static_cast<int64_t>((u >> 16) % 40000);
                    out.push_back({now, source, seq++, SIM_END, st.slot, steady});
                    now += call_gap_ns;
                }
            }
        }
    }
}

// Adds the lister's rounds: one per 16 ms from `from` until `until`.
inline void sim_schedule_listing(int64_t from, int64_t until, std::vector<sim_action>& out) {
    int32_t seq = 0;
    for (int64_t frame = from; frame < until; frame += 16000000)
        out.push_back({frame, 0, seq++, SIM_LIST, nullptr, -1});
}

// Carries out one call action at its time. A slot is written by one worker only, so at a call's end
// its ring count is still the one its begin used.
inline void sim_do_call(const sim_action& a) {
    sim_virtual_now.store(a.t, std::memory_order_relaxed);
    if (a.kind == SIM_BEGIN)
        slot_timing_begin(a.slot, a.t, a.steady);
    else
        slot_timing_end(a.slot, shm_load(a.slot->timing_count), a.t);
}

// Runs `actions` in time order with clock_ns reading each action's time, and lists at the SIM_LIST
// actions. Actions of a source for which `remote(source)` is true belong to another process: before
// any other action runs, `run_remote(n)` must return once that process has carried out the first n
// of them (in their own time order). Returns the reports; `*rounds` gets the number of rounds.
inline std::vector<sim_track_report>
sim_run_virtual(std::vector<sim_action> actions, const std::vector<const sim_track*>& tracks, int* rounds,
                const std::function<bool(int32_t)>& remote = nullptr,
                const std::function<void(int64_t)>& run_remote = nullptr) {
    std::sort(actions.begin(), actions.end(), sim_action_before);
    std::vector<sim_track_report> rep(tracks.size());
    int round = 0;
    int64_t remote_due = 0, remote_done = 0;
    clock_set_source(sim_virtual_clock);
    for (const sim_action& a : actions) {
        if (remote && remote(a.source)) {
            ++remote_due;
            continue;
        }
        if (remote_due != remote_done) {
            run_remote(remote_due);
            remote_done = remote_due;
        }
        if (a.kind == SIM_LIST) {
            sim_virtual_now.store(a.t, std::memory_order_relaxed);
            sim_list_round(tracks, rep, round++);
        } else {
            sim_do_call(a);
        }
    }
    if (remote_due != remote_done) run_remote(remote_due);
    clock_set_source(nullptr);
    *rounds = round;
    return rep;
}

// The two hosts of the simulation. Host 1: 256 frames at 48 kHz on three audio threads. Worker 0 runs
// a 3-stage track with a stage that skips blocks and a 1-stage track, in shuffled order; worker 1 a
// 6-stage track whose third stage pauses and whose fifth sometimes makes events-only calls; worker 2
// two Group 1 tracks (2 and 4 stages, one idling in stretches). Host 2 ("the other process") runs on
// the same audio device, so with the same period but its own jitter and its own steady clock, on two
// threads: a 4-stage track in Group 0 and a 2-stage track in Group 2.
inline void sim_define_host1(sim_host& h, bool steady, const std::vector<shm_slot*>& slots) {
    h.period_ns = 5333333;
    h.frames = 256;
    h.steady = steady;
    h.steady_base = 0;
    h.seed = 11;
    size_t next = 0;
    auto track = [&](int group, int n) {
        sim_track t;
        t.group = group;
        for (int i = 0; i < n; ++i) {
            sim_stage s;
            s.slot = slots[next++];
            t.stages.push_back(s);
        }
        h.tracks.push_back(t);
        return &h.tracks.back();
    };
    h.tracks.reserve(5);
    track(0, 3)->stages[1].skip_percent = 10;
    track(0, 1);
    sim_track* six = track(0, 6);
    six->stages[2].pauses = true;
    six->stages[4].events_only_percent = 5;
    track(1, 2);
    track(1, 4)->stages[3].idle_stretches = true;
    h.workers = {{0, 1}, {2}, {3, 4}};
}
inline constexpr int SIM_HOST1_STAGES = 16;

inline void sim_define_host2(sim_host& h, bool steady, const std::vector<shm_slot*>& slots) {
    h.period_ns = 5333333;
    h.frames = 256;
    h.steady = steady;
    h.steady_base = 1000000000;
    h.seed = 22;
    h.tracks.resize(2);
    h.tracks[0].group = 0;
    h.tracks[1].group = 2;
    for (int i = 0; i < 4; ++i)
        h.tracks[0].stages.push_back(sim_stage{slots[static_cast<size_t>(i)]});
    for (int i = 4; i < 6; ++i)
        h.tracks[1].stages.push_back(sim_stage{slots[static_cast<size_t>(i)]});
    h.workers = {{0}, {1}};
}
inline constexpr int SIM_HOST2_STAGES = 6;

// Gives every slot of the host the Group of its track.
inline void sim_assign_groups(const sim_host& h) {
    for (const sim_track& t : h.tracks)
        for (const sim_stage& s : t.stages)
            shm_store(s.slot->values[PARAM_GROUP], static_cast<double>(t.group));
}

inline void sim_set_timeline(sim_host& h, int64_t t0) {
    h.t0 = t0;
    h.t_end = t0 + SIM_RUN_NS;
    h.pause_from = t0 + SIM_PAUSE_FROM_NS;
    h.pause_to = t0 + SIM_PAUSE_TO_NS;
}

// Checks and prints one run's figures.
inline std::string sim_summary(const char* variant, const std::vector<sim_track_report>& rep, int rounds) {
    int worst = 0;
    std::string per_track;
    for (const sim_track_report& r : rep) {
        worst = r.first_ok > worst ? r.first_ok : worst;
        per_track.append(" ").append(std::to_string(r.first_ok));
    }
    char head[160];
    std::snprintf(head, sizeof head,
                  "%s: %d listing rounds; every chain found by round %d (per track:", variant, rounds, worst);
    return std::string(head) + per_track + ")";
}
