// The parts of the window layer that no port changes: status texts, resource counts, the switch that
// forces OpenGL failures.
#include <cstdlib>
#include <cstring>

#include "window_port.h"

window_resource_counts g_window_counts = {};

const char* window_strerror(window_status status) {
  switch (status) {
    case WINDOW_SUCCESS: return "Success";
    case WINDOW_FAILURE: return "Non-fatal failure";
    case WINDOW_BAD_PARAMETER: return "Invalid parameter";
    case WINDOW_BAD_CONFIGURATION: return "Invalid configuration";
    case WINDOW_BACKEND_FAILED: return "Backend initialisation failed";
    case WINDOW_REGISTRATION_FAILED: return "Class registration failed";
    case WINDOW_REALIZE_FAILED: return "View creation failed";
    case WINDOW_CREATE_CONTEXT_FAILED: return "Failed to create drawing context";
    case WINDOW_SET_FORMAT_FAILED: return "Failed to set pixel format";
    case WINDOW_NO_MEMORY: return "Failed to allocate memory";
    case WINDOW_UNSUPPORTED: return "Unsupported operation";
  }
  return "Unknown error";
}

window_resource_counts window_live_resources(void) { return g_window_counts; }

int window_forced_gl_failure(void) {
  const char* v = std::getenv("LODRIN_FORCE_NO_GL");
  if (v == nullptr || v[0] == '\0' || std::strcmp(v, "0") == 0) return 0;
  return std::strcmp(v, "core") == 0 ? 1 : 2;
}

bool window_gl_refused(int32_t profile) {
  const int forced = window_forced_gl_failure();
  return forced == 2 || (forced == 1 && profile == WINDOW_PROFILE_CORE);
}
