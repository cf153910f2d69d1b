# Each folder of the source tree is one layer, and a target sees the headers of
# a layer only through that layer's own include directory: a folder of the
# build tree that holds nothing but a link named after the layer. Sources
# include "units/report.h" as everywhere, but only a target that links
# kq_units (directly or through a public dependency) can find it; an include
# of a layer the target does not depend on fails to compile.
#
# Which layer may use which is read from cmake/layers.txt. A target belongs
# to the layer of the top-level folder it is defined in; once every folder
# is added, a link or a layer include directory from one layer to another
# that the graph does not allow stops the configuration.
# tests/check_layers.py checks the same graph on the sources themselves.

set(KQ_LAYER_GRAPH ${PROJECT_SOURCE_DIR}/cmake/layers.txt)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${KQ_LAYER_GRAPH})

# KQ_LAYERS: every folder of the graph, in its order; KQ_LAYER_USES_<layer>:
# the layers it may use besides itself.
set(KQ_LAYERS "")
file(STRINGS ${KQ_LAYER_GRAPH} kq_graph_lines)
foreach(line IN LISTS kq_graph_lines)
  if(line MATCHES "^([a-z0-9_]+):(.*)$")
    set(layer ${CMAKE_MATCH_1})
    string(STRIP "${CMAKE_MATCH_2}" uses)
    separate_arguments(uses UNIX_COMMAND "${uses}")
    list(APPEND KQ_LAYERS ${layer})
    set(KQ_LAYER_USES_${layer} ${uses})
  elseif(NOT line MATCHES "^(#.*|\\[[a-z]+\\]|[ \t]*)$")
    message(FATAL_ERROR "cmake/layers.txt: cannot read the line \"${line}\"")
  endif()
endforeach()

# The layer that `dir`, a folder of the source tree, belongs to; empty
# outside the source tree.
function(kq_layer_of dir out)
  file(RELATIVE_PATH relative ${PROJECT_SOURCE_DIR} ${dir})
  string(REGEX REPLACE "/.*" "" top "${relative}")
  if(relative MATCHES "^\\.\\." OR NOT top IN_LIST KQ_LAYERS)
    set(top "")
  endif()
  set(${out} "${top}" PARENT_SCOPE)
endfunction()

# Stops the configuration when `layer` may not use `used`.
function(kq_require_layer_use layer used what)
  if(layer AND used AND NOT layer STREQUAL used AND NOT used IN_LIST KQ_LAYER_USES_${layer})
    message(FATAL_ERROR "${what}: ${layer}/ may not use ${used}/ (cmake/layers.txt)")
  endif()
endfunction()

# The include directory through which `folder` is seen.
function(kq_layer_include_dir folder out)
  set(root ${PROJECT_BINARY_DIR}/layers/${folder})
  if(NOT EXISTS ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  kq_layer_of(${CMAKE_CURRENT_SOURCE_DIR} layer)
  kq_require_layer_use("${layer}" ${folder} "${CMAKE_CURRENT_SOURCE_DIR}")
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# Publishes the headers of `folder` with `target`: PUBLIC for libraries,
# INTERFACE for header-only ones, PRIVATE for programs.
function(kq_layer target scope folder)
  kq_layer_include_dir(${folder} dir)
  target_include_directories(${target} ${scope} ${dir})
endfunction()

# Adds the folders of the graph in its order; fuzz/ only with KQ_FUZZ.
macro(kq_add_layers)
  foreach(kq_folder IN LISTS KQ_LAYERS)
    if(NOT kq_folder STREQUAL "fuzz" OR KQ_FUZZ)
      add_subdirectory(${kq_folder})
    endif()
  endforeach()
  kq_check_layer_links(${PROJECT_SOURCE_DIR})
endmacro()

# The values of the target's properties named after `out`, in one list.
function(kq_target_values target out)
  set(values "")
  foreach(property IN LISTS ARGN)
    get_target_property(value ${target} ${property})
    if(value)
      list(APPEND values ${value})
    endif()
  endforeach()
  set(${out} ${values} PARENT_SCOPE)
endfunction()

# Checks every target defined in `dir` and below: each library it links
# (directly, or as $<LINK_ONLY:...>) and each layer include directory it
# names must be of its own layer or one its layer may use.
function(kq_check_layer_links dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(source ${target} SOURCE_DIR)
    kq_layer_of(${source} layer)
    if(NOT layer)
      continue()
    endif()
    kq_target_values(${target} links LINK_LIBRARIES INTERFACE_LINK_LIBRARIES)
    kq_target_values(${target} includes INCLUDE_DIRECTORIES INTERFACE_INCLUDE_DIRECTORIES)
    foreach(link IN LISTS links)
      if(link MATCHES "^\\$<LINK_ONLY:([^>]+)>$")
        set(link ${CMAKE_MATCH_1})
      endif()
      if(TARGET ${link})
        get_target_property(imported ${link} IMPORTED)
        if(NOT imported)
          get_target_property(linked_source ${link} SOURCE_DIR)
          kq_layer_of(${linked_source} used)
          kq_require_layer_use("${layer}" "${used}" "${target} links ${link}")
        endif()
      endif()
    endforeach()
    foreach(include IN LISTS includes)
      if(include MATCHES "^${PROJECT_BINARY_DIR}/layers/([^/]+)$")
        kq_require_layer_use("${layer}" ${CMAKE_MATCH_1} "${target} includes from ${include}")
      endif()
    endforeach()
  endforeach()
  get_property(subdirectories DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdirectory IN LISTS subdirectories)
    kq_check_layer_links(${subdirectory})
  endforeach()
endfunction()
