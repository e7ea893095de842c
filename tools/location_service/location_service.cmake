# The stand-in location lookup service: a native Linux program, built by the
# native preset, run by the Windows lookup tests.
if(NOT WIN32 AND NOT TVX_FUZZ)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CPP_HTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  find_package(OpenSSL REQUIRED)
  add_executable(tvx_location_service ${CMAKE_CURRENT_LIST_DIR}/location_service.cpp)
  target_compile_options(tvx_location_service PRIVATE ${TVX_WARNINGS})
  target_link_libraries(tvx_location_service PRIVATE PkgConfig::CPP_HTTPLIB OpenSSL::SSL OpenSSL::Crypto
    JsonCpp::JsonCpp Threads::Threads)
endif()
