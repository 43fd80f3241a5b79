# Drawing layer: frame cost on OpenGL (needs an X server: run it through tests/gui/with_xvfb.sh).
if(TARGET lodrin_gl_test_context)
  add_executable(vg_frame_bench ${CMAKE_CURRENT_LIST_DIR}/vg_frame_bench.cpp)
  target_link_libraries(vg_frame_bench PRIVATE lodrin_gl_test_context lodrin_vg lodrin_resources)
endif()
