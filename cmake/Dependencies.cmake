# nlohmann json, cpp-httplib and sd-bus as interface targets.
add_library(tunelight_json INTERFACE)
add_library(tunelight::json ALIAS tunelight_json)
add_library(tunelight_httplib INTERFACE)
add_library(tunelight::httplib ALIAS tunelight_httplib)

if(WIN32)
  # The cross build uses a copy of nlohmann's headers; see cmake/Platform.cmake.
  if(TUNELIGHT_JSON_INCLUDE_DIR)
    target_include_directories(tunelight_json INTERFACE ${TUNELIGHT_JSON_INCLUDE_DIR})
  endif()
else()
  find_package(nlohmann_json 3 REQUIRED)
  target_link_libraries(tunelight_json INTERFACE nlohmann_json::nlohmann_json)
endif()

include(${CMAKE_CURRENT_LIST_DIR}/Httplib.cmake)

# sd-bus from libsystemd: media sessions (MPRIS) on Linux.
add_library(tunelight_sdbus INTERFACE)
add_library(tunelight::sdbus ALIAS tunelight_sdbus)
if(NOT WIN32)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  target_link_libraries(tunelight_sdbus INTERFACE PkgConfig::LIBSYSTEMD)
endif()
