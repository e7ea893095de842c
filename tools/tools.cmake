# Tools: the Remote Desktop client stand-in and the query tool (Windows), and the portable
# registrar for the native tests.

if(NOT WIN32 AND NOT TVX_FUZZ)
  # The registrar is portable; the native tests run it over its in-memory
  # registry. In the Windows build it is part of the DLL.
  add_library(tvx_registrar STATIC ${CMAKE_SOURCE_DIR}/src/plugin/registrar.cpp)
  target_include_directories(tvx_registrar PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_compile_options(tvx_registrar PRIVATE ${TVX_WARNINGS})
  target_compile_definitions(tvx_registrar INTERFACE TVX_PLUGIN_SOURCE_DIR="${CMAKE_SOURCE_DIR}/src/plugin")
  target_link_libraries(tvx_registrar PUBLIC tvx_core)
endif()

if(WIN32)
  # The Remote Desktop client's side: channel manager, listener and channel
  # of our own, the session driver and the network guard. Shared by the
  # stand-in program and the Windows tests.
  add_library(tvx_standin STATIC
    ${CMAKE_SOURCE_DIR}/tools/rdclient/standin.cpp
    ${CMAKE_SOURCE_DIR}/tools/rdclient/network_guard.cpp
    ${CMAKE_SOURCE_DIR}/tools/rdclient/report.cpp)
  target_include_directories(tvx_standin PUBLIC ${CMAKE_SOURCE_DIR}/tools)
  target_compile_definitions(tvx_standin PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  target_compile_options(tvx_standin PRIVATE ${TVX_WARNINGS})
  target_link_libraries(tvx_standin PUBLIC JsonCpp::JsonCpp ole32 oleaut32 advapi32 iphlpapi ws2_32 uuid)

  # The stand-in for the Remote Desktop client, beside DOZA-Plugin.dll.
  add_executable(tvx_rdclient ${CMAKE_SOURCE_DIR}/tools/rdclient/main.cpp)
  target_compile_options(tvx_rdclient PRIVATE ${TVX_WARNINGS})
  target_link_libraries(tvx_rdclient PRIVATE tvx_standin tvx_codec JsonCpp::JsonCpp shell32 ${TVX_STATIC_RUNTIME})
  add_dependencies(tvx_rdclient DOZA-Plugin)

  # The query tool: asks the live plug-in one thing from the command line.
  # Its argument parser is a library of its own so the Windows tests reach it.
  add_library(tvx_query_requests STATIC ${CMAKE_SOURCE_DIR}/tools/query/requests.cpp)
  target_compile_options(tvx_query_requests PRIVATE ${TVX_WARNINGS})
  target_link_libraries(tvx_query_requests PUBLIC tvx_standin tvx_codec)
  add_executable(tvx_query ${CMAKE_SOURCE_DIR}/tools/query/query.cpp)
  target_compile_options(tvx_query PRIVATE ${TVX_WARNINGS})
  target_link_libraries(tvx_query PRIVATE tvx_query_requests tvx_standin tvx_codec JsonCpp::JsonCpp shell32 ${TVX_STATIC_RUNTIME})
  add_dependencies(tvx_query DOZA-Plugin)

  # Benchmarks and soak of the plug-in inside the stand-in (scripts/bench,
  # scripts/soak; a short soak is a test).
  add_executable(tvx_endurance
    ${CMAKE_SOURCE_DIR}/tools/endurance/main.cpp
    ${CMAKE_SOURCE_DIR}/tools/endurance/harness.cpp
    ${CMAKE_SOURCE_DIR}/tools/endurance/process_stats.cpp
    ${CMAKE_SOURCE_DIR}/tools/endurance/bench.cpp
    ${CMAKE_SOURCE_DIR}/tools/endurance/soak.cpp)
  target_compile_options(tvx_endurance PRIVATE ${TVX_WARNINGS})
  target_link_libraries(tvx_endurance PRIVATE tvx_standin tvx_codec JsonCpp::JsonCpp shell32 psapi ${TVX_STATIC_RUNTIME})
  add_dependencies(tvx_endurance DOZA-Plugin)

  # The stand-in as the network lab's stop tests and benchmarks drive it:
  # steps against one plug-in object, each timed and bounded.
  add_executable(tvx_labclient ${CMAKE_SOURCE_DIR}/tools/labclient/main.cpp)
  target_compile_options(tvx_labclient PRIVATE ${TVX_WARNINGS})
  target_link_libraries(tvx_labclient PRIVATE tvx_standin tvx_codec JsonCpp::JsonCpp shell32 ${TVX_STATIC_RUNTIME})
  add_dependencies(tvx_labclient DOZA-Plugin tvx_console)
endif()

if(WIN32)
  # Trust for the lab: adds the lab's certificate authority to the Root store
  # of the Wine prefix it runs in.
  add_executable(tvx_lab_trust ${CMAKE_SOURCE_DIR}/tools/labtrust/lab_trust.cpp)
  target_compile_options(tvx_lab_trust PRIVATE ${TVX_WARNINGS})
  target_compile_definitions(tvx_lab_trust PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX)
  target_link_options(tvx_lab_trust PRIVATE -municode)
  target_link_libraries(tvx_lab_trust PRIVATE crypt32 ${TVX_STATIC_RUNTIME})
  # The scripted console program that the command runner's tests run, also
  # under the names of the commands the collectors call.
  add_executable(tvx_console ${CMAKE_SOURCE_DIR}/tools/console/console.cpp)
  target_compile_options(tvx_console PRIVATE ${TVX_WARNINGS})
  target_link_options(tvx_console PRIVATE ${TVX_STATIC_RUNTIME})
endif()
