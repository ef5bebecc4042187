# nlohmann json and cpp-httplib as interface targets.
add_library(tunelight_json INTERFACE)
add_library(tunelight::json ALIAS tunelight_json)
add_library(tunelight_httplib INTERFACE)
add_library(tunelight::httplib ALIAS tunelight_httplib)

if(WIN32)
  # The cross build uses the single-header library; see cmake/Platform.cmake.
  if(TUNELIGHT_JSON_INCLUDE_DIR)
    target_include_directories(tunelight_json INTERFACE ${TUNELIGHT_JSON_INCLUDE_DIR})
  endif()
else()
  find_package(nlohmann_json 3 REQUIRED)
  target_link_libraries(tunelight_json INTERFACE nlohmann_json::nlohmann_json)
  # Debian ships cpp-httplib as a declaration header plus a shared library; its flags must
  # match the library's build.
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(CPPHTTPLIB REQUIRED IMPORTED_TARGET cpp-httplib)
  target_link_libraries(tunelight_httplib INTERFACE PkgConfig::CPPHTTPLIB)
endif()

# sd-bus from libsystemd: media sessions (MPRIS) on Linux.
add_library(tunelight_sdbus INTERFACE)
add_library(tunelight::sdbus ALIAS tunelight_sdbus)
if(NOT WIN32)
  pkg_check_modules(LIBSYSTEMD REQUIRED IMPORTED_TARGET libsystemd)
  target_link_libraries(tunelight_sdbus INTERFACE PkgConfig::LIBSYSTEMD)
endif()
