# cpp-httplib 0.11.4 compiled into our binaries from its single header, so that neither the agent
# nor the plugin needs a distribution's shared build of it (Debian splits it into a library that
# other distributions do not have). The header comes from Debian's source package of the same
# version with its security patch applied; the .dsc is pinned and lists the tarballs' checksums.
# The mirror is the one this machine's apt uses (scripts/apt-mirror.sh, $DEBIAN_MIRROR overrides).
#
# Plain HTTP only: the server listens on loopback and never compresses, the plugin's client talks
# to it over loopback, so neither OpenSSL, zlib nor brotli is compiled in.

set(TUNELIGHT_HTTPLIB_DSC cpp-httplib_0.11.4+ds-1+deb12u1.dsc)
set(TUNELIGHT_HTTPLIB_DSC_SHA256 a4dde747bbde7cc9fa62cdf50d61140a0eaefb7f1383497ef2d48daf3bf5f9ec)
set(TUNELIGHT_DOWNLOAD_DIR ${CMAKE_BINARY_DIR}/third_party/downloads CACHE PATH
  "Downloaded source packages (files with the pinned checksums are not fetched again)")

set(_httplib_dir ${CMAKE_BINARY_DIR}/third_party/httplib)
set(_httplib_stamp ${_httplib_dir}/stamp)

function(_tunelight_fetch name sha256 pool)
  set(file ${TUNELIGHT_DOWNLOAD_DIR}/${name})
  if(EXISTS ${file})
    file(SHA256 ${file} have)
    if(have STREQUAL sha256)
      return()
    endif()
  endif()
  message(STATUS "Fetching ${pool}/${name}")
  file(DOWNLOAD ${pool}/${name} ${file}.part STATUS status TIMEOUT 120
    EXPECTED_HASH SHA256=${sha256})
  list(GET status 0 code)
  if(NOT code EQUAL 0)
    file(REMOVE ${file}.part)
    list(GET status 1 why)
    message(FATAL_ERROR "Could not fetch ${pool}/${name}: ${why}\n"
      "Set DEBIAN_MIRROR to a Debian archive, or put the file into ${TUNELIGHT_DOWNLOAD_DIR}.")
  endif()
  file(RENAME ${file}.part ${file})
endfunction()

function(_tunelight_prepare_httplib)
  if(EXISTS ${_httplib_dir}/httplib.h AND EXISTS ${_httplib_stamp})
    file(READ ${_httplib_stamp} stamp)
    if(stamp STREQUAL TUNELIGHT_HTTPLIB_DSC_SHA256)
      return()
    endif()
  endif()

  set(pool "")
  set(dsc ${TUNELIGHT_DOWNLOAD_DIR}/${TUNELIGHT_HTTPLIB_DSC})
  set(have "")
  if(EXISTS ${dsc})
    file(SHA256 ${dsc} have)
  endif()
  # The mirror is only asked for when something is missing.
  execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/apt-mirror.sh
    OUTPUT_VARIABLE mirror OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
  if(rc EQUAL 0)
    set(pool ${mirror}/pool/main/c/cpp-httplib)
  elseif(NOT have STREQUAL TUNELIGHT_HTTPLIB_DSC_SHA256)
    message(FATAL_ERROR "No Debian mirror for cpp-httplib's source package: set DEBIAN_MIRROR.")
  endif()
  _tunelight_fetch(${TUNELIGHT_HTTPLIB_DSC} ${TUNELIGHT_HTTPLIB_DSC_SHA256} "${pool}")

  # Checksums-Sha256 of the pinned .dsc: " <sha256> <size> <name>" lines.
  file(STRINGS ${dsc} lines)
  set(in_sums FALSE)
  set(tarballs "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^Checksums-Sha256:")
      set(in_sums TRUE)
    elseif(in_sums AND line MATCHES "^ ([0-9a-f]+) [0-9]+ (.+)$")
      _tunelight_fetch(${CMAKE_MATCH_2} ${CMAKE_MATCH_1} "${pool}")
      list(APPEND tarballs ${CMAKE_MATCH_2})
    elseif(in_sums)
      set(in_sums FALSE)
    endif()
  endforeach()
  list(LENGTH tarballs n)
  if(NOT n EQUAL 2)
    message(FATAL_ERROR "${TUNELIGHT_HTTPLIB_DSC}: expected an orig and a debian tarball")
  endif()

  find_program(TUNELIGHT_PATCH patch)
  if(NOT TUNELIGHT_PATCH)
    message(FATAL_ERROR "patch is needed to apply Debian's fixes to cpp-httplib")
  endif()
  set(src ${CMAKE_BINARY_DIR}/third_party/cpp-httplib-src)
  file(REMOVE_RECURSE ${src})
  file(MAKE_DIRECTORY ${src})
  foreach(t IN LISTS tarballs)
    execute_process(COMMAND ${CMAKE_COMMAND} -E tar xf ${TUNELIGHT_DOWNLOAD_DIR}/${t}
      WORKING_DIRECTORY ${src} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "Could not unpack ${t}")
    endif()
  endforeach()
  file(GLOB header ${src}/*/httplib.h)
  get_filename_component(top ${header} DIRECTORY)
  file(STRINGS ${src}/debian/patches/series patches REGEX "^[^#]")
  foreach(p IN LISTS patches)
    string(STRIP "${p}" p)
    execute_process(COMMAND ${TUNELIGHT_PATCH} -s -p1 -i ${src}/debian/patches/${p}
      WORKING_DIRECTORY ${top} RESULT_VARIABLE rc)
    if(NOT rc EQUAL 0)
      message(FATAL_ERROR "Could not apply ${p} to cpp-httplib")
    endif()
  endforeach()
  file(STRINGS ${top}/httplib.h version REGEX "define CPPHTTPLIB_VERSION \"0\\.11\\.4\"")
  if(NOT version)
    message(FATAL_ERROR "${TUNELIGHT_HTTPLIB_DSC} did not give cpp-httplib 0.11.4")
  endif()
  file(MAKE_DIRECTORY ${_httplib_dir})
  # Written only when it changed, so that a re-run does not rebuild every source.
  configure_file(${top}/httplib.h ${_httplib_dir}/httplib.h COPYONLY)
  file(WRITE ${_httplib_stamp} ${TUNELIGHT_HTTPLIB_DSC_SHA256})
  file(REMOVE_RECURSE ${src})
endfunction()

_tunelight_prepare_httplib()
target_include_directories(tunelight_httplib SYSTEM INTERFACE ${_httplib_dir})
if(NOT WIN32)
  target_link_libraries(tunelight_httplib INTERFACE Threads::Threads)
endif()
