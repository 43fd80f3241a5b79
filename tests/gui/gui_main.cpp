// The main function of the gui test programs: every test runs against a private Xvfb.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>

#include "xvfb.h"

// A test that dies by a signal still takes its server down (a ctest timeout sends SIGTERM first;
// PR_SET_PDEATHSIG covers SIGKILL).
static void on_signal(int sig) {
  xvfb_stop();
  std::signal(sig, SIG_DFL);
  std::raise(sig);
}

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  for (int sig : {SIGTERM, SIGINT, SIGABRT, SIGSEGV}) std::signal(sig, on_signal);
  if (!xvfb_start()) return 1;
  const int rc = RUN_ALL_TESTS();
  xvfb_stop();
  return rc;
}
