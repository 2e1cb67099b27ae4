# Build checks of the project's structure, included at the end of the top CMakeLists.txt
# once every target exists.
#   - Every header of a library compiles on its own (target header_check, in the default
#     build), with only that library's usage requirements: a header that leans on what its
#     includer happened to include first, or on a Qt module its library does not link,
#     fails there.
#   - The logic libraries use Qt Core at most: configuring fails when one of them reaches
#     Qt Widgets or Qt Gui through its links, naming the path.

# The libraries whose headers are checked; the ones not built in this configuration are
# left out.
set(RFID_HEADER_CHECK_LIBRARIES
    rfid_platform rfid_settings rfid_link rfid_protocol rfid_wedge rfid_epc rfid_monitor rfid_monitor_widgets rfid_engine rfid_xml rfid_catalogue rfid_catalogue_widgets
    rfid_discovery rfid_discovery_widgets rfid_controls_common rfid_tree rfid_propgrid rfid_res rfid_app rfid_readersim rfid_publish
    rfid_testsupport)
# Header-only test fixtures stand on the libraries their users link.
set(RFID_HEADER_CHECK_WITH_rfid_testsupport rfid_app rfid_protocol)

# The libraries that must not link Qt Widgets or Qt Gui, directly or through another target.
set(RFID_WIDGETS_FREE_LIBRARIES
    rfid_platform rfid_settings rfid_xml rfid_catalogue rfid_link rfid_protocol rfid_wedge rfid_epc rfid_monitor rfid_discovery rfid_engine rfid_publish rfid_cli rfid_readersim)
set(RFID_FORBIDDEN_IN_LOGIC Qt6::Widgets Qt6::Gui Qt::Widgets Qt::Gui)

# --- every header on its own ------------------------------------------------------------

set(check_dir ${CMAKE_BINARY_DIR}/header_check)
set(check_sources)
foreach(lib ${RFID_HEADER_CHECK_LIBRARIES})
  if(NOT TARGET ${lib})
    continue()
  endif()
  get_target_property(lib_sources ${lib} SOURCES)
  get_target_property(lib_dir ${lib} SOURCE_DIR)
  set(context ${lib} ${RFID_HEADER_CHECK_WITH_${lib}})
  set(includes)
  set(definitions)
  foreach(t ${context})
    list(APPEND includes "$<TARGET_PROPERTY:${t},INTERFACE_INCLUDE_DIRECTORIES>")
    list(APPEND definitions "$<TARGET_PROPERTY:${t},INTERFACE_COMPILE_DEFINITIONS>")
  endforeach()
  foreach(source ${lib_sources})
    if(NOT source MATCHES "\\.h$")
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${lib_dir} NORMALIZE)
    cmake_path(RELATIVE_PATH source BASE_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE header)
    set(check_source ${check_dir}/${header}.cpp)
    file(CONFIGURE OUTPUT ${check_source} CONTENT "#include \"${header}\"\n" @ONLY)
    set_source_files_properties(${check_source} PROPERTIES
      INCLUDE_DIRECTORIES "${includes}"
      COMPILE_DEFINITIONS "${definitions}")
    list(APPEND check_sources ${check_source})
  endforeach()
endforeach()
add_library(header_check OBJECT ${check_sources})
# Nothing here is linked or needs moc: a header with Q_OBJECT compiles without its moc file.
set_target_properties(header_check PROPERTIES AUTOMOC OFF AUTORCC OFF AUTOUIC OFF)
# A sanitizer build would only compile the same headers again: it checks the code's running.
if(RFID_SANITIZE)
  set_target_properties(header_check PROPERTIES EXCLUDE_FROM_ALL ON)
endif()

# --- no widgets in the logic ----------------------------------------------------------

# Sets `out` in the caller to the chain of targets from `target` to the first forbidden one
# ("a -> b -> Qt6::Gui"), or to an empty string. The targets already walked for one library
# are kept in the global property RFID_LINKS_WALKED, so each is walked once.
function(rfid_find_forbidden_link target out)
  set(${out} "" PARENT_SCOPE)
  set_property(GLOBAL APPEND PROPERTY RFID_LINKS_WALKED ${target})
  get_target_property(aliased ${target} ALIASED_TARGET)
  if(aliased)
    set(target ${aliased})
  endif()
  get_target_property(imported ${target} IMPORTED)
  set(links)
  if(NOT imported)
    get_target_property(direct ${target} LINK_LIBRARIES)
    if(direct)
      list(APPEND links ${direct})
    endif()
  endif()
  get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
  if(interface)
    list(APPEND links ${interface})
  endif()
  foreach(link ${links})
    # A static library's private links reach its users as $<LINK_ONLY:...>; other generator
    # expressions (Qt's own conditions) are not followed.
    if(link MATCHES "^\\$<LINK_ONLY:([^$<>]+)>$")
      set(link ${CMAKE_MATCH_1})
    elseif(link MATCHES "^\\$<")
      continue()
    endif()
    if(link IN_LIST RFID_FORBIDDEN_IN_LOGIC)
      set(${out} "${target} -> ${link}" PARENT_SCOPE)
      return()
    endif()
    get_property(walked GLOBAL PROPERTY RFID_LINKS_WALKED)
    if(NOT TARGET ${link} OR link IN_LIST walked)
      continue()
    endif()
    rfid_find_forbidden_link(${link} chain)
    if(chain)
      set(${out} "${target} -> ${chain}" PARENT_SCOPE)
      return()
    endif()
  endforeach()
endfunction()

set(widget_faults)
foreach(lib ${RFID_WIDGETS_FREE_LIBRARIES})
  if(NOT TARGET ${lib})
    message(FATAL_ERROR "RFID_WIDGETS_FREE_LIBRARIES names ${lib}, which is not a target")
  endif()
  set_property(GLOBAL PROPERTY RFID_LINKS_WALKED)
  rfid_find_forbidden_link(${lib} chain)
  if(chain)
    string(APPEND widget_faults "\n  ${lib}: ${chain}")
  endif()
endforeach()
if(widget_faults)
  message(FATAL_ERROR "Logic libraries must use Qt Core at most, but these link Qt Widgets or "
                      "Qt Gui (library: path to it):${widget_faults}\n"
                      "Move the widget code into a library of its own (as discovery/widgets is) "
                      "and link that from the window.")
endif()
