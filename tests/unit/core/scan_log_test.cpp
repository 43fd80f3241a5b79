// Guards the scan log: off without LODRIN_SCANLOG (no file appears), and with it one
// "<ms> <message>" line per start-up step, in the order a host's scan produces them.
#include <cstdio>
#include <fstream>

#include "core_test_support.h"
#include "platform.h"
#include "scan_log.h"

namespace {

std::string temp_path(const char* tag) {
    return (testing::TempDir() + "lodrin-scanlog-" + tag + "-" + std::to_string(test_process_id()) + ".txt");
}

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream f(path);
    for (std::string line; std::getline(f, line);)
        lines.push_back(line);
    return lines;
}

void scan_one_stage() {
    fake_host host;
    ASSERT_TRUE(clap_entry.init("/x/Lodrin.clap"));
    const auto* f = static_cast<const clap_plugin_factory*>(clap_entry.get_factory(CLAP_PLUGIN_FACTORY_ID));
    ASSERT_NE(f->get_plugin_descriptor(f, 0), nullptr);
    const clap_plugin* p = f->create_plugin(f, &host.host, "com.tovarin.lodrin");
    ASSERT_TRUE(p->init(p));
    ASSERT_TRUE(p->activate(p, 48000.0, 1, 512));
    p->deactivate(p);
    p->destroy(p);
    clap_entry.deinit();
}

} // namespace

TEST(ScanLog, OffWithoutTheVariable) {
    const std::string path = temp_path("off");
    std::remove(path.c_str());
    test_unsetenv("LODRIN_SCANLOG");
    scan_one_stage();
    test_setenv("LODRIN_SCANLOG", "");
    scan_one_stage();
    std::ifstream f(path);
    EXPECT_FALSE(f.good());
    test_unsetenv("LODRIN_SCANLOG");
}

TEST(ScanLog, OneLinePerStepInOrder) {
    const std::string path = temp_path("on");
    std::remove(path.c_str());
    test_setenv("LODRIN_SCANLOG", path.c_str());
    scan_one_stage();
    // A wrong factory id is still logged, as asked.
    EXPECT_EQ(clap_entry.get_factory("CLAP.PLUGIN-FACTORY"), nullptr);
    test_unsetenv("LODRIN_SCANLOG");

    const std::vector<std::string> want = {"entry_init",         "clap.plugin-factory",
                                           "factory_descriptor", "factory_create",
                                           "plug_init",          "plug_init: extensions",
                                           "plug_init: random",  "plug_init: registry_add",
                                           "plug_init: done",    "activate",
                                           "entry_deinit",       "CLAP.PLUGIN-FACTORY"};
    const std::vector<std::string> lines = read_lines(path);
    ASSERT_EQ(lines.size(), want.size());
    long long previous = -1;
    for (size_t i = 0; i < lines.size(); ++i) {
        const size_t blank = lines[i].find(' ');
        ASSERT_NE(blank, std::string::npos) << lines[i];
        const std::string number = lines[i].substr(0, blank);
        ASSERT_FALSE(number.empty());
        ASSERT_EQ(number.find_first_not_of("-0123456789"), std::string::npos) << lines[i];
        EXPECT_EQ(lines[i].substr(blank + 1), want[i]);
        const long long ms = std::stoll(number);
        EXPECT_GE(ms, previous);
        previous = ms;
    }
    const long long now_ms = clock_ns() / 1000000;
    EXPECT_LE(previous, now_ms);
    std::remove(path.c_str());
}

TEST(ScanLog, AnUnopenablePathIsSilentlyIgnored) {
    test_setenv("LODRIN_SCANLOG", "/nonexistent-folder-lodrin/x/log.txt");
    scan_log("nothing");
    scan_one_stage();
    test_unsetenv("LODRIN_SCANLOG");
}

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// The log's path comes from the environment. What is planted there decides nothing: a link is not
// followed, a named pipe never blocks the host (with or without a reader) and gets no bytes, and a
// fresh log is the user's alone.
TEST(ScanLog, OnlyARegularFileOfOurOwnIsWritten) {
    char folder[] = "/tmp/lodrin-scanlog-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    struct cleanup {
        std::string dir;
        ~cleanup() {
            for (const char* f : {"/log", "/target", "/pipe"})
                unlink((dir + f).c_str());
            rmdir(dir.c_str());
        }
    } remove_all{folder};
    const std::string dir = folder, log = dir + "/log", target = dir + "/target", pipe_path = dir + "/pipe";

    test_setenv("LODRIN_SCANLOG", log.c_str());
    scan_log("fresh");
    struct stat st;
    ASSERT_EQ(stat(log.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    unlink(log.c_str());

    { std::ofstream(target) << "kept\n"; }
    ASSERT_EQ(symlink(target.c_str(), log.c_str()), 0);
    scan_log("through a link");
    EXPECT_EQ(read_lines(target), std::vector<std::string>{"kept"});

    ASSERT_EQ(mkfifo(pipe_path.c_str(), 0600), 0);
    test_setenv("LODRIN_SCANLOG", pipe_path.c_str());
    scan_log("no reader"); // would block for ever in a blocking open
    const int reader = open(pipe_path.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    scan_log("with a reader");
    char buf[64];
    EXPECT_LE(read(reader, buf, sizeof buf), 0);
    close(reader);
    test_unsetenv("LODRIN_SCANLOG");
}
#endif
