// Guards lodrin-host as a user and real hosts' scanners meet it: bad input of every kind ends with a
// clear message and a non-zero exit (never a crash), render and the demo write what they report, the
// state, params and midi commands round-trip in both formats, the VST3 bundle renders and saves
// exactly as the CLAP module does, the scan log keeps its order, and Debian's qtractor and Ardour
// scanners see Lodrin as they should.
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "bounded_command.h"
#include "integration.h"
#include "wav.h"

namespace {

std::string tmp_path(const std::string& name) {
    return std::string(LODRIN_TEST_TMP) + "/cli-" + std::to_string(host_os_pid()) + "-" + name;
}

run_result run(const std::string& cmd, const std::string& env = "") {
    return run_bounded(cmd, tmp_path("stdout"), tmp_path("stderr"), env);
}

std::string host(const std::string& args, const char* module = LODRIN_TEST_MODULE) {
    return std::string(LODRIN_TEST_HOST) + " " + args + " --module " + module;
}

bool contains(const std::string& s, const std::string& part) {
    return s.find(part) != std::string::npos;
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary);
    f << data;
}

// A stereo float WAV of `seconds` of the test signal.
void write_wav(const std::string& path, double rate, double seconds, double peak) {
    char err[512];
    wav_writer* w = wav_open_write(path.c_str(), rate, 2, err, sizeof(err));
    ASSERT_NE(w, nullptr) << err;
    std::vector<float> l(4096), r(4096);
    uint64_t total = uint64_t(rate * seconds), pos = 0;
    while (pos < total) {
        uint32_t n = uint32_t(std::min<uint64_t>(4096, total - pos));
        test_signal(l.data(), r.data(), n, pos, rate, peak);
        ASSERT_TRUE(wav_write(w, l.data(), r.data(), n));
        pos += n;
    }
    ASSERT_TRUE(wav_close_write(w));
}

// Every sample of a WAV file, channels interleaved (the header's own fields, such as a time stamp of
// the writing, left out).
std::vector<float> read_samples(const std::string& path) {
    std::vector<float> all;
    char err[512];
    wav_reader* w = wav_open_read(path.c_str(), err, sizeof(err));
    if (!w) return all;
    std::vector<float> l(4096), r(4096);
    for (;;) {
        uint32_t n = wav_read(w, l.data(), r.data(), 4096);
        if (n == 0) break;
        for (uint32_t i = 0; i < n; ++i) {
            all.push_back(l[i]);
            all.push_back(r[i]);
        }
    }
    wav_close_read(w);
    return all;
}

} // namespace

class cli : public ::testing::Test {};

// The commands whose results must not depend on the format: run with the CLAP module and the VST3
// bundle (lodrin-host's VST3 driver).
class cli_module : public ::testing::TestWithParam<const char*> {
  protected:
    bool vst3() const { return std::strstr(GetParam(), ".vst3") != nullptr; }
    std::string host(const std::string& args) const { return ::host(args, GetParam()); }
};
INSTANTIATE_TEST_SUITE_P(formats, cli_module, ::testing::Values(LODRIN_TEST_MODULE, LODRIN_TEST_VST3),
                         [](const auto& info) { return std::strstr(info.param, ".vst3") ? "vst3" : "clap"; });

TEST_F(cli, bad_input_gets_a_message_and_a_nonzero_exit) {
    std::string text = tmp_path("not-audio.txt");
    write_file(text, "this is not audio\n");
    std::string corrupt = tmp_path("corrupt.state");
    write_file(corrupt, "SLM1\x02garbage");
    std::string bad_auto = tmp_path("bad.auto");
    write_file(bad_auto, "# ok\n0 Gain=3\nsoon Gain=4\n");
    std::string unknown_auto = tmp_path("unknown.auto");
    write_file(unknown_auto, "100 Loudness=3\n");
    std::string good_in = tmp_path("in.wav");
    write_wav(good_in, 48000, 0.2, 0.5);
    std::string empty_bundle = tmp_path("Empty.vst3");
    mkdir(empty_bundle.c_str(), 0700);
    std::string bin = std::string(LODRIN_TEST_HOST);
    std::string mod = std::string(" --module ") + LODRIN_TEST_MODULE;
    struct {
        const char* what;
        std::string cmd;
        int code;
        const char* message;
    } cases[] = {
        {"missing module", bin + " params list --module /nonexistent/Lodrin.clap", 1,
         "cannot read the module"},
        {"text file as module", bin + " params list --module " + text, 1, "is not a loadable module"},
        {"library without clap_entry", bin + " params list --module /lib/x86_64-linux-gnu/libm.so.6", 1,
         "not a CLAP module"},
        {"bundle without its binary", bin + " params list --module " + empty_bundle, 1,
         "is not a loadable VST3 bundle"},
        {"wrong plug-in id", bin + " params list --plugin-id com.tovarin.lodrin.debug/1" + mod, 1,
         "has no plug-in"},
        {"unknown parameter", bin + " render --demo -o " + tmp_path("x.wav") + " --set Loudness=3" + mod, 1,
         "unknown parameter \"Loudness\""},
        {"bad value", bin + " render --demo -o " + tmp_path("x.wav") + " --set Gain=abc" + mod, 1,
         "is not a value of Gain"},
        {"no such stage", bin + " render --demo --stages 3 -o " + tmp_path("x.wav") + " --set 5:Gain=1" + mod,
         1, "stage 5 does not exist"},
        {"missing input", bin + " render -i /nonexistent.wav -o " + tmp_path("x.wav") + mod, 1,
         "cannot open input"},
        {"non-WAV input", bin + " render -i " + text + " -o " + tmp_path("x.wav") + mod, 1, "not a WAV"},
        {"unwritable output", bin + " render --demo -o /nonexistent/dir/out.wav" + mod, 1,
         "cannot write output"},
        {"corrupt state", bin + " state load " + corrupt + mod, 1, "was refused by the plug-in"},
        {"missing state", bin + " state load /nonexistent.state" + mod, 1, "cannot read state file"},
        {"directory as state", bin + " state load " + std::string(LODRIN_TEST_TMP) + mod, 1,
         "cannot read state file"},
        {"directory as automation",
         bin + " render --demo -o " + tmp_path("x.wav") + " --automation " + std::string(LODRIN_TEST_TMP) +
             mod,
         1, "cannot read automation file"},
        {"unwritable state", bin + " state save /nonexistent/dir/s.state" + mod, 1,
         "cannot write state file"},
        {"malformed automation",
         bin + " render -i " + good_in + " -o " + tmp_path("x.wav") + " --automation " + bad_auto + mod, 1,
         ":3: bad time"},
        {"automation naming nothing",
         bin + " render -i " + good_in + " -o " + tmp_path("x.wav") + " --automation " + unknown_auto + mod,
         1, "unknown parameter"},
        {"unknown parameter for text", bin + " params text Loudness 3" + mod, 1, "unknown parameter"},
        {"text that is no value", bin + " params value Ceiling abc" + mod, 1, "is not a value of Ceiling"},
        {"unknown command", bin + " dance" + mod, 2, "unknown command"},
        {"unknown option", bin + " render --demo --loud" + mod, 2, "unknown option"},
        {"stage count out of range", bin + " render --demo -o x.wav --stages 65" + mod, 2, "--stages"},
        {"bad setting syntax", bin + " params values --set Gain" + mod, 2, "has no '='"},
        {"endless automation device",
         bin + " render --demo -o " + tmp_path("x.wav") + " --automation /dev/zero" + mod, 1, "NUL byte"},
        {"regular file as token pipe", bin + " session --seconds 0.1 --pass-token " + text + mod, 1,
         "cannot open the token pipe"},
    };
    for (auto& c : cases) {
        run_result r = run(c.cmd);
        EXPECT_EQ(r.status, c.code) << c.what << "\n" << r.err;
        EXPECT_TRUE(contains(r.err, c.message)) << c.what << ": stderr was\n" << r.err;
        EXPECT_FALSE(contains(r.err, "CLAP rule broken")) << c.what << "\n" << r.err;
    }
    EXPECT_EQ(slurp(text), "this is not audio\n"); // the refused token file was not written

    // Values beyond a row show as the nearest value the stage can take.
    const struct {
        const char* args;
        const char* text;
    } texts[] = {{"Release -1e300", "5 ms\n"}, {"Release 1e300", "2000 ms\n"}, {"Gain 1e300", "30.0 dB\n"},
                 {"Gain -1e300", "0.0 dB\n"}};
    for (const auto& t : texts) {
        const run_result r = run(bin + " params text " + t.args + mod);
        EXPECT_EQ(r.status, 0) << t.args << "\n" << r.err;
        EXPECT_EQ(r.out, t.text) << t.args;
    }
    for (const std::string& f : {text, corrupt, bad_auto, unknown_auto, good_in, tmp_path("x.wav"),
                                 tmp_path("stdout"), tmp_path("stderr")})
        std::remove(f.c_str());
    rmdir(empty_bundle.c_str());
}

TEST_P(cli_module, render_demo_through_three_stages) {
    std::string out = tmp_path("demo.wav");
    run_result r = run(host("render --demo --stages 3 --set 1:Gain=4 --set 3:Ceiling=-1 -o " + out));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* line : {"stage 1: lowest gain", "stage 2: lowest gain", "stage 3: lowest gain",
                             "output true peak", "integrated", "real time"})
        EXPECT_TRUE(contains(r.out, line)) << line << "\n" << r.out;
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    EXPECT_TRUE(contains(r.out, "audio-thread allocations: 0")) << r.out;
#endif
    char err[512];
    wav_reader* w = wav_open_read(out.c_str(), err, sizeof(err));
    ASSERT_NE(w, nullptr) << err;
    EXPECT_EQ(wav_channels(w), 2u);
    EXPECT_EQ(wav_rate(w), 48000.0);
    EXPECT_EQ(wav_frames(w), 8 * 48000) << "latency compensated: as long as the programme";
    wav_close_read(w);
}

TEST_P(cli_module, render_file_with_automation_and_progress) {
    std::string in = tmp_path("long.wav"), out = tmp_path("long-out.wav"), au = tmp_path("gain.auto");
    write_wav(in, 8000, 25.0, 0.9);
    write_file(au, "0 Gain=0\n1.5s 2:Gain=6\n100000 Style=Punchy\n# end\n");
    run_result r =
        run(host("render -i " + in + " -o " + out + " --stages 2 --automation " + au + " --block 100"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "progress:")) << r.err;
    EXPECT_TRUE(contains(r.err, "100%")) << r.err;
    char err[512];
    wav_reader* w = wav_open_read(out.c_str(), err, sizeof(err));
    ASSERT_NE(w, nullptr) << err;
    EXPECT_EQ(wav_frames(w), 25 * 8000);
    wav_close_read(w);
}

TEST_P(cli_module, state_params_and_midi_commands) {
    std::string st = tmp_path("a.state"), again = tmp_path("b.state");
    run_result r = run(host("state save " + st + " --set Gain=5 --set Style=Bus --chunk 3"));
    ASSERT_EQ(r.status, 0) << r.err;
    r = run(host("state load " + st + " --chunk 2 --save-again " + again));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Gain = 5 (5.0 dB)")) << r.out;
    EXPECT_TRUE(contains(r.out, "Style = 4 (Bus)")) << r.out;
    EXPECT_FALSE(contains(r.out, "asked for no parameter rescan")) << r.out;
    EXPECT_EQ(slurp(st), slurp(again));
    EXPECT_EQ(slurp(st).size(), 272u);

    r = run(host("params text Ceiling -0.3"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "-0.3 dB\n");
    r = run(host("params value Style pun"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "2\n");
    r = run(host("params list"));
    EXPECT_TRUE(contains(r.out, "17 parameters"));

    r = run(host("midi --learn Mix --cc 7=1 --cc 7=127 --cc 7=64 --channel 16"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Mix = 50.393700787401")) << r.out;
    // A VST3 host hears of the plug-in's own changes on its UI timer, after this command's last
    // block; a CLAP host within the block.
    if (!vst3()) {
        EXPECT_TRUE(contains(r.out, "event value 15 100\n")) << r.out;
        EXPECT_TRUE(contains(r.out, "event value 15 50.393700787401")) << r.out;
    }
    r = run(host("midi --learn Bypass --cc 8=0 --cc 8=64 --flush"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Bypass = 1 (On)")) << r.out;
}

TEST_F(cli, scan_log_lines_in_order) {
    std::string log = tmp_path("scan.log"), out = tmp_path("scan.wav");
    std::remove(log.c_str());
    run_result r = run(host("render --demo --seconds 1 -o " + out), "LODRIN_SCANLOG=" + log);
    ASSERT_EQ(r.status, 0) << r.err;
    std::ifstream f(log);
    std::vector<std::string> msgs;
    std::string line;
    while (std::getline(f, line)) {
        size_t sp = line.find(' ');
        ASSERT_NE(sp, std::string::npos) << line;
        for (size_t i = 0; i < sp; ++i)
            ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(line[i])) || (i == 0 && line[i] == '-'))
                << line;
        msgs.push_back(line.substr(sp + 1));
    }
    const char* want[] = {"entry_init",         "clap.plugin-factory",
                          "factory_descriptor", "factory_create",
                          "plug_init",          "plug_init: extensions",
                          "plug_init: random",  "plug_init: registry_add",
                          "plug_init: done",    "activate",
                          "entry_deinit"};
    ASSERT_EQ(msgs.size(), sizeof(want) / sizeof(want[0])) << slurp(log);
    for (size_t i = 0; i < msgs.size(); ++i)
        EXPECT_EQ(msgs[i], want[i]);
    // Processes logging to one file interleave whole lines.
    std::remove(log.c_str());
    std::string many;
    for (int k = 0; k < 4; ++k)
        many += bounded() + host("params list") + " >/dev/null & ";
    std::system(("LODRIN_SCANLOG=" + log + " sh -c '" + many + "wait'").c_str());
    std::ifstream g(log);
    int whole = 0;
    while (std::getline(g, line)) {
        size_t sp = line.find(' ');
        ASSERT_NE(sp, std::string::npos) << line;
        std::string msg = line.substr(sp + 1);
        bool known = false;
        for (const char* w : want)
            known = known || msg == w;
        EXPECT_TRUE(known) << "a torn or unknown line: " << line;
        ++whole;
    }
    EXPECT_EQ(whole, 4 * 10) << "four processes of ten lines each (no activation)";
    // Unset, nothing is written.
    std::remove(log.c_str());
    r = run(host("params list"), "LODRIN_SCANLOG=");
    struct stat sb;
    EXPECT_NE(stat(log.c_str(), &sb), 0);
}

// Debian's qtractor ships its CLAP scanner; it prints one line per plug-in of the module it is asked
// about.
TEST_F(cli, qtractor_scanner_sees_lodrin) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a module built with a sanitizer cannot be loaded by a host built without it";
#endif
    const char* scanner = "/usr/lib/x86_64-linux-gnu/qtractor/qtractor_plugin_scan";
    struct stat sb;
    if (stat(scanner, &sb) != 0) GTEST_SKIP() << "qtractor is not installed (" << scanner << ")";
    char abs[1024];
    ASSERT_TRUE(host_os_absolute_path(LODRIN_TEST_MODULE, abs, sizeof(abs)));
    std::string req = tmp_path("scan.req");
    write_file(req, std::string("CLAP:") + abs + "\n");
    std::string o = tmp_path("scan.out");
    std::string cmd =
        "QT_QPA_PLATFORM=offscreen " + bounded() + scanner + " <" + req + " >" + o + " 2>/dev/null";
    std::system(cmd.c_str());
    std::string out = slurp(o);
    std::string line = out.substr(0, out.find('\n'));
    std::vector<std::string> f;
    size_t at = 0;
    for (;;) {
        size_t bar = line.find('|', at);
        f.push_back(line.substr(at, bar == std::string::npos ? std::string::npos : bar - at));
        if (bar == std::string::npos) break;
        at = bar + 1;
    }
    ASSERT_GE(f.size(), 5u) << "scanner output: " << out;
    EXPECT_EQ(f[0], "CLAP") << line;
    EXPECT_EQ(f[1], "Lodrin");
    EXPECT_EQ(f[2], "2:2");
    EXPECT_EQ(f[3], "1:0");
    // The parameter field reads "<params in>:<params out>" in the scanner's own format.
    EXPECT_EQ(f[4].substr(0, f[4].find(':')), "17") << line;
}

// A host binds the module's symbols at load; the module must offer clap_entry and nothing else.
TEST_F(cli, module_exports_only_clap_entry) {
    if (std::system("command -v nm >/dev/null 2>&1") != 0) GTEST_SKIP() << "nm (binutils) is not installed";
    run_result r = run(std::string("nm -D --defined-only ") + LODRIN_TEST_MODULE);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream in(r.out);
    std::string line;
    std::vector<std::string> names;
    while (std::getline(in, line))
        names.push_back(line.substr(line.rfind(' ') + 1));
    ASSERT_EQ(names.size(), 1u) << r.out;
    EXPECT_EQ(names[0], "clap_entry");
}

// The VST3 bundle wraps the same plug-in: every render (without dither, which is seeded afresh at
// each activation) gives the CLAP module's samples bit for bit, and states pass between the formats
// byte for byte.
TEST_F(cli, vst3_bundle_gives_the_clap_module_audio_and_state) {
    std::string in = tmp_path("x-in.wav"), au = tmp_path("x.auto");
    write_wav(in, 44100, 3.0, 0.95);
    write_file(au, "0 Gain=2\n0.5s 2:Gain=7.5\n30000 Style=Punchy\n1.2s Ceiling=-2.25\n2s 1:Mix=60\n");
    const std::string cases[] = {
        "--demo --seconds 3 --stages 3 --set 1:Gain=4 --set 3:Ceiling=-1 --set 2:Release=37",
        "-i " + in + " --stages 2 --automation " + au + " --block 100",
        "-i " + in + " --stages 1 --set Lookahead=4.3 --set 'Stereo link=35' --set Style=Bus --in-place --block 333",
        "--demo --seconds 2 --stages 2 --set 1:Bypass=1 --set '2:Delta listen=1' --no-latency-compensation",
    };
    int k = 0;
    for (const std::string& c : cases) {
        std::string a = tmp_path("x-clap" + std::to_string(k) + ".wav");
        std::string b = tmp_path("x-vst3" + std::to_string(k) + ".wav");
        ++k;
        run_result r = run(host("render " + c + " -o " + a));
        ASSERT_EQ(r.status, 0) << c << "\n" << r.err;
        run_result v = run(host("render " + c + " -o " + b, LODRIN_TEST_VST3));
        ASSERT_EQ(v.status, 0) << c << "\n" << v.err;
        EXPECT_TRUE(read_samples(a) == read_samples(b)) << "the formats' samples differ: " << c;
        // The reports agree up to the file name.
        auto report = [](const std::string& out) { return out.substr(out.find("latency"), out.find("wrote") - out.find("latency")); };
        EXPECT_EQ(report(r.out), report(v.out)) << c;
    }

    // A state saved through one format loads in the other and saves again unchanged.
    std::string clap_state = tmp_path("x-clap.state"), vst3_state = tmp_path("x-vst3.state");
    std::string again = tmp_path("x-again.state");
    ASSERT_EQ(run(host("state save " + clap_state + " --set Gain=5.5 --set Group=4 --set Lookahead=2.75")).status, 0);
    run_result r = run(host("state load " + clap_state + " --save-again " + again, LODRIN_TEST_VST3));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(slurp(clap_state) == slurp(again)) << "CLAP state through the VST3 bundle";
    ASSERT_EQ(run(host("state save " + vst3_state + " --set Ceiling=-3.1 --set Style=Bus", LODRIN_TEST_VST3)).status,
              0);
    r = run(host("state load " + vst3_state + " --save-again " + again));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(slurp(vst3_state) == slurp(again)) << "VST3 state through the CLAP module";
    EXPECT_EQ(slurp(vst3_state).size(), 272u);
}

// Debian's Ardour ships its VST3 scanner. It exits 0 even when a bundle fails to load, so only its
// "Found Plugin" line without an error line counts, and its cache entry must give 2 in, 2 out.
TEST_F(cli, ardour_scanner_sees_lodrin_vst3) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a module built with a sanitizer cannot be loaded by a host built without it";
#endif
    const char* scanner = "/usr/lib/ardour7/ardour-vst3-scanner";
    struct stat sb;
    if (stat(scanner, &sb) != 0) GTEST_SKIP() << "ardour is not installed (" << scanner << ")";
    char abs[1024];
    ASSERT_TRUE(host_os_absolute_path(LODRIN_TEST_VST3, abs, sizeof(abs)));
    std::string cache = tmp_path("ardour-cache");
    std::string shm = std::string(integration_shm_name()) + "-ardour";
    run_result r = run(std::string(scanner) + " -f -v " + abs,
                       "LD_LIBRARY_PATH=/usr/lib/ardour7 XDG_CACHE_HOME=" + cache + " LODRIN_SHM=" + shm);
    integration_unlink_shm(shm.c_str());
    std::string all = r.out + r.err;
    EXPECT_TRUE(contains(all, "Found Plugin: Lodrin")) << all;
    EXPECT_FALSE(contains(all, "[ERROR]")) << all;
    std::string entry;
    std::string find = "find " + cache + " -name '*.v3i' > " + tmp_path("v3i.list");
    std::system(find.c_str());
    std::istringstream list(slurp(tmp_path("v3i.list")));
    std::string file;
    while (std::getline(list, file))
        entry += slurp(file);
    EXPECT_TRUE(contains(entry, "name=\"Lodrin\"")) << entry;
    EXPECT_TRUE(contains(entry, "vendor=\"Tovarin\"")) << entry;
    EXPECT_TRUE(contains(entry, "category=\"Fx|Dynamics\"")) << entry;
    EXPECT_TRUE(contains(entry, "version=\"1.0.1\"")) << entry;
    EXPECT_TRUE(contains(entry, "n_inputs=\"2\"")) << entry;
    EXPECT_TRUE(contains(entry, "n_outputs=\"2\"")) << entry;
    std::system(("rm -rf " + cache).c_str());
}

// The bundle's binary carries the bundle's name and exports the VST3 entry points and clap_entry only.
TEST_F(cli, vst3_bundle_layout_and_exports) {
    std::string so = std::string(LODRIN_TEST_VST3) + "/Contents/x86_64-linux/Lodrin.so";
    struct stat sb;
    ASSERT_EQ(stat(so.c_str(), &sb), 0) << so;
    if (std::system("command -v nm >/dev/null 2>&1") != 0) GTEST_SKIP() << "nm (binutils) is not installed";
    run_result r = run("nm -D --defined-only " + so);
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream in(r.out);
    std::string line;
    std::vector<std::string> names;
    while (std::getline(in, line))
        names.push_back(line.substr(line.rfind(' ') + 1));
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"GetPluginFactory", "ModuleEntry", "ModuleExit", "clap_entry"}));
}
