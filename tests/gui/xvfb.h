// A private X server for tests that need a display: Xvfb on a display number it picks itself
// (-displayfd, so two test programs can never race for one number), no TCP listener, killed when the
// test program ends however it ends (normal exit, failed assertion, abort or a ctest timeout's kill).
#pragma once

// Starts Xvfb with one screen of width x height x 24 bits and waits until it accepts connections
// (at most 30 s), then sets DISPLAY for this process and the processes it starts. Starting twice
// keeps the first server. Returns false (with a reason on stderr) when Xvfb cannot be started.
// [main-thread]
bool xvfb_start(int width = 1280, int height = 1024);

// Stops the server started by xvfb_start and waits for it; a no-op without one. [main-thread]
void xvfb_stop();

// The DISPLAY value of the running server (":N"), or an empty string. [main-thread]
const char* xvfb_display();
