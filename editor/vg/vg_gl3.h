// The OpenGL 3.2 core back end of the drawing layer. It reaches OpenGL only through the entry-point
// table of gl_table.h, which must be loaded (gl_load_functions_from) with the context current.
// [main-thread]: every call needs the OpenGL context it was created in to be current.
#pragma once

#include "vg.h"

// Makes a drawing context over a new GL3 back end (one shader program, vertex and uniform buffers,
// the glyph atlas texture) in the current OpenGL context. flags: vg_create_flags. Returns null
// when the table is not loaded, the shader does not compile or link, or memory fails. The context
// owns the back end: vg_delete frees its GL objects, so call it with the same GL context current.
vg_context* vg_create_gl3(uint32_t flags);
