# Benchmarks of the stage state: the chain listing (chain_*.cpp, one program each).
file(GLOB state_bench_sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/chain_*.cpp)
foreach(src ${state_bench_sources})
  get_filename_component(name ${src} NAME_WE)
  add_executable(bench_${name} ${src})
  target_link_libraries(bench_${name} PRIVATE lodrin_state benchmark::benchmark)
endforeach()
