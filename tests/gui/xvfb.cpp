#include "xvfb.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

static pid_t g_pid = 0;
static char g_display[32] = "";

const char* xvfb_display() { return g_display; }

void xvfb_stop() {
  if (g_pid <= 0) return;
  kill(g_pid, SIGTERM);
  int status = 0;
  waitpid(g_pid, &status, 0);
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

  char buf[32] = {};
  size_t used = 0;
  for (int waited = 0; waited < 15000 && used < sizeof buf - 1;) {
    pollfd p = {fds[0], POLLIN, 0};
    const int r = poll(&p, 1, 100);
    waited += 100;
    if (r > 0) {
      const ssize_t n = read(fds[0], buf + used, sizeof buf - 1 - used);
      if (n <= 0) break;  // the server closed the pipe without a number: it failed
      used += size_t(n);
      if (std::memchr(buf, '\n', used) != nullptr) break;
    }
  }
  close(fds[0]);
  char* end = nullptr;
  const long number = std::strtol(buf, &end, 10);
  if (end == buf || number < 0) {
    std::fprintf(stderr, "xvfb: the server did not report a display number\n");
    xvfb_stop();
    return false;
  }
  std::snprintf(g_display, sizeof g_display, ":%ld", number);
  setenv("DISPLAY", g_display, 1);
  return true;
}
