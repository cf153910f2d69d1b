# Each folder of the source tree is one layer, and a target sees the headers of
# a layer only through that layer's own include directory: a folder of the
# build tree that holds nothing but a link named after the layer. Sources
# include "units/report.h" as everywhere, but only a target that links
# kq_units (directly or through a public dependency) can find it; an include
# of a layer the target does not depend on fails to compile.
# tests/check_layers.py checks the same rules on the sources themselves.

# The include directory through which `folder` is seen.
function(kq_layer_include_dir folder out)
  set(root ${PROJECT_BINARY_DIR}/layers/${folder})
  if(NOT EXISTS ${root}/${folder})
    file(MAKE_DIRECTORY ${root})
    file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
  endif()
  set(${out} ${root} PARENT_SCOPE)
endfunction()

# Publishes the headers of `folder` with `target`: PUBLIC for libraries,
# INTERFACE for header-only ones, PRIVATE for programs.
function(kq_layer target scope folder)
  kq_layer_include_dir(${folder} dir)
  target_include_directories(${target} ${scope} ${dir})
endfunction()
