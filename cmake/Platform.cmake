# Platform-specific build settings. Nothing here applies to the Linux build.
if(NOT WIN32)
  return()
endif()

# mingw does not search /usr/include: scripts/build-windows.sh fills this directory with copies of
# the header-only packages the cross build needs (nlohmann json; SIMDe for libobs's headers).
# cpp-httplib's header comes from cmake/Httplib.cmake as on Linux.
set(TUNELIGHT_WINDOWS_INCLUDE_DIR "" CACHE PATH "nlohmann/ and simde/ for the Windows build")
if(NOT EXISTS "${TUNELIGHT_WINDOWS_INCLUDE_DIR}/nlohmann/json.hpp")
  message(FATAL_ERROR "TUNELIGHT_WINDOWS_INCLUDE_DIR has no nlohmann/; use scripts/build-windows.sh")
endif()
target_include_directories(tunelight_json SYSTEM INTERFACE ${TUNELIGHT_WINDOWS_INCLUDE_DIR})
target_link_libraries(tunelight_httplib INTERFACE ws2_32)

# windows.h's min/max macros break std::min and std::numeric_limits<>::max.
add_compile_definitions(NOMINMAX)

# Static C++ runtime and winpthread: the agent and the plugin ship without extra DLLs.
add_link_options(-static -static-libgcc -static-libstdc++)

target_link_libraries(tunelight_core PUBLIC ws2_32 winhttp runtimeobject ole32 shell32)

# libobs and OBS's frontend API for the plugin: Debian's headers and import libraries for obs.dll
# and obs-frontend-api.dll, each built from the list of the functions the plugin uses.
set(TUNELIGHT_OBS_INCLUDE_DIR /usr/include/obs CACHE PATH "libobs headers")
function(tunelight_obs_import_library dll def alias)
  find_program(TUNELIGHT_DLLTOOL NAMES ${CMAKE_DLLTOOL} x86_64-w64-mingw32-dlltool REQUIRED)
  set(implib ${CMAKE_BINARY_DIR}/obs-import/lib${dll}.a)
  add_custom_command(OUTPUT ${implib}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/obs-import
    COMMAND ${TUNELIGHT_DLLTOOL} -d ${def} -D ${dll} -l ${implib}
    DEPENDS ${def}
    COMMENT "Import library for ${dll}")
  string(MAKE_C_IDENTIFIER ${dll} name)
  add_custom_target(tunelight_import_${name} DEPENDS ${implib})
  add_library(tunelight_${name} SHARED IMPORTED GLOBAL)
  set_target_properties(tunelight_${name} PROPERTIES
    IMPORTED_IMPLIB ${implib}
    IMPORTED_LOCATION ${CMAKE_BINARY_DIR}/obs-import/${dll}
    INTERFACE_INCLUDE_DIRECTORIES ${TUNELIGHT_OBS_INCLUDE_DIR})
  add_dependencies(tunelight_${name} tunelight_import_${name})
  add_library(${alias} ALIAS tunelight_${name})
endfunction()
if(EXISTS "${TUNELIGHT_OBS_INCLUDE_DIR}/obs-module.h" AND NOT TARGET OBS::libobs)
  tunelight_obs_import_library(obs.dll ${CMAKE_CURRENT_LIST_DIR}/obs.def OBS::libobs)
  tunelight_obs_import_library(obs-frontend-api.dll ${CMAKE_CURRENT_LIST_DIR}/obs-frontend-api.def
    OBS::obs-frontend-api)
  set(libobs_FOUND TRUE)
endif()

# Helper programs for the agent's tests under Wine.
if(EXISTS ${CMAKE_SOURCE_DIR}/tests/windows/helpers/CMakeLists.txt)
  add_subdirectory(${CMAKE_SOURCE_DIR}/tests/windows/helpers ${CMAKE_BINARY_DIR}/wine-helpers)
endif()

# The agent is a GUI-subsystem program so that starting it opens no console window. Its target
# is defined after this file is included, as are the plugin's.
function(tunelight_windows_finish)
  if(TARGET tunelight-agent)
    target_link_options(tunelight-agent PRIVATE -mwindows)
  endif()
  if(TARGET tunelight_plugin_logic)
    target_link_libraries(tunelight_plugin_logic PUBLIC shell32)
  endif()
  # GCC does not turn OBS's MODULE_EXPORT into dllexport, so without a list the linker would
  # export every symbol of the module (libstdc++ and winpthread included). The list is the
  # functions the plugin marks MODULE_EXPORT.
  if(TARGET tunelight)
    file(GLOB plugin_sources ${CMAKE_SOURCE_DIR}/plugin/*.cpp)
    set(exports "")
    foreach(f ${plugin_sources})
      file(STRINGS ${f} lines REGEX "^MODULE_EXPORT ")
      foreach(line ${lines})
        if(line MATCHES "([A-Za-z_0-9]+)\\(")
          string(APPEND exports "    ${CMAKE_MATCH_1}\n")
        endif()
      endforeach()
    endforeach()
    set(def ${CMAKE_BINARY_DIR}/tunelight-exports.def)
    file(WRITE ${def}.in "LIBRARY tunelight.dll\nEXPORTS\n${exports}")
    configure_file(${def}.in ${def} COPYONLY)
    target_sources(tunelight PRIVATE ${def})
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
      ${plugin_sources})
  endif()
  # The test helper that starts the agent as the plugin does needs the plugin's logic.
  if(TARGET tunelight_plugin_logic AND COMMAND tunelight_wine_plugin_helpers)
    tunelight_wine_plugin_helpers()
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tunelight_windows_finish)
