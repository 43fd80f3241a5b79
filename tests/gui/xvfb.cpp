#include "xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static pid_t g_pid = 0;
static char g_display[32] = "";

const char* xvfb_display() { return g_display; }

void xvfb_stop() {
  if (g_pid <= 0) return;
  kill(g_pid, SIGTERM);
  // A server that ignores the request (it may be stopped, or swapped out on a loaded machine) is
  // killed after a while, so the test program always ends.
  int status = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (waitpid(g_pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= end) {
      kill(g_pid, SIGKILL);
      waitpid(g_pid, &status, 0);
      break;
    }
    usleep(10000);
  }
  g_pid = 0;
  g_display[0] = '\0';
}

bool xvfb_start(int width, int height) {
  if (g_pid > 0) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  if (pid == 0) {
    // The server dies with the test program, even when that is killed outright.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent) _exit(127);
    // Xvfb writes the display number it chose to fd 3 once it accepts connections.
    if (dup2(fds[1], 3) < 0) _exit(127);
    // Quiet: while it looks for a free number Xvfb reports every number already taken.
    const int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      dup2(devnull, 0);
      dup2(devnull, 1);
      dup2(devnull, 2);
    }
    char screen[48];
    std::snprintf(screen, sizeof screen, "%dx%dx24", width, height);
    execlp("Xvfb", "Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", screen,
           "+extension", "GLX", "-noreset", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  g_pid = pid;
  std::atexit(xvfb_stop);

  // The bound is of wall-clock time: a server start on a busy machine can take seconds.
  char buf[32] = {};
  size_t used = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (used < sizeof buf - 1 && std::chrono::steady_clock::now() < end) {
    pollfd p = {fds[0], POLLIN, 0};
    const int r = poll(&p, 1, 100);
    if (r > 0) {
      const ssize_t n = read(fds[0], buf + used, sizeof buf - 1 - used);
      if (n <= 0) break;  // the server closed the pipe without a number: it failed
      used += size_t(n);
      if (std::memchr(buf, '\n', used) != nullptr) break;
    }
  }
  close(fds[0]);
  char* digits_end = nullptr;
  const long number = std::strtol(buf, &digits_end, 10);
  if (digits_end == buf || number < 0) {
    std::fprintf(stderr, "xvfb: no display number from the server within 30 s (it wrote \"%s\")\n",
                 buf);
    xvfb_stop();
    return false;
  }
  std::snprintf(g_display, sizeof g_display, ":%ld", number);
  setenv("DISPLAY", g_display, 1);
  return true;
}
