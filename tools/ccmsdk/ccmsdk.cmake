# Stand-ins for the ICA client's session SDK, with file versions 25.3.10.0
# and 25.3.9.0 and without a version resource. Tests copy one of them to a
# folder as CCMSDK64.DLL.
if(WIN32)
  set(TVX_CCMSDK_TARGETS)
  foreach(variant "25_3_10:25,3,10,0" "25_3_9:25,3,9,0" "noversion:")
    string(REGEX REPLACE ":.*" "" suffix "${variant}")
    string(REGEX REPLACE "^[^:]*:" "" version "${variant}")
    add_library(ccmsdk_${suffix} SHARED ${CMAKE_CURRENT_LIST_DIR}/ccmsdk.cpp)
    set_target_properties(ccmsdk_${suffix} PROPERTIES PREFIX "")
    target_compile_options(ccmsdk_${suffix} PRIVATE ${TVX_WARNINGS})
    target_link_options(ccmsdk_${suffix} PRIVATE ${TVX_STATIC_RUNTIME})
    if(version)
      target_sources(ccmsdk_${suffix} PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ccmsdk.rc)
      target_compile_definitions(ccmsdk_${suffix} PRIVATE "CCMSDK_VERSION=${version}")
    endif()
    list(APPEND TVX_CCMSDK_TARGETS ccmsdk_${suffix})
  endforeach()
endif()
