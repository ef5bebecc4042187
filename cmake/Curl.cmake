# libcurl carries the cover download on platforms other than Windows. The agent loads it at its
# first download (agent/sources/https_get_posix.cpp) instead of linking it, so that starting the
# agent does not load libcurl's many libraries: only the headers are needed here.
if(NOT WIN32)
  find_package(CURL REQUIRED)
  target_include_directories(tunelight_core PRIVATE
    $<TARGET_PROPERTY:CURL::libcurl,INTERFACE_INCLUDE_DIRECTORIES>)
  target_link_libraries(tunelight_core PUBLIC ${CMAKE_DL_LIBS})
endif()
