# Resources of DOZA-Plugin.dll: the type library built from the IDL with widl,
# the registration script, the project name and the manifest.

find_program(TVX_WIDL NAMES x86_64-w64-mingw32-widl widl REQUIRED)
set(TVX_WINE_IDL_DIR /usr/include/wine/wine/windows CACHE PATH "Wine's IDL files (libwine-dev)")
set(TVX_WINE_TLB_DIR /usr/lib/x86_64-linux-gnu/wine/x86_64-windows CACHE PATH "Folder holding Wine's stdole2.tlb")

set(TVX_PLUGIN_DIR ${CMAKE_CURRENT_SOURCE_DIR}/src/plugin)
set(TVX_PLUGIN_TLB ${CMAKE_CURRENT_BINARY_DIR}/plugin/DOZA-Plugin.tlb)
add_custom_command(
  OUTPUT ${TVX_PLUGIN_TLB}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/plugin
  COMMAND ${TVX_WIDL} --win64 -t -I${TVX_WINE_IDL_DIR} -L${TVX_WINE_TLB_DIR}
          -o ${TVX_PLUGIN_TLB} ${TVX_PLUGIN_DIR}/DOZA-Plugin.idl
  DEPENDS ${TVX_PLUGIN_DIR}/DOZA-Plugin.idl
  COMMENT "Building the type library DOZA-Plugin.tlb"
  VERBATIM)
add_custom_target(DOZA-Plugin-typelib DEPENDS ${TVX_PLUGIN_TLB})
add_dependencies(DOZA-Plugin DOZA-Plugin-typelib)

# windres finds the files named in the .rc through the include path.
set_source_files_properties(${TVX_PLUGIN_DIR}/DOZA-Plugin.rc PROPERTIES
  OBJECT_DEPENDS "${TVX_PLUGIN_TLB};${TVX_PLUGIN_DIR}/DOZA-Plugin.rgs;${TVX_PLUGIN_DIR}/DOZA-Plugin.manifest")
target_include_directories(DOZA-Plugin PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/plugin ${TVX_PLUGIN_DIR})

# File and product version of the DLL: the project version, four parts.
set(TVX_VERSION_TWEAK ${PROJECT_VERSION_TWEAK})
if("${TVX_VERSION_TWEAK}" STREQUAL "")
  set(TVX_VERSION_TWEAK 0)
endif()
set(TVX_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${TVX_VERSION_TWEAK}")
set(TVX_VERSION_DEFS TVX_VER_MAJOR=${PROJECT_VERSION_MAJOR} TVX_VER_MINOR=${PROJECT_VERSION_MINOR}
    TVX_VER_PATCH=${PROJECT_VERSION_PATCH} TVX_VER_TWEAK=${TVX_VERSION_TWEAK})
target_compile_definitions(DOZA-Plugin PRIVATE ${TVX_VERSION_DEFS})
set_property(SOURCE ${TVX_PLUGIN_DIR}/DOZA-Plugin.rc APPEND PROPERTY OBJECT_DEPENDS ${TVX_PLUGIN_DIR}/version.rcinc)
