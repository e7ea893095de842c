# Tests of the FreeRDP add-in (the linux preset).
find_package(GTest REQUIRED)
set(TVX_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")

file(GLOB TVX_LINUX_UNIT_TESTS CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/linux/*_test.cpp)
add_executable(tvx_linux_tests ${TVX_LINUX_UNIT_TESTS})
target_include_directories(tvx_linux_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(tvx_linux_tests PRIVATE ${TVX_WARNINGS})
target_compile_definitions(tvx_linux_tests PRIVATE TVX_LINUX_SAMPLES="${CMAKE_CURRENT_SOURCE_DIR}/linux/samples")
target_link_libraries(tvx_linux_tests PRIVATE tvx_core GTest::gtest GTest::gtest_main)
add_test(NAME linux_unit COMMAND tvx_linux_tests)

# The network adapters natively in the network lab, one lab per variant.
add_executable(tvx_linux_lab_tests ${CMAKE_CURRENT_SOURCE_DIR}/linux/lab/network_lab_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/linux/lab/public_ip_lab_test.cpp)
target_include_directories(tvx_linux_lab_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(tvx_linux_lab_tests PRIVATE ${TVX_WARNINGS})
target_link_libraries(tvx_linux_lab_tests PRIVATE tvx_core GTest::gtest GTest::gtest_main)
# The lab's stand-in location service and resolver come from this build.
add_dependencies(tvx_linux_lab_tests tvx_location_service tvx_dns_service)
set(TVX_LAB_SERVICES "TVX_LOCATION_SERVICE=$<TARGET_FILE:tvx_location_service>;TVX_DNS_SERVICE=$<TARGET_FILE:tvx_dns_service>")
foreach(variant provider silent)
  add_test(NAME linux_lab_${variant} COMMAND ${CMAKE_SOURCE_DIR}/tests/lab/lab -q --variant ${variant}
    $<TARGET_FILE:tvx_linux_lab_tests>)
  set_tests_properties(linux_lab_${variant} PROPERTIES ENVIRONMENT "${TVX_LAB_SERVICES}")
endforeach()

add_executable(tvx_fake_dvc_manager ${CMAKE_CURRENT_SOURCE_DIR}/linux/fake_dvc_manager.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/linux/lab/addin_lab_test.cpp)
target_include_directories(tvx_fake_dvc_manager PRIVATE ${CMAKE_CURRENT_SOURCE_DIR} ${CMAKE_SOURCE_DIR}/tools)
target_include_directories(tvx_fake_dvc_manager SYSTEM PRIVATE ${FREERDP2_INCLUDE_DIRS})
target_compile_options(tvx_fake_dvc_manager PRIVATE ${TVX_WARNINGS})
target_compile_definitions(tvx_fake_dvc_manager PRIVATE TVX_VERSION_TEXT="${TVX_VERSION_TEXT}")
target_link_libraries(tvx_fake_dvc_manager PRIVATE tvx_core tvx_codec GTest::gtest GTest::gtest_main ${CMAKE_DL_LIBS})
add_dependencies(tvx_fake_dvc_manager qmlink-dvc-client tvx_location_service tvx_dns_service)
# The engine runs inside the library: a loopback-only namespace, and settings
# of its own (none) rather than the machine user's.
add_test(NAME linux_fake_manager COMMAND unshare -rn env TVX_ADDIN=$<TARGET_FILE:qmlink-dvc-client>
  XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/no-settings XDG_STATE_HOME=${CMAKE_CURRENT_BINARY_DIR}/state
  $<TARGET_FILE:tvx_fake_dvc_manager> --gtest_filter=FakeManagerTest.*)
# The add-in through the same manager in the network lab, the DLL's lab cases
# one lab variant each.
foreach(run "direct;AddinLab.GetMetricsShowsTheLab"
            "provider;AddinLab.NothingStalled*" "dropped;AddinLab.NothingStalled*" "deaddns;AddinLab.ADeadResolver*")
  list(GET run 0 variant)
  list(GET run 1 filter)
  string(REGEX REPLACE "^AddinLab\\.|\\*$" "" name "${filter}")
  set(name ${name}_${variant})
  add_test(NAME linux_addin_lab_${name} COMMAND ${CMAKE_SOURCE_DIR}/tests/lab/lab -q --variant ${variant}
    env TVX_ADDIN=$<TARGET_FILE:qmlink-dvc-client> XDG_CONFIG_HOME=${CMAKE_CURRENT_BINARY_DIR}/no-settings
    XDG_STATE_HOME=${CMAKE_CURRENT_BINARY_DIR}/lab-state $<TARGET_FILE:tvx_fake_dvc_manager> --gtest_filter=${filter})
  set_tests_properties(linux_addin_lab_${name} PROPERTIES ENVIRONMENT "${TVX_LAB_SERVICES}")
endforeach()
# FreeRDP sees one symbol.
add_test(NAME linux_exports COMMAND sh -c
  "test \"$(nm -D --defined-only \"$0\" | awk '{print $3}' | grep -v '^_' | sort | tr '\\n' ' ')\" = 'DVCPluginEntry '"
  $<TARGET_FILE:qmlink-dvc-client>)

include(${CMAKE_CURRENT_SOURCE_DIR}/linux/rdp_server.cmake OPTIONAL)
