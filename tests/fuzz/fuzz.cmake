# libFuzzer targets over input from outside the process, one per
# tests/fuzz/fuzz_<name>.cpp. Built only in the "fuzz" preset, where
# everything is compiled with -fsanitize=fuzzer-no-link,address,undefined;
# scripts/fuzz builds and runs them.
file(GLOB TVX_FUZZ_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/fuzz_*.cpp)
foreach(source IN LISTS TVX_FUZZ_SOURCES)
  get_filename_component(target ${source} NAME_WE)
  add_executable(${target} ${source})
  target_include_directories(${target} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/..)
  target_compile_options(${target} PRIVATE ${TVX_WARNINGS})
  target_link_libraries(${target} PRIVATE tvx_core tvx_codec)
  target_link_options(${target} PRIVATE -fsanitize=fuzzer)
endforeach()
