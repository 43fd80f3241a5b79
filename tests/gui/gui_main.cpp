// The main function of the gui test programs: every test runs against a private Xvfb, and every
// plug-in the program opens (in process or in a host it starts) shares a segment of the program's own,
// removed at the end, never the user's.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "xvfb.h"

static std::string segment_name;

// The segment's object lives in the user's runtime folder, else in a folder of the user's own in
// /dev/shm or in the home's cache.
static void remove_segment() {
  std::error_code ec;
  if (const char* run = std::getenv("XDG_RUNTIME_DIR"))
    std::filesystem::remove(std::string(run) + "/lodrin/" + segment_name, ec);
  std::filesystem::remove("/dev/shm/lodrin-" + std::to_string(getuid()) + "/" + segment_name, ec);
  if (const char* home = std::getenv("HOME"))
    std::filesystem::remove(std::string(home) + "/.cache/lodrin/" + segment_name, ec);
}

// A test that dies by a signal still takes its server down (a ctest timeout sends SIGTERM first;
// PR_SET_PDEATHSIG covers SIGKILL).
static void on_signal(int sig) {
  xvfb_stop();
  remove_segment();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int sig : {SIGTERM, SIGINT, SIGABRT, SIGSEGV}) std::signal(sig, on_signal);
  segment_name = "lodrin-gui-test-" + std::to_string(getpid());
  setenv("LODRIN_SHM", segment_name.c_str(), 1);
  if (!xvfb_start()) return 1;
  const int rc = RUN_ALL_TESTS();
  xvfb_stop();
  remove_segment();
  return rc;
}
