// A command line of a test run in a shell with its output captured, and stopped at a bound that holds
// with every core busy, so that a hung command fails its test instead of the whole run.
#pragma once

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

struct run_result {
    int status = -1; // exit code; 128 + signal when killed by one
    std::string out, err;
};

// The whole file (empty when it cannot be read).
inline std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// Each command takes well under a second on an idle machine; one still running after this long with
// every core busy hangs, and is stopped so the test can say which.
inline constexpr int COMMAND_BOUND_S = 120;

// A command line prefix that stops what follows at the bound (timeout passes on an exit code or a
// signal of the command; 124 means the bound ran out).
inline std::string bounded() {
    return "timeout -k 10 " + std::to_string(COMMAND_BOUND_S) + " ";
}

// Runs `cmd` (exec'ed, so a signal shows as one) after the environment words `env`, with standard
// output and error captured through the files `out_path` and `err_path`, which are removed afterwards.
inline run_result run_bounded(const std::string& cmd, const std::string& out_path, const std::string& err_path,
                              const std::string& env = "") {
    const std::string line = env + " exec " + bounded() + cmd + " >" + out_path + " 2>" + err_path + " </dev/null";
    const int st = std::system(line.c_str());
    run_result r;
    if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        r.status = 128 + WTERMSIG(st);
    r.out = slurp(out_path);
    r.err = slurp(err_path);
    std::remove(out_path.c_str());
    std::remove(err_path.c_str());
    if (r.status == 124)
        r.err += "[stopped by the test: still running after " + std::to_string(COMMAND_BOUND_S) + " s]\n";
    return r;
}
