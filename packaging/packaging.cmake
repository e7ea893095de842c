# DOZA-Plugin.msi (Windows build): packaging/build-msi with wixl and msibuild
# (msitools), versioned from the project version. An older build of the same
# package and one between are made beside it for the upgrade test.

# The Group Policy templates against the settings the sources read.
add_test(NAME windows_msi_templates COMMAND ${CMAKE_SOURCE_DIR}/tests/msi/template_check)

find_program(TVX_WIXL wixl)
find_program(TVX_MSIBUILD msibuild)
if(NOT TVX_WIXL OR NOT TVX_MSIBUILD)
  message(WARNING "wixl or msibuild missing (run scripts/setup): DOZA-Plugin.msi is not built")
  return()
endif()

set(TVX_MSI ${CMAKE_BINARY_DIR}/bin/DOZA-Plugin.msi)
set(TVX_MSI_OLDER_VERSION 0.0.1)
set(TVX_MSI_OLDER ${CMAKE_BINARY_DIR}/packaging/DOZA-Plugin-${TVX_MSI_OLDER_VERSION}.msi)
set(TVX_MSI_BETWEEN ${CMAKE_BINARY_DIR}/packaging/DOZA-Plugin-0.0.2.msi)
if(NOT PROJECT_VERSION VERSION_GREATER 0.0.2)
  message(FATAL_ERROR "the upgrade test needs a project version above 0.0.2")
endif()

set(TVX_MSI_SOURCES ${CMAKE_SOURCE_DIR}/packaging/build-msi ${CMAKE_SOURCE_DIR}/packaging/DOZA-Plugin.wxs
    ${CMAKE_SOURCE_DIR}/packaging/DOZA-Plugin.admx ${CMAKE_SOURCE_DIR}/packaging/en-US/DOZA-Plugin.adml)
foreach(pair "${PROJECT_VERSION}|${TVX_MSI}" "${TVX_MSI_OLDER_VERSION}|${TVX_MSI_OLDER}" "0.0.2|${TVX_MSI_BETWEEN}")
  string(REPLACE "|" ";" pair "${pair}")
  list(GET pair 0 version)
  list(GET pair 1 output)
  get_filename_component(dir ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${CMAKE_SOURCE_DIR}/packaging/build-msi ${version} $<TARGET_FILE:DOZA-Plugin> ${output}
    DEPENDS DOZA-Plugin ${TVX_MSI_SOURCES}
    COMMENT "Building DOZA-Plugin ${version} installer"
    VERBATIM)
endforeach()
add_custom_target(msi ALL DEPENDS ${TVX_MSI})
add_custom_target(msi_older ALL DEPENDS ${TVX_MSI_OLDER} ${TVX_MSI_BETWEEN})

# Install, upgrade, per-user stub, stand-in client, removal: under Wine in a
# loopback-only namespace with a prefix of its own.
add_test(NAME windows_msi
  COMMAND ${CMAKE_SOURCE_DIR}/tests/msi/msi_test $<TARGET_FILE:tvx_rdclient> ${TVX_MSI} ${TVX_MSI_OLDER}
          ${TVX_MSI_BETWEEN} ${PROJECT_VERSION})
set_tests_properties(windows_msi PROPERTIES TIMEOUT 600
  ENVIRONMENT "WINEPREFIX=${CMAKE_BINARY_DIR}/msi-wine")
