// Guards the Windows segment across real processes: stages of two processes that do not meet in one
// named mapping, a dead process's slot that is never reclaimed (or a live one that is stolen), or a
// LODRIN_SHM override that names another kernel object would each split or corrupt a chain.
#include "child_process.h"
#include "shm.h"
#include "shm_port.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

namespace {

// One shm_peer process.
struct peer : child_process {
    bool start(const char* args) { return child_process::start(path_beside_self("shm_peer.exe"), args); }
};

struct claim_report {
    int index = -1;
    unsigned generation = 0;
    int shared = 0;
    int pid = 0;
};

claim_report claim_in(peer& p, uint64_t id) {
    char args[64];
    snprintf(args, sizeof args, "claim %llx", static_cast<unsigned long long>(id));
    claim_report r;
    if (!p.start(args)) {
        ADD_FAILURE() << "cannot start shm_peer.exe";
        return r;
    }
    const std::string l = p.line();
    EXPECT_EQ(sscanf(l.c_str(), "claimed %d %u %d %d", &r.index, &r.generation, &r.shared, &r.pid), 4) << l;
    return r;
}

void set_segment_name(const char* name) {
    // _putenv_s changes both the C runtime's copy (read by this process) and the process
    // environment that children inherit.
    _putenv_s("LODRIN_SHM", name);
}

// Every test gets a segment of its own, so that tests running in parallel under one wineserver (and
// a user's real segment) never meet.
class SegmentAcrossProcesses : public ::testing::Test {
  protected:
    std::vector<shm_slot*> mine;
    char name[96];

    void SetUp() override {
        snprintf(name, sizeof name, "lodrin-wtest-%lu-%s", GetCurrentProcessId(),
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        set_segment_name(name);
        shm_close();
    }
    void TearDown() override {
        for (shm_slot* s : mine)
            slot_release(s);
        mine.clear();
        shm_close();
        set_segment_name("");
    }
    shm_slot* claim(uint64_t id) {
        shm_slot* s = slot_claim();
        if (s != nullptr) {
            shm_store(s->instance_id, id);
            mine.push_back(s);
        }
        return s;
    }
};

TEST_F(SegmentAcrossProcesses, TwoProcessesMeetInOneSegment) {
    shm_slot* own = claim(0xA11CE);
    ASSERT_NE(own, nullptr);
    ASSERT_TRUE(slot_is_shared(own));

    peer other;
    const claim_report r = claim_in(other, 0xB0B);
    ASSERT_EQ(r.shared, 1);
    ASSERT_GE(r.index, 0);
    ASSERT_NE(r.index, slot_shared_index(own));

    // This process sees the peer's slot with its owner and the instance id it stored ...
    const shm_slot* theirs = slot_by_index(r.index);
    ASSERT_NE(theirs, nullptr);
    EXPECT_EQ(shm_load(theirs->owner_pid), static_cast<uint32_t>(r.pid));
    EXPECT_EQ(shm_load(theirs->instance_id), 0xB0Bu);
    EXPECT_TRUE(process_is_alive(r.pid));
    EXPECT_TRUE(slot_owner_alive(theirs));

    // ... and the peer sees ours.
    other.send("find a11ce\n");
    int index = -2, owner = 0;
    ASSERT_EQ(sscanf(other.line().c_str(), "found %d %d", &index, &owner), 2);
    EXPECT_EQ(index, slot_shared_index(own));
    EXPECT_EQ(owner, current_process_id());

    // A release in the peer frees the slot for everyone.
    other.send("release\n");
    EXPECT_EQ(other.line(), "released");
    EXPECT_EQ(slot_by_index(r.index), nullptr);
}

TEST_F(SegmentAcrossProcesses, ProcessesStartingTogetherAllAcceptTheSegment) {
    constexpr int n = 8;
    peer peers[n];
    for (peer& p : peers)
        ASSERT_TRUE(p.start("open"));
    for (peer& p : peers)
        EXPECT_EQ(p.line(), "open 1 2");

    slot_count();
    const shm_header* h = shm_header_ptr();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(shm_load(h->state), SHM_STATE_READY);
    EXPECT_EQ(shm_load(h->magic), SHM_MAGIC);
    EXPECT_EQ(shm_load(h->version), SHM_VERSION);
    EXPECT_EQ(shm_load(h->slot_size), SHM_SLOT_SIZE);
    EXPECT_EQ(shm_load(h->values_per_slot), static_cast<uint32_t>(PARAM_COUNT));
    EXPECT_EQ(shm_load(h->slot_count), static_cast<uint32_t>(SHM_SLOT_COUNT));
}

// Ends a peer the way a crashing or killed host ends: no release.
enum class death { terminate_process, taskkill, exit_without_release };

void end_peer(peer& p, death how) {
    switch (how) {
        case death::terminate_process:
            ASSERT_TRUE(TerminateProcess(p.pi.hProcess, 1));
            break;
        case death::taskkill: {
            char cmd[64];
            snprintf(cmd, sizeof cmd, "taskkill.exe /F /PID %lu", p.pi.dwProcessId);
            STARTUPINFOA si{};
            si.cb = sizeof si;
            PROCESS_INFORMATION tk{};
            ASSERT_TRUE(CreateProcessA(nullptr, cmd, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                                       nullptr, &si, &tk));
            WaitForSingleObject(tk.hProcess, 20000);
            DWORD code = 1;
            GetExitCodeProcess(tk.hProcess, &code);
            CloseHandle(tk.hProcess);
            CloseHandle(tk.hThread);
            EXPECT_EQ(code, 0u) << cmd;
            break;
        }
        case death::exit_without_release:
            p.send("exit\n");
            break;
    }
    ASSERT_TRUE(p.wait_exit());
}

TEST_F(SegmentAcrossProcesses, SlotsOfDeadProcessesAreTakenOverAndLiveOnesKept) {
    constexpr death deaths[] = {death::terminate_process, death::taskkill, death::exit_without_release};
    peer dying[3], alive;
    claim_report dead[3];
    ASSERT_EQ(slot_count(), SHM_SLOT_COUNT); // opens the segment here too
    for (int k = 0; k < 3; ++k) {
        dead[k] = claim_in(dying[k], 0xDEAD0 + k);
        ASSERT_EQ(dead[k].shared, 1);
        // Fields a take-over must clear or reset.
        shm_slot* s = slot_by_index(dead[k].index);
        ASSERT_NE(s, nullptr);
        shm_store(s->values[1], 6.0);
        shm_store(s->midi_cc[3], 7);
        shm_store(s->midi_learn_param, 2);
        shm_store(s->history_gap_start, 5);
        shm_store(s->timing_count, 9u);
    }
    const claim_report kept = claim_in(alive, 0x11FE);
    ASSERT_EQ(kept.shared, 1);

    for (int k = 0; k < 3; ++k) {
        end_peer(dying[k], deaths[k]);
        EXPECT_FALSE(process_is_alive(dead[k].pid)) << k;
    }
    EXPECT_TRUE(process_is_alive(kept.pid));

    // Free slots go first: the 60 left free by the four peers.
    for (int i = 0; i < SHM_SLOT_COUNT - 4; ++i) {
        shm_slot* s = claim(0x5000 + i);
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(slot_is_shared(s));
        const int index = slot_shared_index(s);
        ASSERT_NE(index, kept.index);
        for (const claim_report& d : dead)
            ASSERT_NE(index, d.index);
    }

    // Then the three dead peers' slots, each as a fresh claim of ours.
    bool taken[3] = {};
    for (int i = 0; i < 3; ++i) {
        shm_slot* s = slot_claim();
        ASSERT_NE(s, nullptr);
        ASSERT_TRUE(slot_is_shared(s));
        int k = 0;
        while (k < 3 && dead[k].index != slot_shared_index(s))
            ++k;
        ASSERT_LT(k, 3) << "took slot " << slot_shared_index(s);
        EXPECT_FALSE(taken[k]);
        taken[k] = true;
        EXPECT_EQ(shm_load(s->owner_pid), static_cast<uint32_t>(current_process_id()));
        EXPECT_EQ(shm_load(s->generation), dead[k].generation + 1);
        EXPECT_EQ(shm_load(s->instance_id), 0u);
        EXPECT_EQ(shm_load(s->values[1]), 0.0);
        EXPECT_EQ(shm_load(s->timing_count), 0u);
        EXPECT_EQ(shm_load(s->history_gap_start), -1);
        EXPECT_EQ(shm_load(s->midi_learn_param), -1);
        for (int p = 0; p < PARAM_COUNT; ++p)
            EXPECT_EQ(shm_load(s->midi_cc[p]), -1) << p;
        mine.push_back(s);
    }

    // The live peer's slot is never taken: with the segment full the next stage runs privately.
    shm_slot* extra = claim(0xE);
    ASSERT_NE(extra, nullptr);
    EXPECT_FALSE(slot_is_shared(extra));
    const shm_slot* live = slot_by_index(kept.index);
    ASSERT_NE(live, nullptr);
    EXPECT_EQ(shm_load(live->owner_pid), static_cast<uint32_t>(kept.pid));
    EXPECT_EQ(shm_load(live->instance_id), 0x11FEu);

    alive.send("release\n");
    EXPECT_EQ(alive.line(), "released");
}

TEST_F(SegmentAcrossProcesses, OwnerLivenessIsAskedAtMostOncePerSecond) {
    ASSERT_EQ(slot_count(), SHM_SLOT_COUNT);
    peer p;
    const claim_report r = claim_in(p, 0x1AB);
    ASSERT_EQ(r.shared, 1);
    const shm_slot* s = slot_by_index(r.index);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(slot_owner_alive(s)); // asks the OS and keeps the answer

    const DWORD asked = GetTickCount();
    ASSERT_TRUE(TerminateProcess(p.pi.hProcess, 1));
    ASSERT_TRUE(p.wait_exit());
    EXPECT_FALSE(process_is_alive(r.pid));
    // Within the second the kept answer stands (the clock is read once more per call, so allow for
    // the time spent killing the peer).
    if (GetTickCount() - asked < 800) {
        EXPECT_TRUE(slot_owner_alive(s));
    }
    Sleep(1100);
    EXPECT_FALSE(slot_owner_alive(s));
}

// Maps the kernel object `object` (a full name such as Local\x) read-only; null when none exists.
const shm_header* open_object(const std::string& object, HANDLE* handle) {
    std::wstring wide(object.begin(), object.end());
    *handle = OpenFileMappingW(FILE_MAP_READ, FALSE, wide.c_str());
    if (*handle == nullptr) return nullptr;
    void* view = MapViewOfFile(*handle, FILE_MAP_READ, 0, 0, 0);
    if (view == nullptr) {
        CloseHandle(*handle);
        *handle = nullptr;
    }
    return static_cast<const shm_header*>(view);
}

void close_object(const shm_header* view, HANDLE handle) {
    if (view != nullptr) UnmapViewOfFile(view);
    if (handle != nullptr) CloseHandle(handle);
}

TEST_F(SegmentAcrossProcesses, LodrinShmNamesTheLocalObject) {
    const std::string unique = name;
    const std::string long_name = unique + "-" + std::string(200, 'q');
    struct row {
        std::string env;    // LODRIN_SHM as the peer sees it
        std::string object; // the kernel object that must hold its segment
    };
    const row rows[] = {
        {unique, "Local\\" + unique},
        {long_name, "Local\\" + long_name.substr(0, 127)},
        {"", "Local\\lodrin-shm-3"}, // empty behaves as unset
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.object.substr(0, 40));
        set_segment_name(r.env.c_str());
        peer p;
        const claim_report c = claim_in(p, 0xC0FFEE);
        ASSERT_EQ(c.shared, 1);

        HANDLE h = nullptr;
        const shm_header* view = open_object(r.object, &h);
        ASSERT_NE(view, nullptr) << GetLastError();
        EXPECT_EQ(shm_load(view->magic), SHM_MAGIC);
        MEMORY_BASIC_INFORMATION info{};
        ASSERT_NE(VirtualQuery(view, &info, sizeof info), 0u);
        EXPECT_GE(info.RegionSize, SHM_MAPPING_SIZE);
        const auto* slots = reinterpret_cast<const shm_slot*>(reinterpret_cast<const char*>(view) + 64);
        EXPECT_EQ(shm_load(slots[c.index].instance_id), 0xC0FFEEu);
        EXPECT_EQ(shm_load(slots[c.index].owner_pid), static_cast<uint32_t>(c.pid));
        close_object(view, h);

        p.send("release\n");
        EXPECT_EQ(p.line(), "released");
    }
    // Neither the uncut long name nor the machine-wide namespace holds a segment of ours.
    for (const std::string& other : {"Local\\" + long_name, "Global\\" + unique}) {
        HANDLE h = nullptr;
        const shm_header* view = open_object(other, &h);
        EXPECT_EQ(view, nullptr) << other.substr(0, 40);
        close_object(view, h);
    }
}

TEST_F(SegmentAcrossProcesses, SegmentOfAnotherLayoutLeavesPeersPrivate) {
    // A segment created by a build with layout version 2 under our name.
    const std::string object = std::string("Local\\") + name;
    const std::wstring wide(object.begin(), object.end());
    HANDLE h = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  static_cast<DWORD>(SHM_MAPPING_SIZE), wide.c_str());
    ASSERT_NE(h, nullptr);
    auto* header = static_cast<shm_header*>(MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    ASSERT_NE(header, nullptr);
    shm_store(header->magic, SHM_MAGIC);
    shm_store(header->version, 2u);
    shm_store(header->slot_size, SHM_SLOT_SIZE);
    shm_store(header->values_per_slot, static_cast<uint32_t>(PARAM_COUNT));
    shm_store(header->state, SHM_STATE_READY);

    peer p;
    const claim_report c = claim_in(p, 0x2);
    EXPECT_EQ(c.shared, 0);
    // Claims never touched the foreign segment.
    const auto* slots = reinterpret_cast<const shm_slot*>(reinterpret_cast<const char*>(header) + 64);
    for (int i = 0; i < SHM_SLOT_COUNT; ++i)
        EXPECT_EQ(shm_load(slots[i].in_use), 0u) << i;

    UnmapViewOfFile(header);
    CloseHandle(h);
}

TEST(ProcessLiveness, AnswersForOwnExitedAndImpossibleIds) {
    EXPECT_TRUE(process_is_alive(current_process_id()));
    EXPECT_FALSE(process_is_alive(0));
    EXPECT_FALSE(process_is_alive(-1));

    // A process that has ended, its handle still held so that its id cannot be reused meanwhile.
    peer p;
    ASSERT_TRUE(p.start("open"));
    EXPECT_FALSE(p.line().empty());
    ASSERT_TRUE(p.wait_exit());
    EXPECT_FALSE(process_is_alive(static_cast<int32_t>(p.pi.dwProcessId)));
}

} // namespace
