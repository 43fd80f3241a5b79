// The OpenGL entry-point table: the 71 functions the editor and its drawing layer use, looked up at
// run time in the context of the editor's view (no link-time dependency on an OpenGL library), and
// the types and constants they need, declared here.
//
// Threads: the table is process-wide. It is filled on the main thread while a context is current
// and read only on the main thread. [main-thread]
#pragma once

#include <stddef.h>
#include <stdint.h>

// OpenGL's scalar types (the same definitions the platform headers use, so including both is fine).
typedef unsigned int GLenum;
typedef unsigned char GLboolean;
typedef unsigned int GLbitfield;
typedef int GLint;
typedef unsigned int GLuint;
typedef int GLsizei;
typedef float GLfloat;
typedef unsigned char GLubyte;
typedef char GLchar;
typedef ptrdiff_t GLintptr;
typedef ptrdiff_t GLsizeiptr;

// 32-bit Windows calls OpenGL with __stdcall; every other target has one calling convention.
#if defined(_WIN32) && !defined(_WIN64)
#define LODRIN_GL_CALL __stdcall
#else
#define LODRIN_GL_CALL
#endif

// The constants used, under their OpenGL names in a namespace of their own (the platform headers
// define the GL_ spellings as macros).
namespace glc {
constexpr GLenum ZERO = 0, ONE = 1;
constexpr GLboolean FALSE_ = 0, TRUE_ = 1;
constexpr GLenum NO_ERROR_ = 0;
constexpr GLenum TRIANGLES = 0x0004, TRIANGLE_STRIP = 0x0005, TRIANGLE_FAN = 0x0006;
constexpr GLenum SRC_ALPHA = 0x0302, ONE_MINUS_SRC_ALPHA = 0x0303;
constexpr GLenum NEVER = 0x0200, LESS = 0x0201, EQUAL = 0x0202, NOTEQUAL = 0x0205, ALWAYS = 0x0207;
constexpr GLenum FRONT = 0x0404, BACK = 0x0405, FRONT_AND_BACK = 0x0408;
constexpr GLenum CW = 0x0900, CCW = 0x0901;
constexpr GLenum CULL_FACE = 0x0B44, DEPTH_TEST = 0x0B71, STENCIL_TEST = 0x0B90, BLEND = 0x0BE2,
                 SCISSOR_TEST = 0x0C11;
constexpr GLenum UNPACK_ROW_LENGTH = 0x0CF2, UNPACK_SKIP_ROWS = 0x0CF3, UNPACK_SKIP_PIXELS = 0x0CF4,
                 UNPACK_ALIGNMENT = 0x0CF5, PACK_ALIGNMENT = 0x0D05;
constexpr GLenum MAX_TEXTURE_SIZE = 0x0D33;
constexpr GLenum TEXTURE_2D = 0x0DE1;
constexpr GLenum UNSIGNED_BYTE = 0x1401, FLOAT = 0x1406;
constexpr GLenum RED = 0x1903, RGB = 0x1907, RGBA = 0x1908;
constexpr GLenum VENDOR = 0x1F00, RENDERER = 0x1F01, VERSION = 0x1F02;
constexpr GLenum KEEP = 0x1E00, REPLACE = 0x1E01, INCR = 0x1E02, DECR = 0x1E03;
constexpr GLenum NEAREST = 0x2600, LINEAR = 0x2601;
constexpr GLenum TEXTURE_MAG_FILTER = 0x2800, TEXTURE_MIN_FILTER = 0x2801, TEXTURE_WRAP_S = 0x2802,
                 TEXTURE_WRAP_T = 0x2803;
constexpr GLenum CLAMP_TO_EDGE = 0x812F;
constexpr GLenum R8 = 0x8229;
constexpr GLenum TEXTURE0 = 0x84C0;
constexpr GLenum INCR_WRAP = 0x8507, DECR_WRAP = 0x8508;
constexpr GLenum ARRAY_BUFFER = 0x8892, STREAM_DRAW = 0x88E0, DYNAMIC_DRAW = 0x88E8;
constexpr GLenum UNIFORM_BUFFER = 0x8A11, UNIFORM_BUFFER_OFFSET_ALIGNMENT = 0x8A34;
constexpr GLenum FRAGMENT_SHADER = 0x8B30, VERTEX_SHADER = 0x8B31, COMPILE_STATUS = 0x8B81,
                 LINK_STATUS = 0x8B82, INFO_LOG_LENGTH = 0x8B84;
constexpr GLenum VIEWPORT = 0x0BA2;
constexpr GLenum RGBA8 = 0x8058;
constexpr GLenum DEPTH_STENCIL_ATTACHMENT = 0x821A, DEPTH24_STENCIL8 = 0x88F0;
constexpr GLenum FRAMEBUFFER_BINDING = 0x8CA6, FRAMEBUFFER_COMPLETE = 0x8CD5, COLOR_ATTACHMENT0 = 0x8CE0,
                 FRAMEBUFFER = 0x8D40, RENDERBUFFER = 0x8D41;
constexpr GLbitfield DEPTH_BUFFER_BIT = 0x0100, STENCIL_BUFFER_BIT = 0x0400, COLOR_BUFFER_BIT = 0x4000;
} // namespace glc

// The 71 entry points: X(return type, name, parameter list). One list feeds the table's fields and
// the lookup, so they cannot drift apart.
#define LODRIN_GL_FUNCTIONS(X)                                                                            \
    X(void, glActiveTexture, (GLenum texture))                                                            \
    X(void, glAttachShader, (GLuint program, GLuint shader))                                              \
    X(void, glBindAttribLocation, (GLuint program, GLuint index, const GLchar* name))                    \
    X(void, glBindBuffer, (GLenum target, GLuint buffer))                                                 \
    X(void, glBindBufferRange, (GLenum target, GLuint index, GLuint buffer, GLintptr offset, GLsizeiptr size)) \
    X(void, glBindFramebuffer, (GLenum target, GLuint framebuffer))                                      \
    X(void, glBindRenderbuffer, (GLenum target, GLuint renderbuffer))                                    \
    X(void, glBindTexture, (GLenum target, GLuint texture))                                               \
    X(void, glBindVertexArray, (GLuint array))                                                            \
    X(void, glBlendFuncSeparate, (GLenum src_rgb, GLenum dst_rgb, GLenum src_alpha, GLenum dst_alpha))    \
    X(void, glBufferData, (GLenum target, GLsizeiptr size, const void* data, GLenum usage))               \
    X(void, glBufferSubData, (GLenum target, GLintptr offset, GLsizeiptr size, const void* data))         \
    X(GLenum, glCheckFramebufferStatus, (GLenum target))                                                 \
    X(void, glClear, (GLbitfield mask))                                                                   \
    X(void, glClearColor, (GLfloat r, GLfloat g, GLfloat b, GLfloat a))                                   \
    X(void, glColorMask, (GLboolean r, GLboolean g, GLboolean b, GLboolean a))                            \
    X(void, glCompileShader, (GLuint shader))                                                             \
    X(GLuint, glCreateProgram, (void))                                                                    \
    X(GLuint, glCreateShader, (GLenum type))                                                              \
    X(void, glCullFace, (GLenum mode))                                                                    \
    X(void, glDeleteBuffers, (GLsizei n, const GLuint* buffers))                                          \
    X(void, glDeleteFramebuffers, (GLsizei n, const GLuint* framebuffers))                              \
    X(void, glDeleteProgram, (GLuint program))                                                            \
    X(void, glDeleteRenderbuffers, (GLsizei n, const GLuint* renderbuffers))                            \
    X(void, glDeleteShader, (GLuint shader))                                                              \
    X(void, glDeleteTextures, (GLsizei n, const GLuint* textures))                                        \
    X(void, glDeleteVertexArrays, (GLsizei n, const GLuint* arrays))                                      \
    X(void, glDisable, (GLenum cap))                                                                      \
    X(void, glDisableVertexAttribArray, (GLuint index))                                                   \
    X(void, glDrawArrays, (GLenum mode, GLint first, GLsizei count))                                      \
    X(void, glEnable, (GLenum cap))                                                                       \
    X(void, glEnableVertexAttribArray, (GLuint index))                                                    \
    X(void, glFinish, (void))                                                                             \
    X(void, glFramebufferRenderbuffer, (GLenum target, GLenum attachment, GLenum rb_target, GLuint rb))  \
    X(void, glFramebufferTexture2D, (GLenum target, GLenum attachment, GLenum tex_target, GLuint texture, \
                                     GLint level))                                                       \
    X(void, glFrontFace, (GLenum mode))                                                                   \
    X(void, glGenBuffers, (GLsizei n, GLuint * buffers))                                                  \
    X(void, glGenFramebuffers, (GLsizei n, GLuint * framebuffers))                                      \
    X(void, glGenRenderbuffers, (GLsizei n, GLuint * renderbuffers))                                    \
    X(void, glGenTextures, (GLsizei n, GLuint * textures))                                                \
    X(void, glGenVertexArrays, (GLsizei n, GLuint * arrays))                                              \
    X(void, glGenerateMipmap, (GLenum target))                                                            \
    X(GLenum, glGetError, (void))                                                                         \
    X(void, glGetIntegerv, (GLenum pname, GLint * data))                                                  \
    X(void, glGetProgramInfoLog, (GLuint program, GLsizei size, GLsizei * length, GLchar * log))          \
    X(void, glGetProgramiv, (GLuint program, GLenum pname, GLint * params))                               \
    X(void, glGetShaderInfoLog, (GLuint shader, GLsizei size, GLsizei * length, GLchar * log))            \
    X(void, glGetShaderiv, (GLuint shader, GLenum pname, GLint * params))                                 \
    X(const GLubyte*, glGetString, (GLenum name))                                                         \
    X(GLuint, glGetUniformBlockIndex, (GLuint program, const GLchar* name))                               \
    X(GLint, glGetUniformLocation, (GLuint program, const GLchar* name))                                  \
    X(void, glLinkProgram, (GLuint program))                                                              \
    X(void, glPixelStorei, (GLenum pname, GLint param))                                                   \
    X(void, glReadPixels, (GLint x, GLint y, GLsizei w, GLsizei h, GLenum format, GLenum type, void* pixels)) \
    X(void, glRenderbufferStorage, (GLenum target, GLenum internal_format, GLsizei w, GLsizei h))         \
    X(void, glScissor, (GLint x, GLint y, GLsizei w, GLsizei h))                                          \
    X(void, glShaderSource, (GLuint shader, GLsizei count, const GLchar* const* strings, const GLint* lengths)) \
    X(void, glStencilFunc, (GLenum func, GLint ref, GLuint mask))                                         \
    X(void, glStencilMask, (GLuint mask))                                                                 \
    X(void, glStencilOp, (GLenum sfail, GLenum dpfail, GLenum dppass))                                    \
    X(void, glStencilOpSeparate, (GLenum face, GLenum sfail, GLenum dpfail, GLenum dppass))               \
    X(void, glTexImage2D, (GLenum target, GLint level, GLint internal_format, GLsizei w, GLsizei h,       \
                           GLint border, GLenum format, GLenum type, const void* pixels))                 \
    X(void, glTexParameteri, (GLenum target, GLenum pname, GLint param))                                  \
    X(void, glTexSubImage2D, (GLenum target, GLint level, GLint x, GLint y, GLsizei w, GLsizei h,         \
                              GLenum format, GLenum type, const void* pixels))                            \
    X(void, glUniform1i, (GLint location, GLint v0))                                                      \
    X(void, glUniform2fv, (GLint location, GLsizei count, const GLfloat* value))                          \
    X(void, glUniform4fv, (GLint location, GLsizei count, const GLfloat* value))                          \
    X(void, glUniformBlockBinding, (GLuint program, GLuint block_index, GLuint binding))                  \
    X(void, glUseProgram, (GLuint program))                                                               \
    X(void, glVertexAttribPointer, (GLuint index, GLint size, GLenum type, GLboolean normalized,          \
                                    GLsizei stride, const void* pointer))                                 \
    X(void, glViewport, (GLint x, GLint y, GLsizei w, GLsizei h))

// The table: one pointer per entry point, null until looked up (or when the lookup missed it).
struct gl_functions {
#define LODRIN_GL_FIELD(ret, name, params) ret(LODRIN_GL_CALL* name) params;
    LODRIN_GL_FUNCTIONS(LODRIN_GL_FIELD)
#undef LODRIN_GL_FIELD
};

// How many entry points the table holds.
constexpr int32_t gl_function_count = 71;

// The process's table, read by everything that draws. [main-thread]
extern gl_functions gl_table;

// A looked-up entry point as the platform returns it (cast to its real type before the call).
typedef void (*gl_proc)(void);

// Looks every entry point up by its name with `lookup` (the window layer's proc-address lookup for
// the current context) and stores it in gl_table, all of them even after a miss. Returns 1 when
// every pointer is non-null, else 0. Run it with the context current, on every new context.
// [main-thread]
int32_t gl_load_functions_from(gl_proc (*lookup)(const char* name));
// The same for a lookup that returns the address as a data pointer. [main-thread]
int32_t gl_load_functions_from(void* (*lookup)(const char* name));
