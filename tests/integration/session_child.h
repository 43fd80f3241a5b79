// A lodrin-host process driven through its stdin and stdout, for the tests that meet stages of other
// processes (POSIX only: fork, pipes, signals).
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

// A lodrin-host child with its stdin and stdout on pipes.
struct child {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string buf;
    std::vector<std::string> lines; // every line read so far

    bool start(const std::vector<std::string>& args) {
        int pin[2], pout[2];
        if (pipe(pin) || pipe(pout)) return false;
        pid = fork();
        if (pid == 0) {
            dup2(pin[0], 0);
            dup2(pout[1], 1);
            close(pin[1]);
            close(pout[0]);
            std::vector<char*> argv;
            for (auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(pin[0]);
        close(pout[1]);
        in = pin[1];
        out = pout[0];
        return pid > 0;
    }

    void send(const std::string& line) {
        std::string l = line + "\n";
        ssize_t w = write(in, l.data(), l.size());
        (void)w;
    }

    // Reads lines until one starts with `prefix` or `timeout_ms` passes; returns it or "".
    std::string wait_for(const std::string& prefix, int timeout_ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t nl;
            while ((nl = buf.find('\n')) != std::string::npos) {
                std::string line = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                lines.push_back(line);
                if (line.rfind(prefix, 0) == 0) return line;
            }
            int left = int(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count());
            if (left <= 0) return "";
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            char tmp[4096];
            ssize_t n = read(out, tmp, sizeof(tmp));
            if (n <= 0) return "";
            buf.append(tmp, size_t(n));
        }
    }

    bool saw(const std::string& line) const {
        for (auto& l : lines)
            if (l == line) return true;
        return false;
    }

    void kill_now() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }

    int quit() {
        int st = -1;
        if (pid > 0) {
            send("quit");
            waitpid(pid, &st, 0);
            pid = -1;
        }
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        in = out = -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    ~child() {
        kill_now();
        if (in >= 0) close(in);
        if (out >= 0) close(out);
    }
};

} // namespace
