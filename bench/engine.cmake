# Engine benchmarks: ns per stereo frame of the per-stage processing at 48 kHz in 512-frame blocks.
add_executable(engine_bench ${CMAKE_CURRENT_LIST_DIR}/engine_bench.cpp)
target_link_libraries(engine_bench PRIVATE lodrin_engine benchmark::benchmark)
