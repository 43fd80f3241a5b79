# The editor's frame time under a private Xvfb (Mesa llvmpipe): a plain program, not a Google
# Benchmark one, since it times whole frames of a real window. Needs the gui test fixture.
if(TARGET lodrin_test_xvfb)
  find_package(X11 REQUIRED)
  add_executable(editor_frame_bench ${CMAKE_CURRENT_LIST_DIR}/editor_frame_bench.cpp)
  target_link_libraries(editor_frame_bench PRIVATE lodrin_core lodrin_test_xvfb X11::X11)
endif()
