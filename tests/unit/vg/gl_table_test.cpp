// The entry-point table must ask for every one of its functions by its exact name, keep asking
// after a miss, store what it was given, and report success only when nothing is missing.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "gl_table.h"

namespace {

std::set<std::string> g_asked;
std::string g_missing;
int32_t g_calls;

void fake_function() {}

gl_proc fake_lookup(const char* name) {
    g_calls++;
    g_asked.insert(name);
    return g_missing == name ? nullptr : fake_function;
}

void* fake_data_lookup(const char* name) {
    g_calls++;
    g_asked.insert(name);
    return g_missing == name ? nullptr : reinterpret_cast<void*>(&g_calls);
}

TEST(GlTable, LooksUpEveryNameAndReportsAMiss) {
    const char* misses[] = {"", "glActiveTexture", "glBindBufferRange", "glViewport", "glGetUniformBlockIndex"};
    for (const char* miss : misses) {
        SCOPED_TRACE(miss);
        for (int32_t data = 0; data < 2; ++data) {
            g_asked.clear();
            g_calls = 0;
            g_missing = miss;
            int32_t ok = data ? gl_load_functions_from(fake_data_lookup) : gl_load_functions_from(fake_lookup);
            EXPECT_EQ(ok, *miss ? 0 : 1);
            EXPECT_EQ(g_calls, gl_function_count);
            EXPECT_EQ(g_asked.size(), size_t(gl_function_count));
            for (const char* n : {"glActiveTexture", "glReadPixels", "glStencilOpSeparate", "glUniformBlockBinding",
                                  "glGenerateMipmap", "glFinish", "glBufferSubData", "glScissor",
                                  "glFramebufferTexture2D", "glRenderbufferStorage"})
                EXPECT_EQ(g_asked.count(n), 1u) << n;
        }
    }
    g_missing = "";
    ASSERT_EQ(gl_load_functions_from(fake_lookup), 1);
    EXPECT_EQ(reinterpret_cast<void*>(gl_table.glViewport), reinterpret_cast<void*>(fake_function));
    g_missing = "glViewport";
    ASSERT_EQ(gl_load_functions_from(fake_lookup), 0);
    EXPECT_EQ(gl_table.glViewport, nullptr);
    EXPECT_EQ(gl_load_functions_from(static_cast<gl_proc (*)(const char*)>(nullptr)), 0);
    EXPECT_EQ(gl_table.glClear, nullptr);
}

} // namespace
