# The scanner's layers (scanner/CMakeLists.txt) include one another only downwards: each layer is
# a library, and the build of a target fails when one of its own files includes a header of a
# scanner folder that the target does not link, or reaches a header by "..".
#
#   lumivane_scanner_layer(TARGET FOLDER folder [LAYERS lower-layer-target...])
#     TARGET, a library of the scanner folder FOLDER, links the lower layers PUBLIC and may
#     include their folders and those they may include.
#   lumivane_layer_includes(TARGET [LAYERS layer-target...])
#     Any other target: it may include the scanner folders of the layers named (none: no scanner
#     header at all).
#
# Run as a script (cmake -P) it checks FILES against ALLOWED and touches STAMP.

if(CMAKE_SCRIPT_MODE_FILE)
  cmake_minimum_required(VERSION 3.25)
  foreach(file IN LISTS FILES)
    file(STRINGS "${file}" includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"(scanner/|\\.\\.)")
    foreach(line IN LISTS includes)
      string(REGEX MATCH "\"([^\"]*)\"" quoted "${line}")
      set(header "${CMAKE_MATCH_1}")
      string(REGEX MATCH "^scanner/([^/]+)/" layer "${header}")
      if(NOT layer OR NOT CMAKE_MATCH_1 IN_LIST ALLOWED)
        message(FATAL_ERROR "${file}: ${TARGET} may include headers of scanner/{${ALLOWED}} "
                            "only, not \"${header}\": link the layer, or leave it below")
      endif()
    endforeach()
  endforeach()
  file(TOUCH "${STAMP}")
  return()
endif()

set(LUMIVANE_LAYER_SCRIPT ${CMAKE_CURRENT_LIST_FILE})

function(lumivane_layer_includes target)
  cmake_parse_arguments(ARG "" "" "LAYERS;FOLDERS" ${ARGN})
  set(allowed ${ARG_FOLDERS})
  foreach(layer IN LISTS ARG_LAYERS)
    get_target_property(folders ${layer} LUMIVANE_LAYER_FOLDERS)
    list(APPEND allowed ${folders})
  endforeach()
  list(REMOVE_DUPLICATES allowed)
  set_target_properties(${target} PROPERTIES LUMIVANE_LAYER_FOLDERS "${allowed}")
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  set(files)
  foreach(source IN LISTS sources)
    if(source MATCHES "\\.(cpp|h)$")
      cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir} OUTPUT_VARIABLE file)
      list(APPEND files ${file})
    endif()
  endforeach()
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.includes-checked)
  add_custom_command(OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} "-DTARGET=${target}" "-DFILES=${files}" "-DALLOWED=${allowed}"
            "-DSTAMP=${stamp}" -P ${LUMIVANE_LAYER_SCRIPT}
    DEPENDS ${files} ${LUMIVANE_LAYER_SCRIPT}
    COMMENT "Checking the scanner headers that ${target} includes" VERBATIM)
  target_sources(${target} PRIVATE ${stamp})
endfunction()

function(lumivane_scanner_layer target)
  cmake_parse_arguments(ARG "" "FOLDER" "LAYERS" ${ARGN})
  target_link_libraries(${target} PUBLIC ${ARG_LAYERS})
  lumivane_layer_includes(${target} LAYERS ${ARG_LAYERS} FOLDERS ${ARG_FOLDER})
endfunction()
