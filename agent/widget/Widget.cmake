# Compiles the card's files into the agent as constant data.
#
# Included from the root CMakeLists: generates widget_asset_bytes.inc in the build tree from the
# files below (again whenever one of them changes) for widget_assets.cpp to include.
# Run as a script (cmake -P) it does the generating itself.

set(TUNELIGHT_WIDGET_FILES
  index.html style.css app.js placeholder.svg
  onest-latin.woff2 onest-cyrillic.woff2 unbounded-latin.woff2 unbounded-cyrillic.woff2)

if(CMAKE_SCRIPT_MODE_FILE)
  # Script mode: WIDGET_DIR, OUT.
  set(text "// Generated from agent/widget at build time; do not edit.\n")
  foreach(name ${TUNELIGHT_WIDGET_FILES})
    file(READ "${WIDGET_DIR}/${name}" hex HEX)
    string(LENGTH "${hex}" len)
    if(len EQUAL 0)
      message(FATAL_ERROR "widget file ${name} is empty")
    endif()
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," hex "${hex}")
    # 16 bytes a line keep the file readable for diffs and compilers alike.
    string(REPEAT "0x..," 16 line)
    string(REGEX REPLACE "(${line})" "\\1\n" hex "${hex}")
    string(MAKE_C_IDENTIFIER "${name}" id)
    string(APPEND text "static const unsigned char kWidget_${id}[] = {\n${hex}\n};\n")
  endforeach()
  file(WRITE "${OUT}" "${text}")
  return()
endif()

set(_widget_dir ${CMAKE_SOURCE_DIR}/agent/widget)
set(_widget_gen ${CMAKE_BINARY_DIR}/generated/widget)
set(_widget_out ${_widget_gen}/widget_asset_bytes.inc)
set(_widget_inputs)
foreach(name ${TUNELIGHT_WIDGET_FILES})
  list(APPEND _widget_inputs ${_widget_dir}/${name})
endforeach()
file(MAKE_DIRECTORY ${_widget_gen})
add_custom_command(
  OUTPUT ${_widget_out}
  COMMAND ${CMAKE_COMMAND} -DWIDGET_DIR=${_widget_dir} -DOUT=${_widget_out}
          -P ${_widget_dir}/Widget.cmake
  DEPENDS ${_widget_inputs} ${_widget_dir}/Widget.cmake
  COMMENT "Embedding the card's files"
  VERBATIM)
target_sources(tunelight_core PRIVATE ${_widget_out})
target_include_directories(tunelight_core PRIVATE ${_widget_gen})
set_source_files_properties(${_widget_dir}/widget_assets.cpp PROPERTIES OBJECT_DEPENDS ${_widget_out})
