# Google Benchmark programs, built only by the "bench" preset (optimised, no
# sanitizers) and never run by the test command: speed is measured, not asserted.
find_package(benchmark REQUIRED)
find_package(OpenSSL REQUIRED)
add_executable(tvx_benchmarks ${CMAKE_CURRENT_LIST_DIR}/sha256_benchmark.cpp)
target_include_directories(tvx_benchmarks PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
target_compile_options(tvx_benchmarks PRIVATE ${TVX_WARNINGS})
target_link_libraries(tvx_benchmarks PRIVATE tvx_core OpenSSL::Crypto benchmark::benchmark benchmark::benchmark_main)
