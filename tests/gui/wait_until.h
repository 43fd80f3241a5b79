// Waiting for what another X client or another process does. The X server gives no order between the
// requests of two clients (the plug-in's window layer has a connection of its own), and a child process
// runs when the scheduler lets it, so a test never reads such a state right after asking for it: it
// polls until the state is there, under a wall-clock bound that holds with every core busy, and on
// expiry says what it saw last. A state that never comes still fails, only later.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>

// Enough for a few frames of the software rasteriser, an X round trip or a host process's start with
// every core busy; an idle machine needs a small fraction of it.
constexpr double kWaitSeconds = 10.0;

// Calls step (a pass of the plug-in or the world; by default a 5 ms sleep) until done() holds or
// `seconds` of wall-clock time have passed; done() is asked once more after the last step. The failure
// reads "<describe()> after <seconds> s", describe() telling what the last poll saw.
inline testing::AssertionResult wait_until(const std::function<bool()>& done, double seconds,
                                           const std::function<std::string()>& describe,
                                           const std::function<void()>& step = {}) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        if (done()) return testing::AssertionSuccess();
        if (std::chrono::steady_clock::now() >= end) break;
        if (step)
            step();
        else
            usleep(5000);
    }
    return testing::AssertionFailure() << describe() << " after " << seconds << " s";
}

// Waits up to `seconds` for the child `pid` to end, calling step meanwhile (by default a 10 ms sleep;
// a child writing into a pipe needs it drained). Its wait status goes to *status. A child still
// running at the bound is killed and reaped, and the failure names what describe() tells of it.
inline testing::AssertionResult wait_child(pid_t pid, double seconds, int* status,
                                           const std::function<std::string()>& describe,
                                           const std::function<void()>& step = {}) {
    bool ended = false;
    const testing::AssertionResult r = wait_until(
        [&] {
            if (!ended) ended = waitpid(pid, status, WNOHANG) == pid;
            return ended;
        },
        seconds, [&] { return "process " + std::to_string(pid) + " still running: " + describe(); },
        step ? step : std::function<void()>([] { usleep(10000); }));
    if (!ended) {
        kill(pid, SIGKILL);
        waitpid(pid, status, 0);
    }
    return r;
}
