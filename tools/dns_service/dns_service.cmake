# The stand-in public resolver of the network lab: a native Linux program,
# built by the native and linux presets.
if(NOT WIN32 AND NOT TVX_FUZZ)
  add_executable(tvx_dns_service ${CMAKE_CURRENT_LIST_DIR}/dns_service.cpp)
  target_compile_options(tvx_dns_service PRIVATE ${TVX_WARNINGS})
endif()
