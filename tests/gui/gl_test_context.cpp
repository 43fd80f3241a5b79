// GLX set-up for the drawing tests.
#include "gl_test_context.h"

#include "gl_table.h"

#include <GL/glx.h>
#include <X11/Xlib.h>
#include <stdio.h>

namespace {

// GLX_ARB_create_context values.
constexpr int kContextMajor = 0x2091;
constexpr int kContextMinor = 0x2092;
constexpr int kContextProfileMask = 0x9126;
constexpr int kContextCoreBit = 0x0001;

using create_context_fn = GLXContext (*)(Display*, GLXFBConfig, GLXContext, Bool, const int*);

int ignore_x_errors(Display*, XErrorEvent*) {
    return 0;
}

gl_proc lookup(const char* name) {
    return reinterpret_cast<gl_proc>(glXGetProcAddressARB(reinterpret_cast<const GLubyte*>(name)));
}

} // namespace

struct gl_test_context {
    Display* display;
    Window window;
    GLXContext context;
    int32_t width, height;
};

gl_test_context* gl_test_context_create(int32_t width, int32_t height) {
    Display* d = XOpenDisplay(nullptr);
    if (!d) {
        fprintf(stderr, "gl_test_context: no X display\n");
        return nullptr;
    }
    const int attrs[] = {GLX_DRAWABLE_TYPE, GLX_WINDOW_BIT, GLX_RENDER_TYPE, GLX_RGBA_BIT, GLX_X_RENDERABLE, True,
                         GLX_RED_SIZE, 8, GLX_GREEN_SIZE, 8, GLX_BLUE_SIZE, 8, GLX_STENCIL_SIZE, 8,
                         GLX_DOUBLEBUFFER, True, None};
    int n = 0;
    GLXFBConfig* configs = glXChooseFBConfig(d, DefaultScreen(d), attrs, &n);
    if (!configs || n < 1) {
        fprintf(stderr, "gl_test_context: no window configuration with a stencil\n");
        XCloseDisplay(d);
        return nullptr;
    }
    GLXFBConfig config = configs[0];
    XFree(configs);
    auto create = reinterpret_cast<create_context_fn>(lookup("glXCreateContextAttribsARB"));
    const int ctx_attrs[] = {kContextMajor, 3, kContextMinor, 2, kContextProfileMask, kContextCoreBit, None};
    auto old_handler = XSetErrorHandler(ignore_x_errors);
    GLXContext ctx = create ? create(d, config, nullptr, True, ctx_attrs) : nullptr;
    XSync(d, False);
    XSetErrorHandler(old_handler);
    if (!ctx) {
        fprintf(stderr, "gl_test_context: no OpenGL 3.2 core context\n");
        XCloseDisplay(d);
        return nullptr;
    }
    // An unmapped window: drawing goes to its back buffer, which glReadPixels reads before any swap.
    XVisualInfo* vi = glXGetVisualFromFBConfig(d, config);
    Window win = 0;
    if (vi) {
        XSetWindowAttributes wa = {};
        wa.colormap = XCreateColormap(d, RootWindow(d, vi->screen), vi->visual, AllocNone);
        wa.border_pixel = 0;
        win = XCreateWindow(d, RootWindow(d, vi->screen), 0, 0, unsigned(width), unsigned(height), 0, vi->depth,
                            InputOutput, vi->visual, CWColormap | CWBorderPixel, &wa);
        XFree(vi);
    }
    if (!win || !glXMakeContextCurrent(d, win, win, ctx)) {
        fprintf(stderr, "gl_test_context: the window cannot be made current\n");
        if (win) XDestroyWindow(d, win);
        glXDestroyContext(d, ctx);
        XCloseDisplay(d);
        return nullptr;
    }
    GLXDrawable pb = win;
    if (!gl_load_functions_from(lookup)) {
        fprintf(stderr, "gl_test_context: an OpenGL entry point is missing\n");
    }
    auto* c = new gl_test_context{d, pb, ctx, width, height};
    gl_table.glViewport(0, 0, width, height);
    return c;
}

void gl_test_context_free(gl_test_context* c) {
    if (!c) return;
    glXMakeContextCurrent(c->display, None, None, nullptr);
    XDestroyWindow(c->display, c->window);
    glXDestroyContext(c->display, c->context);
    XCloseDisplay(c->display);
    delete c;
}

const char* gl_test_context_version(gl_test_context*) {
    return reinterpret_cast<const char*>(gl_table.glGetString(glc::VERSION));
}

std::vector<uint8_t> gl_test_read_rgba(gl_test_context* c) {
    std::vector<uint8_t> bottom_up(size_t(c->width) * size_t(c->height) * 4);
    gl_table.glPixelStorei(glc::PACK_ALIGNMENT, 1);
    gl_table.glReadPixels(0, 0, c->width, c->height, glc::RGBA, glc::UNSIGNED_BYTE, bottom_up.data());
    std::vector<uint8_t> top_down(bottom_up.size());
    size_t row = size_t(c->width) * 4;
    for (int32_t y = 0; y < c->height; ++y)
        std::copy(bottom_up.begin() + long(row * size_t(c->height - 1 - y)),
                  bottom_up.begin() + long(row * size_t(c->height - y)), top_down.begin() + long(row * size_t(y)));
    return top_down;
}

bool gl_test_write_ppm(const char* path, const std::vector<uint8_t>& rgba, int32_t width, int32_t height) {
    FILE* f = fopen(path, "wb");
    if (!f) return false;
    fprintf(f, "P6\n%d %d\n255\n", width, height);
    for (size_t i = 0; i < size_t(width) * size_t(height); ++i) fwrite(&rgba[i * 4], 1, 3, f);
    return fclose(f) == 0;
}
