// What every port of the window layer shares: the resource counters and the forced-failure switch.
// Each port (window_x11.cpp, window_win32.cpp) defines every function of window.h not defined in
// window_common.cpp.
#pragma once

#include "window.h"

// The process-wide counters behind window_live_resources; ports add and subtract as they create and
// destroy native objects. [main-thread]
extern window_resource_counts g_window_counts;

// What LODRIN_FORCE_NO_GL asks for: 0 nothing, 1 refuse core-profile contexts only, 2 refuse all.
// Read at every call so a test can change it between realizes. [main-thread]
int window_forced_gl_failure(void);

// Whether a context with this profile must be refused by the forced-failure switch. [main-thread]
bool window_gl_refused(int32_t profile);
