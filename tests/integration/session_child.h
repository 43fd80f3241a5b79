// A lodrin-host process driven through its stdin and stdout, for the tests that meet stages of other
// processes (POSIX only: fork, pipes, signals). A child runs when the scheduler lets it, so every read
// waits for the line it needs under a wall-clock bound that holds with every core busy, and what was
// read is kept so a failure can say what the child printed last.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

// Enough for a host process's start, a reply or an edit's way to its host with every core busy; an
// idle machine needs a small fraction of it.
constexpr int CHILD_WAIT_MS = 20000;

// A lodrin-host child with its stdin and stdout on pipes.
struct child {
    pid_t pid = -1;
    int in = -1, out = -1;
    bool closed = false; // the child's stdout reached its end
    std::string buf;
    std::vector<std::string> lines; // every line read so far

    bool start(const std::vector<std::string>& args) {
        // A child that died must fail the test through its missing answers, not end this process
        // with SIGPIPE at the next command.
        signal(SIGPIPE, SIG_IGN);
        int pin[2], pout[2];
        if (pipe(pin) || pipe(pout)) return false;
        pid = fork();
        if (pid == 0) {
            signal(SIGPIPE, SIG_DFL);
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

    // Reads lines until one starts with `prefix` or `timeout_ms` passes; returns it or "" (also at
    // once when the child has closed its stdout). Every line read goes into `lines`.
    std::string wait_for(const std::string& prefix, int timeout_ms = CHILD_WAIT_MS) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            size_t nl;
            while ((nl = buf.find('\n')) != std::string::npos) {
                std::string line = buf.substr(0, nl);
                buf.erase(0, nl + 1);
                lines.push_back(line);
                if (line.rfind(prefix, 0) == 0) return line;
            }
            if (closed) return "";
            int left = int(
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count());
            if (left <= 0) return "";
            pollfd p{out, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            char tmp[4096];
            ssize_t n = read(out, tmp, sizeof(tmp));
            if (n <= 0) {
                closed = true;
                continue;
            }
            buf.append(tmp, size_t(n));
        }
    }

    bool saw(const std::string& line) const {
        for (auto& l : lines)
            if (l == line) return true;
        return false;
    }

    // True once `line` has been read, now or within `timeout_ms`.
    bool wait_seen(const std::string& line, int timeout_ms = CHILD_WAIT_MS) {
        if (saw(line)) return true;
        return wait_for(line, timeout_ms) == line || saw(line);
    }

    // The last `n` lines read, one per line, for failure messages.
    std::string tail(size_t n = 12) const {
        std::string s = lines.empty() ? "  (nothing read)\n" : "";
        for (size_t i = lines.size() > n ? lines.size() - n : 0; i < lines.size(); ++i)
            s += "  " + lines[i] + "\n";
        return (closed ? "stdout closed; last lines:\n" : "last lines:\n") + s;
    }

    void kill_now() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }

    // Asks the child to quit and waits at most `timeout_ms` for its end, reading what it prints
    // meanwhile into `lines` (its closing report among them; a full pipe would also block it). Returns
    // the exit code, 128 + the signal that ended it, or -1 after killing a child that did not end.
    int quit(int timeout_ms = CHILD_WAIT_MS) {
        int st = -1;
        bool ended = false;
        if (pid > 0) {
            send("quit");
            const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
            while (!(ended = waitpid(pid, &st, WNOHANG) == pid) && std::chrono::steady_clock::now() < end) {
                if (closed)
                    usleep(10000);
                else
                    wait_for(std::string(1, '\x01'), 20);
            }
            if (!ended) {
                kill(pid, SIGKILL);
                waitpid(pid, nullptr, 0);
            }
            pid = -1;
        }
        if (ended) wait_for(std::string(1, '\x01'), 2000); // what is left in the pipe, up to its end
        if (in >= 0) close(in);
        if (out >= 0) close(out);
        in = out = -1;
        if (!ended) return -1;
        return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }

    ~child() {
        kill_now();
        if (in >= 0) close(in);
        if (out >= 0) close(out);
    }
};

} // namespace
