// Guards the platform layer: a listing that keeps directories or the bare suffix, sorts wrongly or
// overruns its entries would corrupt the preset store; a clock that is not monotonic would break
// every timing comparison across processes.
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <direct.h>
#else
#include <unistd.h>
#endif

namespace {

struct temp_dir {
    std::string path;
    temp_dir() {
        char base[512];
        const char* t = getenv("TMPDIR");
#if defined(_WIN32)
        if (t == nullptr) t = getenv("TEMP");
#endif
        snprintf(base, sizeof base, "%s%clodrin-platform-%llx", t ? t : "/tmp", PLATFORM_PATH_SEPARATOR,
                 static_cast<unsigned long long>(random_u64()));
        path = base;
        EXPECT_TRUE(make_directory(path.c_str()));
    }
    // Everything the test made goes, also when it failed.
    ~temp_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string join(const char* name) const {
        return path + PLATFORM_PATH_SEPARATOR + name;
    }
    void touch(const char* name) const {
        FILE* f = fopen(join(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }
};

std::vector<std::string> entries_of(const char* entries, size_t size, int32_t n) {
    std::vector<std::string> out;
    for (int32_t i = 0; i < n; ++i)
        out.emplace_back(entries + i * size);
    return out;
}

} // namespace

TEST(Platform, ClockIsMonotonicNanoseconds) {
    int64_t a = clock_ns();
    sleep_ms(20);
    int64_t b = clock_ns();
    EXPECT_GT(a, 0);
    EXPECT_GE(b - a, 19000000);
    EXPECT_LT(b - a, 2000000000);
}

TEST(Platform, RandomDrawsDiffer) {
    uint64_t a = random_u64(), b = random_u64();
    EXPECT_NE(a, b);
    EXPECT_NE(a >> 32, 0u);
}

TEST(Platform, LockExcludes) {
    // Two threads add to a plain counter in a read, yield, write pattern: without exclusion updates
    // are lost (the yield widens the window), with it the count is exact.
    platform_lock lock;
    lock_init(&lock);
    constexpr int kRounds = 20000;
    volatile int counter = 0;
    auto add = [&] {
        for (int i = 0; i < kRounds; ++i) {
            lock_acquire(&lock);
            const int seen = counter;
            if (i % 64 == 0) std::this_thread::yield();
            counter = seen + 1;
            lock_release(&lock);
        }
    };
    std::thread a(add), b(add);
    a.join();
    b.join();
    EXPECT_EQ(counter, 2 * kRounds);
}

TEST(Platform, ListingKeepsFilesWithTheSuffixSortedWithoutCase) {
    temp_dir d;
    d.touch("b.lodrin");
    d.touch("A.LODRIN");
    d.touch("c.txt");
    d.touch(".lodrin");
    ASSERT_TRUE(make_directory(d.join("d.lodrin").c_str()));
    char entries[8][32];
    int32_t n = list_files_with_suffix(d.path.c_str(), ".lodrin", &entries[0][0], 32, 8);
    EXPECT_EQ(entries_of(&entries[0][0], 32, n), (std::vector<std::string>{"A.LODRIN", "b.lodrin"}));
}

TEST(Platform, ListingKeepsTheFirstByNameWholeAndFiltered) {
    // The entries kept once followed the folder's order, and long names were cut so that they named
    // no file. Now: the first max_count in name order (ties of case broken byte-wise), whole names
    // only, and only those the filter keeps.
    temp_dir d;
    for (const char* name :
         {"e.lodrin", "d.lodrin", "c.lodrin", "b.lodrin", "a-very-long-name.lodrin", "a.skip.lodrin"}) {
        d.touch(name);
    }
#if defined(_WIN32)
    const std::vector<std::string> kept{"b.lodrin", "c.lodrin", "d.lodrin"},
        all{"a.skip.lodrin", "b.lodrin", "c.lodrin"};
#else // names that differ in case only are other files here
    d.touch("b.LODRIN");
    d.touch("B.lodrin");
    const std::vector<std::string> kept{"B.lodrin", "b.LODRIN", "b.lodrin"},
        all{"a.skip.lodrin", "B.lodrin", "b.LODRIN"};
#endif
    char entries[3][16];
    memset(entries, '#', sizeof entries);
    const auto keep = [](const char* name) { return strstr(name, "skip") == nullptr; };
    int32_t n = list_files_with_suffix(d.path.c_str(), ".lodrin", &entries[0][0], 16, 3, keep);
    EXPECT_EQ(entries_of(&entries[0][0], 16, n), kept);
    n = list_files_with_suffix(d.path.c_str(), ".lodrin", &entries[0][0], 16, 3);
    EXPECT_EQ(entries_of(&entries[0][0], 16, n), all);
    EXPECT_EQ(list_files_with_suffix(d.join("missing").c_str(), ".lodrin", &entries[0][0], 16, 2), 0);
}

TEST(Platform, MakeDirectoryAndDeleteFile) {
    temp_dir d;
    EXPECT_TRUE(make_directory(d.path.c_str()));
    EXPECT_FALSE(make_directory(d.join("no-parent").append("/child").c_str()));
    d.touch("x.lodrin");
    EXPECT_TRUE(delete_file(d.join("x.lodrin").c_str()));
    EXPECT_FALSE(delete_file(d.join("x.lodrin").c_str()));
}

TEST(Platform, StricmpOrdersWithoutCase) {
    EXPECT_EQ(stricmp_compare("Abc", "aBC"), 0);
    EXPECT_LT(stricmp_compare("a", "B"), 0);
    EXPECT_GT(stricmp_compare("b", "A"), 0);
    EXPECT_LT(stricmp_compare("ab", "abc"), 0);
}

#if !defined(_WIN32)
TEST(Platform, UserDataDirFollowsXdgThenHome) {
    temp_dir d;
    std::string xdg = d.join("xdg");
    ASSERT_TRUE(make_directory(xdg.c_str()));
    const char* old_xdg = getenv("XDG_DATA_HOME");
    std::string saved_xdg = old_xdg ? old_xdg : "";
    std::string saved_home = getenv("HOME") ? getenv("HOME") : "";
    char out[1024];

    setenv("XDG_DATA_HOME", xdg.c_str(), 1);
    ASSERT_TRUE(user_data_dir("Tovarin", "Lodrin", out, sizeof out));
    EXPECT_EQ(std::string(out), xdg + "/Tovarin/Lodrin");

    setenv("XDG_DATA_HOME", "", 1);
    setenv("HOME", d.path.c_str(), 1);
    ASSERT_TRUE(user_data_dir("Tovarin", "Lodrin", out, sizeof out));
    EXPECT_EQ(std::string(out), d.path + "/.local/share/Tovarin/Lodrin");

    unsetenv("HOME");
    EXPECT_FALSE(user_data_dir("Tovarin", "Lodrin", out, sizeof out));

    if (old_xdg)
        setenv("XDG_DATA_HOME", saved_xdg.c_str(), 1);
    else
        unsetenv("XDG_DATA_HOME");
    setenv("HOME", saved_home.c_str(), 1);
}
#else
TEST(Platform, UserDataDirFallsBackToUserProfile) {
    temp_dir d;
    char out[1024];
    _putenv_s("APPDATA", "");
    _putenv_s("USERPROFILE", d.path.c_str());
    ASSERT_TRUE(user_data_dir("Tovarin", "Lodrin", out, sizeof out));
    EXPECT_EQ(std::string(out), d.path + "\\Tovarin\\Lodrin");
}
#endif
