// The process's OpenGL entry-point table and its lookup.
#include "gl_table.h"

#include <string.h>

gl_functions gl_table;

namespace {

// Both lookups funnel into one walk over the list; `Lookup` turns a name into a gl_proc.
template <typename Lookup>
int32_t load_all(Lookup lookup) {
    int32_t found = 0;
#define LODRIN_GL_LOAD(ret, name, params)                                                                \
    {                                                                                                    \
        gl_proc p = lookup(#name);                                                                       \
        static_assert(sizeof(gl_table.name) == sizeof(p), "function pointers of one size");              \
        memcpy(&gl_table.name, &p, sizeof(p));                                                           \
        found += p != nullptr;                                                                           \
    }
    LODRIN_GL_FUNCTIONS(LODRIN_GL_LOAD)
#undef LODRIN_GL_LOAD
    return found == gl_function_count ? 1 : 0;
}

} // namespace

static_assert(sizeof(gl_functions) == gl_function_count * sizeof(gl_proc), "71 entry points");

int32_t gl_load_functions_from(gl_proc (*lookup)(const char* name)) {
    if (!lookup) {
        memset(&gl_table, 0, sizeof(gl_table));
        return 0;
    }
    return load_all([lookup](const char* n) { return lookup(n); });
}

int32_t gl_load_functions_from(void* (*lookup)(const char* name)) {
    if (!lookup) {
        memset(&gl_table, 0, sizeof(gl_table));
        return 0;
    }
    return load_all([lookup](const char* n) {
        void* v = lookup(n);
        gl_proc p;
        static_assert(sizeof(v) == sizeof(p), "code and data pointers of one size");
        memcpy(&p, &v, sizeof(p));
        return p;
    });
}
