# libcurl carries the cover download on platforms other than Windows.
if(NOT WIN32)
  find_package(CURL REQUIRED)
  target_link_libraries(tunelight_core PUBLIC CURL::libcurl)
endif()
