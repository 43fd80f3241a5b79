// Guards the whole Windows stack across processes: stages of two lodrin-host processes that load the
// Windows module must count as one chain, and a host killed without warning must drop out of it,
// or an editor on Windows would show a chain that is split or haunted by a dead stage.
#include "child_process.h"

#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// One lodrin-host session: `stages` stages in Group `group`, processing in real time.
struct session : child_process {
    unsigned stages = 0;

    bool open(unsigned n, const char* group) {
        const char* host = getenv("LODRIN_TEST_HOST");
        const char* module = getenv("LODRIN_TEST_MODULE");
        if (host == nullptr || module == nullptr) return false;
        stages = n;
        char args[512];
        snprintf(args, sizeof args, "session --stages %u --set Group=%s --seconds 60 --module \"%s\"", n,
                 group, windows_path(module).c_str());
        if (!start(windows_path(host), args)) return false;
        return line().rfind("ready ", 0) == 0;
    }

    // The group count each stage of this session reports, in stage order.
    std::vector<unsigned> counts() {
        send("count\n");
        std::vector<unsigned> out;
        for (unsigned i = 0; i < stages; ++i) {
            unsigned stage = 0, count = 0, position = 0;
            const std::string l = line();
            if (sscanf(l.c_str(), "count %u %u %u", &stage, &count, &position) != 3) {
                ADD_FAILURE() << "unexpected reply \"" << l << "\"";
                break;
            }
            out.push_back(count);
        }
        return out;
    }
};

// Polls until every stage of `s` reports `want` stages in its group, for up to `ms` milliseconds.
bool counts_become(session& s, unsigned want, DWORD ms) {
    for (DWORD waited = 0;; waited += 100) {
        const std::vector<unsigned> c = s.counts();
        bool all = c.size() == s.stages;
        for (unsigned n : c)
            all = all && n == want;
        if (all) return true;
        if (waited >= ms) {
            std::string seen;
            for (unsigned n : c)
                seen += std::to_string(n) + " ";
            ADD_FAILURE() << "group counts " << seen << "instead of " << want;
            return false;
        }
        Sleep(100);
    }
}

TEST(SessionsAcrossProcesses, StagesOfTwoHostsFormOneChainAndADeadHostLeavesIt) {
    char name[64];
    snprintf(name, sizeof name, "lodrin-wsession-%lu", GetCurrentProcessId());
    _putenv_s("LODRIN_SHM", name);

    session a, b, other;
    ASSERT_TRUE(a.open(2, "C")) << "cannot start lodrin-host (LODRIN_TEST_HOST, LODRIN_TEST_MODULE)";
    ASSERT_TRUE(b.open(1, "C"));
    ASSERT_TRUE(other.open(1, "D")); // another group in the same segment stays apart

    EXPECT_TRUE(counts_become(a, 3, 5000));
    EXPECT_TRUE(counts_become(b, 3, 5000));
    EXPECT_TRUE(counts_become(other, 1, 5000));

    // A host that crashes releases nothing; its stage stops processing and leaves the chain.
    ASSERT_TRUE(TerminateProcess(b.pi.hProcess, 1));
    ASSERT_TRUE(b.wait_exit());
    EXPECT_TRUE(counts_become(a, 2, 5000));

    a.send("quit\n");
    other.send("quit\n");
}

} // namespace
