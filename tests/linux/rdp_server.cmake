# The real client: stock xfreerdp under Xvfb against tvx_rdp_server, in a
# user, mount and network namespace of their own (tests/linux/real-client).
pkg_check_modules(FREERDP_SERVER2 REQUIRED IMPORTED_TARGET freerdp-server2 freerdp2 winpr2)
add_executable(tvx_rdp_server ${CMAKE_SOURCE_DIR}/tools/rdpserver/main.cpp ${CMAKE_SOURCE_DIR}/tools/rdpserver/remote_host.cpp)
target_include_directories(tvx_rdp_server PRIVATE ${CMAKE_SOURCE_DIR}/tools)
target_compile_options(tvx_rdp_server PRIVATE ${TVX_WARNINGS})
target_compile_definitions(tvx_rdp_server PRIVATE TVX_VERSION_TEXT="${TVX_VERSION_TEXT}")
target_link_libraries(tvx_rdp_server PRIVATE tvx_codec PkgConfig::FREERDP_SERVER2 Threads::Threads)

# Loopback only, inside the namespaces the script makes; each run has its
# own folder, so the two may run side by side.
add_test(NAME linux_real_client COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/linux/real-client
  $<TARGET_FILE:tvx_rdp_server> $<TARGET_FILE:qmlink-dvc-client> ${CMAKE_CURRENT_BINARY_DIR}/real-client)
add_test(NAME linux_real_client_no_addin COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/linux/real-client
  $<TARGET_FILE:tvx_rdp_server> $<TARGET_FILE:qmlink-dvc-client> ${CMAKE_CURRENT_BINARY_DIR}/real-client-no-addin --no-addin)
set_tests_properties(linux_real_client linux_real_client_no_addin PROPERTIES TIMEOUT 240)
