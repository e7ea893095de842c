# libqmlink-dvc-client.so: the core as a FreeRDP 2 dynamic-channel add-in.
# FreeRDP finds it by this name in its add-in folder and calls DVCPluginEntry,
# the only symbol it exports.
find_package(PkgConfig REQUIRED)
pkg_check_modules(FREERDP2 REQUIRED IMPORTED_TARGET freerdp2 winpr2)
# nl80211 (generic netlink) for the Wi-Fi facts.
pkg_check_modules(LIBNL_GENL REQUIRED IMPORTED_TARGET libnl-genl-3.0)
target_link_libraries(tvx_core PUBLIC PkgConfig::LIBNL_GENL)

file(GLOB TVX_FREERDP_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
add_library(qmlink-dvc-client SHARED ${TVX_FREERDP_SOURCES})
target_compile_options(qmlink-dvc-client PRIVATE ${TVX_WARNINGS})
# Only the headers: the stream helpers used are inline, so no FreeRDP library
# is linked and the add-in loads into any FreeRDP 2 client.
target_include_directories(qmlink-dvc-client SYSTEM PRIVATE ${FREERDP2_INCLUDE_DIRS})
target_link_libraries(qmlink-dvc-client PRIVATE tvx_core ${CMAKE_DL_LIBS})
set(TVX_ADDIN_EXPORTS ${CMAKE_CURRENT_LIST_DIR}/exports.map)
target_link_options(qmlink-dvc-client PRIVATE -Wl,--version-script=${TVX_ADDIN_EXPORTS} -Wl,--no-undefined
  -Wl,-z,relro,-z,now)
set_target_properties(qmlink-dvc-client PROPERTIES LINK_DEPENDS ${TVX_ADDIN_EXPORTS})
set(TVX_VERSION_TEXT_LINUX "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
# The version the add-in reports as "client_version", the DLL's four parts.
target_compile_definitions(tvx_core PRIVATE TVX_LINUX_ADDIN TVX_VER_MAJOR=${PROJECT_VERSION_MAJOR}
  TVX_VER_MINOR=${PROJECT_VERSION_MINOR} TVX_VER_PATCH=${PROJECT_VERSION_PATCH} TVX_VER_TWEAK=0)
