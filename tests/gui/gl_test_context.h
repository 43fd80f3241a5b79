// An OpenGL 3.2 core context for drawing tests, made directly with Xlib and GLX on the display of
// $DISPLAY (tests run under with_xvfb.sh) around an unmapped double-buffered window with an 8-bit stencil, and
// the entry-point table loaded for it. [main-thread]
#pragma once

#include <stdint.h>

#include <vector>

struct gl_test_context;

// Makes the context and makes it current; null (with the reason on stderr) when the display, a
// matching configuration or a 3.2 core context cannot be had.
gl_test_context* gl_test_context_create(int32_t width, int32_t height);
void gl_test_context_free(gl_test_context* c);

// The "GL_VERSION" string of the context.
const char* gl_test_context_version(gl_test_context* c);

// Reads the whole surface as RGBA bytes, top row first.
std::vector<uint8_t> gl_test_read_rgba(gl_test_context* c);

// Writes RGBA pixels (top row first) as a binary PPM; returns false when the file cannot be written.
bool gl_test_write_ppm(const char* path, const std::vector<uint8_t>& rgba, int32_t width, int32_t height);
